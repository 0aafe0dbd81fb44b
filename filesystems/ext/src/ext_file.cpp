// Ext regular files (reading through the block map, holes and
// uninitialised extents as zeros) and the directory iterators with their
// snapshots of the entry's inode.
#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "files/file_time.h"
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

void ExtfsFile::Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
                      std::uint32_t& done) {
  done = 0;
  driver_->RequireWritable(0x20);
  if (length == 0) return;
  // Blocks are mapped before the bytes reach them and the size follows.
  ExtfsDriver::WriteBackHold hold(driver_);
  const std::uint64_t blockSize = driver_->BlockSize();
  std::uint64_t end = 0;
  if (!Common::CheckedAdd<std::uint64_t>(offset, length, &end) ||
      (end + blockSize - 1) / blockSize > inode_->Capacity())
    ThrowFileError(0x21, kModuleId, kFileSeekError);
  // Writing past the end first extends the file with zeros: what the old
  // last block held past the end, and blocks mapped beyond it, must not
  // show through the gap.
  if (offset > inode_->GetSize()) inode_->Resize(offset);
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::uint64_t left = length;
  std::uint64_t block = kNotMapped;
  std::uint64_t runLeft = 0;
  bool fresh = false;
  while (left > 0) {
    const std::uint64_t fileBlock = offset / blockSize;
    const std::uint64_t within = offset % blockSize;
    if (runLeft == 0) {
      const MappedRun run = inode_->MapBlock(fileBlock);
      if (run.block == kNotMapped || run.uninitialised) {
        // Blocks new to the file hold nothing of it: they are written whole
        // or zeroed around what is written, never read.
        const std::uint64_t wanted =
            std::min<std::uint64_t>((within + left + blockSize - 1) / blockSize, run.length);
        std::uint64_t start = 0, got = 0;
        inode_->AllocateRun(fileBlock, std::max<std::uint64_t>(wanted, 1), start, got);
        if (got == 0) break;  // the volume is full: a short count
        block = start;
        runLeft = got;
        fresh = true;
      } else {
        block = run.block;
        runLeft = run.length;
        fresh = false;
      }
    }
    std::uint64_t take = 0;
    std::uint64_t used = 1;
    if (within != 0 || left < blockSize) {
      take = std::min(blockSize - within, left);
      const std::uint64_t size = inode_->GetSize();
      const std::uint64_t blockStart = fileBlock * blockSize;
      const bool keep = !fresh && blockStart < size;
      if (!keep) {
        // Nothing of the file is in the block: it goes to the device whole
        // from here, as whole new blocks do, rather than filling the cache
        // with blocks only a write-back would write.
        partial_.assign(std::size_t(blockSize), 0);
        std::memcpy(partial_.data() + within, in, std::size_t(take));
        driver_->WriteBlocksAt(partial_.data(), block, 1);
      } else {
        BlockHandle handle = driver_->GetBlock(block, false);
        handle.PrepareWrite();
        if (size - blockStart < blockSize)
          std::memset(handle.Data() + (size - blockStart), 0,
                      std::size_t(blockSize - (size - blockStart)));
        std::memcpy(handle.Data() + within, in, std::size_t(take));
        handle.MarkDirty();
      }
    } else {
      used = std::min(left / blockSize, runLeft);
      take = used * blockSize;
      driver_->WriteBlocksAt(in, block, used);
    }
    runLeft -= std::min(runLeft, used);
    block += used;
    in += take;
    offset += take;
    left -= take;
    done += std::uint32_t(take);
    if (offset > inode_->GetSize()) inode_->SetSize(offset);
  }
  if (done > 0) written_ = true;
}

void ExtfsFile::SetSize(std::uint64_t size) {
  driver_->RequireWritable(0x22);
  const std::uint64_t blockSize = driver_->BlockSize();
  if ((size / blockSize) + 1 > inode_->Capacity()) ThrowFileError(0x23, kModuleId, kFileSeekError);
  inode_->Resize(size);
}

void ExtfsFile::SetTimes(std::uint64_t modification, std::uint64_t creation,
                         std::uint64_t access) {
  driver_->RequireWritable(0x24);
  Flush();
  // 0 leaves a time as it is.
  if (modification) inode_->SetModificationTime(std::int64_t(modification));
  if (creation) inode_->SetCreationTime(std::int64_t(creation));
  if (access) inode_->SetAccessTime(std::int64_t(access));
  inode_->SetChangeTime(CurrentTimeMs());
}

void ExtfsFile::Flush() {
  if (written_) {
    written_ = false;
    const std::int64_t now = CurrentTimeMs();
    inode_->SetModificationTime(now);
    inode_->SetChangeTime(now);
  }
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
