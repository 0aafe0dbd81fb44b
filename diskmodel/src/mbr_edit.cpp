// Editing the MBR table model: creating primaries and logicals (with the
// EBRs a logical needs), deleting, moving, retyping, hiding, activating,
// turning a primary into a logical and back, and listing partitions and free
// areas. Nothing here touches the disk.
#include <algorithm>

#include "fdisk/chs.h"
#include "fdisk/mbr_table.h"

namespace Fdisk {
namespace Mbr {
namespace {
constexpr std::uint32_t Loc(std::uint32_t n) { return 0x71C30000u | n; }

bool ByFirst(const MbrEntry& a, const MbrEntry& b) { return a.first < b.first; }
}  // namespace

// --- Lookups ------------------------------------------------------------------------

MbrEntry* MbrDisk::FindByStart(std::uint64_t first) {
  for (MbrEntry& e : entries_) {
    // The pseudo-entry and the containers are not partitions.
    if (e.IsHolder()) continue;
    if (e.first == first) return &e;
  }
  return nullptr;
}

MbrEntry* MbrDisk::LowerBound(std::uint64_t sector) {
  bool pseudo = true;
  for (MbrEntry& e : entries_) {
    if (pseudo) {
      pseudo = false;
      continue;
    }
    const std::uint64_t key = e.IsEbr() ? e.first : e.Last();
    if (key >= sector) return &e;
  }
  return nullptr;
}

MbrEntry& MbrDisk::Insert(const MbrEntry& entry) {
  auto at = std::upper_bound(std::next(entries_.begin()), entries_.end(), entry, ByFirst);
  MbrEntry& placed = *entries_.insert(at, entry);
  placed.owner = this;
  return placed;
}

void MbrDisk::Remove(const MbrEntry* entry) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (&*it == entry) {
      entries_.erase(it);
      return;
    }
  }
}

// A primary must stay out of every extended partition, and an extended
// partition must not take in a primary: both would make tables that
// overlap.
void MbrDisk::CheckOutsideExtended(std::uint64_t first, std::uint64_t last) const {
  for (const MbrEntry& e : entries_) {
    if (!e.IsEbr() || !e.inMbr) continue;
    const std::uint64_t end = std::max(e.first + e.size, e.first + 1) - 1;
    if (first <= end && e.first <= last) ThrowMbrError(Loc(1), kErrCrosses, Msg::kCrosses);
  }
}

void MbrDisk::CheckOutsidePrimaries(std::uint64_t first, std::uint64_t last) const {
  for (const MbrEntry& e : entries_) {
    if (!e.inMbr || e.IsHolder() || e.type == 0) continue;
    if (first <= e.Last() && e.first <= last) ThrowMbrError(Loc(2), kErrCrosses, Msg::kCrosses);
  }
}

MbrEntry& MbrDisk::ChainEnd(MbrEntry& member) {
  MbrEntry* at = PrimaryExtended(member.extBase);
  if (at == nullptr) return member;
  // At most one step per entry, so even a chain that loops cannot hold the
  // walk.
  for (std::size_t steps = entries_.size(); steps > 0; --steps) {
    MbrEntry* next = nullptr;
    for (MbrEntry& e : entries_) {
      if (&e != at && e.IsEbr() && e.parent == at->first) {
        next = &e;
        break;
      }
    }
    if (next == nullptr) break;
    at = next;
  }
  return *at;
}

// --- Creation ------------------------------------------------------------------------

MbrEntry& MbrDisk::CreatePartition(std::uint64_t first, std::uint64_t size, bool primary,
                                   int type, bool beginAlign, bool endAlign) {
  if (size == 0) ThrowMbrError(Loc(3), kErrTooSmall, Msg::kTooSmall);
  // Sector 0 is the MBR's own.
  if (first == 0) ThrowMbrError(Loc(4), kErrCrosses, Msg::kCrosses);
  if (size - 1 > ~std::uint64_t(0) - first) ThrowMbrError(Loc(5), kErrNotSupported, Msg::kNotSupported);
  std::uint64_t end = first + size - 1;
  // A partition past the disk's last sector could be written but never
  // read back.
  if (end > disk_->GetSectorCount()) ThrowMbrError(Loc(25), kErrCrosses, Msg::kCrosses);
  if (!AlignLba(kAlignDownCylinderEnd, end, disk_->GetGeometry())) {
    ThrowMbrError(Loc(6), kErrNotAligned, Msg::kNotAligned);
  }
  return primary ? CreatePrimary(first, size, type, beginAlign, endAlign)
                 : BuildLogicalChain(first, size, type, beginAlign, endAlign);
}

MbrEntry& MbrDisk::CreatePrimary(std::uint64_t first, std::uint64_t size, int type,
                                 bool beginAlign, bool endAlign) {
  const Geometry& g = disk_->GetGeometry();
  std::uint64_t end = first + size - 1;
  if (beginAlign) AlignLba(kAlignUpTrack, first, g);
  if (endAlign) AlignLba(kAlignDownCylinderEnd, end, g);
  if (end < first || first == 0) ThrowMbrError(Loc(7), kErrTooSmall, Msg::kTooSmall);
  size = end - first + 1;
  const MbrEntry* next = LowerBound(first);
  if (next != nullptr && next->first <= end) ThrowMbrError(Loc(8), kErrCrosses, Msg::kCrosses);
  CheckOutsideExtended(first, end);
  if (type < 0 || type > 255) ThrowMbrError(Loc(9), kErrNotSupported, Msg::kNotSupported);
  if (Pseudo().FindFreeSlot(true) < 0) ThrowMbrError(Loc(10), kErrSlotsFull, Msg::kSlotsFull);

  MbrEntry e;
  e.owner = this;
  e.inMbr = true;
  e.SetPosition(first, first, size);
  e.SetType(type);
  Pseudo().PlaceInTable(e, -1);
  return Insert(e);
}

MbrEntry& MbrDisk::BuildLogicalChain(std::uint64_t s, std::uint64_t size, int type,
                                     bool beginAlign, bool endAlign) {
  const Geometry& g = disk_->GetGeometry();
  std::uint64_t end = s + size - 1;
  if (beginAlign) AlignLba(kAlignUpCylinder, s, g);
  if (endAlign) AlignLba(kAlignDownCylinderEnd, end, g);
  if (end < s || s == 0) ThrowMbrError(Loc(11), kErrTooSmall, Msg::kTooSmall);
  const MbrEntry* after = LowerBound(s);
  if (after != nullptr && after->first <= end) ThrowMbrError(Loc(12), kErrCrosses, Msg::kCrosses);
  if (type < 0 || type > 255 || IsExtendedType(type)) {
    ThrowMbrError(Loc(13), kErrNotSupported, Msg::kNotSupported);
  }
  std::uint64_t logicalFirst = s;
  if (!AlignLba(kAlignNextTrack, logicalFirst, g) || logicalFirst > end) {
    ThrowMbrError(Loc(14), kErrTooSmall, Msg::kTooSmall);
  }
  const std::uint64_t regionSize = end - s + 1;
  const std::uint64_t offset = logicalFirst - s;

  // The first container at or after s, and whether the disk has a chain.
  MbrEntry* nextHolder = nullptr;
  MbrEntry* highestHolder = nullptr;
  bool hasExtended = false;
  for (MbrEntry& e : entries_) {
    if (!e.IsEbr()) continue;
    if (e.inMbr) hasExtended = true;
    if (nextHolder == nullptr && e.first >= s) nextHolder = &e;
    highestHolder = &e;
  }

  MbrEntry logical;
  logical.owner = this;
  logical.SetPosition(logicalFirst, offset, regionSize - offset);
  logical.SetType(type);

  if (nextHolder == nullptr && !hasExtended) {
    // The disk's first logical: a new extended partition around it.
    CheckOutsidePrimaries(s, end);
    if (Pseudo().FindFreeSlot(false) < 0) ThrowMbrError(Loc(15), kErrSlotsFull, Msg::kSlotsFull);
    MbrEntry x;
    x.owner = this;
    x.inMbr = true;
    x.extBase = s;
    x.SetPosition(s, s, regionSize);
    x.SetType(0x05);
    x.Table();
    x.tableChanged = true;
    Pseudo().PlaceInTable(x, -1);
    logical.extBase = s;
    x.PlaceInTable(logical, 0);
    x.tableState = x.CheckTable();
    Insert(x);
    return Insert(logical);
  }

  if (nextHolder == nullptr) {
    // After the last EBR: a new link at the end of the chain. The chain's
    // end is the EBR without a link, which need not be the highest one: a
    // chain may run back and forth over the disk, and a link hung on an EBR
    // that already has one is never followed by other readers.
    MbrEntry& last = ChainEnd(*highestHolder);
    MbrEntry* x = PrimaryExtended(last.extBase);
    const std::uint64_t base = last.extBase;
    CheckOutsidePrimaries(x != nullptr ? x->first : s, end);
    if (last.FindFreeSlot(false) < 0) ThrowMbrError(Loc(16), kErrSlotsFull, Msg::kSlotsFull);
    MbrEntry link = last;
    link.inMbr = false;
    link.tableChanged = true;
    link.numbers = {0, 0, 0};
    link.SetPosition(s, s - base, regionSize);
    if (link.IsHolder() && link.type != 0x05) link.SetType(0x05);
    last.PlaceInTable(link, -1);
    for (int slot = 1; slot < 4; ++slot) link.ClearSlot(slot);
    logical.extBase = base;
    link.PlaceInTable(logical, 0);
    MbrEntry& placedLink = Insert(link);
    MbrEntry& placedLogical = Insert(logical);
    if (x != nullptr) {
      const std::uint64_t regionEnd = RegionEnd(*x);
      x->SetPosition(x->first, x->first, regionEnd - x->first);
      Pseudo().PlaceInTable(*x, x->slot);
    }
    placedLink.tableState = placedLink.CheckTable();
    return placedLogical;
  }

  if (nextHolder->inMbr) {
    // Before the primary extended partition: a new one at s takes its MBR
    // slot and the old one becomes its first link.
    MbrEntry& oldX = *nextHolder;
    const std::uint64_t oldBase = oldX.first;
    const int slot = oldX.slot;
    const std::uint64_t chainEnd = RegionEnd(oldX);
    CheckOutsidePrimaries(s, chainEnd - 1);
    MbrEntry y;
    y.owner = this;
    y.inMbr = true;
    y.extBase = s;
    y.SetPosition(s, s, chainEnd - s);
    y.SetType(0x05);
    y.Table();
    y.tableChanged = true;
    MbrEntry& newX = Insert(y);
    RebaseChain(oldBase, s);
    Pseudo().PlaceInTable(newX, slot);
    logical.extBase = s;
    newX.PlaceInTable(logical, 0);
    oldX.inMbr = false;
    const std::uint64_t ownEnd = RegionEnd(oldX);
    oldX.SetPosition(oldX.first, oldX.first - s, ownEnd - oldX.first);
    newX.PlaceInTable(oldX, 1);
    return Insert(logical);
  }

  // Inside the chain: a new EBR before the link `n`, taking its slot.
  MbrEntry& n = *nextHolder;
  MbrEntry* p = FindHolder(n.parent);
  if (p == nullptr) ThrowMbrError(Loc(17), kErrNotFound, Msg::kNotFound);
  const std::uint64_t base = n.extBase;
  MbrEntry link = *p;
  link.inMbr = false;
  link.tableChanged = true;
  link.numbers = {0, 0, 0};
  link.extBase = base;
  link.mode = kHiddenNone;
  link.type = 0x05;
  link.image = EntryImage{};
  link.SetPosition(s, s - base, regionSize);
  link.SetType(0x05);
  p->PlaceInTable(link, n.slot);
  link.ClearSlot(2);
  link.ClearSlot(3);
  link.PlaceInTable(n, 1);
  logical.extBase = base;
  link.PlaceInTable(logical, 0);
  MbrEntry& placedLink = Insert(link);
  placedLink.tableState = placedLink.CheckTable();
  return Insert(logical);
}

// --- Deletion and moves --------------------------------------------------------------

void MbrDisk::DeleteEntry(MbrEntry& e) {
  if (e.parent == 0 && e.inMbr) {
    Pseudo().ClearSlot(e.slot);
    Remove(&e);
    return;
  }
  MbrEntry* holder = FindHolder(e.parent);
  const int slot = e.slot;
  Remove(&e);
  if (holder == nullptr) return;
  holder->ClearSlot(slot);
  if (holder->tableState == 1) Normalize();
}

void MbrDisk::DeletePartition(std::uint64_t first) {
  // Only the partition that starts there: a container or a neighbour is
  // never taken for it.
  MbrEntry* e = LowerBound(first);
  if (e == nullptr || e->IsHolder() || e->first != first) {
    ThrowMbrError(Loc(18), kErrNotFound, Msg::kNotFound);
  }
  DeleteEntry(*e);
}

MbrEntry& MbrDisk::MovePartition(std::uint64_t oldFirst, std::uint64_t& newFirst,
                                 std::uint64_t& newSize) {
  MbrEntry* found = FindByStart(oldFirst);
  if (found == nullptr) ThrowMbrError(Loc(19), kErrNotFound, Msg::kNotFound);
  const MbrEntry old = *found;
  DeleteEntry(*found);
  MbrEntry& moved = CreatePartition(newFirst, newSize, old.inMbr, old.type, true, true);
  if (old.mode != kHiddenNone) {
    try {
      moved.SetMode(old.mode);
      Rewrite(moved);
    } catch (const Error& e) {
      if (Common::GetErrorCode(e) != kErrCannotHide) throw;
    }
  }
  newFirst = moved.first;
  newSize = moved.RecordedCount();
  return moved;
}

MbrEntry& MbrDisk::SetPrimary(std::uint64_t first, bool primary) {
  MbrEntry* found = FindByStart(first);
  if (found == nullptr) ThrowMbrError(Loc(20), kErrNotFound, Msg::kNotFound);
  if (found->inMbr == primary) return *found;
  const MbrEntry old = *found;
  const Geometry& g = disk_->GetGeometry();
  MbrEntry* made = nullptr;
  if (primary) {
    const std::uint64_t ebr = old.parent;
    DeleteEntry(*found);
    const std::uint64_t end = old.first + old.size;  // exclusive
    std::uint64_t start = old.first;
    AlignLba(kAlignUpCylinder, start, g);
    if (start > ebr && FindHolder(ebr) == nullptr) {
      // The EBR went away: its space joins the partition.
      bool preceded = false;
      for (const MbrEntry& e : entries_) {
        if (e.first != 0 && e.first < ebr) preceded = true;
      }
      start = ebr;
      if (!preceded) {
        start = 1;
        AlignLba(kAlignUpTrack, start, g);
      }
    }
    if (start >= end) ThrowMbrError(Loc(21), kErrTooSmall, Msg::kTooSmall);
    made = &CreatePrimary(start, end - start, old.type, true, true);
  } else {
    DeleteEntry(*found);
    made = &BuildLogicalChain(old.first, old.size, old.type, true, true);
  }
  if (old.mode != kHiddenNone) {
    try {
      made->SetMode(old.mode);
      Rewrite(*made);
    } catch (const Error& e) {
      if (Common::GetErrorCode(e) != kErrCannotHide) throw;
    }
  }
  return *made;
}

// --- Attribute changes ----------------------------------------------------------------

MbrEntry& MbrDisk::SetTypeAt(std::uint64_t first, int type) {
  MbrEntry* e = FindByStart(first);
  if (e == nullptr) ThrowMbrError(Loc(22), kErrNotFound, Msg::kNotFound);
  e->SetType(type);
  Rewrite(*e);
  return *e;
}

MbrEntry& MbrDisk::SetBootIndicator(std::uint64_t first, std::uint8_t value) {
  MbrEntry* e = FindByStart(first);
  if (e == nullptr) ThrowMbrError(Loc(23), kErrNotFound, Msg::kNotFound);
  e->SetBootIndicator(value);
  Rewrite(*e);
  return *e;
}

MbrEntry MbrDisk::SetHiddenModeAt(std::uint64_t first, HiddenMode mode) {
  MbrEntry* e = FindByStart(first);
  if (e == nullptr) ThrowMbrError(Loc(24), kErrNotFound, Msg::kNotFound);
  e->SetMode(mode);
  Rewrite(*e);
  return *e;
}

// --- Listing ----------------------------------------------------------------------------

std::list<MbrEntry> MbrDisk::ListPortions() const {
  const Geometry& g = disk_->GetGeometry();
  std::list<MbrEntry> out;
  std::uint64_t diskEnd = disk_->GetSectorCount();
  AlignLba(kAlignDownCylinderEnd, diskEnd, g);
  std::uint64_t cursor = 1;
  AlignLba(kAlignUpTrack, cursor, g);
  auto freeArea = [&](std::uint64_t from, std::uint64_t to) {
    MbrEntry f;
    f.first = from;
    f.size = to - from + 1;
    out.push_back(f);
  };
  bool pseudo = true;
  for (const MbrEntry& e : entries_) {
    if (pseudo) {
      pseudo = false;
      continue;
    }
    // The gap before the entry ends at a cylinder end before its first
    // sector; there is none when the entry starts in cylinder 0.
    std::uint64_t gapEnd = e.first - 1;
    const bool aligned = e.first != 0 && AlignLba(kAlignDownCylinderEnd, gapEnd, g);
    // Free areas end with the disk, whatever the entries claim.
    gapEnd = std::min(gapEnd, diskEnd);
    if (aligned && cursor < gapEnd) {
      freeArea(cursor, gapEnd);
    }
    out.push_back(e);
    std::uint64_t next = e.first + (e.IsEbr() ? 1 : e.size);
    if (next > diskEnd) next = diskEnd;
    // From the sector after the entry, never back over an earlier one.
    AlignLba(kAlignUpTrack, next, g);
    if (next > cursor) cursor = next;
  }
  if (cursor < diskEnd) freeArea(cursor, diskEnd);
  out.remove_if([](const MbrEntry& e) { return e.IsEbr(); });
  return out;
}

}  // namespace Mbr
}  // namespace Fdisk
