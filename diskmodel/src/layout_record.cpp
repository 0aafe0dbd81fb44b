// Volume layout records and the composite volumes rebuilt from them.
#include "fdisk/layout_record.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <tuple>
#include <utility>

#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/portion.h"

namespace Fdisk {
namespace DM {
namespace {
namespace K = NamedVars::Keys;

constexpr std::uint32_t kLayoutModule = 0x6C617952;
constexpr std::uint32_t kParseLocation = 0x6C617901;
constexpr std::uint32_t kBuildLocation = 0x6C617902;
constexpr std::uint32_t kRequestLocation = 0x6C617903;
// The extent state of a disk that is not there.
constexpr std::uint32_t kExtentDiskMissing = 5;

Common::Error Malformed() {
  return MakeError(kParseLocation, kLayoutModule, kErrInvalidParameter, Fdisk::Msg::kInvalidParameter);
}

bool KnownPlexType(std::uint32_t type) {
  return type == kPlexStriped || type == kPlexSimple || type == kPlexRaid5;
}

bool MemberUsable(const LdmExtent& e, LdmVolType type) {
  if (e.plexFlag == 1) return false;  // excluded from I/O
  if (e.diskState == 3 || e.diskState == 4) return true;
  return e.diskState == 6 && ((type >= 1 && type <= 4) || type > 8);
}

void PlexTypeOf(LdmVolType type, LayoutPlex* plex) {
  switch (type) {
    case kLdmVolStriped:
    case kLdmVolRaid01:
      plex->type = kPlexStriped;
      break;
    case kLdmVolRaid5:
      plex->type = kPlexRaid5;
      plex->layout = kLeftSymmetric;
      break;
    case kLdmVolStripeSetWithParity:
      plex->type = kPlexRaid5;
      plex->layout = kRightAsymmetric;
      break;
    default:
      plex->type = kPlexSimple;
      break;
  }
}

}  // namespace

std::uint64_t LayoutDiskResolver::HandleOf(SimpleDisk*) { return 0; }

std::vector<std::uint8_t> PackLayoutRecord(const LayoutRecord& record) {
  std::size_t size = kLayoutHeaderBytes + 4 * record.flagWords.size();
  for (const LayoutPlex& plex : record.plexes) {
    size += kLayoutPlexBytes + kLayoutMemberBytes * plex.members.size();
  }
  std::vector<std::uint8_t> out(size);
  std::uint8_t* at = out.data();
  Common::StoreLe32(at, std::uint32_t(size));
  Common::StoreLe64(at + 4, record.volumeSectors);
  Common::StoreLe32(at + 12, std::uint32_t(record.plexes.size()));
  std::memcpy(at + 16, record.guid, 16);
  at += kLayoutHeaderBytes;
  for (const LayoutPlex& plex : record.plexes) {
    Common::StoreLe32(at, plex.type);
    Common::StoreLe32(at + 4, plex.layout);
    Common::StoreLe32(at + 8, std::uint32_t(plex.members.size()));
    Common::StoreLe32(at + 12, plex.columns);
    Common::StoreLe64(at + 16, plex.chunk);
    at += kLayoutPlexBytes;
    for (const LayoutMember& m : plex.members) {
      Common::StoreLe32(at, m.column);
      Common::StoreLe32(at + 4, m.disk);
      Common::StoreLe64(at + 8, m.handle);
      Common::StoreLe64(at + 16, m.first);
      Common::StoreLe64(at + 24, m.length);
      Common::StoreLe32(at + 32, m.usable);
      at += kLayoutMemberBytes;
    }
  }
  for (std::uint32_t word : record.flagWords) {
    Common::StoreLe32(at, word);
    at += 4;
  }
  return out;
}

Common::Error ParseLayoutRecord(Common::ByteView bytes, LayoutRecord* out) {
  if (!bytes.Has(0, kLayoutHeaderBytes)) return Malformed();
  const std::uint64_t total = bytes.Le32(0);
  // The stated size bounds every count below; a block longer than it is
  // read only as far as it says.
  if (total < kLayoutHeaderBytes || total > bytes.size()) return Malformed();
  LayoutRecord record;
  record.volumeSectors = bytes.Le64(4);
  const std::uint32_t plexCount = bytes.Le32(12);
  std::memcpy(record.guid, bytes.data() + 16, 16);
  std::uint64_t at = kLayoutHeaderBytes;
  // Each plex needs at least its block: a count larger than the record can
  // hold is refused before anything is reserved for it.
  if (plexCount > (total - at) / kLayoutPlexBytes) return Malformed();
  record.plexes.reserve(plexCount);
  for (std::uint32_t p = 0; p < plexCount; ++p) {
    if (total - at < kLayoutPlexBytes) return Malformed();
    LayoutPlex plex;
    plex.type = bytes.Le32(at);
    plex.layout = bytes.Le32(at + 4);
    const std::uint32_t members = bytes.Le32(at + 8);
    plex.columns = bytes.Le32(at + 12);
    plex.chunk = bytes.Le64(at + 16);
    at += kLayoutPlexBytes;
    if (!KnownPlexType(plex.type)) return Malformed();
    if (plex.type == kPlexRaid5 ? plex.layout > kRightSymmetric : plex.layout != 0) {
      return Malformed();
    }
    if (members > (total - at) / kLayoutMemberBytes) return Malformed();
    plex.members.resize(members);
    for (LayoutMember& m : plex.members) {
      m.column = bytes.Le32(at);
      m.disk = bytes.Le32(at + 4);
      m.handle = bytes.Le64(at + 8);
      m.first = bytes.Le64(at + 16);
      m.length = bytes.Le64(at + 24);
      m.usable = bytes.Le32(at + 32);
      at += kLayoutMemberBytes;
    }
    record.plexes.push_back(std::move(plex));
  }
  const std::uint64_t rest = total - at;
  if (rest % 4 != 0 || rest / 4 > kLayoutMaxFlagWords) return Malformed();
  for (; at < total; at += 4) record.flagWords.push_back(bytes.Le32(at));
  *out = std::move(record);
  return Common::NoError;
}

LdmVolType LayoutVolumeType(const LayoutRecord& record) {
  if (record.plexes.size() > 1) return kLdmVolMirrored;
  if (record.plexes.empty()) return kLdmVolInvalid;
  const LayoutPlex& plex = record.plexes.front();
  switch (plex.type) {
    case kPlexStriped:
      return kLdmVolStriped;
    case kPlexRaid5:
      return plex.layout == 2 ? kLdmVolStripeSetWithParity : kLdmVolRaid5;
    default:
      // One member is a simple volume; more are laid end to end.
      return plex.members.size() > 1 ? kLdmVolSpanned : kLdmVolSimple;
  }
}

DiskMap CollectLayoutDisks(LayoutRecord& record, LayoutDiskResolver& resolver) {
  DiskMap disks;
  for (LayoutPlex& plex : record.plexes) {
    for (LayoutMember& m : plex.members) {
      if (m.disk == kLayoutMissingDisk) continue;
      SimpleDisk* disk = m.handle != 0 ? resolver.ByHandle(m.handle) : resolver.ByKey(m.disk);
      if (disk == nullptr) {
        m.disk = kLayoutMissingDisk;
        m.handle = 0;
        m.usable = 0;
        continue;
      }
      m.disk = resolver.IdOf(disk);
      disks.emplace(m.disk, disk);
    }
  }
  return disks;
}

std::unique_ptr<CompositeVolume> BuildComposite(LayoutRecord& record,
                                                LayoutDiskResolver& resolver) {
  const DiskMap disks = CollectLayoutDisks(record, resolver);
  CompositeVolumeBuilder builder(NamedVars::VarContainer{}, disks);
  for (const LayoutPlex& plex : record.plexes) {
    NamedVars::VarContainer vars;
    (void)vars.Set(K::PlexTypeName, PlexType(plex.type));
    (void)vars.Set(K::ChunkSize, static_cast<unsigned int>(plex.chunk & 0xFFFFFFFFu));
    (void)vars.Set(K::LayoutName, LayoutType(plex.layout));
    const std::uint32_t key = builder.AddPlex(vars);
    for (const LayoutMember& m : plex.members) {
      builder.AddSubDisk(key, m.column, m.first, m.length, m.disk,
                         m.usable != 0 && m.disk != kLayoutMissingDisk);
    }
  }
  return builder.Release();
}

Common::Error BuildVolumeLayoutRecord(const LdmLocation& location, LayoutDiskResolver& disks,
                                      std::vector<std::uint8_t>* out) {
  const LdmExtentMap& map = location.GetExtents();
  std::vector<LdmExtent> extents;
  extents.reserve(map.size());
  for (const auto& entry : map) extents.push_back(entry.second);
  std::sort(extents.begin(), extents.end(), [](const LdmExtent& a, const LdmExtent& b) {
    return std::tie(a.plex, a.column, a.plexOffset) < std::tie(b.plex, b.column, b.plexOffset);
  });

  LayoutRecord record;
  record.volumeSectors = location.GetLuid();
  // The location holds the GUID as laid out in memory; the record wants the
  // byte order of its text, so the first three fields turn big-endian.
  const std::uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) record.guid[i] = location.GetGuid1()[order[i]];
  const LdmVolType type = location.GetVolumeType();
  // Plexes are grouped by id, whatever its value, so that every extent
  // lands in a plex block and the counts always match the members written.
  for (std::size_t i = 0; i < extents.size(); ++i) {
    if (i == 0 || extents[i].plex != extents[i - 1].plex) {
      LayoutPlex plex;
      PlexTypeOf(type, &plex);
      plex.chunk = location.GetSize();
      plex.columns = 1;
      record.plexes.push_back(std::move(plex));
    }
    const LdmExtent& e = extents[i];
    LayoutPlex& plex = record.plexes.back();
    const std::uint32_t previous = plex.members.empty() ? 0 : plex.members.back().column;
    if (e.column != previous) ++plex.columns;
    LayoutMember m;
    m.column = e.column;
    if (e.diskState == kExtentDiskMissing) {
      m.disk = kLayoutMissingDisk;
      m.handle = 0;
    } else {
      SimpleDisk* disk = disks.ByKey(e.diskId);
      if (disk == nullptr) {
        return MakeError(kBuildLocation, kLayoutModule, kErrDiskNotFound,
                         Fdisk::Msg::kDiskNotFound);
      }
      m.disk = e.diskId;
      m.handle = disks.HandleOf(disk);
    }
    m.first = e.firstSector;
    m.length = e.length;
    m.usable = MemberUsable(e, type) ? 1 : 0;
    plex.members.push_back(m);
  }
  *out = PackLayoutRecord(record);
  return Common::NoError;
}

Common::Error LayoutRecordToLdmRequest(Common::ByteView bytes, LayoutDiskResolver& disks,
                                       NamedVars::VarContainer* out) {
  LayoutRecord record;
  if (Common::Error e = ParseLayoutRecord(bytes, &record)) return e;
  if (record.plexes.empty()) {
    return MakeError(kRequestLocation, kLayoutModule, kErrInvalidParameter,
                     Fdisk::Msg::kInvalidParameter);
  }
  std::deque<LdmOpRequest> requests;
  for (std::size_t p = 0; p < record.plexes.size(); ++p) {
    for (const LayoutMember& m : record.plexes[p].members) {
      LdmOpRequest request;
      SimpleDisk* disk = m.handle != 0 ? disks.ByHandle(m.handle) : nullptr;
      request.diskId = disk != nullptr ? disks.IdOf(disk) : m.disk;
      request.size = m.length;
      request.plexIndex = std::uint32_t(p);
      requests.push_back(request);
    }
  }
  NamedVars::VarContainer vars;
  (void)vars.Set(K::OpRequest, requests);
  // The volume type as the record's plexes describe it (a RAID-5 plex is a
  // RAID-5 volume, not the volume type whose number the plex type shares).
  (void)vars.Set(K::VolumeType, LayoutVolumeType(record));
  (void)vars.Set(K::VolumeSize, NamedVars::VarU64(record.volumeSectors));
  const NamedVars::VarKeyT<bool>* flags[] = {&K::PrimaryFlag, &K::ActiveBootStatus,
                                             &K::RetainingVolume, &K::ForceRawMode};
  for (std::size_t i = 0; i < record.flagWords.size(); ++i) {
    (void)vars.Set(*flags[i], record.flagWords[i] == 1);
  }
  *out = std::move(vars);
  return Common::NoError;
}

DMStdDisk::DMStdDisk(std::unique_ptr<CompositeVolume> volume, std::uint64_t sectors,
                             std::uint32_t sectorSize)
    : volume_(std::move(volume)) {
  sectorSize_ = sectorSize;
  lastSector_ = sectors - 1;
  geometry_.highestHead = 254;
}

DMStdDisk::~DMStdDisk() { volume_.reset(); }

Common::Error DMStdDisk::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                                std::uint64_t count) {
  return volume_->GetIO().Io(op, sector, buffer, count);
}

std::unique_ptr<DMStdDisk> CreateDMStdDisk(std::unique_ptr<CompositeVolume> volume,
                                                   std::uint64_t sectors,
                                                   std::uint32_t sectorSize) {
  if (!volume || sectors == 0) return nullptr;
  return std::make_unique<DMStdDisk>(std::move(volume), sectors, sectorSize);
}

}  // namespace DM
}  // namespace Fdisk
