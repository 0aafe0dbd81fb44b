// The sector-I/O interface's common part, the buffers and the extended
// geometry.
#include "fdisk/simple_disk.h"

#include <limits>
#include <new>

#include "fdisk/chs.h"
#include "fdisk/error.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0x4101;
// The buffer's allocation failure keeps the identity the callers know.
constexpr std::uint32_t kBufferModuleId = 0x8C0C7035;
constexpr std::uint32_t kOutOfMemoryLocation = 0xDE7C632E;
}  // namespace

bool operator==(const Geometry& a, const Geometry& b) {
  return a.sectorsPerTrack == b.sectorsPerTrack && a.highestHead == b.highestHead &&
         a.cylinders == b.cylinders;
}

SimpleDisk::SimpleDisk() {
  geometry_.sectorsPerTrack = kDefaultSectorsPerTrack;
  geometry_.highestHead = kDefaultHighestHead;
}

SimpleDisk::SimpleDisk(std::uint32_t sectorSize, std::uint64_t lastSector,
                       const Geometry& geometry)
    : sectorSize_(sectorSize), lastSector_(lastSector), geometry_(geometry) {}

SimpleDisk::~SimpleDisk() = default;

std::uint32_t SimpleDisk::GetSectorSize() const { return sectorSize_; }
std::uint64_t SimpleDisk::GetSectorCount() const { return lastSector_; }
const Geometry& SimpleDisk::GetGeometry() const { return geometry_; }

std::uint32_t SimpleDisk::Hint(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                               std::uint32_t, std::uint32_t) {
  return 0;
}

ByteBuffer::~ByteBuffer() { Free(); }

void ByteBuffer::Free() {
  delete[] data_;
  data_ = nullptr;
}

AlignedBuffer::AlignedBuffer(std::uint32_t size, std::uint32_t alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    ThrowError((kModuleId << 16) | 1, kModuleId, kErrInvalidParameter, Msg::kInvalidParameter);
  }
  const std::uint64_t total = std::uint64_t(size) + alignment - 1;
  if (total > std::numeric_limits<std::size_t>::max()) {
    ThrowError(kOutOfMemoryLocation, kBufferModuleId, kErrOutOfMemory, Msg::kOutOfMemory);
  }
  Free();
  data_ = new (std::nothrow) std::uint8_t[total == 0 ? 1 : std::size_t(total)];
  if (data_ == nullptr) {
    ThrowError(kOutOfMemoryLocation, kBufferModuleId, kErrOutOfMemory, Msg::kOutOfMemory);
  }
  const std::uintptr_t raw = reinterpret_cast<std::uintptr_t>(data_);
  const std::uintptr_t mask = std::uintptr_t(alignment) - 1;
  const std::uintptr_t skip = ((raw + mask) & ~mask) - raw;
  aligned_ = data_ + skip;
  usable_ = std::size_t(total) - skip;
  alignment_ = alignment;
}

AlignedBuffer::~AlignedBuffer() = default;

AdvancedLocus::AdvancedLocus(std::uint8_t spt, std::uint8_t head, std::uint64_t total)
    : sectorsPerTrack(spt), highestHead(head), sectorTotal(total) {
  cylinders = spt == 0 ? 0 : total / (std::uint64_t(head) + 1) / spt;
}

Geometry AdvancedLocus::ToGeometry() const {
  Geometry g;
  g.sectorsPerTrack = sectorsPerTrack;
  g.highestHead = highestHead;
  g.cylinders = cylinders;
  return g;
}

std::uint64_t AdvancedLocus::AlignedEnd() const {
  std::uint64_t end = sectorTotal;
  AlignLba(kAlignDownTrackEnd, end, ToGeometry());
  return end;
}

bool operator==(const AdvancedLocus& a, const AdvancedLocus& b) {
  return a.sectorsPerTrack == b.sectorsPerTrack && a.highestHead == b.highestHead &&
         a.cylinders == b.cylinders && a.sectorTotal == b.sectorTotal;
}

}  // namespace Fdisk
