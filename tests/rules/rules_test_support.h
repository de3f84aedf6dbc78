// tests/rules/rules_test_support.h
//
// Helpers shared by the rule engine tests: building a holder from rule lines
// and reading what the logger appended to the log file during a test.

#pragma once

#include <stddef.h>

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "rules/rules_holder.h"

namespace cvie::testing {

// A holder filled with `lines`, as a rule file reader would pass them.
inline std::unique_ptr<RulesHolder> HolderWith(std::initializer_list<const char*> lines) {
  auto holder = std::make_unique<RulesHolder>();
  for (const char* line : lines) {
    if (holder->ParseRule(line) == -1) break;
  }
  holder->set_loaded(true);
  return holder;
}

// The log only writes once its folder exists when the logger is created, so
// the test process creates the folders before anything logs.
class LogFolderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    platform::CreateDataFolders();
    Logger::Instance().Enable();
  }
};

// Text that the logger appends to the log file after construction.
class LogWatch {
 public:
  LogWatch() : start_(Size()) {}
  std::string NewText() const {
    std::string all;
    if (!ReadFile(Path(), &all) || all.size() < start_) return std::string();
    return all.substr(start_);
  }
  // Number of times `needle` occurs in the new text.
  size_t Count(const std::string& needle) const {
    std::string text = NewText();
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
      ++count;
    }
    return count;
  }

 private:
  static std::filesystem::path Path() {
    return std::filesystem::path(platform::LogFilePath());
  }
  static size_t Size() {
    std::error_code ec;
    auto size = std::filesystem::file_size(Path(), ec);
    return ec ? 0 : static_cast<size_t>(size);
  }
  size_t start_;
};

}  // namespace cvie::testing
