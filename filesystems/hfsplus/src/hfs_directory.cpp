// HFS+ folders as directory objects over the catalog: opening, creating,
// moving, linking and deleting entries, and their owners, modes and times.
#include <algorithm>

#include "files/file_error.h"
#include "filesystems/hfs_backup.h"
#include "filesystems/hfs_driver.h"
#include "filesystems/hfs_file.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsDriverModuleId + 0x100;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

// The name a caller gives, as the catalog keeps it: the hard-link folder's
// text form stands for its name with the leading NUL units.
HFSPlusString CatalogName(const std::u16string& text, std::uint32_t folderId) {
  HFSPlusString name;
  if (folderId == kRootFolderId && IsPrivateDataFolderName(text)) {
    name.SetPrivateDataFolderName();
    return name;
  }
  if (text.empty() || text.size() > kMaxNameUnits) Fail(1, kFileNotFound);
  name.Append(text, 0);
  return name;
}

// A name a new entry may take: not empty, at most 255 units, no '/' or
// NUL, not "." or "..", not one the file system keeps for itself.
bool IsNewName(const std::u16string& name, std::uint32_t folderId) {
  return !name.empty() && name.size() <= kMaxNameUnits && !IsDotName(name) &&
         name.find(u'/') == std::u16string::npos && name.find(u'\0') == std::u16string::npos &&
         !IsHiddenEntryName(name, folderId);
}

// A 0x40011 from `body` becomes `code`; everything else passes unchanged.
template <class F>
void NotFoundAs(std::uint32_t site, std::uint32_t code, F body) {
  try {
    body();
  } catch (const Common::Error& e) {
    if (e.Code() == kFileNotFound) ThrowFileError(site, kModuleId, code, e);
    throw;
  }
}

}  // namespace

HFSPlusDirectory::HFSPlusDirectory(HFSPlusDriver* driver, std::uint32_t directoryId)
    : DirectoryObject(driver, directoryId),
      hfs_(driver),
      folderId_(HFSPlusDriver::FolderIdOf(directoryId)) {
  CatalogEntry e;
  try {
    e = Catalog().GetRecordById(folderId_);
  } catch (const Common::Error& error) {
    if (error.Code() == kFileNotFound) ThrowFileError(2, kModuleId, kFileOpenError, error);
    throw;
  }
  if (!IsFolderRecord(e.record)) Fail(3, kFileOpenError);
  hfs_->OpenedFiles().Register(folderId_, &openFiles_);
}

HFSPlusDirectory::~HFSPlusDirectory() {
  hfs_->OpenedFiles().Unregister(folderId_);
  openFiles_.clear();
}

CatalogFile& HFSPlusDirectory::Catalog() { return hfs_->GetMetadata().Catalog(); }

bool HFSPlusDirectory::Find(const std::u16string& name, CatalogEntry* entry) {
  if (name.empty() || name.size() > kMaxNameUnits) return false;
  return Catalog().Lookup(folderId_, CatalogName(name, folderId_), entry);
}

CatalogEntry HFSPlusDirectory::Lookup(const std::u16string& name, std::uint32_t missing) {
  CatalogEntry e;
  if (!Find(name, &e)) Fail(11, missing);
  return e;
}

void HFSPlusDirectory::TouchFolder(std::uint32_t site) {
  hfs_->RequireWritable(site);
  CatalogEntry self = Catalog().GetRecordById(folderId_);
  if (!IsFolderRecord(self.record)) Fail(site + 1, kFileOpenError);
  Common::StoreBe32(self.record.data() + folder::kAccessDate, CurrentHFSPlusTime());
  Catalog().UpdateRecord(self);
}

// ---------------------------------------------------------------------------
// Open files

HFSPlusFileObjectBase* HFSPlusDirectory::OpenFileObject(std::uint32_t fileId) {
  auto it = openFiles_.find(fileId);
  if (it != openFiles_.end()) return it->second;
  HFSPlusFileObjectBase* file = hfs_->NewFileObject(this, fileId);
  try {
    openFiles_.emplace(fileId, file);
  } catch (...) {
    delete file;
    throw;
  }
  // The framework keeps a folder object that is in use.
  AddUse();
  return file;
}

void HFSPlusDirectory::RemoveOpenFile(std::uint32_t fileId) noexcept {
  if (openFiles_.erase(fileId) != 0) DropUse();
}

HFSPlusFileObjectBase* HFSPlusDirectory::OpenHardLinkTarget(std::uint32_t linkId) {
  if (folderId_ != hfs_->PrivateDataFolderId()) Fail(20, kFileOpenError);
  const CatalogEntry inode = Catalog().GetINodeRecordById(linkId);
  if (inode.parentId != folderId_) Fail(21, kFileCorrupted);
  return OpenFileObject(inode.Id());
}

FileSystemDriver::FileObject* HFSPlusDirectory::OpenFile(const std::u16string& name) {
  const CatalogEntry e = Lookup(name, kFileNotFound);
  if (!IsFileRecord(e.record)) Fail(30, kFileOpenError);
  return OpenFileObject(e.Id());
}

FileSystemDriver::FileObject* HFSPlusDirectory::OpenFileByIdentifier(const file_identifier* id) {
  const auto* general = dynamic_cast<const the_identifier*>(id);
  if (!general) Fail(31, kFileNotFound);
  return OpenFile(general->name());
}

FileSystemDriver::FileObject* HFSPlusDirectory::OpenFileAt(IteratorObject* at) {
  if (!at) Fail(32, kFileNotFound);
  return OpenFile(at->GetName());
}

// ---------------------------------------------------------------------------
// Listing

FileSystemDriver::IteratorObject* HFSPlusDirectory::OpenIterator() {
  std::unique_ptr<HFSPlusIterator> it(new HFSPlusIterator(hfs_, folderId_));
  if (it->AtEnd()) return nullptr;
  return it.release();
}

FileSystemDriver::IteratorObject* HFSPlusDirectory::OpenIteratorFor(const std::u16string& name) {
  if (name.empty() || name.size() > kMaxNameUnits) Fail(40, kFileNotFound);
  return new HFSPlusIterator(hfs_, folderId_, CatalogName(name, folderId_));
}

FileSystemDriver::IteratorObject* HFSPlusDirectory::OpenIteratorAt(const file_identifier* id) {
  const auto* general = dynamic_cast<const the_identifier*>(id);
  if (!general) Fail(41, kFileNotFound);
  return OpenIteratorFor(general->name());
}

std::uint32_t HFSPlusDirectory::GetChildDirectoryId(const std::u16string& name) {
  const CatalogEntry e = Lookup(name, kFileOpenError);
  if (!IsFolderRecord(e.record)) Fail(42, kFileOpenError);
  return e.Id();
}

// ---------------------------------------------------------------------------
// Creating and deleting

bool HFSPlusDirectory::CanDelete(const CatalogEntry& e) {
  if (IsFolderRecord(e.record)) {
    const std::uint32_t id = e.Id();
    return id != kRootFolderId && Common::LoadBe32(e.record.data() + folder::kValence) == 0 &&
           id != hfs_->PrivateDataFolderId();
  }
  if (!IsFileRecord(e.record)) Fail(50, kFileCorrupted);
  if (openFiles_.count(e.Id())) return false;
  if (!IsHardLinkRecord(e.record)) return true;
  const CatalogEntry inode = Catalog().GetINodeRecord(e);
  const std::uint32_t links = Common::LoadBe32(inode.record.data() + file::kSpecial);
  if (links == 0) Fail(51, kFileCorrupted);
  // The last link of an open iNode stays; a folder without a folder object
  // has no open files.
  return !(links == 1 && hfs_->OpenedFiles().IsOpen(inode.parentId, inode.Id()));
}

FileSystemDriver::FileObject* HFSPlusDirectory::CreateFile(const std::u16string& name) {
  hfs_->RequireWritable(60);
  if (!IsNewName(name, folderId_)) Fail(61, kFileCreateError);
  TouchFolder(62);
  CatalogEntry e;
  if (Find(name, &e)) {
    if (!IsFileRecord(e.record) || openFiles_.count(e.Id())) Fail(64, kFileDeleteError);
    if (IsHardLinkRecord(e.record)) {
      const CatalogEntry inode = Catalog().GetINodeRecord(e);
      if (hfs_->OpenedFiles().IsOpen(inode.parentId, inode.Id())) Fail(65, kFileDeleteError);
    }
    FileObject* file = OpenFileObject(e.Id());
    try {
      file->SetSize(0);
    } catch (...) {
      delete file;
      throw;
    }
    return file;
  }
  HFSPlusString key;
  key.Append(name, 0);
  const std::uint32_t id = Catalog().NewFile(key, folderId_);
  try {
    return OpenFileObject(id);
  } catch (const Common::Error&) {
    // A file that cannot be opened is not left behind as if created.
    try {
      Catalog().DeleteFile(key, folderId_, hfs_->GetMetadata().Extents());
    } catch (const Common::Error&) {
    }
    throw;
  }
}

void HFSPlusDirectory::DeleteFile(const std::u16string& name) {
  hfs_->RequireWritable(70);
  if (IsDotName(name) || IsJournalFileName(name, folderId_)) Fail(71, kFileDeleteError);
  TouchFolder(72);
  // A missing name is reported as missing, as the other drivers do.
  const CatalogEntry e = Lookup(name, kFileNotFound);
  NotFoundAs(73, kFileDeleteError, [&] {
    if (!IsFileRecord(e.record)) Fail(74, kFileDeleteError);
    if (!CanDelete(e)) Fail(75, kFileDeleteError);
    Metadata& m = hfs_->GetMetadata();
    const std::uint32_t removedINode = Catalog().DeleteFile(e.name, folderId_, m.Extents());
    if (m.HasAttributes()) {
      m.Attributes().RemoveAll(e.Id());
      if (removedINode) m.Attributes().RemoveAll(removedINode);
    }
  });
}

void HFSPlusDirectory::RemoveDirectory(const std::u16string& name) {
  hfs_->RequireWritable(80);
  if (IsDotName(name)) Fail(81, kFileDeleteError);
  TouchFolder(82);
  const CatalogEntry e = Lookup(name, kFileNotFound);
  NotFoundAs(83, kFileDeleteError, [&] {
    if (!IsFolderRecord(e.record) || !CanDelete(e)) Fail(84, kFileDeleteError);
    Catalog().RemoveFolder(e.name, folderId_);
    Metadata& m = hfs_->GetMetadata();
    if (m.HasAttributes()) m.Attributes().RemoveAll(e.Id());
  });
}

void HFSPlusDirectory::CreateDirectory(const std::u16string& name) {
  hfs_->RequireWritable(90);
  if (!IsNewName(name, folderId_)) {
    if (IsHiddenEntryName(name, folderId_)) Fail(91, kFileAlreadyExists);
    Fail(92, kFileCreateError);
  }
  TouchFolder(93);
  CatalogEntry e;
  // An existing name is reported as existing, folder or not: the
  // framework's restore takes that as leave to go into the folder.
  if (Find(name, &e)) Fail(94, kFileAlreadyExists);
  HFSPlusString key;
  key.Append(name, 0);
  Catalog().NewFolder(key, folderId_);
}

std::uint32_t HFSPlusDirectory::CreatePrivateDataFolder() {
  hfs_->RequireWritable(95);
  if (folderId_ != kRootFolderId) Fail(96, kFileCreateError);
  HFSPlusString key;
  key.SetPrivateDataFolderName();
  TouchFolder(97);
  return Catalog().NewFolder(key, folderId_);
}

void HFSPlusDirectory::CreateSymlink(const std::u16string& name, const std::u16string& target) {
  hfs_->RequireWritable(100);
  if (!IsNewName(name, folderId_)) Fail(101, kFileCreateError);
  if (target.empty()) Fail(102, kFileNotSupported);
  TouchFolder(103);
  if (Find(name, nullptr)) Fail(104, kFileAlreadyExists);
  std::string bytes;
  Common::Utf16ToUtf8(bytes, target);
  HFSPlusString key;
  key.Append(name, 0);
  Catalog().NewSymlink(key, folderId_, bytes);
}

void HFSPlusDirectory::CreateHardLink(const std::u16string& name,
                                      DirectoryObject* existingDirectory,
                                      const std::u16string& existingName) {
  hfs_->RequireWritable(110);
  auto* targetFolder = dynamic_cast<HFSPlusDirectory*>(existingDirectory);
  if (!IsNewName(name, folderId_) || IsDotName(existingName) || !targetFolder)
    Fail(111, kFileCreateError);
  TouchFolder(112);
  if (Find(name, nullptr)) Fail(113, kFileDeleteError);
  const CatalogEntry target = targetFolder->Lookup(existingName, kFileNotFound);
  if (!IsFileRecord(target.record)) Fail(114, kFileCreateError);
  const std::uint16_t type = ModeOf(target.record) & 0xF000;
  if (type != kModeRegular && type != 0) Fail(115, kFileCreateError);
  const std::uint32_t id = target.Id();
  if (OpenFileSet* set = hfs_->OpenedFiles().Find(targetFolder->FolderId())) {
    auto open = set->find(id);
    if (open != set->end()) {
      // The first link moves the file into the hard-link folder under a
      // new role; its open object would go on naming the old record.
      if (!IsHardLinkRecord(target.record)) Fail(116, kFileCreateError);
      open->second->Flush();
    }
  }
  const std::uint32_t privateId = hfs_->PrivateDataFolder()->FolderId();
  HFSPlusString key;
  key.Append(name, 0);
  Catalog().NewHardLink(key, folderId_, target.name, targetFolder->FolderId(), privateId);
}

void HFSPlusDirectory::MoveEntry(const std::u16string& name, DirectoryObject* target,
                                 const std::u16string& targetName) {
  hfs_->RequireWritable(120);
  auto* to = dynamic_cast<HFSPlusDirectory*>(target);
  if (IsDotName(name) || !to || !IsNewName(targetName, to->FolderId())) Fail(121, kFileRenameError);
  TouchFolder(122);
  const CatalogEntry e = Lookup(name, kFileRenameError);
  if (!IsFolderRecord(e.record) && !IsFileRecord(e.record)) Fail(123, kFileRenameError);
  const std::uint32_t id = e.Id();
  if (to != this && openFiles_.count(id)) Fail(124, kFileRenameError);
  CatalogEntry there;
  if (to->Find(targetName, &there)) {
    // A link onto a link of the same iNode: nothing to do.
    if (IsHardLinkRecord(e.record) && IsHardLinkRecord(there.record) &&
        Common::LoadBe32(e.record.data() + file::kSpecial) ==
            Common::LoadBe32(there.record.data() + file::kSpecial))
      return;
    // Only the entry itself may stand at the new name (a change of case).
    if (to != this || there.Id() != id) Fail(125, kFileAlreadyExists);
  }
  HFSPlusString key;
  key.Append(targetName, 0);
  NotFoundAs(126, kFileRenameError, [&] {
    Catalog().Move(e.name, folderId_, key, to->FolderId(), hfs_->PrivateDataFolderId());
  });
}

FileSystemDriver::BackupObject* HFSPlusDirectory::CreateBackupObject(IteratorObject* at,
                                                                     std::uint32_t option) {
  const std::uint32_t id = at ? std::uint32_t(at->GetEntryId()) : folderId_;
  return HFSPlusBackupObjectFactory(hfs_).Create(id, option);
}

// ---------------------------------------------------------------------------
// Owners, modes and times

void HFSPlusDirectory::ChangeRecord(const std::u16string& name, std::uint32_t site,
                                    const std::function<void(std::uint8_t*)>& change,
                                    const std::function<void(HFSPlusFileObjectBase*)>& openChange) {
  TouchFolder(site);
  CatalogEntry e = Lookup(name, kFileNotFound);
  if (IsFileRecord(e.record)) {
    auto open = openFiles_.find(e.Id());
    if (open != openFiles_.end()) {
      // The open object keeps its own copy of the record.
      openChange(open->second);
      return;
    }
  } else if (!IsFolderRecord(e.record)) {
    Fail(site + 1, kFileNotFound);
  }
  change(e.record.data());
  Common::StoreBe32(e.record.data() + folder::kAttributeModDate, CurrentHFSPlusTime());
  Catalog().UpdateRecord(e);
}

void HFSPlusDirectory::SetSecurityData(const std::u16string& name, const void* data,
                                       std::uint32_t size) {
  hfs_->RequireWritable(130);
  if (!data || size != 16) Fail(131, kFileCorrupted);
  ChangeRecord(
      name, 132,
      [&](std::uint8_t* r) { std::copy_n(static_cast<const std::uint8_t*>(data), 16, r + 32); },
      [&](HFSPlusFileObjectBase* f) { f->SetPermissions(data, size); });
}

void HFSPlusDirectory::SetMode(const std::u16string& name, std::uint32_t mode) {
  hfs_->RequireWritable(140);
  // The permission bits change; the type bits stay what the entry is (a
  // mode without them would turn a link or a folder into something else).
  ChangeRecord(
      name, 141,
      [&](std::uint8_t* r) {
        const std::uint16_t old = Common::LoadBe16(r + folder::kMode);
        Common::StoreBe16(r + folder::kMode, std::uint16_t((old & 0xF000) | (mode & 0x0FFF)));
      },
      [&](HFSPlusFileObjectBase* f) {
        const std::uint16_t old = ModeOf(Catalog().GetRecordById(f->FileId()).record);
        f->SetMode(std::uint16_t((old & 0xF000) | (mode & 0x0FFF)));
      });
}

void HFSPlusDirectory::SetOwner(const std::u16string& name, std::uint32_t owner,
                                std::uint32_t group) {
  hfs_->RequireWritable(150);
  ChangeRecord(
      name, 151,
      [&](std::uint8_t* r) {
        Common::StoreBe32(r + folder::kOwner, owner);
        Common::StoreBe32(r + folder::kGroup, group);
      },
      [&](HFSPlusFileObjectBase* f) { f->SetOwner(owner, group); });
}

void HFSPlusDirectory::SetTimes(const std::u16string& name, std::uint64_t modification,
                                std::uint64_t creation, std::uint64_t access) {
  hfs_->RequireWritable(160);
  // A creation time of 0 is one the caller did not give: the entry keeps
  // its own.
  ChangeRecord(
      name, 161,
      [&](std::uint8_t* r) {
        Common::StoreBe32(r + folder::kContentModDate, ToHFSPlusTime(std::int64_t(modification)));
        if (creation)
          Common::StoreBe32(r + folder::kCreateDate, ToHFSPlusTime(std::int64_t(creation)));
        Common::StoreBe32(r + folder::kAccessDate, ToHFSPlusTime(std::int64_t(access)));
      },
      [&](HFSPlusFileObjectBase* f) { f->SetTimes(modification, creation, access); });
}

void HFSPlusDirectory::SetAttributes(const std::u16string&, std::uint32_t) {
  hfs_->RequireWritable(170);
  Fail(171, kFileNotSupported);
}

void HFSPlusDirectory::CreateNode(const std::u16string&, std::uint32_t, std::uint32_t,
                                  std::uint32_t, std::uint32_t) {
  hfs_->RequireWritable(172);
  Fail(173, kFileNotSupported);
}

}  // namespace hfsplus
}  // namespace filesystems
