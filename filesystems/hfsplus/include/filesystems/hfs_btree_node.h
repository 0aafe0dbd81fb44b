// HFS+ B-tree nodes as the engine reads and writes them.
//
// A node is `nodeSize` bytes (a power of two from 512 to 32768): a 14-byte
// descriptor (forward link, backward link, kind, height, record count),
// the records packed upward from offset 14, and, growing downward from the
// node's last two bytes, one big-endian offset per record followed by the
// offset of the free space. All fields are big-endian and stay so in the
// buffer; NodeView converts on every access.
//
// A node read from disk is trusted only after Validate(): every offset must
// be even, lie between the descriptor and the offset table, and rise from
// record to record, so that each record's bytes are inside the node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsBTreeNodeModuleId = 0x7A16B000;

constexpr std::size_t kNodeDescriptorSize = 14;
constexpr std::uint16_t kMinNodeSize = 512;
constexpr std::uint16_t kMaxNodeSizeLog2 = 15;

enum NodeKind : std::int8_t {
  kLeafNode = -1,
  kIndexNode = 0,
  kHeaderNode = 1,
  kMapNode = 2,
};

// Fields of the header record (record 0 of node 0), offsets inside it.
namespace header {
constexpr std::size_t kDepth = 0;          // u16
constexpr std::size_t kRoot = 2;           // u32
constexpr std::size_t kLeafRecords = 6;    // u32
constexpr std::size_t kFirstLeaf = 10;     // u32
constexpr std::size_t kLastLeaf = 14;      // u32
constexpr std::size_t kNodeSize = 18;      // u16
constexpr std::size_t kMaxKeyLength = 20;  // u16
constexpr std::size_t kTotalNodes = 22;    // u32
constexpr std::size_t kFreeNodes = 26;     // u32
constexpr std::size_t kClumpSize = 32;     // u32
constexpr std::size_t kTreeType = 36;      // u8
constexpr std::size_t kCompareType = 37;   // u8
constexpr std::size_t kAttributes = 38;    // u32
constexpr std::size_t kRecordSize = 106;
constexpr std::size_t kUserDataSize = 128;
}  // namespace header

// Header attribute bits.
constexpr std::uint32_t kBigKeys = 0x2;
constexpr std::uint32_t kVariableIndexKeys = 0x4;

// Bytes a map record of a map node holds (one record, two spare bytes).
constexpr std::size_t MapNodeRecordSize(std::uint16_t nodeSize) { return nodeSize - 20u; }

constexpr std::size_t EvenLength(std::size_t n) { return n + (n & 1); }

class NodeView {
 public:
  NodeView(std::uint8_t* data, std::uint16_t nodeSize) noexcept : data_(data), size_(nodeSize) {}

  std::uint8_t* Data() const noexcept { return data_; }
  std::uint16_t NodeSize() const noexcept { return size_; }

  std::uint32_t Forward() const noexcept;
  std::uint32_t Backward() const noexcept;
  std::int8_t Kind() const noexcept { return std::int8_t(data_[8]); }
  std::uint8_t Height() const noexcept { return data_[9]; }
  std::uint16_t NumRecords() const noexcept;
  void SetForward(std::uint32_t n) noexcept;
  void SetBackward(std::uint32_t n) noexcept;

  // Zeroes the node and writes a descriptor with no records. Kinds other
  // than leaf, index, header and map are refused with 0x4000d.
  void Init(std::int8_t kind, std::uint8_t height, std::uint32_t backward, std::uint32_t forward);

  // Checks the descriptor's kind and the offset table (0x4000d on any
  // fault). Everything below assumes a validated node.
  void Validate() const;

  std::uint16_t RecordOffset(std::size_t i) const noexcept;
  std::uint16_t FreeOffset() const noexcept { return RecordOffset(NumRecords()); }
  // Record i's bytes and size; 0x40011 for an index past the count.
  std::uint8_t* Record(std::size_t i) const;
  std::size_t RecordSize(std::size_t i) const;
  // Bytes left for records and their offsets.
  std::size_t FreeSpace() const noexcept;
  // Whether a record of `length` bytes and its offset entry fit.
  bool Fits(std::size_t length) const noexcept { return length + 2 <= FreeSpace(); }

  // Inserts a record at index i (at most the record count), moving the
  // later records up; 0x4000d when it does not fit or i is past the end.
  void InsertRecord(std::size_t i, const std::uint8_t* record, std::size_t length);
  void AppendRecord(const std::uint8_t* record, std::size_t length) {
    InsertRecord(NumRecords(), record, length);
  }
  // Removes record i, moving the later records down and zeroing the bytes
  // freed; 0x4000d past the count.
  void RemoveRecord(std::size_t i);

 private:
  void SetRecordOffset(std::size_t i, std::uint16_t v) noexcept;
  void SetNumRecords(std::uint16_t n) noexcept;

  std::uint8_t* data_;
  std::uint16_t size_;
};

// A record of `key` (its length field included, `keyBytes` long) and
// `data`, each half padded to an even length.
std::vector<std::uint8_t> BuildRecord(const std::uint8_t* key, std::size_t keyBytes,
                                      const std::uint8_t* data, std::size_t dataBytes);

// Writes an empty tree's header node into `node` (nodeSize bytes): header
// record, a zero user-data record and a map record covering the rest of
// the node, with node 0 marked used. The file holds `totalNodes` nodes.
void FormatHeaderNode(std::uint8_t* node, std::uint16_t nodeSize, std::uint32_t totalNodes,
                      std::uint16_t maxKeyLength, std::uint32_t attributes,
                      std::uint8_t treeType, std::uint8_t compareType, std::uint32_t clumpSize);

}  // namespace hfsplus
}  // namespace filesystems
