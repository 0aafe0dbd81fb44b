// The HFS+ driver: mount, flush, unmount and the probe.
#include "filesystems/hfs_driver.h"
#include "filesystems/hfs_file.h"

#include <algorithm>
#include <new>

#include "files/file_error.h"
#include "filesystems/factory.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsDriverModuleId;

}  // namespace

HFSPlusDriver::HFSPlusDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t size,
                             std::uint32_t cacheKey, const std::uint8_t* bitmap,
                             std::uint32_t bitmapBytes)
    : FileSystemDriverPosix(device, offset, size, cacheKey) {
  metadata_ = std::make_unique<Metadata>(this, bitmap, bitmapBytes);
  metadata_->OpenTrees();
}

HFSPlusDriver::~HFSPlusDriver() {
  if (privateFolder_) privateFolder_->DropUse();
  privateFolder_ = nullptr;
  DeleteDirectoryObjects();
  // A destructor cannot report: a failed write-back leaves the volume
  // marked in use, which the next mount sees.
  try {
    metadata_->Unmount();
  } catch (const Common::Error&) {
  }
  metadata_.reset();
  try {
    FileSystemDriver::WriteBackCache();
  } catch (const Common::Error&) {
  }
}

void HFSPlusDriver::RequireWritable(std::uint32_t site) const {
  if (ReadOnly()) ThrowFileError(site, kModuleId, kFileReadOnly);
}

void HFSPlusDriver::Flush() {
  if (ReadOnly()) return;
  metadata_->Flush();
  FileSystemDriver::Flush();
}

void HFSPlusDriver::GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                                   std::uint64_t& available) {
  Volume& volume = metadata_->GetVolume();
  const VolumeHeader& header = volume.Primary();
  const std::uint64_t block = header.BlockSize();
  total = std::uint64_t(header.TotalBlocks()) * block;
  // The bitmap is what the driver allocates from; the header's count
  // follows it at the next flush.
  free = std::uint64_t(volume.Allocation().Free()) * block;
  available = free;
}

void HFSPlusDriver::GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) {
  if (capacity == 0) return;
  std::u16string label;
  metadata_->Catalog().GetRootFolderName().ToWString(label);
  CopyVolumeLabel(label, buffer, capacity);
}

int HFSPlusDriver::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  return CompareIdentifierNames(a, b);
}

FileSystemDriver::DirectoryObject* HFSPlusDriver::CreateDirectoryObject(std::uint32_t directoryId) {
  return new HFSPlusDirectory(this, directoryId);
}

std::uint32_t HFSPlusDriver::PrivateDataFolderId() {
  if (privateFolder_) return privateFolder_->FolderId();
  try {
    return metadata_->Catalog().GetPrivateDataFolderId();
  } catch (const Common::Error& e) {
    if (e.Code() == kFileNotFound) return 0;
    throw;
  }
}

HFSPlusDirectory* HFSPlusDriver::PrivateDataFolder() {
  if (privateFolder_) return privateFolder_;
  std::uint32_t id = PrivateDataFolderId();
  if (id == 0) {
    RequireWritable(10);
    // Made through the root's registered folder object, so that the
    // root's record and open files stay with the one object of it.
    auto* root = static_cast<HFSPlusDirectory*>(GetDirectoryObject(0));
    root->AddUse();
    try {
      id = root->CreatePrivateDataFolder();
    } catch (...) {
      root->DropUse();
      throw;
    }
    root->DropUse();
  }
  auto* folder = static_cast<HFSPlusDirectory*>(GetDirectoryObject(id));
  // Held for the rest of the mount: its iNodes' file objects live there.
  folder->AddUse();
  privateFolder_ = folder;
  return folder;
}

HFSPlusFileObjectBase* HFSPlusDriver::NewFileObject(HFSPlusDirectory* directory,
                                                    std::uint32_t fileId) {
  return new HFSPlusFileObject(this, directory, fileId);
}

}  // namespace hfsplus

FileSystemDriver* OpenHFSPlusDriver(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                    std::uint64_t size, std::uint32_t cacheKey,
                                    const std::uint8_t* bitmap, std::uint32_t bitmapBytes) {
  try {
    return new hfsplus::HFSPlusDriver(device, offset, size, cacheKey, bitmap, bitmapBytes);
  } catch (const Common::Error&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace filesystems
