// cvie rules test: loads rules (a rule list or file, filter lists) and says
// whether one element or one script block would be blocked, or does so for
// every line of a batch file, optionally explaining each decision.

#include <stdio.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "command.h"
#include "lists/filter_list.h"
#include "lists/list_engine.h"
#include "lists/site.h"
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
  std::string page;
  std::string batch;
  bool explain = false;
};

// The rules one command asks: the product's own and the filter lists.
struct LoadedRules {
  std::unique_ptr<RulesHolder> owned;
  RulesHolder* holder = nullptr;                // null when only lists are asked
  std::shared_ptr<const lists::ListSet> lists;  // null when no list is asked
};

// Decides one query and prints the explanation when asked. Returns -1 for an
// unknown kind, else 1 when blocked and 0 when allowed.
int Decide(const LoadedRules& loaded, const std::string& kind_name,
           const std::string& text, const std::string& page, bool explain) {
  int kind = KindFromName(kind_name);
  bool script_block = kind_name == kScriptBlockKind;
  if (kind < 0 && !script_block) return -1;
  bool blocked = false;
  if (loaded.holder != nullptr) {
    ExplainPrinter printer(*loaded.holder);
    MatchObserver* observer = explain ? &printer : nullptr;
    blocked = script_block ? loaded.holder->ExplainScript(text.c_str(), observer)
                           : loaded.holder->ExplainElement(kind, text.c_str(), observer);
  }
  if (!blocked && loaded.lists && !script_block) {
    // As on a page: a relative address is the one it stands for there.
    const std::string url = lists::ResolveAgainst(page, text);
    lists::Request request{lists::RequestTypeOfKind(kind), url, page};
    const lists::ListEngine& engine = *loaded.lists->engine;
    lists::Decision decision = engine.Decide(request);
    if (explain) {
      if (decision.blocking.valid()) {
        printf("list rule %s\n", engine.Describe(decision.blocking).c_str());
      } else {
        printf("no list rule matches\n");
      }
      if (decision.exception.valid()) {
        printf("list exception %s\n", engine.Describe(decision.exception).c_str());
      }
    }
    blocked = decision.blocked;
  }
  return blocked ? 1 : 0;
}

CommandRun SetupRulesTest(CLI::App* sub) {
  auto args = std::make_shared<RulesTestArgs>();
  args->rules.AddOptions(sub);
  sub->add_flag("--explain", args->explain,
                "Show the pattern of each rule tried and whether it matched, and the "
                "list rule and exception that decided");
  sub->add_option("--page", args->page,
                  "Address of the page the element is on (lists: third-party, domain=)");
  sub->add_option("--batch", args->batch,
                  "File of \"KIND URL [PAGE]\" lines: one decision a line, in order");
  sub->add_option("kind", args->kind, "Element kind (" + KindNames() + ")");
  sub->add_option("text", args->text, "The element's URL or text, or the script");
  return [args]() -> int {
    if (args->batch.empty() && (args->kind.empty() || args->text.empty())) {
      return UsageError("give KIND and TEXT, or --batch FILE");
    }
    LoadedRules loaded;
    std::string error;
    if (args->rules.WantsRules()) {
      loaded.holder = args->rules.Load(&loaded.owned, &error);
      if (loaded.holder == nullptr) return Fail(error);
    }
    if (!args->rules.LoadListSet(&loaded.lists, &error)) return Fail(error);
    if (args->batch.empty()) {
      int result = Decide(loaded, args->kind, args->text, args->page, args->explain);
      if (result < 0) {
        return UsageError("unknown kind: " + args->kind + " (kinds: " + KindNames() +
                          ")");
      }
      printf("%s\n", result > 0 ? "blocked" : "allowed");
      return 0;
    }
    std::ifstream in(args->batch, std::ios::binary);
    if (!in.is_open()) return Fail("cannot read " + args->batch);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::istringstream fields(line);
      std::string kind, url, page;
      fields >> kind >> url >> page;
      if (kind.empty()) continue;
      int result = Decide(loaded, kind, url, page, args->explain);
      if (result < 0) {
        return UsageError("unknown kind: " + kind + " (kinds: " + KindNames() + ")");
      }
      printf("%s\n", result > 0 ? "blocked" : "allowed");
    }
    return 0;
  };
}

CommandRegistrar kRulesTest("rules test",
                            "Tell whether rules block an element or a script block",
                            SetupRulesTest);

}  // namespace
}  // namespace cvie::app
