// Bit arrays and their searches against a bit-by-bit model on random
// arrays, and the resizer query's answer.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "diskaccess/bit_array.h"
#include "diskaccess/resizer.h"
#include "diskaccess/resizer_query.h"
#include "disktest/memory_disk.h"

namespace {

bool Bit(const std::vector<std::uint8_t>& d, std::uint32_t i) { return d[i / 8] >> (i % 8) & 1; }

std::uint32_t ModelNth(const std::vector<std::uint8_t>& d, std::uint32_t start,
                       std::uint32_t bound, std::uint32_t n, bool wantSet) {
  for (std::uint32_t i = start; i < bound; ++i) {
    if (Bit(d, i) == wantSet) {
      if (n == 0) return i;
      --n;
    }
  }
  if (wantSet) return Da::kBitNotFound;
  std::uint64_t r = std::uint64_t(start > bound ? start : bound) + n;
  return r >= Da::kBitNotFound ? Da::kBitNotFound : static_cast<std::uint32_t>(r);
}

TEST(BitArray, SearchesAndClearingAgreeWithABitByBitModel) {
  std::mt19937 random(12345);
  for (int round = 0; round < 4000; ++round) {
    const std::uint32_t bits = 1 + random() % 200;
    Da::BitArray array;
    array.Resize(bits);
    // Sparse, dense and random fills.
    const unsigned density = random() % 3;
    for (std::uint32_t i = 0; i < bits; ++i)
      if (density == 0 ? random() % 16 == 0 : density == 1 ? random() % 16 != 0 : random() % 2)
        array.Set(i);
    std::vector<std::uint8_t> model(array.data, array.data + Da::BitArray::StorageSize(bits));
    const std::uint32_t start = random() % (bits + 3);
    const std::uint32_t bound = random() % (bits + 1);
    const std::uint32_t n = random() % 6;
    ASSERT_EQ(Da::FindNthSetBit(array.data, start, bound, n), ModelNth(model, start, bound, n, true))
        << "round " << round << " start " << start << " bound " << bound << " n " << n;
    ASSERT_EQ(Da::FindNthClearBit(array.data, start, bound, n),
              ModelNth(model, start, bound, n, false))
        << "round " << round << " start " << start << " bound " << bound << " n " << n;

    std::uint32_t first = random() % (bits + 1);
    std::uint32_t end = first + random() % (bits + 1 - first);
    Da::ClearBitRange(array.data, first, end);
    for (std::uint32_t i = 0; i < model.size() * 8; ++i)
      ASSERT_EQ(Bit(std::vector<std::uint8_t>(array.data, array.data + model.size()), i),
                i >= first && i < end ? false : Bit(model, i))
          << "round " << round << " bit " << i;
  }
}

TEST(BitArray, StorageIsWholeWordsAndStartsClear) {
  struct Case {
    std::uint32_t bits, bytes;
  } cases[] = {{0, 0}, {1, 4}, {32, 4}, {33, 8}, {64, 8}, {65, 12}};
  for (auto& c : cases) {
    Da::BitArray a;
    a.Resize(c.bits);
    EXPECT_EQ(Da::BitArray::StorageSize(c.bits), c.bytes);
    for (std::uint32_t i = 0; i < c.bytes; ++i) EXPECT_EQ(a.data[i], 0);
    EXPECT_EQ(a.bitCount, c.bits);
    EXPECT_EQ(a.data == nullptr, c.bytes == 0);
  }
  Da::BitArray a, b;
  a.Resize(40);
  a.Set(39);
  b.Assign(a);
  EXPECT_TRUE(b.Get(39));
  EXPECT_EQ(b.bitCount, 40u);
}

TEST(BitArray, DocumentedValues) {
  const std::uint8_t high[] = {0x00, 0x80};
  EXPECT_EQ(Da::FindNthSetBit(high, 0, 16, 0), 15u);
  EXPECT_EQ(Da::FindNthSetBit(high, 0, 15, 0), Da::kBitNotFound);
  const std::uint8_t ones[] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Da::FindNthClearBit(ones, 0, 10, 2), 12u);
  // A clear search starting inside a byte never reports a position of the
  // next byte that is set.
  const std::uint8_t mixed[] = {0x0F, 0xFF, 0x00};
  EXPECT_EQ(Da::FindNthClearBit(mixed, 4, 24, 4), 16u);
  std::uint8_t all[] = {0xFF, 0xFF, 0xFF};
  Da::ClearBitRange(all, 3, 21);
  EXPECT_EQ(all[0], 0x07);
  EXPECT_EQ(all[1], 0x00);
  EXPECT_EQ(all[2], 0xE0);
  EXPECT_EQ(Da::FloorLog2(0x10000), 16u);
  EXPECT_EQ(Da::FloorLog2(0xFFFF), 15u);
  EXPECT_EQ(Da::FloorLog2(0), 0u);
  EXPECT_EQ(Da::FloorLog2(1), 0u);
  try {
    Da::ThrowInvalidBitmapIndex();
    FAIL();
  } catch (Common::Error& e) {
    EXPECT_EQ(e.Code(), Da::kInvalidBitmapIndex);
  }
}

TEST(PackedArray, SizesAndValues) {
  Da::PackedArray p;
  p.Init(10, 5);
  EXPECT_EQ(p.bitsPerEntry, 3);
  EXPECT_EQ(p.mask, 7u);
  EXPECT_EQ(p.storage, 8u);
  std::mt19937 random(7);
  std::vector<std::uint32_t> model(10);
  for (std::uint32_t i = 0; i < 10; ++i) p.Put(i, model[i] = random() % 6);
  for (std::uint32_t i = 0; i < 10; ++i) EXPECT_EQ(p.Get(i), model[i]);
  p.Init(10, 0);
  EXPECT_EQ(p.data, nullptr);
  EXPECT_EQ(p.Get(3), 0u);
  EXPECT_EQ(Da::PackedArray::ByteSize(0, 3), 0u);
  EXPECT_THROW(Da::PackedArray::ByteSize(0xFFFFFFFFu, 32), Common::Error);
}

TEST(ResizerQuery, TheRawProcessorAnswersZeroForADevice) {
  resizer::RegisterRawProcessor();
  DiskTest::MemoryDisk disk(8192);
  PartitionParameters partition;
  partition.Device = &disk;
  partition.Start = 2048;
  partition.Length = 4096;
  Common::Error error(1, 2, 0x4000d);
  std::uint32_t value = 77;
  Da::RunResizerQuery(error, partition, &value);
  EXPECT_TRUE(error.IsNull());
  EXPECT_EQ(value, 0u);
  // Without a device there is nothing to probe.
  partition.Device = nullptr;
  Da::RunResizerQuery(error, partition, &value);
  EXPECT_EQ(error.Code(), resizer::kInternal);
}

}  // namespace
