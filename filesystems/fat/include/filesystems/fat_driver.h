// The FAT driver: a mounted FAT12, FAT16 or FAT32 volume.
//
// The constructor reads the boot sector, checks every field it uses, picks
// the FAT type from the layout and the cluster count and works out where the
// FATs, the fixed root area (FAT12/16) and the data clusters lie. Any damage
// throws 0x4000d, which the probe turns into "not this file system".
//
// The FAT itself is reached only through a FAT handler, one per mount, that
// reads and changes the active FAT copy in the block cache; the write-back
// copies it to every FAT copy when mirroring is on. Sector numbers here are
// relative to the start of the volume.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filesystems/views.h"

namespace filesystems {

constexpr std::uint32_t kFatVolumeModuleId = 0x7A120000;
constexpr std::uint32_t kFatTableModuleId = 0x7A121000;
constexpr std::uint32_t kFatDirectoryModuleId = 0x7A122000;
constexpr std::uint32_t kFatFileModuleId = 0x7A123000;

// FAT dates and times are local time. Date and time both 0 give 0; the
// 10 ms field counts hundredths of the two-second interval (0 to 199).
std::uint64_t FatTimeToMs(std::uint16_t date, std::uint16_t time, std::uint8_t tenMs);
// Milliseconds since 1970 to the FAT fields; false (and nothing written) for
// a time before 1980 or after 2107 in local time. Null pointers are skipped.
bool MsToFatTime(std::uint16_t* date, std::uint16_t* time, std::uint8_t* tenMs,
                 std::int64_t ms);

// "DFRG" of an open file: the first `bytes` of it become one run of clusters.
struct dfrg_request : control_request {
  dfrg_request() noexcept : control_request{kControlDFRG} {}
  std::uint64_t bytes = 0;
};

// "MKFF" of the root: the entries with these exact 8.3 names become the
// first (and second) entries of the root directory, without their long-name
// entries; the other entries keep their order. Refused while either named
// entry has an open file object.
struct mkff_request : control_request {
  mkff_request() noexcept : control_request{kControlMKFF} {}
  const char16_t* first = nullptr;
  const char16_t* second = nullptr;  // null: only the first
};

// A run of clusters [first, end) and where to continue from (see the
// handler operations for what `next` means in each).
struct ClusterRun {
  std::uint32_t first = 2;
  std::uint32_t end = 2;
  std::uint32_t next = 2;
};

class FATDriver : public FileSystemDriverWindows {
 public:
  class FATHandler;
  class FATDirectory;
  class FATFile;
  class FATIterator;
  enum class FatType { kFat12, kFat16, kFat32 };

  // The published limits of the cluster count of each type: FAT12 below
  // 4085 clusters, FAT16 below 65525; FAT32 up to 0x0FFFFFEE.
  static constexpr std::uint32_t kFat12Limit = 4085;
  static constexpr std::uint32_t kFat16Limit = 65525;
  static constexpr std::uint32_t kFat32MaxClusters = 0x0FFFFFEE;

  // `firstSector` (at least one sector of bytes) is used as the boot sector
  // when given, else sector 0 is read. Throws 0x4000d on a damaged volume.
  FATDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t length,
            std::uint32_t cacheKey, const std::uint8_t* firstSector, const std::uint8_t* filter,
            std::uint32_t filterBits);
  ~FATDriver() override;

  // Free clusters: from FSInfo when it is sound and plausible, else by one
  // scan of the FAT; kept up to date by allocation and freeing after that.
  // With `reportBadFsInfo` a damaged FSInfo sector throws 0x4000d.
  std::uint32_t GetFreeClusterCount(bool reportBadFsInfo);

  void GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                      std::uint64_t& available) override;
  void GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) override;
  int CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;
  void NormalizeNameCase(std::u16string& path) override;
  bool CanBackup() override { return false; }
  bool CanRestore() override { return false; }
  DirectoryObject* CreateDirectoryObject(std::uint32_t directoryId) override;
  const char* GetFileSystemName() override;
  void WriteBackCache() override;
  void Control(control_request* request) override;
  void MoveEntriesToFront(const char16_t* first, const char16_t* second);

  // Takes the next cluster of the allocation cursor (next-fit over the
  // volume), marks it end of chain and returns it; 0x40004 when none is free.
  std::uint32_t AllocateCluster();
  // Frees a chain from its first cluster. The walk is bounded by the cluster
  // count and stops at an entry that is already free, so a cyclic or
  // cross-linked chain neither loops nor frees a cluster twice.
  void FreeClusterChain(std::uint32_t firstCluster);
  // Links `next` after `previous` (both data clusters).
  void LinkCluster(std::uint32_t previous, std::uint32_t next);
  // Ends a chain at `last`. Until the entries that no longer use the rest
  // are written, the volume keeps the old link: a write-back cut short
  // leaves a chain longer than its file, never a file longer than its chain.
  void CutChainAfter(std::uint32_t last);
  // Clusters found free by other means than the cursor become the caller's.
  void TakeClusters(std::uint32_t first, std::uint32_t count);
  // Until the next write-back the volume keeps `volumeValue` in this entry.
  void HoldLink(std::uint32_t cluster, std::uint32_t volumeValue) {
    heldLinks_[cluster] = volumeValue;
  }
  // Frees a chain once the entries that used it are on the volume: until
  // the next write-back its clusters count as free but are not handed out.
  void ReleaseChain(std::uint32_t firstCluster);
  // The runs of a chain in file order; 0x4000d when the chain is longer than
  // the volume has clusters (a cycle). `endMark` receives the value that
  // ended it (an end mark, or 0/a bad value on a broken chain).
  std::vector<ClusterRun> ReadChain(std::uint32_t firstCluster, std::uint32_t* endMark = nullptr);

  FatType Type() const noexcept { return type_; }
  bool IsDataCluster(std::uint32_t cluster) const noexcept {
    return cluster - 2u < clusterCount_;
  }
  std::uint64_t ClusterToSector(std::uint32_t cluster) const noexcept {
    return std::uint64_t(cluster - 2u) * sectorsPerCluster_ + firstDataSector_;
  }
  std::uint32_t ClusterCount() const noexcept { return clusterCount_; }
  std::uint32_t RootCluster() const noexcept { return rootCluster_; }
  std::uint32_t SectorsPerCluster() const noexcept { return sectorsPerCluster_; }
  std::uint32_t ReservedSectors() const noexcept { return reservedSectors_; }
  std::uint32_t FsInfoSector() const noexcept { return fsInfoSector_; }
  std::uint32_t SectorsPerFat() const noexcept { return sectorsPerFat_; }
  std::uint32_t FatCount() const noexcept { return fatCount_; }
  std::uint32_t ActiveFatStart() const noexcept { return activeFatStart_; }
  std::uint32_t RootDirectorySectors() const noexcept { return rootDirectorySectors_; }
  std::uint32_t FirstDataSector() const noexcept { return firstDataSector_; }
  bool Mirroring() const noexcept { return mirroring_; }
  FATHandler& Handler() noexcept { return *handler_; }
  const ClusterRun& AllocationCursor() const noexcept { return cursor_; }

  // Entry filter of the mount (count 0: no filter).
  const std::uint8_t* EntryFilter() const noexcept { return filter_; }
  std::uint32_t EntryFilterBits() const noexcept { return filterBits_; }

 private:
  void Mount(const std::uint8_t* bootSector);
  void UpdateFsInfo();
  bool LabelFromRoot(std::uint8_t label[11]);
  void ChangeFreeCount(std::int32_t delta) noexcept { freeCount_ += std::uint32_t(delta); }
  // The write-back in the order that keeps the volume sound when it stops
  // part-way: clusters nothing on the volume refers to yet, then the
  // reserved area and the FATs (held links as the volume had them), then
  // every other block, then the released chains freed and the FATs again.
  Common::Error WriteFatArea();
  Common::Error WriteDataBlocks(bool freshOnly);
  void ApplyReleases();
  void FreeChain(std::uint32_t firstCluster, bool discardBlocks);

  FatType type_ = FatType::kFat12;
  std::uint32_t clusterCount_ = 0;
  std::uint32_t rootCluster_ = 0;
  const std::uint8_t* filter_ = nullptr;
  std::uint32_t filterBits_ = 0;
  std::uint32_t sectorsPerCluster_ = 0;
  std::uint32_t reservedSectors_ = 0;
  std::uint32_t fsInfoSector_ = 0;
  std::uint32_t sectorsPerFat_ = 0;
  std::uint32_t fatCount_ = 0;
  std::uint32_t activeFatStart_ = 0;
  std::uint32_t rootDirectorySectors_ = 0;
  std::uint32_t firstDataSector_ = 0;
  std::uint32_t fsInfoFreeCount_ = 0;
  std::uint32_t freeCount_ = 0;
  bool freeCountValid_ = false;
  bool mirroring_ = false;
  std::unique_ptr<FATHandler> handler_;
  ClusterRun cursor_;
  std::set<std::uint32_t> freshClusters_;
  std::map<std::uint32_t, std::uint32_t> heldLinks_;
  std::vector<std::uint32_t> releasedChains_;
  std::uint32_t releasedClusters_ = 0;
};

// Reads and changes the active FAT. Entry values: 0 free, 2 to cluster
// count + 1 the next cluster, anything else ends a chain.
class FATDriver::FATHandler {
 public:
  explicit FATHandler(FATDriver* driver) : driver_(driver) {}
  virtual ~FATHandler();

  // The run of the chain that continues at `run.next`: [first, end) of
  // consecutive clusters, `next` the entry of its last cluster. False when
  // `run.next` is not a data cluster.
  virtual bool GetChainRun(ClusterRun& run);
  // The next run of free clusters from `run.next`, wrapping once to 2.
  virtual bool FindFreeRun(ClusterRun& run);
  virtual void SetEntry(std::uint32_t cluster, std::uint32_t value) = 0;
  virtual std::uint32_t CountFreeClusters();
  // The value of one entry (FAT32: its low 28 bits).
  virtual std::uint32_t GetEntry(std::uint32_t cluster) = 0;

 protected:
  // Which window of the FAT holds a cluster's entry: a run never crosses
  // from one window into the next. The FAT12 table is one window.
  virtual std::uint32_t WindowOf(std::uint32_t cluster) const = 0;
  // One past the last cluster of a cluster's window (within the volume).
  std::uint32_t WindowEnd(std::uint32_t cluster) const;

  FATDriver* driver_;
};

// A new driver over the volume, or null when it is not a sound FAT volume.
FileSystemDriver* OpenFATVolume(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                std::uint64_t length, std::uint32_t cacheKey,
                                const std::uint8_t* firstSector, const std::uint8_t* filter,
                                std::uint32_t filterBits);

}  // namespace filesystems
