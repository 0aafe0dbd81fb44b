// Composite volumes and their builder.
#include "fdisk/dm_composite.h"

namespace Fdisk {
namespace DM {

CompositeVolume::CompositeVolume(const NamedVars::VarContainer& volume, const DiskMap& disks)
    : disks_(disks), plextor_(volume) {}

CompositeVolume::~CompositeVolume() = default;

void BuildSubDisk::Visit(SimplePlex& plex) {
  plex.AddSubDisk(column_, start_, length_, diskId_, &volume_->Dispatcher(), usable_);
}

CompositeVolumeBuilder::CompositeVolumeBuilder(const NamedVars::VarContainer& volume,
                                               const DiskMap& disks)
    : volume_(std::make_unique<CompositeVolume>(volume, disks)) {}

CompositeVolumeBuilder::~CompositeVolumeBuilder() = default;

std::uint32_t CompositeVolumeBuilder::AddPlex(const NamedVars::VarContainer& plex) {
  if (plex.GetOr(NamedVars::Keys::Composite, false)) return 0;
  return volume_->Plextor().AddPlex(plex, &volume_->Disks());
}

void CompositeVolumeBuilder::AddSubDisk(std::uint32_t plexId, std::uint32_t column,
                                        std::uint64_t start, std::uint64_t length,
                                        std::uint32_t diskId, bool usable) {
  BuildSubDisk visitor(column, start, length, diskId, volume_.get(), usable);
  volume_->Plextor().FindPlex(plexId).Accept(visitor);
}

std::unique_ptr<CompositeVolume> CompositeVolumeBuilder::Release() { return std::move(volume_); }

}  // namespace DM
}  // namespace Fdisk
