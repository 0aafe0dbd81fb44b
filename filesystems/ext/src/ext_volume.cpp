// Mounting an ext volume: the superblock's checks, the group descriptors
// with their checksums, the read-only decision, and the write-back of the
// descriptors and the superblock.
#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/ext_alloc.h"
#include "filesystems/ext_driver.h"
#include "filesystems/ext_inode.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace extfs {
namespace {

constexpr std::uint32_t kModuleId = kExtVolumeModuleId;
constexpr std::uint16_t kMagic = 0xEF53;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }
[[noreturn]] void NotSupported(std::uint32_t site) {
  ThrowFileError(site, kModuleId, kFileNotSupported);
}

bool IsPowerOf(std::uint32_t value, std::uint32_t base) {
  while (value > 1 && value % base == 0) value /= base;
  return value == 1;
}

}  // namespace

std::uint16_t Crc16(std::uint16_t crc, const void* data, std::size_t size) {
  static const auto table = [] {
    struct Table {
      std::uint16_t v[256];
    } t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
      t.v[i] = std::uint16_t(c);
    }
    return t;
  }();
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) crc = std::uint16_t((crc >> 8) ^ table.v[(crc ^ bytes[i]) & 0xFF]);
  return crc;
}

ExtfsDriver::ExtfsDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t size,
                         std::uint32_t cacheKey, const std::uint8_t* filter,
                         std::uint32_t filterBits)
    : FileSystemDriverPosix(device, offset, size, cacheKey),
      filter_(filter),
      filterBits_(filterBits) {
  if (filterBits_ != 0) {
    readOnly_ = true;
    readOnlyReasons_ |= kReadOnlyFilter;
  }
  ReadSuperblock();
  LoadGroupDescriptors();
  inodes_ = std::make_unique<InodeCache>(this);
}

ExtfsDriver::~ExtfsDriver() {
  DeleteDirectoryObjects();
  WriteBack();
  blockAllocator_.reset();
  inodeAllocator_.reset();
  inodes_.reset();
}

ExtfsAllocator& ExtfsDriver::BlockAllocator() {
  RequireWritable(0x30);
  if (!blockAllocator_) blockAllocator_ = std::make_unique<ExtfsAllocator>(this, ExtfsAllocator::kBlocks);
  return *blockAllocator_;
}

ExtfsAllocator& ExtfsDriver::InodeAllocator() {
  RequireWritable(0x31);
  if (!inodeAllocator_) inodeAllocator_ = std::make_unique<ExtfsAllocator>(this, ExtfsAllocator::kInodes);
  return *inodeAllocator_;
}

bool ExtfsDriver::EnableRoCompatFeature(std::uint32_t bit) {
  const std::uint32_t features = GetRoCompatFeatures();
  if (features & bit) return true;
  if (bit != kRoCompatLargeFile && !(version_ == kExt4 && (bit == kRoCompatHugeFile || bit == kRoCompatDirNlink)))
    return false;
  RequireWritable(0x32);
  Common::StoreLe32(superblock_ + 0x64, features | bit);
  superblockDirty_ = true;
  return true;
}

void ExtfsDriver::WriteBlocksAt(const void* buffer, std::uint64_t first, std::uint64_t count) {
  std::uint64_t end = 0;
  if (!Common::CheckedAdd(first, count, &end) || end > blockCount_) Corrupted(0x33);
  RequireWritable(0x34);
  WriteBlocks(buffer, first * sectorsPerBlock_, count * sectorsPerBlock_);
}

void ExtfsDriver::ZeroBlocks(std::uint64_t first, std::uint64_t count) {
  static const std::vector<std::uint8_t> zeros(128 * 1024, 0);
  const std::uint64_t perWrite = std::max<std::uint64_t>(1, zeros.size() / blockSize_);
  while (count > 0) {
    const std::uint64_t n = std::min(count, perWrite);
    if (n * blockSize_ <= zeros.size()) {
      WriteBlocksAt(zeros.data(), first, n);
    } else {
      BlockHandle block = GetBlock(first, true);
      block.PrepareWrite();
      std::memset(block.Data(), 0, blockSize_);
      block.MarkDirty();
    }
    first += n;
    count -= n;
  }
}

void ExtfsDriver::WriteBack() noexcept {
  try {
    Flush();
  } catch (...) {
    // Destruction never fails; what could not be written stays unwritten.
  }
}

std::uint32_t ExtfsDriver::GetCompatFeatures() const noexcept {
  return Common::LoadLe32(superblock_ + 0x5C);
}
std::uint32_t ExtfsDriver::GetIncompatFeatures() const noexcept {
  return Common::LoadLe32(superblock_ + 0x60);
}
std::uint32_t ExtfsDriver::GetRoCompatFeatures() const noexcept {
  return Common::LoadLe32(superblock_ + 0x64);
}

void ExtfsDriver::CheckFeatures() {
  const std::uint32_t incompat = GetIncompatFeatures();
  if ((incompat & ~kIncompatSupported) != 0) NotSupported(0x10);
  if (Common::LoadLe32(superblock_ + 0x4C) > 1) NotSupported(0x11);
  if (Common::LoadLe32(superblock_ + 0x48) != 0) NotSupported(0x12);
  if ((GetRoCompatFeatures() & ~kRoCompatWritable) != 0) {
    readOnly_ = true;
    readOnlyReasons_ |= kReadOnlyFeatures;
  }
}

void ExtfsDriver::ReadSuperblock() {
  const std::uint32_t sectorSize = SectorSize();
  if (sectorSize == 0 || sectorSize > 4096 * 16) Corrupted(0x01);
  {
    const std::uint64_t first = kSuperblockSize / sectorSize;
    const std::uint64_t last = (2 * kSuperblockSize - 1) / sectorSize;
    if (last >= PartitionSize()) Corrupted(0x02);
    BlockHandle block = GetBlocks(first, last - first + 1, false);
    std::memcpy(superblock_, block.Data() + kSuperblockSize % sectorSize, kSuperblockSize);
  }
  const std::uint8_t* sb = superblock_;
  if (Common::LoadLe16(sb + 0x38) != kMagic) Corrupted(0x03);
  if (GetIncompatFeatures() & kIncompatRecover) {
    // The journal holds changes the volume does not show yet. Replaying it
    // is not this driver's work: the volume is shown as found and never
    // written, so that the journal and its flag survive for a checker.
    readOnly_ = true;
    readOnlyReasons_ |= kReadOnlyJournal;
  }
  CheckFeatures();
  const std::uint32_t incompat = GetIncompatFeatures();
  const std::uint32_t roCompat = GetRoCompatFeatures();
  logBlockSize_ = Common::LoadLe32(sb + 0x18);
  if (logBlockSize_ > kMaxLogBlockSize) Corrupted(0x04);
  if (roCompat & kRoCompatExtraIsize) {
    // (checked below, once the inode size is known)
  }
  version_ = ((roCompat & 0x78) || (incompat & 0x3C0) || logBlockSize_ + 10 > 13) ? kExt4
             : (GetCompatFeatures() & kCompatHasJournal)                          ? kExt3
                                                                                  : kExt2;
  blockSize_ = 1024u << logBlockSize_;
  if (blockSize_ % sectorSize != 0) Corrupted(0x05);
  sectorsPerBlock_ = blockSize_ / sectorSize;
  const bool wide = (incompat & kIncompat64Bit) != 0;
  blockCount_ = Common::LoadLe32(sb + 0x04) |
                (wide ? std::uint64_t(Common::LoadLe32(sb + 0x150)) << 32 : 0);
  if (blockCount_ == 0) Corrupted(0x06);
  std::uint64_t sectors = 0;
  if (!Common::CheckedMul<std::uint64_t>(blockCount_, sectorsPerBlock_, &sectors) ||
      sectors > PartitionSize())
    Corrupted(0x07);
  if (wide) {
    descriptorSize_ = Common::LoadLe16(sb + 0xFE);
    if (descriptorSize_ < 64 || descriptorSize_ > 1024 || blockSize_ % descriptorSize_ != 0)
      Corrupted(0x08);
  } else {
    descriptorSize_ = 32;
  }
  const std::uint32_t revision = Common::LoadLe32(sb + 0x4C);
  const std::uint32_t firstInode = revision >= 1 ? Common::LoadLe32(sb + 0x54) : 11;
  if (firstInode < 11) Corrupted(0x09);

  // With big allocation clusters a group counts clusters; the blocks of a
  // group are that many clusters' worth. Such volumes are mounted read-only.
  const std::uint32_t logClusterSize = Common::LoadLe32(sb + 0x1C);
  const std::uint32_t clustersPerGroup = Common::LoadLe32(sb + 0x24);
  const bool bigalloc = (roCompat & kRoCompatBigalloc) != 0;
  std::uint32_t clusterShift = 0;
  if (bigalloc) {
    if (logClusterSize < logBlockSize_ || logClusterSize - logBlockSize_ > 16) Corrupted(0x0A);
    clusterShift = logClusterSize - logBlockSize_;
  }
  if (clustersPerGroup == 0 || clustersPerGroup > 8 * blockSize_) Corrupted(0x0B);
  if (bigalloc) {
    blocksPerGroup_ = Common::LoadLe32(sb + 0x20);
    if (std::uint64_t(clustersPerGroup) << clusterShift != blocksPerGroup_) Corrupted(0x0C);
  } else {
    blocksPerGroup_ = Common::LoadLe32(sb + 0x20);
    if (blocksPerGroup_ == 0 || blocksPerGroup_ > 8 * blockSize_) Corrupted(0x0C);
  }
  inodesPerGroup_ = Common::LoadLe32(sb + 0x28);
  if (inodesPerGroup_ == 0 || inodesPerGroup_ > 8 * blockSize_) Corrupted(0x0D);
  inodeSize_ = revision >= 1 ? Common::LoadLe16(sb + 0x58) : 128;
  if (inodeSize_ < 128 || blockSize_ % inodeSize_ != 0) Corrupted(0x0E);
  if (roCompat & kRoCompatExtraIsize) {
    const std::uint32_t minimum = Common::LoadLe16(sb + 0x15C);
    const std::uint32_t wanted = Common::LoadLe16(sb + 0x15E);
    if (minimum > wanted || 128 + wanted > inodeSize_) Corrupted(0x0F);
  }
  inodesPerBlock_ = blockSize_ / inodeSize_;
  if (inodesPerGroup_ % inodesPerBlock_ != 0) Corrupted(0x13);
  inodeTableBlocks_ = inodesPerGroup_ / inodesPerBlock_;
  firstDataBlock_ = Common::LoadLe32(sb + 0x14);
  if (firstDataBlock_ >= blockCount_) Corrupted(0x14);
  const std::uint64_t groups = (blockCount_ - firstDataBlock_ - 1) / blocksPerGroup_ + 1;
  if (groups > 0xFFFFFFFFu) Corrupted(0x15);
  groupCount_ = std::uint32_t(groups);
  inodesCount_ = Common::LoadLe32(sb + 0x00);
  if (std::uint64_t(inodesPerGroup_) * groupCount_ != inodesCount_) Corrupted(0x16);
  firstInodeIndex_ = firstInode - 1;
  if (firstInodeIndex_ >= inodesCount_) Corrupted(0x17);
  const std::uint32_t perBlock = blockSize_ / descriptorSize_;
  descriptorBlocks_ = (groupCount_ - 1) / perBlock + 1;
  if (incompat & kIncompatMetaBg) {
    const std::uint32_t firstMeta = Common::LoadLe32(sb + 0x104);
    if (firstMeta > descriptorBlocks_) Corrupted(0x18);
    descriptorBlocks_ = firstMeta;
  }
  const std::uint64_t needed = std::max<std::uint64_t>(descriptorBlocks_, inodeTableBlocks_ + 4);
  if (needed >= std::min<std::uint64_t>(blockCount_ - firstDataBlock_, blocksPerGroup_))
    Corrupted(0x19);
  if ((incompat & kIncompatFlexBg) && sb[0x174] >= 32) Corrupted(0x1A);
  if (firstDataBlock_ != (blockSize_ == 1024 && !bigalloc ? 1u : 0u)) NotSupported(0x1B);
  if (!bigalloc && (logClusterSize != logBlockSize_ || clustersPerGroup != blocksPerGroup_))
    NotSupported(0x1C);
  freeInodesCount_ = Common::LoadLe32(sb + 0x10);
  if (freeInodesCount_ > inodesCount_ - firstInodeIndex_) Corrupted(0x1D);
  freeBlockCount_ = Common::LoadLe32(sb + 0x0C) |
                    (wide ? std::uint64_t(Common::LoadLe32(sb + 0x158)) << 32 : 0);
  if (freeBlockCount_ >= blockCount_) Corrupted(0x1E);
  const std::uint64_t reserved = Common::LoadLe32(sb + 0x08) |
                                 (wide ? std::uint64_t(Common::LoadLe32(sb + 0x154)) << 32 : 0);
  if (reserved >= blockCount_) Corrupted(0x1F);
  std::size_t nameLength = 0;
  while (nameLength < 16 && sb[0x78 + nameLength] != 0) ++nameLength;
  if (!Common::Utf8ToUtf16(label_, reinterpret_cast<const char*>(sb + 0x78), nameLength))
    label_.clear();
}

std::uint32_t ExtfsDriver::SuperblockBlock() const noexcept {
  // With 1 KiB blocks and big clusters the first data block is 0, yet the
  // superblock still fills block 1 and the descriptors follow it.
  return firstDataBlock_ == 0 && blockSize_ == 1024 ? 1 : firstDataBlock_;
}

bool ExtfsDriver::HasSuperblockBackup(std::uint32_t group) const noexcept {
  if (!(GetRoCompatFeatures() & kRoCompatSparseSuper)) return true;
  if (group <= 1) return true;
  return IsPowerOf(group, 3) || IsPowerOf(group, 5) || IsPowerOf(group, 7);
}

void ExtfsDriver::LoadGroupDescriptors() {
  // A table larger than the volume itself cannot be real: refuse it before
  // asking the heap for it.
  const std::uint64_t tableBytes = std::uint64_t(groupCount_) * descriptorSize_;
  if (tableBytes > PartitionSize() * SectorSize()) Corrupted(0x20);
  descriptors_.assign(CheckDiskSizedAllocation(tableBytes), 0);
  dirtyGroups_.assign(groupCount_, false);
  const std::uint32_t perBlock = blockSize_ / descriptorSize_;
  std::uint64_t copied = 0;
  for (std::uint32_t i = 0; i < descriptorBlocks_ && copied < tableBytes; ++i) {
    BlockHandle block = GetBlock(std::uint64_t(SuperblockBlock()) + 1 + i, false);
    const std::uint64_t n = std::min<std::uint64_t>(blockSize_, tableBytes - copied);
    std::memcpy(descriptors_.data() + copied, block.Data(), std::size_t(n));
    copied += n;
  }
  for (std::uint64_t g = std::uint64_t(descriptorBlocks_) * perBlock; g < groupCount_;
       g += perBlock) {
    const std::uint64_t at = firstDataBlock_ + g * blocksPerGroup_ +
                             (HasSuperblockBackup(std::uint32_t(g)) ? 1 : 0);
    BlockHandle block = GetBlock(at, false);
    const std::uint64_t n = std::min<std::uint64_t>(groupCount_ - g, perBlock);
    std::memcpy(descriptors_.data() + g * descriptorSize_, block.Data(),
                std::size_t(n * descriptorSize_));
  }
  VerifyGroupDescriptors();
}

std::uint16_t ExtfsDriver::GroupDescriptorChecksum(std::uint32_t group,
                                                   const std::uint8_t* descriptor) const {
  std::uint8_t number[4];
  Common::StoreLe32(number, group);
  std::uint16_t crc = Crc16(0xFFFF, superblock_ + 0x68, 16);
  crc = Crc16(crc, number, 4);
  crc = Crc16(crc, descriptor, 0x1E);
  if (descriptorSize_ > 32) crc = Crc16(crc, descriptor + 0x20, descriptorSize_ - 0x20);
  return crc;
}

void ExtfsDriver::VerifyGroupDescriptors() const {
  if (!HasGroupDescriptorChecksums()) return;
  for (std::uint32_t g = 0; g < groupCount_; ++g) {
    const std::uint8_t* d = descriptors_.data() + std::size_t(g) * descriptorSize_;
    if (Common::LoadLe16(d + 0x1E) != GroupDescriptorChecksum(g, d)) Corrupted(0x21);
  }
}

const std::uint8_t* ExtfsDriver::GetGroupDescriptor(std::uint32_t group) const {
  if (group >= groupCount_) Corrupted(0x22);
  return descriptors_.data() + std::size_t(group) * descriptorSize_;
}

std::uint8_t* ExtfsDriver::GetGroupDescriptorForWrite(std::uint32_t group) {
  RequireWritable(0x23);
  if (group >= groupCount_) Corrupted(0x24);
  dirtyGroups_[group] = true;
  superblockDirty_ = true;
  return descriptors_.data() + std::size_t(group) * descriptorSize_;
}

std::uint64_t ExtfsDriver::GetBlockBitmapBlock(std::uint32_t group) const {
  const std::uint8_t* d = GetGroupDescriptor(group);
  return Common::LoadLe32(d) | (Is64Bit() ? std::uint64_t(Common::LoadLe32(d + 0x20)) << 32 : 0);
}
std::uint64_t ExtfsDriver::GetInodeBitmapBlock(std::uint32_t group) const {
  const std::uint8_t* d = GetGroupDescriptor(group);
  return Common::LoadLe32(d + 4) |
         (Is64Bit() ? std::uint64_t(Common::LoadLe32(d + 0x24)) << 32 : 0);
}
std::uint64_t ExtfsDriver::GetInodeTableBlock(std::uint32_t group) const {
  const std::uint8_t* d = GetGroupDescriptor(group);
  return Common::LoadLe32(d + 8) |
         (Is64Bit() ? std::uint64_t(Common::LoadLe32(d + 0x28)) << 32 : 0);
}

bool ExtfsDriver::IsInodeFiltered(std::uint32_t index) const noexcept {
  if (filterBits_ == 0) return true;
  return index < filterBits_ && (filter_[index / 8] >> (index % 8) & 1) != 0;
}

BlockHandle ExtfsDriver::GetInodeBlock(std::uint32_t index, std::uint32_t& offset) {
  if (index >= inodesCount_ || !IsInodeFiltered(index)) Corrupted(0x25);
  const std::uint32_t group = index / inodesPerGroup_;
  const std::uint32_t within = index % inodesPerGroup_;
  const std::uint64_t table = GetInodeTableBlock(group);
  std::uint64_t block = 0;
  if (!Common::CheckedAdd<std::uint64_t>(table, within / inodesPerBlock_, &block))
    Corrupted(0x26);
  offset = (index % inodesPerBlock_) * inodeSize_;
  return GetBlock(block, false);
}

BlockHandle ExtfsDriver::GetBlock(std::uint64_t block, bool noRead) {
  if (block >= blockCount_) Corrupted(0x27);
  return GetBlocks(block * sectorsPerBlock_, sectorsPerBlock_, noRead);
}

void ExtfsDriver::ReadBlocksAt(void* buffer, std::uint64_t first, std::uint64_t count) {
  std::uint64_t end = 0;
  if (!Common::CheckedAdd(first, count, &end) || end > blockCount_) Corrupted(0x28);
  ReadBlocksUnaligned(buffer, first * sectorsPerBlock_, count * sectorsPerBlock_,
                      sectorsPerBlock_, 0);
}

void ExtfsDriver::RequireWritable(std::uint32_t site) const {
  if (readOnly_) ThrowFileError(site, kModuleId, kFileReadOnly);
}

void ExtfsDriver::RestoreOriginalDevice() {
  RequireWritable(0x29);
  FileSystemDriver::RestoreOriginalDevice();
}

std::uint32_t ExtfsDriver::GetNewInodeExtraSize() const noexcept {
  if (inodeSize_ == 128 || version_ != kExt4) return 0;
  if (GetRoCompatFeatures() & kRoCompatExtraIsize) return Common::LoadLe16(superblock_ + 0x15E);
  return 28;
}

std::uint64_t ExtfsDriver::DescriptorBlockOf(std::uint32_t group) const {
  const std::uint32_t perBlock = blockSize_ / descriptorSize_;
  if (group < std::uint64_t(descriptorBlocks_) * perBlock)
    return std::uint64_t(SuperblockBlock()) + 1 + group / perBlock;
  const std::uint32_t first = group / perBlock * perBlock;
  return firstDataBlock_ + std::uint64_t(first) * blocksPerGroup_ +
         (HasSuperblockBackup(first) ? 1 : 0);
}

void ExtfsDriver::WriteGroupDescriptors() {
  const std::uint32_t perBlock = blockSize_ / descriptorSize_;
  for (std::uint32_t g = 0; g < groupCount_; ++g) {
    if (!dirtyGroups_[g]) continue;
    std::uint8_t* d = descriptors_.data() + std::size_t(g) * descriptorSize_;
    if (HasGroupDescriptorChecksums()) Common::StoreLe16(d + 0x1E, GroupDescriptorChecksum(g, d));
    BlockHandle block = GetBlock(DescriptorBlockOf(g), false);
    block.PrepareWrite();
    std::memcpy(block.Data() + (g % perBlock) * descriptorSize_, d, descriptorSize_);
    block.MarkDirty();
    dirtyGroups_[g] = false;
  }
}

void ExtfsDriver::WriteSuperblock() {
  if (!superblockDirty_) return;
  std::uint64_t freeBlocks = 0, freeInodes = 0;
  for (std::uint32_t g = 0; g < groupCount_; ++g) {
    const std::uint8_t* d = GetGroupDescriptor(g);
    freeBlocks += Common::LoadLe16(d + 0x0C);
    freeInodes += Common::LoadLe16(d + 0x0E);
    if (Is64Bit()) {
      freeBlocks += std::uint64_t(Common::LoadLe16(d + 0x2C)) << 16;
      freeInodes += std::uint64_t(Common::LoadLe16(d + 0x2E)) << 16;
    }
  }
  freeBlockCount_ = freeBlocks;
  freeInodesCount_ = std::uint32_t(freeInodes);
  Common::StoreLe32(superblock_ + 0x10, freeInodesCount_);
  Common::StoreLe32(superblock_ + 0x0C, std::uint32_t(freeBlocks));
  if (Is64Bit()) Common::StoreLe32(superblock_ + 0x158, std::uint32_t(freeBlocks >> 32));
  const std::uint32_t sectorSize = SectorSize();
  const std::uint64_t first = kSuperblockSize / sectorSize;
  const std::uint64_t last = (2 * kSuperblockSize - 1) / sectorSize;
  BlockHandle block = GetBlocks(first, last - first + 1, false);
  block.PrepareWrite();
  std::memcpy(block.Data() + kSuperblockSize % sectorSize, superblock_, kSuperblockSize);
  block.MarkDirty();
  superblockDirty_ = false;
}

void ExtfsDriver::NoteFreshBlock(std::uint64_t block) { freshBlocks_.insert(block); }

void ExtfsDriver::FindMetadataBlocks() {
  if (!inodeTables_.empty()) return;
  for (std::uint32_t g = 0; g < groupCount_; ++g) {
    bitmapBlocks_.insert(GetBlockBitmapBlock(g));
    bitmapBlocks_.insert(GetInodeBitmapBlock(g));
    descriptorBlockSet_.insert(DescriptorBlockOf(g));
    const std::uint64_t table = GetInodeTableBlock(g);
    inodeTables_[table] = table + inodeTableBlocks_;
  }
}

std::uint32_t ExtfsDriver::WriteBackPhaseOf(std::uint64_t firstSector) {
  const std::uint64_t block = firstSector / sectorsPerBlock_;
  if (block <= SuperblockBlock()) return 5;
  if (freshBlocks_.count(block)) return 0;
  if (bitmapBlocks_.count(block)) return 1;
  // Descriptors go with the bitmaps: their never-used inode counts must not
  // hide an inode a directory entry may point at once phase 3 is written.
  if (descriptorBlockSet_.count(block)) return 2;
  auto table = inodeTables_.upper_bound(block);
  if (table != inodeTables_.begin() && block < std::prev(table)->second) return 3;
  return 4;
}

void ExtfsDriver::WriteBackSectors(const std::set<std::uint64_t>& sectors) {
  std::vector<BlockHandle::Header*> blocks;
  ForEachBlock([&](BlockHandle::Header* block) {
    if (BlockIsDirty(block) && sectors.count(BlockFirstSector(block))) blocks.push_back(block);
  });
  for (BlockHandle::Header* block : blocks) {
    const Common::Error error = WriteBackBlock(block);
    if (error) ThrowFileError(0x50, kModuleId, kFileWriteError, error);
  }
}

void ExtfsDriver::WriteBackCache() {
  // What is dirty stays cached until the change in progress is whole.
  if (holds_ != 0) return;
  FindMetadataBlocks();
  // The descriptors as they are now go out with this write-back, whatever
  // started it.
  WriteGroupDescriptors();
  std::set<std::uint64_t> phases[6];
  ForEachBlock([&](BlockHandle::Header* block) {
    if (BlockIsDirty(block))
      phases[WriteBackPhaseOf(BlockFirstSector(block))].insert(BlockFirstSector(block));
  });
  for (std::uint32_t phase = 0; phase < 3; ++phase) WriteBackSectors(phases[phase]);
  // Inode tables left dirty by a write-back that stopped are rewritten with
  // the forms of this one.
  std::set<std::uint64_t> tables = phases[3];
  for (InodeStage stage : {InodeStage::kExisting, InodeStage::kNew, InodeStage::kGrown}) {
    inodes_->StageVersions(stage, tables);
    WriteBackSectors(tables);
    tables.clear();
  }
  WriteBackSectors(phases[4]);
  for (InodeStage stage : {InodeStage::kFreed, InodeStage::kCurrent}) {
    inodes_->StageVersions(stage, tables);
    WriteBackSectors(tables);
    tables.clear();
  }
  WriteBackSectors(phases[5]);
  inodes_->NoteWrittenBack();
  freshBlocks_.clear();
}

bool ExtfsDriver::WriteBackNow() noexcept {
  if (holds_ != 0) return false;
  try {
    WriteBackCacheLocked();
    return true;
  } catch (const Common::Error& e) {
    RememberWriteBackFailure(e);
  } catch (...) {
    RememberWriteBackFailure(MakeFsError(0x51, kModuleId, kFileWriteError));
  }
  return false;
}

void ExtfsDriver::Flush() {
  // Twice when something was freed: what pointed at the freed blocks and
  // inodes is on disk after the first round, so their bits may go in the
  // second.
  for (int round = 0; round < 2; ++round) {
    WriteGroupDescriptors();
    WriteSuperblock();
    FileSystemDriver::Flush();
    bool released = false;
    if (blockAllocator_) released = blockAllocator_->ReleasePending();
    if (inodeAllocator_) released = inodeAllocator_->ReleasePending() || released;
    if (!released) break;
  }
}

void ExtfsDriver::GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                                 std::uint64_t& available) {
  const std::uint64_t unit = std::uint64_t(sectorsPerBlock_) * SectorSize();
  total = blockCount_ * unit;
  free = freeBlockCount_ * unit;
  available = free;
}

void ExtfsDriver::GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) {
  CopyVolumeLabel(label_, buffer, capacity);
}

int ExtfsDriver::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  return CompareIdentifierNames(a, b);
}

const char* ExtfsDriver::GetFileSystemName() {
  switch (version_) {
    case kExt4:
      return "Ext4";
    case kExt3:
      return "Ext3";
    case kExt2:
      return "Ext2";
  }
  Corrupted(0x2A);
}

ExtfsInode* ExtfsDriver::GetInode(std::uint32_t index) { return inodes_->GetInode(index); }

FileSystemDriver* OpenExtVolume(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                std::uint64_t size, std::uint32_t cacheKey,
                                const std::uint8_t* filter, std::uint32_t filterBits) {
  try {
    return new ExtfsDriver(device, offset, size, cacheKey, filter, filterBits);
  } catch (const Common::Error&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace extfs

FileSystemDriver* OpenExtfsDriver(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                  std::uint64_t size, std::uint32_t cacheKey,
                                  const std::uint8_t* filter, std::uint32_t filterBits) {
  return extfs::OpenExtVolume(device, offset, size, cacheKey, filter, filterBits);
}

}  // namespace filesystems
