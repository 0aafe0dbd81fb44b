// Private to the FAT driver: the directory, file and iterator objects the
// framework gets from a FAT mount.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "filesystems/fat_driver.h"

namespace filesystems {

// One FAT directory: the fixed root area of FAT12/16, or a directory kept
// in a cluster chain. Every block of it stays in memory while the object
// lives, so lookups and listings read no sectors; entries change in place.
class FATDriver::FATDirectory : public FileSystemDriver::DirectoryObject {
 public:
  static constexpr std::uint32_t kNoIndex = 0xFFFFFFFF;
  // The most entries a directory may have: tools refuse larger ones.
  static constexpr std::uint32_t kMaxEntries = 65536;

  FATDirectory(FATDriver* driver, std::uint32_t directoryId);
  ~FATDirectory() override;

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

  FATDriver* Fat() const noexcept { return fat_; }
  std::uint32_t EntryCount() const noexcept { return entryCount_; }
  // The 32 bytes of entry i (i below the entry count).
  std::uint8_t* Entry(std::uint32_t i) const noexcept {
    return blocks_[i / perBlock_].Data() + std::size_t(i % perBlock_) * 32;
  }
  // Entry i, made ready for a change that follows at once.
  std::uint8_t* WritableEntry(std::uint32_t i);
  // The volume byte offset of entry i.
  std::uint64_t EntryPosition(std::uint32_t i) const noexcept;
  bool IsLive(std::uint32_t i) const noexcept;
  // The first live entry from i on, before the end marker; kNoIndex if none.
  std::uint32_t NextLive(std::uint32_t i) const noexcept;
  std::uint32_t ReadLongName(std::uint32_t i, std::u16string& name) const;
  std::uint32_t FindShortName(const std::uint8_t* name11) const;
  std::uint32_t FindEntry(const std::u16string& name) const;
  // The first cluster of entry i.
  std::uint32_t FirstClusterOf(std::uint32_t i) const noexcept;
  void SetFirstCluster(std::uint32_t i, std::uint32_t cluster);

  // Open files of this directory's entries.
  FATFile* OpenFileOf(std::uint32_t i) const;
  void ForgetFile(std::uint32_t i) noexcept { openFiles_.erase(i); }
  FATFile* GetFileObject(std::uint32_t i);

  // The entries with these 8.3 names become entries 0 (and 1); second may
  // equal first or be null.
  void MoveEntriesToFront(const std::uint8_t* first11, const std::uint8_t* second11);

 private:
  std::uint32_t CreateEntrySet(const std::u16string& name, std::uint32_t skip);
  std::uint32_t WriteEntrySet(const std::vector<std::array<std::uint8_t, 32>>& entries);
  void DeleteEntrySet(std::uint32_t i);
  // Copies the 8.3 entry (case flags taken from its long name) and deletes
  // the entry set.
  void DetachEntrySet(std::uint32_t i, std::uint8_t* out32);
  void MakeShortNameTail(std::uint8_t* name11, const std::u16string& longName,
                         std::uint32_t skip);
  bool PickTailDigit(std::uint8_t* name11, std::uint32_t position, std::uint32_t skip);
  void StoreShortName(std::uint32_t first, std::uint32_t last, const std::uint8_t* name11);
  void Grow();
  // An entry that an open file refers to cannot go away under it.
  void RefuseIfOpen(std::uint32_t i, std::uint32_t site) const;

  FATDriver* fat_;
  std::vector<BlockHandle> blocks_;
  std::uint32_t entryCount_ = 0;
  std::uint32_t perBlock_ = 0;
  std::uint32_t lastCluster_ = 0;
  std::map<std::uint32_t, FATFile*> openFiles_;
  std::uint32_t tailSeed_;
};

// One open FAT file; its size and chain change in memory and reach the
// directory entry at Flush.
class FATDriver::FATFile : public FileSystemDriver::FileObject {
 public:
  FATFile(FATDirectory* directory, std::uint32_t index);
  ~FATFile() override;

  std::uint64_t GetSize() override { return size_; }
  std::uint64_t GetVolumeOffset(std::uint64_t offset) override;
  void Read(void* buffer, std::uint64_t offset, std::uint32_t length,
            std::uint32_t& done) override;
  void Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
             std::uint32_t& done) override;
  void SetSize(std::uint64_t size) override;
  void SetTimes(std::uint64_t modification, std::uint64_t creation,
                std::uint64_t access) override;
  void Flush() override;
  void Control(control_request* request) override;

  std::uint32_t Index() const noexcept { return index_; }
  void Rekey(std::uint32_t index) noexcept { index_ = index; }
  // Moves the first clusters holding `bytes` to one run of free clusters.
  void MakeContiguous(std::uint64_t bytes);

 private:
  struct Run {
    std::uint32_t index = 0;  // file cluster index of `first`
    std::uint32_t first = 0;
    std::uint32_t end = 0;    // exclusive
    std::uint32_t next = 0;   // the FAT value after the run's last cluster
    std::uint32_t Length() const noexcept { return end - first; }
  };

  void ResetRun();
  // The volume cluster of file cluster n; with `allocate`, missing clusters
  // are allocated and linked; without, a chain that ends early is damage.
  std::uint32_t ClusterAt(std::uint32_t n, bool allocate);
  std::uint32_t ClusterBytes() const noexcept;

  FATDirectory* directory_;
  FATDriver* fat_;
  std::uint32_t index_;
  std::uint32_t size_;
  Run run_;
  bool changed_ = false;
};

// A cursor over the live entries of a directory; entries are read afresh at
// every call, so changes made meanwhile are seen.
class FATDriver::FATIterator : public FileSystemDriver::IteratorObject {
 public:
  static constexpr std::uint32_t kBefore = 0xFFFFFFFF;
  static constexpr std::uint32_t kAtEnd = 0xFFFFFFFE;

  FATIterator(FATDirectory* directory, std::uint32_t index);
  ~FATIterator() override;

  bool Next() override;
  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override;
  std::uint64_t GetSize() override;
  std::uint64_t GetAllocatedSize() override;
  std::uint32_t GetObjectType() override;
  std::uint64_t GetModificationTime() override;
  std::uint64_t GetChangeTime() override { return 0; }
  std::uint64_t GetCreationTime() override;
  std::uint64_t GetAccessTime() override;
  bool IsHidden() override;
  std::uint64_t GetEntryId() override;
  std::uint64_t GetDataPosition() override;
  const char16_t* GetShortName() override;
  std::uint32_t GetAttributes() override;

  FATDirectory* Directory() const noexcept { return directory_; }
  std::uint32_t Index() const noexcept { return index_; }
  bool AtEntry() const noexcept { return index_ < directory_->EntryCount(); }

 private:
  const std::uint8_t* Current() const noexcept {
    return AtEntry() ? directory_->Entry(index_) : nullptr;
  }
  void LoadNames();

  FATDirectory* directory_;
  std::uint32_t index_;
  std::u16string shortName_;
  std::u16string longName_;
  int nameState_ = 0;  // 0 not read, 1 no long name, 2 a long name
};

}  // namespace filesystems
