// The file-system drivers of the system, made known to the factory.
#pragma once

namespace filesystems {

// Installs the FAT, NTFS, ext and HFS+ probes, in that order, as the
// factory's system list. Call once before mounting anything; calling again
// does no harm.
void RegisterFileSystemDrivers();

}  // namespace filesystems
