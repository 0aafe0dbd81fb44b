// Times between the framework's milliseconds since 1970 and NTFS's
// FILETIME (100 ns units since 1601), dates before 1970 included.
#include <gtest/gtest.h>

#include <cstdint>

#include "filesystems/ntfs_file.h"

namespace ntfs = filesystems::ntfs;

TEST(NtfsTimes, MillisecondsAndFileTimes) {
  struct Case {
    const char* what;
    std::int64_t milliseconds;
    std::uint64_t fileTime;
  };
  const Case cases[] = {
      {"1970-01-01", 0, 116444736000000000ull},
      {"2000-01-01 00:00:00.123", 946684800123LL, 125911584001230000ull},
      {"1969-12-31 23:59:59", -1000, 116444735990000000ull},
      {"1900-01-01", -2208988800000LL, 94354848000000000ull},
      {"1601-01-01", -11644473600000LL, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ntfs::MillisecondsToFileTime(c.milliseconds), c.fileTime);
    EXPECT_EQ(ntfs::FileTimeToMilliseconds(c.fileTime), c.milliseconds);
  }
  // Before 1601 there is no FILETIME: the earliest one stands in.
  EXPECT_EQ(ntfs::MillisecondsToFileTime(-11644473600001LL), 0u);
}
