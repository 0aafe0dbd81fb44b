// Composite volumes: plexes, the volume I/O and the range lock.
#include "fdisk/dm_volume.h"

#include <algorithm>
#include <limits>

#include "fdisk/dm_raid.h"
#include "foundation/trace.h"

namespace Fdisk {
namespace DM {
namespace {
namespace K = NamedVars::Keys;

constexpr std::uint32_t kVolumeModule = 0x12D32C6F;
constexpr std::uint32_t kReadNoPlexLocation = 0x115BD9A1;
constexpr std::uint32_t kWritePlexFailedLocation = 0x115BD9BD;
constexpr std::uint32_t kWriteNoPlexLocation = 0x115BD9C2;

constexpr std::uint32_t kPlextorModule = 0x649F2115;
constexpr std::uint32_t kFindPlexLocation = 0x7E255C06;
}  // namespace

// ---------------------------------------------------------------------------
// Range lock

RegionLock::RegionLock() : wake_(0) {}
RegionLock::~RegionLock() = default;

void RegionLock::Lock(std::uint64_t first, std::uint64_t count) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (count == 0) count = 1;
  // The range ends at the last sector there is, never wraps.
  const std::uint64_t last = count - 1 > kMax - first ? kMax : first + (count - 1);
  const Range wanted{first, last - first + 1 == 0 ? kMax : last - first + 1};
  for (;;) {
    Common::CriticalSectionLock hold(&lock_);
    auto it = std::lower_bound(held_.begin(), held_.end(), first, [](const Range& r, std::uint64_t s) {
      return r.first + (r.count - 1) < s;
    });
    if (it == held_.end() || last < it->first) {
      held_.insert(it, wanted);
      return;
    }
    ++waiters_;
    hold.Leave();
    wake_.Wait();
  }
}

void RegionLock::Unlock(std::uint64_t first) {
  std::uint32_t wake = 0;
  {
    Common::CriticalSectionLock hold(&lock_);
    auto it = std::lower_bound(held_.begin(), held_.end(), first,
                               [](const Range& r, std::uint64_t s) { return r.first < s; });
    if (it != held_.end() && it->first == first) held_.erase(it);
    wake = waiters_;
    waiters_ = 0;
  }
  // Every waiter looks again: the one whose range just came free must not
  // sleep on while another took the only wake-up.
  if (wake > 0) wake_.Release(std::int32_t(wake));
}

std::vector<RegionLock::Range> RegionLock::Held() {
  Common::CriticalSectionLock hold(&lock_);
  return held_;
}

std::uint32_t RegionLock::Waiting() {
  Common::CriticalSectionLock hold(&lock_);
  return waiters_;
}

// ---------------------------------------------------------------------------
// Volume I/O

FastPlextorIO::FastPlextorIO(PlexMap* plexes, VolumeStatus status, std::uint32_t plextorId)
    : status_(status), plextorId_(plextorId), plexes_(plexes) {}

Common::Error FastPlextorIO::ReadPlexes(std::uint64_t sector, void* buffer, std::uint64_t count) {
  for (auto& entry : *plexes_) {
    PlexIO* io = entry.second->GetPlexIO();
    if (io == nullptr) continue;  // a plex type without I/O holds nothing readable
    if (!io->Io(kIoRead, sector, buffer, count)) return Common::NoError;
  }
  return MakeError(kReadNoPlexLocation, kVolumeModule, kErrNoHealthyPlex, Msg::kNoHealthyPlex);
}

Common::Error FastPlextorIO::WritePlexes(const std::vector<Plex*>& plexes, std::uint64_t sector,
                                         void* buffer, std::uint64_t count) {
  std::size_t took = 0;
  std::size_t failed = 0;
  for (Plex* plex : plexes) {
    PlexIO* io = plex->GetPlexIO();
    // A plex that cannot be written misses the data like a failing one.
    if (io == nullptr || io->Io(kIoWrite, sector, buffer, count)) {
      ++failed;
    } else {
      ++took;
    }
  }
  if (took == 0) {
    return MakeError(kWriteNoPlexLocation, kVolumeModule, kErrNoHealthyPlex, Msg::kNoHealthyPlex);
  }
  if (failed > 0) {
    return MakeError(kWritePlexFailedLocation, kVolumeModule, kErrRedundancyLost,
                     Msg::kRedundancyLost);
  }
  return Common::NoError;
}

Common::Error FastPlextorIO::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                                std::uint64_t count) {
  RegionLock::Scope range(lock_, sector, count);
  Common::Error result;
  try {
    if (op == kIoRead) {
      result = ReadPlexes(sector, buffer, count);
    } else if (op == kIoWrite) {
      std::vector<Plex*> all;
      for (auto& entry : *plexes_) all.push_back(entry.second.get());
      result = WritePlexes(all, sector, buffer, count);
    }
  } catch (const Common::Error& e) {
    result = e;
  }
  switch (result.Code()) {
    case kErrNoHealthyPlex:
      status_.Raise(kVolumeFailed);
      break;
    case kErrRedundancyLost:
      // The data is on at least one plex: the caller has what it asked for.
      status_.Raise(kVolumeDegraded);
      result.Reset();
      break;
    default:
      break;
  }
  return result;
}

// ---------------------------------------------------------------------------
// Plexes

Plex::~Plex() = default;

void Plex::AddColumn(std::uint32_t key, std::unique_ptr<SubIO> column) {
  columns_.emplace(key, std::move(column));  // a taken key drops `column`
}

SimplePlex::SimplePlex(const NamedVars::VarContainer& plex, DiskMap* disks)
    : type_(plex.GetRequired(K::PlexTypeName)), disks_(disks) {
  const NamedVars::VarContainer copy(plex);
  switch (type_) {
    case kPlexStriped:
      io_ = std::make_unique<Raid0PlexIO>(copy, &columns_, GetId());
      break;
    case kPlexSimple:
      io_ = std::make_unique<SimplePlexIO>(copy, &columns_, GetId());
      break;
    case kPlexRaid4:
      io_ = std::make_unique<Raid4PlexIO>(copy, &columns_, GetId());
      break;
    case kPlexRaid5:
      io_ = std::make_unique<Raid5PlexIO>(copy, &columns_, GetId());
      break;
    default:
      break;
  }
}

SimplePlex::~SimplePlex() {
  // The plex I/O refers to the columns, the columns to the extents.
  io_.reset();
  columns_.clear();
}

void SimplePlex::AddSubDisk(std::uint32_t key, std::uint64_t start, std::uint64_t length,
                            std::uint32_t diskId, MessageDispatcher* dispatcher, bool usable) {
  auto at = std::upper_bound(extents_.begin(), extents_.end(), key,
                             [](std::uint32_t k, const SubDiskExtent& e) { return k < e.columnKey; });
  extents_.insert(at, SubDiskExtent(key, start, length, diskId, !usable));
  if (columns_.find(key) == columns_.end()) {
    AddColumn(key, std::make_unique<SubDiskUnion>(&extents_, disks_, key, dispatcher));
  }
}

// ---------------------------------------------------------------------------
// Plextor

Plextor::Plextor(const NamedVars::VarContainer& volume)
    : io_(std::make_unique<FastPlextorIO>(&plexes_, volume.GetOr(K::VolumeStatus, kVolumeHealthy),
                                          GetId())) {}

Plextor::~Plextor() {
  io_.reset();
  plexes_.clear();
}

std::uint32_t Plextor::AddPlex(const NamedVars::VarContainer& plex, DiskMap* disks) {
  auto created = std::make_unique<SimplePlex>(plex, disks);
  const std::uint32_t id = created->GetId();
  plexes_.emplace(id, std::move(created));
  return id;
}

Plex& Plextor::FindPlex(std::uint32_t plexId) {
  auto it = plexes_.find(plexId);
  if (it == plexes_.end()) {
    Error error(MakeError(kFindPlexLocation, kPlextorModule, kErrInvalidPlexId,
                          Msg::kInvalidPlexId));
    TraceError(1, error);
    throw error;
  }
  return *it->second;
}

}  // namespace DM
}  // namespace Fdisk
