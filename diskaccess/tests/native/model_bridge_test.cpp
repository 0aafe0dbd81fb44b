// The bridge's model side: after DaInit(0x1C11) over the stand-in library,
// the disk model's local computer has read the same images (one made by
// sfdisk, one by sgdisk) and its head layer shows their partitions as MBR
// and GPT portions.
#include <cstdint>
#include <set>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "fdisk/disk_operations.h"
#include "fdisk/model.h"
#include "fdisk/ps_manager.h"
#include "standin_fixture.h"

namespace {

using Shown = std::tuple<std::string, std::uint64_t, std::uint64_t>;

TEST(ModelBridge, HeadLayerHoldsMbrAndGptPortions) {
  DiskTest::TempDir dir;
  DaTest::StandinConfig config{dir};
  const std::string mbr = DaTest::MakeMbrImage(dir, "mbr.img", 64,
                                               "label: dos\n"
                                               "start=2048, size=20480, type=7\n"
                                               "start=22528, size=81920, type=5\n"
                                               "start=24576, size=16384, type=83\n");
  const std::string gpt = DaTest::MakeGptImage(dir, "gpt.img", 64,
                                               "-n 1:2048:+16M -t 1:0700 -n 2:0:+8M -t 2:8300");
  config.Install("drive " + mbr + "\n" + "drive " + gpt + "\n");
  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  ASSERT_NE(computer->GetFdiskComputer(), 0u);
  Fdisk::Computer& model =
      Fdisk::StageRegistry::GetStage(Fdisk::StageRegistry::GetRealStageId())
          .GetComputer(computer->GetFdiskComputer());

  std::set<Shown> shown;
  for (auto& entry : model.GetPortionManager().GetHeadLayer()) {
    if (entry.second.IsFree()) continue;
    const Fdisk::PortionPlace place = Fdisk::PlaceOf(entry.second);
    const char* scheme =
        dynamic_cast<Fdisk::MbrLocation*>(&entry.second.GetLocation()) != nullptr   ? "mbr"
        : dynamic_cast<Fdisk::GptLocation*>(&entry.second.GetLocation()) != nullptr ? "gpt"
                                                                                     : "other";
    shown.insert(Shown{scheme, place.first, place.size});
  }
  // sfdisk's and sgdisk's partitions (the extended container is the MBR
  // table's, not a portion).
  const std::set<Shown> expected = {Shown{"mbr", 2048, 20480}, Shown{"mbr", 24576, 16384},
                                    Shown{"gpt", 2048, 32768}, Shown{"gpt", 34816, 16384}};
  EXPECT_EQ(shown, expected);
  DaDone();
}

}  // namespace
