// Boot-sector checks and geometry.
#include "filesystems/ntfs_boot.h"

#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/ntfs_records.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsBootModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

// Records and index blocks are protected in 512-byte strides whose array
// must end within the first stride: 64 KiB is the most that allows.
bool UsableBlockSize(std::uint64_t bytes, std::uint32_t sectorSize) noexcept {
  return bytes >= sectorSize && bytes >= kUpdateSequenceStride && bytes <= 0x10000 &&
         bytes % kUpdateSequenceStride == 0;
}

}  // namespace

std::uint32_t SectorsFromSizeByte(std::int8_t size, std::uint32_t sectorsPerCluster,
                                  std::uint32_t sectorSize) noexcept {
  if (size > 0) return sectorsPerCluster * std::uint32_t(size);
  const int shift = -int(size);
  if (shift >= 32) return 0;
  return std::uint32_t((std::uint64_t(1) << shift) / sectorSize);
}

BootGeometry ParseBootSector(const std::uint8_t* sector, std::uint32_t sectorSize,
                             std::uint64_t partitionSectors) {
  if (sectorSize < 512) Corrupted(0x01);
  if (Common::LoadLe16(sector + 510) != 0xAA55) Corrupted(0x02);
  if (std::memcmp(sector + 3, "NTFS    ", 8) != 0) Corrupted(0x03);
  BootGeometry g;
  g.sectorSize = sectorSize;
  g.sectorsPerCluster = sector[13];
  if (!Common::IsPowerOfTwo(g.sectorsPerCluster) || g.sectorsPerCluster > 128) Corrupted(0x04);
  g.clusterSize = g.sectorsPerCluster * sectorSize;
  g.totalSectors = Common::LoadLe64(sector + 40);
  g.mftCluster = Common::LoadLe64(sector + 48);
  g.mftMirrorCluster = Common::LoadLe64(sector + 56);
  if (g.mftCluster == 0 || g.mftMirrorCluster == 0 || g.mftCluster == g.mftMirrorCluster)
    Corrupted(0x05);

  const std::int8_t recordByte = std::int8_t(sector[64]);
  if (recordByte == 0 || (recordByte < 0 && (recordByte < -16 || recordByte > -9))) Corrupted(0x06);
  const std::int8_t indexByte = std::int8_t(sector[68]);
  if (indexByte == 0 || indexByte < -31) Corrupted(0x07);

  g.recordSectors = SectorsFromSizeByte(recordByte, g.sectorsPerCluster, sectorSize);
  g.indexBlockSectors = SectorsFromSizeByte(indexByte, g.sectorsPerCluster, sectorSize);
  const std::uint64_t recordBytes = std::uint64_t(g.recordSectors) * sectorSize;
  const std::uint64_t indexBytes = std::uint64_t(g.indexBlockSectors) * sectorSize;
  if (!UsableBlockSize(recordBytes, sectorSize)) Corrupted(0x08);
  if (!UsableBlockSize(indexBytes, sectorSize)) Corrupted(0x09);
  g.recordSize = std::uint32_t(recordBytes);
  g.indexBlockSize = std::uint32_t(indexBytes);

  g.clusterCount = g.totalSectors / g.sectorsPerCluster;
  if (g.clusterCount * g.sectorsPerCluster > partitionSectors) Corrupted(0x0A);
  // Both copies of the first records must lie inside the volume; the $MFT
  // cluster is kept whole, so a volume whose MFT starts past 2^32 clusters
  // is read where it is.
  const std::uint64_t recordClusters = Common::UnitsFor(g.recordSize * 4ull, g.clusterSize);
  if (g.mftCluster >= g.clusterCount || recordClusters > g.clusterCount - g.mftCluster)
    Corrupted(0x0B);
  if (g.mftMirrorCluster >= g.clusterCount || recordClusters > g.clusterCount - g.mftMirrorCluster)
    Corrupted(0x0C);
  return g;
}

}  // namespace ntfs
}  // namespace filesystems
