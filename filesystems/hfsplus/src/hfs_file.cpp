// HFS+ file objects and the data forks behind them.
#include "filesystems/hfs_file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "files/file_error.h"
#include "filesystems/hfs_allocation.h"
#include "filesystems/hfs_backup.h"
#include "filesystems/hfs_driver.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsFileModuleId;
constexpr std::uint16_t kLockedFlag = 0x0001;
// Reads that do not land on whole sectors of an aligned buffer go through
// a bounce buffer of this size.
constexpr std::uint32_t kBounceBytes = 256 * 1024;
// The framework's offsets are signed on the other side of the interface.
constexpr std::uint64_t kMaxOffset = std::uint64_t(std::numeric_limits<std::int64_t>::max());

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

bool IsFileRecord(const CatalogEntry& e) {
  return e.Type() == kFileRecord && e.record.size() >= kFileRecordBytes;
}

CatalogFile& CatalogOf(HFSPlusDriver* driver) { return driver->GetMetadata().Catalog(); }

}  // namespace

std::u16string ReadSymlinkTarget(HFSPlusDriver* driver, const std::uint8_t* record) {
  if (Common::LoadBe16(record) != kFileRecord) Fail(1, kFileCorrupted);
  // The whole 64-bit size decides: a size whose low 32 bits look small is
  // still too long. A target longer than any path the system takes is
  // damage, not a reason to read megabytes.
  const std::uint64_t size = Common::LoadBe64(record + file::kDataFork);
  if (size == 0 || size > kMaxSymlinkBytes) Fail(2, kFileCorrupted);
  // Through the fork's whole extent list, overflow records included: a
  // target can be spread over several extents.
  FileContent content(driver, Common::LoadBe32(record + file::kId));
  std::string bytes(static_cast<std::size_t>(size), '\0');
  std::uint32_t done = 0;
  content.Read(&bytes[0], 0, std::uint32_t(size), done);
  if (done != size) Fail(3, kFileCorrupted);
  const auto nul = bytes.find('\0');
  if (nul != std::string::npos) bytes.resize(nul);
  std::u16string target;
  if (!Common::Utf8ToUtf16(target, bytes.data(), bytes.size())) Fail(4, kFileCorrupted);
  return target;
}

// ---------------------------------------------------------------------------
// FileContent

FileContent::FileContent(HFSPlusDriver* driver, std::uint32_t dataId)
    : driver_(driver), dataId_(dataId) {
  Volume& volume = driver->GetMetadata().GetVolume();
  blockSize_ = volume.Primary().BlockSize();
  sectorSize_ = driver->SectorSize();
  if (sectorSize_ == 0 || blockSize_ < sectorSize_ || blockSize_ % sectorSize_ != 0)
    Fail(10, kFileCorrupted);
  sectorsPerBlock_ = blockSize_ / sectorSize_;
  data_ = ExtentList(volume.Primary().TotalBlocks());

  CatalogEntry e;
  try {
    e = CatalogOf(driver).GetRecordById(dataId);
  } catch (const Common::Error& error) {
    if (error.Code() == kFileNotFound) Fail(11, kFileOpenError);
    throw;
  }
  if (!IsFileRecord(e)) Fail(12, kFileOpenError);
  const std::uint8_t* fork = e.record.data() + file::kDataFork;
  const std::uint32_t total = Common::LoadBe32(fork + 12);
  data_.AppendDescriptors(fork + 16, 8);
  if (data_.TotalBlocks() < total) {
    ExtentList more(volume.Primary().TotalBlocks());
    driver->GetMetadata().Extents().CollectExtents(dataId, 0, data_.TotalBlocks(), more);
    data_.AppendList(more);
  }
  if (data_.TotalBlocks() != total) Fail(13, kFileCorrupted);
  if (Common::LoadBe64(fork) > std::uint64_t(total) * blockSize_) Fail(14, kFileCorrupted);
}

FileContent::~FileContent() = default;

CatalogEntry FileContent::GetCatalogRecord() {
  CatalogEntry e = CatalogOf(driver_).GetRecordById(dataId_);
  if (!IsFileRecord(e)) Fail(20, kFileCorrupted);
  return e;
}

std::uint64_t FileContent::GetLogicalSize() {
  return Common::LoadBe64(GetCatalogRecord().record.data() + file::kDataFork);
}

void FileContent::CheckWritable(std::uint32_t site) const {
  if (driver_->ReadOnly()) Fail(site, kFileReadOnly);
}

void FileContent::CheckNotLocked(const CatalogEntry& record, std::uint32_t site) const {
  if (Common::LoadBe16(record.record.data() + file::kFlags) & kLockedFlag) Fail(site, kFileLockFailed);
}

void FileContent::StoreRecord(CatalogEntry& record) { CatalogOf(driver_).UpdateRecord(record); }

void FileContent::StoreExtents(CatalogEntry& record) {
  std::uint8_t* fork = record.record.data() + file::kDataFork;
  std::uint64_t inRecord = 0;
  for (int i = 0; i < 8; ++i) inRecord += Common::LoadBe32(fork + 16 + 8 * i + 4);
  const bool hadOverflow = Common::LoadBe32(fork + 12) > inRecord;
  std::uint8_t first[64] = {};
  if (data_.Count() != 0) data_.GetRecord(0, first);
  std::memcpy(fork + 16, first, sizeof first);
  Common::StoreBe32(fork + 12, data_.TotalBlocks());
  if (data_.Count() > 8 || hadOverflow)
    driver_->GetMetadata().Extents().StoreOverflowExtents(dataId_, data_);
}

std::uint64_t FileContent::UnitSector(std::uint64_t offset) const {
  const std::uint64_t block = offset / blockSize_;
  if (block > 0xFFFFFFFFu) Fail(30, kFileCorrupted);
  const BlockArea run = data_.MapBlock(std::uint32_t(block));
  return std::uint64_t(run.first) * sectorsPerBlock_;
}

SectorArea FileContent::MapOffset(std::uint64_t offset) const {
  const std::uint64_t block = offset / blockSize_;
  if (block > 0xFFFFFFFFu) Fail(31, kFileCorrupted);
  const BlockArea run = data_.MapBlock(std::uint32_t(block));
  const std::uint64_t first = std::uint64_t(run.first) * sectorsPerBlock_ +
                              (offset % blockSize_) / sectorSize_;
  const std::uint64_t last = (std::uint64_t(run.last) + 1) * sectorsPerBlock_ - 1;
  return SectorArea(first, last);
}

std::uint8_t* FileContent::Bounce() {
  if (!bounce_) bounce_.reset(new std::uint8_t[kBounceBytes + sectorSize_]);
  const auto at = reinterpret_cast<std::uintptr_t>(bounce_.get());
  return bounce_.get() + (sectorSize_ - at % sectorSize_) % sectorSize_;
}

std::uint64_t FileContent::GetVolumeOffset(std::uint64_t offset) {
  if (offset > kMaxOffset || offset >= GetLogicalSize()) Fail(40, kFileSeekError);
  return MapOffset(offset).first;
}

void FileContent::Read(void* buffer, std::uint64_t offset, std::uint32_t length,
                       std::uint32_t& done) {
  if (!buffer) Fail(50, kFileReadError);
  done = 0;
  const std::uint64_t size = GetLogicalSize();
  if (offset > kMaxOffset || offset >= size) return;
  std::uint64_t remaining = std::min<std::uint64_t>(length, size - offset);
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint64_t pos = offset;
  while (remaining != 0) {
    const SectorArea run = MapOffset(pos);
    const std::uint64_t skip = pos % sectorSize_;
    const std::uint64_t available = run.Length() * sectorSize_ - skip;
    std::uint64_t n = std::min(available, remaining);
    if (skip == 0 && n >= sectorSize_ && reinterpret_cast<std::uintptr_t>(out) % sectorSize_ == 0) {
      // Whole sectors straight into the caller's buffer.
      const std::uint64_t sectors = n / sectorSize_;
      driver_->ReadBlocks(out, run.first, sectors);
      n = sectors * sectorSize_;
    } else {
      n = std::min<std::uint64_t>(n, kBounceBytes - skip);
      const std::uint64_t sectors = Common::UnitsFor(skip + n, sectorSize_);
      std::uint8_t* bounce = Bounce();
      driver_->ReadBlocks(bounce, run.first, sectors);
      std::memcpy(out, bounce + skip, static_cast<std::size_t>(n));
    }
    out += n;
    pos += n;
    remaining -= n;
    done += std::uint32_t(n);
  }
}

void FileContent::Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
                        std::uint32_t& done) {
  done = 0;
  CheckWritable(60);
  CatalogEntry record = GetCatalogRecord();
  CheckNotLocked(record, 61);
  if (length == 0) return;
  if (!buffer || offset > kMaxOffset || kMaxOffset - offset < length) Fail(62, kFileWriteError);
  const std::uint64_t end = offset + length;
  if (end > Common::LoadBe64(record.record.data() + file::kDataFork)) SetSize(end);

  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::uint64_t pos = offset;
  while (pos < end) {
    const std::uint64_t unit = UnitSector(pos);
    const std::uint64_t o = pos % blockSize_;
    const std::uint64_t n = std::min<std::uint64_t>(blockSize_ - o, end - pos);
    // A unit overwritten whole need not be read first.
    BlockHandle block = driver_->GetBlocks(unit, sectorsPerBlock_, o == 0 && n == blockSize_);
    block.PrepareWrite();
    std::memcpy(block.Data() + o, in, static_cast<std::size_t>(n));
    block.MarkDirty();
    pending_.insert(unit);
    in += n;
    pos += n;
    done += std::uint32_t(n);
  }

  record = GetCatalogRecord();
  const std::uint32_t now = CurrentHFSPlusTime();
  Common::StoreBe32(record.record.data() + file::kContentModDate, now);
  Common::StoreBe32(record.record.data() + file::kAccessDate, now);
  StoreRecord(record);
}

void FileContent::ZeroRange(std::uint64_t from, std::uint64_t to) {
  std::uint64_t pos = from;
  while (pos < to) {
    const std::uint64_t unit = UnitSector(pos);
    const std::uint64_t o = pos % blockSize_;
    const std::uint64_t n = std::min<std::uint64_t>(blockSize_ - o, to - pos);
    BlockHandle block = driver_->GetBlocks(unit, sectorsPerBlock_, o == 0);
    block.PrepareWrite();
    // A unit not read is zeroed whole, so that no stale heap bytes reach
    // the volume past the end of the file.
    if (o == 0)
      std::memset(block.Data(), 0, blockSize_);
    else
      std::memset(block.Data() + o, 0, static_cast<std::size_t>(n));
    block.MarkDirty();
    pending_.insert(unit);
    pos += n;
  }
}

void FileContent::ForgetUnits(const ExtentList& released) noexcept {
  for (const ExtentDescriptor& e : released.Descriptors()) {
    for (std::uint32_t i = 0; i < e.blockCount; ++i) {
      const std::uint64_t unit = (std::uint64_t(e.startBlock) + i) * sectorsPerBlock_;
      pending_.erase(unit);
      driver_->DiscardBlock(unit);
    }
  }
}

void FileContent::SetSize(std::uint64_t size) {
  CheckWritable(70);
  CatalogEntry record = GetCatalogRecord();
  CheckNotLocked(record, 71);
  const std::uint64_t old = Common::LoadBe64(record.record.data() + file::kDataFork);
  if (size == old) return;
  if (size > kMaxOffset) Fail(72, kFileWriteError);
  const std::uint64_t wanted = Common::UnitsFor(size, blockSize_);
  if (wanted > 0xFFFFFFFFu) Fail(73, kFileWriteError);
  const std::uint32_t newBlocks = std::uint32_t(wanted);
  AllocationFile allocation(driver_->GetMetadata().GetVolume());
  const ExtentList before = data_;
  const std::uint32_t now = CurrentHFSPlusTime();
  std::uint8_t* r = record.record.data();

  if (size > old) {
    const std::uint32_t have = data_.TotalBlocks();
    ExtentList added(driver_->GetMetadata().GetVolume().Primary().TotalBlocks());
    if (newBlocks > have) {
      if (!allocation.AllocateBlocks(dataId_, newBlocks - have, data_)) Fail(74, kFileWriteError);
      ExtentList kept = data_;
      kept.Truncate(have, added);
    }
    try {
      ZeroRange(old, size);
      Common::StoreBe64(r + file::kDataFork, size);
      StoreExtents(record);
      Common::StoreBe32(r + file::kContentModDate, now);
      Common::StoreBe32(r + file::kAttributeModDate, now);
      StoreRecord(record);
    } catch (...) {
      // The fork stays on the blocks it had; the new ones go back.
      data_ = before;
      ForgetUnits(added);
      try {
        allocation.Release(added);
      } catch (...) {
      }
      throw;
    }
    return;
  }

  ExtentList released(driver_->GetMetadata().GetVolume().Primary().TotalBlocks());
  if (newBlocks < data_.TotalBlocks()) data_.Truncate(newBlocks, released);
  try {
    Common::StoreBe64(r + file::kDataFork, size);
    StoreExtents(record);
    Common::StoreBe32(r + file::kContentModDate, now);
    Common::StoreBe32(r + file::kAttributeModDate, now);
    StoreRecord(record);
  } catch (...) {
    data_ = before;
    throw;
  }
  // Blocks are given back only once no record points at them.
  ForgetUnits(released);
  allocation.Release(released);
}

void FileContent::TouchAccessDate() {
  CheckWritable(80);
  CatalogEntry record = GetCatalogRecord();
  Common::StoreBe32(record.record.data() + file::kAccessDate, CurrentHFSPlusTime());
  StoreRecord(record);
}

void FileContent::SetTimes(std::uint64_t modification, std::uint64_t creation,
                           std::uint64_t access) {
  CheckWritable(90);
  CatalogEntry record = GetCatalogRecord();
  std::uint8_t* r = record.record.data();
  Common::StoreBe32(r + file::kContentModDate, ToHFSPlusTime(std::int64_t(modification)));
  Common::StoreBe32(r + file::kCreateDate, ToHFSPlusTime(std::int64_t(creation)));
  Common::StoreBe32(r + file::kAccessDate, ToHFSPlusTime(std::int64_t(access)));
  Common::StoreBe32(r + file::kAttributeModDate, CurrentHFSPlusTime());
  StoreRecord(record);
}

void FileContent::SetPermissions(const void* block, std::uint32_t size) {
  CheckWritable(100);
  if (!block || size != 16) Fail(101, kFileCorrupted);
  CatalogEntry record = GetCatalogRecord();
  std::uint8_t* r = record.record.data();
  std::memcpy(r + file::kOwner, block, 16);
  const std::uint32_t now = CurrentHFSPlusTime();
  Common::StoreBe32(r + file::kAccessDate, now);
  Common::StoreBe32(r + file::kAttributeModDate, now);
  StoreRecord(record);
}

void FileContent::SetMode(std::uint16_t mode) {
  CheckWritable(102);
  CatalogEntry record = GetCatalogRecord();
  std::uint8_t* r = record.record.data();
  Common::StoreBe16(r + file::kMode, mode);
  const std::uint32_t now = CurrentHFSPlusTime();
  Common::StoreBe32(r + file::kAccessDate, now);
  Common::StoreBe32(r + file::kAttributeModDate, now);
  StoreRecord(record);
}

void FileContent::SetOwner(std::uint32_t owner, std::uint32_t group) {
  CheckWritable(103);
  CatalogEntry record = GetCatalogRecord();
  std::uint8_t* r = record.record.data();
  Common::StoreBe32(r + file::kOwner, owner);
  Common::StoreBe32(r + file::kGroup, group);
  const std::uint32_t now = CurrentHFSPlusTime();
  Common::StoreBe32(r + file::kAccessDate, now);
  Common::StoreBe32(r + file::kAttributeModDate, now);
  StoreRecord(record);
}

void FileContent::Flush() {
  if (pending_.empty()) return;
  if (driver_->ReadOnly()) {
    pending_.clear();
    return;
  }
  // The cache writes every dirty block in sector order; the data units then
  // leave it, so that none lingers to be confused with metadata sectors
  // should the blocks change hands.
  driver_->WriteBackCache();
  for (std::uint64_t unit : pending_) driver_->DiscardBlock(unit);
  pending_.clear();
}

void* FileContent::GetAllocationMap(std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t size = GetLogicalSize();
  if (length == 0 || offset >= size) Fail(110, kFileNotSupported);
  const std::uint64_t end = offset + std::min(length, size - offset);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
  for (std::uint64_t pos = offset; pos < end;) {
    const std::uint64_t block = pos / blockSize_;
    if (block > 0xFFFFFFFFu) Fail(111, kFileCorrupted);
    const BlockArea run = data_.MapBlock(std::uint32_t(block));
    const std::uint64_t bytes =
        std::min<std::uint64_t>(std::uint64_t(run.Length()) * blockSize_ - pos % blockSize_, end - pos);
    pieces.emplace_back(pos, bytes);
    pos += bytes;
  }
  const std::size_t total = std::max<std::size_t>(24, 8 + 16 * pieces.size());
  auto* out = static_cast<std::uint8_t*>(std::calloc(1, total));
  if (!out) Fail(112, kFileOutOfMemory);
  Common::StoreLe32(out, std::uint32_t(pieces.size()));
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    Common::StoreLe64(out + 8 + 16 * i, pieces[i].first);
    Common::StoreLe64(out + 16 + 16 * i, pieces[i].second);
  }
  return out;
}

// ---------------------------------------------------------------------------
// HFSPlusFileObject

HFSPlusFileObject::HFSPlusFileObject(HFSPlusDriver* driver, HFSPlusDirectory* folder,
                                     std::uint32_t fileId)
    : driver_(driver), folder_(folder), fileId_(fileId) {
  CatalogFile& catalog = CatalogOf(driver);
  CatalogEntry e;
  try {
    e = catalog.GetRecordById(fileId);
  } catch (const Common::Error& error) {
    if (error.Code() == kFileNotFound) Fail(120, kFileOpenError);
    throw;
  }
  if (!IsFileRecord(e)) Fail(121, kFileOpenError);
  if (!IsHardLinkRecord(e.record)) {
    content_.reset(new FileContent(driver, fileId));
    return;
  }
  const std::uint32_t dataId = Common::LoadBe32(e.record.data() + file::kSpecial);
  CatalogEntry node;
  try {
    node = catalog.GetRecordById(dataId);
  } catch (const Common::Error& error) {
    if (error.Code() == kFileNotFound) Fail(122, kFileOpenError);
    throw;
  }
  // A link to a link would never end in data.
  if (!IsFileRecord(node) || IsHardLinkRecord(node.record)) Fail(123, kFileOpenError);
  const std::uint32_t privateId = driver->PrivateDataFolderId();
  if (privateId == 0 || node.parentId != privateId) Fail(124, kFileOpenError);
  inode_.reset(new HFSPlusFileReference(driver->PrivateDataFolder()->OpenHardLinkTarget(fileId)));
}

HFSPlusFileObject::~HFSPlusFileObject() {
  if (content_) {
    try {
      content_->Flush();
    } catch (...) {
      // Closing cannot report; the blocks stay dirty in the cache and the
      // driver's flush writes them.
    }
  }
  folder_->RemoveOpenFile(fileId_);
}

std::uint32_t HFSPlusFileObject::FolderId() const noexcept { return folder_->FolderId(); }

FileContent* HFSPlusFileObject::Content() const noexcept {
  if (content_) return content_.get();
  if (!inode_) return nullptr;
  auto* target = dynamic_cast<HFSPlusFileObject*>(inode_->get());
  return target ? target->Content() : nullptr;
}

FileContent& HFSPlusFileObject::Checked() const {
  FileContent* content = Content();
  if (!content) Fail(130, kFileNotSupported);
  return *content;
}

void HFSPlusFileObject::SetPermissions(const void* block, std::uint32_t size) {
  Checked().SetPermissions(block, size);
}
void HFSPlusFileObject::SetMode(std::uint16_t mode) { Checked().SetMode(mode); }
void HFSPlusFileObject::SetOwner(std::uint32_t owner, std::uint32_t group) {
  Checked().SetOwner(owner, group);
}
std::uint64_t HFSPlusFileObject::GetSize() { return Checked().GetLogicalSize(); }
std::uint64_t HFSPlusFileObject::GetVolumeOffset(std::uint64_t offset) {
  return Checked().GetVolumeOffset(offset);
}
void HFSPlusFileObject::Read(void* buffer, std::uint64_t offset, std::uint32_t length,
                             std::uint32_t& done) {
  Checked().Read(buffer, offset, length, done);
}
void HFSPlusFileObject::Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
                              std::uint32_t& done) {
  Checked().Write(buffer, offset, length, done);
}
void HFSPlusFileObject::SetSize(std::uint64_t size) { Checked().SetSize(size); }
void HFSPlusFileObject::SetTimes(std::uint64_t modification, std::uint64_t creation,
                                 std::uint64_t access) {
  Checked().SetTimes(modification, creation, access);
}
void HFSPlusFileObject::Flush() { Checked().Flush(); }
std::uint64_t HFSPlusFileObject::GetAllocationMap(std::uint64_t offset, std::uint64_t length) {
  return reinterpret_cast<std::uintptr_t>(Checked().GetAllocationMap(offset, length));
}

FileSystemDriver::BackupObject* HFSPlusFileObject::CreateBackupObject(std::uint32_t option) {
  Flush();
  return HFSPlusBackupObjectFactory(driver_).Create(fileId_, option);
}

}  // namespace hfsplus
}  // namespace filesystems
