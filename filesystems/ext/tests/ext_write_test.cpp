// Writes through the driver into volumes made by mke2fs, judged by what
// debugfs dumps and by e2fsck.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ext_image.h"
#include "files/dir.h"
#include "files/file_object.h"

namespace {

using exttest::Mounted;

struct HoleCase {
  std::string options;
  std::uint32_t blockSize;
};

std::string ReadHost(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The volume blocks debugfs lists for `path`, data and map blocks alike.
std::vector<std::uint64_t> DebugfsBlocks(const std::string& image, const std::string& path) {
  std::vector<std::uint64_t> blocks;
  for (const std::string& word : DiskTest::Lines(exttest::Debugfs(image, "blocks " + path))) {
    std::size_t at = 0;
    while (at < word.size()) {
      std::size_t used = 0;
      blocks.push_back(std::stoull(word.substr(at), &used));
      at += used;
      while (at < word.size() && word[at] == ' ') ++at;
    }
  }
  return blocks;
}

// A write that fills two holes of a file, the second only in part, when the
// free blocks it gets are not next to each other on the volume: the part of
// the second block the write does not reach must read as zeros, not as what
// the block held for a file deleted before.
TEST(ExtWrite, HolesFilledOnScatteredFreeBlocksReadAsZerosPastTheWrite) {
  const std::vector<HoleCase> cases = {
      {"-t ext2 -b 1024 -I 128", 1024},
      {"-t ext3 -b 2048", 2048},
      {"-t ext4 -O ^metadata_csum -b 4096", 4096},
  };
  for (const HoleCase& c : cases) {
    SCOPED_TRACE(c.options);
    const std::size_t bs = c.blockSize;
    exttest::ScratchDir dir;
    const std::string source = dir.File("source");
    exttest::Run("mkdir -p " + source);
    // Blocks 0 and 3 hold data, 1 and 2 are holes.
    std::string expected(4 * bs, '\0');
    {
      std::ofstream out(source + "/holes", std::ios::binary);
      for (std::size_t k = 0; k < bs; ++k) expected[k] = char('a' + k % 26);
      for (std::size_t k = 3 * bs; k < 4 * bs; ++k) expected[k] = char('A' + k % 26);
      out.write(expected.data(), std::streamsize(bs));
      out.seekp(std::streamoff(3 * bs));
      out.write(expected.data() + 3 * bs, std::streamsize(bs));
    }
    // One-block files full of 0xEE: deleting every other one leaves free
    // blocks with old bytes and a used block between each two.
    const int kFillers = 8;
    for (int k = 0; k < kFillers; ++k)
      std::ofstream(source + "/filler" + std::to_string(k), std::ios::binary)
          << std::string(bs, '\xEE');
    const std::string image = dir.File("holes.img");
    ASSERT_TRUE(exttest::MakeImage(image, c.options, 8192, source));
    ASSERT_EQ(DebugfsBlocks(image, "/holes").size(), 2u);
    std::vector<std::pair<std::uint64_t, std::string>> fillers;
    for (int k = 0; k < kFillers; ++k) {
      const std::string name = "/filler" + std::to_string(k);
      const auto blocks = DebugfsBlocks(image, name);
      ASSERT_EQ(blocks.size(), 1u);
      fillers.emplace_back(blocks[0], name);
    }
    std::sort(fillers.begin(), fillers.end());
    std::string removal;
    for (std::size_t k = 0; k < fillers.size(); k += 2) removal += "rm " + fillers[k].second + "\n";
    std::ofstream(dir.File("rm.cmd")) << removal;
    ASSERT_TRUE(exttest::Run("debugfs -w -f " + dir.File("rm.cmd") + " " + image));
    // The lowest free blocks are now the deleted fillers' and not adjacent.
    const std::string free = exttest::Debugfs(image, "ffb 2");
    ASSERT_EQ(DiskTest::Number(free, "(\\d+)"), fillers[0].first) << free;

    // From the middle of block 1 to the middle of block 2.
    const std::size_t offset = bs + 100;
    const std::size_t length = 2 * bs - 300;
    std::string data(length, '\0');
    for (std::size_t k = 0; k < length; ++k) data[k] = char(1 + k % 251);
    std::copy(data.begin(), data.end(), expected.begin() + std::ptrdiff_t(offset));
    {
      Mounted m(image, 512, false);
      ASSERT_NE(m.driver, nullptr);
      std::unique_ptr<rio_dir> root(m->OpenRootDirectory());
      ASSERT_NE(root, nullptr);
      {
        std::unique_ptr<rio_file> file(root->open_file_rw(u"holes", false));
        ASSERT_NE(file, nullptr);
        file->seek_set(std::int64_t(offset));
        file->write_exact(data.data(), std::uint32_t(length));
        ASSERT_TRUE(file->is_ok());
      }
      root.reset();
      m->Flush();
    }
    const std::vector<std::uint64_t> mapped = DebugfsBlocks(image, "/holes");
    ASSERT_EQ(mapped.size(), 4u);
    ASSERT_NE(mapped[1] + 1, mapped[2]) << "the holes got adjacent blocks: nothing shown";
    ASSERT_TRUE(exttest::Run("debugfs -R " + exttest::Quote("dump /holes " + dir.File("out")) +
                             " " + image));
    EXPECT_TRUE(ReadHost(dir.File("out")) == expected);
    std::string fsck;
    EXPECT_TRUE(exttest::Run("e2fsck -fn " + image, &fsck)) << fsck;
  }
}

}  // namespace

#endif
