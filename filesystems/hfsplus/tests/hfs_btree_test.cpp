// The B-tree engine against a model: random inserts and deletes checked
// against std::map with the tree checker after every 1,000 operations,
// node edits, splits and new roots, map nodes and clump growth, a full
// volume, the node cache, and damaged trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fake_driver.h"
#include "filesystems/hfs_btree.h"
#include "foundation/byteorder.h"
#include "hfs_btree_memory.h"

namespace hfsplus = filesystems::hfsplus;
using fstest::CodeOf;
using hfstest::MemoryNodeSource;

namespace {

// The catalog's largest key, or less where a node could not hold it.
std::uint16_t CatalogMaxKey(std::uint16_t nodeSize) {
  return std::uint16_t(std::min(516, nodeSize / 2 - 16));
}
constexpr std::uint32_t kCatalogAttributes = hfsplus::kBigKeys | hfsplus::kVariableIndexKeys;

std::vector<std::uint8_t> CatalogKey(std::uint32_t parent, const std::string& name) {
  std::vector<std::uint8_t> key(8 + 2 * name.size());
  Common::StoreBe16(key.data(), std::uint16_t(6 + 2 * name.size()));
  Common::StoreBe32(key.data() + 2, parent);
  Common::StoreBe16(key.data() + 6, std::uint16_t(name.size()));
  for (std::size_t i = 0; i < name.size(); ++i)
    Common::StoreBe16(key.data() + 8 + 2 * i, std::uint8_t(name[i]));
  return key;
}

std::vector<std::uint8_t> ExtentsKey(std::uint32_t file, std::uint32_t start) {
  std::vector<std::uint8_t> key(12, 0);
  Common::StoreBe16(key.data(), 10);
  Common::StoreBe32(key.data() + 4, file);
  Common::StoreBe32(key.data() + 8, start);
  return key;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The model orders catalog keys by parent id, then by the name's ASCII
// lower case: the catalog's folded order for the names used here.
using ModelKey = std::pair<std::uint32_t, std::string>;
using Model = std::map<ModelKey, std::vector<std::uint8_t>>;

std::string CompareWithModel(hfsplus::BTree& tree, const Model& model) {
  auto it = model.begin();
  std::string fault;
  tree.ForEachLeafRecord([&](const std::uint8_t* key, std::size_t, const std::uint8_t* data,
                             std::size_t dataBytes) {
    if (it == model.end()) {
      fault = "the tree holds more records than the model";
      return false;
    }
    std::string name;
    for (std::size_t i = 0; i < Common::LoadBe16(key + 6); ++i)
      name.push_back(char(Common::LoadBe16(key + 8 + 2 * i)));
    if (Common::LoadBe32(key + 2) != it->first.first || Lower(name) != it->first.second) {
      fault = "records differ at " + it->first.second;
      return false;
    }
    if (std::vector<std::uint8_t>(data, data + dataBytes) != it->second) {
      fault = "data differ at " + it->first.second;
      return false;
    }
    ++it;
    return true;
  });
  if (fault.empty() && it != model.end()) fault = "the tree holds fewer records than the model";
  return fault;
}

struct RandomRun {
  std::uint16_t nodeSize;
  std::size_t maxNameUnits;
  std::size_t maxData;
};

// 100,000 operations: growth first, then mostly deletions, with the
// checker and a comparison after every 1,000 and a reopen from the
// written nodes after every 10,000.
void RunRandom(const RandomRun& run, std::uint32_t seed) {
  MemoryNodeSource source(run.nodeSize, 8, 5);
  hfstest::FormatEmptyTree(source, CatalogMaxKey(source.NodeSize()), kCatalogAttributes);
  hfsplus::CatalogKeyOrder order(hfsplus::NameOrder::kCaseFolding);
  auto tree = std::make_unique<hfsplus::BTree>(source, order);
  tree->Open();
  Model model;
  std::mt19937 rng(seed);
  const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  auto randomName = [&] {
    std::string name(1 + rng() % run.maxNameUnits, 'a');
    for (char& c : name) c = letters[rng() % 8 + (rng() % 2) * 26];  // few letters: many clashes
    return name;
  };
  auto recase = [&](std::string name) {
    for (char& c : name)
      if (rng() % 2) c = char(std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c));
    return name;
  };
  std::uint32_t maxDepth = 0;
  for (int op = 1; op <= 100000; ++op) {
    const bool growing = op <= 50000;
    const bool insert = rng() % 100 < (growing ? 75u : 35u);
    const std::uint32_t parent = 1 + rng() % 64;
    if (insert) {
      const std::string name = randomName();
      std::vector<std::uint8_t> data(rng() % (run.maxData + 1));
      for (auto& b : data) b = std::uint8_t(rng());
      const auto key = CatalogKey(parent, name);
      const ModelKey mk{parent, Lower(name)};
      const std::uint32_t code =
          CodeOf([&] { tree->Insert(key.data(), key.size(), data.data(), data.size()); });
      if (model.count(mk)) {
        ASSERT_EQ(code, 0x40013u) << "op " << op;
      } else {
        ASSERT_EQ(code, 0u) << "op " << op;
        // The engine keeps even lengths: data of odd length gains a pad byte.
        if (data.size() % 2) data.push_back(0);
        model[mk] = data;
      }
    } else {
      ModelKey mk{parent, Lower(randomName())};
      auto at = model.lower_bound(mk);
      if (rng() % 4 != 0 && at != model.end()) mk = at->first;
      const auto key = CatalogKey(mk.first, recase(mk.second));
      const std::uint32_t code = CodeOf([&] { tree->Remove(key.data(), key.size()); });
      if (model.erase(mk)) {
        ASSERT_EQ(code, 0u) << "op " << op;
      } else {
        ASSERT_EQ(code, 0x40011u) << "op " << op;
      }
    }
    maxDepth = std::max<std::uint32_t>(maxDepth, tree->Depth());
    if (op % 1000 == 0) {
      ASSERT_EQ(tree->Check(), "") << "op " << op;
      ASSERT_EQ(CompareWithModel(*tree, model), "") << "op " << op;
      ASSERT_EQ(tree->LeafRecords(), model.size());
    }
    if (op % 10000 == 0) {
      tree->Flush();
      tree = std::make_unique<hfsplus::BTree>(source, order);
      tree->Open();
      ASSERT_EQ(tree->Check(), "") << "reopened after op " << op;
      ASSERT_EQ(CompareWithModel(*tree, model), "") << "reopened after op " << op;
    }
  }
  EXPECT_GE(maxDepth, 3u);
  EXPECT_EQ(tree->TotalNodes(), source.NodeCount());
  EXPECT_GT(source.growths, 0u);
  // Growth came in clumps of five nodes.
  EXPECT_EQ(source.NodeCount() % 5, 0u);
  if (run.nodeSize == 512) {
    EXPECT_GE(tree->MapNodeCount(), 1u);
  }
}

TEST(HfsBTree, RandomAgainstModel512) { RunRandom({512, 30, 200}, 1); }
TEST(HfsBTree, RandomAgainstModel4096) { RunRandom({4096, 60, 248}, 2); }
TEST(HfsBTree, RandomAgainstModel32768) { RunRandom({32768, 120, 248}, 3); }
TEST(HfsBTree, RandomAgainstModel1024) { RunRandom({1024, 40, 200}, 4); }
TEST(HfsBTree, RandomAgainstModel2048) { RunRandom({2048, 50, 248}, 5); }
TEST(HfsBTree, RandomAgainstModel8192) { RunRandom({8192, 80, 248}, 6); }
TEST(HfsBTree, RandomAgainstModel16384) { RunRandom({16384, 100, 248}, 7); }

TEST(HfsBTreeNode, Edits) {
  std::vector<std::uint8_t> bytes(512, 0xAA);
  hfsplus::NodeView v(bytes.data(), 512);
  v.Init(hfsplus::kLeafNode, 1, 7, 9);
  EXPECT_EQ(v.NumRecords(), 0);
  EXPECT_EQ(v.RecordOffset(0), 14);
  EXPECT_EQ(v.FreeSpace(), 512u - 16);
  EXPECT_EQ(v.Forward(), 9u);
  EXPECT_EQ(v.Backward(), 7u);
  const std::uint8_t a[4] = {1, 2, 3, 4}, b[2] = {5, 6}, c[6] = {7, 8, 9, 10, 11, 12};
  v.InsertRecord(0, a, 4);
  v.InsertRecord(0, b, 2);  // b a
  v.InsertRecord(1, c, 6);  // b c a
  v.Validate();
  ASSERT_EQ(v.NumRecords(), 3);
  EXPECT_EQ(std::vector<std::uint8_t>(v.Record(0), v.Record(0) + v.RecordSize(0)),
            std::vector<std::uint8_t>(b, b + 2));
  EXPECT_EQ(std::vector<std::uint8_t>(v.Record(1), v.Record(1) + v.RecordSize(1)),
            std::vector<std::uint8_t>(c, c + 6));
  EXPECT_EQ(std::vector<std::uint8_t>(v.Record(2), v.Record(2) + v.RecordSize(2)),
            std::vector<std::uint8_t>(a, a + 4));
  EXPECT_EQ(v.FreeSpace(), 512u - 16 - 12 - 6);
  EXPECT_EQ(CodeOf([&] { v.Record(3); }), 0x40011u);
  v.RemoveRecord(1);  // b a
  EXPECT_EQ(v.RecordSize(1), 4u);
  EXPECT_EQ(v.Record(1)[0], 1);
  v.RemoveRecord(0);
  v.RemoveRecord(0);
  v.Validate();
  EXPECT_EQ(v.NumRecords(), 0);
  EXPECT_EQ(v.FreeOffset(), 14);
  for (std::size_t i = 14; i < 30; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(CodeOf([&] { v.RemoveRecord(0); }), 0x4000du);
  EXPECT_EQ(CodeOf([&] { v.Init(3, 0, 0, 0); }), 0x4000du);
  // A record fills the node only up to its own offset entry.
  std::vector<std::uint8_t> big(512 - 18, 0);
  EXPECT_EQ(CodeOf([&] { v.InsertRecord(0, big.data(), big.size() + 2); }), 0x4000du);
  v.InsertRecord(0, big.data(), big.size());
  EXPECT_EQ(v.FreeSpace(), 0u);
  v.Validate();
}

TEST(HfsBTreeNode, ValidateRefusesDamage) {
  struct Damage {
    const char* what;
    std::size_t at;
    std::vector<std::uint8_t> bytes;
  } const cases[] = {
      {"kind 3", 8, {3}},
      {"kind -2", 8, {0xFE}},
      {"record count past the node", 10, {0x01, 0x00}},
      {"first offset not 14", 510, {0, 16}},
      {"odd offset", 508, {0, 21}},
      {"offsets not rising", 508, {0, 14}},
      {"free offset inside the offset table", 506, {0x01, 0xFC}},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    std::vector<std::uint8_t> bytes(512, 0);
    hfsplus::NodeView v(bytes.data(), 512);
    v.Init(hfsplus::kLeafNode, 1, 0, 0);
    const std::uint8_t r[8] = {0, 6, 1, 2, 3, 4, 5, 6};
    v.AppendRecord(r, 8);
    v.AppendRecord(r, 8);
    v.Validate();
    std::copy(d.bytes.begin(), d.bytes.end(), bytes.begin() + std::ptrdiff_t(d.at));
    EXPECT_EQ(CodeOf([&] { v.Validate(); }), 0x4000du);
  }
}

class SmallTree : public ::testing::Test {
 protected:
  void Make(std::uint16_t nodeSize, std::uint32_t nodes, std::uint32_t clump,
            std::uint32_t maxNodes = 0xFFFFFFFF) {
    source = std::make_unique<MemoryNodeSource>(nodeSize, nodes, clump, maxNodes);
    hfstest::FormatEmptyTree(*source, CatalogMaxKey(nodeSize), kCatalogAttributes);
    tree = std::make_unique<hfsplus::BTree>(*source, order);
    tree->Open();
  }
  void Insert(std::uint32_t parent, const std::string& name, std::size_t dataBytes = 16) {
    const auto key = CatalogKey(parent, name);
    std::vector<std::uint8_t> data(dataBytes, std::uint8_t(name.size()));
    tree->Insert(key.data(), key.size(), data.data(), data.size());
  }

  hfsplus::CatalogKeyOrder order{hfsplus::NameOrder::kCaseFolding};
  std::unique_ptr<MemoryNodeSource> source;
  std::unique_ptr<hfsplus::BTree> tree;
};

TEST_F(SmallTree, FirstInsertionsAndRootSplits) {
  Make(512, 16, 4);
  EXPECT_EQ(tree->Depth(), 0);
  const std::uint32_t freeBefore = tree->FreeNodes();
  Insert(1, "first");
  EXPECT_EQ(tree->Depth(), 1);
  EXPECT_EQ(tree->Root(), tree->FirstLeaf());
  EXPECT_EQ(tree->Root(), tree->LastLeaf());
  EXPECT_EQ(tree->LeafRecords(), 1u);
  EXPECT_EQ(tree->FreeNodes(), freeBefore - 1);
  EXPECT_EQ(tree->Check(), "");
  // Records of about 120 bytes: four to a leaf, so the leaf root splits
  // and later the index root too.
  int n = 0;
  while (tree->Depth() < 3) {
    Insert(1, "name" + std::to_string(1000 + n++), 100);
    ASSERT_EQ(tree->Check(), "") << n;
  }
  EXPECT_NE(tree->FirstLeaf(), tree->LastLeaf());
  // A smaller key than any lands first and carries up to every index level.
  Insert(0, "a");
  EXPECT_EQ(tree->Check(), "");
  const auto key = CatalogKey(0, "A");
  const hfsplus::RecordPosition first = tree->Search(key.data(), key.size());
  EXPECT_EQ(first.node, tree->FirstLeaf());
  EXPECT_EQ(first.index, 0);
  // Deleting everything frees every node and empties the tree.
  tree->Remove(key.data(), key.size());
  for (int i = 0; i < n; ++i) {
    const auto k = CatalogKey(1, "NAME" + std::to_string(1000 + i));
    tree->Remove(k.data(), k.size());
    ASSERT_EQ(tree->Check(), "") << i;
  }
  // Only "first" is left; a case variant of it is the same name.
  EXPECT_EQ(CodeOf([&] { Insert(1, "FIRST"); }), 0x40013u);
  const auto k = CatalogKey(1, "FIRST");
  EXPECT_EQ(CodeOf([&] { tree->Remove(k.data(), k.size()); }), 0u);
  EXPECT_EQ(CodeOf([&] { tree->Remove(k.data(), k.size()); }), 0x40011u);
  EXPECT_EQ(tree->Depth(), 0);
  EXPECT_EQ(tree->Root(), 0u);
  EXPECT_EQ(tree->FirstLeaf(), 0u);
  EXPECT_EQ(tree->LastLeaf(), 0u);
  EXPECT_EQ(tree->FreeNodes(), tree->TotalNodes() - 1);
  EXPECT_EQ(tree->Check(), "");
}

TEST_F(SmallTree, GrowsByClumpsOfOneNode) {
  // A file of the header node alone whose clump is one node: every growth
  // must still add nodes, enough for the deepest split.
  Make(512, 1, 1);
  for (int i = 0; i < 400; ++i) {
    Insert(7, "grow" + std::to_string(i), 150);
    if (i % 50 == 0) {
      ASSERT_EQ(tree->Check(), "") << i;
    }
  }
  EXPECT_EQ(tree->Check(), "");
  EXPECT_GE(tree->Depth(), 3);
  EXPECT_EQ(tree->TotalNodes(), source->NodeCount());
  EXPECT_GT(source->growths, 10u);
}

TEST_F(SmallTree, RecordSizeLimits) {
  Make(512, 16, 4);
  // A record of node size - 16 bytes cannot sit in any node with its
  // offset entry; node size - 18 can.
  const auto key = CatalogKey(1, "k");  // 10 bytes
  std::vector<std::uint8_t> data(512 - 16 - 10, 1);
  EXPECT_EQ(CodeOf([&] { tree->Insert(key.data(), key.size(), data.data(), data.size()); }),
            0x4000du);
  data.resize(512 - 18 - 10);
  EXPECT_EQ(CodeOf([&] { tree->Insert(key.data(), key.size(), data.data(), data.size()); }), 0u);
  // Large records beside it: every split must keep key order even when the
  // records of one split need two new nodes.
  for (const char* name : {"m", "c", "x", "e", "a", "z", "d"}) {
    const auto k = CatalogKey(1, name);
    std::vector<std::uint8_t> d(200 + 30 * (name[0] % 5), 2);
    ASSERT_EQ(CodeOf([&] { tree->Insert(k.data(), k.size(), d.data(), d.size()); }), 0u) << name;
    ASSERT_EQ(tree->Check(), "") << name;
  }
  // A key longer than the header allows, or not matching its length field.
  std::vector<std::uint8_t> longKey = CatalogKey(1, std::string(256, 'q'));
  EXPECT_EQ(CodeOf([&] { tree->Insert(longKey.data(), longKey.size(), nullptr, 0); }), 0x4000eu);
  EXPECT_EQ(CodeOf([&] { tree->Insert(key.data(), key.size() - 2, nullptr, 0); }), 0x4000eu);
}

TEST_F(SmallTree, WalkAndReplace) {
  Make(512, 16, 4);
  Model model;
  for (int i = 0; i < 150; ++i) {
    const int n = i * 37 % 150;
    const std::string name = "r" + std::to_string(n);
    std::vector<std::uint8_t> data(20 + n % 60, std::uint8_t(i));
    const auto key = CatalogKey(3, name);
    tree->Insert(key.data(), key.size(), data.data(), data.size());
    if (data.size() % 2) data.push_back(0);  // records keep even lengths
    model[{3, name}] = data;
  }
  // Position by position from the first record equals the model's order.
  const auto low = CatalogKey(0, "");
  auto it = model.begin();
  std::vector<std::uint8_t> key, data;
  for (hfsplus::RecordPosition p = tree->Search(low.data(), low.size()); !p.IsNull();
       p = tree->Next(p), ++it) {
    ASSERT_NE(it, model.end());
    tree->ReadRecord(p, &key, &data);
    EXPECT_EQ(key, CatalogKey(3, it->first.second));
    EXPECT_EQ(data, it->second);
  }
  EXPECT_EQ(it, model.end());
  EXPECT_EQ(CodeOf([&] { tree->Next(hfsplus::RecordPosition()); }), 0x4000du);

  struct {
    const char* name;
    std::size_t size;
    std::uint32_t code;
  } const cases[] = {
      {"r10", 30, 0},            // same size: in place
      {"r11", 200, 0},           // larger: the leaf may split
      {"r12", 2, 0},             // smaller
      {"R13", 40, 0},            // found in any case; the stored name stays
      {"r999", 10, 0x40011},     // missing
      {"r14", 600, 0x4000d},     // cannot fit any node: the old record stays
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto k = CatalogKey(3, c.name);
    std::vector<std::uint8_t> d(c.size, 0x5A);
    EXPECT_EQ(CodeOf([&] { tree->Replace(k.data(), k.size(), d.data(), d.size()); }), c.code);
    if (c.code == 0) model[{3, Lower(c.name)}] = d;
    if (c.code == 0 && d.size() % 2) model[{3, Lower(c.name)}].push_back(0);
    EXPECT_EQ(tree->Check(), "");
    EXPECT_EQ(CompareWithModel(*tree, model), "");
  }
  const auto stored = CatalogKey(3, "r13");
  const hfsplus::RecordPosition p = tree->Search(stored.data(), stored.size());
  tree->ReadRecord(p, &key, nullptr);
  EXPECT_EQ(key, stored);
}

TEST_F(SmallTree, FullVolumeReportsDiskFull) {
  Make(512, 8, 4, 40);
  Model model;
  std::uint32_t code = 0;
  int i = 0;
  for (; i < 10000 && code == 0; ++i) {
    const std::string name = "entry" + std::to_string(i);
    const auto key = CatalogKey(2, name);
    std::vector<std::uint8_t> data(120, std::uint8_t(i));
    code = CodeOf([&] { tree->Insert(key.data(), key.size(), data.data(), data.size()); });
    if (code == 0) model[{2, Lower(name)}] = data;
  }
  EXPECT_EQ(code, 0x40004u);
  EXPECT_EQ(source->NodeCount(), 40u);
  // The refused insertion changed nothing; deletions still work.
  EXPECT_EQ(tree->Check(), "");
  EXPECT_EQ(CompareWithModel(*tree, model), "");
  for (auto it = model.begin(); it != model.end();) {
    const auto key = CatalogKey(it->first.first, it->first.second);
    ASSERT_EQ(CodeOf([&] { tree->Remove(key.data(), key.size()); }), 0u);
    it = model.erase(it);
    if (model.size() % 7 == 0) {
      ASSERT_EQ(tree->Check(), "");
    }
  }
  EXPECT_EQ(tree->Depth(), 0);
  tree->Flush();
  hfsplus::BTree again(*source, order);
  again.Open();
  EXPECT_EQ(again.Check(), "");
}

TEST(HfsBTree, ParentRecordFoundByChildNumber) {
  // An extents-style tree (fixed keys); after the build, the index key of
  // the second leaf is lowered below that leaf's first key, as a volume
  // may legally hold it.
  MemoryNodeSource source(512, 16, 4);
  hfstest::FormatEmptyTree(source, 10, hfsplus::kBigKeys);
  hfsplus::ExtentsKeyOrder order;
  std::uint32_t secondLeaf = 0;
  std::uint32_t root = 0;
  {
    hfsplus::BTree tree(source, order);
    tree.Open();
    std::vector<std::uint8_t> data(64, 7);
    for (std::uint32_t s = 0; s < 200; s += 10) {
      const auto key = ExtentsKey(16, s);
      tree.Insert(key.data(), key.size(), data.data(), data.size());
    }
    ASSERT_EQ(tree.Depth(), 2);
    ASSERT_EQ(tree.Check(), "");
    tree.Flush();
    root = tree.Root();
  }
  hfsplus::NodeView rv(source.Node(root), 512);
  ASSERT_GE(rv.NumRecords(), 2);
  std::uint8_t* record = rv.Record(1);
  secondLeaf = Common::LoadBe32(record + 12);
  const std::uint32_t firstStart = Common::LoadBe32(record + 8);
  Common::StoreBe32(record + 8, firstStart - 5);

  hfsplus::BTree tree(source, order);
  tree.Open();
  EXPECT_NE(tree.Check(), "");  // the lowered key is what the checker sees
  // Deleting the leaf's first record rewrites its index record, found by
  // the leaf's number: the checker is satisfied again.
  auto key = ExtentsKey(16, firstStart);
  tree.Remove(key.data(), key.size());
  EXPECT_EQ(tree.Check(), "");
  // Emptying the leaf frees it and removes its index record.
  tree.Flush();
  std::vector<std::uint32_t> starts;
  hfsplus::NodeView leaf(source.Node(secondLeaf), 512);
  for (std::size_t i = 0; i < leaf.NumRecords(); ++i)
    starts.push_back(Common::LoadBe32(leaf.Record(i) + 8));
  ASSERT_FALSE(starts.empty());
  for (std::uint32_t s : starts) {
    key = ExtentsKey(16, s);
    tree.Remove(key.data(), key.size());
    ASSERT_EQ(tree.Check(), "") << s;
  }
  EXPECT_FALSE(tree.IsNodeUsed(secondLeaf));
}

TEST(HfsNodeCache, PinsNodesAndWritesDirtyVictims) {
  MemoryNodeSource source(512, 8, 1);
  for (std::uint32_t n = 0; n < 8; ++n) source.Node(n)[0] = std::uint8_t(n);
  hfsplus::NodeCache cache(source, 2);
  {
    hfsplus::NodeRef one = cache.Get(1);
    one.Data()[1] = 0x55;
    one.SetDirty();
  }
  cache.Get(2);
  cache.Get(3);  // evicts node 1, which is written first
  EXPECT_EQ(source.Node(1)[1], 0x55);
  EXPECT_FALSE(cache.IsCached(1));
  // Three pinned nodes in a two-buffer cache stay distinct and intact.
  hfsplus::NodeRef a = cache.Get(4), b = cache.Get(5), c = cache.Get(6);
  EXPECT_EQ(a.Data()[0], 4);
  EXPECT_EQ(b.Data()[0], 5);
  EXPECT_EQ(c.Data()[0], 6);
  EXPECT_GE(cache.SlotCount(), 3u);
  // A hit moves nothing and reads nothing.
  const std::uint32_t reads = source.reads;
  hfsplus::NodeRef again = cache.Get(5);
  EXPECT_EQ(source.reads, reads);
  EXPECT_EQ(again.Data(), b.Data());
}

// Damaged trees are refused with 0x4000d, and no walk runs forever.
TEST(HfsBTree, DamagedTreesRefused) {
  auto build = [](MemoryNodeSource& source) {
    hfstest::FormatEmptyTree(source, CatalogMaxKey(source.NodeSize()), kCatalogAttributes);
    hfsplus::CatalogKeyOrder order(hfsplus::NameOrder::kCaseFolding);
    hfsplus::BTree tree(source, order);
    tree.Open();
    std::vector<std::uint8_t> data(100, 1);
    for (int i = 0; i < 40; ++i) {
      const auto key = CatalogKey(1, "n" + std::to_string(100 + i));
      tree.Insert(key.data(), key.size(), data.data(), data.size());
    }
    tree.Flush();
    return std::make_pair(tree.Root(), tree.FirstLeaf());
  };
  struct Case {
    const char* what;
    std::function<void(MemoryNodeSource&, std::uint32_t root, std::uint32_t leaf)> damage;
  } const cases[] = {
      {"total nodes past the file",
       [](MemoryNodeSource& s, std::uint32_t, std::uint32_t) {
         Common::StoreBe32(s.Node(0) + 14 + 22, s.NodeCount() + 1);
       }},
      {"node size differs from the file's",
       [](MemoryNodeSource& s, std::uint32_t, std::uint32_t) {
         Common::StoreBe16(s.Node(0) + 14 + 18, 1024);
       }},
      {"map chain loops",
       [](MemoryNodeSource& s, std::uint32_t, std::uint32_t) {
         const std::uint32_t m = s.NodeCount() - 1;
         hfsplus::NodeView v(s.Node(m), 512);
         v.Init(hfsplus::kMapNode, 0, 0, m);
         const std::uint8_t r[4] = {};
         v.AppendRecord(r, 4);
         hfsplus::NodeView(s.Node(0), 512).SetForward(m);
       }},
      {"map chain reaches a leaf",
       [](MemoryNodeSource& s, std::uint32_t, std::uint32_t leaf) {
         hfsplus::NodeView(s.Node(0), 512).SetForward(leaf);
       }},
      {"root's child is the root",
       [](MemoryNodeSource& s, std::uint32_t root, std::uint32_t) {
         hfsplus::NodeView v(s.Node(root), 512);
         std::uint8_t* rec = v.Record(0);
         Common::StoreBe32(rec + hfsplus::EvenLength(Common::LoadBe16(rec) + 2u), root);
       }},
      {"leaf chain loops",
       [](MemoryNodeSource& s, std::uint32_t, std::uint32_t leaf) {
         hfsplus::NodeView(s.Node(leaf), 512).SetForward(leaf);
       }},
      {"key length past its record",
       [](MemoryNodeSource& s, std::uint32_t, std::uint32_t leaf) {
         hfsplus::NodeView v(s.Node(leaf), 512);
         Common::StoreBe16(v.Record(0), 400);
       }},
      {"name length past its key",
       [](MemoryNodeSource& s, std::uint32_t, std::uint32_t leaf) {
         hfsplus::NodeView v(s.Node(leaf), 512);
         Common::StoreBe16(v.Record(0) + 6, 200);
       }},
      {"child number past the node count",
       [](MemoryNodeSource& s, std::uint32_t root, std::uint32_t) {
         hfsplus::NodeView v(s.Node(root), 512);
         std::uint8_t* rec = v.Record(0);
         Common::StoreBe32(rec + hfsplus::EvenLength(Common::LoadBe16(rec) + 2u), 0xFFFFFFF0u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryNodeSource source(512, 64, 4);
    const auto [root, leaf] = build(source);
    c.damage(source, root, leaf);
    hfsplus::CatalogKeyOrder order(hfsplus::NameOrder::kCaseFolding);
    const std::uint32_t code = CodeOf([&] {
      hfsplus::BTree tree(source, order);
      tree.Open();
      const auto key = CatalogKey(1, "n100");
      std::vector<std::uint8_t> data;
      tree.Find(key.data(), key.size(), &data);
      tree.ForEachLeafRecord(
          [](const std::uint8_t*, std::size_t, const std::uint8_t*, std::size_t) { return true; });
      const auto last = CatalogKey(1, "n139");
      tree.Find(last.data(), last.size(), &data);
      if (tree.Check().empty()) throw std::runtime_error("checker passed a damaged tree");
      tree.Remove(key.data(), key.size());
      tree.Remove(last.data(), last.size());
    });
    EXPECT_EQ(code, 0x4000du);
  }
}

}  // namespace
