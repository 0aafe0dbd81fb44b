// Disk groups, their records linked into a graph, the per-volume
// summaries, and the raw model of the machine's dynamic disks that the
// start-up scan fills.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/ldm_types.h"
#include "fdisk/model.h"
#include "fdisk/portion.h"
#include "ldm/disk.h"
#include "ldm/record.h"

namespace Ldm {

class LdmComputer;
class LdmDgAccess;

// Which kind of location a portion of the layer below has.
class LdmLowerLayerVisitor : public Fdisk::LocationVisitor {
 public:
  explicit LdmLowerLayerVisitor(Fdisk::PSPortion& portion) { portion.GetLocation().Accept(*this); }
  void Visit(Fdisk::MbrLocation& location) override { mbr = &location; }
  void Visit(Fdisk::GptLocation& location) override { gpt = &location; }
  void Visit(Fdisk::LdmLocation& location) override { ldm = &location; }
  void VisitMissingDisk(Fdisk::Disk& disk) override { missing = &disk; }
  void Visit(Fdisk::RawLocation& location) override { raw = &location; }

  Fdisk::MbrLocation* mbr = nullptr;
  Fdisk::GptLocation* gpt = nullptr;
  Fdisk::LdmLocation* ldm = nullptr;
  Fdisk::Disk* missing = nullptr;
  Fdisk::RawLocation* raw = nullptr;
  bool Nothing() const { return !mbr && !gpt && !ldm && !missing && !raw; }
};

enum VolumeState : std::uint32_t {
  kVolumeInvalid = 0,
  kVolumeHealthy = 1,
  kVolumeFailedRedundancy = 2,
  kVolumeFailed = 3,
};

// One piece of a volume's layout, one per subdisk.
struct LayoutEntry {
  LdmDisk* disk = nullptr;
  std::uint64_t start = 0;   // absolute when the disk is present
  std::uint64_t length = 0;
  std::uint64_t offset = 0;  // in the plex (in the column for striped plexes)
  std::uint32_t plexNumber = 0;
  std::uint32_t column = 0;
  bool present = false;
  std::uint32_t plexFlag = 0;
  std::uint32_t diskState = 0;
  std::uint64_t relativeStart = 0;  // the subdisk's own start, in the public region
  std::string diskName;             // the disk record's name
};

struct LdmVolume {
  LdmDgAccess* group = nullptr;
  LdmRecord* record = nullptr;
  std::uint32_t number = 0;
  std::uint64_t rid = 0;
  std::string name;
  Fdisk::LdmVolType type = Fdisk::kLdmVolInvalid;
  std::uint64_t size = 0;
  std::uint32_t state = 0;
};

class LdmDgAccess {
 public:
  // A group found through its first member.
  LdmDgAccess(LdmDisk& first, LdmComputer* computer);
  LdmDgAccess(const LdmDgAccess&) = delete;
  LdmDgAccess& operator=(const LdmDgAccess&) = delete;

  bool Owns(const LdmDisk& disk) const {
    return disk.hostGuid == hostGuid && disk.groupGuid == groupGuid && disk.groupName == name;
  }
  void AddMember(LdmDisk* disk);

  // Reads the group's database from the newest valid member copy.
  Common::Error ScanDatabase();

  LdmRecord* FindRecord(std::uint64_t rid) const;
  LdmRecord* FindRecordByName(const std::string& name) const;
  LdmDisk* FindDisk(std::uint64_t diskRid) const;
  // The member whose disk GUID text equals the record's (version 3 and, as
  // the reader formats their GUID into the same text, version 4).
  LdmDisk* FindDiskOfRecord(const LdmRecord& diskRecord) const;
  LdmVolume* FindVolume(std::uint64_t rid);

  Fdisk::LdmVolType GetVolumeType(const LdmRecord& volume) const;
  std::uint32_t GetVolumeState(const LdmRecord& volume);
  std::uint64_t GetStripeSize(const LdmRecord& volume) const;
  // False for a volume whose values cannot be read safely: no size, a
  // striped or parity plex without columns or stripe size (or one column
  // for parity), a column index beyond the plex's columns, or a piece on a
  // present disk outside that disk's public region. Such a volume is listed
  // as failed and never read.
  bool IsVolumeUsable(const LdmRecord& volume) const;
  // One entry per subdisk, plex by plex.
  std::vector<LayoutEntry> GetVolumeLayout(const LdmRecord& volume) const;

  std::uint64_t GetMaxRid() const;
  Common::Guid GetGroupGuid() const;
  const std::string& GetName() const { return name; }

  std::list<LdmDisk*> members;
  std::list<LdmVolume*> volumes;
  std::string hostGuid;
  std::string groupGuid;
  std::string name;
  std::uint32_t index = 0;
  LdmDisk* primary = nullptr;
  std::uint64_t dbTime = 0;
  std::vector<std::uint8_t> vmdbImage;
  std::uint32_t dirtyRegionMark = 0;
  std::list<std::unique_ptr<LdmRecord>> records;  // newest first
  std::uint64_t nextLogCommitId = 0;
  std::uint64_t nextRid = 0;
  bool rootLike = false;
  LdmComputer* computer;
  // Sectors read while scanning (for the benchmark).
  std::uint64_t sectorsRead = 0;

 private:
  void ReadRecords();
  void LinkRecord(LdmRecord& record);
};

// Where the start-up learns about the machine: the client-platform flags
// and the boot information of the primary disk group. Portable code asks
// through these; the Windows build installs the real probes.
struct RootGroupSource {
  std::uint32_t (*platformFlags)() = nullptr;
  bool (*primaryGroup)(std::string& name, std::string& id) = nullptr;
};
void SetRootGroupSource(const RootGroupSource& source);
// The client-platform flags from the installed source; 0 without one.
std::uint32_t PlatformFlags();

class LdmComputer {
 public:
  LdmComputer() = default;
  LdmComputer(const LdmComputer&) = delete;
  LdmComputer& operator=(const LdmComputer&) = delete;

  // Deletes every volume entry, group and disk.
  void Clear();
  LdmDisk* FindDisk(std::uint32_t diskId) const;
  void AddVolume(std::unique_ptr<LdmVolume> volume);

  std::list<std::unique_ptr<LdmDisk>> disks;      // newest first
  std::list<std::unique_ptr<LdmDgAccess>> groups;  // newest first
  std::list<std::unique_ptr<LdmVolume>> volumes;   // newest first
  std::uint32_t volumeCounter = 0;
  std::string hostGuid;
  Fdisk::Layer headLayer;
};

// Builds the raw model of every dynamic disk among `disks`; always succeeds.
Common::Error LdmStartInit(const Fdisk::DiskMap& disks, LdmComputer& computer);
// Sets the root flag of the groups the machine boots from.
void MarkRootDiskGroup(LdmComputer& computer);

}  // namespace Ldm
