// Partition windows.
#include "fdisk/contiguous_disk.h"

#include "fdisk/error.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0x6B9C76B7;
constexpr std::uint32_t kPastEndLocation = 0x1D928E55;

// The part of [first, first + count) that lies on a disk whose last sector
// index is `last`.
std::uint64_t ClampToDisk(std::uint64_t last, std::uint64_t first, std::uint64_t count) {
  if (count == 0 || first > last) return 0;
  const std::uint64_t room = last - first;  // sectors after `first`
  return count - 1 > room ? room + 1 : count;
}
}  // namespace

ContiguousDisk::ContiguousDisk(SimpleDisk& parent, std::uint64_t first, std::uint64_t count)
    : parent_(&parent),
      first_(first),
      count_(ClampToDisk(parent.GetSectorCount(), first, count)) {
  sectorSize_ = parent.GetSectorSize();
  geometry_ = parent.GetGeometry();
  // An empty window answers all-ones as its last sector index, as the
  // interface defines it for a count of 0.
  lastSector_ = count_ - 1;
}

ContiguousDisk::~ContiguousDisk() = default;

Common::Error ContiguousDisk::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                                 std::uint64_t count) {
  // Written so that sector + count cannot wrap.
  if (sector > count_ || count > count_ - sector) {
    return MakeError(kPastEndLocation, kModuleId, kErrInvalidIo, Msg::kInvalidIo);
  }
  return parent_->Io(op, first_ + sector, buffer, count);
}

}  // namespace Fdisk
