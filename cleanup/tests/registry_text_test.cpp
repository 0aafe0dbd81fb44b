#include "cleanup/registry_text.h"

#include <gtest/gtest.h>

namespace Cleanup {
namespace {

TEST(RegistryDataToText, ReadsLittleEndianUnitsAndKeepsTheStoredTerminator) {
  std::u16string text = u"unchanged";
  ASSERT_TRUE(RegistryDataToText({'Q', 0, 0xE9, 0, 0x3A, 0x26, 0, 0}, text));
  EXPECT_EQ(text, std::u16string(u"Q\u00E9\u263A\0", 4));

  ASSERT_TRUE(RegistryDataToText({}, text));
  EXPECT_EQ(text, u"");
}

TEST(RegistryDataToText, OddByteCountIsNotTextAndLeavesTheOutputAlone) {
  std::u16string text = u"unchanged";
  EXPECT_FALSE(RegistryDataToText({'Q', 0, 'v'}, text));
  EXPECT_EQ(text, u"unchanged");
}

TEST(RegistryText, EmptinessAndFirstNul) {
  EXPECT_TRUE(IsEmptyText(u""));
  EXPECT_TRUE(IsEmptyText(std::u16string(3, u'\0')));
  EXPECT_FALSE(IsEmptyText(std::u16string(u"\0x", 2)));
  EXPECT_EQ(UpToFirstNul(std::u16string_view(u"Quorvel\0junk", 12)), u"Quorvel");
  EXPECT_EQ(UpToFirstNul(u"Quorvel"), u"Quorvel");
}

TEST(ContainsNoCase, IgnoresLetterCaseOnBothSides) {
  struct Case {
    const char16_t* text;
    const char16_t* part;
    bool found;
  } cases[] = {
      {u"17A3E8C52D49B0F46A3EB1D7920CF458", u"17a3e8c52d49b0f46a3eb1d7920cf458", true},
      {u"x17a3e8c52d49b0f46a3eb1d7920cf458y", u"17A3E8C52D49B0F46A3EB1D7920CF458", true},
      {u"17A3E8C52D49B0F46A3EB1D7920CF45", u"17A3E8C52D49B0F46A3EB1D7920CF458", false},
      {u"Quorvel", u"QUORVEL", true},
      {u"Quorve", u"quorvel", false},
      {u"anything", u"", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ContainsNoCase(c.text, c.part), c.found)
        << std::u16string(c.text).size() << " units vs " << std::u16string(c.part).size();
}

TEST(IsPackedProductCode, OnlyThirtyTwoHexDigits) {
  struct Case {
    std::u16string text;
    bool packed;
  } cases[] = {
      {u"17A3E8C52D49B0F46A3EB1D7920CF458", true},
      {u"17a3e8c52d49b0f46a3eb1d7920cf458", true},
      {u"0", false},
      {u"", false},
      {u"17A3E8C52D49B0F46A3EB1D7920CF45", false},    // 31
      {u"17A3E8C52D49B0F46A3EB1D7920CF4580", false},  // 33
      {u"17A3E8C52D49B0F46A3EB1D7920CF45G", false},
      {u"{5C8E3A71-94D2-4F0B-A6E3-1B7D29C0}", false},
      {u"17A3E8C52D49B0F46A3EB1D7920CF45 ", false},
      {std::u16string(u"17A3E8C52D49B0F46A3EB1D7920CF45\0", 32), false},
      // A full-width digit or a letter whose low byte is a hex digit.
      {u"17A3E8C52D49B0F46A3EB1D7920CF45\uFF18", false},
      {u"17A3E8C52D49B0F46A3EB1D7920CF45\u0141", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsPackedProductCode(c.text), c.packed) << c.text.size();
}

TEST(IsValueNameOfId, WholeNamesOnly) {
  const std::u16string id = u"17A3E8C52D49B0F46A3EB1D7920CF458";
  struct Case {
    std::u16string name;
    std::u16string id;
    bool matches;
  } cases[] = {
      {u"17A3E8C52D49B0F46A3EB1D7920CF458", id, true},
      {u"17a3e8c52d49b0f46a3eb1d7920cf458", id, true},
      {u"x17A3E8C52D49B0F46A3EB1D7920CF458", id, false},
      {u"17A3E8C52D49B0F46A3EB1D7920CF4580", id, false},
      {u"17A3E8C52D49B0F46A3EB1D7920CF45", id, false},
      // Ids that are no packed code match nothing, not even themselves.
      {u"06C81427A6F52F044B197A5F0C80D515", u"0", false},
      {u"0", u"0", false},
      {u"", u"", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsValueNameOfId(c.name, c.id), c.matches) << c.name.size() << "/" << c.id.size();
}

TEST(VersionedFilterSuffix, TolbrinAndDigitsOnly) {
  struct Case {
    std::u16string name;
    const char* suffix;  // null: not the versioned filter
  } cases[] = {
      {u"tolbrin", ""},
      {u"tolbrin1207", "1207"},
      {u"Tolbrin42", "42"},
      {u"TOLBRIN0", "0"},
      {u"tolbri", nullptr},
      {u"xtolbrin12", nullptr},
      {u"tolbrin12x", nullptr},
      {u"tolbrin\" & rd /s /q %USERPROFILE% & \"", nullptr},
      {u"tolbrin12\"", nullptr},
      {u"tolbrin&12", nullptr},
      {u"tolbrin%TEMP%", nullptr},
      {u"tolbrin*", nullptr},
      {u"tolbrin?1", nullptr},
      {u"tolbrin1\n2", nullptr},
      {u"tolbrin1\r", nullptr},
      {u"tolbrin 1", nullptr},
      {u"tolbrin1;2", nullptr},
      // Units whose low byte is a quote, an ampersand, a percent sign, a
      // star, a line feed or a digit: cut to one byte they would pass.
      {u"tolbrin\u0122", nullptr},
      {u"tolbrin\u0126", nullptr},
      {u"tolbrin\u0125", nullptr},
      {u"tolbrin\u012A", nullptr},
      {u"tolbrin\u010A", nullptr},
      {u"tolbrin\u0131\u0132", nullptr},
      {u"tolbrin\uFF11", nullptr},  // a full-width digit
      {u"tolbr\u0169n12", nullptr},
      {u"\u0174olbrin12", nullptr},
      {std::u16string(u"tolbrin1\0", 9), nullptr},
      {u"", nullptr},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> got = VersionedFilterSuffix(c.name);
    if (c.suffix == nullptr) {
      EXPECT_FALSE(got.has_value()) << c.name.size() << " units -> " << got.value_or("");
    } else {
      EXPECT_EQ(got.value_or("(none)"), c.suffix);
    }
  }
}

}  // namespace
}  // namespace Cleanup
