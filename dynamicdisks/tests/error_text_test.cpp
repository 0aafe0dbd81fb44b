// The dynamic-disk codes' texts: from the message catalog the build packs
// (read here from the table it is generated from), and the same texts
// while no catalog is loaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "common/error.h"
#include "foundation/message_table.h"
#include "ldm/format.h"

#ifdef PURGEKIT_MESSAGE_TABLE
namespace {

struct Case {
  std::uint32_t code;
  const char16_t* text;
};

// Each code with the text a user is shown for it.
constexpr Case kCases[] = {
    {0x109001, u"I/O operations for such type of volumes are unsupported."},
    {0x109002, u"LDM database is corrupt."},
    {0x109003, u"The I/O operation for the LDM disk failed."},
    {0x109004, u"Cannot implement the LDM disk operation."},
    {0x109005, u"There is a mismatch of the LDM database version."},
    {0x109006, u"The index in the volume description is invalid in the LDM database."},
    {0x109007, u"No such disk in the LDM database."},
    {0x109009, u"An invalid parameter for the LDM driver operation."},
    {0x10900B, u"Not enough entries for keeping the volume layout."},
    {0x10900C, u"No such disk in the LDM database."},
    {0x10900E, u"An invalid volume type."},
    {0x10900F, u"Free space cannot be found."},
    {0x109012, u"Forced way is restricted."},
    {0x109016, u"Multiple LDM disk group was found."},
    {0x109017, u"Not enough data to create an LDM auto request."},
    {0x109018, u"The specified LDM group cannot be found."},
    {0x10901B, u"There is no space on the disk for LDM database creation."},
    {0x10901D, u"The disk is not empty (contains volumes)."},
    {0x1090D4, u"An invalid type of disk."},
};

// The catalog table's lines: number, tab, text (ASCII).
std::map<std::uint32_t, std::u16string> ReadTable() {
  std::map<std::uint32_t, std::u16string> texts;
  std::ifstream in(PURGEKIT_MESSAGE_TABLE);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos || line.compare(0, tab, "count") == 0) continue;
    std::u16string text;
    for (char c : line.substr(tab + 1)) text += char16_t(static_cast<unsigned char>(c));
    texts[std::uint32_t(std::stoul(line.substr(0, tab)))] = text;
  }
  return texts;
}

// Puts texts into the process's message table for one test and restores it.
class LoadedCatalog {
 public:
  LoadedCatalog() { std::copy(std::begin(MessageTable), std::end(MessageTable), saved_); }
  ~LoadedCatalog() { std::copy(std::begin(saved_), std::end(saved_), MessageTable); }
  void Set(std::uint32_t number, const std::u16string& text) {
    held_[number] = text;
    MessageTable[number] = held_[number].c_str();
  }

 private:
  const char16_t* saved_[kMessageTableCount];
  std::map<std::uint32_t, std::u16string> held_;
};

TEST(LdmErrorText, EveryCodeHasItsTextInTheCatalogAndWithoutOne) {
  const std::map<std::uint32_t, std::u16string> table = ReadTable();
  ASSERT_FALSE(table.empty()) << PURGEKIT_MESSAGE_TABLE;
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code);
    const std::uint32_t number = Ldm::LdmMessageNumber(c.code);
    ASSERT_GT(number, 0u);
    ASSERT_LT(number, kMessageTableCount);
    const auto entry = table.find(number);
    ASSERT_NE(entry, table.end()) << number;
    EXPECT_EQ(entry->second, c.text) << number;

    const Common::Error plain = Ldm::MakeLdmError(7, c.code);
    EXPECT_EQ(Common::GetErrorCode(plain), c.code);
    EXPECT_EQ(Common::Describe(plain), c.text);
    {
      // A loaded catalog is where the text comes from (a translated one
      // says it in its own words).
      LoadedCatalog catalog;
      catalog.Set(number, u"translated: " + std::u16string(c.text));
      EXPECT_EQ(Common::Describe(Ldm::MakeLdmError(7, c.code)),
                u"translated: " + std::u16string(c.text));
    }
  }
}

TEST(LdmErrorText, NoTwoCodesShareANumberUnlessTheyShareTheText) {
  std::map<std::uint32_t, std::u16string> seen;
  for (const Case& c : kCases) {
    const auto [it, added] = seen.emplace(Ldm::LdmMessageNumber(c.code), c.text);
    if (!added) {
      EXPECT_EQ(it->second, c.text) << std::hex << c.code;
    }
  }
  EXPECT_EQ(Ldm::LdmMessageNumber(0x1090FF), 0u);
  EXPECT_EQ(Common::GetErrorCode(Ldm::MakeLdmError(7, 0x1090FF)), 0x1090FFu);
}

}  // namespace
#endif
