// Mounting a small volume whose bytes are the input: the boot-sector
// checks, the layout arithmetic, the FSInfo merge, the free-cluster scan,
// the label and a bounded walk of the FAT32 root chain.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fdisk/simple_disk.h"
#include "filesystems/fat_driver.h"

namespace {

// The input as the start of a larger volume whose other sectors read as
// zeros, so that a small input can describe a FAT16 or FAT32 layout. Writes
// are accepted and dropped.
class SparseVolume : public Fdisk::SimpleDisk {
 public:
  static constexpr std::uint64_t kSectors = 16384;
  SparseVolume(const std::uint8_t* data, std::size_t size)
      : Fdisk::SimpleDisk(512, kSectors - 1, Fdisk::Geometry()), data_(data), size_(size) {}
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector >= kSectors || count > kSectors - sector) return Common::Error(0x01, 0x7A12F001, 0x80070000u | 27);
    if (op != Fdisk::kIoRead) return Common::Error();
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::uint64_t at = sector * 512, bytes = count * 512;
    std::memset(out, 0, bytes);
    if (at < size_) std::memcpy(out, data_ + at, std::min<std::uint64_t>(bytes, size_ - at));
    return Common::Error();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 512 || size > 256 * 1024) return 0;
  SparseVolume device(data, size);
  filesystems::FileSystemDriver* driver = filesystems::OpenFATVolume(
      &device, 0, SparseVolume::kSectors, 0xF0F0, nullptr, nullptr, 0);
  if (!driver) return 0;
  auto* fat = static_cast<filesystems::FATDriver*>(driver);
  try {
    std::uint64_t total = 0, free = 0, available = 0;
    fat->GetVolumeSizes(total, free, available);
    char16_t label[12];
    fat->GetVolumeLabel(label, 12);
    if (fat->RootCluster() != 0) fat->ReadChain(fat->RootCluster());
    // Walk a few chains from wherever the FAT points.
    for (std::uint32_t c = 2; c < std::min<std::uint32_t>(fat->ClusterCount() + 2, 64); ++c)
      fat->ReadChain(c);
  } catch (const Common::Error&) {
  }
  delete driver;
  return 0;
}
