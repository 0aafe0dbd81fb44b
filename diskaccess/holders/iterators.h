// The scheme iterators the holder walker runs, one per partitioning scheme.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "diskaccess/holders.h"

class BaseHolderIterator {
 public:
  explicit BaseHolderIterator(HolderWalker& w)
      : walker(w), disk(w.disk), context(w.copy.get()), flags(w.flags) {}
  virtual ~BaseHolderIterator() = default;

  virtual std::uint32_t GetPosition() const { return 0; }
  // True when the iterator has ended; false when Current is ready.
  virtual bool ReadTable() { return true; }
  virtual bool IsSameAs(const BaseHolderIterator* other) const { return false; }
  virtual void Number() {}
  virtual void AssignLetters(std::uint8_t* counter0, std::uint8_t* counter5) {}
  virtual holder* Current() const = 0;
  virtual std::uint32_t GetKind() const { return 0; }
  // Moves on; `callback` (when given) hears of each table the walk has
  // finished with.
  virtual bool Next(WalkTableCallback callback, void* callbackContext) { return false; }

  HolderWalker& walker;
  stddisk* disk;
  ReadContext* context;
  std::uint32_t flags;
  std::uint32_t next_scan = 0;
};

std::unique_ptr<BaseHolderIterator> MakeRawIterator(HolderWalker& w);
std::unique_ptr<BaseHolderIterator> MakeMbrIterator(HolderWalker& w);
std::unique_ptr<BaseHolderIterator> MakeGptIterator(HolderWalker& w);
std::unique_ptr<BaseHolderIterator> MakeUnsupIterator(HolderWalker& w);

// One sector of the disk's own size (never a fixed 512 bytes).
bool ReadOneSector(stddisk& disk, std::uint64_t lba, std::vector<std::uint8_t>& out,
                   Common::Error* error);
Common::Error WriteOneSector(stddisk& disk, std::uint64_t lba, const std::uint8_t* data);
