// cvie: the host program. Subcommands register themselves (command.h).

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "command.h"
#include "config/options.h"
#include "platform/data_folders.h"

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

int UsageError(const std::string& message) {
  fprintf(stderr, "cvie: %s\n", message.c_str());
  return kUsageStatus;
}

namespace {

// The names of the subcommands of `level`, in order, joined with ", ".
std::string SubcommandNames(const CLI::App* level) {
  std::string names;
  for (const CLI::App* sub : level->get_subcommands({})) {
    if (!names.empty()) names += ", ";
    names += sub->get_name();
  }
  return names;
}

// Walks the command words at the start of the arguments. When a word names no
// command of its level, or the words stop at a group of commands, writes so
// with the commands there are and returns false. Options end the walk (CLI11
// judges them).
bool CommandWordsKnown(CLI::App* app, int argc, char** argv) {
  CLI::App* level = app;
  std::string path = "cvie";
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (word[0] == '-' || level->get_subcommands({}).empty()) return true;
    CLI::App* sub = nullptr;
    try {
      sub = level->get_subcommand(word);
    } catch (const CLI::OptionNotFound&) {
      sub = nullptr;
    }
    if (sub == nullptr) {
      std::string full = level == app ? word : path.substr(5) + " " + word;
      fprintf(stderr, "cvie: unknown command: %s (%s commands: %s)\n", full.c_str(),
              path.c_str(), SubcommandNames(level).c_str());
      return false;
    }
    path += " " + sub->get_name();
    level = sub;
  }
  if (level->get_subcommands({}).empty() || level->get_require_subcommand_min() == 0) {
    return true;
  }
  fprintf(stderr, "cvie: a command is required (%s commands: %s)\n", path.c_str(),
          SubcommandNames(level).c_str());
  return false;
}

}  // namespace

}  // namespace cvie::app

int main(int argc, char** argv) {
  using cvie::app::CommandEntry;
  CLI::App app{"Corvane Filter: removes advertising from web pages", "cvie"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show help for every command");
  app.set_version_flag("--version", cvie::app::VersionLine());

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
        // A group that is a command of its own ("lists") runs without one of
        // its subcommands ("lists add") too.
        CLI::App* group_app = nullptr;
        for (CLI::App* existing : app.get_subcommands({})) {
          if (existing->get_name() == group) group_app = existing;
        }
        if (!group_app) {
          group_app = app.add_subcommand(group, cvie::app::GroupDescription(group));
          group_app->require_subcommand(1);
        } else {
          group_app->require_subcommand(0, 1);
        }
        found = groups.emplace(group, group_app).first;
      }
      parent = found->second;
    }
    CLI::App* sub = parent->add_subcommand(name, entry.description);
    runners[sub] = entry.setup(sub);
  }

  if (!cvie::app::CommandWordsKnown(&app, argc, argv)) return cvie::app::kUsageStatus;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // One line, whatever CLI11 would have added.
    std::string what = e.what();
    for (char& c : what) {
      if (c == '\n') c = ' ';
    }
    while (!what.empty() && what.back() == ' ') what.pop_back();
    return cvie::app::UsageError(what + " (see --help)");
  }
  CLI::App* chosen = nullptr;
  for (CLI::App* level = &app; level && !level->get_subcommands().empty();) {
    level = level->get_subcommands().front();
    chosen = level;
  }
  auto it = runners.find(chosen);
  if (it == runners.end() || !it->second) {
    return cvie::app::UsageError("no command given (see --help)");
  }
  // Every command starts as the module does: the data folders exist, then the
  // stored options are read once, which applies the "EnableLogging" switch
  // before anything is logged. The logger opens its file when the options
  // first ask for it, so the folders come first: a log file that cannot be
  // created then stays closed for the whole run.
  cvie::platform::CreateDataFolders();
  cvie::CVCfg::Instance();
  return it->second();
}
