// The volume the HFS+ fuzz targets mount: 1 MiB, the input laid at its
// start, its last 1,024 bytes forming the two last sectors (where the
// backup header lives), everything written kept in memory.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>

#include "fdisk/simple_disk.h"

namespace hfsfuzz {

constexpr std::uint64_t kVolumeSectors = 2048;  // 1 MiB

class MemoryVolume : public Fdisk::SimpleDisk {
 public:
  // `errorSite` names the target in the error of an I/O past the end.
  MemoryVolume(const std::uint8_t* data, std::size_t size, std::uint32_t errorSite)
      : Fdisk::SimpleDisk(512, kVolumeSectors - 1, Fdisk::Geometry()),
        data_(data),
        size_(size),
        errorSite_(errorSite) {}

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector >= kVolumeSectors || count > kVolumeSectors - sector)
      return Common::Error(0x01, errorSite_, 0x80070000u | 27);
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::uint64_t i = 0; i < count; ++i, bytes += 512) {
      const std::uint64_t s = sector + i;
      if (op == Fdisk::kIoRead) {
        Read(s, bytes);
      } else {
        std::memcpy(written_[s].data(), bytes, 512);
      }
    }
    return Common::Error();
  }

 private:
  void Read(std::uint64_t s, std::uint8_t* out) const {
    auto it = written_.find(s);
    if (it != written_.end()) {
      std::memcpy(out, it->second.data(), 512);
      return;
    }
    std::memset(out, 0, 512);
    const std::size_t head = size_ - 1024;
    if (s >= kVolumeSectors - 2) {
      std::memcpy(out, data_ + head + (s - (kVolumeSectors - 2)) * 512, 512);
    } else if (s * 512 < head) {
      std::memcpy(out, data_ + s * 512, std::size_t(std::min<std::uint64_t>(512, head - s * 512)));
    }
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::uint32_t errorSite_;
  std::map<std::uint64_t, std::array<std::uint8_t, 512>> written_;
};

}  // namespace hfsfuzz
