// The real stage's operations over image disks made by sfdisk and sgdisk:
// every failure leaves the disks unlocked and byte for byte as they were,
// and a removed GPT leaves nothing the tools recognise. Native only.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diskimage_kit.h"
#include "disktest/image_disk.h"
#include "disktest/temp_dir.h"
#include "disktest/test_disk.h"
#include "fdisk/disk_operations.h"
#include "fdisk/gpt_driver.h"
#include "fdisk/ps_manager.h"
#include "fdisk/real_stage.h"
#include "test_helpers.h"

namespace {

namespace K = Fdisk::NamedVars::Keys;
using DiskModelTest::RegistryScope;
using DiskImageTest::Quote;

constexpr char kLinux[] = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";

class RealStageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("sfdisk --version > /dev/null 2>&1") != 0 || !GptTools::HaveTools()) {
      GTEST_SKIP() << "sfdisk or sgdisk missing";
    }
    mbrPath_ = dir_.File("mbr.img");
    gptPath_ = dir_.File("gpt.img");
    DiskTest::ImageDisk::CreateImage(mbrPath_, 16ull << 20);
    DiskTest::ImageDisk::CreateImage(gptPath_, 8ull << 20);
    DiskTest::RunCommand("printf 'label: dos\\n2048,16384,83\\n' | sfdisk -q " + Quote(mbrPath_));
    DiskTest::RunCommand("sgdisk -n 1:2048:+2047 -A 1:set:0 -n 2:4096:+1023 " + Quote(gptPath_) +
                         " > /dev/null");
    mbr_ = Add(mbrPath_, &mbrImage_);
    gpt_ = Add(gptPath_, &gptImage_);
    Manager().Refresh(Fdisk::PSManager::kRefreshFull);
    mbrBytes_ = DiskImageTest::ReadFile(mbrPath_);
    gptBytes_ = DiskImageTest::ReadFile(gptPath_);
  }

  DiskTest::TestDisk* Add(const std::string& path, DiskTest::ImageDisk** image) {
    auto device = std::make_unique<DiskTest::ImageDisk>(path, 512);
    *image = device.get();
    auto disk = std::make_unique<DiskTest::TestDisk>(std::move(device));
    DiskTest::TestDisk* raw = disk.get();
    Computer().AddDisk(std::move(disk));
    return raw;
  }

  Fdisk::Computer& Computer() { return registry_.Stage().GetComputer(computerId_); }
  Fdisk::PSManager& Manager() { return Computer().GetPortionManager(); }
  Fdisk::Stage& Stage() { return registry_.Stage(); }

  Fdisk::NamedVars::VarContainer Base() {
    Fdisk::NamedVars::VarContainer p;
    p.Set(K::StageID, static_cast<unsigned long>(registry_.StageId()));
    p.Set(K::ComputerID, static_cast<unsigned long>(computerId_));
    return p;
  }

  // A create request in the free portion holding `first` of `disk`.
  Fdisk::NamedVars::VarContainer CreateGpt(std::uint64_t first, std::uint64_t size) {
    Fdisk::NamedVars::VarContainer p = Base();
    p.Set(K::PortionID, static_cast<unsigned long>(
                            Fdisk::FindPortionAt(Computer(), gpt_->GetId(), first, true)));
    p.Set(K::DiskID, static_cast<unsigned long>(gpt_->GetId()));
    p.Set(K::Start, Fdisk::NamedVars::VarU64(first));
    p.Set(K::Size, Fdisk::NamedVars::VarU64(size));
    Common::Guid type{};
    EXPECT_TRUE(Common::GuidFromString(type, kLinux));
    p.Set(K::PartitionType, type);
    return p;
  }

  Fdisk::NamedVars::VarContainer OnVolume(Fdisk::Disk* disk, std::uint64_t first) {
    Fdisk::NamedVars::VarContainer p = Base();
    const std::uint32_t portion = Fdisk::FindPortionAt(Computer(), disk->GetId(), first);
    EXPECT_NE(portion, 0u);
    p.Set(K::VolumeID,
          static_cast<unsigned long>(Fdisk::AddPortionVolume(Computer(), portion)));
    return p;
  }

  // The operation fails (thrown or returned), and afterwards no disk is
  // locked and no byte changed.
  void ExpectFailsCleanly(const std::function<Common::Error()>& operation) {
    Common::Error e;
    try {
      e = operation();
    } catch (const Fdisk::Error& thrown) {
      e = thrown;
    }
    EXPECT_TRUE(e);
    for (DiskTest::TestDisk* d : {mbr_, gpt_}) EXPECT_FALSE(d->IsLocked());
    EXPECT_TRUE(DiskImageTest::ReadFile(mbrPath_) == mbrBytes_);
    EXPECT_TRUE(DiskImageTest::ReadFile(gptPath_) == gptBytes_);
  }

  DiskTest::TempDir dir_;
  RegistryScope registry_;
  std::uint32_t computerId_ = registry_.Stage().CreateLocalComputer();
  std::string mbrPath_;
  std::string gptPath_;
  DiskTest::ImageDisk* mbrImage_ = nullptr;
  DiskTest::ImageDisk* gptImage_ = nullptr;
  DiskTest::TestDisk* mbr_ = nullptr;
  DiskTest::TestDisk* gpt_ = nullptr;
  std::vector<std::uint8_t> mbrBytes_;
  std::vector<std::uint8_t> gptBytes_;
};

TEST_F(RealStageTest, FailuresLeaveNothingLockedOrChanged) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::function<Common::Error()> run;
  };
  const std::uint64_t gptLast = (8ull << 20) / 512 - 1;
  const Case cases[] = {
      {"create overlapping", [] {}, [&] { return Stage().Create(CreateGpt(1000, 2000)).first; }},
      {"create past the usable area", [] {},
       [&] { return Stage().Create(CreateGpt(10000, 100000)).first; }},
      {"create with a write fault at the backup header",
       [&] { gptImage_->FailRange(Fdisk::kIoWrite, gptLast, 1); },
       [&] { return Stage().Create(CreateGpt(8192, 100)).first; }},
      {"create with the lock refused",
       [&] { gpt_->FailLocks(1, DiskTest::TestDisk::LockError()); },
       [&] { return Stage().Create(CreateGpt(8192, 100)).first; }},
      {"delete of a platform-required entry", [] {},
       [&] { return Stage().Delete(OnVolume(gpt_, 2048)); }},
      {"delete on a read-only disk", [&] { gptImage_->SetReadOnly(true); },
       [&] { return Stage().Delete(OnVolume(gpt_, 4096)); }},
      {"change to a type past 255",
       [] {},
       [&] {
         Fdisk::NamedVars::VarContainer p = OnVolume(mbr_, 2048);
         p.Set(K::Type, 300ul);
         return Stage().Change(p);
       }},
      {"change with a write fault", [&] { mbrImage_->FailRange(Fdisk::kIoWrite, 0, 1); },
       [&] {
         Fdisk::NamedVars::VarContainer p = OnVolume(mbr_, 2048);
         p.Set(K::Type, 0x0Cul);
         return Stage().Change(p);
       }},
      {"clear with a write fault at the backup header",
       [&] { gptImage_->FailRange(Fdisk::kIoWrite, gptLast, 1); },
       [&] {
         Fdisk::NamedVars::VarContainer p = Base();
         p.Set(K::DiskID, static_cast<unsigned long>(gpt_->GetId()));
         return Stage().ClearDisk(p);
       }},
      {"clear of a disk the computer does not have", [] {},
       [&] {
         Fdisk::NamedVars::VarContainer p = Base();
         p.Set(K::DiskID, 0xFFFFul);
         return Stage().ClearDisk(p);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    ExpectFailsCleanly(c.run);
    gptImage_->ClearFailures();
    gptImage_->SetReadOnly(false);
    mbrImage_->ClearFailures();
    Manager().Refresh(Fdisk::PSManager::kRefreshFull);
  }
}

// The same operations succeed once nothing stands in their way, and leave
// the disks unlocked too.
TEST_F(RealStageTest, SuccessfulOperationsUnlockAndShowInTheHeadLayer) {
  const auto created = Stage().Create(CreateGpt(8192, 100));
  ASSERT_FALSE(created.first);
  EXPECT_NE(created.second, 0u);
  EXPECT_NE(Fdisk::FindPortionAt(Computer(), gpt_->GetId(), 8192), 0u);
  Fdisk::NamedVars::VarContainer p = OnVolume(mbr_, 2048);
  p.Set(K::Type, 0x0Cul);
  ASSERT_FALSE(Stage().Change(p));
  EXPECT_EQ(mbr_->InvalidateCalls(), 1);
  // The created volume follows its portion across the refreshes.
  Fdisk::NamedVars::VarContainer del = Base();
  del.Set(K::VolumeID, static_cast<unsigned long>(created.second));
  ASSERT_FALSE(Stage().Delete(del));
  EXPECT_EQ(Fdisk::FindPortionAt(Computer(), gpt_->GetId(), 8192), 0u);
  for (DiskTest::TestDisk* d : {mbr_, gpt_}) {
    EXPECT_FALSE(d->IsLocked());
    EXPECT_EQ(d->LockCalls(), d->UnlockCalls());
  }
  std::string report;
  EXPECT_TRUE(GptTools::SgdiskVerify(gptPath_, &report)) << report;
  EXPECT_TRUE(DiskImageTest::SfdiskVerify(mbrPath_));
}

TEST_F(RealStageTest, RemovedGptLeavesNothingRecognisable) {
  Fdisk::PSGptDriver* driver = nullptr;
  for (std::uint32_t id : Manager().GetDriverIds()) {
    driver = dynamic_cast<Fdisk::PSGptDriver*>(&Computer().GetDriverFactory().GetDriver(id));
    if (driver != nullptr) break;
  }
  ASSERT_NE(driver, nullptr);
  Fdisk::DiskMap disks{{gpt_->GetId(), gpt_}};
  Fdisk::Layer portions;
  ASSERT_FALSE(driver->RemoveDisks(Computer().GetDriverFactory(), disks, portions, Base()));
  ASSERT_FALSE(driver->Commit());
  EXPECT_EQ(DiskTest::RunCommand("wipefs -n " + Quote(gptPath_) + " 2>&1"), "");
  int status = 0;
  DiskTest::RunCommand("blkid -p " + Quote(gptPath_) + " > /dev/null 2>&1", &status);
  EXPECT_NE(status, 0);
  // The MBR disk was not written.
  EXPECT_TRUE(DiskImageTest::ReadFile(mbrPath_) == mbrBytes_);
}

}  // namespace

#endif
