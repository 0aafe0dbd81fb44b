// Scheme drivers for the model's tests: they stand where the MBR, GPT and
// dynamic-disk drivers go, with behaviour a test can set.
#pragma once

#include "foundation/byteorder.h"
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "fdisk/contiguous_disk.h"
#include "fdisk/ps_driver.h"
#include "fdisk/raw_driver.h"
#include "test_helpers.h"

namespace DiskModelTest {

class FakeDriver : public Fdisk::PSDriver, public Fdisk::DiskGroupProvider {
 public:
  struct Options {
    // Takes the whole raw disks that carry an MBR signature and shows one
    // portion per used table entry.
    bool claimMbr = false;
    // Accepts a driver visitor as the dynamic-disk driver.
    bool dynamic = false;
    // Disks of its own that it presents (and owns), made at every refresh.
    int presentedDisks = 0;
    bool hasStore = true;
  };

  explicit FakeDriver(Options options) : options_(options), store_(*this) {}
  ~FakeDriver() override {
    if (onDestroy) onDestroy();
    for (auto& entry : disks_) delete entry.second;
  }

  void Accept(Fdisk::PSDriverVisitor& visitor) override {
    if (options_.dynamic) visitor.VisitDynamic(*this);
  }

  Common::Error ProcessDisks(Fdisk::Layer&, Fdisk::Layer& head) override {
    ++processCalls;
    layer_.clear();
    held_.clear();
    for (auto& entry : head) {
      Fdisk::GetRawLocationVisitor raw;
      entry.second.GetLocation().Accept(raw);
      std::uint8_t sector[512] = {};
      Fdisk::SimpleDisk* disk = entry.second.GetLocation().GetDisk();
      if (options_.claimMbr && raw.found && disk->GetSectorSize() == 512 &&
          !disk->Io(Fdisk::kIoRead, 0, sector, 1) && sector[510] == 0x55 &&
          sector[511] == 0xAA) {
        held_.emplace(entry.first, entry.second);
        for (int i = 0; i < 4; ++i) {
          const std::uint8_t* e = sector + 446 + 16 * i;
          if (Common::LoadLe32(e + 12) == 0) continue;
          auto location = std::make_unique<Fdisk::MbrLocation>();
          location->diskId = raw.diskId;
          location->firstSector = Common::LoadLe32(e + 8);
          location->sectorCount = Common::LoadLe32(e + 12);
          location->type = e[4];
          location->view = std::make_shared<Fdisk::ContiguousDisk>(
              *disk, location->firstSector, location->sectorCount);
          Fdisk::PSPortion portion(GetId(), std::move(location), false, Fdisk::kAccessFull);
          layer_.emplace(portion.GetId(), portion);
        }
      } else {
        layer_.emplace(entry.first, entry.second);
      }
    }
    for (int i = 0; i < options_.presentedDisks; ++i) {
      auto disk = std::make_unique<MemoryModelDisk>(64);
      if (onPresentedDestroy) disk->OnDestroy(onPresentedDestroy);
      const std::uint32_t id = disk->GetId();
      presented.push_back(id);
      disks_[id] = disk.release();
    }
    return processResult;
  }

  Fdisk::Layer& GetPortions() override { return layer_; }
  Location* GetStateStore() override { return options_.hasStore ? &store_ : nullptr; }
  Common::Error Refresh(Fdisk::Layer& raw) override {
    ++refreshCalls;
    return Fdisk::PSDriver::Refresh(raw);
  }

  std::pair<Common::Error, std::uint32_t> CreatePortion(
      const Fdisk::NamedVars::VarContainer&) override {
    ++createCalls;
    return {createResult, createResult ? 0u : 4242u};
  }
  Common::Error DeletePortion(const Fdisk::NamedVars::VarContainer&) override {
    ++deleteCalls;
    return deleteResult;
  }
  Common::Error ChangePortion(const Fdisk::NamedVars::VarContainer&) override {
    ++changeCalls;
    if (changeThrow) changeThrow();
    return changeResult;
  }
  Common::Error Commit() override {
    ++commitCalls;
    return commitResult;
  }
  bool IsDynamic() const override { return options_.dynamic; }

  const Fdisk::DiskGroupTable& GetDiskGroupTable() override { return groups; }

  // What a test may set.
  Common::Error processResult;
  Common::Error createResult;
  Common::Error deleteResult;
  Common::Error changeResult;
  std::function<void()> changeThrow;
  Common::Error commitResult;
  Fdisk::DiskGroupTable groups;
  std::function<void()> onDestroy;
  std::function<void()> onPresentedDestroy;

  // What a test may read.
  int processCalls = 0;
  int refreshCalls = 0;
  int createCalls = 0;
  int deleteCalls = 0;
  int changeCalls = 0;
  int commitCalls = 0;
  std::vector<std::uint32_t> presented;

  Fdisk::Layer& Layer() { return layer_; }

 private:
  class HeldStore : public Fdisk::PSDriver::Location {
   public:
    explicit HeldStore(FakeDriver& driver) : driver_(driver) {}
    void Store(Fdisk::Layer& out) override { out = driver_.held_; }
    void Restore(Fdisk::Layer&) override {}

   private:
    FakeDriver& driver_;
  };

  Options options_;
  Fdisk::Layer layer_;
  Fdisk::Layer held_;
  HeldStore store_;
};

// Makers for DriverMakersScope that also record the drivers they made.
struct FakeDriverMaker {
  FakeDriver::Options options;
  std::vector<FakeDriver*>* made;
  std::function<void(FakeDriver&)> setUp;
  // The ids of the drivers made (they outlive a purged driver).
  std::vector<std::uint32_t>* ids = nullptr;

  std::unique_ptr<Fdisk::PSDriver> operator()() const {
    auto driver = std::make_unique<FakeDriver>(options);
    if (setUp) setUp(*driver);
    if (made) made->push_back(driver.get());
    if (ids) ids->push_back(driver->GetId());
    return driver;
  }
};

}  // namespace DiskModelTest
