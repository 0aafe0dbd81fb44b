// The volume handler's base: neutral answers and "not supported" errors for
// what a subclass does not supply, attaching to a disk, volume creation
// through a holder, and the lock protocol shared by every volume with its
// host dialogue and the process-wide count of deferred locks.
#include <memory>
#include <string>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/holders.h"
#include "diskaccess/objects.h"
#include "diskaccess/volume_handlers.h"
#include "foundation/byteorder.h"

namespace {

constexpr std::uint32_t kTag = 0x9C41;
constexpr std::uint32_t kIoTag = 0x09AA;

// Deferred locks outstanding: while non-zero, a failing lock is deferred
// without asking the host. Changed only under the layer's lock.
std::uint32_t g_deferredLocks = 0;

Common::Error Failure(std::uint32_t site, std::uint32_t code, std::uint32_t message) {
  return Da::MakeError(Da::Site(kTag, site), Da::Module::kVolumeHandler, code, message);
}

Common::Error WithCause(Common::Error outer, const Common::Error& cause) {
  Common::AttachErrorCause(outer, cause);
  return outer;
}

void LowerDeferred() {
  // A handler destroyed with bit 4 after its unlock already lowered the
  // count must not wrap it round.
  if (g_deferredLocks > 0) --g_deferredLocks;
}

}  // namespace

std::uint32_t DaDeferredLockCount() { return g_deferredLocks; }
void DaResetDeferredLocks() { g_deferredLocks = 0; }

bool IsLockStateLocked(std::uint32_t state) {
  return (state & (kVolLockFull | kVolLockFast)) != 0 && (state & kVolLockDeferred) == 0;
}

bool IsVolumeLocked(const vol_handler* v) { return v != nullptr && IsLockStateLocked(v->flags); }

// ------------------------------------------------------------ lifetime

vol_handler::vol_handler(std::uint32_t handlerFlags) : flags(handlerFlags) {
  mode2Held = (handlerFlags & kVolLockFast) != 0 ? 1 : 0;
  sectorSize_ = 512;
  geometry_.sectorsPerTrack = 63;
  geometry_.highestHead = 15;
}

vol_handler::~vol_handler() {
  if ((flags & kVolLockDeferred) != 0) LowerDeferred();
}

// ------------------------------------------------- neutral base answers

Common::Error vol_handler::VolGetFlags(std::uint32_t& f) {
  f = 0;
  return Common::Error();
}
Common::Error vol_handler::VolGetLetter(std::uint8_t& l) {
  l = 0;
  return Common::Error();
}
Common::Error vol_handler::VolGetSysGuid(std::unique_ptr<Common::Guid>& g) {
  g.reset();
  return Common::Error();
}
Common::Error vol_handler::VolGetLocations(std::vector<DaExtent>& list, std::uint32_t& flag) {
  list.clear();
  flag = 0;
  return Common::Error();
}
Common::Error vol_handler::VolGetWriteCounter(std::uint64_t& c) {
  c = 0;
  return Common::Error(Da::Site(kIoTag, 3), Da::Module::kDiskIo,
                       Da::Code::kVolumeWriteCounterNotCreated);
}

Common::Error vol_handler::SetUserValue(std::uint32_t value) {
  userValue = value;
  return Common::Error();
}
Common::Error vol_handler::VolSetSysGuid(const Common::Guid*) { return Common::Error(); }
Common::Error vol_handler::VolGetOpenFiles(std::u16string& files) {
  files.clear();
  return Common::Error();
}
Common::Error vol_handler::VolGetPath(const char16_t*& path) {
  path = nullptr;
  return Common::Error();
}
std::uint64_t vol_handler::VolGetSize() { return 0; }
Common::Error vol_handler::VolSetLetter(std::uint8_t, std::uint8_t& statusSeen) {
  statusSeen = 0;
  return Common::Error();
}

Common::Error vol_handler::VolCreateInt(stddisk*, std::uint64_t, std::uint64_t, std::uint8_t) {
  return Failure(1, Da::VolCode::kBaseCreateInt, Da::VolMsg::kBaseCreateInt);
}
Common::Error vol_handler::VolDelete() {
  return Failure(2, Da::VolCode::kBaseDelete, Da::VolMsg::kBaseDelete);
}
Common::Error vol_handler::VolExtend(std::uint64_t) {
  return Failure(3, Da::VolCode::kBaseExtend, Da::VolMsg::kBaseExtend);
}
Common::Error vol_handler::VolLockFast() {
  return Failure(4, Da::VolCode::kBaseLockFast, Da::VolMsg::kBaseLockFast);
}
Common::Error vol_handler::VolLockFull() {
  return Failure(5, Da::VolCode::kBaseLockFull, Da::VolMsg::kBaseLockFull);
}
Common::Error vol_handler::VolTmpUnlock() {
  return Failure(6, Da::VolCode::kBaseTmpUnlock, Da::VolMsg::kBaseTmpUnlock);
}
Common::Error vol_handler::VolUmount() {
  return Failure(7, Da::VolCode::kBaseUmount, Da::VolMsg::kBaseUmount);
}

// ------------------------------------------------------------- attaching

void vol_handler::SetSizeAndGeometry(std::uint32_t size, std::uint64_t last,
                                     const Fdisk::Geometry& geometry) {
  sectorSize_ = size;
  lastSector_ = last;
  geometry_ = geometry;
  const std::uint64_t heads = std::uint64_t(geometry.highestHead) + 1;
  geometry_.cylinders =
      geometry.sectorsPerTrack == 0 ? 0 : last / heads / geometry.sectorsPerTrack;
}

Common::Error vol_handler::AttachToDisk(Fdisk::SimpleDisk* disk, bool ownSectorSize,
                                        std::uint64_t count) {
  if (count == 0) count = VolGetSize();
  // A volume of no sectors has no last sector to record.
  if (count == 0) return Failure(8, Da::VolCode::kEmptyVolume, Da::VolMsg::kEmptyVolume);
  const Fdisk::Geometry geometry = disk != nullptr ? disk->GetGeometry() : GetGeometry();
  const std::uint32_t size =
      disk != nullptr && !ownSectorSize ? disk->GetSectorSize() : GetSectorSize();
  SetSizeAndGeometry(size, count - 1, geometry);
  OnGeometryChanged();
  return Common::Error();
}

Common::Error vol_handler::AttachAt(stddisk* disk, std::uint64_t first, std::uint64_t count) {
  Common::Error e = AttachToDisk(disk, false, count);
  if (Da::Failed(e)) return e;
  start = first;
  diskId = disk != nullptr ? disk->GetDiskId() : 0;
  return Common::Error();
}

Common::Error vol_handler::VolCreate(holder* h) {
  if (h == nullptr) return Failure(9, Da::VolCode::kCreateNoHolder, Da::VolMsg::kCreateNoHolder);
  // The holder's "no letter" markers are no drive letter for the library.
  std::uint8_t letter = h->GetLetter(kLiveView);
  if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) letter = 0;
  return VolCreateOnDisk(h->GetDisk(), h->start, h->size, letter);
}

Common::Error vol_handler::VolCreateOnDisk(stddisk* disk, std::uint64_t first,
                                           std::uint64_t count, std::uint8_t letter) {
  // Nothing is created over no sectors.
  if (count == 0) return Failure(10, Da::VolCode::kEmptyVolume, Da::VolMsg::kEmptyVolume);
  Common::Error e = VolCreateInt(disk, first, count, letter);
  if (Da::Failed(e)) return e;
  return AttachAt(disk, first, count);
}

// ----------------------------------------------------------- lock protocol

Common::Error vol_handler::SmartLock(std::uint32_t lockMode, std::uint32_t hostContext,
                                     bool quiet) {
  const std::uint32_t before = flags;
  if ((lockMode & kVolTmpUnlocked) != 0) {
    if ((lockMode & ~kVolTmpUnlocked) != 0)
      return Failure(11, Da::VolCode::kTmpUnlockMixed, Da::VolMsg::kTmpUnlockMixed);
    if ((before & kVolTmpUnlocked) != 0) return Common::Error();
    if ((before & (kVolLockFull | kVolLockFast)) != 0 && (before & kVolLockDeferred) == 0)
      return Failure(12, Da::VolCode::kTmpUnlockLocked, Da::VolMsg::kTmpUnlockLocked);
  }
  if (before == kVolLockDeferred && (lockMode & (kVolLockFull | kVolLockFast)) != 0)
    ++g_deferredLocks;

  // A real lock call is made only on an open volume that holds nothing yet
  // (or for a temporary unlock); otherwise the bits are only recorded.
  const bool call = GetLibraryHandle() != 0 && ((lockMode & kVolTmpUnlocked) != 0 || before == 0);
  Common::Error e;
  bool pending = call;
  if (call) e = Failure(13, Da::VolCode::kSmartLockInternal, Da::VolMsg::kSmartLockInternal);
  const bool silent = quiet || !call;
  flags &= ~kVolLockFull;
  bool dontAsk = noAsk != 0;
  if ((lockMode & kVolLockFast) != 0) {
    dontAsk = true;
    if ((lockMode & kVolLockFull) != 0) lockMode &= ~kVolLockFast;
    mode2Held = 1;
  }

  std::uint32_t* progress = DaHookContextWord();
  if (!silent) {
    if (progress[1] == 0) {
      progress[0] = 0;
      progress[1] = 1;
    }
    DaHookSnapshotPhase(hostContext, progress[0], progress[1], 1);
  }

  bool dismounted = false;
  while (pending) {
    const Common::Error attempt =
        (lockMode & kVolTmpUnlocked) != 0 ? VolTmpUnlock() : VolLockFull();
    if (!Da::Failed(attempt)) {
      e = Common::Error();
      pending = false;
      break;
    }
    e = WithCause(Failure(14, Da::VolCode::kSmartLock, Da::VolMsg::kSmartLock), attempt);
    if (dontAsk || (lockMode & kVolTmpUnlocked) != 0) break;
    std::uint32_t answer = 4;
    if (g_deferredLocks == 0) {
      std::u16string files;
      std::uint32_t volumeFlags = 0;
      VolGetOpenFiles(files);
      VolGetFlags(volumeFlags);
      answer = DaHookVolumeOperation(hostContext, volumeFlags | (dismounted ? 0x4000u : 0u),
                                     files.empty() ? nullptr : &files, e);
    }
    if (answer == 3) {
      noAsk = 1;
      e = Common::Error();
      break;
    }
    if (answer == 4) {
      ++g_deferredLocks;
      flags |= kVolLockDeferred;
      e = Common::Error();
      break;
    }
    if (answer == 5) continue;
    if (answer == 6) {
      const Common::Error gone = VolUmount();
      if (Da::Failed(gone))
        e = WithCause(Failure(15, Da::VolCode::kSmartLockDismount, Da::VolMsg::kSmartLockDismount),
                      attempt);
      dismounted = true;
      continue;
    }
    break;
  }

  if (!silent) {
    ++progress[0];
    if (progress[0] >= progress[1]) {
      DaHookSnapshotPhase(0, progress[1], progress[1], 0);
      progress[0] = progress[1] = 0;
    }
  }
  if (!Da::Failed(e)) flags |= lockMode;
  return e;
}

Common::Error vol_handler::SmartUnlock(std::uint32_t lockMode) {
  const std::uint32_t before = flags;
  if ((lockMode & kVolTmpUnlocked) != 0) {
    if ((before & kVolTmpUnlocked) != 0) lockMode = kVolTmpUnlocked;
    else lockMode &= ~kVolTmpUnlocked;
  }
  const std::uint32_t after = before & ~lockMode;
  flags = after;
  if ((after & kVolLockFast) == 0) mode2Held = 0;
  if ((lockMode & kVolTmpUnlocked) == 0 && (before & kVolLockDeferred) != 0) {
    // A deferred lock never reached the library: nothing to give back there.
    if ((before & ~kVolLockDeferred) != 0 && (after & ~kVolLockDeferred) == 0) LowerDeferred();
    return Common::Error();
  }
  if (GetLibraryHandle() != 0 &&
      ((lockMode & kVolTmpUnlocked) != 0 || (before != 0 && after == 0)))
    return VolUnlock();
  return Common::Error();
}

// -------------------------------------------------------- overlap helpers

bool RangesOverlap(std::uint64_t firstA, std::uint64_t countA, std::uint64_t firstB,
                   std::uint64_t countB) {
  // Empty ranges share nothing; the last sectors are computed without wrap.
  if (countA == 0 || countB == 0) return false;
  std::uint64_t lastA = 0, lastB = 0;
  if (!Common::CheckedAdd(firstA, countA - 1, &lastA)) lastA = UINT64_MAX;
  if (!Common::CheckedAdd(firstB, countB - 1, &lastB)) lastB = UINT64_MAX;
  return firstA <= lastB && firstB <= lastA;
}

std::uint32_t HolderDiskId(const holder* h) {
  if (h == nullptr) return 0;
  stddisk* d = h->GetDisk();
  return d != nullptr ? d->GetDiskId() : 0;
}

bool HolderOverlapsRange(const holder* h, std::uint32_t diskId, std::uint64_t first,
                         std::uint64_t count) {
  if (h == nullptr || h->GetDisk() == nullptr) return false;
  return HolderDiskId(h) == diskId && RangesOverlap(h->start, h->size, first, count);
}

bool HoldersOverlap(const holder* a, const holder* b) {
  if (b == nullptr || b->GetDisk() == nullptr) return false;
  return HolderOverlapsRange(a, HolderDiskId(b), b->start, b->size);
}
