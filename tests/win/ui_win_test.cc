// The system's ui of the Windows build (platform/win/ui.cc), run under Wine
// with a display (Xvfb): nobody sits at it, so each test queues what a person
// would do before the call, and the call must come back with that choice.
// Keys for a popup menu go to the thread's queue, where the menu's own loop
// reads them; a thread timer finds the dialog or box the call put up and
// works its controls.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/options.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/ui.h"
#include "ui/preferences.h"
#include "whitelist/whitelist.h"

// The SDK without its macros of the layers' names (HKEY_CURRENT_USER ...).
#include "platform/win/win32.h"
// The SDK makes MessageBox a macro for MessageBoxW; the ui's method is meant.
#undef MessageBox

namespace {

using cvie::platform::DialogCheckBox;
using cvie::platform::MenuItem;
using cvie::platform::ModalDialog;
using cvie::platform::PopupMenu;
using cvie::platform::SystemUi;

void PostKey(WPARAM key) { PostThreadMessageW(GetCurrentThreadId(), WM_KEYDOWN, key, 0); }

PopupMenu ThreeEntries() {
  PopupMenu menu;
  menu.items.push_back(MenuItem{10, L"Enable filtering", true, false, L""});
  menu.items.push_back(MenuItem{0, L"", false, true, L""});
  menu.items.push_back(MenuItem{20, L"Preferences", false, false, L""});
  menu.items.push_back(MenuItem{30, L"About", false, false, L""});
  return menu;
}

TEST(WinUi, APopupMenuReturnsTheEntryChosenWithTheKeys) {
  struct Case {
    const char* name;
    std::vector<WPARAM> downs;  // arrow-down presses before Enter
    UINT want;
  };
  const Case cases[] = {
      {"first entry", {VK_DOWN}, 10},
      {"past the separator", {VK_DOWN, VK_DOWN}, 20},
      {"third entry", {VK_DOWN, VK_DOWN, VK_DOWN}, 30},
  };
  for (const Case& c : cases) {
    for (WPARAM key : c.downs) PostKey(key);
    PostThreadMessageW(GetCurrentThreadId(), WM_CHAR, L'\r', 0);
    EXPECT_EQ(SystemUi().TrackPopupMenu(ThreeEntries(), 0, 40, 40, nullptr), c.want)
        << c.name;
  }
}

TEST(WinUi, APopupMenuDismissedWithEscapeReturnsZero) {
  PostKey(VK_DOWN);
  PostKey(VK_ESCAPE);
  EXPECT_EQ(SystemUi().TrackPopupMenu(ThreeEntries(), 0, 40, 40, nullptr), 0u);
}

// The window of this thread with the system's dialog class and `title`.
HWND FindDialog(const std::wstring& title) {
  struct Search {
    const std::wstring* title;
    HWND found;
  } search{&title, nullptr};
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM data) -> BOOL {
        Search* s = reinterpret_cast<Search*>(data);
        wchar_t name[64] = {}, text[128] = {};
        GetClassNameW(window, name, 64);
        GetWindowTextW(window, text, 128);
        if (std::wstring(name) == L"#32770" && *s->title == text) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// What a timer does to the dialog titled `title` once it is up.
struct Person {
  std::wstring title;
  std::vector<int> clicks;  // controls clicked, in order
  int button = IDOK;        // the button that closes it
  std::vector<UINT> shown;  // after the clicks: each clicked box as shown
  bool found = false;
};
Person* g_person = nullptr;
// What the person does to the dialog's other controls before the clicks.
std::function<void(HWND)> g_work;

void CALLBACK Act(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindDialog(g_person->title);
  if (!dialog) return;  // not up yet
  KillTimer(nullptr, timer);
  g_person->found = true;
  if (g_work) g_work(dialog);
  for (int control : g_person->clicks) {
    SendMessageW(GetDlgItem(dialog, control), BM_CLICK, 0, 0);
  }
  for (int control : g_person->clicks) {
    g_person->shown.push_back(IsDlgButtonChecked(dialog, control));
  }
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(g_person->button, BN_CLICKED), 0);
}

// Lets `person` act on the window `show` opens (a timer waits for it) and
// returns what `show` returned.
template <typename Show>
int WithPerson(Person* person, Show show) {
  g_person = person;
  UINT_PTR timer = SetTimer(nullptr, 0, 50, &Act);
  if (timer == 0) {
    g_person = nullptr;
    ADD_FAILURE() << "no timer for the person";
    return 0;
  }
  const int result = show();
  KillTimer(nullptr, timer);
  g_person = nullptr;
  return result;
}

// A dialog of two boxes whose states follow the clicks as the preferences
// model does (0 becomes 1, anything else 0).
class TwoBoxes : public ModalDialog {
 public:
  int ResourceId() const override { return 999; }
  std::wstring Title() const override { return L"Two boxes"; }
  void OnInitDialog() override { ++inits; }
  void OnEndDialog(int result) override { ended_with.push_back(result); }
  std::vector<DialogCheckBox> CheckBoxes() const override {
    return {{101, L"Filter images", states[0]}, {102, L"Filter scripts", states[1]}};
  }
  void OnCheckBoxClicked(int control) override {
    int& state = states[control - 101];
    state = state == 0 ? 1 : 0;
    clicked.push_back(control);
  }

  int states[2] = {0, 2};
  int inits = 0;
  std::vector<int> ended_with;
  std::vector<int> clicked;
};

TEST(WinUi, ADialogFromAMemoryTemplateReportsClicksAndTheClosingButton) {
  struct Case {
    const char* name;
    std::vector<int> clicks;
    int button;
    int want_states[2];
    std::vector<UINT> want_shown;
  };
  const Case cases[] = {
      {"OK after one click", {101}, IDOK, {1, 2}, {BST_CHECKED}},
      {"Cancel after two clicks",
       {101, 102},
       IDCANCEL,
       {1, 0},
       {BST_CHECKED, BST_UNCHECKED}},
      {"OK untouched", {}, IDOK, {0, 2}, {}},
  };
  for (const Case& c : cases) {
    TwoBoxes dialog;
    Person person{dialog.Title(), c.clicks, c.button, {}, false};
    const int result =
        WithPerson(&person, [&] { return SystemUi().DoModal(&dialog, nullptr); });
    EXPECT_TRUE(person.found) << c.name;
    EXPECT_EQ(result, c.button) << c.name;
    EXPECT_EQ(dialog.inits, 1) << c.name;
    EXPECT_EQ(dialog.ended_with, std::vector<int>{c.button}) << c.name;
    EXPECT_EQ(dialog.clicked, c.clicks) << c.name;
    EXPECT_EQ(dialog.states[0], c.want_states[0]) << c.name;
    EXPECT_EQ(dialog.states[1], c.want_states[1]) << c.name;
    EXPECT_EQ(person.shown, c.want_shown) << c.name;
  }
}

TEST(WinUi, AMessageBoxReturnsTheButtonPressed) {
  Person person{L"Corvane Filter", {}, IDYES, {}, false};
  const int answer = WithPerson(&person, [&] {
    return SystemUi().MessageBox(nullptr, L"Check for a newer rule file now?",
                                 L"Corvane Filter", MB_YESNO);
  });
  EXPECT_TRUE(person.found);
  EXPECT_EQ(answer, IDYES);
}

// The preferences dialog in the system's dialog: its "General" boxes are
// there, a click on "Filter Image" unticks it and OK saves the option.
TEST(WinUi, ThePreferencesDialogSavesAClickedBoxOnOk) {
  using cvie::platform::HKEY_CURRENT_USER;
  constexpr int kFilterImage = 209;
  cvie::DWORD before = 0;
  const bool had = cvie::platform::RegGetDword(HKEY_CURRENT_USER, cvie::kOptionsKeyPath,
                                               L"FilterImage", &before) == 0;
  ASSERT_EQ(cvie::platform::RegSetDword(HKEY_CURRENT_USER, cvie::kOptionsKeyPath,
                                        L"FilterImage", 1),
            0);
  {
    cvie::CVCfg options;
    cvie::Whitelist list(cvie::platform::WhitelistFilePath(),
                         cvie::platform::WhitelistTempPath(), &options);
    cvie::CPrefDialog dialog(&options, &list);
    Person person{dialog.Title(), {kFilterImage}, IDOK, {}, false};
    const int result =
        WithPerson(&person, [&] { return SystemUi().DoModal(&dialog, nullptr); });
    EXPECT_TRUE(person.found);
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(person.shown, std::vector<UINT>{BST_UNCHECKED});
    EXPECT_EQ(dialog.CheckBoxes().size(), dialog.model().general().size() - 1);
  }
  cvie::DWORD after = 0xDEADBEEF;
  cvie::platform::RegGetDword(HKEY_CURRENT_USER, cvie::kOptionsKeyPath, L"FilterImage",
                              &after);
  EXPECT_EQ(after, 0u);
  // The prefix's options as they were.
  cvie::platform::RegSetDword(HKEY_CURRENT_USER, cvie::kOptionsKeyPath, L"FilterImage",
                              had ? before : 1);
}

// The entries the list box of `dialog`'s list section shows.
std::vector<std::wstring> ListedEntries(HWND dialog) {
  std::vector<std::wstring> entries;
  HWND list = GetDlgItem(dialog, cvie::platform::kDialogListBox);
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, i, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
    entries.push_back(text);
  }
  return entries;
}

// The preferences dialog's whitelist in the system's dialog: an address typed
// into the field and added with "Add", or an entry selected and removed with
// "Delete", reaches the whitelist file on OK; Cancel leaves the file as it was.
TEST(WinUi, ThePreferencesDialogsWhitelistAddsAndDeletesAddresses) {
  using cvie::platform::kDialogListAdd;
  using cvie::platform::kDialogListBox;
  using cvie::platform::kDialogListEdit;
  using cvie::platform::kDialogListRemove;
  struct Case {
    const char* name;
    std::wstring typed;  // typed and added when not empty
    int remove;          // entry selected and deleted; -1 for none
    int button;
    std::vector<std::wstring> want_listed;  // before closing
    std::string want_file;
  };
  const Case cases[] = {
      {"type, Add, OK",
       L"ads.example.com",
       -1,
       IDOK,
       {L"ads.example.com", L"b.example", L"a.example"},
       "ads.example.com\r\nb.example\r\na.example\r\n"},
      {"select, Delete, OK", L"", 1, IDOK, {L"b.example"}, "b.example\r\n"},
      {"type, Add, select, Delete, Cancel",
       L"ads.example.com",
       2,
       IDCANCEL,
       {L"ads.example.com", L"b.example"},
       "b.example\r\na.example\r\n"},
  };
  cvie::platform::CreateDataFolders();
  const std::wstring path = cvie::platform::WhitelistFilePath();
  for (const Case& c : cases) {
    std::string error;
    ASSERT_TRUE(
        cvie::platform::WriteFileAtomically(path, "b.example\r\na.example\r\n", &error))
        << error;
    cvie::CVCfg options;
    cvie::Whitelist list(path, cvie::platform::WhitelistTempPath(), &options);
    cvie::CPrefDialog dialog(&options, &list);
    std::vector<std::wstring> listed_at_start, listed;
    std::wstring field_after_add = L"<not added>";
    g_work = [&](HWND window) {
      listed_at_start = ListedEntries(window);
      if (!c.typed.empty()) {
        SetDlgItemTextW(window, kDialogListEdit, c.typed.c_str());
        SendMessageW(GetDlgItem(window, kDialogListAdd), BM_CLICK, 0, 0);
        wchar_t field[64] = {};
        GetDlgItemTextW(window, kDialogListEdit, field, 64);
        field_after_add = field;
      }
      if (c.remove >= 0) {
        SendDlgItemMessageW(window, kDialogListBox, LB_SETCURSEL, c.remove, 0);
        SendMessageW(GetDlgItem(window, kDialogListRemove), BM_CLICK, 0, 0);
      }
      listed = ListedEntries(window);
    };
    Person person{dialog.Title(), {}, c.button, {}, false};
    const int result =
        WithPerson(&person, [&] { return SystemUi().DoModal(&dialog, nullptr); });
    g_work = nullptr;
    EXPECT_TRUE(person.found) << c.name;
    EXPECT_EQ(result, c.button) << c.name;
    EXPECT_EQ(listed_at_start, (std::vector<std::wstring>{L"b.example", L"a.example"}))
        << c.name;
    if (!c.typed.empty()) {
      EXPECT_EQ(field_after_add, L"") << c.name;
    }
    EXPECT_EQ(listed, c.want_listed) << c.name;
    std::string file;
    ASSERT_TRUE(cvie::platform::ReadWholeFile(path, &file)) << c.name;
    EXPECT_EQ(file, c.want_file) << c.name;
  }
  cvie::platform::DeleteFileAt(path);
}

}  // namespace
