// Mounting volumes made by mke2fs: geometry, sizes, free counts and label as
// dumpe2fs sees them; the read-only decision; refused features and damaged
// superblocks; descriptor checksums as dumpe2fs prints them.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "ext_image.h"
#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/ext_inode.h"
#include "filesystems/factory.h"
#include "foundation/byteorder.h"

namespace {

using exttest::Field;
using exttest::Mounted;
using filesystems::extfs::ExtfsDriver;

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out.push_back(char(*text));
  return out;
}

struct MatrixCase {
  std::string options;
  std::uint64_t kilobytes;
  const char* name;
  bool readOnly;
};

TEST(ExtVolume, MkfsMatrixMountsAsDumpe2fsSees) {
  const std::vector<MatrixCase> matrix = {
      {"-t ext2 -b 1024 -I 128 -L one-k", 20480, "Ext2", false},
      {"-t ext2 -b 2048 -I 256 -L two-k", 40960, "Ext2", false},
      {"-t ext2 -b 4096 -I 128 -L four-k", 65536, "Ext2", false},
      {"-t ext2 -b 1024 -O ^sparse_super,^resize_inode -L nosparse", 40960, "Ext2", false},
      {"-t ext3 -j -b 1024 -L journal", 40960, "Ext3", false},
      {"-t ext3 -j -b 4096 -I 256 -L journal4k", 65536, "Ext3", false},
      {"-t ext4 -O ^metadata_csum -L plain4", 65536, "Ext4", false},
      {"-t ext4 -O ^metadata_csum,^64bit -L narrow", 65536, "Ext4", false},
      {"-t ext4 -b 1024 -O ^metadata_csum,^resize_inode,meta_bg -L metabg", 131072, "Ext4",
       false},
      {"-t ext4 -b 1024 -O ^metadata_csum,^flex_bg -L noflex", 65536, "Ext4", false},
      {"-t ext4 -b 1024 -O ^metadata_csum,uninit_bg -L uninit", 65536, "Ext4", false},
      {"-t ext4 -b 1024 -O ^metadata_csum,^64bit,uninit_bg -I 128 -L small", 65536, "Ext4",
       false},
      {"-t ext4 -L checksums", 65536, "Ext4", true},
      {"-t ext4 -O bigalloc -C 16384 -L clusters", 65536, "Ext4", true},
      {"-t ext4 -O ^metadata_csum,bigalloc -C 16384 -L clusters2", 65536, "Ext4", true},
  };
  exttest::ScratchDir dir;
  for (const MatrixCase& c : matrix) {
    SCOPED_TRACE(c.options);
    const std::string image = dir.File("matrix.img");
    ASSERT_TRUE(exttest::MakeImage(image, c.options, c.kilobytes));
    const auto header = exttest::DumpHeader(image);
    Mounted m(image);
    ASSERT_NE(m.driver, nullptr);
    EXPECT_STREQ(m->GetFileSystemName(), c.name);
    EXPECT_EQ(m->ReadOnly(), c.readOnly);
    const std::uint64_t blockSize = Field(header, "Block size");
    EXPECT_EQ(m->BlockSize(), blockSize);
    EXPECT_EQ(m->BlockCount(), Field(header, "Block count"));
    EXPECT_EQ(m->InodesCount(), Field(header, "Inode count"));
    EXPECT_EQ(m->FreeInodesCount(), Field(header, "Free inodes"));
    EXPECT_EQ(m->BlocksPerGroup(), Field(header, "Blocks per group"));
    EXPECT_EQ(m->InodesPerGroup(), Field(header, "Inodes per group"));
    EXPECT_EQ(m->FirstDataBlock(), Field(header, "First block"));
    std::uint64_t total = 0, free = 0, available = 0;
    m->GetVolumeSizes(total, free, available);
    EXPECT_EQ(total, Field(header, "Block count") * blockSize);
    EXPECT_EQ(free, Field(header, "Free blocks") * blockSize);
    EXPECT_EQ(available, free);
    char16_t label[32];
    m->GetVolumeLabel(label, 32);
    EXPECT_EQ(Narrow(label), header.at("Filesystem volume name"));
    // Every group's table lies where dumpe2fs says.
    const std::string groups = exttest::DumpGroups(image);
    std::smatch match;
    std::string rest = groups;
    std::uint32_t seen = 0;
    while (std::regex_search(rest, match, std::regex(R"(Inode table at (\d+)-)"))) {
      EXPECT_EQ(m->GetInodeTableBlock(seen), std::strtoull(match[1].str().c_str(), nullptr, 10))
          << "group " << seen;
      ++seen;
      rest = match.suffix();
    }
    EXPECT_EQ(seen, m->GroupCount());
  }
}

TEST(ExtVolume, LabelCopiesWithinCapacityAndKeepsAllSixteenBytes) {
  exttest::ScratchDir dir;
  const std::string image = dir.File("label.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext2 -L ABCDEFGHIJKLMNOP", 8192));
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  char16_t label[20];
  label[0] = u'x';
  m->GetVolumeLabel(label, 1);
  EXPECT_EQ(label[0], 0);
  m->GetVolumeLabel(label, 5);
  EXPECT_EQ(Narrow(label), "ABCD");
  m->GetVolumeLabel(label, 20);
  EXPECT_EQ(Narrow(label), "ABCDEFGHIJKLMNOP");
}

TEST(ExtVolume, ReadOnlyFeaturesRefuseEveryChange) {
  exttest::ScratchDir dir;
  for (const std::string options :
       {"-t ext4", "-t ext4 -O ^metadata_csum,bigalloc -C 16384"}) {
    SCOPED_TRACE(options);
    const std::string image = dir.File("ro.img");
    ASSERT_TRUE(exttest::MakeImage(image, options, 65536));
    const auto before = exttest::ReadBytes(image, 0, 1 << 20);
    {
      Mounted m(image, 512, false);
      ASSERT_NE(m.driver, nullptr);
      EXPECT_EQ(m->ReadOnlyReasons(), ExtfsDriver::kReadOnlyFeatures);
      EXPECT_EQ(fstest::CodeOf([&] { m->RestoreOriginalDevice(); }), kFileReadOnly);
      auto* root = m->GetDirectoryObject(0);
      ASSERT_NE(root, nullptr);
      EXPECT_EQ(fstest::CodeOf([&] { root->CreateFile(u"new"); }), kFileReadOnly);
      EXPECT_EQ(fstest::CodeOf([&] { root->CreateDirectory(u"new"); }),
                kFileReadOnly);
      EXPECT_EQ(fstest::CodeOf([&] { root->DeleteFile(u"lost+found"); }),
                kFileReadOnly);
      EXPECT_EQ(fstest::CodeOf([&] { m->GetGroupDescriptorForWrite(0); }),
                kFileReadOnly);
      m->Flush();
    }
    EXPECT_EQ(exttest::ReadBytes(image, 0, 1 << 20), before);
  }
}

TEST(ExtVolume, UnsupportedFeaturesDoNotMount) {
  exttest::ScratchDir dir;
  for (const std::string options : {"-t ext4 -O inline_data", "-t ext4 -O mmp",
                                    "-t ext4 -O ^metadata_csum,inline_data"}) {
    SCOPED_TRACE(options);
    const std::string image = dir.File("refused.img");
    ASSERT_TRUE(exttest::MakeImage(image, options, 65536));
    Mounted m(image);
    EXPECT_EQ(m.driver, nullptr);
  }
}

// One change to the superblock of a sound ext2 volume with 1 KiB blocks.
struct SuperblockDamage {
  const char* what;
  std::uint32_t offset;
  std::uint32_t width;
  std::uint32_t value;  // or, for kFromField, the field the value copies
};

TEST(ExtVolume, DamagedOrUnsupportedSuperblocksDoNotMount) {
  const std::vector<SuperblockDamage> damage = {
      {"magic", 0x38, 2, 0xEF52},
      {"log block size 7", 0x18, 4, 7},
      {"first data block 0 with 1 KiB blocks", 0x14, 4, 0},
      {"revision 2", 0x4C, 4, 2},
      {"creator OS", 0x48, 4, 1},
      {"inodes count", 0x00, 4, 12345},
      {"blocks per group 0", 0x20, 4, 0},
      {"inodes per group above 8 x block size", 0x28, 4, 8193},
      {"inode size 100", 0x58, 2, 100},
      {"first inode 5", 0x54, 4, 5},
      {"block count beyond the partition", 0x04, 4, 0x7FFFFFFF},
      {"compression (unknown incompatible bit)", 0x60, 4, 0x0003},
      {"cluster size differs", 0x1C, 4, 1},
  };
  exttest::ScratchDir dir;
  const std::string clean = dir.File("clean.img");
  ASSERT_TRUE(exttest::MakeImage(clean, "-t ext2 -b 1024", 8192));
  {
    Mounted m(clean);
    ASSERT_NE(m.driver, nullptr);
  }
  const auto superblock = exttest::ReadBytes(clean, 1024, 1024);
  for (const SuperblockDamage& d : damage) {
    SCOPED_TRACE(d.what);
    const std::string image = dir.File("damaged.img");
    ASSERT_TRUE(exttest::Run("cp " + clean + " " + image));
    std::vector<std::uint8_t> bytes = superblock;
    if (d.width == 2)
      Common::StoreLe16(bytes.data() + d.offset, std::uint16_t(d.value));
    else
      Common::StoreLe32(bytes.data() + d.offset, d.value);
    exttest::WriteBytes(image, 1024, bytes);
    Mounted m(image);
    EXPECT_EQ(m.driver, nullptr);
  }
  // The free block count is checked strictly: equal to the block count is
  // already damage.
  const std::string image = dir.File("free.img");
  ASSERT_TRUE(exttest::Run("cp " + clean + " " + image));
  std::vector<std::uint8_t> bytes = superblock;
  Common::StoreLe32(bytes.data() + 0x0C, Common::LoadLe32(bytes.data() + 0x04));
  exttest::WriteBytes(image, 1024, bytes);
  Mounted m(image);
  EXPECT_EQ(m.driver, nullptr);
}

// dumpe2fs's "csum 0x...." of every group.
std::vector<std::uint32_t> DumpedChecksums(const std::string& image) {
  std::vector<std::uint32_t> out;
  const std::string text = exttest::DumpGroups(image);
  std::regex pattern(R"(Group \d+: \(Blocks [^)]*\) csum 0x([0-9a-f]+))");
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
    out.push_back(std::uint32_t(std::strtoul((*it)[1].str().c_str(), nullptr, 16)));
  return out;
}

TEST(ExtVolume, DescriptorChecksumsEqualDumpe2fsAndGuardTheMount) {
  exttest::ScratchDir dir;
  for (const std::string options :
       {"-t ext4 -b 1024 -O ^metadata_csum,uninit_bg", "-t ext4 -b 4096 -O ^metadata_csum,^64bit,uninit_bg",
        "-t ext4 -b 1024 -O ^metadata_csum,^resize_inode,meta_bg,uninit_bg"}) {
    SCOPED_TRACE(options);
    const std::string image = dir.File("csum.img");
    ASSERT_TRUE(exttest::MakeImage(image, options, 131072));
    const std::vector<std::uint32_t> dumped = DumpedChecksums(image);
    std::uint64_t descriptorOffset = 0;
    {
      Mounted m(image);
      ASSERT_NE(m.driver, nullptr);
      ASSERT_TRUE(m->HasGroupDescriptorChecksums());
      ASSERT_EQ(dumped.size(), m->GroupCount());
      for (std::uint32_t g = 0; g < m->GroupCount(); ++g) {
        const std::uint8_t* d = m->GetGroupDescriptor(g);
        EXPECT_EQ(m->GroupDescriptorChecksum(g, d), dumped[g]) << "group " << g;
        EXPECT_EQ(Common::LoadLe16(d + 0x1E), dumped[g]) << "group " << g;
      }
      descriptorOffset = (std::uint64_t(m->FirstDataBlock()) + 1) * m->BlockSize();
    }
    // One flipped byte in group 0's free-inode count refuses the mount.
    const std::string flipped = dir.File("flipped.img");
    ASSERT_TRUE(exttest::Run("cp " + image + " " + flipped));
    auto bytes = exttest::ReadBytes(flipped, descriptorOffset + 0x0E, 1);
    bytes[0] ^= 0x01;
    exttest::WriteBytes(flipped, descriptorOffset + 0x0E, bytes);
    {
      Mounted m(flipped);
      EXPECT_EQ(m.driver, nullptr);
    }
    // Without checksums the same flip is not noticed.
    ASSERT_TRUE(exttest::Run("debugfs -w -R 'feature -uninit_bg' " + flipped));
    Mounted m(flipped);
    EXPECT_NE(m.driver, nullptr);
  }
}

TEST(ExtVolume, JournalNeedingRecoveryMountsReadOnlyAndKeepsItsFlag) {
  exttest::ScratchDir dir;
  const std::string image = dir.File("recover.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext3 -j -b 1024", 16384));
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'feature needs_recovery' " + image));
  {
    Mounted m(image, 512, false);
    ASSERT_NE(m.driver, nullptr);
    EXPECT_TRUE(m->ReadOnly());
    EXPECT_EQ(m->ReadOnlyReasons(), ExtfsDriver::kReadOnlyJournal);
    auto* root = m->GetDirectoryObject(0);
    EXPECT_EQ(fstest::CodeOf([&] { root->CreateFile(u"new"); }), kFileReadOnly);
    m->Flush();
  }
  const auto features = exttest::DumpHeader(image).at("Filesystem features");
  EXPECT_NE(features.find("needs_recovery"), std::string::npos) << features;
}

TEST(ExtVolume, FactoryPicksExtAndFatOverIt) {
  exttest::ScratchDir dir;
  const std::string image = dir.File("factory.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext4 -O ^metadata_csum", 16384));
  const std::uint64_t sectors = 16384 * 2;
  {
    fstest::ImageVolume device(image, 512, 0, true);
    filesystems::FileSystemDriver* driver = filesystems::OpenExtfsDriver(
        &device, 0, sectors, exttest::NextCacheKey(), nullptr, 0);
    ASSERT_NE(driver, nullptr);
    EXPECT_STREQ(driver->GetFileSystemName(), "Ext4");
    delete driver;
  }
  // A partition shorter than the volume claims is not this volume.
  fstest::ImageVolume device(image, 512, 0, true);
  EXPECT_EQ(filesystems::OpenExtfsDriver(&device, 0, sectors / 2, exttest::NextCacheKey(),
                                         nullptr, 0),
            nullptr);
}

}  // namespace

#endif
