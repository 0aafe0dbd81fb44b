#include "foundation/byteorder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Bytes 01..08: what each width reads in each order, written out by hand.
const std::uint8_t kBytes[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

TEST(ByteOrder, LoadsReadTheWrittenOutValues) {
  EXPECT_EQ(Common::LoadLe16(kBytes), 0x0201u);
  EXPECT_EQ(Common::LoadLe32(kBytes), 0x04030201u);
  EXPECT_EQ(Common::LoadLe64(kBytes), 0x0807060504030201ull);
  EXPECT_EQ(Common::LoadBe16(kBytes), 0x0102u);
  EXPECT_EQ(Common::LoadBe32(kBytes), 0x01020304u);
  EXPECT_EQ(Common::LoadBe64(kBytes), 0x0102030405060708ull);
}

TEST(ByteOrder, StoresWriteWhatLoadsRead) {
  std::uint8_t b[8] = {};
  Common::StoreLe64(b, 0x0807060504030201ull);
  EXPECT_EQ(0, std::memcmp(b, kBytes, 8));
  Common::StoreBe64(b, 0x0102030405060708ull);
  EXPECT_EQ(0, std::memcmp(b, kBytes, 8));
  Common::StoreLe32(b, 0xA1B2C3D4u);
  EXPECT_EQ(b[0], 0xD4);
  EXPECT_EQ(b[3], 0xA1);
  Common::StoreBe16(b, 0xBEEF);
  EXPECT_EQ(b[0], 0xBE);
  EXPECT_EQ(b[1], 0xEF);
  // High bytes come back unsigned, not sign-extended.
  Common::StoreLe32(b, 0xFFFFFFFFu);
  EXPECT_EQ(Common::LoadLe32(b), 0xFFFFFFFFu);
}

TEST(ByteOrder, RangeInsideHoldsAtTheLimitsWithoutOverflow) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case { std::uint64_t offset, length, size; bool inside; };
  const Case cases[] = {
      {0, 0, 0, true},      {0, 8, 8, true},        {8, 0, 8, true},
      {7, 2, 8, false},     {9, 0, 8, false},       {1, kMax, 8, false},
      {kMax, 1, 8, false},  {kMax, kMax, kMax, false}, {kMax, 0, kMax, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Common::RangeInside(c.offset, c.length, c.size), c.inside)
        << c.offset << "+" << c.length << " in " << c.size;
}

TEST(ByteOrder, ViewRefusesFieldsOutsideItsBuffer) {
  const Common::ByteView view(kBytes, sizeof kBytes);
  std::uint32_t v = 7;
  EXPECT_TRUE(view.GetLe32(4, &v));
  EXPECT_EQ(v, 0x08070605u);
  EXPECT_FALSE(view.GetLe32(5, &v));
  EXPECT_EQ(v, 0x08070605u) << "a refused read leaves the output alone";
  EXPECT_EQ(view.Be16(7), 0u);
  EXPECT_EQ(view.Le64(0), 0x0807060504030201ull);
  EXPECT_EQ(view.Le64(1), 0u);
  EXPECT_EQ(view.At(6, 3), nullptr);
  EXPECT_EQ(view.Sub(2, 4).Be32(0), 0x03040506u);
  EXPECT_EQ(view.Sub(2, 7).size(), 0u);
  EXPECT_EQ(view.Sub(2, 4).Le16(3), 0u) << "a sub-view is bounded by its own length";
  EXPECT_EQ(Common::ByteView(nullptr, 100).size(), 0u);
}

TEST(ByteOrder, MutableViewWritesOnlyInside) {
  std::vector<std::uint8_t> b(6, 0);
  const Common::MutableByteView view(b.data(), b.size());
  EXPECT_TRUE(view.PutBe32(2, 0x11223344u));
  EXPECT_FALSE(view.PutLe32(3, 0xFFFFFFFFu));
  EXPECT_FALSE(view.PutU8(6, 0xFF));
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0, 0, 0x11, 0x22, 0x33, 0x44}));
  EXPECT_TRUE(view.MutableSub(4, 2).PutLe16(0, 0xAABB));
  EXPECT_EQ(b[4], 0xBB);
  EXPECT_EQ(b[5], 0xAA);
}

TEST(ByteOrder, CheckedArithmetic) {
  std::uint32_t out = 5;
  EXPECT_FALSE(Common::CheckedAdd<std::uint32_t>(0xFFFFFFFFu, 1, &out));
  EXPECT_FALSE(Common::CheckedMul<std::uint32_t>(0x10000u, 0x10000u, &out));
  EXPECT_EQ(out, 5u);
  EXPECT_TRUE(Common::CheckedMul<std::uint32_t>(0xFFFFu, 0x10001u, &out));
  EXPECT_EQ(out, 0xFFFFFFFFu);
  std::uint64_t bytes = 0;
  EXPECT_TRUE(Common::SectorToByte(0x1FFFFFFFFFFFFFull, 2048, &bytes));
  EXPECT_FALSE(Common::SectorToByte(0x20000000000000ull, 2048, &bytes));
  EXPECT_EQ(Common::UnitsFor(0, 512), 0u);
  EXPECT_EQ(Common::UnitsFor(513, 512), 2u);
  EXPECT_EQ(Common::UnitsFor(std::numeric_limits<std::uint64_t>::max(), 2),
            std::uint64_t(1) << 63);
  EXPECT_TRUE(Common::IsPowerOfTwo(4096));
  EXPECT_FALSE(Common::IsPowerOfTwo(0));
  EXPECT_FALSE(Common::IsPowerOfTwo(4097));
}

}  // namespace
