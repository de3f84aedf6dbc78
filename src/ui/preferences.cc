// ui/preferences.cc

#include "ui/preferences.h"

#include <time.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "config/options.h"
#include "log/logger.h"
#include "platform/files.h"
#include "platform/text.h"
#include "whitelist/whitelist.h"

namespace cvie {

const wchar_t kWhitelistPlaceholder[] = L"Add a website address...";
const wchar_t kWhitelistColumnTitle[] = L"Website Addresses";

namespace {

struct GeneralRow {
  int control;
  const wchar_t* label;
  const wchar_t* option;
  int (CVCfg::*get)();
  void (CVCfg::*set)(int);
};

// The page's state fields, in order. "ShowTabsForFlash" has no box on the
// page but is read and written back like the others.
const GeneralRow kGeneralRows[] = {
    {204, L"", L"ShowTabsForFlash", &CVCfg::GetShowTabsForFlash,
     &CVCfg::SetShowTabsForFlash},
    {205, L"Collapse blocked elements", L"CollapseBlockedElements",
     &CVCfg::GetCollapseBlockedElements, &CVCfg::SetCollapseBlockedElements},
    {203, L"Block ads on local pages", L"BlockAdsOnLocalPage",
     &CVCfg::GetBlockAdsOnLocalPage, &CVCfg::SetBlockAdsOnLocalPage},
    {208, L"Filter Flash", L"FilterFlash", &CVCfg::GetFilterFlash,
     &CVCfg::SetFilterFlash},
    {209, L"Filter Image", L"FilterImage", &CVCfg::GetFilterImage,
     &CVCfg::SetFilterImage},
    {211, L"Check Banner Link", L"CheckBannerLink", &CVCfg::GetCheckBannerLink,
     &CVCfg::SetCheckBannerLink},
    {210, L"Filter Script", L"FilterScript", &CVCfg::GetFilterScript,
     &CVCfg::SetFilterScript},
    {212, L"Filter Frame", L"FilterFrame", &CVCfg::GetFilterFrame,
     &CVCfg::SetFilterFrame},
    {213, L"Filter Marquee (moving text)", L"FilterMarquee", &CVCfg::GetFilterMarquee,
     &CVCfg::SetFilterMarquee},
    {214, L"Enable Logging", L"EnableLogging", &CVCfg::GetEnableLogging,
     &CVCfg::SetEnableLogging},
};

}  // namespace

PreferencesModel::PreferencesModel(CVCfg* options, Whitelist* whitelist)
    : options_(options), whitelist_(whitelist), rows_{kWhitelistPlaceholder} {}

CVCfg& PreferencesModel::Options() const {
  return options_ ? *options_ : CVCfg::Instance();
}

Whitelist& PreferencesModel::List() const {
  return whitelist_ ? *whitelist_ : Whitelist::Instance();
}

void PreferencesModel::Open() {
  LoadGeneral();
  // The check boxes take the states: a value outside 0..2 shows unchecked.
  for (GeneralField& field : general_) {
    if (field.state < 0 || field.state > 2) field.state = kUnchecked;
  }
  LoadWhitelist();
}

void PreferencesModel::LoadGeneral() {
  CVCfg& options = Options();
  options.Refresh(true);
  general_.clear();
  for (const GeneralRow& row : kGeneralRows) {
    general_.push_back({row.control, row.label, row.option, (options.*row.get)()});
  }
}

void PreferencesModel::LoadWhitelist() {
  rows_.assign(1, kWhitelistPlaceholder);
  Logger& log = Logger::Instance();
  std::ifstream in(platform::ToNarrow(List().list_path()), std::ios::binary);
  if (!in.is_open()) {
    log.Log(LOG_NOTICE, L"Can't load whielist");
    return;
  }
  log.Log(LOG_DETAIL, L"Before loading whielist");
  std::string bytes((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
  // The same reader as the whitelist store, so the page shows exactly the
  // entries the filter uses.
  for (std::wstring& entry : ParseWhitelistText(bytes)) rows_.push_back(std::move(entry));
}

int PreferencesModel::CheckStateOf(int control) const {
  for (const GeneralField& field : general_) {
    if (field.control == control && !field.label.empty()) return field.state;
  }
  return -1;
}

bool PreferencesModel::Click(int control) {
  for (GeneralField& field : general_) {
    if (field.control != control || field.label.empty()) continue;
    field.state = field.state == 0 ? kChecked : kUnchecked;
    return true;
  }
  return false;
}

bool PreferencesModel::BeginEdit(int row) const {
  return row >= 0 && static_cast<size_t>(row) < rows_.size();
}

bool PreferencesModel::EndEdit(int row, const std::wstring& text) {
  if (!BeginEdit(row)) return false;
  if (text.find_first_of(L"\r\n") != std::wstring::npos) return false;
  rows_[row] = text;
  if (rows_[0] != kWhitelistPlaceholder)
    rows_.insert(rows_.begin(), kWhitelistPlaceholder);
  return true;
}

UINT PreferencesModel::ContextMenu(int row, int x, int y, platform::HWND owner) {
  if (row < 1 || static_cast<size_t>(row) >= rows_.size()) return 0;
  platform::PopupMenu menu;
  platform::MenuItem edit;
  edit.id = kWhitelistEditCmd;
  edit.label = L"Edit";
  platform::MenuItem remove;
  remove.id = kWhitelistDeleteCmd;
  remove.label = L"Delete";
  menu.items = {edit, remove};
  UINT chosen = platform::ActiveUi().TrackPopupMenu(
      menu, platform::TPM_RIGHTBUTTON | platform::TPM_RETURNCMD, x, y, owner);
  if (chosen == kWhitelistDeleteCmd) DeleteRow(row);
  return chosen;
}

bool PreferencesModel::DeleteRow(int row) {
  if (row < 1 || static_cast<size_t>(row) >= rows_.size()) return false;
  rows_.erase(rows_.begin() + row);
  return true;
}

void PreferencesModel::SortAddresses() {
  auto first = rows_.begin();
  if (first != rows_.end() && *first == kWhitelistPlaceholder) ++first;
  std::stable_sort(first, rows_.end());
}

bool PreferencesModel::Apply() {
  CVCfg& options = Options();
  options.Refresh(true);
  size_t i = 0;
  for (const GeneralRow& row : kGeneralRows) {
    if (i >= general_.size()) break;
    (options.*row.set)(general_[i++].state != 0 ? 1 : 0);
  }
  options.SaveAll();

  bool written = WriteWhitelist();
  List().Load();
  return written;
}

bool PreferencesModel::WriteWhitelist() {
  Whitelist& list = List();
  const std::wstring& temp = list.temp_path();
  {
    std::ofstream out(platform::ToNarrow(temp), std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return false;
    Logger::Instance().Log(LOG_NOTICE, L"Before writing whielist");
    for (const std::wstring& row : rows_) {
      // The placeholder is never an entry, and an empty row would read back
      // as nothing.
      if (row == kWhitelistPlaceholder || row.empty()) continue;
      // A longer line would be skipped whole by the reader: keep what fits.
      out << platform::ToNarrow(row.substr(0, kMaxWhitelistEntryLength)) << "\r\n";
    }
    out.flush();
    if (!out.good()) {
      out.close();
      platform::DeleteFileAt(temp);
      return false;
    }
  }
  // One rename replaces the old list, so no reader finds the file missing.
  if (!platform::RenameFile(temp, list.list_path(), true)) {
    platform::DeleteFileAt(temp);
    return false;
  }
  Options().SetWhiteListTS(static_cast<uint32_t>(time(nullptr)));
  return true;
}

CPrefDialog::CPrefDialog(CVCfg* options, Whitelist* whitelist)
    : model_(options, whitelist) {}

void CPrefDialog::OnInitDialog() { model_.Open(); }

void CPrefDialog::OnEndDialog(int result) {
  if (result == platform::IDOK) applied_ = model_.Apply();
}

std::vector<platform::DialogCheckBox> CPrefDialog::CheckBoxes() const {
  std::vector<platform::DialogCheckBox> boxes;
  for (const GeneralField& field : model_.general()) {
    if (!field.label.empty()) boxes.push_back({field.control, field.label, field.state});
  }
  return boxes;
}

void CPrefDialog::OnCheckBoxClicked(int control) { model_.Click(control); }

std::wstring CPrefDialog::ListTitle() const { return kWhitelistColumnTitle; }

std::vector<std::wstring> CPrefDialog::ListEntries() const {
  const std::vector<std::wstring>& rows = model_.rows();
  auto first = rows.begin();
  if (first != rows.end() && *first == kWhitelistPlaceholder) ++first;
  return std::vector<std::wstring>(first, rows.end());
}

bool CPrefDialog::AddListEntry(const std::wstring& text) {
  // An empty row or the placeholder's own text would never reach the file.
  if (text.empty() || text == kWhitelistPlaceholder) return false;
  return model_.EndEdit(0, text);
}

bool CPrefDialog::RemoveListEntry(size_t index) {
  // Entry i is row i + 1, below the placeholder.
  if (index >= ListEntries().size()) return false;
  return model_.DeleteRow(static_cast<int>(index + 1));
}

std::vector<std::wstring> CPrefDialog::TabLabels() { return {L"General", L"Whitelist"}; }

}  // namespace cvie
