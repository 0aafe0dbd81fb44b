// Parity RAID plexes: chunk mapping, rebuilding reads, read-modify-write
// parity and the refusals of a failed plex.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "data/dm_test_kit.h"
#include "fdisk/dm_raid.h"

namespace {

using namespace DmTest;
namespace DM = Fdisk::DM;
using Fdisk::kIoRead;
using Fdisk::kIoWrite;

struct MapCase {
  bool raid5;
  int layout;
  std::uint64_t chunk;
  std::uint64_t stripe;
  std::uint32_t parity;
  std::uint32_t data;
};

TEST(ChunkIndex, MapsChunksToStripesAndColumns) {
  const MapCase cases[] = {
      {true, 0, 0, 0, 3, 0}, {true, 0, 3, 1, 2, 0}, {true, 0, 5, 1, 2, 3},
      {true, 1, 3, 1, 2, 3}, {true, 1, 4, 1, 2, 0}, {true, 2, 3, 1, 1, 0},
      {true, 2, 4, 1, 1, 2}, {true, 3, 3, 1, 1, 2}, {true, 3, 12, 4, 0, 1},
      {true, 1, 12, 4, 3, 0}, {false, 0, 7, 2, 3, 1}, {false, 1, 7, 2, 3, 1},
  };
  for (const MapCase& c : cases) {
    DM::ChunkIndex4 four;
    DM::ChunkIndex5 five;
    DM::ChunkIndex& index = c.raid5 ? static_cast<DM::ChunkIndex&>(five) : four;
    const DM::ChunkResult r = index.Map(DM::LayoutType(c.layout), c.chunk, 3, 4);
    EXPECT_EQ(r.stripe, c.stripe) << c.layout << "/" << c.chunk;
    EXPECT_EQ(r.parityColumn, c.parity) << c.layout << "/" << c.chunk;
    EXPECT_EQ(r.dataColumn, c.data) << c.layout << "/" << c.chunk;
    EXPECT_EQ(index.dataColumn, c.data) << "the index keeps its last answer";
  }
}

// A RAID-5 plex of `columns` columns, column i on disk i + 1 from sector 0.
std::uint32_t Raid5(Volume& v, std::uint32_t columns, unsigned chunk, std::uint64_t sectors,
                    int layout = 0) {
  const std::uint32_t plex = v.AddPlex(DM::kPlexRaid5, chunk, layout);
  for (std::uint32_t i = 0; i < columns; ++i) v.AddExtent(plex, i, v.AddDisk(sectors), 0, sectors);
  return plex;
}

DM::RaidParityBase& Io(Volume& v, std::uint32_t plex) {
  return *static_cast<DM::RaidParityBase*>(v.Simple(plex).GetPlexIO());
}

void ClearLogs(Volume& v, std::uint32_t disks) {
  for (std::uint32_t d = 1; d <= disks; ++d) v.Disk(d).ClearLog();
}

TEST(RaidRead, PiecesFollowChunks) {
  Volume v;
  const std::uint32_t plex = Raid5(v, 4, 128, 512);
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(v.Read(100, out, 256));
  // Chunk 0 on column 0, chunk 1 on column 1, chunk 2 on column 2.
  EXPECT_EQ(v.Disk(1).Log(), (std::vector<Request>{{kIoRead, 100, 28}}));
  EXPECT_EQ(v.Disk(2).Log(), (std::vector<Request>{{kIoRead, 0, 128}}));
  EXPECT_EQ(v.Disk(3).Log(), (std::vector<Request>{{kIoRead, 0, 100}}));
  EXPECT_TRUE(v.Disk(4).Log().empty());
  EXPECT_EQ(Io(v, plex).Status(), DM::kPlexHealthy);
}

TEST(RaidRead, MissingDataColumnIsRebuiltFromTheOthers) {
  Volume v;
  // Keys 0, 1, 2 and 4: four columns, of which key 3 is missing.
  const std::uint32_t plex = v.AddPlex(DM::kPlexRaid5, 8, 0);
  for (std::uint32_t key : {0u, 1u, 2u, 4u}) v.AddExtent(plex, key, v.AddDisk(64), 0, 64);
  for (std::uint32_t d = 1; d <= 3; ++d) {
    const std::vector<std::uint8_t> fill = Pattern(64, d * 1000);
    std::memcpy(v.Disk(d).Bytes(), fill.data(), fill.size());
  }
  // Layout 0, stripe 1: parity on column 2; chunk 5 is its data column 3.
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(v.Read(5 * 8 + 2, out, 3));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::size_t at = (8 + 2) * kSector + i;
    ASSERT_EQ(out[i], v.Disk(1).Bytes()[at] ^ v.Disk(2).Bytes()[at] ^ v.Disk(3).Bytes()[at]) << i;
  }
  EXPECT_EQ(Io(v, plex).Status(), DM::kPlexDegraded);
}

TEST(RaidRead, TwoLostColumnsFailThePlex) {
  Volume v;
  const std::uint32_t plex = Raid5(v, 4, 8, 64);
  v.Disk(1).Fail(0, 0, 64);
  v.Disk(2).Fail(0, 0, 64);
  std::vector<std::uint8_t> out(kSector);
  EXPECT_EQ(Code(Io(v, plex).Io(kIoRead, 0, out.data(), 1)), DM::kErrPlexIo);
  EXPECT_EQ(Io(v, plex).Status(), DM::kPlexFailed);
  EXPECT_EQ(Code(v.Read(0, out, 1)), DM::kErrNoHealthyPlex);
  EXPECT_EQ(v.Io().Status(), DM::kVolumeFailed);
}

TEST(RaidWrite, OneSectorTouchesOnlyItsRow) {
  Volume v;
  const std::uint32_t plex = Raid5(v, 4, 8, 64);
  // A write to another stripe first: its stripe is on disk already and is
  // not written again when the cache moves on.
  ASSERT_FALSE(v.Write(24 * 2, Pattern(4, 6)));
  ClearLogs(v, 4);
  // Sector 8 + 3: chunk 1, data column 1, parity column 3, column sector 3.
  ASSERT_FALSE(v.Write(11, Pattern(1, 5)));
  EXPECT_EQ(v.Disk(1).Log(), (std::vector<Request>{{kIoRead, 3, 1}}));
  EXPECT_EQ(v.Disk(2).Log(), (std::vector<Request>{{kIoWrite, 3, 1}}));
  EXPECT_EQ(v.Disk(3).Log(), (std::vector<Request>{{kIoRead, 3, 1}}));
  EXPECT_EQ(v.Disk(4).Log(), (std::vector<Request>{{kIoWrite, 3, 1}}));
  EXPECT_EQ(Io(v, plex).Status(), DM::kPlexHealthy);
}

TEST(RaidWrite, ParityIsTheXorOfTheRow) {
  Volume v;
  Raid5(v, 3, 4, 32, 1);
  for (std::uint32_t d = 1; d <= 3; ++d) {
    const std::vector<std::uint8_t> fill = Pattern(32, d * 77);
    std::memcpy(v.Disk(d).Bytes(), fill.data(), fill.size());
  }
  // Rows 0 and 1 written in part: parity must cover new and old data alike.
  ASSERT_FALSE(v.Write(2, Pattern(9, 400)));
  // Rows 0 to 6 hold written chunks; row 7 was never part of a write.
  for (std::uint64_t row = 0; row < 7; ++row) {
    const std::uint64_t stripe = row / 4;
    const std::uint32_t parity = std::uint32_t(2 - stripe % 3);  // left-symmetric, 3 columns
    for (std::uint32_t b = 0; b < kSector; ++b) {
      std::uint8_t x = 0;
      for (std::uint32_t d = 0; d < 3; ++d) {
        if (d != parity) x ^= v.Disk(d + 1).SectorAt(row)[b];
      }
      ASSERT_EQ(v.Disk(parity + 1).SectorAt(row)[b], x) << "row " << row;
    }
  }
}

// Data written into the failed column itself is kept in the parity, and a
// later read rebuilds it.
TEST(RaidWrite, DataForALostColumnLivesOnInTheParity) {
  Volume v;
  const std::uint32_t plex = Raid5(v, 4, 8, 64);
  v.Disk(2).Fail(0, 0, 64);
  // Chunks 0 and 1: columns 0 and 1 (lost). Part of the lost column's rows
  // must be rebuilt to compute the parity, part comes from this write.
  const std::vector<std::uint8_t> data = Pattern(5, 31);
  ASSERT_FALSE(v.Write(6, data));
  EXPECT_EQ(Io(v, plex).Status(), DM::kPlexDegraded);
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(v.Read(6, out, 5));
  EXPECT_TRUE(out == data);
  // A second write to the same stripe, on a column still alive.
  const std::vector<std::uint8_t> more = Pattern(3, 90);
  ASSERT_FALSE(v.Write(17, more));
  ASSERT_FALSE(v.Read(6, out, 5));
  EXPECT_TRUE(out == data);
  ASSERT_FALSE(v.Read(17, out, 3));
  EXPECT_TRUE(out == more);
}

TEST(RaidWrite, TwoLostColumnsFailThePlexAndLaterWritesAreRefused) {
  Volume v;
  const std::uint32_t plex = Raid5(v, 4, 8, 64);
  v.Disk(1).Fail(0, 0, 64);
  v.Disk(3).Fail(0, 0, 64);
  std::vector<std::uint8_t> data = Pattern(1, 1);
  EXPECT_EQ(Code(Io(v, plex).Io(kIoWrite, 8, data.data(), 1)), DM::kErrPlexIo);
  EXPECT_EQ(Io(v, plex).Status(), DM::kPlexFailed);
  ClearLogs(v, 4);
  EXPECT_EQ(Code(Io(v, plex).Io(kIoWrite, 30, data.data(), 1)), DM::kErrPlexIo);
  for (std::uint32_t d = 1; d <= 4; ++d) EXPECT_TRUE(v.Disk(d).Log().empty()) << d;
  // Reads still try: chunk 1 lies on column 1, which is alive.
  std::vector<std::uint8_t> out(kSector);
  EXPECT_FALSE(Io(v, plex).Io(kIoRead, 9, out.data(), 1));
}

TEST(RaidWrite, FailedWriteBackOfOneColumnDegrades) {
  Volume v;
  const std::uint32_t plex = Raid5(v, 4, 8, 64);
  v.Disk(3).Fail(kIoWrite, 0, 64);
  ASSERT_FALSE(v.Write(16, Pattern(2, 8)));  // chunk 2: data column 2
  EXPECT_EQ(Io(v, plex).Status(), DM::kPlexDegraded);
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(v.Read(16, out, 2));
}

// A write over two stripes whose first stripe cannot be written back
// (two columns refuse it) reports that failure, not the later success.
TEST(RaidWrite, FirstStripesFailedWriteBackIsReported) {
  Volume v;
  const std::uint32_t plex = Raid5(v, 4, 8, 64);
  v.Disk(1).Fail(kIoWrite, 0, 8);
  v.Disk(3).Fail(kIoWrite, 0, 8);
  std::vector<std::uint8_t> data = Pattern(48, 3);
  EXPECT_EQ(Code(Io(v, plex).Io(kIoWrite, 0, data.data(), 48)), DM::kErrPlexIo);
}

TEST(RaidIo, UnusableShapesAreRefused) {
  namespace K = Fdisk::NamedVars::Keys;
  struct Shape {
    DM::PlexType type;
    std::uint32_t columns;
    unsigned chunk;
    int layout;
  };
  const Shape shapes[] = {
      {DM::kPlexRaid5, 1, 8, 0},  // no room for data beside the parity
      {DM::kPlexRaid4, 1, 8, 0},
      {DM::kPlexRaid5, 3, 0, 0},  // zero chunk
      {DM::kPlexRaid5, 3, 8, 4},  // unknown rotation
  };
  for (const Shape& s : shapes) {
    Volume v;
    Fdisk::NamedVars::VarContainer vars;
    vars.Set(K::PlexTypeName, s.type);
    vars.Set(K::ChunkSize, s.chunk);
    vars.Set(K::LayoutName, DM::LayoutType(s.layout));
    const std::uint32_t plex = v.Plextor().AddPlex(vars, &v.Map());
    for (std::uint32_t i = 0; i < s.columns; ++i) v.AddExtent(plex, i, v.AddDisk(64), 0, 64);
    std::vector<std::uint8_t> buffer(kSector);
    DM::PlexIO& io = *v.Simple(plex).GetPlexIO();
    EXPECT_EQ(Code(io.Io(kIoRead, 0, buffer.data(), 1)), DM::kErrPlexIo) << s.columns;
    EXPECT_EQ(Code(io.Io(kIoWrite, 0, buffer.data(), 1)), DM::kErrPlexIo) << s.columns;
    EXPECT_TRUE(v.Disk(1).Log().empty());
  }
}

// A request reaching past the last stripe is the caller's mistake, not a
// sign of failing columns: it is refused without touching the plex.
TEST(RaidIo, PastTheEndIsRefusedAndLeavesThePlexHealthy) {
  Volume v;
  const std::uint32_t plex = Raid5(v, 4, 8, 20);  // two whole stripes: 48 sectors
  ClearLogs(v, 4);
  std::vector<std::uint8_t> data = Pattern(4, 1);
  for (std::uint32_t op : {kIoWrite, kIoRead}) {
    EXPECT_EQ(Code(Io(v, plex).Io(op, 46, data.data(), 4)), DM::kErrPositionOverflow);
    EXPECT_EQ(Code(Io(v, plex).Io(op, ~std::uint64_t(0), data.data(), 2)),
              DM::kErrPositionOverflow);
  }
  for (std::uint32_t d = 1; d <= 4; ++d) EXPECT_TRUE(v.Disk(d).Log().empty());
  EXPECT_EQ(Io(v, plex).Status(), DM::kPlexHealthy);
  EXPECT_FALSE(Io(v, plex).Io(kIoWrite, 44, data.data(), 4));
}

TEST(RaidIo, OtherOpsDoNothing) {
  Volume v;
  const std::uint32_t plex = Raid5(v, 3, 8, 64);
  std::vector<std::uint8_t> buffer(kSector);
  EXPECT_FALSE(Io(v, plex).Io(Fdisk::kIoInvalidate, 0, buffer.data(), 1));
  for (std::uint32_t d = 1; d <= 3; ++d) EXPECT_TRUE(v.Disk(d).Log().empty());
}

// Requests on disjoint volume ranges run side by side, yet may share a
// stripe and its parity: the parity still matches the data afterwards.
TEST(RaidWrite, DisjointWritersSharingAStripeKeepParity) {
  Volume v;
  Raid5(v, 4, 8, 16);
  std::vector<std::thread> writers;
  for (std::uint32_t w = 0; w < 3; ++w) {
    writers.emplace_back([&v, w] {
      for (std::uint32_t round = 0; round < 40; ++round) {
        // Writer w owns chunk w of stripe 0 and of stripe 1.
        const std::uint64_t sector = (round % 2) * 24 + w * 8 + round % 8;
        EXPECT_FALSE(v.Write(sector, Pattern(1, round * 3 + w)));
      }
    });
  }
  for (std::thread& t : writers) t.join();
  for (std::uint64_t row = 0; row < 16; ++row) {
    for (std::uint32_t b = 0; b < kSector; ++b) {
      std::uint8_t x = 0;
      for (std::uint32_t d = 1; d <= 4; ++d) x ^= v.Disk(d).SectorAt(row)[b];
      ASSERT_EQ(x, 0) << "row " << row;
    }
  }
}

TEST(Raid4, ParityStaysOnTheLastColumn) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexRaid4, 8, 3);  // layout ignored
  for (std::uint32_t i = 0; i < 4; ++i) v.AddExtent(plex, i, v.AddDisk(64), 0, 64);
  ClearLogs(v, 4);
  ASSERT_FALSE(v.Write(7 * 8, Pattern(1, 2)));  // chunk 7: stripe 2, data column 1
  EXPECT_EQ(v.Disk(2).Writes(), (std::vector<Request>{{kIoWrite, 16, 1}}));
  EXPECT_EQ(v.Disk(4).Writes(), (std::vector<Request>{{kIoWrite, 16, 1}}));
  EXPECT_TRUE(v.Disk(1).Writes().empty());
  EXPECT_TRUE(v.Disk(3).Writes().empty());
}

}  // namespace
