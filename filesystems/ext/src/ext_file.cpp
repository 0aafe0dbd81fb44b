// Ext regular files (reading through the block map, holes and
// uninitialised extents as zeros) and the directory iterators with their
// snapshots of the entry's inode.
#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/ext_directory.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace extfs {
namespace {

constexpr std::uint32_t kModuleId = kExtFileModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

}  // namespace

void ExtfsBaseIterator::Fill(ExtfsDriver* driver, const DirectoryEntry& entry,
                             std::uint32_t fileBlock) {
  inodeIndex_ = entry.inode - 1;
  fileBlock_ = fileBlock;
  name8_ = entry.name;
  name16_.clear();
  Common::Utf8ToUtf16(name16_, name8_);
  InodeRef inode(driver->GetInode(inodeIndex_));
  mode_ = inode->GetMode();
  target_.clear();
  if (const std::string* target = inode->GetSymlinkTarget())
    Common::Utf8ToUtf16(target_, *target);
  size_ = inode->GetSize();
  allocated_ = inode->GetAllocatedSize();
  modified_ = inode->GetModificationTime();
  changed_ = inode->GetChangeTime();
  created_ = inode->GetCreationTime();
  accessed_ = inode->GetAccessTime();
  links_ = inode->GetLinkCount();
  uid_ = inode->GetUid();
  gid_ = inode->GetGid();
  major_ = inode->GetDeviceMajor();
  minor_ = inode->GetDeviceMinor();
  dataPosition_ = inode->GetDataPosition();
}

bool ExtfsBaseIterator::Next() { ThrowFileError(0x01, kModuleId, kFileNotSupported); }

file_identifier* ExtfsBaseIterator::GetIdentifier() {
  std::vector<std::uint8_t> bytes(4 + name8_.size() + 1, 0);
  Common::StoreLe32(bytes.data(), fileBlock_);
  std::memcpy(bytes.data() + 4, name8_.data(), name8_.size());
  return new the_identifier(name16_.c_str(), bytes.data(), std::uint32_t(bytes.size()));
}

std::uint32_t ExtfsBaseIterator::GetObjectType() { return ModeToObjectType(std::uint16_t(mode_)); }

ExtfsIterator::ExtfsIterator(ExtfsDirectory* directory)
    : ExtfsBaseIterator(directory->Id()),
      driver_(directory->Ext()),
      directory_(directory->Ext()->GetInode(directory->Inode()->Index())),
      directorySize_(directory->Size()),
      copy_(directory->Ext()->BlockSize()) {
  valid_ = Advance(0);
}

bool ExtfsIterator::Advance(std::uint64_t offset) {
  const std::uint32_t blockSize = driver_->BlockSize();
  while (offset < directorySize_) {
    const std::uint64_t fileBlock = offset / blockSize;
    if (copiedBlock_ != fileBlock) {
      const MappedRun run = directory_->MapBlock(fileBlock);
      if (run.block == kNotMapped || run.uninitialised) {
        // A hole holds no entries.
        offset = (fileBlock + 1) * blockSize;
        continue;
      }
      BlockHandle block = driver_->GetBlock(run.block, false);
      std::memcpy(copy_.data(), block.Data(), blockSize);
      copiedBlock_ = fileBlock;
    }
    DirectoryEntry entry;
    const bool live = ExtfsDirectory::ValidateEntry(
        driver_, directory_->Index(), copy_.data(), std::uint32_t(offset % blockSize), true, entry);
    if (entry.recordLength == 0) Corrupted(0x02);
    if (live) {
      offset_ = offset;
      recordLength_ = entry.recordLength;
      Fill(driver_, entry, std::uint32_t(fileBlock));
      return true;
    }
    offset += entry.recordLength;
  }
  offset_ = directorySize_;
  return false;
}

bool ExtfsIterator::Next() {
  if (offset_ >= directorySize_) return false;
  return Advance(offset_ + recordLength_);
}

ExtfsFile::ExtfsFile(ExtfsDriver* driver, std::uint32_t inodeIndex)
    : driver_(driver), inode_(driver->GetInode(inodeIndex)) {
  if ((inode_->GetMode() & 0xF000) != 0x8000) Corrupted(0x10);
}

ExtfsFile::~ExtfsFile() { driver_->ForgetFileObject(inode_->Index()); }

std::uint64_t ExtfsFile::GetVolumeOffset(std::uint64_t offset) {
  const std::uint32_t blockSize = driver_->BlockSize();
  const MappedRun run = inode_->MapBlock(offset / blockSize);
  if (run.block == kNotMapped) ThrowFileError(0x11, kModuleId, kFileSeekError);
  return run.block * driver_->SectorsPerBlock() + (offset % blockSize) / driver_->SectorSize();
}

void ExtfsFile::Read(void* buffer, std::uint64_t offset, std::uint32_t length,
                     std::uint32_t& done) {
  done = 0;
  const std::uint64_t size = inode_->GetSize();
  if (length == 0 || offset >= size) return;
  std::uint64_t left = std::min<std::uint64_t>(length, size - offset);
  const std::uint64_t blockSize = driver_->BlockSize();
  auto* out = static_cast<std::uint8_t*>(buffer);
  MappedRun run;
  std::uint64_t runLeft = 0;
  while (left > 0) {
    const std::uint64_t fileBlock = offset / blockSize;
    if (runLeft == 0) {
      run = inode_->MapBlock(fileBlock);
      runLeft = run.length;
      if (run.uninitialised) run.block = kNotMapped;  // reads as zeros
    }
    const std::uint64_t within = offset % blockSize;
    std::uint64_t take = 0;
    if (within != 0 || left < blockSize) {
      take = std::min(blockSize - within, left);
      if (run.block == kNotMapped) {
        std::memset(out, 0, std::size_t(take));
      } else {
        BlockHandle block = driver_->GetBlock(run.block, false);
        std::memcpy(out, block.Data() + within, std::size_t(take));
      }
    } else {
      const std::uint64_t blocks = std::min(left / blockSize, runLeft);
      take = blocks * blockSize;
      if (run.block == kNotMapped)
        std::memset(out, 0, std::size_t(take));
      else
        driver_->ReadBlocksAt(out, run.block, blocks);
    }
    const std::uint64_t usedBlocks = (within + take + blockSize - 1) / blockSize;
    runLeft -= std::min(runLeft, usedBlocks);
    if (run.block != kNotMapped && runLeft != 0) run.block += usedBlocks;
    out += take;
    offset += take;
    left -= take;
    done += std::uint32_t(take);
  }
}

void ExtfsFile::Write(const void*, std::uint64_t, std::uint32_t, std::uint32_t& done) {
  done = 0;
  driver_->RequireWritable(0x20);
  ThrowFileError(0x21, kModuleId, kFileNotSupported);
}

void ExtfsFile::SetSize(std::uint64_t) {
  driver_->RequireWritable(0x22);
  ThrowFileError(0x23, kModuleId, kFileNotSupported);
}

void ExtfsFile::SetTimes(std::uint64_t, std::uint64_t, std::uint64_t) {
  driver_->RequireWritable(0x24);
  ThrowFileError(0x25, kModuleId, kFileNotSupported);
}

FileSystemDriver::RestoreObject* ExtfsFile::CreateRestoreObject(std::uint32_t) {
  ThrowFileError(0x26, kModuleId, kFileNotSupported);
}

FileSystemDriver::FileObject* ExtfsDriver::OpenFileObject(std::uint32_t inodeIndex) {
  auto found = openFiles_.find(inodeIndex);
  if (found != openFiles_.end()) return found->second;
  auto* file = new ExtfsFile(this, inodeIndex);
  openFiles_[inodeIndex] = file;
  return file;
}

}  // namespace extfs
}  // namespace filesystems
