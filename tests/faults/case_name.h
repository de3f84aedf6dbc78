// tests/faults/case_name.h
//
// The test name of a case of a parameterised fault test: the case's `name`
// with every character but letters and digits turned into '_', so that
// "read-only log folder" runs as ".../read_only_log_folder".

#pragma once

#include <ctype.h>

#include <string>

#include <gtest/gtest.h>

namespace cvie::faults {

template <typename Case>
std::string CaseTestName(const ::testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* p = info.param.name; *p; ++p)
    name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

}  // namespace cvie::faults
