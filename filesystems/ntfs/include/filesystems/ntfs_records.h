// MFT file records and the update-sequence protection of NTFS's multi-sector
// structures (MFT records, index blocks, $LogFile restart pages).
//
// Every multi-sector structure carries, near its start, an update sequence
// array: an update sequence number (USN), then one saved word per 512-byte
// stride. On disk the last word of every stride holds the USN, so that a
// torn write shows as a mismatch; in memory the saved words are put back.
// Whatever the device's sector size, the stride is 512 bytes.
//
// Everything read from disk is checked here before any other code uses it:
// the array's place and size, the USN, every stride's end word, the FILE
// header's offsets and sizes, and every attribute record's length, name,
// value and mapping-pairs area. A failure is 0x4000d, never a read outside
// the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace filesystems {
namespace ntfs {

constexpr std::uint32_t kNtfsRecordsModuleId = 0x7A130000;
constexpr std::uint32_t kNtfsRunsModuleId = 0x7A131000;
constexpr std::uint32_t kNtfsBootModuleId = 0x7A132000;

constexpr std::uint32_t kUpdateSequenceStride = 512;

// The lowest place of the update sequence array each structure allows.
constexpr std::uint32_t kFileRecordArrayOffset = 42;
constexpr std::uint32_t kIndexBlockArrayOffset = 40;
constexpr std::uint32_t kRestartPageArrayOffset = 30;

// FILE record header fields.
namespace file_record {
constexpr std::uint32_t kMagic = 0x454C4946;  // "FILE"
constexpr std::size_t kArrayOffset = 4;
constexpr std::size_t kArrayCount = 6;
constexpr std::size_t kLogSequence = 8;
constexpr std::size_t kSequenceNumber = 16;
constexpr std::size_t kLinkCount = 18;
constexpr std::size_t kFirstAttribute = 20;
constexpr std::size_t kFlags = 22;
constexpr std::size_t kBytesInUse = 24;
constexpr std::size_t kBytesAllocated = 28;
constexpr std::size_t kBaseRecord = 32;
constexpr std::size_t kNextAttributeId = 40;
constexpr std::uint16_t kInUse = 0x1;
constexpr std::uint16_t kDirectory = 0x2;
constexpr std::uint16_t kOtherIndex = 0x8;
}  // namespace file_record

constexpr std::uint32_t kEndMarker = 0xFFFFFFFF;
// The word a fresh record carries after its end marker.
constexpr std::uint32_t kEndMarkerTail = 0x11477982;

// MFT references: record number in the low 48 bits, sequence number above.
constexpr std::uint64_t RecordNumberOf(std::uint64_t reference) noexcept {
  return reference & 0x0000FFFFFFFFFFFFull;
}
constexpr std::uint16_t SequenceOf(std::uint64_t reference) noexcept {
  return std::uint16_t(reference >> 48);
}
constexpr std::uint64_t MakeReference(std::uint64_t record, std::uint16_t sequence) noexcept {
  return RecordNumberOf(record) | (std::uint64_t(sequence) << 48);
}

// Undoes the protection of an image of `size` bytes read from disk, in
// place. Throws 0x4000d unless: size is a whole number of strides; the
// array count is size / 512 + 1; the array starts at or above
// `minimumOffset` and ends before the first stride's last word; the USN is
// not 0; and every stride ends with the USN. On failure the strides already
// visited stay restored.
void UnprotectUpdateSequence(std::uint8_t* image, std::uint32_t minimumOffset, std::size_t size);

// Prepares an image for writing, in place: the next USN (0xFFFF wraps to
// 1; 0 is never used) goes into the array and at the end of every stride,
// whose words are saved in the array. The array is checked as above first
// (0x4000d), so that a damaged header never sends a store outside the image.
void ProtectUpdateSequence(std::uint8_t* image, std::size_t size);

// The same for $LogFile pages, reporting failure by the result instead of
// throwing. Protecting needs an array offset above 7 and a count above 0
// besides the checks above.
bool ProtectLogPage(std::uint8_t* page, std::size_t size) noexcept;
bool UnprotectLogPage(std::uint8_t* page, std::size_t size, std::uint32_t minimumOffset) noexcept;

// Writes a fresh, empty, in-use FILE header over an image of `size` bytes:
// array at 42 with size / 512 + 1 words and USN 1, the first attribute at
// 42 + 2 x count rounded up to 8, the end marker there, bytes in use just
// after it. The log sequence number, the sequence number (0 becomes 1) and
// every byte past the end marker keep their content. Throws 0x4000d when
// the size is not a whole number of strides of at most 64 KiB, since the
// array must end within the first stride.
void InitFileRecordHeader(std::uint8_t* image, std::size_t size);

// One attribute record of a FILE record, as checked by ParseFileRecord.
struct AttributeRecord {
  std::uint32_t offset = 0;  // of the header within the record
  std::uint32_t type = 0;
  std::uint32_t length = 0;
  bool nonResident = false;
  std::uint8_t nameLength = 0;  // UTF-16 units
  std::uint16_t nameOffset = 0;
  std::uint16_t flags = 0;
  std::uint16_t id = 0;
  // Resident: the value's place in the record.
  std::uint32_t valueOffset = 0;  // absolute, within the record
  std::uint32_t valueLength = 0;
  std::uint8_t indexed = 0;
  // Non-resident: this piece's VCN range, its mapping pairs (absolute
  // offset, bytes to the record's end) and, in the first piece, the sizes.
  std::uint64_t lowestVcn = 0;
  std::uint64_t highestVcn = 0;
  std::uint32_t pairsOffset = 0;
  std::uint32_t pairsLength = 0;
  std::uint8_t compressionUnit = 0;
  std::uint64_t allocatedSize = 0;
  std::uint64_t dataSize = 0;
  std::uint64_t initializedSize = 0;

  // The name's units, from the record the header was parsed from.
  std::u16string Name(const std::uint8_t* record) const;
};

// The checked header of an unprotected FILE record.
struct FileRecordHeader {
  std::uint16_t sequenceNumber = 0;
  std::uint16_t linkCount = 0;
  std::uint16_t flags = 0;
  std::uint16_t nextAttributeId = 0;
  std::uint32_t firstAttribute = 0;
  std::uint32_t bytesInUse = 0;
  std::uint64_t baseRecord = 0;
  std::uint64_t logSequence = 0;
  std::vector<AttributeRecord> attributes;  // in record order
};

// Checks an unprotected FILE record of `size` bytes and lists its attribute
// records; throws 0x4000d on any field that does not fit: the magic, bytes
// allocated other than the record size, bytes in use past it, a first
// attribute inside the update sequence array or unaligned, an attribute
// length that is 0, unaligned or runs past the end marker's place, a name,
// value or mapping-pairs area outside its attribute, a piece whose highest
// VCN lies below its lowest VCN - 1, or no end marker within bytes in use.
FileRecordHeader ParseFileRecord(const std::uint8_t* record, std::size_t size);

}  // namespace ntfs
}  // namespace filesystems
