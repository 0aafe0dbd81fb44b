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
  virtual bool Next() { return false; }

  HolderWalker& walker;
  stddisk* disk;
  ReadContext* context;
  std::uint32_t flags;
  std::uint32_t next_scan = 0;
};

// Yields a list of holders that a reader built in one pass (the GPT's: its
// whole entry array is one read).
class ListIterator : public BaseHolderIterator {
 public:
  using BaseHolderIterator::BaseHolderIterator;
  bool ReadTable() override {
    if (!read_) {
      read_ = true;
      Read();
    }
    return position_ >= items_.size();
  }
  holder* Current() const override {
    return position_ < items_.size() ? items_[position_] : nullptr;
  }
  bool Next() override {
    if (position_ < items_.size()) ++position_;
    return position_ < items_.size();
  }

 protected:
  virtual void Read() = 0;
  // Inserts the holder into the disk's list and queues it for the caller.
  void Yield(holder* h) {
    h->scan_number = next_scan++;
    h->MarkOverlaps(flags);
    h->InsertSorted(flags);
    items_.push_back(h);
  }

  std::vector<holder*> items_;
  std::size_t position_ = 0;
  bool read_ = false;
};

std::unique_ptr<BaseHolderIterator> MakeRawIterator(HolderWalker& w);
std::unique_ptr<BaseHolderIterator> MakeMbrIterator(HolderWalker& w);
std::unique_ptr<BaseHolderIterator> MakeGptIterator(HolderWalker& w);
std::unique_ptr<BaseHolderIterator> MakeUnsupIterator(HolderWalker& w);

// One sector of the disk's own size (never a fixed 512 bytes).
bool ReadOneSector(stddisk& disk, std::uint64_t lba, std::vector<std::uint8_t>& out,
                   Common::Error* error);
Common::Error WriteOneSector(stddisk& disk, std::uint64_t lba, const std::uint8_t* data);

// Writes the GPT copies that changed (the MBR and EBR tables are written by
// their iterator as a write-mode walk leaves them).
Common::Error WriteGptCopies(stddisk& disk);
