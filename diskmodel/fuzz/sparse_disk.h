// A disk for the disk-model fuzz targets: sparse 512-byte pieces given by
// the input (pieces not given read as zeros), every write kept and logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "fdisk/error.h"
#include "fdisk/simple_disk.h"

namespace FuzzInput {

class SparseDisk : public Fdisk::SimpleDisk {
 public:
  static constexpr std::size_t kPiece = 512;
  static constexpr std::uint64_t kMaxRequestBytes = 8u << 20;  // the largest GPT entry array

  SparseDisk(std::uint32_t sectorSize, std::uint64_t lastSector) {
    sectorSize_ = sectorSize;
    lastSector_ = lastSector;
    geometry_ = {63, 254, (lastSector + 1) / (63 * 255)};
  }

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector > lastSector_ || count == 0 || count > lastSector_ - sector + 1 ||
        count > kMaxRequestBytes / sectorSize_) {
      return Fdisk::Error(1, 1, Fdisk::kErrInvalidIo);
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    const std::uint64_t perSector = sectorSize_ / kPiece;
    for (std::uint64_t i = 0; i < count * perSector; ++i) {
      const std::uint64_t piece = sector * perSector + i;
      if (op == Fdisk::kIoRead) {
        auto it = pieces_.find(piece);
        if (it == pieces_.end()) {
          std::memset(bytes + kPiece * i, 0, kPiece);
        } else {
          std::memcpy(bytes + kPiece * i, it->second.data(), kPiece);
        }
      } else if (op == Fdisk::kIoWrite) {
        pieces_[piece].assign(bytes + kPiece * i, bytes + kPiece * (i + 1));
      }
    }
    if (op == Fdisk::kIoWrite) writes_.push_back({sector, count});
    return Common::Error();
  }

  std::map<std::uint64_t, std::vector<std::uint8_t>> pieces_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> writes_;  // first sector, count
};

}  // namespace FuzzInput
