// HFS+ file objects over populated volumes: every file read in chunks of
// many sizes equals what icat extracts (fragmented forks and forks
// continued in the extents overflow file included); writes, extensions and
// truncations leave volumes that fsck.hfsplus accepts and whose bytes icat
// and 7zz read back as the test's model says; files stay one object per
// open entry holding their folder; symbolic-link targets are read whole;
// read-only mounts and locked files refuse changes.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "files/file_error.h"
#include "foundation/byteorder.h"
#include "hfs_file_support.h"

namespace {

using namespace hfsfile;
using fstest::CodeOf;

const char kContents[] =
    "dir docs\n"
    "file readme.txt 1000\n"
    "file Docs2.bin 20000 rsrc=3000\n"
    "file docs/big.dat 100000 fragments=11\n"
    "file docs/empty 0\n"
    "dir docs/sub\n"
    "file docs/sub/Note.TXT 5000 xattr=user.tag:hello\n"
    "file many.bin 90000 fragments=20\n"
    "file link 0 symlink=docs/sub/Note.TXT\n";

struct Fixture {
  Fixture() {
    image = dir.File("f.img");
    std::string out;
    ok = hfstest::MakePopulated(image, kContents, &out) && hfstest::CheckerClean(image, &out);
    EXPECT_TRUE(ok) << out;
    ids = FlsIds(image);
  }
  hfstest::ScratchDir dir;
  std::string image;
  bool ok = false;
  std::map<std::string, std::uint32_t> ids;
};

TEST(HfsFile, ReadsInChunksOfEverySizeEqualIcat) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  ASSERT_GE(IstatDataRuns(f.image, f.ids.at("many.bin")), 20u);
  Mount m(f.image);
  ASSERT_TRUE(m.driver);
  for (const char* path : {"readme.txt", "Docs2.bin", "docs/big.dat", "docs/empty",
                           "docs/sub/Note.TXT", "many.bin", "link"}) {
    const std::string expected = Icat(f.image, std::to_string(f.ids.at(path)));
    std::unique_ptr<hfs::HFSPlusFileObject> file(m.Open(path));
    ASSERT_TRUE(file) << path;
    EXPECT_EQ(file->GetSize(), expected.size()) << path;
    for (std::uint32_t chunk : {1u, 509u, 4096u, 70001u, 1u << 20}) {
      if (chunk == 1 && expected.size() > 20000) continue;
      EXPECT_EQ(ReadAll(file.get(), chunk), expected) << path << " in chunks of " << chunk;
    }
  }
  // A read from inside that asks for more than remains stops at the end;
  // one at or past the end reads nothing.
  std::unique_ptr<hfs::HFSPlusFileObject> big(m.Open("docs/big.dat"));
  std::vector<char> buffer(10000);
  std::uint32_t done = 7;
  big->Read(buffer.data(), 95000, 10000, done);
  EXPECT_EQ(done, 5000u);
  EXPECT_EQ(std::string(buffer.data(), 5000), hfstest::PopulatedContent("docs/big.dat", 100000).substr(95000));
  big->Read(buffer.data(), 100000, 10, done);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(CodeOf([&] { big->Read(nullptr, 0, 10, done); }), kFileReadError);
  EXPECT_EQ(CodeOf([&] { big->GetVolumeOffset(100000); }), kFileSeekError);
}

// istat's data-fork runs of an entry as {first block, block count}.
std::vector<std::pair<std::uint64_t, std::uint64_t>> IstatRuns(const std::string& image,
                                                               std::uint32_t id) {
  const std::string stat = DiskTest::RunCommand("istat " + Quote(image) + " " + std::to_string(id));
  const std::size_t from = stat.find("Data Fork Blocks:");
  const std::string blocks = stat.substr(from, stat.find("Attributes:", from) - from);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
  const std::regex run("([0-9]+)(-([0-9]+))?");
  for (std::sregex_iterator it(blocks.begin(), blocks.end(), run), end; it != end; ++it) {
    const std::uint64_t first = std::stoull((*it)[1]);
    const std::uint64_t last = (*it)[3].matched ? std::stoull((*it)[3]) : first;
    runs.emplace_back(first, last - first + 1);
  }
  return runs;
}

TEST(HfsFile, VolumeOffsetsAndAllocationMapsFollowIstatsRuns) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  const std::uint32_t id = f.ids.at("docs/big.dat");
  const auto runs = IstatRuns(f.image, id);
  ASSERT_EQ(runs.size(), 11u);
  Mount m(f.image);
  std::unique_ptr<hfs::HFSPlusFileObject> big(m.Open("docs/big.dat"));
  const std::uint64_t sectorsPerBlock = 4096 / 512;
  std::uint64_t at = 0;
  for (const auto& run : runs) {
    EXPECT_EQ(big->GetVolumeOffset(at), run.first * sectorsPerBlock) << at;
    EXPECT_EQ(big->GetVolumeOffset(at + 1536), run.first * sectorsPerBlock + 3) << at;
    at += run.second * 4096;
  }
  // One piece per run; the pieces cover the file exactly.
  auto* map = reinterpret_cast<std::uint8_t*>(
      static_cast<std::uintptr_t>(big->GetAllocationMap(0, ~0ull)));
  ASSERT_TRUE(map);
  ASSERT_EQ(Common::LoadLe32(map), runs.size());
  std::uint64_t covered = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(Common::LoadLe64(map + 8 + 16 * i), covered);
    covered += Common::LoadLe64(map + 16 + 16 * i);
  }
  EXPECT_EQ(covered, 100000u);
  std::free(map);
  EXPECT_EQ(CodeOf([&] { big->GetAllocationMap(100000, 1); }), kFileNotSupported);
  EXPECT_EQ(CodeOf([&] { big->GetAllocationMap(0, 0); }), kFileNotSupported);
}

// A model of one file's bytes beside the driver's.
struct Model {
  std::map<std::string, std::string> files;
  void Write(const std::string& path, std::uint64_t at, const std::string& bytes) {
    std::string& f = files[path];
    if (f.size() < at + bytes.size()) f.resize(at + bytes.size(), '\0');
    f.replace(at, bytes.size(), bytes);
  }
};

std::string Pattern(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = char(seed + i * 7 + (i >> 8));
  return s;
}

void WriteAt(Driver::FileObject* file, std::uint64_t at, const std::string& bytes) {
  std::uint32_t done = 0;
  file->Write(bytes.data(), at, std::uint32_t(bytes.size()), done);
  EXPECT_EQ(done, bytes.size());
}

TEST(HfsFile, WritesExtendAndTruncateAsTheToolsSee) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  Model model;
  for (const char* path : {"readme.txt", "Docs2.bin", "docs/big.dat", "many.bin"}) {
    model.files[path] = Icat(f.image, std::to_string(f.ids.at(path)));
  }
  {
    Mount m(f.image);
    ASSERT_TRUE(m.driver);
    {
      // Inside the file, across extents of the fragmented one.
      std::unique_ptr<hfs::HFSPlusFileObject> big(m.Open("docs/big.dat"));
      WriteAt(big.get(), 8000, Pattern(30000, 'a'));
      model.Write("docs/big.dat", 8000, Pattern(30000, 'a'));
      // Past the end: the gap reads as zeros.
      WriteAt(big.get(), 150000, Pattern(1000, 'b'));
      model.Write("docs/big.dat", 150000, Pattern(1000, 'b'));
      EXPECT_EQ(big->GetSize(), 151000u);
      EXPECT_EQ(ReadAll(big.get(), 65536), model.files["docs/big.dat"]);
    }
    {
      // Shrinking by less than a block keeps the blocks; growing again
      // zeroes only what follows the old end.
      std::unique_ptr<hfs::HFSPlusFileObject> readme(m.Open("readme.txt"));
      readme->SetSize(700);
      readme->SetSize(3000);
      model.files["readme.txt"].resize(700);
      model.files["readme.txt"].resize(3000, '\0');
      EXPECT_EQ(ReadAll(readme.get(), 4096), model.files["readme.txt"]);
    }
    {
      // Truncated to nothing, the overflow extents go with the blocks.
      std::unique_ptr<hfs::HFSPlusFileObject> many(m.Open("many.bin"));
      many->SetSize(0);
      model.files["many.bin"].clear();
      std::unique_ptr<hfs::HFSPlusFileObject> docs2(m.Open("Docs2.bin"));
      docs2->SetSize(5000);
      model.files["Docs2.bin"].resize(5000);
    }
    {
      // Two files grown in turns: each ends with more than eight extents.
      std::unique_ptr<hfs::HFSPlusFileObject> a(m.Open("docs/empty"));
      std::unique_ptr<hfs::HFSPlusFileObject> b(m.Open("many.bin"));
      for (int i = 0; i < 12; ++i) {
        WriteAt(a.get(), 4096u * i, Pattern(4096, char('c' + i)));
        model.Write("docs/empty", 4096u * i, Pattern(4096, char('c' + i)));
        WriteAt(b.get(), 4096u * i, Pattern(4096, char('p' + i)));
        model.Write("many.bin", 4096u * i, Pattern(4096, char('p' + i)));
      }
      EXPECT_EQ(ReadAll(a.get(), 10000), model.files["docs/empty"]);
    }
    // Reopened after a close, the bytes are those written.
    std::unique_ptr<hfs::HFSPlusFileObject> again(m.Open("many.bin"));
    EXPECT_EQ(ReadAll(again.get(), 8192), model.files["many.bin"]);
  }
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(f.image, &out)) << out;
  model.files["docs/empty"];
  for (const auto& entry : model.files) {
    EXPECT_EQ(Icat(f.image, std::to_string(f.ids.at(entry.first))), entry.second) << entry.first;
  }
  EXPECT_GT(IstatDataRuns(f.image, f.ids.at("docs/empty")), 8u);
  EXPECT_GT(IstatDataRuns(f.image, f.ids.at("many.bin")), 8u);
  ASSERT_TRUE(hfstest::Run("7zz x -o" + Quote(f.dir.File("x")) + " " + Quote(f.image) + " >/dev/null"));
  for (const auto& entry : model.files) {
    std::ifstream in(f.dir.File("x") + "/Fixture/" + entry.first, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, entry.second) << entry.first;
  }
  EXPECT_EQ(hfstest::Fsstat(f.image).freeBlocks, [&] {
    Mount m(f.image);
    return m->GetMetadata().GetVolume().Allocation().Free();
  }());
}

TEST(HfsFile, CreatedFilesAreEmptyAndExistingOnesTruncated) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  {
    Mount m(f.image);
    Driver::DirectoryObject* docs = m.FolderOf("docs/x");
    std::unique_ptr<Driver::FileObject> made(docs->CreateFile(u"new.txt"));
    EXPECT_EQ(made->GetSize(), 0u);
    WriteAt(made.get(), 0, "fresh bytes");
    made.reset();
    std::unique_ptr<Driver::FileObject> again(docs->CreateFile(u"big.dat"));
    EXPECT_EQ(again->GetSize(), 0u);
    WriteAt(again.get(), 0, "short");
  }
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(f.image, &out)) << out;
  const auto ids = FlsIds(f.image);
  EXPECT_EQ(Icat(f.image, std::to_string(ids.at("docs/new.txt"))), "fresh bytes");
  EXPECT_EQ(Icat(f.image, std::to_string(ids.at("docs/big.dat"))), "short");
}

TEST(HfsFile, OneObjectPerOpenEntryHoldsItsFolder) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  Mount m(f.image);
  Driver::DirectoryObject* sub = m.FolderOf("docs/sub/Note.TXT");
  const std::int32_t idle = sub->Uses();
  std::unique_ptr<hfs::HFSPlusFileObject> first(m.Open("docs/sub/Note.TXT"));
  hfs::HFSPlusFileObject* second = m.Open("docs/sub/Note.TXT");
  EXPECT_EQ(first.get(), second);
  EXPECT_EQ(sub->Uses(), idle + 1);
  EXPECT_TRUE(m->OpenedFiles().IsOpen(f.ids.at("docs/sub"), f.ids.at("docs/sub/Note.TXT")));
  // Walking many other folders would let the framework drop idle folder
  // objects; this one is held.
  for (int i = 0; i < 20; ++i) {
    m.driver->OpenDirectoryByPath(u"/docs");
    m.driver->OpenDirectoryByPath(u"/");
  }
  EXPECT_EQ(m.FolderOf("docs/sub/Note.TXT"), sub);
  // An open file cannot be deleted; once closed it can.
  EXPECT_EQ(CodeOf([&] { sub->DeleteFile(u"Note.TXT"); }), kFileDeleteError);
  first.reset();
  EXPECT_EQ(sub->Uses(), idle);
  EXPECT_FALSE(m->OpenedFiles().IsOpen(f.ids.at("docs/sub"), f.ids.at("docs/sub/Note.TXT")));
  EXPECT_TRUE(static_cast<hfs::HFSPlusDirectory*>(sub)->OpenFiles().empty());
  sub->DeleteFile(u"Note.TXT");
}

TEST(HfsFile, ChangesAreRefusedOnReadOnlyMountsAndLockedFiles) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  {
    // A bitmap from the caller mounts read-only.
    std::vector<std::uint8_t> bitmap(1024, 0xFF);
    const std::string before = hfstest::Digest(f.image);
    {
      Mount m(f.image, bitmap.data(), std::uint32_t(bitmap.size()));
      ASSERT_TRUE(m.driver);
      std::unique_ptr<hfs::HFSPlusFileObject> file(m.Open("readme.txt"));
      std::uint32_t done = 0;
      EXPECT_EQ(CodeOf([&] { file->Write("x", 0, 1, done); }), kFileReadOnly);
      EXPECT_EQ(CodeOf([&] { file->SetSize(10); }), kFileReadOnly);
      EXPECT_EQ(CodeOf([&] { file->SetTimes(0, 0, 0); }), kFileReadOnly);
      EXPECT_EQ(ReadAll(file.get(), 4096), hfstest::PopulatedContent("readme.txt", 1000));
    }
    EXPECT_EQ(hfstest::Digest(f.image), before);
  }
  Mount m(f.image);
  hfs::CatalogFile& catalog = m->GetMetadata().Catalog();
  hfs::CatalogEntry e = catalog.GetRecordById(f.ids.at("readme.txt"));
  Common::StoreBe16(e.record.data() + hfs::file::kFlags,
                    Common::LoadBe16(e.record.data() + hfs::file::kFlags) | 0x0001);
  catalog.UpdateRecord(e);
  std::unique_ptr<hfs::HFSPlusFileObject> file(m.Open("readme.txt"));
  std::uint32_t done = 0;
  EXPECT_EQ(CodeOf([&] { file->Write("xyz", 0, 3, done); }), kFileLockFailed);
  EXPECT_EQ(CodeOf([&] { file->SetSize(1); }), kFileLockFailed);
  EXPECT_EQ(ReadAll(file.get(), 4096), hfstest::PopulatedContent("readme.txt", 1000));
}

TEST(HfsFile, TimesOwnerAndModeReachTheRecordAsIstatShows) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  {
    Mount m(f.image);
    std::unique_ptr<hfs::HFSPlusFileObject> file(m.Open("readme.txt"));
    // 2001-09-09 01:46:40 UTC, 2000-01-01 00:00:00 UTC, 2010-01-01 00:00:00 UTC.
    file->SetOwner(501, 20);
    file->SetMode(0100600);
    file->SetTimes(1000000000000ull, 946684800000ull, 1262304000000ull);
  }
  const std::string stat = DiskTest::RunCommand("istat " + Quote(f.image) + " " +
                                                std::to_string(f.ids.at("readme.txt")));
  EXPECT_NE(stat.find("Content Modified:\t2001-09-09 01:46:40"), std::string::npos) << stat;
  EXPECT_NE(stat.find("Created:\t2000-01-01 00:00:00"), std::string::npos) << stat;
  EXPECT_NE(stat.find("Accessed:\t2010-01-01 00:00:00"), std::string::npos) << stat;
  EXPECT_NE(stat.find("uid / gid: 501 / 20"), std::string::npos) << stat;
  EXPECT_NE(stat.find("rw-------"), std::string::npos) << stat;
}

TEST(HfsFile, HardLinksShareTheirINodesData) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("h.img");
  std::string out;
  ASSERT_TRUE(hfstest::MakePopulated(image,
                                     "dir docs\n"
                                     "file data.bin 9000\n"
                                     "file docs/other 0 hardlink=data.bin\n"
                                     "file second 0 hardlink=data.bin\n",
                                     &out))
      << out;
  ASSERT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  // sleuthkit names every link by its iNode.
  const auto ids = FlsIds(image);
  const std::uint32_t inode = ids.at("data.bin");
  ASSERT_EQ(ids.at("second"), inode);
  std::string expected = Icat(image, std::to_string(inode));
  ASSERT_EQ(expected, hfstest::PopulatedContent("data.bin", 9000));
  {
    Mount m(image);
    std::unique_ptr<hfs::HFSPlusFileObject> second(m.Open("second"));
    std::unique_ptr<hfs::HFSPlusFileObject> other(m.Open("docs/other"));
    ASSERT_TRUE(second->IsHardLink());
    EXPECT_NE(second.get(), other.get());
    EXPECT_EQ(second->Content(), other->Content());
    EXPECT_TRUE(m->OpenedFiles().IsOpen(m->PrivateDataFolderId(), inode));
    EXPECT_EQ(ReadAll(other.get(), 4096), expected);
    // A write through one link is what the other reads.
    WriteAt(second.get(), 8000, Pattern(3000, 'h'));
    expected.resize(8000);
    expected += Pattern(3000, 'h');
    EXPECT_EQ(ReadAll(other.get(), 5000), expected);
    other.reset();
    // Truncating another name of an open iNode is refused.
    EXPECT_EQ(CodeOf([&] { delete m.FolderOf("docs/other")->CreateFile(u"other"); }),
              kFileDeleteError);
    other.reset(m.Open("docs/other"));
    second.reset();
    EXPECT_TRUE(m->OpenedFiles().IsOpen(m->PrivateDataFolderId(), inode));
    other.reset();
    EXPECT_FALSE(m->OpenedFiles().IsOpen(m->PrivateDataFolderId(), inode));
  }
  EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  EXPECT_EQ(Icat(image, std::to_string(inode)), expected);
}

TEST(HfsFile, SymbolicLinkTargetsAreReadWholeAndCapped) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("s.img");
  // 512-byte blocks: a 900-byte target spans two extents.
  const std::string target = std::string(440, 'a') + "/" + std::string(459, 'b');
  {
    std::ofstream(image + ".contents") << "file short 0 symlink=docs/sub/Note.TXT\n"
                                       << "file long 0 fragments=2 symlink=" << target << "\n";
  }
  std::string out;
  ASSERT_TRUE(hfstest::MakeImage(image, "-b 512", 32));
  ASSERT_TRUE(hfstest::PopulateTool(image, image + ".contents", &out)) << out;
  ASSERT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  const auto ids = FlsIds(image);
  ASSERT_EQ(IstatDataRuns(image, ids.at("long")), 2u);
  Mount m(image);
  hfs::CatalogFile& catalog = m->GetMetadata().Catalog();
  for (const char* name : {"short", "long"}) {
    hfs::CatalogEntry e = catalog.GetRecordById(ids.at(name));
    std::u16string expected;
    Common::Utf8ToUtf16(expected, Icat(image, std::to_string(ids.at(name))));
    EXPECT_EQ(hfs::ReadSymlinkTarget(m.Hfs(), e.record.data()), expected) << name;
  }
  // A size whose low 32 bits look harmless is still too long; so is a
  // target past 1,024 bytes and an empty one.
  hfs::CatalogEntry e = catalog.GetRecordById(ids.at("short"));
  for (std::uint64_t size : {0x100000005ull, 1025ull, 0ull}) {
    Common::StoreBe64(e.record.data() + hfs::file::kDataFork, size);
    EXPECT_EQ(CodeOf([&] { hfs::ReadSymlinkTarget(m.Hfs(), e.record.data()); }), kFileCorrupted)
        << size;
  }
}

}  // namespace

#endif
