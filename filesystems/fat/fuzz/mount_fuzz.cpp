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
#include "input_volume.h"

namespace {

constexpr std::uint64_t kVolumeSectors = 16384;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 512 || size > 256 * 1024) return 0;
  fstest::InputVolume device(data, size, kVolumeSectors);
  filesystems::FileSystemDriver* driver = filesystems::OpenFATVolume(
      &device, 0, kVolumeSectors, 0xF0F0, nullptr, nullptr, 0);
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
