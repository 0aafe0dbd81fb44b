// Reading volumes filled by mke2fs -d: block lookups against debugfs
// (extent trees of depth 0 to 2, classic maps up to the triple indirect
// level), file contents against the source files, holes and uninitialised
// extents as zeros, and directory listings, hashed ones included.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ext_image.h"
#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/ext_directory.h"
#include "filesystems/ext_inode.h"
#include "foundation/byteorder.h"

namespace {

using exttest::Mounted;
using filesystems::FileSystemDriver;
using filesystems::extfs::ExtfsInode;
using filesystems::extfs::InodeRef;
using filesystems::extfs::kNotMapped;

// The inode number of a path, as debugfs resolves it.
std::uint32_t InodeOf(const std::string& image, const std::string& path) {
  const std::string out = exttest::Debugfs(image, "stat " + path);
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(R"(Inode: (\d+))"))) return 0;
  return std::uint32_t(std::strtoul(m[1].str().c_str(), nullptr, 10));
}

// The blocks `debugfs blocks` lists, in file order, without the index and
// indirect blocks that `debugfs stat` names ((IND), (DIND), (TIND), (ETB0)...).
std::vector<std::uint64_t> DebugfsBlocks(const std::string& image, const std::string& path) {
  std::set<std::uint64_t> metadata;
  const std::string stat = exttest::Debugfs(image, "stat " + path);
  std::regex tagged(R"(\((?:IND|DIND|TIND|ETB\d+)\):(\d+))");
  for (std::sregex_iterator it(stat.begin(), stat.end(), tagged), end; it != end; ++it)
    metadata.insert(std::strtoull((*it)[1].str().c_str(), nullptr, 10));
  std::vector<std::uint64_t> out;
  const std::string text = exttest::Debugfs(image, "blocks " + path);
  std::regex number(R"(\d+)");
  for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it) {
    const std::uint64_t block = std::strtoull(it->str().c_str(), nullptr, 10);
    if (!metadata.count(block)) out.push_back(block);
  }
  return out;
}

// The deepest level `debugfs ex` shows (0: the extents sit in the inode).
int ExtentDepth(const std::string& image, const std::string& path) {
  const std::string text = exttest::Debugfs(image, "ex " + path);
  int depth = -1;
  std::regex line(R"(\s*(\d+)/\s*(\d+)\s+\d+/)");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
    depth = std::max(depth, std::atoi((*it)[2].str().c_str()));
  return depth;
}

// The mapped blocks of an inode in file order, through lookups by run.
std::vector<std::uint64_t> MappedBlocks(ExtfsInode* inode, std::uint64_t blockSize) {
  std::vector<std::uint64_t> out;
  const std::uint64_t blocks = (inode->GetSize() + blockSize - 1) / blockSize;
  for (std::uint64_t b = 0; b < blocks;) {
    const auto run = inode->MapBlock(b);
    EXPECT_GE(run.length, 1u);
    const std::uint64_t n = std::min<std::uint64_t>(run.length, blocks - b);
    if (run.block != kNotMapped)
      for (std::uint64_t k = 0; k < n; ++k) out.push_back(run.block + k);
    b += n;
  }
  return out;
}

// The whole of a file read through the driver in pieces of `piece` bytes.
std::string ReadAll(FileSystemDriver::FileObject* file, std::uint32_t piece) {
  std::string out;
  std::vector<char> buffer(piece);
  for (std::uint64_t offset = 0;;) {
    std::uint32_t done = 0;
    file->Read(buffer.data(), offset, piece, done);
    if (done == 0) break;
    out.append(buffer.data(), done);
    offset += done;
  }
  return out;
}

// A sparse host file: `size` bytes with data blocks only at `dataBlocks`.
std::string MakeSparseFile(const std::string& path, std::uint64_t size, std::uint32_t blockSize,
                           const std::vector<std::uint64_t>& dataBlocks, std::uint32_t seed) {
  exttest::Run("rm -f " + path + "; truncate -s " + std::to_string(size) + " " + path);
  std::string expected(size, '\0');
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  std::uint32_t x = seed;
  for (std::uint64_t b : dataBlocks) {
    std::string data(blockSize, '\0');
    for (char& c : data) {
      x = x * 1103515245u + 12345u;
      c = char((x >> 16) | 1);
    }
    const std::uint64_t at = b * blockSize;
    const std::uint64_t n = std::min<std::uint64_t>(blockSize, size - at);
    out.seekp(std::streamoff(at));
    out.write(data.data(), std::streamsize(n));
    expected.replace(std::size_t(at), std::size_t(n), data, 0, std::size_t(n));
  }
  return expected;
}

struct MapCase {
  std::string options;
  std::uint32_t blockSize;
  std::uint64_t kilobytes;
  bool extents;
};

TEST(ExtRead, BlockLookupsAndContentsEqualDebugfsAndTheSource) {
  const std::vector<MapCase> cases = {
      {"-t ext2 -b 1024 -I 128", 1024, 65536, false},
      {"-t ext3 -j -b 4096", 4096, 65536, false},
      {"-t ext4 -b 1024 -O ^metadata_csum", 1024, 65536, true},
      {"-t ext4 -b 4096 -O ^metadata_csum,^64bit", 4096, 65536, true},
  };
  for (const MapCase& c : cases) {
    SCOPED_TRACE(c.options);
    exttest::ScratchDir dir;
    const std::string source = dir.File("source");
    exttest::Run("mkdir -p " + source + "/sub");
    std::map<std::string, std::string> files;
    files["/empty"] = exttest::MakeHostFile(source + "/empty", 0, 1);
    files["/small"] = exttest::MakeHostFile(source + "/small", 100, 2);
    files["/twelve"] = exttest::MakeHostFile(source + "/twelve", 12 * c.blockSize, 3);
    files["/sub/indirect"] =
        exttest::MakeHostFile(source + "/sub/indirect", 300 * c.blockSize + 17, 4);
    // Every other block: one extent per data block, deep trees.
    std::vector<std::uint64_t> everyOther;
    for (std::uint64_t b = 0; b < 800; b += 2) everyOther.push_back(b);
    files["/fragmented"] =
        MakeSparseFile(source + "/fragmented", 800 * c.blockSize, c.blockSize, everyOther, 5);
    std::vector<std::uint64_t> few = {0, 1, 2, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23};
    files["/sub/few"] = MakeSparseFile(source + "/sub/few", 24 * c.blockSize, c.blockSize, few, 6);
    // Data past the double indirect range with 1 KiB blocks: the triple
    // indirect tree (12 + 256 + 65536 blocks come before it).
    const std::uint64_t far = 12 + 256 + 65536 + 1000;
    files["/far"] = MakeSparseFile(source + "/far", (far + 2) * c.blockSize, c.blockSize,
                                   {0, 13, 300, far, far + 1}, 7);
    const std::string image = dir.File("maps.img");
    ASSERT_TRUE(exttest::MakeImage(image, c.options, c.kilobytes, source));
    if (c.extents) {
      EXPECT_EQ(ExtentDepth(image, "/small"), 0);
      EXPECT_EQ(ExtentDepth(image, "/sub/few"), 1);
      EXPECT_EQ(ExtentDepth(image, "/fragmented"), c.blockSize == 1024 ? 2 : 1);
    }
    Mounted m(image);
    ASSERT_NE(m.driver, nullptr);
    for (const auto& [path, content] : files) {
      SCOPED_TRACE(path);
      const std::uint32_t number = InodeOf(image, path);
      ASSERT_NE(number, 0u);
      InodeRef inode(m->GetInode(number - 1));
      EXPECT_EQ(inode->GetSize(), content.size());
      EXPECT_EQ(MappedBlocks(inode.get(), c.blockSize), DebugfsBlocks(image, path));
      const std::size_t slash = path.rfind('/');
      const std::u16string parent(path.begin(), path.begin() + std::ptrdiff_t(slash));
      const std::u16string name(path.begin() + std::ptrdiff_t(slash) + 1, path.end());
      auto* directory = m->OpenDirectoryByPath(parent);
      FileSystemDriver::FileObject* file = directory->OpenFile(name);
      ++file->openCount;
      EXPECT_TRUE(ReadAll(file, 1 << 20) == content);
      EXPECT_TRUE(ReadAll(file, 1000) == content);
      if (--file->openCount == 0) delete file;
    }
    if (!c.extents && c.blockSize == 1024) {
      // Far block lies under the triple indirect pointer.
      const std::uint32_t number = InodeOf(image, "/far");
      InodeRef inode(m->GetInode(number - 1));
      const std::uint32_t triple =
          Common::LoadLe32(inode->Bytes() + filesystems::extfs::kMapAreaOffset + 14 * 4);
      EXPECT_NE(triple, 0u);
      EXPECT_NE(inode->MapBlock(far).block, kNotMapped);
      EXPECT_EQ(filesystems::extfs::kNotMapped, inode->MapBlock(far - 1).block);
      const std::uint64_t capacity = 12 + 256 + 65536 + std::uint64_t(256) * 65536;
      EXPECT_EQ(fstest::CodeOf([&] { inode->MapBlock(capacity); }), kFileSeekError);
      EXPECT_EQ(inode->MapBlock(capacity - 1).block, kNotMapped);
    }
  }
}

TEST(ExtRead, UninitialisedExtentsReadAsZeros) {
  exttest::ScratchDir dir;
  const std::string image = dir.File("unwritten.img");
  // Free blocks full of 0xAA, so that reading them instead of zeros shows.
  ASSERT_TRUE(exttest::Run("head -c 16777216 /dev/zero | tr '\\0' '\\252' > " + image));
  ASSERT_TRUE(exttest::Run("mke2fs -q -F -E nodiscard -t ext4 -b 1024 -O ^metadata_csum " +
                           image + " 16384k"));
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'write /dev/null prealloc' " + image));
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'fallocate /prealloc 0 39' " + image));
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'sif /prealloc size 40960' " + image));
  const std::string ex = exttest::Debugfs(image, "ex /prealloc");
  ASSERT_NE(ex.find("Uninit"), std::string::npos) << ex;
  const std::vector<std::uint64_t> blocks = DebugfsBlocks(image, "/prealloc");
  ASSERT_EQ(blocks.size(), 40u);
  const auto raw = exttest::ReadBytes(image, blocks[0] * 1024, 1024);
  ASSERT_EQ(raw[0], 0xAA);
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  auto* root = m->GetDirectoryObject(0);
  FileSystemDriver::FileObject* file = root->OpenFile(u"prealloc");
  ++file->openCount;
  EXPECT_EQ(ReadAll(file, 4096), std::string(40960, '\0'));
  EXPECT_EQ(ReadAll(file, 333), std::string(40960, '\0'));
  if (--file->openCount == 0) delete file;
}

// Names a directory lists through the driver, "." and ".." left out.
std::set<std::string> Listed(FileSystemDriver::DirectoryObject* directory) {
  std::set<std::string> names;
  std::unique_ptr<FileSystemDriver::IteratorObject> it(directory->OpenIterator());
  for (bool more = it != nullptr; more; more = it->Next()) {
    std::string name;
    for (const char16_t* p = it->GetName(); *p; ++p) name.push_back(char(*p));
    EXPECT_TRUE(names.insert(name).second) << name;
  }
  return names;
}

TEST(ExtRead, HashedDirectoryListsCompletelyAndFindsEveryName) {
  exttest::ScratchDir dir;
  const std::string source = dir.File("source");
  exttest::Run("mkdir -p " + source + "/many");
  std::set<std::string> expected;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = "entry-with-a-longish-name-" + std::to_string(i);
    expected.insert(name);
    std::ofstream(source + "/many/" + name) << i;
  }
  const std::string image = dir.File("htree.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext4 -b 1024 -O ^metadata_csum", 32768, source));
  // mke2fs -d writes plain directories; e2fsck -D indexes the large one.
  exttest::Run("e2fsck -fyD " + image);
  ASSERT_TRUE(exttest::Run("e2fsck -fn " + image));
  ASSERT_EQ(exttest::Debugfs(image, "htree_dump /many").find("Not a hash-indexed"),
            std::string::npos);
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  auto* many = m->OpenDirectoryByPath(u"/many");
  EXPECT_EQ(Listed(many), expected);
  for (int i : {0, 999, 1999}) {
    const std::string name = "entry-with-a-longish-name-" + std::to_string(i);
    std::unique_ptr<FileSystemDriver::IteratorObject> it(
        many->OpenIteratorFor(std::u16string(name.begin(), name.end())));
    EXPECT_EQ(it->GetSize(), std::to_string(i).size());
  }
  EXPECT_EQ(fstest::CodeOf([&] { many->OpenIteratorFor(u"missing"); }),
            kFileNotFound);
  EXPECT_EQ(fstest::CodeOf([&] { many->GetChildDirectoryId(u"entry-with-a-longish-name-1"); }),
            kFileOpenError);
}

TEST(ExtRead, EntryNamingInodeOneIsRefused) {
  exttest::ScratchDir dir;
  const std::string source = dir.File("source");
  exttest::Run("mkdir -p " + source + "/d && echo x > " + source + "/d/victim");
  const std::string image = dir.File("alias.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext2 -b 1024", 8192, source));
  // Point the entry at inode 1 (the bad-block inode), which e2fsck would
  // call damage as well.
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'unlink /d/victim' " + image + " && debugfs -w -R "
                           "'ln <1> /d/victim' " + image));
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  auto* d = m->OpenDirectoryByPath(u"/d");
  EXPECT_EQ(fstest::CodeOf([&] { Listed(d); }), kFileCorrupted);
  EXPECT_EQ(fstest::CodeOf([&] { d->GetChildDirectoryId(u"victim"); }),
            kFileCorrupted);
}

}  // namespace

#endif
