// The diskimage tool over disk groups laid out by the fixture writer: its
// volume table is ldmtool's account, its volume bytes are the fixture
// writer's own reconstruction from the member images, and failures exit
// non-zero.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <sstream>
#include <string>
#include <vector>

#include "disktest/run_command.h"
#include "disktest/temp_dir.h"

namespace {

using DiskTest::Lines;

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
  return fields;
}

std::string Fixture(const std::string& args) {
  int status = 0;
  const std::string out = DiskTest::RunCommand(
      std::string("python3 ") + LDM_FIXTURE_TOOL + " " + args + " 2>/dev/null", &status);
  EXPECT_EQ(status, 0) << args;
  return out;
}

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

}  // namespace

#endif
