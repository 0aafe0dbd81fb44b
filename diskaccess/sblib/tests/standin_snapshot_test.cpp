// The stand-in's copy-on-write: a write to a snapshotted volume waits until
// the old data under it has been handed over, what is handed over is the
// data from before the snapshot, and the image gets the new data after.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sblib/native_event.h"
#include "sblib/sblib.h"
#include "sblib/standin.h"

namespace {

constexpr uint32_t kSector = 512;

std::vector<uint8_t> Pattern(uint64_t first, uint64_t count, uint8_t salt) {
  std::vector<uint8_t> bytes(count * kSector);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>((first * kSector + i) * 7 + salt);
  return bytes;
}

class StandinSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/sblib-cow-XXXXXX";
    dir_ = mkdtemp(tmpl);
    image_ = dir_ + "/disk.img";
    std::ofstream(image_, std::ios::binary)
        .write(reinterpret_cast<const char*>(Pattern(0, 1024, 1).data()), 1024 * kSector);
    config_ = dir_ + "/config.txt";
    log_ = dir_ + "/calls.log";
    sblib_standin::SetConfigPath(config_);
  }
  void TearDown() override {
    if (sblib_standin::TakeCensus().initialised) sbDoneLib();
    sblib_standin::SetConfigPath("");
    std::system(("rm -rf " + dir_).c_str());
  }

  // One volume: drive sectors 200 to 711.
  void Start(const std::string& extra = "") {
    std::ofstream(config_) << "log " << log_ << "\ndrive " << image_ << "\nvolume 1:200+512\n"
                           << extra;
    SbInitRecord init{8, 0x10};
    SbLibInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(SB_OK, sbInitLibEx(&init, &info));
    ASSERT_EQ(SB_OK, sbOpenVolume(1, &volume_));
    ASSERT_EQ(SB_OK, sbOpenVolume(1, &writer_));
    ASSERT_EQ(SB_OK, sbCreateSnapshotEx(volume_, &snap_, 0));
    SbBitmapRecord bitmap{sizeof bitmap, 0, 100, 8, 52, 7, volume_};
    ASSERT_EQ(SB_OK, sbSetBitmap(snap_, &bitmap));
    ASSERT_EQ(SB_OK, sbStart(snap_));
    SbSnapshotParams params{};
    params.size = sizeof params;
    ASSERT_EQ(SB_OK, sbGetParams(snap_, &params));
    event_ = params.wake_event;
    ASSERT_NE(0u, event_);
  }

  SbReadInfo Pending() {
    SbReadInfo info{};
    info.size = sizeof info;
    EXPECT_EQ(SB_OK, sbGetReadInfo(snap_, &info));
    return info;
  }

  SbStatus Read(uint64_t first, uint32_t count, uint32_t flags, std::vector<uint8_t>& out,
                SbReadRequest& request) {
    out.assign(std::size_t(count) * kSector, 0);
    request = SbReadRequest{};
    request.size = sizeof request;
    SbPutAddress(&request.buffer, &request.buffer_high, out.data());
    request.buffer_bytes = static_cast<uint32_t>(out.size());
    request.first_sector = first;
    request.sector_count = count;
    request.flags = flags;
    request.volume = volume_;
    return sbRead(snap_, &request);
  }

  std::vector<uint8_t> ImageBytes(uint64_t sector, uint64_t count) {
    std::ifstream in(image_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(sector * kSector));
    std::vector<uint8_t> bytes(count * kSector);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
  }

  std::string dir_, image_, config_, log_;
  SbHandle volume_ = 0, writer_ = 0, snap_ = 0;
  uint32_t event_ = 0;
};

// A write over volume sectors 110-121 (blocks 108-115 and 116-123 with
// origin 100 and 8-sector blocks) waits; the pending request names the
// first block, its read hands the old bytes over; then the second; then the
// write lands.
TEST_F(StandinSnapshotTest, AWriteWaitsUntilEveryBlockUnderItIsHandedOver) {
  Start();
  EXPECT_EQ(0u, Pending().flags);
  const std::vector<uint8_t> fresh = Pattern(310, 12, 99);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    EXPECT_EQ(SB_OK, sbWriteVolume(writer_, 110, 12, fresh.data()));
    written = true;
  });
  ASSERT_EQ(1, SbNativeEventWait(event_));
  SbReadInfo info = Pending();
  ASSERT_EQ(SB_READINFO_PENDING, info.flags);
  EXPECT_EQ(volume_, info.volume);
  EXPECT_EQ(108u, info.first_sector);
  EXPECT_EQ(16u, info.sector_count);  // both blocks, one run

  std::vector<uint8_t> got;
  SbReadRequest request;
  ASSERT_EQ(SB_OK, Read(108, 8, 0, got, request));
  EXPECT_EQ(SB_READ_RESULT_KEEP, request.result_flags);
  EXPECT_EQ(Pattern(308, 8, 1), got);
  EXPECT_FALSE(written);
  info = Pending();
  ASSERT_EQ(SB_READINFO_PENDING, info.flags);
  EXPECT_EQ(116u, info.first_sector);
  EXPECT_EQ(8u, info.sector_count);
  ASSERT_EQ(SB_OK, Read(116, 8, 0, got, request));
  EXPECT_EQ(Pattern(316, 8, 1), got);
  writer.join();
  EXPECT_EQ(0u, Pending().flags);
  EXPECT_EQ(fresh, ImageBytes(310, 12));
  // Handed-over sectors are not held again.
  EXPECT_EQ(SB_OK, sbWriteVolume(writer_, 108, 16, Pattern(308, 16, 5).data()));
  // A read that is no hand-over is not marked.
  ASSERT_EQ(SB_OK, Read(0, 4, SB_READ_DIRECT, got, request));
  EXPECT_EQ(0u, request.result_flags);
}

// Sectors before the origin are handed over one run at a time up to the
// origin; a direct read over held sectors hands them over and says so; a
// drive write over the volume is held the same way.
TEST_F(StandinSnapshotTest, DirectReadsAndDriveWritesBeforeTheOrigin) {
  Start();
  SbHandle drive = 0;
  ASSERT_EQ(SB_OK, sbOpenDrive(1, &drive));
  std::thread writer([&] {
    // Drive sectors 295-304 are volume sectors 95-104.
    EXPECT_EQ(SB_OK, sbWriteDrive(drive, 295, 10, Pattern(295, 10, 42).data()));
  });
  ASSERT_EQ(1, SbNativeEventWait(event_));
  SbReadInfo info = Pending();
  ASSERT_EQ(SB_READINFO_PENDING, info.flags);
  EXPECT_EQ(95u, info.first_sector);
  EXPECT_EQ(5u, info.sector_count);  // cut at the origin
  std::vector<uint8_t> got;
  SbReadRequest request;
  ASSERT_EQ(SB_OK, Read(95, 5, SB_READ_DIRECT, got, request));
  EXPECT_EQ(SB_READ_RESULT_KEEP, request.result_flags);
  EXPECT_EQ(Pattern(295, 5, 1), got);
  info = Pending();
  EXPECT_EQ(100u, info.first_sector);
  EXPECT_EQ(8u, info.sector_count);
  ASSERT_EQ(SB_OK, Read(100, 8, 0, got, request));
  writer.join();
  EXPECT_EQ(Pattern(295, 10, 42), ImageBytes(295, 10));
  sbClose(drive);
}

// The configured limit shortens pending requests below a block; closing the
// snapshot lets a held write go on; an injected read failure hands nothing
// over; storage modes are refused; everything is in the call log.
TEST_F(StandinSnapshotTest, LimitsFaultsAndClose) {
  Start("snapshot pending=3\nfail sbRead 23 after=1\n");
  std::thread writer(
      [&] { EXPECT_EQ(SB_OK, sbWriteVolume(writer_, 130, 1, Pattern(330, 1, 9).data())); });
  ASSERT_EQ(1, SbNativeEventWait(event_));
  SbReadInfo info = Pending();
  EXPECT_EQ(124u, info.first_sector);
  EXPECT_EQ(3u, info.sector_count);
  std::vector<uint8_t> got;
  SbReadRequest request;
  EXPECT_EQ(SB_OK, Read(0, 1, 0, got, request));         // the one read that works
  EXPECT_EQ(23u, Read(124, 8, 0, got, request));         // injected
  EXPECT_EQ(SB_READINFO_PENDING, Pending().flags);       // still waiting
  EXPECT_EQ(SB_OK, sbClose(snap_));
  writer.join();
  EXPECT_EQ(Pattern(330, 1, 9), ImageBytes(330, 1));
  SbHandle other = 0;
  EXPECT_EQ(SB_STATUS_NOT_SUPPORTED, sbCreateSnapshotEx(volume_, &other, 0x80));
  EXPECT_EQ(0u, other);

  std::ifstream in(log_);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("sbSetBitmap(" + std::to_string(snap_) + ", volume=" +
                     std::to_string(volume_) + ", origin=100, block=8, blocks=52, bytes=7) = 0"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("pending=1 volume=" + std::to_string(volume_) + " first=124 count=3"),
            std::string::npos);
  EXPECT_NE(all.find("sbCreateSnapshotEx(" + std::to_string(volume_) + ", flags=0x80, entries=0) = 50"),
            std::string::npos);
}

// A snapshot that is locked and not yet started holds every write back
// until it is unlocked.
TEST_F(StandinSnapshotTest, ALockedSnapshotFreezesWritesUntilUnlocked) {
  std::ofstream(config_) << "drive " << image_ << "\nvolume 1:200+512\n";
  SbInitRecord init{8, 0x10};
  SbLibInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(SB_OK, sbInitLibEx(&init, &info));
  ASSERT_EQ(SB_OK, sbOpenVolume(1, &volume_));
  ASSERT_EQ(SB_OK, sbCreateSnapshotEx(volume_, &snap_, 0));
  ASSERT_EQ(SB_OK, sbLock(snap_));
  EXPECT_EQ(SB_STATUS_ALREADY_LOCKED, sbLock(snap_));
  std::atomic<bool> written{false};
  std::thread writer([&] {
    EXPECT_EQ(SB_OK, sbWriteVolume(volume_, 0, 1, Pattern(200, 1, 3).data()));
    written = true;
  });
  // The write cannot land while the lock is held: the image keeps its bytes.
  for (int i = 0; i < 20 && !written; ++i) usleep(5000);
  EXPECT_FALSE(written);
  EXPECT_EQ(Pattern(200, 1, 1), ImageBytes(200, 1));
  EXPECT_EQ(SB_OK, sbUnlock(snap_));
  writer.join();
  EXPECT_EQ(Pattern(200, 1, 3), ImageBytes(200, 1));
  EXPECT_EQ(SB_STATUS_ALREADY_LOCKED, sbUnlock(snap_));
}

}  // namespace
