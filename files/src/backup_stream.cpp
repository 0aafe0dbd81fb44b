// The splitter over Windows backup-stream records and the comparing sink.
#include "files/backup_stream.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "files/file_error.h"
#include "foundation/byteorder.h"

namespace {

constexpr std::uint32_t Loc(std::uint32_t n) { return 0x2B00u << 16 | n; }

Common::Error Failed(std::uint32_t location, std::uint32_t code,
                     const Common::Error& cause = Common::Error()) {
  Common::Error error = MakeFileError(location, kBackupSplitterModuleId, code);
  if (!cause.IsNull()) Common::AttachErrorCause(error, cause);
  return error;
}

// Reads a record's name (and a sparse block's offset) and passes the rest of
// it with seek_cur, as the reader cannot seek across a name. `name` and `size` were checked against each other: for a
// sparse block `size` holds at least its 8-byte offset.
Common::Error SkipRecord(ri_file& source, std::uint32_t id, std::uint32_t nameSize,
                         std::uint64_t size) {
  std::uint64_t toRead = nameSize;
  std::uint64_t toSeek = size;
  if (id == kBackupStreamSparseBlock) {
    toRead += 8;
    toSeek -= 8;
  }
  // The name is read through a small buffer, a piece at a time: its length
  // comes from the stream and may be anything a 32-bit field holds, so it is
  // never used as an allocation size.
  std::uint8_t scratch[1024];
  while (toRead != 0) {
    const std::uint32_t n = toRead > sizeof scratch ? std::uint32_t(sizeof scratch)
                                                     : std::uint32_t(toRead);
    source.read_exact(scratch, n);
    if (source.has_failed()) return Failed(Loc(2), kFileReadError, source.error());
    toRead -= n;
  }
  if (toSeek != 0) {
    const std::uint64_t before = source.seek_cur(0);
    if (source.has_failed()) return Failed(Loc(3), kFileSeekError, source.error());
    std::uint64_t expected;
    if (!Common::CheckedAdd(before, toSeek, &expected) ||
        toSeek > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
      return Failed(Loc(4), kFileCorrupted);
    const std::uint64_t after = source.seek_cur(std::int64_t(toSeek));
    if (source.has_failed()) return Failed(Loc(5), kFileSeekError, source.error());
    if (after != expected) return Failed(Loc(6), kFileSeekError);
  }
  return Common::Error();
}

Common::Error CopyRecord(file_backup_stream& sink, ri_file& source, const std::uint8_t* header,
                         std::uint64_t remaining, BackupContext& context) {
  file_backup_raw_data_factory::raw_data* chunk =
      CopyToRawData(sink, header, kBackupStreamHeaderSize);
  if (chunk == nullptr) return Failed(Loc(7), kFileOutOfMemory, sink.error());
  sink.write(chunk);
  if (sink.has_failed()) return Failed(Loc(8), kFileWriteError, sink.error());
  if (!context.OnChunk(kBackupStreamHeaderSize)) return Failed(Loc(9), kFileCanceled);
  while (remaining > 0) {
    chunk = sink.make(file_backup_raw_data_factory::kDefaultSize);
    if (chunk == nullptr || sink.has_failed()) {
      if (chunk != nullptr) sink.release(chunk);
      return Failed(Loc(10), kFileOutOfMemory, sink.error());
    }
    const std::uint32_t n =
        remaining < chunk->capacity ? std::uint32_t(remaining) : chunk->capacity;
    if (n == 0) {
      // A sink whose chunks hold nothing would never let the copy end.
      sink.release(chunk);
      return Failed(Loc(11), kFileOutOfMemory);
    }
    source.read_exact(chunk->data(), n);
    if (source.has_failed()) {
      sink.release(chunk);
      return Failed(Loc(12), kFileReadError, source.error());
    }
    chunk->length = n;
    sink.write(chunk);
    if (sink.has_failed()) return Failed(Loc(13), kFileWriteError, sink.error());
    if (!context.OnChunk(n)) return Failed(Loc(14), kFileCanceled);
    remaining -= n;
  }
  return Common::Error();
}

}  // namespace

Common::Error SplitBackupStream(file_backup_stream* dataSink, file_backup_stream* metadataSink,
                                ri_file& source, BackupContext& context) {
  for (;;) {
    std::uint8_t header[kBackupStreamHeaderSize];
    std::uint32_t count = 0;
    source.read(header, sizeof header, count);
    if (source.has_failed()) return Failed(Loc(20), kFileReadError, source.error());
    if (count == 0) return Common::Error();
    if (count != sizeof header) return Failed(Loc(21), kFileCorrupted);

    const std::uint32_t id = Common::LoadLe32(header);
    const std::uint64_t size = Common::LoadLe64(header + 8);
    const std::uint32_t nameSize = Common::LoadLe32(header + 16);
    // Every length is checked before it steers a read or a seek: a record
    // whose name and data overflow 64 bits, or a sparse block too short for
    // its own offset, cannot come from a real stream.
    std::uint64_t remaining;
    if (!Common::CheckedAdd<std::uint64_t>(size, nameSize, &remaining))
      return Failed(Loc(22), kFileCorrupted);
    if (id == kBackupStreamSparseBlock && size < 8) return Failed(Loc(23), kFileCorrupted);

    file_backup_stream* sink = IsBackupDataStream(id) ? dataSink : metadataSink;
    const Common::Error error = sink != nullptr
                                    ? CopyRecord(*sink, source, header, remaining, context)
                                    : SkipRecord(source, id, nameSize, size);
    if (!error.IsNull()) return error;
  }
}

Common::Error SplitBackupStreamFiltered(file_backup_stream* sink, ri_file& source,
                                        std::uint32_t flags, BackupContext& context) {
  return SplitBackupStream((flags & kBackupDropDataStreams) ? nullptr : sink,
                           (flags & kBackupDataOnly) ? nullptr : sink, source, context);
}

BackupStreamsComparator::~BackupStreamsComparator() { release(cached_); }

void BackupStreamsComparator::write(file_backup_raw_data_factory::raw_data* chunk) {
  if (chunk == nullptr) return;
  if (chunk->length == 0) {
    release(chunk);
    return;
  }
  // One buffer serves the first chunk and stays for the next comparison;
  // later chunks get their own.
  file_backup_raw_data_factory::raw_data* mine = nullptr;
  if (chunks_ == 0) {
    if (cached_ != nullptr && cached_->capacity < chunk->length) {
      release(cached_);
      cached_ = nullptr;
    }
    if (cached_ == nullptr) cached_ = make(chunk->length);
    mine = cached_;
  } else {
    mine = make(chunk->length);
  }
  bool same = false;
  if (mine != nullptr) {
    std::uint32_t count = 0;
    other_.read(mine->data(), chunk->length, count);
    same = other_.is_ok() && count == chunk->length &&
           std::memcmp(mine->data(), chunk->data(), chunk->length) == 0;
  }
  if (!same) {
    equal_ = false;
    store_first_error(MakeFileError(Loc(30), kBackupSplitterModuleId, kFileCanceled));
  }
  ++chunks_;
  if (mine != cached_) release(mine);
  release(chunk);
}

bool BackupRecordTracker::feed(const void* bytes, std::uint64_t n) noexcept {
  const std::uint8_t* at = static_cast<const std::uint8_t*>(bytes);
  while (n > 0 && !failed_) {
    if (left_ > 0) {
      const std::uint64_t take = n < left_ ? n : left_;
      left_ -= take;
      at += take;
      n -= take;
      continue;
    }
    const std::uint32_t take =
        std::uint32_t(n < kBackupStreamHeaderSize - have_ ? n : kBackupStreamHeaderSize - have_);
    std::memcpy(header_ + have_, at, take);
    have_ += take;
    at += take;
    n -= take;
    if (have_ < kBackupStreamHeaderSize) break;
    have_ = 0;
    ++records_;
    const std::uint32_t id = Common::LoadLe32(header_);
    const std::uint64_t size = Common::LoadLe64(header_ + 8);
    if (!Common::CheckedAdd<std::uint64_t>(size, Common::LoadLe32(header_ + 16), &left_) ||
        (id == kBackupStreamSparseBlock && size < 8))
      failed_ = true;
  }
  return !failed_;
}
