// A partition's volume locked over the stand-in library together with the
// boot disk and its own disk, the host's answers when a disk lock is
// refused, and the disk locks given back once no locked volume needs them;
// what reached the library is read from its call log. The partitions are
// laid out by sfdisk.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/global_ops.h"
#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "diskaccess/volume_handlers.h"
#include "standin_fixture.h"

namespace {

using DaTest::Extent;
using DaTest::SfdiskSpans;
using DaTest::Span;
using DaTest::StandinConfig;

std::vector<std::uint32_t> g_answers;
unsigned g_asked = 0;

std::uint32_t AnswerDiskLock(std::uint32_t, void*, const Common::Error&) {
  ++g_asked;
  if (g_answers.empty()) return 1;
  const std::uint32_t a = g_answers.front();
  g_answers.erase(g_answers.begin());
  return a;
}

class HolderLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    boot_ = DaTest::MakeMbrImage(dir_, "boot.img", 16, "label: dos\nstart=2048, type=7\n");
    data_ = DaTest::MakeMbrImage(dir_, "data.img", 16, "label: dos\nstart=2048, type=7\n");
    spans_ = SfdiskSpans(data_);
    ASSERT_EQ(spans_.size(), 1u);
    g_DaHooks.partitionWork = AnswerDiskLock;
    g_answers.clear();
    g_asked = 0;
    DaResetDiskLockAnswers();
    DaResetDeferredLocks();
  }
  void TearDown() override {
    DaDone();
    g_DaHooks.partitionWork = nullptr;
    DaResetDiskLockAnswers();
    DaResetDeferredLocks();
  }

  // The data disk's partition, its volume from the library.
  holder* Init(const std::string& extra) {
    config_.Install("drive " + boot_ + " bios=0x80\ndrive " + data_ + " bios=0x81\n" +
                    "volume " + Extent(2, spans_[0].start, spans_[0].size) + " letter=E\n" +
                    extra);
    DaInit(0x1C11);
    da_computer* c = DaLocalComputer();
    EXPECT_NE(c, nullptr);
    if (c == nullptr || c->FirstDisk() == nullptr || c->FirstDisk()->next == nullptr)
      return nullptr;
    for (holder* h = c->FirstDisk()->next->holder_list.first; h != nullptr; h = h->next)
      if (h->IsPartition()) return h;
    return nullptr;
  }
  // The lock and unlock calls of the log since the last ClearLog, as
  // "name(handle)" without their arguments beyond the first.
  std::vector<std::string> LockCalls() const {
    std::vector<std::string> out;
    for (const std::string& line : config_.LogLines()) {
      if (line.find("ock") == std::string::npos) continue;  // lock and unlock calls
      const std::string name = line.substr(0, line.find('('));
      const std::size_t open = line.find('(') + 1;
      const std::size_t end = line.find_first_of(",)", open);
      out.push_back(name + "(" + line.substr(open, end - open) + ")" +
                    (line.find(") = 0") != std::string::npos ? "" : " refused"));
    }
    return out;
  }
  std::string DriveHandle(stddisk* d) const { return std::to_string(d->GetLibraryHandle()); }

  DiskTest::TempDir dir_;
  StandinConfig config_{dir_};
  std::string boot_, data_;
  std::vector<Span> spans_;
};

TEST_F(HolderLocks, AFullLockTakesBothDisksFirstAndGivesThemBackWithTheVolume) {
  holder* h = Init("");
  ASSERT_NE(h, nullptr);
  vol_handler* v = h->GetVolumeHandler();
  ASSERT_NE(v, nullptr);
  ASSERT_NE(v->GetLibraryHandle(), 0);
  stddisk* data = h->GetDisk();
  stddisk* boot = DaFindBootDisk(data);
  ASSERT_NE(boot, nullptr);
  ASSERT_NE(boot, data);
  const std::string volume = std::to_string(v->GetLibraryHandle());
  config_.ClearLog();

  ASSERT_TRUE(LockHolderVolume(h, kVolLockFull, true));
  EXPECT_TRUE(IsVolumeLocked(v));
  EXPECT_TRUE(DiskHasLockedVolume(data));
  EXPECT_TRUE(ComputerHasLockedVolume(boot));
  const std::vector<std::string> locked = {"sbLockDrive(" + DriveHandle(boot) + ")",
                                           "sbLockDrive(" + DriveHandle(data) + ")",
                                           "sbLockVolume(" + volume + ")"};
  EXPECT_EQ(LockCalls(), locked);
  EXPECT_EQ(g_asked, 0u);

  config_.ClearLog();
  UnlockHolderVolume(h, kVolLockFull);
  EXPECT_FALSE(IsVolumeLocked(v));
  const std::vector<std::string> unlocked = {"sbUnlockVolume(" + volume + ")",
                                             "sbUnlockDrive(" + DriveHandle(boot) + ")",
                                             "sbUnlockDrive(" + DriveHandle(data) + ")"};
  EXPECT_EQ(LockCalls(), unlocked);

  // A volume with nothing to lock: true, and nothing reaches the library.
  config_.ClearLog();
  EXPECT_TRUE(LockHolderVolume(boot->GetTopHolder(0), kVolLockFull, true));
  EXPECT_TRUE(LockCalls().empty());
}

TEST_F(HolderLocks, TheHostsAnswersWhenADiskLockIsRefused) {
  struct Case {
    const char* what;
    std::uint32_t mode;
    std::vector<std::uint32_t> answers;
    bool result;
    unsigned asked;
    unsigned driveLocks;  // attempts on the data disk
  };
  const Case cases[] = {
      {"1: give up, the volume stays unlocked", kVolLockFull, {1}, false, 1, 1},
      {"2: go on without the disk", kVolLockFull, {2}, true, 1, 1},
      {"3: go on and stop asking", kVolLockFull, {3}, true, 1, 1},
      {"anything else: try again", kVolLockFull, {5, 7, 2}, true, 3, 3},
      {"a fast lock needs no disk lock", kVolLockFast, {}, true, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The boot disk locks; the data disk is held by another program.
    holder* h = Init("fail sbLockDrive 33 after=1\n");
    ASSERT_NE(h, nullptr);
    vol_handler* v = h->GetVolumeHandler();
    ASSERT_NE(v, nullptr);
    const std::string data = DriveHandle(h->GetDisk());
    g_answers = c.answers;
    g_asked = 0;
    config_.ClearLog();
    EXPECT_EQ(LockHolderVolume(h, c.mode, true), c.result);
    EXPECT_EQ(g_asked, c.asked);
    EXPECT_EQ(IsVolumeLocked(v), c.result);
    unsigned attempts = 0, volumeLocks = 0;
    for (const std::string& call : LockCalls()) {
      attempts += call == "sbLockDrive(" + data + ") refused";
      volumeLocks += call.rfind("sbLockVolume(", 0) == 0;
    }
    EXPECT_EQ(attempts, c.driveLocks);
    EXPECT_EQ(volumeLocks, c.result ? 1u : 0u);
    if (c.result) UnlockHolderVolume(h, c.mode);
    EXPECT_FALSE(IsVolumeLocked(v));

    // After answer 3 a refused disk lock is not asked about again.
    if (c.answers == std::vector<std::uint32_t>{3}) {
      g_asked = 0;
      EXPECT_TRUE(LockHolderVolume(h, kVolLockFull, true));
      EXPECT_EQ(g_asked, 0u);
      UnlockHolderVolume(h, kVolLockFull);
    }
    DaResetDiskLockAnswers();
    DaDone();
  }
}

}  // namespace
