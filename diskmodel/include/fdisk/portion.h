// Portions (contiguous pieces of a disk as one scheme driver sees them),
// their locations, and layers (one driver's map of all portions).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/contiguous_disk.h"
#include "fdisk/ldm_types.h"
#include "fdisk/model.h"
#include "fdisk/simple_disk.h"
#include "fdisk/simple_disk_restricted.h"

namespace Fdisk {

class MbrLocation;
class GptLocation;
class LdmLocation;
class RawLocation;
struct DiskIdList;

// Handles each kind of location; every visit does nothing unless
// overridden.
class LocationVisitor {
 public:
  virtual ~LocationVisitor();
  virtual void Visit(MbrLocation& location);
  virtual void Visit(GptLocation& location);
  virtual void Visit(LdmLocation& location);
  // A member of a dynamic-disk group that is not present (its id is all
  // the model reads of it).
  virtual void VisitMissingDisk(Disk& disk);
  virtual void Visit(RawLocation& location);
  virtual void Visit(DiskIdList& list);
};

class PSPortion : public IdObject {
 public:
  // Where a portion lies; its class tells which scheme produced it.
  class Location {
   public:
    virtual ~Location();
    virtual void Accept(LocationVisitor& visitor) = 0;
    // A new copy, owned by the caller.
    virtual Location* Clone() const = 0;
    // The device that holds exactly the portion's sectors, or null.
    virtual SimpleDisk* GetDisk() = 0;
    // The two flags of a dynamic volume; false for every other location.
    virtual bool GetFirstFlag() const;
    virtual bool GetSecondFlag() const;

   protected:
    Location() = default;
    Location(const Location&) = default;
    Location& operator=(const Location&) = default;
  };

  // A new id; takes the location; the view is made over the location's
  // disk with `accessMode` (0 full access, 2 every I/O fails as offline).
  PSPortion(std::uint32_t driverId, std::unique_ptr<Location> location, bool free,
            std::int32_t accessMode);
  // Only reached by indexing a layer with an id it does not hold: always
  // throws `Fdisk::Error` 0x100401, since a portion needs a location.
  PSPortion();
  // Copies keep the id, driver id and free flag, with a clone of the
  // location and a new view over the clone's disk in the same mode.
  PSPortion(const PSPortion& other);
  PSPortion& operator=(const PSPortion& other);
  ~PSPortion() override;

  std::uint32_t GetDriverId() const { return driverId_; }
  bool IsFree() const { return free_; }
  Location& GetLocation() const { return *location_; }
  SimpleDiskRestricted& GetView() const { return *view_; }

 private:
  std::uint32_t driverId_;
  bool free_;
  std::unique_ptr<Location> location_;
  std::unique_ptr<SimpleDiskRestricted> view_;
};

// One driver's portions by id.
using Layer = std::map<std::uint32_t, PSPortion>;

// The location of the default portion: it has no disk and cannot be
// visited (both throw 0x100401).
class DummyLocation : public PSPortion::Location {
 public:
  void Accept(LocationVisitor& visitor) override;
  Location* Clone() const override;
  SimpleDisk* GetDisk() override;
};

// A partition or free area of an MBR table. Clones share the view.
class MbrLocation : public PSPortion::Location {
 public:
  MbrLocation() = default;

  void Accept(LocationVisitor& visitor) override;
  Location* Clone() const override;
  SimpleDisk* GetDisk() override { return view.get(); }

  std::uint32_t diskId = 0;
  std::uint64_t firstSector = 0;    // absolute
  std::uint64_t sectorCount = 0;
  std::uint64_t recordedCount = 0;  // as recorded in the table entry
  std::uint64_t recordedStart = 0;  // as recorded in the table entry (relative)
  std::uint8_t type = 0;
  ContiguousDiskPtr view;
  bool logical = false;
  bool active = false;
  std::array<std::uint32_t, 3> entryNumbers{};
};

// A partition or free area of a GPT. Clones share the view.
class GptLocation : public PSPortion::Location {
 public:
  GptLocation() = default;

  void Accept(LocationVisitor& visitor) override;
  Location* Clone() const override;
  SimpleDisk* GetDisk() override { return view.get(); }

  std::uint32_t diskId = 0;
  std::uint64_t firstSector = 0;
  std::uint64_t sectorCount = 0;
  std::uint32_t entryOrdinal = 0;
  std::array<std::uint8_t, 16> uniqueGuid{};
  std::array<std::uint8_t, 16> typeGuid{};
  ContiguousDiskPtr view;
};

// One piece of a dynamic volume.
struct LdmExtent {
  std::uint32_t diskId = 0;      // the disk that carries the piece
  std::uint32_t spare = 0;
  std::uint64_t firstSector = 0;
  std::uint64_t length = 0;
  std::uint64_t plexOffset = 0;  // offset of the piece inside its plex
  std::uint32_t plex = 0;
  std::uint32_t column = 0;
  std::uint32_t plexFlag = 0;
  std::uint32_t diskState = 0;   // 5 when the disk is absent
};

using LdmExtentMap = std::map<std::uint32_t, LdmExtent>;

// A dynamic volume (or a disk group's free space). The dynamic-disk driver
// fills the fields after construction; clones share the volume's disk.
class LdmLocation : public PSPortion::Location {
 public:
  LdmLocation(LdmExtentMap extents, std::shared_ptr<SimpleDisk> disk, bool firstFlag,
              bool secondFlag);

  void Accept(LocationVisitor& visitor) override;
  Location* Clone() const override;
  SimpleDisk* GetDisk() override { return disk_.get(); }
  bool GetFirstFlag() const override { return firstFlag_; }
  bool GetSecondFlag() const override { return secondFlag_; }

  const LdmExtentMap& GetExtents() const { return extents_; }
  const std::array<std::uint8_t, 16>& GetGuid1() const { return guid1_; }
  const std::array<std::uint8_t, 16>& GetGuid2() const { return guid2_; }
  std::uint64_t GetLuid() const { return luid_; }
  LdmVolType GetVolumeType() const { return volumeType_; }
  std::uint32_t GetVolumeState() const { return volumeState_; }
  std::uint64_t GetSize() const { return size_; }
  PSPortion::Location* GetDriver() const { return driver_; }
  const std::string& GetName() const { return name_; }

  void SetGuid1(const std::array<std::uint8_t, 16>& guid) { guid1_ = guid; }
  void SetGuid2(const std::array<std::uint8_t, 16>& guid) { guid2_ = guid; }
  void SetLuid(std::uint64_t luid) { luid_ = luid; }
  void SetVolumeType(LdmVolType type) { volumeType_ = type; }
  void SetVolumeState(std::uint32_t state) { volumeState_ = state; }
  void SetSize(std::uint64_t size) { size_ = size; }
  // The location of the partition that holds the volume, not owned.
  void SetDriver(PSPortion::Location* location) { driver_ = location; }
  void SetName(const std::string& name) { name_ = name; }

 private:
  LdmExtentMap extents_;
  std::array<std::uint8_t, 16> guid1_{};
  std::array<std::uint8_t, 16> guid2_{};
  std::uint64_t luid_ = 0;
  LdmVolType volumeType_ = kLdmVolInvalid;
  std::uint32_t volumeState_ = 0;
  std::uint64_t size_ = 0;
  std::shared_ptr<SimpleDisk> disk_;
  PSPortion::Location* driver_ = nullptr;
  std::string name_;
  bool firstFlag_;
  bool secondFlag_;
};

// An object that names a set of disks by id.
struct DiskIdList {
  std::vector<std::uint32_t> ids;
  void Accept(LocationVisitor& visitor) { visitor.Visit(*this); }
};

}  // namespace Fdisk
