// Disk objects: sector sizes, model text, lock nesting, the retrying
// transfer, library statuses as causes and the lock owner's name.
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/objects.h"
#include "diskaccess/win_computer.h"

namespace {

// A disk whose transfers fail on chosen sectors and whose lock is counted.
class FakeDisk : public plain_disk {
 public:
  FakeDisk() { lastSector_ = 99; }

  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override {
    calls.push_back({sector, count});
    for (std::uint64_t s = sector; s < sector + count; ++s) {
      if (s == badSector)
        return SbStatusToError(Common::Error(1, 2, 0x1000D7), SB_STATUS_DATA_ERROR);
    }
    if (op == Fdisk::kIoRead) std::memset(buffer, 0xAB, std::size_t(count) * GetSectorSize());
    return Common::Error();
  }
  bool IsOffline() override { return offline; }
  Common::Error LockDisk(char16_t*&, bool&) override {
    ++locks;
    return refuseLock ? Common::Error(1, 2, 0x100003) : Common::Error();
  }
  Common::Error UnlockDisk() override {
    ++unlocks;
    return Common::Error();
  }

  struct Call {
    std::uint64_t sector, count;
  };
  std::vector<Call> calls;
  std::uint64_t badSector = ~0ull;
  bool offline = false;
  bool refuseLock = false;
  int locks = 0, unlocks = 0;
};

TEST(SectorSize, IsAPowerOfTwoFrom512To65536) {
  struct Case {
    std::uint32_t size, code;
  };
  const Case cases[] = {
      {0, 0x100019},    {3, 0x10001A},     {1536, 0x10001A}, {256, 0x10001C},
      {131072, 0x10001C}, {512, 0},        {4096, 0},        {65536, 0},
  };
  FakeDisk disk;
  for (const Case& c : cases) {
    ASSERT_TRUE(disk.SetSectorSize(512).IsNull());
    EXPECT_EQ(disk.SetSectorSize(c.size).Code(), c.code) << c.size;
    EXPECT_EQ(disk.GetSectorSize(), c.code == 0 ? c.size : 512u) << c.size;
  }
}

TEST(SectorSize, TheSharedBufferGrowsAlignedAndNeverShrinks) {
  FakeDisk disk;
  ASSERT_TRUE(disk.SetSectorSize(4096).IsNull());
  const std::uint32_t largest = stddisk::LargestSectorSize();
  EXPECT_GE(largest, 4096u);
  std::uint8_t* buffer = stddisk::SharedSectorBuffer();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % largest, 0u);
  std::memset(buffer, 0, largest);  // the whole sector fits
  ASSERT_TRUE(disk.SetSectorSize(512).IsNull());
  EXPECT_EQ(stddisk::LargestSectorSize(), largest);
  EXPECT_EQ(stddisk::SharedSectorBuffer(), buffer);
}

TEST(Model, WhiteSpaceIsFolded) {
  struct Case {
    const char* in;
    const char* out;  // null: no model
  };
  const Case cases[] = {
      {"  ACME   Disk\t\t2000  ", "ACME Disk 2000"},
      {"One", "One"},
      {"   \t ", nullptr},
      {"", nullptr},
      {"A\x01\x02" "B", "A B"},
  };
  FakeDisk disk;
  for (const Case& c : cases) {
    disk.SetModel(c.in, std::strlen(c.in));
    if (c.out == nullptr) {
      EXPECT_EQ(disk.model, nullptr) << c.in;
    } else {
      ASSERT_NE(disk.model, nullptr) << c.in;
      EXPECT_EQ(*disk.model, c.out);
    }
  }
}

TEST(DiskIds, TheNewestDiskGivesItsIdBack) {
  auto a = std::make_unique<FakeDisk>();
  auto b = std::make_unique<FakeDisk>();
  const std::uint32_t idB = b->id;
  EXPECT_EQ(idB, a->id + 1);
  b.reset();
  EXPECT_EQ(FakeDisk().id, idB);
  auto c = std::make_unique<FakeDisk>();
  a.reset();  // an older disk: its id is not drawn again
  EXPECT_EQ(FakeDisk().id, c->id + 1);
}

TEST(LockNesting, OnlyTheFirstLockAndTheLastUnlockReachTheDrive) {
  FakeDisk disk;
  char16_t* owner = nullptr;
  bool owned = false;
  ASSERT_TRUE(disk.AcquireLock(owner, owned).IsNull());
  ASSERT_TRUE(disk.AcquireLock(owner, owned).IsNull());
  EXPECT_EQ(disk.locks, 1);
  EXPECT_EQ(disk.lock_count, 2u);
  ASSERT_TRUE(disk.LockOnce(owner, owned).IsNull());
  EXPECT_EQ(disk.lock_count, 3u);
  ASSERT_TRUE(disk.LockOnce(owner, owned).IsNull());  // held already
  EXPECT_EQ(disk.lock_count, 3u);
  disk.UnlockOnce();
  disk.UnlockOnce();  // nothing held any more
  EXPECT_EQ(disk.lock_count, 2u);
  EXPECT_EQ(disk.unlocks, 0);

  FakeDisk refused;
  refused.refuseLock = true;
  EXPECT_EQ(refused.LockOnce(owner, owned).Code(), 0x100003u);
  EXPECT_EQ(refused.lock_count, 0u);
  EXPECT_EQ(refused.lock_held, 0);

  FakeDisk single;
  ASSERT_TRUE(single.LockOnce(owner, owned).IsNull());
  single.UnlockOnce();
  EXPECT_EQ(single.unlocks, 1);
}

std::uint32_t g_hookAnswer = 1;
int g_hookCalls = 0;
std::uint32_t Answer(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                     const Common::Error&) {
  ++g_hookCalls;
  return g_hookAnswer;
}

TEST(RetryingIo, AFailedReadIsRetriedSectorBySectorAndReportsTheBadOne) {
  FakeDisk disk;
  disk.badSector = 12;
  std::vector<std::uint8_t> buffer(8 * 512, 0x11);
  const Common::Error e = disk.Io(Fdisk::kIoRead, 10, buffer.data(), 8);
  EXPECT_EQ(e.Code(), 0x1000D7u);
  EXPECT_TRUE(Da::ChainHasCode(e, 0x100155));  // "CRC error"
  // One whole attempt, then sectors 10, 11 and the bad 12.
  ASSERT_EQ(disk.calls.size(), 4u);
  EXPECT_EQ(disk.calls[0].count, 8u);
  EXPECT_EQ(disk.calls[3].sector, 12u);
  EXPECT_EQ(buffer[0], 0xAB);
  EXPECT_EQ(buffer[2 * 512], 0x00);  // the bad sector was zeroed
  EXPECT_EQ(buffer[3 * 512], 0x11);  // nothing read past it
  EXPECT_EQ(disk.read_sectors, 8u);
}

TEST(RetryingIo, TheHostMayWaiveErrorsForTheRest) {
  g_DaHooks.diskIoError = Answer;
  g_hookAnswer = 3;
  g_hookCalls = 0;
  FakeDisk disk;
  disk.badSector = 2;
  std::vector<std::uint8_t> buffer(4 * 512);
  EXPECT_TRUE(disk.Io(Fdisk::kIoRead, 0, buffer.data(), 4).IsNull());
  EXPECT_EQ(g_hookCalls, 1);
  EXPECT_EQ(disk.ignore_errors, 1);
  EXPECT_EQ(buffer[3 * 512], 0xAB);
  g_DaHooks.diskIoError = nullptr;
}

TEST(RetryingIo, AnOfflineDiskDisablesIo) {
  FakeDisk disk;
  disk.badSector = 0;
  disk.offline = true;
  std::vector<std::uint8_t> buffer(512);
  EXPECT_EQ(disk.Io(Fdisk::kIoRead, 0, buffer.data(), 1).Code(), 0x1000E2u);
  EXPECT_EQ(disk.io_disabled, 1);
}

TEST(RetryingIo, TheFirstSectorOfASplitDiskGoesAlone) {
  FakeDisk disk;
  disk.split_first_sector = 1;
  std::vector<std::uint8_t> buffer(3 * 512);
  ASSERT_TRUE(disk.Io(Fdisk::kIoRead, 0, buffer.data(), 3).IsNull());
  ASSERT_EQ(disk.calls.size(), 2u);
  EXPECT_EQ(disk.calls[0].count, 1u);
  EXPECT_EQ(disk.calls[1].sector, 1u);
  EXPECT_EQ(disk.calls[1].count, 2u);
  EXPECT_EQ(disk.split_first_sector, 1);
}

TEST(PseudoDisk, RefusesTransfersButNotInvalidation) {
  disk_easy_vol disk(nullptr);
  std::uint8_t sector[512];
  EXPECT_EQ(disk.Io(Fdisk::kIoRead, 0, sector, 1).Code(), 0x1000EAu);
  EXPECT_TRUE(disk.Io(Fdisk::kIoInvalidate, 0, nullptr, 0).IsNull());
  EXPECT_TRUE(disk.IsEasyVolumeDisk());
}

TEST(SbStatusToError, AttachesTheStatusAndForADataErrorTheCrcCause) {
  const Common::Error plain = SbStatusToError(Common::Error(1, 2, 0x100009), 21);
  EXPECT_EQ(plain.Code(), 0x100009u);
  const Common::Error status = Common::GetErrorCause(plain);
  EXPECT_EQ(status.Code(), Common::kStatusErrorCode);
  EXPECT_EQ(Common::GetNumberField(status, "code"), 21u);
  EXPECT_FALSE(Da::ChainHasCode(plain, 0x100155));

  const Common::Error data = SbStatusToError(Common::Error(1, 2, 0x1000D7), 23);
  EXPECT_TRUE(Da::ChainHasCode(data, 0x100155));
  EXPECT_EQ(Common::GetNumberField(Common::GetErrorCause(data), "code"), 23u);
  EXPECT_TRUE(IsSkippableStatus(20));
  EXPECT_FALSE(IsSkippableStatus(23));
}

// What a library answers to the owner query: a byte count, then the text.
std::uint32_t g_ownerBytes = 0;
const char16_t* g_ownerText = u"";
bool g_secondFails = false;
SbStatus SBCALL FakeOwner(SbHandle, char16_t* buffer, std::uint32_t* bytes) {
  if (buffer == nullptr) {
    *bytes = g_ownerBytes;
    return SB_OK;
  }
  if (g_secondFails) return SB_STATUS_LOCK_VIOLATION;
  std::memcpy(buffer, g_ownerText, *bytes);  // exactly the bytes it announced
  return SB_OK;
}

TEST(LockOwner, TheTerminatorAlwaysFitsTheBuffer) {
  struct Case {
    std::uint32_t bytes;
    const char16_t* text;
    std::u16string expected;
    bool second;
    bool none;
  };
  const Case cases[] = {
      {14, u"backup", u"backup", false, false},  // text and terminator
      {12, u"backup", u"backup", false, false},  // text without terminator
      {1, u"x", u"", false, false},              // one byte: half a unit
      {3, u"ab", u"a", false, false},
      {0, u"", u"", false, true},                // nothing to tell
      {14, u"backup", u"", true, true},          // the second call fails
  };
  for (const Case& c : cases) {
    g_ownerBytes = c.bytes;
    g_ownerText = c.text;
    g_secondFails = c.second;
    char16_t* owner = DaReadLockOwner(7, FakeOwner);
    if (c.none) {
      EXPECT_EQ(owner, nullptr) << c.bytes;
      continue;
    }
    ASSERT_NE(owner, nullptr) << c.bytes;
    EXPECT_EQ(std::u16string(owner).substr(0, c.expected.size()), c.expected);
    EXPECT_LE(std::u16string(owner).size(), (c.bytes + 1) / 2);
    std::free(owner);
  }
}

}  // namespace

namespace {

TEST(DriveIdentity, FullFieldsWithoutTerminatorsStayInsideTheirFields) {
  SbDriveInfo info;
  std::memset(&info, 0, sizeof info);
  std::memset(info.model, 'M', sizeof info.model);
  for (auto& c : info.device_name) c = u'N';
  for (auto& c : info.serial) c = u'S';
  info.physical_sector_size = 0x00410041;  // "AA" if read as text
  info.interface_type = 40;                // out of range: unknown
  FakeDisk disk;
  DaSetDriveIdentity(disk, info, 141);
  ASSERT_NE(disk.model, nullptr);
  EXPECT_EQ(*disk.model, std::string(256, 'M'));
  ASSERT_NE(disk.dev_name, nullptr);
  EXPECT_EQ(*disk.dev_name, std::u16string(256, u'N'));
  ASSERT_NE(disk.serial, nullptr);
  EXPECT_EQ(*disk.serial, std::u16string(256, u'S'));
  EXPECT_EQ(disk.interface_type, 0u);

  // Before version 141 the record has no serial number.
  DaSetDriveIdentity(disk, info, 140);
  EXPECT_EQ(disk.serial, nullptr);
}

}  // namespace
