// The 122 named-variable keys of the disk model and the value
// type each is used with throughout the system.
//
// Code never spells a key text inline; it names one of these objects and
// hands it to a container accessor (fdisk/named_vars.h):
//
//     bag.Set(Keys::StageID, stageId);             // unsigned long
//     unsigned long id = bag.GetRequired(Keys::PortionID);
//     bool raw = bag.GetOr(Keys::ForceRawMode, false);
//
// Each key is a `VarKeyT<T>` carrying its value type, so these forms read and
// write exactly that type. Keys that no operation reads or writes ("none" in
// the vocabulary) are plain `VarKey`s. A text that is listed in several groups
// ("Size", "Start", "Type", "BlockSize", ...) is one key object. The keys are
// constant-initialised literals, usable from any static initialiser; a key's
// flags word is 0, so no variable created through a key is read-only.
// "FSSzie" is spelled so in the design and here.
//
// Value types named here but defined elsewhere are declared below; the
// enumerations are opaque declarations with the underlying type int, so
// their definitions must read `enum Name : int { ... };` (plain, not
// `enum class`):
//   Fdisk::AdvancedLocus           fdisk/simple_disk.h
//   Fdisk::HDInterfaceType         disk properties
//   Fdisk::PSDriverFactory         scheme-driver factory
//   Fdisk::DM::PlexType, LayoutType, PlexStatus, VolumeStatus 
//   Fdisk::Mbr::HiddenMode         MBR tables
//   fs_type, ResizerCallback, stddisk   disk-access layer (subsystem 5)
//   Fdisk::LdmVolType, Fdisk::LdmOpRequest  fdisk/ldm_types.h (here)
#pragma once

#include <deque>
#include <string>
#include <typeinfo>
#include <vector>

#include "fdisk/ldm_types.h"
#include "fdisk/named_vars.h"
#include "foundation/guid.h"

class stddisk;
class ResizerCallback;
enum fs_type : int;

namespace Fdisk {
struct AdvancedLocus;
class PSDriverFactory;
enum HDInterfaceType : int;
namespace DM {
enum PlexType : int;
enum LayoutType : int;
enum PlexStatus : int;
enum VolumeStatus : int;
}  // namespace DM
namespace Mbr {
enum HiddenMode : int;
}  // namespace Mbr
}  // namespace Fdisk

namespace Fdisk {
namespace NamedVars {
namespace Keys {

// Object ids (10 keys).
inline constexpr VarKeyT<unsigned long> StageID{"StageID"};
inline constexpr VarKeyT<unsigned long> ComputerID{"ComputerID"};
inline constexpr VarKeyT<unsigned long> DiskID{"DiskID"};
inline constexpr VarKey DiskGroupID{"DiskGroupID"};
inline constexpr VarKeyT<unsigned long> VolumeID{"VolumeID"};
inline constexpr VarKey DriverID{"DriverID"};
inline constexpr VarKeyT<unsigned long> PortionID{"PortionID"};
inline constexpr VarKeyT<bool> RealOperation{"RealOperation"};
inline constexpr VarKeyT<bool> RemoveCleanup{"RemoveCleanup"};
inline constexpr VarKeyT<Fdisk::PSDriverFactory*> PSDriverFactory{"PSDriverFactory"};

// Dynamic-volume operation (27 keys).
inline constexpr VarKeyT<Fdisk::LdmVolType> VolumeType{"VolumeType"};
inline constexpr VarKeyT<VarU64> VolumeSize{"VolumeSize"};
inline constexpr VarKeyT<unsigned long> NumberOfMirrors{"NumberOfMirrors"};
inline constexpr VarKeyT<unsigned long> StripeSize{"StripeSize"};
inline constexpr VarKeyT<unsigned long> Type{"Type"};
inline constexpr VarKeyT<std::deque<Fdisk::LdmOpRequest>> OpRequest{"OpRequest"};
inline constexpr VarKeyT<std::string> DriveHint{"DriveHint"};
inline constexpr VarKey BreakMirror{"BreakMirror"};
inline constexpr VarKeyT<bool> AddMirror{"AddMirror"};
inline constexpr VarKeyT<bool> RemoveMirror{"RemoveMirror"};
inline constexpr VarKeyT<bool> ReplaceColumn{"ReplaceColumn"};
inline constexpr VarKeyT<unsigned long> PlexIndex{"PlexIndex"};
inline constexpr VarKeyT<unsigned long> StripeIndex{"StripeIndex"};
inline constexpr VarKeyT<bool> ModifyVolumeType{"ModifyVolumeType"};
inline constexpr VarKeyT<bool> ReactivateVolume{"ReactivateVolume"};
inline constexpr VarKeyT<bool> WindowsLdm{"WindowsLdm"};
inline constexpr VarKeyT<bool> InitWindowsLdm{"InitWindowsLdm"};
inline constexpr VarKey ImportForeign{"ImportForeign"};
inline constexpr VarKey LdmLuid{"LdmLuid"};
inline constexpr VarKeyT<Common::GuidTemplate<Common::LittleEndian>> GroupGuid{"GroupGuid"};
inline constexpr VarKey PrimaryGroupGuid{"PrimaryGroupGuid"};
inline constexpr VarKey PrimaryGroupName{"PrimaryGroupName"};
inline constexpr VarKeyT<bool> RetainingVolume{"RetainingVolume"};
inline constexpr VarKeyT<bool> ForceRawMode{"ForceRawMode"};
inline constexpr VarKeyT<bool> AutomaticAlign{"AutomaticAlign"};
inline constexpr VarKeyT<bool> AutomaticLayout{"AutomaticLayout"};
inline constexpr VarKeyT<unsigned long> AutoStrategy{"AutoStrategy"};

// Device-mapper plex (6 keys).
inline constexpr VarKeyT<Fdisk::DM::PlexType> PlexTypeName{"PlexTypeName"};
inline constexpr VarKeyT<Fdisk::DM::LayoutType> LayoutName{"LayoutName"};
inline constexpr VarKeyT<unsigned int> ChunkSize{"ChunkSize"};
inline constexpr VarKeyT<bool> Composite{"Composite"};
inline constexpr VarKeyT<Fdisk::DM::PlexStatus> PlexStatus{"PlexStatus"};
inline constexpr VarKeyT<Fdisk::DM::VolumeStatus> VolumeStatus{"VolumeStatus"};

// Disk properties (16 keys).
inline constexpr VarKeyT<unsigned int> SectorSize{"SectorSize"};
inline constexpr VarKeyT<Fdisk::AdvancedLocus> AdvancedLocus{"AdvancedLocus"};
inline constexpr VarKeyT<int> BIOS_NUMBER{"BIOS_NUMBER"};
inline constexpr VarKeyT<Fdisk::HDInterfaceType> HDInterfaceType{"HDInterfaceType"};
inline constexpr VarKeyT<unsigned int> HDInterfaceHost{"HDInterfaceHost"};
inline constexpr VarKeyT<unsigned int> HDInterfaceBus{"HDInterfaceBus"};
inline constexpr VarKeyT<unsigned int> HDInterfaceTarget{"HDInterfaceTarget"};
inline constexpr VarKeyT<std::string> Model{"Model"};
inline constexpr VarKeyT<std::u16string> PhysicalName{"PhysicalName"};
inline constexpr VarKeyT<std::u16string> HWSerialNumber{"HWSerialNumber"};
inline constexpr VarKeyT<unsigned int> NtSerial{"NtSerial"};
inline constexpr VarKeyT<unsigned int> Ordinal{"Ordinal"};
inline constexpr VarKey Major{"Major"};
inline constexpr VarKey Minor{"Minor"};
inline constexpr VarKeyT<bool> Emulated{"Emulated"};
inline constexpr VarKeyT<bool> Corrupted{"Corrupted"};

// Portion (8 keys).
inline constexpr VarKeyT<VarU64> Start{"Start"};
inline constexpr VarKeyT<VarU64> Size{"Size"};
//   "Type": see above.
inline constexpr VarKeyT<bool> PrimaryFlag{"PrimaryFlag"};
inline constexpr VarKeyT<Fdisk::Mbr::HiddenMode> HiddenFlag{"HiddenFlag"};
inline constexpr VarKeyT<bool> BeginAligned{"BeginAligned"};
inline constexpr VarKeyT<bool> EndAligned{"EndAligned"};
inline constexpr VarKeyT<bool> ActiveBootStatus{"ActiveBootStatus"};

// GPT portion (6 keys).
//   "Start": see above.
//   "Size": see above.
inline constexpr VarKeyT<unsigned int> Index{"Index"};
inline constexpr VarKeyT<Common::GuidTemplate<Common::LittleEndian>> PartitionType{"PartitionType"};
inline constexpr VarKeyT<std::u16string> FriendlyName{"FriendlyName"};
inline constexpr VarKeyT<bool> FlagPartitionAsHardwarePart{"FlagPartitionAsHardwarePart"};

// Partition-scheme names (8 keys).
inline constexpr VarKey UnsupPS{"UnsupPS"};
inline constexpr VarKey RawPS{"RawPS"};
inline constexpr VarKey SFPS{"SFPS"};
inline constexpr VarKey MbrPS{"MbrPS"};
inline constexpr VarKey LdmPS{"LdmPS"};
inline constexpr VarKey GptPS{"GptPS"};
inline constexpr VarKey ApplePS{"ApplePS"};
inline constexpr VarKey MdPS{"MdPS"};

// File-system creation (19 keys).
//   "Size": see above.
inline constexpr VarKeyT<fs_type> FS{"FS"};
inline constexpr VarKeyT<unsigned char> BlockSize{"BlockSize"};
inline constexpr VarKeyT<unsigned short> ReservedSectors{"ReservedSectors"};
inline constexpr VarKeyT<unsigned char> FATCount{"FATCount"};
inline constexpr VarKeyT<unsigned short> RootSize{"RootSize"};
inline constexpr VarKeyT<bool> Enable64KClusters{"Enable64KClusters"};
inline constexpr VarKeyT<unsigned long> BytesPerInode{"BytesPerInode"};
inline constexpr VarKeyT<unsigned long> FSOptions{"FSOptions"};
inline constexpr VarKeyT<unsigned long> FSOptionsMask{"FSOptionsMask"};
inline constexpr VarKeyT<bool> DisableFitting{"DisableFitting"};
inline constexpr VarKeyT<bool> MinimizeSize{"MinimizeSize"};
inline constexpr VarKeyT<bool> NewSerialNumber{"NewSerialNumber"};
inline constexpr VarKey SetVolumeLabel{"SetVolumeLabel"};
inline constexpr VarKey VolumeLabel{"VolumeLabel"};
inline constexpr VarKeyT<unsigned long> ExtPartitionStart{"ExtPartitionStart"};
inline constexpr VarKeyT<bool> DoNotFixGeometry{"DoNotFixGeometry"};
inline constexpr VarKeyT<std::u16string> MergeDirName{"MergeDirName"};
inline constexpr VarKeyT<ResizerCallback*> Callback{"Callback"};

// File-system information (31 keys).
inline constexpr VarKey FSType{"FSType"};
inline constexpr VarKey FSSzie{"FSSzie"};
inline constexpr VarKey Error{"Error"};
//   "BlockSize": see above.
inline constexpr VarKey BlockCount{"BlockCount"};
inline constexpr VarKey FreeBlockCount{"FreeBlockCount"};
//   "ReservedSectors": see above.
//   "FSOptions": see above.
inline constexpr VarKey FATSize{"FATSize"};
//   "FATCount": see above.
//   "RootSize": see above.
inline constexpr VarKey UsedRootEntries{"UsedRootEntries"};
inline constexpr VarKey InodeSize{"InodeSize"};
inline constexpr VarKey InodeCount{"InodeCount"};
//   "BytesPerInode": see above.
//   "VolumeLabel": see above.
inline constexpr VarKey SerialNumber{"SerialNumber"};
inline constexpr VarKey WriteCounter{"WriteCounter"};
inline constexpr VarKey UsefulInformation{"UsefulInformation"};
inline constexpr VarKey BadBlockCount{"BadBlockCount"};
inline constexpr VarKey FreeInodeCount{"FreeInodeCount"};
inline constexpr VarKey FilesCount{"FilesCount"};
inline constexpr VarKey DirectoriesCount{"DirectoriesCount"};
inline constexpr VarKey HardLinkCount{"HardLinkCount"};
inline constexpr VarKey SymLinkCount{"SymLinkCount"};
inline constexpr VarKey BlockDeviceCount{"BlockDeviceCount"};
inline constexpr VarKey CharDeviceCount{"CharDeviceCount"};
inline constexpr VarKey SocketCount{"SocketCount"};
inline constexpr VarKey FifoCount{"FifoCount"};
inline constexpr VarKey JournalSize{"JournalSize"};
inline constexpr VarKey SafeShrinkSize{"SafeShrinkSize"};

// Single keys (3 keys).
inline constexpr VarKeyT<std::vector<stddisk*>> OldDiskList{"OldDiskList"};
inline constexpr VarKeyT<unsigned int> DiskNumber{"DiskNumber"};
//   "Size": see above.

}  // namespace Keys

// The vocabulary as data: every key once, in the order of first appearance
// in the vocabulary, with the identity of its value type (null: no typed use).
struct VarKeyInfo {
  const VarKey* key;
  const std::type_info* type;
};
constexpr std::size_t kVarKeyCount = 122;
const std::vector<VarKeyInfo>& AllVarKeys();

}  // namespace NamedVars
}  // namespace Fdisk
