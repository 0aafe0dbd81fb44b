// What the resizer lends the holder layer: the type byte of a new FAT
// partition, whether a disk or partition holds a file system it knows, and
// the wipe of a device used whole.
#include "diskaccess/geometry.h"
#include "diskaccess/holders.h"
#include "diskaccess/resizer.h"

namespace Da {

std::uint8_t PickFatPartitionType(holder* h) {
  if (h == nullptr || !h->IsPartition()) return 0x06;
  // Up to 65535 sectors a FAT16 partition has the small type byte.
  std::uint8_t type = h->size > 0xFFFF ? 0x06 : 0x04;
  if (std::shared_ptr<virt_fs> fs = GetVirtFs(h); fs != nullptr && (fs->FatFlags & 1) != 0)
    type = 0x01;
  return type;
}

bool HasKnownFileSystemOn(stddisk* disk, holder* h) {
  if (h == nullptr) return HasKnownFileSystem(disk);
  // A partition is described over its own range of its disk.
  if (h->disk == nullptr || h->size == 0) return false;
  PartitionParameters d;
  d.Device = h->disk;
  d.Start = h->start;
  d.Length = h->size;
  d.SectorSize = h->disk->GetSectorSize();
  d.FsTypeMask = 0xFFFFFFFFu;
  Common::Error result;
  DescribePartition(result, 8, d);
  return (result.IsNull() || result.Code() == 0) && d.FsType != 0;
}

Common::Error FormatRawDeviceOf(Fdisk::SimpleDisk* device) {
  Common::Error result;
  FormatRawDevice(result, device);
  return result;
}

void InstallPartitionCallbacks() {
  SetPickFatPartitionType(PickFatPartitionType);
  SetHasKnownFileSystem(HasKnownFileSystemOn);
  SetFormatRawDevice(FormatRawDeviceOf);
}

void RemovePartitionCallbacks() {
  SetPickFatPartitionType(nullptr);
  SetHasKnownFileSystem(nullptr);
  SetFormatRawDevice(nullptr);
}

}  // namespace Da
