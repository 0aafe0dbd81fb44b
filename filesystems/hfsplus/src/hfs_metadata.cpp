// The metadata holder: the volume layer and the tree files, made in mount
// order and flushed in unmount order.
#include "filesystems/hfs_metadata.h"

namespace filesystems {
namespace hfsplus {

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

void Metadata::Flush() {
  if (volume_->ReadOnly()) return;
  if (attributes_) attributes_->Flush();
  catalog_->Flush();
  extents_->Flush();
  volume_->FlushAllocation();
  volume_->FlushPrimary();
}

void Metadata::Unmount() {
  if (volume_->ReadOnly()) return;
  if (attributes_) attributes_->Flush();
  catalog_->Flush();
  extents_->Flush();
  volume_->Unmount();
}

}  // namespace hfsplus
}  // namespace filesystems
