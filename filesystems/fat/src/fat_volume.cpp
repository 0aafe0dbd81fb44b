// Mounting a FAT volume: the boot sector's checks, the layout, the free
// count with FSInfo, the label, and the write-back that keeps the FAT
// copies identical.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fat_handlers.h"
#include "fat_objects.h"
#include "files/file_error.h"
#include "filesystems/factory.h"
#include "filesystems/fat_driver.h"
#include "filesystems/fat_names.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kFatVolumeModuleId;

constexpr std::uint32_t kFsInfoLeadSignature = 0x41615252;
constexpr std::uint32_t kFsInfoStructSignature = 0x61417272;
constexpr std::uint32_t kDirectoryEntrySize = 32;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

}  // namespace

FATDriver::FATDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t length,
                     std::uint32_t cacheKey, const std::uint8_t* firstSector,
                     const std::uint8_t* filter, std::uint32_t filterBits)
    : FileSystemDriverWindows(device, offset, length, cacheKey),
      filter_(filter),
      filterBits_(filterBits) {
  if (SectorSize() < 512) Corrupted(0x01);
  if (firstSector) {
    Mount(firstSector);
  } else {
    std::vector<std::uint8_t> boot(SectorSize());
    {
      BlockHandle block = GetBlocks(0, 1, false);
      std::memcpy(boot.data(), block.Data(), boot.size());
    }
    Mount(boot.data());
  }
}

void FATDriver::Mount(const std::uint8_t* boot) {
  const std::uint32_t sectorSize = SectorSize();
  if (Common::LoadLe16(boot + 510) != 0xAA55) Corrupted(0x02);
  if (boot[0] != 0xE9 && boot[0] != 0xEB) Corrupted(0x03);
  sectorsPerCluster_ = boot[13];
  if (!Common::IsPowerOfTwo(sectorsPerCluster_) || sectorsPerCluster_ > 128) Corrupted(0x04);
  reservedSectors_ = Common::LoadLe16(boot + 14);
  if (reservedSectors_ == 0) Corrupted(0x05);
  fatCount_ = boot[16];
  if (fatCount_ < 1 || fatCount_ > 127) Corrupted(0x06);
  std::uint32_t totalSectors = Common::LoadLe32(boot + 32);
  if (totalSectors == 0) totalSectors = Common::LoadLe16(boot + 19);
  const std::uint64_t partitionSectors = PartitionSize();

  const std::uint32_t sectorsPerFat16 = Common::LoadLe16(boot + 22);
  if (sectorsPerFat16 != 0) {
    sectorsPerFat_ = sectorsPerFat16;
    const std::uint32_t rootEntries = Common::LoadLe16(boot + 17);
    const std::uint32_t entriesPerSector = sectorSize / kDirectoryEntrySize;
    if (rootEntries == 0 || rootEntries % entriesPerSector != 0) Corrupted(0x07);
    rootDirectorySectors_ = rootEntries / entriesPerSector;
    // At most 255 x 65535 + 127 x 65535 + 65535 / 16: no overflow in 32 bits.
    firstDataSector_ = reservedSectors_ + fatCount_ * sectorsPerFat_ + rootDirectorySectors_;
    if (firstDataSector_ >= totalSectors) Corrupted(0x08);
    std::uint32_t count = (totalSectors - firstDataSector_) / sectorsPerCluster_;
    if (count < 1 || count >= kFat16Limit) Corrupted(0x09);
    type_ = count < kFat12Limit ? FatType::kFat12 : FatType::kFat16;
    const std::uint64_t nibbles = type_ == FatType::kFat12 ? 3 : 4;
    if ((std::uint64_t(count) + 2) * nibbles - 1 >= std::uint64_t(sectorsPerFat_) * 2 * sectorSize) {
      // The FAT cannot describe every cluster: only those it can are used,
      // as long as that does not change what the entries mean.
      const std::uint64_t fits = std::uint64_t(sectorsPerFat_) * 2 * sectorSize / nibbles;
      if (fits < 3) Corrupted(0x0A);
      count = std::uint32_t(fits - 2);
      const FatType again = count < kFat12Limit ? FatType::kFat12 : FatType::kFat16;
      if (again != type_) Corrupted(0x0A);
    }
    clusterCount_ = count;
    if (std::uint64_t(count) * sectorsPerCluster_ + firstDataSector_ > partitionSectors)
      Corrupted(0x0B);
    activeFatStart_ = reservedSectors_;
    mirroring_ = fatCount_ > 1;
    rootCluster_ = 0;
    fsInfoSector_ = 0;
  } else {
    type_ = FatType::kFat32;
    if (Common::LoadLe16(boot + 42) != 0) Corrupted(0x0C);
    sectorsPerFat_ = Common::LoadLe32(boot + 36);
    if (sectorsPerFat_ == 0) Corrupted(0x0D);
    const std::uint64_t dataStart =
        std::uint64_t(reservedSectors_) + std::uint64_t(fatCount_) * sectorsPerFat_;
    if (dataStart > 0xFFFFFFFFu || dataStart >= totalSectors) Corrupted(0x0E);
    firstDataSector_ = std::uint32_t(dataStart);
    std::uint32_t count = (totalSectors - firstDataSector_) / sectorsPerCluster_;
    if (count < 1 || count > kFat32MaxClusters) Corrupted(0x0F);
    const std::uint32_t perSector = sectorSize / 4;
    if ((std::uint64_t(count) + 1) / perSector >= sectorsPerFat_) {
      const std::uint64_t fits = std::uint64_t(sectorsPerFat_) * perSector;
      if (fits < 3) Corrupted(0x10);
      count = std::uint32_t(std::min<std::uint64_t>(fits - 2, count));
    }
    clusterCount_ = count;
    if (std::uint64_t(count) * sectorsPerCluster_ + firstDataSector_ > partitionSectors)
      Corrupted(0x11);
    rootCluster_ = Common::LoadLe32(boot + 44);
    if (!IsDataCluster(rootCluster_)) Corrupted(0x12);
    const std::uint32_t flags = Common::LoadLe16(boot + 40);
    const std::uint32_t active = flags & 0x0F;
    if (active >= fatCount_) Corrupted(0x13);
    activeFatStart_ = reservedSectors_ + active * sectorsPerFat_;
    fsInfoSector_ = Common::LoadLe16(boot + 48);
    if (fsInfoSector_ >= reservedSectors_) fsInfoSector_ = 0;
    mirroring_ = fatCount_ >= 2 && (flags & 0x80) == 0;
    rootDirectorySectors_ = 0;
  }
  handler_ = MakeFatHandler(this);
}

FATDriver::~FATDriver() {
  // The first flush frees the released chains, so the FSInfo count written
  // after it is the volume's.
  try {
    Flush();
  } catch (...) {
    // Destruction never fails; the failure stays with the device.
  }
  try {
    if (fsInfoSector_ != 0 && freeCount_ != fsInfoFreeCount_) UpdateFsInfo();
  } catch (...) {
    // The FSInfo count is a hint; losing its update loses nothing else.
  }
  try {
    Flush();
  } catch (...) {
  }
  // The directories hold cache blocks and use the FAT handler: they go
  // while both are still here.
  DeleteDirectoryObjects();
  handler_.reset();
}

void FATDriver::UpdateFsInfo() {
  const std::uint32_t count = GetFreeClusterCount(true);
  BlockHandle block = GetBlocks(fsInfoSector_, 1, false);
  block.PrepareWrite();
  Common::StoreLe32(block.Data() + 488, count);
  block.MarkDirty();
  fsInfoFreeCount_ = count;
}

std::uint32_t FATDriver::GetFreeClusterCount(bool reportBadFsInfo) {
  if (fsInfoSector_ != 0 && !freeCountValid_) {
    BlockHandle block = GetBlocks(fsInfoSector_, 1, false);
    const std::uint8_t* data = block.Data();
    if (Common::LoadLe32(data) == kFsInfoLeadSignature &&
        Common::LoadLe32(data + 484) == kFsInfoStructSignature &&
        Common::LoadLe16(data + 510) == 0xAA55) {
      const std::uint32_t stored = Common::LoadLe32(data + 488);
      // Clusters taken or given back before this read are kept as a delta.
      freeCount_ += stored - fsInfoFreeCount_;
      fsInfoFreeCount_ = stored;
      if (stored < clusterCount_) freeCountValid_ = true;
    } else {
      fsInfoSector_ = 0;
      if (reportBadFsInfo) Corrupted(0x20);
    }
  }
  if (fsInfoSector_ != 0 && freeCount_ >= clusterCount_) freeCountValid_ = false;
  if (!freeCountValid_) {
    freeCount_ = handler_->CountFreeClusters();
    freeCountValid_ = true;
  }
  return freeCount_;
}

void FATDriver::GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                               std::uint64_t& available) {
  total = (std::uint64_t(clusterCount_) * sectorsPerCluster_ + firstDataSector_) * SectorSize();
  free = std::uint64_t(GetFreeClusterCount(false) + releasedClusters_) * sectorsPerCluster_ *
         SectorSize();
  available = free;
}

bool FATDriver::LabelFromRoot(std::uint8_t label[11]) {
  // The root's entries in order, up to the first never-used one.
  const std::uint32_t perSector = SectorSize() / kDirectoryEntrySize;
  auto scanSector = [&](std::uint64_t sector, bool& end) {
    BlockHandle block = GetBlocks(sector, 1, false);
    for (std::uint32_t i = 0; i < perSector; ++i) {
      const std::uint8_t* entry = block.Data() + i * kDirectoryEntrySize;
      if (entry[0] == 0) {
        end = true;
        return false;
      }
      if (entry[0] == 0xE5) continue;
      const std::uint8_t attributes = entry[11];
      if ((attributes & 0x08) && attributes != 0x0F) {
        std::memcpy(label, entry, 11);
        return true;
      }
    }
    return false;
  };
  bool end = false;
  if (rootCluster_ == 0) {
    const std::uint32_t first = reservedSectors_ + fatCount_ * sectorsPerFat_;
    for (std::uint32_t s = 0; s < rootDirectorySectors_ && !end; ++s)
      if (scanSector(first + s, end)) return true;
    return false;
  }
  for (const ClusterRun& run : ReadChain(rootCluster_)) {
    const std::uint64_t first = ClusterToSector(run.first);
    const std::uint64_t sectors = std::uint64_t(run.end - run.first) * sectorsPerCluster_;
    for (std::uint64_t s = 0; s < sectors && !end; ++s)
      if (scanSector(first + s, end)) return true;
    if (end) break;
  }
  return false;
}

void FATDriver::GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) {
  if (capacity == 0) return;
  buffer[0] = 0;
  std::uint8_t label[11];
  if (!LabelFromRoot(label)) {
    BlockHandle block = GetBlocks(0, 1, false);
    std::memcpy(label, block.Data() + (rootCluster_ ? 71 : 43), 11);
  }
  std::u16string text;
  if (!Common::OemToWide(text, reinterpret_cast<const char*>(label), 11)) return;
  for (char16_t& c : text)
    if (c == 0) c = u' ';
  while (!text.empty() && text.back() == u' ') text.pop_back();
  CopyVolumeLabel(text, buffer, capacity);
}

int FATDriver::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  auto bytesOf = [](const file_identifier* id, std::uint32_t& size) -> const std::uint8_t* {
    const auto* general = dynamic_cast<const the_identifier*>(id);
    size = general && general->bytes() ? general->byte_count() : 0;
    return size ? general->bytes() : nullptr;
  };
  std::uint32_t sizeA = 0, sizeB = 0;
  const std::uint8_t* bytesA = bytesOf(a, sizeA);
  const std::uint8_t* bytesB = bytesOf(b, sizeB);
  if (!bytesA || !bytesB) return bytesA ? 1 : bytesB ? -1 : 0;
  const std::uint32_t n = std::min<std::uint32_t>({sizeA, sizeB, 11});
  const int order = std::memcmp(bytesA, bytesB, n);
  if (order != 0) return order < 0 ? -1 : 1;
  const std::uint32_t lengthA = std::min<std::uint32_t>(sizeA, 11);
  const std::uint32_t lengthB = std::min<std::uint32_t>(sizeB, 11);
  return lengthA == lengthB ? 0 : lengthA < lengthB ? -1 : 1;
}

void FATDriver::NormalizeNameCase(std::u16string& path) { Common::ToUpperCase(path); }

FileSystemDriver::DirectoryObject* FATDriver::CreateDirectoryObject(std::uint32_t directoryId) {
  if (directoryId != 0 && !IsDataCluster(directoryId))
    ThrowFileError(0x30, kModuleId, kFileOpenError);
  return new FATDirectory(this, directoryId);
}

const char* FATDriver::GetFileSystemName() { return rootCluster_ ? "FAT32" : "FAT16"; }

Common::Error FATDriver::WriteFatArea() {
  const std::uint64_t fatAreaEnd = firstDataSector_ - rootDirectorySectors_;
  const std::uint64_t activeEnd = std::uint64_t(activeFatStart_) + sectorsPerFat_;
  std::vector<BlockHandle::Header*> reserved, fatBlocks, others;
  bool fatDirty = false;
  ForEachBlock([&](BlockHandle::Header* block) {
    const std::uint64_t first = BlockFirstSector(block);
    if (first >= fatAreaEnd) return;
    if (first < reservedSectors_) {
      reserved.push_back(block);
    } else if (mirroring_ && first >= activeFatStart_ &&
               first + BlockSectorCount(block) <= activeEnd) {
      fatBlocks.push_back(block);
      fatDirty = fatDirty || BlockIsDirty(block);
    } else {
      others.push_back(block);
    }
  });
  for (auto* list : {&reserved, &others})
    for (BlockHandle::Header* block : *list) {
      if (!BlockIsDirty(block)) continue;
      Common::Error error = WriteBackBlock(block);
      if (error) return error;
    }
  if (!fatDirty) return Common::Error();
  // The first change in the active FAT: every cached block of it goes to
  // every copy, dirty or not, so that the copies agree wherever this mount
  // may have changed them. A refused write leaves them all dirty.
  for (BlockHandle::Header* block : fatBlocks) SetBlockDirty(block, false);
  for (std::uint32_t k = 0; k < fatCount_; ++k) {
    const std::uint64_t copyStart = reservedSectors_ + std::uint64_t(k) * sectorsPerFat_;
    for (BlockHandle::Header* block : fatBlocks) {
      Common::Error error = DeviceIo(Fdisk::kIoWrite,
                                     BlockFirstSector(block) - activeFatStart_ + copyStart,
                                     BlockData(block), BlockSectorCount(block));
      if (error && error.Code() != 0) {
        for (BlockHandle::Header* dirty : fatBlocks) SetBlockDirty(dirty, true);
        return error;
      }
    }
  }
  return Common::Error();
}

Common::Error FATDriver::WriteDataBlocks(bool freshOnly) {
  const std::uint64_t fatAreaEnd = firstDataSector_ - rootDirectorySectors_;
  std::vector<BlockHandle::Header*> blocks;
  ForEachBlock([&](BlockHandle::Header* block) {
    const std::uint64_t first = BlockFirstSector(block);
    if (first < fatAreaEnd || !BlockIsDirty(block)) return;
    if (freshOnly) {
      if (first < firstDataSector_) return;
      const std::uint64_t cluster = (first - firstDataSector_) / sectorsPerCluster_ + 2;
      if (!freshClusters_.count(std::uint32_t(cluster))) return;
    }
    blocks.push_back(block);
  });
  for (BlockHandle::Header* block : blocks) {
    Common::Error error = WriteBackBlock(block);
    if (error) return error;
  }
  return Common::Error();
}

void FATDriver::WriteBackCache() {
  // Each step stops the write-back at the first refused write: what is on
  // the volume then is a sound state, at worst with lost clusters.
  auto check = [](const Common::Error& error) {
    if (error) ThrowFileError(0x40, kModuleId, kFileWriteError, error);
  };
  check(WriteDataBlocks(true));
  // The FATs as the volume may see them before the entries change: links
  // cut short stay as they were until the entries are written.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> now;
  for (const auto& held : heldLinks_) {
    now.emplace_back(held.first, handler_->GetEntry(held.first));
    handler_->SetEntry(held.first, held.second);
  }
  Common::Error error = WriteFatArea();
  for (const auto& link : now) handler_->SetEntry(link.first, link.second);
  check(error);
  check(WriteDataBlocks(false));
  freshClusters_.clear();
  if (!heldLinks_.empty() || !releasedChains_.empty()) ApplyReleases();
  check(WriteFatArea());
}

void FATDriver::Control(control_request* request) {
  if (request->code != kControlMKFF) {
    FileSystemDriver::Control(request);
    return;
  }
  auto* r = static_cast<mkff_request*>(request);
  MoveEntriesToFront(r->first, r->second);
}

void FATDriver::MoveEntriesToFront(const char16_t* first, const char16_t* second) {
  std::uint8_t first11[11], second11[11];
  if (!first || !fatname::ToExactShortName(first, first11) ||
      (second && !fatname::ToExactShortName(second, second11)))
    ThrowFileError(0x50, kModuleId, kFileNotFound);
  auto* root = static_cast<FATDirectory*>(GetDirectoryObject(0));
  root->MoveEntriesToFront(first11, second ? second11 : nullptr);
}

FileSystemDriver* OpenFATVolume(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                std::uint64_t length, std::uint32_t cacheKey,
                                const std::uint8_t* firstSector, const std::uint8_t* filter,
                                std::uint32_t filterBits) {
  try {
    return new FATDriver(device, offset, length, cacheKey, firstSector, filter, filterBits);
  } catch (const Common::Error&) {
    return nullptr;
  }
}

FileSystemDriver* OpenFATDriver(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                std::uint64_t size, std::uint32_t cacheKey,
                                const std::uint8_t* firstSector, const std::uint8_t* filter,
                                std::uint32_t filterBits) {
  return OpenFATVolume(device, offset, size, cacheKey, firstSector, filter, filterBits);
}

}  // namespace filesystems
