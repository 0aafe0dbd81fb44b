// Journaled volumes: transactions written into the journal of a volume made
// by mkfs.hfsplus -J by testsupport/hfs_journal.py. Until the first change
// the volume's bytes stay as they were while reads see the journaled
// blocks; after it the image equals what the Python replayer makes of the
// same journal, and fsck.hfsplus finds it clean. Damaged journals are
// refused without a write.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "filesystems/hfs_journal.h"
#include "foundation/byteorder.h"
#include "hfs_image.h"

namespace {

using filesystems::hfsplus::JournalChecksum;
using filesystems::hfsplus::JournalHeader;
using filesystems::hfsplus::ReplayItem;
using filesystems::hfsplus::ReplayMap;
using filesystems::hfsplus::SectorArea;
using fstest::CodeOf;
using hfstest::Digest;
using hfstest::Mounted;

constexpr std::uint32_t kSector = 512;

struct JournalCase {
  const char* name;
  std::uint32_t transactions;  // indexed at mount
  bool badChecksum;
};

// The journal's byte offset and the block list size, from the image.
struct Where {
  std::uint64_t offset = 0, size = 0;
};
Where JournalOf(const std::string& image) {
  const std::vector<std::uint8_t> vh = DiskTest::ReadBytes(image, 1024, 512);
  const std::uint64_t block = Common::LoadBe32(vh.data() + 40);
  const std::uint64_t jib = Common::LoadBe32(vh.data() + 12);
  const std::vector<std::uint8_t> info = DiskTest::ReadBytes(image, jib * block, 180);
  return {Common::LoadBe64(info.data() + 36), Common::LoadBe64(info.data() + 44)};
}

TEST(HfsJournal, ReadsSeeTheJournalUntilTheFirstWriteThenTheImageIsTheReplayersResult) {
  const JournalCase cases[] = {
      {"plain", 2, false}, {"wrap", 2, false}, {"twice", 2, false},
      {"badsum", 1, true}, {"skip", 1, false}, {"init", 0, false},
  };
  hfstest::ScratchDir dir;
  for (const JournalCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = dir.File(std::string(c.name) + ".img");
    const std::string expected = dir.File(std::string(c.name) + ".replayed");
    ASSERT_TRUE(hfstest::MakeImage(image, "-J", 128));
    std::string out;
    ASSERT_TRUE(hfstest::JournalTool("write " + image + " " + c.name, kSector, &out)) << out;
    ASSERT_TRUE(hfstest::JournalTool("replay " + image + " " + expected, kSector, &out)) << out;
    ASSERT_TRUE(hfstest::CheckerClean(expected, &out)) << out;

    const std::string original = Digest(image);
    const Where journal = JournalOf(image);
    // What the replayer changed outside the journal.
    std::set<std::uint64_t> changed;
    for (std::uint64_t s : hfstest::DifferingSectors(image, expected, kSector)) {
      if (s * kSector < journal.offset || s * kSector >= journal.offset + journal.size) {
        changed.insert(s);
      }
    }
    {
      Mounted m(image);
      ASSERT_FALSE(m->ReadOnly());
      filesystems::hfsplus::Journal* j = m->Io().GetJournal();
      ASSERT_NE(j, nullptr);
      EXPECT_EQ(j->IndexStats().transactions, c.transactions);
      EXPECT_EQ(j->IndexStats().stoppedAtBadChecksum, c.badChecksum);
      if (std::string(c.name) != "init") {
        // Nothing written yet: the volume is as the journal left it.
        EXPECT_EQ(m.host.device->GetCounters().writes, 0u);
        EXPECT_EQ(Digest(image), original);
        // Every sector the replayer changed outside the journal reads as
        // the replayer has it; the header was read in its journaled state.
        EXPECT_FALSE(changed.empty());
        std::vector<std::uint8_t> sector(kSector);
        for (std::uint64_t s : changed) {
          m->Io().ReadSectors(s, 1, sector.data());
          EXPECT_EQ(sector, DiskTest::ReadBytes(expected, s * kSector, kSector)) << "sector " << s;
        }
        const std::vector<std::uint8_t> header = DiskTest::ReadBytes(expected, 1024, 512);
        EXPECT_EQ(m->Primary().WriteCount(), Common::LoadBe32(header.data() + 68) + 1);
      }
      // The first change: a sector of free space written with what it holds.
      std::vector<std::uint8_t> same(kSector);
      const std::uint64_t last = m.host.driver->PartitionSize() - 8;
      m->Io().ReadSectors(last, 1, same.data());
      m->Io().WriteSectors(last, 1, same.data());
      m->Io().Flush();
      EXPECT_TRUE(m->Io().GetJournal()->IsEmpty());
    }
    EXPECT_TRUE(hfstest::SameFiles(image, expected));
    // The journal says it is empty, with a valid checksum.
    const std::vector<std::uint8_t> head = DiskTest::ReadBytes(image, journal.offset, 44);
    const JournalHeader h = JournalHeader::Parse(head.data());
    EXPECT_EQ(h.start, h.end);
    EXPECT_TRUE(h.ChecksumValid(head.data()));
    EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  }
}

TEST(HfsJournal, ReadOnlyMountReadsTheJournalAndWritesNothing) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("ro.img");
  const std::string expected = dir.File("ro.replayed");
  ASSERT_TRUE(hfstest::MakeImage(image, "-J", 128));
  ASSERT_TRUE(hfstest::JournalTool("write " + image + " twice"));
  ASSERT_TRUE(hfstest::JournalTool("replay " + image + " " + expected));
  const std::string original = Digest(image);
  const std::vector<std::uint8_t> replayedHeader = DiskTest::ReadBytes(expected, 1024, 512);
  std::vector<std::uint8_t> bitmap(8192, 0);
  {
    Mounted m(image, kSector, bitmap.data(), std::uint32_t(bitmap.size()));
    ASSERT_TRUE(m->ReadOnly());
    std::vector<std::uint8_t> sector(kSector);
    m->Io().ReadSectors(2, 1, sector.data());
    EXPECT_EQ(sector, replayedHeader);
    EXPECT_EQ(CodeOf([&] { m->Io().WriteSectors(2, 1, sector.data()); }), kFileReadOnly);
    m->Unmount();
  }
  EXPECT_EQ(Digest(image), original);
}

// Edits the journal header of an image (and its checksum unless told not).
void EditJournalHeader(const std::string& image, const std::function<void(JournalHeader&)>& f,
                       bool fixChecksum = true) {
  const Where w = JournalOf(image);
  std::vector<std::uint8_t> head = DiskTest::ReadBytes(image, w.offset, 44);
  JournalHeader h = JournalHeader::Parse(head.data());
  f(h);
  const std::uint32_t stored = Common::LoadLe32(head.data() + 36);
  h.Store(head.data());
  if (!fixChecksum) Common::StoreLe32(head.data() + 36, stored);
  DiskTest::WriteBytes(image, w.offset, head);
}

// Edits the first block list header (16 KiB at the journal's start) and
// gives it a valid checksum again.
void EditFirstBlockList(const std::string& image,
                        const std::function<void(std::vector<std::uint8_t>&)>& f) {
  const Where w = JournalOf(image);
  const std::vector<std::uint8_t> head = DiskTest::ReadBytes(image, w.offset, 44);
  const JournalHeader h = JournalHeader::Parse(head.data());
  std::vector<std::uint8_t> list = DiskTest::ReadBytes(image, w.offset + h.start, 64);
  f(list);
  Common::StoreLe32(list.data() + 8, 0);
  Common::StoreLe32(list.data() + 8, JournalChecksum(list.data(), 32));
  DiskTest::WriteBytes(image, w.offset + h.start, list);
}

struct BadJournal {
  const char* name;
  std::function<void(const std::string&)> damage;
  std::uint32_t code;
};

TEST(HfsJournal, DamagedJournalsAreRefusedWithoutAWrite) {
  const BadJournal cases[] = {
      {"blockList2048", [](const std::string& i) { EditJournalHeader(i, [](JournalHeader& h) { h.blhdrSize = 2048; }); },
       kFileCorrupted},
      {"blockList32768", [](const std::string& i) { EditJournalHeader(i, [](JournalHeader& h) { h.blhdrSize = 32768; }); },
       kFileCorrupted},
      {"headerSizeNotSector", [](const std::string& i) { EditJournalHeader(i, [](JournalHeader& h) { h.jhdrSize = 1024; }); },
       kFileCorrupted},
      {"bigEndian", [](const std::string& i) { EditJournalHeader(i, [](JournalHeader& h) { h.endian = 0x78563412; }); },
       kFileCorrupted},
      {"badChecksum", [](const std::string& i) { EditJournalHeader(i, [](JournalHeader& h) { h.end += 512; }, false); },
       kFileCorrupted},
      {"startOutsideArea", [](const std::string& i) { EditJournalHeader(i, [](JournalHeader& h) { h.start = 0; }); },
       kFileCorrupted},
      // An end that no transaction reaches: the walk stops after one turn.
      {"endNeverReached", [](const std::string& i) { EditJournalHeader(i, [](JournalHeader& h) { h.end = h.start + 512; }); },
       kFileCorrupted},
      {"sizeDiffers", [](const std::string& i) { EditJournalHeader(i, [](JournalHeader& h) { h.size -= 512; }); },
       kFileCorrupted},
      {"noEntries", [](const std::string& i) { EditFirstBlockList(i, [](std::vector<std::uint8_t>& l) { Common::StoreLe16(l.data() + 2, 0); }); },
       kFileCorrupted},
      {"tooManyEntries", [](const std::string& i) { EditFirstBlockList(i, [](std::vector<std::uint8_t>& l) { Common::StoreLe16(l.data() + 2, 1100); }); },
       kFileCorrupted},
      {"targetPastPartition", [](const std::string& i) { EditFirstBlockList(i, [](std::vector<std::uint8_t>& l) { Common::StoreLe64(l.data() + 32, 262144 - 1); }); },
       kFileCorrupted},
      {"targetInJournal", [](const std::string& i) {
         const Where w = JournalOf(i);
         EditFirstBlockList(i, [&](std::vector<std::uint8_t>& l) { Common::StoreLe64(l.data() + 32, w.offset / 512 + 100); });
       },
       kFileCorrupted},
      {"usedBelowHeader", [](const std::string& i) { EditFirstBlockList(i, [](std::vector<std::uint8_t>& l) { Common::StoreLe32(l.data() + 4, 512); }); },
       kFileCorrupted},
      {"onOtherDevice", [](const std::string& i) {
         const std::vector<std::uint8_t> vh = DiskTest::ReadBytes(i, 1024, 512);
         const std::uint64_t at = std::uint64_t(Common::LoadBe32(vh.data() + 12)) * Common::LoadBe32(vh.data() + 40);
         DiskTest::WriteBytes(i, at, {0, 0, 0, 3});
       },
       kFileNotSupported},
      {"journalTooSmall", [](const std::string& i) {
         const std::vector<std::uint8_t> vh = DiskTest::ReadBytes(i, 1024, 512);
         const std::uint64_t at = std::uint64_t(Common::LoadBe32(vh.data() + 12)) * Common::LoadBe32(vh.data() + 40);
         std::vector<std::uint8_t> size(8);
         Common::StoreBe64(size.data(), 4ull << 20);
         DiskTest::WriteBytes(i, at + 44, size);
       },
       kFileCorrupted},
  };
  hfstest::ScratchDir dir;
  for (const BadJournal& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = dir.File("bad.img");
    ASSERT_TRUE(hfstest::MakeImage(image, "-J", 128));
    ASSERT_TRUE(hfstest::JournalTool("write " + image + " plain"));
    c.damage(image);
    const std::string before = Digest(image);
    EXPECT_EQ(CodeOf([&] { Mounted m(image); }), c.code);
    EXPECT_TRUE(Digest(image) == before);
  }
}

// The replay map: a newer run replaces what it covers of older runs, those
// that begin before it included.
TEST(HfsJournal, ReplayMapKeepsTheNewestCopyOfEverySector) {
  struct Step {
    std::uint64_t target, journal, count;
  };
  struct MapCase {
    const char* name;
    std::vector<Step> inserts;
  };
  const MapCase cases[] = {
      {"disjoint", {{10, 1000, 4}, {20, 2000, 4}}},
      {"same", {{10, 1000, 4}, {10, 2000, 4}}},
      {"inside", {{10, 1000, 8}, {12, 2000, 2}}},
      {"startsBefore", {{10, 1000, 8}, {14, 2000, 8}}},
      {"endsAfter", {{14, 1000, 8}, {10, 2000, 8}}},
      {"covers", {{12, 1000, 2}, {14, 1100, 2}, {10, 2000, 10}}},
      {"chain", {{10, 1000, 8}, {12, 2000, 2}, {11, 3000, 6}, {9, 4000, 1}}},
  };
  for (const MapCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReplayMap map;
    std::map<std::uint64_t, std::uint64_t> naive;  // target -> journal sector
    for (const Step& s : c.inserts) {
      map.Insert({SectorArea::FromCount(s.target, s.count), SectorArea::FromCount(s.journal, s.count)});
      for (std::uint64_t i = 0; i < s.count; ++i) naive[s.target + i] = s.journal + i;
    }
    std::map<std::uint64_t, std::uint64_t> seen;
    std::uint64_t lastEnd = 0;
    for (const auto& e : map.Items()) {
      EXPECT_GE(e.second.target.first, lastEnd);  // no overlaps
      lastEnd = e.second.target.last + 1;
      for (std::uint64_t i = 0; i < e.second.target.Length(); ++i) {
        seen[e.second.target.first + i] = e.second.journal.first + i;
      }
    }
    EXPECT_EQ(seen, naive);
    // Clip walks a range piece by piece to the same answer.
    SectorArea rest(5, 30);
    while (!rest.Empty()) {
      const ReplayItem piece = map.Clip(rest);
      ASSERT_FALSE(piece.target.Empty());
      for (std::uint64_t i = 0; i < piece.target.Length(); ++i) {
        const std::uint64_t t = piece.target.first + i;
        const auto found = naive.find(t);
        EXPECT_EQ(piece.journal.first + i, found == naive.end() ? t : found->second);
      }
      rest.TakeFront(piece.target.Length());
    }
  }
  ReplayMap map;
  EXPECT_EQ(CodeOf([&] { map.Insert({SectorArea(1, 4), SectorArea(10, 12)}); }), kFileNotSupported);
}

TEST(HfsJournal, ChecksumMatchesThePublishedExample) {
  // c = (c << 8) ^ (c + b), inverted: for the bytes 1, 2 the steps give
  // c = 1, then (1 << 8) ^ (1 + 2) = 259, stored as ~259.
  const std::uint8_t bytes[] = {1, 2};
  EXPECT_EQ(JournalChecksum(bytes, 2), ~std::uint32_t(259));
  EXPECT_EQ(JournalChecksum(bytes, 0), ~std::uint32_t(0));
}

}  // namespace

#endif
