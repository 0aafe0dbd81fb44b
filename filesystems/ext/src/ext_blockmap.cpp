// Ext block maps: lookups through the classic indirect table and through
// extent trees, answering runs of mapped blocks and of holes.
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

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

constexpr std::uint32_t kDirectPointers = 12;

}  // namespace

BlockMapState::BlockMapState(ExtfsDriver* driver, std::uint32_t levels)
    : driver_(driver), held_(levels), heldBlock_(levels, kNotMapped) {}

const std::uint8_t* BlockMapState::Fetch(std::uint32_t level, std::uint64_t block) {
  if (level >= held_.size()) Corrupted(0x01);
  if (heldBlock_[level] != block || !held_[level]) {
    heldBlock_[level] = kNotMapped;
    held_[level] = driver_->GetBlock(block, false);
    heldBlock_[level] = block;
  }
  return held_[level].Data();
}

void BlockMapState::Clear() noexcept {
  for (std::size_t i = 0; i < held_.size(); ++i) {
    held_[i].Release();
    heldBlock_[i] = kNotMapped;
  }
}

InodeLocationProcessor::~InodeLocationProcessor() = default;

std::uint64_t LegacyLocationProcessor::GetCapacity() const {
  const std::uint64_t p = driver_->PointersPerBlock();
  return kDirectPointers + p + p * p + p * p * p;
}

std::uint64_t LegacyLocationProcessor::GetFirstBlock(const std::uint8_t* area) {
  for (std::uint32_t i = 0; i < 15; ++i) {
    const std::uint32_t pointer = Common::LoadLe32(area + 4 * i);
    if (pointer != 0) return pointer;
  }
  return 0;
}

MappedRun LegacyLocationProcessor::Lookup(const std::uint8_t* area, std::uint64_t fileBlock,
                                          BlockMapState& state) {
  const std::uint64_t p = driver_->PointersPerBlock();
  MappedRun run;
  // Count the pointers of a table from `slot` on that continue (or, for a
  // zero pointer, share) the first one's answer.
  auto runIn = [&](const std::uint8_t* table, std::uint64_t slot, std::uint64_t slots) {
    const std::uint32_t first = Common::LoadLe32(table + 4 * slot);
    std::uint64_t length = 1;
    for (std::uint64_t k = slot + 1; k < slots; ++k) {
      const std::uint32_t pointer = Common::LoadLe32(table + 4 * k);
      if (first == 0 ? pointer != 0 : pointer != first + (k - slot)) break;
      ++length;
    }
    run.block = first == 0 ? kNotMapped : first;
    run.length = length;
    return run;
  };
  if (fileBlock < kDirectPointers) return runIn(area, fileBlock, kDirectPointers);
  std::uint64_t x = fileBlock - kDirectPointers;
  std::uint32_t depth = 1;
  std::uint64_t span = p;  // file blocks under the top pointer
  if (x >= span) {
    x -= span;
    depth = 2;
    span = p * p;
    if (x >= span) {
      x -= span;
      depth = 3;
      span = p * p * p;
      if (x >= span) ThrowFileError(0x02, kModuleId, kFileSeekError);
    }
  }
  std::uint32_t pointer = Common::LoadLe32(area + 4 * (kDirectPointers + depth - 1));
  for (std::uint32_t level = 0;; ++level) {
    if (pointer == 0) {
      run.block = kNotMapped;
      run.length = span - x;
      return run;
    }
    const std::uint8_t* table = state.Fetch(level, pointer);
    span /= p;  // file blocks under one pointer of this table
    const std::uint64_t slot = x / span;
    x %= span;
    if (level + 1 == depth) return runIn(table, slot, p);
    pointer = Common::LoadLe32(table + 4 * slot);
  }
}

void LegacyLocationProcessor::InitializeRoot(std::uint8_t* area) {
  std::memset(area, 0, kMapAreaSize);
}

std::uint64_t LegacyLocationProcessor::MapForWrite(std::uint8_t* area, std::uint64_t fileBlock,
                                                   std::uint64_t& allocated, bool& fresh,
                                                   BlockMapState& state) {
  fresh = false;
  state.Clear();
  const std::uint64_t p = driver_->PointersPerBlock();
  // The path: the slot in the inode, then one slot per indirect level.
  std::uint32_t slots[4] = {};
  std::uint32_t depth = 0;
  if (fileBlock < kDirectPointers) {
    slots[0] = std::uint32_t(fileBlock);
  } else {
    std::uint64_t x = fileBlock - kDirectPointers;
    std::uint64_t span = p;
    depth = 1;
    while (x >= span) {
      x -= span;
      if (++depth > 3) ThrowFileError(0x30, kModuleId, kFileSeekError);
      span *= p;
    }
    slots[0] = kDirectPointers + depth - 1;
    for (std::uint32_t level = 1; level <= depth; ++level) {
      span /= p;
      slots[level] = std::uint32_t(x / span);
      x %= span;
    }
  }
  ExtfsAllocator& allocator = driver_->BlockAllocator();
  BlockHandle parent;
  std::uint8_t* table = area;
  for (std::uint32_t level = 0;; ++level) {
    std::uint32_t pointer = Common::LoadLe32(table + 4 * slots[level]);
    const bool last = level == depth;
    if (pointer == 0) {
      const std::uint64_t block = allocator.Allocate(0);
      try {
        // Pointers are 32 bits wide: a block above them cannot be linked.
        if (block >> 32) ThrowFileError(0x31, kModuleId, kFileDiskFull);
        if (!last) {
          BlockHandle node = driver_->GetBlock(block, true);
          node.PrepareWrite();
          std::memset(node.Data(), 0, driver_->BlockSize());
          node.MarkDirty();
        }
        if (parent) parent.PrepareWrite();
      } catch (...) {
        allocator.Free(block, 0);
        throw;
      }
      Common::StoreLe32(table + 4 * slots[level], std::uint32_t(block));
      if (parent) parent.MarkDirty();
      ++allocated;
      pointer = std::uint32_t(block);
      if (last) fresh = true;
    }
    if (last) return pointer;
    parent = driver_->GetBlock(pointer, false);
    table = parent.Data();
  }
}

std::uint64_t LegacyLocationProcessor::FreeTree(std::uint32_t block, std::uint32_t levels,
                                                std::uint64_t base, std::uint64_t from,
                                                std::vector<std::uint64_t>& freed) {
  // `levels` indirect levels lie under `block`, whose first file block is
  // `base`; everything mapping blocks at or past `from` goes.
  const std::uint64_t p = driver_->PointersPerBlock();
  std::uint64_t span = 1;
  for (std::uint32_t i = 1; i < levels; ++i) span *= p;
  BlockHandle handle = driver_->GetBlock(block, false);
  bool changed = false;
  for (std::uint64_t k = 0; k < p; ++k) {
    const std::uint64_t childBase = base + k * span;
    if (childBase + span <= from) continue;
    const std::uint32_t pointer = Common::LoadLe32(handle.Data() + 4 * k);
    if (pointer == 0) continue;
    if (levels > 1) FreeTree(pointer, levels - 1, childBase, from, freed);
    if (childBase >= from) {
      if (levels == 1) freed.push_back(pointer);
      if (!changed) handle.PrepareWrite();
      changed = true;
      Common::StoreLe32(handle.Data() + 4 * k, 0);
    }
  }
  if (changed) handle.MarkDirty();
  if (base >= from) freed.push_back(block);
  return freed.size();
}

std::uint64_t LegacyLocationProcessor::FreeFrom(std::uint8_t* area, std::uint64_t fileBlock,
                                                BlockMapState& state) {
  state.Clear();
  std::vector<std::uint64_t> freed;
  for (std::uint32_t i = 0; i < kDirectPointers; ++i) {
    const std::uint32_t pointer = Common::LoadLe32(area + 4 * i);
    if (i < fileBlock || pointer == 0) continue;
    freed.push_back(pointer);
    Common::StoreLe32(area + 4 * i, 0);
  }
  const std::uint64_t p = driver_->PointersPerBlock();
  std::uint64_t base = kDirectPointers;
  std::uint64_t span = p;
  for (std::uint32_t depth = 1; depth <= 3; ++depth, base += span, span *= p) {
    std::uint8_t* slot = area + 4 * (kDirectPointers + depth - 1);
    const std::uint32_t pointer = Common::LoadLe32(slot);
    if (pointer == 0 || base + span <= fileBlock) continue;
    FreeTree(pointer, depth, base, fileBlock, freed);
    if (base >= fileBlock) Common::StoreLe32(slot, 0);
  }
  ExtfsAllocator& allocator = driver_->BlockAllocator();
  for (std::uint64_t block : freed) allocator.Free(block, 0);
  return freed.size();
}

void ExtentsLocationProcessor::CheckNode(const std::uint8_t* node, std::uint32_t room) {
  if (Common::LoadLe16(node) != kMagic) Corrupted(0x10);
  const std::uint32_t entries = Common::LoadLe16(node + 2);
  const std::uint32_t capacity = Common::LoadLe16(node + 4);
  const std::uint32_t depth = Common::LoadLe16(node + 6);
  if (entries > capacity || capacity * 12 + 12 > room) Corrupted(0x11);
  if (depth != 0 && entries == 0) Corrupted(0x12);
}

std::uint64_t ExtentsLocationProcessor::GetFirstBlock(const std::uint8_t* area) {
  CheckNode(area, kMapAreaSize);
  if (Common::LoadLe16(area + 2) == 0) return 0;
  const std::uint8_t* entry = area + 12;
  if (Common::LoadLe16(area + 6) > 0)
    return Common::LoadLe32(entry + 4) | std::uint64_t(Common::LoadLe16(entry + 8)) << 32;
  return Common::LoadLe32(entry + 8) | std::uint64_t(Common::LoadLe16(entry + 6)) << 32;
}

MappedRun ExtentsLocationProcessor::Lookup(const std::uint8_t* area, std::uint64_t fileBlock,
                                           BlockMapState& state) {
  MappedRun run;
  if (fileBlock >= GetCapacity()) ThrowFileError(0x13, kModuleId, kFileSeekError);
  const std::uint8_t* node = area;
  CheckNode(node, kMapAreaSize);
  std::uint32_t depth = Common::LoadLe16(node + 6);
  if (depth > kMaxDepth) Corrupted(0x14);
  std::uint32_t level = 0;
  // Where the subtree being walked ends: a hole after its last extent runs
  // to there.
  std::uint64_t upper = GetCapacity();
  while (depth > 0) {
    const std::uint32_t entries = Common::LoadLe16(node + 2);
    std::uint32_t pick = 0;
    for (std::uint32_t i = 1; i < entries; ++i) {
      const std::uint32_t key = Common::LoadLe32(node + 12 + 12 * i);
      if (key > fileBlock) {
        upper = std::min<std::uint64_t>(upper, key);
        break;
      }
      pick = i;
    }
    const std::uint8_t* entry = node + 12 + 12 * pick;
    const std::uint64_t child =
        Common::LoadLe32(entry + 4) | std::uint64_t(Common::LoadLe16(entry + 8)) << 32;
    node = state.Fetch(level++, child);
    CheckNode(node, driver_->BlockSize());
    const std::uint32_t childDepth = Common::LoadLe16(node + 6);
    if (childDepth >= depth) Corrupted(0x15);
    depth = childDepth;
  }
  const std::uint32_t entries = Common::LoadLe16(node + 2);
  std::uint64_t nextStart = kNotMapped;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint8_t* extent = node + 12 + 12 * i;
    const std::uint64_t first = Common::LoadLe32(extent);
    std::uint32_t length = Common::LoadLe16(extent + 4);
    const bool uninitialised = length > 32768;
    if (uninitialised) length -= 32768;
    if (first > fileBlock) {
      nextStart = std::min(nextStart, first);
      continue;
    }
    if (fileBlock - first >= length) continue;
    const std::uint64_t start =
        Common::LoadLe32(extent + 8) | std::uint64_t(Common::LoadLe16(extent + 6)) << 32;
    if (start == 0) continue;
    run.block = start + (fileBlock - first);
    run.length = first + length - fileBlock;
    run.uninitialised = uninitialised;
    return run;
  }
  run.block = kNotMapped;
  if (nextStart == kNotMapped) nextStart = std::max(upper, fileBlock + 1);
  run.length = nextStart - fileBlock;
  return run;
}

}  // namespace extfs
}  // namespace filesystems
