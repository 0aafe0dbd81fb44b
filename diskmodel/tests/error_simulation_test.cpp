// Simulated disk errors over sector regions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fdisk/error_simulation.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
namespace ES = Fdisk::ErrorSimulation;
namespace K = Fdisk::NamedVars::Keys;

// A 1000-sector device whose sector n is filled with the byte n % 251 + 1.
std::unique_ptr<MemoryDisk> PatternDisk() {
  auto disk = std::make_unique<MemoryDisk>(1000);
  for (std::uint64_t n = 0; n < 1000; ++n) std::memset(disk->Sector(n), int(n % 251 + 1), 512);
  return disk;
}

bool SectorIs(const std::uint8_t* p, std::uint8_t value) {
  for (int i = 0; i < 512; ++i) {
    if (p[i] != value) return false;
  }
  return true;
}

TEST(ErrorMapper, FailingReadRegion) {
  auto device = PatternDisk();
  ES::SimpleDiskErrorMapper mapper(*device);
  mapper.AddRegion(Fdisk::kIoRead, 100, 10, std::make_unique<ES::AbortedErrorDescription>());
  std::vector<std::uint8_t> buffer(100 * 512);

  device->ResetCounters();
  const Common::Error e = mapper.Io(Fdisk::kIoRead, 95, buffer.data(), 10);
  EXPECT_EQ(Common::GetErrorCode(e), Fdisk::kErrSimulated);
  EXPECT_EQ(device->Counters().requests, 1u) << "the whole request is read first";
  EXPECT_FALSE(mapper.Io(Fdisk::kIoRead, 0, buffer.data(), 100));
  EXPECT_FALSE(mapper.Io(Fdisk::kIoRead, 110, buffer.data(), 50));
  // Writes are not touched by a read region.
  EXPECT_FALSE(mapper.Io(Fdisk::kIoWrite, 100, buffer.data(), 10));
}

TEST(ErrorMapper, ZeroingWriteRegion) {
  auto device = PatternDisk();
  ES::SimpleDiskErrorMapper mapper(*device);
  mapper.AddRegion(Fdisk::kIoWrite, 10, 2,
                   std::make_unique<ES::NotAbortedErrorDescription>(ES::kDamageZero, 512));
  std::vector<std::uint8_t> buffer(6 * 512, 0xEE);
  ASSERT_FALSE(mapper.Io(Fdisk::kIoWrite, 8, buffer.data(), 6));
  EXPECT_TRUE(SectorIs(device->Sector(8), 0xEE));
  EXPECT_TRUE(SectorIs(device->Sector(9), 0xEE));
  EXPECT_TRUE(SectorIs(device->Sector(10), 0));
  EXPECT_TRUE(SectorIs(device->Sector(11), 0));
  EXPECT_TRUE(SectorIs(device->Sector(12), 0xEE));
  EXPECT_TRUE(SectorIs(device->Sector(13), 0xEE));
  EXPECT_TRUE(SectorIs(device->Sector(14), 14 % 251 + 1));
  // The caller's buffer shows what was stored.
  EXPECT_TRUE(SectorIs(buffer.data() + 2 * 512, 0));
  EXPECT_TRUE(SectorIs(buffer.data() + 3 * 512, 0));
  EXPECT_TRUE(SectorIs(buffer.data() + 4 * 512, 0xEE));
}

// Damage of every kind stays inside its region: sectors outside read
// through unchanged.
TEST(ErrorMapper, DamageStaysInsideItsRegion) {
  const std::uint32_t modes[] = {ES::kDamageNone, ES::kDamageZero, ES::kDamageSparse,
                                 ES::kDamageAll, 9};
  std::srand(7);
  for (std::uint32_t mode : modes) {
    auto device = PatternDisk();
    ES::SimpleDiskErrorMapper mapper(*device);
    mapper.AddRegion(Fdisk::kIoRead, 200, 300,
                     std::make_unique<ES::NotAbortedErrorDescription>(mode, 512));
    std::vector<std::uint8_t> buffer(1000 * 512);
    ASSERT_FALSE(mapper.Io(Fdisk::kIoRead, 0, buffer.data(), 999));
    int changed = 0;
    for (std::uint64_t n = 0; n < 999; ++n) {
      const bool same = SectorIs(buffer.data() + n * 512, std::uint8_t(n % 251 + 1));
      if (n < 200 || n >= 500) {
        EXPECT_TRUE(same) << "mode " << mode << " sector " << n;
      } else if (!same) {
        ++changed;
      }
    }
    switch (mode) {
      case ES::kDamageZero:
      case ES::kDamageAll:
        EXPECT_EQ(changed, 300) << "mode " << mode;
        break;
      case ES::kDamageSparse:
        // About one word in 1024: 300 sectors hold 38400 words.
        EXPECT_GT(changed, 5);
        EXPECT_LT(changed, 100);
        break;
      default:
        EXPECT_EQ(changed, 0) << "mode " << mode;
    }
    // The device itself is never damaged by reads.
    EXPECT_TRUE(SectorIs(device->Sector(300), 300 % 251 + 1));
  }
}

TEST(ErrorMapper, RandomKindsActHalfOfTheTime) {
  std::srand(11);
  for (std::uint32_t kind : {ES::kKindFailRandom, ES::kKindDamageRandom}) {
    auto device = PatternDisk();
    ES::SimpleDiskErrorMapper mapper(*device);
    mapper.AddRegion(Fdisk::kIoRead, 0, 1, ES::MakeRule(kind, ES::kDamageZero, 512));
    int hit = 0;
    std::uint8_t sector[512];
    for (int i = 0; i < 400; ++i) {
      const Common::Error e = mapper.Io(Fdisk::kIoRead, 0, sector, 1);
      if (e || !SectorIs(sector, 1)) ++hit;
    }
    EXPECT_GT(hit, 120) << "kind " << kind;
    EXPECT_LT(hit, 280) << "kind " << kind;
  }
  EXPECT_EQ(ES::MakeRule(4, 0, 512), nullptr);
}

struct RegionCase {
  std::uint32_t op;
  std::uint64_t first;
  std::uint64_t count;
  bool accepted;
};

TEST(ErrorMapper, RegionsMustNotOverlapOrReachTheEnd) {
  // Applied in order to one mapper over a device with last sector index 999.
  const RegionCase cases[] = {
      {Fdisk::kIoRead, 100, 10, true},
      {Fdisk::kIoRead, 105, 10, false},   // overlaps the end of 100..109
      {Fdisk::kIoRead, 95, 6, false},     // overlaps its start
      {Fdisk::kIoRead, 90, 10, true},     // ends right before it
      {Fdisk::kIoRead, 110, 5, true},     // starts right after it
      {Fdisk::kIoWrite, 100, 10, true},   // another code may cover the same sectors
      {Fdisk::kIoRead, 990, 9, true},     // 990..998
      {Fdisk::kIoRead, 999, 1, false},    // the last sector
      {Fdisk::kIoWrite, 990, 10, false},  // 990..999
      {Fdisk::kIoWrite, 0, 0, false},     // empty
      {Fdisk::kIoWrite, ~std::uint64_t(0) - 1, 5, false},  // wraps
  };
  auto device = PatternDisk();
  ES::SimpleDiskErrorMapper mapper(*device);
  for (const RegionCase& c : cases) {
    const std::uint32_t code = ThrownCode([&] {
      mapper.AddRegion(c.op, c.first, c.count, std::make_unique<ES::AbortedErrorDescription>());
    });
    EXPECT_EQ(code, c.accepted ? 0u : Fdisk::kErrSimulated)
        << "op " << c.op << " " << c.first << "+" << c.count;
  }
  // The accepted read regions act; the gaps between them do not.
  std::uint8_t sector[512];
  for (std::uint64_t n : {90u, 99u, 100u, 114u, 990u, 998u}) {
    EXPECT_TRUE(mapper.Io(Fdisk::kIoRead, n, sector, 1)) << n;
  }
  for (std::uint64_t n : {89u, 115u, 989u, 999u}) {
    EXPECT_FALSE(mapper.Io(Fdisk::kIoRead, n, sector, 1)) << n;
  }
}

// A computer whose table names a disk's address wraps the disk.
class SimulatedComputerTest : public ::testing::Test {
 protected:
  Fdisk::Computer& Computer() { return registry_.Stage().GetComputer(computerId_); }

  static std::unique_ptr<DiskTest::TestDisk> DiskAt(std::uint32_t target, DiskTest::TestDisk** raw,
                                                    MemoryDisk** device) {
    auto memory = PatternDisk();
    *device = memory.get();
    auto disk = std::make_unique<DiskTest::TestDisk>(std::move(memory));
    disk->GetProperties().Set(K::HDInterfaceTarget, target);
    *raw = disk.get();
    return disk;
  }

  RegistryScope registry_;
  std::uint32_t computerId_ = registry_.Stage().CreateLocalComputer();
};

TEST_F(SimulatedComputerTest, EmptyTableAddsDisksUnwrapped) {
  DiskTest::TestDisk* raw = nullptr;
  MemoryDisk* device = nullptr;
  const std::uint32_t id = Computer().AddDisk(DiskAt(3, &raw, &device));
  EXPECT_EQ(&Computer().FindDisk(id), raw);
}

TEST_F(SimulatedComputerTest, TableWrapsTheAddressedDisk) {
  Fdisk::DiskAddress address;
  address.target = 3;
  Fdisk::ErrorRegionConfig fail;
  fail.op = Fdisk::kIoRead;
  fail.kind = ES::kKindFail;
  fail.firstSector = 100;
  fail.sectorCount = 10;
  Fdisk::ErrorRegionConfig unknownKind = fail;
  unknownKind.kind = 7;
  unknownKind.firstSector = 0;  // would overlap, but kind 7 is skipped
  Computer().GetErrorSimulationTable()[address] = {fail, unknownKind};

  DiskTest::TestDisk* other = nullptr;
  MemoryDisk* otherDevice = nullptr;
  const std::uint32_t otherId = Computer().AddDisk(DiskAt(4, &other, &otherDevice));
  EXPECT_EQ(&Computer().FindDisk(otherId), other);

  DiskTest::TestDisk* wrapped = nullptr;
  MemoryDisk* device = nullptr;
  const std::uint32_t id = Computer().AddDisk(DiskAt(3, &wrapped, &device));
  EXPECT_EQ(id, wrapped->GetId()) << "the simulator keeps the disk's id";
  Fdisk::Disk& disk = Computer().FindDisk(id);
  ASSERT_NE(&disk, wrapped);
  std::vector<std::uint8_t> buffer(10 * 512);
  EXPECT_EQ(Common::GetErrorCode(disk.GetSimpleDisk()->Io(Fdisk::kIoRead, 95, buffer.data(), 10)),
            Fdisk::kErrSimulated);
  EXPECT_FALSE(disk.GetSimpleDisk()->Io(Fdisk::kIoRead, 0, buffer.data(), 10));
  EXPECT_TRUE(SectorIs(buffer.data(), 1));

  // The simulator's identity reaches the wrapped disk with every call.
  disk.GetProperties().Set(K::Model, std::string("simulated"));
  EXPECT_FALSE(disk.Lock());
  EXPECT_TRUE(wrapped->IsLocked());
  EXPECT_EQ(wrapped->GetProperties().Get(K::Model), "simulated");
  EXPECT_FALSE(disk.Unlock());
  EXPECT_FALSE(disk.Invalidate());
  EXPECT_EQ(wrapped->InvalidateCalls(), 1);
}

TEST_F(SimulatedComputerTest, BadRegionRefusesTheDisk) {
  Fdisk::DiskAddress address;
  address.target = 3;
  Fdisk::ErrorRegionConfig pastEnd;
  pastEnd.op = Fdisk::kIoWrite;
  pastEnd.kind = ES::kKindDamage;
  pastEnd.firstSector = 990;
  pastEnd.sectorCount = 10;
  Computer().GetErrorSimulationTable()[address] = {pastEnd};
  int destroyed = 0;
  DiskTest::TestDisk* raw = nullptr;
  MemoryDisk* device = nullptr;
  auto disk = DiskAt(3, &raw, &device);
  disk->OnDestroy([&] { ++destroyed; });
  EXPECT_EQ(ThrownCode([&] { Computer().AddDisk(std::move(disk)); }), Fdisk::kErrSimulated);
  EXPECT_EQ(destroyed, 1);
  EXPECT_TRUE(Computer().GetDisks().empty());
}

}  // namespace
