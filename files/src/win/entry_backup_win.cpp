// "BKUP": everything Windows keeps about one file or directory, written as
// items into the caller's sink (attributes, the Windows backup stream, the
// encrypted contents, the times).
#include <windows.h>

#include <memory>
#include <string>

#include "files/file_error.h"
#include "files/file_time.h"
#include "files/win/backup_win.h"
#include "files/win/helpers.h"
#include "files/win/nt_dir.h"
#include "foundation/byteorder.h"

namespace {

constexpr std::uint32_t Loc(std::uint32_t n) { return 0x2B02u << 16 | n; }

LPCWSTR W(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

Common::Error Canceled(std::uint32_t location) {
  return MakeBackupCanceled(location, kBackupModuleId);
}

Common::Error Win32Cause(std::uint32_t location, const char* function) {
  return MakeApiError(location, kBackupModuleId, function, kFileBackupError,
                      FileErrorText(kFileBackupError));
}

std::uint64_t Ms(const FILETIME& time) {
  return FileTimeToMs(std::uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime);
}

// Volume roots ("C:", "\\?\C:") name the root directory only with their
// separator.
std::u16string WithRootSeparator(const char16_t* path) {
  std::u16string p(path);
  const bool drive = !p.empty() && p.back() == u':';
  const bool bareLong = p.size() > 4 && p.compare(0, 4, u"\\\\?\\") == 0 &&
                        p.find(u'\\', 4) == std::u16string::npos;
  if (drive || bareLong) p += u'\\';
  return p;
}

// One item: its stream, destroyed with the holder.
struct Item {
  std::unique_ptr<file_backup_stream> stream;
};

Common::Error BeginItem(BackupSink& sink, std::uint32_t kind, Item& item) {
  item.stream.reset(sink.BeginItem(kind));
  if (sink.has_failed()) return sink.error();
  if (!item.stream) return MakeFileError(Loc(1), kBackupModuleId, kFileOutOfMemory);
  return Common::Error();
}

Common::Error WriteSmallItem(BackupSink& sink, std::uint32_t kind, const void* bytes,
                             std::uint32_t n, BackupContext& context, std::uint32_t location) {
  Item item;
  Common::Error error = BeginItem(sink, kind, item);
  if (!error.IsNull()) return error;
  file_backup_raw_data_factory::raw_data* chunk = CopyToRawData(*item.stream, bytes, n);
  if (chunk == nullptr) return MakeFileError(location, kBackupModuleId, kFileOutOfMemory);
  item.stream->write(chunk);
  if (item.stream->has_failed()) return item.stream->error();
  if (!context.OnChunk(n)) return Canceled(location + 1);
  return Common::Error();
}

// The file's contents as ReadFile gives them.
Common::Error BackupPlainData(HANDLE handle, file_backup_stream& stream, BackupContext& context) {
  BackupProgress* progress = context.progress();
  for (;;) {
    if (progress != nullptr) {
      if (progress->IsCancelled()) return Canceled(Loc(10));
      progress->Progress(context.bytes_done());
    }
    file_backup_raw_data_factory::raw_data* chunk = stream.make(kBackupPlainDataChunk);
    if (chunk == nullptr) return MakeFileError(Loc(11), kBackupModuleId, kFileOutOfMemory);
    DWORD got = 0;
    if (!ReadFile(handle, chunk->data(), chunk->capacity, &got, nullptr)) {
      const Common::Error cause = Win32Cause(Loc(12), "ReadFile");
      stream.release(chunk);
      return context.MakeError(Loc(13), cause);
    }
    if (got == 0) {
      stream.release(chunk);
      return context.OnChunk(0) ? Common::Error() : Canceled(Loc(14));
    }
    chunk->length = got;
    if (!context.OnChunkHalves(got)) {
      stream.release(chunk);
      return Canceled(Loc(15));
    }
    stream.write(chunk);
    if (stream.has_failed()) return context.MakeError(Loc(16), stream.error());
  }
}

struct ExportState {
  file_backup_stream* stream;
  BackupContext* context;
};

DWORD WINAPI ExportBlock(PBYTE data, PVOID callbackContext, ULONG length) {
  ExportState& state = *static_cast<ExportState*>(callbackContext);
  file_backup_raw_data_factory::raw_data* chunk = CopyToRawData(*state.stream, data, length);
  if (chunk != nullptr) state.stream->write(chunk);
  BackupProgress* progress = state.context->progress();
  if (progress != nullptr) {
    if (progress->IsCancelled()) {
      state.context->mark_cancelled();
      return DWORD(E_FAIL);
    }
    state.context->OnChunk(length);
  }
  return (chunk == nullptr || state.stream->has_failed()) ? DWORD(E_FAIL) : ERROR_SUCCESS;
}

Common::Error BackupEncryptedContents(const std::u16string& path, DWORD attributes,
                                      std::uint32_t flags, BackupSink& sink,
                                      BackupContext& context) {
  const bool raw = BindEncryptedFileRaw() && !(flags & kBackupNoRawEncrypted);
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (raw && (attributes & FILE_ATTRIBUTE_ENCRYPTED)) {
    Item item;
    Common::Error error = BeginItem(sink, kBackupItemRawEncrypted, item);
    if (!error.IsNull()) return error;
    NTFSEncryptedFile file(path.c_str(), directory ? CREATE_FOR_DIR : 0);
    if (file.has_failed()) return context.MakeError(Loc(20), file.error(), 3);
    ExportState state{item.stream.get(), &context};
    const DWORD result =
        EncryptedFileRawFunctions().read(&ExportBlock, &state, file.context());
    if (result == ERROR_SUCCESS) return Common::Error();
    if (item.stream->has_failed()) return context.MakeError(Loc(21), item.stream->error(), 3);
    if (context.cancelled()) return Canceled(Loc(22));
    SetLastError(result);
    return context.MakeError(Loc(23), Win32Cause(Loc(24), "ReadEncryptedFileRaw"), 3);
  }
  if ((attributes & FILE_ATTRIBUTE_ENCRYPTED) && !directory) {
    FileHandle handle;
    if (!handle.Open(path.c_str(), GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                     FILE_SHARE_READ | FILE_SHARE_WRITE))
      return handle.error();
    Item item;
    Common::Error error = BeginItem(sink, kBackupItemPlainData, item);
    if (!error.IsNull()) return error;
    return BackupPlainData(handle.handle(), *item.stream, context);
  }
  return Common::Error();
}

}  // namespace

Common::Error BackupFileToStream(const char16_t* rawPath, BackupSink* sinkPointer,
                                 BackupProgress* progress, std::uint32_t flags) {
  if (sinkPointer == nullptr) return MakeFileError(Loc(30), kBackupModuleId, kFileNotSupported);
  BackupSink& sink = *sinkPointer;
  EnableBackupPrivilege();
  const std::u16string path = WithRootSeparator(rawPath);
  const bool network = IsUncNtPath(path);

  DWORD attributes;
  {
    NtCallScope scope(network);
    attributes = GetFileAttributesW(W(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return MakeFileApiError(Loc(31), kBackupModuleId, "GetFileAttributesW", path.c_str(),
                              kFileNotFound, FileErrorText(kFileNotFound));
    }
  }
  const bool follow = (flags & kBackupFollowReparse) != 0;
  const bool attributesFromHandle = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && follow;
  if ((flags & kBackupDataOnly) &&
      (attributes & (FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_DIRECTORY)))
    return Common::Error();

  BackupContext context(progress, path.c_str(), true);
  FileHandle handle;
  if (!handle.Open(path.c_str(), GENERIC_READ, OPEN_EXISTING,
                   FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                   FILE_SHARE_READ | FILE_SHARE_WRITE))
    return handle.error();
  if (attributesFromHandle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle.handle(), &info)) {
      return MakeFileApiError(Loc(32), kBackupModuleId, "GetFileInformationByHandle",
                              path.c_str(), kFileNotFound, FileErrorText(kFileNotFound));
    }
    attributes = info.dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  }

  if (!(flags & kBackupDataOnly)) {
    std::uint8_t word[4];
    Common::StoreLe32(word, attributes);
    Common::Error error =
        WriteSmallItem(sink, kBackupItemAttributes, word, 4, context, Loc(33));
    if (!error.IsNull()) return error;
  }

  FILETIME creation{}, lastWrite{};
  {
    Item item;
    Common::Error error = BeginItem(sink, kBackupItemWindowsStreams, item);
    if (!error.IsNull()) return error;
    {
      NTBackupStream source(handle.handle(), !(flags & kBackupNoSecurity), context);
      error = SplitBackupStreamFiltered(item.stream.get(), source,
                                        flags & (kBackupDropDataStreams | kBackupDataOnly),
                                        context);
    }
    if (!error.IsNull()) return error;
    if (!GetFileTime(handle.handle(), &creation, nullptr, &lastWrite)) {
      return context.MakeError(Loc(35), Win32Cause(Loc(36), "GetFileTime"));
    }
  }
  handle.Close();
  if (flags & kBackupDataOnly) return Common::Error();

  Common::Error error = BackupEncryptedContents(path, attributes, flags, sink, context);
  if (!error.IsNull()) return error;

  std::uint8_t times[16];
  Common::StoreLe64(times, Ms(lastWrite));
  Common::StoreLe64(times + 8, Ms(creation));
  return WriteSmallItem(sink, kBackupItemTimes, times, 16, context, Loc(37));
}
