// A small dynamic disk in memory for the unit tests and fuzz targets: an
// MBR with one type-0x42 partition, PRIVHEAD, four TOCBLOCK copies, a VMDB
// and record slots, every field settable so that one test can damage one.
// The fixtures that prove the format against another reader are made by
// ldm_fixture.py and judged by ldmtool; this one only serves the cases
// that need a single field changed.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/error.h"
#include "disktest/memory_disk.h"
#include "fdisk/error.h"
#include "fdisk/model.h"
#include "fdisk/simple_disk.h"
#include "foundation/byteorder.h"
#include "ldm/format.h"
#include "ldm/record.h"

namespace LdmTest {

// The disk tests' memory disk (MemoryDisk(sectors), 512-byte sectors by
// default) and the model disk over one (`Memory()` is its device).
using DiskTest::MemoryDisk;
using DiskTest::MemoryModelDisk;

struct Layout {
  std::uint64_t sectors = 4096;
  std::uint64_t privStart = 2048;
  std::uint64_t privSize = 2048;
  std::uint64_t pubStart = 63;
  std::uint64_t pubSize = 2048 - 63;
  std::uint16_t phMajor = 2;
  std::uint16_t phMinor = 11;
  std::uint16_t vmdbMajor = 4;
  std::uint16_t vmdbMinor = 10;
  std::uint64_t tocSequence[4] = {1, 1, 1, 1};
  std::uint64_t configStart = 17;
  std::uint64_t configSize = 1481;
  std::uint64_t logStart = 1498;
  std::uint64_t logSize = 224;
  std::uint64_t stamp = 100;
  std::uint16_t consistent = 1;
  std::uint32_t slotCount = 0;  // 0: four per sector of the region
  std::string diskGuid = "00000000-0000-4000-8000-000000000001";
  std::string hostGuid = "00000000-0000-4000-8000-0000000000aa";
  std::string groupGuid = "00000000-0000-4000-8000-0000000000bb";
  std::string groupName = "MiniDg0";
  std::uint8_t partitionType = 0x42;
};

inline void PutText(std::uint8_t* at, const std::string& s) { std::memcpy(at, s.data(), s.size()); }

// Writes the MBR and the whole private region; `slots` (128 bytes each) go
// from slot 4 on.
inline void WriteLdm(MemoryDisk& disk, const Layout& l,
                     const std::vector<std::vector<std::uint8_t>>& slots) {
  std::uint8_t* mbr = disk.Sector(0);
  std::memset(mbr, 0, 512);
  mbr[0x1BE + 4] = l.partitionType;
  Common::StoreLe32(mbr + 0x1BE + 8, std::uint32_t(l.pubStart));
  Common::StoreLe32(mbr + 0x1BE + 12, std::uint32_t(l.sectors - l.pubStart));
  mbr[0x1FE] = 0x55;
  mbr[0x1FF] = 0xAA;

  std::uint8_t ph[512] = {};
  PutText(ph, "PRIVHEAD");
  Common::StoreBe16(ph + 0x0C, l.phMajor);
  Common::StoreBe16(ph + 0x0E, l.phMinor);
  Common::StoreBe64(ph + 0x18, 1);
  Common::StoreBe64(ph + 0x20, l.privSize - 1);
  Common::StoreBe64(ph + 0x28, 1856);
  PutText(ph + 0x30, l.diskGuid);
  PutText(ph + 0x70, l.hostGuid);
  PutText(ph + 0xB0, l.groupGuid);
  PutText(ph + 0xF0, l.groupName);
  Common::StoreBe64(ph + 0x11B, l.pubStart);
  Common::StoreBe64(ph + 0x123, l.pubSize);
  Common::StoreBe64(ph + 0x12B, l.privStart);
  Common::StoreBe64(ph + 0x133, l.privSize);
  Ldm::SetSectorChecksum(ph);
  std::memcpy(disk.Sector(6), ph, 512);
  const std::uint64_t end = l.privStart + l.privSize - 1;
  if (end < l.sectors) std::memcpy(disk.Sector(end), ph, 512);

  const std::uint64_t tocAt[4] = {1, 2, 2046, 2045};
  for (int i = 0; i < 4; ++i) {
    if (l.privStart + tocAt[i] >= l.sectors) continue;
    std::uint8_t* t = disk.Sector(l.privStart + tocAt[i]);
    std::memset(t, 0, 512);
    PutText(t, "TOCBLOCK");
    Common::StoreBe64(t + 0x0C, l.tocSequence[i]);
    PutText(t + 0x24, "config");
    Common::StoreBe64(t + 0x24 + 0x0A, l.configStart);
    Common::StoreBe64(t + 0x24 + 0x12, l.configSize);
    PutText(t + 0x46, "log");
    Common::StoreBe64(t + 0x46 + 0x0A, l.logStart);
    Common::StoreBe64(t + 0x46 + 0x12, l.logSize);
    Ldm::SetSectorChecksum(t);
  }
  const std::uint64_t config = l.privStart + l.configStart;
  if (config >= l.sectors) return;
  std::uint8_t* v = disk.Sector(config);
  std::memset(v, 0, 512);
  PutText(v, "VMDB");
  Common::StoreBe32(v + 0x04, l.slotCount ? l.slotCount : std::uint32_t(l.configSize * 4));
  Common::StoreBe16(v + 0x10, l.consistent);
  Common::StoreBe16(v + 0x12, l.vmdbMajor);
  Common::StoreBe16(v + 0x14, l.vmdbMinor);
  Common::StoreBe64(v + 0xBD, l.stamp);
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::uint64_t slot = 4 + i;
    const std::uint64_t sector = config + slot / 4;
    if (sector >= l.sectors) break;
    std::memcpy(disk.Sector(sector) + (slot % 4) * 128, slots[i].data(), 128);
  }
}

// A record's slots with their headers, numbered `number`, from slot index
// `first` on.
inline std::vector<std::vector<std::uint8_t>> Slots(Ldm::LdmRecord& r, std::uint32_t number,
                                                    std::uint32_t first) {
  r.SetSlotCount(r.GetPackedVblkCount());
  r.Pack();
  std::vector<std::vector<std::uint8_t>> out;
  for (std::uint32_t i = 0; i < r.SlotCount(); ++i) {
    std::vector<std::uint8_t> s(r.Packed().begin() + i * 128, r.Packed().begin() + i * 128 + 128);
    std::memcpy(s.data(), "VBLK", 4);
    Common::StoreBe32(s.data() + 4, first + i);
    Common::StoreBe32(s.data() + 8, number);
    Common::StoreBe16(s.data() + 12, std::uint16_t(i));
    Common::StoreBe16(s.data() + 14, std::uint16_t(r.SlotCount()));
    out.push_back(s);
  }
  return out;
}

// The records of one group: its disk record (RID 2, matching
// Layout::diskGuid) and one volume of the given plex layout (1 striped,
// 2 concatenated, 3 RAID-5) with one subdisk per column.
struct GroupRecords {
  std::vector<std::vector<std::uint8_t>> slots;
  std::uint32_t number = 0;
  void Add(Ldm::LdmRecord& r) {
    for (auto& s : Slots(r, ++number, 4 + std::uint32_t(slots.size()))) slots.push_back(s);
  }
};

inline Ldm::LdmRecord DiskRecord(std::uint64_t rid, const std::string& name,
                                 const std::string& guid) {
  Ldm::LdmRecord r;
  r.type = Ldm::kRecordDisk;
  r.version = 3;
  r.rid = rid;
  r.name = name;
  r.guidText = guid;
  return r;
}

inline Ldm::LdmRecord VolumeRecord(std::uint64_t rid, const std::string& name, std::uint64_t size,
                                   std::uint32_t plexes) {
  Ldm::LdmRecord r;
  r.type = Ldm::kRecordVolume;
  r.version = 3;
  r.rid = rid;
  r.name = name;
  r.volType = "gen";
  std::memcpy(r.volState.data(), "ACTIVE", 6);
  r.volTypeCode = 3;
  r.numChild = plexes;
  r.volSize = size;
  return r;
}

inline Ldm::LdmRecord PlexRecord(std::uint64_t rid, const std::string& name, std::uint64_t volume,
                                 std::uint8_t layout, std::uint64_t stripe, std::uint32_t columns) {
  Ldm::LdmRecord r;
  r.type = Ldm::kRecordPlex;
  r.version = 3;
  r.rid = rid;
  r.name = name;
  r.plxState = "ACTIVE";
  r.layout = layout;
  r.parent = volume;
  r.stripeSiz = stripe;
  r.numCol = columns;
  if (layout != 2) r.flags |= 0x10;  // stripe size and columns present even when 0
  return r;
}

inline Ldm::LdmRecord SubdiskRecord(std::uint64_t rid, const std::string& name,
                                    std::uint64_t plex, std::uint64_t disk, std::uint64_t start,
                                    std::uint64_t size, std::uint32_t column) {
  Ldm::LdmRecord r;
  r.type = Ldm::kRecordSubdisk;
  r.version = 3;
  r.rid = rid;
  r.name = name;
  r.plexRid = plex;
  r.diskRid = disk;
  r.start = start;
  r.size = size;
  r.plexIdx = column;
  r.flags |= 0x08;
  return r;
}

}  // namespace LdmTest
