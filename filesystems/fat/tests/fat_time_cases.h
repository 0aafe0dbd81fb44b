// FAT dates and times are local time. The conversions both ways, at the 1980
// and 2107 bounds and across summer time, as a table shared by the native
// tests (the zone set through TZ) and the Windows ones (the system's zone).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "filesystems/fat_driver.h"

namespace fattest {

// Milliseconds since 1970 of a UTC calendar time, by the civil-calendar day
// count, so that no C library's zone handling takes part in the expectation.
inline std::int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
  const int y = month <= 2 ? year - 1 : year;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yearOfEra = y - era * 400;
  const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const std::int64_t days = std::int64_t(era) * 146097 + dayOfEra - 719468;
  return ((days * 24 + hour) * 60 + minute) * 60000 + std::int64_t(second) * 1000;
}

inline std::uint16_t FatDate(int year, int month, int day) {
  return std::uint16_t(((year - 1980) << 9) | (month << 5) | day);
}
inline std::uint16_t FatClock(int hour, int minute, int second) {
  return std::uint16_t((hour << 11) | (minute << 5) | (second / 2));
}

struct TimeCase {
  const char* zone;  // "UTC" or "Europe/Berlin"
  std::int64_t ms;
  bool stored;  // false: outside what the fields can hold, left as they were
  std::uint16_t date, time;
  std::uint8_t tenMs;
};

inline const TimeCase* TimeCases(std::size_t* count) {
  static const TimeCase table[] = {
      {"UTC", Utc(1980, 1, 1, 0, 0, 0), true, 0x0021, 0, 0},
      {"UTC", Utc(1979, 12, 31, 23, 59, 59), false, 0, 0, 0},
      {"UTC", Utc(2107, 12, 31, 23, 59, 59), true, FatDate(2107, 12, 31), FatClock(23, 59, 58),
       100},
      {"UTC", Utc(2108, 1, 1, 0, 0, 0), false, 0, 0, 0},
      {"UTC", Utc(2021, 3, 4, 5, 6, 7) + 500, true, FatDate(2021, 3, 4), FatClock(5, 6, 6), 150},
      {"UTC", 0, false, 0, 0, 0},
      // Berlin: one hour ahead in winter, two in summer; the clocks change at
      // 01:00 UTC on the last Sundays of March and October.
      {"Europe/Berlin", Utc(2021, 1, 15, 10, 0, 0), true, FatDate(2021, 1, 15),
       FatClock(11, 0, 0), 0},
      {"Europe/Berlin", Utc(2021, 7, 15, 10, 0, 0), true, FatDate(2021, 7, 15),
       FatClock(12, 0, 0), 0},
      {"Europe/Berlin", Utc(2021, 3, 28, 0, 59, 58), true, FatDate(2021, 3, 28),
       FatClock(1, 59, 58), 0},
      {"Europe/Berlin", Utc(2021, 3, 28, 1, 0, 0), true, FatDate(2021, 3, 28), FatClock(3, 0, 0),
       0},
      // The hour after the autumn change repeats in local time; just past it
      // is unambiguous again.
      {"Europe/Berlin", Utc(2021, 10, 31, 2, 0, 0), true, FatDate(2021, 10, 31),
       FatClock(3, 0, 0), 0},
      // Local 1980-01-01 00:00 is 1979-12-31 23:00 UTC there.
      {"Europe/Berlin", Utc(1979, 12, 31, 23, 0, 0), true, 0x0021, 0, 0},
      {"Europe/Berlin", Utc(1979, 12, 31, 22, 59, 59), false, 0, 0, 0},
      // Local 2107-12-31 23:59:58 is 22:59:58 UTC; an hour later is 2108 there.
      {"Europe/Berlin", Utc(2107, 12, 31, 22, 59, 58), true, FatDate(2107, 12, 31),
       FatClock(23, 59, 58), 0},
      {"Europe/Berlin", Utc(2107, 12, 31, 23, 0, 0), false, 0, 0, 0},
  };
  *count = sizeof table / sizeof table[0];
  return table;
}

// Converts the case's instant to fields in the zone in force and back.
inline void CheckTimeCase(const TimeCase& c) {
  SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.ms));
  std::uint16_t date = 0xAAAA, time = 0xAAAA;
  std::uint8_t tenMs = 0xAA;
  EXPECT_EQ(filesystems::MsToFatTime(&date, &time, &tenMs, c.ms), c.stored);
  if (!c.stored) {
    EXPECT_EQ(date, 0xAAAA);
    return;
  }
  EXPECT_EQ(date, c.date);
  EXPECT_EQ(time, c.time);
  EXPECT_EQ(tenMs, c.tenMs);
  // And back: the same instant, to the 10 ms the fields keep.
  EXPECT_EQ(std::int64_t(filesystems::FatTimeToMs(date, time, tenMs)), c.ms / 10 * 10);
}

}  // namespace fattest
