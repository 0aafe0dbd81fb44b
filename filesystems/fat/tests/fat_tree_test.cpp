// FAT directories and files through the framework's view, judged by the
// tools: trees made by mtools read back as they went in (names, sizes,
// bytes, cluster runs as istat lists them), trees written by the driver
// read back by mtools and sleuthkit, and fsck.fat finds nothing to mend.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "fat_image.h"
#include "fat_session.h"
#include "files/file_error.h"
#include "foundation/byteorder.h"

namespace {

using fattest::MkfsOptions;
using fattest::Session;
using filesystems::FATDriver;

std::string Shell(const std::string& command, int* status = nullptr) {
  return DiskTest::RunCommand(command, status);
}

// mcopy a host file into the image at a path ("::/a/b").
void Mcopy(const std::string& image, const std::string& host, const std::string& path) {
  int status = 0;
  const std::string out =
      Shell("mcopy -o -i '" + image + "' '" + host + "' '::" + path + "' 2>&1", &status);
  ASSERT_EQ(status, 0) << out;
}

std::string McopyOut(const std::string& image, const std::string& path) {
  return Shell("mcopy -n -i '" + image + "' '::" + path + "' - 2>/dev/null");
}

// fsck.fat -n must be silent about damage: status 0 and nothing to mend.
void ExpectClean(const std::string& image) {
  const fattest::FsckReport r = fattest::Fsck(image);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("Free cluster summary wrong"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("lost"), std::string::npos) << r.output;
}

std::uint64_t FsckFreeBytes(const std::string& image, const MkfsOptions& o) {
  const fattest::FsckReport r = fattest::Fsck(image);
  return (r.dataClusters - r.usedClusters) * o.sectorsPerCluster * o.sectorSize;
}

std::uint64_t DriverFreeBytes(Session& s) {
  std::uint64_t total = 0, free = 0, available = 0;
  s.Driver()->GetVolumeSizes(total, free, available);
  return free;
}

const std::vector<MkfsOptions> kTypes = {
    {12, 512, 2, 2, 4096, "TWELVE", ""},
    {16, 512, 4, 2, 20480, "SIXTEEN", ""},
    {32, 512, 1, 2, 40960, "THIRTYTWO", ""},
    {16, 4096, 1, 1, 40960, "BIGSECTOR", ""},
};

std::uint32_t ClusterBytes(const MkfsOptions& o) { return o.sectorSize * o.sectorsPerCluster; }

TEST(FatTree, TreesFilledByMtoolsReadBackAsTheyWentIn) {
  fattest::ScratchDir dir;
  for (const MkfsOptions& o : kTypes) {
    SCOPED_TRACE(fattest::Describe(o));
    const std::string image = dir.File("read.img");
    ASSERT_TRUE(fattest::MakeImage(image, o));
    Shell("mmd -i '" + image + "' ::/Sub ::/Sub/Deeper\\ Folder 2>&1");
    const std::uint32_t cb = ClusterBytes(o);
    std::map<std::string, std::string> content;
    const std::vector<std::pair<std::string, std::size_t>> files = {
        {"EMPTY.TXT", 0}, {"one.bin", 1}, {"Cluster Less One.dat", cb - 1},
        {"EXACT.DAT", cb}, {"cluster plus one.dat", cb + 1}, {"Sub/Big File.bin", 300000},
        {"Sub/Deeper Folder/naïve résumé.txt", 777}};
    std::uint32_t seed = 1;
    for (const auto& f : files) {
      const std::string host = dir.File("host");
      content[f.first] = fattest::MakeHostFile(host, f.second, seed++);
      Mcopy(image, host, "/" + f.first);
    }
    // A fragmented file: fill with small files, delete every other one, then
    // write a large one that must take the holes.
    for (int k = 0; k < 16; ++k) {
      const std::string host = dir.File("host");
      const std::string name = "F" + std::to_string(k) + ".BIN";
      content[name] = fattest::MakeHostFile(host, 2 * cb, seed++);
      Mcopy(image, host, "/" + name);
    }
    for (int k = 0; k < 16; k += 2) {
      Shell("mdel -i '" + image + "' ::/F" + std::to_string(k) + ".BIN");
      content.erase("F" + std::to_string(k) + ".BIN");
    }
    const std::string host = dir.File("host");
    content["FRAGMENT.BIN"] = fattest::MakeHostFile(host, 12 * cb + 5, seed++);
    Mcopy(image, host, "/FRAGMENT.BIN");
    ExpectClean(image);

    Session s(image, o.sectorSize, true);
    ASSERT_TRUE(s.Ok());
    const auto tree = s.Tree();
    std::size_t fileCount = 0;
    for (const auto& entry : tree) {
      if (entry.second.directory) continue;
      ++fileCount;
      auto it = content.find(entry.first);
      ASSERT_NE(it, content.end()) << entry.first;
      EXPECT_EQ(entry.second.size, it->second.size()) << entry.first;
      EXPECT_EQ(s.Cat(entry.first), it->second) << entry.first;
    }
    EXPECT_EQ(fileCount, content.size());
    EXPECT_TRUE(tree.count("Sub/Deeper Folder"));
    EXPECT_TRUE(tree.at("Sub").directory);

    // The runs the driver follows are the sectors istat lists.
    const std::string inode = fattest::FlsInode(image, "FRAGMENT.BIN");
    ASSERT_FALSE(inode.empty());
    std::vector<std::uint64_t> expected = fattest::IstatSectors(image, inode);
    std::unique_ptr<rio_file> file(s.Root()->open_file_rw(u"FRAGMENT.BIN", true));
    ASSERT_TRUE(file);
    std::vector<std::uint64_t> sectors;
    for (std::uint64_t at = 0; at < content["FRAGMENT.BIN"].size(); at += o.sectorSize) {
      gsec_request request;
      file->seek_set(std::int64_t(at));
      file->control(&request);
      ASSERT_TRUE(file->is_ok());
      sectors.push_back(request.sector);
    }
    EXPECT_EQ(sectors, expected);
    // mtools fills the holes on FAT12/16 (on FAT32 it follows the FSInfo
    // hint past them).
    if (o.fatBits != 32) {
      EXPECT_GT(std::count_if(sectors.begin() + 1, sectors.end(),
                              [&, i = std::size_t(0)](std::uint64_t v) mutable {
                                return v != sectors[i++] + 1;
                              }),
                2);
    }
  }
}

TEST(FatTree, FilesWrittenThroughTheDriverReadBackByMtools) {
  fattest::ScratchDir dir;
  for (const MkfsOptions& o : kTypes) {
    SCOPED_TRACE(fattest::Describe(o));
    const std::string image = dir.File("write.img");
    ASSERT_TRUE(fattest::MakeImage(image, o));
    const std::uint32_t cb = ClusterBytes(o);
    std::map<std::string, std::string> content;
    std::uint32_t seed = 40;
    {
      Session s(image, o.sectorSize);
      ASSERT_TRUE(s.Ok());
      ASSERT_EQ(s.Mkdir("Data"), 0u);
      const std::vector<std::pair<std::string, std::size_t>> files = {
          {"ZERO.BIN", 0},          {"one.bin", 1},          {"less.bin", cb - 1},
          {"Data/exact.bin", cb},   {"Data/more.bin", cb + 1},
          {"Data/Five MiB.bin", o.fatBits == 12 ? 1000000 : 5u << 20}};
      for (const auto& f : files) {
        content[f.first] = fattest::MakeHostFile(dir.File("host"), f.second, seed++);
        ASSERT_EQ(s.Put(f.first, content[f.first]), 0u) << f.first;
      }
      // Interleaved growth makes fragmented files.
      std::string a, b;
      for (int k = 0; k < 6; ++k) {
        a += fattest::MakeHostFile(dir.File("host"), cb + 7, seed++);
        b += fattest::MakeHostFile(dir.File("host"), cb - 3, seed++);
        ASSERT_EQ(s.Put("frag a.bin", a), 0u);
        ASSERT_EQ(s.Put("frag b.bin", b), 0u);
        ASSERT_EQ(s.Put("spacer" + std::to_string(k), std::string(cb, 'x')), 0u);
      }
      content["frag a.bin"] = a;
      content["frag b.bin"] = b;
      for (int k = 0; k < 6; ++k) content["spacer" + std::to_string(k)] = std::string(cb, 'x');
      ASSERT_EQ(s.Close(), 0u);
    }
    ExpectClean(image);
    for (const auto& f : content) EXPECT_EQ(McopyOut(image, "/" + f.first), f.second) << f.first;
    const std::string listing = Shell("mdir -a -i '" + image + "' ::/Data 2>&1");
    EXPECT_NE(listing.find("Five MiB.bin"), std::string::npos) << listing;

    // And back the other way: a file mtools wrote among the driver's.
    const std::string fresh = fattest::MakeHostFile(dir.File("host"), 3 * cb + 17, 999);
    Mcopy(image, dir.File("host"), "/Data/from mtools.bin");
    Session again(image, o.sectorSize, true);
    EXPECT_EQ(again.Cat("Data/from mtools.bin"), fresh);
  }
}

// Sizes change through truncate, extend, write past the end and delete;
// the free count the driver keeps is the one fsck.fat counts, and no
// cluster is lost, grow-then-shrink before a flush included.
TEST(FatTree, ResizingKeepsTheFreeCountAndLosesNoClusters) {
  fattest::ScratchDir dir;
  for (const MkfsOptions& o : kTypes) {
    SCOPED_TRACE(fattest::Describe(o));
    const std::string image = dir.File("resize.img");
    ASSERT_TRUE(fattest::MakeImage(image, o));
    const std::uint32_t cb = ClusterBytes(o);
    {
      Session s(image, o.sectorSize);
      ASSERT_TRUE(s.Ok());
      ASSERT_EQ(s.Put("grow.bin", "abc"), 0u);
      // A write far past the end leaves zeros in between.
      {
        std::unique_ptr<rio_file> f(s.Root()->open_file_rw(u"grow.bin", false));
        ASSERT_TRUE(f);
        f->seek_set(3 * cb + 10);
        f->write_exact("Z", 1);
        ASSERT_TRUE(f->is_ok());
        // Grown by many clusters and shrunk again while still open: the
        // flush must free what the chain holds, not what the entry said.
        f->set_size(20 * cb);
        f->set_size(cb / 2);
        ASSERT_TRUE(f->is_ok());
      }
      std::string expected = "abc" + std::string(cb / 2 - 3, '\0');
      EXPECT_EQ(s.Cat("grow.bin"), expected);
      ASSERT_EQ(s.Put("keep.bin", std::string(4 * cb, 'k')), 0u);
      ASSERT_EQ(s.Truncate("keep.bin", 2 * cb + 1), 0u);
      ASSERT_EQ(s.Truncate("keep.bin", 3 * cb), 0u);
      ASSERT_EQ(s.Put("gone.bin", std::string(3 * cb, 'g')), 0u);
      ASSERT_EQ(s.Rm("gone.bin"), 0u);
      ASSERT_EQ(s.Truncate("grow.bin", 0), 0u);
      EXPECT_EQ(s.Close(), 0u);
    }
    ExpectClean(image);
    std::string keep = std::string(2 * cb + 1, 'k') + std::string(cb - 1, '\0');
    EXPECT_EQ(McopyOut(image, "/keep.bin"), keep);
    EXPECT_EQ(McopyOut(image, "/grow.bin"), "");
    Session s(image, o.sectorSize, true);
    EXPECT_EQ(DriverFreeBytes(s), FsckFreeBytes(image, o));
  }
}

TEST(FatTree, AllFatCopiesAgreeAfterAFlush) {
  fattest::ScratchDir dir;
  for (const MkfsOptions& o : {MkfsOptions{12, 512, 1, 2, 2048, "A", ""},
                               MkfsOptions{16, 512, 4, 2, 20480, "B", ""},
                               MkfsOptions{32, 512, 1, 2, 40960, "C", ""}}) {
    SCOPED_TRACE(fattest::Describe(o));
    const std::string image = dir.File("copies.img");
    ASSERT_TRUE(fattest::MakeImage(image, o));
    {
      Session s(image, o.sectorSize);
      for (int k = 0; k < 20; ++k)
        ASSERT_EQ(s.Put("f" + std::to_string(k), std::string(1000 * k, char('a' + k))), 0u);
      ASSERT_EQ(s.Close(), 0u);
    }
    const fattest::FsckReport r = fattest::Fsck(image);
    Session s(image, o.sectorSize, true);
    const std::uint64_t fatBytes = std::uint64_t(s.Driver()->SectorsPerFat()) * o.sectorSize;
    const auto first = fattest::ReadBytes(image, r.firstFatSector * o.sectorSize, fatBytes);
    const auto second =
        fattest::ReadBytes(image, (r.firstFatSector + s.Driver()->SectorsPerFat()) * o.sectorSize,
                           fatBytes);
    EXPECT_TRUE(first == second);
  }
}

// Names created through the driver: the long names mdir and fls show, the
// 8.3 forms, and fsck.fat finding no long-name errors.
TEST(FatTree, NamesCreatedThroughTheDriver) {
  struct Case {
    std::string name;
    std::string shortName;  // as mdir shows the 8.3 name: "BASE EXT" with padding removed
  };
  const std::string longest(255, 'n');
  const std::vector<Case> table = {
      {"README.TXT", "README TXT"},
      {"readme2.txt", "README2 TXT"},
      {"Long File Name.txt", "LONGFI~1 TXT"},
      {"Long File Names.txt", "LONGFI~2 TXT"},
      {"a+b.txt", "A_B~1 TXT"},
      {".profile", "PROFIL~1"},
      {"x.tar.gz", "XTAR~1 GZ"},
      {"Ünüsual café.txt", ""},
      {"Mixed Case", "MIXEDC~1"},
      {"mixed case", ""},  // the same name in another case: found, not made again
      {longest, "NNNNNN~1"},
  };
  fattest::ScratchDir dir;
  for (int bits : {16, 32}) {
    SCOPED_TRACE(bits);
    const std::string image = dir.File("names.img");
    MkfsOptions o;
    o.fatBits = bits;
    o.kilobytes = bits == 32 ? 40960 : 20480;
    o.sectorsPerCluster = 1;
    ASSERT_TRUE(fattest::MakeImage(image, o));
    {
      Session s(image);
      for (const Case& c : table) EXPECT_EQ(s.Put(c.name, c.name), 0u) << c.name;
      EXPECT_EQ(s.Put("bad*name.txt", "x"), std::uint32_t(kFileCreateError));
      EXPECT_EQ(s.Put(std::string(256, 'm'), "x"), std::uint32_t(kFileCreateError));
      // Ten names with one basis: after nine tails the hexadecimal form.
      for (int k = 0; k < 10; ++k)
        EXPECT_EQ(s.Put("Tailtest file " + std::to_string(k), "t"), 0u);
      const auto tree = s.Tree();
      EXPECT_EQ(tree.at("Tailtest file 8").shortName, "TAILTE~9");
      EXPECT_TRUE(std::regex_match(tree.at("Tailtest file 9").shortName,
                                   std::regex("TA~[0-9A-F]{4}[1-9]")))
          << tree.at("Tailtest file 9").shortName;
      EXPECT_EQ(s.Close(), 0u);
    }
    ExpectClean(image);
    const std::string mdir = Shell("mdir -a -i '" + image + "' ::/ 2>&1");
    const std::string fls = Shell("fls '" + image + "' 2>&1");
    for (const Case& c : table) {
      if (c.name == "mixed case") continue;
      // fls cuts names at 247 bytes; mdir shows them whole.
      if (c.name.size() < 200)
        EXPECT_NE(fls.find(":\t" + c.name + "\n"), std::string::npos) << c.name << "\n" << fls;
      else
        EXPECT_NE(mdir.find("  " + c.name + "\n"), std::string::npos) << c.name << "\n" << mdir;
      if (!c.shortName.empty() && c.name != c.shortName) {
        // mdir shows the 8.3 name, then the long name when there is one.
        const std::string base = c.shortName.substr(0, c.shortName.find(' '));
        EXPECT_NE(mdir.find(base), std::string::npos) << c.name << "\n" << mdir;
      }
      EXPECT_EQ(McopyOut(image, "/" + c.name), c.name == "Mixed Case" ? "mixed case" : c.name);
    }
    EXPECT_EQ(mdir.find("mixed case"), std::string::npos) << mdir;
    EXPECT_NE(mdir.find("README   TXT"), std::string::npos) << mdir;
    EXPECT_NE(mdir.find("LONGFI~2 TXT"), std::string::npos) << mdir;
    EXPECT_NE(mdir.find("A_B~1    TXT"), std::string::npos) << mdir;
    EXPECT_NE(mdir.find("XTAR~1   GZ"), std::string::npos) << mdir;
  }
}

TEST(FatTree, DirectoriesMoveGrowAndFill) {
  fattest::ScratchDir dir;
  for (const MkfsOptions& o : kTypes) {
    SCOPED_TRACE(fattest::Describe(o));
    const std::string image = dir.File("dirs.img");
    ASSERT_TRUE(fattest::MakeImage(image, o));
    const std::uint32_t perCluster = ClusterBytes(o) / 32;
    {
      Session s(image, o.sectorSize);
      ASSERT_EQ(s.Mkdir("Outer"), 0u);
      ASSERT_EQ(s.Mkdir("Outer/Inner Folder"), 0u);
      ASSERT_EQ(s.Put("Outer/Inner Folder/file.txt", "inside"), 0u);
      ASSERT_EQ(s.Mkdir("Target"), 0u);
      EXPECT_EQ(s.Mkdir("target"), std::uint32_t(kFileAlreadyExists));
      // A move to another folder fixes "..", so the tree stays sound.
      ASSERT_EQ(s.Mv("Outer/Inner Folder", "Target/Moved Here"), 0u);
      ASSERT_EQ(s.Mv("Target", "Renamed"), 0u);
      ASSERT_EQ(s.Mv("Renamed/Moved Here", "Back At Root"), 0u);
      EXPECT_EQ(s.Cat("Back At Root/file.txt"), "inside");
      // Subdirectory growth: more entries than one cluster holds.
      ASSERT_EQ(s.Mkdir("Many"), 0u);
      for (std::uint32_t k = 0; k < perCluster; ++k)
        ASSERT_EQ(s.Put("Many/E" + std::to_string(k), ""), 0u);
      EXPECT_EQ(s.Rmdir("Many"), std::uint32_t(kFileDeleteError));
      EXPECT_EQ(s.Tree("Many").size(), perCluster);
      EXPECT_EQ(s.Close(), 0u);
    }
    ExpectClean(image);
    EXPECT_EQ(McopyOut(image, "/Back At Root/file.txt"), "inside");
    const std::string fls = Shell("fls -r '" + image + "' 2>&1");
    EXPECT_NE(fls.find("d/d"), std::string::npos);
    EXPECT_NE(fls.find("Back At Root"), std::string::npos) << fls;
    // ".." of the moved folder names the root (cluster 0).
    const std::string dotdot = Shell("mdir -a -i '" + image + "' '::/Back At Root' 2>&1");
    EXPECT_NE(dotdot.find(".."), std::string::npos) << dotdot;
    // The grown folder's chain: two clusters, the second zeroed after its
    // last used entry.
    const std::string inode = fattest::FlsInode(image, "Many");
    (void)inode;
    Session s(image, o.sectorSize, true);
    std::unique_ptr<i_dir::iterator> it(s.Root()->find(u"Many"));
    ASSERT_TRUE(it);
    EXPECT_EQ(it->allocated_size(), 2ull * ClusterBytes(o));
  }
}

TEST(FatTree, FullFixedRootRefusesTheNextEntry) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("root.img");
  ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 4, 2, 20480, "FULLROOT", "-r 32"}));
  Session s(image);
  ASSERT_TRUE(s.Ok());
  // mkfs.fat rounds the root up; the label takes one of its slots.
  const std::uint32_t slots = s.Driver()->RootDirectorySectors() * 512 / 32;
  ASSERT_LE(slots, 64u);
  for (std::uint32_t k = 0; k + 1 < slots; ++k)
    ASSERT_EQ(s.Put("R" + std::to_string(k), ""), 0u) << k;
  EXPECT_EQ(s.Put("ONEMORE", ""), std::uint32_t(kFileCreateError));
  EXPECT_EQ(s.Mkdir("DIR"), std::uint32_t(kFileCreateError));
  ASSERT_EQ(s.Rm("R3"), 0u);
  EXPECT_EQ(s.Put("ONEMORE", ""), 0u);
  EXPECT_EQ(s.Close(), 0u);
  ExpectClean(image);
}

// Entries an open file still refers to cannot be deleted or moved away.
TEST(FatTree, OpenFilesKeepTheirEntries) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("open.img");
  ASSERT_TRUE(fattest::MakeImage(image, {32, 512, 1, 2, 40960, "OPEN", ""}));
  {
    Session s(image);
    ASSERT_EQ(s.Mkdir("Elsewhere"), 0u);
    ASSERT_EQ(s.Put("held.txt", "held"), 0u);
    std::unique_ptr<rio_file> f(s.Root()->open_file_rw(u"held.txt", true));
    ASSERT_TRUE(f);
    EXPECT_EQ(s.Rm("held.txt"), std::uint32_t(kFileAccessDenied));
    EXPECT_EQ(s.Mv("held.txt", "Elsewhere/held.txt"), std::uint32_t(kFileAccessDenied));
    // A rename in place follows the file to its new entry.
    EXPECT_EQ(s.Mv("held.txt", "Held Renamed.txt"), 0u);
    f->seek_set(4);
    f->write_exact(" and written", 12);
    EXPECT_TRUE(f->is_ok());
    f.reset();
    EXPECT_EQ(s.Rm("Held Renamed.txt"), 0u);
    ASSERT_EQ(s.Put("after.txt", "after"), 0u);
    EXPECT_EQ(s.Close(), 0u);
  }
  ExpectClean(image);
  EXPECT_EQ(McopyOut(image, "/after.txt"), "after");
}

// A subdirectory entry whose first cluster is 0 would alias the root.
TEST(FatTree, SubdirectoryAtClusterZeroIsRefused) {
  fattest::ScratchDir dir;
  for (int bits : {16, 32}) {
    const std::string image = dir.File("alias.img");
    ASSERT_TRUE(fattest::MakeImage(image, {bits, 512, bits == 16 ? 4u : 1u, 2, 40960, "ALIAS", ""}));
    Shell("mmd -i '" + image + "' ::/LOOP");
    std::uint64_t entryByte;
    {
      Session s(image, 512, true);
      std::unique_ptr<i_dir::iterator> it(s.Root()->find(u"LOOP"));
      ASSERT_TRUE(it);
      entryByte = it->file_index();
    }
    std::vector<std::uint8_t> zero(2, 0);
    fattest::WriteBytes(image, entryByte + 20, zero);
    fattest::WriteBytes(image, entryByte + 26, zero);
    Session s(image, 512, true);
    // The view resolves the path when it is used: the listing fails.
    std::unique_ptr<i_dir> loop(s.Root()->open_dir(u"LOOP"));
    std::uint32_t code = s.Root()->error().Code();
    if (loop) {
      std::unique_ptr<i_dir::iterator> it(loop->list());
      code = loop->error().Code();
    }
    EXPECT_EQ(code, std::uint32_t(kFileCorrupted));
  }
}

TEST(FatTree, MakingAFileContiguousKeepsItsBytes) {
  fattest::ScratchDir dir;
  const MkfsOptions o{16, 512, 1, 2, 20480, "DFRG", ""};
  const std::string image = dir.File("dfrg.img");
  ASSERT_TRUE(fattest::MakeImage(image, o));
  std::string data;
  {
    Session s(image);
    std::string a, b;
    for (int k = 0; k < 8; ++k) {
      a += std::string(512, char('A' + k));
      b += std::string(512, char('a' + k));
      ASSERT_EQ(s.Put("scattered.bin", a), 0u);
      ASSERT_EQ(s.Put("other.bin", b), 0u);
    }
    data = a;
    std::unique_ptr<rio_file> f(s.Root()->open_file_rw(u"scattered.bin", false));
    filesystems::dfrg_request request;
    request.bytes = data.size();
    f->control(&request);
    EXPECT_TRUE(f->is_ok());
    f.reset();
    EXPECT_EQ(s.Cat("scattered.bin"), data);
    EXPECT_EQ(s.Close(), 0u);
  }
  ExpectClean(image);
  EXPECT_EQ(McopyOut(image, "/scattered.bin"), data);
  const std::string inode = fattest::FlsInode(image, "scattered.bin");
  const auto sectors = fattest::IstatSectors(image, inode);
  ASSERT_EQ(sectors.size(), 8u);
  for (std::size_t k = 1; k < sectors.size(); ++k) EXPECT_EQ(sectors[k], sectors[0] + k);
}

// An 8.3 name given to an entry: taken from another entry with a long name,
// which gets a fresh one; refused where the long name is the 8.3 name.
TEST(FatTree, ShortNamesSetThroughTheView) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("short.img");
  ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 4, 2, 20480, "SHORT", ""}));
  auto setShort = [](Session& s, const char16_t* name, const char16_t* shortName) {
    filesystems::ssfn_request request;
    request.name = name;
    request.shortName = shortName;
    s.Root()->control(&request);
    return s.Root()->is_ok() ? 0u : s.Root()->error().Code();
  };
  {
    Session s(image);
    ASSERT_EQ(s.Put("Long File Name.txt", "one"), 0u);
    ASSERT_EQ(s.Put("Long File Names.txt", "two"), 0u);
    ASSERT_EQ(s.Put("README.TXT", "plain"), 0u);
    EXPECT_EQ(setShort(s, u"Long File Names.txt", u"LONGFI~1.TXT"), 0u);
    EXPECT_EQ(setShort(s, u"README.TXT", u"OTHER.TXT"), std::uint32_t(kFileRenameError));
    EXPECT_EQ(setShort(s, u"Long File Name.txt", u"README.TXT"),
              std::uint32_t(kFileAlreadyExists));
    EXPECT_EQ(setShort(s, u"Long File Name.txt", u"bad name.txt"),
              std::uint32_t(kFileRenameError));
    const auto tree = s.Tree();
    EXPECT_EQ(tree.at("Long File Names.txt").shortName, "LONGFI~1.TXT");
    EXPECT_EQ(tree.at("Long File Name.txt").shortName, "LONGFI~2.TXT");
    EXPECT_EQ(s.Close(), 0u);
  }
  ExpectClean(image);
  EXPECT_EQ(McopyOut(image, "/LONGFI~1.TXT"), "two");
  EXPECT_EQ(McopyOut(image, "/LONGFI~2.TXT"), "one");
}

}  // namespace

#endif
