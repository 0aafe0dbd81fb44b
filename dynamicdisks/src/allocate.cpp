// The choice of disks and shares for a new volume whose caller named no
// disks. Only disks and sizes are chosen; where on each disk the pieces go
// is the creation's business. Nothing changes here.
#include <algorithm>

#include "foundation/byteorder.h"
#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/log.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kAllocateLocation = 0x1501;

struct Candidate {
  std::uint64_t disk = 0;
  bool selected = false;
  std::uint64_t size = 0;
  std::uint32_t plex = 0;
  std::uint32_t column = 0;
};
using Candidates = std::vector<Candidate>;

Common::Error Refused(const char* why) {
  LdmLog("AllocateVolumeSpace: %s", why);
  return MakeLdmError(kAllocateLocation, kErrAutoRequest);
}

// The first unselected candidate, replaced by a later one strictly larger
// (or smaller).
Candidate* Extreme(Candidates& list, bool largest) {
  Candidate* best = nullptr;
  for (Candidate& c : list) {
    if (c.selected) continue;
    if (best == nullptr || (largest ? c.size > best->size : c.size < best->size)) best = &c;
  }
  return best;
}

std::uint64_t RoundUp(std::uint64_t x, std::uint64_t m) { return x % m == 0 ? x : (x / m + 1) * m; }

std::uint64_t Sum(const Candidates& list) {
  std::uint64_t s = 0;
  for (const Candidate& c : list) s += c.size;
  return s;
}

// Chooses c columns of W sectors among the candidates, from b to most
// columns (most first with the spread bit). False, all unselected, when no
// count fits.
bool ColumnFit(Candidates& list, std::uint64_t size, std::uint32_t stripe, std::uint32_t b,
               std::uint32_t most, std::uint32_t parity, std::uint32_t strategy,
               std::uint32_t& columns, std::uint64_t& width) {
  std::uint32_t selected = 0;
  for (std::uint32_t k = 0; b + k <= most; ++k) {
    const std::uint32_t c = (strategy & kStrategySpread) ? most - k : b + k;
    const std::uint64_t data = c - parity;
    width = RoundUp(size, data * stripe) / data;
    selected = 0;
    for (Candidate& cand : list) {
      cand.selected = cand.size >= width;
      selected += cand.selected ? 1 : 0;
    }
    columns = c;
    if (selected >= c) break;
  }
  if (selected < columns || selected == 0) {
    for (Candidate& cand : list) cand.selected = false;
    return false;
  }
  while (selected > columns) {
    Candidate* drop = nullptr;
    if (strategy & kStrategyBestFit) {
      for (Candidate& cand : list) {
        if (cand.selected && (drop == nullptr || cand.size >= drop->size)) drop = &cand;
      }
    } else {
      for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->selected) {
          drop = &*it;
          break;
        }
      }
    }
    drop->selected = false;
    --selected;
  }
  return true;
}

void Mark(Candidates& list, std::uint64_t width, bool mirrored, std::uint32_t& plex) {
  std::uint32_t column = 0;
  for (Candidate& c : list) {
    if (!c.selected) continue;
    c.size = width;
    c.plex = plex;
    if (mirrored) {
      ++plex;
    } else {
      c.column = column++;
    }
  }
  if (!mirrored) ++plex;
}

void Answer(const Candidates& list, std::vector<SpaceRequest>& out) {
  for (const Candidate& c : list) {
    if (!c.selected) continue;
    SpaceRequest r;
    r.disk = c.disk;
    r.size = c.size;
    r.plexIndex = c.plex;
    r.columnIndex = c.column;
    out.push_back(r);
  }
}

}  // namespace

Common::Error LdmDgAccess::AllocateVolumeSpace(std::uint32_t type, std::uint64_t s,
                                               std::uint32_t mirrors, std::uint32_t stripe,
                                               const std::vector<SpaceRequest>& given,
                                               std::uint32_t strategy,
                                               std::vector<SpaceRequest>& out) const {
  out.clear();
  if (!given.empty()) {
    for (const SpaceRequest& r : given) {
      if (r.disk == 0) return Refused("an entry names no disk");
    }
    out = given;
    return Common::Error();
  }
  if (type < kContiguousSimple || type > Fdisk::kLdmVolRaid01) return Refused("unknown layout");
  const bool striping = type == Fdisk::kLdmVolStriped || type == Fdisk::kLdmVolRaid5 ||
                        type == Fdisk::kLdmVolStripeSetWithParity || type == Fdisk::kLdmVolRaid01;
  // The column fit divides by the stripe, the RAID 0+1 sizing by the plex
  // count: neither may be zero.
  if (s == 0 || (striping && stripe == 0)) return Refused("zero size or stripe");
  if (type == Fdisk::kLdmVolRaid01 && mirrors + 1 == 0) return Refused("no plexes");

  Candidates list;
  for (const LdmDisk* d : members) {
    if (d->type != kDiskDynamic && d->type != kDiskForeign && d->type != kDiskStalled) continue;
    const std::uint64_t free = d->GetTotalFreeSpace();
    if (type == kContiguousSimple) {
      if (free < s) continue;
      for (const Region& r : d->freeSpace) {
        if (r.size >= s) list.push_back(Candidate{d->rid, false, r.size, 0, 0});
      }
    } else if (type == Fdisk::kLdmVolSimple || type == Fdisk::kLdmVolMirrored) {
      if (free >= s) list.push_back(Candidate{d->rid, false, free, 0, 0});
    } else if (free > 0) {
      list.push_back(Candidate{d->rid, false, free, 0, 0});
    }
  }

  std::uint32_t plex = 0;
  switch (type) {
    case kContiguousSimple:
    case Fdisk::kLdmVolSimple: {
      if (list.empty()) return Refused("no disk has the space");
      Candidate* pick = (strategy & kStrategyBestFit) ? Extreme(list, false) : &list.front();
      pick->selected = true;
      pick->size = s;
      break;
    }
    case Fdisk::kLdmVolSpanned: {
      if (Sum(list) < s || list.size() < 2) return Refused("not enough space for a spanned volume");
      std::uint64_t r = s;
      if (!(strategy & kStrategySpread)) {
        Candidate* q = Extreme(list, true);
        while (q != nullptr && q->size < r) {
          q->selected = true;
          r -= q->size;
          q = Extreme(list, true);
        }
        Candidate* rest = nullptr;
        for (Candidate& c : list) {
          if (c.selected || c.size < r) continue;
          if (rest == nullptr) {
            rest = &c;
            if (!(strategy & kStrategyBestFit)) break;
          } else if (c.size < rest->size) {
            rest = &c;
          }
        }
        if (rest == nullptr) rest = q;
        rest->selected = true;
        rest->size = r;
        std::size_t chosen = 0;
        for (const Candidate& c : list) chosen += c.selected ? 1 : 0;
        if (chosen == 1) {
          Candidate* second = Extreme(list, true);
          second->selected = true;
          second->size = 0;
        }
      } else {
        std::uint64_t k = list.size();
        Candidate* q = Extreme(list, false);
        while (k > 0 && r > 0 && q != nullptr) {
          const std::uint64_t share = r / k + r % k;
          q->selected = true;
          if (q->size >= share) q->size = share;
          r -= q->size;
          if (k > 1) q = Extreme(list, false);
          --k;
        }
      }
      break;
    }
    case Fdisk::kLdmVolStriped:
    case Fdisk::kLdmVolRaid5:
    case Fdisk::kLdmVolStripeSetWithParity: {
      const bool parity = type != Fdisk::kLdmVolStriped;
      const std::uint32_t least = parity ? 3 : 2;
      if (Sum(list) < s || list.size() < least) return Refused("not enough disks or space");
      std::uint32_t columns = 0;
      std::uint64_t width = 0;
      if (!ColumnFit(list, s, stripe, least, static_cast<std::uint32_t>(list.size()),
                     parity ? 1 : 0, strategy, columns, width)) {
        return Refused("no column count fits");
      }
      Mark(list, width, false, plex);
      break;
    }
    case Fdisk::kLdmVolMirrored: {
      const std::uint64_t plexes = std::uint64_t(mirrors) + 1;
      if (list.size() < plexes) return Refused("not enough disks for the mirrors");
      for (std::uint64_t i = 0; i < plexes; ++i) {
        Candidate* pick = nullptr;
        if (strategy & kStrategyBestFit) {
          pick = Extreme(list, false);
        } else {
          for (Candidate& c : list) {
            if (!c.selected) {
              pick = &c;
              break;
            }
          }
        }
        pick->selected = true;
      }
      Mark(list, s, true, plex);
      break;
    }
    case Fdisk::kLdmVolRaid01: {
      const std::uint64_t m = std::uint64_t(mirrors) + 1;
      const std::uint64_t total = list.size();
      std::uint64_t most = total / m;
      std::uint64_t c = 2;
      std::uint64_t need = 0;
      if (!Common::CheckedMul(s, m, &need) || need > Sum(list) || 2 * m > total) {
        return Refused("not enough disks or space for RAID 0+1");
      }
      bool placed = false;
      while (c <= most && !placed) {
        Candidates answer;
        Candidates work = list;
        for (Candidate& w : work) w.selected = false;
        std::uint32_t counter = 0;
        std::uint32_t firstColumns = 0;
        std::uint64_t p = 0;
        for (; p < m; ++p) {
          std::uint32_t columns = 0;
          std::uint64_t width = 0;
          const std::uint32_t b = p == 0 ? std::uint32_t(c) : firstColumns;
          const std::uint32_t n = p == 0 ? std::uint32_t(most) : firstColumns;
          if (!ColumnFit(work, s, stripe, b, n, 0, strategy, columns, width)) break;
          if (p == 0) firstColumns = columns;
          Mark(work, width, false, counter);
          Candidates rest;
          for (Candidate& w : work) {
            if (w.selected) {
              answer.push_back(w);
            } else {
              rest.push_back(w);
            }
          }
          work.swap(rest);
        }
        if (p == m) {
          list.swap(answer);
          placed = true;
        } else if (strategy & kStrategySpread) {
          --most;
        } else {
          ++c;
        }
      }
      if (!placed) return Refused("no RAID 0+1 layout fits");
      break;
    }
    default:
      return Refused("unknown layout");
  }
  Answer(list, out);
  return Common::Error();
}

}  // namespace Ldm
