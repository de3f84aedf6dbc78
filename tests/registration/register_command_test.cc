// cvie register and cvie unregister, run as a program under this test's
// CVIE_ROOT.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "common/test_support.h"
#include "ie/ie_guids.h"
#include "platform/registry.h"

namespace {

using cvie::testing::CvieExecutable;
using cvie::testing::RunCommand;

// The program writes the same registry store as this process (one CVIE_ROOT).
bool KeyExists(const std::wstring& key) {
  cvie::platform::HKEY handle = nullptr;
  if (cvie::platform::RegOpenKeyEx(cvie::platform::HKEY_CLASSES_ROOT, key, &handle) != 0)
    return false;
  cvie::platform::RegCloseKey(handle);
  return true;
}

std::string RunCvie(const std::string& args, int* status) {
  std::string out;
  *status = RunCommand(CvieExecutable().string() + " " + args, &out, true);
  return out;
}

TEST(RegisterCommand, PrintsWhatItWritesAndUnregisterRemovesIt) {
  if (!std::filesystem::exists(CvieExecutable()))
    GTEST_FAIL() << CvieExecutable() << " is not built";
  int status = -1;
  std::string printed = RunCvie("register --print", &status);
  EXPECT_EQ(status, 0) << printed;
  const std::string expected_lines[] = {
      "  \"DisplayName\" = \"Corvane Filter\"",
      "  \"UninstallString\" = \"" + CvieExecutable().string() + " unregister\"",
      "  \"ButtonText\" = \"Corvane\"",
      "  \"ThreadingModel\" = \"Apartment\"",
      "HKEY_CLASSES_ROOT\\cvie.CVIEBHO.1",
  };
  for (const std::string& line : expected_lines)
    EXPECT_NE(printed.find(line + "\n"), std::string::npos) << line << "\n" << printed;

  // Without --print nothing is listed, and the store is the same.
  std::string quiet = RunCvie("register", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(quiet, "");

  EXPECT_TRUE(KeyExists(L"cvie.CVIEBHO.1"));

  std::string removed = RunCvie("unregister", &status);
  EXPECT_EQ(status, 0) << removed;
  EXPECT_FALSE(KeyExists(L"cvie.CVIEBHO.1"));
  EXPECT_FALSE(KeyExists(L"CLSID\\" + cvie::CLSID_CVButton.WideText()));
}

}  // namespace
