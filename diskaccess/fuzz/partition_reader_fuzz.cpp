// The partition-table reader over a disk whose sectors are the input: the
// first bytes choose the sector size, the rest are the disk's first sectors
// (the GPT backup at the end of the disk is sector 0 again).
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "diskaccess/objects.h"

namespace {

class InputDisk : public plain_disk {
 public:
  InputDisk(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {
    SetSectorSize(512);
    lastSector_ = 1u << 20;
    usable = 1;
  }
  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override {
    if (op != Fdisk::kIoRead) return Common::Error(1, 2, 0x100401);
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::uint64_t size = GetSectorSize();
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t at = ((sector + i) % (1u << 20)) * size;
      std::uint8_t* to = out + i * size;
      std::memset(to, 0, size);
      if (at < bytes_.size())
        std::memcpy(to, bytes_.data() + at, std::min<std::uint64_t>(size, bytes_.size() - at));
    }
    return Common::Error();
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputDisk disk(data, size);
  DaReadDiskPartitions(&disk);
  return 0;
}
