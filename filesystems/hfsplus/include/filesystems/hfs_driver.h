// The HFS+ and HFSX driver: a mounted volume served through the
// framework's driver interface. Construction is the mount: both volume
// headers checked, the journal indexed (replayed at the first change), the
// allocation bitmap loaded, and the extents overflow, catalog and
// attributes trees opened. Folders are listed from the catalog with every
// property of their entries; folders, symbolic links and hard links are
// created, entries moved, renamed and deleted, and owners, modes and times
// changed through the catalog. File content is served by the file objects
// that NewFileObject makes.
//
// A directory id is the folder's catalog node id, except that the root
// folder (id 2) is directory 0.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/hfs_catalog.h"
#include "filesystems/hfs_catalog_items.h"
#include "filesystems/hfs_metadata.h"
#include "filesystems/hfs_open_files.h"
#include "filesystems/views.h"

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsDriverModuleId = 0x7A149000;

class HFSPlusDirectory;

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
  OpenedFilesInDirectoriesMap& OpenedFiles() noexcept { return openedFiles_; }
  // The folder object of the hard-link folder, kept for the rest of the
  // mount; the folder is made (through the root's folder object) when the
  // volume has none, which a read-only mount refuses with 0x4000c.
  HFSPlusDirectory* PrivateDataFolder();
  // The hard-link folder's id, 0 when the volume has none.
  std::uint32_t PrivateDataFolderId();

  // A new file object for the catalog file `fileId` of `directory`'s
  // folder (a hard link's reaches its iNode's through the hard-link
  // folder's object).
  virtual HFSPlusFileObjectBase* NewFileObject(HFSPlusDirectory* directory, std::uint32_t fileId);

 private:
  std::unique_ptr<Metadata> metadata_;
  OpenedFilesInDirectoriesMap openedFiles_;
  HFSPlusDirectory* privateFolder_ = nullptr;
};

class HFSPlusDirectory : public FileSystemDriver::DirectoryObject {
 public:
  using IteratorObject = FileSystemDriver::IteratorObject;
  using FileObject = FileSystemDriver::FileObject;

  // 0x40007 when the folder is missing or its id names a file; 0x40013
  // when the folder has a folder object already.
  HFSPlusDirectory(HFSPlusDriver* driver, std::uint32_t directoryId);
  ~HFSPlusDirectory() override;

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
  void SetSecurityData(const std::u16string& name, const void* data, std::uint32_t size) override;
  void SetAttributes(const std::u16string& name, std::uint32_t attributes) override;
  void SetMode(const std::u16string& name, std::uint32_t mode) override;
  void SetOwner(const std::u16string& name, std::uint32_t owner, std::uint32_t group) override;
  void SetTimes(const std::u16string& name, std::uint64_t modification, std::uint64_t creation,
                std::uint64_t access) override;
  void CreateNode(const std::u16string& name, std::uint32_t type, std::uint32_t mode,
                  std::uint32_t major, std::uint32_t minor) override;
  FileSystemDriver::BackupObject* CreateBackupObject(IteratorObject* at, std::uint32_t option) override;

  std::uint32_t FolderId() const noexcept { return folderId_; }
  HFSPlusDriver* Hfs() const noexcept { return hfs_; }
  const OpenFileSet& OpenFiles() const noexcept { return openFiles_; }
  // The open file object of `fileId` in this folder, or a new one made by
  // the driver and kept here. While any file of the folder is open, the
  // folder object holds a use of itself, so that the framework keeps it.
  HFSPlusFileObjectBase* OpenFileObject(std::uint32_t fileId);
  // A file object closes: it leaves the set (an id not in it changes
  // nothing).
  void RemoveOpenFile(std::uint32_t fileId) noexcept;
  // On the hard-link folder's object: the file object of a link's iNode,
  // shared by every link of it.
  HFSPlusFileObjectBase* OpenHardLinkTarget(std::uint32_t linkId);
  // Makes the hard-link folder in the root folder's object.
  std::uint32_t CreatePrivateDataFolder();

 private:
  CatalogFile& Catalog();
  // The entry of `name` in this folder; `missing` is thrown when absent.
  CatalogEntry Lookup(const std::u16string& name, std::uint32_t missing);
  bool Find(const std::u16string& name, CatalogEntry* entry);
  // Read-only mounts refused; the folder's access date stamped.
  void TouchFolder(std::uint32_t site);
  bool CanDelete(const CatalogEntry& entry);
  // The record change shared by the owner, mode, security and time
  // setters: on a folder or a closed file through the catalog.
  void ChangeRecord(const std::u16string& name, std::uint32_t site,
                    const std::function<void(std::uint8_t*)>& change,
                    const std::function<void(HFSPlusFileObjectBase*)>& openChange);

  HFSPlusDriver* hfs_;
  std::uint32_t folderId_;
  OpenFileSet openFiles_;
};

// The entries of one folder in catalog order, the hard-link folder and the
// root's journal files left out. The folder's entries are taken when the
// iterator is made (checked against the folder's valence); each entry's
// record is read again when the iterator reaches it, so that what it
// reports is current, and an entry deleted in between is passed over.
// A hard link reports its own name and id with its iNode's properties.
class HFSPlusIterator : public FileSystemDriver::IteratorObject {
 public:
  // At the first visible entry; AtEnd() when there is none.
  HFSPlusIterator(HFSPlusDriver* driver, std::uint32_t folderId);
  // At the entry `name`, hidden or not (0x40011 when missing).
  HFSPlusIterator(HFSPlusDriver* driver, std::uint32_t folderId, const HFSPlusString& name);

  bool AtEnd() const noexcept { return at_ >= entries_.size(); }
  bool Next() override;
  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override;
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
  std::uint32_t GetSecurityData(const void** data) override;
  std::uint32_t GetLinkCount() override;
  std::uint32_t GetOwnerId() override;
  std::uint32_t GetGroupId() override;
  std::uint32_t GetDeviceMajor() override;
  std::uint32_t GetDeviceMinor() override;
  const char16_t* GetSymlinkTarget() override;

  std::uint32_t FolderId() const noexcept { return folderId_; }
  const CatalogEntry& Entry() const;

 private:
  // Reads the current entry's record; false when it is gone.
  bool Load();
  // Moves on to the next visible entry that still exists.
  bool Settle(bool skipHidden);
  // The record the properties come from: the iNode's for a hard link.
  const std::vector<std::uint8_t>& Properties();
  const std::uint8_t* Record();
  bool IsFolder() const { return IsFolderRecord(current_.record); }

  HFSPlusDriver* hfs_;
  std::uint32_t folderId_;
  std::vector<HFSPlusString> entries_;
  std::size_t at_ = 0;
  CatalogEntry current_;
  bool linkLoaded_ = false;
  CatalogEntry inode_;
  std::u16string name_;
  std::u16string symlinkTarget_;
  std::uint8_t security_[16] = {};
};

}  // namespace hfsplus
}  // namespace filesystems
