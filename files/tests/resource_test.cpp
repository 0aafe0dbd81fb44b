// The payload locator: the ".dat" name, where resources come from, and how
// the first lookup fixes the disk probes for the rest of the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "files/resource.h"
#include "files/zip.h"
#include "resource_test_support.h"

namespace {

using namespace resource_test;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(ResourceArchiveName, OnlyTheFileNamesExtensionIsReplaced) {
  struct Case {
    const char16_t* program;
    const char16_t* archive;
  } cases[] = {
      {u"C:\\Tools\\purgekit.exe", u"C:\\Tools\\purgekit.dat"},
      {u"C:\\Tools\\purgekit.x.exe", u"C:\\Tools\\purgekit.x.dat"},
      // A dot in a folder name is no extension of the file.
      {u"C:\\My.Tools\\purgekit", u"C:\\My.Tools\\purgekit.dat"},
      {u"C:\\v1.2\\sub.d/purgekit", u"C:\\v1.2\\sub.d/purgekit.dat"},
      {u"\\\\srv\\share.x\\purgekit", u"\\\\srv\\share.x\\purgekit.dat"},
      {u"purgekit", u"purgekit.dat"},
      {u"purgekit.", u"purgekit.dat"},
      {u".purgekit", u".purgekit.dat"},
      {u"C:\\Tools\\.purgekit", u"C:\\Tools\\.purgekit.dat"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ResourceArchiveName(c.program), std::u16string(c.archive))
        << std::string(c.program, c.program + std::char_traits<char16_t>::length(c.program));
}

constexpr char16_t kProgram[] = u"C:\\Tools\\purgekit.exe";
constexpr char16_t kProgramDirName[] = u"C:\\Tools";

// A program image followed by its payload archive.
Bytes ProgramWithPayload(const std::vector<std::pair<std::string, Bytes>>& entries) {
  Bytes image = B(std::string(300, 'M'));
  Bytes zip = MakeZip(entries);
  image.insert(image.end(), zip.begin(), zip.end());
  return image;
}

struct Layout {
  std::unique_ptr<MemoryDir> current = std::make_unique<MemoryDir>();
  std::shared_ptr<MemoryDir> programDir = std::make_shared<MemoryDir>();
  Layout() { current->children[kProgramDirName] = programDir; }
};

Bytes Open(const char* name) {
  std::unique_ptr<si_file> file(ResourceOpener(name));
  if (!file) return B("<none>");
  return ReadAll(*file);
}

TEST(OpenResource, WithoutCatalogOnDiskEverythingLaterComesFromTheArchive) {
  Layout l;
  l.current->files[kProgram] =
      ProgramWithPayload({{"purgekit.msg", B("archive catalog")}, {"a.inf", B("archive inf")}});
  l.current->files[u"a.inf"] = B("disk inf");
  LocatorScope scope(l.current.get(), kProgram);

  EXPECT_EQ(Open("purgekit.msg"), B("archive catalog"));
  EXPECT_EQ(ResourceProbeState, kResourceProbeArchive);
  const std::size_t asked = l.current->opened.size();
  EXPECT_EQ(Open("a.inf"), B("archive inf"));
  // The archive file is already open: no further name reached the disk.
  EXPECT_EQ(l.current->opened.size(), asked);
  EXPECT_TRUE(l.programDir->opened.size() == 1);  // only the first lookup
}

TEST(OpenResource, CatalogOnDiskKeepsTheDiskFirst) {
  struct Case {
    const char* where;
    bool inCurrent;
  } cases[] = {{"current directory", true}, {"program directory", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    Layout l;
    l.current->files[kProgram] =
        ProgramWithPayload({{"purgekit.msg", B("archive catalog")}, {"a.inf", B("archive inf")}});
    (c.inCurrent ? l.current.get() : l.programDir.get())->files[u"purgekit.msg"] = B("disk catalog");
    l.current->files[u"a.inf"] = B("disk inf");
    LocatorScope scope(l.current.get(), kProgram);

    EXPECT_EQ(Open("purgekit.msg"), B("disk catalog"));
    EXPECT_EQ(ResourceProbeState, kResourceProbeDisk);
    EXPECT_EQ(Open("a.inf"), B("disk inf"));
    // Not on disk: the archive is the fallback.
    l.current->files.erase(u"a.inf");
    EXPECT_EQ(Open("a.inf"), B("archive inf"));
    EXPECT_EQ(ResourceProbeState, kResourceProbeDisk);
  }
}

bool Asked(const MemoryDir& dir, const std::u16string& name) {
  return std::find(dir.opened.begin(), dir.opened.end(), name) != dir.opened.end();
}

TEST(OpenResource, ProbesCurrentDirectoryThenProgramDirectoryThenArchive) {
  struct Case {
    const char* what;
    bool inCurrent, inProgram, inArchive;
    const char* from;
  } cases[] = {
      {"current and program directory", true, true, false, "current"},
      {"current and program directory and archive", true, true, true, "current"},
      {"program directory and archive", false, true, true, "program"},
      {"archive only", false, false, true, "archive"},
  };
  // The first lookup of the process (the catalog, which also fixes the
  // probes for later ones), and a later lookup after a catalog on disk.
  for (bool first : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (first ? ", first lookup" : ", later lookup"));
      const std::string name = first ? "purgekit.msg" : "a.inf";
      const std::u16string wide(name.begin(), name.end());
      Layout l;
      std::vector<std::pair<std::string, Bytes>> payload = {{"other.bin", B("other")}};
      if (c.inArchive) payload.push_back({name, B("archive " + name)});
      if (!first) payload.push_back({"purgekit.msg", B("archive catalog")});
      l.current->files[kProgram] = ProgramWithPayload(payload);
      if (c.inCurrent) l.current->files[wide] = B("current " + name);
      if (c.inProgram) l.programDir->files[wide] = B("program " + name);
      if (!first) l.current->files[u"purgekit.msg"] = B("disk catalog");
      LocatorScope scope(l.current.get(), kProgram);
      if (!first) {
        ASSERT_EQ(Open("purgekit.msg"), B("disk catalog"));
      }

      EXPECT_EQ(Open(name.c_str()), B(std::string(c.from) + " " + name));
      EXPECT_EQ(ResourceProbeState, std::string(c.from) == "archive" && first
                                        ? kResourceProbeArchive
                                        : kResourceProbeDisk);
      // A name found in the current directory is not looked for further.
      EXPECT_EQ(Asked(*l.programDir, wide), !c.inCurrent);
    }
  }
}

TEST(OpenResourceArchive, ArchiveIsFoundWithAtMost65513BytesBehindIt) {
  // Behind the program's payload lies its signature block; a ".dat" file
  // may carry bytes behind its archive as well. Only the last 65535 bytes
  // of a file are searched for the end record (22 bytes without comment).
  struct Case {
    bool dat;
    std::size_t tail;
    bool found;
  } cases[] = {
      {false, 0, true},  {false, 700, true}, {false, 65513, true}, {false, 65514, false},
      {true, 0, true},   {true, 65513, true}, {true, 65514, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dat ? "purgekit.dat" : "program") + " with " +
                 std::to_string(c.tail) + " bytes behind its archive");
    Layout l;
    Bytes program = ProgramWithPayload({{"a.inf", B("program payload")}});
    Bytes dat = MakeZip({{"a.inf", B("dat payload")}});
    Bytes& behind = c.dat ? dat : program;
    behind.insert(behind.end(), c.tail, 0xA5);
    l.current->files[kProgram] = program;
    if (c.dat) l.current->files[u"C:\\Tools\\purgekit.dat"] = dat;
    LocatorScope scope(l.current.get(), kProgram);
    std::unique_ptr<si_file> file(OpenArchiveResource(u"a.inf"));
    if (!c.found) {
      // Nor is the program's own archive tried behind a ".dat" file.
      EXPECT_EQ(file, nullptr);
      continue;
    }
    ASSERT_TRUE(file);
    EXPECT_EQ(ReadAll(*file), B(c.dat ? "dat payload" : "program payload"));
  }
}

TEST(OpenResource, NamesAreWidenedByteForByte) {
  Layout l;
  l.current->files[u"caf\u00e9.inf"] = B("latin-1 name");
  LocatorScope scope(l.current.get(), kProgram);
  EXPECT_EQ(Open("caf\xe9.inf"), B("latin-1 name"));
}

TEST(OpenResourceArchive, DatFileBesideTheProgramWinsEvenWhenItIsNoArchive) {
  Layout l;
  l.current->files[kProgram] = ProgramWithPayload({{"a.inf", B("program payload")}});
  {
    l.current->files[u"C:\\Tools\\purgekit.dat"] = MakeZip({{"a.inf", B("dat payload")}});
    LocatorScope scope(l.current.get(), kProgram);
    std::unique_ptr<si_file> file(OpenArchiveResource(u"a.inf"));
    ASSERT_TRUE(file);
    EXPECT_EQ(ReadAll(*file), B("dat payload"));
  }
  {
    l.current->files[u"C:\\Tools\\purgekit.dat"] = Bytes();
    LocatorScope scope(l.current.get(), kProgram);
    EXPECT_EQ(OpenArchiveResource(u"a.inf"), nullptr);
    EXPECT_EQ(OpenArchiveResource(u"a.inf"), nullptr);
  }
}

TEST(OpenResourceArchive, NothingToOpenLeavesTheCachesEmptyForTheNextCall) {
  MemoryDir current;
  zip_file* zip = nullptr;
  ri_file* file = nullptr;
  LocatorScope scope(&current, kProgram);
  EXPECT_EQ(OpenResourceArchive(kProgram, zip, file), nullptr);
  EXPECT_EQ(zip, nullptr);
  EXPECT_EQ(file, nullptr);

  current.files[kProgram] = ProgramWithPayload({{"k.dll", B("dll")}});
  zip_file* opened = OpenResourceArchive(kProgram, zip, file);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened, zip);
  EXPECT_EQ(OpenResourceArchive(kProgram, zip, file), opened);  // cached
  delete zip;
  delete file;
}

TEST(OpenResource, NothingAnywhereGivesNull) {
  MemoryDir current;
  LocatorScope scope(&current, kProgram);
  EXPECT_EQ(OpenResource("purgekit.msg"), nullptr);
  EXPECT_EQ(OpenResource(nullptr), nullptr);
}

}  // namespace

namespace {
TEST(OpenArchiveResource, LargeEntryReadsWhole) {
  Layout l;
  Bytes big(300000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = std::uint8_t(i * 131);
  l.current->files[kProgram] = ProgramWithPayload({{"kardnt.dll", big}});
  LocatorScope scope(l.current.get(), kProgram);
  std::unique_ptr<si_file> file(OpenArchiveResource(u"kardnt.dll"));
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->is_ok()) << std::hex << file->error().Code();
  EXPECT_EQ(ReadAll(*file), big);
}
}  // namespace
