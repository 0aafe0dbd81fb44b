// Finding, checking and cleaning $LogFile's restart pages.
#include "filesystems/ntfs_logfile.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/ntfs_records.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kRstr = 0x52545352;  // "RSTR"
constexpr std::uint32_t kChkd = 0x444B4843;  // "CHKD"
constexpr std::uint32_t kRcrd = 0x44524352;  // "RCRD"
constexpr std::uint16_t kNoClient = 0xFFFF;
constexpr std::uint32_t kClientSize = 160;
constexpr std::uint32_t kFirstSector = 512;
constexpr std::uint64_t kLogFileRecord = 2;
constexpr std::uint32_t kData = 0x80;

bool PowerOfTwoFrom512(std::uint32_t v) noexcept { return v >= 512 && (v & (v - 1)) == 0; }

std::uint32_t SystemPageSize(const std::uint8_t* page) noexcept { return Common::LoadLe32(page + 16); }
std::uint32_t AreaOffset(const std::uint8_t* page) noexcept { return Common::LoadLe16(page + 24); }
bool VersionOnePointOne(const std::uint8_t* page) noexcept {
  return Common::LoadLe16(page + 28) == 1 && Common::LoadLe16(page + 26) > 0;
}
// The client array's offset from the restart area.
std::uint32_t ClientArrayOffset(const std::uint8_t* page) noexcept {
  return VersionOnePointOne(page) ? Common::LoadLe16(page + AreaOffset(page) + 22) : 40;
}

std::uint32_t BitLength(std::uint64_t v) noexcept {
  std::uint32_t bits = 0;
  while (v) {
    ++bits;
    v >>= 1;
  }
  return bits;
}

// Follows one chain; false on an index out of range, a cycle or a first
// client that has a predecessor.
bool ChainValid(const std::uint8_t* clients, std::uint32_t count, std::uint16_t first) noexcept {
  if (first == kNoClient) return true;
  if (first >= count) return false;
  if (Common::LoadLe16(clients + std::size_t(first) * kClientSize + 16) != kNoClient) return false;
  std::uint32_t steps = 0;
  for (std::uint16_t at = first; at != kNoClient;) {
    if (at >= count || ++steps > count) return false;
    at = Common::LoadLe16(clients + std::size_t(at) * kClientSize + 18);
  }
  return true;
}

}  // namespace

bool IsValidRestartPageHeader(const std::uint8_t* page, std::uint64_t offset) noexcept {
  const std::uint32_t system = SystemPageSize(page);
  const std::uint32_t log = Common::LoadLe32(page + 20);
  if (!PowerOfTwoFrom512(system) || !PowerOfTwoFrom512(log)) return false;
  if (offset != 0 && offset != system) return false;
  if (Common::LoadLe16(page + 28) > 1) return false;
  const std::uint32_t area = AreaOffset(page);
  const std::uint32_t arrayEnd = Common::LoadLe16(page + 4) + 2 * (system / 512) + 2;
  return area % 8 == 0 && area <= system && area >= arrayEnd;
}

bool IsValidRestartArea(const std::uint8_t* page, std::size_t) noexcept {
  const std::uint32_t r = AreaOffset(page);
  // Every fixed field of the area must lie in the first sector, which is
  // all that is known to be there when the area is checked.
  if (r + 40 > kFirstSector) return false;
  const std::uint8_t* area = page + r;
  const std::uint32_t q = ClientArrayOffset(page);
  const std::uint32_t clients = Common::LoadLe16(area + 8);
  const std::uint32_t system = SystemPageSize(page);
  if (q % 8 != 0 || r + q > 510) return false;
  // The client records are counted from the page's start, so the area's
  // own offset counts too.
  if (std::uint64_t(r) + q + std::uint64_t(clients) * kClientSize > system) return false;
  if (VersionOnePointOne(page)) {
    const std::uint32_t length = Common::LoadLe16(area + 20);
    if (r + length > system) return false;
    if (q + std::uint64_t(clients) * kClientSize > length) return false;
    if (Common::LoadLe16(area + 36) % 8 != 0 || Common::LoadLe16(area + 38) % 8 != 0) return false;
  }
  const std::uint16_t freeClient = Common::LoadLe16(area + 10);
  const std::uint16_t usedClient = Common::LoadLe16(area + 12);
  if (freeClient != kNoClient && freeClient >= clients) return false;
  if (usedClient != kNoClient && usedClient >= clients) return false;
  return BitLength(Common::LoadLe64(area + 24)) + Common::LoadLe32(area + 16) == 67;
}

bool AreLogClientChainsValid(const std::uint8_t* page, std::size_t size,
                             bool sectorZeroLimit) noexcept {
  const std::uint32_t r = AreaOffset(page);
  const std::uint8_t* area = page + r;
  if (sectorZeroLimit && r + Common::LoadLe16(area + 20) > 510) return false;
  const std::uint32_t clients = Common::LoadLe16(area + 8);
  const std::uint64_t arrayStart = std::uint64_t(r) + ClientArrayOffset(page);
  if (arrayStart + std::uint64_t(clients) * kClientSize > size) return false;
  const std::uint8_t* array = page + arrayStart;
  return ChainValid(array, clients, Common::LoadLe16(area + 10)) &&
         ChainValid(array, clients, Common::LoadLe16(area + 12));
}

bool ClearNtfsClient(std::vector<std::uint8_t>& page) noexcept {
  std::uint8_t* p = page.data();
  if (page.size() < kFirstSector || Common::LoadLe32(p) != kRstr) return false;
  if (!IsValidRestartPageHeader(p, SystemPageSize(p)) && !IsValidRestartPageHeader(p, 0)) return false;
  if (!IsValidRestartArea(p, page.size()) || !AreLogClientChainsValid(p, page.size(), false))
    return false;
  std::uint8_t* area = p + AreaOffset(p);
  std::uint8_t* array = area + ClientArrayOffset(p);
  const std::uint32_t clients = Common::LoadLe16(area + 8);
  static const std::uint8_t kName[8] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
  bool changed = false;
  std::uint32_t steps = 0;
  for (std::uint16_t at = Common::LoadLe16(area + 12); at != kNoClient && at < clients && steps++ < clients;) {
    std::uint8_t* client = array + std::size_t(at) * kClientSize;
    if (Common::LoadLe32(client + 28) == 8 && std::memcmp(client + 32, kName, 8) == 0) {
      const std::uint64_t oldest = Common::LoadLe64(client);
      const std::uint64_t restart = Common::LoadLe64(client + 8);
      if (oldest != 0 || restart != 0) {
        const std::uint64_t smaller = std::min(oldest, restart);
        if (smaller != 0) Common::StoreLe64(area, smaller);
        Common::StoreLe64(client, 0);
        Common::StoreLe64(client + 8, 0);
        changed = true;
      }
    }
    at = Common::LoadLe16(client + 18);
  }
  return changed;
}

LogFile::LogFile(NTFSDriver& driver) : driver_(driver) {
  try {
    RecordHandle held(driver_.GetMft(), kLogFileRecord);
    if (!driver_.FindAttribute(kLogFileRecord, held.Image(), kData, u"", value_)) return;
    size_ = driver_.ValueSize(value_);
    usable_ = value_.header.nonResident;
  } catch (const Common::Error&) {
    usable_ = false;
  }
}

bool LogFile::Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) noexcept {
  if (!usable_ || offset > size_ || size_ - offset < length) return false;
  try {
    return driver_.ReadValue(value_, offset, buffer, length) == length;
  } catch (const Common::Error&) {
    return false;
  }
}

bool LogFile::Write(std::uint64_t offset, const std::uint8_t* buffer, std::uint32_t length) noexcept {
  if (!usable_ || offset > size_ || size_ - offset < length) return false;
  // Only bytes inside the initialised size hold log data worth keeping.
  if (offset + length > value_.header.initializedSize) return false;
  try {
    driver_.WriteClusters(value_.runs, offset, buffer, length, true);
    return true;
  } catch (const Common::Error&) {
    return false;
  }
}

bool LogFile::FindRestartPage(std::vector<std::uint8_t>& page, std::uint64_t& offset) noexcept {
  page.clear();
  const bool fromZero = offset == 0;
  std::uint8_t first[kFirstSector];
  for (std::uint64_t probe = offset; probe < size_;) {
    if (Read(probe, first, kFirstSector)) {
      const std::uint32_t magic = Common::LoadLe32(first);
      if (magic == kRcrd) return false;
      if (magic == kRstr || magic == kChkd) {
        offset = probe;
        if (IsValidRestartPageHeader(first, probe) && IsValidRestartArea(first, kFirstSector)) {
          const std::uint32_t size = SystemPageSize(first);
          std::vector<std::uint8_t> whole(size);
          std::memcpy(whole.data(), first, kFirstSector);
          if ((size == kFirstSector || Read(probe + kFirstSector, whole.data() + kFirstSector, size - kFirstSector)) &&
              UnprotectLogPage(whole.data(), size, kRestartPageArrayOffset) &&
              IsValidRestartArea(whole.data(), size) &&
              AreLogClientChainsValid(whole.data(), size, false)) {
            page = std::move(whole);
            return true;
          }
        }
        if (magic == kChkd) {
          page.assign(first, first + kFirstSector);
          return true;
        }
      }
    }
    const std::uint64_t next = probe * 2 + (fromZero && probe == 0 ? kFirstSector : 0);
    if (next <= probe) break;
    probe = next;
  }
  return false;
}

bool LogFile::WriteRestartPage(const std::vector<std::uint8_t>& page, std::uint64_t offset) noexcept {
  if (page.size() < kFirstSector || Common::LoadLe32(page.data()) != kRstr) return false;
  if (page.size() != SystemPageSize(page.data())) return false;
  if (!IsValidRestartPageHeader(page.data(), offset) || !IsValidRestartArea(page.data(), page.size()) ||
      !AreLogClientChainsValid(page.data(), page.size(), false))
    return false;
  std::vector<std::uint8_t> copy = page;
  if (!ProtectLogPage(copy.data(), copy.size())) return false;
  // The protected image must undo again before it goes out.
  std::vector<std::uint8_t> check = copy;
  if (!UnprotectLogPage(check.data(), check.size(), kRestartPageArrayOffset)) return false;
  return Write(offset, copy.data(), std::uint32_t(copy.size()));
}

void NTFSDriver::ResetLogFileClients() {
  if (logCleaned_ || resettingLog_) return;
  resettingLog_ = true;
  {
    LogFile log(*this);
    std::uint64_t offset = 0;
    for (int pass = 0; pass < 2 && log.Usable(); ++pass) {
      std::vector<std::uint8_t> page;
      if (!log.FindRestartPage(page, offset)) break;
      const std::uint64_t found = offset;
      if (ClearNtfsClient(page)) log.WriteRestartPage(page, found);
      // The second restart page follows the first; one found elsewhere is
      // the only one.
      if (found != 0 || page.empty()) break;
      offset = page.size();
    }
  }
  resettingLog_ = false;
  logCleaned_ = true;
}

}  // namespace ntfs
}  // namespace filesystems
