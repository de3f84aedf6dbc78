#include "rules/rule_text.h"

#include <fstream>

namespace cvie {

bool ReadRuleText(const std::string& path, RulesHolder* holder,
                  std::vector<BadRuleLine>* bad_rules) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  holder->set_source_name(path.substr(path.find_last_of('/') + 1));
  std::string line;
  size_t line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const int parsed = holder->ParseRule(line, static_cast<uint32_t>(line_number));
    if (parsed == -1) return true;
    if (parsed == 1 && bad_rules && !holder->Rule(holder->RuleCount() - 1).good) {
      bad_rules->push_back({line_number, line, holder->compile_error_message()});
    }
  }
  return !in.bad();
}

}  // namespace cvie
