// Disk groups of the raw model around a Windows dynamic-disk service:
// bringing one disk into the model, the lookups of groups and disks, the
// default group of a machine without one, the Windows names of disks, and
// the reconciliation that makes a group's records what the service reports.
//
// The service hands out configuration objects: blocks of its own memory
// whose type, object id, name and detail record sit at fixed offsets. The
// reconciliation reads them only through checked views, so an object or a
// detail record shorter than its fields reads those fields as zero.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "foundation/byteorder.h"
#include "ldm/group.h"

namespace Ldm {

// Byte offsets of a configuration object.
constexpr std::size_t kObjTypeOffset = 14;
constexpr std::size_t kObjIdOffset = 16;
constexpr std::size_t kObjNameOffset = 88;
constexpr std::size_t kObjDetailOffset = 164;
constexpr std::size_t kObjBytes = 168;
// The GUID text of a disk-group object of the service.
constexpr std::size_t kGroupObjGuidOffset = 132;
// The Windows name of the disk in a disk object's detail record.
constexpr std::size_t kDiskDetailWinNameOffset = 45;

// Sizes of the detail records that cover every field the model takes.
constexpr std::size_t kVolumeDetailBytes = 0x208;
constexpr std::size_t kPlexDetailBytes = 0x174;
constexpr std::size_t kSubdiskDetailBytes = 0x1F0;
constexpr std::size_t kDiskDetailBytes = 0x2E4;
constexpr std::size_t kGroupDetailBytes = 0x128;

// One configuration object: its own bytes and its detail record's.
struct ConfigObject {
  Common::ByteView object;
  Common::ByteView detail;

  std::uint16_t Type() const { return object.Le16(kObjTypeOffset); }
  std::uint8_t RecordType() const { return static_cast<std::uint8_t>(Type() & 0xF); }
  std::uint64_t Id() const { return object.Le64(kObjIdOffset); }
  std::string Name() const;
};

// A text of at most `width` bytes at `offset`, ended by its first NUL or
// by the view.
std::string ViewText(const Common::ByteView& view, std::size_t offset, std::size_t width);

// The service's configuration as the reconciliation reads it. The Windows
// client of the dynamic-disk service provides it; tests give their own.
class ServiceConfig {
 public:
  virtual ~ServiceConfig() = default;
  // The service's disk group of that name (its object's bytes); an empty
  // view when the service has none.
  virtual Common::ByteView FindDiskGroup(const std::string& name) = 0;
  virtual void LockConfig() = 0;
  virtual void UnlockConfig() = 0;
  // The group's configuration objects, in the service's order.
  virtual std::vector<ConfigObject> GroupObjects(const Common::ByteView& group) = 0;
};

// The process-wide service; null while none runs.
ServiceConfig* ServiceConfigInstance();
void SetServiceConfigInstance(ServiceConfig* service);

// --- groups and disks of the computer ------------------------------------

// Brings one disk into the model: its type detected again, its PRIVHEAD
// read, and, when it is dynamic, its group found or made and scanned. A
// PRIVHEAD that cannot be trusted makes the disk type 8. Always succeeds.
Common::Error AddDisk(LdmComputer& computer, LdmDisk& disk, LdmDgAccess** group);
LdmDgAccess* FindDiskGroupOfDisk(const LdmComputer& computer, const LdmDisk& disk);
LdmDgAccess* FindDiskGroupByGuid(const LdmComputer& computer, const Common::Guid& guid);
LdmDgAccess* GetRootDiskGroup(const LdmComputer& computer);
bool HasNoDiskGroup(const LdmComputer& computer);
// The disk whose "DiskNumber" minus 1, as "Harddisk%d", is the name.
LdmDisk* FindDiskByWinName(const LdmComputer& computer, const std::string& name);
// The root group of a machine that has none yet, with an empty host id and
// a new random group id, at the front of the list.
Common::Error CreateDefaultDiskGroup(LdmComputer& computer, LdmDgAccess** group);
constexpr const char* kDefaultGroupName = "HarbormarkDg0";

// "Harddisk%d" and "\Device\Harddisk%d" of the disk's "DiskNumber" minus 1;
// empty when the disk has no readable number.
std::string GetWinName(const LdmDisk& disk);
std::u16string GetDeviceName(const LdmDisk& disk);
// The log line of the disk's type.
const char* DiskTypeText(std::uint32_t type);
void DumpDiskType(const LdmDisk& disk);
// The sector of the n-th PRIVHEAD copy.
std::uint64_t GetPrivHeadSector(const LdmDisk& disk, std::uint32_t copy);

// --- records and the reconciliation ---------------------------------------

// Copies the object's fields into the record; false, changing nothing, when
// the record already has another type.
bool UpdateFromWin(LdmRecord& record, const ConfigObject& object);
std::unique_ptr<LdmRecord> RecordFromWin(const ConfigObject& object);
void ClearLinks(LdmDgAccess& group);
void LinkRecords(LdmDgAccess& group);
void ClearNewMarks(LdmDgAccess& group);
LdmRecord* FindNewVolume(const LdmDgAccess& group);
// Makes the group's records equal to what the service reports: reported
// records are updated or made, the others are dropped with their volume
// summaries. Only the in-memory model changes.
void SynchronizeWinAndRawLdm(LdmDgAccess& group);

}  // namespace Ldm
