// NTFS directories: the $I30 index read through the volume, names looked
// up in $UpCase order, child directory ids, and the index upkeep the name
// changes will build on.
#include "filesystems/ntfs_directory.h"

#include <algorithm>
#include <cstring>

#include "filesystems/ntfs_attribute.h"
#include "files/dir.h"
#include "files/file_error.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsDirectoryModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

constexpr std::uint32_t kIndexRoot = 0x90;
constexpr std::uint32_t kIndexAllocation = 0xA0;
constexpr std::uint32_t kBitmapAttribute = 0xB0;
constexpr std::uint64_t kFirstUserRecord = 16;

// FILETIME of 1970-01-01.
constexpr std::uint64_t kFileTimeOf1970 = 116444736000000000ull;

std::u16string NameOfIdentifier(const file_identifier* id) {
  const auto* general = dynamic_cast<const the_identifier*>(id);
  if (!general) ThrowFileError(0x01, kModuleId, kFileNotFound);
  return general->name();
}

}  // namespace

std::vector<std::uint8_t> MakeFileNameValue(const std::u16string& name) {
  if (name.size() > 255) Corrupted(0x02);
  std::vector<std::uint8_t> value(file_name::kName + 2 * name.size(), 0);
  value[file_name::kNameLength] = std::uint8_t(name.size());
  for (std::size_t i = 0; i < name.size(); ++i)
    Common::StoreLe16(value.data() + file_name::kName + 2 * i, name[i]);
  return value;
}

std::u16string FileNameOf(const std::uint8_t* value) {
  std::u16string name(value[file_name::kNameLength], u'\0');
  for (std::size_t i = 0; i < name.size(); ++i)
    name[i] = char16_t(Common::LoadLe16(value + file_name::kName + 2 * i));
  return name;
}

std::uint32_t DirectoryIdOfRecord(std::uint64_t record) {
  if (record == kRootDirectoryRecord) return 0;
  if (record < kFirstUserRecord) ThrowFileError(0x03, kModuleId, kFileOpenError);
  return std::uint32_t(record - kRootDirectoryRecord);
}

// ---------------------------------------------------------------------------
// The index's bytes on the volume

// One attribute of the directory's record, opened for one call.
struct OpenedAttribute {
  OpenedAttribute(NTFSDriver& driver, std::uint64_t record, std::uint32_t type,
                  const std::u16string& name)
      : file(driver, record), attribute(file.Find(type, name)) {}
  FileRecord file;
  std::unique_ptr<Attribute> attribute;
};

class VolumeIndexStore::BitmapBytes : public BitmapStorage {
 public:
  explicit BitmapBytes(VolumeIndexStore& store) : store_(store) {}
  std::uint64_t Size() override {
    OpenedAttribute bits(store_.driver_, store_.record_, kBitmapAttribute, store_.name_);
    if (!bits.attribute) Corrupted(0x10);
    return bits.attribute->GetSize();
  }
  std::uint32_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    OpenedAttribute bits(store_.driver_, store_.record_, kBitmapAttribute, store_.name_);
    if (!bits.attribute) Corrupted(0x10);
    const std::uint64_t size = bits.attribute->GetSize();
    if (offset >= size || length == 0) return 0;
    return bits.attribute->Read(offset, std::uint32_t(std::min<std::uint64_t>(length, size - offset)),
                                buffer);
  }
  std::uint32_t Write(std::uint64_t offset, const std::uint8_t* source, std::uint32_t length) override {
    OpenedAttribute bits(store_.driver_, store_.record_, kBitmapAttribute, store_.name_);
    if (!bits.attribute) Corrupted(0x10);
    return bits.attribute->Write(offset, length, source);
  }

 private:
  VolumeIndexStore& store_;
};

VolumeIndexStore::VolumeIndexStore(NTFSDriver& driver, std::uint64_t record,
                                   const std::u16string& name)
    : driver_(driver), record_(record), name_(name), bitmapBytes_(std::make_unique<BitmapBytes>(*this)) {}

VolumeIndexStore::~VolumeIndexStore() = default;

std::vector<std::uint8_t> VolumeIndexStore::ReadRoot() {
  RecordHandle held(driver_.GetMft(), record_);
  AttributeValue root;
  if (!driver_.FindAttribute(record_, held.Image(), kIndexRoot, name_, root)) Corrupted(0x13);
  if (root.header.nonResident) Corrupted(0x14);
  return root.resident;
}

bool VolumeIndexStore::WriteRoot(const std::vector<std::uint8_t>& value) {
  OpenedAttribute root(driver_, record_, kIndexRoot, name_);
  try {
    if (!root.attribute) {
      root.file.AddResident(kIndexRoot, name_, value, false);
      return true;
    }
    if (!root.attribute->Resident()) Corrupted(0x15);
    const std::uint64_t size = value.size();
    if (root.attribute->GetSize() != size && root.attribute->SetSize(size) != size) return false;
  } catch (const Common::Error& e) {
    // The root stays in its record: no room there is an answer, not a
    // failure, and the engine then moves entries into blocks.
    if (e.Code() == kFileDiskFull) return false;
    throw;
  }
  if (root.attribute->Write(0, std::uint32_t(value.size()), value.data()) != value.size())
    ThrowFileError(0x16, kModuleId, kFileWriteError);
  return true;
}

bool VolumeIndexStore::HasAllocation() {
  RecordHandle held(driver_.GetMft(), record_);
  AttributeValue allocation, bitmap;
  const bool a = driver_.FindAttribute(record_, held.Image(), kIndexAllocation, name_, allocation);
  const bool b = driver_.FindAttribute(record_, held.Image(), kBitmapAttribute, name_, bitmap);
  if (a != b) Corrupted(0x11);
  if (a && !allocation.header.nonResident) Corrupted(0x12);
  return a;
}

void VolumeIndexStore::CreateAllocation() {
  FileRecord file(driver_, record_);
  // Both attributes or neither: the room for both is checked first.
  const std::uint32_t nameBytes = std::uint32_t(2 * name_.size());
  const std::uint32_t need = ((64 + nameBytes + 7) & ~7u) + 8 + ((24 + nameBytes + 7) & ~7u) + 8;
  if (file.FreeBytes() < need) ThrowFileError(0x17, kModuleId, kFileDiskFull);
  file.AddEmptyNonResident(kIndexAllocation, name_);
  file.AddResident(kBitmapAttribute, name_, std::vector<std::uint8_t>(8, 0), false);
}

std::uint64_t VolumeIndexStore::AllocationSize() {
  OpenedAttribute allocation(driver_, record_, kIndexAllocation, name_);
  return allocation.attribute ? allocation.attribute->GetSize() : 0;
}

bool VolumeIndexStore::GrowAllocation(std::uint64_t size) {
  OpenedAttribute allocation(driver_, record_, kIndexAllocation, name_);
  if (!allocation.attribute || allocation.attribute->Resident()) Corrupted(0x18);
  try {
    return allocation.attribute->SetSize(size) >= size;
  } catch (const Common::Error& e) {
    if (e.Code() == kFileDiskFull) return false;
    throw;
  }
}

void VolumeIndexStore::ReadAllocation(std::uint64_t offset, std::uint8_t* buffer,
                                      std::uint32_t length) {
  RecordHandle held(driver_.GetMft(), record_);
  AttributeValue allocation;
  if (!driver_.FindAttribute(record_, held.Image(), kIndexAllocation, name_, allocation) ||
      driver_.ReadValue(allocation, offset, buffer, length) != length)
    ThrowFileError(0x19, kModuleId, kFileReadError);
}

void VolumeIndexStore::WriteAllocation(std::uint64_t offset, const std::uint8_t* data,
                                       std::uint32_t length) {
  OpenedAttribute allocation(driver_, record_, kIndexAllocation, name_);
  if (!allocation.attribute || allocation.attribute->Resident()) Corrupted(0x1A);
  if (allocation.attribute->Write(offset, length, data) != length)
    ThrowFileError(0x1B, kModuleId, kFileWriteError);
}

BitmapStorage& VolumeIndexStore::BlockBitmap() { return *bitmapBytes_; }

void VolumeIndexStore::ShrinkAllocation(std::uint64_t size, std::uint64_t bitmapBytes) {
  {
    OpenedAttribute allocation(driver_, record_, kIndexAllocation, name_);
    if (!allocation.attribute || allocation.attribute->Resident()) Corrupted(0x1C);
    if (size < allocation.attribute->GetSize()) allocation.attribute->SetSize(size);
  }
  OpenedAttribute bits(driver_, record_, kBitmapAttribute, name_);
  if (!bits.attribute) Corrupted(0x10);
  if (bitmapBytes < bits.attribute->GetSize()) bits.attribute->SetSize(bitmapBytes);
}

// ---------------------------------------------------------------------------
// Directory objects

NTFSDirectory::NTFSDirectory(NTFSDriver* driver, std::uint32_t directoryId)
    : DirectoryObject(driver, directoryId),
      ntfs_(driver),
      record_(directoryId == 0 ? kRootDirectoryRecord
                               : std::uint64_t(directoryId) + kRootDirectoryRecord) {
  // Records 6 to 15 are system files, never directories of the tree.
  if (directoryId != 0 && record_ < kFirstUserRecord) ThrowFileError(0x20, kModuleId, kFileNotFound);
  if (record_ >= ntfs_->GetMft().RecordCount()) ThrowFileError(0x21, kModuleId, kFileOpenError);
  {
    RecordHandle held(ntfs_->GetMft(), record_);
    const FileRecordHeader h = ParseFileRecord(held.Image(), ntfs_->Geometry().recordSize);
    if ((h.flags & file_record::kInUse) == 0 || h.baseRecord != 0 ||
        (h.flags & file_record::kDirectory) == 0)
      ThrowFileError(0x22, kModuleId, kFileOpenError);
  }
  order_ = std::make_unique<FileNameKeyOrder>(ntfs_->UpCase());
  store_ = std::make_unique<VolumeIndexStore>(*ntfs_, record_, u"$I30");
}

NTFSDirectory::~NTFSDirectory() {
  // Iterators hold a use of their directory, so none is left here; any
  // that is must not point back at a dead object.
  iterators_.clear();
}

Index& NTFSDirectory::GetIndex() {
  if (!index_) index_ = std::make_unique<Index>(*store_, *order_);
  return *index_;
}

Index::Cursor NTFSDirectory::FindEntry(const std::u16string& name) {
  if (name.size() > 255) ThrowFileError(0x23, kModuleId, kFileNotFound);
  const std::vector<std::uint8_t> key = MakeFileNameValue(name);
  Index::Cursor cursor;
  if (!GetIndex().Find(key.data(), std::uint32_t(key.size()), cursor))
    ThrowFileError(0x24, kModuleId, kFileNotFound);
  return cursor;
}

void NTFSDirectory::Join(NTFSIterator* iterator) noexcept {
  try {
    iterators_.push_back(iterator);
  } catch (...) {
  }
}

void NTFSDirectory::Leave(NTFSIterator* iterator) noexcept {
  iterators_.erase(std::remove(iterators_.begin(), iterators_.end(), iterator), iterators_.end());
}

void NTFSDirectory::SavePlaces() {
  for (NTFSIterator* iterator : iterators_) iterator->SavePlace();
}

void NTFSDirectory::AddIndexEntry(std::uint64_t reference, const std::vector<std::uint8_t>& fileName) {
  if (fileName.size() < file_name::kName || fileName.size() > 0xFFFF - 24) Corrupted(0x25);
  SavePlaces();
  const std::uint32_t length = std::uint32_t((16 + fileName.size() + 7) & ~std::size_t(7));
  // Padding is written as zeros, never as whatever memory held.
  std::vector<std::uint8_t> entry(length, 0);
  Common::StoreLe64(entry.data(), reference);
  Common::StoreLe16(entry.data() + index_entry::kLength, std::uint16_t(length));
  Common::StoreLe16(entry.data() + index_entry::kKeyLength, std::uint16_t(fileName.size()));
  std::memcpy(entry.data() + index_entry::kKey, fileName.data(), fileName.size());
  GetIndex().Insert(entry.data(), length);
}

void NTFSDirectory::RemoveIndexEntry(const std::vector<std::uint8_t>& fileName) {
  Index::Cursor cursor = FindEntry(FileNameOf(fileName.data()));
  SavePlaces();
  GetIndex().Remove(cursor);
}

void NTFSDirectory::UpdateIndexEntry(const std::vector<std::uint8_t>& fileName) {
  try {
    Index::Cursor cursor = FindEntry(FileNameOf(fileName.data()));
    SavePlaces();
    Index& index = GetIndex();
    const std::uint8_t* old = index.EntryAt(cursor);
    std::vector<std::uint8_t> entry(old, old + index.EntryLength(old));
    if (index.KeyLength(old) != fileName.size()) return;
    std::memcpy(entry.data() + index_entry::kKey, fileName.data(), fileName.size());
    index.ReplaceInPlace(cursor, entry.data(), std::uint32_t(entry.size()));
  } catch (const Common::Error&) {
    // The copies kept in the directory are a convenience of listings.
  }
}

FileSystemDriver::IteratorObject* NTFSDirectory::OpenIteratorAt(const file_identifier* id) {
  return OpenIteratorFor(NameOfIdentifier(id));
}

FileSystemDriver::IteratorObject* NTFSDirectory::OpenIteratorFor(const std::u16string& name) {
  return new NTFSIterator(this, name, true);
}

FileSystemDriver::IteratorObject* NTFSDirectory::OpenIterator() {
  auto iterator = std::make_unique<NTFSIterator>(this, true);
  return iterator->Next() ? iterator.release() : nullptr;
}

std::uint32_t NTFSDirectory::GetChildDirectoryId(const std::u16string& name) {
  Index& index = GetIndex();
  const Index::Cursor cursor = FindEntry(name);
  const std::uint8_t* entry = index.EntryAt(cursor);
  const std::uint8_t* key = index.Key(entry);
  if ((Common::LoadLe32(key + file_name::kFlags) & file_name::kDirectory) == 0)
    ThrowFileError(0x26, kModuleId, kFileOpenError);
  return DirectoryIdOfRecord(std::uint32_t(Common::LoadLe64(entry)));
}

void NTFSDirectory::CheckOpenable(const std::uint8_t* entry) {
  const std::uint8_t* key = entry + index_entry::kKey;
  const std::uint64_t record = std::uint32_t(Common::LoadLe64(entry));
  const std::uint64_t parent = std::uint32_t(Common::LoadLe64(key + file_name::kParent));
  if (Common::LoadLe32(key + file_name::kFlags) & file_name::kDirectory)
    ThrowFileError(0x27, kModuleId, kFileNotFound);
  if (ntfs_->IsRecordFilteredOut(record)) ThrowFileError(0x28, kModuleId, kFileNotFound);
  // System files and the entries of system directories stay closed.
  if (record < kFirstUserRecord || (parent < kFirstUserRecord && parent != kRootDirectoryRecord))
    ThrowFileError(0x29, kModuleId, kFileNotFound);
}

FileSystemDriver::FileObject* NTFSDirectory::OpenFileByIdentifier(const file_identifier* id) {
  return OpenFile(NameOfIdentifier(id));
}

void NTFSDirectory::MoveEntry(const std::u16string&, DirectoryObject*, const std::u16string&) {
  ThrowFileError(0x34, kModuleId, kFileNotSupported);
}
void NTFSDirectory::CreateSymlink(const std::u16string&, const std::u16string&) {
  ThrowFileError(0x36, kModuleId, kFileNotSupported);
}
void NTFSDirectory::SetAttributes(const std::u16string&, std::uint32_t) {
  ThrowFileError(0x37, kModuleId, kFileNotSupported);
}

}  // namespace ntfs
}  // namespace filesystems
