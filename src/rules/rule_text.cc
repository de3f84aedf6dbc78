#include "rules/rule_text.h"

#include <fstream>

namespace cvie {

bool ReadRuleText(const std::string& path, RulesHolder* holder) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (holder->ParseRule(line) == -1) return true;
  }
  return !in.bad();
}

}  // namespace cvie
