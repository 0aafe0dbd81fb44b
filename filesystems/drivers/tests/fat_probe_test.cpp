// The factory mounts FAT volumes made by mkfs.fat through the system list,
// and answers null for a volume whose boot sector is no FAT boot sector.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "filesystems/factory.h"
#include "filesystems/system_drivers.h"
#include "image_volume.h"

namespace {

TEST(FatProbe, TheFactoryMountsWhatMkfsFatMakes) {
  filesystems::RegisterFileSystemDrivers();
  const std::string image =
      (std::filesystem::temp_directory_path() / ("fatprobe." + std::to_string(::getpid()))).string();
  struct Case {
    int bits;
    const char* name;
  };
  for (const Case& c : {Case{12, "FAT16"}, Case{16, "FAT16"}, Case{32, "FAT32"}}) {
    SCOPED_TRACE(c.bits);
    std::remove(image.c_str());
    const std::string command = "mkfs.fat -C -F " + std::to_string(c.bits) + " -s 1 '" + image +
                                "' " + (c.bits == 32 ? "40000" : c.bits == 16 ? "20000" : "1440") +
                                " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (bool damaged : {false, true}) {
      if (damaged) {
        // No boot signature: not a FAT volume.
        std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(510);
        f.write("\0\0", 2);
      }
      fstest::ImageVolume device(image, 512, 0, true);
      const std::uint64_t sectors = std::filesystem::file_size(image) / 512;
      filesystems::FileSystemDriver* driver =
          filesystems::OpenFileSystem(&device, 0, sectors, 0x17F0, nullptr, nullptr, 0);
      if (damaged) {
        EXPECT_EQ(driver, nullptr);
      } else {
        ASSERT_NE(driver, nullptr);
        EXPECT_STREQ(driver->GetFileSystemName(), c.name);
      }
      delete driver;
    }
  }
  std::remove(image.c_str());
}

}  // namespace

#endif
