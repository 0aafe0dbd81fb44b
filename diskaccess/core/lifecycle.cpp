// DaInit, DaRefresh and DaDone, and the layer's process-wide state.
#include "diskaccess/lifecycle.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>

#include "diskaccess/da_state.h"
#include "diskaccess/resizer.h"
#include "diskaccess/holders.h"
#include "diskaccess/errors.h"
#include "diskaccess/global_ops.h"
#include "diskaccess/objects.h"
#include "foundation/random.h"
#include "foundation/sync.h"
#include "ldm/driver.h"

namespace {

bool g_initialised = false;
bool g_ntFamily = false;
bool g_recentOs = false;
DaPartitionQuery* g_activeQuery = nullptr;
std::unique_ptr<DaPartitionList> g_listing;

std::int32_t g_createdKey = 218;
std::int32_t g_createdKeySaved = 218;
std::int32_t g_readKey = 217;

// The library's thread reports changes while the caller's thread works, so
// both words are atomic.
std::atomic<std::int32_t> g_suspension{-1};
std::atomic<std::uint32_t> g_changePending{0};

std::atomic<Common::CriticalSection*> g_lock{nullptr};

// Pending-record queues: nothing in this system adds to them; DaRefresh and
// DaDone keep them empty.
std::uint32_t g_pendingRecords = 0;
std::uint32_t g_pendingCounter = 0;

std::uint32_t g_contextWord[2] = {0, 0};

DaOsVersionSource g_osSource = nullptr;

bool g_rawProcessorRegistered = false;

void EmptyPendingQueues() {
  g_pendingRecords = 0;
  g_pendingCounter = 0;
  g_DaState.queueByte = 0;
}

void ApplyToEveryComputer(std::uint32_t initFlags, bool& failed) {
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    if (Da::Failed(c->Setup(initFlags))) failed = true;
  }
}

}  // namespace

DaPartitionQuery g_DaPartitionQuery;
DaState g_DaState;
DaHooks g_DaHooks;

namespace {
// At exit, a computer still listed (DaDone never ran) is taken down, last
// first; this runs before the state above is torn down.
struct ExitCleanup {
  ~ExitCleanup() { DaDestroyComputers(); }
} g_exitCleanup;
}  // namespace

// ------------------------------------------------------------ lock

void DaGlobalLock(std::uint32_t code) {
  switch (code) {
    case 0:
      if (g_lock.load() == nullptr) g_lock.store(new (std::nothrow) Common::CriticalSection);
      break;
    case 1:
      delete g_lock.exchange(nullptr);
      break;
    case 2:
      if (Common::CriticalSection* lock = g_lock.load()) lock->Enter();
      break;
    case 3:
      if (Common::CriticalSection* lock = g_lock.load()) lock->Leave();
      break;
    default:
      break;
  }
}

bool DaHasGlobalLock() { return g_lock.load() != nullptr; }

// ---------------------------------------------------- notifications

void DaSuspendNotifications(bool suspend) {
  std::int32_t counter = g_suspension.load();
  if (counter < 0) return;
  if (suspend) {
    g_suspension.fetch_add(1);
    return;
  }
  if (counter > 0) counter = g_suspension.fetch_sub(1) - 1;
  if (counter == 0 && DaTakeChangePending() != 0) DaHookChanged();
}

std::uint32_t DaTakeChangePending() { return g_changePending.exchange(0); }

std::uint32_t DaNotifyChanged() {
  if (g_suspension.load() != 0) return g_changePending.exchange(1);
  DaHookChanged();
  return 0;
}

void DaDisableNotifications() { g_suspension.store(-1); }
std::int32_t DaNotificationCounter() { return g_suspension.load(); }
std::uint32_t DaChangePending() { return g_changePending.load(); }

// ------------------------------------------------------- counters

std::int32_t DaNextCreatedHolderKey() { return g_createdKey += 2; }
std::int32_t DaNextReadHolderKey() { return g_readKey += 2; }
void DaSaveKeyCounters() { g_createdKeySaved = g_createdKey; }
void DaRestoreKeyCounters() { g_createdKey = g_createdKeySaved; }

void DaSaveComputerCounters() {
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c))
    c->freeLetters[0] = c->freeLetters[1];
}

void DaRestoreComputerCounters() {
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c))
    c->freeLetters[1] = c->freeLetters[0];
}

// ---------------------------------------------------------- listing

void DaSetActiveQuery(DaPartitionQuery* query) { g_activeQuery = query; }

DaPartitionList* DaQueryPartitions() {
  if (g_activeQuery == nullptr) return nullptr;
  if (!g_listing) g_listing.reset(new (std::nothrow) DaPartitionList);
  if (!g_listing) return nullptr;
  DaListPartitions(*g_listing, *g_activeQuery);
  return g_listing.get();
}

void DaFreePartitionList() { g_listing.reset(); }

// ------------------------------------------------------------ state

DaState::DaState() = default;
DaState::~DaState() = default;

void DaState::Reset(std::uint8_t a, std::uint32_t value, bool partial) {
  currentValue = value;
  resetArgument = a;
  if (!partial) {
    for (auto& w : work) w = 0;
    da_computer* local = DaLocalComputer();
    localComputerNumber = local != nullptr ? local->number : 0;
    archiveComputer = -1;
    flag1000Present = (initFlags & kDaFlag1000) != 0 ? 1 : 0;
  }
  for (auto& b : workBytes) b = 0;
  workWord = 0;
  if (!partial) {
    second.reset();
    secondWord = 0;
    SetSourceData(nullptr);
    sourceWord = 0;
    DeleteAuxiliaries();
    labels.clear();
    progressStep = 80;
  }
  lastOperation[0] = lastOperation[1] = 0;
}

void DaState::SetSourceData(std::shared_ptr<void> data) {
  sourceData = std::move(data);
  if (!sourceData) sourceWord = 0;
  sourceObject.reset();
}

void DaState::DeleteAuxiliaries() {
  for (auto& a : auxiliaries) a.reset();
}

// ----------------------------------------------------------- hooks

std::uint32_t DaHookProgress(std::uint32_t value) {
  return g_DaHooks.progress != nullptr ? g_DaHooks.progress(value) : 0;
}
void DaHookTaskEvent(std::uint32_t a, std::uint32_t b) {
  if (g_DaHooks.taskEvent != nullptr) g_DaHooks.taskEvent(a, b);
}
void DaHookChanged() {
  if (g_DaHooks.changed != nullptr) g_DaHooks.changed();
}
std::uint32_t DaHookBeginPartitionWork(std::uint8_t* flag) {
  if (flag != nullptr) *flag = 0;
  return g_DaHooks.beginPartitionWork != nullptr ? g_DaHooks.beginPartitionWork(flag) : 0;
}
std::uint32_t DaHookPartitionWork(std::uint32_t a, void* p, Common::Error error) {
  return g_DaHooks.partitionWork != nullptr ? g_DaHooks.partitionWork(a, p, error) : 1;
}
std::uint32_t DaHookDiskIoError(std::uint32_t diskId, std::uint32_t op, std::uint32_t sector,
                                std::uint32_t user, std::uint32_t extra, Common::Error error) {
  return g_DaHooks.diskIoError != nullptr
             ? g_DaHooks.diskIoError(diskId, op, sector, user, extra, error)
             : 1;
}
std::uint32_t DaHookVolumeOperation(std::uint32_t a, std::uint32_t b, void* p,
                                    Common::Error error) {
  return g_DaHooks.volumeOperation != nullptr ? g_DaHooks.volumeOperation(a, b, p, error) : 1;
}
void DaHookSnapshotPhase(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  if (g_DaHooks.snapshotPhase != nullptr) g_DaHooks.snapshotPhase(a, b, c, d);
}
std::uint32_t DaHookLockChanged(std::uint32_t user, void* volume, std::uint32_t begin) {
  return g_DaHooks.lockChanged != nullptr ? g_DaHooks.lockChanged(user, volume, begin) : 0;
}
std::uint32_t* DaHookContextWord() { return g_contextWord; }

// ------------------------------------------------ resizer entries

// The FAT-type chooser, the file-system probe and the raw-device formatter
// go to the holder layer; without them it answers 0x06, "none" and success.
void DaInstallPartitionCallbacks() { Da::InstallPartitionCallbacks(); }

void DaRemovePartitionCallbacks() { Da::RemovePartitionCallbacks(); }

bool DaRawProcessorRegistered() { return g_rawProcessorRegistered; }

// -------------------------------------------------------- OS facts

DaOsVersion DaGetOsVersion() {
  DaOsVersion v;
  (g_osSource != nullptr ? g_osSource : DaPlatformOsVersion)(v);
  return v;
}

void DaSetOsVersionSource(DaOsVersionSource source) { g_osSource = source; }

// ------------------------------------------------------ observations

bool DaIsInitialised() { return g_initialised; }
bool DaIsNtFamily() { return g_ntFamily; }
bool DaIsRecentOs() { return g_recentOs; }
std::uint32_t DaPendingRecordCount() { return g_pendingRecords + g_pendingCounter; }

// -------------------------------------------------------- lifecycle

void DaInit(std::uint32_t flags) {
  // The disk model reads dynamic disks too: its factory makes that driver
  // beside the MBR and GPT ones from the first refresh on.
  Fdisk::RegisterDynamicDiskDriver();
  DaInstallPartitionCallbacks();
  if (!g_initialised) {
    g_DaPartitionQuery.includeAll = 0;
    g_DaPartitionQuery.skipMarked = 0;
    g_DaPartitionQuery.descending = 0;
    g_DaPartitionQuery.useTypeIndex = 0;
    g_DaPartitionQuery.diskFilter = 0;
    g_DaPartitionQuery.typeSelector = 8;
    g_DaPartitionQuery.typeIndex = 0;
    g_DaPartitionQuery.sortKind = 3;
    const DaOsVersion os = DaGetOsVersion();
    if (os.platformId == 1) {
      g_ntFamily = false;
      g_recentOs = (os.build & 0xFFFF) > 1000;
    } else {
      g_ntFamily = true;
      g_recentOs = os.major >= 5;
    }
    resizer::RegisterRawProcessor();
    g_rawProcessorRegistered = true;
    DaGlobalLock(0);
  }
  g_DaState.flag100Absent = (flags & kDaFlag100) == 0 ? 1 : 0;
  if ((flags & kDaNoComputer) == 0) DaGetLocalComputer(flags);

  if (g_initialised) {
    if (flags != g_DaState.initFlags) {
      bool failed = false;
      ApplyToEveryComputer(flags, failed);
      if (!failed) g_DaState.initFlags = flags;
    }
    DaRefresh();
    return;
  }

  g_DaState.initFlags = flags;
  DaSaveComputerCounters();
  DaSaveKeyCounters();
  DaVolumeInformationPass(false, 0);
  g_DaState.Reset(0, 0, false);
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    if (!Da::Failed(c->lastError)) DaFirstInitStep(c, flags);
  }
  if ((flags & kDaRefreshAtEnd) != 0) {
    DaRefresh();
  } else {
    DaSaveComputerCounters();
    DaFinalTreePass();
  }
  g_initialised = true;
}

void DaRefresh() {
  DaSuspendNotifications(true);
  EmptyPendingQueues();
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    for (stddisk* d = c->FirstDisk(); d != nullptr; d = d->next) {
      if (auto* p = dynamic_cast<plain_disk*>(d)) p->modified = 0;
    }
  }
  DaRevertChanges();
  DaApplyToHolders(7);
  g_DaState.Reset(0, 0, false);
  g_DaState.flag100Absent = (g_DaState.initFlags & kDaFlag100) == 0 ? 1 : 0;
  PurgeUnusedEntries();
  DaSuspendNotifications(false);
}

void DaDone() {
  DaDisableNotifications();
  EmptyPendingQueues();
  DaRevertChanges();
  DaApplyToHolders(7);
  DaRestoreKeyCounters();
  ClearCache();
  DaDestroyComputers();
  DaGlobalLock(1);
  DaRemovePartitionCallbacks();
  g_initialised = false;
}

// ------------------------------------------------------- disk speed

bool DaMeasureDiskSpeed(stddisk* disk) {
  if (disk == nullptr) return false;
  const std::uint32_t sectorSize = disk->GetSectorSize();
  if (sectorSize == 0) return false;
  std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[sectorSize + 0x3FFFF]);
  if (!block) {
    disk->speed = kDiskSpeedNoBuffer;
    disk->AfterScan();
    return true;
  }
  const auto address = reinterpret_cast<std::uintptr_t>(block.get());
  std::uint8_t* buffer = block.get() + (sectorSize - address % sectorSize) % sectorSize;

  const std::uint64_t last = disk->GetSectorCount();
  const std::uint64_t chunk =
      std::min<std::uint64_t>(std::max<std::uint32_t>(0x40000 / sectorSize, 1) - 1, last);
  const std::uint64_t range = last - chunk;
  const auto begun = std::chrono::steady_clock::now();
  std::uint64_t sectors = 0;
  std::uint64_t elapsedMs = 0;
  for (;;) {
    std::uint64_t drawn = 0;
    Common::RandomBytes(&drawn, sizeof drawn, false);
    const std::uint64_t offset = range == 0 ? 0 : drawn % range;
    disk->Io(Fdisk::kIoRead, offset, buffer, chunk + 1);  // a failed read still took time
    sectors += chunk + 1;
    elapsedMs = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - begun)
                                               .count());
    if (elapsedMs >= 550 && sectors >= 100) break;
  }
  // Bytes per second; values up to 1002 are the markers of the pass.
  const std::uint64_t perSecond = sectors * sectorSize * 1000 / std::max<std::uint64_t>(elapsedMs, 1);
  disk->speed = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::max<std::uint64_t>(perSecond, kDiskSpeedNoBuffer + 1),
                              0xFFFFFFFFu));
  disk->AfterScan();
  return true;
}
