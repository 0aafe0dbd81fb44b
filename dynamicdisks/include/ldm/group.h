// Disk groups, their records linked into a graph, the per-volume
// summaries, and the raw model of the machine's dynamic disks that the
// start-up scan fills.
#pragma once

#include <cstdint>
#include <list>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/ldm_types.h"
#include "fdisk/model.h"
#include "fdisk/portion.h"
#include "fdisk/ps_driver.h"
#include "ldm/disk.h"
#include "ldm/record.h"

namespace Ldm {

class LdmComputer;
class LdmDgAccess;
class VdsAccess;

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

// One disk's share of a volume change: the disk by its record id, the
// sectors wanted on it, the plex and column the allocation gave it, and the
// window its free region is looked for in (0 and 0: anywhere).
struct SpaceRequest {
  std::uint64_t disk = 0;
  std::uint64_t size = 0;
  std::uint32_t plexIndex = 0;
  std::uint32_t columnIndex = 0;
  std::uint64_t windowStart = 0;
  std::uint64_t windowLength = 0;
};

// Bits of the allocation strategy.
constexpr std::uint32_t kStrategyBestFit = 0x1;
constexpr std::uint32_t kStrategySpread = 0x2;
// The allocation's layout code of a simple volume in one free region.
constexpr std::uint32_t kContiguousSimple = 1;

class LdmDgAccess {
 public:
  // A group found through its first member.
  LdmDgAccess(LdmDisk& first, LdmComputer* computer);
  // A new group without members, holding only its disk-group record
  // (convert.cpp); the name is cut to 31 characters.
  LdmDgAccess(const std::string& groupName, LdmComputer* computer);
  // A new group with no members and no records, as the dynamic-disk
  // service's default group starts (service_groups.cpp).
  LdmDgAccess(const std::string& name, const std::string& hostGuid, const std::string& groupGuid,
              LdmComputer* computer);
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
  // The greatest log commit id of the records and the group's counter.
  std::uint64_t GetMaxLogCommitId() const;

  // --- changes of the in-memory database (none of them writes) ---------
  std::uint64_t NextRid() { return nextRid++; }
  std::uint64_t NextLogCommitId() { return nextLogCommitId += 2; }
  // "Volume", "Stripe" (striped, RAID 0+1) or "Raid" (parity) and the
  // least number from 1 that no record carries; empty for another type.
  std::string MakeVolumeName(Fdisk::LdmVolType type) const;
  // "<volume>-NN" and "<disk>-NN", the least NN from 1 not yet a name.
  std::string MakeChildName(const std::string& parent) const;
  // The least volume number from 5 on that no volume record uses.
  std::uint32_t NextVolumeNumber() const;
  // Puts the record at the front of the list, marked touched.
  LdmRecord& AddRecord(std::unique_ptr<LdmRecord> record);
  // Links a new plex under its volume, a new subdisk under its plex and
  // disk record (front, as the scan links them).
  void LinkChild(LdmRecord& parent, LdmRecord& child);
  // Unlinks the record from its parents and from the list and frees it
  // (with its volume summary, for a volume record).
  void RemoveRecord(LdmRecord* record);
  // Clears every touched mark and forgets the saved copies.
  void BeginChange();
  // Keeps copies of the volume, its plexes and subdisks as they are now, so
  // that a rollback puts back changes made to existing records.
  void SaveVolumeForUndo(LdmRecord& volume);
  // Frees every touched record, puts the saved copies back and rebuilds
  // the free lists.
  void RollbackChange();
  // Rebuilds the free list of every dynamic or stalled member.
  void RefreshFreeSpaces();
  // Makes the summary of a new volume record and registers it.
  LdmVolume& AddVolumeSummary(LdmRecord& volume);
  // Brings a summary up to date with its record.
  void RefreshVolumeSummary(LdmRecord& volume);

  // Every entry must name a member of a type that can take space
  // (dynamic, foreign, stalled).
  Common::Error CheckRequestDisks(const std::vector<SpaceRequest>& requests) const;
  // Builds the records of a new volume from the entries (volume.cpp). The
  // new record's model id goes to *luid. Nothing is written.
  Common::Error CreateVolume(Fdisk::LdmVolType type, std::uint64_t volumeSize,
                             std::uint32_t mirrors, std::uint32_t stripeSize,
                             const std::vector<SpaceRequest>& requests,
                             std::uint32_t partitionType, std::uint32_t* luid);
  // Chooses disks and shares for a new volume when none are given
  // (allocate.cpp); given entries are passed through.
  Common::Error AllocateVolumeSpace(std::uint32_t type, std::uint64_t volumeSize,
                                    std::uint32_t mirrors, std::uint32_t stripeSize,
                                    const std::vector<SpaceRequest>& given,
                                    std::uint32_t strategy, std::vector<SpaceRequest>& out) const;
  // Removes the volume with its plexes and subdisks.
  void DeleteVolume(LdmRecord& volume);
  // Cuts every plex of the volume down to the new size.
  Common::Error ShrinkVolume(LdmRecord& volume, std::uint64_t newSize);
  // Gives every plex (every column of a striped or parity plex) the space
  // of a larger size on the entries' disks (grow.cpp). Flag bit 0x1: never
  // lengthen an existing subdisk, always add new ones; `modifyType` allows
  // a simple volume to become spanned. A failure leaves the records as
  // they were; so does a plex that cannot be given its whole growth.
  Common::Error GrowVolume(LdmRecord& volume, std::uint64_t newSize,
                           const std::vector<SpaceRequest>& requests, bool modifyType,
                           std::uint32_t flags);
  // A new plex holding a copy's room on the entries' disks (mirror.cpp).
  // It is excluded from reading until it has been filled: see
  // ResyncVolume.
  Common::Error AddMirror(LdmRecord& volume, const std::vector<SpaceRequest>& requests);
  // Takes the plex away; the last plex of a volume cannot be removed.
  Common::Error RemoveMirror(LdmRecord& volume, LdmRecord& plex);
  // Moves one column of a parity volume to a disk that holds no part of
  // the volume; the new column is excluded from reading until filled.
  Common::Error ReplaceRAID5Column(LdmRecord& volume, std::uint32_t column, std::uint64_t diskRid);
  // The plexes of the volume that are excluded from reading, and clearing
  // that mark once their bytes have been written.
  std::vector<LdmRecord*> StalePlexes(const LdmRecord& volume) const;
  void MarkResynchronised(LdmRecord& volume);
  // Writes every stale plex or column of the volume from the bytes
  // `reader` (the volume device, which reads around them) delivers, takes
  // back the stalled disks under it and clears the stale marks
  // (resync.cpp). A mirror without a healthy plex, or a parity volume with
  // more than one column bad: 0x109010, nothing written.
  Common::Error ReactivateVolume(LdmRecord& volume, Fdisk::SimpleDisk& reader);

  // --- disks joining and leaving (convert.cpp, convert_basic.cpp) -------
  // Makes a basic disk a member: places its private and public regions,
  // writes a new database on it (nothing when `writeNow` is false), adds
  // its disk record, turns its partitions into simple volumes and rewrites
  // its partition table through the scheme drivers, which are committed.
  // Every check runs before the first write; a failure after it is
  // returned, and the caller puts the disks back.
  Common::Error InitNewDatabase(LdmDisk& disk, bool writeNow, Fdisk::PSDriverFactory& factory);
  // A simple volume lying exactly on [start, start + size) of the disk.
  Common::Error CreateVolumeStrictlyByPartition(LdmDisk& disk, std::uint64_t start,
                                                std::uint64_t size, std::uint32_t partitionType,
                                                bool retained);
  // Takes an empty member out of the group and leaves it basic: its disk
  // record goes, another member becomes primary when needed, and its
  // dynamic-disk partitions (on MBR: every entry, and the PRIVHEAD copies
  // zeroed) are removed through the scheme drivers, which are not
  // committed here. A disk holding a piece of a volume: 0x10901D.
  Common::Error ConvertDiskToBasic(LdmDisk& disk, Fdisk::PSDriverFactory& factory);
  // Removes every volume piece the disk holds: a plex of a mirror, a column
  // of a parity volume that keeps the others, any other volume whole.
  void RemoveDiskVolumes(LdmDisk& disk);
  void RemoveVolumePieceOnDisk(LdmRecord& volume, std::uint64_t diskRid);
  // Takes the disk out of the member list; it becomes basic.
  void DetachDisk(LdmDisk& disk);
  // The first other dynamic member becomes primary (none: no primary).
  void SelectPrimaryDisk();
  void RemoveMember(LdmDisk* disk);

  // Writes the records to every dynamic member (commit.cpp): the first
  // error is returned, and a commit cut short leaves the disks it reached
  // marked inconsistent, which the next scan reports.
  Common::Error CommitDatabase();
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
  // The Virtual Disk Service's id of the group's pack; zero unbound.
  Guid16 vdsPackId{};

 private:
  void ReadRecords();
  void LinkRecord(LdmRecord& record);

  std::vector<std::pair<LdmRecord*, LdmRecord>> undo_;
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
  void RemoveVolume(const LdmVolume* volume);
  LdmDisk* FindDisk(std::uint32_t diskId) const;
  void AddVolume(std::unique_ptr<LdmVolume> volume);

  std::list<std::unique_ptr<LdmDisk>> disks;      // newest first
  std::list<std::unique_ptr<LdmDgAccess>> groups;  // newest first
  std::list<std::unique_ptr<LdmVolume>> volumes;   // newest first
  std::uint32_t volumeCounter = 0;
  std::string hostGuid;
  Fdisk::Layer headLayer;
  // The Virtual Disk Service client the driver handed over; null without.
  VdsAccess* vds = nullptr;
};

// Builds the raw model of every dynamic disk among `disks`; always succeeds.
Common::Error LdmStartInit(const Fdisk::DiskMap& disks, LdmComputer& computer);
// Sets the root flag of the groups the machine boots from.
void MarkRootDiskGroup(LdmComputer& computer);

}  // namespace Ldm
