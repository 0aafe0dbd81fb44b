// The MFT record cache and reading attribute values through their runs.
#include <algorithm>
#include <cstring>
#include <memory>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/ntfs_driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsMftModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kData = 0x80;

}  // namespace

Mft::Mft(NTFSDriver& driver) : driver_(driver) {
  const BootGeometry& g = driver_.Geometry();
  Entry& zero = cache_[0];
  zero.references = 1;
  zero.image.resize(g.recordSize);
  try {
    ReadFirstRecord(zero.image.data());
    UnprotectUpdateSequence(zero.image.data(), kFileRecordArrayOffset, g.recordSize);
    const FileRecordHeader h = ParseFileRecord(zero.image.data(), g.recordSize);
    if ((h.flags & file_record::kInUse) == 0 || h.baseRecord != 0) Corrupted(0x01);
    // The first piece of the $MFT's data is in record 0; further pieces
    // sit in records that piece maps, so they are gathered once it is set.
    if (!driver_.FindAttribute(0, zero.image.data(), kData, u"", data_, true) ||
        !data_.header.nonResident)
      Corrupted(0x02);
    if (data_.runs.Empty() || !data_.runs.Runs().front().HasClusters() ||
        std::uint64_t(data_.runs.Runs().front().lcn) != g.mftCluster)
      Corrupted(0x03);
    // The $MFT cannot be larger than the volume, which also keeps the byte
    // count of what the first piece maps inside 64 bits.
    if (data_.header.highestVcn >= g.clusterCount) Corrupted(0x06);
    const std::uint64_t mapped =
        (data_.header.highestVcn + 1) * std::uint64_t(g.clusterSize) / g.recordSize;
    recordCount_ = std::min(mapped, data_.header.initializedSize / g.recordSize);
    if (recordCount_ < 16) Corrupted(0x04);
  } catch (...) {
    cache_.clear();
    throw;
  }
}

Mft::~Mft() = default;

void Mft::GatherData() {
  const BootGeometry& g = driver_.Geometry();
  AttributeValue whole;
  driver_.FindAttribute(0, cache_.at(0).image.data(), kData, u"", whole);
  data_ = std::move(whole);
  recordCount_ = std::min(data_.header.dataSize, data_.header.initializedSize) / g.recordSize;
  if (recordCount_ < 16) Corrupted(0x05);
}

void Mft::ReadFirstRecord(std::uint8_t* image) {
  const BootGeometry& g = driver_.Geometry();
  const std::uint64_t first = g.mftCluster * g.sectorsPerCluster;
  const std::uint32_t step = std::min(g.clusterSize, g.recordSize);
  for (std::uint32_t done = 0; done < g.recordSize; done += step) {
    const std::uint64_t sector = first + done / g.sectorSize;
    BlockHandle block = driver_.GetBlocks(sector, g.sectorsPerCluster, false);
    std::memcpy(image + done, block.Data(), step);
  }
}

const std::uint8_t* Mft::GetRecord(std::uint64_t number) {
  const auto found = cache_.find(number);
  if (found != cache_.end()) {
    ++found->second.references;
    return found->second.image.data();
  }
  const BootGeometry& g = driver_.Geometry();
  if (number >= recordCount_) Corrupted(0x10);
  Entry entry;
  entry.image.resize(g.recordSize);
  if (driver_.ReadValue(data_, number * g.recordSize, entry.image.data(), g.recordSize) !=
      g.recordSize)
    ThrowFileError(0x11, kModuleId, kFileReadError);
  UnprotectUpdateSequence(entry.image.data(), kFileRecordArrayOffset, g.recordSize);
  ParseFileRecord(entry.image.data(), g.recordSize);
  entry.references = 1;
  return cache_.emplace(number, std::move(entry)).first->second.image.data();
}

void Mft::ReleaseRecord(std::uint64_t number) noexcept {
  const auto found = cache_.find(number);
  if (found == cache_.end()) return;
  if (--found->second.references == 0) cache_.erase(found);
}

std::uint8_t* Mft::MutableRecord(std::uint64_t number) {
  const auto found = cache_.find(number);
  if (found == cache_.end()) Corrupted(0x12);
  return found->second.image.data();
}

std::uint8_t* Mft::NewRecord(std::uint64_t number) {
  const BootGeometry& g = driver_.Geometry();
  if (number >= recordCount_ || cache_.count(number) != 0) Corrupted(0x14);
  Entry entry;
  entry.image.assign(g.recordSize, 0);
  std::uint16_t sequence = 0;
  {
    std::vector<std::uint8_t> old(g.recordSize);
    if (driver_.ReadValue(data_, number * g.recordSize, old.data(), g.recordSize) == g.recordSize &&
        Common::LoadLe32(old.data()) == file_record::kMagic) {
      sequence = Common::LoadLe16(old.data() + file_record::kSequenceNumber);
    }
  }
  // A reference to the record's earlier life must not match the new one.
  sequence = std::uint16_t(sequence + 1);
  if (sequence == 0) sequence = 1;
  Common::StoreLe16(entry.image.data() + file_record::kSequenceNumber, sequence);
  InitFileRecordHeader(entry.image.data(), g.recordSize);
  entry.references = 1;
  return cache_.emplace(number, std::move(entry)).first->second.image.data();
}

void Mft::SaveRecord(std::uint64_t number) {
  const BootGeometry& g = driver_.Geometry();
  std::uint8_t* image = MutableRecord(number);
  const FileRecordHeader h = ParseFileRecord(image, g.recordSize);
  // Nothing past bytes in use is ever written as stale memory.
  std::memset(image + h.bytesInUse, 0, g.recordSize - h.bytesInUse);
  std::vector<std::uint8_t> copy(image, image + g.recordSize);
  ProtectUpdateSequence(copy.data(), copy.size());
  // The cached image keeps the new update sequence number, so that the
  // next save moves on from it.
  const std::uint32_t array = Common::LoadLe16(image + file_record::kArrayOffset);
  std::memcpy(image + array, copy.data() + array, 2);
  driver_.WriteClusters(data_.runs, number * g.recordSize, copy.data(), g.recordSize, true);
  if (!mirrorRead_) {
    constexpr std::uint64_t kMirrorRecord = 1;
    AttributeValue mirror;
    {
      RecordHandle held(*this, kMirrorRecord);
      if (!driver_.FindAttribute(kMirrorRecord, held.Image(), kData, u"", mirror) ||
          !mirror.header.nonResident)
        Corrupted(0x13);
    }
    mirror_ = std::move(mirror);
    mirrorRead_ = true;
  }
  if ((number + 1) * g.recordSize <= mirror_.header.initializedSize)
    driver_.WriteClusters(mirror_.runs, number * g.recordSize, copy.data(), g.recordSize, true);
}

std::vector<ListEntry> ParseAttributeList(const std::vector<std::uint8_t>& list) {
  std::vector<ListEntry> entries;
  for (std::size_t at = 0; at < list.size();) {
    if (list.size() - at < 26) Corrupted(0x50);
    const std::uint8_t* e = list.data() + at;
    const std::uint32_t length = Common::LoadLe16(e + 4);
    // A length of 0 would never move on; entries are 8-byte aligned.
    if (length < 26 || length % 8 != 0 || length > list.size() - at) Corrupted(0x51);
    ListEntry entry;
    entry.type = Common::LoadLe32(e);
    const std::uint32_t nameLength = e[6], nameOffset = e[7];
    if (nameLength != 0 && std::uint32_t(nameOffset) + 2 * nameLength > length) Corrupted(0x52);
    for (std::uint32_t i = 0; i < nameLength; ++i)
      entry.name.push_back(char16_t(Common::LoadLe16(e + nameOffset + 2 * i)));
    entry.lowestVcn = Common::LoadLe64(e + 8);
    entry.reference = Common::LoadLe64(e + 16);
    entry.id = Common::LoadLe16(e + 24);
    entries.push_back(entry);
    at += length;
  }
  return entries;
}

bool NTFSDriver::FindAttribute(std::uint64_t number, const std::uint8_t* record, std::uint32_t type,
                               const std::u16string& name, AttributeValue& out, bool baseOnly) {
  const std::uint32_t recordSize = geometry_.recordSize;
  const FileRecordHeader base = ParseFileRecord(record, recordSize);
  const AttributeRecord* list = nullptr;
  for (const AttributeRecord& a : base.attributes)
    if (a.type == kAttributeList && a.nameLength == 0) list = &a;

  // The pieces, in VCN order: the header and the record it was read from.
  std::vector<std::pair<AttributeRecord, std::vector<std::uint8_t>>> pieces;
  auto take = [&](const AttributeRecord& a, const std::uint8_t* image) {
    pieces.emplace_back(a, std::vector<std::uint8_t>(image, image + recordSize));
  };
  if (!list || baseOnly || type == kAttributeList) {
    for (const AttributeRecord& a : base.attributes) {
      if (a.type != type || a.Name(record) != name) continue;
      if (a.nonResident && a.lowestVcn != 0) continue;  // a later piece
      take(a, record);
      break;
    }
  } else {
    AttributeValue listValue;
    FindAttribute(number, record, kAttributeList, u"", listValue);
    const std::uint64_t listSize = ValueSize(listValue);
    std::vector<std::uint8_t> bytes(CheckDiskSizedAllocation(listSize));
    if (ReadValue(listValue, 0, bytes.data(), std::uint32_t(listSize)) != listSize)
      ThrowFileError(0x53, kModuleId, kFileReadError);
    for (const ListEntry& e : ParseAttributeList(bytes)) {
      if (e.type != type || e.name != name) continue;
      const std::uint64_t where = RecordNumberOf(e.reference);
      const std::uint8_t* image = record;
      std::unique_ptr<RecordHandle> held;
      if (where != number) {
        held = std::make_unique<RecordHandle>(*mft_, where);
        image = held->Image();
      }
      const FileRecordHeader h = ParseFileRecord(image, recordSize);
      if (where != number) {
        // An extension record must be in use, belong to this file and be
        // the one the list names.
        if ((h.flags & file_record::kInUse) == 0 || RecordNumberOf(h.baseRecord) != number ||
            h.sequenceNumber != SequenceOf(e.reference))
          Corrupted(0x54);
      }
      const AttributeRecord* found = nullptr;
      for (const AttributeRecord& a : h.attributes)
        if (a.id == e.id && a.type == type && a.Name(image) == name) found = &a;
      if (!found || (found->nonResident && found->lowestVcn != e.lowestVcn)) Corrupted(0x55);
      take(*found, image);
      if (!found->nonResident) break;
    }
  }
  if (pieces.empty()) return false;

  const AttributeRecord& first = pieces.front().first;
  out = AttributeValue();
  out.header = first;
  if (!first.nonResident) {
    const std::vector<std::uint8_t>& image = pieces.front().second;
    out.resident.assign(image.begin() + first.valueOffset,
                        image.begin() + first.valueOffset + first.valueLength);
    return true;
  }
  if (first.lowestVcn != 0) Corrupted(0x56);
  std::uint64_t next = 0;
  for (const auto& piece : pieces) {
    const AttributeRecord& a = piece.first;
    if (!a.nonResident || a.lowestVcn != next) Corrupted(0x57);
    const RunList runs(piece.second.data() + a.pairsOffset, a.pairsLength, a.lowestVcn,
                       a.highestVcn, geometry_.clusterCount);
    out.runs.AppendRange(runs.begin(), runs.end());
    next = a.highestVcn + 1;
  }
  // The sizes must agree with what the pieces map.
  if (first.initializedSize > first.dataSize) Corrupted(0x20);
  std::uint64_t mapped = 0;
  if (!Common::CheckedMul<std::uint64_t>(next, geometry_.clusterSize, &mapped)) Corrupted(0x21);
  if (first.dataSize > mapped && !baseOnly) Corrupted(0x22);
  return true;
}

std::uint32_t NTFSDriver::ReadValue(const AttributeValue& value, std::uint64_t offset,
                                    std::uint8_t* buffer, std::uint32_t length) {
  const std::uint64_t size = ValueSize(value);
  if (offset >= size) return 0;
  const std::uint32_t count = std::uint32_t(std::min<std::uint64_t>(length, size - offset));
  if (!value.header.nonResident) {
    std::memcpy(buffer, value.resident.data() + offset, count);
    return count;
  }
  const std::uint64_t initialized = value.header.initializedSize;
  const std::uint32_t clusterSize = geometry_.clusterSize;
  for (std::uint32_t done = 0; done < count;) {
    const std::uint64_t at = offset + done;
    const std::uint64_t within = at % clusterSize;
    const std::uint32_t take =
        std::uint32_t(std::min<std::uint64_t>(count - done, clusterSize - within));
    const std::uint64_t vcn = at / clusterSize;
    const auto run = value.runs.Find(vcn);
    if (run == value.runs.end()) Corrupted(0x30);
    if (!run->HasClusters() || at >= initialized) {
      std::memset(buffer + done, 0, take);
    } else {
      const std::uint64_t lcn = std::uint64_t(run->lcn) + (vcn - run->vcn);
      BlockHandle block = GetBlocks(lcn * geometry_.sectorsPerCluster, geometry_.sectorsPerCluster, false);
      std::memcpy(buffer + done, block.Data() + within, take);
      // The tail of a cluster past the initialised size reads as zeros.
      if (at + take > initialized)
        std::memset(buffer + done + (initialized - at), 0, std::size_t(at + take - initialized));
    }
    done += take;
  }
  return count;
}

void NTFSDriver::WriteClusters(const RunList& runs, std::uint64_t offset, const std::uint8_t* source,
                               std::uint64_t length, bool readPartial) {
  if (length == 0) return;
  ResetLogFileClients();
  const std::uint32_t clusterSize = geometry_.clusterSize;
  for (std::uint64_t done = 0; done < length;) {
    const std::uint64_t at = offset + done;
    const std::uint32_t within = std::uint32_t(at % clusterSize);
    const std::uint32_t take =
        std::uint32_t(std::min<std::uint64_t>(length - done, clusterSize - within));
    const std::uint64_t vcn = at / clusterSize;
    const auto run = runs.Find(vcn);
    if (run == runs.end() || !run->HasClusters()) Corrupted(0x31);
    const std::uint64_t lcn = std::uint64_t(run->lcn) + (vcn - run->vcn);
    if (lcn >= geometry_.clusterCount) Corrupted(0x32);
    const bool skipRead = within == 0 && (take == clusterSize || !readPartial);
    BlockHandle block =
        GetBlocks(lcn * geometry_.sectorsPerCluster, geometry_.sectorsPerCluster, skipRead);
    block.PrepareWrite();
    if (skipRead) std::memset(block.Data() + take, 0, clusterSize - take);
    if (source)
      std::memcpy(block.Data() + within, source + done, take);
    else
      std::memset(block.Data() + within, 0, take);
    block.MarkDirty();
    done += take;
  }
}

std::vector<std::uint8_t> NTFSDriver::ReadWholeValue(std::uint64_t record, std::uint32_t type) {
  RecordHandle held(*mft_, record);
  AttributeValue value;
  if (!FindAttribute(record, held.Image(), type, u"", value)) Corrupted(0x40);
  const std::uint64_t size = ValueSize(value);
  std::vector<std::uint8_t> bytes(CheckDiskSizedAllocation(size));
  if (ReadValue(value, 0, bytes.data(), std::uint32_t(size)) != size)
    ThrowFileError(0x41, kModuleId, kFileReadError);
  return bytes;
}

}  // namespace ntfs
}  // namespace filesystems
