// HFS+ catalog names: the on-disk name (a length and up to 255 UTF-16
// units, big-endian), the names the driver treats specially, and the two
// orders a catalog can be sorted in.
//
// An HFS+ catalog, and an HFSX catalog whose header asks for case folding
// (key-compare type 0xCF), orders names by the format's own case-folding
// comparison: every unit is folded through a lower-case table frozen at
// Unicode 2.0, ignorable units are skipped and U+0000 sorts last. An HFSX
// catalog with key-compare type 0xBC orders names by plain unit values, so
// that "Makefile" and "makefile" are two names. Names are compared as
// stored: nothing is decomposed or normalised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsNamesModuleId = 0x7A16A000;

// Key-compare types of an HFSX catalog header record.
constexpr std::uint8_t kCompareCaseFolding = 0xCF;
constexpr std::uint8_t kCompareBinary = 0xBC;

enum class NameOrder : std::uint8_t { kCaseFolding, kBinary };

// The order of a catalog: HFS+ always folds case; HFSX folds case only when
// its header says 0xCF and compares binary for 0xBC. Any other type on an
// HFSX volume is refused with 0x4000d.
NameOrder CatalogNameOrder(bool hfsx, std::uint8_t keyCompareType);

// The fold value of one unit: its lower-case form in the format's table,
// 0 for an ignorable unit, 0xFFFF for U+0000.
std::uint16_t FoldNameUnit(std::uint16_t unit) noexcept;

// Compare two names of `count1` and `count2` big-endian units read in
// place: -1, 0 or 1.
int CompareNamesFolded(const std::uint8_t* units1, std::size_t count1, const std::uint8_t* units2,
                       std::size_t count2) noexcept;
int CompareNamesBinary(const std::uint8_t* units1, std::size_t count1, const std::uint8_t* units2,
                       std::size_t count2) noexcept;
inline int CompareNames(NameOrder order, const std::uint8_t* units1, std::size_t count1,
                        const std::uint8_t* units2, std::size_t count2) noexcept {
  return order == NameOrder::kBinary ? CompareNamesBinary(units1, count1, units2, count2)
                                     : CompareNamesFolded(units1, count1, units2, count2);
}

constexpr std::size_t kMaxNameUnits = 255;
constexpr std::size_t kNameBytes = 2 + 2 * kMaxNameUnits;

// One catalog name exactly as on disk: length (big-endian u16) and 255
// units; units past the length are zero.
class HFSPlusString {
 public:
  HFSPlusString() noexcept;
  explicit HFSPlusString(const std::uint8_t (&bytes)[kNameBytes]) noexcept;
  // Append(text, 0) on an empty name.
  explicit HFSPlusString(const std::u16string& text);

  void Clear() noexcept;
  std::uint16_t Length() const noexcept;
  // Big-endian units, Length() of them.
  const std::uint8_t* Units() const noexcept { return bytes_ + 2; }
  const std::uint8_t* Bytes() const noexcept { return bytes_; }
  std::uint16_t UnitAt(std::size_t i) const noexcept;

  // Copies the name of a catalog key (key length, parent id, name length,
  // units): 0x4000d when the name length is above 255 or the units do not
  // lie inside the key's `available` bytes.
  void SetFromKeyName(const std::uint8_t* key, std::size_t available);

  // Byte-wise equality of length and units.
  bool Equals(const HFSPlusString& other) const noexcept;

  // Stores `text` from unit `index` on: the index must be the current
  // length and below 255, and the result must stay within 255 units (the
  // hidden hard-link folder's name counts its four leading NUL units);
  // otherwise 0x4000e and nothing is written.
  void Append(const std::u16string& text, std::size_t index);

  // One character per unit; the hard-link folder's name without its NUL
  // units. An empty name leaves `text` as it was.
  void ToWString(std::u16string& text) const;

  void SetPrivateDataFolderName() noexcept;
  bool IsPrivateDataFolder() const noexcept;
  // "iNode" and the decimal number.
  void SetINodeName(std::uint32_t number);
  // Decimal digits of `number` from unit `index` on; 0x4000d when a digit
  // would land at unit 255 or beyond. Returns the digit count.
  std::size_t WriteDecimal(std::uint32_t number, std::size_t index);

 private:
  void SetLength(std::size_t n) noexcept;
  void SetUnit(std::size_t i, std::uint16_t u) noexcept;

  std::uint8_t bytes_[kNameBytes];
};

// The hard-link folder of the root, whose name on disk starts with four
// NUL units that its text form hides.
bool IsPrivateDataFolderName(const std::u16string& text);
// ".journal" or ".journal_info_block" in the root folder (id 2).
bool IsJournalFileName(const std::u16string& text, std::uint32_t parentId);
bool IsHiddenEntryName(const std::u16string& text, std::uint32_t parentId);
bool IsDotName(const std::u16string& text);

}  // namespace hfsplus
}  // namespace filesystems
