// The catalog loader: what a good catalog becomes, and which damaged
// catalogs are refused without leaving anything behind.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "files/message_catalog.h"
#include "files/resource.h"
#include "foundation/message_table.h"
#include "resource_test_support.h"

namespace {

using resource_test::Bytes;
using resource_test::MemoryFile;

void Put32(Bytes& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = std::uint8_t(v >> (8 * i));
}

// A catalog of `count` entries; `texts` gives some of them, the others share
// one empty text at offset 0. Offsets are written in descending text order,
// so that they are not ascending in the file.
Bytes MakeCatalog(std::uint32_t count, const std::map<std::uint32_t, std::u16string>& texts) {
  Bytes block(2, 0);
  std::vector<std::uint32_t> offsets(count, 0);
  for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
    offsets[it->first] = static_cast<std::uint32_t>(block.size());
    for (char16_t c : it->second) {
      block.push_back(std::uint8_t(c));
      block.push_back(std::uint8_t(c >> 8));
    }
    block.push_back(0);
    block.push_back(0);
  }
  Bytes file(8 + 4 * count);
  Put32(file, 0, count);
  Put32(file, 4, static_cast<std::uint32_t>(block.size()));
  for (std::uint32_t i = 0; i < count; ++i) Put32(file, 8 + 4 * i, offsets[i]);
  file.insert(file.end(), block.begin(), block.end());
  return file;
}

// What the fake opener hands out, and the names it was asked for.
const Bytes* servedCatalog = nullptr;
bool serveBroken = false;
std::vector<std::string> askedFor;

si_file* ServeCatalog(const char* name) {
  askedFor.push_back(name);
  if (servedCatalog == nullptr) return nullptr;
  auto* file = new MemoryFile(*servedCatalog);
  if (serveBroken) file->fail_with(kFileReadError);
  return file;
}

class CatalogLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    savedOpener_ = ResourceOpener;
    savedBlock_ = MessageCatalogBlock;
    ResourceOpener = &ServeCatalog;
    servedCatalog = nullptr;
    serveBroken = false;
    askedFor.clear();
    MessageCatalogBlock = {nullptr, nullptr};
    for (auto& slot : table_) slot = kUntouched;
  }
  void TearDown() override {
    ResourceOpener = savedOpener_;
    MessageCatalogBlock = savedBlock_;
    delete[] block_;
  }

  bool Load(const Bytes& catalog, std::uint32_t expected = kMessageTableCount) {
    servedCatalog = &catalog;
    return LoadMessageCatalog("purgekit.msg", table_, expected, block_);
  }

  void ExpectNothingChanged() {
    EXPECT_EQ(block_, nullptr);
    EXPECT_EQ(MessageCatalogBlock.begin, nullptr);
    EXPECT_EQ(MessageCatalogBlock.end, nullptr);
    for (std::uint32_t i = 0; i < kMessageTableCount; ++i)
      ASSERT_EQ(table_[i], kUntouched) << "slot " << i;
  }

  static inline const char16_t kUntouched[] = u"untouched";
  const char16_t* table_[kMessageTableCount];
  unsigned char* block_ = nullptr;

 private:
  ResourceOpenerFunction savedOpener_;
  MessageCatalogBlockBounds savedBlock_;
};

TEST_F(CatalogLoad, SlotsPointIntoOneBlockThatTheBoundsSpanExactly) {
  const Bytes catalog =
      MakeCatalog(kMessageTableCount, {{0, u"first"}, {49, u"Quorvel"}, {2169, u"last"}});
  ASSERT_TRUE(Load(catalog));
  ASSERT_EQ(askedFor, std::vector<std::string>{"purgekit.msg"});

  const std::uint32_t blockSize = static_cast<std::uint32_t>(catalog.size()) - 8 - 4 * 2170;
  EXPECT_EQ(MessageCatalogBlock.begin, block_);
  EXPECT_EQ(MessageCatalogBlock.end, block_ + blockSize);
  EXPECT_EQ(0, std::memcmp(block_, catalog.data() + 8 + 4 * 2170, blockSize));
  for (std::uint32_t i = 0; i < kMessageTableCount; ++i) {
    std::uint32_t offset = 0;
    std::memcpy(&offset, catalog.data() + 8 + 4 * i, 4);  // little-endian hosts only
    ASSERT_EQ(reinterpret_cast<const unsigned char*>(table_[i]), block_ + offset) << i;
  }
  EXPECT_EQ(std::u16string(table_[49]), u"Quorvel");
  EXPECT_EQ(std::u16string(table_[2169]), u"last");
  EXPECT_EQ(std::u16string(table_[1]), u"");
  EXPECT_EQ(table_[1], table_[2]);  // shared bytes are allowed
}

// Every way a catalog can be wrong ends the load with false and changes
// nothing the caller can see.
struct Damage {
  const char* what;
  void (*apply)(Bytes& catalog);
};

constexpr std::size_t kTextStart = 8 + 4 * 2170;

const Damage kDamages[] = {
    {"count one short", [](Bytes& c) { Put32(c, 0, 2169); }},
    {"count one more", [](Bytes& c) { Put32(c, 0, 2171); }},
    {"cut inside the header", [](Bytes& c) { c.resize(6); }},
    {"cut inside the offsets", [](Bytes& c) { c.resize(8 + 4 * 1000 + 2); }},
    {"cut after the offsets", [](Bytes& c) { c.resize(kTextStart); }},
    {"cut inside the texts", [](Bytes& c) { c.resize(c.size() - 3); }},
    {"block size larger than the file", [](Bytes& c) { Put32(c, 4, 0x7FFFFFF0); }},
    {"offset beyond the block", [](Bytes& c) { Put32(c, 8 + 4 * 7, 0x10000); }},
    {"offset just past the block",
     [](Bytes& c) { Put32(c, 8 + 4 * 7, static_cast<std::uint32_t>(c.size() - kTextStart + 1)); }},
    {"offset at the block's end",
     [](Bytes& c) { Put32(c, 8 + 4 * 7, static_cast<std::uint32_t>(c.size() - kTextStart)); }},
    {"last text without terminator", [](Bytes& c) { c[c.size() - 1] = 'x'; }},
    {"offset on the block's last byte",
     [](Bytes& c) { Put32(c, 8 + 4 * 7, static_cast<std::uint32_t>(c.size() - kTextStart - 1)); }},
};

TEST_F(CatalogLoad, DamagedCatalogsAreRefusedWithoutATrace) {
  for (const Damage& damage : kDamages) {
    SCOPED_TRACE(damage.what);
    Bytes catalog = MakeCatalog(kMessageTableCount, {{3, u"abc"}, {2000, u"zz"}});
    damage.apply(catalog);
    EXPECT_FALSE(Load(catalog));
    ExpectNothingChanged();
  }
}

TEST_F(CatalogLoad, MissingOrBrokenStreamIsRefused) {
  servedCatalog = nullptr;
  EXPECT_FALSE(LoadMessageCatalog("purgekit.msg", table_, kMessageTableCount, block_));
  ExpectNothingChanged();

  const Bytes good = MakeCatalog(kMessageTableCount, {{5, u"x"}});
  serveBroken = true;
  EXPECT_FALSE(Load(good));
  ExpectNothingChanged();
}

TEST_F(CatalogLoad, ExpectedCountIsTheCallersNotAFixedOne) {
  // The count is whatever the caller expects; a small catalog proves the
  // loader has no built-in 2170.
  const Bytes small = MakeCatalog(3, {{2, u"two"}});
  ASSERT_TRUE(Load(small, 3));
  EXPECT_EQ(std::u16string(table_[2]), u"two");
  EXPECT_EQ(table_[3], kUntouched);
}

#ifdef PURGEKIT_BUILT_CATALOG
// The catalog that the build generates from the repository's table.
TEST_F(CatalogLoad, BuiltCatalogHoldsTheNumberedTexts) {
  std::ifstream in(PURGEKIT_BUILT_CATALOG, std::ios::binary);
  ASSERT_TRUE(in) << PURGEKIT_BUILT_CATALOG;
  const Bytes catalog((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_TRUE(Load(catalog));
  const std::map<std::uint32_t, std::u16string> expected = {
      {49, u"Quorvel"},
      {501, u"Object 'Computer' cannot be found."},
      {520, u"The code is not implemented."},
      {828, u"The MBR driver failed to write the MBR table."},
      {1168, u"There was an attempt to perform unsupported type cast for the named variable value."},
      {1262, u"Error."},
      {1338, u"Bytes"},
      {1339, u"GB"},
      {1342, u"TB"},
      {1359, u"Access to the file or folder is denied."},
      {1361, u"Error occurred while backing up."},
      {1374, u"The device is busy."},
      {1381, u"The end of the file has been reached."},
      {1428, u"Error occurred while writing the file."},
      {1535, u"Access is denied."},
      {1553, u"Unknown status."},
      {1556, u"An invalid session has been detected. Cannot retrieve IDs of the session."},
  };
  for (const auto& [number, text] : expected) EXPECT_EQ(std::u16string(table_[number]), text) << number;
  EXPECT_NE(std::u16string(table_[1842]), u"");
  EXPECT_EQ(std::u16string(table_[0]), u"");
  EXPECT_EQ(std::u16string(table_[2169]), u"");
}
#endif

}  // namespace
