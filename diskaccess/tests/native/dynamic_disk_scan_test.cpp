// The clean-up's disk scan reaches dynamic-disk discovery: after
// DaInit(0x1C11) over the stand-in library with a dynamic-disk group among
// its drives (a RAID-5 volume on three members, laid out by the fixture
// writer, which the dynamic-disk tests hold against ldmtool), the disk
// model's head layer shows the group's volume with its pieces, the basic
// disk beside it keeps its partition, and no image changed by a byte.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "disktest/run_command.h"
#include "fdisk/disk_operations.h"
#include "fdisk/model.h"
#include "fdisk/portion.h"
#include "fdisk/ps_manager.h"
#include "standin_fixture.h"

namespace {

using Piece = std::tuple<std::uint64_t, std::uint64_t>;

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DynamicDiskScan, DaInitPresentsTheGroupsVolumeAndWritesNothing) {
  DiskTest::TempDir dir;
  DaTest::StandinConfig config{dir};
  int status = -1;
  std::vector<std::string> images = DiskTest::Lines(DiskTest::RunCommand(
      std::string("python3 ") + LDM_FIXTURE_TOOL + " build raid5 '" + dir.Path() + "'", &status));
  ASSERT_EQ(status, 0);
  ASSERT_EQ(images.size(), 3u);
  images.push_back(
      DaTest::MakeMbrImage(dir, "basic.img", 16, "label: dos\nstart=2048, size=20480, type=7\n"));
  std::string lines;
  std::vector<std::string> before;
  for (const std::string& image : images) {
    lines += "drive " + image + "\n";
    before.push_back(Bytes(image));
  }
  config.Install(lines);

  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  ASSERT_NE(computer->GetFdiskComputer(), 0u);
  Fdisk::Computer& model = Fdisk::StageRegistry::GetStage(Fdisk::StageRegistry::GetRealStageId())
                               .GetComputer(computer->GetFdiskComputer());
  std::set<Piece> basic;
  std::vector<std::vector<Piece>> volumes;
  for (auto& entry : model.GetPortionManager().GetHeadLayer()) {
    if (entry.second.IsFree()) continue;
    Fdisk::PSPortion::Location& where = entry.second.GetLocation();
    if (auto* ldm = dynamic_cast<Fdisk::LdmLocation*>(&where)) {
      EXPECT_EQ(ldm->GetVolumeType(), Fdisk::kLdmVolRaid5);
      std::vector<Piece> pieces;
      for (const auto& e : ldm->GetExtents()) pieces.push_back(Piece{e.second.length, e.second.column});
      volumes.push_back(pieces);
    } else if (dynamic_cast<Fdisk::MbrLocation*>(&where) != nullptr) {
      const Fdisk::PortionPlace place = Fdisk::PlaceOf(entry.second);
      basic.insert(Piece{place.first, place.size});
    }
  }
  // ldmtool's account of the fixture: one RAID-5 volume, 2048 sectors on
  // each member in columns 0 to 2; the members' own type-0x42 partitions
  // are not shown as basic ones.
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0], (std::vector<Piece>{Piece{2048, 0}, Piece{2048, 1}, Piece{2048, 2}}));
  EXPECT_EQ(basic, (std::set<Piece>{Piece{2048, 20480}}));
  DaDone();

  for (std::size_t i = 0; i < images.size(); ++i) {
    EXPECT_TRUE(Bytes(images[i]) == before[i]) << images[i] << " changed";
  }
}

}  // namespace
