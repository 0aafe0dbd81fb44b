// MBR and EBR tables as holders: reading the table and its chain of extended
// boot records, numbering, editing entries and writing changed tables back.
#include <cstring>
#include <map>
#include <set>

#include "diskaccess/da_state.h"
#include "diskaccess/geometry.h"
#include "diskaccess/holders.h"
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

class MbrIterator : public ListIterator {
 public:
  using ListIterator::ListIterator;
  std::uint32_t GetKind() const override {
    const holder* h = Current();
    return h != nullptr ? h->GetType() : 0;
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

 protected:
  void Read() override {
    if (disk == nullptr || context == nullptr || context->top != nullptr) return;
    std::vector<std::uint8_t> s;
    if (!ReadOneSector(*disk, 0, s, &context->error)) {
      context->subtype = kSubtypeReadError;
      return;
    }
    if (!HasSignature(s)) return;
    auto* top = new MbrTableHolder(disk, 0, 0, nullptr);
    FillEntries(*top, s);
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
    const bool protective = context->subtype == 0xEE;
    bool visible05 = false, visibleExtended = false;
    for (std::uint32_t i = 0; i < 4; ++i) {
      MbrEntry& e = top->entries[i];
      if (!e.Used()) continue;
      if (IsExtendedType(e.Type())) {
        // How far this container is seen by the older numbering kinds.
        std::uint32_t n = 0;
        if (e.hidden != 0) n = 7;
        else {
          if (visible05 || e.Type() == 0x0F) n |= 1;
          if (visibleExtended) n |= 2;
          if (e.Type() == 0x0F) n |= 4;
        }
        if (e.hidden == 0) {
          visibleExtended = true;
          if (e.Type() == 0x05) visible05 = true;
        }
        if ((flags & kWalkFollowChains) != 0) ReadChain(top, i, n);
        continue;
      }
      if (protective && IsProtectiveType(e.Type())) continue;
      auto* p = new MbrPartitionHolder(disk, e.lba, e.count, i, top, NewId());
      e.holder_ptr = p;
      Yield(p);
    }
  }

 private:
  std::int32_t NewId() const { return (flags & kWalkIdZero) != 0 ? 0 : DaNextReadHolderKey(); }

  // Follows the chain of extended boot records from the MBR's entry `index`.
  void ReadChain(MbrTableHolder* top, std::uint32_t index, std::uint32_t nesting) {
    const MbrEntry& container = top->entries[index];
    const std::uint64_t base = container.lba;
    const std::uint64_t end = base + container.count;  // one past the container
    const std::uint64_t last = disk->GetSectorCount();
    std::set<std::uint64_t> visited;
    MbrTableHolder* ownerTable = top;
    std::uint32_t ownerIndex = index;
    std::uint64_t lba = base;
    for (std::uint32_t n = 0;; ++n) {
      if (n >= kMaxChain || lba < base || lba >= end || lba > last ||
          !visited.insert(lba).second) {
        ownerTable->flags |= kHolderChainCut;
        return;
      }
      auto* ebr = new MbrTableHolder(disk, lba, ownerIndex, ownerTable);
      ebr->extended_base = base;
      ebr->container_start = base;
      ebr->container_size = container.count;
      ownerTable->entries[ownerIndex].holder_ptr = ebr;
      nesting_[ebr] = nesting;
      std::vector<std::uint8_t> s;
      if (!ReadOneSector(*disk, lba, s, &context->error)) {
        ebr->flags |= kHolderUnreadable;
        Yield(ebr);
        return;
      }
      if (!HasSignature(s)) {
        ebr->flags |= kHolderRewrite;
        Yield(ebr);
        return;
      }
      FillEntries(*ebr, s);
      ebr->flags &= ~kHolderUnfilled;
      Yield(ebr);
      std::int32_t link = -1;
      for (std::uint32_t i = 0; i < 4; ++i) {
        MbrEntry& e = ebr->entries[i];
        if (!e.Used()) continue;
        if (IsExtendedType(e.Type())) {
          if (link < 0) link = static_cast<std::int32_t>(i);
          continue;
        }
        auto* p = new MbrPartitionHolder(disk, lba + e.lba, e.count, i, ebr, NewId());
        e.holder_ptr = p;
        Yield(p);
      }
      if (link < 0 || ebr->entries[link].lba == 0) return;
      ownerTable = ebr;
      ownerIndex = static_cast<std::uint32_t>(link);
      lba = base + ebr->entries[link].lba;
    }
  }

  std::uint32_t counters_[3] = {1, 1, 1};
  std::map<const holder*, std::uint32_t> nesting_;
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
  if (info.handler) p->SetVolumeHandler(info.handler);
  table->SetModified(true);
  if (commit) p->MarkOwnerModified();
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

bool MbrPartitionHolder::DeletePartition(std::uint32_t, PartitionInfo* info) {
  MbrEntry* e = OwnEntry();
  if (info != nullptr) {
    info->wantedIndex = index;
    info->primary = IsPrimary();
    info->type = GetType();
    info->id = id;
    info->handler = handler;
  }
  if (e != nullptr) {
    *e = MbrEntry();
    MarkOwnerModified();
  }
  if (disk != nullptr) disk->holder_list.Unlink(this);
  delete this;
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

Common::Error WriteTable(stddisk& disk, MbrTableHolder& t) {
  const std::uint32_t size = disk.GetSectorSize();
  std::vector<std::uint8_t> s(size, 0);
  const bool isMbr = t.owner == nullptr;
  if (isMbr) {
    Common::Error error;
    if (!ReadOneSector(disk, 0, s, &error)) {
      t.flags |= kHolderUnreadable;
      return error;
    }
    if (!HasSignature(s)) {
      std::fill(s.begin(), s.end(), 0);
      std::uint32_t signature = disk.signature_seen;
      if (signature == 0) signature = static_cast<std::uint32_t>(DaNextCreatedHolderKey()) * 2654435761u;
      Common::StoreLe32(&s[440], signature);
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
    }
    for (int i = 0; i < 4; ++i) {
      t.entries[i].raw0 &= ~0xFFu;
      if (i == chosen) t.entries[i].raw0 |= 0x80;
    }
  }

  std::uint8_t savedTypes[4] = {};
  bool anySaved = false;
  for (int i = 0; i < 4; ++i) {
    const MbrEntry& e = t.entries[i];
    std::uint8_t type = e.Type();
    if (e.hidden == 1 && IsHideableType(type)) {
      type |= 0x10;
    } else if (e.hidden != 0 && !isMbr) {
      savedTypes[i] = type;
      anySaved = true;
      type = e.hidden == 2 ? 0 : 0xBB;
    }
    std::uint8_t* out = &s[kEntries + 16 * i];
    Common::StoreLe32(out, e.raw0);
    Common::StoreLe32(out + 4, (e.raw1 & ~0xFFu) | type);
    Common::StoreLe32(out + 8, e.lba);
    Common::StoreLe32(out + 12, e.count);
  }
  if (!isMbr) {
    // The 14-byte record of an EBR: the saved types of hidden entries, its
    // length and a byte that makes the record sum to zero.
    std::memset(&s[426], 0, 14);
    if (anySaved) std::memcpy(&s[430], savedTypes, 4);
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

Common::Error WriteMbrTables(stddisk& disk) {
  Common::Error first;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
    auto* t = dynamic_cast<MbrTableHolder*>(h);
    if (t == nullptr || (!t->IsModified() && t->sector_image == nullptr)) continue;
    Common::Error e = WriteTable(disk, *t);
    if (e.Code() != 0 && first.IsNull()) first = e;
  }
  return first;
}
