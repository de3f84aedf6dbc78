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

std::string GroupDescription(const std::string& group) {
  static const std::map<std::string, std::string> kDescriptions = {
      {"rules", "Rule files: encipher, check, decipher, install, test, bench"},
      {"options", "Show and change the stored options"},
      {"whitelist", "Show and change the whitelist"},
      {"ca", "The local certificate authority for HTTPS filtering"},
      {"https", "Switch HTTPS filtering on or off"},
  };
  auto it = kDescriptions.find(group);
  return it == kDescriptions.end() ? group + " commands" : it->second;
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
  // A name with a space ("rules test") is a subcommand of its first word's group.
  std::map<std::string, CLI::App*> groups;
  std::map<CLI::App*, cvie::app::CommandRun> runners;
  for (const CommandEntry& entry : commands) {
    CLI::App* parent = &app;
    std::string name = entry.name;
    size_t space = name.find(' ');
    if (space != std::string::npos) {
      std::string group = name.substr(0, space);
      name = name.substr(space + 1);
      auto found = groups.find(group);
      if (found == groups.end()) {
        CLI::App* group_app = app.add_subcommand(group, cvie::app::GroupDescription(group));
        group_app->require_subcommand(1);
        found = groups.emplace(group, group_app).first;
      }
      parent = found->second;
    }
    CLI::App* sub = parent->add_subcommand(name, entry.description);
    runners[sub] = entry.setup(sub);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  CLI::App* chosen = nullptr;
  for (CLI::App* level = &app; level && !level->get_subcommands().empty();) {
    level = level->get_subcommands().front();
    chosen = level;
  }
  auto it = runners.find(chosen);
  if (it != runners.end() && it->second) return it->second();
  return cvie::app::Fail("no command given (see --help)");
}
