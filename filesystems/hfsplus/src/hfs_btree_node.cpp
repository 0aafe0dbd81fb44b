// Node descriptors, the record offset table and record edits.
#include "filesystems/hfs_btree_node.h"

#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsBTreeNodeModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

}  // namespace

std::uint32_t NodeView::Forward() const noexcept { return Common::LoadBe32(data_); }
std::uint32_t NodeView::Backward() const noexcept { return Common::LoadBe32(data_ + 4); }
std::uint16_t NodeView::NumRecords() const noexcept { return Common::LoadBe16(data_ + 10); }
void NodeView::SetForward(std::uint32_t n) noexcept { Common::StoreBe32(data_, n); }
void NodeView::SetBackward(std::uint32_t n) noexcept { Common::StoreBe32(data_ + 4, n); }
void NodeView::SetNumRecords(std::uint16_t n) noexcept { Common::StoreBe16(data_ + 10, n); }

std::uint16_t NodeView::RecordOffset(std::size_t i) const noexcept {
  return Common::LoadBe16(data_ + size_ - 2 * (i + 1));
}

void NodeView::SetRecordOffset(std::size_t i, std::uint16_t v) noexcept {
  Common::StoreBe16(data_ + size_ - 2 * (i + 1), v);
}

void NodeView::Init(std::int8_t kind, std::uint8_t height, std::uint32_t backward,
                    std::uint32_t forward) {
  if (kind < kLeafNode || kind > kMapNode) Corrupted(0x01);
  std::memset(data_, 0, size_);
  SetForward(forward);
  SetBackward(backward);
  data_[8] = std::uint8_t(kind);
  data_[9] = height;
  SetNumRecords(0);
  SetRecordOffset(0, kNodeDescriptorSize);
}

void NodeView::Validate() const {
  if (Kind() < kLeafNode || Kind() > kMapNode) Corrupted(0x02);
  const std::size_t count = NumRecords();
  // The table of count + 1 offsets must leave room for the descriptor.
  if (2 * (count + 1) > size_ - kNodeDescriptorSize) Corrupted(0x03);
  const std::size_t tableStart = size_ - 2 * (count + 1);
  std::size_t previous = kNodeDescriptorSize;
  for (std::size_t i = 0; i <= count; ++i) {
    const std::size_t offset = RecordOffset(i);
    if (offset & 1) Corrupted(0x04);
    if (i == 0 ? offset != kNodeDescriptorSize : offset <= previous) Corrupted(0x05);
    if (offset > tableStart) Corrupted(0x06);
    previous = offset;
  }
}

std::uint8_t* NodeView::Record(std::size_t i) const {
  if (i >= NumRecords()) ThrowFileError(0x07, kModuleId, kFileNotFound);
  return data_ + RecordOffset(i);
}

std::size_t NodeView::RecordSize(std::size_t i) const {
  if (i >= NumRecords()) ThrowFileError(0x08, kModuleId, kFileNotFound);
  return std::size_t(RecordOffset(i + 1)) - RecordOffset(i);
}

std::size_t NodeView::FreeSpace() const noexcept {
  const std::size_t used = std::size_t(FreeOffset()) + 2 * (std::size_t(NumRecords()) + 1);
  return used <= size_ ? size_ - used : 0;
}

void NodeView::InsertRecord(std::size_t i, const std::uint8_t* record, std::size_t length) {
  const std::size_t count = NumRecords();
  if (i > count || (length & 1) || !Fits(length)) Corrupted(0x09);
  const std::size_t at = RecordOffset(i);
  const std::size_t end = FreeOffset();
  std::memmove(data_ + at + length, data_ + at, end - at);
  std::memcpy(data_ + at, record, length);
  // Offsets i+1 .. count+1 take the old offsets i .. count moved up.
  for (std::size_t k = count + 1; k > i; --k)
    SetRecordOffset(k, std::uint16_t(RecordOffset(k - 1) + length));
  SetRecordOffset(i, std::uint16_t(at));
  SetNumRecords(std::uint16_t(count + 1));
}

void NodeView::RemoveRecord(std::size_t i) {
  const std::size_t count = NumRecords();
  if (i >= count) Corrupted(0x0A);
  const std::size_t at = RecordOffset(i);
  const std::size_t length = RecordOffset(i + 1) - at;
  const std::size_t end = FreeOffset();
  std::memmove(data_ + at, data_ + at + length, end - at - length);
  std::memset(data_ + end - length, 0, length);
  for (std::size_t k = i + 1; k <= count; ++k)
    SetRecordOffset(k - 1, std::uint16_t(RecordOffset(k) - length));
  SetRecordOffset(count, 0);
  SetNumRecords(std::uint16_t(count - 1));
}

std::vector<std::uint8_t> BuildRecord(const std::uint8_t* key, std::size_t keyBytes,
                                      const std::uint8_t* data, std::size_t dataBytes) {
  std::vector<std::uint8_t> record(EvenLength(keyBytes) + EvenLength(dataBytes), 0);
  if (keyBytes) std::memcpy(record.data(), key, keyBytes);
  if (dataBytes) std::memcpy(record.data() + EvenLength(keyBytes), data, dataBytes);
  return record;
}

void FormatHeaderNode(std::uint8_t* node, std::uint16_t nodeSize, std::uint32_t totalNodes,
                      std::uint16_t maxKeyLength, std::uint32_t attributes,
                      std::uint8_t treeType, std::uint8_t compareType, std::uint32_t clumpSize) {
  NodeView view(node, nodeSize);
  view.Init(kHeaderNode, 0, 0, 0);
  std::uint8_t record[header::kRecordSize] = {};
  Common::StoreBe16(record + header::kNodeSize, nodeSize);
  Common::StoreBe16(record + header::kMaxKeyLength, maxKeyLength);
  Common::StoreBe32(record + header::kTotalNodes, totalNodes);
  Common::StoreBe32(record + header::kFreeNodes, totalNodes - 1);
  Common::StoreBe32(record + header::kClumpSize, clumpSize);
  record[header::kTreeType] = treeType;
  record[header::kCompareType] = compareType;
  Common::StoreBe32(record + header::kAttributes, attributes);
  view.AppendRecord(record, sizeof record);
  std::vector<std::uint8_t> zeros(header::kUserDataSize, 0);
  view.AppendRecord(zeros.data(), zeros.size());
  // The map takes what is left, less its own offset entry.
  zeros.assign(view.FreeSpace() - 2, 0);
  zeros[0] = 0x80;
  view.AppendRecord(zeros.data(), zeros.size());
}

}  // namespace hfsplus
}  // namespace filesystems
