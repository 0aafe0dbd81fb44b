// The volume-information cache and pass, and the mapping of the library's
// volumes onto the partition holders.
#include <algorithm>
#include <cstring>
#include <list>
#include <memory>

#include "diskaccess/boot_record_guard.h"
#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/global_ops.h"
#include "diskaccess/holders.h"
#include "diskaccess/objects.h"
#include "diskaccess/volume_handlers.h"
#include "diskaccess/volume_mapping.h"

namespace {

// Front first; entries stay at their address while listed.
std::list<std::unique_ptr<VolumeInfoEntry>> g_cache;

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
  holder* h = entry.user;
  vol_handler* volume = h != nullptr ? h->GetVolumeHandler() : nullptr;
  if (volume == nullptr || volume->GetLibraryHandle() == 0) return false;
  std::uint64_t counter = 0;
  if (Da::Failed(volume->VolGetWriteCounter(counter))) return false;
  if (counter == entry.params.ChangeStamp) return false;
  stamp = counter;
  return true;
}

VolumeInfoEntry& GetOrCreateEntry(holder& h, std::uint8_t* cancel) {
  const std::uint32_t id = h.IsEasyVolume() ? static_cast<std::uint32_t>(h.GetId()) : 0;
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
    entry->letters[8] = h.GetLetter(kLiveView);
    entry->params.FsType = static_cast<std::int32_t>(KindFromType(h.GetType()));
    entry->params.FsTypeMask = 0xFFFFFFFFu;
    entry->state = 1;  // described by its partition type; no file-system probe here
  }
  entry->params.CancelFlag = cancel;
  std::uint64_t stamp = 0;
  if (created && ReadChangeStamp(*entry, stamp)) entry->params.ChangeStamp = stamp;
  return *entry;
}

bool IsCached(const VolumeInfoEntry* entry) {
  for (const auto& e : g_cache)
    if (e.get() == entry) return true;
  return false;
}

template <class F>
void ForEveryPartition(F&& f) {
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    for (stddisk* d = c->FirstDisk(); d != nullptr; d = d->next) {
      for (holder* h = d->holder_list.first; h != nullptr; h = h->next)
        if (h->IsPartition()) f(*h);
      // The pseudo-disk's mapped volumes, where its list holds no copy of
      // them to stand for them.
      for (holder* h = d->second_list.first; h != nullptr; h = h->next)
        if (h->IsPartition() && DaFindHolderById(h->GetId(), &d->holder_list) == nullptr) f(*h);
    }
  }
}

}  // namespace

std::size_t DaVolumeInfoCacheSize() { return g_cache.size(); }

void DaRefreshPendingStamp(VolumeInfoEntry* entry) {
  if (entry == nullptr) return;
  entry->pending_stamp = 0;
  ReadChangeStamp(*entry, entry->pending_stamp);
}

void DaClearPendingStamp(VolumeInfoEntry* entry) {
  if (entry != nullptr) entry->pending_stamp = 0;
}

void PurgeUnusedEntries() {
  g_cache.remove_if([](const std::unique_ptr<VolumeInfoEntry>& e) { return e->user == nullptr; });
}

void ClearCache() {
  ForEveryPartition([](holder& h) {
    if (std::shared_ptr<virt_fs> fs = GetVirtFs(&h)) fs->entry = nullptr;
  });
  g_cache.clear();
}

void DaVolumeInformationPass(bool byLevel, std::uint32_t partitionId) {
  DaSetActiveQuery(&g_DaPartitionQuery);
  for (auto& e : g_cache) e->user = nullptr;
  const std::uint32_t flags = g_DaState.initFlags;
  auto selected = [&](const holder& h) {
    return (byLevel && h.scratch != 0) ||
           (partitionId != 0 && static_cast<std::uint32_t>(h.GetId()) == partitionId);
  };
  // The disks whose speed is still to be measured, in walk order: every
  // disk under a partition unless flag 0x800 limits it to the selected
  // partitions' disks. (Free space and labels are read only for selected
  // volumes; this layer has no file-system probe of its own.)
  std::vector<stddisk*> due;
  ForEveryPartition([&](holder& h) {
    if ((flags & 0x800) != 0 && !selected(h)) return;
    auto* p = dynamic_cast<BasePartitionHolder*>(&h);
    stddisk* d = p != nullptr && !p->extents.empty() ? DaFindDiskByKey(p->extents[0].diskKey)
                                                     : nullptr;
    if (d == nullptr) d = h.disk;
    if (d == nullptr || !d->usable || d->IsEasyVolumeDisk() || d->speed > 1000) return;
    d->speed = kDiskSpeedDue;
    due.push_back(d);
  });
  std::uint32_t step = 0;
  for (stddisk* d : due) {
    DaHookProgress(++step);
    DaMeasureDiskSpeed(d);
  }
  ForEveryPartition([](holder& h) {
    std::shared_ptr<virt_fs> fs = GetVirtFs(&h);
    // An entry the cache no longer has, or another than this holder's, is
    // not followed.
    if (fs && fs->entry != nullptr && (!IsCached(fs->entry) || fs->entry->user != nullptr)) {
      fs.reset();
      h.SetUserData(nullptr);
    }
    const bool created = !fs;
    if (created) fs = std::make_shared<virt_fs>();
    VolumeInfoEntry& entry = GetOrCreateEntry(h, &g_DaState.cancel);
    fs->entry = &entry;
    if (created) {
      static_cast<PartitionParameters&>(*fs) = entry.params;
      fs->first_type = static_cast<std::uint32_t>(entry.params.FsType);
      fs->boot_record = BootRecordGuard::HasRecord(&h) ? 1 : 0;
      const std::uint8_t letter = h.GetLetter(kLiveView);
      fs->letter = letter >= 'C' && letter <= 'Z' ? letter : 0;
      fs->letter_wanted = h.GetHiddenState() == 0 && IsSupportedType(h.GetType())
                              ? fs->letter == 0 : fs->letter != 0;
      GetOuterRange(&h, fs->range_start, fs->range_size);
      fs->FillFrom(h);
      h.SetUserData(fs);
    }
  });
  DaQueryPartitions();
}

// ------------------------------------------------------------ mapping

namespace {

// The letter the library gives a volume becomes the partition's live one.
void TakeLetter(holder& h, std::uint8_t letter) {
  h.SetLetter(kLiveView, letter, h.GetLetterFlags(kLiveView));
  h.SetAssignedLetter(letter);
}

template <class F>
void ForEveryHolder(HolderList* list, F&& f) {
  if (list == nullptr) return;
  for (holder* h = list->first; h != nullptr; h = h->next) f(*h);
}

}  // namespace

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
    ForEveryHolder(DaTreeHolders(d, 2), [](holder& h) {
      vol_handler* v = h.GetVolumeHandler();
      if (h.IsPartition() && v != nullptr && v->GetDriveNumber() == 0) h.SetVolumeHandler(nullptr);
    });
    d->SetOptionFlag(0);
  }

  for (std::uint32_t n = 1; n <= count; ++n) {
    holder* attached = nullptr;
    for (stddisk* d = computer.FirstDisk(); d != nullptr && attached == nullptr; d = d->next) {
      if (!usable(d)) continue;
      ForEveryHolder(DaTreeHolders(d, 2), [&](holder& h) {
        vol_handler* v = h.GetVolumeHandler();
        if (attached == nullptr && v != nullptr && v->GetDriveNumber() == n) attached = &h;
      });
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
      if (!Da::Failed(attached->GetVolumeHandler()->VolGetFlags(flags))) {
        std::uint8_t letter = 0;
        attached->GetVolumeHandler()->VolGetLetter(letter);
        if (letter != attached->GetLetter(kLiveView)) TakeLetter(*attached, letter);
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
        holder* found = nullptr;
        ForEveryHolder(DaTreeHolders(d, 2), [&](holder& h) {
          if (found == nullptr && h.IsPartition() && h.GetVolumeHandler() == nullptr &&
              h.start == loc.firstSector)
            found = &h;
        });
        if (found != nullptr) {
          // The handler takes the disk's sector size and geometry and its
          // id, so that its I/O lands on the partition's disk.
          if (Da::Failed(v->AttachAt(d, loc.firstSector, loc.sectorCount)))
            v->start = loc.firstSector;
          found->SetVolumeHandler(v);
          std::uint8_t letter = 0;
          v->VolGetLetter(letter);
          TakeLetter(*found, letter);
        } else {
          d->SetOptionFlag(1);
        }
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
        holder* match = FindMatchingHolder(computer.pseudoDisk->second_list,
                                           guid ? guid->bytes : nullptr, locations, kind,
                                           v->VolQueryWord());
        if (match != nullptr) {
          match->SetVolumeHandler(v);
          match->reattach = 0;
        } else {
          auto* easy = new holder_easy_vol(computer.pseudoDisk, locations, v);
          computer.pseudoDisk->second_list.PushBack(easy);
        }
        changed = true;
      }
    }
  }

  for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next) {
    if (!usable(d)) continue;
    ForEveryHolder(DaTreeHolders(d, 2), [&](holder& h) {
      if (!h.IsPartition() || h.GetVolumeHandler() != nullptr) return;
      std::shared_ptr<vol_handler> fresh = computer.NewVolumeHandler();
      // A handler made for a later create starts in the fast-lock state;
      // until then it holds no lock that would keep its disks locked.
      if (fresh) fresh->SmartUnlock(kVolLockFast);
      h.SetVolumeHandler(std::move(fresh));
    });
  }
  return changed;
}
