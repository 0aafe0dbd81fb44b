// The pieces of the way back from the disk model, on their own: the hooked
// volume handler over an in-memory disk, the free-space books of dynamic
// groups, and a dynamic volume whose piece names a disk the model lacks.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/model_holders.h"
#include "fdisk/model.h"
#include "fdisk/portion.h"

namespace {

// Sectors in memory, each first filled with its own number.
class MemoryDisk : public Fdisk::SimpleDisk {
 public:
  explicit MemoryDisk(std::uint64_t sectors)
      : Fdisk::SimpleDisk(512, sectors - 1, Fdisk::Geometry{63, 15, 0}), bytes_(sectors * 512) {
    for (std::uint64_t s = 0; s < sectors; ++s) std::memcpy(&bytes_[s * 512], &s, sizeof s);
  }
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    ++calls;
    if (op == Fdisk::kIoRead) std::memcpy(buffer, &bytes_[sector * 512], count * 512);
    if (op == Fdisk::kIoWrite) std::memcpy(&bytes_[sector * 512], buffer, count * 512);
    return Common::Error();
  }
  std::uint64_t SectorAt(std::uint64_t s) const {
    std::uint64_t v = 0;
    std::memcpy(&v, &bytes_[s * 512], sizeof v);
    return v;
  }
  unsigned calls = 0;

 private:
  std::vector<std::uint8_t> bytes_;
};

std::uint64_t Label(const std::vector<std::uint8_t>& sector) {
  std::uint64_t v = 0;
  std::memcpy(&v, sector.data(), sizeof v);
  return v;
}

TEST(HookedVolHandler, ReadsAndWritesFromItsStartAndFailsWhenDetached) {
  MemoryDisk disk(8192);
  auto handler = std::make_shared<HookedVolHandler>();
  std::vector<std::uint8_t> sector(512);

  // Detached: no device to reach, and the transfer fails instead of
  // touching a null target.
  EXPECT_EQ(handler->GetLibraryHandle(), 0);
  EXPECT_NE(handler->Io(Fdisk::kIoRead, 0, sector.data(), 1).Code(), 0u);
  EXPECT_NE(handler->Io(Fdisk::kIoWrite, 0, sector.data(), 1).Code(), 0u);

  ASSERT_EQ(handler->AttachTarget(&disk, 2048, 1024).Code(), 0u);
  EXPECT_NE(handler->GetLibraryHandle(), 0);
  EXPECT_EQ(handler->GetSectorCount(), 1023u);
  ASSERT_EQ(handler->Io(Fdisk::kIoRead, 0, sector.data(), 1).Code(), 0u);
  EXPECT_EQ(Label(sector), 2048u);
  ASSERT_EQ(handler->Io(Fdisk::kIoRead, 1023, sector.data(), 1).Code(), 0u);
  EXPECT_EQ(Label(sector), 3071u);
  // The volume ends where its partition does.
  std::vector<std::uint8_t> two(1024);
  EXPECT_NE(handler->Io(Fdisk::kIoRead, 1023, two.data(), 2).Code(), 0u);
  EXPECT_NE(handler->Io(Fdisk::kIoRead, 1024, sector.data(), 1).Code(), 0u);

  std::uint64_t mark = 77;
  std::memcpy(sector.data(), &mark, sizeof mark);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(handler->Io(Fdisk::kIoWrite, 5, sector.data(), 1).Code(), 0u);
  handler->Io(Fdisk::kIoRead, 5, sector.data(), 1);
  handler->Io(Fdisk::kIoRead, 6, sector.data(), 1);
  EXPECT_EQ(disk.SectorAt(2053), 77u);
  std::uint64_t writes = 0;
  ASSERT_EQ(handler->VolGetWriteCounter(writes).Code(), 0u);
  EXPECT_EQ(writes, 3u);

  std::unique_ptr<Common::Guid> guid;
  handler->VolGetSysGuid(guid);
  EXPECT_FALSE(guid);
  const std::uint8_t id[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  handler->VolSetSysGuid(id);
  handler->VolGetSysGuid(guid);
  ASSERT_TRUE(guid);
  EXPECT_EQ(std::memcmp(guid->bytes, id, 16), 0);
  handler->VolSetSysGuid(static_cast<const std::uint8_t*>(nullptr));
  handler->VolGetSysGuid(guid);
  EXPECT_FALSE(guid);

  // Detached again: the disk is not reached any more.
  handler->VolDelete();
  EXPECT_EQ(handler->GetLibraryHandle(), 0);
  const unsigned before = disk.calls;
  EXPECT_NE(handler->Io(Fdisk::kIoRead, 0, sector.data(), 1).Code(), 0u);
  EXPECT_EQ(disk.calls, before);
}

// ------------------------------------------------------------ free space

DaExtent X(std::uint32_t disk, std::uint64_t first, std::uint64_t count) {
  DaExtent x;
  x.diskKey = disk;
  x.firstSector = first;
  x.sectorCount = count;
  return x;
}

std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>> Plain(
    const std::vector<DaExtent>& list) {
  std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>> out;
  for (const DaExtent& x : list) out.emplace_back(x.diskKey, x.firstSector, x.sectorCount);
  std::sort(out.begin(), out.end());
  return out;
}

const std::uint8_t kGroupA[16] = {0xA};
const std::uint8_t kGroupB[16] = {0xB};

TEST(LdmFreeSpaceBooks, MovesMatchTheGroupAndJoinOnlyNeighbours) {
  struct Case {
    const char* what;
    std::vector<DaExtent> volume;
    bool giveBack;
    bool moved;
    std::vector<DaExtent> free;  // group A afterwards
    std::uint64_t size;
  };
  // Group A starts with {1: 1000+1000, 1: 5000+1000, 2: 0+4000} (6000).
  const std::vector<Case> cases = {
      {"given back just before a free extent", {X(1, 500, 500)}, true, true,
       {X(1, 500, 1500), X(1, 5000, 1000), X(2, 0, 4000)}, 6500},
      {"given back just after one", {X(1, 2000, 100)}, true, true,
       {X(1, 1000, 1100), X(1, 5000, 1000), X(2, 0, 4000)}, 6100},
      {"given back filling a gap", {X(1, 2000, 3000)}, true, true,
       {X(1, 1000, 5000), X(2, 0, 4000)}, 9000},
      {"given back touching nothing", {X(1, 8000, 100)}, true, true,
       {X(1, 1000, 1000), X(1, 5000, 1000), X(1, 8000, 100), X(2, 0, 4000)}, 6100},
      {"given back on a disk without free space", {X(3, 0, 100)}, true, true,
       {X(1, 1000, 1000), X(1, 5000, 1000), X(2, 0, 4000), X(3, 0, 100)}, 6100},
      {"given back over free space", {X(1, 1500, 100)}, true, false,
       {X(1, 1000, 1000), X(1, 5000, 1000), X(2, 0, 4000)}, 6000},
      {"taken from the start", {X(1, 1000, 300)}, false, true,
       {X(1, 1300, 700), X(1, 5000, 1000), X(2, 0, 4000)}, 5700},
      {"taken from the middle", {X(2, 1000, 1000)}, false, true,
       {X(1, 1000, 1000), X(1, 5000, 1000), X(2, 0, 1000), X(2, 2000, 2000)}, 5000},
      {"taken whole", {X(1, 5000, 1000)}, false, true, {X(1, 1000, 1000), X(2, 0, 4000)}, 5000},
      {"taken where nothing is free", {X(1, 1900, 200)}, false, false,
       {X(1, 1000, 1000), X(1, 5000, 1000), X(2, 0, 4000)}, 6000},
      {"taken on a disk of the other group only", {X(9, 0, 10)}, false, false,
       {X(1, 1000, 1000), X(1, 5000, 1000), X(2, 0, 4000)}, 6000},
  };
  for (const Case& c : cases) {
    HolderList list;
    // The other group comes first: a move must not take the first group
    // found.
    list.PushBack(new Fdisk::Old::LdmFreeSpace(nullptr, 20, kGroupB, {X(9, 0, 20)}));
    list.PushBack(new Fdisk::Old::LdmFreeSpace(
        nullptr, 6000, kGroupA, {X(1, 1000, 1000), X(1, 5000, 1000), X(2, 0, 4000)}));
    EXPECT_EQ(Fdisk::Old::MoveLdmFreeSpace(list, c.volume, kGroupA, c.giveBack), c.moved)
        << c.what;
    Fdisk::Old::LdmFreeSpace* a = Fdisk::Old::FindLdmFreeSpace(list, kGroupA);
    Fdisk::Old::LdmFreeSpace* b = Fdisk::Old::FindLdmFreeSpace(list, kGroupB);
    ASSERT_NE(a, nullptr) << c.what;
    ASSERT_NE(b, nullptr) << c.what;
    EXPECT_EQ(Plain(a->extents), Plain(c.free)) << c.what;
    EXPECT_EQ(a->size, c.size) << c.what;
    EXPECT_EQ(Plain(b->extents), Plain({X(9, 0, 20)})) << c.what;
    EXPECT_EQ(b->size, 20u) << c.what;
    EXPECT_EQ(list.Count(), 2u) << c.what;
  }
  // Without free space of the group there are no books to change.
  HolderList list;
  list.PushBack(new Fdisk::Old::LdmFreeSpace(nullptr, 20, kGroupB, {X(9, 0, 20)}));
  EXPECT_FALSE(Fdisk::Old::MoveLdmFreeSpace(list, {X(1, 0, 10)}, kGroupA, true));
  EXPECT_EQ(list.Count(), 1u);
}

// ---------------------------------------------------- the portion walk

class ModelDisk : public Fdisk::Disk {
 public:
  ModelDisk(std::uint32_t id, unsigned number) : Fdisk::Disk(id) {
    GetProperties().Set(Fdisk::NamedVars::Keys::DiskNumber, number);
  }
  void Accept(Fdisk::LocationVisitor&) override {}
  Fdisk::SimpleDisk* GetSimpleDisk() override { return nullptr; }
  Common::Error Lock() override { return Common::Error(); }
  Common::Error Unlock() override { return Common::Error(); }
};

Fdisk::LdmExtent Piece(std::uint32_t disk, std::uint64_t first, std::uint64_t length) {
  Fdisk::LdmExtent e;
  e.diskId = disk;
  e.firstSector = first;
  e.length = length;
  return e;
}

Fdisk::PSPortion Volume(Fdisk::LdmExtentMap pieces, std::uint8_t tag, bool free) {
  auto location = std::make_unique<Fdisk::LdmLocation>(std::move(pieces), nullptr, false, false);
  std::array<std::uint8_t, 16> guid{};
  guid[0] = tag;
  location->SetGuid1(guid);
  std::array<std::uint8_t, 16> group{};
  group[0] = 0x77;
  location->SetGuid2(group);
  location->SetVolumeType(Fdisk::kLdmVolSpanned);
  location->SetVolumeState(free ? 0 : 1);
  return Fdisk::PSPortion(1, std::move(location), free, Fdisk::kAccessFull);
}

TEST(ModelPortionWalk, AVolumeWithAPieceOnAnUnknownDiskIsLeftOut) {
  Fdisk::Computer model(0);
  model.AddDisk(std::make_unique<ModelDisk>(7, 1));
  disk_easy_vol pseudo(nullptr);
  std::vector<Fdisk::PSPortion> portions;
  portions.push_back(Volume({{0, Piece(7, 100, 500)}, {1, Piece(999, 0, 500)}}, 1, false));
  portions.push_back(Volume({{0, Piece(7, 600, 500)}}, 2, false));
  portions.push_back(Volume({{0, Piece(7, 1100, 4000)}, {1, Piece(7, 5100, 100)}}, 3, true));
  for (Fdisk::PSPortion& p : portions) {
    EXPECT_NO_THROW(Fdisk::Old::FillPortionHolders(model, p, &pseudo));
  }
  std::vector<std::uint8_t> volumes;
  Fdisk::Old::LdmFreeSpace* free = nullptr;
  for (holder* h = pseudo.second_list.first; h != nullptr; h = h->next) {
    if (auto* v = dynamic_cast<Fdisk::Old::LdmHolder*>(h)) volumes.push_back(v->description.volume_guid[0]);
    if (auto* f = dynamic_cast<Fdisk::Old::LdmFreeSpace*>(h)) free = f;
  }
  EXPECT_EQ(volumes, std::vector<std::uint8_t>{2});
  ASSERT_NE(free, nullptr);
  // The 100-sector piece is not worth a free extent.
  EXPECT_EQ(Plain(free->extents), Plain({X(7, 1100, 4000)}));
  EXPECT_EQ(free->size, 4000u);
  pseudo.second_list.Clear();
}

}  // namespace
