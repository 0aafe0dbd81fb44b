// The real stage's operations and the volumes of created portions.
#include "fdisk/disk_operations.h"

#include <list>
#include <map>
#include <tuple>

#include "fdisk/raw_driver.h"
#include "fdisk/write_journal.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0xD7898D07;
constexpr std::uint32_t kClearModuleId = 0x950A70D5;
constexpr std::uint32_t kFreePortionLocation = 0x7E22175B;
constexpr std::uint32_t kNoDiskLocation = 0x7E22172A;
constexpr std::uint32_t kNoDriversLocation = 0xCDC6B749;
constexpr std::uint32_t kNoRawPortionLocation = 0xCDC6B777;
constexpr std::uint32_t kNoVolumeMadeLocation = 0x7E221760;
constexpr std::uint32_t kNotAVolumeLocation = 0x7E221761;
constexpr std::uint32_t kNoFormatterLocation = 0x7E221762;
constexpr std::uint32_t kPortionGoneLocation = 0x7E221763;

namespace K = NamedVars::Keys;

std::unique_ptr<Volume> MakePortionVolume(Computer& computer,
                                          const NamedVars::VarContainer& params) {
  const unsigned long portionId = params.GetRequired(K::PortionID);
  return std::make_unique<PortionVolume>(computer, std::uint32_t(portionId));
}

VolumeFactory g_volumeFactory = &MakePortionVolume;
VolumeFormatter g_volumeFormatter = nullptr;

class PlaceVisitor : public LocationVisitor {
 public:
  using LocationVisitor::Visit;
  void Visit(MbrLocation& l) override { Set(l.diskId, l.firstSector, l.sectorCount); }
  void Visit(GptLocation& l) override { Set(l.diskId, l.firstSector, l.sectorCount); }
  void Visit(RawLocation& l) override {
    // The disk answers its last sector's index.
    Set(l.GetDiskId(), 0, l.GetDisk() != nullptr ? l.GetDisk()->GetSectorCount() + 1 : 0);
  }
  // A dynamic volume is found again by its first piece (lowest plex, column
  // and offset: the order of the pieces in the map need not survive a
  // rescan), and sized as the volume; a free area of a dynamic disk is its
  // first piece.
  void Visit(LdmLocation& l) override {
    if (l.GetExtents().empty()) return;
    const LdmExtent* chosen = nullptr;
    for (const auto& entry : l.GetExtents()) {
      const LdmExtent& e = entry.second;
      if (chosen == nullptr ||
          std::tie(e.plex, e.column, e.plexOffset, e.diskId, e.firstSector) <
              std::tie(chosen->plex, chosen->column, chosen->plexOffset, chosen->diskId,
                       chosen->firstSector)) {
        chosen = &e;
      }
    }
    const LdmExtent& first = *chosen;
    SimpleDisk* volume = l.GetDisk();
    Set(first.diskId, first.firstSector,
        volume != nullptr ? volume->GetSectorCount() + 1 : first.length);
  }
  PortionPlace place;

 private:
  void Set(std::uint32_t disk, std::uint64_t first, std::uint64_t size) {
    place.found = true;
    place.diskId = disk;
    place.first = first;
    place.size = size;
  }
};

// The disks a location lies on, invalidated after a change.
class InvalidateDiskVisitor : public LocationVisitor {
 public:
  explicit InvalidateDiskVisitor(const DiskMap& disks) : disks_(&disks) {}
  using LocationVisitor::Visit;
  void Visit(MbrLocation& l) override { Invalidate(l.diskId); }
  void Visit(GptLocation& l) override { Invalidate(l.diskId); }
  void Visit(RawLocation& l) override { Invalidate(l.GetDiskId()); }
  void VisitMissingDisk(Disk& disk) override { Invalidate(disk.GetId()); }
  void Visit(LdmLocation& l) override {
    for (const auto& extent : l.GetExtents()) Invalidate(extent.second.diskId);
  }

 private:
  void Invalidate(std::uint32_t diskId) {
    auto it = disks_->find(diskId);
    if (it == disks_->end()) {
      ThrowError(kNoDiskLocation, kModuleId, kErrDiskNotFound, Msg::kDiskNotFound);
    }
    Common::Error e = it->second->Invalidate();
    if (e) ThrowError(e);
  }
  const DiskMap* disks_;
};

// Whether a location lies on one disk.
class LayerByDiskCuller : public LocationVisitor {
 public:
  explicit LayerByDiskCuller(std::uint32_t diskId) : diskId_(diskId) {}
  using LocationVisitor::Visit;
  void Visit(MbrLocation& l) override { found = l.diskId == diskId_; }
  void Visit(GptLocation& l) override { found = l.diskId == diskId_; }
  void Visit(RawLocation& l) override { found = l.GetDiskId() == diskId_; }
  void VisitMissingDisk(Disk& disk) override { found = disk.GetId() == diskId_; }
  void Visit(LdmLocation& l) override {
    for (const auto& extent : l.GetExtents()) {
      if (extent.second.diskId == diskId_) {
        found = true;
        return;
      }
    }
  }
  void Visit(DiskIdList& list) override {
    for (std::uint32_t id : list.ids) found = found || id == diskId_;
  }
  bool found = false;

 private:
  std::uint32_t diskId_;
};

Volume& VolumeOf(Computer& computer, std::uint32_t volumeId) {
  Volume* volume = dynamic_cast<Volume*>(&computer.FindVolume(volumeId));
  if (volume == nullptr) {
    ThrowError(kNotAVolumeLocation, kModuleId, kErrVolumeNotFound, Msg::kVolumeNotFound);
  }
  return *volume;
}

void RecordPlace(Volume& volume, std::uint32_t portionId, const PortionPlace& place) {
  NamedVars::VarContainer& p = volume.GetProperties();
  p.Set(K::PortionID, static_cast<unsigned long>(portionId));
  p.Set(K::DiskID, static_cast<unsigned long>(place.diskId));
  p.Set(K::Start, NamedVars::VarU64(place.first));
  p.Set(K::Size, NamedVars::VarU64(place.size));
}

// Reads the disks again, so the head layer shows what is on them, and lets
// every volume find its portion there by disk and first sector (0 when the
// portion is gone).
void RefreshFromDisks(Computer& computer) {
  computer.GetPortionManager().Refresh(PSManager::kRefreshFull);
  for (const auto& entry : computer.GetVolumes()) {
    Volume* volume = dynamic_cast<Volume*>(entry.second.get());
    if (volume == nullptr) continue;
    NamedVars::VarContainer& p = volume->GetProperties();
    if (!p.Contains(K::DiskID) || !p.Contains(K::Start)) continue;
    const std::uint32_t id = FindPortionAt(computer, std::uint32_t(p.Get(K::DiskID)),
                                           NamedVars::VarU64(p.Get(K::Start)));
    p.Set(K::PortionID, static_cast<unsigned long>(id));
  }
}

// A refresh after a failure must not hide the failure.
void RefreshQuietly(Computer& computer) {
  try {
    RefreshFromDisks(computer);
  } catch (const Common::Error&) {
  }
}

// A failed operation puts back every table sector it overwrote and shows
// the disks as they are again.
void UndoWrites(WriteJournal& journal, Computer& computer) {
  journal.Rollback();
  RefreshQuietly(computer);
}

std::unique_ptr<Utility::DiskLocker> LockerFor(std::uint32_t stage, std::uint32_t computer,
                                               std::uint32_t portion) {
  return std::make_unique<Utility::DiskLocker>(stage, computer, portion);
}
}  // namespace

// --- Volumes -----------------------------------------------------------------------------

Volume::Volume() = default;
Volume::~Volume() = default;
Common::Error Volume::Close(int) { return Common::NoError; }

void SetVolumeFactory(VolumeFactory factory) {
  g_volumeFactory = factory != nullptr ? factory : &MakePortionVolume;
}

void SetVolumeFormatter(VolumeFormatter formatter) { g_volumeFormatter = formatter; }

Common::Error FormatVolume(Volume& volume, const NamedVars::VarContainer& params) {
  try {
    if (!params.Contains(K::FS)) return Common::NoError;
    const NamedVars::VarU64 size = volume.GetProperties().GetRequired(K::Size);
    SimpleDisk* disk = volume.GetFormatDisk();
    if (g_volumeFormatter == nullptr || disk == nullptr) {
      return MakeError(kNoFormatterLocation, kModuleId, kErrNotImplemented,
                       Msg::kNotImplemented);
    }
    return g_volumeFormatter(*disk, size, params);
  } catch (const Fdisk::Error& e) {
    return e;
  }
}

PortionPlace PlaceOf(const PSPortion& portion) {
  PlaceVisitor visitor;
  try {
    portion.GetLocation().Accept(visitor);
  } catch (const Common::Error&) {
    visitor.place.found = false;
  }
  return visitor.place;
}

PortionVolume::PortionVolume(Computer& computer, std::uint32_t portionId)
    : computer_(&computer) {
  PSPortion& portion = computer.FindPortion(portionId);
  RecordPlace(*this, portionId, PlaceOf(portion));
}

SimpleDisk* PortionVolume::GetFormatDisk() {
  const unsigned long id = GetProperties().GetOr(K::PortionID, 0ul);
  if (id == 0) return nullptr;
  try {
    return &computer_->FindPortion(std::uint32_t(id)).GetView();
  } catch (const Fdisk::Error&) {
    return nullptr;
  }
}

std::uint32_t AddPortionVolume(Computer& computer, std::uint32_t portionId) {
  return computer.AddVolume(std::make_unique<PortionVolume>(computer, portionId));
}

std::uint32_t FindPortionAt(Computer& computer, std::uint32_t diskId, std::uint64_t first,
                            bool wantFree) {
  for (auto& entry : computer.GetPortionManager().GetHeadLayer()) {
    if (entry.second.IsFree() != wantFree) continue;
    const PortionPlace place = PlaceOf(entry.second);
    if (!place.found || place.diskId != diskId) continue;
    if (wantFree ? (first >= place.first && first - place.first < place.size)
                 : place.first == first) {
      return entry.first;
    }
  }
  return 0;
}

namespace Operation {

// --- Create --------------------------------------------------------------------------------

Create::Create(const NamedVars::VarContainer& params) {
  stageId_ = std::uint32_t(params.GetRequired(K::StageID));
  computerId_ = std::uint32_t(params.GetRequired(K::ComputerID));
  portionId_ = std::uint32_t(params.GetRequired(K::PortionID));
  Computer& computer = FindComputer(stageId_, computerId_);
  PSManager& manager = computer.GetPortionManager();
  Utility::ScopedDiskLock lock(LockerFor(stageId_, computerId_, portionId_));
  const std::uint32_t driverId = computer.FindPortion(portionId_).GetDriverId();
  WriteJournal journal;
  const std::pair<Common::Error, std::uint32_t> created = manager.CreatePortion(params);
  if (created.first) {
    UndoWrites(journal, computer);
    ThrowError(created.first);
  }
  // The new portion as its driver made it; the refresh gives it a new id,
  // and it is found again where it lies.
  PortionPlace place;
  Layer& made = computer.GetDriverFactory().GetDriver(driverId).GetPortions();
  auto it = made.find(created.second);
  if (it != made.end()) place = PlaceOf(it->second);
  RefreshFromDisks(computer);
  portionId_ = place.found ? FindPortionAt(computer, place.diskId, place.first) : 0;
  if (portionId_ == 0) {
    // What was written does not read back as the portion: undone.
    UndoWrites(journal, computer);
    ThrowError(kPortionGoneLocation, kModuleId, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  NamedVars::VarContainer copy(params);
  copy.Set(K::PortionID, static_cast<unsigned long>(portionId_));
  std::unique_ptr<Volume> volume = g_volumeFactory(computer, copy);
  if (!volume) {
    ThrowError(kNoVolumeMadeLocation, kModuleId, kErrNotImplemented, Msg::kNotImplemented);
  }
  Volume& registered = *volume;
  volumeId_ = computer.AddVolume(std::move(volume));
  const Common::Error formatted = FormatVolume(registered, params);
  if (formatted) ThrowError(formatted);
}

Create::~Create() = default;

// --- Delete --------------------------------------------------------------------------------

Delete::Delete(const NamedVars::VarContainer& params) {
  const std::uint32_t stageId = std::uint32_t(params.GetRequired(K::StageID));
  const std::uint32_t computerId = std::uint32_t(params.GetRequired(K::ComputerID));
  const std::uint32_t volumeId = std::uint32_t(params.GetRequired(K::VolumeID));
  Computer& computer = FindComputer(stageId, computerId);
  Volume& volume = VolumeOf(computer, volumeId);
  const unsigned long portionId = volume.GetProperties().Get(K::PortionID);
  if (portionId == 0) {
    ThrowError(kPortionGoneLocation, kModuleId, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  computer.FindPortion(std::uint32_t(portionId));
  Utility::ScopedDiskLock lock(LockerFor(stageId, computerId, std::uint32_t(portionId)));
  volume.Close(1);
  NamedVars::VarContainer own(params);
  own.Set(K::PortionID, portionId);
  WriteJournal journal;
  const Common::Error e = computer.GetPortionManager().DeletePortion(own);
  if (e) {
    UndoWrites(journal, computer);
    ThrowError(e);
  }
  computer.DeleteVolume(volumeId);
  RefreshFromDisks(computer);
}

Delete::~Delete() = default;

// --- Change --------------------------------------------------------------------------------

Change::Change(const NamedVars::VarContainer& params) {
  const std::uint32_t stageId = std::uint32_t(params.GetRequired(K::StageID));
  const std::uint32_t computerId = std::uint32_t(params.GetRequired(K::ComputerID));
  const std::uint32_t volumeId = std::uint32_t(params.GetRequired(K::VolumeID));
  Computer& computer = FindComputer(stageId, computerId);
  Volume& volume = VolumeOf(computer, volumeId);
  const unsigned long portionId = volume.GetProperties().Get(K::PortionID);
  PSPortion& portion = computer.FindPortion(std::uint32_t(portionId));
  if (portion.IsFree()) {
    ThrowError(kFreePortionLocation, kModuleId, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  Utility::ScopedDiskLock lock(LockerFor(stageId, computerId, std::uint32_t(portionId)));
  NamedVars::VarContainer copy(params);
  copy.Set(K::PortionID, portionId);
  WriteJournal journal;
  Common::Error e;
  try {
    e = computer.GetPortionManager().ChangePortion(copy);
  } catch (const Common::Error& thrown) {
    e = thrown;
  }
  if (e) {
    UndoWrites(journal, computer);
    ThrowError(e);
  }
  InvalidateDiskVisitor invalidate(computer.GetDisks());
  portion.GetLocation().Accept(invalidate);
  // A move changes the first sector the volume is found by.
  const PortionPlace place = PlaceOf(portion);
  if (place.found) RecordPlace(volume, std::uint32_t(portionId), place);
  RefreshFromDisks(computer);
}

Change::~Change() = default;

// --- ClearDisk ----------------------------------------------------------------------------

ClearDisk::ClearDisk(const NamedVars::VarContainer& params) {
  const std::uint32_t stageId = std::uint32_t(params.GetRequired(K::StageID));
  const std::uint32_t computerId = std::uint32_t(params.GetRequired(K::ComputerID));
  const std::uint32_t diskId = std::uint32_t(params.GetRequired(K::DiskID));
  Computer& computer = FindComputer(stageId, computerId);
  PSManager& manager = computer.GetPortionManager();
  PSDriverFactory& factory = computer.GetDriverFactory();
  const std::list<std::uint32_t> driverIds = manager.GetDriverIds();
  if (driverIds.empty()) {
    ThrowError(kNoDriversLocation, kClearModuleId, kErrDriverNotFound, Msg::kDriverNotFound);
  }
  std::list<std::pair<PSDriver*, Layer>> drivers;
  std::list<std::uint32_t> affected;
  for (std::uint32_t id : driverIds) {
    Layer* layer = manager.GetLayer(id);
    if (layer == nullptr) continue;
    Layer sub;
    for (auto& entry : *layer) {
      LayerByDiskCuller culler(diskId);
      try {
        entry.second.GetLocation().Accept(culler);
      } catch (const Common::Error&) {
        continue;
      }
      if (!culler.found) continue;
      affected.push_back(entry.first);
      sub.emplace(entry.first, entry.second);
    }
    drivers.emplace_back(&factory.GetDriver(id), std::move(sub));
  }
  // The disk's raw portion: the drivers find the disk through it.
  Layer rawOfDisk;
  for (auto& entry : manager.GetRawLayer()) {
    const PortionPlace place = PlaceOf(entry.second);
    GetRawLocationVisitor raw;
    try {
      entry.second.GetLocation().Accept(raw);
    } catch (const Common::Error&) {
      continue;
    }
    if (raw.found && place.diskId == diskId) {
      rawOfDisk.emplace(entry.first, entry.second);
      affected.push_back(entry.first);
      break;
    }
  }
  if (rawOfDisk.empty()) {
    ThrowError(kNoRawPortionLocation, kClearModuleId, kErrPartitionNotFound,
               Msg::kPartitionNotFound);
  }
  Utility::ScopedDiskLock lock(
      std::make_unique<Utility::DiskLocker>(stageId, computerId, affected));
  NamedVars::VarContainer flags;
  flags.Set(K::RealOperation, true);
  flags.Set(K::RemoveCleanup, true);
  WriteJournal journal;
  try {
    // Lowest driver first: the GPT driver's protective MBR is the MBR
    // driver's table, and the GPT headers go after it.
    for (auto& driver : drivers) {
      Common::Error e = driver.first->ClearDisks(factory, rawOfDisk, driver.second, flags);
      if (e) ThrowError(e);
    }
    for (auto& driver : drivers) {
      Common::Error e = driver.first->Commit();
      if (e) ThrowError(e);
    }
  } catch (const Common::Error& e) {
    UndoWrites(journal, computer);
    ThrowError(e);
  }
  RefreshFromDisks(computer);
}

ClearDisk::~ClearDisk() = default;

}  // namespace Operation
}  // namespace Fdisk
