// The driver factory: probe order, the first sector, and refusals that leave
// no trace in the block-cache account.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "fake_driver.h"
#include "filesystems/factory.h"
#include "image_volume.h"

namespace {

using filesystems::FileSystemDriver;
using fstest::FakeDriver;
using fstest::ImageVolume;

std::vector<std::string> g_calls;
const std::uint8_t* g_seen = nullptr;

FileSystemDriver* FakeProbe(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t size,
                            std::uint32_t key, const std::uint8_t* first, const std::uint8_t*,
                            std::uint32_t) {
  g_calls.push_back("fake");
  g_seen = first;
  return new FakeDriver(device, offset, size, key, true);
}
FileSystemDriver* Refuse(Fdisk::SimpleDisk*, std::uint64_t, std::uint64_t, std::uint32_t,
                         const std::uint8_t*, const std::uint8_t*, std::uint32_t) {
  g_calls.push_back("refuse");
  return nullptr;
}
FileSystemDriver* Exhausted(Fdisk::SimpleDisk*, std::uint64_t, std::uint64_t, std::uint32_t,
                            const std::uint8_t*, const std::uint8_t*, std::uint32_t) {
  g_calls.push_back("exhausted");
  // A count read from disk asking for more than any heap has.
  std::vector<std::uint8_t> huge;
  huge.reserve(static_cast<std::size_t>(filesystems::CheckDiskSizedAllocation(1ull << 40)));
  return nullptr;
}

struct Probes {
  explicit Probes(std::vector<filesystems::ProbeRecord> p) {
    filesystems::SetFileSystemProbes(std::move(p));
    g_calls.clear();
  }
  ~Probes() { filesystems::SetFileSystemProbes({}); }
};

TEST(Factory, WithoutTheDriversLibraryNothingMounts) {
  EXPECT_TRUE(filesystems::FileSystemProbes().empty());
  ImageVolume device(64, 512);
  EXPECT_EQ(filesystems::OpenFileSystem(&device, 0, 64, 0x5001, nullptr, nullptr, 0), nullptr);
}

TEST(Factory, UnreadableFirstSectorAndBlankImageGiveNullWithoutTouchingTheAccount) {
  Probes probes({{&Refuse, 1}, {&FakeProbe, 1}});
  ImageVolume device(64, 512);
  device.FailReads(8, 1);
  EXPECT_EQ(filesystems::OpenFileSystem(&device, 8, 32, 0x5002, nullptr, nullptr, 0), nullptr);
  EXPECT_TRUE(g_calls.empty());  // no driver was tried

  device.ClearFailures();
  EXPECT_EQ(filesystems::OpenFileSystem(&device, 8, 32, 0x5002, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"refuse", "fake"}));
  EXPECT_EQ(FileSystemDriver::FileSystemCache::Find(0x5002), nullptr);

  // A refusing driver on a key that other mounts use leaves their account as it was.
  FakeDriver other(&device, 0, 64, 0x5002);
  other.GetBlocks(0, 8, false);
  const std::uint64_t total = other.CacheAccount()->Total();
  EXPECT_EQ(filesystems::OpenFileSystem(&device, 8, 32, 0x5002, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(other.CacheAccount()->Total(), total);
  EXPECT_EQ(other.CacheAccount()->Uses(), 1);
}

TEST(Factory, TheFirstAcceptingDriverWinsAndSeesTheCallersSector) {
  Probes probes({{&FakeProbe, 1}, {&Refuse, 1}});
  ImageVolume device(64, 512);
  {
    FakeDriver maker(&device, 0, 64, 0x5003);
    maker.persist = true;
    maker.AddNode(0, u"x", 0);
  }
  std::vector<std::uint8_t> sector(512, 0);
  device.ClearLog();
  std::unique_ptr<FileSystemDriver> driver(
      filesystems::OpenFileSystem(&device, 0, 64, 0x5003, sector.data(), nullptr, 0));
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(g_seen, sector.data());
  EXPECT_EQ(g_calls, (std::vector<std::string>{"fake"}));
  EXPECT_EQ(std::string(driver->GetFileSystemName()), "FakeFS");
}

TEST(Factory, AProbeAskingForAnAllocationBeyondTheCapAnswersNull) {
  Probes probes({{&Exhausted, 1}, {&Refuse, 1}});
  ImageVolume device(64, 512);
  EXPECT_EQ(filesystems::OpenFileSystem(&device, 0, 64, 0x5004, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"exhausted", "refuse"}));
}

}  // namespace
