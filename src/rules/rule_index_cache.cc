#include "rules/rule_index_cache.h"

#include "rules/rule_file.h"
#include "rules/rules_holder.h"

namespace cvie {

std::wstring RuleIndexCachePath(const std::wstring& rule_file) {
  return rule_file + L".idx";
}

bool RebuildRuleIndexCache(const std::wstring& rule_file) {
  RulesHolder holder;
  RulesHolder* sink = &holder;
  RuleFileReader reader(
      rule_file, [sink](std::string line) { return sink->ParseRule(std::move(line)); });
  while (reader.NextLine() == 1) {
  }
  reader.Close();
  return holder.EnableIndex(RuleIndexCachePath(rule_file));
}

}  // namespace cvie
