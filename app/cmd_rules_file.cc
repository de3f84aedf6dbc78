// cvie rules encipher|check|decipher|install: make, inspect and install
// enciphered rule files.

#include <stdio.h>
#include <string.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "command.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "rules/bundled_rules.h"
#include "rules/rule_file.h"
#include "rules/rule_loading.h"

namespace cvie::app {
namespace {

bool ReadWholeFile(const std::string& path, std::string* contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  *contents = buffer.str();
  return true;
}

// Checks the rule file at `path`. Returns an empty text when it is good (its
// checksum in `checksum`), else why it is not.
std::string VerifyRuleFile(const std::string& path, std::string* checksum) {
  std::ifstream probe(path, std::ios::binary);
  if (!probe) return path + ": cannot open the file";
  probe.close();
  std::wstring wide = platform::ToWide(path);
  std::optional<std::string> sum = FileChecksum(wide, kRuleFileHeaderSize);
  if (!sum) return path + ": cannot read the file";
  RuleFileReader reader(wide, nullptr);
  std::optional<RuleFileHeader> header = reader.ReadHeader();
  if (!header) return path + ": too short to be a rule file";
  bool magic_good = memcmp(header->data(), "!CVR", 4) == 0;
  int result = reader.CheckHeader(*sum, true);
  if (!magic_good) {
    return path + ": magic is wrong (not a rule file, or enciphered with another key)";
  }
  if (result != 0) return path + ": checksum is wrong (the file is damaged)";
  *checksum = *sum;
  return std::string();
}

CommandRun SetupEncipher(CLI::App* sub) {
  auto plain = std::make_shared<std::string>();
  auto output = std::make_shared<std::string>();
  auto version = std::make_shared<std::string>();
  sub->add_option("PLAIN", *plain, "Plain rule text (left unchanged)")->required();
  sub->add_option("OUT", *output, "Rule file to write")->required();
  sub->add_option("--version", *version, "Rule file version MAJOR.MINOR, e.g. 1.0")
      ->required();
  return [plain, output, version]() {
    const std::string& v = *version;
    if (v.size() != 3 || v[1] != '.' || v[0] == ' ' || v[2] == ' ') {
      return UsageError(
          "--version must be MAJOR.MINOR with one character each, e.g. 1.0");
    }
    std::string text;
    if (!ReadWholeFile(*plain, &text)) return Fail(*plain + ": cannot read the file");
    if (static_cast<long long>(text.size()) > kMaxRuleTextSize) {
      return Fail(*plain + ": larger than 4194304 bytes");
    }
    // The encipher step pads its input in place: give it a copy.
    const std::string copy = *output + ".plain.tmp";
    {
      std::ofstream out(copy, std::ios::binary | std::ios::trunc);
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      out.close();
      if (out.fail()) {
        remove(copy.c_str());
        return Fail(copy + ": cannot write the file");
      }
    }
    int result = EncipherRuleFile(copy, *output, v[0], v[2]);
    remove(copy.c_str());
    if (result == -1) return Fail(*plain + ": cannot read the rule text");
    if (result != 0) return Fail(*output + ": cannot write the rule file");
    std::string checksum;
    VerifyRuleFile(*output, &checksum);
    printf("%s: rule file version %s, checksum %s\n", output->c_str(), v.c_str(),
           checksum.c_str());
    return 0;
  };
}

CommandRun SetupCheck(CLI::App* sub) {
  auto path = std::make_shared<std::string>();
  sub->add_option("FILE", *path, "Rule file to check")->required();
  return [path]() {
    std::string checksum;
    std::string problem = VerifyRuleFile(*path, &checksum);
    if (!problem.empty()) return Fail(problem);
    printf("good\nversion: %s\nchecksum: %s\n", RuleFileVersion().c_str(),
           checksum.c_str());
    return 0;
  };
}

CommandRun SetupDecipher(CLI::App* sub) {
  auto path = std::make_shared<std::string>();
  sub->add_option("FILE", *path, "Rule file to decipher")->required();
  return [path]() {
    std::string checksum;
    std::string problem = VerifyRuleFile(*path, &checksum);
    if (!problem.empty()) return Fail(problem);
    std::string body;
    if (!DecipherRuleFileBody(platform::ToWide(*path), &body)) {
      return Fail(*path + ": cannot read the file");
    }
    fwrite(body.data(), 1, body.size(), stdout);
    return 0;
  };
}

CommandRun SetupInstall(CLI::App* sub) {
  auto path = std::make_shared<std::string>();
  sub->add_option("FILE", *path, "Rule file to install (default: the bundled one)");
  return [path]() {
    std::string contents;
    std::string source = "the bundled rule file";
    if (path->empty()) {
      contents = std::string(BundledRuleFile());
    } else {
      if (!ReadWholeFile(*path, &contents)) return Fail(*path + ": cannot read the file");
      source = *path;
    }
    platform::CreateDataFolders();
    const std::wstring& installed = platform::RuleFilePath();
    if (InstallRuleFileContents(contents, installed) != 0) {
      return Fail(source +
                  " was not installed (not a good rule file, or the rule "
                  "folder is not writable); nothing was changed");
    }
    printf("installed %s (rule file version %s) as %s\n", source.c_str(),
           RuleFileVersion().c_str(), platform::ToNarrow(installed).c_str());
    return 0;
  };
}

CommandRegistrar kEncipher("rules encipher",
                           "Encipher a plain rule text into a rule file", SetupEncipher);
CommandRegistrar kCheck("rules check",
                        "Check a rule file's magic and checksum; print its version",
                        SetupCheck);
CommandRegistrar kDecipher("rules decipher",
                           "Print the plain rule text of a good rule file",
                           SetupDecipher);
CommandRegistrar kInstall("rules install",
                          "Install a rule file (default: the bundled one) for the next "
                          "start",
                          SetupInstall);

}  // namespace
}  // namespace cvie::app
