// Run lists: the in-memory form of one attribute piece's mapping pairs,
// which map the attribute's virtual cluster numbers (VCN) to the volume's
// logical cluster numbers (LCN).
//
// Mapping pairs on disk: one pair per run, then a 0 byte. A pair is a
// header byte (low nibble: size of the length field, high nibble: size of
// the LCN field, 0 for a run without clusters), the length, then the LCN
// as a signed difference from the last earlier run that has clusters. This
// driver reads and writes fields of 1 to 5 bytes; LCNs are encoded from
// their low 32 bits, which bounds writable volumes to 2^32 clusters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace filesystems {
namespace ntfs {

constexpr std::int64_t kNoClusters = -1;

struct Run {
  std::int64_t lcn = kNoClusters;  // -1: a run without clusters (sparse)
  std::uint64_t vcn = 0;
  std::uint32_t length = 0;

  bool HasClusters() const noexcept { return lcn != kNoClusters; }
  bool operator==(const Run& o) const noexcept {
    return lcn == o.lcn && vcn == o.vcn && length == o.length;
  }
};

// base + the signed field of `size` bytes at `field`; 0x4000d for a size of
// 0 or above 5, a fifth byte other than 0x00 or 0xFF, a sum past 64 bits or
// a result below 0.
std::uint64_t ReadMappingPairField(const std::uint8_t* field, std::uint32_t size,
                                   std::uint64_t base);

// Bytes (1 to 5) of the signed difference value - base in 32-bit
// arithmetic; writes them to `destination` when it is given.
std::uint32_t GetSignedFieldSize(std::uint8_t* destination, std::uint32_t value,
                                 std::uint32_t base) noexcept;

// The run of the pair at `pair`, which the caller has checked to fit.
Run DecodeMappingPair(const std::uint8_t* pair, std::uint64_t vcn, std::int64_t previousLcn);

class RunList {
 public:
  using const_iterator = std::vector<Run>::const_iterator;

  RunList() = default;
  // Decodes the mapping pairs in `pairs` (at most `available` bytes). The
  // runs must end at `highestVcn` (lowest - 1 for an empty list). With a
  // non-zero `clusterCount`, every run with clusters must also lie inside
  // the volume. Any fault throws 0x4000d: a pair or the terminator past the
  // bytes available, a field of 0 or more than 5 bytes, a negative length
  // or LCN, a run of length 0, VCNs past 2^62.
  RunList(const std::uint8_t* pairs, std::size_t available, std::uint64_t lowestVcn,
          std::uint64_t highestVcn, std::uint64_t clusterCount = 0);
  // One run per extent {first LCN, count}, VCNs counted from `firstVcn`,
  // nothing merged.
  RunList(const std::vector<std::pair<std::int64_t, std::uint32_t>>& extents,
          std::uint64_t firstVcn);

  const std::vector<Run>& Runs() const noexcept { return runs_; }
  bool Empty() const noexcept { return runs_.empty(); }
  const_iterator begin() const noexcept { return runs_.begin(); }
  const_iterator end() const noexcept { return runs_.end(); }

  // Size of the pairs EncodeMappingPairs writes for the list, terminator
  // included (cached until a change; after decoding it may be less than
  // the pairs took on disk).
  std::uint32_t GetMappingPairsSize();
  bool CacheValid() const noexcept { return cacheValid_; }

  bool Contains(std::uint64_t vcn) const noexcept;
  // The run holding `vcn`, or end() when the list does not.
  const_iterator Find(std::uint64_t vcn) const noexcept;

  // Appends a run after the last, merging it into the last when their
  // clusters are contiguous or both have none.
  void Append(const Run& run);
  // Appends [first, last): the first may merge, the rest are pushed as they
  // are with their VCNs recomputed.
  void AppendRange(const_iterator first, const_iterator last);
  // Moves everything from `vcn` on into `tail` (emptied first), splitting
  // the run that holds `vcn`.
  void SplitAt(std::uint64_t vcn, RunList& tail);
  // Hands every run with clusters to `release`; an error from one run does
  // not stop the others. The list is empty afterwards.
  void FreeClusters(const std::function<void(std::uint64_t lcn, std::uint32_t count)>& release);

  // True when every run with clusters ends at or below `clusterCount`.
  bool FitsVolume(std::uint64_t clusterCount) const noexcept;

 private:
  std::vector<Run> runs_;
  std::uint32_t cachedSize_ = 1;
  bool cacheValid_ = false;
};

// Encodes [first, last) into `destination` (sized with GetMappingPairsSize)
// and returns the bytes written, terminator included.
std::uint32_t EncodeMappingPairs(std::uint8_t* destination, RunList::const_iterator first,
                                 RunList::const_iterator last) noexcept;
std::uint32_t GetMappingPairsSize(RunList::const_iterator first,
                                  RunList::const_iterator last) noexcept;

}  // namespace ntfs
}  // namespace filesystems
