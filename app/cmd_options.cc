// cvie options list|get|set: the stored filter options.

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "command.h"
#include "config/options.h"
#include "option_value.h"
#include "platform/text.h"

namespace cvie::app {
namespace {

int FindOrFail(const std::string& name, int* index) {
  *index = FindOption(platform::ToWide(name));
  if (*index < 0) {
    return UsageError("unknown option \"" + name + "\" (see cvie options list)");
  }
  return 0;
}

// What a value that the program keeps for itself, not a setting, is for.
const char* InternalNote(int index) {
  return index == OPTION_WHITE_LIST_TS ? "internal: when the whitelist last changed"
                                       : nullptr;
}

CommandRun SetupList(CLI::App*) {
  return [] {
    CVCfg& cfg = CVCfg::Instance();
    struct Row {
      std::string name, value, fallback;
      const char* note;
    };
    std::vector<Row> rows;
    rows.push_back({"option", "value", "default", nullptr});
    for (int i = 0; i < OPTION_COUNT; ++i) {
      const OptionDefinition& d = kOptionDefinitions[i];
      rows.push_back({platform::ToNarrow(d.value_name), std::to_string(cfg.GetOption(i)),
                      std::to_string(d.default_value), InternalNote(i)});
    }
    // Each column as wide as its widest entry: names to the left, numbers to
    // the right.
    size_t name_width = 0, value_width = 0, default_width = 0;
    for (const Row& row : rows) {
      name_width = std::max(name_width, row.name.size());
      value_width = std::max(value_width, row.value.size());
      default_width = std::max(default_width, row.fallback.size());
    }
    for (const Row& row : rows) {
      printf("%-*s  %*s  %*s", static_cast<int>(name_width), row.name.c_str(),
             static_cast<int>(value_width), row.value.c_str(),
             static_cast<int>(default_width), row.fallback.c_str());
      if (row.note) printf("  (%s)", row.note);
      printf("\n");
    }
    return 0;
  };
}

CommandRun SetupGet(CLI::App* sub) {
  auto name = std::make_shared<std::string>();
  sub->add_option("name", *name, "Registry name of the option, e.g. FilterImage")
      ->required();
  return [name] {
    int index;
    if (int rc = FindOrFail(*name, &index)) return rc;
    printf("%lld\n", static_cast<long long>(CVCfg::Instance().GetOption(index)));
    return 0;
  };
}

CommandRun SetupSet(CLI::App* sub) {
  auto name = std::make_shared<std::string>();
  auto value = std::make_shared<std::string>();
  sub->add_option("name", *name, "Registry name of the option, e.g. FilterImage")
      ->required();
  sub->add_option("value", *value, "Integer to store (Boolean options: 1 on, 0 off)")
      ->required();
  return [name, value] {
    int index;
    if (int rc = FindOrFail(*name, &index)) return rc;
    int32_t v;
    if (!ParseOptionValue(*value, &v)) {
      return UsageError("not an integer: \"" + *value + "\"");
    }
    CVCfg::Instance().OptionParam(index)->SetInt(v);
    return 0;
  };
}

CommandRegistrar kList("options list", "List every option: registry name, value, default",
                       SetupList);
CommandRegistrar kGet("options get", "Print the value of one option", SetupGet);
CommandRegistrar kSet("options set", "Store an integer value for one option", SetupSet);

}  // namespace
}  // namespace cvie::app
