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
#include "files/file_error.h"
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

// The names debugfs lists in `directory`: "." and "..", and the empty
// records it shows with inode 0, left out.
std::vector<std::string> DebugfsNames(const std::string& image, const std::string& directory) {
  std::vector<std::string> names;
  for (const std::string& line : DiskTest::Lines(exttest::Debugfs(image, "ls -p " + directory))) {
    // /inode/mode/uid/gid/name/size/: fields[0] is empty.
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t at; (at = line.find('/', start)) != std::string::npos; start = at + 1)
      fields.push_back(line.substr(start, at - start));
    if (fields.size() < 6 || fields[1] == "0" || fields[5] == "." || fields[5] == "..") continue;
    names.push_back(fields[5]);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct FullCase {
  std::string options;
  std::uint32_t blockSize;
};

// Writing more than the volume holds stops with "disk full" after a short
// count: the file keeps exactly the bytes counted, and the volume stays
// sound. Creates that need a block the full volume cannot give (a
// directory, a link too long for the inode) fail without leaving a
// half-made inode behind.
TEST(ExtWrite, FillingTheVolumeGivesAShortCountAndFailedCreatesLeaveItSound) {
  const std::vector<FullCase> cases = {
      {"-t ext2 -b 1024 -I 128", 1024},
      {"-t ext3 -b 2048", 2048},
      {"-t ext4 -O ^metadata_csum -b 4096", 4096},
  };
  for (const FullCase& c : cases) {
    SCOPED_TRACE(c.options);
    exttest::ScratchDir dir;
    const std::string image = dir.File("full.img");
    ASSERT_TRUE(exttest::MakeImage(image, c.options, 4096));
    std::string written;
    {
      Mounted m(image, 512, false);
      ASSERT_NE(m.driver, nullptr);
      std::unique_ptr<rio_dir> root(m->OpenRootDirectory());
      ASSERT_NE(root, nullptr);
      {
        std::unique_ptr<rio_file> file(root->create_file(u"big", false, nullptr));
        ASSERT_NE(file, nullptr);
        // 100,000 bytes a request: no request ends on a block boundary.
        std::string chunk(100000, '\0');
        std::uint32_t count = 0;
        for (int round = 0; round < 100; ++round) {
          for (std::size_t k = 0; k < chunk.size(); ++k)
            chunk[k] = char((written.size() + k) * 7 % 251);
          file->write(chunk.data(), std::uint32_t(chunk.size()), count);
          written.append(chunk, 0, count);
          if (count != chunk.size()) break;
        }
        ASSERT_LT(count, chunk.size()) << "the volume never filled";
        // The short count is the answer, not an error; the next write
        // stores nothing, and a caller that needs every byte is told.
        EXPECT_TRUE(file->is_ok());
        file->write(chunk.data(), std::uint32_t(chunk.size()), count);
        EXPECT_EQ(count, 0u);
        file->write_exact(chunk.data(), 1);
        EXPECT_FALSE(file->is_ok());
        EXPECT_EQ(file->error().Code(), std::uint32_t(kFileDiskFull));
      }
      root.reset();
      {
        std::unique_ptr<rio_dir> again(m->OpenRootDirectory());
        again->create_dir(u"new folder", nullptr);
        EXPECT_FALSE(again->is_ok());
      }
      {
        std::unique_ptr<rio_dir> again(m->OpenRootDirectory());
        const std::u16string longTarget(300, u'x');
        again->create_junction(u"long link", longTarget.c_str(), 0, 0);
        EXPECT_FALSE(again->is_ok());
      }
      m->Flush();
    }
    ASSERT_TRUE(exttest::Run("debugfs -R " + exttest::Quote("dump /big " + dir.File("out")) +
                             " " + image));
    const std::string dumped = ReadHost(dir.File("out"));
    EXPECT_EQ(dumped.size(), written.size());
    EXPECT_TRUE(dumped == written);
    EXPECT_EQ(DebugfsNames(image, "/"), (std::vector<std::string>{"big", "lost+found"}));
    std::string fsck;
    EXPECT_TRUE(exttest::Run("e2fsck -fn " + image, &fsck)) << fsck;
  }
}

// A directory with a hash index, made by e2fsck -D over a populated
// volume, then changed: every name added and none removed is listed, and
// the volume stays sound. The driver does not keep the index up to date, so
// it takes the index flag off at the first change and the directory is a
// plain list from then on.
TEST(ExtWrite, IndexedDirectoryListsCompletelyAfterInserts) {
  for (const std::string options : {"-t ext3 -b 1024", "-t ext4 -O ^metadata_csum"}) {
    SCOPED_TRACE(options);
    exttest::ScratchDir dir;
    const std::string source = dir.File("source");
    exttest::Run("mkdir -p " + source + "/many");
    std::vector<std::string> expected;
    for (int k = 0; k < 400; ++k) {
      const std::string name = "entry number " + std::to_string(k) + std::string(k % 40, 'n');
      std::ofstream(source + "/many/" + name) << k;
      expected.push_back(name);
    }
    const std::string image = dir.File("indexed.img");
    ASSERT_TRUE(exttest::MakeImage(image, options, 16384, source));
    exttest::Run("e2fsck -fyD " + image);
    std::string fsck;
    ASSERT_TRUE(exttest::Run("e2fsck -fn " + image, &fsck)) << fsck;
    const std::string before = exttest::Debugfs(image, "htree_dump /many");
    ASSERT_NE(before.find("Root node dump"), std::string::npos) << before.substr(0, 400);
    {
      Mounted m(image, 512, false);
      ASSERT_NE(m.driver, nullptr);
      std::unique_ptr<rio_dir> root(m->OpenRootDirectory());
      ASSERT_NE(root, nullptr);
      std::unique_ptr<rio_dir> many(root->open_dir(u"many"));
      ASSERT_NE(many, nullptr);
      for (int k = 0; k < 300; ++k) {
        const std::string name = "added " + std::to_string(k) + std::string(k % 50, 'a');
        std::u16string wide(name.begin(), name.end());
        std::unique_ptr<rio_file> file(many->create_file(wide.c_str(), false, nullptr));
        ASSERT_NE(file, nullptr) << name;
        expected.push_back(name);
      }
      for (int k = 0; k < 400; k += 3) {
        const std::string name = "entry number " + std::to_string(k) + std::string(k % 40, 'n');
        std::u16string wide(name.begin(), name.end());
        many->delete_file(wide.c_str());
        ASSERT_TRUE(many->is_ok()) << name;
        expected.erase(std::find(expected.begin(), expected.end(), name));
      }
      many.reset();
      root.reset();
      m->Flush();
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(DebugfsNames(image, "/many"), expected);
    EXPECT_TRUE(exttest::Run("e2fsck -fn " + image, &fsck)) << fsck;
    // Each name is found by lookup too, not only by the listing.
    for (const std::string& name : {expected.front(), expected.back()}) {
      const std::string stat = exttest::Debugfs(image, "stat \"/many/" + name + "\"");
      EXPECT_NE(stat.find("Type: regular"), std::string::npos) << name;
    }
  }
}

}  // namespace

#endif
