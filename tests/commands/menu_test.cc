// Tests of the toolbar button's menu: labels, order, identifiers and check
// marks as CmdShowButtonMenu prepares them for the browser's current page.

#include <optional>

#include "commands_fixture.h"
#include "common/test_support.h"
#include "platform/text.h"

namespace cvie::testing {
namespace {

using platform::PopupMenu;

constexpr UINT kButtonFlags = platform::TPM_RETURNCMD | platform::TPM_NONOTIFY;

struct ExpectedItem {
  UINT id;
  const wchar_t* label;  // null for a separator
};

// The menu's items in order, whatever the page.
const ExpectedItem kMainMenu[] = {
    {301, L"Preferences"},
    {0, nullptr},
    {302, L"Enable Corvane"},
    {303, L"Allow Ads On This Website"},
    {304, L"Allow Ads On This Page Only"},
    {0, nullptr},
    {305, L"Report Annoying Ads"},
    {306, L"Check Update ..."},
    {0, nullptr},
    {307, L"Help..."},
    {308, L"About Corvane Filter..."},
};

const platform::MenuItem* ItemById(const PopupMenu& menu, UINT id) {
  for (const auto& item : menu.items) {
    if (!item.separator && item.id == id) return &item;
  }
  return nullptr;
}

TEST_F(CommandsTest, MainMenuItemsAndCheckMarksFollowThePage) {
  struct Case {
    const char* name;
    const wchar_t* url;  // null: the browser gives no address
    std::vector<std::wstring> whitelist;
    DWORD enable;                // "Enable Corvane" in the registry
    const wchar_t* site_before;  // website parameter before the menu opens
    bool enable_checked, site_checked, page_checked;
  };
  const Case cases[] = {
      {"host not whitelisted",
       L"http://ads.example.com/page.html",
       {},
       1,
       L"0",
       true,
       false,
       false},
      {"host whitelisted",
       L"http://ads.example.com/page.html",
       {L"ads.example.com"},
       1,
       L"0",
       true,
       true,
       false},
      {"page whitelisted",
       L"http://ads.example.com/page.html",
       {L"http://ads.example.com/page.html"},
       1,
       L"0",
       true,
       false,
       true},
      {"host and page whitelisted, filter off",
       L"https://ads.example.com/a?b=1",
       {L"ads.example.com", L"https://ads.example.com/a?b=1"},
       0,
       L"0",
       false,
       true,
       true},
      {"other host whitelisted",
       L"http://news.example.org/",
       {L"example.org"},
       1,
       L"1",
       true,
       false,
       false},
      // No host: the website mark keeps whatever the parameter held before.
      {"no host keeps previous site state",
       L"about:blank",
       {},
       1,
       L"1",
       true,
       true,
       false},
      {"no host, previous state off", L"about:blank", {}, 1, L"0", true, false, false},
      {"no address at all", nullptr, {L"ads.example.com"}, 1, L"1", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ScriptedUi ui;
    platform::SetUi(&ui);
    ScopedCvieRoot root;
    platform::CreateDataFolders();
    Whitelist list(platform::ToWide((root.path() / "whitelist.txt").string()),
                   platform::ToWide((root.path() / "whitelist.txt.tmp").string()),
                   options_.get());
    for (const auto& entry : c.whitelist) list.Add(entry.c_str());
    ASSERT_EQ(0, list.Save());
    ASSERT_EQ(0, platform::RegSetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                                       L"Enable Corvane", c.enable));
    cfg_.FindParam(kDisableOnWebsiteParamName)->SetString(c.site_before);

    FakeBrowser browser(c.url ? c.url : L"", c.url != nullptr);
    CommandContext context = Context(&browser);
    context.whitelist = &list;
    CmdShowButtonMenu menu(L"Show Main Option Menu", 0, kMainOptionMenuName, 40, 60,
                           kButtonFlags);
    ASSERT_TRUE(menu.Execute(&context));
    EXPECT_EQ(0u, menu.GetSelectedId());

    auto calls = ui.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(kButtonFlags, calls[0].type);
    EXPECT_EQ(context.owner, calls[0].owner);
    const PopupMenu& shown = calls[0].menu;
    ASSERT_EQ(std::size(kMainMenu), shown.items.size());
    for (size_t i = 0; i < shown.items.size(); ++i) {
      SCOPED_TRACE("item " + std::to_string(i));
      const auto& item = shown.items[i];
      if (!kMainMenu[i].label) {
        EXPECT_TRUE(item.separator);
        continue;
      }
      EXPECT_FALSE(item.separator);
      EXPECT_EQ(kMainMenu[i].id, item.id);
      EXPECT_EQ(kMainMenu[i].label, item.label);
    }
    struct Mark {
      UINT id;
      bool checked;
    };
    const Mark marks[] = {{301, false},          {302, c.enable_checked},
                          {303, c.site_checked}, {304, c.page_checked},
                          {305, false},          {306, false},
                          {307, false},          {308, false}};
    for (const Mark& mark : marks) {
      SCOPED_TRACE("command " + std::to_string(mark.id));
      const platform::MenuItem* item = ItemById(shown, mark.id);
      ASSERT_NE(nullptr, item);
      EXPECT_EQ(mark.checked, item->checked);
      // A checked item shows the loaded check-mark bitmap; others no mark.
      EXPECT_EQ(mark.checked ? L"bitmap:207" : L"", item->image);
    }
    // The menu and its images are gone after the press.
    EXPECT_FALSE(menu.has_menu());
    EXPECT_EQ(0u, menu.image_count());
    platform::SetUi(&ui_);
  }
}

TEST_F(CommandsTest, ShowMenuTrackFlagsFollowTheAlignmentArguments) {
  struct Case {
    int vertical, horizontal;
    UINT flags;
  };
  const Case cases[] = {
      {-1, -1, platform::TPM_RIGHTBUTTON},
      {0, 0,
       platform::TPM_VCENTERALIGN | platform::TPM_CENTERALIGN |
           platform::TPM_RIGHTBUTTON},
      {1, 1,
       platform::TPM_BOTTOMALIGN | platform::TPM_RIGHTALIGN | platform::TPM_RIGHTBUTTON},
      {5, -3, platform::TPM_BOTTOMALIGN | platform::TPM_RIGHTBUTTON},
  };
  for (const Case& c : cases) {
    CmdShowMenu menu(L"menu", 0, kMainOptionMenuName, 0, 0, c.vertical, c.horizontal);
    EXPECT_EQ(c.flags, menu.GetTrackFlags()) << c.vertical << "," << c.horizontal;
  }
  CmdShowButtonMenu button(L"b", 0, kMainOptionMenuName, 0, 0, 392);
  EXPECT_EQ(392u, button.GetTrackFlags());
}

TEST_F(CommandsTest, MenuPrepareFailsWithoutWhatItNeeds) {
  FakeBrowser browser(L"http://a.example/");
  CommandContext context = Context(&browser);
  CommandContext no_cfg = context;
  no_cfg.cfg = nullptr;

  ToolbarCfg empty_menu_cfg;
  empty_menu_cfg.AddMenu(std::make_unique<MenuCfg>(L"Empty"));
  CommandContext empty_context = context;
  empty_context.cfg = &empty_menu_cfg;

  struct Case {
    const char* name;
    const CommandContext* context;
    const wchar_t* menu;
  };
  const Case cases[] = {
      {"no context", nullptr, kMainOptionMenuName},
      {"no configuration", &no_cfg, kMainOptionMenuName},
      {"unknown menu", &context, L"No Such Menu"},
      {"menu without items", &empty_context, L"Empty"},
  };
  for (const Case& c : cases) {
    CmdShowButtonMenu menu(L"Show Main Option Menu", 0, c.menu, 0, 0, kButtonFlags);
    EXPECT_FALSE(menu.Execute(c.context)) << c.name;
    EXPECT_EQ(0u, menu.GetSelectedId()) << c.name;
  }
  EXPECT_TRUE(ui_.calls().empty());
}

TEST_F(CommandsTest, ItemWithUnknownCommandOrImageGetsNoIdAndNoMark) {
  ToolbarCfg cfg;
  cfg.AddParam(std::make_unique<Param>(L"On", ParamText(L"1")));
  auto menu_cfg = std::make_unique<MenuCfg>(L"M");
  menu_cfg->AddItem(
      std::make_unique<MenuItemCfg>(L"Ghost", L"No BMP", L"No Cmd", L"On", L"1"));
  menu_cfg->AddItem(std::make_unique<MenuItemCfg>(
      std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt));
  EXPECT_FALSE(menu_cfg->AddItem(nullptr));
  cfg.AddMenu(std::move(menu_cfg));
  CommandContext context;
  context.cfg = &cfg;
  CmdShowMenu menu(L"m", 0, L"M", 0, 0, -1, -1);
  ASSERT_TRUE(menu.Prepare(&context));
  // The item without a label is skipped.
  ASSERT_EQ(1u, menu.menu().items.size());
  EXPECT_EQ(0u, menu.menu().items[0].id);
  EXPECT_FALSE(menu.menu().items[0].checked);
  EXPECT_EQ(0u, menu.image_count());
  menu.Cleanup(&context);
  EXPECT_FALSE(menu.has_menu());
}

TEST_F(CommandsTest, DismissingTheMenuRunsNothing) {
  WriteWhitelist({L"keep.example"});
  std::string registry_before = platform::RegistryDumpForTesting();
  FakeBrowser browser(L"http://keep.example/x");
  CommandContext context = Context(&browser);
  ui_.QueueMenuAnswer(0);
  CmdShowButtonMenu menu(L"Show Main Option Menu", 0, kMainOptionMenuName, 0, 0,
                         kButtonFlags);
  ASSERT_TRUE(menu.Execute(&context));
  EXPECT_EQ(0u, menu.GetSelectedId());
  EXPECT_EQ(nullptr, cfg_.FindCommand(menu.GetSelectedId()));
  EXPECT_TRUE(browser.navigations.empty());
  EXPECT_EQ(0, browser.refreshes);
  EXPECT_EQ(registry_before, platform::RegistryDumpForTesting());
  EXPECT_EQ(std::vector<std::wstring>{L"keep.example"}, list_->Entries());
  EXPECT_EQ(1u, ui_.calls().size());  // the menu, nothing after it
}

TEST_F(CommandsTest, ChosenIdentifierIsReturnedAndFindsItsCommand) {
  FakeBrowser browser(L"http://a.example/");
  CommandContext context = Context(&browser);
  for (UINT id = 301; id <= 308; ++id) {
    ui_.QueueMenuAnswer(id);
    CmdShowButtonMenu menu(L"Show Main Option Menu", 0, kMainOptionMenuName, 0, 0,
                           kButtonFlags);
    ASSERT_TRUE(menu.Execute(&context));
    EXPECT_EQ(id, menu.GetSelectedId());
    Command* command = cfg_.FindCommand(menu.GetSelectedId());
    ASSERT_NE(nullptr, command) << id;
    EXPECT_EQ(static_cast<int32_t>(id), command->GetId());
  }
}

}  // namespace
}  // namespace cvie::testing
