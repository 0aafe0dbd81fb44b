// Metadata sectors through the block cache and the replay map; the real
// replay of the journal before the first change.
#include "filesystems/hfs_metadata_io.h"

#include <cstring>
#include <vector>

#include "files/file_error.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsReplayModuleId;

}  // namespace

// The volume's own sectors, ignoring the replay map: what the journal
// itself is read through.
class MetadataIo::RawReader : public SectorReader {
 public:
  explicit RawReader(MetadataIo& io) : io_(io) {}
  void ReadSectors(std::uint64_t first, std::uint64_t count, std::uint8_t* out) override {
    for (std::uint64_t i = 0; i < count; ++i) io_.RawRead(first + i, out + i * io_.SectorSize());
  }

 private:
  MetadataIo& io_;
};

MetadataIo::MetadataIo(FileSystemDriver* driver, bool readOnly)
    : driver_(driver), readOnly_(readOnly) {
  if (driver_->SectorSize() == 0) ThrowFileError(1, kModuleId, kFileNotSupported);
}

MetadataIo::~MetadataIo() = default;

void MetadataIo::RawRead(std::uint64_t sector, std::uint8_t* out) {
  if (sector >= PartitionSectors()) ThrowFileError(2, kModuleId, kFileCorrupted);
  BlockHandle block = driver_->GetBlocks(sector, 1, false);
  std::memcpy(out, block.Data(), SectorSize());
}

void MetadataIo::CacheWrite(std::uint64_t sector, const std::uint8_t* in) {
  if (sector >= PartitionSectors()) ThrowFileError(3, kModuleId, kFileCorrupted);
  // Read, not just allocated: the mount's first PrepareWrite writes the
  // block's current bytes back to probe the device, and they must be the
  // volume's own.
  BlockHandle block = driver_->GetBlocks(sector, 1, false);
  block.PrepareWrite();
  std::memcpy(block.Data(), in, SectorSize());
  block.MarkDirty();
  pending_.insert(sector);
}

void MetadataIo::OpenJournal(const VolumeHeader& header) {
  RawReader raw(*this);
  journal_ = std::make_unique<Journal>(raw, header, PartitionSectors(), SectorSize(), map_);
  if (!journal_->NeedsInitialization() || readOnly_) return;
  std::vector<std::uint8_t> head(SectorSize()), info(SectorSize());
  RawRead(journal_->InfoBlockSector(), info.data());
  journal_->MakeInitializedSectors(head.data(), info.data());
  CacheWrite(journal_->HeaderSector(), head.data());
  CacheWrite(journal_->InfoBlockSector(), info.data());
  Flush();
  journal_->SetEmpty();
}

void MetadataIo::ReadSectors(std::uint64_t first, std::uint64_t count, std::uint8_t* out) {
  if (count == 0) return;
  std::uint64_t last = 0;
  if (!Common::CheckedAdd<std::uint64_t>(first, count - 1, &last) || last >= PartitionSectors()) {
    ThrowFileError(4, kModuleId, kFileCorrupted);
  }
  const std::uint32_t size = SectorSize();
  if (!JournalPending()) {
    for (std::uint64_t s = first;; ++s, out += size) {
      RawRead(s, out);
      if (s == last) return;
    }
  }
  std::uint64_t next = first;
  for (;;) {
    // Sector 0 is never journaled, and a range from it cannot be told from
    // the empty range.
    if (next == 0) {
      RawRead(0, out);
      out += size;
      if (last == 0) return;
      next = 1;
      continue;
    }
    const ReplayItem piece = map_.Clip(SectorArea(next, last));
    for (std::uint64_t i = 0; i < piece.target.Length(); ++i, out += size) {
      RawRead(piece.journal.first + i, out);
    }
    if (piece.target.last == last) return;
    next = piece.target.last + 1;
  }
}

void MetadataIo::Replay() {
  if (!JournalPending()) return;
  if (readOnly_) ThrowFileError(10, kModuleId, kFileReadOnly);
  const std::uint32_t size = SectorSize();
  std::vector<std::uint8_t> sector(size);
  // Every journaled sector goes home first: the journal's own sectors are
  // never targets, so reading them raw still sees the journal's copies.
  for (const auto& entry : map_.Items()) {
    const ReplayItem& item = entry.second;
    for (std::uint64_t i = 0; i < item.target.Length(); ++i) {
      RawRead(item.journal.first + i, sector.data());
      CacheWrite(item.target.first + i, sector.data());
    }
  }
  Flush();
  // Only once the blocks are on the volume may the journal say it is empty:
  // a failure in between leaves a journal that replays again.
  RawRead(journal_->HeaderSector(), sector.data());
  journal_->MakeEmptiedHeaderSector(sector.data());
  CacheWrite(journal_->HeaderSector(), sector.data());
  Flush();
  journal_->SetEmpty();
  map_.Clear();
}

void MetadataIo::WriteSectors(std::uint64_t first, std::uint64_t count, const std::uint8_t* in) {
  if (readOnly_) ThrowFileError(20, kModuleId, kFileReadOnly);
  if (count == 0) return;
  std::uint64_t last = 0;
  if (!Common::CheckedAdd<std::uint64_t>(first, count - 1, &last) || last >= PartitionSectors()) {
    ThrowFileError(21, kModuleId, kFileCorrupted);
  }
  Replay();
  for (std::uint64_t i = 0; i < count; ++i) CacheWrite(first + i, in + i * SectorSize());
}

void MetadataIo::Flush() {
  if (pending_.empty()) return;
  // The driver's write-back takes every dirty block in sector order.
  driver_->WriteBackCache();
  pending_.clear();
}

}  // namespace hfsplus
}  // namespace filesystems
