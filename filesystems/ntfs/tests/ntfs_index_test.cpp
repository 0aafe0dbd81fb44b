// The index engine over an in-memory store: order, insertion and deletion
// under a random workload against a model, block bookkeeping, the layout
// of new blocks, and damaged nodes refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/ntfs_directory.h"
#include "filesystems/ntfs_index.h"
#include "filesystems/ntfs_records.h"
#include "filesystems/ntfs_tables.h"
#include "foundation/byteorder.h"

namespace ntfs = filesystems::ntfs;
using fstest::CodeOf;

namespace {

// ASCII and Latin-1 letters upper-cased, everything else itself.
ntfs::UpCaseTable MakeUpCase() {
  std::vector<std::uint8_t> bytes(65536 * 2);
  for (std::uint32_t u = 0; u < 65536; ++u) {
    std::uint32_t up = u;
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7)) up = u - 0x20;
    Common::StoreLe16(bytes.data() + 2 * u, std::uint16_t(up));
  }
  return ntfs::UpCaseTable(bytes.data(), bytes.size());
}

class BytesBitmap : public ntfs::BitmapStorage {
 public:
  std::uint64_t Size() override { return bytes.size(); }
  std::uint32_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    if (offset >= bytes.size()) return 0;
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(length, bytes.size() - offset));
    std::copy_n(bytes.begin() + offset, n, buffer);
    return n;
  }
  std::uint32_t Write(std::uint64_t offset, const std::uint8_t* source, std::uint32_t length) override {
    if (bytes.size() < offset + length) bytes.resize(offset + length, 0);
    for (std::uint32_t i = 0; i < length; ++i) bytes[offset + i] = source ? source[i] : 0;
    return length;
  }
  std::vector<std::uint8_t> bytes;
};

// An index kept in memory; the root may grow up to `rootLimit` bytes, as
// a record with that much room would allow.
class MemoryStore : public ntfs::IndexStore {
 public:
  explicit MemoryStore(std::uint32_t rootLimit) : rootLimit_(rootLimit) {}
  std::vector<std::uint8_t> ReadRoot() override { return root; }
  bool WriteRoot(const std::vector<std::uint8_t>& value) override {
    if (value.size() > rootLimit_) return false;
    root = value;
    ++rootWrites;
    return true;
  }
  bool HasAllocation() override { return hasAllocation; }
  void CreateAllocation() override { hasAllocation = true; }
  std::uint64_t AllocationSize() override { return allocation.size(); }
  bool GrowAllocation(std::uint64_t size) override {
    allocation.resize(size, 0);
    return true;
  }
  void ReadAllocation(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    ASSERT_LE(offset + length, allocation.size());
    std::copy_n(allocation.begin() + offset, length, buffer);
  }
  void WriteAllocation(std::uint64_t offset, const std::uint8_t* data, std::uint32_t length) override {
    ASSERT_LE(offset + length, allocation.size());
    std::copy_n(data, length, allocation.begin() + offset);
  }
  ntfs::BitmapStorage& BlockBitmap() override { return bitmap; }

  std::vector<std::uint8_t> root;
  std::vector<std::uint8_t> allocation;
  BytesBitmap bitmap;
  bool hasAllocation = false;
  int rootWrites = 0;

 private:
  std::uint32_t rootLimit_;
};

std::vector<std::uint8_t> MakeEntry(const std::u16string& name, std::uint64_t reference) {
  const std::vector<std::uint8_t> key = ntfs::MakeFileNameValue(name);
  const std::uint32_t length = std::uint32_t((16 + key.size() + 7) & ~std::size_t(7));
  std::vector<std::uint8_t> entry(length, 0);
  Common::StoreLe64(entry.data(), reference);
  Common::StoreLe16(entry.data() + 8, std::uint16_t(length));
  Common::StoreLe16(entry.data() + 10, std::uint16_t(key.size()));
  std::copy(key.begin(), key.end(), entry.begin() + 16);
  return entry;
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

struct Fixture {
  explicit Fixture(std::uint32_t rootLimit = 400, std::uint32_t blockSize = 4096)
      : upcase(MakeUpCase()), order(upcase), store(rootLimit) {
    ntfs::IndexShape shape;
    shape.indexedType = 0x30;
    shape.blockSize = blockSize;
    shape.blocksToVcn = std::uint8_t(blockSize / 4096 ? blockSize / 4096 : blockSize / 512);
    index = ntfs::Index::Create(store, order, shape);
  }
  void Insert(const std::u16string& name, std::uint64_t reference = 64) {
    const auto e = MakeEntry(name, reference);
    index->Insert(e.data(), std::uint32_t(e.size()));
  }
  bool Remove(const std::u16string& name) {
    const auto key = ntfs::MakeFileNameValue(name);
    ntfs::Index::Cursor c;
    if (!index->Find(key.data(), std::uint32_t(key.size()), c)) return false;
    index->Remove(c);
    return true;
  }
  std::vector<std::u16string> Walk() {
    std::vector<std::u16string> names;
    ntfs::Index::Cursor c;
    while (index->Next(c)) names.push_back(ntfs::FileNameOf(index->Key(index->EntryAt(c))));
    return names;
  }
  // Block numbers whose bitmap bit is set.
  std::set<std::uint64_t> BitmapBlocks() {
    std::set<std::uint64_t> set;
    for (std::size_t i = 0; i < store.bitmap.bytes.size() * 8; ++i)
      if (store.bitmap.bytes[i / 8] & (1u << (i % 8))) set.insert(i * index->BlocksToVcn());
    return set;
  }
  // A fresh engine over the same bytes: everything must have been written.
  void Reopen() { index = std::make_unique<ntfs::Index>(store, order); }

  ntfs::UpCaseTable upcase;
  ntfs::FileNameKeyOrder order;
  MemoryStore store;
  std::unique_ptr<ntfs::Index> index;
};

struct UpcaseLess {
  const ntfs::UpCaseTable* table;
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    return ntfs::CompareUpcasedNames(*table, a.data(), a.size(), b.data(), b.size(), false) < 0;
  }
};

}  // namespace

TEST(NtfsIndex, NamesCollideAcrossCaseAndSortThroughUpCase) {
  Fixture f;
  f.Insert(u"ABC");
  EXPECT_EQ(CodeOf([&] { f.Insert(u"abc"); }), kFileAlreadyExists);
  EXPECT_EQ(CodeOf([&] { f.Insert(u"\u00e9t\u00e9"); }), 0u);
  EXPECT_EQ(CodeOf([&] { f.Insert(u"\u00c9T\u00c9"); }), kFileAlreadyExists);
}

TEST(NtfsIndex, WalkFollowsUpCaseOrder) {
  Fixture f;
  for (const char16_t* n : {u"ABD", u"ab", u"_x", u"ABC", u"\u00c9t\u00e9", u"Z", u"a"}) f.Insert(n);
  const std::vector<std::u16string> expected = {u"a",  u"ab", u"ABC",          u"ABD",
                                                u"Z",  u"_x", u"\u00c9t\u00e9"};
  EXPECT_EQ(f.Walk(), expected);
  // Lookup ignores case.
  const auto key = ntfs::MakeFileNameValue(u"abd");
  ntfs::Index::Cursor c;
  ASSERT_TRUE(f.index->Find(key.data(), std::uint32_t(key.size()), c));
  EXPECT_EQ(ntfs::FileNameOf(f.index->Key(f.index->EntryAt(c))), u"ABD");
}

TEST(NtfsIndex, RootStaysResidentUntilItsRecordIsFullThenMovesToBlockZero) {
  Fixture f(400);
  // Each entry of a 10-unit name takes 104 bytes: three fit in 400.
  f.Insert(u"name000001");
  f.Insert(u"name000002");
  f.Insert(u"name000003");
  EXPECT_FALSE(f.store.hasAllocation);
  f.Insert(u"name000004");
  ASSERT_TRUE(f.store.hasAllocation);
  // The root holds one end entry with a child: 56 bytes, flags 3, VCN 0.
  ASSERT_EQ(f.store.root.size(), 56u);
  EXPECT_EQ(f.store.root[28] & 1, 1);
  EXPECT_EQ(Common::LoadLe16(f.store.root.data() + 32 + 12), 3);
  EXPECT_EQ(Common::LoadLe64(f.store.root.data() + 48), 0u);
  // Block 0 as a new 4096-byte block is laid out: update sequence count 9,
  // first entry at byte 64, allocated size 4072, USN written, INDX magic.
  const std::uint8_t* b = f.store.allocation.data();
  ASSERT_GE(f.store.allocation.size(), 4096u);
  EXPECT_EQ(Common::LoadLe32(b), ntfs::kIndexBlockMagic);
  EXPECT_EQ(Common::LoadLe16(b + 4), 40);
  EXPECT_EQ(Common::LoadLe16(b + 6), 9);
  EXPECT_EQ(24 + Common::LoadLe32(b + 24), 64u);
  EXPECT_EQ(Common::LoadLe32(b + 32), 4072u);
  // Every stride ends with the update sequence number.
  const std::uint16_t usn = Common::LoadLe16(b + 40);
  EXPECT_NE(usn, 0);
  for (int s = 1; s <= 8; ++s) EXPECT_EQ(Common::LoadLe16(b + 512 * s - 2), usn);
  f.Reopen();
  EXPECT_EQ(f.Walk().size(), 4u);
  EXPECT_EQ(f.BitmapBlocks(), f.index->ReachableBlocks());
}

TEST(NtfsIndex, FreedLeafClearsItsBitAndLastKeyLeavesAnEmptyRoot) {
  Fixture f(400);
  std::vector<std::u16string> names;
  for (int i = 0; i < 200; ++i) names.push_back(Wide("entry" + std::to_string(1000 + i)));
  for (const auto& n : names) f.Insert(n);
  EXPECT_GT(f.index->ReachableBlocks().size(), 3u);
  EXPECT_EQ(f.BitmapBlocks(), f.index->ReachableBlocks());
  for (const auto& n : names) {
    ASSERT_TRUE(f.Remove(n));
    ASSERT_EQ(f.BitmapBlocks(), f.index->ReachableBlocks());
  }
  EXPECT_TRUE(f.Walk().empty());
  EXPECT_TRUE(f.BitmapBlocks().empty());
  f.Reopen();
  ASSERT_EQ(f.store.root.size(), 48u);
  EXPECT_EQ(f.store.root[28] & 1, 0);
  EXPECT_EQ(Common::LoadLe16(f.store.root.data() + 32 + 12), 2);
}

// Must hold after any sequence: the walk is the model in $UpCase order,
// every model name is found, the bitmap marks exactly the reachable blocks,
// and a fresh engine over the written bytes sees the same.
void CheckAgainstModel(Fixture& f, const std::set<std::u16string, UpcaseLess>& model) {
  const std::vector<std::u16string> walk = f.Walk();
  ASSERT_EQ(walk, std::vector<std::u16string>(model.begin(), model.end()));
  ASSERT_EQ(f.BitmapBlocks(), f.index->ReachableBlocks());
  f.Reopen();
  ASSERT_EQ(f.Walk(), walk);
  for (const auto& name : model) {
    const auto key = ntfs::MakeFileNameValue(name);
    ntfs::Index::Cursor c;
    ASSERT_TRUE(f.index->Find(key.data(), std::uint32_t(key.size()), c));
  }
}

TEST(NtfsIndex, RandomInsertsAndDeletesMatchTheModel) {
  for (std::uint32_t rootLimit : {200u, 700u}) {
    SCOPED_TRACE(rootLimit);
    Fixture f(rootLimit);
    UpcaseLess less{&f.upcase};
    std::set<std::u16string, UpcaseLess> model(less);
    std::mt19937 random(0x21A + rootLimit);
    for (int op = 0; op < 10000; ++op) {
      // Grow to a few thousand names, then shrink towards empty.
      const bool growing = op < 6000;
      const bool insert = model.empty() || (random() % 100) < (growing ? 70u : 25u);
      if (insert) {
        std::string name = "n" + std::to_string(random() % 20000);
        // Names of 1 to 120 units, some differing only in case.
        name.append(random() % 120, char('a' + random() % 26));
        if (random() % 4 == 0) std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        const std::u16string wide = Wide(name);
        const bool fresh = model.count(wide) == 0;
        if (fresh) {
          f.Insert(wide);
          model.insert(wide);
        } else {
          EXPECT_EQ(CodeOf([&] { f.Insert(wide); }), kFileAlreadyExists);
        }
      } else {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        ASSERT_TRUE(f.Remove(*it));
        model.erase(it);
      }
      if (op == 6000) {
        // The tree has grown past two levels of blocks by now.
        EXPECT_GT(f.index->ReachableBlocks().size(), 60u);
      }
      if (op % 500 == 499) {
        CheckAgainstModel(f, model);
        if (HasFatalFailure()) return;
      }
    }
    CheckAgainstModel(f, model);
  }
}

namespace {

// Index blocks as a damaged volume could hold them, each refused.
struct Damage {
  const char* what;
  std::function<void(std::vector<std::uint8_t>& root, std::uint8_t* block)> apply;
};

}  // namespace

TEST(NtfsIndex, DamagedNodesAreCorruptionNeverACrash) {
  const std::vector<Damage> damages = {
      {"magic", [](auto&, std::uint8_t* b) { b[0] = 'F'; }},
      {"update sequence", [](auto&, std::uint8_t* b) { b[1022]++; }},
      {"block VCN", [](auto&, std::uint8_t* b) { b[16] = 7; }},
      {"index length past allocated",
       [](auto&, std::uint8_t* b) { Common::StoreLe32(b + 28, 5000); }},
      {"first entry inside the array", [](auto&, std::uint8_t* b) { Common::StoreLe32(b + 24, 16); }},
      {"entry length 0", [](auto&, std::uint8_t* b) { Common::StoreLe16(b + 64 + 8, 0); }},
      {"entry length past the node",
       [](auto&, std::uint8_t* b) { Common::StoreLe16(b + 64 + 8, 4000); }},
      {"key length past the entry",
       [](auto&, std::uint8_t* b) { Common::StoreLe16(b + 64 + 10, 200); }},
      {"name past the key", [](auto&, std::uint8_t* b) { b[64 + 16 + 64] = 200; }},
      {"child flag against the node", [](auto&, std::uint8_t* b) { b[64 + 12] |= 1; }},
      {"no end entry",
       [](auto&, std::uint8_t* b) {
         const std::uint32_t end = 24 + Common::LoadLe32(b + 28) - 16;
         b[end + 12] = 0;
         Common::StoreLe16(b + end + 10, 66);
       }},
      {"root block size 0", [](auto& root, std::uint8_t*) { Common::StoreLe32(root.data() + 8, 0); }},
      {"root factor 0", [](auto& root, std::uint8_t*) { root[12] = 0; }},
      {"root collation", [](auto& root, std::uint8_t*) { root[4] = 16; }},
      {"root child past the allocation",
       [](auto& root, std::uint8_t*) { Common::StoreLe64(root.data() + 48, 64); }},
      {"root too short", [](auto& root, std::uint8_t*) { root.resize(40); }},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    Fixture f(200);
    for (int i = 0; i < 12; ++i) f.Insert(Wide("name" + std::to_string(100 + i)));
    ASSERT_TRUE(f.store.hasAllocation);
    // Undo block 0's protection to damage it, then protect it again.
    std::uint8_t* block = f.store.allocation.data();
    ntfs::UnprotectUpdateSequence(block, 40, 4096);
    d.apply(f.store.root, block);
    if (Common::LoadLe16(block + 4) == 40 && Common::LoadLe16(block + 6) == 9 &&
        std::string(d.what) != "update sequence") {
      ntfs::ProtectUpdateSequence(block, 4096);
    } else {
      // The stride ends are left as they are: a torn block.
      for (int s = 1; s <= 8; ++s) Common::StoreLe16(block + 512 * s - 2, 0x7777);
    }
    EXPECT_EQ(CodeOf([&] {
                f.Reopen();
                f.Walk();
              }),
              kFileCorrupted);
  }
}

TEST(NtfsIndex, ChildCyclesAreCorruption) {
  Fixture f(200);
  for (int i = 0; i < 200; ++i) f.Insert(Wide("cycle" + std::to_string(1000 + i)));
  ASSERT_GE(f.index->ReachableBlocks().size(), 3u);
  // Point the first entry of the root's first child at that child itself.
  const std::uint64_t child = Common::LoadLe64(
      f.store.root.data() + 32 + Common::LoadLe16(f.store.root.data() + 32 + 8) - 8);
  std::uint8_t* block = f.store.allocation.data() + (child / f.index->BlocksToVcn()) * 4096;
  ntfs::UnprotectUpdateSequence(block, 40, 4096);
  if (block[24 + 12] & 1) {
    const std::uint32_t first = 24 + Common::LoadLe32(block + 24);
    Common::StoreLe64(block + first + Common::LoadLe16(block + first + 8) - 8, child);
  } else {
    // A leaf: make the root's second entry lead to the same block as its first.
    Common::StoreLe64(f.store.root.data() + 32 + Common::LoadLe16(f.store.root.data() + 32 + 8) +
                          Common::LoadLe16(f.store.root.data() + 32 +
                                           Common::LoadLe16(f.store.root.data() + 40) + 8) -
                          8,
                      child);
  }
  ntfs::ProtectUpdateSequence(block, 4096);
  EXPECT_EQ(CodeOf([&] {
              f.Reopen();
              f.Walk();
              f.index->ReachableBlocks();
            }),
            kFileCorrupted);
}

TEST(NtfsIndex, TwoEntriesLeadingToOneBlockAreCorruption) {
  Fixture f(700);
  for (int i = 0; i < 100; ++i) f.Insert(Wide("shared" + std::to_string(1000 + i)));
  // The root leads to several leaves; make its end entry lead to the same
  // leaf as its first entry, so that a walk would enter it twice.
  std::uint8_t* first = f.store.root.data() + 32;
  ASSERT_EQ(first[12] & 3, 1);
  const std::uint64_t child = Common::LoadLe64(first + Common::LoadLe16(first + 8) - 8);
  std::uint8_t* end = first;
  while (!(end[12] & 2)) end += Common::LoadLe16(end + 8);
  Common::StoreLe64(end + 16, child);
  EXPECT_EQ(CodeOf([&] {
              f.Reopen();
              f.Walk();
            }),
            kFileCorrupted);
  EXPECT_EQ(CodeOf([&] { f.index->ReachableBlocks(); }), kFileCorrupted);
}

TEST(NtfsIndex, ReplaceInPlaceKeepsTheTreeAndItsChildren) {
  Fixture f(400);
  std::vector<std::u16string> names;
  for (int i = 0; i < 300; ++i) names.push_back(Wide("keep" + std::to_string(1000 + i)));
  for (const auto& n : names) f.Insert(n);
  const std::set<std::uint64_t> blocks = f.index->ReachableBlocks();
  // Every entry, in leaves and inner nodes alike, gets a new data size.
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto key = ntfs::MakeFileNameValue(names[i]);
    ntfs::Index::Cursor c;
    ASSERT_TRUE(f.index->Find(key.data(), std::uint32_t(key.size()), c));
    const std::uint8_t* old = f.index->EntryAt(c);
    std::vector<std::uint8_t> entry(old, old + f.index->EntryLength(old));
    Common::StoreLe64(entry.data() + 16 + 48, 7000 + i);
    f.index->ReplaceInPlace(c, entry.data(), std::uint32_t(entry.size()));
  }
  f.Reopen();
  EXPECT_EQ(f.index->ReachableBlocks(), blocks);
  ntfs::Index::Cursor c;
  std::size_t i = 0;
  while (f.index->Next(c)) {
    ASSERT_LT(i, names.size());
    EXPECT_EQ(Common::LoadLe64(f.index->Key(f.index->EntryAt(c)) + 48), 7000 + i);
    ++i;
  }
  EXPECT_EQ(i, names.size());
  // An entry of another length is refused.
  const auto key = ntfs::MakeFileNameValue(names[0]);
  ASSERT_TRUE(f.index->Find(key.data(), std::uint32_t(key.size()), c));
  const auto longer = MakeEntry(u"keep1000-longer", 64);
  EXPECT_EQ(CodeOf([&] { f.index->ReplaceInPlace(c, longer.data(), std::uint32_t(longer.size())); }),
            kFileCorrupted);
}
