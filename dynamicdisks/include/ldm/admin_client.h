// The administrative service's volume client and the records it returns.
//
// The client's interface is never obtained in this system: every operation
// answers 0x1090B3 ("Volume client of DMADMIN is not initialized.") and
// the reconciliation ends at its first step. The records are complete:
// they are read from the service's detail layouts (the same layouts as the
// dynamic-disk service's configuration objects) and copy themselves into
// the raw model's records.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/ldm_types.h"
#include "foundation/byteorder.h"
#include "ldm/group.h"

namespace Fdisk {

class LdmDmRecord {
 public:
  virtual std::uint64_t GetId() const = 0;
  virtual std::uint32_t GetType() const = 0;
  // Fills the record as the service's update does for this type; a null
  // target changes nothing.
  virtual void CopyTo(Ldm::LdmRecord* target) const = 0;
  virtual ~LdmDmRecord() = default;

  std::string name;
};

class VolumeRecord : public LdmDmRecord {
 public:
  // From the service's volume detail (either of its two layouts).
  static std::unique_ptr<VolumeRecord> FromDetail(const Common::ByteView& detail);
  std::uint64_t GetId() const override { return id; }
  std::uint32_t GetType() const override { return 1; }
  void CopyTo(Ldm::LdmRecord* target) const override;

  std::array<std::uint8_t, 14> state{};
  std::string volType;
  std::uint64_t id = 0;
  std::uint64_t logComId = 0;
  std::uint64_t volId = 0;
  std::uint8_t typeCode = 0;
  std::uint32_t volFlags = 0;
  std::uint32_t volNum = 0;
  std::uint32_t numChild = 0;
  std::uint64_t volSize = 0;
  std::uint32_t partType = 0;
  Ldm::Guid16 guid{};  // in the model's byte order
};

class PlexRecord : public LdmDmRecord {
 public:
  static std::unique_ptr<PlexRecord> FromDetail(const Common::ByteView& detail);
  std::uint64_t GetId() const override { return id; }
  std::uint32_t GetType() const override { return 2; }
  void CopyTo(Ldm::LdmRecord* target) const override;

  std::string secondText;
  std::string state;
  std::uint64_t id = 0;
  std::uint64_t parent = 0;
  std::uint64_t logComId = 0;
  std::uint8_t layout = 0;
  std::uint32_t stripeSiz = 0;
  std::uint32_t plxFlags = 0;
  std::uint32_t numChild = 0;
  std::uint32_t numCol = 0;
};

class SubDiskRecord : public LdmDmRecord {
 public:
  static std::unique_ptr<SubDiskRecord> FromDetail(const Common::ByteView& detail);
  std::uint64_t GetId() const override { return id; }
  std::uint32_t GetType() const override { return 3; }
  void CopyTo(Ldm::LdmRecord* target) const override;

  std::uint64_t id = 0;
  std::uint64_t plexRid = 0;
  std::uint64_t diskRid = 0;
  std::uint64_t logComId = 0;
  std::uint32_t flags = 0;
  std::uint64_t volOff = 0;
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::uint32_t plexIdx = 0;
};

class DiskRecord : public LdmDmRecord {
 public:
  static std::unique_ptr<DiskRecord> FromDetail(const Common::ByteView& detail);
  std::uint64_t GetId() const override { return id; }
  std::uint32_t GetType() const override { return 4; }
  void CopyTo(Ldm::LdmRecord* target) const override;

  std::string guidText;  // up to 64 characters
  std::uint64_t id = 0;
  std::uint64_t logId = 0;
  std::uint32_t flags = 0;
};

}  // namespace Fdisk

namespace Ldm {

// A disk-group entry of the service: its name and id (empty when absent).
struct DmGroupEntry {
  std::string name;
  std::uint64_t id = 0;
  bool Empty() const { return name.empty() && id == 0; }
};

// The volume client of the administrative service. Nothing in this system
// provides one; DmVolumeClientInstance() stays null.
class DmVolumeClient;
DmVolumeClient* DmVolumeClientInstance();

constexpr std::uint32_t kErrDmNotInitialized = 0x1090B3;

Common::Error DmConvertRidToId(std::uint64_t rid, std::uint64_t* id);
Common::Error DmEnumDisks();
Common::Error DmEnumGroupDisks();
Common::Error DmEnumDiskGroups(std::vector<DmGroupEntry>& out);
DmGroupEntry DmFindDiskGroup(const std::string& name);
Common::Error DmEncapsulateDisk(const LdmDisk& disk);

// The group operations on the administrative path.
void SynchronizeDmAndRawLdm(LdmDgAccess& group);
Common::Error BindDmDisks(LdmDgAccess& group);
// Applies one record of the service to the group: found records are
// filled (unless typed otherwise) and marked reported; others are made.
void UpdateFromDmRecord(LdmDgAccess& group, const Fdisk::LdmDmRecord& record);
Common::Error DmCreateVolume(LdmDgAccess& group, Fdisk::LdmVolType type, std::uint64_t size,
                             const std::vector<SpaceRequest>& entries, std::uint32_t* luid);
Common::Error DmAddDisk(LdmDgAccess& group, LdmDisk& disk);

}  // namespace Ldm
