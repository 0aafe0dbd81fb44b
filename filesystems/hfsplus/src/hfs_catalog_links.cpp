// The catalog's changes that take more than one record: symbolic links
// with their targets, hard links through iNode files in the hard-link
// folder, moves, and deleting files and links with their forks.
//
// Each change puts the new records in before it takes old ones out, so a
// failing insertion (a full volume, a catalog that cannot grow) leaves the
// entry where it was rather than losing it.
#include <algorithm>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/hfs_allocation.h"
#include "filesystems/hfs_catalog.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsCatalogModuleId + 0x100;
constexpr std::uint16_t kSymlinkMode = 0xA1A4;   // link, rw-r--r--
constexpr std::uint16_t kHardLinkMode = 0x8000;  // regular, no permission bits
constexpr std::uint16_t kHardLinkFinderFlags = 0x0100;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

// The whole extent list of one fork of a file record.
ExtentList ForkExtents(Volume& volume, const std::uint8_t* fork, std::uint32_t fileId,
                       std::uint8_t forkType, ExtentsOverflowFile& extents) {
  ExtentList list(volume.Primary().TotalBlocks());
  const std::uint32_t total = Common::LoadBe32(fork + 12);
  list.AppendDescriptors(fork + 16, 8);
  if (list.TotalBlocks() < total) {
    ExtentList more(volume.Primary().TotalBlocks());
    extents.CollectExtents(fileId, forkType, list.TotalBlocks(), more);
    list.AppendList(more);
  }
  if (list.TotalBlocks() != total) Fail(1, kFileCorrupted);
  return list;
}

std::uint32_t LinkCount(const CatalogEntry& inode) {
  return Common::LoadBe32(inode.record.data() + file::kSpecial);
}

}  // namespace

std::uint32_t CatalogFile::NewSymlink(const HFSPlusString& name, std::uint32_t parentId,
                                      const std::string& target) {
  RequireWritable(20);
  if (target.empty() || target.size() > kMaxSymlinkBytes) Fail(21, kFileCreateError);
  if (Lookup(parentId, name, nullptr)) Fail(22, kFileAlreadyExists);
  const CatalogEntry parent = ReadFolderRecord(parentId);
  Volume& volume = File().GetVolume();
  const std::uint32_t blockSize = volume.Primary().BlockSize();
  const std::uint32_t sectorSize = volume.SectorSize();
  const std::uint32_t blocks = std::uint32_t(Common::UnitsFor(target.size(), blockSize));

  const std::uint32_t id = NextCatalogNodeId();
  ExtentList list(volume.Primary().TotalBlocks());
  AllocationFile allocation(volume);
  if (!allocation.AllocateBlocks(id, blocks, list)) Fail(23, kFileDiskFull);
  try {
    // At most two blocks of at least 512 bytes: the fork record holds them.
    if (list.Count() > 8) Fail(24, kFileCreateError);
    std::vector<std::uint8_t> bytes(std::size_t(blocks) * blockSize, 0);
    std::copy(target.begin(), target.end(), bytes.begin());
    std::uint32_t done = 0;
    for (const ExtentDescriptor& d : list.Descriptors()) {
      volume.Io().WriteSectors(volume.Primary().BlockToSector(d.startBlock, sectorSize),
                               std::uint64_t(d.blockCount) * blockSize / sectorSize,
                               bytes.data() + std::size_t(done) * blockSize);
      done += d.blockCount;
    }
    std::vector<std::uint8_t> record = NewRecord(kFileRecord, id, parent);
    std::uint8_t* r = record.data();
    Common::StoreBe16(r + file::kMode, kSymlinkMode);
    Common::StoreBe32(r + file::kFinderType, kTypeSymlink);
    Common::StoreBe32(r + file::kCreator, kCreatorSymlink);
    std::uint8_t* fork = r + file::kDataFork;
    Common::StoreBe64(fork, target.size());
    Common::StoreBe32(fork + 12, list.TotalBlocks());
    list.GetRecord(0, fork + 16);
    InsertEntry(name, parentId, record);
  } catch (...) {
    allocation.Release(list);
    throw;
  }
  return id;
}

std::vector<std::uint8_t> CatalogFile::MakeHardLinkRecord(std::uint32_t id, std::uint32_t inode,
                                                          const CatalogEntry& parent) {
  std::vector<std::uint8_t> record = NewRecord(kFileRecord, id, parent);
  std::uint8_t* r = record.data();
  // A link carries the root folder's dates: its own are never shown (a
  // listing shows the iNode's).
  const CatalogEntry root = GetRecordById(kRootFolderId);
  if (root.Type() != kFolderRecord) Fail(30, kFileCorrupted);
  std::copy_n(root.record.data() + folder::kCreateDate, 16, r + file::kCreateDate);
  Common::StoreBe32(r + file::kOwner, 0);
  Common::StoreBe32(r + file::kGroup, 0);
  Common::StoreBe16(r + file::kMode, kHardLinkMode);
  Common::StoreBe32(r + file::kSpecial, inode);
  Common::StoreBe32(r + file::kFinderType, kTypeHardLink);
  Common::StoreBe32(r + file::kCreator, kCreatorHfsPlus);
  Common::StoreBe16(r + file::kFinderFlags, kHardLinkFinderFlags);
  return record;
}

std::uint32_t CatalogFile::NewHardLink(const HFSPlusString& newName, std::uint32_t newParentId,
                                       const HFSPlusString& targetName,
                                       std::uint32_t targetParentId, std::uint32_t privateId) {
  RequireWritable(40);
  if (Lookup(newParentId, newName, nullptr)) Fail(41, kFileAlreadyExists);
  if (targetParentId == privateId || newParentId == privateId) Fail(42, kFileCreateError);
  CatalogEntry target = GetRecord(targetParentId, targetName);
  // Files only: the checker does not take a symbolic link as an iNode.
  const std::uint16_t type = ModeOf(target.record) & 0xF000;
  if (!IsFileRecord(target.record) || (type != kModeRegular && type != 0))
    Fail(43, kFileCreateError);
  const CatalogEntry newParent = ReadFolderRecord(newParentId);
  ReadFolderRecord(privateId);
  const std::uint32_t now = CurrentHFSPlusTime();

  if (IsHardLinkRecord(target.record)) {
    CatalogEntry inode = GetINodeRecord(target);
    const std::uint32_t links = LinkCount(inode);
    if (links == 0) Fail(44, kFileCorrupted);
    const std::uint32_t id = NextCatalogNodeId();
    InsertEntry(newName, newParentId, MakeHardLinkRecord(id, inode.Id(), newParent));
    Common::StoreBe32(inode.record.data() + file::kSpecial, links + 1);
    Common::StoreBe32(inode.record.data() + file::kAttributeModDate, now);
    UpdateRecord(inode);
    return id;
  }

  // The first link: the file's record moves into the hard-link folder as
  // its iNode (keeping its id, forks, dates and attributes), and both
  // names become links to it.
  const std::uint32_t fileId = target.Id();
  const CatalogEntry targetParent = ReadFolderRecord(targetParentId);
  const std::uint32_t oldLinkId = NextCatalogNodeId();
  const std::uint32_t newLinkId = NextCatalogNodeId();
  HFSPlusString inodeName;
  inodeName.SetINodeName(fileId);
  if (Lookup(privateId, inodeName, nullptr)) Fail(45, kFileCorrupted);
  // One link until the second name is in: a failure in between leaves a
  // file with one link, which is sound.
  std::vector<std::uint8_t> inode = target.record;
  Common::StoreBe32(inode.data() + file::kSpecial, 1);
  Common::StoreBe32(inode.data() + file::kAttributeModDate, now);

  // Each step can be taken back while the next fails, so that a catalog
  // that cannot take a record leaves the file as it was.
  // 1. The iNode's record beside the file's.
  const std::vector<std::uint8_t> inodeKey = MakeKey(privateId, inodeName);
  Tree().Insert(inodeKey.data(), inodeKey.size(), inode.data(), inode.size());
  try {
    // 2. The file's thread leads to the iNode.
    InsertThread(fileId, false, inodeName, privateId, true);
    try {
      // 3. The thread of the link that takes the file's name.
      InsertThread(oldLinkId, false, target.name, targetParentId, false);
    } catch (const Common::Error&) {
      InsertThread(fileId, false, target.name, targetParentId, true);
      throw;
    }
  } catch (const Common::Error&) {
    Tree().Remove(inodeKey.data(), inodeKey.size());
    throw;
  }
  // 4. The file's record becomes the link, in place (the same size).
  const std::vector<std::uint8_t> link = MakeHardLinkRecord(oldLinkId, fileId, targetParent);
  const std::vector<std::uint8_t> targetKey = MakeKey(targetParentId, target.name);
  Tree().Replace(targetKey.data(), targetKey.size(), link.data(), link.size());
  AdjustParent(privateId, false, +1);
  AdjustParent(targetParentId, false, 0);
  AdjustVolumeCount(false, +1);
  // 5. The new name, then the count of two.
  InsertEntry(newName, newParentId, MakeHardLinkRecord(newLinkId, fileId, newParent));
  CatalogEntry placed = GetRecord(privateId, inodeName);
  Common::StoreBe32(placed.record.data() + file::kSpecial, 2);
  UpdateRecord(placed);
  return newLinkId;
}

void CatalogFile::Move(const HFSPlusString& oldName, std::uint32_t oldParentId,
                       const HFSPlusString& newName, std::uint32_t newParentId,
                       std::uint32_t privateId) {
  RequireWritable(50);
  if (oldParentId == privateId || newParentId == privateId) Fail(51, kFileRenameError);
  CatalogEntry e;
  if (!Lookup(oldParentId, oldName, &e)) Fail(52, kFileNotFound);
  const std::uint16_t type = e.Type();
  if (type != kFolderRecord && type != kFileRecord) Fail(53, kFileRenameError);
  const bool isFolder = type == kFolderRecord;
  const std::uint32_t id = e.Id();
  if (id == kRootFolderId || id == privateId) Fail(54, kFileRenameError);

  CatalogEntry there;
  const bool taken = Lookup(newParentId, newName, &there);
  if (taken) {
    if (newParentId != oldParentId || there.Id() != id) Fail(55, kFileRenameError);
    if (there.name.Equals(newName)) return;  // the very same name
  }
  // A folder cannot go into itself or below itself: refused before any
  // record changes.
  if (isFolder && newParentId != oldParentId && IsInside(newParentId, id))
    Fail(56, kFileRenameError);
  const CatalogEntry newParent = ReadFolderRecord(newParentId);
  if (newParent.Type() != kFolderRecord) Fail(57, kFileRenameError);

  const std::vector<std::uint8_t> oldKey = MakeKey(oldParentId, e.name);
  const std::vector<std::uint8_t> newKey = MakeKey(newParentId, newName);
  if (taken) {
    // The same entry under a name the order does not tell apart: the key
    // cannot be inserted beside itself, so it is replaced at its place.
    Tree().Remove(oldKey.data(), oldKey.size());
    try {
      Tree().Insert(newKey.data(), newKey.size(), e.record.data(), e.record.size());
    } catch (const Common::Error&) {
      Tree().Insert(oldKey.data(), oldKey.size(), e.record.data(), e.record.size());
      throw;
    }
  } else {
    Tree().Insert(newKey.data(), newKey.size(), e.record.data(), e.record.size());
    try {
      InsertThread(id, isFolder, newName, newParentId, true);
    } catch (const Common::Error&) {
      Tree().Remove(newKey.data(), newKey.size());
      throw;
    }
    Tree().Remove(oldKey.data(), oldKey.size());
  }
  if (taken) InsertThread(id, isFolder, newName, newParentId, true);
  if (newParentId != oldParentId) {
    AdjustParent(oldParentId, isFolder, -1);
    AdjustParent(newParentId, isFolder, +1);
  } else {
    AdjustParent(oldParentId, isFolder, 0);
  }
}

void CatalogFile::FreeForks(const CatalogEntry& e, ExtentsOverflowFile& extents) {
  const std::uint8_t* r = e.record.data();
  const std::uint32_t id = e.Id();
  Volume& volume = File().GetVolume();
  const ExtentList data = ForkExtents(volume, r + file::kDataFork, id, 0x00, extents);
  const ExtentList resource = ForkExtents(volume, r + file::kResourceFork, id, 0xFF, extents);
  extents.RemoveRecords(id, 0x00);
  extents.RemoveRecords(id, 0xFF);
  AllocationFile allocation(volume);
  allocation.Release(data);
  allocation.Release(resource);
}

std::uint32_t CatalogFile::DeleteFile(const HFSPlusString& name, std::uint32_t parentId,
                                      ExtentsOverflowFile& extents) {
  RequireWritable(60);
  CatalogEntry e;
  if (!Lookup(parentId, name, &e)) Fail(61, kFileNotFound);
  if (!IsFileRecord(e.record)) Fail(62, kFileDeleteError);
  Volume& volume = File().GetVolume();
  // Both forks are read whole before anything changes: a damaged list
  // stops the deletion with the entry still in place.
  const std::uint32_t id = e.Id();
  ForkExtents(volume, e.record.data() + file::kDataFork, id, 0x00, extents);
  ForkExtents(volume, e.record.data() + file::kResourceFork, id, 0xFF, extents);
  std::uint32_t removedINode = 0;
  if (IsHardLinkRecord(e.record)) {
    CatalogEntry inode = GetINodeRecord(e);
    const std::uint32_t links = LinkCount(inode);
    if (links == 0) Fail(63, kFileCorrupted);
    if (links == 1) {
      ForkExtents(volume, inode.record.data() + file::kDataFork, inode.Id(), 0x00, extents);
      ForkExtents(volume, inode.record.data() + file::kResourceFork, inode.Id(), 0xFF, extents);
      RemoveEntry(e);
      RemoveEntry(inode);
      FreeForks(inode, extents);
      removedINode = inode.Id();
    } else {
      Common::StoreBe32(inode.record.data() + file::kSpecial, links - 1);
      Common::StoreBe32(inode.record.data() + file::kAttributeModDate, CurrentHFSPlusTime());
      RemoveEntry(e);
      UpdateRecord(inode);
    }
  } else {
    RemoveEntry(e);
  }
  FreeForks(e, extents);
  return removedINode;
}

}  // namespace hfsplus
}  // namespace filesystems
