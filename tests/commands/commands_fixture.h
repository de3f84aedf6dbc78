// tests/commands/commands_fixture.h
//
// What the command tests share: a browser that records what it is told, a
// scripted ui made active for the test, a freshly built configuration, and a
// whitelist and options of the test's own under the test's CVIE_ROOT.

#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "config/options.h"
#include "platform/data_folders.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "ui/browser.h"
#include "ui/command_context.h"
#include "ui/commands.h"
#include "ui/toolbar_cfg.h"
#include "whitelist/whitelist.h"

namespace cvie::testing {

class FakeBrowser : public WebBrowser {
 public:
  explicit FakeBrowser(std::wstring url = L"", bool has_url = true)
      : url_(std::move(url)), has_url_(has_url) {}
  bool GetLocationURL(std::wstring* url) override {
    if (!has_url_) return false;
    *url = url_;
    return true;
  }
  bool Navigate(const std::wstring& url) override {
    navigations.push_back(url);
    return true;
  }
  bool Refresh() override {
    ++refreshes;
    return true;
  }
  std::vector<std::wstring> navigations;
  int refreshes = 0;

 private:
  std::wstring url_;
  bool has_url_;
};

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::CreateDataFolders();
    previous_ui_ = platform::SetUi(&ui_);
    options_ = std::make_unique<CVCfg>();
    list_ = std::make_unique<Whitelist>(platform::WhitelistFilePath(),
                                        platform::WhitelistTempPath(), options_.get());
    BuildCommandConfig(&cfg_);
  }
  void TearDown() override { platform::SetUi(previous_ui_); }

  CommandContext Context(WebBrowser* browser) {
    CommandContext context;
    context.cfg = &cfg_;
    context.owner = reinterpret_cast<platform::HWND>(0x1234);
    context.browser = browser;
    context.whitelist = list_.get();
    context.options = options_.get();
    return context;
  }

  // Writes the whitelist file with `entries` in this order, one per line,
  // and loads it.
  void WriteWhitelist(const std::vector<std::wstring>& entries) {
    std::string text;
    for (const auto& entry : entries) text += platform::ToNarrow(entry) + "\r\n";
    WriteFile(platform::ToNarrow(platform::WhitelistFilePath()), text);
    list_->Load();
  }

  static DWORD RegistryOption(const std::wstring& name, DWORD fallback = 0xDEADBEEF) {
    DWORD value = fallback;
    platform::RegGetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath, name, &value);
    return value;
  }

  platform::ScriptedUi ui_;
  platform::Ui* previous_ui_ = nullptr;
  std::unique_ptr<CVCfg> options_;
  std::unique_ptr<Whitelist> list_;
  ToolbarCfg cfg_;
};

}  // namespace cvie::testing
