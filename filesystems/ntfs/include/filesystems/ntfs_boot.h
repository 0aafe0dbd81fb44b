// The NTFS boot sector: the checks a volume must pass before anything else
// of it is read, and the geometry it gives.
//
// The boot sector's own bytes-per-sector field is not consulted: sizes are
// counted in the device's sectors.
#pragma once

#include <cstdint>

namespace filesystems {
namespace ntfs {

struct BootGeometry {
  std::uint64_t totalSectors = 0;  // as stored, not rounded to clusters
  std::uint64_t clusterCount = 0;  // whole clusters inside total sectors
  std::uint32_t sectorSize = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t clusterSize = 0;
  std::uint32_t recordSectors = 0;
  std::uint32_t recordSize = 0;
  std::uint32_t indexBlockSectors = 0;
  std::uint32_t indexBlockSize = 0;
  std::uint64_t mftCluster = 0;
  std::uint64_t mftMirrorCluster = 0;
};

// Sectors of a record or index block from its boot-sector size byte: a
// positive n is n clusters, a negative -n is 2^n bytes.
std::uint32_t SectorsFromSizeByte(std::int8_t size, std::uint32_t sectorsPerCluster,
                                  std::uint32_t sectorSize) noexcept;

// Checks the boot sector (`sectorSize` bytes) of a volume of
// `partitionSectors` sectors and returns its geometry; 0x4000d when:
// the 0xAA55 signature or the "NTFS    " name is missing; sectors per
// cluster is not a power of two up to 128; the sector size is below 512;
// the $MFT or $MFTMirr cluster is 0, the two are equal, or either lies
// outside the volume's clusters; clusters per record is 0 or beyond 127 or
// -16 to -9; clusters per index block is 0; a record or index block is
// smaller than a sector (or than 512 bytes), above 64 KiB, or not a whole
// number of 512-byte strides; the volume's clusters do not fit in the
// partition.
BootGeometry ParseBootSector(const std::uint8_t* sector, std::uint32_t sectorSize,
                             std::uint64_t partitionSectors);

}  // namespace ntfs
}  // namespace filesystems
