// The Windows computer, drive disks and volumes over the stand-in library.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "diskaccess/win_computer.h"
#include "standin_fixture.h"

namespace {

class OverStandin : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = DaTest::MakeMbrImage(dir_, "disk.img", 16,
                                  "label: dos\nstart=2048, size=8192, type=7\n"
                                  "start=10240, type=83\n");
  }
  void TearDown() override {
    if (DaIsInitialised()) DaDone();
    DaSetOsVersionSource(nullptr);
    EXPECT_EQ(sblib_standin::TakeCensus().handles, 0u);
  }
  std::vector<std::string> CallsAfter(std::size_t from) const {
    std::vector<std::string> names;
    const auto lines = config_.LogLines();
    for (std::size_t i = from; i < lines.size(); ++i)
      names.push_back(lines[i].substr(0, lines[i].find('(')));
    return names;
  }
  static bool Has(const std::vector<std::string>& names, const std::string& name) {
    for (const auto& n : names)
      if (n == name) return true;
    return false;
  }

  DiskTest::TempDir dir_;
  DaTest::StandinConfig config_{dir_};
  std::string image_;
};

TEST_F(OverStandin, ASecondInitWithTheSameFlagsOnlyRefreshes) {
  config_.Install("drive " + image_ + "\nvolume 1:2048+8192 letter=D\n");
  DaInit(0x1C11);
  const std::size_t before = config_.LogLines().size();
  da_computer* computer = DaLocalComputer();
  DaInit(0x1C11);
  EXPECT_EQ(DaLocalComputer(), computer);
  EXPECT_EQ(DaComputerCount(), 1u);
  const auto calls = CallsAfter(before);
  EXPECT_FALSE(Has(calls, "sbInitLibEx"));
  EXPECT_FALSE(Has(calls, "sbOpenDrive"));
  EXPECT_FALSE(Has(calls, "sbSetGlobalFlags"));
  EXPECT_EQ(g_DaState.initFlags, 0x1C11u);
}

TEST_F(OverStandin, ASecondInitWithOtherFlagsAppliesThemToTheComputer) {
  config_.Install("drive " + image_ + "\n");
  DaInit(0x1C11);
  const std::size_t before = config_.LogLines().size();
  DaInit(0x1C15);  // adds the global flags
  EXPECT_TRUE(Has(CallsAfter(before), "sbSetGlobalFlags"));
  EXPECT_EQ(g_DaState.initFlags, 0x1C15u);
  EXPECT_TRUE(DaLibraryGlobalFlags());
}

TEST_F(OverStandin, FlagsAComputerRefusesAreNotStored) {
  config_.Install("drive " + image_ + "\nfail sbSetGlobalFlags 5\n");
  DaInit(0x1C11);
  DaInit(0x1C15);
  EXPECT_EQ(g_DaState.initFlags, 0x1C11u);
  EXPECT_TRUE(DaLocalComputer()->lastError.IsNull());  // the library was already set up
}

TEST_F(OverStandin, FlagBit200LeavesTheComputerOut) {
  config_.Install("drive " + image_ + "\n");
  DaInit(0x1C11 | 0x200);
  EXPECT_EQ(DaComputerCount(), 0u);
  EXPECT_TRUE(config_.LogLines().empty());
}

TEST_F(OverStandin, TheLibrarysWordsSetTheComputersModeAndFlags) {
  struct Case {
    std::uint32_t status, mode, init;
    std::uint32_t error, modeWord;
    bool native;
    std::uint32_t withFlags, withoutFlags;
  };
  const Case cases[] = {
      {0, 0, 0x1C11, 0, 7, true, 0x2 | 0x8 | 0x20 | 0x20000, 0x10},
      {0, 1, 0x1C11, 0, 3, true, 0x10 | 0x100, 0x2 | 0x20},
      {0, 3, 0x1C11, 0, 2, true, 0x10, 0x100},
      {1, 0, 0x1C11, 0, 7, false, 0x2, 0},
      {2, 0, 0x1C11, 0, 7, true, 0x8, 0},     // emulation mode, but native asked for
      {2, 0, 0x10, 0x100006, 7, true, 0, 0},  // emulation mode refused
      {0, 0, 0x1C15, 0, 7, true, 0x8, 0x20000},
  };
  for (const Case& c : cases) {
    config_.Install("status " + std::to_string(c.status) + "\nmode " + std::to_string(c.mode) +
                    "\ndrive " + image_ + "\n");
    DaInit(c.init);
    da_computer* computer = DaLocalComputer();
    ASSERT_NE(computer, nullptr);
    EXPECT_EQ(computer->lastError.Code(), c.error) << c.status << "/" << c.mode;
    EXPECT_EQ(computer->modeWord, c.modeWord) << c.status << "/" << c.mode;
    EXPECT_EQ(computer->IsNative(), c.native) << c.status << "/" << c.mode;
    EXPECT_EQ(computer->capabilities & c.withFlags, c.withFlags) << c.status << "/" << c.mode;
    EXPECT_EQ(computer->capabilities & c.withoutFlags, 0u) << c.status << "/" << c.mode;
    DaDone();
  }
}

DaOsVersion g_os;
void TestOs(DaOsVersion& out) { out = g_os; }

TEST_F(OverStandin, TheWindowsVersionReachesTheCapabilityFlags) {
  DaSetOsVersionSource(TestOs);
  struct Case {
    std::uint32_t major, minor, sp, arch;
    bool has8000, has10000;
  };
  const Case cases[] = {{5, 1, 3, 0, false, true}, {6, 1, 1, 0, true, false},
                        {5, 2, 2, 0, true, true},  {5, 1, 2, 9, true, true}};
  for (const Case& c : cases) {
    g_os = DaOsVersion{};
    g_os.major = c.major;
    g_os.minor = c.minor;
    g_os.servicePackMajor = c.sp;
    g_os.processorArchitecture = c.arch;
    config_.Install("drive " + image_ + "\n");
    DaInit(0x1C11);
    const std::uint32_t flags = DaLocalComputer()->capabilities;
    EXPECT_EQ((flags & 0x8000) != 0, c.has8000) << c.major << "." << c.minor;
    EXPECT_EQ((flags & 0x10000) != 0, c.has10000) << c.major << "." << c.minor;
    DaDone();
  }
}

// One drive opened directly, outside DaInit.
class DriveDisk : public OverStandin {
 protected:
  void Open(const std::string& options, std::uint32_t number = 1) {
    config_.Install("drive " + image_ + " " + options + "\n");
    SbInitRecord init{8, 0x10};
    SbLibInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(sbInitLibEx(&init, &info), SB_OK);
    ASSERT_EQ(sbOpenDrive(number, &handle_), SB_OK);
  }
  void TearDown() override {
    disk_.reset();
    sbDoneLib();
    OverStandin::TearDown();
  }
  std::unique_ptr<disk_w> Make(Common::Error& error) {
    return std::make_unique<disk_w>(handle_, 1, true, error);
  }
  SbHandle handle_ = 0;
  std::unique_ptr<disk_w> disk_;
};

TEST_F(DriveDisk, RefusesDrivesItCannotUse) {
  struct Case {
    const char* options;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"offline", 0x100403},
      {"spt=0", 0x100016},
      {"skip spt=0", 0x100016},  // the track size is checked first
      {"skip", 0x100015},
      {"sector=131072", 0x100002},
      {"sector=1536", 0x100002},
  };
  for (const Case& c : cases) {
    Open(c.options);
    Common::Error error;
    disk_ = Make(error);
    EXPECT_EQ(error.Code(), c.code) << c.options;
    EXPECT_EQ(disk_->usable, 0) << c.options;
    disk_.reset();  // closes the handle
    sbDoneLib();
  }
}

TEST_F(DriveDisk, TakesGeometryAndIdentityFromTheDriveRecord) {
  struct Case {
    const char* options;
    std::uint8_t highestHead, sectorsPerTrack;
  };
  const Case cases[] = {{"heads=0 bios=0", 255, 63},
                        {"heads=300 bios=0", 255, 63},
                        {"heads=16 spt=32 bios=0", 15, 32},
                        {"heads=16 spt=100 bios=0", 15, 63}};
  for (const Case& c : cases) {
    Open(std::string(c.options) + " model=\" Big  Disk \" serial=SN123");
    Common::Error error;
    disk_ = Make(error);
    ASSERT_TRUE(error.IsNull()) << c.options;
    EXPECT_EQ(disk_->GetGeometry().highestHead, c.highestHead) << c.options;
    EXPECT_EQ(disk_->GetGeometry().sectorsPerTrack, c.sectorsPerTrack) << c.options;
    EXPECT_EQ(disk_->GetSectorCount(), 16u * 2048 - 1);
    ASSERT_NE(disk_->model, nullptr);
    EXPECT_EQ(*disk_->model, "Big Disk");
    EXPECT_EQ(disk_->usable, 1);
    EXPECT_EQ(disk_->has_bios_number, 0);
    disk_.reset();
    sbDoneLib();
  }
}

TEST_F(DriveDisk, ABadSectorIsReportedAsACrcErrorAfterTheRetry) {
  Open("bad=2050");
  Common::Error error;
  disk_ = Make(error);
  ASSERT_TRUE(error.IsNull());
  std::vector<std::uint8_t> buffer(8 * 512, 0x55);
  const Common::Error e = disk_->Io(Fdisk::kIoRead, 2048, buffer.data(), 8);
  EXPECT_EQ(e.Code(), 0x1000D7u);
  EXPECT_EQ(Common::GetNumberField(Common::GetErrorCause(e), "code"), 23u);
  EXPECT_TRUE(Da::ChainHasCode(e, 0x100155));
  // One whole attempt, then sector by sector up to the bad one.
  std::vector<std::string> reads;
  for (const std::string& line : config_.LogLines())
    if (line.rfind("sbReadDrive(", 0) == 0) reads.push_back(line.substr(line.find(", ") + 2));
  const std::vector<std::string> expected = {"2048, 8) = 23", "2048, 1) = 0", "2049, 1) = 0",
                                             "2050, 1) = 23"};
  EXPECT_EQ(reads, expected);
  // The boot sector the sfdisk image starts with reads fine.
  std::vector<std::uint8_t> mbr(512);
  ASSERT_TRUE(disk_->Io(Fdisk::kIoRead, 0, mbr.data(), 1).IsNull());
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
}

TEST_F(DriveDisk, ALockHeldElsewhereNamesItsOwner) {
  Open("");
  SbHandle second = 0;
  ASSERT_EQ(sbOpenDrive(1, &second), SB_OK);
  Common::Error error;
  disk_ = Make(error);
  auto other = std::make_unique<disk_w>(second, 1, true, error);
  ASSERT_TRUE(error.IsNull());
  char16_t mine[] = u"purgekit";
  char16_t* owner = mine;
  bool owned = false;
  ASSERT_TRUE(disk_->AcquireLock(owner, owned).IsNull());
  char16_t* theirs = nullptr;
  bool theirsOwned = false;
  const Common::Error refused = other->AcquireLock(theirs, theirsOwned);
  EXPECT_EQ(refused.Code(), 0x100003u);
  ASSERT_TRUE(theirsOwned);
  EXPECT_EQ(std::u16string(theirs), u"purgekit");
  std::free(theirs);
  EXPECT_EQ(other->lock_count, 0u);
  disk_->UnlockOnce();  // not held through LockOnce: nothing
  EXPECT_EQ(disk_->lock_count, 1u);
  other.reset();
}

}  // namespace
