// The toolbar button: menu placement, owner window, command status and the
// click itself.

#include "ie/button.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/ui.h"
#include "registration/registration_fixture.h"
#include "ui/toolbar_cfg.h"

using namespace cvie;
using cvie::testing::FakeBrowser;
using platform::HWND;

namespace {

HWND Handle(uintptr_t n) { return reinterpret_cast<HWND>(n); }

// A toolbar whose client area starts at (origin_x, origin_y) on the screen,
// with buttons laid out as given, on a screen with the given work area.
class FakeWindows : public ButtonWindows {
 public:
  struct Button {
    int command;
    ScreenRect rect;  // client coordinates
  };
  HWND toolbar = Handle(0x100);
  int origin_x = 0, origin_y = 0;
  std::vector<Button> buttons;
  bool command_readable = true;
  bool rect_readable = true;
  ScreenRect work{0, 0, 1024, 768};
  ScreenPoint cursor;
  HWND under_cursor = nullptr;
  std::map<HWND, std::vector<HWND>> children;
  std::map<HWND, std::wstring> classes;
  std::map<HWND, bool> visible;
  std::vector<std::pair<int, bool>> presses;

  ScreenPoint CursorPos() override { return cursor; }
  HWND WindowFromPoint(ScreenPoint) override { return under_cursor; }
  std::vector<HWND> ChildWindows(HWND parent) override { return children[parent]; }
  std::wstring ClassName(HWND w) override { return classes[w]; }
  bool IsVisible(HWND w) override { return visible[w]; }
  ScreenPoint ScreenToClient(HWND, ScreenPoint p) override {
    return {p.x - origin_x, p.y - origin_y};
  }
  ScreenPoint ClientToScreen(HWND, ScreenPoint p) override {
    return {p.x + origin_x, p.y + origin_y};
  }
  int HitTest(HWND, ScreenPoint c) override {
    for (size_t i = 0; i < buttons.size(); ++i) {
      const ScreenRect& r = buttons[i].rect;
      if (c.x >= r.left && c.x < r.right && c.y >= r.top && c.y < r.bottom)
        return static_cast<int>(i);
    }
    return -1;
  }
  bool GetButtonCommand(HWND, int index, int* command) override {
    if (!command_readable || index < 0 || index >= static_cast<int>(buttons.size()))
      return false;
    *command = buttons[index].command;
    return true;
  }
  bool GetButtonRect(HWND, int command, ScreenRect* rect) override {
    if (!rect_readable) return false;
    for (const Button& b : buttons)
      if (b.command == command) {
        *rect = b.rect;
        return true;
      }
    return false;
  }
  ScreenRect WorkArea() override { return work; }
  void PressButton(HWND, int command, bool pressed) override {
    presses.push_back({command, pressed});
  }
};

struct PlacementCase {
  const char* name;
  int origin_x;        // toolbar's screen offset
  ScreenPoint cursor;  // screen
  bool over_toolbar;   // a window is under the cursor
  bool rect_readable;
  ScreenPoint position;  // expected menu position
  int button_id;
  bool at_cursor;
  UINT flags;
  bool pressed;
};

// Buttons (client): command 40 at x 0..24, command 41 at x 24..48, y 2..26.
// Work area right edge 1024.
const PlacementCase kPlacements[] = {
    {"second button far from the edge",
     100,
     {130, 10},
     true,
     true,
     {124, 26},
     41,
     false,
     384,
     true},
    {"first button counts as a hit",
     100,
     {105, 10},
     true,
     true,
     {100, 26},
     40,
     false,
     384,
     true},
    {"left edge 149 pixels from the work area's edge",
     875,
     {880, 10},
     true,
     true,
     {899, 26},
     40,
     false,
     392,
     true},
    {"left edge exactly 150 pixels from the edge",
     874,
     {880, 10},
     true,
     true,
     {874, 26},
     40,
     false,
     384,
     true},
    {"cursor over the toolbar but not a button",
     100,
     {300, 10},
     true,
     true,
     {300, 10},
     -1,
     true,
     384,
     false},
    {"no window under the cursor",
     100,
     {130, 10},
     false,
     true,
     {130, 10},
     -1,
     false,
     384,
     false},
    {"button rectangle unreadable",
     100,
     {130, 10},
     true,
     false,
     {130, 10},
     -1,
     true,
     384,
     false},
};

TEST(ButtonPlacement, FollowsTheButtonAndTheRightEdgeRule) {
  for (const PlacementCase& c : kPlacements) {
    FakeWindows w;
    w.origin_x = c.origin_x;
    w.rect_readable = c.rect_readable;
    w.buttons = {{40, {0, 2, 24, 26}}, {41, {24, 2, 48, 26}}};
    MenuPlacement p = PlaceButtonMenu(w, c.over_toolbar ? w.toolbar : nullptr, c.cursor);
    EXPECT_EQ(p.position.x, c.position.x) << c.name;
    EXPECT_EQ(p.position.y, c.position.y) << c.name;
    EXPECT_EQ(p.button_id, c.button_id) << c.name;
    EXPECT_EQ(p.at_cursor, c.at_cursor) << c.name;
    EXPECT_EQ(p.track_flags, c.flags) << c.name;
    EXPECT_EQ(p.press_button(), c.pressed) << c.name;
  }
}

struct OwnerCase {
  const char* name;
  bool first_tab_visible;
  bool second_tab_visible;
  bool view_in_visible_tab;
  bool server_in_view;
  uintptr_t expected;
};
// Frame 1; tabs 10 and 20; views 11 and 21; servers 12 and 22.
const OwnerCase kOwners[] = {
    {"second tab visible", false, true, true, true, 22},
    {"first tab visible", true, false, true, true, 12},
    {"visible tab without a document view", false, true, false, true, 1},
    {"document view without a server window", false, true, true, false, 1},
    {"no visible tab", false, false, true, true, 1},
};

TEST(ButtonOwner, IsTheServerWindowOfTheVisibleTab) {
  for (const OwnerCase& c : kOwners) {
    FakeWindows w;
    HWND frame = Handle(1);
    w.children[frame] = {Handle(5), Handle(10), Handle(20)};
    w.classes[Handle(5)] = L"ReBarWindow32";
    w.visible[Handle(5)] = true;
    for (uintptr_t tab : {10u, 20u}) {
      w.classes[Handle(tab)] = L"TabWindowClass";
      w.visible[Handle(tab)] = tab == 10 ? c.first_tab_visible : c.second_tab_visible;
      bool is_visible = w.visible[Handle(tab)];
      if (!is_visible || c.view_in_visible_tab)
        w.children[Handle(tab)] = {Handle(tab + 1)};
      w.classes[Handle(tab + 1)] = L"Shell DocObject View";
      if (!is_visible || c.server_in_view)
        w.children[Handle(tab + 1)] = {Handle(tab + 2)};
      w.classes[Handle(tab + 2)] = L"Internet Explorer_Server";
    }
    EXPECT_EQ(FindTabbedOwner(w, frame), Handle(c.expected)) << c.name;
  }
}

TEST(ButtonOwner, TabbedBrowserIsRecognisedByItsVersionText) {
  struct Case {
    const wchar_t* version;
    bool tabbed;
  } cases[] = {
      {L"4.0 (compatible; MSIE 7.0; Windows NT 6.0)", true},
      {L"4.0 (compatible; MSIE 6.0; Windows NT 5.1)", false},
      {L"4.0 (compatible; msie 7.0)", false},
      {L"", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsTabbedBrowserVersion(c.version), c.tabbed)
        << std::string(c.version, c.version + wcslen(c.version));
  // The text is looked at in its first 259 bytes only.
  EXPECT_TRUE(IsTabbedBrowserVersion(std::wstring(252, L' ') + L"MSIE 7."));
  EXPECT_FALSE(IsTabbedBrowserVersion(std::wstring(253, L' ') + L"MSIE 7."));
}

ComPtr<CCVButton> NewButton() {
  ComPtr<CCVButton> button;
  IObjectWithSite* site_part = nullptr;
  EXPECT_EQ(CreateComInstance<CCVButton>(IID_IObjectWithSite,
                                         reinterpret_cast<void**>(&site_part)),
            S_OK);
  button = ComPtr<CCVButton>::Adopt(static_cast<CCVButton*>(site_part));
  return button;
}

TEST(ButtonCommands, QueryStatusEnablesTheFirstCommandOnly) {
  ComPtr<CCVButton> button = NewButton();
  OLECMD commands[2];
  commands[0].cmdf = 7;
  commands[1].cmdf = 5;
  EXPECT_EQ(button->QueryStatus(nullptr, 0, commands, nullptr), E_INVALIDARG);
  EXPECT_EQ(commands[0].cmdf, 7u);
  EXPECT_EQ(button->QueryStatus(nullptr, 2, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(button->QueryStatus(nullptr, 2, commands, nullptr), S_OK);
  EXPECT_EQ(commands[0].cmdf, OLECMDF_ENABLED);
  EXPECT_EQ(commands[1].cmdf, 5u);
}

class ButtonClickTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ui_ = platform::SetUi(&ui_);
    previous_windows_ = SetButtonWindows(&windows_);
    windows_.buttons = {{40, {0, 2, 24, 26}}};
    windows_.origin_x = 200;
    windows_.cursor = {210, 10};
    windows_.under_cursor = windows_.toolbar;
    browser_.location = L"http://news.example/";
  }
  void TearDown() override {
    SetButtonWindows(previous_windows_);
    platform::SetUi(previous_ui_);
  }

  platform::ScriptedUi ui_;
  platform::Ui* previous_ui_ = nullptr;
  FakeWindows windows_;
  ButtonWindows* previous_windows_ = nullptr;
  FakeBrowser browser_;
};

TEST_F(ButtonClickTest, ShowsTheMenuBelowThePressedButtonAndRunsTheChoice) {
  ToolbarCfg& cfg = ProcessToolbarCfg();
  int32_t toggle = cfg.FindCommandId(L"Toggle Enable Corvane Cmd");
  ASSERT_GT(toggle, 0);
  Param* enabled = cfg.FindParam(kEnableCorvaneParamName);
  ASSERT_NE(enabled, nullptr);
  int before = enabled->GetInt();
  ui_.QueueMenuAnswer(static_cast<UINT>(toggle));

  ComPtr<CBrowserWindow> window = CBrowserWindow::Create(&browser_, 0x77);
  ComPtr<CCVButton> button = NewButton();
  ASSERT_EQ(button->SetSite(static_cast<IServiceProvider*>(window.Get())), S_OK);
  EXPECT_FALSE(button->tabbed_browser());
  EXPECT_EQ(button->Exec(nullptr, 0, 0, nullptr, nullptr), S_OK);

  std::vector<platform::ScriptedUi::Call> calls = ui_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, platform::ScriptedUi::Call::Kind::kPopupMenu);
  EXPECT_EQ(calls[0].type, 384u);
  EXPECT_EQ(calls[0].owner, Handle(0x77));
  EXPECT_FALSE(calls[0].menu.items.empty());
  EXPECT_EQ(windows_.presses,
            (std::vector<std::pair<int, bool>>{{40, true}, {40, false}}));
  EXPECT_EQ(enabled->GetInt(), before == 1 ? 0 : 1);
}

TEST_F(ButtonClickTest, TabbedBrowserOwnsTheMenuByTheVisibleTab) {
  HWND frame = Handle(0x77);
  windows_.children[frame] = {Handle(10)};
  windows_.classes[Handle(10)] = L"TabWindowClass";
  windows_.visible[Handle(10)] = true;
  windows_.children[Handle(10)] = {Handle(11)};
  windows_.classes[Handle(11)] = L"Shell DocObject View";
  windows_.children[Handle(11)] = {Handle(12)};
  windows_.classes[Handle(12)] = L"Internet Explorer_Server";

  ComPtr<CBrowserWindow> window = CBrowserWindow::Create(
      &browser_, 0x77, true, L"4.0 (compatible; MSIE 7.0; Windows NT 6.0)");
  ComPtr<CCVButton> button = NewButton();
  button->SetSite(static_cast<IServiceProvider*>(window.Get()));
  EXPECT_TRUE(button->tabbed_browser());
  button->Exec(nullptr, 0, 0, nullptr, nullptr);
  std::vector<platform::ScriptedUi::Call> calls = ui_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].owner, Handle(12));
}

struct SilentClickCase {
  const char* name;
  bool give_site;
  bool has_document;
  HANDLE_PTR frame;
};
const SilentClickCase kSilentClicks[] = {
    {"no site", false, true, 0x77},
    {"a picture instead of an HTML document", true, false, 0x77},
    {"no frame window", true, true, 0},
};

TEST_F(ButtonClickTest, DoesNothingWithoutWhatItNeeds) {
  for (const SilentClickCase& c : kSilentClicks) {
    ComPtr<CBrowserWindow> window =
        CBrowserWindow::Create(&browser_, c.frame, c.has_document);
    ComPtr<CCVButton> button = NewButton();
    if (c.give_site) button->SetSite(static_cast<IServiceProvider*>(window.Get()));
    EXPECT_EQ(button->Exec(nullptr, 0, 0, nullptr, nullptr), S_OK) << c.name;
    EXPECT_TRUE(ui_.calls().empty()) << c.name;
    EXPECT_TRUE(windows_.presses.empty()) << c.name;
  }
}

TEST_F(ButtonClickTest, DismissedMenuRunsNothingAndSiteCanBeTakenAway) {
  ComPtr<CBrowserWindow> window = CBrowserWindow::Create(&browser_, 0x77);
  ComPtr<CCVButton> button = NewButton();
  button->SetSite(static_cast<IServiceProvider*>(window.Get()));
  void* out = nullptr;
  EXPECT_EQ(button->GetSite(IID_IServiceProvider, &out), S_OK);
  static_cast<IUnknown*>(out)->Release();
  EXPECT_EQ(button->Exec(nullptr, 0, 0, nullptr, nullptr), S_OK);  // dismissed: id 0
  EXPECT_EQ(ui_.calls().size(), 1u);
  EXPECT_EQ(browser_.navigated.size(), 0u);

  EXPECT_EQ(button->SetSite(nullptr), S_OK);
  EXPECT_EQ(button->GetSite(IID_IServiceProvider, &out), E_FAIL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(button->GetSite(IID_IServiceProvider, nullptr), E_POINTER);
  button->Exec(nullptr, 0, 0, nullptr, nullptr);
  EXPECT_EQ(ui_.calls().size(), 1u);
}

}  // namespace
