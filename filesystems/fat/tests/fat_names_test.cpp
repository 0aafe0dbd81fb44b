// The 8.3 name rules, the checksum and the long-name layout, as tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files/file_error.h"
#include "filesystems/fat_names.h"
#include "foundation/byteorder.h"

namespace {

using namespace filesystems::fatname;

std::string Bytes11(const std::uint8_t* b) { return std::string(reinterpret_cast<const char*>(b), 11); }

TEST(FatNames, ExactShortNames) {
  struct Case {
    const char16_t* name;
    const char* expected;  // null: not an exact 8.3 name
  };
  const Case cases[] = {
      {u"README.TXT", "README  TXT"},
      {u"readme.txt", "README  TXT"},
      {u"A.", "A          "},
      {u"ABCDEFGH.ABC", "ABCDEFGHABC"},
      {u"NOEXT", "NOEXT      "},
      {u"ABCDEFGHI", nullptr},
      {u"A.B.X", nullptr},
      {u"A.ABCD", nullptr},
      {u".PROFILE", nullptr},
      {u"", nullptr},
      {u"A B.TXT", nullptr},    // a space is not kept by other tools
      {u"A+B.TXT", nullptr},    // nor '+', ',', ';', '=', '[', ']'
      {u"A.T,T", nullptr},
      {u"A*.TXT", nullptr},
      {u"A.TX ", nullptr},
      {u"\u00E5BC", "\x05" "BC        "},  // U+00E5 upper-cases to 0x8F in 437; see below
  };
  for (const Case& c : cases) {
    std::uint8_t out[11];
    const bool exact = ToExactShortName(c.name, out);
    std::string shown;
    for (const char16_t* p = c.name; *p; ++p) shown.push_back(char(*p));
    SCOPED_TRACE(shown);
    if (c.name[0] == u'\u00E5') {
      // The first byte of the OEM form decides: only 0xE5 is stored as 0x05.
      ASSERT_TRUE(exact);
      EXPECT_NE(out[0], 0xE5);
      continue;
    }
    EXPECT_EQ(exact, c.expected != nullptr);
    if (exact && c.expected) {
      EXPECT_EQ(Bytes11(out), std::string(c.expected, 11));
    }
  }
}

TEST(FatNames, ShortNameBases) {
  struct Case {
    const char16_t* name;
    const char* basis;
    bool exact, needsLongName;
    std::uint32_t shortBase, tailBase;
  };
  const Case cases[] = {
      {u"README.TXT", "README  TXT", true, false, 2, 6},
      {u"readme.txt", "README  TXT", true, true, 2, 6},
      {u"a+b.txt", "A_B     TXT", false, true, 2, 3},
      {u"x.tar.gz", "XTAR    GZ ", false, true, 2, 4},
      {u".profile", "PROFILE    ", false, true, 2, 6},
      {u"my file.txt", "MYFILE  TXT", false, true, 2, 6},
      {u"verylongname.html", "VERYLONGHTM", false, true, 2, 6},
      {u"...", "_          ", false, true, 0, 0},
      {u".txt", "TXT        ", false, true, 2, 3},
      {u"A.", "A          ", true, false, 1, 1},  // a trailing dot is no part of a name
      {u"B", "B          ", true, false, 1, 1},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const char16_t* p = c.name; *p; ++p) shown.push_back(char(*p));
    SCOPED_TRACE(shown);
    ShortNameBasis basis;
    MakeShortNameBasis(basis, c.name);
    EXPECT_EQ(Bytes11(basis.name), std::string(c.basis, 11));
    EXPECT_EQ(basis.exact, c.exact);
    EXPECT_EQ(basis.needsLongName, c.needsLongName);
    EXPECT_EQ(basis.shortBaseLength, c.shortBase);
    EXPECT_EQ(basis.tailBaseLength, c.tailBase);
  }
}

TEST(FatNames, RefusedCharacters) {
  for (const char16_t* name : {u"a*b", u"what?", u"x\x01y", u"a:b", u"a<b", u"a|b", u"a\\b",
                               u"a\"b", u"\u4E2D.txt" /* no 437 form: '?' */}) {
    ShortNameBasis basis;
    std::uint32_t code = 0;
    try {
      MakeShortNameBasis(basis, name);
    } catch (const Common::Error& e) {
      code = e.Code();
    }
    EXPECT_EQ(code, kFileCreateError);
  }
}

TEST(FatNames, Checksums) {
  EXPECT_EQ(LfnChecksum(reinterpret_cast<const std::uint8_t*>("README  TXT")), 0x73);
  EXPECT_EQ(LfnChecksum(reinterpret_cast<const std::uint8_t*>("           ")), 0xF7);
}

TEST(FatNames, ShownShortNames) {
  struct Case {
    const char* bytes;
    std::uint8_t flags;
    const char16_t* shown;
  };
  const Case cases[] = {
      {"README  TXT", 0, u"README.TXT"},
      {"README  TXT", 0x08, u"readme.TXT"},
      {"README  TXT", 0x18, u"readme.txt"},
      {"NOEXT      ", 0x10, u"NOEXT"},
      {"           ", 0, u""},
      {"\x05" "BC     TXT", 0, u"\u03C3BC.TXT"},  // 0xE5 in code page 437
  };
  for (const Case& c : cases) {
    std::uint8_t entry[32] = {};
    std::memcpy(entry, c.bytes, 11);
    entry[12] = c.flags;
    std::u16string shown;
    EXPECT_TRUE(ShortNameToWide(shown, entry)) << c.bytes;
    EXPECT_EQ(shown, std::u16string(c.shown)) << c.bytes;
  }
}

TEST(FatNames, LongNameLayout) {
  const std::uint8_t checksum = 0x5A;
  const std::u16string thirteen = u"ABCDEFGHIJKLM";
  auto one = LayOutLongName(thirteen, checksum);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0][0], 0x41);
  EXPECT_EQ(one[0][11], 0x0F);
  EXPECT_EQ(one[0][12], 0);
  EXPECT_EQ(one[0][13], checksum);
  EXPECT_EQ(Common::LoadLe16(one[0].data() + 26), 0);
  EXPECT_EQ(Common::LoadLe16(one[0].data() + 1), u'A');
  EXPECT_EQ(Common::LoadLe16(one[0].data() + 30), u'M');

  auto two = LayOutLongName(thirteen + u"N", checksum);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0][0], 0x42);  // on disk the last part comes first
  EXPECT_EQ(two[1][0], 0x01);
  EXPECT_EQ(Common::LoadLe16(two[0].data() + 1), u'N');
  EXPECT_EQ(Common::LoadLe16(two[0].data() + 3), 0x0000);
  for (int offset : {5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
    EXPECT_EQ(Common::LoadLe16(two[0].data() + offset), 0xFFFF) << offset;

  EXPECT_EQ(LayOutLongName(std::u16string(255, u'x'), checksum).size(), 20u);
}

}  // namespace
