// Dynamic volumes created, written, shrunk and deleted with the diskimage
// tool on disk groups of the fixture writer, judged by ldmtool reading the
// images afterwards and by the bytes of the images themselves.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "ldm_tool_support.h"
#include "foundation/byteorder.h"
#include "ldm/format.h"

namespace {

using DiskTest::Lines;
using LdmTest::Fields;
using LdmTest::Fixture;

std::string WithoutState(const std::string& line) {
  std::vector<std::string> f = Fields(line);
  if (f.size() > 5) f[5] = "-";
  std::string out;
  for (std::size_t i = 0; i < f.size(); ++i) out += (i ? "\t" : "") + f[i];
  return out;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

// The fixture writer's layout: on MBR disks the private region is the last
// 2048 sectors, on GPT disks it starts at sector 34.
struct Member {
  std::string path;
  bool gpt = false;
  std::vector<std::uint8_t> bytes;
  std::uint64_t Private() const { return gpt ? 34 : bytes.size() / 512 - 2048; }
  const std::uint8_t* Sector(std::uint64_t n) const { return bytes.data() + n * 512; }
  std::vector<std::uint64_t> PrivHeads() const {
    std::vector<std::uint64_t> s = {Private() + 2047, Private() + 1856};
    if (!gpt) s.push_back(6);
    return s;
  }
  std::vector<std::uint64_t> Tocs() const {
    return {Private() + 1, Private() + 2, Private() + 2045, Private() + 2046};
  }
  std::uint64_t Config() const { return Private() + 17; }
  // The highest slot index that holds a record part.
  std::uint32_t LastLiveSlot() const {
    const std::uint32_t count = Common::LoadBe32(Sector(Config()) + 4);
    std::uint32_t last = 0;
    for (std::uint32_t i = 4; i < count && i < 1481 * 4; ++i) {
      const std::uint8_t* slot = Sector(Config()) + std::size_t(i) * 128;
      if (std::memcmp(slot, "VBLK", 4) == 0 && Common::LoadBe16(slot + 14) != 0) last = i;
    }
    return last;
  }
};

class ChangeTest : public ::testing::Test {
 protected:
  void Build(const std::string& fixture) {
    fixture_ = fixture;
    images_.clear();
    all_.clear();
    for (const std::string& p : Lines(Fixture("build " + fixture + " " + dir_.Path()))) {
      images_.push_back(p);
      all_ += " '" + p + "'";
    }
    ASSERT_FALSE(images_.empty());
  }

  // The options of a command ("--fail-write N ...") go before the images.
  std::string Run(const std::string& command, int* status, const std::string& images = "") {
    std::string options;
    std::string rest = command;
    if (rest.rfind("--", 0) == 0) {
      const std::size_t second = rest.find(' ', rest.find(' ') + 1);
      options = " " + rest.substr(0, second);
      rest = rest.substr(second + 1);
    }
    return DiskTest::RunCommand(std::string(DISKIMAGE_PATH) + options +
                                    (images.empty() ? all_ : images) + " " + rest + " 2>&1",
                                status);
  }

  std::vector<Member> Members() const {
    std::vector<Member> out;
    for (const std::string& p : images_) {
      Member m;
      m.path = p;
      m.bytes = ReadFile(p);
      m.gpt = m.bytes.size() > 0x1C2 && m.bytes[0x1C2] == 0xEE;
      out.push_back(m);
    }
    return out;
  }

  // Every PRIVHEAD and TOCBLOCK copy on every member carries the same update
  // sequence and a valid checksum; that sequence.
  std::uint64_t Sequence() const {
    std::set<std::uint64_t> seen;
    for (const Member& m : Members()) {
      for (std::uint64_t s : m.PrivHeads()) {
        EXPECT_EQ(std::memcmp(m.Sector(s), "PRIVHEAD", 8), 0) << m.path << " sector " << s;
        EXPECT_EQ(Ldm::SectorChecksum(m.Sector(s)), Common::LoadBe16(m.Sector(s) + 0x0A));
        seen.insert(Common::LoadBe64(m.Sector(s) + 0x18));
      }
      for (std::uint64_t s : m.Tocs()) {
        EXPECT_EQ(std::memcmp(m.Sector(s), "TOCBLOCK", 8), 0) << m.path << " sector " << s;
        EXPECT_EQ(Ldm::SectorChecksum(m.Sector(s)), Common::LoadBe16(m.Sector(s) + 0x0A));
        seen.insert(Common::LoadBe64(m.Sector(s) + 0x0C));
      }
      // A finished commit leaves every copy consistent.
      EXPECT_EQ(Common::LoadBe16(m.Sector(m.Config()) + 0x10), 1) << m.path;
    }
    EXPECT_EQ(seen.size(), 1u);
    return seen.empty() ? 0 : *seen.begin();
  }

  // Our account of the group equals ldmtool's, and each member read alone
  // tells the same volumes with the same pieces.
  std::vector<std::string> CheckAgainstLdmtool() {
    int status = -1;
    const std::vector<std::string> ours = Lines(Run("volumes", &status));
    EXPECT_EQ(status, 0);
    const std::vector<std::string> theirs =
        Lines(Fixture("ldmtool-lines " + fixture_ + " " + dir_.Path()));
    EXPECT_EQ(ours.size(), theirs.size());
    for (std::size_t i = 0; i < ours.size() && i < theirs.size(); ++i) {
      EXPECT_EQ(WithoutState(ours[i]), theirs[i]);
    }
    for (const std::string& image : images_) {
      std::vector<std::string> alone = Lines(Run("volumes", &status, " '" + image + "'"));
      EXPECT_EQ(status, 0);
      EXPECT_EQ(alone.size(), ours.size()) << image;
      for (std::size_t i = 0; i < ours.size() && i < alone.size(); ++i) {
        EXPECT_EQ(WithoutState(alone[i]), WithoutState(ours[i])) << image;
      }
    }
    // The VMDB counts the volumes.
    for (const Member& m : Members()) {
      EXPECT_EQ(Common::LoadBe32(m.Sector(m.Config()) + 0x85), ours.size()) << m.path;
    }
    return ours;
  }

  DiskTest::TempDir dir_;
  std::string fixture_;
  std::vector<std::string> images_;
  std::string all_;
};

struct CreateCase {
  const char* fixture;
  const char* command;
  const char* layout;  // as `volumes` and ldmtool name it
  std::uint64_t size;  // after the rounding to whole stripes
};

class CreateVolumeTest : public ChangeTest, public ::testing::WithParamInterface<CreateCase> {};

// A new volume of every layout on groups of one to four members, then
// written, read back through ldmtool's pieces, and deleted again.
TEST_P(CreateVolumeTest, LdmtoolSeesTheVolumeItsBytesAndItsRemoval) {
  const CreateCase& c = GetParam();
  Build(c.fixture);
  const std::vector<std::string> before = CheckAgainstLdmtool();
  const std::uint64_t firstSequence = Sequence();
  std::uint32_t lastSlotBefore = 0;
  for (const Member& m : Members()) lastSlotBefore = std::max(lastSlotBefore, m.LastLiveSlot());

  int status = -1;
  const std::string out = Run(c.command, &status);
  ASSERT_EQ(status, 0) << out;
  const std::vector<std::string> after = CheckAgainstLdmtool();
  ASSERT_EQ(after.size(), before.size() + 1);
  std::string made;
  for (const std::string& line : after) {
    if (std::find(before.begin(), before.end(), line) == before.end()) made = line;
  }
  const std::vector<std::string> f = Fields(made);
  ASSERT_EQ(f.size(), 7u) << made;
  EXPECT_EQ(f[2], c.layout) << made;
  EXPECT_EQ(f[3], std::to_string(c.size)) << made;
  EXPECT_EQ(f[5], "healthy") << made;
  EXPECT_EQ(Sequence(), firstSequence + 1);

  // Bytes written through the new volume are where ldmtool's pieces say.
  const std::string data = dir_.File("data.bin");
  DiskTest::RunCommand("head -c " + std::to_string(c.size * 512) +
                       " /dev/urandom > '" + data + "'");
  Run("write-volume '" + f[0] + "' '" + f[1] + "' < '" + data + "'", &status);
  ASSERT_EQ(status, 0);
  const std::string rebuilt = dir_.File("rebuilt.bin");
  Fixture("reconstruct " + fixture_ + " " + dir_.Path() + " " + f[1] + " " + rebuilt);
  EXPECT_EQ(ReadFile(rebuilt), ReadFile(data)) << "ldmtool's pieces hold other bytes";

  // Deleted again: the group is as before, and no record is left live past
  // the end of the shorter database.
  const std::string removed = Run("delete-volume '" + f[0] + "' '" + f[1] + "'", &status);
  ASSERT_EQ(status, 0) << removed;
  EXPECT_EQ(CheckAgainstLdmtool(), before);
  EXPECT_EQ(Sequence(), firstSequence + 2);
  for (const Member& m : Members()) EXPECT_LE(m.LastLiveSlot(), lastSlotBefore) << m.path;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, CreateVolumeTest,
    ::testing::Values(
        CreateCase{"simple", "create-volume simple 1000 --disks 0", "simple", 1000},
        CreateCase{"simple", "create-volume simple 600", "simple", 600},
        CreateCase{"spanned", "create-volume spanned 3000 --disks 0:1000,1:2000", "spanned", 3000},
        CreateCase{"spanned", "create-volume mirror 1024 --disks 0,1", "mirror", 1024},
        CreateCase{"spanned", "create-volume striped 1000 --disks 0,1 --stripe 64", "striped", 896},
        CreateCase{"raid5", "create-volume striped 1000 --disks 0,1,2 --stripe 128", "striped", 768},
        CreateCase{"raid5", "create-volume raid5 1000 --disks 0,1,2 --stripe 128", "raid5", 768},
        CreateCase{"raid5", "create-volume mirror 500 --disks 1,2", "mirror", 500},
        CreateCase{"gpt", "create-volume raid5 3000 --disks 0,1,2,3 --stripe 64", "raid5", 2880},
        // The largest disk takes it all and the next one a share of 0, which
        // makes no piece: the volume reads back as simple.
        CreateCase{"gpt", "create-volume spanned 4000", "simple", 4000},
        CreateCase{"gpt", "create-volume striped 2048 --stripe 128", "striped", 2048}),
    [](const ::testing::TestParamInfo<CreateCase>& info) {
      return std::string(info.param.fixture) + "_" + std::to_string(info.index);
    });

struct ShrinkCase {
  const char* fixture;
  const char* volume;
  std::uint64_t size;
  const char* line;  // the volume's line afterwards, state aside
};

class ShrinkVolumeTest : public ChangeTest, public ::testing::WithParamInterface<ShrinkCase> {};

// Pieces past the new end go, the piece across it is cut (for striped
// volumes at whole stripes of each column), and ldmtool reads the result.
TEST_P(ShrinkVolumeTest, PiecesAreCutWhereLdmtoolExpects) {
  const ShrinkCase& c = GetParam();
  Build(c.fixture);
  const std::uint64_t firstSequence = Sequence();
  int status = -1;
  const std::string group = "Group" + std::string(c.fixture);
  const std::string out = Run("shrink-volume " + group + " " + c.volume + " " +
                                  std::to_string(c.size), &status);
  ASSERT_EQ(status, 0) << out;
  const std::vector<std::string> after = CheckAgainstLdmtool();
  bool found = false;
  for (const std::string& line : after) {
    if (Fields(line).at(1) == c.volume) {
      EXPECT_EQ(WithoutState(line), c.line);
      found = true;
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(Sequence(), firstSequence + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, ShrinkVolumeTest,
    ::testing::Values(
        ShrinkCase{"spanned", "Volume1", 1500,
                   "Groupspanned\tVolume1\tspanned\t1500\t0\t-\tDisk1:100+1000,Disk2:0+500"},
        ShrinkCase{"spanned", "Volume1", 800,
                   "Groupspanned\tVolume1\tsimple\t800\t0\t-\tDisk1:100+800"},
        ShrinkCase{"striped", "Stripe1", 1000,
                   "Groupstriped\tStripe1\tstriped\t1000\t128\t-\t"
                   "Disk1:0+384,Disk2:0+384,Disk3:0+384"}),
    [](const ::testing::TestParamInfo<ShrinkCase>& info) {
      return std::string(info.param.fixture) + "_" + std::to_string(info.index);
    });

struct ReshapeCase {
  const char* fixture;
  const char* command;  // after "diskimage IMAGES"
  const char* volume;
  const char* line;     // the volume's line afterwards, state aside
};

class ReshapeTest : public ChangeTest, public ::testing::WithParamInterface<ReshapeCase> {};

// A volume grown, given a plex, stripped of one or given a moved column:
// ldmtool reads the layout we expect, every member alone agrees, the
// commit advanced the sequence once, and the bytes the volume held before
// still read back, both through our volume and through ldmtool's pieces
// (a new plex or column is read around until it has been written).
TEST_P(ReshapeTest, LdmtoolSeesTheNewLayoutAndTheOldBytes) {
  const ReshapeCase& c = GetParam();
  Build(c.fixture);
  const std::string group = "Group" + std::string(c.fixture);
  std::uint64_t oldSize = 0;
  for (const std::string& line : CheckAgainstLdmtool()) {
    if (Fields(line).at(1) == c.volume) oldSize = std::stoull(Fields(line).at(3));
  }
  ASSERT_GT(oldSize, 0u);
  const std::string data = dir_.File("data.bin");
  DiskTest::RunCommand("head -c " + std::to_string(oldSize * 512) + " /dev/urandom > '" + data +
                       "'");
  int status = -1;
  Run("write-volume " + group + " " + c.volume + " < '" + data + "'", &status);
  ASSERT_EQ(status, 0);
  const std::uint64_t firstSequence = Sequence();

  const std::string out = Run(c.command, &status);
  ASSERT_EQ(status, 0) << out;
  bool found = false;
  for (const std::string& line : CheckAgainstLdmtool()) {
    if (Fields(line).at(1) != c.volume) continue;
    EXPECT_EQ(WithoutState(line), c.line);
    found = true;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(Sequence(), firstSequence + 1);

  const std::vector<std::uint8_t> expected = ReadFile(data);
  const std::string ours = dir_.File("ours.bin");
  Run("read-volume " + group + " " + c.volume + " > '" + ours + "'", &status);
  ASSERT_EQ(status, 0);
  std::vector<std::uint8_t> read = ReadFile(ours);
  ASSERT_GE(read.size(), expected.size());
  read.resize(expected.size());
  EXPECT_TRUE(read == expected) << "the volume no longer reads its old bytes";
  const std::string rebuilt = dir_.File("rebuilt.bin");
  Fixture("reconstruct " + fixture_ + " " + dir_.Path() + " " + c.volume + " " + rebuilt);
  std::vector<std::uint8_t> theirs = ReadFile(rebuilt);
  if (std::string(c.command).find("replace-column") == std::string::npos &&
      std::string(c.command).find("add-mirror") == std::string::npos) {
    ASSERT_GE(theirs.size(), expected.size());
    theirs.resize(expected.size());
    EXPECT_TRUE(theirs == expected) << "ldmtool's pieces hold other bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ReshapeTest,
    ::testing::Values(
        // The last piece goes on into the free space behind it.
        ReshapeCase{"spanned", "grow-volume Groupspanned Volume1 4000", "Volume1",
                    "Groupspanned\tVolume1\tspanned\t4000\t0\t-\tDisk1:100+1000,Disk2:0+3000"},
        ReshapeCase{"simple", "grow-volume Groupsimple Volume2 2000", "Volume2",
                    "Groupsimple\tVolume2\tsimple\t2000\t0\t-\tDisk1:2000+1000,Disk1:4000+1000"},
        // Another volume right behind: a new piece in the best-fitting gap.
        ReshapeCase{"simple", "grow-volume Groupsimple Volume1 2500", "Volume1",
                    "Groupsimple\tVolume1\tsimple\t2500\t0\t-\tDisk1:0+2000,Disk1:3000+500"},
        // Restricted growth never lengthens a piece.
        ReshapeCase{"simple", "grow-volume Groupsimple Volume2 2000 --restricted", "Volume2",
                    "Groupsimple\tVolume2\tsimple\t2000\t0\t-\t"
                    "Disk1:2000+1000,Disk1:4000+500,Disk1:3000+500"},
        // Onto another disk: the volume becomes spanned.
        ReshapeCase{"spanned", "grow-volume Groupspanned Volume1 3500 --disks 0", "Volume1",
                    "Groupspanned\tVolume1\tspanned\t3500\t0\t-\t"
                    "Disk1:100+1000,Disk2:0+2000,Disk1:1100+500"},
        // Columns grow by whole stripes: 4000 over 3 columns of 128 is 11
        // rows, 1408 sectors a column.
        ReshapeCase{"striped", "grow-volume Groupstriped Stripe1 4000", "Stripe1",
                    "Groupstriped\tStripe1\tstriped\t4000\t128\t-\t"
                    "Disk1:0+1408,Disk2:0+1408,Disk3:0+1408"},
        ReshapeCase{"raid5", "grow-volume Groupraid5 Raid1 5000", "Raid1",
                    "Groupraid5\tRaid1\traid5\t5000\t128\t-\tDisk1:0+2560,Disk2:0+2560,Disk3:0+2560"},
        ReshapeCase{"gpt", "grow-volume Groupgpt Stripe3 3000", "Stripe3",
                    "Groupgpt\tStripe3\tstriped\t3000\t128\t-\tDisk1:1024+1536,Disk2:1024+1536"},
        ReshapeCase{"mirror", "grow-volume Groupmirror Volume1 3000", "Volume1",
                    "Groupmirror\tVolume1\tmirror\t3000\t0\t-\t"
                    "Disk1:64+2048,Disk1:2112+952,Disk2:512+2048,Disk2:2560+952"},
        ReshapeCase{"gpt", "add-mirror Groupgpt Volume1 0", "Volume1",
                    "Groupgpt\tVolume1\tmirror\t1000\t0\t-\tDisk4:3000+1000,Disk1:2048+1000"},
        ReshapeCase{"mirror", "remove-mirror Groupmirror Volume1 1", "Volume1",
                    "Groupmirror\tVolume1\tsimple\t2048\t0\t-\tDisk2:512+2048"},
        ReshapeCase{"raid5spare", "replace-column Groupraid5spare Raid1 1 3", "Raid1",
                    "Groupraid5spare\tRaid1\traid5\t4096\t128\t-\t"
                    "Disk1:0+2048,Disk4:0+2048,Disk3:0+2048"}),
    [](const ::testing::TestParamInfo<ReshapeCase>& info) {
      return std::string(info.param.fixture) + "_" + std::to_string(info.index);
    });

struct ReactivateCase {
  const char* fixture;
  const char* command;  // makes a stale plex or column
  const char* volume;
  std::vector<std::string> readWithout;  // each disk ldmtool's pieces do without
  const char* failSector;                // a sector of the new piece
};

class ReactivateTest : public ChangeTest, public ::testing::WithParamInterface<ReactivateCase> {};

// A new plex or column holds nothing until the volume is reactivated; then
// its bytes are the volume's: ldmtool's pieces read the old bytes with any
// one disk left out (a mirror from the new plex alone, a parity volume
// rebuilding from the new column's data and parity). A write failure while
// filling it leaves every image as it was.
TEST_P(ReactivateTest, StalePiecesAreFilledFromTheVolume) {
  const ReactivateCase& c = GetParam();
  Build(c.fixture);
  const std::string group = "Group" + std::string(c.fixture);
  std::uint64_t size = 0;
  for (const std::string& line : CheckAgainstLdmtool()) {
    if (Fields(line).at(1) == c.volume) size = std::stoull(Fields(line).at(3));
  }
  ASSERT_GT(size, 0u);
  const std::string data = dir_.File("data.bin");
  DiskTest::RunCommand("head -c " + std::to_string(size * 512) + " /dev/urandom > '" + data + "'");
  int status = -1;
  Run("write-volume " + group + " " + c.volume + " < '" + data + "'", &status);
  ASSERT_EQ(status, 0);
  std::string out = Run(c.command, &status);
  ASSERT_EQ(status, 0) << out;

  const std::vector<Member> before = Members();
  out = Run(std::string("--fail-write ") + c.failSector + " reactivate-volume " + group + " " +
                c.volume,
            &status);
  EXPECT_NE(out.find("0x109003"), std::string::npos) << out;
  const std::vector<Member> after = Members();
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_TRUE(before[i].bytes == after[i].bytes) << before[i].path << " changed";
  }

  const std::uint64_t sequence = Sequence();
  out = Run("reactivate-volume " + group + " " + c.volume, &status);
  ASSERT_EQ(status, 0) << out;
  CheckAgainstLdmtool();
  EXPECT_EQ(Sequence(), sequence + 1);
  const std::vector<std::uint8_t> expected = ReadFile(data);
  for (const std::string& disk : c.readWithout) {
    const std::string rebuilt = dir_.File("rebuilt.bin");
    Fixture("reconstruct " + fixture_ + " " + dir_.Path() + " " + c.volume + " " + rebuilt + " " +
            disk);
    std::vector<std::uint8_t> theirs = ReadFile(rebuilt);
    ASSERT_GE(theirs.size(), expected.size());
    theirs.resize(expected.size());
    EXPECT_TRUE(theirs == expected) << "read without " << disk;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stale, ReactivateTest,
    ::testing::Values(
        ReactivateCase{"raid5spare", "replace-column Groupraid5spare Raid1 1 3", "Raid1",
                       {"Disk1", "Disk3", "Disk4"}, "100"},
        ReactivateCase{"gpt", "add-mirror Groupgpt Volume1 0", "Volume1", {"Disk4"}, "4200"}),
    [](const ::testing::TestParamInfo<ReactivateCase>& info) {
      return std::string(info.param.fixture) + "_" + std::to_string(info.index);
    });

struct RefusalCase {
  const char* fixture;
  const char* command;
  const char* code;
};

class RefusalTest : public ChangeTest, public ::testing::WithParamInterface<RefusalCase> {};

// A refused request or a write that fails at any step of a commit leaves
// every image as it was.
TEST_P(RefusalTest, ErrorAndImagesUnchanged) {
  const RefusalCase& c = GetParam();
  Build(c.fixture);
  const std::vector<Member> before = Members();
  int status = -1;
  const std::string out = Run(c.command, &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << out;
  EXPECT_NE(out.find(c.code), std::string::npos) << out;
  const std::vector<Member> after = Members();
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_TRUE(before[i].bytes == after[i].bytes) << before[i].path << " changed";
  }
}

// Fixture sizes: "spanned" members are 12288 sectors, so the private
// region starts at 10240: VMDB 10257, the slots a new volume's records
// take 10260, PRIVHEAD copies 6, 12287 and 12096, TOCBLOCK 10241, KLOG
// 11738.
INSTANTIATE_TEST_SUITE_P(
    Cases, RefusalTest,
    ::testing::Values(
        RefusalCase{"spanned", "create-volume striped 1000 --disks 0,1 --stripe 0", "0x109009"},
        RefusalCase{"spanned", "create-volume striped 100 --disks 0,1 --stripe 128", "0x109009"},
        RefusalCase{"spanned", "create-volume simple 100 --disks 0,1", "0x10900E"},
        RefusalCase{"spanned", "create-volume raid5 1000 --disks 0,1", "0x10900E"},
        RefusalCase{"spanned", "create-volume simple 99999 --disks 0", "0x10900B"},
        RefusalCase{"spanned", "create-volume mirror 99999", "0x109017"},
        RefusalCase{"spanned", "create-volume simple 100 --name NoSuchGroup", "0x109018"},
        RefusalCase{"spanned", "delete-volume Groupspanned NoSuchVolume", "0x101C10"},
        RefusalCase{"raid5", "create-volume raid01 1000 --disks 0,1,2 --stripe 128", "0x10900E"},
        RefusalCase{"spanned", "--fail-write 10257 create-volume simple 100 --disks 0", "0x109003"},
        RefusalCase{"spanned", "--fail-write 10260 create-volume simple 100 --disks 0", "0x109003"},
        RefusalCase{"spanned", "--fail-write 6 create-volume simple 100 --disks 0", "0x109003"},
        RefusalCase{"spanned", "--fail-write 12096 create-volume simple 100 --disks 0", "0x109003"},
        RefusalCase{"spanned", "--fail-write 10241 create-volume simple 100 --disks 0", "0x109003"},
        RefusalCase{"spanned", "--fail-write 11738 create-volume simple 100 --disks 0", "0x109003"},
        RefusalCase{"spanned", "--fail-write 10257 delete-volume Groupspanned Volume1", "0x109003"},
        RefusalCase{"spanned", "--fail-write 12287 shrink-volume Groupspanned Volume1 1500",
                    "0x109003"},
        // Growing: a plex the request cannot give its whole growth, a
        // striped request without every column disk, a plex grown on the
        // other plex's disk, a simple volume kept simple without room
        // behind it, and write failures.
        RefusalCase{"mirror", "grow-volume Groupmirror Volume1 3000 --disks 0:100@1,1@2",
                    "0x10900F"},
        RefusalCase{"striped", "grow-volume Groupstriped Stripe1 4000 --disks 0,1", "0x109009"},
        // Two columns are blocked by another volume right behind them: a
        // column never becomes two pieces, which other readers refuse.
        RefusalCase{"gpt", "grow-volume Groupgpt Raid2 4000", "0x10900B"},
        RefusalCase{"striped", "grow-volume Groupstriped Stripe1 4000 --restricted", "0x10900B"},
        RefusalCase{"mirror", "grow-volume Groupmirror Volume1 3000 --disks 1@1,1@2", "0x109009"},
        RefusalCase{"simple", "grow-volume Groupsimple Volume2 2000 --restricted --keep-type",
                    "0x10900B"},
        RefusalCase{"spanned", "grow-volume Groupspanned Volume1 99999", "0x10900B"},
        RefusalCase{"spanned", "--fail-write 10257 grow-volume Groupspanned Volume1 4000",
                    "0x109003"},
        RefusalCase{"spanned", "--fail-write 12096 grow-volume Groupspanned Volume1 4000",
                    "0x109003"},
        // Mirrors and columns: the last plex, a non-mirror, a disk already
        // in the volume, a column that is not there, a layout without
        // parity, and write failures.
        RefusalCase{"spanned", "remove-mirror Groupspanned Volume1 1", "0x10900E"},
        RefusalCase{"mirror", "remove-mirror Groupmirror Volume1 7", "0x101C11"},
        RefusalCase{"spanned", "add-mirror Groupspanned Volume1 1", "0x10900C"},
        RefusalCase{"raid5", "add-mirror Groupraid5 Raid1 0", "0x10900E"},
        RefusalCase{"gpt", "replace-column Groupgpt Raid2 1 0", "0x109009"},
        RefusalCase{"raid5spare", "replace-column Groupraid5spare Raid1 3 3", "0x109009"},
        RefusalCase{"gpt", "replace-column Groupgpt Stripe3 1 2", "0x10900E"},
        RefusalCase{"gpt", "--fail-write 2081 add-mirror Groupgpt Volume1 0", "0x109003"},
        RefusalCase{"mirror", "--fail-write 10257 remove-mirror Groupmirror Volume1 1",
                    "0x109003"},
        RefusalCase{"raid5spare", "--fail-write 10241 replace-column Groupraid5spare Raid1 1 3",
                    "0x109003"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
      return std::string(info.param.fixture) + "_" + std::to_string(info.index);
    });

}  // namespace

#endif
