// The catalog file: one folder or file record per entry, keyed by (parent
// folder id, name), and one thread record per entry, keyed by (entry id,
// empty name), leading from an id back to the entry's key. Lookups,
// listing a folder's entries, and the record changes of creating and
// removing entries (record and thread together, the parent's valence and
// dates, the volume header's counts and next id) go through the engine.
//
// Records are handed out as copies, so that no caller keeps an address
// into a node that a later change moves.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "filesystems/hfs_names.h"
#include "filesystems/hfs_tree_file.h"

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsCatalogModuleId = 0x7A147000;

// Record types.
constexpr std::uint16_t kFolderRecord = 1;
constexpr std::uint16_t kFileRecord = 2;
constexpr std::uint16_t kFolderThreadRecord = 3;
constexpr std::uint16_t kFileThreadRecord = 4;

constexpr std::size_t kFolderRecordBytes = 88;
constexpr std::size_t kFileRecordBytes = 248;

// Catalog node ids the format reserves.
constexpr std::uint32_t kRootParentId = 1;
constexpr std::uint32_t kRootFolderId = 2;
constexpr std::uint32_t kFirstUserCatalogId = 16;

// Folder record fields (offsets in the record).
namespace folder {
constexpr std::size_t kFlags = 2, kValence = 4, kId = 8, kCreateDate = 12, kContentModDate = 16,
                      kAttributeModDate = 20, kAccessDate = 24, kOwner = 32, kGroup = 36, kMode = 42,
                      kTextEncoding = 80, kFolderCount = 84;
// Flag of a folder whose record keeps the count of its subfolders (HFSX).
constexpr std::uint16_t kHasFolderCount = 0x0010;
}  // namespace folder
// File record fields.
namespace file {
constexpr std::size_t kFlags = 2, kId = 8, kCreateDate = 12, kContentModDate = 16,
                      kAttributeModDate = 20, kAccessDate = 24, kOwner = 32, kGroup = 36, kMode = 42,
                      kSpecial = 44, kFinderType = 48, kCreator = 52, kTextEncoding = 80,
                      kDataFork = 88, kResourceFork = 168;
constexpr std::uint16_t kThreadExists = 0x0002;
}  // namespace file

// One entry of a folder: its name and a copy of its record.
struct CatalogEntry {
  HFSPlusString name;
  std::uint32_t parentId = 0;
  std::vector<std::uint8_t> record;
  std::uint16_t Type() const;
  // The folder or file id in the record.
  std::uint32_t Id() const;
};

class CatalogFile : public TreeFile {
 public:
  // `hfsx` and the header's compare type choose the name order.
  CatalogFile(SpecialFile& file, bool hfsx, std::uint8_t keyCompareType);

  NameOrder Order() const noexcept { return names_; }
  static std::vector<std::uint8_t> MakeKey(std::uint32_t parentId, const HFSPlusString& name);

  // The record of (parentId, name); false when there is none.
  bool Lookup(std::uint32_t parentId, const HFSPlusString& name, CatalogEntry* entry);
  // As Lookup, 0x40011 when missing.
  CatalogEntry GetRecord(std::uint32_t parentId, const HFSPlusString& name);
  // The thread record of `id` (type 3 or 4); 0x40011 when missing.
  CatalogEntry GetThread(std::uint32_t id);
  // The folder or file record of `id` through its thread; 0x40011 when
  // either is missing.
  CatalogEntry GetRecordById(std::uint32_t id);
  std::uint32_t GetParentId(std::uint32_t id);
  // The root folder's name as its thread holds it: the volume's name.
  HFSPlusString GetRootFolderName();
  // The hard-link folder of the root; 0x40011 when missing, 0x4000d when
  // the entry is not a folder.
  std::uint32_t GetPrivateDataFolderId();

  // Each entry of folder `folderId` in key order (its thread passed over);
  // stops when `visit` answers false. 0x40011 when the folder has no thread.
  void ForEachChild(std::uint32_t folderId, const std::function<bool(const CatalogEntry&)>& visit);

  // A free catalog node id, taken from the header's next id (reused ids
  // probed by their threads when the header says so). 0x40004 when none
  // is left, 0x4000d for a next id below 16.
  std::uint32_t NextCatalogNodeId();

  // New empty folder or file in `parentId` (0x40013 when the name exists,
  // 0x4000a when the parent is not a folder); returns the new id.
  std::uint32_t NewFolder(const HFSPlusString& name, std::uint32_t parentId);
  std::uint32_t NewFile(const HFSPlusString& name, std::uint32_t parentId);
  // Removes an empty folder (0x40008 when it holds entries, is not a
  // folder or is the hard-link folder).
  void RemoveFolder(const HFSPlusString& name, std::uint32_t parentId);
  // Removes a file record with its thread and its overflow records, and
  // frees both forks. Hard links are not handled here (0x4000e).
  void DeleteFile(const HFSPlusString& name, std::uint32_t parentId, ExtentsOverflowFile& extents);

  // Record and thread inserted, the parent's valence (and folder count)
  // and dates, the header's file or folder count.
  void InsertEntry(const HFSPlusString& name, std::uint32_t parentId,
                   const std::vector<std::uint8_t>& record);
  // Record and thread deleted, the parent and the header as above.
  void RemoveEntry(const CatalogEntry& entry);
  // A folder or file record replaced by one of the same type and size.
  void UpdateRecord(const CatalogEntry& entry);

 private:
  std::vector<std::uint8_t> NewRecord(std::uint16_t type, std::uint32_t id,
                                      const CatalogEntry& parent) const;
  void AdjustParent(std::uint32_t parentId, bool folder, int delta);
  void AdjustVolumeCount(bool folder, int delta);
  CatalogEntry ReadEntry(const RecordPosition& p);

  NameOrder names_;
  bool hfsx_;
};

}  // namespace hfsplus
}  // namespace filesystems
