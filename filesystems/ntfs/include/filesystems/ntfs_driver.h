// The NTFS driver: a mounted NTFS volume.
//
// The constructor checks the boot sector, reads MFT record 0 from the
// MFT's first clusters, and then the system files it needs through the
// $MFT's own data: $AttrDef (record 4), $UpCase (record 10), the cluster
// bitmap (record 6) and the version and label in $Volume (record 3).
// Nothing is written at mount. Any damage throws 0x4000d, which the probe
// turns into "not this file system".
//
// What is built so far reads records and their attributes, including
// attributes listed in an $ATTRIBUTE_LIST and spread over extension
// records, volume sizes, label and name order; directories and their
// listings (ntfs_directory.h); and writes: records go back with fresh
// update sequences (and into $MFTMirr for the records it mirrors),
// attribute data through the block cache, clusters come from the cluster
// bitmap, and the first write of a mount cleans $LogFile's restart areas.
// Files open by name through their directories (ntfs_directory.h), each
// record at most once at a time (the open-record table).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/ntfs_bitmap.h"
#include "filesystems/ntfs_boot.h"
#include "filesystems/ntfs_records.h"
#include "filesystems/ntfs_runs.h"
#include "filesystems/ntfs_tables.h"
#include "filesystems/views.h"

namespace filesystems {
namespace ntfs {

constexpr std::uint32_t kNtfsDriverModuleId = 0x7A135000;
constexpr std::uint32_t kNtfsMftModuleId = 0x7A136000;

class NTFSDriver;
class NTFSFile;

// One attribute's value: the header of its first piece (which carries the
// sizes), and either the resident bytes or the runs of every piece joined
// in VCN order. Nothing points into a record image.
struct AttributeValue {
  AttributeRecord header;
  std::vector<std::uint8_t> resident;
  RunList runs;
};

// One entry of an $ATTRIBUTE_LIST.
struct ListEntry {
  std::uint32_t type = 0;
  std::u16string name;
  std::uint64_t lowestVcn = 0;
  std::uint64_t reference = 0;
  std::uint16_t id = 0;
};

// The entries of an $ATTRIBUTE_LIST's value; 0x4000d on an entry shorter
// than its fixed part, of length 0 or unaligned, past the end, or with a
// name outside it.
std::vector<ListEntry> ParseAttributeList(const std::vector<std::uint8_t>& list);

// The raw record layer: a reference-counted cache of MFT records, kept with
// their update sequence undone and checked.
class Mft {
 public:
  // Reads record 0 and the first piece of the $MFT's data.
  explicit Mft(NTFSDriver& driver);
  ~Mft();
  // Gathers every piece of the $MFT's data, which may sit in extension
  // records the first piece maps; the driver calls it once the Mft is its.
  void GatherData();
  Mft(const Mft&) = delete;
  Mft& operator=(const Mft&) = delete;

  // The record's image; adds a reference. 0x4000d on a damaged record.
  const std::uint8_t* GetRecord(std::uint64_t number);
  void ReleaseRecord(std::uint64_t number) noexcept;
  // The image of a record the caller holds, for changing it in place;
  // 0x4000d when it is not held.
  std::uint8_t* MutableRecord(std::uint64_t number);
  // Writes a held record back with a fresh update sequence (bytes past
  // bytes in use zeroed first), and into $MFTMirr when it mirrors it.
  void SaveRecord(std::uint64_t number);
  const AttributeValue& Data() const noexcept { return data_; }
  // Takes free record `number` (its bit already set) as an empty, in-use
  // record: a fresh header, its sequence number moved on from what the
  // record held, nothing else. Held once, like GetRecord.
  std::uint8_t* NewRecord(std::uint64_t number);
  // Records the $MFT's data holds.
  std::uint64_t RecordCount() const noexcept { return recordCount_; }
  std::size_t CachedRecords() const noexcept { return cache_.size(); }

 private:
  struct Entry {
    std::uint32_t references = 0;
    std::vector<std::uint8_t> image;
  };
  void ReadFirstRecord(std::uint8_t* image);

  NTFSDriver& driver_;
  std::map<std::uint64_t, Entry> cache_;
  AttributeValue data_;  // the $MFT's unnamed $DATA
  AttributeValue mirror_;  // $MFTMirr's data, read at the first save
  bool mirrorRead_ = false;
  std::uint64_t recordCount_ = 0;
};

// A held record, released at scope exit.
class RecordHandle {
 public:
  RecordHandle(Mft& mft, std::uint64_t number) : mft_(mft), number_(number), image_(mft.GetRecord(number)) {}
  ~RecordHandle() { mft_.ReleaseRecord(number_); }
  RecordHandle(const RecordHandle&) = delete;
  RecordHandle& operator=(const RecordHandle&) = delete;
  const std::uint8_t* Image() const noexcept { return image_; }

 private:
  Mft& mft_;
  std::uint64_t number_;
  const std::uint8_t* image_;
};

class NTFSDriver : public FileSystemDriverWindows {
 public:
  // `firstSector` (one sector) is used as the boot sector when given, else
  // sector 0 is read. Throws on a volume that is not sound NTFS.
  NTFSDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t length,
             std::uint32_t cacheKey, const std::uint8_t* firstSector, const std::uint8_t* filter,
             std::uint32_t filterBits);
  ~NTFSDriver() override;

  void GetVolumeSizes(std::uint64_t& total, std::uint64_t& free, std::uint64_t& available) override;
  void GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) override;
  int CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;
  void NormalizeNameCase(std::u16string& path) override;
  bool CanBackup() override { return false; }
  bool CanRestore() override { return false; }
  DirectoryObject* CreateDirectoryObject(std::uint32_t directoryId) override;
  const char* GetFileSystemName() override { return "NTFS"; }

  const BootGeometry& Geometry() const noexcept { return geometry_; }
  Mft& GetMft() noexcept { return *mft_; }
  const UpCaseTable& UpCase() const noexcept { return *upcase_; }
  const AttrDefTable& AttrDefs() const noexcept { return *attrDefs_; }
  Bitmap& Clusters() noexcept { return *clusters_; }
  std::uint16_t Version() const noexcept { return version_; }

  // The open file of base record `record`: the one already open, or a new
  // NTFSFile entered in the open-record table (it leaves the table when
  // the framework deletes it).
  FileObject* OpenFileObject(std::uint64_t record);
  void ForgetFileObject(std::uint64_t record) noexcept { openFiles_.erase(record); }
  bool IsFileOpen(std::uint64_t record) const noexcept { return openFiles_.count(record) != 0; }
  // The open file of `record`, or null: changes to an open file's record
  // go through its own FileRecord, whose attributes follow them.
  NTFSFile* OpenFileOf(std::uint64_t record) const noexcept;

  // True when the mount's record filter hides `record`.
  bool IsRecordFilteredOut(std::uint64_t record) const noexcept;

  // The attribute (type, name) of base record `number` whose image is
  // `record`; false when the file has none. With an $ATTRIBUTE_LIST its
  // pieces are gathered from the extension records the list names (unless
  // `baseOnly`, which takes the first piece from the base record alone).
  // 0x4000d on a list entry, extension record or piece that does not fit.
  bool FindAttribute(std::uint64_t number, const std::uint8_t* record, std::uint32_t type,
                     const std::u16string& name, AttributeValue& out, bool baseOnly = false);
  // Reads up to `length` bytes of the value from `offset`; returns the
  // bytes read (fewer at the end of the data). Bytes past the initialised
  // size and in runs without clusters read as zeros.
  std::uint32_t ReadValue(const AttributeValue& value, std::uint64_t offset, std::uint8_t* buffer,
                          std::uint32_t length);
  std::uint64_t ValueSize(const AttributeValue& value) const noexcept {
    return value.header.nonResident ? value.header.dataSize : value.header.valueLength;
  }
  // The whole value of (type, name) of a record; 0x4000d when absent.
  std::vector<std::uint8_t> ReadWholeValue(std::uint64_t record, std::uint32_t type);

  // ---- Writing: clusters, records and the log's restart areas ----
  // Writes `length` bytes (zeros when `source` is null) at byte `offset` of
  // the clusters `runs` map, through the block cache. A cluster that is
  // only partly written is read first when `readPartial`, or when the write
  // does not start at its first byte; otherwise the rest of it is zeroed.
  // A run without clusters or outside the volume is 0x4000d. The first
  // write of a mount cleans $LogFile's restart areas first.
  void WriteClusters(const RunList& runs, std::uint64_t offset, const std::uint8_t* source,
                     std::uint64_t length, bool readPartial);
  // Clears the "NTFS" log client's LSNs in both restart pages, once per
  // mount; failures leave $LogFile as it was.
  void ResetLogFileClients();
  bool LogCleaned() const noexcept { return logCleaned_; }

 private:
  class ClusterStorage;

  BootGeometry geometry_;
  const std::uint8_t* filter_ = nullptr;
  std::uint32_t filterBits_ = 0;
  std::uint16_t version_ = 0;
  std::unique_ptr<Mft> mft_;
  std::unique_ptr<AttrDefTable> attrDefs_;
  std::unique_ptr<UpCaseTable> upcase_;
  std::unique_ptr<ClusterStorage> bitmapStorage_;
  std::unique_ptr<Bitmap> clusters_;
  bool logCleaned_ = false;
  bool resettingLog_ = false;
  std::map<std::uint64_t, FileObject*> openFiles_;
};

}  // namespace ntfs

// A new driver over the volume, or null when it is not a sound NTFS volume.
FileSystemDriver* OpenNTFSVolume(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                 std::uint64_t length, std::uint32_t cacheKey,
                                 const std::uint8_t* firstSector, const std::uint8_t* filter,
                                 std::uint32_t filterBits);

}  // namespace filesystems
