// The end-to-end layout is the registry mode's fixture: it must lay out every
// key of the product key table in the 64-bit view, so that the end-to-end
// test sees each row deleted, and none of the others' keys it lays out may
// lie at or below a row, or the fixture would expect a key to survive that
// the program rightly deletes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cleanup/product_key_table.h"

namespace Cleanup {
namespace {

const std::string kLayout = CLEANUP_LAYOUT_DIR;

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out += char(*text);
  return out;
}

struct RegistryFile {
  std::string removedBy;
  std::string views;
  std::string name;
};

std::vector<RegistryFile> RegistryFiles() {
  std::ifstream manifest(kLayout + "/manifest");
  EXPECT_TRUE(manifest) << kLayout << "/manifest";
  std::vector<RegistryFile> files;
  for (std::string line; std::getline(manifest, line);) {
    std::istringstream fields(line);
    std::string kind;
    RegistryFile file;
    if (fields >> kind >> file.removedBy >> file.views >> file.name && kind == "registry")
      files.push_back(file);
  }
  return files;
}

// The keys a .reg file lists, lower-cased.
std::set<std::string> KeysOf(const std::string& name) {
  std::ifstream in(kLayout + "/registry/" + name);
  EXPECT_TRUE(in) << name;
  std::set<std::string> keys;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 2 && line.front() == '[' && line.back() == ']')
      keys.insert(Lower(line.substr(1, line.size() - 2)));
  }
  return keys;
}

bool HasView(const std::string& views, const char* view) {
  std::istringstream list(views);
  for (std::string v; std::getline(list, v, ',');)
    if (v == view) return true;
  return false;
}

std::vector<std::string> TableKeys() {
  std::vector<std::string> keys;
  for (const char16_t* const* row = kProductKeyTable; *row != nullptr; ++row)
    keys.push_back(Lower("HKEY_LOCAL_MACHINE\\" + Narrow(*row)));
  return keys;
}

TEST(RegistryLayout, LaysOutEveryProductKeyTableRowInThe64BitView) {
  std::set<std::string> laidOut;
  for (const RegistryFile& f : RegistryFiles()) {
    if (f.removedBy == "registry" && HasView(f.views, "64")) {
      const auto keys = KeysOf(f.name);
      laidOut.insert(keys.begin(), keys.end());
    }
  }
  ASSERT_FALSE(laidOut.empty());
  for (const std::string& row : TableKeys()) EXPECT_EQ(laidOut.count(row), 1u) << row;
}

TEST(RegistryLayout, NoKeptKeyLiesWithinAProductKeyTableRow) {
  const std::vector<std::string> rows = TableKeys();
  int keptFiles = 0;
  for (const RegistryFile& f : RegistryFiles()) {
    if (f.removedBy != "kept") continue;
    ++keptFiles;
    for (const std::string& key : KeysOf(f.name)) {
      for (const std::string& row : rows) {
        const bool within =
            key == row || (key.size() > row.size() && key.compare(0, row.size(), row) == 0 &&
                           key[row.size()] == '\\');
        // The main product's upgrade-code key is a shared list, kept as a key.
        if (within && row != Lower("HKEY_LOCAL_MACHINE\\" + Narrow(kMainUpgradeCodeKey)))
          ADD_FAILURE() << f.name << " keeps " << key << " inside row " << row;
      }
    }
  }
  EXPECT_GT(keptFiles, 0);
}

}  // namespace
}  // namespace Cleanup
