// Fuzzes reading the whitelist file: the bytes are written as the list and
// loaded, then looked up. Nothing may crash, hang, read or write past a
// buffer, or make an entry the file format cannot hold (empty, longer than
// an entry, or holding a line feed); loading must agree with the splitter.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "whitelist/whitelist.h"

namespace {

std::string* g_list = nullptr;
std::string* g_temp = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!getenv("CVIE_ROOT")) {
    std::string root =
        (std::filesystem::temp_directory_path() / "cvie-fuzz-XXXXXX").string();
    if (mkdtemp(root.data())) setenv("CVIE_ROOT", root.c_str(), 1);
  }
  cvie::platform::CreateDataFolders();
  cvie::Logger::Instance().Disable();
  g_list = new std::string(cvie::platform::ToNarrow(cvie::platform::UserFolderPath()) +
                           "/fuzz-whitelist.txt");
  g_temp = new std::string(*g_list + ".tmp");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::remove(g_list->c_str());
  {
    std::ofstream out(*g_list, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  cvie::Whitelist list(cvie::platform::ToWide(*g_list), cvie::platform::ToWide(*g_temp),
                       nullptr, [] { return int64_t{1000}; });
  list.Load();
  const std::vector<std::wstring> entries = list.Entries();
  if (entries != cvie::ParseWhitelistText(bytes)) abort();
  for (const std::wstring& entry : entries) {
    if (entry.empty() || entry.size() > cvie::kMaxWhitelistEntryLength ||
        entry.find(L'\n') != std::wstring::npos ||
        entry.find(L'\0') != std::wstring::npos) {
      abort();
    }
  }
  // The load time came from the list's own clock; taking an entry out and
  // adding the whole input as one entry keep the store sound. (Lookups are
  // left out: they read the stamp from the registry on every call.)
  if (list.load_time() != 1000) abort();
  if (!entries.empty() && list.Remove(entries.front().c_str()) != 1) abort();
  list.Add(cvie::platform::ToWide(bytes).c_str());
  return 0;
}
