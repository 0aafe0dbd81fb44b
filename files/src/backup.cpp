// Chunks, the progress context of one entry and the backup code's errors.
#include "files/backup.h"

#include <cstring>
#include <new>

#include "files/file_error.h"

file_backup_raw_data_factory::~file_backup_raw_data_factory() = default;

file_backup_raw_data_factory::raw_data* file_backup_raw_data_factory::make(std::uint32_t size) {
  if (size == kDefaultSize) size = kBackupDefaultChunk;
  raw_data* chunk = new (std::nothrow) raw_data;
  if (chunk == nullptr) return nullptr;
  // A zero-byte request still gets a real buffer, so that data() is valid.
  chunk->buffer = new (std::nothrow) std::uint8_t[size == 0 ? 1 : size];
  if (chunk->buffer == nullptr) {
    delete chunk;
    return nullptr;
  }
  chunk->capacity = size;
  chunk->length = size;
  return chunk;
}

void file_backup_raw_data_factory::release(raw_data* chunk) { delete chunk; }

file_backup_raw_data_factory::raw_data* CopyToRawData(file_backup_raw_data_factory& factory,
                                                      const void* bytes, std::uint32_t n) {
  file_backup_raw_data_factory::raw_data* chunk = factory.make(n);
  if (chunk == nullptr) return nullptr;
  if (n != 0) std::memcpy(chunk->data(), bytes, n);
  chunk->length = n;
  return chunk;
}

BackupProgress::~BackupProgress() = default;
ChunkNTBackupStreamCallback::~ChunkNTBackupStreamCallback() = default;

bool BackupContext::OnChunk(std::uint64_t bytes) {
  if (progress_ == nullptr) return true;
  if (progress_->IsCancelled()) return false;
  done_ += bytes;
  progress_->Progress(done_);
  return true;
}

bool BackupContext::OnChunkHalves(std::uint64_t bytes) {
  const std::uint64_t half = bytes / 2;
  if (!OnChunk(half)) return false;
  if (progress_ != nullptr) done_ += bytes - half;
  return true;
}

std::uint32_t BackupContext::Ask(std::uint32_t situation) {
  return progress_ == nullptr ? BackupProgress::kCancel : progress_->Ask(situation, path_);
}

Common::Error BackupContext::MakeError(std::uint32_t locationId, const Common::Error& cause,
                                       std::uint64_t hints) const noexcept {
  Common::Error error = Common::Error::FromRecord(Common::NewPathRecord(
      locationId, kBackupModuleId, backup_ ? kFileBackupError : kFileRecoverError, path_,
      hints));
  if (!cause.IsNull()) Common::AttachErrorCause(error, cause);
  return error;
}

Common::Error MakeBackupCanceled(std::uint32_t locationId, std::uint32_t moduleId) noexcept {
  return MakeFileError(locationId, moduleId, kFileCanceled);
}
