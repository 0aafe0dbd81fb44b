// Locking a partition's volume together with the disks under it, and
// giving the disk locks back once no locked volume needs them.
#include <cstdlib>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/global_ops.h"
#include "diskaccess/holders.h"
#include "diskaccess/volume_handlers.h"

namespace {

// Set by the host's answer 3: disk locks that fail are no longer asked
// about for the rest of the process.
bool g_ignoreDiskLocks = false;

template <class F>
bool AnySavedHolder(stddisk* disk, F&& f) {
  PartitionTree* saved = disk != nullptr ? disk->GetTree(1) : nullptr;
  if (saved == nullptr) return false;
  for (holder* h = saved->holders.first; h != nullptr; h = h->next)
    if (f(*h)) return true;
  return false;
}

}  // namespace

void DaResetDiskLockAnswers() { g_ignoreDiskLocks = false; }

bool DiskHasLockedVolume(stddisk* disk) {
  return AnySavedHolder(disk, [](holder& h) { return IsVolumeLocked(h.GetVolumeHandler()); });
}

bool ComputerHasLockedVolume(stddisk* disk) {
  if (disk == nullptr || disk->computer == nullptr) return false;
  for (stddisk* d = disk->computer->FirstDisk(); d != nullptr; d = d->next) {
    if (d->has_bios_number == 0) continue;
    const bool found = AnySavedHolder(d, [&](holder& h) {
      return IsVolumeLocked(h.GetVolumeHandler()) && (h.IsPartition() || h.GetDisk() == disk);
    });
    if (found) return true;
  }
  return false;
}

void ReleaseIdleDiskLocks(stddisk* disk) {
  stddisk* boot = DaFindBootDisk(disk);
  if (boot != nullptr && !ComputerHasLockedVolume(boot)) boot->UnlockOnce();
  if (disk != nullptr && disk != boot && !DiskHasLockedVolume(disk)) disk->UnlockOnce();
}

bool LockDiskWithHost(stddisk* disk, std::uint32_t mode) {
  if (disk == nullptr) return false;
  for (;;) {
    char16_t* owner = nullptr;
    bool owned = false;
    const Common::Error e = disk->LockOnce(owner, owned);
    std::uint32_t answer = 2;
    if (!(e.Code() == 0 || (mode & kVolLockFast) != 0 || g_ignoreDiskLocks))
      answer = DaHookPartitionWork(disk->GetDiskId(), owner, e);
    if (owned) std::free(owner);
    switch (answer) {
      case 1:
        return false;
      case 2:
        return true;
      case 3:
        g_ignoreDiskLocks = true;
        return true;
      default:
        break;  // asked to try again
    }
  }
}

bool LockHolderVolume(holder* h, std::uint32_t mode, bool quiet) {
  vol_handler* v = h != nullptr ? h->GetVolumeHandler() : nullptr;
  if (v == nullptr) return true;
  stddisk* disk = h->GetDisk();
  stddisk* boot = DaFindBootDisk(disk);
  bool locked = true;
  if (IsLockStateLocked(mode)) {
    if (boot != nullptr && boot != disk) locked = LockDiskWithHost(boot, mode);
    if (locked) locked = LockDiskWithHost(disk, mode);
  }
  if (locked) {
    std::shared_ptr<user_holder_data> data = h->GetUserData();
    if (data && mode != 0 && v->flags == 0) data->RefreshStamp();
    locked = !Da::Failed(v->SmartLock(mode, static_cast<std::uint32_t>(h->GetId()), quiet));
  }
  ReleaseIdleDiskLocks(disk);
  return locked;
}

void UnlockHolderVolume(holder* h, std::uint32_t mode) {
  if (h == nullptr) return;
  if (vol_handler* v = h->GetVolumeHandler()) {
    const bool wasLocked = IsVolumeLocked(v);
    v->SmartUnlock(mode);
    if (wasLocked && !IsVolumeLocked(v))
      if (std::shared_ptr<user_holder_data> data = h->GetUserData()) data->ClearStamp();
  }
  ReleaseIdleDiskLocks(h->GetDisk());
}

bool DaLockTopVolume(stddisk* disk, std::uint32_t mode) {
  if (disk == nullptr) return false;
  holder* top = disk->GetTopHolder(0);
  if (top == nullptr) return true;
  return LockHolderVolume(top, mode, true);
}
