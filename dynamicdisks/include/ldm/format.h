// The on-disk layout of the dynamic-disk database: the private region of a
// dynamic disk with its PRIVHEAD disk header, the TOCBLOCK table of
// contents, the VMDB database header and the 128-byte VBLK record slots.
//
// Everything is big-endian in 512-byte sectors. Sector numbers inside a
// TOCBLOCK and the PRIVHEAD copy offsets count from the private-region
// start; all others are absolute.
//
// The parsers here only decode and check one sector's own fields; whether
// the regions they describe fit the disk is checked where the disk is known
// (disk.cpp), so that nothing read from disk is trusted as a position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/error.h"

namespace Ldm {

constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint32_t kSlotBytes = 128;
constexpr std::uint32_t kSlotsPerSector = kSectorBytes / kSlotBytes;
// The first slot index that can hold a record (0 to 3 are the VMDB sector).
constexpr std::uint32_t kFirstSlot = 4;
// Bytes of a slot's own header; the record stream continues after it.
constexpr std::uint32_t kSlotHeaderBytes = 16;
// Where the payload starts in part 0 (after the 8-byte record header).
constexpr std::uint32_t kPayloadStart = 0x18;

// The largest "config" region a disk may announce. A real one holds 1481
// sectors; anything this large is damage, and refusing it bounds the one
// read that loads the region.
constexpr std::uint64_t kMaxConfigSectors = 1u << 16;

// Error codes of the dynamic-disk code (facility 0x10) and the module id.
constexpr std::uint32_t kModuleId = 0x4C444D31;  // "LDM1"
constexpr std::uint32_t kErrUnsupportedVolume = 0x109001;
constexpr std::uint32_t kErrCorrupt = 0x109002;
constexpr std::uint32_t kErrIo = 0x109003;
constexpr std::uint32_t kErrVersion = 0x109005;
constexpr std::uint32_t kErrBadIndex = 0x109006;
constexpr std::uint32_t kErrLayoutEntries = 0x10900B;
constexpr std::uint32_t kErrOperation = 0x109004;
constexpr std::uint32_t kErrNoSuchDisk = 0x109007;
constexpr std::uint32_t kErrParameter = 0x109009;
constexpr std::uint32_t kErrNoDatabaseDisk = 0x10900C;
constexpr std::uint32_t kErrVolumeType = 0x10900E;
constexpr std::uint32_t kErrNoFreeSpace = 0x10900F;
constexpr std::uint32_t kErrStalledDisk = 0x10900A;
constexpr std::uint32_t kErrMissingDisk = 0x10900D;
constexpr std::uint32_t kErrFreeSpace = 0x10900B;
constexpr std::uint32_t kErrFailedVolume = 0x109010;
constexpr std::uint32_t kErrWayRestricted = 0x109012;
constexpr std::uint32_t kErrManyGroups = 0x109016;
constexpr std::uint32_t kErrAutoRequest = 0x109017;
constexpr std::uint32_t kErrNoGroup = 0x109018;
constexpr std::uint32_t kErrNoDatabaseSpace = 0x10901B;
constexpr std::uint32_t kErrNoMsrSpace = 0x10901C;
constexpr std::uint32_t kErrDiskNotEmpty = 0x10901D;
constexpr std::uint32_t kErrDiskType = 0x1090D4;

// The message-catalog entry of each code's text (0 for a code without
// one).
std::uint32_t LdmMessageNumber(std::uint32_t code);

// An error with the code's text from the message catalog; while no catalog
// is loaded (tools and tests) the same text built in.
Common::Error MakeLdmError(std::uint32_t location, std::uint32_t code);
// An error with a text of its own, for the refusals whose text says more
// than the code's catalog entry.
Common::Error MakeLdmError(std::uint32_t location, std::uint32_t code, const char* text);

// The 16-bit sum of the sector's 512 bytes without the two at 0x0A.
std::uint16_t SectorChecksum(const std::uint8_t* sector);
// Stores that sum big-endian at 0x0A.
void SetSectorChecksum(std::uint8_t* sector);

// "%02x%02x%02x%02x-%02x%02x-..." of bytes 3,2,1,0,5,4,7,6,8..15.
std::string FormatLdmGuid(const std::uint8_t guid[16]);

// A NUL-padded text field as a string (up to the first NUL or `width`).
std::string TextField(const std::uint8_t* at, std::size_t width);

struct PrivHead {
  std::uint16_t versionMajor = 0;
  std::uint16_t versionMinor = 0;
  std::uint64_t updateSequence = 0;
  std::uint64_t copy0Offset = 0;  // from the private start
  std::uint64_t copy1Offset = 0;
  std::string diskGuid;
  std::string hostGuid;
  std::string groupGuid;
  std::string groupName;  // at most 31 characters
  std::uint64_t publicStart = 0;
  std::uint64_t publicSize = 0;
  std::uint64_t privateStart = 0;
  std::uint64_t privateSize = 0;

  bool VersionAccepted() const {
    return versionMajor == 2 && (versionMinor == 11 || versionMinor == 12);
  }
};

// False when the magic is not "PRIVHEAD".
bool ParsePrivHead(const std::uint8_t* sector, PrivHead& out);

struct TocBlock {
  std::uint64_t sequence = 0;
};
// False when the magic is not "TOCBLOCK".
bool ParseTocBlock(const std::uint8_t* sector, TocBlock& out);

// The regions of a TOCBLOCK, relative to the private start.
struct TocRegions {
  bool haveConfig = false;
  std::uint64_t configStart = 0;
  std::uint64_t configSize = 0;
  bool haveLog = false;
  std::uint64_t logStart = 0;
  std::uint64_t logSize = 0;
};
// Entry 0 then entry 1: "config" (6 bytes compared) and "log" (3 bytes);
// "log" ends the search. False when entry 1 is reached and is not "log", or
// when no "config" region was found before "log".
bool ParseTocRegions(const std::uint8_t* sector, TocRegions& out);

struct Vmdb {
  std::uint32_t slotCount = 0;
  std::uint16_t consistent = 0;
  std::uint16_t versionMajor = 0;
  std::uint16_t versionMinor = 0;
  std::uint64_t commitId1 = 0;
  std::uint64_t commitId2 = 0;
  std::uint64_t timestamp = 0;

  bool VersionAccepted() const { return versionMajor == 4 && versionMinor == 10; }
};
// False when the magic is not "VMDB".
bool ParseVmdb(const std::uint8_t* sector, Vmdb& out);

// The header of one VBLK slot.
struct SlotHeader {
  bool magic = false;
  std::uint32_t index = 0;
  std::uint32_t recordNumber = 0;
  std::uint16_t part = 0;
  std::uint16_t parts = 0;  // 0: an empty slot
  std::uint16_t status = 0;
  std::uint8_t type = 0;     // low nibble of 0x13 (part 0 only)
};
SlotHeader ParseSlotHeader(const std::uint8_t* slot);

}  // namespace Ldm
