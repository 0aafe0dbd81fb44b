// The volume handler's base answers, attaching to a disk, the overlap
// helpers, and the handler whose I/O goes to another disk object.
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/errors.h"
#include "diskaccess/objects.h"
#include "diskaccess/volume_handlers.h"

namespace {

// A disk of the layer held in memory, its sector n filled with n.
class MemoryDisk : public stddisk {
 public:
  MemoryDisk(std::uint64_t sectors, std::uint8_t spt, std::uint8_t highestHead)
      : bytes_(sectors * 512) {
    for (std::uint64_t n = 0; n < sectors; ++n)
      std::memcpy(&bytes_[n * 512], &n, sizeof n);
    sectorSize_ = 512;
    lastSector_ = sectors - 1;
    geometry_.sectorsPerTrack = spt;
    geometry_.highestHead = highestHead;
    id = 77;
  }
  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override {
    if (sector > lastSector_ || count > lastSector_ - sector + 1) return Common::Error(1, 2, 3);
    ++calls;
    std::uint8_t* at = &bytes_[sector * 512];
    if (op == Fdisk::kIoRead) std::memcpy(buffer, at, count * 512);
    else std::memcpy(at, buffer, count * 512);
    return Common::Error();
  }
  std::vector<std::uint8_t> bytes_;
  unsigned calls = 0;
};

class BareVolume : public vol_handler {
 public:
  BareVolume() : vol_handler(0) {}
};

TEST(VolHandlerBase, UnsuppliedOperationsFailWithTheirOwnCodes) {
  ProtectiveVolHandler v;
  EXPECT_EQ(v.GetLibraryHandle(), 1);  // reported open
  EXPECT_EQ(BareVolume().GetLibraryHandle(), 0);
  std::uint8_t seen = 9;
  const struct {
    Common::Error e;
    std::uint32_t code;
  } cases[] = {
      {v.VolCreateInt(nullptr, 0, 1, 0), Da::VolCode::kBaseCreateInt},
      {v.VolDelete(), Da::VolCode::kBaseDelete},
      {v.VolExtend(10), Da::VolCode::kBaseExtend},
      {v.VolLockFast(), Da::VolCode::kBaseLockFast},
      {v.VolLockFull(), Da::VolCode::kBaseLockFull},
      {v.VolTmpUnlock(), Da::VolCode::kBaseTmpUnlock},
      {v.VolUmount(), Da::VolCode::kBaseUmount},
      {v.VolCreate(nullptr), Da::VolCode::kCreateNoHolder},
      {v.VolSetLetter('E', seen), 0},
      {v.VolUnlock(), 0},
      {v.VolUnhide(), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.e.Code(), c.code);
  EXPECT_EQ(seen, 0);
  const char16_t* path = u"x";
  EXPECT_EQ(v.VolGetPath(path).Code(), 0u);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(v.VolGetSize(), 0u);
  // The user value is what the partition's id is told to.
  v.SetUserValue(42);
  EXPECT_EQ(v.GetUserValue(), 42u);
}

TEST(VolHandlerBase, AttachingTakesTheDisksGeometryAndRefusesNoSectors) {
  MemoryDisk disk(4096, 32, 3);
  BareVolume v;
  ASSERT_EQ(v.AttachAt(&disk, 100, 1000).Code(), 0u);
  EXPECT_EQ(v.GetSectorCount(), 999u);
  EXPECT_EQ(v.GetStartSector(), 100u);
  EXPECT_EQ(v.GetDiskId(), 77u);
  EXPECT_EQ(v.GetGeometry().sectorsPerTrack, 32);
  EXPECT_EQ(v.GetGeometry().cylinders, 999u / 4 / 32);

  // No sectors given and none from the volume: nothing attached, no last
  // sector of 2^64-1.
  BareVolume empty;
  EXPECT_EQ(empty.AttachAt(&disk, 5, 0).Code(), Da::VolCode::kEmptyVolume);
  EXPECT_EQ(empty.GetSectorCount(), 0u);
  EXPECT_EQ(empty.GetStartSector(), 0u);
  EXPECT_EQ(empty.VolCreateOnDisk(&disk, 5, 0, 0).Code(), Da::VolCode::kEmptyVolume);

  // A disk without sectors per track gives no cylinders rather than a
  // division by zero.
  MemoryDisk flat(64, 0, 0);
  BareVolume v2;
  ASSERT_EQ(v2.AttachAt(&flat, 0, 64).Code(), 0u);
  EXPECT_EQ(v2.GetGeometry().cylinders, 0u);
}

TEST(VolHandlerBase, RangesOverlapAsInclusiveSectorRanges) {
  const struct {
    std::uint64_t a, na, b, nb;
    bool overlap;
  } cases[] = {
      {10, 1, 10, 10, true},
      {0, 10, 10, 5, false},
      {0, 11, 10, 5, true},
      {20, 5, 10, 10, false},
      {10, 0, 10, 10, false},                     // nothing in an empty range
      {UINT64_MAX - 1, 10, UINT64_MAX, 1, true},  // no wrap past the end
      {0, 5, UINT64_MAX - 1, 10, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RangesOverlap(c.a, c.na, c.b, c.nb), c.overlap) << c.a << "+" << c.na;
    EXPECT_EQ(RangesOverlap(c.b, c.nb, c.a, c.na), c.overlap) << c.b << "+" << c.nb;
  }
}

TEST(HookedVolHandler, ReadsAndWritesGoToTheTargetAtTheStartSector) {
  MemoryDisk disk(256, 63, 254);
  auto v = std::make_shared<HookedVolHandler>();
  EXPECT_EQ(v->GetLibraryHandle(), 0);
  EXPECT_TRUE(v->VolQueryFlag());

  // Detached: I/O fails as a whole, without a sector-by-sector retry and
  // without touching the buffer's owner.
  std::vector<std::uint8_t> buffer(4 * 512, 0xEE);
  Common::Error e = v->Io(Fdisk::kIoRead, 0, buffer.data(), 4);
  EXPECT_TRUE(Da::ChainHasCode(e, Da::VolCode::kDetachedIo));
  EXPECT_EQ(disk.calls, 0u);

  ASSERT_EQ(v->VolCreateOnDisk(&disk, 40, 100, 0).Code(), 0u);
  EXPECT_NE(v->GetLibraryHandle(), 0);
  EXPECT_EQ(v->GetSectorCount(), 99u);
  ASSERT_EQ(v->Io(Fdisk::kIoRead, 3, buffer.data(), 4).Code(), 0u);
  for (std::uint64_t i = 0; i < 4; ++i) {
    std::uint64_t n = 0;
    std::memcpy(&n, &buffer[i * 512], sizeof n);
    EXPECT_EQ(n, 43 + i);
  }
  std::vector<std::uint8_t> ones(512, 0x11);
  ASSERT_EQ(v->Io(Fdisk::kIoWrite, 0, ones.data(), 1).Code(), 0u);
  EXPECT_EQ(disk.bytes_[40 * 512], 0x11);
  EXPECT_EQ(disk.bytes_[39 * 512], 39);
  std::uint64_t writes = 0;
  v->VolGetWriteCounter(writes);
  EXPECT_EQ(writes, 1u);

  // Its identity is what it was given.
  Common::Guid g{};
  g.bytes[0] = 0xAB;
  v->VolSetSysGuid(&g);
  std::unique_ptr<Common::Guid> back;
  v->VolGetSysGuid(back);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->bytes[0], 0xAB);

  // Deleted: detached again, and its I/O fails with an error.
  EXPECT_EQ(v->VolDelete().Code(), 0u);
  EXPECT_EQ(v->GetLibraryHandle(), 0);
  const unsigned before = disk.calls;
  EXPECT_TRUE(Da::ChainHasCode(v->Io(Fdisk::kIoWrite, 0, ones.data(), 1), Da::VolCode::kDetachedIo));
  EXPECT_EQ(disk.calls, before);
}

}  // namespace
