// NTFS directories and their iterators.
//
// A directory is known to the framework by its MFT record number - 5 (the
// root, record 5, is 0). Its entries are the $I30 index of its record,
// whose keys are $FILE_NAME values: the parent's reference, four times,
// the allocated and data sizes of the unnamed data, the attribute flags,
// a reparse tag, the name's length, namespace and units. Listings come
// from those keys; the entry's record is opened only for what the key
// does not hold (link count, short name, data position, link target).
//
// Iterators hide the system files (records below 16 and the entries of
// system directories such as $Extend), names in the DOS namespace alone
// (a file with a long and a short name is listed once, by its long name)
// and records the mount's filter leaves out.
//
// Files open by name; files and subdirectories are created (one POSIX
// name each, as other systems do) and deleted, hard links and short names
// added. Moving, junctions and attribute changes answer 0x4000e.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/driver.h"
#include "filesystems/ntfs_driver.h"
#include "filesystems/ntfs_index.h"

namespace filesystems {
namespace ntfs {

constexpr std::uint32_t kNtfsDirectoryModuleId = 0x7A138000;
constexpr std::uint32_t kNtfsIteratorModuleId = 0x7A139000;

// $FILE_NAME value fields.
namespace file_name {
constexpr std::uint32_t kParent = 0;
constexpr std::uint32_t kCreationTime = 8;
constexpr std::uint32_t kModificationTime = 16;
constexpr std::uint32_t kChangeTime = 24;
constexpr std::uint32_t kAccessTime = 32;
constexpr std::uint32_t kAllocatedSize = 40;
constexpr std::uint32_t kDataSize = 48;
constexpr std::uint32_t kFlags = 56;
constexpr std::uint32_t kReparseTag = 60;
constexpr std::uint32_t kNameLength = 64;
constexpr std::uint32_t kNamespace = 65;
constexpr std::uint32_t kName = 66;
constexpr std::uint32_t kHidden = 0x2;
constexpr std::uint32_t kReparsePoint = 0x400;
constexpr std::uint32_t kDirectory = 0x10000000;
constexpr std::uint8_t kPosix = 0, kWin32 = 1, kDos = 2, kWin32AndDos = 3;
}  // namespace file_name

constexpr std::uint64_t kRootDirectoryRecord = 5;

// A $FILE_NAME value with every field 0 (POSIX namespace) and the name;
// 0x4000d for a name over 255 units.
std::vector<std::uint8_t> MakeFileNameValue(const std::u16string& name);
std::u16string FileNameOf(const std::uint8_t* value);
// The directory id of a record: 0 for the root, record - 5 above 15; 0x40007
// for any other record.
std::uint32_t DirectoryIdOfRecord(std::uint64_t record);

// An index read and written through a directory record's attributes:
// $INDEX_ROOT, $INDEX_ALLOCATION and $BITMAP of one name. Every call opens
// the record afresh, so that the store never works on a stale copy of it.
class VolumeIndexStore : public IndexStore {
 public:
  VolumeIndexStore(NTFSDriver& driver, std::uint64_t record, const std::u16string& name);
  ~VolumeIndexStore() override;
  std::vector<std::uint8_t> ReadRoot() override;
  // Creates the root attribute when the record has none.
  bool WriteRoot(const std::vector<std::uint8_t>& value) override;
  bool HasAllocation() override;
  void CreateAllocation() override;
  std::uint64_t AllocationSize() override;
  bool GrowAllocation(std::uint64_t size) override;
  void ReadAllocation(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override;
  void WriteAllocation(std::uint64_t offset, const std::uint8_t* data, std::uint32_t length) override;
  BitmapStorage& BlockBitmap() override;
  void ShrinkAllocation(std::uint64_t size, std::uint64_t bitmapBytes) override;

 private:
  class BitmapBytes;

  NTFSDriver& driver_;
  std::uint64_t record_;
  std::u16string name_;
  std::unique_ptr<BitmapBytes> bitmapBytes_;
};

class NTFSIterator;

class NTFSDirectory : public FileSystemDriver::DirectoryObject {
 public:
  using IteratorObject = FileSystemDriver::IteratorObject;
  using FileObject = FileSystemDriver::FileObject;

  // 0x40011 for ids 1 to 10 (the system files' records), 0x40007 for a
  // record that is not a directory.
  NTFSDirectory(NTFSDriver* driver, std::uint32_t directoryId);
  ~NTFSDirectory() override;

  IteratorObject* OpenIteratorAt(const file_identifier* id) override;
  IteratorObject* OpenIteratorFor(const std::u16string& name) override;
  IteratorObject* OpenIterator() override;
  std::uint32_t GetChildDirectoryId(const std::u16string& name) override;
  FileObject* OpenFileByIdentifier(const file_identifier* id) override;
  FileObject* OpenFileAt(IteratorObject* at) override;
  FileObject* OpenFile(const std::u16string& name) override;
  FileObject* CreateFile(const std::u16string& name) override;
  void DeleteFile(const std::u16string& name) override;
  void RemoveDirectory(const std::u16string& name) override;
  void CreateDirectory(const std::u16string& name) override;
  void MoveEntry(const std::u16string& name, DirectoryObject* target,
                 const std::u16string& targetName) override;
  void CreateHardLink(const std::u16string& name, DirectoryObject* existingDirectory,
                      const std::u16string& existingName) override;
  void CreateSymlink(const std::u16string& name, const std::u16string& target) override;
  void SetAttributes(const std::u16string& name, std::uint32_t attributes) override;
  void SetShortName(const std::u16string& name, const std::u16string& shortName) override;

  NTFSDriver& Ntfs() const noexcept { return *ntfs_; }
  std::uint64_t Record() const noexcept { return record_; }
  Index& GetIndex();

  // The cursor on a name's entry; 0x40011 when absent.
  Index::Cursor FindEntry(const std::u16string& name);
  // Index maintenance: each first tells the open iterators to save their
  // place. Add refuses a present name with 0x40013, Remove a missing one
  // with 0x40011; Update changes nothing (and reports nothing) when the
  // name is gone or the change fails.
  void AddIndexEntry(std::uint64_t reference, const std::vector<std::uint8_t>& fileName);
  void RemoveIndexEntry(const std::vector<std::uint8_t>& fileName);
  void UpdateIndexEntry(const std::vector<std::uint8_t>& fileName);
  // The checks before an entry's record is opened as a file: a directory,
  // a filtered record or a system entry is 0x40011.
  void CheckOpenable(const std::uint8_t* entry);

  // This directory's MFT reference (record and sequence number).
  std::uint64_t Reference();

  void Join(NTFSIterator* iterator) noexcept;
  void Leave(NTFSIterator* iterator) noexcept;

 private:
  void SavePlaces();
  // A new record holding $STANDARD_INFORMATION, one POSIX $FILE_NAME under
  // this directory and empty $DATA (a file) or an empty $I30 index (a
  // directory), and its entry here; nothing is left when a step fails.
  std::uint64_t CreateEntry(const std::u16string& name, bool directory);
  // Takes the entry's name (and its Win32 or DOS partner) out of the
  // file's record and this index; a record left without names is deleted
  // with its clusters.
  void DeleteEntry(const std::vector<std::uint8_t>& entry);

  NTFSDriver* ntfs_;
  std::uint64_t record_;
  std::unique_ptr<FileNameKeyOrder> order_;
  std::unique_ptr<VolumeIndexStore> store_;
  std::unique_ptr<Index> index_;
  std::vector<NTFSIterator*> iterators_;
};

class NTFSIterator : public FileSystemDriver::IteratorObject {
 public:
  // Stands before the first entry.
  NTFSIterator(NTFSDirectory* directory, bool hide);
  // Stands on `name`; 0x40011 when it is missing or hidden.
  NTFSIterator(NTFSDirectory* directory, const std::u16string& name, bool hide);
  ~NTFSIterator() override;

  bool Next() override;
  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override;
  std::uint64_t GetSize() override;
  std::uint64_t GetAllocatedSize() override;
  std::uint32_t GetObjectType() override;
  std::uint64_t GetModificationTime() override;
  std::uint64_t GetCreationTime() override;
  std::uint64_t GetAccessTime() override;
  bool IsHidden() override;
  std::uint64_t GetEntryId() override;
  std::uint64_t GetDataPosition() override;
  const char16_t* GetShortName() override;
  std::uint32_t GetAttributes() override;
  std::uint32_t GetLinkCount() override;
  const char16_t* GetSymlinkTarget() override;

  NTFSDirectory* Directory() const noexcept { return directory_; }
  // The directory is about to change its index: keep the name to find
  // the place again.
  void SavePlace();
  // The current entry's bytes (reference, lengths, flags, key).
  const std::vector<std::uint8_t>& Entry();

 private:
  void Reposition();
  bool Hidden(const std::uint8_t* entry) const;
  const std::uint8_t* Key();

  NTFSDirectory* directory_;
  Index::Cursor cursor_;
  std::vector<std::uint8_t> entry_;
  std::u16string name_;
  std::u16string shortName_;
  std::u16string target_;
  bool targetRead_ = false;
  bool hide_;
  bool reposition_ = false;
  bool finished_ = false;  // Next has answered false
};

}  // namespace ntfs
}  // namespace filesystems
