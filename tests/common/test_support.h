// tests/common/test_support.h
//
// What every test shares: a private CVIE_ROOT per test process, paths of the
// repository, the build and the shared corpus, and small file helpers.

#pragma once

#include <filesystem>
#include <string>

namespace cvie::testing {

// The temporary CVIE_ROOT made for this test process by test_main.cc. Removed
// when the process ends.
const std::filesystem::path& TestRoot();

// Makes a fresh empty folder under TestRoot() and points CVIE_ROOT at it for the
// lifetime of the object, restoring the previous value afterwards.
class ScopedCvieRoot {
 public:
  ScopedCvieRoot();
  ~ScopedCvieRoot();
  ScopedCvieRoot(const ScopedCvieRoot&) = delete;
  ScopedCvieRoot& operator=(const ScopedCvieRoot&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::string previous_;
};

// ../shared next to the repository; empty when it is absent (tests then skip).
std::filesystem::path SharedDir();
// The repository's own folder and the build folder.
std::filesystem::path SourceDir();
std::filesystem::path BinaryDir();
// build/cvie, for tests that run the program.
std::filesystem::path CvieExecutable();

// Whole-file helpers; ReadFile returns false when the file cannot be read.
bool ReadFile(const std::filesystem::path& path, std::string* contents);
void WriteFile(const std::filesystem::path& path, const std::string& contents);

// Runs `command` through /bin/sh, captures stdout (and stderr when asked),
// returns the exit status (or -1 when it could not run).
int RunCommand(const std::string& command, std::string* out, bool merge_stderr = false);

}  // namespace cvie::testing
