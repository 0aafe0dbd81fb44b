// Directory entries read back from trees made by mtools: live entries, long
// names and 8.3 names equal what fls lists, and subdirectories carry their
// dot entries.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "fat_image.h"
#include "fat_mount_support.h"
#include "filesystems/fat_entries.h"
#include "filesystems/fat_names.h"
#include "foundation/text.h"

namespace {

using namespace filesystems;

// The bytes of a directory: the fixed root area, or a cluster chain.
std::vector<std::uint8_t> DirectoryBytes(FATDriver* fat, std::uint32_t id) {
  std::vector<std::uint8_t> bytes;
  const std::uint32_t sector = fat->SectorSize();
  if (id == 0 && fat->RootCluster() == 0) {
    bytes.resize(std::size_t(fat->RootDirectorySectors()) * sector);
    fat->ReadBlocks(bytes.data(), fat->FirstDataSector() - fat->RootDirectorySectors(),
                    fat->RootDirectorySectors());
    return bytes;
  }
  for (const ClusterRun& run : fat->ReadChain(id ? id : fat->RootCluster())) {
    const std::uint64_t sectors = std::uint64_t(run.end - run.first) * fat->SectorsPerCluster();
    const std::size_t at = bytes.size();
    bytes.resize(at + std::size_t(sectors) * sector);
    fat->ReadBlocks(bytes.data() + at, fat->ClusterToSector(run.first), sectors);
  }
  return bytes;
}

struct Listed {
  std::vector<std::string> names;
  std::vector<std::uint32_t> directoryClusters;  // of the subdirectories, in order
};

Listed List(FATDriver* fat, std::uint32_t id) {
  Listed out;
  const auto bytes = DirectoryBytes(fat, id);
  const bool fat32 = fat->RootCluster() != 0;
  auto entryAt = [&](std::uint32_t k) { return bytes.data() + std::size_t(k) * 32; };
  for (std::uint32_t i = 0; i < bytes.size() / 32 && entryAt(i)[0] != 0; ++i) {
    const std::uint8_t* e = entryAt(i);
    if (!fatentry::IsLiveEntry(e, fat32, nullptr, 0)) continue;
    std::u16string name;
    if (fatentry::ReadLongName(entryAt, i, name) == 0) fatname::ShortNameToWide(name, e);
    std::string utf8;
    Common::Utf16ToUtf8(utf8, name);
    out.names.push_back(utf8);
    if (fatentry::IsDirectory(e)) out.directoryClusters.push_back(fatentry::FirstCluster(e, fat32));
  }
  std::sort(out.names.begin(), out.names.end());
  return out;
}

std::vector<std::string> FlsNames(const std::string& image, const std::string& inode) {
  const std::string out = DiskTest::RunCommand("fls '" + image + "' " + inode + " 2>/dev/null");
  std::vector<std::string> names;
  std::regex line(R"(([rd])/[rd] \d+:\t([^\n]*)\n)");
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
    const std::string name = (*it)[2].str();
    if (name.find("(Volume Label Entry)") != std::string::npos || name[0] == '$') continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FatEntries, TreesMadeByMtoolsListAsFlsSees) {
  for (int bits : {12, 16, 32}) {
    SCOPED_TRACE(bits);
    fattest::ScratchDir dir;
    const std::string image = dir.File("tree.img");
    ASSERT_TRUE(fattest::MakeImage(
        image, {bits, 512, 1, 2, std::uint64_t(bits == 32 ? 40960 : bits == 16 ? 8000 : 1440),
                "TREE", ""}));
    const std::string host = dir.File("h");
    fattest::MakeHostFile(host, 100, 1);
    const std::vector<std::string> names = {
        "README.TXT", "readme2.txt", "Mixed Case Name.Document", "\xC3\x9C" "ber.txt",
        "a+b,c;d=e[f]g.h", std::string(100, 'z') + ".long", "x.tar.gz", "NOEXT"};
    DiskTest::RunCommand("mmd -i '" + image + "' '::Sub Directory'");
    for (const std::string& n : names) {
      DiskTest::RunCommand("mcopy -i '" + image + "' '" + host + "' '::" + n + "'");
      DiskTest::RunCommand("mcopy -i '" + image + "' '" + host + "' '::Sub Directory/in " + n +
                           "'");
    }
    DiskTest::RunCommand("mdel -i '" + image + "' ::NOEXT");  // a deleted entry in between
    ASSERT_EQ(fattest::Fsck(image).status, 0);

    fattest::Mounted m(image, 512);
    ASSERT_NE(m.driver, nullptr);
    const Listed root = List(m.driver, 0);
    EXPECT_EQ(root.names, FlsNames(image, ""));
    ASSERT_EQ(root.directoryClusters.size(), 1u);
    const std::uint32_t sub = root.directoryClusters[0];
    const auto subBytes = DirectoryBytes(m.driver, sub);
    EXPECT_TRUE(fatentry::HasDotEntries(subBytes.data(), subBytes.data() + 32, sub, bits == 32));
    EXPECT_FALSE(fatentry::HasDotEntries(subBytes.data(), subBytes.data() + 32, sub + 1, bits == 32));
    const std::string subInode = [&] {
      const std::string out = DiskTest::RunCommand("fls '" + image + "'");
      std::smatch match;
      std::regex_search(out, match, std::regex(R"(d/d (\d+):\tSub Directory)"));
      return match[1].str();
    }();
    ASSERT_FALSE(subInode.empty());
    const Listed inner = List(m.driver, sub);
    EXPECT_EQ(inner.names, FlsNames(image, subInode));
    EXPECT_EQ(inner.names.size(), names.size());
  }
}

TEST(FatEntries, LongNameSetsMustBeWhole) {
  // A set laid out for one 8.3 name, then damaged entry by entry.
  std::uint8_t shortName[11];
  std::memcpy(shortName, "LONGNA~1TXT", 11);
  const std::u16string name = u"a long name of thirty units.txt";
  auto layout = fatname::LayOutLongName(name, fatname::LfnChecksum(shortName));
  ASSERT_EQ(layout.size(), 3u);
  struct Case {
    const char* what;
    std::size_t entry;
    std::size_t offset;
    std::uint8_t value;
    bool whole;
  };
  const Case cases[] = {
      {"intact", 0, 0, 0x43, true},
      {"checksum", 1, 13, 0x00, false},
      {"sequence", 1, 0, 0x03, false},
      {"no last mark", 0, 0, 0x03, false},
      {"cluster word", 2, 26, 0x01, false},
      {"attribute", 2, 11, 0x2F, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes(32 * 5, 0);
    for (std::size_t k = 0; k < 3; ++k) std::memcpy(&bytes[32 * (k + 1)], layout[k].data(), 32);
    std::memcpy(&bytes[32 * 4], shortName, 11);
    bytes[32 * (c.entry + 1) + c.offset] = c.value;
    auto entryAt = [&](std::uint32_t k) { return bytes.data() + std::size_t(k) * 32; };
    std::u16string read;
    const std::uint32_t count = fatentry::ReadLongName(entryAt, 4, read);
    EXPECT_EQ(count, c.whole ? 3u : 0u);
    EXPECT_EQ(read, c.whole ? name : u"");
  }
}

}  // namespace

#endif
