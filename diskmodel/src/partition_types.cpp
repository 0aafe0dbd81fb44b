// Partition-type tables.
#include "fdisk/partition_types.h"

#include "fdisk/partition_types_windows.h"

namespace Fdisk {

namespace Mbr {

bool IsExtendedType(std::int32_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool IsHideableType(std::int32_t type) {
  switch (type) {
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x0E:
      return true;
    default:
      return false;
  }
}

}  // namespace Mbr

Common::Guid GuidConstant(const char* text) {
  Common::Guid guid{};
  (void)Common::GuidFromString(guid, text);  // the design ignores the result
  return guid;
}

const std::vector<PartitionTypeGuidEntry>& AllPartitionTypeGuids() {
  static const std::vector<PartitionTypeGuidEntry> entries{
      {"EFI System partition", &PartitionTypeGuids::EfiSystem},
      {"MBR partition scheme", &PartitionTypeGuids::MbrPartitionScheme},
      {"Microsoft Reserved Partition", &PartitionTypeGuids::MicrosoftReserved},
      {"Basic data partition", &PartitionTypeGuids::BasicData},
      {"LDM metadata partition", &PartitionTypeGuids::LdmMetadata},
      {"LDM data partition", &PartitionTypeGuids::LdmData},
      {"Windows Recovery Environment", &PartitionTypeGuids::WindowsRecovery},
      {"Linux RAID partition", &PartitionTypeGuids::LinuxRaid},
      {"Linux swap partition", &PartitionTypeGuids::LinuxSwap},
      {"Linux LVM partition", &PartitionTypeGuids::LinuxLvm},
      {"Linux data partition", &PartitionTypeGuids::LinuxData},
      {"Linux reserved", &PartitionTypeGuids::LinuxReserved},
      {"Apple HFS+", &PartitionTypeGuids::AppleHfsPlus},
      {"Apple UFS", &PartitionTypeGuids::AppleUfs},
      {"Apple ZFS", &PartitionTypeGuids::AppleZfs},
      {"Apple RAID partition", &PartitionTypeGuids::AppleRaid},
      {"Apple RAID partition, offline", &PartitionTypeGuids::AppleRaidOffline},
      {"Apple Boot partition", &PartitionTypeGuids::AppleBoot},
      {"Apple Label", &PartitionTypeGuids::AppleLabel},
      {"Apple TV Recovery partition", &PartitionTypeGuids::AppleTvRecovery},
      {"FreeBSD boot partition", &PartitionTypeGuids::FreeBsdBoot},
      {"FreeBSD data partition", &PartitionTypeGuids::FreeBsdData},
      {"FreeBSD swap partition", &PartitionTypeGuids::FreeBsdSwap},
      {"FreeBSD UFS partition", &PartitionTypeGuids::FreeBsdUfs},
      {"FreeBSD Vinum volume manager partition", &PartitionTypeGuids::FreeBsdVinum},
      {"FreeBSD ZFS partition", &PartitionTypeGuids::FreeBsdZfs},
      {"HP-UX data partition", &PartitionTypeGuids::HpUxData},
      {"HP-UX service partition", &PartitionTypeGuids::HpUxService},
      {"Solaris boot partition", &PartitionTypeGuids::SolarisBoot},
      {"Solaris root partition", &PartitionTypeGuids::SolarisRoot},
      {"Solaris swap partition", &PartitionTypeGuids::SolarisSwap},
      {"Solaris backup partition", &PartitionTypeGuids::SolarisBackup},
      {"Solaris /usr partition", &PartitionTypeGuids::SolarisUsr},
      {"Solaris /var partition", &PartitionTypeGuids::SolarisVar},
      {"Solaris /home partition", &PartitionTypeGuids::SolarisHome},
      {"Solaris alternate sector", &PartitionTypeGuids::SolarisAlternateSector},
      {"Solaris reserved partition 1", &PartitionTypeGuids::SolarisReserved1},
      {"Solaris reserved partition 2", &PartitionTypeGuids::SolarisReserved2},
      {"Solaris reserved partition 3", &PartitionTypeGuids::SolarisReserved3},
      {"Solaris reserved partition 4", &PartitionTypeGuids::SolarisReserved4},
      {"Solaris reserved partition 5", &PartitionTypeGuids::SolarisReserved5},
      {"IBM General Parallel File System (GPFS) partition", &PartitionTypeGuids::IbmGpfs},
      {"NetBSD swap partition", &PartitionTypeGuids::NetBsdSwap},
      {"NetBSD FFS partition", &PartitionTypeGuids::NetBsdFfs},
      {"NetBSD LFS partition", &PartitionTypeGuids::NetBsdLfs},
      {"NetBSD RAID partition", &PartitionTypeGuids::NetBsdRaid},
      {"NetBSD concatenated partition", &PartitionTypeGuids::NetBsdConcatenated},
      {"NetBSD encrypted partition", &PartitionTypeGuids::NetBsdEncrypted},
      {"0311FC50-01CA-4725-AD77-9ADBB20ACE98", &PartitionTypeGuids::Bare0311FC50},
      {"BIOS boot partition", &PartitionTypeGuids::BiosBoot},
  };
  return entries;
}

const std::vector<PartitionTypeGuidEntry>& AllWindowsPartitionTypeGuids() {
  static const std::vector<PartitionTypeGuidEntry> entries{
      {"Microsoft Reserved Partition", &WindowsPartitionTypeGuids::MicrosoftReserved},
      {"Basic data partition", &WindowsPartitionTypeGuids::BasicData},
      {"LDM metadata partition", &WindowsPartitionTypeGuids::LdmMetadata},
      {"LDM data partition", &WindowsPartitionTypeGuids::LdmData},
      {"EFI System partition", &WindowsPartitionTypeGuids::EfiSystem},
      {"MBR partition scheme", &WindowsPartitionTypeGuids::MbrPartitionScheme},
  };
  return entries;
}

// Type names of the Apple partition map.
const char ApplePartitionTypeNames[kApplePartitionTypeNameCount][kApplePartitionTypeNameSize] = {
    "Apple_partition_map", "Apple_Driver",      "Apple_Driver43",     "Apple_MFS",
    "Apple_HFS",           "Apple_Unix_SVR2",   "Apple_PRODOS",       "Apple_Free",
    "Apple_Scratch",       "Apple_Driver_ATA",  "Apple_Driver_ATAPI", "Apple_Driver43_CD",
    "Apple_FWDriver",      "Apple_Void",        "Apple_Patches",      "Apple_HFSX",
};

}  // namespace Fdisk
