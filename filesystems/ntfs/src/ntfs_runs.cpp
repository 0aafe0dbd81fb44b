// Decoding and encoding of mapping pairs, and the run-list operations.
#include "filesystems/ntfs_runs.h"

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/ntfs_records.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsRunsModuleId;
constexpr std::uint64_t kVcnLimit = std::uint64_t(1) << 62;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

}  // namespace

std::uint64_t ReadMappingPairField(const std::uint8_t* field, std::uint32_t size,
                                   std::uint64_t base) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  switch (size) {
    case 1: {
      const std::uint32_t v = field[0];
      negative = (v & 0x80) != 0;
      magnitude = negative ? 0x100 - v : v;
      break;
    }
    case 2: {
      const std::uint32_t v = Common::LoadLe16(field);
      negative = (v & 0x8000) != 0;
      magnitude = negative ? 0x10000 - v : v;
      break;
    }
    case 3: {
      const std::uint32_t v = field[0] | std::uint32_t(field[1]) << 8 | std::uint32_t(field[2]) << 16;
      negative = (v & 0x800000) != 0;
      magnitude = negative ? 0x1000000 - v : v;
      break;
    }
    case 4: {
      const std::uint32_t v = Common::LoadLe32(field);
      negative = (v & 0x80000000u) != 0;
      magnitude = negative ? std::uint32_t(0u - v) : v;
      break;
    }
    case 5: {
      const std::uint32_t v = Common::LoadLe32(field);
      if (field[4] == 0xFF) {
        negative = true;
        // -v in 32 bits; a sign byte over v = 0 stands for -2^32.
        magnitude = v == 0 ? (std::uint64_t(1) << 32) : std::uint32_t(0u - v);
      } else if (field[4] == 0x00) {
        magnitude = v;
      } else {
        Corrupted(0x01);
      }
      break;
    }
    default:
      Corrupted(0x02);
  }
  if (negative) {
    if (magnitude > base) Corrupted(0x03);
    return base - magnitude;
  }
  std::uint64_t sum = 0;
  if (!Common::CheckedAdd<std::uint64_t>(base, magnitude, &sum)) Corrupted(0x04);
  return sum;
}

std::uint32_t GetSignedFieldSize(std::uint8_t* destination, std::uint32_t value,
                                 std::uint32_t base) noexcept {
  const std::uint32_t d = value - base;
  const bool negative = value < base;
  const std::uint32_t m = negative ? ~d : d;
  const std::uint32_t size = m <= 0x7F ? 1 : m <= 0x7FFF ? 2 : m <= 0x7FFFFF ? 3 : m <= 0x7FFFFFFF ? 4 : 5;
  if (destination) {
    for (std::uint32_t i = 0; i < size && i < 4; ++i) destination[i] = std::uint8_t(d >> (8 * i));
    if (size == 5) destination[4] = negative ? 0xFF : 0x00;
  }
  return size;
}

Run DecodeMappingPair(const std::uint8_t* pair, std::uint64_t vcn, std::int64_t previousLcn) {
  const std::uint8_t h = pair[0];
  const std::uint32_t lengthSize = h & 0x0F;
  const std::uint64_t length = ReadMappingPairField(pair + 1, lengthSize, 0);
  // A length past 32 bits cannot be held by a run.
  if (length > 0xFFFFFFFFu) Corrupted(0x05);
  Run run;
  run.vcn = vcn;
  run.length = std::uint32_t(length);
  if (h >= 0x10) {
    const std::uint64_t lcn = ReadMappingPairField(pair + 1 + lengthSize, h >> 4,
                                                   std::uint64_t(previousLcn));
    if (lcn >= kVcnLimit) Corrupted(0x06);
    run.lcn = std::int64_t(lcn);
  }
  return run;
}

RunList::RunList(const std::uint8_t* pairs, std::size_t available, std::uint64_t lowestVcn,
                 std::uint64_t highestVcn, std::uint64_t clusterCount) {
  if (available == 0 || lowestVcn > kVcnLimit) Corrupted(0x10);
  runs_.reserve(available / 5);
  std::size_t consumed = 0;
  std::uint64_t vcn = lowestVcn;
  std::int64_t previousLcn = 0;
  while (pairs[consumed] != 0) {
    const std::uint8_t h = pairs[consumed];
    const std::size_t pairSize = 1u + (h & 0x0F) + (h >> 4);
    // The pair and the byte after it (terminator or next header) must fit.
    if (!Common::RangeInside(consumed, pairSize + 1, available)) Corrupted(0x11);
    const Run run = DecodeMappingPair(pairs + consumed, vcn, previousLcn);
    if (run.length == 0) Corrupted(0x12);
    if (run.HasClusters()) {
      if (clusterCount != 0 &&
          (std::uint64_t(run.lcn) >= clusterCount || run.length > clusterCount - std::uint64_t(run.lcn)))
        Corrupted(0x13);
      previousLcn = run.lcn;
    }
    runs_.push_back(run);
    vcn += run.length;
    if (vcn > kVcnLimit) Corrupted(0x14);
    consumed += pairSize;
  }
  consumed += 1;
  if (vcn - 1 != highestVcn) Corrupted(0x15);
  // The cached size is what encoding these runs writes, which is not what
  // they took on disk when the fields there were wider than needed or the
  // LCNs pass 32 bits: a buffer sized by the disk's count could be overrun.
  cachedSize_ = ntfs::GetMappingPairsSize(runs_.begin(), runs_.end());
  cacheValid_ = true;
}

RunList::RunList(const std::vector<std::pair<std::int64_t, std::uint32_t>>& extents,
                 std::uint64_t firstVcn) {
  std::uint64_t vcn = firstVcn;
  runs_.reserve(extents.size());
  for (const auto& e : extents) {
    runs_.push_back(Run{e.first, vcn, e.second});
    vcn += e.second;
  }
}

std::uint32_t RunList::GetMappingPairsSize() {
  if (!cacheValid_) {
    cachedSize_ = ntfs::GetMappingPairsSize(runs_.begin(), runs_.end());
    cacheValid_ = true;
  }
  return cachedSize_;
}

bool RunList::Contains(std::uint64_t vcn) const noexcept {
  if (runs_.empty()) return false;
  const Run& last = runs_.back();
  return runs_.front().vcn <= vcn && vcn < last.vcn + last.length;
}

RunList::const_iterator RunList::Find(std::uint64_t vcn) const noexcept {
  if (!Contains(vcn)) return runs_.end();
  // Runs are in VCN order: the first whose end lies past `vcn`.
  auto lo = runs_.begin(), hi = runs_.end();
  while (lo != hi) {
    auto mid = lo + (hi - lo) / 2;
    if (mid->vcn + mid->length > vcn)
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo;
}

void RunList::Append(const Run& run) {
  cacheValid_ = false;
  if (!runs_.empty()) {
    Run& last = runs_.back();
    if (last.HasClusters() && run.HasClusters() &&
        std::uint64_t(last.lcn) + last.length == std::uint64_t(run.lcn) &&
        std::uint64_t(last.length) + run.length <= 0xFFFFFFFFu) {
      last.length += run.length;
      return;
    }
    if (!last.HasClusters() && !run.HasClusters() &&
        std::uint64_t(last.length) + run.length <= 0xFFFFFFFFu) {
      last.length += run.length;
      return;
    }
  }
  Run pushed = run;
  pushed.vcn = runs_.empty() ? 0 : runs_.back().vcn + runs_.back().length;
  runs_.push_back(pushed);
}

void RunList::AppendRange(const_iterator first, const_iterator last) {
  if (first == last) return;
  Append(*first);
  for (++first; first != last; ++first) {
    Run pushed = *first;
    pushed.vcn = runs_.back().vcn + runs_.back().length;
    runs_.push_back(pushed);
  }
  cacheValid_ = false;
}

void RunList::SplitAt(std::uint64_t vcn, RunList& tail) {
  tail.runs_.clear();
  tail.cacheValid_ = false;
  cacheValid_ = false;
  auto p = runs_.begin();
  while (p != runs_.end() && p->vcn + p->length <= vcn) ++p;
  if (p == runs_.end()) return;
  if (p->vcn < vcn) {
    const std::uint32_t d = std::uint32_t(vcn - p->vcn);
    tail.runs_.push_back(Run{p->HasClusters() ? p->lcn + d : kNoClusters, vcn, p->length - d});
    p->length = d;
    ++p;
  }
  tail.runs_.insert(tail.runs_.end(), p, runs_.end());
  runs_.erase(p, runs_.end());
}

void RunList::FreeClusters(
    const std::function<void(std::uint64_t lcn, std::uint32_t count)>& release) {
  for (const Run& run : runs_) {
    if (!run.HasClusters()) continue;
    try {
      release(std::uint64_t(run.lcn), run.length);
    } catch (const Common::Error&) {
      // The other runs are still freed; a lost run only leaks clusters.
    }
  }
  runs_.clear();
  cacheValid_ = false;
}

bool RunList::FitsVolume(std::uint64_t clusterCount) const noexcept {
  for (const Run& run : runs_) {
    if (!run.HasClusters()) continue;
    if (std::uint64_t(run.lcn) >= clusterCount || run.length > clusterCount - std::uint64_t(run.lcn))
      return false;
  }
  return true;
}

std::uint32_t EncodeMappingPairs(std::uint8_t* destination, RunList::const_iterator first,
                                 RunList::const_iterator last) noexcept {
  std::uint8_t* at = destination;
  std::uint32_t previousLcn = 0;
  for (; first != last; ++first) {
    const std::uint32_t lengthSize = GetSignedFieldSize(at + 1, first->length, 0);
    std::uint32_t lcnSize = 0;
    if (first->HasClusters()) {
      const std::uint32_t lcn = std::uint32_t(first->lcn);
      lcnSize = GetSignedFieldSize(at + 1 + lengthSize, lcn, previousLcn);
      previousLcn = lcn;
    }
    at[0] = std::uint8_t(lengthSize | (lcnSize << 4));
    at += 1 + lengthSize + lcnSize;
  }
  *at++ = 0;
  return std::uint32_t(at - destination);
}

std::uint32_t GetMappingPairsSize(RunList::const_iterator first,
                                  RunList::const_iterator last) noexcept {
  std::uint32_t size = 1;
  std::uint32_t previousLcn = 0;
  for (; first != last; ++first) {
    size += 1 + GetSignedFieldSize(nullptr, first->length, 0);
    if (first->HasClusters()) {
      const std::uint32_t lcn = std::uint32_t(first->lcn);
      size += GetSignedFieldSize(nullptr, lcn, previousLcn);
      previousLcn = lcn;
    }
  }
  return size;
}

}  // namespace ntfs
}  // namespace filesystems
