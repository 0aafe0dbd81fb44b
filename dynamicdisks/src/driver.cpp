// The dynamic-disk partition-scheme driver: discovery and the layer it
// presents.
#include "ldm/driver.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "fdisk/named_var_keys.h"
#include "fdisk/partition_types.h"
#include "fdisk/raw_driver.h"
#include "foundation/byteorder.h"
#include "foundation/guid.h"
#include "ldm/format.h"
#include "ldm/log.h"
#include "ldm/service_client.h"
#include "ldm/sysinfo.h"
#include "ldm/vds_client.h"

namespace Fdisk {

namespace {

namespace K = NamedVars::Keys;

constexpr std::uint32_t kModule = 0x4C44;
constexpr std::uint32_t kIoLocation = 0x4C440004;
constexpr std::uint32_t kRangeLocation = 0x4C440005;
constexpr std::uint32_t kVolumeLocation = 0x4C440006;

// A portion that takes a given id (a volume keeps its record's id from one
// rebuild to the next); copies keep it.
class IdentifiedPortion : public PSPortion {
 public:
  IdentifiedPortion(std::uint32_t id, std::uint32_t driverId, std::unique_ptr<Location> location,
                    bool free, std::int32_t mode)
      : PSPortion(driverId, std::move(location), free, mode) {
    SetId(id);
  }
};

std::unique_ptr<PSDriver> MakeDriver() { return std::make_unique<PSLdmDriver>(); }

}  // namespace

// --- DiskMissing -------------------------------------------------------------

DiskMissing::DiskMissing(std::uint32_t id) : Disk(id), view_(nullptr, kAccessOffline) {}
DiskMissing::~DiskMissing() = default;
void DiskMissing::Accept(LocationVisitor& visitor) { visitor.VisitMissingDisk(*this); }

// --- LdmSimpleDisk -----------------------------------------------------------

namespace DM {

LdmSimpleDisk::LdmSimpleDisk(const LdmExtentMap& extents, LdmVolType type, std::uint64_t sectors,
                             std::uint32_t chunk, const std::map<std::uint32_t, SimpleDisk*>& disks,
                             bool usable)
    : SimpleDisk(Ldm::kSectorBytes, sectors == 0 ? 0 : sectors - 1,
                 Geometry{kDefaultSectorsPerTrack, kDefaultHighestHead,
                          sectors == 0 ? 0 : ((sectors - 1) / 16) / 63}),
      sectors_(sectors) {
  if (!usable || sectors == 0 || type < kLdmVolSimple || type > kLdmVolRaid01) return;
  NamedVars::VarContainer plexVars;
  switch (type) {
    case kLdmVolStriped:
    case kLdmVolRaid01:
      plexVars.Set(K::PlexTypeName, kPlexStriped);
      plexVars.Set(K::ChunkSize, static_cast<unsigned int>(chunk));
      break;
    case kLdmVolRaid5:
    case kLdmVolStripeSetWithParity:
      plexVars.Set(K::PlexTypeName, kPlexRaid5);
      plexVars.Set(K::LayoutName, type == kLdmVolRaid5 ? kLeftSymmetric : kRightAsymmetric);
      plexVars.Set(K::ChunkSize, static_cast<unsigned int>(chunk));
      break;
    default:
      plexVars.Set(K::PlexTypeName, kPlexSimple);
      break;
  }
  std::vector<const LdmExtent*> order;
  for (const auto& e : extents) order.push_back(&e.second);
  std::stable_sort(order.begin(), order.end(), [](const LdmExtent* a, const LdmExtent* b) {
    return std::tie(a->plex, a->column, a->plexOffset) <
           std::tie(b->plex, b->column, b->plexOffset);
  });
  DiskMap volumeDisks(disks.begin(), disks.end());
  CompositeVolumeBuilder builder(NamedVars::VarContainer(), volumeDisks);
  std::uint32_t plexKey = 0;
  bool first = true;
  std::uint32_t plexNumber = 0;
  for (const LdmExtent* e : order) {
    if (first || e->plex != plexNumber) {
      plexKey = builder.AddPlex(plexVars);
      plexNumber = e->plex;
      first = false;
    }
    // A stalled member's database copy is older than the group's, but its
    // data are current: its pieces read like a healthy member's.
    const bool healthy = e->plexFlag != 1 && (e->diskState == Ldm::kDiskDynamic ||
                                              e->diskState == Ldm::kDiskStalled);
    builder.AddSubDisk(plexKey, e->column, e->firstSector, e->length, e->diskId, healthy);
  }
  volume_ = builder.Release();
  io_ = &volume_->GetIO();
}

LdmSimpleDisk::~LdmSimpleDisk() = default;

Common::Error LdmSimpleDisk::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                                std::uint64_t count) {
  if (io_ == nullptr) return Ldm::MakeLdmError(kIoLocation, Ldm::kErrUnsupportedVolume);
  std::uint64_t end = 0;
  if (!Common::CheckedAdd(sector, count, &end) || end > sectors_) {
    return MakeError(kRangeLocation, kModule, kErrInvalidIo, Fdisk::Msg::kInvalidIo);
  }
  return io_->Io(op, sector, buffer, count);
}

}  // namespace DM

// --- the driver's state store -----------------------------------------------

class PSLdmDriver::LdmDriverLocation : public PSDriver::Location {
 public:
  LdmDriverLocation(const Layer& raw, const std::map<std::uint32_t, std::vector<std::uint64_t>>& meta)
      : raw_(raw), meta_(meta) {}
  void Store(Layer& out) override { out = raw_; }
  void Restore(Layer& out) override { out = raw_; }
  const std::map<std::uint32_t, std::vector<std::uint64_t>>& MetadataSectors() const {
    return meta_;
  }

 private:
  Layer raw_;
  std::map<std::uint32_t, std::vector<std::uint64_t>> meta_;
};

// --- PSLdmDriver -------------------------------------------------------------

PSLdmDriver::PSLdmDriver() : computer_(std::make_unique<Ldm::LdmComputer>()) {}

PSLdmDriver::~PSLdmDriver() {
  // Volumes refer to the placeholders and to the model's disks: they go
  // first.
  layer_.clear();
  computer_.reset();
}

void PSLdmDriver::Accept(PSDriverVisitor& visitor) { visitor.VisitDynamic(*this); }

bool PSLdmDriver::IsDiskInLdmLayer(std::uint32_t diskId, Layer& layer) const {
  for (auto& entry : layer) {
    Ldm::LdmLowerLayerVisitor kind(entry.second);
    if (kind.ldm == nullptr) continue;
    for (const auto& e : kind.ldm->GetExtents()) {
      if (e.second.diskId == diskId) return true;
    }
  }
  return false;
}

Common::Error PSLdmDriver::ProcessDisks(Layer& rawLayer, Layer& headLayer) {
  Ldm::LdmLog("LDM: New ProcessDisks(rawLayer, headLayer)");
  const std::uint32_t computerId = static_cast<std::uint32_t>(GetProperties().Get(K::ComputerID));
  const std::uint32_t stageId = static_cast<std::uint32_t>(GetProperties().Get(K::StageID));
  if (&rawLayer != &rawLayer_) rawLayer_ = rawLayer;
  DiskMap disks;
  for (auto& entry : rawLayer) {
    Ldm::LdmLowerLayerVisitor kind(entry.second);
    if (kind.raw == nullptr) continue;
    const std::uint32_t diskId = kind.raw->GetDiskId();
    if (IsDiskInLdmLayer(diskId, headLayer)) continue;
    disks[diskId] = &FindDisk(stageId, computerId, diskId);
  }
  LoadDisks(disks, headLayer);
  for (const auto& disk : computer_->disks) {
    if (disk->type != Ldm::kDiskCorrupt || disk->modelDisk == nullptr) continue;
    FindDisk(stageId, computerId, disk->GetDiskId()).GetProperties().Set(K::Corrupted, true);
  }
  return Common::Error();
}

Common::Error PSLdmDriver::LoadDisks(const DiskMap& disks, Layer& headLayer) {
  layer_.clear();
  computer_->Clear();
  if (&disks != &loadedDisks_) loadedDisks_ = disks;
  headLayer_ = headLayer;
  computer_->headLayer = headLayer;
  Ldm::LdmStartInit(disks, *computer_);
  CreateMissingDisks();
  RebuildPortions();
  return Common::Error();
}

Common::Error PSLdmDriver::Refresh(Layer& headLayer) {
  headLayer_ = headLayer;
  computer_->headLayer = headLayer;
  RebuildPortions();
  return Common::Error();
}

void PSLdmDriver::CreateMissingDisks() {
  missingMap_.clear();
  for (const auto& disk : computer_->disks) {
    if (disk->type != Ldm::kDiskMissing) continue;
    auto placeholder = std::make_unique<DiskMissing>(disk->ownId);
    missingMap_[placeholder->GetId()] = placeholder.get();
    missingDisks_.push_back(std::move(placeholder));
  }
}

std::map<std::uint32_t, SimpleDisk*> PSLdmDriver::VolumeDisks(const LdmExtentMap& extents) {
  const std::uint32_t computerId = static_cast<std::uint32_t>(GetProperties().Get(K::ComputerID));
  const std::uint32_t stageId = static_cast<std::uint32_t>(GetProperties().Get(K::StageID));
  std::map<std::uint32_t, SimpleDisk*> out;
  for (const auto& e : extents) {
    const std::uint32_t id = e.second.diskId;
    if (out.count(id)) continue;
    auto missing = missingMap_.find(id);
    Disk& disk = missing != missingMap_.end() ? *missing->second : FindDisk(stageId, computerId, id);
    out[id] = disk.GetSimpleDisk();
  }
  return out;
}

void PSLdmDriver::RebuildPortions() {
  layer_.clear();
  for (const auto& volume : computer_->volumes) {
    Ldm::LdmDgAccess& group = *volume->group;
    const Ldm::LdmRecord& record = *volume->record;
    const std::vector<Ldm::LayoutEntry> layout = group.GetVolumeLayout(record);
    LdmExtentMap extents;
    bool allKnown = true;
    for (std::size_t i = 0; i < layout.size(); ++i) {
      const Ldm::LayoutEntry& l = layout[i];
      if (l.disk == nullptr) {
        // The subdisk names a disk the group does not hold.
        allKnown = false;
        continue;
      }
      LdmExtent e;
      e.diskId = l.disk->GetDiskId();
      e.firstSector = l.start;
      e.length = l.length;
      e.plexOffset = l.offset;
      e.plex = l.plexNumber;
      e.column = l.column;
      e.plexFlag = l.plexFlag;
      e.diskState = l.diskState;
      extents[static_cast<std::uint32_t>(i)] = e;
    }
    const LdmVolType type = group.GetVolumeType(record);
    const std::uint64_t stripe = group.GetStripeSize(record);
    const bool usable = allKnown && group.IsVolumeUsable(record);
    auto disk = std::make_shared<DM::LdmSimpleDisk>(
        extents, type, record.volSize, static_cast<std::uint32_t>(stripe),
        usable ? VolumeDisks(extents) : std::map<std::uint32_t, SimpleDisk*>(), usable);
    auto location = std::make_unique<LdmLocation>(extents, disk, (record.volFlags & 0x200000) != 0,
                                                  (record.volFlags & 0x400000) != 0);
    std::array<std::uint8_t, 16> guid1{};
    const std::uint8_t* g = record.guid.data();
    const std::uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) guid1[i] = g[order[i]];
    location->SetGuid1(guid1);
    std::array<std::uint8_t, 16> guid2{};
    const Common::Guid groupGuid = group.GetGroupGuid();
    std::memcpy(guid2.data(), groupGuid.bytes, 16);
    location->SetGuid2(guid2);
    location->SetLuid(volume->size);
    location->SetVolumeType(type);
    const std::uint32_t state = usable ? group.GetVolumeState(record) : Ldm::kVolumeFailed;
    location->SetVolumeState(state);
    location->SetSize(stripe);
    location->SetName(group.name);
    // A simple or mirrored volume that lies exactly on one partition.
    if ((type == kLdmVolSimple || type == kLdmVolMirrored) && !layout.empty() &&
        layout.front().disk != nullptr && layout.front().present) {
      const Ldm::LayoutEntry& first = layout.front();
      for (auto& entry : headLayer_) {
        Ldm::LdmLowerLayerVisitor kind(entry.second);
        const std::uint32_t diskId = first.disk->GetDiskId();
        if (kind.mbr != nullptr && kind.mbr->diskId == diskId && kind.mbr->type == 0x42 &&
            kind.mbr->firstSector == first.start && kind.mbr->sectorCount == first.length) {
          location->SetDriver(kind.mbr);
          break;
        }
        if (kind.gpt != nullptr && kind.gpt->diskId == diskId &&
            kind.gpt->firstSector == first.start && kind.gpt->sectorCount == first.length) {
          location->SetDriver(kind.gpt);
          break;
        }
      }
    }
    const std::int32_t mode = state == Ldm::kVolumeHealthy           ? kAccessFull
                              : state == Ldm::kVolumeFailedRedundancy ? kAccessShared
                                                                      : kAccessOffline;
    IdentifiedPortion portion(record.ModelId(), GetId(), std::move(location), false, mode);
    layer_.emplace(portion.GetId(), PSPortion(portion));
  }

  // One free portion per dynamic disk.
  const std::uint32_t flags = Ldm::PlatformFlags();
  for (const auto& disk : computer_->disks) {
    if (disk->type != Ldm::kDiskDynamic || disk->group == nullptr) continue;
    LdmExtentMap extents;
    std::uint64_t total = 0;
    std::uint32_t key = 0;
    for (const Ldm::Region& r : disk->freeSpace) {
      if ((flags & 0x20) && r.size < 2048) continue;
      LdmExtent e;
      e.diskId = disk->GetDiskId();
      e.firstSector = r.start;
      e.length = r.size;
      e.diskState = Ldm::kDiskDynamic;
      extents[key++] = e;
      total += r.size;
    }
    if (total == 0) continue;
    auto location = std::make_unique<LdmLocation>(extents, nullptr, false, false);
    location->SetLuid(total);
    std::array<std::uint8_t, 16> guid2{};
    const Common::Guid groupGuid = disk->group->GetGroupGuid();
    std::memcpy(guid2.data(), groupGuid.bytes, 16);
    location->SetGuid2(guid2);
    location->SetName(disk->group->name);
    PSPortion portion(GetId(), std::move(location), true, kAccessFull);
    layer_.emplace(portion.GetId(), portion);
  }

  // The lower layers' portions of disks that are not dynamic.
  auto typeOf = [&](std::uint32_t diskId) -> int {
    const Ldm::LdmDisk* d = computer_->FindDisk(diskId);
    return d == nullptr ? -1 : static_cast<int>(d->type);
  };
  // A disk that holds no dynamic-disk partition at all (basic, blank, or
  // one whose first sector cannot be read) keeps what the drivers below
  // made of it; a blank disk is its raw portion, and without that it could
  // neither be listed nor given a partition table.
  auto lowerLayersOwn = [&](std::uint32_t diskId) {
    const int type = typeOf(diskId);
    return type == Ldm::kDiskBasic || type == Ldm::kDiskNotInitialized ||
           type == Ldm::kDiskUnknown;
  };
  for (auto& entry : headLayer_) {
    Ldm::LdmLowerLayerVisitor kind(entry.second);
    bool pass = false;
    if (kind.mbr != nullptr) {
      pass = lowerLayersOwn(kind.mbr->diskId);
    } else if (kind.gpt != nullptr) {
      const Common::Guid type = Common::Guid::FromBytes(kind.gpt->typeGuid.data());
      pass = typeOf(kind.gpt->diskId) != -1 && !(type == PartitionTypeGuids::LdmMetadata) &&
             !(type == PartitionTypeGuids::LdmData);
    } else if (kind.missing != nullptr) {
      pass = lowerLayersOwn(kind.missing->GetId());
    } else if (kind.raw != nullptr) {
      pass = lowerLayersOwn(kind.raw->GetDiskId());
    } else if (kind.ldm != nullptr) {
      pass = entry.second.GetDriverId() != GetId();
    } else {
      pass = true;
    }
    if (pass) layer_.emplace(entry.first, entry.second);
  }
}

PSDriver::Location* PSLdmDriver::GetStateStore() {
  dynamicRawPortions_.clear();
  metadataSectors_.clear();
  for (auto& entry : rawLayer_) {
    Ldm::LdmLowerLayerVisitor kind(entry.second);
    if (kind.raw == nullptr) continue;
    for (const auto& disk : computer_->disks) {
      if (disk->GetDiskId() != kind.raw->GetDiskId()) continue;
      if (disk->type != Ldm::kDiskDynamic && disk->type != Ldm::kDiskStalled) continue;
      dynamicRawPortions_.emplace(entry.first, entry.second);
      std::vector<std::uint64_t>& sectors = metadataSectors_[entry.first];
      if (!disk->gpt) sectors.push_back(6);
      for (std::uint64_t s = 0; s < disk->privateSize; ++s) sectors.push_back(disk->privateStart + s);
    }
  }
  store_ = std::make_unique<LdmDriverLocation>(dynamicRawPortions_, metadataSectors_);
  return store_.get();
}

const DiskGroupTable& PSLdmDriver::GetDiskGroupTable() {
  groups_.clear();
  for (const auto& group : computer_->groups) {
    std::list<std::uint32_t> ids;
    for (const Ldm::LdmDisk* d : group->members) {
      if (d->type != Ldm::kDiskMissing) ids.push_back(d->GetDiskId());
    }
    groups_[IdObject::NewId()] = ids;
  }
  return groups_;
}

void RegisterDynamicDiskDriver() {
#if defined(_WIN32)
  Ldm::InstallWindowsRootGroupSource();
  Ldm::InstallWindowsServiceClient();
  Ldm::InstallVdsComBinding();
#endif
  using Maker = std::unique_ptr<PSDriver> (*)();
  auto& makers = PSDriverFactory::DriverMakers();
  for (const auto& m : makers) {
    const Maker* target = m.target<Maker>();
    if (target != nullptr && *target == &MakeDriver) return;
  }
  makers.push_back(Maker(&MakeDriver));
}

}  // namespace Fdisk

namespace Ldm {

namespace {

const char* LayoutName(Fdisk::LdmVolType type) {
  switch (type) {
    case Fdisk::kLdmVolSimple:
      return "simple";
    case Fdisk::kLdmVolSpanned:
      return "spanned";
    case Fdisk::kLdmVolStriped:
    case Fdisk::kLdmVolRaid01:
      return "striped";
    case Fdisk::kLdmVolMirrored:
      return "mirror";
    case Fdisk::kLdmVolRaid5:
    case Fdisk::kLdmVolStripeSetWithParity:
      return "raid5";
    default:
      return "invalid";
  }
}

const char* StateName(std::uint32_t state) {
  switch (state) {
    case kVolumeHealthy:
      return "healthy";
    case kVolumeFailedRedundancy:
      return "degraded";
    default:
      return "failed";
  }
}

}  // namespace

std::vector<std::string> VolumeLines(Fdisk::PSLdmDriver& driver) {
  struct Line {
    std::string group, volume, text;
  };
  std::vector<Line> lines;
  for (const auto& volume : driver.Model().volumes) {
    LdmDgAccess& group = *volume->group;
    const LdmRecord& record = *volume->record;
    const Fdisk::LdmVolType type = group.GetVolumeType(record);
    const bool chunked = type == Fdisk::kLdmVolStriped || type == Fdisk::kLdmVolRaid01 ||
                         type == Fdisk::kLdmVolRaid5 || type == Fdisk::kLdmVolStripeSetWithParity;
    const std::uint64_t chunk = chunked ? group.GetStripeSize(record) : 0;
    std::vector<LayoutEntry> layout = group.GetVolumeLayout(record);
    std::stable_sort(layout.begin(), layout.end(), [](const LayoutEntry& a, const LayoutEntry& b) {
      return std::tie(a.plexNumber, a.column, a.offset) <
             std::tie(b.plexNumber, b.column, b.offset);
    });
    std::string extents;
    for (const LayoutEntry& e : layout) {
      if (!extents.empty()) extents += ",";
      extents += e.diskName + ":" + std::to_string(e.relativeStart) + "+" + std::to_string(e.length);
    }
    const std::uint32_t state =
        group.IsVolumeUsable(record) ? group.GetVolumeState(record) : kVolumeFailed;
    std::string text = group.name + "\t" + record.name + "\t" + LayoutName(type) + "\t" +
                       std::to_string(record.volSize) + "\t" + std::to_string(chunk) + "\t" +
                       StateName(state) + "\t" + extents;
    lines.push_back(Line{group.name, record.name, text});
  }
  std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
    return std::tie(a.group, a.volume) < std::tie(b.group, b.volume);
  });
  std::vector<std::string> out;
  for (const Line& l : lines) out.push_back(l.text);
  return out;
}

Common::Error ReadVolume(Fdisk::PSLdmDriver& driver, const std::string& groupName,
                         const std::string& volumeName, std::ostream& out) {
  for (const auto& volume : driver.Model().volumes) {
    if (volume->group->name != groupName || volume->record->name != volumeName) continue;
    auto found = driver.GetPortions().find(volume->record->ModelId());
    if (found == driver.GetPortions().end()) break;
    Fdisk::SimpleDisk& view = found->second.GetView();
    const std::uint64_t sectors = volume->record->volSize;
    constexpr std::uint64_t kStep = 256;
    std::vector<char> buffer(kStep * kSectorBytes);
    for (std::uint64_t at = 0; at < sectors; at += kStep) {
      const std::uint64_t n = std::min(kStep, sectors - at);
      Common::Error e = view.Io(Fdisk::kIoRead, at, buffer.data(), n);
      if (e) return e;
      out.write(buffer.data(), static_cast<std::streamsize>(n * kSectorBytes));
    }
    return Common::Error();
  }
  return Fdisk::MakeError(Fdisk::kVolumeLocation, Fdisk::kModule, Fdisk::kErrVolumeNotFound,
                          Fdisk::Msg::kVolumeNotFound);
}

}  // namespace Ldm
