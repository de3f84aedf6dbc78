// Helpers shared by the rule file tests: scratch folders, the log, and rule
// files built by hand (any key, any header) for the failure cases.

#pragma once

#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "rules/rule_cipher.h"
#include "rules/rule_file.h"

namespace cvie::testing {

// A fresh empty folder under this process's test root.
inline std::filesystem::path ScratchDir(const std::string& name) {
  static int counter = 0;
  std::filesystem::path dir =
      TestRoot() / ("scratch-" + name + std::to_string(++counter));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

inline std::wstring Wide(const std::filesystem::path& path) {
  return platform::ToWide(path.string());
}

// The log writes only when its folder exists when the logger is made: make the
// folders first, then the logger.
inline void StartLogging() {
  platform::CreateDataFolders();
  Logger::Instance().Enable();
}

inline std::string LogText() {
  std::string text;
  ReadFile(platform::ToNarrow(platform::LogFilePath()), &text);
  return text;
}

// Lines of `log` whose message (after the "T.. date L30 " prefix) is `message`.
inline int CountLogLines(const std::string& log, const std::string& message) {
  int count = 0;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    size_t level = line.find(" L30 ");
    if (level != std::string::npos && line.substr(level + 5) == message) ++count;
    start = end + 1;
  }
  return count;
}

// Counts message lines written to the log after the object was made.
class LogWatch {
 public:
  LogWatch() : start_(LogText().size()) {}
  std::string Since() const {
    std::string text = LogText();
    return text.size() > start_ ? text.substr(start_) : std::string();
  }
  int Count(const std::string& message) const { return CountLogLines(Since(), message); }

 private:
  size_t start_;
};

// A rule file built from its parts: `plain` padded with line feeds, enciphered
// under `key`, behind a header made of `magic`, the version characters and the
// body's checksum (or `checksum_field` when given).
inline std::string BuildRuleFile(const std::string& plain, const XteaKey& key,
                                 const char* magic = "!CVR", char major = '1',
                                 char minor = '0', const char* checksum_field = nullptr) {
  std::string body = plain;
  while (body.size() % 8 != 0) body += '\n';
  for (size_t i = 0; i < body.size(); i += 8) {
    XteaEncipher(reinterpret_cast<uint8_t*>(&body[i]), key);
  }
  RuleChecksum sum;
  sum.Update(body.data(), body.size());
  std::string checksum = checksum_field ? checksum_field : ChecksumText(sum.Value());
  std::string header(32, ' ');
  header[31] = '\n';
  memcpy(&header[0], magic, 4);
  header[4] = major;
  header[5] = minor;
  memcpy(&header[8], checksum.data(), std::min<size_t>(checksum.size(), 23));
  for (size_t i = 0; i < header.size(); i += 8) {
    XteaEncipher(reinterpret_cast<uint8_t*>(&header[i]), key);
  }
  return header + body;
}

inline std::string BuildRuleFile(const std::string& plain) {
  return BuildRuleFile(plain, RuleFileKey());
}

// Every line the reader hands on, in order, until NextLine stops returning 1.
// A line equal to `stop_line` makes the sink answer -1.
inline std::vector<std::string> ReadLines(const std::filesystem::path& file,
                                          int* last_result = nullptr,
                                          const std::string& stop_line = "") {
  std::vector<std::string> lines;
  RuleFileReader reader(Wide(file), [&](std::string line) {
    lines.push_back(line);
    return line == stop_line ? -1 : 1;
  });
  int result;
  while ((result = reader.NextLine()) == 1) {
  }
  if (last_result) *last_result = result;
  return lines;
}

}  // namespace cvie::testing
