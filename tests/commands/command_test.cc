// Tests of what each command of the button's menu does when chosen.

#include <stdlib.h>
#include <unistd.h>

#include "comm/comm_mgr.h"
#include "commands_fixture.h"
#include "common/loopback.h"
#include "common/test_support.h"
#include "platform/text.h"
#include "ui/preferences.h"

namespace cvie::testing {
namespace {

bool ChooseFromMenu(ToolbarCfg* cfg, platform::ScriptedUi* ui,
                    const CommandContext& context, UINT id) {
  ui->QueueMenuAnswer(id);
  CmdShowButtonMenu menu(L"Show Main Option Menu", 0, kMainOptionMenuName, 0, 0,
                         platform::TPM_RETURNCMD | platform::TPM_NONOTIFY);
  if (!menu.Execute(&context)) return false;
  Command* command = cfg->FindCommand(menu.GetSelectedId());
  return command && command->Execute(&context);
}

TEST_F(CommandsTest, ToggleEnableCorvaneWritesTheOtherValue) {
  struct Case {
    DWORD stored;
    DWORD after;
  };
  const Case cases[] = {{0, 1}, {1, 0}, {5, 0}};
  for (const Case& c : cases) {
    ASSERT_EQ(0, platform::RegSetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                                       L"Enable Corvane", c.stored));
    FakeBrowser browser(L"http://a.example/");
    EXPECT_TRUE(ChooseFromMenu(&cfg_, &ui_, Context(&browser), 302)) << c.stored;
    EXPECT_EQ(c.after, RegistryOption(L"Enable Corvane")) << c.stored;
    EXPECT_EQ(static_cast<int>(c.after), options_->GetEnableCorvane() == 0 ? 0 : 1)
        << c.stored;
  }
  Command* toggle = cfg_.FindCommandByName(L"Toggle Enable Corvane Cmd");
  ASSERT_NE(nullptr, toggle);
  EXPECT_FALSE(toggle->Execute(nullptr));
  CmdToggleParam missing(L"t", 900, L"No Such Param");
  FakeBrowser browser;
  CommandContext context = Context(&browser);
  EXPECT_FALSE(missing.Execute(&context));
}

TEST_F(CommandsTest, WhitelistSiteAndPageToggleOnEachUse) {
  struct Case {
    const char* name;
    UINT id;
    const wchar_t* url;
    const wchar_t* entry;  // what the command adds and removes
  };
  const Case cases[] = {
      {"website", 303, L"http://shop.example.com/cart?id=7", L"shop.example.com"},
      {"page", 304, L"http://shop.example.com/cart?id=7",
       L"http://shop.example.com/cart?id=7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWhitelist({L"other.example"});
    FakeBrowser browser(c.url);
    CommandContext context = Context(&browser);

    options_->SetWhiteListTS(0);
    ASSERT_TRUE(ChooseFromMenu(&cfg_, &ui_, context, c.id));
    EXPECT_TRUE(list_->Contains(c.entry, true));
    EXPECT_EQ(1, browser.refreshes);
    EXPECT_NE(0u, options_->GetWhiteListTS());
    std::string file;
    ASSERT_TRUE(ReadFile(platform::ToNarrow(platform::WhitelistFilePath()), &file));
    EXPECT_NE(std::string::npos, file.find(platform::ToNarrow(c.entry) + "\r\n"));

    // The menu now shows the mark; a second choice removes the entry.
    ui_.QueueMenuAnswer(0);
    CmdShowButtonMenu menu(L"Show Main Option Menu", 0, kMainOptionMenuName, 0, 0, 384);
    ASSERT_TRUE(menu.Execute(&context));
    const auto menus = ui_.calls();
    bool marked = false;
    for (const auto& item : menus.back().menu.items) {
      if (item.id == c.id) marked = item.checked;
    }
    EXPECT_TRUE(marked);

    ASSERT_TRUE(ChooseFromMenu(&cfg_, &ui_, context, c.id));
    EXPECT_FALSE(list_->Contains(c.entry, true));
    EXPECT_TRUE(list_->Contains(L"other.example", true));
    EXPECT_EQ(2, browser.refreshes);
    ASSERT_TRUE(ReadFile(platform::ToNarrow(platform::WhitelistFilePath()), &file));
    EXPECT_EQ("other.example\r\n", file);

    // And a third adds it back.
    ASSERT_TRUE(ChooseFromMenu(&cfg_, &ui_, context, c.id));
    EXPECT_TRUE(list_->Contains(c.entry, true));
    list_->Remove(c.entry);
    list_->Remove(L"other.example");
    ASSERT_EQ(0, list_->Save());
  }
}

TEST_F(CommandsTest, WhitelistCommandWithoutToggleKeepsAnExistingEntry) {
  WriteWhitelist({L"fixed.example"});
  CmdAddUrlToWhiteList add_once(L"once", 901, CfgText(L"fixed.example"), 0);
  FakeBrowser browser(L"http://x.example/");
  CommandContext context = Context(&browser);
  EXPECT_TRUE(add_once.Execute(&context));
  EXPECT_TRUE(list_->Contains(L"fixed.example", true));
  EXPECT_EQ(0, browser.refreshes);  // nothing changed, nothing reloaded

  CmdAddUrlToWhiteList literal(L"literal", 902, CfgText(L"new.example"), 0);
  EXPECT_TRUE(literal.Execute(&context));
  EXPECT_TRUE(list_->Contains(L"new.example", true));
  EXPECT_EQ(1, browser.refreshes);
}

TEST_F(CommandsTest, WhitelistCommandsFailWithoutATarget) {
  WriteWhitelist({L"a.example"});
  FakeBrowser no_host(L"about:blank");
  FakeBrowser no_url(L"", false);
  CommandContext no_browser = Context(nullptr);
  struct Case {
    const char* name;
    UINT id;
    WebBrowser* browser;
  };
  const Case cases[] = {
      {"site of an address without host", 303, &no_host},
      {"site without address", 303, &no_url},
      {"page without address", 304, &no_url},
      {"site without browser", 303, nullptr},
      {"page without browser", 304, nullptr},
  };
  for (const Case& c : cases) {
    CommandContext context = Context(c.browser);
    Command* command = cfg_.FindCommand(c.id);
    ASSERT_NE(nullptr, command);
    EXPECT_FALSE(command->Execute(&context)) << c.name;
    EXPECT_EQ(std::vector<std::wstring>{L"a.example"}, list_->Entries()) << c.name;
  }
  EXPECT_EQ(0, no_host.refreshes);
  CmdAddUrlToWhiteList no_target(L"none", 903, std::nullopt, 1);
  EXPECT_FALSE(no_target.Execute(&no_browser));
  EXPECT_FALSE(cfg_.FindCommand(303)->Execute(nullptr));
}

TEST_F(CommandsTest, ReportAndHelpNavigateTheCurrentWindow) {
  setenv("CVIE_UPDATE_SERVER", "http://vendor.test:8080/", 1);
  ToolbarCfg cfg;
  BuildCommandConfig(&cfg);
  unsetenv("CVIE_UPDATE_SERVER");
  struct Case {
    UINT id;
    const wchar_t* url;
  };
  const Case cases[] = {{305, L"http://vendor.test:8080/reportads"},
                        {307, L"http://vendor.test:8080/faq"}};
  for (const Case& c : cases) {
    FakeBrowser browser(L"http://page.example/");
    CommandContext context = Context(&browser);
    context.cfg = &cfg;
    ASSERT_TRUE(ChooseFromMenu(&cfg, &ui_, context, c.id)) << c.id;
    EXPECT_EQ(std::vector<std::wstring>{c.url}, browser.navigations) << c.id;
    EXPECT_EQ(0, browser.refreshes);
  }
  // A URL parameter that is missing or null navigates nowhere.
  CmdNavigate missing(L"n", 904, L"No Such URL", L"", L"");
  cfg.AddParam(std::make_unique<Param>(L"Null URL", ParamText()));
  CmdNavigate null_url(L"n2", 905, L"Null URL", L"", L"");
  FakeBrowser browser;
  CommandContext context = Context(&browser);
  context.cfg = &cfg;
  EXPECT_FALSE(missing.Execute(&context));
  EXPECT_FALSE(null_url.Execute(&context));
  EXPECT_FALSE(cfg.FindCommand(305)->Execute(nullptr));
  EXPECT_TRUE(browser.navigations.empty());
}

TEST_F(CommandsTest, CheckUpdateRunsAnInteractiveCheckThatReportsTheFailure) {
  int port = cvie::testing::UnusedLoopbackPort();
  ASSERT_GT(port, 0);
  std::string server = "http://127.0.0.1:" + std::to_string(port);
  setenv("CVIE_UPDATE_SERVER", server.c_str(), 1);
  CCommMgr* manager = CommMgr();
  ASSERT_NE(nullptr, manager);

  FakeBrowser browser(L"http://page.example/");
  EXPECT_FALSE(cfg_.FindCommand(306)->Execute(nullptr));
  ASSERT_TRUE(ChooseFromMenu(&cfg_, &ui_, Context(&browser), 306));
  ASSERT_TRUE(manager->WaitForWorkers(60000));
  unsetenv("CVIE_UPDATE_SERVER");

  auto boxes = ui_.MessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(kUpdateFailedText, boxes[0].text);
  EXPECT_TRUE(browser.navigations.empty());
}

TEST_F(CommandsTest, AboutShowsTheAboutDialog) {
  std::wstring title;
  int resource = 0;
  ui_.QueueDialogAnswer([&](platform::ModalDialog* dialog) {
    title = dialog->Title();
    resource = dialog->ResourceId();
    auto* about = dynamic_cast<AboutDialog*>(dialog);
    EXPECT_NE(nullptr, about);
    if (about) {
      EXPECT_EQ(L"           Corvane Filter V2.2", about->Text());
    }
    return platform::IDOK;
  });
  FakeBrowser browser(L"http://page.example/");
  ASSERT_TRUE(ChooseFromMenu(&cfg_, &ui_, Context(&browser), 308));
  EXPECT_EQ(L"Corvane Filter", title);
  EXPECT_EQ(202, resource);
  EXPECT_EQ(1, AboutDialog::EndResult(platform::IDOK));
  EXPECT_EQ(0, AboutDialog::EndResult(platform::IDCANCEL));
  auto calls = ui_.calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(platform::ScriptedUi::Call::Kind::kDialog, calls[1].kind);
  EXPECT_EQ(reinterpret_cast<platform::HWND>(0x1234), calls[1].owner);
}

TEST_F(CommandsTest, PreferencesCommandShowsThePreferencesDialog) {
  std::wstring title;
  ui_.QueueDialogAnswer([&](platform::ModalDialog* dialog) {
    title = dialog->Title();
    EXPECT_EQ(kPreferencesDialogId, dialog->ResourceId());
    return platform::IDCANCEL;
  });
  FakeBrowser browser(L"http://page.example/");
  EXPECT_TRUE(ChooseFromMenu(&cfg_, &ui_, Context(&browser), 301));
  EXPECT_EQ(L"Preferences", title);
}

TEST_F(CommandsTest, ConfigurationLookUps) {
  EXPECT_EQ(301, cfg_.FindCommandId(L"Preferences Cmd"));
  EXPECT_EQ(308, cfg_.FindCommandId(L"About... Cmd"));
  EXPECT_EQ(-1, cfg_.FindCommandId(L"preferences cmd"));  // exact case
  EXPECT_EQ(nullptr, cfg_.FindCommandByName(L"Nothing"));
  EXPECT_EQ(nullptr, cfg_.FindCommand(0));
  EXPECT_EQ(L"__FIRST_OPEN__", cfg_.GetFirstOpenParamName());
  EXPECT_EQ(L"CVIEToolbar Class", cfg_.GetBandWindowClass());
  ImageCfg* checked = cfg_.FindImage(L"Checked BMP");
  ASSERT_NE(nullptr, checked);
  EXPECT_EQ(207, checked->resource_id());
  EXPECT_EQ(ImageKind::kBitmap, checked->kind());
  EXPECT_EQ(206, cfg_.FindImage(L"Selected BMP")->resource_id());
  EXPECT_EQ(1, cfg_.FindParam(L"TRUE")->GetInt());
  EXPECT_EQ(0, cfg_.FindParam(L"FALSE")->GetInt());
  EXPECT_EQ(ParamText(L""), cfg_.FindParam(L"Buffer URL")->GetString());
  // An object without a name is refused; a second of the same name replaces
  // the first in the look-ups.
  EXPECT_FALSE(cfg_.AddParam(std::make_unique<Param>(L"", 1)));
  Param* old_true = cfg_.FindParam(L"TRUE");
  ASSERT_TRUE(cfg_.AddParam(std::make_unique<Param>(L"TRUE", 7)));
  EXPECT_EQ(7, cfg_.FindParam(L"TRUE")->GetInt());
  EXPECT_EQ(1, old_true->GetInt());  // still alive, owned by the configuration
  ImageCfg icon(L"i", 5, 16, 16, 3);
  EXPECT_EQ(ImageKind::kIcon, icon.kind());
  EXPECT_EQ(L"icon:5", Image(&icon).handle());
  EXPECT_EQ(L"bitmap:207", Image(checked).handle());
}

}  // namespace
}  // namespace cvie::testing
