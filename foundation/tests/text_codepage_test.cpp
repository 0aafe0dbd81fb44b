// Code pages and case mapping. Natively the built-in tables answer; under
// Windows the system does, and the tests also hold the built-in tables
// against it.
#include "foundation/text.h"

#include <gtest/gtest.h>

#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using namespace Common;

std::string AllBytes() {
  std::string s;
  for (int b = 1; b < 256; ++b) s += char(b);
  return s;
}

TEST(CodePageTest, KnownBytes) {
  struct Case {
    uint32_t codePage;
    unsigned char byte;
    char16_t unit;
  };
  const Case cases[] = {
      {1252, 0x80, 0x20AC}, {1252, 0x9F, 0x0178}, {1252, 0xE9, 0x00E9}, {1252, 0x41, u'A'},
      {1252, 0x81, 0x0081}, {437, 0x82, 0x00E9},  {437, 0xB0, 0x2591},  {437, 0xFF, 0x00A0},
      {437, 0x01, 0x0001},  {850, 0x9B, 0x00F8},  {850, 0xD5, 0x0131},  {850, 0xF2, 0x2017},
      {28591, 0x80, 0x0080}, {28591, 0xFF, 0x00FF},
  };
  for (const auto& c : cases) {
    std::u16string u;
    const char b = char(c.byte);
    ASSERT_TRUE(CodePageToWide(c.codePage, u, &b, 1)) << c.codePage;
    EXPECT_EQ(u, std::u16string(1, c.unit)) << c.codePage << " " << int(c.byte);
    std::string back;
    ASSERT_TRUE(WideToCodePage(c.codePage, back, u.c_str(), 1));
    EXPECT_EQ(back, std::string(1, b)) << c.codePage << " " << int(c.byte);
  }
}

TEST(CodePageTest, SingleByteCodePagesRoundTripEveryByte) {
  const std::string bytes = AllBytes();
  for (uint32_t cp : {437u, 850u, 1252u, 28591u}) {
    std::u16string u;
    ASSERT_TRUE(CodePageToWide(cp, u, bytes.data(), bytes.size())) << cp;
    ASSERT_EQ(u.size(), bytes.size());
    std::string back;
    ASSERT_TRUE(WideToCodePage(cp, back, u.c_str(), u.size())) << cp;
    EXPECT_EQ(back, bytes) << cp;
  }
}

TEST(CodePageTest, MissingCharactersBecomeQuestionMarks) {
  std::string out;
  ASSERT_TRUE(WideToCodePage(1252, out, u"a\u0100b", 3));
  EXPECT_EQ(out, "a?b");
  // No best-fit look-alikes: a full-width solidus is not a path separator.
  ASSERT_TRUE(WideToCodePage(1252, out, u"\uFF0F\uFF3C", 2));
  EXPECT_EQ(out, "??");
  ASSERT_TRUE(WideToCodePage(437, out, u"\u20AC", 1));
  EXPECT_EQ(out, "?");
}

TEST(CodePageTest, Utf8CodePage) {
  std::u16string u;
  ASSERT_TRUE(CodePageToWide(kCodePageUtf8, u, "\xC3\xA9\xF0\x9F\x98\x80", 6));
  EXPECT_EQ(u, u"\u00E9\U0001F600");
  // Bad UTF-8 is refused and leaves the output alone.
  u = u"keep";
  EXPECT_FALSE(CodePageToWide(kCodePageUtf8, u, "a\xFF", 2));
  EXPECT_EQ(u, u"keep");
  // Counted bytes include zeros.
  ASSERT_TRUE(CodePageToWide(kCodePageUtf8, u, "a\0b", 3));
  EXPECT_EQ(u, std::u16string(u"a\0b", 3));
  std::string b;
  ASSERT_TRUE(WideToCodePage(kCodePageUtf8, b, u"\U0001F600", 2));
  EXPECT_EQ(b, "\xF0\x9F\x98\x80");
}

TEST(CodePageTest, EdgesOfTheInput) {
  std::u16string u = u"old";
  EXPECT_TRUE(CodePageToWide(1252, u, "abc", 0));
  EXPECT_TRUE(u.empty());
  ASSERT_TRUE(CodePageBytesToWide(1252, u, "ab\0cd", 5));
  EXPECT_EQ(u, u"ab");
  ASSERT_TRUE(CodePageBytesToWide(1252, u, "abcd", 2));
  EXPECT_EQ(u, u"ab");
  std::string b = "old";
  EXPECT_TRUE(WideToCodePage(1252, b, u"", 5));
  EXPECT_TRUE(b.empty());
  ASSERT_TRUE(WideToCodePage(1252, b, u"abcd", 3));
  EXPECT_EQ(b, "abc");
  // No code page 12345 here or on Windows.
  u = u"keep";
  EXPECT_FALSE(CodePageToWide(12345, u, "a", 1));
  EXPECT_EQ(u, u"keep");
  EXPECT_FALSE(WideToCodePage(12345, b, u"a", 1));
  EXPECT_TRUE(b.empty());
}

TEST(CodePageTest, AnsiAndOem) {
  EXPECT_EQ(AnsiToWide("abc"), u"abc");
  EXPECT_EQ(AnsiToWide(nullptr), u"");
  EXPECT_EQ(WideToAnsi(u"abc"), "abc");
  EXPECT_EQ(WideToAnsi(nullptr), "");
  std::string oem;
  ASSERT_TRUE(WideToOem(oem, u"NAME.TXT", 8));
  EXPECT_EQ(oem, "NAME.TXT");
  std::u16string wide;
  ASSERT_TRUE(OemToWide(wide, "NAME    TXT", 11));
  EXPECT_EQ(wide, u"NAME    TXT");
}

TEST(CaseTest, MapsEachUnitAndKeepsTheLength) {
  std::u16string s = u"abc \u00E9\u00FF \u00DF \u03B1\u03C9 \u0436 \u1F80 z\U0001F600";
  ASSERT_TRUE(ToUpperCase(s));
  EXPECT_EQ(s, u"ABC \u00C9\u0178 \u00DF \u0391\u03A9 \u0416 \u1F88 Z\U0001F600");
  ASSERT_TRUE(ToLowerCase(s));
  EXPECT_EQ(s, u"abc \u00E9\u00FF \u00DF \u03B1\u03C9 \u0436 \u1F80 z\U0001F600");
  std::u16string empty;
  EXPECT_TRUE(ToUpperCase(empty));
  EXPECT_TRUE(empty.empty());
}

// Only pairs that map both ways: these have a case form that does not map
// back, and stay.
TEST(CaseTest, OneWayFormsStay) {
  std::u16string upper = u"\u00B5\u0131\u017F\u01C5\u03C2";
  const std::u16string before = upper;
  ASSERT_TRUE(ToUpperCase(upper));
  EXPECT_EQ(upper, before);
  std::u16string lower = u"\u01C5\u03F4\u1E9E\u2126\u212A\u212B";
  const std::u16string lowerBefore = lower;
  ASSERT_TRUE(ToLowerCase(lower));
  EXPECT_EQ(lower, lowerBefore);
}

TEST(CaseTest, PortableTableBasics) {
  for (char16_t c = u'a'; c <= u'z'; ++c) {
    EXPECT_EQ(PortableToUpper(c), c - 32);
    EXPECT_EQ(PortableToLower(char16_t(c - 32)), c);
    EXPECT_EQ(PortableToLower(c), c);
  }
  for (uint32_t u = 0xD800; u <= 0xDFFF; ++u) {
    EXPECT_EQ(PortableToUpper(char16_t(u)), u);
    EXPECT_EQ(PortableToLower(char16_t(u)), u);
  }
  EXPECT_EQ(PortableToUpper(0x0101), 0x0100);
  EXPECT_EQ(PortableToUpper(0x0100), 0x0100);
  EXPECT_EQ(PortableToLower(0x0100), 0x0101);
  EXPECT_EQ(PortableToUpper(0xFF41), 0xFF21);
  EXPECT_EQ(PortableToUpper(0xFFFF), 0xFFFF);
  EXPECT_EQ(PortableToUpper(0), 0);
}

#if defined(_WIN32)

// The built-in tables are the system's, byte for byte.
TEST(CodePageWinTest, BuiltInTablesMatchTheSystem) {
  const std::string bytes = AllBytes();
  for (uint32_t cp : {437u, 850u, 1252u, 28591u}) {
    std::u16string system, portable;
    ASSERT_TRUE(CodePageToWide(cp, system, bytes.data(), bytes.size()));
    ASSERT_TRUE(PortableCodePageToWide(cp, portable, bytes.data(), bytes.size()));
    EXPECT_EQ(system, portable) << cp;
    for (uint32_t u = 1; u < 0x10000; ++u) {
      if (u >= 0xD800 && u <= 0xDFFF) continue;
      const char16_t unit = char16_t(u);
      std::string s, p;
      ASSERT_TRUE(WideToCodePage(cp, s, &unit, 1));
      ASSERT_TRUE(PortableWideToCodePage(cp, p, &unit, 1));
      ASSERT_EQ(s, p) << cp << " U+" << std::hex << u;
    }
  }
}

TEST(CodePageWinTest, AnsiAndOemAreTheSystemCodePages) {
  const std::string bytes = AllBytes();
  std::u16string ansi, oem, acp, oemcp;
  ASSERT_TRUE(CodePageToWide(kCodePageAnsi, ansi, bytes.data(), bytes.size()));
  ASSERT_TRUE(CodePageToWide(GetACP(), acp, bytes.data(), bytes.size()));
  EXPECT_EQ(ansi, acp);
  ASSERT_TRUE(CodePageToWide(kCodePageOem, oem, bytes.data(), bytes.size()));
  ASSERT_TRUE(CodePageToWide(GetOEMCP(), oemcp, bytes.data(), bytes.size()));
  EXPECT_EQ(oem, oemcp);
}

// The built-in case mapping is the system's, so that names compare alike in
// both builds.
TEST(CaseWinTest, BuiltInMappingMatchesTheSystem) {
  for (uint32_t flags : {uint32_t(kMapUpperCase), uint32_t(kMapLowerCase)}) {
    int differences = 0;
    for (uint32_t u = 1; u < 0x10000; ++u) {
      if (u >= 0xD800 && u <= 0xDFFF) continue;
      std::u16string system(1, char16_t(u));
      ASSERT_TRUE(MapStringCase(system, flags));
      const char16_t portable =
          flags == kMapUpperCase ? PortableToUpper(char16_t(u)) : PortableToLower(char16_t(u));
      if (system[0] != portable && ++differences <= 10)
        ADD_FAILURE() << "flags " << flags << " U+" << std::hex << u << ": system "
                      << unsigned(system[0]) << ", built-in " << unsigned(portable);
    }
    EXPECT_EQ(differences, 0) << "flags " << flags;
  }
}

#endif

}  // namespace
