// cvie options list|get|set: the stored filter options.

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "command.h"
#include "config/options.h"
#include "platform/text.h"

namespace cvie::app {
namespace {

// Parses a whole decimal integer that a REG_DWORD can hold, signed or not.
bool ParseOptionValue(const std::string& text, long long* value) {
  if (text.empty()) return false;
  size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j) {
    if (text[j] < '0' || text[j] > '9') return false;
  }
  errno = 0;
  long long v = strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < -2147483648LL || v > 4294967295LL) return false;
  *value = v;
  return true;
}

int FindOrFail(const std::string& name, int* index) {
  *index = FindOption(ToWide(name));
  if (*index < 0) return Fail("unknown option \"" + name + "\" (see cvie options list)");
  return 0;
}

CommandRun SetupList(CLI::App*) {
  return [] {
    CVCfg& cfg = CVCfg::Instance();
    printf("%-24s %11s %11s\n", "option", "value", "default");
    for (int i = 0; i < OPTION_COUNT; ++i) {
      const OptionDefinition& d = kOptionDefinitions[i];
      printf("%-24s %11lld %11d\n", ToNarrow(d.value_name).c_str(),
             static_cast<long long>(cfg.GetOption(i)), d.default_value);
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
    long long v;
    if (!ParseOptionValue(*value, &v)) return Fail("not an integer: \"" + *value + "\"");
    // Values above the int range are DWORDs; they keep their bits.
    CVCfg::Instance().OptionParam(index)->SetInt(
        static_cast<int32_t>(static_cast<uint32_t>(v)));
    return 0;
  };
}

CommandRegistrar kList("options list", "List every option: registry name, value, default",
                       SetupList);
CommandRegistrar kGet("options get", "Print the value of one option", SetupGet);
CommandRegistrar kSet("options set", "Store an integer value for one option", SetupSet);

}  // namespace
}  // namespace cvie::app
