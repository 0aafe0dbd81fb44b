// Scopes the dynamic-disk tests that run the driver under the disk model's
// stage share: the stage registry held for one test, and a driver factory
// that makes only the dynamic-disk driver.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "fdisk/model.h"
#include "fdisk/ps_manager.h"
#include "ldm/driver.h"

namespace LdmTest {

class RegistryScope {
 public:
  RegistryScope() : stageId_(Fdisk::StageRegistry::Acquire()) {}
  ~RegistryScope() { Fdisk::StageRegistry::Release(); }
  Fdisk::Stage& Stage() const { return Fdisk::StageRegistry::GetStage(stageId_); }

 private:
  std::uint32_t stageId_;
};

class MakersScope {
 public:
  MakersScope() : saved_(std::move(Fdisk::PSDriverFactory::DriverMakers())) {
    Fdisk::PSDriverFactory::DriverMakers().clear();
    Fdisk::RegisterDynamicDiskDriver();
  }
  ~MakersScope() { Fdisk::PSDriverFactory::DriverMakers() = std::move(saved_); }

 private:
  std::vector<Fdisk::PSDriverFactory::DriverMaker> saved_;
};

}  // namespace LdmTest
