// Plex resynchronisation and parity recalculation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "data/dm_test_kit.h"
#include "fdisk/dm_raid.h"
#include "fdisk/dm_repair.h"
#include "foundation/sync.h"

namespace {

using namespace DmTest;
namespace DM = Fdisk::DM;
using Fdisk::kIoRead;
using Fdisk::kIoWrite;

// Plexes of one simple column each, plex i on disk i + 1 (`sectors` long).
struct Mirrors {
  Mirrors(int count, std::uint64_t sectors) {
    for (int i = 0; i < count; ++i) {
      plexes.push_back(v.AddPlex(DM::kPlexSimple));
      v.AddExtent(plexes.back(), 0, v.AddDisk(sectors), 0, sectors);
    }
  }
  bool NoIo() {
    for (std::size_t d = 1; d <= plexes.size(); ++d) {
      if (!v.Disk(std::uint32_t(d)).Log().empty()) return false;
    }
    return true;
  }
  Volume v;
  std::vector<std::uint32_t> plexes;
};

TEST(Resync, MakesTheTargetEqualStepByStep) {
  Mirrors m(2, 300);
  const std::vector<std::uint8_t> data = Pattern(300, 11);
  std::memcpy(m.v.Disk(1).Bytes(), data.data(), data.size());
  ASSERT_FALSE(m.v.Io().Resync(m.plexes[0], {m.plexes[1]}, 300));
  EXPECT_EQ(0, std::memcmp(m.v.Disk(2).Bytes(), data.data(), data.size()));
  EXPECT_EQ(m.v.Disk(1).Log(),
            (std::vector<Request>{{kIoRead, 0, 128}, {kIoRead, 128, 128}, {kIoRead, 256, 44}}));
  EXPECT_EQ(m.v.Disk(2).Writes().size(), 3u);
  EXPECT_EQ(m.v.Io().Status(), DM::kVolumeHealthy);
  EXPECT_TRUE(m.v.Io().Lock().Held().empty());
}

TEST(Resync, RefusesBadPlexIdsBeforeAnyIo) {
  Mirrors m(2, 64);
  const std::uint32_t a = m.plexes[0];
  const std::uint32_t b = m.plexes[1];
  struct Case {
    std::uint32_t source;
    std::set<std::uint32_t> targets;
  };
  const Case cases[] = {{a, {a, b}}, {a, {b, 99999}}, {99999, {b}}};
  for (const Case& c : cases) {
    EXPECT_EQ(Code(m.v.Io().Resync(c.source, c.targets, 64)), DM::kErrInvalidPlexId);
  }
  EXPECT_FALSE(m.v.Io().Resync(a, {b}, 0));
  EXPECT_TRUE(m.NoIo());
  EXPECT_EQ(m.v.Io().Status(), DM::kVolumeHealthy);
}

TEST(Resync, ReportsATargetThatMissedTheCopyAndStops) {
  Mirrors m(3, 400);
  const std::vector<std::uint8_t> data = Pattern(400, 3);
  std::memcpy(m.v.Disk(1).Bytes(), data.data(), data.size());
  m.v.Disk(2).Fail(kIoWrite, 130, 1);
  EXPECT_EQ(Code(m.v.Io().Resync(m.plexes[0], {m.plexes[1], m.plexes[2]}, 400)),
            DM::kErrRedundancyLost);
  EXPECT_EQ(m.v.Io().Status(), DM::kVolumeDegraded);
  // The failing step reached the other target; the step after it did not.
  EXPECT_EQ(0, std::memcmp(m.v.Disk(3).Bytes(), data.data(), 256 * kSector));
  EXPECT_EQ(m.v.Disk(3).SectorAt(256)[0], 0);
  EXPECT_EQ(m.v.Disk(1).Log().size(), 2u);
  EXPECT_TRUE(m.v.Io().Lock().Held().empty());
}

TEST(Resync, FailingSourceFailsTheVolume) {
  Mirrors m(2, 64);
  m.v.Disk(1).Fail(kIoRead, 10, 1);
  EXPECT_EQ(Code(m.v.Io().Resync(m.plexes[0], {m.plexes[1]}, 64)), DM::kErrPlexIo);
  EXPECT_EQ(m.v.Io().Status(), DM::kVolumeFailed);
  EXPECT_TRUE(m.v.Disk(2).Writes().empty());
  EXPECT_TRUE(m.v.Io().Lock().Held().empty());
}

// A member disk whose first read waits until released.
class HeldReadDisk : public Fdisk::SimpleDisk {
 public:
  explicit HeldReadDisk(MemberDisk& inner)
      : inner_(inner), entered_(true, false), release_(true, false) {
    sectorSize_ = kSector;
    lastSector_ = inner.GetSectorCount();
  }
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (op == kIoRead && !held_.exchange(true)) {
      entered_.Set();
      release_.Wait();
    }
    return inner_.Io(op, sector, buffer, count);
  }
  Common::EventObject& Entered() { return entered_; }
  Common::EventObject& Release() { return release_; }

 private:
  MemberDisk& inner_;
  std::atomic<bool> held_{false};
  Common::EventObject entered_;
  Common::EventObject release_;
};

// A write that overlaps the step being copied waits for it: otherwise the
// copy of the old data would land on the target after the new data and the
// mirrors would differ.
TEST(Resync, OverlappingWriteWaitsForTheStep) {
  Volume v;
  const std::uint32_t source = v.AddDisk(256);
  const std::uint32_t target = v.AddDisk(256);
  const std::vector<std::uint8_t> old = Pattern(256, 40);
  std::memcpy(v.Disk(source).Bytes(), old.data(), old.size());
  HeldReadDisk held(v.Disk(source));
  v.Map()[90] = &held;
  const std::uint32_t from = v.AddPlex(DM::kPlexSimple);
  v.AddExtent(from, 0, 90, 0, 256);
  const std::uint32_t to = v.AddPlex(DM::kPlexSimple);
  v.AddExtent(to, 0, target, 0, 256);

  std::thread resync([&] { EXPECT_FALSE(v.Io().Resync(from, {to}, 256)); });
  held.Entered().Wait();
  std::atomic<bool> written{false};
  std::thread writer([&] {
    EXPECT_FALSE(v.Write(5, Pattern(1, 999)));
    written = true;
  });
  while (v.Io().Lock().Waiting() < 1 && !written.load()) std::this_thread::yield();
  EXPECT_FALSE(written.load());
  held.Release().Set();
  resync.join();
  writer.join();
  EXPECT_EQ(0, std::memcmp(v.Disk(source).Bytes(), v.Disk(target).Bytes(), 256 * kSector));
  EXPECT_EQ(0, std::memcmp(v.Disk(target).SectorAt(5), Pattern(1, 999).data(), kSector));
  v.Map().erase(90);
}

// RAID-5, 4 columns, chunk 128, left-asymmetric: the parity of stripe s is
// on column 3 - s % 4.
struct Raid5Volume {
  explicit Raid5Volume(unsigned chunk = 128, std::uint64_t sectors = 512) {
    plex = v.AddPlex(DM::kPlexRaid5, chunk, 0);
    for (std::uint32_t i = 0; i < 4; ++i) v.AddExtent(plex, i, v.AddDisk(sectors), 0, sectors);
    for (std::uint32_t d = 1; d <= 4; ++d) {
      const std::vector<std::uint8_t> fill = Pattern(sectors, d * 7919);
      std::memcpy(v.Disk(d).Bytes(), fill.data(), fill.size());
    }
  }
  // Whether column sector `row` of the columns XORs to zero.
  bool RowConsistent(std::uint64_t row) {
    for (std::uint32_t b = 0; b < kSector; ++b) {
      std::uint8_t x = 0;
      for (std::uint32_t d = 1; d <= 4; ++d) x ^= v.Disk(d).SectorAt(row)[b];
      if (x != 0) return false;
    }
    return true;
  }
  Volume v;
  std::uint32_t plex;
};

TEST(RecalculateParity, WholeStripesOnlyTailLeftAlone) {
  Raid5Volume r;
  for (std::uint32_t d = 1; d <= 4; ++d) r.v.Disk(d).ClearLog();
  ASSERT_FALSE(r.v.Io().RecalculateParity(r.plex, 1000));
  // Regions of 3 x 128 sectors at 0 and 384: stripes 0 and 1.
  for (std::uint64_t row = 0; row < 256; ++row) EXPECT_TRUE(r.RowConsistent(row)) << row;
  EXPECT_FALSE(r.RowConsistent(256));
  EXPECT_EQ(r.v.Disk(4).Writes(), (std::vector<Request>{{kIoWrite, 0, 128}}));
  EXPECT_EQ(r.v.Disk(3).Writes(), (std::vector<Request>{{kIoWrite, 128, 128}}));
  EXPECT_TRUE(r.v.Disk(1).Writes().empty());
  EXPECT_TRUE(r.v.Disk(2).Writes().empty());
  for (std::uint32_t d = 1; d <= 4; ++d) {
    for (const Request& q : r.v.Disk(d).Log()) EXPECT_LE(q.sector + q.count, 256u) << d;
  }
  // Reads rebuilt from the new parity give the data back.
  std::vector<std::uint8_t> before;
  ASSERT_FALSE(r.v.Read(0, before, 384));
  r.v.Disk(2).Fail(0, 0, 512);
  std::vector<std::uint8_t> rebuilt;
  ASSERT_FALSE(r.v.Read(0, rebuilt, 384));
  EXPECT_TRUE(rebuilt == before);
}

TEST(RecalculateParity, FailingStripeShowsInThePlexNotTheResult) {
  Raid5Volume r(8, 64);
  r.v.Disk(1).Fail(kIoRead, 8, 1);
  ASSERT_FALSE(r.v.Io().RecalculateParity(r.plex, 48));
  EXPECT_TRUE(r.RowConsistent(0)) << "stripe 0 was recalculated";
  EXPECT_FALSE(r.RowConsistent(8)) << "stripe 1 could not be read";
}

TEST(RecalculateParity, OtherPlexesAndLengths) {
  Raid5Volume r;
  EXPECT_EQ(Code(r.v.Io().RecalculateParity(99999, 100)), DM::kErrInvalidPlexId);
  for (std::uint32_t d = 1; d <= 4; ++d) r.v.Disk(d).ClearLog();
  EXPECT_FALSE(r.v.Io().RecalculateParity(r.plex, 0));
  EXPECT_FALSE(r.v.Io().RecalculateParity(r.plex, 383)) << "shorter than a stripe";
  for (std::uint32_t d = 1; d <= 4; ++d) EXPECT_TRUE(r.v.Disk(d).Log().empty());

  Mirrors m(1, 64);
  EXPECT_FALSE(m.v.Io().RecalculateParity(m.plexes[0], 64));
  EXPECT_FALSE(m.v.Io().RecalculateParity(m.plexes[0], 0)) << "returns, never loops";
  EXPECT_TRUE(m.NoIo());
}

TEST(RecommendedGranularity, IsOneStripeOfDataForParityPlexes) {
  Raid5Volume r;
  DM::RecommendedGranularity g(1000);
  r.v.Simple(r.plex).GetPlexIO()->Accept(g);
  EXPECT_TRUE(g.found);
  EXPECT_EQ(g.granularity, 384u);
  Mirrors m(1, 8);
  DM::RecommendedGranularity other(1000);
  m.v.Simple(m.plexes[0]).GetPlexIO()->Accept(other);
  EXPECT_FALSE(other.found);
  EXPECT_EQ(other.granularity, 1000u);
}

}  // namespace
