// The MFT record cache and reading attribute values through their runs.
#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/ntfs_driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsMftModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kData = 0x80;

}  // namespace

Mft::Mft(NTFSDriver& driver) : driver_(driver) {
  const BootGeometry& g = driver_.Geometry();
  Entry& zero = cache_[0];
  zero.references = 1;
  zero.image.resize(g.recordSize);
  try {
    ReadFirstRecord(zero.image.data());
    UnprotectUpdateSequence(zero.image.data(), kFileRecordArrayOffset, g.recordSize);
    const FileRecordHeader h = ParseFileRecord(zero.image.data(), g.recordSize);
    if ((h.flags & file_record::kInUse) == 0 || h.baseRecord != 0) Corrupted(0x01);
    if (!driver_.FindAttribute(zero.image.data(), kData, u"", data_) || !data_.header.nonResident)
      Corrupted(0x02);
    // The $MFT's own data must describe at least the system records and
    // start where the boot sector says.
    if (data_.header.lowestVcn != 0 || data_.runs.Empty() ||
        std::uint64_t(data_.runs.Runs().front().lcn) != g.mftCluster)
      Corrupted(0x03);
    recordCount_ = std::min(data_.header.dataSize, data_.header.initializedSize) / g.recordSize;
    if (recordCount_ < 16) Corrupted(0x04);
    // Records past what the piece maps cannot be read.
    const std::uint64_t mapped =
        (data_.header.highestVcn + 1) * std::uint64_t(g.clusterSize) / g.recordSize;
    recordCount_ = std::min(recordCount_, mapped);
  } catch (...) {
    cache_.clear();
    throw;
  }
}

Mft::~Mft() = default;

void Mft::ReadFirstRecord(std::uint8_t* image) {
  const BootGeometry& g = driver_.Geometry();
  const std::uint64_t first = g.mftCluster * g.sectorsPerCluster;
  const std::uint32_t step = std::min(g.clusterSize, g.recordSize);
  for (std::uint32_t done = 0; done < g.recordSize; done += step) {
    const std::uint64_t sector = first + done / g.sectorSize;
    BlockHandle block = driver_.GetBlocks(sector, g.sectorsPerCluster, false);
    std::memcpy(image + done, block.Data(), step);
  }
}

const std::uint8_t* Mft::GetRecord(std::uint64_t number) {
  const auto found = cache_.find(number);
  if (found != cache_.end()) {
    ++found->second.references;
    return found->second.image.data();
  }
  const BootGeometry& g = driver_.Geometry();
  if (number >= recordCount_) Corrupted(0x10);
  Entry entry;
  entry.image.resize(g.recordSize);
  if (driver_.ReadValue(data_, number * g.recordSize, entry.image.data(), g.recordSize) !=
      g.recordSize)
    ThrowFileError(0x11, kModuleId, kFileReadError);
  UnprotectUpdateSequence(entry.image.data(), kFileRecordArrayOffset, g.recordSize);
  ParseFileRecord(entry.image.data(), g.recordSize);
  entry.references = 1;
  return cache_.emplace(number, std::move(entry)).first->second.image.data();
}

void Mft::ReleaseRecord(std::uint64_t number) noexcept {
  const auto found = cache_.find(number);
  if (found == cache_.end()) return;
  if (--found->second.references == 0) cache_.erase(found);
}

bool NTFSDriver::FindAttribute(const std::uint8_t* record, std::uint32_t type,
                               const std::u16string& name, AttributeValue& out) {
  const FileRecordHeader h = ParseFileRecord(record, geometry_.recordSize);
  bool listed = false;
  for (const AttributeRecord& a : h.attributes) {
    if (a.type == kAttributeList) listed = true;
    if (a.type != type || a.Name(record) != name) continue;
    if (a.nonResident && a.lowestVcn != 0) continue;  // a later piece
    out.header = a;
    out.record = record;
    out.runs = RunList();
    if (a.nonResident) {
      out.runs = RunList(record + a.pairsOffset, a.pairsLength, a.lowestVcn, a.highestVcn,
                         geometry_.clusterCount);
      // The sizes must agree with what the piece can hold; a value that
      // continues in other pieces is read once lists are read.
      const std::uint64_t mapped = (a.highestVcn + 1) * std::uint64_t(geometry_.clusterSize);
      if (a.initializedSize > a.dataSize) Corrupted(0x20);
      if (a.dataSize > mapped) {
        if (listed) ThrowFileError(0x21, kModuleId, kFileNotSupported);
        Corrupted(0x22);
      }
    }
    return true;
  }
  if (listed) ThrowFileError(0x23, kModuleId, kFileNotSupported);
  return false;
}

std::uint32_t NTFSDriver::ReadValue(const AttributeValue& value, std::uint64_t offset,
                                    std::uint8_t* buffer, std::uint32_t length) {
  const std::uint64_t size = ValueSize(value);
  if (offset >= size) return 0;
  const std::uint32_t count = std::uint32_t(std::min<std::uint64_t>(length, size - offset));
  if (!value.header.nonResident) {
    std::memcpy(buffer, value.record + value.header.valueOffset + offset, count);
    return count;
  }
  const std::uint64_t initialized = value.header.initializedSize;
  const std::uint32_t clusterSize = geometry_.clusterSize;
  for (std::uint32_t done = 0; done < count;) {
    const std::uint64_t at = offset + done;
    const std::uint64_t within = at % clusterSize;
    const std::uint32_t take =
        std::uint32_t(std::min<std::uint64_t>(count - done, clusterSize - within));
    const std::uint64_t vcn = at / clusterSize;
    const auto run = value.runs.Find(vcn);
    if (run == value.runs.end()) Corrupted(0x30);
    if (!run->HasClusters() || at >= initialized) {
      std::memset(buffer + done, 0, take);
    } else {
      const std::uint64_t lcn = std::uint64_t(run->lcn) + (vcn - run->vcn);
      BlockHandle block = GetBlocks(lcn * geometry_.sectorsPerCluster, geometry_.sectorsPerCluster, false);
      std::memcpy(buffer + done, block.Data() + within, take);
      // The tail of a cluster past the initialised size reads as zeros.
      if (at + take > initialized)
        std::memset(buffer + done + (initialized - at), 0, std::size_t(at + take - initialized));
    }
    done += take;
  }
  return count;
}

std::vector<std::uint8_t> NTFSDriver::ReadWholeValue(std::uint64_t record, std::uint32_t type) {
  RecordHandle held(*mft_, record);
  AttributeValue value;
  if (!FindAttribute(held.Image(), type, u"", value)) Corrupted(0x40);
  const std::uint64_t size = ValueSize(value);
  std::vector<std::uint8_t> bytes(CheckDiskSizedAllocation(size));
  if (ReadValue(value, 0, bytes.data(), std::uint32_t(size)) != size)
    ThrowFileError(0x41, kModuleId, kFileReadError);
  return bytes;
}

}  // namespace ntfs
}  // namespace filesystems
