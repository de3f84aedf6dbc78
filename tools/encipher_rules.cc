// encipher_rules: the build step that turns the plain default rule list into
// the rule file built into the cvie program.
//
//   encipher_rules PLAIN MAJOR.MINOR OUT.cc
//
// Enciphers a copy of PLAIN (PLAIN itself is not padded or changed) as a rule
// file of the given version, writes that file beside OUT.cc as OUT.rle, and
// writes OUT.cc: a C++ source defining cvie::BundledRuleFile() over its bytes.

#include <stdio.h>

#include <fstream>
#include <sstream>
#include <string>

#include "rules/rule_file.h"

namespace {

bool ReadAll(const std::string& path, std::string* contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *contents = buffer.str();
  return true;
}

bool WriteAll(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  out.close();
  return !out.fail();
}

std::string SourceFor(const std::string& rule_file, const std::string& plain_path) {
  std::string source;
  source += "// Generated from " + plain_path + " by encipher_rules. Do not edit.\n";
  source += "#include \"rules/bundled_rules.h\"\n\nnamespace cvie {\nnamespace {\n\n";
  source += "const unsigned char kBundledRuleFile[] = {";
  char byte[8];
  for (size_t i = 0; i < rule_file.size(); ++i) {
    if (i % 12 == 0) source += "\n   ";
    snprintf(byte, sizeof byte, " 0x%02x,", static_cast<unsigned char>(rule_file[i]));
    source += byte;
  }
  source += "\n};\n\n}  // namespace\n\n";
  source += "std::string_view BundledRuleFile() {\n";
  source +=
      "  return std::string_view(reinterpret_cast<const char*>(kBundledRuleFile),\n";
  source += "                          sizeof kBundledRuleFile);\n}\n\n";
  source += "}  // namespace cvie\n";
  return source;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: encipher_rules PLAIN MAJOR.MINOR OUT.cc\n");
    return 2;
  }
  const std::string plain_path = argv[1];
  const std::string version = argv[2];
  const std::string out_path = argv[3];
  if (version.size() != 3 || version[1] != '.') {
    fprintf(stderr, "encipher_rules: version must be MAJOR.MINOR, one character each\n");
    return 2;
  }

  std::string plain;
  if (!ReadAll(plain_path, &plain)) {
    fprintf(stderr, "encipher_rules: cannot read %s\n", plain_path.c_str());
    return 1;
  }
  const std::string copy_path = out_path + ".txt";
  const std::string rule_path = out_path + ".rle";
  if (!WriteAll(copy_path, plain)) {
    fprintf(stderr, "encipher_rules: cannot write %s\n", copy_path.c_str());
    return 1;
  }
  int result = cvie::EncipherRuleFile(copy_path, rule_path, version[0], version[2]);
  remove(copy_path.c_str());
  if (result != 0) {
    fprintf(stderr, "encipher_rules: enciphering %s failed (%d)\n", plain_path.c_str(),
            result);
    return 1;
  }
  std::string rule_file;
  if (!ReadAll(rule_path, &rule_file) ||
      !WriteAll(out_path, SourceFor(rule_file, plain_path))) {
    fprintf(stderr, "encipher_rules: cannot write %s\n", out_path.c_str());
    return 1;
  }
  return 0;
}
