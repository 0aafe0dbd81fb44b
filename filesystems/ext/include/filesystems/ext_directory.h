// Ext directories, their iterators and regular files.
//
// A directory id is the directory's inode index, except that the root
// (inode 2) has id 0. Entries are read linearly, block after block; the
// index blocks of a hashed directory look like empty entries and are passed
// over. Names are UTF-8 on disk and UTF-16 at the interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/ext_driver.h"
#include "filesystems/ext_inode.h"

namespace filesystems {
namespace extfs {

// The object type of a directory entry's type byte (137: not recorded);
// 0x4000d for an unknown value.
constexpr std::uint32_t kTypeUndetermined = 137;
std::uint32_t DirentTypeToObjectType(std::uint8_t type);

// One directory entry as read from a block.
struct DirectoryEntry {
  std::uint32_t inode = 0;
  std::uint32_t recordLength = 0;
  std::uint8_t type = 0;
  std::string name;  // UTF-8
};

class ExtfsDirectory : public FileSystemDriver::DirectoryObject {
 public:
  using IteratorObject = FileSystemDriver::IteratorObject;
  using FileObject = FileSystemDriver::FileObject;
  using BackupObject = FileSystemDriver::BackupObject;
  using RestoreObject = FileSystemDriver::RestoreObject;

  ExtfsDirectory(ExtfsDriver* driver, std::uint32_t directoryId);
  ~ExtfsDirectory() override;

  IteratorObject* OpenIteratorAt(const file_identifier* id) override;
  IteratorObject* OpenIteratorFor(const std::u16string& name) override;
  IteratorObject* OpenIterator() override;
  std::uint32_t GetChildDirectoryId(const std::u16string& name) override;
  FileObject* OpenFileByIdentifier(const file_identifier* id) override;
  FileObject* OpenFileAt(IteratorObject* at) override;
  FileObject* OpenFile(const std::u16string& name) override;
  FileObject* CreateFile(const std::u16string& name) override;
  void DeleteFile(const std::u16string& name) override;
  void RemoveDirectory(const std::u16string& name) override;
  void CreateDirectory(const std::u16string& name) override;
  void MoveEntry(const std::u16string& name, DirectoryObject* target,
                 const std::u16string& targetName) override;
  void CreateHardLink(const std::u16string& name, DirectoryObject* existingDirectory,
                      const std::u16string& existingName) override;
  void CreateSymlink(const std::u16string& name, const std::u16string& target) override;
  void SetAttributes(const std::u16string& name, std::uint32_t attributes) override;
  void SetMode(const std::u16string& name, std::uint32_t mode) override;
  void SetOwner(const std::u16string& name, std::uint32_t owner, std::uint32_t group) override;
  void SetTimes(const std::u16string& name, std::uint64_t modification, std::uint64_t creation,
                std::uint64_t access) override;
  void CreateNode(const std::u16string& name, std::uint32_t type, std::uint32_t mode,
                  std::uint32_t major, std::uint32_t minor) override;
  BackupObject* CreateBackupObject(IteratorObject* at, std::uint32_t options) override;

  ExtfsDriver* Ext() const noexcept { return ext_; }
  ExtfsInode* Inode() const noexcept { return inode_.get(); }
  std::uint64_t Size() const noexcept { return size_; }

  // Checks the entry at `offset` of a block of directory `directoryIndex`
  // (`block` holds the whole block) and says whether it is live; damage
  // throws 0x4000d. Iterators use it after their directory object is gone.
  static bool ValidateEntry(ExtfsDriver* driver, std::uint32_t directoryIndex,
                            const std::uint8_t* block, std::uint32_t offset, bool skipDots,
                            DirectoryEntry& entry);
  // The next live entry at or after `offset` (which moves past it); false
  // at the end. `fileBlock` receives the block that holds it.
  bool NextEntry(std::uint64_t& offset, bool skipDots, DirectoryEntry& entry,
                 std::uint32_t& fileBlock);
  // Finds a name (UTF-8), searching from `hint` (a file block) first.
  bool Lookup(const std::string& name, std::uint32_t hint, DirectoryEntry& entry,
              std::uint32_t& fileBlock);

  // A place for an entry: the block (one use held) and the entry's offset.
  struct Slot {
    BlockHandle block;
    std::uint32_t offset = 0;
    std::uint32_t fileBlock = 0;
    std::uint8_t* Entry() const noexcept { return block.Data() + offset; }
  };
  // Adds an entry for `name` of `objectType` whose inode and name length
  // stay 0 until the caller stores them (0x40013 when the name exists).
  Slot AddEntry(const std::string& name, std::uint32_t objectType);

 private:
  // The entry of `name` with its block held; false when missing.
  bool Find(const std::string& name, DirectoryEntry& entry, Slot& slot);
  InodeRef CreateEntry(const std::string& name, std::uint32_t objectType,
                       const std::string& target, std::uint32_t mode, std::uint32_t major,
                       std::uint32_t minor);
  void RemoveEntry(const std::u16string& name, bool directory);
  InodeRef LookupInode(const std::u16string& name);
  const std::uint8_t* GetDirectoryBlock(std::uint64_t offset);
  [[noreturn]] void RefuseChange(std::uint32_t site) const;
  void LookupOrThrow(const std::u16string& name, std::uint32_t missingCode, DirectoryEntry& entry,
                     std::uint32_t& fileBlock);

  ExtfsDriver* ext_;
  InodeRef inode_;
  std::uint64_t size_ = 0;
  BlockHandle cached_;
  std::uint64_t cachedFileBlock_ = kNotMapped;
  std::vector<std::uint8_t> zeros_;
};

// The iterator of one entry; `Next` is not supported.
class ExtfsBaseIterator : public FileSystemDriver::IteratorObject {
 public:
  ExtfsBaseIterator(std::uint32_t directoryId) : directoryId_(directoryId) {}
  void Fill(ExtfsDriver* driver, const DirectoryEntry& entry, std::uint32_t fileBlock);

  bool Next() override;
  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override { return name16_.c_str(); }
  std::uint64_t GetSize() override { return size_; }
  std::uint64_t GetAllocatedSize() override { return allocated_; }
  std::uint32_t GetObjectType() override;
  std::uint64_t GetModificationTime() override { return std::uint64_t(modified_); }
  std::uint64_t GetChangeTime() override { return std::uint64_t(changed_); }
  std::uint64_t GetCreationTime() override { return std::uint64_t(created_); }
  std::uint64_t GetAccessTime() override { return std::uint64_t(accessed_); }
  bool IsHidden() override { return !name8_.empty() && name8_[0] == '.'; }
  std::uint64_t GetEntryId() override { return inodeIndex_; }
  std::uint64_t GetDataPosition() override { return dataPosition_; }
  std::uint32_t GetMode() override { return mode_ & 0xFFF; }
  std::uint32_t GetLinkCount() override { return links_; }
  std::uint32_t GetOwnerId() override { return uid_; }
  std::uint32_t GetGroupId() override { return gid_; }
  std::uint32_t GetDeviceMajor() override { return major_; }
  std::uint32_t GetDeviceMinor() override { return minor_; }
  const char16_t* GetSymlinkTarget() override {
    return target_.empty() ? nullptr : target_.c_str();
  }

  std::uint32_t DirectoryId() const noexcept { return directoryId_; }
  std::uint32_t InodeIndex() const noexcept { return inodeIndex_; }
  std::uint32_t FileBlock() const noexcept { return fileBlock_; }
  const std::string& Name8() const noexcept { return name8_; }

 protected:
  std::uint32_t directoryId_;
  std::uint32_t inodeIndex_ = 0;
  std::uint32_t fileBlock_ = 0;
  std::string name8_;
  std::u16string name16_;
  std::uint32_t mode_ = 0;
  std::u16string target_;
  std::uint64_t size_ = 0, allocated_ = 0;
  std::int64_t modified_ = 0, changed_ = 0, created_ = 0, accessed_ = 0;
  std::uint32_t links_ = 0, uid_ = 0, gid_ = 0, major_ = 0, minor_ = 0;
  std::uint64_t dataPosition_ = 0;
};

// The iterator that walks a directory from its first live entry.
class ExtfsIterator : public ExtfsBaseIterator {
 public:
  // Stands on the first live entry; `Valid` is false when there is none.
  explicit ExtfsIterator(ExtfsDirectory* directory);
  bool Valid() const noexcept { return valid_; }
  bool Next() override;

 private:
  bool Advance(std::uint64_t from);
  ExtfsDriver* driver_;
  InodeRef directory_;
  std::uint64_t directorySize_ = 0;
  std::uint64_t offset_ = 0;
  std::uint32_t recordLength_ = 0;
  std::uint64_t copiedBlock_ = kNotMapped;
  std::vector<std::uint8_t> copy_;
  bool valid_ = false;
};

// An open regular file.
class ExtfsFile : public FileSystemDriver::FileObject {
 public:
  using BackupObject = FileSystemDriver::BackupObject;
  using RestoreObject = FileSystemDriver::RestoreObject;

  ExtfsFile(ExtfsDriver* driver, std::uint32_t inodeIndex);
  ~ExtfsFile() override;

  std::uint64_t GetSize() override { return inode_->GetSize(); }
  std::uint64_t GetVolumeOffset(std::uint64_t offset) override;
  void Read(void* buffer, std::uint64_t offset, std::uint32_t length,
            std::uint32_t& done) override;
  void Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
             std::uint32_t& done) override;
  void SetSize(std::uint64_t size) override;
  void SetTimes(std::uint64_t modification, std::uint64_t creation,
                std::uint64_t access) override;
  void Flush() override;
  BackupObject* CreateBackupObject(std::uint32_t options) override;
  RestoreObject* CreateRestoreObject(std::uint32_t) override;

 private:
  ExtfsDriver* driver_;
  InodeRef inode_;
  bool written_ = false;
  std::vector<std::uint8_t> partial_;  // one block composed for a write
};

}  // namespace extfs
}  // namespace filesystems
