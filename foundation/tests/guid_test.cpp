// GUID value and text form, judged by Python's uuid module (data/guids.txt).
#include "foundation/guid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Common::Guid;

// data/guids.txt is wrapped in a raw string so that it is compiled in; the
// tests under Wine cannot reach the source tree.
const char kFixture[] =
#include "data/guids.txt"
    ;

struct FixtureGuid {
  uint8_t bytes[16];
  std::string text;
};

std::vector<FixtureGuid> LoadFixture() {
  std::vector<FixtureGuid> guids;
  std::istringstream in(kFixture);
  std::string hex, text;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    fields >> hex >> text;
    FixtureGuid g;
    if (hex.size() != 32) {
      ADD_FAILURE() << "bad fixture line: " << line;
      continue;
    }
    for (int i = 0; i < 16; ++i) g.bytes[i] = uint8_t(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    g.text = text;
    guids.push_back(g);
  }
  return guids;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

TEST(GuidTest, TextEqualsPythonUuidForTheFixture) {
  const auto guids = LoadFixture();
  ASSERT_EQ(guids.size(), 1000u);
  for (const auto& f : guids) {
    const Guid g = Guid::FromBytes(f.bytes);
    EXPECT_EQ(Common::GuidToString(g), f.text);
    char buffer[40];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Common::GuidToString(buffer, g), buffer);
    EXPECT_STREQ(buffer, f.text.c_str());
    EXPECT_EQ(Common::GuidToString16(g), std::u16string(f.text.begin(), f.text.end()));

    Guid parsed{};
    ASSERT_TRUE(Common::GuidFromString(parsed, f.text.c_str())) << f.text;
    EXPECT_EQ(parsed, g) << f.text;
    Guid lower{};
    ASSERT_TRUE(Common::GuidFromString(lower, Lower(f.text))) << f.text;
    EXPECT_EQ(lower, g);
    Guid wide{};
    ASSERT_TRUE(Common::GuidFromString(wide, std::u16string(f.text.begin(), f.text.end())));
    EXPECT_EQ(wide, g);
  }
}

TEST(GuidTest, FieldsAreLittleEndian) {
  // The EFI global-variable GUID as C writes it and as its bytes lie on disk.
  const uint8_t d4[8] = {0xaa, 0x0d, 0x00, 0xe0, 0x98, 0x03, 0x2b, 0x8c};
  const Guid g = Guid::FromFields(0x8be4df61, 0x93ca, 0x11d2, d4);
  const uint8_t disk[16] = {0x61, 0xdf, 0xe4, 0x8b, 0xca, 0x93, 0xd2, 0x11,
                            0xaa, 0x0d, 0x00, 0xe0, 0x98, 0x03, 0x2b, 0x8c};
  EXPECT_EQ(std::memcmp(g.bytes, disk, 16), 0);
  EXPECT_EQ(g.Data1(), 0x8be4df61u);
  EXPECT_EQ(g.Data2(), 0x93ca);
  EXPECT_EQ(g.Data3(), 0x11d2);
  EXPECT_EQ(g.Data4()[7], 0x8c);
  EXPECT_EQ(Common::GuidToString(g), "8BE4DF61-93CA-11D2-AA0D-00E098032B8C");
  Guid parsed{};
  ASSERT_TRUE(Common::GuidFromString(parsed, "8be4df61-93ca-11d2-aa0d-00e098032b8c"));
  EXPECT_EQ(parsed, g);
}

TEST(GuidTest, NilAndComparison) {
  const Guid nil{};
  EXPECT_TRUE(nil.IsNull());
  EXPECT_EQ(Common::GuidToString(nil), "00000000-0000-0000-0000-000000000000");
  Guid one = nil;
  one.bytes[15] = 1;
  EXPECT_FALSE(one.IsNull());
  EXPECT_NE(one, nil);
  EXPECT_TRUE(nil < one);
  EXPECT_EQ(Common::GuidToString(nullptr, one), nullptr);
}

TEST(GuidTest, RefusesEverythingButTheTextForm) {
  const char* const bad[] = {
      "",
      "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}",
      "8BE4DF61-93CA-11D2-AA0D-00E098032B8",     // short
      "8BE4DF61-93CA-11D2-AA0D-00E098032B8C0",   // long
      "8BE4DF61-93CA-11D2-AA0D-00E098032B8C ",   // trailing blank
      " 8BE4DF61-93CA-11D2-AA0D-00E098032B8C",   // leading blank
      "8BE4DF6193CA-11D2-AA0D-00E098032B8C-",    // dashes misplaced
      "8BE4DF61-93CA-11D2-AA0D00E0-98032B8C",
      "8BE4DF61_93CA_11D2_AA0D_00E098032B8C",
      "8BE4DF6G-93CA-11D2-AA0D-00E098032B8C",    // not hex
      "0x4DF61-93CA-11D2-AA0D-00E098032B8C00",
      "+BE4DF61-93CA-11D2-AA0D-00E098032B8C",
      "8BE4DF61-93CA-11D2-AA0D-00E098032B8\xC3\xA9",
  };
  const uint8_t d4[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const Guid before = Guid::FromFields(1, 2, 3, d4);
  for (const char* text : bad) {
    Guid g = before;
    EXPECT_FALSE(Common::GuidFromString(g, text)) << text;
    EXPECT_FALSE(Common::GuidFromString(g, std::string_view(text))) << text;
    EXPECT_EQ(g, before) << text;
  }
  Guid g{};
  EXPECT_FALSE(Common::GuidFromString(g, static_cast<const char*>(nullptr)));
  // A text with an embedded zero is not the text form.
  const std::string embedded("8BE4DF61-93CA-11D2-AA0D\0-0E098032B8C", 36);
  EXPECT_FALSE(Common::GuidFromString(g, embedded));
  // A UTF-16 unit above 0xFF never aliases a hex digit.
  std::u16string wide(u"8BE4DF61-93CA-11D2-AA0D-00E098032B8C");
  wide[0] = char16_t(0x0138);
  EXPECT_FALSE(Common::GuidFromString(g, wide));
}

TEST(GuidTest, ParsesExactlyTheGivenBytes) {
  // 36 characters with no terminator after them: nothing beyond is read.
  const char text[] = "8BE4DF61-93CA-11D2-AA0D-00E098032B8C";
  std::unique_ptr<char[]> exact(new char[36]);
  std::memcpy(exact.get(), text, 36);
  Guid g{};
  EXPECT_TRUE(Common::GuidFromString(g, std::string_view(exact.get(), 36)));
  EXPECT_EQ(Common::GuidToString(g), text);
  // The pointer form looks at one byte past 36 at most.
  std::unique_ptr<char[]> longer(new char[37]);
  std::memcpy(longer.get(), text, 36);
  longer[36] = 'A';
  EXPECT_FALSE(Common::GuidFromString(g, longer.get()));
}

}  // namespace
