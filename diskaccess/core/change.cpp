// Change notices from the snapshot library, the rescan of a computer and
// the partition-tree passes of DaInit, DaRefresh and DaDone.
#include <cstdio>

#include "diskaccess/boot_record_guard.h"
#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/global_ops.h"
#include "diskaccess/holders.h"
#include "diskaccess/volume_mapping.h"
#include "diskaccess/win_computer.h"

namespace {

bool g_changesSeen = false;

void AddDiskRecord(da_computer& c, std::uint32_t key, std::uint64_t start, std::uint64_t length) {
  if (key == 0) return;
  const bool whole = start == 0 && length == 1;
  const std::uint64_t last = start + length - 1;
  for (const ChangeRecord& r : c.changes) {
    if (r.diskKey != key) continue;
    if (whole) return;
    if (r.start <= start && r.start + r.count - 1 >= last) return;
  }
  ChangeRecord r;
  r.diskKey = key;
  r.start = start;
  r.count = length;
  c.changes.push_back(r);
}

bool IsPresent(stddisk* d) {
  return d->usable && !d->IsEasyVolumeDisk() && (d->GetStateFlags() & kDiskGone) == 0;
}

}  // namespace

// ------------------------------------------------------ the callback

std::uint32_t SBCALL OnSnapshotLibraryEvent(const SbNotification* record) {
  DaGlobalLock(2);
  da_computer* c = DaLocalComputer();
  if (record != nullptr && record->size == sizeof(SbNotification) && c != nullptr) {
    switch (record->type) {
      case SB_EVENT_DISKS_CHANGED:
        c->OnDisksChanged();
        break;
      case SB_EVENT_VOLUMES_CHANGED:
      case SB_EVENT_VOLUMES_ARRIVED:
        c->OnVolumesChanged();
        break;
      case SB_EVENT_DISK_CHANGED:
        c->OnDiskChanged(record->arg0);
        break;
      case SB_EVENT_VOLUME_CHANGED:
        c->OnVolumeChanged(record->arg0);
        break;
      case SB_EVENT_DISK_RANGE_CHANGED:
        if (record->arg0 == 1) c->OnDiskRangeChanged(record->arg1, record->start, record->length);
        break;
      default:
        break;
    }
  }
  DaGlobalLock(3);
  return DaNotifyChanged();
}

bool da_computer::OnDisksChanged() {
  g_changesSeen = true;
  changeFlags |= kChangeDisks;
  return true;
}

void da_computer::OnVolumesChanged() {
  g_changesSeen = true;
  changeFlags |= kChangeVolumes;
}

void da_computer::OnDiskRangeChanged(std::uint32_t key, std::uint64_t start,
                                     std::uint64_t length) {
  g_changesSeen = true;
  AddDiskRecord(*this, key, start, length);
}

void da_computer::OnDiskChanged(std::uint32_t key) {
  g_changesSeen = true;
  AddDiskRecord(*this, key, 0, 1);
}

void da_computer::OnVolumeChanged(std::uint32_t key) {
  g_changesSeen = true;
  if (key == 0) return;
  for (const ChangeRecord& r : changes)
    if (r.volumeKey == key) return;
  ChangeRecord r;
  r.volumeKey = key;
  changes.push_back(r);
}

// ------------------------------------------------------------ rescan

std::uint32_t DaRescanComputer(da_computer* computer, std::uint32_t flags) {
  if (computer == nullptr) return 0;
  std::uint32_t changeFlags;
  {
    DaLockScope lock;
    changeFlags = computer->changeFlags;
    computer->changeFlags &= ~(kChangeDisks | kChangeVolumes);
  }
  if (Da::Failed(computer->lastError)) return 0;
  std::uint32_t result = 0;
  bool reread = false;
  if ((changeFlags & kChangeDisks) != 0 && computer->ScanDisks(flags)) {
    result |= 0x1;
    reread = true;
  }
  if (Da::Failed(computer->lastError)) return result;

  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next) {
    if (d->IsEasyVolumeDisk()) continue;
    if ((d->GetStateFlags() & kDiskGone) != 0) {
      DaDiscardTree(d);
      DaClearTree(d, 1);
      result |= 0x2;
      reread = true;
      continue;
    }
    bool changed = (d->GetStateFlags() & kDiskMustReread) != 0;
    {
      DaLockScope lock;
      for (ChangeRecord& r : computer->changes) {
        if (r.diskKey != 0 && r.diskKey == d->GetDiskNumber()) {
          r.link = d;
          changed = true;
        } else if (r.diskKey == 0 && r.volumeKey != 0) {
          // A volume of one of this disk's partitions changed.
          // The saved tree first; the working tree's holders carry the
          // handlers the volume mapping gave them.
          for (std::uint32_t tree : {2u, 0u}) {
            HolderList* list = DaTreeHolders(d, tree);
            for (holder* h = list != nullptr ? list->first : nullptr; h != nullptr && !changed;
                 h = h->next) {
              vol_handler* v = h->IsPartition() ? h->GetVolumeHandler() : nullptr;
              if (v != nullptr && v->GetDriveNumber() == r.volumeKey) {
                r.link = h;
                changed = true;
              }
            }
          }
        }
      }
    }
    if (changed && IsPresent(d)) {
      // Re-read into a fresh working tree.
      DaClearTree(d, 0);
      DaReadDiskPartitions(d);
      d->SetStateFlags(d->GetStateFlags() & ~(kDiskReread | kDiskMustReread));
      result |= 0x3;
      reread = true;
    }
    d->AfterScan();
  }

  if ((result & 0x1) != 0 || reread || (changeFlags & kChangeVolumes) != 0) {
    DaDispatchChanges(computer, 32, nullptr);
    if ((reread || (changeFlags & kChangeVolumes) != 0) && computer->RefreshVolumes(false))
      result |= 0x2;
  }
  if ((result & 0x1) != 0) {
    for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next)
      if (IsPresent(d)) DaSyncDiskTrees(d);
    DaDispatchChanges(computer, 1, nullptr);
  }
  return result;
}

bool DaDispatchChanges(da_computer* computer, std::uint32_t, stddisk*) {
  if (computer == nullptr || !computer->AcceptsChanges()) {
    DaQueryPartitions();
    return false;
  }
  computer->numberedPartitions = 0;
  // Walking a disk reads its tables when it has none yet; the free space
  // between its partitions is then taken again.
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next) {
    if (!IsPresent(d)) continue;
    DaReadDiskPartitions(d);
    DaRebuildFreeSpace(d);
  }
  DaQueryPartitions();
  return true;
}

void DaSyncDiskTrees(stddisk* disk) {
  DaReadDiskPartitions(disk);
  PartitionTree* working = disk->GetTree(0);
  PartitionTree* saved = disk->GetTree(1);
  if (working == nullptr || saved == nullptr) return;
  if (working->Valid() && !saved->Valid()) DaCopyTree(disk, 1, 0);
}

// ------------------------------------------------------- volume refresh

bool plain_computer::RefreshVolumes(bool) {
  if (pseudoDisk != nullptr) {
    RemoveFreeSpaceHolders(pseudoDisk->holder_list);
    RemoveFreeSpaceHolders(pseudoDisk->second_list);
    // Whatever no mapping claims again keeps its mark.
    for (holder* h = pseudoDisk->second_list.first; h != nullptr; h = h->next) h->reattach = 1;
  }
  RefreshFdiskVolumes();
  if ((capabilities & kCapLibrarySetUp) != 0) return MapLibraryVolumes(*this);
  MapVolumesGeneric(*this, false);
  return true;
}

void plain_computer::RefreshFdiskVolumes() {
  if (pseudoDisk == nullptr) return;
  if (!RefreshModelComputer(*this)) std::fputs("New volumes filled with errors!\n", stderr);
}

Common::Error plain_computer::RescanAndNotify(std::uint32_t) {
  MapVolumesGeneric(*this, true);
  return Common::Error();
}

// ------------------------------------------------------- tree passes

void DaRevertChanges() {
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    for (stddisk* d = c->FirstDisk(); d != nullptr; d = d->next) {
      auto* p = dynamic_cast<plain_disk*>(d);
      if (p == nullptr || !p->usable) continue;
      p->RestoreMarks();
      if (p->trees[0].Valid() && p->trees[1].Valid()) DaCopyTree(p, 0, 1);
    }
    // The copies carry no free space: it is taken again from the tables
    // the working trees now hold, without reading the disks.
    for (stddisk* d = c->FirstDisk(); d != nullptr; d = d->next)
      if (IsPresent(d)) DaRebuildFreeSpace(d);
    // The pseudo-disk's edited copy of its volumes is paired again with the
    // volumes the mapping found, and takes back their letters.
    if (c->pseudoDisk != nullptr) {
      ReconcileEasyVolumes(c->pseudoDisk->holder_list, c->pseudoDisk->second_list);
      SyncEasyVolumeLetters(c->pseudoDisk->holder_list, true);
    }
  }
  DaRestoreComputerCounters();
  DaRestoreKeyCounters();
  DaVolumeInformationPass(false, 0);
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    for (stddisk* d = c->FirstDisk(); d != nullptr; d = d->next) {
      for (holder* h = d->holder_list.first; h != nullptr; h = h->next)
        if (vol_handler* v = h->GetVolumeHandler()) v->mode = 2;
    }
  }
}

void DaApplyToHolders(std::uint32_t flags) {
  // The holder operation clears each volume handler's pending work.
  if ((flags & 0x4) == 0) return;
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    for (stddisk* d = c->FirstDisk(); d != nullptr; d = d->next) {
      if (HolderList* saved = DaTreeHolders(d, 1))
        for (holder* h = saved->first; h != nullptr; h = h->next)
          if (vol_handler* v = h->GetVolumeHandler()) v->pending = 0;
    }
  }
}

void DaFirstInitStep(da_computer* computer, std::uint32_t flags) {
  if ((computer->capabilities & kCapLibrarySetUp) != 0) return;
  Common::Error e = computer->RescanAndNotify(flags);
  if (Da::Failed(e) || (flags & kDaNativeLibrary) == 0) return;
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next) {
    if (!IsPresent(d)) continue;
    DaClearTree(d, 1);
    DaSyncDiskTrees(d);
  }
}

void DaFinalTreePass() {
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    for (stddisk* d = c->FirstDisk(); d != nullptr; d = d->next) {
      auto* p = dynamic_cast<plain_disk*>(d);
      if (p == nullptr || !IsPresent(d)) continue;
      if (!p->trees[0].Valid() || !p->trees[1].Valid()) continue;
      if ((c->capabilities & kCapBootCheck) != 0 && p->boot_check != 0)
        p->boot_check = DaTreesEqual(p) ? 0 : 1;
      // The working tree stays; the saved one is taken again from it.
      {
        DaLockScope lock;
        DaClearTree(d, 1);
      }
      DaSyncDiskTrees(d);
    }
    DaDispatchChanges(c, 1, nullptr);
    // The pseudo-disk's volumes get a fresh copy to edit, which keeps their
    // letters as they are now.
    if (c->pseudoDisk != nullptr) {
      DaCopyHolderList(c->pseudoDisk->holder_list, c->pseudoDisk->second_list);
      SyncEasyVolumeLetters(c->pseudoDisk->holder_list, false);
    }
  }
}

// ------------------------------------------------------ change sink

namespace {

// The layer's own sink: changes go to the dispatch; what needs the disk
// model's conversions is refused until they exist, never reported as done.
class LayerChangeSink : public DaChangeSink {
 public:
  void AnnounceChange(da_computer* computer, bool letters, stddisk* disk,
                      std::uint32_t level) override {
    DaDispatchChanges(computer, (letters ? 2u : 0u) | (level == 1 ? 1u : 0u), disk);
  }
  void CaptureBootRecords(holder* h, bool keep) override { BootRecordGuard::CaptureBoth(h, keep); }
  Common::Error ConvertToDynamicDisk(stddisk*, std::uint32_t, std::uint32_t) override {
    return Common::Error(Da::Site(0x5A04, 1), Da::Module::kComputer, Da::Code::kNotSupportedOp);
  }
  Common::Error CreateDynamicVolume(plain_computer*, const void*) override {
    return Common::Error(Da::Site(0x5A04, 2), Da::Module::kComputer, Da::Code::kNotSupportedOp);
  }
};

LayerChangeSink g_layerSink;
DaChangeSink* g_sink = &g_layerSink;

}  // namespace

DaChangeSink* DaSetChangeSink(DaChangeSink* sink) {
  DaChangeSink* previous = g_sink;
  g_sink = sink != nullptr ? sink : &g_layerSink;
  return previous;
}

void DaAnnounceChange(da_computer* computer, bool letters, stddisk* disk, std::uint32_t level) {
  g_sink->AnnounceChange(computer, letters, disk, level);
}

void DaCaptureBootRecords(holder* h, bool keep) { g_sink->CaptureBootRecords(h, keep); }

Common::Error local_disk::MakeDynamic(std::uint32_t a, std::uint32_t b) {
  return g_sink->ConvertToDynamicDisk(this, a, b);
}

Common::Error plain_computer::CreateDynamicVolume(const void* request) {
  if (GetFdiskComputer() == 0)
    return Common::Error(Da::Site(0x5A04, 3), Da::Module::kComputer, Da::Code::kNotSupportedOp);
  return g_sink->CreateDynamicVolume(this, request);
}
