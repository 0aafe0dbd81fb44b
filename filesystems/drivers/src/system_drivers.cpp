#include "filesystems/system_drivers.h"

#include "filesystems/factory.h"

namespace filesystems {
namespace {

// The ext and HFS+ drivers read their own superblock through the cache, so
// the first sector the factory read is not passed on.
FileSystemDriver* ExtProbe(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t size,
                           std::uint32_t key, const std::uint8_t*, const std::uint8_t* filter,
                           std::uint32_t bits) {
  return OpenExtfsDriver(device, offset, size, key, filter, bits);
}
FileSystemDriver* HfsProbe(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t size,
                           std::uint32_t key, const std::uint8_t*, const std::uint8_t* filter,
                           std::uint32_t bits) {
  return OpenHFSPlusDriver(device, offset, size, key, filter, bits);
}

}  // namespace

void RegisterFileSystemDrivers() {
  SetSystemFileSystemProbes({{&OpenFATDriver, kFatTypeMask},
                             {&OpenNTFSDriver, kNtfsTypeMask},
                             {&ExtProbe, kExtTypeMask},
                             {&HfsProbe, kHfsPlusTypeMask}});
}

}  // namespace filesystems
