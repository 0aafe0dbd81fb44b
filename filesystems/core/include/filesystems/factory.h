// Mounting a partition: the first of the FAT, NTFS, ext and HFS+ drivers
// whose constructor accepts the volume is its file system.
#pragma once

#include <cstdint>
#include <vector>

#include "filesystems/driver.h"

namespace filesystems {

// The file-system types each probe and the factory serve (bit 0 in all).
constexpr std::uint32_t kFactoryTypeMask = 0x35F1;
constexpr std::uint32_t kFatTypeMask = 0x3001;
constexpr std::uint32_t kNtfsTypeMask = 0x401;
constexpr std::uint32_t kExtTypeMask = 0x71;
constexpr std::uint32_t kHfsPlusTypeMask = 0x181;

// One probe: a new driver for the partition, or null when the volume is not
// its file system. `firstSector` is the partition's first sector (at least
// one sector of bytes); the filter hides entries whose allocation unit has a
// clear bit (FAT, NTFS).
using FileSystemProbe = FileSystemDriver* (*)(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                              std::uint64_t size, std::uint32_t cacheKey,
                                              const std::uint8_t* firstSector,
                                              const std::uint8_t* filter,
                                              std::uint32_t filterBits);

struct ProbeRecord {
  FileSystemProbe probe;
  std::uint32_t typeMask;
};

// The drivers of the system, in the order the factory tries them. Each is
// defined by its driver's library; the drivers' library above the framework
// (fsdrivers, RegisterFileSystemDrivers) puts them in the factory's list.
FileSystemDriver* OpenFATDriver(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                std::uint64_t size, std::uint32_t cacheKey,
                                const std::uint8_t* firstSector, const std::uint8_t* filter,
                                std::uint32_t filterBits);
FileSystemDriver* OpenNTFSDriver(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                 std::uint64_t size, std::uint32_t cacheKey,
                                 const std::uint8_t* firstSector, const std::uint8_t* filter,
                                 std::uint32_t filterBits);
FileSystemDriver* OpenExtfsDriver(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                  std::uint64_t size, std::uint32_t cacheKey,
                                  const std::uint8_t* filter, std::uint32_t filterBits);
FileSystemDriver* OpenHFSPlusDriver(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                    std::uint64_t size, std::uint32_t cacheKey,
                                    const std::uint8_t* filter, std::uint32_t filterBits);

// The probe list in use: the system's (FAT, NTFS, ext, HFS+) once the
// drivers' library has installed it, empty before.
const std::vector<ProbeRecord>& FileSystemProbes();
// Replaces the probe list (tests and tools that mount their own drivers);
// an empty list puts the system's back.
void SetFileSystemProbes(std::vector<ProbeRecord> probes);
// Installs the system's list and makes it the one in use. The framework
// cannot name the drivers (they stand on it), so the layer above does.
void SetSystemFileSystemProbes(std::vector<ProbeRecord> probes);

// Runs one probe under a NewHandlerGuard: a driver that refuses the volume,
// and one that runs out of memory while looking at it, both give null.
FileSystemDriver* RunProbe(FileSystemProbe probe, Fdisk::SimpleDisk* device,
                           std::uint64_t offset, std::uint64_t size, std::uint32_t cacheKey,
                           const std::uint8_t* firstSector, const std::uint8_t* filter,
                           std::uint32_t filterBits);

// A new driver with no use taken, or null when the first sector cannot be
// read or no driver accepts the volume. Without `firstSector` the factory
// reads it itself.
FileSystemDriver* OpenFileSystem(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                 std::uint64_t size, std::uint32_t cacheKey,
                                 const std::uint8_t* firstSector, const std::uint8_t* filter,
                                 std::uint32_t filterBits);

}  // namespace filesystems
