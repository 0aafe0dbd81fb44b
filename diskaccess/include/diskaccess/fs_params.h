// The description of one partition and its file system, and the options of a
// file-system creation, handed between the disk model, the disk-access layer
// and the resizer. Plain records: construction, destruction and copying only.
#pragma once

#include <cstdint>

#include "common/error.h"

namespace Fdisk {
class SimpleDisk;
}

// File-system type codes (0 to 16): the index into the resizer's processor
// table and the bit position in a type mask.
enum fs_type : int {
  kFsNone = 0,
  kFsExt2 = 4,
  kFsExt3 = 5,
  kFsExt4 = 6,
  kFsHfsPlus = 7,
  kFsHfsx = 8,
  kFsNtfs = 10,
  kFsFat16 = 12,
  kFsFat32 = 13,
  kFsLinuxSwap = 15,
  kFsTypeCount = 17,
};

// Receiver of the resizer's progress reports.
class ResizerCallback {
 public:
  virtual ~ResizerCallback();
  // Returns non-zero to ask the resizer to stop.
  virtual std::uint32_t Progress(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                 std::uint32_t d, std::uint32_t e, std::uint32_t f);
};

struct PartitionParameters {
  PartitionParameters();
  ~PartitionParameters();
  PartitionParameters(const PartitionParameters& other);
  PartitionParameters& operator=(const PartitionParameters& other);

  Fdisk::SimpleDisk* Device;  // not owned; null: parameters only computed
  std::uint32_t SectorSize;   // 0: ask Device
  std::uint64_t Start;
  std::uint64_t Length;
  std::uint64_t SpecialSectors[4];
  std::uint8_t* CancelFlag;   // not owned; non-zero byte cancels the work
  std::int32_t FsType;
  std::uint32_t FsTypeMask;   // bit n for type n; bits 1 to 16 count
  Common::Error Error;        // the last query's error
  std::uint32_t FsParam1;
  std::uint64_t FsLength;
  std::uint64_t FsLength2;
  std::uint32_t SectorsPerBlock;
  std::uint64_t BlockCount;
  std::uint64_t FreeBlocks;
  std::uint32_t FsParam2;
  std::uint32_t FatFlags;     // bit 0: FAT12
  std::uint32_t FsParam3;
  std::uint8_t FsParam4;
  std::uint32_t FsParam5, FsParam6, FsParam7;
  std::uint64_t FsParam8;
  std::uint32_t FsParam9;
  char16_t Label[256];
  std::uint8_t VolumeId[16];
  std::uint64_t ChangeStamp;
  std::uint64_t FsSector;
  bool Valid;
  std::uint32_t FsParam10, FsParam11;
  std::uint64_t FsParam12;
  std::uint64_t FsParam13;
  std::uint64_t FsParam14;
  std::uint64_t FsParam15;
  std::uint32_t FsParam16[16];
  std::uint8_t FsParam17[128];

 private:
  void CopyFrom(const PartitionParameters& other);
};

struct FileSystemOptions {
  FileSystemOptions();  // every member zero

  std::uint32_t FileSystem;
  std::uint32_t BlockSize;
  std::uint32_t ReservedSectors;
  std::uint8_t FatCount;
  std::uint16_t RootSize;
  bool Enable64KClusters;
  std::uint32_t BytesPerInode;
  std::uint32_t Options;
  std::uint32_t OptionsMask;
  bool DisableFitting;
  bool MinimizeSize;
  bool NewSerialNumber;
  char16_t VolumeLabel[256];
  std::uint32_t ExtPartitionStart;
  bool DoNotFixGeometry;
  const char16_t* MergeDirName;    // not owned
  ResizerCallback* Callback;       // not owned
  std::uint64_t* ProcessedBytes;   // not owned
};

// The description of a volume that is not a plain partition. When the kind
// word has 0x10 or 0x20 the record owns an extent table: entries first, then
// every entry's extents in entry order, all in one allocation.
struct EasyVolumeExtent {
  std::uint32_t diskKey;
  std::uint32_t diskNumber;
  std::uint64_t firstSector;
  std::uint64_t sectorCount;
};

struct EasyVolumeEntry {
  std::uint32_t word;
  std::uint32_t extentCount;
  EasyVolumeExtent* extents;
};

struct EasyVolumeTable {
  std::uint32_t word;
  std::uint32_t entryCount;
  EasyVolumeEntry* entries;
};

struct EasyVolumeInfo {
  std::uint32_t kind;
  EasyVolumeTable table;
};

constexpr std::uint32_t kEasyVolumeOwnsTable = 0x10 | 0x20;

// Copies the record; the copy gets its own extent table when it owns one,
// otherwise a cleared table header. False when memory is short (the copy's
// table header is then cleared).
bool CopyEasyVolumeInfo(EasyVolumeInfo& destination, const EasyVolumeInfo& source);
// Gives the header a copy of the table it points at (single allocation).
bool CopyExtentTable(EasyVolumeTable& table);
// Frees the table allocation of a record that owns one.
void FreeEasyVolumeInfo(EasyVolumeInfo& info);
