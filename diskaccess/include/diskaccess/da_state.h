// The disk layer's process-wide state: the lock, the notification counter,
// the operation context, the partition query, the holder-key counters, the
// host hooks and the operating-system facts read at the first DaInit.
#pragma once

#include <cstdint>
#include <vector>
#include <memory>
#include <set>
#include <string>

#include "common/error.h"
#include "diskaccess/fs_params.h"
#include "diskaccess/lifecycle.h"

class holder;
class stddisk;
class da_computer;

// Flag bits of DaInit.
constexpr std::uint32_t kDaNativeLibrary = 0x1;
constexpr std::uint32_t kDaRefreshAtEnd = 0x2;
constexpr std::uint32_t kDaGlobalFlags = 0x4;
constexpr std::uint32_t kDaPseudoDisk = 0x10;
constexpr std::uint32_t kDaComputerFlag20 = 0x20;
constexpr std::uint32_t kDaLibraryMode40 = 0x40;
constexpr std::uint32_t kDaLibraryMode80 = 0x80;
constexpr std::uint32_t kDaFlag100 = 0x100;
constexpr std::uint32_t kDaNoComputer = 0x200;
constexpr std::uint32_t kDaOnlySelectedVolumes = 0x400;
constexpr std::uint32_t kDaNoSpeedMeasurement = 0x800;
constexpr std::uint32_t kDaFlag1000 = 0x1000;

void DaRefresh();

// 0 create (only when none exists), 1 delete, 2 enter, 3 leave; enter and
// leave do nothing while no lock exists.
void DaGlobalLock(std::uint32_t code);
bool DaHasGlobalLock();

// Enters the layer lock for a scope.
class DaLockScope {
 public:
  DaLockScope() { DaGlobalLock(2); }
  ~DaLockScope() { DaGlobalLock(3); }
  DaLockScope(const DaLockScope&) = delete;
  DaLockScope& operator=(const DaLockScope&) = delete;
};

// Notification counter (-1: disabled, the state it keeps in this system).
void DaSuspendNotifications(bool suspend);
// Safe on any thread: the library calls it from its own.
std::uint32_t DaNotifyChanged();
void DaDisableNotifications();
std::int32_t DaNotificationCounter();
std::uint32_t DaChangePending();
// Takes the pending word and clears it.
std::uint32_t DaTakeChangePending();

// Holder keys: even for partitions made in memory, odd for partitions read.
std::int32_t DaNextCreatedHolderKey();
std::int32_t DaNextReadHolderKey();
void DaSaveKeyCounters();
void DaRestoreKeyCounters();
void DaSaveComputerCounters();
void DaRestoreComputerCounters();

struct DaPartitionQuery {
  std::uint8_t includeAll = 0;
  std::uint8_t skipMarked = 0;
  std::uint8_t descending = 0;
  std::uint8_t useTypeIndex = 0;
  std::uint32_t computerFilter = 0;
  std::uint32_t diskFilter = 0;
  std::uint32_t typeSelector = 8;
  std::uint32_t typeIndex = 0;
  std::uint32_t sortKind = 3;
};
extern DaPartitionQuery g_DaPartitionQuery;

struct DaPartitionList {
  holder* first = nullptr;
  std::uint32_t count = 0;
  // The listed holders in the query's order (empty for a sort kind that
  // only counts).
  std::vector<holder*> order;
};
// The listing while a query is active (set by the volume-information pass).
DaPartitionList* DaQueryPartitions();
void DaFreePartitionList();
void DaSetActiveQuery(DaPartitionQuery* query);

// The operation context of the layer.
class DaState {
 public:
  DaState();
  ~DaState();
  DaState(const DaState&) = delete;
  DaState& operator=(const DaState&) = delete;

  void Reset(std::uint8_t a, std::uint32_t value, bool partial);
  void SetSourceData(std::shared_ptr<void> data);
  void DeleteAuxiliaries();

  FileSystemOptions options;
  std::uint32_t currentValue = 0;
  std::uint8_t flag100Absent = 0;
  std::uint8_t resetArgument = 0;
  std::uint32_t work[6] = {};
  std::uint32_t localComputerNumber = 0;
  std::uint32_t initFlags = 0;
  std::int32_t archiveComputer = -1;
  std::uint8_t flag1000Present = 0;
  std::uint8_t workBytes[4] = {};
  std::uint32_t workWord = 0;
  std::shared_ptr<void> sourceData;
  std::uint32_t sourceWord = 0;
  PartitionParameters source;
  std::shared_ptr<void> second;
  std::uint32_t secondWord = 0;
  PartitionParameters target;
  std::unique_ptr<int> auxiliaries[3];
  std::uint32_t progressStep = 0;
  std::uint32_t lastOperation[2] = {};
  std::uint8_t cancel = 0;  // the cancel byte partitions point at
  std::uint8_t queueByte = 0;
  std::string narrow;
  std::u16string wide;
  std::set<std::uint32_t> labels;
  std::unique_ptr<int> sourceObject;
};
extern DaState g_DaState;

// Observations of the lifecycle.
bool DaIsInitialised();
bool DaIsNtFamily();
bool DaIsRecentOs();
std::uint32_t DaPendingRecordCount();

// Operating-system facts, read at the first DaInit and by the library
// set-up. Windows reads them from the system; the portable build (and tests)
// through a settable source.
struct DaOsVersion {
  std::uint32_t platformId = 2;  // 1 Windows 9x, 2 NT family
  std::uint32_t major = 5;
  std::uint32_t minor = 1;
  std::uint32_t build = 2600;
  std::uint32_t servicePackMajor = 3;
  std::uint32_t processorArchitecture = 0;  // 0 x86, 6 IA-64, 9 x64
};
using DaOsVersionSource = void (*)(DaOsVersion& out);
DaOsVersion DaGetOsVersion();
// Null puts back the platform's source.
void DaSetOsVersionSource(DaOsVersionSource source);
// The platform's source (src/win or the portable default).
void DaPlatformOsVersion(DaOsVersion& out);

// Host hooks: process-wide function pointers, null in this system; each
// wrapper answers a fixed value without one.
struct DaHooks {
  std::uint32_t (*progress)(std::uint32_t) = nullptr;
  void (*taskEvent)(std::uint32_t, std::uint32_t) = nullptr;
  void (*changed)() = nullptr;
  std::uint32_t (*beginPartitionWork)(std::uint8_t*) = nullptr;
  std::uint32_t (*partitionWork)(std::uint32_t, void*, const Common::Error&) = nullptr;
  std::uint32_t (*diskIoError)(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                               std::uint32_t, const Common::Error&) = nullptr;
  std::uint32_t (*volumeOperation)(std::uint32_t, std::uint32_t, void*,
                                   const Common::Error&) = nullptr;
  void (*snapshotPhase)(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) = nullptr;
  std::uint32_t (*lockChanged)(std::uint32_t, void*, std::uint32_t) = nullptr;
};
extern DaHooks g_DaHooks;

std::uint32_t DaHookProgress(std::uint32_t value);
void DaHookTaskEvent(std::uint32_t a, std::uint32_t b);
void DaHookChanged();
std::uint32_t DaHookBeginPartitionWork(std::uint8_t* flag);
std::uint32_t DaHookPartitionWork(std::uint32_t a, void* p, Common::Error error);
std::uint32_t DaHookDiskIoError(std::uint32_t diskId, std::uint32_t op, std::uint32_t sector,
                                std::uint32_t user, std::uint32_t extra, Common::Error error);
std::uint32_t DaHookVolumeOperation(std::uint32_t a, std::uint32_t b, void* p,
                                    Common::Error error);
void DaHookSnapshotPhase(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d);
std::uint32_t DaHookLockChanged(std::uint32_t user, void* volume, std::uint32_t begin);
std::uint32_t* DaHookContextWord();

// The resizer's partition callbacks (installed by every DaInit, removed by
// DaDone) and its processor table (entry 0, the raw processor, registered
// by the first DaInit).
void DaInstallPartitionCallbacks();
void DaRemovePartitionCallbacks();
bool DaRawProcessorRegistered();
