// Recognisers of the drivers not written yet: each accepts nothing. A
// driver's own library defines its recogniser when it arrives, and its stub
// leaves this file.
#include "filesystems/factory.h"

namespace filesystems {

FileSystemDriver* OpenHFSPlusDriver(Fdisk::SimpleDisk*, std::uint64_t, std::uint64_t,
                                    std::uint32_t, const std::uint8_t*, std::uint32_t) {
  return nullptr;
}

}  // namespace filesystems
