// An index as read from disk: a root value and INDX blocks, each checked
// before use, then walked, searched, and changed (an insertion and a
// deletion) in memory. The first two bytes give the root value's length;
// the rest is the allocation.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/error.h"
#include "filesystems/ntfs_directory.h"
#include "filesystems/ntfs_index.h"
#include "filesystems/ntfs_tables.h"
#include "foundation/byteorder.h"

namespace ntfs = filesystems::ntfs;

namespace {

class Bytes : public ntfs::BitmapStorage {
 public:
  std::uint64_t Size() override { return bytes.size(); }
  std::uint32_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    if (offset >= bytes.size()) return 0;
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(length, bytes.size() - offset));
    std::memcpy(buffer, bytes.data() + offset, n);
    return n;
  }
  std::uint32_t Write(std::uint64_t offset, const std::uint8_t* source, std::uint32_t length) override {
    if (offset + length > (1u << 16)) return 0;
    if (bytes.size() < offset + length) bytes.resize(offset + length, 0);
    for (std::uint32_t i = 0; i < length; ++i) bytes[offset + i] = source ? source[i] : 0;
    return length;
  }
  std::vector<std::uint8_t> bytes;
};

class Store : public ntfs::IndexStore {
 public:
  std::vector<std::uint8_t> ReadRoot() override { return root; }
  bool WriteRoot(const std::vector<std::uint8_t>& value) override {
    if (value.size() > 700) return false;
    root = value;
    return true;
  }
  bool HasAllocation() override { return !allocation.empty(); }
  void CreateAllocation() override {}
  std::uint64_t AllocationSize() override { return allocation.size(); }
  bool GrowAllocation(std::uint64_t size) override {
    if (size > (1u << 22)) return false;
    allocation.resize(size, 0);
    return true;
  }
  void ReadAllocation(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    if (offset + length > allocation.size()) std::abort();  // the engine checks first
    std::memcpy(buffer, allocation.data() + offset, length);
  }
  void WriteAllocation(std::uint64_t offset, const std::uint8_t* data, std::uint32_t length) override {
    if (offset + length > allocation.size()) std::abort();
    std::memcpy(allocation.data() + offset, data, length);
  }
  ntfs::BitmapStorage& BlockBitmap() override { return bitmap; }

  std::vector<std::uint8_t> root, allocation;
  Bytes bitmap;
};

const ntfs::UpCaseTable& UpCase() {
  static const ntfs::UpCaseTable table = [] {
    std::vector<std::uint8_t> bytes(2 * 128);
    for (std::uint32_t u = 0; u < 128; ++u)
      Common::StoreLe16(bytes.data() + 2 * u, std::uint16_t(u >= 'a' && u <= 'z' ? u - 32 : u));
    return ntfs::UpCaseTable(bytes.data(), bytes.size());
  }();
  return table;
}

std::vector<std::uint8_t> Entry(const std::u16string& name) {
  const std::vector<std::uint8_t> key = ntfs::MakeFileNameValue(name);
  const std::uint32_t length = std::uint32_t((16 + key.size() + 7) & ~std::size_t(7));
  std::vector<std::uint8_t> entry(length, 0);
  Common::StoreLe16(entry.data() + 8, std::uint16_t(length));
  Common::StoreLe16(entry.data() + 10, std::uint16_t(key.size()));
  std::copy(key.begin(), key.end(), entry.begin() + 16);
  return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t rootLength = std::min<std::size_t>(Common::LoadLe16(data), size - 2);
  Store store;
  store.root.assign(data + 2, data + 2 + rootLength);
  store.allocation.assign(data + 2 + rootLength, data + size);
  store.allocation.resize(store.allocation.size() / 512 * 512);
  store.bitmap.bytes.assign(8, 0xFF);
  const ntfs::FileNameKeyOrder order(UpCase());
  try {
    ntfs::Index index(store, order);
    ntfs::Index::Cursor c;
    std::uint32_t seen = 0;
    while (index.Next(c) && ++seen < 100000) {
      const std::uint8_t* e = index.EntryAt(c);
      ntfs::FileNameOf(index.Key(e));
    }
    const std::vector<std::uint8_t> probe = Entry(u"probe");
    ntfs::Index::Cursor found;
    index.Find(probe.data() + 16, std::uint32_t(probe.size() - 16), found);
    ntfs::Index::Cursor added = index.Insert(probe.data(), std::uint32_t(probe.size()));
    index.Remove(added);
    ntfs::Index::Cursor first;
    if (index.Next(first)) index.Remove(first);
  } catch (const Common::Error&) {
  }
  return 0;
}
