// Parity RAID plexes: chunk mapping, rebuilding reads, and writes through a
// one-stripe cache with read-modify-write parity.
#include "fdisk/dm_raid.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Fdisk {
namespace DM {
namespace {
namespace K = NamedVars::Keys;

constexpr std::uint32_t kRaidModule = 0xEA3ECF3F;
constexpr std::uint32_t kRebuildReadLocation = 0x07F9DC7D;
constexpr std::uint32_t kWriteRefusedLocation = 0x07F9DC45;
constexpr std::uint32_t kTooManyFailedLocation = 0x07F9DB8E;
constexpr std::uint32_t kRebuildColumnLocation = 0x07F9DBA7;
constexpr std::uint32_t kWriteRunLocation = 0x07F9DC24;
constexpr std::uint32_t kWriteRunAtEndLocation = 0x07F9DC3A;
constexpr std::uint32_t kWriteBackLocation = 0x07F9DC01;
constexpr std::uint32_t kUnusableLocation = 0x07F9DC02;
constexpr std::uint32_t kNoColumnLocation = 0x07F9DC03;
constexpr std::uint32_t kPastEndLocation = 0x07F9DC04;

constexpr std::uint32_t kCacheModule = 0xEA3ECF40;
constexpr std::uint32_t kCacheSizeLocation = 0x07F9DD01;

Common::Error PlexError(std::uint32_t location) {
  return MakeError(location, kRaidModule, kErrPlexIo, Msg::kPlexIo);
}

void XorInto(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) {
  // Sector buffers are whole multiples of 4 bytes; memcpy keeps the access
  // free of alignment assumptions.
  for (std::size_t i = 0; i < bytes; i += 4) {
    std::uint32_t a, b;
    std::memcpy(&a, to + i, 4);
    std::memcpy(&b, from + i, 4);
    a ^= b;
    std::memcpy(to + i, &a, 4);
  }
}

// Calls `run(first, count)` for every run of consecutive sectors j < size
// for which `want(j)` holds; stops at the first run that returns an error.
template <class Want, class Run>
Common::Error ForEachRun(std::uint32_t size, Want want, Run run) {
  std::uint32_t j = 0;
  while (j < size) {
    if (!want(j)) {
      ++j;
      continue;
    }
    std::uint32_t end = j + 1;
    while (end < size && want(end)) ++end;
    Common::Error e = run(j, end - j);
    if (e) return e;
    j = end;
  }
  return Common::NoError;
}
}  // namespace

// ---------------------------------------------------------------------------
// Chunk mapping

ChunkResult ChunkIndex4::Map(LayoutType, std::uint64_t chunk, std::uint32_t dataColumns,
                             std::uint32_t) {
  ChunkResult& r = *this;
  r.stripe = chunk / dataColumns;
  r.parityColumn = dataColumns;
  r.dataColumn = std::uint32_t(chunk % dataColumns);
  return r;
}

ChunkResult ChunkIndex5::Map(LayoutType layout, std::uint64_t chunk, std::uint32_t dataColumns,
                             std::uint32_t columns) {
  ChunkResult& r = *this;
  r.stripe = chunk / dataColumns;
  const std::uint32_t e = std::uint32_t(chunk % dataColumns);
  const std::uint32_t rotation = std::uint32_t(r.stripe % columns);
  const bool leftward = layout == kLeftAsymmetric || layout == kLeftSymmetric;
  const bool symmetric = layout == kLeftSymmetric || layout == kRightSymmetric;
  r.parityColumn = leftward ? dataColumns - rotation : rotation;
  if (symmetric) {
    r.dataColumn = (r.parityColumn + 1 + e) % columns;
  } else {
    r.dataColumn = e >= r.parityColumn ? e + 1 : e;
  }
  return r;
}

// ---------------------------------------------------------------------------
// Stripe cache

namespace {
std::uint32_t CacheBytes(std::uint32_t columns, std::uint32_t chunk, std::uint32_t sectorBytes) {
  const std::uint64_t bytes = std::uint64_t(columns) * chunk * sectorBytes;
  if (bytes > std::numeric_limits<std::uint32_t>::max() - sectorBytes) {
    ThrowError(kCacheSizeLocation, kCacheModule, kErrOutOfMemory, Fdisk::Msg::kOutOfMemory);
  }
  return std::uint32_t(bytes);
}
}  // namespace

StripeCache::StripeCache(std::uint32_t columns, std::uint64_t stripe, std::uint32_t chunkSize,
                         std::uint32_t sectorBytes)
    : columns_(columns),
      stripe_(stripe),
      chunk_(chunkSize),
      sectorBytes_(sectorBytes),
      data_(CacheBytes(columns, chunkSize, sectorBytes), sectorBytes),
      dirty_(std::size_t(columns) * chunkSize),
      loaded_(std::size_t(columns) * chunkSize),
      failed_(columns) {}

void StripeCache::MarkDirty(std::uint32_t column, std::uint32_t first, std::uint32_t count) {
  for (std::uint32_t j = first; j < first + count; ++j) dirty_[std::size_t(column) * chunk_ + j] = true;
}

void StripeCache::MarkLoaded(std::uint32_t column, std::uint32_t first, std::uint32_t count) {
  for (std::uint32_t j = first; j < first + count; ++j) loaded_[std::size_t(column) * chunk_ + j] = true;
}

void StripeCache::SetDirty(std::uint32_t column, const std::vector<bool>& map) {
  for (std::uint32_t j = 0; j < chunk_; ++j) dirty_[std::size_t(column) * chunk_ + j] = map[j];
}

void StripeCache::SetLoaded(std::uint32_t column, const std::vector<bool>& map) {
  for (std::uint32_t j = 0; j < chunk_; ++j) loaded_[std::size_t(column) * chunk_ + j] = map[j];
}

std::uint32_t StripeCache::FailedCount() const {
  return std::uint32_t(std::count(failed_.begin(), failed_.end(), true));
}

std::uint32_t StripeCache::FirstFailed() const {
  for (std::uint32_t i = 0; i < columns_; ++i) {
    if (failed_[i]) return i;
  }
  return columns_;
}

bool StripeCache::AnyDirty() const {
  return std::find(dirty_.begin(), dirty_.end(), true) != dirty_.end();
}

std::vector<bool> StripeCache::DirtyUnion() const {
  std::vector<bool> u(chunk_);
  for (std::uint32_t i = 0; i < columns_; ++i) {
    for (std::uint32_t j = 0; j < chunk_; ++j) {
      if (dirty_[std::size_t(i) * chunk_ + j]) u[j] = true;
    }
  }
  return u;
}

void StripeCache::Reset(std::uint64_t stripe) {
  if (stripe == stripe_) return;
  stripe_ = stripe;
  std::fill(dirty_.begin(), dirty_.end(), false);
  std::fill(loaded_.begin(), loaded_.end(), false);
  std::fill(failed_.begin(), failed_.end(), false);
}

// ---------------------------------------------------------------------------
// Parity plex I/O

RaidParityBase::RaidParityBase(const NamedVars::VarContainer& plex, ColumnMap* columns,
                               std::uint32_t plexId, std::unique_ptr<ChunkIndex> index)
    : status_(ReadPlexStatus(plex)),
      plexId_(plexId),
      columns_(columns),
      chunkSize_(plex.GetOr(K::ChunkSize, kDefaultChunkSize)),
      layout_(plex.GetOr(K::LayoutName, kLeftAsymmetric)),
      index_(std::move(index)) {}

RaidParityBase::~RaidParityBase() = default;

std::uint32_t RaidParityBase::ColumnCount() const {
  return columns_ ? std::uint32_t(columns_->size()) : 0;
}

std::uint64_t RaidParityBase::StripeDataSize() const {
  const std::uint32_t n = ColumnCount();
  return n < 2 ? 0 : std::uint64_t(n - 1) * chunkSize_;
}

Common::Error RaidParityBase::Usable() const {
  // Parity needs a data column and a parity column, and a chunk to place.
  if (ColumnCount() < 2 || chunkSize_ == 0 || !LayoutUsable()) {
    return PlexError(kUnusableLocation);
  }
  return Common::NoError;
}

// A request past the last whole stripe would make every column fail in the
// stripe cache and leave a healthy plex failed for good; it is refused
// before any column is touched.
Common::Error RaidParityBase::InsidePlex(std::uint64_t sector, std::uint64_t count) const {
  std::uint64_t shortest = ~std::uint64_t(0);
  for (std::uint32_t i = 0; i < ColumnCount(); ++i) {
    auto it = columns_->find(i);
    // A missing column is a failed one, rebuilt from the others; it does
    // not bound the plex.
    if (it != columns_->end() && it->second) shortest = std::min(shortest, it->second->Length());
  }
  const std::uint64_t stripes = shortest / chunkSize_;
  const std::uint64_t size =
      stripes > ~std::uint64_t(0) / StripeDataSize() ? ~std::uint64_t(0) : stripes * StripeDataSize();
  if (sector > size || count > size - sector) {
    return MakeError(kPastEndLocation, kRaidModule, kErrPositionOverflow, Msg::kPositionOverflow);
  }
  return Common::NoError;
}

ChunkResult RaidParityBase::MapChunk(std::uint64_t chunk) {
  const std::uint32_t n = ColumnCount();
  return index_->Map(layout_, chunk, n - 1, n);
}

Common::Error RaidParityBase::ColumnIo(std::uint32_t column, std::uint32_t op,
                                       std::uint64_t sector, void* buffer, std::uint64_t count) {
  auto it = columns_->find(column);
  if (it == columns_->end() || !it->second) return PlexError(kNoColumnLocation);
  return it->second->Io(op, sector, buffer, count);
}

Common::Error RaidParityBase::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                                 std::uint64_t count) {
  if (op != kIoRead && op != kIoWrite) return Common::NoError;
  if (count == 0) return Common::NoError;
  Common::CriticalSectionLock hold(&lock_);
  try {
    if (Common::Error e = Usable()) return e;
    if (Common::Error e = InsidePlex(sector, count)) return e;
    if (op == kIoRead) return Read(sector, static_cast<std::uint8_t*>(buffer), count);
    Common::Error e = Write(sector, static_cast<const std::uint8_t*>(buffer), count);
    if (e) return e;
    return Flush();
  } catch (const Common::Error& e) {
    return e;
  }
}

Common::Error RaidParityBase::Read(std::uint64_t sector, std::uint8_t* buffer,
                                   std::uint64_t count) {
  const std::uint64_t c = chunkSize_;
  const std::uint32_t n = ColumnCount();
  while (count > 0) {
    const std::uint64_t within = sector % c;
    const std::uint64_t piece = std::min(count, c - within);
    const ChunkResult at = MapChunk(sector / c);
    const std::uint64_t columnSector = at.stripe * c + within;
    if (ColumnIo(at.dataColumn, kIoRead, columnSector, buffer, piece)) {
      status_.Raise(kPlexDegraded);
      const std::size_t bytes = std::size_t(piece) * sectorBytes_;
      std::memset(buffer, 0, bytes);
      AlignedBuffer other(std::uint32_t(bytes), sectorBytes_);
      for (std::uint32_t i = 0; i < n; ++i) {
        if (i == at.dataColumn) continue;
        if (Common::Error e = ColumnIo(i, kIoRead, columnSector, other.Get(), piece)) {
          status_.Raise(kPlexFailed);
          Common::Error result = PlexError(kRebuildReadLocation);
          Common::AttachErrorCause(result, e);
          return result;
        }
        XorInto(buffer, other.Get(), bytes);
      }
    }
    buffer += piece * sectorBytes_;
    sector += piece;
    count -= piece;
  }
  return Common::NoError;
}

void RaidParityBase::EnsureCache() {
  if (!cache_) cache_ = std::make_unique<StripeCache>(ColumnCount(), 0, chunkSize_, sectorBytes_);
}

Common::Error RaidParityBase::Write(std::uint64_t sector, const std::uint8_t* buffer,
                                    std::uint64_t count) {
  if (status_.Get() == kPlexFailed) return PlexError(kWriteRefusedLocation);
  EnsureCache();
  const std::uint64_t c = chunkSize_;
  Common::Error first;
  while (count > 0) {
    const std::uint32_t within = std::uint32_t(sector % c);
    const std::uint32_t piece = std::uint32_t(std::min<std::uint64_t>(count, c - within));
    const ChunkResult at = MapChunk(sector / c);
    // A failed flush of the stripe left behind is reported (the first one,
    // once the request is done); the data of this request still goes out.
    Common::Error e = SelectStripe(at.stripe);
    if (e && !first) first = e;
    std::memcpy(cache_->Area(at.dataColumn, within), buffer, std::size_t(piece) * sectorBytes_);
    cache_->MarkDirty(at.dataColumn, within, piece);
    unflushed_ = true;
    buffer += std::size_t(piece) * sectorBytes_;
    sector += piece;
    count -= piece;
  }
  return first;
}

Common::Error RaidParityBase::SelectStripe(std::uint64_t stripe) {
  if (cache_->Stripe() == stripe) return Common::NoError;
  Common::Error e = Flush();
  cache_->Reset(stripe);
  return e;
}

Common::Error RaidParityBase::LoadColumn(std::uint32_t column, const std::vector<bool>& set) {
  StripeCache& cache = *cache_;
  const std::uint64_t base = cache.Stripe() * chunkSize_;
  return ForEachRun(
      chunkSize_, [&](std::uint32_t j) { return set[j] && !cache.Dirty(column, j); },
      [&](std::uint32_t first, std::uint32_t count) {
        Common::Error e = ColumnIo(column, kIoRead, base + first, cache.Area(column, first), count);
        if (e) {
          cache.MarkFailed(column);
          return e;
        }
        cache.MarkLoaded(column, first, count);
        return Common::NoError;
      });
}

Common::Error RaidParityBase::WriteDirtyRuns(std::uint32_t column) {
  StripeCache& cache = *cache_;
  if (cache.Failed(column)) return Common::NoError;
  const std::uint64_t base = cache.Stripe() * chunkSize_;
  return ForEachRun(
      chunkSize_, [&](std::uint32_t j) { return cache.Dirty(column, j); },
      [&](std::uint32_t first, std::uint32_t count) {
        Common::Error e =
            ColumnIo(column, kIoWrite, base + first, cache.Area(column, first), count);
        if (!e) return Common::NoError;
        cache.MarkFailed(column);
        if (cache.FailedCount() == 1) {
          status_.Raise(kPlexDegraded);
          return e;
        }
        status_.Raise(kPlexFailed);
        Common::Error result = PlexError(first + count == chunkSize_ ? kWriteRunAtEndLocation
                                                                      : kWriteRunLocation);
        Common::AttachErrorCause(result, e);
        return result;
      });
}

void RaidParityBase::ComputeParity(std::uint32_t parity) {
  StripeCache& cache = *cache_;
  const std::size_t bytes = std::size_t(chunkSize_) * sectorBytes_;
  std::uint8_t* p = cache.Area(parity, 0);
  std::memset(p, 0, bytes);
  for (std::uint32_t i = 0; i < cache.Columns(); ++i) {
    if (i != parity) XorInto(p, cache.Area(i, 0), bytes);
  }
}

// Rebuilds the sectors of `set` of the failed data column from the parity
// and the other columns as they are on disk. Sectors the caller has just
// written into the failed column keep the caller's data: the recomputed
// parity is then the only place that data lives on.
Common::Error RaidParityBase::Repair(std::uint32_t parity, std::uint32_t failed,
                                     const std::vector<bool>& set) {
  StripeCache& cache = *cache_;
  if (Common::Error e = LoadColumn(parity, set)) return e;
  const std::size_t sectorBytes = sectorBytes_;
  const std::size_t bytes = std::size_t(chunkSize_) * sectorBytes;
  AlignedBuffer rebuilt(std::uint32_t(bytes), sectorBytes_);
  AlignedBuffer scratch(std::uint32_t(bytes), sectorBytes_);
  std::memcpy(rebuilt.Get(), cache.Area(parity, 0), bytes);
  const std::uint64_t base = cache.Stripe() * chunkSize_;
  for (std::uint32_t i = 0; i < cache.Columns(); ++i) {
    if (i == parity || i == failed) continue;
    // Sectors this request changed are in the cache in their new form; the
    // parity on disk still matches the old one.
    for (std::uint32_t j = 0; j < chunkSize_; ++j) {
      if (set[j] && !cache.Dirty(i, j)) {
        std::memcpy(scratch.Get() + j * sectorBytes, cache.Area(i, j), sectorBytes);
      }
    }
    Common::Error e = ForEachRun(
        chunkSize_, [&](std::uint32_t j) { return set[j] && cache.Dirty(i, j); },
        [&](std::uint32_t first, std::uint32_t count) {
          return ColumnIo(i, kIoRead, base + first, scratch.Get() + first * sectorBytes, count);
        });
    if (e) {
      status_.Raise(kPlexFailed);
      Common::Error result = PlexError(kRebuildColumnLocation);
      Common::AttachErrorCause(result, e);
      return result;
    }
    for (std::uint32_t j = 0; j < chunkSize_; ++j) {
      if (set[j]) XorInto(rebuilt.Get() + j * sectorBytes, scratch.Get() + j * sectorBytes, sectorBytes);
    }
  }
  for (std::uint32_t j = 0; j < chunkSize_; ++j) {
    if (set[j] && !cache.Dirty(failed, j)) {
      std::memcpy(cache.Area(failed, j), rebuilt.Get() + j * sectorBytes, sectorBytes);
    }
  }
  cache.SetLoaded(failed, set);
  cache.SetLoaded(parity, std::vector<bool>(chunkSize_, true));
  return Common::NoError;
}

Common::Error RaidParityBase::Flush() {
  if (!cache_ || !cache_->AnyDirty() || !unflushed_) return Common::NoError;
  StripeCache& cache = *cache_;
  const std::uint32_t n = cache.Columns();
  const std::uint32_t parity = MapChunk(cache.Stripe() * (n - 1)).parityColumn;
  const std::vector<bool> set = cache.DirtyUnion();

  // Fill: everything the parity of the dirty sectors depends on.
  for (std::uint32_t i = 0; i < n; ++i) {
    if (i == parity) continue;
    if (LoadColumn(i, set)) status_.Raise(kPlexDegraded);
  }

  // Repair: one lost data column is rebuilt so that the new parity still
  // covers it.
  const std::uint32_t failedCount = cache.FailedCount();
  if (failedCount >= 2) {
    status_.Raise(kPlexFailed);
    return PlexError(kTooManyFailedLocation);
  }
  if (failedCount == 1 && !cache.Failed(parity)) {
    if (Common::Error e = Repair(parity, cache.FirstFailed(), set)) return e;
  }

  ComputeParity(parity);
  cache.SetDirty(parity, set);

  for (std::uint32_t i = 0; i < n; ++i) WriteDirtyRuns(i);
  unflushed_ = false;
  if (status_.Get() == kPlexFailed) return PlexError(kWriteBackLocation);
  return Common::NoError;
}

Common::Error RaidParityBase::RecalculateStripe(std::uint64_t sector) {
  Common::CriticalSectionLock hold(&lock_);
  try {
    if (Common::Error e = Usable()) return e;
    EnsureCache();
    const std::uint32_t n = ColumnCount();
    const ChunkResult at = MapChunk(sector / chunkSize_);
    if (Common::Error e = SelectStripe(at.stripe)) return e;
    const std::vector<bool> all(chunkSize_, true);
    for (std::uint32_t i = 0; i < n; ++i) {
      if (i == at.parityColumn) continue;
      if (Common::Error e = LoadColumn(i, all)) return e;
    }
    ComputeParity(at.parityColumn);
    cache_->SetDirty(at.parityColumn, all);
    WriteDirtyRuns(at.parityColumn);
    return Common::NoError;
  } catch (const Common::Error& e) {
    return e;
  }
}

Raid4PlexIO::Raid4PlexIO(const NamedVars::VarContainer& plex, ColumnMap* columns,
                         std::uint32_t plexId)
    : RaidParityBase(plex, columns, plexId, std::make_unique<ChunkIndex4>()) {}

Raid5PlexIO::Raid5PlexIO(const NamedVars::VarContainer& plex, ColumnMap* columns,
                         std::uint32_t plexId)
    : RaidParityBase(plex, columns, plexId, std::make_unique<ChunkIndex5>()) {}

bool Raid5PlexIO::LayoutUsable() const {
  return Layout() >= kLeftAsymmetric && Layout() <= kRightSymmetric;
}

}  // namespace DM
}  // namespace Fdisk
