#include "diskaccess/fs_params.h"

#include <cstdlib>
#include <cstring>
#include <new>

ResizerCallback::~ResizerCallback() = default;

std::uint32_t ResizerCallback::Progress(std::uint32_t, std::uint32_t, std::uint32_t,
                                        std::uint32_t, std::uint32_t, std::uint32_t) {
  return 0;
}

PartitionParameters::PartitionParameters()
    : Device(nullptr),
      SectorSize(0),
      Start(0),
      Length(0),
      SpecialSectors{},
      CancelFlag(nullptr),
      FsType(0),
      FsTypeMask(0),
      FsParam1(0),
      FsLength(0),
      FsLength2(0),
      SectorsPerBlock(0),
      BlockCount(0),
      FreeBlocks(0),
      FsParam2(0),
      FatFlags(0),
      FsParam3(0),
      FsParam4(0),
      FsParam5(0),
      FsParam6(0),
      FsParam7(0),
      FsParam8(0),
      FsParam9(0),
      Label{},
      VolumeId{},
      ChangeStamp(0),
      FsSector(0),
      Valid(false),
      FsParam10(0),
      FsParam11(0),
      FsParam12(0),
      FsParam13(0),
      FsParam14(0),
      FsParam15(0),
      FsParam16{},
      FsParam17{} {}

PartitionParameters::~PartitionParameters() = default;

PartitionParameters::PartitionParameters(const PartitionParameters& other) : PartitionParameters() {
  CopyFrom(other);
}

PartitionParameters& PartitionParameters::operator=(const PartitionParameters& other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

void PartitionParameters::CopyFrom(const PartitionParameters& o) {
  Device = o.Device;
  SectorSize = o.SectorSize;
  Start = o.Start;
  Length = o.Length;
  std::memcpy(SpecialSectors, o.SpecialSectors, sizeof SpecialSectors);
  CancelFlag = o.CancelFlag;
  FsType = o.FsType;
  FsTypeMask = o.FsTypeMask;
  Error = o.Error;  // shares the record
  FsParam1 = o.FsParam1;
  FsLength = o.FsLength;
  FsLength2 = o.FsLength2;
  SectorsPerBlock = o.SectorsPerBlock;
  BlockCount = o.BlockCount;
  FreeBlocks = o.FreeBlocks;
  FsParam2 = o.FsParam2;
  FatFlags = o.FatFlags;
  FsParam3 = o.FsParam3;
  FsParam4 = o.FsParam4;
  FsParam5 = o.FsParam5;
  FsParam6 = o.FsParam6;
  FsParam7 = o.FsParam7;
  FsParam8 = o.FsParam8;
  FsParam9 = o.FsParam9;
  std::memcpy(Label, o.Label, sizeof Label);
  std::memcpy(VolumeId, o.VolumeId, sizeof VolumeId);
  ChangeStamp = o.ChangeStamp;
  FsSector = o.FsSector;
  Valid = o.Valid;
  FsParam10 = o.FsParam10;
  FsParam11 = o.FsParam11;
  FsParam12 = o.FsParam12;
  FsParam13 = o.FsParam13;
  FsParam14 = o.FsParam14;
  FsParam15 = o.FsParam15;
  std::memcpy(FsParam16, o.FsParam16, sizeof FsParam16);
  std::memcpy(FsParam17, o.FsParam17, sizeof FsParam17);
}

FileSystemOptions::FileSystemOptions()
    : FileSystem(0),
      BlockSize(0),
      ReservedSectors(0),
      FatCount(0),
      RootSize(0),
      Enable64KClusters(false),
      BytesPerInode(0),
      Options(0),
      OptionsMask(0),
      DisableFitting(false),
      MinimizeSize(false),
      NewSerialNumber(false),
      VolumeLabel{},
      ExtPartitionStart(0),
      DoNotFixGeometry(false),
      MergeDirName(nullptr),
      Callback(nullptr),
      ProcessedBytes(nullptr) {}

bool CopyExtentTable(EasyVolumeTable& table) {
  const EasyVolumeEntry* entries = table.entries;
  const std::uint32_t count = table.entryCount;
  if (count == 0 || entries == nullptr) {
    table.entries = nullptr;
    return true;
  }
  std::size_t extents = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (entries[i].extents != nullptr) extents += entries[i].extentCount;
  }
  const std::size_t bytes =
      count * sizeof(EasyVolumeEntry) + extents * sizeof(EasyVolumeExtent);
  auto* block = static_cast<unsigned char*>(std::malloc(bytes));
  if (block == nullptr) {
    table.entries = nullptr;
    table.entryCount = 0;
    return false;
  }
  auto* newEntries = reinterpret_cast<EasyVolumeEntry*>(block);
  auto* next = reinterpret_cast<EasyVolumeExtent*>(block + count * sizeof(EasyVolumeEntry));
  for (std::uint32_t i = 0; i < count; ++i) {
    newEntries[i] = entries[i];
    if (entries[i].extents == nullptr || entries[i].extentCount == 0) {
      newEntries[i].extents = nullptr;
      continue;
    }
    std::memcpy(next, entries[i].extents, entries[i].extentCount * sizeof(EasyVolumeExtent));
    newEntries[i].extents = next;
    next += entries[i].extentCount;
  }
  table.entries = newEntries;
  return true;
}

bool CopyEasyVolumeInfo(EasyVolumeInfo& destination, const EasyVolumeInfo& source) {
  destination = source;
  if ((source.kind & kEasyVolumeOwnsTable) != 0) return CopyExtentTable(destination.table);
  destination.table = EasyVolumeTable{};
  return true;
}

void FreeEasyVolumeInfo(EasyVolumeInfo& info) {
  if ((info.kind & kEasyVolumeOwnsTable) != 0) {
    std::free(info.table.entries);
    info.table.entries = nullptr;
  }
}
