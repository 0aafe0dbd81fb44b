// The file layer's few system services on Windows: the thread's last error,
// the system clock and the time-zone information.
#include <windows.h>

#include <cstdint>

#include "files/file_error.h"
#include "files/file_time.h"

std::uint32_t LastSystemError() noexcept { return GetLastError(); }

void SetLastSystemError(std::uint32_t code) noexcept { SetLastError(code); }

std::int64_t CurrentTimeMs() noexcept {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t units =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<std::int64_t>(units / 10000) - kFileTimeEpochDeltaMs;
}

std::int64_t TimeZoneBiasMs() noexcept {
  TIME_ZONE_INFORMATION zone;
  const DWORD period = GetTimeZoneInformation(&zone);
  std::int64_t minutes = zone.Bias;
  switch (period) {
    case TIME_ZONE_ID_UNKNOWN: break;
    case TIME_ZONE_ID_STANDARD: minutes += zone.StandardBias; break;
    case TIME_ZONE_ID_DAYLIGHT: minutes += zone.DaylightBias; break;
    default: return 0;
  }
  return minutes * 60000;
}
