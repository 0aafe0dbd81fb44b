// Tree files over special files, and the extents overflow file.
#include "filesystems/hfs_tree_file.h"

#include <algorithm>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsTreeFileModuleId;
constexpr std::size_t kHeaderRecord = 14;
constexpr std::size_t kForkRecordExtents = 8;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

}  // namespace

std::uint16_t CheckHeaderNode(const std::uint8_t* bytes) {
  const std::uint32_t forward = Common::LoadBe32(bytes);
  const std::uint32_t backward = Common::LoadBe32(bytes + 4);
  const std::int8_t kind = std::int8_t(bytes[8]);
  const std::uint8_t height = bytes[9];
  const std::uint16_t records = Common::LoadBe16(bytes + 10);
  if (forward != 0 || backward != 0 || kind != 1 || height != 0 || records != 3) Fail(1, kFileCorrupted);
  const std::uint16_t nodeSize = Common::LoadBe16(bytes + kHeaderRecord + 18);
  if (nodeSize < 512 || nodeSize > 32768 || (nodeSize & (nodeSize - 1)) != 0) Fail(2, kFileCorrupted);
  return nodeSize;
}

std::uint8_t HeaderNodeCompareType(const std::uint8_t* bytes) { return bytes[kHeaderRecord + 37]; }

TreeFile::TreeFile(SpecialFile& file, std::unique_ptr<KeyOrder> order)
    : file_(file), order_(std::move(order)) {
  if (file_.Size() < 512) Fail(10, kFileCorrupted);
  std::uint8_t start[512];
  file_.Read(0, sizeof start, start);
  nodeSize_ = CheckHeaderNode(start);
  if (file_.Size() < nodeSize_) Fail(11, kFileCorrupted);
  tree_ = std::make_unique<BTree>(*this, *order_);
  tree_->Open();
}

TreeFile::~TreeFile() = default;

bool TreeFile::ReadOnly() const { return file_.ReadOnlyMount(); }

void TreeFile::RequireWritable(std::uint32_t site) const {
  if (ReadOnly()) Fail(site, kFileReadOnly);
}

void TreeFile::Flush() {
  if (!ReadOnly()) tree_->Flush();
  file_.Flush();
}

std::uint32_t TreeFile::NodeCount() const {
  return std::uint32_t(std::min<std::uint64_t>(file_.Size() / nodeSize_, 0xFFFFFFFFu));
}

void TreeFile::ReadNode(std::uint32_t n, std::uint8_t* bytes) {
  if (n >= NodeCount()) Fail(20, kFileCorrupted);
  file_.Read(std::uint64_t(n) * nodeSize_, nodeSize_, bytes);
}

void TreeFile::WriteNode(std::uint32_t n, const std::uint8_t* bytes) {
  if (n >= NodeCount()) Fail(21, kFileCorrupted);
  file_.Write(std::uint64_t(n) * nodeSize_, nodeSize_, bytes);
}

std::uint32_t TreeFile::Grow(std::uint32_t minimum) {
  RequireWritable(22);
  // Each growth adds at least one node, so this ends.
  while (NodeCount() < minimum) {
    const std::uint32_t before = NodeCount();
    if (!file_.Grow(nodeSize_) || NodeCount() <= before) Fail(23, kFileDiskFull);
  }
  return NodeCount();
}

// ---------------------------------------------------------------------------

std::vector<std::uint8_t> ExtentsOverflowFile::MakeKey(std::uint32_t fileId, std::uint8_t forkType,
                                                       std::uint32_t startBlock) {
  std::vector<std::uint8_t> key(kKeyBytes, 0);
  Common::StoreBe16(key.data(), 10);
  key[2] = forkType;
  Common::StoreBe32(key.data() + 4, fileId);
  Common::StoreBe32(key.data() + 8, startBlock);
  return key;
}

ExtentsOverflowFile::ExtentsOverflowFile(SpecialFile& file)
    : TreeFile(file, std::make_unique<ExtentsKeyOrder>()) {}

namespace {

bool SameFork(const std::vector<std::uint8_t>& key, std::uint32_t fileId, std::uint8_t forkType) {
  return key.size() >= ExtentsOverflowFile::kKeyBytes && key[2] == forkType &&
         Common::LoadBe32(key.data() + 4) == fileId;
}

}  // namespace

void ExtentsOverflowFile::CollectExtents(std::uint32_t fileId, std::uint8_t forkType,
                                         std::uint32_t fromBlock, ExtentList& out) {
  if (fileId == kExtentsFileId) return;
  const std::vector<std::uint8_t> start = MakeKey(fileId, forkType, fromBlock);
  RecordPosition p = Tree().Search(start.data(), start.size());
  std::vector<std::uint8_t> key, data;
  // A walk longer than the tree's records means its links circle.
  for (std::uint64_t steps = 0; !p.IsNull(); ++steps) {
    if (steps > Tree().LeafRecords()) Fail(30, kFileCorrupted);
    Tree().ReadRecord(p, &key, &data);
    if (!SameFork(key, fileId, forkType)) break;
    if (data.size() < kRecordBytes) Fail(31, kFileCorrupted);
    const std::uint64_t expected = std::uint64_t(fromBlock) + out.TotalBlocks();
    if (Common::LoadBe32(key.data() + 8) != expected) Fail(32, kFileCorrupted);
    const std::uint32_t before = out.TotalBlocks();
    out.AppendDescriptors(data.data(), 8);
    if (out.TotalBlocks() == before) Fail(33, kFileCorrupted);  // an empty record
    p = Tree().Next(p);
  }
}

RecordPosition ExtentsOverflowFile::FindFirstRecord(std::uint32_t fileId, std::uint8_t forkType) {
  const std::vector<std::uint8_t> start = MakeKey(fileId, forkType, 0);
  const RecordPosition p = Tree().Search(start.data(), start.size());
  if (p.IsNull()) return p;
  std::vector<std::uint8_t> key, data;
  Tree().ReadRecord(p, &key, &data);
  return SameFork(key, fileId, forkType) ? p : RecordPosition{};
}

void ExtentsOverflowFile::RemoveRecords(std::uint32_t fileId, std::uint8_t forkType) {
  if (fileId == kExtentsFileId) return;
  RequireWritable(40);
  // The keys first, then the deletions: the engine may free and relink
  // nodes under a walk.
  std::vector<std::vector<std::uint8_t>> doomed;
  std::vector<std::uint8_t> key, data;
  RecordPosition p = FindFirstRecord(fileId, forkType);
  for (std::uint64_t steps = 0; !p.IsNull(); ++steps) {
    if (steps > Tree().LeafRecords()) Fail(41, kFileCorrupted);
    Tree().ReadRecord(p, &key, &data);
    if (!SameFork(key, fileId, forkType)) break;
    doomed.push_back(key);
    p = Tree().Next(p);
  }
  for (const auto& k : doomed) Tree().Remove(k.data(), k.size());
}

void ExtentsOverflowFile::AddRecord(std::uint32_t fileId, std::uint32_t startBlock,
                                    const std::uint8_t* record) {
  if (fileId == kExtentsFileId) Fail(50, kFileNotSupported);
  RequireWritable(51);
  const std::vector<std::uint8_t> key = MakeKey(fileId, 0, startBlock);
  Tree().Insert(key.data(), key.size(), record, kRecordBytes);
}

void ExtentsOverflowFile::StoreOverflowExtents(std::uint32_t fileId, const ExtentList& list) {
  RequireWritable(60);
  RemoveRecords(fileId, 0);
  const std::size_t groups = (list.Count() + kForkRecordExtents - 1) / kForkRecordExtents;
  std::uint8_t record[kRecordBytes];
  for (std::size_t g = 1; g < groups; ++g) {
    list.GetRecord(g, record);
    AddRecord(fileId, list.SumBlocks(g * kForkRecordExtents), record);
  }
}

}  // namespace hfsplus
}  // namespace filesystems
