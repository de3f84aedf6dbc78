// Tests of the preferences dialog: the "General" page's states, the
// "Whitelist" page's rows and editing, OK and Cancel.

#include <algorithm>
#include <filesystem>

#include "commands_fixture.h"
#include "common/test_support.h"
#include "platform/text.h"
#include "ui/preferences.h"

namespace cvie::testing {
namespace {

const wchar_t* const kDialogOptions[] = {
    L"ShowTabsForFlash",    L"CollapseBlockedElements",
    L"BlockAdsOnLocalPage", L"FilterFlash",
    L"FilterImage",         L"CheckBannerLink",
    L"FilterScript",        L"FilterFrame",
    L"FilterMarquee",       L"EnableLogging"};

void SetOption(const wchar_t* name, DWORD value) {
  ASSERT_EQ(0, platform::RegSetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath, name,
                                     value));
}

std::string WhitelistFile() {
  std::string text;
  if (!ReadFile(platform::ToNarrow(platform::WhitelistFilePath()), &text))
    return "<missing>";
  return text;
}

TEST_F(CommandsTest, GeneralPageListsTheTenOptionsInOrder) {
  PreferencesModel model(options_.get(), list_.get());
  model.Open();
  struct Row {
    int control;
    const wchar_t* label;
  };
  const Row rows[] = {{204, L""},
                      {205, L"Collapse blocked elements"},
                      {203, L"Block ads on local pages"},
                      {208, L"Filter Flash"},
                      {209, L"Filter Image"},
                      {211, L"Check Banner Link"},
                      {210, L"Filter Script"},
                      {212, L"Filter Frame"},
                      {213, L"Filter Marquee (moving text)"},
                      {214, L"Enable Logging"}};
  ASSERT_EQ(std::size(rows), model.general().size());
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(rows[i].control, model.general()[i].control) << i;
    EXPECT_EQ(rows[i].label, model.general()[i].label) << i;
    EXPECT_EQ(kDialogOptions[i], model.general()[i].option) << i;
  }
  EXPECT_EQ((std::vector<std::wstring>{L"General", L"Whitelist"}),
            CPrefDialog::TabLabels());
  // The field without a box cannot be clicked.
  EXPECT_EQ(-1, model.CheckStateOf(204));
  EXPECT_FALSE(model.Click(204));
  EXPECT_FALSE(model.Click(999));
}

TEST_F(CommandsTest, GeneralPageStateRules) {
  struct Case {
    DWORD stored;
    int shown;   // state after the page initialises
    int clicks;  // clicks on the box
    int after_clicks;
    DWORD saved;  // registry value after OK
  };
  const Case cases[] = {
      {0, kUnchecked, 0, 0, 0},          {1, kChecked, 0, 1, 1},
      {2, kIndeterminate, 0, 2, 1},      {2, kIndeterminate, 1, 0, 0},
      {5, kUnchecked, 0, 0, 0},          {5, kUnchecked, 1, 1, 1},
      {0xFFFFFFFF, kUnchecked, 0, 0, 0},  // -1
      {0, kUnchecked, 2, 0, 0},          {1, kChecked, 1, 0, 0},
  };
  for (const Case& c : cases) {
    std::string row =
        "stored " + std::to_string(c.stored) + ", clicks " + std::to_string(c.clicks);
    SetOption(L"FilterImage", c.stored);
    SetOption(L"ShowTabsForFlash", c.stored);
    CPrefDialog dialog(options_.get(), list_.get());
    ui_.QueueDialogAnswer([&](platform::ModalDialog* d) {
      auto& model = static_cast<CPrefDialog*>(d)->model();
      EXPECT_EQ(c.shown, model.CheckStateOf(209)) << row;
      EXPECT_EQ(c.shown, model.general()[0].state) << row;  // ShowTabsForFlash
      for (int i = 0; i < c.clicks; ++i) EXPECT_TRUE(model.Click(209)) << row;
      EXPECT_EQ(c.after_clicks, model.CheckStateOf(209)) << row;
      return platform::IDOK;
    });
    EXPECT_EQ(platform::IDOK, platform::ActiveUi().DoModal(&dialog, nullptr));
    EXPECT_EQ(c.saved, RegistryOption(L"FilterImage")) << row;
    EXPECT_EQ(c.shown == 0 ? 0u : 1u, RegistryOption(L"ShowTabsForFlash")) << row;
  }
}

// A ui that draws the dialog itself sees the "General" page's boxes through
// the dialog and clicks them through it, with the page's own state rules.
TEST_F(CommandsTest, TheDialogShowsTheGeneralPagesBoxesAndTakesTheirClicks) {
  SetOption(L"FilterImage", 1);
  SetOption(L"FilterScript", 2);
  CPrefDialog dialog(options_.get(), list_.get());
  ui_.QueueDialogAnswer([&](platform::ModalDialog* d) {
    const std::vector<platform::DialogCheckBox> boxes = d->CheckBoxes();
    std::vector<platform::DialogCheckBox> want;
    for (const GeneralField& field : dialog.model().general()) {
      if (!field.label.empty()) want.push_back({field.control, field.label, field.state});
    }
    EXPECT_EQ(want.size(), dialog.model().general().size() - 1);  // 204 has no box
    EXPECT_EQ(boxes.size(), want.size());
    for (size_t i = 0; i < std::min(boxes.size(), want.size()); ++i) {
      EXPECT_EQ(boxes[i].control, want[i].control) << i;
      EXPECT_EQ(boxes[i].label, want[i].label) << i;
      EXPECT_EQ(boxes[i].state, want[i].state) << i;
    }
    d->OnCheckBoxClicked(209);  // Filter Image: 1 becomes 0
    d->OnCheckBoxClicked(210);  // Filter Script: 2 becomes 0
    d->OnCheckBoxClicked(210);  // and 0 becomes 1
    for (const platform::DialogCheckBox& box : d->CheckBoxes()) {
      if (box.control == 209) {
        EXPECT_EQ(box.state, kUnchecked);
      }
      if (box.control == 210) {
        EXPECT_EQ(box.state, kChecked);
      }
    }
    return platform::IDOK;
  });
  EXPECT_EQ(platform::IDOK, platform::ActiveUi().DoModal(&dialog, nullptr));
  EXPECT_EQ(0u, RegistryOption(L"FilterImage"));
  EXPECT_EQ(1u, RegistryOption(L"FilterScript"));
}

// A ui that draws the dialog itself works the "Whitelist" page through the
// dialog's list section: the addresses without the placeholder, an add that
// types into the placeholder row, a delete of the chosen address; OK writes
// the file and Cancel leaves it as it was.
TEST_F(CommandsTest, TheDialogShowsTheWhitelistAsAListWithAddAndDelete) {
  struct Case {
    const char* name;
    std::vector<std::wstring> adds;
    std::vector<size_t> removes;  // entry indexes, after the adds
    int button;
    std::vector<std::wstring> want_entries;  // before closing
    std::string want_file;
  };
  const Case cases[] = {
      {"add then OK",
       {L"ads.example"},
       {},
       platform::IDOK,
       {L"ads.example", L"b.example", L"a.example"},
       "ads.example\r\nb.example\r\na.example\r\n"},
      {"delete then OK", {}, {1}, platform::IDOK, {L"b.example"}, "b.example\r\n"},
      {"add, delete it again, delete the rest, OK",
       {L"c.example"},
       {0, 0, 0},
       platform::IDOK,
       {},
       ""},
      {"add and delete then Cancel",
       {L"ads.example"},
       {2},
       platform::IDCANCEL,
       {L"ads.example", L"b.example"},
       "b.example\r\na.example\r\n"},
  };
  for (const Case& c : cases) {
    WriteWhitelist({L"b.example", L"a.example"});
    options_->SetWhiteListTS(1);
    CPrefDialog dialog(options_.get(), list_.get());
    ui_.QueueDialogAnswer([&](platform::ModalDialog* d) {
      EXPECT_TRUE(d->HasList()) << c.name;
      EXPECT_EQ(L"Website Addresses", d->ListTitle()) << c.name;
      EXPECT_EQ(L"Add", d->ListAddLabel()) << c.name;
      EXPECT_EQ(L"Delete", d->ListRemoveLabel()) << c.name;
      EXPECT_EQ((std::vector<std::wstring>{L"b.example", L"a.example"}), d->ListEntries())
          << c.name;
      for (const std::wstring& text : c.adds)
        EXPECT_TRUE(d->AddListEntry(text)) << c.name;
      for (size_t index : c.removes) EXPECT_TRUE(d->RemoveListEntry(index)) << c.name;
      EXPECT_EQ(c.want_entries, d->ListEntries()) << c.name;
      return c.button;
    });
    EXPECT_EQ(c.button, platform::ActiveUi().DoModal(&dialog, nullptr)) << c.name;
    EXPECT_EQ(c.want_file, WhitelistFile()) << c.name;
    EXPECT_EQ(c.button == platform::IDOK, options_->GetWhiteListTS() > 1u) << c.name;
  }
}

// What the list section refuses leaves the entries as they were.
TEST_F(CommandsTest, TheDialogsListRefusesWhatCouldNotBeAnEntry) {
  WriteWhitelist({L"a.example"});
  CPrefDialog dialog(options_.get(), list_.get());
  dialog.OnInitDialog();
  const std::vector<std::wstring> before = dialog.ListEntries();
  ASSERT_EQ(std::vector<std::wstring>{L"a.example"}, before);
  const std::wstring refused[] = {L"", kWhitelistPlaceholder, L"two\nlines",
                                  L"two\r\nlines"};
  for (const std::wstring& text : refused) {
    EXPECT_FALSE(dialog.AddListEntry(text)) << platform::ToNarrow(text);
  }
  EXPECT_FALSE(dialog.RemoveListEntry(1));
  EXPECT_FALSE(dialog.RemoveListEntry(static_cast<size_t>(-1)));
  EXPECT_EQ(before, dialog.ListEntries());
  EXPECT_EQ((std::vector<std::wstring>{kWhitelistPlaceholder, L"a.example"}),
            dialog.model().rows());
}

TEST_F(CommandsTest, PreferencesOkWritesOptionsAndWhitelist) {
  for (const wchar_t* name : kDialogOptions) SetOption(name, 1);
  WriteWhitelist({L"b.example", L"a.example"});
  options_->SetWhiteListTS(1);

  ui_.QueueDialogAnswer([](platform::ModalDialog* d) {
    auto& model = static_cast<CPrefDialog*>(d)->model();
    EXPECT_EQ(
        (std::vector<std::wstring>{kWhitelistPlaceholder, L"b.example", L"a.example"}),
        model.rows());
    model.Click(209);  // Filter Image off
    model.Click(214);  // Enable Logging off
    // Typing over the placeholder adds the address and a new placeholder.
    EXPECT_TRUE(model.BeginEdit(0));
    EXPECT_TRUE(model.EndEdit(0, L"c.example"));
    EXPECT_EQ((std::vector<std::wstring>{kWhitelistPlaceholder, L"c.example",
                                         L"b.example", L"a.example"}),
              model.rows());
    return platform::IDOK;
  });
  FakeBrowser browser(L"http://page.example/");
  CommandContext context = Context(&browser);
  ASSERT_TRUE(cfg_.FindCommand(301)->Execute(&context));

  struct Expect {
    const wchar_t* option;
    DWORD value;
  };
  const Expect expects[] = {{L"FilterImage", 0},  {L"EnableLogging", 0},
                            {L"FilterFlash", 1},  {L"CollapseBlockedElements", 1},
                            {L"FilterScript", 1}, {L"ShowTabsForFlash", 1}};
  for (const Expect& e : expects) {
    EXPECT_EQ(e.value, RegistryOption(e.option)) << platform::ToNarrow(e.option);
  }
  EXPECT_EQ("c.example\r\nb.example\r\na.example\r\n", WhitelistFile());
  EXPECT_GT(options_->GetWhiteListTS(), 1u);
  EXPECT_FALSE(
      std::filesystem::exists(platform::ToNarrow(platform::WhitelistTempPath())));
  // The store follows the file.
  EXPECT_TRUE(list_->Contains(L"c.example", true));
}

TEST_F(CommandsTest, PreferencesCancelWritesNothing) {
  for (const wchar_t* name : kDialogOptions) SetOption(name, 1);
  WriteWhitelist({L"a.example"});
  options_->SetWhiteListTS(1);
  std::string registry_before = platform::RegistryDumpForTesting();
  std::string file_before = WhitelistFile();

  ui_.QueueDialogAnswer([](platform::ModalDialog* d) {
    auto& model = static_cast<CPrefDialog*>(d)->model();
    for (const auto& field : model.general()) model.Click(field.control);
    model.EndEdit(0, L"new.example");
    model.DeleteRow(2);
    return platform::IDCANCEL;
  });
  CPrefDialog dialog(options_.get(), list_.get());
  EXPECT_EQ(platform::IDCANCEL, platform::ActiveUi().DoModal(&dialog, nullptr));
  EXPECT_FALSE(dialog.applied());
  EXPECT_EQ(registry_before, platform::RegistryDumpForTesting());
  EXPECT_EQ(file_before, WhitelistFile());
  EXPECT_EQ(1u, options_->GetWhiteListTS());
}

TEST_F(CommandsTest, WhitelistPageEditing) {
  WriteWhitelist({L"m.example", L"z.example", L"a.example"});
  PreferencesModel model(options_.get(), list_.get());
  model.Open();
  ASSERT_EQ(4u, model.rows().size());

  // The placeholder row has no context menu; an address row has Edit and
  // Delete.
  EXPECT_EQ(0u, model.ContextMenu(0, 5, 5, nullptr));
  EXPECT_EQ(0u, model.ContextMenu(9, 5, 5, nullptr));
  EXPECT_TRUE(ui_.calls().empty());
  ui_.QueueMenuAnswer(0);
  EXPECT_EQ(0u, model.ContextMenu(1, 5, 5, nullptr));  // dismissed
  EXPECT_EQ(4u, model.rows().size());
  auto calls = ui_.calls();
  ASSERT_EQ(1u, calls.size());
  ASSERT_EQ(2u, calls[0].menu.items.size());
  EXPECT_EQ(L"Edit", calls[0].menu.items[0].label);
  EXPECT_EQ(kWhitelistEditCmd, calls[0].menu.items[0].id);
  EXPECT_EQ(L"Delete", calls[0].menu.items[1].label);
  EXPECT_EQ(kWhitelistDeleteCmd, calls[0].menu.items[1].id);

  ui_.QueueMenuAnswer(kWhitelistEditCmd);
  EXPECT_EQ(kWhitelistEditCmd, model.ContextMenu(2, 5, 5, nullptr));
  EXPECT_TRUE(model.EndEdit(2, L"y.example"));
  EXPECT_FALSE(model.EndEdit(2, L"two\r\nlines"));
  EXPECT_FALSE(model.EndEdit(7, L"x"));
  ui_.QueueMenuAnswer(kWhitelistDeleteCmd);
  EXPECT_EQ(kWhitelistDeleteCmd, model.ContextMenu(1, 5, 5, nullptr));
  EXPECT_EQ(
      (std::vector<std::wstring>{kWhitelistPlaceholder, L"y.example", L"a.example"}),
      model.rows());

  // A header click sorts the addresses; the placeholder stays on top.
  model.EndEdit(0, L"b.example");
  model.SortAddresses();
  EXPECT_EQ((std::vector<std::wstring>{kWhitelistPlaceholder, L"a.example", L"b.example",
                                       L"y.example"}),
            model.rows());
  EXPECT_TRUE(model.Apply());
  EXPECT_EQ("a.example\r\nb.example\r\ny.example\r\n", WhitelistFile());
}

TEST_F(CommandsTest, DeletingEveryAddressLeavesAnEmptyFile) {
  WriteWhitelist({L"a.example", L"b.example"});
  PreferencesModel model(options_.get(), list_.get());
  model.Open();
  EXPECT_FALSE(model.DeleteRow(0));
  while (model.rows().size() > 1) ASSERT_TRUE(model.DeleteRow(1));
  EXPECT_TRUE(model.Apply());
  EXPECT_EQ("", WhitelistFile());
  EXPECT_TRUE(list_->Entries().empty());
}

TEST_F(CommandsTest, MissingWhitelistShowsOnlyThePlaceholder) {
  PreferencesModel model(options_.get(), list_.get());
  model.Open();
  EXPECT_EQ(std::vector<std::wstring>{kWhitelistPlaceholder}, model.rows());
  // OK without change writes an empty list and stamps it.
  options_->SetWhiteListTS(1);
  EXPECT_TRUE(model.Apply());
  EXPECT_EQ("", WhitelistFile());
  EXPECT_GT(options_->GetWhiteListTS(), 1u);
}

TEST_F(CommandsTest, UnwritableTemporaryFileKeepsListAndStampButSavesOptions) {
  WriteWhitelist({L"a.example"});
  ScopedCvieRoot other;
  // The temporary file's folder does not exist: it cannot be opened.
  Whitelist list(
      platform::WhitelistFilePath(),
      platform::ToWide((other.path() / "missing" / "whitelist.txt.tmp").string()),
      options_.get());
  SetOption(L"FilterFlash", 1);
  options_->SetWhiteListTS(1);
  PreferencesModel model(options_.get(), &list);
  model.Open();
  model.EndEdit(0, L"b.example");
  model.Click(208);
  EXPECT_FALSE(model.Apply());
  EXPECT_EQ("a.example\r\n", WhitelistFile());
  EXPECT_EQ(1u, options_->GetWhiteListTS());
  EXPECT_EQ(0u, RegistryOption(L"FilterFlash"));
}

}  // namespace
}  // namespace cvie::testing
