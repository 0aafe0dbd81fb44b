// The backup code's owned handles, its privileges, the input stream over
// BackupRead and the pump that copies a BackupRead stream into a sink.
#include <windows.h>

#include <atomic>
#include <string>

#include "files/file_error.h"
#include "files/win/backup_win.h"
#include "files/win/helpers.h"
#include "files/win/nt_dir.h"

namespace {

constexpr std::uint32_t Loc(std::uint32_t n) { return 0x2B01u << 16 | n; }

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

bool IsUnc(const char16_t* path) {
  return path != nullptr && IsUncNtPath(std::u16string(path));
}

Common::Error Win32Cause(std::uint32_t location, const char* function) {
  return MakeApiError(location, kBackupModuleId, function, kFileBackupError,
                      FileErrorText(kFileBackupError));
}

Common::Error EnablePrivilege(const char* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return MakeApiError(Loc(1), kBackupModuleId, "OpenProcessToken", kFileAccessDenied,
                        FileErrorText(kFileAccessDenied));
  }
  Common::Error error;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid)) {
    error = MakeApiError(Loc(2), kBackupModuleId, "LookupPrivilegeValue", kFileAccessDenied,
                         FileErrorText(kFileAccessDenied));
  } else if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) ||
             GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
    // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the
    // token does not hold the privilege at all: nothing was enabled.
    error = MakeApiError(Loc(3), kBackupModuleId, "AdjustTokenPrivileges", kFileAccessDenied,
                         FileErrorText(kFileAccessDenied));
  }
  LastErrorKeeper keep;
  CloseHandle(token);
  return error;
}

Common::Error EnableOnce(std::atomic<bool>& enabled, const char* name) {
  if (enabled.load(std::memory_order_relaxed)) return Common::Error();
  Common::Error error = EnablePrivilege(name);
  if (error.IsNull()) enabled.store(true, std::memory_order_relaxed);
  return error;
}

std::atomic<bool> g_backupEnabled{false};
std::atomic<bool> g_restoreEnabled{false};

}  // namespace

Common::Error EnableBackupPrivilege() { return EnableOnce(g_backupEnabled, "SeBackupPrivilege"); }
Common::Error EnableRestorePrivilege() {
  return EnableOnce(g_restoreEnabled, "SeRestorePrivilege");
}

// ---------------------------------------------------------------------------
// FileHandle and NTFSEncryptedFile

bool FileHandle::Open(const char16_t* path, DWORD access, DWORD disposition, DWORD flags,
                      DWORD share) {
  Close();
  path_ = path;
  {
    NtCallScope scope(IsUnc(path));
    handle_ = CreateFileW(W(path), access, share, nullptr, disposition, flags, nullptr);
  }
  if (!valid()) {
    handle_ = INVALID_HANDLE_VALUE;
    const std::uint32_t code = disposition == OPEN_EXISTING ? kFileOpenError : kFileCreateError;
    store_error(MakeFileApiError(Loc(10), kBackupModuleId, "CreateFileW", path, code,
                                 FileErrorText(code)));
    return false;
  }
  return true;
}

void FileHandle::Close() {
  if (!valid()) return;
  LastErrorKeeper keep;
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  if (deleteOnClose_ && path_ != nullptr) {
    NtCallScope scope(IsUnc(path_));
    if (!DeleteFileW(W(path_))) RemoveDirectoryW(W(path_));
  }
  deleteOnClose_ = false;
}

NTFSEncryptedFile::NTFSEncryptedFile(const char16_t* path, ULONG flags) {
  if (!BindEncryptedFileRaw()) {
    store_error(MakeFileError(Loc(11), kBackupModuleId, kFileNotSupported));
    return;
  }
  NtCallScope scope(IsUnc(path));
  const DWORD result = EncryptedFileRawFunctions().open(W(path), flags, &context_);
  if (result != ERROR_SUCCESS) {
    SetLastError(result);
    context_ = nullptr;
    store_error(MakeFileApiError(Loc(12), kBackupModuleId, "OpenEncryptedFileRawW", path,
                                 kFileOpenError, FileErrorText(kFileOpenError)));
  }
}

NTFSEncryptedFile::~NTFSEncryptedFile() {
  if (context_ != nullptr) EncryptedFileRawFunctions().close(context_);
}

// ---------------------------------------------------------------------------
// NTBackupStream

NTBackupStream::~NTBackupStream() {
  if (backupContext_ != nullptr) {
    DWORD ignored = 0;
    BackupReadCall(handle_, nullptr, 0, &ignored, TRUE, FALSE, &backupContext_);
  }
}

void NTBackupStream::read(void* buffer, std::uint32_t size, std::uint32_t& count) {
  count = 0;
  if (!is_ok()) return;
  const bool hadContext = backupContext_ != nullptr;
  DWORD got = 0;
  if (!BackupReadCall(handle_, static_cast<BYTE*>(buffer), size, &got, FALSE, security_,
                      &backupContext_)) {
    const DWORD code = GetLastError();
    // The system ends some streams with ERROR_NOT_SUPPORTED once it has
    // begun: that is the end, not a failure.
    if (code != 0 && !(code == ERROR_NOT_SUPPORTED && (hadContext || got != 0))) {
      store_first_error(context_.MakeError(Loc(20), Win32Cause(Loc(21), "BackupRead")));
    }
  }
  count = got;
  position_ += got;
}

std::uint64_t NTBackupStream::seek_cur(std::int64_t distance) {
  if (distance <= 0) return position_;
  const std::uint64_t wanted = std::uint64_t(distance);
  DWORD low = 0, high = 0;
  if (!BackupSeekCall(handle_, DWORD(wanted), DWORD(wanted >> 32), &low, &high,
                      &backupContext_)) {
    store_error(context_.MakeError(Loc(22), Win32Cause(Loc(23), "BackupSeek")));
  }
  position_ += std::uint64_t(high) << 32 | low;
  return position_;
}

std::uint64_t NTBackupStream::seek_set(std::int64_t) {
  store_not_supported(Loc(24), kBackupModuleId, false);
  return position_;
}

std::uint64_t NTBackupStream::seek_end(std::int64_t) {
  store_not_supported(Loc(25), kBackupModuleId, false);
  return position_;
}

std::uint64_t NTBackupStream::rewind() {
  store_not_supported(Loc(26), kBackupModuleId, false);
  return position_;
}

std::uint64_t NTBackupStream::size() {
  store_not_supported(Loc(27), kBackupModuleId, false);
  return 0;
}

// ---------------------------------------------------------------------------
// PumpBackupRead

Common::Error PumpBackupRead(HANDLE handle, file_backup_stream& sink, BackupContext& context,
                             bool processSecurity) {
  void* backupContext = nullptr;
  Common::Error error;
  bool previousFilled = false;
  for (;;) {
    file_backup_raw_data_factory::raw_data* chunk =
        sink.make(file_backup_raw_data_factory::kDefaultSize);
    if (chunk == nullptr) {
      error = MakeFileError(Loc(30), kBackupModuleId, kFileOutOfMemory);
      break;
    }
    DWORD got = 0;
    const BOOL ok = BackupReadCall(handle, chunk->data(), chunk->length, &got, FALSE,
                                   processSecurity, &backupContext);
    if (!ok) {
      const DWORD code = GetLastError();
      const bool endOfStream = code == ERROR_NOT_SUPPORTED && got == 0 && previousFilled;
      if (code != 0 && code != ERROR_NOT_SUPPORTED) {
        sink.release(chunk);
        error = context.MakeError(Loc(31), Win32Cause(Loc(32), "BackupRead"));
        break;
      }
      if (code == ERROR_NOT_SUPPORTED && got == 0) {
        sink.release(chunk);
        if (!endOfStream) error = context.MakeError(Loc(33), Win32Cause(Loc(34), "BackupRead"));
        break;
      }
    }
    if (got == 0) {
      sink.release(chunk);
      break;
    }
    if (!context.OnChunk(got)) {
      sink.release(chunk);
      error = MakeBackupCanceled(Loc(35), kBackupModuleId);
      break;
    }
    const bool filled = got == chunk->length;
    chunk->length = got;
    sink.write(chunk);
    if (sink.has_failed()) {
      error = context.MakeError(Loc(36), sink.error());
      break;
    }
    if (!filled) break;
    previousFilled = true;
  }
  // The BackupRead context is released on every path, the early ones too.
  if (backupContext != nullptr) {
    DWORD ignored = 0;
    if (!BackupReadCall(handle, nullptr, 0, &ignored, TRUE, processSecurity, &backupContext) &&
        error.IsNull()) {
      error = context.MakeError(Loc(37), Win32Cause(Loc(38), "BackupRead"));
    }
  }
  return error;
}
