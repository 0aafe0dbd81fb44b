// `diskimage holders`: the layer started over the stand-in library with the
// images as drives prints each disk's tree; its partition lines agree with
// sfdisk and sgdisk.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "holder_fixture.h"
#include "standin_fixture.h"

namespace {

std::vector<std::vector<std::string>> Fields(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : DiskTest::Lines(out)) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
    rows.push_back(fields);
  }
  return rows;
}

TEST(HoldersCommand, PrintsEveryDisksTreeDepthFirst) {
  DiskTest::TempDir dir;
  const std::string mbr = DaTest::MakeMbrImage(
      dir, "m.img", 64,
      "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=40000, type=f\n"
      "start=10240, size=4096, type=7\nstart=16384, size=4096, type=1b\n");
  const std::string gpt = DaTest::MakeGptImage(
      dir, "g.img", 64, "-n 1:2048:+4M -t 1:0700 -c 1:data -n 3:0:+1M -t 3:0c01");
  int status = -1;
  const std::string out =
      DiskTest::RunCommand(std::string(DISKIMAGE_PATH) + " " + mbr + " " + gpt + " holders", &status);
  ASSERT_EQ(status, 0) << out;
  const std::vector<std::vector<std::string>> want = {
      {"0", "0", "mbr", "0", "1", "-", "-", "-", "-"},
      {"0", "1", "primary", "2048", "4096", "83", "1", "-", "-"},
      {"0", "1", "ebr", "8192", "1", "0f", "-", "-", "-"},
      {"0", "2", "logical", "10240", "4096", "07", "5", "-", "-"},
      {"0", "2", "ebr", "14336", "1", "05", "-", "-", "-"},
      {"0", "3", "logical", "16384", "4096", "1b", "6", "-", "-"},
      // Free space: before the extended container, inside it and after it.
      {"0", "0", "free", "6144", "2048", "-", "-", "-", "-"},
      {"0", "0", "free", "20480", "27712", "-", "-", "-", "-"},
      {"0", "0", "free", "49152", "81920", "-", "-", "-", "-"},
      {"1", "0", "mbr", "0", "1", "-", "-", "-", "-"},
      {"1", "0", "gpt", "1", "33", "-", "-", "-", "-"},
      {"1", "1", "partition", "2048", "8192", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "1", "-",
       "data"},
      {"1", "1", "reserved", "10240", "2048", "E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "-", "-",
       "-"},
      {"1", "0", "free", "12288", "118751", "-", "-", "-", "-"},
      {"1", "0", "gpt-backup", "131039", "33", "-", "-", "-", "-"},
  };
  EXPECT_EQ(Fields(out), want) << out;
  // The partitions are sfdisk's.
  std::vector<DaTest::Row> rows;
  for (const auto& f : Fields(out))
    if (f[0] == "0" && (f[2] == "primary" || f[2] == "logical"))
      rows.push_back({static_cast<std::uint32_t>(std::stoul(f[6])), std::stoull(f[3]),
                      std::stoull(f[4]), static_cast<std::uint32_t>(std::stoul(f[5], nullptr, 16))});
  EXPECT_EQ(rows, DaTest::SfdiskRows(mbr));
}

}  // namespace
