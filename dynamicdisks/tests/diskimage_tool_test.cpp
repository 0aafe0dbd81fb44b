// The diskimage tool over disk groups laid out by the fixture writer: its
// volume table is ldmtool's account, its volume bytes are the fixture
// writer's own reconstruction from the member images, and failures exit
// non-zero.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "ldm_tool_support.h"

namespace {

using DiskTest::Lines;
using LdmTest::Fields;
using LdmTest::Fixture;

class DynamicDiskToolTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    for (const std::string& p : Lines(Fixture(std::string("build ") + GetParam() + " " +
                                              dir_.Path()))) {
      images_ += " '" + p + "'";
    }
    ASSERT_FALSE(images_.empty());
  }

  // The tool's standard output and exit status.
  std::string Run(const std::string& command, int* status) {
    return DiskTest::RunCommand(std::string(DISKIMAGE_PATH) + images_ + " " + command +
                                    " 2>/dev/null",
                                status);
  }

  DiskTest::TempDir dir_;
  std::string images_;
};

TEST_P(DynamicDiskToolTest, VolumesAreLdmtoolsAccount) {
  int status = -1;
  const std::vector<std::string> ours = Lines(Run("volumes", &status));
  EXPECT_EQ(status, 0);
  const std::vector<std::string> theirs =
      Lines(Fixture(std::string("ldmtool-lines ") + GetParam() + " " + dir_.Path()));
  ASSERT_EQ(ours.size(), theirs.size());
  ASSERT_FALSE(ours.empty());
  for (std::size_t i = 0; i < ours.size(); ++i) {
    std::vector<std::string> fields = Fields(ours[i]);
    ASSERT_EQ(fields.size(), 7u) << ours[i];
    fields[5] = "-";  // the state, which ldmtool does not report
    std::string line;
    for (std::size_t f = 0; f < fields.size(); ++f) line += (f ? "\t" : "") + fields[f];
    EXPECT_EQ(line, theirs[i]);
  }
  // The states the fixture intends.
  EXPECT_EQ(ours, Lines(Fixture(std::string("expect ") + GetParam())));
}

TEST_P(DynamicDiskToolTest, ReadVolumeGivesTheReconstructedBytes) {
  int status = -1;
  for (const std::string& line : Lines(Run("volumes", &status))) {
    const std::vector<std::string> f = Fields(line);
    ASSERT_GE(f.size(), 6u);
    const std::string got = dir_.File(f[1] + ".read");
    std::string quoted = "'" + f[0] + "' '" + f[1] + "' > '" + got + "'";
    Run("read-volume " + quoted, &status);
    if (f[5] == "failed") {
      EXPECT_NE(status, 0) << f[1] << ": a failed volume does not read";
      continue;
    }
    EXPECT_EQ(status, 0) << f[1];
    const std::string want = dir_.File(f[1] + ".expected");
    Fixture(std::string("reconstruct ") + GetParam() + " " + dir_.Path() + " " + f[1] + " " +
            want);
    int same = -1;
    DiskTest::RunCommand("cmp -s '" + got + "' '" + want + "'", &same);
    EXPECT_EQ(same, 0) << f[1] << " reads other bytes than the members hold";
  }
}

// A dynamic disk's portions are listed under their own scheme.
TEST_P(DynamicDiskToolTest, ListShowsDynamicPortions) {
  int status = -1;
  const std::vector<std::string> lines = Lines(Run("list", &status));
  EXPECT_EQ(status, 0);
  int volumes = 0;
  for (const std::string& line : lines) {
    const std::vector<std::string> f = Fields(line);
    ASSERT_EQ(f.size(), 7u) << line;
    EXPECT_EQ(f[1], "ldm") << line;
    if (f[2] == "volume") ++volumes;
  }
  EXPECT_GT(volumes, 0);
}

TEST_P(DynamicDiskToolTest, FailedCommandsExitNonZero) {
  int status = 0;
  const std::string out = Run("read-volume NoSuchGroup NoSuchVolume", &status);
  EXPECT_NE(status, 0);
  EXPECT_TRUE(out.empty());
  Run("read-volume OnlyOneArgument", &status);
  EXPECT_NE(status, 0);
  Run("volumes extra", &status);
  EXPECT_NE(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DynamicDiskToolTest,
                         ::testing::Values("simple", "spanned", "striped", "mirror", "raid5",
                                           "gpt", "raid5missing", "mirrormissing", "damaged"));

// The dynamic-disk driver sits on every disk the tool opens: a blank disk
// beside a dynamic group is still listed whole and can be given a table,
// and a basic disk keeps its partitions.
TEST(DynamicDiskToolMixed, BlankAndBasicDisksBesideAGroupKeepTheirPlace) {
  DiskTest::TempDir dir;
  std::vector<std::string> images;
  for (const std::string& p :
       Lines(Fixture(std::string("build mirror ") + dir.Path()))) {
    images.push_back(p);
  }
  ASSERT_FALSE(images.empty());
  const std::size_t members = images.size();
  const std::string mbr = dir.File("basic.img");
  const std::string blankMbr = dir.File("blank-for-mbr.img");
  const std::string blankGpt = dir.File("blank-for-gpt.img");
  int status = -1;
  DiskTest::RunCommand("truncate -s 8M '" + mbr + "' '" + blankMbr + "' '" + blankGpt +
                           "' && printf 'label: dos\n2048,4096,7\n' | sfdisk -q '" + mbr +
                           "' >/dev/null",
                       &status);
  ASSERT_EQ(status, 0);
  images.push_back(mbr);
  images.push_back(blankMbr);
  images.push_back(blankGpt);
  std::string all;
  for (const std::string& p : images) all += " '" + p + "'";
  auto run = [&](const std::string& command, int* rc) {
    return DiskTest::RunCommand(std::string(DISKIMAGE_PATH) + all + " " + command + " 2>&1", rc);
  };
  const std::string volumesBefore = run("volumes", &status);
  ASSERT_EQ(status, 0) << volumesBefore;

  const std::string m = std::to_string(members);
  const std::string b1 = std::to_string(members + 1);
  const std::string b2 = std::to_string(members + 2);
  std::vector<std::string> others;
  int ldm = 0;
  for (const std::string& line : Lines(run("list", &status))) {
    const std::vector<std::string> f = Fields(line);
    ASSERT_EQ(f.size(), 7u) << line;
    if (std::stoul(f[0]) < members) {
      EXPECT_EQ(f[1], "ldm") << line;
      ++ldm;
    } else {
      others.push_back(line);
    }
  }
  EXPECT_EQ(status, 0);
  EXPECT_GT(ldm, 0);
  // The basic disk as it lists alone, the blank ones whole.
  std::vector<std::string> expected;
  for (const std::string& line :
       Lines(DiskTest::RunCommand(std::string(DISKIMAGE_PATH) + " '" + mbr + "' list"))) {
    expected.push_back(m + line.substr(line.find('\t')));
  }
  EXPECT_NE(std::find(expected.begin(), expected.end(),
                      m + "\tmbr\tprimary\t2048\t4096\t07\t-"),
            expected.end());
  expected.push_back(b1 + "\traw\traw\t0\t16384\t-\t-");
  expected.push_back(b2 + "\traw\traw\t0\t16384\t-\t-");
  EXPECT_EQ(others, expected);

  const std::string mbrOut = run("init-mbr " + b1, &status);
  EXPECT_EQ(status, 0) << mbrOut;
  const std::string gptOut = run("init-gpt " + b2, &status);
  EXPECT_EQ(status, 0) << gptOut;
  const std::string dump = DiskTest::RunCommand("sfdisk -d '" + blankMbr + "' 2>/dev/null");
  EXPECT_NE(dump.find("label: dos"), std::string::npos) << dump;
  DiskTest::RunCommand("sgdisk -v '" + blankGpt + "' >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0) << "sgdisk finds fault with the new GPT";
  // The group is read as before.
  EXPECT_EQ(run("volumes", &status), volumesBefore);
  EXPECT_EQ(status, 0);
}

}  // namespace

#endif
