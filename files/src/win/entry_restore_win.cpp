// "RSTR": re-creating one file or directory from the items a backup wrote.
// The attributes item comes first; then the Windows backup stream goes
// through BackupWrite, raw encrypted data through the encrypted-file import
// and plain contents through WriteFile; the attributes and times are set
// last. A file this restore opened in a fallback or for plain data is
// removed again when writing it fails half-way.
#include <windows.h>
#include <winioctl.h>

#include <memory>
#include <string>

#include "files/file_error.h"
#include "files/file_time.h"
#include "files/win/backup_win.h"
#include "files/win/helpers.h"
#include "files/win/nt_dir.h"
#include "files/win/win_file.h"
#include "foundation/byteorder.h"

namespace {

constexpr std::uint32_t Loc(std::uint32_t n) { return 0x2B03u << 16 | n; }

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

Common::Error Canceled(std::uint32_t location) {
  return MakeBackupCanceled(location, kBackupModuleId);
}

Common::Error Win32Cause(std::uint32_t location, const char* function) {
  return MakeApiError(location, kBackupModuleId, function, kFileRecoverError,
                      FileErrorText(kFileRecoverError));
}

Common::Error PathFailure(std::uint32_t location, const char* function, const char16_t* path,
                          std::uint32_t code) {
  return MakeFileApiError(location, kBackupModuleId, function, path, code, FileErrorText(code));
}

bool Reports(BackupContext& context, std::uint64_t bytes) {
  BackupProgress* progress = context.progress();
  if (progress == nullptr) return true;
  if (progress->IsCancelled()) return false;
  context.OnChunk(bytes);
  return true;
}

// A drive root ("C:\", its ':' among the first six characters, "\\?\"
// prefix allowed) on a network drive.
bool OnRemoteDrive(const char16_t* path) {
  const std::u16string p(path);
  const std::size_t colon = p.find(u':');
  if (colon == std::u16string::npos || colon == 0 || colon >= 6 || colon + 1 >= p.size() ||
      p[colon + 1] != u'\\')
    return false;
  const std::u16string root(1, p[colon - 1]);
  return GetDriveTypeW(W((root + u":\\").c_str())) == DRIVE_REMOTE;
}

bool IsUncPath(const char16_t* path) { return IsUncNtPath(std::u16string(path)); }

}  // namespace

// FSCTL_SET_COMPRESSION; file systems without compression are no failure.
Common::Error SetCompressionFromAttributes(HANDLE handle, bool compressed) {
  USHORT format = compressed ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
  DWORD returned = 0;
  if (DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0,
                      &returned, nullptr))
    return Common::Error();
  const DWORD code = GetLastError();
  if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED || code == 1717)
    return Common::Error();
  return MakeApiError(Loc(1), kBackupModuleId, "FSCTL_SET_COMPRESSION", kFileRecoverError,
                      FileErrorText(kFileRecoverError));
}

Common::Error RestoreWindowsStreams(const char16_t* path, HANDLE handle, i_file& item,
                                    BackupContext& context, bool processSecurity) {
  void* writeContext = nullptr;
  Common::Error error;
  bool wroteSome = false;
  bool skipped = false;
  // The records are followed as they pass, so that an item that ends inside
  // a record, or whose lengths cannot hold together, is refused instead of
  // half-applied.
  BackupRecordTracker records;
  BYTE buffer[4096];
  for (;;) {
    std::uint32_t count = 0;
    item.read(buffer, sizeof buffer, count);
    if (item.has_failed()) {
      if (item.error().Code() != kFileEndOfFile) error = context.MakeError(Loc(10), item.error());
      break;
    }
    if (!records.feed(buffer, count)) {
      error = context.MakeError(Loc(24), MakeFileError(Loc(25), kBackupModuleId, kFileCorrupted));
      break;
    }
    bool skipItem = false;
    bool dropChunk = false;
    for (;;) {
      DWORD written = 0;
      if (BackupWriteCall(handle, buffer, count, &written, FALSE, processSecurity,
                          &writeContext))
        break;
      const DWORD code = GetLastError();
      std::uint32_t answer;
      if (code == ERROR_ACCESS_DENIED && processSecurity) {
        // Only where a network share may refuse security that local rights
        // would allow is the caller asked; elsewhere the refusal stands.
        const bool twoBackslashes = path[0] == u'\\' && path[1] == u'\\';
        if (!twoBackslashes && !OnRemoteDrive(path)) {
          error = context.MakeError(Loc(11), Win32Cause(Loc(12), "BackupWrite"));
          break;
        }
        answer = context.Ask(BackupProgress::kSecurityRefused);
        if (answer == BackupProgress::kCancel) {
          error = Canceled(Loc(13));
          break;
        }
        if (answer == BackupProgress::kRetry) continue;
        if (answer == BackupProgress::kAlternative) {
          processSecurity = false;
          continue;
        }
        dropChunk = true;
        break;
      }
      if (code == ERROR_PATH_NOT_FOUND && wroteSome) {
        answer = context.Ask(BackupProgress::kPathVanished);
        if (answer == BackupProgress::kCancel) {
          error = Canceled(Loc(14));
          break;
        }
        if (answer == BackupProgress::kRetry) continue;
        if (answer == BackupProgress::kAlternative) {
          skipItem = true;
          break;
        }
        dropChunk = true;
        break;
      }
      error = context.MakeError(Loc(15), Win32Cause(Loc(16), "BackupWrite"));
      break;
    }
    if (skipItem) skipped = true;
    if (!error.IsNull() || skipItem) break;
    if (!dropChunk) wroteSome = true;
    if (!Reports(context, count)) {
      error = Canceled(Loc(17));
      break;
    }
    // A read that came back short (a zero-length one included) was the last:
    // looping on it would make no progress.
    if (count < sizeof buffer) break;
  }
  if (error.IsNull() && !skipped && !records.at_boundary())
    error = context.MakeError(Loc(26), MakeFileError(Loc(27), kBackupModuleId, kFileCorrupted));
  if (writeContext != nullptr) {
    DWORD ignored = 0;
    if (!BackupWriteCall(handle, nullptr, 0, &ignored, TRUE, processSecurity, &writeContext) &&
        (error.IsNull() || error.Code() == kFileCanceled))
      error = context.MakeError(Loc(18), Win32Cause(Loc(19), "BackupWrite"));
  }
  return error;
}

Common::Error RestorePlainData(HANDLE handle, i_file& item, BackupContext& context) {
  BYTE buffer[4096];
  for (;;) {
    std::uint32_t count = 0;
    item.read(buffer, sizeof buffer, count);
    if (item.has_failed()) {
      if (item.error().Code() == kFileEndOfFile) return Common::Error();
      return context.MakeError(Loc(20), item.error());
    }
    DWORD written = 0;
    if (count != 0 && (!WriteFile(handle, buffer, count, &written, nullptr) || written != count))
      return context.MakeError(Loc(21), Win32Cause(Loc(22), "WriteFile"));
    if (!Reports(context, count)) return Canceled(Loc(23));
    if (count < sizeof buffer) return Common::Error();
  }
}

bool StreamsAlreadyEqual(i_file& item, const char16_t* path) {
  FileHandle existing;
  if (!existing.Open(path, GENERIC_READ, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, FILE_SHARE_READ))
    return false;
  BackupStreamsComparator comparator(item);
  BackupContext context(nullptr, path, false);
  const Common::Error error = PumpBackupRead(existing.handle(), comparator, context, true);
  if (!error.IsNull()) {
    const bool comparatorStop =
        error.Code() == kFileCanceled || GetErrorCode(GetErrorCause(error)) == kFileCanceled;
    if (!comparatorStop) return false;
  }
  // An item whose security part differs from the file's is not the same
  // data: only a byte-for-byte match, security included, counts. The item
  // stream cannot be rewound for a second pass without security.
  return comparator.equal() && error.IsNull();
}

namespace {

struct ImportState {
  i_file* item;
  BackupContext* context;
};

DWORD WINAPI ImportBlock(PBYTE data, PVOID callbackContext, PULONG length) {
  ImportState& state = *static_cast<ImportState*>(callbackContext);
  std::uint32_t count = 0;
  state.item->read(data, *length, count);
  if (state.item->has_failed() && state.item->error().Code() != kFileEndOfFile) return DWORD(E_FAIL);
  *length = count;
  if (!state.context->OnChunkHalves(count)) {
    state.context->mark_cancelled();
    return DWORD(E_FAIL);
  }
  return ERROR_SUCCESS;
}

struct Restore {
  const char16_t* path;
  std::uint32_t flags;
  BackupContext& context;
  FileHandle handle;
  DWORD attributes = 0;
  std::uint64_t lastWrite = 0;
  std::uint64_t creation = 0;
  DWORD disposition = CREATE_ALWAYS;
  DWORD openFlags;
  bool processSecurity;

  Restore(const char16_t* p, std::uint32_t f, BackupContext& c)
      : path(p), flags(f), context(c),
        openFlags((f & kRestoreFollowReparse) ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
        processSecurity(!(f & kRestoreNoSecurity)) {}

  bool directory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  bool network() const { return IsUncPath(path); }

  Common::Error WindowsStreams(i_file& item) {
    bool opened;
    bool security = processSecurity;
    if (!(flags & kRestoreNoSecurity)) {
      opened = handle.Open(path, 0xC10C0000u, disposition, openFlags | FILE_FLAG_BACKUP_SEMANTICS,
                           0);
      if (!opened) {
        handle.take_error();
        opened = handle.Open(path, GENERIC_READ | GENERIC_WRITE, disposition,
                             openFlags | FILE_FLAG_BACKUP_SEMANTICS, 0);
        if (opened) {
          handle.set_delete_on_close(true);
          const std::uint32_t answer = context.Ask(BackupProgress::kSecurityRefused);
          if (answer == BackupProgress::kCancel) return Canceled(Loc(30));
          if (answer == BackupProgress::kAlternative) security = false;
        }
      }
    } else {
      opened = handle.Open(path, GENERIC_READ | GENERIC_WRITE, disposition,
                           openFlags | FILE_FLAG_BACKUP_SEMANTICS, 0);
    }
    if (!opened) {
      const Common::Error openError = handle.take_error();
      const DWORD last = GetLastError();
      if (StreamsAlreadyEqual(item, path)) {
        SetLastError(last);
        return Common::Error();
      }
      return context.MakeError(Loc(31), openError);
    }
    // A file this restore creates is removed again should writing it fail
    // half-way: a half-written file is worth less than none. An existing
    // directory opened for its streams is left alone.
    if (disposition == CREATE_ALWAYS) handle.set_delete_on_close(true);
    Common::Error error =
        SetCompressionFromAttributes(handle.handle(), (attributes & FILE_ATTRIBUTE_COMPRESSED) != 0);
    if (!error.IsNull()) return error;
    error = RestoreWindowsStreams(path, handle.handle(), item, context, security);
    if (error.IsNull()) handle.set_delete_on_close(false);
    return error;
  }

  Common::Error RawEncrypted(i_file& item) {
    if (!BindEncryptedFileRaw()) return Common::Error();
    handle.Close();
    NTFSEncryptedFile file(path, CREATE_FOR_IMPORT | (directory() ? CREATE_FOR_DIR : 0));
    if (file.has_failed()) return context.MakeError(Loc(40), file.error(), 3);
    ImportState state{&item, &context};
    const DWORD result = EncryptedFileRawFunctions().write(&ImportBlock, &state, file.context());
    if (result != ERROR_SUCCESS) {
      if (item.has_failed() && item.error().Code() != kFileEndOfFile)
        return context.MakeError(Loc(41), item.error(), 3);
      if (context.cancelled()) return Canceled(Loc(42));
      SetLastError(result);
      return context.MakeError(Loc(43), Win32Cause(Loc(44), "WriteEncryptedFileRaw"), 3);
    }
    if (!context.OnChunk(0)) return Canceled(Loc(45));
    return Common::Error();
  }

  Common::Error PlainData(i_file& item) {
    if (!handle.valid() &&
        !handle.Open(path, GENERIC_READ | GENERIC_WRITE, disposition, openFlags, 0))
      return context.MakeError(Loc(50), handle.take_error());
    handle.set_delete_on_close(true);
    Common::Error error =
        SetCompressionFromAttributes(handle.handle(), (attributes & FILE_ATTRIBUTE_COMPRESSED) != 0);
    if (!error.IsNull()) return error;
    error = RestorePlainData(handle.handle(), item, context);
    if (error.IsNull()) handle.set_delete_on_close(false);
    return error;
  }

  Common::Error Times(i_file& item) {
    if (flags & kRestoreIgnoreTimes) return Common::Error();
    std::uint8_t bytes[16];
    item.read_exact(bytes, sizeof bytes);
    if (item.has_failed()) return item.error();
    if (!context.OnChunk(16)) return Canceled(Loc(60));
    lastWrite = Common::LoadLe64(bytes);
    creation = Common::LoadLe64(bytes + 8);
    return Common::Error();
  }

  static FILETIME AsFileTime(std::uint64_t ms) {
    const std::uint64_t value = MsToFileTime(ms);
    FILETIME time;
    time.dwLowDateTime = DWORD(value);
    time.dwHighDateTime = DWORD(value >> 32);
    return time;
  }

  Common::Error ApplyTimes() {
    if (lastWrite == 0 && creation == 0) return Common::Error();
    HANDLE target = handle.handle();
    FileHandle own;
    if (!handle.valid()) {
      if (!own.Open(path, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, 0)) {
        const Common::Error openError = own.take_error();
        LastErrorKeeper keep;
        FileHandle reader;
        if (!reader.Open(path, GENERIC_READ, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                         FILE_SHARE_READ))
          return context.MakeError(Loc(70), openError);
        FILETIME c, w;
        if (!GetFileTime(reader.handle(), &c, nullptr, &w))
          return context.MakeError(Loc(71), Win32Cause(Loc(72), "GetFileTime"));
        const auto ms = [](const FILETIME& t) {
          return FileTimeToMs(std::uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime);
        };
        if (directory() || (ms(c) == creation && ms(w) == lastWrite)) return Common::Error();
        return context.MakeError(Loc(73), openError);
      }
      target = own.handle();
    }
    const FILETIME c = AsFileTime(creation), w = AsFileTime(lastWrite);
    if (!SetFileTime(target, creation ? &c : nullptr, nullptr, lastWrite ? &w : nullptr))
      return context.MakeError(Loc(74), Win32Cause(Loc(75), "SetFileTime"));
    return Common::Error();
  }

  Common::Error Run(BackupSource& source) {
    {
      NtCallScope scope(network());
      const DWORD existing = GetFileAttributesW(W(path));
      if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY) &&
          !SetFileAttributesW(W(path), existing & ~DWORD(FILE_ATTRIBUTE_READONLY)) &&
          !(existing & FILE_ATTRIBUTE_DIRECTORY))
        return PathFailure(Loc(80), "SetFileAttributesW", path, kFileRecoverError);
    }
    for (;;) {
      std::uint32_t kind = 0;
      std::unique_ptr<i_file> item(source.NextItem(kind));
      if (!item) return source.error();
      if (kind != kBackupItemAttributes) continue;
      std::uint8_t word[4];
      item->read_exact(word, 4);
      if (item->has_failed()) return item->error();
      attributes = Common::LoadLe32(word);
      if (!context.OnChunk(4)) return Canceled(Loc(81));
      break;
    }
    if (directory()) {
      NtCallScope scope(network());
      if (!CreateDirectoryW(W(path), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return PathFailure(Loc(82), "CreateDirectoryW", path, kFileRecoverError);
      if (BindDecryptFile() && !(attributes & FILE_ATTRIBUTE_ENCRYPTED)) {
        const DWORD now = GetFileAttributesW(W(path));
        if (now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_ENCRYPTED))
          DecryptFileFunction()(W(path), 0);
      }
      disposition = OPEN_EXISTING;
    }
    for (;;) {
      std::uint32_t kind = 0;
      std::unique_ptr<i_file> item(source.NextItem(kind));
      if (!item) break;
      Common::Error error;
      switch (kind) {
        case kBackupItemWindowsStreams:
          error = WindowsStreams(*item);
          break;
        case kBackupItemRawEncrypted:
          error = RawEncrypted(*item);
          break;
        case kBackupItemPlainData:
          error = PlainData(*item);
          break;
        case kBackupItemTimes:
          error = Times(*item);
          break;
        default:
          break;
      }
      if (!error.IsNull()) return error;
    }
    if (source.error().Code() != kFileEndOfFile && source.has_failed()) return source.error();

    bool keepAttributes = false;
    if (flags & kRestoreFollowReparse) {
      NtCallScope scope(network());
      const DWORD now = GetFileAttributesW(W(path));
      keepAttributes = now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_REPARSE_POINT) &&
                       handle.handle() != INVALID_HANDLE_VALUE;
    }
    if (!keepAttributes) {
      NtCallScope scope(network());
      if (!SetFileAttributesW(W(path), attributes) && !directory())
        return PathFailure(Loc(83), "SetFileAttributesW", path, kFileAccessDenied);
    }
    return ApplyTimes();
  }
};

}  // namespace

Common::Error RestoreFileFromStream(const char16_t* path, BackupSource* source,
                                    BackupProgress* progress, std::uint32_t flags) {
  if (source == nullptr) return MakeFileError(Loc(90), kBackupModuleId, kFileNotSupported);
  EnableRestorePrivilege();
  BackupContext context(progress, path, false);
  Restore restore(path, flags, context);
  return restore.Run(*source);
}
