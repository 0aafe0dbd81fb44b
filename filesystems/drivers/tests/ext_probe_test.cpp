// The factory and the ext probe: an ext volume mounts as ext through the
// system list; a FAT boot sector written over an ext volume (its superblock
// still in place at byte 1024) is FAT, because FAT is tried first.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "disktest/run_command.h"
#include "filesystems/factory.h"
#include "filesystems/fat_driver.h"
#include "filesystems/system_drivers.h"
#include "image_volume.h"

namespace {

struct Scratch {
  Scratch() {
    char pattern[] = "/tmp/extprobe.XXXXXX";
    path = mkdtemp(pattern) ? pattern : "";
  }
  ~Scratch() { DiskTest::RunCommand("rm -rf '" + path + "'"); }
  std::string path;
};

std::string Mount(const std::string& image, std::uint32_t key) {
  fstest::ImageVolume device(image, 512, 0, true);
  const std::uint64_t sectors = std::filesystem::file_size(image) / 512;
  filesystems::FileSystemDriver* driver =
      filesystems::OpenFileSystem(&device, 0, sectors, key, nullptr, nullptr, 0);
  if (!driver) return "";
  std::string name = driver->GetFileSystemName();
  delete driver;
  return name;
}

TEST(ExtProbe, FactoryPicksExtAndFatWrittenOverIt) {
  Scratch dir;
  const std::string ext = dir.path + "/ext.img";
  const std::string fat = dir.path + "/fat.img";
  int status = 0;
  DiskTest::RunCommand("mke2fs -q -F -t ext4 -O ^metadata_csum " + ext + " 16M 2>&1", &status);
  ASSERT_EQ(status, 0);
  DiskTest::RunCommand("mkfs.fat -C " + fat + " 16384 >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0);

  filesystems::RegisterFileSystemDrivers();
  EXPECT_EQ(Mount(ext, 0x5101), "Ext4");

  // FAT's probe as the system list will hold it once the FAT driver
  // installs itself: the real FAT recogniser in first place.
  filesystems::SetFileSystemProbes(
      {{&filesystems::OpenFATVolume, filesystems::kFatTypeMask},
       {filesystems::FileSystemProbes()[2].probe, filesystems::kExtTypeMask}});
  EXPECT_EQ(Mount(ext, 0x5102), "Ext4");
  std::vector<char> boot(512);
  std::ifstream(fat, std::ios::binary).read(boot.data(), 512);
  std::fstream(ext, std::ios::binary | std::ios::in | std::ios::out).write(boot.data(), 512);
  const std::string name = Mount(ext, 0x5103);
  EXPECT_TRUE(name.rfind("FAT", 0) == 0) << name;
  filesystems::SetFileSystemProbes({});
}

}  // namespace

#endif
