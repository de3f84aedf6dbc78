// tests/comm/comm_fixture.h
//
// What the network-services tests share: a fixture that starts every test
// with empty data folders under the process's private CVIE_ROOT, a scripted
// ui, a recording URL opener and an update listener, and restores them all
// afterwards; helpers to build rule files and to read what the log gained.

#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "comm/comm_mgr.h"
#include "comm/update_listener.h"
#include "common/test_support.h"
#include "config/update_server.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "rules/rule_file.h"
#include "rules/rule_loading.h"

namespace cvie::testing {

namespace fs = std::filesystem;

// Everything the worker reported, one line per event.
class EventRecorder : public UpdateListener {
 public:
  void OnWorkerStarted(bool interactive) override {
    Add(std::string("started ") + (interactive ? "interactive" : "silent"));
  }
  void OnWorkerBusy() override { Add("busy"); }
  void OnDownloadEnded(const std::wstring& url, const std::wstring&, uint32_t bytes,
                       bool finished, HRESULT result, const std::wstring&) override {
    Add("download " + platform::ToNarrow(url) + " " + std::to_string(bytes) +
        (finished ? (result == S_OK ? " ok" : " failed") : " timeout"));
  }
  void OnDecision(const std::wstring& text) override {
    Add("decision " + platform::ToNarrow(text));
  }
  void OnInstallResult(const std::wstring&, int result) override {
    Add("install " + std::to_string(result));
  }
  void OnWorkerEnded() override { Add("ended"); }

  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& e : events()) n += e.rfind(prefix, 0) == 0;
    return n;
  }
  std::string Joined() const {
    std::string all;
    for (const std::string& e : events()) all += e + "\n";
    return all;
  }

 private:
  void Add(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

class CommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::CreateDataFolders();
    Logger::Instance();  // opens its file now that the folder exists
    for (const std::wstring& path :
         {platform::RuleFilePath(), platform::DownloadPath(platform::RuleFilePath()),
          platform::VersionFilePath(),
          platform::DownloadPath(platform::VersionFilePath()),
          platform::LockFilePath()}) {
      std::error_code ignored;
      fs::remove(platform::ToNarrow(path), ignored);
    }
    std::error_code ignored;
    log_start_ = fs::file_size(platform::ToNarrow(platform::LogFilePath()), ignored);
    if (ignored) log_start_ = 0;
    previous_ui_ = platform::SetUi(&ui_);
    previous_opener_ = platform::SetUrlOpener([this](const std::wstring& url) {
      std::lock_guard<std::mutex> lock(opened_mutex_);
      opened_.push_back(platform::ToNarrow(url));
      return 0;
    });
    previous_listener_ = SetUpdateListener(&events_);
    SetUpdateServerUrl(L"");
  }

  void TearDown() override {
    if (CCommMgr* manager = CommMgr()) {
      EXPECT_TRUE(manager->StopWorkers(20000));
      manager->SetTimeoutsForTesting(0, 0);
    }
    SetUpdateServerUrl(L"");
    SetUpdateListener(previous_listener_);
    platform::SetUrlOpener(previous_opener_);
    platform::SetUi(previous_ui_);
  }

  // What the log gained since the test began.
  std::string NewLog() const {
    std::string all;
    ReadFile(platform::ToNarrow(platform::LogFilePath()), &all);
    return all.size() > log_start_ ? all.substr(log_start_) : std::string();
  }

  std::vector<std::string> Opened() {
    std::lock_guard<std::mutex> lock(opened_mutex_);
    return opened_;
  }

  // An enciphered rule file of version `major`.`minor` holding `rules`.
  static std::string MakeRuleFile(const std::string& rules, char major, char minor) {
    static int counter = 0;
    fs::path folder = TestRoot() / "rule-sources";
    fs::create_directories(folder);
    fs::path plain = folder / ("plain" + std::to_string(++counter) + ".txt");
    fs::path enciphered = folder / ("rules" + std::to_string(counter) + ".rle");
    WriteFile(plain, rules);
    if (EncipherRuleFile(plain.string(), enciphered.string(), major, minor) != 0)
      return "";
    std::string bytes;
    ReadFile(enciphered, &bytes);
    return bytes;
  }

  // Installs `bytes` as the rule file and checks it, which records its version
  // as the installed one.
  static void InstallRuleFile(const std::string& bytes) {
    WriteFile(platform::ToNarrow(platform::RuleFilePath()), bytes);
    ASSERT_EQ(CheckRuleFile(platform::RuleFilePath()), 0);
  }

  platform::ScriptedUi ui_;
  EventRecorder events_;
  uint64_t log_start_ = 0;

 private:
  platform::Ui* previous_ui_ = nullptr;
  platform::UrlOpener previous_opener_;
  UpdateListener* previous_listener_ = nullptr;
  std::mutex opened_mutex_;
  std::vector<std::string> opened_;
};

}  // namespace cvie::testing
