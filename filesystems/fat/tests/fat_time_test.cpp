// FAT dates and times are local time: conversions at the 1980 and 2107
// bounds, odd seconds, and times set through the driver as istat reads
// them, in UTC and in a zone with summer time.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "fat_image.h"
#include "fat_session.h"
#include "fat_time_cases.h"
#include "files/control.h"
#include "filesystems/fat_driver.h"

namespace {

using filesystems::FatTimeToMs;
using filesystems::MsToFatTime;

// Sets the process's zone for one scope.
class Zone {
 public:
  explicit Zone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~Zone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

using fattest::Utc;

TEST(FatTime, BoundsAndFieldsInTwoZones) {
  std::size_t count = 0;
  const fattest::TimeCase* table = fattest::TimeCases(&count);
  for (std::size_t i = 0; i < count; ++i) {
    const fattest::TimeCase& c = table[i];
    Zone zone(c.zone);
    fattest::CheckTimeCase(c);
  }
  Zone utc("UTC");
  EXPECT_EQ(FatTimeToMs(0, 0, 0), 0u);
}

// Times set through the driver, read back by istat in the same zone.
TEST(FatTime, TimesSetThroughTheDriverAsIstatReadsThem) {
  fattest::ScratchDir dir;
  for (const char* zoneName : {"UTC", "Europe/Berlin"}) {
    SCOPED_TRACE(zoneName);
    Zone zone(zoneName);
    const std::string image = dir.File("times.img");
    ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 4, 2, 20480, "TIMES", ""}));
    {
      fattest::Session s(image);
      ASSERT_EQ(s.Put("summer.txt", "s"), 0u);
      ASSERT_EQ(s.Put("first.txt", "f"), 0u);
      ASSERT_EQ(s.Put("last.txt", "l"), 0u);
      struct Set {
        const char16_t* name;
        std::int64_t modified, created;
      };
      const Set sets[] = {
          {u"summer.txt", Utc(2021, 7, 15, 10, 20, 30), Utc(2020, 12, 24, 18, 0, 1) + 250},
          {u"first.txt", Utc(1980, 1, 1, 0, 0, 0) + (std::string(zoneName) == "UTC" ? 0 : -3600000),
           Utc(1979, 1, 1, 0, 0, 0)},
          {u"last.txt", Utc(2107, 12, 31, 20, 0, 0), Utc(2107, 12, 31, 20, 0, 0)},
      };
      for (const Set& set : sets) {
        std::unique_ptr<rio_file> f(s.Root()->open_file_rw(set.name, false));
        ASSERT_TRUE(f);
        sftm_request request;
        request.modificationTime = std::uint64_t(set.modified);
        request.creationTime = std::uint64_t(set.created);
        f->control(&request);
        EXPECT_TRUE(f->is_ok());
      }
      ASSERT_EQ(s.Close(), 0u);
    }
    auto istat = [&](const std::string& name) {
      const std::string inode = fattest::FlsInode(image, name);
      return DiskTest::RunCommand("TZ=" + std::string(zoneName) + " istat '" + image + "' " +
                                  inode + " 2>&1");
    };
    const bool utc = std::string(zoneName) == "UTC";
    const std::string summer = istat("summer.txt");
    EXPECT_NE(summer.find(utc ? "Written:\t2021-07-15 10:20:30 (UTC)"
                              : "Written:\t2021-07-15 12:20:30 (CEST)"),
              std::string::npos)
        << summer;
    // istat adds the 10 ms field's whole seconds.
    EXPECT_NE(summer.find(utc ? "Created:\t2020-12-24 18:00:01 (UTC)"
                              : "Created:\t2020-12-24 19:00:01 (CET)"),
              std::string::npos)
        << summer;
    const std::string first = istat("first.txt");
    EXPECT_NE(first.find("Written:\t1980-01-01 00:00:00"), std::string::npos) << first;
    // A creation time before 1980 leaves the field as it was.
    EXPECT_EQ(first.find("Created:\t1979"), std::string::npos) << first;
    // istat cannot show years past 2038; mdir shows the fields as stored.
    const std::string last =
        DiskTest::RunCommand("mdir -i '" + image + "' ::/LAST.TXT 2>&1");
    EXPECT_NE(last.find(utc ? "2107-12-31  20:00" : "2107-12-31  21:00"), std::string::npos)
        << last;
    // The driver's listing gives the same instants back.
    fattest::Session s(image, 512, true);
    std::unique_ptr<i_dir::iterator> it(s.Root()->find(u"summer.txt"));
    ASSERT_TRUE(it);
    EXPECT_EQ(std::int64_t(it->write_time()), Utc(2021, 7, 15, 10, 20, 30));
    EXPECT_EQ(std::int64_t(it->creation_time()), Utc(2020, 12, 24, 18, 0, 0) + 1250);
  }
}

}  // namespace

#endif
