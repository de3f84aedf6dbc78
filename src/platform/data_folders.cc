// Data folder and file paths, computed once per process from the shell's
// folders.

#include "platform/data_folders.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/files.h"
#include "platform/shell.h"

namespace cvie::platform {

using namespace platform;

namespace {

struct SharedPaths {
  std::wstring folder, rule, version, lock;
};

struct UserPaths {
  std::wstring folder, whitelist, whitelist_temp, log, previous_log;
};

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  return folder + kPathSeparator + name;
}

SharedPaths* ComputeShared() {
  std::wstring shell;
  const bool have_shell = GetProgramFilesFolder(true, &shell);
  auto* paths = new SharedPaths;
  paths->folder = ComposeDataFolder(have_shell ? &shell : nullptr, CurrentDriveRoot(),
                                    L".ALL", kPathSeparator);
  paths->rule = Join(paths->folder, L"cvie.rle");
  paths->version = Join(paths->folder, L"cvie.ver");
  paths->lock = Join(paths->folder, L"background.lck");
  return paths;
}

UserPaths* ComputeUser() {
  std::wstring shell;
  const bool have_shell = GetDocumentsFolder(true, &shell);
  std::wstring suffix = L".";
  if (!have_shell) {
    std::wstring user;
    suffix += GetUserName(&user) ? user : L"User";
  }
  auto* paths = new UserPaths;
  paths->folder = ComposeDataFolder(have_shell ? &shell : nullptr, CurrentDriveRoot(),
                                    suffix, kPathSeparator);
  paths->whitelist = Join(paths->folder, L"whitelist.txt");
  paths->whitelist_temp = Join(paths->folder, L"whitelist.txt.tmp");
  paths->log = Join(paths->folder, L"log1.txt");
  paths->previous_log = Join(paths->folder, L"log2.txt");
  return paths;
}

// The caches. Published once through an atomic pointer; a test reset moves the
// old objects to `retired` so that references handed out earlier stay valid.
std::mutex g_mutex;
std::atomic<SharedPaths*> g_shared{nullptr};
std::atomic<UserPaths*> g_user{nullptr};
std::vector<std::unique_ptr<SharedPaths>>* g_retired_shared = nullptr;
std::vector<std::unique_ptr<UserPaths>>* g_retired_user = nullptr;

const SharedPaths& Shared() {
  SharedPaths* paths = g_shared.load(std::memory_order_acquire);
  if (paths) return *paths;
  std::lock_guard<std::mutex> lock(g_mutex);
  paths = g_shared.load(std::memory_order_relaxed);
  if (!paths) {
    paths = ComputeShared();
    g_shared.store(paths, std::memory_order_release);
  }
  return *paths;
}

const UserPaths& User() {
  UserPaths* paths = g_user.load(std::memory_order_acquire);
  if (paths) return *paths;
  std::lock_guard<std::mutex> lock(g_mutex);
  paths = g_user.load(std::memory_order_relaxed);
  if (!paths) {
    paths = ComputeUser();
    g_user.store(paths, std::memory_order_release);
  }
  return *paths;
}

bool DeleteTree(const std::wstring& folder) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder, &entries)) return false;
  for (const FolderEntry& entry : entries) {
    const std::wstring path = Join(folder, entry.name);
    // A link to a folder is deleted as a link: the tree never reaches out of
    // the folder being removed.
    if (entry.is_folder) {
      DeleteTree(path);
    } else {
      DeleteFileAt(path);
    }
  }
  return RemoveFolder(folder);
}

}  // namespace

std::wstring ComposeDataFolder(const std::wstring* shell_folder,
                               const std::wstring& drive_root,
                               const std::wstring& fallback_suffix, wchar_t separator) {
  if (shell_folder) {
    std::wstring path = *shell_folder;
    if (path.empty() || path.back() != separator) path += separator;
    return path + L"Corvane";
  }
  return drive_root + separator + L"Corvane" + fallback_suffix;
}

const std::wstring& SharedFolderPath() { return Shared().folder; }
const std::wstring& UserFolderPath() { return User().folder; }
const std::wstring& RuleFilePath() { return Shared().rule; }
const std::wstring& VersionFilePath() { return Shared().version; }
const std::wstring& LockFilePath() { return Shared().lock; }
const std::wstring& WhitelistFilePath() { return User().whitelist; }
const std::wstring& WhitelistTempPath() { return User().whitelist_temp; }
const std::wstring& LogFilePath() { return User().log; }
const std::wstring& PreviousLogFilePath() { return User().previous_log; }

std::wstring DownloadPath(const std::wstring& destination) {
  return destination + L".new";
}

void CreateDataFolders() {
  CreateFolder(SharedFolderPath());
  CreateFolder(UserFolderPath());
}

bool DeleteFolderTree(const std::wstring& folder) {
  if (folder.empty()) return false;
  DeleteTree(folder);
  return !PathExists(folder);
}

void ResetDataFolderCacheForTesting() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_retired_shared) g_retired_shared = new std::vector<std::unique_ptr<SharedPaths>>;
  if (!g_retired_user) g_retired_user = new std::vector<std::unique_ptr<UserPaths>>;
  if (SharedPaths* old = g_shared.exchange(nullptr)) g_retired_shared->emplace_back(old);
  if (UserPaths* old = g_user.exchange(nullptr)) g_retired_user->emplace_back(old);
}

}  // namespace cvie::platform
