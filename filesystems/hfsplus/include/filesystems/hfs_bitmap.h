// A bitmap of allocation units (allocation blocks of the volume, or nodes
// of a B-tree) with an index of its free areas, so that a free area of a
// given length near a given place is found without scanning bits.
//
// Bit n is bit (7 - n mod 8) of byte n / 8 (most significant first); a set
// bit is a unit in use.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "filesystems/hfs_format.h"

namespace filesystems {
namespace hfsplus {

class Bitmap {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  // `bitCount` units (0: 0x4000e). With bytes, their count must cover the
  // bits (else 0x4000e) and they are copied; without, every unit is free.
  Bitmap(const std::uint8_t* bytes, std::size_t byteCount, std::uint32_t bitCount);

  std::uint32_t BitCount() const noexcept { return bitCount_; }
  std::uint32_t Used() const noexcept { return used_; }
  std::uint32_t Free() const noexcept { return bitCount_ - used_; }
  bool Test(std::uint32_t unit) const noexcept;
  // ceil(bit count / 8) bytes; bits past the count are as they were given.
  const std::vector<std::uint8_t>& Bytes() const noexcept { return bytes_; }

  // Marks the area used or free (the empty area: nothing). Outside
  // [0, bit count - 1]: 0x4000d.
  // Marking used a unit that is already used: 0x4000d, and nothing changes.
  // Freeing a unit that is free is allowed (it stays free).
  void MarkRange(const BlockArea& area, bool used);
  void MarkUnit(std::uint32_t unit, bool used);

  // The lowest free unit, or kNone.
  std::uint32_t GetFirstFree() const noexcept;
  // The free area with the lowest units; empty when none.
  BlockArea GetFirstFreeArea() const noexcept;

  // A free area for `length` units inside `search` (free areas cut to the
  // search area): one of exactly that length when there is one, else the
  // shortest longer one, else the longest shorter one; among equals the
  // lowest. Empty when nothing is free there, for length 0 or an empty
  // search area. The caller takes what it needs from the result.
  BlockArea FindFreeArea(std::uint32_t length, const BlockArea& search) const;

  // The free areas in unit order (as the index holds them).
  std::vector<BlockArea> FreeAreas() const;
  // True when the index is exactly the runs of clear bits.
  bool IndexMatchesBits() const;

 private:
  using Key = std::pair<std::uint32_t, std::uint32_t>;  // {length, first}
  void Rebuild();
  void MarkUnits(std::uint32_t first, std::uint32_t last, bool used);
  void Insert(std::uint32_t first, std::uint32_t last);
  void Erase(std::uint32_t first);
  void SetBits(std::uint32_t first, std::uint32_t last, bool value) noexcept;
  // The entry of the free area that holds `unit`, or end.
  std::map<std::uint32_t, std::uint32_t>::const_iterator AreaHolding(std::uint32_t unit) const;
  // Cuts [first, last] to the search area; false when nothing is left.
  static bool Clip(std::uint32_t& first, std::uint32_t& last, const BlockArea& search) noexcept;

  std::vector<std::uint8_t> bytes_;
  std::uint32_t bitCount_;
  std::uint32_t used_ = 0;
  std::set<Key> byLength_;
  std::map<std::uint32_t, std::uint32_t> byFirst_;  // first -> last
};

}  // namespace hfsplus
}  // namespace filesystems
