// A FILE record as read from disk: the update sequence undone, the header
// and every attribute record checked, each non-resident piece's mapping
// pairs decoded and encoded again. The first byte picks the record size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/error.h"
#include "filesystems/ntfs_records.h"
#include "filesystems/ntfs_runs.h"

namespace ntfs = filesystems::ntfs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const std::size_t kSizes[] = {512, 1024, 2048, 4096};
  const std::size_t recordSize = kSizes[data[0] % 4];
  std::vector<std::uint8_t> record(recordSize, 0);
  std::memcpy(record.data(), data + 1, std::min(size - 1, recordSize));
  bool unprotected = false;
  try {
    ntfs::UnprotectUpdateSequence(record.data(), ntfs::kFileRecordArrayOffset, record.size());
    unprotected = true;
  } catch (const Common::Error&) {
    // Damaged protection; the record checks still must hold on raw bytes.
  }
  try {
    const ntfs::FileRecordHeader h = ntfs::ParseFileRecord(record.data(), record.size());
    for (const ntfs::AttributeRecord& a : h.attributes) {
      a.Name(record.data());
      if (!a.nonResident) continue;
      try {
        ntfs::RunList runs(record.data() + a.pairsOffset, a.pairsLength, a.lowestVcn, a.highestVcn,
                           1u << 20);
        std::vector<std::uint8_t> again(runs.GetMappingPairsSize());
        ntfs::EncodeMappingPairs(again.data(), runs.begin(), runs.end());
        ntfs::RunList decoded(again.data(), again.size(), a.lowestVcn, a.highestVcn);
        if (!(decoded.Runs() == runs.Runs())) std::abort();
      } catch (const Common::Error&) {
      }
    }
    // A record that was unprotected protects and unprotects back to itself.
    if (!unprotected) return 0;
    std::vector<std::uint8_t> copy = record;
    ntfs::ProtectUpdateSequence(copy.data(), copy.size());
    ntfs::UnprotectUpdateSequence(copy.data(), 0, copy.size());
    const std::size_t usnAt = record[4] | std::size_t(record[5]) << 8;
    copy[usnAt] = record[usnAt];
    copy[usnAt + 1] = record[usnAt + 1];
    if (copy != record) std::abort();
  } catch (const Common::Error&) {
  }
  return 0;
}
