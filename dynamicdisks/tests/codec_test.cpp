// The sector checksum and the VBLK record codec.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ldm/format.h"
#include "ldm/record.h"
#include "ldmtest/mini_disk.h"

namespace {

using Ldm::LdmRecord;

TEST(SectorChecksum, SumsEveryByteButTheChecksumItself) {
  std::uint8_t sector[512] = {};
  EXPECT_EQ(Ldm::SectorChecksum(sector), 0);
  std::memcpy(sector, "PRIVHEAD", 8);
  EXPECT_EQ(Ldm::SectorChecksum(sector), 0x0253);
  sector[0x0A] = 0xFF;  // the stored checksum takes no part
  sector[0x0B] = 0xFF;
  EXPECT_EQ(Ldm::SectorChecksum(sector), 0x0253);
  std::memset(sector, 0xFF, 512);  // 510 x 255 wraps at 65536
  EXPECT_EQ(Ldm::SectorChecksum(sector), (510 * 255) % 65536);
  Ldm::SetSectorChecksum(sector);
  EXPECT_EQ(sector[0x0A], ((510 * 255) % 65536) >> 8);
  EXPECT_EQ(sector[0x0B], ((510 * 255) % 65536) & 0xFF);
}

// The packed bytes of a subdisk record whose RID is `rid` and name empty:
// the RID's encoding starts the payload at 0x18.
std::vector<std::uint8_t> RidBytes(std::uint64_t rid) {
  LdmRecord r;
  r.type = Ldm::kRecordSubdisk;
  r.version = 3;
  r.rid = rid;
  r.SetSlotCount(r.GetPackedVblkCount());
  EXPECT_TRUE(r.Pack());
  const std::uint8_t n = r.Packed()[0x18];
  return std::vector<std::uint8_t>(r.Packed().begin() + 0x18, r.Packed().begin() + 0x19 + n);
}

TEST(RecordCodec, VariableNumbersTakeTheLeastBytes) {
  const struct {
    std::uint64_t value;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {0, {0x00}},
      {0xFF, {0x01, 0xFF}},
      {0x100, {0x02, 0x01, 0x00}},
      {0xFFFFFFFF, {0x04, 0xFF, 0xFF, 0xFF, 0xFF}},
      {std::uint64_t(1) << 56, {0x08, 0x01, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(RidBytes(c.value), c.bytes) << c.value;
}

// A version-3 disk record of 17 + name + GUID text + alternative name
// bytes: 87 characters in the three texts put its last byte at 0x7F.
TEST(RecordCodec, ARecordEndingAtTheSlotsLastByteTakesAnotherSlot) {
  const struct {
    std::size_t altName;
    std::uint32_t slots;
  } cases[] = {{45, 1}, {46, 2}, {47, 2}, {46 + 112, 3}};
  for (const auto& c : cases) {
    LdmRecord r = LdmTest::DiskRecord(1, "Disk1", std::string(36, 'g'));
    r.altName = std::string(c.altName, 'a');
    EXPECT_EQ(r.GetPackedVblkCount(), c.slots) << c.altName;
    r.SetSlotCount(c.slots);
    ASSERT_TRUE(r.Pack());
    if (c.altName == 46) {
      EXPECT_EQ(r.Packed()[0x7F], 0x00) << "the last byte of the log id";
      EXPECT_EQ(std::vector<std::uint8_t>(r.Packed().begin() + 128, r.Packed().end()),
                std::vector<std::uint8_t>(128, 0))
          << "nothing is written into the extra slot";
    }
  }
}

LdmRecord Roundtrip(LdmRecord& r) {
  r.SetSlotCount(r.GetPackedVblkCount());
  EXPECT_TRUE(r.Pack());
  LdmRecord back(r.SlotCount());
  back.Packed() = r.Packed();
  EXPECT_TRUE(back.Unpack());
  EXPECT_FALSE(back.Damaged());
  EXPECT_EQ(back.payloadLength, r.payloadLength);
  return back;
}

TEST(RecordCodec, EveryTypeDecodesAsItWasEncoded) {
  LdmRecord volume = LdmTest::VolumeRecord(7, "Volume1", 123456789, 2);
  volume.ntMntName = std::string(200, 'E');  // several slots
  volume.guid[0] = 0x42;                     // raises the version to 5
  LdmRecord v = Roundtrip(volume);
  EXPECT_EQ(v.version, 5);
  EXPECT_EQ(v.rid, 7u);
  EXPECT_EQ(v.name, "Volume1");
  EXPECT_EQ(v.volSize, 123456789u);
  EXPECT_EQ(v.ntMntName, volume.ntMntName);
  EXPECT_EQ(v.guid, volume.guid);
  EXPECT_GE(v.SlotCount(), 3u);

  LdmRecord plex = LdmTest::PlexRecord(8, "Volume1-01", 7, 1, 128, 3);
  LdmRecord p = Roundtrip(plex);
  EXPECT_EQ(p.parent, 7u);
  EXPECT_EQ(p.stripeSiz, 128u);
  EXPECT_EQ(p.numCol, 3u);
  EXPECT_EQ(p.GetPlexNumber(), 1u);

  LdmRecord sd = LdmTest::SubdiskRecord(9, "Disk1-01", 8, 2, 0x123456789AULL, 2048, 2);
  sd.origRid = 5;
  LdmRecord s = Roundtrip(sd);
  EXPECT_EQ(s.start, 0x123456789AULL);
  EXPECT_EQ(s.size, 2048u);
  EXPECT_EQ(s.plexIdx, 2u);
  EXPECT_EQ(s.origRid, 5u);

  LdmRecord disk;
  disk.type = Ldm::kRecordDisk;
  disk.version = 4;
  disk.rid = 2;
  disk.name = "Disk1";
  for (int i = 0; i < 16; ++i) disk.objGuid[i] = std::uint8_t(i);
  LdmRecord d = Roundtrip(disk);
  EXPECT_EQ(d.guidText, "03020100-0504-0706-0809-0a0b0c0d0e0f");

  LdmRecord group;
  group.type = Ldm::kRecordGroup;
  group.version = 3;
  group.rid = 1;
  group.name = "Dg0";
  group.guidText = "00000000-0000-4000-8000-0000000000bb";
  group.ncopy1 = group.ncopy2 = 0xFFFFFFFF;
  group.dgVer = 3;
  LdmRecord g = Roundtrip(group);
  EXPECT_EQ(g.guidText, group.guidText);
  EXPECT_EQ(g.ncopy2, 0xFFFFFFFFu);
  EXPECT_EQ(g.dgVer, 3u);
}

TEST(RecordCodec, DamagedStreamsNeverReadPastTheirSlots) {
  LdmRecord sd = LdmTest::SubdiskRecord(9, "Disk1-01", 8, 2, 0, 2048, 0);
  sd.SetSlotCount(sd.GetPackedVblkCount());
  ASSERT_TRUE(sd.Pack());
  ASSERT_EQ(sd.SlotCount(), 1u);

  // A name whose length byte carries the stream past the only slot.
  LdmRecord longName(1);
  longName.Packed() = sd.Packed();
  longName.Packed()[0x1A] = 0xFF;
  EXPECT_FALSE(longName.Unpack());
  EXPECT_TRUE(longName.Damaged());

  // A payload length the slots cannot hold.
  LdmRecord longPayload(1);
  longPayload.Packed() = sd.Packed();
  longPayload.Packed()[0x14] = 0x01;
  EXPECT_FALSE(longPayload.Unpack());
  EXPECT_TRUE(longPayload.Damaged());

  // A version the type does not take keeps the header, RID and name only.
  LdmRecord v4(1);
  v4.Packed() = sd.Packed();
  v4.Packed()[0x13] = 0x43;
  EXPECT_FALSE(v4.Unpack());
  EXPECT_FALSE(v4.Damaged());
  EXPECT_EQ(v4.rid, 9u);
  EXPECT_EQ(v4.name, "Disk1-01");
  EXPECT_EQ(v4.size, 0u);
}

TEST(RecordCodec, PlexNumbersAreTheDigitsAfterTheFirstDash) {
  const struct {
    const char* name;
    std::uint32_t number;
  } cases[] = {{"Volume2-01", 1}, {"Mirror-7x2", 72}, {"NoDash", 0}, {"A-b-3", 3}};
  for (const auto& c : cases) {
    LdmRecord r = LdmTest::PlexRecord(1, c.name, 0, 2, 0, 0);
    EXPECT_EQ(r.GetPlexNumber(), c.number) << c.name;
  }
}

TEST(TocBlock, RegionNamesCompareOnTheirFirstBytes) {
  const struct {
    const char* entry0;
    const char* entry1;
    bool ok;
  } cases[] = {
      {"config", "log", true},
      {"configX", "logbook", true},  // 6 and 3 bytes compared
      {"config", "journal", false},  // entry 1 must be the log
      {"log", "config", false},      // the log first: no config region known
  };
  for (const auto& c : cases) {
    std::uint8_t sector[512] = {};
    std::memcpy(sector + 0x24, c.entry0, std::strlen(c.entry0));
    std::memcpy(sector + 0x46, c.entry1, std::strlen(c.entry1));
    Ldm::TocRegions regions;
    EXPECT_EQ(Ldm::ParseTocRegions(sector, regions), c.ok) << c.entry0 << "/" << c.entry1;
  }
}

}  // namespace
