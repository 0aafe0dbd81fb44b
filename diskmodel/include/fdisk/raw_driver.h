// The raw scheme: every disk of a computer as one portion. Its layer is the
// base the other scheme drivers build on.
#pragma once

#include <cstdint>
#include <utility>

#include "fdisk/portion.h"
#include "fdisk/ps_driver.h"

namespace Fdisk {

// What sector 0 of a disk suggests about its partitioning.
enum RawSchemeHint : std::int32_t {
  kRawHintNone = 0,
  kRawHint42 = 1,   // MBR entry of type 0x42 (dynamic disk)
  kRawHint44 = 2,   // type 0x44
  kRawHint54 = 3,   // type 0x54
  kRawHint55 = 4,   // type 0x55
  kRawHintGpt = 5,  // protective entry 0xEE
  kRawHintDriverDescriptor = 6,  // a driver-descriptor block ("ER"), no MBR signature
};

// A whole disk.
class RawLocation : public PSPortion::Location {
 public:
  // Reads sector 0 of `disk` for the scheme hint. Throws the read's error,
  // and `Fdisk::Error` 0x100404 for a sector size below 512 (too small to
  // hold a partition table).
  RawLocation(std::uint32_t diskId, SimpleDisk* disk);

  void Accept(LocationVisitor& visitor) override;
  Location* Clone() const override;
  SimpleDisk* GetDisk() override { return disk_; }

  std::uint32_t GetDiskId() const { return diskId_; }
  std::int32_t GetHint() const { return hint_; }

 private:
  RawLocation(std::uint32_t diskId, SimpleDisk* disk, std::int32_t hint)
      : diskId_(diskId), disk_(disk), hint_(hint) {}

  std::uint32_t diskId_;
  SimpleDisk* disk_;
  std::int32_t hint_;
};

// Tells whether a location is a whole raw disk, and which.
class GetRawLocationVisitor : public LocationVisitor {
 public:
  void Visit(RawLocation& location) override;

  bool found = false;
  std::uint64_t sectorCount = 0;
  std::uint32_t diskId = 0;
};

class PSRawDriver : public PSDriver {
 public:
  PSRawDriver();
  ~PSRawDriver() override;

  void Accept(PSDriverVisitor& visitor) override;
  // One raw portion per disk in disk-id order, on top of a copy of `layer`;
  // a disk whose sector 0 cannot be read gets none. Always succeeds.
  Common::Error LoadDisks(const DiskMap& disks, Layer& layer) override;
  Layer& GetPortions() override { return layer_; }
  // The raw scheme cannot be edited: each answers 0x100401.
  std::pair<Common::Error, std::uint32_t> CreatePortion(
      const NamedVars::VarContainer& params) override;
  Common::Error DeletePortion(const NamedVars::VarContainer& params) override;
  Common::Error ChangePortion(const NamedVars::VarContainer& params) override;
  Common::Error Commit() override;

 private:
  Layer layer_;
};

}  // namespace Fdisk
