// app/command.h
//
// Each cvie command lives in its own file and registers itself with a static
// CommandRegistrar. main() adds one CLI11 subcommand per registration, lets the
// command declare its options, parses, and runs the command that was chosen.

#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace cvie::app {

// Runs a parsed command; returns the process exit status (0 success).
using CommandRun = std::function<int()>;
// Declares the command's options and positionals on `sub` (options bound to
// variables the returned run function captures) and returns that function.
using CommandSetup = std::function<CommandRun(CLI::App* sub)>;

struct CommandEntry {
  std::string name;
  std::string description;
  CommandSetup setup;
};

std::vector<CommandEntry>& RegisteredCommands();

// A name may be "group sub" (e.g. "rules test"): the group command is made once
// and requires one of its subcommands.
struct CommandRegistrar {
  CommandRegistrar(std::string name, std::string description, CommandSetup setup) {
    RegisteredCommands().push_back(
        {std::move(name), std::move(description), std::move(setup)});
  }
};

// The help line of a command group such as "rules".
std::string GroupDescription(const std::string& group);

// Prints "cvie: <message>" on stderr and returns 1: the usual failure ending.
int Fail(const std::string& message);

// The exit status of a command line that cannot be run as written.
constexpr int kUsageStatus = 2;
// Prints "cvie: <message>" on stderr and returns kUsageStatus: the ending of
// an argument error (a value out of range, an unknown name).
int UsageError(const std::string& message);

// "Corvane Filter <version>", as `cvie version` and `cvie --version` print it.
const char* VersionLine();

}  // namespace cvie::app
