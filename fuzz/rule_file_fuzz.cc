// rule_file_fuzz: whole rule files through RuleFileReader.
//
// The first input byte picks the shape of the file:
//   0: the input itself is the file (random bytes, bad headers, short files);
//   1: the input is a plain rule text, enciphered with EncipherRuleFile; the
//      header must check and the reader must hand on exactly the lines the
//      text holds (lines of 5..kMaxRuleLineLength bytes, cut at a NUL, the
//      bytes after the last line feed dropped);
//   2: as 1, then the file is cut short or one of its bytes changed at
//      offsets taken from the input: the reader must stay inside its buffer
//      and the header check must fail unless the file was not changed.
// Nothing may crash, read past a buffer or loop without end.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "rules/rule_file.h"

namespace {

using namespace cvie;

void Check(bool condition) {
  if (!condition) abort();
}

struct Paths {
  std::string plain;
  std::string file;
};

const Paths& WorkPaths() {
  static const Paths paths = [] {
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("rule_file_fuzz." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return Paths{(dir / "rules.txt").string(), (dir / "cvie.rle").string()};
  }();
  return paths;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

std::wstring Wide(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

// The lines a reader hands on for the plain text `text`.
std::vector<std::string> ExpectedLines(std::string text) {
  while (text.size() % 8 != 0) text.push_back('\n');
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t feed; (feed = text.find('\n', start)) != std::string::npos;
       start = feed + 1) {
    std::string line = text.substr(start, feed - start);
    if (line.size() > static_cast<size_t>(kMaxRuleLineLength)) continue;
    line = line.substr(0, line.find('\0'));
    if (line.size() >= static_cast<size_t>(kMinRuleLineLength)) lines.push_back(line);
  }
  return lines;
}

// Checks the file and reads all of its lines; returns the header check result.
int ReadAll(const std::string& path, std::vector<std::string>* lines) {
  std::optional<std::string> checksum = FileChecksum(Wide(path), kRuleFileHeaderSize);
  RuleFileReader reader(Wide(path), [lines](std::string line) {
    lines->push_back(std::move(line));
    return 1;
  });
  int check = reader.CheckHeader(checksum.value_or(""), false);
  if (!reader.is_open()) return check;
  size_t size = ReadFile(path).size();
  // Each call consumes at least one line feed, so the calls are bounded.
  size_t calls = 0;
  while (reader.NextLine() == 1) Check(++calls <= size + 1);
  return check;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 64 * 1024) return 0;
  const Paths& paths = WorkPaths();
  int mode = data[0] % 3;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> lines;

  if (mode == 0) {
    WriteFile(paths.file, input);
    ReadAll(paths.file, &lines);
    return 0;
  }

  // Two offsets for mode 2 come from the end of the input.
  uint32_t cut = 0, flip = 0;
  if (mode == 2 && input.size() >= 4) {
    cut = static_cast<uint8_t>(input[input.size() - 1]) |
          static_cast<uint8_t>(input[input.size() - 2]) << 8;
    flip = static_cast<uint8_t>(input[input.size() - 3]) |
           static_cast<uint8_t>(input[input.size() - 4]) << 8;
    input.resize(input.size() - 4);
  }
  WriteFile(paths.plain, input);
  Check(EncipherRuleFile(paths.plain, paths.file, '2', '2') == 0);
  if (mode == 1) {
    Check(ReadAll(paths.file, &lines) == 0);
    Check(lines == ExpectedLines(input));
    return 0;
  }

  std::string file = ReadFile(paths.file);
  std::string changed = file;
  if (cut % 2 == 0) changed.resize(cut / 2 % (file.size() + 1));
  if (flip % 2 == 0 && !changed.empty()) changed[flip / 2 % changed.size()] ^= 0x5a;
  WriteFile(paths.file, changed);
  int check = ReadAll(paths.file, &lines);
  if (changed == file) Check(check == 0);
  // A body changed or cut short no longer matches its checksum.
  if (changed.size() >= static_cast<size_t>(kRuleFileHeaderSize) &&
      changed.substr(0, kRuleFileHeaderSize) == file.substr(0, kRuleFileHeaderSize) &&
      changed != file) {
    Check(check == -3);
  }
  return 0;
}
