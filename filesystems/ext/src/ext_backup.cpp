// The backup stream of an ext entry, and the reading of extended
// attributes from the inode's extra space and the attribute block.
#include "filesystems/ext_backup.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/ext_directory.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace extfs {
namespace {

constexpr std::uint32_t kModuleId = kExtBackupModuleId;
constexpr std::uint32_t kStreamHeader = 20;
constexpr std::uint32_t kSparseHeader = 28;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

}  // namespace

const char* AttributeNamePrefix(std::uint8_t index) {
  switch (index) {
    case 2:
      return "system.posix_acl_access";
    case 3:
      return "system.posix_acl_default";
    case 4:
      return "trusted";
    case 5:
      return "lustre";
    case 6:
      return "security";
    default:
      return "user";
  }
}

void ParseAttributeEntries(const std::uint8_t* area, std::uint32_t size, std::uint32_t first,
                           std::uint32_t valueBase, std::vector<std::uint8_t>& records) {
  std::uint32_t at = first;
  while (at <= size && size - at >= 16) {
    const std::uint8_t* e = area + at;
    if (e[0] == 0 && e[1] == 0 && Common::LoadLe16(e + 2) == 0) return;
    const std::uint32_t nameLength = e[0];
    const std::uint32_t entryEnd = at + 16 + nameLength;
    if (entryEnd > size) Corrupted(0x01);
    const std::uint64_t valueStart = std::uint64_t(valueBase) + Common::LoadLe16(e + 2);
    const std::uint32_t valueSize = Common::LoadLe32(e + 8);
    if (Common::LoadLe32(e + 4) != 0) Corrupted(0x02);  // values in other inodes: not read
    if (valueSize != 0 && (valueStart < entryEnd || valueStart + valueSize > size))
      Corrupted(0x03);
    std::string name = AttributeNamePrefix(e[1]);
    name += '.';
    name.append(reinterpret_cast<const char*>(e + 16), nameLength);
    if (name.size() > 0xFFFF) Corrupted(0x04);
    const std::size_t start = records.size();
    records.resize(start + 10 + name.size() + valueSize);
    std::uint8_t* r = records.data() + start;
    Common::StoreLe16(r, std::uint16_t(name.size()));
    Common::StoreLe32(r + 2, valueSize);
    Common::StoreLe32(r + 6, 0);
    std::memcpy(r + 10, name.data(), name.size());
    if (valueSize) std::memcpy(r + 10 + name.size(), area + valueStart, valueSize);
    at = (entryEnd + 3) / 4 * 4;
  }
}

ExtfsBackupObject::ExtfsBackupObject(ExtfsDriver* driver, std::uint32_t inodeIndex,
                                     std::uint32_t options)
    : driver_(driver), inode_(driver->GetInode(inodeIndex)), options_(options) {
  Advance();
}

bool ExtfsBackupObject::HasExtendedAttributes() const {
  if (inode_->GetFileAclBlock() != 0) return true;
  std::uint32_t size = 0;
  const std::uint8_t* area = inode_->GetInlineAttributeArea(size);
  return area && size >= 4 && Common::LoadLe32(area) == kAttributeMagic;
}

void ExtfsBackupObject::Advance() {
  alignment = 1;
  std::uint32_t next = kItemNone;
  switch (itemKind) {
    case kItemNone:
      next = kItemAttributes;
      break;
    case kItemAttributes:
      next = kItemPosixAttributes;
      break;
    case kItemPosixAttributes:
      if (HasExtendedAttributes()) {
        next = kItemExtendedAttributes;
        break;
      }
      [[fallthrough]];
    case kItemExtendedAttributes:
      if ((inode_->GetMode() & 0xF000) == 0x8000 && inode_->GetSize() > 0 &&
          !(options_ & kBackupSkipData)) {
        next = kItemWindowsStreams;
        break;
      }
      [[fallthrough]];
    case kItemWindowsStreams:
      next = kItemTimes;
      break;
    case kItemTimes:
      next = kItemNone;
      break;
    default:
      Corrupted(0x10);
  }
  itemKind = next;
  switch (next) {
    case kItemAttributes:
      wantedSize = 4;
      break;
    case kItemPosixAttributes:
    case kItemExtendedAttributes:
      wantedSize = kChunk;
      break;
    case kItemWindowsStreams:
      wantedSize = kChunk + kSparseHeader;
      alignment = driver_->SectorSize();
      break;
    case kItemTimes:
      wantedSize = 16;
      break;
    default:
      wantedSize = 0;
  }
}

std::uint32_t ExtfsBackupObject::ProduceChunk(void* buffer, std::uint32_t capacity) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint32_t count = 0;
  switch (itemKind) {
    case kItemAttributes:
      if (capacity < 4) Corrupted(0x11);
      Common::StoreLe32(out, inode_->IsDirectory() ? 0x10 : 0);
      count = 4;
      Advance();
      return count;
    case kItemPosixAttributes:
      count = ProducePosixAttributes(out, capacity);
      Advance();
      return count;
    case kItemExtendedAttributes:
      return ProduceExtendedAttributes(out, capacity);
    case kItemWindowsStreams:
      return ProduceData(out, capacity);
    case kItemTimes:
      if (capacity < 16) Corrupted(0x12);
      Common::StoreLe64(out, std::uint64_t(inode_->GetModificationTime()));
      Common::StoreLe64(out + 8, std::uint64_t(inode_->GetCreationTime()));
      Advance();
      return 16;
    default:
      Corrupted(0x13);
  }
}

std::uint32_t ExtfsBackupObject::ProducePosixAttributes(std::uint8_t* out,
                                                        std::uint32_t capacity) {
  const std::uint32_t type = inode_->GetObjectType();
  std::u16string target;
  std::uint64_t size = 20;
  if (type == kTypeCharDevice || type == kTypeBlockDevice) size = 28;
  if (type == kTypeSymlink) {
    if (const std::string* text = inode_->GetSymlinkTarget()) Common::Utf8ToUtf16(target, *text);
    size = 24 + 2 * std::uint64_t(target.size());
    if (target.size() > 65534) target.resize(65534);
  }
  if (size > capacity) return 0;
  Common::StoreLe32(out, std::uint32_t(size));
  Common::StoreLe32(out + 4, type);
  Common::StoreLe32(out + 8, inode_->GetUid());
  Common::StoreLe32(out + 12, inode_->GetGid());
  Common::StoreLe32(out + 16, inode_->GetMode() & 0xFFF);
  if (size == 28) {
    Common::StoreLe32(out + 20, inode_->GetDeviceMajor());
    Common::StoreLe32(out + 24, inode_->GetDeviceMinor());
  } else if (type == kTypeSymlink) {
    Common::StoreLe16(out + 20, std::uint16_t(target.size()));
    for (std::size_t i = 0; i < target.size(); ++i)
      Common::StoreLe16(out + 22 + 2 * i, std::uint16_t(target[i]));
    Common::StoreLe16(out + 22 + 2 * target.size(), 0);
  }
  return std::uint32_t(size);
}

std::uint32_t ExtfsBackupObject::ProduceExtendedAttributes(std::uint8_t* out,
                                                           std::uint32_t capacity) {
  if (!attributesBuilt_) {
    std::uint32_t size = 0;
    const std::uint8_t* area = inode_->GetInlineAttributeArea(size);
    if (area && size >= 4 && Common::LoadLe32(area) == kAttributeMagic)
      ParseAttributeEntries(area, size, 4, 4, attributes_);
    if (const std::uint64_t block = inode_->GetFileAclBlock()) {
      BlockHandle handle = driver_->GetBlock(block, false);
      const std::uint8_t* b = handle.Data();
      if (Common::LoadLe32(b) != kAttributeMagic || Common::LoadLe32(b + 4) == 0 ||
          Common::LoadLe32(b + 8) != 1)
        Corrupted(0x20);
      ParseAttributeEntries(b, driver_->BlockSize(), 32, 0, attributes_);
    }
    attributesBuilt_ = true;
  }
  // Records larger than one chunk continue in the next: the item ends once
  // every byte has gone out, whatever the chunk size.
  const std::size_t n = std::min<std::size_t>(capacity, attributes_.size() - attributesDone_);
  std::memcpy(out, attributes_.data() + attributesDone_, n);
  attributesDone_ += n;
  if (attributesDone_ == attributes_.size()) {
    attributes_.clear();
    Advance();
  }
  return std::uint32_t(n);
}

std::uint32_t ExtfsBackupObject::ProduceData(std::uint8_t* out, std::uint32_t capacity) {
  const std::uint64_t blockSize = driver_->BlockSize();
  const std::uint64_t fileSize = inode_->GetSize();
  const std::uint64_t blocks = (fileSize + blockSize - 1) / blockSize;
  std::uint32_t header = 0;
  if (block_ >= runEnd_) {
    // Start a stream: skip holes to the next mapped run, then extend it
    // over the mapped runs that follow without a hole.
    std::uint64_t start = block_;
    while (start < blocks) {
      const MappedRun run = inode_->MapBlock(start);
      if (run.block != kNotMapped && !run.uninitialised) break;
      start += std::max<std::uint64_t>(1, run.length);
    }
    start = std::min(start, blocks);
    std::uint64_t end = start;
    while (end < blocks) {
      const MappedRun run = inode_->MapBlock(end);
      if (run.block == kNotMapped || run.uninitialised) break;
      end += std::max<std::uint64_t>(1, run.length);
    }
    end = std::min(end, blocks);
    if (start == 0 && end == blocks) {
      if (capacity < kStreamHeader) Corrupted(0x30);
      Common::StoreLe32(out, 1);
      Common::StoreLe32(out + 4, 0);
      Common::StoreLe64(out + 8, fileSize);
      Common::StoreLe32(out + 16, 0);
      header = kStreamHeader;
    } else {
      if (capacity < kSparseHeader) Corrupted(0x31);
      const std::uint64_t offset = std::min(start * blockSize, fileSize);
      const std::uint64_t last = std::min(end * blockSize, fileSize);
      Common::StoreLe32(out, 9);
      Common::StoreLe32(out + 4, 8);
      Common::StoreLe64(out + 8, last - offset + 8);
      Common::StoreLe32(out + 16, 0);
      Common::StoreLe64(out + 20, offset);
      header = kSparseHeader;
    }
    block_ = start;
    runEnd_ = end;
    if (start == end) {
      // Only holes remained: this closing stream is the last chunk.
      block_ = runEnd_ = blocks;
      closed_ = true;
      Advance();
      return header;
    }
  }
  // Whole blocks of the run, each mapped piece read straight into place.
  const std::uint64_t room = std::min<std::uint64_t>(kChunk, capacity - header) / blockSize;
  const std::uint64_t want = std::min(room, runEnd_ - block_);
  if (want == 0) Corrupted(0x32);
  std::uint64_t done = 0;
  while (done < want) {
    const MappedRun run = inode_->MapBlock(block_ + done);
    if (run.block == kNotMapped || run.uninitialised) Corrupted(0x33);
    const std::uint64_t n = std::min(run.length, want - done);
    driver_->ReadBlocksAt(out + header + done * blockSize, run.block, n);
    done += n;
  }
  const std::uint64_t from = block_ * blockSize;
  block_ += want;
  const std::uint64_t to = std::min(block_ * blockSize, fileSize);
  const std::uint32_t count = std::uint32_t(header + (to - from));
  if (block_ >= blocks) {
    // A file that ends in a hole gets its closing stream next; one whose
    // last block was just produced is done.
    Advance();
  }
  return count;
}

FileSystemDriver::BackupObject* ExtfsFile::CreateBackupObject(std::uint32_t options) {
  return new ExtfsBackupObject(driver_, inode_->Index(), options);
}

FileSystemDriver::BackupObject* ExtfsDirectory::CreateBackupObject(IteratorObject* at,
                                                                   std::uint32_t options) {
  if (!at) return new ExtfsBackupObject(ext_, Inode()->Index(), options);
  auto* iterator = dynamic_cast<ExtfsBaseIterator*>(at);
  if (!iterator || iterator->DirectoryId() != Id()) ThrowFileError(0x40, kModuleId, kFileOpenError);
  DirectoryEntry entry;
  std::uint32_t fileBlock = 0;
  if (!Lookup(iterator->Name8(), iterator->FileBlock(), entry, fileBlock))
    ThrowFileError(0x41, kModuleId, kFileOpenError);
  return new ExtfsBackupObject(ext_, entry.inode - 1, options);
}

}  // namespace extfs
}  // namespace filesystems
