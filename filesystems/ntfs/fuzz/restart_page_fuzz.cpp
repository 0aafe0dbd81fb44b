// A $LogFile restart page as read from disk: the header, restart area and
// client chains checked, the update sequence undone, the "NTFS" client
// cleared. The first byte picks the page size; the checks must never read
// outside the page, and a page they accept must keep its shape when the
// client is cleared.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filesystems/ntfs_logfile.h"
#include "filesystems/ntfs_records.h"

namespace ntfs = filesystems::ntfs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const std::size_t kSizes[] = {512, 1024, 4096, 8192};
  const std::size_t pageSize = kSizes[data[0] % 4];
  std::vector<std::uint8_t> page(pageSize, 0);
  std::memcpy(page.data(), data + 1, std::min(size - 1, pageSize));
  const bool header = ntfs::IsValidRestartPageHeader(page.data(), 0);
  if (!header || !ntfs::IsValidRestartArea(page.data(), page.size())) return 0;
  std::uint32_t system = page[16] | std::uint32_t(page[17]) << 8 | std::uint32_t(page[18]) << 16 |
                         std::uint32_t(page[19]) << 24;
  if (system != pageSize) return 0;
  ntfs::UnprotectLogPage(page.data(), page.size(), ntfs::kRestartPageArrayOffset);
  if (!ntfs::AreLogClientChainsValid(page.data(), page.size(), false)) return 0;
  const std::vector<std::uint8_t> before = page;
  ntfs::ClearNtfsClient(page);
  if (page.size() != before.size() || std::memcmp(page.data(), before.data(), 30) != 0) std::abort();
  return 0;
}
