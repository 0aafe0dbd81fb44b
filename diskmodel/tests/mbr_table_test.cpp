// MBR tables: reading what sfdisk wrote, writing what sfdisk accepts, the
// repairs of loading, and malformed chains.
#include "foundation/byteorder.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "fdisk/mbr_driver.h"
#include "fdisk/mbr_table.h"
#include "fixtures/mbr_sfdisk.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
using Fdisk::Mbr::MbrDisk;
using Fdisk::Mbr::MbrEntry;

std::uint32_t CodeOf(const Common::Error& e) { return Common::GetErrorCode(e); }

// Writes a table entry into a sector image.
void PutEntry(std::uint8_t* sector, int slot, std::uint8_t type, std::uint32_t first,
              std::uint32_t count, std::uint8_t boot = 0) {
  std::uint8_t* e = sector + 446 + 16 * slot;
  std::memset(e, 0, 16);
  e[0] = boot;
  e[4] = type;
  Common::StoreLe32(e + 8, first);
  Common::StoreLe32(e + 12, count);
}

void Sign(std::uint8_t* sector) {
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

// A valid hidden-type record saving `type` for `slot`.
void PutRecord(std::uint8_t* sector, int slot, std::uint8_t type) {
  std::uint8_t* r = sector + 426;
  std::memset(r, 0, 14);
  r[4 + slot] = type;
  r[12] = 14;
  unsigned sum = 0;
  for (int i = 0; i < 14; ++i) sum += r[i];
  r[11] = std::uint8_t(-sum);
}

#if !defined(_WIN32)
using MbrTest::DumpLine;

// What the model holds, in the form and order of `sfdisk --dump`, which
// numbers primaries by slot and logicals from 5 along the chain (ascending
// in these images).
std::vector<DumpLine> ModelDump(const MbrDisk& model) {
  std::vector<DumpLine> lines;
  bool pseudo = true;
  int logical = 5;
  for (const MbrEntry& e : model.Entries()) {
    if (pseudo) {
      pseudo = false;
      continue;
    }
    DumpLine d;
    if (e.IsEbr() && !e.inMbr) continue;
    d.number = e.inMbr ? e.slot + 1 : logical++;
    d.start = e.first;
    d.size = e.size;
    d.type = e.OnDiskType();
    d.bootable = e.BootIndicator() == 0x80;
    lines.push_back(d);
  }
  std::sort(lines.begin(), lines.end(),
            [](const DumpLine& a, const DumpLine& b) { return a.number < b.number; });
  return lines;
}

class SfdiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!MbrTest::HaveSfdisk()) GTEST_SKIP() << "no sfdisk";
  }
  std::string Image(const std::string& name) const { return dir_.File(name + ".img"); }

  DiskTest::TempDir dir_;
};

struct ReadCase {
  const char* name;
  std::uint64_t bytes;
  const char* script;
};

const ReadCase kReadCases[] = {
    {"primaries", 3ull << 30,
     "label: dos\nunit: sectors\nstart=2048, size=204800, type=83, bootable\n"
     "start=206848, size=4194304, type=7\nstart=4401152, size=1890304, type=c\n"},
    {"chain", 64ull << 20,
     "label: dos\nunit: sectors\nstart=2048, size=20480, type=83, bootable\n"
     "start=22528, size=80000, type=5\nstart=110000, size=10000, type=c\n"
     "start=24576, size=10240, type=7\nstart=36864, size=10240, type=17\n"
     "start=49152, size=20000, type=b\n"},
    {"lba extended, four slots", 256ull << 20,
     "label: dos\nunit: sectors\nstart=2048, size=8192, type=1\nstart=10240, size=8192, type=16\n"
     "start=18432, size=8192, type=4\nstart=26624, size=409600, type=f\n"
     "start=28672, size=16384, type=83, bootable\nstart=47104, size=16384, type=82\n"
     "start=65536, size=16384, type=1c\nstart=83968, size=16384, type=8e\n"},
    {"logical only", 32ull << 20,
     "label: dos\nunit: sectors\nstart=4096, size=40000, type=5\nstart=6144, size=30000, type=6\n"},
    {"empty table", 8ull << 20, "label: dos\nunit: sectors\n"},
};

TEST_F(SfdiskTest, ReadsWhatSfdiskWrote) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.name);
    const std::string path = Image(c.name);
    ASSERT_TRUE(MbrTest::MakeSfdiskImage(path, c.bytes, c.script));
    DiskTest::ImageDisk disk(path, 512);
    MbrDisk model(disk);
    ASSERT_FALSE(model.Load());
    const std::vector<DumpLine> before = MbrTest::SfdiskDump(path);
    EXPECT_EQ(ModelDump(model), before);
    // Loading may move an EBR that lies far from its partition, but what is
    // written keeps every partition where it was.
    model.Commit();
    std::string report;
    EXPECT_TRUE(MbrTest::SfdiskVerify(path, &report)) << report;
    EXPECT_EQ(MbrTest::SfdiskDump(path), before);
  }
}

// The CHS fields the model computes for a position are the ones sfdisk
// wrote for it.
TEST_F(SfdiskTest, ChsFieldsAsSfdiskWritesThem) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.name);
    const std::string path = Image(c.name);
    ASSERT_TRUE(MbrTest::MakeSfdiskImage(path, c.bytes, c.script));
    DiskTest::ImageDisk disk(path, 512);
    MbrDisk model(disk);
    ASSERT_FALSE(model.Load());
    for (const MbrEntry& e : model.Entries()) {
      if (e.first == 0) continue;
      MbrEntry copy = e;
      copy.SetPosition(e.first, e.RelativeFirst(), e.size);
      const std::uint8_t* a = e.image.data();
      const std::uint8_t* b = copy.image.data();
      EXPECT_TRUE(std::equal(a + 1, a + 4, b + 1) && std::equal(a + 5, a + 8, b + 5))
          << "entry at " << e.first;
    }
  }
}

// Partitions the model creates on a blank disk are what sfdisk reads back,
// and sfdisk finds nothing wrong with the tables.
TEST_F(SfdiskTest, WrittenTablesPassSfdisk) {
  const std::string path = Image("written");
  ASSERT_TRUE(MbrTest::MakeSfdiskImage(path, 512ull << 20, ""));
  {
    DiskTest::ImageDisk disk(path, 512);
    MbrDisk model(disk);
    model.InitEmpty();
    const std::uint64_t cyl = 16065;
    model.CreatePartition(63, 2 * cyl, true, 0x07, true, true);
    model.CreatePartition(10 * cyl, 5 * cyl, false, 0x83, true, true);
    model.CreatePartition(4 * cyl, 3 * cyl, false, 0x0B, true, true);   // before the first EBR
    model.CreatePartition(20 * cyl, 4 * cyl, false, 0x07, true, true);  // at the end
    model.CreatePartition(16 * cyl, 2 * cyl, false, 0x82, true, true);  // between links
    model.CreatePartition(28 * cyl, 3 * cyl, true, 0x0C, true, true);
    model.SetBootIndicator(63, 0x80);
    model.SetHiddenModeAt(4 * cyl + 63, Fdisk::Mbr::kHiddenFlag);
    model.Commit();
  }
  std::string report;
  EXPECT_TRUE(MbrTest::SfdiskVerify(path, &report)) << report;
  const std::uint64_t cyl = 16065;
  const std::vector<DumpLine> expected = {
      {1, 63, 2 * cyl - 63, 0x07, true},
      {2, 4 * cyl, 20 * cyl, 0x05, false},
      {3, 28 * cyl, 3 * cyl, 0x0B, false},  // inside the CHS limit: the CHS form
      {5, 4 * cyl + 63, 3 * cyl - 63, 0x1B, false},
      {6, 10 * cyl + 63, 5 * cyl - 63, 0x83, false},
      {7, 16 * cyl + 63, 2 * cyl - 63, 0x82, false},
      {8, 20 * cyl + 63, 4 * cyl - 63, 0x07, false},
  };
  EXPECT_EQ(MbrTest::SfdiskDump(path), expected);

  // Reading it again gives the same model, hidden mode included.
  DiskTest::ImageDisk disk(path, 512);
  MbrDisk model(disk);
  ASSERT_FALSE(model.Load());
  const MbrEntry* hidden = model.FindByStart(4 * cyl + 63);
  ASSERT_NE(hidden, nullptr);
  EXPECT_EQ(hidden->mode, Fdisk::Mbr::kHiddenFlag);
  EXPECT_EQ(hidden->type, 0x0B);
}

// Deleting logicals relinks the chain; sfdisk checks every step.
// An extended partition with three logicals, and how sfdisk lists it once
// one of them (or its EBR) is gone: the extended partition shrinks to what
// is left.
const char* const kThreeLogicals =
    "label: dos\nunit: sectors\nstart=2048, size=100000, type=5\n"
    "start=4096, size=10000, type=83\nstart=16384, size=10000, type=7\n"
    "start=28672, size=10000, type=b\n";
const std::vector<DumpLine> kWithoutFirst = {
    {1, 16065, 22607, 0x05, false}, {5, 16384, 10000, 0x07, false},
    {6, 28672, 10000, 0x0B, false}};
const std::vector<DumpLine> kWithoutMiddle = {
    {1, 2048, 100000, 0x05, false}, {5, 4096, 10000, 0x83, false},
    {6, 28672, 10000, 0x0B, false}};
const std::vector<DumpLine> kWithoutLast = {
    {1, 2048, 24336, 0x05, false}, {5, 4096, 10000, 0x83, false},
    {6, 16384, 10000, 0x07, false}};

TEST_F(SfdiskTest, DeletionsKeepTheChainSound) {
  struct Case {
    const char* what;
    std::uint64_t start;
    std::vector<DumpLine> after;
  };
  const Case cases[] = {
      {"first logical", 4096, kWithoutFirst},
      {"middle logical", 16384, kWithoutMiddle},
      {"last logical", 28672, kWithoutLast},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Image("delete");
    ASSERT_TRUE(MbrTest::MakeSfdiskImage(path, 64ull << 20, kThreeLogicals));
    {
      DiskTest::ImageDisk disk(path, 512);
      MbrDisk model(disk);
      ASSERT_FALSE(model.Load());
      model.DeletePartition(c.start);
      model.Commit();
    }
    std::string report;
    EXPECT_TRUE(MbrTest::SfdiskVerify(path, &report)) << report;
    EXPECT_EQ(MbrTest::SfdiskDump(path), c.after);
  }
  // All three: the extended partition leaves the MBR.
  const std::string path = Image("delete-all");
  ASSERT_TRUE(MbrTest::MakeSfdiskImage(path, 64ull << 20, kThreeLogicals));
  {
    DiskTest::ImageDisk disk(path, 512);
    MbrDisk model(disk);
    ASSERT_FALSE(model.Load());
    for (std::uint64_t s : {16384u, 4096u, 28672u}) model.DeletePartition(s);
    model.Commit();
  }
  EXPECT_TRUE(MbrTest::SfdiskDump(path).empty());
}

// Loading changes nothing; the repair drops an EBR whose logical is gone.
TEST_F(SfdiskTest, NormalizeDropsEmptyEbrsLoadingKeepsThem) {
  struct Case {
    const char* what;
    std::uint64_t ebr;  // whose slot 0 is wiped
    std::vector<DumpLine> after;
  };
  const Case cases[] = {
      {"primary extended", 2048, kWithoutFirst},
      {"middle link", 14336, kWithoutMiddle},
      {"last link", 26624, kWithoutLast},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Image("empty-ebr");
    ASSERT_TRUE(MbrTest::MakeSfdiskImage(path, 64ull << 20, kThreeLogicals));
    {
      DiskTest::ImageDisk disk(path, 512);
      std::uint8_t sector[512];
      ASSERT_FALSE(disk.Io(Fdisk::kIoRead, c.ebr, sector, 1));
      ASSERT_NE(sector[446 + 4], 0) << "sfdisk put the EBR elsewhere";
      std::memset(sector + 446, 0, 16);
      ASSERT_FALSE(disk.Io(Fdisk::kIoWrite, c.ebr, sector, 1));
      MbrDisk model(disk);
      ASSERT_FALSE(model.Load());
      disk.ResetCounters();
      model.Commit();
      EXPECT_EQ(disk.Counters().writes, 0u) << "a table merely read was written";
      model.Normalize();
      model.Commit();
    }
    std::string report;
    EXPECT_TRUE(MbrTest::SfdiskVerify(path, &report)) << report;
    EXPECT_EQ(MbrTest::SfdiskDump(path), c.after);
  }
}

// Moving, resizing and turning logicals into primaries and back, each
// checked by sfdisk.
TEST_F(SfdiskTest, MovesAndConversionsPassSfdisk) {
  const std::uint64_t cyl = 16065;
  struct Case {
    const char* what;
    std::function<void(MbrDisk&)> change;
  };
  const Case cases[] = {
      {"move a primary", [&](MbrDisk& m) {
         std::uint64_t f = 40 * cyl, s = 2 * cyl;
         m.MovePartition(cyl, f, s);
       }},
      {"grow a logical", [&](MbrDisk& m) {
         std::uint64_t f = 10 * cyl, s = 6 * cyl;
         m.MovePartition(10 * cyl + 63, f, s);
       }},
      {"logical to primary", [&](MbrDisk& m) { m.SetPrimary(10 * cyl + 63, true); }},
      {"primary to logical", [&](MbrDisk& m) { m.SetPrimary(cyl, false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Image("moves");
    ASSERT_TRUE(MbrTest::MakeSfdiskImage(path, 512ull << 20, ""));
    {
      DiskTest::ImageDisk disk(path, 512);
      MbrDisk model(disk);
      model.InitEmpty();
      model.CreatePartition(cyl, 3 * cyl, true, 0x07, true, true);
      model.CreatePartition(10 * cyl, 4 * cyl, false, 0x83, true, true);
      model.CreatePartition(20 * cyl, 4 * cyl, false, 0x83, true, true);
      c.change(model);
      model.Commit();
    }
    std::string report;
    EXPECT_TRUE(MbrTest::SfdiskVerify(path, &report)) << report;
    EXPECT_EQ(MbrTest::SfdiskDump(path).size(), 4u);
  }
}
#endif  // !_WIN32

// --- Hand-made sectors: loading rules and malformed chains -------------------------

class HandMadeTest : public ::testing::Test {
 protected:
  HandMadeTest() : disk_(8 * 16065) {}
  std::uint8_t* S(std::uint64_t n) { return disk_.Sector(n); }
  MemoryDisk disk_;
};

TEST_F(HandMadeTest, LoadErrors) {
  {
    MbrDisk model(disk_);
    EXPECT_EQ(CodeOf(model.Load()), Fdisk::Mbr::kErrNoMbr) << "no signature";
  }
  Sign(S(0));
  PutEntry(S(0), 0, 0x05, 16065, 100000);
  {
    MbrDisk model(disk_);
    EXPECT_EQ(CodeOf(model.Load()), Fdisk::Mbr::kErrTableCorrupt) << "EBR without signature";
  }
  PutEntry(S(0), 0, 0x05, 0xFFFFFF00u, 100000);
  {
    MbrDisk model(disk_);
    const Common::Error e = model.Load();
    EXPECT_EQ(CodeOf(e), Fdisk::Mbr::kErrReadTable) << "EBR outside the disk";
    EXPECT_EQ(CodeOf(Common::GetErrorCause(e)), Fdisk::kErrInvalidIo);
  }
}

TEST(MbrLoad, UnreadableSectorZero) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("d.img");
  DiskTest::ImageDisk::CreateImage(path, 1 << 20);
  DiskTest::ImageDisk disk(path, 512);
  disk.FailRange(Fdisk::kIoRead, 0, 1);
  MbrDisk model(disk);
  EXPECT_EQ(CodeOf(model.Load()), Fdisk::Mbr::kErrReadMbr);
}

// Links that point back into the chain or at sector 0 end the walk.
TEST_F(HandMadeTest, LoopingChainsEnd) {
  Sign(S(0));
  PutEntry(S(0), 0, 0x05, 16065, 10 * 16065);
  Sign(S(16065));
  PutEntry(S(16065), 0, 0x83, 63, 16065 - 63);
  PutEntry(S(16065), 1, 0x05, 16065, 16065);  // the next EBR...
  Sign(S(32130));
  PutEntry(S(32130), 0, 0x07, 63, 16065 - 63);
  PutEntry(S(32130), 1, 0x05, 0, 16065);      // ...links back to the first
  PutEntry(S(0), 3, 0x83, 0, 100);            // a partition over the MBR itself
  MbrDisk model(disk_);
  ASSERT_FALSE(model.Load());
  std::vector<std::uint64_t> firsts;
  for (const MbrEntry& e : model.Entries()) firsts.push_back(e.first);
  EXPECT_EQ(firsts, (std::vector<std::uint64_t>{0, 16065, 16128, 32130, 32193}));
  const MbrEntry* second = model.FindByStart(32193);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->numbers[0], 5);
}

// What only looks like a table (a sector ending in 0xAA55) is not one the
// driver takes: a boot flag other than 0 and 0x80, a partition past the
// disk, two partitions sharing sectors.
TEST_F(HandMadeTest, OnlySaneTablesAreTaken) {
  struct Case {
    const char* what;
    std::function<void(std::uint8_t*)> damage;  // on sector 0
    bool sane;
  };
  const std::uint64_t disk = 8 * 16065;
  const Case cases[] = {
      {"two primaries apart", [](std::uint8_t*) {}, true},
      {"boot flag 0x12", [](std::uint8_t* s0) { s0[446] = 0x12; }, false},
      {"past the disk",
       [disk](std::uint8_t* s0) { PutEntry(s0, 2, 0x83, disk - 10, 20); }, false},
      {"overlapping", [](std::uint8_t* s0) { PutEntry(s0, 2, 0x83, 16065 + 100, 50); },
       false},
      {"protective entry longer than the disk",
       [](std::uint8_t* s0) {
         std::memset(s0 + 446, 0, 64);
         PutEntry(s0, 0, 0xEE, 1, 0xFFFFFFFFu);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::memset(S(0), 0, 512);
    Sign(S(0));
    PutEntry(S(0), 0, 0x07, 16065, 16065);
    PutEntry(S(0), 1, 0x83, 3 * 16065, 16065);
    c.damage(S(0));
    MbrDisk model(disk_);
    ASSERT_FALSE(model.Load());
    EXPECT_EQ(Fdisk::Mbr::IsSaneTable(model), c.sane);
  }
}

// An EBR far in front of its partition is shown where it is; the repair
// moves it up to the partition's cylinder, the relative fields follow, the
// partition stays.
TEST_F(HandMadeTest, FarEbrMovesToItsPartition) {
  Sign(S(0));
  PutEntry(S(0), 1, 0x05, 2 * 16065, 6 * 16065);
  Sign(S(2 * 16065));
  PutEntry(S(2 * 16065), 0, 0x83, 2 * 16065 + 63, 2 * 16065 - 63);
  MbrDisk model(disk_);
  ASSERT_FALSE(model.Load());
  ASSERT_NE(model.FindHolder(2 * 16065), nullptr);
  model.Normalize();
  const MbrEntry* x = model.FindHolder(4 * 16065);
  ASSERT_NE(x, nullptr);
  EXPECT_TRUE(x->inMbr);
  EXPECT_EQ(x->size, 4u * 16065);
  const MbrEntry* logical = model.FindByStart(4 * 16065 + 63);
  ASSERT_NE(logical, nullptr);
  EXPECT_EQ(logical->RelativeFirst(), 63u);
  EXPECT_EQ(logical->OnDiskType(), 0x83);
  model.Commit();
  EXPECT_EQ(Common::LoadLe32(S(0) + 446 + 16 + 8), 4u * 16065);
  EXPECT_EQ(Common::LoadLe32(S(0) + 446 + 16 + 12), 4u * 16065);
  EXPECT_EQ(S(4 * 16065)[510], 0x55);
  EXPECT_EQ(Common::LoadLe32(S(4 * 16065) + 446 + 8), 63u);
  MbrDisk again(disk_);
  ASSERT_FALSE(again.Load());
  EXPECT_NE(again.FindByStart(4 * 16065 + 63), nullptr);
}

TEST_F(HandMadeTest, HiddenTypes) {
  struct Case {
    const char* what;
    std::uint8_t onDisk;
    bool record;
    std::uint8_t saved;
    Fdisk::Mbr::HiddenMode mode;
    int type;
  };
  const Case cases[] = {
      {"0xBB with a valid record", 0xBB, true, 0x83, Fdisk::Mbr::kHiddenFlag, 0x83},
      {"0xBB with an invalid record", 0xBB, false, 0x83, Fdisk::Mbr::kHiddenNone, 0xBB},
      {"0 with a valid record", 0x00, true, 0x82, Fdisk::Mbr::kHiddenZeroType, 0x82},
      {"hidden NTFS", 0x17, false, 0, Fdisk::Mbr::kHiddenFlag, 0x07},
      {"hidden FAT32 LBA", 0x1C, false, 0, Fdisk::Mbr::kHiddenFlag, 0x0C},
      {"0x13 is no hidden type", 0x13, false, 0, Fdisk::Mbr::kHiddenNone, 0x13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryDisk disk(8 * 16065);
    std::uint8_t* s0 = disk.Sector(0);
    Sign(s0);
    PutEntry(s0, 0, 0x05, 16065, 4 * 16065);
    std::uint8_t* ebr = disk.Sector(16065);
    Sign(ebr);
    PutEntry(ebr, 0, c.onDisk, 63, 16065);
    if (c.record) PutRecord(ebr, 0, c.saved);
    if (!c.record && c.saved != 0) {
      PutRecord(ebr, 0, c.saved);
      ebr[426 + 11] ^= 1;  // checksum off
    }
    MbrDisk model(disk);
    ASSERT_FALSE(model.Load());
    const MbrEntry* e = model.FindByStart(16128);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->mode, c.mode);
    EXPECT_EQ(e->type, c.type);
    EXPECT_EQ(e->OnDiskType(), c.onDisk);
  }
}

TEST_F(HandMadeTest, NumbersOfPrimariesLogicalsAndZeroTypeEntries) {
  Sign(S(0));
  PutEntry(S(0), 0, 0x07, 63, 16002);
  PutEntry(S(0), 2, 0x05, 2 * 16065, 3 * 16065);
  PutEntry(S(0), 3, 0x83, 6 * 16065, 16065);
  Sign(S(2 * 16065));
  PutEntry(S(2 * 16065), 0, 0x00, 63, 16002);  // hidden as type 0
  PutRecord(S(2 * 16065), 0, 0x07);
  PutEntry(S(2 * 16065), 1, 0x05, 16065, 16065);
  Sign(S(3 * 16065));
  PutEntry(S(3 * 16065), 0, 0x0B, 63, 16002);
  MbrDisk model(disk_);
  ASSERT_FALSE(model.Load());
  struct Want {
    std::uint64_t first;
    std::array<std::int32_t, 3> numbers;
  };
  const Want wants[] = {
      {63, {1, 1, 1}},
      {6 * 16065, {4, 3, 3}},
      {2 * 16065 + 63, {1, 0, 0}},  // in the first EBR (numbered like a primary), type 0
      {3 * 16065 + 63, {5, 2, 2}},
  };
  for (const Want& w : wants) {
    const MbrEntry* e = model.FindByStart(w.first);
    ASSERT_NE(e, nullptr) << w.first;
    EXPECT_EQ(e->numbers, w.numbers) << w.first;
  }
}

// Writing sector 0 keeps the boot code and the disk signature.
TEST_F(HandMadeTest, WritingKeepsBootCode) {
  for (int i = 0; i < 446; ++i) S(0)[i] = std::uint8_t(i * 7 + 1);
  Sign(S(0));
  std::vector<std::uint8_t> before(S(0), S(0) + 512);
  MbrDisk model(disk_);
  ASSERT_FALSE(model.Load());
  model.CreatePartition(16065, 2 * 16065, true, 0x07, true, true);
  model.Commit();
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 426, S(0)));
  EXPECT_TRUE(std::equal(before.begin() + 440, before.begin() + 446, S(0) + 440));
  EXPECT_EQ(S(0)[446 + 4], 0x07);
  EXPECT_EQ(S(0)[510], 0x55);
}

TEST_F(HandMadeTest, WriteFailuresAreThrownWithTheirCause) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("w.img");
  DiskTest::ImageDisk::CreateImage(path, 64ull * 16065 * 512);
  DiskTest::ImageDisk disk(path, 512);
  MbrDisk model(disk);
  model.InitEmpty();
  model.CreatePartition(2 * 16065, 4 * 16065, false, 0x83, true, true);
  disk.FailRange(Fdisk::kIoWrite, 0, 1);
  EXPECT_EQ(ThrownCode([&] { model.Commit(); }), Fdisk::Mbr::kErrWriteTable);
  disk.ClearFailures();
  disk.FailRange(Fdisk::kIoWrite, 2 * 16065, 1);
  model.CreatePartition(63, 16002, true, 0x07, true, true);
  MbrDisk again(model);
  EXPECT_EQ(ThrownCode([&] { again.Commit(); }), Fdisk::Mbr::kErrWriteTable);
}

}  // namespace
