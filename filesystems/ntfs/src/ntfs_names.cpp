// Opening files by name and the name changes of NTFS directories: new
// files and subdirectories, deletion, hard links and short names. Each
// change keeps the directory's $I30 index and the $FILE_NAME attributes of
// the file's own record in step.
#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "files/file_time.h"
#include "filesystems/ntfs_attribute.h"
#include "filesystems/ntfs_directory.h"
#include "filesystems/ntfs_file.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsDirectoryModuleId;

constexpr std::uint32_t kStandardInformation = 0x10;
constexpr std::uint32_t kFileNameType = 0x30;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint64_t kFirstUserRecord = 16;
// The attribute bit this driver stores for directories.
constexpr std::uint32_t kDirectoryAttributes = 0x10000000;

// A name a change may store: 1 to 255 units, no separator, no NUL.
void CheckNewName(const std::u16string& name, std::uint32_t site) {
  if (name.empty() || name.size() > 255 || name == u"." || name == u".." ||
      name.find(u'/') != std::u16string::npos || name.find(u'\\') != std::u16string::npos ||
      name.find(u'\0') != std::u16string::npos)
    ThrowFileError(site, kModuleId, kFileCreateError);
}

bool SameName(const std::uint8_t* value, std::uint32_t length, const std::uint8_t* key) {
  const std::uint32_t units = key[file_name::kNameLength];
  return length >= file_name::kName + 2 * units && value[file_name::kNameLength] == units &&
         std::memcmp(value + file_name::kName, key + file_name::kName, 2 * units) == 0;
}

// Links as the record's names count them: every POSIX name counts one,
// and the non-POSIX names under one parent (a Win32/DOS pair) one together.
std::uint16_t CountNames(const std::vector<std::vector<std::uint8_t>>& names) {
  std::vector<std::uint32_t> parents;
  std::uint16_t count = 0;
  for (const std::vector<std::uint8_t>& v : names) {
    if (v.size() < file_name::kName) continue;
    if (v[file_name::kNamespace] == file_name::kPosix) {
      ++count;
      continue;
    }
    const std::uint32_t parent = std::uint32_t(Common::LoadLe64(v.data()));
    if (std::find(parents.begin(), parents.end(), parent) != parents.end()) continue;
    parents.push_back(parent);
    ++count;
  }
  return count;
}

void RecountLinks(FileRecord& file) {
  const std::uint16_t flags = Common::LoadLe16(file.Image(file.Number()) + file_record::kFlags);
  file.SetHeader(flags, CountNames(file.ResidentValues(kFileNameType)));
}

// The geometry of a new directory's index: the volume's index block size,
// VCNs counted in clusters, or in 512-byte units when a block is smaller
// than a cluster.
IndexShape DirectoryShape(const BootGeometry& g) {
  IndexShape shape;
  shape.indexedType = kFileNameType;
  shape.blockSize = g.indexBlockSize;
  shape.blocksToVcn = std::uint8_t(g.indexBlockSize >= g.clusterSize ? g.indexBlockSize / g.clusterSize
                                                                      : g.indexBlockSize / 512);
  return shape;
}

// A file's record for a change: the open file's own FileRecord when the
// file is open, so that its attributes follow what moves in the record.
class RecordAccess {
 public:
  RecordAccess(NTFSDriver& driver, std::uint64_t number) {
    if (NTFSFile* open = driver.OpenFileOf(number)) {
      file_ = &open->Record();
    } else {
      own_ = std::make_unique<FileRecord>(driver, number);
      file_ = own_.get();
    }
  }
  FileRecord& operator*() const noexcept { return *file_; }
  FileRecord* operator->() const noexcept { return file_; }

 private:
  std::unique_ptr<FileRecord> own_;
  FileRecord* file_ = nullptr;
};

}  // namespace

std::uint64_t NTFSDirectory::Reference() {
  FileRecord self(*ntfs_, record_);
  return MakeReference(record_, self.Sequence());
}

FileSystemDriver::FileObject* NTFSDirectory::OpenFileAt(IteratorObject* at) {
  auto* iterator = dynamic_cast<NTFSIterator*>(at);
  if (!iterator || iterator->Directory() != this) ThrowFileError(0x2A, kModuleId, kFileOpenError);
  const std::vector<std::uint8_t> entry = iterator->Entry();
  CheckOpenable(entry.data());
  return ntfs_->OpenFileObject(RecordNumberOf(Common::LoadLe64(entry.data())));
}

FileSystemDriver::FileObject* NTFSDirectory::OpenFile(const std::u16string& name) {
  Index& index = GetIndex();
  const Index::Cursor cursor = FindEntry(name);
  const std::uint8_t* entry = index.EntryAt(cursor);
  CheckOpenable(entry);
  return ntfs_->OpenFileObject(RecordNumberOf(Common::LoadLe64(entry)));
}

std::uint64_t NTFSDirectory::CreateEntry(const std::u16string& name, bool directory) {
  CheckNewName(name, 0x40);
  // A present name is refused before anything is made.
  {
    const std::vector<std::uint8_t> key = MakeFileNameValue(name);
    Index::Cursor cursor;
    if (GetIndex().Find(key.data(), std::uint32_t(key.size()), cursor))
      ThrowFileError(0x41, kModuleId, kFileAlreadyExists);
  }
  const std::uint64_t parent = Reference();
  const bool longForm = ntfs_->Version() >= 0x0300;
  std::vector<std::uint8_t> standard(longForm ? 72 : 48, 0);
  const std::uint64_t now = MillisecondsToFileTime(CurrentTimeMs());
  for (std::uint32_t at = 0; at < 32; at += 8) Common::StoreLe64(&standard[at], now);
  const std::uint32_t attributes = directory ? kDirectoryAttributes : 0;
  Common::StoreLe32(&standard[32], attributes);
  if (longForm) {
    // New entries share their directory's security descriptor.
    FileRecord self(*ntfs_, record_);
    std::unique_ptr<Attribute> info = self.Find(kStandardInformation, u"");
    std::uint8_t id[4] = {};
    if (info && info->GetSize() >= 56 && info->Read(52, 4, id) == 4)
      std::memcpy(&standard[52], id, 4);
  }
  std::vector<std::uint8_t> fileName = MakeFileNameValue(name);
  Common::StoreLe64(&fileName[file_name::kParent], parent);
  for (std::uint32_t at = file_name::kCreationTime; at <= file_name::kAccessTime; at += 8)
    Common::StoreLe64(&fileName[at], now);
  Common::StoreLe32(&fileName[file_name::kFlags], attributes);
  fileName[file_name::kNamespace] = file_name::kPosix;

  const std::uint64_t number =
      CreateBaseRecord(*ntfs_, directory ? file_record::kDirectory : std::uint16_t(0));
  std::uint64_t reference = 0;
  bool entered = false;
  try {
    {
      FileRecord file(*ntfs_, number);
      reference = MakeReference(number, file.Sequence());
      file.AddResident(kStandardInformation, u"", standard, false);
      file.AddResident(kFileNameType, u"", fileName, true);
      if (!directory) file.AddResident(kData, u"", {}, false);
      file.SetHeader(std::uint16_t(file_record::kInUse | (directory ? file_record::kDirectory : 0)), 1);
    }
    if (directory) {
      VolumeIndexStore store(*ntfs_, number, u"$I30");
      Index::Create(store, *order_, DirectoryShape(ntfs_->Geometry()));
    }
    AddIndexEntry(reference, fileName);
    entered = true;
  } catch (...) {
    try {
      if (entered) RemoveIndexEntry(fileName);
      FileRecord file(*ntfs_, number);
      file.DeleteAll();
    } catch (const Common::Error&) {
      // A record left behind costs a record; the entry never names it.
    }
    throw;
  }
  return number;
}

FileSystemDriver::FileObject* NTFSDirectory::CreateFile(const std::u16string& name) {
  FileObject* existing = nullptr;
  try {
    existing = OpenFile(name);
  } catch (const Common::Error& e) {
    if (e.Code() != kFileNotFound) throw;
  }
  if (existing) {
    try {
      existing->SetSize(0);
    } catch (...) {
      if (existing->openCount == 0) delete existing;
      throw;
    }
    return existing;
  }
  return ntfs_->OpenFileObject(CreateEntry(name, false));
}

void NTFSDirectory::CreateDirectory(const std::u16string& name) { CreateEntry(name, true); }

void NTFSDirectory::DeleteEntry(const std::vector<std::uint8_t>& entry) {
  const std::uint64_t reference = Common::LoadLe64(entry.data());
  const std::uint64_t number = RecordNumberOf(reference);
  if (number < kFirstUserRecord) ThrowFileError(0x50, kModuleId, kFileDeleteError);
  const std::vector<std::uint8_t> key(entry.begin() + index_entry::kKey, entry.end());
  const std::uint64_t parent = Common::LoadLe64(key.data() + file_name::kParent);
  const std::uint8_t space = key[file_name::kNamespace];
  SavePlaces();
  bool emptied = false;
  std::vector<std::uint8_t> partner;
  {
    // An open file's own record object makes the change, so that its
    // attributes follow what moves in the record.
    RecordAccess file(*ntfs_, number);
    if (file->Sequence() != SequenceOf(reference)) ThrowFileError(0x52, kModuleId, kFileCorrupted);
    file->RemoveResident(kFileNameType, [&](const std::uint8_t* v, std::uint32_t length) {
      return length >= file_name::kName && Common::LoadLe64(v) == parent &&
             v[file_name::kNamespace] == space && SameName(v, length, key.data());
    });
    // A Win32 name and its DOS name go together.
    if (space == file_name::kWin32 || space == file_name::kDos) {
      const std::uint8_t other = space == file_name::kWin32 ? file_name::kDos : file_name::kWin32;
      file->RemoveResident(kFileNameType, [&](const std::uint8_t* v, std::uint32_t length) {
        if (length < file_name::kName || Common::LoadLe64(v) != parent ||
            v[file_name::kNamespace] != other)
          return false;
        partner.assign(v, v + length);
        return true;
      });
    }
    const auto names = file->ResidentValues(kFileNameType);
    emptied = names.empty();
    RecountLinks(*file);
  }
  RemoveIndexEntry(key);
  if (!partner.empty()) {
    try {
      RemoveIndexEntry(partner);
    } catch (const Common::Error& e) {
      if (e.Code() != kFileNotFound) throw;
    }
  }
  if (!emptied) return;
  // A file still open keeps its record and clusters, without a name and
  // with a link count of 0, until its last close gives them back.
  if (NTFSFile* open = ntfs_->OpenFileOf(number)) {
    open->MarkDeletePending();
    return;
  }
  FileRecord file(*ntfs_, number);
  file.DeleteAll();
}

void NTFSDirectory::DeleteFile(const std::u16string& name) {
  Index& index = GetIndex();
  const Index::Cursor cursor = FindEntry(name);
  const std::uint8_t* at = index.EntryAt(cursor);
  const std::vector<std::uint8_t> entry(at, at + index.EntryLength(at));
  if (Common::LoadLe32(entry.data() + index_entry::kKey + file_name::kFlags) & file_name::kDirectory)
    ThrowFileError(0x53, kModuleId, kFileDeleteError);
  DeleteEntry(entry);
}

void NTFSDirectory::RemoveDirectory(const std::u16string& name) {
  Index& index = GetIndex();
  const Index::Cursor cursor = FindEntry(name);
  const std::uint8_t* at = index.EntryAt(cursor);
  const std::vector<std::uint8_t> entry(at, at + index.EntryLength(at));
  if ((Common::LoadLe32(entry.data() + index_entry::kKey + file_name::kFlags) & file_name::kDirectory) == 0)
    ThrowFileError(0x54, kModuleId, kFileDeleteError);
  const std::uint64_t child = RecordNumberOf(Common::LoadLe64(entry.data()));
  if (child < kFirstUserRecord) ThrowFileError(0x55, kModuleId, kFileDeleteError);
  std::uint16_t names = 0;
  {
    FileRecord file(*ntfs_, child);
    names = CountNames(file.ResidentValues(kFileNameType));
  }
  // Emptiness counts every entry, hidden ones too.
  if (names < 2) {
    VolumeIndexStore store(*ntfs_, child, u"$I30");
    Index childIndex(store, *order_);
    Index::Cursor first;
    if (childIndex.Next(first)) ThrowFileError(0x56, kModuleId, kFileDeleteError);
  }
  DeleteEntry(entry);
}

void NTFSDirectory::CreateHardLink(const std::u16string& name, DirectoryObject* existingDirectory,
                                   const std::u16string& existingName) {
  CheckNewName(name, 0x60);
  auto* from = dynamic_cast<NTFSDirectory*>(existingDirectory);
  if (!from || from->ntfs_ != ntfs_) ThrowFileError(0x61, kModuleId, kFileCreateError);
  std::vector<std::uint8_t> entry;
  {
    Index& index = from->GetIndex();
    const Index::Cursor cursor = from->FindEntry(existingName);
    const std::uint8_t* at = index.EntryAt(cursor);
    entry.assign(at, at + index.EntryLength(at));
  }
  const std::uint8_t* key = entry.data() + index_entry::kKey;
  if (Common::LoadLe32(key + file_name::kFlags) & file_name::kDirectory)
    ThrowFileError(0x62, kModuleId, kFileCreateError);
  const std::uint64_t reference = Common::LoadLe64(entry.data());
  if (RecordNumberOf(reference) < kFirstUserRecord) ThrowFileError(0x63, kModuleId, kFileCreateError);
  std::vector<std::uint8_t> value = MakeFileNameValue(name);
  std::memcpy(&value[8], key + 8, 56);
  Common::StoreLe64(&value[file_name::kParent], Reference());
  value[file_name::kNamespace] = file_name::kPosix;
  RecordAccess file(*ntfs_, RecordNumberOf(reference));
  if (file->Sequence() != SequenceOf(reference)) ThrowFileError(0x64, kModuleId, kFileCorrupted);
  AddIndexEntry(reference, value);
  try {
    file->AddResident(kFileNameType, u"", value, true);
    RecountLinks(*file);
  } catch (...) {
    try {
      RemoveIndexEntry(value);
    } catch (const Common::Error&) {
    }
    throw;
  }
}

void NTFSDirectory::SetShortName(const std::u16string& name, const std::u16string& shortName) {
  CheckNewName(shortName, 0x70);
  if (shortName.size() > 12) ThrowFileError(0x71, kModuleId, kFileRenameError);
  {
    const std::vector<std::uint8_t> probe = MakeFileNameValue(shortName);
    Index::Cursor cursor;
    if (GetIndex().Find(probe.data(), std::uint32_t(probe.size()), cursor))
      ThrowFileError(0x72, kModuleId, kFileRenameError);
  }
  std::vector<std::uint8_t> entry;
  {
    Index& index = GetIndex();
    const Index::Cursor cursor = FindEntry(name);
    const std::uint8_t* at = index.EntryAt(cursor);
    entry.assign(at, at + index.EntryLength(at));
  }
  const std::uint64_t reference = Common::LoadLe64(entry.data());
  if (RecordNumberOf(reference) < kFirstUserRecord) ThrowFileError(0x73, kModuleId, kFileRenameError);
  std::vector<std::uint8_t> key(entry.begin() + index_entry::kKey, entry.end());
  const std::uint64_t self = Reference();
  std::vector<std::uint8_t> value = MakeFileNameValue(shortName);
  std::memcpy(&value[8], key.data() + 8, 56);
  Common::StoreLe64(&value[file_name::kParent], self);
  value[file_name::kNamespace] = file_name::kDos;

  RecordAccess access(*ntfs_, RecordNumberOf(reference));
  FileRecord& file = *access;
  if (file.Sequence() != SequenceOf(reference)) ThrowFileError(0x74, kModuleId, kFileCorrupted);
  bool win32 = false, convert = false;
  std::vector<std::uint8_t> oldDos;
  for (const std::vector<std::uint8_t>& v : file.ResidentValues(kFileNameType)) {
    if (v.size() < file_name::kName || Common::LoadLe64(v.data()) != self) continue;
    const std::uint8_t space = v[file_name::kNamespace];
    if (space & 1) {
      win32 = true;
      if (key[file_name::kNamespace] == file_name::kPosix) ThrowFileError(0x75, kModuleId, kFileRenameError);
    }
    if (space == file_name::kDos) oldDos = v;
    else if (key[file_name::kNamespace] != file_name::kWin32 &&
             SameName(v.data(), std::uint32_t(v.size()), key.data()))
      convert = true;
  }
  if (!win32 && !convert) value[file_name::kNamespace] = file_name::kWin32AndDos;

  AddIndexEntry(reference, value);
  try {
    file.AddResident(kFileNameType, u"", value, true);
  } catch (...) {
    try {
      RemoveIndexEntry(value);
    } catch (const Common::Error&) {
    }
    throw;
  }
  // The long name it stands beside becomes that name's Win32 half.
  if (convert) {
    const std::vector<std::vector<std::uint8_t>> changed =
        file.UpdateResident(kFileNameType, [&](std::uint8_t* v, std::uint32_t length) {
          if (length < file_name::kName || Common::LoadLe64(v) != self ||
              v[file_name::kNamespace] == file_name::kDos || v[file_name::kNamespace] == file_name::kWin32 ||
              !SameName(v, length, key.data()))
            return false;
          v[file_name::kNamespace] = file_name::kWin32;
          return true;
        });
    for (const std::vector<std::uint8_t>& v : changed) UpdateIndexEntry(v);
  }
  if (!oldDos.empty()) {
    file.RemoveResident(kFileNameType, [&](const std::uint8_t* v, std::uint32_t length) {
      return length == oldDos.size() && std::memcmp(v, oldDos.data(), length) == 0;
    });
    RemoveIndexEntry(oldDos);
  }
  RecountLinks(file);
}

}  // namespace ntfs
}  // namespace filesystems
