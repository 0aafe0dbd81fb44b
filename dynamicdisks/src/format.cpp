// Decoding of the dynamic-disk database's fixed sectors.
#include "ldm/format.h"

#include <cstdio>
#include <cstring>

#include "foundation/byteorder.h"
#include "foundation/message_table.h"

namespace Ldm {

namespace {

struct CodeText {
  std::uint32_t code;
  std::uint32_t message;
  const char* text;  // the catalog's text, for when no catalog is loaded
};

// The catalog keeps these texts at 1910 and on.
constexpr CodeText kCodeTexts[] = {
    {kErrUnsupportedVolume, 1910, "I/O operations for such type of volumes are unsupported."},
    {kErrCorrupt, 1911, "LDM database is corrupt."},
    {kErrIo, 1912, "The I/O operation for the LDM disk failed."},
    {kErrOperation, 1913, "Cannot implement the LDM disk operation."},
    {kErrVersion, 1914, "There is a mismatch of the LDM database version."},
    {kErrBadIndex, 1915, "The index in the volume description is invalid in the LDM database."},
    {kErrNoSuchDisk, 1916, "No such disk in the LDM database."},
    {kErrParameter, 1917, "An invalid parameter for the LDM driver operation."},
    {kErrLayoutEntries, 1918, "Not enough entries for keeping the volume layout."},
    {kErrNoDatabaseDisk, 1916, "No such disk in the LDM database."},
    {kErrVolumeType, 1919, "An invalid volume type."},
    {kErrNoFreeSpace, 1920, "Free space cannot be found."},
    {kErrWayRestricted, 1921, "Forced way is restricted."},
    {kErrManyGroups, 1922, "Multiple LDM disk group was found."},
    {kErrAutoRequest, 1923, "Not enough data to create an LDM auto request."},
    {kErrNoGroup, 1924, "The specified LDM group cannot be found."},
    {kErrNoDatabaseSpace, 1925, "There is no space on the disk for LDM database creation."},
    {kErrDiskNotEmpty, 1926, "The disk is not empty (contains volumes)."},
    {kErrDiskType, 1927, "An invalid type of disk."},
};

const CodeText* Find(std::uint32_t code) {
  for (const CodeText& c : kCodeTexts) {
    if (c.code == code) return &c;
  }
  return nullptr;
}

}  // namespace

std::uint32_t LdmMessageNumber(std::uint32_t code) {
  const CodeText* c = Find(code);
  return c != nullptr ? c->message : 0;
}

Common::Error MakeLdmError(std::uint32_t location, std::uint32_t code) {
  const CodeText* c = Find(code);
  if (c == nullptr) return Common::Error(location, kModuleId, code);
  const char16_t* text = CatalogText(c->message);
  if (text != nullptr && *text != 0) return Common::Error(location, kModuleId, code, text);
  return Common::Error(location, kModuleId, code, c->text);
}

Common::Error MakeLdmError(std::uint32_t location, std::uint32_t code, const char* text) {
  return Common::Error(location, kModuleId, code, text);
}

std::uint16_t SectorChecksum(const std::uint8_t* sector) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kSectorBytes; ++i) {
    if (i != 0x0A && i != 0x0B) sum += sector[i];
  }
  return static_cast<std::uint16_t>(sum);
}

void SetSectorChecksum(std::uint8_t* sector) {
  Common::StoreBe16(sector + 0x0A, SectorChecksum(sector));
}

std::string FormatLdmGuid(const std::uint8_t g[16]) {
  char text[40];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", g[3],
                g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                g[14], g[15]);
  return text;
}

std::string TextField(const std::uint8_t* at, std::size_t width) {
  std::size_t n = 0;
  while (n < width && at[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(at), n);
}

bool ParsePrivHead(const std::uint8_t* s, PrivHead& out) {
  if (std::memcmp(s, "PRIVHEAD", 8) != 0) return false;
  out.versionMajor = Common::LoadBe16(s + 0x0C);
  out.versionMinor = Common::LoadBe16(s + 0x0E);
  out.updateSequence = Common::LoadBe64(s + 0x18);
  out.copy0Offset = Common::LoadBe64(s + 0x20);
  out.copy1Offset = Common::LoadBe64(s + 0x28);
  out.diskGuid = TextField(s + 0x30, 64);
  out.hostGuid = TextField(s + 0x70, 64);
  out.groupGuid = TextField(s + 0xB0, 64);
  out.groupName = TextField(s + 0xF0, 31);
  out.publicStart = Common::LoadBe64(s + 0x11B);
  out.publicSize = Common::LoadBe64(s + 0x123);
  out.privateStart = Common::LoadBe64(s + 0x12B);
  out.privateSize = Common::LoadBe64(s + 0x133);
  return true;
}

bool ParseTocBlock(const std::uint8_t* s, TocBlock& out) {
  if (std::memcmp(s, "TOCBLOCK", 8) != 0) return false;
  out.sequence = Common::LoadBe64(s + 0x0C);
  return true;
}

bool ParseTocRegions(const std::uint8_t* s, TocRegions& out) {
  out = TocRegions();
  for (int entry = 0; entry < 2; ++entry) {
    const std::uint8_t* e = s + 0x24 + entry * 34;
    const std::uint64_t start = Common::LoadBe64(e + 0x0A);
    const std::uint64_t size = Common::LoadBe64(e + 0x12);
    if (std::memcmp(e, "config", 6) == 0) {
      out.haveConfig = true;
      out.configStart = start;
      out.configSize = size;
    } else if (std::memcmp(e, "log", 3) == 0) {
      out.haveLog = true;
      out.logStart = start;
      out.logSize = size;
      return out.haveConfig;
    }
    if (entry == 1) return false;
  }
  return false;
}

bool ParseVmdb(const std::uint8_t* s, Vmdb& out) {
  if (std::memcmp(s, "VMDB", 4) != 0) return false;
  out.slotCount = Common::LoadBe32(s + 0x04);
  out.consistent = Common::LoadBe16(s + 0x10);
  out.versionMajor = Common::LoadBe16(s + 0x12);
  out.versionMinor = Common::LoadBe16(s + 0x14);
  out.commitId1 = Common::LoadBe64(s + 0x75);
  out.commitId2 = Common::LoadBe64(s + 0x7D);
  out.timestamp = Common::LoadBe64(s + 0xBD);
  return true;
}

SlotHeader ParseSlotHeader(const std::uint8_t* slot) {
  SlotHeader h;
  h.magic = std::memcmp(slot, "VBLK", 4) == 0;
  h.index = Common::LoadBe32(slot + 0x04);
  h.recordNumber = Common::LoadBe32(slot + 0x08);
  h.part = Common::LoadBe16(slot + 0x0C);
  h.parts = Common::LoadBe16(slot + 0x0E);
  h.status = Common::LoadBe16(slot + 0x10);
  h.type = slot[0x13] & 0x0F;
  return h;
}

}  // namespace Ldm
