// Metadata sectors of one HFS+ mount, through the framework's block cache
// and the journal's replay map.
//
// Every request this driver makes of the block cache is one sector: the
// cache returns a block found at a first sector unchanged whatever count
// was asked, so mixing granularities (journal blocks by sector and by
// allocation block, nodes at node size) would hand out blocks shorter than
// the caller expects. One fixed granularity keeps every request exact.
//
// Until the journal is replayed, reads of journaled sectors come from the
// journal and the volume is left untouched; the first write replays the
// journal for real: the journaled blocks reach their home sectors on the
// device first, and only then the journal header that marks it empty.
#pragma once

#include <cstdint>
#include <memory>
#include <set>

#include "filesystems/driver.h"
#include "filesystems/hfs_journal.h"

namespace filesystems {
namespace hfsplus {

class MetadataIo : public SectorReader {
 public:
  MetadataIo(FileSystemDriver* driver, bool readOnly);
  ~MetadataIo() override;

  FileSystemDriver* Driver() const noexcept { return driver_; }
  std::uint32_t SectorSize() const noexcept { return driver_->SectorSize(); }
  std::uint64_t PartitionSectors() const noexcept { return driver_->PartitionSize(); }
  bool ReadOnly() const noexcept { return readOnly_; }
  void SetReadOnly() noexcept { readOnly_ = true; }

  // Opens the journal of a journaled volume (the header was checked) and
  // indexes its transactions. A journal that asks for initialisation gets a
  // fresh header on a writable mount, written at once.
  void OpenJournal(const VolumeHeader& header);
  Journal* GetJournal() const noexcept { return journal_.get(); }
  const ReplayMap& Map() const noexcept { return map_; }
  bool JournalPending() const noexcept { return journal_ && !journal_->IsEmpty(); }

  // Sectors as the journal says they are.
  void ReadSectors(std::uint64_t first, std::uint64_t count, std::uint8_t* out) override;
  // Replays a pending journal, then stores the bytes in the cache as dirty
  // blocks and remembers the sectors for Flush. A read-only mount: 0x4000c.
  void WriteSectors(std::uint64_t first, std::uint64_t count, const std::uint8_t* in);
  // Writes every sector written since the last Flush to the device.
  void Flush();
  // Plays the journal out for real; nothing when there is none or it is empty.
  void Replay();

 private:
  class RawReader;
  void RawRead(std::uint64_t sector, std::uint8_t* out);
  void CacheWrite(std::uint64_t sector, const std::uint8_t* in);

  FileSystemDriver* driver_;
  bool readOnly_;
  ReplayMap map_;
  std::unique_ptr<Journal> journal_;
  std::set<std::uint64_t> pending_;
};

}  // namespace hfsplus
}  // namespace filesystems
