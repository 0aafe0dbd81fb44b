// The Windows subset of the GPT partition-type GUIDs, used by
// the Windows back end, the bridge and the dynamic-disk code. Equal by value
// to the same types in fdisk/partition_types.h.
#pragma once

#include <vector>

#include "fdisk/partition_types.h"

namespace Fdisk {

namespace WindowsPartitionTypeGuids {
// Microsoft Reserved Partition
inline const Common::Guid MicrosoftReserved = GuidConstant("E3C9E316-0B5C-4DB8-817D-F92DF00215AE");
// Basic data partition
inline const Common::Guid BasicData = GuidConstant("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
// LDM metadata partition
inline const Common::Guid LdmMetadata = GuidConstant("5808C8AA-7E8F-42E0-85D2-E1E90434CFB3");
// LDM data partition
inline const Common::Guid LdmData = GuidConstant("AF9B60A0-1431-4F62-BC68-3311714A69AD");
// EFI System partition
inline const Common::Guid EfiSystem = GuidConstant("C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
// MBR partition scheme
inline const Common::Guid MbrPartitionScheme = GuidConstant("024DEE41-33E7-11D3-9D69-0008C781F39F");
}  // namespace WindowsPartitionTypeGuids

// The six constants of WindowsPartitionTypeGuids, in the design's order.
const std::vector<PartitionTypeGuidEntry>& AllWindowsPartitionTypeGuids();

}  // namespace Fdisk
