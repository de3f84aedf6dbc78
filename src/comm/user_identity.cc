#include "comm/user_identity.h"

#include <stdlib.h>
#include <wchar.h>

#include <chrono>
#include <mutex>

#include "config/param_in_registry.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/uuid.h"

namespace cvie {
namespace {

using namespace platform;

// Writes one string value, creating the key when needed. False when the key
// cannot be opened for writing (the value's own result is not looked at).
bool WriteUserValue(const std::wstring& name, const std::wstring& text) {
  HKEY key = nullptr;
  if (RegCreateKeyEx(HKEY_CURRENT_USER, kUserInfoKey, &key) != ERROR_SUCCESS)
    return false;
  RegSetValueEx(key, name, REG_SZ, text.c_str(),
                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return true;
}

}  // namespace

std::wstring MakeFallbackIdentifier() {
  using namespace std::chrono;
  auto now = system_clock::now();
  long long seconds = duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  unsigned milliseconds = static_cast<unsigned>(
      duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  // The C library generator is one state for the process; keep the seeding
  // and the draws of one identifier together.
  static std::mutex generator_mutex;
  unsigned random, clusters;
  {
    std::lock_guard<std::mutex> lock(generator_mutex);
    srand(static_cast<unsigned>(seconds));
    random = static_cast<unsigned>(rand());
    uint64_t total = 0, available = 0;
    clusters = GetDiskFreeClusters(&total, &available)
                   ? static_cast<unsigned>(total + available)
                   : static_cast<unsigned>(rand());
  }
  wchar_t text[128];
  swprintf(text, sizeof text / sizeof text[0], L"%lld-%u-%d-%u-%u", seconds, milliseconds,
           static_cast<int>(GetCurrentProcessId()), random, clusters);
  return text;
}

std::wstring MakeUserIdentifier() {
  UUID uuid;
  if (UuidCreateSequential(&uuid) == RPC_S_OK) return UuidToString(uuid);
  return MakeFallbackIdentifier();
}

bool EnsureUserIdentity() {
  // Two threads of one process never make two identities.
  static std::mutex ensure_mutex;
  std::lock_guard<std::mutex> lock(ensure_mutex);
  ParamInRegistry stored(L"To Get User Info", ParamText(std::wstring()),
                         HKEY_CURRENT_USER, kUserInfoKey, L"UUID", true);
  ParamText identity = stored.GetString();
  if (identity && identity->size() > kMinStoredIdentifierLength) return false;
  if (ModuleFilePath().empty()) return false;
  std::wstring identifier = MakeUserIdentifier();
  long long now = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  wchar_t date[32];
  swprintf(date, sizeof date / sizeof date[0], L"%lld", now);
  return WriteUserValue(L"", L"User Info") && WriteUserValue(L"UUID", identifier) &&
         WriteUserValue(L"Date", date);
}

}  // namespace cvie
