// Populated volumes from testsupport/hfs_populate.py (folders, files with
// data and resource forks, a fork continued in the extents overflow file,
// an extended attribute), each confirmed by fsck.hfsplus, sleuthkit and
// 7zz; then mounted by the volume layer, whose free count, clean unmount
// and bitmap must leave the tools' view unchanged.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "hfs_image.h"

namespace {

using hfstest::Quote;

struct Entry {
  const char* path;
  std::size_t size;  // files only
  bool folder;
};

const Entry kEntries[] = {
    {"docs", 0, true},
    {"readme.txt", 1000, false},
    {"Docs2.bin", 20000, false},
    {"docs/big.dat", 100000, false},
    {"docs/empty", 0, false},
    {"docs/sub", 0, true},
    {"docs/sub/Note.TXT", 5000, false},
};
const char* const kContents = hfstest::kSampleContents;

// fls -r -p: path -> inode number.
std::map<std::string, std::uint64_t> FlsPaths(const std::string& image) {
  std::map<std::string, std::uint64_t> out;
  const std::regex line("^[rd]/[rd] ([0-9]+):\\t(.*)$");
  for (const std::string& l : DiskTest::Lines(DiskTest::RunCommand("fls -r -p " + Quote(image)))) {
    std::smatch m;
    if (std::regex_match(l, m, line)) out[m[2]] = std::stoull(m[1]);
  }
  return out;
}

void ExpectToolsSeeTheTree(const std::string& image, const std::string& scratch) {
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  const auto paths = FlsPaths(image);
  std::uint64_t lastId = 0;
  for (const Entry& e : kEntries) {
    SCOPED_TRACE(e.path);
    auto found = paths.find(e.path);
    ASSERT_NE(found, paths.end());
    EXPECT_GT(found->second, lastId);  // ids handed out in order from 16
    lastId = found->second;
    if (e.folder) continue;
    EXPECT_EQ(DiskTest::RunCommand("icat " + Quote(image) + " " + std::to_string(found->second)),
              hfstest::PopulatedContent(e.path, e.size));
  }
  // The fragmented fork: eleven runs, three of them from the overflow file.
  const std::string stat = DiskTest::RunCommand("istat " + Quote(image) + " " +
                                                std::to_string(paths.at("docs/big.dat")));
  const std::size_t from = stat.find("Data Fork Blocks:");
  ASSERT_NE(from, std::string::npos);
  const std::string blocks = stat.substr(from, stat.find("Attributes:", from) - from);
  std::size_t runs = 0;
  const std::regex run("[0-9]+-[0-9]+");
  for (std::sregex_iterator it(blocks.begin(), blocks.end(), run), end;
       it != end; ++it) {
    ++runs;
  }
  EXPECT_EQ(runs, 11u);
  EXPECT_NE(DiskTest::RunCommand("istat " + Quote(image) + " " +
                                 std::to_string(paths.at("docs/sub/Note.TXT")))
                .find("Has extended attributes"),
            std::string::npos);
  // 7zz lists and extracts the same.
  const std::string listing = DiskTest::RunCommand("7zz l " + Quote(image));
  EXPECT_NE(listing.find("5 files, 3 folders"), std::string::npos) << listing;
  ASSERT_TRUE(hfstest::Run("rm -rf " + Quote(scratch) + " && 7zz x -o" + Quote(scratch) + " " + Quote(image)));
  for (const Entry& e : kEntries) {
    if (e.folder) continue;
    std::ifstream in(scratch + "/Fixture/" + e.path, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, hfstest::PopulatedContent(e.path, e.size)) << e.path;
  }
}

TEST(HfsPopulated, GeneratorOutputIsConfirmedByTheToolsAndMountsCleanly) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("p.img");
  const std::string contents = dir.File("contents.txt");
  std::ofstream(contents) << kContents;
  ASSERT_TRUE(hfstest::MakeImage(image, "", 32));
  std::string out;
  ASSERT_TRUE(hfstest::PopulateTool(image, contents, &out)) << out;
  ExpectToolsSeeTheTree(image, dir.File("x1"));

  const hfstest::FsstatSizes tool = hfstest::Fsstat(image);
  {
    hfstest::Mounted m(image);
    EXPECT_EQ(m->Primary().FreeBlocks(), tool.freeBlocks);
    EXPECT_EQ(m->Allocation().Free(), tool.freeBlocks);
    EXPECT_EQ(m->Primary().FileCount(), 5u);
    EXPECT_EQ(m->Primary().FolderCount(), 2u);
    m->MarkPrimaryModified();
    m->Unmount();
  }
  // After a read-write mount and a clean unmount the tools see the same.
  ExpectToolsSeeTheTree(image, dir.File("x2"));
}

}  // namespace

#endif
