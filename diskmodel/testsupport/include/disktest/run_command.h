// The disk tools (sfdisk, sgdisk, fdisk, cmp) are the independent judges of
// the disk tests: this runs one through the shell and hands back what it
// printed. Native only; the Windows build cannot run them.
#pragma once

#if !defined(_WIN32)

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace DiskTest {

// Runs a shell command; its standard output, and its exit status in
// `status` (-1 when it could not be started).
inline std::string RunCommand(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (status != nullptr) *status = -1;
    return out;
  }
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  const int rc = pclose(pipe);
  if (status != nullptr) *status = rc;
  return out;
}

// `text` quoted for the shell (the tests' paths hold no single quote).
inline std::string Quote(const std::string& text) { return "'" + text + "'"; }

// Runs a shell command with its errors folded into its output; true when
// it ends with status 0.
inline bool RunOk(const std::string& command, std::string* output = nullptr) {
  int status = 0;
  std::string out = RunCommand(command + " 2>&1", &status);
  if (output != nullptr) *output = out;
  return status == 0;
}

// The non-empty lines of a tool's output.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

}  // namespace DiskTest

#endif
