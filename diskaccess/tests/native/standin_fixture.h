// Image files made with sfdisk, fdisk and sgdisk, a configuration of the
// stand-in library over them, and its call log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disktest/run_command.h"
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

// Fills `path` with `bytes` bytes in which every 512-byte unit holds its own
// number, so that data read from the wrong place shows. A partitioning
// tool run afterwards keeps all but its tables.
inline void FillWithUnitNumbers(const std::string& path, std::uint64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> unit(512);
  for (std::uint64_t n = 0; n < bytes / 512; ++n) {
    for (std::size_t i = 0; i < unit.size(); i += 8) {
      const std::uint64_t v = n << 16 | i;
      std::memcpy(&unit[i], &v, 8);
    }
    out.write(unit.data(), static_cast<std::streamsize>(unit.size()));
  }
}

// An MBR image of `mib` MiB with 4096-byte sectors, partitioned by
// `fdisk --sector-size 4096` from the dialogue `commands` over the unit
// numbers of FillWithUnitNumbers.
inline std::string Make4KMbrImage(const DiskTest::TempDir& dir, const std::string& name,
                                  unsigned mib, const std::string& commands) {
  const std::string path = dir.File(name);
  const std::string commandsPath = dir.File(name + ".fdisk");
  FillWithUnitNumbers(path, std::uint64_t(mib) << 20);
  std::ofstream(commandsPath) << commands;
  EXPECT_TRUE(Run("fdisk --sector-size 4096 --wipe never " + path + " < " + commandsPath));
  return path;
}

// The number of sectors of `sectorSize` bytes that `fdisk -l` finds in the
// image (its "..., N bytes, M sectors" line); 0 when it finds none.
inline std::uint64_t FdiskSectorCount(const std::string& path, std::uint32_t sectorSize) {
  const std::string command =
      "fdisk --sector-size " + std::to_string(sectorSize) + " -l " + path + " 2>/dev/null";
  const std::string out = DiskTest::RunCommand(command);
  const std::size_t end = out.find(" sectors\n");
  const std::size_t start = out.rfind(", ", end);
  if (end == std::string::npos || start == std::string::npos) return 0;
  return std::strtoull(out.substr(start + 2, end - start - 2).c_str(), nullptr, 10);
}

// The bytes of a file, read directly.
inline std::vector<std::uint8_t> FileBytes(const std::string& path, std::uint64_t offset,
                                           std::size_t count) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  EXPECT_EQ(in.gcount(), static_cast<std::streamsize>(count)) << path << " at " << offset;
  return bytes;
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

struct Span {
  std::uint64_t start, size;
};

// The partitions `sfdisk --json` lists, in table order (MBR or GPT).
inline std::vector<Span> SfdiskSpans(const std::string& path) {
  const std::string json = DiskTest::RunCommand("sfdisk --json " + path + " 2>/dev/null");
  const std::regex entry("\"start\": (\\d+),\\s*\"size\": (\\d+)");
  std::vector<Span> spans;
  for (auto it = std::sregex_iterator(json.begin(), json.end(), entry);
       it != std::sregex_iterator(); ++it)
    spans.push_back({std::stoull((*it)[1].str()), std::stoull((*it)[2].str())});
  return spans;
}

// A volume's extent in the stand-in's configuration: drive:first+count.
inline std::string Extent(unsigned drive, std::uint64_t start, std::uint64_t size) {
  return std::to_string(drive) + ":" + std::to_string(start) + "+" + std::to_string(size);
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

  // Empties the call log; the library keeps the state it read.
  void ClearLog() const { std::ofstream(log_, std::ios::trunc); }

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
