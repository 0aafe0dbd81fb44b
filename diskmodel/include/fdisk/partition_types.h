// Partition-type tables: the MBR type predicates of the MBR
// engine and the GPT partition-type GUID constants.
//
// Each GUID constant is a `Common::Guid` (`Common::GuidTemplate<LittleEndian>`,
// the in-memory and on-disk form) parsed from its text at start-up with
// `GuidFromString`; the parse result is ignored. The constants are inline
// variables, one per program, initialised before any static of a source file
// that includes this header. Code compares them with a partition entry's type
// GUID by value; nothing changes them.
//
// Two values occur twice because two published types share them: Basic data
// equals Linux data, and Apple ZFS equals Solaris /usr. The subset that the
// Windows paths use is in fdisk/partition_types_windows.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/guid.h"

namespace Fdisk {

namespace Mbr {
// True exactly for 0x05, 0x0F and 0x85 (the containers of an extended chain).
bool IsExtendedType(std::int32_t type);
// True exactly for 0x01, 0x04, 0x06, 0x07, 0x0B, 0x0C and 0x0E: the types the
// MBR engine hides by setting bit 0x10 (any other type it hides as 0xBB).
bool IsHideableType(std::int32_t type);
}  // namespace Mbr

// The GUID of a text in the form
// "%08lX-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X" (hex digits of either
// case); all zero when the text does not parse.
Common::Guid GuidConstant(const char* text);

// The full list: one constant per GPT partition type (50).
namespace PartitionTypeGuids {
// EFI System partition
inline const Common::Guid EfiSystem = GuidConstant("C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
// MBR partition scheme
inline const Common::Guid MbrPartitionScheme = GuidConstant("024DEE41-33E7-11D3-9D69-0008C781F39F");
// Microsoft Reserved Partition
inline const Common::Guid MicrosoftReserved = GuidConstant("E3C9E316-0B5C-4DB8-817D-F92DF00215AE");
// Basic data partition
inline const Common::Guid BasicData = GuidConstant("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
// LDM metadata partition
inline const Common::Guid LdmMetadata = GuidConstant("5808C8AA-7E8F-42E0-85D2-E1E90434CFB3");
// LDM data partition
inline const Common::Guid LdmData = GuidConstant("AF9B60A0-1431-4F62-BC68-3311714A69AD");
// Windows Recovery Environment
inline const Common::Guid WindowsRecovery = GuidConstant("DE94BBA4-06D1-4D40-A16A-BFD50179D6AC");
// Linux RAID partition
inline const Common::Guid LinuxRaid = GuidConstant("A19D880F-05FC-4D3B-A006-743F0F84911E");
// Linux swap partition
inline const Common::Guid LinuxSwap = GuidConstant("0657FD6D-A4AB-43C4-84E5-0933C84B4F4F");
// Linux LVM partition
inline const Common::Guid LinuxLvm = GuidConstant("E6D6D379-F507-44C2-A23C-238F2A3DF928");
// Linux data partition
inline const Common::Guid LinuxData = GuidConstant("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
// Linux reserved
inline const Common::Guid LinuxReserved = GuidConstant("8DA63339-0007-60C0-C436-083AC8230908");
// Apple HFS+
inline const Common::Guid AppleHfsPlus = GuidConstant("48465300-0000-11AA-AA11-00306543ECAC");
// Apple UFS
inline const Common::Guid AppleUfs = GuidConstant("55465300-0000-11AA-AA11-00306543ECAC");
// Apple ZFS
inline const Common::Guid AppleZfs = GuidConstant("6A898CC3-1DD2-11B2-99A6-080020736631");
// Apple RAID partition
inline const Common::Guid AppleRaid = GuidConstant("52414944-0000-11AA-AA11-00306543ECAC");
// Apple RAID partition, offline
inline const Common::Guid AppleRaidOffline = GuidConstant("52414944-5F4F-11AA-AA11-00306543ECAC");
// Apple Boot partition
inline const Common::Guid AppleBoot = GuidConstant("426F6F74-0000-11AA-AA11-00306543ECAC");
// Apple Label
inline const Common::Guid AppleLabel = GuidConstant("4C616265-6C00-11AA-AA11-00306543ECAC");
// Apple TV Recovery partition
inline const Common::Guid AppleTvRecovery = GuidConstant("5265636F-7665-11AA-AA11-00306543ECAC");
// FreeBSD boot partition
inline const Common::Guid FreeBsdBoot = GuidConstant("83BD6B9D-7F41-11DC-BE0B-001560B84F0F");
// FreeBSD data partition
inline const Common::Guid FreeBsdData = GuidConstant("516E7CB4-6ECF-11D6-8FF8-00022D09712B");
// FreeBSD swap partition
inline const Common::Guid FreeBsdSwap = GuidConstant("516E7CB5-6ECF-11D6-8FF8-00022D09712B");
// FreeBSD UFS partition
inline const Common::Guid FreeBsdUfs = GuidConstant("516E7CB6-6ECF-11D6-8FF8-00022D09712B");
// FreeBSD Vinum volume manager partition
inline const Common::Guid FreeBsdVinum = GuidConstant("516E7CB8-6ECF-11D6-8FF8-00022D09712B");
// FreeBSD ZFS partition
inline const Common::Guid FreeBsdZfs = GuidConstant("516E7CBA-6ECF-11D6-8FF8-00022D09712B");
// HP-UX data partition
inline const Common::Guid HpUxData = GuidConstant("75894C1E-3AEB-11D3-B7C1-7B03A0000000");
// HP-UX service partition
inline const Common::Guid HpUxService = GuidConstant("E2A1E728-32E3-11D6-A682-7B03A0000000");
// Solaris boot partition
inline const Common::Guid SolarisBoot = GuidConstant("6A82CB45-1DD2-11B2-99A6-080020736631");
// Solaris root partition
inline const Common::Guid SolarisRoot = GuidConstant("6A85CF4D-1DD2-11B2-99A6-080020736631");
// Solaris swap partition
inline const Common::Guid SolarisSwap = GuidConstant("6A87C46F-1DD2-11B2-99A6-080020736631");
// Solaris backup partition
inline const Common::Guid SolarisBackup = GuidConstant("6A8B642B-1DD2-11B2-99A6-080020736631");
// Solaris /usr partition
inline const Common::Guid SolarisUsr = GuidConstant("6A898CC3-1DD2-11B2-99A6-080020736631");
// Solaris /var partition
inline const Common::Guid SolarisVar = GuidConstant("6A8EF2E9-1DD2-11B2-99A6-080020736631");
// Solaris /home partition
inline const Common::Guid SolarisHome = GuidConstant("6A90BA39-1DD2-11B2-99A6-080020736631");
// Solaris alternate sector
inline const Common::Guid SolarisAlternateSector = GuidConstant("6A9283A5-1DD2-11B2-99A6-080020736631");
// Solaris reserved partition 1
inline const Common::Guid SolarisReserved1 = GuidConstant("6A945A3B-1DD2-11B2-99A6-080020736631");
// Solaris reserved partition 2
inline const Common::Guid SolarisReserved2 = GuidConstant("6A9630D1-1DD2-11B2-99A6-080020736631");
// Solaris reserved partition 3
inline const Common::Guid SolarisReserved3 = GuidConstant("6A980767-1DD2-11B2-99A6-080020736631");
// Solaris reserved partition 4
inline const Common::Guid SolarisReserved4 = GuidConstant("6A96237F-1DD2-11B2-99A6-080020736631");
// Solaris reserved partition 5
inline const Common::Guid SolarisReserved5 = GuidConstant("6A8D2AC7-1DD2-11B2-99A6-080020736631");
// IBM General Parallel File System (GPFS) partition
inline const Common::Guid IbmGpfs = GuidConstant("37AFFC90-EF7D-4E96-91C3-2D7AE055B174");
// NetBSD swap partition
inline const Common::Guid NetBsdSwap = GuidConstant("49F48D32-B10E-11DC-B99B-0019D1879648");
// NetBSD FFS partition
inline const Common::Guid NetBsdFfs = GuidConstant("49F48D5A-B10E-11DC-B99B-0019D1879648");
// NetBSD LFS partition
inline const Common::Guid NetBsdLfs = GuidConstant("49F48D82-B10E-11DC-B99B-0019D1879648");
// NetBSD RAID partition
inline const Common::Guid NetBsdRaid = GuidConstant("49F48DAA-B10E-11DC-B99B-0019D1879648");
// NetBSD concatenated partition
inline const Common::Guid NetBsdConcatenated = GuidConstant("2DB519C4-B10F-11DC-B99B-0019D1879648");
// NetBSD encrypted partition
inline const Common::Guid NetBsdEncrypted = GuidConstant("2DB519EC-B10F-11DC-B99B-0019D1879648");
// 0311FC50-01CA-4725-AD77-9ADBB20ACE98
inline const Common::Guid Bare0311FC50 = GuidConstant("0311FC50-01CA-4725-AD77-9ADBB20ACE98");
// BIOS boot partition
inline const Common::Guid BiosBoot = GuidConstant("21686148-6449-6E6F-744E-656564454649");
}  // namespace PartitionTypeGuids

// One constant of a list, for code that needs its name (tests,
// diagnostics); the system itself never walks a list.
struct PartitionTypeGuidEntry {
  const char* name;  // as the design names the type
  const Common::Guid* guid;
};

// The 50 constants of PartitionTypeGuids, in the design's order.
const std::vector<PartitionTypeGuidEntry>& AllPartitionTypeGuids();
constexpr std::size_t kPartitionTypeGuidCount = 50;

// Apple partition-map type names, each in a text buffer of 32 characters;
// nothing reads them.
constexpr std::size_t kApplePartitionTypeNameCount = 16;
constexpr std::size_t kApplePartitionTypeNameSize = 32;
extern const char ApplePartitionTypeNames[kApplePartitionTypeNameCount]
                                         [kApplePartitionTypeNameSize];

}  // namespace Fdisk
