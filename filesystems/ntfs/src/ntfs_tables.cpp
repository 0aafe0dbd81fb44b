// Loading and checking $UpCase and $AttrDef, and the name order.
#include "filesystems/ntfs_tables.h"

#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsTablesModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

}  // namespace

UpCaseTable::UpCaseTable(const std::uint8_t* bytes, std::size_t size) {
  const std::size_t count = size / 2;
  // A table past 65536 units maps units no name can hold; larger data is
  // damage, not a reason to allocate it.
  if (count == 0 || count > 0x10000) Corrupted(0x01);
  units_.resize(count);
  for (std::size_t i = 0; i < count; ++i) units_[i] = char16_t(Common::LoadLe16(bytes + 2 * i));
  for (std::size_t i = 0; i < count; ++i) {
    const char16_t e = units_[i];
    if (e != i && (e >= count || units_[e] != e)) Corrupted(0x02);
    if (i < 128) {
      const char16_t want = (i >= 'a' && i <= 'z') ? char16_t(i - 0x20) : char16_t(i);
      if (e != want) Corrupted(0x03);
    }
    if (i != 0 && e == 0) Corrupted(0x04);
  }
}

void UpCaseTable::Normalize(std::u16string& name) const noexcept {
  for (char16_t& unit : name) unit = Upcase(unit);
}

int CompareUpcasedNames(const UpCaseTable& table, const char16_t* a, std::size_t aLength,
                        const char16_t* b, std::size_t bLength, bool exact) noexcept {
  const std::size_t n = aLength < bLength ? aLength : bLength;
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = a[i], y = b[i];
    if (!exact) {
      x = table.Upcase(x);
      y = table.Upcase(y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  if (aLength == bLength) return 0;
  return aLength < bLength ? -1 : 1;
}

std::uint32_t AttrDefEntry::Type() const noexcept { return Common::LoadLe32(raw.data() + 128); }
std::uint32_t AttrDefEntry::Flags() const noexcept { return Common::LoadLe32(raw.data() + 140); }
std::uint64_t AttrDefEntry::MinimumSize() const noexcept { return Common::LoadLe64(raw.data() + 144); }
std::uint64_t AttrDefEntry::MaximumSize() const noexcept { return Common::LoadLe64(raw.data() + 152); }

AttrDefTable::AttrDefTable(const std::uint8_t* bytes, std::size_t size) {
  for (std::size_t at = 0; at < size; at += AttrDefEntry::kSize) {
    if (size - at < AttrDefEntry::kSize) Corrupted(0x10);
    AttrDefEntry e;
    std::memcpy(e.raw.data(), bytes + at, AttrDefEntry::kSize);
    const std::uint32_t type = e.Type();
    if (type == 0xB0 && e.MinimumSize() == 0) {
      Common::StoreLe64(e.raw.data() + 144, 8);
      if (e.MaximumSize() < 8) Common::StoreLe64(e.raw.data() + 152, 8);
    }
    entries_.emplace(type, e);
    if (type == 0xFFFFFFFF) break;
  }
}

const AttrDefEntry* AttrDefTable::Find(std::uint32_t type) const noexcept {
  const auto it = entries_.find(type);
  return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace ntfs
}  // namespace filesystems
