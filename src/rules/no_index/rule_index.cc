// The rule index of a build without Vectorscan (the Windows module): there is
// no index, so RulesHolder checks every text rule by rule, which gives the
// same decisions at the cost of running each rule's pattern in turn. No
// RuleIndex object is ever made; the members exist so the holder links.

#include "rules/rule_index.h"

namespace cvie {

RuleIndex::~RuleIndex() = default;

std::unique_ptr<RuleIndex> RuleIndex::Build(const RulesHolder&) { return nullptr; }

std::string RuleIndex::Serialize() const { return std::string(); }

std::unique_ptr<RuleIndex> RuleIndex::Deserialize(const RulesHolder&,
                                                  const std::string&) {
  return nullptr;
}

std::unique_ptr<RuleIndex> RuleIndex::LoadOrBuild(const RulesHolder&, const std::wstring&,
                                                  bool* from_cache) {
  if (from_cache) *from_cache = false;
  return nullptr;
}

std::string RuleIndex::RulesKey(const RulesHolder&) { return std::string(); }

int RuleIndex::Score(uint32_t, const char*, size_t) const { return 0; }

int RuleIndex::FindRule(uint32_t, const char*, size_t, size_t*) const { return 0; }

size_t RuleIndex::CountOf(Mode) const { return 0; }

size_t RuleIndex::DatabaseBytes() const { return 0; }

}  // namespace cvie
