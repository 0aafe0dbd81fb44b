// $UpCase checks and the name order; $AttrDef entries and their mends.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "common/error.h"
#include "fake_driver.h"
#include "filesystems/ntfs_tables.h"
#include "foundation/byteorder.h"

namespace ntfs = filesystems::ntfs;

namespace {

using fstest::CodeOf;

// An identity table of `count` units with ASCII and a few Latin-1 letters
// upper-cased.
std::vector<std::uint8_t> UpCaseBytes(std::size_t count) {
  std::vector<std::uint8_t> bytes(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint16_t e = std::uint16_t(i);
    if ((i >= 'a' && i <= 'z') || (i >= 0xE0 && i <= 0xFE && i != 0xF7)) e = std::uint16_t(i - 0x20);
    Common::StoreLe16(&bytes[2 * i], e);
  }
  return bytes;
}

void Set(std::vector<std::uint8_t>& bytes, std::size_t unit, std::uint16_t value) {
  Common::StoreLe16(&bytes[2 * unit], value);
}

std::vector<std::uint8_t> AttrDefBytes(
    const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint64_t, std::uint64_t>>& rows) {
  std::vector<std::uint8_t> bytes(rows.size() * 160);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::uint8_t* e = &bytes[i * 160];
    Common::StoreLe32(e + 128, std::get<0>(rows[i]));
    Common::StoreLe32(e + 140, std::get<1>(rows[i]));
    Common::StoreLe64(e + 144, std::get<2>(rows[i]));
    Common::StoreLe64(e + 152, std::get<3>(rows[i]));
  }
  return bytes;
}

}  // namespace

TEST(NtfsUpCase, ChecksOfTheTable) {
  struct Case {
    const char* what;
    std::size_t count;
    std::function<void(std::vector<std::uint8_t>&)> change;
    bool sound;
  };
  const Case cases[] = {
      {"the full table", 65536, [](auto&) {}, true},
      {"a short table", 10, [](auto&) {}, true},
      {"e acute to E acute", 256, [](auto& b) { Set(b, 0xE9, 0xC9); }, true},
      {"'a' kept lower case", 256, [](auto& b) { Set(b, 'a', 'a'); }, false},
      {"'A' lowered", 256, [](auto& b) { Set(b, 'A', 'a'); }, false},
      {"not idempotent", 256,
       [](auto& b) {
         Set(b, 0xE9, 0xC9);
         Set(b, 0xC9, 0xE9);
       },
       false},
      {"maps outside the table", 256, [](auto& b) { Set(b, 0xE9, 0x1000); }, false},
      {"a unit mapped to 0", 256, [](auto& b) { Set(b, 0x100 - 1, 0); }, false},
      {"empty", 0, [](auto&) {}, false},
      {"larger than any unit", 65537, [](auto&) {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes = UpCaseBytes(c.count);
    c.change(bytes);
    EXPECT_EQ(CodeOf([&] { ntfs::UpCaseTable(bytes.data(), bytes.size()); }),
              c.sound ? 0u : 0x4000du);
  }
}

TEST(NtfsUpCase, ShortTableUpcasesOnlyWhatItCovers) {
  std::vector<std::uint8_t> bytes = UpCaseBytes(10);
  ntfs::UpCaseTable table(bytes.data(), bytes.size());
  EXPECT_EQ(table.Count(), 10u);
  std::u16string name = u"ab\u00e9";
  table.Normalize(name);
  EXPECT_EQ(name, u"ab\u00e9");  // 'a' (0x61) lies beyond a 10-unit table
}

TEST(NtfsUpCase, NameOrder) {
  std::vector<std::uint8_t> bytes = UpCaseBytes(65536);
  ntfs::UpCaseTable table(bytes.data(), bytes.size());
  struct Case {
    std::u16string a, b;
    int insensitive, exact;
  };
  const Case cases[] = {
      {u"readme", u"README", 0, 1},
      {u"README", u"readme", 0, -1},
      {u"abc", u"abcd", -1, -1},
      {u"abcd", u"ABC", 1, 1},
      {u"\u00e9t\u00e9", u"\u00c9T\u00c9", 0, 1},
      {u"_x", u"ax", 1, -1},  // '_' (0x5F) lies between 'A' and 'a'
      {u"\uffff", u"a", 1, 1},   // units compare unsigned
      {u"", u"", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ntfs::CompareUpcasedNames(table, c.a.data(), c.a.size(), c.b.data(), c.b.size(), false),
              c.insensitive);
    EXPECT_EQ(ntfs::CompareUpcasedNames(table, c.a.data(), c.a.size(), c.b.data(), c.b.size(), true),
              c.exact);
  }
  std::u16string name = u"Caf\u00e9.txt\u4e2d";
  table.Normalize(name);
  EXPECT_EQ(name, u"CAF\u00c9.TXT\u4e2d");
}

TEST(NtfsAttrDef, EntriesAndMends) {
  const auto bytes = AttrDefBytes({{0x10, 0x40, 48, 72},
                                   {0x80, 0, 0, ~0ull},
                                   {0x80, 0x40, 1, 2},  // a second entry of a type is ignored
                                   {0xB0, 0, 0, 4},
                                   {0xFFFFFFFF, 0, 0, 0},
                                   {0x100, 0, 0, 0}});  // past the end mark
  ntfs::AttrDefTable table(bytes.data(), bytes.size());
  ASSERT_NE(table.Find(0x10), nullptr);
  EXPECT_TRUE(table.Find(0x10)->MustBeResident());
  EXPECT_EQ(table.Find(0x10)->MinimumSize(), 48u);
  ASSERT_NE(table.Find(0x80), nullptr);
  EXPECT_FALSE(table.Find(0x80)->MustBeResident());
  EXPECT_EQ(table.Find(0x80)->MaximumSize(), ~0ull);
  EXPECT_EQ(table.Find(0xB0)->MinimumSize(), 8u);
  EXPECT_EQ(table.Find(0xB0)->MaximumSize(), 8u);
  EXPECT_NE(table.Find(0xFFFFFFFF), nullptr);
  EXPECT_EQ(table.Find(0x100), nullptr);
  EXPECT_EQ(table.Find(0x20), nullptr);

  const auto wide = AttrDefBytes({{0xB0, 0, 0, ~0ull}});
  EXPECT_EQ(ntfs::AttrDefTable(wide.data(), wide.size()).Find(0xB0)->MaximumSize(), ~0ull);
}

TEST(NtfsAttrDef, ShortLastEntry) {
  auto bytes = AttrDefBytes({{0x10, 0, 0, 0}, {0x30, 0, 0, 0}});
  bytes.resize(bytes.size() - 1);
  EXPECT_EQ(CodeOf([&] { ntfs::AttrDefTable(bytes.data(), bytes.size()); }), 0x4000du);
  // An end mark before the short entry ends the walk first.
  auto ended = AttrDefBytes({{0x10, 0, 0, 0}, {0xFFFFFFFF, 0, 0, 0}, {0x30, 0, 0, 0}});
  ended.resize(ended.size() - 100);
  EXPECT_EQ(CodeOf([&] { ntfs::AttrDefTable(ended.data(), ended.size()); }), 0u);
}
