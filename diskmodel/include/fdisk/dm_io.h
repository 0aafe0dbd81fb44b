// The device mapper's shared vocabulary and the bottom of a composite
// volume: columns made of sub-disk extents, the report a column sends when a
// disk fails under it, and the plex I/O of simple (concatenated) and striped
// plexes.
//
// A composite volume (fdisk/dm_volume.h) has one or more copies, the plexes;
// a plex spreads its sectors over its columns as its plex type says; a column
// (`SubDiskUnion`) lays its extents, ranges of sectors on real disks, end to
// end. Sector numbers and counts are those of the member disks; every buffer
// holds 512 bytes per sector.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "common/error.h"
#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/named_vars.h"
#include "fdisk/simple_disk.h"
#include "foundation/sync.h"

namespace Fdisk {
namespace DM {

// Values stored in named variables ("PlexTypeName", "VolumeStatus",
// "PlexStatus", "LayoutName").
enum PlexType : int {
  kPlexStriped = 0,
  kPlexSimple = 1,  // simple or spanned: the columns concatenated
  kPlexRaid4 = 4,
  kPlexRaid5 = 5,
};
enum VolumeStatus : int { kVolumeHealthy = 0, kVolumeDegraded = 1, kVolumeFailed = 2 };
enum PlexStatus : int { kPlexHealthy = 0, kPlexDegraded = 1, kPlexFailed = 2 };
// Parity rotation of a RAID-5 plex.
enum LayoutType : int {
  kLeftAsymmetric = 0,
  kLeftSymmetric = 1,
  kRightAsymmetric = 2,
  kRightSymmetric = 3,
};

// Every buffer moved through the device mapper holds this many bytes per
// sector.
constexpr std::uint32_t kDmSectorBytes = 512;
constexpr std::uint32_t kDefaultChunkSize = 128;

class Error : public Fdisk::Error {
 public:
  Error() = default;
  explicit Error(const Common::Error& e) : Fdisk::Error(e) {}
};

constexpr std::uint32_t kErrPositionOverflow = 0x102C01;  // text 546
constexpr std::uint32_t kErrSubDiskSkipped = 0x102C02;    // text 547
constexpr std::uint32_t kErrNoHealthyPlex = 0x102C03;     // text 544
constexpr std::uint32_t kErrRedundancyLost = 0x102C04;    // text 542
constexpr std::uint32_t kErrInvalidPlexId = 0x102C05;     // text 543
constexpr std::uint32_t kErrPlexIo = 0x102C06;            // text 545

namespace Msg {
constexpr std::uint32_t kRedundancyLost = 542;
constexpr std::uint32_t kInvalidPlexId = 543;
constexpr std::uint32_t kNoHealthyPlex = 544;
constexpr std::uint32_t kPlexIo = 545;
constexpr std::uint32_t kPositionOverflow = 546;
constexpr std::uint32_t kSubDiskSkipped = 547;
}  // namespace Msg

// Status words only ever rise: a failure is never forgotten by a later
// success. Several request threads may raise one word at once.
template <class Enum>
class RisingStatus {
 public:
  explicit RisingStatus(Enum initial) : value_(int(initial)) {}
  Enum Get() const { return Enum(value_.load()); }
  void Raise(Enum to) {
    int seen = value_.load();
    while (seen < int(to) && !value_.compare_exchange_weak(seen, int(to))) {
    }
  }

 private:
  std::atomic<int> value_;
};

// ---------------------------------------------------------------------------
// I/O interfaces

class DeviceMapperIO {
 public:
  virtual ~DeviceMapperIO() = default;
  // op kIoRead or kIoWrite; any other op transfers nothing. Failures are
  // returned, never thrown.
  virtual Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                           std::uint64_t count) = 0;
};

class Raid5PlexIO;
class Raid4PlexIO;
class Raid0PlexIO;
class SimplePlexIO;

class PlexIoVisitor {
 public:
  virtual ~PlexIoVisitor() = default;
  virtual void Visit(Raid5PlexIO&) {}
  virtual void Visit(Raid4PlexIO&) {}
  virtual void Visit(Raid0PlexIO&) {}
  virtual void Visit(SimplePlexIO&) {}
};

class PlexIO : public DeviceMapperIO {
 public:
  virtual void Accept(PlexIoVisitor& visitor) = 0;
};

// The I/O of one column.
class SubIO : public DeviceMapperIO {
 public:
  // Sectors the column holds.
  virtual std::uint64_t Length() const = 0;
};

using ColumnMap = std::map<std::uint32_t, std::unique_ptr<SubIO>>;
// Member disks by disk id; borrowed from the composite volume.
using DiskMap = std::map<std::uint32_t, SimpleDisk*>;

// ---------------------------------------------------------------------------
// Extents and their failure reports

struct SubDiskExtent {
  std::uint32_t columnKey = 0;
  std::uint64_t start = 0;   // first sector on the disk
  std::uint64_t length = 0;  // sectors
  std::uint32_t diskId = 0;
  // Once set, stays set: a failed extent is not touched again.
  std::atomic<bool> failed{false};

  SubDiskExtent() = default;
  SubDiskExtent(std::uint32_t key, std::uint64_t first, std::uint64_t sectors,
                std::uint32_t disk, bool isFailed)
      : columnKey(key), start(first), length(sectors), diskId(disk), failed(isFailed) {}
  SubDiskExtent(const SubDiskExtent& other)
      : columnKey(other.columnKey),
        start(other.start),
        length(other.length),
        diskId(other.diskId),
        failed(other.failed.load()) {}
  SubDiskExtent& operator=(const SubDiskExtent& other) {
    columnKey = other.columnKey;
    start = other.start;
    length = other.length;
    diskId = other.diskId;
    failed = other.failed.load();
    return *this;
  }
};

using ExtentVector = std::vector<SubDiskExtent>;

class SubDiskErrorMessage;

class MessageVisitor {
 public:
  virtual ~MessageVisitor() = default;
  virtual void Visit(const SubDiskErrorMessage& message) = 0;
};

class Message {
 public:
  virtual ~Message() = default;
  virtual void Accept(MessageVisitor& visitor) const = 0;
  virtual Message* Clone() const = 0;
};

// Sent when a disk request of an extent fails; the extent is failed from then
// on.
class SubDiskErrorMessage : public Message {
 public:
  SubDiskErrorMessage(const SubDiskExtent& extent, const Common::Error& diskError)
      : columnKey(extent.columnKey),
        start(extent.start),
        length(extent.length),
        diskId(extent.diskId),
        error(diskError) {}

  void Accept(MessageVisitor& visitor) const override { visitor.Visit(*this); }
  SubDiskErrorMessage* Clone() const override { return new SubDiskErrorMessage(*this); }

  std::uint32_t columnKey;
  std::uint64_t start;
  std::uint64_t length;
  std::uint32_t diskId;
  std::uint32_t failedFlag = 1;
  Common::Error error;
};

class MessageListener {
 public:
  virtual ~MessageListener() = default;
  virtual void OnMessage(const Message& message) = 0;
};

// Delivers messages, synchronously and in registration order, to the
// listeners that still exist. Listeners are held weakly: one that has gone
// away is skipped.
class MessageDispatcher {
 public:
  MessageDispatcher() = default;
  MessageDispatcher(const MessageDispatcher&) = delete;
  MessageDispatcher& operator=(const MessageDispatcher&) = delete;

  void AddListener(const std::weak_ptr<MessageListener>& listener);
  // Delivers `message` on the calling thread, then deletes it.
  void Post(std::unique_ptr<Message> message);

 private:
  Common::CriticalSection lock_;  // guards the list only, not the delivery
  std::vector<std::weak_ptr<MessageListener>> listeners_;
};

// ---------------------------------------------------------------------------
// Columns

// A column: the extents of one key, in vector order, end to end.
class SubDiskUnion : public SubIO {
 public:
  SubDiskUnion(ExtentVector* extents, DiskMap* disks, std::uint32_t columnKey,
               MessageDispatcher* dispatcher);

  // The extent holding column sector `sector` and the offset in it. Throws
  // `Fdisk::DM::Error` 0x102C01 past the column's end.
  std::pair<SubDiskExtent*, std::uint64_t> Locate(std::uint64_t sector) const;

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;
  std::uint64_t Length() const override;

  std::uint32_t ColumnKey() const { return columnKey_; }

 private:
  MessageDispatcher* dispatcher_;
  ExtentVector* extents_;
  DiskMap* disks_;
  std::uint32_t columnKey_;
};

// ---------------------------------------------------------------------------
// Plex I/O of simple and striped plexes

// The whole plex is its lowest column.
class SimplePlexIO : public PlexIO {
 public:
  SimplePlexIO(const NamedVars::VarContainer& plex, ColumnMap* columns, std::uint32_t plexId);

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;
  void Accept(PlexIoVisitor& visitor) override { visitor.Visit(*this); }

  PlexStatus Status() const { return status_.Get(); }
  std::uint32_t PlexId() const { return plexId_; }

 private:
  RisingStatus<PlexStatus> status_;
  std::uint32_t plexId_;
  ColumnMap* columns_;
};

// Chunks of `ChunkSize` sectors dealt to the columns in turn (RAID-0).
class Raid0PlexIO : public PlexIO {
 public:
  Raid0PlexIO(const NamedVars::VarContainer& plex, ColumnMap* columns, std::uint32_t plexId);

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;
  void Accept(PlexIoVisitor& visitor) override { visitor.Visit(*this); }

  PlexStatus Status() const { return status_.Get(); }
  std::uint32_t PlexId() const { return plexId_; }
  std::uint64_t ChunkSize() const { return chunkSize_; }

 private:
  RisingStatus<PlexStatus> status_;
  std::uint32_t plexId_;
  ColumnMap* columns_;
  std::uint64_t chunkSize_;
};

// Plex status from a plex's variables (healthy when absent).
PlexStatus ReadPlexStatus(const NamedVars::VarContainer& plex);

}  // namespace DM
}  // namespace Fdisk
