// An open regular file of a mounted NTFS volume: its content is the
// record's unnamed $DATA. Reads and writes are split into an unaligned
// head, a sector- or cluster-aligned middle that goes straight to the
// device, and an unaligned tail.
#pragma once

#include <cstdint>
#include <memory>

#include "filesystems/ntfs_attribute.h"

namespace filesystems {
namespace ntfs {

constexpr std::uint32_t kNtfsFileModuleId = 0x7A142000;

// Milliseconds since 1970 as a FILETIME (100 ns units since 1601) and
// back, in signed arithmetic: times before 1970 stay before 1970.
std::uint64_t MillisecondsToFileTime(std::int64_t milliseconds) noexcept;
std::int64_t FileTimeToMilliseconds(std::uint64_t fileTime) noexcept;

class NTFSFile : public FileSystemDriver::FileObject {
 public:
  // Opens base record `record`; 0x4000d when it is not an in-use base
  // record, has no name left (a link count of 0) or has no unnamed $DATA. A file that was written, resized or
  // given times refreshes its names when it is destroyed.
  NTFSFile(NTFSDriver& driver, std::uint64_t record);
  ~NTFSFile() override;

  std::uint64_t GetSize() override;
  // The volume sector holding byte `offset`.
  std::uint64_t GetVolumeOffset(std::uint64_t offset) override;
  void Read(void* buffer, std::uint64_t offset, std::uint32_t length, std::uint32_t& done) override;
  void Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
             std::uint32_t& done) override;
  void SetSize(std::uint64_t size) override;
  // Sets the times of $STANDARD_INFORMATION (milliseconds since 1970);
  // the copies in $FILE_NAME and the directory entries follow when the
  // file is closed.
  void SetTimes(std::uint64_t modification, std::uint64_t creation, std::uint64_t access) override;
  // Records are saved as they change: nothing is left to write.
  void Flush() override {}

  Attribute& Data() noexcept { return *data_; }
  FileRecord& Record() noexcept { return record_; }
  // The driver's open-record table names this file: it leaves the table
  // when it goes.
  void Listed() noexcept { listed_ = true; }
  // Copies the data's sizes and the times of $STANDARD_INFORMATION into
  // every $FILE_NAME of the record and into the directory entries that
  // repeat them.
  void RefreshNames();
  // The file's last name went while it was open: its clusters, extension
  // records and record are given back when it closes.
  void MarkDeletePending() noexcept { deletePending_ = true; }
  bool DeletePending() const noexcept { return deletePending_; }
  // For a driver that unmounts while the file is still open: finishes a
  // pending deletion and lets go of the record, so that the object no
  // longer touches the volume; it can only be destroyed afterwards.
  void Detach() noexcept;

 private:
  NTFSDriver& driver_;
  FileRecord record_;
  std::unique_ptr<Attribute> data_;
  bool written_ = false;
  bool listed_ = false;
  bool deletePending_ = false;
  bool detached_ = false;
  std::uint64_t openedSize_ = 0;
};

}  // namespace ntfs
}  // namespace filesystems
