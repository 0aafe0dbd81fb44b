#include "files/file_time.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

constexpr std::uint64_t kFatEpochUtc = 119600064000000000ull;  // 1980-01-01 00:00 UTC
constexpr std::uint64_t kMsAt1980 = 315532800000ull;

TEST(FileTimeTest, ConversionsAndTheirNoTimeValues) {
  EXPECT_EQ(FileTimeToMs(0), 0u);
  EXPECT_EQ(MsToFileTime(0), 0u);
  EXPECT_EQ(FileTimeToMs(FatEpochSentinel()), 0u);
  EXPECT_EQ(FatEpochSentinel(),
            kFatEpochUtc + static_cast<std::uint64_t>(TimeZoneBiasMs() * 10000));

  // One millisecond past 1980 UTC is never the sentinel (biases are whole
  // minutes).
  EXPECT_EQ(FileTimeToMs(kFatEpochUtc + 10000), kMsAt1980 + 1);
  // Sub-millisecond units are cut off.
  EXPECT_EQ(FileTimeToMs(kFatEpochUtc + 19999), kMsAt1980 + 1);
  EXPECT_EQ(MsToFileTime(kMsAt1980 + 1), kFatEpochUtc + 10000);

  for (std::uint64_t t : {std::uint64_t{1}, std::uint64_t{999}, kMsAt1980 + 7,
                          std::uint64_t{1700000000123}, std::uint64_t{253402300799999}}) {
    if (MsToFileTime(t) == FatEpochSentinel()) continue;
    EXPECT_EQ(FileTimeToMs(MsToFileTime(t)), t) << t;
  }
}

TEST(FileTimeTest, CurrentTimeIsTheSystemClock) {
  const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr)) * 1000;
  const std::int64_t now = CurrentTimeMs();
  const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr)) * 1000 + 1000;
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

TEST(FileTimeTest, BiasIsWholeMinutesWithinADay) {
  const std::int64_t bias = TimeZoneBiasMs();
  EXPECT_EQ(bias % 60000, 0);
  EXPECT_LE(bias < 0 ? -bias : bias, 24 * 3600000);
}

}  // namespace
