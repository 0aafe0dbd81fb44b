// The allocation bitmap: its free-area index against a plain bit set over a
// million random marks, frees and searches, and the cases where the index
// must join, split or refuse.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/hfs_bitmap.h"

namespace {

using filesystems::hfsplus::Bitmap;
using filesystems::hfsplus::BlockArea;
using fstest::CodeOf;

// The plain model: one bool per unit, answers found by scanning.
struct NaiveBits {
  std::vector<bool> used;
  explicit NaiveBits(std::uint32_t n) : used(n, false) {}

  std::uint32_t Free() const {
    std::uint32_t n = 0;
    for (bool b : used) n += b ? 0 : 1;
    return n;
  }
  bool AllFree(std::uint32_t f, std::uint32_t l) const {
    for (std::uint32_t u = f; u <= l; ++u) {
      if (used[u]) return false;
    }
    return true;
  }
  // The free runs cut to [sf, sl].
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Runs(std::uint32_t sf, std::uint32_t sl) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    std::uint32_t u = sf;
    while (u <= sl) {
      if (used[u]) {
        ++u;
        continue;
      }
      std::uint32_t e = u;
      while (e + 1 <= sl && !used[e + 1]) ++e;
      runs.push_back({u, e});
      u = e + 1;
    }
    return runs;
  }
  // Exact fit, else the shortest longer run, else the longest shorter one;
  // the lowest among equals.
  BlockArea Find(std::uint32_t length, std::uint32_t sf, std::uint32_t sl) const {
    bool found = false;
    std::pair<std::uint32_t, std::uint32_t> best{0, 0};
    auto len = [](const std::pair<std::uint32_t, std::uint32_t>& r) { return r.second - r.first + 1; };
    auto rank = [&](const std::pair<std::uint32_t, std::uint32_t>& r) {
      const std::uint32_t n = len(r);
      if (n == length) return std::pair<int, std::int64_t>(0, 0);
      if (n > length) return std::pair<int, std::int64_t>(1, n);
      return std::pair<int, std::int64_t>(2, -std::int64_t(n));
    };
    for (const auto& r : Runs(sf, sl)) {
      if (!found || rank(r) < rank(best)) best = r, found = true;
    }
    return found ? BlockArea(best.first, best.second) : BlockArea();
  }
};

TEST(HfsBitmap, RandomOperationsAgreeWithAPlainBitSet) {
  constexpr std::uint32_t kUnits = 4099;  // a last byte only partly valid
  std::mt19937 rng(20261211);
  Bitmap bitmap(nullptr, 0, kUnits);
  NaiveBits naive(kUnits);
  // Unit 0 is used on every volume (boot blocks), and an area of unit 0
  // alone cannot be named: keep it used as the volumes do.
  bitmap.MarkUnit(0, true);
  naive.used[0] = true;
  std::uint32_t freeCount = kUnits - 1;
  for (int op = 1; op <= 1000000; ++op) {
    const std::uint32_t kind = rng() % 3;
    std::uint32_t first = 1 + rng() % (kUnits - 1);
    std::uint32_t length = 1 + (rng() % 4 == 0 ? rng() % 200 : rng() % 12);
    std::uint32_t last = std::min(kUnits - 1, first + length - 1);
    if (kind == 0) {
      const bool ok = naive.AllFree(first, last);
      const std::uint32_t code = CodeOf([&] { bitmap.MarkRange({first, last}, true); });
      ASSERT_EQ(code, ok ? 0u : std::uint32_t(kFileCorrupted)) << "op " << op;
      if (ok) {
        for (std::uint32_t u = first; u <= last; ++u) naive.used[u] = true;
        freeCount -= last - first + 1;
      }
    } else if (kind == 1) {
      bitmap.MarkRange({first, last}, false);
      for (std::uint32_t u = first; u <= last; ++u) {
        if (naive.used[u]) ++freeCount;
        naive.used[u] = false;
      }
    } else {
      const std::uint32_t sf = 1 + rng() % (kUnits - 1);
      const std::uint32_t sl = std::min<std::uint32_t>(kUnits - 1, sf + rng() % 400);
      ASSERT_EQ(bitmap.FindFreeArea(length, {sf, sl}), naive.Find(length, sf, sl)) << "op " << op;
    }
    ASSERT_EQ(bitmap.Free(), freeCount) << "op " << op;
    if (op % 1000 == 0) {
      ASSERT_TRUE(bitmap.IndexMatchesBits()) << "op " << op;
      for (std::uint32_t u = 0; u < kUnits; ++u) ASSERT_EQ(bitmap.Test(u), naive.used[u]);
      const auto runs = naive.Runs(0, kUnits - 1);
      ASSERT_EQ(bitmap.GetFirstFree(), runs.empty() ? Bitmap::kNone : runs.front().first);
    }
  }
}

TEST(HfsBitmap, IndexBuiltFromBytes) {
  // Bits: 1100 0000 | 0001 1111 | 1110 0000 (valid to unit 20).
  const std::uint8_t bytes[] = {0xC0, 0x1F, 0xE0};
  Bitmap bitmap(bytes, sizeof bytes, 21);
  EXPECT_EQ(bitmap.Used(), 10u);
  const std::vector<BlockArea> expected = {{2, 10}, {19, 20}};
  EXPECT_EQ(bitmap.FreeAreas(), expected);
  EXPECT_TRUE(bitmap.IndexMatchesBits());
  EXPECT_EQ(CodeOf([&] { Bitmap b(bytes, 2, 21); }), kFileNotSupported);
  EXPECT_EQ(CodeOf([&] { Bitmap b(bytes, 3, 0); }), kFileNotSupported);
}

struct AreaCase {
  const char* name;
  std::vector<BlockArea> markUsed;  // applied first, to a fresh bitmap of 100 units
  std::vector<BlockArea> markFree;
  std::vector<BlockArea> freeAreas;  // expected afterwards
};

TEST(HfsBitmap, FreeAreasJoinAndSplit) {
  const AreaCase cases[] = {
      {"fresh", {}, {}, {{0, 99}}},
      {"usedFront", {{0, 9}}, {}, {{10, 99}}},
      {"joinBothSides", {{0, 4}, {10, 19}, {31, 99}}, {{10, 19}}, {{5, 30}}},
      {"freeToTheEnd", {{0, 99}}, {{90, 99}}, {{90, 99}}},
      {"freeOverFree", {{0, 99}}, {{20, 29}, {25, 40}}, {{20, 40}}},
      {"freeCoveringSeveral", {{0, 99}}, {{10, 12}, {20, 22}, {5, 30}}, {{5, 30}}},
      {"splitInMiddle", {{40, 49}}, {}, {{0, 39}, {50, 99}}},
  };
  for (const AreaCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bitmap bitmap(nullptr, 0, 100);
    for (const BlockArea& a : c.markUsed) bitmap.MarkRange(a, true);
    for (const BlockArea& a : c.markFree) bitmap.MarkRange(a, false);
    EXPECT_EQ(bitmap.FreeAreas(), c.freeAreas);
    EXPECT_TRUE(bitmap.IndexMatchesBits());
  }
}

TEST(HfsBitmap, RefusedMarksChangeNothing) {
  Bitmap bitmap(nullptr, 0, 64);
  bitmap.MarkRange({20, 29}, true);
  const std::vector<std::uint8_t> before = bitmap.Bytes();
  // Partly used already: refused before any bit is set.
  EXPECT_EQ(CodeOf([&] { bitmap.MarkRange({10, 25}, true); }), kFileCorrupted);
  EXPECT_EQ(bitmap.Bytes(), before);
  EXPECT_EQ(bitmap.Used(), 10u);
  EXPECT_TRUE(bitmap.IndexMatchesBits());
  EXPECT_EQ(CodeOf([&] { bitmap.MarkRange({60, 64}, true); }), kFileCorrupted);
  EXPECT_EQ(CodeOf([&] { bitmap.MarkUnit(64, false); }), kFileCorrupted);
  // The empty area marks nothing; unit 0 alone is marked through MarkUnit.
  bitmap.MarkRange({}, true);
  EXPECT_FALSE(bitmap.Test(0));
  bitmap.MarkUnit(0, true);
  EXPECT_TRUE(bitmap.Test(0));
  EXPECT_EQ(bitmap.GetFirstFree(), 1u);
  EXPECT_TRUE(bitmap.IndexMatchesBits());
}

TEST(HfsBitmap, SearchesPreferAnExactFitInsideTheSearchArea) {
  // Free areas of lengths 3, 8 and 20, the rest used.
  Bitmap bitmap(nullptr, 0, 200);
  bitmap.MarkRange({0, 199}, true);
  bitmap.MarkRange({10, 12}, false);
  bitmap.MarkRange({50, 57}, false);
  bitmap.MarkRange({100, 119}, false);
  const BlockArea all(1, 199);
  EXPECT_EQ(bitmap.FindFreeArea(8, all), BlockArea(50, 57));
  EXPECT_EQ(bitmap.FindFreeArea(10, all), BlockArea(100, 119));
  EXPECT_EQ(bitmap.FindFreeArea(30, all), BlockArea(100, 119));
  EXPECT_EQ(bitmap.FindFreeArea(2, all), BlockArea(10, 12));
  // A search area that cuts a free area gets only the part inside it.
  EXPECT_EQ(bitmap.FindFreeArea(10, {105, 150}), BlockArea(105, 119));
  EXPECT_EQ(bitmap.FindFreeArea(4, {52, 110}), BlockArea(52, 57));
  EXPECT_EQ(bitmap.FindFreeArea(11, {52, 110}), BlockArea(100, 110));
  EXPECT_EQ(bitmap.FindFreeArea(4, {13, 49}), BlockArea());
  EXPECT_EQ(bitmap.FindFreeArea(0, all), BlockArea());
  bitmap.MarkRange({10, 12}, true);
  bitmap.MarkRange({50, 57}, true);
  bitmap.MarkRange({100, 119}, true);
  EXPECT_EQ(bitmap.GetFirstFree(), Bitmap::kNone);
  EXPECT_EQ(bitmap.GetFirstFreeArea(), BlockArea());
  EXPECT_EQ(bitmap.FindFreeArea(1, all), BlockArea());
}

}  // namespace
