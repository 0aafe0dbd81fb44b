// Ext inodes: the fields and their unit rules, times with their epoch
// bits, device numbers in both encodings, symbolic-link targets, and the
// cache that shares one in-memory inode per index.
#include "filesystems/ext_inode.h"

#include <cstring>

#include "files/file_error.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace extfs {
namespace {

constexpr std::uint32_t kModuleId = kExtInodeModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

}  // namespace

std::int64_t ExtfsTimeToMs(std::uint32_t seconds, std::uint32_t extra) {
  // The epoch bits extend the signed seconds past 2038: they are added, so
  // that a time before 1970 (negative seconds, epoch 0) stays negative and
  // 0x80000000 with epoch 1 is 2^31 seconds, not a value with bit 32 ORed
  // into a sign-extended word.
  const std::int64_t wholeSeconds =
      std::int64_t(std::int32_t(seconds)) + (std::int64_t(extra & 3) << 32);
  const std::int64_t nanoseconds = std::int64_t(extra >> 2);
  return wholeSeconds * 1000 + nanoseconds / 1000000;
}

void MsToExtfsTime(std::int64_t ms, std::uint32_t& seconds, std::uint32_t& extra) {
  std::int64_t wholeSeconds = ms / 1000;
  std::int64_t remainder = ms % 1000;
  if (remainder < 0) {
    remainder += 1000;
    --wholeSeconds;
  }
  seconds = std::uint32_t(wholeSeconds);
  const std::int64_t epoch = (wholeSeconds - std::int64_t(std::int32_t(seconds))) >> 32;
  extra = (std::uint32_t(remainder * 1000000) << 2) | (std::uint32_t(epoch) & 3);
}

std::uint32_t ModeToObjectType(std::uint16_t mode) {
  switch (mode & 0xF000) {
    case 0x1000:
      return kTypeFifo;
    case 0x2000:
      return kTypeCharDevice;
    case 0x4000:
      return kTypeDirectory;
    case 0x6000:
      return kTypeBlockDevice;
    case 0x8000:
      return kTypeFile;
    case 0xA000:
      return kTypeSymlink;
    case 0xC000:
      return kTypeSocket;
    default:
      break;
  }
  Corrupted(0x01);
}

ExtfsInode::ExtfsInode(InodeCache* cache, ExtfsDriver* driver, std::uint32_t index,
                       std::vector<std::uint8_t> bytes)
    : cache_(cache), driver_(driver), index_(index), bytes_(std::move(bytes)) {
  processor_ = cache_->ProcessorFor(GetFlags());
  state_ = std::make_unique<BlockMapState>(driver_, processor_->GetLevelCount());
}

ExtfsInode::~ExtfsInode() = default;

void ExtfsInode::Release() noexcept { DropUse(); }

std::uint16_t ExtfsInode::GetMode() const noexcept { return Common::LoadLe16(bytes_.data()); }

std::uint32_t ExtfsInode::GetObjectType() const { return ModeToObjectType(GetMode()); }

std::uint64_t ExtfsInode::GetSize() const noexcept {
  std::uint64_t size = Common::LoadLe32(bytes_.data() + 0x04);
  if ((GetMode() & 0xF000) == 0x8000)
    size |= std::uint64_t(Common::LoadLe32(bytes_.data() + 0x6C)) << 32;
  return size;
}

std::uint32_t ExtfsInode::GetFlags() const noexcept { return Common::LoadLe32(bytes_.data() + 0x20); }

std::uint32_t ExtfsInode::GetUid() const noexcept {
  return std::uint32_t(Common::LoadLe16(bytes_.data() + 0x78)) << 16 |
         Common::LoadLe16(bytes_.data() + 0x02);
}

std::uint32_t ExtfsInode::GetGid() const noexcept {
  return std::uint32_t(Common::LoadLe16(bytes_.data() + 0x7A)) << 16 |
         Common::LoadLe16(bytes_.data() + 0x18);
}

namespace {
bool IsDevice(std::uint16_t mode) {
  return (mode & 0xF000) == 0x2000 || (mode & 0xF000) == 0x6000;
}
}  // namespace

std::uint32_t ExtfsInode::GetDeviceMajor() const noexcept {
  if (!IsDevice(GetMode())) return 0;
  const std::uint8_t* area = bytes_.data() + kMapAreaOffset;
  const std::uint32_t old = Common::LoadLe32(area);
  if (old != 0) return (old >> 8) & 0xFF;
  return (Common::LoadLe32(area + 4) >> 8) & 0xFFF;
}

std::uint32_t ExtfsInode::GetDeviceMinor() const noexcept {
  if (!IsDevice(GetMode())) return 0;
  const std::uint8_t* area = bytes_.data() + kMapAreaOffset;
  const std::uint32_t old = Common::LoadLe32(area);
  if (old != 0) return old & 0xFF;
  const std::uint32_t w = Common::LoadLe32(area + 4);
  return (w & 0xFF) | ((w >> 12) & 0xFFF00);
}

std::uint64_t ExtfsInode::GetFileAclBlock() const noexcept {
  std::uint64_t block = Common::LoadLe32(bytes_.data() + 0x68);
  if (driver_->Is64Bit()) block |= std::uint64_t(Common::LoadLe16(bytes_.data() + 0x76)) << 32;
  return block;
}

std::uint32_t ExtfsInode::ExtraSize() const noexcept {
  const std::uint32_t inodeSize = driver_->InodeSize();
  if (inodeSize <= 128) return 0;
  const std::uint32_t extra = Common::LoadLe16(bytes_.data() + 0x80);
  return 128 + extra <= inodeSize ? extra : 0;
}

const std::uint8_t* ExtfsInode::GetInlineAttributeArea(std::uint32_t& size) const noexcept {
  const std::uint32_t inodeSize = driver_->InodeSize();
  std::uint32_t start = 128;
  if (inodeSize > 128) {
    const std::uint32_t extra = Common::LoadLe16(bytes_.data() + 0x80);
    if (128 + extra <= inodeSize) start = 128 + extra;
  }
  size = inodeSize - start;
  return size ? bytes_.data() + start : nullptr;
}

std::uint32_t ExtfsInode::GetLinkCount() const {
  const std::uint32_t count = Common::LoadLe16(bytes_.data() + 0x1A);
  if (IsDirectory() && count == 1) {
    if (driver_->GetRoCompatFeatures() & kRoCompatDirNlink) return 0xFFFF;
    Corrupted(0x02);
  }
  return count;
}

std::int64_t ExtfsInode::TimeAt(std::uint32_t secondsOffset,
                                std::uint32_t extraOffset) const noexcept {
  const std::uint32_t seconds = Common::LoadLe32(bytes_.data() + secondsOffset);
  std::uint32_t extra = 0;
  if (extraOffset != 0 && ExtraSize() + 128 >= extraOffset + 4)
    extra = Common::LoadLe32(bytes_.data() + extraOffset);
  return ExtfsTimeToMs(seconds, extra);
}

std::int64_t ExtfsInode::GetChangeTime() const noexcept { return TimeAt(0x0C, 0x84); }
std::int64_t ExtfsInode::GetModificationTime() const noexcept { return TimeAt(0x10, 0x88); }
std::int64_t ExtfsInode::GetAccessTime() const noexcept { return TimeAt(0x08, 0x8C); }
std::int64_t ExtfsInode::GetCreationTime() const noexcept {
  if (ExtraSize() < 24) return 0;
  return TimeAt(0x90, 0x94);
}

std::uint64_t ExtfsInode::GetBlockCount() const {
  const std::uint8_t* b = bytes_.data();
  const bool huge = (driver_->GetRoCompatFeatures() & kRoCompatHugeFile) != 0;
  std::uint64_t value = Common::LoadLe32(b + 0x1C);
  if (huge) value |= std::uint64_t(Common::LoadLe16(b + 0x74)) << 32;
  if (GetFlags() & kInodeFlagHugeFile) {
    if (!huge) Corrupted(0x03);
  } else {
    const std::uint32_t shift = driver_->LogBlockSize() + 1;
    if (value & ((std::uint64_t(1) << shift) - 1)) Corrupted(0x04);
    value >>= shift;
  }
  if (value >= driver_->BlockCount()) Corrupted(0x05);
  return value;
}

std::uint64_t ExtfsInode::GetAllocatedSize() const {
  return GetBlockCount() * driver_->BlockSize();
}

bool ExtfsInode::HasDataBlocks() const {
  return GetBlockCount() > (GetFileAclBlock() != 0 ? 1u : 0u);
}

std::uint64_t ExtfsInode::GetDataPosition() {
  if (!HasDataBlocks()) return 0;
  return processor_->GetFirstBlock(bytes_.data() + kMapAreaOffset) * driver_->SectorsPerBlock();
}

MappedRun ExtfsInode::MapBlock(std::uint64_t fileBlock) {
  return processor_->Lookup(bytes_.data() + kMapAreaOffset, fileBlock, *state_);
}

const std::string* ExtfsInode::GetSymlinkTarget() {
  if ((GetMode() & 0xF000) != 0xA000) return nullptr;
  if (symlinkRead_) return &symlink_;
  const std::uint64_t size = GetSize();
  const std::uint32_t blockSize = driver_->BlockSize();
  if (size == 0 || size > blockSize) Corrupted(0x06);
  // A target as long as the whole area or block carries no terminator.
  std::uint64_t length = size;
  if (HasDataBlocks()) {
    const MappedRun run = MapBlock(0);
    if (run.block == kNotMapped || run.uninitialised) Corrupted(0x07);
    if (length == blockSize) --length;
    BlockHandle block = driver_->GetBlock(run.block, false);
    symlink_.assign(reinterpret_cast<const char*>(block.Data()), std::size_t(length));
  } else {
    if (size > kMapAreaSize) Corrupted(0x08);
    if (length == kMapAreaSize) --length;
    symlink_.assign(reinterpret_cast<const char*>(bytes_.data() + kMapAreaOffset),
                    std::size_t(length));
  }
  symlinkRead_ = true;
  return &symlink_;
}

InodeCache::InodeCache(ExtfsDriver* driver) : driver_(driver) {}

InodeCache::~InodeCache() {
  for (auto& entry : inodes_) {
    entry.second->Unlink();
    delete entry.second;
  }
}

InodeLocationProcessor* InodeCache::ProcessorFor(std::uint32_t flags) {
  if (flags & kInodeFlagExtents) {
    if (!(driver_->GetIncompatFeatures() & kIncompatExtents)) Corrupted(0x10);
    if (!extents_) extents_ = std::make_unique<ExtentsLocationProcessor>(driver_);
    return extents_.get();
  }
  if (!legacy_) legacy_ = std::make_unique<LegacyLocationProcessor>(driver_);
  return legacy_.get();
}

void InodeCache::Evict() {
  LRUList<ExtfsInode>* node = recency_.next;
  while (inodes_.size() >= kIdleLimit && node != &recency_) {
    LRUList<ExtfsInode>* next = node->next;
    auto* inode = static_cast<ExtfsInode*>(node);
    if (inode->Uses() == 0) {
      inode->Unlink();
      inodes_.erase(inode->Index());
      delete inode;
    }
    node = next;
  }
}

ExtfsInode* InodeCache::GetInode(std::uint32_t index) {
  if (index >= driver_->InodesCount()) Corrupted(0x11);
  auto found = inodes_.find(index);
  if (found != inodes_.end()) {
    ExtfsInode* inode = found->second;
    inode->Unlink();
    recency_.InsertBefore(inode);
    inode->AddUse();
    return inode;
  }
  Evict();
  std::vector<std::uint8_t> bytes(driver_->InodeSize());
  {
    std::uint32_t offset = 0;
    BlockHandle block = driver_->GetInodeBlock(index, offset);
    std::memcpy(bytes.data(), block.Data() + offset, bytes.size());
  }
  if (Common::LoadLe16(bytes.data() + 0x1A) == 0) ThrowFileError(0x12, kModuleId, kFileOpenError);
  auto* inode = new ExtfsInode(this, driver_, index, std::move(bytes));
  recency_.InsertBefore(inode);
  inodes_[index] = inode;
  inode->AddUse();
  return inode;
}

void InodeCache::FlushAll() {
  // Inodes are only read on this mount: nothing is ever dirty.
}

}  // namespace extfs
}  // namespace filesystems
