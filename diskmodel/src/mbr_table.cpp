// MBR table model: entries, reading the EBR chain, numbering, repairing the
// chain and writing the changed tables.
#include "foundation/byteorder.h"
#include "fdisk/mbr_table.h"
#include "fdisk/write_journal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "fdisk/chs.h"
#include "fdisk/model.h"
#include "foundation/trace.h"

namespace Fdisk {
namespace Mbr {
namespace {
constexpr std::uint32_t kModuleId = 0x9D3B71C2;
constexpr int kLogCategory = 30;
constexpr std::uint16_t kSignature = 0xAA55;
constexpr std::uint64_t kMax32 = 0xFFFFFFFFull;

constexpr std::uint32_t Loc(std::uint32_t n) { return 0x71C20000u | n; }

bool SlotIsFree(const std::uint8_t* bytes) { return bytes[4] == 0 && Common::LoadLe32(bytes + 8) == 0; }

// Stores a saved type for a slot and keeps the record valid: length 14,
// checksum so that the 14 bytes sum to 0.
void WriteRecordByte(TableTail& table, int slot, std::uint8_t value) {
  table[4 + slot] = value;
  table[12] = 14;
  table[13] = 0;
  table[11] = 0;
  unsigned sum = 0;
  for (std::size_t i = 0; i < kRecordBytes; ++i) sum += table[i];
  table[11] = std::uint8_t(-sum);
}

Common::Error InvalidSectorSize() {
  return MakeError(Loc(1), kModuleId, kErrInvalidParameter, Fdisk::Msg::kInvalidParameter);
}
}  // namespace

void ThrowMbrError(std::uint32_t location, std::uint32_t code, std::uint32_t message,
                   const Common::Error& cause) {
  Common::Error e = Fdisk::MakeError(location, kModuleId, code, message);
  if (cause) Common::AttachErrorCause(e, cause);
  TraceError(1, e);
  throw Error(e);
}

void MbrLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FdiskLogV(kLogCategory, format, args);
  va_end(args);
}

// --- MbrEntry ----------------------------------------------------------------

std::uint32_t MbrEntry::RelativeFirst() const { return Common::LoadLe32(image.data() + 8); }
std::uint32_t MbrEntry::RecordedCount() const { return Common::LoadLe32(image.data() + 12); }

TableTail& MbrEntry::Table() {
  if (!table) {
    table.emplace();
    table->fill(0);
    (*table)[84] = 0x55;
    (*table)[85] = 0xAA;
  }
  return *table;
}

MbrEntry MbrEntry::FromImage(const std::uint8_t* bytes, std::uint8_t savedType) {
  MbrEntry e;
  std::memcpy(e.image.data(), bytes, kEntryBytes);
  const std::uint8_t t = bytes[4];
  if (t == 0xBB && savedType != 0) {
    e.mode = kHiddenFlag;
    e.type = savedType;
  } else if (t == 0 && savedType != 0) {
    e.mode = kHiddenZeroType;
    e.type = savedType;
  } else if ((t & 0x10) != 0 && IsHideableType(t & 0xEF)) {
    e.mode = kHiddenFlag;
    e.type = t & 0xEF;
  } else {
    e.mode = kHiddenNone;
    e.type = t;
  }
  e.size = e.RecordedCount();
  return e;
}

std::uint8_t MbrEntry::EncodedType() const {
  switch (mode) {
    case kHiddenFlag:
      return IsHideableType(type) ? std::uint8_t(type | 0x10) : std::uint8_t(0xBB);
    case kHiddenZeroType:
      return 0;
    default:
      return std::uint8_t(type);
  }
}

void MbrEntry::ReadEbr() {
  SimpleDisk& disk = owner->Disk();
  const std::uint32_t sectorSize = disk.GetSectorSize();
  if (sectorSize < kTableSectorBytes) {
    ThrowMbrError(Loc(2), kErrReadTable, Msg::kReadTable, InvalidSectorSize());
  }
  AlignedBuffer buffer(sectorSize, sectorSize);
  Common::Error e = disk.Io(kIoRead, first, buffer.Get(), 1);
  if (e) ThrowMbrError(Loc(3), kErrReadTable, Msg::kReadTable, e);
  const std::uint8_t* sector = buffer.Get();
  if (Common::LoadLe16(sector + 510) != kSignature) ThrowMbrError(Loc(4), kErrTableCorrupt, Msg::kTableCorrupt);
  TableTail& t = Table();
  std::memcpy(t.data(), sector + kTableTailOffset, kTableTailBytes);
  if (Common::LoadLe16(t.data() + 12) == kRecordBytes) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < kRecordBytes; ++i) sum += t[i];
    recordValid = (sum & 0xFF) == 0;
  }
  tableState = CheckTable();
}

void MbrEntry::WriteEbr() {
  const std::uint32_t sectorSize = owner->Disk().GetSectorSize();
  if (sectorSize < kTableSectorBytes) {
    tableChanged = false;
    ThrowMbrError(Loc(5), kErrWriteTable, Msg::kWriteTable, InvalidSectorSize());
  }
  AlignedBuffer buffer(sectorSize, sectorSize);
  std::memset(buffer.Get(), 0, sectorSize);
  std::memcpy(buffer.Get() + kTableTailOffset, Table().data(), kTableTailBytes);
  Common::Error e = owner->WriteSectors(first, buffer.Get(), 1);
  tableChanged = false;
  if (e) ThrowMbrError(Loc(6), kErrWriteTable, Msg::kWriteTable, e);
}

void MbrEntry::SetType(int newType) {
  if (newType < 0 || newType > 255) ThrowMbrError(Loc(7), kErrNotSupported, Msg::kNotSupported);
  type = newType;
  image[4] = EncodedType();
  AdjustLbaType();
}

void MbrEntry::SetMode(HiddenMode newMode) {
  if ((parent == 0 && !recordValid) || newMode < kHiddenNone || newMode > kHiddenZeroType) {
    ThrowMbrError(Loc(8), kErrCannotHide, Msg::kCannotHide);
  }
  mode = newMode;
  image[4] = EncodedType();
}

void MbrEntry::AdjustLbaType() {
  if (owner == nullptr) return;
  bool lba = false;
  if (inMbr) {
    const Geometry& g = owner->Disk().GetGeometry();
    if (!IsUsableGeometry(g)) {
      lba = true;  // nothing is reachable through CHS
    } else {
      const std::uint64_t cylinders = std::min<std::uint64_t>(g.cylinders, 1023) + 1;
      const std::uint64_t lastChs =
          cylinders * (std::uint64_t(g.highestHead) + 1) * g.sectorsPerTrack - 1;
      lba = Last() > lastChs;
    }
  }
  int to = type;
  if (lba) {
    if (type == 0x04) to = 0x0E;
    if (type == 0x05) to = 0x0F;
    if (type == 0x0B) to = 0x0C;
  } else {
    if (type == 0x0E) to = 0x04;
    if (type == 0x0F) to = 0x05;
    if (type == 0x0C) to = 0x0B;
  }
  if (to != type) SetType(to);
}

void MbrEntry::SetPosition(std::uint64_t newFirst, std::uint64_t relative, std::uint64_t count) {
  // Entries hold 32-bit values; a partition past them cannot be described.
  if (relative > kMax32 || count > kMax32) {
    ThrowMbrError(Loc(9), kErrNotSupported, Msg::kNotSupported);
  }
  first = newFirst;
  size = count;
  Common::StoreLe32(image.data() + 8, std::uint32_t(relative));
  Common::StoreLe32(image.data() + 12, std::uint32_t(count));
  if (owner != nullptr) {
    UpdateMbrChs(image.data(), first, owner->Disk());
    UpdateMbrChs(image.data() + 4, Last(), owner->Disk());
  }
  AdjustLbaType();
}

void MbrEntry::SetRelative(std::uint64_t relative) {
  if (relative > kMax32) ThrowMbrError(Loc(17), kErrNotSupported, Msg::kNotSupported);
  Common::StoreLe32(image.data() + 8, std::uint32_t(relative));
}

int MbrEntry::FindFreeSlot(bool ordinary) const {
  static const int kOrdinaryOrder[4] = {0, 1, 2, 3};
  static const int kOtherOrder[4] = {1, 2, 3, 0};
  const int* order = ordinary ? kOrdinaryOrder : kOtherOrder;
  for (int i = 0; i < 4; ++i) {
    const int slot = order[i];
    if (!table || SlotIsFree(table->data() + kTailEntriesOffset + kEntryBytes * slot)) return slot;
  }
  return -1;
}

void MbrEntry::PlaceInTable(MbrEntry& entry, int where) {
  if (where < 0) {
    where = FindFreeSlot(entry.type != 0 && !IsExtendedType(entry.type));
    if (where < 0) ThrowMbrError(Loc(10), kErrSlotsFull, Msg::kSlotsFull);
  }
  if (where > 3) ThrowMbrError(Loc(11), kErrSlotsFull, Msg::kSlotsFull);
  TableTail& t = Table();
  std::memcpy(t.data() + kTailEntriesOffset + kEntryBytes * where, entry.image.data(),
              kEntryBytes);
  entry.slot = where;
  const bool saved = entry.mode == kHiddenZeroType ||
                     (entry.mode == kHiddenFlag && !IsHideableType(entry.type));
  WriteRecordByte(t, where, saved ? std::uint8_t(entry.type) : 0);
  entry.parent = first;
  tableState = CheckTable();
  tableChanged = true;
}

void MbrEntry::ClearSlot(int where) {
  if (where < 0 || where > 3) return;
  TableTail& t = Table();
  std::memset(t.data() + kTailEntriesOffset + kEntryBytes * where, 0, kEntryBytes);
  WriteRecordByte(t, where, 0);
  tableState = CheckTable();
  tableChanged = true;
}

int MbrEntry::CheckTable() const {
  if (first == 0) return 0;
  if (!table) return 1;
  const Geometry& g = owner->Disk().GetGeometry();
  const std::uint64_t start = first + 1;
  std::uint64_t cylinder = start;
  if (!AlignLba(kAlignNextCylinder, cylinder, g)) cylinder = start;
  std::uint64_t track = cylinder;
  if (!AlignLba(kAlignNextTrack, track, g)) track = cylinder;
  const std::uint64_t distance = track - start;
  int links = 0;
  bool holdsPartition = false;
  bool far = true;
  for (int slot = 0; slot < 4; ++slot) {
    const std::uint8_t* bytes = table->data() + kTailEntriesOffset + kEntryBytes * slot;
    if (SlotIsFree(bytes)) continue;
    if (IsExtendedType(bytes[4])) {
      ++links;
    } else {
      holdsPartition = true;
      if (Common::LoadLe32(bytes + 8) < distance) far = false;
    }
  }
  if (!holdsPartition && links <= 1) return 1;
  return far ? 2 : 0;
}

// --- TableWalker ---------------------------------------------------------------

TableWalker::TableWalker(MbrDisk& disk, bool yieldHolders)
    : disk_(disk), yieldHolders_(yieldHolders) {}

void TableWalker::Start() {
  queue_.clear();
  seen_.clear();
  MbrEntry pseudo = disk_.MakePseudo();
  try {
    pseudo.ReadEbr();
  } catch (const Error& e) {
    const std::uint32_t code = Common::GetErrorCode(e);
    if (code == kErrTableCorrupt || code == kErrReadTable) {
      ThrowMbrError(Loc(12), kErrNoMbr, Msg::kNoMbr, e);
    }
    throw;
  }
  // Sector 0 belongs to the MBR: an entry that claims it is dropped like a
  // link back into the chain.
  seen_.push_back(0);
  queue_.push_back(pseudo);
  Expand(queue_.back(), true);
}

void TableWalker::Next() {
  if (queue_.empty()) return;
  queue_.pop_front();
  while (!queue_.empty() && queue_.front().IsHolder()) {
    Expand(queue_.front(), false);
    if (yieldHolders_) return;
    queue_.pop_front();
  }
}

void TableWalker::Expand(const MbrEntry& holder, bool mbrLevel) {
  if (!holder.table) return;
  const std::uint64_t r = mbrLevel ? 0 : holder.RelativeFirst();
  const std::uint64_t b = mbrLevel ? 0 : holder.extBase;
  const bool m = mbrLevel ? false : holder.inMbr;
  const TableTail& t = *holder.table;
  for (int slot = 0; slot < 4; ++slot) {
    const std::uint8_t saved = holder.recordValid ? t[4 + slot] : 0;
    MbrEntry e = MbrEntry::FromImage(t.data() + kTailEntriesOffset + kEntryBytes * slot, saved);
    if (e.type == 0) continue;
    e.owner = &disk_;
    e.slot = slot;
    e.parent = holder.first;
    e.inMbr = mbrLevel;
    const std::uint64_t relative = e.RelativeFirst();
    if (IsExtendedType(e.type)) {
      e.first = relative + b;
      e.extBase = mbrLevel ? e.first : b;
      e.ReadEbr();
    } else {
      e.first = relative + r + (m ? 0 : b);
      e.extBase = mbrLevel ? 0 : b;
    }
    auto at = std::lower_bound(seen_.begin(), seen_.end(), e.first);
    if (at != seen_.end() && *at == e.first) continue;
    seen_.insert(at, e.first);
    queue_.push_back(std::move(e));
  }
}

// --- MbrDisk: construction, copies, sector I/O ----------------------------------

MbrDisk::MbrDisk(SimpleDisk& disk) : disk_(&disk), sector0_(kTableSectorBytes, 0) {
  // Until Load or InitEmpty the model is an empty table, never an empty list.
  entries_.push_back(MakePseudo());
}

MbrDisk::MbrDisk(const MbrDisk& other)
    : disk_(other.disk_),
      sector0_(other.sector0_),
      entries_(other.entries_),
      sector0Changed_(other.sector0Changed_) {
  RepointOwners();
}

MbrDisk& MbrDisk::operator=(const MbrDisk& other) {
  if (this == &other) return *this;
  MbrDisk copy(other);
  Swap(copy);
  return *this;
}

void MbrDisk::Swap(MbrDisk& other) {
  std::swap(disk_, other.disk_);
  sector0_.swap(other.sector0_);
  entries_.swap(other.entries_);
  std::swap(sector0Changed_, other.sector0Changed_);
  RepointOwners();
  other.RepointOwners();
}

void MbrDisk::RepointOwners() {
  for (MbrEntry& e : entries_) e.owner = this;
}

void MbrDisk::ClearSector0() { std::fill(sector0_.begin(), sector0_.begin() + kTableSectorBytes, 0); }

std::uint32_t MbrDisk::TableSectorSize() const { return disk_->GetSectorSize(); }

MbrEntry MbrDisk::MakePseudo() const {
  MbrEntry e;
  e.owner = const_cast<MbrDisk*>(this);
  e.first = 0;
  e.size = disk_->GetSectorCount();
  e.type = 0x05;
  e.image[4] = 0x05;
  e.inMbr = true;
  return e;
}

void MbrDisk::ReadBootSector() {
  sector0Changed_ = false;
  const std::uint32_t sectorSize = disk_->GetSectorSize();
  if (sectorSize < kTableSectorBytes) ThrowMbrError(Loc(13), kErrNoMbr, Msg::kNoMbr);
  AlignedBuffer buffer(sectorSize, sectorSize);
  Common::Error e = disk_->Io(kIoRead, 0, buffer.Get(), 1);
  if (e) ThrowMbrError(Loc(14), kErrReadMbr, Msg::kReadMbr, e);
  sector0_.assign(buffer.Get(), buffer.Get() + sectorSize);
  if (Common::LoadLe16(sector0_.data() + 510) != kSignature) ThrowMbrError(Loc(15), kErrNoMbr, Msg::kNoMbr);
}

Common::Error MbrDisk::WriteSectors(std::uint64_t first, std::uint8_t* buffer,
                                    std::uint64_t count) {
  if (count == 0) return Common::NoError;
  const std::uint32_t sectorSize = disk_->GetSectorSize();
  if (sectorSize < kTableSectorBytes) return InvalidSectorSize();
  WriteJournal::Before(*disk_, first, count);
  if (first != 0) return disk_->Io(kIoWrite, first, buffer, count);
  // Sector 0 keeps its boot code: only the table part comes from the buffer.
  std::memcpy(sector0_.data() + kTableTailOffset, buffer + kTableTailOffset, kTableTailBytes);
  if (!entries_.empty()) Pseudo().tableChanged = true;
  sector0Changed_ = false;
  AlignedBuffer out(sectorSize, sectorSize);
  std::memset(out.Get(), 0, sectorSize);
  std::memcpy(out.Get(), sector0_.data(), std::min<std::size_t>(sector0_.size(), sectorSize));
  Common::Error e = disk_->Io(kIoWrite, 0, out.Get(), 1);
  if (!e && count > 1) e = disk_->Io(kIoWrite, 1, buffer + sectorSize, count - 1);
  return e;
}

void MbrDisk::WriteBootSector() {
  std::vector<std::uint8_t> copy(sector0_);
  copy.resize(std::max<std::size_t>(copy.size(), disk_->GetSectorSize()), 0);
  Common::Error e = WriteSectors(0, copy.data(), 1);
  if (e) ThrowMbrError(Loc(16), kErrWriteMbr, Msg::kWriteMbr, e);
}

// --- MbrDisk: load, init, commit ------------------------------------------------

Common::Error MbrDisk::Load() {
  try {
    entries_.clear();
    ReadBootSector();
    TableWalker walker(*this, true);
    for (walker.Start(); !walker.Done(); walker.Next()) entries_.push_back(walker.Current());
    Number();
    entries_.sort([](const MbrEntry& a, const MbrEntry& b) { return a.first < b.first; });
    // The model shows the disk as it is: a chain is repaired (Normalize)
    // only by the edits that need it, never merely by reading it.
    return Common::NoError;
  } catch (const Error& e) {
    if (entries_.empty()) entries_.push_back(MakePseudo());
    return e;
  } catch (const Common::Error& e) {
    TraceExNarrow(4, kLogCategory, int(Common::GetErrorCode(e)), "Error while working mbr driver",
                  0, 0);
    if (entries_.empty()) entries_.push_back(MakePseudo());
    return e;
  }
}

void MbrDisk::InitEmpty() {
  sector0_.assign(std::max<std::size_t>(kTableSectorBytes, disk_->GetSectorSize()), 0);
  sector0_[510] = 0x55;
  sector0_[511] = 0xAA;
  sector0Changed_ = false;
  entries_.clear();
  entries_.push_back(MakePseudo());
}

Common::Error MbrDisk::Commit() {
  for (MbrEntry& e : entries_) {
    if (e.tableChanged) e.WriteEbr();
  }
  if (sector0Changed_) WriteBootSector();
  return Common::NoError;
}

// --- Numbering -------------------------------------------------------------------

void MbrDisk::Number() {
  if (entries_.empty()) return;
  std::map<std::pair<std::uint64_t, int>, MbrEntry*> bySlot;
  for (MbrEntry& e : entries_) {
    e.numbers = {0, 0, 0};
    if (e.slot >= 0 && (&e != &entries_.front())) bySlot.emplace(std::make_pair(e.parent, e.slot), &e);
  }
  std::int32_t c0 = 1;
  std::int32_t c1 = 1;
  std::int32_t c2 = 1;
  struct Frame {
    const MbrEntry* container;
    int slot;
    bool b;
    bool c;
    const MbrEntry* child;
  };
  // An explicit stack: a chain may hold any number of EBRs.
  std::vector<Frame> stack{{&entries_.front(), 0, false, false, nullptr}};
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.child != nullptr) {
      if (f.child->type == 0x05) f.b = f.c = true;
      if (f.child->type == 0x0F) f.b = true;
      f.child = nullptr;
    }
    if (f.slot > 3) {
      stack.pop_back();
      continue;
    }
    const int i = f.slot++;
    auto it = bySlot.find({f.container->first, i});
    if (it == bySlot.end()) continue;
    MbrEntry& e = *it->second;
    if (e.IsEbr()) {
      // The tree the walk built has no cycles, but guard against edits.
      if (e.first == f.container->first || stack.size() > entries_.size()) continue;
      f.child = &e;
      const Frame next{&e, 0, f.b, f.c, nullptr};
      stack.push_back(next);
      continue;
    }
    if (f.container->inMbr || f.container->parent == 0) {
      e.numbers[0] = i + 1;
      if (e.mode == kHiddenZeroType) continue;
      e.numbers[1] = c1++;
      e.numbers[2] = c2++;
    } else {
      if (c0 <= 4) c0 = 5;
      e.numbers[0] = c0++;
      if (e.mode == kHiddenZeroType) continue;
      if (!f.b) e.numbers[1] = c1++;
      if (!f.c) e.numbers[2] = c2++;
    }
  }
}

// --- Repairing the chain -----------------------------------------------------------

MbrEntry* MbrDisk::FindHolder(std::uint64_t first) {
  if (first == 0) return entries_.empty() ? nullptr : &entries_.front();
  for (MbrEntry& e : entries_) {
    if (e.IsEbr() && e.first == first) return &e;
  }
  return nullptr;
}

MbrEntry* MbrDisk::PrimaryExtended(std::uint64_t base) {
  for (MbrEntry& e : entries_) {
    if (e.IsEbr() && e.inMbr && e.first == base) return &e;
  }
  return nullptr;
}

std::uint64_t MbrDisk::RegionEnd(const MbrEntry& holder) const {
  std::uint64_t end = holder.first + 1;
  for (const MbrEntry& e : entries_) {
    if (&e == &holder || e.first == 0) continue;
    const bool member = holder.inMbr ? e.extBase == holder.extBase && e.extBase != 0
                                     : e.parent == holder.first && !e.IsHolder();
    if (!member) continue;
    end = std::max(end, e.IsEbr() ? e.first + 1 : e.first + e.size);
  }
  return end;
}

void MbrDisk::Rewrite(MbrEntry& entry) {
  MbrEntry* holder = FindHolder(entry.parent);
  if (holder != nullptr && entry.slot >= 0) holder->PlaceInTable(entry, entry.slot);
}

void MbrDisk::RebaseChain(std::uint64_t oldBase, std::uint64_t newBase) {
  for (MbrEntry& e : entries_) {
    if (e.first != 0 && e.extBase == oldBase) e.extBase = newBase;
  }
  for (MbrEntry& h : entries_) {
    if (!h.IsEbr() || h.extBase != newBase) continue;
    h.inMbr = h.first == newBase;
    const std::uint64_t relative = h.inMbr ? newBase : h.first - newBase;
    if (h.RelativeFirst() == relative) continue;
    h.SetRelative(relative);
    if (!h.inMbr) Rewrite(h);
  }
}

void MbrDisk::MoveTable(MbrEntry& holder, std::uint64_t newFirst) {
  const std::uint64_t oldFirst = holder.first;
  const std::uint64_t end = holder.first + holder.size;
  if (newFirst == oldFirst || newFirst >= end) return;
  for (MbrEntry& e : entries_) {
    if (&e == &holder || e.first == 0 || e.parent != oldFirst) continue;
    e.parent = newFirst;
    if (!e.IsHolder()) {
      e.SetRelative(e.first - newFirst);
      if (e.slot >= 0) holder.PlaceInTable(e, e.slot);
      e.parent = newFirst;
    }
  }
  if (holder.inMbr) {
    holder.SetPosition(newFirst, newFirst, end - newFirst);
    holder.parent = 0;
    Pseudo().PlaceInTable(holder, holder.slot);
    RebaseChain(oldFirst, newFirst);
  } else {
    holder.SetPosition(newFirst, newFirst - holder.extBase, end - newFirst);
    Rewrite(holder);
  }
  // Fix the parent of what the table holds now that the holder moved.
  for (MbrEntry& e : entries_) {
    if (&e != &holder && e.first != 0 && e.parent == oldFirst) e.parent = newFirst;
  }
  holder.tableChanged = true;
  entries_.sort([](const MbrEntry& a, const MbrEntry& b) { return a.first < b.first; });
}

void MbrDisk::RemoveEmptyEbr(MbrEntry& holder) {
  const std::uint64_t first = holder.first;
  const int slot = holder.slot;
  const std::uint64_t parent = holder.parent;
  const std::uint64_t base = holder.extBase;
  const bool inMbr = holder.inMbr;
  MbrEntry* next = nullptr;
  for (MbrEntry& e : entries_) {
    if (&e != &holder && e.IsEbr() && e.parent == first) {
      next = &e;
      break;
    }
  }
  Remove(&holder);
  if (inMbr) {
    if (next != nullptr) {
      // The next EBR becomes the primary extended partition.
      RebaseChain(first, next->first);
      next->inMbr = true;
      const std::uint64_t end = RegionEnd(*next);
      next->SetPosition(next->first, next->first, end - next->first);
      Pseudo().PlaceInTable(*next, slot);
    } else {
      Pseudo().ClearSlot(slot);
    }
    Pseudo().tableChanged = true;
    sector0Changed_ = true;
    return;
  }
  MbrEntry* holderOfIt = FindHolder(parent);
  if (next != nullptr) {
    if (holderOfIt != nullptr) holderOfIt->PlaceInTable(*next, slot);
    return;
  }
  if (holderOfIt != nullptr) holderOfIt->ClearSlot(slot);
  if (MbrEntry* x = PrimaryExtended(base)) {
    const std::uint64_t end = RegionEnd(*x);
    x->SetPosition(x->first, x->first, end - x->first);
    Pseudo().PlaceInTable(*x, x->slot);
  }
}

bool MbrDisk::NormalizePass() {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    MbrEntry& h = *it;
    if (!h.IsEbr()) continue;
    if (h.tableState == 2) {
      auto next = std::next(it);
      if (next != entries_.end() && next->parent == h.first && next->IsPartition()) {
        std::uint64_t start = next->first;
        if (AlignLba(kAlignCylinderStart, start, disk_->GetGeometry()) && start > h.first &&
            start < h.first + h.size) {
          MbrEntry* at = LowerBound(start);
          if (at == nullptr || at->first > start || at == &h) {
            MoveTable(h, start);
            h.tableState = h.CheckTable();
            return true;
          }
        }
      }
    }
    if (h.tableState == 1) {
      RemoveEmptyEbr(h);
      return true;
    }
  }
  return false;
}

void MbrDisk::Normalize() {
  // Each pass removes an EBR or moves one next to its partition (after
  // which it is no longer far from it), so the passes are bounded.
  std::size_t passes = entries_.size() * 2 + 2;
  while (passes-- > 0 && NormalizePass()) {
  }
}

}  // namespace Mbr
}  // namespace Fdisk
