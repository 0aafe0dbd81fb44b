// FAT times are local times; under Windows the zone is the system's. The
// conversions and the times set through the driver are checked here in the
// zone the process was started in; tests/win/fat_times_under_wine.sh starts
// it once in UTC and once in a zone with summer time, and reads the image
// back with istat and mdir afterwards.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "fat_time_cases.h"
#include "files/control.h"
#include "files/dir.h"
#include "filesystems/fat_driver.h"
#include "image_volume.h"

namespace {

using fattest::Utc;
using filesystems::FatTimeToMs;
using filesystems::MsToFatTime;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The run-time library takes its zone from TZ when it is set. Windows sets
// none; only the host's TZ, passed through to pick the system's zone, puts
// one there. Drop it, so that the system's zone rules as on Windows.
void UseTheSystemZone() {
  _putenv("TZ=");
  _tzset();
}

class FatTimeWin : public ::testing::Test {
 protected:
  void SetUp() override {
    zone_ = Env("PURGEKIT_FAT_TIME_ZONE");
    image_ = Env("PURGEKIT_FAT_TIME_IMAGE");
    if (zone_.empty() || image_.empty())
      GTEST_SKIP() << "run by fat_times_under_wine.sh with a zone and an image";
    UseTheSystemZone();
  }
  std::string zone_, image_;
};

TEST_F(FatTimeWin, TheSystemZoneIsTheOneAskedFor) {
  TIME_ZONE_INFORMATION info{};
  const DWORD kind = GetTimeZoneInformation(&info);
  if (zone_ == "UTC") {
    EXPECT_EQ(info.Bias, 0);
    EXPECT_NE(kind, DWORD(TIME_ZONE_ID_DAYLIGHT));
  } else {
    EXPECT_EQ(info.Bias, -60);
    EXPECT_EQ(info.DaylightBias, -60);
  }
}

TEST_F(FatTimeWin, BoundsAndFieldsInTheSystemZone) {
  std::size_t count = 0, run = 0;
  const fattest::TimeCase* table = fattest::TimeCases(&count);
  for (std::size_t i = 0; i < count; ++i) {
    const fattest::TimeCase& c = table[i];
    if (zone_ != c.zone) continue;
    ++run;
    fattest::CheckTimeCase(c);
  }
  EXPECT_GT(run, 0u) << "no cases for zone " << zone_;
}

// A mount of the image through the framework, as the driver's callers hold one.
class Mount {
 public:
  Mount(const std::string& image, bool readOnly, std::uint32_t key)
      : device_(image, 512, 0, readOnly) {
    if (!device_.Ok()) return;
    driver_ = static_cast<filesystems::FATDriver*>(filesystems::OpenFATVolume(
        &device_, 0, device_.GetSectorCount() + 1, key, nullptr, nullptr, 0));
    if (!driver_) return;
    driver_->AddUse();
    root_.reset(driver_->OpenRootDirectory());
  }
  ~Mount() {
    root_.reset();
    if (driver_) driver_->Release();
  }
  rio_dir* Root() const { return root_.get(); }

 private:
  fstest::ImageVolume device_;
  filesystems::FATDriver* driver_ = nullptr;
  std::unique_ptr<rio_dir> root_;
};

// Sets the times of three files in the image; the script reads them back
// with istat and mdir, and the driver's own listing must agree.
TEST_F(FatTimeWin, TimesSetThroughTheDriver) {
  const bool utc = zone_ == "UTC";
  struct Set {
    const char16_t* name;
    std::int64_t modified, created;
  };
  const Set sets[] = {
      {u"summer.txt", Utc(2021, 7, 15, 10, 20, 30), Utc(2020, 12, 24, 18, 0, 1) + 250},
      {u"first.txt", Utc(1980, 1, 1, 0, 0, 0) - (utc ? 0 : 3600000), Utc(1979, 1, 1, 0, 0, 0)},
      {u"last.txt", Utc(2107, 12, 31, 20, 0, 0), Utc(2107, 12, 31, 20, 0, 0)},
  };
  {
    Mount mount(image_, false, 0x17F00);
    rio_dir* root = mount.Root();
    ASSERT_TRUE(root) << image_;
    for (const Set& set : sets) {
      std::unique_ptr<rio_file> file(root->create_file(set.name, false, nullptr));
      ASSERT_TRUE(file) << root->error().Code();
      file->write_exact("x", 1);
      sftm_request request;
      request.modificationTime = std::uint64_t(set.modified);
      request.creationTime = std::uint64_t(set.created);
      file->control(&request);
      EXPECT_TRUE(file->is_ok());
    }
    control_request unmount{kControlDMNT};
    root->control(&unmount);
    EXPECT_TRUE(root->is_ok());
  }
  Mount mount(image_, true, 0x17F01);
  rio_dir* root = mount.Root();
  ASSERT_TRUE(root);
  std::unique_ptr<i_dir::iterator> it(root->find(u"summer.txt"));
  ASSERT_TRUE(it);
  EXPECT_EQ(std::int64_t(it->write_time()), Utc(2021, 7, 15, 10, 20, 30));
  // The 10 ms field keeps the odd second and the quarter.
  EXPECT_EQ(std::int64_t(it->creation_time()), Utc(2020, 12, 24, 18, 0, 0) + 1250);
  it.reset(root->find(u"last.txt"));
  ASSERT_TRUE(it);
  EXPECT_EQ(std::int64_t(it->write_time()), Utc(2107, 12, 31, 20, 0, 0));
}

}  // namespace
