// Change reports from the library's callback become change flags and
// records of the local computer.
#include <chrono>
#include <cstring>
#include <map>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "diskaccess/win_computer.h"
#include "standin_fixture.h"

namespace {

class ChangeReports : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string image =
        DaTest::MakeMbrImage(dir_, "disk.img", 8, "label: dos\nstart=2048, type=83\n");
    config_.Install("drive " + image + "\n");
    DaInit(0x1C11);
    computer_ = DaLocalComputer();
    ASSERT_NE(computer_, nullptr);
    computer_->changes.clear();
    computer_->changeFlags = 0;
  }
  void TearDown() override { DaDone(); }

  static SbNotification Record(std::uint32_t type, std::uint32_t arg0 = 0,
                               std::uint32_t arg1 = 0, std::uint64_t start = 0,
                               std::uint64_t length = 0) {
    SbNotification r;
    std::memset(&r, 0, sizeof r);
    r.size = sizeof r;
    r.type = type;
    r.arg0 = arg0;
    r.arg1 = arg1;
    r.start = start;
    r.length = length;
    return r;
  }

  DiskTest::TempDir dir_;
  DaTest::StandinConfig config_{dir_};
  da_computer* computer_ = nullptr;
};

TEST_F(ChangeReports, EventTypesSetTheirFlags) {
  SbNotification disks = Record(1);
  OnSnapshotLibraryEvent(&disks);
  EXPECT_EQ(computer_->changeFlags, kChangeDisks);
  computer_->changeFlags = 0;
  SbNotification arrived = Record(8);
  OnSnapshotLibraryEvent(&arrived);
  EXPECT_EQ(computer_->changeFlags, kChangeVolumes);  // 2 and 8 are the same
  EXPECT_TRUE(computer_->changes.empty());
}

TEST_F(ChangeReports, MalformedRecordsChangeNothingButAreStillAnnounced) {
  SbNotification shortRecord = Record(1);
  shortRecord.size = 519;
  SbNotification longRecord = Record(1);
  longRecord.size = 521;
  SbNotification otherRange = Record(64, 2, 5, 0, 10);  // a sub-code other than 1
  SbNotification unknown = Record(32, 5);
  for (SbNotification* r : {&shortRecord, &longRecord, &otherRange, &unknown})
    OnSnapshotLibraryEvent(r);
  OnSnapshotLibraryEvent(nullptr);
  EXPECT_EQ(computer_->changeFlags, 0u);
  EXPECT_TRUE(computer_->changes.empty());
  DaTakeChangePending();
  EXPECT_EQ(OnSnapshotLibraryEvent(&unknown), 0u);
  EXPECT_EQ(OnSnapshotLibraryEvent(&unknown), 1u);
}

TEST_F(ChangeReports, RecordsAreAddedOnlyWhenNothingCoversThem) {
  struct Step {
    SbNotification record;
    std::size_t recordsAfter;
  };
  const Step steps[] = {
      {Record(4, 0), 0},                // key 0: never a record
      {Record(4, 7), 1},                // whole disk 7
      {Record(4, 7), 1},                // again: covered
      {Record(64, 1, 9, 0, 100), 2},    // range 0-99 of disk 9
      {Record(64, 1, 9, 10, 5), 2},     // inside it
      {Record(64, 1, 9, 90, 20), 3},    // reaches past it
      {Record(64, 1, 9, 200, 5), 4},
      {Record(16, 3), 5},               // volume 3
      {Record(16, 3), 5},
      {Record(16, 0), 5},
  };
  for (const Step& s : steps) {
    SbNotification r = s.record;
    OnSnapshotLibraryEvent(&r);
    EXPECT_EQ(computer_->changes.size(), s.recordsAfter)
        << r.type << " " << r.arg0 << " " << r.arg1 << " " << r.start;
  }
}

}  // namespace

namespace {

TEST_F(ChangeReports, NoticesComeBackOnTheLibrarysThread) {
  // With the callback registered, a notice goes to the library, which
  // answers it from its own thread.
  ASSERT_TRUE(computer_->NotifyDiskChanged(5).IsNull());
  ASSERT_TRUE(computer_->NotifyVolumesChanged().IsNull());
  // A generous bound, only so that notices that never come fail the test
  // instead of hanging it.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    {
      DaLockScope lock;
      if (computer_->changes.size() == 1 && (computer_->changeFlags & kChangeVolumes) != 0) break;
    }
    if (std::chrono::steady_clock::now() > giveUp) {
      DaLockScope lock;
      FAIL() << "the library's thread did not deliver both notices: " << computer_->changes.size()
             << " change records, change flags 0x" << std::hex << computer_->changeFlags;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  DaLockScope lock;
  EXPECT_EQ(computer_->changes.front().diskKey, 5u);
}

TEST_F(ChangeReports, DoneWhileNoticesAreUnderWayLeavesNothing) {
  for (std::uint32_t i = 1; i <= 200; ++i) computer_->NotifyDiskRangeChanged(i, i, 1);
  DaDone();
  EXPECT_EQ(sblib_standin::TakeCensus().threads, 0u);
  EXPECT_EQ(DaComputerCount(), 0u);
  DaInit(0x1C11);  // for TearDown
}

}  // namespace

namespace {

// Waits until the library's thread has delivered a volume notice for
// `key`, which the test sends last; the queue is delivered in order.
void WaitForVolumeRecord(da_computer* computer, std::uint32_t key) {
  // A generous bound, only so that a notice that never comes fails the
  // test instead of hanging it.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    {
      DaLockScope lock;
      for (const ChangeRecord& r : computer->changes)
        if (r.volumeKey == key) return;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << "no notice for volume " << key;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST_F(ChangeReports, EveryEventTypeFromTheLibrarysThreadGivesItsChange) {
  struct Case {
    std::uint32_t type, arg0, arg1;
    std::uint64_t start, length;
    std::uint32_t flags;       // change flags afterwards
    std::uint32_t diskKey;     // the record added (0: none)
    std::uint32_t volumeKey;
  };
  const Case cases[] = {
      {1, 0, 0, 0, 0, kChangeDisks, 0, 0},
      {2, 0, 0, 0, 0, kChangeVolumes, 0, 0},
      {8, 0, 0, 0, 0, kChangeVolumes, 0, 0},
      {4, 6, 0, 0, 0, 0, 6, 0},
      {16, 4, 0, 0, 0, 0, 0, 4},
      {64, 1, 3, 100, 50, 0, 3, 0},
      {64, 2, 3, 100, 50, 0, 0, 0},  // only sub-code 1 is a range
      {32, 1, 3, 100, 50, 0, 0, 0},  // not a type the layer knows
  };
  std::uint32_t marker = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " sub-code " << c.arg0);
    {
      DaLockScope lock;
      computer_->changes.clear();
      computer_->changeFlags = 0;
    }
    SbNotification r = Record(c.type, c.arg0, c.arg1, c.start, c.length);
    ASSERT_EQ(sbNotify(&r), SB_OK);
    SbNotification last = Record(16, ++marker);
    ASSERT_EQ(sbNotify(&last), SB_OK);
    WaitForVolumeRecord(computer_, marker);
    DaLockScope lock;
    EXPECT_EQ(computer_->changeFlags, c.flags);
    const bool added = c.diskKey != 0 || c.volumeKey != 0;
    ASSERT_EQ(computer_->changes.size(), added ? 2u : 1u);
    if (!added) continue;
    const ChangeRecord& got = computer_->changes.front();
    EXPECT_EQ(got.diskKey, c.diskKey);
    EXPECT_EQ(got.volumeKey, c.volumeKey);
    if (c.type == 64) {
      EXPECT_EQ(got.start, c.start);
      EXPECT_EQ(got.count, c.length);
    }
  }
}

TEST_F(ChangeReports, TheLibraryRefusesRecordsOfAnotherSize) {
  // 519 and 521 bytes never reach the thread; the callback itself ignores
  // them too (shown above).
  for (std::uint32_t size : {519u, 521u}) {
    SbNotification r = Record(1);
    r.size = size;
    EXPECT_EQ(sbNotify(&r), SB_STATUS_BAD_LENGTH) << size;
  }
  SbNotification last = Record(16, 77);
  ASSERT_EQ(sbNotify(&last), SB_OK);
  WaitForVolumeRecord(computer_, 77);
  DaLockScope lock;
  EXPECT_EQ(computer_->changeFlags, 0u);
  EXPECT_EQ(computer_->changes.size(), 1u);
}

// ------------------------------------------------------------- rescan

class Rescan : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string a =
        DaTest::MakeMbrImage(dir_, "a.img", 16, "label: dos\nstart=2048, type=83\n");
    const std::string b = DaTest::MakeMbrImage(
        dir_, "b.img", 16, "label: dos\nstart=2048, size=8192, type=7\nstart=12288, type=c\n");
    config_.Install("drive " + a + "\ndrive " + b + "\nvolume 2:2048+8192 letter=E\n");
    DaInit(0x1C11);
    computer_ = DaLocalComputer();
    ASSERT_NE(computer_, nullptr);
    DaLockScope lock;
    computer_->changes.clear();
    computer_->changeFlags = 0;
  }
  void TearDown() override { DaDone(); }

  // Drive reads logged from line `from` on, per drive number.
  std::map<std::uint32_t, unsigned> ReadsPerDrive(std::size_t from) const {
    const std::vector<std::string> lines = config_.LogLines();
    std::map<unsigned, std::uint32_t> driveOfHandle;
    const std::regex open("^sbOpenDrive\\((\\d+)\\) = 0 handle=(\\d+)");
    const std::regex read("^sbReadDrive\\((\\d+),");
    std::map<std::uint32_t, unsigned> reads;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::smatch m;
      if (std::regex_search(lines[i], m, open))
        driveOfHandle[std::stoul(m[2])] = std::stoul(m[1]);
      else if (i >= from && std::regex_search(lines[i], m, read))
        ++reads[driveOfHandle[std::stoul(m[1])]];
    }
    return reads;
  }

  static void Deliver(std::uint32_t type, std::uint32_t arg0) {
    SbNotification r;
    std::memset(&r, 0, sizeof r);
    r.size = sizeof r;
    r.type = type;
    r.arg0 = arg0;
    OnSnapshotLibraryEvent(&r);
  }

  DiskTest::TempDir dir_;
  DaTest::StandinConfig config_{dir_};
  da_computer* computer_ = nullptr;
};

// Every volume refresh lets the disk model read each disk's tables again,
// so a rescan after "volumes changed" alone is the baseline: a change of one
// disk must add reads of that disk only.
TEST_F(Rescan, ReReadsOnlyTheChangedDisk) {
  std::size_t from = config_.LogLines().size();
  EXPECT_EQ(DaRescanComputer(computer_, g_DaState.initFlags), 0u);  // nothing changed
  EXPECT_TRUE(ReadsPerDrive(from).empty());

  Deliver(SB_EVENT_VOLUMES_CHANGED, 0);
  from = config_.LogLines().size();
  DaRescanComputer(computer_, g_DaState.initFlags);
  std::map<std::uint32_t, unsigned> baseline = ReadsPerDrive(from);

  Deliver(SB_EVENT_VOLUMES_CHANGED, 0);
  Deliver(SB_EVENT_DISK_CHANGED, 2);
  from = config_.LogLines().size();
  const std::uint32_t result = DaRescanComputer(computer_, g_DaState.initFlags);
  EXPECT_EQ(result & 0x3, 0x3u);
  std::map<std::uint32_t, unsigned> reads = ReadsPerDrive(from);
  EXPECT_EQ(reads[1], baseline[1]);
  EXPECT_GT(reads[2], baseline[2]);
  // The re-read disk has its partitions again.
  stddisk* b = computer_->FindDiskByNumber(2);
  ASSERT_NE(b, nullptr);
  unsigned partitions = 0;
  for (holder* h = b->holder_list.first; h != nullptr; h = h->next)
    partitions += h->IsPartition() ? 1 : 0;
  EXPECT_EQ(partitions, 2u);
}

TEST_F(Rescan, AVolumeNoticeReReadsTheDiskOfItsPartition) {
  Deliver(SB_EVENT_VOLUMES_CHANGED, 0);
  std::size_t from = config_.LogLines().size();
  DaRescanComputer(computer_, g_DaState.initFlags);
  std::map<std::uint32_t, unsigned> baseline = ReadsPerDrive(from);

  // Volume 1 of the library lies on drive 2.
  Deliver(SB_EVENT_VOLUMES_CHANGED, 0);
  Deliver(SB_EVENT_VOLUME_CHANGED, 1);
  from = config_.LogLines().size();
  DaRescanComputer(computer_, g_DaState.initFlags);
  std::map<std::uint32_t, unsigned> reads = ReadsPerDrive(from);
  EXPECT_EQ(reads[1], baseline[1]);
  EXPECT_GT(reads[2], baseline[2]);
}

}  // namespace
