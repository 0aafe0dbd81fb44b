// Sector devices in memory for the tests and fuzz targets of every disk
// layer, and a model disk over one.
//
// A memory disk is dense (one block of bytes, for small disks that tests
// look into) or sparse (only the sectors written or put are kept, the rest
// read as zeros: large disks for the fuzz targets, where the input says
// which sectors hold what). Both count their requests the way an image disk
// does and log every write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "common/error.h"
#include "disktest/image_disk.h"
#include "disktest/test_disk.h"
#include "fdisk/simple_disk.h"

namespace DiskTest {

enum class Storage { kDense, kSparse };

class MemoryDisk : public Fdisk::SimpleDisk {
 public:
  // `sectors` of `sectorSize` bytes (a power of two from 256 on; anything
  // else throws std::invalid_argument, which also catches the two counts
  // handed over the wrong way round), all zero. Geometry as ImageDisk's.
  explicit MemoryDisk(std::uint64_t sectors, std::uint32_t sectorSize = 512,
                      Storage storage = Storage::kDense);
  ~MemoryDisk() override;

  // Refused with 0x102001, nothing transferred, when the request reaches
  // past the last sector or is larger than the request limit. Other op
  // codes succeed without touching the bytes.
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;

  // The bytes of sector `n` (which must lie on the disk), to look at or
  // change behind the disk's back; on a sparse disk the sector is kept from
  // then on. Not counted.
  std::uint8_t* Sector(std::uint64_t n);
  // Copies `size` bytes to byte `offset`, across sectors; false (nothing
  // copied) when they do not fit on the disk. Not counted.
  bool Put(std::uint64_t offset, const void* bytes, std::size_t size);

  void SetGeometry(const Fdisk::Geometry& geometry) { geometry_ = geometry; }
  // Requests of more than `bytes` bytes are refused (0: no limit).
  void SetRequestLimit(std::uint64_t bytes) { requestLimit_ = bytes; }

  const IoCounters& Counters() const { return counters_; }
  void ResetCounters() { counters_ = IoCounters(); }
  // Every write that reached the bytes: first sector, sector count.
  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Writes() const { return writes_; }
  void ClearWrites() { writes_.clear(); }
  // Sectors a sparse disk keeps (dense: every sector).
  std::size_t KeptSectors() const;

 private:
  bool sparse_;
  std::uint64_t requestLimit_ = 0;
  std::vector<std::uint8_t> dense_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> kept_;
  IoCounters counters_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> writes_;
};

// A model disk that owns a memory disk.
class MemoryModelDisk : public TestDisk {
 public:
  explicit MemoryModelDisk(std::uint64_t sectors, std::uint32_t sectorSize = 512,
                           Storage storage = Storage::kDense);
  ~MemoryModelDisk() override;
  MemoryDisk& Memory() { return *memory_; }

 private:
  MemoryDisk* memory_;  // owned by the TestDisk
};

}  // namespace DiskTest
