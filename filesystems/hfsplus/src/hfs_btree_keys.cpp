// The key orders of the catalog, extents overflow and attributes trees.
#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/hfs_btree.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsBTreeModuleId | 0x100;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

// The key's own length (its length field included), checked against the
// bytes available and the smallest length its fixed fields need.
std::size_t KeySize(const std::uint8_t* key, std::size_t available, std::size_t minimum) {
  if (available < 2) Corrupted(0x01);
  const std::size_t size = std::size_t(Common::LoadBe16(key)) + 2;
  if (size > available || size < minimum) Corrupted(0x02);
  return size;
}

int Order(std::uint32_t a, std::uint32_t b) noexcept { return a < b ? -1 : a > b ? 1 : 0; }

}  // namespace

int CatalogKeyOrder::Compare(const std::uint8_t* a, std::size_t aBytes, const std::uint8_t* b,
                             std::size_t bBytes) const {
  const std::size_t aSize = KeySize(a, aBytes, 8);
  const std::size_t bSize = KeySize(b, bBytes, 8);
  const std::size_t aUnits = Common::LoadBe16(a + 6);
  const std::size_t bUnits = Common::LoadBe16(b + 6);
  if (aUnits > kMaxNameUnits || 8 + 2 * aUnits > aSize) Corrupted(0x03);
  if (bUnits > kMaxNameUnits || 8 + 2 * bUnits > bSize) Corrupted(0x04);
  if (const int c = Order(Common::LoadBe32(a + 2), Common::LoadBe32(b + 2))) return c;
  return CompareNames(names_, a + 8, aUnits, b + 8, bUnits);
}

int ExtentsKeyOrder::Compare(const std::uint8_t* a, std::size_t aBytes, const std::uint8_t* b,
                             std::size_t bBytes) const {
  KeySize(a, aBytes, 12);
  KeySize(b, bBytes, 12);
  if (const int c = Order(Common::LoadBe32(a + 4), Common::LoadBe32(b + 4))) return c;
  if (const int c = Order(a[2], b[2])) return c;
  return Order(Common::LoadBe32(a + 8), Common::LoadBe32(b + 8));
}

int AttributesKeyOrder::Compare(const std::uint8_t* a, std::size_t aBytes, const std::uint8_t* b,
                                std::size_t bBytes) const {
  const std::size_t aSize = KeySize(a, aBytes, 14);
  const std::size_t bSize = KeySize(b, bBytes, 14);
  const std::size_t aUnits = Common::LoadBe16(a + 12);
  const std::size_t bUnits = Common::LoadBe16(b + 12);
  if (aUnits > 127 || 14 + 2 * aUnits > aSize) Corrupted(0x05);
  if (bUnits > 127 || 14 + 2 * bUnits > bSize) Corrupted(0x06);
  if (const int c = Order(Common::LoadBe32(a + 4), Common::LoadBe32(b + 4))) return c;
  if (const int c = CompareNamesBinary(a + 14, aUnits, b + 14, bUnits)) return c;
  return Order(Common::LoadBe32(a + 8), Common::LoadBe32(b + 8));
}

}  // namespace hfsplus
}  // namespace filesystems
