// The factory's system list: every driver in order, and the list comes back
// after a test or tool replaced it.
#include <gtest/gtest.h>

#include "filesystems/factory.h"
#include "filesystems/system_drivers.h"
#include "image_volume.h"

namespace {

TEST(SystemDrivers, TheFactoryTriesFatNtfsExtHfsPlusInOrder) {
  filesystems::RegisterFileSystemDrivers();
  const auto& probes = filesystems::FileSystemProbes();
  ASSERT_EQ(probes.size(), 4u);
  EXPECT_EQ(probes[0].probe, &filesystems::OpenFATDriver);
  EXPECT_EQ(probes[0].typeMask, filesystems::kFatTypeMask);
  EXPECT_EQ(probes[1].probe, &filesystems::OpenNTFSDriver);
  EXPECT_EQ(probes[1].typeMask, filesystems::kNtfsTypeMask);
  EXPECT_EQ(probes[2].typeMask, filesystems::kExtTypeMask);
  EXPECT_EQ(probes[3].typeMask, filesystems::kHfsPlusTypeMask);
  std::uint32_t all = 0;
  for (auto& p : probes) all |= p.typeMask;
  EXPECT_EQ(all, filesystems::kFactoryTypeMask);

  filesystems::SetFileSystemProbes({{&filesystems::OpenNTFSDriver, 1}});
  EXPECT_EQ(filesystems::FileSystemProbes().size(), 1u);
  filesystems::SetFileSystemProbes({});
  EXPECT_EQ(filesystems::FileSystemProbes().size(), 4u);
}

TEST(SystemDrivers, ABlankVolumeMountsAsNothing) {
  filesystems::RegisterFileSystemDrivers();
  fstest::ImageVolume device(64, 512);
  EXPECT_EQ(filesystems::OpenFileSystem(&device, 0, 64, 0x5001, nullptr, nullptr, 0), nullptr);
}

}  // namespace
