// cvie menu [--url URL] [--choose ID]: the toolbar button in a terminal.
// Without --choose it prints the "Main Option Menu" as the button prepares it
// for a browser showing URL: one line per item, "<id> <label>" with " [x]"
// when the item is checked, "---" for a separator. With --choose it picks
// the item of that identifier, runs its command as the button does and
// prints what the command did to the browser and whether it succeeded.

#include <stdio.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>

#include "comm/comm_mgr.h"
#include "command.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "ui/browser.h"
#include "ui/commands.h"
#include "ui/toolbar_cfg.h"

namespace cvie::app {
namespace {

// A browser window that exists only as a printed address.
class TerminalBrowser : public WebBrowser {
 public:
  explicit TerminalBrowser(const std::string* url) : has_url_(url != nullptr) {
    if (url) url_ = platform::ToWide(*url);
  }
  bool GetLocationURL(std::wstring* url) override {
    if (!has_url_) return false;
    *url = url_;
    return true;
  }
  bool Navigate(const std::wstring& url) override {
    printf("Browser navigates to: %s\n", platform::ToNarrow(url).c_str());
    fflush(stdout);
    return true;
  }
  bool Refresh() override {
    printf("Browser reloads the page\n");
    fflush(stdout);
    return true;
  }

 private:
  bool has_url_;
  std::wstring url_;
};

// Shows menus by answering with a chosen identifier; message boxes and
// dialogs go to the terminal.
class ChoosingUi : public platform::ConsoleUi {
 public:
  ChoosingUi(UINT answer, bool ask) : ConsoleUi(stdout, stdin, ask), answer_(answer) {}
  UINT TrackPopupMenu(const platform::PopupMenu& menu, UINT, int, int,
                      platform::HWND) override {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_ = menu;
    return answer_;
  }
  platform::PopupMenu shown() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
  }

 private:
  std::mutex mutex_;
  UINT answer_;
  platform::PopupMenu shown_;
};

CommandRun SetupMenu(CLI::App* sub) {
  auto url = std::make_shared<std::string>();
  auto choose = std::make_shared<int>(-1);
  auto url_option =
      sub->add_option("--url", *url, "Address of the page the browser shows");
  sub->add_option("--choose", *choose,
                  "Run the command of this menu identifier as the button would");
  return [url, choose, url_option] {
    platform::CreateDataFolders();
    bool has_url = url_option->count() > 0;
    TerminalBrowser browser(has_url ? url.get() : nullptr);
    ToolbarCfg& cfg = ProcessToolbarCfg();
    CommandContext context;
    context.cfg = &cfg;
    context.browser = &browser;

    bool at_terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    ChoosingUi ui(*choose > 0 ? static_cast<UINT>(*choose) : 0, at_terminal);
    platform::Ui* previous = platform::SetUi(&ui);
    CmdShowButtonMenu menu(L"Show Main Option Menu", 0, kMainOptionMenuName, 0, 0,
                           platform::TPM_RETURNCMD | platform::TPM_NONOTIFY);
    bool shown = menu.Execute(&context);
    int status = 0;
    if (!shown) {
      status = Fail("the menu could not be prepared");
    } else if (*choose < 0) {
      for (const platform::MenuItem& item : ui.shown().items) {
        if (item.separator) {
          printf("---\n");
        } else {
          printf("%u %s%s\n", item.id, platform::ToNarrow(item.label).c_str(),
                 item.checked ? " [x]" : "");
        }
      }
    } else {
      Command* command = cfg.FindCommand(static_cast<int32_t>(menu.GetSelectedId()));
      if (!command) {
        status = UsageError("no menu item has identifier " + std::to_string(*choose));
      } else {
        bool done = command->Execute(&context);
        // An update check runs on a worker: wait for its outcome.
        if (CCommMgr* manager = CommMgr()) manager->WaitForWorkers(-1);
        printf("%d %s: %s\n", command->GetId(),
               platform::ToNarrow(command->GetName()).c_str(), done ? "done" : "failed");
        if (!done) status = 1;
      }
    }
    fflush(stdout);
    platform::SetUi(previous);
    return status;
  };
}

CommandRegistrar kMenu("menu",
                       "Print the toolbar button's menu for a page, or run one of its "
                       "commands",
                       SetupMenu);

}  // namespace
}  // namespace cvie::app
