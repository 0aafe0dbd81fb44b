// Sector buffers, partition windows and access views.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "fdisk/contiguous_disk.h"
#include "fdisk/simple_disk_restricted.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;

TEST(AlignedBuffer, StartsOnTheAlignmentWithAtLeastTheSize) {
  for (std::uint32_t alignment : {1u, 2u, 512u, 4096u}) {
    for (std::uint32_t size : {0u, 1u, 512u, 4096u, 1000u}) {
      Fdisk::AlignedBuffer buffer(size, alignment);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.Get()) % alignment, 0u);
      EXPECT_GE(buffer.UsableSize(), size);
      // Everything allocated from the aligned address on is usable.
      EXPECT_EQ(buffer.UsableSize(),
                std::size_t(size) + alignment - 1 - std::size_t(buffer.Get() - buffer.Data()));
      EXPECT_GE(buffer.Get(), buffer.Data());
      EXPECT_LT(buffer.Get(), buffer.Data() + alignment);
      std::memset(buffer.Get(), 0xA5, buffer.UsableSize());  // all of it is ours
    }
  }
}

TEST(AlignedBuffer, RefusesAnAlignmentThatIsNoPowerOfTwo) {
  EXPECT_EQ(ThrownCode([] { Fdisk::AlignedBuffer(512, 0); }), Fdisk::kErrInvalidParameter);
  EXPECT_EQ(ThrownCode([] { Fdisk::AlignedBuffer(512, 384); }), Fdisk::kErrInvalidParameter);
}

TEST(ContiguousDisk, ShowsItsRangeOfTheParent) {
  MemoryDisk parent(1000);
  Fdisk::ContiguousDisk window(parent, 200, 100);
  EXPECT_EQ(window.GetSectorSize(), 512u);
  EXPECT_EQ(window.GetSectorCount(), 99u);
  EXPECT_EQ(window.GetGeometry(), parent.GetGeometry());

  std::uint8_t data[10 * 512];
  std::memset(data, 0x5A, sizeof data);
  ASSERT_FALSE(window.Io(Fdisk::kIoWrite, 90, data, 10));
  EXPECT_EQ(parent.Sector(290)[0], 0x5A);
  EXPECT_EQ(parent.Sector(299)[511], 0x5A);
  EXPECT_EQ(parent.Sector(300)[0], 0);
  std::memset(parent.Sector(200), 0x33, 512);
  ASSERT_FALSE(window.Io(Fdisk::kIoRead, 0, data, 1));
  EXPECT_EQ(data[0], 0x33);
}

struct WindowRequest {
  std::uint64_t sector;
  std::uint64_t count;
  bool accepted;
};

TEST(ContiguousDisk, RefusesRequestsPastItsEnd) {
  const WindowRequest requests[] = {
      {90, 10, true},
      {95, 10, false},
      {100, 0, true},
      {100, 1, false},
      {0, 101, false},
      // sector + count wraps to a small number.
      {std::numeric_limits<std::uint64_t>::max(), 2, false},
      {2, std::numeric_limits<std::uint64_t>::max(), false},
  };
  MemoryDisk parent(1000);
  Fdisk::ContiguousDisk window(parent, 200, 100);
  std::vector<std::uint8_t> data(10 * 512);
  for (const WindowRequest& r : requests) {
    parent.ResetCounters();
    const Common::Error e = window.Io(Fdisk::kIoRead, r.sector, data.data(), r.count);
    if (r.accepted) {
      EXPECT_FALSE(e) << r.sector << "+" << r.count;
    } else {
      EXPECT_EQ(Common::GetErrorCode(e), Fdisk::kErrInvalidIo) << r.sector << "+" << r.count;
      EXPECT_EQ(parent.Counters().requests, 0u) << "refused requests never reach the parent";
    }
  }
}

TEST(ContiguousDisk, EndsAtTheParentsEnd) {
  MemoryDisk parent(1000);
  // Reaching past the parent: cut at its last sector, which stays visible.
  Fdisk::ContiguousDisk overlong(parent, 900, 500);
  EXPECT_EQ(overlong.GetSectorCount(), 99u);
  std::uint8_t data[512];
  std::memset(parent.Sector(999), 0x77, 512);
  ASSERT_FALSE(overlong.Io(Fdisk::kIoRead, 99, data, 1));
  EXPECT_EQ(data[0], 0x77);
  EXPECT_TRUE(overlong.Io(Fdisk::kIoRead, 100, data, 1));

  // A huge count does not wrap.
  Fdisk::ContiguousDisk huge(parent, 10, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(huge.GetSectorCount(), 989u);

  // Starting past the parent: an empty window that refuses everything.
  Fdisk::ContiguousDisk beyond(parent, 1000, 10);
  EXPECT_EQ(beyond.Count(), 0u);
  parent.ResetCounters();
  EXPECT_TRUE(beyond.Io(Fdisk::kIoRead, 0, data, 1));
  EXPECT_EQ(parent.Counters().requests, 0u);

  Fdisk::ContiguousDisk one(parent, 999, 1);
  EXPECT_EQ(one.GetSectorCount(), 0u);
}

TEST(ContiguousDisk, PassesDatalessRequestsOn) {
  MemoryDisk parent(1000);
  Fdisk::ContiguousDisk window(parent, 200, 100);
  EXPECT_FALSE(window.Io(Fdisk::kIoInvalidate, 0, nullptr, 0));
  EXPECT_EQ(parent.Counters().requests, 1u);
}

TEST(SimpleDiskRestricted, AccessModes) {
  MemoryDisk inner(50, 4096);
  std::uint8_t data[4096];
  for (std::int32_t mode : {Fdisk::kAccessFull, Fdisk::kAccessShared}) {
    Fdisk::SimpleDiskRestricted view(&inner, mode);
    EXPECT_EQ(view.GetSectorSize(), 4096u);
    EXPECT_EQ(view.GetSectorCount(), 49u);
    EXPECT_FALSE(view.Io(Fdisk::kIoRead, 3, data, 1));
  }
  inner.ResetCounters();
  Fdisk::SimpleDiskRestricted offline(&inner, Fdisk::kAccessOffline);
  EXPECT_EQ(Common::GetErrorCode(offline.Io(Fdisk::kIoRead, 3, data, 1)), Fdisk::kErrOffline);
  Fdisk::SimpleDiskRestricted unknown(&inner, 7);
  EXPECT_EQ(Common::GetErrorCode(unknown.Io(Fdisk::kIoRead, 3, data, 1)),
            Fdisk::kErrNotImplemented);
  EXPECT_EQ(inner.Counters().requests, 0u);

  Fdisk::SimpleDiskRestricted none(nullptr, Fdisk::kAccessFull);
  EXPECT_EQ(none.GetSectorSize(), 0u);
  EXPECT_EQ(none.GetGeometry().sectorsPerTrack, 63);
  EXPECT_EQ(none.GetGeometry().highestHead, 15);
  EXPECT_EQ(Common::GetErrorCode(none.Io(Fdisk::kIoRead, 0, data, 1)), Fdisk::kErrDiskNotFound);
}

}  // namespace
