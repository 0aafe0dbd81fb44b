// The volume side of the NT directory: what a `winnt_dir` reports about the
// volume that holds it, how it connects the network location it lies on,
// and the control requests that name its entries.
//
// Each operation is a function of the directory that returns its outcome;
// the directory's override stores it (directories hold the status of their
// most recent operation, files/dir.h). Like every NT directory call, each
// Windows call is made on an NT long path inside ImpersonationScope (network
// paths only) and Wow64RedirectionScope. Errors carry kNtDirModuleId.
//
// Windows-only header: it includes <windows.h>.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/error.h"
#include "files/control.h"
#include "files/win/nt_dir.h"

// ---------------------------------------------------------------------------
// Volume queries

// The mount-point root that holds the directory (GetVolumePathNameW; without
// it, the root of the directory's drive or share), in NT long form with its
// trailing separator. False when it cannot be had.
bool NtVolumePath(winnt_dir& dir, std::u16string& out);

// Total bytes, free bytes and bytes available to the caller, all 0 unless
// the query succeeds. Without GetDiskFreeSpaceExW or a path: 0x40001.
Common::Error NtDiskSpace(winnt_dir& dir, std::uint64_t& total, std::uint64_t& free,
                          std::uint64_t& available);

// The volume label into `buffer` of `length` units ("" on failure when
// there is room). Answers for volume roots and mount points; other
// directories get the system's error.
Common::Error NtVolumeLabel(winnt_dir& dir, char16_t* buffer, std::uint32_t length);

// Bytes per sector of the directory's volume (through the mount-point root
// for a directory that is none); 512 when it cannot be asked.
std::uint32_t NtSectorSize(winnt_dir& dir);

// The drive kind as a file_object_type (130-137); 137 when undetermined.
std::uint32_t NtDriveObjectType(winnt_dir& dir);

// ---------------------------------------------------------------------------
// Network connections

// Connects the network location of the directory (its server, its share, or
// the remembered connection of its drive letter) with the credentials.
// A drive already connected: NoError without connecting. A local drive:
// 0x4000e.
Common::Error NtNetConnect(winnt_dir& dir, const char16_t* user, const char16_t* password,
                           HWND owner);

// TruncateToServer: "\\server\share\dir" becomes "\\server" (true); any
// other name stays (false).
bool TruncateToServer(std::u16string& name);

// ---------------------------------------------------------------------------
// Control requests naming entries

// "STME": an entry's three times in milliseconds since 1970 (0: a zero
// FILETIME, which leaves that time as it is).
struct stme_request : control_request {
  stme_request() noexcept : control_request{kControlSTME} {}
  const char16_t* name = nullptr;
  std::uint64_t writeTime = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t accessTime = 0;
};

// "SSFN": an entry's new 8.3 name.
struct ssfn_request : control_request {
  ssfn_request() noexcept : control_request{kControlSSFN} {}
  const char16_t* name = nullptr;
  const char16_t* shortName = nullptr;
};

// "PDRN": rename the entry at the next restart, or delete it then when
// `newName` is null.
struct pdrn_request : control_request {
  pdrn_request() noexcept : control_request{kControlPDRN} {}
  const char16_t* name = nullptr;
  const char16_t* newName = nullptr;
};

// "SRSQ": the entry's security from a serialized SecurityDescriptorSet.
struct srsq_request : control_request {
  srsq_request() noexcept : control_request{kControlSRSQ} {}
  const char16_t* name = nullptr;
  const void* data = nullptr;
  std::uint32_t size = 0;
};

// "CRPT": encrypt (non-zero) or decrypt (0) the entry.
struct crpt_request : control_request {
  crpt_request() noexcept : control_request{kControlCRPT} {}
  const char16_t* name = nullptr;
  std::uint8_t encrypt = 0;
};

// "GFST": the file-system name of the directory's volume.
struct gfst_request : control_request {
  gfst_request() noexcept : control_request{kControlGFST} {}
  char16_t fileSystem[64] = {};  // result, NUL-terminated
};

// What the directory does with a request's outcome.
enum class NtControlOutcome {
  kNotHandled,  // not a request of the volume side: hand it on to win32_dir
  kStore,       // store the error (NoError on success)
  kKeep,        // success that leaves the directory's status as it was
};

// Performs "STME", "SSFN", "PDRN", "SRSQ", "CMPR", "CRPT" and "GFST".
// "SSFN" opens its handle through the directory, which then holds the
// outcome of that open.
NtControlOutcome NtControl(winnt_dir& dir, control_request* request, Common::Error& error);
