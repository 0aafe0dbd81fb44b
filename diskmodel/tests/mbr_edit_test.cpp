// Editing the MBR table model: creating, deleting, moving, retyping,
// hiding, activating, converting, and listing partitions and free areas.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fdisk/mbr_table.h"
#include "fixtures/mbr_sfdisk.h"
#include "fixtures/mbr_unordered.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
using Fdisk::Mbr::MbrDisk;
using Fdisk::Mbr::MbrEntry;
namespace Mbr = Fdisk::Mbr;

constexpr std::uint64_t kCyl = 16065;  // sectors per cylinder of the image disks (63 x 255)

// One partition as the listing shows it.
struct Entry {
  std::uint64_t first;
  std::uint64_t size;
  int onDisk;
  bool primary;
  bool operator==(const Entry& o) const {
    return first == o.first && size == o.size && onDisk == o.onDisk && primary == o.primary;
  }
};

std::ostream& operator<<(std::ostream& out, const Entry& p) {
  return out << (p.primary ? "P " : "L ") << p.first << "+" << p.size << " type " << std::hex
             << p.onDisk << std::dec;
}

std::vector<Entry> Partitions(const MbrDisk& model) {
  std::vector<Entry> parts;
  for (const MbrEntry& e : model.ListPortions()) {
    if (!e.IsFree()) parts.push_back({e.first, e.size, e.OnDiskType(), e.inMbr});
  }
  return parts;
}

class EditTest : public ::testing::Test {
 protected:
  // A blank sparse image of `cylinders` cylinders.
  std::unique_ptr<DiskTest::ImageDisk> Blank(std::uint64_t cylinders) {
    const std::string path = dir_.File("edit" + std::to_string(++images_) + ".img");
    DiskTest::ImageDisk::CreateImage(path, cylinders * kCyl * 512);
    return std::make_unique<DiskTest::ImageDisk>(path, 512);
  }

  DiskTest::TempDir dir_;
  int images_ = 0;
};

// Creation: what each request makes, or the error it gives with the model
// left as it was.
TEST_F(EditTest, Creation) {
  struct Create {
    std::uint64_t first;
    std::uint64_t size;
    bool primary;
    int type;
  };
  struct Case {
    const char* what;
    std::vector<Create> before;
    Create request;
    std::uint32_t error;
    std::vector<Entry> after;
    // A disk made by sfdisk to start from instead of a blank one.
    const DiskTest::SparseImage* image = nullptr;
  };
  const Case cases[] = {
      {"primary, both ends aligned", {}, {1, 3 * kCyl, true, 0x07}, 0,
       {{63, 3 * kCyl - 63, 0x07, true}}},
      {"end inside cylinder 0", {}, {63, 1000, true, 0x07}, Mbr::kErrNotAligned, {}},
      {"aligned away to nothing", {}, {kCyl + 5, kCyl - 10, true, 0x07}, Mbr::kErrTooSmall, {}},
      {"overlapping the next partition", {{2 * kCyl, 2 * kCyl, true, 0x83}},
       {kCyl, 2 * kCyl, true, 0x07}, Mbr::kErrCrosses,
       {{2 * kCyl, 2 * kCyl, 0x83, true}}},
      {"first logical makes the extended partition", {{1, 2 * kCyl, true, 0x07}},
       {4 * kCyl, 2 * kCyl, false, 0x83}, 0,
       {{63, 2 * kCyl - 63, 0x07, true}, {4 * kCyl + 63, 2 * kCyl - 63, 0x83, false}}},
      {"logical before the first EBR", {{10 * kCyl, 2 * kCyl, false, 0x83}},
       {4 * kCyl, 2 * kCyl, false, 0x07}, 0,
       {{4 * kCyl + 63, 2 * kCyl - 63, 0x07, false}, {10 * kCyl + 63, 2 * kCyl - 63, 0x83, false}}},
      {"logical between two EBRs",
       {{4 * kCyl, 2 * kCyl, false, 0x83}, {20 * kCyl, 2 * kCyl, false, 0x83}},
       {10 * kCyl, 2 * kCyl, false, 0x0B}, 0,
       {{4 * kCyl + 63, 2 * kCyl - 63, 0x83, false},
        {10 * kCyl + 63, 2 * kCyl - 63, 0x0B, false},
        {20 * kCyl + 63, 2 * kCyl - 63, 0x83, false}}},
      {"four slots taken",
       {{kCyl, kCyl, true, 1}, {2 * kCyl, kCyl, true, 1}, {3 * kCyl, kCyl, true, 1},
        {4 * kCyl, kCyl, true, 1}},
       {6 * kCyl, kCyl, true, 1}, Mbr::kErrSlotsFull,
       {{kCyl, kCyl, 1, true}, {2 * kCyl, kCyl, 1, true}, {3 * kCyl, kCyl, 1, true},
        {4 * kCyl, kCyl, 1, true}}},
      {"a primary inside the extended partition",
       {{4 * kCyl, 2 * kCyl, false, 0x83}, {20 * kCyl, 2 * kCyl, false, 0x83}},
       {10 * kCyl, 2 * kCyl, true, 0x07}, Mbr::kErrCrosses,
       {{4 * kCyl + 63, 2 * kCyl - 63, 0x83, false}, {20 * kCyl + 63, 2 * kCyl - 63, 0x83, false}}},
      {"an extended partition around a primary",
       {{4 * kCyl, 2 * kCyl, false, 0x83}, {10 * kCyl, 2 * kCyl, true, 0x07}},
       {20 * kCyl, 2 * kCyl, false, 0x83}, Mbr::kErrCrosses,
       {{4 * kCyl + 63, 2 * kCyl - 63, 0x83, false}, {10 * kCyl, 2 * kCyl, 0x07, true}}},
      {"over the MBR", {}, {0, 3 * kCyl, false, 0x07}, Mbr::kErrCrosses, {}},
      {"a type the table cannot hold", {}, {kCyl, kCyl, true, 0x100}, Mbr::kErrNotSupported, {}},
      // sfdisk's chain runs 4 -> 30 -> 20 cylinders: the new link belongs
      // in the EBR at 20, the chain's last, not in the highest one at 30.
      {"logical after an out-of-order chain", {}, {44 * kCyl, 2 * kCyl, false, 0x83}, 0,
       {{kCyl, kCyl, 0x07, true},
        {4 * kCyl + 63, 2 * kCyl - 63, 0x83, false},
        {20 * kCyl + 63, 2 * kCyl - 63, 0x0B, false},
        {30 * kCyl + 63, 2 * kCyl - 63, 0x83, false},
        {44 * kCyl + 63, 2 * kCyl - 63, 0x83, false}},
       &kMbrUnordered},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<DiskTest::ImageDisk> disk = c.image ? FixtureDisk(dir_, *c.image) : Blank(64);
    MbrDisk model(*disk);
    if (c.image != nullptr) {
      ASSERT_FALSE(model.Load());
    } else {
      model.InitEmpty();
    }
    for (const Create& b : c.before) model.CreatePartition(b.first, b.size, b.primary, b.type, true, true);
    MbrDisk copy(model);
    const std::uint32_t code = ThrownCode([&] {
      copy.CreatePartition(c.request.first, c.request.size, c.request.primary, c.request.type,
                           true, true);
    });
    EXPECT_EQ(code, c.error);
    EXPECT_EQ(Partitions(code == 0 ? copy : model), c.after);
    if (code != 0) continue;
    copy.Commit();
#if !defined(_WIN32)
    // sfdisk finds every partition of the listing, and the chain sound.
    if (MbrTest::HaveSfdisk()) {
      std::string report;
      EXPECT_TRUE(MbrTest::SfdiskVerify(disk->Path(), &report)) << report;
      const std::vector<MbrTest::DumpLine> dump = MbrTest::SfdiskDump(disk->Path());
      const bool logicals = std::any_of(c.after.begin(), c.after.end(),
                                        [](const Entry& p) { return !p.primary; });
      EXPECT_EQ(dump.size(), c.after.size() + (logicals ? 1 : 0));  // + extended
      for (const Entry& p : c.after) {
        EXPECT_TRUE(std::any_of(dump.begin(), dump.end(), [&p](const MbrTest::DumpLine& d) {
          return d.start == p.first && d.size == p.size && d.type == p.onDisk;
        })) << "sfdisk does not list " << p;
      }
    }
#endif
  }
}

// The extended partition a first logical makes takes slot 1, and its
// logical lies one track behind the EBR.
TEST_F(EditTest, FirstLogicalLayout) {
  auto disk = Blank(64);
  MbrDisk model(*disk);
  model.InitEmpty();
  model.CreatePartition(kCyl, kCyl, true, 0x07, true, true);
  model.CreatePartition(4 * kCyl, 2 * kCyl, false, 0x83, true, true);
  const MbrEntry* x = model.FindHolder(4 * kCyl);
  ASSERT_NE(x, nullptr);
  EXPECT_TRUE(x->inMbr);
  EXPECT_EQ(x->slot, 1);
  EXPECT_EQ(x->size, 2 * kCyl);
  const MbrEntry* logical = model.FindByStart(4 * kCyl + 63);
  ASSERT_NE(logical, nullptr);
  EXPECT_EQ(logical->slot, 0);
  EXPECT_EQ(logical->parent, 4 * kCyl);
  EXPECT_EQ(logical->RelativeFirst(), 63u);
}

// A new EBR before the chain becomes the primary extended partition; the
// old one turns into its link and every link is rebased on it.
TEST_F(EditTest, LogicalBeforeTheChainRebasesIt) {
  auto disk = Blank(64);
  MbrDisk model(*disk);
  model.InitEmpty();
  model.CreatePartition(10 * kCyl, 2 * kCyl, false, 0x83, true, true);
  model.CreatePartition(20 * kCyl, 2 * kCyl, false, 0x83, true, true);
  model.CreatePartition(4 * kCyl, 2 * kCyl, false, 0x07, true, true);
  const MbrEntry* x = model.FindHolder(4 * kCyl);
  const MbrEntry* old = model.FindHolder(10 * kCyl);
  const MbrEntry* last = model.FindHolder(20 * kCyl);
  ASSERT_TRUE(x && old && last);
  EXPECT_TRUE(x->inMbr);
  EXPECT_EQ(x->size, 18 * kCyl);
  EXPECT_FALSE(old->inMbr);
  EXPECT_EQ(old->parent, 4 * kCyl);
  EXPECT_EQ(old->RelativeFirst(), 6 * kCyl);
  EXPECT_EQ(last->RelativeFirst(), 16 * kCyl);
  for (const MbrEntry& e : model.Entries()) {
    if (e.first != 0 && !e.inMbr) {
      EXPECT_EQ(e.extBase, 4 * kCyl) << e.first;
    }
  }
}

// Deletion, moves and conversions, each a case on the same starting layout:
// a hidden primary (loaded as 0x17), an active primary, and three logicals,
// the middle one hidden.
TEST_F(EditTest, ChangesOfExistingPartitions) {
  struct Case {
    const char* what;
    std::function<void(MbrDisk&)> change;
    std::uint32_t error;
    std::vector<Entry> after;
  };
  const std::vector<Entry> start = {
      {63, kCyl - 63, 0x17, true},
      {kCyl, 2 * kCyl, 0x0B, true},
      {10 * kCyl + 63, 2 * kCyl - 63, 0x83, false},
      {14 * kCyl + 63, 2 * kCyl - 63, 0x1B, false},  // 0x0B hidden
      {20 * kCyl + 63, 2 * kCyl - 63, 0x82, false},
  };
  auto move = [](std::uint64_t from, std::uint64_t to, std::uint64_t size) {
    return [=](MbrDisk& m) {
      std::uint64_t f = to, s = size;
      m.MovePartition(from, f, s);
    };
  };
  const Case cases[] = {
      {"delete a primary", [](MbrDisk& m) { m.DeletePartition(kCyl); }, 0,
       {start[0], start[2], start[3], start[4]}},
      {"delete the middle logical", [](MbrDisk& m) { m.DeletePartition(14 * kCyl + 63); }, 0,
       {start[0], start[1], start[2], start[4]}},
      {"delete by a sector inside a partition",
       [](MbrDisk& m) { m.DeletePartition(14 * kCyl + 64); }, Mbr::kErrNotFound, start},
      {"delete by an EBR's sector", [](MbrDisk& m) { m.DeletePartition(14 * kCyl); },
       Mbr::kErrNotFound, start},
      {"move a hidden logical keeps it hidden", move(14 * kCyl + 63, 30 * kCyl, 3 * kCyl), 0,
       {start[0], start[1], start[2], start[4], {30 * kCyl + 63, 3 * kCyl - 63, 0x1B, false}}},
      {"move a hidden primary unhides it", move(63, 40 * kCyl, kCyl), 0,
       {start[1], start[2], start[3], start[4], {40 * kCyl, kCyl, 0x07, true}}},
      {"move an active primary: no longer active", move(kCyl, 50 * kCyl, 2 * kCyl), 0,
       {start[0], start[2], start[3], start[4], {50 * kCyl, 2 * kCyl, 0x0B, true}}},
      {"resize a logical in place", move(20 * kCyl + 63, 20 * kCyl, 4 * kCyl), 0,
       {start[0], start[1], start[2], start[3], {20 * kCyl + 63, 4 * kCyl - 63, 0x82, false}}},
      {"move onto a neighbour", move(20 * kCyl + 63, 13 * kCyl, 4 * kCyl), Mbr::kErrCrosses, {}},
      {"move what is not there", move(5, 30 * kCyl, kCyl), Mbr::kErrNotFound, start},
      {"retype a logical to FAT32 LBA: CHS form",
       [](MbrDisk& m) { m.SetTypeAt(10 * kCyl + 63, 0x0C); }, 0,
       {start[0], start[1], {10 * kCyl + 63, 2 * kCyl - 63, 0x0B, false}, start[3], start[4]}},
      {"retype a primary to FAT16 LBA inside the CHS limit",
       [](MbrDisk& m) { m.SetTypeAt(kCyl, 0x0E); }, 0,
       {start[0], {kCyl, 2 * kCyl, 0x04, true}, start[2], start[3], start[4]}},
      {"retype beyond 255", [](MbrDisk& m) { m.SetTypeAt(kCyl, 0x1FF); }, Mbr::kErrNotSupported,
       start},
      {"hide a logical as type 0", [](MbrDisk& m) {
         m.SetHiddenModeAt(20 * kCyl + 63, Mbr::kHiddenZeroType);
       }, 0, {start[0], start[1], start[2], start[3], {20 * kCyl + 63, 2 * kCyl - 63, 0, false}}},
      {"hide a primary", [](MbrDisk& m) { m.SetHiddenModeAt(kCyl, Mbr::kHiddenFlag); },
       Mbr::kErrCannotHide, start},
      {"logical to primary reuses the EBR's space",
       [](MbrDisk& m) { m.SetPrimary(20 * kCyl + 63, true); }, 0,
       {start[0], start[1], start[2], start[3], {20 * kCyl, 2 * kCyl, 0x82, true}}},
      {"primary to logical", [](MbrDisk& m) { m.SetPrimary(kCyl, false); }, 0,
       {start[0], {kCyl + 63, 2 * kCyl - 63, 0x0B, false}, start[2], start[3], start[4]}},
      {"a middle logical cannot become a primary",
       [](MbrDisk& m) { m.SetPrimary(14 * kCyl + 63, true); }, Mbr::kErrCrosses, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto disk = Blank(64);
    {
      MbrDisk model(*disk);
      model.InitEmpty();
      model.CreatePartition(63, kCyl - 63, true, 0x07, true, true);
      model.CreatePartition(kCyl, 2 * kCyl, true, 0x0B, true, true);
      model.CreatePartition(10 * kCyl, 2 * kCyl, false, 0x83, true, true);
      model.CreatePartition(14 * kCyl, 2 * kCyl, false, 0x0B, true, true);
      model.CreatePartition(20 * kCyl, 2 * kCyl, false, 0x82, true, true);
      model.SetHiddenModeAt(14 * kCyl + 63, Mbr::kHiddenFlag);
      model.SetBootIndicator(kCyl, 0x80);
      model.Commit();
      // A hidden primary can only come from the disk.
      std::uint8_t sector[512];
      ASSERT_FALSE(disk->Io(Fdisk::kIoRead, 0, sector, 1));
      sector[446 + 4] = 0x17;
      ASSERT_FALSE(disk->Io(Fdisk::kIoWrite, 0, sector, 1));
    }
    MbrDisk model(*disk);
    ASSERT_FALSE(model.Load());
    ASSERT_EQ(Partitions(model), start);
    const std::uint32_t code = ThrownCode([&] { c.change(model); });
    EXPECT_EQ(code, c.error);
    if (code != 0 && c.after.empty()) continue;  // a failed move may leave a changed model
    EXPECT_EQ(Partitions(model), c.after);
    if (code != 0) continue;
    // What is written reads back the same, and sfdisk agrees with it.
    model.Commit();
    MbrDisk again(*disk);
    ASSERT_FALSE(again.Load());
    EXPECT_EQ(Partitions(again), c.after);
#if !defined(_WIN32)
    // An entry hidden as type 0 is an empty slot to sfdisk.
    const bool zeroType = std::any_of(c.after.begin(), c.after.end(),
                                      [](const Entry& p) { return p.onDisk == 0; });
    if (MbrTest::HaveSfdisk() && !zeroType) {
      std::string report;
      EXPECT_TRUE(MbrTest::SfdiskVerify(disk->Path(), &report)) << report;
      EXPECT_EQ(MbrTest::SfdiskDump(disk->Path()).size(), c.after.size() + 1);  // + extended
    }
#endif
  }
}

TEST_F(EditTest, ActivationChangesOnlyThatEntry) {
  auto disk = Blank(64);
  MbrDisk model(*disk);
  model.InitEmpty();
  model.CreatePartition(kCyl, kCyl, true, 0x07, true, true);
  model.CreatePartition(2 * kCyl, kCyl, true, 0x07, true, true);
  model.SetBootIndicator(kCyl, 0x80);
  model.SetBootIndicator(2 * kCyl, 0x80);
  model.SetBootIndicator(kCyl, 0x00);
  EXPECT_EQ(model.FindByStart(kCyl)->BootIndicator(), 0x00);
  EXPECT_EQ(model.FindByStart(2 * kCyl)->BootIndicator(), 0x80);
  EXPECT_EQ(ThrownCode([&] { model.SetBootIndicator(3 * kCyl, 0x80); }), Mbr::kErrNotFound);
}

// Partitions that end past the CHS limit take the LBA form of their type.
TEST_F(EditTest, LbaTypesPastTheChsLimit) {
  auto disk = Blank(1100);
  MbrDisk model(*disk);
  model.InitEmpty();
  model.CreatePartition(1000 * kCyl, 50 * kCyl, true, 0x0B, true, true);
  model.CreatePartition(kCyl, 10 * kCyl, true, 0x0C, true, true);
  model.CreatePartition(1060 * kCyl, 20 * kCyl, false, 0x0C, true, true);
  EXPECT_EQ(model.FindByStart(1000 * kCyl)->OnDiskType(), 0x0C);
  EXPECT_EQ(model.FindByStart(kCyl)->OnDiskType(), 0x0B);
  EXPECT_EQ(model.FindByStart(1060 * kCyl + 63)->OnDiskType(), 0x0B) << "logicals: CHS form";
  EXPECT_EQ(model.FindHolder(1060 * kCyl)->OnDiskType(), 0x0F);
#if !defined(_WIN32)
  if (MbrTest::HaveSfdisk()) {
    model.Commit();
    std::string report;
    EXPECT_TRUE(MbrTest::SfdiskVerify(disk->Path(), &report)) << report;
    EXPECT_EQ(MbrTest::SfdiskDump(disk->Path()).size(), 4u);
  }
#endif
}

// A disk past 2 TiB: what the 32-bit fields cannot hold is refused, not
// cut down.
TEST(MbrEditLimits, PositionsPastThirtyTwoBits) {
  struct HugeDisk : Fdisk::SimpleDisk {
    HugeDisk() {
      sectorSize_ = 512;
      lastSector_ = (std::uint64_t(1) << 33) - 1;
      geometry_ = {63, 254, (lastSector_ + 1) / kCyl};
    }
    Common::Error Io(std::uint32_t, std::uint64_t, void*, std::uint64_t) override {
      return Fdisk::Error(1, 1, Fdisk::kErrInvalidIo);
    }
  };
  HugeDisk disk;
  MbrDisk model(disk);
  model.InitEmpty();
  const std::uint64_t past = (std::uint64_t(1) << 32) / kCyl * kCyl + kCyl;
  EXPECT_EQ(ThrownCode([&] { model.CreatePartition(past, 10 * kCyl, true, 7, true, true); }),
            Mbr::kErrNotSupported);
  EXPECT_EQ(ThrownCode([&] {
              model.CreatePartition(kCyl, (std::uint64_t(1) << 32) + 2 * kCyl, true, 7, true, true);
            }),
            Mbr::kErrNotSupported);
  EXPECT_TRUE(Partitions(model).empty());
  // Below the limit an LBA type is chosen.
  EXPECT_EQ(ThrownCode([&] { model.CreatePartition(kCyl, 2000 * kCyl, true, 0x07, true, true); }), 0u);
  EXPECT_EQ(ThrownCode([&] {
              model.CreatePartition(past - 20 * kCyl, 10 * kCyl, true, 0x0B, true, true);
            }),
            0u);
  EXPECT_EQ(model.FindByStart(past - 20 * kCyl)->OnDiskType(), 0x0C);
}

TEST_F(EditTest, ListingFreeAreas) {
  auto disk = Blank(64);
  MbrDisk model(*disk);
  model.InitEmpty();
  auto areas = [&] {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (const MbrEntry& e : model.ListPortions()) {
      if (e.IsFree()) out.push_back({e.first, e.Last()});
    }
    return out;
  };
  using Areas = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  // An empty disk: from the first track to the last whole cylinder.
  EXPECT_EQ(areas(), (Areas{{63, 64 * kCyl - 1}}));
  model.CreatePartition(10 * kCyl, 2 * kCyl, true, 0x07, true, true);
  model.CreatePartition(20 * kCyl, 2 * kCyl, false, 0x07, true, true);
  EXPECT_EQ(areas(), (Areas{{63, 10 * kCyl - 1}, {12 * kCyl, 20 * kCyl - 1},
                            {22 * kCyl, 64 * kCyl - 1}}));
  // A partition in cylinder 0 leaves no free area before it.
  model.CreatePartition(2048, kCyl - 2048, true, 0x07, false, true);
  EXPECT_EQ(areas().front(), (std::pair<std::uint64_t, std::uint64_t>{kCyl, 10 * kCyl - 1}));
}

}  // namespace
