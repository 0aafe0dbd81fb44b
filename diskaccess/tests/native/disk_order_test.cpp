// Disk order by bus address and firmware number, and the boot disk, over
// drives of the stand-in library (interface types and BIOS numbers set in
// its configuration; the stand-in gives each drive its index as target).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/disk_order.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "standin_fixture.h"

namespace {

// The drives' positions (1-based, in configuration order) in a list.
std::vector<int> Positions(const DiskOrderList& list, const std::vector<stddisk*>& drives) {
  std::vector<int> out;
  for (stddisk* d : list)
    for (std::size_t i = 0; i < drives.size(); ++i)
      if (drives[i] == d) out.push_back(static_cast<int>(i + 1));
  return out;
}

TEST(DiskOrder, FirmwareAndBusOrdersOverStandinDrives) {
  struct Case {
    const char* name;
    std::vector<std::string> drives;  // the options of each drive line
    bool busFlag;                     // the computer's flag 0x10
    std::vector<int> numbered, firmware, bus;
    int boot;
  };
  const Case cases[] = {
      {"numbers out of order", {"bios=0x81", "bios=0x80", ""}, false,
       {2, 1}, {2, 1, 3}, {2, 1, 3}, 2},
      {"unnumbered by bus rank", {"interface=7", "interface=1", "bios=0x80 interface=7"}, false,
       {3}, {3, 2, 1}, {3, 1, 2}, 3},
      {"none numbered", {"interface=4", "interface=3", "interface=8"}, false,
       {}, {2, 3, 1}, {1, 2, 3}, 2},
      // A numbered disk after the first unnumbered one is in neither the
      // numbered list nor among the unnumbered disks of the bus order.
      {"flag 0x10: list order up to the first unnumbered", {"bios=0x81", "", "bios=0x80"}, true,
       {1}, {1, 2, 3}, {1, 2}, 1},
      {"flag 0x10 ranks 3 before 8 before 1", {"interface=1", "interface=8", "interface=3"}, true,
       {}, {1, 2, 3}, {3, 2, 1}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DiskTest::TempDir dir;
    DaTest::StandinConfig config(dir);
    std::string lines;
    for (std::size_t i = 0; i < c.drives.size(); ++i) {
      const std::string image = DaTest::MakeMbrImage(dir, "d" + std::to_string(i) + ".img", 8,
                                                      "label: dos\nstart=2048, type=83\n");
      lines += "drive " + image + " " + c.drives[i] + "\n";
    }
    config.Install(lines);
    DaInit(0x1C11);
    da_computer* computer = DaLocalComputer();
    ASSERT_NE(computer, nullptr);
    std::vector<stddisk*> drives;
    for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next)
      if (!d->IsEasyVolumeDisk()) drives.push_back(d);
    ASSERT_EQ(drives.size(), c.drives.size());
    if (c.busFlag) computer->capabilities |= kCapLibraryMode0;
    else computer->capabilities &= ~kCapLibraryMode0;

    DiskOrderList numbered, firmware, bus;
    CollectNumberedDisks(numbered, *computer);
    BuildFirmwareOrderList(firmware, *computer, numbered);
    BuildBusOrderList(bus, *computer, numbered);
    EXPECT_EQ(Positions(numbered, drives), c.numbered);
    EXPECT_EQ(Positions(firmware, drives), c.firmware);
    EXPECT_EQ(Positions(bus, drives), c.bus);
    EXPECT_EQ(DaBootDisk(*computer), drives[c.boot - 1]);
    // The pseudo-disk and unusable disks take no part.
    drives[0]->usable = 0;
    DiskOrderList without;
    BuildFirmwareOrderList(without, *computer, DiskOrderList());
    for (stddisk* d : without) {
      EXPECT_NE(d, drives[0]);
      EXPECT_FALSE(d->IsEasyVolumeDisk());
    }
    drives[0]->usable = 1;
    DaDone();
  }
}

TEST(DiskOrder, BusAddressComparesRankHostBusThenTarget) {
  DiskTest::TempDir dir;
  DaTest::StandinConfig config(dir);
  std::string lines;
  for (int i = 0; i < 2; ++i)
    lines += "drive " + DaTest::MakeMbrImage(dir, "b" + std::to_string(i) + ".img", 8,
                                            "label: dos\nstart=2048, type=83\n") + "\n";
  config.Install(lines);
  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  stddisk* a = computer->FirstDisk();
  stddisk* b = a->next;
  struct Case {
    std::uint32_t typeA, hostA, busA, targetA, typeB, hostB, busB, targetB;
    bool aFirst, bFirst;
  };
  const Case cases[] = {
      {0, 0, 0, 2, 0, 0, 0, 1, false, true},  // targets 2 and 1: target 1 first
      {0, 0, 0, 1, 0, 0, 0, 1, true, true},   // equal: either is "less or equal"
      {0, 1, 0, 0, 0, 0, 5, 9, false, true},  // host before bus and target
      {0, 0, 1, 0, 0, 0, 0, 9, false, true},  // bus before target
      {1, 9, 9, 9, 7, 0, 0, 0, true, false},  // rank before everything
  };
  for (const Case& c : cases) {
    a->SetInterface(c.typeA, c.hostA, c.busA, c.targetA);
    b->SetInterface(c.typeB, c.hostB, c.busB, c.targetB);
    EXPECT_EQ(DiskLess(a, b, false), c.aFirst);
    EXPECT_EQ(DiskLess(b, a, false), c.bFirst);
  }
  // The scan's placement walks back to the last disk that is less or equal.
  a->SetInterface(0, 0, 0, 1);
  b->SetInterface(0, 0, 0, 1);
  EXPECT_EQ(DaBusPredecessor(*computer, *b), a);
  a->SetInterface(0, 0, 0, 3);
  EXPECT_EQ(DaBusPredecessor(*computer, *b), nullptr);
  DaDone();
}

}  // namespace
