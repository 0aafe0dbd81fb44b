// What the backup and restore of an entry share: the chunk buffers through
// which backup data travel, the abstract chunk sink, the caller's progress
// callback, the per-entry context that counts progress, asks the caller and
// builds the errors, and the request records of "BKUP" and "RSTR".
//
// A backup of one entry is a sequence of items, each begun on the caller's
// sink and filled with chunks:
//   1 attributes (u32, little-endian)
//   2 the Windows backup stream (WIN32_STREAM_ID records)
//   3 raw encrypted data (the encrypted-file export)
//   4 plain contents
//   5 times (u64 last write, u64 creation; milliseconds since 1970)
// A restore reads the same items back from the caller's source.
//
// Chunks travel by ownership: whoever writes a chunk into a sink hands it
// over, and producers take their chunks from the sink's own factory side so
// that a sink may supply buffers of its choice.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "files/file_object.h"

// Module id of the backup and restore code's errors.
constexpr std::uint32_t kBackupModuleId = 0xa8a1022b;
// Module id of the stream splitter's errors.
constexpr std::uint32_t kBackupSplitterModuleId = 0xfba06f33;

enum BackupItemKind : std::uint32_t {
  kBackupItemAttributes = 1,
  kBackupItemWindowsStreams = 2,
  kBackupItemRawEncrypted = 3,
  kBackupItemPlainData = 4,
  kBackupItemTimes = 5,
};

// The default chunk size, and the sizes the producers ask for.
constexpr std::uint32_t kBackupDefaultChunk = 16384;
constexpr std::uint32_t kBackupPlainDataChunk = 4096;
constexpr std::uint32_t kBackupStreamHeaderSize = 20;

// ---------------------------------------------------------------------------
// Chunks

class file_backup_raw_data_factory {
 public:
  // One chunk buffer. A chunk made with capacity n has length n until the
  // producer sets the number of bytes it filled; the valid bytes are
  // buffer + offset for length bytes.
  struct raw_data {
    std::uint8_t* buffer = nullptr;  // owned
    std::uint32_t length = 0;
    std::uint32_t offset = 0;
    std::uint32_t capacity = 0;

    raw_data() = default;
    raw_data(const raw_data&) = delete;
    raw_data& operator=(const raw_data&) = delete;
    ~raw_data() { delete[] buffer; }
    std::uint8_t* data() noexcept { return buffer + offset; }
    const std::uint8_t* data() const noexcept { return buffer + offset; }
  };

  // A size of this value asks for the default chunk size.
  static constexpr std::uint32_t kDefaultSize = 0xFFFFFFFFu;

  virtual ~file_backup_raw_data_factory();
  // A new chunk of `size` bytes, or null when there is no memory.
  virtual raw_data* make(std::uint32_t size);
  // Deletes the chunk (nothing for null).
  virtual void release(raw_data* chunk);
};

// An abstract sink of chunks. write takes ownership of the chunk (the sink
// releases it); a failure is stored as the sink's error.
class file_backup_stream : public virtual file_object, public file_backup_raw_data_factory {
 public:
  virtual void write(file_backup_raw_data_factory::raw_data* chunk) = 0;
};

// make(n) from `factory` and `n` bytes copied into it; null when the factory
// has no memory.
file_backup_raw_data_factory::raw_data* CopyToRawData(file_backup_raw_data_factory& factory,
                                                      const void* bytes, std::uint32_t n);

// ---------------------------------------------------------------------------
// The caller's objects

// The caller's progress callback carried by "BKUP" and "RSTR" (may be absent).
class BackupProgress {
 public:
  // The questions Ask puts and the answers it takes.
  enum Situation : std::uint32_t {
    kSecurityRefused = 0,  // writing the entry's security was refused with the rights held
    kPathVanished = 1,     // the path vanished while data were being written
  };
  enum Answer : std::uint32_t { kCancel = 0, kRetry = 1, kAlternative = 2 };

  virtual ~BackupProgress();
  virtual void Progress(std::uint64_t bytesDone) = 0;
  virtual bool IsCancelled() = 0;
  virtual std::uint32_t Ask(std::uint32_t situation, const char16_t* path) = 0;
};

// The caller's sink of a backup: begins one item and hands back the stream
// that receives its chunks (owned by the backup code, which destroys it after
// the item), or null with the failure stored in the sink.
class BackupSink : public virtual file_object {
 public:
  virtual file_backup_stream* BeginItem(std::uint32_t kind) = 0;
};

// The caller's source of a restore: the next item's data as an input stream
// (owned by the restore code), or null at the end. A normal end leaves
// "end of file" (0x40002) stored in the source; any other error is a failure.
class BackupSource : public virtual file_object {
 public:
  virtual i_file* NextItem(std::uint32_t& kind) = 0;
};

// Flags of "BKUP".
enum BackupFlags : std::uint32_t {
  kBackupNoSecurity = 0x1,        // BackupRead without process security
  kBackupNoRawEncrypted = 0x2,    // encrypted contents as plain data (item 4)
  kBackupDropDataStreams = 0x4,   // no data records (ids 1 and 9) in item 2
  kBackupDataOnly = 0x8,          // only item 2, and only its data records
  kBackupFollowReparse = 0x10,    // back up a reparse point's target
};

// Flags of "RSTR".
enum RestoreFlags : std::uint32_t {
  kRestoreNoSecurity = 0x1,      // BackupWrite without process security
  kRestoreIgnoreTimes = 0x2,     // item 5 is read past, not applied
  kRestoreFollowReparse = 0x4,   // open the target, leave a reparse point's attributes
};

// "BKUP" of an NT directory: the entry (null for the directory itself) as the
// directory's identifier (its UTF-16 name is used).
class file_identifier;
struct bkup_request : control_request {
  bkup_request() noexcept : control_request{kControlBKUP} {}
  BackupSink* sink = nullptr;
  BackupProgress* progress = nullptr;
  std::uint32_t flags = 0;
  const file_identifier* entry = nullptr;
};

// "RSTR" of an NT directory: the entry as a name (null for the directory
// itself).
struct rstr_request : control_request {
  rstr_request() noexcept : control_request{kControlRSTR} {}
  BackupSource* source = nullptr;
  BackupProgress* progress = nullptr;
  std::uint32_t flags = 0;
  const char16_t* entry = nullptr;
};

// ---------------------------------------------------------------------------
// The per-entry context

class ChunkNTBackupStreamCallback {
 public:
  virtual ~ChunkNTBackupStreamCallback();
  // false: stop, the caller cancelled.
  virtual bool OnChunk(std::uint64_t bytes) = 0;
};

class BackupContext : public ChunkNTBackupStreamCallback {
 public:
  // `path` is not owned and must outlive the context.
  BackupContext(BackupProgress* progress, const char16_t* path, bool backup) noexcept
      : progress_(progress), path_(path), backup_(backup) {}

  // true without a callback; false when the callback reports a cancel;
  // otherwise adds `bytes`, reports the count and answers true.
  bool OnChunk(std::uint64_t bytes) override;
  // For file data: adds half of `bytes` (rounded down) and reports as
  // OnChunk does, then adds the other half unreported (the next chunk
  // reports it).
  bool OnChunkHalves(std::uint64_t bytes);
  // The callback's answer for this entry; cancel without a callback.
  std::uint32_t Ask(std::uint32_t situation);
  // 0x40019 (backup) or 0x4001a (restore) with the entry path and `hints`
  // (1 ordinary, 3 raw encrypted access), `cause` attached.
  Common::Error MakeError(std::uint32_t locationId, const Common::Error& cause,
                          std::uint64_t hints = 1) const noexcept;

  // Set by the encrypted-file callbacks when they saw a cancel.
  void mark_cancelled() noexcept { cancelled_ = true; }
  bool cancelled() const noexcept { return cancelled_; }

  BackupProgress* progress() const noexcept { return progress_; }
  const char16_t* path() const noexcept { return path_; }
  bool is_backup() const noexcept { return backup_; }
  std::uint64_t bytes_done() const noexcept { return done_; }

 private:
  BackupProgress* progress_;
  std::uint64_t done_ = 0;
  const char16_t* path_;
  bool backup_;
  bool cancelled_ = false;
};

// The user's cancel: 0x4000f without a path.
Common::Error MakeBackupCanceled(std::uint32_t locationId, std::uint32_t moduleId) noexcept;
