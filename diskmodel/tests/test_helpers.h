// Helpers shared by the disk model's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"
#include "disktest/image_disk.h"
#include "disktest/sparse_image.h"
#include "disktest/temp_dir.h"
#include "disktest/test_disk.h"
#include "fdisk/error.h"
#include "fdisk/model.h"
#include "fdisk/ps_driver.h"
#include "fdisk/simple_disk.h"

namespace DiskModelTest {

// A sector device in memory, of any sector size.
class MemoryDisk : public Fdisk::SimpleDisk {
 public:
  MemoryDisk(std::uint32_t sectorSize, std::uint64_t sectors)
      : data_(std::size_t(sectorSize * sectors)) {
    sectorSize_ = sectorSize;
    lastSector_ = sectors - 1;
    geometry_.sectorsPerTrack = 63;
    geometry_.highestHead = 254;
    geometry_.cylinders = sectors / (63 * 255);
  }

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    ++calls;
    const std::uint64_t sectors = lastSector_ + 1;
    if (sector > sectors || count > sectors - sector) {
      return Fdisk::Error(1, 1, Fdisk::kErrInvalidIo);
    }
    std::uint8_t* at = data_.data() + sector * sectorSize_;
    const std::size_t bytes = std::size_t(count * sectorSize_);
    if (op == Fdisk::kIoRead) {
      std::memcpy(buffer, at, bytes);
    } else if (op == Fdisk::kIoWrite) {
      std::memcpy(at, buffer, bytes);
    }
    return Common::Error();
  }

  std::uint8_t* Sector(std::uint64_t n) { return data_.data() + n * sectorSize_; }
  void SetGeometry(const Fdisk::Geometry& g) { geometry_ = g; }

  int calls = 0;

 private:
  std::vector<std::uint8_t> data_;
};

// Holds the stage registry for one test.
class RegistryScope {
 public:
  RegistryScope() : stageId_(Fdisk::StageRegistry::Acquire()) {}
  ~RegistryScope() { Fdisk::StageRegistry::Release(); }
  std::uint32_t StageId() const { return stageId_; }
  Fdisk::Stage& Stage() const { return Fdisk::StageRegistry::GetStage(stageId_); }

 private:
  std::uint32_t stageId_;
};

// Replaces the scheme drivers the factories make, for one test.
class DriverMakersScope {
 public:
  explicit DriverMakersScope(std::vector<Fdisk::PSDriverFactory::DriverMaker> makers)
      : saved_(std::move(Fdisk::PSDriverFactory::DriverMakers())) {
    Fdisk::PSDriverFactory::DriverMakers() = std::move(makers);
  }
  ~DriverMakersScope() { Fdisk::PSDriverFactory::DriverMakers() = std::move(saved_); }

 private:
  std::vector<Fdisk::PSDriverFactory::DriverMaker> saved_;
};

inline std::unique_ptr<DiskTest::TestDisk> MemoryTestDisk(std::uint32_t sectorSize,
                                                          std::uint64_t sectors) {
  return std::make_unique<DiskTest::TestDisk>(std::make_unique<MemoryDisk>(sectorSize, sectors));
}

// An image disk holding a committed fixture, in `dir`.
inline std::unique_ptr<DiskTest::ImageDisk> FixtureDisk(const DiskTest::TempDir& dir,
                                                        const DiskTest::SparseImage& image,
                                                        std::uint32_t sectorSize = 512) {
  const std::string path = dir.File(std::string(image.name) + ".img");
  DiskTest::WriteSparseImage(image, path);
  return std::make_unique<DiskTest::ImageDisk>(path, sectorSize);
}

// The code of what `f` throws as Fdisk::Error, 0 when it throws nothing.
inline std::uint32_t ThrownCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const Fdisk::Error& e) {
    return Common::GetErrorCode(e);
  }
  return 0;
}

}  // namespace DiskModelTest
