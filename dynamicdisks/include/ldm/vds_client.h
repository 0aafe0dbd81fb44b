// The Virtual Disk Service client: the service behind an interface of its
// own (the COM binding on Windows, an in-process fake in the tests), the
// binding of the raw model's disks, groups, volumes and plexes to the
// service's objects by their ids, and the group operations carried out by
// the service (volume creation, conversion of disks, drive letters).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/ldm_types.h"
#include "ldm/group.h"

namespace Ldm {

using VdsId = Guid16;

// HRESULT values the client tells apart.
constexpr std::int32_t kVdsOk = 0;
constexpr std::int32_t kVdsFalse = 1;
constexpr std::int32_t kVdsNotImplemented = static_cast<std::int32_t>(0x80004001u);
constexpr std::int32_t kVdsFail = static_cast<std::int32_t>(0x80004005u);
inline bool VdsFailed(std::int32_t hr) { return hr < 0; }

// Provider flag of the dynamic-disk software provider.
constexpr std::uint32_t kVdsProviderDynamic = 0x1;
// Extent type of data.
constexpr std::uint32_t kVdsExtentData = 2;

// One software provider as the walk meets it.
struct VdsProviderInfo {
  bool generic = true;     // it answered for the generic provider interface
  bool properties = true;  // its properties could be read
  bool software = true;    // it answered for the software-provider interface
  std::u16string name;
  std::uint32_t flags = 0;
};
struct VdsPackInfo {
  VdsId id{};
  std::u16string name;
};
struct VdsDiskInfo {
  VdsId id{};
  std::u16string name;
};
struct VdsExtent {
  VdsId disk{};
  std::uint32_t type = kVdsExtentData;
  std::uint64_t offset = 0;  // bytes
  std::uint64_t size = 0;    // bytes
};
struct VdsPlexInfo {
  VdsId id{};
  std::vector<VdsExtent> extents;
};
struct VdsVolumeInfo {
  VdsId id{};
  std::vector<VdsPlexInfo> plexes;
};
// One disk of a volume creation, the service's own input-disk record.
struct VdsInputDisk {
  VdsId disk{};
  std::uint64_t bytes = 0;
  VdsId plex{};
  std::uint32_t memberIndex = 0;
};

// The calls the client makes. Every call answers an HRESULT; lists are
// filled in the service's order. Providers are software providers, named
// by their place in the walk.
class VdsService {
 public:
  virtual ~VdsService() = default;
  // The service loader created and the service loaded.
  virtual std::int32_t Load() = 0;
  virtual std::int32_t WaitForServiceReady() = 0;
  virtual std::int32_t QueryProviders(std::vector<VdsProviderInfo>& out) = 0;
  virtual std::int32_t QueryPacks(std::size_t provider, std::vector<VdsPackInfo>& out) = 0;
  virtual std::int32_t QueryDisks(const VdsId& pack, std::vector<VdsDiskInfo>& out) = 0;
  virtual std::int32_t QueryVolumes(const VdsId& pack, std::vector<VdsVolumeInfo>& out) = 0;
  // Creates the volume in the pack and waits for it; the new volume's id.
  virtual std::int32_t CreateVolume(const VdsId& pack, std::uint32_t type,
                                    const std::vector<VdsInputDisk>& disks,
                                    std::uint32_t stripeBytes, VdsId& volume) = 0;
  virtual std::int32_t CreatePack(std::size_t provider, VdsPackInfo& pack) = 0;
  // Moves the disk from its own pack into the target pack (no force, not a
  // query); `restart` says the service needs the machine restarted.
  virtual std::int32_t MigrateDisk(const VdsId& disk, const VdsId& targetPack, bool& restart) = 0;
  // Adds the access path to the volume's file-system interface;
  // kVdsFalse when the volume offers no such interface.
  virtual std::int32_t AddAccessPath(const VdsId& volume, const std::u16string& path) = 0;
  virtual std::int32_t Reenumerate() = 0;
  virtual std::int32_t Refresh() = 0;
};

// The process-wide client. The service is made by the installed maker: the
// COM binding on Windows; none elsewhere, so that Init fails there.
class VdsAccess {
 public:
  using Maker = std::unique_ptr<VdsService> (*)();
  static VdsAccess* Instance();
  static void Destroy();
  static void SetMaker(Maker maker);

  // Loads the service and finds the dynamic provider. kVdsFalse: the
  // service runs but has no dynamic provider (and is released).
  std::int32_t Init();
  VdsService* Service() const { return service_.get(); }
  bool HasProvider() const { return hasProvider_; }
  std::size_t Provider() const { return provider_; }

 private:
  std::unique_ptr<VdsService> service_;
  bool hasProvider_ = false;
  std::size_t provider_ = 0;
};

#if defined(_WIN32)
// Makes the client reach the service through its COM interfaces.
void InstallVdsComBinding();
#endif

// The disk number at the end of a service disk name of more than 15
// characters, or -1.
long VdsDiskNumber(const std::u16string& name);

// --- binding ---------------------------------------------------------------------
void ClearVdsIds(LdmComputer& computer);
Common::Error RefreshVds(LdmComputer& computer);
Common::Error BindVds(LdmComputer& computer);
Common::Error BindVdsDisks(LdmComputer& computer);
Common::Error BindVdsGroups(LdmDgAccess& group);
Common::Error BindVdsVolumes(LdmDgAccess& group);
LdmRecord* FindVolumeByVdsId(const LdmDgAccess& group, const VdsId& id);

// --- group operations through the service ---------------------------------------
// The service's volume type and stripe size for a volume type; false with
// the refusal for RAID 0+1 and unknown types.
Common::Error VdsVolumeTypeFor(Fdisk::LdmVolType type, std::uint32_t& serviceType,
                               std::uint32_t& stripeBytes);
// Null when a disk of an entry is not a member of the group.
bool BuildVdsInputDisks(const LdmDgAccess& group, const std::vector<SpaceRequest>& entries,
                        std::vector<VdsInputDisk>& out);
Common::Error VdsCreateVolume(LdmDgAccess& group, Fdisk::LdmVolType type,
                              const std::vector<SpaceRequest>& entries, std::uint32_t* luid);
Common::Error VdsMigrateDisk(LdmComputer& computer, const VdsId& disk, const VdsId& pack);
Common::Error VdsConvertDiskToDynamic(LdmComputer& computer, LdmDisk& disk);
Common::Error VdsAddDisk(LdmDgAccess& group, LdmDisk& disk);
// The text gets ":\" when it has none ("E" and "E:" both become "E:\").
std::string VdsAccessPathFor(const std::string& text);
Common::Error VdsAssignDriveLetter(LdmDgAccess& group, LdmRecord& volume, const std::string& text);

}  // namespace Ldm
