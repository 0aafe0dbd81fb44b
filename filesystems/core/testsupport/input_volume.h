// A fuzz input as the start of a volume of `sectors` 512-byte sectors whose
// other sectors read as zeros, so that a small input can describe a large
// layout. Nothing is copied; writes are accepted and dropped, so a driver
// that writes back runs its whole path without the input changing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/error.h"
#include "fdisk/simple_disk.h"

namespace fstest {

class InputVolume : public Fdisk::SimpleDisk {
 public:
  InputVolume(const std::uint8_t* data, std::size_t size, std::uint64_t sectors)
      : Fdisk::SimpleDisk(512, sectors - 1, Fdisk::Geometry()),
        data_(data),
        size_(size),
        sectors_(sectors) {}

  std::uint64_t Sectors() const { return sectors_; }

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector >= sectors_ || count > sectors_ - sector)
      return Common::Error(0x01, 0x7A12F001, 0x80070000u | 27);  // ERROR_SECTOR_NOT_FOUND
    if (op != Fdisk::kIoRead) return Common::Error();
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::uint64_t at = sector * 512, bytes = count * 512;
    std::memset(out, 0, std::size_t(bytes));
    if (at < size_)
      std::memcpy(out, data_ + at, std::size_t(std::min<std::uint64_t>(bytes, size_ - at)));
    return Common::Error();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::uint64_t sectors_;
};

}  // namespace fstest
