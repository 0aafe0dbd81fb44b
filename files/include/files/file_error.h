// Error codes of the file layer and the builders every file, directory and
// iterator implementation uses to make them.
//
// Every error the file layer builds has a `file_error_code` (facility 4) and,
// as text, the catalog entry that belongs to that code, read from
// `MessageTable` when the error is built (null when the slot is empty). A
// Win32 code or HRESULT that caused the failure is attached as the cause.
//
// Nothing here throws; builders that cannot allocate give the shared
// out-of-memory record of common/error.h.
#pragma once

#include <cstdint>

#include "common/error.h"

enum file_error_code : std::uint32_t {
  kFileReadError = 0x40001,            // "Error occurred while reading the file."
  kFileEndOfFile = 0x40002,            // "The end of the file has been reached."
  kFileWriteError = 0x40003,           // "Error occurred while writing the file."
  kFileDiskFull = 0x40004,             // "The disk is full."
  kFileSeekError = 0x40005,            // "Error occurred while searching in the file."
  kFileOutOfMemory = 0x40006,          // "Not enough memory to complete the operation."
  kFileOpenError = 0x40007,            // "Error occurred while opening the file."
  kFileDeleteError = 0x40008,          // "Error occurred while deleting the file."
  kFileRenameError = 0x40009,          // "Error occurred while renaming the file."
  kFileCreateError = 0x4000a,          // "Error occurred while creating the file."
  kFileDriveNotReady = 0x4000b,        // "The drive is not ready."
  kFileReadOnly = 0x4000c,             // "The file is read-only."
  kFileCorrupted = 0x4000d,            // "The file is corrupted."
  kFileNotSupported = 0x4000e,         // "The operation is not supported."
  kFileCanceled = 0x4000f,             // "Canceled."
  kFileDeviceBusy = 0x40010,           // "The device is busy."
  kFileNotFound = 0x40011,             // "The specified file does not exist."
  kFileAlreadyExists = 0x40013,        // "The file (folder) already exists."
  kFileAccessDenied = 0x40014,         // "Access to the file or folder is denied."
  kFileNetworkDisconnected = 0x40015,  // "Network disconnected."
  kFileLockFailed = 0x40017,           // "Failed to lock the file."
  kFileBackupError = 0x40019,          // "Error occurred while backing up."
  kFileRecoverError = 0x4001a,         // "Error occurred while recovering."
  kFileDecipherError = 0x4001b,        // "Error occurred while deciphering."
};

// The catalog entry of a file error code; 0 for a code that is not one.
std::uint32_t FileErrorMessageNumber(std::uint32_t code) noexcept;

// `CatalogText(FileErrorMessageNumber(code))`: the code's text as the catalog
// holds it now, or null.
const char16_t* FileErrorText(std::uint32_t code) noexcept;

// A plain error of `code` with its catalog text.
Common::Error MakeFileError(std::uint32_t locationId, std::uint32_t moduleId,
                            std::uint32_t code) noexcept;

// When `win32Code` is one of the system errors the file layer knows, replaces
// `code` and `text` by that file error and its catalog text; otherwise leaves
// both as the caller set them (ERROR_PATH_NOT_FOUND, 3, among them).
void Win32ErrorToFileError(std::uint32_t win32Code, std::uint32_t& code,
                           const char16_t*& text) noexcept;

// For a failed system call: reads the thread's last system error first, maps
// it with Win32ErrorToFileError over the defaults, builds a site-function
// record naming `function` (narrow, for example "ReadFile") and attaches the
// system error as its cause (0x80070000 | low 16 bits).
Common::Error MakeApiError(std::uint32_t locationId, std::uint32_t moduleId,
                           const char* function, std::uint32_t defaultCode,
                           const char16_t* defaultText) noexcept;

// For a failed COM or shell call: a wrapped Win32 code (high half 0x8007) is
// mapped with Win32ErrorToFileError from its low 16 bits; the HRESULT itself
// is attached unchanged as the cause.
Common::Error MakeHresultError(std::uint32_t locationId, std::uint32_t moduleId,
                               std::uint32_t hresult, std::uint32_t defaultCode,
                               const char16_t* defaultText) noexcept;

// MakeHresultError with a site-function-and-file record: the narrow function
// name and the UTF-16 path concerned.
Common::Error MakeHresultErrorWithPath(std::uint32_t locationId, std::uint32_t moduleId,
                                       std::uint32_t hresult, const char* function,
                                       const char16_t* path, std::uint32_t defaultCode,
                                       const char16_t* defaultText) noexcept;

// The calling thread's last system error: GetLastError() and SetLastError()
// on Windows; elsewhere a per-thread value (0 at thread start) that only
// these two functions touch, so that portable code and tests can drive
// MakeApiError the same way in both builds.
std::uint32_t LastSystemError() noexcept;
void SetLastSystemError(std::uint32_t code) noexcept;
