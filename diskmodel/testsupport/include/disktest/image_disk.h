// An `Fdisk::SimpleDisk` backed by an image file, for the tests of every
// disk and file-system layer.
//
// Plain C++ file I/O, so the same disk works natively and under Wine. Reads
// and writes are counted; a disk can be made read-only and can be told to
// fail requests that touch chosen sector ranges.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/simple_disk.h"

namespace DiskTest {

// An injected failure applies to this operation, or to every operation.
constexpr std::uint32_t kAnyOp = 0;

struct IoCounters {
  std::uint64_t requests = 0;        // every request, of any kind, refused or not
  std::uint64_t reads = 0;           // read requests that reached the image
  std::uint64_t writes = 0;          // write requests that reached the image
  std::uint64_t sectorsRead = 0;
  std::uint64_t sectorsWritten = 0;
  std::uint64_t failed = 0;          // requests refused or failed, of any kind
};

class ImageDisk : public Fdisk::SimpleDisk {
 public:
  // Opens an existing image of 512- or 4096-byte sectors; the disk has as
  // many sectors as whole sectors fit in the file. The geometry is the one a
  // BIOS reports for large disks: 63 sectors per track, 255 heads.
  // Throws std::runtime_error when the file cannot be opened and
  // std::invalid_argument for another sector size.
  ImageDisk(const std::string& path, std::uint32_t sectorSize, bool readOnly = false);
  ~ImageDisk() override;

  // Creates (or truncates) `path` as a zero-filled image of `bytes` bytes.
  static void CreateImage(const std::string& path, std::uint64_t bytes);

  // Refused with 0x102001 when the request reaches past the last sector, the
  // disk is read-only (writes; cause ERROR_WRITE_PROTECT) or an injected
  // failure covers one of its sectors (nothing is transferred then). Code 6
  // succeeds without touching the image; other codes answer 0x100401.
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;

  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  bool ReadOnly() const { return readOnly_; }
  void SetGeometry(const Fdisk::Geometry& geometry) { geometry_ = geometry; }

  // Requests of `op` (kIoRead, kIoWrite or kAnyOp) that touch any sector of
  // [first, first + count) fail with `error` (default: 0x102001 with the
  // cause ERROR_CRC).
  void FailRange(std::uint32_t op, std::uint64_t first, std::uint64_t count,
                 const Common::Error& error = Common::Error());
  void ClearFailures() { failures_.clear(); }

  const IoCounters& Counters() const { return counters_; }
  void ResetCounters() { counters_ = IoCounters(); }
  const std::string& Path() const { return path_; }

 private:
  struct Failure {
    std::uint32_t op;
    std::uint64_t first;
    std::uint64_t count;
    Common::Error error;
  };
  const Failure* FindFailure(std::uint32_t op, std::uint64_t sector, std::uint64_t count) const;

  std::string path_;
  std::fstream file_;
  bool readOnly_;
  std::vector<Failure> failures_;
  IoCounters counters_;
};

}  // namespace DiskTest
