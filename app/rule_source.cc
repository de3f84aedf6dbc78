#include "rule_source.h"

#include <stdio.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "lists/filter_list.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "rules/rule_loading.h"
#include "rules/rule_text.h"

namespace cvie::app {

void RuleSource::AddOptions(CLI::App* sub) {
  CLI::Option* text =
      sub->add_option("--rule-text", rule_text, "Plain rule list, one rule a line");
  CLI::Option* file =
      sub->add_option("--rules", rule_file, "Enciphered rule file (.rle)");
  text->excludes(file);
  // One file per --list, so that positional arguments after it stay positional.
  sub->add_option("--list", lists, "Filter list in EasyList format (may be repeated)")
      ->allow_extra_args(false);
}

bool RuleSource::LoadLists(std::unique_ptr<lists::ListEngine>* engine, std::string* error,
                           const std::string& index_cache, bool* from_cache) const {
  engine->reset();
  if (lists.empty()) return true;
  std::vector<lists::FilterList> parsed;
  for (const std::string& path : lists) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
      *error = "cannot read filter list: " + path;
      return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string name = path.substr(path.find_last_of('/') + 1);
    parsed.push_back(lists::ParseFilterList(text.str(), name));
  }
  *engine = lists::ListEngine::LoadOrBuild(std::move(parsed),
                                           platform::ToWide(index_cache), from_cache);
  if (!*engine) {
    *error = "cannot compile the filter lists";
    return false;
  }
  return true;
}

bool RuleSource::LoadListSet(std::shared_ptr<const lists::ListSet>* set,
                             std::string* error) const {
  set->reset();
  if (lists.empty()) {
    if (!rule_text.empty() || !rule_file.empty()) return true;
    lists::CurrentListSet& current = lists::CurrentListSet::Process();
    current.ReloadIfChanged(lists::ListsFolderPath());
    *set = current.Get();
    return true;
  }
  std::unique_ptr<lists::ListEngine> engine;
  if (!LoadLists(&engine, error)) return false;
  auto built = std::make_shared<lists::ListSet>();
  built->hiding = std::make_unique<lists::HidingTables>(engine->lists());
  built->engine = std::move(engine);
  *set = std::move(built);
  return true;
}

RulesHolder* RuleSource::Load(std::unique_ptr<RulesHolder>* owned,
                              std::string* error) const {
  if (!rule_text.empty()) {
    auto holder = std::make_unique<RulesHolder>();
    std::vector<BadRuleLine> bad_rules;
    if (!ReadRuleText(rule_text, holder.get(), &bad_rules)) {
      *error = "cannot read rule list: " + rule_text;
      return nullptr;
    }
    // Such a rule never matches; the author learns where it is.
    for (const BadRuleLine& bad : bad_rules) {
      fprintf(stderr, "cvie: %s line %zu: rule skipped, it does not compile (%s): %s\n",
              rule_text.c_str(), bad.line_number, bad.error.c_str(), bad.text.c_str());
    }
    holder->set_loaded(true);
    holder->LogRuleCount();
    *owned = std::move(holder);
    return owned->get();
  }
  if (!rule_file.empty()) {
    std::wstring path = platform::ToWide(rule_file);
    if (CheckRuleFile(path) != 0) {
      *error = "not a good rule file (missing, bad header or checksum): " + rule_file;
      return nullptr;
    }
    std::unique_ptr<RulesHolder> holder = LoadRuleFile(path);
    if (!holder) {
      *error = "cannot load rule file: " + rule_file;
      return nullptr;
    }
    *owned = std::move(holder);
    return owned->get();
  }
  const std::wstring& installed = platform::RuleFilePath();
  if (CheckRuleFile(installed) != 0) {
    *error = "no rule file is installed at " + platform::ToNarrow(installed) +
             " (run 'cvie rules install', or give --rules or --rule-text)";
    return nullptr;
  }
  PrepareRules(installed.c_str());
  RulesHolder* rules = ProcessRules();
  if (rules == nullptr)
    *error = "cannot load the installed rule file " + platform::ToNarrow(installed);
  return rules;
}

}  // namespace cvie::app
