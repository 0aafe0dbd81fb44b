// The file layer's few system services outside Windows: a per-thread last
// error that only the file layer touches, the clock, and the C library's
// view of the local time zone.
#include <chrono>
#include <cstdint>
#include <ctime>

#include "files/file_error.h"
#include "files/file_time.h"

namespace {
thread_local std::uint32_t LastError = 0;
}  // namespace

std::uint32_t LastSystemError() noexcept { return LastError; }

void SetLastSystemError(std::uint32_t code) noexcept { LastError = code; }

std::int64_t CurrentTimeMs() noexcept {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t TimeZoneBiasMs() noexcept {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) return 0;
  // tm_gmtoff is east of UTC and already holds the daylight period's shift.
  return -static_cast<std::int64_t>(local.tm_gmtoff) * 1000;
}
