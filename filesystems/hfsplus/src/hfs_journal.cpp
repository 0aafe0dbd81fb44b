// The journal: validation of the info block and the header, and the
// indexing of pending transactions into the replay map.
#include "filesystems/hfs_journal.h"

#include <cstring>
#include <vector>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsJournalModuleId;
constexpr std::uint64_t kNoBlock = ~std::uint64_t(0);
constexpr std::uint32_t kChecksumsValid = 0x1;
constexpr std::uint64_t kMinJournalSize = 0x800000;
constexpr std::uint64_t kMaxJournalSize = 0x20000000;
constexpr std::uint32_t kMinBlockListSize = 4096;
constexpr std::uint32_t kMaxBlockListSize = 16384;
constexpr std::uint32_t kNewBlockListSize = 0x4000;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }
[[noreturn]] void NotSupported(std::uint32_t site) {
  ThrowFileError(site, kModuleId, kFileNotSupported);
}

}  // namespace

// ---- checksum and header ---------------------------------------------------

std::uint32_t JournalChecksum(const std::uint8_t* bytes, std::size_t size) noexcept {
  std::uint32_t c = 0;
  for (std::size_t i = 0; i < size; ++i) c = (c << 8) ^ (c + bytes[i]);
  return ~c;
}

JournalHeader JournalHeader::Parse(const std::uint8_t* b) noexcept {
  JournalHeader h;
  h.magic = Common::LoadLe32(b);
  h.endian = Common::LoadLe32(b + 4);
  h.start = Common::LoadLe64(b + 8);
  h.end = Common::LoadLe64(b + 16);
  h.size = Common::LoadLe64(b + 24);
  h.blhdrSize = Common::LoadLe32(b + 32);
  h.checksum = Common::LoadLe32(b + 36);
  h.jhdrSize = Common::LoadLe32(b + 40);
  return h;
}

void JournalHeader::Store(std::uint8_t* b) const noexcept {
  Common::StoreLe32(b, magic);
  Common::StoreLe32(b + 4, endian);
  Common::StoreLe64(b + 8, start);
  Common::StoreLe64(b + 16, end);
  Common::StoreLe64(b + 24, size);
  Common::StoreLe32(b + 32, blhdrSize);
  Common::StoreLe32(b + 36, 0);
  Common::StoreLe32(b + 40, jhdrSize);
  Common::StoreLe32(b + 36, JournalChecksum(b, kSize));
}

bool JournalHeader::ChecksumValid(const std::uint8_t* bytes) const noexcept {
  std::uint8_t copy[kSize];
  std::memcpy(copy, bytes, kSize);
  Common::StoreLe32(copy + 36, 0);
  return JournalChecksum(copy, kSize) == checksum;
}

// ---- replay map ------------------------------------------------------------

void ReplayMap::Put(const ReplayItem& item) { items_[item.target.first] = item; }

void ReplayMap::Insert(const ReplayItem& item) {
  if (item.target.Empty() || item.target.Length() != item.journal.Length()) {
    ThrowFileError(40, kHfsReplayModuleId, kFileNotSupported);
  }
  const SectorArea& t = item.target;
  // Every older run that shares a sector with the new one keeps only what
  // lies outside it, the run that starts before the new one included.
  auto it = items_.lower_bound(t.first);
  if (it != items_.begin()) {
    auto before = std::prev(it);
    if (before->second.target.last >= t.first) it = before;
  }
  std::vector<ReplayItem> keep;
  while (it != items_.end() && it->second.target.first <= t.last) {
    const ReplayItem old = it->second;
    it = items_.erase(it);
    if (old.target.first < t.first) {
      const std::uint64_t n = t.first - old.target.first;
      keep.push_back({SectorArea::FromCount(old.target.first, n),
                      SectorArea::FromCount(old.journal.first, n)});
    }
    if (old.target.last > t.last) {
      const std::uint64_t skip = t.last + 1 - old.target.first;
      const std::uint64_t n = old.target.last - t.last;
      keep.push_back({SectorArea::FromCount(t.last + 1, n),
                      SectorArea::FromCount(old.journal.first + skip, n)});
    }
  }
  for (const ReplayItem& k : keep) Put(k);
  Put(item);
}

ReplayItem ReplayMap::Clip(const SectorArea& range) const {
  if (range.Empty() || items_.empty()) return {range, range};
  auto it = items_.upper_bound(range.first);
  if (it != items_.begin()) {
    const ReplayItem& before = std::prev(it)->second;
    if (before.target.last >= range.first) {
      // The range starts inside a journaled run.
      const std::uint64_t skip = range.first - before.target.first;
      const std::uint64_t n = std::min(before.target.last, range.last) - range.first + 1;
      return {SectorArea::FromCount(range.first, n),
              SectorArea::FromCount(before.journal.first + skip, n)};
    }
  }
  // Not journaled up to the next run (or the range's end).
  std::uint64_t last = range.last;
  if (it != items_.end() && it->second.target.first <= range.last) last = it->second.target.first - 1;
  const SectorArea plain(range.first, last);
  return {plain, plain};
}

// ---- walking the circular area ----------------------------------------------

// Reads the circular area [jhdr_size, size) of the journal byte by byte
// position, wrapping at its end, and remembers how far it went so that no
// walk can circle forever.
class Journal::Walker {
 public:
  Walker(SectorReader& reader, const JournalInfoBlock& info, const JournalHeader& header,
         std::uint32_t sectorSize)
      : reader_(reader),
        offset_(info.offset),
        first_(header.jhdrSize),
        last_(info.size),
        sectorSize_(sectorSize),
        position_(header.start) {}

  std::uint64_t Position() const noexcept { return position_; }
  std::uint64_t AreaLength() const noexcept { return last_ - first_; }

  // Advances by n bytes, counting them against the area's length: more
  // than one turn around the area means the sizes are corrupt.
  void Advance(std::uint64_t n) {
    if (n >= AreaLength()) Corrupted(50);
    walked_ += n;
    if (walked_ > AreaLength()) Corrupted(51);
    position_ += n;
    if (position_ >= last_) position_ = first_ + (position_ - last_);
  }

  // The n bytes at the current position, without moving.
  std::vector<std::uint8_t> Peek(std::uint64_t n) {
    if (n >= AreaLength()) Corrupted(52);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(n));
    std::uint64_t pos = position_;
    std::uint64_t done = 0;
    std::vector<std::uint8_t> sector(sectorSize_);
    while (done < n) {
      const std::uint64_t abs = offset_ + pos;
      const std::uint64_t inSector = abs % sectorSize_;
      const std::uint64_t take = std::min<std::uint64_t>({n - done, sectorSize_ - inSector, last_ - pos});
      reader_.ReadSectors(abs / sectorSize_, 1, sector.data());
      std::memcpy(out.data() + done, sector.data() + inSector, std::size_t(take));
      done += take;
      pos += take;
      if (pos >= last_) pos = first_;
    }
    return out;
  }

  // The journal sectors (absolute, partition-relative) that hold the n
  // bytes at the current position, as one or two runs (two when they wrap).
  std::vector<SectorArea> Runs(std::uint64_t n) const {
    std::vector<SectorArea> runs;
    std::uint64_t pos = position_;
    while (n) {
      const std::uint64_t take = std::min(n, last_ - pos);
      runs.push_back(SectorArea::FromCount((offset_ + pos) / sectorSize_, take / sectorSize_));
      n -= take;
      pos += take;
      if (pos >= last_) pos = first_;
    }
    return runs;
  }

 private:
  SectorReader& reader_;
  std::uint64_t offset_, first_, last_;
  std::uint32_t sectorSize_;
  std::uint64_t position_;
  std::uint64_t walked_ = 0;
};

// ---- the journal -------------------------------------------------------------

Journal::Journal(SectorReader& reader, const VolumeHeader& vh, std::uint64_t partitionSectors,
                 std::uint32_t sectorSize, ReplayMap& map)
    : sectorSize_(sectorSize), partitionSectors_(partitionSectors) {
  if (!vh.IsJournaled() || vh.JournalInfoBlock() == 0) NotSupported(60);
  if (sectorSize == 0) NotSupported(61);
  vh.CheckJournalInfoBlockLocation(partitionSectors, sectorSize);
  infoSector_ = vh.BlockToSector(vh.JournalInfoBlock(), sectorSize);

  std::vector<std::uint8_t> sector(sectorSize);
  reader.ReadSectors(infoSector_, 1, sector.data());
  info_.flags = Common::LoadBe32(sector.data());
  info_.offset = Common::LoadBe64(sector.data() + 36);
  info_.size = Common::LoadBe64(sector.data() + 44);
  if (info_.flags & JournalInfoBlock::kOnOtherDevice) NotSupported(62);
  if (!(info_.flags & JournalInfoBlock::kInFileSystem)) Corrupted(63);

  const std::uint64_t volumeBytes = std::uint64_t(vh.TotalBlocks()) * vh.BlockSize();
  if (info_.offset < vh.BlockSize() || info_.offset >= volumeBytes) Corrupted(64);
  if (info_.size < kMinJournalSize || info_.size > kMaxJournalSize || info_.size >= volumeBytes ||
      info_.offset + info_.size >= volumeBytes) {
    Corrupted(65);
  }
  if (info_.offset % sectorSize != 0) NotSupported(66);
  if (info_.size % sectorSize != 0) Corrupted(68);
  // The journal must lie inside the partition itself, not only inside the
  // blocks the header claims.
  if ((info_.offset + info_.size) / sectorSize > partitionSectors) Corrupted(67);
  if (NeedsInitialization()) return;

  reader.ReadSectors(HeaderSector(), 1, sector.data());
  header_ = JournalHeader::Parse(sector.data());
  if (header_.magic != JournalHeader::kMagic || header_.endian != JournalHeader::kEndian) {
    Corrupted(70);
  }
  if (header_.size != info_.size) Corrupted(71);
  if (header_.blhdrSize < kMinBlockListSize || header_.blhdrSize > kMaxBlockListSize ||
      header_.blhdrSize % sectorSize != 0) {
    Corrupted(72);
  }
  if (header_.jhdrSize != sectorSize) Corrupted(73);
  if (header_.start < header_.jhdrSize || header_.start >= header_.size ||
      header_.end < header_.jhdrSize || header_.end >= header_.size ||
      header_.start % sectorSize != 0 || header_.end % sectorSize != 0) {
    Corrupted(74);
  }
  if (!header_.ChecksumValid(sector.data())) Corrupted(75);
  if (header_.start == header_.end) {
    empty_ = true;
    return;
  }
  Index(reader, map);
}

SectorArea Journal::JournalSectors() const noexcept {
  return SectorArea::FromCount(info_.offset / sectorSize_, info_.size / sectorSize_);
}

void Journal::Index(SectorReader& reader, ReplayMap& map) {
  Walker walker(reader, info_, header_, sectorSize_);
  const SectorArea journal = JournalSectors();
  const std::uint32_t blhdr = header_.blhdrSize;
  while (walker.Position() != header_.end) {
    std::vector<std::uint8_t> head = walker.Peek(blhdr);
    const std::uint16_t count = Common::LoadLe16(head.data() + 2);
    const std::uint32_t used = Common::LoadLe32(head.data() + 4);
    const std::uint32_t stored = Common::LoadLe32(head.data() + 8);
    const std::uint32_t flags = Common::LoadLe32(head.data() + 12);
    std::uint8_t first32[32];
    std::memcpy(first32, head.data(), 32);
    Common::StoreLe32(first32 + 8, 0);
    if (JournalChecksum(first32, 32) != stored) Corrupted(80);
    // Entry 0 is the list's own: fewer than one entry is no list at all,
    // and the entries must fit in the space reserved for them.
    if (count < 1 || (std::uint64_t(count) + 1) * 16 > blhdr) Corrupted(81);
    if (used < blhdr || used >= walker.AreaLength() || used % sectorSize_ != 0) Corrupted(82);

    struct Entry {
      std::uint64_t bnum;
      std::uint32_t bsize;
      std::uint32_t checksum;
    };
    std::vector<Entry> entries;
    std::uint64_t dataBytes = 0;
    for (std::uint32_t i = 1; i < count; ++i) {
      const std::uint8_t* e = head.data() + 16 * (i + 1);
      Entry entry{Common::LoadLe64(e), Common::LoadLe32(e + 8), Common::LoadLe32(e + 12)};
      if (entry.bsize == 0 || entry.bsize % sectorSize_ != 0) Corrupted(83);
      dataBytes += entry.bsize;
      if (entry.bnum != kNoBlock) {
        // Journaled blocks go home inside the partition and never into the
        // journal itself.
        const std::uint64_t n = entry.bsize / sectorSize_;
        if (entry.bnum >= partitionSectors_ || n > partitionSectors_ - entry.bnum) Corrupted(84);
        const SectorArea target = SectorArea::FromCount(entry.bnum, n);
        if (!SectorArea::Intersect(target, journal).Empty()) Corrupted(85);
      }
      entries.push_back(entry);
    }
    if (dataBytes > used - blhdr) Corrupted(86);

    walker.Advance(blhdr);
    // Per-block checksums first: a transaction that fails them is not
    // applied, and neither is anything after it.
    if (flags & kChecksumsValid) {
      Walker probe = walker;
      bool bad = false;
      for (const Entry& e : entries) {
        if (e.bnum != kNoBlock) {
          std::vector<std::uint8_t> data = probe.Peek(e.bsize);
          if (JournalChecksum(data.data(), data.size()) != e.checksum) bad = true;
        }
        probe.Advance(e.bsize);
        if (bad) break;
      }
      if (bad) {
        stats_.stoppedAtBadChecksum = true;
        return;
      }
    }
    for (const Entry& e : entries) {
      if (e.bnum != kNoBlock) {
        std::uint64_t target = e.bnum;
        for (const SectorArea& run : walker.Runs(e.bsize)) {
          map.Insert({SectorArea::FromCount(target, run.Length()), run});
          target += run.Length();
        }
        ++stats_.blocks;
      }
      walker.Advance(e.bsize);
    }
    ++stats_.transactions;
    // The next list starts where this transaction's bytes end.
    const std::uint64_t consumed = blhdr + dataBytes;
    if (used > consumed) walker.Advance(used - consumed);
  }
}

void Journal::MakeEmptiedHeaderSector(std::uint8_t* sector) const noexcept {
  JournalHeader h = header_;
  h.start = h.end;
  h.Store(sector);
}

void Journal::MakeInitializedSectors(std::uint8_t* headerSector,
                                     std::uint8_t* infoSector) const noexcept {
  std::memset(headerSector, 0, sectorSize_);
  JournalHeader h;
  h.magic = JournalHeader::kMagic;
  h.endian = JournalHeader::kEndian;
  h.start = h.end = sectorSize_;
  h.size = info_.size;
  h.blhdrSize = kNewBlockListSize;
  h.jhdrSize = sectorSize_;
  h.Store(headerSector);
  Common::StoreBe32(infoSector, info_.flags & ~JournalInfoBlock::kNeedsInit);
}

void Journal::SetEmpty() noexcept {
  if (NeedsInitialization()) {
    info_.flags &= ~JournalInfoBlock::kNeedsInit;
    header_.magic = JournalHeader::kMagic;
    header_.endian = JournalHeader::kEndian;
    header_.start = header_.end = sectorSize_;
    header_.size = info_.size;
    header_.blhdrSize = kNewBlockListSize;
    header_.jhdrSize = sectorSize_;
  }
  header_.start = header_.end;
  empty_ = true;
}

}  // namespace hfsplus
}  // namespace filesystems
