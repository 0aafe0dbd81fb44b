// What the library volume handler offers beyond its volume: snapshots of
// it, by its lock state, and System Restore for its drive through a
// provider put in place by the test.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/restore_access.h"
#include "diskaccess/snapshots.h"
#include "diskaccess/win_computer.h"
#include "standin_fixture.h"

namespace {

class VolumeGlue : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.File("disk.img");
    ASSERT_TRUE(DaTest::Run("truncate -s 1M " + image_));
  }
  void TearDown() override {
    Da::SetSystemRestoreAccess(nullptr);
    volumes_.clear();
    if (DaIsInitialised()) DaDone();
    if (sblib_standin::TakeCensus().initialised) sbDoneLib();
  }
  // Volumes C:, A:, Z:, none and E: on one image.
  void Start() {
    config_.Install("drive " + image_ +
                    "\nvolume 1:0+256 letter=C\nvolume 1:256+256 letter=A\n"
                    "volume 1:512+256 letter=Z\nvolume 1:768+256\nvolume 1:1024+256 letter=E\n");
    SbInitRecord init{8, 0x10};
    SbLibInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(sbInitLibEx(&init, &info), SB_OK);
  }
  win_vol_handler& Open(std::uint32_t number) {
    SbHandle h = 0;
    EXPECT_EQ(sbOpenVolume(number, &h), SB_OK);
    volumes_.push_back(std::make_unique<win_vol_handler>(h, number));
    win_vol_handler& v = *volumes_.back();
    v.SetSectorSizeValue(512);
    v.SetLastSector(v.VolGetSize() - 1);
    return v;
  }

  DiskTest::TempDir dir_;
  DaTest::StandinConfig config_{dir_};
  std::string image_;
  std::vector<std::unique_ptr<win_vol_handler>> volumes_;
};

TEST_F(VolumeGlue, TheSnapshotKindFollowsTheLockState) {
  Start();
  win_vol_handler& v = Open(5);
  struct Case {
    std::uint32_t lockState, kind, lockAfter;
  } cases[] = {
      {0, 0x10000000, 0}, {1, 0x70000000, 0}, {2, 0x40000000, 2},
      {3, 0x40000000, 3}, {4, 0x10000000, 4}, {9, 0x10000000, 9},
  };
  for (const Case& c : cases) {
    v.flags = c.lockState;
    std::unique_ptr<Fdisk::SnapshotVolume> s(v.VolCreateSnapshot());
    ASSERT_NE(s, nullptr);
    auto* w = dynamic_cast<win_snapshot_volume*>(s.get());
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->state, c.kind) << c.lockState;
    EXPECT_EQ(v.flags, c.lockAfter) << c.lockState;
    EXPECT_EQ(w->volumeHandle, static_cast<std::uint32_t>(v.GetLibraryHandle()));
    EXPECT_EQ(w->GetSectorCount(), 255u);
  }
  v.flags = 0;
  win_vol_handler empty(0, 0);
  EXPECT_EQ(empty.VolCreateSnapshot(), nullptr);
  EXPECT_FALSE(empty.VolCanSnapshot());
}

// A volume locked exclusively hands its lock to the snapshot, which reads
// the live volume until the library's snapshot starts and then gives the
// lock back.
TEST_F(VolumeGlue, AnExclusivelyLockedVolumesSnapshotGivesTheLockBackAtTheStart) {
  Start();
  win_vol_handler& v = Open(5);
  ASSERT_TRUE(v.VolLockFull().IsNull());
  v.flags = 1;
  std::unique_ptr<Fdisk::SnapshotVolume> s(v.VolCreateSnapshot());
  ASSERT_TRUE(s->ReadsLiveVolume());
  ASSERT_TRUE(s->LockSnapshot(0x3).IsNull());
  ASSERT_TRUE(s->SetBitmap(0, 8, 32, nullptr).IsNull());
  const auto lines = config_.LogLines();
  std::size_t start = 0, unlock = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("sbStart(", 0) == 0) start = i;
    if (lines[i].rfind("sbUnlockVolume(", 0) == 0 && lines[i].find(") = 0") != std::string::npos)
      unlock = i;
  }
  EXPECT_GT(start, 0u);
  EXPECT_GT(unlock, start);
  EXPECT_EQ(sblib_standin::TakeCensus().locks, 0u);
  std::vector<std::uint8_t> bytes(4 * 512, 1);
  EXPECT_TRUE(s->Io(Fdisk::kIoRead, 2, bytes.data(), 4).IsNull());
  EXPECT_EQ(bytes, DaTest::FileBytes(image_, (1024 + 2) * 512ull, bytes.size()));
}

TEST_F(VolumeGlue, SnapshotsNeedTheLocalComputerWithoutItsNoSnapshotFlag) {
  Start();
  win_vol_handler& v = Open(5);
  EXPECT_FALSE(v.VolCanSnapshot());  // no computer yet
  volumes_.clear();
  sbDoneLib();
  config_.Install("drive " + image_ + "\nvolume 1:0+256 letter=E\n");
  DaInit(0x1C11);
  SbHandle h = 0;
  ASSERT_EQ(sbOpenVolume(1, &h), SB_OK);
  win_vol_handler w(h, 1);
  EXPECT_TRUE(w.VolCanSnapshot());
  DaLocalComputer()->capabilities |= 0x4000;
  EXPECT_FALSE(w.VolCanSnapshot());
  DaLocalComputer()->capabilities &= ~0x4000u;
}

TEST_F(VolumeGlue, SystemRestoreAnswersByStateAndLetter) {
  Start();
  std::vector<std::u16string> asked;
  std::uint32_t answer = 0;
  bool fail = false;
  Da::SystemRestoreAccess access;
  access.query = [&](const std::u16string& drive, std::uint32_t& state) {
    asked.push_back(drive);
    state = answer;
    return fail ? Common::Error(1, 2, 0x1407D1) : Common::Error();
  };
  access.set = [&](bool enable, const std::u16string& drive) {
    asked.push_back((enable ? u"on " : u"off ") + drive);
    return fail ? Common::Error(1, 2, 0x1407D7) : Common::Error();
  };
  Da::SetSystemRestoreAccess(&access);
  struct Case {
    std::uint32_t volume, state;
    bool fail, answer, enabled;
  } cases[] = {
      {1, 0, false, true, false},  {1, 1, false, true, true},   {1, 2, false, true, false},
      {2, 2, false, false, false}, {3, 2, false, true, false},  {4, 1, false, false, false},
      {1, 1, true, false, false},
  };
  for (const Case& c : cases) {
    win_vol_handler& v = Open(c.volume);
    answer = c.state;
    fail = c.fail;
    bool enabled = !c.enabled;
    EXPECT_EQ(v.VolQuerySystemRestore(enabled), c.answer) << c.volume << "/" << c.state;
    EXPECT_EQ(enabled, c.enabled) << c.volume << "/" << c.state;
  }
  // The volume without a letter has no path: the provider was not asked.
  EXPECT_EQ(asked.size(), 6u);
  EXPECT_EQ(asked[0], u"C:\\");

  asked.clear();
  fail = false;
  EXPECT_TRUE(Open(5).VolSetSystemRestore(true));
  EXPECT_FALSE(Open(4).VolSetSystemRestore(true));
  fail = true;
  EXPECT_FALSE(Open(1).VolSetSystemRestore(false));
  EXPECT_EQ(asked, (std::vector<std::u16string>{u"on E:\\", u"off C:\\"}));

  // Natively there is no System Restore to ask.
  Da::SetSystemRestoreAccess(nullptr);
  bool enabled = true;
  EXPECT_FALSE(Open(1).VolQuerySystemRestore(enabled));
  EXPECT_FALSE(enabled);
}

}  // namespace
