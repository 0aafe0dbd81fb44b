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
#include "disktest/memory_disk.h"
#include "disktest/sparse_image.h"
#include "disktest/temp_dir.h"
#include "disktest/test_disk.h"
#include "fdisk/error.h"
#include "fdisk/model.h"
#include "fdisk/ps_driver.h"
#include "fdisk/simple_disk.h"

namespace DiskModelTest {

// The shared memory disks: MemoryDisk(sectors[, sectorSize]) and the model
// disk over one, MemoryModelDisk(sectors[, sectorSize]).
using DiskTest::MemoryDisk;
using DiskTest::MemoryModelDisk;

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
