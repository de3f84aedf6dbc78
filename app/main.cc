// cvie: the host program. Subcommands register themselves (command.h).

#include <stdio.h>

#include <algorithm>
#include <map>

#include "command.h"

namespace cvie::app {

std::vector<CommandEntry>& RegisteredCommands() {
  static std::vector<CommandEntry> commands;
  return commands;
}

int Fail(const std::string& message) {
  fprintf(stderr, "cvie: %s\n", message.c_str());
  return 1;
}

}  // namespace cvie::app

int main(int argc, char** argv) {
  using cvie::app::CommandEntry;
  CLI::App app{"Corvane Filter: removes advertising from web pages", "cvie"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show help for every command");

  auto commands = cvie::app::RegisteredCommands();
  std::sort(commands.begin(), commands.end(),
            [](const CommandEntry& a, const CommandEntry& b) { return a.name < b.name; });
  std::map<CLI::App*, cvie::app::CommandRun> runners;
  for (const CommandEntry& entry : commands) {
    CLI::App* sub = app.add_subcommand(entry.name, entry.description);
    runners[sub] = entry.setup(sub);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  for (CLI::App* sub : app.get_subcommands()) {
    auto it = runners.find(sub);
    if (it != runners.end() && it->second) return it->second();
  }
  return cvie::app::Fail("no command given (see --help)");
}
