// Well-known folders from the XDG environment, relocated under CVIE_ROOT.

#include "platform/shell.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/text.h"

namespace cvie::platform {

namespace {

namespace fs = std::filesystem;

bool EnvValue(const char* name, std::string* value) {
  const char* v = getenv(name);
  if (!v || !*v) return false;
  *value = v;
  return true;
}

bool CvieRoot(std::string* root) { return EnvValue("CVIE_ROOT", root); }

bool HomeFolder(std::string* home) {
  if (EnvValue("HOME", home)) return true;
  struct passwd entry;
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
      result && result->pw_dir && *result->pw_dir) {
    *home = result->pw_dir;
    return true;
  }
  return false;
}

// XDG_DOCUMENTS_DIR from user-dirs.dirs: a line XDG_DOCUMENTS_DIR="$HOME/x"
// or an absolute path in double quotes.
bool DocumentsFromUserDirs(const std::string& home, std::string* path) {
  std::string config;
  if (!EnvValue("XDG_CONFIG_HOME", &config)) config = home + "/.config";
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DOCUMENTS_DIR=\"";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    size_t end = line.find('"', key.size());
    if (end == std::string::npos) return false;
    std::string value = line.substr(key.size(), end - key.size());
    if (value.compare(0, 5, "$HOME") == 0) {
      value = home + value.substr(5);
    } else if (value.empty() || value[0] != '/') {
      return false;
    }
    *path = value;
    return true;
  }
  return false;
}

bool Finish(const std::string& folder, bool create, std::wstring* path) {
  if (folder.empty()) return false;
  std::wstring wide = ToWide(folder);
  if (create && !CreateFolderWithParents(wide)) return false;
  *path = wide;
  return true;
}

}  // namespace

bool CreateFolderWithParents(const std::wstring& path) {
  std::error_code ec;
  fs::path p(ToNarrow(path));
  fs::create_directories(p, ec);
  return fs::is_directory(p, ec);
}

bool GetProgramFilesFolder(bool create, std::wstring* path) {
  std::string folder, root;
  if (CvieRoot(&root)) {
    folder = root + "/share";
  } else if (!EnvValue("XDG_DATA_HOME", &folder)) {
    std::string home;
    if (!HomeFolder(&home)) return false;
    folder = home + "/.local/share";
  }
  return Finish(folder, create, path);
}

bool GetDocumentsFolder(bool create, std::wstring* path) {
  std::string folder, root;
  if (CvieRoot(&root)) {
    folder = root + "/Documents";
  } else if (!EnvValue("XDG_DOCUMENTS_DIR", &folder)) {
    std::string home;
    if (!HomeFolder(&home)) return false;
    if (!DocumentsFromUserDirs(home, &folder)) folder = home + "/Documents";
  }
  return Finish(folder, create, path);
}

bool GetUserName(std::wstring* name) {
  struct passwd entry;
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
      result && result->pw_name && *result->pw_name) {
    *name = ToWide(result->pw_name);
    return true;
  }
  std::string value;
  if (EnvValue("USER", &value) || EnvValue("LOGNAME", &value)) {
    *name = ToWide(value);
    return true;
  }
  return false;
}

std::wstring CurrentDriveRoot() {
  std::string root;
  return CvieRoot(&root) ? ToWide(root) : std::wstring();
}

std::wstring ConfigFolder() {
  std::string root, folder;
  if (CvieRoot(&root)) return ToWide(root + "/config");
  if (EnvValue("XDG_CONFIG_HOME", &folder)) return ToWide(folder + "/corvane");
  std::string home;
  if (HomeFolder(&home)) return ToWide(home + "/.config/corvane");
  return ToWide("/tmp/corvane-config-" + std::to_string(geteuid()));
}

std::wstring RuntimeFolder() {
  std::string root, folder;
  if (CvieRoot(&root)) return ToWide(root + "/run");
  if (EnvValue("XDG_RUNTIME_DIR", &folder)) return ToWide(folder + "/corvane");
  return ToWide("/tmp/corvane-" + std::to_string(geteuid()));
}

}  // namespace cvie::platform
