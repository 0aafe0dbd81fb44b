// Shared pieces of the HFS+ and HFSX driver: module ids, ranges of
// allocation blocks, sectors or bytes, and date conversions.
#pragma once

#include <algorithm>
#include <cstdint>

namespace filesystems {
namespace hfsplus {

// Module ids of this library's source files.
constexpr std::uint32_t kHfsVolumeHeaderModuleId = 0x7A140000;
constexpr std::uint32_t kHfsJournalModuleId = 0x7A141000;
constexpr std::uint32_t kHfsBitmapModuleId = 0x7A142000;
constexpr std::uint32_t kHfsReplayModuleId = 0x7A143000;
constexpr std::uint32_t kHfsExtentsModuleId = 0x7A144000;
constexpr std::uint32_t kHfsAllocationModuleId = 0x7A145000;

// An inclusive range {first, last} of units (allocation blocks with 32-bit
// bounds; sectors or bytes with 64-bit bounds). (0, 0) is the empty range,
// so a range cannot consist of unit 0 alone.
template <class T>
struct AreaLimits {
  T first = 0;
  T last = 0;

  constexpr AreaLimits() noexcept = default;
  constexpr AreaLimits(T f, T l) noexcept : first(f), last(l) {}
  // The range of `count` units from `start`; empty for count 0.
  static constexpr AreaLimits FromCount(T start, T count) noexcept {
    return count == 0 ? AreaLimits() : AreaLimits(start, T(start + count - 1));
  }

  constexpr bool Empty() const noexcept { return first == 0 && last == 0; }
  constexpr T Length() const noexcept { return Empty() ? T(0) : T(last - first + 1); }
  constexpr bool Contains(T unit) const noexcept { return !Empty() && unit >= first && unit <= last; }
  constexpr bool Covers(const AreaLimits& o) const noexcept {
    return o.Empty() || (!Empty() && o.first >= first && o.last <= last);
  }
  friend constexpr bool operator==(const AreaLimits& a, const AreaLimits& b) noexcept {
    return a.first == b.first && a.last == b.last;
  }
  friend constexpr bool operator!=(const AreaLimits& a, const AreaLimits& b) noexcept {
    return !(a == b);
  }
  // By first unit, then by length.
  friend constexpr bool operator<(const AreaLimits& a, const AreaLimits& b) noexcept {
    return a.first != b.first ? a.first < b.first : a.Length() < b.Length();
  }

  // The shared units; empty when either is empty or they share none.
  static constexpr AreaLimits Intersect(const AreaLimits& a, const AreaLimits& b) noexcept {
    if (a.Empty() || b.Empty()) return AreaLimits();
    const T f = std::max(a.first, b.first);
    const T l = std::min(a.last, b.last);
    return f > l ? AreaLimits() : AreaLimits(f, l);
  }
  // Keeps the first n units (n = 0 empties; n at or above the length keeps all).
  constexpr void Truncate(T n) noexcept {
    if (n == 0) *this = AreaLimits();
    else if (n < Length()) last = T(first + n - 1);
  }
  // Splits off and returns the first n units, keeping the rest.
  constexpr AreaLimits TakeFront(T n) noexcept {
    if (n == 0 || Empty()) return AreaLimits();
    if (n >= Length()) {
      AreaLimits all = *this;
      *this = AreaLimits();
      return all;
    }
    AreaLimits front(first, T(first + n - 1));
    first = T(first + n);
    return front;
  }
};

using BlockArea = AreaLimits<std::uint32_t>;
using SectorArea = AreaLimits<std::uint64_t>;

// HFS+ dates count seconds since 1904-01-01; these many separate it from 1970.
constexpr std::uint32_t kHfsEpochOffset = 2082844800u;

// Milliseconds since 1970 as an HFS+ date (low 32 bits, as the format keeps).
constexpr std::uint32_t ToHFSPlusTime(std::int64_t ms) noexcept {
  return std::uint32_t(std::uint64_t(ms / 1000 + std::int64_t(kHfsEpochOffset)));
}

// An HFS+ date as milliseconds since 1970. Dates before 1970 have no place
// in the framework's unsigned times: they become 0 instead of wrapping to
// times after 2038.
constexpr std::uint64_t FromHFSPlusTime(std::uint32_t date) noexcept {
  return date < kHfsEpochOffset ? 0 : std::uint64_t(date - kHfsEpochOffset) * 1000u;
}

}  // namespace hfsplus
}  // namespace filesystems
