// Catalog names, their special forms and the two catalog name orders.
#include "filesystems/hfs_names.h"

#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {

extern const std::uint8_t kFoldPageIndex[256];
extern const std::uint16_t kFoldPages[][256];

namespace {

constexpr std::uint32_t kModuleId = kHfsNamesModuleId;
const char16_t kPrivateDataText[] = u"HFS+ Private Data";
constexpr std::size_t kPrivateDataTextUnits = 17;
constexpr std::size_t kPrivateDataUnits = 4 + kPrivateDataTextUnits;

// The next unit of a name that does not fold to 0; 0 once the name is
// exhausted.
std::uint16_t NextFolded(const std::uint8_t*& at, std::size_t& left) noexcept {
  while (left != 0) {
    const std::uint16_t folded = FoldNameUnit(Common::LoadBe16(at));
    at += 2;
    --left;
    if (folded != 0) return folded;
  }
  return 0;
}

}  // namespace

NameOrder CatalogNameOrder(bool hfsx, std::uint8_t keyCompareType) {
  if (!hfsx) return NameOrder::kCaseFolding;
  if (keyCompareType == kCompareBinary) return NameOrder::kBinary;
  if (keyCompareType == kCompareCaseFolding) return NameOrder::kCaseFolding;
  ThrowFileError(0x01, kModuleId, kFileCorrupted);
}

std::uint16_t FoldNameUnit(std::uint16_t unit) noexcept {
  const std::uint8_t page = kFoldPageIndex[unit >> 8];
  return page == 0 ? unit : kFoldPages[page - 1][unit & 0xFF];
}

int CompareNamesFolded(const std::uint8_t* units1, std::size_t count1, const std::uint8_t* units2,
                       std::size_t count2) noexcept {
  for (;;) {
    const std::uint16_t c1 = NextFolded(units1, count1);
    const std::uint16_t c2 = NextFolded(units2, count2);
    if (c1 != c2) return c1 < c2 ? -1 : 1;
    if (c1 == 0) return 0;
  }
}

int CompareNamesBinary(const std::uint8_t* units1, std::size_t count1, const std::uint8_t* units2,
                       std::size_t count2) noexcept {
  const std::size_t common = count1 < count2 ? count1 : count2;
  for (std::size_t i = 0; i < common; ++i) {
    const std::uint16_t c1 = Common::LoadBe16(units1 + 2 * i);
    const std::uint16_t c2 = Common::LoadBe16(units2 + 2 * i);
    if (c1 != c2) return c1 < c2 ? -1 : 1;
  }
  if (count1 == count2) return 0;
  return count1 < count2 ? -1 : 1;
}

HFSPlusString::HFSPlusString() noexcept { Clear(); }

HFSPlusString::HFSPlusString(const std::uint8_t (&bytes)[kNameBytes]) noexcept {
  std::memcpy(bytes_, bytes, kNameBytes);
}

HFSPlusString::HFSPlusString(const std::u16string& text) {
  Clear();
  Append(text, 0);
}

void HFSPlusString::Clear() noexcept { std::memset(bytes_, 0, sizeof bytes_); }

std::uint16_t HFSPlusString::Length() const noexcept { return Common::LoadBe16(bytes_); }

std::uint16_t HFSPlusString::UnitAt(std::size_t i) const noexcept {
  return i < kMaxNameUnits ? Common::LoadBe16(bytes_ + 2 + 2 * i) : 0;
}

void HFSPlusString::SetLength(std::size_t n) noexcept {
  Common::StoreBe16(bytes_, std::uint16_t(n));
}

void HFSPlusString::SetUnit(std::size_t i, std::uint16_t u) noexcept {
  Common::StoreBe16(bytes_ + 2 + 2 * i, u);
}

void HFSPlusString::SetFromKeyName(const std::uint8_t* key, std::size_t available) {
  const Common::ByteView view(key, available);
  std::uint16_t count = 0;
  if (!view.GetBe16(6, &count) || count > kMaxNameUnits || !view.Has(8, 2u * count))
    ThrowFileError(0x02, kModuleId, kFileCorrupted);
  Clear();
  SetLength(count);
  std::memcpy(bytes_ + 2, key + 8, 2u * count);
}

bool HFSPlusString::Equals(const HFSPlusString& other) const noexcept {
  const std::size_t n = Length() <= kMaxNameUnits ? Length() : kMaxNameUnits;
  return Length() == other.Length() && std::memcmp(bytes_ + 2, other.bytes_ + 2, 2 * n) == 0;
}

void HFSPlusString::Append(const std::u16string& text, std::size_t index) {
  const bool hidden = IsPrivateDataFolderName(text);
  const std::size_t units = text.size() + (hidden ? 4 : 0);
  if (index > kMaxNameUnits - 1 || index != Length() || units > kMaxNameUnits - index)
    ThrowFileError(0x03, kModuleId, kFileNotSupported);
  std::size_t at = index;
  if (hidden)
    for (int i = 0; i < 4; ++i) SetUnit(at++, 0);
  for (char16_t c : text) SetUnit(at++, std::uint16_t(c));
  SetLength(at);
}

void HFSPlusString::ToWString(std::u16string& text) const {
  const std::size_t n = Length() <= kMaxNameUnits ? Length() : kMaxNameUnits;
  if (n == 0) return;
  const std::size_t first = IsPrivateDataFolder() ? 4 : 0;
  text.clear();
  for (std::size_t i = first; i < n; ++i) text.push_back(char16_t(UnitAt(i)));
}

void HFSPlusString::SetPrivateDataFolderName() noexcept {
  Clear();
  SetLength(kPrivateDataUnits);
  for (std::size_t i = 0; i < kPrivateDataTextUnits; ++i)
    SetUnit(4 + i, std::uint16_t(kPrivateDataText[i]));
}

bool HFSPlusString::IsPrivateDataFolder() const noexcept {
  if (Length() != kPrivateDataUnits) return false;
  for (std::size_t i = 0; i < 4; ++i)
    if (UnitAt(i) != 0) return false;
  for (std::size_t i = 0; i < kPrivateDataTextUnits; ++i)
    if (UnitAt(4 + i) != kPrivateDataText[i]) return false;
  return true;
}

void HFSPlusString::SetINodeName(std::uint32_t number) {
  Clear();
  const char16_t prefix[] = u"iNode";
  for (std::size_t i = 0; i < 5; ++i) SetUnit(i, std::uint16_t(prefix[i]));
  SetLength(5 + WriteDecimal(number, 5));
}

std::size_t HFSPlusString::WriteDecimal(std::uint32_t number, std::size_t index) {
  if (index >= kMaxNameUnits) ThrowFileError(0x04, kModuleId, kFileCorrupted);
  char digits[10];
  std::size_t count = 0;
  do {
    digits[count++] = char('0' + number % 10);
    number /= 10;
  } while (number != 0);
  if (count > kMaxNameUnits - index) ThrowFileError(0x05, kModuleId, kFileCorrupted);
  for (std::size_t i = 0; i < count; ++i) SetUnit(index + i, std::uint16_t(digits[count - 1 - i]));
  return count;
}

bool IsPrivateDataFolderName(const std::u16string& text) { return text == kPrivateDataText; }

bool IsJournalFileName(const std::u16string& text, std::uint32_t parentId) {
  return parentId == 2 && (text == u".journal" || text == u".journal_info_block");
}

bool IsHiddenEntryName(const std::u16string& text, std::uint32_t parentId) {
  return IsPrivateDataFolderName(text) || IsJournalFileName(text, parentId);
}

bool IsDotName(const std::u16string& text) { return text == u"." || text == u".."; }

}  // namespace hfsplus
}  // namespace filesystems
