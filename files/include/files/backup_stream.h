// Walking Windows backup streams: the splitter that copies their records into
// one or two chunk sinks by stream id, and the comparator sink that checks a
// stream against a stored one instead of keeping it.
//
// A Windows backup stream is a sequence of records, each a 20-byte header
// (stream id u32, stream attributes u32, size u64, name size u32), the name
// (name-size bytes of UTF-16) and size bytes of data. Ids 1 (data) and 9
// (sparse block, whose data begin with an 8-byte offset) are the data
// streams; every other id is metadata.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "files/backup.h"
#include "files/file_object.h"

constexpr std::uint32_t kBackupStreamData = 1;
constexpr std::uint32_t kBackupStreamEaData = 2;
constexpr std::uint32_t kBackupStreamSecurity = 3;
constexpr std::uint32_t kBackupStreamAlternateData = 4;
constexpr std::uint32_t kBackupStreamLink = 5;
constexpr std::uint32_t kBackupStreamPropertyData = 6;
constexpr std::uint32_t kBackupStreamObjectId = 7;
constexpr std::uint32_t kBackupStreamReparseData = 8;
constexpr std::uint32_t kBackupStreamSparseBlock = 9;

constexpr bool IsBackupDataStream(std::uint32_t id) noexcept {
  return id == kBackupStreamData || id == kBackupStreamSparseBlock;
}

// Copies the records of the stream read from `source` into the sinks: data
// records to `dataSink`, all others to `metadataSink`; a record whose sink is
// absent is skipped (its name, and a sparse block's offset, read; the rest
// passed with seek_cur, which must land exactly at the record's end). Ends
// with success when the source ends on a record boundary. Errors (built with
// the splitter's module id): 0x40001 read, 0x4000d a header cut short or a
// record longer than any stream can hold, 0x40003 sink write, 0x40005 seek,
// 0x40006 memory, 0x4000f cancel (from `context`).
Common::Error SplitBackupStream(file_backup_stream* dataSink, file_backup_stream* metadataSink,
                                ri_file& source, BackupContext& context);

// SplitBackupStream with the data records dropped under flag 0x4 and the
// metadata records dropped under flag 0x8 (both into `sink` otherwise).
Common::Error SplitBackupStreamFiltered(file_backup_stream* sink, ri_file& source,
                                        std::uint32_t flags, BackupContext& context);

// A sink that compares each chunk with as many bytes read from `other`
// instead of keeping it. The first difference (or a short read, or an error
// of `other`) clears equal() and stores 0x4000f, which ends the producer
// that feeds it.
class BackupStreamsComparator : public file_backup_stream {
 public:
  explicit BackupStreamsComparator(i_file& other) noexcept : other_(other) {}
  ~BackupStreamsComparator() override;

  void write(file_backup_raw_data_factory::raw_data* chunk) override;

  bool equal() const noexcept { return equal_; }
  // Chunks compared so far; the first one that differed, when equal() is
  // false, is chunks() - 1.
  std::uint32_t chunks() const noexcept { return chunks_; }

 private:
  i_file& other_;
  bool equal_ = true;
  file_backup_raw_data_factory::raw_data* cached_ = nullptr;
  std::uint32_t chunks_ = 0;
};

// Follows the record boundaries of a backup stream passed on in pieces of
// any size, so that a writer can tell whether what it was given ends where a
// record ends. feed() answers false, and the tracker stays failed, for a
// record whose lengths cannot hold together (name and data past 64 bits, a
// sparse block shorter than its offset).
class BackupRecordTracker {
 public:
  bool feed(const void* bytes, std::uint64_t n) noexcept;
  // Nothing begun and not finished: no partial header, name or data.
  bool at_boundary() const noexcept { return !failed_ && have_ == 0 && left_ == 0; }
  bool failed() const noexcept { return failed_; }
  std::uint64_t records() const noexcept { return records_; }

 private:
  std::uint8_t header_[kBackupStreamHeaderSize] = {};
  std::uint32_t have_ = 0;   // header bytes gathered
  std::uint64_t left_ = 0;   // name and data bytes still to come
  std::uint64_t records_ = 0;
  bool failed_ = false;
};
