// HFS+ folders as directory objects, and their iterators, over the catalog.
#include <algorithm>

#include "files/file_error.h"
#include "filesystems/hfs_backup.h"
#include "filesystems/hfs_driver.h"
#include "filesystems/hfs_file.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsDriverModuleId + 0x100;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

// Object types of the framework.
constexpr std::uint32_t kTypeFile = 0, kTypeCharDevice = 1, kTypeBlockDevice = 2, kTypeFifo = 3,
                        kTypeSocket = 4, kTypeSymlink = 5, kTypeDirectory = 128;

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

std::u16string TextOf(const HFSPlusString& name) {
  std::u16string text;
  name.ToWString(text);
  return text;
}

}  // namespace

HFSPlusDirectory::HFSPlusDirectory(HFSPlusDriver* driver, std::uint32_t directoryId)
    : DirectoryObject(driver, directoryId),
      hfs_(driver),
      folderId_(HFSPlusDriver::FolderIdOf(directoryId)) {
  if (Catalog().GetRecordById(folderId_).Type() != kFolderRecord) Fail(10, kFileCorrupted);
}

CatalogFile& HFSPlusDirectory::Catalog() { return hfs_->GetMetadata().Catalog(); }

CatalogEntry HFSPlusDirectory::Lookup(const std::u16string& name, std::uint32_t missing) {
  CatalogEntry e;
  HFSPlusString key;
  try {
    key = CatalogName(name, folderId_);
  } catch (const Common::Error&) {
    Fail(11, missing);
  }
  if (!Catalog().Lookup(folderId_, key, &e)) Fail(12, missing);
  return e;
}

FileSystemDriver::IteratorObject* HFSPlusDirectory::OpenIterator() {
  std::vector<CatalogEntry> entries;
  Catalog().ForEachChild(folderId_, [&](const CatalogEntry& e) {
    e.Id();  // a record too short for its type is refused here
    entries.push_back(e);
    return true;
  });
  if (entries.empty()) return nullptr;
  return new HFSPlusIterator(hfs_, folderId_, std::move(entries));
}

FileSystemDriver::IteratorObject* HFSPlusDirectory::OpenIteratorFor(const std::u16string& name) {
  CatalogEntry e = Lookup(name, kFileNotFound);
  e.Id();
  return new HFSPlusIterator(hfs_, folderId_, {std::move(e)});
}

FileSystemDriver::IteratorObject* HFSPlusDirectory::OpenIteratorAt(const file_identifier* id) {
  const auto* general = dynamic_cast<const the_identifier*>(id);
  if (!general) Fail(20, kFileNotFound);
  return OpenIteratorFor(general->name());
}

std::uint32_t HFSPlusDirectory::GetChildDirectoryId(const std::u16string& name) {
  const CatalogEntry e = Lookup(name, kFileOpenError);
  if (e.Type() != kFolderRecord) Fail(21, kFileOpenError);
  return e.Id();
}

FileSystemDriver::FileObject* HFSPlusDirectory::OpenFileByIdentifier(const file_identifier* id) {
  const auto* general = dynamic_cast<const the_identifier*>(id);
  if (!general) Fail(30, kFileNotFound);
  return OpenFile(general->name());
}
FileSystemDriver::FileObject* HFSPlusDirectory::OpenFileAt(IteratorObject* at) {
  if (!at) Fail(31, kFileOpenError);
  return OpenFile(at->GetName());
}
FileSystemDriver::FileObject* HFSPlusDirectory::OpenFile(const std::u16string& name) {
  const CatalogEntry e = Lookup(name, kFileNotFound);
  if (e.Type() != kFileRecord) Fail(32, kFileOpenError);
  return HFSPlusFileObject::Open(hfs_, this, folderId_, e.Id());
}
FileSystemDriver::FileObject* HFSPlusDirectory::CreateFile(const std::u16string& name) {
  hfs_->RequireWritable(33);
  if (name.empty() || name.size() > kMaxNameUnits || IsDotName(name) ||
      name.find(u'/') != std::u16string::npos || name.find(u'\0') != std::u16string::npos)
    Fail(34, kFileCreateError);
  CatalogEntry e;
  HFSPlusString key;
  key.Append(name, 0);
  if (Catalog().Lookup(folderId_, key, &e)) {
    if (e.Type() != kFileRecord || hfs_->OpenFiles().IsOpen(folderId_, e.Id())) Fail(35, kFileDeleteError);
    // A link whose iNode is open through another name is busy too.
    if (IsHardLinkRecord(e.record.data()) &&
        hfs_->OpenFiles().ContentOpen(Common::LoadBe32(e.record.data() + file::kSpecial)))
      Fail(37, kFileDeleteError);
    HFSPlusFileObject* file = HFSPlusFileObject::Open(hfs_, this, folderId_, e.Id());
    try {
      file->SetSize(0);
    } catch (...) {
      delete file;
      throw;
    }
    return file;
  }
  if (IsHiddenEntryName(name, folderId_)) Fail(36, kFileAlreadyExists);
  return HFSPlusFileObject::Open(hfs_, this, folderId_, Catalog().NewFile(key, folderId_));
}

void HFSPlusDirectory::DeleteFile(const std::u16string& name) {
  hfs_->RequireWritable(40);
  const CatalogEntry e = Lookup(name, kFileNotFound);
  if (e.Type() != kFileRecord) Fail(41, kFileDeleteError);
  const std::uint32_t id = e.Id();
  // An open file keeps its record and blocks.
  if (hfs_->OpenFiles().IsOpen(folderId_, id) || hfs_->OpenFiles().ContentOpen(id))
    Fail(46, kFileDeleteError);
  Metadata& m = hfs_->GetMetadata();
  Catalog().DeleteFile(e.name, folderId_, m.Extents());
  if (m.HasAttributes()) m.Attributes().RemoveAll(id);
}

void HFSPlusDirectory::RemoveDirectory(const std::u16string& name) {
  hfs_->RequireWritable(42);
  const CatalogEntry e = Lookup(name, kFileNotFound);
  const std::uint32_t id = e.Type() == kFolderRecord ? e.Id() : 0;
  Catalog().RemoveFolder(e.name, folderId_);
  Metadata& m = hfs_->GetMetadata();
  if (m.HasAttributes()) m.Attributes().RemoveAll(id);
}

void HFSPlusDirectory::CreateDirectory(const std::u16string& name) {
  hfs_->RequireWritable(43);
  if (name.empty() || name.size() > kMaxNameUnits || IsDotName(name) ||
      name.find(u'/') != std::u16string::npos || name.find(u'\0') != std::u16string::npos)
    Fail(44, kFileCreateError);
  if (IsHiddenEntryName(name, folderId_)) Fail(45, kFileAlreadyExists);
  HFSPlusString key;
  key.Append(name, 0);
  Catalog().NewFolder(key, folderId_);
}

void HFSPlusDirectory::MoveEntry(const std::u16string&, DirectoryObject*, const std::u16string&) {
  hfs_->RequireWritable(50);
  Fail(51, kFileNotSupported);
}
void HFSPlusDirectory::CreateHardLink(const std::u16string&, DirectoryObject*,
                                      const std::u16string&) {
  hfs_->RequireWritable(52);
  Fail(53, kFileNotSupported);
}
void HFSPlusDirectory::CreateSymlink(const std::u16string&, const std::u16string&) {
  hfs_->RequireWritable(54);
  Fail(55, kFileNotSupported);
}
void HFSPlusDirectory::SetAttributes(const std::u16string&, std::uint32_t) {
  Fail(56, kFileNotSupported);
}

FileSystemDriver::BackupObject* HFSPlusDirectory::CreateBackupObject(IteratorObject* at,
                                                                     std::uint32_t option) {
  const std::uint32_t id = at ? std::uint32_t(at->GetEntryId()) : folderId_;
  return HFSPlusBackupObjectFactory(hfs_).Create(id, option);
}

// ---------------------------------------------------------------------------

HFSPlusIterator::HFSPlusIterator(HFSPlusDriver* driver, std::uint32_t folderId,
                                 std::vector<CatalogEntry> entries)
    : hfs_(driver), folderId_(folderId), entries_(std::move(entries)) {
  Load();
}

void HFSPlusIterator::Load() { name_ = TextOf(entries_[at_].name); }

bool HFSPlusIterator::Next() {
  if (at_ + 1 >= entries_.size()) return false;
  ++at_;
  Load();
  return true;
}

file_identifier* HFSPlusIterator::GetIdentifier() {
  std::uint8_t id[4];
  Common::StoreLe32(id, entries_[at_].Id());
  return new the_identifier(name_.c_str(), id, sizeof id);
}

std::uint64_t HFSPlusIterator::GetSize() {
  return IsFolder() ? 0 : Common::LoadBe64(Record() + file::kDataFork);
}

std::uint64_t HFSPlusIterator::GetAllocatedSize() {
  if (IsFolder()) return 0;
  const std::uint64_t blocks = std::uint64_t(Common::LoadBe32(Record() + file::kDataFork + 12)) +
                               Common::LoadBe32(Record() + file::kResourceFork + 12);
  return blocks * hfs_->GetMetadata().GetVolume().Primary().BlockSize();
}

std::uint32_t HFSPlusIterator::GetObjectType() {
  if (IsFolder()) return kTypeDirectory;
  switch (Common::LoadBe16(Record() + file::kMode) & 0xF000) {
    case 0xA000: return kTypeSymlink;
    case 0x1000: return kTypeFifo;
    case 0x2000: return kTypeCharDevice;
    case 0x6000: return kTypeBlockDevice;
    case 0xC000: return kTypeSocket;
    default: return kTypeFile;
  }
}

std::uint64_t HFSPlusIterator::GetModificationTime() {
  return FromHFSPlusTime(Common::LoadBe32(Record() + folder::kContentModDate));
}
std::uint64_t HFSPlusIterator::GetChangeTime() {
  return FromHFSPlusTime(Common::LoadBe32(Record() + folder::kAttributeModDate));
}
std::uint64_t HFSPlusIterator::GetCreationTime() {
  return FromHFSPlusTime(Common::LoadBe32(Record() + folder::kCreateDate));
}
std::uint64_t HFSPlusIterator::GetAccessTime() {
  return FromHFSPlusTime(Common::LoadBe32(Record() + folder::kAccessDate));
}

bool HFSPlusIterator::IsHidden() {
  if (folderId_ == kRootFolderId && entries_[at_].name.IsPrivateDataFolder()) return true;
  return IsHiddenEntryName(name_, folderId_) || (!name_.empty() && name_[0] == u'.');
}

std::uint64_t HFSPlusIterator::GetEntryId() { return entries_[at_].Id(); }

std::uint64_t HFSPlusIterator::GetDataPosition() {
  if (IsFolder()) return 0;
  const std::uint32_t start = Common::LoadBe32(Record() + file::kDataFork + 16);
  Volume& volume = hfs_->GetMetadata().GetVolume();
  return volume.Primary().BlockToSector(start, volume.SectorSize());
}

// A mode of 0 means the entry never had one set.
std::uint32_t HFSPlusIterator::GetMode() {
  const std::uint16_t mode = Common::LoadBe16(Record() + folder::kMode);
  return mode == 0 ? 0xFFFFFFFFu : mode & 0xFFFu;
}
std::uint32_t HFSPlusIterator::GetOwnerId() { return Common::LoadBe32(Record() + folder::kOwner); }
std::uint32_t HFSPlusIterator::GetGroupId() { return Common::LoadBe32(Record() + folder::kGroup); }

}  // namespace hfsplus
}  // namespace filesystems
