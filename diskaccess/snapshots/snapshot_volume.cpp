// Snapshot volumes: a library volume read as it was when its snapshot
// started, from the data kept in the temporary storage, through the
// library's snapshot, or from the live volume held under an exclusive lock.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/snapshots.h"
#include "diskaccess/win_computer.h"
#include "foundation/message_table.h"
#include "sblib/sblib.h"

namespace {

constexpr std::uint32_t kTag = 0x1426;
constexpr std::uint32_t kModule = Da::Module::kWindowsComputer;
constexpr std::uint32_t kBaseTag = 0x1427;
// One chunk of a read never asks the library for more sectors than its
// 32-bit counts and byte sizes can carry.
constexpr std::uint64_t kMaxChunk = 0x10000;

Common::Error Fail(std::uint32_t site, std::uint32_t code, std::uint32_t message) {
  return Da::MakeError(Da::Site(kTag, site), kModule, code, message);
}

Common::Error StatusFail(std::uint32_t site, std::uint32_t code, std::uint32_t message,
                         std::uint32_t status) {
  return SbStatusToError(Fail(site, code, message), status);
}

Common::Error BaseFail(std::uint32_t site, std::uint32_t code, std::uint32_t message) {
  return Da::MakeError(Da::Site(kBaseTag, site), Da::Module::kSnapshotBase, code, message);
}

// An error that also carries a block count, under the field name "blocks".
Common::Error BlocksError(std::uint32_t site, std::uint32_t code, std::uint32_t message,
                          std::uint64_t blocks) {
  return Common::Error::FromRecord(Common::NewBlockCountRecord(
      Da::Site(kTag, site), kModule, code, CatalogText(message), blocks));
}

// Six distinct keys: a group shares one mode.
const char kGroupKeys[6] = {};

}  // namespace

// ---------------------------------------------------- real_snapshot_volume

real_snapshot_volume::real_snapshot_volume(const vol_handler& handler)
    : Fdisk::SnapshotVolume(handler.GetSectorSize(), handler.GetSectorCount(),
                            handler.GetGeometry()),
      startSector(handler.GetStartSector()),
      diskId(handler.GetDiskId()),
      userValue(handler.GetUserValue()) {}

Common::Error real_snapshot_volume::SetSnapshotHandle(std::uint32_t) {
  return BaseFail(1, Da::SnapCode::kSetHandleUnsupported, 1250);
}
Common::Error real_snapshot_volume::SetVssParameters(const VssEntry*, std::uint32_t) {
  return BaseFail(2, Da::SnapCode::kVssParameters, 1252);
}
Common::Error real_snapshot_volume::CreateBlockDevice(void*, void*) {
  return BaseFail(3, Da::SnapCode::kBlockDevice, 1243);
}
Common::Error real_snapshot_volume::OptimizeForExt(void*) {
  return BaseFail(4, Da::SnapCode::kOptimizeExt, 1242);
}
Common::Error real_snapshot_volume::EnableChangedBlockTracking(void*, void*, void*) {
  return BaseFail(5, Da::SnapCode::kChangedBlocks, 1241);
}

// ----------------------------------------------------- win_snapshot_volume

win_snapshot_volume::win_snapshot_volume(win_vol_handler& handler, std::uint32_t kind)
    : real_snapshot_volume(handler),
      volumeNumber(handler.GetDriveNumber()),
      volumeHandle(static_cast<std::uint32_t>(handler.GetLibraryHandle())),
      state(kind) {}

win_snapshot_volume::~win_snapshot_volume() {
  if (group) {
    group->Leave(this);
    group.reset();
  }
  if (state & SnapState::kHoldsVolumeLock) sbUnlockVolume(volumeHandle);
}

std::shared_ptr<SnapshotGroup> win_snapshot_volume::EnsureGroup() {
  if (!group) group.reset(new (std::nothrow) SnapshotGroup(this));
  return group;
}

const void* win_snapshot_volume::GetGroupKey() const {
  if (!(state & SnapState::kLibrary)) return this;
  const std::uint32_t bits[5] = {0x4, 0x8, 0x80, 0x100, 0x200};
  for (int i = 0; i < 5; ++i)
    if (state & bits[i]) return &kGroupKeys[i];
  return &kGroupKeys[5];
}

bool win_snapshot_volume::JoinSnapshotGroup(SnapshotVolume* other) {
  if (other == nullptr || other == this || other->GetGroupKey() != GetGroupKey()) return false;
  auto* o = dynamic_cast<win_snapshot_volume*>(other);
  if (o == nullptr) return false;
  if (o->group) {
    if (group || (o->group->State() & SnapshotGroup::kStarted)) return false;
    group = o->group;
    group->AddMember(this);
    return true;
  }
  std::shared_ptr<SnapshotGroup> mine = EnsureGroup();
  if (!mine || (mine->State() & SnapshotGroup::kStarted)) return false;
  o->group = mine;
  mine->AddMember(o);
  return true;
}

Common::Error win_snapshot_volume::SetSnapshotHandle(std::uint32_t handle) {
  std::shared_ptr<SnapshotGroup> g = EnsureGroup();
  if (!g) return Fail(1, Da::SnapCode::kHandleSequence, 1251);
  Common::Error e = g->SetSnapshotHandle(handle);
  if (!Da::Failed(e)) state |= SnapState::kLibrary;
  return e;
}

std::uint32_t win_snapshot_volume::GetLibrarySnapshotHandle() const {
  return group ? group->LibraryHandle() : 0;
}

Common::Error win_snapshot_volume::SetVssParameters(const VssEntry* entries,
                                                    std::uint32_t count) {
  vss.assign(entries, entries + count);
  return Common::Error();
}

Common::Error win_snapshot_volume::AllocateMemory(void*& block, std::uint32_t size) {
  std::shared_ptr<SnapshotGroup> g = EnsureGroup();
  if (!g) {
    block = nullptr;
    return Fail(2, Da::SnapCode::kAllocate, 1261);
  }
  return g->AllocateMemory(block, size);
}

Common::Error win_snapshot_volume::GetReadState(SnapshotVolume*& volume, std::uint64_t& sector) {
  if (!group) {
    volume = nullptr;
    sector = ~std::uint64_t{0};
    return Common::Error();
  }
  return group->GetReadState(volume, sector);
}

Common::Error win_snapshot_volume::GetVolumeWriteCounter(std::uint64_t& counter) {
  counter = 0;
  SbVolumeStat stat;
  std::memset(&stat, 0, sizeof stat);
  stat.size = sizeof stat;
  const SbStatus st = sbGetVolumeStat(volumeHandle, &stat);
  if (st != SB_OK) return StatusFail(3, Da::SnapCode::kVolumeStat, 1231, st);
  counter = stat.write_counter;
  return Common::Error();
}

Common::Error win_snapshot_volume::GetOpenFileIds(std::unique_ptr<std::uint64_t[]>& ids,
                                                  std::uint32_t& count) {
  ids.reset();
  count = 0;
  std::uint32_t capacity = 1024;
  std::unique_ptr<std::uint64_t[]> buffer(new (std::nothrow) std::uint64_t[capacity]);
  if (!buffer) return Fail(4, Da::SnapCode::kOpenFilesMemory, 1229);
  for (;;) {
    std::uint32_t n = capacity;
    const SbStatus st = sbGetVolumeOpenedFileIDs(volumeHandle, 2, &n, buffer.get());
    if (st == SB_STATUS_INVALID_PARAMETER || (st == SB_OK && n == 0)) return Common::Error();
    if (st != SB_OK) return StatusFail(5, Da::SnapCode::kOpenFiles, 1230, st);
    if (capacity >= n) {
      ids = std::move(buffer);
      count = n;
      return Common::Error();
    }
    capacity = n + n / 2;
    buffer.reset(new (std::nothrow) std::uint64_t[capacity]);
    if (!buffer) return Fail(6, Da::SnapCode::kOpenFilesMemory, 1229);
  }
}

Common::Error win_snapshot_volume::LockSnapshot(std::uint32_t mode) {
  if (mode & 0x40) state |= SnapState::kNoDirectReads;
  if (mode & 0x10) {
    std::shared_ptr<SnapshotGroup> g = EnsureGroup();
    if (g) g->TellHostSnapshotBegins();
  }
  if ((mode & (0x1 | SnapState::kModeBits)) && !(state & SnapState::kLive)) {
    SbVolumeInfo info;
    std::memset(&info, 0, sizeof info);
    info.size = sizeof info;
    if (sbGetVolumeInfo(volumeHandle, &info) == SB_OK) {
      if (state & SnapState::kLibrary) {
        if (info.path[0] != 0) state |= mode & SnapState::kModeBits;
      } else if (!(info.flags & SB_VOLUME_FLAG_SYSTEM)) {
        // Read the live volume instead, kept from changing by the lock.
        if (sbLockVolume(volumeHandle, 1) == SB_OK)
          state |= SnapState::kLive | SnapState::kHoldsVolumeLock;
      }
    }
    if ((mode & 0x1) && !(state & (SnapState::kLive | SnapState::kLibrary)))
      return Fail(7, Da::SnapCode::kLockAndCreate, 1244);
  }
  if ((mode & 0x20) && (state & SnapState::kLive)) state &= ~SnapState::kLibrary;
  if (mode & 0x2) {
    std::shared_ptr<SnapshotGroup> g = EnsureGroup();
    if (!g) return Fail(8, Da::SnapCode::kLockAndCreate, 1244);
    return g->CreateSnapshotGroup(mode);
  }
  return Common::Error();
}

Common::Error win_snapshot_volume::SetBitmap(std::uint32_t origin, std::uint32_t sectors,
                                             std::uint64_t blockCount, const void* bitmap) {
  if ((state & SnapState::kBitmapSet) || !group || !(group->State() & SnapshotGroup::kStarted) ||
      sectors == 0)
    return Fail(9, Da::SnapCode::kBitmapSequence, 1249);
  if (IsPlainLibrarySnapshot()) {
    if (blockCount > 0xFFFFFFFFu) return BlocksError(10, Da::SnapCode::kBlockLimit, 1235, blockCount);
    SbBitmapRecord record;
    std::memset(&record, 0, sizeof record);
    record.size = sizeof record;
    SbPutAddress(&record.bitmap, nullptr, bitmap);
    record.block_origin = origin;
    record.block_sectors = sectors;
    record.block_count = static_cast<std::uint32_t>(blockCount);
    record.bitmap_bytes = bitmap != nullptr ? static_cast<std::uint32_t>((blockCount + 7) / 8) : 0;
    record.volume = volumeHandle;
    const SbStatus st = sbSetBitmap(group->LibraryHandle(), &record);
    if (st != SB_OK)
      return SbStatusToError(BlocksError(11, Da::SnapCode::kSetBitmap, 1236, blockCount), st);
  }
  state |= SnapState::kBitmapSet;
  blockOrigin = origin;
  blockSectors = sectors;
  return group->BitmapsDone();
}

Common::Error win_snapshot_volume::ReadSaved(std::uint64_t first, void* buffer,
                                             std::uint64_t count, std::uint64_t& done,
                                             bool& isSaved) {
  done = 0;
  isSaved = false;
  auto next = saved.upper_bound(first);
  if (next != saved.begin()) {
    auto entry = std::prev(next);
    if (first < entry->first + entry->second.count) {
      done = std::min({entry->first + entry->second.count - first, count, kMaxChunk});
      isSaved = true;
      if (buffer != nullptr) {
        SnapshotStorage* storage = group ? group->Storage() : nullptr;
        const std::uint32_t ss = GetSectorSize();
        Common::Error e =
            storage == nullptr
                ? Fail(12, Da::SnapCode::kTempUnused, 1255)
                : storage->ReadAt(buffer, static_cast<std::uint32_t>(done * ss),
                                  entry->second.position + (first - entry->first) * ss);
        if (Da::Failed(e)) {
          done = 0;
          return e;
        }
      }
      return Common::Error();
    }
  }
  done = next == saved.end() ? count : std::min(next->first - first, count);
  return Common::Error();
}

Common::Error win_snapshot_volume::StoreRead(std::uint64_t first, const void* data,
                                             std::uint64_t sectors) {
  SnapshotStorage* storage = group ? group->Storage() : nullptr;
  if (storage == nullptr) return Fail(13, Da::SnapCode::kTempUnused, 1255);
  std::uint64_t position = 0;
  Common::Error e =
      storage->Append(data, static_cast<std::uint32_t>(sectors * GetSectorSize()), position);
  if (Da::Failed(e)) return e;
  saved.emplace(first, Saved{sectors, position});  // an earlier entry stays
  return Common::Error();
}

Common::Error win_snapshot_volume::ReportReadError(std::uint64_t first, const Common::Error& error,
                                                   std::uint32_t& answer) {
  const std::uint64_t at = startSector + first;
  answer = DaHookDiskIoError(diskId, Fdisk::kIoRead, static_cast<std::uint32_t>(at),
                             static_cast<std::uint32_t>(at >> 32), userValue, error);
  return error;
}

Common::Error win_snapshot_volume::Io(std::uint32_t op, std::uint64_t first, void* buffer,
                                      std::uint64_t count) {
  if (op != Fdisk::kIoRead) return Fail(14, Da::SnapCode::kReadOnly, 1247);
  if (count == 0) return Common::Error();
  Common::CriticalSectionLock guard(group ? &group->Lock() : nullptr);
  const std::uint64_t B = blockSectors, O = blockOrigin;
  const std::uint32_t ss = GetSectorSize();
  const std::uint64_t volumeEnd = GetSectorCount() + 1;
  std::uint8_t* p = static_cast<std::uint8_t*>(buffer);
  std::uint64_t limit = std::min(count, kMaxChunk);
  bool zeroFill = (state & SnapState::kZeroFillErrors) && limit <= B;
  while (count > 0) {
    Common::Error failure;
    std::uint64_t done = 0;
    const bool library = (state & SnapState::kLibrary) != 0;
    if (library && (state & SnapState::kBitmapSet)) {
      // Before every member has set its bitmap there is no transfer buffer,
      // and after the reader failed the saved data is incomplete: no read
      // of the snapshot can be answered.
      const std::uint32_t gs = group ? group->State() : 0;
      if (!(gs & SnapshotGroup::kReading) || (gs & SnapshotGroup::kFailed))
        return Fail(15, Da::SnapCode::kRead, 1234);
      std::uint64_t n = 0;
      bool isSaved = false;
      Common::Error e = ReadSaved(first, p, count, n, isSaved);
      if (Da::Failed(e)) return e;
      if (isSaved) {
        done = n;
      } else {
        n = std::min(n, limit);
        const bool direct = !(state & SnapState::kNoDirectReads);
        bool whole = false;
        std::uint64_t r = 0;
        if (direct && B > 1) {
          if (first > O && (first - O) % B != 0) {
            r = (first - O) % B;
            whole = true;
          } else if (first + n > O) {
            const std::uint64_t t = (first + n - O) % B;
            if (t != 0) {
              if (n > t) n -= t;
              else whole = true;
            }
          }
        }
        if (whole && p == nullptr) {
          done = r != 0 ? std::min(B - r, count) : n;
        } else {
          const std::uint64_t blockStart = first - r;
          const std::uint64_t blockLength = std::min(B, volumeEnd - blockStart);
          SbReadRequest request;
          std::memset(&request, 0, sizeof request);
          request.size = sizeof request;
          std::uint8_t* target = whole ? group->TransferBuffer() : p;
          SbPutAddress(&request.buffer, &request.buffer_high, target);
          request.buffer_bytes =
              static_cast<std::uint32_t>(target == nullptr ? 0 : (whole ? blockLength : n) * ss);
          request.first_sector = whole ? blockStart : first;
          request.sector_count = static_cast<std::uint32_t>(whole ? blockLength : n);
          request.flags = (direct && p != nullptr ? SB_READ_DIRECT : 0u) |
                          (zeroFill ? SB_READ_ZERO_FILL : 0u);
          request.volume = volumeHandle;
          const SbStatus st = sbRead(group->LibraryHandle(), &request);
          const std::uint32_t got = std::min<std::uint32_t>(request.sectors_read,
                                                            request.sector_count);
          const bool delivers = st == SB_OK || (st == SB_STATUS_DATA_ERROR && !zeroFill);
          if (delivers && direct && p != nullptr && (request.result_flags & SB_READ_RESULT_KEEP) &&
              got != 0) {
            e = StoreRead(request.first_sector, target, got);
            if (Da::Failed(e)) return e;
          }
          // A whole-block read delivers only what lies past the sectors
          // before `first`; anything less is no data at all.
          const std::uint64_t useful = whole ? (got > r ? got - r : 0) : got;
          if (delivers && useful != 0) {
            done = std::min(useful, count);
            if (whole && p != nullptr) std::memcpy(p, target + r * ss, done * ss);
          }
          if (st != SB_OK) failure = StatusFail(16, Da::SnapCode::kRead, 1234, st);
          else if (useful == 0) failure = Fail(17, Da::SnapCode::kRead, 1234);
          if (Da::Failed(failure) && st == SB_STATUS_DATA_ERROR && !zeroFill && done != 0) {
            // The good sectors are delivered; the chunk still fails.
            count -= done, first += done;
            if (p != nullptr) p += done * ss;
            done = 0;
          }
        }
      }
    } else if (p == nullptr) {
      done = count;
    } else if (library && (state & SnapState::kStartedAtCreation)) {
      SbReadRequest request;
      std::memset(&request, 0, sizeof request);
      request.size = sizeof request;
      SbPutAddress(&request.buffer, &request.buffer_high, p);
      request.buffer_bytes = static_cast<std::uint32_t>(limit * ss);
      request.first_sector = first;
      request.sector_count = static_cast<std::uint32_t>(limit);
      request.volume = volumeHandle;
      const SbStatus st =
          group ? sbRead(group->LibraryHandle(), &request) : SB_STATUS_INVALID_HANDLE;
      const std::uint32_t got = std::min<std::uint32_t>(request.sectors_read, request.sector_count);
      if (st == SB_OK && got != 0) {
        done = got;
      } else if (zeroFill) {
        // Zero-filled, and at least one chunk on, so the read goes on.
        done = got != 0 ? got : limit;
        std::memset(p, 0, done * ss);
      } else {
        failure = st != SB_OK ? StatusFail(18, Da::SnapCode::kRead, 1234, st)
                              : Fail(19, Da::SnapCode::kRead, 1234);
      }
    } else {
      const SbStatus st =
          sbReadVolume(volumeHandle, first, static_cast<std::uint32_t>(limit), p);
      if (st == SB_OK) {
        done = limit;
      } else if (zeroFill) {
        std::memset(p, 0, limit * ss);
        done = limit;
      } else {
        failure = StatusFail(20, Da::SnapCode::kRead, 1233, st);
      }
    }
    if (Da::Failed(failure)) {
      if (limit > B) {
        limit = B;
        zeroFill = (state & SnapState::kZeroFillErrors) != 0;
        continue;
      }
      std::uint32_t answer = 1;
      ReportReadError(first, failure, answer);
      if (answer == 2) {
        zeroFill = true;
      } else if (answer == 3) {
        state |= SnapState::kZeroFillErrors;
        limit = std::min(count, kMaxChunk);
        zeroFill = true;
      } else if (answer != 5) {
        return failure;
      }
      continue;
    }
    count -= done;
    first += done;
    if (p != nullptr) p += done * ss;
    limit = std::min(limit, count);
    zeroFill = (state & SnapState::kZeroFillErrors) && limit <= B;
  }
  return Common::Error();
}
