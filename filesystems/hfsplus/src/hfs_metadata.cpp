// The metadata holder: the volume layer, the special files and the trees,
// made in mount order and flushed in unmount order.
#include "filesystems/hfs_metadata.h"

#include "files/file_error.h"
#include "filesystems/driver.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsTreeFileModuleId;

}  // namespace

Metadata::Metadata(FileSystemDriver* driver, const std::uint8_t* bitmapBytes,
                   std::uint32_t bitmapByteCount)
    : volume_(std::make_unique<Volume>(driver, bitmapBytes, bitmapByteCount)) {
  extents_ = std::make_unique<SpecialFile>(*volume_, kExtentsFileId);
  catalog_ = std::make_unique<SpecialFile>(*volume_, kCatalogFileId);
  if (volume_->Primary().Fork(kAttributesFileId).logicalSize != 0) {
    attributes_ = std::make_unique<SpecialFile>(*volume_, kAttributesFileId);
  }
}

// Members go in reverse order of their making.
Metadata::~Metadata() {
  attributesTree_.reset();
  catalogTree_.reset();
  extentsTree_.reset();
  attributes_.reset();
  catalog_.reset();
  extents_.reset();
  volume_.reset();
}

bool Metadata::NeedsOverflowExtents() const {
  return !catalog_->Complete() || (attributes_ && !attributes_->Complete());
}

void Metadata::CompleteExtents(OverflowExtentsSource& source) {
  catalog_->CompleteExtents(source);
  if (attributes_) attributes_->CompleteExtents(source);
}

void Metadata::OpenTrees() {
  if (TreesOpen()) return;
  extentsTree_ = std::make_unique<ExtentsOverflowFile>(*extents_);
  CompleteExtents(*extentsTree_);
  std::uint8_t start[512];
  if (catalog_->Size() < sizeof start) ThrowFileError(70, kModuleId, kFileCorrupted);
  catalog_->Read(0, sizeof start, start);
  CheckHeaderNode(start);
  catalogTree_ = std::make_unique<CatalogFile>(*catalog_, volume_->Primary().IsHFSX(),
                                               HeaderNodeCompareType(start));
  if (attributes_ && attributes_->Size() != 0) {
    attributesTree_ = std::make_unique<AttributesFile>(*attributes_);
  }
}

ExtentsOverflowFile& Metadata::Extents() {
  if (!extentsTree_) ThrowFileError(71, kModuleId, kFileCorrupted);
  return *extentsTree_;
}

CatalogFile& Metadata::Catalog() {
  if (!catalogTree_) ThrowFileError(72, kModuleId, kFileCorrupted);
  return *catalogTree_;
}

AttributesFile& Metadata::Attributes() {
  if (!attributesTree_) ThrowFileError(73, kModuleId, kFileCorrupted);
  return *attributesTree_;
}

void Metadata::FlushFiles() {
  if (attributesTree_) attributesTree_->Flush();
  else if (attributes_) attributes_->Flush();
  if (catalogTree_) catalogTree_->Flush();
  else catalog_->Flush();
  if (extentsTree_) extentsTree_->Flush();
  else extents_->Flush();
}

void Metadata::Flush() {
  if (volume_->ReadOnly()) return;
  FlushFiles();
  volume_->FlushAllocation();
  volume_->FlushPrimary();
}

void Metadata::Unmount() {
  if (volume_->ReadOnly()) return;
  FlushFiles();
  volume_->Unmount();
}

}  // namespace hfsplus
}  // namespace filesystems
