// Test entry point of the Windows tests (run under Wine): a private temporary
// CVIE_ROOT for the process, removed afterwards.

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::random_device device;
  std::filesystem::path root = std::filesystem::temp_directory_path() /
                               ("cvie-wintest-" + std::to_string(device()));
  std::error_code error;
  if (!std::filesystem::create_directories(root, error)) return 2;
  _wputenv_s(L"CVIE_ROOT", root.wstring().c_str());
  int result = RUN_ALL_TESTS();
  std::filesystem::remove_all(root, error);
  return result;
}
