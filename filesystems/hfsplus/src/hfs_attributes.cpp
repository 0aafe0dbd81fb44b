// The attributes file over the B-tree engine.
#include "filesystems/hfs_attributes.h"

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/hfs_allocation.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsAttributesModuleId;
constexpr std::size_t kKeyHead = 14;  // length, pad, file id, start block, name length

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

struct Record {
  std::uint32_t fileId = 0;
  std::uint32_t startBlock = 0;
  std::u16string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

Record Decode(const std::vector<std::uint8_t>& key, std::vector<std::uint8_t>&& data) {
  Record r;
  if (key.size() < kKeyHead) Fail(1, kFileCorrupted);
  r.fileId = Common::LoadBe32(key.data() + 4);
  r.startBlock = Common::LoadBe32(key.data() + 8);
  const std::size_t units = Common::LoadBe16(key.data() + 12);
  if (units > kMaxAttributeNameUnits || kKeyHead + 2 * units > key.size()) Fail(2, kFileCorrupted);
  for (std::size_t i = 0; i < units; ++i)
    r.name.push_back(char16_t(Common::LoadBe16(key.data() + kKeyHead + 2 * i)));
  if (data.size() < 4) Fail(3, kFileCorrupted);
  r.type = Common::LoadBe32(data.data());
  r.data = std::move(data);
  return r;
}

}  // namespace

AttributesFile::AttributesFile(SpecialFile& file)
    : TreeFile(file, std::make_unique<AttributesKeyOrder>()) {}

std::vector<std::uint8_t> AttributesFile::MakeKey(std::uint32_t fileId, std::uint32_t startBlock,
                                                  const std::u16string& name) {
  if (name.size() > kMaxAttributeNameUnits) Fail(10, kFileNotSupported);
  std::vector<std::uint8_t> key(kKeyHead + 2 * name.size(), 0);
  Common::StoreBe16(key.data(), std::uint16_t(key.size() - 2));
  Common::StoreBe32(key.data() + 4, fileId);
  Common::StoreBe32(key.data() + 8, startBlock);
  Common::StoreBe16(key.data() + 12, std::uint16_t(name.size()));
  for (std::size_t i = 0; i < name.size(); ++i)
    Common::StoreBe16(key.data() + kKeyHead + 2 * i, std::uint16_t(name[i]));
  return key;
}

namespace {

// Visits the file's records in key order; stops when `visit` answers false.
template <class F>
void ForEachOfFile(BTree& tree, std::uint32_t fileId, F visit) {
  const std::vector<std::uint8_t> start = AttributesFile::MakeKey(fileId, 0, u"");
  RecordPosition p = tree.Search(start.data(), start.size());
  std::vector<std::uint8_t> key, data;
  for (std::uint64_t steps = 0; !p.IsNull(); ++steps) {
    if (steps > tree.LeafRecords()) Fail(20, kFileCorrupted);
    tree.ReadRecord(p, &key, &data);
    Record r = Decode(key, std::move(data));
    if (r.fileId != fileId) return;
    if (!visit(r, key)) return;
    p = tree.Next(p);
  }
}

}  // namespace

std::vector<AttributeInfo> AttributesFile::ListAttributes(std::uint32_t fileId) {
  std::vector<AttributeInfo> out;
  ForEachOfFile(Tree(), fileId, [&](const Record& r, const std::vector<std::uint8_t>&) {
    // The extents records of a fork-data attribute follow it under its name.
    if (out.empty() || out.back().name != r.name) out.push_back({r.name, r.type});
    return true;
  });
  return out;
}

std::vector<std::uint8_t> AttributesFile::ReadInlineData(std::uint32_t fileId,
                                                         const std::u16string& name) {
  const std::vector<std::uint8_t> key = MakeKey(fileId, 0, name);
  std::vector<std::uint8_t> data;
  if (!Tree().Find(key.data(), key.size(), &data)) Fail(30, kFileNotFound);
  if (data.size() < 16 || Common::LoadBe32(data.data()) != kInlineDataRecord) Fail(31, kFileCorrupted);
  const std::uint32_t size = Common::LoadBe32(data.data() + 12);
  if (size > kMaxInlineData || !Common::RangeInside(16, size, data.size())) Fail(32, kFileCorrupted);
  return std::vector<std::uint8_t>(data.begin() + 16, data.begin() + 16 + size);
}

ExtentList AttributesFile::ForkExtents(std::uint32_t fileId, const std::u16string& name,
                                       std::uint64_t* logicalSize) {
  const std::uint32_t volumeBlocks = File().GetVolume().Primary().TotalBlocks();
  ExtentList list(volumeBlocks);
  std::uint32_t total = 0;
  bool found = false;
  ForEachOfFile(Tree(), fileId, [&](const Record& r, const std::vector<std::uint8_t>&) {
    if (r.name != name) return !found;  // the walk ends after the attribute
    if (!found) {
      if (r.type != kForkDataRecord || r.startBlock != 0 || r.data.size() < 88) Fail(40, kFileCorrupted);
      if (logicalSize) *logicalSize = Common::LoadBe64(r.data.data() + 8);
      total = Common::LoadBe32(r.data.data() + 20);
      list.AppendDescriptors(r.data.data() + 24, 8);
      found = true;
      return true;
    }
    if (r.type != kExtentsRecord || r.data.size() < 72 || r.startBlock != list.TotalBlocks())
      Fail(41, kFileCorrupted);
    list.AppendDescriptors(r.data.data() + 8, 8);
    return true;
  });
  if (!found) Fail(42, kFileNotFound);
  if (list.TotalBlocks() != total) Fail(43, kFileCorrupted);
  return list;
}

void AttributesFile::RemoveAll(std::uint32_t fileId) {
  RequireWritable(50);
  std::vector<std::vector<std::uint8_t>> doomed;
  ExtentList freed(File().GetVolume().Primary().TotalBlocks());
  ForEachOfFile(Tree(), fileId, [&](const Record& r, const std::vector<std::uint8_t>& key) {
    if (r.type == kForkDataRecord) {
      if (r.data.size() < 88) Fail(51, kFileCorrupted);
      freed.AppendDescriptors(r.data.data() + 24, 8);
    } else if (r.type == kExtentsRecord) {
      if (r.data.size() < 72) Fail(52, kFileCorrupted);
      freed.AppendDescriptors(r.data.data() + 8, 8);
    } else if (r.type != kInlineDataRecord) {
      Fail(53, kFileCorrupted);
    }
    doomed.push_back(key);
    return true;
  });
  for (const auto& k : doomed) Tree().Remove(k.data(), k.size());
  AllocationFile(File().GetVolume()).Release(freed);
}

}  // namespace hfsplus
}  // namespace filesystems
