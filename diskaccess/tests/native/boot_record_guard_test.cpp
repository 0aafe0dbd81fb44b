// The boot manager's boot-selection record over the stand-in library: the
// partition it names (by first sector, and by the BIOS number of that
// partition's disk) is marked by the volume-information pass, and clearing
// it around a partition change touches only that record. The partitions
// are laid out by sfdisk; the record is written into the boot disk's code
// area in the 16-byte form the MBR reader knows.
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/boot_record_guard.h"
#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "foundation/byteorder.h"
#include "standin_fixture.h"

namespace {

using DaTest::SfdiskSpans;
using DaTest::Span;
using DaTest::StandinConfig;

// A boot-selection record at bytes 424-439 of the MBR: the four saved
// types, the BIOS number of the disk to start from, the first sector of
// the partition, a checksum byte and the length 16.
void WriteBootRecord(const std::string& image, std::uint8_t biosNumber, std::uint32_t sector,
                     const std::uint8_t types[4]) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  std::vector<std::uint8_t> mbr(512);
  f.read(reinterpret_cast<char*>(mbr.data()), 512);
  std::uint8_t* r = &mbr[424];
  std::memset(r, 0, 16);
  std::memcpy(r, types, 4);
  r[4] = biosNumber;
  Common::StoreLe32(r + 5, sector);
  Common::StoreLe16(r + 14, 16);
  std::uint8_t sum = 0;
  for (int i = 0; i < 16; ++i) sum = static_cast<std::uint8_t>(sum + r[i]);
  r[13] = static_cast<std::uint8_t>(0x100 - sum);
  f.seekp(0);
  f.write(reinterpret_cast<const char*>(mbr.data()), 512);
}

std::vector<holder*> Partitions(stddisk* d) {
  std::vector<holder*> out;
  for (holder* h = d->holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition()) out.push_back(h);
  return out;
}

class BootRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    boot_ = DaTest::MakeMbrImage(dir_, "boot.img", 32,
                                 "label: dos\n"
                                 "start=2048, size=20480, type=7\n"
                                 "start=22528, size=20480, type=83\n");
    // The second disk's partition starts where the boot disk's first does.
    second_ = DaTest::MakeMbrImage(dir_, "second.img", 16, "label: dos\nstart=2048, type=c\n");
    bootSpans_ = SfdiskSpans(boot_);
    secondSpans_ = SfdiskSpans(second_);
    ASSERT_EQ(bootSpans_.size(), 2u);
    ASSERT_EQ(secondSpans_.size(), 1u);
    ASSERT_EQ(bootSpans_[0].start, secondSpans_[0].start);
  }
  void TearDown() override { DaDone(); }

  da_computer& Init() {
    config_.Install("drive " + boot_ + " bios=0x80\ndrive " + second_ + " bios=0x81\n");
    DaInit(0x1C11);
    da_computer* c = DaLocalComputer();
    EXPECT_NE(c, nullptr);
    return *c;
  }

  DiskTest::TempDir dir_;
  StandinConfig config_{dir_};
  std::string boot_, second_;
  std::vector<Span> bootSpans_, secondSpans_;
  const std::uint8_t types_[4] = {7, 0x83, 0, 0};
};

TEST_F(BootRecord, ThePassMarksThePartitionTheRecordNames) {
  struct Case {
    const char* what;
    std::uint8_t bios;
    bool onBootDisk;  // the record's sector is that of the boot disk's second partition
    bool marked[3];   // boot disk's first, second; the second disk's partition
  };
  const Case cases[] = {
      {"the boot disk's second partition", 0x80, true, {false, true, false}},
      {"the second disk's partition, at a sector the boot disk has too", 0x81, false,
       {false, false, true}},
      {"a disk the computer lacks", 0x83, false, {false, false, false}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const std::uint32_t sector = static_cast<std::uint32_t>(
        k.onBootDisk ? bootSpans_[1].start : secondSpans_[0].start);
    WriteBootRecord(boot_, k.bios, sector, types_);
    ASSERT_TRUE(DaTest::Run("sfdisk --verify " + boot_));
    da_computer& c = Init();
    stddisk* boot = c.FirstDisk();
    ASSERT_NE(boot, nullptr);
    stddisk* second = boot->next;
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(boot->HasBootManager());
    std::vector<holder*> parts = Partitions(boot);
    const std::vector<holder*> more = Partitions(second);
    parts.insert(parts.end(), more.begin(), more.end());
    ASSERT_EQ(parts.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(BootRecordGuard::HasRecord(parts[i]), k.marked[i]);
      std::shared_ptr<virt_fs> fs = GetVirtFs(parts[i]);
      ASSERT_NE(fs, nullptr);
      EXPECT_EQ(fs->boot_record != 0, k.marked[i]);
    }
    DaDone();
  }
}

TEST_F(BootRecord, ClearedOnlyWhenItsPartitionChanges) {
  WriteBootRecord(boot_, 0x80, static_cast<std::uint32_t>(bootSpans_[1].start), types_);
  da_computer& c = Init();
  stddisk* boot = c.FirstDisk();
  ASSERT_NE(boot, nullptr);
  const std::vector<holder*> parts = Partitions(boot);
  ASSERT_EQ(parts.size(), 2u);
  holder* table = boot->GetTableHolder(0);
  ASSERT_NE(table, nullptr);
  std::uint8_t before[8];
  std::memcpy(before, boot->GetBootRecordArea(), 8);
  EXPECT_EQ(Common::LoadLe32(before), bootSpans_[1].start);

  // A fresh guard keeps nothing and restores nothing.
  BootRecordGuard fresh;
  EXPECT_FALSE(fresh.Captured());
  fresh.RestoreIfCaptured(false);
  EXPECT_EQ(std::memcmp(boot->GetBootRecordArea(), before, 8), 0);
  EXPECT_FALSE(table->IsModified());

  // The first partition is not the one the record names.
  BootRecordGuard::CaptureBoth(parts[0], false);
  EXPECT_EQ(std::memcmp(boot->GetBootRecordArea(), before, 8), 0);
  EXPECT_FALSE(table->IsModified());

  // Keeping the table as it is: the record is cleared in memory only.
  BootRecordGuard::CaptureBoth(parts[1], true);
  const std::uint8_t zero[8] = {};
  EXPECT_EQ(std::memcmp(boot->GetBootRecordArea(), zero, 8), 0);
  EXPECT_TRUE(boot->HasBootManager());
  EXPECT_FALSE(table->IsModified());
  EXPECT_FALSE(BootRecordGuard::HasRecord(parts[1]));

  // Put back and cleared again, this time for the table's next write.
  std::memcpy(boot->GetBootRecordArea(), before, 8);
  BootRecordGuard::CaptureBoth(parts[1], false);
  EXPECT_EQ(std::memcmp(boot->GetBootRecordArea(), zero, 8), 0);
  EXPECT_TRUE(table->IsModified());
  for (const std::string& line : config_.LogLines())
    EXPECT_NE(line.rfind("sbWrite", 0), 0u) << line;
}

}  // namespace
