// Name changes of NTFS directories through the driver's directory objects,
// on volumes made by mkntfs, judged by sleuthkit and ntfs-3g's tools: short
// names beside long ones, hard links, deleting names of files still open,
// and index roots that move into blocks and back.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "disktest/run_command.h"
#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/ntfs_directory.h"
#include "filesystems/ntfs_file.h"
#include "foundation/text.h"
#include "image_volume.h"
#include "ntfs_image.h"
#include "ntfs_mount_support.h"

namespace ntfs = filesystems::ntfs;
using fstest::CodeOf;
using ntfstest::Mounted;

namespace {

std::string Tool(const std::string& command, int* status = nullptr) {
  return DiskTest::RunCommand(command, status);
}

int Status(const std::string& command) {
  int status = 0;
  Tool(command + " >/dev/null 2>&1", &status);
  return status;
}

std::string Judge(const std::string& image) {
  std::string report;
  if (Status("ntfsfix -n '" + image + "'") != 0) report += "ntfsfix -n refuses;";
  if (Status("cp '" + image + "' '" + image + ".copy' && ntfsresize --check -f '" + image + ".copy'") != 0)
    report += "ntfsresize refuses;";
  return report;
}

// Clusters in use less the $MFT's own (it grows and never shrinks) and
// records in use, counted in the bitmaps as icat reads them.
std::string Bitmaps(const std::string& image, std::uint32_t cluster) {
  const std::string ones =
      R"( | od -An -v -tu1 | tr -s ' ' '\n' | awk 'NF { n = $1; while (n) { c += n % 2; n = int(n / 2) } } END { print c + 0 }')";
  const std::uint64_t clusters = std::stoull("0" + Tool("icat '" + image + "' 6" + ones));
  const std::uint64_t records = std::stoull("0" + Tool("icat '" + image + "' 0-176" + ones));
  const std::uint64_t mft = ntfstest::Number(Tool("istat '" + image + "' 0"),
                                             R"(\$DATA \(128-\d+\)\s+Name: N/A\s+Non-Resident\s+size: (\d+))");
  return "clusters " + std::to_string(clusters - mft / cluster) + " records " + std::to_string(records);
}

ntfs::NTFSDirectory* Root(Mounted& m) {
  return dynamic_cast<ntfs::NTFSDirectory*>(m.driver->GetDirectoryObject(0));
}

ntfs::NTFSDirectory* Sub(Mounted& m, const std::u16string& name) {
  return dynamic_cast<ntfs::NTFSDirectory*>(m.driver->GetDirectoryObject(Root(m)->GetChildDirectoryId(name)));
}

void Put(ntfs::NTFSDirectory* directory, const std::u16string& name, const std::string& bytes) {
  filesystems::FileSystemDriver::FileObject* file = directory->CreateFile(name);
  std::uint32_t done = 0;
  if (!bytes.empty()) file->Write(bytes.data(), 0, std::uint32_t(bytes.size()), done);
  EXPECT_EQ(done, bytes.size());
  if (file->openCount == 0) delete file;
}

// Where a driver error came from, for a failure's message.
template <class F>
std::string Where(F f) {
  try {
    f();
  } catch (const Common::Error& e) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%x at 0x%x in 0x%x", e.Code(), e.Record()->locationId,
                  e.Record()->moduleId);
    return text;
  }
  return "";
}

std::uint64_t RecordOf(const std::string& image, const std::string& path) {
  return std::stoull("0" + Tool("ifind -n '" + path + "' '" + image + "' 2>/dev/null"));
}

}  // namespace

// A long name given a short one is listed once by ntfsls, keeps its data,
// and carries both names in its record (istat); the driver reports the
// short name; deleting the long name takes the short one with it.
TEST(NtfsNames, ShortNameBesideLongName) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 4096, 16, ""}));
  const std::string baseline = Bitmaps(image, 4096);
  const std::string data(5000, 'q');
  {
    Mounted m(image, 512, false);
    ASSERT_NE(m.driver, nullptr);
    ntfs::NTFSDirectory* root = Root(m);
    Put(root, u"A long file name.text", data);
    Put(root, u"plain", "abc");
    root->SetShortName(u"A long file name.text", u"ALONGF~1.TEX");
    // A short name already present, and a second one for the same name.
    EXPECT_EQ(CodeOf([&] { root->SetShortName(u"plain", u"ALONGF~1.TEX"); }), kFileRenameError);
  }
  EXPECT_EQ(Judge(image), "");
  const std::uint64_t record = RecordOf(image, "/A long file name.text");
  ASSERT_GE(record, 16u);
  EXPECT_EQ(RecordOf(image, "/ALONGF~1.TEX"), record);
  const std::string istat = Tool("istat '" + image + "' " + std::to_string(record));
  EXPECT_NE(istat.find("A long file name.text"), std::string::npos) << istat;
  EXPECT_NE(istat.find("ALONGF~1.TEX"), std::string::npos) << istat;
  EXPECT_NE(istat.find("Links: 1"), std::string::npos) << istat;
  EXPECT_EQ(Tool("ntfscat '" + image + "' '/ALONGF~1.TEX' 2>/dev/null"), data);
  // ntfsls lists Win32 names, and DOS names only when asked.
  EXPECT_EQ(Tool("ntfsls '" + image + "' 2>/dev/null | sort"), "A long file name.text\nplain\n");
  EXPECT_EQ(Tool("ntfsls -x '" + image + "' 2>/dev/null | sort"), "ALONGF~1.TEX\nplain\n");
  {
    Mounted m(image, 512, false);
    ntfs::NTFSDirectory* root = Root(m);
    std::unique_ptr<filesystems::FileSystemDriver::IteratorObject> it(
        root->OpenIteratorFor(u"A long file name.text"));
    ASSERT_NE(it->GetShortName(), nullptr);
    EXPECT_EQ(std::u16string(it->GetShortName()), u"ALONGF~1.TEX");
    it.reset();
    root->DeleteFile(u"A long file name.text");
    root->DeleteFile(u"plain");
    EXPECT_EQ(CodeOf([&] { root->DeleteFile(u"ALONGF~1.TEX"); }), kFileNotFound);
  }
  EXPECT_EQ(Judge(image), "");
  EXPECT_EQ(Tool("fls -p '" + image + "' 2>/dev/null | awk -F '\\t' '{ split($1, f, /[ -]+/); "
                "if (f[2] + 0 >= 16 && $2 !~ /^\\$/) print }'"),
            "");
  EXPECT_EQ(Bitmaps(image, 4096), baseline);
}

// A hard link made while the file is open: the open file goes on writing
// through the record that now holds three names, and the last name's
// deletion frees everything.
TEST(NtfsNames, HardLinksOfAnOpenFile) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 4096, 16, ""}));
  const std::string baseline = Bitmaps(image, 4096);
  std::string data(20000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 300);
  {
    Mounted m(image, 512, false);
    ntfs::NTFSDirectory* root = Root(m);
    root->CreateDirectory(u"d");
    auto* sub = dynamic_cast<ntfs::NTFSDirectory*>(
        m.driver->GetDirectoryObject(root->GetChildDirectoryId(u"d")));
    filesystems::FileSystemDriver::FileObject* file = root->CreateFile(u"f");
    file->openCount = 1;
    std::uint32_t done = 0;
    file->Write(data.data(), 0, 100, done);
    sub->CreateHardLink(u"g", root, u"f");
    root->CreateHardLink(u"h", root, u"f");
    file->Write(data.data() + 100, 100, std::uint32_t(data.size() - 100), done);
    EXPECT_EQ(CodeOf([&] { root->CreateHardLink(u"d2", root, u"d"); }), kFileCreateError);
    EXPECT_EQ(CodeOf([&] { root->CreateHardLink(u"h", root, u"f"); }), kFileAlreadyExists);
    file->openCount = 0;
    delete file;
  }
  EXPECT_EQ(Judge(image), "");
  const std::uint64_t record = RecordOf(image, "/f");
  EXPECT_EQ(RecordOf(image, "/d/g"), record);
  EXPECT_EQ(RecordOf(image, "/h"), record);
  EXPECT_NE(Tool("istat '" + image + "' " + std::to_string(record)).find("Links: 3"), std::string::npos);
  EXPECT_EQ(Tool("icat '" + image + "' " + std::to_string(record)), data);
  // Every name's directory entry carries the size the file closed with.
  const std::string listing = Tool("ntfsls -l '" + image + "' -p /d 2>/dev/null");
  EXPECT_NE(listing.find(" 20000 "), std::string::npos) << listing;
  {
    Mounted m(image, 512, false);
    ntfs::NTFSDirectory* root = Root(m);
    auto* sub = dynamic_cast<ntfs::NTFSDirectory*>(
        m.driver->GetDirectoryObject(root->GetChildDirectoryId(u"d")));
    root->DeleteFile(u"f");
    sub->DeleteFile(u"g");
  }
  EXPECT_EQ(Judge(image), "");
  EXPECT_NE(Tool("istat '" + image + "' " + std::to_string(record)).find("Links: 1"), std::string::npos);
  EXPECT_EQ(Tool("ntfscat '" + image + "' /h 2>/dev/null"), data);
  {
    Mounted m(image, 512, false);
    ntfs::NTFSDirectory* root = Root(m);
    root->DeleteFile(u"h");
    EXPECT_EQ(CodeOf([&] { root->DeleteFile(u"d"); }), kFileDeleteError);
    root->RemoveDirectory(u"d");
  }
  EXPECT_EQ(Judge(image), "");
  EXPECT_EQ(Bitmaps(image, 4096), baseline);
}

// Deleting every name of a file that is open: the names go at once (fls
// finds none, the name cannot be opened again), while the open file goes on
// reading and writing its data, growing into new clusters; its record and
// every cluster come back only when it closes, or when the volume is
// unmounted with the file still open. Deleting one of two names of an open
// file leaves the other working.
TEST(NtfsNames, DeletingAnOpenFileWaitsForItsClose) {
  struct Case {
    const char* what;
    bool closeBeforeUnmount;
  } cases[] = {{"closed, then unmounted", true}, {"unmounted while open", false}};
  std::string data(30000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = char(i * 13 + i / 511);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ntfstest::ScratchDir dir;
    const std::string image = dir.File("v.img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {512, 4096, 16, ""}));
    const std::string baseline = Bitmaps(image, 4096);
    {
      Mounted m(image, 512, false);
      ntfs::NTFSDirectory* root = Root(m);
      Put(root, u"f", data);
      root->CreateHardLink(u"g", root, u"f");
    }
    const std::uint64_t record = RecordOf(image, "/f");
    ASSERT_GE(record, 16u);
    filesystems::FileSystemDriver::FileObject* file = nullptr;
    {
      Mounted m(image, 512, false);
      ntfs::NTFSDirectory* root = Root(m);
      file = root->OpenFile(u"f");
      file->openCount = 1;
      root->DeleteFile(u"f");
      // One name left: the file is whole, and named by it.
      EXPECT_EQ(CodeOf([&] { root->OpenFile(u"f"); }), kFileNotFound);
      EXPECT_EQ(root->OpenFile(u"g"), file);
      root->DeleteFile(u"g");
      EXPECT_EQ(CodeOf([&] { root->OpenFile(u"g"); }), kFileNotFound);
      // Still open: reads give the data, writes grow it into new clusters.
      std::string back(data.size(), '\0');
      std::uint32_t done = 0;
      file->Read(&back[0], 0, std::uint32_t(back.size()), done);
      EXPECT_EQ(done, data.size());
      EXPECT_EQ(back, data);
      file->Write(data.data(), data.size(), std::uint32_t(data.size()), done);
      EXPECT_EQ(done, data.size());
      EXPECT_EQ(file->GetSize(), 2 * data.size());
      m.driver->Flush();
      // On disk meanwhile: no name, the record still in use with no link.
      EXPECT_EQ(Tool("fls '" + image + "' 2>/dev/null | grep -c -E '\\s(f|g)$'"), "0\n");
      EXPECT_NE(Tool("istat '" + image + "' " + std::to_string(record)).find("Links: 0"), std::string::npos);
      if (c.closeBeforeUnmount) {
        file->openCount = 0;
        delete file;
        file = nullptr;
      }
    }
    // The driver went first: the file no longer touches the volume.
    delete file;
    EXPECT_EQ(Judge(image), "");
    EXPECT_NE(Tool("istat '" + image + "' " + std::to_string(record)).find("Not Allocated"), std::string::npos);
    EXPECT_EQ(Bitmaps(image, 4096), baseline);
  }
}

// A file given so many long names that their list entries outgrow its
// base record: the attribute list moves into clusters (istat shows it
// non-resident), every name resolves to the file, the data stays whole,
// and deleting the names one by one gives every record and cluster back.
TEST(NtfsNames, AttributeListMovesIntoClusters) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 4096, 32, ""}));
  const std::string baseline = Bitmaps(image, 4096);
  const std::string data(9000, 'd');
  const int links = 80;
  auto linkName = [](int i) {
    std::u16string name = u"a rather long name for a hard link, so that each fills much of a record ";
    for (char ch : std::to_string(1000 + i)) name += char16_t(ch);
    return name;
  };
  ASSERT_EQ(Where([&] {
    Mounted m(image, 512, false);
    Root(m)->CreateDirectory(u"d");
    ntfs::NTFSDirectory* d = Sub(m, u"d");
    Put(d, u"f", data);
    for (int i = 0; i < links; ++i) d->CreateHardLink(linkName(i), d, u"f");
  }), "");
  EXPECT_EQ(Judge(image), "");
  const std::uint64_t record = RecordOf(image, "/d/f");
  const std::string istat = Tool("istat '" + image + "' " + std::to_string(record));
  EXPECT_NE(istat.find("Links: " + std::to_string(links + 1)), std::string::npos);
  bool nonResidentList = false;
  for (const auto& a : ntfstest::Istat(image, record)) nonResidentList |= a.type == 0x20 && !a.resident;
  EXPECT_TRUE(nonResidentList) << istat;
  for (int i = 0; i < links; i += 7) {
    std::string name;
    for (char16_t ch : linkName(i)) name += char(ch);
    EXPECT_EQ(RecordOf(image, "/d/" + name), record) << name;
  }
  EXPECT_EQ(Tool("icat '" + image + "' " + std::to_string(record)), data);
  ASSERT_EQ(Where([&] {
    Mounted m(image, 512, false);
    ntfs::NTFSDirectory* d = Sub(m, u"d");
    for (int i = 0; i < links; i += 2) d->DeleteFile(linkName(i));
  }), "");
  EXPECT_EQ(Judge(image), "");
  EXPECT_NE(Tool("istat '" + image + "' " + std::to_string(record)).find("Links: " + std::to_string(links / 2 + 1)),
            std::string::npos);
  EXPECT_EQ(Tool("ntfscat '" + image + "' /d/f 2>/dev/null"), data);
  ASSERT_EQ(Where([&] {
    Mounted m(image, 512, false);
    ntfs::NTFSDirectory* d = Sub(m, u"d");
    for (int i = 1; i < links; i += 2) d->DeleteFile(linkName(i));
    d->DeleteFile(u"f");
    Root(m)->RemoveDirectory(u"d");
  }), "");
  EXPECT_EQ(Judge(image), "");
  EXPECT_EQ(Bitmaps(image, 4096), baseline);
}

// Enough entries to move a new directory's root into index blocks, on
// small and large clusters; then every entry goes again, giving every
// index block's clusters back, and the directory with it, leaving the
// bitmaps as mkntfs made them.
TEST(NtfsNames, DirectoryGrowsIntoBlocksAndEmpties) {
  struct Case {
    std::uint32_t sector, cluster;
  } cases[] = {{512, 512}, {512, 4096}, {4096, 4096}, {512, 65536}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sector) + "/" + std::to_string(c.cluster));
    ntfstest::ScratchDir dir;
    const std::string image = dir.File("v.img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {c.sector, c.cluster, 64, ""}));
    const std::string baseline = Bitmaps(image, c.cluster);
    const int count = 600;
    ASSERT_EQ(Where([&] {
      Mounted m(image, c.sector, false);
      ntfs::NTFSDirectory* root = Root(m);
      root->CreateDirectory(u"many");
      auto* many = dynamic_cast<ntfs::NTFSDirectory*>(
          m.driver->GetDirectoryObject(root->GetChildDirectoryId(u"many")));
      for (int i = 0; i < count; ++i) {
        std::u16string name = u"name number ";
        for (char ch : std::to_string(i * 7919 % 100000)) name += char16_t(ch);
        Put(many, name, std::string(std::size_t(i % 5), 'x'));
      }
    }), "");
    EXPECT_EQ(Judge(image), "");
    const std::uint64_t record = RecordOf(image, "/many");
    EXPECT_EQ(Tool("fls '" + image + "' " + std::to_string(record) + " 2>/dev/null | wc -l"),
              std::to_string(count) + "\n");
    EXPECT_NE(Tool("istat '" + image + "' " + std::to_string(record)).find("$INDEX_ALLOCATION"),
              std::string::npos);
    ASSERT_EQ(Where([&] {
      Mounted m(image, c.sector, false);
      ntfs::NTFSDirectory* root = Root(m);
      auto* many = dynamic_cast<ntfs::NTFSDirectory*>(
          m.driver->GetDirectoryObject(root->GetChildDirectoryId(u"many")));
      for (int i = 0; i < count; ++i) {
        std::u16string name = u"name number ";
        for (char ch : std::to_string(i * 7919 % 100000)) name += char16_t(ch);
        many->DeleteFile(name);
      }
    }), "");
    // The emptied directory keeps its record but no index block: its
    // clusters are all back and its block bitmap is one word again.
    EXPECT_EQ(Judge(image), "");
    EXPECT_EQ(Tool("fls '" + image + "' " + std::to_string(record) + " 2>/dev/null | wc -l"), "0\n");
    EXPECT_EQ(ntfstest::Number(Tool("istat '" + image + "' " + std::to_string(record)),
                               R"(\$INDEX_ALLOCATION \(160-\d+\)\s+Name: \$I30\s+Non-Resident\s+size: (\d+))"),
              0u);
    EXPECT_EQ(ntfstest::Number(Tool("istat '" + image + "' " + std::to_string(record)),
                               R"(\$BITMAP \(176-\d+\)\s+Name: \$I30\s+Resident\s+size: (\d+))"),
              8u);
    const std::string emptied = Bitmaps(image, c.cluster);
    EXPECT_EQ(emptied.substr(0, emptied.find(" records")), baseline.substr(0, baseline.find(" records")));
    ASSERT_EQ(Where([&] {
      Mounted m(image, c.sector, false);
      ntfs::NTFSDirectory* root = Root(m);
      root->RemoveDirectory(u"many");
    }), "");
    EXPECT_EQ(Judge(image), "");
    EXPECT_EQ(Bitmaps(image, c.cluster), baseline);
  }
}

#endif
