// The snapshot-library stand-in over images that sfdisk partitions: its
// records, its reads against the image files' bytes, its faults, its call
// log and its notification thread.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "disktest/run_command.h"
#include "sblib/sblib.h"
#include "sblib/standin.h"

namespace {

std::vector<uint8_t> FileBytes(const std::string& path, uint64_t offset, size_t count) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  EXPECT_EQ(in.gcount(), static_cast<std::streamsize>(count)) << path;
  return bytes;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

unsigned ThreadCount() {
  unsigned n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Three images: an MBR disk of 8 MiB with two partitions (sfdisk), a GPT
// disk of 4 MiB (sgdisk) that the stand-in serves in 4096-byte sectors, and
// a small one listed twice, the second time offline.
// Every sector outside the tables holds its own number, so a read from the
// wrong place shows.
class StandinTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/sblib-standin-XXXXXX";
    dir_ = mkdtemp(tmpl);
    disk1_ = dir_ + "/disk1.img";
    disk2_ = dir_ + "/disk2.img";
    disk3_ = dir_ + "/disk3.img";
    Fill(disk1_, 8 << 20, 512);
    Fill(disk2_, 4 << 20, 4096);
    Fill(disk3_, 1 << 20, 512);
    ASSERT_EQ(0, std::system(("printf 'label: dos\\nlabel-id: 0x1234abcd\\n2048,4096,7\\n"
                              "6144,8192,c\\n' | sfdisk -q " + disk1_ + " >/dev/null").c_str()));
    ASSERT_EQ(0, std::system(("sgdisk -n 1:2048:6143 -t 1:0700 " + disk2_ + " >/dev/null").c_str()));
    // The partitions' places as sfdisk reports them, not as the test wrote them.
    const std::string dump = DiskTest::RunCommand("sfdisk -d " + disk1_);
    ASSERT_NE(dump.find("start=        2048, size=        4096"), std::string::npos) << dump;
    ASSERT_NE(dump.find("start=        6144, size=        8192"), std::string::npos) << dump;
  }

  static void TearDownTestSuite() { std::system(("rm -rf " + dir_).c_str()); }

  static void Fill(const std::string& path, size_t bytes, uint32_t sector) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint8_t> block(sector);
    for (size_t s = 0; s < bytes / sector; ++s) {
      for (size_t i = 0; i < sector; i += 4) {
        const uint32_t v = static_cast<uint32_t>(s * 0x10001u + i);
        std::memcpy(&block[i], &v, 4);
      }
      out.write(reinterpret_cast<const char*>(block.data()), sector);
    }
  }

  void SetUp() override {
    config_ = dir_ + "/config.txt";
    log_ = dir_ + "/calls.log";
    std::remove(log_.c_str());
    sblib_standin::SetConfigPath(config_);
  }

  void TearDown() override {
    if (sblib_standin::TakeCensus().initialised) sbDoneLib();
    sblib_standin::SetConfigPath("");
  }

  void WriteConfig(const std::string& extra = "") {
    std::ofstream out(config_);
    out << "log " << log_ << "\n"
        << "used C\n"
        << "drive " << disk1_ << " model=\"Image One\" serial=SN-0001 heads=16 spt=63"
        << " bios=0x80 flags=0x0e bad=3000-3001\n"
        << "drive " << disk2_ << " sector=4096 serial=SN-0002\n"
        << "drive " << disk3_ << " skip\n"
        << "drive " << disk3_ << " offline readonly\n"
        << "volume 1:2048+4096 letter=E\n"
        << "volume 1:6144+8192,3:256+512 letter=f flags=2"
        << " guid=01234567-89AB-CDEF-0123-456789ABCDEF"
        << " type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\n"
        << "volume 1:100+10 skip\n"
        << extra;
  }

  SbStatus Init() {
    SbInitRecord init{8, 0x10};
    SbLibInfo info{};
    info.size = sizeof info;
    SbStatus st = sbInitLibEx(&init, &info);
    version_ = info.version;
    return st;
  }

  static std::string dir_, disk1_, disk2_, disk3_;
  std::string config_, log_;
  uint32_t version_ = 0;
};

std::string StandinTest::dir_, StandinTest::disk1_, StandinTest::disk2_, StandinTest::disk3_;

TEST_F(StandinTest, DriveRecordsDescribeTheImages) {
  WriteConfig();
  ASSERT_EQ(SB_OK, Init());
  EXPECT_EQ(141u, version_);
  uint32_t n = 0;
  ASSERT_EQ(SB_OK, sbGetDrives(&n));
  ASSERT_EQ(4u, n);

  struct Want {
    uint64_t sectors;
    uint32_t sector_size;
    const char* model;
    const char16_t* serial;
    uint32_t flags;
  } const want[] = {
      {8u << 11, 512, "Image One", u"SN-0001", 0x0e},
      {(4u << 20) / 4096, 4096, "Standin Image Disk 2", u"SN-0002", 0},
      {(1u << 20) / 512, 512, "Standin Image Disk 3", u"", SB_DRIVE_FLAG_SKIP},
      {(1u << 20) / 512, 512, "Standin Image Disk 4", u"", SB_DRIVE_FLAG_OFFLINE},
  };
  for (uint32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i + 1);
    SbHandle h = 0;
    ASSERT_EQ(SB_OK, sbOpenDrive(i + 1, &h));
    ASSERT_NE(0u, h);
    SbDriveInfo info;
    std::memset(&info, 0xCC, sizeof info);
    info.size = sizeof info;
    ASSERT_EQ(SB_OK, sbGetDriveInfo(h, &info));
    EXPECT_EQ(want[i].sectors, info.sector_count);
    EXPECT_EQ(want[i].sector_size, info.bytes_per_sector);
    EXPECT_EQ(want[i].sector_size, info.physical_sector_size);
    EXPECT_STREQ(want[i].model, info.model);
    EXPECT_EQ(std::u16string(want[i].serial), std::u16string(info.serial));
    EXPECT_EQ(want[i].flags, info.flags);
    const std::u16string name(info.device_name);
    EXPECT_EQ(u"\\Device\\Harddisk" + std::u16string(1, char16_t(u'0' + i)), name.substr(0, 17));
    EXPECT_NE(0u, info.sectors_per_track);
    EXPECT_EQ(0u, info.reserved04);
    EXPECT_EQ(SB_OK, sbClose(h));
  }

  // The first drive's firmware view: CHS bytes and the extended block.
  SbHandle h = 0;
  ASSERT_EQ(SB_OK, sbOpenDrive(1, &h));
  SbDriveInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(SB_OK, sbGetDriveInfo(h, &info));
  EXPECT_EQ(0x80u, info.bios_drive);
  EXPECT_EQ(63u, info.bios_chs_sector & 0x3Fu);
  EXPECT_EQ(15u, info.bios_max_head);
  const unsigned cylinders = ((info.bios_chs_sector >> 6) << 8) | info.bios_chs_cylinder;
  EXPECT_EQ(16384u / (16 * 63) - 1, cylinders);
  uint64_t edd_sectors;
  std::memcpy(&edd_sectors, reinterpret_cast<uint8_t*>(&info) + SB_DRIVE_EDD_SECTORS_OFFSET, 8);
  EXPECT_EQ(16384u, edd_sectors);
  sbClose(h);

  // A record of the wrong size is refused.
  ASSERT_EQ(SB_OK, sbOpenDrive(1, &h));
  info.size = 1000;
  EXPECT_EQ(SB_STATUS_BAD_LENGTH, sbGetDriveInfo(h, &info));
  sbClose(h);
  EXPECT_EQ(SB_STATUS_NOT_FOUND, sbOpenDrive(5, &h));
  EXPECT_EQ(0u, h);
}

TEST_F(StandinTest, DriveReadsAreTheImageBytes) {
  WriteConfig();
  ASSERT_EQ(SB_OK, Init());
  struct Case {
    uint32_t drive;
    uint64_t first;
    uint32_t count;
    SbStatus status;
  } const cases[] = {
      {1, 0, 1, SB_OK},          // sfdisk's table
      {1, 2047, 3, SB_OK},       // across a partition start
      {1, 16383, 1, SB_OK},      // the last sector
      {1, 16383, 2, SB_STATUS_SEEK},
      {1, 2999, 2, SB_STATUS_DATA_ERROR},  // touches a bad sector: data still delivered
      {2, 0, 3, SB_OK},          // protective MBR and GPT header in one 4096-byte sector
      {2, 1023, 1, SB_OK},
      {3, 2047, 1, SB_OK},
      {4, 0, 1, SB_STATUS_NOT_READY},
  };
  const std::string* images[] = {&disk1_, &disk2_, &disk3_, &disk3_};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.drive << ":" << c.first << "+" << c.count);
    SbHandle h = 0;
    ASSERT_EQ(SB_OK, sbOpenDrive(c.drive, &h));
    const uint32_t ss = c.drive == 2 ? 4096 : 512;
    std::vector<uint8_t> buffer(c.count * ss, 0xEE);
    EXPECT_EQ(c.status, sbReadDrive(h, c.first, c.count, buffer.data()));
    if (c.status == SB_OK || c.status == SB_STATUS_DATA_ERROR) {
      EXPECT_EQ(FileBytes(*images[c.drive - 1], c.first * ss, buffer.size()), buffer);
    }
    sbClose(h);
  }
  // The first sector carries sfdisk's signature and boot mark.
  SbHandle h = 0;
  sbOpenDrive(1, &h);
  uint8_t sector[512];
  ASSERT_EQ(SB_OK, sbReadDrive(h, 0, 1, sector));
  EXPECT_EQ(0x1234abcdu, sector[440] | sector[441] << 8 | sector[442] << 16 |
                             static_cast<uint32_t>(sector[443]) << 24);
  EXPECT_EQ(0x55, sector[510]);
  EXPECT_EQ(0xAA, sector[511]);
  sbClose(h);
}

TEST_F(StandinTest, WritesReachTheImageAndCountOnTheVolume) {
  // A copy of the first image, so the other tests keep theirs.
  const std::string copy = dir_ + "/copy.img";
  ASSERT_EQ(0, std::system(("cp " + disk1_ + " " + copy).c_str()));
  {
    std::ofstream out(config_);
    out << "drive " << copy << "\nvolume 1:2048+4096 letter=G\n";
  }
  ASSERT_EQ(SB_OK, Init());
  SbHandle v = 0;
  ASSERT_EQ(SB_OK, sbOpenVolume(1, &v));
  // Every byte differs from what was there, so cmp sees each one.
  std::vector<uint8_t> data = FileBytes(disk1_, (2048 + 10) * 512, 2 * 512);
  for (uint8_t& b : data) b = static_cast<uint8_t>(~b);
  ASSERT_EQ(SB_OK, sbWriteVolume(v, 10, 2, data.data()));
  SbVolumeStat stat{};
  stat.size = sizeof stat;
  ASSERT_EQ(SB_OK, sbGetVolumeStat(v, &stat));
  EXPECT_EQ(1u, stat.write_counter);
  sbClose(v);
  ASSERT_EQ(SB_OK, sbDoneLib());
  EXPECT_EQ(data, FileBytes(copy, (2048 + 10) * 512, data.size()));
  // Everything else is as before: cmp counts the differing bytes.
  const std::string diff = DiskTest::RunCommand("cmp -l " + disk1_ + " " + copy + " | wc -l");
  EXPECT_EQ(std::to_string(data.size()), diff.substr(0, diff.find_first_of(" \n")));
}

TEST_F(StandinTest, VolumeRecordsAndReadsFollowTheirExtents) {
  WriteConfig();
  ASSERT_EQ(SB_OK, Init());
  uint32_t n = 0;
  ASSERT_EQ(SB_OK, sbGetVolumes(&n));
  ASSERT_EQ(3u, n);
  // Letters in use: C (configured), E and F (volumes); bit 0 is A.
  EXPECT_EQ(0x3FFFFFFu & ~((1u << 2) | (1u << 4) | (1u << 5)), sbGetFreeLetters());

  SbHandle v = 0;
  EXPECT_EQ(SB_STATUS_SKIP_VOLUME, sbOpenVolume(3, &v));
  EXPECT_EQ(0u, v);
  ASSERT_EQ(SB_OK, sbOpenVolume(2, &v));

  SbVolumeInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(SB_OK, sbGetVolumeInfo(v, &info));
  EXPECT_EQ(512u, info.sector_size);
  EXPECT_EQ(8192u + 512u, info.sector_count);
  EXPECT_EQ('F', info.letter);
  EXPECT_EQ(std::u16string(u"F:\\"), std::u16string(info.path));
  EXPECT_EQ(SB_VOLUME_FLAG_SYSTEM, info.flags);
  EXPECT_EQ(2u * sizeof(SbVolumeExtent), info.extents_size);
  EXPECT_EQ(24u, info.unique_id_size);
  const uint8_t msr[16] = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                           0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
  EXPECT_EQ(0, std::memcmp(msr, info.partition_type, 16));

  // Second call with buffers of the sizes given.
  std::vector<SbVolumeExtent> extents(2);
  std::vector<uint8_t> unique(info.unique_id_size);
  SbVolumeInfo again{};
  again.size = sizeof again;
  SbPutAddress(&again.extents, &again.extents_high, extents.data());
  again.extents_size = info.extents_size;
  SbPutAddress(&again.unique_id, &again.unique_id_high, unique.data());
  again.unique_id_size = info.unique_id_size;
  ASSERT_EQ(SB_OK, sbGetVolumeInfo(v, &again));
  EXPECT_EQ(1u, extents[0].drive_number);
  EXPECT_EQ(6144u, extents[0].first_sector);
  EXPECT_EQ(8192u, extents[0].sector_count);
  EXPECT_EQ(3u, extents[1].drive_number);
  EXPECT_EQ(256u, extents[1].first_sector);
  const uint8_t guid[16] = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,
                            0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(0, std::memcmp(guid, unique.data() + unique.size() - 16, 16));

  // A read across the seam of the two extents.
  std::vector<uint8_t> buffer(2 * 512);
  ASSERT_EQ(SB_OK, sbReadVolume(v, 8191, 2, buffer.data()));
  std::vector<uint8_t> expect = FileBytes(disk1_, (6144 + 8191) * 512ull, 512);
  const std::vector<uint8_t> tail = FileBytes(disk3_, 256 * 512ull, 512);
  expect.insert(expect.end(), tail.begin(), tail.end());
  EXPECT_EQ(expect, buffer);

  SbVolumeStat stat{};
  stat.size = sizeof stat;
  EXPECT_EQ(SB_OK, sbGetVolumeStat(v, &stat));
  EXPECT_EQ(0u, stat.write_counter);

  uint32_t number = 0;
  EXPECT_EQ(SB_OK, sbGetVolumeNumber(u"e:\\windows", &number));
  EXPECT_EQ(1u, number);
  EXPECT_EQ(SB_STATUS_NOT_FOUND, sbGetVolumeNumber(u"Q:\\", &number));
  sbClose(v);
}

TEST_F(StandinTest, SnapshotReadsDeliverTheVolumeAndReportBadSectors) {
  WriteConfig("volume 1:2990+20\n");
  ASSERT_EQ(SB_OK, Init());
  SbHandle v = 0, snap = 0;
  ASSERT_EQ(SB_OK, sbOpenVolume(4, &v));
  ASSERT_EQ(SB_OK, sbCreateSnapshotEx(v, &snap, 0));
  EXPECT_EQ(SB_OK, sbLock(snap));
  EXPECT_EQ(SB_STATUS_ALREADY_LOCKED, sbLock(snap));
  std::vector<uint8_t> buffer(20 * 512);
  SbReadRequest request{};
  request.size = sizeof request;
  SbPutAddress(&request.buffer, &request.buffer_high, buffer.data());
  request.buffer_bytes = static_cast<uint32_t>(buffer.size());
  request.sector_count = 20;
  request.volume = v;
  EXPECT_EQ(SB_STATUS_DATA_ERROR, sbRead(snap, &request));  // sectors 3000-3001 are bad
  EXPECT_EQ(20u, request.sectors_read);
  EXPECT_EQ(FileBytes(disk1_, 2990 * 512ull, buffer.size()), buffer);
  request.flags = SB_READ_ZERO_FILL;
  EXPECT_EQ(SB_OK, sbRead(snap, &request));
  EXPECT_EQ(SB_OK, sbUnlock(snap));
  EXPECT_EQ(SB_OK, sbClose(snap));
  EXPECT_EQ(SB_OK, sbClose(v));
}

TEST_F(StandinTest, InjectedFaultsAndLocks) {
  WriteConfig("fail sbGetVolumeStat 31\n");
  ASSERT_EQ(SB_OK, Init());
  SbHandle v = 0, d1 = 0, d2 = 0;
  ASSERT_EQ(SB_OK, sbOpenVolume(1, &v));
  SbVolumeStat stat{};
  stat.size = sizeof stat;
  EXPECT_EQ(31u, sbGetVolumeStat(v, &stat));

  ASSERT_EQ(SB_OK, sbOpenDrive(1, &d1));
  ASSERT_EQ(SB_OK, sbOpenDrive(1, &d2));
  EXPECT_EQ(SB_OK, sbLockDrive(d1, 2, u"backup job"));
  EXPECT_EQ(SB_STATUS_LOCK_VIOLATION, sbLockDrive(d2, 2, u"other"));
  uint32_t bytes = 0;
  ASSERT_EQ(SB_OK, sbGetLockDriveOwner(d2, nullptr, &bytes));
  std::vector<char16_t> owner(bytes / 2);
  ASSERT_EQ(SB_OK, sbGetLockDriveOwner(d2, owner.data(), &bytes));
  EXPECT_EQ(std::u16string(u"backup job"), std::u16string(owner.data()));
  EXPECT_EQ(1u, sblib_standin::TakeCensus().locks);
  // A lock ends with its handle.
  EXPECT_EQ(SB_OK, sbClose(d1));
  EXPECT_EQ(0u, sblib_standin::TakeCensus().locks);
  EXPECT_EQ(SB_OK, sbLockVolume(v, 1));
  EXPECT_EQ(SB_OK, sbUnlockVolume(v));
  EXPECT_EQ(SB_STATUS_NOT_LOCKED, sbUnlockVolume(v));
  EXPECT_EQ(SB_STATUS_INVALID_HANDLE, sbClose(d1));
  sbClose(d2);
  sbClose(v);
  EXPECT_EQ(0u, sblib_standin::TakeCensus().handles);
}

// What the volume handlers ask of a volume: its unique ID of any length
// (never written past the caller's room), an empty extent list, the
// locations flag, the deferred-letter status, a lock held elsewhere until a
// dismount, the open-files text with and without its terminator, and
// failures after a number of working calls.
TEST_F(StandinTest, VolumeCallsOfTheHandlers) {
  WriteConfig("volume 1:2048+4096 uid=20 locations letterpending"
              " guid=00112233-4455-6677-8899-AABBCCDDEEFF files=\"C:\\x y\"\n"
              "volume 1:2048+4096 uid=24 uidlater=12 noextents held files=ABC filesraw\n"
              "fail sbUnhideVolume 50 after=1\n");
  ASSERT_EQ(SB_OK, Init());
  SbHandle a = 0, b = 0;
  ASSERT_EQ(SB_OK, sbOpenVolume(4, &a));
  ASSERT_EQ(SB_OK, sbOpenVolume(5, &b));

  // A room of 16 bytes for an ID of 20: only 16 written, 20 reported.
  uint8_t unique[18];
  std::memset(unique, 0xEE, sizeof unique);
  SbVolumeInfo info{};
  info.size = sizeof info;
  SbPutAddress(&info.unique_id, &info.unique_id_high, unique);
  info.unique_id_size = 16;
  ASSERT_EQ(SB_OK, sbGetVolumeInfo(a, &info));
  EXPECT_EQ(20u, info.unique_id_size);
  EXPECT_EQ(1u, info.locations);
  EXPECT_EQ(0xEE, unique[16]);
  EXPECT_EQ(24u, info.extents_size);
  // With room for all 20 bytes the GUID is the last 16.
  uint8_t whole[20];
  info = SbVolumeInfo{};
  info.size = sizeof info;
  SbPutAddress(&info.unique_id, &info.unique_id_high, whole);
  info.unique_id_size = 20;
  ASSERT_EQ(SB_OK, sbGetVolumeInfo(a, &info));
  const uint8_t guid[16] = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                            0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(0, std::memcmp(whole + 4, guid, 16));

  // The second volume: no extents, and a shorter ID once a buffer is given.
  info = SbVolumeInfo{};
  info.size = sizeof info;
  ASSERT_EQ(SB_OK, sbGetVolumeInfo(b, &info));
  EXPECT_EQ(0u, info.extents_size);
  EXPECT_EQ(24u, info.unique_id_size);
  SbPutAddress(&info.unique_id, &info.unique_id_high, whole);
  info.unique_id_size = 20;
  ASSERT_EQ(SB_OK, sbGetVolumeInfo(b, &info));
  EXPECT_EQ(12u, info.unique_id_size);

  EXPECT_EQ(SB_STATUS_LETTER_PENDING, sbSetVolumeLetter(a, 'k'));
  uint32_t number = 0;
  EXPECT_EQ(SB_OK, sbGetVolumeNumber(u"K:\\", &number));
  EXPECT_EQ(4u, number);

  // Held elsewhere: both lock modes refused until a dismount.
  EXPECT_EQ(SB_STATUS_LOCK_VIOLATION, sbLockVolume(b, 1));
  EXPECT_EQ(SB_STATUS_LOCK_VIOLATION, sbLockVolume(b, 2));
  EXPECT_EQ(SB_OK, sbDismountVolume(b));
  EXPECT_EQ(SB_OK, sbLockVolume(b, 1));
  EXPECT_EQ(SB_OK, sbLockVolume(b, 4));
  EXPECT_EQ(SB_STATUS_NOT_LOCKED, sbUnlockVolume(b));

  // Open files: the size first, then the text; too small a buffer is refused.
  uint32_t bytes = 0;
  ASSERT_EQ(SB_OK, sbGetVolumeOpenedFiles(a, &bytes, nullptr));
  EXPECT_EQ(14u, bytes);  // six units and the terminator
  char16_t text[8];
  uint32_t small = 4;
  EXPECT_EQ(SB_STATUS_MORE_DATA, sbGetVolumeOpenedFiles(a, &small, text));
  ASSERT_EQ(SB_OK, sbGetVolumeOpenedFiles(a, &bytes, text));
  EXPECT_EQ(std::u16string(u"C:\\x y"), std::u16string(text));
  ASSERT_EQ(SB_OK, sbGetVolumeOpenedFiles(b, &bytes, nullptr));
  EXPECT_EQ(6u, bytes);  // no terminator

  // One call works, every later one answers the injected status.
  EXPECT_EQ(SB_OK, sbUnhideVolume(a));
  EXPECT_EQ(50u, sbUnhideVolume(a));
  EXPECT_EQ(50u, sbUnhideVolume(b));

  SbVolumeStat stat{};
  stat.size = 24;
  EXPECT_EQ(SB_OK, sbGetVolumeStat(a, &stat));
  stat.size = 16;
  EXPECT_EQ(SB_STATUS_BAD_LENGTH, sbGetVolumeStat(a, &stat));

  const auto lines = ReadLines(log_);
  std::vector<std::string> tail(lines.end() - 5, lines.end());
  EXPECT_EQ(tail[0], "sbUnhideVolume(" + std::to_string(a) + ") = 0");
  EXPECT_EQ(tail[1], "sbUnhideVolume(" + std::to_string(a) + ") = 50");
  sbClose(a);
  sbClose(b);
}

TEST_F(StandinTest, SetUpFailsOnAMissingImage) {
  {
    std::ofstream out(config_);
    out << "log " << log_ << "\ndrive " << dir_ << "/absent.img\n";
  }
  EXPECT_EQ(SB_STATUS_NOT_FOUND, Init());
  EXPECT_FALSE(sblib_standin::TakeCensus().initialised);
  uint32_t n = 7;
  EXPECT_EQ(SB_STATUS_NOT_INITIALIZED, sbGetDrives(&n));
  const auto lines = ReadLines(log_);
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(lines[0].find("absent.img"), std::string::npos) << lines[0];
}

// The callback runs on the library's own thread, and sbDoneLib ends it.
std::atomic<int> g_calls{0};
std::thread::id g_callback_thread;
uint32_t g_last_key = 0;
std::mutex g_mutex;

uint32_t SBCALL OnEvent(const SbNotification* record) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_callback_thread = std::this_thread::get_id();
  g_last_key = record->arg0;
  ++g_calls;
  return 0;
}

TEST_F(StandinTest, CallbacksRunOnTheLibraryThreadWhichEndsAtDone) {
  WriteConfig();
  const unsigned before = ThreadCount();
  g_calls = 0;
  ASSERT_EQ(SB_OK, Init());
  EXPECT_EQ(1u, sblib_standin::TakeCensus().threads);
  ASSERT_EQ(SB_OK, sbAddNotification(OnEvent, SB_EVENT_MASK_ALL, 0));
  SbNotification record{};
  record.size = sizeof record;
  record.type = SB_EVENT_DISK_CHANGED;
  record.arg0 = 7;
  ASSERT_EQ(SB_OK, sbNotify(&record));
  record.type = 32;  // not in the mask
  ASSERT_EQ(SB_OK, sbNotify(&record));
  record.size = 100;
  EXPECT_EQ(SB_STATUS_BAD_LENGTH, sbNotify(&record));
  EXPECT_EQ(SB_STATUS_NOT_FOUND, sbRemoveNotification(nullptr));
  ASSERT_EQ(SB_OK, sbDoneLib());
  // sbDoneLib delivers what is pending and joins the thread.
  EXPECT_EQ(1, g_calls.load());
  EXPECT_NE(std::this_thread::get_id(), g_callback_thread);
  EXPECT_EQ(7u, g_last_key);
  EXPECT_EQ(before, ThreadCount());
  const auto census = sblib_standin::TakeCensus();
  EXPECT_EQ(0u, census.threads);
  EXPECT_FALSE(census.initialised);
  const auto lines = ReadLines(log_);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("threads_before=1 left:"), std::string::npos) << lines.back();
  EXPECT_NE(lines.back().find(" threads=0"), std::string::npos) << lines.back();
}

// A callback that is still busy when the caller ends the library.
std::atomic<int> g_slow_done{0};
uint32_t SBCALL OnEventSlowly(const SbNotification*) {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ++g_slow_done;
  return 0;
}

// The log line of sbDoneLib reports the library threads alive before and
// after its join from a count the threads keep themselves, so a thread
// that was left running, or one of an earlier set-up that never ended,
// shows there.
TEST_F(StandinTest, EverySetUpStartsOneThreadAndItsDoneEndsIt) {
  WriteConfig();
  g_slow_done = 0;
  const unsigned before = ThreadCount();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(0u, sblib_standin::TakeCensus().threads);
    ASSERT_EQ(SB_OK, Init());
    EXPECT_EQ(1u, sblib_standin::TakeCensus().threads);
    EXPECT_EQ(before + 1, ThreadCount());
    ASSERT_EQ(SB_OK, sbAddNotification(OnEventSlowly, SB_EVENT_MASK_ALL, 0));
    SbNotification record{};
    record.size = sizeof record;
    record.type = SB_EVENT_DISK_CHANGED;
    ASSERT_EQ(SB_OK, sbNotify(&record));
    ASSERT_EQ(SB_OK, sbNotify(&record));
    ASSERT_EQ(SB_OK, sbDoneLib());  // most likely while the first notice is being answered
    EXPECT_EQ(2 * (round + 1), g_slow_done.load());
    EXPECT_EQ(0u, sblib_standin::TakeCensus().threads);
    EXPECT_EQ(before, ThreadCount());
    const auto lines = ReadLines(log_);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(0u, lines.back().find("sbDoneLib() = 0 threads_before=1 left: handles=0 locks=0 "
                                    "callbacks=1 threads=0"))
        << lines.back();
  }
}

// The firmware's CHS bytes as the configuration gives them, apart from the
// library's geometry and from the flags.
TEST_F(StandinTest, FirmwareChsBytesFollowTheConfiguration) {
  {
    std::ofstream out(config_);
    out << "drive " << disk1_ << " heads=16 spt=63 bios=0x80 flags=2 bioschs=0x3FF/7/32\n"
        << "drive " << disk1_ << " heads=16 spt=63 bios=0x80 bioschs=258/254/63\n"
        << "drive " << disk1_ << " heads=16 spt=63 bios=0x80 flags=2\n";
  }
  ASSERT_EQ(SB_OK, Init());
  struct Want {
    uint8_t sector, cylinder, head;
  } const want[] = {
      {0xC0 | 32, 0xFF, 7},
      {0x40 | 63, 2, 254},
      {63, 16384 / (16 * 63) - 1, 15},  // from the geometry
  };
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i + 1);
    SbHandle h = 0;
    ASSERT_EQ(SB_OK, sbOpenDrive(i + 1, &h));
    SbDriveInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(SB_OK, sbGetDriveInfo(h, &info));
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&info);
    EXPECT_EQ(want[i].sector, raw[820]);
    EXPECT_EQ(want[i].cylinder, raw[821]);
    EXPECT_EQ(want[i].head, raw[822]);
    EXPECT_EQ(16u, info.heads);
    EXPECT_EQ(63u, info.sectors_per_track);
    sbClose(h);
  }
  sbDoneLib();
  // Out of the bytes' range: refused when the library is set up.
  {
    std::ofstream out(config_);
    out << "drive " << disk1_ << " bioschs=1024/0/63\n";
  }
  EXPECT_EQ(SB_STATUS_NOT_FOUND, Init());
}

TEST_F(StandinTest, NoticesSentWhileRegisteredAreDeliveredBeforeDone) {
  WriteConfig();
  g_calls = 0;
  ASSERT_EQ(SB_OK, Init());
  ASSERT_EQ(SB_OK, sbAddNotification(OnEvent, SB_EVENT_VOLUME_CHANGED, 0));
  SbNotification record{};
  record.size = sizeof record;
  record.type = SB_EVENT_VOLUME_CHANGED;
  record.arg0 = 3;
  for (int i = 0; i < 5; ++i) ASSERT_EQ(SB_OK, sbNotify(&record));
  ASSERT_EQ(SB_OK, sbDoneLib());  // the callback stays registered until the end
  EXPECT_EQ(5, g_calls.load());
  EXPECT_EQ(3u, g_last_key);
}

TEST_F(StandinTest, TheLogHoldsOneLinePerCallInOrder) {
  WriteConfig();
  ASSERT_EQ(SB_OK, Init());
  ASSERT_EQ(SB_OK, sbAddNotification(OnEvent, SB_EVENT_MASK_ALL, 0));
  uint32_t n = 0;
  sbGetDrives(&n);
  SbHandle h = 0;
  sbOpenDrive(2, &h);
  std::vector<uint8_t> sector(4096);
  sbReadDrive(h, 1, 1, sector.data());
  sbGetFreeLetters();
  sbLockDrive(h, 2, nullptr);
  sbRemoveNotification(OnEvent);
  sbDoneLib();  // the handle and its lock are left on purpose
  const auto lines = ReadLines(log_);
  const char* names[] = {"sbInitLibEx(", "sbAddNotification(", "sbGetDrives(", "sbOpenDrive(2)",
                         "sbReadDrive(", "sbGetFreeLetters(", "sbLockDrive(",
                         "sbRemoveNotification(", "sbDoneLib("};
  ASSERT_EQ(std::size(names), lines.size());
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(0u, lines[i].find(names[i])) << lines[i];
  EXPECT_NE(lines[0].find("flags=0x10"), std::string::npos) << lines[0];
  EXPECT_NE(lines[2].find("count=4"), std::string::npos) << lines[2];
  EXPECT_NE(lines[4].find(std::to_string(h) + ", 1, 1) = 0"), std::string::npos) << lines[4];
  EXPECT_NE(lines.back().find("threads_before=1 left: handles=1 locks=1 callbacks=0 threads=0"),
            std::string::npos)
      << lines.back();
}

}  // namespace
