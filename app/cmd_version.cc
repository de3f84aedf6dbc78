// cvie version: prints the program version.

#include <stdio.h>

#include "command.h"

namespace cvie::app {

const char* VersionLine() { return "Corvane Filter 2.2"; }

namespace {

CommandRun SetupVersion(CLI::App*) {
  return [] {
    printf("%s\n", VersionLine());
    return 0;
  };
}

CommandRegistrar kVersion("version", "Print the program version", SetupVersion);

}  // namespace
}  // namespace cvie::app
