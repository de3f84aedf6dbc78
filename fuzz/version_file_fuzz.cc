// Fuzzes the version file: reading it line by line into the settings and rule
// slots, and the whole update decision on it (message boxes answered by a
// scripted ui, pages recorded instead of opened). Nothing may crash, read or
// write past a buffer, or hang.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "comm/comm_mgr.h"
#include "comm/version_file.h"
#include "comm/version_info.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace {

using namespace cvie::platform;

// Answers every box at once and remembers nothing (inputs run by the million).
class AnsweringUi : public Ui {
 public:
  int MessageBox(HWND, const std::wstring&, const std::wstring&, UINT type) override {
    return (type & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
  }
  UINT TrackPopupMenu(const PopupMenu&, UINT, int, int, HWND) override { return 0; }
  int DoModal(ModalDialog*, HWND) override { return IDCANCEL; }
};

std::string* g_path = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!getenv("CVIE_ROOT")) {
    std::string root =
        (std::filesystem::temp_directory_path() / "cvie-fuzz-XXXXXX").string();
    if (mkdtemp(root.data())) setenv("CVIE_ROOT", root.c_str(), 1);
  }
  setenv("CVIE_UPDATE_SERVER", "http://127.0.0.1:9", 1);
  cvie::platform::CreateDataFolders();
  // Decisions are logged; a log growing by the million would only slow the run.
  cvie::Logger::Instance().Disable();
  cvie::platform::SetUi(new AnsweringUi());
  cvie::platform::SetUrlOpener([](const std::wstring&) { return 0; });
  g_path = new std::string(cvie::platform::ToNarrow(cvie::platform::SharedFolderPath()) +
                           "/fuzz.ver");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  // The reader alone, on a stream and on the text taken as one line.
  cvie::VersionFileValues values;
  cvie::RuleSlots slots;
  std::istringstream in(text);
  cvie::VersionFileStats stats = cvie::ReadVersionFile(in, &values, &slots);
  if (stats.lines < 0 || stats.long_lines < 0) abort();
  if (values.minimum_url.size() > cvie::kMaxVersionUrlLength ||
      values.newest_url.size() > cvie::kMaxVersionUrlLength ||
      slots.slot(0).url.size() > cvie::kMaxVersionUrlLength) {
    abort();
  }
  cvie::ApplyVersionLine(text, &values, &slots);
  cvie::ParseVersionNumber(text.c_str());

  // The whole decision, from a file. A new file each time: truncating one in
  // place makes some file systems write it out at every close.
  std::remove(g_path->c_str());
  {
    std::ofstream out(*g_path, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  std::vector<cvie::DownloadItem> items;
  bool interactive = size > 0 && (data[0] & 1);
  cvie::VersionInfo::Instance().ProcessVersionFileAt(cvie::platform::ToWide(*g_path),
                                                     interactive, &items);
  for (const cvie::DownloadItem& item : items) {
    if (item.url.size() > cvie::kMaxDownloadItemText ||
        item.path.size() > cvie::kMaxDownloadItemText || item.timeout_seconds != 30) {
      abort();
    }
  }
  return 0;
}
