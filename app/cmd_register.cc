// cvie register / cvie unregister: install and remove the module's registry
// entries (and, on removal, the user's options and the shared data folder).

#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "ie/registration.h"

namespace cvie::app {
namespace {

CommandRun SetupRegister(CLI::App* sub) {
  auto print = std::make_shared<bool>(false);
  sub->add_flag("--print", *print, "List every key and value written");
  return [print] {
    std::vector<std::string> written;
    HRESULT hr = RegisterModule(*print ? &written : nullptr);
    for (const std::string& line : written) printf("%s\n", line.c_str());
    if (FAILED(hr)) return Fail("registration failed");
    return 0;
  };
}

CommandRun SetupUnregister(CLI::App*) {
  return [] {
    if (FAILED(UnregisterModule())) return Fail("unregistration failed");
    return 0;
  };
}

CommandRegistrar kRegister("register", "Write the module's registry entries",
                           SetupRegister);
CommandRegistrar kUnregister(
    "unregister",
    "Remove the module's registry entries, the user's options and "
    "the shared data folder",
    SetupUnregister);

}  // namespace
}  // namespace cvie::app
