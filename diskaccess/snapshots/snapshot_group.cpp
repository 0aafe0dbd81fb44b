// The volumes snapshotted together: the library's snapshot over them, its
// start once every member has set its bitmap, and the reader thread that
// takes over the old data of sectors the library is about to let change.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/snapshots.h"
#include "diskaccess/win_computer.h"
#include "foundation/trace.h"
#include "sblib/sblib.h"

namespace {

constexpr std::uint32_t kTag = 0x1425;
constexpr std::uint32_t kModule = Da::Module::kWindowsComputer;
constexpr std::uint32_t kNotEnoughMemory = 8;

Common::Error Fail(std::uint32_t site, std::uint32_t code, std::uint32_t message) {
  return Da::MakeError(Da::Site(kTag, site), kModule, code, message);
}

Common::Error StatusFail(std::uint32_t site, std::uint32_t code, std::uint32_t message,
                         std::uint32_t status) {
  return SbStatusToError(Fail(site, code, message), status);
}

bool LockAnswerOk(SbStatus status) { return status == SB_OK || status == SB_STATUS_ALREADY_LOCKED; }

// The library flag of each member mode bit.
std::uint32_t LibraryFlags(std::uint32_t state) {
  std::uint32_t flags = 0;
  if (state & 0x4) flags |= 0x10;
  if (state & 0x8) flags |= 0x80;
  if (state & 0x80) flags |= 0x100;
  if (state & 0x100) flags |= 0x200;
  if (state & 0x200) flags |= 0x40;
  return flags;
}

unsigned FlagCount(std::uint32_t flags) {
  unsigned n = 0;
  for (std::uint32_t bit : {0x10u, 0x40u, 0x80u, 0x100u, 0x200u}) n += (flags & bit) != 0;
  return n;
}

}  // namespace

SnapshotGroup::SnapshotGroup(win_snapshot_volume* first) { members_[first->volumeHandle] = first; }

SnapshotGroup::~SnapshotGroup() {
  // Teardown normally ran when the last member left; a group dropped
  // without its members leaving still must not leave its thread running.
  if (reader_.joinable()) Teardown();
}

void SnapshotGroup::AddMember(win_snapshot_volume* volume) {
  Common::CriticalSectionLock guard(&lock_);
  members_[volume->volumeHandle] = volume;
  ++memberCount_;
}

bool SnapshotGroup::Leave(win_snapshot_volume* volume) {
  {
    Common::CriticalSectionLock guard(&lock_);
    // Neither the reader thread nor a later BitmapsDone may reach the
    // member once it is gone.
    for (auto it = members_.begin(); it != members_.end(); ++it)
      if (it->second == volume) {
        members_.erase(it);
        if ((volume->state & SnapState::kBitmapSet) && bitmapCounter_ > 0) --bitmapCounter_;
        break;
      }
  }
  if (--memberCount_ != 0) return false;
  Teardown();
  return true;
}

win_snapshot_volume* SnapshotGroup::FirstMember() const {
  return members_.empty() ? nullptr : members_.begin()->second;
}

std::uint32_t SnapshotGroup::HostUser() const {
  return members_.size() == 1 ? members_.begin()->second->userValue : 0;
}

void SnapshotGroup::TellHostSnapshotBegins() {
  if (state_ & kHostTold) return;
  DaHookLockChanged(HostUser(), static_cast<Fdisk::SnapshotVolume*>(FirstMember()), 1);
  state_ |= kHostTold;
}

void SnapshotGroup::NotifyHostSnapshotEnd() {
  if (!(state_ & kHostTold)) return;
  DaHookLockChanged(HostUser(), static_cast<Fdisk::SnapshotVolume*>(FirstMember()), 0);
  state_ &= ~kHostTold;
}

Common::Error SnapshotGroup::CreateWithFlags(win_snapshot_volume* lead, std::uint32_t flags,
                                             Common::CriticalSection*& heldLock, bool& retry) {
  retry = false;
  SbStatus st;
  if (lead->vss.empty()) {
    st = sbCreateSnapshotEx(lead->volumeHandle, &handle_, flags);
  } else {
    std::vector<SbVssEntry> entries(lead->vss.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      std::memcpy(entries[i].first_id, lead->vss[i].first, 16);
      std::memcpy(entries[i].second_id, lead->vss[i].second, 16);
      SbPutAddress(&entries[i].name, nullptr, lead->vss[i].name.c_str());
    }
    st = sbCreateVssSnapshot(lead->volumeHandle, &handle_, entries.data(),
                             static_cast<std::uint32_t>(entries.size()), flags);
  }
  if (st != SB_OK) {
    handle_ = 0;
    retry = FlagCount(flags) >= 2;
    return StatusFail(1, Da::SnapCode::kCreate, 1224, st);
  }
  const std::uint32_t storageMode = flags & 0x3C0;
  auto it = members_.find(lead->volumeHandle);
  for (; it != members_.end(); ++it) {
    win_snapshot_volume* m = it->second;
    if (m != lead && !(m->state & SnapState::kLibrary)) continue;
    if (storageMode == 0) {
      if (storage_ == nullptr) storage_ = SnapshotStorage::GetShared();
      Common::Error e = storage_ == nullptr
                            ? Fail(2, Da::SnapCode::kTempCreate, 1253)
                            : storage_->CheckPlacement(m->volumeNumber, m->storageFileId,
                                                       heldLock);
      if (Da::Failed(e)) {
        sbClose(handle_);
        handle_ = 0;
        return e;
      }
    }
    if (m == lead) continue;
    st = sbAddSnapshotVolume(handle_, m->volumeHandle);
    if (st != SB_OK) {
      sbClose(handle_);
      handle_ = 0;
      retry = flags != 0;
      return StatusFail(3, Da::SnapCode::kAddVolume, 1223, st);
    }
  }
  state_ |= kOpen;
  const std::uint32_t user = HostUser();
  if (storageMode != 0) {
    DaHookSnapshotPhase(user, 0, 1, 3);
    st = sbStart(handle_);
    DaHookSnapshotPhase(0, 1, 1, 0);
    if (st != SB_OK) return StatusFail(4, Da::SnapCode::kStart, 1237, st);
    // The library keeps the old data itself: reads go to it no more.
    for (auto& kv : members_) kv.second->state &= ~SnapState::kLibrary;
    state_ |= kStarted;
    return Common::Error();
  }
  DaHookSnapshotPhase(user, 0, 1, createMode_ & 0x4 ? 3 : 1);
  st = sbLock(handle_);
  DaHookSnapshotPhase(0, 1, 1, 0);
  if (!LockAnswerOk(st)) return StatusFail(5, Da::SnapCode::kLock, 1232, st);
  state_ |= kLocked | kStarted;
  return Common::Error();
}

Common::Error SnapshotGroup::CreateSnapshotGroup(std::uint32_t mode) {
  if ((state_ & kStarted) || handle_ != 0) return Fail(6, Da::SnapCode::kLockSequence, 1248);
  for (auto& kv : members_) {
    win_snapshot_volume* m = kv.second;
    if (m->state & (SnapState::kLive | SnapState::kLibrary)) continue;
    Common::Error e = m->LockSnapshot(1);
    if (Da::Failed(e)) return e;
  }
  win_snapshot_volume* lead = nullptr;
  for (auto& kv : members_)
    if (kv.second->state & SnapState::kLibrary) {
      lead = kv.second;
      break;
    }
  if (lead == nullptr) {
    // Only live volumes: nothing for the library to do.
    state_ |= kStarted;
    return Common::Error();
  }
  createMode_ = mode;
  std::uint32_t flags = LibraryFlags(lead->state);
  Common::CriticalSection* heldLock = nullptr;
  Common::Error e;
  for (;;) {
    bool retry = false;
    e = CreateWithFlags(lead, flags, heldLock, retry);
    if (!retry) break;
    // A combination the library refused: the plain snapshot instead.
    for (auto& kv : members_) kv.second->state &= ~SnapState::kModeBits;
    TraceError(3, e);
    flags = 0;
  }
  if (heldLock != nullptr) heldLock->Leave();
  return e;
}

Common::Error SnapshotGroup::BitmapsDone() {
  if (++bitmapCounter_ < members_.size()) return Common::Error();
  if (handle_ == 0) {
    state_ |= kReading;
    return Common::Error();
  }
  win_snapshot_volume* first = FirstMember();
  const bool skip = first != nullptr && (first->state & SnapState::kStartedAtCreation) != 0;
  SbStatus st;
  if (!skip) {
    st = sbStart(handle_);
    if (st != SB_OK) return StatusFail(7, Da::SnapCode::kStart, 1237, st);
  }
  if (state_ & kLocked) {
    state_ &= ~kLocked;
    st = sbUnlock(handle_);
    if (!LockAnswerOk(st)) return StatusFail(8, Da::SnapCode::kUnlockSnapshot, 1239, st);
  }
  std::uint32_t alignment = 1;
  for (auto& kv : members_) {
    win_snapshot_volume* m = kv.second;
    if (!(m->state & SnapState::kLibrary)) continue;
    if (m->state & SnapState::kHoldsVolumeLock) {
      m->state &= ~SnapState::kHoldsVolumeLock;
      st = sbUnlockVolume(m->volumeHandle);
      if (st != SB_OK) return StatusFail(9, Da::SnapCode::kUnlockVolume, 1238, st);
    }
    const std::uint64_t block = std::uint64_t(m->GetSectorSize()) * m->blockSectors;
    if (block > 0xFFFFFFFFu) return Fail(10, Da::SnapCode::kIncompatible, 1226);
    transferSize_ = std::max(transferSize_, static_cast<std::uint32_t>(block));
    alignment = std::max(alignment, m->GetSectorSize());
    if (m->storageFileId != 0 && storage_ != nullptr) storage_->ExtendToLimit();
  }
  NotifyHostSnapshotEnd();
  if (!skip) {
    transferAllocation_.reset(
        new (std::nothrow) std::uint8_t[std::size_t(transferSize_) + alignment - 1]);
    if (!transferAllocation_) {
      Common::Error e = Fail(11, Da::SnapCode::kAllocate, 1261);
      Common::AttachWin32Cause(e, kNotEnoughMemory);
      return e;
    }
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(transferAllocation_.get());
    transfer_ = transferAllocation_.get() + (alignment - base % alignment) % alignment;
    SbSnapshotParams params;
    std::memset(&params, 0, sizeof params);
    params.size = sizeof params;
    st = sbGetParams(handle_, &params);
    if (st != SB_OK) return StatusFail(12, Da::SnapCode::kParams, 1225, st);
    if (params.wake_event == 0) return Fail(13, Da::SnapCode::kIncompatible, 1226);
    event_ = params.wake_event;
    try {
      reader_ = std::thread([this] { ReaderThread(); });
    } catch (...) {
      // Without the thread nothing would take the old data over: the
      // snapshot cannot be read.
      state_ |= kFailed;
      return Fail(14, Da::SnapCode::kStart, 1237);
    }
  }
  // The reader may already be at work and change the state too.
  Common::CriticalSectionLock guard(&lock_);
  state_ |= kReading;
  return Common::Error();
}

void SnapshotGroup::ReaderThread() {
  for (;;) {
    if (!Da::SnapshotEventWait(event_)) return;
    Common::CriticalSectionLock guard(&lock_);
    for (;;) {
      Da::SnapshotEventReset(event_);
      if (state_ & kStop) return;
      SbReadInfo info;
      std::memset(&info, 0, sizeof info);
      info.size = sizeof info;
      // Any failure from here on loses data the library hands over: the
      // group is marked failed so that no read of it succeeds any more.
      if (sbGetReadInfo(handle_, &info) != SB_OK) {
        state_ |= kFailed;
        return;
      }
      if (!(info.flags & SB_READINFO_PENDING)) break;
      auto it = members_.find(info.volume);
      if (it == members_.end()) {
        state_ |= kFailed;
        return;
      }
      win_snapshot_volume* m = it->second;
      const std::uint32_t ss = m->GetSectorSize();
      const std::uint64_t B = m->blockSectors, O = m->blockOrigin;
      const std::uint64_t cnt = std::min<std::uint64_t>(transferSize_ / ss, info.sector_count);
      std::uint64_t n;
      if (info.first_sector >= O) {
        // Whole blocks only: a request shorter than a block is read as the
        // whole block, so that the index never holds part of one.
        // (The volume's last block may be short.)
        n = cnt / B * B;
        const std::uint64_t end = m->GetSectorCount() + 1;
        if (n == 0 && B * ss <= transferSize_ && info.first_sector < end)
          n = std::min(B, end - info.first_sector);
      } else {
        n = std::min<std::uint64_t>(O - info.first_sector, cnt);
      }
      if (n == 0) {
        state_ |= kFailed;
        return;
      }
      SbReadRequest request;
      std::memset(&request, 0, sizeof request);
      request.size = sizeof request;
      SbPutAddress(&request.buffer, &request.buffer_high, transfer_);
      request.buffer_bytes = static_cast<std::uint32_t>(n * ss);
      request.first_sector = info.first_sector;
      request.sector_count = static_cast<std::uint32_t>(n);
      request.volume = m->volumeHandle;
      if (sbRead(handle_, &request) != SB_OK || request.sectors_read == 0 ||
          request.sectors_read > n) {
        state_ |= kFailed;
        return;
      }
      if (Da::Failed(m->StoreRead(info.first_sector, transfer_, request.sectors_read))) {
        state_ |= kFailed;
        return;
      }
    }
  }
}

Common::Error SnapshotGroup::GetReadState(Fdisk::SnapshotVolume*& volume, std::uint64_t& sector) {
  Common::CriticalSectionLock guard(&lock_);
  volume = nullptr;
  sector = ~std::uint64_t{0};
  win_snapshot_volume* first = FirstMember();
  if (handle_ == 0 || !(state_ & kReading) ||
      (first != nullptr && (first->state & SnapState::kStartedAtCreation) != 0))
    return Common::Error();
  SbReadInfo info;
  std::memset(&info, 0, sizeof info);
  info.size = sizeof info;
  const SbStatus st = sbGetReadInfo(handle_, &info);
  if (st != SB_OK) return StatusFail(15, Da::SnapCode::kReadState, 1227, st);
  if (!(info.flags & SB_READINFO_PENDING)) return Common::Error();
  auto it = members_.find(info.volume);
  if (it == members_.end()) return Fail(16, Da::SnapCode::kReadStateInconsistent, 1228);
  volume = it->second;
  sector = info.first_sector;
  return Common::Error();
}

Common::Error SnapshotGroup::SetSnapshotHandle(std::uint32_t handle) {
  if (handle_ != 0 || members_.size() != 1 || (state_ & kStarted))
    return Fail(17, Da::SnapCode::kHandleSequence, 1251);
  const SbStatus st = sbLock(handle);
  if (!LockAnswerOk(st)) return StatusFail(18, Da::SnapCode::kLock, 1232, st);
  // Adopted, not owned: teardown unlocks it but leaves the closing to
  // whoever made it.
  handle_ = handle;
  state_ |= kLocked | kStarted;
  return Common::Error();
}

Common::Error SnapshotGroup::AllocateMemory(void*& block, std::uint32_t size) {
  block = nullptr;
  if (memory_) return Fail(19, Da::SnapCode::kMemorySequence, 1240);
  memory_.reset(new (std::nothrow) std::uint8_t[size]());
  if (!memory_) {
    Common::Error e = Fail(20, Da::SnapCode::kAllocate, 1261);
    Common::AttachWin32Cause(e, kNotEnoughMemory);
    return e;
  }
  block = memory_.get();
  return Common::Error();
}

void SnapshotGroup::Teardown() {
  if (reader_.joinable()) {
    {
      Common::CriticalSectionLock guard(&lock_);
      state_ |= kStop;
    }
    // A thread whose event is gone has ended its wait already: it is
    // joined either way, never left running over a destroyed group.
    Da::SnapshotEventSet(event_);
    reader_.join();
  }
  SnapshotStorage::Release(storage_);
  storage_ = nullptr;
  transferAllocation_.reset();
  transfer_ = nullptr;
  if (state_ & kLocked) sbUnlock(handle_);
  if (state_ & kOpen) sbClose(handle_);
  state_ &= ~(kLocked | kOpen);
  memory_.reset();
  NotifyHostSnapshotEnd();
  members_.clear();
}
