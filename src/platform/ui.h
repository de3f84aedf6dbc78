// platform/ui.h
//
// What the system shows a person: message boxes, popup menus and modal
// dialogs, behind one interface so that the same code runs in a test (a
// scripted ui that records every call and returns scripted answers), in a
// terminal (ConsoleUi: boxes become printed notices, questions are asked on
// the terminal) and in the control panel (its own implementation).
//
// The active ui is process-wide: ActiveUi() returns it, SetUi() replaces it.
// Both are safe from any thread; a ui object handed to SetUi must stay alive
// while it is active. Implementations must accept calls from several threads.

#pragma once

#include <stdio.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread.h"

namespace cvie::platform {

// An owner window. Null is the desktop (no owner).
typedef void* HWND;

// Message box types (combinable) and results.
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr UINT MB_SYSTEMMODAL = 0x00001000;
constexpr UINT MB_TYPEMASK = 0x0000000F;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Popup menu tracking flags (as passed through by the menu commands).
constexpr UINT TPM_CENTERALIGN = 0x0004;
constexpr UINT TPM_RIGHTALIGN = 0x0008;
constexpr UINT TPM_VCENTERALIGN = 0x0010;
constexpr UINT TPM_BOTTOMALIGN = 0x0020;
constexpr UINT TPM_RIGHTBUTTON = 0x0002;
constexpr UINT TPM_NONOTIFY = 0x0080;
constexpr UINT TPM_RETURNCMD = 0x0100;

// One entry of a popup menu. A separator has no id and no label.
struct MenuItem {
  UINT id = 0;
  std::wstring label;
  bool checked = false;
  bool separator = false;
  std::wstring image;  // name of the check-mark image, empty for none
};

struct PopupMenu {
  std::vector<MenuItem> items;
};

// A check box a dialog shows: its control id, its text and its state (0
// unchecked, 1 checked, 2 indeterminate).
struct DialogCheckBox {
  int control = 0;
  std::wstring label;
  int state = 0;
};

// Control identifiers of a dialog's list section in a ui that draws the
// dialog itself (outside the range of the dialogs' own controls).
constexpr int kDialogListBox = 0x7F01;
constexpr int kDialogListEdit = 0x7F02;
constexpr int kDialogListAdd = 0x7F03;
constexpr int kDialogListRemove = 0x7F04;

// A dialog run modally. The ui calls OnInitDialog once before the person sees
// it, lets the person act (through the dialog's own operations), and calls
// OnEndDialog with the button that closed it (IDOK, IDCANCEL) before DoModal
// returns that value. A ui that draws the dialog itself shows its title, its
// check boxes (asked after OnInitDialog and again after each click), its list
// section when it has one, and OK and Cancel.
//
// The list section: a titled list of text entries, a field to type a new one,
// a button that adds the typed text and one that removes the selected entry.
// The dialog decides what an add or a remove does; the ui asks for the
// entries again after each accepted change.
class ModalDialog {
 public:
  virtual ~ModalDialog() = default;
  // Resource identifier of the dialog and its title ("Preferences").
  virtual int ResourceId() const = 0;
  virtual std::wstring Title() const = 0;
  virtual void OnInitDialog() {}
  virtual void OnEndDialog(int result) { (void)result; }
  // The check boxes, in order; none by default.
  virtual std::vector<DialogCheckBox> CheckBoxes() const { return {}; }
  // The person clicked check box `control`.
  virtual void OnCheckBoxClicked(int control) { (void)control; }

  // Whether the dialog has a list section; none by default.
  virtual bool HasList() const { return false; }
  // The list's title and the labels of its two buttons.
  virtual std::wstring ListTitle() const { return {}; }
  virtual std::wstring ListAddLabel() const { return L"Add"; }
  virtual std::wstring ListRemoveLabel() const { return L"Remove"; }
  // The entries, in the order shown.
  virtual std::vector<std::wstring> ListEntries() const { return {}; }
  // The person asked to add `text`. False when the dialog refused it (nothing
  // changed).
  virtual bool AddListEntry(const std::wstring& text) {
    (void)text;
    return false;
  }
  // The person asked to remove entry `index` of ListEntries(). False when
  // there is no such entry (nothing changed).
  virtual bool RemoveListEntry(size_t index) {
    (void)index;
    return false;
  }
};

class Ui {
 public:
  virtual ~Ui() = default;

  // Shows `text` with `caption`; returns the button chosen (IDOK, IDYES, IDNO,
  // IDCANCEL).
  virtual int MessageBox(HWND owner, const std::wstring& text,
                         const std::wstring& caption, UINT type) = 0;
  // Shows `menu` at screen point (x, y); returns the chosen item's id, or 0 when
  // the menu was dismissed.
  virtual UINT TrackPopupMenu(const PopupMenu& menu, UINT flags, int x, int y,
                              HWND owner) = 0;
  // Runs `dialog` modally; returns the id of the button that closed it.
  virtual int DoModal(ModalDialog* dialog, HWND owner) = 0;
  // True when `window` is a live window this ui knows.
  virtual bool IsWindow(HWND window) {
    (void)window;
    return false;
  }
};

// The answer a message box of `type` (MB_OK ...) gives when nobody answers
// it: IDOK for a box with only OK, IDNO where there is No, else IDCANCEL.
int DefaultAnswer(UINT type);

// The active ui: SystemUi() until SetUi is called. Never null.
Ui& ActiveUi();
// The platform's own ui, one per build: on Windows the system's message
// boxes, popup menus and dialogs (platform/win/ui.cc); elsewhere a ConsoleUi
// writing to stderr and answering No/Cancel (platform/system_ui.cc). Never
// destroyed.
Ui& SystemUi();
// Makes `ui` the active one (null restores the default). Returns the previous
// one (null when the default was active).
Ui* SetUi(Ui* ui);

// A ui for tests: records each call and answers from a script.
class ScriptedUi : public Ui {
 public:
  struct Call {
    enum class Kind { kMessageBox, kPopupMenu, kDialog };
    Kind kind = Kind::kMessageBox;
    HWND owner = nullptr;
    std::wstring text;     // message box text; dialog title
    std::wstring caption;  // message box caption
    UINT type = 0;         // message box type; menu flags
    PopupMenu menu;        // the menu shown
    int result = 0;        // what was answered
    DWORD thread = 0;      // the thread that asked
  };

  // Answers, used in order; when a list runs out the defaults apply: IDOK for
  // an OK box, IDNO for Yes/No boxes, IDCANCEL otherwise; 0 for menus; IDCANCEL
  // for dialogs.
  void QueueMessageBoxAnswer(int answer);
  void QueueMenuAnswer(UINT id);
  // `act` may work the dialog (through its own type); its result closes it.
  void QueueDialogAnswer(std::function<int(ModalDialog*)> act);
  // Windows IsWindow reports as live.
  void AddLiveWindow(HWND window);

  std::vector<Call> calls() const;
  std::vector<Call> MessageBoxes() const;

  int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                 UINT type) override;
  UINT TrackPopupMenu(const PopupMenu& menu, UINT flags, int x, int y,
                      HWND owner) override;
  int DoModal(ModalDialog* dialog, HWND owner) override;
  bool IsWindow(HWND window) override;

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::vector<int> box_answers_;
  std::vector<UINT> menu_answers_;
  std::vector<std::function<int(ModalDialog*)>> dialog_answers_;
  std::vector<HWND> live_windows_;
};

// A ui for the command line. Message boxes are printed to `out` as
// "[caption] text"; a question (Yes/No, OK/Cancel) is asked on `in` when
// `ask` is set and otherwise answered No (or Cancel). Menus print their items
// and are dismissed; dialogs cannot be shown and are cancelled.
class ConsoleUi : public Ui {
 public:
  ConsoleUi(FILE* out, FILE* in, bool ask);

  int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                 UINT type) override;
  UINT TrackPopupMenu(const PopupMenu& menu, UINT flags, int x, int y,
                      HWND owner) override;
  int DoModal(ModalDialog* dialog, HWND owner) override;

 private:
  std::mutex mutex_;
  FILE* out_;
  FILE* in_;
  bool ask_;
};

}  // namespace cvie::platform
