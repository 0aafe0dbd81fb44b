// Lookups over every computer and disk, the free-space holders of a disk,
// the partition listing and the drive-letter choice.
#include "diskaccess/global_ops.h"

#include <algorithm>
#include <vector>

#include "diskaccess/geometry.h"
#include "diskaccess/holders.h"
#include "foundation/random.h"

// ------------------------------------------------------------ lookups

da_computer* DaFindComputer(std::uint32_t number) {
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c))
    if (c->number == number) return c;
  return nullptr;
}

stddisk* DaFindDisk(da_computer* computer, std::uint32_t driveNumber) {
  if (computer == nullptr || driveNumber == 0) return nullptr;
  return computer->FindDiskByNumber(driveNumber);
}

stddisk* DaFindDiskByKey(std::uint32_t key) {
  if (key == 0) return nullptr;
  for (stddisk* d = DaNextDiskOverall(nullptr); d != nullptr; d = DaNextDiskOverall(d))
    if (d->id == key) return d;
  return nullptr;
}

stddisk* DaNextDiskOverall(stddisk* disk) {
  da_computer* c = nullptr;
  if (disk != nullptr) {
    if (disk->next != nullptr) return disk->next;
    c = DaNextComputer(disk->computer);
  } else {
    c = DaNextComputer(nullptr);
  }
  for (; c != nullptr; c = DaNextComputer(c))
    if (c->FirstDisk() != nullptr) return c->FirstDisk();
  return nullptr;
}

stddisk* DaFindDiskByBiosNumber(da_computer* computer, std::uint8_t number) {
  if (computer == nullptr) return nullptr;
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next)
    if (d->has_bios_number != 0 && d->bios_number == number) return d;
  return nullptr;
}

bool DaTreesEqual(stddisk* disk) {
  if (disk == nullptr) return false;
  const HolderList* working = DaTreeHolders(disk, 0);
  const HolderList* saved = DaTreeHolders(disk, 1);
  if (working == nullptr || saved == nullptr) return false;
  const holder* a = working->first;
  const holder* b = saved->first;
  for (; a != nullptr && b != nullptr; a = a->next, b = b->next)
    if (a->start != b->start || a->size != b->size || a->GetType() != b->GetType() ||
        a->IsFreeSpace() != b->IsFreeSpace())
      return false;
  return a == nullptr && b == nullptr;
}

stddisk* DaFindBootDisk(stddisk* disk) {
  if (disk == nullptr || disk->has_bios_number == 0) return nullptr;
  return DaFindDiskByBiosNumber(disk->computer, 0x80);
}

holder* DaFindHolderById(std::int32_t id, const HolderList* list) {
  if (list == nullptr) return nullptr;
  for (holder* h = list->first; h != nullptr; h = h->next)
    if (h->GetId() == id) return h;
  return nullptr;
}

bool DaIsSignatureTaken(std::uint32_t signature, const stddisk* disk) {
  if (disk == nullptr || disk->computer == nullptr) return false;
  for (stddisk* d = disk->computer->FirstDisk(); d != nullptr; d = d->next)
    if (d != disk && d->GetSignature() == signature) return true;
  return false;
}

bool DaNewDiskSignature(const stddisk* disk, std::uint32_t& signature) {
  signature = 0;
  // A disk signature of 0 means "none" to the systems that read it.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::uint32_t drawn = 0;
    if (!Common::RandomBytes(&drawn, sizeof drawn, false)) return false;
    if (drawn != 0 && !DaIsSignatureTaken(drawn, disk)) {
      signature = drawn;
      return true;
    }
  }
  return false;
}

std::uint64_t DaChsLimitSectors(stddisk* disk) {
  if (disk == nullptr) return 0;
  const Fdisk::Geometry& g = disk->GetGeometry();
  const std::uint64_t cylinders = std::min<std::uint64_t>(g.cylinders, 1023);
  const std::uint64_t sectors =
      cylinders * (static_cast<std::uint64_t>(g.highestHead) + 1) * g.sectorsPerTrack;
  return std::min(sectors, disk->GetSectorCount());
}

bool DaHasLargeGeometry(stddisk* disk) {
  return disk != nullptr && static_cast<std::uint32_t>(disk->GetGeometry().highestHead) + 1 >= 64;
}

// --------------------------------------------------------- free space

namespace {

bool HasPartitionTable(const stddisk& disk) {
  return disk.read_context.scheme == kSchemeMbr || disk.read_context.scheme == kSchemeGpt;
}

// Sectors in 1 MiB, the grain partitions are aligned to.
std::uint64_t Grain(stddisk& disk) {
  const std::uint32_t size = disk.GetSectorSize();
  return size == 0 ? 1 : std::max<std::uint64_t>(1, 0x100000 / size);
}

}  // namespace

std::uint64_t DaFreeSpaceEnd(stddisk* disk) {
  if (disk == nullptr) return 0;
  const std::uint64_t last = disk->GetSectorCount();
  // An MBR entry counts sectors in 32 bits: nothing past 2^32 - 1 sectors
  // can become a partition of it.
  const bool mbr = disk->read_context.scheme == kSchemeMbr && disk->GetSchemeType() != 0xEE;
  constexpr std::uint64_t kLast32 = 0xFFFFFFFFull - 1;
  return mbr ? std::min(last, kLast32) : last;
}

std::uint32_t DaRebuildFreeSpace(stddisk* disk) {
  if (disk == nullptr) return 0;
  HolderList& list = disk->holder_list;
  for (holder* h = list.first; h != nullptr;) {
    holder* next = h->next;
    if (h->IsFreeSpace()) delete list.Unlink(h);
    h = next;
  }
  if (!HasPartitionTable(*disk) || disk->GetSectorSize() == 0) return 0;

  const std::uint64_t end = DaFreeSpaceEnd(disk);
  const std::uint64_t grain = Grain(*disk);
  struct Gap {
    std::uint64_t first, last;
  };
  std::vector<Gap> gaps;
  // The list is in start order; ranges may overlap or nest (an extended
  // container and its logical partitions), so track the furthest end.
  std::uint64_t next = 0;
  for (holder* h = list.first; h != nullptr; h = h->next) {
    if (h->size == 0) continue;
    if (h->start > next) gaps.push_back(Gap{next, h->start - 1});
    const std::uint64_t after = h->start + h->size;
    if (after < h->start) {
      next = ~std::uint64_t(0);
      break;
    }
    next = std::max(next, after);
  }
  if (next <= end) gaps.push_back(Gap{next, end});

  // A partition lies wholly inside an extended container or wholly outside
  // it: a gap is cut where a container begins or ends.
  std::vector<std::uint64_t> cuts;
  for (holder* h = list.first; h != nullptr; h = h->next) {
    auto* t = dynamic_cast<MbrTableHolder*>(h);
    if (t == nullptr || t->owner == nullptr || t->container_size == 0) continue;
    cuts.push_back(t->container_start);
    cuts.push_back(t->container_start + t->container_size);
  }
  for (std::uint64_t cut : cuts) {
    for (std::size_t i = 0; i < gaps.size(); ++i) {
      if (cut > gaps[i].first && cut <= gaps[i].last) {
        const Gap tail{cut, gaps[i].last};
        gaps[i].last = cut - 1;
        gaps.insert(gaps.begin() + static_cast<std::ptrdiff_t>(i) + 1, tail);
        break;
      }
    }
  }

  // A GPT names its first usable sector, and the first gap begins there:
  // a partition may start on it. Every other gap begins at the next grain
  // boundary (an MBR disk keeps its first track for boot code).
  const bool gpt = disk->read_context.scheme == kSchemeGpt;
  std::uint32_t made = 0;
  bool first = true;
  for (Gap g : gaps) {
    const bool usableStart = gpt && first;
    first = false;
    if (g.first > end) continue;
    g.last = std::min(g.last, end);
    const std::uint64_t from = usableStart ? g.first : (g.first + grain - 1) / grain * grain;
    // Only a gap that can take a partition of the grain's size is kept.
    if (from > g.last || g.last - from + 1 < grain) continue;
    auto* free = new holder(disk, from, g.last - from + 1, 0, nullptr);
    free->InsertSorted(kWalkInsertStateful);
    ++made;
  }
  return made;
}

// ---------------------------------------------------- partition listing

namespace {

constexpr std::uint32_t kUnnumbered = 0xFFFFFFFFu;

std::uint32_t ListNumber(const holder& h, const DaPartitionQuery& q) {
  const std::uint32_t n = h.GetNumber(q.useTypeIndex != 0 ? q.typeIndex : q.typeSelector);
  return n == kNoNumber || n == 127 ? kUnnumbered : n;
}

bool Qualifies(const holder& h, const DaPartitionQuery& q) {
  const bool free = h.IsFreeSpace();
  if (!h.IsPartition() && !free) return false;  // tables and containers
  if (free && q.skipMarked != 0) return false;
  return !free || q.includeAll != 0 || h.flags != 0;
}

}  // namespace

void DaListPartitions(DaPartitionList& result, const DaPartitionQuery& q) {
  result.first = nullptr;
  result.count = 0;
  result.order.clear();
  std::vector<holder*> found;
  for (da_computer* c = DaNextComputer(nullptr); c != nullptr; c = DaNextComputer(c)) {
    if (q.computerFilter != 0 && q.computerFilter != c->number) continue;
    for (stddisk* d = c->FirstDisk(); d != nullptr; d = d->next) {
      if (q.diskFilter != 0 && q.diskFilter != d->id) continue;
      for (holder* h = d->holder_list.first; h != nullptr; h = h->next)
        if (Qualifies(*h, q)) found.push_back(h);
    }
  }
  result.count = static_cast<std::uint32_t>(found.size());
  const bool down = q.descending != 0;
  // Ties keep the walk's order, whichever the direction.
  auto by = [&](auto key) {
    std::stable_sort(found.begin(), found.end(), [&](const holder* a, const holder* b) {
      return down ? key(*b) < key(*a) : key(*a) < key(*b);
    });
  };
  switch (q.sortKind) {
    case 1: {
      // Unnumbered holders last in both directions.
      std::stable_sort(found.begin(), found.end(), [&](const holder* a, const holder* b) {
        const std::uint32_t na = ListNumber(*a, q), nb = ListNumber(*b, q);
        if ((na == kUnnumbered) != (nb == kUnnumbered)) return nb == kUnnumbered;
        return down ? nb < na : na < nb;
      });
      break;
    }
    case 2:
      std::stable_sort(found.begin(), found.end(), [&](const holder* a, const holder* b) {
        if (a->IsFreeSpace() != b->IsFreeSpace()) return b->IsFreeSpace();
        return down ? b->scan_number < a->scan_number : a->scan_number < b->scan_number;
      });
      break;
    case 3:
      by([](const holder& h) { return h.start; });
      break;
    case 4:
      by([](const holder& h) { return std::make_pair(h.size, h.start); });
      break;
    default:
      return;  // counted, not linked
  }
  result.order = std::move(found);
  result.first = result.order.empty() ? nullptr : result.order.front();
}

// ------------------------------------------------------ drive letters

namespace {

std::uint8_t Fold(std::uint8_t letter) {
  return letter >= 'a' && letter <= 'z' ? static_cast<std::uint8_t>(letter - 'a' + 'A') : letter;
}

}  // namespace

std::uint8_t LowestFreeLetter(std::uint32_t mask) {
  for (std::uint32_t bit = 0; bit < 24; ++bit)
    if ((mask & (1u << bit)) != 0) return static_cast<std::uint8_t>('C' + bit);
  return 0;
}

bool IsLetterTaken(std::uint32_t mask, std::uint8_t letter) {
  letter = Fold(letter);
  if (mask == 0 || letter < 'C' || letter > 'Z') return false;
  return (mask & (1u << (letter - 'C'))) == 0;
}

std::uint8_t ChooseLetter(std::uint32_t mask, std::uint8_t letter) {
  if (mask == 0) return 0;
  return IsLetterTaken(mask, letter) ? LowestFreeLetter(mask) : Fold(letter);
}
