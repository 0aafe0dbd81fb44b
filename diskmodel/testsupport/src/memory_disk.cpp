// Memory disks for tests and fuzz targets.
#include "disktest/memory_disk.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "fdisk/error.h"

namespace DiskTest {
namespace {
constexpr std::uint32_t kModuleId = 0x41F1;

Common::Error Refused() {
  return Fdisk::MakeError((kModuleId << 16) | 1, kModuleId, Fdisk::kErrInvalidIo,
                          Fdisk::Msg::kInvalidIo);
}
}  // namespace

MemoryDisk::MemoryDisk(std::uint64_t sectors, std::uint32_t sectorSize, Storage storage)
    : sparse_(storage == Storage::kSparse) {
  if (sectorSize < 256 || (sectorSize & (sectorSize - 1)) != 0) {
    throw std::invalid_argument("memory disks have sectors of a power of two from 256 bytes");
  }
  if (sectors == 0) throw std::invalid_argument("a memory disk needs a sector");
  sectorSize_ = sectorSize;
  lastSector_ = sectors - 1;
  geometry_.sectorsPerTrack = 63;
  geometry_.highestHead = 254;
  geometry_.cylinders = sectors / (63 * 255);
  if (!sparse_) dense_.resize(std::size_t(sectors * sectorSize));
}

MemoryDisk::~MemoryDisk() = default;

std::uint8_t* MemoryDisk::Sector(std::uint64_t n) {
  if (n > lastSector_) throw std::out_of_range("sector past the memory disk");
  if (!sparse_) return dense_.data() + n * sectorSize_;
  std::vector<std::uint8_t>& kept = kept_[n];
  if (kept.empty()) kept.resize(sectorSize_);
  return kept.data();
}

bool MemoryDisk::Put(std::uint64_t offset, const void* bytes, std::size_t size) {
  const std::uint64_t total = (lastSector_ + 1) * sectorSize_;
  if (offset > total || size > total - offset) return false;
  const auto* from = static_cast<const std::uint8_t*>(bytes);
  while (size > 0) {
    const std::uint64_t within = offset % sectorSize_;
    const std::size_t part = std::size_t(std::min<std::uint64_t>(size, sectorSize_ - within));
    std::memcpy(Sector(offset / sectorSize_) + within, from, part);
    from += part;
    offset += part;
    size -= part;
  }
  return true;
}

std::size_t MemoryDisk::KeptSectors() const {
  return sparse_ ? kept_.size() : std::size_t(lastSector_ + 1);
}

Common::Error MemoryDisk::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                             std::uint64_t count) {
  ++counters_.requests;
  const std::uint64_t sectors = lastSector_ + 1;
  if (sector > sectors || count > sectors - sector ||
      (requestLimit_ != 0 && count > requestLimit_ / sectorSize_)) {
    ++counters_.failed;
    return Refused();
  }
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  if (op == Fdisk::kIoRead) {
    ++counters_.reads;
    counters_.sectorsRead += count;
    if (!sparse_) {
      std::memcpy(bytes, dense_.data() + sector * sectorSize_, std::size_t(count * sectorSize_));
    } else {
      for (std::uint64_t i = 0; i < count; ++i) {
        auto it = kept_.find(sector + i);
        std::uint8_t* to = bytes + i * sectorSize_;
        if (it == kept_.end()) {
          std::memset(to, 0, sectorSize_);
        } else {
          std::memcpy(to, it->second.data(), sectorSize_);
        }
      }
    }
  } else if (op == Fdisk::kIoWrite) {
    ++counters_.writes;
    counters_.sectorsWritten += count;
    if (!sparse_) {
      std::memcpy(dense_.data() + sector * sectorSize_, bytes, std::size_t(count * sectorSize_));
    } else {
      for (std::uint64_t i = 0; i < count; ++i) {
        kept_[sector + i].assign(bytes + i * sectorSize_, bytes + (i + 1) * sectorSize_);
      }
    }
    writes_.emplace_back(sector, count);
  }
  return Common::NoError;
}

MemoryModelDisk::MemoryModelDisk(std::uint64_t sectors, std::uint32_t sectorSize,
                                 Storage storage)
    : TestDisk(std::make_unique<MemoryDisk>(sectors, sectorSize, storage)),
      memory_(static_cast<MemoryDisk*>(GetSimpleDisk())) {}

MemoryModelDisk::~MemoryModelDisk() = default;

}  // namespace DiskTest
