// Next-fit allocation of blocks and inodes over the group bitmaps, with the
// descriptors' counts kept in step and uninitialised bitmaps built on first
// use.
#include "filesystems/ext_alloc.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/ext_inode.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace extfs {
namespace {

constexpr std::uint32_t kModuleId = kExtAllocModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

// A descriptor count split into a low half and, with 64-bit descriptors, a
// high half.
std::uint32_t LoadSplit(const ExtfsDriver* driver, const std::uint8_t* d, std::uint32_t low,
                        std::uint32_t high) {
  std::uint32_t value = Common::LoadLe16(d + low);
  if (driver->Is64Bit()) value |= std::uint32_t(Common::LoadLe16(d + high)) << 16;
  return value;
}
void StoreSplit(const ExtfsDriver* driver, std::uint8_t* d, std::uint32_t low, std::uint32_t high,
                std::uint32_t value) {
  Common::StoreLe16(d + low, std::uint16_t(value));
  if (driver->Is64Bit()) Common::StoreLe16(d + high, std::uint16_t(value >> 16));
}

std::uint32_t CountSetBits(const std::uint8_t* bits, std::uint32_t count) {
  static const auto table = [] {
    struct Table {
      std::uint8_t v[256];
    } t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t n = 0;
      for (std::uint32_t b = i; b; b >>= 1) n += b & 1;
      t.v[i] = std::uint8_t(n);
    }
    return t;
  }();
  std::uint32_t n = 0;
  std::uint32_t i = 0;
  for (; i + 8 <= count; i += 8) n += table.v[bits[i / 8]];
  for (; i < count; ++i) n += (bits[i / 8] >> (i % 8)) & 1;
  return n;
}

}  // namespace

ExtfsAllocator::ExtfsAllocator(ExtfsDriver* driver, Kind kind)
    : driver_(driver), kind_(kind), groupCount_(driver->GroupCount()) {
  driver_->RequireWritable(0x01);
  if (kind_ == kBlocks) {
    perGroup_ = driver_->BlocksPerGroup();
    total_ = driver_->BlockCount();
    firstObject_ = driver_->FirstDataBlock();
    restart_ = firstObject_;
  } else {
    perGroup_ = driver_->InodesPerGroup();
    total_ = driver_->InodesCount();
    firstObject_ = 0;
    restart_ = driver_->FirstInodeIndex();
  }
  cursor_ = restart_;
}

ExtfsAllocator::~ExtfsAllocator() = default;

std::uint32_t ExtfsAllocator::GroupLimit(std::uint32_t group) const {
  const std::uint64_t start = std::uint64_t(group) * perGroup_;
  return std::uint32_t(std::min<std::uint64_t>(perGroup_, total_ - firstObject_ - start));
}

void ExtfsAllocator::BuildBlockBitmap(std::uint32_t group, std::uint8_t* bits) {
  // A group whose bitmap was never written still holds metadata: its
  // superblock backup and descriptor copies, the reserved descriptor blocks,
  // and whatever bitmaps and inode tables of any group were placed in it.
  const std::uint64_t start = driver_->FirstDataBlock() + std::uint64_t(group) * perGroup_;
  const std::uint32_t limit = GroupLimit(group);
  auto mark = [&](std::uint64_t first, std::uint64_t count) {
    for (std::uint64_t b = first; b < first + count; ++b)
      if (b >= start && b < start + limit) bits[(b - start) / 8] |= std::uint8_t(1u << ((b - start) % 8));
  };
  const std::uint8_t* sb = driver_->Superblock();
  const bool metaBg = (driver_->GetIncompatFeatures() & kIncompatMetaBg) != 0;
  const std::uint32_t perBlock = driver_->BlockSize() / driver_->GetDescriptorSize();
  const bool backup = driver_->HasSuperblockBackup(group);
  if (backup) {
    const std::uint64_t superblock = group == 0 ? driver_->SuperblockBlock() : start;
    mark(start, superblock - start + 1);
    mark(superblock + 1, std::uint64_t(driver_->DescriptorBlocks()) + Common::LoadLe16(sb + 0xCE));
  }
  if (metaBg) {
    const std::uint32_t within = group % perBlock;
    if (group / perBlock >= Common::LoadLe32(sb + 0x104) &&
        (within == 0 || within == 1 || within == perBlock - 1))
      mark(start + (backup ? 1 : 0), 1);
  }
  for (std::uint32_t g = 0; g < groupCount_; ++g) {
    mark(driver_->GetBlockBitmapBlock(g), 1);
    mark(driver_->GetInodeBitmapBlock(g), 1);
    mark(driver_->GetInodeTableBlock(g), driver_->InodeTableBlocks());
  }
}

BlockHandle ExtfsAllocator::LoadBitmap(std::uint32_t group) {
  const std::uint64_t block =
      kind_ == kBlocks ? driver_->GetBlockBitmapBlock(group) : driver_->GetInodeBitmapBlock(group);
  const std::uint16_t flag = kind_ == kBlocks ? kGroupBlockUninit : kGroupInodeUninit;
  const std::uint8_t* d = driver_->GetGroupDescriptor(group);
  const bool uninit =
      driver_->HasGroupDescriptorChecksums() && (Common::LoadLe16(d + 0x12) & flag) != 0;
  if (!uninit) return driver_->GetBlock(block, false);
  BlockHandle handle = driver_->GetBlock(block, true);
  handle.PrepareWrite();
  std::uint8_t* bits = handle.Data();
  std::memset(bits, 0xFF, driver_->BlockSize());
  std::memset(bits, 0, perGroup_ / 8);
  for (std::uint32_t i = perGroup_ / 8 * 8; i < perGroup_; ++i) bits[i / 8] &= ~std::uint8_t(1u << (i % 8));
  const std::uint32_t limit = GroupLimit(group);
  for (std::uint32_t i = limit; i < perGroup_; ++i) bits[i / 8] |= std::uint8_t(1u << (i % 8));
  if (kind_ == kBlocks) BuildBlockBitmap(group, bits);
  handle.MarkDirty();
  std::uint8_t* w = driver_->GetGroupDescriptorForWrite(group);
  Common::StoreLe16(w + 0x12, std::uint16_t(Common::LoadLe16(w + 0x12) & ~flag));
  if (kind_ == kInodes) StoreSplit(driver_, w, 0x1C, 0x32, perGroup_);
  return handle;
}

void ExtfsAllocator::LoadGroupBitmap(std::uint32_t group) {
  if (bitmap_ && currentGroup_ == group) return;
  bitmap_.Release();
  currentGroup_ = ~std::uint64_t(0);
  bitmap_ = LoadBitmap(group);
  currentGroup_ = group;
  groupFree_ = perGroup_ - CountSetBits(bitmap_.Data(), perGroup_);
}

void ExtfsAllocator::UpdateGroupCounts(std::uint32_t group, bool allocated, std::uint32_t bit,
                                       std::uint32_t objectType) {
  std::uint8_t* d = driver_->GetGroupDescriptorForWrite(group);
  if (kind_ == kBlocks) {
    StoreSplit(driver_, d, 0x0C, 0x2C, groupFree_);
    return;
  }
  StoreSplit(driver_, d, 0x0E, 0x2E, groupFree_);
  if (objectType == kTypeDirectory) {
    const std::uint32_t dirs = LoadSplit(driver_, d, 0x10, 0x30);
    StoreSplit(driver_, d, 0x10, 0x30, allocated ? dirs + 1 : (dirs ? dirs - 1 : 0));
  }
  if (allocated && driver_->HasGroupDescriptorChecksums()) {
    const std::uint32_t unused = LoadSplit(driver_, d, 0x1C, 0x32);
    if (unused <= perGroup_ && bit >= perGroup_ - unused)
      StoreSplit(driver_, d, 0x1C, 0x32, perGroup_ - bit - 1);
  }
}

std::uint64_t ExtfsAllocator::Allocate(std::uint32_t objectType) {
  try {
    return Take(objectType);
  } catch (const Common::Error& e) {
    // Out of room: what waits to be freed may be freed once what pointed
    // at it is off the disk, so a write-back goes first.
    if (e.Code() != kFileDiskFull || pending_.empty() || !driver_->WriteBackNow()) throw;
  }
  ReleasePending();
  return Take(objectType);
}

void ExtfsAllocator::Free(std::uint64_t number, std::uint32_t objectType) {
  if (number < firstObject_ || number >= total_) Corrupted(0x21);
  if (!InUse(number) || !pending_.emplace(number, objectType).second) Corrupted(0x22);
  if (kind_ == kBlocks) {
    driver_->NoteFreedBlock(number);
    driver_->DiscardBlock(number * driver_->SectorsPerBlock());
  }
}

bool ExtfsAllocator::ReleasePending() {
  if (pending_.empty()) return false;
  std::map<std::uint64_t, std::uint32_t> pending;
  pending.swap(pending_);
  for (const auto& entry : pending) Clear(entry.first, entry.second);
  return true;
}

std::uint64_t ExtfsAllocator::Take(std::uint32_t objectType) {
  if (full_) ThrowFileError(0x10, kModuleId, kFileDiskFull);
  const std::uint64_t stop = cursor_ == restart_ ? total_ : cursor_;
  for (;;) {
    if (cursor_ >= total_) cursor_ = restart_;
    const std::uint64_t r = cursor_ - firstObject_;
    const std::uint32_t group = std::uint32_t(r / perGroup_);
    const std::uint32_t bit = std::uint32_t(r % perGroup_);
    const std::uint32_t limit = GroupLimit(group);
    const std::uint64_t groupStart = firstObject_ + std::uint64_t(group) * perGroup_;
    LoadGroupBitmap(group);
    const std::uint8_t* bits = bitmap_.Data();
    std::uint32_t found = limit;
    for (std::uint32_t i = bit; i < limit;) {
      if ((i % 8) == 0 && i + 8 <= limit && bits[i / 8] == 0xFF) {
        i += 8;
        continue;
      }
      if (!((bits[i / 8] >> (i % 8)) & 1)) {
        found = i;
        break;
      }
      ++i;
    }
    if (found < limit) {
      bitmap_.PrepareWrite();
      bitmap_.Data()[found / 8] |= std::uint8_t(1u << (found % 8));
      --groupFree_;
      bitmap_.MarkDirty();
      UpdateGroupCounts(group, true, found, objectType);
      const std::uint64_t result = groupStart + found;
      cursor_ = result + 1;
      if (kind_ == kBlocks) driver_->NoteFreshBlock(result);
      return result;
    }
    if (cursor_ < stop && stop <= groupStart + limit) {
      full_ = true;
      ThrowFileError(0x11, kModuleId, kFileDiskFull);
    }
    cursor_ = groupStart + limit;
  }
}

bool ExtfsAllocator::InUse(std::uint64_t number) {
  if (number < firstObject_ || number >= total_) Corrupted(0x20);
  const std::uint64_t r = number - firstObject_;
  LoadGroupBitmap(std::uint32_t(r / perGroup_));
  const std::uint32_t bit = std::uint32_t(r % perGroup_);
  return ((bitmap_.Data()[bit / 8] >> (bit % 8)) & 1) != 0;
}

void ExtfsAllocator::Clear(std::uint64_t number, std::uint32_t objectType) {
  const std::uint64_t r = number - firstObject_;
  const std::uint32_t group = std::uint32_t(r / perGroup_);
  const std::uint32_t bit = std::uint32_t(r % perGroup_);
  LoadGroupBitmap(group);
  if (!((bitmap_.Data()[bit / 8] >> (bit % 8)) & 1)) Corrupted(0x23);
  bitmap_.PrepareWrite();
  bitmap_.Data()[bit / 8] &= ~std::uint8_t(1u << (bit % 8));
  ++groupFree_;
  bitmap_.MarkDirty();
  full_ = false;
  UpdateGroupCounts(group, false, bit, objectType);
}

}  // namespace extfs
}  // namespace filesystems
