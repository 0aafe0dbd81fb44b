// The portable text work of the driver-uninstall helper.
#include "inst_drv/inst_drv_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using InstDrv::RemoveMultiSzEntry;

std::string Cut(std::string data, const char* entry, bool firstOnly) {
  const std::size_t size = RemoveMultiSzEntry(&data[0], data.size(), entry, firstOnly);
  return data.substr(0, size);
}

struct MultiSzCase {
  const char* what;
  std::string data;
  const char* entry;
  bool firstOnly;
  std::string want;
};

TEST(RemoveMultiSzEntry, Table) {
  using namespace std::string_literals;
  const MultiSzCase cases[] = {
      {"others keep their order", "volsnap\0mirtel\0partmgr\0\0"s, "mirtel", false,
       "volsnap\0partmgr\0\0"s},
      {"twice listed: both go", "mirtel\0volsnap\0mirtel\0\0"s, "mirtel", false,
       "volsnap\0\0"s},
      {"twice listed, first only", "mirtel\0volsnap\0mirtel\0\0"s, "mirtel", true,
       "volsnap\0mirtel\0\0"s},
      {"next to each other", "a\0mirtel\0mirtel\0b\0\0"s, "mirtel", false, "a\0b\0\0"s},
      {"other letter case", "volsnap\0MIRTEL\0\0"s, "mirtel", false, "volsnap\0\0"s},
      {"a longer name is another", "mirtel2\0mirte\0\0"s, "mirtel", false, "mirtel2\0mirte\0\0"s},
      {"absent", "volsnap\0\0"s, "mirtel", false, "volsnap\0\0"s},
      {"the only entry", "mirtel\0\0"s, "mirtel", false, "\0"s},
      // Data the registry returned without their terminators: the walk ends
      // at the data's end.
      {"last string unterminated", "volsnap\0mirtel"s, "mirtel", false, "volsnap\0"s},
      {"no terminator at all", "mirtel"s, "mirtel", false, ""s},
      {"unterminated other name", "mirtel\0volsn"s, "mirtel", false, "volsn"s},
      {"empty data", ""s, "mirtel", false, ""s},
      // The list ends at its first empty string, where Windows stops reading
      // a device's filters: a name behind it is loaded by nobody and stays,
      // and nothing behind it moves into the list.
      {"after the end", "volsnap\0\0mirtel\0\0"s, "mirtel", false, "volsnap\0\0mirtel\0\0"s},
      {"before and after the end", "volsnap\0mirtel\0\0mirtel\0\0"s, "mirtel", false,
       "volsnap\0\0mirtel\0\0"s},
      {"first entry, others after the end", "mirtel\0\0volsnap\0\0"s, "mirtel", false,
       "\0volsnap\0\0"s},
      {"unterminated after the end", "volsnap\0\0mirtel"s, "mirtel", false,
       "volsnap\0\0mirtel"s},
  };
  for (const MultiSzCase& c : cases)
    EXPECT_EQ(Cut(c.data, c.entry, c.firstOnly), c.want) << c.what;
}

TEST(RemoveMultiSzEntry, NeverReadsBeyondTheGivenSize) {
  // The buffer goes on with a matching name that is not part of the value.
  std::string buffer = std::string("volsnap\0mirtel\0\0", 16);
  const std::size_t size = RemoveMultiSzEntry(&buffer[0], 7, "mirtel", false);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(buffer, std::string("volsnap\0mirtel\0\0", 16));
}

TEST(UninstallParameters, Table) {
  const std::u16string description = u"Quorvel Backup Archive Explorer";
  struct Case {
    const std::u16string* description;
    std::uint16_t instance;
    bool log;
    std::u16string want;
  } cases[] = {
      {nullptr, 0, false, u"/uninstall: /instance:0 /inf-name:\"C:\\T\\a.inf\" "},
      {&description, 0, false,
       u"/uninstall: /descr:\"Quorvel Backup Archive Explorer\" /instance:0 "
       u"/inf-name:\"C:\\T\\a.inf\" "},
      {nullptr, 0, true, u"/uninstall: /instance:0 /inf-name:\"C:\\T\\a.inf\"  /log"},
      {nullptr, 65535, false, u"/uninstall: /instance:65535 /inf-name:\"C:\\T\\a.inf\" "},
      {nullptr, 10, false, u"/uninstall: /instance:10 /inf-name:\"C:\\T\\a.inf\" "},
  };
  for (const Case& c : cases)
    EXPECT_EQ(InstDrv::UninstallParameters(c.description, c.instance, u"C:\\T\\a.inf", c.log),
              c.want);
}

TEST(NumberedName, AppendsDecimal) {
  EXPECT_EQ(InstDrv::NumberedName("wobrant", 612), "wobrant612");
  EXPECT_EQ(InstDrv::NumberedName("tolbrin", 4294967294u), "tolbrin4294967294");
}

TEST(ReplaceAll, Table) {
  struct Case {
    const char* text;
    const char* find;
    const char* replacement;
    const char* want;
  } cases[] = {
      {"DelService = \"wobrant\"\n\"wobrant\"", "\"wobrant\"", "\"wobrant612\"",
       "DelService = \"wobrant612\"\n\"wobrant612\""},
      // Unquoted mentions are not the service name.
      {"; wobrant filter\nS = \"wobrant\"", "\"wobrant\"", "\"wobrant612\"",
       "; wobrant filter\nS = \"wobrant612\""},
      // A replacement that holds the text is not searched again.
      {"aa", "a", "aa", "aaaa"},
      {"abc", "", "x", "abc"},
      {"", "a", "b", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(InstDrv::ReplaceAll(c.text, c.find, c.replacement), c.want);
}

TEST(FindFirst, FirstOccurrenceOnly) {
  EXPECT_EQ(InstDrv::FindFirst("x tolbrin y tolbrin", "tolbrin"), 2u);
  EXPECT_EQ(InstDrv::FindFirst("x", "tolbrin"), std::string::npos);
  EXPECT_EQ(InstDrv::FindFirst("x", ""), std::string::npos);
}

}  // namespace
