// $LogFile restart areas. The driver never replays or writes log records;
// before it first changes a mounted volume it clears the log client "NTFS"
// in both restart pages (its oldest and restart LSNs become 0, the restart
// area's current LSN takes the smaller of the two), so that the system does
// not later replay old log records over the driver's changes.
//
// Restart page: "RSTR" (or "CHKD" after a disk check), update sequence
// array offset and count at 4 and 6, system page size at 16, log page size
// at 20, restart area offset at 24, minor and major version at 26 and 28.
// Restart area: current LSN at 0, client count at 8, first free and first
// in-use client at 10 and 12, sequence number bits at 16, area length at
// 20, client array offset at 22 (from version 1.1 on; 40 before), file size
// at 24, log record header length at 36, log page data offset at 38.
// Client records are 160 bytes: oldest LSN, restart LSN, previous and next
// client at 16 and 18, name length in bytes at 28, UTF-16 name at 32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "filesystems/ntfs_driver.h"

namespace filesystems {
namespace ntfs {

constexpr std::uint32_t kNtfsLogModuleId = 0x7A140000;

// Checks of a restart page image. Every check reads only bytes the earlier
// checks have shown to lie inside the first 512 bytes or the page.
bool IsValidRestartPageHeader(const std::uint8_t* page, std::uint64_t offset) noexcept;
// `page` holds at least 512 bytes, or the whole page when the header says
// it is larger and `size` covers it.
bool IsValidRestartArea(const std::uint8_t* page, std::size_t size) noexcept;
// The free and in-use client chains: every index below the client count,
// no cycle, each chain's first client without a predecessor. With
// `sectorZeroLimit` the restart area must also end inside the first sector.
bool AreLogClientChainsValid(const std::uint8_t* page, std::size_t size,
                             bool sectorZeroLimit) noexcept;

// $LogFile's data, read and written through the driver. Errors are kept,
// not thrown: a failing read or write makes the caller skip that page.
class LogFile {
 public:
  explicit LogFile(NTFSDriver& driver);
  std::uint64_t Size() const noexcept { return size_; }
  bool Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) noexcept;
  bool Write(std::uint64_t offset, const std::uint8_t* buffer, std::uint32_t length) noexcept;
  bool Usable() const noexcept { return usable_; }

  // Probes 0, 512, 1024, 2048... (or X, 2X, 4X... from a non-zero start)
  // for a restart page and returns it with its update sequence undone;
  // `offset` becomes where it was found. A page whose update sequence does
  // not check out is not taken: changing it would write stale sector ends.
  bool FindRestartPage(std::vector<std::uint8_t>& page, std::uint64_t& offset) noexcept;
  // Protects a copy of an unprotected "RSTR" page and writes it at
  // `offset`; false when the page fails a check or the write fails.
  bool WriteRestartPage(const std::vector<std::uint8_t>& page, std::uint64_t offset) noexcept;

 private:
  NTFSDriver& driver_;
  std::uint64_t size_ = 0;
  bool usable_ = false;
  AttributeValue value_;
};

// Clears the "NTFS" client's LSNs of one unprotected restart page; true
// when something changed.
bool ClearNtfsClient(std::vector<std::uint8_t>& page) noexcept;

}  // namespace ntfs
}  // namespace filesystems
