// Run lists: decoding and encoding mapping pairs byte by byte, and the
// list operations the attribute layer builds on.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "common/error.h"
#include "fake_driver.h"
#include "filesystems/ntfs_runs.h"

namespace ntfs = filesystems::ntfs;
using Bytes = std::vector<std::uint8_t>;

namespace {

using fstest::CodeOf;

ntfs::Run R(std::int64_t lcn, std::uint64_t vcn, std::uint32_t length) {
  return ntfs::Run{lcn, vcn, length};
}

Bytes Encode(const std::vector<ntfs::Run>& runs) {
  Bytes out(ntfs::GetMappingPairsSize(runs.begin(), runs.end()));
  const std::uint32_t n = ntfs::EncodeMappingPairs(out.data(), runs.begin(), runs.end());
  EXPECT_EQ(n, out.size());
  return out;
}

}  // namespace

TEST(NtfsRunList, DecodesMappingPairs) {
  struct Case {
    const char* what;
    Bytes pairs;
    std::uint64_t lowest, highest;
    std::vector<ntfs::Run> runs;
    std::uint32_t encodedSize = 0;  // 0: the size of the pairs given
  };
  const Case cases[] = {
      {"one run", {0x11, 0x05, 0x64, 0x00}, 0, 4, {R(100, 0, 5)}},
      {"a sparse run keeps the LCN base",
       {0x11, 0x05, 0x64, 0x01, 0x03, 0x11, 0x04, 0xF6, 0x00},
       0,
       11,
       {R(100, 0, 5), R(-1, 5, 3), R(90, 8, 4)}},
      {"wider fields than needed", {0x32, 0x05, 0x00, 0x64, 0x00, 0x00, 0x00}, 0, 4, {R(100, 0, 5)}, 4},
      {"three-byte negative difference",
       {0x31, 0x01, 0x00, 0x00, 0x10, 0x31, 0x01, 0x00, 0x00, 0xF0, 0x00},
       0,
       1,
       {R(0x100000, 0, 1), R(0, 1, 1)}},
      {"five-byte fields", {0x55, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x10, 0, 0, 0, 0, 0x00}, 0,
       0xFFFFFFFEull, {R(0x10, 0, 0xFFFFFFFFu)}, 8},
      {"pieces start at their lowest VCN", {0x11, 0x05, 0x64, 0x00}, 10, 14, {R(100, 10, 5)}},
      {"an empty area", {0x00}, 0, ~std::uint64_t(0), {}},
      {"an empty later piece", {0x00}, 7, 6, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ntfs::RunList list(c.pairs.data(), c.pairs.size(), c.lowest, c.highest);
    EXPECT_EQ(list.Runs(), c.runs);
    EXPECT_TRUE(list.CacheValid());
    EXPECT_EQ(list.GetMappingPairsSize(), c.encodedSize ? c.encodedSize : c.pairs.size());
  }
}

TEST(NtfsRunList, SizeAfterDecodingFitsTheEncoding) {
  // LCNs past 2^32 are encoded from their low 32 bits: a one-byte step
  // across the boundary on disk becomes a five-byte field. A buffer sized
  // by the list must hold what encoding writes.
  const Bytes pairs = {0x55, 0x01, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,  // LCN 2^32 - 1
                       0x11, 0x01, 0x7F, 0x00};                              // + 0x7F
  ntfs::RunList list(pairs.data(), pairs.size(), 0, 1);
  ASSERT_EQ(list.Runs()[1].lcn, 0x10000007Ell);
  const std::uint32_t size = list.GetMappingPairsSize();
  Bytes out(size + 16, 0xEE);
  EXPECT_EQ(ntfs::EncodeMappingPairs(out.data(), list.begin(), list.end()), size);
  EXPECT_EQ(out[size], 0xEE);
}

TEST(NtfsRunList, DamagedMappingPairsAreRefused) {
  struct Case {
    const char* what;
    Bytes pairs;
    std::uint64_t highest;
    std::uint64_t clusters = 0;
  };
  const Case cases[] = {
      {"length field of size 0", {0x10, 0x64, 0x00}, 0},
      {"length nibble above 5", {0x16, 1, 0, 0, 0, 0, 0, 0x64, 0x00}, 0},
      {"LCN nibble above 5", {0x61, 0x01, 1, 0, 0, 0, 0, 0, 0x00}, 0},
      {"negative length", {0x11, 0x80, 0x64, 0x00}, 0},
      {"negative four-byte length", {0x14, 0, 0, 0, 0x80, 0x00}, 0},
      {"length 0", {0x11, 0x00, 0x64, 0x00}, 0},
      {"LCN below 0", {0x11, 0x05, 0x9C, 0x00}, 4},
      {"fifth byte neither 0x00 nor 0xFF", {0x51, 0x01, 0x10, 0, 0, 0, 0x07, 0x00}, 0},
      {"no terminator", {0x11, 0x05, 0x64}, 4},
      {"pair past the bytes available", {0x31, 0x05, 0x64, 0x00}, 4},
      {"last VCN below the highest", {0x11, 0x05, 0x64, 0x00}, 5},
      {"last VCN above the highest", {0x11, 0x05, 0x64, 0x00}, 3},
      {"run past the volume", {0x11, 0x05, 0x64, 0x00}, 4, 104},
      {"run starting past the volume", {0x11, 0x05, 0x64, 0x00}, 4, 100},
      {"nothing at all", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CodeOf([&] { ntfs::RunList(c.pairs.data(), c.pairs.size(), 0, c.highest, c.clusters); }),
              0x4000du);
  }
  const Bytes fits = {0x11, 0x05, 0x64, 0x00};
  EXPECT_NO_THROW(ntfs::RunList(fits.data(), fits.size(), 0, 4, 105));
}

TEST(NtfsRunList, EncodesTheShortestFields) {
  struct Case {
    const char* what;
    std::vector<ntfs::Run> runs;
    Bytes pairs;
  };
  const Case cases[] = {
      {"backwards after a sparse run",
       {R(100, 0, 5), R(-1, 5, 3), R(90, 8, 4)},
       {0x11, 0x05, 0x64, 0x01, 0x03, 0x11, 0x04, 0xF6, 0x00}},
      {"0x80 takes two bytes", {R(0x80, 0, 0x80)}, {0x22, 0x80, 0x00, 0x80, 0x00, 0x00}},
      {"-1 takes one byte", {R(10, 0, 1), R(9, 1, 1)}, {0x11, 0x01, 0x0A, 0x11, 0x01, 0xFF, 0x00}},
      {"lengths of 32 bits", {R(1, 0, 0xFFFFFFFFu)}, {0x15, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x00}},
      {"a far jump down", {R(0xF0000000, 0, 1), R(0x10, 1, 1)},
       {0x51, 0x01, 0x00, 0x00, 0x00, 0xF0, 0x00, 0x51, 0x01, 0x10, 0x00, 0x00, 0x10, 0xFF, 0x00}},
      {"nothing", {}, {0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Encode(c.runs), c.pairs);
  }
}

TEST(NtfsRunList, EncodeDecodeRoundTrips) {
  std::mt19937 random(2112);
  for (int round = 0; round < 500; ++round) {
    std::vector<ntfs::Run> runs;
    std::uint64_t vcn = 0;
    const int count = int(random() % 20);
    for (int i = 0; i < count; ++i) {
      const int kind = int(random() % 4);
      std::uint32_t length = kind == 0 ? 1 + random() % 0x7F : 1 + random() % 0xFFFFF;
      if (random() % 16 == 0) length = 0x80000000u + random() % 0x7FFFFFFF;
      std::int64_t lcn = kind == 3 ? -1 : std::int64_t(random() % 0xFFFFFFF0u);
      if (kind == 3 && !runs.empty() && !runs.back().HasClusters()) lcn = 5;
      runs.push_back(R(lcn, vcn, length));
      vcn += length;
    }
    const Bytes pairs = Encode(runs);
    ntfs::RunList list(pairs.data(), pairs.size(), 0, vcn - 1);
    ASSERT_EQ(list.Runs(), runs) << "round " << round;
  }
}

TEST(NtfsRunList, AppendMergesOnlyWhatJoins) {
  ntfs::RunList list;
  list.Append(R(100, 99, 5));  // the VCN of a pushed run is recomputed
  list.Append(R(105, 0, 3));   // joins the clusters before
  list.Append(R(200, 0, 2));   // does not
  list.Append(R(-1, 0, 4));
  list.Append(R(-1, 0, 6));    // sparse after sparse joins
  list.Append(R(202, 0, 1));   // a sparse run between breaks contiguity
  EXPECT_FALSE(list.CacheValid());
  const std::vector<ntfs::Run> want = {R(100, 0, 8), R(200, 8, 2), R(-1, 10, 10), R(202, 20, 1)};
  EXPECT_EQ(list.Runs(), want);

  const ntfs::RunList other({{500, 1}, {600, 1}, {601, 1}}, 0);
  ntfs::RunList joined;
  joined.Append(R(499, 0, 1));
  joined.AppendRange(other.begin(), other.end());
  // Only the first appended run merges; the others are kept as they are.
  const std::vector<ntfs::Run> joinedWant = {R(499, 0, 2), R(600, 2, 1), R(601, 3, 1)};
  EXPECT_EQ(joined.Runs(), joinedWant);
}

TEST(NtfsRunList, FindAndContains) {
  const Bytes pairs = {0x11, 0x05, 0x64, 0x01, 0x03, 0x11, 0x04, 0xF6, 0x00};
  ntfs::RunList list(pairs.data(), pairs.size(), 10, 21);
  struct Case {
    std::uint64_t vcn;
    int run;  // -1: not contained
  };
  for (const Case& c : {Case{9, -1}, Case{10, 0}, Case{14, 0}, Case{15, 1}, Case{17, 1},
                        Case{18, 2}, Case{21, 2}, Case{22, -1}}) {
    SCOPED_TRACE(c.vcn);
    EXPECT_EQ(list.Contains(c.vcn), c.run >= 0);
    const auto it = list.Find(c.vcn);
    EXPECT_EQ(it == list.end() ? -1 : int(it - list.begin()), c.run);
  }
  EXPECT_FALSE(ntfs::RunList().Contains(0));
}

TEST(NtfsRunList, SplitAt) {
  const std::vector<ntfs::Run> base = {R(100, 0, 5), R(-1, 5, 3), R(90, 8, 4)};
  struct Case {
    std::uint64_t vcn;
    std::vector<ntfs::Run> head, tail;
  };
  const Case cases[] = {
      {0, {}, base},
      {5, {R(100, 0, 5)}, {R(-1, 5, 3), R(90, 8, 4)}},
      {2, {R(100, 0, 2)}, {R(102, 2, 3), R(-1, 5, 3), R(90, 8, 4)}},
      {6, {R(100, 0, 5), R(-1, 5, 1)}, {R(-1, 6, 2), R(90, 8, 4)}},
      {11, {R(100, 0, 5), R(-1, 5, 3), R(90, 8, 3)}, {R(93, 11, 1)}},
      {12, base, {}},
      {40, base, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vcn);
    ntfs::RunList list;
    list.AppendRange(base.begin(), base.end());
    ntfs::RunList tail;
    tail.Append(R(7, 0, 7));  // emptied first
    list.SplitAt(c.vcn, tail);
    EXPECT_EQ(list.Runs(), c.head);
    EXPECT_EQ(tail.Runs(), c.tail);
  }
}

TEST(NtfsRunList, FreeClustersGoesOnPastAFailure) {
  const Bytes pairs = {0x11, 0x05, 0x64, 0x01, 0x03, 0x11, 0x04, 0xF6, 0x11, 0x02, 0x20, 0x00};
  ntfs::RunList list(pairs.data(), pairs.size(), 0, 13);
  std::vector<std::pair<std::uint64_t, std::uint32_t>> freed;
  list.FreeClusters([&](std::uint64_t lcn, std::uint32_t count) {
    freed.emplace_back(lcn, count);
    if (lcn == 90) throw Common::Error(1, 2, 0x40001);
  });
  const std::vector<std::pair<std::uint64_t, std::uint32_t>> want = {{100, 5}, {90, 4}, {122, 2}};
  EXPECT_EQ(freed, want);
  EXPECT_TRUE(list.Empty());
}

TEST(NtfsRunList, FromExtentsAndFitsVolume) {
  ntfs::RunList list({{50, 2}, {52, 3}, {10, 1}}, 4);
  const std::vector<ntfs::Run> want = {R(50, 4, 2), R(52, 6, 3), R(10, 9, 1)};
  EXPECT_EQ(list.Runs(), want);
  EXPECT_TRUE(list.FitsVolume(55));
  EXPECT_FALSE(list.FitsVolume(54));
}
