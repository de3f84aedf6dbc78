// cvie version: prints the program version.

#include <stdio.h>

#include "command.h"

namespace cvie::app {
namespace {

CommandRun SetupVersion(CLI::App*) {
  return [] {
    printf("Corvane Filter 2.2\n");
    return 0;
  };
}

CommandRegistrar kVersion("version", "Print the program version", SetupVersion);

}  // namespace
}  // namespace cvie::app
