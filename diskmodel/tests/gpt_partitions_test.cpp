// GPT tables: loading what sgdisk and fdisk wrote (512- and 4096-byte
// sectors), falling back to the backup copy, refusing malformed headers,
// and edits whose written result the tools read and verify.
#include "foundation/byteorder.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fdisk/gpt_partitions.h"
#include "fixtures/gpt_expected.h"
#include "fixtures/gpt_fdisk4k.h"
#include "fixtures/gpt_sgdisk512.h"
#include "fixtures/gpt_test_kit.h"
#include "fixtures/gpt_tools.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
using namespace GptTest;
using Fdisk::Gpt::GptEntry;
using Fdisk::Gpt::GptPartitions;
namespace Gpt = Fdisk::Gpt;

// Type GUIDs of the fixtures.
constexpr const char* kEsp = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
constexpr const char* kBasic = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
constexpr const char* kSwap = "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F";
constexpr const char* kFsData = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";

// Unique GUIDs of the sgdisk image's entries, by slot.
constexpr const char* kSlot1 = "11111111-1111-4111-8111-111111111111";
constexpr const char* kSlot2 = "22222222-2222-4222-8222-222222222222";
constexpr const char* kSlot3 = "33333333-3333-4333-8333-333333333333";
constexpr const char* kSlot6 = "66666666-6666-4666-8666-666666666666";
// ... and of the fdisk image's.
constexpr const char* kSlot4k1 = "A1A1A1A1-0000-4000-8000-000000000001";
constexpr const char* kSlot4k2 = "A1A1A1A1-0000-4000-8000-000000000002";
constexpr const char* kSlot4k4 = "A1A1A1A1-0000-4000-8000-000000000004";

struct Fixture {
  const char* name;
  const DiskTest::SparseImage* image;
  std::uint32_t sectorSize;
  const GptFixtures::ExpectedTable* listed;  // what the tools listed
};

const Fixture kSgdisk = {"sgdisk, 512-byte sectors", &kGptSgdisk512, 512, &GptFixtures::kSgdisk512};
const Fixture kFdisk = {"fdisk, 4096-byte sectors", &kGptFdisk4k, 4096, &GptFixtures::kFdisk4k};

// One entry as the model or a tool shows it. An empty `unique` in an
// expectation stands for a new random GUID.
struct Row {
  std::uint64_t first;
  std::uint64_t last;
  std::string type;
  std::string unique;
  std::uint64_t attributes;
  std::u16string name;

  bool operator==(const Row& o) const {
    return first == o.first && last == o.last && type == o.type && unique == o.unique &&
           attributes == o.attributes && name == o.name;
  }
};

std::ostream& operator<<(std::ostream& out, const Row& r) {
  std::string name;
  Common::Utf16ToUtf8(name, r.name);
  return out << r.first << "-" << r.last << " " << r.type << " " << r.unique << " attrs 0x"
             << std::hex << r.attributes << std::dec << " '" << name << "'";
}

std::vector<Row> Rows(const GptPartitions& table) {
  std::vector<Row> rows;
  for (const GptEntry& e : table.Entries()) {
    rows.push_back({e.StartingLba(), e.EndingLba(), Text(e.TypeGuid()), Text(e.UniqueGuid()),
                    e.Attributes(), e.Name()});
  }
  return rows;
}

// The tool's listing of a fixture, in start order.
std::vector<Row> ListedRows(const Fixture& f) {
  std::vector<Row> rows;
  for (const GptFixtures::ExpectedEntry& e : ByStart(*f.listed)) {
    rows.push_back({e.first, e.last, e.type, e.unique, e.attributes, e.name});
  }
  return rows;
}

// The model's rows with the GUIDs of new entries blanked where `want`
// expects a new one, for comparing with an expectation.
std::vector<Row> AsExpected(std::vector<Row> got, const std::vector<Row>& want) {
  if (got.size() != want.size()) return got;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (want[i].unique.empty() && got[i].unique != "00000000-0000-0000-0000-000000000000") {
      got[i].unique.clear();
    }
  }
  return got;
}

// The image disk of a fixture, and a table over the area its protective
// MBR entry gives, as the scheme driver would make it.
class GptTableTest : public ::testing::Test {
 protected:
  std::unique_ptr<DiskTest::ImageDisk> Disk(const Fixture& f) {
    return FixtureDisk(dir_, *f.image, f.sectorSize);
  }

  static std::unique_ptr<GptPartitions> Table(Fdisk::SimpleDisk& disk) {
    const std::vector<std::uint8_t> mbr = ReadRaw(disk, 0);
    EXPECT_EQ(mbr[446 + 4], 0xEE) << "protective entry";
    return std::make_unique<GptPartitions>(&disk, Common::LoadLe32(&mbr[446 + 8]),
                                           Common::LoadLe32(&mbr[446 + 12]));
  }

  DiskTest::TempDir dir_;
};

#if !defined(_WIN32)
// The tools read the image back: their check passes, and they list exactly
// `rows` (GUIDs, attributes and names included).
void ExpectToolsAgree(const Fixture& f, const std::string& path, const std::vector<Row>& rows) {
  if (!GptTools::HaveTools()) return;
  std::string report;
  std::vector<GptTools::ToolEntry> listed;
  if (f.sectorSize == 512) {
    EXPECT_TRUE(GptTools::SgdiskVerify(path, &report)) << report;
    listed = GptTools::SgdiskEntries(path);
  } else {
    EXPECT_TRUE(GptTools::Fdisk4kVerify(path, &report)) << report;
    listed = GptTools::Fdisk4kEntries(path);
  }
  std::vector<Row> got;
  for (const GptTools::ToolEntry& e : listed) {
    got.push_back({e.first, e.last, e.type, e.unique, e.attributes, U16(e.name)});
  }
  std::stable_sort(got.begin(), got.end(), [](const Row& a, const Row& b) { return a.first < b.first; });
  EXPECT_EQ(got, rows) << "as the tool lists the image";
}
#endif

// The tables the tools made load as the tools list them, header and
// entries, and the listing covers the usable area exactly: the entries with
// a free record for every gap, the last one named "Free space".
TEST_F(GptTableTest, LoadsWhatTheToolsWrote) {
  for (const Fixture* f : {&kSgdisk, &kFdisk}) {
    SCOPED_TRACE(f->name);
    auto disk = Disk(*f);
    auto table = Table(*disk);
    ASSERT_FALSE(table->Load());
    EXPECT_FALSE(table->LoadedFromAlternate());
    EXPECT_FALSE(table->IsDirty());
    ExpectListed(*table, *f->listed);

    std::uint64_t next = f->listed->firstUsable;
    std::size_t used = 0;
    const std::vector<GptEntry> list = table->ListEntries();
    for (std::size_t i = 0; i < list.size(); ++i) {
      const GptEntry& e = list[i];
      SCOPED_TRACE("item " + std::to_string(i));
      EXPECT_EQ(e.StartingLba(), next);
      next = e.EndingLba() + 1;
      if (GptPartitions::IsFreeEntry(e)) {
        const bool atEnd = i + 1 == list.size();
        EXPECT_TRUE(e.Name() == (atEnd ? u"Free space" : u""));
        if (i > 0) {
          EXPECT_FALSE(GptPartitions::IsFreeEntry(list[i - 1])) << "gaps are merged";
        }
      } else {
        ++used;
      }
    }
    EXPECT_EQ(next, f->listed->lastUsable + 1);
    EXPECT_EQ(used, f->listed->count);
#if !defined(_WIN32)
    // The committed listing is still what the tools say today.
    ExpectToolsAgree(*f, disk->Path(), ListedRows(*f));
#endif
  }
}

// A record of the primary array that ends before it starts (its CRCs made
// right again) covers nothing: the free areas around it stay apart.
TEST_F(GptTableTest, RecordEndingBeforeItStarts) {
  auto disk = Disk(kSgdisk);
  std::vector<std::uint8_t> header = ReadRaw(*disk, 1);
  const std::uint32_t count = Common::LoadLe32(&header[80]);
  std::vector<std::uint8_t> array = ReadRaw(*disk, Common::LoadLe64(&header[72]), count * 128 / 512);
  Put64(&array[5 * 128 + 40], 5000);  // slot 6, 12288-14335, now "ends" at 5000
  WriteRaw(*disk, Common::LoadLe64(&header[72]), array);
  Put32(&header[88], std::uint32_t(crc32(0, array.data(), uInt(array.size()))));
  FixHeaderCrc(header);
  WriteRaw(*disk, 1, header);

  auto table = Table(*disk);
  ASSERT_FALSE(table->Load());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> free;
  for (const GptEntry& e : table->ListEntries()) {
    if (GptPartitions::IsFreeEntry(e)) free.push_back({e.StartingLba(), e.EndingLba()});
  }
  using Areas = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  EXPECT_EQ(free, (Areas{{34, 2047}, {9216, 12287}, {12288, 16350}}));
}

// A damaged copy: the table loads from the other one when it is intact, and
// a table loaded from the backup, once written, is sound to the tools again.
TEST_F(GptTableTest, DamagedCopies) {
  struct Case {
    const char* what;
    const Fixture* fixture;
    std::function<void(DiskTest::ImageDisk&, std::uint64_t backup)> damage;
    std::uint32_t error;
    bool fromBackup;
  };
  const std::uint64_t kPrimary = 1;
  const Case cases[] = {
      {"primary header CRC wrong", &kSgdisk,
       [&](DiskTest::ImageDisk& d, std::uint64_t) { FlipByte(d, kPrimary, 40); }, 0, true},
      {"primary signature gone", &kSgdisk,
       [&](DiskTest::ImageDisk& d, std::uint64_t) { FlipByte(d, kPrimary, 0); }, 0, true},
      {"primary entry array CRC wrong", &kSgdisk,
       [](DiskTest::ImageDisk& d, std::uint64_t) { FlipByte(d, 2, 100); }, 0, true},
      {"primary header unreadable", &kSgdisk,
       [&](DiskTest::ImageDisk& d, std::uint64_t) { d.FailRange(Fdisk::kIoRead, kPrimary, 1); },
       0, true},
      {"primary header says it lies elsewhere", &kSgdisk,
       [&](DiskTest::ImageDisk& d, std::uint64_t) {
         EditHeader(d, kPrimary, [](std::uint8_t* h) { Put64(h + 24, 7); });
       },
       0, true},
      {"primary CRC wrong, 4096-byte sectors", &kFdisk,
       [&](DiskTest::ImageDisk& d, std::uint64_t) { FlipByte(d, kPrimary, 48); }, 0, true},
      {"backup header CRC wrong", &kSgdisk,
       [](DiskTest::ImageDisk& d, std::uint64_t backup) { FlipByte(d, backup, 40); }, 0, false},
      {"backup entry array CRC wrong", &kSgdisk,
       [](DiskTest::ImageDisk& d, std::uint64_t backup) { FlipByte(d, backup - 32, 100); }, 0,
       false},
      {"both headers damaged", &kSgdisk,
       [&](DiskTest::ImageDisk& d, std::uint64_t backup) {
         FlipByte(d, kPrimary, 40);
         FlipByte(d, backup, 40);
       },
       Gpt::kErrNoHeader, false},
      {"primary header and backup array damaged", &kSgdisk,
       [&](DiskTest::ImageDisk& d, std::uint64_t backup) {
         FlipByte(d, kPrimary, 40);
         FlipByte(d, backup - 32, 100);
       },
       Gpt::kErrNoHeader, false},
      {"both arrays damaged, 4096-byte sectors", &kFdisk,
       [](DiskTest::ImageDisk& d, std::uint64_t backup) {
         FlipByte(d, 2, 10);
         FlipByte(d, backup - 4, 10);
       },
       Gpt::kErrNoHeader, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto disk = Disk(*c.fixture);
    c.damage(*disk, c.fixture->listed->alternateLba);
    auto table = Table(*disk);
    const Common::Error loaded = table->Load();
    EXPECT_EQ(Common::GetErrorCode(loaded), c.error);
    if (loaded) continue;
    EXPECT_EQ(table->LoadedFromAlternate(), c.fromBackup);
    EXPECT_FALSE(table->IsDirty()) << "loading writes nothing";
    ExpectListed(*table, *c.fixture->listed);

    // Any change writes both copies from the model.
    disk->ClearFailures();
    const GptEntry first = table->Entries().front();
    table->SetName(first.UniqueGuid(), first.Name());
    table->Commit();
    auto again = Table(*disk);
    ASSERT_FALSE(again->Load());
    EXPECT_FALSE(again->LoadedFromAlternate());
    ExpectListed(*again, *c.fixture->listed);
#if !defined(_WIN32)
    ExpectToolsAgree(*c.fixture, disk->Path(), ListedRows(*c.fixture));
#endif
  }
}

// Headers that pass the CRC but do not describe a usable table are refused
// like damaged ones (both copies edited alike); a header size up to the
// sector size is checked over the bytes the sector holds.
TEST_F(GptTableTest, HeaderChecks) {
  struct Case {
    const char* what;
    const Fixture* fixture;
    std::function<void(std::uint8_t* header)> edit;
    bool fixCrc;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"bad CRC in both copies", &kSgdisk, [](std::uint8_t* h) { h[60] ^= 1; }, false,
       Gpt::kErrNoHeader},
      {"header size below 92", &kSgdisk, [](std::uint8_t* h) { Put32(h + 12, 91); }, true,
       Gpt::kErrNoHeader},
      {"header size past the sector", &kSgdisk, [](std::uint8_t* h) { Put32(h + 12, 513); },
       true, Gpt::kErrNoHeader},
      {"entry size 64", &kSgdisk, [](std::uint8_t* h) { Put32(h + 84, 64); }, true,
       Gpt::kErrNoHeader},
      {"entry size 0", &kSgdisk, [](std::uint8_t* h) { Put32(h + 84, 0); }, true,
       Gpt::kErrNoHeader},
      {"no entries", &kSgdisk, [](std::uint8_t* h) { Put32(h + 80, 0); }, true,
       Gpt::kErrNoHeader},
      {"more entries than any array holds", &kSgdisk,
       [](std::uint8_t* h) { Put32(h + 80, 0x80000000u); }, true, Gpt::kErrNoHeader},
      {"an array reaching past the disk", &kSgdisk, [](std::uint8_t* h) { Put32(h + 80, 65536); },
       true, Gpt::kErrNoHeader},
      {"MyLBA not where the header lies", &kSgdisk, [](std::uint8_t* h) { Put64(h + 24, 3); },
       true, Gpt::kErrNoHeader},
      {"array inside the usable area", &kSgdisk, [](std::uint8_t* h) { Put64(h + 72, 100); },
       true, Gpt::kErrNoHeader},
      {"first usable after last usable", &kSgdisk,
       [](std::uint8_t* h) { Put64(h + 40, Common::LoadLe64(h + 48) + 1); }, true, Gpt::kErrNoHeader},
      {"last usable past the disk", &kSgdisk, [](std::uint8_t* h) { Put64(h + 48, 16384); },
       true, Gpt::kErrNoHeader},
      {"header size 512: the CRC covers the whole sector", &kSgdisk,
       [](std::uint8_t* h) {
         for (int i = 92; i < 512; ++i) h[i] = std::uint8_t(i);
         Put32(h + 12, 512);
       },
       true, 0},
      {"header size 92: bytes past it do not count", &kSgdisk,
       [](std::uint8_t* h) {
         for (int i = 92; i < 512; ++i) h[i] = std::uint8_t(i);
       },
       true, 0},
      {"header size 4096 on 4096-byte sectors", &kFdisk,
       [](std::uint8_t* h) {
         h[4000] = 0x5A;
         Put32(h + 12, 4096);
       },
       true, 0},
      {"header size past a 4096-byte sector", &kFdisk,
       [](std::uint8_t* h) { Put32(h + 12, 4097); }, true, Gpt::kErrNoHeader},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto disk = Disk(*c.fixture);
    for (std::uint64_t lba : {std::uint64_t(1), c.fixture->listed->alternateLba}) {
      std::vector<std::uint8_t> sector = ReadRaw(*disk, lba);
      c.edit(sector.data());
      if (c.fixCrc) FixHeaderCrc(sector);
      WriteRaw(*disk, lba, sector);
    }
    auto table = Table(*disk);
    EXPECT_EQ(Common::GetErrorCode(table->Load()), c.error);
    if (c.error != 0) {
      EXPECT_FALSE(table->HasHeader());
      continue;
    }
    ExpectListed(*table, *c.fixture->listed);
    // Written back, the header keeps its size and a CRC over it that the
    // tools and a new load accept.
    const GptEntry first = table->Entries().front();
    table->SetName(first.UniqueGuid(), first.Name());
    table->Commit();
    auto again = Table(*disk);
    ASSERT_FALSE(again->Load());
    EXPECT_EQ(again->Header().HeaderSize(), table->Header().HeaderSize());
#if !defined(_WIN32)
    ExpectToolsAgree(*c.fixture, disk->Path(), ListedRows(*c.fixture));
#endif
  }
}

// Entry edits: what the model holds after each, the error when it is
// refused (the table then unchanged), and, for every edit that succeeds,
// what the tools read from the written image.
TEST_F(GptTableTest, EditsJudgedByTheTools) {
  using Edit = std::function<void(GptPartitions&)>;
  using Expect = std::function<void(std::vector<Row>&)>;
  struct Case {
    const char* what;
    const Fixture* fixture;
    Edit edit;
    std::uint32_t error;
    Expect after;  // applied to the rows before the edit
  };
  const std::u16string longName = u"a name of more than thirty-six units is cut";
  const Case cases[] = {
      {"create in a gap", &kSgdisk,
       [](GptPartitions& t) { t.CreateEntry(9216, 3072, G(kFsData), u"new"); }, 0,
       [](std::vector<Row>& r) { r.insert(r.begin() + 3, Row{9216, 12287, kFsData, "", 0, u"new"}); }},
      {"create up to the last usable sector, name cut at 36", &kSgdisk,
       [&](GptPartitions& t) { t.CreateEntry(14336, 2015, G(kBasic), longName); }, 0,
       [&](std::vector<Row>& r) {
         r.push_back(Row{14336, 16350, kBasic, "", 0, longName.substr(0, 36)});
       }},
      {"create past the last usable sector", &kSgdisk,
       [](GptPartitions& t) { t.CreateEntry(14336, 2016, G(kBasic), u"x"); }, Gpt::kErrNoRegion,
       nullptr},
      {"create over the primary array", &kSgdisk,
       [](GptPartitions& t) { t.CreateEntry(2, 10, G(kBasic), u"x"); }, Gpt::kErrNoRegion,
       nullptr},
      {"create over an entry", &kSgdisk,
       [](GptPartitions& t) { t.CreateEntry(9000, 500, G(kBasic), u"x"); }, Gpt::kErrNoRegion,
       nullptr},
      {"create with no sectors", &kSgdisk,
       [](GptPartitions& t) { t.CreateEntry(9216, 0, G(kBasic), u"x"); }, Gpt::kErrNoRegion,
       nullptr},
      {"move and grow", &kSgdisk, [](GptPartitions& t) { t.MoveEntry(G(kSlot2), 9216, 3072); }, 0,
       [](std::vector<Row>& r) {
         r[2].first = 9216;
         r[2].last = 12287;
       }},
      {"move onto a neighbour", &kSgdisk,
       [](GptPartitions& t) { t.MoveEntry(G(kSlot2), 8000, 1000); }, Gpt::kErrNoRegion, nullptr},
      {"move a platform-required entry", &kSgdisk,
       [](GptPartitions& t) { t.MoveEntry(G(kSlot3), 9216, 100); }, Gpt::kErrInUse, nullptr},
      {"move what is not there", &kSgdisk,
       [](GptPartitions& t) { t.MoveEntry(G(kSlot4k1), 9216, 100); },
       Fdisk::kErrPartitionNotFound, nullptr},
      {"delete", &kSgdisk, [](GptPartitions& t) { t.DeleteEntry(G(kSlot1)); }, 0,
       [](std::vector<Row>& r) { r.erase(r.begin() + 1); }},
      {"delete a platform-required entry", &kSgdisk,
       [](GptPartitions& t) { t.DeleteEntry(G(kSlot3)); }, Gpt::kErrInUse, nullptr},
      {"delete what is not there", &kSgdisk, [](GptPartitions& t) { t.DeleteEntry(G(kEsp)); },
       Fdisk::kErrPartitionNotFound, nullptr},
      {"clearing the hardware flag lets the entry go", &kSgdisk,
       [](GptPartitions& t) {
         t.SetHardwareFlag(G(kSlot3), false);
         t.DeleteEntry(G(kSlot3));
       },
       0, [](std::vector<Row>& r) { r.erase(r.begin()); }},
      {"the hardware flag keeps the other attribute bits", &kSgdisk,
       [](GptPartitions& t) { t.SetHardwareFlag(G(kSlot1), true); }, 0,
       [](std::vector<Row>& r) { r[1].attributes = 0x9000000000000001ull; }},
      {"a shorter name leaves nothing of the longer one", &kSgdisk,
       [](GptPartitions& t) {
         t.SetName(G(kSlot2), u"swap");
         const std::uint8_t* field = t.FindByGuid(G(kSlot2))->bytes.data() + 56;
         EXPECT_TRUE(std::all_of(field + 8, field + 72, [](std::uint8_t b) { return b == 0; }));
       },
       0, [](std::vector<Row>& r) { r[2].name = u"swap"; }},
      {"retype", &kSgdisk, [](GptPartitions& t) { t.SetType(G(kSlot6), G(kBasic)); }, 0,
       [](std::vector<Row>& r) { r[3].type = kBasic; }},
      {"rename what is not there", &kSgdisk,
       [](GptPartitions& t) { t.SetName(G(kEsp), u"x"); }, Fdisk::kErrPartitionNotFound,
       nullptr},
      {"retype what is not there", &kSgdisk,
       [](GptPartitions& t) { t.SetType(G(kEsp), G(kBasic)); }, Fdisk::kErrPartitionNotFound,
       nullptr},
      {"4096-byte sectors: create, move, delete", &kFdisk,
       [](GptPartitions& t) {
         t.CreateEntry(1280, 768, G(kSwap), u"swap");
         t.DeleteEntry(G(kSlot4k4));
         t.MoveEntry(G(kSlot4k2), 3000, 1091);
       },
       0,
       [](std::vector<Row>& r) {
         r.pop_back();
         r[1].first = 3000;
         r[1].last = 4090;
         r.insert(r.begin() + 1, Row{1280, 2047, kSwap, "", 0, u"swap"});
       }},
      {"4096-byte sectors: past the last usable sector", &kFdisk,
       [](GptPartitions& t) { t.MoveEntry(G(kSlot4k4), 3072, 1020); }, Gpt::kErrNoRegion,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto disk = Disk(*c.fixture);
    auto table = Table(*disk);
    ASSERT_FALSE(table->Load());
    const std::vector<Row> before = Rows(*table);
    ASSERT_EQ(before, ListedRows(*c.fixture));
    const std::uint32_t code = ThrownCode([&] { c.edit(*table); });
    EXPECT_EQ(code, c.error);
    if (code != 0) {
      EXPECT_EQ(Rows(*table), before) << "a refused edit changes nothing";
      EXPECT_FALSE(table->IsDirty());
      continue;
    }
    std::vector<Row> want = before;
    c.after(want);
    EXPECT_EQ(AsExpected(Rows(*table), want), want);
    EXPECT_TRUE(table->IsDirty());

    table->Commit();
    auto again = Table(*disk);
    ASSERT_FALSE(again->Load());
    EXPECT_EQ(Rows(*again), Rows(*table)) << "what was written loads again";
    EXPECT_EQ(Text(again->Header().DiskGuid()), c.fixture->listed->diskGuid);
#if !defined(_WIN32)
    ExpectToolsAgree(*c.fixture, disk->Path(), Rows(*table));
#endif
  }
}

// A new table over the whole disk: the usable area leaves 16 KiB for each
// array, the array takes entries up to one short of its 128 slots, and the
// tools accept what is written with all of them.
TEST_F(GptTableTest, NewTableFilledToTheLastSlot) {
  struct Case {
    const Fixture* fixture;
    std::uint64_t firstUsable;
    std::uint64_t lastUsable;
  };
  const Case cases[] = {{&kSgdisk, 34, 16350}, {&kFdisk, 6, 4090}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture->name);
    auto disk = Disk(*c.fixture);
    auto table = Table(*disk);
    table->InitEmpty();
    EXPECT_EQ(table->FirstUsableLba(), c.firstUsable);
    EXPECT_EQ(table->LastUsableLba(), c.lastUsable);
    EXPECT_NE(Text(table->Header().DiskGuid()), c.fixture->listed->diskGuid);
    std::vector<Row> want;
    for (std::uint64_t i = 0; i < 127; ++i) {
      const std::uint64_t first = c.firstUsable + 16 * i;
      const std::u16string name = u"p" + U16(std::to_string(i + 1));
      ASSERT_EQ(ThrownCode([&] { table->CreateEntry(first, 16, G(kFsData), name); }), 0u) << i;
      want.push_back({first, first + 15, kFsData, "", 0, name});
    }
    EXPECT_EQ(ThrownCode([&] { table->CreateEntry(c.lastUsable - 20, 16, G(kFsData), u"x"); }),
              Gpt::kErrArrayOverrun);
    EXPECT_EQ(AsExpected(Rows(*table), want), want);

    table->Commit();
    auto again = Table(*disk);
    ASSERT_FALSE(again->Load());
    EXPECT_EQ(Rows(*again), Rows(*table));
    EXPECT_EQ(Text(again->Header().DiskGuid()), Text(table->Header().DiskGuid()));
#if !defined(_WIN32)
    ExpectToolsAgree(*c.fixture, disk->Path(), Rows(*table));
    if (GptTools::HaveTools()) {
      const std::string details =
          c.fixture->sectorSize == 512
              ? GptTools::Run("LC_ALL=C sgdisk -p '" + disk->Path() + "'")
              : GptTools::Fdisk4kDetails(disk->Path());
      EXPECT_NE(details.find(Text(table->Header().DiskGuid())), std::string::npos) << details;
    }
#endif
  }
  // An area with no room for both arrays and a usable sector.
  auto disk = Disk(kSgdisk);
  GptPartitions small(disk.get(), 1, 66);
  EXPECT_EQ(ThrownCode([&] { small.InitEmpty(); }), Gpt::kErrNoRegion);
  GptPartitions fits(disk.get(), 1, 67);
  EXPECT_EQ(ThrownCode([&] { fits.InitEmpty(); }), 0u);
  EXPECT_EQ(fits.FirstUsableLba(), fits.LastUsableLba());
}

// Commit writes nothing for an unchanged table; a write failure is thrown
// with the disk's own code.
TEST_F(GptTableTest, Writing) {
  auto disk = Disk(kSgdisk);
  auto table = Table(*disk);
  ASSERT_FALSE(table->Load());
  disk->ResetCounters();
  table->Commit();
  EXPECT_EQ(disk->Counters().writes, 0u);

  table->SetHardwareFlag(G(kSlot6), true);
  disk->FailRange(Fdisk::kIoWrite, GptFixtures::kSgdisk512.alternateLba, 1);
  EXPECT_EQ(ThrownCode([&] { table->Commit(); }), Fdisk::kErrInvalidIo);
  disk->ClearFailures();
  disk->ResetCounters();
  table->Commit();
  EXPECT_EQ(disk->Counters().writes, 4u) << "two headers, two arrays";
}

// The remover wipes both headers, whatever else it holds; its clone is a
// remover too.
TEST_F(GptTableTest, RemoverWipesBothHeaders) {
  auto disk = Disk(kSgdisk);
  auto table = Table(*disk);
  ASSERT_FALSE(table->Load());
  std::unique_ptr<GptPartitions> remover(Gpt::GptPartitionsRemover(*table).Clone());
  ASSERT_NE(dynamic_cast<Gpt::GptPartitionsRemover*>(remover.get()), nullptr);
  remover->Commit();
  const std::vector<std::uint8_t> zero(512, 0);
  EXPECT_EQ(ReadRaw(*disk, 1), zero);
  EXPECT_EQ(ReadRaw(*disk, GptFixtures::kSgdisk512.alternateLba), zero);
  EXPECT_EQ(Common::GetErrorCode(Table(*disk)->Load()), Gpt::kErrNoHeader);
#if !defined(_WIN32)
  if (GptTools::HaveTools()) {
    EXPECT_TRUE(GptTools::SgdiskNumbers(disk->Path()).empty());
  }
#endif

  // A table never loaded has no header to wipe.
  auto other = Disk(kFdisk);
  GptPartitions blank(other.get(), 1, 4095);
  Gpt::GptPartitionsRemover nothing(blank);
  other->ResetCounters();
  EXPECT_EQ(ThrownCode([&] { nothing.Commit(); }), Gpt::kErrNoHeader);
  EXPECT_EQ(other->Counters().writes, 0u);
}

}  // namespace
