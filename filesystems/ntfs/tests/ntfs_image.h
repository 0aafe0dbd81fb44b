// Images made by mkntfs and filled with ntfscp for the NTFS tests, and what
// ntfsinfo and sleuthkit say about them. Native only: the tools do not run
// under Wine.
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

namespace ntfstest {

// A scratch folder removed at the end of the test.
using ScratchDir = DiskTest::TempDir;

struct MkntfsOptions {
  std::uint32_t sectorSize = 512;
  std::uint32_t clusterSize = 4096;
  std::uint64_t megabytes = 16;
  std::string extra;  // further mkntfs options
};

inline std::string Describe(const MkntfsOptions& o) {
  return "s=" + std::to_string(o.sectorSize) + " c=" + std::to_string(o.clusterSize) +
         " mb=" + std::to_string(o.megabytes) + " " + o.extra;
}

// Makes a quick-formatted image; false when mkntfs refuses the combination.
inline bool MakeImage(const std::string& path, const MkntfsOptions& o) {
  int status = 0;
  DiskTest::RunCommand("rm -f '" + path + "'; truncate -s " + std::to_string(o.megabytes) +
                           "M '" + path + "' && mkntfs -F -f -q -s " +
                           std::to_string(o.sectorSize) + " -c " + std::to_string(o.clusterSize) +
                           " " + o.extra + " '" + path + "' >/dev/null 2>&1",
                       &status);
  return status == 0;
}

// Copies a host file into the image without mounting it.
inline bool CopyIn(const std::string& image, const std::string& host, const std::string& dest) {
  int status = 0;
  DiskTest::RunCommand("ntfscp -q -f '" + image + "' '" + host + "' '" + dest + "' >/dev/null 2>&1",
                       &status);
  return status == 0;
}

// The first number `pattern` finds in a tool's report; all ones when none.
inline std::uint64_t Number(const std::string& text, const std::string& pattern) {
  return DiskTest::Number(text, pattern, ~std::uint64_t(0));
}

using DiskTest::MakeHostFile;
using DiskTest::ReadBytes;
using DiskTest::WriteBytes;

// One attribute as `istat` lists it.
struct IstatAttribute {
  std::uint32_t type = 0;
  std::uint32_t id = 0;
  std::string name;  // "N/A" when unnamed
  bool resident = false;
  std::uint64_t size = 0;
  // Non-resident: the runs (LCN, length; LCN -1 for a sparse run).
  std::vector<std::pair<std::int64_t, std::uint64_t>> runs;
};

// `istat -r` of one MFT record.
inline std::vector<IstatAttribute> Istat(const std::string& image, std::uint64_t record) {
  const std::string out =
      DiskTest::RunCommand("istat -r '" + image + "' " + std::to_string(record) + " 2>/dev/null");
  std::vector<IstatAttribute> list;
  const std::regex head(
      R"(Type: \S+ \((\d+)-(\d+)\)\s+Name: (.*?)\s+(Resident|Non-Resident)(?:, [A-Za-z]+)*\s+size: (\d+))");
  // A run without clusters shows "X" for its address.
  const std::regex run(R"(Starting address: (\d+|X), length: (\d+)(.*))");
  for (const std::string& line : DiskTest::Lines(out)) {
    std::smatch m;
    if (std::regex_search(line, m, head)) {
      IstatAttribute a;
      a.type = std::uint32_t(std::stoul(m[1].str()));
      a.id = std::uint32_t(std::stoul(m[2].str()));
      a.name = m[3].str();
      a.resident = m[4].str() == "Resident";
      a.size = std::stoull(m[5].str());
      list.push_back(a);
    } else if (!list.empty() && std::regex_search(line, m, run)) {
      const bool sparse = m[1].str() == "X" || m[3].str().find("Sparse") != std::string::npos;
      list.back().runs.emplace_back(sparse ? -1 : std::stoll(m[1].str()), std::stoull(m[2].str()));
    }
  }
  return list;
}

}  // namespace ntfstest

#endif
