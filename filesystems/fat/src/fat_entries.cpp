// Reading FAT directory entries.
#include "filesystems/fat_entries.h"

#include <cstring>

#include "filesystems/fat_names.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace fatentry {

std::uint32_t FirstCluster(const std::uint8_t* entry, bool fat32) {
  const std::uint32_t low = Common::LoadLe16(entry + 26);
  return fat32 ? (std::uint32_t(Common::LoadLe16(entry + 20)) << 16) | low : low;
}

std::uint32_t FileSize(const std::uint8_t* entry) { return Common::LoadLe32(entry + 28); }

bool IsDirectory(const std::uint8_t* entry) { return (entry[11] & kAttributeDirectory) != 0; }

bool IsLiveEntry(const std::uint8_t* entry, bool fat32, const std::uint8_t* filter,
                 std::uint32_t filterBits) {
  if (entry[0] == kDeleted || entry[0] == '.' || (entry[11] & kAttributeLabel)) return false;
  if (filterBits == 0 || (!IsDirectory(entry) && FileSize(entry) == 0)) return true;
  const std::uint32_t cluster = FirstCluster(entry, fat32);
  if (cluster < 2) return true;
  const std::uint32_t bit = cluster - 2;
  return bit < filterBits && (filter[bit / 8] >> (bit % 8) & 1) != 0;
}

bool HasDotEntries(const std::uint8_t* first, const std::uint8_t* second, std::uint32_t id,
                   bool fat32) {
  static const char kDot[11] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  static const char kDotDot[11] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  return std::memcmp(first, kDot, 11) == 0 &&
         (first[11] & (kAttributeDirectory | kAttributeLabel)) == kAttributeDirectory &&
         FirstCluster(first, fat32) == id && std::memcmp(second, kDotDot, 11) == 0 &&
         (second[11] & (kAttributeDirectory | kAttributeLabel)) == kAttributeDirectory;
}

std::uint32_t ReadLongName(const std::function<const std::uint8_t*(std::uint32_t)>& entryAt,
                           std::uint32_t index, std::u16string& name) {
  static constexpr std::uint8_t kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  name.clear();
  const std::uint8_t checksum = fatname::LfnChecksum(entryAt(index));
  std::uint32_t count = 0;
  for (std::uint32_t j = 1; j <= index && j <= fatname::kMaxLongNameEntries; ++j) {
    const std::uint8_t* e = entryAt(index - j);
    if (e[11] != kAttributeLongName || Common::LoadLe16(e + 26) != 0 ||
        (e[0] & ~fatname::kLastLongNameEntry) != j || e[13] != checksum)
      return 0;
    if (e[0] & fatname::kLastLongNameEntry) {
      count = j;
      break;
    }
  }
  if (count == 0) return 0;
  for (std::uint32_t j = 1; j <= count; ++j) {
    const std::uint8_t* e = entryAt(index - j);
    for (std::uint8_t offset : kUnitOffsets) {
      const char16_t unit = char16_t(Common::LoadLe16(e + offset));
      if (unit == 0) return count;
      name.push_back(unit);
    }
  }
  return count;
}

}  // namespace fatentry
}  // namespace filesystems
