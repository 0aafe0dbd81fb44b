// Mounting the volume layer of an HFS+ volume whose first bytes and last
// kilobyte are the input: both volume headers and their fork records, the
// journal info block, the journal header and its transactions (indexed,
// read through, then replayed by a write), the allocation bitmap, and the
// clean unmount's header write-back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fake_driver.h"
#include "fdisk/simple_disk.h"
#include "filesystems/hfs_volume.h"

namespace {

// 128 MiB of 512-byte sectors: room for a journal of the smallest size.
constexpr std::uint64_t kVolumeSectors = 262144;

// The input's last 1024 bytes are the volume's last two sectors (where the
// alternate header lies); the rest is the volume's start; everything else
// reads as zeros. Writes are accepted and dropped.
class SplitInput : public Fdisk::SimpleDisk {
 public:
  SplitInput(const std::uint8_t* data, std::size_t size)
      : Fdisk::SimpleDisk(512, kVolumeSectors - 1, Fdisk::Geometry()), data_(data), size_(size) {}

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector >= kVolumeSectors || count > kVolumeSectors - sector)
      return Common::Error(0x01, 0x7A14F001, 0x80070000u | 27);
    if (op != Fdisk::kIoRead) return Common::Error();
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::size_t head = size_ - 1024;
    for (std::uint64_t i = 0; i < count; ++i, out += 512) {
      const std::uint64_t s = sector + i;
      std::memset(out, 0, 512);
      if (s >= kVolumeSectors - 2) {
        std::memcpy(out, data_ + head + (s - (kVolumeSectors - 2)) * 512, 512);
      } else if (s * 512 < head) {
        std::memcpy(out, data_ + s * 512, std::size_t(std::min<std::uint64_t>(512, head - s * 512)));
      }
    }
    return Common::Error();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4096 || size > 256 * 1024) return 0;
  SplitInput device(data, size);
  fstest::FakeDriver driver(&device, 0, kVolumeSectors, 0xF1F2);
  try {
    filesystems::hfsplus::Volume volume(&driver, nullptr, 0);
    std::vector<std::uint8_t> sector(512);
    for (std::uint64_t s : {std::uint64_t(2), std::uint64_t(3), std::uint64_t(24), std::uint64_t(100), kVolumeSectors - 2}) {
      volume.Io().ReadSectors(s, 1, sector.data());
    }
    if (!volume.ReadOnly()) {
      volume.Allocation().FindFreeArea(8, {1, volume.Allocation().BitCount() - 1});
      volume.Io().ReadSectors(kVolumeSectors - 8, 1, sector.data());
      volume.Io().WriteSectors(kVolumeSectors - 8, 1, sector.data());
      volume.MarkPrimaryModified();
      volume.Unmount();
    }
  } catch (const Common::Error&) {
  }
  return 0;
}
