// The product key table is deleted row by row as whole trees: a row that
// names a shared container, or a typo that turns a key into its parent,
// would wipe other software's registrations. These checks hold every row to
// the shape of its kind.
#include "cleanup/product_key_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace Cleanup {
namespace {

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out += *text < 0x80 ? char(*text) : '?';
  return out;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t slash; (slash = text.find('\\', start)) != std::string::npos; start = slash + 1)
    parts.push_back(text.substr(start, slash - start));
  parts.push_back(text.substr(start));
  return parts;
}

bool IsBracedGuid(const std::string& s) {
  if (s.size() != 38 || s.front() != '{' || s.back() != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

bool IsPackedCode(const std::string& s) {
  return s.size() == 32 &&
         std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit((unsigned char)c); });
}

bool Mentions(const std::string& s, const char* word) { return s.find(word) != std::string::npos; }

// The kind of a row, or "" when its shape fits no kind.
std::string KindOf(const std::string& row) {
  const std::string classes = "SOFTWARE\\Classes\\";
  const std::string overlays =
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers\\";
  if (row.compare(0, overlays.size(), overlays) == 0) {
    const auto p = Split(row.substr(overlays.size()));
    return p.size() == 1 && Mentions(p[0], "Quorvel") ? "overlay" : "";
  }
  if (row.compare(0, classes.size(), classes) != 0) return "";
  const auto p = Split(row.substr(classes.size()));
  if (p.size() == 2 && (p[0] == "CLSID" || p[0] == "Interface" || p[0] == "AppID" ||
                        p[0] == "TypeLib"))
    return IsBracedGuid(p[1]) ? p[0] : "";
  if (p.size() == 3 && p[0] == "Installer" &&
      (p[1] == "Features" || p[1] == "Products" || p[1] == "UpgradeCodes"))
    return IsPackedCode(p[2]) ? "Installer" : "";
  if (p.size() == 4 && (p[0] == "*" || p[0] == "Folder" || p[0] == "Drive") &&
      p[1] == "shellex" && Mentions(p[2], "Handlers"))
    return IsBracedGuid(p[3]) || Mentions(p[3], "Quorvel") ? "shell" : "";
  if (p.size() == 1 && p[0].size() > 1 && p[0][0] == '.') return "extension";
  if (p.size() == 1 && Mentions(p[0], "Quorvel")) {
    // ProgIDs come in pairs with and without ".1"; the rest are file types.
    const bool versioned = p[0].size() > 2 && p[0].compare(p[0].size() - 2, 2, ".1") == 0;
    return versioned ? "versioned ProgID" : "name";
  }
  return "";
}

TEST(ProductKeyTable, EveryRowHasTheShapeOfItsKindAndNoneRepeats) {
  std::map<std::string, int> kinds;
  std::set<std::string> seen;
  int rows = 0;
  for (const char16_t* const* row = kProductKeyTable; *row != nullptr; ++row, ++rows) {
    const std::string text = Narrow(*row);
    const std::string kind = KindOf(text);
    EXPECT_NE(kind, "") << "row " << rows << " fits no kind: " << text;
    ++kinds[kind];
    std::string folded = text;
    for (char& c : folded) c = char(std::tolower((unsigned char)c));
    EXPECT_TRUE(seen.insert(folded).second) << "row repeats: " << text;
  }
  EXPECT_EQ(rows, 145);
  // 22 ProgIDs with a ".1" twin each, plus 3 file types without one.
  const std::map<std::string, int> expected = {
      {"versioned ProgID", 22}, {"name", 25}, {"CLSID", 35},  {"Interface", 31},
      {"AppID", 10},            {"TypeLib", 7}, {"shell", 7}, {"Installer", 3},
      {"extension", 2},         {"overlay", 3}};
  EXPECT_EQ(kinds, expected);
}

TEST(ProductKeyTable, EveryVersionedProgIdHasItsVersionIndependentTwin) {
  std::set<std::string> rows;
  for (const char16_t* const* row = kProductKeyTable; *row != nullptr; ++row)
    rows.insert(Narrow(*row));
  for (const std::string& row : rows) {
    if (KindOf(row) == "versioned ProgID") {
      EXPECT_EQ(rows.count(row.substr(0, row.size() - 2)), 1u) << row;
    }
  }
}

// The registry mode treats the main product's upgrade-code row apart from
// the others (it is a list other products join); that only works while the
// row is spelt exactly as the key it looks for.
TEST(ProductKeyTable, HoldsTheMainUpgradeCodeKeyVerbatim) {
  int found = 0;
  for (const char16_t* const* row = kProductKeyTable; *row != nullptr; ++row)
    found += std::u16string(*row) == kMainUpgradeCodeKey;
  EXPECT_EQ(found, 1);
}

}  // namespace
}  // namespace Cleanup
