// The journal of an HFS+ volume: the info block, the journal header and
// the transactions (block lists and their data) in the circular area.
//
// The driver never writes transactions. At mount the pending ones are only
// indexed: the replay map says, for every journaled sector of the volume,
// which journal sector holds its newest copy, so that metadata reads see
// the journaled state while the volume is unchanged. Before the first
// change the map is played out for real (see hfs_metadata_io.h).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "filesystems/hfs_format.h"
#include "filesystems/hfs_volume_header.h"

namespace filesystems {
namespace hfsplus {

// Sectors of the partition, read by the journal and the replay.
class SectorReader {
 public:
  virtual ~SectorReader() = default;
  // `count` sectors from `first` (relative to the partition) into `out`.
  virtual void ReadSectors(std::uint64_t first, std::uint64_t count, std::uint8_t* out) = 0;
};

// One journaled run: `target` sectors of the volume whose newest copy lies
// in the `journal` sectors (same length).
struct ReplayItem {
  SectorArea target;
  SectorArea journal;
};

// The journaled runs by first target sector; runs never overlap, and a
// newer run replaces what it covers of older ones.
class ReplayMap {
 public:
  // The item's target and journal ranges must have the same length (0x4000e).
  void Insert(const ReplayItem& item);
  bool Empty() const noexcept { return items_.empty(); }
  std::size_t Size() const noexcept { return items_.size(); }
  const std::map<std::uint64_t, ReplayItem>& Items() const noexcept { return items_; }
  void Clear() noexcept { items_.clear(); }

  // The longest run at the start of `range` that is read from one
  // contiguous source: {target piece, source piece}, the source being the
  // journal for a journaled run and the target itself otherwise.
  ReplayItem Clip(const SectorArea& range) const;

 private:
  void Put(const ReplayItem& item);
  std::map<std::uint64_t, ReplayItem> items_;
};

// The journal's own checksum: c = (c << 8) ^ (c + byte) over the bytes,
// stored inverted.
std::uint32_t JournalChecksum(const std::uint8_t* bytes, std::size_t size) noexcept;

struct JournalInfoBlock {
  static constexpr std::uint32_t kSize = 180;
  static constexpr std::uint32_t kInFileSystem = 0x1;
  static constexpr std::uint32_t kOnOtherDevice = 0x2;
  static constexpr std::uint32_t kNeedsInit = 0x4;
  std::uint32_t flags = 0;
  std::uint64_t offset = 0;  // bytes from the partition start
  std::uint64_t size = 0;    // bytes
};

struct JournalHeader {
  static constexpr std::uint32_t kSize = 44;
  static constexpr std::uint32_t kMagic = 0x4A4E4C78;
  static constexpr std::uint32_t kEndian = 0x12345678;
  std::uint32_t magic = 0, endian = 0;
  std::uint64_t start = 0, end = 0, size = 0;
  std::uint32_t blhdrSize = 0, checksum = 0, jhdrSize = 0;

  static JournalHeader Parse(const std::uint8_t* bytes) noexcept;
  // The 44 bytes with a fresh checksum.
  void Store(std::uint8_t* bytes) const noexcept;
  bool ChecksumValid(const std::uint8_t* bytes) const noexcept;
};

class Journal {
 public:
  // What indexing found, for tests and traces.
  struct Stats {
    std::uint32_t transactions = 0;    // applied to the map
    std::uint32_t blocks = 0;          // block entries with data indexed
    bool stoppedAtBadChecksum = false; // a transaction's block checksum failed
  };

  // Validates the info block and the journal header and indexes the pending
  // transactions into `map`. A journal that needs initialisation is left
  // as it is (the caller initialises it on a writable mount). Every failed
  // check throws 0x4000d; a journal on another device, a volume that is
  // not journaled and unaligned journal positions throw 0x4000e.
  Journal(SectorReader& reader, const VolumeHeader& header, std::uint64_t partitionSectors,
          std::uint32_t sectorSize, ReplayMap& map);

  const JournalInfoBlock& Info() const noexcept { return info_; }
  const JournalHeader& Header() const noexcept { return header_; }
  const Stats& IndexStats() const noexcept { return stats_; }
  bool NeedsInitialization() const noexcept { return (info_.flags & JournalInfoBlock::kNeedsInit) != 0; }
  bool IsEmpty() const noexcept { return empty_; }

  // Sectors of the info block and of the journal header.
  std::uint64_t InfoBlockSector() const noexcept { return infoSector_; }
  std::uint64_t HeaderSector() const noexcept { return info_.offset / sectorSize_; }
  SectorArea JournalSectors() const noexcept;

  // The journal header's sector once the journal is emptied (start = end)
  // from its current content; the caller writes it after the replayed
  // blocks have reached the volume.
  void MakeEmptiedHeaderSector(std::uint8_t* sector) const noexcept;
  // The fresh header's sector (start = end = one sector, block lists of
  // 16 KiB; the rest of the sector zero) and the info block's sector with
  // the initialisation flag cleared, from its current content.
  void MakeInitializedSectors(std::uint8_t* headerSector, std::uint8_t* infoSector) const noexcept;
  // After the caller wrote those sectors.
  void SetEmpty() noexcept;

 private:
  class Walker;
  void Index(SectorReader& reader, ReplayMap& map);

  std::uint32_t sectorSize_;
  std::uint64_t partitionSectors_;
  std::uint64_t infoSector_ = 0;
  JournalInfoBlock info_;
  JournalHeader header_;
  bool empty_ = false;
  Stats stats_;
};

}  // namespace hfsplus
}  // namespace filesystems
