// A composite volume and the builder that assembles it plex by plex and
// extent by extent. Dynamic volumes and the older disk layer's multi-extent
// volumes are built through it and then used as one sector device through
// `GetIO()`.
#pragma once

#include <cstdint>
#include <memory>

#include "fdisk/dm_io.h"
#include "fdisk/dm_volume.h"

namespace Fdisk {
namespace DM {

class CompositeVolume {
 public:
  // The disk map is copied; the disks stay the caller's and must outlive
  // the volume.
  CompositeVolume(const NamedVars::VarContainer& volume, const DiskMap& disks);
  ~CompositeVolume();
  CompositeVolume(const CompositeVolume&) = delete;
  CompositeVolume& operator=(const CompositeVolume&) = delete;

  // Where the columns report failing sub-disks.
  MessageDispatcher& Dispatcher() { return dispatcher_; }
  DM::Plextor& Plextor() { return plextor_; }
  FastPlextorIO& GetIO() { return plextor_.GetIO(); }
  DiskMap& Disks() { return disks_; }

 private:
  // The plextor's columns borrow the dispatcher and the map: both are
  // declared before it, so that it goes first.
  MessageDispatcher dispatcher_;
  DiskMap disks_;
  DM::Plextor plextor_;
};

// Hands one extent to the plex that accepts it.
class BuildSubDisk : public PlexVisitor {
 public:
  BuildSubDisk(std::uint32_t column, std::uint64_t start, std::uint64_t length,
               std::uint32_t diskId, CompositeVolume* volume, bool usable)
      : column_(column), start_(start), length_(length), diskId_(diskId), volume_(volume),
        usable_(usable) {}
  void Visit(SimplePlex& plex) override;

 private:
  std::uint32_t column_;
  std::uint64_t start_;
  std::uint64_t length_;
  std::uint32_t diskId_;
  CompositeVolume* volume_;
  bool usable_;
};

class CompositeVolumeBuilder {
 public:
  CompositeVolumeBuilder(const NamedVars::VarContainer& volume, const DiskMap& disks);
  ~CompositeVolumeBuilder();
  CompositeVolumeBuilder(const CompositeVolumeBuilder&) = delete;
  CompositeVolumeBuilder& operator=(const CompositeVolumeBuilder&) = delete;

  // The new plex's id; 0, and no plex, when the variables hold "Composite"
  // = true (a description of the volume as a whole, not a copy of it).
  std::uint32_t AddPlex(const NamedVars::VarContainer& plex);
  // Adds an extent to plex `plexId`; throws `Fdisk::DM::Error` 0x102C05
  // for an id that is not a plex of this volume, changing nothing.
  void AddSubDisk(std::uint32_t plexId, std::uint32_t column, std::uint64_t start,
                  std::uint64_t length, std::uint32_t diskId, bool usable);
  // The volume; the builder holds nothing afterwards and is not used again.
  std::unique_ptr<CompositeVolume> Release();

 private:
  std::unique_ptr<CompositeVolume> volume_;
};

}  // namespace DM
}  // namespace Fdisk
