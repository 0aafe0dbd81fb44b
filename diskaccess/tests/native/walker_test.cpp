// The holder walker: list mode, the scheme order (raw, MBR, GPT, then the
// unsupported scheme) and what the unsupported scheme records of sector 0.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/geometry.h"
#include "diskaccess/holders.h"
#include "disktest/temp_dir.h"
#include "holder_fixture.h"
#include "standin_fixture.h"

namespace {

std::string ImageWithSector0(const DiskTest::TempDir& dir, const std::string& name,
                             const std::vector<std::uint8_t>& start) {
  const std::string path = dir.File(name);
  std::vector<char> bytes(1 << 20, 0);
  std::copy(start.begin(), start.end(), bytes.begin());
  std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
  return path;
}

TEST(HolderWalker, UnreadableSchemesGetAnUnsupportedHolderThatSaysWhatSector0Is) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> start;
    std::uint32_t subtype;
  };
  std::vector<std::uint8_t> beda(510, 0);
  beda[508] = 0xDA;
  beda[509] = 0xBE;
  const Case cases[] = {
      {"zeros", {}, kSubtypeNothing},
      {"ER", {'E', 'R', 2, 0}, 0x1005},
      {"label", {0xC1, 0xD4, 0xC2, 0xC9}, 0x1004},
      {"label reversed", {0xC9, 0xC2, 0xD4, 0xC1}, 0x1004},
      {"0xBEDA at 508", beda, 0x1006},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DaTest::FileDisk disk(ImageWithSector0(dir, "u" + std::to_string(n++), c.start), 512);
    DaReadHolders(&disk, kWalkFollowChains);
    ASSERT_EQ(disk.holder_list.Count(), 1u);
    EXPECT_NE(dynamic_cast<UnsupHolder*>(disk.holder_list.first), nullptr);
    EXPECT_EQ(disk.read_context.top, disk.holder_list.first);
    EXPECT_EQ(disk.read_context.scheme, kSchemeUnknown);
    EXPECT_EQ(disk.read_context.subtype, c.subtype);
  }
}

TEST(HolderWalker, ListModeWalksTheHoldersTheDiskHas) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeMbrImage(
      dir, "l.img", 32, "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=4096, type=c\n");
  DaTest::FileDisk disk(path, 512);
  HolderWalker empty;
  empty.Begin(&disk, 0, nullptr);
  EXPECT_TRUE(empty.AtEnd());  // nothing read yet
  empty.End();
  DaReadHolders(&disk, kWalkFollowChains);
  HolderWalker walker;
  walker.Begin(&disk, 0, nullptr);
  std::vector<std::uint32_t> kinds;
  for (bool more = !walker.AtEnd(); more; more = walker.Next() && !walker.AtEnd())
    kinds.push_back(walker.GetKind());
  walker.End();
  EXPECT_EQ(kinds, (std::vector<std::uint32_t>{7, 0x83, 0x0C}));
}

TEST(HolderWalker, AWholeDiskFileSystemMakesARawDiskUnlessTheWalkSaysNo) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeMbrImage(dir, "r.img", 32,
                                                "label: dos\nstart=2048, size=4096, type=83\n");
  Da::SetHasKnownFileSystem([](stddisk*, holder*) { return true; });
  {
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    EXPECT_EQ(disk.read_context.scheme, kSchemeRaw);
    ASSERT_EQ(disk.holder_list.Count(), 2u);
    auto* meta = dynamic_cast<RawMetaHolder*>(disk.holder_list.first);
    ASSERT_NE(meta, nullptr);
    ASSERT_NE(meta->partition, nullptr);
    EXPECT_EQ(meta->partition->size, disk.GetSectorCount() + 1);
  }
  {
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains | kWalkNoRaw);
    EXPECT_EQ(disk.read_context.scheme, kSchemeMbr);
  }
  Da::SetHasKnownFileSystem(nullptr);
}

}  // namespace
