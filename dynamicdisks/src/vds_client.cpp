// The Virtual Disk Service client: loading, the dynamic provider, the
// binding of the raw model to the service's objects, and the group
// operations the service carries out.
#include "ldm/vds_client.h"

#include <algorithm>
#include <cstdio>

#include "fdisk/named_var_keys.h"
#include "ldm/format.h"
#include "ldm/log.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kVdsLocation = 0x4C445601;
constexpr std::uint32_t kVdsCreateLocation = 0x4C445602;
constexpr std::uint32_t kVdsMigrateLocation = 0x4C445603;
constexpr std::uint32_t kVdsConvertLocation = 0x4C445604;
constexpr std::uint32_t kVdsLetterLocation = 0x4C445605;

VdsAccess* instance = nullptr;
VdsAccess::Maker maker = nullptr;

Common::Error Fail(std::uint32_t location, std::uint32_t code, const char* text) {
  return MakeLdmError(location, code, text);
}
Common::Error FailWith(std::uint32_t location, std::uint32_t code, const char* text,
                       std::int32_t hr) {
  Common::Error e = MakeLdmError(location, code, text);
  Common::AttachHresultCause(e, static_cast<std::uint32_t>(hr));
  return e;
}

bool IsZero(const VdsId& id) {
  return std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0; });
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

void LogGuid(const char* prefix, const VdsId& g) {
  LdmLog("%s%02X%02X%02X%02X-%02X%02X%02X%02X-%02X%02X%02X%02X-%02X%02X%02X%02X", prefix, g[0],
         g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8], g[9], g[10], g[11], g[12], g[13], g[14],
         g[15]);
}

long DiskNumberPlusOne(const LdmDisk& disk) {
  if (disk.modelDisk == nullptr) return 0;
  const auto& bag = disk.modelDisk->GetProperties();
  if (!bag.Contains(Fdisk::NamedVars::Keys::DiskNumber)) return 0;
  try {
    return static_cast<long>(bag.Get(Fdisk::NamedVars::Keys::DiskNumber));
  } catch (const Common::Error&) {
    return 0;
  }
}

}  // namespace

// --- the instance ------------------------------------------------------------------

VdsAccess* VdsAccess::Instance() {
  if (instance == nullptr) instance = new VdsAccess();
  return instance;
}

void VdsAccess::Destroy() {
  delete instance;
  instance = nullptr;
}

void VdsAccess::SetMaker(Maker m) { maker = m; }

std::int32_t VdsAccess::Init() {
  service_.reset();
  hasProvider_ = false;
  if (maker == nullptr) return kVdsNotImplemented;
  std::unique_ptr<VdsService> made = maker();
  if (!made) return kVdsNotImplemented;
  std::int32_t hr = made->Load();
  if (VdsFailed(hr)) return hr;
  LdmLog("Wait while VDS Service ready");
  hr = made->WaitForServiceReady();
  if (VdsFailed(hr)) return hr;
  std::vector<VdsProviderInfo> providers;
  if (!VdsFailed(made->QueryProviders(providers))) {
    for (std::size_t i = 0; i < providers.size(); ++i) {
      const VdsProviderInfo& p = providers[i];
      // A provider that cannot be asked ends the walk, as the service's
      // enumeration would.
      if (!p.generic || !p.properties) break;
      if (p.flags & kVdsProviderDynamic) {
        if (p.software) {
          hasProvider_ = true;
          provider_ = i;
        }
        break;
      }
    }
  }
  if (!hasProvider_) return kVdsFalse;
  service_ = std::move(made);
  return hr;
}

long VdsDiskNumber(const std::u16string& name) {
  if (name.size() <= 15) return -1;
  long number = 0;
  long scale = 1;
  std::size_t i = name.size();
  while (i > 0 && name[i - 1] >= u'0' && name[i - 1] <= u'9') {
    if (scale > 100000000) return -1;  // more digits than a disk number has
    number += (name[i - 1] - u'0') * scale;
    scale *= 10;
    --i;
  }
  return i == name.size() ? -1 : number;
}

// --- binding -----------------------------------------------------------------------

void ClearVdsIds(LdmComputer& computer) {
  for (auto& d : computer.disks) d->vdsId.fill(0);
  for (auto& g : computer.groups) {
    g->vdsPackId.fill(0);
    for (auto& r : g->records) r->vdsId.fill(0);
  }
}

Common::Error RefreshVds(LdmComputer& computer) {
  if (computer.vds == nullptr) return Fail(kVdsLocation, 0x10907F, "Cannot get the VDS interface.");
  VdsService* service = computer.vds->Service();
  if (service == nullptr) {
    return Fail(kVdsLocation, 0x109080, "VDS services are not initialized.");
  }
  std::int32_t hr = service->Reenumerate();
  if (VdsFailed(hr)) {
    return FailWith(kVdsLocation, 0x109083, "Failed rebind the VDS to the database.", hr);
  }
  hr = service->Refresh();
  if (VdsFailed(hr)) {
    return FailWith(kVdsLocation, 0x109082, "Failed to refresh the VDS service.", hr);
  }
  return BindVds(computer);
}

Common::Error BindVds(LdmComputer& computer) {
  ClearVdsIds(computer);
  if (computer.vds == nullptr) return Fail(kVdsLocation, 0x10907E, "Cannot get the VDS interface.");
  Common::Error e = BindVdsDisks(computer);
  if (e) return e;
  for (auto& g : computer.groups) {
    e = BindVdsGroups(*g);
    if (e) return e;
  }
  for (auto& g : computer.groups) {
    LdmLog("Binding volumes in Group : '%s'", g->name.c_str());
    BindVdsVolumes(*g);
  }
  return Common::Error();
}

Common::Error BindVdsDisks(LdmComputer& computer) {
  LdmLog("** Start Binding VDS disks **");
  VdsService* service = computer.vds != nullptr ? computer.vds->Service() : nullptr;
  std::vector<VdsProviderInfo> providers;
  if (service != nullptr && !VdsFailed(service->QueryProviders(providers))) {
    for (std::size_t i = 0; i < providers.size(); ++i) {
      const VdsProviderInfo& p = providers[i];
      if (!p.generic) {
        LdmLog("VDS PROVIDER: Get Generic provider failed");
        continue;
      }
      if (!p.properties) {
        LdmLog("VDS PROVIDER: Get Properties failed");
        continue;
      }
      LdmLog("VDS PROVIDER: %s", Narrow(p.name).c_str());
      if (!p.software) continue;
      std::vector<VdsPackInfo> packs;
      if (VdsFailed(service->QueryPacks(i, packs))) continue;
      for (const VdsPackInfo& pack : packs) {
        LdmLog("VDS Pack");
        std::vector<VdsDiskInfo> disks;
        if (VdsFailed(service->QueryDisks(pack.id, disks))) break;
        for (const VdsDiskInfo& vdsDisk : disks) {
          LdmLog("VDS Disk Name = %s", Narrow(vdsDisk.name).c_str());
          const long number = VdsDiskNumber(vdsDisk.name);
          if (number == -1) continue;
          for (auto& d : computer.disks) {
            const long plusOne = DiskNumberPlusOne(*d);
            if (plusOne != 0 && plusOne == number + 1) {
              d->vdsId = vdsDisk.id;
              LogGuid("Disk GUID = ", d->vdsId);
            }
          }
        }
      }
    }
  }
  LdmLog("** End Binding VDS disks");
  return Common::Error();
}

Common::Error BindVdsGroups(LdmDgAccess& group) {
  LdmComputer& computer = *group.computer;
  if (computer.vds == nullptr) {
    return Fail(kVdsLocation, 0x109081, "Cannot obtain the VDS interface.");
  }
  LdmLog("** Start Binding VDS Groups **");
  VdsService* service = computer.vds->Service();
  std::vector<VdsPackInfo> packs;
  if (service != nullptr && computer.vds->HasProvider() &&
      !VdsFailed(service->QueryPacks(computer.vds->Provider(), packs))) {
    for (const VdsPackInfo& pack : packs) {
      const std::string name = Narrow(pack.name);
      if (group.name.compare(0, name.size(), name) == 0 && IsZero(group.vdsPackId)) {
        group.vdsPackId = pack.id;
        LdmLog("Bind Group = '%s'", group.name.c_str());
        LogGuid("Group GUID = ", group.vdsPackId);
      }
    }
  }
  LdmLog("** End Binding VDS Groups **");
  return Common::Error();
}

namespace {

// The plex of the service with a data extent exactly at that place of the
// disk, and the volume that holds it.
bool FindVdsPlexForExtent(LdmComputer& computer, const VdsId& disk, std::uint64_t offset,
                          std::uint64_t size, VdsId& volume, VdsId& plex) {
  VdsService* service = computer.vds->Service();
  if (service == nullptr || !computer.vds->HasProvider()) return false;
  std::vector<VdsPackInfo> packs;
  if (VdsFailed(service->QueryPacks(computer.vds->Provider(), packs))) return false;
  for (const VdsPackInfo& pack : packs) {
    std::vector<VdsVolumeInfo> volumes;
    if (VdsFailed(service->QueryVolumes(pack.id, volumes))) continue;
    for (const VdsVolumeInfo& v : volumes) {
      for (const VdsPlexInfo& p : v.plexes) {
        for (const VdsExtent& x : p.extents) {
          if (x.type == kVdsExtentData && x.disk == disk && x.offset == offset &&
              x.size == size) {
            volume = v.id;
            plex = p.id;
            return true;
          }
        }
      }
    }
  }
  return false;
}

}  // namespace

Common::Error BindVdsVolumes(LdmDgAccess& group) {
  LdmLog("** Start Binding VDS Volumes **");
  LdmComputer& computer = *group.computer;
  if (computer.vds == nullptr) return Common::Error();
  for (auto& volume : group.records) {
    if (volume->type != kRecordVolume) continue;
    for (LdmRecord* plex : volume->children) {
      for (LdmRecord* sd : plex->children) {
        LdmDisk* disk = group.FindDisk(sd->diskRid);
        if (disk == nullptr || IsZero(disk->vdsId)) continue;
        const std::uint64_t offset = (disk->publicStart + sd->start) * kSectorBytes;
        const std::uint64_t size = sd->size * kSectorBytes;
        VdsId volumeId{};
        VdsId plexId{};
        if (!FindVdsPlexForExtent(computer, disk->vdsId, offset, size, volumeId, plexId)) continue;
        if (IsZero(volume->vdsId)) {
          volume->vdsId = volumeId;
          LdmLog("BindVdsVolumes: Volume Binded, name = '%s'", volume->name.c_str());
        }
        if (IsZero(plex->vdsId)) plex->vdsId = plexId;
      }
    }
  }
  LdmLog("** End Binding VDS Volumes **");
  return Common::Error();
}

LdmRecord* FindVolumeByVdsId(const LdmDgAccess& group, const VdsId& id) {
  for (const auto& r : group.records) {
    if (r->type == kRecordVolume && !IsZero(r->vdsId) && r->vdsId == id) return r.get();
  }
  return nullptr;
}

// --- group operations ----------------------------------------------------------------

Common::Error VdsVolumeTypeFor(Fdisk::LdmVolType type, std::uint32_t& serviceType,
                               std::uint32_t& stripeBytes) {
  stripeBytes = 0;
  switch (type) {
    case Fdisk::kLdmVolSimple:
      serviceType = 10;
      return Common::Error();
    case Fdisk::kLdmVolSpanned:
      serviceType = 11;
      return Common::Error();
    case Fdisk::kLdmVolStriped:
      serviceType = 12;
      stripeBytes = 65536;
      return Common::Error();
    case Fdisk::kLdmVolMirrored:
      serviceType = 13;
      return Common::Error();
    case Fdisk::kLdmVolRaid5:
    case Fdisk::kLdmVolStripeSetWithParity:
      serviceType = 14;
      stripeBytes = 65536;
      return Common::Error();
    case Fdisk::kLdmVolRaid01:
      return MakeLdmError(kVdsCreateLocation, kErrWayRestricted);
    default:
      return MakeLdmError(kVdsCreateLocation, kErrVolumeType);
  }
}

bool BuildVdsInputDisks(const LdmDgAccess& group, const std::vector<SpaceRequest>& entries,
                        std::vector<VdsInputDisk>& out) {
  out.clear();
  for (const SpaceRequest& e : entries) {
    const LdmDisk* disk = group.FindDisk(e.disk);
    if (disk == nullptr) return false;
    VdsInputDisk in;
    in.disk = disk->vdsId;
    in.bytes = e.size * kSectorBytes;
    out.push_back(in);
  }
  return true;
}

Common::Error VdsCreateVolume(LdmDgAccess& group, Fdisk::LdmVolType type,
                              const std::vector<SpaceRequest>& entries, std::uint32_t* luid) {
  if (luid != nullptr) *luid = 0;
  std::uint32_t serviceType = 0;
  std::uint32_t stripe = 0;
  Common::Error e = VdsVolumeTypeFor(type, serviceType, stripe);
  if (e) return e;
  std::vector<VdsInputDisk> disks;
  if (!BuildVdsInputDisks(group, entries, disks)) {
    return Fail(kVdsCreateLocation, 0x109097, "Failed to obtain the input disk list from VDS.");
  }
  LdmComputer& computer = *group.computer;
  VdsService* service = computer.vds != nullptr ? computer.vds->Service() : nullptr;
  if (service == nullptr || IsZero(group.vdsPackId)) {
    return Fail(kVdsCreateLocation, 0x109098, "Failed to obtain the VDS pack.");
  }
  VdsId created{};
  std::int32_t hr = service->CreateVolume(group.vdsPackId, serviceType, disks, stripe, created);
  if (!VdsFailed(hr)) {
    group.primary = nullptr;
    group.ScanDatabase();
    if (BindVds(computer)) hr = kVdsFail;
  }
  LdmRecord* record = VdsFailed(hr) ? nullptr : FindVolumeByVdsId(group, created);
  if (record == nullptr) {
    if (!VdsFailed(hr)) hr = kVdsFail;
    LdmLog("VdsCreateVolume, HRESULT = %x", static_cast<unsigned>(hr));
    return FailWith(kVdsCreateLocation, 0x109088,
                    "Failed to create the volume via VDS. There are operating system restrictions.",
                    hr);
  }
  if (luid != nullptr) *luid = record->ModelId();
  return Common::Error();
}

Common::Error VdsMigrateDisk(LdmComputer& computer, const VdsId& disk, const VdsId& pack) {
  if (computer.vds == nullptr) {
    return Fail(kVdsMigrateLocation, 0x1090A4, "Failed to obtain the VDS interface.");
  }
  VdsService* service = computer.vds->Service();
  if (service == nullptr) {
    return Fail(kVdsMigrateLocation, 0x1090A5, "VDS services are not initialized.");
  }
  bool restart = false;
  const std::int32_t hr = service->MigrateDisk(disk, pack, restart);
  if (VdsFailed(hr)) {
    return FailWith(kVdsMigrateLocation, 0x10908E,
                    "Failed to migrate disks from one partition scheme to another.", hr);
  }
  if (BindVds(computer)) {
    return Fail(kVdsMigrateLocation, 0x1090A3,
                "Failed to convert the disk from one partition scheme to another.");
  }
  if (restart) return Fail(kVdsMigrateLocation, 0x100C0E, "Machine restart is required.");
  return Common::Error();
}

Common::Error VdsConvertDiskToDynamic(LdmComputer& computer, LdmDisk& disk) {
  if (computer.vds == nullptr) {
    return Fail(kVdsConvertLocation, 0x1090A6, "Failed to obtain the VDS interface.");
  }
  VdsService* service = computer.vds->Service();
  if (service == nullptr) {
    return Fail(kVdsConvertLocation, 0x1090A7, "VDS services are not initialized.");
  }
  if (!computer.vds->HasProvider()) {
    return Fail(kVdsConvertLocation, 0x1090A8, "Dynamic VDS provider is not available.");
  }
  VdsPackInfo pack;
  const std::int32_t hr = service->CreatePack(computer.vds->Provider(), pack);
  if (VdsFailed(hr)) {
    return FailWith(kVdsConvertLocation, 0x109090, "Failed to convert the basic disk to dynamic.",
                    hr);
  }
  return VdsMigrateDisk(computer, disk.vdsId, pack.id);
}

Common::Error VdsAddDisk(LdmDgAccess& group, LdmDisk& disk) {
  return VdsMigrateDisk(*group.computer, disk.vdsId, group.vdsPackId);
}

std::string VdsAccessPathFor(const std::string& text) {
  if (text.find(":\\") != std::string::npos) return text;
  // A letter given with its colon already gets only the backslash: "E:"
  // must not become "E::\".
  if (!text.empty() && text.back() == ':') return text + "\\";
  return text + ":\\";
}

Common::Error VdsAssignDriveLetter(LdmDgAccess& group, LdmRecord& volume, const std::string& text) {
  LdmComputer& computer = *group.computer;
  VdsService* service = computer.vds != nullptr ? computer.vds->Service() : nullptr;
  if (service == nullptr || IsZero(volume.vdsId)) {
    return Fail(kVdsLetterLocation, 0x10909E,
                "The interface for volume modification is not available.");
  }
  const std::string path = VdsAccessPathFor(text);
  std::u16string wide;
  for (char c : path) wide.push_back(static_cast<unsigned char>(c));
  const std::int32_t hr = service->AddAccessPath(volume.vdsId, wide);
  if (hr == kVdsFalse) {
    return Fail(kVdsLetterLocation, 0x10909E,
                "The interface for volume modification is not available.");
  }
  if (VdsFailed(hr)) {
    return FailWith(kVdsLetterLocation, 0x10908B, "Failed to assign the drive letter via VDS.", hr);
  }
  return Common::Error();
}

}  // namespace Ldm
