// The GPT scheme driver: GPT disks as partitions and free areas.
#include "fdisk/gpt_driver.h"

#include <algorithm>

#include "fdisk/mbr_driver.h"
#include "fdisk/raw_driver.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0x6A1D33C5;
constexpr std::uint32_t kNoDiskLocation = 0x33C50001;
constexpr std::uint32_t kNoPartitionLocation = 0x33C50002;
constexpr std::uint32_t kBadDiskIdLocation = 0x33C50003;
constexpr std::uint8_t kProtectiveType = 0xEE;
constexpr char16_t kDefaultName[] = u"Basic data partition";

Common::Error DiskNotFound(std::uint32_t location) {
  return MakeError(location, kModuleId, kErrDiskNotFound, Msg::kDiskNotFound);
}

[[noreturn]] void ThrowPartitionNotFound() {
  ThrowError(kNoPartitionLocation, kModuleId, kErrPartitionNotFound, Msg::kPartitionNotFound);
}

GetRawLocationVisitor RawOf(const PSPortion& portion) {
  GetRawLocationVisitor visitor;
  try {
    portion.GetLocation().Accept(visitor);
  } catch (const Common::Error&) {
    visitor.found = false;
  }
  return visitor;
}

IsEfiTypeVisitor KindOf(const PSPortion& portion) {
  IsEfiTypeVisitor visitor;
  try {
    portion.GetLocation().Accept(visitor);
  } catch (const Common::Error&) {
    visitor.kind = 0;
  }
  return visitor;
}
}  // namespace

// --- Visitors ---------------------------------------------------------------------------

void GetGptIdVisitor::Visit(GptLocation& location) {
  found = true;
  uniqueGuid = Common::Guid::FromBytes(location.uniqueGuid.data());
  diskId = location.diskId;
  first = location.firstSector;
  size = location.sectorCount;
}

void ChangeGptLocation::Visit(GptLocation& location) {
  location.firstSector = first_;
  location.sectorCount = size_;
  if (location.view) {
    location.view = std::make_shared<ContiguousDisk>(location.view->Parent(), first_, size_);
  }
}

void IsEfiTypeVisitor::Visit(MbrLocation& location) {
  if (location.type != kProtectiveType) return;
  kind = 1;
  diskId = location.diskId;
  first = location.firstSector;
  size = location.recordedCount;
}

void IsEfiTypeVisitor::Visit(GptLocation& location) {
  const std::array<std::uint8_t, 16> zero{};
  if (location.typeGuid != zero) return;
  kind = 2;
  diskId = location.diskId;
  first = location.firstSector;
  size = location.sectorCount;
}

// --- State store ---------------------------------------------------------------------------

void PSGptDriver::StoreGptContext::Store(Layer& out) {
  for (const auto& entry : *raw_) {
    const GetRawLocationVisitor raw = RawOf(entry.second);
    if (raw.found && tables_->count(raw.diskId) != 0) out.emplace(entry.first, entry.second);
  }
}

void PSGptDriver::StoreGptContext::Restore(Layer&) {}

void PSGptDriver::StoreGptContext::RestoreSectors(
    std::map<std::uint32_t, std::list<std::uint64_t>>& out) const {
  for (const auto& entry : *raw_) {
    const GetRawLocationVisitor raw = RawOf(entry.second);
    if (!raw.found) continue;
    auto table = tables_->find(raw.diskId);
    if (table == tables_->end() || !table->second->HasHeader()) continue;
    const Gpt::GptPartitions& t = *table->second;
    const Gpt::GptHeader& h = t.Header();
    // The header and the whole array behind it (its last, partly used
    // sector included) at each end.
    const std::uint64_t n = t.ArraySectors() + 1;
    std::list<std::uint64_t>& sectors = out[entry.first];
    for (std::uint64_t i = 0; i < n; ++i) sectors.push_back(h.MyLba() + i);
    for (std::uint64_t i = 0; i < n && i <= h.AlternateLba(); ++i) {
      sectors.push_back(h.AlternateLba() - i);
    }
  }
}

// --- Driver ---------------------------------------------------------------------------------

PSGptDriver::PSGptDriver() : store_(std::make_unique<StoreGptContext>(tables_, raw_)) {}

PSGptDriver::~PSGptDriver() {
  layer_.clear();
  tables_.clear();
  pending_.clear();
  store_.reset();
}

void PSGptDriver::Accept(PSDriverVisitor& visitor) { visitor.Visit(*this); }

Gpt::GptPartitions* PSGptDriver::GetTable(std::uint32_t diskId) {
  auto it = tables_.find(diskId);
  return it == tables_.end() ? nullptr : it->second.get();
}

SimpleDisk* PSGptDriver::DiskView(std::uint32_t diskId) const {
  auto it = views_.find(diskId);
  return it == views_.end() ? nullptr : it->second;
}

Common::Error PSGptDriver::ProcessDisks(Layer& rawLayer, Layer& headLayer) {
  tables_.clear();
  pending_.clear();
  changed_.clear();
  ids_.clear();
  views_.clear();
  layer_.clear();
  passed_.clear();
  Gpt::GptLog("Enter to process disks in Gpt Driver (id = %d)", int(GetId()));
  raw_ = rawLayer;
  head_ = headLayer;
  for (auto& entry : raw_) {
    const GetRawLocationVisitor raw = RawOf(entry.second);
    if (raw.found) views_[raw.diskId] = &entry.second.GetView();
  }
  for (auto& entry : head_) {
    const IsEfiTypeVisitor kind = KindOf(entry.second);
    if (kind.kind == 1) {
      // Only the first protective partition of a disk names its GPT; any
      // further one lies inside the area the GPT describes.
      if (tables_.count(kind.diskId) != 0) continue;
      if (!LoadDisk(kind.diskId, kind.first, kind.size)) continue;
    }
    passed_.emplace(entry.first, entry.second);
  }
  Rebuild();
  Gpt::GptLog("Exit from process disks in Gpt Driver (id = %d)", int(GetId()));
  return Common::NoError;
}

Common::Error PSGptDriver::LoadDisk(std::uint32_t diskId, std::uint64_t first,
                                    std::uint64_t count) {
  if (tables_.count(diskId) != 0) return Common::NoError;
  SimpleDisk* view = DiskView(diskId);
  if (view == nullptr) return DiskNotFound(kNoDiskLocation);
  auto table = std::make_unique<Gpt::GptPartitions>(view, first, count);
  Common::Error e = table->Load();
  if (e) return e;
  tables_[diskId] = std::move(table);
  return Common::NoError;
}

PSPortion PSGptDriver::MakePortion(std::uint32_t diskId, const Gpt::GptEntry& entry,
                                   std::uint32_t index, bool free) const {
  auto location = std::make_unique<GptLocation>();
  const std::uint64_t first = entry.StartingLba();
  const std::uint64_t size =
      entry.EndingLba() >= first ? entry.EndingLba() - first + 1 : 0;
  location->diskId = diskId;
  location->firstSector = first;
  location->sectorCount = size;
  location->entryOrdinal = index;
  std::copy(entry.bytes.begin() + 16, entry.bytes.begin() + 32, location->uniqueGuid.begin());
  std::copy(entry.bytes.begin(), entry.bytes.begin() + 16, location->typeGuid.begin());
  if (SimpleDisk* disk = DiskView(diskId)) {
    const std::uint64_t total = disk->GetSectorCount() + 1;  // it answers the last index
    const std::uint64_t inside = first >= total ? 0 : std::min(size, total - first);
    location->view = std::make_shared<ContiguousDisk>(*disk, first, inside);
  }
  return PSPortion(GetId(), std::move(location), free, kAccessFull);
}

void PSGptDriver::Rebuild() {
  Layer layer;
  for (const auto& entry : passed_) {
    // A protective partition whose disk has a table now (after InitDisks)
    // gives way to the table's portions.
    const IsEfiTypeVisitor kind = KindOf(entry.second);
    if (kind.kind == 1 && tables_.count(kind.diskId) != 0) continue;
    layer.emplace(entry.first, entry.second);
  }
  std::map<std::uint32_t, std::map<Common::Guid, std::uint32_t>> ids;
  for (auto& table : tables_) {
    const std::uint32_t diskId = table.first;
    const auto oldIds = ids_.find(diskId);
    std::map<Common::Guid, std::uint32_t>& newIds = ids[diskId];
    std::uint32_t used = 0;
    for (const Gpt::GptEntry& item : table.second->ListEntries()) {
      const bool free = Gpt::GptPartitions::IsFreeEntry(item);
      if (!free && oldIds != ids_.end()) {
        auto known = oldIds->second.find(item.UniqueGuid());
        if (known != oldIds->second.end()) {
          auto old = layer_.find(known->second);
          if (old != layer_.end()) {
            layer.emplace(old->first, old->second);
            newIds[item.UniqueGuid()] = old->first;
            ++used;
            continue;
          }
        }
      }
      PSPortion portion = MakePortion(diskId, item, used, free);
      const std::uint32_t id = portion.GetId();
      layer.emplace(id, std::move(portion));
      if (!free) {
        newIds[item.UniqueGuid()] = id;
        ++used;
      }
    }
  }
  layer_.swap(layer);
  ids_.swap(ids);
}

std::pair<PSPortion*, GetGptIdVisitor> PSGptDriver::FindPortion(
    const NamedVars::VarContainer& params) {
  const unsigned long portionId = params.GetRequired(NamedVars::Keys::PortionID);
  auto it = layer_.find(std::uint32_t(portionId));
  if (portionId > 0xFFFFFFFFul || it == layer_.end()) ThrowPartitionNotFound();
  GetGptIdVisitor where;
  it->second.GetLocation().Accept(where);
  if (!where.found || it->second.IsFree()) ThrowPartitionNotFound();
  return {&it->second, where};
}

Common::Error PSGptDriver::AddDisks(PSDriverFactory&, Layer&, Layer&,
                                    const NamedVars::VarContainer&) {
  return Common::NoError;
}

Common::Error PSGptDriver::InitDisks(PSDriverFactory& factory, const DiskMap& disks,
                                     Layer& portions, const NamedVars::VarContainer& params) {
  namespace K = NamedVars::Keys;
  auto mbr = std::make_unique<PSMbrDriver>();
  Common::Error e = mbr->InitDisks(factory, disks, portions, params);
  if (e) return e;
  TableMap made;
  for (const auto& entry : disks) {
    SimpleDisk* device = entry.second != nullptr ? entry.second->GetSimpleDisk() : nullptr;
    if (device == nullptr) return DiskNotFound(kBadDiskIdLocation);
    const std::uint64_t total = device->GetSectorCount() + 1;  // it answers the last index
    if (total < 2) return DiskNotFound(kBadDiskIdLocation);
    try {
      auto table = std::make_unique<Gpt::GptPartitions>(device, 1, total - 1);
      table->InitEmpty();
      // The protective partition covers the disk behind sector 0, as far as
      // 32 bits reach.
      NamedVars::VarContainer p;
      p.Set(K::DiskID, static_cast<unsigned long>(entry.first));
      p.Set(K::Start, NamedVars::VarU64(1));
      p.Set(K::Size, NamedVars::VarU64(std::min<std::uint64_t>(total - 1, 0xFFFFFFFFull)));
      p.Set(K::PrimaryFlag, true);
      p.Set(K::Type, 0xEEul);
      p.Set(K::BeginAligned, false);
      p.Set(K::EndAligned, false);
      auto created = mbr->CreatePortion(p);
      if (created.first) return created.first;
      made[entry.first] = std::move(table);
    } catch (const Fdisk::Error& error) {
      return error;
    }
  }
  for (auto& table : made) {
    changed_.insert(table.first);
    ids_.erase(table.first);
    tables_[table.first] = std::move(table.second);
  }
  for (const auto& entry : disks) {
    if (entry.second != nullptr) views_[entry.first] = entry.second->GetSimpleDisk();
  }
  // The disks' earlier portions in this layer make way for the new tables.
  for (auto it = passed_.begin(); it != passed_.end();) {
    GetRawLocationVisitor raw = RawOf(it->second);
    IsEfiTypeVisitor kind = KindOf(it->second);
    MbrLocation* mbrLocation = dynamic_cast<MbrLocation*>(&it->second.GetLocation());
    const bool onDisk = (raw.found && disks.count(raw.diskId) != 0) ||
                        (mbrLocation != nullptr && disks.count(mbrLocation->diskId) != 0) ||
                        (kind.kind != 0 && disks.count(kind.diskId) != 0);
    it = onDisk ? passed_.erase(it) : std::next(it);
  }
  pending_.push_back(std::move(mbr));
  Rebuild();
  return Common::NoError;
}

Common::Error PSGptDriver::ClearDisks(PSDriverFactory&, Layer& rawLayer, Layer&,
                                      const NamedVars::VarContainer&) {
  for (const auto& entry : rawLayer) {
    const GetRawLocationVisitor raw = RawOf(entry.second);
    if (!raw.found) continue;
    auto it = tables_.find(raw.diskId);
    if (it == tables_.end()) continue;
    it->second = std::make_unique<Gpt::GptPartitionsRemover>(*it->second);
    changed_.insert(raw.diskId);
  }
  return Common::NoError;
}

Common::Error PSGptDriver::RemoveDisks(PSDriverFactory& factory, const DiskMap& disks,
                                       Layer& portions, const NamedVars::VarContainer& params) {
  // The protective MBR goes too, so that nothing on the disk still claims
  // a partitioning.
  auto mbr = std::make_unique<PSMbrDriver>();
  Common::Error e = mbr->InitDisks(factory, disks, portions, params);
  if (!e) e = mbr->RemoveDisks(factory, disks, portions, params);
  if (e) return e;
  for (const auto& entry : disks) {
    auto it = tables_.find(entry.first);
    if (it == tables_.end()) continue;
    it->second = std::make_unique<Gpt::GptPartitionsRemover>(*it->second);
    changed_.insert(entry.first);
  }
  pending_.push_back(std::move(mbr));
  return Common::NoError;
}

std::pair<Common::Error, std::uint32_t> PSGptDriver::CreatePortion(
    const NamedVars::VarContainer& params) {
  namespace K = NamedVars::Keys;
  try {
    const unsigned long diskId = params.GetRequired(K::DiskID);
    const NamedVars::VarU64 start = params.GetRequired(K::Start);
    const NamedVars::VarU64 size = params.GetRequired(K::Size);
    const Common::Guid type = params.GetRequired(K::PartitionType);
    const unsigned int index = params.GetOr(K::Index, 0u);
    const std::u16string name = params.GetOr(K::FriendlyName, std::u16string(kDefaultName));
    Gpt::GptPartitions* table =
        diskId <= 0xFFFFFFFFul ? GetTable(std::uint32_t(diskId)) : nullptr;
    if (table == nullptr) return {DiskNotFound(kNoDiskLocation), 0};
    std::unique_ptr<Gpt::GptPartitions> copy(table->Clone());
    const Gpt::GptEntry entry = copy->CreateEntry(start, size, type, name);
    tables_[std::uint32_t(diskId)] = std::move(copy);
    changed_.insert(std::uint32_t(diskId));
    PSPortion portion = MakePortion(std::uint32_t(diskId), entry, index, false);
    const std::uint32_t id = portion.GetId();
    ids_[std::uint32_t(diskId)][entry.UniqueGuid()] = id;
    layer_.emplace(id, std::move(portion));
    Rebuild();
    return {Common::NoError, id};
  } catch (const Fdisk::Error& e) {
    return {e, 0};
  }
}

Common::Error PSGptDriver::DeletePortion(const NamedVars::VarContainer& params) {
  try {
    auto found = FindPortion(params);
    const GetGptIdVisitor& where = found.second;
    Gpt::GptPartitions* table = GetTable(where.diskId);
    if (table == nullptr) return DiskNotFound(kNoDiskLocation);
    std::unique_ptr<Gpt::GptPartitions> copy(table->Clone());
    copy->DeleteEntry(where.uniqueGuid);
    tables_[where.diskId] = std::move(copy);
    changed_.insert(where.diskId);
    layer_.erase(found.first->GetId());
    ids_[where.diskId].erase(where.uniqueGuid);
    Rebuild();
    return Common::NoError;
  } catch (const Fdisk::Error& e) {
    return e;
  }
}

Common::Error PSGptDriver::ChangePortion(const NamedVars::VarContainer& params) {
  namespace K = NamedVars::Keys;
  try {
    auto found = FindPortion(params);
    const GetGptIdVisitor where = found.second;
    Gpt::GptPartitions* table = GetTable(where.diskId);
    if (table == nullptr) return DiskNotFound(kNoDiskLocation);
    // Every step runs on a copy, so a failing one leaves the table as it
    // was rather than half changed.
    std::unique_ptr<Gpt::GptPartitions> copy(table->Clone());
    const std::uint64_t first = params.GetOr(K::Start, NamedVars::VarU64(where.first));
    const std::uint64_t size = params.GetOr(K::Size, NamedVars::VarU64(where.size));
    const bool moved = first != where.first || size != where.size;
    if (moved) copy->MoveEntry(where.uniqueGuid, first, size);
    if (params.Contains(K::PartitionType)) {
      copy->SetType(where.uniqueGuid, params.Get(K::PartitionType));
    }
    if (params.Contains(K::FriendlyName)) copy->SetName(where.uniqueGuid, params.Get(K::FriendlyName));
    if (params.Contains(K::FlagPartitionAsHardwarePart)) {
      copy->SetHardwareFlag(where.uniqueGuid, params.Get(K::FlagPartitionAsHardwarePart));
    }
    tables_[where.diskId] = std::move(copy);
    changed_.insert(where.diskId);
    // The portion keeps its id; its location follows the entry (the type
    // too, so that the layer never shows a type the table no longer has).
    PSPortion& portion = *found.first;
    if (moved) {
      ChangeGptLocation change(first, size);
      portion.GetLocation().Accept(change);
    }
    if (GptLocation* location = dynamic_cast<GptLocation*>(&portion.GetLocation())) {
      if (const Gpt::GptEntry* e = tables_[where.diskId]->FindByGuid(where.uniqueGuid)) {
        std::copy(e->bytes.begin(), e->bytes.begin() + 16, location->typeGuid.begin());
      }
    }
    // A copy makes the portion's view over its new window.
    const PSPortion fresh(portion);
    portion = fresh;
    Rebuild();
    return Common::NoError;
  } catch (const Fdisk::Error& e) {
    return e;
  }
}

Common::Error PSGptDriver::Commit() {
  for (auto& driver : pending_) driver->Commit();
  pending_.clear();
  for (auto& table : tables_) {
    if (changed_.count(table.first) == 0) continue;
    table.second->Commit();
  }
  changed_.clear();
  return Common::NoError;
}

}  // namespace Fdisk
