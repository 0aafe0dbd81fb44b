// The object model of the file layer: the virtual base `file_object` with its
// stored error, the control requests, and the file interfaces.
//
// Class tree ("virtual" = one shared sub-object however often inherited):
//
//   file_object
//   ├─ i_file        : virtual file_object          sequential input
//   ├─ o_file        : virtual file_object          sequential output
//   ├─ sized_file    : virtual file_object          known size, can restart
//   ├─ raccess_file  : virtual sized_file           positioning, unlock
//   ├─ si_file       : i_file, virtual sized_file   sized input
//   ├─ ri_file       : si_file, virtual raccess_file
//   ├─ ro_file       : o_file, virtual raccess_file
//   └─ rio_file      : ri_file, ro_file
//
// The directory side is in files/dir.h.
//
// Errors are stored, never thrown. Files (and directory iterators) keep the
// FIRST error that struck them: read, write, flush, lock, unlock, set_size
// and control return at once, doing nothing, while an error is stored; an
// operation that fails while none is stored stores its error. Positioning is
// the exception: seek_set, seek_cur and seek_end always run, and a failing
// seek replaces whatever was stored, so that a caller can still learn where
// a broken file stands. Directories instead hold the status of their most
// recent operation (files/dir.h). Read-only queries store nothing.
//
// Objects are not safe for concurrent use; errors may be shared between
// threads.
#pragma once

#include <cstdint>

#include "common/error.h"

// ---------------------------------------------------------------------------
// Control requests

// The request record passed by pointer to `file_object::control`. The code's
// four bytes, in memory order, are four ASCII capitals ("BKUP" is the bytes
// B, K, U, P: the little-endian value 0x50554B42). The fields after the code
// depend on it; results are written back into the same record. Concrete
// requests derive from this one and add their fields (files/control.h).
struct control_request {
  std::uint32_t code;
};

constexpr std::uint32_t ControlCode(char a, char b, char c, char d) noexcept {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

constexpr std::uint32_t kControlGSEC = ControlCode('G', 'S', 'E', 'C');  // volume sector of the offset
constexpr std::uint32_t kControlWIOC = ControlCode('W', 'I', 'O', 'C');  // pass an I/O control code
constexpr std::uint32_t kControlSPHI = ControlCode('S', 'P', 'H', 'I');  // I/O priority hint
constexpr std::uint32_t kControlALCM = ControlCode('A', 'L', 'C', 'M');  // allocated ranges
constexpr std::uint32_t kControlSFTM = ControlCode('S', 'F', 'T', 'M');  // set an open file's times
constexpr std::uint32_t kControlCMPR = ControlCode('C', 'M', 'P', 'R');  // compression on or off
constexpr std::uint32_t kControlSDAT = ControlCode('S', 'D', 'A', 'T');  // sparse, zero a range
constexpr std::uint32_t kControlSPWD = ControlCode('S', 'P', 'W', 'D');  // connect with credentials
constexpr std::uint32_t kControlGSYP = ControlCode('G', 'S', 'Y', 'P');  // system path / mount key
constexpr std::uint32_t kControlNCDR = ControlCode('N', 'C', 'D', 'R');  // the nocache_dir interface
constexpr std::uint32_t kControlSTME = ControlCode('S', 'T', 'M', 'E');  // set an entry's times
constexpr std::uint32_t kControlSSFN = ControlCode('S', 'S', 'F', 'N');  // set an entry's 8.3 name
constexpr std::uint32_t kControlPDRN = ControlCode('P', 'D', 'R', 'N');  // rename at next restart
constexpr std::uint32_t kControlBKUP = ControlCode('B', 'K', 'U', 'P');  // entry backup stream
constexpr std::uint32_t kControlRSTR = ControlCode('R', 'S', 'T', 'R');  // entry restore stream
constexpr std::uint32_t kControlSRSQ = ControlCode('S', 'R', 'S', 'Q');  // set security data
constexpr std::uint32_t kControlGRSQ = ControlCode('G', 'R', 'S', 'Q');  // get security data
constexpr std::uint32_t kControlCRPT = ControlCode('C', 'R', 'P', 'T');  // encrypt or decrypt
constexpr std::uint32_t kControlGFST = ControlCode('G', 'F', 'S', 'T');  // file-system name
constexpr std::uint32_t kControlGPHL = ControlCode('G', 'P', 'H', 'L');  // volume position of data
constexpr std::uint32_t kControlDMNT = ControlCode('D', 'M', 'N', 'T');  // write pending changes
constexpr std::uint32_t kControlMKFF = ControlCode('M', 'K', 'F', 'F');  // first root slots (FAT)
constexpr std::uint32_t kControlSYPR = ControlCode('S', 'Y', 'P', 'R');  // system-file protection
constexpr std::uint32_t kControlDFRG = ControlCode('D', 'F', 'R', 'G');  // contiguous first run
constexpr std::uint32_t kControlIBSI = ControlCode('I', 'B', 'S', 'I');  // NTFS file request

// ---------------------------------------------------------------------------
// file_object

class file_object {
 public:
  file_object() noexcept = default;
  file_object(const file_object&) = delete;
  file_object& operator=(const file_object&) = delete;
  virtual ~file_object();

  // Performs a control request. Base: not supported (0x4000e), keeping an
  // error already stored. Directories answer unknown codes with not
  // supported, replacing their status.
  virtual void control(control_request* request);

  // No error stored (null handle, or a record with code 0).
  bool is_ok() const noexcept;
  // A record with a non-zero code is stored.
  bool has_failed() const noexcept { return !is_ok(); }
  // The stored error, handed to the caller; the object then holds NoError.
  Common::Error take_error() noexcept;
  // The stored error, left in place.
  const Common::Error& error() const noexcept { return error_; }

 protected:
  // Replaces the stored error (NoError for success).
  void store_error(const Common::Error& error) noexcept;
  // Stores `error` only when no error is stored yet (the first-error rule).
  void store_first_error(const Common::Error& error) noexcept;
  // Stores NoError.
  void clear_error() noexcept;
  // Builds not supported (0x4000e with its text) and stores it, keeping an
  // existing error or replacing it.
  void store_not_supported(std::uint32_t locationId, std::uint32_t moduleId,
                           bool keepExisting) noexcept;

 private:
  Common::Error error_;
};

// ---------------------------------------------------------------------------
// File interfaces

class i_file : public virtual file_object {
 public:
  // Reads up to `size` bytes; `count` is set to 0 first and then to the
  // bytes read (0 at the end, which is no error).
  virtual void read(void* buffer, std::uint32_t size, std::uint32_t& count) = 0;

  // read, then stores 0x40002 (end of file) when no error is stored and
  // fewer (or more) than `size` bytes came back.
  void read_exact(void* buffer, std::uint32_t size);
};

class o_file : public virtual file_object {
 public:
  // Writes up to `size` bytes; `count` is set to 0 first. A short count is
  // not an error of write itself.
  virtual void write(const void* buffer, std::uint32_t size, std::uint32_t& count) = 0;
  // Base: does nothing.
  virtual void flush();

  // write, then stores 0x40004 (disk full) when no error is stored and the
  // count differs from `size`.
  void write_exact(const void* buffer, std::uint32_t size);
};

class sized_file : public virtual file_object {
 public:
  // Restarts at offset 0; returns the new position.
  virtual std::uint64_t rewind() = 0;
  // Size in bytes.
  virtual std::uint64_t size() = 0;
};

class raccess_file : public virtual sized_file, public virtual file_object {
 public:
  // Return the new position; 0 with the error stored (replacing any) when
  // the seek fails. Never refused because of an earlier error.
  virtual std::uint64_t seek_set(std::int64_t distance) = 0;
  virtual std::uint64_t seek_cur(std::int64_t distance) = 0;  // seek_cur(0): where it stands
  virtual std::uint64_t seek_end(std::int64_t distance) = 0;
  // Base: not supported, keeps.
  virtual void unlock(std::uint64_t offset, std::uint64_t length);

  // seek_set(0).
  std::uint64_t rewind() override;
  // seek_cur(0), seek_end(0), then back to where it stood.
  std::uint64_t size() override;
};

class si_file : public i_file, public virtual sized_file {};

class ri_file : public si_file, public virtual raccess_file {
 public:
  // Base: not supported, keeps.
  virtual void lock_shared(std::uint64_t offset, std::uint64_t length, bool wait);
};

class ro_file : public o_file, public virtual raccess_file {
 public:
  virtual void set_size(std::uint64_t size) = 0;
  // Base: not supported, keeps.
  virtual void lock_exclusive(std::uint64_t offset, std::uint64_t length, bool wait);
};

class rio_file : public ri_file, public ro_file {};
