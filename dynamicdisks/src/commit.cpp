// Writing a disk group's records back to its members.
//
// A commit is prepared whole before the first byte is written: every record
// is packed and the slots are counted against the database's room, and every
// sector the commit patches (the "config" region, the PRIVHEAD and TOCBLOCK
// copies, the KLOG sectors) is read in full from every member it writes. A
// read failure or a database too small ends the commit with nothing written.
//
// Each member is then written in an order that makes an interruption
// visible: its VMDB sector first, with the consistency flag cleared; then
// the record slots that changed, the PRIVHEAD and TOCBLOCK copies with the
// new update sequence and the KLOG; last the new VMDB, consistent again. A
// member whose writing stopped half-way keeps the cleared flag, and the next
// scan reports its database inconsistent and does not read it. The first
// failed write ends the commit and is returned.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "foundation/byteorder.h"
#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/log.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kNoPrimaryLocation = 0x1301;
constexpr std::uint32_t kPackLocation = 0x1302;
constexpr std::uint32_t kRoomLocation = 0x1303;

// TOCBLOCK copies, relative to the private start.
constexpr std::uint64_t kTocOffsets[4] = {1, 2, 2046, 2045};

// Now as the database keeps times: 100 ns units since 1601.
std::uint64_t DatabaseTimeNow() {
  using namespace std::chrono;
  const std::int64_t unix100ns =
      duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() * 10;
  return std::uint64_t(unix100ns) + 116444736000000000ull;
}

// One sector a commit patches on one member: where, and its bytes as read.
struct Patch {
  std::uint64_t sector = 0;
  std::uint8_t bytes[kSectorBytes];
};

// What one member receives.
struct Target {
  explicit Target(LdmDisk* d) : disk(d) {}
  LdmDisk* disk;
  std::uint64_t transfer = 0;          // config sectors written
  std::vector<std::uint8_t> oldConfig;  // as read
  std::vector<Patch> privHeads;
  std::vector<Patch> tocs;
  std::vector<Patch> klogs;
};

void EmptySlot(std::uint8_t* slot, std::uint32_t index) {
  std::memset(slot, 0, kSlotBytes);
  std::memcpy(slot, "VBLK", 4);
  Common::StoreBe32(slot + 4, index);
}

}  // namespace

std::uint64_t LdmDgAccess::GetMaxLogCommitId() const {
  std::uint64_t best = nextLogCommitId;
  for (const auto& r : records) best = std::max(best, r->LogCommitId());
  return best;
}

Common::Error LdmDgAccess::CommitDatabase() {
  LdmLog("CommitDatabase: '%s'", name.c_str());
  if (primary == nullptr || primary->type != kDiskDynamic || vmdbImage.size() < kSectorBytes) {
    LdmLog("CommitDatabase: No primary disk in this dg");
    return MakeLdmError(kNoPrimaryLocation, kErrCorrupt);
  }

  // 1. Pack every record and count its slots.
  std::uint64_t slotsUsed = 0;
  std::uint32_t counts[6] = {};
  for (auto& record : records) {
    if (record->type == kRecordVolume || record->type == kRecordPlex) {
      record->numChild = static_cast<std::uint32_t>(record->children.size());
    }
    const std::uint32_t n = record->GetPackedVblkCount();
    if (n != record->SlotCount()) record->SetSlotCount(n);
    if (n == 0 || n > 0xFFFF || !record->Pack()) {
      LdmLog("CommitDatabase: record %llu cannot be packed", (unsigned long long)record->rid);
      return MakeLdmError(kPackLocation, kErrCorrupt);
    }
    slotsUsed += n;
    if (record->type < 6) counts[record->type]++;
  }
  const std::uint64_t endSlot = kFirstSlot + slotsUsed;  // first slot after the records
  Vmdb vmdb;
  ParseVmdb(vmdbImage.data(), vmdb);
  const std::uint64_t room = std::min<std::uint64_t>(vmdb.slotCount, primary->configSize * kSlotsPerSector);
  // The slots the commit touches: the records and, up to the old end, the
  // ones it empties.
  const std::uint64_t lastTouched = std::max<std::uint64_t>(endSlot - 1, dirtyRegionMark);
  if (endSlot > room) {
    LdmLog("CommitDatabase: %llu slots do not fit %llu", (unsigned long long)endSlot,
           (unsigned long long)room);
    return MakeLdmError(kRoomLocation, kErrBadIndex);
  }
  const std::uint64_t neededSectors = lastTouched / kSlotsPerSector + 1;

  // 2. The members written: the primary disk, then every other dynamic
  // member. Stalled, missing and damaged members are not ours to write.
  std::vector<Target> targets;
  targets.emplace_back(primary);
  for (LdmDisk* d : members) {
    if (d != primary && d->type == kDiskDynamic && d->modelDisk != nullptr) {
      targets.emplace_back(d);
    }
  }
  for (Target& t : targets) {
    t.transfer = std::min(primary->configSize, t.disk->configSize);
    if (t.transfer < neededSectors) {
      LdmLog("CommitDatabase: the database does not fit member '%s'", t.disk->diskGuid.c_str());
      return MakeLdmError(kRoomLocation, kErrBadIndex);
    }
  }

  // 3. Read, whole, everything that will be patched.
  for (Target& t : targets) {
    LdmDisk& d = *t.disk;
    t.oldConfig.resize(std::size_t(t.transfer) * kSectorBytes);
    if (Common::Error e = d.ReadSectors(d.configStart, t.oldConfig.data(), t.transfer)) {
      LdmLog("CommitDatabase: Error read config region");
      return e;
    }
    auto readInto = [&](std::vector<Patch>& list, std::uint64_t sector, const char* magic,
                        std::size_t magicBytes) -> Common::Error {
      Patch p;
      p.sector = sector;
      if (Common::Error e = d.ReadSectors(sector, p.bytes, 1)) return e;
      // A copy that is not what it should be is left alone: patching it
      // would write a sector that was never a header.
      if (magic != nullptr && std::memcmp(p.bytes, magic, magicBytes) != 0) return Common::Error();
      list.push_back(p);
      return Common::Error();
    };
    for (std::uint64_t s : d.PrivHeadSectors()) {
      if (Common::Error e = readInto(t.privHeads, s, "PRIVHEAD", 8)) return e;
    }
    for (std::uint64_t off : kTocOffsets) {
      if (off >= d.privateSize) continue;
      if (Common::Error e = readInto(t.tocs, d.privateStart + off, "TOCBLOCK", 8)) return e;
    }
    for (std::uint64_t k = 0; k < 2 && k < d.logSize; ++k) {
      if (Common::Error e = readInto(t.klogs, d.logStart + k, nullptr, 0)) return e;
    }
  }

  // 4. The new update sequence: past every value any member holds, so that
  // all members carry the same one and each commit advances it.
  std::uint64_t sequence = 0;
  for (const Target& t : targets) {
    for (const Patch& p : t.privHeads) sequence = std::max(sequence, Common::LoadBe64(p.bytes + 0x18));
    for (const Patch& p : t.tocs) sequence = std::max(sequence, Common::LoadBe64(p.bytes + 0x0C));
  }
  ++sequence;
  const std::uint64_t now = std::max(DatabaseTimeNow(), dbTime + 1);
  const std::uint64_t maxCommit = GetMaxLogCommitId();

  // 5. The new "config" region, on the primary disk's bytes.
  std::vector<std::uint8_t> config = targets.front().oldConfig;
  // Oldest first, the order the scan read them in: the records keep their
  // places from one commit to the next, and new ones follow.
  std::uint32_t slot = kFirstSlot;
  std::uint32_t number = 1;
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    auto& record = *it;
    const std::uint32_t n = record->SlotCount();
    for (std::uint32_t j = 0; j < n; ++j) {
      std::uint8_t* part = record->Packed().data() + std::size_t(j) * kSlotBytes;
      std::memcpy(part, "VBLK", 4);
      Common::StoreBe32(part + 0x04, slot);
      Common::StoreBe32(part + 0x08, number);
      Common::StoreBe16(part + 0x0C, static_cast<std::uint16_t>(j));
      Common::StoreBe16(part + 0x0E, static_cast<std::uint16_t>(n));
      std::memcpy(config.data() + std::size_t(slot) * kSlotBytes, part, kSlotBytes);
      ++slot;
    }
    ++number;
  }
  for (std::uint64_t i = slot; i <= lastTouched; ++i) {
    EmptySlot(config.data() + std::size_t(i) * kSlotBytes, static_cast<std::uint32_t>(i));
  }
  std::vector<std::uint8_t> newVmdb(vmdbImage.begin(), vmdbImage.begin() + kSectorBytes);
  std::uint8_t* v = newVmdb.data();
  Common::StoreBe16(v + 0x10, 1);
  Common::StoreBe64(v + 0x75, maxCommit);
  Common::StoreBe64(v + 0x7D, maxCommit);
  Common::StoreBe32(v + 0x85, counts[kRecordVolume]);
  Common::StoreBe32(v + 0x89, counts[kRecordPlex]);
  Common::StoreBe32(v + 0x8D, counts[kRecordSubdisk]);
  Common::StoreBe32(v + 0x91, counts[kRecordDisk]);
  Common::StoreBe32(v + 0xA1, counts[kRecordVolume]);
  Common::StoreBe32(v + 0xA5, counts[kRecordPlex]);
  Common::StoreBe32(v + 0xA9, counts[kRecordSubdisk]);
  Common::StoreBe64(v + 0xBD, now);
  std::memcpy(config.data(), newVmdb.data(), kSectorBytes);

  // 6. Write member by member.
  for (Target& t : targets) {
    LdmDisk& d = *t.disk;
    d.modelDisk->Lock();
    Common::Error failed;
    auto write = [&](std::uint64_t sector, const std::uint8_t* bytes, std::uint64_t count) {
      if (!failed) failed = d.WriteSectors(sector, bytes, count);
    };
    // The mark that a rewrite is under way.
    std::uint8_t marked[kSectorBytes];
    std::memcpy(marked, t.oldConfig.data(), kSectorBytes);
    Common::StoreBe16(marked + 0x10, 0);
    write(d.configStart, marked, 1);
    // The slot sectors that change, in runs.
    std::uint64_t k = 1;
    while (k < t.transfer && !failed) {
      auto differs = [&](std::uint64_t s) {
        return std::memcmp(config.data() + s * kSectorBytes, t.oldConfig.data() + s * kSectorBytes,
                           kSectorBytes) != 0;
      };
      if (!differs(k)) {
        ++k;
        continue;
      }
      std::uint64_t run = k;
      while (run < t.transfer && differs(run)) ++run;
      write(d.configStart + k, config.data() + k * kSectorBytes, run - k);
      k = run;
    }
    for (Patch& p : t.privHeads) {
      Common::StoreBe64(p.bytes + 0x10, now);
      Common::StoreBe64(p.bytes + 0x18, sequence);
      SetSectorChecksum(p.bytes);
      write(p.sector, p.bytes, 1);
    }
    for (Patch& p : t.tocs) {
      Common::StoreBe64(p.bytes + 0x0C, sequence);
      SetSectorChecksum(p.bytes);
      write(p.sector, p.bytes, 1);
    }
    for (Patch& p : t.klogs) {
      std::memset(p.bytes + 0x04, 0, 0x0C);
      p.bytes[0x18] = 3;
      Common::StoreBe64(p.bytes + 0x19, maxCommit - 1);
      Common::StoreBe64(p.bytes + 0x21, maxCommit);
      std::memset(p.bytes + 0x29, 0, kSectorBytes - 0x29);
      write(p.sector, p.bytes, 1);
    }
    // Consistent again, with the new contents.
    write(d.configStart, config.data(), 1);
    d.modelDisk->Unlock();
    if (failed) {
      LdmLog("CommitDatabase: write to member '%s' failed", d.diskGuid.c_str());
      return failed;
    }
    d.privHead.updateSequence = sequence;
    d.dbTime = now;
  }

  // 7. The model follows what the disks now hold.
  vmdbImage.assign(newVmdb.begin(), newVmdb.end());
  dirtyRegionMark = static_cast<std::uint32_t>(std::max<std::uint64_t>(endSlot - 1, kFirstSlot));
  dbTime = now;
  nextLogCommitId = std::max(nextLogCommitId, maxCommit);
  LdmLog("CommitDatabase: Complete");
  return Common::Error();
}

}  // namespace Ldm
