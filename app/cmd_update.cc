// cvie update [--interactive] [--server URL]: runs one update check to its end
// and tells what happened: the version file's decisions, the files downloaded,
// whether a rule file was installed, the filter lists refreshed, and every
// message box.

#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "comm/comm_mgr.h"
#include "comm/update_listener.h"
#include "comm/version_info.h"
#include "command.h"
#include "config/update_server.h"
#include "platform/data_folders.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace cvie::app {
namespace {

// Prints the worker's events as they happen.
class PrintingListener : public UpdateListener {
 public:
  void OnWorkerStarted(bool interactive) override {
    started_ = true;
    printf("Update check started (%s)\n", interactive ? "interactive" : "silent");
    fflush(stdout);
  }
  void OnWorkerBusy() override {
    busy_ = true;
    printf("Another update check is running; nothing was done\n");
  }
  void OnDownloadEnded(const std::wstring& url, const std::wstring& path, uint32_t bytes,
                       bool finished, HRESULT result,
                       const std::wstring& error) override {
    if (!finished) {
      printf("Download timed out: %s (%u bytes received)\n",
             platform::ToNarrow(url).c_str(), bytes);
      NoteFailure("download timed out: " + platform::ToNarrow(url));
    } else if (FAILED(result)) {
      printf("Download failed: %s (%s)\n", platform::ToNarrow(url).c_str(),
             platform::ToNarrow(error).c_str());
      NoteFailure("download failed: " + platform::ToNarrow(url) + " (" +
                  platform::ToNarrow(error) + ")");
    } else {
      printf("Downloaded %s to %s (%u bytes)\n", platform::ToNarrow(url).c_str(),
             platform::ToNarrow(path).c_str(), bytes);
    }
    fflush(stdout);
  }
  void OnDecision(const std::wstring& text) override {
    printf("Decision: %s\n", platform::ToNarrow(text).c_str());
    fflush(stdout);
  }
  void OnInstallResult(const std::wstring& path, int result) override {
    if (result == 0) {
      installed_ = true;
      printf("Rule file installed: %s (a running proxy uses it within seconds)\n",
             platform::ToNarrow(path).c_str());
    } else {
      printf("Downloaded rule file refused; the installed one is kept: %s\n",
             platform::ToNarrow(path).c_str());
      NoteFailure("the downloaded rule file was refused");
    }
    fflush(stdout);
  }
  void OnListUpdated(const std::string& url, bool ok,
                     const std::string& detail) override {
    if (url.empty()) {
      printf("Filter lists not refreshed: %s\n", detail.c_str());
      NoteFailure("filter lists not refreshed: " + detail);
    } else if (ok) {
      printf("Filter list updated: %s (%s)\n", url.c_str(), detail.c_str());
    } else {
      printf("Filter list kept as it was: %s (%s)\n", url.c_str(), detail.c_str());
      NoteFailure("filter list " + url + " not updated (" + detail + ")");
    }
    fflush(stdout);
  }
  void OnWorkerEnded() override { printf("Update check finished\n"); }

  bool started() const { return started_.load(); }
  bool busy() const { return busy_.load(); }
  bool installed() const { return installed_.load(); }
  // Why the check failed (the first failure), or empty when nothing failed.
  std::string failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }

 private:
  void NoteFailure(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty()) failure_ = why;
  }

  std::mutex mutex_;
  std::string failure_;  // guarded by mutex_
  std::atomic<bool> started_{false};
  std::atomic<bool> busy_{false};
  std::atomic<bool> installed_{false};
};

CommandRun SetupUpdate(CLI::App* sub) {
  auto interactive = std::make_shared<bool>(false);
  auto server = std::make_shared<std::string>();
  sub->add_flag("--interactive", *interactive,
                "Check as the menu's Check Update does: questions are asked on the "
                "terminal (answered No without one) and every outcome is shown");
  sub->add_option("--server", *server,
                  "Address of the update server (default: $CVIE_UPDATE_SERVER, else " +
                      platform::ToNarrow(kDefaultUpdateServer) + ")");
  return [interactive, server] {
    if (!server->empty()) SetUpdateServerUrl(platform::ToWide(*server));
    platform::CreateDataFolders();
    CCommMgr* manager = CommMgr();
    if (!manager) return Fail("the update check could not start");

    // Questions need a person at a terminal; otherwise they are answered No.
    bool at_terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    platform::ConsoleUi ui(stdout, stdin, *interactive && at_terminal);
    platform::Ui* previous_ui = platform::SetUi(&ui);
    platform::UrlOpener previous_opener =
        platform::SetUrlOpener([at_terminal](const std::wstring& url) {
          if (!at_terminal) {
            printf("Install page (not opened without a terminal): %s\n",
                   platform::ToNarrow(url).c_str());
            return 0;
          }
          printf("Opening the install page: %s\n", platform::ToNarrow(url).c_str());
          return platform::LaunchBrowserProgram(std::string(), url);
        });
    PrintingListener listener;
    UpdateListener* previous_listener = SetUpdateListener(&listener);

    printf("Update server: %s\n", platform::ToNarrow(UpdateServerUrl()).c_str());
    fflush(stdout);
    VersionInfo::Instance().RunUpdateCheck(*interactive);
    manager->WaitForWorkers(-1);

    SetUpdateListener(previous_listener);
    platform::SetUrlOpener(previous_opener);
    platform::SetUi(previous_ui);

    if (!listener.started()) {
      return Fail(listener.busy() || *interactive
                      ? "the update check could not start: another check is running"
                      : "the update check could not start");
    }
    printf("Rule file installed: %s\n", listener.installed() ? "yes" : "no");
    fflush(stdout);
    const std::string failure = listener.failure();
    if (!failure.empty()) return Fail("the update check failed: " + failure);
    return 0;
  };
}

CommandRegistrar kUpdate("update",
                         "Run one update check: fetch the version file, download and "
                         "install a newer rule file, report a newer program, refresh "
                         "the filter lists that are due",
                         SetupUpdate);

}  // namespace
}  // namespace cvie::app
