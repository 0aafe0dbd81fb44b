// The holder walker and the raw and unsupported schemes.
#include <cstring>

#include "diskaccess/da_state.h"
#include "diskaccess/geometry.h"
#include "diskaccess/holders.h"
#include "foundation/byteorder.h"
#include "iterators.h"

bool ReadOneSector(stddisk& disk, std::uint64_t lba, std::vector<std::uint8_t>& out,
                   Common::Error* error) {
  const std::uint32_t size = disk.GetSectorSize();
  if (size == 0 || lba > disk.GetSectorCount()) return false;
  out.assign(size, 0);
  Common::Error e = disk.Io(Fdisk::kIoRead, lba, out.data(), 1);
  if (e.Code() != 0) {
    if (error != nullptr && error->IsNull()) *error = e;
    return false;
  }
  return true;
}

Common::Error WriteOneSector(stddisk& disk, std::uint64_t lba, const std::uint8_t* data) {
  std::vector<std::uint8_t> copy(data, data + disk.GetSectorSize());
  return disk.Io(Fdisk::kIoWrite, lba, copy.data(), 1);
}

namespace {

// Hands out one or two holders, each made when the walk asks for it.
class StepIterator : public BaseHolderIterator {
 public:
  using BaseHolderIterator::BaseHolderIterator;
  bool ReadTable() override {
    if (!started_) {
      started_ = true;
      current_ = First();
    }
    return current_ == nullptr;
  }
  holder* Current() const override { return current_; }
  std::uint32_t GetPosition() const override { return current_ != nullptr ? step_ : 0; }
  bool Next(WalkTableCallback, void*) override {
    if (current_ == nullptr) return false;
    // One or two holders: the second, then the end.
    current_ = ++step_ == 1 ? Second() : nullptr;
    return current_ != nullptr;
  }

 protected:
  virtual holder* First() = 0;
  virtual holder* Second() { return nullptr; }
  holder* Yield(holder* h) {
    if (h == nullptr) return nullptr;
    h->scan_number = next_scan++;
    h->MarkOverlaps(flags);
    h->InsertSorted(flags);
    return h;
  }

  holder* current_ = nullptr;
  std::uint32_t step_ = 0;
  bool started_ = false;
};

// A disk used whole, without a table, when a file system is found on it.
class RawIterator : public StepIterator {
 public:
  using StepIterator::StepIterator;
  std::uint32_t GetKind() const override { return current_ == nullptr ? 0 : step_ == 0 ? 5 : 6; }
  bool IsSameAs(const BaseHolderIterator* other) const override {
    return dynamic_cast<const RawIterator*>(other) != nullptr;
  }

 protected:
  holder* First() override {
    if (disk == nullptr || context == nullptr || context->table != nullptr) return nullptr;
    if (context->top != nullptr) {
      meta_ = dynamic_cast<RawMetaHolder*>(context->top);
      return meta_;  // a tree the disk has: walked, not made again
    }
    if ((flags & kWalkNoRaw) != 0 || !Da::CallHasKnownFileSystem(disk, nullptr)) return nullptr;
    meta_ = new RawMetaHolder(disk);
    context->top = meta_;
    context->scheme = kSchemeRaw;
    context->subtype = 0;
    fresh_ = true;
    return Yield(meta_);
  }
  holder* Second() override {
    if (meta_ == nullptr) return nullptr;
    if (!fresh_) return meta_->partition;
    meta_->partition = new RawPartitionHolder(
        disk, meta_, (flags & kWalkIdZero) != 0 ? 0 : DaNextReadHolderKey());
    return Yield(meta_->partition);
  }

 private:
  RawMetaHolder* meta_ = nullptr;
  bool fresh_ = false;
};

// A disk nothing else claimed; records what its first sector looks like.
class UnsupIterator : public StepIterator {
 public:
  using StepIterator::StepIterator;
  std::uint32_t GetKind() const override { return current_ != nullptr ? 5 : 0; }
  bool IsSameAs(const BaseHolderIterator* other) const override {
    return dynamic_cast<const UnsupIterator*>(other) != nullptr;
  }

 protected:
  holder* First() override {
    if (disk == nullptr || context == nullptr || context->table != nullptr) return nullptr;
    if (context->top != nullptr) return dynamic_cast<UnsupHolder*>(context->top);
    auto* u = new UnsupHolder(disk);
    context->top = u;
    if ((flags & kWalkStoreContext) != 0) {
      std::vector<std::uint8_t> sector;
      Common::Error error;
      if (!ReadOneSector(*disk, 0, sector, &error)) {
        context->subtype = kSubtypeReadError;
        if (context->error.IsNull()) context->error = error;
      } else {
        const std::uint32_t first = Common::LoadLe32(sector.data());
        if (first == 0xC9C2D4C1u || first == 0xC1D4C2C9u) context->subtype = 0x1004;
        else if (Common::LoadLe16(sector.data()) == 0x5245) context->subtype = 0x1005;
        else if (sector.size() >= 510 && Common::LoadLe16(&sector[508]) == 0xBEDA)
          context->subtype = 0x1006;
      }
    }
    context->scheme = kSchemeUnknown;
    return Yield(u);
  }
};

}  // namespace

std::unique_ptr<BaseHolderIterator> MakeRawIterator(HolderWalker& w) {
  return std::make_unique<RawIterator>(w);
}
std::unique_ptr<BaseHolderIterator> MakeUnsupIterator(HolderWalker& w) {
  return std::make_unique<UnsupIterator>(w);
}

// ------------------------------------------------------------------ walker

HolderWalker::HolderWalker() = default;
HolderWalker::~HolderWalker() { End(); }

void HolderWalker::Begin(stddisk* d, std::uint32_t f, ReadContext* context) {
  disk = d;
  flags = f;
  context_ = context != nullptr ? context : (d != nullptr ? &d->read_context : nullptr);
  if ((f & kWalkStoreContext) == 0 && context == nullptr) context_ = nullptr;
  current_ = nullptr;
  listStarted_ = false;
  schemeState_ = 0;
  iterator_.reset();
  copy.reset();
  if (context_ == nullptr) return;  // list mode
  if (context_->table != nullptr || context_->top != nullptr) flags &= ~kWalkStoreContext;
  copy = std::make_unique<ReadContext>();
  if (context_->table == nullptr && context_->top == nullptr) {
    copy->Reset();
  } else {
    copy->CopyFrom(*context_);
    copy->table = context_->table;
    copy->top = context_->top;
  }
}

// Starts the next scheme's iterator: raw, MBR, GPT, unsupported.
bool HolderWalker::StartNext() {
  iterator_.reset();
  switch (schemeState_++) {
    case 0: iterator_ = MakeRawIterator(*this); return true;
    case 1: iterator_ = MakeMbrIterator(*this); return true;
    case 2: iterator_ = MakeGptIterator(*this); return true;
    case 3: iterator_ = MakeUnsupIterator(*this); return true;
    default: return false;
  }
}

bool HolderWalker::AtEnd() {
  if (disk == nullptr) return true;
  if (copy == nullptr) {
    current_ = listStarted_ ? (current_ != nullptr ? current_->next : nullptr)
                            : disk->holder_list.first;
    listStarted_ = true;
    return current_ == nullptr;
  }
  for (;;) {
    if (iterator_ == nullptr && !StartNext()) return true;
    if (!iterator_->ReadTable()) return false;
    iterator_.reset();
  }
}

holder* HolderWalker::Current() const {
  if (copy == nullptr) return current_;
  return iterator_ != nullptr ? iterator_->Current() : nullptr;
}

std::uint32_t HolderWalker::GetKind() const {
  if (copy == nullptr) {
    if (current_ == nullptr || current_->IsFreeSpace()) return 0;
    const std::uint8_t t = current_->GetType();
    return t != 0 ? t : 7;
  }
  return iterator_ != nullptr ? iterator_->GetKind() : 0;
}

bool HolderWalker::Next(WalkTableCallback callback, void* callbackContext) {
  if (disk == nullptr) return false;
  if (copy == nullptr) return current_ != nullptr;
  // An iterator that moved on makes or finds its next holder in ReadTable.
  if (iterator_ != nullptr && iterator_->Next(callback, callbackContext) &&
      !iterator_->ReadTable()) return true;
  iterator_.reset();
  for (;;) {
    if (!StartNext()) break;
    if (!iterator_->ReadTable()) return true;
    iterator_.reset();
  }
  PlaceHandler();
  return false;
}

void HolderWalker::Number() {
  if (iterator_ != nullptr) iterator_->Number();
}

void HolderWalker::PlaceHandler() {
  // Volume handlers belong to the volume layer; the top holder gets none
  // until that layer attaches one.
}

void HolderWalker::End() {
  iterator_.reset();
  if (copy != nullptr && (flags & kWalkStoreContext) != 0 && context_ != nullptr) {
    context_->CopyFrom(*copy);
    context_->table = copy->table;
    context_->top = copy->top;
    if (disk != nullptr) disk->signature_seen = signature;
  }
  copy.reset();
  context_ = nullptr;
}

// ----------------------------------------------------------- whole-disk use

namespace {

// The working tree's record after a read: its top holder and what the read
// found.
void RecordWorkingTree(stddisk& disk) {
  PartitionTree* tree = disk.GetTree(0);
  if (tree == nullptr) return;
  const ReadContext& c = disk.read_context;
  tree->error = c.error;
  tree->table = c.top;
  tree->top = nullptr;
  tree->scheme_type =
      c.scheme == kSchemeGpt || (c.scheme == kSchemeMbr && c.subtype == 0xEE) ? 0xEE : 0;
  std::memcpy(tree->disk_guid, c.disk_guid, sizeof tree->disk_guid);
  if (c.scheme == kSchemeMbr || c.scheme == kSchemeGpt)
    if (auto* plain = dynamic_cast<plain_disk*>(&disk)) plain->signature = disk.signature_seen;
}

}  // namespace

void DaReadHolders(stddisk* disk, std::uint32_t flags) {
  if (disk == nullptr) return;
  disk->holder_list.Clear();
  disk->read_context.Reset();
  if (PartitionTree* tree = disk->GetTree(0)) tree->Clear();
  HolderWalker walker;
  walker.Begin(disk, flags | kWalkStoreContext, nullptr);
  // Begin chose the disk's own context: reading starts from nothing.
  for (bool more = !walker.AtEnd(); more; more = walker.Next()) {
    holder* h = walker.Current();
    if (h != nullptr && h->IsPartition()) walker.Number();
  }
  walker.End();
  RecordWorkingTree(*disk);
}

Common::Error DaWriteHolders(stddisk* disk) {
  if (disk == nullptr || disk->read_context.top == nullptr) return Common::Error();
  HolderWalker walker;
  walker.Begin(disk, kWalkFollowChains | kWalkWrite, &disk->read_context);
  for (bool more = !walker.AtEnd(); more; more = walker.Next()) {
  }
  Common::Error first = walker.write_error;
  walker.End();
  return first;
}

void DaReadDiskPartitions(stddisk* disk) {
  if (disk == nullptr || !disk->usable || !disk->IsPlainDisk()) return;
  if ((disk->GetStateFlags() & kDiskGone) != 0) return;
  PartitionTree* tree = disk->GetTree(0);
  if (tree == nullptr || tree->Valid()) return;
  DaReadHolders(disk, kWalkFollowChains);
}
