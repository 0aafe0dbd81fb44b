// Open files as attribute containers, and byte access to their attributes.
#include "filesystems/ntfs_attribute.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsAttributeModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }
[[noreturn]] void DiskFull(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileDiskFull); }

constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint16_t kSparse = 0x8000;
// Compressed or encrypted values are only ever read here.
constexpr std::uint16_t kCompressionMask = 0x00FF;
constexpr std::uint16_t kEncrypted = 0x4000;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kMftBitmap = 0xB0;

std::uint32_t RoundUp8(std::uint64_t v) { return std::uint32_t((v + 7) & ~std::uint64_t(7)); }

// The header at `offset` of a parsed record.
const AttributeRecord* HeaderAt(const FileRecordHeader& h, std::uint32_t offset) {
  for (const AttributeRecord& a : h.attributes)
    if (a.offset == offset) return &a;
  return nullptr;
}

}  // namespace

bool EncodeRunsInto(const RunList& runs, std::uint8_t* destination, std::uint32_t room) {
  const std::uint32_t size = GetMappingPairsSize(runs.begin(), runs.end());
  if (size > room) return false;
  EncodeMappingPairs(destination, runs.begin(), runs.end());
  std::memset(destination + size, 0, room - size);
  return true;
}

namespace {

// The $MFT's record bitmap, read and written through its attribute.
class FileRecordBitmapStorage : public BitmapStorage {
 public:
  explicit FileRecordBitmapStorage(Attribute& bits) : bits_(bits) {}
  std::uint64_t Size() override { return bits_.GetSize(); }
  std::uint32_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    if (offset >= Size()) return 0;
    return bits_.Read(offset, std::uint32_t(std::min<std::uint64_t>(length, Size() - offset)), buffer);
  }
  std::uint32_t Write(std::uint64_t offset, const std::uint8_t* source, std::uint32_t length) override {
    if (offset >= Size()) return 0;
    return bits_.Write(offset, std::uint32_t(std::min<std::uint64_t>(length, Size() - offset)), source);
  }

 private:
  Attribute& bits_;
};

}  // namespace

// ---- FileRecord ----

FileRecord::FileRecord(NTFSDriver& driver, std::uint64_t number) : driver_(driver), number_(number) {
  const std::uint8_t* image = driver_.GetMft().GetRecord(number);
  held_.push_back(number);
  const FileRecordHeader h = ParseFileRecord(image, driver_.Geometry().recordSize);
  if ((h.flags & file_record::kInUse) == 0 || h.baseRecord != 0) {
    driver_.GetMft().ReleaseRecord(number);
    Corrupted(0x01);
  }
}

FileRecord::~FileRecord() { ReleaseAll(); }

void FileRecord::ReleaseAll() noexcept {
  for (std::uint64_t n : held_) driver_.GetMft().ReleaseRecord(n);
  held_.clear();
}

std::uint8_t* FileRecord::Image(std::uint64_t record) {
  if (std::find(held_.begin(), held_.end(), record) == held_.end()) {
    driver_.GetMft().GetRecord(record);
    held_.push_back(record);
  }
  return driver_.GetMft().MutableRecord(record);
}

void FileRecord::Save(std::uint64_t record) { driver_.GetMft().SaveRecord(record); }

std::uint32_t FileRecord::MaxAttributeRecordSize() const noexcept {
  const std::uint32_t size = driver_.Geometry().recordSize;
  const std::uint32_t strides = size / kUpdateSequenceStride;
  return size - 56 - 8 * ((2 * strides + 7) / 8);
}

bool FileRecord::ResizeAttributeRecord(std::uint64_t record, std::uint32_t offset,
                                       std::uint32_t length) {
  const std::uint32_t size = driver_.Geometry().recordSize;
  std::uint8_t* image = Image(record);
  const FileRecordHeader h = ParseFileRecord(image, size);
  const AttributeRecord* a = HeaderAt(h, offset);
  if (!a || length < 24 || length % 8 != 0) Corrupted(0x02);
  if (length > MaxAttributeRecordSize()) return false;
  const std::uint32_t old = a->length;
  if (length > old && h.bytesInUse + (length - old) > size) return false;
  const std::uint32_t tail = h.bytesInUse - (offset + old);
  std::memmove(image + offset + length, image + offset + old, tail);
  std::uint32_t inUse = h.bytesInUse;
  if (length > old) {
    std::memset(image + offset + old, 0, length - old);
    inUse += length - old;
  } else {
    inUse -= old - length;
    std::memset(image + inUse, 0, old - length);
  }
  Common::StoreLe32(image + offset + 4, length);
  Common::StoreLe32(image + file_record::kBytesInUse, inUse);
  for (Attribute* open : open_) open->Shift(record, offset + 1, std::int64_t(length) - std::int64_t(old));
  return true;
}

std::unique_ptr<Attribute> FileRecord::Find(std::uint32_t type, const std::u16string& name) {
  const std::uint32_t size = driver_.Geometry().recordSize;
  const std::uint8_t* base = Image(number_);
  const FileRecordHeader h = ParseFileRecord(base, size);
  const AttributeRecord* list = nullptr;
  for (const AttributeRecord& a : h.attributes)
    if (a.type == kAttributeList && a.nameLength == 0) list = &a;

  std::vector<Attribute::Piece> pieces;
  std::vector<std::uint64_t> lowest;
  if (!list || type == kAttributeList) {
    for (const AttributeRecord& a : h.attributes) {
      if (a.type != type || a.Name(base) != name) continue;
      pieces.push_back({number_, a.offset});
      lowest.push_back(a.nonResident ? a.lowestVcn : 0);
      if (!a.nonResident) break;
    }
  } else {
    AttributeValue listValue;
    driver_.FindAttribute(number_, base, kAttributeList, u"", listValue);
    const std::uint64_t listSize = driver_.ValueSize(listValue);
    std::vector<std::uint8_t> bytes(CheckDiskSizedAllocation(listSize));
    if (driver_.ReadValue(listValue, 0, bytes.data(), std::uint32_t(listSize)) != listSize)
      ThrowFileError(0x10, kModuleId, kFileReadError);
    for (const ListEntry& e : ParseAttributeList(bytes)) {
      if (e.type != type || e.name != name) continue;
      const std::uint64_t where = RecordNumberOf(e.reference);
      const std::uint8_t* image = Image(where);
      const FileRecordHeader r = ParseFileRecord(image, size);
      if (where != number_ &&
          ((r.flags & file_record::kInUse) == 0 || RecordNumberOf(r.baseRecord) != number_ ||
           r.sequenceNumber != SequenceOf(e.reference)))
        Corrupted(0x11);
      const AttributeRecord* found = nullptr;
      for (const AttributeRecord& a : r.attributes)
        if (a.id == e.id && a.type == type && a.Name(image) == name) found = &a;
      if (!found || (found->nonResident && found->lowestVcn != e.lowestVcn)) Corrupted(0x12);
      pieces.push_back({where, found->offset});
      lowest.push_back(e.lowestVcn);
      if (!found->nonResident) break;
    }
  }
  if (pieces.empty()) return nullptr;
  // Pieces in VCN order, as the list or the record keeps them.
  std::vector<std::size_t> order(pieces.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return lowest[x] < lowest[y]; });
  std::vector<Attribute::Piece> sorted;
  for (std::size_t i : order) sorted.push_back(pieces[i]);
  return std::unique_ptr<Attribute>(new Attribute(*this, type, name, std::move(sorted)));
}

// ---- Room beyond the base record ----

std::uint16_t FileRecord::RecordSequence(std::uint64_t record) {
  return Common::LoadLe16(Image(record) + file_record::kSequenceNumber);
}

namespace {

// A record number taken in the $MFT's record bitmap; the $MFT grows once
// when none is free and `mayGrow` says it can.
std::uint64_t TakeRecordNumber(NTFSDriver& driver, bool mayGrow) {
  for (int attempt = 0;; ++attempt) {
    try {
      FileRecord mft(driver, 0);
      std::unique_ptr<Attribute> bits = mft.Find(kMftBitmap, u"");
      if (!bits) Corrupted(0x60);
      FileRecordBitmapStorage storage(*bits);
      FileRecordBitmap bitmap(&storage, driver.GetMft().RecordCount());
      return bitmap.AllocateOne();
    } catch (const Common::Error& e) {
      if (e.Code() != kFileDiskFull || attempt != 0 || !mayGrow) throw;
    }
    GrowMft(driver);
  }
}

void GiveRecordNumberBack(NTFSDriver& driver, std::uint64_t number) {
  FileRecord mft(driver, 0);
  std::unique_ptr<Attribute> bits = mft.Find(kMftBitmap, u"");
  if (!bits) return;
  FileRecordBitmapStorage storage(*bits);
  FileRecordBitmap bitmap(&storage, driver.GetMft().RecordCount());
  bitmap.FreeRun(number, 1);
}

}  // namespace

std::uint64_t FileRecord::AllocateExtensionRecord() {
  // The $MFT grows for other files; its own record could not follow a
  // second object changing it underneath.
  const std::uint64_t number = TakeRecordNumber(driver_, number_ != 0);
  std::uint8_t* image = driver_.GetMft().NewRecord(number);
  held_.push_back(number);
  Common::StoreLe64(image + file_record::kBaseRecord, MakeReference(number_, RecordSequence(number_)));
  return number;
}

std::uint64_t CreateBaseRecord(NTFSDriver& driver, std::uint16_t flags) {
  const std::uint64_t number = TakeRecordNumber(driver, true);
  try {
    std::uint8_t* image = driver.GetMft().NewRecord(number);
    Common::StoreLe16(image + file_record::kFlags, std::uint16_t(flags | file_record::kInUse));
    Common::StoreLe16(image + file_record::kLinkCount, 0);
    try {
      driver.GetMft().SaveRecord(number);
    } catch (...) {
      driver.GetMft().ReleaseRecord(number);
      throw;
    }
    driver.GetMft().ReleaseRecord(number);
  } catch (...) {
    try {
      GiveRecordNumberBack(driver, number);
    } catch (const Common::Error&) {
    }
    throw;
  }
  return number;
}

void FileRecord::ReleaseExtensionRecord(std::uint64_t number) noexcept {
  try {
    std::uint8_t* image = Image(number);
    Common::StoreLe16(image + file_record::kFlags, 0);
    Save(number);
    GiveRecordNumberBack(driver_, number);
  } catch (const Common::Error&) {
    // A record left taken costs a record, never data.
  }
}

std::uint32_t FileRecord::InsertAttributeRecord(std::uint64_t record, std::vector<std::uint8_t> header) {
  const std::uint32_t size = driver_.Geometry().recordSize;
  std::uint8_t* image = Image(record);
  const FileRecordHeader h = ParseFileRecord(image, size);
  const std::uint32_t length = std::uint32_t(header.size());
  if (length > MaxAttributeRecordSize() || h.bytesInUse + length > size) return 0;
  const std::uint32_t type = Common::LoadLe32(header.data());
  // Before the first record of a higher type (the end marker is highest).
  std::uint32_t at = h.bytesInUse - 8;
  for (const AttributeRecord& a : h.attributes) {
    if (a.type > type) {
      at = a.offset;
      break;
    }
  }
  Common::StoreLe16(header.data() + 14, h.nextAttributeId);
  Common::StoreLe16(image + file_record::kNextAttributeId, std::uint16_t(h.nextAttributeId + 1));
  std::memmove(image + at + length, image + at, h.bytesInUse - at);
  std::memcpy(image + at, header.data(), length);
  Common::StoreLe32(image + file_record::kBytesInUse, h.bytesInUse + length);
  for (Attribute* open : open_) open->Shift(record, at, length);
  return at;
}

void FileRecord::RemoveAttributeRecord(std::uint64_t record, std::uint32_t offset) {
  const std::uint32_t size = driver_.Geometry().recordSize;
  std::uint8_t* image = Image(record);
  const FileRecordHeader h = ParseFileRecord(image, size);
  const AttributeRecord* a = HeaderAt(h, offset);
  if (!a) Corrupted(0x61);
  const std::uint32_t length = a->length;
  std::memmove(image + offset, image + offset + length, h.bytesInUse - offset - length);
  std::memset(image + h.bytesInUse - length, 0, length);
  Common::StoreLe32(image + file_record::kBytesInUse, h.bytesInUse - length);
  for (Attribute* open : open_) open->Shift(record, offset + 1, -std::int64_t(length));
}

bool FileRecord::HasList() {
  LoadList();
  return hasList_;
}

void FileRecord::LoadList() {
  if (listLoaded_) return;
  const std::uint8_t* base = Image(number_);
  AttributeValue value;
  hasList_ = driver_.FindAttribute(number_, base, kAttributeList, u"", value, true);
  list_.clear();
  if (hasList_) {
    const std::uint64_t size = driver_.ValueSize(value);
    std::vector<std::uint8_t> bytes(CheckDiskSizedAllocation(size));
    if (driver_.ReadValue(value, 0, bytes.data(), std::uint32_t(size)) != size)
      ThrowFileError(0x62, kModuleId, kFileReadError);
    list_ = ParseAttributeList(bytes);
  }
  listLoaded_ = true;
}

std::vector<std::uint8_t> FileRecord::SerializeList(const std::vector<ListEntry>& list) {
  std::vector<std::uint8_t> bytes;
  for (const ListEntry& e : list) {
    const std::uint32_t length = RoundUp8(26 + 2 * e.name.size());
    const std::size_t at = bytes.size();
    bytes.resize(at + length, 0);
    std::uint8_t* p = &bytes[at];
    Common::StoreLe32(p, e.type);
    Common::StoreLe16(p + 4, std::uint16_t(length));
    p[6] = std::uint8_t(e.name.size());
    p[7] = 26;
    Common::StoreLe64(p + 8, e.lowestVcn);
    Common::StoreLe64(p + 16, e.reference);
    Common::StoreLe16(p + 24, e.id);
    for (std::size_t i = 0; i < e.name.size(); ++i) Common::StoreLe16(p + 26 + 2 * i, e.name[i]);
  }
  return bytes;
}

void FileRecord::WriteList() {
  const std::vector<std::uint8_t> bytes = SerializeList(list_);
  std::unique_ptr<Attribute> list = Find(kAttributeList, u"");
  if (!list) Corrupted(0x63);
  // The list stays in the base record while it has room there and moves
  // into clusters when it has not; its own runs never leave the base
  // record.
  const std::uint32_t size = std::uint32_t(bytes.size());
  if (list->SetSize(size) != size) DiskFull(0x65);
  if (list->Write(0, size, bytes.data()) != size) DiskFull(0x64);
  Save(number_);
}

void FileRecord::CreateList(Attribute& mover) {
  const std::uint32_t size = driver_.Geometry().recordSize;
  const std::uint64_t self = MakeReference(number_, RecordSequence(number_));
  std::uint8_t* base = Image(number_);
  FileRecordHeader h = ParseFileRecord(base, size);
  std::vector<ListEntry> entries;
  for (const AttributeRecord& a : h.attributes) {
    ListEntry e;
    e.type = a.type;
    e.name = a.Name(base);
    e.lowestVcn = a.nonResident ? a.lowestVcn : 0;
    e.reference = self;
    e.id = a.id;
    entries.push_back(e);
  }
  const std::uint32_t need = RoundUp8(24 + SerializeList(entries).size());
  // The $MFT's first piece never leaves record 0: mounting reads the
  // first records through it before any list can be followed.
  if (h.bytesInUse + need > size && mover.pieces_[0].record == number_ && number_ != 0) {
    // Make room: the growing attribute's first piece goes to a record of
    // its own, where it has room to grow too.
    const Attribute::Piece piece = mover.pieces_[0];
    const AttributeRecord* a = HeaderAt(h, piece.offset);
    if (!a) Corrupted(0x66);
    const std::uint16_t oldId = a->id;
    std::vector<std::uint8_t> copy(base + piece.offset, base + piece.offset + a->length);
    const std::uint64_t extension = AllocateExtensionRecord();
    const std::uint32_t at = InsertAttributeRecord(extension, copy);
    if (at == 0) Corrupted(0x67);
    for (ListEntry& e : entries) {
      if (e.reference == self && e.id == oldId && e.type == a->type) {
        e.reference = MakeReference(extension, RecordSequence(extension));
        e.id = Common::LoadLe16(Image(extension) + at + 14);
      }
    }
    // Every open object of the attribute follows its first piece.
    for (Attribute* open : open_)
      if (!open->pieces_.empty() && open->pieces_[0].record == piece.record &&
          open->pieces_[0].offset == piece.offset)
        open->pieces_[0] = {extension, at};
    RemoveAttributeRecord(number_, piece.offset);
    mover.pieces_[0] = {extension, at};
    for (Attribute* open : open_) open->Reload();
    Save(extension);
    base = Image(number_);
    h = ParseFileRecord(base, size);
  }
  if (h.bytesInUse + need > size) DiskFull(0x68);
  std::vector<std::uint8_t> header(need, 0);
  const std::vector<std::uint8_t> bytes = SerializeList(entries);
  Common::StoreLe32(&header[0], kAttributeList);
  Common::StoreLe32(&header[4], need);
  Common::StoreLe32(&header[16], std::uint32_t(bytes.size()));
  Common::StoreLe16(&header[20], 24);
  std::memcpy(&header[24], bytes.data(), bytes.size());
  if (InsertAttributeRecord(number_, header) == 0) DiskFull(0x69);
  Save(number_);
  list_ = std::move(entries);
  hasList_ = true;
  listLoaded_ = true;
}

// ---- Whole attributes ----

void FileRecord::InsertNamed(std::vector<std::uint8_t> header, const std::u16string& name) {
  LoadList();
  const std::uint32_t type = Common::LoadLe32(header.data());
  std::uint32_t offset = InsertAttributeRecord(number_, header);
  if (offset == 0 && MakeRoom()) offset = InsertAttributeRecord(number_, header);
  if (offset == 0) {
    PlaceInExtension(std::move(header), name);
    return;
  }
  if (hasList_) {
    ListEntry entry;
    entry.type = type;
    entry.name = name;
    entry.reference = MakeReference(number_, RecordSequence(number_));
    entry.id = Common::LoadLe16(Image(number_) + offset + 14);
    std::size_t place = list_.size();
    for (std::size_t i = 0; i < list_.size(); ++i) {
      if (list_[i].type > type) {
        place = i;
        break;
      }
    }
    list_.insert(list_.begin() + std::ptrdiff_t(place), entry);
    try {
      WriteList();
    } catch (...) {
      list_.erase(list_.begin() + std::ptrdiff_t(place));
      RemoveAttributeRecord(number_, offset);
      throw;
    }
  }
  Save(number_);
}

void FileRecord::PlaceInExtension(std::vector<std::uint8_t> header, const std::u16string& name) {
  // A full base record: the attribute goes to an extension record of its
  // own, named in the attribute list (started first, its data's first
  // piece moving out when the list needs the room).
  if (!hasList_) {
    std::unique_ptr<Attribute> mover = Find(kData, u"");
    if (!mover) DiskFull(0x6E);
    CreateList(*mover);
  }
  const std::uint32_t type = Common::LoadLe32(header.data());
  const std::uint64_t record = AllocateExtensionRecord();
  const std::uint32_t offset = InsertAttributeRecord(record, std::move(header));
  if (offset == 0) {
    ReleaseExtensionRecord(record);
    DiskFull(0x6F);
  }
  ListEntry entry;
  entry.type = type;
  entry.name = name;
  entry.reference = MakeReference(record, RecordSequence(record));
  entry.id = Common::LoadLe16(Image(record) + offset + 14);
  std::size_t place = list_.size();
  for (std::size_t i = 0; i < list_.size(); ++i) {
    if (list_[i].type > type) {
      place = i;
      break;
    }
  }
  list_.insert(list_.begin() + std::ptrdiff_t(place), entry);
  Save(record);
  try {
    WriteList();
  } catch (...) {
    list_.erase(list_.begin() + std::ptrdiff_t(place));
    ReleaseExtensionRecord(record);
    throw;
  }
}

bool FileRecord::MakeRoom() {
  // The one attribute whose value may leave the record is resident data:
  // it moves into clusters as it would when it grew.
  const std::uint32_t size = driver_.Geometry().recordSize;
  const std::uint8_t* base = Image(number_);
  const FileRecordHeader h = ParseFileRecord(base, size);
  for (const AttributeRecord& a : h.attributes) {
    if (a.type != kData || a.nonResident || a.valueLength == 0) continue;
    std::unique_ptr<Attribute> data = Find(kData, a.Name(base));
    if (!data || !data->Resident()) return false;
    data->MakeNonResident();
    // Other open objects of this attribute see its new form.
    for (Attribute* open : open_) open->Reload();
    return true;
  }
  return false;
}

void FileRecord::AddResident(std::uint32_t type, const std::u16string& name,
                             const std::vector<std::uint8_t>& value, bool indexed) {
  if (name.size() > 255) Corrupted(0x6B);
  const std::uint32_t valueOffset = RoundUp8(24 + 2 * name.size());
  const std::uint32_t length = RoundUp8(valueOffset + value.size());
  if (length > MaxAttributeRecordSize()) DiskFull(0x6C);
  std::vector<std::uint8_t> header(length, 0);
  Common::StoreLe32(&header[0], type);
  Common::StoreLe32(&header[4], length);
  header[9] = std::uint8_t(name.size());
  Common::StoreLe16(&header[10], 24);
  Common::StoreLe32(&header[16], std::uint32_t(value.size()));
  Common::StoreLe16(&header[20], std::uint16_t(valueOffset));
  header[22] = indexed ? 1 : 0;
  for (std::size_t i = 0; i < name.size(); ++i) Common::StoreLe16(&header[24 + 2 * i], name[i]);
  if (!value.empty()) std::memcpy(&header[valueOffset], value.data(), value.size());
  InsertNamed(std::move(header), name);
}

void FileRecord::AddEmptyNonResident(std::uint32_t type, const std::u16string& name) {
  if (name.size() > 255) Corrupted(0x6D);
  const std::uint32_t pairsOffset = RoundUp8(64 + 2 * name.size());
  // One zero byte ends the (empty) mapping pairs.
  const std::uint32_t length = RoundUp8(pairsOffset + 1);
  std::vector<std::uint8_t> header(length, 0);
  Common::StoreLe32(&header[0], type);
  Common::StoreLe32(&header[4], length);
  header[8] = 1;
  header[9] = std::uint8_t(name.size());
  Common::StoreLe16(&header[10], 64);
  Common::StoreLe64(&header[24], ~std::uint64_t(0));  // no clusters yet
  Common::StoreLe16(&header[32], std::uint16_t(pairsOffset));
  for (std::size_t i = 0; i < name.size(); ++i) Common::StoreLe16(&header[64 + 2 * i], name[i]);
  InsertNamed(std::move(header), name);
}

std::vector<std::uint64_t> FileRecord::RecordsHolding(std::uint32_t type) {
  LoadList();
  std::vector<std::uint64_t> records;
  if (!hasList_) {
    records.push_back(number_);
    return records;
  }
  for (const ListEntry& e : list_) {
    const std::uint64_t r = RecordNumberOf(e.reference);
    if ((type == 0 || e.type == type) && std::find(records.begin(), records.end(), r) == records.end())
      records.push_back(r);
  }
  if (std::find(records.begin(), records.end(), number_) == records.end() && type == 0)
    records.insert(records.begin(), number_);
  return records;
}

bool FileRecord::RemoveResident(std::uint32_t type,
                                const std::function<bool(const std::uint8_t*, std::uint32_t)>& match) {
  const std::uint32_t size = driver_.Geometry().recordSize;
  for (const std::uint64_t record : RecordsHolding(type)) {
    std::uint8_t* image = Image(record);
    const FileRecordHeader h = ParseFileRecord(image, size);
    for (const AttributeRecord& a : h.attributes) {
      if (a.type != type || a.nonResident || !match(image + a.valueOffset, a.valueLength)) continue;
      const std::uint16_t id = a.id;
      if (hasList_) {
        const auto e = std::find_if(list_.begin(), list_.end(), [&](const ListEntry& x) {
          return x.type == type && x.id == id && RecordNumberOf(x.reference) == record;
        });
        if (e != list_.end()) {
          const ListEntry kept = *e;
          const auto at = list_.erase(e);
          try {
            WriteList();
          } catch (...) {
            list_.insert(at, kept);
            throw;
          }
        }
      }
      RemoveAttributeRecord(record, a.offset);
      Save(record);
      // An extension record left empty goes back.
      if (record != number_ && ParseFileRecord(Image(record), size).attributes.empty())
        ReleaseExtensionRecord(record);
      return true;
    }
  }
  return false;
}

std::vector<std::vector<std::uint8_t>> FileRecord::ResidentValues(std::uint32_t type) {
  const std::uint32_t size = driver_.Geometry().recordSize;
  std::vector<std::vector<std::uint8_t>> values;
  for (const std::uint64_t record : RecordsHolding(type)) {
    const std::uint8_t* image = Image(record);
    const FileRecordHeader h = ParseFileRecord(image, size);
    for (const AttributeRecord& a : h.attributes)
      if (a.type == type && !a.nonResident)
        values.emplace_back(image + a.valueOffset, image + a.valueOffset + a.valueLength);
  }
  return values;
}

std::vector<std::vector<std::uint8_t>> FileRecord::UpdateResident(
    std::uint32_t type, const std::function<bool(std::uint8_t*, std::uint32_t)>& change) {
  const std::uint32_t size = driver_.Geometry().recordSize;
  std::vector<std::vector<std::uint8_t>> values;
  for (const std::uint64_t record : RecordsHolding(type)) {
    std::uint8_t* image = Image(record);
    const FileRecordHeader h = ParseFileRecord(image, size);
    bool changed = false;
    for (const AttributeRecord& a : h.attributes) {
      if (a.type != type || a.nonResident || !change(image + a.valueOffset, a.valueLength)) continue;
      values.emplace_back(image + a.valueOffset, image + a.valueOffset + a.valueLength);
      changed = true;
    }
    if (changed) Save(record);
  }
  return values;
}

void FileRecord::SetHeader(std::uint16_t flags, std::uint16_t linkCount) {
  std::uint8_t* image = Image(number_);
  Common::StoreLe16(image + file_record::kFlags, flags);
  Common::StoreLe16(image + file_record::kLinkCount, linkCount);
  Save(number_);
}

std::uint32_t FileRecord::FreeBytes() {
  const std::uint32_t size = driver_.Geometry().recordSize;
  return size - ParseFileRecord(Image(number_), size).bytesInUse;
}

std::uint16_t FileRecord::LinkCount() { return Common::LoadLe16(Image(number_) + file_record::kLinkCount); }

void FileRecord::DeleteAll() {
  const BootGeometry& g = driver_.Geometry();
  const std::vector<std::uint64_t> records = RecordsHolding(0);
  // Clusters first: a failure part way leaves records that still name
  // them, never clusters handed out twice.
  for (const std::uint64_t record : records) {
    const std::uint8_t* image = Image(record);
    const FileRecordHeader h = ParseFileRecord(image, g.recordSize);
    for (const AttributeRecord& a : h.attributes) {
      if (!a.nonResident) continue;
      RunList runs(image + a.pairsOffset, a.pairsLength, a.lowestVcn, a.highestVcn, g.clusterCount);
      runs.FreeClusters([&](std::uint64_t lcn, std::uint32_t count) { driver_.Clusters().FreeRun(lcn, count); });
    }
  }
  for (auto r = records.rbegin(); r != records.rend(); ++r) {
    std::uint8_t* image = Image(*r);
    Common::StoreLe16(image + file_record::kFlags, 0);
    Save(*r);
    GiveRecordNumberBack(driver_, *r);
  }
}

void GrowMft(NTFSDriver& driver) {
  const BootGeometry& g = driver.Geometry();
  FileRecord mft(driver, 0);
  std::unique_ptr<Attribute> data = mft.Find(kData, u"");
  std::unique_ptr<Attribute> bits = mft.Find(kMftBitmap, u"");
  if (!data || !bits || data->Resident()) Corrupted(0x70);
  const std::uint64_t have = data->GetSize() / g.recordSize;
  // Whole clusters of records, at least 16 at a time and an eighth of the
  // $MFT when that is more (up to 16,384 records), taken at once: growing
  // in small steps between other allocations would leave the $MFT in so
  // many runs that record 0 could no longer map them. A volume with too
  // few free clusters for the larger step still gets the smallest one.
  const std::uint64_t perCluster = std::max<std::uint64_t>(1, g.clusterSize / g.recordSize);
  const std::uint64_t recordsPerCluster = std::max<std::uint64_t>(1, g.clusterSize / g.recordSize);
  const std::uint64_t clustersPerRecord = std::max<std::uint64_t>(1, g.recordSize / g.clusterSize);
  std::uint64_t step = std::min<std::uint64_t>(16384, std::max<std::uint64_t>(16, have / 8));
  const std::uint64_t stepClusters = (step + recordsPerCluster - 1) / recordsPerCluster * clustersPerRecord;
  if (step > 16 && driver.Clusters().GetFreeCount() < 2 * stepClusters) step = 16;
  const std::uint64_t count = have + (step + perCluster - 1) / perCluster * perCluster;
  const std::uint64_t bitmapBytes = (count + 63) / 64 * 8;
  std::uint64_t written = have;
  try {
    // The clusters first, in one request, so that they lie together.
    if (data->SetSize(count * g.recordSize) < count * g.recordSize) DiskFull(0x73);
    if (bits->GetSize() < bitmapBytes) {
      const std::uint32_t more = std::uint32_t(bitmapBytes - bits->GetSize());
      if (bits->Write(bits->GetSize(), more, nullptr) != more) DiskFull(0x71);
    }
    // New records are empty FILE records, not in use, so that every
    // record the $MFT holds reads as one.
    std::vector<std::uint8_t> image(g.recordSize);
    for (std::uint64_t r = have; r < count; ++r) {
      std::fill(image.begin(), image.end(), std::uint8_t(0));
      InitFileRecordHeader(image.data(), image.size());
      Common::StoreLe16(image.data() + file_record::kFlags, 0);
      ProtectUpdateSequence(image.data(), image.size());
      if (data->Write(r * g.recordSize, g.recordSize, image.data()) != g.recordSize) DiskFull(0x72);
      written = r + 1;
    }
  } catch (...) {
    // The $MFT keeps only the records written whole.
    try {
      if (data->GetSize() > written * g.recordSize) data->SetSize(written * g.recordSize);
    } catch (const Common::Error&) {
    }
    driver.GetMft().GatherData();
    throw;
  }
  driver.GetMft().GatherData();
}

// ---- Attribute ----

Attribute::Attribute(FileRecord& file, std::uint32_t type, std::u16string name,
                     std::vector<Piece> pieces)
    : file_(file), driver_(file.driver_), type_(type), name_(std::move(name)), pieces_(std::move(pieces)) {
  file_.open_.push_back(this);
  try {
    Reload();
  } catch (...) {
    file_.open_.erase(std::find(file_.open_.begin(), file_.open_.end(), this));
    throw;
  }
}

Attribute::~Attribute() {
  const auto me = std::find(file_.open_.begin(), file_.open_.end(), this);
  if (me != file_.open_.end()) file_.open_.erase(me);
}

void Attribute::Shift(std::uint64_t record, std::uint32_t from, std::int64_t delta) noexcept {
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    Piece& p = pieces_[i];
    if (p.record != record || p.offset < from) continue;
    p.offset = std::uint32_t(std::int64_t(p.offset) + delta);
    // The first piece's header copy names places in the record too.
    if (i == 0) {
      AttributeRecord& h = value_.header;
      h.offset = p.offset;
      if (h.valueOffset) h.valueOffset = std::uint32_t(std::int64_t(h.valueOffset) + delta);
      if (h.pairsOffset) h.pairsOffset = std::uint32_t(std::int64_t(h.pairsOffset) + delta);
    }
  }
}

std::uint8_t* Attribute::Header(std::size_t piece) {
  return file_.Image(pieces_[piece].record) + pieces_[piece].offset;
}

void Attribute::Reload() {
  const BootGeometry& g = driver_.Geometry();
  AttributeValue value;
  std::uint64_t next = 0;
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    const std::uint8_t* image = file_.Image(pieces_[i].record);
    const FileRecordHeader h = ParseFileRecord(image, g.recordSize);
    const AttributeRecord* a = HeaderAt(h, pieces_[i].offset);
    if (!a || a->type != type_) Corrupted(0x20);
    if (i == 0) value.header = *a;
    if (!a->nonResident) {
      if (pieces_.size() != 1) Corrupted(0x21);
      value.resident.assign(image + a->valueOffset, image + a->valueOffset + a->valueLength);
      break;
    }
    if (a->lowestVcn != next) Corrupted(0x22);
    const RunList runs(image + a->pairsOffset, a->pairsLength, a->lowestVcn, a->highestVcn,
                       g.clusterCount);
    value.runs.AppendRange(runs.begin(), runs.end());
    next = a->highestVcn + 1;
  }
  if (value.header.nonResident) {
    std::uint64_t mapped = 0;
    if (!Common::CheckedMul<std::uint64_t>(next, g.clusterSize, &mapped)) Corrupted(0x23);
    if (value.header.initializedSize > value.header.dataSize || value.header.dataSize > mapped)
      Corrupted(0x24);
  }
  value_ = std::move(value);
}

void Attribute::SaveAll() {
  std::vector<std::uint64_t> records;
  for (const Piece& p : pieces_)
    if (std::find(records.begin(), records.end(), p.record) == records.end()) records.push_back(p.record);
  for (std::uint64_t r : records) file_.Save(r);
}

std::uint64_t Attribute::GetSize() const noexcept { return driver_.ValueSize(value_); }

std::uint64_t Attribute::GetAllocatedSize() const noexcept {
  if (value_.header.nonResident) return value_.header.allocatedSize;
  return value_.header.length - (value_.header.valueOffset - value_.header.offset);
}

std::uint64_t Attribute::GetInitializedSize() const noexcept {
  return value_.header.nonResident ? value_.header.initializedSize : value_.header.valueLength;
}

std::uint64_t Attribute::GetVolumeSector(std::uint64_t offset) {
  if (Resident()) ThrowFileError(0x30, kModuleId, kFileNotSupported);
  if (offset >= GetSize()) ThrowFileError(0x31, kModuleId, kFileEndOfFile);
  const BootGeometry& g = driver_.Geometry();
  const std::uint64_t vcn = offset / g.clusterSize;
  const auto run = value_.runs.Find(vcn);
  if (run == value_.runs.end() || !run->HasClusters()) Corrupted(0x32);
  return (std::uint64_t(run->lcn) + (vcn - run->vcn)) * g.sectorsPerCluster +
         (offset % g.clusterSize) / g.sectorSize;
}

std::uint32_t Attribute::Read(std::uint64_t offset, std::uint32_t length, std::uint8_t* destination) {
  if (length == 0 || !destination) return 0;
  if (Resident() && offset >= GetSize()) ThrowFileError(0x40, kModuleId, kFileEndOfFile);
  return driver_.ReadValue(value_, offset, destination, length);
}

std::uint32_t Attribute::ReadAligned(std::uint64_t offset, std::uint32_t length,
                                     std::uint8_t* destination) {
  if (length == 0) return 0;
  const BootGeometry& g = driver_.Geometry();
  if (!destination || offset % g.sectorSize != 0 || length % g.sectorSize != 0)
    ThrowFileError(0x41, kModuleId, kFileReadError);
  if (Resident()) return Read(offset, length, destination);
  const std::uint64_t size = GetSize();
  if (offset >= size) return 0;
  const std::uint64_t initialized = value_.header.initializedSize;
  for (std::uint32_t done = 0; done < length;) {
    const std::uint64_t at = offset + done;
    const std::uint64_t vcn = at / g.clusterSize;
    const auto run = value_.runs.Find(vcn);
    if (run == value_.runs.end()) break;
    const std::uint64_t runEnd = (run->vcn + run->length) * std::uint64_t(g.clusterSize);
    const std::uint32_t take = std::uint32_t(std::min<std::uint64_t>(length - done, runEnd - at));
    if (!run->HasClusters()) {
      // A hole of a sparse attribute reads as zeros; elsewhere a run
      // without clusters is damage.
      if ((value_.header.flags & kSparse) == 0) Corrupted(0x42);
      std::memset(destination + done, 0, take);
      done += take;
      continue;
    }
    const std::uint64_t sector =
        (std::uint64_t(run->lcn) + (vcn - run->vcn)) * g.sectorsPerCluster + (at % g.clusterSize) / g.sectorSize;
    std::uint32_t live = 0;
    if (at < initialized)
      live = std::uint32_t(std::min<std::uint64_t>(
          take, Common::UnitsFor(initialized - at, g.sectorSize) * g.sectorSize));
    if (live)
      driver_.ReadBlocksUnaligned(destination + done, sector, live / g.sectorSize, g.sectorsPerCluster, 0);
    std::memset(destination + done + live, 0, take - live);
    // A sector only partly initialised reads as zeros past the point.
    if (at < initialized && initialized - at < live)
      std::memset(destination + done + (initialized - at), 0, std::size_t(live - (initialized - at)));
    done += take;
  }
  return std::uint32_t(std::min<std::uint64_t>(length, size - offset));
}

std::uint32_t Attribute::Write(std::uint64_t offset, std::uint32_t length, const std::uint8_t* source) {
  if (length == 0) return 0;
  if (value_.header.flags & (kCompressionMask | kEncrypted)) ThrowFileError(0x53, kModuleId, kFileReadOnly);
  if (Resident()) {
    std::uint64_t end = 0;
    if (!Common::CheckedAdd<std::uint64_t>(offset, length, &end)) ThrowFileError(0x50, kModuleId, kFileWriteError);
    if (end > GetSize()) {
      const std::uint64_t reached = SetSize(end);
      if (reached <= offset) return 0;
      length = std::uint32_t(std::min<std::uint64_t>(length, reached - offset));
    }
    if (!Resident()) return Write(offset, length, source);
    if (offset >= GetSize()) return 0;
    std::uint8_t* image = file_.Image(pieces_[0].record);
    std::uint8_t* value = image + value_.header.valueOffset + offset;
    if (source)
      std::memcpy(value, source, length);
    else
      std::memset(value, 0, length);
    SaveAll();
    Reload();
    return length;
  }
  // Bytes between the initialised size and the write are zeros on disk
  // before the write lands; the gap may be far longer than one call's
  // 32-bit length.
  const std::uint64_t initialized = value_.header.initializedSize;
  if (offset > initialized) {
    if (offset > GetSize() && SetSize(offset) < offset) DiskFull(0x51);
    ZeroRange(initialized, offset - initialized);
    SetSizes(value_.header.allocatedSize, value_.header.dataSize, offset);
  }
  const std::uint64_t oldSize = GetSize();
  if (offset + length > oldSize) {
    const std::uint64_t reached = SetSize(offset + length);
    if (reached <= offset) return 0;
    length = std::uint32_t(std::min<std::uint64_t>(length, reached - offset));
  }
  if (value_.header.flags & kSparse) FillHoles(offset, length);
  driver_.WriteClusters(value_.runs, offset, source, length, offset + length <= oldSize);
  if (offset + length > value_.header.initializedSize)
    SetSizes(value_.header.allocatedSize, value_.header.dataSize, offset + length);
  return length;
}

std::uint32_t Attribute::WriteAligned(std::uint64_t offset, std::uint32_t length,
                                      const std::uint8_t* source) {
  if (length == 0) return 0;
  const std::uint32_t sector = driver_.Geometry().sectorSize;
  if (offset % sector != 0 || length % sector != 0 ||
      reinterpret_cast<std::uintptr_t>(source) % sector != 0 || !source)
    ThrowFileError(0x52, kModuleId, kFileWriteError);
  return Write(offset, length, source);
}

void Attribute::SetSizes(std::uint64_t allocated, std::uint64_t data, std::uint64_t initialized) {
  std::uint8_t* h = Header(0);
  Common::StoreLe64(h + 40, allocated);
  Common::StoreLe64(h + 48, data);
  Common::StoreLe64(h + 56, initialized);
  file_.Save(pieces_[0].record);
  Reload();
}

std::uint64_t Attribute::SetSize(std::uint64_t size) {
  if (size == GetSize()) return size;
  if (value_.header.flags & (kCompressionMask | kEncrypted)) ThrowFileError(0x62, kModuleId, kFileReadOnly);
  return Resident() ? SetResidentSize(size) : SetNonResidentSize(size);
}

std::uint64_t Attribute::SetResidentSize(std::uint64_t size) {
  const AttrDefEntry* def = driver_.AttrDefs().Find(type_);
  if (!def) ThrowFileError(0x60, kModuleId, kFileNotSupported);
  const std::uint32_t valueStart = value_.header.valueOffset - value_.header.offset;
  std::uint64_t target = size;
  if (size < GetSize()) {
    target = std::max<std::uint64_t>(size, def->MinimumSize());
  } else {
    target = std::min<std::uint64_t>(size, def->MaximumSize());
    const bool fits = valueStart + target <= file_.MaxAttributeRecordSize() &&
                      file_.ResizeAttributeRecord(pieces_[0].record, pieces_[0].offset,
                                                  RoundUp8(valueStart + target));
    if (!fits) {
      if (def->MustBeResident()) DiskFull(0x61);
      MakeNonResident();
      return SetNonResidentSize(size);
    }
  }
  if (target < GetSize())
    file_.ResizeAttributeRecord(pieces_[0].record, pieces_[0].offset, RoundUp8(valueStart + target));
  std::uint8_t* h = Header(0);
  const std::uint32_t old = Common::LoadLe32(h + 16);
  // New resident bytes are zeros, never what the record held there.
  if (target > old) std::memset(h + valueStart + old, 0, std::size_t(target - old));
  Common::StoreLe32(h + 16, std::uint32_t(target));
  file_.Save(pieces_[0].record);
  Reload();
  return target;
}

void Attribute::MakeNonResident() {
  const BootGeometry& g = driver_.Geometry();
  const std::vector<std::uint8_t> value = value_.resident;
  const std::uint64_t clusters = Common::UnitsFor(value.size(), g.clusterSize);
  std::uint32_t granted = 0;
  const std::vector<BitRun> bits =
      clusters ? driver_.Clusters().Allocate(std::uint32_t(clusters), &granted, false) : std::vector<BitRun>();
  if (granted < clusters) {
    driver_.Clusters().FreeRuns(bits);
    DiskFull(0x70);
  }
  try {
    std::vector<std::pair<std::int64_t, std::uint32_t>> extents;
    for (const BitRun& b : bits) extents.emplace_back(std::int64_t(b.first), b.count);
    RunList runs(extents, 0);
    RunList merged;
    merged.AppendRange(runs.begin(), runs.end());
    const std::uint32_t nameBytes = 2u * std::uint32_t(name_.size());
    const std::uint32_t pairsOffset = (64 + nameBytes + 3) & ~3u;
    const std::uint32_t pairsSize = GetMappingPairsSize(merged.begin(), merged.end());
    const std::uint32_t length = RoundUp8(pairsOffset + pairsSize);
    std::vector<std::uint8_t> header(length, 0);
    Common::StoreLe32(&header[0], type_);
    Common::StoreLe32(&header[4], length);
    header[8] = 1;
    header[9] = std::uint8_t(name_.size());
    Common::StoreLe16(&header[10], 64);
    Common::StoreLe16(&header[14], value_.header.id);
    Common::StoreLe64(&header[16], 0);
    Common::StoreLe64(&header[24], clusters - 1);  // all ones when empty
    Common::StoreLe16(&header[32], std::uint16_t(pairsOffset));
    Common::StoreLe64(&header[40], clusters * g.clusterSize);
    Common::StoreLe64(&header[48], value.size());
    Common::StoreLe64(&header[56], value.size());
    for (std::size_t i = 0; i < name_.size(); ++i) Common::StoreLe16(&header[64 + 2 * i], name_[i]);
    EncodeRunsInto(merged, &header[pairsOffset], length - pairsOffset);
    driver_.WriteClusters(merged, 0, value.data(), value.size(), false);
    // The resident record stays as it was unless the new one fits in its
    // place: a failure leaves the value where it was.
    if (!file_.ResizeAttributeRecord(pieces_[0].record, pieces_[0].offset, length)) DiskFull(0x71);
    std::memcpy(Header(0), header.data(), length);
  } catch (...) {
    driver_.Clusters().FreeRuns(bits);
    throw;
  }
  file_.Save(pieces_[0].record);
  Reload();
}

std::uint64_t Attribute::SetNonResidentSize(std::uint64_t size) {
  const std::uint64_t clusterSize = driver_.Geometry().clusterSize;
  const std::uint64_t wanted = Common::UnitsFor(size, clusterSize);
  const std::uint64_t have = value_.header.allocatedSize / clusterSize;
  if (size < GetSize()) {
    // The initialised size never stays above the data size: what lay
    // between must not come back as stale bytes on a later growth.
    const std::uint64_t initialized = std::min(value_.header.initializedSize, size);
    SetSizes(value_.header.allocatedSize, size, initialized);
    if (wanted < have) FreeTail(wanted);
    return size;
  }
  if (wanted > have) {
    const std::uint64_t added = GrowAllocation(wanted - have);
    if (added == 0) DiskFull(0x80);
  }
  const std::uint64_t reached = std::min(size, value_.header.allocatedSize);
  SetSizes(value_.header.allocatedSize, reached, value_.header.initializedSize);
  return reached;
}

std::uint64_t Attribute::GrowAllocation(std::uint64_t clusters) {
  const BootGeometry& g = driver_.Geometry();
  const std::size_t lastIndex = pieces_.size() - 1;
  std::uint8_t* image = file_.Image(pieces_[lastIndex].record);
  const FileRecordHeader h = ParseFileRecord(image, g.recordSize);
  const AttributeRecord* last = HeaderAt(h, pieces_[lastIndex].offset);
  if (!last || !last->nonResident) Corrupted(0x90);
  const std::uint64_t firstVcn = last->highestVcn + 1;
  const std::uint32_t ask = std::uint32_t(std::min<std::uint64_t>(clusters, 0x7FFFFFFF));
  std::uint32_t granted = 0;
  std::vector<BitRun> bits = driver_.Clusters().Allocate(ask, &granted, false);
  if (granted == 0) return 0;

  RunList piece(image + last->pairsOffset, last->pairsLength, last->lowestVcn, last->highestVcn,
                g.clusterCount);
  const std::uint32_t pairsStart = last->pairsOffset - last->offset;
  // Take the new extents while the piece's record has room for them; the
  // clusters of those that do not fit go back.
  std::size_t taken = 0;
  std::uint64_t vcn = firstVcn;
  std::uint32_t length = last->length;
  for (; taken < bits.size(); ++taken) {
    RunList trial = piece;
    trial.Append({std::int64_t(bits[taken].first), vcn, bits[taken].count});
    const std::uint32_t need = RoundUp8(pairsStart + GetMappingPairsSize(trial.begin(), trial.end()));
    if (need > length && !file_.ResizeAttributeRecord(pieces_[lastIndex].record, pieces_[lastIndex].offset, need))
      break;
    length = std::max(length, need);
    piece = trial;
    vcn += bits[taken].count;
  }
  const std::vector<BitRun> rest(bits.begin() + std::ptrdiff_t(taken), bits.end());
  std::uint64_t added = vcn - firstVcn;
  if (taken != 0) {
    std::uint8_t* header = Header(lastIndex);
    const std::uint32_t recordLength = Common::LoadLe32(header + 4);
    EncodeRunsInto(piece, header + pairsStart, recordLength - pairsStart);
    Common::StoreLe64(header + 24, vcn - 1);
    std::uint8_t* first = Header(0);
    Common::StoreLe64(first + 40, Common::LoadLe64(first + 40) + added * g.clusterSize);
    CountRealClusters(std::int64_t(added));
    SaveAll();
    Reload();
  }
  if (!rest.empty()) added += AddPieces(rest, vcn);
  return added;
}

void Attribute::ZeroRange(std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t clusterSize = driver_.Geometry().clusterSize;
  const std::uint64_t end = offset + length;
  for (std::uint64_t at = offset; at < end;) {
    const auto run = value_.runs.Find(at / clusterSize);
    if (run == value_.runs.end()) Corrupted(0x94);
    const std::uint64_t runEnd = std::min<std::uint64_t>(end, (run->vcn + run->length) * clusterSize);
    if (run->HasClusters()) driver_.WriteClusters(value_.runs, at, nullptr, runEnd - at, false);
    else if ((value_.header.flags & kSparse) == 0) Corrupted(0x95);
    at = runEnd;
  }
}

void Attribute::CountRealClusters(std::int64_t clusters) {
  if (clusters == 0 || (value_.header.flags & (kSparse | kCompressionMask)) == 0) return;
  std::uint8_t* first = Header(0);
  // Only a header long enough to hold the count carries it.
  if (Common::LoadLe16(first + 32) < 72) return;
  const std::int64_t bytes = clusters * std::int64_t(driver_.Geometry().clusterSize);
  Common::StoreLe64(first + 64, std::uint64_t(std::int64_t(Common::LoadLe64(first + 64)) + bytes));
}

void Attribute::FillHoles(std::uint64_t offset, std::uint64_t length) {
  if (length == 0 || Resident()) return;
  const BootGeometry& g = driver_.Geometry();
  const std::uint64_t firstVcn = offset / g.clusterSize;
  const std::uint64_t lastVcn = (offset + length - 1) / g.clusterSize;
  // The joined runs with the holes in range given clusters.
  RunList joined;
  std::vector<BitRun> taken;
  std::uint64_t added = 0;
  try {
    for (const Run& run : value_.runs) {
      const std::uint64_t runLast = run.vcn + run.length - 1;
      if (run.HasClusters() || runLast < firstVcn || run.vcn > lastVcn) {
        joined.Append(run);
        continue;
      }
      const std::uint64_t a = std::max(run.vcn, firstVcn), b = std::min(runLast, lastVcn);
      if (a > run.vcn) joined.Append({kNoClusters, run.vcn, std::uint32_t(a - run.vcn)});
      const std::uint32_t want = std::uint32_t(b - a + 1);
      std::uint32_t granted = 0;
      std::vector<BitRun> bits = driver_.Clusters().Allocate(want, &granted, false);
      taken.insert(taken.end(), bits.begin(), bits.end());
      if (granted < want) DiskFull(0x96);
      std::uint64_t vcn = a;
      for (const BitRun& bit : bits) {
        joined.Append({std::int64_t(bit.first), vcn, bit.count});
        vcn += bit.count;
      }
      added += want;
      if (b < runLast) joined.Append({kNoClusters, b + 1, std::uint32_t(runLast - b)});
    }
    if (added == 0) return;
    // New clusters hold zeros wherever the write does not land.
    for (const BitRun& bit : taken) {
      RunList one(std::vector<std::pair<std::int64_t, std::uint32_t>>{{std::int64_t(bit.first), bit.count}}, 0);
      driver_.WriteClusters(one, 0, nullptr, std::uint64_t(bit.count) * g.clusterSize, false);
    }
    // Each piece whose range changed gets its mapping pairs again; the
    // records are changed only once every piece is known to fit.
    struct Change {
      std::size_t piece;
      RunList runs;
      std::uint32_t need;
    };
    std::vector<Change> changes;
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
      const std::uint8_t* header = Header(i);
      const std::uint64_t low = Common::LoadLe64(header + 16), high = Common::LoadLe64(header + 24);
      if (high < firstVcn || low > lastVcn) continue;
      RunList head, piece, tail;
      head = joined;
      head.SplitAt(low, piece);
      piece.SplitAt(high + 1, tail);
      const std::uint32_t pairsStart = Common::LoadLe16(header + 32);
      const std::uint32_t need = RoundUp8(pairsStart + GetMappingPairsSize(piece.begin(), piece.end()));
      changes.push_back({i, piece, need});
    }
    for (const Change& c : changes) {
      const std::uint8_t* header = Header(c.piece);
      const std::uint32_t have = Common::LoadLe32(header + 4);
      const FileRecordHeader h = ParseFileRecord(file_.Image(pieces_[c.piece].record), g.recordSize);
      std::uint32_t growth = c.need > have ? c.need - have : 0;
      for (const Change& o : changes)
        if (&o != &c && pieces_[o.piece].record == pieces_[c.piece].record) {
          const std::uint32_t other = Common::LoadLe32(Header(o.piece) + 4);
          if (o.need > other) growth += o.need - other;
        }
      if (c.need > file_.MaxAttributeRecordSize() || h.bytesInUse + growth > g.recordSize)
        DiskFull(0x97);
    }
    for (const Change& c : changes) {
      const std::uint32_t have = Common::LoadLe32(Header(c.piece) + 4);
      if (c.need > have &&
          !file_.ResizeAttributeRecord(pieces_[c.piece].record, pieces_[c.piece].offset, c.need))
        Corrupted(0x98);
      std::uint8_t* header = Header(c.piece);
      const std::uint32_t pairsStart = Common::LoadLe16(header + 32);
      EncodeRunsInto(c.runs, header + pairsStart, Common::LoadLe32(header + 4) - pairsStart);
    }
  } catch (...) {
    driver_.Clusters().FreeRuns(taken);
    throw;
  }
  CountRealClusters(std::int64_t(added));
  SaveAll();
  Reload();
}

std::uint64_t Attribute::AddPieces(std::vector<BitRun> extents, std::uint64_t vcn) {
  const BootGeometry& g = driver_.Geometry();
  std::uint64_t placed = 0;
  std::size_t next = 0;
  try {
    // The list cannot name pieces of itself.
    if (type_ == kAttributeList) DiskFull(0x9C);
    if (!file_.HasList()) file_.CreateList(*this);
    const std::uint32_t nameBytes = 2u * std::uint32_t(name_.size());
    const std::uint32_t pairsStart = RoundUp8(64 + nameBytes);
    const std::uint16_t flags = Common::LoadLe16(Header(0) + 12);
    while (next < extents.size()) {
      const std::uint64_t record = file_.AllocateExtensionRecord();
      const FileRecordHeader fresh = ParseFileRecord(file_.Image(record), g.recordSize);
      const std::uint32_t room =
          std::min(file_.MaxAttributeRecordSize(), g.recordSize - fresh.bytesInUse);
      RunList runs;
      std::uint64_t at = vcn;
      std::size_t take = next;
      for (; take < extents.size(); ++take) {
        RunList trial = runs;
        trial.Append({std::int64_t(extents[take].first), at, extents[take].count});
        if (RoundUp8(pairsStart + GetMappingPairsSize(trial.begin(), trial.end())) > room) break;
        runs = trial;
        at += extents[take].count;
      }
      if (take == next) Corrupted(0x92);  // an empty record holds at least one run
      const std::uint32_t length = RoundUp8(pairsStart + GetMappingPairsSize(runs.begin(), runs.end()));
      std::vector<std::uint8_t> header(length, 0);
      Common::StoreLe32(&header[0], type_);
      Common::StoreLe32(&header[4], length);
      header[8] = 1;
      header[9] = std::uint8_t(name_.size());
      Common::StoreLe16(&header[10], 64);
      Common::StoreLe16(&header[12], flags);
      Common::StoreLe64(&header[16], vcn);
      Common::StoreLe64(&header[24], at - 1);
      Common::StoreLe16(&header[32], std::uint16_t(pairsStart));
      for (std::size_t i = 0; i < name_.size(); ++i) Common::StoreLe16(&header[64 + 2 * i], name_[i]);
      EncodeRunsInto(runs, &header[pairsStart], length - pairsStart);
      const std::uint32_t offset = file_.InsertAttributeRecord(record, header);
      if (offset == 0) Corrupted(0x93);
      // The list names the new piece after the pieces before it.
      ListEntry entry;
      entry.type = type_;
      entry.name = name_;
      entry.lowestVcn = vcn;
      entry.reference = MakeReference(record, file_.RecordSequence(record));
      entry.id = Common::LoadLe16(file_.Image(record) + offset + 14);
      std::size_t place = file_.list_.size();
      for (std::size_t i = 0; i < file_.list_.size(); ++i) {
        const ListEntry& e = file_.list_[i];
        if (e.type > type_ || (e.type == type_ && e.name == name_ && e.lowestVcn > vcn)) {
          place = i;
          break;
        }
      }
      file_.list_.insert(file_.list_.begin() + std::ptrdiff_t(place), entry);
      file_.Save(record);
      try {
        file_.WriteList();
      } catch (...) {
        file_.list_.erase(file_.list_.begin() + std::ptrdiff_t(place));
        file_.RemoveAttributeRecord(record, offset);
        file_.ReleaseExtensionRecord(record);
        throw;
      }
      pieces_.push_back({record, offset});
      const std::uint64_t clusters = at - vcn;
      std::uint8_t* first = Header(0);
      Common::StoreLe64(first + 40, Common::LoadLe64(first + 40) + clusters * g.clusterSize);
      CountRealClusters(std::int64_t(clusters));
      SaveAll();
      Reload();
      placed += clusters;
      vcn = at;
      next = take;
    }
  } catch (const Common::Error&) {
    for (std::size_t i = next; i < extents.size(); ++i)
      driver_.Clusters().FreeRun(extents[i].first, extents[i].count);
    if (placed == 0) throw;
    return placed;
  }
  return placed;
}

void Attribute::DropLastPiece() {
  const BootGeometry& g = driver_.Geometry();
  const std::size_t lastIndex = pieces_.size() - 1;
  if (lastIndex == 0) Corrupted(0x99);
  const Piece piece = pieces_[lastIndex];
  std::uint8_t* image = file_.Image(piece.record);
  const FileRecordHeader h = ParseFileRecord(image, g.recordSize);
  const AttributeRecord* last = HeaderAt(h, piece.offset);
  if (!last || !last->nonResident) Corrupted(0x9A);
  RunList runs(image + last->pairsOffset, last->pairsLength, last->lowestVcn, last->highestVcn,
               g.clusterCount);
  const std::uint64_t clusters = last->highestVcn + 1 - last->lowestVcn;
  std::uint64_t real = 0;
  for (const Run& r : runs)
    if (r.HasClusters()) real += r.length;
  // The list stops naming the piece first: a failure after that leaves
  // clusters taken, never a list entry naming nothing.
  file_.LoadList();
  const auto entry = std::find_if(file_.list_.begin(), file_.list_.end(), [&](const ListEntry& e) {
    return e.type == type_ && e.name == name_ && e.lowestVcn == last->lowestVcn &&
           RecordNumberOf(e.reference) == piece.record;
  });
  if (entry == file_.list_.end()) Corrupted(0x9B);
  const ListEntry removed = *entry;
  const std::ptrdiff_t place = entry - file_.list_.begin();
  file_.list_.erase(entry);
  try {
    file_.WriteList();
  } catch (...) {
    file_.list_.insert(file_.list_.begin() + place, removed);
    throw;
  }
  pieces_.pop_back();
  file_.RemoveAttributeRecord(piece.record, piece.offset);
  std::uint8_t* first = Header(0);
  Common::StoreLe64(first + 40, Common::LoadLe64(first + 40) - clusters * g.clusterSize);
  CountRealClusters(-std::int64_t(real));
  file_.Save(pieces_[0].record);
  // An extension record left with nothing in it goes back to the $MFT.
  if (piece.record != file_.number_ &&
      ParseFileRecord(file_.Image(piece.record), g.recordSize).attributes.empty())
    file_.ReleaseExtensionRecord(piece.record);
  else
    file_.Save(piece.record);
  runs.FreeClusters([&](std::uint64_t lcn, std::uint32_t count) { driver_.Clusters().FreeRun(lcn, count); });
}

void Attribute::FreeTail(std::uint64_t keepClusters) {
  // Pieces that lie wholly past the clusters kept go, with their list
  // entries and, once empty, their extension records; the last piece left
  // gives back the rest.
  const BootGeometry& g = driver_.Geometry();
  while (pieces_.size() > 1) {
    const std::uint8_t* header = Header(pieces_.size() - 1);
    if (Common::LoadLe64(header + 16) < std::max<std::uint64_t>(keepClusters, 1)) break;
    DropLastPiece();
  }
  Reload();
  const std::size_t lastIndex = pieces_.size() - 1;
  std::uint8_t* image = file_.Image(pieces_[lastIndex].record);
  const FileRecordHeader h = ParseFileRecord(image, g.recordSize);
  const AttributeRecord* last = HeaderAt(h, pieces_[lastIndex].offset);
  if (!last) Corrupted(0x91);
  if (lastIndex != 0 && keepClusters <= last->lowestVcn) keepClusters = last->lowestVcn + 1;
  if (keepClusters > last->highestVcn) return;
  RunList piece(image + last->pairsOffset, last->pairsLength, last->lowestVcn, last->highestVcn,
                g.clusterCount);
  RunList tail;
  piece.SplitAt(keepClusters, tail);
  const std::uint32_t pairsStart = last->pairsOffset - last->offset;
  const std::uint32_t offset = pieces_[lastIndex].offset;
  const std::uint32_t need = RoundUp8(pairsStart + GetMappingPairsSize(piece.begin(), piece.end()));
  std::uint8_t* header = image + offset;
  EncodeRunsInto(piece, header + pairsStart, last->length - pairsStart);
  Common::StoreLe64(header + 24, keepClusters - 1);
  if (need < last->length) file_.ResizeAttributeRecord(pieces_[lastIndex].record, offset, need);
  const std::uint64_t freed = (last->highestVcn + 1) - keepClusters;
  std::uint8_t* first = Header(0);
  Common::StoreLe64(first + 40, Common::LoadLe64(first + 40) - freed * g.clusterSize);
  std::uint64_t real = 0;
  for (const Run& r : tail)
    if (r.HasClusters()) real += r.length;
  CountRealClusters(-std::int64_t(real));
  SaveAll();
  tail.FreeClusters([&](std::uint64_t lcn, std::uint32_t count) { driver_.Clusters().FreeRun(lcn, count); });
  Reload();
}

}  // namespace ntfs
}  // namespace filesystems
