// The allocation bitmap and its index of free areas by length and by place.
#include "filesystems/hfs_bitmap.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsBitmapModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }
[[noreturn]] void NotSupported(std::uint32_t site) {
  ThrowFileError(site, kModuleId, kFileNotSupported);
}

}  // namespace

Bitmap::Bitmap(const std::uint8_t* bytes, std::size_t byteCount, std::uint32_t bitCount)
    : bitCount_(bitCount) {
  if (bitCount == 0) NotSupported(1);
  const std::size_t need = (std::size_t(bitCount) + 7) / 8;
  bytes_.assign(need, 0);
  if (bytes) {
    if (byteCount < need) NotSupported(2);
    std::memcpy(bytes_.data(), bytes, need);
  }
  Rebuild();
}

bool Bitmap::Test(std::uint32_t unit) const noexcept {
  return unit < bitCount_ && (bytes_[unit / 8] & (0x80u >> (unit % 8))) != 0;
}

void Bitmap::SetBits(std::uint32_t first, std::uint32_t last, bool value) noexcept {
  std::uint32_t u = first;
  while (u <= last) {
    if (u % 8 == 0 && last - u >= 7) {
      bytes_[u / 8] = value ? 0xFF : 0x00;
      u += 8;
    } else {
      const std::uint8_t mask = std::uint8_t(0x80u >> (u % 8));
      if (value) bytes_[u / 8] |= mask;
      else bytes_[u / 8] &= std::uint8_t(~mask);
      ++u;
    }
    if (u == 0) break;  // wrapped past the last unit
  }
}

void Bitmap::Insert(std::uint32_t first, std::uint32_t last) {
  if (first > last || !byLength_.insert({last - first + 1, first}).second) Corrupted(10);
  byFirst_[first] = last;
}

void Bitmap::Erase(std::uint32_t first) {
  auto it = byFirst_.find(first);
  if (it == byFirst_.end() || byLength_.erase({it->second - first + 1, first}) != 1) Corrupted(11);
  byFirst_.erase(it);
}

void Bitmap::Rebuild() {
  byLength_.clear();
  byFirst_.clear();
  used_ = 0;
  bool open = false;
  std::uint32_t runStart = 0;
  for (std::uint32_t u = 0; u < bitCount_; ++u) {
    // Whole bytes at once where a byte is all free or all used.
    if (u % 8 == 0 && bitCount_ - u >= 8) {
      const std::uint8_t b = bytes_[u / 8];
      if (b == 0x00) {
        if (!open) open = true, runStart = u;
        u += 7;
        continue;
      }
      if (b == 0xFF) {
        if (open) Insert(runStart, u - 1), open = false;
        used_ += 8;
        u += 7;
        continue;
      }
    }
    if (Test(u)) {
      ++used_;
      if (open) Insert(runStart, u - 1), open = false;
    } else if (!open) {
      open = true;
      runStart = u;
    }
  }
  if (open) Insert(runStart, bitCount_ - 1);
}

std::map<std::uint32_t, std::uint32_t>::const_iterator Bitmap::AreaHolding(
    std::uint32_t unit) const {
  auto it = byFirst_.upper_bound(unit);
  if (it == byFirst_.begin()) return byFirst_.end();
  --it;
  return it->second >= unit ? it : byFirst_.end();
}

void Bitmap::MarkUnit(std::uint32_t unit, bool used) {
  if (unit >= bitCount_) Corrupted(20);
  MarkUnits(unit, unit, used);
}

void Bitmap::MarkRange(const BlockArea& area, bool used) {
  if (area.Empty()) return;
  MarkUnits(area.first, area.last, used);
}

// Unit 0 alone cannot be an area ((0, 0) is the empty one), so the work is
// done on plain bounds and MarkUnit(0) still marks unit 0.
void Bitmap::MarkUnits(std::uint32_t first, std::uint32_t last, bool used) {
  if (first > last || last >= bitCount_) Corrupted(21);
  if (used) {
    // The whole area must be one free run's part; checked before any bit
    // changes, so a refused mark leaves the bitmap as it was.
    auto holder = AreaHolding(first);
    if (holder == byFirst_.end() || holder->second < last) Corrupted(22);
    const std::uint32_t hFirst = holder->first, hLast = holder->second;
    SetBits(first, last, true);
    used_ += last - first + 1;
    Erase(hFirst);
    if (hFirst < first) Insert(hFirst, first - 1);
    if (last < hLast) Insert(last + 1, hLast);
    return;
  }
  if (used_ == 0) return;
  std::uint32_t setBits = 0;
  for (std::uint32_t u = first;; ++u) {
    if (Test(u)) ++setBits;
    if (u == last) break;
  }
  SetBits(first, last, false);
  used_ -= setBits;
  // Join with the free areas that touch or overlap the freed one.
  std::uint32_t newFirst = first, newLast = last;
  auto it = first > 0 ? AreaHolding(first - 1) : byFirst_.end();
  if (it == byFirst_.end()) it = byFirst_.lower_bound(first);
  while (it != byFirst_.end() && (last == 0xFFFFFFFFu || it->first <= last + 1)) {
    newFirst = std::min(newFirst, it->first);
    newLast = std::max(newLast, it->second);
    const std::uint32_t f = it->first;
    ++it;
    Erase(f);
  }
  Insert(newFirst, newLast);
}

std::uint32_t Bitmap::GetFirstFree() const noexcept {
  return byFirst_.empty() ? kNone : byFirst_.begin()->first;
}

BlockArea Bitmap::GetFirstFreeArea() const noexcept {
  return byFirst_.empty() ? BlockArea() : BlockArea(byFirst_.begin()->first, byFirst_.begin()->second);
}

bool Bitmap::Clip(std::uint32_t& first, std::uint32_t& last, const BlockArea& search) noexcept {
  first = std::max(first, search.first);
  last = std::min(last, search.last);
  return first <= last;
}

BlockArea Bitmap::FindFreeArea(std::uint32_t length, const BlockArea& search) const {
  if (length == 0 || search.Empty() || search.first > search.last || byFirst_.empty()) {
    return BlockArea();
  }
  // Candidates: the free areas that lie wholly inside the search area, by
  // length, and the (at most two) that stick out of its ends, cut.
  struct Best {
    std::uint32_t first = 0, last = 0;
    bool found = false;
    std::uint32_t Length() const { return last - first + 1; }
  };
  auto better = [length](const Best& best, std::uint32_t f, std::uint32_t l) {
    if (!best.found) return true;
    const std::uint32_t n = l - f + 1, b = best.Length();
    const bool nFits = n >= length, bFits = b >= length;
    if (nFits != bFits) return nFits;
    if (nFits) {
      if (n == length || b == length) {
        if ((n == length) != (b == length)) return n == length;
        return f < best.first;
      }
      return n != b ? n < b : f < best.first;
    }
    return n != b ? n > b : f < best.first;
  };
  Best best;
  auto consider = [&](std::uint32_t f, std::uint32_t l) {
    if (!Clip(f, l, search)) return;
    if (better(best, f, l)) best = {f, l, true};
  };
  for (std::uint32_t edge : {search.first, search.last}) {
    auto it = AreaHolding(edge);
    if (it != byFirst_.end()) consider(it->first, it->second);
  }
  auto inside = [&](const Key& k) {
    return k.second >= search.first && std::uint64_t(k.second) + k.first - 1 <= search.last;
  };
  // Wholly inside and at least `length` long: the first such entry is the
  // shortest, and the lowest of that length.
  for (auto it = byLength_.lower_bound({length, 0}); it != byLength_.end(); ++it) {
    if (inside(*it)) {
      consider(it->second, it->second + it->first - 1);
      break;
    }
  }
  if (!best.found || best.Length() < length) {
    // Nothing long enough: the longest shorter one, the lowest among equals.
    std::uint32_t found = 0;
    for (auto it = byLength_.lower_bound({length, 0}); it != byLength_.begin();) {
      --it;
      if (found != 0 && it->first < found) break;
      if (inside(*it)) {
        consider(it->second, it->second + it->first - 1);
        found = it->first;
      }
    }
  }
  if (!best.found) return BlockArea();
  return BlockArea(best.first, best.last);
}

std::vector<BlockArea> Bitmap::FreeAreas() const {
  std::vector<BlockArea> out;
  for (const auto& e : byFirst_) out.push_back(BlockArea(e.first, e.second));
  return out;
}

bool Bitmap::IndexMatchesBits() const {
  std::map<std::uint32_t, std::uint32_t> runs;
  std::uint32_t used = 0;
  bool open = false;
  std::uint32_t start = 0;
  for (std::uint32_t u = 0; u < bitCount_; ++u) {
    if (Test(u)) {
      ++used;
      if (open) runs[start] = u - 1, open = false;
    } else if (!open) {
      open = true, start = u;
    }
  }
  if (open) runs[start] = bitCount_ - 1;
  if (runs != byFirst_ || used != used_ || byLength_.size() != byFirst_.size()) return false;
  for (const auto& r : runs) {
    if (!byLength_.count({r.second - r.first + 1, r.first})) return false;
  }
  return true;
}

}  // namespace hfsplus
}  // namespace filesystems
