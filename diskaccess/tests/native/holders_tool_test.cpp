// `diskimage holders`: the layer started over the stand-in library with the
// images as drives prints each disk's tree; its partition lines agree with
// sfdisk and sgdisk.
#include <algorithm>
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

// sgdisk's unique GUID of a partition.
std::string PartitionGuid(const std::string& image, int n) {
  const std::string key = "Partition unique GUID: ";
  for (const std::string& line :
       DiskTest::Lines(DiskTest::RunCommand("sgdisk -i " + std::to_string(n) + " " + image)))
    if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
  return "?";
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
      // The pseudo-disk: the disk model's GPT partition (the reserved one
      // is not a volume), with its piece on the second image.
      {"-", "0", "gpt-volume", "0", "8192", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "-", "-",
       PartitionGuid(gpt, 1)},
      {"1", "1", "extent", "2048", "8192", "-", "-", "-", "-"},
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

// A dynamic group among the drives: its volume and its free space are
// shown on the pseudo-disk with the pieces ldmtool reports.
TEST(HoldersCommand, ShowsTheModelsDynamicVolumesAndFreeSpace) {
  DiskTest::TempDir dir;
  int status = -1;
  const std::vector<std::string> images = DiskTest::Lines(DiskTest::RunCommand(
      std::string("python3 ") + LDM_FIXTURE_TOOL + " build spanned '" + dir.Path() + "'", &status));
  ASSERT_EQ(status, 0);
  ASSERT_EQ(images.size(), 2u);
  const std::string tool = LDM_FIXTURE_TOOL;
  const std::string view = DiskTest::RunCommand(
      "LDM_FIXTURE_DIR='" + tool.substr(0, tool.rfind('/')) + "' python3 " + DA_TEST_SOURCE_DIR +
          "/native/ldm_view.py expect spanned '" + dir.Path() + "'",
      &status);
  ASSERT_EQ(status, 0) << view;
  // ldmtool's volume and free extents, as the tool's lines should give them.
  std::vector<std::vector<std::string>> want;
  std::string group;
  for (const std::string& line : DiskTest::Lines(view)) {
    std::istringstream in(line);
    std::string kind, a, b, c, d;
    in >> kind >> a >> b >> c >> d;
    auto upper = [](std::string s) {
      for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      return s;
    };
    auto imageIndex = [](const std::string& name) {
      return name.substr(name.rfind('-') + 1, name.find('.') - name.rfind('-') - 1);
    };
    if (kind == "volume") {
      want.push_back({"-", "0", "dynamic-volume", "0", b, c, "-", "-", upper(a)});
    } else if (kind == "plex") {
      want.push_back({"0" == a ? imageIndex(b) : "?", "1", "extent", c, d, "-", "-", "-", "-"});
    } else if (kind == "free") {
      if (group.empty()) want.push_back({"-", "0", "dynamic-free", "0", "0", "-", "-", "-", upper(a)});
      group = a;
      want.push_back({imageIndex(b), "1", "extent", c, d, "-", "-", "-", "-"});
    }
  }
  const std::string out = DiskTest::RunCommand(
      std::string(DISKIMAGE_PATH) + " " + images[0] + " " + images[1] + " holders", &status);
  ASSERT_EQ(status, 0) << out;
  std::vector<std::vector<std::string>> shown;
  std::uint64_t freeTotal = 0;
  std::size_t freeRow = 0;
  for (const auto& f : Fields(out)) {
    if (f[0] != "-" && f[2] != "extent") continue;
    shown.push_back(f);
    if (f[2] == "dynamic-free") freeRow = shown.size();
    else if (freeRow != 0 && f[2] == "extent") freeTotal += std::stoull(f[4]);
  }
  // The free-space line's size is the sum of its pieces.
  ASSERT_NE(freeRow, 0u) << out;
  EXPECT_EQ(shown[freeRow - 1][4], std::to_string(freeTotal));
  want[freeRow - 1][4] = std::to_string(freeTotal);
  for (auto& row : want)
    if (row[2] == "dynamic-volume") row[5] = "spanned";
  // The free pieces in any order.
  ASSERT_EQ(shown.size(), want.size()) << out;
  std::sort(shown.begin() + static_cast<std::ptrdiff_t>(freeRow), shown.end());
  std::sort(want.begin() + static_cast<std::ptrdiff_t>(freeRow), want.end());
  EXPECT_EQ(shown, want) << out;
}

}  // namespace
