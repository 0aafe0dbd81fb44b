// A B-tree file as read from a volume: byte 0 picks the node size (512,
// 1024 or 2048), byte 1 the tree's key order (catalog folded, catalog
// binary, extents, attributes), the rest is the file's nodes. The tree is
// opened, checked, walked and searched; then records are inserted and
// removed. Damage must be refused with an error, never a crash or a hang,
// and a tree the checker passed must still pass after the changes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/error.h"
#include "filesystems/hfs_btree.h"
#include "foundation/byteorder.h"

namespace hfsplus = filesystems::hfsplus;

namespace {

class FuzzSource : public hfsplus::NodeSource {
 public:
  FuzzSource(std::uint16_t nodeSize, const std::uint8_t* data, std::size_t size)
      : nodeSize_(nodeSize),
        bytes_(data, data + size) {
    bytes_.resize((bytes_.size() / nodeSize + 1) * nodeSize, 0);
    limit_ = NodeCount() + 24;
  }
  std::uint16_t NodeSize() const override { return nodeSize_; }
  std::uint32_t NodeCount() const override { return std::uint32_t(bytes_.size() / nodeSize_); }
  void ReadNode(std::uint32_t n, std::uint8_t* out) override {
    if (n >= NodeCount()) std::abort();
    std::copy_n(bytes_.data() + std::size_t(n) * nodeSize_, nodeSize_, out);
  }
  void WriteNode(std::uint32_t n, const std::uint8_t* in) override {
    if (n >= NodeCount()) std::abort();
    std::copy_n(in, nodeSize_, bytes_.data() + std::size_t(n) * nodeSize_);
  }
  std::uint32_t Grow(std::uint32_t minimum) override {
    if (minimum > limit_) throw Common::Error(1, 0x7A1FF100, 0x40004, "full");
    bytes_.resize(std::size_t(minimum + 3) / 4 * 4 * nodeSize_, 0);
    return NodeCount();
  }

 private:
  std::uint16_t nodeSize_;
  std::vector<std::uint8_t> bytes_;
  std::uint32_t limit_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  const std::uint16_t nodeSize = std::uint16_t(512u << (data[0] % 3));
  std::unique_ptr<hfsplus::KeyOrder> order;
  switch (data[1] % 4) {
    case 0: order = std::make_unique<hfsplus::CatalogKeyOrder>(hfsplus::NameOrder::kCaseFolding); break;
    case 1: order = std::make_unique<hfsplus::CatalogKeyOrder>(hfsplus::NameOrder::kBinary); break;
    case 2: order = std::make_unique<hfsplus::ExtentsKeyOrder>(); break;
    default: order = std::make_unique<hfsplus::AttributesKeyOrder>(); break;
  }
  FuzzSource source(nodeSize, data + 2, size - 2);
  try {
    hfsplus::BTree tree(source, *order, 2 + data[1] % 7);
    tree.Open();
    const bool valid = tree.Check().empty();
    std::vector<std::vector<std::uint8_t>> keys;
    try {
      tree.ForEachLeafRecord([&](const std::uint8_t* key, std::size_t keyBytes,
                                 const std::uint8_t*, std::size_t) {
        keys.emplace_back(key, key + keyBytes);
        return keys.size() < 64;
      });
    } catch (const Common::Error&) {
      if (valid) std::abort();
    }
    std::vector<std::uint8_t> found;
    for (const auto& key : keys) {
      try {
        if (!tree.Find(key.data(), key.size(), &found) && valid) std::abort();
      } catch (const Common::Error&) {
        if (valid) std::abort();
      }
    }
    // Changes: each found key again with its last byte moved (a neighbour
    // key), then every other found key removed.
    for (std::size_t i = 0; i < keys.size(); ++i) {
      std::vector<std::uint8_t> key = keys[i];
      key.back() = std::uint8_t(key.back() + 1 + i % 3);
      try {
        tree.Insert(key.data(), key.size(), key.data(), key.size() % 40);
      } catch (const Common::Error& e) {
        if (valid && e.Code() != 0x40013 && e.Code() != 0x40004 && e.Code() != 0x4000d &&
            e.Code() != 0x4000e)
          std::abort();
      }
      if (i % 2 == 0) {
        try {
          tree.Remove(keys[i].data(), keys[i].size());
        } catch (const Common::Error& e) {
          if (valid && e.Code() != 0x40011 && e.Code() != 0x40004) std::abort();
        }
      }
    }
    tree.Flush();
    if (valid && !tree.Check().empty()) std::abort();
  } catch (const Common::Error&) {
  }
  return 0;
}
