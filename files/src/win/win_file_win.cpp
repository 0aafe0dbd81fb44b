// Files of the live Windows file system.
#include "files/win/win_file.h"

#include <winioctl.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "files/control.h"
#include "files/file_error.h"
#include "files/file_time.h"
#include "files/win/helpers.h"

namespace {

constexpr std::uint32_t kModuleId = kWin32FileModuleId;
// Location ids: this file's number from the module range, then the site.
constexpr std::uint32_t Site(std::uint32_t n) { return (0x2110u << 16) | n; }

Common::Error ApiError(std::uint32_t site, const char* function, std::uint32_t code) {
  return MakeApiError(Site(site), kModuleId, function, code, FileErrorText(code));
}

Common::Error FileError(std::uint32_t site, std::uint32_t code) {
  return MakeFileError(Site(site), kModuleId, code);
}

DWORD Low(std::uint64_t v) { return static_cast<DWORD>(v); }
DWORD High(std::uint64_t v) { return static_cast<DWORD>(v >> 32); }

OVERLAPPED OverlappedAt(std::uint64_t offset) {
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.Offset = Low(offset);
  overlapped.OffsetHigh = High(offset);
  return overlapped;
}

// WriteFile on the file's handle.
class HandleWriter final : public win32_file_detail::PieceWriter {
 public:
  explicit HandleWriter(HANDLE handle) : handle_(handle) {}

  bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written,
             std::uint32_t& error) override {
    DWORD n = 0;
    const BOOL ok = WriteFile(handle_, data, size, &n, nullptr);
    error = ok ? 0 : GetLastError();
    written = n;
    return ok != FALSE;
  }

  bool GrowWorkingSet(std::uint32_t bytes) override {
    SIZE_T minimum = 0, maximum = 0;
    HANDLE process = GetCurrentProcess();
    if (!GetProcessWorkingSetSize(process, &minimum, &maximum)) return false;
    return SetProcessWorkingSetSize(process, minimum + bytes, maximum + bytes) != FALSE;
  }

 private:
  HANDLE handle_;
};

// Refusals after which a smaller piece may still go through.
bool IsRetryableRefusal(std::uint32_t error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_INVALID_PARAMETER:
    case ERROR_DISK_FULL:
      return true;
    default:
      return false;
  }
}

// The volume's FileFsSizeInformation record.
struct FsSizeInformation {
  LARGE_INTEGER totalUnits;
  LARGE_INTEGER freeUnits;
  ULONG sectorsPerUnit;
  ULONG bytesPerSector;
};
constexpr ULONG kFileFsSizeInformation = 3;
constexpr ULONG kFileIoPriorityHintInformation = 43;

struct AllocatedRange {
  std::uint64_t offset;
  std::uint64_t length;
};
static_assert(sizeof(AllocatedRange) == 16, "FILE_ALLOCATED_RANGE_BUFFER");

// The first allocated-range query has room for one range; each refusal for
// want of room multiplies it by 4, up to what one call can describe.
constexpr std::uint32_t kMaxRanges = 0xFFFFFFF0u / sizeof(AllocatedRange);

}  // namespace

// ---------------------------------------------------------------------------
// The piece-writing rules

namespace win32_file_detail {

namespace {

WriteOutcome Failed(WriteOutcome& out, std::uint32_t error) {
  out.failed = true;
  out.error = error;
  return out;
}

// The end of a write that no smaller piece got any further. A full disk is
// what a short count tells the caller; a piece refused for any other cause
// (access denied, write protected, a parameter the device will not take) is
// that cause, kept as the first refusal gave it, not a full disk.
WriteOutcome Refused(WriteOutcome& out, std::uint32_t refusal) {
  if (refusal == 0 || refusal == ERROR_DISK_FULL || refusal == ERROR_HANDLE_DISK_FULL) return out;
  return Failed(out, refusal);
}

}  // namespace

WriteOutcome WriteBuffered(PieceWriter& writer, const void* buffer, std::uint32_t size) {
  WriteOutcome out;
  const auto* position = static_cast<const std::uint8_t*>(buffer);
  std::uint32_t remaining = size;
  std::uint32_t piece = size;
  std::uint32_t refusal = 0;  // the first refusal since the last progress
  for (;;) {
    std::uint32_t written = 0, error = 0;
    const bool ok = writer.Write(position, piece, written, error);
    if (!ok && !IsRetryableRefusal(error)) return Failed(out, error);
    if (!ok && refusal == 0) refusal = error;
    if (written > piece) written = piece;  // never more than was asked
    if (written == 0) {
      if (piece < 2) return Refused(out, refusal);
      piece = (piece + 1) / 2;
      continue;
    }
    refusal = 0;
    out.count += written;
    remaining -= written;
    if (remaining == 0 || written != piece) return out;
    position += written;
    if (remaining <= piece) piece = (remaining + 1) / 2;
  }
}

WriteOutcome WriteUnbuffered(PieceWriter& writer, const void* buffer, std::uint32_t size,
                             std::uint32_t sectorSize, std::uint32_t& largestPiece) {
  WriteOutcome out;
  const std::uint32_t s = sectorSize;
  const auto* position = static_cast<const std::uint8_t*>(buffer);
  std::uint32_t remaining = size;
  std::uint32_t piece = size < largestPiece ? size : largestPiece;
  bool grown = false;
  std::uint32_t refusal = 0;  // the first refusal since the last progress
  for (;;) {
    piece = s * (piece / s);
    std::uint32_t written = 0, error = 0;
    const bool ok = writer.Write(position, piece, written, error);
    if (written > piece) written = piece;  // never more than was asked
    if (!ok && refusal == 0 && IsRetryableRefusal(error)) refusal = error;
    if (!ok && !IsRetryableRefusal(error)) {
      // Out of working set or of system resources: the same piece once more
      // after growing the working set, else smaller pieces from now on.
      if (error == ERROR_WORKING_SET_QUOTA) {
        if (written != 0) return Failed(out, error);
        if (!grown && writer.GrowWorkingSet(piece)) {
          grown = true;
          continue;  // the same piece again (it is whole sectors already)
        }
      } else if (error != ERROR_IO_DEVICE && error != ERROR_NO_SYSTEM_RESOURCES) {
        return Failed(out, error);
      }
      if (written != 0 || piece <= s) return Failed(out, error);
      piece = (piece + s) / 2;
      largestPiece = piece;
      continue;
    }
    if (written == 0) {
      if (piece <= s) return Refused(out, refusal);
      piece = (piece + s) / 2;
      continue;
    }
    refusal = 0;
    out.count += written;
    remaining -= written;
    if (remaining < s || written != piece) return out;
    position += written;
    if (piece >= remaining) piece = (s + remaining) / 2;
  }
}

}  // namespace win32_file_detail

// ---------------------------------------------------------------------------
// win32_file

win32_file::win32_file(HANDLE handle) noexcept : handle_(handle) {}

win32_file::~win32_file() { CloseHandle(handle_); }

void win32_file::read(void* buffer, std::uint32_t size, std::uint32_t& count) {
  count = 0;
  if (!is_ok()) return;
  DWORD n = 0;
  if (!ReadFile(handle_, buffer, size, &n, nullptr)) {
    fail(ApiError(1, "ReadFile", kFileReadError));
    return;
  }
  count = n <= size ? n : size;
}

void win32_file::lock(std::uint64_t offset, std::uint64_t length, DWORD flags) {
  if (!is_ok()) return;
  OVERLAPPED overlapped = OverlappedAt(offset);
  if (!LockFileEx(handle_, flags, 0, Low(length), High(length), &overlapped))
    fail(ApiError(2, "LockFileEx", kFileLockFailed));
}

void win32_file::lock_shared(std::uint64_t offset, std::uint64_t length, bool wait) {
  lock(offset, length, wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
}

void win32_file::lock_exclusive(std::uint64_t offset, std::uint64_t length, bool wait) {
  lock(offset, length, LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY));
}

void win32_file::unlock(std::uint64_t offset, std::uint64_t length) {
  if (!is_ok()) return;
  OVERLAPPED overlapped = OverlappedAt(offset);
  if (!UnlockFileEx(handle_, 0, Low(length), High(length), &overlapped))
    fail(ApiError(3, "UnlockFileEx", kFileLockFailed));
}

void win32_file::write(const void* buffer, std::uint32_t size, std::uint32_t& count) {
  count = 0;
  if (!is_ok()) return;
  HandleWriter writer(handle_);
  const win32_file_detail::WriteOutcome out =
      win32_file_detail::WriteBuffered(writer, buffer, size);
  count = out.count;
  if (out.failed) {
    SetLastError(out.error);
    fail(ApiError(4, "WriteFile", kFileWriteError));
  }
}

void win32_file::flush() {
  if (!is_ok()) return;
  if (!FlushFileBuffers(handle_)) fail(ApiError(5, "FlushFileBuffers", kFileWriteError));
}

void win32_file::set_size(std::uint64_t size) {
  if (!is_ok()) return;
  seek_set(static_cast<std::int64_t>(size));
  if (!is_ok()) return;
  if (!SetEndOfFile(handle_)) fail(ApiError(6, "SetEndOfFile", kFileWriteError));
}

std::uint64_t win32_file::seek(std::int64_t distance, DWORD method) {
  const auto d = static_cast<std::uint64_t>(distance);
  LONG high = static_cast<LONG>(High(d));
  // A position whose low half is 0xFFFFFFFF looks like a failure; only the
  // last error tells them apart, so it must not be left over from before.
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(handle_, static_cast<LONG>(Low(d)), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    store_error(ApiError(7, "SetFilePointer", kFileSeekError));
    return 0;
  }
  return static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32 | low;
}

std::uint64_t win32_file::seek_set(std::int64_t distance) { return seek(distance, FILE_BEGIN); }
std::uint64_t win32_file::seek_cur(std::int64_t distance) { return seek(distance, FILE_CURRENT); }
std::uint64_t win32_file::seek_end(std::int64_t distance) { return seek(distance, FILE_END); }

// ---------------------------------------------------------------------------
// Control requests

void win32_file::control(control_request* request) {
  if (!is_ok()) return;
  if (!request) {
    fail(FileError(8, kFileNotSupported));
    return;
  }
  switch (request->code) {
    case kControlGSEC:
      volume_sector(request);
      return;
    case kControlWIOC: {
      auto* r = static_cast<wioc_request*>(request);
      r->bytesReturned = 0;
      r->win32Error = 0;
      const NativeFileApi& api = BindNativeFileApi();
      // Old NT systems pass file-system controls of some file systems only
      // through the native call.
      static const bool nativePath = [&api] {
        const DWORD version = GetVersion();
        return !(version & 0x80000000u) && LOBYTE(LOWORD(version)) <= 4 && api.NtFsControlFile &&
               api.RtlNtStatusToDosError;
      }();
      if (nativePath && r->controlCode >= 0x90000 && r->controlCode <= 0x9FFFF) {
        IO_STATUS_BLOCK status{};
        const NTSTATUS result = api.NtFsControlFile(
            handle_, nullptr, nullptr, nullptr, &status, r->controlCode,
            const_cast<void*>(r->input), r->inputSize, r->output, r->outputSize);
        r->win32Error = api.RtlNtStatusToDosError(result);
        r->bytesReturned = static_cast<std::uint32_t>(status.Information);
        return;
      }
      DWORD bytes = 0;
      if (DeviceIoControl(handle_, r->controlCode, const_cast<void*>(r->input), r->inputSize,
                          r->output, r->outputSize, &bytes, nullptr)) {
        r->bytesReturned = bytes;
      } else {
        r->win32Error = GetLastError();
      }
      return;
    }
    case kControlSPHI:
      priority_hint(request);
      return;
    case kControlALCM:
      allocated_ranges(request);
      return;
    case kControlSFTM:
      set_times(request);
      return;
    case kControlCMPR: {
      const Common::Error error =
          SetHandleCompression(handle_, static_cast<cmpr_request*>(request)->compress != 0);
      if (error) fail(error);
      return;
    }
    case kControlSDAT:
      zero_range(request);
      return;
    default:
      rio_file::control(request);
      return;
  }
}

void win32_file::volume_sector(control_request* request) {
  auto* r = static_cast<gsec_request*>(request);
  r->sector = 0;
  r->found = 0;
  const NativeFileApi& api = BindNativeFileApi();
  if (!api.NtQueryVolumeInformationFile || !api.RtlNtStatusToDosError) {
    fail(FileError(9, kFileNotSupported));
    return;
  }
  FsSizeInformation info{};
  IO_STATUS_BLOCK status{};
  const NTSTATUS result = api.NtQueryVolumeInformationFile(handle_, &status, &info, sizeof info,
                                                           kFileFsSizeInformation);
  if (result != 0) {
    SetLastError(api.RtlNtStatusToDosError(result));
    fail(ApiError(10, "NtQueryVolumeInformationFile", kFileNotSupported));
    return;
  }
  const std::uint64_t p = seek_cur(0);
  if (!is_ok()) return;
  // A volume that reports no sector or unit size gives no position.
  if (info.bytesPerSector == 0 || info.sectorsPerUnit == 0 ||
      static_cast<std::int64_t>(p) < 0 || p % info.bytesPerSector != 0) {
    fail(FileError(11, kFileEndOfFile));
    return;
  }
  const std::uint64_t s = p / info.bytesPerSector;
  const std::uint64_t vcn = s / info.sectorsPerUnit;
  STARTING_VCN_INPUT_BUFFER input;
  input.StartingVcn.QuadPart = static_cast<LONGLONG>(vcn);
  RETRIEVAL_POINTERS_BUFFER output;
  static_assert(sizeof(RETRIEVAL_POINTERS_BUFFER) == 32, "one extent");
  std::memset(&output, 0, sizeof output);
  DWORD bytes = 0;
  if (!DeviceIoControl(handle_, FSCTL_GET_RETRIEVAL_POINTERS, &input, sizeof input, &output,
                       sizeof output, &bytes, nullptr) &&
      GetLastError() != ERROR_MORE_DATA) {
    fail(ApiError(12, "FSCTL_GET_RETRIEVAL_POINTERS", kFileEndOfFile));
    return;
  }
  const auto start = static_cast<std::uint64_t>(output.StartingVcn.QuadPart);
  const auto next = static_cast<std::uint64_t>(output.Extents[0].NextVcn.QuadPart);
  const auto lcn = static_cast<std::uint64_t>(output.Extents[0].Lcn.QuadPart);
  if (bytes >= sizeof output && output.ExtentCount != 0 && start <= vcn && vcn < next) {
    r->sector = (lcn + vcn - start) * info.sectorsPerUnit + s % info.sectorsPerUnit;
    r->found = 1;
    return;
  }
  fail(FileError(13, kFileEndOfFile));
}

void win32_file::allocated_ranges(control_request* request) {
  auto* r = static_cast<alcm_request*>(request);
  r->ranges = nullptr;
  AllocatedRange query{r->offset, r->length};
  std::uint32_t room = 1;
  for (;;) {
    const std::uint32_t capacity = room * static_cast<std::uint32_t>(sizeof(AllocatedRange));
    // The result block: a count, 32 bits of filler, then the ranges.
    auto* block = static_cast<std::uint8_t*>(std::malloc(8 + capacity));
    if (!block) {
      fail(FileError(14, kFileOutOfMemory));
      return;
    }
    DWORD bytes = 0;
    if (DeviceIoControl(handle_, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, block + 8,
                        capacity, &bytes, nullptr)) {
      if (bytes % sizeof(AllocatedRange) != 0 || bytes > capacity) {
        std::free(block);
        break;
      }
      const std::uint32_t count = bytes / sizeof(AllocatedRange);
      std::memcpy(block, &count, 4);
      std::memset(block + 4, 0, 4);
      r->ranges = block;
      store_error(Common::NoError);
      return;
    }
    std::free(block);
    if (GetLastError() != ERROR_MORE_DATA || room > kMaxRanges / 4) break;
    room *= 4;
  }
  fail(FileError(15, kFileNotSupported));
}

void win32_file::priority_hint(control_request* request) {
  auto* r = static_cast<sphi_request*>(request);
  const NativeFileApi& api = BindNativeFileApi();
  if (!api.NtSetInformationFile) {
    fail(FileError(16, kFileNotSupported));
    return;
  }
  IO_STATUS_BLOCK status{};
  ULONG hint = r->hint;
  const NTSTATUS result = api.NtSetInformationFile(handle_, &status, &hint, sizeof hint,
                                                   kFileIoPriorityHintInformation);
  if (result != 0) {
    Common::Error error = FileError(17, kFileWriteError);
    Common::AttachNtStatusCause(error, static_cast<std::uint32_t>(result));
    fail(error);
  }
}

void win32_file::set_times(control_request* request) {
  auto* r = static_cast<sftm_request*>(request);
  auto toFileTime = [](std::uint64_t ms) {
    const std::uint64_t ft = MsToFileTime(ms);
    FILETIME out;
    out.dwLowDateTime = Low(ft);
    out.dwHighDateTime = High(ft);
    return out;
  };
  const FILETIME modification = toFileTime(r->modificationTime);
  const FILETIME creation = toFileTime(r->creationTime);
  const FILETIME access = toFileTime(r->accessTime);
  if (!SetFileTime(handle_, &creation, &access, &modification))
    fail(ApiError(18, "SetFileTime", kFileWriteError));
}

void win32_file::zero_range(control_request* request) {
  auto* r = static_cast<sdat_request*>(request);
  DWORD bytes = 0;
  if (!DeviceIoControl(handle_, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr)) {
    fail(ApiError(19, "FSCTL_SET_SPARSE", kFileWriteError));
    return;
  }
  FILE_ZERO_DATA_INFORMATION zero;
  zero.FileOffset.QuadPart = static_cast<LONGLONG>(r->offset);
  zero.BeyondFinalZero.QuadPart = static_cast<LONGLONG>(r->offset + r->length);
  if (!DeviceIoControl(handle_, FSCTL_SET_ZERO_DATA, &zero, sizeof zero, nullptr, 0, &bytes,
                       nullptr))
    fail(ApiError(20, "FSCTL_SET_ZERO_DATA", kFileWriteError));
}

Common::Error SetHandleCompression(HANDLE handle, bool compress) noexcept {
  USHORT format = compress ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
  DWORD bytes = 0;
  if (DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &bytes,
                      nullptr))
    return Common::NoError;
  return ApiError(21, "FSCTL_SET_COMPRESSION", kFileNotSupported);
}

// ---------------------------------------------------------------------------
// win32_nocache_file

win32_nocache_file::win32_nocache_file(HANDLE handle, std::uint32_t sectorSize) noexcept
    : win32_file(handle), sectorSize_(sectorSize) {}

void win32_nocache_file::write(const void* buffer, std::uint32_t size, std::uint32_t& count) {
  count = 0;
  if (!is_ok()) return;
  if (sectorSize_ == 0) {
    fail(FileError(22, kFileNotSupported));
    return;
  }
  HandleWriter writer(handle());
  const win32_file_detail::WriteOutcome out = win32_file_detail::WriteUnbuffered(
      writer, buffer, size, sectorSize_, largestPiece_);
  count = out.count;
  if (out.failed) {
    SetLastError(out.error);
    fail(ApiError(23, "WriteFileNoCache", kFileWriteError));
  }
}

// ---------------------------------------------------------------------------
// Native functions

const NativeFileApi& BindNativeFileApi() noexcept {
  // Bound once; a second thread racing here stores the same values.
  static NativeFileApi api{};
  static bool bound = false;
  if (bound) return api;
  auto bind = [](auto& fn, const char* name) {
    fn = LookupSystemFunction<std::remove_reference_t<decltype(fn)>>("ntdll.dll", name);
  };
  bind(api.NtFsControlFile, "NtFsControlFile");
  bind(api.NtQueryVolumeInformationFile, "NtQueryVolumeInformationFile");
  bind(api.RtlNtStatusToDosError, "RtlNtStatusToDosError");
  bind(api.NtSetInformationFile, "NtSetInformationFile");
  bound = true;
  return api;
}
