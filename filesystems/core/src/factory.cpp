#include "filesystems/factory.h"

#include <memory>
#include <new>

namespace filesystems {
namespace {

// The system's own list, installed by the drivers' library above this one;
// empty until then, so that the framework alone mounts nothing.
std::vector<ProbeRecord>& SystemProbes() {
  static std::vector<ProbeRecord> probes;
  return probes;
}

std::vector<ProbeRecord>& Probes() {
  static std::vector<ProbeRecord> probes = SystemProbes();
  return probes;
}

}  // namespace

void SetSystemFileSystemProbes(std::vector<ProbeRecord> probes) {
  SystemProbes() = probes;
  Probes() = std::move(probes);
}

const std::vector<ProbeRecord>& FileSystemProbes() { return Probes(); }

void SetFileSystemProbes(std::vector<ProbeRecord> probes) {
  Probes() = probes.empty() ? SystemProbes() : std::move(probes);
}

FileSystemDriver* RunProbe(FileSystemProbe probe, Fdisk::SimpleDisk* device,
                           std::uint64_t offset, std::uint64_t size, std::uint32_t cacheKey,
                           const std::uint8_t* firstSector, const std::uint8_t* filter,
                           std::uint32_t filterBits) {
  NewHandlerGuard guard;
  try {
    return probe(device, offset, size, cacheKey, firstSector, filter, filterBits);
  } catch (Common::Error&) {
    return nullptr;
  } catch (std::bad_alloc&) {
    return nullptr;
  }
}

FileSystemDriver* OpenFileSystem(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                 std::uint64_t size, std::uint32_t cacheKey,
                                 const std::uint8_t* firstSector, const std::uint8_t* filter,
                                 std::uint32_t filterBits) {
  std::unique_ptr<std::uint8_t[]> allocation;
  if (!firstSector) {
    const std::uint32_t sectorSize = device->GetSectorSize();
    if (sectorSize == 0) return nullptr;
    allocation.reset(new (std::nothrow) std::uint8_t[2 * std::size_t(sectorSize) - 1]);
    if (!allocation) return nullptr;
    auto at = reinterpret_cast<std::uintptr_t>(allocation.get());
    auto* buffer = reinterpret_cast<std::uint8_t*>((at + sectorSize - 1) / sectorSize * sectorSize);
    Common::Error error = device->Io(Fdisk::kIoRead, offset, buffer, 1);
    if (error && error.Code() != 0) return nullptr;
    firstSector = buffer;
  }
  for (const ProbeRecord& record : Probes()) {
    if (FileSystemDriver* driver =
            RunProbe(record.probe, device, offset, size, cacheKey, firstSector, filter, filterBits))
      return driver;
  }
  return nullptr;
}

}  // namespace filesystems
