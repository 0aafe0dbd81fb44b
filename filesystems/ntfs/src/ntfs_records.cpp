// Update sequences and the checked reading of FILE records.
#include "filesystems/ntfs_records.h"

#include <cstring>

#include "filesystems/driver.h"
#include "files/file_error.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsRecordsModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

// The array's offset and count when they describe an array that protects
// every stride of an image of `size` bytes and ends before the first
// stride's last word; false otherwise.
bool ArrayFits(const std::uint8_t* image, std::size_t size, std::uint32_t minimumOffset,
               std::uint32_t* offset, std::uint32_t* count) noexcept {
  if (size < kUpdateSequenceStride || size % kUpdateSequenceStride != 0) return false;
  const std::uint32_t a = Common::LoadLe16(image + file_record::kArrayOffset);
  const std::uint32_t k = Common::LoadLe16(image + file_record::kArrayCount);
  if (std::uint64_t(k) != size / kUpdateSequenceStride + 1) return false;
  if (a < minimumOffset) return false;
  if (std::uint64_t(a) + 2u * k > kUpdateSequenceStride - 2) return false;
  *offset = a;
  *count = k;
  return true;
}

bool Unprotect(std::uint8_t* image, std::size_t size, std::uint32_t minimumOffset) noexcept {
  std::uint32_t a = 0, k = 0;
  if (!ArrayFits(image, size, minimumOffset, &a, &k)) return false;
  const std::uint16_t usn = Common::LoadLe16(image + a);
  if (usn == 0) return false;
  for (std::uint32_t i = 0; i + 1 < k; ++i) {
    std::uint8_t* end = image + std::size_t(i) * kUpdateSequenceStride + kUpdateSequenceStride - 2;
    if (Common::LoadLe16(end) != usn) return false;
    std::memcpy(end, image + a + 2u * (i + 1), 2);
  }
  return true;
}

void Protect(std::uint8_t* image, std::uint32_t a, std::uint32_t k) noexcept {
  std::uint16_t usn = Common::LoadLe16(image + a);
  usn = usn == 0xFFFF ? 1 : std::uint16_t(usn + 1);
  Common::StoreLe16(image + a, usn);
  for (std::uint32_t i = 1; i < k; ++i) {
    std::uint8_t* end = image + std::size_t(i) * kUpdateSequenceStride - 2;
    std::memcpy(image + a + 2u * i, end, 2);
    Common::StoreLe16(end, usn);
  }
}

}  // namespace

void UnprotectUpdateSequence(std::uint8_t* image, std::uint32_t minimumOffset, std::size_t size) {
  if (!Unprotect(image, size, minimumOffset)) Corrupted(0x01);
}

void ProtectUpdateSequence(std::uint8_t* image, std::size_t size) {
  std::uint32_t a = 0, k = 0;
  if (!ArrayFits(image, size, 0, &a, &k)) Corrupted(0x02);
  Protect(image, a, k);
}

bool ProtectLogPage(std::uint8_t* page, std::size_t size) noexcept {
  std::uint32_t a = 0, k = 0;
  if (!ArrayFits(page, size, 8, &a, &k) || k == 0) return false;
  Protect(page, a, k);
  return true;
}

bool UnprotectLogPage(std::uint8_t* page, std::size_t size, std::uint32_t minimumOffset) noexcept {
  return Unprotect(page, size, minimumOffset);
}

void InitFileRecordHeader(std::uint8_t* image, std::size_t size) {
  if (size < kUpdateSequenceStride || size % kUpdateSequenceStride != 0 || size > 0x10000)
    Corrupted(0x03);
  const std::uint32_t k = std::uint32_t(size / kUpdateSequenceStride + 1);
  const std::uint32_t first = (2 * k + 49) & ~7u;
  Common::StoreLe32(image, file_record::kMagic);
  Common::StoreLe16(image + file_record::kArrayOffset, kFileRecordArrayOffset);
  Common::StoreLe16(image + file_record::kArrayCount, std::uint16_t(k));
  Common::StoreLe16(image + file_record::kLinkCount, 0);
  Common::StoreLe16(image + file_record::kNextAttributeId, 0);
  Common::StoreLe64(image + file_record::kBaseRecord, 0);
  Common::StoreLe32(image + file_record::kBytesInUse, first + 8);
  Common::StoreLe32(image + file_record::kBytesAllocated, std::uint32_t(size));
  Common::StoreLe16(image + file_record::kFlags, file_record::kInUse);
  Common::StoreLe16(image + file_record::kFirstAttribute, std::uint16_t(first));
  Common::StoreLe32(image + first, kEndMarker);
  Common::StoreLe32(image + first + 4, kEndMarkerTail);
  Common::StoreLe16(image + kFileRecordArrayOffset, 1);
  if (Common::LoadLe16(image + file_record::kSequenceNumber) == 0)
    Common::StoreLe16(image + file_record::kSequenceNumber, 1);
}

std::u16string AttributeRecord::Name(const std::uint8_t* record) const {
  std::u16string name(nameLength, u'\0');
  for (std::uint32_t i = 0; i < nameLength; ++i)
    name[i] = char16_t(Common::LoadLe16(record + offset + nameOffset + 2 * i));
  return name;
}

FileRecordHeader ParseFileRecord(const std::uint8_t* record, std::size_t size) {
  if (size < kUpdateSequenceStride || size > 0x10000) Corrupted(0x10);
  if (Common::LoadLe32(record) != file_record::kMagic) Corrupted(0x11);
  if (Common::LoadLe32(record + file_record::kBytesAllocated) != size) Corrupted(0x12);
  FileRecordHeader h;
  h.logSequence = Common::LoadLe64(record + file_record::kLogSequence);
  h.sequenceNumber = Common::LoadLe16(record + file_record::kSequenceNumber);
  h.linkCount = Common::LoadLe16(record + file_record::kLinkCount);
  h.flags = Common::LoadLe16(record + file_record::kFlags);
  h.nextAttributeId = Common::LoadLe16(record + file_record::kNextAttributeId);
  h.baseRecord = Common::LoadLe64(record + file_record::kBaseRecord);
  h.firstAttribute = Common::LoadLe16(record + file_record::kFirstAttribute);
  h.bytesInUse = Common::LoadLe32(record + file_record::kBytesInUse);
  if (h.bytesInUse > size) Corrupted(0x13);
  const std::uint32_t arrayEnd = std::uint32_t(Common::LoadLe16(record + file_record::kArrayOffset)) +
                                 2u * Common::LoadLe16(record + file_record::kArrayCount);
  if (h.firstAttribute % 8 != 0 || h.firstAttribute < arrayEnd) Corrupted(0x14);

  // Walk the headers up to the end marker; every header must leave room
  // for the marker after it, so the walk cannot pass bytes in use.
  std::uint32_t at = h.firstAttribute;
  for (;;) {
    if (!Common::RangeInside(at, 4, h.bytesInUse)) Corrupted(0x15);
    const std::uint32_t type = Common::LoadLe32(record + at);
    if (type == kEndMarker) break;
    AttributeRecord a;
    a.offset = at;
    a.type = type;
    if (!Common::RangeInside(at, 16, h.bytesInUse)) Corrupted(0x16);
    a.length = Common::LoadLe32(record + at + 4);
    if (a.length < 24 || a.length % 8 != 0 || !Common::RangeInside(at, a.length, h.bytesInUse - 4))
      Corrupted(0x17);
    const std::uint8_t* p = record + at;
    a.nonResident = p[8] != 0;
    a.nameLength = p[9];
    a.nameOffset = Common::LoadLe16(p + 10);
    a.flags = Common::LoadLe16(p + 12);
    a.id = Common::LoadLe16(p + 14);
    if (a.nameLength != 0 && !Common::RangeInside(a.nameOffset, 2u * a.nameLength, a.length))
      Corrupted(0x18);
    if (!a.nonResident) {
      a.valueLength = Common::LoadLe32(p + 16);
      const std::uint32_t valueOffset = Common::LoadLe16(p + 20);
      if (!Common::RangeInside(valueOffset, a.valueLength, a.length)) Corrupted(0x19);
      if (a.valueLength != 0 && valueOffset < 24) Corrupted(0x1A);
      a.valueOffset = at + valueOffset;
      a.indexed = p[22];
    } else {
      // The shortest non-resident header ends after the initialised size.
      if (a.length < 64) Corrupted(0x1B);
      a.lowestVcn = Common::LoadLe64(p + 16);
      a.highestVcn = Common::LoadLe64(p + 24);
      const std::uint32_t pairs = Common::LoadLe16(p + 32);
      if (pairs < 64 || pairs >= a.length) Corrupted(0x1C);
      a.pairsOffset = at + pairs;
      a.pairsLength = a.length - pairs;
      a.compressionUnit = p[34];
      a.allocatedSize = Common::LoadLe64(p + 40);
      a.dataSize = Common::LoadLe64(p + 48);
      a.initializedSize = Common::LoadLe64(p + 56);
      // An empty piece has highest = lowest - 1 (for lowest 0 that is -1);
      // anything lower is damage, and no volume has 2^62 clusters.
      constexpr std::uint64_t kVcnLimit = std::uint64_t(1) << 62;
      const bool empty = a.highestVcn + 1 == a.lowestVcn;
      if (a.lowestVcn > kVcnLimit || (!empty && (a.highestVcn < a.lowestVcn || a.highestVcn > kVcnLimit)))
        Corrupted(0x1D);
    }
    h.attributes.push_back(a);
    at += a.length;
  }
  if (!Common::RangeInside(at, 8, size)) Corrupted(0x1F);
  return h;
}

}  // namespace ntfs
}  // namespace filesystems
