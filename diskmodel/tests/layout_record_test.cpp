// Volume layout records against records packed independently with Python's
// struct (data/layout_make_records.py), and composite disks rebuilt from
// them against the member disks laid out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "data/dm_test_kit.h"
#include "fdisk/layout_record.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/portion.h"

namespace {

using namespace DmTest;
namespace DM = Fdisk::DM;

struct Fixture {
  const char* name;
  std::vector<std::uint8_t> bytes;
};

const std::vector<Fixture>& Records() {
  static const std::vector<Fixture> records = {
#include "data/layout_records.inc"
  };
  return records;
}

const std::vector<std::uint8_t>& Bytes(const std::string& name) {
  for (const Fixture& f : Records()) {
    if (name == f.name) return f.bytes;
  }
  throw std::runtime_error("no record " + name);
}

DM::LayoutRecord Parsed(const std::string& name) {
  const auto& bytes = Bytes(name);
  DM::LayoutRecord record;
  EXPECT_FALSE(DM::ParseLayoutRecord(Common::ByteView(bytes.data(), bytes.size()), &record));
  return record;
}

DM::LayoutMember M(std::uint32_t column, std::uint32_t disk, std::uint64_t handle,
                   std::uint64_t first, std::uint64_t length, std::uint32_t usable = 1) {
  DM::LayoutMember m;
  m.column = column;
  m.disk = disk;
  m.handle = handle;
  m.first = first;
  m.length = length;
  m.usable = usable;
  return m;
}

DM::LayoutPlex P(std::uint32_t type, std::uint32_t layout, std::uint32_t columns,
                 std::uint64_t chunk, std::vector<DM::LayoutMember> members) {
  DM::LayoutPlex p;
  p.type = type;
  p.layout = layout;
  p.columns = columns;
  p.chunk = chunk;
  p.members = std::move(members);
  return p;
}

DM::LayoutRecord R(std::uint64_t sectors, std::vector<DM::LayoutPlex> plexes,
                   std::vector<std::uint32_t> flags = {}) {
  DM::LayoutRecord r;
  r.volumeSectors = sectors;
  // 6F1C2A4B-90DE-4C11-8A7B-0123456789AB, in the order of its text.
  const std::uint8_t guid[16] = {0x6F, 0x1C, 0x2A, 0x4B, 0x90, 0xDE, 0x4C, 0x11,
                                 0x8A, 0x7B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
  std::memcpy(r.guid, guid, 16);
  r.plexes = std::move(plexes);
  r.flagWords = std::move(flags);
  return r;
}

TEST(LayoutRecord, PackedBytesEqualTheIndependentPacker) {
  const std::map<std::string, DM::LayoutRecord> expected = {
      {"Simple", R(64, {P(1, 0, 1, 0, {M(0, 11, 0x100B, 8, 64)})})},
      {"Spanned", R(96, {P(1, 0, 1, 0, {M(0, 11, 0x100B, 4, 40), M(0, 12, 0, 0, 56)})}, {1, 0})},
      {"Striped", R(96, {P(0, 0, 3, 8,
                           {M(0, 11, 0x100B, 0, 32), M(1, 12, 0x100C, 16, 32),
                            M(2, 13, 0, 2, 32)})})},
      {"Mirrored", R(48, {P(1, 0, 1, 0, {M(0, 11, 0x100B, 0, 48)}),
                          P(1, 0, 1, 0, {M(0, 0xFFFFFFFF, 0, 0, 48, 0)})},
                     {1, 1, 0, 1})},
      {"Raid5", R(64, {P(5, 1, 3, 8,
                         {M(0, 11, 0x100B, 0, 32), M(1, 12, 0x100C, 0, 32),
                          M(2, 13, 0x100D, 0, 32)})})},
  };
  ASSERT_EQ(expected.size(), Records().size());
  for (const Fixture& f : Records()) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(DM::PackLayoutRecord(expected.at(f.name)), f.bytes);
    // Read back and packed again, nothing is lost or added.
    EXPECT_EQ(DM::PackLayoutRecord(Parsed(f.name)), f.bytes);
  }
}

TEST(LayoutRecord, ReadsFieldsAndFlagWords) {
  const DM::LayoutRecord mirrored = Parsed("Mirrored");
  ASSERT_EQ(mirrored.plexes.size(), 2u);
  EXPECT_EQ(mirrored.volumeSectors, 48u);
  EXPECT_EQ(mirrored.plexes[1].members.at(0).disk, DM::kLayoutMissingDisk);
  EXPECT_EQ(mirrored.flagWords, (std::vector<std::uint32_t>{1, 1, 0, 1}));
  EXPECT_TRUE(Parsed("Striped").flagWords.empty());
  EXPECT_EQ(Parsed("Striped").plexes.at(0).members.at(1).first, 16u);
}

TEST(LayoutRecord, VolumeTypeFollowsPlexTypeAndLayout) {
  EXPECT_EQ(DM::LayoutVolumeType(Parsed("Simple")), Fdisk::kLdmVolSimple);
  EXPECT_EQ(DM::LayoutVolumeType(Parsed("Spanned")), Fdisk::kLdmVolSpanned);
  EXPECT_EQ(DM::LayoutVolumeType(Parsed("Striped")), Fdisk::kLdmVolStriped);
  EXPECT_EQ(DM::LayoutVolumeType(Parsed("Mirrored")), Fdisk::kLdmVolMirrored);
  EXPECT_EQ(DM::LayoutVolumeType(Parsed("Raid5")), Fdisk::kLdmVolRaid5);
  DM::LayoutRecord parity = Parsed("Raid5");
  parity.plexes[0].layout = 2;
  EXPECT_EQ(DM::LayoutVolumeType(parity), Fdisk::kLdmVolStripeSetWithParity);
}

TEST(LayoutRecord, MalformedRecordsAreRefused) {
  const std::vector<std::uint8_t> good = Bytes("Striped");  // 32 + 24 + 3 x 36
  struct Case {
    const char* what;
    std::size_t keep;  // bytes handed in
    std::size_t at;    // a 32-bit word to overwrite (0: none)
    std::uint32_t value;
  };
  const std::uint32_t total = std::uint32_t(good.size());
  const Case cases[] = {
      {"shorter than a header", 31, 0, 0},
      {"shorter than its total", good.size() - 1, 0, 0},
      {"total below a header", good.size(), 0, 16},
      {"plex count past the record", good.size(), 12, 0x0AAAAAAB},
      {"two plexes, one present", good.size(), 12, 2},
      {"member count past the record", good.size(), 32 + 8, 0x40000000},
      {"four members, three present", good.size(), 32 + 8, 4},
      {"half a flag word", good.size(), 0, total - 2},
      {"plex type 4", good.size(), 32, 4},
      {"layout on a striped plex", good.size(), 36, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes(good.begin(), good.begin() + std::ptrdiff_t(c.keep));
    if (c.at != 0 || c.value != 0) Common::StoreLe32(bytes.data() + c.at, c.value);
    DM::LayoutRecord out = Parsed("Simple");
    const Common::Error e = DM::ParseLayoutRecord(Common::ByteView(bytes.data(), bytes.size()), &out);
    EXPECT_EQ(Code(e), Fdisk::kErrInvalidParameter);
    EXPECT_EQ(DM::PackLayoutRecord(out), Bytes("Simple"));  // left as it was
  }
  // Five flag words are one too many; a RAID-5 layout must be a rotation.
  std::vector<std::uint8_t> five = Bytes("Mirrored");
  five.insert(five.end(), 4, 0);
  Common::StoreLe32(five.data(), std::uint32_t(five.size()));
  DM::LayoutRecord out;
  EXPECT_TRUE(DM::ParseLayoutRecord(Common::ByteView(five.data(), five.size()), &out));
  std::vector<std::uint8_t> rotation = Bytes("Raid5");
  Common::StoreLe32(rotation.data() + 36, 4);
  EXPECT_TRUE(DM::ParseLayoutRecord(Common::ByteView(rotation.data(), rotation.size()), &out));
}

// Disks with keys 11.. and handles 0x1000 + key (key 13 reports none of its
// own); ids 1.. in the map.
class Resolver : public DM::LayoutDiskResolver {
 public:
  explicit Resolver(std::vector<std::uint32_t> keys) {
    for (std::uint32_t key : keys) disks_[key] = std::make_unique<MemberDisk>(128);
  }
  Fdisk::SimpleDisk* ByHandle(std::uint64_t handle) override {
    return handle > 0x1000 ? ByKey(std::uint32_t(handle - 0x1000)) : nullptr;
  }
  Fdisk::SimpleDisk* ByKey(std::uint32_t key) override {
    auto it = disks_.find(key);
    return it == disks_.end() ? nullptr : it->second.get();
  }
  std::uint32_t IdOf(Fdisk::SimpleDisk* disk) override {
    for (const auto& [key, d] : disks_) {
      if (d.get() == disk) return key - 10;
    }
    return 0;
  }
  std::uint64_t HandleOf(Fdisk::SimpleDisk* disk) override {
    const std::uint32_t id = IdOf(disk);
    return id == 0 || id == 3 ? 0 : 0x1000 + 10 + id;
  }
  MemberDisk& Key(std::uint32_t key) { return *disks_.at(key); }
  void Drop(std::uint32_t key) { disks_.erase(key); }

 private:
  std::map<std::uint32_t, std::unique_ptr<MemberDisk>> disks_;
};

std::vector<std::uint8_t> Sectors(MemberDisk& disk, std::uint64_t first, std::uint64_t count) {
  return std::vector<std::uint8_t>(disk.SectorAt(first), disk.SectorAt(first + count));
}

std::vector<std::uint8_t> ReadAll(const std::string& name, Resolver& resolver) {
  DM::LayoutRecord record = Parsed(name);
  auto disk = DM::CreateDMStdDisk(DM::BuildComposite(record, resolver), record.volumeSectors,
                                      kSector);
  EXPECT_TRUE(disk);
  if (!disk) return {};
  EXPECT_EQ(disk->GetSectorCount(), record.volumeSectors - 1);
  EXPECT_EQ(disk->GetSectorSize(), kSector);
  std::vector<std::uint8_t> out(std::size_t(record.volumeSectors * kSector));
  EXPECT_FALSE(disk->Io(Fdisk::kIoRead, 0, out.data(), record.volumeSectors));
  return out;
}

void Fill(Resolver& resolver, std::vector<std::uint32_t> keys) {
  for (std::uint32_t key : keys) {
    const auto p = Pattern(128, key * 1000);
    std::memcpy(resolver.Key(key).Bytes(), p.data(), p.size());
  }
}

TEST(CompositeFromRecord, ReadsAsTheMembersLaidOutByHand) {
  Resolver r({11, 12, 13});
  Fill(r, {11, 12, 13});
  EXPECT_EQ(ReadAll("Simple", r), Sectors(r.Key(11), 8, 64));

  std::vector<std::uint8_t> spanned = Sectors(r.Key(11), 4, 40);
  const auto tail = Sectors(r.Key(12), 0, 56);
  spanned.insert(spanned.end(), tail.begin(), tail.end());
  EXPECT_EQ(ReadAll("Spanned", r), spanned);

  // Chunks of 8 sectors dealt to members starting at sectors 0, 16 and 2.
  std::vector<std::uint8_t> striped;
  const std::uint32_t keys[] = {11, 12, 13};
  const std::uint64_t starts[] = {0, 16, 2};
  for (std::uint64_t chunk = 0; chunk < 12; ++chunk) {
    const auto c = Sectors(r.Key(keys[chunk % 3]), starts[chunk % 3] + (chunk / 3) * 8, 8);
    striped.insert(striped.end(), c.begin(), c.end());
  }
  EXPECT_EQ(ReadAll("Striped", r), striped);

  // The second copy's disk is missing: the first serves every read.
  EXPECT_EQ(ReadAll("Mirrored", r), Sectors(r.Key(11), 0, 48));
}

TEST(CompositeFromRecord, Raid5ReadsHealthyAndWithAMemberThatNoLongerResolves) {
  Resolver r({11, 12, 13});
  // Left-symmetric, 3 members, chunks of 8: in stripe s the parity sits on
  // member 2 - s % 3 and the data chunks follow it round.
  std::vector<std::uint8_t> volume;
  for (std::uint64_t stripe = 0; stripe < 4; ++stripe) {
    const std::uint32_t parity = 2 - std::uint32_t(stripe % 3);
    std::vector<std::uint8_t> xorred(8 * kSector, 0);
    for (std::uint32_t i = 0; i < 2; ++i) {
      const std::uint32_t member = (parity + 1 + i) % 3;
      const auto data = Pattern(8, std::uint32_t(stripe * 16 + i * 8 + 7));
      std::memcpy(r.Key(11 + member).SectorAt(stripe * 8), data.data(), data.size());
      for (std::size_t b = 0; b < data.size(); ++b) xorred[b] ^= data[b];
      volume.insert(volume.end(), data.begin(), data.end());
    }
    std::memcpy(r.Key(11 + parity).SectorAt(stripe * 8), xorred.data(), xorred.size());
  }
  EXPECT_EQ(ReadAll("Raid5", r), volume);

  // Its key and handle now name no disk: a missing member, rebuilt from
  // parity, not a disk that is followed.
  r.Drop(13);
  DM::LayoutRecord record = Parsed("Raid5");
  const DM::DiskMap map = DM::CollectLayoutDisks(record, r);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(record.plexes[0].members[2].disk, DM::kLayoutMissingDisk);
  EXPECT_EQ(record.plexes[0].members[2].usable, 0u);
  EXPECT_EQ(ReadAll("Raid5", r), volume);
}

TEST(CompositeFromRecord, DiskWordsBecomeIdsAndEachDiskIsMappedOnce) {
  Resolver r({11, 12, 13});
  DM::LayoutRecord record = Parsed("Striped");
  const DM::DiskMap map = DM::CollectLayoutDisks(record, r);
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(map.at(3), &r.Key(13));  // found by key: it has no handle
  std::vector<std::uint32_t> words;
  for (const auto& m : record.plexes[0].members) words.push_back(m.disk);
  EXPECT_EQ(words, (std::vector<std::uint32_t>{1, 2, 3}));
  // A second pass finds the disks that carry a handle by it, not by the
  // rewritten disk word.
  DM::LayoutRecord simple = Parsed("Simple");
  simple.plexes[0].members[0].disk = 7;
  const DM::DiskMap again = DM::CollectLayoutDisks(simple, r);
  EXPECT_EQ(again.at(1), &r.Key(11));
  EXPECT_EQ(DM::CreateDMStdDisk(nullptr, 10, kSector), nullptr);
}

const std::vector<Fixture>& LocationRecords() {
  static const std::vector<Fixture> records = {
#include "data/layout_location_records.inc"
  };
  return records;
}

struct Piece {
  std::uint32_t key, plex, column;
  std::uint64_t first, length, offset;
  std::uint32_t state;
  std::uint32_t mark = 0;
};

std::unique_ptr<Fdisk::LdmLocation> Location(Fdisk::LdmVolType type, std::uint64_t sectors,
                                             std::uint64_t chunk, std::vector<Piece> pieces) {
  Fdisk::LdmExtentMap extents;
  std::uint32_t n = 0;
  for (const Piece& p : pieces) {
    Fdisk::LdmExtent e;
    e.diskId = p.key;
    e.firstSector = p.first;
    e.length = p.length;
    e.plexOffset = p.offset;
    e.plex = p.plex;
    e.column = p.column;
    e.plexFlag = p.mark;
    e.diskState = p.state;
    extents[n++] = e;
  }
  auto location = std::make_unique<Fdisk::LdmLocation>(extents, nullptr, false, false);
  location->SetVolumeType(type);
  location->SetLuid(sectors);  // the volume's sectors
  location->SetSize(chunk);    // the chunk value
  // The GUID of the packed records, as it lies in memory (first three
  // fields little-endian).
  location->SetGuid1({0x4B, 0x2A, 0x1C, 0x6F, 0xDE, 0x90, 0x11, 0x4C, 0x8A, 0x7B, 0x01, 0x23,
                      0x45, 0x67, 0x89, 0xAB});
  return location;
}

TEST(LayoutRecordFromLocation, EqualsTheIndependentPacker) {
  // Extents handed over out of their sorted order.
  const std::map<std::string, std::unique_ptr<Fdisk::LdmLocation>> locations = [] {
    std::map<std::string, std::unique_ptr<Fdisk::LdmLocation>> m;
    m["Simple"] = Location(Fdisk::kLdmVolSimple, 64, 0, {{11, 1, 0, 8, 64, 0, 3}});
    m["Spanned"] = Location(Fdisk::kLdmVolSpanned, 96, 0,
                            {{12, 1, 0, 0, 56, 40, 4}, {11, 1, 0, 4, 40, 0, 3}});
    m["Striped"] = Location(Fdisk::kLdmVolStriped, 96, 8,
                            {{13, 1, 2, 2, 32, 0, 6}, {11, 1, 0, 0, 32, 0, 3},
                             {12, 1, 1, 16, 32, 0, 3, 1}});
    m["Mirrored"] = Location(Fdisk::kLdmVolMirrored, 48, 0,
                             {{12, 3, 0, 0, 48, 0, 5}, {11, 1, 0, 0, 48, 0, 3}});
    const std::vector<Piece> three = {{13, 1, 2, 0, 32, 0, 6}, {12, 1, 1, 0, 32, 0, 3},
                                      {11, 1, 0, 0, 32, 0, 3}};
    m["Raid5"] = Location(Fdisk::kLdmVolRaid5, 64, 8, three);
    std::vector<Piece> parity = three;
    parity[0].state = 4;
    m["StripeSetWithParity"] = Location(Fdisk::kLdmVolStripeSetWithParity, 64, 8, parity);
    m["Raid01"] = Location(Fdisk::kLdmVolRaid01, 64, 8,
                           {{11, 2, 1, 32, 32, 0, 4}, {12, 1, 1, 0, 32, 0, 3},
                            {13, 2, 0, 0, 32, 0, 6}, {11, 1, 0, 0, 32, 0, 3}});
    return m;
  }();
  ASSERT_EQ(locations.size(), LocationRecords().size());
  Resolver r({11, 12, 13});
  for (const Fixture& f : LocationRecords()) {
    SCOPED_TRACE(f.name);
    std::vector<std::uint8_t> bytes;
    ASSERT_FALSE(DM::BuildVolumeLayoutRecord(*locations.at(f.name), r, &bytes));
    EXPECT_EQ(bytes, f.bytes);
  }
}

TEST(LayoutRecordFromLocation, MemberOnAnUnknownDiskIsRefused) {
  Resolver r({11, 12});
  // Key 13 is not a disk of the resolver; a missing disk (state 5) needs none.
  const auto missing = Location(Fdisk::kLdmVolMirrored, 48, 0,
                                {{11, 1, 0, 0, 48, 0, 3}, {13, 2, 0, 0, 48, 0, 5}});
  std::vector<std::uint8_t> bytes;
  EXPECT_FALSE(DM::BuildVolumeLayoutRecord(*missing, r, &bytes));
  const auto unknown = Location(Fdisk::kLdmVolMirrored, 48, 0,
                                {{11, 1, 0, 0, 48, 0, 3}, {13, 2, 0, 0, 48, 0, 3}});
  std::vector<std::uint8_t> untouched = {1, 2, 3};
  EXPECT_EQ(Code(DM::BuildVolumeLayoutRecord(*unknown, r, &untouched)), Fdisk::kErrDiskNotFound);
  EXPECT_EQ(untouched, (std::vector<std::uint8_t>{1, 2, 3}));
}

Fdisk::LdmOpRequest Request(std::uint32_t disk, std::uint64_t size, std::uint32_t plex) {
  Fdisk::LdmOpRequest q;
  q.diskId = disk;
  q.size = size;
  q.plexIndex = plex;
  return q;
}

TEST(LdmRequestFromRecord, CarriesMembersTypeSizeAndFlags) {
  namespace K = Fdisk::NamedVars::Keys;
  struct Case {
    const char* record;
    Fdisk::LdmVolType type;
    std::uint64_t sectors;
    std::vector<Fdisk::LdmOpRequest> requests;
    std::vector<int> flags;  // Primary, ActiveBoot, Retaining, ForceRaw: -1 absent
  };
  const std::uint32_t kMissing = DM::kLayoutMissingDisk;
  const Case cases[] = {
      {"Simple", Fdisk::kLdmVolSimple, 64, {Request(1, 64, 0)}, {-1, -1, -1, -1}},
      // The second member has no handle: its disk word goes through as it is.
      {"Spanned", Fdisk::kLdmVolSpanned, 96, {Request(1, 40, 0), Request(12, 56, 0)},
       {1, 0, -1, -1}},
      {"Striped", Fdisk::kLdmVolStriped, 96,
       {Request(1, 32, 0), Request(2, 32, 0), Request(13, 32, 0)}, {-1, -1, -1, -1}},
      {"Mirrored", Fdisk::kLdmVolMirrored, 48, {Request(1, 48, 0), Request(kMissing, 48, 1)},
       {1, 1, 0, 1}},
      // A RAID-5 plex asks for a RAID-5 volume.
      {"Raid5", Fdisk::kLdmVolRaid5, 64,
       {Request(1, 32, 0), Request(2, 32, 0), Request(3, 32, 0)}, {-1, -1, -1, -1}},
  };
  Resolver r({11, 12, 13});
  const Fdisk::NamedVars::VarKeyT<bool>* flagKeys[] = {&K::PrimaryFlag, &K::ActiveBootStatus,
                                                      &K::RetainingVolume, &K::ForceRawMode};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    const auto& bytes = Bytes(c.record);
    Fdisk::NamedVars::VarContainer vars;
    ASSERT_FALSE(DM::LayoutRecordToLdmRequest(Common::ByteView(bytes.data(), bytes.size()), r,
                                              &vars));
    const auto requests = vars.Get(K::OpRequest);
    EXPECT_EQ(std::vector<Fdisk::LdmOpRequest>(requests.begin(), requests.end()), c.requests);
    EXPECT_EQ(vars.Get(K::VolumeType), c.type);
    EXPECT_EQ(vars.Get(K::VolumeSize), c.sectors);
    for (int i = 0; i < 4; ++i) {
      if (c.flags[i] < 0) {
        EXPECT_FALSE(vars.Contains(*flagKeys[i])) << i;
      } else {
        EXPECT_EQ(vars.Get(*flagKeys[i]), c.flags[i] == 1) << i;
      }
    }
  }
  // A handle that no disk carries leaves the disk word as it is.
  std::vector<std::uint8_t> stale = Bytes("Simple");
  Common::StoreLe64(stale.data() + 32 + 24 + 8, 0x7777);
  Fdisk::NamedVars::VarContainer vars;
  ASSERT_FALSE(DM::LayoutRecordToLdmRequest(Common::ByteView(stale.data(), stale.size()), r,
                                            &vars));
  EXPECT_EQ(vars.Get(K::OpRequest).at(0).diskId, 11u);
}

TEST(LdmRequestFromRecord, TwoPlexLocationRequestsAMirroredVolume) {
  namespace K = Fdisk::NamedVars::Keys;
  Resolver r({11, 12});
  const auto location = Location(Fdisk::kLdmVolMirrored, 48, 0,
                                 {{11, 1, 0, 0, 48, 0, 3}, {12, 2, 0, 0, 48, 0, 3}});
  std::vector<std::uint8_t> bytes;
  ASSERT_FALSE(DM::BuildVolumeLayoutRecord(*location, r, &bytes));
  Fdisk::NamedVars::VarContainer vars;
  ASSERT_FALSE(DM::LayoutRecordToLdmRequest(Common::ByteView(bytes.data(), bytes.size()), r,
                                            &vars));
  EXPECT_EQ(vars.Get(K::VolumeType), Fdisk::kLdmVolMirrored);
  const auto requests = vars.Get(K::OpRequest);
  EXPECT_EQ(std::vector<Fdisk::LdmOpRequest>(requests.begin(), requests.end()),
            (std::vector<Fdisk::LdmOpRequest>{Request(1, 48, 0), Request(2, 48, 1)}));
}

TEST(LdmRequestFromRecord, RecordsWithoutPlexOrTooShortAreRefused) {
  namespace K = Fdisk::NamedVars::Keys;
  const std::vector<std::uint8_t> good = Bytes("Raid5");  // 32 + 24 + 3 x 36
  std::vector<std::uint8_t> none(good.begin(), good.begin() + 32);
  Common::StoreLe32(none.data(), 32);
  Common::StoreLe32(none.data() + 12, 0);
  std::vector<std::uint8_t> shortTotal = good;
  Common::StoreLe32(shortTotal.data(), std::uint32_t(good.size() - 36));
  std::vector<std::uint8_t> cut(good.begin(), good.end() - 1);
  std::vector<std::uint8_t> plexCount = good;
  Common::StoreLe32(plexCount.data() + 12, 2);
  const std::pair<const char*, std::vector<std::uint8_t>> cases[] = {
      {"no plex", none},
      {"total short of its members", shortTotal},
      {"block short of its total", cut},
      {"plex count past the record", plexCount},
  };
  Resolver r({11, 12, 13});
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    Fdisk::NamedVars::VarContainer vars;
    (void)vars.Set(K::VolumeSize, Fdisk::NamedVars::VarU64(7));
    EXPECT_EQ(Code(DM::LayoutRecordToLdmRequest(Common::ByteView(bytes.data(), bytes.size()),
                                                r, &vars)),
              Fdisk::kErrInvalidParameter);
    EXPECT_EQ(vars.Get(K::VolumeSize), 7u);
    EXPECT_FALSE(vars.Contains(K::OpRequest));
  }
}

}  // namespace
