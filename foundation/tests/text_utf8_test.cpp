// UTF-16 <-> UTF-8.
#include "foundation/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Common::Utf16ToUtf8;
using Common::Utf8ToUtf16;

std::u16string Utf16Of(uint32_t cp) {
  if (cp < 0x10000) return std::u16string(1, char16_t(cp));
  cp -= 0x10000;
  return {char16_t(0xD800 + (cp >> 10)), char16_t(0xDC00 + (cp & 0x3FF))};
}

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += char(v);
  return s;
}

// Decodes from a heap block of exactly the input's size, so that a read past
// it is caught by the address sanitizer.
bool DecodeExact(std::u16string& out, const std::string& in) {
  std::unique_ptr<char[]> block(new char[in.size() ? in.size() : 1]);
  std::memcpy(block.get(), in.data(), in.size());
  return Utf8ToUtf16(out, block.get(), in.size());
}

TEST(Utf8Test, RoundTripsEveryCodePoint) {
  std::u16string all;
  std::size_t expectedBytes = 0;
  for (uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // not characters
    all += Utf16Of(cp);
    expectedBytes += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  }
  std::string utf8;
  ASSERT_TRUE(Utf16ToUtf8(utf8, all));
  EXPECT_EQ(utf8.size(), expectedBytes);
  std::u16string back;
  ASSERT_TRUE(DecodeExact(back, utf8));
  EXPECT_TRUE(back == all);
}

TEST(Utf8Test, EachCodePointByItself) {
  for (uint32_t cp = 1; cp <= 0x10FFFF; cp += (cp < 0x3000 ? 1 : 61)) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::u16string u = Utf16Of(cp);
    std::string b;
    Utf16ToUtf8(b, u);
    std::u16string back;
    ASSERT_TRUE(DecodeExact(back, b)) << std::hex << cp;
    ASSERT_TRUE(back == u) << std::hex << cp;
  }
}

TEST(Utf8Test, KnownEncodings) {
  std::string b;
  Utf16ToUtf8(b, u"\u00E9");
  EXPECT_EQ(b, Bytes({0xC3, 0xA9}));
  Utf16ToUtf8(b, u"\U0001F600");
  EXPECT_EQ(b, Bytes({0xF0, 0x9F, 0x98, 0x80}));
  Utf16ToUtf8(b, u"\U0010FFFF");
  EXPECT_EQ(b, Bytes({0xF4, 0x8F, 0xBF, 0xBF}));
  Utf16ToUtf8(b, u"A\u20AC");
  EXPECT_EQ(b, Bytes({'A', 0xE2, 0x82, 0xAC}));

  std::u16string u;
  EXPECT_TRUE(Utf8ToUtf16(u, Bytes({0xC3, 0xA9})));
  EXPECT_EQ(u, u"\u00E9");
  EXPECT_TRUE(Utf8ToUtf16(u, Bytes({0xF0, 0x9F, 0x98, 0x80})));
  EXPECT_EQ(u, u"\U0001F600");
}

TEST(Utf8Test, AcceptsTheSurrogateForm) {
  // CESU-8: U+1F600 as two 3-byte surrogates.
  std::u16string u;
  EXPECT_TRUE(DecodeExact(u, Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})));
  EXPECT_EQ(u, u"\U0001F600");
  // Both forms in one text give the same units.
  EXPECT_TRUE(DecodeExact(u, Bytes({0xF0, 0x9F, 0x98, 0x80, 0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})));
  EXPECT_EQ(u, u"\U0001F600\U0001F600");
}

TEST(Utf8Test, UnpairedSurrogatesComeBackUnchanged) {
  for (uint32_t s = 0xD800; s <= 0xDFFF; ++s) {
    for (const std::u16string& text :
         {std::u16string(1, char16_t(s)), std::u16string{u'a', char16_t(s), u'b'},
          std::u16string{char16_t(s), char16_t(s)}}) {
      // A high surrogate followed by a low one is a pair, not two strays.
      std::string b;
      EXPECT_TRUE(Utf16ToUtf8(b, text));
      std::u16string back;
      ASSERT_TRUE(DecodeExact(back, b)) << std::hex << s;
      EXPECT_TRUE(back == text) << std::hex << s;
    }
  }
  std::string b;
  Utf16ToUtf8(b, std::u16string(1, char16_t(0xD83D)));
  EXPECT_EQ(b, Bytes({0xED, 0xA0, 0xBD}));
}

TEST(Utf8Test, RefusesBadBytesOneByOne) {
  struct Case {
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {Bytes({0x80}), u"?"},                          // stray continuation
      {Bytes({0xBF, 'a'}), u"?a"},
      {Bytes({0xC0, 0x80}), u"??"},                   // overlong NUL
      {Bytes({0xC1, 0xBF}), u"??"},                   // overlong
      {Bytes({0xE0, 0x80, 0x80}), u"???"},            // overlong
      {Bytes({0xE0, 0x9F, 0xBF}), u"???"},            // overlong
      {Bytes({0xF0, 0x80, 0x80, 0x80}), u"????"},     // overlong
      {Bytes({0xF0, 0x8F, 0xBF, 0xBF}), u"????"},     // overlong
      {Bytes({0xF4, 0x90, 0x80, 0x80}), u"????"},     // above U+10FFFF
      {Bytes({0xF5, 0x80, 0x80, 0x80}), u"????"},
      {Bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), u"?????"},
      {Bytes({0xFE}), u"?"},
      {Bytes({0xFF}), u"?"},
      {Bytes({0xC3}), u"?"},                          // cut short
      {Bytes({0xE2, 0x82}), u"??"},
      {Bytes({0xF0, 0x9F, 0x98}), u"???"},
      {Bytes({0xC3, 'a'}), u"?a"},
      {Bytes({0xE2, 'a', 0xAC}), u"?a?"},
      {Bytes({'x', 0xF0, 0x9F, 0x98, 'y'}), u"x???y"},
  };
  for (const auto& c : cases) {
    std::u16string out = u"old";
    EXPECT_FALSE(DecodeExact(out, c.in)) << ::testing::PrintToString(c.in);
    EXPECT_TRUE(out == c.out) << ::testing::PrintToString(c.in);
  }
}

TEST(Utf8Test, StopsAtZeroOrMaximum) {
  std::u16string u = u"old";
  EXPECT_TRUE(Utf8ToUtf16(u, "abc", 0));
  EXPECT_TRUE(u.empty());
  EXPECT_TRUE(Utf8ToUtf16(u, std::string("a\0b", 3)));
  EXPECT_EQ(u, u"a");
  EXPECT_TRUE(Utf8ToUtf16(u, "abcdef", 3));
  EXPECT_EQ(u, u"abc");
  // A sequence cut by the maximum is cut short.
  EXPECT_FALSE(Utf8ToUtf16(u, "\xC3\xA9", 1));
  EXPECT_EQ(u, u"?");
  EXPECT_TRUE(Utf8ToUtf16(u, nullptr, 5));
  EXPECT_TRUE(u.empty());

  std::string b = "old";
  EXPECT_TRUE(Utf16ToUtf8(b, u"ab\0cd", 5));
  EXPECT_EQ(b, "ab");
  EXPECT_TRUE(Utf16ToUtf8(b, u"abcd", 2));
  EXPECT_EQ(b, "ab");
  EXPECT_TRUE(Utf16ToUtf8(b, nullptr, 5));
  EXPECT_EQ(b, "");
  // A pair cut by the maximum leaves an unpaired high surrogate.
  EXPECT_TRUE(Utf16ToUtf8(b, u"\U0001F600", 1));
  EXPECT_EQ(b, Bytes({0xED, 0xA0, 0xBD}));
}

}  // namespace
