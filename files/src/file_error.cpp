// File error codes, their catalog entries, and the builders that turn system
// failures into them.
#include "files/file_error.h"

#include <cstddef>

#include "foundation/message_table.h"

namespace {

struct FileErrorEntry {
  std::uint32_t code;
  std::uint32_t message;
};

constexpr FileErrorEntry kFileErrors[] = {
    {kFileReadError, 1408},       {kFileEndOfFile, 1381},
    {kFileWriteError, 1428},      {kFileDiskFull, 1376},
    {kFileSeekError, 1416},       {kFileOutOfMemory, 1404},
    {kFileOpenError, 1403},       {kFileDeleteError, 1413},
    {kFileRenameError, 1414},     {kFileCreateError, 1372},
    {kFileDriveNotReady, 1401},   {kFileReadOnly, 1407},
    {kFileCorrupted, 1371},       {kFileNotSupported, 1425},
    {kFileCanceled, 1365},        {kFileDeviceBusy, 1374},
    {kFileNotFound, 1399},        {kFileAlreadyExists, 1360},
    {kFileAccessDenied, 1359},    {kFileNetworkDisconnected, 1393},
    {kFileLockFailed, 1392},      {kFileBackupError, 1361},
    {kFileRecoverError, 1415},    {kFileDecipherError, 1373},
};

struct Win32Mapping {
  std::uint32_t win32;
  std::uint32_t code;
};

// The system errors the file layer gives a meaning of its own; every other
// one (ERROR_PATH_NOT_FOUND included) keeps the caller's default.
constexpr Win32Mapping kWin32Mappings[] = {
    {18, kFileEndOfFile},             // ERROR_NO_MORE_FILES
    {38, kFileEndOfFile},             // ERROR_HANDLE_EOF
    {39, kFileDiskFull},              // ERROR_HANDLE_DISK_FULL
    {112, kFileDiskFull},             // ERROR_DISK_FULL
    {8, kFileOutOfMemory},            // ERROR_NOT_ENOUGH_MEMORY
    {123, kFileRenameError},          // ERROR_INVALID_NAME
    {21, kFileDriveNotReady},         // ERROR_NOT_READY
    {19, kFileReadOnly},              // ERROR_WRITE_PROTECT
    {1, kFileNotSupported},           // ERROR_INVALID_FUNCTION
    {1005, kFileNotSupported},        // ERROR_UNRECOGNIZED_VOLUME
    {1223, kFileCanceled},            // ERROR_CANCELLED
    {2, kFileNotFound},               // ERROR_FILE_NOT_FOUND
    {183, kFileAlreadyExists},        // ERROR_ALREADY_EXISTS
    {5, kFileAccessDenied},           // ERROR_ACCESS_DENIED
    {32, kFileAccessDenied},          // ERROR_SHARING_VIOLATION
    {1219, kFileAccessDenied},        // ERROR_SESSION_CREDENTIAL_CONFLICT
    {67, kFileNetworkDisconnected},   // ERROR_BAD_NET_NAME
    {1203, kFileNetworkDisconnected}, // ERROR_NO_NET_OR_BAD_PATH
    {1231, kFileNetworkDisconnected}, // ERROR_NETWORK_UNREACHABLE
    {1232, kFileNetworkDisconnected}, // ERROR_HOST_UNREACHABLE
    {33, kFileLockFailed},            // ERROR_LOCK_VIOLATION
};

constexpr std::uint32_t kWrappedWin32Mask = 0xFFFF0000u;
constexpr std::uint32_t kWrappedWin32Facility = 0x80070000u;

// The code and text an HRESULT-based builder starts from.
void MapHresult(std::uint32_t hresult, std::uint32_t& code, const char16_t*& text) noexcept {
  if ((hresult & kWrappedWin32Mask) == kWrappedWin32Facility) {
    Win32ErrorToFileError(hresult & 0xFFFFu, code, text);
  }
}

}  // namespace

std::uint32_t FileErrorMessageNumber(std::uint32_t code) noexcept {
  for (const FileErrorEntry& entry : kFileErrors) {
    if (entry.code == code) return entry.message;
  }
  return 0;
}

const char16_t* FileErrorText(std::uint32_t code) noexcept {
  const std::uint32_t number = FileErrorMessageNumber(code);
  return number ? CatalogText(number) : nullptr;
}

Common::Error MakeFileError(std::uint32_t locationId, std::uint32_t moduleId,
                            std::uint32_t code) noexcept {
  return Common::Error(locationId, moduleId, code, FileErrorText(code));
}

void Win32ErrorToFileError(std::uint32_t win32Code, std::uint32_t& code,
                           const char16_t*& text) noexcept {
  for (const Win32Mapping& mapping : kWin32Mappings) {
    if (mapping.win32 == win32Code) {
      code = mapping.code;
      text = FileErrorText(mapping.code);
      return;
    }
  }
}

Common::Error MakeApiError(std::uint32_t locationId, std::uint32_t moduleId,
                           const char* function, std::uint32_t defaultCode,
                           const char16_t* defaultText) noexcept {
  // Read before anything else can overwrite it.
  const std::uint32_t win32 = LastSystemError();
  std::uint32_t code = defaultCode;
  const char16_t* text = defaultText;
  Win32ErrorToFileError(win32, code, text);
  Common::Error error = Common::Error::FromRecord(
      Common::NewSiteFunctionRecord(locationId, moduleId, code, text, function));
  Common::AttachWin32Cause(error, win32);
  return error;
}

Common::Error MakeHresultError(std::uint32_t locationId, std::uint32_t moduleId,
                               std::uint32_t hresult, std::uint32_t defaultCode,
                               const char16_t* defaultText) noexcept {
  std::uint32_t code = defaultCode;
  const char16_t* text = defaultText;
  MapHresult(hresult, code, text);
  Common::Error error(locationId, moduleId, code, text);
  Common::AttachHresultCause(error, hresult);
  return error;
}

Common::Error MakeHresultErrorWithPath(std::uint32_t locationId, std::uint32_t moduleId,
                                       std::uint32_t hresult, const char* function,
                                       const char16_t* path, std::uint32_t defaultCode,
                                       const char16_t* defaultText) noexcept {
  std::uint32_t code = defaultCode;
  const char16_t* text = defaultText;
  MapHresult(hresult, code, text);
  Common::Error error = Common::Error::FromRecord(Common::NewSiteFunctionFileRecordWide(
      locationId, moduleId, code, text, function, path));
  Common::AttachHresultCause(error, hresult);
  return error;
}
