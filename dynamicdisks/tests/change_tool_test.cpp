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
#include "foundation/byteorder.h"
#include "ldm/format.h"

namespace {

using DiskTest::Lines;

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
  return fields;
}

std::string WithoutState(const std::string& line) {
  std::vector<std::string> f = Fields(line);
  if (f.size() > 5) f[5] = "-";
  std::string out;
  for (std::size_t i = 0; i < f.size(); ++i) out += (i ? "\t" : "") + f[i];
  return out;
}

std::string Fixture(const std::string& args) {
  int status = 0;
  const std::string out = DiskTest::RunCommand(
      std::string("python3 ") + LDM_FIXTURE_TOOL + " " + args + " 2>/dev/null", &status);
  EXPECT_EQ(status, 0) << args;
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
                    "0x109003"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
      return std::string(info.param.fixture) + "_" + std::to_string(info.index);
    });

}  // namespace

#endif
