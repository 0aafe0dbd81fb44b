// What the dynamic-disk tool tests share: the fixture generator run through
// the shell, and the tab-separated fields of a tool's line. Native only.
#pragma once

#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "disktest/run_command.h"

namespace LdmTest {

// The fixture generator with `args`; its output, and a test failure when it
// does not end well.
inline std::string Fixture(const std::string& args) {
  int status = 0;
  const std::string out = DiskTest::RunCommand(
      std::string("python3 ") + LDM_FIXTURE_TOOL + " " + args + " 2>/dev/null", &status);
  EXPECT_EQ(status, 0) << args;
  return out;
}

inline std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
  return fields;
}

}  // namespace LdmTest

#endif
