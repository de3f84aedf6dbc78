// cvie rules test: loads a rule list and says whether one element or one
// script block would be blocked, optionally showing every rule it tried.

#include <stdio.h>

#include <memory>
#include <string>

#include "command.h"
#include "rules/rule_options.h"
#include "rules/rule_text.h"
#include "rules/rules_holder.h"

namespace cvie::app {
namespace {

constexpr char kScriptBlockKind[] = "script-block";

// Fills `holder` from the rule list at `path`. The one place that loads
// rules for this command.
bool LoadRules(const std::string& path, RulesHolder* holder) {
  if (!ReadRuleText(path, holder)) return false;
  holder->set_loaded(true);
  holder->LogRuleCount();
  return true;
}

// Prints each rule tried: its translated pattern, the text and the outcome.
class ExplainPrinter : public MatchObserver {
 public:
  explicit ExplainPrinter(const RulesHolder& holder) : holder_(holder) {}
  void RuleTried(size_t index, const char* text, int result) override {
    const FilterRule& rule = holder_.Rule(index);
    printf("rule %zu: %s on %s: %s%s\n", index + 1, rule.pattern.c_str(), text,
           result > 0 ? "matched" : "no match", rule.good ? "" : " (does not compile)");
  }

 private:
  const RulesHolder& holder_;
};

struct RulesTestArgs {
  std::string rule_text;
  std::string kind;
  std::string text;
  bool explain = false;
};

CommandRun SetupRulesTest(CLI::App* sub) {
  auto args = std::make_shared<RulesTestArgs>();
  sub->add_option("--rule-text", args->rule_text, "Plain rule list, one rule a line")
      ->required();
  sub->add_flag("--explain", args->explain,
                "Show the pattern of each rule tried and whether it matched");
  sub->add_option("kind", args->kind,
                  "Element kind (link, image, background, flash, script, frame, "
                  "stylesheet, marquee, div) or script-block")
      ->required();
  sub->add_option("text", args->text, "The element's URL or text, or the script")
      ->required();
  return [args]() -> int {
    int kind = ElementKindFromName(args->kind);
    bool script_block = args->kind == kScriptBlockKind;
    if (kind < 0 && !script_block) return Fail("unknown kind: " + args->kind);
    RulesHolder holder;
    if (!LoadRules(args->rule_text, &holder)) {
      return Fail("cannot read rule file: " + args->rule_text);
    }
    ExplainPrinter printer(holder);
    MatchObserver* observer = args->explain ? &printer : nullptr;
    bool blocked = script_block
                       ? holder.ExplainScript(args->text.c_str(), observer)
                       : holder.ExplainElement(kind, args->text.c_str(), observer);
    printf("%s\n", blocked ? "blocked" : "allowed");
    return 0;
  };
}

CommandRegistrar kRulesTest("rules test",
                            "Tell whether rules block an element or a script block",
                            SetupRulesTest);

}  // namespace
}  // namespace cvie::app
