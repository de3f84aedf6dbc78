// ui/preferences.h
//
// The preferences dialog as plain data, so that any front end (the scripted
// ui of the tests, a terminal, the web control panel) can render it and feed
// the user's actions back.
//
// PreferencesModel holds the two pages:
//  - "General": ten check boxes for filter options, each with its control
//    identifier, label, option name and a state (0 unchecked, 1 checked,
//    2 indeterminate). The states are read from the options when the page is
//    made; a stored value outside 0..2 shows unchecked; a click makes 0 into 1
//    and anything else into 0.
//  - "Whitelist": rows of addresses; row 0 is always the placeholder
//    "Add a website address...", typing over it adds an address and brings
//    a fresh placeholder back above it.
// Nothing is written until Apply (the dialog's OK): the options are saved,
// the whitelist file is rewritten through its temporary file, the stamp
// "WhiteListTS" is set and the process's whitelist reloaded. Cancel is simply
// not calling Apply.
//
// A model belongs to one dialog on one thread; it is not shared.

#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace cvie {

class CVCfg;
class Whitelist;

// Dialog and control identifiers.
constexpr int kPreferencesDialogId = 214;
constexpr int kGeneralPageId = 215;
constexpr int kWhitelistListId = 4321;
constexpr int kWhitelistMenuId = 216;
constexpr UINT kWhitelistEditCmd = 32770;
constexpr UINT kWhitelistDeleteCmd = 32771;

extern const wchar_t kWhitelistPlaceholder[];  // "Add a website address..."
extern const wchar_t kWhitelistColumnTitle[];  // "Website Addresses"

enum CheckState { kUnchecked = 0, kChecked = 1, kIndeterminate = 2 };

struct GeneralField {
  int control;          // check box identifier
  std::wstring label;   // its text; empty for the field without a box
  std::wstring option;  // registry value of the option, e.g. "FilterImage"
  int state;            // as read; after Init one of CheckState
};

class PreferencesModel {
 public:
  // `options` and `whitelist` null: the process's own.
  PreferencesModel(CVCfg* options, Whitelist* whitelist);

  // Makes both pages: reads the options (forced refresh) and the whitelist
  // file. Then initialises the check boxes (states outside 0..2 become 0).
  void Open();

  // "General" page.
  const std::vector<GeneralField>& general() const { return general_; }
  // The state of check box `control`; -1 when there is none.
  int CheckStateOf(int control) const;
  // A click on check box `control`: 0 becomes 1, anything else 0. False when
  // the page has no such box (nothing changes).
  bool Click(int control);

  // "Whitelist" page: row 0 is the placeholder.
  const std::vector<std::wstring>& rows() const { return rows_; }
  // Whether editing row `row` may begin (any existing row).
  bool BeginEdit(int row) const;
  // The edit of row `row` ended with `text`. Refused (false, nothing changes)
  // for a row that does not exist and for text holding a line break (it could
  // not stay one entry of the file). When row 0 no longer holds the
  // placeholder, a fresh placeholder is inserted above it.
  bool EndEdit(int row, const std::wstring& text);
  // The right-click menu of row `row`: none for the placeholder row or a row
  // that does not exist (returns 0); otherwise "Edit" and "Delete" are shown
  // through the active ui owned by `owner` and the choice returned (0 when
  // dismissed). "Delete" removes the row; "Edit" leaves the row for the
  // caller to edit (BeginEdit/EndEdit).
  UINT ContextMenu(int row, int x, int y, platform::HWND owner);
  // Deletes row `row` (not the placeholder). False when there is no such row.
  bool DeleteRow(int row);
  // The column header was clicked: the addresses are sorted in ascending
  // order (the placeholder stays first).
  void SortAddresses();

  // OK: saves the options and writes the whitelist (see above). Returns false
  // when the whitelist file could not be written (the options are saved all
  // the same, the file and the stamp are left as they were).
  bool Apply();

 private:
  CVCfg& Options() const;
  Whitelist& List() const;
  void LoadGeneral();
  void LoadWhitelist();
  bool WriteWhitelist();

  CVCfg* options_;
  Whitelist* whitelist_;
  std::vector<GeneralField> general_;
  std::vector<std::wstring> rows_;
};

// The modal dialog "Preferences" (resource 214): opening it opens the model,
// OK applies it, Cancel writes nothing. A ui works the dialog through model().
class CPrefDialog : public platform::ModalDialog {
 public:
  CPrefDialog(CVCfg* options = nullptr, Whitelist* whitelist = nullptr);

  int ResourceId() const override { return kPreferencesDialogId; }
  std::wstring Title() const override { return L"Preferences"; }
  void OnInitDialog() override;
  void OnEndDialog(int result) override;
  // The "General" page's boxes (those with a label) and their clicks, for a
  // ui that draws the dialog itself.
  std::vector<platform::DialogCheckBox> CheckBoxes() const override;
  void OnCheckBoxClicked(int control) override;
  // The "Whitelist" page as the dialog's list section, titled "Website
  // Addresses", with the buttons "Add" and "Delete": the entries are the
  // page's addresses without the placeholder row. Adding is typing into the
  // placeholder row (the new address comes first); empty text and the
  // placeholder's own text are refused, as is a line break. Removing deletes
  // the address's row. Like the rest of the page, nothing is written before OK.
  bool HasList() const override { return true; }
  std::wstring ListTitle() const override;
  std::wstring ListRemoveLabel() const override { return L"Delete"; }
  std::vector<std::wstring> ListEntries() const override;
  bool AddListEntry(const std::wstring& text) override;
  bool RemoveListEntry(size_t index) override;

  PreferencesModel& model() { return model_; }
  // The tab labels in order.
  static std::vector<std::wstring> TabLabels();
  // Whether OK was pressed and the whitelist file written.
  bool applied() const { return applied_; }

 private:
  PreferencesModel model_;
  bool applied_ = false;
};

}  // namespace cvie
