// The CHS bytes this layer writes into MBR entries, compared with the bytes
// sfdisk wrote for the same partitions under 255 heads of 63 sectors.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/geometry.h"
#include "diskaccess/objects.h"
#include "disktest/temp_dir.h"
#include "foundation/byteorder.h"
#include "standin_fixture.h"

namespace {

class ChsDisk : public plain_disk {
 public:
  explicit ChsDisk(std::uint64_t sectors) {
    EXPECT_EQ(SetSectorSize(512).Code(), 0u);
    lastSector_ = sectors - 1;
    geometry_.sectorsPerTrack = 63;
    geometry_.highestHead = 254;
    ComputeCylinders();
  }
  Common::Error OpInt(std::uint32_t, std::uint64_t, void*, std::uint64_t) override {
    return Common::Error();
  }
};

TEST(ChsBytes, EqualWhatSfdiskWritesForCylinderAlignedPartitions) {
  struct Image {
    unsigned mib;
    const char* script;
  };
  // Partitions on cylinder boundaries (16065 sectors), below and beyond the
  // 1023 cylinders a CHS field can hold, one starting mid-cylinder.
  const Image images[] = {
      {2048,
       "label: dos\nstart=63, size=16002, type=83\nstart=16065, size=64260, type=7\n"
       "start=80325, size=160650, type=c\nstart=240975, size=16065, type=82\n"},
      {10240,
       "label: dos\nstart=63, size=16002, type=83\nstart=16065, size=16434495, type=7\n"
       "start=16450560, size=160650, type=83\nstart=17000000, size=1000080, type=83\n"},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Image& image : images) {
    const std::string path =
        DaTest::MakeMbrImage(dir, "chs" + std::to_string(n++) + ".img", image.mib, image.script);
    const std::vector<std::uint8_t> mbr = DaTest::FileBytes(path, 0, 512);
    ChsDisk disk(std::uint64_t(image.mib) << 11);
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t* entry = &mbr[446 + 16 * i];
      if (entry[4] == 0) continue;
      const std::uint64_t start = Common::LoadLe32(entry + 8);
      const std::uint64_t count = Common::LoadLe32(entry + 12);
      // Fields that start zeroed but for the boot and type bytes.
      std::uint32_t first = entry[0], second = entry[4];
      Da::EncodeChsField(first, start, disk, false);
      Da::EncodeChsField(second, start + count - 1, disk, true);
      EXPECT_EQ(first, Common::LoadLe32(entry)) << path << " entry " << i;
      EXPECT_EQ(second, Common::LoadLe32(entry + 4)) << path << " entry " << i;
    }
  }
}

}  // namespace
