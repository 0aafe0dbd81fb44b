// Composite volumes: plexes (copies of the volume), the volume I/O that
// reads from the first plex able to deliver and writes to all of them, and
// the lock on sector ranges that keeps overlapping requests apart.
//
// A volume is built once (`Plextor`, then `Plextor::AddPlex`, then
// `SimplePlex::AddSubDisk` per extent) and afterwards only used for I/O,
// from any thread. The member disks are borrowed from the caller's disk map,
// which must outlive the plextor.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "fdisk/dm_io.h"
#include "fdisk/model.h"
#include "foundation/sync.h"

namespace Fdisk {
namespace DM {

class Plex;
class SimplePlex;

using PlexMap = std::map<std::uint32_t, std::unique_ptr<Plex>>;

// Holds sector ranges for their callers; a range that overlaps a held one
// waits until that one is released. Ranges are identified by their first
// sector, which no two held ranges share.
class RegionLock {
 public:
  RegionLock();
  ~RegionLock();
  RegionLock(const RegionLock&) = delete;
  RegionLock& operator=(const RegionLock&) = delete;

  // Returns once [first, first + count) is held by the caller; may wait
  // without limit. An empty request still holds its first sector, so that
  // its Unlock cannot release someone else's range.
  void Lock(std::uint64_t first, std::uint64_t count);
  // Releases the held range that starts at `first`.
  void Unlock(std::uint64_t first);

  // Holds a range for one scope, whatever way the scope is left.
  class Scope {
   public:
    Scope(RegionLock& lock, std::uint64_t first, std::uint64_t count)
        : lock_(lock), first_(first) {
      lock_.Lock(first, count);
    }
    ~Scope() { lock_.Unlock(first_); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    RegionLock& lock_;
    std::uint64_t first_;
  };

  struct Range {
    std::uint64_t first;
    std::uint64_t count;
  };
  // A copy of the held ranges, in order, and the number of callers waiting
  // since the last release (diagnostics; stale once returned).
  std::vector<Range> Held();
  std::uint32_t Waiting();

 private:
  Common::CriticalSection lock_;  // guards the vector and the waiter count
  // Every release wakes every waiter; each then looks at the ranges again.
  Common::Semaphore wake_;
  std::uint32_t waiters_ = 0;
  std::vector<Range> held_;  // sorted by first sector, never overlapping
};

// The volume's I/O with its repair operations.
class PlextorIO : public DeviceMapperIO {
 public:
  virtual Common::Error Resync(std::uint32_t sourcePlex, const std::set<std::uint32_t>& targets,
                               std::uint64_t length) = 0;
  virtual Common::Error RecalculateParity(std::uint32_t plexId, std::uint64_t length) = 0;
};

class FastPlextorIO : public PlextorIO {
 public:
  FastPlextorIO(PlexMap* plexes, VolumeStatus status, std::uint32_t plextorId);

  // Read: the first plex, in id order, that delivers. Write: every plex; a
  // write that some but not all plexes took succeeds and leaves the volume
  // degraded. Other ops transfer nothing.
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;
  // Copies [0, length) from one plex to others, a step at a time.
  Common::Error Resync(std::uint32_t sourcePlex, const std::set<std::uint32_t>& targets,
                       std::uint64_t length) override;
  // Recomputes the parity of a RAID-4/5 plex stripe by stripe; a tail
  // shorter than a stripe is left alone.
  Common::Error RecalculateParity(std::uint32_t plexId, std::uint64_t length) override;

  VolumeStatus Status() const { return status_.Get(); }
  std::uint32_t PlextorId() const { return plextorId_; }
  RegionLock& Lock() { return lock_; }

  // Bytes one resync step copies (128 sectors).
  static constexpr std::uint64_t kResyncStepBytes = 0x10000;

 private:
  Common::Error ReadPlexes(std::uint64_t sector, void* buffer, std::uint64_t count);
  Common::Error WritePlexes(const std::vector<Plex*>& plexes, std::uint64_t sector,
                            void* buffer, std::uint64_t count);

  RisingStatus<VolumeStatus> status_;
  std::uint32_t plextorId_;
  PlexMap* plexes_;
  RegionLock lock_;
};

class PlexVisitor {
 public:
  virtual ~PlexVisitor() = default;
  virtual void Visit(SimplePlex& plex) = 0;
  virtual void VisitOther(Plex&) {}
};

// One copy of the volume: its columns and the I/O its plex type chose.
class Plex : public IdObject {
 public:
  ~Plex() override;
  virtual void Accept(PlexVisitor& visitor) = 0;

  // Stores `column` under a new key; a taken key keeps its column and the
  // given one is deleted.
  void AddColumn(std::uint32_t key, std::unique_ptr<SubIO> column);

  // Null for a plex type without I/O.
  PlexIO* GetPlexIO() const { return io_.get(); }
  const ColumnMap& Columns() const { return columns_; }

 protected:
  Plex() = default;

  std::unique_ptr<PlexIO> io_;
  ColumnMap columns_;
};

class SimplePlex : public Plex {
 public:
  // Reads "PlexTypeName" (required: `Fdisk::Error` 0x101C03 when absent).
  SimplePlex(const NamedVars::VarContainer& plex, DiskMap* disks);
  ~SimplePlex() override;

  void Accept(PlexVisitor& visitor) override { visitor.Visit(*this); }

  // Adds an extent of column `key`; a key seen for the first time gets its
  // column. `usable` false adds the extent already failed.
  void AddSubDisk(std::uint32_t key, std::uint64_t start, std::uint64_t length,
                  std::uint32_t diskId, MessageDispatcher* dispatcher, bool usable);

  const ExtentVector& Extents() const { return extents_; }
  PlexType Type() const { return type_; }

 private:
  PlexType type_;
  ExtentVector extents_;  // sorted by column key, equal keys in order added
  DiskMap* disks_;
};

// A composite volume: its plexes by id, and its I/O.
class Plextor : public IdObject {
 public:
  // Reads "VolumeStatus" (healthy when absent).
  explicit Plextor(const NamedVars::VarContainer& volume);
  ~Plextor() override;
  Plextor(const Plextor&) = delete;
  Plextor& operator=(const Plextor&) = delete;

  std::uint32_t AddPlex(const NamedVars::VarContainer& plex, DiskMap* disks);
  // Throws `Fdisk::DM::Error` 0x102C05 for an id that is not a plex here.
  Plex& FindPlex(std::uint32_t plexId);

  FastPlextorIO& GetIO() { return *io_; }
  const PlexMap& Plexes() const { return plexes_; }

 private:
  PlexMap plexes_;
  std::unique_ptr<FastPlextorIO> io_;
};

}  // namespace DM
}  // namespace Fdisk
