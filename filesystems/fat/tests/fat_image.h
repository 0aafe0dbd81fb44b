// Images made by mkfs.fat and filled with mtools for the FAT tests, and
// what fsck.fat and the other tools say about them. Native only: the tools
// do not run under Wine.
#pragma once

#if !defined(_WIN32)

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "disktest/host_files.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"

namespace fattest {

// A scratch folder removed at the end of the test.
using ScratchDir = DiskTest::TempDir;

struct MkfsOptions {
  int fatBits = 16;           // 12, 16 or 32
  std::uint32_t sectorSize = 512;
  std::uint32_t sectorsPerCluster = 4;
  int fats = 2;
  std::uint64_t kilobytes = 20480;
  std::string label = "PURGETEST";
  std::string extra;          // further mkfs.fat options
};

inline std::string Describe(const MkfsOptions& o) {
  return "FAT" + std::to_string(o.fatBits) + " S=" + std::to_string(o.sectorSize) +
         " s=" + std::to_string(o.sectorsPerCluster) + " f=" + std::to_string(o.fats) +
         " kb=" + std::to_string(o.kilobytes) + " " + o.extra;
}

// Makes the image; false when mkfs.fat refuses the combination.
inline bool MakeImage(const std::string& path, const MkfsOptions& o) {
  std::string command = "rm -f '" + path + "'; mkfs.fat -C -F " + std::to_string(o.fatBits) +
                        " -S " + std::to_string(o.sectorSize) + " -s " +
                        std::to_string(o.sectorsPerCluster) + " -f " + std::to_string(o.fats) +
                        " -n " + o.label + " " + o.extra + " '" + path + "' " +
                        std::to_string(o.kilobytes) + " >/dev/null 2>&1";
  int status = 0;
  DiskTest::RunCommand(command, &status);
  return status == 0;
}

// What `fsck.fat -n -v` reports about an image.
struct FsckReport {
  int status = -1;
  std::string output;
  int entryBits = 0;
  std::uint64_t dataClusters = 0, usedClusters = 0;
  std::uint64_t totalSectors = 0, firstFatSector = 0, dataSector = 0;
  int fats = 0;
};

using DiskTest::Number;

inline FsckReport Fsck(const std::string& path) {
  FsckReport r;
  r.output = DiskTest::RunCommand("fsck.fat -n -v '" + path + "' 2>&1", &r.status);
  r.entryBits = int(Number(r.output, R"((\d+) bit entries)"));
  r.fats = int(Number(r.output, R"((\d+) FATs,)"));
  r.dataClusters = Number(r.output, R"((\d+) data clusters)");
  r.totalSectors = Number(r.output, R"((\d+) sectors total)");
  r.firstFatSector = Number(r.output, R"(First FAT starts at byte \d+ \(sector (\d+)\))");
  r.dataSector = Number(r.output, R"(Data area starts at byte \d+ \(sector (\d+)\))");
  r.usedClusters = Number(r.output, R"(files, (\d+)/\d+ clusters)");
  return r;
}

using DiskTest::MakeHostFile;
using DiskTest::ReadBytes;
using DiskTest::WriteBytes;

// The data sectors of a file as istat lists them (only those its size uses).
inline std::vector<std::uint64_t> IstatSectors(const std::string& image, const std::string& inode) {
  const std::string out = DiskTest::RunCommand("istat '" + image + "' " + inode + " 2>/dev/null");
  std::vector<std::uint64_t> sectors;
  const auto at = out.find("Sectors:");
  if (at == std::string::npos) return sectors;
  std::regex number(R"(\d+)");
  const std::string tail = out.substr(at + 8);
  for (std::sregex_iterator it(tail.begin(), tail.end(), number), end; it != end; ++it) {
    const std::uint64_t s = std::strtoull(it->str().c_str(), nullptr, 10);
    if (s != 0) sectors.push_back(s);
  }
  return sectors;
}

// fls's inode number of a root entry, or "" when it is not listed.
inline std::string FlsInode(const std::string& image, const std::string& name) {
  const std::string out = DiskTest::RunCommand("fls '" + image + "' 2>/dev/null");
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(R"(r/r (\d+):\s+)" + name + R"(\n)"))) return "";
  return m[1].str();
}

}  // namespace fattest

#endif
