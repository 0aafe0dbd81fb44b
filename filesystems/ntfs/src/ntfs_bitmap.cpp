// Allocation, freeing and counting over an NTFS bitmap attribute.
#include "filesystems/ntfs_bitmap.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsBitmapModuleId;

void AddBit(std::vector<BitRun>& runs, std::uint64_t bit) {
  if (!runs.empty() && runs.back().first + runs.back().count == bit && runs.back().count != 0xFFFFFFFFu)
    ++runs.back().count;
  else
    runs.push_back(BitRun{bit, 1});
}

}  // namespace

Bitmap::Bitmap(BitmapStorage* storage, std::uint64_t bitLimit)
    : storage_(storage), bitLimit_(bitLimit) {
  if (!storage_) ThrowFileError(0x01, kModuleId, kFileCorrupted);
}

Bitmap::~Bitmap() = default;

std::uint64_t Bitmap::TotalBits() {
  const std::uint64_t size = storage_->Size();
  const std::uint64_t bits = size > (~std::uint64_t(0) >> 3) ? ~std::uint64_t(0) : size * 8;
  return std::min(bits, bitLimit_);
}

std::uint32_t Bitmap::Scan(std::uint64_t total, std::uint32_t wanted, std::vector<BitRun>& runs) {
  std::vector<std::uint8_t> window(kWindow);
  while (wanted != 0 && search_ < total) {
    const std::uint64_t windowStart = (search_ / 8) / kWindow * kWindow;
    const std::uint64_t windowBytes = std::min<std::uint64_t>(kWindow, (total + 7) / 8 - windowStart);
    const std::uint32_t got = storage_->Read(windowStart, window.data(), std::uint32_t(windowBytes));
    if (got == 0) ThrowFileError(0x02, kModuleId, kFileReadError);
    std::uint32_t taken = 0;
    std::uint64_t bit = search_;
    const std::uint64_t windowEnd = std::min<std::uint64_t>((windowStart + got) * 8, total);
    while (wanted != 0 && bit < windowEnd) {
      std::uint8_t& byte = window[std::size_t(bit / 8 - windowStart)];
      if (byte == 0xFF) {
        bit = (bit / 8 + 1) * 8;
        continue;
      }
      const std::uint8_t mask = std::uint8_t(1u << (bit % 8));
      if ((byte & mask) == 0 && !IsReserved(bit)) {
        byte |= mask;
        AddBit(runs, bit);
        ++taken;
        --wanted;
      }
      ++bit;
    }
    search_ = wanted == 0 ? bit : windowEnd;
    if (taken != 0) {
      if (storage_->Write(windowStart, window.data(), got) != got)
        ThrowFileError(0x03, kModuleId, kFileWriteError);
      if (freeCount_ != 0) freeCount_ -= std::min<std::uint64_t>(freeCount_, taken);
    }
    if (got < windowBytes) break;
  }
  return wanted;
}

std::vector<BitRun> Bitmap::Allocate(std::uint32_t count, std::uint32_t* granted, bool mayGrow) {
  std::vector<BitRun> runs;
  std::uint64_t total = TotalBits();
  if (search_ >= total) search_ = 0;
  std::uint32_t missing = Scan(total, count, runs);
  while (missing != 0 && mayGrow) {
    const std::uint64_t end = storage_->Size();
    const std::uint32_t written = storage_->Write(end, nullptr, 8);
    if (written == 0) break;
    // The new bytes lie past any limit a growing bitmap could have had.
    bitLimit_ = ~std::uint64_t(0);
    search_ = end * 8;
    total = TotalBits();
    missing = Scan(total, missing, runs);
  }
  if (granted) *granted = count - missing;
  return runs;
}

void Bitmap::FreeRun(std::uint64_t first, std::uint32_t count) {
  if (count == 0) return;
  std::uint64_t total = 0;
  try {
    total = TotalBits();
  } catch (const Common::Error&) {
    return;
  }
  if (first >= total) return;
  const std::uint64_t end = std::min<std::uint64_t>(first + count, total);
  if (first < search_) search_ = first;
  std::vector<std::uint8_t> window(kWindow);
  for (std::uint64_t bit = first; bit < end;) {
    const std::uint64_t byteStart = bit / 8;
    const std::uint64_t byteEnd = std::min<std::uint64_t>((end + 7) / 8, byteStart + kWindow);
    const std::uint32_t length = std::uint32_t(byteEnd - byteStart);
    std::uint64_t cleared = 0;
    try {
      if (storage_->Read(byteStart, window.data(), length) != length) return;
      const std::uint64_t stop = std::min<std::uint64_t>(end, byteEnd * 8);
      for (std::uint64_t b = bit; b < stop; ++b) {
        std::uint8_t& byte = window[std::size_t(b / 8 - byteStart)];
        const std::uint8_t mask = std::uint8_t(1u << (b % 8));
        if (byte & mask) {
          byte &= std::uint8_t(~mask);
          ++cleared;
        }
      }
      storage_->Write(byteStart, window.data(), length);
      bit = stop;
    } catch (const Common::Error&) {
      return;
    }
    // Only bits that were in use become free: freeing twice does not
    // inflate the count.
    if (freeCount_ != 0) freeCount_ += cleared;
  }
}

void Bitmap::FreeRuns(const std::vector<BitRun>& runs) {
  for (const BitRun& r : runs) FreeRun(r.first, r.count);
}

std::uint64_t Bitmap::CountFree() {
  const std::uint64_t total = TotalBits();
  if (search_ >= total) search_ = 0;
  const bool fromZero = search_ == 0;
  bool positioned = !fromZero;
  std::vector<std::uint8_t> window(kWindow);
  std::uint64_t result = 0;
  std::uint64_t runStart = 0, runLength = 0;
  const std::uint64_t bytes = (total + 7) / 8;
  for (std::uint64_t at = 0; at < bytes; at += kWindow) {
    const std::uint32_t length = std::uint32_t(std::min<std::uint64_t>(kWindow, bytes - at));
    const std::uint32_t got = storage_->Read(at, window.data(), length);
    if (got != length) ThrowFileError(0x04, kModuleId, kFileReadError);
    for (std::uint32_t i = 0; i < got; ++i) {
      const std::uint64_t base = (at + i) * 8;
      const std::uint8_t byte = window[i];
      const bool whole = base + 8 <= total;
      if (whole && byte == 0xFF) continue;
      if (whole && byte == 0x00 && positioned) {
        if (runLength == 0) runStart = base;
        if (runStart + runLength == base) {
          runLength += 8;
        } else {
          OnFreeRun(runStart, runLength);
          runStart = base;
          runLength = 8;
        }
        result += 8;
        continue;
      }
      for (int b = 0; b < 8 && base + b < total; ++b) {
        if (byte & (1u << b)) continue;
        const std::uint64_t bit = base + b;
        if (!positioned) {
          search_ = bit;
          positioned = true;
        }
        if (runLength != 0 && runStart + runLength == bit) {
          ++runLength;
        } else {
          if (runLength != 0) OnFreeRun(runStart, runLength);
          runStart = bit;
          runLength = 1;
        }
        ++result;
      }
    }
  }
  if (runLength != 0) OnFreeRun(runStart, runLength);
  if (!positioned) search_ = total;
  return result;
}

std::uint64_t Bitmap::GetFreeCount() {
  if (freeCount_ == 0) freeCount_ = CountFree();
  return freeCount_;
}

void FileRecordBitmap::FreeRun(std::uint64_t first, std::uint32_t count) {
  if (first < 16) {
    const std::uint64_t skip = 16 - first;
    if (skip >= count) return;
    count -= std::uint32_t(skip);
    first = 16;
  }
  Bitmap::FreeRun(first, count);
}

std::uint64_t FileRecordBitmap::AllocateOne() {
  std::uint32_t granted = 0;
  const std::vector<BitRun> runs = Allocate(1, &granted, true);
  if (granted == 0 || runs.empty()) ThrowFileError(0x10, kModuleId, kFileDiskFull);
  return runs.front().first;
}

}  // namespace ntfs
}  // namespace filesystems
