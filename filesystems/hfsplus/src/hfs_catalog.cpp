// The catalog file over the B-tree engine.
#include "filesystems/hfs_catalog.h"

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/hfs_allocation.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {

namespace {

constexpr std::uint32_t kModuleId = kHfsCatalogModuleId;
constexpr std::uint32_t kNewOwner = 99;
constexpr std::uint16_t kNewFolderMode = 0x41ED;  // directory, rwxr-xr-x
constexpr std::uint16_t kNewFileMode = 0x81A4;    // regular file, rw-r--r--

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

bool IsThread(std::uint16_t type) {
  return type == kFolderThreadRecord || type == kFileThreadRecord;
}

}  // namespace

bool IsFolderRecord(const std::vector<std::uint8_t>& r) {
  return r.size() >= kFolderRecordBytes && Common::LoadBe16(r.data()) == kFolderRecord;
}
bool IsFileRecord(const std::vector<std::uint8_t>& r) {
  return r.size() >= kFileRecordBytes && Common::LoadBe16(r.data()) == kFileRecord;
}
std::uint16_t ModeOf(const std::vector<std::uint8_t>& r) {
  return r.size() >= folder::kMode + 2 ? Common::LoadBe16(r.data() + folder::kMode) : 0;
}
bool IsHardLinkRecord(const std::vector<std::uint8_t>& r) {
  if (!IsFileRecord(r)) return false;
  // Older links carry no mode at all.
  const std::uint16_t type = ModeOf(r) & 0xF000;
  return (type == kModeRegular || type == 0) &&
         Common::LoadBe32(r.data() + file::kFinderType) == kTypeHardLink &&
         Common::LoadBe32(r.data() + file::kCreator) == kCreatorHfsPlus;
}
bool IsSymlinkRecord(const std::vector<std::uint8_t>& r) {
  return IsFileRecord(r) && (ModeOf(r) & 0xF000) == kModeSymlink;
}
bool IsSpecialNodeRecord(const std::vector<std::uint8_t>& r) {
  if (!IsFileRecord(r)) return false;
  const std::uint16_t type = ModeOf(r) & 0xF000;
  return type == 0x1000 || type == 0x2000 || type == 0x6000 || type == 0xC000;
}

std::uint16_t CatalogEntry::Type() const {
  return record.size() >= 2 ? Common::LoadBe16(record.data()) : 0;
}

std::uint32_t CatalogEntry::Id() const {
  const std::uint16_t type = Type();
  if ((type == kFolderRecord && record.size() >= kFolderRecordBytes) ||
      (type == kFileRecord && record.size() >= kFileRecordBytes))
    return Common::LoadBe32(record.data() + 8);
  Fail(1, kFileCorrupted);
}

CatalogFile::CatalogFile(SpecialFile& file, bool hfsx, std::uint8_t keyCompareType)
    : TreeFile(file, std::make_unique<CatalogKeyOrder>(CatalogNameOrder(hfsx, keyCompareType))),
      names_(CatalogNameOrder(hfsx, keyCompareType)),
      hfsx_(hfsx) {}

std::vector<std::uint8_t> CatalogFile::MakeKey(std::uint32_t parentId, const HFSPlusString& name) {
  const std::size_t n = name.Length();
  std::vector<std::uint8_t> key(8 + 2 * n);
  Common::StoreBe16(key.data(), std::uint16_t(6 + 2 * n));
  Common::StoreBe32(key.data() + 2, parentId);
  std::copy_n(name.Bytes(), 2 + 2 * n, key.data() + 6);
  return key;
}

CatalogEntry CatalogFile::ReadEntry(const RecordPosition& p) {
  CatalogEntry e;
  std::vector<std::uint8_t> key;
  Tree().ReadRecord(p, &key, &e.record);
  if (key.size() < 8) Fail(10, kFileCorrupted);
  e.parentId = Common::LoadBe32(key.data() + 2);
  e.name.SetFromKeyName(key.data(), key.size());
  return e;
}

bool CatalogFile::Lookup(std::uint32_t parentId, const HFSPlusString& name, CatalogEntry* entry) {
  const std::vector<std::uint8_t> key = MakeKey(parentId, name);
  const RecordPosition p = Tree().Search(key.data(), key.size());
  if (p.IsNull()) return false;
  // The entry as stored: its name may differ from the one asked for in
  // what the catalog's order does not tell apart.
  CatalogEntry found = ReadEntry(p);
  if (found.parentId != parentId ||
      CompareNames(names_, found.name.Units(), found.name.Length(), name.Units(), name.Length()) != 0)
    return false;
  if (entry) *entry = std::move(found);
  return true;
}

CatalogEntry CatalogFile::GetRecord(std::uint32_t parentId, const HFSPlusString& name) {
  CatalogEntry e;
  if (!Lookup(parentId, name, &e)) Fail(11, kFileNotFound);
  return e;
}

CatalogEntry CatalogFile::GetThread(std::uint32_t id) {
  CatalogEntry thread;
  if (!Lookup(id, HFSPlusString(), &thread)) Fail(12, kFileNotFound);
  if (!IsThread(thread.Type())) Fail(13, kFileNotFound);
  if (thread.record.size() < 10) Fail(14, kFileCorrupted);
  // A thread holds the entry's parent and name laid out as a key is, two
  // bytes further on.
  thread.parentId = Common::LoadBe32(thread.record.data() + 4);
  thread.name.SetFromKeyName(thread.record.data() + 2, thread.record.size() - 2);
  return thread;
}

CatalogEntry CatalogFile::GetRecordById(std::uint32_t id) {
  const CatalogEntry thread = GetThread(id);
  CatalogEntry e;
  if (!Lookup(thread.parentId, thread.name, &e)) Fail(15, kFileNotFound);
  const std::uint16_t type = e.Type();
  if (type != kFolderRecord && type != kFileRecord) Fail(16, kFileNotFound);
  if (e.Id() != id) Fail(17, kFileCorrupted);
  return e;
}

std::uint32_t CatalogFile::GetParentId(std::uint32_t id) { return GetThread(id).parentId; }

CatalogEntry CatalogFile::ReadFolderRecord(std::uint32_t id) {
  CatalogEntry e = GetRecordById(id);
  if (e.Type() != kFolderRecord) Fail(22, kFileCreateError);
  return e;
}

CatalogEntry CatalogFile::GetINodeRecord(const CatalogEntry& link) {
  if (!IsFileRecord(link.record)) Fail(23, kFileCorrupted);
  if (!IsHardLinkRecord(link.record)) Fail(24, kFileNotFound);
  CatalogEntry inode = GetRecordById(Common::LoadBe32(link.record.data() + file::kSpecial));
  if (!IsFileRecord(inode.record)) Fail(25, kFileCorrupted);
  return inode;
}

CatalogEntry CatalogFile::GetINodeRecordById(std::uint32_t linkId) {
  return GetINodeRecord(GetRecordById(linkId));
}

bool CatalogFile::IsInside(std::uint32_t folderId, std::uint32_t ancestorId) {
  // Up the threads to the root; a chain longer than the catalog has
  // records circles.
  for (std::uint64_t steps = 0; folderId > kRootParentId; ++steps) {
    if (folderId == ancestorId) return true;
    if (folderId == kRootFolderId) return false;
    if (steps > Tree().LeafRecords()) Fail(26, kFileCorrupted);
    folderId = GetParentId(folderId);
  }
  return false;
}

HFSPlusString CatalogFile::GetRootFolderName() {
  const CatalogEntry thread = GetThread(kRootFolderId);
  if (thread.Type() != kFolderThreadRecord) Fail(18, kFileNotFound);
  return thread.name;
}

std::uint32_t CatalogFile::GetPrivateDataFolderId() {
  HFSPlusString name;
  name.SetPrivateDataFolderName();
  const CatalogEntry e = GetRecord(kRootFolderId, name);
  if (e.Type() != kFolderRecord) Fail(19, kFileCorrupted);
  return e.Id();
}

RecordPosition CatalogFile::FindFirstChild(std::uint32_t folderId) {
  const std::vector<std::uint8_t> start = MakeKey(folderId, HFSPlusString());
  RecordPosition p = Tree().Search(start.data(), start.size());
  while (!p.IsNull()) {
    const CatalogEntry e = ReadEntry(p);
    if (e.parentId != folderId) return RecordPosition();
    if (!IsThread(e.Type())) return p;
    p = Tree().Next(p);
  }
  return p;
}

RecordPosition CatalogFile::FindRecord(std::uint32_t parentId, const HFSPlusString& name) {
  const std::vector<std::uint8_t> key = MakeKey(parentId, name);
  const RecordPosition p = Tree().Search(key.data(), key.size());
  if (p.IsNull()) return p;
  const CatalogEntry found = ReadEntry(p);
  if (found.parentId != parentId ||
      CompareNames(names_, found.name.Units(), found.name.Length(), name.Units(), name.Length()) != 0)
    return RecordPosition();
  return p;
}

RecordPosition CatalogFile::NextPosition(const RecordPosition& p) { return Tree().Next(p); }

void CatalogFile::ForEachChild(std::uint32_t folderId,
                               const std::function<bool(const CatalogEntry&)>& visit) {
  const std::vector<std::uint8_t> start = MakeKey(folderId, HFSPlusString());
  RecordPosition p = Tree().Search(start.data(), start.size());
  for (std::uint64_t steps = 0; !p.IsNull(); ++steps) {
    if (steps > Tree().LeafRecords()) Fail(20, kFileCorrupted);  // links that circle
    const CatalogEntry e = ReadEntry(p);
    if (e.parentId != folderId) break;
    const std::uint16_t type = e.Type();
    if (type == kFolderRecord || type == kFileRecord) {
      if (!visit(e)) return;
    } else if (!IsThread(type)) {
      Fail(21, kFileCorrupted);
    }
    p = Tree().Next(p);
  }
}

std::uint32_t CatalogFile::NextCatalogNodeId() {
  RequireWritable(30);
  Volume& volume = File().GetVolume();
  VolumeHeader& header = volume.Primary();
  std::uint32_t id = header.NextCatalogId();
  if (id < kFirstUserCatalogId) Fail(31, kFileCorrupted);
  if (!(header.Attributes() & VolumeHeader::kNodeIdsReused)) {
    if (id == 0xFFFFFFFF) Fail(32, kFileDiskFull);
    header.SetField32(VolumeHeader::kNextCatalogId, id + 1);
    volume.MarkPrimaryModified();
    return id;
  }
  // Ids wrapped once: probe for one whose thread is free.
  if (id == 0xFFFFFFFF) id = kFirstUserCatalogId;
  for (; id != 0xFFFFFFFF; ++id) {
    if (!Lookup(id, HFSPlusString(), nullptr)) {
      header.SetField32(VolumeHeader::kNextCatalogId, id + 1);
      volume.MarkPrimaryModified();
      return id;
    }
  }
  header.SetField32(VolumeHeader::kNextCatalogId, 0xFFFFFFFF);
  volume.MarkPrimaryModified();
  Fail(33, kFileDiskFull);
}

std::vector<std::uint8_t> CatalogFile::NewRecord(std::uint16_t type, std::uint32_t id,
                                                 const CatalogEntry& parent) const {
  const bool isFolder = type == kFolderRecord;
  std::vector<std::uint8_t> r(isFolder ? kFolderRecordBytes : kFileRecordBytes, 0);
  std::uint8_t* p = r.data();
  const std::uint32_t now = CurrentHFSPlusTime();
  Common::StoreBe16(p, type);
  Common::StoreBe32(p + folder::kId, id);
  for (std::size_t at : {folder::kCreateDate, folder::kContentModDate, folder::kAttributeModDate,
                         folder::kAccessDate})
    Common::StoreBe32(p + at, now);
  Common::StoreBe32(p + folder::kOwner, kNewOwner);
  Common::StoreBe32(p + folder::kGroup, kNewOwner);
  Common::StoreBe32(p + folder::kTextEncoding,
                    Common::LoadBe32(parent.record.data() + folder::kTextEncoding));
  if (isFolder) {
    Common::StoreBe16(p + folder::kMode, kNewFolderMode);
    // Folders of an HFSX volume count their subfolders.
    if (hfsx_) Common::StoreBe16(p + folder::kFlags, folder::kHasFolderCount);
  } else {
    Common::StoreBe16(p + file::kFlags, file::kThreadExists);
    Common::StoreBe16(p + file::kMode, kNewFileMode);
    Common::StoreBe32(p + file::kCreator, kCreatorHfsPlus);
  }
  return r;
}

void CatalogFile::UpdateRecord(const CatalogEntry& entry) {
  RequireWritable(40);
  const std::vector<std::uint8_t> key = MakeKey(entry.parentId, entry.name);
  std::vector<std::uint8_t> old;
  if (!Tree().Find(key.data(), key.size(), &old)) Fail(41, kFileCorrupted);
  if (old.size() != entry.record.size() || old.size() < 2 ||
      Common::LoadBe16(old.data()) != entry.Type())
    Fail(42, kFileCorrupted);
  Tree().Replace(key.data(), key.size(), entry.record.data(), entry.record.size());
  File().GetVolume().MarkPrimaryModified();
}

void CatalogFile::AdjustParent(std::uint32_t parentId, bool isFolder, int delta) {
  CatalogEntry parent = GetRecordById(parentId);
  if (parent.Type() != kFolderRecord) Fail(43, kFileCorrupted);
  std::uint8_t* p = parent.record.data();
  const std::uint32_t valence = Common::LoadBe32(p + folder::kValence);
  if (delta < 0 && valence == 0) Fail(44, kFileCorrupted);
  Common::StoreBe32(p + folder::kValence, valence + std::uint32_t(delta));
  // HFSX keeps the count of subfolders in every folder record, whether or
  // not the folder's flag says so; HFS+ where the flag is set.
  if (isFolder && (hfsx_ || (Common::LoadBe16(p + folder::kFlags) & folder::kHasFolderCount))) {
    const std::uint32_t count = Common::LoadBe32(p + folder::kFolderCount);
    if (delta < 0 && count == 0) Fail(45, kFileCorrupted);
    Common::StoreBe32(p + folder::kFolderCount, count + std::uint32_t(delta));
  }
  const std::uint32_t now = CurrentHFSPlusTime();
  Common::StoreBe32(p + folder::kContentModDate, now);
  Common::StoreBe32(p + folder::kAttributeModDate, now);
  UpdateRecord(parent);
}

void CatalogFile::AdjustVolumeCount(bool isFolder, int delta) {
  Volume& volume = File().GetVolume();
  VolumeHeader& header = volume.Primary();
  const std::uint32_t count = isFolder ? header.FolderCount() : header.FileCount();
  if (delta < 0 && count == 0) Fail(46, kFileCorrupted);
  header.SetField32(isFolder ? VolumeHeader::kFolderCount : VolumeHeader::kFileCount,
                    count + std::uint32_t(delta));
  volume.MarkPrimaryModified();
}

void CatalogFile::InsertEntry(const HFSPlusString& name, std::uint32_t parentId,
                              const std::vector<std::uint8_t>& record) {
  RequireWritable(50);
  const CatalogEntry parent = GetRecordById(parentId);
  if (parent.Type() != kFolderRecord) Fail(51, kFileCreateError);
  CatalogEntry entry{name, parentId, record};
  const bool isFolder = entry.Type() == kFolderRecord;
  if (!isFolder && entry.Type() != kFileRecord) Fail(52, kFileCorrupted);
  const std::uint32_t id = entry.Id();
  const std::vector<std::uint8_t> key = MakeKey(parentId, name);
  Tree().Insert(key.data(), key.size(), record.data(), record.size());
  try {
    InsertThread(id, isFolder, name, parentId, false);
  } catch (const Common::Error&) {
    // Without its thread the record would be unreachable by id.
    Tree().Remove(key.data(), key.size());
    throw;
  }
  AdjustParent(parentId, isFolder, +1);
  AdjustVolumeCount(isFolder, +1);
}

void CatalogFile::InsertThread(std::uint32_t id, bool isFolder, const HFSPlusString& name,
                               std::uint32_t parentId, bool replace) {
  std::vector<std::uint8_t> thread(10 + 2 * std::size_t(name.Length()), 0);
  Common::StoreBe16(thread.data(), isFolder ? kFolderThreadRecord : kFileThreadRecord);
  Common::StoreBe32(thread.data() + 4, parentId);
  std::copy_n(name.Bytes(), thread.size() - 8, thread.data() + 8);
  const std::vector<std::uint8_t> threadKey = MakeKey(id, HFSPlusString());
  if (replace)
    Tree().Replace(threadKey.data(), threadKey.size(), thread.data(), thread.size());
  else
    Tree().Insert(threadKey.data(), threadKey.size(), thread.data(), thread.size());
}

void CatalogFile::RemoveEntry(const CatalogEntry& entry) {
  RequireWritable(60);
  const bool isFolder = entry.Type() == kFolderRecord;
  const std::uint32_t id = entry.Id();
  const CatalogEntry thread = GetThread(id);
  if (thread.parentId != entry.parentId || !thread.name.Equals(entry.name)) Fail(61, kFileCorrupted);
  const std::vector<std::uint8_t> threadKey = MakeKey(id, HFSPlusString());
  Tree().Remove(threadKey.data(), threadKey.size());
  const std::vector<std::uint8_t> key = MakeKey(entry.parentId, entry.name);
  Tree().Remove(key.data(), key.size());
  AdjustParent(entry.parentId, isFolder, -1);
  AdjustVolumeCount(isFolder, -1);
}

std::uint32_t CatalogFile::NewFolder(const HFSPlusString& name, std::uint32_t parentId) {
  RequireWritable(70);
  if (Lookup(parentId, name, nullptr)) Fail(71, kFileAlreadyExists);
  const CatalogEntry parent = GetRecordById(parentId);
  if (parent.Type() != kFolderRecord) Fail(72, kFileCreateError);
  const std::uint32_t id = NextCatalogNodeId();
  InsertEntry(name, parentId, NewRecord(kFolderRecord, id, parent));
  return id;
}

std::uint32_t CatalogFile::NewFile(const HFSPlusString& name, std::uint32_t parentId) {
  RequireWritable(73);
  if (Lookup(parentId, name, nullptr)) Fail(74, kFileAlreadyExists);
  const CatalogEntry parent = GetRecordById(parentId);
  if (parent.Type() != kFolderRecord) Fail(75, kFileCreateError);
  const std::uint32_t id = NextCatalogNodeId();
  InsertEntry(name, parentId, NewRecord(kFileRecord, id, parent));
  return id;
}

void CatalogFile::RemoveFolder(const HFSPlusString& name, std::uint32_t parentId) {
  RequireWritable(80);
  CatalogEntry e;
  if (!Lookup(parentId, name, &e)) Fail(81, kFileNotFound);
  if (e.Type() != kFolderRecord || (parentId == kRootFolderId && name.IsPrivateDataFolder()) ||
      e.Id() == kRootFolderId)
    Fail(82, kFileDeleteError);
  if (Common::LoadBe32(e.record.data() + folder::kValence) != 0) Fail(83, kFileDeleteError);
  RemoveEntry(e);
}

}  // namespace hfsplus
}  // namespace filesystems
