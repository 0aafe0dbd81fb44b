// One disk as the dynamic-disk database code sees it: its kind, the
// PRIVHEAD it carries, the validation of its copy of the database, and the
// areas of its public region that volumes use or may use.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/model.h"
#include "fdisk/portion.h"
#include "ldm/format.h"

namespace Ldm {

class LdmDgAccess;
class LdmComputer;
class LdmRecord;

enum DiskType : std::uint32_t {
  kDiskUnknown = 0,
  kDiskNotInitialized = 1,
  kDiskBasic = 2,
  kDiskDynamic = 3,
  kDiskForeign = 4,
  kDiskMissing = 5,
  kDiskStalled = 6,
  kDiskIncompatible = 7,
  kDiskCorrupt = 8,
};

enum DatabaseState : std::uint32_t {
  kDbValid = 0,
  kDbValidating = 1,
  kDbInconsistent = 2,
  kDbNotValidated = 3,
};

struct Region {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
};

class LdmDisk {
 public:
  // A present disk of the model.
  LdmDisk(Fdisk::Disk* disk, LdmComputer* computer);
  // A member the database names but that is not attached (type 5).
  LdmDisk(const LdmRecord& diskRecord, LdmDgAccess* group, LdmComputer* computer);

  // One transfer through the model disk's device. A multi-sector failure
  // becomes 0x109003 with the model's error as its cause.
  Common::Error ReadSectors(std::uint64_t sector, void* buffer, std::uint64_t count);
  // One write through the model disk's device, announced to the disk
  // model's write journal first, so that an operation that fails later can
  // put the sectors back. A failure becomes 0x109003 with the cause.
  Common::Error WriteSectors(std::uint64_t sector, const void* buffer, std::uint64_t count);

  // Determines the type from sector 0, the layer below and PRIVHEAD.
  Common::Error DetectDiskType();
  DiskType GetDiskType();
  // Reads both PRIVHEAD copies; the one at the end of the database is kept.
  Common::Error ReadPrivHead();
  // Finds the primary TOCBLOCK, the "config" and "log" regions, and checks
  // the VMDB.
  Common::Error ValidateDatabase();
  // The disk's share of its LDM partitions (and free areas) inside the
  // public region.
  void CalculatePartitionalSpace();
  // The partitional space less every subdisk of the group on this disk
  // (dynamic and stalled disks; others keep their list).
  void GetLdmFreeSpaces();
  // The sum of the free list.
  std::uint64_t GetTotalFreeSpace() const;
  // The smallest free region of at least `size` sectors inside the window
  // (length 0: no upper bound), else the largest one inside it; null when
  // none. The regions met are narrowed to the window in the free list
  // itself: callers rebuild it with GetLdmFreeSpaces after use.
  Region* FindFreeRegion(std::uint64_t size, std::uint64_t windowStart, std::uint64_t windowLength);
  // The distinct sectors that hold the disk's PRIVHEAD copies.
  std::vector<std::uint64_t> PrivHeadSectors() const;

  // The model disk's id, or the own id for a missing disk (or the id of the
  // placeholder that stands for it once one was made).
  std::uint32_t GetDiskId() const;
  std::uint64_t DiskSectors() const;

  Fdisk::Disk* modelDisk = nullptr;
  std::uint64_t rid = 0;
  DiskType type = kDiskUnknown;
  std::string diskGuid;
  std::string hostGuid;
  std::string groupGuid;
  std::string groupName;
  LdmDgAccess* group = nullptr;
  bool gpt = false;
  std::uint64_t privateStart = 0;
  std::uint64_t privateSize = 0;
  std::uint64_t publicStart = 0;
  std::uint64_t publicSize = 0;
  DatabaseState dbState = kDbNotValidated;
  std::uint64_t dbTime = 0;
  std::uint64_t configStart = 0;  // absolute
  std::uint64_t configSize = 0;
  std::uint64_t logStart = 0;
  std::uint64_t logSize = 0;
  std::uint64_t privHeadCopy0 = 0;
  std::uint64_t privHeadCopy1 = 0;
  std::uint64_t privHeadSector = 0;
  PrivHead privHead;
  bool counted = false;
  std::vector<Region> partitional;
  std::vector<Region> freeSpace;
  std::uint32_t ownId;
  LdmComputer* computer;
  // The Virtual Disk Service's id of the disk; zero unbound.
  std::array<std::uint8_t, 16> vdsId{};

 private:
  void CheckMbrForLdm(const std::uint8_t* sector0);
  void CheckGptForLdm();
  bool RegionOnDisk(std::uint64_t start, std::uint64_t size) const;
};

// Cuts [start, start + size) out of the regions.
void CutRegion(std::vector<Region>& regions, std::uint64_t start, std::uint64_t size);

}  // namespace Ldm
