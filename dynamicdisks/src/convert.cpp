// A basic disk made a member of a disk group: its private region placed and
// written, its disk record added, and the partitions it holds turned into
// simple volumes on the same sectors, with the partition table rewritten to
// describe the dynamic layout (0x42 entries on MBR; the LDM metadata and
// data partitions on GPT).
//
// Everything that can refuse the conversion is checked before the first
// byte is written: the regions must fit, no partition may reach into the
// private region, and every partition that becomes a volume must lie in
// the public region (a subdisk's start is counted from there, so one below
// it would have no valid start). After the first write a failure is
// returned at once; the caller puts the written sectors back.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "fdisk/named_var_keys.h"
#include "fdisk/partition_types.h"
#include "foundation/byteorder.h"
#include "foundation/guid.h"
#include "foundation/random.h"
#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/log.h"

namespace Ldm {

namespace {

namespace K = Fdisk::NamedVars::Keys;

constexpr std::uint32_t kInitLocation = 0x1501;
constexpr std::uint32_t kStrictLocation = 0x1502;
constexpr std::uint32_t kMsrLocation = 0x1503;

constexpr std::uint64_t kPrivateSectors = 2048;
constexpr std::uint64_t kConfigOffset = 17;
constexpr std::uint64_t kConfigSectors = 1481;
constexpr std::uint64_t kLogOffset = 1498;
constexpr std::uint64_t kLogSectors = 224;
constexpr std::uint64_t kCopy0Offset = 2047;
constexpr std::uint64_t kCopy1Offset = 1856;
constexpr std::uint64_t kTocOffsets[4] = {1, 2, 2045, 2046};
// The least MSR that keeps room for a database at its end.
constexpr std::uint64_t kMsrLeast = 0x900;
// GPT: the backup entries and header behind the last usable sector.
constexpr std::uint64_t kGptTail = 34;
constexpr const char* kNoMsrText = "There is no space on the disk for MS Reserved Partition creation.";

bool SpecialMbrType(std::uint8_t type) {
  return type == 0x12 || type == 0x84 || type == 0xA0 || type == 0xDE || type == 0xFE;
}

std::uint64_t DatabaseTimeNow() {
  using namespace std::chrono;
  const std::int64_t unix100ns =
      duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() * 10;
  return std::uint64_t(unix100ns) + 116444736000000000ull;
}

std::string NewGuidText() {
  Common::Guid guid{};
  Common::GuidNewRandom(guid);
  return FormatLdmGuid(guid.bytes);
}

void PutText(std::uint8_t* at, const std::string& text, std::size_t width) {
  std::memcpy(at, text.data(), std::min(text.size(), width));
}

void SetState(std::array<std::uint8_t, 14>& field, const char* text) {
  field.fill(0);
  std::memcpy(field.data(), text, std::strlen(text));
}

// One partition or free area of the disk, as a scheme driver shows it.
struct Piece {
  std::uint32_t portionId = 0;
  std::uint32_t driverId = 0;
  bool free = false;
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::uint8_t mbrType = 0;
  bool active = false;
  bool logical = false;
  Common::Guid gptType{};

  std::uint64_t End() const { return start + size; }
};

// The disk's MBR or GPT portions of a layer, by start.
std::vector<Piece> PiecesOf(Fdisk::Layer& layer, std::uint32_t diskId, bool gpt) {
  std::vector<Piece> out;
  for (auto& entry : layer) {
    LdmLowerLayerVisitor kind(entry.second);
    Piece p;
    p.portionId = entry.first;
    p.driverId = entry.second.GetDriverId();
    p.free = entry.second.IsFree();
    if (!gpt && kind.mbr != nullptr && kind.mbr->diskId == diskId) {
      p.start = kind.mbr->firstSector;
      p.size = kind.mbr->sectorCount;
      p.mbrType = kind.mbr->type;
      p.active = kind.mbr->active;
      p.logical = kind.mbr->logical;
    } else if (gpt && kind.gpt != nullptr && kind.gpt->diskId == diskId) {
      p.start = kind.gpt->firstSector;
      p.size = kind.gpt->sectorCount;
      p.gptType = Common::Guid::FromBytes(kind.gpt->typeGuid.data());
    } else {
      continue;
    }
    out.push_back(p);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Piece& a, const Piece& b) { return a.start < b.start; });
  return out;
}

// The private region's first bytes as a new database holds them.
struct NewDatabase {
  std::uint8_t privHead[kSectorBytes] = {};
  std::uint8_t toc[kSectorBytes] = {};
  std::uint8_t klog[2][kSectorBytes] = {};
  std::vector<std::uint8_t> config;  // VMDB and every slot, empty
};

NewDatabase BuildDatabase(const LdmDgAccess& group, const LdmDisk& disk, std::uint64_t now) {
  NewDatabase db;
  std::uint8_t* p = db.privHead;
  std::memcpy(p, "PRIVHEAD", 8);
  Common::StoreBe16(p + 0x0C, 2);
  Common::StoreBe16(p + 0x0E, 11);
  Common::StoreBe64(p + 0x10, now);
  Common::StoreBe64(p + 0x18, 1);
  Common::StoreBe64(p + 0x20, kCopy0Offset);
  Common::StoreBe64(p + 0x28, kCopy1Offset);
  PutText(p + 0x30, disk.diskGuid, 64);
  PutText(p + 0x70, group.hostGuid, 64);
  PutText(p + 0xB0, group.groupGuid, 64);
  PutText(p + 0xF0, group.name, 31);
  Common::StoreBe32(p + 0x10F, 512);
  Common::StoreBe64(p + 0x11B, disk.publicStart);
  Common::StoreBe64(p + 0x123, disk.publicSize);
  Common::StoreBe64(p + 0x12B, disk.privateStart);
  Common::StoreBe64(p + 0x133, kPrivateSectors);
  Common::StoreBe64(p + 0x13B, 2);
  Common::StoreBe64(p + 0x143, 2045);
  Common::StoreBe32(p + 0x14B, 1);
  Common::StoreBe32(p + 0x14F, 1);
  Common::StoreBe64(p + 0x153, kConfigSectors);
  Common::StoreBe64(p + 0x15B, kLogSectors);
  SetSectorChecksum(p);

  std::uint8_t* t = db.toc;
  std::memcpy(t, "TOCBLOCK", 8);
  Common::StoreBe64(t + 0x0C, 1);
  auto region = [&](std::uint8_t* at, const char* name, std::uint64_t start, std::uint64_t size) {
    std::memcpy(at, name, std::strlen(name));
    Common::StoreBe64(at + 0x0A, start);
    Common::StoreBe64(at + 0x12, size);
    Common::StoreBe16(at + 0x1A, 6);
    Common::StoreBe16(at + 0x1C, 1);
  };
  region(t + 0x24, "config", kConfigOffset, kConfigSectors);
  region(t + 0x46, "log", kLogOffset, kLogSectors);
  SetSectorChecksum(t);

  for (std::uint32_t k = 0; k < 2; ++k) {
    std::uint8_t* l = db.klog[k];
    std::memcpy(l, "KLOG", 4);
    Common::StoreBe32(l + 0x08, 0x404);
    Common::StoreBe32(l + 0x10, 2);
    Common::StoreBe32(l + 0x14, k);
    l[0x18] = 3;
  }

  db.config.assign(std::size_t(kConfigSectors) * kSectorBytes, 0);
  const std::uint32_t slots = static_cast<std::uint32_t>(kConfigSectors * kSlotsPerSector);
  for (std::uint32_t i = kFirstSlot; i < slots; ++i) {
    std::uint8_t* slot = db.config.data() + std::size_t(i) * kSlotBytes;
    std::memcpy(slot, "VBLK", 4);
    Common::StoreBe32(slot + 4, i);
  }
  std::uint8_t* v = db.config.data();
  std::memcpy(v, "VMDB", 4);
  Common::StoreBe32(v + 0x04, slots);
  Common::StoreBe32(v + 0x08, kSlotBytes);
  Common::StoreBe32(v + 0x0C, kSectorBytes);
  Common::StoreBe16(v + 0x10, 1);
  Common::StoreBe16(v + 0x12, 4);
  Common::StoreBe16(v + 0x14, 10);
  PutText(v + 0x16, group.name, 31);
  PutText(v + 0x35, group.groupGuid, 64);
  Common::StoreBe64(v + 0xBD, now);
  return db;
}

// Runs one scheme-driver operation; a refusal comes back as its error.
Common::Error CreateThrough(Fdisk::PSDriver& driver, const Fdisk::NamedVars::VarContainer& p) {
  return driver.CreatePortion(p).first;
}

}  // namespace

LdmDgAccess::LdmDgAccess(const std::string& groupName, LdmComputer* owner)
    : hostGuid(owner != nullptr ? owner->hostGuid : std::string()),
      groupGuid(NewGuidText()),
      name(groupName.substr(0, 31)),
      nextLogCommitId(1028),
      nextRid(1028),
      computer(owner) {
  LdmLog("New Disk Group = '%s'", name.c_str());
  auto record = std::make_unique<LdmRecord>();
  record->type = kRecordGroup;
  record->version = 3;
  record->rid = NextRid();
  record->name = name;
  record->guidText = groupGuid;
  record->logId = NextLogCommitId();
  record->ncopy1 = 0xFFFFFFFFu;
  record->ncopy2 = 0xFFFFFFFFu;
  AddRecord(std::move(record)).touched = false;
}

Common::Error LdmDgAccess::CreateVolumeStrictlyByPartition(LdmDisk& disk, std::uint64_t start,
                                                           std::uint64_t size,
                                                           std::uint32_t partitionType,
                                                           bool retained) {
  LdmRecord* diskRecord = FindRecord(disk.rid);
  if (diskRecord == nullptr || diskRecord->type != kRecordDisk) {
    LdmLog("CreateVolumeStrictlyByPartitition - internal - Can't find Disk Record for Rid = %llx",
           (unsigned long long)disk.rid);
    return MakeLdmError(kStrictLocation, kErrNoSuchDisk);
  }
  std::uint64_t end = 0;
  if (size == 0 || start < disk.publicStart || !Common::CheckedAdd(start, size, &end) ||
      end > disk.publicStart + disk.publicSize) {
    LdmLog("CreateVolumeStrictlyByPartition: the partition lies outside the public region");
    return MakeLdmError(kStrictLocation, kErrNoDatabaseSpace);
  }
  auto volume = std::make_unique<LdmRecord>();
  volume->type = kRecordVolume;
  volume->version = 5;
  volume->rid = NextRid();
  volume->name = MakeVolumeName(Fdisk::kLdmVolSimple);
  volume->volType = "gen";
  volume->volTypeCode = 3;
  volume->volFlags = retained ? 0xE00011u : 0x800011u;
  SetState(volume->volState, "ACTIVE");
  volume->volNum = NextVolumeNumber();
  volume->logComId = NextLogCommitId();
  volume->id = NextLogCommitId();
  volume->volSize = size;
  volume->partType = partitionType;
  Common::Guid guid{};
  Common::GuidNewRandom(guid);
  std::memcpy(volume->guid.data(), guid.bytes, 16);
  LdmRecord& vol = AddRecord(std::move(volume));

  auto plex = std::make_unique<LdmRecord>();
  plex->type = kRecordPlex;
  plex->version = 3;
  plex->rid = NextRid();
  plex->name = MakeChildName(vol.name);
  plex->plxState = "ACTIVE";
  plex->layout = 2;
  plex->parent = vol.rid;
  plex->logComId = NextLogCommitId();
  LdmRecord& px = AddRecord(std::move(plex));
  LinkChild(vol, px);

  auto sd = std::make_unique<LdmRecord>();
  sd->type = kRecordSubdisk;
  sd->version = 3;
  sd->rid = NextRid();
  sd->name = MakeChildName(diskRecord->name);
  sd->logComId = NextLogCommitId();
  sd->start = start - disk.publicStart;
  sd->volOff = 0;
  sd->size = size;
  sd->plexRid = px.rid;
  sd->diskRid = diskRecord->rid;
  LdmRecord& made = AddRecord(std::move(sd));
  LinkChild(px, made);
  LinkChild(*diskRecord, made);

  px.logComId = NextLogCommitId();
  disk.GetLdmFreeSpaces();
  vol.id = NextLogCommitId();
  vol.logComId = NextLogCommitId();
  AddVolumeSummary(vol);
  LdmLog("CreateVolumeStrictlyByPartition: success");
  return Common::Error();
}

Common::Error LdmDgAccess::InitNewDatabase(LdmDisk& disk, bool writeNow,
                                           Fdisk::PSDriverFactory& factory) {
  LdmLog("InitNewDatabase: '%s'", name.c_str());
  if (disk.modelDisk == nullptr) return MakeLdmError(kInitLocation, kErrNoSuchDisk);
  const Fdisk::AdvancedLocus locus =
      disk.modelDisk->GetProperties().GetOr(Fdisk::NamedVars::Keys::AdvancedLocus,
                                            Fdisk::AdvancedLocus());
  const std::uint64_t total = disk.DiskSectors();
  Fdisk::Layer& head = computer->headLayer;
  const std::uint32_t diskId = disk.GetDiskId();
  const std::vector<Piece> pieces = PiecesOf(head, diskId, disk.gpt);
  auto noRoom = [&](const char* why) {
    LdmLog("InitNewDatabase: %s", why);
    return MakeLdmError(kInitLocation, kErrNoDatabaseSpace);
  };

  // 1. Where the regions go, and what the partition table becomes.
  std::uint64_t privateStart = 0;
  std::uint64_t publicStart = 0;
  std::uint64_t publicSize = 0;
  const Piece* msr = nullptr;
  const Piece* metadata = nullptr;
  // The MSR to make on a GPT disk without one: its extent (size 0: none).
  std::uint64_t newMsrStart = 0;
  std::uint64_t newMsrSize = 0;
  if (!disk.gpt) {
    std::uint64_t end = locus.AlignedEnd();
    if (end >= total) end = total - 1;
    if (end < kPrivateSectors) return noRoom("the disk is too small");
    privateStart = end - (kPrivateSectors - 1);
    publicStart = locus.sectorsPerTrack;
    const Piece* lowest = nullptr;
    bool anySpecial = false;
    for (const Piece& p : pieces) {
      if (p.free) continue;
      if (SpecialMbrType(p.mbrType)) anySpecial = true;
      if (lowest == nullptr || p.start < lowest->start) lowest = &p;
    }
    if (anySpecial && lowest != nullptr && SpecialMbrType(lowest->mbrType) && !lowest->logical) {
      publicStart = lowest->End();
    }
    if (publicStart >= privateStart) return noRoom("no public region");
    publicSize = privateStart - publicStart;
    for (const Piece& p : pieces) {
      if (p.free) continue;
      if (p.End() > privateStart) return noRoom("a partition reaches into the private region");
    }
  } else {
    for (const Piece& p : pieces) {
      if (p.free) continue;
      if (msr == nullptr && p.gptType == Fdisk::PartitionTypeGuids::MicrosoftReserved) msr = &p;
      if (metadata == nullptr && p.gptType == Fdisk::PartitionTypeGuids::LdmMetadata) {
        metadata = &p;
      }
    }
    if (msr != nullptr) {
      const std::uint64_t m = msr->size >= kMsrLeast ? msr->End() : 0;
      privateStart = metadata != nullptr ? metadata->start : (m >= kPrivateSectors ? m - kPrivateSectors : 0);
      publicStart = std::max(privateStart + kPrivateSectors, m);
    } else {
      // An MSR of 32 MiB (128 MiB from 16 GiB on), in the lowest free
      // area when that is large enough, else at the end of the highest.
      const std::uint32_t bytes = disk.modelDisk->GetSimpleDisk()->GetSectorSize();
      std::uint64_t size = (0x100000ull / bytes) * (total < (0x40000000ull / bytes) * 16 ? 32 : 128);
      if (pieces.empty()) {
        LdmLog("InitNewDatabase: no place for an MSR");
        return MakeLdmError(kMsrLocation, kErrNoMsrSpace, kNoMsrText);
      }
      const Piece& low = pieces.front();
      const Piece& high = pieces.back();
      if (low.free && low.size >= size) {
        newMsrStart = low.start;
      } else if (high.free && high.size >= kPrivateSectors) {
        if (high.size <= size) size = high.size;
        newMsrStart = high.End() - size;
      } else {
        LdmLog("InitNewDatabase: no place for an MSR");
        return MakeLdmError(kMsrLocation, kErrNoMsrSpace, kNoMsrText);
      }
      newMsrSize = size;
      const std::uint64_t msrEnd = newMsrStart + newMsrSize;
      privateStart = msrEnd - kPrivateSectors;
      if (newMsrStart == low.start) {
        publicStart = std::max(privateStart + kPrivateSectors, msrEnd);
      } else {
        publicStart = low.start;
        publicSize = newMsrStart - low.start;
      }
    }
    if (privateStart == 0) return noRoom("no MSR large enough for the database");
    if (publicSize == 0) {
      if (total < kGptTail || publicStart >= total - kGptTail) return noRoom("no public region");
      publicSize = total - kGptTail - publicStart;
    }
    if (metadata == nullptr && msr != nullptr && msr->size <= kPrivateSectors) {
      return noRoom("the MSR cannot give up the database's sectors");
    }
  }
  std::uint64_t privateEnd = 0;
  if (!Common::CheckedAdd(privateStart, kPrivateSectors, &privateEnd) || privateEnd > total) {
    return noRoom("the private region lies outside the disk");
  }
  // Every partition that becomes a volume lies in the public region.
  for (const Piece& p : pieces) {
    if (p.free) continue;
    bool becomesVolume = false;
    if (!disk.gpt) {
      becomesVolume = !SpecialMbrType(p.mbrType) && p.mbrType != 0x42 && p.start >= publicStart;
    } else {
      becomesVolume = !(p.gptType == Fdisk::PartitionTypeGuids::MicrosoftReserved) &&
                      !(p.gptType == Fdisk::PartitionTypeGuids::LdmMetadata) &&
                      !(p.gptType == Fdisk::PartitionTypeGuids::LdmData) &&
                      !(p.gptType == Fdisk::PartitionTypeGuids::EfiSystem);
    }
    if (becomesVolume && (p.start < publicStart || p.End() > publicStart + publicSize)) {
      return noRoom("a partition lies outside the public region");
    }
  }
  LdmLog("Convertation MBR -> LDM possible");

  // 2. The disk's identity and regions.
  NextRid();  // reserved for the disk, never used (the record takes the next)
  disk.diskGuid = NewGuidText();
  disk.hostGuid = hostGuid;
  disk.groupGuid = groupGuid;
  disk.groupName = name;
  disk.privateStart = privateStart;
  disk.privateSize = kPrivateSectors;
  disk.publicStart = publicStart;
  disk.publicSize = publicSize;
  disk.configStart = privateStart + kConfigOffset;
  disk.configSize = kConfigSectors;
  disk.logStart = privateStart + kLogOffset;
  disk.logSize = kLogSectors;
  disk.privHeadCopy0 = privateStart + kCopy0Offset;
  disk.privHeadCopy1 = privateStart + kCopy1Offset;
  disk.privHeadSector = disk.gpt ? privateStart + kPrivateSectors - 1 : 6;

  // 3. The new database, written whole: PRIVHEAD, TOCBLOCK, KLOG, VMDB and
  // every slot empty. With writeNow false nothing is written.
  const std::uint64_t now = DatabaseTimeNow();
  NewDatabase db = BuildDatabase(*this, disk, now);
  ParsePrivHead(db.privHead, disk.privHead);
  if (writeNow) {
    std::vector<std::uint8_t> region(std::size_t(kPrivateSectors) * kSectorBytes, 0);
    auto at = [&](std::uint64_t offset) { return region.data() + offset * kSectorBytes; };
    for (std::uint64_t off : kTocOffsets) std::memcpy(at(off), db.toc, kSectorBytes);
    std::memcpy(at(kConfigOffset), db.config.data(), db.config.size());
    std::memcpy(at(kLogOffset), db.klog[0], kSectorBytes);
    std::memcpy(at(kLogOffset + 1), db.klog[1], kSectorBytes);
    std::memcpy(at(kCopy1Offset), db.privHead, kSectorBytes);
    std::memcpy(at(kCopy0Offset), db.privHead, kSectorBytes);
    disk.modelDisk->Lock();
    Common::Error e = disk.WriteSectors(privateStart, region.data(), kPrivateSectors);
    if (!e && !disk.gpt) e = disk.WriteSectors(6, db.privHead, 1);
    disk.modelDisk->Unlock();
    if (e) {
      LdmLog("InitNewDatabase: the database cannot be written");
      return e;
    }
  }
  if (primary == nullptr) {
    primary = &disk;
    vmdbImage.assign(db.config.begin(), db.config.begin() + kSectorBytes);
    dbTime = now;
  }

  // 4. The disk record, and the disk a member.
  auto record = std::make_unique<LdmRecord>();
  record->type = kRecordDisk;
  record->version = 3;
  record->rid = NextRid();
  record->name = "";
  for (std::uint32_t n = 1;; ++n) {
    const std::string candidate = "Disk" + std::to_string(n);
    if (FindRecordByName(candidate) == nullptr) {
      record->name = candidate;
      break;
    }
  }
  record->guidText = disk.diskGuid;
  record->logId = NextLogCommitId();
  LdmRecord& diskRecord = AddRecord(std::move(record));
  diskRecord.touched = false;
  disk.rid = diskRecord.rid;
  disk.type = kDiskDynamic;
  disk.dbState = writeNow ? kDbValid : kDbNotValidated;
  disk.dbTime = now;
  AddMember(&disk);
  disk.CalculatePartitionalSpace();
  disk.GetLdmFreeSpaces();

  // 5. The partitions become volumes, and the table follows.
  Fdisk::NamedVars::VarContainer base;
  base.Set(K::DiskID, static_cast<unsigned long>(diskId));
  if (!disk.gpt) {
    Fdisk::PSDriver* mbr = nullptr;
    for (const Piece& p : pieces) {
      mbr = &factory.GetDriver(p.driverId);
      break;
    }
    if (mbr == nullptr) return MakeLdmError(kInitLocation, kErrNoSuchDisk);
    for (const Piece& p : pieces) {
      if (p.free || SpecialMbrType(p.mbrType) || p.mbrType == 0x42) continue;
      if (p.start < publicStart || p.End() > privateStart) continue;
      if (Common::Error e = CreateVolumeStrictlyByPartition(disk, p.start, p.size, p.mbrType,
                                                            p.active)) {
        return e;
      }
    }
    // Special partitions inside the public region would be overlaid by
    // volumes: they go.
    for (const Piece& p : pieces) {
      if (p.free || !SpecialMbrType(p.mbrType) || p.start < publicStart) continue;
      Fdisk::NamedVars::VarContainer del;
      del.Set(K::PortionID, static_cast<unsigned long>(p.portionId));
      if (Common::Error e = mbr->DeletePortion(del)) return e;
    }
    bool primaryEntries = true;
    for (const Piece& p : PiecesOf(mbr->GetPortions(), diskId, false)) {
      if (p.free) {
        Fdisk::NamedVars::VarContainer make = base;
        make.Set(K::Start, Fdisk::NamedVars::VarU64(p.start));
        make.Set(K::Size, Fdisk::NamedVars::VarU64(p.size));
        make.Set(K::Type, 0x42ul);
        make.Set(K::BeginAligned, false);
        make.Set(K::EndAligned, false);
        make.Set(K::PrimaryFlag, primaryEntries);
        if (CreateThrough(*mbr, make) && primaryEntries) {
          // The table has no room for another primary entry: this and
          // every further area become logical ones. An area that cannot
          // be described at all stays free; no volume lies there.
          primaryEntries = false;
          make.Set(K::PrimaryFlag, false);
          CreateThrough(*mbr, make);
        }
      } else if (p.mbrType != 0x42 && !SpecialMbrType(p.mbrType)) {
        Fdisk::NamedVars::VarContainer change;
        change.Set(K::PortionID, static_cast<unsigned long>(p.portionId));
        change.Set(K::Type, 0x42ul);
        if (Common::Error e = mbr->ChangePortion(change)) return e;
      }
    }
    if (writeNow) {
      if (Common::Error e = mbr->Commit()) return e;
    }
    head = mbr->GetPortions();
  } else {
    Fdisk::PSDriver* gptDriver = nullptr;
    for (const Piece& p : pieces) {
      gptDriver = &factory.GetDriver(p.driverId);
      break;
    }
    if (gptDriver == nullptr) return MakeLdmError(kInitLocation, kErrNoSuchDisk);
    // A GPT partition made in the free area that holds its start.
    auto createGpt = [&](std::uint64_t start, std::uint64_t size, const Common::Guid& type,
                         const char* friendly) -> Common::Error {
      for (const Piece& f : PiecesOf(gptDriver->GetPortions(), diskId, true)) {
        if (!f.free || start < f.start || start >= f.End()) continue;
        Fdisk::NamedVars::VarContainer make = base;
        make.Set(K::Start, Fdisk::NamedVars::VarU64(start));
        make.Set(K::Size, Fdisk::NamedVars::VarU64(size));
        make.Set(K::PartitionType, type);
        std::u16string text;
        for (const char* c = friendly; *c; ++c) text.push_back(char16_t(*c));
        make.Set(K::FriendlyName, text);
        make.Set(K::PortionID, static_cast<unsigned long>(f.portionId));
        return CreateThrough(*gptDriver, make);
      }
      return Common::Error();
    };
    if (newMsrSize > kPrivateSectors) {
      if (Common::Error e = createGpt(newMsrStart, newMsrSize,
                                      Fdisk::PartitionTypeGuids::MicrosoftReserved,
                                      "Microsoft reserved partition")) {
        return e;
      }
    }
    if (metadata == nullptr) {
      const std::vector<Piece> now = PiecesOf(gptDriver->GetPortions(), diskId, true);
      const Piece* room = nullptr;
      for (const Piece& p : now) {
        if (!p.free && p.gptType == Fdisk::PartitionTypeGuids::MicrosoftReserved) {
          room = &p;
          break;
        }
      }
      if (room == nullptr && !now.empty()) room = &now.back();
      if (room != nullptr && !room->free) {
        if (room->size <= kPrivateSectors) return noRoom("the MSR is too small");
        Fdisk::NamedVars::VarContainer shorten;
        shorten.Set(K::PortionID, static_cast<unsigned long>(room->portionId));
        shorten.Set(K::Size, Fdisk::NamedVars::VarU64(room->size - kPrivateSectors));
        const std::uint64_t metaStart = room->End() - kPrivateSectors;
        if (Common::Error e = gptDriver->ChangePortion(shorten)) return e;
        if (Common::Error e = createGpt(metaStart, kPrivateSectors,
                                        Fdisk::PartitionTypeGuids::LdmMetadata,
                                        "LDM metadata partition")) {
          return e;
        }
      } else if (room != nullptr) {
        if (Common::Error e = createGpt(room->start, kPrivateSectors,
                                        Fdisk::PartitionTypeGuids::LdmMetadata,
                                        "LDM metadata partition")) {
          return e;
        }
      }
    }
    for (const Piece& p : PiecesOf(gptDriver->GetPortions(), diskId, true)) {
      if (p.free || p.gptType == Fdisk::PartitionTypeGuids::MicrosoftReserved ||
          p.gptType == Fdisk::PartitionTypeGuids::LdmMetadata ||
          p.gptType == Fdisk::PartitionTypeGuids::LdmData ||
          p.gptType == Fdisk::PartitionTypeGuids::EfiSystem) {
        continue;
      }
      if (Common::Error e = CreateVolumeStrictlyByPartition(disk, p.start, p.size, 7, false)) {
        return e;
      }
      Fdisk::NamedVars::VarContainer del;
      del.Set(K::PortionID, static_cast<unsigned long>(p.portionId));
      if (Common::Error e = gptDriver->DeletePortion(del)) return e;
    }
    for (const Piece& p : PiecesOf(gptDriver->GetPortions(), diskId, true)) {
      if (!p.free) continue;
      if (Common::Error e = createGpt(p.start, p.size, Fdisk::PartitionTypeGuids::LdmData,
                                      "LDM data partition")) {
        return e;
      }
    }
    if (writeNow) {
      if (Common::Error e = gptDriver->Commit()) return e;
    }
    head = gptDriver->GetPortions();
  }
  disk.CalculatePartitionalSpace();
  disk.GetLdmFreeSpaces();

  // 6. The records on every member.
  if (writeNow) {
    if (Common::Error e = CommitDatabase()) return e;
  }
  return Common::Error();
}

}  // namespace Ldm
