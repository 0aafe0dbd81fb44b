// The iterator over one HFS+ folder's entries and their properties.
#include "files/file_error.h"
#include "filesystems/hfs_driver.h"
#include "filesystems/hfs_file.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsDriverModuleId + 0x200;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

// Object types of the framework.
constexpr std::uint32_t kTypeFile = 0, kTypeCharDevice = 1, kTypeBlockDevice = 2, kTypeFifo = 3,
                        kTypeSocket = 4, kTypeLink = 5, kTypeDirectory = 128;
constexpr std::uint16_t kFinderInvisible = 0x4000;

std::u16string TextOf(const HFSPlusString& name) {
  std::u16string text;
  name.ToWString(text);
  return text;
}

}  // namespace

HFSPlusIterator::HFSPlusIterator(HFSPlusDriver* driver, std::uint32_t folderId)
    : hfs_(driver), folderId_(folderId) {
  DirectoryItems items(driver->GetMetadata().Catalog(), folderId);
  entries_.reserve(items.Valence());
  for (; !items.AtEnd(); items.Advance()) entries_.push_back(items.Current().name);
  Settle(true);
}

HFSPlusIterator::HFSPlusIterator(HFSPlusDriver* driver, std::uint32_t folderId,
                                 const HFSPlusString& name)
    : hfs_(driver), folderId_(folderId) {
  DirectoryItems items(driver->GetMetadata().Catalog(), folderId, name);
  entries_.push_back(items.Current().name);
  if (!Load()) Fail(1, kFileNotFound);
}

bool HFSPlusIterator::Load() {
  linkLoaded_ = false;
  symlinkTarget_.clear();
  CatalogFile& catalog = hfs_->GetMetadata().Catalog();
  if (!catalog.Lookup(folderId_, entries_[at_], &current_)) return false;
  if (!IsFolderRecord(current_.record) && !IsFileRecord(current_.record)) Fail(2, kFileCorrupted);
  name_ = TextOf(current_.name);
  return true;
}

bool HFSPlusIterator::Settle(bool skipHidden) {
  for (; at_ < entries_.size(); ++at_) {
    if (!Load()) continue;  // deleted since the iterator was made
    if (skipHidden && IsHiddenEntryName(name_, folderId_)) continue;
    if (skipHidden && folderId_ == kRootFolderId && current_.name.IsPrivateDataFolder()) continue;
    return true;
  }
  current_ = CatalogEntry();
  name_.clear();
  return false;
}

bool HFSPlusIterator::Next() {
  if (AtEnd()) return false;
  ++at_;
  return Settle(true);
}

const CatalogEntry& HFSPlusIterator::Entry() const {
  if (AtEnd()) Fail(3, kFileEndOfFile);
  return current_;
}

const std::uint8_t* HFSPlusIterator::Record() { return Entry().record.data(); }

const std::vector<std::uint8_t>& HFSPlusIterator::Properties() {
  const CatalogEntry& e = Entry();
  if (!IsHardLinkRecord(e.record)) return e.record;
  if (!linkLoaded_) {
    inode_ = hfs_->GetMetadata().Catalog().GetINodeRecord(e);
    linkLoaded_ = true;
  }
  return inode_.record;
}

file_identifier* HFSPlusIterator::GetIdentifier() {
  Entry();
  return new the_identifier(name_.c_str(), nullptr, 0);
}

const char16_t* HFSPlusIterator::GetName() {
  name_ = TextOf(Entry().name);
  if (name_.empty()) Fail(4, kFileEndOfFile);
  return name_.c_str();
}

std::uint64_t HFSPlusIterator::GetSize() {
  const auto& r = Properties();
  return IsFileRecord(r) ? Common::LoadBe64(r.data() + file::kDataFork) : 0;
}

std::uint64_t HFSPlusIterator::GetAllocatedSize() {
  const auto& r = Properties();
  if (!IsFileRecord(r)) return 0;
  return std::uint64_t(Common::LoadBe32(r.data() + file::kDataFork + 12)) *
         hfs_->GetMetadata().GetVolume().Primary().BlockSize();
}

// The record type decides between folder and file: a folder whose mode was
// never set (0) is still a folder, and a file without type bits a regular
// file. A hard link is what its iNode is (a link to a symbolic link is a
// symbolic link).
std::uint32_t HFSPlusIterator::GetObjectType() {
  if (IsFolder()) return kTypeDirectory;
  switch (ModeOf(Properties()) & 0xF000) {
    case 0xA000: return kTypeLink;
    case 0x1000: return kTypeFifo;
    case 0x2000: return kTypeCharDevice;
    case 0x6000: return kTypeBlockDevice;
    case 0xC000: return kTypeSocket;
    default: return kTypeFile;
  }
}

std::uint64_t HFSPlusIterator::GetModificationTime() {
  return FromHFSPlusTime(Common::LoadBe32(Properties().data() + folder::kContentModDate));
}
std::uint64_t HFSPlusIterator::GetChangeTime() {
  return FromHFSPlusTime(Common::LoadBe32(Properties().data() + folder::kAttributeModDate));
}
std::uint64_t HFSPlusIterator::GetCreationTime() {
  return FromHFSPlusTime(Common::LoadBe32(Properties().data() + folder::kCreateDate));
}
std::uint64_t HFSPlusIterator::GetAccessTime() {
  return FromHFSPlusTime(Common::LoadBe32(Properties().data() + folder::kAccessDate));
}

bool HFSPlusIterator::IsHidden() {
  Entry();
  if (!name_.empty() && name_[0] == u'.') return true;
  return (Common::LoadBe16(Properties().data() + file::kFinderFlags) & kFinderInvisible) != 0;
}

std::uint64_t HFSPlusIterator::GetEntryId() { return Entry().Id(); }

std::uint64_t HFSPlusIterator::GetDataPosition() {
  const auto& r = Properties();
  if (!IsFileRecord(r)) return 0;
  const std::uint32_t start = Common::LoadBe32(r.data() + file::kDataFork + 16);
  if (start == 0) return 0;
  Volume& volume = hfs_->GetMetadata().GetVolume();
  return volume.Primary().BlockToSector(start, volume.SectorSize());
}

// The permission bits, as the other drivers give them; a mode of 0 means
// the entry never had one set.
std::uint32_t HFSPlusIterator::GetMode() {
  const std::uint16_t mode = ModeOf(Properties());
  return mode == 0 ? 0xFFFFFFFFu : mode & 0xFFFu;
}

std::uint32_t HFSPlusIterator::GetSecurityData(const void** data) {
  if (data) *data = nullptr;
  std::copy_n(Properties().data() + folder::kOwner, 16, security_);
  if (data) *data = security_;
  return 16;
}

std::uint32_t HFSPlusIterator::GetLinkCount() {
  const CatalogEntry& e = Entry();
  if (!IsHardLinkRecord(e.record)) return 1;
  const std::uint32_t links = Common::LoadBe32(Properties().data() + file::kSpecial);
  if (links == 0) Fail(5, kFileCorrupted);
  return links;
}

std::uint32_t HFSPlusIterator::GetOwnerId() {
  return Common::LoadBe32(Properties().data() + folder::kOwner);
}
std::uint32_t HFSPlusIterator::GetGroupId() {
  return Common::LoadBe32(Properties().data() + folder::kGroup);
}

std::uint32_t HFSPlusIterator::GetDeviceMajor() {
  if (!IsSpecialNodeRecord(Entry().record)) Fail(6, kFileNotSupported);
  return Common::LoadBe32(Record() + file::kSpecial) >> 16;
}
std::uint32_t HFSPlusIterator::GetDeviceMinor() {
  if (!IsSpecialNodeRecord(Entry().record)) Fail(7, kFileNotSupported);
  return Common::LoadBe32(Record() + file::kSpecial) & 0xFFFF;
}

const char16_t* HFSPlusIterator::GetSymlinkTarget() {
  const CatalogEntry& e = Entry();
  if (!IsSymlinkRecord(e.record)) Fail(8, kFileNotSupported);
  symlinkTarget_ = ReadSymlinkTarget(hfs_, e.record.data());
  return symlinkTarget_.c_str();
}

}  // namespace hfsplus
}  // namespace filesystems
