// Catalog names: the case-folding and binary orders, and the on-disk name
// with its special forms.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_driver.h"
#include "filesystems/hfs_names.h"
#include "foundation/byteorder.h"

namespace hfsplus = filesystems::hfsplus;
using fstest::CodeOf;

namespace {

std::vector<std::uint8_t> BigEndian(const std::u16string& s) {
  std::vector<std::uint8_t> out(2 * s.size() + 1);
  for (std::size_t i = 0; i < s.size(); ++i) Common::StoreBe16(&out[2 * i], std::uint16_t(s[i]));
  return out;
}

int Compare(hfsplus::NameOrder order, const std::u16string& a, const std::u16string& b) {
  const auto x = BigEndian(a);
  const auto y = BigEndian(b);
  return hfsplus::CompareNames(order, x.data(), a.size(), y.data(), b.size());
}

struct OrderCase {
  const char* what;
  std::u16string a, b;
  int folded;  // HFS+, and HFSX with key-compare type 0xCF
  int binary;  // HFSX with key-compare type 0xBC
};

const OrderCase kOrderCases[] = {
    {"ASCII case", u"abc", u"ABC", 0, 1},
    {"ASCII mixed case", u"Makefile", u"makefile", 0, -1},
    {"prefix first", u"ab", u"abc", -1, -1},
    {"case does not decide before a later letter", u"ABD", u"abc", 1, -1},
    {"upper sorts by its lower form", u"Z", u"_", 1, -1},
    {"Latin-1 AE", u"\u00C6", u"\u00E6", 0, -1},
    {"Latin-1 O stroke", u"\u00D8x", u"\u00F8x", 0, -1},
    {"Latin-1 thorn and eth", u"\u00DE\u00D0", u"\u00FE\u00F0", 0, -1},
    {"precomposed A grave is compared as stored", u"\u00C0", u"\u00E0", -1, -1},
    {"precomposed E acute is compared as stored", u"\u00C9t\u00E9", u"\u00E9t\u00E9", -1, -1},
    {"multiplication sign is not a letter", u"\u00D7", u"\u00F7", -1, -1},
    {"sharp s is not ss", u"\u00DF", u"ss", 1, 1},
    {"decomposed against precomposed", u"e\u0301", u"\u00E9", -1, -1},
    {"Latin Extended-A D stroke", u"\u0110", u"\u0111", 0, -1},
    {"Latin Extended-A A macron is decomposable", u"\u0100", u"\u0101", -1, -1},
    {"Latin Extended-B DZ digraphs", u"\u01C4", u"\u01C5", 0, -1},
    {"Greek sigma", u"\u03A3\u0391", u"\u03C3\u03B1", 0, -1},
    {"Cyrillic", u"\u0414\u0416", u"\u0434\u0436", 0, -1},
    {"Cyrillic short i is decomposable", u"\u0419", u"\u0439", -1, -1},
    {"Armenian", u"\u0531", u"\u0561", 0, -1},
    {"Georgian capitals", u"\u10A0", u"\u10D0", 0, -1},
    {"Roman numerals", u"\u216B", u"\u217B", 0, -1},
    {"fullwidth letters", u"\uFF21\uFF22", u"\uFF41\uFF42", 0, -1},
    {"U+0101 and U+0201 differ", u"\u0101", u"\u0201", -1, -1},
    {"U+01FF before U+0200", u"\u01FF", u"\u0200", -1, -1},
    {"zero-width non-joiner ignored", u"a\u200Cb", u"ab", 0, 1},
    {"left-to-right mark ignored", u"a\u200Eb", u"ab", 0, 1},
    {"embedding controls ignored", u"\u202Aab\u202E", u"ab", 0, 1},
    {"inhibit-swapping controls ignored", u"a\u206Ab\u206F", u"ab", 0, 1},
    {"byte-order mark ignored", u"\uFEFFab", u"ab", 0, 1},
    {"only ignorables equals empty", u"\u200D\uFEFF", u"", 0, 1},
    {"hyphen is not ignorable", u"a\u2010b", u"ab", 1, 1},
    {"U+FE00 is not ignorable", u"a\uFE00", u"a", 1, 1},
    {"NUL after every other unit", std::u16string(u"a\0", 2), u"a\uFFFE", 1, -1},
    {"NUL after U+0001", std::u16string(u"a\0", 2), u"a\u0001", 1, -1},
    {"NUL equals U+FFFF folded", std::u16string(u"a\0", 2), u"a\uFFFF", 0, -1},
    {"hard-link folder sorts last", std::u16string(u"\0\0\0\0HFS+ Private Data", 21), u"zzz", 1, -1},
    {"HFSX binary: B before a", u"B", u"a", 1, -1},
    {"HFSX binary: plain unit values", u"\u00E9", u"f", 1, 1},
};

TEST(HfsNames, CatalogOrders) {
  for (const OrderCase& c : kOrderCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Compare(hfsplus::NameOrder::kCaseFolding, c.a, c.b), c.folded);
    EXPECT_EQ(Compare(hfsplus::NameOrder::kCaseFolding, c.b, c.a), -c.folded);
    EXPECT_EQ(Compare(hfsplus::NameOrder::kBinary, c.a, c.b), c.binary);
    EXPECT_EQ(Compare(hfsplus::NameOrder::kBinary, c.b, c.a), -c.binary);
  }
}

TEST(HfsNames, FoldingIsConsistentOverEveryUnit) {
  // A unit folds to something that folds to itself, so the order is a
  // total order on folded names; the only unit folding to U+FFFF besides
  // itself is NUL.
  for (std::uint32_t u = 0; u <= 0xFFFF; ++u) {
    const std::uint16_t f = hfsplus::FoldNameUnit(std::uint16_t(u));
    if (f == 0) continue;
    ASSERT_EQ(hfsplus::FoldNameUnit(f), f) << std::hex << u;
    if (f == 0xFFFF) {
      ASSERT_TRUE(u == 0 || u == 0xFFFF) << std::hex << u;
    }
  }
  for (char16_t c = u'A'; c <= u'Z'; ++c) EXPECT_EQ(hfsplus::FoldNameUnit(c), c + 0x20);
}

TEST(HfsNames, OrderOfCatalog) {
  using hfsplus::NameOrder;
  EXPECT_EQ(hfsplus::CatalogNameOrder(false, 0), NameOrder::kCaseFolding);
  EXPECT_EQ(hfsplus::CatalogNameOrder(false, hfsplus::kCompareBinary), NameOrder::kCaseFolding);
  EXPECT_EQ(hfsplus::CatalogNameOrder(true, hfsplus::kCompareBinary), NameOrder::kBinary);
  EXPECT_EQ(hfsplus::CatalogNameOrder(true, hfsplus::kCompareCaseFolding),
            NameOrder::kCaseFolding);
  EXPECT_EQ(CodeOf([] { hfsplus::CatalogNameOrder(true, 0); }), 0x4000du);
}

TEST(HfsNames, TextConversions) {
  const std::u16string longest(255, u'x');
  hfsplus::HFSPlusString name(longest);
  EXPECT_EQ(name.Length(), 255);
  std::u16string back;
  name.ToWString(back);
  EXPECT_EQ(back, longest);
  EXPECT_EQ(CodeOf([] { hfsplus::HFSPlusString(std::u16string(256, u'x')); }), 0x4000eu);

  hfsplus::HFSPlusString folder(u"HFS+ Private Data");
  EXPECT_EQ(folder.Length(), 21);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(folder.UnitAt(i), 0);
  EXPECT_TRUE(folder.IsPrivateDataFolder());
  folder.ToWString(back);
  EXPECT_EQ(back, u"HFS+ Private Data");
  hfsplus::HFSPlusString made;
  made.SetPrivateDataFolderName();
  EXPECT_TRUE(made.Equals(folder));
  for (const std::u16string text : {u"HFS", u"HFS+ Private Data!", u"hfs+ private data"}) {
    hfsplus::HFSPlusString other(text);
    EXPECT_EQ(other.Length(), text.size());
    EXPECT_EQ(other.UnitAt(0), text[0]);
    EXPECT_FALSE(other.IsPrivateDataFolder());
  }
  // The folder's four hidden units count against the 255.
  hfsplus::HFSPlusString nearlyFull(std::u16string(238, u'y'));
  EXPECT_EQ(CodeOf([&] { nearlyFull.Append(u"HFS+ Private Data", 238); }), 0x4000eu);
  EXPECT_EQ(nearlyFull.Length(), 238);
  // Appending anywhere but the end is refused.
  EXPECT_EQ(CodeOf([&] { nearlyFull.Append(u"z", 3); }), 0x4000eu);

  // Units are kept as given: no decomposition, no case change.
  hfsplus::HFSPlusString decomposed(u"e\u0301");
  hfsplus::HFSPlusString precomposed(u"\u00E9");
  EXPECT_EQ(decomposed.Length(), 2);
  EXPECT_FALSE(decomposed.Equals(precomposed));
  EXPECT_FALSE(hfsplus::HFSPlusString(u"A").Equals(hfsplus::HFSPlusString(u"a")));
  const hfsplus::HFSPlusString unit(u"\u0102");
  const std::uint8_t* bytes = unit.Bytes();
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[1], 1);
  EXPECT_EQ(bytes[2], 0x01);
  EXPECT_EQ(bytes[3], 0x02);
}

TEST(HfsNames, INodeNames) {
  struct {
    std::uint32_t number;
    std::u16string text;
  } const cases[] = {{5, u"iNode5"}, {1234, u"iNode1234"}, {0, u"iNode0"},
                     {4294967295u, u"iNode4294967295"}};
  for (const auto& c : cases) {
    hfsplus::HFSPlusString name;
    name.SetINodeName(c.number);
    std::u16string text;
    name.ToWString(text);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(name.Length(), c.text.size());
  }
  hfsplus::HFSPlusString name;
  EXPECT_EQ(CodeOf([&] { name.WriteDecimal(7, 255); }), 0x4000du);
  EXPECT_EQ(CodeOf([&] { name.WriteDecimal(12, 254); }), 0x4000du);
  EXPECT_EQ(name.WriteDecimal(7, 254), 1u);
}

TEST(HfsNames, KeyNames) {
  std::uint8_t key[8 + 6] = {0, 12, 0, 0, 0, 2, 0, 3, 0, 'a', 0, 'B', 0, 'c'};
  hfsplus::HFSPlusString name;
  name.SetFromKeyName(key, sizeof key);
  EXPECT_TRUE(name.Equals(hfsplus::HFSPlusString(u"aBc")));
  EXPECT_EQ(CodeOf([&] { name.SetFromKeyName(key, sizeof key - 1); }), 0x4000du);
  key[7] = 0xFF;
  key[6] = 0x01;
  EXPECT_EQ(CodeOf([&] { name.SetFromKeyName(key, sizeof key); }), 0x4000du);
}

TEST(HfsNames, SpecialNames) {
  EXPECT_TRUE(hfsplus::IsJournalFileName(u".journal", 2));
  EXPECT_TRUE(hfsplus::IsJournalFileName(u".journal_info_block", 2));
  EXPECT_FALSE(hfsplus::IsJournalFileName(u".journal", 16));
  EXPECT_FALSE(hfsplus::IsJournalFileName(u".Journal", 2));
  EXPECT_TRUE(hfsplus::IsHiddenEntryName(u"HFS+ Private Data", 16));
  EXPECT_TRUE(hfsplus::IsHiddenEntryName(u".journal", 2));
  EXPECT_FALSE(hfsplus::IsHiddenEntryName(u".journal", 17));
  EXPECT_TRUE(hfsplus::IsDotName(u"."));
  EXPECT_TRUE(hfsplus::IsDotName(u".."));
  EXPECT_FALSE(hfsplus::IsDotName(u"..."));
}

}  // namespace
