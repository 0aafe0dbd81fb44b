// HFS+ files as the framework's file objects, and the data fork behind
// them.
//
// `FileContent` is one data fork of the volume: its extent list (the eight
// of the catalog record and those of the extents overflow file), its
// reads and writes through the block cache, its growth (new blocks
// zeroed) and shrinking (blocks released), and the record changes these
// bring. The catalog record is read afresh for every operation and written
// back whole at its end, so a failure part-way leaves the record as it
// was. The extent list, the record's eight descriptors and the overflow
// records always agree after an operation that changed the list.
//
// `HFSPlusFileObject` is what a folder hands to the framework: one per
// (folder, catalog id) while it is open, kept in its folder object's
// open-file set. A file's object owns its content; a hard link's object
// holds a counted reference to its iNode's object in the hard-link folder,
// so every link of an iNode sees one extent list and one pending write
// set, and the iNode's content lives exactly as long as its last link.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filesystems/driver.h"
#include "filesystems/hfs_catalog.h"
#include "filesystems/hfs_extents.h"
#include "filesystems/hfs_open_files.h"

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsFileModuleId = 0x7A15A000;

class HFSPlusDriver;
class HFSPlusDirectory;

// The target of the symbolic link whose record is `record`: the whole
// logical size of its data fork (every extent), up to a NUL, as UTF-16. An
// empty target, one longer than kMaxSymlinkBytes (1,024) or one that is
// not UTF-8: 0x4000d.
std::u16string ReadSymlinkTarget(HFSPlusDriver* driver, const std::uint8_t* record);

class FileContent {
 public:
  // The data fork of the file record `dataId` (a file, or the iNode of a
  // hard link). Not a file record: 0x40007; an extent list that does not
  // cover the record's blocks, or a logical size past them: 0x4000d.
  FileContent(HFSPlusDriver* driver, std::uint32_t dataId);
  ~FileContent();
  FileContent(const FileContent&) = delete;
  FileContent& operator=(const FileContent&) = delete;

  std::uint32_t DataId() const noexcept { return dataId_; }

  CatalogEntry GetCatalogRecord();
  std::uint64_t GetLogicalSize();
  const ExtentList& DataExtents() const noexcept { return data_; }

  std::uint64_t GetVolumeOffset(std::uint64_t offset);
  void Read(void* buffer, std::uint64_t offset, std::uint32_t length, std::uint32_t& done);
  void Write(const void* buffer, std::uint64_t offset, std::uint32_t length, std::uint32_t& done);
  void SetSize(std::uint64_t size);
  void SetTimes(std::uint64_t modification, std::uint64_t creation, std::uint64_t access);
  void SetPermissions(const void* block, std::uint32_t size);
  void SetMode(std::uint16_t mode);
  void SetOwner(std::uint32_t owner, std::uint32_t group);
  void TouchAccessDate();
  // Writes the units written since the last flush to the device and drops
  // them from the cache.
  void Flush();
  // {count u32, 0 u32, then {offset u64, bytes u64} per contiguous piece},
  // in a block of at least 24 bytes from std::malloc (the caller frees it).
  void* GetAllocationMap(std::uint64_t offset, std::uint64_t length);

 private:
  void CheckWritable(std::uint32_t site) const;
  void CheckNotLocked(const CatalogEntry& record, std::uint32_t site) const;
  void StoreRecord(CatalogEntry& record);
  // Writes the extent list into the record's data fork and the extents
  // overflow file (total blocks follow the list).
  void StoreExtents(CatalogEntry& record);
  // The first sector of the unit (allocation block) holding fork byte
  // `offset`, and the sectors from `offset`'s sector to the end of its
  // extent.
  std::uint64_t UnitSector(std::uint64_t offset) const;
  SectorArea MapOffset(std::uint64_t offset) const;
  void ZeroRange(std::uint64_t from, std::uint64_t to);
  void ForgetUnits(const ExtentList& released) noexcept;
  std::uint8_t* Bounce();

  HFSPlusDriver* driver_;
  std::uint32_t dataId_;
  std::uint32_t blockSize_;
  std::uint32_t sectorSize_;
  std::uint32_t sectorsPerBlock_;
  ExtentList data_;
  // First sectors of the units written since the last flush.
  std::set<std::uint64_t> pending_;
  std::unique_ptr<std::uint8_t[]> bounce_;
};

class HFSPlusFileObject : public HFSPlusFileObjectBase {
 public:
  // The file object of catalog file `fileId` in `folder`'s folder; the
  // folder object keeps it in its open-file set (see
  // HFSPlusDirectory::OpenFileObject) and this object leaves the set when
  // deleted. A hard link's object holds its iNode's object, opened in the
  // hard-link folder, and serves that one's content. Not a file record:
  // 0x40007; a hard link whose iNode is missing or not a file: 0x40007.
  HFSPlusFileObject(HFSPlusDriver* driver, HFSPlusDirectory* folder, std::uint32_t fileId);
  ~HFSPlusFileObject() override;

  std::uint32_t FileId() const noexcept override { return fileId_; }
  std::uint32_t FolderId() const noexcept;
  bool IsHardLink() const noexcept { return inode_ != nullptr; }
  FileContent* Content() const noexcept;

  // The whole 16-byte permission block (owner, group, flags, mode,
  // special), as stored (big-endian); 0x4000d for another size.
  void SetPermissions(const void* block, std::uint32_t size) override;
  void SetMode(std::uint16_t mode) override;
  void SetOwner(std::uint32_t owner, std::uint32_t group) override;

  std::uint64_t GetSize() override;
  std::uint64_t GetVolumeOffset(std::uint64_t offset) override;
  void Read(void* buffer, std::uint64_t offset, std::uint32_t length, std::uint32_t& done) override;
  void Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
             std::uint32_t& done) override;
  void SetSize(std::uint64_t size) override;
  void SetTimes(std::uint64_t modification, std::uint64_t creation, std::uint64_t access) override;
  void Flush() override;
  std::uint64_t GetAllocationMap(std::uint64_t offset, std::uint64_t length) override;
  FileSystemDriver::BackupObject* CreateBackupObject(std::uint32_t option) override;

 private:
  FileContent& Checked() const;

  HFSPlusDriver* driver_;
  HFSPlusDirectory* folder_;
  std::uint32_t fileId_;
  // A hard link's iNode object, or null; a file's own content otherwise.
  std::unique_ptr<HFSPlusFileReference> inode_;
  std::unique_ptr<FileContent> content_;
};

}  // namespace hfsplus
}  // namespace filesystems
