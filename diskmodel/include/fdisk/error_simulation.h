// Simulated disk errors: reads and writes that fall into configured sector
// regions of a disk fail, or return or store damaged data, always or at
// random. A computer wraps a disk in a simulator when its error-simulation
// table has an entry for the disk's hardware address.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "common/error.h"
#include "fdisk/model.h"
#include "fdisk/simple_disk.h"
#include "fdisk/simple_disk_restricted.h"

namespace Fdisk {
namespace ErrorSimulation {

// Damage modes of NotAbortedErrorDescription.
constexpr std::uint32_t kDamageNone = 0;
constexpr std::uint32_t kDamageZero = 1;
constexpr std::uint32_t kDamageSparse = 2;  // about one 32-bit word in 1024
constexpr std::uint32_t kDamageAll = 3;

// Region kinds of the configuration.
constexpr std::uint32_t kKindFail = 0;
constexpr std::uint32_t kKindFailRandom = 1;
constexpr std::uint32_t kKindDamage = 2;
constexpr std::uint32_t kKindDamageRandom = 3;

// The rule of a region.
class ErrorDescription {
 public:
  virtual Common::Error Apply(std::uint32_t op, std::uint64_t sector, void* buffer,
                              std::uint64_t count) = 0;
  virtual ~ErrorDescription();
};

// Fails with 0x102801 "Error.".
class AbortedErrorDescription : public ErrorDescription {
 public:
  Common::Error Apply(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override;
};

// Damages the buffer in place and succeeds.
class NotAbortedErrorDescription : public ErrorDescription {
 public:
  NotAbortedErrorDescription(std::uint32_t damageMode, std::uint32_t sectorSize);
  Common::Error Apply(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override;

 private:
  std::uint32_t damageMode_;
  std::uint32_t sectorSize_;
};

class SequenceGenerator {
 public:
  virtual std::uint32_t Next() = 0;
  virtual ~SequenceGenerator();
};

// The runtime's pseudo-random numbers modulo `modulus`.
class RandomGenerator : public SequenceGenerator {
 public:
  explicit RandomGenerator(std::uint32_t modulus);
  std::uint32_t Next() override;

 private:
  std::uint32_t modulus_;
};

// The second rule when the generator answers non-zero, else the first.
class TwoComposeErrorDescription : public ErrorDescription {
 public:
  TwoComposeErrorDescription(std::unique_ptr<ErrorDescription> first,
                             std::unique_ptr<ErrorDescription> second,
                             std::unique_ptr<SequenceGenerator> generator);
  Common::Error Apply(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override;

 private:
  std::unique_ptr<ErrorDescription> first_;
  std::unique_ptr<ErrorDescription> second_;
  std::unique_ptr<SequenceGenerator> generator_;
};

// The rule a configured region kind stands for, or null for an unknown kind.
std::unique_ptr<ErrorDescription> MakeRule(std::uint32_t kind, std::uint32_t damageMode,
                                           std::uint32_t sectorSize);

// A device that applies the rules of its regions to the requests that touch
// them and passes everything else to the wrapped device.
class SimpleDiskErrorMapper : public SimpleDisk {
 public:
  // The wrapped device is not owned.
  explicit SimpleDiskErrorMapper(SimpleDisk& wrapped);
  ~SimpleDiskErrorMapper() override;

  // Adds a region for one operation code. Regions of one code must not
  // overlap, must hold at least one sector and must end before the device's
  // last sector; otherwise `Fdisk::Error` 0x102801 is thrown (the rule is
  // deleted).
  void AddRegion(std::uint32_t op, std::uint64_t first, std::uint64_t count,
                 std::unique_ptr<ErrorDescription> rule);

  // Reads the whole request first, then applies the rules of the regions it
  // touches; writes go out piece by piece, region pieces as their rule left
  // them.
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;

 private:
  struct Region {
    std::uint32_t op;
    std::uint64_t first;
    std::uint64_t count;
    std::unique_ptr<ErrorDescription> rule;
  };

  SimpleDisk* wrapped_;
  std::vector<Region> regions_;  // by op, then position; never overlapping per op
};

// A disk whose device is an error mapper over another disk's device. It
// takes on the wrapped disk's identity (id and properties) and hands its
// own back down before every call it forwards.
class DiskErrorSimulator : public Disk {
 public:
  explicit DiskErrorSimulator(std::unique_ptr<Disk> wrapped);
  ~DiskErrorSimulator() override;

  void Accept(LocationVisitor& visitor) override;
  SimpleDisk* GetSimpleDisk() override { return view_.get(); }
  Common::Error Lock() override;
  Common::Error Unlock() override;
  Common::Error Invalidate() override;

  SimpleDiskErrorMapper& GetMapper() { return *mapper_; }
  Disk& GetWrapped() { return *wrapped_; }

 private:
  void HandIdentityDown();

  std::unique_ptr<Disk> wrapped_;
  std::unique_ptr<SimpleDiskErrorMapper> mapper_;
  std::unique_ptr<SimpleDiskRestricted> view_;
};

// The wrapping step of Computer::AddDisk: the disk itself when the table has
// no entry for its address, else a simulator with the entry's regions.
// A bad region throws 0x102801.
std::unique_ptr<Disk> WrapDisk(std::unique_ptr<Disk> disk, const ErrorSimulationTable& table);

}  // namespace ErrorSimulation
}  // namespace Fdisk
