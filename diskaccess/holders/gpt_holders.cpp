// GUID partition tables as holders: both copies checked, the trusted one
// kept as a table record, one holder per area and per used entry, and the
// copies marked damaged or changed written back, backup first.
#include <cstring>

#include <zlib.h>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/holders.h"
#include "foundation/byteorder.h"
#include "foundation/random.h"
#include "iterators.h"

namespace {

// Type GUIDs in their on-disk byte order.
constexpr std::uint8_t kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                         0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
constexpr std::uint8_t kLdmMetadata[16] = {0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42,
                                           0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3};
constexpr std::uint8_t kLdmData[16] = {0xA0, 0x60, 0x9B, 0xAF, 0x31, 0x14, 0x62, 0x4F,
                                       0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD};
constexpr std::uint8_t kReserved[16] = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                                        0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
constexpr std::uint8_t kZeroGuid[16] = {};

std::uint32_t Crc(const std::uint8_t* p, std::uint64_t n) {
  uLong crc = crc32(0, Z_NULL, 0);
  while (n > 0) {
    const uInt chunk = n > 0x40000000u ? 0x40000000u : static_cast<uInt>(n);
    crc = crc32(crc, p, chunk);
    p += chunk;
    n -= chunk;
  }
  return static_cast<std::uint32_t>(crc);
}

}  // namespace

bool IsBasicDataGuid(const std::uint8_t* g) { return g && std::memcmp(g, kBasicData, 16) == 0; }
bool IsLdmGuid(const std::uint8_t* g) {
  return g && (std::memcmp(g, kLdmMetadata, 16) == 0 || std::memcmp(g, kLdmData, 16) == 0);
}
bool IsReservedGuid(const std::uint8_t* g) { return g && std::memcmp(g, kReserved, 16) == 0; }
bool IsDataGuid(const std::uint8_t* g) {
  return g && std::memcmp(g, kZeroGuid, 16) != 0 && !IsLdmGuid(g) && !IsReservedGuid(g);
}

// One copy of the table at `lba`: its record, or null with `code` saying why.
std::unique_ptr<GptTableRecord> GptReadCopy(stddisk& disk, std::uint64_t lba,
                                            std::uint32_t& code, Common::Error& error,
                                            std::uint8_t* ldmDiskGuid) {
  const std::uint64_t ss = disk.GetSectorSize();
  const std::uint64_t last = disk.GetSectorCount();
  std::vector<std::uint8_t> h;
  if (!ReadOneSector(disk, lba, h, &error)) {
    code = kSubtypeReadError;
    return nullptr;
  }
  code = kSubtypeInvalid;
  if (std::memcmp(h.data(), "EFI PART", 8) != 0) return nullptr;
  if (Common::LoadLe32(&h[8]) != 0x00010000u) return code = kSubtypeUnsupported, nullptr;
  const std::uint32_t headerSize = Common::LoadLe32(&h[12]);
  if (headerSize < 92 || headerSize > ss) return nullptr;
  if (headerSize != 92) return code = kSubtypeUnsupported, nullptr;
  std::uint8_t header[92];
  std::memcpy(header, h.data(), 92);
  std::memset(header + 16, 0, 4);
  if (Crc(header, 92) != Common::LoadLe32(&h[16])) return nullptr;
  if (Common::LoadLe32(&h[20]) != 0) return code = kSubtypeUnsupported, nullptr;
  if (Common::LoadLe64(&h[24]) != lba) return nullptr;
  const std::uint32_t entrySize = Common::LoadLe32(&h[84]);
  if (entrySize < 128 || (entrySize & (entrySize - 1)) != 0) return nullptr;
  if (entrySize != 128) return code = kSubtypeUnsupported, nullptr;
  const std::uint64_t alternate = Common::LoadLe64(&h[32]);
  const std::uint64_t firstUsable = Common::LoadLe64(&h[40]);
  const std::uint64_t lastUsable = Common::LoadLe64(&h[48]);
  const std::uint64_t entryLba = Common::LoadLe64(&h[72]);
  const std::uint32_t count = Common::LoadLe32(&h[80]);
  std::uint64_t S, U, L;
  if (lba == 1) {
    S = entryLba;
    U = lastUsable + 1;
    L = alternate;
  } else {
    if (alternate != 1) return nullptr;
    S = 2;
    U = entryLba;
    L = lba;
  }
  // Counts beyond what any table holds are refused before anything is
  // allocated; the arithmetic below is 64-bit throughout.
  if (count > kMaxGptEntries) return nullptr;
  const std::uint64_t A = std::uint64_t(count) * 128;
  if (A < 0x4000) return nullptr;
  const std::uint64_t E = (A + ss - 1) / ss;
  if (lastUsable == ~std::uint64_t(0)) return nullptr;
  if (S < 2 || firstUsable < S + E || lastUsable < firstUsable || U <= lastUsable ||
      L < U + E || L > last)
    return nullptr;
  if (entryLba > last || E > last - entryLba + 1) return nullptr;
  std::vector<std::uint8_t> array(static_cast<std::size_t>(E * ss));
  Common::Error e = disk.Io(Fdisk::kIoRead, entryLba, array.data(), E);
  if (e.Code() != 0) {
    if (error.IsNull()) error = e;
    code = kSubtypeReadError;
    return nullptr;
  }
  if (Crc(array.data(), A) != Common::LoadLe32(&h[88])) return nullptr;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (IsLdmGuid(&array[std::size_t(i) * 128])) {
      if (ldmDiskGuid != nullptr) std::memcpy(ldmDiskGuid, &h[56], 16);
      code = 0x42;
      return nullptr;
    }
  }
  auto record = std::make_unique<GptTableRecord>();
  record->alternate = alternate;
  record->first_usable = firstUsable;
  record->last_usable = lastUsable;
  std::memcpy(record->disk_guid, &h[56], 16);
  record->entry_count = count;
  record->entries.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* p = &array[std::size_t(i) * 128];
    GptEntryRecord& r = record->entries[i];
    for (int k = 0; k < 128 && !r.used; ++k) r.used = p[k] != 0;
    std::memcpy(r.type, p, 16);
    std::memcpy(r.unique, p + 16, 16);
    r.first = Common::LoadLe64(p + 32);
    r.last = Common::LoadLe64(p + 40);
    r.attributes = Common::LoadLe64(p + 48);
    for (int k = 0; k < 36; ++k) {
      const char16_t c = static_cast<char16_t>(Common::LoadLe16(p + 56 + 2 * k));
      if (c == 0) break;
      r.name.push_back(c);
    }
  }
  code = 0;
  return record;
}

namespace {

// Writes one copy of the table; true when a write was tried.
bool GptWriteCopy(stddisk& disk, std::uint64_t lba, GptTableHolder* area,
                  const GptTableRecord* record, Common::Error& result) {
  if (area == nullptr || !area->IsModified() || record == nullptr) return false;
  const bool primary = lba == 1;
  const std::uint32_t ss = disk.GetSectorSize();
  std::vector<std::uint8_t> h(ss, 0);
  std::memcpy(h.data(), "EFI PART", 8);
  Common::StoreLe32(&h[8], 0x00010000u);
  Common::StoreLe32(&h[12], 92);
  Common::StoreLe64(&h[24], lba);
  Common::StoreLe64(&h[32], primary ? record->alternate : 1);
  Common::StoreLe64(&h[40], record->first_usable);
  Common::StoreLe64(&h[48], record->last_usable);
  std::memcpy(&h[56], record->disk_guid, 16);
  const std::uint64_t entryLba = primary ? 2 : record->last_usable + 1;
  Common::StoreLe64(&h[72], entryLba);
  Common::StoreLe32(&h[80], record->entry_count);
  Common::StoreLe32(&h[84], 128);
  const std::uint64_t A = std::uint64_t(record->entry_count) * 128;
  const std::uint64_t E = (A + ss - 1) / ss;
  std::vector<std::uint8_t> array(static_cast<std::size_t>(E * ss), 0);
  for (std::uint32_t i = 0; i < record->entry_count && i < record->entries.size(); ++i) {
    const GptEntryRecord& r = record->entries[i];
    std::uint8_t* p = &array[std::size_t(i) * 128];
    std::memcpy(p, r.type, 16);
    std::memcpy(p + 16, r.unique, 16);
    Common::StoreLe64(p + 32, r.first);
    Common::StoreLe64(p + 40, r.last);
    Common::StoreLe64(p + 48, r.attributes);
    const std::size_t units = r.name.size() < 35 ? r.name.size() : 35;
    for (std::size_t k = 0; k < units; ++k) Common::StoreLe16(p + 56 + 2 * k, r.name[k]);
  }
  Common::StoreLe32(&h[88], Crc(array.data(), A));
  Common::StoreLe32(&h[16], Crc(h.data(), 92));
  Common::Error e = disk.Io(Fdisk::kIoWrite, lba, h.data(), 1);
  Common::Error e2 = disk.Io(Fdisk::kIoWrite, entryLba, array.data(), E);
  result = e.Code() != 0 ? e : e2;
  if (result.Code() == 0) {
    area->SetModified(false);
    disk.table_changed = 1;
  }
  return true;
}

// The copies that are marked, backup first; then sector 0 is read and
// written back unchanged so that the system reads the partitions again.
Common::Error GptWriteModified(stddisk& disk, GptTableHolder* area) {
  if (area == nullptr || area->record == nullptr || area->backup == nullptr)
    return Common::Error();
  Common::Error backupResult, primaryResult;
  const bool wroteBackup =
      GptWriteCopy(disk, area->record->alternate, area->backup, area->record.get(), backupResult);
  const bool wrotePrimary = GptWriteCopy(disk, 1, area, area->record.get(), primaryResult);
  if (wroteBackup || wrotePrimary) {
    std::vector<std::uint8_t> s;
    if (ReadOneSector(disk, 0, s, nullptr)) (void)disk.Io(Fdisk::kIoWrite, 0, s.data(), 1);
  }
  return backupResult.Code() != 0 ? backupResult : primaryResult;
}

// Walks a GPT disk one place at a time: the primary area, the backup area,
// then every entry slot in order. Both copies are checked when the walk
// starts; an entry's holder is made when the walk reaches its slot, and a
// slot without a partition is a step with no holder. In write mode the
// marked copies are written as the walk starts, before any holder is handed
// out.
class GptIterator : public BaseHolderIterator {
 public:
  using BaseHolderIterator::BaseHolderIterator;

  std::uint32_t GetPosition() const override { return 0; }
  std::uint32_t GetKind() const override { return state_; }
  holder* Current() const override { return current_; }

  bool ReadTable() override {
    if (disk == nullptr || context == nullptr || state_ == kEnded) return true;
    // A disk whose MBR is no protective one, and no GPT tree read before:
    // the probe would fail without reading, so the walk ends here.
    if (state_ == kUnprobed && dynamic_cast<GptTableHolder*>(context->top) == nullptr &&
        (context->top == nullptr || context->scheme != kSchemeMbr || context->subtype != 0xEE))
      return true;
    Position();
    if (state_ == kEmpty) return false;
    if (state_ == kUsed && current_ == nullptr) MakeEntryHolder();
    if (current_ != nullptr) {
      current_->MarkOverlaps(flags);
      current_->InsertSorted(flags);
    }
    return false;
  }

  // The GPT's tables are written as the walk starts; no callback is made.
  bool Next(WalkTableCallback, void*) override {
    current_ = nullptr;
    if (disk == nullptr || context == nullptr || state_ == kEnded) return false;
    switch (state_) {
      case kUnprobed:
        if (!Probe()) {
          state_ = kEnded;
          return false;
        }
        if ((flags & kWalkWrite) != 0) {
          Common::Error e = GptWriteModified(*disk, dynamic_cast<GptTableHolder*>(context->top));
          if (e.Code() != 0 && walker.write_error.IsNull()) walker.write_error = e;
        }
        state_ = kPrimary;
        return true;
      case kPrimary:
        state_ = kBackup;
        return true;
      case kBackup:
        state_ = kUsed;  // slot 0 comes next
        entry_ = 0;
        return true;
      case kUsed:
      case kEmpty: {
        ++entry_;
        const GptTableRecord* record = Record();
        if (record != nullptr && entry_ < record->entry_count && entry_ < record->entries.size()) {
          state_ = kEmpty;
          return true;
        }
        state_ = kEnded;
        return false;
      }
      default:
        state_ = kEnded;
        return false;
    }
  }

  bool IsSameAs(const BaseHolderIterator* other) const override {
    auto* o = dynamic_cast<const GptIterator*>(other);
    if (o == nullptr || o->state_ != state_) return false;
    if (state_ == kEmpty) return true;
    if (start_ != o->start_ || size_ != o->size_) return false;
    if (current_ == nullptr || o->current_ == nullptr) return current_ == o->current_;
    return current_->flags == o->current_->flags;
  }

  void Number() override {
    if (current_ == nullptr) return;
    current_->scan_number = next_scan++;
    current_->ResetLetters();
  }

 private:
  static constexpr std::uint8_t kUnprobed = 0xEE, kPrimary = 5, kBackup = 15, kUsed = 7,
                                kEmpty = 0, kEnded = 0xBB;

  GptTableRecord* Record() const {
    auto* area = dynamic_cast<GptTableHolder*>(context->top);
    return area != nullptr ? area->record.get() : nullptr;
  }

  // Where the walk stands: the holder there, or the extent of an entry that
  // has none yet.
  void Position() {
    current_ = nullptr;
    start_ = size_ = 0;
    auto* area = dynamic_cast<GptTableHolder*>(context->top);
    if (state_ == kPrimary) {
      current_ = area;
    } else if (state_ == kBackup) {
      if (area != nullptr && area->backup != nullptr) current_ = area->backup;
    } else if (state_ == kUsed || state_ == kEmpty) {
      state_ = kEmpty;
      GptTableRecord* record = Record();
      if (record == nullptr || entry_ >= record->entries.size()) return;
      GptEntryRecord& r = record->entries[entry_];
      if (r.used) state_ = kUsed;
      if (r.holder_ptr != nullptr) {
        current_ = r.holder_ptr;
      } else {
        start_ = r.first;
        size_ = r.last >= r.first ? r.last - r.first + 1 : 0;
      }
    }
    if (current_ != nullptr) {
      start_ = current_->start;
      size_ = current_->size;
    }
  }

  void MakeEntryHolder() {
    auto* area = dynamic_cast<GptTableHolder*>(context->top);
    GptTableRecord* record = Record();
    if (area == nullptr || record == nullptr || entry_ >= record->entries.size()) return;
    GptEntryRecord& r = record->entries[entry_];
    if (IsReservedGuid(r.type))
      r.holder_ptr = new GptTableHolder(disk, start_, size_, entry_, area);
    else
      r.holder_ptr = new GptPartitionHolder(
          disk, start_, size_, entry_, area,
          (flags & kWalkIdZero) != 0 ? 0 : DaNextReadHolderKey());
    current_ = r.holder_ptr;
  }

  // Checks both copies and keeps the one to trust; over a tree the disk
  // already has, nothing is read.
  bool Probe() {
    if (context->top != nullptr && dynamic_cast<GptTableHolder*>(context->top) != nullptr)
      return true;
    if (context->top == nullptr || context->scheme != kSchemeMbr || context->subtype != 0xEE)
      return false;
    context->scheme = kSchemeGpt;
    const std::uint64_t last = disk->GetSectorCount();
    std::uint32_t primaryCode = 0, backupCode = 0;
    Common::Error primaryError, backupError;
    std::unique_ptr<GptTableRecord> primary =
        GptReadCopy(*disk, 1, primaryCode, primaryError, context->disk_guid);
    if (primaryCode == 0x42) {
      context->subtype = 0x42;
      return false;
    }
    std::unique_ptr<GptTableRecord> backup;
    if ((flags & kWalkNoBackup) == 0) {
      backup = GptReadCopy(*disk, primary ? primary->alternate : last, backupCode, backupError,
                           nullptr);
    }
    bool primaryDamaged = false, backupDamaged = false;
    std::unique_ptr<GptTableRecord> record;
    if (primary) {
      record = std::move(primary);
      backupDamaged = backup == nullptr;
    } else if (backup) {
      record = std::move(backup);
      record->alternate = last;
      primaryDamaged = true;
    } else {
      context->subtype = primaryCode;
      context->error = primaryError;
      return false;
    }
    auto* area = new GptTableHolder(disk, 1, record->first_usable - 1, 0, nullptr);
    area->modified = primaryDamaged ? 1 : 0;
    auto* backupArea = new GptTableHolder(disk, record->last_usable + 1,
                                          last - record->last_usable, 0, nullptr);
    backupArea->modified = backupDamaged ? 1 : 0;
    area->backup = backupArea;
    area->record = std::move(record);
    context->top = area;
    context->subtype = 0;
    return true;
  }

  std::uint8_t state_ = kUnprobed;
  std::uint64_t start_ = 0;
  std::uint64_t size_ = 0;
  std::uint32_t entry_ = 0;
  holder* current_ = nullptr;
};

}  // namespace

std::unique_ptr<BaseHolderIterator> MakeGptIterator(HolderWalker& w) {
  return std::make_unique<GptIterator>(w);
}

// ------------------------------------------------------------- GPT holders

namespace {

constexpr std::uint32_t kGptTag = 0x5A34;
constexpr std::uint32_t kGptHeaderMissing = 0x100162;

GptTableHolder* DiskGpt(stddisk* disk) {
  if (disk == nullptr) return nullptr;
  auto* area = dynamic_cast<GptTableHolder*>(disk->read_context.top);
  return area != nullptr && area->record != nullptr ? area : nullptr;
}

bool NewGuid(std::uint8_t* out) {
  Common::Guid g;
  if (!Common::GuidNewRandom(g)) return false;
  std::memcpy(out, g.bytes, 16);
  return true;
}

da_computer* ComputerOf(const stddisk* disk) {
  return disk != nullptr ? disk->GetComputer() : nullptr;
}

// A committed change goes to the table and is announced with its disk and
// letters; an uncommitted one only asks for the passes.
void Announce(holder& h, bool commit) {
  if (commit) {
    h.MarkOwnerModified();
    DaAnnounceChange(ComputerOf(h.disk), true, h.disk, 0);
  } else {
    DaAnnounceChange(ComputerOf(h.disk), false, nullptr, 0);
  }
}

}  // namespace

GptTableHolder::GptTableHolder(stddisk* d, std::uint64_t s, std::uint64_t n, std::uint32_t i,
                               holder* o)
    : holder(d, s, n, i, o) {}

GptTableHolder::GptTableHolder(stddisk* d, const GptTableHolder& from, holder* o)
    : holder(d, &from, o), BaseMetaHolder(&from) {
  if (from.record == nullptr) return;
  record = std::make_unique<GptTableRecord>(*from.record);
  for (GptEntryRecord& e : record->entries) e.holder_ptr = nullptr;
}

GptTableHolder::~GptTableHolder() = default;

holder* GptTableHolder::CloneForDisk(stddisk* d, holder** topSlot, holder*) {
  holder* top = topSlot != nullptr ? *topSlot : nullptr;
  const bool isPrimary = backup != nullptr;
  auto* copy = new GptTableHolder(d, *this, owner != nullptr ? top : nullptr);
  if (isPrimary) {
    if (topSlot == nullptr) {
      delete copy;
      return nullptr;
    }
    *topSlot = copy;
    return copy;
  }
  auto* area = dynamic_cast<GptTableHolder*>(top);
  if (area == nullptr || area->record == nullptr) {
    delete copy;
    return nullptr;
  }
  if (owner != nullptr) {
    // A reserved partition: it registers in its slot of the new record.
    if (index >= area->record->entries.size()) {
      delete copy;
      return nullptr;
    }
    area->record->entries[index].holder_ptr = copy;
  } else {
    area->backup = copy;
  }
  return copy;
}

GptPartitionHolder::GptPartitionHolder(stddisk* d, std::uint64_t s, std::uint64_t n,
                                       std::uint32_t i, holder* o, std::int32_t newId)
    : holder(d, s, n, i, o), BasePartitionHolder(newId) {
  extents.push_back(DaExtent{0, d != nullptr ? d->GetDiskNumber() : 0, s, n});
}

GptPartitionHolder::GptPartitionHolder(stddisk* d, const GptPartitionHolder& from, holder* o)
    : holder(d, &from, o), BasePartitionHolder(d, &from) {
  state = from.state;
  extents.push_back(DaExtent{0, d != nullptr ? d->GetDiskNumber() : 0, start, size});
}

holder* GptPartitionHolder::CloneForDisk(stddisk* d, holder** topSlot, holder*) {
  auto* area = dynamic_cast<GptTableHolder*>(topSlot != nullptr ? *topSlot : nullptr);
  if (area == nullptr || area->record == nullptr || index >= area->record->entries.size())
    return nullptr;
  auto* copy = new GptPartitionHolder(d, *this, area);
  area->record->entries[index].holder_ptr = copy;
  return copy;
}

GptEntryRecord* GptPartitionHolder::Entry() {
  auto* area = dynamic_cast<GptTableHolder*>(owner);
  if (area == nullptr || area->record == nullptr || index >= area->record->entries.size())
    return nullptr;
  return &area->record->entries[index];
}
const GptEntryRecord* GptPartitionHolder::Entry() const {
  return const_cast<GptPartitionHolder*>(this)->Entry();
}

const std::uint8_t* GptPartitionHolder::GetTypeGuid() const {
  const GptEntryRecord* e = Entry();
  return e != nullptr ? e->type : nullptr;
}
const std::uint8_t* GptPartitionHolder::GetUniqueGuid() const {
  const GptEntryRecord* e = Entry();
  return e != nullptr ? e->unique : nullptr;
}
std::u16string GptPartitionHolder::GetName() const {
  const GptEntryRecord* e = Entry();
  return e != nullptr ? e->name : std::u16string();
}
std::uint64_t GptPartitionHolder::GetAttributes() const {
  const GptEntryRecord* e = Entry();
  return e != nullptr ? e->attributes : 0;
}

// Attribute bit 2: legacy BIOS bootable; bit 62: hidden.
constexpr std::uint64_t kGptActive = 1ull << 2;
constexpr std::uint64_t kGptHidden = 1ull << 62;

bool GptPartitionHolder::IsActive() const { return (GetAttributes() & kGptActive) != 0; }
std::uint32_t GptPartitionHolder::GetHiddenState() const {
  const GptEntryRecord* e = Entry();
  return e != nullptr && IsBasicDataGuid(e->type) && (e->attributes & kGptHidden) != 0 ? 1 : 0;
}

void GptPartitionHolder::SetActive(bool commit) {
  GptTableRecord* record = OwnerRecord(owner);
  if (record == nullptr || index >= record->entries.size()) return;
  for (std::uint32_t i = 0; i < record->entries.size(); ++i) {
    if (i == index) record->entries[i].attributes |= kGptActive;
    else record->entries[i].attributes &= ~kGptActive;
  }
  Announce(*this, commit);
}

void GptPartitionHolder::SetHiddenState(std::uint32_t hiddenState, bool commit) {
  GptEntryRecord* e = Entry();
  const std::uint32_t wanted = hiddenState != 0 ? 1u : 0u;
  if (e == nullptr || !IsBasicDataGuid(e->type) || GetHiddenState() == wanted) return;
  if (wanted != 0) e->attributes |= kGptHidden;
  else e->attributes &= ~kGptHidden;
  Announce(*this, commit);
  // Shown again: the system may mount the volume once more.
  if (commit && wanted == 0 && handler) (void)handler->VolUnhide();
}

bool GptPartitionHolder::SetTypeGuid(const std::uint8_t* guid, bool commit) {
  GptEntryRecord* e = Entry();
  if (e == nullptr || !IsDataGuid(guid)) return false;
  std::memcpy(e->type, guid, 16);
  Announce(*this, commit);
  return true;
}

void GptPartitionHolder::SetBootVisibility(bool flag) {
  if (disk == nullptr) return;
  state = flag ? 2 : 0;
  DaAnnounceChange(ComputerOf(disk), false, nullptr, 0);
}

bool GptPartitionHolder::DeletePartition(std::uint32_t flags, PartitionInfo* info) {
  GptTableRecord* record = OwnerRecord(owner);
  if (record == nullptr || index >= record->entries.size()) return false;
  const GptEntryRecord& own = record->entries[index];
  if (info != nullptr) {
    info->wantedIndex = index;
    info->primary = true;
    info->id = id;
    info->handler = handler;
    std::memcpy(info->uniqueGuid, own.unique, 16);
    info->name = own.name;
    std::memcpy(info->typeGuid, own.type, 16);
    info->attributes = own.attributes;
  }
  if ((flags & 0x5) != 0) DaCaptureBootRecords(this, (flags & 0x4) != 0);
  // The entries after this one move down a slot, as the system's own
  // partitioning does, so the table keeps no hole.
  std::vector<GptEntryRecord>& entries = record->entries;
  for (std::size_t k = index; k + 1 < entries.size(); ++k) {
    entries[k] = entries[k + 1];
    if (entries[k].holder_ptr != nullptr) entries[k].holder_ptr->index = static_cast<std::uint32_t>(k);
  }
  entries.back() = GptEntryRecord();
  MarkOwnerModified();
  DaAnnounceChange(ComputerOf(disk), true, disk, 0);
  if (disk != nullptr) disk->holder_list.Unlink(this);
  delete this;
  return true;
}

GptTableRecord* OwnerRecord(holder* owner) {
  auto* area = dynamic_cast<GptTableHolder*>(owner);
  return area != nullptr ? area->record.get() : nullptr;
}

GptDiskPSAndSignaturesState::GptDiskPSAndSignaturesState(const holder* top) {
  auto* area = dynamic_cast<const GptTableHolder*>(top);
  if (area == nullptr || area->record == nullptr) return;
  std::memcpy(disk_guid, area->record->disk_guid, 16);
  for (const GptEntryRecord& e : area->record->entries) {
    if (!e.used) continue;
    std::array<std::uint8_t, 16> g;
    std::memcpy(g.data(), e.unique, 16);
    partition_guids.push_back(g);
  }
}

void GptBaseHolder::Notify(std::uint32_t code, std::uint64_t value) {
  if (code != 7) return;
  GptTableHolder* area = DiskGpt(disk);
  auto* counter = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(value));
  if (area == nullptr || counter == nullptr) return;
  for (GptEntryRecord& e : area->record->entries) {
    if (e.holder_ptr == nullptr || !IsBasicDataGuid(e.type) || (e.attributes & kGptHidden) != 0 ||
        e.holder_ptr->state != 0)
      continue;
    e.holder_ptr->AssignLetter(7, counter, 0);
  }
}

holder* GptBaseHolder::CreatePartition(std::uint64_t s, std::uint64_t n, PartitionInfo& info,
                                       bool commit) {
  if (!IsDataGuid(info.typeGuid) || n == 0) return nullptr;
  GptTableHolder* area = DiskGpt(disk);
  if (area == nullptr) return nullptr;
  GptTableRecord& record = *area->record;
  // Inside the usable area, and over no other partition.
  if (s < record.first_usable || s + n - 1 > record.last_usable || s + n - 1 < s) return nullptr;
  for (const GptEntryRecord& e : record.entries)
    if (e.used && e.first <= s + n - 1 && s <= e.last) return nullptr;
  holder* before = nullptr;
  for (holder* h = disk->holder_list.first; h != nullptr && h->start <= s; h = h->next)
    if (!h->IsFreeSpace() && (h->owner == area || h == area)) before = h;
  if (before == nullptr) return nullptr;
  const std::uint32_t slot = before == area ? 1 : before->index + 1;
  if (slot >= record.entries.size()) return nullptr;
  std::uint32_t free = slot;
  while (free < record.entries.size() && record.entries[free].used) ++free;
  if (free == record.entries.size()) return nullptr;
  if (std::memcmp(info.uniqueGuid, kZeroGuid, 16) == 0 && !NewGuid(info.uniqueGuid))
    return nullptr;
  for (std::uint32_t k = free; k > slot; --k) {
    record.entries[k] = record.entries[k - 1];
    if (record.entries[k].holder_ptr != nullptr) record.entries[k].holder_ptr->index = k;
  }
  GptEntryRecord& e = record.entries[slot];
  e = GptEntryRecord();
  e.used = true;
  std::memcpy(e.type, info.typeGuid, 16);
  std::memcpy(e.unique, info.uniqueGuid, 16);
  e.first = s;
  e.last = s + n - 1;
  e.attributes = info.attributes;
  e.name = info.name.substr(0, 36);
  auto* p = new GptPartitionHolder(disk, s, n, slot, area,
                                   info.id != 0 ? info.id : DaNextCreatedHolderKey());
  e.holder_ptr = p;
  p->InsertSorted(0);
  if (info.handler) p->SetVolumeHandler(info.handler);
  area->SetModified(true);
  if (commit) p->MarkOwnerModified();
  DaAnnounceChange(ComputerOf(disk), commit, commit ? disk : nullptr, 0);
  return p;
}

Common::Error GptBaseHolder::EraseTable(std::uint32_t* oldSignature) {
  DiskSignatureRecord signatures;
  Common::Error e = EraseTableWithSignatures(&signatures);
  if (oldSignature != nullptr) *oldSignature = signatures.mbr_signature;
  return e;
}

Common::Error GptBaseHolder::EraseTableWithSignatures(DiskSignatureRecord* signatures) {
  GptTableHolder* area = DiskGpt(disk);
  if (area == nullptr) return Common::Error();
  const std::uint64_t last = disk->GetSectorCount();
  std::vector<std::uint8_t> zero(disk->GetSectorSize(), 0);
  Common::Error results[4];
  results[0] = WriteOneSector(*disk, 1, zero.data());
  results[1] = WriteOneSector(*disk, last, zero.data());
  // The backup header's place comes from the disk: it is cleared only where
  // a header may stand, past the usable area, never over partition data.
  const std::uint64_t alternate = area->record->alternate;
  if (alternate < last && alternate > area->record->last_usable)
    results[2] = WriteOneSector(*disk, alternate, zero.data());
  if (signatures != nullptr) std::memcpy(signatures->gpt_disk_guid, area->record->disk_guid, 16);
  std::memset(area->record->disk_guid, 0, 16);
  auto* mbr = dynamic_cast<MbrTableHolder*>(disk->read_context.table);
  if (mbr == nullptr) {
    for (holder* h = disk->holder_list.first; h != nullptr; h = h->next)
      if (auto* t = dynamic_cast<MbrTableHolder*>(h); t != nullptr && t->owner == nullptr) mbr = t;
  }
  std::uint32_t mbrSignature = 0;
  if (mbr != nullptr) results[3] = mbr->EraseTable(&mbrSignature);
  else results[3] = WriteOneSector(*disk, 0, zero.data());
  if (signatures != nullptr) signatures->mbr_signature = mbrSignature;
  for (const Common::Error& r : results)
    if (r.Code() != 0) return r;
  return Common::Error();
}

Common::Error GptBaseHolder::ChangeScheme(std::uint32_t mode, bool commit,
                                          const DiskPSAndSignaturesState* state) {
  if (mode == 2) return Common::Error();
  GptTableHolder* area = DiskGpt(disk);
  if (area == nullptr)
    return Common::Error(Da::Site(kGptTag, 1), Da::Module::kHolders, kGptHeaderMissing,
                         "Internal error: GPT partition table header is missing.");
  GptTableRecord& record = *area->record;
  auto* saved = dynamic_cast<const GptDiskPSAndSignaturesState*>(state);
  if (mode == 1 || saved == nullptr ||
      (mode == 0 && std::memcmp(saved->disk_guid, record.disk_guid, 16) != 0)) {
    NewGuid(record.disk_guid);
    for (GptEntryRecord& e : record.entries)
      if (e.used) NewGuid(e.unique);
  } else {
    for (std::size_t i = 0; i < record.entries.size(); ++i) {
      GptEntryRecord& e = record.entries[i];
      if (!e.used) continue;
      bool keep = false;
      if (mode == 0) {
        for (const auto& g : saved->partition_guids)
          keep = keep || std::memcmp(g.data(), e.unique, 16) == 0;
      } else {
        keep = i < saved->partition_guids.size() &&
               std::memcmp(saved->partition_guids[i].data(), e.unique, 16) == 0;
      }
      if (!keep) NewGuid(e.unique);
    }
  }
  if (commit) area->SetModified(true);
  DaAnnounceChange(ComputerOf(disk), commit, disk, 0);
  return Common::Error();
}

void GptBaseHolder::GetSchemeRecord(std::unique_ptr<DiskPSAndSignaturesState>& out) {
  out = std::make_unique<GptDiskPSAndSignaturesState>(disk != nullptr ? disk->read_context.top
                                                                       : nullptr);
}

void GptBaseHolder::UpdateAfterChange() {
  GptTableHolder* area = DiskGpt(disk);
  if (area == nullptr || area->record->entries.empty()) return;
  bool recompute = false;
  for (const GptEntryRecord& e : area->record->entries) {
    if (!e.used || (e.holder_ptr != nullptr && e.holder_ptr->state != 0)) {
      recompute = true;
      break;
    }
  }
  if (!recompute) return;
  for (std::uint32_t view = 0; view < 5; ++view) disk->SetViewFlag(2, view, 1);
}
