// Backup and restore of live Windows entries ("BKUP" and "RSTR"): the owned
// handles and privileges they need, the input stream over BackupRead, the
// pump that copies a BackupRead stream into a sink, and the entry backup and
// restore themselves.
//
// BackupRead, BackupSeek and BackupWrite are reached through the Backup*Call
// functions below: they use the system's calls and, for a context the
// system refuses with ERROR_NOT_SUPPORTED before it read or wrote anything,
// this system's own stand-in (backup_api_standin_win.cpp), which produces
// and consumes the same stream format for the data, security and reparse
// records.
//
// Windows-only header: it includes <windows.h>.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/error.h"
#include "files/backup.h"
#include "files/backup_stream.h"
#include "files/file_object.h"

// ---------------------------------------------------------------------------
// The three calls, system or stand-in

BOOL BackupReadCall(HANDLE file, BYTE* buffer, DWORD size, DWORD* read, BOOL abort,
                    BOOL processSecurity, void** context);
BOOL BackupSeekCall(HANDLE file, DWORD low, DWORD high, DWORD* lowSeeked, DWORD* highSeeked,
                    void** context);
BOOL BackupWriteCall(HANDLE file, BYTE* buffer, DWORD size, DWORD* written, BOOL abort,
                     BOOL processSecurity, void** context);

namespace backup_standin {

// The stand-in's own calls, with the signatures and the meaning of the
// system's. Exposed so that the tests can drive them directly.
BOOL Read(HANDLE file, BYTE* buffer, DWORD size, DWORD* read, BOOL abort,
          BOOL processSecurity, void** context);
BOOL Seek(HANDLE file, DWORD low, DWORD high, DWORD* lowSeeked, DWORD* highSeeked,
          void** context);
BOOL Write(HANDLE file, BYTE* buffer, DWORD size, DWORD* written, BOOL abort,
           BOOL processSecurity, void** context);
// True when `context` is one of the stand-in's.
bool Owns(void* context);

}  // namespace backup_standin

// ---------------------------------------------------------------------------
// Owned handles and privileges

// A Win32 file handle that the backup code owns.
class FileHandle : public file_object {
 public:
  FileHandle() = default;
  ~FileHandle() override { Close(); }

  // Closes what was held, remembers `path` (not owned) and opens it inside
  // the call scopes. A failure is stored: 0x40007 for OPEN_EXISTING, else
  // 0x4000a ("CreateFileW" and the path).
  bool Open(const char16_t* path, DWORD access, DWORD disposition, DWORD flags, DWORD share);
  // Closes a valid handle; with delete-on-close set, deletes the entry
  // (DeleteFileW, else RemoveDirectoryW).
  void Close();

  HANDLE handle() const noexcept { return handle_; }
  bool valid() const noexcept {
    return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
  }
  void set_delete_on_close(bool on) noexcept { deleteOnClose_ = on; }
  bool delete_on_close() const noexcept { return deleteOnClose_; }

 private:
  const char16_t* path_ = nullptr;
  bool deleteOnClose_ = false;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A raw encrypted-file context (OpenEncryptedFileRawW), closed on
// destruction. A failure to open is stored (0x40007).
class NTFSEncryptedFile : public file_object {
 public:
  NTFSEncryptedFile(const char16_t* path, ULONG flags);
  ~NTFSEncryptedFile() override;
  void* context() const noexcept { return context_; }

 private:
  void* context_ = nullptr;
};

// Enables SeBackupPrivilege / SeRestorePrivilege for the process, once: after
// a success later calls return success at once; a failure is tried again on
// the next call. A grant the token does not hold (AdjustTokenPrivileges
// answering ERROR_NOT_ALL_ASSIGNED) is a failure.
Common::Error EnableBackupPrivilege();
Common::Error EnableRestorePrivilege();

// ---------------------------------------------------------------------------
// BackupRead as an input stream, and the pump

class NTBackupStream : public ri_file {
 public:
  // `handle` and `context` are not owned.
  NTBackupStream(HANDLE handle, bool processSecurity, BackupContext& context) noexcept
      : handle_(handle), security_(processSecurity), context_(context) {}
  // Releases the BackupRead context; the handle stays open.
  ~NTBackupStream() override;

  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override;
  // Moves forward inside the current record only; the position tells how
  // far it went.
  std::uint64_t seek_cur(std::int64_t distance) override;
  // Not supported (0x4000e): the position is returned unchanged.
  std::uint64_t seek_set(std::int64_t distance) override;
  std::uint64_t seek_end(std::int64_t distance) override;
  std::uint64_t rewind() override;
  std::uint64_t size() override;

  std::uint64_t position() const noexcept { return position_; }

 private:
  HANDLE handle_;
  bool security_;
  BackupContext& context_;
  void* backupContext_ = nullptr;
  std::uint64_t position_ = 0;
};

// Copies the whole BackupRead stream of `handle` into `sink`, chunk by chunk,
// and releases the BackupRead context on every path.
Common::Error PumpBackupRead(HANDLE handle, file_backup_stream& sink, BackupContext& context,
                             bool processSecurity);

// ---------------------------------------------------------------------------
// Entry backup and restore

// Writes the items of the entry at `path` (an NT path) into `sink`.
Common::Error BackupFileToStream(const char16_t* path, BackupSink* sink,
                                 BackupProgress* progress, std::uint32_t flags);

// Re-creates the entry at `path` from the items of `source`.
Common::Error RestoreFileFromStream(const char16_t* path, BackupSource* source,
                                    BackupProgress* progress, std::uint32_t flags);

// True when the existing entry at `path` already holds exactly the Windows
// backup stream read from `item`.
bool StreamsAlreadyEqual(i_file& item, const char16_t* path);
