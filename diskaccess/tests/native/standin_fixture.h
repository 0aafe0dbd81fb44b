// Image files made with sfdisk and sgdisk, a configuration of the stand-in
// library over them, and its call log.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disktest/temp_dir.h"
#include "sblib/standin.h"

namespace DaTest {

inline bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A sparse image of `mib` MiB partitioned by `sfdisk` from `script`, and
// checked by `sfdisk --verify`.
inline std::string MakeMbrImage(const DiskTest::TempDir& dir, const std::string& name,
                                unsigned mib, const std::string& script) {
  const std::string path = dir.File(name);
  const std::string scriptPath = dir.File(name + ".sfdisk");
  std::ofstream(scriptPath) << script;
  EXPECT_TRUE(Run("truncate -s " + std::to_string(mib) + "M " + path));
  EXPECT_TRUE(Run("sfdisk --no-reread --no-tell-kernel " + path + " < " + scriptPath));
  EXPECT_TRUE(Run("sfdisk --verify " + path));
  return path;
}

// A GPT image made with `sgdisk` (arguments before the path), checked with
// `sgdisk -v`.
inline std::string MakeGptImage(const DiskTest::TempDir& dir, const std::string& name,
                                unsigned mib, const std::string& arguments) {
  const std::string path = dir.File(name);
  EXPECT_TRUE(Run("truncate -s " + std::to_string(mib) + "M " + path));
  EXPECT_TRUE(Run("sgdisk -o " + arguments + " " + path));
  EXPECT_TRUE(Run("sgdisk -v " + path));
  return path;
}

// Writes the stand-in's configuration (log first) and points it there.
class StandinConfig {
 public:
  explicit StandinConfig(const DiskTest::TempDir& dir)
      : config_(dir.File("sblib.conf")), log_(dir.File("sblib.log")) {}
  ~StandinConfig() { sblib_standin::SetConfigPath(""); }

  void Install(const std::string& lines) {
    std::ofstream(config_) << "log " << log_ << "\n" << lines;
    std::ofstream(log_, std::ios::trunc);
    sblib_standin::SetConfigPath(config_);
  }

  std::vector<std::string> LogLines() const {
    std::ifstream in(log_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) lines.push_back(line);
    return lines;
  }

  // The function names of the log, runs of the named functions folded into
  // one "name+".
  std::vector<std::string> CallNames(const std::vector<std::string>& folded) const {
    std::vector<std::string> names;
    for (const std::string& line : LogLines()) {
      const std::string name = line.substr(0, line.find('('));
      bool fold = false;
      for (const std::string& f : folded) fold = fold || f == name;
      if (fold && !names.empty() && names.back() == name + "+") continue;
      names.push_back(fold ? name + "+" : name);
    }
    return names;
  }

 private:
  std::string config_;
  std::string log_;
};

}  // namespace DaTest
