// The B-tree engine: search, insertion with splits and new roots, deletion
// with node release, node allocation through the map, file growth, and the
// tree checker.
#include "filesystems/hfs_btree.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsBTreeModuleId;
constexpr std::uint32_t kNone = 0xFFFFFFFF;
// Deeper trees than this do not occur on a volume; a header that says so
// is damaged.
constexpr std::uint16_t kMaxDepth = 16;
// File growths tried for one allocation before the file counts as damaged.
constexpr int kMaxGrowths = 64;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

// Splits `records` (each taking its length plus a 2-byte offset entry) into
// runs that each fit `capacity` bytes: two runs as even as possible when
// two suffice, else runs filled in order.
std::vector<std::size_t> SplitPoints(const std::vector<std::vector<std::uint8_t>>& records,
                                     std::size_t capacity) {
  std::vector<std::size_t> prefix(records.size() + 1, 0);
  for (std::size_t i = 0; i < records.size(); ++i)
    prefix[i + 1] = prefix[i] + records[i].size() + 2;
  const std::size_t total = prefix.back();
  std::size_t best = 0;
  std::size_t bestSide = ~std::size_t(0);
  for (std::size_t k = 1; k < records.size(); ++k) {
    const std::size_t left = prefix[k];
    const std::size_t right = total - left;
    if (left <= capacity && right <= capacity && std::max(left, right) < bestSide) {
      best = k;
      bestSide = std::max(left, right);
    }
  }
  if (best != 0) return {0, best};
  std::vector<std::size_t> starts{0};
  std::size_t used = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::size_t need = records[i].size() + 2;
    if (used + need > capacity) {
      starts.push_back(i);
      used = 0;
    }
    used += need;
  }
  return starts;
}

}  // namespace

struct BTree::Path {
  struct Step {
    std::uint32_t node;
    std::size_t index;
  };
  std::vector<Step> steps;
};

BTree::BTree(NodeSource& source, const KeyOrder& order, std::size_t cacheSlots)
    : source_(source), order_(order) {
  nodeSize_ = source.NodeSize();
  if (nodeSize_ < kMinNodeSize || !Common::IsPowerOfTwo(nodeSize_)) Corrupted(0x01);
  // One more buffer than asked: the header node keeps one of its own.
  cache_ = std::make_unique<NodeCache>(source, cacheSlots + 1);
}

BTree::~BTree() { header_ = NodeRef(); }

// ---- header ---------------------------------------------------------------

std::uint8_t* BTree::HeaderRecord() const noexcept { return header_.Data() + kNodeDescriptorSize; }

std::uint32_t BTree::Header32(std::size_t field) const {
  if (!header_) ThrowFileError(0x02, kModuleId, kFileNotSupported);
  return Common::LoadBe32(HeaderRecord() + field);
}

void BTree::SetHeader16(std::size_t field, std::uint16_t v) {
  Common::StoreBe16(HeaderRecord() + field, v);
  header_.SetDirty();
}

void BTree::SetHeader32(std::size_t field, std::uint32_t v) {
  Common::StoreBe32(HeaderRecord() + field, v);
  header_.SetDirty();
}

std::uint16_t BTree::Depth() const {
  if (!header_) ThrowFileError(0x03, kModuleId, kFileNotSupported);
  return Common::LoadBe16(HeaderRecord() + header::kDepth);
}
std::uint32_t BTree::Root() const { return Header32(header::kRoot); }
std::uint32_t BTree::LeafRecords() const { return Header32(header::kLeafRecords); }
std::uint32_t BTree::FirstLeaf() const { return Header32(header::kFirstLeaf); }
std::uint32_t BTree::LastLeaf() const { return Header32(header::kLastLeaf); }
std::uint32_t BTree::TotalNodes() const { return Header32(header::kTotalNodes); }
std::uint32_t BTree::FreeNodes() const { return Header32(header::kFreeNodes); }

void BTree::Open() {
  header_ = NodeRef();
  mapPieces_.clear();
  map_.clear();
  const std::uint32_t fileNodes = source_.NodeCount();
  if (fileNodes == 0) Corrupted(0x04);
  NodeRef head = cache_->Get(0);
  NodeView v = head.View();
  v.Validate();
  if (v.Kind() != kHeaderNode || v.NumRecords() < 3 || v.RecordSize(0) < header::kRecordSize)
    Corrupted(0x05);
  const std::uint8_t* rec = v.Record(0);
  const std::uint32_t total = Common::LoadBe32(rec + header::kTotalNodes);
  const std::uint32_t freeNodes = Common::LoadBe32(rec + header::kFreeNodes);
  const std::uint16_t depth = Common::LoadBe16(rec + header::kDepth);
  const std::uint32_t root = Common::LoadBe32(rec + header::kRoot);
  const std::uint32_t attributes = Common::LoadBe32(rec + header::kAttributes);
  if (Common::LoadBe16(rec + header::kNodeSize) != nodeSize_) Corrupted(0x06);
  if (total == 0 || total > fileNodes || freeNodes >= total) Corrupted(0x07);
  if (depth > kMaxDepth || root >= total || (depth == 0) != (root == 0)) Corrupted(0x08);
  if (Common::LoadBe32(rec + header::kFirstLeaf) >= total ||
      Common::LoadBe32(rec + header::kLastLeaf) >= total)
    Corrupted(0x09);
  if (!(attributes & kBigKeys)) Corrupted(0x0A);
  maxKeyLength_ = Common::LoadBe16(rec + header::kMaxKeyLength);
  if (maxKeyLength_ < 6 || maxKeyLength_ + 2u > nodeSize_ - 18u) Corrupted(0x0B);  // no key fits
  variableIndexKeys_ = (attributes & kVariableIndexKeys) != 0;

  // The map: the header's map record, then each map node's record 0.
  mapPieces_.push_back({0, v.RecordOffset(2), v.RecordSize(2)});
  map_.assign(v.Record(2), v.Record(2) + v.RecordSize(2));
  std::vector<bool> seen(total, false);
  seen[0] = true;
  for (std::uint32_t m = v.Forward(); m != 0;) {
    if (m >= total || seen[m]) Corrupted(0x0C);  // past the end, or a cycle
    seen[m] = true;
    NodeRef ref = cache_->Get(m);
    NodeView mv = ref.View();
    mv.Validate();
    if (mv.Kind() != kMapNode || mv.NumRecords() < 1) Corrupted(0x0D);
    mapPieces_.push_back({m, mv.RecordOffset(0), mv.RecordSize(0)});
    map_.insert(map_.end(), mv.Record(0), mv.Record(0) + mv.RecordSize(0));
    m = mv.Forward();
  }
  if (map_.size() * 8 < total) Corrupted(0x0E);
  header_ = head;
  mapDirty_ = false;
}

// ---- map ------------------------------------------------------------------

bool BTree::IsNodeUsed(std::uint32_t n) const noexcept {
  return n / 8 < map_.size() && (map_[n / 8] & (0x80 >> (n % 8))) != 0;
}

void BTree::SetNodeUsed(std::uint32_t n, bool used) {
  if (n / 8 >= map_.size()) Corrupted(0x10);
  if (used)
    map_[n / 8] |= std::uint8_t(0x80 >> (n % 8));
  else
    map_[n / 8] &= std::uint8_t(~(0x80 >> (n % 8)));
  mapDirty_ = true;
}

std::uint32_t BTree::FindFreeNode() const {
  const std::uint32_t total = TotalNodes();
  for (std::size_t byte = 0; byte < map_.size() && byte * 8 < total; ++byte) {
    if (map_[byte] == 0xFF) continue;
    for (std::uint32_t bit = 0; bit < 8; ++bit) {
      const std::uint32_t n = std::uint32_t(byte * 8 + bit);
      if (n >= total) return kNone;
      if (!(map_[byte] & (0x80 >> bit))) return n;
    }
  }
  return kNone;
}

void BTree::GrowFile(std::uint32_t nodes) {
  const std::uint32_t total = TotalNodes();
  if (nodes == 0) nodes = 1;
  if (nodes > 0xFFFFFFFFu - total) ThrowFileError(0x11, kModuleId, kFileDiskFull);
  // The file grows by whole clumps and by at least one node.
  const std::uint32_t grown = source_.Grow(total + nodes);
  if (grown <= total || grown > source_.NodeCount()) Corrupted(0x12);
  SetHeader32(header::kTotalNodes, grown);
  SetHeader32(header::kFreeNodes, FreeNodes() + (grown - total));
  // Nodes the map does not cover yet get a new map node each time the map
  // runs out; the map node takes one of the free nodes itself.
  while (map_.size() * 8 < grown) {
    const std::size_t length = MapNodeRecordSize(nodeSize_);
    map_.resize(map_.size() + length, 0);
    const std::uint32_t m = FindFreeNode();
    if (m == kNone) Corrupted(0x13);
    SetNodeUsed(m, true);
    SetHeader32(header::kFreeNodes, FreeNodes() - 1);
    NodeRef ref = cache_->Fresh(m);
    NodeView mv = ref.View();
    mv.Init(kMapNode, 0, 0, 0);
    std::vector<std::uint8_t> zeros(length, 0);
    mv.AppendRecord(zeros.data(), zeros.size());
    ref.SetDirty();
    const std::uint32_t last = mapPieces_.back().node;
    NodeRef prev = last == 0 ? header_ : cache_->Get(last);
    prev.View().SetForward(m);
    prev.SetDirty();
    mapPieces_.push_back({m, kNodeDescriptorSize, length});
  }
}

void BTree::ReserveNodes() {
  // A split makes at most two new nodes, a level may split twice (its key
  // carried up, then its new child indexed), and a new root takes one.
  const std::uint32_t need = 4u * (std::uint32_t(Depth()) + 2);
  if (FreeNodes() >= need) return;
  try {
    GrowFile(need - FreeNodes());
  } catch (const Common::Error& e) {
    if (e.Code() != kFileDiskFull) throw;
  }
  // Near the end of the volume, node by node while there is room.
  for (std::uint32_t tries = 0; FreeNodes() < need; ++tries) {
    if (tries > need + kMaxGrowths) Corrupted(0x17);
    GrowFile(1);
  }
}

std::uint32_t BTree::AllocateNode(std::int8_t kind, std::uint8_t height) {
  if (kind != kLeafNode && kind != kIndexNode) ThrowFileError(0x14, kModuleId, kFileNotSupported);
  std::uint32_t n = FindFreeNode();
  for (int tries = 0; n == kNone && tries < kMaxGrowths; ++tries) {
    GrowFile(1);
    n = FindFreeNode();
  }
  if (n == kNone || n == 0) Corrupted(0x15);
  SetNodeUsed(n, true);
  SetHeader32(header::kFreeNodes, FreeNodes() - 1);
  NodeRef ref = cache_->Fresh(n);
  ref.View().Init(kind, height, 0, 0);
  ref.SetDirty();
  return n;
}

void BTree::FreeNode(std::uint32_t n) {
  if (n == 0 || n >= TotalNodes() || !IsNodeUsed(n)) Corrupted(0x16);
  NodeRef ref = cache_->Fresh(n);
  std::memset(ref.Data(), 0, nodeSize_);
  ref.SetDirty();
  SetNodeUsed(n, false);
  SetHeader32(header::kFreeNodes, FreeNodes() + 1);
}

// ---- nodes and keys -------------------------------------------------------

NodeRef BTree::LoadNode(std::uint32_t n, std::int8_t kind, std::uint8_t height) {
  if (n == 0 || n >= TotalNodes() || !IsNodeUsed(n)) Corrupted(0x20);
  NodeRef ref = cache_->Get(n);
  NodeView v = ref.View();
  v.Validate();
  if (v.Kind() != kind || v.Height() != height) Corrupted(0x21);
  return ref;
}

const std::uint8_t* BTree::RecordKey(const NodeView& v, std::size_t i,
                                     std::size_t* keyBytes) const {
  const std::uint8_t* rec = v.Record(i);
  const std::size_t size = v.RecordSize(i);
  if (size < 2) Corrupted(0x22);
  const std::size_t length = Common::LoadBe16(rec);
  if (length > maxKeyLength_ || length + 2 > size) Corrupted(0x23);
  *keyBytes = length + 2;
  return rec;
}

std::size_t BTree::KeyArea(std::size_t keyBytes) const noexcept {
  return variableIndexKeys_ ? EvenLength(keyBytes) : EvenLength(std::size_t(maxKeyLength_) + 2);
}

std::uint32_t BTree::ChildOf(const NodeView& v, std::size_t i) const {
  std::size_t keyBytes = 0;
  const std::uint8_t* rec = RecordKey(v, i, &keyBytes);
  const std::size_t at = KeyArea(keyBytes);
  if (!Common::RangeInside(at, 4, v.RecordSize(i))) Corrupted(0x24);
  return Common::LoadBe32(rec + at);
}

int BTree::CompareKeyTo(const NodeView& v, std::size_t i, const std::uint8_t* key,
                        std::size_t keyBytes) const {
  std::size_t recordKeyBytes = 0;
  const std::uint8_t* recordKey = RecordKey(v, i, &recordKeyBytes);
  return order_.Compare(recordKey, recordKeyBytes, key, keyBytes);
}

std::vector<std::uint8_t> BTree::IndexRecordFor(const NodeView& child,
                                                std::uint32_t number) const {
  std::size_t keyBytes = 0;
  const std::uint8_t* key = RecordKey(child, 0, &keyBytes);
  std::uint8_t be[4];
  Common::StoreBe32(be, number);
  if (variableIndexKeys_) return BuildRecord(key, keyBytes, be, 4);
  // Fixed-size index keys: the key padded to the largest key length.
  std::vector<std::uint8_t> padded(std::size_t(maxKeyLength_) + 2, 0);
  std::memcpy(padded.data(), key, keyBytes);
  Common::StoreBe16(padded.data(), maxKeyLength_);
  return BuildRecord(padded.data(), padded.size(), be, 4);
}

std::size_t BTree::LowerBound(const NodeView& v, const std::uint8_t* key,
                              std::size_t keyBytes) const {
  std::size_t lo = 0;
  std::size_t hi = v.NumRecords();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (CompareKeyTo(v, mid, key, keyBytes) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

BTree::Path BTree::Descend(std::uint32_t level, const std::uint8_t* key, std::size_t keyBytes) {
  Path path;
  const std::uint16_t depth = Depth();
  if (depth == 0) return path;
  if (level < 1 || level > depth) Corrupted(0x25);
  std::uint32_t n = Root();
  for (std::uint32_t h = depth;; --h) {
    NodeRef ref = LoadNode(n, h == 1 ? kLeafNode : kIndexNode, std::uint8_t(h));
    NodeView v = ref.View();
    const std::size_t i = LowerBound(v, key, keyBytes);
    if (h == level) {
      path.steps.push_back({n, i});
      return path;
    }
    if (v.NumRecords() == 0) ThrowFileError(0x26, kModuleId, kFileNotFound);
    // The last record whose key is not greater than the key, or the first.
    std::size_t child = i;
    if (i == v.NumRecords() || CompareKeyTo(v, i, key, keyBytes) != 0) child = i == 0 ? 0 : i - 1;
    path.steps.push_back({n, child});
    n = ChildOf(v, child);
  }
}

// ---- insertion ------------------------------------------------------------

void BTree::Insert(const std::uint8_t* key, std::size_t keyBytes, const std::uint8_t* data,
                   std::size_t dataBytes) {
  if (!header_) ThrowFileError(0x30, kModuleId, kFileNotSupported);
  CheckInsertable(key, keyBytes, dataBytes);
  const std::vector<std::uint8_t> record = BuildRecord(key, keyBytes, data, dataBytes);
  ReserveNodes();

  if (Depth() == 0) {
    const std::uint32_t n = AllocateNode(kLeafNode, 1);
    NodeRef ref = LoadNode(n, kLeafNode, 1);
    ref.View().AppendRecord(record.data(), record.size());
    ref.SetDirty();
    SetHeader16(header::kDepth, 1);
    SetHeader32(header::kRoot, n);
    SetHeader32(header::kFirstLeaf, n);
    SetHeader32(header::kLastLeaf, n);
    SetHeader32(header::kLeafRecords, LeafRecords() + 1);
    return;
  }
  Path path = Descend(1, key, keyBytes);
  {
    NodeRef leaf = LoadNode(path.steps.back().node, kLeafNode, 1);
    const std::size_t i = path.steps.back().index;
    if (i < leaf.View().NumRecords() && CompareKeyTo(leaf.View(), i, key, keyBytes) == 0)
      ThrowFileError(0x33, kModuleId, kFileAlreadyExists);
  }
  Place(path, path.steps.back().index, record);
  SetHeader32(header::kLeafRecords, LeafRecords() + 1);
}

void BTree::CheckInsertable(const std::uint8_t* key, std::size_t keyBytes,
                            std::size_t dataBytes) const {
  if (keyBytes < 2 || Common::LoadBe16(key) + 2u != keyBytes || keyBytes - 2 > maxKeyLength_)
    ThrowFileError(0x31, kModuleId, kFileNotSupported);
  order_.Compare(key, keyBytes, key, keyBytes);  // refuses a malformed key
  // An empty node holds records of up to node size - 18 bytes; an index
  // node must hold two index records, or splits could never end.
  const std::size_t room = nodeSize_ - kNodeDescriptorSize - 2;
  const std::size_t record = EvenLength(keyBytes) + EvenLength(dataBytes);
  const std::size_t indexRecord = KeyArea(keyBytes) + 4;
  if (record + 2 > room || 2 * (indexRecord + 2) > room) Corrupted(0x32);
}

void BTree::InsertAtLevel(std::uint32_t level, const std::uint8_t* key, std::size_t keyBytes,
                          const std::vector<std::uint8_t>& record) {
  Path path = Descend(level, key, keyBytes);
  if (path.steps.empty()) Corrupted(0x34);
  const std::size_t i = path.steps.back().index;
  {
    NodeRef ref = LoadNode(path.steps.back().node, kIndexNode, std::uint8_t(level));
    if (i < ref.View().NumRecords() && CompareKeyTo(ref.View(), i, key, keyBytes) == 0)
      Corrupted(0x35);  // two children with one first key
  }
  Place(path, i, record);
}

void BTree::Place(Path& path, std::size_t i, const std::vector<std::uint8_t>& record) {
  const std::uint32_t level = Depth() - std::uint32_t(path.steps.size() - 1);
  const std::int8_t kind = level == 1 ? kLeafNode : kIndexNode;
  const std::uint32_t n = path.steps.back().node;
  NodeRef ref = LoadNode(n, kind, std::uint8_t(level));
  NodeView v = ref.View();
  if (v.Fits(record.size())) {
    v.InsertRecord(i, record.data(), record.size());
    ref.SetDirty();
    if (i == 0 && path.steps.size() > 1) UpdateParentKey(path);
    return;
  }

  // Split: the node keeps the first run of its records and the new one,
  // new nodes after it take the others.
  std::vector<std::vector<std::uint8_t>> records;
  for (std::size_t k = 0; k < v.NumRecords(); ++k)
    records.emplace_back(v.Record(k), v.Record(k) + v.RecordSize(k));
  records.insert(records.begin() + std::ptrdiff_t(i), record);
  const std::vector<std::size_t> starts = SplitPoints(records, nodeSize_ - kNodeDescriptorSize - 2);
  const std::uint32_t oldForward = v.Forward();
  v.Init(kind, std::uint8_t(level), v.Backward(), oldForward);
  for (std::size_t k = 0; k < starts[1]; ++k) v.AppendRecord(records[k].data(), records[k].size());
  ref.SetDirty();

  std::vector<std::uint32_t> added;
  NodeRef prev = ref;
  for (std::size_t run = 1; run < starts.size(); ++run) {
    const std::uint32_t m = AllocateNode(kind, std::uint8_t(level));
    NodeRef mref = LoadNode(m, kind, std::uint8_t(level));
    NodeView mv = mref.View();
    const std::size_t end = run + 1 < starts.size() ? starts[run + 1] : records.size();
    for (std::size_t k = starts[run]; k < end; ++k)
      mv.AppendRecord(records[k].data(), records[k].size());
    mv.SetBackward(prev.Number());
    prev.View().SetForward(m);
    prev.SetDirty();
    mref.SetDirty();
    added.push_back(m);
    prev = mref;
  }
  prev.View().SetForward(oldForward);
  prev.SetDirty();
  if (oldForward != 0) {
    NodeRef next = LoadNode(oldForward, kind, std::uint8_t(level));
    if (next.View().Backward() != n) Corrupted(0x36);
    next.View().SetBackward(prev.Number());
    next.SetDirty();
  } else if (kind == kLeafNode) {
    if (LastLeaf() != n) Corrupted(0x37);
    SetHeader32(header::kLastLeaf, prev.Number());
  }

  if (path.steps.size() == 1) {
    // The root split: a new root above it indexes the old root first.
    const std::uint32_t r = AllocateNode(kIndexNode, std::uint8_t(level + 1));
    NodeRef rref = LoadNode(r, kIndexNode, std::uint8_t(level + 1));
    const std::vector<std::uint8_t> index = IndexRecordFor(v, n);
    rref.View().AppendRecord(index.data(), index.size());
    rref.SetDirty();
    SetHeader32(header::kRoot, r);
    SetHeader16(header::kDepth, std::uint16_t(Depth() + 1));
  } else if (i == 0) {
    UpdateParentKey(path);
  }
  for (std::uint32_t m : added) {
    NodeRef mref = LoadNode(m, kind, std::uint8_t(level));
    std::size_t keyBytes = 0;
    const std::uint8_t* key = RecordKey(mref.View(), 0, &keyBytes);
    const std::vector<std::uint8_t> firstKey(key, key + keyBytes);
    InsertAtLevel(level + 1, firstKey.data(), firstKey.size(), IndexRecordFor(mref.View(), m));
  }
}

std::size_t BTree::FindChildRecord(const NodeView& parent, std::size_t hint,
                                   std::uint32_t child) const {
  // The index record of a child is the one holding its node number; its
  // key may legally differ from the child's first key.
  if (hint < parent.NumRecords() && ChildOf(parent, hint) == child) return hint;
  for (std::size_t k = 0; k < parent.NumRecords(); ++k)
    if (ChildOf(parent, k) == child) return k;
  Corrupted(0x38);
}

void BTree::UpdateParentKey(Path& path) {
  if (path.steps.size() < 2) return;
  const std::uint32_t level = Depth() - std::uint32_t(path.steps.size() - 1);
  const std::uint32_t n = path.steps.back().node;
  NodeRef child = LoadNode(n, level == 1 ? kLeafNode : kIndexNode, std::uint8_t(level));
  const std::vector<std::uint8_t> record = IndexRecordFor(child.View(), n);
  Path parentPath = path;
  parentPath.steps.pop_back();
  NodeRef parent = LoadNode(parentPath.steps.back().node, kIndexNode, std::uint8_t(level + 1));
  NodeView pv = parent.View();
  const std::size_t k = FindChildRecord(pv, parentPath.steps.back().index, n);
  if (pv.RecordSize(k) == record.size() &&
      std::memcmp(pv.Record(k), record.data(), record.size()) == 0)
    return;
  pv.RemoveRecord(k);
  parent.SetDirty();
  parentPath.steps.back().index = k;
  Place(parentPath, k, record);
}

// ---- deletion -------------------------------------------------------------

void BTree::Remove(const std::uint8_t* key, std::size_t keyBytes) {
  if (!header_) ThrowFileError(0x40, kModuleId, kFileNotSupported);
  if (Depth() == 0) ThrowFileError(0x41, kModuleId, kFileNotFound);
  Path path = Descend(1, key, keyBytes);
  const std::size_t i = path.steps.back().index;
  NodeRef leaf = LoadNode(path.steps.back().node, kLeafNode, 1);
  NodeView v = leaf.View();
  if (i >= v.NumRecords() || CompareKeyTo(v, i, key, keyBytes) != 0)
    ThrowFileError(0x42, kModuleId, kFileNotFound);
  if (LeafRecords() == 0) Corrupted(0x43);
  // A deletion can carry a longer first key up and split an index node;
  // on a full volume it goes ahead on the free nodes there are.
  try {
    ReserveNodes();
  } catch (const Common::Error& e) {
    if (e.Code() != kFileDiskFull) throw;
  }
  v.RemoveRecord(i);
  leaf.SetDirty();
  SetHeader32(header::kLeafRecords, LeafRecords() - 1);
  if (v.NumRecords() == 0) {
    leaf = NodeRef();
    RemoveNodeFromTree(path);
    CollapseRoot();
  } else if (i == 0) {
    UpdateParentKey(path);
  }
}

void BTree::RemoveNodeFromTree(Path& path) {
  const std::uint32_t level = Depth() - std::uint32_t(path.steps.size() - 1);
  const std::int8_t kind = level == 1 ? kLeafNode : kIndexNode;
  const std::uint32_t n = path.steps.back().node;
  if (path.steps.size() == 1) {
    // The root held the last record: the tree is empty.
    FreeNode(n);
    SetHeader16(header::kDepth, 0);
    SetHeader32(header::kRoot, 0);
    SetHeader32(header::kFirstLeaf, 0);
    SetHeader32(header::kLastLeaf, 0);
    return;
  }
  std::uint32_t p = 0;
  std::uint32_t q = 0;
  {
    NodeRef ref = LoadNode(n, kind, std::uint8_t(level));
    p = ref.View().Backward();
    q = ref.View().Forward();
  }
  if (p != 0) {
    NodeRef pref = LoadNode(p, kind, std::uint8_t(level));
    if (pref.View().Forward() != n) Corrupted(0x44);
    pref.View().SetForward(q);
    pref.SetDirty();
  }
  if (q != 0) {
    NodeRef qref = LoadNode(q, kind, std::uint8_t(level));
    if (qref.View().Backward() != n) Corrupted(0x45);
    qref.View().SetBackward(p);
    qref.SetDirty();
  }
  if (kind == kLeafNode) {
    if (p == 0) {
      if (FirstLeaf() != n) Corrupted(0x46);
      SetHeader32(header::kFirstLeaf, q);
    }
    if (q == 0) {
      if (LastLeaf() != n) Corrupted(0x47);
      SetHeader32(header::kLastLeaf, p);
    }
  }
  FreeNode(n);

  Path parentPath = path;
  parentPath.steps.pop_back();
  NodeRef parent = LoadNode(parentPath.steps.back().node, kIndexNode, std::uint8_t(level + 1));
  NodeView pv = parent.View();
  const std::size_t k = FindChildRecord(pv, parentPath.steps.back().index, n);
  pv.RemoveRecord(k);
  parent.SetDirty();
  parentPath.steps.back().index = k;
  if (pv.NumRecords() == 0) {
    parent = NodeRef();
    RemoveNodeFromTree(parentPath);
  } else if (k == 0) {
    UpdateParentKey(parentPath);
  }
}

void BTree::CollapseRoot() {
  while (Depth() > 1) {
    const std::uint32_t root = Root();
    std::uint32_t child = 0;
    {
      NodeRef ref = LoadNode(root, kIndexNode, std::uint8_t(Depth()));
      if (ref.View().NumRecords() != 1) return;
      child = ChildOf(ref.View(), 0);
    }
    NodeRef cref = LoadNode(child, Depth() == 2 ? kLeafNode : kIndexNode, std::uint8_t(Depth() - 1));
    if (cref.View().Forward() != 0 || cref.View().Backward() != 0) Corrupted(0x48);
    FreeNode(root);
    SetHeader32(header::kRoot, child);
    SetHeader16(header::kDepth, std::uint16_t(Depth() - 1));
  }
}

// ---- look-ups -------------------------------------------------------------

bool BTree::Find(const std::uint8_t* key, std::size_t keyBytes, std::vector<std::uint8_t>* data) {
  if (!header_) ThrowFileError(0x50, kModuleId, kFileNotSupported);
  if (Depth() == 0) return false;
  Path path = Descend(1, key, keyBytes);
  NodeRef leaf = LoadNode(path.steps.back().node, kLeafNode, 1);
  NodeView v = leaf.View();
  const std::size_t i = path.steps.back().index;
  if (i >= v.NumRecords() || CompareKeyTo(v, i, key, keyBytes) != 0) return false;
  if (data) {
    std::size_t recordKeyBytes = 0;
    const std::uint8_t* rec = RecordKey(v, i, &recordKeyBytes);
    const std::size_t at = EvenLength(recordKeyBytes);
    const std::size_t size = v.RecordSize(i);
    if (at > size) Corrupted(0x51);
    data->assign(rec + at, rec + size);
  }
  return true;
}

RecordPosition BTree::Search(const std::uint8_t* key, std::size_t keyBytes) {
  if (!header_) ThrowFileError(0x52, kModuleId, kFileNotSupported);
  RecordPosition position;
  if (Depth() == 0) return position;
  Path path = Descend(1, key, keyBytes);
  NodeRef leaf = LoadNode(path.steps.back().node, kLeafNode, 1);
  const std::size_t i = path.steps.back().index;
  if (i < leaf.View().NumRecords()) return {leaf.Number(), std::uint16_t(i)};
  const std::uint32_t next = leaf.View().Forward();
  if (next != 0) {
    NodeRef nref = LoadNode(next, kLeafNode, 1);
    if (nref.View().NumRecords() != 0) return {next, 0};
  }
  return position;
}

RecordPosition BTree::Next(RecordPosition p) {
  if (!header_) ThrowFileError(0x56, kModuleId, kFileNotSupported);
  if (p.IsNull()) Corrupted(0x57);
  NodeRef ref = LoadNode(p.node, kLeafNode, 1);
  const NodeView v = ref.View();
  if (p.index >= v.NumRecords()) Corrupted(0x58);
  if (p.index + 1u < v.NumRecords()) return {p.node, std::uint16_t(p.index + 1)};
  const std::uint32_t next = v.Forward();
  if (next == 0) return RecordPosition();
  NodeRef nref = LoadNode(next, kLeafNode, 1);
  if (nref.View().NumRecords() == 0) Corrupted(0x59);
  return {next, 0};
}

void BTree::ReadRecord(RecordPosition p, std::vector<std::uint8_t>* key,
                       std::vector<std::uint8_t>* data) {
  if (!header_) ThrowFileError(0x5A, kModuleId, kFileNotSupported);
  if (p.IsNull()) Corrupted(0x5B);
  NodeRef ref = LoadNode(p.node, kLeafNode, 1);
  const NodeView v = ref.View();
  if (p.index >= v.NumRecords()) Corrupted(0x5C);
  std::size_t keyBytes = 0;
  const std::uint8_t* rec = RecordKey(v, p.index, &keyBytes);
  const std::size_t at = EvenLength(keyBytes);
  const std::size_t size = v.RecordSize(p.index);
  if (at > size) Corrupted(0x5D);
  if (key) key->assign(rec, rec + keyBytes);
  if (data) data->assign(rec + at, rec + size);
}

void BTree::Replace(const std::uint8_t* key, std::size_t keyBytes, const std::uint8_t* data,
                    std::size_t dataBytes) {
  if (!header_) ThrowFileError(0x5E, kModuleId, kFileNotSupported);
  if (Depth() == 0) ThrowFileError(0x5F, kModuleId, kFileNotFound);
  Path path = Descend(1, key, keyBytes);
  {
    NodeRef leaf = LoadNode(path.steps.back().node, kLeafNode, 1);
    NodeView v = leaf.View();
    const std::size_t i = path.steps.back().index;
    if (i >= v.NumRecords() || CompareKeyTo(v, i, key, keyBytes) != 0)
      ThrowFileError(0x61, kModuleId, kFileNotFound);
    std::size_t recordKeyBytes = 0;
    std::uint8_t* rec = const_cast<std::uint8_t*>(RecordKey(v, i, &recordKeyBytes));
    const std::size_t at = EvenLength(recordKeyBytes);
    if (at + EvenLength(dataBytes) == v.RecordSize(i)) {
      std::memset(rec + at, 0, EvenLength(dataBytes));
      if (dataBytes) std::memcpy(rec + at, data, dataBytes);
      leaf.SetDirty();
      return;
    }
  }
  // The stored key is kept as it was (its case, on a case-folding tree).
  // Nothing changes unless the new record can be placed.
  CheckInsertable(key, keyBytes, dataBytes);
  ReserveNodes();
  std::vector<std::uint8_t> stored;
  ReadRecord({path.steps.back().node, std::uint16_t(path.steps.back().index)}, &stored, nullptr);
  Remove(stored.data(), stored.size());
  Insert(stored.data(), stored.size(), data, dataBytes);
}

void BTree::ForEachLeafRecord(const std::function<bool(const std::uint8_t*, std::size_t,
                                                       const std::uint8_t*, std::size_t)>& visit) {
  if (!header_) ThrowFileError(0x53, kModuleId, kFileNotSupported);
  const std::uint32_t total = TotalNodes();
  std::uint32_t steps = 0;
  for (std::uint32_t n = FirstLeaf(); n != 0;) {
    if (++steps > total) Corrupted(0x54);  // a cycle in the leaf chain
    NodeRef ref = LoadNode(n, kLeafNode, 1);
    NodeView v = ref.View();
    for (std::size_t i = 0; i < v.NumRecords(); ++i) {
      std::size_t keyBytes = 0;
      const std::uint8_t* rec = RecordKey(v, i, &keyBytes);
      const std::size_t at = EvenLength(keyBytes);
      if (at > v.RecordSize(i)) Corrupted(0x55);
      if (!visit(rec, keyBytes, rec + at, v.RecordSize(i) - at)) return;
    }
    n = v.Forward();
  }
}

// ---- write-back -----------------------------------------------------------

void BTree::Flush() {
  if (!header_) return;
  if (mapDirty_) {
    std::size_t at = 0;
    for (const MapPiece& piece : mapPieces_) {
      NodeRef ref = piece.node == 0 ? header_ : cache_->Get(piece.node);
      if (piece.node != 0 && ref.View().Kind() != kMapNode) Corrupted(0x60);
      const std::size_t length = std::min(piece.length, map_.size() - at);
      std::memcpy(ref.Data() + piece.offset, map_.data() + at, length);
      ref.SetDirty();
      at += length;
    }
    mapDirty_ = false;
  }
  cache_->WriteBack();
}

// ---- checker --------------------------------------------------------------

std::string BTree::Check() {
  try {
    if (!header_) return "the tree is not open";
    const std::uint32_t total = TotalNodes();
    const std::uint16_t depth = Depth();
    std::vector<bool> reached(total, false);
    std::uint32_t reachedCount = 1;
    reached[0] = true;
    for (std::size_t k = 1; k < mapPieces_.size(); ++k) {
      const std::uint32_t m = mapPieces_[k].node;
      if (m >= total || reached[m]) return "a map node is out of range or listed twice";
      reached[m] = true;
      ++reachedCount;
    }
    if (depth == 0) {
      if (Root() || FirstLeaf() || LastLeaf() || LeafRecords())
        return "an empty tree with a root, leaves or records";
    } else {
      std::vector<std::uint32_t> level{Root()};
      std::vector<std::vector<std::uint8_t>> parentKeys;  // index keys for `level`
      std::uint64_t leafRecords = 0;
      for (std::uint32_t h = depth; h >= 1; --h) {
        const std::int8_t kind = h == 1 ? kLeafNode : kIndexNode;
        std::vector<std::uint32_t> next;
        std::vector<std::vector<std::uint8_t>> nextKeys;
        std::vector<std::uint8_t> previousKey;
        for (std::size_t j = 0; j < level.size(); ++j) {
          const std::uint32_t n = level[j];
          if (n == 0 || n >= total) return "a child number is out of range";
          if (reached[n]) return "a node is reached twice";
          reached[n] = true;
          ++reachedCount;
          NodeRef ref = cache_->Get(n);
          NodeView v = ref.View();
          v.Validate();
          if (v.Kind() != kind || v.Height() != h) return "a node has the wrong kind or height";
          if (v.NumRecords() == 0) return "a node in the tree has no records";
          if (v.Backward() != (j == 0 ? 0 : level[j - 1])) return "a backward link is wrong";
          if (v.Forward() != (j + 1 < level.size() ? level[j + 1] : 0))
            return "a forward link is wrong";
          for (std::size_t i = 0; i < v.NumRecords(); ++i) {
            std::size_t keyBytes = 0;
            const std::uint8_t* key = RecordKey(v, i, &keyBytes);
            if (!previousKey.empty() &&
                order_.Compare(previousKey.data(), previousKey.size(), key, keyBytes) >= 0)
              return "keys are out of order";
            previousKey.assign(key, key + keyBytes);
            if (kind == kIndexNode) {
              next.push_back(ChildOf(v, i));
              nextKeys.push_back(previousKey);
            }
          }
          if (!parentKeys.empty()) {
            std::size_t keyBytes = 0;
            const std::uint8_t* first = RecordKey(v, 0, &keyBytes);
            const std::vector<std::uint8_t>& indexKey = parentKeys[j];
            const bool same = variableIndexKeys_
                                  ? indexKey.size() == keyBytes &&
                                        std::memcmp(indexKey.data(), first, keyBytes) == 0
                                  : order_.Compare(indexKey.data(), indexKey.size(), first,
                                                   keyBytes) == 0;
            if (!same) return "an index key differs from its child's first key";
          }
          if (kind == kLeafNode) leafRecords += v.NumRecords();
        }
        if (kind == kLeafNode) {
          if (FirstLeaf() != level.front()) return "the first leaf is wrong";
          if (LastLeaf() != level.back()) return "the last leaf is wrong";
          if (leafRecords != LeafRecords()) return "the leaf record count is wrong";
          break;
        }
        level = std::move(next);
        parentKeys = std::move(nextKeys);
      }
    }
    for (std::uint32_t n = 0; n < total; ++n)
      if (IsNodeUsed(n) != reached[n]) return "map bits differ from the nodes in use";
    for (std::size_t n = total; n < map_.size() * 8; ++n)
      if (IsNodeUsed(std::uint32_t(n))) return "a map bit is set past the last node";
    if (FreeNodes() != total - reachedCount) return "the free node count is wrong";
    return std::string();
  } catch (const Common::Error&) {
    return "a node failed its structural checks";
  }
}

}  // namespace hfsplus
}  // namespace filesystems
