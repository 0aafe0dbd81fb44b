// Ext directories: reading entry blocks, validating entries, lookups by
// name, and the directory operations of the framework: creating, removing,
// moving and linking entries and changing the inodes they name.
#include "filesystems/ext_directory.h"

#include <cstring>

#include "files/file_error.h"
#include "files/file_time.h"
#include "filesystems/ext_alloc.h"
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

namespace {

// The UTF-8 form of a name a change stores: 1 to 255 bytes, not a dot name.
std::string NewName(const std::u16string& name) {
  std::string out;
  if (!Common::Utf16ToUtf8(out, name) || out.empty() || out.size() > 255 || out == "." ||
      out == ".." || out.find('/') != std::string::npos || out.find('\0') != std::string::npos)
    ThrowFileError(0x30, kModuleId, kFileCreateError);
  return out;
}

bool IsDotName(const std::u16string& name) { return name == u"." || name == u".."; }

std::uint8_t ObjectTypeToDirentType(std::uint32_t type) {
  switch (type) {
    case kTypeFile:
      return 1;
    case kTypeDirectory:
      return 2;
    case kTypeCharDevice:
      return 3;
    case kTypeBlockDevice:
      return 4;
    case kTypeFifo:
      return 5;
    case kTypeSocket:
      return 6;
    case kTypeSymlink:
      return 7;
    default:
      return 0;
  }
}

// The space an entry with a name of `length` bytes needs.
std::uint32_t EntrySpace(std::uint32_t length) { return (8 + length + 3) & ~3u; }

}  // namespace

bool ExtfsDirectory::Find(const std::string& name, DirectoryEntry& entry, Slot& slot) {
  std::uint64_t offset = 0;
  std::uint32_t fileBlock = 0;
  while (offset < size_) {
    const std::uint64_t at = offset;
    if (!NextEntry(offset, false, entry, fileBlock)) return false;
    if (entry.name == name) {
      // NextEntry moved past it: find its own offset again.
      const std::uint32_t blockSize = ext_->BlockSize();
      std::uint64_t walk = at;
      DirectoryEntry probe;
      for (;;) {
        const std::uint8_t* data = GetDirectoryBlock(walk);
        const bool live = ValidateEntry(ext_, inode_->Index(), data,
                                        std::uint32_t(walk % blockSize), false, probe);
        if (live && probe.name == name) break;
        walk += probe.recordLength;
      }
      GetDirectoryBlock(walk);
      slot.block = cached_;
      slot.offset = std::uint32_t(walk % blockSize);
      slot.fileBlock = std::uint32_t(walk / blockSize);
      return true;
    }
  }
  return false;
}

ExtfsDirectory::Slot ExtfsDirectory::AddEntry(const std::string& name, std::uint32_t objectType) {
  ext_->RequireWritable(0x31);
  // A directory new since the last write-back goes to disk before entries
  // go into it: its early form shows its blocks at once, and they must not
  // name inodes the write-back has not reached.
  if (!inode_->OnDisk()) ext_->WriteBackNow();
  const std::uint32_t blockSize = ext_->BlockSize();
  const std::uint32_t needed = EntrySpace(std::uint32_t(name.size()));
  // One pass: the name must be new; remember the first place it fits.
  std::uint64_t place = kNotMapped;
  bool reuse = false;
  for (std::uint64_t offset = 0; offset < size_;) {
    const std::uint8_t* data = GetDirectoryBlock(offset);
    const std::uint32_t within = std::uint32_t(offset % blockSize);
    DirectoryEntry entry;
    const bool live = ValidateEntry(ext_, inode_->Index(), data, within, false, entry);
    if (entry.recordLength == 0) Corrupted(0x32);
    if (live && entry.name == name) ThrowFileError(0x33, kModuleId, kFileAlreadyExists);
    if (place == kNotMapped && cached_) {
      if (entry.inode == 0 && entry.recordLength >= needed) {
        place = offset;
        reuse = true;
      } else if (entry.inode != 0 && within + entry.recordLength == blockSize &&
                 entry.recordLength >= EntrySpace(data[within + 6]) + needed) {
        place = offset;
        reuse = false;
      }
    }
    offset += entry.recordLength;
  }
  inode_->ClearFlags(0x1000);  // the hash index is not kept up to date
  Slot slot;
  std::uint32_t recordLength = 0;
  if (place == kNotMapped) {
    // The new block is mapped, emptied and counted in the size together.
    ExtfsDriver::WriteBackHold hold(ext_);
    const std::uint64_t fileBlock = size_ / blockSize;
    bool fresh = false;
    const std::uint64_t block = inode_->MapBlockForWrite(fileBlock, fresh);
    slot.block = ext_->GetBlock(block, true);
    slot.block.PrepareWrite();
    std::memset(slot.block.Data(), 0, blockSize);
    slot.offset = 0;
    slot.fileBlock = std::uint32_t(fileBlock);
    recordLength = blockSize;
    size_ += blockSize;
    inode_->SetSize(size_);
    cached_.Release();
    cachedFileBlock_ = kNotMapped;
  } else {
    GetDirectoryBlock(place);
    slot.block = cached_;
    slot.block.PrepareWrite();
    slot.fileBlock = std::uint32_t(place / blockSize);
    std::uint8_t* e = slot.block.Data() + place % blockSize;
    const std::uint32_t length = Common::LoadLe16(e + 4);
    if (reuse) {
      slot.offset = std::uint32_t(place % blockSize);
      recordLength = length;
    } else {
      const std::uint32_t used = EntrySpace(e[6]);
      Common::StoreLe16(e + 4, std::uint16_t(used));
      slot.offset = std::uint32_t(place % blockSize) + used;
      recordLength = length - used;
    }
  }
  std::uint8_t* e = slot.Entry();
  Common::StoreLe32(e, 0);
  Common::StoreLe16(e + 4, std::uint16_t(recordLength));
  e[6] = 0;
  e[7] = (ext_->GetIncompatFeatures() & kIncompatFiletype) ? ObjectTypeToDirentType(objectType) : 0;
  std::memcpy(e + 8, name.data(), name.size());
  slot.block.MarkDirty();
  const std::int64_t now = CurrentTimeMs();
  inode_->SetModificationTime(now);
  inode_->SetChangeTime(now);
  return slot;
}

InodeRef ExtfsDirectory::CreateEntry(const std::string& name, std::uint32_t objectType,
                                     const std::string& target, std::uint32_t mode,
                                     std::uint32_t major, std::uint32_t minor) {
  if ((objectType == kTypeCharDevice || objectType == kTypeBlockDevice) && major == 0 &&
      minor == 0)
    Corrupted(0x34);
  if (objectType == kTypeSymlink && target.empty()) Corrupted(0x35);
  ObjectTypeToMode(objectType);
  Slot slot = AddEntry(name, objectType);
  ExtfsAllocator& allocator = ext_->InodeAllocator();
  const std::uint32_t index = std::uint32_t(allocator.Allocate(objectType));
  InodeRef inode;
  try {
    inode = InodeRef(ext_->CreateInode(index, objectType, inode_->GetFlags(), mode, major, minor));
    if (objectType == kTypeSymlink) {
      inode->SetSymlinkTarget(target);
    } else if (objectType == kTypeDirectory) {
      const std::uint32_t blockSize = ext_->BlockSize();
      bool fresh = false;
      const std::uint64_t block = inode->MapBlockForWrite(0, fresh);
      BlockHandle first = ext_->GetBlock(block, true);
      first.PrepareWrite();
      std::uint8_t* d = first.Data();
      std::memset(d, 0, blockSize);
      const bool types = (ext_->GetIncompatFeatures() & kIncompatFiletype) != 0;
      Common::StoreLe32(d, index + 1);
      Common::StoreLe16(d + 4, 12);
      d[6] = 1;
      d[7] = types ? 2 : 0;
      d[8] = '.';
      Common::StoreLe32(d + 12, inode_->Index() + 1);
      Common::StoreLe16(d + 16, std::uint16_t(blockSize - 12));
      d[18] = 2;
      d[19] = types ? 2 : 0;
      d[20] = '.';
      d[21] = '.';
      first.MarkDirty();
      inode->SetSize(blockSize);
      inode_->AddLink();
    }
    // The link first: whenever the entry is in the cache, its count is.
    inode->AddLink();
    slot.block.PrepareWrite();
    Common::StoreLe32(slot.Entry(), index + 1);
    slot.Entry()[6] = std::uint8_t(name.size());
    slot.block.MarkDirty();
  } catch (...) {
    // The entry stays empty; the inode and what it took go back, marked
    // deleted like any other freed inode.
    if (inode) {
      try {
        inode->Discard();
      } catch (...) {
      }
    } else {
      allocator.Free(index, objectType);
    }
    throw;
  }
  return inode;
}

InodeRef ExtfsDirectory::LookupInode(const std::u16string& name) {
  DirectoryEntry entry;
  std::uint32_t fileBlock = 0;
  LookupOrThrow(name, kFileOpenError, entry, fileBlock);
  return InodeRef(ext_->GetInode(entry.inode - 1));
}

void ExtfsDirectory::RemoveEntry(const std::u16string& name, bool directory) {
  ext_->RequireWritable(0x36);
  if (IsDotName(name)) ThrowFileError(0x37, kModuleId, kFileDeleteError);
  DirectoryEntry entry;
  Slot slot;
  if (!Find(ToUtf8(name), entry, slot)) ThrowFileError(0x38, kModuleId, kFileOpenError);
  if (entry.type != 0 && (entry.type == 2) != directory)
    ThrowFileError(0x39, kModuleId, kFileDeleteError);
  InodeRef inode(ext_->GetInode(entry.inode - 1));
  if (inode->Uses() != 1) ThrowFileError(0x3A, kModuleId, kFileAccessDenied);
  if (inode->IsDirectory() != directory) ThrowFileError(0x3B, kModuleId, kFileDeleteError);
  if (directory && inode->GetLinkCount() != 2 && inode->GetLinkCount() != 0xFFFF)
    ThrowFileError(0x3C, kModuleId, kFileDeleteError);
  // The entry goes before the link it stands for, and a directory's ".."
  // (freed with it) before its parent's count: a write-back never shows
  // more names than links.
  slot.block.PrepareWrite();
  Common::StoreLe32(slot.Entry(), 0);
  slot.block.MarkDirty();
  const std::int64_t now = CurrentTimeMs();
  inode_->SetModificationTime(now);
  inode_->SetChangeTime(now);
  inode->RemoveName();
  if (directory) inode_->DropLink();
}

FileSystemDriver::FileObject* ExtfsDirectory::CreateFile(const std::u16string& name) {
  ext_->RequireWritable(0x40);
  const std::string name8 = NewName(name);
  try {
    // Making the entry looks for the name on the way (one walk of the
    // directory, not two); it refuses before changing anything.
    InodeRef inode = CreateEntry(name8, kTypeFile, std::string(), 0xF000, 0, 0);
    return ext_->OpenFileObject(inode->Index());
  } catch (const Common::Error& e) {
    if (e.Code() != kFileAlreadyExists) throw;
  }
  DirectoryEntry entry;
  Slot slot;
  if (!Find(name8, entry, slot)) Corrupted(0x56);
  InodeRef inode(ext_->GetInode(entry.inode - 1));
  if ((inode->GetMode() & 0xF000) != 0x8000) ThrowFileError(0x41, kModuleId, kFileCreateError);
  inode->Resize(0);
  inode->SetMode(0644);
  inode->SetOwner(0, 0);
  return ext_->OpenFileObject(inode->Index());
}

void ExtfsDirectory::DeleteFile(const std::u16string& name) { RemoveEntry(name, false); }
void ExtfsDirectory::RemoveDirectory(const std::u16string& name) { RemoveEntry(name, true); }

void ExtfsDirectory::CreateDirectory(const std::u16string& name) {
  ext_->RequireWritable(0x42);
  CreateEntry(NewName(name), kTypeDirectory, std::string(), 0xF000, 0, 0);
}

void ExtfsDirectory::MoveEntry(const std::u16string& name, DirectoryObject* target,
                               const std::u16string& targetName) {
  ext_->RequireWritable(0x43);
  auto* to = dynamic_cast<ExtfsDirectory*>(target);
  if (!to || IsDotName(name)) ThrowFileError(0x44, kModuleId, kFileCreateError);
  const std::string newName = NewName(targetName);
  DirectoryEntry entry;
  Slot old;
  if (!Find(ToUtf8(name), entry, old)) ThrowFileError(0x45, kModuleId, kFileOpenError);
  if (to == this && newName == entry.name) return;  // renamed to itself
  InodeRef inode(ext_->GetInode(entry.inode - 1));
  const std::uint32_t type = inode->GetObjectType();
  // The new entry's place, empty until the end.
  Slot slot = to->AddEntry(newName, type);
  auto storeNew = [&] {
    slot.block.PrepareWrite();
    Common::StoreLe32(slot.Entry(), entry.inode);
    slot.Entry()[6] = std::uint8_t(newName.size());
    slot.block.MarkDirty();
  };
  auto clearOld = [&] {
    old.block.PrepareWrite();
    Common::StoreLe32(old.Entry(), 0);
    old.Entry()[6] = 0;
    old.block.MarkDirty();
  };
  if (type != kTypeDirectory) {
    // Both names may be on disk for a moment: the early form of the inode
    // counts the second.
    inode->NoteNameAdded();
    storeNew();
    clearOld();
  } else if (old.block.Data() == slot.block.Data()) {
    // One block: both changes reach the disk in one write.
    storeNew();
    clearOld();
  } else {
    // A directory never has two entries on disk, nor an entry whose ".."
    // names another parent: the old entry goes first (the directory is
    // unconnected for a moment), then "..", then the new entry, each on
    // disk before the next is made.
    BlockHandle first;
    std::uint32_t dotDotOffset = 0;
    if (to != this) {
      const MappedRun run = inode->MapBlock(0);
      if (run.block == kNotMapped || run.uninitialised) Corrupted(0x46);
      first = ext_->GetBlock(run.block, false);
      DirectoryEntry dot, dotDot;
      ValidateEntry(ext_, inode->Index(), first.Data(), 0, false, dot);
      if (dot.name != "." || dot.recordLength >= ext_->BlockSize()) Corrupted(0x47);
      ValidateEntry(ext_, inode->Index(), first.Data(), dot.recordLength, false, dotDot);
      if (dotDot.name != ".." || dotDot.inode != inode_->Index() + 1) Corrupted(0x48);
      dotDotOffset = dot.recordLength;
      // The new parent's count first: it may refuse, and it must cover the
      // ".." before the disk shows it.
      to->inode_->AddLink();
    }
    clearOld();
    ext_->WriteBackNow();
    if (to != this) {
      first.PrepareWrite();
      Common::StoreLe32(first.Data() + dotDotOffset, to->inode_->Index() + 1);
      first.MarkDirty();
      inode_->DropLink();
      ext_->WriteBackNow();
    }
    storeNew();
  }
  const std::int64_t now = CurrentTimeMs();
  inode->SetChangeTime(now);
  inode_->SetModificationTime(now);
  inode_->SetChangeTime(now);
}

void ExtfsDirectory::CreateHardLink(const std::u16string& name, DirectoryObject* existingDirectory,
                                    const std::u16string& existingName) {
  ext_->RequireWritable(0x49);
  auto* from = dynamic_cast<ExtfsDirectory*>(existingDirectory);
  if (!from || IsDotName(name) || IsDotName(existingName))
    ThrowFileError(0x4A, kModuleId, kFileCreateError);
  const std::string name8 = NewName(name);
  InodeRef inode = from->LookupInode(existingName);
  if (inode->IsDirectory()) ThrowFileError(0x4B, kModuleId, kFileCreateError);
  if (inode->GetRawLinkCount() >= ext_->GetMaxLinkCount())
    ThrowFileError(0x4C, kModuleId, kFileCreateError);
  Slot slot = AddEntry(name8, inode->GetObjectType());
  inode->AddLink();
  slot.block.PrepareWrite();
  Common::StoreLe32(slot.Entry(), inode->Index() + 1);
  slot.Entry()[6] = std::uint8_t(name8.size());
  slot.block.MarkDirty();
}

void ExtfsDirectory::CreateSymlink(const std::u16string& name, const std::u16string& target) {
  ext_->RequireWritable(0x4D);
  const std::string name8 = NewName(name);
  std::string target8;
  if (target.empty() || !Common::Utf16ToUtf8(target8, target))
    ThrowFileError(0x4E, kModuleId, kFileCreateError);
  DirectoryEntry entry;
  Slot slot;
  if (Find(name8, entry, slot)) {
    InodeRef inode(ext_->GetInode(entry.inode - 1));
    if ((entry.type != 0 && entry.type != 7) || (inode->GetMode() & 0xF000) != 0xA000)
      ThrowFileError(0x4F, kModuleId, kFileAlreadyExists);
    inode->SetSymlinkTarget(target8);
    return;
  }
  CreateEntry(name8, kTypeSymlink, target8, 0xF000, 0, 0);
}

void ExtfsDirectory::SetAttributes(const std::u16string&, std::uint32_t) {
  ThrowFileError(0x50, kModuleId, kFileNotSupported);
}

void ExtfsDirectory::SetMode(const std::u16string& name, std::uint32_t mode) {
  ext_->RequireWritable(0x51);
  LookupInode(name)->SetMode(mode);
}

void ExtfsDirectory::SetOwner(const std::u16string& name, std::uint32_t owner,
                              std::uint32_t group) {
  ext_->RequireWritable(0x52);
  LookupInode(name)->SetOwner(owner, group);
}

void ExtfsDirectory::SetTimes(const std::u16string& name, std::uint64_t modification,
                              std::uint64_t creation, std::uint64_t access) {
  ext_->RequireWritable(0x53);
  InodeRef inode = LookupInode(name);
  // 0 leaves a time as it is.
  if (modification) inode->SetModificationTime(std::int64_t(modification));
  if (creation) inode->SetCreationTime(std::int64_t(creation));
  if (access) inode->SetAccessTime(std::int64_t(access));
  inode->SetChangeTime(CurrentTimeMs());
}

void ExtfsDirectory::CreateNode(const std::u16string& name, std::uint32_t type, std::uint32_t mode,
                                std::uint32_t major, std::uint32_t minor) {
  ext_->RequireWritable(0x54);
  if (type != kTypeCharDevice && type != kTypeBlockDevice && type != kTypeFifo &&
      type != kTypeSocket && type != kTypeFile)
    ThrowFileError(0x55, kModuleId, kFileNotSupported);
  CreateEntry(NewName(name), type, std::string(), mode & 0xFFF, major, minor);
}

FileSystemDriver::DirectoryObject* ExtfsDriver::CreateDirectoryObject(std::uint32_t directoryId) {
  if (InodeIndexOfId(directoryId) >= InodesCount())
    ThrowFileError(0x40, kModuleId, kFileOpenError);
  return new ExtfsDirectory(this, directoryId);
}

}  // namespace extfs
}  // namespace filesystems
