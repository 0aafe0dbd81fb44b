// Columns of sub-disk extents, failure reports, and simple and striped plex
// I/O.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "data/dm_test_kit.h"

namespace {

using namespace DmTest;
namespace DM = Fdisk::DM;
using Fdisk::kIoRead;
using Fdisk::kIoWrite;

class CountingListener : public DM::MessageListener, public DM::MessageVisitor {
 public:
  void OnMessage(const DM::Message& message) override { message.Accept(*this); }
  void Visit(const DM::SubDiskErrorMessage& m) override { received.push_back(m); }
  std::vector<DM::SubDiskErrorMessage> received;
};

TEST(StripedPlex, ChunksGoToColumnsInTurn) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexStriped, 128);
  for (std::uint32_t i = 0; i < 3; ++i) v.AddExtent(plex, i, v.AddDisk(1024), 0, 1024);
  std::vector<std::uint8_t> out;

  ASSERT_FALSE(v.Read(300, out, 1));
  EXPECT_TRUE(v.Disk(1).Log().empty());
  EXPECT_TRUE(v.Disk(2).Log().empty());
  EXPECT_EQ(v.Disk(3).Log(), (std::vector<Request>{{kIoRead, 44, 1}}));

  v.Disk(3).ClearLog();
  ASSERT_FALSE(v.Write(100, Pattern(200, 1)));
  EXPECT_EQ(v.Disk(1).Writes(), (std::vector<Request>{{kIoWrite, 100, 28}}));
  EXPECT_EQ(v.Disk(2).Writes(), (std::vector<Request>{{kIoWrite, 0, 128}}));
  EXPECT_EQ(v.Disk(3).Writes(), (std::vector<Request>{{kIoWrite, 0, 44}}));
  // The second row of chunks starts one chunk into each column.
  v.Disk(1).ClearLog();
  ASSERT_FALSE(v.Read(3 * 128 + 5, out, 1));
  EXPECT_EQ(v.Disk(1).Log(), (std::vector<Request>{{kIoRead, 128 + 5, 1}}));
}

TEST(StripedPlex, DefaultChunkIs128Sectors) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexStriped);
  for (std::uint32_t i = 0; i < 2; ++i) v.AddExtent(plex, i, v.AddDisk(512), 0, 512);
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(v.Read(127, out, 2));
  EXPECT_EQ(v.Disk(1).Log(), (std::vector<Request>{{kIoRead, 127, 1}}));
  EXPECT_EQ(v.Disk(2).Log(), (std::vector<Request>{{kIoRead, 0, 1}}));
}

TEST(StripedPlex, ZeroChunkSizeIsRefusedNotDividedBy) {
  Volume v;
  namespace K = Fdisk::NamedVars::Keys;
  Fdisk::NamedVars::VarContainer vars;
  vars.Set(K::PlexTypeName, DM::kPlexStriped);
  vars.Set(K::ChunkSize, 0u);
  const std::uint32_t plex = v.Plextor().AddPlex(vars, &v.Map());
  v.AddExtent(plex, 0, v.AddDisk(64), 0, 64);
  DM::PlexIO* io = v.Simple(plex).GetPlexIO();
  std::vector<std::uint8_t> out(512);
  EXPECT_EQ(Code(io->Io(kIoRead, 0, out.data(), 1)), DM::kErrPlexIo);
  EXPECT_TRUE(v.Disk(1).Log().empty());
}

TEST(StripedPlex, FailingColumnStopsTheRequest) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexStriped, 8);
  for (std::uint32_t i = 0; i < 3; ++i) v.AddExtent(plex, i, v.AddDisk(64), 0, 64);
  v.Disk(2).Fail(kIoWrite, 0, 64);
  auto* io = static_cast<DM::Raid0PlexIO*>(v.Simple(plex).GetPlexIO());
  std::vector<std::uint8_t> data = Pattern(24, 3);
  EXPECT_EQ(Code(io->Io(kIoWrite, 0, data.data(), 24)), DM::kErrPlexIo);
  EXPECT_EQ(io->Status(), DM::kPlexFailed);
  // The first chunk went out before the failure, the third never did.
  EXPECT_EQ(v.Disk(1).Writes().size(), 1u);
  EXPECT_TRUE(v.Disk(3).Log().empty());
}

TEST(Column, ExtentsAreLaidEndToEnd) {
  Volume v;
  const std::uint32_t a = v.AddDisk(64);
  const std::uint32_t b = v.AddDisk(256);
  const std::uint32_t plex = v.AddPlex(DM::kPlexSimple);
  v.AddExtent(plex, 0, a, 10, 5);
  v.AddExtent(plex, 0, b, 100, 20);
  const std::vector<std::uint8_t> data = Pattern(6, 9);
  ASSERT_FALSE(v.Write(3, data));
  EXPECT_EQ(v.Disk(a).Writes(), (std::vector<Request>{{kIoWrite, 13, 2}}));
  EXPECT_EQ(v.Disk(b).Writes(), (std::vector<Request>{{kIoWrite, 100, 4}}));
  EXPECT_EQ(0, std::memcmp(v.Disk(a).SectorAt(13), data.data(), 2 * kSector));
  EXPECT_EQ(0, std::memcmp(v.Disk(b).SectorAt(100), data.data() + 2 * kSector, 4 * kSector));
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(v.Read(3, out, 6));
  EXPECT_TRUE(out == data);
}

TEST(Column, PastTheEndFailsBeforeAnyDiskAccess) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexSimple);
  v.AddExtent(plex, 0, v.AddDisk(64), 0, 10);
  v.AddExtent(plex, 0, v.AddDisk(64), 0, 10);
  DM::SubIO& column = *v.Simple(plex).Columns().at(0);
  std::vector<std::uint8_t> out(30 * kSector);
  EXPECT_EQ(Code(column.Io(kIoRead, 15, out.data(), 6)), DM::kErrPositionOverflow);
  EXPECT_EQ(Code(column.Io(kIoRead, ~std::uint64_t(0), out.data(), 2)), DM::kErrPositionOverflow);
  EXPECT_TRUE(v.Disk(1).Log().empty());
  EXPECT_TRUE(v.Disk(2).Log().empty());
  EXPECT_FALSE(column.Io(kIoRead, 15, out.data(), 5));
  EXPECT_FALSE(column.Io(kIoRead, 5, out.data(), 0)) << "an empty request";
  auto& sdu = static_cast<DM::SubDiskUnion&>(column);
  EXPECT_EQ(DmTest::Code([&] {
              try {
                sdu.Locate(20);
              } catch (const DM::Error& e) {
                return Common::Error(e);
              }
              return Common::Error();
            }()),
            DM::kErrPositionOverflow);
}

TEST(Column, FailedExtentIsNotTouchedAgainAndReportedOnce) {
  Volume v;
  auto listener = std::make_shared<CountingListener>();
  v.Dispatcher().AddListener(listener);
  const std::uint32_t plex = v.AddPlex(DM::kPlexSimple);
  v.AddExtent(plex, 0, v.AddDisk(64), 0, 16);
  v.AddExtent(plex, 0, v.AddDisk(64), 32, 16);
  v.Disk(2).Fail(kIoWrite, 40, 1);
  DM::SubIO& column = *v.Simple(plex).Columns().at(0);

  std::vector<std::uint8_t> data = Pattern(4, 1);
  EXPECT_EQ(Code(column.Io(kIoWrite, 22, data.data(), 4)), DM::kErrSubDiskSkipped);
  ASSERT_EQ(listener->received.size(), 1u);
  const DM::SubDiskErrorMessage& m = listener->received[0];
  EXPECT_EQ(m.columnKey, 0u);
  EXPECT_EQ(m.start, 32u);
  EXPECT_EQ(m.length, 16u);
  EXPECT_EQ(m.diskId, 2u);
  EXPECT_EQ(m.failedFlag, 1u);
  EXPECT_EQ(Code(m.error), Fdisk::kErrInvalidIo);
  EXPECT_TRUE(v.Simple(plex).Extents()[1].failed.load());

  v.Disk(2).ClearLog();
  std::vector<std::uint8_t> out(kSector);
  EXPECT_EQ(Code(column.Io(kIoRead, 17, out.data(), 1)), DM::kErrSubDiskSkipped);
  EXPECT_TRUE(v.Disk(2).Log().empty());
  EXPECT_EQ(listener->received.size(), 1u);
  // The other extent still serves.
  EXPECT_FALSE(column.Io(kIoRead, 3, out.data(), 1));
}

TEST(Column, UnusableExtentAndUnknownDisk) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexSimple);
  v.AddExtent(plex, 0, v.AddDisk(64), 0, 8, /*usable=*/false);
  v.AddExtent(plex, 0, 77, 0, 8);
  DM::SubIO& column = *v.Simple(plex).Columns().at(0);
  std::vector<std::uint8_t> out(kSector);
  EXPECT_EQ(Code(column.Io(kIoRead, 2, out.data(), 1)), DM::kErrSubDiskSkipped);
  EXPECT_TRUE(v.Disk(1).Log().empty());
  EXPECT_EQ(Code(column.Io(kIoRead, 9, out.data(), 1)), Fdisk::kErrDiskNotFound);
}

TEST(Dispatcher, SkipsListenersThatAreGone) {
  DM::MessageDispatcher dispatcher;
  auto gone = std::make_shared<CountingListener>();
  auto live = std::make_shared<CountingListener>();
  dispatcher.AddListener(gone);
  dispatcher.AddListener(live);
  gone.reset();
  DM::SubDiskExtent extent(3, 10, 20, 4, false);
  dispatcher.Post(std::make_unique<DM::SubDiskErrorMessage>(extent, Common::Error(1, 2, 0x102001)));
  ASSERT_EQ(live->received.size(), 1u);
  EXPECT_EQ(live->received[0].columnKey, 3u);
  EXPECT_EQ(live->received[0].diskId, 4u);
}

TEST(SimplePlex, UsesItsLowestColumnAndFailsWithIt) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexSimple);
  v.AddExtent(plex, 2, v.AddDisk(64), 0, 64);
  v.AddExtent(plex, 1, v.AddDisk(64), 0, 64);
  auto* io = static_cast<DM::SimplePlexIO*>(v.Simple(plex).GetPlexIO());
  std::vector<std::uint8_t> out(kSector);
  ASSERT_FALSE(io->Io(kIoRead, 5, out.data(), 1));
  EXPECT_EQ(v.Disk(2).Log(), (std::vector<Request>{{kIoRead, 5, 1}}));
  EXPECT_TRUE(v.Disk(1).Log().empty());
  v.Disk(2).Fail(kIoRead, 9, 1);
  EXPECT_EQ(Code(io->Io(kIoRead, 9, out.data(), 1)), DM::kErrPlexIo);
  EXPECT_EQ(io->Status(), DM::kPlexFailed);
}

TEST(SimplePlex, NoColumnIsAFailedPlex) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexSimple);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(Code(v.Read(0, out, 1)), DM::kErrNoHealthyPlex);
  EXPECT_EQ(static_cast<DM::SimplePlexIO*>(v.Simple(plex).GetPlexIO())->Status(),
            DM::kPlexFailed);
}

TEST(PlexStatus, StartsFromTheVariableAndOnlyRises) {
  namespace K = Fdisk::NamedVars::Keys;
  Volume v;
  Fdisk::NamedVars::VarContainer vars;
  vars.Set(K::PlexTypeName, DM::kPlexSimple);
  vars.Set(K::PlexStatus, DM::kPlexDegraded);
  const std::uint32_t plex = v.Plextor().AddPlex(vars, &v.Map());
  v.AddExtent(plex, 0, v.AddDisk(8), 0, 8);
  auto* io = static_cast<DM::SimplePlexIO*>(v.Simple(plex).GetPlexIO());
  EXPECT_EQ(io->Status(), DM::kPlexDegraded);
  std::vector<std::uint8_t> out(kSector);
  ASSERT_FALSE(io->Io(kIoRead, 0, out.data(), 1));
  EXPECT_EQ(io->Status(), DM::kPlexDegraded) << "a success lowers nothing";
}

}  // namespace

// Buffers hold 512 bytes a sector: a member with larger sectors is refused
// before any transfer, whatever the plex type, instead of being handed a
// buffer an eighth of the size it writes.
TEST(MemberSectorSize, LargerSectorsAreRefusedBeforeAnyTransfer) {
  struct Case {
    DM::PlexType type;
    std::uint32_t columns;
  };
  for (const Case c : {Case{DM::kPlexSimple, 1}, Case{DM::kPlexStriped, 2},
                       Case{DM::kPlexRaid5, 3}}) {
    SCOPED_TRACE(int(c.type));
    Volume v;
    const std::uint32_t plex = c.type == DM::kPlexRaid5 ? v.AddPlex(c.type, 8, DM::kLeftSymmetric)
                                                        : v.AddPlex(c.type, 8);
    for (std::uint32_t i = 0; i < c.columns; ++i) {
      v.AddExtent(plex, i, v.AddDisk(64, 4096), 0, 64);
    }
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(v.Read(0, out, 1));
    EXPECT_EQ(out, std::vector<std::uint8_t>(kSector, 0));
    EXPECT_TRUE(v.Write(0, Pattern(1, 9)));
    for (std::uint32_t d = 1; d <= c.columns; ++d) {
      EXPECT_TRUE(v.Disk(d).Log().empty());
      EXPECT_EQ(std::vector<std::uint8_t>(v.Disk(d).Bytes(), v.Disk(d).Bytes() + v.Disk(d).Size()),
                std::vector<std::uint8_t>(v.Disk(d).Size(), 0));
    }
  }
}
