// Shared helpers of the helper-object, button and registration tests.

#pragma once

#include <string>
#include <vector>

#include "common/test_support.h"
#include "ie/bho.h"
#include "platform/data_folders.h"

namespace cvie::testing {

// Records the update checks the start sequence asks for, without starting
// any download.
class RecordingStarter : public UpdateCheckStarter {
 public:
  int RunUpdateCheck(bool interactive) override {
    calls.push_back(interactive ? "run interactive" : "run silent");
    return 0;
  }
  int CheckVersionFile() override {
    calls.push_back("check version file");
    return 0;
  }
  std::vector<std::string> calls;
};

// The log file's lines that contain `text`.
inline std::vector<std::string> LogLinesWith(const std::string& text) {
  std::string contents;
  std::vector<std::string> found;
  std::string path(platform::LogFilePath().begin(), platform::LogFilePath().end());
  if (!ReadFile(path, &contents)) return found;
  size_t start = 0;
  while (start < contents.size()) {
    size_t end = contents.find('\n', start);
    if (end == std::string::npos) end = contents.size();
    std::string line = contents.substr(start, end - start);
    if (line.find(text) != std::string::npos) found.push_back(line);
    start = end + 1;
  }
  return found;
}

// A web browser that only remembers what it was asked.
class FakeBrowser : public WebBrowser {
 public:
  bool GetLocationURL(std::wstring* url) override {
    *url = location;
    return !location.empty();
  }
  bool Navigate(const std::wstring& url) override {
    navigated.push_back(url);
    return true;
  }
  bool Refresh() override {
    ++refreshes;
    return true;
  }
  std::wstring location;
  std::vector<std::wstring> navigated;
  int refreshes = 0;
};

}  // namespace cvie::testing
