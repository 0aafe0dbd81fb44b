// The FAT handlers (12-bit table held whole, 16- and 32-bit tables through a
// one-sector window), the allocation cursor and chain freeing.
#include <algorithm>

#include "files/file_error.h"
#include "fat_handlers.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kFatTableModuleId;

// The whole 12-bit table in one cached block, loaded on first use.
class FAT12Handler final : public FATDriver::FATHandler {
 public:
  using FATHandler::FATHandler;

  std::uint32_t GetEntry(std::uint32_t cluster) override {
    const std::uint16_t word = Common::LoadLe16(Table() + std::size_t(cluster) * 3 / 2);
    return (cluster & 1) ? word >> 4 : word & 0x0FFF;
  }

  void SetEntry(std::uint32_t cluster, std::uint32_t value) override {
    std::uint8_t* table = Table();
    block_.PrepareWrite();
    std::uint8_t* at = table + std::size_t(cluster) * 3 / 2;
    std::uint16_t word = Common::LoadLe16(at);
    value &= 0x0FFF;
    if (cluster & 1)
      word = std::uint16_t((word & 0x000F) | (value << 4));
    else
      word = std::uint16_t((word & 0xF000) | value);
    Common::StoreLe16(at, word);
    block_.MarkDirty();
  }

 protected:
  std::uint32_t WindowOf(std::uint32_t) const override { return 0; }

 private:
  std::uint8_t* Table() {
    if (!block_) {
      // Entries 0 to cluster count + 1, 12 bits each; the mount made sure the
      // FAT is that long, so the block never reaches past it.
      const std::uint64_t bytes = (std::uint64_t(driver_->ClusterCount() + 2) * 3 + 1) / 2;
      const std::uint64_t sectors = Common::UnitsFor(bytes, driver_->SectorSize());
      block_ = driver_->GetBlocks(driver_->ActiveFatStart(), sectors, false);
    }
    return block_.Data();
  }

  BlockHandle block_;
};

// One FAT sector at a time; Entry is the stored width, Mask the value bits.
template <class Entry, std::uint32_t Mask>
class FATXXHandler final : public FATDriver::FATHandler {
 public:
  explicit FATXXHandler(FATDriver* driver)
      : FATHandler(driver), perSector_(driver->SectorSize() / sizeof(Entry)) {}

  std::uint32_t GetEntry(std::uint32_t cluster) override {
    const std::uint8_t* at = EntryAt(cluster);
    if constexpr (sizeof(Entry) == 2)
      return Common::LoadLe16(at);
    else
      return Common::LoadLe32(at) & Mask;
  }

  void SetEntry(std::uint32_t cluster, std::uint32_t value) override {
    std::uint8_t* at = EntryAt(cluster);
    window_.PrepareWrite();
    if constexpr (sizeof(Entry) == 2) {
      Common::StoreLe16(at, std::uint16_t(value));
    } else {
      // The top four bits are reserved: they keep what was there.
      const std::uint32_t kept = Common::LoadLe32(at) & ~Mask;
      Common::StoreLe32(at, kept | (value & Mask));
    }
    window_.MarkDirty();
  }

 protected:
  std::uint32_t WindowOf(std::uint32_t cluster) const override { return cluster / perSector_; }

 private:
  std::uint8_t* EntryAt(std::uint32_t cluster) {
    const std::uint32_t sector = cluster / perSector_;
    if (!window_ || sector != windowSector_) {
      window_ = driver_->GetBlocks(std::uint64_t(driver_->ActiveFatStart()) + sector, 1, false);
      windowSector_ = sector;
    }
    return window_.Data() + std::size_t(cluster % perSector_) * sizeof(Entry);
  }

  const std::uint32_t perSector_;
  std::uint32_t windowSector_ = 0xFFFFFFFF;
  BlockHandle window_;
};

}  // namespace

FATDriver::FATHandler::~FATHandler() = default;

std::uint32_t FATDriver::FATHandler::WindowEnd(std::uint32_t cluster) const {
  // The last data cluster is cluster count + 1; find where the window ends
  // by bisecting on WindowOf, which only ever steps up with the cluster.
  const std::uint32_t last = driver_->ClusterCount() + 1;
  const std::uint32_t window = WindowOf(cluster);
  std::uint32_t low = cluster, high = last;
  if (WindowOf(high) == window) return last + 1;
  while (high - low > 1) {
    const std::uint32_t middle = low + (high - low) / 2;
    if (WindowOf(middle) == window)
      low = middle;
    else
      high = middle;
  }
  return high;
}

bool FATDriver::FATHandler::GetChainRun(ClusterRun& run) {
  const std::uint32_t c = run.next;
  if (!driver_->IsDataCluster(c)) return false;
  const std::uint32_t stop = WindowEnd(c);
  run.first = c;
  run.end = c + 1;
  std::uint32_t value = GetEntry(c);
  while (run.end < stop && value == run.end && driver_->IsDataCluster(run.end)) {
    value = GetEntry(run.end);
    ++run.end;
  }
  run.next = value;
  return true;
}

bool FATDriver::FATHandler::FindFreeRun(ClusterRun& run) {
  const std::uint32_t count = driver_->ClusterCount();
  const std::uint32_t limit = count + 2;
  std::uint32_t c = run.next < limit && run.next >= 2 ? run.next : 2;
  for (std::uint32_t visited = 0; visited < count; ++visited) {
    if (GetEntry(c) == 0) {
      const std::uint32_t stop = WindowOf(0) == WindowOf(count + 1) ? limit : WindowEnd(c);
      run.first = c;
      run.end = c + 1;
      while (run.end < stop && GetEntry(run.end) == 0) ++run.end;
      if (stop == limit && WindowOf(0) == WindowOf(count + 1)) {
        // The table is one window: continue one past the cluster that
        // ended the run.
        run.next = run.end < limit ? run.end + 1 : limit;
      } else {
        std::uint32_t next = run.end;
        while (next < stop && GetEntry(next) != 0) ++next;
        run.next = next;
      }
      return true;
    }
    if (++c == limit) c = 2;
  }
  return false;
}

std::uint32_t FATDriver::FATHandler::CountFreeClusters() {
  std::uint32_t free = 0;
  const std::uint32_t limit = driver_->ClusterCount() + 2;
  for (std::uint32_t c = 2; c < limit; ++c)
    if (GetEntry(c) == 0) ++free;
  return free;
}

std::unique_ptr<FATDriver::FATHandler> MakeFatHandler(FATDriver* driver) {
  switch (driver->Type()) {
    case FATDriver::FatType::kFat12:
      return std::make_unique<FAT12Handler>(driver);
    case FATDriver::FatType::kFat16:
      return std::make_unique<FATXXHandler<std::uint16_t, 0xFFFF>>(driver);
    case FATDriver::FatType::kFat32:
      break;
  }
  return std::make_unique<FATXXHandler<std::uint32_t, 0x0FFFFFFF>>(driver);
}

std::uint32_t FATDriver::AllocateCluster() {
  for (;;) {
    if (cursor_.first == cursor_.end && !handler_->FindFreeRun(cursor_)) {
      // Released chains become free at the next write-back: run one and
      // look again before calling the volume full.
      if (releasedChains_.empty()) ThrowFileError(0x01, kModuleId, kFileDiskFull);
      WriteBackCacheLocked();
      if (!releasedChains_.empty() || !handler_->FindFreeRun(cursor_))
        ThrowFileError(0x03, kModuleId, kFileDiskFull);
    }
    const std::uint32_t cluster = cursor_.first++;
    // Clusters of the cursor's run may have been taken since it was found
    // (a file made contiguous takes free clusters of its own choosing).
    if (handler_->GetEntry(cluster) != 0) continue;
    handler_->SetEntry(cluster, 0xFFFFFFFF);
    ChangeFreeCount(-1);
    freshClusters_.insert(cluster);
    return cluster;
  }
}

void FATDriver::LinkCluster(std::uint32_t previous, std::uint32_t next) {
  handler_->SetEntry(previous, next);
  // The new link leads to a fresh cluster: the volume may have it at once.
  heldLinks_.erase(previous);
}

void FATDriver::TakeClusters(std::uint32_t first, std::uint32_t count) {
  for (std::uint32_t c = first; c < first + count; ++c) freshClusters_.insert(c);
  ChangeFreeCount(-std::int32_t(count));
}

void FATDriver::CutChainAfter(std::uint32_t last) {
  const std::uint32_t old = handler_->GetEntry(last);
  heldLinks_.emplace(last, old);
  handler_->SetEntry(last, 0xFFFFFFFF);
}

void FATDriver::ReleaseChain(std::uint32_t firstCluster) {
  if (!IsDataCluster(firstCluster)) return;
  // Count what the freeing will find: up to a free entry, bounded.
  ClusterRun run;
  run.next = firstCluster;
  std::uint32_t counted = 0;
  while (counted < clusterCount_ && handler_->GetChainRun(run)) {
    bool stop = false;
    for (std::uint32_t c = run.first; c < run.end && !stop; ++c) {
      if (handler_->GetEntry(c) == 0) stop = true;
      else ++counted;
    }
    if (stop) break;
  }
  releasedChains_.push_back(firstCluster);
  releasedClusters_ += counted;
}

void FATDriver::ApplyReleases() {
  heldLinks_.clear();
  std::vector<std::uint32_t> chains;
  chains.swap(releasedChains_);
  releasedClusters_ = 0;
  // This runs inside a write-back, which may be walking the cache's
  // blocks: they stay (written already, so clean) and are reused or
  // overwritten when their clusters are handed out again.
  for (std::uint32_t first : chains) FreeChain(first, false);
}

void FATDriver::FreeClusterChain(std::uint32_t firstCluster) { FreeChain(firstCluster, true); }

void FATDriver::FreeChain(std::uint32_t firstCluster, bool discardBlocks) {
  ClusterRun run;
  run.next = firstCluster;
  std::uint32_t freed = 0;
  while (freed < clusterCount_ && handler_->GetChainRun(run)) {
    for (std::uint32_t c = run.first; c < run.end; ++c) {
      // A free entry means the chain ran into clusters freed already (a
      // cycle) or into free space: nothing past it belongs to this chain.
      if (handler_->GetEntry(c) == 0) return;
      if (discardBlocks) DiscardBlock(ClusterToSector(c));
      handler_->SetEntry(c, 0);
      ChangeFreeCount(+1);
      ++freed;
    }
  }
}

std::vector<ClusterRun> FATDriver::ReadChain(std::uint32_t firstCluster,
                                             std::uint32_t* endMark) {
  std::vector<ClusterRun> runs;
  ClusterRun run;
  run.next = firstCluster;
  std::uint64_t clusters = 0;
  while (handler_->GetChainRun(run)) {
    clusters += run.end - run.first;
    if (clusters > clusterCount_) ThrowFileError(0x02, kModuleId, kFileCorrupted);
    if (!runs.empty() && runs.back().end == run.first)
      runs.back().end = run.end;  // a run split only by the FAT window
    else
      runs.push_back(run);
    runs.back().next = run.next;
  }
  if (endMark) *endMark = run.next;
  return runs;
}

}  // namespace filesystems
