#include "platform/ui.h"

#include <string.h>

#include <algorithm>
#include <atomic>

#include "platform/text.h"

namespace cvie::platform {
namespace {

std::atomic<Ui*> g_active{nullptr};

template <typename T>
bool TakeFront(std::vector<T>* list, T* value) {
  if (list->empty()) return false;
  *value = std::move(list->front());
  list->erase(list->begin());
  return true;
}

}  // namespace

int DefaultAnswer(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OK:
      return IDOK;
    case MB_YESNO:
    case MB_YESNOCANCEL:
      return IDNO;
    default:
      return IDCANCEL;
  }
}

Ui& ActiveUi() {
  Ui* ui = g_active.load(std::memory_order_acquire);
  return ui ? *ui : SystemUi();
}

Ui* SetUi(Ui* ui) { return g_active.exchange(ui, std::memory_order_acq_rel); }

// --- ScriptedUi -------------------------------------------------------------

void ScriptedUi::QueueMessageBoxAnswer(int answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  box_answers_.push_back(answer);
}

void ScriptedUi::QueueMenuAnswer(UINT id) {
  std::lock_guard<std::mutex> lock(mutex_);
  menu_answers_.push_back(id);
}

void ScriptedUi::QueueDialogAnswer(std::function<int(ModalDialog*)> act) {
  std::lock_guard<std::mutex> lock(mutex_);
  dialog_answers_.push_back(std::move(act));
}

void ScriptedUi::AddLiveWindow(HWND window) {
  std::lock_guard<std::mutex> lock(mutex_);
  live_windows_.push_back(window);
}

std::vector<ScriptedUi::Call> ScriptedUi::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<ScriptedUi::Call> ScriptedUi::MessageBoxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Call> boxes;
  for (const Call& call : calls_) {
    if (call.kind == Call::Kind::kMessageBox) boxes.push_back(call);
  }
  return boxes;
}

int ScriptedUi::MessageBox(HWND owner, const std::wstring& text,
                           const std::wstring& caption, UINT type) {
  std::lock_guard<std::mutex> lock(mutex_);
  int answer;
  if (!TakeFront(&box_answers_, &answer)) answer = DefaultAnswer(type);
  Call call;
  call.kind = Call::Kind::kMessageBox;
  call.owner = owner;
  call.text = text;
  call.caption = caption;
  call.type = type;
  call.result = answer;
  call.thread = GetCurrentThreadId();
  calls_.push_back(std::move(call));
  return answer;
}

UINT ScriptedUi::TrackPopupMenu(const PopupMenu& menu, UINT flags, int, int, HWND owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  UINT answer;
  if (!TakeFront(&menu_answers_, &answer)) answer = 0;
  Call call;
  call.kind = Call::Kind::kPopupMenu;
  call.owner = owner;
  call.type = flags;
  call.menu = menu;
  call.result = static_cast<int>(answer);
  call.thread = GetCurrentThreadId();
  calls_.push_back(std::move(call));
  return answer;
}

int ScriptedUi::DoModal(ModalDialog* dialog, HWND owner) {
  if (!dialog) return IDCANCEL;
  std::function<int(ModalDialog*)> act;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    TakeFront(&dialog_answers_, &act);
  }
  // The dialog runs without the lock: its handlers may show boxes themselves.
  dialog->OnInitDialog();
  int result = act ? act(dialog) : IDCANCEL;
  dialog->OnEndDialog(result);
  std::lock_guard<std::mutex> lock(mutex_);
  Call call;
  call.kind = Call::Kind::kDialog;
  call.owner = owner;
  call.text = dialog->Title();
  call.result = result;
  call.thread = GetCurrentThreadId();
  calls_.push_back(std::move(call));
  return result;
}

bool ScriptedUi::IsWindow(HWND window) {
  if (!window) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return std::find(live_windows_.begin(), live_windows_.end(), window) !=
         live_windows_.end();
}

// --- ConsoleUi --------------------------------------------------------------

ConsoleUi::ConsoleUi(FILE* out, FILE* in, bool ask) : out_(out), in_(in), ask_(ask) {}

int ConsoleUi::MessageBox(HWND, const std::wstring& text, const std::wstring& caption,
                          UINT type) {
  std::lock_guard<std::mutex> lock(mutex_);
  UINT kind = type & MB_TYPEMASK;
  fprintf(out_, "[%s] %s\n", ToNarrow(caption).c_str(), ToNarrow(text).c_str());
  if (kind == MB_OK) {
    fflush(out_);
    return IDOK;
  }
  bool yes_no = kind == MB_YESNO || kind == MB_YESNOCANCEL;
  int answer = DefaultAnswer(type);
  if (ask_ && in_) {
    fprintf(out_, yes_no ? "Answer yes or no [y/N]: " : "Answer ok or cancel [o/C]: ");
    fflush(out_);
    char line[64];
    if (fgets(line, sizeof line, in_)) {
      char first = line[strspn(line, " \t")];
      if (yes_no && (first == 'y' || first == 'Y')) answer = IDYES;
      if (!yes_no && (first == 'o' || first == 'O')) answer = IDOK;
    }
  }
  const char* word = answer == IDYES  ? "Yes"
                     : answer == IDNO ? "No"
                     : answer == IDOK ? "OK"
                                      : "Cancel";
  fprintf(out_, "Answered: %s\n", word);
  fflush(out_);
  return answer;
}

UINT ConsoleUi::TrackPopupMenu(const PopupMenu& menu, UINT, int, int, HWND) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const MenuItem& item : menu.items) {
    if (item.separator) {
      fprintf(out_, "  ----\n");
    } else {
      fprintf(out_, "  %3u %s %s\n", item.id, item.checked ? "[x]" : "[ ]",
              ToNarrow(item.label).c_str());
    }
  }
  fflush(out_);
  return 0;
}

int ConsoleUi::DoModal(ModalDialog* dialog, HWND) {
  if (!dialog) return IDCANCEL;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fprintf(out_, "[%s] this dialog cannot be shown in a terminal\n",
            ToNarrow(dialog->Title()).c_str());
    fflush(out_);
  }
  dialog->OnInitDialog();
  dialog->OnEndDialog(IDCANCEL);
  return IDCANCEL;
}

}  // namespace cvie::platform
