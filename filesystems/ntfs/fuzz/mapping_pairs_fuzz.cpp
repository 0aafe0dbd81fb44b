// Mapping pairs as read from an attribute record: the first 8 bytes give
// the piece's lowest VCN (low 32 bits) and its run count bound; the rest
// are the pairs. Whatever decodes must encode to pairs that decode to the
// same runs, and lookups must agree with the runs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/error.h"
#include "filesystems/ntfs_runs.h"
#include "foundation/byteorder.h"

namespace ntfs = filesystems::ntfs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  const std::uint64_t lowest = Common::LoadLe32(data);
  const std::uint64_t clusters = Common::LoadLe32(data + 4);
  const std::uint8_t* pairs = data + 8;
  const std::size_t available = size - 8;
  // The highest VCN is whatever the pairs add up to: decode once without a
  // bound to learn it, then with it.
  std::uint64_t highest = lowest - 1;
  for (int pass = 0; pass < 2; ++pass) {
    try {
      ntfs::RunList runs(pairs, available, lowest, highest, clusters);
      if (!runs.FitsVolume(clusters == 0 ? ~std::uint64_t(0) : clusters)) std::abort();
      std::vector<std::uint8_t> again(runs.GetMappingPairsSize());
      const std::uint32_t n = ntfs::EncodeMappingPairs(again.data(), runs.begin(), runs.end());
      // The size kept from decoding is what the pairs took on disk; the
      // encoding is the shortest, never longer.
      if (n > again.size()) std::abort();
      again.resize(n);
      bool narrow = true;
      for (const ntfs::Run& r : runs)
        if (r.HasClusters() && r.lcn > 0xFFFFFFFFll) narrow = false;
      if (narrow) {
        ntfs::RunList decoded(again.data(), again.size(), lowest, highest);
        if (!(decoded.Runs() == runs.Runs())) std::abort();
      }
      for (const ntfs::Run& r : runs) {
        if (runs.Find(r.vcn) == runs.end() || runs.Find(r.vcn)->vcn != r.vcn) std::abort();
        if (runs.Find(r.vcn + r.length - 1)->vcn != r.vcn) std::abort();
      }
      ntfs::RunList tail;
      runs.SplitAt(lowest + (highest - lowest) / 2, tail);
      return 0;
    } catch (const Common::Error&) {
    }
    // Learn the highest VCN from the runs up to the first fault.
    std::uint64_t vcn = lowest;
    std::size_t at = 0;
    while (at < available && pairs[at] != 0) {
      const std::size_t len = pairs[at] & 0x0F;
      if (len == 0 || len > 4 || at + 1 + len > available) break;
      std::uint64_t v = 0;
      for (std::size_t i = 0; i < len; ++i) v |= std::uint64_t(pairs[at + 1 + i]) << (8 * i);
      vcn += v;
      at += 1 + len + (pairs[at] >> 4);
    }
    highest = vcn - 1;
  }
  return 0;
}
