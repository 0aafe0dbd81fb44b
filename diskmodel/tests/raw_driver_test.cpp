// The raw scheme: whole-disk portions, scheme hints, partition windows.
#include "foundation/byteorder.h"
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "fdisk/contiguous_disk.h"
#include "fdisk/raw_driver.h"
#include "fixtures/GptSgdisk.h"
#include "fixtures/MbrDynamic.h"
#include "fixtures/MbrSfdisk.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;

std::int32_t HintOf(Fdisk::SimpleDisk& disk) { return Fdisk::RawLocation(1, &disk).GetHint(); }

TEST(RawLocation, HintsOfImagesMadeByTools) {
  struct Case {
    const DiskTest::SparseImage* image;
    std::int32_t hint;
  };
  const Case cases[] = {
      {&kMbrSfdisk, Fdisk::kRawHintNone},   // types 83, 7, c
      {&kMbrDynamic, Fdisk::kRawHint42},    // 7, then 42
      {&kGptSgdisk, Fdisk::kRawHintGpt},    // protective MBR
  };
  DiskTest::TempDir dir;
  for (const Case& c : cases) {
    auto disk = FixtureDisk(dir, *c.image);
    EXPECT_EQ(HintOf(*disk), c.hint) << c.image->name;
  }
}

TEST(RawLocation, HintsOfHandMadeSectors) {
  struct Case {
    const char* what;
    std::uint8_t types[4];
    bool signature;
    const char* start;
    std::int32_t hint;
  };
  const Case cases[] = {
      {"blank", {0, 0, 0, 0}, false, "", Fdisk::kRawHintNone},
      {"signature only", {0, 0, 0, 0}, true, "", Fdisk::kRawHintNone},
      {"0x44 third", {0x07, 0x0C, 0x44, 0}, true, "", Fdisk::kRawHint44},
      {"0x54", {0x54, 0, 0, 0}, true, "", Fdisk::kRawHint54},
      {"0x55 last", {0, 0, 0, 0x55}, true, "", Fdisk::kRawHint55},
      {"0xEE second", {0x83, 0xEE, 0, 0}, true, "", Fdisk::kRawHintGpt},
      {"first listed wins", {0x07, 0xEE, 0x42, 0}, true, "", Fdisk::kRawHintGpt},
      {"listed type without signature", {0x42, 0, 0, 0}, false, "", Fdisk::kRawHintNone},
      {"ER", {0, 0, 0, 0}, false, "ER", Fdisk::kRawHintDriverDescriptor},
      {"ER under an MBR", {0, 0, 0, 0}, true, "ER", Fdisk::kRawHintNone},
  };
  for (const Case& c : cases) {
    MemoryDisk disk(100);
    std::uint8_t* s = disk.Sector(0);
    std::memcpy(s, c.start, std::strlen(c.start));
    for (int i = 0; i < 4; ++i) s[446 + 16 * i + 4] = c.types[i];
    if (c.signature) {
      s[510] = 0x55;
      s[511] = 0xAA;
    }
    EXPECT_EQ(HintOf(disk), c.hint) << c.what;
  }
}

TEST(RawLocation, RefusesSectorsTooSmallForATable) {
  MemoryDisk disk(100, 256);
  EXPECT_EQ(ThrownCode([&] { Fdisk::RawLocation(1, &disk); }), Fdisk::kErrInvalidParameter);
  EXPECT_EQ(disk.Counters().requests, 0u) << "nothing is read";
}

TEST(RawLocation, ThrowsTheReadError) {
  DiskTest::TempDir dir;
  auto disk = FixtureDisk(dir, kMbrSfdisk);
  const Common::Error bad(3, 3, 0x4711);
  disk->FailRange(Fdisk::kIoRead, 0, 1, bad);
  EXPECT_EQ(ThrownCode([&] { Fdisk::RawLocation(1, disk.get()); }), 0x4711u);
}

TEST(RawLocation, ClonesWithoutReading) {
  MemoryDisk disk(1000);
  Fdisk::RawLocation location(42, &disk);
  disk.ResetCounters();
  std::unique_ptr<Fdisk::PSPortion::Location> clone(location.Clone());
  EXPECT_EQ(disk.Counters().requests, 0u);
  Fdisk::GetRawLocationVisitor visitor;
  clone->Accept(visitor);
  EXPECT_TRUE(visitor.found);
  EXPECT_EQ(visitor.diskId, 42u);
  EXPECT_EQ(visitor.sectorCount, 1000u);
  EXPECT_EQ(clone->GetDisk(), &disk);
  EXPECT_FALSE(clone->GetFirstFlag());
  EXPECT_FALSE(clone->GetSecondFlag());
}

TEST(PSRawDriver, OnePortionPerReadableDisk) {
  DiskTest::TempDir dir;
  std::vector<std::unique_ptr<DiskTest::TestDisk>> disks;
  disks.push_back(std::make_unique<DiskTest::TestDisk>(FixtureDisk(dir, kMbrSfdisk)));
  disks.push_back(std::make_unique<DiskTest::TestDisk>(FixtureDisk(dir, kGptSgdisk)));
  disks.push_back(std::make_unique<MemoryModelDisk>(2048));
  disks.push_back(std::make_unique<MemoryModelDisk>(2048, 256));  // too small a sector
  static_cast<DiskTest::ImageDisk*>(disks[1]->GetSimpleDisk())
      ->FailRange(Fdisk::kIoRead, 0, 1);  // unreadable
  Fdisk::DiskMap map;
  for (auto& d : disks) map[d->GetId()] = d.get();

  Fdisk::PSRawDriver driver;
  Fdisk::Layer below;
  EXPECT_FALSE(driver.LoadDisks(map, below));
  const Fdisk::Layer& layer = driver.GetPortions();
  ASSERT_EQ(layer.size(), 2u);
  std::vector<std::uint32_t> diskIds;
  for (const auto& entry : layer) {
    EXPECT_EQ(entry.first, entry.second.GetId());
    EXPECT_EQ(entry.second.GetDriverId(), driver.GetId());
    EXPECT_FALSE(entry.second.IsFree());
    EXPECT_EQ(entry.second.GetView().AccessMode(), Fdisk::kAccessFull);
    Fdisk::GetRawLocationVisitor visitor;
    entry.second.GetLocation().Accept(visitor);
    ASSERT_TRUE(visitor.found);
    diskIds.push_back(visitor.diskId);
  }
  EXPECT_EQ(diskIds, (std::vector<std::uint32_t>{disks[0]->GetId(), disks[2]->GetId()}));
}

TEST(PSRawDriver, CannotBeEdited) {
  Fdisk::PSRawDriver driver;
  Fdisk::NamedVars::VarContainer params;
  const auto created = driver.CreatePortion(params);
  EXPECT_EQ(Common::GetErrorCode(created.first), Fdisk::kErrNotImplemented);
  EXPECT_EQ(created.second, 0u);
  EXPECT_EQ(Common::GetErrorCode(driver.DeletePortion(params)), Fdisk::kErrNotImplemented);
  EXPECT_EQ(Common::GetErrorCode(driver.ChangePortion(params)), Fdisk::kErrNotImplemented);
  EXPECT_EQ(Common::GetErrorCode(driver.Commit()), Fdisk::kErrNotImplemented);
  EXPECT_FALSE(driver.IsDynamic());
}

// The partitions sfdisk made, each seen through a window of its own.
TEST(ContiguousDisk, PartitionWindowsOfAnSfdiskImage) {
  DiskTest::TempDir dir;
  auto image = FixtureDisk(dir, kMbrSfdisk);
  std::uint8_t sector0[512];
  ASSERT_FALSE(image->Io(Fdisk::kIoRead, 0, sector0, 1));
  for (int i = 0; i < 3; ++i) {
    const std::uint32_t start = Common::LoadLe32(sector0 + 446 + 16 * i + 8);
    const std::uint32_t count = Common::LoadLe32(sector0 + 446 + 16 * i + 12);
    Fdisk::ContiguousDisk window(*image, start, count);
    EXPECT_EQ(window.GetSectorCount() + 1, count);

    std::uint8_t mark[512];
    std::memset(mark, 0x40 + i, sizeof mark);
    ASSERT_FALSE(window.Io(Fdisk::kIoWrite, 0, mark, 1));
    ASSERT_FALSE(window.Io(Fdisk::kIoWrite, count - 1, mark, 1));
    EXPECT_EQ(Common::GetErrorCode(window.Io(Fdisk::kIoWrite, count, mark, 1)),
              Fdisk::kErrInvalidIo);

    std::uint8_t in[512];
    ASSERT_FALSE(image->Io(Fdisk::kIoRead, start, in, 1));
    EXPECT_EQ(0, std::memcmp(in, mark, 512));
    ASSERT_FALSE(image->Io(Fdisk::kIoRead, std::uint64_t(start) + count - 1, in, 1));
    EXPECT_EQ(0, std::memcmp(in, mark, 512));
  }
  // The marks stayed inside their partitions: the gap before the first one
  // and the table are untouched.
  std::uint8_t in[512];
  ASSERT_FALSE(image->Io(Fdisk::kIoRead, 2047, in, 1));
  EXPECT_EQ(in[0], 0);
  ASSERT_FALSE(image->Io(Fdisk::kIoRead, 0, in, 1));
  EXPECT_EQ(0, std::memcmp(in, sector0, 512));
}

}  // namespace

namespace {

using namespace DiskModelTest;

// What a driver answers for the operations it does not implement.
TEST(PSDriver, BaseOperationsAreRefused) {
  struct Bare : Fdisk::PSDriver {
    void Accept(Fdisk::PSDriverVisitor&) override {}
    Fdisk::Layer& GetPortions() override { return layer; }
    std::pair<Common::Error, std::uint32_t> CreatePortion(
        const Fdisk::NamedVars::VarContainer&) override {
      return {};
    }
    Common::Error DeletePortion(const Fdisk::NamedVars::VarContainer&) override { return {}; }
    Common::Error ChangePortion(const Fdisk::NamedVars::VarContainer&) override { return {}; }
    Common::Error Commit() override { return {}; }
    Fdisk::Layer layer;
  };
  Bare driver;
  Fdisk::PSDriverFactory factory(1, 2);
  Fdisk::Layer a;
  Fdisk::Layer b;
  Fdisk::DiskMap disks;
  const Fdisk::NamedVars::VarContainer params;
  const Common::Error results[] = {
      driver.ProcessDisks(a, b),
      driver.ProcessLayers(a, b),
      driver.LoadDisks(disks, a),
      driver.Refresh(a),
      driver.AddDisks(factory, a, b, params),
      driver.InitDisks(factory, disks, a, params),
      driver.ClearDisks(factory, a, b, params),
      driver.RemoveDisks(factory, disks, a, params),
  };
  for (const Common::Error& e : results) {
    EXPECT_EQ(Common::GetErrorCode(e), Fdisk::kErrNotImplemented);
  }
  EXPECT_EQ(ThrownCode([&] { delete driver.Clone(); }), Fdisk::kErrNotImplemented);
  EXPECT_EQ(driver.GetStateStore(), nullptr);
  EXPECT_FALSE(driver.IsDynamic());
  EXPECT_TRUE(driver.GetDisks().empty());
}

#if !defined(_WIN32)
// The hint of a GPT disk sgdisk makes now.
TEST(RawLocation, HintOfAGptDiskMadeNow) {
  if (std::system("sgdisk --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no sgdisk";
  DiskTest::TempDir dir;
  const std::string image = dir.File("gpt.img");
  DiskTest::ImageDisk::CreateImage(image, 8 << 20);
  const std::string command = "sgdisk -n 1:0:0 -t 1:8300 '" + image + "' > /dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  DiskTest::ImageDisk disk(image, 512);
  EXPECT_EQ(HintOf(disk), Fdisk::kRawHintGpt);
}
#endif

}  // namespace
