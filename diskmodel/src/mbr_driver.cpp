// The MBR scheme driver: MBR disks as partitions and free areas.
#include "fdisk/mbr_driver.h"

#include <algorithm>

#include "fdisk/raw_driver.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0x3E8F0A51;
constexpr std::uint32_t kNoDiskLocation = 0x0A510001;
constexpr std::uint32_t kNoPartitionLocation = 0x0A510002;
constexpr std::uint32_t kNoTableLocation = 0x0A510003;

Common::Error DiskNotFound(std::uint32_t location) {
  return MakeError(location, kModuleId, kErrDiskNotFound, Msg::kDiskNotFound);
}

[[noreturn]] void ThrowPartitionNotFound() {
  ThrowError(kNoPartitionLocation, kModuleId, kErrPartitionNotFound, Msg::kPartitionNotFound);
}

// Reads first sector, size and disk of an MBR location.
class GetLocationVisitor : public LocationVisitor {
 public:
  using LocationVisitor::Visit;
  void Visit(MbrLocation& location) override {
    found = true;
    first = location.firstSector;
    size = location.sectorCount;
    diskId = location.diskId;
  }
  bool found = false;
  std::uint64_t first = 0;
  std::uint64_t size = 0;
  std::uint32_t diskId = 0;
};

// Sets first sector and both sizes; the sector window follows, so that the
// portion reads and writes its new place.
class ChangeLocationVisitor : public LocationVisitor {
 public:
  ChangeLocationVisitor(std::uint64_t first, std::uint64_t size, bool logical)
      : first_(first), size_(size), logical_(logical) {}
  using LocationVisitor::Visit;
  void Visit(MbrLocation& location) override {
    location.firstSector = first_;
    location.sectorCount = size_;
    location.recordedCount = size_;
    location.logical = logical_;
    if (location.view) {
      location.view = std::make_shared<ContiguousDisk>(location.view->Parent(), first_, size_);
    }
  }

 private:
  std::uint64_t first_;
  std::uint64_t size_;
  bool logical_;
};

class ChangeTypeVisitor : public LocationVisitor {
 public:
  explicit ChangeTypeVisitor(std::uint8_t type) : type_(type) {}
  using LocationVisitor::Visit;
  void Visit(MbrLocation& location) override { location.type = type_; }

 private:
  std::uint8_t type_;
};

GetRawLocationVisitor RawOf(const PSPortion& portion) {
  GetRawLocationVisitor visitor;
  try {
    portion.GetLocation().Accept(visitor);
  } catch (const Common::Error&) {
    visitor.found = false;
  }
  return visitor;
}

int TypeArgument(unsigned long type) { return type > 255 ? 256 : int(type); }
}  // namespace

// --- State store ----------------------------------------------------------------

void PSMbrDriver::StoreMbrLocation::Store(Layer& out) {
  for (const auto& entry : *input_) {
    const GetRawLocationVisitor raw = RawOf(entry.second);
    if (raw.found && tables_->count(raw.diskId) != 0) out.emplace(entry.first, entry.second);
  }
}

void PSMbrDriver::StoreMbrLocation::Restore(Layer&) {}

void PSMbrDriver::StoreMbrLocation::RestoreTablePositions(
    std::map<std::uint32_t, std::list<std::uint64_t>>& out) {
  for (const auto& entry : *input_) {
    const GetRawLocationVisitor raw = RawOf(entry.second);
    if (!raw.found) continue;
    auto table = tables_->find(raw.diskId);
    if (table == tables_->end()) continue;
    Mbr::MbrDisk fresh(table->second->Disk());
    Mbr::TableWalker walker(fresh, true);
    std::list<std::uint64_t>& positions = out[entry.first];
    for (walker.Start(); !walker.Done(); walker.Next()) {
      if (walker.Current().IsEbr()) positions.push_back(walker.Current().first);
    }
  }
}

// --- Driver ---------------------------------------------------------------------------

PSMbrDriver::PSMbrDriver() : store_(std::make_unique<StoreMbrLocation>(tables_, input_)) {}

PSMbrDriver::~PSMbrDriver() {
  layer_.clear();
  tables_.clear();
  store_.reset();
}

void PSMbrDriver::Accept(PSDriverVisitor& visitor) { visitor.Visit(*this); }

Mbr::MbrDisk* PSMbrDriver::GetTable(std::uint32_t diskId) {
  auto it = tables_.find(diskId);
  return it == tables_.end() ? nullptr : it->second.get();
}

Common::Error PSMbrDriver::ProcessDisks(Layer&, Layer& headLayer) {
  tables_.clear();
  changed_.clear();
  cleared_.clear();
  starts_.clear();
  layer_.clear();
  Mbr::MbrLog("Enter to process disks in Mbr Driver (id = %d)", int(GetId()));
  input_ = headLayer;
  for (auto& entry : input_) {
    const GetRawLocationVisitor raw = RawOf(entry.second);
    if (raw.found) {
      auto table = std::make_unique<Mbr::MbrDisk>(entry.second.GetView());
      if (!table->Load() && Mbr::IsSaneTable(*table)) {
        tables_[raw.diskId] = std::move(table);
        continue;
      }
    }
    layer_.emplace(entry.first, entry.second);
  }
  Rebuild();
  Mbr::MbrLog("Exit from process disks in Mbr Driver (id = %d)", int(GetId()));
  return Common::NoError;
}

PSPortion PSMbrDriver::MakePortion(std::uint32_t diskId, Mbr::MbrDisk& table,
                                   const Mbr::MbrEntry& entry, bool limitSize) const {
  auto location = std::make_unique<MbrLocation>();
  SimpleDisk& disk = table.Disk();
  std::uint64_t size = entry.size;
  if (limitSize) size = std::min(size, disk.GetSectorCount());
  location->diskId = diskId;
  location->firstSector = entry.first;
  location->sectorCount = size;
  location->recordedCount = entry.size;
  location->recordedStart = entry.IsFree() ? 0 : entry.RelativeFirst();
  location->type = std::uint8_t(entry.type);
  location->view = std::make_shared<ContiguousDisk>(disk, entry.first, size);
  location->logical = !entry.IsFree() && !entry.inMbr;
  location->active = entry.BootIndicator() == 0x80;
  for (int i = 0; i < 3; ++i) location->entryNumbers[i] = std::uint32_t(entry.numbers[i]);
  return PSPortion(GetId(), std::move(location), entry.IsFree(), kAccessFull);
}

void PSMbrDriver::Rebuild() {
  Layer layer;
  std::map<std::uint32_t, std::map<std::uint64_t, std::uint32_t>> starts;
  for (auto& table : tables_) {
    const std::uint32_t diskId = table.first;
    table.second->Number();
    const auto oldStarts = starts_.find(diskId);
    std::map<std::uint64_t, std::uint32_t>& newStarts = starts[diskId];
    for (const Mbr::MbrEntry& item : table.second->ListPortions()) {
      if (!item.IsFree() && item.type != 0 && oldStarts != starts_.end()) {
        auto known = oldStarts->second.find(item.first);
        if (known != oldStarts->second.end()) {
          auto old = layer_.find(known->second);
          if (old != layer_.end()) {
            layer.emplace(old->first, old->second);
            newStarts[item.first] = old->first;
            continue;
          }
        }
      }
      PSPortion portion = MakePortion(diskId, *table.second, item, true);
      const std::uint32_t id = portion.GetId();
      layer.emplace(id, std::move(portion));
      newStarts[item.first] = id;
    }
  }
  for (const auto& entry : layer_) {
    if (entry.second.GetDriverId() != GetId()) layer.emplace(entry.first, entry.second);
  }
  layer_.swap(layer);
  starts_.swap(starts);
}

void PSMbrDriver::MoveLocation(std::uint32_t portionId, std::uint64_t first, std::uint64_t size,
                               bool logical) {
  auto it = layer_.find(portionId);
  if (it == layer_.end()) return;
  ChangeLocationVisitor change(first, size, logical);
  it->second.GetLocation().Accept(change);
  // A copy makes the portion's view over the new window.
  const PSPortion fresh(it->second);
  it->second = fresh;
}

Common::Error PSMbrDriver::AddDisks(PSDriverFactory&, Layer& layer, Layer&,
                                    const NamedVars::VarContainer&) {
  for (const auto& entry : layer) {
    tables_.erase(entry.first);
    added_.erase(entry.first);
    PSPortion& kept = added_.emplace(entry.first, entry.second).first->second;
    auto table = std::make_unique<Mbr::MbrDisk>(kept.GetView());
    table->InitEmpty();
    tables_[entry.first] = std::move(table);
    changed_.insert(entry.first);
  }
  return Common::NoError;
}

Common::Error PSMbrDriver::InitDisks(PSDriverFactory&, const DiskMap& disks, Layer&,
                                     const NamedVars::VarContainer&) {
  for (const auto& entry : disks) {
    SimpleDisk* device = entry.second != nullptr ? entry.second->GetSimpleDisk() : nullptr;
    if (device == nullptr) continue;
    auto table = std::make_unique<Mbr::MbrDisk>(*device);
    table->InitEmpty();
    // An empty table is still a table: Commit writes sector 0.
    table->Pseudo().tableChanged = true;
    tables_[entry.first] = std::move(table);
    changed_.insert(entry.first);
  }
  Rebuild();
  return Common::NoError;
}

Common::Error PSMbrDriver::ClearDisks(PSDriverFactory&, Layer& rawLayer, Layer&,
                                      const NamedVars::VarContainer&) {
  for (const auto& entry : rawLayer) {
    const GetRawLocationVisitor raw = RawOf(entry.second);
    if (!raw.found) continue;
    if (Mbr::MbrDisk* table = GetTable(raw.diskId)) {
      table->ClearSector0();
      cleared_.insert(raw.diskId);
    }
  }
  return Common::NoError;
}

Common::Error PSMbrDriver::RemoveDisks(PSDriverFactory&, const DiskMap& disks, Layer&,
                                       const NamedVars::VarContainer&) {
  for (const auto& entry : disks) {
    if (Mbr::MbrDisk* table = GetTable(entry.first)) {
      table->ClearSector0();
      cleared_.insert(entry.first);
    }
  }
  return Common::NoError;
}

std::pair<Common::Error, std::uint32_t> PSMbrDriver::CreatePortion(
    const NamedVars::VarContainer& params) {
  namespace K = NamedVars::Keys;
  try {
    const unsigned long diskId = params.GetRequired(K::DiskID);
    const NamedVars::VarU64 start = params.GetRequired(K::Start);
    const NamedVars::VarU64 size = params.GetRequired(K::Size);
    const unsigned long type = params.GetRequired(K::Type);
    const bool primary = params.GetRequired(K::PrimaryFlag);
    const bool beginAligned = params.GetOr(K::BeginAligned, true);
    const bool endAligned = params.GetOr(K::EndAligned, true);
    Mbr::MbrDisk* table = diskId <= 0xFFFFFFFFul ? GetTable(std::uint32_t(diskId)) : nullptr;
    if (table == nullptr) return {DiskNotFound(kNoDiskLocation), 0};
    // A creation that fails half-way leaves the model as it was.
    Mbr::MbrDisk copy(*table);
    // The list nodes travel with the swap, so the entry is then the table's.
    const Mbr::MbrEntry* entry =
        &copy.CreatePartition(start, size, primary, TypeArgument(type), beginAligned, endAligned);
    table->Swap(copy);
    changed_.insert(std::uint32_t(diskId));
    PSPortion portion = MakePortion(std::uint32_t(diskId), *table, *entry, false);
    const std::uint32_t id = portion.GetId();
    starts_[std::uint32_t(diskId)][entry->first] = id;
    layer_.emplace(id, std::move(portion));
    Rebuild();
    return {Common::NoError, id};
  } catch (const Fdisk::Error& e) {
    return {e, 0};
  }
}

Common::Error PSMbrDriver::DeletePortion(const NamedVars::VarContainer& params) {
  namespace K = NamedVars::Keys;
  try {
    const unsigned long portionId = params.GetRequired(K::PortionID);
    auto it = layer_.find(std::uint32_t(portionId));
    if (portionId > 0xFFFFFFFFul || it == layer_.end()) ThrowPartitionNotFound();
    GetLocationVisitor where;
    it->second.GetLocation().Accept(where);
    if (!where.found) ThrowPartitionNotFound();
    Mbr::MbrDisk* table = GetTable(where.diskId);
    if (table == nullptr) return DiskNotFound(kNoTableLocation);
    Mbr::MbrDisk copy(*table);
    copy.DeletePartition(where.first);
    table->Swap(copy);
    changed_.insert(where.diskId);
    layer_.erase(it);
    starts_[where.diskId].erase(where.first);
    Rebuild();
    return Common::NoError;
  } catch (const Fdisk::Error& e) {
    return e;
  }
}

Common::Error PSMbrDriver::ChangePortion(const NamedVars::VarContainer& params) {
  namespace K = NamedVars::Keys;
  try {
    const unsigned long portionId = params.GetRequired(K::PortionID);
    auto it = layer_.find(std::uint32_t(portionId));
    if (portionId > 0xFFFFFFFFul || it == layer_.end()) ThrowPartitionNotFound();
    const std::uint32_t id = it->first;
    GetLocationVisitor where;
    it->second.GetLocation().Accept(where);
    if (!where.found) ThrowPartitionNotFound();
    Mbr::MbrDisk* table = GetTable(where.diskId);
    if (table == nullptr) return DiskNotFound(kNoTableLocation);
    changed_.insert(where.diskId);
    std::map<std::uint64_t, std::uint32_t>& starts = starts_[where.diskId];
    std::uint64_t first = where.first;
    std::uint64_t size = where.size;

    if (params.Contains(K::Start) || params.Contains(K::Size)) {
      std::uint64_t newFirst = params.GetOr(K::Start, NamedVars::VarU64(first));
      std::uint64_t newSize = params.GetOr(K::Size, NamedVars::VarU64(size));
      if (newFirst != first || newSize != size) {
        Mbr::MbrDisk copy(*table);
        const Mbr::MbrEntry& moved = copy.MovePartition(first, newFirst, newSize);
        const bool logical = !moved.inMbr;
        table->Swap(copy);
        MoveLocation(id, newFirst, newSize, logical);
        starts.erase(first);
        starts[newFirst] = id;
        first = newFirst;
        size = newSize;
      }
    }
    if (params.Contains(K::Type)) {
      const Mbr::MbrEntry& e = table->SetTypeAt(first, TypeArgument(params.Get(K::Type)));
      ChangeTypeVisitor change(std::uint8_t(e.type));
      layer_.at(id).GetLocation().Accept(change);
    }
    if (params.Contains(K::HiddenFlag)) table->SetHiddenModeAt(first, params.Get(K::HiddenFlag));
    if (params.Contains(K::PrimaryFlag)) {
      Mbr::MbrDisk copy(*table);
      const Mbr::MbrEntry& e = copy.SetPrimary(first, params.Get(K::PrimaryFlag));
      const std::uint64_t newFirst = e.first;
      const std::uint64_t newSize = e.size;
      const bool logical = !e.inMbr;
      table->Swap(copy);
      MoveLocation(id, newFirst, newSize, logical);
      if (newFirst != first) {
        starts.erase(first);
        starts[newFirst] = id;
      }
      first = newFirst;
      size = newSize;
    }
    if (params.Contains(K::ActiveBootStatus)) {
      table->SetBootIndicator(first, params.Get(K::ActiveBootStatus) ? 0x80 : 0x00);
    }
    Rebuild();
    return Common::NoError;
  } catch (const Common::Error& e) {
    return e;
  }
}

Common::Error PSMbrDriver::Commit() {
  for (auto& table : tables_) {
    if (cleared_.count(table.first) != 0) {
      table.second->WriteBootSector();
    } else if (changed_.count(table.first) != 0) {
      Common::Error e = table.second->Commit();
      if (e) ThrowError(e);
    }
  }
  changed_.clear();
  cleared_.clear();
  return Common::NoError;
}

namespace Mbr {
bool IsSaneTable(const MbrDisk& table) {
  const std::uint64_t total = table.Disk().GetSectorCount();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> used;
  std::size_t holders = 0;
  for (const MbrEntry& e : table.Entries()) {
    if (&e == &table.Entries().front()) continue;
    const std::uint8_t boot = e.BootIndicator();
    if (boot != 0 && boot != 0x80) return false;
    if (e.IsHolder()) {
      if (++holders > kMaxChainTables) return false;
      if (e.first >= total) return false;
      continue;
    }
    if (!e.IsPartition()) continue;
    if (e.size == 0) return false;
    if (e.type == 0xEE && e.inMbr) {
      if (e.first >= total) return false;
      continue;
    }
    if (e.first >= total || e.size > total - e.first) return false;
    used.emplace_back(e.first, e.first + e.size - 1);
  }
  std::sort(used.begin(), used.end());
  for (std::size_t i = 1; i < used.size(); ++i) {
    if (used[i].first <= used[i - 1].second) return false;
  }
  return true;
}
}  // namespace Mbr

}  // namespace Fdisk
