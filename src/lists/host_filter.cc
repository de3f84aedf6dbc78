// lists/host_filter.cc

#include "lists/host_filter.h"

namespace cvie::lists {
namespace {

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_';
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// True when the rule applies whatever page made the request.
bool PageIndependent(const NetworkRule& rule) {
  return rule.domains.empty() && rule.party == Party::kAny;
}

}  // namespace

std::string HostOfRule(std::string_view text) {
  if (text.substr(0, 2) == "@@") text.remove_prefix(2);
  if (text.substr(0, 2) != "||") return "";
  text.remove_prefix(2);
  size_t dollar = text.find('$');
  if (dollar != std::string_view::npos) text = text.substr(0, dollar);
  if (!text.empty() && text.back() == '^') text.remove_suffix(1);
  if (text.empty() || text.front() == '.' || text.back() == '.') return "";
  std::string host;
  host.reserve(text.size());
  for (char c : text) {
    c = Lower(c);
    if (!IsHostChar(c)) return "";
    host += c;
  }
  if (host.find("..") != std::string::npos) return "";
  return host;
}

HostFilter::HostFilter(const std::vector<FilterList>& lists) {
  for (const FilterList& list : lists) {
    const std::string& name = list.title.empty() ? list.name : list.title;
    for (const NetworkRule& rule : list.network) {
      if (rule.exception && rule.types == 0) continue;  // about hiding only
      std::string host = rule.regex ? "" : HostOfRule(rule.text);
      bool host_level = !host.empty() && PageIndependent(rule);
      if (rule.exception) {
        if (!host_level) {
          ++page_dependent_exceptions_;
          continue;
        }
      } else if (!host_level || (rule.types & kDefaultTypes) != kDefaultTypes) {
        continue;  // blocks some requests to the host only
      }
      HostTable& table = rule.exception ? allow_ : block_;
      auto [it, added] =
          table.try_emplace(std::move(host), static_cast<uint32_t>(rules_.size()));
      if (!added) {
        // An important rule for a host already named still wins.
        HostRule& kept = rules_[it->second];
        if (rule.exception || kept.important || !rule.important) continue;
        it->second = static_cast<uint32_t>(rules_.size());
      }
      rules_.push_back(
          HostRule{name, rule.line, rule.text, rule.exception, rule.important});
    }
  }
}

HostDecision HostFilter::Decide(std::string_view host) const {
  if (!host.empty() && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  char buffer[256];
  if (host.empty() || host.size() > sizeof(buffer)) return {};
  for (size_t i = 0; i < host.size(); ++i) buffer[i] = Lower(host[i]);
  std::string_view name(buffer, host.size());

  const HostRule* block = nullptr;
  const HostRule* exception = nullptr;
  while (!name.empty()) {
    if (auto it = block_.find(name); it != block_.end()) {
      const HostRule* found = &rules_[it->second];
      if (!block || (found->important && !block->important)) block = found;
    }
    if (!exception) {
      if (auto it = allow_.find(name); it != allow_.end())
        exception = &rules_[it->second];
    }
    size_t dot = name.find('.');
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  if (!block) return {};
  if (block->important || !exception) return {true, block};
  return {false, exception};
}

}  // namespace cvie::lists
