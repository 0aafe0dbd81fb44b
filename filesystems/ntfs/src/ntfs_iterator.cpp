// The NTFS directory iterator: a walk of the $I30 index in $UpCase order
// that reports each entry from the $FILE_NAME copy in its key, finds its
// place again by name after the directory changed, and opens the entry's
// record only for the link count, short name, data position and link
// target.
#include <cstring>

#include "files/dir.h"
#include "files/file_error.h"
#include "filesystems/ntfs_directory.h"
#include "filesystems/ntfs_file.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsIteratorModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kFileName = 0x30;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kReparsePoint = 0xC0;
constexpr std::uint64_t kFirstUserRecord = 16;

constexpr std::uint32_t kTagMountPoint = 0xA0000003;
constexpr std::uint32_t kTagSymlink = 0xA000000C;
constexpr std::uint32_t kTag80000009 = 0x80000009;
constexpr std::uint32_t kNameSurrogate = 0x20000000;
constexpr std::uint32_t kLargestReparseValue = 0x4000;

// Every $FILE_NAME value of a file, in record order, including those that
// its attribute list places in extension records.
std::vector<std::vector<std::uint8_t>> FileNameValues(NTFSDriver& driver, std::uint64_t record) {
  std::vector<std::vector<std::uint8_t>> values;
  const std::uint32_t recordSize = driver.Geometry().recordSize;
  RecordHandle held(driver.GetMft(), record);
  const FileRecordHeader base = ParseFileRecord(held.Image(), recordSize);
  if ((base.flags & file_record::kInUse) == 0) Corrupted(0x01);
  auto take = [&](const std::uint8_t* image, const AttributeRecord& a) {
    if (a.nonResident || a.valueLength < file_name::kName) Corrupted(0x02);
    const std::uint8_t* v = image + a.valueOffset;
    if (file_name::kName + 2u * v[file_name::kNameLength] > a.valueLength)
      ThrowFileError(0x03, kModuleId, kFileReadError);
    values.emplace_back(v, v + a.valueLength);
  };
  bool listed = false;
  for (const AttributeRecord& a : base.attributes) listed |= a.type == kAttributeList;
  if (!listed) {
    for (const AttributeRecord& a : base.attributes)
      if (a.type == kFileName) take(held.Image(), a);
    return values;
  }
  AttributeValue list;
  driver.FindAttribute(record, held.Image(), kAttributeList, u"", list);
  const std::uint64_t size = driver.ValueSize(list);
  std::vector<std::uint8_t> bytes(CheckDiskSizedAllocation(size));
  if (driver.ReadValue(list, 0, bytes.data(), std::uint32_t(size)) != size)
    ThrowFileError(0x04, kModuleId, kFileReadError);
  for (std::size_t at = 0; at < bytes.size();) {
    if (bytes.size() - at < 26) Corrupted(0x05);
    const std::uint8_t* e = bytes.data() + at;
    const std::uint32_t length = Common::LoadLe16(e + 4);
    if (length < 26 || length % 8 != 0 || length > bytes.size() - at) Corrupted(0x06);
    at += length;
    if (Common::LoadLe32(e) != kFileName) continue;
    const std::uint64_t where = RecordNumberOf(Common::LoadLe64(e + 16));
    const std::uint16_t id = Common::LoadLe16(e + 24);
    std::unique_ptr<RecordHandle> other;
    const std::uint8_t* image = held.Image();
    if (where != record) {
      other = std::make_unique<RecordHandle>(driver.GetMft(), where);
      image = other->Image();
    }
    const FileRecordHeader h = ParseFileRecord(image, recordSize);
    if (where != record && RecordNumberOf(h.baseRecord) != record) Corrupted(0x07);
    bool found = false;
    for (const AttributeRecord& a : h.attributes) {
      if (a.type != kFileName || a.id != id) continue;
      take(image, a);
      found = true;
      break;
    }
    if (!found) Corrupted(0x08);
  }
  return values;
}

bool IsDriveLetter(const std::u16string& text) {
  return text.size() == 2 && text[1] == u':' &&
         ((text[0] >= u'A' && text[0] <= u'Z') || (text[0] >= u'a' && text[0] <= u'z'));
}

}  // namespace

NTFSIterator::NTFSIterator(NTFSDirectory* directory, bool hide) : directory_(directory), hide_(hide) {
  directory_->AddUse();
  try {
    directory_->GetIndex();
  } catch (...) {
    directory_->DropUse();
    throw;
  }
  directory_->Join(this);
}

NTFSIterator::NTFSIterator(NTFSDirectory* directory, const std::u16string& name, bool hide)
    : directory_(directory), name_(name), hide_(hide), reposition_(true) {
  directory_->AddUse();
  try {
    Reposition();
  } catch (...) {
    directory_->DropUse();
    throw;
  }
  directory_->Join(this);
}

NTFSIterator::~NTFSIterator() {
  directory_->Leave(this);
  directory_->DropUse();
}

bool NTFSIterator::Hidden(const std::uint8_t* entry) const {
  const std::uint8_t* key = entry + index_entry::kKey;
  const std::uint64_t record = std::uint32_t(Common::LoadLe64(entry));
  const std::uint64_t parent = std::uint32_t(Common::LoadLe64(key + file_name::kParent));
  if (directory_->Ntfs().IsRecordFilteredOut(record)) return true;
  if (record < kFirstUserRecord) return true;
  if (parent < kFirstUserRecord && parent != kRootDirectoryRecord) return true;
  return key[file_name::kNamespace] == file_name::kDos;
}

void NTFSIterator::SavePlace() {
  if (reposition_ || !cursor_.valid) return;
  GetName();
  reposition_ = true;
}

void NTFSIterator::Reposition() {
  if (!reposition_) return;
  Index& index = directory_->GetIndex();
  Index::Cursor cursor = directory_->FindEntry(name_);
  const std::uint8_t* entry = index.EntryAt(cursor);
  if (hide_ && Hidden(entry)) ThrowFileError(0x10, kModuleId, kFileNotFound);
  cursor_ = cursor;
  entry_.assign(entry, entry + index.EntryLength(entry));
  name_ = FileNameOf(entry_.data() + index_entry::kKey);
  reposition_ = false;
}

const std::vector<std::uint8_t>& NTFSIterator::Entry() {
  Reposition();
  if (entry_.empty()) ThrowFileError(0x11, kModuleId, kFileNotFound);
  return entry_;
}

const std::uint8_t* NTFSIterator::Key() { return Entry().data() + index_entry::kKey; }

bool NTFSIterator::Next() {
  if (finished_) return false;
  Reposition();
  name_.clear();
  target_.clear();
  targetRead_ = false;
  Index& index = directory_->GetIndex();
  while (index.Next(cursor_)) {
    const std::uint8_t* entry = index.EntryAt(cursor_);
    if (hide_ && Hidden(entry)) continue;
    entry_.assign(entry, entry + index.EntryLength(entry));
    return true;
  }
  entry_.clear();
  finished_ = true;
  return false;
}

file_identifier* NTFSIterator::GetIdentifier() { return new the_identifier(GetName(), nullptr, 0); }

const char16_t* NTFSIterator::GetName() {
  if (name_.empty()) name_ = FileNameOf(Key());
  return name_.c_str();
}

std::uint64_t NTFSIterator::GetSize() { return Common::LoadLe64(Key() + file_name::kDataSize); }

std::uint64_t NTFSIterator::GetAllocatedSize() {
  return Common::LoadLe64(Key() + file_name::kAllocatedSize);
}

std::uint32_t NTFSIterator::GetObjectType() {
  const std::uint8_t* key = Key();
  const std::uint32_t flags = Common::LoadLe32(key + file_name::kFlags);
  const bool directory = (flags & file_name::kDirectory) != 0;
  if (flags & file_name::kReparsePoint) {
    const std::uint32_t tag = Common::LoadLe32(key + file_name::kReparseTag);
    if (tag == kTagSymlink) return directory ? kObjectDirSymlink : kObjectFileSymlink;
    if (tag == kTag80000009) return kObjectReparse80000009;
    if (directory && (tag & kNameSurrogate)) return kObjectJunction;
  }
  return directory ? kObjectDirectory : kObjectFile;
}

std::uint64_t NTFSIterator::GetModificationTime() {
  return std::uint64_t(FileTimeToMilliseconds(Common::LoadLe64(Key() + file_name::kModificationTime)));
}

std::uint64_t NTFSIterator::GetCreationTime() {
  return std::uint64_t(FileTimeToMilliseconds(Common::LoadLe64(Key() + file_name::kCreationTime)));
}

std::uint64_t NTFSIterator::GetAccessTime() {
  return std::uint64_t(FileTimeToMilliseconds(Common::LoadLe64(Key() + file_name::kAccessTime)));
}

bool NTFSIterator::IsHidden() {
  return (Common::LoadLe32(Key() + file_name::kFlags) & file_name::kHidden) != 0;
}

std::uint64_t NTFSIterator::GetEntryId() { return Common::LoadLe64(Entry().data()); }

std::uint64_t NTFSIterator::GetDataPosition() {
  // Uses the entry as it stands: valid until the directory changes.
  if (entry_.empty()) ThrowFileError(0x12, kModuleId, kFileNotFound);
  NTFSDriver& driver = directory_->Ntfs();
  const std::uint64_t record = std::uint32_t(Common::LoadLe64(entry_.data()));
  RecordHandle held(driver.GetMft(), record);
  AttributeValue data;
  if (!driver.FindAttribute(record, held.Image(), kData, u"", data) || !data.header.nonResident)
    return 0;
  for (const Run& run : data.runs)
    if (run.HasClusters()) return std::uint64_t(run.lcn) * driver.Geometry().sectorsPerCluster;
  return 0;
}

const char16_t* NTFSIterator::GetShortName() {
  shortName_.clear();
  try {
    const std::uint8_t* key = Key();
    const std::uint8_t space = key[file_name::kNamespace];
    if (space == file_name::kDos) {
      shortName_ = FileNameOf(key);
    } else if (space == file_name::kWin32) {
      const std::uint64_t parent = Common::LoadLe64(key + file_name::kParent);
      const std::uint64_t record = std::uint32_t(Common::LoadLe64(Entry().data()));
      for (const auto& value : FileNameValues(directory_->Ntfs(), record)) {
        if (Common::LoadLe64(value.data() + file_name::kParent) != parent ||
            value[file_name::kNamespace] != file_name::kDos)
          continue;
        const std::u16string name = FileNameOf(value.data());
        // Only a name the directory really lists is reported.
        directory_->FindEntry(name);
        shortName_ = name;
        break;
      }
    }
  } catch (const Common::Error&) {
    shortName_.clear();
  }
  return shortName_.empty() ? nullptr : shortName_.c_str();
}

std::uint32_t NTFSIterator::GetAttributes() {
  std::uint32_t flags = Common::LoadLe32(Key() + file_name::kFlags);
  if (flags & file_name::kDirectory) flags = (flags & ~file_name::kDirectory) | 0x10;
  return flags;
}

std::uint32_t NTFSIterator::GetLinkCount() {
  const std::uint64_t record = std::uint32_t(Common::LoadLe64(Entry().data()));
  std::uint32_t posix = 0;
  bool other = false;
  for (const auto& value : FileNameValues(directory_->Ntfs(), record)) {
    if (value[file_name::kNamespace] == file_name::kPosix) ++posix;
    else other = true;
  }
  return std::uint16_t(posix + (other ? 1 : 0));
}

const char16_t* NTFSIterator::GetSymlinkTarget() {
  if (targetRead_) return target_.empty() ? nullptr : target_.c_str();
  target_.clear();
  NTFSDriver& driver = directory_->Ntfs();
  const std::uint64_t record = std::uint32_t(Common::LoadLe64(Entry().data()));
  std::vector<std::uint8_t> bytes;
  {
    RecordHandle held(driver.GetMft(), record);
    AttributeValue value;
    if (driver.FindAttribute(record, held.Image(), kReparsePoint, u"", value)) {
      const std::uint64_t size = driver.ValueSize(value);
      if (size <= kLargestReparseValue) {
        bytes.resize(std::size_t(size));
        if (driver.ReadValue(value, 0, bytes.data(), std::uint32_t(size)) != size)
          ThrowFileError(0x20, kModuleId, kFileReadError);
      }
    }
  }
  targetRead_ = true;
  if (bytes.empty()) return nullptr;
  std::u16string text;
  bool relative = false;
  if (bytes.size() >= 16) {
    const std::uint32_t tag = Common::LoadLe32(bytes.data());
    std::uint32_t buffer = 0;
    if (tag == kTagMountPoint) buffer = 16;
    if (tag == kTagSymlink && bytes.size() >= 20) {
      buffer = 20;
      relative = (Common::LoadLe32(bytes.data() + 16) & 1) != 0;
    }
    const std::uint32_t offset = Common::LoadLe16(bytes.data() + 8);
    const std::uint32_t length = Common::LoadLe16(bytes.data() + 10);
    if (buffer != 0 && length % 2 == 0 &&
        Common::RangeInside(std::uint64_t(buffer) + offset, length, bytes.size())) {
      for (std::uint32_t i = 0; i < length; i += 2)
        text.push_back(char16_t(Common::LoadLe16(bytes.data() + buffer + offset + i)));
    }
  }
  if (!relative) {
    if (text.compare(0, 4, u"\\??\\") != 0 || text.size() < 4) {
      target_.clear();
      ThrowFileError(0x21, kModuleId, kFileOpenError);
    }
    text.erase(0, 4);
    const std::u16string head = text.substr(0, text.find(u'\\'));
    if (text.size() == 2 && IsDriveLetter(text)) text.push_back(u'\\');
    else if (!IsDriveLetter(head)) text.insert(0, u"\\\\?\\");
  }
  target_ = text;
  return target_.empty() ? nullptr : target_.c_str();
}

}  // namespace ntfs
}  // namespace filesystems
