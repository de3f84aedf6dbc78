// cvie rules test: loads a rule list and says whether one element or one
// script block would be blocked, optionally showing every rule it tried.

#include <stdio.h>

#include <iterator>
#include <memory>
#include <string>

#include "command.h"
#include "rule_source.h"
#include "rules/rule_options.h"
#include "rules/rules_holder.h"

namespace cvie::app {
namespace {

constexpr char kScriptBlockKind[] = "script-block";

// Type names of public filter lists, for the element kind each one stands for
// when the page editor asks (names equal to a kind, such as "image" or
// "script", need no entry).
struct KindAlias {
  const char* alias;
  const char* kind;
};
constexpr KindAlias kKindAliases[] = {
    {"subdocument", "frame"}, {"object", "flash"}, {"object-subrequest", "flash"},
    {"css", "stylesheet"},    {"other", "link"},
};

// The element kind named by `name` or by one of its aliases, or -1.
int KindFromName(const std::string& name) {
  for (const KindAlias& alias : kKindAliases) {
    if (name == alias.alias) return ElementKindFromName(alias.kind);
  }
  return ElementKindFromName(name);
}

// "link, image, ... or script-block (also subdocument = frame, ...)".
std::string KindNames() {
  std::string names;
  for (int i = 0; i < kElementKindCount; ++i) {
    names += kElementKinds[i].name;
    names += ", ";
  }
  names += kScriptBlockKind;
  names += "; list type names: ";
  for (size_t i = 0; i < std::size(kKindAliases); ++i) {
    if (i > 0) names += ", ";
    names += std::string(kKindAliases[i].alias) + " = " + kKindAliases[i].kind;
  }
  return names;
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
  RuleSource rules;
  std::string kind;
  std::string text;
  bool explain = false;
};

CommandRun SetupRulesTest(CLI::App* sub) {
  auto args = std::make_shared<RulesTestArgs>();
  args->rules.AddOptions(sub);
  sub->add_flag("--explain", args->explain,
                "Show the pattern of each rule tried and whether it matched");
  sub->add_option("kind", args->kind, "Element kind (" + KindNames() + ")")->required();
  sub->add_option("text", args->text, "The element's URL or text, or the script")
      ->required();
  return [args]() -> int {
    int kind = KindFromName(args->kind);
    bool script_block = args->kind == kScriptBlockKind;
    if (kind < 0 && !script_block) {
      return UsageError("unknown kind: " + args->kind + " (kinds: " + KindNames() + ")");
    }
    std::unique_ptr<RulesHolder> owned;
    std::string error;
    RulesHolder* holder = args->rules.Load(&owned, &error);
    if (holder == nullptr) return Fail(error);
    ExplainPrinter printer(*holder);
    MatchObserver* observer = args->explain ? &printer : nullptr;
    bool blocked = script_block
                       ? holder->ExplainScript(args->text.c_str(), observer)
                       : holder->ExplainElement(kind, args->text.c_str(), observer);
    printf("%s\n", blocked ? "blocked" : "allowed");
    return 0;
  };
}

CommandRegistrar kRulesTest("rules test",
                            "Tell whether rules block an element or a script block",
                            SetupRulesTest);

}  // namespace
}  // namespace cvie::app
