// The partition-scheme driver of dynamic disks, the placeholders of absent
// members, and dynamic volumes as sector devices.
//
// Discovery only reads: the driver classifies the disks, reads the
// databases through the raw model (ldm/group.h) and presents one portion
// per dynamic volume, whose disk reads through the device mapper, one free
// portion per dynamic disk, and the lower layers' portions of basic disks.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/dm_composite.h"
#include "fdisk/ldm_types.h"
#include "fdisk/portion.h"
#include "fdisk/ps_driver.h"
#include "fdisk/simple_disk_restricted.h"
#include "ldm/group.h"

namespace Fdisk {

// A member of a disk group that is not attached: every transfer is
// refused as offline (0x100403).
class DiskMissing : public Disk {
 public:
  explicit DiskMissing(std::uint32_t id);
  ~DiskMissing() override;
  void Accept(LocationVisitor& visitor) override;
  SimpleDisk* GetSimpleDisk() override { return &view_; }
  Common::Error Lock() override { return Common::Error(); }
  Common::Error Unlock() override { return Common::Error(); }
  Common::Error Invalidate() override { return Common::Error(); }

 private:
  SimpleDiskRestricted view_;
};

namespace DM {

// One dynamic volume as a sector device.
class LdmSimpleDisk : public SimpleDisk {
 public:
  // `disks` maps every extent's disk id to its device. A volume whose type
  // is invalid, or that `usable` says cannot be read safely, gets no
  // device-mapper object and refuses every transfer with 0x109001.
  LdmSimpleDisk(const LdmExtentMap& extents, LdmVolType type, std::uint64_t sectors,
                std::uint32_t chunk, const std::map<std::uint32_t, SimpleDisk*>& disks,
                bool usable);
  ~LdmSimpleDisk() override;
  // Refuses requests that reach past the volume's last sector.
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;
  bool HasIo() const { return io_ != nullptr; }

 private:
  std::uint64_t sectors_;
  std::unique_ptr<CompositeVolume> volume_;
  FastPlextorIO* io_ = nullptr;
};

}  // namespace DM

class PSLdmDriver : public PSDriver, public DiskGroupProvider {
 public:
  PSLdmDriver();
  ~PSLdmDriver() override;

  void Accept(PSDriverVisitor& visitor) override;
  Common::Error ProcessDisks(Layer& rawLayer, Layer& headLayer) override;
  Common::Error LoadDisks(const DiskMap& disks, Layer& headLayer) override;
  Layer& GetPortions() override { return layer_; }
  Location* GetStateStore() override;
  Common::Error Refresh(Layer& headLayer) override;
  // Changes of dynamic volumes, made on the database itself and committed
  // when the parameters say the operation is real (driver_change.cpp). A
  // failed commit is returned and the model is read again from the disks.
  std::pair<Common::Error, std::uint32_t> CreatePortion(
      const NamedVars::VarContainer& params) override;
  Common::Error DeletePortion(const NamedVars::VarContainer& params) override;
  Common::Error ChangePortion(const NamedVars::VarContainer& params) override;
  // Makes the basic disks behind `portions` (and those of `disks`) members
  // of the first disk group, or of a new one (driver_disks.cpp). Every
  // sector written is put back when a disk fails, and the model is read
  // again.
  Common::Error InitDisks(PSDriverFactory& factory, const DiskMap& disks, Layer& portions,
                          const NamedVars::VarContainer& params) override;
  // Takes the dynamic disks of `disks` (and those behind the dynamic
  // portions of `portions`) out of their groups, leaving them basic.
  // "RemoveCleanup" first removes every volume piece they hold; without it
  // a disk holding one is refused. The remaining members' database and the
  // partition tables are committed when the operation is real; a failure
  // puts every sector back.
  Common::Error RemoveDisks(PSDriverFactory& factory, const DiskMap& disks, Layer& portions,
                            const NamedVars::VarContainer& params) override;
  // Every change writes the database itself: nothing to do.
  Common::Error Commit() override { return Common::Error(); }
  bool IsDynamic() const override { return !pristine_; }
  const DiskMap& GetDisks() const override { return missingMap_; }
  const DiskGroupTable& GetDiskGroupTable() override;

  Ldm::LdmComputer& Model() { return *computer_; }
  // Rebuilds the layer from the model and the head-layer copy.
  void RebuildPortions();

 private:
  class LdmDriverLocation;
  bool IsDiskInLdmLayer(std::uint32_t diskId, Layer& layer) const;
  void CreateMissingDisks();
  std::map<std::uint32_t, SimpleDisk*> VolumeDisks(const LdmExtentMap& extents);
  // The group and volume record behind a volume portion of the layer.
  std::pair<Ldm::LdmDgAccess*, Ldm::LdmRecord*> VolumeOfPortion(std::uint32_t portionId);
  // The group's entries from the callers' requests: every disk in the
  // model, dynamic or stalled, all of one group.
  Ldm::LdmDgAccess* RequestEntries(const std::deque<LdmOpRequest>& requests, bool forCreate,
                                   std::vector<Ldm::SpaceRequest>& entries);
  // Commits the group; on failure reads the disks again, so that the model
  // shows what they hold, and throws the error.
  void CommitOrReload(Ldm::LdmDgAccess& group);

  std::unique_ptr<Ldm::LdmComputer> computer_;
  Layer layer_;
  Layer headLayer_;
  DiskMap loadedDisks_;
  DiskMap missingMap_;
  std::vector<std::unique_ptr<DiskMissing>> missingDisks_;
  Layer rawLayer_;
  Layer dynamicRawPortions_;
  std::map<std::uint32_t, std::vector<std::uint64_t>> metadataSectors_;
  std::unique_ptr<LdmDriverLocation> store_;
  DiskGroupTable groups_;
  bool pristine_ = true;
};

// Puts the dynamic-disk driver on the list of drivers every factory makes
// (once; later calls change nothing).
void RegisterDynamicDiskDriver();

}  // namespace Fdisk

namespace Ldm {

// One line per dynamic volume, ordered by group then volume name:
// GROUP, VOLUME, LAYOUT (simple, spanned, striped, mirror, raid5), SIZE and
// CHUNK in sectors (CHUNK 0 where there is none), STATE (healthy, degraded,
// failed) and EXTENTS (DISK:OFFSET+COUNT, plex then column order, OFFSET
// from the start of the member's public region), tab-separated.
std::vector<std::string> VolumeLines(Fdisk::PSLdmDriver& driver);

// Writes the bytes of the named volume, read through its portion's disk.
// 0x101C10 when there is no such volume; the read's error otherwise.
Common::Error ReadVolume(Fdisk::PSLdmDriver& driver, const std::string& group,
                         const std::string& volume, std::ostream& out);

}  // namespace Ldm
