// Partition-scheme drivers and the factory that owns a computer's drivers.
//
// A driver understands one way of dividing a disk (raw, MBR, GPT, dynamic
// disks). During a refresh it reads the layer below, claims the disks that
// carry its scheme, presents them as its own portions and hands every other
// portion on unchanged; afterwards it creates, deletes and changes portions
// in memory and writes its tables on Commit.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "common/error.h"
#include "fdisk/model.h"
#include "fdisk/named_vars.h"
#include "fdisk/portion.h"

namespace Fdisk {

class PSMbrDriver;
class PSGptDriver;
class PSRawDriver;
class PSDriverVisitor;

class PSDriver : public IdObject, public PropertyObject {
 public:
  // A driver's state store: what the driver holds, for the factory's purge.
  class Location {
   public:
    virtual ~Location();
    // One entry per disk the driver holds.
    virtual void Store(Layer& out) = 0;
    virtual void Restore(Layer& out) = 0;
  };

  PSDriver();
  ~PSDriver() override;

  // The base throws 0x100401.
  virtual PSDriver* Clone() const;
  virtual void Accept(PSDriverVisitor& visitor) = 0;
  // Builds the layer from the layer below; the base refuses (0x100401).
  virtual Common::Error ProcessDisks(Layer& rawLayer, Layer& headLayer);
  // Builds the layer from the computer's disks; the base refuses.
  virtual Common::Error LoadDisks(const DiskMap& disks, Layer& layer);
  virtual Layer& GetPortions() = 0;
  // The driver's state store (owned by the driver), or null.
  virtual Location* GetStateStore();
  // What the portion manager calls; the base forwards to ProcessDisks.
  virtual Common::Error ProcessLayers(Layer& rawLayer, Layer& headLayer);
  // Rebuilds the layer from the raw layer; the base refuses.
  virtual Common::Error Refresh(Layer& rawLayer);
  // The disk operations; the bases refuse. Changes reach the disks on Commit.
  virtual Common::Error AddDisks(PSDriverFactory& factory, Layer& layer, Layer& portions,
                                 const NamedVars::VarContainer& params);
  virtual Common::Error InitDisks(PSDriverFactory& factory, const DiskMap& disks,
                                  Layer& portions, const NamedVars::VarContainer& params);
  virtual Common::Error ClearDisks(PSDriverFactory& factory, Layer& rawLayer, Layer& portions,
                                   const NamedVars::VarContainer& params);
  virtual Common::Error RemoveDisks(PSDriverFactory& factory, const DiskMap& disks,
                                    Layer& portions, const NamedVars::VarContainer& params);
  // The portion named by "PortionID" and the operation's further values.
  virtual std::pair<Common::Error, std::uint32_t> CreatePortion(
      const NamedVars::VarContainer& params) = 0;
  virtual Common::Error DeletePortion(const NamedVars::VarContainer& params) = 0;
  virtual Common::Error ChangePortion(const NamedVars::VarContainer& params) = 0;
  virtual Common::Error Commit() = 0;
  virtual bool IsDynamic() const;
  // The disks the driver presents itself (owned by the driver).
  virtual const DiskMap& GetDisks() const;

 protected:
  PSDriver(const PSDriver&) = delete;
  PSDriver& operator=(const PSDriver&) = delete;

  DiskMap disks_;
};

// What a dynamic-disk driver tells the disk locker: for each disk group
// (keyed by an object id), the ids of its member disks.
using DiskGroupTable = std::map<std::uint32_t, std::list<std::uint32_t>>;

class DiskGroupProvider {
 public:
  virtual ~DiskGroupProvider();
  virtual const DiskGroupTable& GetDiskGroupTable() = 0;
};

// Handles each kind of driver; every visit does nothing unless overridden.
class PSDriverVisitor {
 public:
  virtual ~PSDriverVisitor();
  virtual void Visit(PSMbrDriver& driver);
  // The dynamic-disk driver lives in a library built on this one; it passes
  // itself as a driver that also is a DiskGroupProvider.
  virtual void VisitDynamic(PSDriver& driver);
  virtual void Visit(PSGptDriver& driver);
  virtual void Visit(PSRawDriver& driver);
};

// Owns a computer's scheme drivers.
class PSDriverFactory {
 public:
  using DriverMaker = std::function<std::unique_ptr<PSDriver>()>;

  // The scheme drivers CreateDrivers makes, in stacking order: MBR, then
  // GPT, then dynamic disks. The model's own drivers are listed by
  // DefaultDriverMakers; a library that adds a scheme (dynamic disks)
  // appends its maker here once, before the first refresh.
  static std::vector<DriverMaker>& DriverMakers();

  PSDriverFactory(std::uint32_t stageId, std::uint32_t computerId);
  virtual ~PSDriverFactory();
  PSDriverFactory(const PSDriverFactory&) = delete;
  PSDriverFactory& operator=(const PSDriverFactory&) = delete;

  // Deletes every scheme driver and makes a new raw driver.
  void Reset();
  PSRawDriver& GetRawDriver() const { return *rawDriver_; }
  // The raw driver or a scheme driver by id; throws 0x101C0A otherwise.
  PSDriver& GetDriver(std::uint32_t driverId) const;
  bool HasDriver(std::uint32_t driverId) const;
  // Makes one driver of each kind, sets its "StageID" and "ComputerID",
  // registers it and returns the new ones in creation order.
  std::list<PSDriver*> CreateDrivers();
  // Deletes the drivers whose state store holds nothing; drivers without a
  // store and the raw driver stay. Returns the ids of the deleted drivers.
  std::vector<std::uint32_t> PurgeEmptyDrivers();

  const std::map<std::uint32_t, std::unique_ptr<PSDriver>>& GetDrivers() const {
    return drivers_;
  }
  std::uint32_t GetStageId() const { return stageId_; }
  std::uint32_t GetComputerId() const { return computerId_; }

 private:
  std::map<std::uint32_t, std::unique_ptr<PSDriver>> drivers_;
  std::unique_ptr<PSRawDriver> rawDriver_;
  std::uint32_t stageId_;
  std::uint32_t computerId_;
};

// The drivers built into the model, in stacking order: MBR, then GPT.
std::vector<PSDriverFactory::DriverMaker> DefaultDriverMakers();

}  // namespace Fdisk
