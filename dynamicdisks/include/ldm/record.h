// One object of a disk group's database (volume, plex, subdisk, disk or
// disk group) and the codec of its VBLK form.
//
// A record is stored in one or more 128-byte slots; each slot carries a
// 16-byte slot header and 112 bytes of the record's stream. The stream
// begins with an 8-byte record header (status, flag byte, version and type
// nibbles, payload length) and goes on with the payload: variable-length
// numbers (a length byte and that many big-endian bytes), variable-length
// strings, fixed-width numbers and raw bytes, some of them present only
// when a flag bit or the version says so.
//
// Decoding never reads past the record's own slots: a stream that would
// run past its last slot, or a header whose payload length does not fit
// the slots, marks the record damaged and the scan drops it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace Ldm {

enum RecordType : std::uint8_t {
  kRecordVolume = 1,
  kRecordPlex = 2,
  kRecordSubdisk = 3,
  kRecordDisk = 4,
  kRecordGroup = 5,
};

using Guid16 = std::array<std::uint8_t, 16>;

class LdmRecord {
 public:
  // An empty record with a new model id.
  LdmRecord();
  // A record for `slots` slots of packed bytes, all zero.
  explicit LdmRecord(std::uint32_t slots);

  // Decodes the packed bytes. True when the type's fields were decoded;
  // false for a version the type does not take, an unknown type, or a
  // damaged stream (see Damaged()).
  bool Unpack();
  // The number of slots the packed form needs; brings the version and flag
  // bits up to date first (flags are only ever set here, never cleared).
  std::uint32_t GetPackedVblkCount();
  // Encodes into the packed bytes, which must hold GetPackedVblkCount()
  // slots; writes the record header, leaves the slot headers alone.
  // False when the packed bytes are too small.
  bool Pack();

  // For a plex: every decimal digit after the first '-' of its name.
  std::uint32_t GetPlexNumber() const;

  // The log commit id: LogComId of volumes, plexes and subdisks, LogId of
  // disks and groups.
  std::uint64_t LogCommitId() const;

  std::vector<std::uint8_t>& Packed() { return packed_; }
  const std::vector<std::uint8_t>& Packed() const { return packed_; }
  std::uint32_t SlotCount() const { return static_cast<std::uint32_t>(packed_.size() / 128); }
  void SetSlotCount(std::uint32_t slots) { packed_.assign(std::size_t(slots) * 128, 0); }
  bool Damaged() const { return damaged_; }
  std::uint32_t ModelId() const { return modelId_; }

  // Header and common payload.
  std::uint8_t type = 0;
  std::uint8_t version = 0;
  std::uint32_t flags = 0;
  std::uint32_t payloadLength = 0;  // as read
  std::uint64_t rid = 0;
  std::string name;

  // Volume.
  std::string volType;
  std::string comment;
  std::array<std::uint8_t, 14> volState{};
  std::uint8_t volTypeCode = 0;
  std::uint32_t volNum = 0;
  std::uint32_t volFlags = 0;
  std::uint32_t numChild = 0;  // volumes and plexes
  std::uint64_t logComId = 0;  // volumes, plexes, subdisks
  std::uint64_t id = 0;
  std::uint64_t volSize = 0;
  std::uint64_t drlSize = 0;
  std::uint32_t partType = 0;
  Guid16 guid{};
  std::uint64_t prefer = 0;
  std::uint64_t logRid = 0;
  std::uint64_t subVolSiz = 0;
  std::uint64_t checkpnt = 0;
  std::uint32_t recverSeq = 0;
  std::string ntMntName;
  Guid16 guid2{};

  // Plex.
  std::string plxState;
  std::uint8_t layout = 0;
  std::uint32_t plxFlags = 0;
  std::uint64_t unknown = 0;
  std::uint64_t parent = 0;
  std::uint64_t logPart = 0;
  std::uint64_t stripeSiz = 0;
  std::uint32_t numCol = 0;
  std::uint64_t snapId = 0;
  Guid16 plexGuid{};
  std::uint64_t dcoPlex = 0;

  // Subdisk.
  std::uint32_t sdFlags = 0;
  std::uint64_t start = 0;
  std::uint64_t volOff = 0;
  std::uint64_t size = 0;
  std::uint64_t plexRid = 0;
  std::uint64_t diskRid = 0;
  std::uint32_t plexIdx = 0;
  std::uint64_t deatach = 0;
  std::uint64_t detach = 0;
  std::uint32_t minor = 0;
  std::uint64_t hidSec = 0;
  std::uint64_t origRid = 0;
  std::uint64_t origPar = 0;

  // Disk and disk group.
  std::string guidText;  // disk GUID text / DgGUID (version 3, or formatted from version 4)
  Guid16 objGuid{};      // version 4
  Guid16 objGuid2{};
  std::string altName;
  std::uint32_t diskFlags = 0;
  std::uint32_t dgFlags = 0;
  std::uint64_t logId = 0;
  std::uint32_t ncopy1 = 0;
  std::uint32_t ncopy2 = 0;
  std::uint32_t dgVer = 0;
  std::uint32_t dgBaseMn = 0;

  // Made or changed by the change in progress (undone by a rollback).
  bool touched = false;

  // Marks of a reconciliation with a Windows service: the service reported
  // the record this time, and the reconciliation made the record.
  bool winReported = false;
  bool winCreated = false;
  // The Virtual Disk Service's id of the object bound to the record (the
  // volume of a volume record, the plex of a plex record); zero unbound.
  Guid16 vdsId{};

  // Links of the record graph (not owned; rebuilt by the group).
  LdmRecord* firstParent = nullptr;   // volume of a plex, plex of a subdisk
  LdmRecord* secondParent = nullptr;  // disk of a subdisk
  std::vector<LdmRecord*> children;   // plexes of a volume, subdisks of a plex
  std::vector<LdmRecord*> diskChildren;  // subdisks of a disk

 private:
  template <class Io>
  void Code(Io& io);
  void RaiseVersionAndFlags();

  std::vector<std::uint8_t> packed_;
  std::uint32_t modelId_;
  bool damaged_ = false;
};

}  // namespace Ldm
