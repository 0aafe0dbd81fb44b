// The volume's rules for names and attributes: the $UpCase table that maps
// every UTF-16 unit to its upper-case form, and the $AttrDef table of
// attribute types with their size limits. Both are loaded whole at mount,
// checked, and never written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace filesystems {
namespace ntfs {

constexpr std::uint32_t kNtfsTablesModuleId = 0x7A133000;

class UpCaseTable {
 public:
  // Takes the $DATA bytes of $UpCase (little-endian units) and checks them;
  // 0x4000d when the table is empty, when an entry maps to a unit that is
  // outside the table or does not map to itself (upper-casing must be
  // idempotent), when the ASCII range is not plain ASCII upper-casing, or
  // when a unit other than 0 maps to 0. An odd trailing byte is ignored.
  explicit UpCaseTable(const std::uint8_t* bytes, std::size_t size);

  std::uint32_t Count() const noexcept { return std::uint32_t(units_.size()); }
  char16_t Upcase(char16_t unit) const noexcept {
    return unit < units_.size() ? units_[unit] : unit;
  }
  // Upper-cases every unit the table covers, in place.
  void Normalize(std::u16string& name) const noexcept;

 private:
  std::vector<char16_t> units_;
};

// The name order of the whole driver: unit by unit as unsigned numbers,
// upper-cased through the table unless `exact`, the shorter name first at
// an equal prefix. Returns -1, 0 or 1.
int CompareUpcasedNames(const UpCaseTable& table, const char16_t* a, std::size_t aLength,
                        const char16_t* b, std::size_t bLength, bool exact) noexcept;

struct AttrDefEntry {
  static constexpr std::size_t kSize = 160;
  static constexpr std::uint32_t kMustBeResident = 0x40;
  std::array<std::uint8_t, kSize> raw{};

  std::uint32_t Type() const noexcept;
  std::uint32_t Flags() const noexcept;
  std::uint64_t MinimumSize() const noexcept;
  std::uint64_t MaximumSize() const noexcept;
  bool MustBeResident() const noexcept { return (Flags() & kMustBeResident) != 0; }
};

class AttrDefTable {
 public:
  // Takes the $DATA bytes of $AttrDef: 160-byte entries up to and including
  // the one of type 0xFFFFFFFF, or to the end of the data. A short last
  // entry before that end mark is 0x4000d. The first entry of a type
  // stays; a $BITMAP entry with minimum 0 is held with minimum 8 (and a
  // maximum of at least 8), since a bitmap attribute always holds 8 bytes.
  AttrDefTable(const std::uint8_t* bytes, std::size_t size);

  // The entry of `type`, or null when the volume does not define it.
  const AttrDefEntry* Find(std::uint32_t type) const noexcept;
  std::size_t Size() const noexcept { return entries_.size(); }

 private:
  std::map<std::uint32_t, AttrDefEntry> entries_;
};

}  // namespace ntfs
}  // namespace filesystems
