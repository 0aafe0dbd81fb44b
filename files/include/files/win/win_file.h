// Files of the live Windows file system: `win32_file`, a read/write file
// over one Win32 handle, and `win32_nocache_file`, the same over a handle
// opened with FILE_FLAG_NO_BUFFERING, whose writes are cut to whole sectors.
// The Windows directories open the handle and hand it over; the file owns it
// and closes it when destroyed.
//
// Besides the file interfaces a `win32_file` answers the control requests
// "GSEC", "WIOC", "SPHI", "ALCM", "SFTM", "CMPR" and "SDAT" (files/control.h).
// Every failure is stored in the file under the first-error rule of
// files/file_object.h; nothing throws.
//
// Windows-only header: it includes <windows.h>.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

#include "common/error.h"
#include "files/file_object.h"

// Module id of every error a Windows file builds.
constexpr std::uint32_t kWin32FileModuleId = 0x7ceb2cdc;

class win32_file : public rio_file {
 public:
  // Takes ownership of the handle; starts without error.
  explicit win32_file(HANDLE handle) noexcept;
  ~win32_file() override;

  HANDLE handle() const noexcept { return handle_; }

  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override;
  void lock_shared(std::uint64_t offset, std::uint64_t length, bool wait) override;
  // Writes in pieces: a piece that the system refuses for lack of room or
  // access is retried in halves, and a short count (not an error) reports
  // what could not be written.
  void write(const void* buffer, std::uint32_t size, std::uint32_t& count) override;
  void flush() override;
  void set_size(std::uint64_t size) override;
  void lock_exclusive(std::uint64_t offset, std::uint64_t length, bool wait) override;
  std::uint64_t seek_set(std::int64_t distance) override;
  std::uint64_t seek_cur(std::int64_t distance) override;
  std::uint64_t seek_end(std::int64_t distance) override;
  void unlock(std::uint64_t offset, std::uint64_t length) override;
  void control(control_request* request) override;

 protected:
  // Stores `error` unless an error is stored already.
  void fail(const Common::Error& error) noexcept { store_first_error(error); }

 private:
  std::uint64_t seek(std::int64_t distance, DWORD method);
  void lock(std::uint64_t offset, std::uint64_t length, DWORD flags);

  void volume_sector(control_request* request);
  void allocated_ranges(control_request* request);
  void priority_hint(control_request* request);
  void set_times(control_request* request);
  void zero_range(control_request* request);

  HANDLE handle_;
};

class win32_nocache_file : public win32_file {
 public:
  // Takes ownership of the handle. Every transfer is a multiple of
  // `sectorSize`; a size of 0 makes every write fail with 0x4000e.
  win32_nocache_file(HANDLE handle, std::uint32_t sectorSize) noexcept;

  // Writes whole sectors only; a tail shorter than a sector is left unwritten
  // and shows as a short count. When the system refuses a large unbuffered
  // write for lack of resources, the piece is halved and the smaller size is
  // kept for later writes. Reads are passed to the system as they come: the
  // caller's buffer and size must suit the unbuffered handle.
  void write(const void* buffer, std::uint32_t size, std::uint32_t& count) override;

  std::uint32_t sector_size() const noexcept { return sectorSize_; }
  std::uint32_t largest_piece() const noexcept { return largestPiece_; }

 private:
  std::uint32_t sectorSize_;
  std::uint32_t largestPiece_ = 0xFFFFFFFFu;
};

// "CMPR" of a handle: FSCTL_SET_COMPRESSION with the default format or none.
// NoError, or the failure (0x4000e and the Win32 cause, naming
// "FSCTL_SET_COMPRESSION"). Shared with the NT directories.
Common::Error SetHandleCompression(HANDLE handle, bool compress) noexcept;

// ---------------------------------------------------------------------------
// Native functions of ntdll.dll used by the control requests, bound once
// per process (each null when missing).

struct NativeFileApi {
  NTSTATUS(NTAPI* NtFsControlFile)(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                   PVOID apcContext, PIO_STATUS_BLOCK status, ULONG code,
                                   PVOID input, ULONG inputLength, PVOID output,
                                   ULONG outputLength);
  NTSTATUS(NTAPI* NtQueryVolumeInformationFile)(HANDLE file, PIO_STATUS_BLOCK status,
                                                PVOID information, ULONG length,
                                                ULONG informationClass);
  ULONG(NTAPI* RtlNtStatusToDosError)(NTSTATUS status);
  NTSTATUS(NTAPI* NtSetInformationFile)(HANDLE file, PIO_STATUS_BLOCK status,
                                        PVOID information, ULONG length,
                                        ULONG informationClass);
};

// Binds the functions on the first call (marked done even when ntdll.dll is
// not found) and returns them.
const NativeFileApi& BindNativeFileApi() noexcept;

// ---------------------------------------------------------------------------
// The piece-writing rules of the two write operations, apart from the handle
// so that every path through them can be driven.

namespace win32_file_detail {

// One WriteFile of `size` bytes: true on success; on failure false with the
// system's error code. `written` is what the system reported either way.
class PieceWriter {
 public:
  virtual bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written,
                     std::uint32_t& error) = 0;
  // Raises both working-set limits of the process by `bytes`; false when
  // either step fails.
  virtual bool GrowWorkingSet(std::uint32_t bytes) = 0;

 protected:
  ~PieceWriter() = default;
};

struct WriteOutcome {
  std::uint32_t count = 0;  // bytes written
  bool failed = false;      // an error the caller must store
  std::uint32_t error = 0;  // the system's code of that error
};

// The buffered rule: refused pieces (access denied, write protected, disk
// full, invalid parameter) are retried in halves down to one byte; a short
// write ends the call without error. When not even one byte goes, a full
// disk is left to the short count; any other refusal fails the call with
// the first refusal's code.
WriteOutcome WriteBuffered(PieceWriter& writer, const void* buffer, std::uint32_t size);

// The unbuffered rule over whole sectors of `sectorSize` (not 0), starting
// with pieces of at most `largestPiece`, which is lowered when the system
// runs out of resources for a large piece. Refusals end as in the buffered
// rule, at one sector.
WriteOutcome WriteUnbuffered(PieceWriter& writer, const void* buffer, std::uint32_t size,
                             std::uint32_t sectorSize, std::uint32_t& largestPiece);

}  // namespace win32_file_detail
