// The volume-information cache and pass, and the mapping of the library's
// volumes onto the partition holders.
#include <algorithm>
#include <cstring>
#include <list>
#include <memory>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/objects.h"

namespace {

// Front first; entries stay at their address while listed.
std::list<std::unique_ptr<VolumeInfoEntry>> g_cache;

// The file-system type a partition type stands for.
std::int32_t KindFromType(std::uint8_t type) {
  switch (type) {
    case 0x83:
      return 6;
    case 0xAF:
      return 7;
    case 0x07:
      return 10;
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x0E:
    case 0x12:
      return 12;
    case 0x0B:
    case 0x0C:
    case 0xBC:
    case 0xEF:
      return 13;
    case 0x82:
      return 15;
    default:
      return 0;
  }
}

VolumeInfoEntry* FindEntry(Fdisk::SimpleDisk* device, std::uint64_t start, std::uint64_t size,
                           std::uint32_t partitionId) {
  for (auto& e : g_cache) {
    if (e->user != nullptr || e->params.Start != start || e->params.Length > size) continue;
    const bool byId = e->partition_id != 0 && partitionId != 0;
    if (byId ? e->partition_id == partitionId : e->params.Device == device) return e.get();
  }
  return nullptr;
}

bool ReadChangeStamp(VolumeInfoEntry& entry, std::uint64_t& stamp) {
  flat_holder* h = entry.user;
  if (h == nullptr || !h->volume || h->volume->GetLibraryHandle() == 0) return false;
  std::uint64_t counter = 0;
  if (Da::Failed(h->volume->VolGetWriteCounter(counter))) return false;
  if (counter == entry.params.ChangeStamp) return false;
  stamp = counter;
  return true;
}

VolumeInfoEntry& GetOrCreateEntry(flat_holder& h, std::uint8_t* cancel) {
  const std::uint32_t id = h.IsEasyVolume() ? static_cast<std::uint32_t>(h.id) : 0;
  VolumeInfoEntry* entry = FindEntry(h.disk, h.start, h.size, id);
  const bool created = entry == nullptr;
  if (created) {
    g_cache.push_front(std::make_unique<VolumeInfoEntry>());
    entry = g_cache.front().get();
    std::fill(std::begin(entry->letters), std::end(entry->letters), kNoLetter);
    entry->params.Device = h.disk;
    entry->params.Start = h.start;
    entry->params.Length = h.size;
  }
  entry->user = &h;
  entry->partition_id = id;
  if (created) {
    entry->diskId = h.disk != nullptr ? h.disk->id : 0;
    entry->letters[8] = h.letter;
    entry->params.FsType = KindFromType(h.type);
    entry->params.FsTypeMask = 0xFFFFFFFFu;
    entry->state = 1;  // described by its partition type; no file-system probe here
  }
  entry->params.CancelFlag = cancel;
  std::uint64_t stamp = 0;
  if (created && ReadChangeStamp(*entry, stamp)) entry->params.ChangeStamp = stamp;
  return *entry;
}

template <class F>
void ForEveryPartition(F&& f) {
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    for (stddisk* d = c->FirstDisk(); d != nullptr; d = d->next) {
      if (PartitionTree* t = d->GetTree(0))
        for (auto& h : t->holders)
          if (h->IsPartition()) f(*h);
      for (auto& h : d->second_holders)
        if (h->IsPartition()) f(*h);
    }
  }
}

}  // namespace

std::size_t DaVolumeInfoCacheSize() { return g_cache.size(); }

void PurgeUnusedEntries() {
  g_cache.remove_if([](const std::unique_ptr<VolumeInfoEntry>& e) { return e->user == nullptr; });
}

void ClearCache() {
  ForEveryPartition([](flat_holder& h) { h.info = nullptr; });
  g_cache.clear();
}

void DaVolumeInformationPass(bool, std::uint32_t) {
  DaSetActiveQuery(&g_DaPartitionQuery);
  for (auto& e : g_cache) e->user = nullptr;
  // Disk speeds are measured only when asked for, and with the clean-up's
  // flags nothing is selected; free space and labels are read only for
  // selected volumes, and here none is.
  ForEveryPartition([](flat_holder& h) {
    VolumeInfoEntry& entry = GetOrCreateEntry(h, &g_DaState.cancel);
    h.info = &entry;
  });
  DaQueryPartitions();
}

// ------------------------------------------------------------ mapping

bool MapLibraryVolumes(da_computer& computer) {
  bool changed = false;
  std::uint32_t mask = 0;
  computer.GetFreeLetters(mask);
  mask >>= 2;
  if (mask != computer.freeLetters[0]) {
    computer.freeLetters[0] = computer.freeLetters[1] = mask;
    changed = true;
  }
  std::uint32_t count = 0;
  if (Da::Failed(computer.SbGetVolumeCnt(count))) return false;

  auto usable = [](stddisk* d) {
    return d->usable && !d->IsEasyVolumeDisk() && (d->GetStateFlags() & kDiskGone) == 0;
  };
  for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next) {
    if (!usable(d)) continue;
    if (PartitionTree* t = d->GetTree(2))
      for (auto& h : t->holders)
        if (!h->IsTable() && h->volume && h->volume->GetDriveNumber() == 0)
          h->SetVolumeHandler(nullptr);
    d->SetOptionFlag(0);
  }

  for (std::uint32_t n = 1; n <= count; ++n) {
    flat_holder* attached = nullptr;
    for (stddisk* d = computer.FirstDisk(); d != nullptr && attached == nullptr; d = d->next) {
      if (!usable(d)) continue;
      if (PartitionTree* t = d->GetTree(2))
        for (auto& h : t->holders)
          if (h->volume && h->volume->GetDriveNumber() == n) {
            attached = h.get();
            break;
          }
    }
    std::shared_ptr<vol_handler> v;
    computer.OpenVolume(n, v);
    if (!v) {
      if (attached != nullptr) attached->SetVolumeHandler(nullptr);
      changed = true;
      continue;
    }
    if (attached != nullptr) {
      std::uint32_t flags = 0;
      if (!Da::Failed(attached->volume->VolGetFlags(flags))) {
        std::uint8_t letter = 0;
        attached->volume->VolGetLetter(letter);
        if (letter != attached->letter) attached->letter = letter;
        changed = true;
        continue;
      }
      attached->SetVolumeHandler(nullptr);
      changed = true;
    }

    std::vector<DaExtent> locations;
    std::uint32_t kind = 0;
    v->VolGetLocations(locations, kind);
    if (kind == 1) kind = 0;
    stddisk* volumeDisk = nullptr;
    bool protective = false;
    for (DaExtent& loc : locations) {
      stddisk* d = computer.FindDiskByNumber(loc.diskNumber);
      if (d == nullptr) continue;
      loc.diskKey = d->id;
      loc.diskNumber = 0;
      const std::uint32_t scheme = d->GetSchemeType();
      if (locations.size() == 1 && scheme == 0 && kind == 0) {
        bool found = false;
        if (PartitionTree* t = d->GetTree(2)) {
          for (auto& h : t->holders) {
            if (!h->IsPartition() || h->volume || h->start != loc.firstSector) continue;
            v->start = loc.firstSector;
            h->SetVolumeHandler(v);
            std::uint8_t letter = 0;
            v->VolGetLetter(letter);
            h->letter = letter;
            found = true;
            break;
          }
        }
        if (!found) d->SetOptionFlag(1);
        changed = true;
      } else if (locations.size() > 1 && scheme == 0 && kind == 0) {
        d->SetOptionFlag(1);
        changed = true;
      }
      if (scheme == 0xEE || scheme == 0x42) protective = true;
      if ((kind != 0 || protective) && volumeDisk == nullptr) volumeDisk = d;
      d->AfterScan();
    }

    if ((volumeDisk != nullptr || kind == 2 || kind == 3) && computer.pseudoDisk != nullptr) {
      const bool gptHeader = locations.size() == 1 && locations[0].firstSector == 1 &&
                             volumeDisk != nullptr && volumeDisk->GetSchemeType() == 0xEE;
      if (!gptHeader) {
        std::unique_ptr<Common::Guid> guid;
        v->VolGetSysGuid(guid);
        flat_holder* match = nullptr;
        for (auto& h : computer.pseudoDisk->second_holders) {
          if (h->IsFreeSpace() || h->extents.size() != locations.size()) continue;
          if (guid && std::memcmp(h->uniqueGuid.bytes, guid->bytes, 16) != 0) continue;
          std::vector<DaExtent> a = h->extents, b = locations;
          std::sort(a.begin(), a.end());
          std::sort(b.begin(), b.end());
          if (a == b && (!h->volume || h->volume->VolQueryWord() == v->VolQueryWord())) {
            match = h.get();
            break;
          }
        }
        if (match != nullptr) {
          match->SetVolumeHandler(v);
        } else {
          std::uint64_t total = 0;
          for (const DaExtent& e : locations) total += e.sectorCount;
          auto h = std::make_unique<flat_holder>(computer.pseudoDisk, flat_holder::kEasyVolume,
                                            locations.empty() ? 0 : locations[0].firstSector,
                                            total);
          h->id = DaNextReadHolderKey();
          h->extents = locations;
          if (guid) h->uniqueGuid = *guid;
          std::uint8_t letter = 0;
          v->VolGetLetter(letter);
          h->letter = letter;
          h->SetVolumeHandler(v);
          computer.pseudoDisk->second_holders.push_back(std::move(h));
        }
        changed = true;
      }
    }
  }

  for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next) {
    if (!usable(d)) continue;
    if (PartitionTree* t = d->GetTree(2))
      for (auto& h : t->holders)
        if (h->IsPartition() && !h->volume) h->SetVolumeHandler(computer.NewVolumeHandler());
  }
  return changed;
}
