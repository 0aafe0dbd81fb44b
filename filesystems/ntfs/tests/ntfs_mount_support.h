// An NTFS mount over an image file for the tests, and the cache keys the
// mounts of one test program take in turn.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "filesystems/ntfs_driver.h"
#include "image_volume.h"

namespace ntfstest {

inline std::uint32_t NextCacheKey() {
  static std::uint32_t key = 0x21000;
  return ++key;
}

struct Mounted {
  Mounted(const std::string& path, std::uint32_t sectorSize, bool readOnly = true)
      : device(new fstest::ImageVolume(path, sectorSize, 0, readOnly)) {
    const std::uint64_t sectors = std::filesystem::file_size(path) / sectorSize;
    driver = static_cast<filesystems::ntfs::NTFSDriver*>(filesystems::OpenNTFSVolume(
        device.get(), 0, sectors, NextCacheKey(), nullptr, nullptr, 0));
  }
  ~Mounted() { delete driver; }
  std::unique_ptr<fstest::ImageVolume> device;
  filesystems::ntfs::NTFSDriver* driver = nullptr;
};

}  // namespace ntfstest

#endif
