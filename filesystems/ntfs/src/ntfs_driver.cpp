// Mounting an NTFS volume and the driver's volume-wide answers.
#include "filesystems/ntfs_driver.h"
#include "filesystems/ntfs_file.h"

#include <algorithm>
#include <cstring>

#include "files/dir.h"
#include "files/file_error.h"
#include "filesystems/factory.h"
#include "filesystems/ntfs_directory.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsDriverModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

constexpr std::uint64_t kAttrDefRecord = 4;
constexpr std::uint64_t kVolumeRecord = 3;
constexpr std::uint64_t kBitmapRecord = 6;
constexpr std::uint64_t kUpCaseRecord = 10;
constexpr std::uint32_t kVolumeName = 0x60;
constexpr std::uint32_t kVolumeInformation = 0x70;
constexpr std::uint32_t kData = 0x80;

}  // namespace

// The cluster bitmap read and written through $Bitmap's data, whose size
// never changes: writes past its end are cut short.
class NTFSDriver::ClusterStorage : public BitmapStorage {
 public:
  explicit ClusterStorage(NTFSDriver& driver) : driver_(driver) {
    RecordHandle held(*driver.mft_, kBitmapRecord);
    if (!driver_.FindAttribute(kBitmapRecord, held.Image(), kData, u"", value_)) Corrupted(0x20);
  }
  std::uint64_t Size() override { return driver_.ValueSize(value_); }
  std::uint32_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    return driver_.ReadValue(value_, offset, buffer, length);
  }
  std::uint32_t Write(std::uint64_t offset, const std::uint8_t* source,
                      std::uint32_t length) override {
    const std::uint64_t size = std::min(Size(), value_.header.initializedSize);
    if (offset >= size) return 0;
    const std::uint32_t count = std::uint32_t(std::min<std::uint64_t>(length, size - offset));
    driver_.WriteClusters(value_.runs, offset, source, count, true);
    return count;
  }

 private:
  NTFSDriver& driver_;
  AttributeValue value_;
};

NTFSDriver::NTFSDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t length,
                       std::uint32_t cacheKey, const std::uint8_t* firstSector,
                       const std::uint8_t* filter, std::uint32_t filterBits)
    : FileSystemDriverWindows(device, offset, length, cacheKey),
      filter_(filter),
      filterBits_(filterBits) {
  if (SectorSize() < 512) Corrupted(0x01);
  if (firstSector) {
    geometry_ = ParseBootSector(firstSector, SectorSize(), PartitionSize());
  } else {
    {
      BlockHandle block = GetBlocks(0, 1, false);
      geometry_ = ParseBootSector(block.Data(), SectorSize(), PartitionSize());
    }
    DiscardBlock(0);
  }
  try {
    mft_ = std::make_unique<Mft>(*this);
    mft_->GatherData();
    {
      const std::vector<std::uint8_t> defs = ReadWholeValue(kAttrDefRecord, kData);
      attrDefs_ = std::make_unique<AttrDefTable>(defs.data(), defs.size());
    }
    {
      const std::vector<std::uint8_t> units = ReadWholeValue(kUpCaseRecord, kData);
      upcase_ = std::make_unique<UpCaseTable>(units.data(), units.size());
    }
    bitmapStorage_ = std::make_unique<ClusterStorage>(*this);
    // Padding bits past the last cluster are neither free nor allocatable.
    clusters_ = std::make_unique<Bitmap>(bitmapStorage_.get(), geometry_.clusterCount);
    if (bitmapStorage_->Size() * 8 < geometry_.clusterCount) Corrupted(0x02);

    RecordHandle volume(*mft_, kVolumeRecord);
    AttributeValue info;
    if (!FindAttribute(kVolumeRecord, volume.Image(), kVolumeInformation, u"", info)) Corrupted(0x03);
    std::uint8_t head[12] = {};
    if (ReadValue(info, 0, head, 12) != 12) ThrowFileError(0x04, kModuleId, kFileReadError);
    version_ = std::uint16_t(head[8] << 8 | head[9]);
  } catch (...) {
    clusters_.reset();
    bitmapStorage_.reset();
    upcase_.reset();
    attrDefs_.reset();
    mft_.reset();
    throw;
  }
}

NTFSDriver::~NTFSDriver() {
  DeleteDirectoryObjects();
  // Files still open let go of their records while the record cache and
  // the cluster bitmap are alive, and a file whose last name went while it
  // was open gives its clusters and records back now.
  const std::map<std::uint64_t, FileObject*> open = openFiles_;
  for (const auto& entry : open) static_cast<NTFSFile*>(entry.second)->Detach();
  clusters_.reset();
  bitmapStorage_.reset();
  upcase_.reset();
  attrDefs_.reset();
  mft_.reset();
  try {
    FileSystemDriver::Flush();
  } catch (const Common::Error&) {
    // A destructor cannot report: the failure leaves the blocks unwritten.
  }
}

void NTFSDriver::GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                                std::uint64_t& available) {
  total = std::uint64_t(SectorSize()) * geometry_.totalSectors;
  free = std::uint64_t(geometry_.clusterSize) * clusters_->GetFreeCount();
  available = free;
}

void NTFSDriver::GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) {
  if (!buffer || capacity == 0) return;
  buffer[0] = 0;
  RecordHandle volume(*mft_, kVolumeRecord);
  AttributeValue name;
  if (!FindAttribute(kVolumeRecord, volume.Image(), kVolumeName, u"", name)) return;
  std::vector<std::uint8_t> bytes(std::size_t(capacity) * 2 - 2);
  const std::uint32_t got =
      bytes.empty() ? 0 : ReadValue(name, 0, bytes.data(), std::uint32_t(bytes.size()));
  const std::uint32_t units = got / 2;
  for (std::uint32_t i = 0; i < units; ++i) buffer[i] = char16_t(Common::LoadLe16(&bytes[2 * i]));
  buffer[units] = 0;
}

int NTFSDriver::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  // Identifiers carry the entry's name, compared as the $I30 index does.
  auto nameOf = [](const file_identifier* id) {
    std::u16string name;
    const auto* general = dynamic_cast<const the_identifier*>(id);
    if (general) name = general->name();
    // A $FILE_NAME holds at most 255 units.
    if (name.size() > 255) name.resize(255);
    return name;
  };
  const std::u16string x = nameOf(a), y = nameOf(b);
  return CompareUpcasedNames(*upcase_, x.data(), x.size(), y.data(), y.size(), false);
}

void NTFSDriver::NormalizeNameCase(std::u16string& path) { upcase_->Normalize(path); }

// --- directories -----------------------------------------------------------
FileSystemDriver::DirectoryObject* NTFSDriver::CreateDirectoryObject(std::uint32_t directoryId) {
  return new NTFSDirectory(this, directoryId);
}
// --- end of directories ----------------------------------------------------

FileSystemDriver::FileObject* NTFSDriver::OpenFileObject(std::uint64_t record) {
  const auto found = openFiles_.find(record);
  if (found != openFiles_.end()) return found->second;
  auto file = std::make_unique<NTFSFile>(*this, record);
  openFiles_[record] = file.get();
  file->Listed();
  return file.release();
}

NTFSFile* NTFSDriver::OpenFileOf(std::uint64_t record) const noexcept {
  const auto found = openFiles_.find(record);
  return found == openFiles_.end() ? nullptr : static_cast<NTFSFile*>(found->second);
}

bool NTFSDriver::IsRecordFilteredOut(std::uint64_t record) const noexcept {
  if (filterBits_ == 0 || !filter_) return false;
  if (record >= filterBits_) return true;
  return (filter_[record / 8] & (1u << (record % 8))) == 0;
}

}  // namespace ntfs

FileSystemDriver* OpenNTFSVolume(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                 std::uint64_t length, std::uint32_t cacheKey,
                                 const std::uint8_t* firstSector, const std::uint8_t* filter,
                                 std::uint32_t filterBits) {
  try {
    return new ntfs::NTFSDriver(device, offset, length, cacheKey, firstSector, filter, filterBits);
  } catch (const Common::Error&) {
    return nullptr;
  }
}

// The factory's probe. Moving entries, junctions and attribute changes
// are refused (0x4000e); files are read, written, created and deleted.
FileSystemDriver* OpenNTFSDriver(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                 std::uint64_t length, std::uint32_t cacheKey,
                                 const std::uint8_t* firstSector, const std::uint8_t* filter,
                                 std::uint32_t filterBits) {
  return OpenNTFSVolume(device, offset, length, cacheKey, firstSector, filter, filterBits);
}

}  // namespace filesystems
