// The platform's own ui on Windows: the system's message boxes
// (MessageBoxW), popup menus (TrackPopupMenu) and modal dialogs
// (DialogBoxIndirectParamW over a dialog template made in memory: the
// dialog's title, its check boxes, its list section and OK and Cancel; the
// module has no resources to load one from). Every call runs on the calling thread with
// windows of that thread, so several threads may call at once.

#include "platform/ui.h"

#include <stdint.h>

#include <algorithm>
#include <vector>

#include "platform/win/win32.h"

// The SDK makes MessageBox a macro for MessageBoxW; the ui's method is meant.
#undef MessageBox

namespace cvie::platform {
namespace {

::HWND Native(HWND window) { return static_cast<::HWND>(window); }

// A window of this thread to own a menu or a box when the caller gives none:
// a popup menu needs an owner to send its messages to.
class OwnerWindow {
 public:
  explicit OwnerWindow(HWND given) : window_(Native(given)) {
    if (window_) return;
    window_ = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    made_ = window_ != nullptr;
  }
  ~OwnerWindow() {
    if (made_) DestroyWindow(window_);
  }
  OwnerWindow(const OwnerWindow&) = delete;
  OwnerWindow& operator=(const OwnerWindow&) = delete;
  ::HWND get() const { return window_; }

 private:
  ::HWND window_;
  bool made_ = false;
};

// --- The dialog template ------------------------------------------------------

// Dialog units of the layout.
constexpr short kMargin = 7;
constexpr short kWidth = 220;
constexpr short kBoxHeight = 10;
constexpr short kBoxStep = 13;
constexpr short kButtonWidth = 50;
constexpr short kButtonHeight = 14;
constexpr short kListTitleHeight = 8;
constexpr short kListHeight = 64;
constexpr short kGap = 4;
constexpr short kEditHeight = 14;
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;
constexpr WORD kListBoxClass = 0x0083;

// Writes a DLGTEMPLATE and its items into WORDs, which keeps every field at
// least WORD-aligned; the DWORD alignment each item needs is added.
class TemplateWriter {
 public:
  void Word(WORD value) { words_.push_back(value); }
  void DWord(DWORD value) {
    Word(static_cast<WORD>(value & 0xFFFF));
    Word(static_cast<WORD>(value >> 16));
  }
  void Text(const std::wstring& text) {
    for (wchar_t c : text) Word(static_cast<WORD>(c));
    Word(0);
  }
  void AlignDWord() {
    if (words_.size() % 2 != 0) Word(0);
  }
  void Header(DWORD style, WORD items, short x, short y, short cx, short cy,
              const std::wstring& title) {
    DWord(style);
    DWord(0);  // extended style
    Word(items);
    Word(static_cast<WORD>(x));
    Word(static_cast<WORD>(y));
    Word(static_cast<WORD>(cx));
    Word(static_cast<WORD>(cy));
    Word(0);  // no menu
    Word(0);  // the system's dialog class
    Text(title);
    Word(8);  // DS_SETFONT: point size and face
    Text(L"MS Shell Dlg");
  }
  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD system_class,
            const std::wstring& text) {
    AlignDWord();
    DWord(style | WS_CHILD | WS_VISIBLE);
    DWord(0);  // extended style
    Word(static_cast<WORD>(x));
    Word(static_cast<WORD>(y));
    Word(static_cast<WORD>(cx));
    Word(static_cast<WORD>(cy));
    Word(id);
    Word(0xFFFF);
    Word(system_class);
    Text(text);
    Word(0);  // no creation data
  }
  const DLGTEMPLATE* get() {
    AlignDWord();
    return reinterpret_cast<const DLGTEMPLATE*>(words_.data());
  }

 private:
  std::vector<WORD> words_;
};

// The list section's height: its title, the list, and the row of the edit
// field and the two buttons.
constexpr short kListSectionHeight =
    kListTitleHeight + 2 + kListHeight + kGap + kEditHeight + kMargin;

// Title, one check box per line, the list section when the dialog has one, OK
// and Cancel at the bottom right.
void BuildTemplate(const ModalDialog& dialog, TemplateWriter* writer) {
  const std::vector<DialogCheckBox> boxes = dialog.CheckBoxes();
  const bool list = dialog.HasList();
  const short height = static_cast<short>(
      kMargin + boxes.size() * kBoxStep + (boxes.empty() ? 0 : kMargin) +
      (list ? kListSectionHeight : 0) + kButtonHeight + kMargin);
  writer->Header(
      DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU,
      static_cast<WORD>(boxes.size() + (list ? 5 : 0) + 2), 0, 0, kWidth, height,
      dialog.Title());
  short y = kMargin;
  for (const DialogCheckBox& box : boxes) {
    writer->Item(BS_3STATE | WS_TABSTOP, kMargin, y, kWidth - 2 * kMargin, kBoxHeight,
                 static_cast<WORD>(box.control), kButtonClass, box.label);
    y = static_cast<short>(y + kBoxStep);
  }
  if (!boxes.empty()) y = static_cast<short>(y + kMargin);
  if (list) {
    constexpr short inner = kWidth - 2 * kMargin;
    writer->Item(SS_LEFT, kMargin, y, inner, kListTitleHeight, 0xFFFF, kStaticClass,
                 dialog.ListTitle());
    y = static_cast<short>(y + kListTitleHeight + 2);
    writer->Item(LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP,
                 kMargin, y, inner, kListHeight, kDialogListBox, kListBoxClass, L"");
    y = static_cast<short>(y + kListHeight + kGap);
    const short edit_width = static_cast<short>(inner - 2 * (kButtonWidth + kGap));
    writer->Item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, kMargin, y, edit_width,
                 kEditHeight, kDialogListEdit, kEditClass, L"");
    const short add_x = static_cast<short>(kMargin + edit_width + kGap);
    writer->Item(BS_PUSHBUTTON | WS_TABSTOP, add_x, y, kButtonWidth, kButtonHeight,
                 kDialogListAdd, kButtonClass, dialog.ListAddLabel());
    writer->Item(BS_PUSHBUTTON | WS_TABSTOP,
                 static_cast<short>(add_x + kButtonWidth + kGap), y, kButtonWidth,
                 kButtonHeight, kDialogListRemove, kButtonClass,
                 dialog.ListRemoveLabel());
  }
  const short buttons_y = static_cast<short>(height - kMargin - kButtonHeight);
  writer->Item(BS_DEFPUSHBUTTON | WS_TABSTOP,
               static_cast<short>(kWidth - 2 * (kButtonWidth + kMargin)), buttons_y,
               kButtonWidth, kButtonHeight, IDOK, kButtonClass, L"OK");
  writer->Item(BS_PUSHBUTTON | WS_TABSTOP,
               static_cast<short>(kWidth - kButtonWidth - kMargin), buttons_y,
               kButtonWidth, kButtonHeight, IDCANCEL, kButtonClass, L"Cancel");
}

// Shows each check box's state as the dialog has it now.
void ShowStates(::HWND window, const ModalDialog& dialog) {
  for (const DialogCheckBox& box : dialog.CheckBoxes()) {
    const UINT state = box.state == 1   ? BST_CHECKED
                       : box.state == 2 ? BST_INDETERMINATE
                                        : BST_UNCHECKED;
    CheckDlgButton(window, box.control, state);
  }
}

// Shows the list section's entries as the dialog has them now, with entry
// `selected` selected (none when out of range).
void ShowEntries(::HWND window, const ModalDialog& dialog, LRESULT selected) {
  ::HWND list = GetDlgItem(window, kDialogListBox);
  if (!list) return;
  SendMessageW(list, LB_RESETCONTENT, 0, 0);
  for (const std::wstring& entry : dialog.ListEntries()) {
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  }
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  if (count > 0 && selected >= 0) {
    SendMessageW(list, LB_SETCURSEL, std::min<LRESULT>(selected, count - 1), 0);
  }
}

// "Add": the typed text goes to the dialog; when it takes it, the field is
// emptied for the next one.
void AddTypedEntry(::HWND window, ModalDialog* dialog) {
  ::HWND edit = GetDlgItem(window, kDialogListEdit);
  const int length = GetWindowTextLengthW(edit);
  std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
  const int got = GetWindowTextW(edit, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(std::max(got, 0)));
  if (!dialog->AddListEntry(text)) return;
  SetWindowTextW(edit, L"");
  ShowEntries(window, *dialog, -1);
}

// "Remove": the selected entry, if any; the selection stays at its place.
void RemoveSelectedEntry(::HWND window, ModalDialog* dialog) {
  const LRESULT selected =
      SendDlgItemMessageW(window, kDialogListBox, LB_GETCURSEL, 0, 0);
  if (selected == LB_ERR || selected < 0) return;
  if (!dialog->RemoveListEntry(static_cast<size_t>(selected))) return;
  ShowEntries(window, *dialog, selected);
}

bool IsCheckBox(const ModalDialog& dialog, int control) {
  const std::vector<DialogCheckBox> boxes = dialog.CheckBoxes();
  return std::any_of(boxes.begin(), boxes.end(), [control](const DialogCheckBox& box) {
    return box.control == control;
  });
}

INT_PTR CALLBACK DialogProc(::HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  ModalDialog* dialog =
      reinterpret_cast<ModalDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(window, DWLP_USER, lparam);
      ShowStates(window, *reinterpret_cast<ModalDialog*>(lparam));
      ShowEntries(window, *reinterpret_cast<ModalDialog*>(lparam), -1);
      return TRUE;
    case WM_COMMAND: {
      if (!dialog) return FALSE;
      const int control = LOWORD(wparam);
      if (control == IDOK || control == IDCANCEL) {
        dialog->OnEndDialog(control);
        EndDialog(window, control);
        return TRUE;
      }
      if (HIWORD(wparam) == BN_CLICKED && control == kDialogListAdd) {
        AddTypedEntry(window, dialog);
        return TRUE;
      }
      if (HIWORD(wparam) == BN_CLICKED && control == kDialogListRemove) {
        RemoveSelectedEntry(window, dialog);
        return TRUE;
      }
      if (HIWORD(wparam) == BN_CLICKED && IsCheckBox(*dialog, control)) {
        // The dialog decides the new state; the box shows it.
        dialog->OnCheckBoxClicked(control);
        ShowStates(window, *dialog);
        return TRUE;
      }
      return FALSE;
    }
    case WM_CLOSE:
      if (dialog) dialog->OnEndDialog(IDCANCEL);
      EndDialog(window, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

// --- WindowsUi ------------------------------------------------------------------

class WindowsUi : public Ui {
 public:
  int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                 UINT type) override {
    const int answer = MessageBoxW(Native(owner), text.c_str(), caption.c_str(), type);
    // 0: the box could not be shown (no desktop); nobody answered.
    return answer != 0 ? answer : DefaultAnswer(type);
  }

  UINT TrackPopupMenu(const PopupMenu& menu, UINT flags, int x, int y,
                      HWND owner) override {
    HMENU popup = CreatePopupMenu();
    if (!popup) return 0;
    for (const MenuItem& item : menu.items) {
      if (item.separator) {
        AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
      } else {
        AppendMenuW(popup, MF_STRING | (item.checked ? MF_CHECKED : MF_UNCHECKED),
                    item.id, item.label.c_str());
      }
    }
    OwnerWindow window(owner);
    // The owner in front, so that a click elsewhere dismisses the menu.
    SetForegroundWindow(window.get());
    const BOOL chosen = ::TrackPopupMenu(popup, flags | TPM_RETURNCMD | TPM_NONOTIFY, x,
                                         y, 0, window.get(), nullptr);
    PostMessageW(window.get(), WM_NULL, 0, 0);
    DestroyMenu(popup);
    return chosen > 0 ? static_cast<UINT>(chosen) : 0;
  }

  int DoModal(ModalDialog* dialog, HWND owner) override {
    if (!dialog) return IDCANCEL;
    dialog->OnInitDialog();
    TemplateWriter writer;
    BuildTemplate(*dialog, &writer);
    const INT_PTR result =
        DialogBoxIndirectParamW(GetModuleHandleW(nullptr), writer.get(), Native(owner),
                                &DialogProc, reinterpret_cast<LPARAM>(dialog));
    if (result == IDOK || result == IDCANCEL) return static_cast<int>(result);
    // The dialog could not be made (no desktop): it ends as cancelled.
    dialog->OnEndDialog(IDCANCEL);
    return IDCANCEL;
  }

  bool IsWindow(HWND window) override {
    return window != nullptr && ::IsWindow(Native(window));
  }
};

}  // namespace

Ui& SystemUi() {
  // Never destroyed: boxes may still be shown while the process ends.
  static WindowsUi* ui = new WindowsUi();
  return *ui;
}

}  // namespace cvie::platform
