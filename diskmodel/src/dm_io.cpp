// Columns of sub-disk extents, their failure reports, and the plex I/O of
// simple and striped plexes.
#include "fdisk/dm_io.h"

#include <algorithm>
#include <utility>

#include "foundation/trace.h"

namespace Fdisk {
namespace DM {
namespace {
namespace K = NamedVars::Keys;

constexpr std::uint32_t kColumnModule = 0xBB4E4CCE;
constexpr std::uint32_t kPositionLocation = 0xCB0319C0;
constexpr std::uint32_t kExtentFailedLocation = 0xCB0319EB;
constexpr std::uint32_t kDiskMissingLocation = 0xCB0319FF;
constexpr std::uint32_t kDiskIoLocation = 0xCB031A0F;
constexpr std::uint32_t kSectorSizeLocation = 0xCB031A10;

constexpr std::uint32_t kSimplePlexModule = 0x6A16A856;
constexpr std::uint32_t kSimpleColumnLocation = 0xDBBD0DE1;
constexpr std::uint32_t kSimpleNoColumnLocation = 0xDBBD0DE2;

constexpr std::uint32_t kStripedPlexModule = 0x889A6451;
constexpr std::uint32_t kStripedNoColumnLocation = 0xAF9A68D0;
constexpr std::uint32_t kStripedColumnLocation = 0xAF9A68D8;
constexpr std::uint32_t kStripedNoChunkLocation = 0xAF9A68D9;

Error PositionOverflow() {
  return Error(MakeError(kPositionLocation, kColumnModule, kErrPositionOverflow,
                         Msg::kPositionOverflow));
}
}  // namespace

PlexStatus ReadPlexStatus(const NamedVars::VarContainer& plex) {
  return plex.GetOr(K::PlexStatus, kPlexHealthy);
}

// ---------------------------------------------------------------------------
// Dispatcher

void MessageDispatcher::AddListener(const std::weak_ptr<MessageListener>& listener) {
  Common::CriticalSectionLock hold(&lock_);
  listeners_.push_back(listener);
}

void MessageDispatcher::Post(std::unique_ptr<Message> message) {
  if (!message) return;
  std::vector<std::weak_ptr<MessageListener>> listeners;
  {
    Common::CriticalSectionLock hold(&lock_);
    listeners = listeners_;
  }
  for (const std::weak_ptr<MessageListener>& reference : listeners) {
    // A listener that has gone away cannot be locked and is passed over.
    if (std::shared_ptr<MessageListener> listener = reference.lock()) {
      listener->OnMessage(*message);
    }
  }
}

// ---------------------------------------------------------------------------
// Columns

SubDiskUnion::SubDiskUnion(ExtentVector* extents, DiskMap* disks, std::uint32_t columnKey,
                           MessageDispatcher* dispatcher)
    : dispatcher_(dispatcher), extents_(extents), disks_(disks), columnKey_(columnKey) {}

std::pair<SubDiskExtent*, std::uint64_t> SubDiskUnion::Locate(std::uint64_t sector) const {
  for (SubDiskExtent& extent : *extents_) {
    if (extent.columnKey != columnKey_) continue;
    if (sector < extent.length) return {&extent, sector};
    sector -= extent.length;
  }
  TraceError(1, PositionOverflow());
  throw PositionOverflow();
}

std::uint64_t SubDiskUnion::Length() const {
  std::uint64_t total = 0;
  if (extents_ == nullptr) return 0;
  for (const SubDiskExtent& extent : *extents_) {
    if (extent.columnKey == columnKey_) total += extent.length;
  }
  return total;
}

Common::Error SubDiskUnion::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                               std::uint64_t count) {
  if (count == 0) return Common::NoError;
  // Both ends must lie inside the column before any disk is touched.
  const std::uint64_t last = sector + (count - 1);
  if (last < sector) return PositionOverflow();
  std::pair<SubDiskExtent*, std::uint64_t> first;
  try {
    first = Locate(sector);
    Locate(last);
  } catch (const Error& e) {
    return e;
  }

  std::uint8_t* at = static_cast<std::uint8_t*>(buffer);
  std::uint64_t remaining = count;
  std::uint64_t offset = first.second;
  for (auto it = extents_->begin() + (first.first - extents_->data());
       it != extents_->end() && remaining > 0; ++it) {
    SubDiskExtent& extent = *it;
    if (extent.columnKey != columnKey_) continue;
    if (extent.length == offset) {  // an empty extent holds nothing
      offset = 0;
      continue;
    }
    if (extent.failed.load()) {
      return MakeError(kExtentFailedLocation, kColumnModule, kErrSubDiskSkipped,
                       Msg::kSubDiskSkipped);
    }
    auto disk = disks_ ? disks_->find(extent.diskId) : DiskMap::iterator();
    if (disks_ == nullptr || disk == disks_->end() || disk->second == nullptr) {
      return MakeError(kDiskMissingLocation, kColumnModule, kErrDiskNotFound,
                       Fdisk::Msg::kDiskNotFound);
    }
    if (disk->second->GetSectorSize() != kDmSectorBytes) {
      // The caller's buffer is sized for 512-byte sectors: a member with
      // larger sectors would write past it, so it is refused, not failed.
      return MakeError(kSectorSizeLocation, kColumnModule, kErrInvalidIo, Fdisk::Msg::kInvalidIo);
    }
    const std::uint64_t n = std::min(remaining, extent.length - offset);
    const Common::Error diskError = disk->second->Io(op, extent.start + offset, at, n);
    if (diskError) {
      extent.failed.store(true);
      if (dispatcher_) dispatcher_->Post(std::make_unique<SubDiskErrorMessage>(extent, diskError));
      Common::Error result =
          MakeError(kDiskIoLocation, kColumnModule, kErrSubDiskSkipped, Msg::kSubDiskSkipped);
      Common::AttachErrorCause(result, diskError);
      return result;
    }
    at += n * kDmSectorBytes;
    remaining -= n;
    offset = 0;
  }
  return Common::NoError;
}

// ---------------------------------------------------------------------------
// Simple plexes

SimplePlexIO::SimplePlexIO(const NamedVars::VarContainer& plex, ColumnMap* columns,
                           std::uint32_t plexId)
    : status_(ReadPlexStatus(plex)), plexId_(plexId), columns_(columns) {}

Common::Error SimplePlexIO::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                               std::uint64_t count) {
  if (columns_ == nullptr || columns_->empty() || !columns_->begin()->second) {
    // Nothing to read from or write to: the plex cannot serve any request.
    status_.Raise(kPlexFailed);
    return MakeError(kSimpleNoColumnLocation, kSimplePlexModule, kErrPlexIo, Msg::kPlexIo);
  }
  const Common::Error e = columns_->begin()->second->Io(op, sector, buffer, count);
  if (e) {
    status_.Raise(kPlexFailed);
    Common::Error result =
        MakeError(kSimpleColumnLocation, kSimplePlexModule, kErrPlexIo, Msg::kPlexIo);
    Common::AttachErrorCause(result, e);
    return result;
  }
  return Common::NoError;
}

// ---------------------------------------------------------------------------
// Striped plexes

Raid0PlexIO::Raid0PlexIO(const NamedVars::VarContainer& plex, ColumnMap* columns,
                         std::uint32_t plexId)
    : status_(ReadPlexStatus(plex)),
      plexId_(plexId),
      columns_(columns),
      chunkSize_(plex.GetOr(K::ChunkSize, kDefaultChunkSize)) {}

Common::Error Raid0PlexIO::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                              std::uint64_t count) {
  if (count == 0) return Common::NoError;
  const std::uint64_t c = chunkSize_;
  const std::uint64_t n = columns_ ? columns_->size() : 0;
  if (n == 0) {
    return MakeError(kStripedNoColumnLocation, kStripedPlexModule, kErrPlexIo, Msg::kPlexIo);
  }
  if (c == 0) {
    // A zero chunk cannot place any sector.
    return MakeError(kStripedNoChunkLocation, kStripedPlexModule, kErrPlexIo, Msg::kPlexIo);
  }
  std::uint8_t* at = static_cast<std::uint8_t*>(buffer);
  while (count > 0) {
    const std::uint64_t chunk = sector / c;
    const std::uint64_t within = sector % c;
    const std::uint64_t piece = std::min(count, c - within);
    const std::uint64_t key = chunk % n;
    const std::uint64_t row = chunk / n;
    auto column = columns_->find(std::uint32_t(key));
    if (column == columns_->end() || !column->second) {
      return MakeError(kStripedNoColumnLocation, kStripedPlexModule, kErrPlexIo, Msg::kPlexIo);
    }
    const Common::Error e = column->second->Io(op, row * c + within, at, piece);
    if (e) {
      status_.Raise(kPlexFailed);
      Common::Error result =
          MakeError(kStripedColumnLocation, kStripedPlexModule, kErrPlexIo, Msg::kPlexIo);
      Common::AttachErrorCause(result, e);
      return result;
    }
    at += piece * kDmSectorBytes;
    sector += piece;
    count -= piece;
  }
  return Common::NoError;
}

}  // namespace DM
}  // namespace Fdisk
