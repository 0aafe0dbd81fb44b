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

}  // namespace
}  // namespace Cleanup
