// Times of the file layer: milliseconds since 1970-01-01 00:00 UTC. Entry
// times are unsigned with 0 meaning no time; the current time and the
// time-zone bias are signed.
#pragma once

#include <cstdint>

// Milliseconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr std::int64_t kFileTimeEpochDeltaMs = 11644473600000;

// The current time.
std::int64_t CurrentTimeMs() noexcept;

// The local time zone's current bias, positive west of UTC (UTC = local time
// + bias), including the daylight or standard period bias in force; 0 when
// the zone cannot be read.
std::int64_t TimeZoneBiasMs() noexcept;

// The FILETIME of 1980-01-01 00:00 local time: the zero date of FAT volumes,
// which FileTimeToMs reads as no time. Computed once per process.
std::uint64_t FatEpochSentinel() noexcept;

// FILETIME (100 ns units since 1601) to milliseconds since 1970: 0 for 0 and
// for FatEpochSentinel(). A FILETIME before 1970 gives the two's complement
// of a negative count.
std::uint64_t FileTimeToMs(std::uint64_t fileTime) noexcept;

// Milliseconds since 1970 to FILETIME; 0 stays 0.
std::uint64_t MsToFileTime(std::uint64_t ms) noexcept;
