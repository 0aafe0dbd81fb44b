// The one sector-addressed device interface of the disk code, and the heap
// buffers sectors are read into.
//
// Physical disks, partition windows, access views, error-simulating views and
// composite volumes are all `Fdisk::SimpleDisk` objects, so every layer can be
// stacked on every other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"

namespace Fdisk {

// Operation codes of `SimpleDisk::Io`.
constexpr std::uint32_t kIoRead = 2;
constexpr std::uint32_t kIoWrite = 3;
// A request that carries no data; windows and views pass it on unchanged.
constexpr std::uint32_t kIoInvalidate = 6;

// Cylinder/head/sector geometry: heads per cylinder = highestHead + 1.
struct Geometry {
  std::uint8_t sectorsPerTrack = 0;
  std::uint8_t highestHead = 0;
  std::uint64_t cylinders = 0;
};

bool operator==(const Geometry& a, const Geometry& b);
inline bool operator!=(const Geometry& a, const Geometry& b) { return !(a == b); }

// What views that copy another disk's geometry start from.
constexpr std::uint8_t kDefaultSectorsPerTrack = 63;
constexpr std::uint8_t kDefaultHighestHead = 15;

class SimpleDisk {
 public:
  virtual ~SimpleDisk();

  virtual std::uint32_t GetSectorSize() const;
  // The index of the LAST sector, not the count: a 1000-sector disk answers
  // 999. Callers that need the count add 1.
  virtual std::uint64_t GetSectorCount() const;
  virtual const Geometry& GetGeometry() const;
  // Transfers `count` sectors from `sector` on into or out of `buffer`
  // (count x sector size bytes). Failures are returned, never thrown; a
  // caller must not use a read buffer unless the result is null.
  virtual Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                           std::uint64_t count) = 0;
  virtual std::uint32_t Hint(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                             std::uint32_t d, std::uint32_t e, std::uint32_t f);

  SimpleDisk(const SimpleDisk&) = delete;
  SimpleDisk& operator=(const SimpleDisk&) = delete;

 protected:
  SimpleDisk();
  SimpleDisk(std::uint32_t sectorSize, std::uint64_t lastSector, const Geometry& geometry);

  std::uint32_t sectorSize_ = 0;
  std::uint64_t lastSector_ = 0;
  Geometry geometry_;
};

// An owned heap block (null when empty).
class ByteBuffer {
 public:
  ByteBuffer() = default;
  virtual ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  std::uint8_t* Data() const { return data_; }

 protected:
  void Free();
  std::uint8_t* data_ = nullptr;
};

// A block whose usable part starts on a multiple of `alignment`. Disk code
// reads and writes sectors through one of these, sized and aligned to the
// sector size, because Windows-backed devices transfer without copying.
class AlignedBuffer : public ByteBuffer {
 public:
  // Throws `Fdisk::Error` 0x100405 when memory is short, 0x100404 when the
  // alignment is not a power of two.
  AlignedBuffer(std::uint32_t size, std::uint32_t alignment);
  ~AlignedBuffer() override;

  std::uint8_t* Get() const { return aligned_; }
  std::size_t UsableSize() const { return usable_; }
  std::uint32_t Alignment() const { return alignment_; }

 private:
  std::uint8_t* aligned_ = nullptr;
  std::size_t usable_ = 0;
  std::uint32_t alignment_ = 0;
};

// A disk's extended geometry (the disk property "AdvancedLocus").
struct AdvancedLocus {
  std::uint8_t sectorsPerTrack = 0;
  std::uint8_t highestHead = 0;
  std::uint64_t cylinders = 0;
  std::uint64_t sectorTotal = 0;

  AdvancedLocus() = default;
  // cylinders = total / (highest head + 1) / sectors per track, rounding
  // down; 0 when there are no sectors per track to divide by.
  AdvancedLocus(std::uint8_t sectorsPerTrack, std::uint8_t highestHead,
                std::uint64_t sectorTotal);

  // The sector total aligned down to a track end under this geometry (the
  // end of the usable area of a new GPT or dynamic-disk layout); the total
  // itself when the geometry cannot align it.
  std::uint64_t AlignedEnd() const;

  Geometry ToGeometry() const;
};

bool operator==(const AdvancedLocus& a, const AdvancedLocus& b);
inline bool operator!=(const AdvancedLocus& a, const AdvancedLocus& b) { return !(a == b); }

}  // namespace Fdisk
