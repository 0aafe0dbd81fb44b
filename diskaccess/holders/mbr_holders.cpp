// MBR and EBR tables as holders: reading the table and its chain of extended
// boot records, numbering, editing entries and writing changed tables back.
#include <cstring>
#include <map>
#include <set>

#include "diskaccess/da_state.h"
#include "diskaccess/geometry.h"
#include "diskaccess/holders.h"
#include "fdisk/chs.h"
#include "foundation/byteorder.h"
#include "iterators.h"

bool IsProtectiveType(std::uint8_t t) { return t == 0x42 || t == 0xEE; }
bool IsExtendedType(std::uint8_t t) { return t == 0x05 || t == 0x0F; }
bool IsFat32Type(std::uint8_t t) { return t == 0x0B || t == 0x0C; }
bool IsLbaType(std::uint8_t t) { return t == 0x0C || t == 0x0E || t == 0x0F; }
bool IsFat16Type(std::uint8_t t) { return t == 0x01 || t == 0x04 || t == 0x06; }
bool IsDiskManagerType(std::uint8_t t) {
  return t == 0x42 || t == 0x44 || t == 0x54 || t == 0x55 || t == 0xEE;
}
bool IsDosType(std::uint8_t t) { return IsFat16Type(t) || t == 0x07; }
bool IsDataType(std::uint8_t t, bool strict) {
  return t != 0 && !IsExtendedType(t) && !(strict && IsDiskManagerType(t));
}
bool IsFatSmallType(std::uint8_t t) { return IsFat16Type(t) || t == 0x0E; }
bool IsFatType(std::uint8_t t) { return IsFatSmallType(t) || IsFat32Type(t); }
bool IsHideableType(std::uint8_t t) { return IsFatType(t) || t == 0x07; }

namespace {

constexpr std::size_t kEntries = 446;
// No disk holds this many logical partitions; a longer chain is a loop that
// the visited set has not caught yet, or damage.
constexpr std::uint32_t kMaxChain = 4096;

bool HasSignature(const std::vector<std::uint8_t>& s) {
  return s.size() >= 512 && s[510] == 0x55 && s[511] == 0xAA;
}

std::uint8_t Sum(const std::uint8_t* p, std::size_t n) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
  return sum;
}

// The saved-type table of a boot-manager record in the code area, when one
// is there (four bytes, one per entry), else null.
const std::uint8_t* SavedTypes(const std::vector<std::uint8_t>& s) {
  if (Common::LoadLe16(&s[438]) == 14 && Sum(&s[426], 14) == 0) return &s[430];
  if (Common::LoadLe16(&s[438]) == 16 && Sum(&s[424], 16) == 0) return &s[424];
  return nullptr;
}

void FillEntries(MbrTableHolder& table, const std::vector<std::uint8_t>& s) {
  const std::uint8_t* saved = SavedTypes(s);
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* e = &s[kEntries + 16 * i];
    MbrEntry& entry = table.entries[i];
    entry = MbrEntry();
    entry.raw0 = Common::LoadLe32(e);
    entry.raw1 = Common::LoadLe32(e + 4);
    entry.lba = Common::LoadLe32(e + 8);
    entry.count = Common::LoadLe32(e + 12);
    const std::uint8_t type = entry.Type();
    if (saved != nullptr && saved[i] != 0 && type == 0xBB) {
      entry.SetTypeByte(saved[i]);
      entry.hidden = 1;
    } else if (saved != nullptr && saved[i] != 0 && type == 0 && entry.lba != 0 &&
               entry.count != 0) {
      entry.SetTypeByte(saved[i]);
      entry.hidden = 2;
    } else if ((type & 0x10) != 0 && IsHideableType(type & ~0x10)) {
      entry.SetTypeByte(type & ~0x10);
      entry.hidden = 1;
    }
    entry.read_count = entry.count;
  }
}

// The disk's boot-record area (the working tree's): where the boot manager
// keeps the partition it starts, and whether the disk has one.
PartitionTree* BootTree(stddisk* disk) { return disk != nullptr ? disk->GetTree(0) : nullptr; }

// The boot manager's record in the MBR's code area, in the three forms it
// takes; false when there is none.
bool ReadBootRecord(const std::vector<std::uint8_t>& s, const stddisk& disk,
                    std::uint8_t area[8]) {
  std::memset(area, 0, 8);
  if (Common::LoadLe16(&s[438]) == 14 && Sum(&s[426], 14) == 0) {
    if ((s[434] & 0x80) != 0) {
      Common::StoreLe32(area, Common::LoadLe32(&s[426]));
      area[4] = s[434];
      area[5] = s[435];
      area[6] = s[436];
    }
    return true;
  }
  if (Common::LoadLe16(&s[438]) == 16 && Sum(&s[424], 16) == 0) {
    if ((s[428] & 0x80) != 0) {
      Common::StoreLe32(area, Common::LoadLe32(&s[429]));
      area[4] = s[428];
    }
    return true;
  }
  if (Common::LoadLe16(&s[428]) == 0x5678 && (s[430] & 0x80) != 0) {
    Fdisk::ChsAddress chs;
    Fdisk::DecodeMbrChs(chs, &s[429], true);
    Da::ChsAddress address;
    address.sector = chs.sector;
    address.head = chs.head;
    address.cylinder = chs.cylinder;
    const Fdisk::Geometry& g = disk.GetGeometry();
    const std::uint64_t sector = g.sectorsPerTrack != 0 && chs.sector != 0
                                     ? Da::ChsToLba(address, g) : 0;
    Common::StoreLe32(area, static_cast<std::uint32_t>(sector));
    area[4] = s[430];
    return true;
  }
  return false;
}

// The first extended entry of an EBR: the link to the next one (4: none).
std::uint32_t LinkIndex(const MbrTableHolder& t) {
  for (std::uint32_t i = 0; i < 4; ++i)
    if (IsExtendedType(t.entries[i].Type())) return i;
  return 4;
}

Common::Error WriteTable(stddisk& disk, MbrTableHolder& t);

// Reads the MBR and its chains of extended boot records one table at a time,
// as the walk reaches them, and hands out each table and partition as it is
// made; over a tree the disk already has, it walks those holders instead.
// In write mode each table that changed is written when the walk leaves it.
class MbrIterator : public BaseHolderIterator {
 public:
  using BaseHolderIterator::BaseHolderIterator;

  std::uint32_t GetPosition() const override {
    return stack_.empty() ? 0 : static_cast<std::uint32_t>(stack_.back().entry);
  }
  bool ReadTable() override {
    if (!started_) {
      started_ = true;
      if (!Start()) current_ = nullptr;
    }
    return current_ == nullptr;
  }
  holder* Current() const override { return current_; }
  std::uint32_t GetKind() const override {
    return current_ != nullptr ? current_->GetType() : 0;
  }
  bool Next(WalkTableCallback callback, void* callbackContext) override {
    callback_ = callback;
    callbackContext_ = callbackContext;
    return Advance();
  }
  bool IsSameAs(const BaseHolderIterator* other) const override {
    auto* o = dynamic_cast<const MbrIterator*>(other);
    if (o == nullptr) return false;
    const holder* a = Current();
    const holder* b = o->Current();
    if (a == nullptr || b == nullptr) return a == b;
    return a->start == b->start && a->size == b->size && a->index == b->index &&
           a->IsActive() == b->IsActive();
  }
  void Number() override {
    auto* p = dynamic_cast<MbrPartitionHolder*>(Current());
    if (p == nullptr) return;
    p->ResetLetters();
    const MbrEntry* entry = p->OwnEntry();
    const bool restored = entry != nullptr && entry->hidden == 2;
    if (p->IsPrimary()) {
      p->numbers[0] = p->index + 1;
      if (!restored) {
        p->AssignNumber(1, counters_);
        p->AssignNumber(2, counters_);
      }
      return;
    }
    if (counters_[0] <= 4) counters_[0] = 5;
    p->AssignNumber(0, counters_);
    if (!restored) {
      auto it = nesting_.find(p->owner);
      const std::uint32_t n = it != nesting_.end() ? it->second : 0;
      if ((n & 1) == 0) p->AssignNumber(1, counters_);
      if ((n & 2) == 0) p->AssignNumber(2, counters_);
    }
  }
  void AssignLetters(std::uint8_t* counter0, std::uint8_t* counter5) override {
    holder* h = Current();
    if (h == nullptr || !h->IsPartition()) return;
    const std::uint8_t t = h->GetType();
    if (IsFatType(t)) h->AssignLetter(0, counter0, 1);
    auto it = nesting_.find(h->owner);
    const bool inLba = it != nesting_.end() && (it->second & 4) != 0;
    if (IsFat16Type(t) && h->GetHiddenState() == 0 && !inLba) h->AssignLetter(5, counter5, 1);
  }

 private:
  struct Frame {
    MbrTableHolder* table;
    std::uint32_t entry;  // the next entry to look at
  };

  std::int32_t NewId() const { return (flags & kWalkIdZero) != 0 ? 0 : DaNextReadHolderKey(); }

  void Yield(holder* h) {
    h->scan_number = next_scan++;
    h->MarkOverlaps(flags);
    h->InsertSorted(flags);
  }

  // The MBR, read or found: false when the disk has none.
  bool Start() {
    if (disk == nullptr || context == nullptr) return false;
    if (context->top != nullptr) {
      auto* top = dynamic_cast<MbrTableHolder*>(context->top);
      if (top == nullptr || top->owner != nullptr) return false;
      fresh_ = false;
      stack_.push_back({top, 0});
      current_ = top;
      return true;
    }
    std::vector<std::uint8_t> s;
    if (!ReadOneSector(*disk, 0, s, &context->error)) {
      context->subtype = kSubtypeReadError;
      return false;
    }
    if (!HasSignature(s)) return false;
    auto* top = new MbrTableHolder(disk, 0, 0, nullptr);
    FillEntries(*top, s);
    top->flags &= ~kHolderUnfilled;
    if (PartitionTree* tree = BootTree(disk)) {
      tree->boot_manager = ReadBootRecord(s, *disk, tree->boot_record) ? 1 : 0;
    }
    walker.signature = Common::LoadLe32(&s[440]);
    context->scheme = kSchemeMbr;
    context->subtype = 0;
    for (const MbrEntry& e : top->entries) {
      if (IsDiskManagerType(e.Type())) {
        context->subtype = e.Type();
        break;
      }
    }
    context->top = top;
    Yield(top);
    stack_.push_back({top, 0});
    current_ = top;
    return true;
  }

  // How far an extended entry of the MBR is seen by the older numbering
  // kinds: the entries before it decide.
  std::uint32_t Nesting(const MbrTableHolder& top, std::uint32_t index) const {
    const MbrEntry& e = top.entries[index];
    if (e.hidden != 0) return 7;
    bool visible05 = false, visibleExtended = false;
    for (std::uint32_t j = 0; j < index; ++j) {
      const MbrEntry& before = top.entries[j];
      if (!IsExtendedType(before.Type()) || before.hidden != 0) continue;
      visibleExtended = true;
      if (before.Type() == 0x05) visible05 = true;
    }
    std::uint32_t n = 0;
    if (visible05 || e.Type() == 0x0F) n |= 1;
    if (visibleExtended) n |= 2;
    if (e.Type() == 0x0F) n |= 4;
    return n;
  }

  // The extended boot record that entry `index` of `owner` points at, read
  // and handed out; null when the chain ends there.
  MbrTableHolder* ReadEbr(MbrTableHolder* owner, std::uint32_t index) {
    MbrTableHolder* ebr = ReadOneEbr(owner, index);
    if (ebr != nullptr) Yield(ebr);
    return ebr;
  }

  // Reads one EBR of the chain. A record further down the chain that holds
  // no partition only passes the chain on: its link takes its place in the
  // owner (which is then rewritten at the next write) and the record after
  // it is read instead; one that holds nothing ends the chain at the owner.
  // The first record stays whatever it holds: it stands at the container's
  // start, where the MBR's entry points.
  MbrTableHolder* ReadOneEbr(MbrTableHolder* owner, std::uint32_t index) {
    for (;;) {
      const MbrEntry& link = owner->entries[index];
      std::uint64_t base, containerStart, containerSize, lba;
      std::uint32_t nesting;
      if (owner->owner == nullptr) {
        base = containerStart = link.lba;
        containerSize = link.count;
        lba = base;
        nesting = Nesting(*owner, index);
        visited_.clear();
        chain_ = 0;
      } else {
        if (link.lba == 0) return nullptr;
        base = owner->extended_base;
        containerStart = owner->container_start;
        containerSize = owner->container_size;
        lba = base + link.lba;
        auto it = nesting_.find(owner);
        nesting = it != nesting_.end() ? it->second : 0;
      }
      const std::uint64_t end = containerStart + containerSize;  // one past the container
      if (chain_++ >= kMaxChain || lba < base || lba >= end || lba > disk->GetSectorCount() ||
          !visited_.insert(lba).second) {
        owner->flags |= kHolderChainCut;
        return nullptr;
      }
      auto* ebr = new MbrTableHolder(disk, lba, index, owner);
      ebr->extended_base = base;
      ebr->container_start = containerStart;
      ebr->container_size = containerSize;
      owner->entries[index].holder_ptr = ebr;
      nesting_[ebr] = nesting;
      std::vector<std::uint8_t> s;
      bool filled = false;
      if (!ReadOneSector(*disk, lba, s, &context->error)) {
        ebr->flags |= kHolderUnreadable;
      } else if (!HasSignature(s)) {
        ebr->flags |= kHolderRewrite;
      } else {
        FillEntries(*ebr, s);
        ebr->flags &= ~kHolderUnfilled;
        filled = true;
      }
      if (!filled || owner->owner == nullptr) return ebr;
      std::uint32_t used = 0;
      bool data = false;
      for (const MbrEntry& e : ebr->entries) {
        if (!e.Used()) continue;
        ++used;
        data = data || !IsExtendedType(e.Type());
      }
      if (data || used > 1) return ebr;
      MbrEntry replacement;
      if (used == 1) replacement = ebr->entries[LinkIndex(*ebr)];
      // A link back to the container's start leads nowhere new: the chain
      // ends at the owner instead of carrying the loop on.
      if (replacement.lba == 0) {
        replacement = MbrEntry();
        used = 0;
      }
      replacement.holder_ptr = nullptr;
      owner->entries[index] = replacement;
      owner->SetModified(true);
      nesting_.erase(ebr);
      delete ebr;
      if (used == 0) return nullptr;
    }
  }

  // On to the next holder, depth first; false at the end.
  bool Advance() {
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      MbrTableHolder* t = frame.table;
      if (frame.entry >= 4) {
        stack_.pop_back();
        Leave(*t);
        continue;
      }
      const std::uint32_t i = frame.entry++;
      MbrEntry& e = t->entries[i];
      if (!e.Used()) continue;
      const bool isMbr = t->owner == nullptr;
      if (IsExtendedType(e.Type())) {
        // An EBR links on through its first extended entry only.
        if (!isMbr && i != LinkIndex(*t)) continue;
        MbrTableHolder* next = nullptr;
        if (!fresh_) {
          next = dynamic_cast<MbrTableHolder*>(e.holder_ptr);
        } else if ((flags & kWalkFollowChains) != 0) {
          next = ReadEbr(t, i);
        }
        if (next == nullptr) continue;
        stack_.push_back({next, 0});
        current_ = next;
        return true;
      }
      if (!fresh_) {
        if (e.holder_ptr == nullptr) continue;
        current_ = e.holder_ptr;
        return true;
      }
      if (isMbr && context->subtype == 0xEE && IsProtectiveType(e.Type())) continue;
      const std::uint64_t start = isMbr ? e.lba : t->start + e.lba;
      auto* p = new MbrPartitionHolder(disk, start, e.count, i, t, NewId());
      e.holder_ptr = p;
      Yield(p);
      current_ = p;
      return true;
    }
    current_ = nullptr;
    return false;
  }

  // A table the walk is done with: in write mode, written when it changed;
  // then the caller hears of it.
  void Leave(MbrTableHolder& t) {
    if ((flags & kWalkWrite) != 0 && (t.IsModified() || t.sector_image != nullptr)) {
      Common::Error e = WriteTable(*disk, t);
      if (e.Code() != 0 && walker.write_error.IsNull()) walker.write_error = e;
    }
    if (callback_ != nullptr) callback_(callbackContext_);
  }

  std::vector<Frame> stack_;
  holder* current_ = nullptr;
  bool started_ = false;
  bool fresh_ = true;  // reading the disk, not walking a tree it has
  std::set<std::uint64_t> visited_;
  std::uint32_t chain_ = 0;
  std::uint32_t counters_[3] = {1, 1, 1};
  std::map<const holder*, std::uint32_t> nesting_;
  WalkTableCallback callback_ = nullptr;
  void* callbackContext_ = nullptr;
};

}  // namespace

std::unique_ptr<BaseHolderIterator> MakeMbrIterator(HolderWalker& w) {
  return std::make_unique<MbrIterator>(w);
}

// ------------------------------------------------------------ MBR holders

MbrTableHolder* MbrBaseHolder::OwnerTable() const { return dynamic_cast<MbrTableHolder*>(owner); }

MbrEntry* MbrBaseHolder::OwnEntry() const {
  MbrTableHolder* t = OwnerTable();
  return t != nullptr && index < 4 ? &t->entries[index] : nullptr;
}

std::uint8_t MbrBaseHolder::GetType() const {
  if (disk == nullptr) return 0;
  const MbrEntry* e = OwnEntry();
  return e != nullptr ? e->Type() : 0;
}

bool MbrBaseHolder::IsActive() const {
  const MbrEntry* e = OwnEntry();
  return IsPrimary() && e != nullptr && (e->raw0 & 0x80) != 0;
}

std::uint32_t MbrBaseHolder::GetHiddenState() const {
  const MbrEntry* e = OwnEntry();
  return e != nullptr ? e->hidden : 0;
}

bool MbrBaseHolder::IsPrimary() const { return owner != nullptr && owner->owner == nullptr; }

void MbrBaseHolder::SetHiddenState(std::uint32_t hiddenState, bool commit) {
  MbrEntry* e = OwnEntry();
  if (e == nullptr || e->hidden == hiddenState) return;
  e->hidden = hiddenState;
  if (commit) MarkOwnerModified();
}

bool MbrBaseHolder::SetType(std::uint8_t type, bool commit) {
  MbrEntry* e = OwnEntry();
  if (e == nullptr) return false;
  if (IsExtendedType(e->Type()) != IsExtendedType(type) || IsDiskManagerType(type)) return false;
  e->SetTypeByte(type);
  if (commit) MarkOwnerModified();
  else if (auto* plain = dynamic_cast<plain_disk*>(disk)) plain->modified = 1;
  return true;
}

void MbrBaseHolder::SetLbaMode(bool lba, bool commit) {
  const std::uint8_t t = GetType();
  std::uint8_t next = t;
  if (IsExtendedType(t)) next = lba ? 0x0F : 0x05;
  else if (IsFatSmallType(t)) next = lba ? 0x0E : Da::CallPickFatPartitionType(this);
  else if (IsFat32Type(t)) next = lba ? 0x0C : 0x0B;
  SetType(next, commit);
}

void MbrBaseHolder::MoveEntry(std::uint32_t newIndex, bool commit) {
  MbrTableHolder* t = OwnerTable();
  if (t == nullptr || newIndex >= 4 || index >= 4 || newIndex == index) return;
  MbrEntry moved = t->entries[index];
  if (newIndex < index) {
    for (std::uint32_t i = index; i > newIndex; --i) t->entries[i] = t->entries[i - 1];
  } else {
    for (std::uint32_t i = index; i < newIndex; ++i) t->entries[i] = t->entries[i + 1];
  }
  t->entries[newIndex] = moved;
  for (std::uint32_t i = 0; i < 4; ++i)
    if (t->entries[i].holder_ptr != nullptr) t->entries[i].holder_ptr->index = i;
  if (commit) MarkOwnerModified();
}

Common::Error MbrBaseHolder::EraseTable(std::uint32_t* oldSignature) {
  if (disk == nullptr) return Common::Error();
  if (oldSignature != nullptr) *oldSignature = disk->signature_seen;
  disk->signature_seen = 0;
  if (auto* plain = dynamic_cast<plain_disk*>(disk)) plain->signature = 0;
  std::vector<std::uint8_t> zero(disk->GetSectorSize(), 0);
  return WriteOneSector(*disk, 0, zero.data());
}

namespace {

// Fills an entry record for a partition at [start, start + size) whose table
// starts at `relativeTo`.
void FillEntry(MbrEntry& e, stddisk& disk, std::uint8_t boot, std::uint8_t type,
               std::uint64_t start, std::uint64_t size, std::uint64_t relativeTo) {
  e = MbrEntry();
  e.raw0 = boot;
  e.raw1 = type;
  Da::EncodeChsField(e.raw0, start, disk, false);
  Da::EncodeChsField(e.raw1, start + size - 1, disk, true);
  e.lba = static_cast<std::uint32_t>(start - relativeTo);
  e.count = static_cast<std::uint32_t>(size);
  e.read_count = e.count;
}

}  // namespace

holder* MbrBaseHolder::CreatePartition(std::uint64_t s, std::uint64_t n, PartitionInfo& info,
                                       bool commit) {
  if (disk == nullptr || n == 0 || s + n - 1 > disk->GetSectorCount() ||
      s + n - 1 > 0xFFFFFFFFull)
    return nullptr;
  auto* top = dynamic_cast<MbrTableHolder*>(disk->read_context.top);
  if (top == nullptr) return nullptr;
  const std::int32_t newId = info.id != 0 ? info.id : DaNextCreatedHolderKey();
  MbrTableHolder* table = top;
  std::uint32_t slot = 0;
  if (info.primary) {
    while (slot < 4 && top->entries[slot].Used()) ++slot;
    if (slot == 4) return nullptr;
    FillEntry(top->entries[slot], *disk, 0, info.type, s, n, 0);
  } else {
    // The extended partition that encloses the new one.
    std::uint32_t ext = 4;
    for (std::uint32_t i = 0; i < 4; ++i) {
      const MbrEntry& e = top->entries[i];
      if (IsExtendedType(e.Type()) && s > e.lba && s + n <= std::uint64_t(e.lba) + e.count) {
        ext = i;
        break;
      }
    }
    if (ext == 4) return nullptr;
    const std::uint64_t base = top->entries[ext].lba;
    const std::uint64_t offset =
        info.ebrOffset != 0 ? info.ebrOffset
                            : (disk->GetGeometry().sectorsPerTrack != 0
                                   ? disk->GetGeometry().sectorsPerTrack : 1);
    if (offset > s - base) return nullptr;
    const std::uint64_t ebrLba = s - offset;
    // The new EBR joins the chain after the last EBR that lies before it, so
    // the chain stays in disk order.
    MbrTableHolder* pred = top;
    std::uint32_t predIndex = ext;
    for (;;) {
      holder* nextHolder = pred->entries[predIndex].holder_ptr;
      auto* nextEbr = dynamic_cast<MbrTableHolder*>(nextHolder);
      if (nextEbr == nullptr || nextEbr->start >= ebrLba) break;
      std::uint32_t link = 4;
      for (std::uint32_t i = 0; i < 4; ++i)
        if (IsExtendedType(nextEbr->entries[i].Type())) link = i;
      if (link == 4) {
        // The chain ends here: link the new EBR from its entry 1.
        if (nextEbr->entries[1].Used()) return nullptr;
        pred = nextEbr;
        predIndex = 1;
        break;
      }
      pred = nextEbr;
      predIndex = link;
    }
    // Overlapping an existing table or partition is refused.
    for (holder* h = disk->holder_list.first; h != nullptr; h = h->next) {
      if (h == top) continue;
      if (h->start < s + n && ebrLba < h->start + h->size) return nullptr;
    }
    // The MBR's entry is the container itself: it takes a first EBR only
    // while it is empty, and only at its start.
    if (pred == top && (pred->entries[predIndex].holder_ptr != nullptr || ebrLba != base))
      return nullptr;
    auto* ebr = new MbrTableHolder(disk, ebrLba, predIndex, pred);
    ebr->flags &= ~kHolderUnfilled;
    ebr->extended_base = base;
    ebr->container_start = base;
    ebr->container_size = top->entries[ext].count;
    MbrEntry& link = pred->entries[predIndex];
    if (pred != top) {
      // The old link moves into the new EBR's entry 1.
      if (link.Used()) {
        ebr->entries[1] = link;
        if (link.holder_ptr != nullptr) {
          link.holder_ptr->owner = ebr;
          link.holder_ptr->index = 1;
        }
      }
      FillEntry(link, *disk, 0, 0x05, ebrLba, offset + n, base);
    }
    link.holder_ptr = ebr;
    ebr->SetModified(true);
    pred->SetModified(true);
    ebr->InsertSorted(0);
    table = ebr;
    slot = 0;
    FillEntry(ebr->entries[0], *disk, 0, info.type, s, n, ebrLba);
  }
  auto* p = new MbrPartitionHolder(disk, s, n, slot, table, newId);
  table->entries[slot].holder_ptr = p;
  if (info.primary && info.wantedIndex < 4 && info.wantedIndex != slot)
    p->MoveEntry(info.wantedIndex, false);
  p->InsertSorted(0);
  table->SetModified(true);
  ReattachVolume(commit, &info, p);
  return p;
}

MbrTableHolder::MbrTableHolder(stddisk* d, std::uint64_t lba, std::uint32_t i, holder* o)
    : holder(d, lba, 1, i, o) {
  flags |= kHolderUnfilled;
}

holder* MbrTableHolder::CloneForDisk(stddisk* d, holder** topSlot, holder* ownerTable) {
  auto* copy = new MbrTableHolder(d, start, index, ownerTable);
  copy->flags = flags;
  copy->modified = modified;
  copy->extended_base = extended_base;
  copy->container_start = container_start;
  copy->container_size = container_size;
  for (int i = 0; i < 4; ++i) {
    copy->entries[i] = entries[i];
    copy->entries[i].holder_ptr = nullptr;
  }
  if (auto* t = dynamic_cast<MbrTableHolder*>(ownerTable); t != nullptr && index < 4)
    t->entries[index].holder_ptr = copy;
  else if (topSlot != nullptr)
    *topSlot = copy;
  return copy;
}

MbrPartitionHolder::MbrPartitionHolder(stddisk* d, std::uint64_t s, std::uint64_t n,
                                       std::uint32_t i, holder* o, std::int32_t newId)
    : holder(d, s, n, i, o), BasePartitionHolder(newId) {
  extents.push_back(DaExtent{0, d != nullptr ? d->GetDiskNumber() : 0, s, n});
}

MbrPartitionHolder::MbrPartitionHolder(stddisk* d, const MbrPartitionHolder& from, holder* o)
    : holder(d, &from, o), BasePartitionHolder(d, &from) {
  const std::int32_t keptId = id;
  CopyPartitionFields(&from);
  id = keptId;
  if (d != from.disk) {
    aux_word = 0;
    extents.assign(1, DaExtent{0, d != nullptr ? d->GetDiskNumber() : 0, start, size});
  }
  user_data = from.user_data;
}

holder* MbrPartitionHolder::CloneForDisk(stddisk* d, holder**, holder* ownerTable) {
  auto* copy = new MbrPartitionHolder(d, *this, ownerTable);
  if (auto* t = dynamic_cast<MbrTableHolder*>(ownerTable); t != nullptr && index < 4)
    t->entries[index].holder_ptr = copy;
  return copy;
}

bool MbrPartitionHolder::DeletePartition(std::uint32_t f, PartitionInfo* info) {
  MbrEntry* e = OwnEntry();
  if (info != nullptr) {
    info->wantedIndex = index;
    info->primary = IsPrimary();
    info->type = GetType();
  }
  if ((f & 0x5) != 0) DaHolderVolumes().ForgetMount(*this, (f & 0x4) != 0);
  if (e != nullptr) *e = MbrEntry();
  FinishRemoval(f, info);
  return true;
}

void MbrPartitionHolder::SetActive(bool commit) {
  MbrTableHolder* t = OwnerTable();
  if (t == nullptr || !IsPrimary()) return;
  for (std::uint32_t i = 0; i < 4; ++i) {
    if (i == index) t->entries[i].raw0 |= 0x80;
    else t->entries[i].raw0 &= ~0x80u;
  }
  if (commit) MarkOwnerModified();
}

// -------------------------------------------------------------- writing

namespace {

// Written into a new MBR: a boot failure, so that the firmware tries the
// next device.
const std::uint8_t kStandardBootCode[] = {0xCD, 0x18};

Common::Error WriteTable(stddisk& disk, MbrTableHolder& t) {
  const std::uint32_t size = disk.GetSectorSize();
  std::vector<std::uint8_t> s(size, 0);
  const bool isMbr = t.owner == nullptr;
  PartitionTree* tree = BootTree(&disk);
  const bool bootManager = tree != nullptr && tree->boot_manager != 0;
  const std::uint8_t* area = tree != nullptr ? tree->boot_record : nullptr;
  if (isMbr) {
    Common::Error error;
    if (!ReadOneSector(disk, 0, s, &error)) {
      t.flags |= kHolderUnreadable;
      return error;
    }
    const bool hadSignature = HasSignature(s);
    if (!hadSignature) {
      std::fill(s.begin(), s.end(), 0);
      std::uint32_t signature = disk.signature_seen;
      if (signature == 0) signature = static_cast<std::uint32_t>(DaNextCreatedHolderKey()) * 2654435761u;
      Common::StoreLe32(&s[440], signature);
    }
    if (!hadSignature || (area != nullptr && area[7] != 0)) {
      std::memset(s.data(), 0, 426);
      std::memcpy(s.data(), kStandardBootCode, sizeof kStandardBootCode);
    }
  }
  s[510] = 0x55;
  s[511] = 0xAA;

  // Boot indicators: keep a chosen active entry, else pick one in the MBR.
  bool anyActive = false;
  for (const MbrEntry& e : t.entries)
    if (e.Used() && !IsExtendedType(e.Type()) && (e.raw0 & 0x80) != 0) anyActive = true;
  if (!anyActive) {
    int chosen = -1;
    if (isMbr) {
      for (int i = 0; i < 4 && chosen < 0; ++i)
        if (IsFatType(t.entries[i].Type())) chosen = i;
      for (int i = 0; i < 4 && chosen < 0; ++i)
        if (t.entries[i].Used() && !IsExtendedType(t.entries[i].Type()) &&
            t.entries[i].Type() != 0xEE)
          chosen = i;
      for (int i = 0; i < 4 && chosen < 0; ++i)
        if (t.entries[i].Used() && t.entries[i].Type() != 0xEE) chosen = i;
      // A boot manager's record the disk no longer keeps still names the
      // first entry.
      if (!bootManager && area != nullptr && (area[4] & 0x80) != 0 &&
          Common::LoadLe32(area) != 0)
        chosen = 0;
    }
    for (int i = 0; i < 4; ++i) {
      t.entries[i].raw0 &= ~0xFFu;
      if (i == chosen) t.entries[i].raw0 |= 0x80;
    }
  }

  // Hidden entries: a hideable type with bit 0x10, any other through the
  // saved-type table where the record is kept (EBRs, or a boot manager).
  const bool keepsRecord = !isMbr || bootManager;
  std::uint8_t savedTypes[4] = {};
  for (int i = 0; i < 4; ++i) {
    const MbrEntry& e = t.entries[i];
    std::uint8_t type = e.Type();
    if (e.hidden == 1 && IsHideableType(type)) {
      type |= 0x10;
    } else if (e.hidden != 0 && keepsRecord) {
      savedTypes[i] = type;
      type = e.hidden == 2 ? 0 : 0xBB;
    }
    std::uint8_t* out = &s[kEntries + 16 * i];
    Common::StoreLe32(out, e.raw0);
    Common::StoreLe32(out + 4, (e.raw1 & ~0xFFu) | type);
    Common::StoreLe32(out + 8, e.lba);
    Common::StoreLe32(out + 12, e.count);
  }
  if (keepsRecord) {
    // The 14-byte record: the boot manager's choice (MBR only), the saved
    // types, its length and a byte that makes it sum to zero.
    std::memset(&s[426], 0, 14);
    if (isMbr && area != nullptr) {
      Common::StoreLe32(&s[426], Common::LoadLe32(area));
      std::memcpy(&s[434], area + 4, 3);
    }
    std::memcpy(&s[430], savedTypes, 4);
    Common::StoreLe16(&s[438], 14);
    s[437] = static_cast<std::uint8_t>(0u - Sum(&s[426], 14));
  }

  if (t.sector_image != nullptr) {
    std::memcpy(t.sector_image, s.data(), size);
    t.sector_image = nullptr;
  } else {
    Common::Error e = disk.Io(Fdisk::kIoWrite, t.start, s.data(), 1);
    if (e.Code() != 0) {
      t.flags |= kHolderWriteFailed;
      return e;
    }
  }
  t.SetModified(false);
  t.flags &= ~(kHolderRewrite | kHolderUnfilled);
  disk.table_changed = 1;
  return Common::Error();
}

}  // namespace
