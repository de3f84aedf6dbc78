// The folder layer on Windows: the shell's folders from SHGetFolderPathW
// (CSIDL_PROGRAM_FILES, CSIDL_PERSONAL), the configuration and runtime
// folders under CSIDL_LOCAL_APPDATA\Corvane, the user from GetUserNameW and
// the current drive from the current directory. CVIE_ROOT relocates every
// folder, as on Linux, so tests keep to a temporary folder.

#include "platform/shell.h"

#include <shlobj.h>
#include <stdlib.h>

#include <string>

#include "platform/win/win32.h"

namespace cvie::platform {
namespace {

bool CvieRoot(std::wstring* root) {
  const wchar_t* value = _wgetenv(L"CVIE_ROOT");
  if (!value || !*value) return false;
  *root = value;
  while (root->size() > 3 && (root->back() == L'\\' || root->back() == L'/'))
    root->pop_back();
  return true;
}

bool ShellFolder(int csidl, std::wstring* path) {
  wchar_t buffer[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return false;
  }
  *path = buffer;
  return !path->empty();
}

bool Finish(const std::wstring& folder, bool create, std::wstring* path) {
  if (folder.empty()) return false;
  if (create && !CreateFolderWithParents(folder)) return false;
  *path = folder;
  return true;
}

std::wstring LocalAppFolder() {
  std::wstring folder;
  if (ShellFolder(CSIDL_LOCAL_APPDATA, &folder)) return folder + L"\\Corvane";
  wchar_t temp[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  return std::wstring(temp, n) + L"Corvane";
}

}  // namespace

bool CreateFolderWithParents(const std::wstring& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  size_t cut = path.find_last_of(L"\\/");
  if (cut != std::wstring::npos && cut > 0) {
    std::wstring parent = path.substr(0, cut);
    // "C:" is a drive, not a folder to make.
    if (!(parent.size() == 2 && parent[1] == L':')) CreateFolderWithParents(parent);
  }
  if (CreateDirectoryW(path.c_str(), nullptr)) return true;
  attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool GetProgramFilesFolder(bool create, std::wstring* path) {
  std::wstring folder;
  if (CvieRoot(&folder)) {
    folder += L"\\share";
  } else if (!ShellFolder(CSIDL_PROGRAM_FILES, &folder)) {
    return false;
  }
  return Finish(folder, create, path);
}

bool GetDocumentsFolder(bool create, std::wstring* path) {
  std::wstring folder;
  if (CvieRoot(&folder)) {
    folder += L"\\Documents";
  } else if (!ShellFolder(CSIDL_PERSONAL, &folder)) {
    return false;
  }
  return Finish(folder, create, path);
}

bool GetUserName(std::wstring* name) {
  wchar_t buffer[257];
  DWORD size = 257;
  if (!GetUserNameW(buffer, &size) || size <= 1) return false;
  *name = std::wstring(buffer, size - 1);
  return true;
}

// "C:" of the current directory, or CVIE_ROOT when set.
std::wstring CurrentDriveRoot() {
  std::wstring root;
  if (CvieRoot(&root)) return root;
  wchar_t buffer[MAX_PATH];
  DWORD n = GetCurrentDirectoryW(MAX_PATH, buffer);
  if (n >= 2 && buffer[1] == L':') return std::wstring(buffer, 2);
  return L"C:";
}

std::wstring ConfigFolder() {
  std::wstring root;
  if (CvieRoot(&root)) return root + L"\\config";
  return LocalAppFolder() + L"\\config";
}

std::wstring RuntimeFolder() {
  std::wstring root;
  if (CvieRoot(&root)) return root + L"\\run";
  return LocalAppFolder() + L"\\run";
}

}  // namespace cvie::platform
