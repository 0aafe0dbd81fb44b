// Snapshot volumes over the stand-in library: a FAT volume made by mkfs.fat
// and filled by mcopy keeps reading as it was when the snapshot started
// while another handle writes over it through the library, judged with cmp
// and fsck.fat against a copy taken before; the sequence errors; the faults
// of a reader that loses data; the temporary file's life.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/snapshots.h"
#include "diskaccess/win_computer.h"
#include "standin_fixture.h"

namespace {

constexpr std::uint32_t kSector = 512;
constexpr std::uint64_t kSectors = 4096;  // a 2 MiB volume
constexpr std::uint32_t kOrigin = 100;
constexpr std::uint32_t kBlock = 8;

unsigned ThreadCount() {
  unsigned n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

std::vector<std::string> StorageFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strncmp(e->d_name, "qvl", 3) == 0) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

class SnapshotOverStandin : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.File("volume.img");
    before_ = dir_.File("before.img");
    temp_ = dir_.File("temp");
    // A FAT volume with files in it, as the tools make it.
    ASSERT_TRUE(DaTest::Run("mkfs.fat -C -n SNAP " + image_ + " " +
                            std::to_string(kSectors / 2) + " >/dev/null"));
    ASSERT_TRUE(DaTest::Run("head -c 300000 /dev/urandom > " + dir_.File("a.bin")));
    ASSERT_TRUE(DaTest::Run("seq 1 40000 > " + dir_.File("b.txt")));
    ASSERT_TRUE(DaTest::Run("mcopy -i " + image_ + " " + dir_.File("a.bin") + " " +
                            dir_.File("b.txt") + " ::/"));
    ASSERT_TRUE(DaTest::Run("mkdir -p " + temp_));
    oldTmp_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", temp_.c_str(), 1);
  }
  void TearDown() override {
    snapshots_.clear();
    volumes_.clear();
    if (sblib_standin::TakeCensus().initialised) sbDoneLib();
    if (oldTmp_.empty()) unsetenv("TMPDIR");
    else setenv("TMPDIR", oldTmp_.c_str(), 1);
    g_DaHooks.diskIoError = nullptr;
  }

  void Start(const std::string& extra = "", const std::string& volume = "letter=E") {
    config_.Install("drive " + image_ + "\nvolume 1:0+" + std::to_string(kSectors) + " " +
                    volume + "\n" + extra);
    SbInitRecord init{8, 0x10};
    SbLibInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(sbInitLibEx(&init, &info), SB_OK);
    ASSERT_TRUE(DaTest::Run("cp " + image_ + " " + before_));
  }
  win_vol_handler& Open() {
    SbHandle h = 0;
    EXPECT_EQ(sbOpenVolume(1, &h), SB_OK);
    volumes_.push_back(std::make_unique<win_vol_handler>(h, 1));
    win_vol_handler& v = *volumes_.back();
    v.SetSectorSizeValue(kSector);
    v.SetLastSector(v.VolGetSize() - 1);
    return v;
  }
  win_snapshot_volume& Snapshot(win_vol_handler& v, std::uint32_t kind = SnapState::kLibrary) {
    snapshots_.push_back(std::make_unique<win_snapshot_volume>(v, kind));
    return *snapshots_.back();
  }
  // A library snapshot of one volume, created and started with 8-sector
  // blocks from sector 100 on.
  win_snapshot_volume& Started(win_vol_handler& v) {
    win_snapshot_volume& s = Snapshot(v);
    EXPECT_TRUE(s.LockSnapshot(0x1 | 0x2).IsNull());
    EXPECT_TRUE(s.SetBitmap(kOrigin, kBlock, (kSectors - kOrigin) / kBlock, nullptr).IsNull());
    return s;
  }
  std::vector<std::uint8_t> Before(std::uint64_t first, std::uint64_t count) const {
    return DaTest::FileBytes(before_, first * kSector, count * kSector);
  }
  std::vector<std::uint8_t> Read(win_snapshot_volume& s, std::uint64_t first,
                                 std::uint64_t count, Common::Error* error = nullptr) {
    std::vector<std::uint8_t> bytes(count * kSector);
    Common::Error e = s.Io(Fdisk::kIoRead, first, bytes.data(), count);
    if (error) *error = e;
    else EXPECT_TRUE(e.IsNull()) << first << "+" << count;
    return bytes;
  }
  unsigned Calls(const std::string& name) const {
    unsigned n = 0;
    for (const std::string& line : config_.LogLines()) n += line.rfind(name + "(", 0) == 0;
    return n;
  }

  DiskTest::TempDir dir_;
  DaTest::StandinConfig config_{dir_};
  std::string image_, before_, temp_, oldTmp_;
  std::vector<std::unique_ptr<win_vol_handler>> volumes_;
  std::vector<std::unique_ptr<win_snapshot_volume>> snapshots_;
};

// Writes of random data through another handle (before the origin, across
// it, inside blocks, over whole runs) go on while the snapshot reads ranges
// that cross saved and unsaved runs; afterwards the whole snapshot equals
// the copy taken before (cmp) and is a clean FAT volume (fsck.fat), while the
// live volume has changed.
TEST_F(SnapshotOverStandin, ReadsEqualTheVolumeBeforeWhileWritesGoOn) {
  Start();
  win_vol_handler& live = Open();
  win_vol_handler& other = Open();
  const unsigned threads = ThreadCount();
  win_snapshot_volume& s = Started(live);
  EXPECT_TRUE(s.group->ReaderRunning());
  EXPECT_EQ(ThreadCount(), threads + 1);
  EXPECT_EQ(StorageFiles(temp_).size(), 0u);  // made on the first hand-over

  struct Range {
    std::uint64_t first, count;
  };
  const Range writes[] = {{50, 11}, {95, 10}, {101, 2}, {130, 40}, {0, 4},
                          {700, 300}, {2000, 1}, {4090, 6}, {108, 16}, {30, 200}};
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::mt19937 random(7);
    for (const Range& w : writes) {
      std::vector<std::uint8_t> junk(w.count * kSector);
      for (auto& b : junk) b = static_cast<std::uint8_t>(random());
      EXPECT_TRUE(other.Io(Fdisk::kIoWrite, w.first, junk.data(), w.count).IsNull());
    }
    done = true;
  });
  // Reads during the writes, each range crossing what is saved by then and
  // what is not.
  const Range reads[] = {{101, 2}, {100, 10}, {95, 30}, {0, 300}, {2000, 3}, {4088, 8},
                         {99, 2},  {107, 2},  {60, 900}};
  for (int round = 0; round < 3; ++round)
    for (const Range& r : reads) EXPECT_EQ(Read(s, r.first, r.count), Before(r.first, r.count));
  writer.join();
  EXPECT_EQ(StorageFiles(temp_).size(), 1u);  // the storage exists during the snapshot
  for (const Range& r : reads) EXPECT_EQ(Read(s, r.first, r.count), Before(r.first, r.count));

  const std::string out = dir_.File("snapshot.img");
  {
    std::ofstream file(out, std::ios::binary);
    for (std::uint64_t at = 0; at < kSectors; at += 512) {
      const auto bytes = Read(s, at, 512);
      file.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
  }
  EXPECT_TRUE(DaTest::Run("cmp -s " + out + " " + before_));
  EXPECT_FALSE(DaTest::Run("cmp -s " + image_ + " " + before_));
  EXPECT_TRUE(DaTest::Run("fsck.fat -n " + out + " >/dev/null"));
  EXPECT_TRUE(DaTest::Run("mcopy -n -i " + out + " ::/b.txt " + dir_.File("b.out") + " && cmp -s " +
                          dir_.File("b.out") + " " + dir_.File("b.txt")));

  // The reader thread ends and the temporary file goes with the last user.
  snapshots_.clear();
  EXPECT_EQ(ThreadCount(), threads);  // joined, not left behind
  EXPECT_EQ(SnapshotStorage::Current(), nullptr);
  EXPECT_EQ(StorageFiles(temp_).size(), 0u);
  EXPECT_EQ(Calls("sbClose"), 1u);  // the library snapshot
}

// The sequence errors of snapshot volumes and groups.
TEST_F(SnapshotOverStandin, SequenceErrors) {
  Start("volume 1:0+64 letter=F flags=2\n");
  win_vol_handler& v = Open();
  SbHandle systemHandle = 0;
  ASSERT_EQ(sbOpenVolume(2, &systemHandle), SB_OK);
  volumes_.push_back(std::make_unique<win_vol_handler>(systemHandle, 2));
  win_vol_handler& system = *volumes_.back();
  system.SetSectorSizeValue(kSector);
  system.SetLastSector(63);

  win_snapshot_volume& s = Snapshot(v);
  // Reads are all it does; nothing is asked of the library for none.
  const std::size_t before = config_.LogLines().size();
  EXPECT_EQ(s.Io(Fdisk::kIoWrite, 0, nullptr, 1).Code(), Da::SnapCode::kReadOnly);
  EXPECT_TRUE(s.Io(Fdisk::kIoRead, 0, nullptr, 0).IsNull());
  EXPECT_EQ(config_.LogLines().size(), before);
  // No bitmap before the group has started.
  EXPECT_EQ(s.SetBitmap(kOrigin, kBlock, 10, nullptr).Code(), Da::SnapCode::kBitmapSequence);
  Fdisk::SnapshotVolume* pending = &s;
  std::uint64_t sector = 0;
  EXPECT_TRUE(s.GetReadState(pending, sector).IsNull());
  EXPECT_EQ(pending, nullptr);
  EXPECT_EQ(sector, ~std::uint64_t{0});

  ASSERT_TRUE(s.LockSnapshot(0x3).IsNull());
  EXPECT_EQ(s.LockSnapshot(0x2).Code(), Da::SnapCode::kLockSequence);
  EXPECT_NE(s.GetLibrarySnapshotHandle(), 0u);
  // Bitmaps of 2^32 blocks cannot be told to the library.
  const Common::Error big = s.SetBitmap(kOrigin, kBlock, std::uint64_t{1} << 32, nullptr);
  EXPECT_EQ(big.Code(), Da::SnapCode::kBlockLimit);
  EXPECT_EQ(Common::GetNumberField(big, "blocks"), std::uint64_t{1} << 32);
  ASSERT_TRUE(s.SetBitmap(kOrigin, kBlock, 10, nullptr).IsNull());
  EXPECT_EQ(s.SetBitmap(kOrigin, kBlock, 10, nullptr).Code(), Da::SnapCode::kBitmapSequence);
  void* block = nullptr;
  EXPECT_TRUE(s.AllocateMemory(block, 4096).IsNull());
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(s.AllocateMemory(block, 4096).Code(), Da::SnapCode::kMemorySequence);

  // Two volumes of the live kind never share a group; a handle is adopted
  // only by a group of one.
  win_snapshot_volume& a = Snapshot(v, SnapState::kLive);
  win_snapshot_volume& b = Snapshot(system, SnapState::kLive);
  EXPECT_FALSE(a.JoinSnapshotGroup(&b));
  win_snapshot_volume& c = Snapshot(v);
  win_snapshot_volume& d = Snapshot(system);
  ASSERT_TRUE(c.JoinSnapshotGroup(&d));
  EXPECT_EQ(c.SetSnapshotHandle(s.GetLibrarySnapshotHandle()).Code(), Da::SnapCode::kHandleSequence);
  EXPECT_FALSE(c.JoinSnapshotGroup(&d));  // already together

  // A system volume without a library snapshot is never locked for reading.
  win_snapshot_volume& e = Snapshot(system, 0);
  const unsigned locks = Calls("sbLockVolume");
  EXPECT_EQ(e.LockSnapshot(0x1).Code(), Da::SnapCode::kLockAndCreate);
  EXPECT_EQ(Calls("sbLockVolume"), locks);
  // A volume that is not the system volume is locked instead, and read live.
  win_snapshot_volume& f = Snapshot(v, 0);
  EXPECT_TRUE(f.LockSnapshot(0x1).IsNull());
  EXPECT_TRUE(f.ReadsLiveVolume());
  EXPECT_EQ(Read(f, 10, 20), Before(10, 20));
}

// The library refuses to keep the old data itself: two mode bits fall back
// to the plain snapshot, one fails at once.
TEST_F(SnapshotOverStandin, RefusedModeCombinationsFallBackToThePlainSnapshot) {
  Start();
  win_vol_handler& v = Open();
  win_snapshot_volume& two = Snapshot(v);
  EXPECT_TRUE(two.LockSnapshot(0x1 | 0x2 | 0x4 | 0x8).IsNull());
  EXPECT_EQ(two.state & SnapState::kModeBits, 0u);
  EXPECT_TRUE(two.IsPlainLibrarySnapshot());
  bool refused = false, plain = false;
  for (const std::string& line : config_.LogLines()) {
    refused = refused || line.find("flags=0x90, entries=0) = 50") != std::string::npos;
    plain = plain || line.find("flags=0x0, entries=0) = 0") != std::string::npos;
  }
  EXPECT_TRUE(refused && plain);
  win_vol_handler& w = Open();
  win_snapshot_volume& one = Snapshot(w);
  EXPECT_EQ(one.LockSnapshot(0x1 | 0x2 | 0x8).Code(), Da::SnapCode::kCreate);
}

// A library that names less than a block: the reader takes the whole block
// over, and the snapshot still reads as it was.
TEST_F(SnapshotOverStandin, PendingRequestsShorterThanABlockAreReadAsWholeBlocks) {
  Start("snapshot pending=3\n");
  win_vol_handler& live = Open();
  win_vol_handler& other = Open();
  win_snapshot_volume& s = Started(live);
  std::vector<std::uint8_t> junk(20 * kSector, 0xA5);
  std::thread writer([&] { EXPECT_TRUE(other.Io(Fdisk::kIoWrite, 110, junk.data(), 20).IsNull()); });
  writer.join();
  EXPECT_EQ(Read(s, 100, 40), Before(100, 40));
  for (const auto& kv : s.saved) EXPECT_EQ(kv.second.count % kBlock, 0u) << kv.first;
}

// The reader loses a hand-over: from then on the snapshot refuses to read
// instead of showing data written after it started.
TEST_F(SnapshotOverStandin, AFailedReaderFailsTheSnapshotsReads) {
  Start("fail sbRead 31\n");
  win_vol_handler& live = Open();
  win_vol_handler& other = Open();
  win_snapshot_volume& s = Started(live);
  std::vector<std::uint8_t> junk(8 * kSector, 0x5A);
  // The write waits for a hand-over that never comes, until the snapshot
  // is closed at teardown.
  std::thread writer([&] { other.Io(Fdisk::kIoWrite, 200, junk.data(), 8); });
  auto failed = [&] {
    Common::CriticalSectionLock guard(&s.group->Lock());
    return (s.group->State() & SnapshotGroup::kFailed) != 0;
  };
  // The reader fails at its first hand-over, whenever the write comes.
  while (!failed()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Common::Error e;
  Read(s, 0, 8, &e);
  EXPECT_EQ(e.Code(), Da::SnapCode::kRead);
  snapshots_.clear();  // closes the library snapshot: the write goes on
  writer.join();
  EXPECT_EQ(DaTest::FileBytes(image_, 200 * kSector, junk.size()), junk);
}

// A library that reads fewer sectors of a whole block than lie before the
// ones asked for delivers nothing of them: the read fails instead of
// handing over what the transfer buffer held before.
TEST_F(SnapshotOverStandin, AWholeBlockReadThatStopsShortFailsTheRead) {
  Start("snapshot shortread=2\n");
  win_vol_handler& live = Open();
  win_snapshot_volume& s = Started(live);
  EXPECT_EQ(Read(s, 96, 2), Before(96, 2));  // before the origin: no blocks
  Common::Error e;
  Read(s, 104, 2, &e);  // block 100-107, of which only 100-101 come
  EXPECT_EQ(e.Code(), Da::SnapCode::kRead);
}

// Reads of a member whose group is not yet reading (another member has not
// set its bitmap) are refused, not served from a buffer that is not there.
TEST_F(SnapshotOverStandin, ReadsBeforeEveryBitmapIsSetAreRefused) {
  Start("volume 1:64+64 letter=G\n");
  win_vol_handler& v = Open();
  SbHandle h = 0;
  ASSERT_EQ(sbOpenVolume(2, &h), SB_OK);
  volumes_.push_back(std::make_unique<win_vol_handler>(h, 2));
  win_vol_handler& w = *volumes_.back();
  w.SetSectorSizeValue(kSector);
  w.SetLastSector(63);
  win_snapshot_volume& a = Snapshot(v);
  win_snapshot_volume& b = Snapshot(w);
  ASSERT_TRUE(a.JoinSnapshotGroup(&b));
  ASSERT_TRUE(a.LockSnapshot(0x3).IsNull());
  ASSERT_TRUE(a.SetBitmap(0, kBlock, kSectors / kBlock, nullptr).IsNull());
  EXPECT_FALSE(a.group->ReaderRunning());
  Common::Error e;
  Read(a, 3, 2, &e);
  EXPECT_EQ(e.Code(), Da::SnapCode::kRead);
  ASSERT_TRUE(b.SetBitmap(0, kBlock, 8, nullptr).IsNull());
  EXPECT_TRUE(a.group->ReaderRunning());
  EXPECT_EQ(Read(a, 3, 2), Before(3, 2));
  EXPECT_EQ(Read(b, 3, 2), Before(67, 2));
}

}  // namespace
