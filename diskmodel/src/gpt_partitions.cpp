// GPT table model: loading with fallback to the backup copy, entry edits,
// writing both copies, and the remover that destroys a table.
#include "foundation/byteorder.h"
#include "fdisk/gpt_partitions.h"

#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "fdisk/model.h"
#include "fdisk/write_journal.h"
#include "foundation/random.h"
#include "foundation/trace.h"

namespace Fdisk {
namespace Gpt {
namespace {

constexpr int kLogCategory = 0x20;
constexpr char kSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr std::uint64_t kRestOfDisk = 0xFFFFFFFFull;

// Location ids of the thrown and returned errors.
constexpr std::uint32_t kNoHeaderLocation = 0xDB429C3B;
constexpr std::uint32_t kPastUsableLocation = 0xDB429C47;
constexpr std::uint32_t kOverlapLocation = 0xDB429C4D;
constexpr std::uint32_t kAddOverrunLocation = 0xDB429C5D;
constexpr std::uint32_t kChangeNotFoundLocation = 0xDB429CB2;
constexpr std::uint32_t kNameNotFoundLocation = 0xDB429CE3;
constexpr std::uint32_t kBeforeUsableLocation = 0xDB429D01;
constexpr std::uint32_t kInsertOverrunLocation = 0xDB429D02;
constexpr std::uint32_t kRemoveNotFoundLocation = 0xDB429D03;
constexpr std::uint32_t kRemoveInUseLocation = 0xDB429D04;
constexpr std::uint32_t kCommitNoHeaderLocation = 0xDB429D05;
constexpr std::uint32_t kWipeNoHeaderLocation = 0xDB429D06;
constexpr std::uint32_t kTypeNotFoundLocation = 0xDB429D07;
constexpr std::uint32_t kFlagNotFoundLocation = 0xDB429D08;
constexpr std::uint32_t kInitAreaLocation = 0xDB429D09;
constexpr std::uint32_t kSizeLocation = 0xDB429D0A;
constexpr std::uint32_t kWriteHeaderLocation = 0xDB429D10;
constexpr std::uint32_t kWriteEntriesLocation = 0xDB429D11;
constexpr std::uint32_t kWipePrimaryLocation = 0xDB429D12;
constexpr std::uint32_t kWipeBackupLocation = 0xDB429D13;

std::uint32_t Crc(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  // zlib takes 32-bit lengths; the callers stay far below that, but feed it
  // in pieces anyway so no length is ever cut.
  uLong value = crc;
  while (size > 0) {
    const uInt piece = uInt(std::min<std::size_t>(size, 1u << 30));
    value = crc32(value, data, piece);
    data += piece;
    size -= piece;
  }
  return std::uint32_t(value);
}

// CRC32 continued over `count` zero bytes.
std::uint32_t CrcZeros(std::uint32_t crc, std::uint64_t count) {
  static const std::uint8_t kZeros[4096] = {};
  while (count > 0) {
    const std::size_t piece = std::size_t(std::min<std::uint64_t>(count, sizeof kZeros));
    crc = Crc(crc, kZeros, piece);
    count -= piece;
  }
  return crc;
}

void LogHeader(const GptHeader& h) {
  char text[Common::kGuidTextLength + 1];
  Common::GuidToString(text, h.DiskGuid());
  GptLog("Gpt Disk %s LBA=%lli ALBA=%lli", text, static_cast<long long>(h.MyLba()),
         static_cast<long long>(h.AlternateLba()));
}

[[noreturn]] void Throw(std::uint32_t location, std::uint32_t code, std::uint32_t message) {
  Common::Error e = MakeError(location, kModuleId, code, message);
  TraceError(1, e);
  throw Error(e);
}

// Sectors an array of `count` 128-byte entries occupies.
std::uint64_t SectorsFor(std::uint32_t count, std::uint32_t sectorSize) {
  const std::uint64_t bytes = std::uint64_t(count) * kEntryBytes;
  return sectorSize == 0 ? 0 : (bytes + sectorSize - 1) / sectorSize;
}

// The last sector of `size` sectors from `start`; false when size is 0 or
// the range passes the end of the address space.
bool LastOf(std::uint64_t start, std::uint64_t size, std::uint64_t& last) {
  if (size == 0 || size - 1 > std::numeric_limits<std::uint64_t>::max() - start) return false;
  last = start + size - 1;
  return true;
}

}  // namespace

// --- GptHeader ---------------------------------------------------------------

bool GptHeader::HasSignature() const {
  return std::memcmp(bytes.data(), kSignature, sizeof kSignature) == 0;
}

void GptHeader::SetSignature() { std::memcpy(bytes.data(), kSignature, sizeof kSignature); }

void GptHeader::SetDiskGuid(const Common::Guid& g) {
  std::memcpy(bytes.data() + 56, g.bytes, 16);
}

std::uint32_t GptHeader::ComputeCrc() const {
  std::array<std::uint8_t, kHeaderBytes> image = bytes;
  Common::StoreLe32(image.data() + 16, 0);
  const std::uint64_t size = std::min<std::uint64_t>(HeaderSize(), kMaxHeaderSize);
  const std::size_t held = std::size_t(std::min<std::uint64_t>(size, kHeaderBytes));
  const std::uint32_t crc = Crc(0, image.data(), held);
  return CrcZeros(crc, size - held);
}

void GptHeader::UpdateCrc() {
  SetHeaderCrc(0);
  SetHeaderCrc(ComputeCrc());
}

std::uint32_t GptHeader::Get32(std::size_t at) const { return Common::LoadLe32(bytes.data() + at); }
std::uint64_t GptHeader::Get64(std::size_t at) const { return Common::LoadLe64(bytes.data() + at); }
void GptHeader::Put32(std::size_t at, std::uint32_t v) { Common::StoreLe32(bytes.data() + at, v); }
void GptHeader::Put64(std::size_t at, std::uint64_t v) { Common::StoreLe64(bytes.data() + at, v); }

// --- GptEntry ----------------------------------------------------------------

std::uint64_t GptEntry::StartingLba() const { return Common::LoadLe64(bytes.data() + 32); }
std::uint64_t GptEntry::EndingLba() const { return Common::LoadLe64(bytes.data() + 40); }
std::uint64_t GptEntry::Attributes() const { return Common::LoadLe64(bytes.data() + 48); }

std::u16string GptEntry::Name() const {
  std::u16string name;
  for (std::size_t i = 0; i < kNameUnits; ++i) {
    const std::uint8_t* p = bytes.data() + 56 + 2 * i;
    const char16_t unit = char16_t(p[0] | p[1] << 8);
    if (unit == 0) break;
    name.push_back(unit);
  }
  return name;
}

void GptEntry::SetTypeGuid(const Common::Guid& g) { std::memcpy(bytes.data(), g.bytes, 16); }
void GptEntry::SetUniqueGuid(const Common::Guid& g) {
  std::memcpy(bytes.data() + 16, g.bytes, 16);
}
void GptEntry::SetStartingLba(std::uint64_t v) { Common::StoreLe64(bytes.data() + 32, v); }
void GptEntry::SetEndingLba(std::uint64_t v) { Common::StoreLe64(bytes.data() + 40, v); }
void GptEntry::SetAttributes(std::uint64_t v) { Common::StoreLe64(bytes.data() + 48, v); }

void GptEntry::SetName(const std::u16string& name) {
  std::uint8_t* field = bytes.data() + 56;
  std::memset(field, 0, 2 * kNameUnits);
  const std::size_t units = std::min(name.size(), kNameUnits);
  for (std::size_t i = 0; i < units; ++i) {
    field[2 * i] = std::uint8_t(name[i]);
    field[2 * i + 1] = std::uint8_t(name[i] >> 8);
  }
}

bool GptEntry::IsZero() const {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// --- header check and log ----------------------------------------------------

bool CheckHeader(const GptHeader& image) {
  if (!image.HasSignature()) return false;
  LogHeader(image);
  const std::uint32_t size = image.HeaderSize();
  if (size < kHeaderBytes || size > kMaxHeaderSize) return false;
  if (image.ComputeCrc() != image.HeaderCrc()) {
    GptLog("Gpt crc corrupt!");
    return false;
  }
  return true;
}

bool CheckHeader(const std::uint8_t* sector, std::uint32_t sectorSize) {
  if (sector == nullptr || sectorSize < kHeaderBytes) return false;
  if (std::memcmp(sector, kSignature, sizeof kSignature) != 0) return false;
  GptHeader image;
  std::memcpy(image.bytes.data(), sector, kHeaderBytes);
  LogHeader(image);
  const std::uint32_t size = image.HeaderSize();
  if (size < kHeaderBytes || size > sectorSize) return false;
  // The CRC covers the header as it lies in the sector, its field zeroed.
  static const std::uint8_t kZeroField[4] = {};
  std::uint32_t crc = Crc(0, sector, 16);
  crc = Crc(crc, kZeroField, 4);
  crc = Crc(crc, sector + 20, size - 20);
  if (crc != image.HeaderCrc()) {
    GptLog("Gpt crc corrupt!");
    return false;
  }
  return true;
}

void GptLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FdiskLogV(kLogCategory, format, args);
  va_end(args);
}

// --- GptPartitions -----------------------------------------------------------

GptPartitions::GptPartitions(SimpleDisk* disk, std::uint64_t start, std::uint64_t length)
    : disk_(disk), start_(start), length_(length) {
  if (length_ >= kRestOfDisk) {
    const std::uint64_t last = disk_ == nullptr ? 0 : disk_->GetSectorCount();
    // Up to the disk's last sector; nothing when the start lies past it.
    length_ = (disk_ == nullptr || start_ > last) ? 0 : last - start_ + 1;
  }
}

GptPartitions::GptPartitions(const GptPartitions& other) = default;

GptPartitions::~GptPartitions() = default;

GptPartitions* GptPartitions::Clone() const { return new GptPartitions(*this); }

void GptPartitions::Swap(GptPartitions& other) {
  std::swap(disk_, other.disk_);
  std::swap(start_, other.start_);
  std::swap(length_, other.length_);
  std::swap(header_, other.header_);
  std::swap(firstUsable_, other.firstUsable_);
  std::swap(lastUsable_, other.lastUsable_);
  entries_.swap(other.entries_);
  std::swap(dirty_, other.dirty_);
  std::swap(fromAlternate_, other.fromAlternate_);
  std::swap(valid_, other.valid_);
}

Common::Error GptPartitions::ReadSectors(std::uint64_t lba, void* buffer, std::uint64_t count) {
  return disk_->Io(kIoRead, lba, buffer, count);
}

Common::Error GptPartitions::WriteSectors(std::uint64_t lba, const void* buffer,
                                          std::uint64_t count) {
  WriteJournal::Before(*disk_, lba, count);
  // Io does not change the buffer of a write.
  return disk_->Io(kIoWrite, lba, const_cast<void*>(buffer), count);
}

std::uint64_t GptPartitions::ArraySectors() const {
  return SectorsFor(header_.EntryCount(), disk_ == nullptr ? 0 : disk_->GetSectorSize());
}

bool GptPartitions::ReadHeader(std::uint64_t lba) {
  if (disk_ == nullptr) return false;
  const std::uint32_t sectorSize = disk_->GetSectorSize();
  if (sectorSize < kHeaderBytes) return false;
  try {
    AlignedBuffer buffer(sectorSize, sectorSize);
    if (ReadSectors(lba, buffer.Get(), 1)) return false;
    std::memcpy(header_.bytes.data(), buffer.Get(), kHeaderBytes);
    return CheckHeader(buffer.Get(), sectorSize);
  } catch (const Fdisk::Error&) {
    return false;  // a sector size no buffer can be aligned to
  }
}

bool GptPartitions::ReadEntries(std::uint64_t lba) {
  if (disk_ == nullptr) return false;
  const std::uint32_t sectorSize = disk_->GetSectorSize();
  const std::uint32_t count = header_.EntryCount();
  if (header_.EntrySize() != kEntryBytes || count == 0 || count > kMaxEntryCount ||
      sectorSize == 0) {
    return false;
  }
  const std::uint64_t sectors = SectorsFor(count, sectorSize);
  const std::uint64_t diskLast = disk_->GetSectorCount();
  if (lba > diskLast || sectors - 1 > diskLast - lba) return false;
  const std::uint64_t bytes = std::uint64_t(count) * kEntryBytes;
  try {
    AlignedBuffer buffer(std::uint32_t(sectors * sectorSize), sectorSize);
    if (ReadSectors(lba, buffer.Get(), sectors)) return false;
    if (Crc(0, buffer.Get(), std::size_t(bytes)) != header_.EntriesCrc()) {
      GptLog("Gpt arrays crc corrupt!");
      return false;
    }
    std::vector<GptEntry> entries(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::memcpy(entries[i].bytes.data(), buffer.Get() + std::size_t(i) * kEntryBytes,
                  kEntryBytes);
    }
    entries_.swap(entries);
    return true;
  } catch (const Fdisk::Error&) {
    return false;
  }
}

bool GptPartitions::HeaderFits(const GptHeader& image, std::uint64_t lba) const {
  if (disk_ == nullptr) return false;
  const std::uint32_t sectorSize = disk_->GetSectorSize();
  const std::uint32_t count = image.EntryCount();
  if (image.MyLba() != lba) return false;
  if (image.EntrySize() != kEntryBytes || count == 0 || count > kMaxEntryCount) return false;
  const std::uint64_t diskLast = disk_->GetSectorCount();
  const std::uint64_t first = image.FirstUsableLba();
  const std::uint64_t last = image.LastUsableLba();
  if (first > last || last > diskLast) return false;
  const std::uint64_t sectors = SectorsFor(count, sectorSize);
  const std::uint64_t entryLba = image.EntryLba();
  if (sectors == 0 || entryLba > diskLast || sectors - 1 > diskLast - entryLba) return false;
  const std::uint64_t arrayEnd = entryLba + sectors - 1;
  // The array and the header lie outside the usable area and apart.
  if (arrayEnd >= first && entryLba <= last) return false;
  if (lba >= first && lba <= last) return false;
  if (lba >= entryLba && lba <= arrayEnd) return false;
  return true;
}

bool GptPartitions::PrimaryFits(const GptHeader& image) const {
  if (start_ == 0 || !HeaderFits(image, start_)) return false;
  const std::uint64_t sectors = SectorsFor(image.EntryCount(), disk_->GetSectorSize());
  const std::uint64_t entryLba = image.EntryLba();
  const std::uint64_t first = image.FirstUsableLba();
  const std::uint64_t last = image.LastUsableLba();
  const std::uint64_t alternate = image.AlternateLba();
  // Primary array between the header and the usable area.
  if (entryLba <= start_ || entryLba + sectors - 1 >= first) return false;
  // Backup header past the usable area with room for the array Commit puts
  // right before it.
  if (alternate > disk_->GetSectorCount() || alternate <= last || alternate - last <= sectors) {
    return false;
  }
  return true;
}

Common::Error GptPartitions::Load() {
  valid_ = false;
  fromAlternate_ = false;

  std::uint64_t alternateLba = 0;
  const bool haveArea = LastOf(start_, length_, alternateLba);
  GptLog("Try to load Alternate Header from %lli ", static_cast<long long>(alternateLba));
  const bool alternateOk =
      haveArea && ReadHeader(alternateLba) && HeaderFits(header_, alternateLba);
  if (!alternateOk) GptLog("Warning: alternate header damaged");

  GptLog("try to loading Header from %lli", static_cast<long long>(start_));
  const bool primaryOk = haveArea && ReadHeader(start_) && PrimaryFits(header_) &&
                         ReadEntries(header_.EntryLba());
  if (primaryOk) {
    firstUsable_ = header_.FirstUsableLba();
    lastUsable_ = header_.LastUsableLba();
  } else {
    // The backup copy, made to describe the primary again.
    if (!alternateOk || !ReadHeader(alternateLba) || !HeaderFits(header_, alternateLba)) {
      return MakeError(kNoHeaderLocation, kModuleId, kErrNoHeader, Msg::kNoHeader);
    }
    GptHeader repaired = header_;
    repaired.SetMyLba(header_.AlternateLba());
    repaired.SetAlternateLba(header_.MyLba());
    repaired.SetEntryLba(repaired.MyLba() + 1);
    repaired.UpdateCrc();
    if (!PrimaryFits(repaired) || !ReadEntries(header_.EntryLba())) {
      return MakeError(kNoHeaderLocation, kModuleId, kErrNoHeader, Msg::kNoHeader);
    }
    GptLog("Primary header damaged. using Alternate table.");
    header_ = repaired;
    firstUsable_ = header_.FirstUsableLba();
    lastUsable_ = header_.LastUsableLba();
    fromAlternate_ = true;
  }

  RemoveZeroEntries();
  SortByStart();
  dirty_ = false;
  valid_ = true;
  return Common::Error();
}

std::uint32_t GptPartitions::ComputeEntriesCrc() const {
  const std::size_t count = header_.EntryCount();
  std::vector<std::uint8_t> array(count * kEntryBytes, 0);
  const std::size_t used = std::min(entries_.size(), count);
  for (std::size_t i = 0; i < used; ++i) {
    std::memcpy(array.data() + i * kEntryBytes, entries_[i].bytes.data(), kEntryBytes);
  }
  return Crc(0, array.data(), array.size());
}

void GptPartitions::InsertEntry(const GptEntry& entry) {
  const std::uint64_t start = entry.StartingLba();
  const std::uint64_t end = entry.EndingLba();
  if (end > lastUsable_) Throw(kPastUsableLocation, kErrNoRegion, Msg::kNoRegion);
  // An entry over the headers or arrays would let the partition's data
  // overwrite the table.
  if (start < firstUsable_ || end < start) {
    Throw(kBeforeUsableLocation, kErrNoRegion, Msg::kNoRegion);
  }
  if (entries_.size() >= header_.EntryCount()) {
    Throw(kInsertOverrunLocation, kErrArrayOverrun, Msg::kArrayOverrun);
  }
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [start](const GptEntry& e) { return e.EndingLba() >= start; });
  if (it != entries_.end() && end >= it->StartingLba()) {
    Throw(kOverlapLocation, kErrNoRegion, Msg::kNoRegion);
  }
  entries_.insert(it, entry);
  dirty_ = true;
}

void GptPartitions::AddEntry(Common::Guid& guid, std::uint64_t start, std::uint64_t size,
                             const Common::Guid& type, const std::u16string& name) {
  if (std::uint64_t(entries_.size()) + 1 >= header_.EntryCount()) {
    Throw(kAddOverrunLocation, kErrArrayOverrun, Msg::kArrayOverrun);
  }
  std::uint64_t end = 0;
  if (!LastOf(start, size, end)) Throw(kSizeLocation, kErrNoRegion, Msg::kNoRegion);
  GptEntry entry;
  Common::Guid unique{};
  Common::GuidNewRandom(unique);
  entry.SetTypeGuid(type);
  entry.SetUniqueGuid(unique);
  entry.SetStartingLba(start);
  entry.SetEndingLba(end);
  entry.SetAttributes(0);
  entry.SetName(name);
  guid = unique;
  InsertEntry(entry);
  dirty_ = true;
}

GptEntry GptPartitions::CreateEntry(std::uint64_t start, std::uint64_t size,
                                    const Common::Guid& type, const std::u16string& name) {
  Common::Guid guid{};
  AddEntry(guid, start, size, type, name);
  return *FindByGuid(guid);
}

void GptPartitions::ChangeEntry(const Common::Guid& guid, std::uint64_t start,
                                std::uint64_t size) {
  GptPartitions copy(*this);
  const GptEntry* found = copy.FindByGuid(guid);
  if (found == nullptr) {
    Throw(kChangeNotFoundLocation, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  GptEntry changed = *found;
  std::uint64_t end = 0;
  if (!LastOf(start, size, end)) Throw(kSizeLocation, kErrNoRegion, Msg::kNoRegion);
  changed.SetStartingLba(start);
  changed.SetEndingLba(end);
  copy.RemoveEntry(guid);
  copy.InsertEntry(changed);
  Swap(copy);
  dirty_ = true;
}

void GptPartitions::SetEntryName(const Common::Guid& guid, const std::u16string& name) {
  GptEntry* entry = FindByGuid(guid);
  if (entry == nullptr) {
    Throw(kNameNotFoundLocation, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  entry->SetName(name);
  dirty_ = true;
}

void GptPartitions::SetEntryType(const Common::Guid& guid, const Common::Guid& type) {
  GptEntry* entry = FindByGuid(guid);
  if (entry == nullptr) {
    Throw(kTypeNotFoundLocation, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  entry->SetTypeGuid(type);
  dirty_ = true;
}

void GptPartitions::SetHardwareFlag(const Common::Guid& guid, bool on) {
  GptEntry* entry = FindByGuid(guid);
  if (entry == nullptr) {
    Throw(kFlagNotFoundLocation, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  const std::uint64_t attributes = entry->Attributes();
  entry->SetAttributes(on ? attributes | kAttrPlatformRequired
                          : attributes & ~kAttrPlatformRequired);
  dirty_ = true;
}

void GptPartitions::RemoveEntry(const Common::Guid& guid) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&guid](const GptEntry& e) { return e.UniqueGuid() == guid; });
  if (it == entries_.end()) {
    Throw(kRemoveNotFoundLocation, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  if ((it->Attributes() & kAttrPlatformRequired) != 0) {
    Throw(kRemoveInUseLocation, kErrInUse, Msg::kInUse);
  }
  entries_.erase(it);
  dirty_ = true;
}

void GptPartitions::RemoveZeroEntries() {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [](const GptEntry& e) { return e.IsZero(); }),
                 entries_.end());
}

void GptPartitions::SortByStart() {
  std::stable_sort(entries_.begin(), entries_.end(), [](const GptEntry& a, const GptEntry& b) {
    return a.StartingLba() < b.StartingLba();
  });
}

const GptEntry* GptPartitions::FindByGuid(const Common::Guid& guid) const {
  for (const GptEntry& e : entries_) {
    if (e.UniqueGuid() == guid) return &e;
  }
  return nullptr;
}

GptEntry* GptPartitions::FindByGuid(const Common::Guid& guid) {
  return const_cast<GptEntry*>(static_cast<const GptPartitions*>(this)->FindByGuid(guid));
}

void GptPartitions::InitNew() {
  const std::uint32_t sectorSize = disk_ == nullptr ? 0 : disk_->GetSectorSize();
  const std::uint64_t reserved = SectorsFor(kDefaultEntryCount, sectorSize);
  // Both headers, both arrays and at least one usable sector inside the
  // area, and the area on the disk; the primary never goes to sector 0.
  std::uint64_t alternate = 0;
  if (sectorSize < kHeaderBytes || start_ == 0 || !LastOf(start_, length_, alternate) ||
      alternate > disk_->GetSectorCount() || length_ < 2 * reserved + 3) {
    Throw(kInitAreaLocation, kErrNoRegion, Msg::kNoRegion);
  }
  header_ = GptHeader();
  header_.SetSignature();
  header_.SetRevision(kRevision);
  header_.SetHeaderSize(std::uint32_t(kHeaderBytes));
  header_.SetMyLba(start_);
  header_.SetAlternateLba(alternate);
  header_.SetEntryLba(start_ + 1);
  header_.SetFirstUsableLba(start_ + 1 + reserved);
  header_.SetLastUsableLba(alternate - reserved - 1);
  Common::Guid diskGuid{};
  Common::GuidNewRandom(diskGuid);
  header_.SetDiskGuid(diskGuid);
  header_.SetEntryCount(kDefaultEntryCount);
  header_.SetEntrySize(std::uint32_t(kEntryBytes));
  firstUsable_ = header_.FirstUsableLba();
  lastUsable_ = header_.LastUsableLba();
  entries_.clear();
  dirty_ = true;
  fromAlternate_ = false;
  valid_ = true;
}

bool GptPartitions::IsEmptyEntry(const GptEntry& entry) {
  return entry.TypeGuid().IsNull() && entry.UniqueGuid().IsNull();
}

std::vector<GptEntry> GptPartitions::ListEntries() const {
  std::vector<GptEntry> list;
  auto addFree = [&list](std::uint64_t first, std::uint64_t last, bool atEnd) {
    GptEntry free;
    free.SetStartingLba(first);
    free.SetEndingLba(last);
    if (atEnd) free.SetName(kFreeSpaceName);
    list.push_back(free);
  };
  // `next` is the first sector no entry so far covers; `open` turns false
  // once an entry reaches the end of the address space.
  std::uint64_t next = firstUsable_;
  bool open = true;
  for (const GptEntry& e : entries_) {
    const std::uint64_t start = e.StartingLba();
    const std::uint64_t end = e.EndingLba();
    if (open && start > next && next <= lastUsable_) {
      addFree(next, std::min(start - 1, lastUsable_), false);
    }
    list.push_back(e);
    if (open && end < start) {
      // A damaged record that ends before it starts covers nothing: the
      // next gap goes on from where the one before it stopped, so that no
      // two free areas overlap.
      next = std::max(next, start);
    } else if (open && end >= next) {
      if (end == std::numeric_limits<std::uint64_t>::max()) {
        open = false;
      } else {
        next = end + 1;
      }
    }
  }
  if (open && next <= lastUsable_) addFree(next, lastUsable_, true);
  return list;
}

void GptPartitions::ThrowWriteError(std::uint32_t location, const Common::Error& io) const {
  // The I/O failure's own code, so that callers see what failed; the I/O
  // error itself rides along as the cause.
  Common::Error e(location, kModuleId, Common::GetErrorCode(io));
  Common::AttachErrorCause(e, io);
  TraceError(1, e);
  throw Error(e);
}

void GptPartitions::WriteHeader(const GptHeader& image) {
  const std::uint32_t sectorSize = disk_->GetSectorSize();
  AlignedBuffer buffer(sectorSize, sectorSize);
  std::memset(buffer.Get(), 0, sectorSize);
  std::memcpy(buffer.Get(), image.bytes.data(), std::min<std::size_t>(kHeaderBytes, sectorSize));
  Common::Error io = WriteSectors(image.MyLba(), buffer.Get(), 1);
  if (io) ThrowWriteError(kWriteHeaderLocation, io);
}

void GptPartitions::WriteEntries(std::uint64_t lba) {
  const std::uint32_t sectorSize = disk_->GetSectorSize();
  const std::uint64_t sectors = ArraySectors();
  AlignedBuffer buffer(std::uint32_t(sectors * sectorSize), sectorSize);
  std::memset(buffer.Get(), 0, std::size_t(sectors * sectorSize));
  const std::size_t used = std::min<std::size_t>(entries_.size(), header_.EntryCount());
  for (std::size_t i = 0; i < used; ++i) {
    std::memcpy(buffer.Get() + i * kEntryBytes, entries_[i].bytes.data(), kEntryBytes);
  }
  Common::Error io = WriteSectors(lba, buffer.Get(), sectors);
  if (io) ThrowWriteError(kWriteEntriesLocation, io);
}

void GptPartitions::Commit() {
  if (!dirty_) return;
  if (!valid_) Throw(kCommitNoHeaderLocation, kErrNoHeader, Msg::kNoHeader);
  header_.SetEntriesCrc(ComputeEntriesCrc());
  header_.UpdateCrc();
  WriteHeader(header_);
  WriteEntries(header_.EntryLba());

  // The backup: the same header seen from the other end, its array right
  // before it.
  GptHeader backup = header_;
  backup.SetMyLba(header_.AlternateLba());
  backup.SetAlternateLba(header_.MyLba());
  backup.SetEntryLba(backup.MyLba() - ArraySectors());
  backup.UpdateCrc();
  WriteHeader(backup);
  WriteEntries(backup.EntryLba());
}

// --- GptPartitionsRemover ----------------------------------------------------

GptPartitionsRemover::GptPartitionsRemover(const GptPartitions& table) : GptPartitions(table) {}

GptPartitions* GptPartitionsRemover::Clone() const { return new GptPartitionsRemover(*this); }

void GptPartitionsRemover::Commit() {
  if (!valid_) Throw(kWipeNoHeaderLocation, kErrNoHeader, Msg::kNoHeader);
  const std::uint32_t sectorSize = disk_->GetSectorSize();
  AlignedBuffer zeros(sectorSize, sectorSize);
  std::memset(zeros.Get(), 0, sectorSize);
  Common::Error io = WriteSectors(header_.MyLba(), zeros.Get(), 1);
  if (io) ThrowWriteError(kWipePrimaryLocation, io);
  io = WriteSectors(header_.AlternateLba(), zeros.Get(), 1);
  if (io) ThrowWriteError(kWipeBackupLocation, io);
}

}  // namespace Gpt
}  // namespace Fdisk
