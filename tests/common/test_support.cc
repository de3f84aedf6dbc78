#include "common/test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <sstream>

namespace cvie::testing {

namespace fs = std::filesystem;

std::filesystem::path& MutableTestRoot() {
  static fs::path root;
  return root;
}

const fs::path& TestRoot() { return MutableTestRoot(); }

ScopedCvieRoot::ScopedCvieRoot() {
  static std::atomic<int> counter{0};
  path_ = TestRoot() / ("root" + std::to_string(++counter));
  fs::create_directories(path_);
  const char* previous = getenv("CVIE_ROOT");
  previous_ = previous ? previous : "";
  setenv("CVIE_ROOT", path_.c_str(), 1);
}

ScopedCvieRoot::~ScopedCvieRoot() {
  setenv("CVIE_ROOT", previous_.c_str(), 1);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

fs::path SharedDir() {
  fs::path dir = CVIE_SHARED_DIR;
  if (const char* env = getenv("CVIE_SHARED_DIR")) dir = env;
  std::error_code ec;
  return fs::is_directory(dir, ec) ? dir : fs::path();
}

fs::path SourceDir() { return CVIE_SOURCE_DIR; }
fs::path BinaryDir() { return CVIE_BINARY_DIR; }
fs::path CvieExecutable() { return BinaryDir() / "cvie"; }

bool ReadFile(const fs::path& path, std::string* contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *contents = buffer.str();
  return true;
}

void WriteFile(const fs::path& path, const std::string& contents) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

int RunCommand(const std::string& command, std::string* out, bool merge_stderr) {
  std::string full = merge_stderr ? command + " 2>&1" : command;
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return -1;
  std::string captured;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) captured.append(buffer, n);
  int status = pclose(pipe);
  if (out) *out = captured;
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace cvie::testing
