// Mounting volumes made by mkntfs: sizes, label and version as ntfsinfo
// and fsstat see them, nothing written, and damaged volumes refused.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/ntfs_driver.h"
#include "foundation/byteorder.h"
#include "image_volume.h"
#include "ntfs_image.h"
#include "ntfs_mount_support.h"

namespace ntfs = filesystems::ntfs;
using ntfstest::Number;

namespace {

using ntfstest::Mounted;
using ntfstest::NextCacheKey;

}  // namespace

TEST(NtfsMount, MkntfsMatrixMountsAsTheToolsSee) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  int mounted = 0;
  for (std::uint32_t sector : {512u, 4096u}) {
    for (std::uint32_t cluster : {512u, 2048u, 4096u, 16384u, 65536u}) {
      if (cluster < sector) continue;
      const ntfstest::MkntfsOptions o{sector, cluster, cluster >= 65536 ? 64u : 20u,
                                      "-L 'Vol \xc3\xa9t\xc3\xa9'"};
      SCOPED_TRACE(ntfstest::Describe(o));
      if (!ntfstest::MakeImage(image, o)) continue;
      ntfstest::MakeHostFile(dir.File("f"), 300000, cluster);
      ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("f"), "f"));
      Mounted m(image, sector);
      ASSERT_NE(m.driver, nullptr);
      ++mounted;
      const std::string info = DiskTest::RunCommand("ntfsinfo -m '" + image + "' 2>/dev/null");
      const std::string fs = DiskTest::RunCommand("fsstat '" + image + "' 2>/dev/null");
      std::uint64_t total = 0, free = 0, available = 0;
      m.driver->GetVolumeSizes(total, free, available);
      EXPECT_EQ(total, (Number(fs, R"(Total Sector Range: 0 - (\d+))") + 1) * sector);
      EXPECT_EQ(free, Number(info, R"(Free Clusters: (\d+))") * cluster);
      EXPECT_EQ(available, free);
      EXPECT_EQ(m.driver->Version(), 0x301);
      EXPECT_NE(info.find("Volume Version: 3.1"), std::string::npos);
      char16_t label[32];
      m.driver->GetVolumeLabel(label, 32);
      EXPECT_EQ(std::u16string(label), u"Vol \u00e9t\u00e9");
      EXPECT_STREQ(m.driver->GetFileSystemName(), "NTFS");
      // Mounting reads and never writes.
      EXPECT_EQ(m.device->GetCounters().writes, 0u);
    }
  }
  EXPECT_GE(mounted, 8);
}

TEST(NtfsMount, LabelCapacity) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 4096, 16, "-L ABCDE"}));
  Mounted m(image, 512);
  ASSERT_NE(m.driver, nullptr);
  char16_t label[8] = {u'x', u'x'};
  m.driver->GetVolumeLabel(label, 1);
  EXPECT_EQ(label[0], 0);
  m.driver->GetVolumeLabel(label, 4);
  EXPECT_EQ(std::u16string(label), u"ABC");
  m.driver->GetVolumeLabel(nullptr, 4);
}

TEST(NtfsMount, NameOrderAndCaseThroughTheVolumesUpCase) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 4096, 16, ""}));
  Mounted m(image, 512);
  ASSERT_NE(m.driver, nullptr);
  std::u16string path = u"/dir/\u00e9l\u00e8ve/\u0444\u0430\u0439\u043b.txt";
  m.driver->NormalizeNameCase(path);
  EXPECT_EQ(path, u"/DIR/\u00c9L\u00c8VE/\u0424\u0410\u0419\u041b.TXT");
}

TEST(NtfsMount, DamagedVolumesAreRefused) {
  ntfstest::ScratchDir dir;
  const std::string good = dir.File("good.img");
  ASSERT_TRUE(ntfstest::MakeImage(good, {512, 4096, 16, ""}));
  const auto boot = ntfstest::ReadBytes(good, 0, 512);
  const std::uint64_t mftByte = Common::LoadLe64(&boot[48]) * 4096;
  struct Case {
    const char* what;
    std::function<void(const std::string&)> damage;
  };
  auto patch = [](std::uint64_t at, std::vector<std::uint8_t> bytes) {
    return [at, bytes](const std::string& image) { ntfstest::WriteBytes(image, at, bytes); };
  };
  const Case cases[] = {
      {"no 0xAA55", patch(510, {0, 0})},
      {"3 sectors per cluster", patch(13, {3})},
      {"record size byte 0", patch(64, {0})},
      {"record size byte -8", patch(64, {0xF8})},
      {"record size byte -17", patch(64, {0xEF})},
      {"$MFT equal to $MFTMirr",
       [&](const std::string& image) {
         ntfstest::WriteBytes(image, 48, std::vector<std::uint8_t>(boot.begin() + 56, boot.begin() + 64));
       }},
      {"record 0 torn in its second stride", patch(mftByte + 1022, {0x55, 0x55})},
      {"record 0 with USN 0",
       [&](const std::string& image) {
         ntfstest::WriteBytes(image, mftByte + 48, {0, 0});
         ntfstest::WriteBytes(image, mftByte + 510, {0, 0});
         ntfstest::WriteBytes(image, mftByte + 1022, {0, 0});
       }},
      {"record 0 not a FILE record", patch(mftByte, {'B', 'A', 'A', 'D'})},
      {"$UpCase record torn", patch(mftByte + 10 * 1024 + 510, {0x55, 0x55})},
      {"$Volume record torn", patch(mftByte + 3 * 1024 + 510, {0x55, 0x55})},
      {"$Bitmap record torn", patch(mftByte + 6 * 1024 + 510, {0x55, 0x55})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string image = dir.File("bad.img");
    std::filesystem::copy_file(good, image, std::filesystem::copy_options::overwrite_existing);
    c.damage(image);
    Mounted m(image, 512);
    EXPECT_EQ(m.driver, nullptr);
  }
  Mounted m(good, 512);
  EXPECT_NE(m.driver, nullptr);
}

#endif
