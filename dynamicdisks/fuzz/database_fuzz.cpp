// The database scan on damaged private regions: a small dynamic disk whose
// PRIVHEAD, TOCBLOCK, VMDB and first record slots come from the input. The
// scan, the volume queries and reads through every volume must neither
// crash nor read outside the disk (the memory disk refuses such requests,
// and the sanitizers catch the rest).
//
// Input: 512 bytes laid over PRIVHEAD (both copies), 512 over every
// TOCBLOCK copy, 512 over the VMDB, the rest over the slots from index 4.
// Missing bytes leave the valid skeleton in place.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#include "ldm/driver.h"
#include "ldm/group.h"
#include "ldmtest/mini_disk.h"

namespace {

void Overlay(std::uint8_t* sector, const std::uint8_t*& data, std::size_t& size) {
  const std::size_t n = std::min<std::size_t>(size, 512);
  std::memcpy(sector, data, n);
  data += n;
  size -= n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 512 * 3 + 128 * 64) return 0;
  LdmTest::Layout layout;
  auto disk = std::make_unique<LdmTest::MemoryModelDisk>(layout.sectors);
  LdmTest::GroupRecords records;
  Ldm::LdmRecord d = LdmTest::DiskRecord(2, "Disk1", layout.diskGuid);
  records.Add(d);
  LdmTest::WriteLdm(disk->Memory(), layout, records.slots);
  const std::uint64_t end = layout.privStart + layout.privSize - 1;
  std::uint8_t ph[512];
  std::memcpy(ph, disk->Memory().Sector(6), 512);
  {
    const std::uint8_t* p = data;
    std::size_t n = size;
    Overlay(ph, p, n);
    std::memcpy(disk->Memory().Sector(6), ph, 512);
    std::memcpy(disk->Memory().Sector(end), ph, 512);
    std::uint8_t toc[512];
    std::memcpy(toc, disk->Memory().Sector(layout.privStart + 1), 512);
    Overlay(toc, p, n);
    for (std::uint64_t at : {1, 2, 2045, 2046}) {
      std::memcpy(disk->Memory().Sector(layout.privStart + at), toc, 512);
    }
    const std::uint64_t config = layout.privStart + layout.configStart;
    Overlay(disk->Memory().Sector(config), p, n);
    std::uint64_t sector = config + 1;
    while (n > 0 && sector < layout.sectors) Overlay(disk->Memory().Sector(sector++), p, n);
  }
  Fdisk::DiskMap disks{{disk->GetId(), disk.get()}};
  Ldm::LdmComputer computer;
  Ldm::LdmStartInit(disks, computer);
  for (const auto& volume : computer.volumes) {
    Ldm::LdmDgAccess& group = *volume->group;
    const Ldm::LdmRecord& record = *volume->record;
    const bool usable = group.IsVolumeUsable(record);
    group.GetVolumeState(record);
    Fdisk::LdmExtentMap extents;
    std::uint32_t key = 0;
    bool known = true;
    for (const Ldm::LayoutEntry& e : group.GetVolumeLayout(record)) {
      if (e.disk == nullptr || e.disk->modelDisk == nullptr) {
        known = false;
        continue;
      }
      Fdisk::LdmExtent x;
      x.diskId = e.disk->GetDiskId();
      x.firstSector = e.start;
      x.length = e.length;
      x.plexOffset = e.offset;
      x.plex = e.plexNumber;
      x.column = e.column;
      x.diskState = e.diskState;
      extents[key++] = x;
    }
    std::map<std::uint32_t, Fdisk::SimpleDisk*> devices{{disk->GetId(), &disk->Memory()}};
    Fdisk::DM::LdmSimpleDisk volumeDisk(extents, group.GetVolumeType(record), record.volSize,
                                        static_cast<std::uint32_t>(group.GetStripeSize(record)),
                                        devices, usable && known);
    std::uint8_t buffer[512 * 4];
    volumeDisk.Io(Fdisk::kIoRead, 0, buffer, 4);
    if (record.volSize > 4) volumeDisk.Io(Fdisk::kIoRead, record.volSize - 4, buffer, 4);
  }
  if (disk->Memory().Counters().writes != 0) __builtin_trap();
  return 0;
}
