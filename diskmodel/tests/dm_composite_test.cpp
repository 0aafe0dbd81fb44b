// Composite volumes assembled through the builder.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "data/dm_test_kit.h"
#include "fdisk/dm_composite.h"
#include "test_helpers.h"

namespace {

using namespace DmTest;
namespace DM = Fdisk::DM;
namespace K = Fdisk::NamedVars::Keys;

Fdisk::NamedVars::VarContainer PlexVars(DM::PlexType type) {
  Fdisk::NamedVars::VarContainer vars;
  vars.Set(K::PlexTypeName, type);
  return vars;
}

class Listener : public DM::MessageListener {
 public:
  void OnMessage(const DM::Message&) override { ++count; }
  int count = 0;
};

TEST(CompositeBuilder, BuildsAMirrorThatReadsAndWrites) {
  MemberDisk a(64), b(64);
  DM::CompositeVolumeBuilder builder({}, DM::DiskMap{{7, &a}, {9, &b}});
  const std::uint32_t first = builder.AddPlex(PlexVars(DM::kPlexSimple));
  const std::uint32_t second = builder.AddPlex(PlexVars(DM::kPlexSimple));
  builder.AddSubDisk(first, 0, 0, 64, 7, true);
  builder.AddSubDisk(second, 0, 0, 64, 9, true);
  std::unique_ptr<DM::CompositeVolume> volume = builder.Release();
  ASSERT_TRUE(volume);
  EXPECT_EQ(volume->Plextor().Plexes().size(), 2u);
  EXPECT_EQ(volume->Disks().size(), 2u);

  auto listener = std::make_shared<Listener>();
  volume->Dispatcher().AddListener(listener);
  std::vector<std::uint8_t> data = Pattern(4, 2);
  ASSERT_FALSE(volume->GetIO().Io(Fdisk::kIoWrite, 3, data.data(), 4));
  EXPECT_EQ(0, std::memcmp(a.SectorAt(3), data.data(), data.size()));
  EXPECT_EQ(0, std::memcmp(b.SectorAt(3), data.data(), data.size()));

  b.Fail(Fdisk::kIoWrite, 0, 64);
  ASSERT_FALSE(volume->GetIO().Io(Fdisk::kIoWrite, 3, data.data(), 4));
  EXPECT_EQ(listener->count, 1) << "the failing sub-disk was reported through the volume";
  EXPECT_EQ(volume->GetIO().Status(), DM::kVolumeDegraded);
}

TEST(CompositeBuilder, CompositeDescriptionsAddNoPlex) {
  DM::CompositeVolumeBuilder builder({}, {});
  Fdisk::NamedVars::VarContainer whole = PlexVars(DM::kPlexSimple);
  whole.Set(K::Composite, true);
  EXPECT_EQ(builder.AddPlex(whole), 0u);
  Fdisk::NamedVars::VarContainer copy = PlexVars(DM::kPlexSimple);
  copy.Set(K::Composite, false);
  EXPECT_NE(builder.AddPlex(copy), 0u);
  EXPECT_EQ(builder.Release()->Plextor().Plexes().size(), 1u);
}

TEST(CompositeBuilder, UnknownPlexThrowsAndChangesNothing) {
  MemberDisk a(8);
  DM::CompositeVolumeBuilder builder({}, DM::DiskMap{{1, &a}});
  const std::uint32_t plex = builder.AddPlex(PlexVars(DM::kPlexSimple));
  EXPECT_EQ(DiskModelTest::ThrownCode([&] { builder.AddSubDisk(plex + 1000, 0, 0, 8, 1, true); }),
            DM::kErrInvalidPlexId);
  std::unique_ptr<DM::CompositeVolume> volume = builder.Release();
  const auto& simple = static_cast<const DM::SimplePlex&>(*volume->Plextor().Plexes().at(plex));
  EXPECT_TRUE(simple.Extents().empty());
  EXPECT_TRUE(simple.Columns().empty());
}

}  // namespace
