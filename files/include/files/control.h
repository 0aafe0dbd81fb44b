// Request records of the control codes whose fields the Windows files and
// directories share. Each derives from `control_request` and sets `code` in
// its constructor; results are written back into the record by the handler.
// Codes whose fields belong to one handler alone (the NT directory's and the
// mounted file systems') are declared with that handler.
#pragma once

#include <cstdint>

#include "files/file_object.h"

class nocache_dir;

// "GSEC": the volume sector that holds the file's current offset.
struct gsec_request : control_request {
  gsec_request() noexcept : control_request{kControlGSEC} {}
  std::uint64_t sector = 0;  // result
  std::uint8_t found = 0;    // result: 1 when found
};

// "WIOC": an I/O control code passed to the file's handle. The file's error
// is left alone; the outcome is in the last two fields.
struct wioc_request : control_request {
  wioc_request() noexcept : control_request{kControlWIOC} {}
  std::uint32_t controlCode = 0;
  const void* input = nullptr;
  std::uint32_t inputSize = 0;
  void* output = nullptr;
  std::uint32_t outputSize = 0;
  std::uint32_t bytesReturned = 0;  // result
  std::uint32_t win32Error = 0;     // result
};

// "SPHI": the I/O priority hint of the handle.
struct sphi_request : control_request {
  sphi_request() noexcept : control_request{kControlSPHI} {}
  std::uint32_t hint = 0;
};

// "ALCM": the allocated ranges of a byte range. The result is a new block
// owned by the caller (free it with std::free): a 32-bit range count, 32 bits
// of filler, then that many {u64 offset, u64 length} pairs.
struct alcm_request : control_request {
  alcm_request() noexcept : control_request{kControlALCM} {}
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  void* ranges = nullptr;  // result
};

// "SFTM": the three times of an open file, in milliseconds since 1970 (0
// leaves a time as it is).
struct sftm_request : control_request {
  sftm_request() noexcept : control_request{kControlSFTM} {}
  std::uint64_t modificationTime = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t accessTime = 0;
};

// "CMPR": compression on (non-zero) or off (0).
struct cmpr_request : control_request {
  cmpr_request() noexcept : control_request{kControlCMPR} {}
  std::uint8_t compress = 0;
};

// "SDAT": make the file sparse and zero a range.
struct sdat_request : control_request {
  sdat_request() noexcept : control_request{kControlSDAT} {}
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// "SPWD" and "GSYP" of the Windows and shell directories. "SPWD" connects
// the directory's network location (or `path`'s, when given) with the two
// credential texts, handed on in this order; "GSYP" sets `path` to the
// directory's own path text (owned by the directory).
struct path_request : control_request {
  explicit path_request(std::uint32_t requestCode) noexcept : control_request{requestCode} {}
  const char16_t* first = nullptr;
  const char16_t* second = nullptr;
  const char16_t* path = nullptr;
};

// "NCDR": the directory's nocache_dir interface, or null.
struct ncdr_request : control_request {
  ncdr_request() noexcept : control_request{kControlNCDR} {}
  nocache_dir* result = nullptr;
};
