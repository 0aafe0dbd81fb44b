// Parity RAID plexes: RAID-4 (parity always on the last column) and RAID-5
// (parity rotating over the columns in one of four layouts).
//
// A plex of N columns stores its sectors in chunks of `ChunkSize` sectors;
// each stripe holds N - 1 data chunks and their XOR parity, and in every
// column the chunk of stripe s lies at column sectors s x c .. s x c + c - 1.
// Reads rebuild a failed data column from the others. Writes go through a
// cache of one stripe, so that parity is recomputed read-modify-write and
// written back with the data before `Io` returns.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fdisk/dm_io.h"

namespace Fdisk {
namespace DM {

struct ChunkResult {
  std::uint32_t parityColumn = 0;
  std::uint32_t dataColumn = 0;
  std::uint64_t stripe = 0;
};

// Where chunk k of a plex with N columns (D = N - 1 of them data) lives.
class ChunkIndex : public ChunkResult {
 public:
  virtual ~ChunkIndex() = default;
  virtual ChunkResult Map(LayoutType layout, std::uint64_t chunk, std::uint32_t dataColumns,
                          std::uint32_t columns) = 0;
};

class ChunkIndex4 : public ChunkIndex {
 public:
  ChunkResult Map(LayoutType layout, std::uint64_t chunk, std::uint32_t dataColumns,
                  std::uint32_t columns) override;
};

class ChunkIndex5 : public ChunkIndex {
 public:
  ChunkResult Map(LayoutType layout, std::uint64_t chunk, std::uint32_t dataColumns,
                  std::uint32_t columns) override;
};

// The sectors of one stripe, with per-sector dirty and loaded bits and the
// columns that failed while working on it.
class StripeCache {
 public:
  // Throws `Fdisk::Error` 0x100405 when the buffer cannot be had.
  StripeCache(std::uint32_t columns, std::uint64_t stripe, std::uint32_t chunkSize,
              std::uint32_t sectorBytes);

  std::uint64_t Stripe() const { return stripe_; }
  std::uint32_t Columns() const { return columns_; }
  std::uint32_t ChunkSize() const { return chunk_; }
  // Cache area of column i, sector j.
  std::uint8_t* Area(std::uint32_t column, std::uint32_t sector) const {
    return data_.Get() + (std::size_t(column) * chunk_ + sector) * sectorBytes_;
  }

  void MarkDirty(std::uint32_t column, std::uint32_t first, std::uint32_t count);
  void MarkLoaded(std::uint32_t column, std::uint32_t first, std::uint32_t count);
  void SetDirty(std::uint32_t column, const std::vector<bool>& map);
  void SetLoaded(std::uint32_t column, const std::vector<bool>& map);
  bool Dirty(std::uint32_t column, std::uint32_t sector) const {
    return dirty_[std::size_t(column) * chunk_ + sector];
  }
  bool Loaded(std::uint32_t column, std::uint32_t sector) const {
    return loaded_[std::size_t(column) * chunk_ + sector];
  }
  bool Failed(std::uint32_t column) const { return failed_[column]; }
  void MarkFailed(std::uint32_t column) { failed_[column] = true; }
  std::uint32_t FailedCount() const;
  // The first failed column; Columns() when none failed.
  std::uint32_t FirstFailed() const;
  bool AnyDirty() const;
  // Bit j set when sector j is dirty in any column.
  std::vector<bool> DirtyUnion() const;
  // Moves to another stripe: forgets every bit, keeps the buffer as it is.
  void Reset(std::uint64_t stripe);

 private:
  std::uint32_t columns_;
  std::uint64_t stripe_;
  std::uint32_t chunk_;
  std::uint32_t sectorBytes_;
  AlignedBuffer data_;
  std::vector<bool> dirty_;
  std::vector<bool> loaded_;
  std::vector<bool> failed_;
};

class RaidParityBase : public PlexIO {
 public:
  ~RaidParityBase() override;

  // Reads rebuild; writes are flushed before returning. Other ops do nothing.
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;

  // Recomputes and writes the parity chunk of the stripe holding `sector`.
  Common::Error RecalculateStripe(std::uint64_t sector);

  PlexStatus Status() const { return status_.Get(); }
  std::uint32_t PlexId() const { return plexId_; }
  std::uint32_t ChunkSize() const { return chunkSize_; }
  LayoutType Layout() const { return layout_; }
  std::uint32_t ColumnCount() const;
  // (N - 1) x chunk size: the plex sectors of one stripe.
  std::uint64_t StripeDataSize() const;

 protected:
  RaidParityBase(const NamedVars::VarContainer& plex, ColumnMap* columns, std::uint32_t plexId,
                 std::unique_ptr<ChunkIndex> index);

  // Whether the layout is one this plex can map.
  virtual bool LayoutUsable() const { return true; }

 private:
  Common::Error Usable() const;
  Common::Error InsidePlex(std::uint64_t sector, std::uint64_t count) const;
  ChunkResult MapChunk(std::uint64_t chunk);
  Common::Error ColumnIo(std::uint32_t column, std::uint32_t op, std::uint64_t sector,
                         void* buffer, std::uint64_t count);
  Common::Error Read(std::uint64_t sector, std::uint8_t* buffer, std::uint64_t count);
  Common::Error Write(std::uint64_t sector, const std::uint8_t* buffer, std::uint64_t count);
  Common::Error SelectStripe(std::uint64_t stripe);
  Common::Error Flush();
  Common::Error Repair(std::uint32_t parity, std::uint32_t failed, const std::vector<bool>& set);
  void ComputeParity(std::uint32_t parity);
  Common::Error LoadColumn(std::uint32_t column, const std::vector<bool>& set);
  Common::Error WriteDirtyRuns(std::uint32_t column);
  void EnsureCache();

  RisingStatus<PlexStatus> status_;
  std::uint32_t plexId_;
  ColumnMap* columns_;
  std::uint32_t chunkSize_;
  LayoutType layout_;
  std::uint32_t sectorBytes_ = kDmSectorBytes;
  std::unique_ptr<ChunkIndex> index_;
  std::unique_ptr<StripeCache> cache_;
  // Data in the cache that no write-back has covered yet. Dirty bits stay
  // set after a write-back (they tell which sectors the cache holds), so
  // they alone would have every stripe written out again when the cache
  // moves on.
  bool unflushed_ = false;
  // Requests on disjoint volume ranges may still share a stripe, its parity
  // and the one stripe cache: the plex serves one request at a time.
  Common::CriticalSection lock_;
};

class Raid4PlexIO : public RaidParityBase {
 public:
  Raid4PlexIO(const NamedVars::VarContainer& plex, ColumnMap* columns, std::uint32_t plexId);
  void Accept(PlexIoVisitor& visitor) override { visitor.Visit(*this); }
};

class Raid5PlexIO : public RaidParityBase {
 public:
  Raid5PlexIO(const NamedVars::VarContainer& plex, ColumnMap* columns, std::uint32_t plexId);
  void Accept(PlexIoVisitor& visitor) override { visitor.Visit(*this); }

 protected:
  // Only the four known rotations: any other value would place data where
  // no other reader of the volume looks for it.
  bool LayoutUsable() const override;
};

}  // namespace DM
}  // namespace Fdisk
