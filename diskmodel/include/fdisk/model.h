// The disk model's objects: ids, property bags, disks, computers, stages
// and the process-wide stage registry.
//
// Ownership runs strictly downward: the registry owns the stages, a stage
// its computers, a computer the disks it was given, its volumes, its portion
// manager and its scheme-driver factory. Scheme drivers own the disks they
// present themselves (the volumes of dynamic disks); a computer only refers
// to those ("merged" disks) and drops them whenever the drivers are rebuilt.
// Callers outside the model name objects by id.
//
// The model, the registry and the id counter are used from one thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "common/error.h"
#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/named_vars.h"
#include "fdisk/simple_disk.h"

namespace Fdisk {

class LocationVisitor;
class PSManager;
class PSDriverFactory;
class PSPortion;
namespace ErrorSimulation {
class DiskErrorSimulator;
}

// Interface type of a disk's hardware address; the disk-access layer
// supplies the values beyond 0.
enum HDInterfaceType : int { kHDInterfaceUnknown = 0 };

class IdObject {
 public:
  // Takes the next id of the process-wide counter.
  IdObject();
  // Keeps a given identity (copies of portions).
  explicit IdObject(std::uint32_t id);
  virtual ~IdObject();

  std::uint32_t GetId() const { return id_; }

  // The process-wide counter: the first id is 1; ids are never reused.
  static std::uint32_t NewId();

 protected:
  IdObject(const IdObject&) = default;
  IdObject& operator=(const IdObject&) = default;
  void SetId(std::uint32_t id) { id_ = id; }

 private:
  // Hands its identity down to the disk it wraps.
  friend class ErrorSimulation::DiskErrorSimulator;

  std::uint32_t id_;
};

class PropertyObject {
 public:
  PropertyObject();
  virtual ~PropertyObject();

  NamedVars::VarContainer& GetProperties() { return properties_; }
  const NamedVars::VarContainer& GetProperties() const { return properties_; }

 protected:
  PropertyObject(const PropertyObject&) = default;
  PropertyObject& operator=(const PropertyObject&) = default;

 private:
  NamedVars::VarContainer properties_;
};

// A disk of a computer.
class Disk : public IdObject, public PropertyObject {
 public:
  // Sets the twelve disk properties to zero or empty ("SectorSize",
  // "BIOS_NUMBER", "AdvancedLocus", "HDInterfaceType", "HDInterfaceHost",
  // "HDInterfaceBus", "HDInterfaceTarget", "Model", "PhysicalName",
  // "HWSerialNumber", "NtSerial", "Ordinal"); subclasses overwrite them.
  Disk();
  // A disk that keeps an identity given to it (a placeholder for a disk
  // known by id but not present).
  explicit Disk(std::uint32_t id);
  ~Disk() override;

  virtual void Accept(LocationVisitor& visitor) = 0;
  // The disk's sector device, owned by the disk; never null.
  virtual SimpleDisk* GetSimpleDisk() = 0;
  virtual Common::Error Lock() = 0;
  virtual Common::Error Unlock() = 0;
  virtual Common::Error Invalidate();

 protected:
  Disk(const Disk&) = delete;
  Disk& operator=(const Disk&) = delete;

 private:
  void SetDefaultProperties();
};

// Disks by id, not owned.
using DiskMap = std::map<std::uint32_t, Disk*>;

// The hardware address that selects a disk's error simulation.
struct DiskAddress {
  HDInterfaceType interfaceType = kHDInterfaceUnknown;
  std::uint32_t host = 0;
  std::uint32_t bus = 0;
  std::uint32_t target = 0;
};
bool operator<(const DiskAddress& a, const DiskAddress& b);

// One configured error region of a disk (see error_simulation.h).
struct ErrorRegionConfig {
  std::uint32_t op = 0;          // kIoRead or kIoWrite
  std::uint32_t kind = 0;        // 0 fail, 1 fail at random, 2 damage, 3 damage at random
  std::uint64_t firstSector = 0;
  std::uint64_t sectorCount = 0;
  std::uint32_t damageMode = 0;  // 0 none, 1 zero, 2 sparse random words, 3 all random words
};

using ErrorSimulationTable = std::map<DiskAddress, std::list<ErrorRegionConfig>>;

class Computer : public IdObject, public PropertyObject {
 public:
  // A new id; a portion manager and a driver factory (starting with its raw
  // driver) for (stage id, own id); "StageID" set to the stage id.
  explicit Computer(std::uint32_t stageId);
  ~Computer() override;

  // Imports the machine's disks and refreshes the layers; nothing here. The
  // disk-access layer's local computer replaces it.
  virtual void Refresh();

  // Takes the disk and returns its id. When the error-simulation table is
  // not empty the disk may first be wrapped (the wrapper keeps its id); a
  // bad region configuration throws and the disk is deleted. A disk already
  // registered under the id is replaced: deleted when the computer owns it,
  // only forgotten when a scheme driver does.
  std::uint32_t AddDisk(std::unique_ptr<Disk> disk);
  // Drops the disk with that id: deleted when the computer owns it, only
  // forgotten when a scheme driver does. An absent id changes nothing.
  void RemoveDisk(std::uint32_t diskId);
  // Deletes every owned disk in the order they were added and forgets the
  // merged ones.
  void ClearDisks();
  // Enters the drivers' disks whose ids are not yet registered; they stay
  // owned by the driver.
  void MergeDisks(const DiskMap& disks);
  // Forgets every merged disk: called whenever the drivers that own them
  // may be deleted, so that the map never holds a deleted disk.
  void DropMergedDisks();

  std::uint32_t AddVolume(std::unique_ptr<IdObject> volume);
  void DeleteVolume(std::uint32_t volumeId);
  void ClearVolumes();

  const DiskMap& GetDisks() const { return disks_; }
  // Ids of the owned disks, in the order they were added.
  const std::list<std::uint32_t>& GetDiskOrder() const { return order_; }
  bool OwnsDisk(std::uint32_t diskId) const { return owned_.count(diskId) != 0; }
  const std::map<std::uint32_t, std::unique_ptr<IdObject>>& GetVolumes() const {
    return volumes_;
  }
  PSManager& GetPortionManager() { return *portionManager_; }
  PSDriverFactory& GetDriverFactory() { return *driverFactory_; }
  std::uint32_t GetStageId() const { return stageId_; }
  ErrorSimulationTable& GetErrorSimulationTable() { return errorSimulation_; }

  // Lookups; each throws `Fdisk::Error` (0x101C06, 0x101C09 or 0x101C0B,
  // 0x101C10) when the object is not there.
  Disk& FindDisk(std::uint32_t diskId) const;
  // A portion of the portion manager's head layer.
  PSPortion& FindPortion(std::uint32_t portionId) const;
  IdObject& FindVolume(std::uint32_t volumeId) const;

 private:
  std::uint32_t stageId_;
  DiskMap disks_;
  std::list<std::uint32_t> order_;
  std::map<std::uint32_t, std::unique_ptr<Disk>> owned_;
  std::map<std::uint32_t, std::unique_ptr<IdObject>> volumes_;
  std::unique_ptr<PSManager> portionManager_;
  std::unique_ptr<PSDriverFactory> driverFactory_;
  ErrorSimulationTable errorSimulation_;
};

class Stage : public IdObject, public PropertyObject {
 public:
  // What a stage reports for a computer id it does not hold.
  class Error : public Fdisk::Error {
   public:
    Error() = default;
    explicit Error(const Common::Error& e) : Fdisk::Error(e) {}
  };

  // How the local computer is made: the disk-access layer installs its own
  // (which imports the machine's disks on Refresh); by default a plain
  // computer.
  using LocalComputerFactory = std::unique_ptr<Computer> (*)(std::uint32_t stageId);
  static void SetLocalComputerFactory(LocalComputerFactory factory);

  Stage();
  ~Stage() override;

  // The stage operations. Each takes the caller's parameters.
  virtual Common::Error Reserved1(const NamedVars::VarContainer& params) = 0;
  virtual std::pair<Common::Error, std::uint32_t> Create(
      const NamedVars::VarContainer& params) = 0;
  virtual Common::Error Delete(const NamedVars::VarContainer& params) = 0;
  virtual Common::Error Change(const NamedVars::VarContainer& params) = 0;
  virtual Common::Error Reserved5(const NamedVars::VarContainer& params) = 0;
  virtual Common::Error Reserved6(const NamedVars::VarContainer& params) = 0;
  virtual Common::Error ClearDisk(const NamedVars::VarContainer& params) = 0;

  // Creates the local computer, registers it and returns its id.
  std::uint32_t CreateLocalComputer();
  // Throws `Fdisk::Stage::Error` 0x101C05 for an id the stage does not hold.
  Computer& GetComputer(std::uint32_t computerId) const;
  // Deletes the computer; an absent id is ignored.
  void DeleteComputer(std::uint32_t computerId);

  std::uint32_t GetLocalComputerId() const { return localComputerId_; }
  const std::map<std::uint32_t, std::unique_ptr<Computer>>& GetComputers() const {
    return computers_;
  }

 protected:
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

 private:
  std::uint32_t localComputerId_ = 0;
  std::map<std::uint32_t, std::unique_ptr<Computer>> computers_;
};

// The process-wide registry of stages, alive from the first Acquire to the
// Release that brings the use count back to 0.
class StageRegistry {
 public:
  // The first call creates the registry with one real stage; every call
  // adds one use. Returns the real stage's id.
  static std::uint32_t Acquire();
  // Drops one use; the last one destroys the registry with every stage,
  // computer, disk and driver. Returns the new use count.
  static std::int32_t Release();
  static StageRegistry* Instance();
  static std::uint32_t GetRealStageId();
  // Throws `Fdisk::Error` 0x101C02 for an id the registry does not hold (or
  // when there is no registry).
  static Stage& GetStage(std::uint32_t stageId);

  const std::map<std::uint32_t, std::unique_ptr<Stage>>& GetStages() const { return stages_; }

  StageRegistry(const StageRegistry&) = delete;
  StageRegistry& operator=(const StageRegistry&) = delete;
  ~StageRegistry();

 private:
  StageRegistry();

  std::map<std::uint32_t, std::unique_ptr<Stage>> stages_;
  std::uint32_t realStageId_ = 0;
};

// Lookups by ids from the stage down; each throws the error of the step
// that fails.
Computer& FindComputer(std::uint32_t stageId, std::uint32_t computerId);
Disk& FindDisk(std::uint32_t stageId, std::uint32_t computerId, std::uint32_t diskId);
PSPortion& FindPortion(std::uint32_t stageId, std::uint32_t computerId, std::uint32_t portionId);
IdObject& FindVolume(std::uint32_t stageId, std::uint32_t computerId, std::uint32_t volumeId);

// A log line of the disk model's parts: printf-style, at most 1023
// characters, traced at level 1 with the part's category.
void FdiskLogV(int category, const char* format, va_list args);

// The disk model's log line: as above, with category 16.
void FdiskLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace Fdisk
