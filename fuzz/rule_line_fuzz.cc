// rule_line_fuzz: one rule line through RulesHolder::ParseRule, then every
// check on a few texts (including the line itself, so that patterns built from
// it get a chance to match).
//
// Nothing may crash or read past a buffer. A rule that was added and compiled
// must make Match return a value in 0..10 that MatchRule repeats; the explained
// decisions must equal the plain ones; and the candidate index, once built,
// must give the same decisions as the rule-by-rule scan.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "rules/filter_rule.h"
#include "rules/rules_holder.h"

namespace {

using namespace cvie;

// Aborts naming the failed property, so that a crash report says which one.
#define Check(condition)                                 \
  do {                                                   \
    if (!(condition)) {                                  \
      fprintf(stderr, "check failed: %s\n", #condition); \
      abort();                                           \
    }                                                    \
  } while (0)

struct Decisions {
  std::vector<bool> elements;  // kind-major, then text
  std::vector<bool> scripts;
};

Decisions Decide(RulesHolder* holder, const std::vector<std::string>& texts) {
  Decisions d;
  for (int kind = -1; kind <= 9; ++kind) {
    for (const std::string& text : texts) {
      bool blocked = holder->CheckElement(kind, text.c_str(), 0);
      Check(blocked == holder->ExplainElement(kind, text.c_str(), nullptr));
      d.elements.push_back(blocked);
    }
  }
  for (const std::string& text : texts) {
    bool blocked = holder->CheckScript(text.c_str(), 0);
    Check(blocked == holder->ExplainScript(text.c_str(), nullptr));
    d.scripts.push_back(blocked);
  }
  Check(!holder->CheckElement(0, nullptr, 0));
  Check(!holder->CheckScript(nullptr, 0));
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string line(reinterpret_cast<const char*>(data), size);
  RulesHolder holder;
  int added = holder.ParseRule(line);
  Check(added >= -1 && added <= 1);
  Check(holder.RuleCount() == (added == 1 ? 1u : 0u));

  std::string plain = line.substr(0, line.find('\0'));
  std::vector<std::string> texts = {
      "",
      "http://ads.example.com/banner/468x60.gif?id=1",
      "<script src=\"http://track.example.net/t.js\"></script>",
      "document.write('<img src=\\'http://x.example/a.png\\'>')",
      "\xC3\xA9\xE2\x82\xAC\xFF\xFE broken utf-8 \xC3",
      plain,
      "http://" + plain,
  };

  if (added == 1) {
    const FilterRule& rule = holder.Rule(0);
    Check((rule.good == 1) == (rule.compiled != nullptr));
    for (const std::string& text : texts) {
      int result = holder.Match(text.c_str(), &rule);
      Check(result >= 0 && result <= 10);
      Check(result == holder.MatchRule(0, text.c_str()));
      if (!rule.good) Check(result == 0);
    }
    Check(holder.MatchRule(1, texts[1].c_str()) == 0);
  }

  holder.set_reference_scan(true);
  Decisions reference = Decide(&holder, texts);
  if (holder.EnableIndex(L"")) {
    holder.set_reference_scan(false);
    Decisions indexed = Decide(&holder, texts);
    Check(indexed.elements == reference.elements);
    Check(indexed.scripts == reference.scripts);
  }
  return 0;
}
