// The integer parser and the digit writers.
#include "foundation/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace Common;

struct ParseCase {
  const char16_t* text;
  unsigned base;
  bool ok;
  uint64_t value;  // what out holds afterwards
};

TEST(ParseInteger64Test, Table) {
  const uint64_t kUntouched = 0xDEADBEEF;
  const ParseCase cases[] = {
      // decimal, with blanks
      {u"42", 10, true, 42},
      {u"  42  ", 10, true, 42},
      {u"0", 10, true, 0},
      {u"007", 10, true, 7},
      {u"4 2", 10, false, 4},
      {u"", 10, false, kUntouched},
      {u"   ", 10, false, 0},
      {u"-1", 10, false, 0},
      {u"+1", 10, false, 0},
      {u"1.5", 10, false, 1},
      {u"12a", 10, false, 12},
      {u"1F", 10, false, 1},
      {u"1\u0661", 10, false, 1},  // only ASCII digits
      {u"\uFF11", 10, false, 0},
      // hexadecimal written into a decimal text
      {u"0x1F", 10, true, 31},
      {u"0X1f", 10, true, 31},
      {u"1Fh", 10, true, 31},
      {u"1fH", 10, true, 31},
      {u" 1Fh  ", 10, true, 31},
      {u"12h", 10, true, 0x12},
      {u"0x", 10, false, 0},
      {u"0x ", 10, false, 0},
      {u"12x", 10, false, 12},
      {u"00x1", 10, false, 0},
      {u"x1", 10, false, 0},
      {u"0x0x1", 10, false, 0},
      {u"0x1Fh", 10, false, 31},
      {u"1h 2h", 10, false, 1},
      {u"h", 10, false, 0},
      {u"1Fh2", 10, false, 1},
      {u"0xFFFFFFFFFFFFFFFF", 10, true, UINT64_MAX},
      {u"FFFFFFFFFFFFFFFFh", 10, true, UINT64_MAX},
      // the limit
      {u"18446744073709551615", 10, true, UINT64_MAX},
      {u"18446744073709551616", 10, false, 1844674407370955161ull},
      {u"99999999999999999999", 10, false, 9999999999999999999ull},
      {u"0x10000000000000000", 10, false, 0x1000000000000000ull},
      // base 16 given
      {u"1F", 16, true, 31},
      {u"ff", 16, true, 255},
      {u"0x1F", 16, false, 0},
      {u"1Fh", 16, false, 31},
      {u"G", 16, false, 0},
      // other bases
      {u"101", 2, true, 5},
      {u"102", 2, false, 2},
      {u"zz", 36, true, 36 * 35 + 35},
      {u"1", 1, false, kUntouched},
      {u"1", 37, false, kUntouched},
  };
  for (const auto& c : cases) {
    uint64_t out = kUntouched;
    EXPECT_EQ(ParseInteger64(out, c.text, c.base), c.ok)
        << ::testing::PrintToString(std::u16string(c.text)) << " base " << c.base;
    EXPECT_EQ(out, c.value) << ::testing::PrintToString(std::u16string(c.text));
  }
}

TEST(ParseInteger64Test, BoundedInput) {
  uint64_t out = 0;
  EXPECT_FALSE(ParseInteger64(out, static_cast<const char16_t*>(nullptr)));
  // A view ends where it ends, and a zero unit ends it too.
  const std::u16string text(u"123456");
  EXPECT_TRUE(ParseInteger64(out, std::u16string_view(text.data(), 3)));
  EXPECT_EQ(out, 123u);
  EXPECT_TRUE(ParseInteger64(out, std::u16string_view(u"12\0" u"34", 5)));
  EXPECT_EQ(out, 12u);
}

TEST(DigitsTest, Decimal) {
  struct Case {
    uint16_t value;
    unsigned flags;
    std::u16string expected;  // the units written, terminator included
  };
  const Case cases[] = {
      {42, kDigitsPadBlanks | kDigitsTerminate, std::u16string(u"   42\0", 6)},
      {42, kDigitsTerminate, std::u16string(u"42\0", 3)},
      {0, kDigitsTerminate, std::u16string(u"0\0", 2)},
      {65535, 0, u"65535"},
      {10000, kDigitsPadBlanks, u"10000"},
      {7, kDigitsPadBlanks, u"    7"},
      {42, kDigitsClearField, u"42   "},
      {305, 0, u"305"},
  };
  for (const auto& c : cases) {
    char16_t buffer[8];
    std::fill(buffer, buffer + 8, u'#');
    char16_t* end = FormatDecimal16(buffer, c.value, c.flags);
    const std::size_t written = c.expected.size();
    EXPECT_EQ(std::u16string(buffer, written), c.expected) << c.value << " " << c.flags;
    const std::size_t digits = c.flags & kDigitsTerminate ? written - 1 : written;
    if (!(c.flags & kDigitsClearField)) {
      EXPECT_EQ(end - buffer, std::ptrdiff_t(digits));
    }
  }
}

TEST(DigitsTest, Hex) {
  char16_t buffer[16];
  EXPECT_EQ(std::u16string(buffer, FormatHex16(buffer, 0x1A2B, kDigitsPrefix0x)), u"0x1A2B");
  EXPECT_EQ(std::u16string(buffer, FormatHex16(buffer, 0x1A2B, kDigitsSuffixH)), u"01A2Bh");
  EXPECT_EQ(std::u16string(buffer, FormatHex16(buffer, 0x1A2B, kDigitsPrefix0x | kDigitsUpperMarker)),
            u"0X1A2B");
  EXPECT_EQ(std::u16string(buffer, FormatHex16(buffer, 0x00ab, kDigitsSuffixH | kDigitsUpperMarker)),
            u"000ABH");
  EXPECT_EQ(std::u16string(buffer, FormatHex16(buffer, 0xF, 0)), u"000F");
  char16_t* end = FormatHex32(buffer, 0xDEADBEEF, kDigitsTerminate);
  EXPECT_EQ(end - buffer, 8);
  EXPECT_EQ(std::u16string(buffer), u"DEADBEEF");
  EXPECT_EQ(std::u16string(buffer, FormatHex32(buffer, 1, kDigitsPrefix0x)), u"0x00000001");
}

}  // namespace
