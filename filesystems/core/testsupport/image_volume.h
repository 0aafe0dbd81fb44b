// A volume device over an image file or a memory buffer, for tests and the
// fsimage tool: 512- or 4096-byte sectors, a byte offset of the volume inside
// the image, a read-only mode, injected read and write failures by sector
// range, and counters and a log of the calls, so that a test can see exactly
// what a driver and its block cache send to the device.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fdisk/simple_disk.h"
#include "filesystems/driver.h"
#include "foundation/sync.h"

namespace fstest {

class ImageVolume : public Fdisk::SimpleDisk, public filesystems::VolumeDeviceServices {
 public:
  struct Call {
    std::uint32_t op;
    std::uint64_t sector;
    std::uint64_t count;
  };
  struct Counters {
    std::uint64_t reads = 0, writes = 0;
    std::uint64_t bytesRead = 0, bytesWritten = 0;
  };

  // A volume of `sectors` sectors in memory, zero-filled.
  ImageVolume(std::uint64_t sectors, std::uint32_t sectorSize);
  // A volume inside an image file, starting `byteOffset` bytes in; its size
  // is the rest of the file. `Ok` tells whether the file could be opened.
  ImageVolume(const std::string& path, std::uint32_t sectorSize, std::uint64_t byteOffset,
              bool readOnly);
  ~ImageVolume() override;

  bool Ok() const { return ok_; }
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;

  // Fail every read or write that touches [first, first + count).
  void FailReads(std::uint64_t first, std::uint64_t count);
  void FailWrites(std::uint64_t first, std::uint64_t count);
  void ClearFailures();
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }

  Counters GetCounters();
  std::vector<Call> Log();
  void ClearLog();

  // Direct access to the bytes, bypassing counters and failures.
  std::vector<std::uint8_t> Peek(std::uint64_t sector, std::uint64_t count);
  void Poke(std::uint64_t sector, const void* data, std::uint64_t count);

  // The error code the device answers with: a Win32-style code wrapped like
  // the system's device errors.
  static constexpr std::uint32_t kDeviceErrorCode = 0x80070000u | 1117u;

  std::uint32_t unlockCalls = 0;
  std::uint32_t changedAreaCalls = 0;
  Common::Error Unlock() override;
  void NotifyChangedArea(std::uint64_t first, std::uint64_t count) override;

 private:
  bool Transfer(bool write, std::uint64_t sector, void* buffer, std::uint64_t count);
  static bool Touches(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges,
                      std::uint64_t sector, std::uint64_t count);

  Common::CriticalSection lock_;
  bool ok_ = true;
  bool readOnly_ = false;
  bool inMemory_;
  std::vector<std::uint8_t> memory_;
  std::fstream file_;
  std::uint64_t byteOffset_ = 0;
  std::uint64_t sectors_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> readFailures_, writeFailures_;
  Counters counters_;
  std::vector<Call> log_;
};

}  // namespace fstest
