// The NTFS index engine: checked reading of roots and INDX blocks, search,
// in-order walks, insertion with root push-down and block splits, and
// deletion that frees emptied blocks and re-inserts the keys that led to
// them.
#include "filesystems/ntfs_index.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/ntfs_records.h"
#include "filesystems/ntfs_tables.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsIndexModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

constexpr std::uint32_t kRootHeader = 16;     // the node header's place in the root
constexpr std::uint32_t kBlockHeader = 24;    // and in a block
constexpr std::uint32_t kEmptyRootSize = 48;  // 16 + header 16 + end entry 16
// A path deeper than this is a loop the VCN checks did not catch.
constexpr std::size_t kMaxDepth = 64;

std::uint16_t Flags(const std::uint8_t* entry) noexcept {
  return Common::LoadLe16(entry + index_entry::kFlags);
}
bool IsEnd(const std::uint8_t* entry) noexcept { return (Flags(entry) & index_entry::kEnd) != 0; }
bool HasChild(const std::uint8_t* entry) noexcept {
  return (Flags(entry) & index_entry::kHasChild) != 0;
}

// A $FILE_NAME key's name: length byte at 64, units from 66.
constexpr std::uint32_t kNameLengthOffset = 64;
constexpr std::uint32_t kNameOffset = 66;

}  // namespace

int FileNameKeyOrder::Compare(const std::uint8_t* a, std::uint32_t, const std::uint8_t* b,
                              std::uint32_t) const noexcept {
  char16_t x[255], y[255];
  const std::uint32_t xn = a[kNameLengthOffset], yn = b[kNameLengthOffset];
  for (std::uint32_t i = 0; i < xn; ++i) x[i] = char16_t(Common::LoadLe16(a + kNameOffset + 2 * i));
  for (std::uint32_t i = 0; i < yn; ++i) y[i] = char16_t(Common::LoadLe16(b + kNameOffset + 2 * i));
  return CompareUpcasedNames(upcase_, x, xn, y, yn, false);
}

bool FileNameKeyOrder::ValidKey(const std::uint8_t* key, std::uint32_t length) const noexcept {
  if (length < kNameOffset) return false;
  return kNameOffset + 2u * key[kNameLengthOffset] <= length;
}

// One node: its header (in the root copy or a cached block) and the bytes
// from the header that the node may use.
struct Index::Node {
  std::uint8_t* header = nullptr;
  std::uint32_t available = 0;
  bool root = false;

  std::uint32_t First() const noexcept { return Common::LoadLe32(header); }
  std::uint32_t Length() const noexcept { return Common::LoadLe32(header + 4); }
  std::uint32_t Allocated() const noexcept { return Common::LoadLe32(header + 8); }
  bool Internal() const noexcept { return (header[12] & 1) != 0; }
  void SetLength(std::uint32_t n) noexcept { Common::StoreLe32(header + 4, n); }
  void SetAllocated(std::uint32_t n) noexcept { Common::StoreLe32(header + 8, n); }
  std::uint8_t* At(std::uint32_t offset) const noexcept { return header + offset; }
  // The offset of the end entry.
  std::uint32_t EndOffset() const noexcept {
    std::uint32_t at = First();
    while (!IsEnd(header + at)) at += Common::LoadLe16(header + at + index_entry::kLength);
    return at;
  }
  // The offset of the entry before `offset`, or `offset` when it is first.
  std::uint32_t Before(std::uint32_t offset) const noexcept {
    std::uint32_t at = First(), previous = offset;
    while (at < offset) {
      previous = at;
      at += Common::LoadLe16(header + at + index_entry::kLength);
    }
    return previous;
  }
};

Index::Index(IndexStore& store, const IndexKeyOrder& order) : store_(store), order_(order) {
  LoadRoot();
}

Index::~Index() = default;

std::unique_ptr<Index> Index::Create(IndexStore& store, const IndexKeyOrder& order,
                                     const IndexShape& shape) {
  std::vector<std::uint8_t> root(kEmptyRootSize, 0);
  Common::StoreLe32(root.data(), shape.indexedType);
  Common::StoreLe32(root.data() + 4, order.CollationRule());
  Common::StoreLe32(root.data() + 8, shape.blockSize);
  root[12] = shape.blocksToVcn;
  Common::StoreLe32(root.data() + 16, 16);
  Common::StoreLe32(root.data() + 20, 32);
  Common::StoreLe32(root.data() + 24, 32);
  Common::StoreLe16(root.data() + 32 + index_entry::kLength, 16);
  Common::StoreLe16(root.data() + 32 + index_entry::kFlags, index_entry::kEnd);
  if (!store.WriteRoot(root)) ThrowFileError(0x01, kModuleId, kFileDiskFull);
  return std::make_unique<Index>(store, order);
}

void Index::LoadRoot() {
  root_ = store_.ReadRoot();
  if (root_.size() < kEmptyRootSize || root_.size() > 0x10000) Corrupted(0x10);
  if (Common::LoadLe32(root_.data() + 4) != order_.CollationRule()) Corrupted(0x11);
  blockSize_ = Common::LoadLe32(root_.data() + 8);
  factor_ = root_[12];
  // A block size of 0 would make every block the same place.
  if (blockSize_ < kUpdateSequenceStride || blockSize_ % kUpdateSequenceStride != 0 ||
      blockSize_ > 0x10000)
    Corrupted(0x12);
  if (factor_ == 0 || blockSize_ % factor_ != 0) Corrupted(0x13);
  CheckNode(root_.data() + kRootHeader, std::uint32_t(root_.size()) - kRootHeader, true);
}

// Checks a whole node: the header fits what the node may use, and every
// entry up to the end entry lies inside the index length, has a sound
// length, key length and key, and carries the node's child flag.
void Index::CheckNode(const std::uint8_t* header, std::uint32_t available, bool root) const {
  const std::uint32_t first = Common::LoadLe32(header);
  const std::uint32_t length = Common::LoadLe32(header + 4);
  const std::uint32_t allocated = Common::LoadLe32(header + 8);
  const bool internal = (header[12] & 1) != 0;
  if (first < 16 || first % 8 != 0 || length > allocated || allocated > available) Corrupted(0x20);
  if (root && first != 16) Corrupted(0x21);
  for (std::uint32_t at = first;;) {
    if (!Common::RangeInside(at, 16, length)) Corrupted(0x22);
    const std::uint8_t* e = header + at;
    const std::uint32_t entryLength = Common::LoadLe16(e + index_entry::kLength);
    const std::uint32_t keyLength = Common::LoadLe16(e + index_entry::kKeyLength);
    // A length of 0 would never move on.
    if (entryLength < 16 || entryLength % 8 != 0 || !Common::RangeInside(at, entryLength, length))
      Corrupted(0x23);
    if (HasChild(e) != internal) Corrupted(0x24);
    const std::uint32_t childBytes = HasChild(e) ? 8 : 0;
    if (IsEnd(e)) {
      if (entryLength < 16 + childBytes) Corrupted(0x25);
      break;
    }
    if (keyLength == 0 || 16u + keyLength + childBytes > entryLength) Corrupted(0x26);
    if (!order_.ValidKey(e + index_entry::kKey, keyLength)) Corrupted(0x27);
    at += entryLength;
  }
}

std::uint8_t* Index::BlockBuffer(std::uint64_t vcn) {
  const auto cached = blocks_.find(vcn);
  if (cached != blocks_.end()) return cached->second.data();
  if (!store_.HasAllocation()) Corrupted(0x30);
  if (vcn % factor_ != 0) Corrupted(0x31);
  std::uint64_t offset = 0;
  if (!Common::CheckedMul<std::uint64_t>(vcn / factor_, blockSize_, &offset) ||
      !Common::RangeInside(offset, blockSize_, store_.AllocationSize()))
    Corrupted(0x32);
  std::vector<std::uint8_t> block(blockSize_);
  store_.ReadAllocation(offset, block.data(), blockSize_);
  if (Common::LoadLe32(block.data()) != kIndexBlockMagic) Corrupted(0x33);
  UnprotectUpdateSequence(block.data(), kIndexBlockArrayOffset, blockSize_);
  if (Common::LoadLe64(block.data() + 16) != vcn) Corrupted(0x34);
  // Entries start after the update sequence array.
  const std::uint32_t arrayEnd = std::uint32_t(Common::LoadLe16(block.data() + 4)) +
                                 2u * Common::LoadLe16(block.data() + 6);
  if (kBlockHeader + std::uint64_t(Common::LoadLe32(block.data() + kBlockHeader)) < arrayEnd)
    Corrupted(0x35);
  CheckNode(block.data() + kBlockHeader, blockSize_ - kBlockHeader, false);
  return blocks_.emplace(vcn, std::move(block)).first->second.data();
}

Index::Node Index::NodeAt(std::uint64_t vcn) {
  Node n;
  if (vcn == kRootVcn) {
    n.header = root_.data() + kRootHeader;
    n.available = std::uint32_t(root_.size()) - kRootHeader;
    n.root = true;
  } else {
    n.header = BlockBuffer(vcn) + kBlockHeader;
    n.available = blockSize_ - kBlockHeader;
  }
  return n;
}

std::uint64_t Index::ChildOf(const std::uint8_t* entry) const noexcept {
  return Common::LoadLe64(entry + Common::LoadLe16(entry + index_entry::kLength) - 8);
}

void Index::SetChild(std::uint8_t* entry, std::uint64_t vcn) noexcept {
  Common::StoreLe64(entry + Common::LoadLe16(entry + index_entry::kLength) - 8, vcn);
}

void Index::Descend(Cursor& cursor, std::uint64_t child) {
  // A child already on the path (or the root's marker) is a cycle.
  if (child == kRootVcn || child == cursor.at.vcn || cursor.path.size() >= kMaxDepth)
    Corrupted(0x40);
  for (const Position& p : cursor.path)
    if (p.vcn == child) Corrupted(0x41);
  if (++cursor.descents > store_.AllocationSize() / blockSize_) Corrupted(0x44);
  cursor.path.push_back(cursor.at);
  cursor.at = Position{child, NodeAt(child).First()};
}

void Index::DescendLeftmost(Cursor& cursor) {
  for (;;) {
    const std::uint8_t* e = NodeAt(cursor.at.vcn).At(cursor.at.entry);
    if (!HasChild(e)) return;
    Descend(cursor, ChildOf(e));
  }
}

bool Index::Find(const std::uint8_t* key, std::uint32_t keyLength, Cursor& cursor) {
  cursor.valid = false;
  cursor.path.clear();
  cursor.descents = 0;
  cursor.lastKey.clear();
  cursor.at = Position{kRootVcn, NodeAt(kRootVcn).First()};
  for (;;) {
    const std::uint8_t* e = NodeAt(cursor.at.vcn).At(cursor.at.entry);
    if (IsEnd(e)) {
      if (!HasChild(e)) return false;
      Descend(cursor, ChildOf(e));
      continue;
    }
    const int c = order_.Compare(e + index_entry::kKey, KeyLength(e), key, keyLength);
    if (c == 0) {
      cursor.valid = true;
      cursor.lastKey.assign(e + index_entry::kKey, e + index_entry::kKey + KeyLength(e));
      return true;
    }
    if (c > 0) {
      if (!HasChild(e)) return false;
      Descend(cursor, ChildOf(e));
      continue;
    }
    cursor.at.entry += EntryLength(e);
  }
}

bool Index::Next(Cursor& cursor) {
  if (!cursor.valid) {
    cursor.path.clear();
    cursor.descents = 0;
    cursor.lastKey.clear();
    cursor.at = Position{kRootVcn, NodeAt(kRootVcn).First()};
  } else {
    cursor.at.entry += EntryLength(NodeAt(cursor.at.vcn).At(cursor.at.entry));
  }
  DescendLeftmost(cursor);
  for (;;) {
    const std::uint8_t* e = NodeAt(cursor.at.vcn).At(cursor.at.entry);
    if (!IsEnd(e)) {
      // Keys out of order (or one block reached twice) make every search
      // of this index unreliable. Equal keys are let through: POSIX names
      // that differ only in case sit side by side on volumes other systems
      // wrote.
      const std::uint8_t* key = e + index_entry::kKey;
      const std::uint32_t keyLength = KeyLength(e);
      if (!cursor.lastKey.empty() &&
          order_.Compare(cursor.lastKey.data(), std::uint32_t(cursor.lastKey.size()), key,
                         keyLength) > 0)
        Corrupted(0x45);
      cursor.lastKey.assign(key, key + keyLength);
      cursor.valid = true;
      return true;
    }
    // This node is done: climb to the entry whose child it was.
    do {
      if (cursor.path.empty()) {
        cursor.valid = false;
        return false;
      }
      cursor.at = cursor.path.back();
      cursor.path.pop_back();
    } while (IsEnd(NodeAt(cursor.at.vcn).At(cursor.at.entry)));
  }
}

const std::uint8_t* Index::EntryAt(const Cursor& cursor) {
  if (!cursor.valid) ThrowFileError(0x42, kModuleId, kFileNotFound);
  return NodeAt(cursor.at.vcn).At(cursor.at.entry);
}

std::uint32_t Index::EntryLength(const std::uint8_t* entry) const noexcept {
  return Common::LoadLe16(entry + index_entry::kLength);
}

std::uint32_t Index::KeyLength(const std::uint8_t* entry) const noexcept {
  return Common::LoadLe16(entry + index_entry::kKeyLength);
}

std::set<std::uint64_t> Index::ReachableBlocks() {
  std::set<std::uint64_t> seen;
  std::vector<std::uint64_t> pending{kRootVcn};
  while (!pending.empty()) {
    const Node n = NodeAt(pending.back());
    pending.pop_back();
    for (std::uint32_t at = n.First();; at += EntryLength(n.At(at))) {
      const std::uint8_t* e = n.At(at);
      if (HasChild(e)) {
        if (!seen.insert(ChildOf(e)).second || seen.size() > blocks_.size() + (1u << 20))
          Corrupted(0x43);
        pending.push_back(ChildOf(e));
      }
      if (IsEnd(e)) break;
    }
  }
  return seen;
}

// ---------------------------------------------------------------------------
// Changes

void Index::EnsureAllocation() {
  if (!store_.HasAllocation()) store_.CreateAllocation();
  if (!store_.HasAllocation()) ThrowFileError(0x50, kModuleId, kFileDiskFull);
  if (!bitmap_) {
    const std::uint64_t limit =
        store_.CanGrow() ? ~std::uint64_t(0) : store_.AllocationSize() / blockSize_;
    bitmap_ = std::make_unique<Bitmap>(&store_.BlockBitmap(), limit);
  }
}

void Index::RequireFreeBlocks(std::uint32_t count) {
  if (store_.CanGrow()) return;
  EnsureAllocation();
  if (bitmap_->CountFree() < count) ThrowFileError(0x51, kModuleId, kFileDiskFull);
}

std::uint64_t Index::AllocateBlock() {
  EnsureAllocation();
  std::uint32_t granted = 0;
  const std::vector<BitRun> runs = bitmap_->Allocate(1, &granted, store_.CanGrow());
  if (granted == 0 || runs.empty()) ThrowFileError(0x52, kModuleId, kFileDiskFull);
  const std::uint64_t bit = runs.front().first;
  try {
    std::uint64_t offset = 0, end = 0;
    if (!Common::CheckedMul<std::uint64_t>(bit, blockSize_, &offset) ||
        !Common::CheckedAdd<std::uint64_t>(offset, blockSize_, &end) ||
        bit > (~std::uint64_t(0) - 1) / factor_)
      ThrowFileError(0x53, kModuleId, kFileDiskFull);
    if (store_.AllocationSize() < end && !store_.GrowAllocation(end))
      ThrowFileError(0x54, kModuleId, kFileDiskFull);
    const std::uint64_t vcn = bit * factor_;
    std::vector<std::uint8_t> block(blockSize_, 0);
    const std::uint32_t count = blockSize_ / kUpdateSequenceStride + 1;
    const std::uint32_t first = ((count * 2 + 47) & ~7u) - kBlockHeader;
    Common::StoreLe32(block.data(), kIndexBlockMagic);
    Common::StoreLe16(block.data() + 4, std::uint16_t(kIndexBlockArrayOffset));
    Common::StoreLe16(block.data() + 6, std::uint16_t(count));
    Common::StoreLe64(block.data() + 16, vcn);
    Common::StoreLe32(block.data() + kBlockHeader, first);
    Common::StoreLe32(block.data() + kBlockHeader + 4, first);
    Common::StoreLe32(block.data() + kBlockHeader + 8, blockSize_ - kBlockHeader);
    // Written as 1 after the first protection.
    Common::StoreLe16(block.data() + kIndexBlockArrayOffset, 0);
    blocks_[vcn] = std::move(block);
    dirty_.insert(vcn);
    return vcn;
  } catch (...) {
    bitmap_->FreeRun(bit, 1);
    throw;
  }
}

void Index::FreeBlock(std::uint64_t vcn) {
  EnsureAllocation();
  bitmap_->FreeRun(vcn / factor_, 1);
  blocks_.erase(vcn);
  dirty_.erase(vcn);
}

void Index::TrimAllocation() {
  if (!store_.CanGrow() || !store_.HasAllocation()) return;
  BitmapStorage& bits = store_.BlockBitmap();
  const std::uint64_t bytes = bits.Size();
  std::vector<std::uint8_t> map(std::size_t(std::min<std::uint64_t>(bytes, 1u << 24)), 0);
  if (!map.empty() && bits.Read(0, map.data(), std::uint32_t(map.size())) != map.size())
    ThrowFileError(0x56, kModuleId, kFileReadError);
  std::uint64_t used = 0;  // blocks up to the last one in use
  for (std::size_t i = map.size(); i-- > 0;) {
    if (map[i] == 0) continue;
    std::uint32_t top = 7;
    while (((map[i] >> top) & 1) == 0) --top;
    used = std::uint64_t(i) * 8 + top + 1;
    break;
  }
  const std::uint64_t size = used * blockSize_;
  if (store_.AllocationSize() <= size) return;
  // The bitmap keeps whole 8-byte words, as the format lays it out.
  const std::uint64_t keep = std::max<std::uint64_t>(8, (used + 63) / 64 * 8);
  store_.ShrinkAllocation(size, keep < bytes ? keep : bytes);
  bitmap_.reset();
}

void Index::WriteBlock(std::uint64_t vcn) {
  std::vector<std::uint8_t>& block = blocks_.at(vcn);
  std::vector<std::uint8_t> image(block);
  ProtectUpdateSequence(image.data(), blockSize_);
  // The next write goes on from this sequence number.
  std::memcpy(block.data() + kIndexBlockArrayOffset, image.data() + kIndexBlockArrayOffset, 2);
  store_.WriteAllocation((vcn / factor_) * blockSize_, image.data(), blockSize_);
}

void Index::WriteChanges() {
  if (rootDirty_) {
    if (!store_.WriteRoot(root_)) ThrowFileError(0x55, kModuleId, kFileWriteError);
    rootDirty_ = false;
  }
  for (auto it = dirty_.begin(); it != dirty_.end();) {
    WriteBlock(*it);
    it = dirty_.erase(it);
  }
}

void Index::MakeEmptyRoot() {
  root_.resize(kEmptyRootSize);
  std::memset(root_.data() + kRootHeader, 0, kEmptyRootSize - kRootHeader);
  Common::StoreLe32(root_.data() + 16, 16);
  Common::StoreLe32(root_.data() + 20, 32);
  Common::StoreLe32(root_.data() + 24, 32);
  Common::StoreLe16(root_.data() + 32 + index_entry::kLength, 16);
  Common::StoreLe16(root_.data() + 32 + index_entry::kFlags, index_entry::kEnd);
  rootDirty_ = true;
}

void Index::InsertIntoNode(const Position& at, const std::vector<std::uint8_t>& entry) {
  const std::uint32_t size = std::uint32_t(entry.size());
  if (at.vcn == kRootVcn) {
    root_.insert(root_.begin() + kRootHeader + at.entry, entry.begin(), entry.end());
    Node n = NodeAt(kRootVcn);
    n.SetLength(n.Length() + size);
    n.SetAllocated(n.Allocated() + size);
    rootDirty_ = true;
    return;
  }
  Node n = NodeAt(at.vcn);
  if (size > n.Allocated() - n.Length()) ThrowFileError(0x56, kModuleId, kFileDiskFull);
  std::uint8_t* place = n.At(at.entry);
  std::memmove(place + size, place, n.Length() - at.entry);
  std::memcpy(place, entry.data(), size);
  n.SetLength(n.Length() + size);
  dirty_.insert(at.vcn);
}

void Index::TakeOut(const Position& at) {
  Node n = NodeAt(at.vcn);
  std::uint8_t* place = n.At(at.entry);
  const std::uint32_t size = EntryLength(place);
  std::memmove(place, place + size, n.Length() - at.entry - size);
  n.SetLength(n.Length() - size);
  if (at.vcn == kRootVcn) {
    n.SetAllocated(n.Length());
    root_.resize(kRootHeader + n.Length());
    rootDirty_ = true;
  } else {
    dirty_.insert(at.vcn);
  }
}

void Index::PushDownRoot() {
  // A record the root has filled has no room for the attributes of the
  // blocks: the root is emptied on disk while they are made, and its
  // entries put back if that fails.
  bool emptied = false;
  if (!store_.HasAllocation()) {
    std::vector<std::uint8_t> empty(root_.begin(), root_.begin() + kRootHeader);
    empty.resize(kEmptyRootSize, 0);
    Common::StoreLe32(empty.data() + 16, 16);
    Common::StoreLe32(empty.data() + 20, 32);
    Common::StoreLe32(empty.data() + 24, 32);
    Common::StoreLe16(empty.data() + 32 + index_entry::kLength, 16);
    Common::StoreLe16(empty.data() + 32 + index_entry::kFlags, index_entry::kEnd);
    if (!store_.WriteRoot(empty)) ThrowFileError(0x59, kModuleId, kFileDiskFull);
    emptied = true;
    try {
      store_.CreateAllocation();
    } catch (...) {
      store_.WriteRoot(root_);
      throw;
    }
  }
  std::uint64_t vcn = 0;
  try {
    vcn = AllocateBlock();
  } catch (...) {
    if (emptied) store_.WriteRoot(root_);
    throw;
  }
  try {
    Node block = NodeAt(vcn);
    const Node root = NodeAt(kRootVcn);
    const std::uint32_t entries = root.Length() - root.First();
    if (entries > block.Allocated() - block.First()) ThrowFileError(0x57, kModuleId, kFileDiskFull);
    std::memcpy(block.At(block.First()), root.At(root.First()), entries);
    block.SetLength(block.First() + entries);
    block.header[12] = root.header[12] & 1;
    // The root: one end entry leading to the new block.
    std::vector<std::uint8_t> value(root_.begin(), root_.begin() + kRootHeader);
    value.resize(kRootHeader + 16 + 24, 0);
    Common::StoreLe32(value.data() + 16, 16);
    Common::StoreLe32(value.data() + 20, 40);
    Common::StoreLe32(value.data() + 24, 40);
    value[28] = 1;
    Common::StoreLe16(value.data() + 32 + index_entry::kLength, 24);
    Common::StoreLe16(value.data() + 32 + index_entry::kFlags,
                      index_entry::kEnd | index_entry::kHasChild);
    Common::StoreLe64(value.data() + 32 + 16, vcn);
    // The block goes out before the root that points to it.
    WriteBlock(vcn);
    dirty_.erase(vcn);
    if (!store_.WriteRoot(value)) ThrowFileError(0x58, kModuleId, kFileWriteError);
    root_ = std::move(value);
  } catch (...) {
    FreeBlock(vcn);
    if (emptied) store_.WriteRoot(root_);
    throw;
  }
}

std::vector<std::uint8_t> Index::Split(const Position& at, std::vector<Position>& path,
                                       const std::vector<std::uint8_t>& pending, Position& placed) {
  if (path.empty()) Corrupted(0x60);
  // Everything that can fail is checked before the node changes.
  std::uint32_t median = 0, medianLength = 0;
  {
    const Node n = NodeAt(at.vcn);
    const std::uint32_t half = n.Allocated() / 2;
    std::uint32_t previous = n.First();
    for (std::uint32_t off = n.First();; off += EntryLength(n.At(off))) {
      const std::uint8_t* e = n.At(off);
      if (IsEnd(e)) {
        median = previous;
        break;
      }
      if (off + EntryLength(e) >= half) {
        median = off;
        break;
      }
      previous = off;
    }
    if (IsEnd(n.At(median))) Corrupted(0x61);
    medianLength = EntryLength(n.At(median));
  }
  const std::uint64_t right = AllocateBlock();
  Node n = NodeAt(at.vcn);
  Node r = NodeAt(right);
  std::uint8_t* m = n.At(median);
  const bool medianChild = HasChild(m);
  const std::uint64_t medianOldChild = medianChild ? ChildOf(m) : 0;
  std::vector<std::uint8_t> up(m, m + medianLength);
  if (!medianChild) {
    up.resize(medianLength + 8, 0);
    Common::StoreLe16(up.data() + index_entry::kLength, std::uint16_t(medianLength + 8));
    Common::StoreLe16(up.data() + index_entry::kFlags, std::uint16_t(Flags(m) | index_entry::kHasChild));
  }
  SetChild(up.data(), at.vcn);

  const std::uint32_t firstMoved = median + medianLength;
  const std::uint32_t moved = n.Length() - firstMoved;
  const std::uint32_t endLength = medianChild ? 24 : 16;
  const bool goesLeft = at.entry <= median;
  const std::uint32_t leftAfter = median + endLength + (goesLeft ? std::uint32_t(pending.size()) : 0);
  const std::uint32_t rightAfter = r.First() + moved + (goesLeft ? 0 : std::uint32_t(pending.size()));
  if (leftAfter > n.Allocated() || rightAfter > r.Allocated()) {
    FreeBlock(right);
    ThrowFileError(0x62, kModuleId, kFileDiskFull);
  }
  std::memcpy(r.At(r.First()), n.At(firstMoved), moved);
  r.SetLength(r.First() + moved);
  r.header[12] = n.header[12] & 1;
  std::memset(m, 0, endLength);
  Common::StoreLe16(m + index_entry::kLength, std::uint16_t(endLength));
  Common::StoreLe16(m + index_entry::kFlags,
                    std::uint16_t(index_entry::kEnd | (medianChild ? index_entry::kHasChild : 0)));
  if (medianChild) SetChild(m, medianOldChild);
  n.SetLength(median + endLength);
  dirty_.insert(at.vcn);

  // The entry that led here now leads to the right half.
  const Position parent = path.back();
  SetChild(NodeAt(parent.vcn).At(parent.entry), right);
  if (parent.vcn == kRootVcn) rootDirty_ = true;
  else dirty_.insert(parent.vcn);

  placed = goesLeft ? at : Position{right, r.First() + (at.entry - firstMoved)};
  InsertIntoNode(placed, pending);
  return up;
}

void Index::InsertAt(Position at, std::vector<Position> path, std::vector<std::uint8_t> entry) {
  for (;;) {
    if (at.vcn == kRootVcn) {
      std::vector<std::uint8_t> value(root_);
      value.insert(value.begin() + kRootHeader + at.entry, entry.begin(), entry.end());
      const std::uint32_t size = std::uint32_t(entry.size());
      Common::StoreLe32(value.data() + 20, Common::LoadLe32(value.data() + 20) + size);
      Common::StoreLe32(value.data() + 24, Common::LoadLe32(value.data() + 24) + size);
      if (store_.WriteRoot(value)) {
        root_ = std::move(value);
        return;
      }
      // No room in the record: the root's entries move to a block.
      PushDownRoot();
      const std::uint64_t block = ChildOf(NodeAt(kRootVcn).At(16));
      path.push_back(Position{kRootVcn, 16});
      at = Position{block, NodeAt(block).First() + (at.entry - 16)};
      continue;
    }
    const Node n = NodeAt(at.vcn);
    if (entry.size() <= n.Allocated() - n.Length()) {
      InsertIntoNode(at, entry);
      return;
    }
    Position placed;
    entry = Split(at, path, entry, placed);
    at = path.back();
    path.pop_back();
  }
}

std::uint32_t Index::RootDepthBound() {
  Cursor c;
  c.at = Position{kRootVcn, NodeAt(kRootVcn).First()};
  DescendLeftmost(c);
  return std::uint32_t(c.path.size()) + 1;
}

Index::Cursor Index::Insert(const std::uint8_t* entry, std::uint32_t length) {
  if (length < 16 || length % 8 != 0 || length != Common::LoadLe16(entry + index_entry::kLength))
    Corrupted(0x70);
  const std::uint32_t keyLength = Common::LoadLe16(entry + index_entry::kKeyLength);
  if (keyLength == 0 || 16u + keyLength > length || (Flags(entry) & 3) != 0 ||
      !order_.ValidKey(entry + index_entry::kKey, keyLength))
    Corrupted(0x71);
  // The largest entry a block can take beside its end entry and a median.
  const std::uint32_t blockRoom =
      blockSize_ - kBlockHeader - (((blockSize_ / kUpdateSequenceStride + 1) * 2 + 47) & ~7u);
  if (length + 8 > blockRoom / 2) ThrowFileError(0x72, kModuleId, kFileDiskFull);
  Cursor cursor;
  if (Find(entry + index_entry::kKey, keyLength, cursor))
    ThrowFileError(0x73, kModuleId, kFileAlreadyExists);
  // A full leaf may split up to the root and push the root down: every
  // block that needs is made sure of before anything changes, so that a
  // full volume refuses the entry instead of leaving half a split.
  const Node leaf = NodeAt(cursor.at.vcn);
  if (cursor.at.vcn == kRootVcn || length > leaf.Allocated() - leaf.Length())
    RequireFreeBlocks(std::uint32_t(cursor.path.size()) + 2);
  InsertAt(cursor.at, cursor.path, std::vector<std::uint8_t>(entry, entry + length));
  WriteChanges();
  Cursor result;
  if (!Find(entry + index_entry::kKey, keyLength, result)) Corrupted(0x74);
  return result;
}

void Index::ReplaceInPlace(const Cursor& cursor, const std::uint8_t* entry, std::uint32_t length) {
  std::uint8_t* place = const_cast<std::uint8_t*>(EntryAt(cursor));
  if (length != EntryLength(place) || length != Common::LoadLe16(entry + index_entry::kLength) ||
      Common::LoadLe16(entry + index_entry::kKeyLength) != KeyLength(place) ||
      (Flags(entry) & 3) != (Flags(place) & 3))
    Corrupted(0x75);
  // The child VCN stays the node's own.
  const std::uint32_t copied = HasChild(place) ? length - 8 : length;
  std::memcpy(place, entry, copied);
  if (cursor.at.vcn == kRootVcn) rootDirty_ = true;
  else dirty_.insert(cursor.at.vcn);
  WriteChanges();
}

void Index::Remove(Cursor& cursor) {
  const std::uint8_t* e = EntryAt(cursor);
  if (IsEnd(e)) Corrupted(0x80);
  const Position target = cursor.at;
  const std::vector<Position> ancestors = cursor.path;
  const bool targetHasChild = HasChild(e);
  const std::uint64_t targetChild = targetHasChild ? ChildOf(e) : 0;
  cursor.valid = false;

  // The entry that leaves a leaf: the target itself, or for an entry with
  // a child its in-order predecessor, the last key of the rightmost leaf
  // below it.
  Position take = target;
  std::vector<Position> takePath = ancestors;
  std::vector<std::uint8_t> predecessor;
  if (targetHasChild) {
    Cursor c;
    c.at = target;
    c.path = ancestors;
    Descend(c, targetChild);
    for (;;) {
      const Node n = NodeAt(c.at.vcn);
      c.at.entry = n.EndOffset();
      const std::uint8_t* end = n.At(c.at.entry);
      if (!HasChild(end)) break;
      Descend(c, ChildOf(end));
    }
    const Node leaf = NodeAt(c.at.vcn);
    const std::uint32_t p = leaf.Before(c.at.entry);
    if (p == c.at.entry) Corrupted(0x81);  // a block below a key holds no key
    predecessor.assign(leaf.At(p), leaf.At(p) + EntryLength(leaf.At(p)));
    take = Position{c.at.vcn, p};
    takePath = c.path;
  }
  TakeOut(take);

  // Emptied blocks are freed upwards; the key that led to the last freed
  // one is re-inserted.
  bool haveReinsert = false;
  Position reinsert;
  for (Position at = take; at.vcn != kRootVcn;) {
    const Node n = NodeAt(at.vcn);
    if (!IsEnd(n.At(n.First()))) break;
    FreeBlock(at.vcn);
    if (takePath.empty()) Corrupted(0x82);
    const Position parent = takePath.back();
    takePath.pop_back();
    const Node p = NodeAt(parent.vcn);
    std::uint8_t* pe = p.At(parent.entry);
    if (!IsEnd(pe)) {
      reinsert = parent;
      haveReinsert = true;
      break;
    }
    if (parent.entry != p.First()) {
      // The last key before the end entry hands its subtree to the end
      // entry and is re-inserted itself.
      const std::uint32_t s = p.Before(parent.entry);
      SetChild(pe, ChildOf(p.At(s)));
      if (parent.vcn == kRootVcn) rootDirty_ = true;
      else dirty_.insert(parent.vcn);
      reinsert = Position{parent.vcn, s};
      haveReinsert = true;
      break;
    }
    if (parent.vcn == kRootVcn) {
      MakeEmptyRoot();
      break;
    }
    at = parent;
  }

  std::vector<std::vector<std::uint8_t>> fromRoot;
  auto withoutChild = [](std::vector<std::uint8_t> entry) {
    if (HasChild(entry.data())) {
      entry.resize(entry.size() - 8);
      Common::StoreLe16(entry.data() + index_entry::kLength, std::uint16_t(entry.size()));
      Common::StoreLe16(entry.data() + index_entry::kFlags,
                        std::uint16_t(Flags(entry.data()) & ~index_entry::kHasChild));
    }
    return entry;
  };
  const bool targetIsReinsert = haveReinsert && reinsert == target;
  if (haveReinsert && !targetIsReinsert) {
    // Taken out before the target's node can change below.
    const std::uint8_t* r = NodeAt(reinsert.vcn).At(reinsert.entry);
    fromRoot.push_back(withoutChild(std::vector<std::uint8_t>(r, r + EntryLength(r))));
    TakeOut(reinsert);
  }
  if (targetHasChild) {
    TakeOut(target);
    if (targetIsReinsert) {
      // The target's whole subtree is gone: its predecessor becomes a key
      // of its own.
      fromRoot.push_back(withoutChild(predecessor));
    } else {
      std::vector<std::uint8_t> replacement = withoutChild(predecessor);
      const std::uint32_t size = std::uint32_t(replacement.size()) + 8;
      replacement.resize(size, 0);
      Common::StoreLe16(replacement.data() + index_entry::kLength, std::uint16_t(size));
      Common::StoreLe16(replacement.data() + index_entry::kFlags,
                        std::uint16_t(Flags(replacement.data()) | index_entry::kHasChild));
      SetChild(replacement.data(), targetChild);
      InsertAt(target, ancestors, replacement);
    }
  }
  WriteChanges();
  for (const std::vector<std::uint8_t>& entry : fromRoot) {
    Cursor c;
    if (Find(entry.data() + index_entry::kKey, KeyLength(entry.data()), c)) Corrupted(0x83);
    InsertAt(c.at, c.path, entry);
    WriteChanges();
  }
  TrimAllocation();
}

}  // namespace ntfs
}  // namespace filesystems
