// Allocation, freeing and counting over a bitmap held in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "common/error.h"
#include "filesystems/ntfs_bitmap.h"

namespace ntfs = filesystems::ntfs;

namespace {

class MemoryBitmap : public ntfs::BitmapStorage {
 public:
  explicit MemoryBitmap(std::vector<std::uint8_t> bytes) : bytes(std::move(bytes)) {}
  std::uint64_t Size() override { return bytes.size(); }
  std::uint32_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    ++reads;
    if (offset >= bytes.size()) return 0;
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(length, bytes.size() - offset));
    std::memcpy(buffer, bytes.data() + offset, n);
    return n;
  }
  std::uint32_t Write(std::uint64_t offset, const std::uint8_t* source, std::uint32_t length) override {
    if (failWrites) throw Common::Error(1, 2, 0x40003);
    if (offset + length > bytes.size()) bytes.resize(std::size_t(offset + length));
    if (source)
      std::memcpy(bytes.data() + offset, source, length);
    else
      std::memset(bytes.data() + offset, 0, length);
    return length;
  }
  bool Bit(std::uint64_t k) const { return (bytes[k / 8] >> (k % 8)) & 1; }

  std::vector<std::uint8_t> bytes;
  int reads = 0;
  bool failWrites = false;
};

using Runs = std::vector<ntfs::BitRun>;

}  // namespace

TEST(NtfsBitmap, AllocateTakesTheNextClearBitsAndMergesThem) {
  MemoryBitmap m({0xFF, 0x0F, 0x00});
  ntfs::Bitmap bitmap(&m);
  std::uint32_t granted = 0;
  EXPECT_EQ(bitmap.Allocate(5, &granted, false), (Runs{{12, 5}}));
  EXPECT_EQ(granted, 5u);
  EXPECT_EQ(bitmap.SearchPosition(), 17u);
  EXPECT_EQ(m.bytes, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x01}));
}

TEST(NtfsBitmap, AllocateGrantsWhatThereIs) {
  MemoryBitmap m({0xAF});  // bits 4 and 6 clear
  ntfs::Bitmap bitmap(&m);
  std::uint32_t granted = 0;
  EXPECT_EQ(bitmap.Allocate(3, &granted, false), (Runs{{4, 1}, {6, 1}}));
  EXPECT_EQ(granted, 2u);
  EXPECT_EQ(m.bytes[0], 0xFF);
}

TEST(NtfsBitmap, FreeingMovesTheSearchBack) {
  MemoryBitmap m(std::vector<std::uint8_t>(16, 0));
  ntfs::Bitmap bitmap(&m);
  std::uint32_t granted = 0;
  bitmap.Allocate(40, &granted, false);
  EXPECT_EQ(bitmap.SearchPosition(), 40u);
  bitmap.FreeRun(10, 3);
  EXPECT_EQ(bitmap.SearchPosition(), 10u);
  EXPECT_FALSE(m.Bit(10));
  EXPECT_TRUE(m.Bit(13));
  EXPECT_EQ(bitmap.Allocate(4, &granted, false), (Runs{{10, 3}, {40, 1}}));
}

TEST(NtfsBitmap, CountsEveryClearBitUpToTheEnd) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::uint64_t limit;
    std::uint64_t free;
    Runs freeRuns;
  };
  const Case cases[] = {
      // Clear bits after the last set bit are free too.
      {"trailing clear bits", {0xF0, 0x00, 0x01}, ~0ull, 19, {{0, 4}, {8, 8}, {17, 7}}},
      {"all set", {0xFF, 0xFF}, ~0ull, 0, {}},
      {"all clear", std::vector<std::uint8_t>(5000, 0), ~0ull, 40000, {{0, 40000}}},
      // Padding bits past the last cluster are neither free nor counted.
      {"padding past the limit", {0xFF, 0x00}, 10, 2, {{8, 2}}},
      {"a run across windows", [] {
         std::vector<std::uint8_t> b(4096, 0xFF);
         b[2047] = 0x7F;
         b[2048] = 0x00;
         b[2049] = 0xFE;
         return b;
       }(), ~0ull, 10, {{2047 * 8 + 7, 10}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    struct Recorder : ntfs::Bitmap {
      using Bitmap::Bitmap;
      void OnFreeRun(std::uint64_t first, std::uint64_t count) override {
        runs.push_back({first, std::uint32_t(count)});
      }
      Runs runs;
    };
    MemoryBitmap m(c.bytes);
    Recorder bitmap(&m, c.limit);
    EXPECT_EQ(bitmap.CountFree(), c.free);
    EXPECT_EQ(bitmap.runs, c.freeRuns);
  }
}

TEST(NtfsBitmap, AllocationStopsAtTheLimit) {
  MemoryBitmap m({0xFF, 0x00});
  ntfs::Bitmap bitmap(&m, 10);
  std::uint32_t granted = 0;
  EXPECT_EQ(bitmap.Allocate(5, &granted, false), (Runs{{8, 2}}));
  EXPECT_EQ(granted, 2u);
  EXPECT_EQ(m.bytes[1], 0x03);
}

TEST(NtfsBitmap, FreeCountFollowsAllocationAndFreeing) {
  MemoryBitmap m(std::vector<std::uint8_t>(3000, 0));
  m.bytes[0] = 0x0F;
  ntfs::Bitmap bitmap(&m);
  EXPECT_EQ(bitmap.GetFreeCount(), 3000u * 8 - 4);
  std::uint32_t granted = 0;
  const Runs runs = bitmap.Allocate(20000, &granted, false);
  EXPECT_EQ(bitmap.GetFreeCount(), 3000u * 8 - 4 - 20000);
  bitmap.FreeRuns(runs);
  EXPECT_EQ(bitmap.GetFreeCount(), 3000u * 8 - 4);
  // Freeing bits that are already clear does not make space appear.
  bitmap.FreeRun(100, 50);
  EXPECT_EQ(bitmap.GetFreeCount(), 3000u * 8 - 4);
  // Freeing past the end touches nothing there.
  bitmap.FreeRun(3000u * 8 - 2, 100);
  EXPECT_EQ(m.bytes.size(), 3000u);
}

TEST(NtfsBitmap, FreeRunSwallowsWriteErrors) {
  MemoryBitmap m({0xFF});
  ntfs::Bitmap bitmap(&m);
  m.failWrites = true;
  EXPECT_NO_THROW(bitmap.FreeRun(0, 4));
}

TEST(NtfsBitmap, RecordBitmapKeepsTheSystemRecords) {
  MemoryBitmap m({0xFF, 0xFF, 0x00, 0x00});
  ntfs::FileRecordBitmap records(&m);
  EXPECT_EQ(records.AllocateOne(), 24u);  // 16-23 are clear but reserved
  records.FreeRun(0, 20);                  // only 16-19 may be freed
  EXPECT_EQ(m.bytes[0], 0xFF);
  EXPECT_EQ(m.bytes[1], 0xFF);
  records.FreeRun(3, 5);
  EXPECT_EQ(m.bytes[0], 0xFF);
}

TEST(NtfsBitmap, RecordBitmapGrowsWhenFull) {
  MemoryBitmap m(std::vector<std::uint8_t>(8, 0xFF));
  ntfs::FileRecordBitmap records(&m);
  EXPECT_EQ(records.AllocateOne(), 64u);
  EXPECT_EQ(m.bytes.size(), 16u);
  ntfs::Bitmap clusters(&m);
  std::uint32_t granted = 1;
  m.bytes.assign(8, 0xFF);
  clusters.Allocate(1, &granted, false);
  EXPECT_EQ(granted, 0u);
  EXPECT_EQ(m.bytes.size(), 8u);
}

TEST(NtfsBitmap, RandomAllocationsAgreeWithAModel) {
  std::mt19937 random(77);
  MemoryBitmap m(std::vector<std::uint8_t>(600, 0));
  const std::uint64_t limit = 600 * 8 - 5;
  ntfs::Bitmap bitmap(&m, limit);
  std::set<std::uint64_t> used;
  std::vector<Runs> held;
  for (int step = 0; step < 2000; ++step) {
    if (held.empty() || random() % 3 != 0) {
      std::uint32_t granted = 0;
      const std::uint32_t want = 1 + random() % 40;
      Runs runs = bitmap.Allocate(want, &granted, false);
      std::uint32_t sum = 0;
      for (const auto& r : runs) {
        for (std::uint64_t b = r.first; b < r.first + r.count; ++b) {
          ASSERT_LT(b, limit);
          ASSERT_TRUE(used.insert(b).second) << "bit handed out twice: " << b;
        }
        sum += r.count;
      }
      ASSERT_EQ(sum, granted);
      if (granted < want) {
        ASSERT_EQ(used.size(), limit);  // short only when full
      }
      held.push_back(runs);
    } else {
      const std::size_t i = random() % held.size();
      for (const auto& r : held[i])
        for (std::uint64_t b = r.first; b < r.first + r.count; ++b) used.erase(b);
      bitmap.FreeRuns(held[i]);
      held.erase(held.begin() + std::ptrdiff_t(i));
    }
    ASSERT_EQ(bitmap.GetFreeCount(), limit - used.size());
  }
  for (std::uint64_t b = 0; b < limit; ++b) ASSERT_EQ(m.Bit(b), used.count(b) == 1) << b;
}
