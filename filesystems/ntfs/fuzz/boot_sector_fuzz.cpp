// The boot sector's checks and geometry on any bytes, for both sector
// sizes: a geometry that passes must describe records and index blocks the
// update-sequence layer can handle and clusters inside the partition.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/error.h"
#include "filesystems/ntfs_boot.h"

namespace ntfs = filesystems::ntfs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
  const std::uint64_t partition = 1u << ((data[0] >> 1) % 24);
  std::vector<std::uint8_t> sector(sectorSize, 0);
  std::memcpy(sector.data(), data + 1, std::min<std::size_t>(size - 1, sectorSize));
  try {
    const ntfs::BootGeometry g = ntfs::ParseBootSector(sector.data(), sectorSize, partition);
    if (g.recordSize < 512 || g.recordSize % 512 != 0 || g.recordSize > 65536) std::abort();
    if (g.indexBlockSize < 512 || g.indexBlockSize % 512 != 0 || g.indexBlockSize > 65536) std::abort();
    if (g.recordSize < sectorSize || g.indexBlockSize < sectorSize) std::abort();
    if (g.clusterCount * g.sectorsPerCluster > partition) std::abort();
    if (g.mftCluster >= g.clusterCount || g.mftMirrorCluster >= g.clusterCount) std::abort();
  } catch (const Common::Error&) {
  }
  return 0;
}
