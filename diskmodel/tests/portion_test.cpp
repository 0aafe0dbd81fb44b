// Portions and their locations.
#include <gtest/gtest.h>

#include "fdisk/portion.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;

TEST(PSPortion, CopiesKeepTheIdWithAClonedLocation) {
  MemoryDisk disk(1000);
  auto location = std::make_unique<Fdisk::MbrLocation>();
  location->diskId = 9;
  location->firstSector = 100;
  location->sectorCount = 50;
  location->view = std::make_shared<Fdisk::ContiguousDisk>(disk, 100, 50);
  Fdisk::PSPortion original(77, std::move(location), false, Fdisk::kAccessOffline);

  Fdisk::Layer layer;
  layer.emplace(original.GetId(), original);
  Fdisk::PSPortion back = layer.at(original.GetId());
  EXPECT_EQ(back.GetId(), original.GetId());
  EXPECT_EQ(back.GetDriverId(), 77u);
  EXPECT_FALSE(back.IsFree());
  EXPECT_NE(&back.GetLocation(), &original.GetLocation());
  // Both clones show the partition through the one shared window.
  EXPECT_EQ(back.GetLocation().GetDisk(), original.GetLocation().GetDisk());
  EXPECT_EQ(back.GetView().AccessMode(), Fdisk::kAccessOffline);
  EXPECT_EQ(back.GetView().GetSectorCount(), 49u);

  Fdisk::PSPortion other(1, std::make_unique<Fdisk::MbrLocation>(), true, Fdisk::kAccessFull);
  other = original;
  EXPECT_EQ(other.GetId(), original.GetId());
  EXPECT_EQ(other.GetDriverId(), 77u);
  EXPECT_EQ(other.GetView().AccessMode(), Fdisk::kAccessOffline);
}

TEST(PSPortion, ADefaultPortionCannotBeMade) {
  Fdisk::Layer layer;
  EXPECT_EQ(ThrownCode([&] { layer[12345]; }), Fdisk::kErrNotImplemented);
  EXPECT_TRUE(layer.empty());
  Fdisk::DummyLocation dummy;
  Fdisk::LocationVisitor visitor;
  EXPECT_EQ(ThrownCode([&] { dummy.Accept(visitor); }), Fdisk::kErrNotImplemented);
}

TEST(LdmLocation, ClonesShareTheVolumeDisk) {
  Fdisk::LdmExtentMap extents;
  extents[0].diskId = 5;
  extents[1].diskId = 7;
  auto volume = std::make_shared<MemoryDisk>(100);
  Fdisk::LdmLocation location(extents, volume, true, false);
  location.SetSize(100);
  location.SetVolumeType(Fdisk::kLdmVolSpanned);
  std::unique_ptr<Fdisk::PSPortion::Location> clone(location.Clone());
  auto* ldm = dynamic_cast<Fdisk::LdmLocation*>(clone.get());
  ASSERT_NE(ldm, nullptr);
  EXPECT_EQ(ldm->GetDisk(), volume.get());
  EXPECT_EQ(ldm->GetExtents().size(), 2u);
  EXPECT_EQ(ldm->GetSize(), 100u);
  EXPECT_TRUE(ldm->GetFirstFlag());
  EXPECT_FALSE(ldm->GetSecondFlag());
  EXPECT_EQ(volume.use_count(), 3);
}

}  // namespace
