// The commit cut short by a failing write, seen by the next scan, and the
// choice of disks for a volume whose caller named none.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "disktest/test_disk.h"
#include "fdisk/simple_disk.h"
#include "ldm/group.h"

#if !defined(_WIN32)
#include "disktest/image_disk.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#endif

namespace {

// --- allocation ---------------------------------------------------------------

struct Share {
  int disk;  // index into the case's disks
  std::uint64_t size;
  std::uint32_t plex;
  std::uint32_t column;
};

struct AllocationCase {
  const char* what;
  std::uint32_t type;
  std::uint64_t size;
  std::uint32_t mirrors;
  std::uint32_t stripe;
  std::uint32_t strategy;
  std::vector<std::uint64_t> free;  // per disk, in member order
  std::vector<Share> want;          // empty: refused with 0x109017
};

class AllocationTest : public ::testing::TestWithParam<AllocationCase> {};

TEST_P(AllocationTest, ChoosesTheDisksAndShares) {
  const AllocationCase& c = GetParam();
  Ldm::LdmComputer computer;
  std::vector<std::unique_ptr<Ldm::LdmDisk>> disks;
  for (std::size_t i = 0; i < c.free.size(); ++i) {
    auto d = std::make_unique<Ldm::LdmDisk>(nullptr, &computer);
    d->type = Ldm::kDiskDynamic;
    d->rid = 100 + i;
    // Two regions, so that the totals are sums.
    d->freeSpace = {Ldm::Region{1000, c.free[i] / 2}, Ldm::Region{50000, c.free[i] - c.free[i] / 2}};
    disks.push_back(std::move(d));
  }
  Ldm::LdmDgAccess group(*disks.front(), &computer);
  // Members are listed newest first.
  for (auto it = disks.rbegin(); it != disks.rend(); ++it) group.AddMember(it->get());
  std::vector<Ldm::SpaceRequest> out;
  const Common::Error e =
      group.AllocateVolumeSpace(c.type, c.size, c.mirrors, c.stripe, {}, c.strategy, out);
  if (c.want.empty()) {
    EXPECT_EQ(Common::GetErrorCode(e), 0x109017u);
    EXPECT_TRUE(out.empty());
    return;
  }
  ASSERT_FALSE(e) << Common::GetErrorCode(e);
  ASSERT_EQ(out.size(), c.want.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].disk, 100u + c.want[i].disk) << i;
    EXPECT_EQ(out[i].size, c.want[i].size) << i;
    EXPECT_EQ(out[i].plexIndex, c.want[i].plex) << i;
    EXPECT_EQ(out[i].columnIndex, c.want[i].column) << i;
  }
}

using Fdisk::kLdmVolMirrored;
using Fdisk::kLdmVolRaid01;
using Fdisk::kLdmVolRaid5;
using Fdisk::kLdmVolSimple;
using Fdisk::kLdmVolSpanned;
using Fdisk::kLdmVolStriped;

INSTANTIATE_TEST_SUITE_P(
    Cases, AllocationTest,
    ::testing::Values(
        AllocationCase{"simple_first", kLdmVolSimple, 300, 1, 0, 4, {200, 900, 400}, {{1, 300, 0, 0}}},
        AllocationCase{"simple_best_fit", kLdmVolSimple, 300, 1, 0, 5, {200, 900, 400}, {{2, 300, 0, 0}}},
        AllocationCase{"spanned_fits_on_largest", kLdmVolSpanned, 800, 1, 0, 4, {500, 900, 300},
                       {{0, 0, 0, 0}, {1, 800, 0, 0}}},
        AllocationCase{"spanned_largest_first", kLdmVolSpanned, 1200, 1, 0, 4, {500, 900, 300},
                       {{0, 300, 0, 0}, {1, 900, 0, 0}}},
        AllocationCase{"spanned_even_spread", kLdmVolSpanned, 1000, 1, 0, 6, {200, 600, 900},
                       {{0, 200, 0, 0}, {1, 400, 0, 0}, {2, 400, 0, 0}}},
        AllocationCase{"spanned_too_little", kLdmVolSpanned, 2000, 1, 0, 4, {200, 600, 900}, {}},
        AllocationCase{"striped_least_columns", kLdmVolStriped, 1000, 1, 128, 4, {600, 600, 300},
                       {{0, 512, 0, 0}, {1, 512, 0, 1}}},
        AllocationCase{"striped_spread_falls_back", kLdmVolStriped, 1000, 1, 128, 6,
                       {600, 600, 300}, {{0, 512, 0, 0}, {1, 512, 0, 1}}},
        AllocationCase{"striped_spread_all", kLdmVolStriped, 1000, 1, 128, 6, {600, 600, 400},
                       {{0, 384, 0, 0}, {1, 384, 0, 1}, {2, 384, 0, 2}}},
        AllocationCase{"striped_best_fit_drops_largest", kLdmVolStriped, 1000, 1, 128, 5,
                       {900, 600, 600}, {{1, 512, 0, 0}, {2, 512, 0, 1}}},
        AllocationCase{"striped_stripe_zero", kLdmVolStriped, 1000, 1, 0, 4, {600, 600, 300}, {}},
        AllocationCase{"raid5_columns", kLdmVolRaid5, 1000, 1, 128, 4, {600, 600, 600},
                       {{0, 512, 0, 0}, {1, 512, 0, 1}, {2, 512, 0, 2}}},
        AllocationCase{"raid5_two_disks", kLdmVolRaid5, 1000, 1, 128, 4, {900, 900}, {}},
        AllocationCase{"mirror_two_plexes", kLdmVolMirrored, 500, 1, 0, 4, {600, 400, 700},
                       {{0, 500, 0, 0}, {2, 500, 1, 0}}},
        AllocationCase{"mirror_best_fit", kLdmVolMirrored, 500, 1, 0, 5, {900, 600, 700},
                       {{1, 500, 0, 0}, {2, 500, 1, 0}}},
        AllocationCase{"raid01_four_disks", kLdmVolRaid01, 1000, 1, 128, 4, {600, 600, 600, 600},
                       {{0, 512, 0, 0}, {1, 512, 0, 1}, {2, 512, 1, 0}, {3, 512, 1, 1}}},
        AllocationCase{"raid01_three_disks", kLdmVolRaid01, 1000, 1, 128, 4, {900, 900, 900}, {}},
        AllocationCase{"unknown_layout", 9, 1000, 1, 128, 4, {900, 900, 900}, {}}),
    [](const ::testing::TestParamInfo<AllocationCase>& info) { return std::string(info.param.what); });

TEST(AllocationGiven, EntriesAreCopiedAndEachMustNameADisk) {
  Ldm::LdmComputer computer;
  Ldm::LdmDisk disk(nullptr, &computer);
  Ldm::LdmDgAccess group(disk, &computer);
  std::vector<Ldm::SpaceRequest> given(2);
  given[0].disk = 7;
  given[0].size = 5;
  given[1].disk = 9;
  given[1].windowStart = 11;
  std::vector<Ldm::SpaceRequest> out;
  ASSERT_FALSE(group.AllocateVolumeSpace(kLdmVolSimple, 100, 1, 0, given, 4, out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].disk, 7u);
  EXPECT_EQ(out[1].windowStart, 11u);
  given[1].disk = 0;
  EXPECT_EQ(Common::GetErrorCode(group.AllocateVolumeSpace(kLdmVolSimple, 100, 1, 0, given, 4, out)),
            0x109017u);
}

// --- a commit cut short ---------------------------------------------------

#if !defined(_WIN32)

struct Loaded {
  std::vector<std::unique_ptr<DiskTest::TestDisk>> disks;
  std::vector<DiskTest::ImageDisk*> images;
  Ldm::LdmComputer computer;

  explicit Loaded(const std::vector<std::string>& paths) {
    Fdisk::DiskMap map;
    for (const std::string& p : paths) {
      auto image = std::make_unique<DiskTest::ImageDisk>(p, 512);
      images.push_back(image.get());
      disks.push_back(std::make_unique<DiskTest::TestDisk>(std::move(image)));
      map[disks.back()->GetId()] = disks.back().get();
    }
    Ldm::LdmStartInit(map, computer);
  }
  Ldm::LdmDgAccess& Group() { return *computer.groups.front(); }
  Ldm::LdmDisk& Member(std::size_t i) {
    for (auto& d : computer.disks) {
      if (d->modelDisk == disks[i].get()) return *d;
    }
    throw std::runtime_error("no such member");
  }
};

struct CutCase {
  std::size_t failingMember;
  std::uint64_t sector;  // of that member
  std::size_t volumesAfter;
};

class CutCommitTest : public ::testing::TestWithParam<CutCase> {};

// Without the disk model's journal to put the sectors back, a commit whose
// write fails returns the error, and the member it was writing reads as
// inconsistent: the next scan takes its database from a member it had
// finished, or from one it had not started, never half of one.
TEST_P(CutCommitTest, NextScanReportsTheMemberInconsistent) {
  const CutCase& c = GetParam();
  DiskTest::TempDir dir;
  int status = -1;
  const std::vector<std::string> paths = DiskTest::Lines(DiskTest::RunCommand(
      std::string("python3 ") + LDM_FIXTURE_TOOL + " build spanned " + dir.Path(), &status));
  ASSERT_EQ(status, 0);
  ASSERT_EQ(paths.size(), 2u);
  {
    Loaded model(paths);
    Ldm::LdmDgAccess& group = model.Group();
    ASSERT_EQ(group.volumes.size(), 1u);
    std::vector<Ldm::SpaceRequest> entries(1);
    entries[0].disk = model.Member(0).rid;
    ASSERT_FALSE(group.CreateVolume(Fdisk::kLdmVolSimple, 100, 1, 0, entries, 7, nullptr));
    model.images[c.failingMember]->FailRange(Fdisk::kIoWrite, c.sector, 1);
    const Common::Error e = group.CommitDatabase();
    EXPECT_EQ(Common::GetErrorCode(e), 0x109003u);
  }
  Loaded again(paths);
  EXPECT_EQ(again.Member(c.failingMember).dbState, Ldm::kDbInconsistent);
  EXPECT_EQ(again.Member(1 - c.failingMember).dbState, Ldm::kDbValid);
  EXPECT_EQ(again.Group().primary, &again.Member(1 - c.failingMember));
  EXPECT_EQ(again.Group().volumes.size(), c.volumesAfter);
}

// Members of 12288 sectors: PRIVHEAD at 6, TOCBLOCK at 10241, KLOG at
// 11738; the new volume's records land in the slots of sector 10260.
INSTANTIATE_TEST_SUITE_P(Steps, CutCommitTest,
                         ::testing::Values(CutCase{0, 10260, 1}, CutCase{0, 6, 1},
                                           CutCase{0, 10241, 1}, CutCase{0, 11738, 1},
                                           CutCase{1, 10260, 2}, CutCase{1, 11738, 2}));

#endif

}  // namespace
