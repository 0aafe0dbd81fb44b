// A FAT mount over an image file for the tests.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "filesystems/fat_driver.h"
#include "image_volume.h"

namespace fattest {

inline std::uint32_t NextCacheKey() {
  static std::uint32_t key = 0x17000;
  return ++key;
}

struct Mounted {
  Mounted(const std::string& path, std::uint32_t sectorSize, bool readOnly = true,
          const std::uint8_t* boot = nullptr)
      : device(new fstest::ImageVolume(path, sectorSize, 0, readOnly)) {
    const std::uint64_t sectors = std::filesystem::file_size(path) / sectorSize;
    driver = static_cast<filesystems::FATDriver*>(
        filesystems::OpenFATVolume(device.get(), 0, sectors, NextCacheKey(), boot, nullptr, 0));
  }
  ~Mounted() { Unmount(); }
  void Unmount() {
    delete driver;
    driver = nullptr;
  }
  filesystems::FATDriver* operator->() const { return driver; }

  std::unique_ptr<fstest::ImageVolume> device;
  filesystems::FATDriver* driver = nullptr;
};

}  // namespace fattest

#endif
