// The resizer over disks in memory: the raw processor's format, copies in
// every direction and across sector sizes, progress reports, the job queue,
// chunk enumerators and the request protocol's descriptions.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "diskaccess/resizer.h"
#include "disktest/memory_disk.h"

namespace {

using DiskTest::MemoryDisk;

class ResizerTest : public ::testing::Test {
 protected:
  void SetUp() override { resizer::RegisterRawProcessor(); }
};

void Fill(MemoryDisk& disk, std::uint64_t sectors, std::uint32_t size, std::uint32_t seed) {
  std::vector<std::uint32_t> words(std::size_t(sectors) * size / 4);
  std::uint32_t x = seed;
  for (auto& w : words) w = x = x * 1103515245u + 12345u;
  disk.Put(0, words.data(), words.size() * 4);
}

std::vector<std::uint8_t> Bytes(MemoryDisk& disk, std::uint64_t first, std::uint64_t count,
                                std::uint32_t size) {
  std::vector<std::uint8_t> out;
  for (std::uint64_t s = first; s < first + count; ++s) {
    const std::uint8_t* p = disk.Sector(s);
    out.insert(out.end(), p, p + size);
  }
  return out;
}

PartitionParameters Place(Fdisk::SimpleDisk* disk, std::uint64_t start, std::uint64_t length) {
  PartitionParameters d;
  d.Device = disk;
  d.SectorSize = disk ? disk->GetSectorSize() : 512;
  d.Start = start;
  d.Length = d.FsLength = d.FsLength2 = length;
  return d;
}

TEST_F(ResizerTest, FormatClearsTheHeadAndTheLastSectors) {
  struct Case {
    std::uint32_t size;
    std::uint64_t length;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> writes;  // relative to the start
  } cases[] = {
      {512, 100, {{0, 100}}},
      {512, 137, {{0, 136}, {136, 1}}},
      {512, 1000, {{0, 136}, {999, 1}}},
      {4096, 40, {{0, 17}, {39, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " x " + std::to_string(c.length));
    MemoryDisk disk(c.length + 20, c.size);
    std::vector<std::uint8_t> ones(std::size_t(c.length + 20) * c.size, 0xFF);
    disk.Put(0, ones.data(), ones.size());
    PartitionParameters target = Place(&disk, 10, c.length);
    FileSystemOptions options;
    Common::Error result;
    Da::RunResizerFormat(&target, result, &options);
    ASSERT_TRUE(result.IsNull()) << std::hex << result.Code();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;
    for (auto w : c.writes) expected.push_back({w.first + 10, w.second});
    EXPECT_EQ(disk.Writes(), expected);
    EXPECT_EQ(disk.Sector(9)[0], 0xFF);
    EXPECT_EQ(disk.Sector(10 + c.length)[0], 0xFF);
  }
  PartitionParameters nowhere = Place(nullptr, 0, 100);
  Common::Error result;
  FileSystemOptions options;
  Da::RunResizerFormat(&nowhere, result, &options);
  EXPECT_EQ(result.Code(), resizer::kInternal);
}

// Copies of a 40,000-sector partition (more than one 16 MiB step, not a
// multiple of it) within one disk and between two.
TEST_F(ResizerTest, CopiesMatchAReferenceInEveryDirection) {
  const std::uint64_t length = 40000;
  struct Case {
    const char* what;
    std::uint64_t from, to;
    bool otherDisk;
  } cases[] = {
      {"forward, overlapping", 1000, 5000, false},
      {"backward, overlapping", 5000, 1000, false},
      {"apart on one disk", 0, 50000, false},
      {"to another disk", 100, 300, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryDisk disk(100000);
    Fill(disk, 100000, 512, 7);
    MemoryDisk other(100000);
    const std::vector<std::uint8_t> expected = Bytes(disk, c.from, length, 512);
    MemoryDisk& target = c.otherDisk ? other : disk;
    PartitionParameters source = Place(&disk, c.from, length);
    PartitionParameters destination = Place(&target, c.to, length);
    FileSystemOptions options;
    bool touched = false;
    Common::Error result;
    Da::RunResizer(result, 0x540, &options, &source, nullptr, &destination, &touched);
    ASSERT_TRUE(result.IsNull()) << std::hex << result.Code();
    EXPECT_FALSE(touched);
    EXPECT_TRUE(Bytes(target, c.to, length, 512) == expected);
    EXPECT_EQ(destination.Start, c.to);
    EXPECT_EQ(destination.FsLength, length);
  }
}

TEST_F(ResizerTest, CopiesAcrossSectorSizes) {
  // 1,001 small sectors into large ones: the last large sector's tail is zero.
  MemoryDisk small(2000, 512), large(400, 4096);
  Fill(small, 2000, 512, 3);
  std::vector<std::uint8_t> ones(400 * 4096, 0xFF);
  large.Put(0, ones.data(), ones.size());
  PartitionParameters source = Place(&small, 10, 1001);
  PartitionParameters destination = Place(&large, 5, 200);
  FileSystemOptions options;
  Common::Error result;
  Da::RunResizer(result, 0x540, &options, &source, nullptr, &destination, nullptr);
  ASSERT_TRUE(result.IsNull()) << std::hex << result.Code();
  EXPECT_EQ(destination.FsLength, 126u);  // 1001 / 8 rounded up
  std::vector<std::uint8_t> expected = Bytes(small, 10, 1001, 512);
  expected.resize(126 * 4096, 0);
  EXPECT_TRUE(Bytes(large, 5, 126, 4096) == expected);

  // And back.
  MemoryDisk back(2000, 512);
  PartitionParameters from = Place(&large, 5, 126);
  PartitionParameters to = Place(&back, 0, 1008);
  Da::RunResizer(result, 0x540, &options, &from, nullptr, &to, nullptr);
  ASSERT_TRUE(result.IsNull()) << std::hex << result.Code();
  EXPECT_TRUE(Bytes(back, 0, 1008, 512) == expected);

  // A file system that cannot change its sector size is refused before any write.
  large.ClearWrites();
  PartitionParameters fat = Place(&small, 10, 1001);
  fat.FsType = 12;
  PartitionParameters fatTarget = Place(&large, 5, 200);
  Da::RunResizer(result, 0x540, &options, &fat, nullptr, &fatTarget, nullptr);
  EXPECT_EQ(result.Code(), resizer::kResizeImpossible);
  EXPECT_TRUE(large.Writes().empty());
  // Too small a target, too.
  PartitionParameters tight = Place(&large, 5, 125);
  Da::RunResizer(result, 0x540, &options, &source, nullptr, &tight, nullptr);
  EXPECT_EQ(result.Code(), resizer::kResizeImpossible);
  EXPECT_TRUE(large.Writes().empty());
}

TEST_F(ResizerTest, BootSectorsArePatchedOnlyWhenTheyAreBootSectors) {
  struct Case {
    std::uint8_t jump;
    bool signature;
    bool patched;
  } cases[] = {{0xEB, true, true}, {0xE9, true, true}, {0x90, true, false}, {0xEB, false, false}};
  for (const Case& c : cases) {
    MemoryDisk disk(400);
    Fdisk::Geometry g;
    g.sectorsPerTrack = 63;
    g.highestHead = 254;
    disk.SetGeometry(g);
    std::uint8_t boot[512] = {};
    boot[0] = c.jump;
    if (c.signature) boot[510] = 0x55, boot[511] = 0xAA;
    disk.Put(0, boot, sizeof boot);
    PartitionParameters source = Place(&disk, 0, 100);
    source.FsType = 12;  // FAT16
    PartitionParameters destination = Place(&disk, 200, 100);
    FileSystemOptions options;
    options.ExtPartitionStart = 50;
    Common::Error result;
    Da::RunResizer(result, 0x540, &options, &source, nullptr, &destination, nullptr);
    ASSERT_TRUE(result.IsNull());
    const std::uint8_t* copy = disk.Sector(200);
    const std::uint32_t geometry = std::uint32_t(copy[24] | copy[25] << 8 | copy[26] << 16 | copy[27] << 24);
    const std::uint32_t hidden = std::uint32_t(copy[28] | copy[29] << 8 | copy[30] << 16 | copy[31] << 24);
    if (c.patched) {
      EXPECT_EQ(geometry, 63u | 255u << 16);
      EXPECT_EQ(hidden, 150u);
      EXPECT_EQ(destination.FsType, 12);
    } else {
      EXPECT_EQ(std::memcmp(copy, boot, 512), 0);
    }
  }
}

class Recorder : public ResizerCallback {
 public:
  std::uint32_t Progress(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                         std::uint32_t, std::uint32_t) override {
    std::lock_guard<std::mutex> lock(mutex);
    perMille.push_back(a);
    total = b;
    bytes.push_back(std::uint64_t(c) | std::uint64_t(d) << 32);
    threads.push_back(std::this_thread::get_id());
    return 0;
  }
  std::mutex mutex;
  std::vector<std::uint32_t> perMille;
  std::vector<std::uint64_t> bytes;
  std::vector<std::thread::id> threads;
  std::uint32_t total = 0;
};

TEST(ResizerProgress, ReportsEveryStepInOrderOnItsOwnThread) {
  Recorder recorder;
  std::uint64_t running = 77;
  {
    resizer::Progress progress;
    progress.Place(&recorder, &running);
    progress.Start(1000, 512);
    for (std::uint64_t p = 1; p <= 1000; ++p) progress.Update(p);
  }
  ASSERT_EQ(recorder.perMille.size(), 1001u);
  for (std::uint32_t i = 0; i <= 1000; ++i) {
    EXPECT_EQ(recorder.perMille[i], i);
    EXPECT_EQ(recorder.bytes[i], 77u + 512u * i);
    EXPECT_NE(recorder.threads[i], std::this_thread::get_id());
  }
  EXPECT_EQ(recorder.total, 1000u);
  EXPECT_EQ(running, 77u + 512u * 1000u);

  // A large total still ends at 1000, each per-mille at most once.
  Recorder big;
  {
    resizer::Progress progress;
    progress.Place(&big, nullptr);
    progress.Start(3'000'000'001ull, 512);
    for (std::uint64_t p = 0; p <= 3'000'000'001ull; p += 999'983) progress.Update(p);
    progress.Update(3'000'000'001ull);
  }
  ASSERT_FALSE(big.perMille.empty());
  EXPECT_EQ(big.perMille.back(), 1000u);
  for (std::size_t i = 1; i < big.perMille.size(); ++i)
    EXPECT_LT(big.perMille[i - 1], big.perMille[i]);

  // Nothing to report, and no callback: the running total stays.
  Recorder none;
  std::uint64_t kept = 5;
  {
    resizer::Progress progress;
    progress.Place(&none, &kept);
    progress.Start(0, 512);
    progress.Update(10);
  }
  EXPECT_TRUE(none.perMille.empty());
  {
    resizer::Progress progress;
    progress.Place(nullptr, &kept);
    progress.Start(100, 512);
    progress.Update(100);
  }
  EXPECT_EQ(kept, 5u);
}

TEST_F(ResizerTest, ACopyReportsItsProgressToTheEnd) {
  MemoryDisk disk(100000);
  MemoryDisk other(100000);
  PartitionParameters source = Place(&disk, 0, 70000);
  PartitionParameters destination = Place(&other, 0, 70000);
  Recorder recorder;
  std::uint64_t running = 0;
  FileSystemOptions options;
  options.Callback = &recorder;
  options.ProcessedBytes = &running;
  Common::Error result;
  Da::RunResizer(result, 0x540, &options, &source, nullptr, &destination, nullptr);
  ASSERT_TRUE(result.IsNull());
  ASSERT_GE(recorder.perMille.size(), 2u);
  EXPECT_EQ(recorder.perMille.front(), 0u);
  EXPECT_EQ(recorder.perMille.back(), 1000u);
  for (std::size_t i = 1; i < recorder.perMille.size(); ++i)
    EXPECT_LT(recorder.perMille[i - 1], recorder.perMille[i]);
  EXPECT_EQ(running, 70000u * 512u);
}

// A worker that runs jobs only when let through.
class GatedThread : public resizer::JobQueue::Thread {
 public:
  void Run(void* job) override {
    while (!open) std::this_thread::yield();
    const int value = *static_cast<int*>(job);
    if (value < 0) throw Common::Error(0, 0, 0x70004);
    std::lock_guard<std::mutex> lock(mutex);
    ran.push_back(value);
  }
  void Discard(void* job) override {
    std::lock_guard<std::mutex> lock(mutex);
    discarded.push_back(*static_cast<int*>(job));
  }
  std::atomic<bool> open{false};
  std::mutex mutex;
  std::vector<int> ran, discarded;
};

TEST(ResizerJobQueue, APostWaitsForRoomAndJobsRunInOrder) {
  auto* gate = new GatedThread();
  resizer::JobQueue queue(gate, 1);
  int jobs[4] = {1, 2, 3, 4};
  queue.Push(&jobs[0]);
  std::atomic<int> pushed{0};
  std::thread poster([&] {
    for (int i = 1; i < 4; ++i) {
      queue.Push(&jobs[i]);
      ++pushed;
    }
  });
  // One job in the worker's hands, one in the ring: the third must wait.
  for (int i = 0; i < 1000 && pushed < 1; ++i) std::this_thread::yield();
  EXPECT_LE(pushed.load(), 1);
  gate->open = true;
  poster.join();
  queue.Shutdown(true);
  EXPECT_EQ(gate->ran, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_THROW(queue.Push(&jobs[0]), Common::Error);
  EXPECT_EQ(gate->discarded, (std::vector<int>{1}));
}

TEST(ResizerJobQueue, AWorkersErrorReachesPostersAndTheShutdown) {
  auto* gate = new GatedThread();
  gate->open = true;
  resizer::JobQueue queue(gate, 2);
  int bad = -1, good = 5;
  queue.Push(&bad);
  try {
    queue.Shutdown(true);
    FAIL() << "the worker's error must come back";
  } catch (const Common::Error& e) {
    EXPECT_EQ(e.Code(), 0x70004u);
  }
  try {
    queue.Push(&good);
    FAIL();
  } catch (const Common::Error& e) {
    EXPECT_EQ(e.Code(), 0x70004u);
  }
  EXPECT_TRUE(gate->ran.empty());
}

TEST(ResizerJobQueue, ShutdownWithoutWaitingDiscardsWhatIsQueued) {
  auto* gate = new GatedThread();
  resizer::JobQueue queue(gate, 4);
  int jobs[3] = {1, 2, 3};
  for (int& j : jobs) queue.Push(&j);
  std::thread stopper([&] { queue.Shutdown(false); });
  for (;;) {
    std::lock_guard<std::mutex> lock(gate->mutex);
    if (gate->discarded.size() >= 2) break;
  }
  gate->open = true;
  stopper.join();
  EXPECT_EQ(gate->ran.size() + gate->discarded.size(), 3u);
  EXPECT_LE(gate->ran.size(), 1u);
}

TEST(ResizerChunks, BitmapChunksRunsAndSeeks) {
  Da::BitArray used;
  used.Resize(16);
  for (int b : {2, 3, 5, 9, 10}) used.Set(std::uint32_t(b));
  resizer::DefaultChunkEnumerator e(512, 2, 4, used);  // chunks of 4 blocks of 2 sectors
  EXPECT_EQ(e.Position(), 0u);
  auto runs = e.GetRuns();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].first, ~0ull);
  EXPECT_EQ(runs[0].count, 4u);
  EXPECT_EQ(runs[1].first, 4u);
  EXPECT_EQ(runs[1].count, 4u);
  EXPECT_EQ(e.ChunkBytes(), 4u * 2 * 512);
  ASSERT_TRUE(e.Next());
  EXPECT_EQ(e.Position(), 8u);
  runs = e.GetRuns();
  ASSERT_EQ(runs.size(), 2u);  // used block 5, then a trailing free run is left out
  EXPECT_EQ(runs[1].first, 10u);
  EXPECT_EQ(runs[1].count, 2u);
  EXPECT_EQ(e.ChunkBytes(), 2u * 2 * 512);
  ASSERT_TRUE(e.Next());
  EXPECT_EQ(e.Position(), 16u);
  EXPECT_FALSE(e.Next());
  EXPECT_EQ(e.Seek(10), 4u);      // block 5 is used
  EXPECT_EQ(e.Seek(16), 8u);      // block 8 is free but starts a chunk with used blocks
  EXPECT_THROW(e.Seek(12), Common::Error);  // block 6: free, inside its chunk
  EXPECT_THROW(e.Seek(24), Common::Error);  // block 12: a chunk with nothing used
  Da::BitArray empty;
  empty.Resize(8);
  EXPECT_THROW(resizer::DefaultChunkEnumerator(512, 1, 4, empty), Common::Error);

  resizer::NoFSChunkEnumerator raw(512, 100, 250);
  EXPECT_EQ(raw.GetRuns()[0].count, 100u);
  ASSERT_TRUE(raw.Next());
  ASSERT_TRUE(raw.Next());
  EXPECT_EQ(raw.Position(), 200u);
  EXPECT_EQ(raw.ChunkBytes(), 50u * 512);
  EXPECT_FALSE(raw.Next());
  EXPECT_EQ(raw.Seek(149), 100u);
  EXPECT_THROW(raw.Seek(250), Common::Error);
}

TEST_F(ResizerTest, DescriptionsAndTheirFailures) {
  MemoryDisk disk(1000);
  PartitionParameters d = Place(&disk, 100, 500);
  d.FsTypeMask = 0xFFFFFFFFu;
  d.ChangeStamp = 42;
  Common::Error result;
  Da::DescribePartition(result, 8, d);
  EXPECT_TRUE(result.IsNull());
  EXPECT_EQ(d.FsType, 0);
  EXPECT_EQ(d.Start, 100u);
  EXPECT_EQ(d.FsLength, 500u);
  EXPECT_EQ(d.ChangeStamp, 42u);
  EXPECT_FALSE(Da::HasKnownFileSystem(&disk));
  EXPECT_FALSE(Da::HasKnownFileSystem(nullptr));

  PartitionParameters empty = Place(&disk, 0, 0);
  Da::DescribePartition(result, 8, empty);
  EXPECT_EQ(result.Code(), resizer::kInvalidPartitionSize);
  EXPECT_EQ(empty.Error.Code(), resizer::kInvalidPartitionSize);
  EXPECT_FALSE(empty.Valid);
  EXPECT_EQ(empty.FsTypeMask, 0u);

  // A destination step alone computes a description without touching a disk.
  PartitionParameters source = Place(&disk, 0, 300);
  PartitionParameters destination = Place(nullptr, 0, 400);
  destination.Device = &disk;
  disk.ResetCounters();
  FileSystemOptions options;
  Da::RunResizer(result, 0x140, &options, &source, nullptr, &destination, nullptr);
  EXPECT_TRUE(result.IsNull()) << std::hex << result.Code();
  EXPECT_EQ(disk.Counters().requests, 0u);
  EXPECT_EQ(destination.FsLength, 300u);

  // Unknown types are refused, and steps without a source processor too.
  resizer::ClearProcessorFactories();
  Da::DescribePartition(result, 8, d);
  EXPECT_EQ(result.Code(), resizer::kInvalidFileSystem);
  resizer::RegisterRawProcessor();
  Da::RunResizer(result, 0x80000, &options, &source, nullptr, &destination, nullptr);
  EXPECT_EQ(result.Code(), resizer::kInternal);
}

TEST_F(ResizerTest, FormattingARawDeviceClearsItsEnds) {
  MemoryDisk disk(1000);
  std::vector<std::uint8_t> ones(1000 * 512, 0xFF);
  disk.Put(0, ones.data(), ones.size());
  Common::Error result;
  Da::FormatRawDevice(result, &disk);
  ASSERT_TRUE(result.IsNull());
  EXPECT_EQ(disk.Sector(0)[0], 0);
  EXPECT_EQ(disk.Sector(135)[511], 0);
  EXPECT_EQ(disk.Sector(136)[0], 0xFF);
  EXPECT_EQ(disk.Sector(999)[0], 0);
}

}  // namespace
