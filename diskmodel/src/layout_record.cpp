// Volume layout records and the composite volumes rebuilt from them.
#include "fdisk/layout_record.h"

#include <cstring>
#include <utility>

#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"

namespace Fdisk {
namespace DM {
namespace {
namespace K = NamedVars::Keys;

constexpr std::uint32_t kLayoutModule = 0x6C617952;
constexpr std::uint32_t kParseLocation = 0x6C617901;

Common::Error Malformed() {
  return MakeError(kParseLocation, kLayoutModule, kErrInvalidParameter, Fdisk::Msg::kInvalidParameter);
}

bool KnownPlexType(std::uint32_t type) {
  return type == kPlexStriped || type == kPlexSimple || type == kPlexRaid5;
}

}  // namespace

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
