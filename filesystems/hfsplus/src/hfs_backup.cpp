// HFS+ backup objects: the items and the composites of files, folders,
// links and special nodes.
#include "filesystems/hfs_backup.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "files/file_error.h"
#include "filesystems/hfs_driver.h"
#include "filesystems/hfs_file.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsBackupModuleId;
constexpr std::uint32_t kKindAttributes = 1, kKindData = 4, kKindTimes = 5, kKindPosix = 6,
                        kKindExtended = 7;
constexpr std::size_t kMaxAttributeNameBytes = 127;
constexpr std::size_t kMaxInlineBytes = 32768;
// Object types of the framework.
constexpr std::uint32_t kTypeFile = 0, kTypeSymlink = 5, kTypeDirectory = 128;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

using Bytes = std::vector<std::uint8_t>;
using Item = std::unique_ptr<HFSPlusBackupedItem>;

Item BytesItem(std::uint32_t kind, Bytes bytes) {
  return Item(new HFSPlusBackupBytes(kind, std::move(bytes)));
}

Item AttributesItem(const CatalogEntry& e) {
  Bytes b(4);
  Common::StoreLe32(b.data(), e.Type() == kFolderRecord ? 0x10 : 0);
  return BytesItem(kKindAttributes, std::move(b));
}

Item TimesItem(const CatalogEntry& e) {
  Bytes b(16);
  const std::uint8_t* r = e.record.data();
  Common::StoreLe64(b.data(), FromHFSPlusTime(Common::LoadBe32(r + file::kContentModDate)));
  Common::StoreLe64(b.data() + 8, FromHFSPlusTime(Common::LoadBe32(r + file::kCreateDate)));
  return BytesItem(kKindTimes, std::move(b));
}

// The object type of the POSIX item. The record type decides for folders
// (a folder that never had a mode set is still a folder); a file whose mode
// has no type is a regular file.
std::uint32_t ObjectType(const CatalogEntry& e) {
  if (e.Type() == kFolderRecord) return kTypeDirectory;
  switch (Common::LoadBe16(e.record.data() + file::kMode) & 0xF000) {
    case 0x0000:
    case 0x8000: return kTypeFile;
    case 0x2000: return 1;
    case 0x6000: return 2;
    case 0x1000: return 3;
    case 0xC000: return 4;
    case 0xA000: return kTypeSymlink;
    default: Fail(1, kFileBackupError);
  }
}

// The 20 bytes every POSIX item starts with; `length` is the item's own.
Bytes PosixBytes(const CatalogEntry& e, std::uint32_t length) {
  Bytes b(length);
  const std::uint8_t* r = e.record.data();
  Common::StoreLe32(b.data(), length);
  Common::StoreLe32(b.data() + 4, ObjectType(e));
  Common::StoreLe32(b.data() + 8, Common::LoadBe32(r + file::kOwner));
  Common::StoreLe32(b.data() + 12, Common::LoadBe32(r + file::kGroup));
  Common::StoreLe32(b.data() + 16, Common::LoadBe16(r + file::kMode));
  return b;
}

Item FinderInfo(const CatalogEntry& e) {
  auto composite = std::make_unique<HFSPlusBackupObject>();
  composite->Append(BytesItem(kKindExtended, ExtendedAttributeHeader("com.apple.FinderInfo", 32)));
  const std::uint8_t* info = e.record.data() + file::kFinderType;
  composite->Append(BytesItem(kKindExtended, Bytes(info, info + 32)));
  return composite;
}

// A fork record (80 bytes, big-endian) and its overflow extents.
Item ForkItem(HFSPlusDriver* driver, std::uint32_t kind, std::uint32_t fileId,
              std::uint8_t forkType, const std::uint8_t* fork) {
  const std::uint64_t size = Common::LoadBe64(fork);
  const std::uint32_t total = Common::LoadBe32(fork + 12);
  Metadata& m = driver->GetMetadata();
  ExtentList list(m.GetVolume().Primary().TotalBlocks());
  if (size != 0) {
    list.AppendDescriptors(fork + 16, 8);
    if (list.TotalBlocks() < total) {
      ExtentList more(m.GetVolume().Primary().TotalBlocks());
      m.Extents().CollectExtents(fileId, forkType, list.TotalBlocks(), more);
      list.AppendList(more);
    }
  }
  return Item(new HFSPlusBackupForkReader(driver, kind, std::move(list), total, size));
}

void AppendResourceFork(HFSPlusDriver* driver, const CatalogEntry& e, HFSPlusBackupObject& to) {
  const std::uint8_t* fork = e.record.data() + file::kResourceFork;
  if (Common::LoadBe32(fork + 12) == 0) return;
  to.Append(BytesItem(kKindExtended, ExtendedAttributeHeader("com.apple.ResourceFork",
                                                             Common::LoadBe64(fork))));
  to.Append(ForkItem(driver, kKindExtended, e.Id(), 0xFF, fork));
}

void AppendExtendedAttributes(HFSPlusDriver* driver, std::uint32_t id, HFSPlusBackupObject& to) {
  Metadata& m = driver->GetMetadata();
  if (!m.HasAttributes()) return;
  AttributesFile& attributes = m.Attributes();
  for (const AttributeInfo& a : attributes.ListAttributes(id)) {
    std::string name;
    Common::Utf16ToUtf8(name, a.name);
    if (a.type == kInlineDataRecord) {
      Bytes data = attributes.ReadInlineData(id, a.name);
      if (data.size() > kMaxInlineBytes) Fail(10, kFileBackupError);
      to.Append(BytesItem(kKindExtended, ExtendedAttributeHeader(name, data.size())));
      to.Append(BytesItem(kKindExtended, std::move(data)));
    } else if (a.type == kForkDataRecord) {
      std::uint64_t size = 0;
      ExtentList list;
      try {
        list = attributes.ForkExtents(id, a.name, &size);
      } catch (const Common::Error& error) {
        // A fork attribute whose record went missing is left out.
        if (error.Code() == kFileNotFound) continue;
        throw;
      }
      const std::uint32_t total = list.TotalBlocks();
      to.Append(BytesItem(kKindExtended, ExtendedAttributeHeader(name, size)));
      to.Append(Item(new HFSPlusBackupForkReader(driver, kKindExtended, std::move(list), total, size)));
    } else {
      Fail(11, kFileBackupError);
    }
  }
}

std::unique_ptr<HFSPlusBackupObject> FileObject(HFSPlusDriver* driver, const CatalogEntry& e,
                                                std::uint32_t option) {
  if (e.Type() != kFileRecord) Fail(20, kFileBackupError);
  auto object = std::make_unique<HFSPlusBackupObject>();
  object->Append(AttributesItem(e));
  const std::uint8_t* data = e.record.data() + file::kDataFork;
  if (Common::LoadBe32(data + 12) != 0 && (option & kBackupSkipData) == 0)
    object->Append(ForkItem(driver, kKindData, e.Id(), 0x00, data));
  object->Append(BytesItem(kKindPosix, PosixBytes(e, 20)));
  object->Append(TimesItem(e));
  object->Append(FinderInfo(e));
  AppendResourceFork(driver, e, *object);
  AppendExtendedAttributes(driver, e.Id(), *object);
  return object;
}

std::unique_ptr<HFSPlusBackupObject> FolderObject(HFSPlusDriver* driver, const CatalogEntry& e) {
  auto object = std::make_unique<HFSPlusBackupObject>();
  object->Append(AttributesItem(e));
  object->Append(BytesItem(kKindPosix, PosixBytes(e, 20)));
  object->Append(TimesItem(e));
  object->Append(FinderInfo(e));
  AppendExtendedAttributes(driver, e.Id(), *object);
  return object;
}

std::unique_ptr<HFSPlusBackupObject> DeviceObject(HFSPlusDriver* driver, const CatalogEntry& e) {
  auto object = std::make_unique<HFSPlusBackupObject>();
  object->Append(AttributesItem(e));
  Bytes posix = PosixBytes(e, 28);
  const std::uint32_t special = Common::LoadBe32(e.record.data() + file::kSpecial);
  Common::StoreLe32(posix.data() + 20, special >> 16);
  Common::StoreLe32(posix.data() + 24, special & 0xFFFF);
  object->Append(BytesItem(kKindPosix, std::move(posix)));
  object->Append(TimesItem(e));
  object->Append(FinderInfo(e));
  AppendResourceFork(driver, e, *object);
  AppendExtendedAttributes(driver, e.Id(), *object);
  return object;
}

std::unique_ptr<HFSPlusBackupObject> SymlinkObject(HFSPlusDriver* driver, const CatalogEntry& e) {
  auto object = std::make_unique<HFSPlusBackupObject>();
  object->Append(AttributesItem(e));
  // The whole target, whatever the option word says of data forks.
  const std::u16string target = ReadSymlinkTarget(driver, e.record.data());
  if (target.empty() || target.size() > 512) Fail(30, kFileBackupError);
  const std::uint32_t n = std::uint32_t(target.size());
  Bytes posix = PosixBytes(e, 24 + 2 * n);
  Common::StoreLe16(posix.data() + 20, std::uint16_t(2 * n));
  for (std::uint32_t i = 0; i < n; ++i) Common::StoreLe16(posix.data() + 22 + 2 * i, target[i]);
  object->Append(BytesItem(kKindPosix, std::move(posix)));
  object->Append(TimesItem(e));
  object->Append(FinderInfo(e));
  AppendResourceFork(driver, e, *object);
  AppendExtendedAttributes(driver, e.Id(), *object);
  return object;
}

}  // namespace

std::vector<std::uint8_t> ExtendedAttributeHeader(const std::string& name, std::uint64_t length) {
  if (name.size() > kMaxAttributeNameBytes) Fail(40, kFileBackupError);
  Bytes b(name.empty() ? 10 : name.size() + 11);
  Common::StoreLe16(b.data(), std::uint16_t(name.size()));
  Common::StoreLe64(b.data() + 2, length);
  std::memcpy(b.data() + 10, name.data(), name.size());
  return b;
}

HFSPlusBackupBytes::HFSPlusBackupBytes(std::uint32_t kind, std::vector<std::uint8_t> bytes)
    : bytes_(std::move(bytes)) {
  itemKind = bytes_.empty() ? 0 : kind;
  wantedSize = std::uint32_t(bytes_.size());
}

std::uint32_t HFSPlusBackupBytes::ProduceChunk(void* buffer, std::uint32_t capacity) {
  if (itemKind == 0) return 0;
  if (capacity < bytes_.size()) Fail(50, kFileBackupError);
  std::memcpy(buffer, bytes_.data(), bytes_.size());
  itemKind = 0;
  return std::uint32_t(bytes_.size());
}

HFSPlusBackupForkReader::HFSPlusBackupForkReader(HFSPlusDriver* driver, std::uint32_t kind,
                                                 ExtentList extents, std::uint32_t totalBlocks,
                                                 std::uint64_t logicalSize)
    : driver_(driver), extents_(std::move(extents)), logicalSize_(logicalSize) {
  blockSize_ = driver->GetMetadata().GetVolume().Primary().BlockSize();
  const std::uint32_t sector = driver->SectorSize();
  sectorsPerBlock_ = sector == 0 ? 0 : blockSize_ / sector;
  if (logicalSize_ == 0) return;
  if (sector == 0 || blockSize_ == 0 || blockSize_ % sector != 0 ||
      kBackupChunkBytes % blockSize_ != 0)
    Fail(60, kFileBackupError);
  if (extents_.TotalBlocks() != totalBlocks) Fail(61, kFileBackupError);
  // The blocks must hold the size: a fork that claims more bytes than
  // blocks has nothing to give for the rest.
  if (logicalSize_ > std::uint64_t(totalBlocks) * blockSize_) Fail(62, kFileCorrupted);
  itemKind = kind;
  wantedSize = std::uint32_t(std::min<std::uint64_t>(std::uint64_t(totalBlocks) * blockSize_,
                                                     kBackupChunkBytes));
  alignment = blockSize_;
}

std::uint32_t HFSPlusBackupForkReader::ProduceChunk(void* buffer, std::uint32_t capacity) {
  if (itemKind == 0) return 0;
  const std::uint64_t start = std::uint64_t(produced_) * blockSize_;
  // MapBlock refuses a block past the list: a damaged fork, never an empty
  // answer that the caller would ask again for.
  const BlockArea run = extents_.MapBlock(produced_);
  const std::uint32_t most = std::min(capacity, wantedSize) / blockSize_;
  const std::uint32_t n = std::min(run.Length(), most);
  if (n == 0) Fail(70, kFileCorrupted);
  driver_->ReadBlocksUnaligned(buffer, std::uint64_t(run.first) * sectorsPerBlock_,
                               std::uint64_t(n) * sectorsPerBlock_, sectorsPerBlock_, 0);
  const std::uint64_t end = start + std::uint64_t(n) * blockSize_;
  const std::uint64_t bytes = end <= logicalSize_ ? end - start : logicalSize_ - start;
  produced_ += n;
  // Blocks past the logical size are not read at all.
  if (end >= logicalSize_ || produced_ >= extents_.TotalBlocks()) itemKind = 0;
  return std::uint32_t(bytes);
}

void HFSPlusBackupObject::Append(std::unique_ptr<HFSPlusBackupedItem> part) {
  parts_.push_back(std::move(part));
  if (parts_.size() == 1 || itemKind == 0) Select();
}

void HFSPlusBackupObject::Select() {
  while (at_ < parts_.size() && parts_[at_]->itemKind == 0) ++at_;
  if (at_ == parts_.size()) {
    itemKind = 0;
    return;
  }
  itemKind = parts_[at_]->itemKind;
  wantedSize = parts_[at_]->wantedSize;
  alignment = parts_[at_]->alignment;
}

std::uint32_t HFSPlusBackupObject::ProduceChunk(void* buffer, std::uint32_t capacity) {
  if (at_ >= parts_.size()) return 0;
  const std::uint32_t n = parts_[at_]->ProduceChunk(buffer, capacity);
  Select();
  return n;
}

FileSystemDriver::BackupObject* HFSPlusBackupObjectFactory::Create(std::uint32_t id,
                                                                   std::uint32_t option) {
  try {
    CatalogFile& catalog = driver_->GetMetadata().Catalog();
    CatalogEntry e = catalog.GetRecordById(id);
    if (e.Type() == kFolderRecord) return FolderObject(driver_, e).release();
    if (e.Type() != kFileRecord || e.record.size() < kFileRecordBytes) Fail(80, kFileBackupError);
    const std::uint8_t* r = e.record.data();
    if (IsHardLinkRecord(e.record)) {
      // An iNode is always backed up as a regular file.
      CatalogEntry node = catalog.GetRecordById(Common::LoadBe32(r + file::kSpecial));
      if (node.Type() != kFileRecord || node.record.size() < kFileRecordBytes ||
          IsHardLinkRecord(node.record))
        Fail(81, kFileBackupError);
      return FileObject(driver_, node, option).release();
    }
    if (IsSymlinkRecord(e.record)) return SymlinkObject(driver_, e).release();
    if (IsSpecialNodeRecord(e.record)) return DeviceObject(driver_, e).release();
    return FileObject(driver_, e, option).release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace hfsplus
}  // namespace filesystems
