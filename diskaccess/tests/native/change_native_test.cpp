// Change reports from the library's callback become change flags and
// records of the local computer.
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
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
