// Changing extent trees: mapping new blocks (merging with neighbours,
// splitting full nodes and growing the tree), turning uninitialised blocks
// into initialised ones in place, and cutting a tree at a file block.
//
// Every index entry keeps the first file block of its child's first entry,
// so a change to a node's first entry is carried up the path.
#include <algorithm>
#include <cstring>
#include <vector>

#include "files/file_error.h"
#include "filesystems/ext_alloc.h"
#include "filesystems/ext_inode.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace extfs {
namespace {

constexpr std::uint32_t kModuleId = kExtBlockMapModuleId;
constexpr std::uint32_t kMaxInitialised = 32768;
constexpr std::uint32_t kMaxUninitialised = 32767;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

struct Extent {
  std::uint64_t first = 0;
  std::uint64_t start = 0;
  std::uint32_t length = 0;
  bool uninitialised = false;
};

std::uint8_t* EntryAt(std::uint8_t* node, std::uint32_t i) { return node + 12 + 12 * i; }
std::uint32_t Entries(const std::uint8_t* node) { return Common::LoadLe16(node + 2); }
std::uint32_t Capacity(const std::uint8_t* node) { return Common::LoadLe16(node + 4); }
std::uint32_t Depth(const std::uint8_t* node) { return Common::LoadLe16(node + 6); }

Extent Unpack(const std::uint8_t* e) {
  Extent x;
  x.first = Common::LoadLe32(e);
  std::uint32_t length = Common::LoadLe16(e + 4);
  x.uninitialised = length > kMaxInitialised;
  x.length = x.uninitialised ? length - kMaxInitialised : length;
  x.start = Common::LoadLe32(e + 8) | std::uint64_t(Common::LoadLe16(e + 6)) << 32;
  return x;
}

void Pack(std::uint8_t* e, const Extent& x) {
  if (x.length == 0 || x.length > (x.uninitialised ? kMaxUninitialised : kMaxInitialised) ||
      x.first >> 32 || x.start >> 48)
    Corrupted(0x40);
  Common::StoreLe32(e, std::uint32_t(x.first));
  Common::StoreLe16(e + 4, std::uint16_t(x.uninitialised ? x.length + kMaxInitialised : x.length));
  Common::StoreLe16(e + 6, std::uint16_t(x.start >> 32));
  Common::StoreLe32(e + 8, std::uint32_t(x.start));
}

std::uint64_t ChildOf(const std::uint8_t* e) {
  return Common::LoadLe32(e + 4) | std::uint64_t(Common::LoadLe16(e + 8)) << 32;
}

void SetIndex(std::uint8_t* e, std::uint32_t first, std::uint64_t child) {
  Common::StoreLe32(e, first);
  Common::StoreLe32(e + 4, std::uint32_t(child));
  Common::StoreLe16(e + 8, std::uint16_t(child >> 32));
  Common::StoreLe16(e + 10, 0);
}

// One node on the path from the root: the root lives in the inode and has
// no block of its own.
struct Level {
  std::uint8_t* node = nullptr;
  BlockHandle handle;
  std::uint32_t index = 0;  // the entry taken towards the leaf
  void Changed() {
    if (handle) handle.MarkDirty();
  }
};

class TreeWriter {
 public:
  TreeWriter(ExtfsDriver* driver, std::uint8_t* area)
      : driver_(driver), area_(area), allocator_(driver->BlockAllocator()) {}

  void Descend(std::uint64_t fileBlock, std::vector<Level>& path) {
    path.clear();
    ExtentsLocationProcessor::CheckNode(area_, kMapAreaSize);
    path.emplace_back();
    path.back().node = area_;
    std::uint32_t depth = Depth(area_);
    if (depth > ExtentsLocationProcessor::kMaxDepth) Corrupted(0x41);
    while (depth > 0) {
      Level& at = path.back();
      const std::uint32_t n = Entries(at.node);
      std::uint32_t pick = 0;
      for (std::uint32_t i = 1; i < n && Common::LoadLe32(EntryAt(at.node, i)) <= fileBlock; ++i)
        pick = i;
      at.index = pick;
      Level child;
      child.handle = driver_->GetBlock(ChildOf(EntryAt(at.node, pick)), false);
      child.handle.PrepareWrite();
      child.node = child.handle.Data();
      ExtentsLocationProcessor::CheckNode(child.node, driver_->BlockSize());
      if (Depth(child.node) + 1 != depth) Corrupted(0x42);
      depth = Depth(child.node);
      path.push_back(std::move(child));
    }
  }

  // Carries the first entry's file block of each node up the path.
  static void FixKeys(std::vector<Level>& path) {
    for (std::size_t level = path.size() - 1; level > 0; --level) {
      Level& parent = path[level - 1];
      if (Entries(path[level].node) == 0) return;
      std::uint8_t* entry = EntryAt(parent.node, parent.index);
      const std::uint32_t key = Common::LoadLe32(EntryAt(path[level].node, 0));
      if (Common::LoadLe32(entry) != key) {
        Common::StoreLe32(entry, key);
        parent.Changed();
      }
      if (parent.index != 0) return;
    }
  }

  // A zeroed node block holding `count` entries copied from `entries`.
  std::uint64_t NewNode(const std::uint8_t* entries, std::uint32_t count, std::uint32_t depth) {
    const std::uint64_t block = allocator_.Allocate(0);
    try {
      BlockHandle node = driver_->GetBlock(block, true);
      node.PrepareWrite();
      std::uint8_t* d = node.Data();
      std::memset(d, 0, driver_->BlockSize());
      Common::StoreLe16(d, ExtentsLocationProcessor::kMagic);
      Common::StoreLe16(d + 2, std::uint16_t(count));
      Common::StoreLe16(d + 4, std::uint16_t((driver_->BlockSize() - 12) / 12));
      Common::StoreLe16(d + 6, std::uint16_t(depth));
      std::memcpy(d + 12, entries, std::size_t(count) * 12);
      node.MarkDirty();
    } catch (...) {
      allocator_.Free(block, 0);
      throw;
    }
    ++allocated_;
    return block;
  }

  // Makes room in the node at `level` of the path: splits it into a new
  // sibling (its parent gaining an entry, made room for first) or, for the
  // root, moves the root's entries into a new node one level down.
  // `appending` moves a single entry, so that files written front to back
  // leave full nodes behind.
  void MakeRoom(std::vector<Level>& path, std::size_t level, bool appending) {
    Level& at = path[level];
    const std::uint32_t n = Entries(at.node);
    const std::uint32_t depth = Depth(at.node);
    if (level == 0) {
      if (depth >= ExtentsLocationProcessor::kMaxDepth - 1)
        ThrowFileError(0x43, kModuleId, kFileDiskFull);
      const std::uint64_t child = NewNode(EntryAt(at.node, 0), n, depth);
      const std::uint32_t key = Common::LoadLe32(EntryAt(at.node, 0));
      std::memset(at.node + 12, 0, kMapAreaSize - 12);
      SetIndex(EntryAt(at.node, 0), key, child);
      Common::StoreLe16(at.node + 2, 1);
      Common::StoreLe16(at.node + 6, std::uint16_t(depth + 1));
      return;
    }
    Level& parent = path[level - 1];
    if (Entries(parent.node) >= Capacity(parent.node)) {
      MakeRoom(path, level - 1, appending);
      return;
    }
    if (n < 2) Corrupted(0x44);
    const std::uint32_t moved = appending ? 1 : n / 2;
    const std::uint32_t kept = n - moved;
    const std::uint64_t sibling = NewNode(EntryAt(at.node, kept), moved, depth);
    const std::uint32_t key = Common::LoadLe32(EntryAt(at.node, kept));
    std::memset(EntryAt(at.node, kept), 0, std::size_t(moved) * 12);
    Common::StoreLe16(at.node + 2, std::uint16_t(kept));
    at.Changed();
    const std::uint32_t pn = Entries(parent.node);
    std::uint8_t* slot = EntryAt(parent.node, parent.index + 1);
    std::memmove(slot + 12, slot, std::size_t(pn - parent.index - 1) * 12);
    SetIndex(slot, key, sibling);
    Common::StoreLe16(parent.node + 2, std::uint16_t(pn + 1));
    parent.Changed();
  }

  // Replaces `count` entries of the leaf from `at` by `with`; false when the
  // leaf has no room for the difference.
  static bool Replace(Level& leaf, std::uint32_t at, std::uint32_t count, const Extent* with,
                      std::uint32_t withCount) {
    const std::uint32_t n = Entries(leaf.node);
    if (n - count + withCount > Capacity(leaf.node)) return false;
    std::uint8_t* from = EntryAt(leaf.node, at);
    std::memmove(from + 12 * withCount, from + 12 * count, std::size_t(n - at - count) * 12);
    for (std::uint32_t i = 0; i < withCount; ++i) Pack(from + 12 * i, with[i]);
    const std::uint32_t total = n - count + withCount;
    if (total < n) std::memset(EntryAt(leaf.node, total), 0, std::size_t(n - total) * 12);
    Common::StoreLe16(leaf.node + 2, std::uint16_t(total));
    leaf.Changed();
    return true;
  }

  std::uint64_t Map(std::uint64_t fileBlock, bool& fresh) {
    fresh = false;
    std::uint64_t pending = kNotMapped;
    try {
      std::vector<Level> path;
      for (std::uint32_t attempt = 0; attempt < 4 * ExtentsLocationProcessor::kMaxDepth + 8;
           ++attempt) {
        Descend(fileBlock, path);
        Level& leaf = path.back();
        const std::uint32_t n = Entries(leaf.node);
        std::int64_t p = -1;
        for (std::uint32_t i = 0; i < n && Common::LoadLe32(EntryAt(leaf.node, i)) <= fileBlock; ++i)
          p = i;
        bool appending = p + 1 == std::int64_t(n);
        for (std::size_t l = 0; l + 1 < path.size(); ++l)
          appending = appending && path[l].index + 1 == Entries(path[l].node);
        if (p >= 0) {
          const Extent e = Unpack(EntryAt(leaf.node, std::uint32_t(p)));
          if (fileBlock < e.first + e.length && e.start != 0) {
            const std::uint64_t block = e.start + (fileBlock - e.first);
            if (!e.uninitialised) return block;
            // Written inside an uninitialised extent: that block becomes an
            // initialised extent of its own, with the same volume block.
            Extent parts[3];
            std::uint32_t k = 0;
            if (fileBlock > e.first)
              parts[k++] = {e.first, e.start, std::uint32_t(fileBlock - e.first), true};
            parts[k++] = {fileBlock, block, 1, false};
            if (fileBlock + 1 < e.first + e.length)
              parts[k++] = {fileBlock + 1, block + 1,
                            std::uint32_t(e.first + e.length - fileBlock - 1), true};
            if (!Replace(leaf, std::uint32_t(p), 1, parts, k)) {
              MakeRoom(path, path.size() - 1, false);
              continue;
            }
            FixKeys(path);
            fresh = true;
            return block;
          }
        }
        if (pending == kNotMapped) pending = allocator_.Allocate(0);
        bool linked = false;
        if (p >= 0) {
          Extent e = Unpack(EntryAt(leaf.node, std::uint32_t(p)));
          if (!e.uninitialised && e.first + e.length == fileBlock &&
              e.start + e.length == pending && e.length < kMaxInitialised) {
            ++e.length;
            Pack(EntryAt(leaf.node, std::uint32_t(p)), e);
            leaf.Changed();
            linked = true;
          }
        }
        if (!linked && p + 1 < std::int64_t(n)) {
          Extent e = Unpack(EntryAt(leaf.node, std::uint32_t(p + 1)));
          if (!e.uninitialised && e.first == fileBlock + 1 && e.start == pending + 1 &&
              e.length < kMaxInitialised) {
            --e.first;
            --e.start;
            ++e.length;
            Pack(EntryAt(leaf.node, std::uint32_t(p + 1)), e);
            leaf.Changed();
            linked = true;
          }
        }
        if (!linked) {
          const Extent single{fileBlock, pending, 1, false};
          if (!Replace(leaf, std::uint32_t(p + 1), 0, &single, 1)) {
            MakeRoom(path, path.size() - 1, appending);
            continue;
          }
        }
        FixKeys(path);
        ++allocated_;
        fresh = true;
        const std::uint64_t block = pending;
        pending = kNotMapped;
        return block;
      }
      Corrupted(0x45);
    } catch (...) {
      if (pending != kNotMapped) allocator_.Free(pending, 0);
      throw;
    }
  }

  // Cuts the subtree of `node` at `from`; the entries it keeps.
  std::uint32_t Cut(std::uint8_t* node, std::uint64_t from, std::vector<Extent>& freed,
                    bool& changed) {
    std::uint32_t n = Entries(node);
    const std::uint32_t depth = Depth(node);
    if (depth == 0) {
      while (n > 0) {
        Extent e = Unpack(EntryAt(node, n - 1));
        if (e.first >= from) {
          if (e.start != 0) freed.push_back(e);
          std::memset(EntryAt(node, n - 1), 0, 12);
          --n;
          changed = true;
          continue;
        }
        if (e.first + e.length > from) {
          const std::uint32_t keep = std::uint32_t(from - e.first);
          if (e.start != 0) freed.push_back({from, e.start + keep, e.length - keep, false});
          e.length = keep;
          Pack(EntryAt(node, n - 1), e);
          changed = true;
        }
        break;
      }
    } else {
      while (n > 0) {
        std::uint8_t* entry = EntryAt(node, n - 1);
        const std::uint64_t key = Common::LoadLe32(entry);
        const std::uint64_t child = ChildOf(entry);
        BlockHandle handle = driver_->GetBlock(child, false);
        handle.PrepareWrite();
        ExtentsLocationProcessor::CheckNode(handle.Data(), driver_->BlockSize());
        if (Depth(handle.Data()) + 1 != depth) Corrupted(0x46);
        bool childChanged = false;
        const std::uint32_t left = Cut(handle.Data(), from, freed, childChanged);
        if (childChanged) handle.MarkDirty();
        if (left == 0) {
          freed.push_back({0, child, 1, false});
          std::memset(entry, 0, 12);
          --n;
          changed = true;
        }
        if (key <= from) break;
      }
      if (n == 0) Common::StoreLe16(node + 6, 0);
    }
    Common::StoreLe16(node + 2, std::uint16_t(n));
    return n;
  }

  // A root over a single node whose entries fit in the root takes them
  // back, so that a shrunk file does not keep a needless level.
  void Collapse(std::vector<Extent>& freed) {
    while (Depth(area_) > 0 && Entries(area_) == 1) {
      const std::uint64_t child = ChildOf(EntryAt(area_, 0));
      BlockHandle handle = driver_->GetBlock(child, false);
      ExtentsLocationProcessor::CheckNode(handle.Data(), driver_->BlockSize());
      const std::uint32_t n = Entries(handle.Data());
      if (n > (kMapAreaSize - 12) / 12 || Depth(handle.Data()) + 1 != Depth(area_)) return;
      std::memset(area_ + 12, 0, kMapAreaSize - 12);
      std::memcpy(area_ + 12, handle.Data() + 12, std::size_t(n) * 12);
      Common::StoreLe16(area_ + 2, std::uint16_t(n));
      Common::StoreLe16(area_ + 6, Depth(handle.Data()));
      freed.push_back({0, child, 1, false});
    }
  }

  std::uint64_t allocated_ = 0;

 private:
  ExtfsDriver* driver_;
  std::uint8_t* area_;
  ExtfsAllocator& allocator_;
};

}  // namespace

void ExtentsLocationProcessor::InitializeRoot(std::uint8_t* area) {
  std::memset(area, 0, kMapAreaSize);
  Common::StoreLe16(area, kMagic);
  Common::StoreLe16(area + 4, (kMapAreaSize - 12) / 12);
}

std::uint64_t ExtentsLocationProcessor::MapForWrite(std::uint8_t* area, std::uint64_t fileBlock,
                                                    std::uint64_t& allocated, bool& fresh,
                                                    BlockMapState& state) {
  if (fileBlock >= GetCapacity()) ThrowFileError(0x47, kModuleId, kFileSeekError);
  state.Clear();
  TreeWriter writer(driver_, area);
  try {
    const std::uint64_t block = writer.Map(fileBlock, fresh);
    allocated += writer.allocated_;
    return block;
  } catch (...) {
    // Node blocks linked before the failure stay in the tree and count.
    allocated += writer.allocated_;
    throw;
  }
}

std::uint64_t ExtentsLocationProcessor::FreeFrom(std::uint8_t* area, std::uint64_t fileBlock,
                                                 BlockMapState& state) {
  state.Clear();
  CheckNode(area, kMapAreaSize);
  TreeWriter writer(driver_, area);
  std::vector<Extent> freed;
  bool changed = false;
  writer.Cut(area, fileBlock, freed, changed);
  writer.Collapse(freed);
  ExtfsAllocator& allocator = driver_->BlockAllocator();
  std::uint64_t count = 0;
  for (const Extent& e : freed) {
    for (std::uint64_t b = 0; b < e.length; ++b) allocator.Free(e.start + b, 0);
    count += e.length;
  }
  return count;
}

}  // namespace extfs
}  // namespace filesystems
