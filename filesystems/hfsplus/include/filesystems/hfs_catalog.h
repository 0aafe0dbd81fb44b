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
#include <string>
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
constexpr std::size_t kFinderFlags = 56;
}  // namespace file

// Finder types and creators of the file records the catalog makes.
constexpr std::uint32_t kTypeHardLink = 0x686C6E6B;    // "hlnk"
constexpr std::uint32_t kCreatorHfsPlus = 0x6866732B;  // "hfs+"
constexpr std::uint32_t kTypeSymlink = 0x736C6E6B;     // "slnk"
constexpr std::uint32_t kCreatorSymlink = 0x72686170;  // "rhap"

// The longest symbolic-link target the catalog writes and reads, in bytes.
constexpr std::uint32_t kMaxSymlinkBytes = 1024;

// Mode types (mode & 0xF000).
constexpr std::uint16_t kModeFolder = 0x4000, kModeRegular = 0x8000, kModeSymlink = 0xA000;

// Record predicates; a record too short for its type answers false.
bool IsFolderRecord(const std::vector<std::uint8_t>& record);
bool IsFileRecord(const std::vector<std::uint8_t>& record);
bool IsHardLinkRecord(const std::vector<std::uint8_t>& record);
bool IsSymlinkRecord(const std::vector<std::uint8_t>& record);
bool IsSpecialNodeRecord(const std::vector<std::uint8_t>& record);
std::uint16_t ModeOf(const std::vector<std::uint8_t>& record);

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

  // The record of a folder by id; 0x4000a when it is not a folder.
  CatalogEntry ReadFolderRecord(std::uint32_t id);
  // The iNode file record of a hard-link entry: 0x4000d when the entry is
  // not a file record, 0x40011 when it is no hard link, 0x4000d when its
  // iNode is not a file record.
  CatalogEntry GetINodeRecord(const CatalogEntry& link);
  CatalogEntry GetINodeRecordById(std::uint32_t linkId);
  // True when `folderId` is `ancestorId` or lies below it.
  bool IsInside(std::uint32_t folderId, std::uint32_t ancestorId);

  // Positions for walking a folder: its first entry after its thread
  // (null when the folder has none), the record at a position, and the
  // next position (null at the tree's end).
  RecordPosition FindFirstChild(std::uint32_t folderId);
  RecordPosition FindRecord(std::uint32_t parentId, const HFSPlusString& name);
  CatalogEntry EntryAt(const RecordPosition& p) { return ReadEntry(p); }
  RecordPosition NextPosition(const RecordPosition& p);

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
  // A symbolic link whose data fork holds `target` (UTF-8, 1 to
  // kMaxSymlinkBytes bytes, else 0x4000a); 0x40013 when the name exists,
  // 0x40004 when the volume has no room for the target.
  std::uint32_t NewSymlink(const HFSPlusString& name, std::uint32_t parentId,
                           const std::string& target);
  // A hard link (newName, newParentId) to the file (targetName,
  // targetParentId), in the hard-link folder `privateId`.
  // The first link of a file moves its record into that folder as its
  // iNode and leaves a link at its old name. 0x40013 when the new name
  // exists, 0x4000a for a target in the hard-link folder or one that is
  // not a regular file (the checker takes no symbolic link as an iNode).
  // The iNode's record goes in before anything is taken away, so a failing
  // insert leaves the file where it was. Returns the new link's id.
  std::uint32_t NewHardLink(const HFSPlusString& newName, std::uint32_t newParentId,
                            const HFSPlusString& targetName, std::uint32_t targetParentId,
                            std::uint32_t privateId);
  // Renames or moves an entry (0x40009 for the hard-link folder as either
  // parent, a name taken by another entry, a folder moved into itself or
  // below itself; a name that differs only in what the catalog order does
  // not tell apart is renamed in place). The new record goes in before the
  // old one is taken out; a refused move changes nothing.
  void Move(const HFSPlusString& oldName, std::uint32_t oldParentId, const HFSPlusString& newName,
            std::uint32_t newParentId, std::uint32_t privateId);
  // Removes an empty folder (0x40008 when it holds entries, is not a
  // folder or is the hard-link folder).
  void RemoveFolder(const HFSPlusString& name, std::uint32_t parentId);
  // Removes a file record with its thread and its overflow records, and
  // frees both forks. A hard link drops one from its iNode's link count,
  // and the last link removes the iNode with its forks. Returns the id of
  // an iNode removed so (0 when none).
  std::uint32_t DeleteFile(const HFSPlusString& name, std::uint32_t parentId,
                           ExtentsOverflowFile& extents);

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
  void InsertThread(std::uint32_t id, bool folder, const HFSPlusString& name,
                    std::uint32_t parentId, bool replace);
  std::vector<std::uint8_t> MakeHardLinkRecord(std::uint32_t id, std::uint32_t inode,
                                               const CatalogEntry& parent);
  void FreeForks(const CatalogEntry& e, ExtentsOverflowFile& extents);

  NameOrder names_;
  bool hfsx_;
};

}  // namespace hfsplus
}  // namespace filesystems
