// The way back from the disk model into the older layer: GPT partitions and
// dynamic volumes that the model found become holders on the pseudo-disk,
// each with a volume handler whose I/O goes to the disks underneath; the
// free space of each dynamic disk group becomes one free-space holder.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/error.h"
#include "diskaccess/holders.h"
#include "diskaccess/objects.h"
#include "diskaccess/volume_handlers.h"
#include "fdisk/layout_record.h"

namespace Fdisk {
class Computer;
class LdmLocation;
class PSPortion;
}  // namespace Fdisk

namespace Da {
namespace Module {
constexpr std::uint32_t kModelBridge = 0x5A0110C1;
constexpr std::uint32_t kModelHolders = 0x5A0110C2;
}  // namespace Module
}  // namespace Da

// ------------------------------------------------------ the description

// What a dynamic volume or GPT partition of the model is, as the holders
// hand it on. One plex per plex id; each extent names the "DiskNumber" of
// its disk.
struct ModelVolumeExtent {
  std::uint64_t firstSector = 0;
  std::uint64_t sectorCount = 0;
  std::uint32_t diskNumber = 0;
};
struct ModelVolumePlex {
  std::uint32_t plexId = 0;
  std::vector<ModelVolumeExtent> extents;
};
struct ModelVolumeDescription {
  std::uint8_t primary = 0;  // the MBR partition underneath is not a logical one
  std::uint8_t active = 0;   // ... and carries the boot indicator
  std::uint32_t numbers[3] = {};
  std::array<std::uint8_t, 16> volume_guid{};
  std::uint32_t kind = 0;  // 8 a GPT partition, 16 a dynamic volume
  std::uint32_t volume_type = 0;
  std::uint32_t volume_state = 0;
  std::uint32_t flags = 0;  // 0x200000 and 0x400000: the volume's two flags
  std::uint32_t table_type = 0;
  std::vector<ModelVolumePlex> plexes;
};
constexpr std::uint32_t kModelKindGpt = 8;
constexpr std::uint32_t kModelKindDynamic = 16;

// The handler (HookedVolHandler) is the volume layer's.

// --------------------------------------------------------- the holders

namespace Fdisk {
namespace Old {

// A GPT partition of the model as a volume holder on the pseudo-disk.
class GptHolder : public holder_easy_vol {
 public:
  GptHolder(stddisk* pseudoDisk, std::vector<DaExtent> extents,
            const std::uint8_t* uniqueGuid, std::uint64_t size, std::uint32_t entryIndex,
            std::shared_ptr<vol_handler> handler, const std::uint8_t* typeGuid);
  GptHolder(const GptHolder& from);

  holder_easy_vol* CopyPartitionInfo() const override;
  bool DeletePartition(std::uint32_t, PartitionInfo*) override { return false; }
  const std::uint8_t* GetTypeGuid() const override;
  std::uint8_t GetType() const override { return mbr_type; }
  bool IsActive() const override { return false; }
  bool IsPrimary() const override { return true; }
  bool IsDynamic() const override { return false; }
  void SetVolumeHandler(std::shared_ptr<vol_handler> h) override;
  void DetachVolumeHandler() override { holder::SetVolumeHandler(nullptr); }
  bool GetVolumeDescription(ModelVolumeDescription& out) const;

  std::array<std::uint8_t, 16> type_guid{};
  std::uint8_t mbr_type = 0;
};

// A dynamic volume of the model as a volume holder on the pseudo-disk.
class LdmHolder : public holder_easy_vol {
 public:
  LdmHolder(stddisk* pseudoDisk, std::vector<DaExtent> extents, std::uint64_t size,
            const ModelVolumeDescription& description, std::shared_ptr<vol_handler> handler,
            const std::uint8_t* underlyingGuid, std::int32_t partitionId);
  LdmHolder(const LdmHolder& from);

  holder_easy_vol* CopyPartitionInfo() const override;
  // Gives the volume's space back to its group's free-space holder and
  // destroys the holder.
  bool DeletePartition(std::uint32_t flags, PartitionInfo* info) override;
  std::uint8_t GetType() const override { return 7; }
  bool IsActive() const override { return description.active != 0; }
  bool IsPrimary() const override { return description.primary != 0; }
  bool IsDynamic() const override { return true; }
  void SetVolumeHandler(std::shared_ptr<vol_handler> h) override;
  void DetachVolumeHandler() override { holder::SetVolumeHandler(nullptr); }
  void AttachVolume(bool mount, std::shared_ptr<vol_handler> h, std::uint8_t letter) override;
  bool GetVolumeDescription(ModelVolumeDescription& out) const;
  // Null when the volume lies on no GPT partition.
  const std::uint8_t* GetUnderlyingGuid() const;

  ModelVolumeDescription description;
  std::array<std::uint8_t, 16> underlying_guid{};
  // The disk group whose free space the volume gives back when deleted.
  std::array<std::uint8_t, 16> group_guid{};
};

// The free space of one dynamic disk group.
class LdmFreeSpace : public holder {
 public:
  LdmFreeSpace(stddisk* disk, std::uint64_t size, const std::uint8_t* groupGuid,
               std::vector<DaExtent> extents);
  ~LdmFreeSpace() override;

  holder* CopyPartitionInfo() const override;
  const std::uint8_t* GetUniqueGuid() const override { return group_guid.data(); }
  bool IsEasyVolume() const override { return true; }
  bool IsFreeSpace() const override { return true; }
  bool IsDynamic() const override { return true; }
  const std::vector<DaExtent>& GetExtents() const { return extents; }

  std::array<std::uint8_t, 16> group_guid{};
  std::vector<DaExtent> extents;
};

// The first free-space holder of the group in the list, or null.
LdmFreeSpace* FindLdmFreeSpace(HolderList& list, const std::uint8_t* groupGuid);
// Unlinks and destroys it; nothing when there is none.
void RemoveLdmFreeSpace(HolderList& list, const std::uint8_t* groupGuid);
// Adds a free-space location of the model (a group's free extents on one
// disk) to the group's free-space holder on the pseudo-disk: extents of one
// mebibyte or less are left out, and the holder's size is the sum of the
// extents it keeps.
void AddLdmFreeSpace(stddisk* pseudoDisk, const LdmLocation& location);
// Moves a volume's extents into (give back) or out of (take) the free
// space of its group `groupGuid`: a volume extent joins a free extent of
// the same disk only where the two touch, a new free extent is made for one
// that touches none, and taking space that is not free changes nothing and
// answers false.
bool MoveLdmFreeSpace(HolderList& list, const std::vector<DaExtent>& volumeExtents,
                      const std::uint8_t* groupGuid, bool giveBack);

// Builds the holders of one portion of the model's head layer (GPT
// partitions and dynamic volumes; free space of dynamic groups) into the
// pseudo-disk's volume list, reusing a matching holder of the previous walk.
void FillPortionHolders(Fdisk::Computer& computer, PSPortion& portion, stddisk* pseudoDisk);

}  // namespace Old
}  // namespace Fdisk

// ------------------------------------------------- the model computer

// Adds a disk to the model computer's "OldDiskList" (an offline disk is
// left out); creates the list when it is absent.
void AddOldDisk(Fdisk::Computer& computer, stddisk* disk);
// Leaves the list present and empty.
void ClearOldDiskList(Fdisk::Computer& computer);
// 0x42 when a scheme type of 0xEE belongs to a disk that holds an extent of
// a dynamic volume of the model, the scheme type otherwise.
std::uint8_t DetectLdmOnProtectiveDisk(Fdisk::Computer* computer, std::uint8_t schemeType,
                                       std::uint32_t diskId);
// The model computer of a legacy computer, or null.
Fdisk::Computer* ModelComputerOf(const plain_computer& computer);
// Walks the model's head layer into the pseudo-disk's volume holders:
// model-backed holders of the previous walk that no portion matches any
// more are removed. Errors of one portion skip that portion.
void FillModelVolumeHolders(plain_computer& computer);
