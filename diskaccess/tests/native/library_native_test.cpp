// The Windows computer, drive disks and volumes over the stand-in library.
#include <cstdlib>
#include <cstring>
#include <fstream>
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

// One drive opened directly, outside DaInit, over images in which every
// 512-byte unit outside the partition tables holds its own number.
class DriveDisk : public OverStandin {
 protected:
  void SetUp() override {
    OverStandin::SetUp();
    DaTest::FillWithUnitNumbers(dir_.File("numbered.img"), 16u << 20);
    numbered_ = DaTest::MakeMbrImage(dir_, "numbered.img", 16,
                                     "label: dos\nstart=2048, size=8192, type=7\n"
                                     "start=10240, type=83\n");
    // In 4096-byte sectors: a FAT partition at 256-767, a Linux one after it.
    fourK_ = DaTest::Make4KMbrImage(dir_, "4k.img", 16,
                                    "o\nn\np\n1\n256\n+2M\nt\nc\nn\np\n2\n\n\nw\n");
    empty_ = dir_.File("empty.img");
    std::ofstream(empty_, std::ios::trunc);
  }
  void Open(const std::string& image, const std::string& options) {
    config_.Install("drive " + image + " " + options + "\n");
    SbInitRecord init{8, 0x10};
    SbLibInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(sbInitLibEx(&init, &info), SB_OK);
    ASSERT_EQ(sbOpenDrive(1, &handle_), SB_OK);
  }
  void Open(const std::string& options) { Open(numbered_, options); }
  void TearDown() override {
    disk_.reset();
    sbDoneLib();
    g_DaHooks.diskIoError = nullptr;
    OverStandin::TearDown();
  }
  std::unique_ptr<disk_w> Make(Common::Error& error) {
    return std::make_unique<disk_w>(handle_, 1, true, error);
  }
  std::vector<std::string> ReadsLogged() const {
    std::vector<std::string> reads;
    for (const std::string& line : config_.LogLines())
      if (line.rfind("sbReadDrive(", 0) == 0) reads.push_back(line.substr(line.find(", ") + 2));
    return reads;
  }
  SbHandle handle_ = 0;
  std::unique_ptr<disk_w> disk_;
  std::string numbered_, fourK_, empty_;
};

// The drive records a library may hand over and what the disk makes of
// each: the refusals in their order, the geometry with its caps, the
// firmware's CHS bytes and extended parameters, sectors of 512 and 4096
// bytes. A usable disk has as many sectors as fdisk counts in its image and
// reads the image's last sectors as they are.
TEST_F(DriveDisk, MakesItselfFromTheDriveRecord) {
  enum Image { kNumbered, kFourK, kEmpty };
  struct Case {
    Image image;
    const char* options;
    std::uint32_t error;
    std::uint32_t sectorSize = 0;
    std::uint8_t highestHead = 0, sectorsPerTrack = 0;
    std::uint64_t cylinders = 0;
    std::uint32_t biosNumber = 0;  // 0: the disk records none
    bool biosBlock = false;
  };
  const Case cases[] = {
      // Offline first, then the track size, the size, the skip flag.
      {kNumbered, "offline", 0x100403},
      {kEmpty, "offline spt=0 skip", 0x100403},
      {kNumbered, "spt=0", 0x100016},
      {kNumbered, "skip spt=0", 0x100016},
      {kEmpty, "spt=0", 0x100016},
      {kEmpty, "", 0x100017},
      {kEmpty, "skip", 0x100017},
      {kNumbered, "skip", 0x100015},
      // Sector sizes a disk cannot take.
      {kNumbered, "sector=131072", 0x100002},
      {kNumbered, "sector=1536", 0x100002},
      // The library's geometry, at most 255 heads and 63 sectors a track;
      // 32768 sectors, so cylinders = 32767 / heads / sectors.
      {kNumbered, "heads=0 bios=0", 0, 512, 255, 63, 2},
      {kNumbered, "heads=300 bios=0", 0, 512, 255, 63, 2},
      {kNumbered, "heads=16 spt=32 bios=0", 0, 512, 15, 32, 63},
      {kNumbered, "heads=16 spt=100 bios=0", 0, 512, 15, 63, 32},
      // The firmware's CHS bytes replace it under flag 0x2, with the
      // cylinder bits of the sector byte masked off ...
      {kNumbered, "heads=16 spt=63 bios=0x80 flags=2 bioschs=0x3FF/7/32", 0, 512, 7, 32, 127,
       0x80},
      // ... not without the flag ...
      {kNumbered, "heads=16 spt=63 bios=0x80 bioschs=0x3FF/7/32", 0, 512, 15, 63, 32, 0x80},
      // ... and not when they give no sectors: then no firmware number either.
      {kNumbered, "heads=16 spt=63 bios=0x80 flags=2 bioschs=0x3FF/7/0", 0, 512, 15, 63, 32},
      // A drive the firmware does not number keeps the library's view.
      {kNumbered, "heads=16 spt=63 bios=0x7F flags=0xE bioschs=0x3FF/7/32", 0, 512, 15, 63, 32},
      {kNumbered, "heads=16 spt=63 bios=0x100 flags=0xE bioschs=0x3FF/7/32", 0, 512, 15, 63, 32},
      // The firmware's extended parameters come with flags 0x4 and 0x8 both.
      {kNumbered, "heads=16 spt=63 bios=0x81 flags=0xC", 0, 512, 15, 63, 32, 0x81, true},
      {kNumbered, "heads=16 spt=63 bios=0x81 flags=0x4", 0, 512, 15, 63, 32, 0x81},
      {kNumbered, "heads=16 spt=63 bios=0x81 flags=0x8", 0, 512, 15, 63, 32, 0x81},
      // 4096-byte sectors: 4096 of them, 4095 / 16 / 63 = 4 cylinders.
      {kFourK, "sector=4096 heads=16 spt=63 bios=0", 0, 4096, 15, 63, 4},
      {kFourK, "sector=4096 heads=16 spt=63 bios=0x80 flags=0xE bioschs=3/15/63", 0, 4096, 15, 63,
       4, 0x80, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string& image =
        c.image == kNumbered ? numbered_ : c.image == kFourK ? fourK_ : empty_;
    Open(image, std::string(c.options) + " model=\" Big  Disk \" serial=SN123");
    Common::Error error;
    disk_ = Make(error);
    if (c.error != 0) {
      EXPECT_EQ(error.Code(), c.error);
      EXPECT_EQ(disk_->usable, 0);
    } else {
      ASSERT_TRUE(error.IsNull()) << std::hex << error.Code();
      EXPECT_EQ(disk_->usable, 1);
      EXPECT_EQ(disk_->GetSectorSize(), c.sectorSize);
      const std::uint64_t sectors = DaTest::FdiskSectorCount(image, c.sectorSize);
      ASSERT_NE(sectors, 0u);
      EXPECT_EQ(disk_->GetSectorCount(), sectors - 1);  // the last sector's index
      EXPECT_EQ(disk_->GetGeometry().highestHead, c.highestHead);
      EXPECT_EQ(disk_->GetGeometry().sectorsPerTrack, c.sectorsPerTrack);
      EXPECT_EQ(disk_->GetGeometry().cylinders, c.cylinders);
      EXPECT_EQ(disk_->has_bios_number, c.biosNumber != 0 ? 1 : 0);
      EXPECT_EQ(disk_->bios_number, c.biosNumber);
      ASSERT_EQ(disk_->bios_block != nullptr, c.biosBlock);
      if (c.biosBlock) {
        // The whole 33-byte block as the library gives it, the firmware's
        // sector count and size in it, and the serial's first two
        // characters in its last four bytes.
        SbDriveInfo fresh{};
        fresh.size = sizeof fresh;
        ASSERT_EQ(sbGetDriveInfo(handle_, &fresh), SB_OK);
        const std::uint8_t* block = disk_->bios_block.get();
        EXPECT_EQ(std::memcmp(block, reinterpret_cast<const std::uint8_t*>(&fresh) + 823, 33), 0);
        std::uint64_t eddSectors = 0;
        std::uint16_t eddSectorSize = 0;
        std::memcpy(&eddSectors, block + 842 - 823, 8);
        std::memcpy(&eddSectorSize, block + 850 - 823, 2);
        EXPECT_EQ(eddSectors, sectors);
        EXPECT_EQ(eddSectorSize, c.sectorSize);
        const std::uint8_t serialStart[4] = {'S', 0, 'N', 0};
        EXPECT_EQ(std::memcmp(block + 29, serialStart, 4), 0);
      }
      ASSERT_NE(disk_->model, nullptr);
      EXPECT_EQ(*disk_->model, "Big Disk");
      // The last two sectors are the image's last bytes; one more is past
      // the end.
      std::vector<std::uint8_t> tail(2 * c.sectorSize);
      ASSERT_TRUE(disk_->Io(Fdisk::kIoRead, sectors - 2, tail.data(), 2).IsNull());
      EXPECT_EQ(tail, DaTest::FileBytes(image, (sectors - 2) * c.sectorSize, tail.size()));
      EXPECT_EQ(disk_->Io(Fdisk::kIoRead, sectors - 1, tail.data(), 2).Code(), 0x1000D7u);
    }
    disk_.reset();  // closes the handle
    sbDoneLib();
  }
}

// fdisk put its partitions in 4096-byte sectors; the disk finds them there.
TEST_F(DriveDisk, AFourKilobyteSectorDiskReadsItsTableInItsOwnSectors) {
  Open(fourK_, "sector=4096");
  Common::Error error;
  disk_ = Make(error);
  ASSERT_TRUE(error.IsNull());
  std::vector<std::uint8_t> sector(4096);
  ASSERT_TRUE(disk_->Io(Fdisk::kIoRead, 0, sector.data(), 1).IsNull());
  EXPECT_EQ(sector, DaTest::FileBytes(fourK_, 0, 4096));
  auto word = [&](std::size_t at) {
    return std::uint32_t(sector[at]) | std::uint32_t(sector[at + 1]) << 8 |
           std::uint32_t(sector[at + 2]) << 16 | std::uint32_t(sector[at + 3]) << 24;
  };
  EXPECT_EQ(sector[446 + 4], 0x0C);
  EXPECT_EQ(word(446 + 8), 256u);
  EXPECT_EQ(word(446 + 12), 512u);
  EXPECT_EQ(word(462 + 8), 768u);
  EXPECT_EQ(word(462 + 8) + word(462 + 12), disk_->GetSectorCount() + 1);  // to the end
  // The first partition's first sector, read where its table puts it.
  ASSERT_TRUE(disk_->Io(Fdisk::kIoRead, 256, sector.data(), 1).IsNull());
  EXPECT_EQ(sector, DaTest::FileBytes(fourK_, 256 * 4096, 4096));
}

std::vector<std::uint32_t> g_waivedSectors;
bool g_waivedCrc = false;
std::uint32_t GoOnAfterAnIoError(std::uint32_t, std::uint32_t, std::uint32_t sector, std::uint32_t,
                                 std::uint32_t, const Common::Error& e) {
  g_waivedSectors.push_back(sector);
  g_waivedCrc = Da::ChainHasCode(e, 0x100155);
  return 0;  // neither stop nor retry: go on with the next sector
}

// A read over a bad sector fails as a whole, then sector by sector: without
// a host the first bad sector ends it with a CRC error; a host that waives
// the error has every other sector read alone. Each sector read alone is
// the image's.
TEST_F(DriveDisk, ABadSectorIsReportedAsACrcErrorAfterTheRetry) {
  struct Case {
    bool waive;
    std::vector<std::string> reads;
    std::vector<std::uint64_t> good;  // sectors read alone without an error
  };
  const Case cases[] = {
      {false, {"2048, 8) = 23", "2048, 1) = 0", "2049, 1) = 0", "2050, 1) = 23"}, {2048, 2049}},
      {true,
       {"2048, 8) = 23", "2048, 1) = 0", "2049, 1) = 0", "2050, 1) = 23", "2051, 1) = 0",
        "2052, 1) = 0", "2053, 1) = 0", "2054, 1) = 0", "2055, 1) = 0"},
       {2048, 2049, 2051, 2052, 2053, 2054, 2055}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waive ? "waived" : "no host");
    g_DaHooks.diskIoError = c.waive ? GoOnAfterAnIoError : nullptr;
    g_waivedSectors.clear();
    g_waivedCrc = false;
    Open("bad=2050");
    Common::Error error;
    disk_ = Make(error);
    ASSERT_TRUE(error.IsNull());
    std::vector<std::uint8_t> buffer(8 * 512, 0x55);
    const Common::Error e = disk_->Io(Fdisk::kIoRead, 2048, buffer.data(), 8);
    if (c.waive) {
      EXPECT_TRUE(e.IsNull());
      EXPECT_EQ(g_waivedSectors, std::vector<std::uint32_t>{2050});
      EXPECT_TRUE(g_waivedCrc);
    } else {
      EXPECT_EQ(e.Code(), 0x1000D7u);
      EXPECT_EQ(Common::GetNumberField(Common::GetErrorCause(e), "code"), 23u);
      EXPECT_TRUE(Da::ChainHasCode(e, 0x100155));
    }
    EXPECT_EQ(ReadsLogged(), c.reads);
    for (std::uint64_t s : c.good) {
      const std::size_t at = (s - 2048) * 512;
      EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin() + at, buffer.begin() + at + 512),
                DaTest::FileBytes(numbered_, s * 512, 512))
          << "sector " << s;
    }
    disk_.reset();
    sbDoneLib();
  }
  g_DaHooks.diskIoError = nullptr;
  // The boot sector the sfdisk image starts with reads fine.
  Open("bad=2050");
  Common::Error error;
  disk_ = Make(error);
  ASSERT_TRUE(error.IsNull());
  std::vector<std::uint8_t> mbr(512);
  ASSERT_TRUE(disk_->Io(Fdisk::kIoRead, 0, mbr.data(), 1).IsNull());
  EXPECT_EQ(mbr, DaTest::FileBytes(numbered_, 0, 512));
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
