// The model's volumes in the older layer: after DaInit(0x1C11) over the
// stand-in library, GPT partitions (made by sgdisk) and dynamic volumes
// (fixtures read back by ldmtool) hang on the pseudo-disk as holders whose
// extents are the tools' and whose handlers read the volumes' bytes; a
// second walk keeps every holder.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/lifecycle.h"
#include "diskaccess/model_holders.h"
#include "diskaccess/objects.h"
#include "disktest/run_command.h"
#include "fdisk/model.h"
#include "fdisk/ps_manager.h"
#include "foundation/guid.h"
#include "standin_fixture.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string GuidText(const std::uint8_t* bytes) {
  if (bytes == nullptr) return "-";
  Common::Guid g;
  std::memcpy(g.bytes, bytes, 16);
  return Upper(Common::GuidToString(g));
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class T>
std::vector<T*> HoldersOf(da_computer* computer) {
  std::vector<T*> out;
  if (computer == nullptr || computer->pseudoDisk == nullptr) return out;
  for (holder* h = computer->pseudoDisk->second_list.first; h != nullptr; h = h->next)
    if (auto* t = dynamic_cast<T*>(h)) out.push_back(t);
  return out;
}

// The image a legacy disk reads, by the order the drives were given in.
std::map<std::uint32_t, std::string> ImageOfDisk(da_computer* computer,
                                                 const std::vector<std::string>& images) {
  std::map<std::uint32_t, std::string> out;
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next) {
    if (d->IsEasyVolumeDisk()) continue;
    const std::uint32_t n = d->GetDiskNumber();
    if (n >= 1 && n <= images.size()) {
      const std::string& p = images[n - 1];
      out[d->id] = p.substr(p.rfind('/') + 1);
    }
  }
  return out;
}

// Sector `s` of a volume read through its handler.
std::string ReadVolume(vol_handler& v, std::uint64_t first, std::uint64_t count) {
  std::string out(count * 512, '\0');
  Common::Error e = v.Io(Fdisk::kIoRead, first, &out[0], count);
  EXPECT_EQ(e.Code(), 0u);
  return out;
}

std::string FixtureTool() { return std::string("python3 ") + LDM_FIXTURE_TOOL; }

std::string ViewTool() {
  const std::string tool = LDM_FIXTURE_TOOL;
  return "LDM_FIXTURE_DIR='" + tool.substr(0, tool.rfind('/')) + "' python3 " +
         DA_TEST_SOURCE_DIR + "/native/ldm_view.py";
}

// ------------------------------------------------------------------- GPT

TEST(ModelHolders, GptPartitionsBecomeGptHoldersEqualToSgdisk) {
  DiskTest::TempDir dir;
  DaTest::StandinConfig config{dir};
  // A reserved partition first, as the system's own tools lay disks out,
  // then three data partitions of different types.
  const std::string gpt = DaTest::MakeGptImage(
      dir, "gpt.img", 64,
      "-n 1:2048:+16M -t 1:0c01 -n 2:0:+8M -t 2:0700 -n 3:0:+4M -t 3:8300 -n 4:0:+2M -t 4:ef00");
  const std::string mbr =
      DaTest::MakeMbrImage(dir, "mbr.img", 16, "label: dos\nstart=2048, size=8192, type=7\n");
  // Marks the first sector of every partition, so reads show where they went.
  struct Part {
    std::string unique, type;
    std::uint64_t first = 0, last = 0;
  };
  std::vector<Part> parts;
  for (int n = 2; n <= 4; ++n) {
    const std::string info = DiskTest::RunCommand("sgdisk -i " + std::to_string(n) + " " + gpt);
    Part p;
    for (const std::string& line : DiskTest::Lines(info)) {
      auto value = [&](const std::string& key) {
        return line.compare(0, key.size(), key) == 0 ? line.substr(key.size()) : std::string();
      };
      if (!value("Partition unique GUID: ").empty()) p.unique = Upper(value("Partition unique GUID: "));
      if (!value("Partition GUID code: ").empty())
        p.type = Upper(value("Partition GUID code: ").substr(0, 36));
      if (!value("First sector: ").empty()) p.first = std::stoull(value("First sector: "));
      if (!value("Last sector: ").empty()) p.last = std::stoull(value("Last sector: "));
    }
    ASSERT_FALSE(p.unique.empty()) << info;
    parts.push_back(p);
    std::ofstream out(gpt, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(p.first * 512));
    out << "partition " << n;
  }
  ASSERT_TRUE(DaTest::Run("sgdisk -v " + gpt));
  config.Install("drive " + gpt + "\ndrive " + mbr + "\n");

  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  ASSERT_NE(computer->pseudoDisk, nullptr);
  stddisk* gptDisk = nullptr;
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next)
    if (!d->IsEasyVolumeDisk() && d->GetDiskNumber() == 1) gptDisk = d;
  ASSERT_NE(gptDisk, nullptr);

  std::vector<Fdisk::Old::GptHolder*> holders = HoldersOf<Fdisk::Old::GptHolder>(computer);
  ASSERT_EQ(holders.size(), parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    Fdisk::Old::GptHolder* h = nullptr;
    for (auto* c : holders)
      if (GuidText(c->GetUniqueGuid()) == parts[i].unique) h = c;
    ASSERT_NE(h, nullptr) << parts[i].unique;
    ASSERT_EQ(h->extents.size(), 1u);
    EXPECT_EQ(h->extents[0].diskKey, gptDisk->id);
    EXPECT_EQ(h->extents[0].firstSector, parts[i].first);
    EXPECT_EQ(h->extents[0].sectorCount, parts[i].last - parts[i].first + 1);
    EXPECT_EQ(h->size, parts[i].last - parts[i].first + 1);
    EXPECT_EQ(GuidText(h->GetTypeGuid()), parts[i].type);
    EXPECT_TRUE(h->IsEasyVolume());
    EXPECT_FALSE(h->IsDynamic());
    // The handler reads the partition from its first sector on.
    ASSERT_NE(h->GetVolumeHandler(), nullptr);
    const std::string first = ReadVolume(*h->GetVolumeHandler(), 0, 1);
    EXPECT_EQ(first.substr(0, 11), "partition " + std::to_string(i + 2));
    std::unique_ptr<Common::Guid> sys;
    h->GetVolumeHandler()->VolGetSysGuid(sys);
    ASSERT_TRUE(sys);
    EXPECT_EQ(GuidText(sys->bytes), parts[i].unique);
  }

  // A second walk over unchanged disks keeps every holder.
  std::vector<holder*> before(holders.begin(), holders.end());
  computer->RefreshFdiskVolumes();
  std::vector<Fdisk::Old::GptHolder*> again = HoldersOf<Fdisk::Old::GptHolder>(computer);
  std::vector<holder*> after(again.begin(), again.end());
  EXPECT_EQ(after, before);
  for (holder* h : after) EXPECT_EQ(h->reattach, 0);
  DaDone();
}

// --------------------------------------------------------------- dynamic

struct Expected {
  std::map<std::string, std::tuple<std::uint64_t, std::set<std::set<std::string>>>> volumes;
  std::map<std::string, std::set<std::string>> free;  // group: extents
};

Expected ExpectedOf(const std::string& name, const std::string& folder) {
  Expected out;
  int status = -1;
  const std::string text =
      DiskTest::RunCommand(ViewTool() + " expect " + name + " '" + folder + "'", &status);
  EXPECT_EQ(status, 0) << text;
  std::string volume;
  std::map<std::string, std::map<std::string, std::set<std::string>>> plexes;
  for (const std::string& line : DiskTest::Lines(text)) {
    std::istringstream in(line);
    std::string kind;
    in >> kind;
    if (kind == "volume") {
      std::uint64_t size = 0;
      in >> volume >> size;
      volume = Upper(volume);
      std::get<0>(out.volumes[volume]) = size;
    } else if (kind == "plex") {
      std::string plex, image, first, count;
      in >> plex >> image >> first >> count;
      plexes[volume][plex].insert(image + ":" + first + "+" + count);
    } else if (kind == "free") {
      std::string group, image, first, count;
      in >> group >> image >> first >> count;
      out.free[Upper(group)].insert(image + ":" + first + "+" + count);
    }
  }
  for (auto& v : plexes)
    for (auto& p : v.second) std::get<1>(out.volumes[v.first]).insert(p.second);
  return out;
}

std::vector<std::string> BuildFixture(const std::string& name, const DiskTest::TempDir& dir) {
  int status = -1;
  std::vector<std::string> images = DiskTest::Lines(DiskTest::RunCommand(
      FixtureTool() + " build " + name + " '" + dir.Path() + "'", &status));
  EXPECT_EQ(status, 0);
  return images;
}

class DynamicFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(DynamicFixture, LdmHoldersAndFreeSpaceEqualLdmtool) {
  const std::string name = GetParam();
  DiskTest::TempDir dir;
  DaTest::StandinConfig config{dir};
  const std::vector<std::string> images = BuildFixture(name, dir);
  ASSERT_FALSE(images.empty());
  const Expected expected = ExpectedOf(name, dir.Path());
  ASSERT_FALSE(expected.volumes.empty());
  std::string lines;
  for (const std::string& image : images) lines += "drive " + image + "\n";
  config.Install(lines);

  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  const std::map<std::uint32_t, std::string> imageOf = ImageOfDisk(computer, images);
  auto extentText = [&](std::uint32_t disk, std::uint64_t first, std::uint64_t count) {
    auto it = imageOf.find(disk);
    return (it != imageOf.end() ? it->second : "?") + ":" + std::to_string(first) + "+" +
           std::to_string(count);
  };
  std::map<std::uint32_t, std::string> imageOfNumber;
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next)
    if (!d->IsEasyVolumeDisk() && imageOf.count(d->id)) imageOfNumber[d->GetDiskNumber()] = imageOf.at(d->id);

  std::map<std::string, std::tuple<std::uint64_t, std::set<std::set<std::string>>>> shown;
  const auto holders = HoldersOf<Fdisk::Old::LdmHolder>(computer);
  for (Fdisk::Old::LdmHolder* h : holders) {
    std::set<std::set<std::string>> plexes;
    // The description's plex groups name disks by number.
    for (const ModelVolumePlex& p : h->description.plexes) {
      std::set<std::string> pieces;
      for (const ModelVolumeExtent& e : p.extents)
        pieces.insert(imageOfNumber[e.diskNumber] + ":" + std::to_string(e.firstSector) + "+" +
                      std::to_string(e.sectorCount));
      plexes.insert(pieces);
    }
    // The holder's own extents are the same pieces, by disk id.
    std::set<std::string> flat, fromPlexes;
    for (const DaExtent& x : h->extents) flat.insert(extentText(x.diskKey, x.firstSector, x.sectorCount));
    for (const auto& p : plexes) fromPlexes.insert(p.begin(), p.end());
    EXPECT_EQ(flat, fromPlexes);
    EXPECT_EQ(h->GetType(), 7);
    EXPECT_TRUE(h->IsDynamic());
    EXPECT_NE(h->GetVolumeHandler(), nullptr);
    shown[GuidText(h->GetUniqueGuid())] = std::make_tuple(h->size, plexes);
  }
  EXPECT_EQ(shown, expected.volumes);

  std::map<std::string, std::set<std::string>> free;
  for (Fdisk::Old::LdmFreeSpace* f : HoldersOf<Fdisk::Old::LdmFreeSpace>(computer)) {
    const std::string group = GuidText(f->GetUniqueGuid());
    EXPECT_EQ(free.count(group), 0u) << "two free-space holders for " << group;
    std::uint64_t sum = 0;
    for (const DaExtent& x : f->extents) {
      free[group].insert(extentText(x.diskKey, x.firstSector, x.sectorCount));
      sum += x.sectorCount;
    }
    EXPECT_EQ(f->size, sum);
  }
  EXPECT_EQ(free, expected.free);

  // A second walk keeps every volume holder and one free-space holder per
  // group.
  std::vector<holder*> before(holders.begin(), holders.end());
  computer->RefreshFdiskVolumes();
  const auto again = HoldersOf<Fdisk::Old::LdmHolder>(computer);
  EXPECT_EQ(std::vector<holder*>(again.begin(), again.end()), before);
  EXPECT_EQ(HoldersOf<Fdisk::Old::LdmFreeSpace>(computer).size(), expected.free.size());
  DaDone();
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DynamicFixture,
                         ::testing::Values("simple", "spanned", "striped", "mirror", "raid5",
                                           "gpt"));

// Reads through the handler of a spanned, striped, mirrored or RAID-5
// volume equal the volume rebuilt from ldmtool's extents.
class DynamicReads : public ::testing::TestWithParam<const char*> {};

TEST_P(DynamicReads, HandlerReadsEqualTheReconstruction) {
  const std::string name = GetParam();
  DiskTest::TempDir dir;
  DaTest::StandinConfig config{dir};
  const std::vector<std::string> images = BuildFixture(name, dir);
  ASSERT_FALSE(images.empty());
  ASSERT_TRUE(DaTest::Run(ViewTool() + " fill " + name + " '" + dir.Path() + "'"));
  const Expected expected = ExpectedOf(name, dir.Path());
  std::string lines;
  for (const std::string& image : images) lines += "drive " + image + "\n";
  config.Install(lines);

  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  const auto holders = HoldersOf<Fdisk::Old::LdmHolder>(computer);
  ASSERT_EQ(holders.size(), expected.volumes.size());
  int status = -1;
  const std::string volumes = DiskTest::RunCommand(
      FixtureTool() + " ldmtool-lines " + name + " '" + dir.Path() + "'", &status);
  ASSERT_EQ(status, 0);
  for (const std::string& line : DiskTest::Lines(volumes)) {
    std::istringstream in(line);
    std::string group, volume;
    std::getline(in, group, '\t');
    std::getline(in, volume, '\t');
    const std::string out = dir.File(volume + ".bin");
    ASSERT_TRUE(DaTest::Run(FixtureTool() + " reconstruct " + name + " '" + dir.Path() + "' " +
                            volume + " " + out));
    const std::string want = Bytes(out);
    ASSERT_FALSE(want.empty());
    // The holder of the same size (each fixture's volumes differ in size).
    Fdisk::Old::LdmHolder* h = nullptr;
    for (auto* c : holders)
      if (c->size * 512 == want.size()) h = c;
    ASSERT_NE(h, nullptr) << volume;
    ASSERT_NE(h->GetVolumeHandler(), nullptr);
    EXPECT_TRUE(ReadVolume(*h->GetVolumeHandler(), 0, h->size) == want) << volume;
  }
  DaDone();
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DynamicReads,
                         ::testing::Values("spanned", "striped", "mirror", "raid5", "gpt"));

// A RAID-5 volume with a member missing is shown with the pieces that are
// there, and reads through it equal ldmtool's reconstruction, which
// rebuilds the missing member from parity.
TEST(ModelHolders, DegradedRaid5IsShownAndReadFromItsPresentMembers) {
  DiskTest::TempDir dir;
  DaTest::StandinConfig config{dir};
  const std::vector<std::string> images = BuildFixture("raid5missing", dir);
  ASSERT_EQ(images.size(), 2u);
  ASSERT_TRUE(DaTest::Run(ViewTool() + " fill raid5missing '" + dir.Path() + "'"));
  const std::string want = dir.File("raid5.bin");
  ASSERT_TRUE(DaTest::Run(FixtureTool() + " reconstruct raid5missing '" + dir.Path() +
                          "' Raid1 " + want));
  std::string lines;
  for (const std::string& image : images) lines += "drive " + image + "\n";
  config.Install(lines);
  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  const auto holders = HoldersOf<Fdisk::Old::LdmHolder>(computer);
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0]->extents.size(), 2u);
  EXPECT_EQ(holders[0]->description.volume_state, 2u);
  ASSERT_NE(holders[0]->GetVolumeHandler(), nullptr);
  const std::string bytes = Bytes(want);
  ASSERT_EQ(holders[0]->size * 512, bytes.size());
  EXPECT_TRUE(ReadVolume(*holders[0]->GetVolumeHandler(), 0, holders[0]->size) == bytes);
  DaDone();
}

// ------------------------------------------------------------ the import

TEST(ModelImport, ModelDisksCarryTheLegacyDisksIdentity) {
  DiskTest::TempDir dir;
  DaTest::StandinConfig config{dir};
  const std::string mbr =
      DaTest::MakeMbrImage(dir, "mbr.img", 16, "label: dos\nstart=2048, size=8192, type=7\n");
  const std::string gpt = DaTest::MakeGptImage(dir, "gpt.img", 32, "-n 1:2048:+4M -t 1:0700");
  config.Install("drive " + mbr + "\ndrive " + gpt + "\n");
  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  Fdisk::Computer& model = Fdisk::StageRegistry::GetStage(Fdisk::StageRegistry::GetRealStageId())
                               .GetComputer(computer->GetFdiskComputer());
  std::size_t seen = 0;
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next) {
    if (d->IsEasyVolumeDisk()) continue;
    ++seen;
    auto it = model.GetDisks().find(d->id);
    ASSERT_NE(it, model.GetDisks().end()) << "no model disk under the legacy id " << d->id;
    const Fdisk::NamedVars::VarContainer& p = it->second->GetProperties();
    namespace K = Fdisk::NamedVars::Keys;
    EXPECT_EQ(p.Get(K::DiskNumber), d->GetDiskNumber());
    EXPECT_EQ(p.Get(K::HDInterfaceHost), d->host);
    EXPECT_EQ(p.Get(K::HDInterfaceBus), d->bus);
    EXPECT_EQ(p.Get(K::HDInterfaceTarget), d->target);
    EXPECT_EQ(static_cast<std::uint32_t>(p.Get(K::HDInterfaceType)), d->interface_type);
    EXPECT_FALSE(p.Get(K::Corrupted));
    EXPECT_FALSE(p.Get(K::Emulated));
    const Fdisk::AdvancedLocus locus = p.Get(K::AdvancedLocus);
    EXPECT_EQ(locus.sectorsPerTrack, d->GetGeometry().sectorsPerTrack);
    EXPECT_EQ(locus.highestHead, d->GetGeometry().highestHead);
    EXPECT_EQ(locus.sectorTotal, d->GetSectorCount());
    EXPECT_EQ(locus.cylinders, d->GetSectorCount() / (d->GetGeometry().highestHead + 1u) /
                                   d->GetGeometry().sectorsPerTrack);
    EXPECT_EQ(d->corrupted, 0);
  }
  EXPECT_EQ(seen, 2u);
  EXPECT_EQ(model.GetDisks().size(), 2u);

  // A model computer whose older computer has not scanned yet has no disk
  // list: its refresh leaves it empty. Disks added to the list one by one
  // are read at the next refresh.
  Fdisk::Stage& stage = Fdisk::StageRegistry::GetStage(Fdisk::StageRegistry::GetRealStageId());
  const std::uint32_t fresh = stage.CreateLocalComputer();
  Fdisk::Computer& other = stage.GetComputer(fresh);
  EXPECT_FALSE(other.GetProperties().Contains(Fdisk::NamedVars::Keys::OldDiskList));
  other.Refresh();
  EXPECT_TRUE(other.GetDisks().empty());
  EXPECT_TRUE(other.GetPortionManager().GetLayers().empty());
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next)
    if (!d->IsEasyVolumeDisk()) AddOldDisk(other, d);
  other.Refresh();
  EXPECT_EQ(other.GetDisks().size(), 2u);
  EXPECT_FALSE(other.GetPortionManager().GetHeadLayer().empty());
  // An empty list refreshes the drivers over no disks.
  ClearOldDiskList(other);
  other.Refresh();
  EXPECT_TRUE(other.GetDisks().empty());
  EXPECT_TRUE(other.GetPortionManager().GetHeadLayer().empty());
  stage.DeleteComputer(fresh);
  DaDone();
}

// A protective-MBR disk that carries dynamic volumes becomes a dynamic
// disk for the older layer; a GPT disk beside it without any keeps its
// scheme. ldmtool reads the group from the first images.
TEST(ModelImport, ProtectiveDisksWithDynamicExtentsAreMarkedDynamic) {
  DiskTest::TempDir dir;
  DaTest::StandinConfig config{dir};
  const std::vector<std::string> images = BuildFixture("gpt", dir);
  ASSERT_FALSE(images.empty());
  ASSERT_FALSE(DiskTest::RunCommand("ldmtool scan " + images[0] + " 2>/dev/null").empty());
  const std::string basic = DaTest::MakeGptImage(dir, "basic.img", 16, "-n 1:2048:+4M -t 1:0700");
  std::string lines;
  for (const std::string& image : images) lines += "drive " + image + "\n";
  config.Install(lines + "drive " + basic + "\n");
  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  std::vector<std::pair<std::uint32_t, std::uint8_t>> shown, want;
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next) {
    if (d->IsEasyVolumeDisk()) continue;
    shown.emplace_back(d->GetSchemeType(), d->GetMark());
    want.emplace_back(d->GetDiskNumber() <= images.size() ? std::make_pair(0x42u, std::uint8_t(0xEE))
                                                          : std::make_pair(0xEEu, std::uint8_t(0)));
  }
  EXPECT_EQ(shown, want);
  EXPECT_EQ(DetectLdmOnProtectiveDisk(nullptr, 0xEE, 1), 0xEE);
  EXPECT_EQ(DetectLdmOnProtectiveDisk(nullptr, 0x42, 1), 0x42);
  DaDone();
}

}  // namespace
