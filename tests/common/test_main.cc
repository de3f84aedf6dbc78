// Test entry point: gives the process a private temporary CVIE_ROOT so that no
// test touches the user's real folders or registry, then runs the tests.

#include <stdlib.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace cvie::testing {
std::filesystem::path& MutableTestRoot();
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string pattern =
      (std::filesystem::temp_directory_path() / "cvie-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 2;
  cvie::testing::MutableTestRoot() = pattern;
  setenv("CVIE_ROOT", pattern.c_str(), 1);
  // Nothing under test may reach the real update server.
  setenv("CVIE_UPDATE_SERVER", "http://127.0.0.1:9", 1);
  // Nor the public filter lists a new user is subscribed to: a test that
  // wants defaults names loopback ones.
  setenv("CVIE_DEFAULT_LISTS", "", 1);
  int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return result;
}
