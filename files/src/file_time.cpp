// Conversions between Windows FILETIMEs and the file layer's milliseconds.
#include "files/file_time.h"

namespace {
// 1980-01-01 00:00 UTC as a FILETIME.
constexpr std::uint64_t kFatEpochUtcFileTime = 0x6CC68F547000ull * 1000;
constexpr std::int64_t kFileTimeUnitsPerMs = 10000;
}  // namespace

std::uint64_t FatEpochSentinel() noexcept {
  static const std::uint64_t sentinel =
      kFatEpochUtcFileTime +
      static_cast<std::uint64_t>(TimeZoneBiasMs() * kFileTimeUnitsPerMs);
  return sentinel;
}

std::uint64_t FileTimeToMs(std::uint64_t fileTime) noexcept {
  if (fileTime == 0 || fileTime == FatEpochSentinel()) return 0;
  const std::int64_t ms = static_cast<std::int64_t>(fileTime) / kFileTimeUnitsPerMs;
  return static_cast<std::uint64_t>(ms - kFileTimeEpochDeltaMs);
}

std::uint64_t MsToFileTime(std::uint64_t ms) noexcept {
  if (ms == 0) return 0;
  return (ms + static_cast<std::uint64_t>(kFileTimeEpochDeltaMs)) *
         static_cast<std::uint64_t>(kFileTimeUnitsPerMs);
}
