// The HFS+ and HFSX driver: a mounted volume served through the
// framework's driver interface. Construction is the mount: both volume
// headers checked, the journal indexed (replayed at the first change), the
// allocation bitmap loaded, and the extents overflow, catalog and
// attributes trees opened. Folders are listed from the catalog; folders
// are created and removed, and files deleted, through the catalog. Opening
// a file's content is not served yet (0x4000e).
//
// A directory id is the folder's catalog node id, except that the root
// folder (id 2) is directory 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/hfs_catalog.h"
#include "filesystems/hfs_file_table.h"
#include "filesystems/hfs_metadata.h"
#include "filesystems/views.h"

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsDriverModuleId = 0x7A149000;

class HFSPlusDriver : public FileSystemDriverPosix {
 public:
  // 0x4000d for a damaged volume, 0x4000e for one this driver cannot
  // handle; the probe turns either into "not this file system". A
  // non-zero bitmap byte count mounts read-only.
  HFSPlusDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t size,
                std::uint32_t cacheKey, const std::uint8_t* bitmap, std::uint32_t bitmapBytes);
  // Unmount: the trees, the bitmap and both headers written back (the
  // volume marked cleanly unmounted when every file flushed).
  ~HFSPlusDriver() override;

  void Flush() override;
  void GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                      std::uint64_t& available) override;
  void GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) override;
  int CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;
  void NormalizeNameCase(std::u16string&) override {}
  bool CanBackup() override { return true; }
  bool CanRestore() override { return false; }
  DirectoryObject* CreateDirectoryObject(std::uint32_t directoryId) override;
  const char* GetFileSystemName() override { return "HFS+"; }

  Metadata& GetMetadata() noexcept { return *metadata_; }
  bool ReadOnly() const noexcept { return metadata_->GetVolume().ReadOnly(); }
  // 0x4000c on a read-only mount.
  void RequireWritable(std::uint32_t site) const;
  static std::uint32_t FolderIdOf(std::uint32_t directoryId) noexcept {
    return directoryId == 0 ? kRootFolderId : directoryId;
  }
  // The file objects and fork contents open on this mount.
  OpenFileTable& OpenFiles() noexcept { return openFiles_; }

 private:
  std::unique_ptr<Metadata> metadata_;
  OpenFileTable openFiles_;
};

class HFSPlusDirectory : public FileSystemDriver::DirectoryObject {
 public:
  using IteratorObject = FileSystemDriver::IteratorObject;
  using FileObject = FileSystemDriver::FileObject;

  // 0x40011 when the folder is missing, 0x4000d when its id names a file.
  HFSPlusDirectory(HFSPlusDriver* driver, std::uint32_t directoryId);

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
  FileSystemDriver::BackupObject* CreateBackupObject(IteratorObject* at, std::uint32_t option) override;

  std::uint32_t FolderId() const noexcept { return folderId_; }

 private:
  CatalogFile& Catalog();
  // The entry of `name` in this folder; `missing` is thrown when absent.
  CatalogEntry Lookup(const std::u16string& name, std::uint32_t missing);

  HFSPlusDriver* hfs_;
  std::uint32_t folderId_;
};

// Entries of one folder as the catalog held them when it was opened.
class HFSPlusIterator : public FileSystemDriver::IteratorObject {
 public:
  HFSPlusIterator(HFSPlusDriver* driver, std::uint32_t folderId,
                  std::vector<CatalogEntry> entries);

  bool Next() override;
  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override { return name_.c_str(); }
  std::uint64_t GetSize() override;
  std::uint64_t GetAllocatedSize() override;
  std::uint32_t GetObjectType() override;
  std::uint64_t GetModificationTime() override;
  std::uint64_t GetChangeTime() override;
  std::uint64_t GetCreationTime() override;
  std::uint64_t GetAccessTime() override;
  bool IsHidden() override;
  std::uint64_t GetEntryId() override;
  std::uint64_t GetDataPosition() override;
  std::uint32_t GetMode() override;
  std::uint32_t GetOwnerId() override;
  std::uint32_t GetGroupId() override;

  std::uint32_t FolderId() const noexcept { return folderId_; }
  const CatalogEntry& Entry() const { return entries_[at_]; }

 private:
  void Load();
  const std::uint8_t* Record() const { return entries_[at_].record.data(); }
  bool IsFolder() const { return entries_[at_].Type() == kFolderRecord; }

  HFSPlusDriver* hfs_;
  std::uint32_t folderId_;
  std::vector<CatalogEntry> entries_;
  std::size_t at_ = 0;
  std::u16string name_;
};

}  // namespace hfsplus
}  // namespace filesystems
