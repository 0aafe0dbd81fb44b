// Ext directories: reading entry blocks, validating entries, lookups by
// name, and the directory operations of the framework. Changes to a
// directory are not made by this driver yet: they are refused, with
// 0x4000c on a read-only mount and 0x4000e otherwise.
#include "filesystems/ext_directory.h"

#include <cstring>

#include "files/file_error.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace extfs {
namespace {

constexpr std::uint32_t kModuleId = kExtDirectoryModuleId;
constexpr std::uint32_t kRootInode = 2;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

std::uint32_t InodeIndexOfId(std::uint32_t id) { return id == 0 ? 1 : id; }

std::string ToUtf8(const std::u16string& name) {
  std::string out;
  if (!Common::Utf16ToUtf8(out, name)) ThrowFileError(0x01, kModuleId, kFileOpenError);
  return out;
}

// The UTF-8 name an identifier carries after its block number.
bool IdentifierParts(const file_identifier* id, std::uint32_t& fileBlock, std::string& name) {
  const auto* general = dynamic_cast<const the_identifier*>(id);
  if (!general) return false;
  if (general->bytes() && general->byte_count() > 5) {
    fileBlock = Common::LoadLe32(general->bytes());
    name.assign(reinterpret_cast<const char*>(general->bytes() + 4), general->byte_count() - 5);
    return true;
  }
  fileBlock = 0;
  std::u16string wide = general->name();
  return Common::Utf16ToUtf8(name, wide);
}

}  // namespace

std::uint32_t DirentTypeToObjectType(std::uint8_t type) {
  static const std::uint32_t kTypes[8] = {kTypeUndetermined, kTypeFile,        kTypeDirectory,
                                          kTypeCharDevice,   kTypeBlockDevice, kTypeFifo,
                                          kTypeSocket,       kTypeSymlink};
  if (type >= 8) Corrupted(0x02);
  return kTypes[type];
}

ExtfsDirectory::ExtfsDirectory(ExtfsDriver* driver, std::uint32_t directoryId)
    : DirectoryObject(driver, directoryId), ext_(driver) {
  inode_ = InodeRef(driver->GetInode(InodeIndexOfId(directoryId)));
  if (!inode_->IsDirectory()) Corrupted(0x03);
  size_ = inode_->GetSize();
  if (size_ == 0 || size_ % driver->BlockSize() != 0) Corrupted(0x04);
}

ExtfsDirectory::~ExtfsDirectory() = default;

const std::uint8_t* ExtfsDirectory::GetDirectoryBlock(std::uint64_t offset) {
  if (offset >= size_) Corrupted(0x05);
  const std::uint64_t fileBlock = offset / ext_->BlockSize();
  if (cachedFileBlock_ == fileBlock && (cached_ || !zeros_.empty())) {
    return cached_ ? cached_.Data() : zeros_.data();
  }
  const MappedRun run = inode_->MapBlock(fileBlock);
  cached_.Release();
  cachedFileBlock_ = kNotMapped;
  if (run.block == kNotMapped || run.uninitialised) {
    // A hole in a directory holds no entries; it reads as one empty record.
    zeros_.assign(ext_->BlockSize(), 0);
    Common::StoreLe16(zeros_.data() + 4, std::uint16_t(std::min<std::uint32_t>(ext_->BlockSize(), 0xFFFC)));
    if (ext_->BlockSize() >= 65536) Common::StoreLe16(zeros_.data() + 4, 0);
    cachedFileBlock_ = fileBlock;
    return zeros_.data();
  }
  zeros_.clear();
  cached_ = ext_->GetBlock(run.block, false);
  cachedFileBlock_ = fileBlock;
  return cached_.Data();
}

bool ExtfsDirectory::ValidateEntry(ExtfsDriver* ext, std::uint32_t directoryIndex,
                                   const std::uint8_t* block, std::uint32_t offset, bool skipDots,
                                   DirectoryEntry& entry) {
  const std::uint32_t blockSize = ext->BlockSize();
  if (offset % 4 != 0 || offset + 8 > blockSize) Corrupted(0x10);
  const std::uint8_t* e = block + offset;
  entry.inode = Common::LoadLe32(e);
  std::uint32_t recordLength = Common::LoadLe16(e + 4);
  // Blocks of 64 KiB and more write a record reaching the block's end as
  // 0 or 65535 (the length does not fit in 16 bits).
  if (blockSize >= 65536 && (recordLength == 0 || recordLength == 65535))
    recordLength = blockSize - offset;
  entry.recordLength = recordLength;
  const std::uint32_t nameLength = e[6];
  entry.type = (ext->GetIncompatFeatures() & kIncompatFiletype) ? e[7] : 0;
  if (recordLength % 4 != 0 || entry.inode > ext->InodesCount()) Corrupted(0x11);
  if (recordLength < nameLength + 8 || recordLength > blockSize - offset) Corrupted(0x12);
  if (entry.inode == 0) return false;
  // Inode 1 holds the bad-block list; an entry naming it would alias a
  // non-directory as anything, and a directory of it could make cycles.
  if (entry.inode == 1) Corrupted(0x13);
  if (nameLength == 0) Corrupted(0x14);
  const char* name = reinterpret_cast<const char*>(e + 8);
  if (std::memchr(name, '/', nameLength) || std::memchr(name, 0, nameLength)) Corrupted(0x15);
  entry.name.assign(name, nameLength);
  const bool filtered = !ext->IsInodeFiltered(entry.inode - 1);
  const bool dot = entry.name == ".";
  const bool dotDot = entry.name == "..";
  if (dot && entry.inode - 1 != directoryIndex) Corrupted(0x16);
  if (!dot && !dotDot) return !filtered;
  if (entry.type != 0 && entry.type != 2) Corrupted(0x17);
  if (filtered) Corrupted(0x18);
  return !skipDots;
}

bool ExtfsDirectory::NextEntry(std::uint64_t& offset, bool skipDots, DirectoryEntry& entry,
                               std::uint32_t& fileBlock) {
  const std::uint32_t blockSize = ext_->BlockSize();
  while (offset < size_) {
    const std::uint8_t* block = GetDirectoryBlock(offset);
    const std::uint32_t within = std::uint32_t(offset % blockSize);
    const bool live = ValidateEntry(ext_, inode_->Index(), block, within, skipDots, entry);
    if (entry.recordLength == 0) Corrupted(0x19);
    fileBlock = std::uint32_t(offset / blockSize);
    offset += entry.recordLength;
    if (live) return true;
  }
  return false;
}

bool ExtfsDirectory::Lookup(const std::string& name, std::uint32_t hint, DirectoryEntry& entry,
                            std::uint32_t& fileBlock) {
  const std::uint64_t blockSize = ext_->BlockSize();
  auto search = [&](std::uint64_t from, std::uint64_t to) {
    std::uint64_t offset = from;
    while (offset < to) {
      if (!NextEntry(offset, false, entry, fileBlock)) return false;
      if (entry.name == name && std::uint64_t(fileBlock) * blockSize < to) return true;
    }
    return false;
  };
  if (hint != 0 && std::uint64_t(hint) * blockSize < size_ &&
      search(std::uint64_t(hint) * blockSize, (std::uint64_t(hint) + 1) * blockSize))
    return true;
  return search(0, size_);
}

void ExtfsDirectory::LookupOrThrow(const std::u16string& name, std::uint32_t missingCode,
                                   DirectoryEntry& entry, std::uint32_t& fileBlock) {
  if (!Lookup(ToUtf8(name), 0, entry, fileBlock)) ThrowFileError(0x20, kModuleId, missingCode);
}

FileSystemDriver::IteratorObject* ExtfsDirectory::OpenIteratorAt(const file_identifier* id) {
  std::uint32_t hint = 0;
  std::string name;
  if (!IdentifierParts(id, hint, name)) ThrowFileError(0x21, kModuleId, kFileNotFound);
  DirectoryEntry entry;
  std::uint32_t fileBlock = 0;
  if (!Lookup(name, hint, entry, fileBlock)) ThrowFileError(0x22, kModuleId, kFileNotFound);
  auto iterator = std::make_unique<ExtfsBaseIterator>(Id());
  iterator->Fill(ext_, entry, fileBlock);
  return iterator.release();
}

FileSystemDriver::IteratorObject* ExtfsDirectory::OpenIteratorFor(const std::u16string& name) {
  DirectoryEntry entry;
  std::uint32_t fileBlock = 0;
  LookupOrThrow(name, kFileNotFound, entry, fileBlock);
  auto iterator = std::make_unique<ExtfsBaseIterator>(Id());
  iterator->Fill(ext_, entry, fileBlock);
  return iterator.release();
}

FileSystemDriver::IteratorObject* ExtfsDirectory::OpenIterator() {
  auto iterator = std::make_unique<ExtfsIterator>(this);
  return iterator->Valid() ? iterator.release() : nullptr;
}

std::uint32_t ExtfsDirectory::GetChildDirectoryId(const std::u16string& name) {
  DirectoryEntry entry;
  std::uint32_t fileBlock = 0;
  LookupOrThrow(name, kFileNotFound, entry, fileBlock);
  bool directory = entry.type == 2;
  if (entry.type == 0) {
    InodeRef child(ext_->GetInode(entry.inode - 1));
    directory = child->IsDirectory();
  }
  if (!directory) ThrowFileError(0x23, kModuleId, kFileOpenError);
  return entry.inode == kRootInode ? 0 : entry.inode - 1;
}

FileSystemDriver::FileObject* ExtfsDirectory::OpenFileByIdentifier(const file_identifier* id) {
  std::uint32_t hint = 0;
  std::string name;
  if (!IdentifierParts(id, hint, name)) ThrowFileError(0x24, kModuleId, kFileOpenError);
  DirectoryEntry entry;
  std::uint32_t fileBlock = 0;
  if (!Lookup(name, hint, entry, fileBlock)) ThrowFileError(0x25, kModuleId, kFileOpenError);
  if (entry.type != 0 && entry.type != 1) ThrowFileError(0x26, kModuleId, kFileOpenError);
  return ext_->OpenFileObject(entry.inode - 1);
}

FileSystemDriver::FileObject* ExtfsDirectory::OpenFileAt(IteratorObject* at) {
  auto* iterator = dynamic_cast<ExtfsBaseIterator*>(at);
  if (!iterator || iterator->DirectoryId() != Id()) ThrowFileError(0x27, kModuleId, kFileOpenError);
  std::unique_ptr<file_identifier> id(iterator->GetIdentifier());
  return OpenFileByIdentifier(id.get());
}

FileSystemDriver::FileObject* ExtfsDirectory::OpenFile(const std::u16string& name) {
  std::unique_ptr<IteratorObject> at(OpenIteratorFor(name));
  return OpenFileAt(at.get());
}

void ExtfsDirectory::RefuseChange(std::uint32_t site) const {
  ext_->RequireWritable(site);
  ThrowFileError(site, kModuleId, kFileNotSupported);
}

FileSystemDriver::FileObject* ExtfsDirectory::CreateFile(const std::u16string&) {
  RefuseChange(0x30);
}
void ExtfsDirectory::DeleteFile(const std::u16string&) { RefuseChange(0x31); }
void ExtfsDirectory::RemoveDirectory(const std::u16string&) { RefuseChange(0x32); }
void ExtfsDirectory::CreateDirectory(const std::u16string&) { RefuseChange(0x33); }
void ExtfsDirectory::MoveEntry(const std::u16string&, DirectoryObject*, const std::u16string&) {
  RefuseChange(0x34);
}
void ExtfsDirectory::CreateHardLink(const std::u16string&, DirectoryObject*,
                                    const std::u16string&) {
  RefuseChange(0x35);
}
void ExtfsDirectory::CreateSymlink(const std::u16string&, const std::u16string&) {
  RefuseChange(0x36);
}
void ExtfsDirectory::SetAttributes(const std::u16string&, std::uint32_t) {
  ThrowFileError(0x37, kModuleId, kFileNotSupported);
}
void ExtfsDirectory::SetMode(const std::u16string&, std::uint32_t) { RefuseChange(0x38); }
void ExtfsDirectory::SetOwner(const std::u16string&, std::uint32_t, std::uint32_t) {
  RefuseChange(0x39);
}
void ExtfsDirectory::SetTimes(const std::u16string&, std::uint64_t, std::uint64_t,
                              std::uint64_t) {
  RefuseChange(0x3A);
}
void ExtfsDirectory::CreateNode(const std::u16string&, std::uint32_t, std::uint32_t,
                                std::uint32_t, std::uint32_t) {
  RefuseChange(0x3B);
}

FileSystemDriver::DirectoryObject* ExtfsDriver::CreateDirectoryObject(std::uint32_t directoryId) {
  if (InodeIndexOfId(directoryId) >= InodesCount())
    ThrowFileError(0x40, kModuleId, kFileOpenError);
  return new ExtfsDirectory(this, directoryId);
}

}  // namespace extfs
}  // namespace filesystems
