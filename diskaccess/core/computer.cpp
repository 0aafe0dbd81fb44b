// Computers: the process-wide list, the base operations and the local
// computer's set-up, disk scan and destruction.
#include <cstring>
#include <new>

#include "diskaccess/da_state.h"
#include "diskaccess/disk_order.h"
#include "diskaccess/errors.h"
#include "diskaccess/holders.h"
#include "diskaccess/objects.h"
#include "diskaccess/uefi.h"
#include "diskaccess/win_computer.h"

namespace {

constexpr std::uint32_t kTag = 0x5A02;

da_computer* g_local = nullptr;
da_computer* g_first = nullptr;
da_computer* g_last = nullptr;
std::uint32_t g_computerNumber = 0;

void SetTag(da_computer& c, const char* tag) { std::memcpy(c.tag, tag, 4); }

void UnlinkComputer(da_computer* c) {
  if (std::memcmp(c->tag, "MYCS", 4) != 0) return;
  (c->prevComputer ? c->prevComputer->nextComputer : g_first) = c->nextComputer;
  (c->nextComputer ? c->nextComputer->prevComputer : g_last) = c->prevComputer;
  c->nextComputer = c->prevComputer = nullptr;
}

void RestoreSavedTree(stddisk* d) {
  DaDiscardTree(d);
}

}  // namespace

// ------------------------------------------------------------ list

da_computer* DaLocalComputer() { return g_local; }

void DaAddComputer(da_computer* computer) {
  SetTag(*computer, "MYCS");
  computer->prevComputer = g_last;
  computer->nextComputer = nullptr;
  (g_last ? g_last->nextComputer : g_first) = computer;
  g_last = computer;
}

da_computer* DaNextComputer(da_computer* after) {
  return after == nullptr ? g_first : after->nextComputer;
}

std::uint32_t DaComputerCount() {
  std::uint32_t n = 0;
  for (da_computer* c = g_first; c != nullptr; c = c->nextComputer) ++n;
  return n;
}

void DaDestroyComputers() {
  while (g_last != nullptr) g_last->Destroy();
}

da_computer* DaGetLocalComputer(std::uint32_t flags) {
  if (g_local != nullptr) return g_local;
  auto* computer = new (std::nothrow) DaLocalComputerClass;
  if (computer == nullptr) return nullptr;
  g_local = computer;
  AttachFdisk(*computer);
  DaAddComputer(computer);
  if (!computer->IsDetached()) {
    computer->changeFlags |= kChangeDisks | kChangeVolumes;
    DaRescanComputer(computer, flags);
  }
  return computer;
}

// ---------------------------------------------------------- da_computer

da_computer::da_computer() : number(++g_computerNumber) {}

da_computer::~da_computer() = default;

void da_computer::Destroy() {
  if (!IsDetached()) {
    for (stddisk* d = firstDisk; d != nullptr; d = d->next) RestoreSavedTree(d);
  }
  UnlinkComputer(this);
  SetTag(*this, "MYDS");
  delete this;
}

void da_computer::AppendDisk(stddisk* disk) {
  disk->prev = lastDisk;
  disk->next = nullptr;
  (lastDisk ? lastDisk->next : firstDisk) = disk;
  lastDisk = disk;
  disk->computer = this;
}

void da_computer::InsertDiskAfter(stddisk* position, stddisk* disk) {
  disk->prev = position;
  disk->next = position != nullptr ? position->next : firstDisk;
  (disk->next ? disk->next->prev : lastDisk) = disk;
  (position ? position->next : firstDisk) = disk;
  disk->computer = this;
}

void da_computer::UnlinkDisk(stddisk* disk) {
  if (disk->prev == nullptr && firstDisk != disk) return;  // not listed
  (disk->prev ? disk->prev->next : firstDisk) = disk->next;
  (disk->next ? disk->next->prev : lastDisk) = disk->prev;
  disk->next = disk->prev = nullptr;
}

std::uint32_t da_computer::DiskCount() const {
  std::uint32_t n = 0;
  for (stddisk* d = firstDisk; d != nullptr; d = d->next) ++n;
  return n;
}

stddisk* da_computer::FindDiskByNumber(std::uint32_t n) const {
  if (n == 0) return nullptr;
  for (stddisk* d = firstDisk; d != nullptr; d = d->next)
    if (!d->IsEasyVolumeDisk() && d->GetDiskNumber() == n) return d;
  return nullptr;
}

Common::Error da_computer::SbGetDiskCnt(std::uint32_t& count) {
  count = 0;
  return Da::MakeError(Da::Site(kTag, 1), Da::Module::kComputer, Da::Code::kBaseSbGetDiskCnt,
                       Da::Msg::kBaseSbGetDiskCnt);
}

Common::Error da_computer::SbGetVolumeCnt(std::uint32_t& count) {
  count = 0;
  return Da::MakeError(Da::Site(kTag, 2), Da::Module::kComputer, Da::Code::kBaseSbGetVolumeCnt,
                       Da::Msg::kBaseSbGetVolumeCnt);
}

Common::Error da_computer::OpenDrive(std::uint32_t, stddisk*& disk) {
  disk = nullptr;
  return Common::Error();
}

Common::Error da_computer::GetFreeLetters(std::uint32_t& mask) {
  mask = 0;
  return Common::Error();
}

Common::Error da_computer::GetVolumeNumber(const char16_t*, std::uint32_t& n) {
  n = 0;
  return Common::Error();
}

Common::Error da_computer::OpenVolume(std::uint32_t, std::shared_ptr<vol_handler>& volume) {
  volume.reset();
  return Common::Error();
}

Common::Error da_computer::NotifyDisksChanged() {
  OnDisksChanged();
  DaNotifyChanged();
  return Common::Error();
}

Common::Error da_computer::NotifyVolumesChanged() {
  OnVolumesChanged();
  DaNotifyChanged();
  return Common::Error();
}

Common::Error da_computer::NotifyDiskRangeChanged(std::uint32_t key, std::uint64_t start,
                                                  std::uint64_t length) {
  OnDiskRangeChanged(key, start, length);
  DaNotifyChanged();
  return Common::Error();
}

Common::Error da_computer::NotifyDiskChanged(std::uint32_t key) {
  OnDiskChanged(key);
  DaNotifyChanged();
  return Common::Error();
}

Common::Error da_computer::NotifyVolumeChanged(std::uint32_t key) {
  OnVolumeChanged(key);
  DaNotifyChanged();
  return Common::Error();
}

stddisk* da_computer::NewEasyVolumeDisk() { return new (std::nothrow) disk_easy_vol(this); }

// ------------------------------------------------------- plain_computer

namespace {

void DetachHandlers(HolderList& list) {
  for (holder* h = list.first; h != nullptr; h = h->next) h->SetVolumeHandler(nullptr);
}

}  // namespace

void plain_computer::ReleaseVolumes() {
  if (pseudoDisk != nullptr && !IsDetached()) {
    for (holder* h = pseudoDisk->second_list.first; h != nullptr; h = h->next)
      h->SetVolumeHandler(nullptr);
    for (holder* h = pseudoDisk->holder_list.first; h != nullptr; h = h->next)
      h->SetVolumeHandler(nullptr);
  }
  for (stddisk* d = firstDisk; d != nullptr; d = d->next) {
    if (d->IsEasyVolumeDisk()) continue;
    if (!IsDetached()) {
      DetachHandlers(d->holder_list);
      DetachHandlers(d->dropped_holders);
      for (std::uint32_t i = 0; i < 2; ++i) {
        if (HolderList* list = DaTreeHolders(d, i))
          for (holder* h = list->first; h != nullptr; h = h->next) h->SetVolumeHandler(nullptr);
      }
    }
    d->CloseDisk();
  }
}

void plain_computer::Destroy() {
  ReleaseVolumes();
  ForgetModelDisks(*this);
  DetachFdisk(*this);
  DoneLibrary();
  // The disks go with the computer.
  if (!IsDetached()) {
    for (stddisk* d = firstDisk; d != nullptr; d = d->next) {
      DaDiscardTree(d);
    }
  }
  while (firstDisk != nullptr) delete firstDisk;
  for (stddisk* d : removedDisks) delete d;
  removedDisks.clear();
  pseudoDisk = nullptr;
  UnlinkComputer(this);
  std::memcpy(tag, "MYDS", 4);
  delete this;
}

// ------------------------------------------------------- local_computer

void local_computer::Destroy() {
  {
    // The library's thread looks the computer up under the lock.
    DaLockScope lock;
    if (g_local == this) g_local = nullptr;
  }
  plain_computer::Destroy();
}

Common::Error local_computer::Setup(std::uint32_t flags) {
  if (Uefi::IsEfiSystem())
    capabilities |= kCapUefi;
  else
    capabilities &= ~kCapUefi;
  return InitLibrary(flags);
}

bool local_computer::ScanDisks(std::uint32_t flags) {
  if (libraryState == 0 && Da::Failed(Setup(flags))) return false;
  if (libraryState < 3) return false;
  for (stddisk* d = firstDisk; d != nullptr; d = d->next) {
    if (d->IsEasyVolumeDisk() || !d->IsOffline()) continue;
    d->CloseDisk();
    DaLockScope lock;
    d->SetStateFlags(d->GetStateFlags() | kDiskGone);
  }
  std::uint32_t count = 0;
  if (Da::Failed(SbGetDiskCnt(count)) || count == 0) return false;
  if (pseudoDisk != nullptr) UnlinkDisk(pseudoDisk);
  bool opened = false;
  for (std::uint32_t i = 1; i <= count; ++i) {
    if (FindDiskByNumber(i) != nullptr) continue;
    stddisk* disk = nullptr;
    OpenDrive(i, disk);  // a drive that does not open is passed over
    if (disk == nullptr) continue;
    if ((capabilities & kCapDiskOrder) != 0)
      InsertDiskAfter(DaBusPredecessor(*this, *disk), disk);
    else
      AppendDisk(disk);
    disk->AfterScan();
    opened = true;
  }
  if ((flags & kDaPseudoDisk) != 0 && pseudoDisk == nullptr) pseudoDisk = NewEasyVolumeDisk();
  if (pseudoDisk != nullptr) {
    AppendDisk(pseudoDisk);
    for (stddisk* d : removedDisks) delete d;
    removedDisks.clear();
    FillOldDiskList(*this);
  }
  return opened;
}
