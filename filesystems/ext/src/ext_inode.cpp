// Ext inodes: the fields and their unit rules, times with their epoch
// bits, device numbers in both encodings, symbolic-link targets, and the
// cache that shares one in-memory inode per index.
#include "filesystems/ext_inode.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "files/file_time.h"
#include "filesystems/ext_alloc.h"
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

std::uint16_t ObjectTypeToMode(std::uint32_t type) {
  switch (type) {
    case kTypeFile:
      return 0x8000;
    case kTypeCharDevice:
      return 0x2000;
    case kTypeBlockDevice:
      return 0x6000;
    case kTypeFifo:
      return 0x1000;
    case kTypeSocket:
      return 0xC000;
    case kTypeSymlink:
      return 0xA000;
    case kTypeDirectory:
      return 0x4000;
    default:
      break;
  }
  ThrowFileError(0x30, kModuleId, kFileNotSupported);
}

std::uint16_t DefaultModeForType(std::uint32_t type) {
  return type == kTypeDirectory ? 0755 : type == kTypeSymlink ? 0777 : 0644;
}

ExtfsInode::ExtfsInode(InodeCache* cache, ExtfsDriver* driver, std::uint32_t index,
                       std::vector<std::uint8_t> bytes, bool fromDisk)
    : cache_(cache), driver_(driver), index_(index), bytes_(std::move(bytes)) {
  processor_ = cache_->ProcessorFor(GetFlags());
  state_ = std::make_unique<BlockMapState>(driver_, processor_->GetLevelCount());
  if (fromDisk)
    diskBytes_ = bytes_;
  else
    diskBytes_.assign(bytes_.size(), 0);
}

ExtfsInode::~ExtfsInode() = default;

void ExtfsInode::Release() noexcept {
  if (DropUse() == 0 && GetRawLinkCount() == 0) cache_->Forget(this);
}

std::uint32_t ExtfsInode::GetRawLinkCount() const noexcept {
  return Common::LoadLe16(bytes_.data() + 0x1A);
}

bool ExtfsInode::OnDisk() const noexcept { return Common::LoadLe16(diskBytes_.data() + 0x1A) != 0; }

bool ExtfsInode::IsDead() const noexcept {
  return GetRawLinkCount() == 0 && Common::LoadLe32(bytes_.data() + 0x14) != 0;
}

bool ExtfsInode::VersionFor(InodeStage stage, std::vector<std::uint8_t>& out) const {
  const std::uint32_t links = GetRawLinkCount();
  if (links == 0) {
    // An inode still being built stays off the disk; a freed one goes once
    // the entries naming it are gone. Until then the disk's form stands.
    if (!IsDead() || (stage != InodeStage::kFreed && stage != InodeStage::kCurrent)) return false;
    out = bytes_;
    return true;
  }
  out = bytes_;
  if (stage == InodeStage::kCurrent) return true;
  const bool onDisk = OnDisk();
  if (stage == InodeStage::kExisting && !onDisk) return false;
  if (stage == InodeStage::kNew && onDisk) return false;
  // Every name the disk may show during the write-back: those it held,
  // and those stored since. (A directory counted as "too many" stays so.)
  const std::uint32_t diskLinks = Common::LoadLe16(diskBytes_.data() + 0x1A);
  const std::uint32_t early = std::min<std::uint32_t>(diskLinks + linksAdded_, 65000);
  if (!(IsDirectory() && links == 1) && early > links)
    Common::StoreLe16(out.data() + 0x1A, std::uint16_t(early));
  if ((GetMode() & 0xF000) == 0x8000 && onDisk) {
    // A file's map changes in its table slot and in map blocks written
    // later: until both are on disk its size and block count cover what
    // either map reaches, so that no block lies past the end and the count
    // is at worst too high.
    const std::uint64_t size = std::max(GetSize(), std::uint64_t(Common::LoadLe32(diskBytes_.data() + 0x04)) |
                                                       std::uint64_t(Common::LoadLe32(diskBytes_.data() + 0x6C)) << 32);
    Common::StoreLe32(out.data() + 0x04, std::uint32_t(size));
    Common::StoreLe32(out.data() + 0x6C, std::uint32_t(size >> 32));
    const bool huge = (driver_->GetRoCompatFeatures() & kRoCompatHugeFile) != 0;
    const std::uint32_t shift = driver_->LogBlockSize() + 1;
    auto units = [&](const std::uint8_t* b) {
      return Common::LoadLe32(b + 0x1C) | (huge ? std::uint64_t(Common::LoadLe16(b + 0x74)) << 32 : 0);
    };
    if (((GetFlags() | Common::LoadLe32(diskBytes_.data() + 0x20)) & kInodeFlagHugeFile) == 0) {
      const std::uint64_t most = std::max(units(bytes_.data()), units(diskBytes_.data()) + (blocksAdded_ << shift));
      if ((most >> (huge ? 48 : 32)) == 0) {
        Common::StoreLe32(out.data() + 0x1C, std::uint32_t(most));
        if (huge) Common::StoreLe16(out.data() + 0x74, std::uint16_t(most >> 32));
      }
    }
  }
  if (stage == InodeStage::kExisting && IsDirectory() &&
      Common::LoadLe32(bytes_.data() + 0x04) > Common::LoadLe32(diskBytes_.data() + 0x04)) {
    // The blocks it grew by may hold entries of inodes new in this
    // write-back: they join the directory after those inodes.
    for (const auto& field : {std::pair<std::uint32_t, std::uint32_t>{0x04, 4}, {0x1C, 4},
                              {kMapAreaOffset, kMapAreaSize}, {0x6C, 4}, {0x74, 2}})
      std::memcpy(out.data() + field.first, diskBytes_.data() + field.first, field.second);
  }
  return true;
}

void ExtfsInode::NoteWrittenBack() {
  if (GetRawLinkCount() == 0 && !IsDead()) return;  // still being built
  diskBytes_ = bytes_;
  linksAdded_ = 0;
  blocksAdded_ = 0;
  dirty_ = false;
}

void ExtfsInode::SetTime(std::uint32_t secondsOffset, std::uint32_t extraOffset, std::int64_t ms) {
  std::uint32_t seconds = 0, extra = 0;
  MsToExtfsTime(ms, seconds, extra);
  Common::StoreLe32(bytes_.data() + secondsOffset, seconds);
  if (extraOffset != 0 && ExtraSize() + 128 >= extraOffset + 4)
    Common::StoreLe32(bytes_.data() + extraOffset, extra);
  dirty_ = true;
}

void ExtfsInode::SetChangeTime(std::int64_t ms) { SetTime(0x0C, 0x84, ms); }
void ExtfsInode::SetModificationTime(std::int64_t ms) { SetTime(0x10, 0x88, ms); }
void ExtfsInode::SetAccessTime(std::int64_t ms) { SetTime(0x08, 0x8C, ms); }
void ExtfsInode::SetCreationTime(std::int64_t ms) {
  if (ExtraSize() >= 24) SetTime(0x90, 0x94, ms);
}

void ExtfsInode::Stamp(bool modified, bool changed, bool accessed) {
  const std::int64_t now = CurrentTimeMs();
  if (modified) SetModificationTime(now);
  if (changed) SetChangeTime(now);
  if (accessed) SetAccessTime(now);
}

void ExtfsInode::SetMode(std::uint32_t mode) {
  Common::StoreLe16(bytes_.data(), std::uint16_t((GetMode() & 0xF000) | (mode & 0xFFF)));
  Stamp(false, true, true);
}

void ExtfsInode::SetOwner(std::uint32_t uid, std::uint32_t gid) {
  std::uint8_t* b = bytes_.data();
  Common::StoreLe16(b + 0x02, std::uint16_t(uid));
  Common::StoreLe16(b + 0x78, std::uint16_t(uid >> 16));
  Common::StoreLe16(b + 0x18, std::uint16_t(gid));
  Common::StoreLe16(b + 0x7A, std::uint16_t(gid >> 16));
  Stamp(false, true, true);
}

void ExtfsInode::ClearFlags(std::uint32_t mask) {
  if ((GetFlags() & mask) == 0) return;
  Common::StoreLe32(bytes_.data() + 0x20, GetFlags() & ~mask);
  Stamp(false, true, true);
}

void ExtfsInode::SetSize(std::uint64_t size) {
  std::uint8_t* b = bytes_.data();
  switch (GetMode() & 0xF000) {
    case 0x4000:
      if (size % driver_->BlockSize() != 0 || size >> 32) Corrupted(0x20);
      Common::StoreLe32(b + 0x04, std::uint32_t(size));
      break;
    case 0x8000:
      // Sizes from 2 GiB on need the large-file feature on older volumes.
      if (size >> 31) driver_->EnableRoCompatFeature(kRoCompatLargeFile);
      Common::StoreLe32(b + 0x04, std::uint32_t(size));
      Common::StoreLe32(b + 0x6C, std::uint32_t(size >> 32));
      break;
    case 0xA000:
      if (size > driver_->BlockSize()) Corrupted(0x21);
      Common::StoreLe32(b + 0x04, std::uint32_t(size));
      break;
    default:
      Corrupted(0x22);
  }
  dirty_ = true;
}

void ExtfsInode::SetBlockCount(std::uint64_t blocks) {
  if (blocks >= driver_->BlockCount()) Corrupted(0x23);
  if (blocks == 0 && GetFileAclBlock() != 0) Corrupted(0x24);
  std::uint8_t* b = bytes_.data();
  const bool huge = (driver_->GetRoCompatFeatures() & kRoCompatHugeFile) != 0;
  const std::uint64_t units = blocks << (driver_->LogBlockSize() + 1);
  if ((units >> 32) && !huge) ThrowFileError(0x25, kModuleId, kFileNotSupported);
  std::uint32_t flags = GetFlags();
  if ((units >> 48) == 0) {
    flags &= ~kInodeFlagHugeFile;
    Common::StoreLe32(b + 0x1C, std::uint32_t(units));
    if (huge) Common::StoreLe16(b + 0x74, std::uint16_t(units >> 32));
  } else {
    flags |= kInodeFlagHugeFile;
    Common::StoreLe32(b + 0x1C, std::uint32_t(blocks));
    Common::StoreLe16(b + 0x74, std::uint16_t(blocks >> 32));
  }
  Common::StoreLe32(b + 0x20, flags);
  dirty_ = true;
}

void ExtfsInode::InitializeMap() {
  processor_->InitializeRoot(bytes_.data() + kMapAreaOffset);
  dirty_ = true;
}

std::uint64_t ExtfsInode::MapBlockForWrite(std::uint64_t fileBlock, bool& fresh) {
  if (fileBlock >= processor_->GetCapacity()) ThrowFileError(0x26, kModuleId, kFileSeekError);
  std::uint64_t allocated = 0;
  const std::uint64_t before = GetBlockCount();
  try {
    const std::uint64_t block = processor_->MapForWrite(bytes_.data() + kMapAreaOffset, fileBlock,
                                                        allocated, fresh, *state_);
    dirty_ = true;
    blocksAdded_ += allocated;
    if (allocated) SetBlockCount(before + allocated);
    return block;
  } catch (...) {
    dirty_ = true;
    blocksAdded_ += allocated;
    if (allocated) SetBlockCount(before + allocated);
    throw;
  }
}

void ExtfsInode::AllocateRun(std::uint64_t first, std::uint64_t count, std::uint64_t& start,
                             std::uint64_t& length) {
  if (count == 0) Corrupted(0x27);
  start = kNotMapped;
  length = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    bool fresh = false;
    std::uint64_t block = 0;
    try {
      block = MapBlockForWrite(first + i, fresh);
    } catch (const Common::Error& e) {
      if (e.Code() == kFileDiskFull) return;
      throw;
    }
    if (i == 0) start = block;
    // A block already holding file data never joins a run its caller
    // takes as new.
    if (i > 0 && !fresh) return;
    if (block != start + i) {
      // Mapped now but left out of the run: the caller will find it mapped
      // and take it for file data, so what the block last held must not
      // show through.
      if (fresh) driver_->ZeroBlocks(block, 1);
      return;
    }
    ++length;
  }
}

void ExtfsInode::ReleaseFrom(std::uint64_t fileBlock) {
  const std::uint32_t type = GetMode() & 0xF000;
  if (type == 0xA000 && !HasDataBlocks()) return;  // a fast link keeps its text in the inode
  if (type == 0x2000 || type == 0x6000 || type == 0x1000 || type == 0xC000) return;
  const std::uint64_t before = GetBlockCount();
  const std::uint64_t freed = processor_->FreeFrom(bytes_.data() + kMapAreaOffset, fileBlock, *state_);
  dirty_ = true;
  if (freed > before) Corrupted(0x28);
  SetBlockCount(before - freed);
}

void ExtfsInode::AddLink() {
  std::uint8_t* b = bytes_.data();
  std::uint32_t count = GetRawLinkCount();
  const std::uint32_t maximum = driver_->GetMaxLinkCount();
  if (IsDirectory() && count >= maximum - 1 &&
      driver_->EnableRoCompatFeature(kRoCompatDirNlink))
    count = 1;
  if (count >= maximum) ThrowFileError(0x29, kModuleId, kFileCreateError);
  const std::uint32_t old = Common::LoadLe16(b + 0x1A);
  std::uint32_t next = count + 1;
  if (IsDirectory()) {
    if (count == 0)
      next = 2;
    else if (count == 1) {
      if (!(driver_->GetRoCompatFeatures() & kRoCompatDirNlink)) Corrupted(0x2A);
      next = 1;
    }
  }
  Common::StoreLe16(b + 0x1A, std::uint16_t(next));
  if (next > old) linksAdded_ += next - old;
  const std::int64_t now = CurrentTimeMs();
  if (old == 0) {
    Common::StoreLe32(b + 0x14, 0);
    SetModificationTime(now);
    SetCreationTime(now);
    SetAccessTime(now);
  }
  SetChangeTime(now);
}

void ExtfsInode::DropLink() {
  std::uint8_t* b = bytes_.data();
  const std::uint32_t count = GetRawLinkCount();
  if (count == 0) Corrupted(0x2B);
  std::uint32_t next = count - 1;
  if (IsDirectory()) {
    if (count == 2)
      next = 0;
    else if (count == 1) {
      if (!(driver_->GetRoCompatFeatures() & kRoCompatDirNlink)) Corrupted(0x2C);
      next = 1;
    }
  }
  Common::StoreLe16(b + 0x1A, std::uint16_t(next));
  SetChangeTime(CurrentTimeMs());
}

void ExtfsInode::RemoveName() {
  if (IsDirectory()) {
    const std::uint32_t links = GetLinkCount();
    if (links != 2 && links != 0xFFFF) ThrowFileError(0x2D, kModuleId, kFileDeleteError);
    Common::StoreLe16(bytes_.data() + 0x1A, 2);
  }
  DropLink();
  if (IsDirectory() && GetRawLinkCount() == 1) Common::StoreLe16(bytes_.data() + 0x1A, 0);
  if (GetRawLinkCount() != 0) return;
  Discard();
}

void ExtfsInode::Discard() {
  Common::StoreLe16(bytes_.data() + 0x1A, 0);
  dirty_ = true;
  // Every block goes, those mapped past the end included. The deletion time
  // is set whatever happens to the blocks: a free inode without one is a
  // damaged one to a checker.
  const std::int64_t now = CurrentTimeMs();
  std::uint32_t dtime = std::uint32_t(now / 1000);
  if (dtime == 0) dtime = 1;
  Common::StoreLe32(bytes_.data() + 0x14, dtime);
  try {
    ReleaseFrom(0);
  } catch (...) {
    driver_->InodeAllocator().Free(index_, GetObjectType());
    throw;
  }
  SetAccessTime(now);
  SetModificationTime(now);
  driver_->InodeAllocator().Free(index_, GetObjectType());
}

void ExtfsInode::Resize(std::uint64_t size) {
  const std::uint64_t old = GetSize();
  if (size == old) return;
  const std::uint64_t blockSize = driver_->BlockSize();
  const std::uint64_t oldBlocks = (old + blockSize - 1) / blockSize;
  const std::uint64_t newBlocks = (size + blockSize - 1) / blockSize;
  if (size < old) {
    if (HasDataBlocks() || (GetMode() & 0xF000) != 0xA000) ReleaseFrom(newBlocks);
  } else if (HasDataBlocks()) {
    if (old % blockSize != 0) {
      const MappedRun run = MapBlock(old / blockSize);
      if (run.block != kNotMapped && !run.uninitialised) {
        BlockHandle block = driver_->GetBlock(run.block, false);
        block.PrepareWrite();
        std::memset(block.Data() + old % blockSize, 0, std::size_t(blockSize - old % blockSize));
        block.MarkDirty();
      }
    }
    // Blocks mapped past the old end may hold anything: they become part
    // of the file as zeros.
    for (std::uint64_t fileBlock = oldBlocks; fileBlock < newBlocks;) {
      const MappedRun run = MapBlock(fileBlock);
      const std::uint64_t n = std::min<std::uint64_t>(std::max<std::uint64_t>(run.length, 1),
                                                      newBlocks - fileBlock);
      if (run.block != kNotMapped && !run.uninitialised) driver_->ZeroBlocks(run.block, n);
      fileBlock += n;
    }
  }
  SetSize(size);
  Stamp(true, false, true);
}

void ExtfsInode::SetSymlinkTarget(const std::string& target) {
  if ((GetMode() & 0xF000) != 0xA000 || target.empty()) Corrupted(0x2E);
  ExtfsDriver::WriteBackHold hold(driver_);  // block, text and length go together
  if (target.size() >= driver_->BlockSize()) ThrowFileError(0x2F, kModuleId, kFileCreateError);
  std::uint8_t* area = bytes_.data() + kMapAreaOffset;
  if (target.size() < kMapAreaSize) {
    if (HasDataBlocks()) ReleaseFrom(0);
    Common::StoreLe32(bytes_.data() + 0x20, GetFlags() & ~kInodeFlagExtents);
    processor_ = cache_->ProcessorFor(GetFlags());
    state_ = std::make_unique<BlockMapState>(driver_, processor_->GetLevelCount());
    std::memset(area, 0, kMapAreaSize);
    std::memcpy(area, target.data(), target.size());
  } else {
    // A new target goes into a new block: the inode then switches text and
    // length in one write, where rewriting the old block could reach the
    // disk without the length that goes with it.
    if (HasDataBlocks()) ReleaseFrom(0);
    if (!HasDataBlocks()) {
      // A slow link maps its block like a file of the volume's kind.
      std::uint32_t flags = GetFlags() & ~kInodeFlagExtents;
      if (driver_->GetIncompatFeatures() & kIncompatExtents) flags |= kInodeFlagExtents;
      Common::StoreLe32(bytes_.data() + 0x20, flags);
      processor_ = cache_->ProcessorFor(flags);
      state_ = std::make_unique<BlockMapState>(driver_, processor_->GetLevelCount());
      processor_->InitializeRoot(area);
    }
    bool fresh = false;
    const std::uint64_t block = MapBlockForWrite(0, fresh);
    BlockHandle handle = driver_->GetBlock(block, true);
    handle.PrepareWrite();
    std::memset(handle.Data(), 0, driver_->BlockSize());
    std::memcpy(handle.Data(), target.data(), target.size());
    handle.MarkDirty();
  }
  symlink_ = target;
  symlinkRead_ = true;
  SetSize(target.size());
  Stamp(true, false, true);
}

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
  if (inodes_.size() < kIdleLimit) return;
  std::uint32_t changed = 0;
  for (const auto& entry : inodes_) changed += entry.second->IsDirty() ? 1 : 0;
  // A changed inode leaves only once written back (the write-back needs its
  // forms); when too many wait, they are written now.
  if (changed >= kChangedLimit) driver_->WriteBackNow();
  LRUList<ExtfsInode>* node = recency_.next;
  while (inodes_.size() >= kIdleLimit && node != &recency_) {
    LRUList<ExtfsInode>* next = node->next;
    auto* inode = static_cast<ExtfsInode*>(node);
    if (inode->Uses() == 0 && !inode->IsDirty()) {
      inode->Unlink();
      inodes_.erase(inode->Index());
      delete inode;
    }
    node = next;
  }
}

ExtfsInode* ExtfsDriver::CreateInode(std::uint32_t index, std::uint32_t objectType,
                                     std::uint32_t inheritedFlags, std::uint32_t mode,
                                     std::uint32_t major, std::uint32_t minor) {
  return inodes_->CreateInode(index, objectType, inheritedFlags, mode, major, minor);
}

ExtfsInode* InodeCache::GetInode(std::uint32_t index) {
  if (index >= driver_->InodesCount()) Corrupted(0x11);
  auto found = inodes_.find(index);
  if (found != inodes_.end()) {
    ExtfsInode* inode = found->second;
    // Freed and waiting for its write-back: as free as on disk.
    if (inode->GetRawLinkCount() == 0) ThrowFileError(0x14, kModuleId, kFileOpenError);
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
  auto* inode = new ExtfsInode(this, driver_, index, std::move(bytes), true);
  recency_.InsertBefore(inode);
  inodes_[index] = inode;
  inode->AddUse();
  return inode;
}

void InodeCache::StageVersions(InodeStage stage, std::set<std::uint64_t>& sectors) {
  std::vector<std::uint8_t> version;
  for (auto& entry : inodes_) {
    ExtfsInode* inode = entry.second;
    if (!inode->IsDirty() || !inode->VersionFor(stage, version)) continue;
    std::uint32_t offset = 0;
    BlockHandle block = driver_->GetInodeBlock(inode->Index(), offset);
    if (std::memcmp(block.Data() + offset, version.data(), version.size()) == 0) continue;
    block.PrepareWrite();
    std::memcpy(block.Data() + offset, version.data(), version.size());
    block.MarkDirty();
    sectors.insert(block.FirstSector());
  }
}

void InodeCache::NoteWrittenBack() {
  for (auto& entry : inodes_)
    if (entry.second->IsDirty()) entry.second->NoteWrittenBack();
}

void InodeCache::Forget(ExtfsInode* inode) noexcept {
  // A freed inode waits in the cache for the write-back that frees it on
  // disk; eviction takes it then.
  if (inode->IsDirty()) return;
  inode->Unlink();
  inodes_.erase(inode->Index());
  delete inode;
}

ExtfsInode* InodeCache::CreateInode(std::uint32_t index, std::uint32_t objectType,
                                    std::uint32_t inheritedFlags, std::uint32_t mode,
                                    std::uint32_t major, std::uint32_t minor) {
  if (index >= driver_->InodesCount()) Corrupted(0x13);
  auto found = inodes_.find(index);
  if (found != inodes_.end()) {
    // The freed inode that held the index before, written back already.
    ExtfsInode* old = found->second;
    if (old->GetRawLinkCount() != 0 || old->IsDirty() || old->Uses() != 0) Corrupted(0x15);
    old->Unlink();
    inodes_.erase(found);
    delete old;
  }
  Evict();
  std::vector<std::uint8_t> bytes(driver_->InodeSize(), 0);
  std::uint8_t* b = bytes.data();
  const std::uint16_t permissions =
      mode == 0xF000 ? DefaultModeForType(objectType) : std::uint16_t(mode & 0xFFF);
  Common::StoreLe16(b, std::uint16_t(ObjectTypeToMode(objectType) | permissions));
  std::uint32_t flags = inheritedFlags & 0x1C4FF;
  if (objectType == kTypeFile) flags &= ~0x30000u;
  if (objectType != kTypeFile && objectType != kTypeDirectory) flags &= 0xC0;
  // A new directory starts as a plain list of entries.
  flags &= ~0x1000u;
  if ((objectType == kTypeFile || objectType == kTypeDirectory) &&
      (driver_->GetIncompatFeatures() & kIncompatExtents))
    flags |= kInodeFlagExtents;
  Common::StoreLe32(b + 0x20, flags);
  if (driver_->InodeSize() > 128) Common::StoreLe16(b + 0x80, std::uint16_t(driver_->GetNewInodeExtraSize()));
  auto* inode = new ExtfsInode(this, driver_, index, std::move(bytes), false);
  inode->MarkDirty();
  std::uint8_t* area = inode->MutableBytes() + kMapAreaOffset;
  if (objectType == kTypeCharDevice || objectType == kTypeBlockDevice) {
    if (major <= 255 && minor <= 255)
      Common::StoreLe32(area, major * 256 + minor);
    else
      Common::StoreLe32(area + 4, (minor & 0xFF) | (major << 8) | ((minor & ~0xFFu) << 12));
  } else {
    inode->InitializeMap();
  }
  recency_.InsertBefore(inode);
  inodes_[index] = inode;
  inode->AddUse();
  return inode;
}

}  // namespace extfs
}  // namespace filesystems
