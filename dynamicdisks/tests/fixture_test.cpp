// Disk groups laid out by the test support's fixture writer on sfdisk and
// sgdisk images, judged by ldmtool, and read through the driver: the
// volumes it lists, the bytes it reads, and that it writes nothing.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "disktest/image_disk.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "ldm_stage_scopes.h"
#include "ldm_tool_support.h"
#include "disktest/test_disk.h"
#include "fdisk/model.h"
#include "fdisk/ps_manager.h"
#include "ldm/driver.h"

namespace {

using Fdisk::PSManager;

using DiskTest::Lines;

std::string Tool(const std::string& args) { return LdmTest::Fixture(args); }

// The state column aside, which ldmtool does not report.
std::string WithoutState(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
  if (fields.size() > 5) fields[5] = "-";
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? "\t" : "") + fields[i];
  return out;
}

using LdmTest::MakersScope;
using LdmTest::RegistryScope;

class FixtureTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    paths_ = Lines(Tool(std::string("build ") + GetParam() + " " + dir_.Path()));
    ASSERT_FALSE(paths_.empty());
    for (const std::string& p : paths_) {
      auto image = std::make_unique<DiskTest::ImageDisk>(p, 512);
      images_.push_back(image.get());
      Computer().AddDisk(std::make_unique<DiskTest::TestDisk>(std::move(image)));
    }
    Computer().GetPortionManager().Refresh(PSManager::kRefreshFull);
  }

  Fdisk::Computer& Computer() { return registry_.Stage().GetComputer(computerId_); }

  Fdisk::PSLdmDriver* Driver() {
    for (const auto& d : Computer().GetDriverFactory().GetDrivers()) {
      if (auto* ldm = dynamic_cast<Fdisk::PSLdmDriver*>(d.second.get())) return ldm;
    }
    return nullptr;
  }

  DiskTest::TempDir dir_;
  MakersScope makers_;
  RegistryScope registry_;
  std::uint32_t computerId_ = registry_.Stage().CreateLocalComputer();
  std::vector<std::string> paths_;
  std::vector<DiskTest::ImageDisk*> images_;
};

TEST_P(FixtureTest, VolumesMatchLdmtoolAndTheFixture) {
  Fdisk::PSLdmDriver* driver = Driver();
  ASSERT_NE(driver, nullptr);
  const std::vector<std::string> ours = Ldm::VolumeLines(*driver);
  // ldmtool, reading the same images, is the judge of names, layouts,
  // sizes, chunk sizes and pieces.
  const std::vector<std::string> theirs =
      Lines(Tool(std::string("ldmtool-lines ") + GetParam() + " " + dir_.Path()));
  ASSERT_EQ(ours.size(), theirs.size());
  for (std::size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(WithoutState(ours[i]), theirs[i]);
  // The fixture's own table adds the states it intends.
  EXPECT_EQ(ours, Lines(Tool(std::string("expect ") + GetParam())));
}

TEST_P(FixtureTest, DiscoveryWritesNothing) {
  for (DiskTest::ImageDisk* image : images_) {
    EXPECT_EQ(image->Counters().writes, 0u) << image->Path();
    EXPECT_GT(image->Counters().reads, 0u);
  }
}

TEST_P(FixtureTest, VolumesReadLikeTheirIndependentReconstruction) {
  Fdisk::PSLdmDriver* driver = Driver();
  ASSERT_NE(driver, nullptr);
  for (const std::string& line : Ldm::VolumeLines(*driver)) {
    std::istringstream in(line);
    std::string group, volume, layout, size, chunk, state;
    std::getline(in, group, '\t');
    std::getline(in, volume, '\t');
    std::getline(in, layout, '\t');
    std::getline(in, size, '\t');
    std::getline(in, chunk, '\t');
    std::getline(in, state, '\t');
    std::ostringstream bytes;
    const Common::Error e = Ldm::ReadVolume(*driver, group, volume, bytes);
    if (state == "failed") {
      EXPECT_TRUE(e) << volume << ": a failed volume does not read";
      continue;
    }
    ASSERT_FALSE(e) << volume << " " << std::hex << Common::GetErrorCode(e);
    const std::string out = dir_.File(volume + ".expected");
    Tool(std::string("reconstruct ") + GetParam() + " " + dir_.Path() + " " + volume + " " + out);
    std::ifstream f(out, std::ios::binary);
    const std::string expected((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.str().size(), expected.size()) << volume;
    EXPECT_TRUE(bytes.str() == expected) << volume << " reads other bytes than the members hold";
  }
}

// An absent member is one placeholder; the volumes' pieces on it carry
// state 5 and their transfers fail as offline.
TEST_P(FixtureTest, AbsentMembersBecomeOfflinePlaceholders) {
  Fdisk::PSLdmDriver* driver = Driver();
  ASSERT_NE(driver, nullptr);
  const bool absent = std::string(GetParam()).find("missing") != std::string::npos;
  ASSERT_EQ(driver->GetDisks().size(), absent ? 1u : 0u);
  if (!absent) return;
  Fdisk::Disk& placeholder = *driver->GetDisks().begin()->second;
  std::uint8_t buffer[512];
  EXPECT_EQ(Common::GetErrorCode(placeholder.GetSimpleDisk()->Io(Fdisk::kIoRead, 0, buffer, 1)),
            0x100403u);
  int onPlaceholder = 0;
  for (auto& entry : driver->GetPortions()) {
    auto* ldm = dynamic_cast<Fdisk::LdmLocation*>(&entry.second.GetLocation());
    if (ldm == nullptr) continue;
    for (const auto& e : ldm->GetExtents()) {
      if (e.second.diskId != placeholder.GetId()) continue;
      ++onPlaceholder;
      EXPECT_EQ(e.second.diskState, 5u);
    }
  }
  EXPECT_GT(onPlaceholder, 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureTest,
                         ::testing::Values("simple", "spanned", "striped", "mirror", "raid5",
                                           "gpt", "raid5missing", "mirrormissing",
                                           "spannedmissing", "stalled", "damaged"));

}  // namespace

#endif
