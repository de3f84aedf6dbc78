// The ui layer: the scripted ui for tests, the console ui, the active ui.

#include "platform/ui.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace cvie::platform {
namespace {

struct DefaultAnswerCase {
  UINT type;
  int answer;
};

TEST(ScriptedUi, AnswersFromTheScriptThenWithDefaultsAndRecordsEveryBox) {
  const DefaultAnswerCase kDefaults[] = {
      {MB_OK, IDOK},          {MB_OK | MB_SYSTEMMODAL, IDOK}, {MB_YESNO, IDNO},
      {MB_YESNOCANCEL, IDNO}, {MB_OKCANCEL, IDCANCEL},
  };
  for (const auto& c : kDefaults) {
    ScriptedUi ui;
    EXPECT_EQ(ui.MessageBox(nullptr, L"t", L"c", c.type), c.answer) << "type " << c.type;
  }

  ScriptedUi ui;
  ui.QueueMessageBoxAnswer(IDYES);
  ui.QueueMessageBoxAnswer(IDCANCEL);
  int owner_marker = 0;
  EXPECT_EQ(ui.MessageBox(&owner_marker, L"first", L"Message", MB_YESNO), IDYES);
  EXPECT_EQ(ui.MessageBox(nullptr, L"second", L"Check Update", MB_OK), IDCANCEL);
  EXPECT_EQ(ui.MessageBox(nullptr, L"third", L"Message", MB_YESNO), IDNO);
  std::vector<ScriptedUi::Call> boxes = ui.MessageBoxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, L"first");
  EXPECT_EQ(boxes[0].caption, L"Message");
  EXPECT_EQ(boxes[0].type, MB_YESNO);
  EXPECT_EQ(boxes[0].owner, &owner_marker);
  EXPECT_EQ(boxes[0].thread, GetCurrentThreadId());
  EXPECT_EQ(boxes[1].result, IDCANCEL);
  EXPECT_EQ(boxes[2].result, IDNO);
}

TEST(ScriptedUi, MenusReturnTheScriptedIdAndRecordTheItems) {
  ScriptedUi ui;
  PopupMenu menu;
  menu.items.push_back({301, L"Enable Corvane", true, false, L"Checked BMP"});
  menu.items.push_back({0, L"", false, true, L""});
  menu.items.push_back({308, L"About Corvane Filter...", false, false, L""});
  ui.QueueMenuAnswer(308);
  EXPECT_EQ(ui.TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, 10, 20, nullptr), 308u);
  EXPECT_EQ(ui.TrackPopupMenu(menu, 0, 0, 0, nullptr), 0u);  // dismissed
  std::vector<ScriptedUi::Call> calls = ui.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].kind, ScriptedUi::Call::Kind::kPopupMenu);
  EXPECT_EQ(calls[0].type, TPM_RETURNCMD | TPM_NONOTIFY);
  ASSERT_EQ(calls[0].menu.items.size(), 3u);
  EXPECT_TRUE(calls[0].menu.items[0].checked);
  EXPECT_TRUE(calls[0].menu.items[1].separator);
  EXPECT_EQ(calls[0].menu.items[2].label, L"About Corvane Filter...");
}

class CountingDialog : public ModalDialog {
 public:
  int ResourceId() const override { return 214; }
  std::wstring Title() const override { return L"Preferences"; }
  void OnInitDialog() override { events.push_back("init"); }
  void OnEndDialog(int result) override {
    events.push_back("end " + std::to_string(result));
  }
  std::vector<std::string> events;
  int clicks = 0;
};

TEST(ScriptedUi, DialogsRunInitTheScriptAndEnd) {
  ScriptedUi ui;
  ui.QueueDialogAnswer([](ModalDialog* dialog) {
    static_cast<CountingDialog*>(dialog)->clicks += 2;
    return IDOK;
  });
  CountingDialog accepted;
  EXPECT_EQ(ui.DoModal(&accepted, nullptr), IDOK);
  EXPECT_EQ(accepted.clicks, 2);
  EXPECT_EQ(accepted.events, (std::vector<std::string>{"init", "end 1"}));

  CountingDialog unscripted;
  EXPECT_EQ(ui.DoModal(&unscripted, nullptr), IDCANCEL);
  EXPECT_EQ(unscripted.events, (std::vector<std::string>{"init", "end 2"}));
  ASSERT_EQ(ui.calls().size(), 2u);
  EXPECT_EQ(ui.calls()[1].text, L"Preferences");
}

TEST(ScriptedUi, KnowsOnlyTheWindowsItWasGiven) {
  ScriptedUi ui;
  int window = 0, other = 0;
  ui.AddLiveWindow(&window);
  EXPECT_TRUE(ui.IsWindow(&window));
  EXPECT_FALSE(ui.IsWindow(&other));
  EXPECT_FALSE(ui.IsWindow(nullptr));
}

TEST(ActiveUi, SetUiReplacesAndRestores) {
  ScriptedUi first, second;
  Ui* original = SetUi(&first);
  EXPECT_EQ(&ActiveUi(), &first);
  EXPECT_EQ(SetUi(&second), &first);
  ActiveUi().MessageBox(nullptr, L"to second", L"c", MB_OK);
  EXPECT_TRUE(first.calls().empty());
  EXPECT_EQ(second.calls().size(), 1u);
  EXPECT_EQ(SetUi(original), &second);
}

std::string ReadAll(FILE* file) {
  rewind(file);
  std::string text;
  char buffer[256];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

struct ConsoleCase {
  const char* name;
  UINT type;
  bool ask;
  const char* input;
  int answer;
  const char* answered;
};

TEST(ConsoleUi, PrintsBoxesAndAsksQuestionsOnlyWhenAllowed) {
  const ConsoleCase kCases[] = {
      {"ok box", MB_OK, true, "", IDOK, nullptr},
      {"yes typed", MB_YESNO, true, "yes\n", IDYES, "Answered: Yes"},
      {"no typed", MB_YESNO, true, "n\n", IDNO, "Answered: No"},
      {"nothing typed", MB_YESNO, true, "", IDNO, "Answered: No"},
      {"not asked", MB_YESNO, false, "y\n", IDNO, "Answered: No"},
      {"ok typed", MB_OKCANCEL, true, "ok\n", IDOK, "Answered: OK"},
  };
  for (const auto& c : kCases) {
    FILE* out = tmpfile();
    FILE* in = tmpfile();
    ASSERT_TRUE(out && in);
    fputs(c.input, in);
    rewind(in);
    ConsoleUi ui(out, in, c.ask);
    EXPECT_EQ(ui.MessageBox(nullptr, L"Good news", L"Message", c.type), c.answer)
        << c.name;
    std::string printed = ReadAll(out);
    EXPECT_NE(printed.find("[Message] Good news\n"), std::string::npos) << c.name;
    if (c.answered) {
      EXPECT_NE(printed.find(c.answered), std::string::npos) << c.name;
    }
    fclose(out);
    fclose(in);
  }
}

TEST(ConsoleUi, CancelsDialogsItCannotShow) {
  FILE* out = tmpfile();
  ASSERT_TRUE(out);
  ConsoleUi ui(out, nullptr, false);
  CountingDialog dialog;
  EXPECT_EQ(ui.DoModal(&dialog, nullptr), IDCANCEL);
  EXPECT_EQ(dialog.events, (std::vector<std::string>{"init", "end 2"}));
  EXPECT_NE(ReadAll(out).find("[Preferences]"), std::string::npos);
  fclose(out);
}

}  // namespace
}  // namespace cvie::platform
