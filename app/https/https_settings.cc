// The HTTPS switch in the registry and the list of hosts never intercepted.

#include "https/https_settings.h"

#include <stdio.h>

#include <fstream>
#include <sstream>

#include "config/options.h"
#include "platform/data_folders.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace cvie::https {
namespace {

constexpr wchar_t kInspectHttpsValue[] = L"InspectHttps";

const char kPassthroughHeader[] =
    "# Hosts listed here are never filtered over HTTPS: the proxy tunnels their\n"
    "# secure connections untouched. One host per line, for example a bank:\n"
    "# www.mybank.example\n"
    "#\n"
    "# A name matches that host only; write *.mybank.example for mybank.example\n"
    "# and every name under it. Lines starting with # are comments.\n";

void SetError(std::string* error, const std::string& message) {
  if (error) *error = message;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool HostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == ':';
}

}  // namespace

bool InspectHttpsEnabled() {
  DWORD value = 0;
  if (platform::RegGetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                            kInspectHttpsValue, &value) != platform::ERROR_SUCCESS) {
    return false;
  }
  return value != 0;
}

bool SetInspectHttps(bool on, std::string* error) {
  const LONG rc = platform::RegSetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                                        kInspectHttpsValue, on ? 1 : 0);
  if (rc != platform::ERROR_SUCCESS) {
    SetError(error, "cannot store the HTTPS setting (registry error " +
                        std::to_string(rc) + ")");
    return false;
  }
  return true;
}

std::wstring HttpsPassthroughPath() {
  return platform::UserFolderPath() + platform::kPathSeparator + L"https-passthrough.txt";
}

bool EnsurePassthroughFile(std::string* error) {
  const std::string path = platform::ToNarrow(HttpsPassthroughPath());
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return true;
  std::filesystem::create_directories(platform::ToNarrow(platform::UserFolderPath()), ec);
  // "x": made only when missing, so a list another process writes at the
  // same moment is never overwritten.
  FILE* file = fopen(path.c_str(), "wx");
  if (!file) {
    if (std::filesystem::exists(path, ec)) return true;
    SetError(error, "cannot create " + path);
    return false;
  }
  const size_t length = sizeof kPassthroughHeader - 1;
  const bool ok = fwrite(kPassthroughHeader, 1, length, file) == length;
  if (fclose(file) != 0 || !ok) {
    remove(path.c_str());
    SetError(error, "cannot write " + path);
    return false;
  }
  return true;
}

std::string NormalizePassthroughHost(const std::string& input) {
  std::string text = Trim(input);
  if (size_t scheme = text.find("://"); scheme != std::string::npos) {
    text = text.substr(scheme + 3);
  }
  if (size_t end = text.find_first_of("/?#"); end != std::string::npos) text.resize(end);
  if (size_t at = text.rfind('@'); at != std::string::npos) text = text.substr(at + 1);
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return "";
    text = text.substr(1, close - 1);
  } else if (text.find(':') != std::string::npos && text.find(':') == text.rfind(':')) {
    text.resize(text.find(':'));  // one colon: a port, not an IPv6 address
  }
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (text.empty() || text.front() == '.') return "";
  for (char c : text) {
    if (!HostCharacter(c)) return "";
  }
  return text;
}

void HttpsPassthroughList::Parse(const std::string& text) {
  exact_.clear();
  domains_.clear();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    line = Trim(line);
    if (line.empty()) continue;
    if (line.size() > 2 && line[0] == '*' && line[1] == '.') {
      const std::string domain = NormalizePassthroughHost(line.substr(2));
      if (!domain.empty()) domains_.insert(domain);
      continue;
    }
    const std::string host = NormalizePassthroughHost(line);
    if (!host.empty()) exact_.insert(host);
  }
}

bool HttpsPassthroughList::Load(const std::filesystem::path& path) {
  exact_.clear();
  domains_.clear();
  exists_ = false;
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) return true;
  mtime_ = std::filesystem::last_write_time(path, ec);
  if (ec) mtime_ = {};
  file_size_ = std::filesystem::file_size(path, ec);
  if (ec) file_size_ = 0;
  exists_ = true;
  if (status.type() != std::filesystem::file_type::regular) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  Parse(buffer.str());
  return true;
}

bool HttpsPassthroughList::Contains(const std::string& host) const {
  const std::string name = NormalizePassthroughHost(host);
  if (name.empty()) return false;
  if (exact_.count(name)) return true;
  if (domains_.empty()) return false;
  for (size_t pos = 0;;) {
    if (domains_.count(name.substr(pos))) return true;
    const size_t dot = name.find('.', pos);
    if (dot == std::string::npos) return false;
    pos = dot + 1;
  }
}

std::shared_ptr<const HttpsPassthroughList> HttpsPassthroughList::LoadIfChanged(
    const std::filesystem::path& path,
    std::shared_ptr<const HttpsPassthroughList> previous) {
  if (previous) {
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    if (!exists && !previous->exists_) return previous;
    if (exists && previous->exists_) {
      std::error_code time_ec;
      std::error_code size_ec;
      const auto mtime = std::filesystem::last_write_time(path, time_ec);
      const uintmax_t size = std::filesystem::file_size(path, size_ec);
      if (!time_ec && !size_ec && mtime == previous->mtime_ &&
          size == previous->file_size_) {
        return previous;
      }
    }
  }
  auto list = std::make_shared<HttpsPassthroughList>();
  list->Load(path);
  return list;
}

}  // namespace cvie::https
