// The driver over mkfs.hfsplus and populated volumes: mounted through its
// probe as fsstat sees the volume, folders listed from the catalog as fls
// and 7zz list them, folders made and removed and files deleted through
// the catalog (enough to split nodes and grow the catalog file), judged by
// fsck.hfsplus and fls; names in both catalog orders; read-only mounts
// that write nothing; a journaled volume changed through the driver.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "filesystems/factory.h"
#include "filesystems/hfs_driver.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"
#include "hfs_image.h"

namespace {

namespace hfs = filesystems::hfsplus;
using fstest::CodeOf;
using hfstest::Quote;
using Driver = filesystems::FileSystemDriver;

struct DriverMount {
  explicit DriverMount(const std::string& path, const std::uint8_t* bitmap = nullptr,
                       std::uint32_t bitmapBytes = 0, std::uint32_t sectorSize = 512)
      : device(new fstest::ImageVolume(path, sectorSize, 0, false)) {
    const std::uint64_t sectors = std::filesystem::file_size(path) / sectorSize;
    driver = filesystems::OpenHFSPlusDriver(device.get(), 0, sectors, hfstest::NextCacheKey(),
                                            bitmap, bitmapBytes);
    if (driver) driver->AddUse();
  }
  ~DriverMount() { Unmount(); }
  void Unmount() {
    if (driver) driver->Release();
    driver = nullptr;
  }
  hfs::HFSPlusDriver* operator->() const { return static_cast<hfs::HFSPlusDriver*>(driver); }
  Driver::DirectoryObject* Root() const { return driver->GetDirectoryObject(0); }

  std::unique_ptr<fstest::ImageVolume> device;
  Driver* driver = nullptr;
};

std::string Utf8(const std::u16string& text) {
  std::string out;
  Common::Utf16ToUtf8(out, text);
  return out;
}

std::u16string Wide(const std::string& text) {
  std::u16string out;
  Common::Utf8ToUtf16(out, text);
  return out;
}

struct Listed {
  std::uint64_t id = 0;
  bool folder = false;
  std::uint64_t size = 0;
  bool operator==(const Listed& o) const { return id == o.id && folder == o.folder && size == o.size; }
};

// Every visible entry below directory `id`, by path.
void Walk(Driver* driver, std::uint32_t id, const std::string& prefix,
          std::map<std::string, Listed>& out) {
  std::unique_ptr<Driver::IteratorObject> it(driver->GetDirectoryObject(id)->OpenIterator());
  if (!it) return;
  std::vector<std::pair<std::string, std::uint32_t>> folders;
  do {
    if (it->IsHidden()) continue;
    const std::string path = prefix + Utf8(it->GetName());
    const bool folder = it->GetObjectType() == 128;
    out[path] = {it->GetEntryId(), folder, it->GetSize()};
    if (folder) folders.emplace_back(path + "/", std::uint32_t(it->GetEntryId()));
  } while (it->Next());
  for (const auto& [path, child] : folders) Walk(driver, child, path, out);
}

// fls -r -p of the volume's entries (ids from 16): path -> id and kind.
std::map<std::string, Listed> FlsListing(const std::string& image) {
  std::map<std::string, Listed> out;
  const std::regex line("^([rd])/[rd] ([0-9]+):\\t(.*)$");
  for (const std::string& l : DiskTest::Lines(DiskTest::RunCommand("fls -r -p " + Quote(image)))) {
    std::smatch m;
    if (std::regex_match(l, m, line) && std::stoull(m[2]) >= 16)
      out[m[3]] = {std::stoull(m[2]), m[1] == "d", 0};
  }
  return out;
}

// The sizes 7zz lists for the files (folders have none).
std::map<std::string, std::uint64_t> SevenZipFileSizes(const std::string& image) {
  std::map<std::string, std::uint64_t> out;
  std::string path;
  for (const std::string& l : DiskTest::Lines(DiskTest::RunCommand("7zz l -slt -ba " + Quote(image)))) {
    if (l.rfind("Path = ", 0) == 0) path = l.substr(7);
    if (l.rfind("Size = ", 0) == 0 && l.size() > 7 && path.rfind("Fixture/", 0) == 0)
      out[path.substr(8)] = std::stoull(l.substr(7));
  }
  return out;
}

std::string Populated(hfstest::ScratchDir& dir, const std::string& contents) {
  const std::string image = dir.File("p.img");
  std::string out;
  EXPECT_TRUE(hfstest::MakePopulated(image, contents, &out)) << out;
  return image;
}

const char* const kContents = hfstest::kSampleContents;

TEST(HfsDriver, MountsThroughItsProbeAsFsstatSeesTheVolume) {
  hfstest::ScratchDir dir;
  struct Case {
    const char* options;
    std::uint64_t megabytes;
  };
  for (const Case& c : {Case{"", 32}, Case{"-s", 32}, Case{"-b 8192", 64}, Case{"-J", 160}}) {
    SCOPED_TRACE(c.options);
    const std::string image = dir.File("m.img");
    ASSERT_TRUE(hfstest::MakeImage(image, c.options, c.megabytes));
    const hfstest::FsstatSizes tool = hfstest::Fsstat(image);
    const std::string before = hfstest::Digest(image);
    {
      DriverMount m(image);
      ASSERT_NE(m.driver, nullptr);
      EXPECT_STREQ(m.driver->GetFileSystemName(), "HFS+");  // HFSX too
      std::uint64_t total = 0, free = 0, available = 0;
      m.driver->GetVolumeSizes(total, free, available);
      EXPECT_EQ(total, (tool.lastBlock + 1) * tool.blockSize);
      EXPECT_EQ(free, tool.freeBlocks * tool.blockSize);
      EXPECT_EQ(available, free);
      char16_t label[16];
      m.driver->GetVolumeLabel(label, 16);
      EXPECT_EQ(std::u16string(label), u"Fixture");
      m.driver->GetVolumeLabel(label, 4);
      EXPECT_EQ(std::u16string(label), u"Fix");
      m.driver->GetVolumeLabel(label, 1);
      EXPECT_EQ(label[0], 0);
    }
    // A mount that changed nothing wrote nothing, but for the first
    // initialisation of a journal that mkfs.hfsplus left to be set up.
    if (std::string(c.options) != "-J") {
      EXPECT_EQ(hfstest::Digest(image), before);
    } else {
      std::string out;
      EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
    }
  }
  // Not an HFS+ volume: the probe answers null.
  const std::string blank = dir.File("blank.img");
  ASSERT_TRUE(hfstest::Run("truncate -s 4M " + Quote(blank)));
  DriverMount none(blank);
  EXPECT_EQ(none.driver, nullptr);
}

TEST(HfsDriver, FoldersListedFromTheCatalogAsTheToolsListThem) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir, kContents);
  DriverMount m(image);
  ASSERT_NE(m.driver, nullptr);
  std::map<std::string, Listed> ours;
  Walk(m.driver, 0, "", ours);
  std::map<std::string, Listed> idsOnly = ours;
  for (auto& [path, l] : idsOnly) l.size = 0;
  EXPECT_EQ(idsOnly, FlsListing(image));
  std::map<std::string, std::uint64_t> fileSizes;
  for (const auto& [path, l] : ours)
    if (!l.folder) fileSizes[path] = l.size;
  EXPECT_EQ(fileSizes, SevenZipFileSizes(image));

  Driver::DirectoryObject* root = m.Root();
  EXPECT_EQ(root->GetChildDirectoryId(u"docs"), ours.at("docs").id);
  // The catalog of an HFS+ volume folds case.
  EXPECT_EQ(root->GetChildDirectoryId(u"DOCS"), ours.at("docs").id);
  EXPECT_EQ(CodeOf([&] { root->GetChildDirectoryId(u"readme.txt"); }), kFileOpenError);
  EXPECT_EQ(CodeOf([&] { root->GetChildDirectoryId(u"nothing"); }), kFileOpenError);
  std::unique_ptr<Driver::IteratorObject> at(root->OpenIteratorFor(u"README.TXT"));
  EXPECT_EQ(Utf8(at->GetName()), "readme.txt");
  EXPECT_EQ(at->GetSize(), 1000u);
  EXPECT_EQ(at->GetObjectType(), 0u);
  EXPECT_EQ(at->GetMode(), 0644u);
  std::unique_ptr<file_identifier> id(at->GetIdentifier());
  const std::uint64_t atId = at->GetEntryId();
  EXPECT_FALSE(at->Next());
  EXPECT_EQ(CodeOf([&] { at->GetSize(); }), kFileEndOfFile);
  std::unique_ptr<Driver::IteratorObject> again(root->OpenIteratorAt(id.get()));
  EXPECT_EQ(again->GetEntryId(), atId);
  EXPECT_EQ(CodeOf([&] { root->OpenIteratorFor(u"nothing"); }), kFileNotFound);
  // An empty folder has no first entry.
  Driver::DirectoryObject* sub = m.driver->GetDirectoryObject(std::uint32_t(ours.at("docs/sub").id));
  EXPECT_NE(std::unique_ptr<Driver::IteratorObject>(sub->OpenIterator()), nullptr);
  root->CreateDirectory(u"hollow");
  Driver::DirectoryObject* hollow = m.driver->GetDirectoryObject(root->GetChildDirectoryId(u"hollow"));
  EXPECT_EQ(hollow->OpenIterator(), nullptr);
}

TEST(HfsDriver, ChangesThroughTheCatalogLeaveACleanVolume) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir, kContents);
  std::uint32_t catalogBlocksBefore = 0;
  {
    const std::vector<std::uint8_t> vh = DiskTest::ReadBytes(image, 1024, 512);
    catalogBlocksBefore = hfs::VolumeHeader(vh.data()).Fork(hfs::kCatalogFileId).totalBlocks;
  }
  std::map<std::string, Listed> expected;
  std::uint64_t freeAfter = 0;
  {
    DriverMount m(image);
    ASSERT_NE(m.driver, nullptr);
    Driver::DirectoryObject* root = m.Root();
    const std::uint32_t docs = root->GetChildDirectoryId(u"docs");
    // Long names: enough records to split leaves and index nodes and to
    // grow the catalog file past what mkfs.hfsplus gave it.
    const std::u16string stem(90, u'n');
    for (int i = 0; i < 1500; ++i) {
      const std::u16string name = stem + Wide(std::to_string(i));
      (i % 3 ? root : m.driver->GetDirectoryObject(docs))->CreateDirectory(name);
    }
    EXPECT_EQ(CodeOf([&] { m.Root()->CreateDirectory(u"DOCS"); }), kFileAlreadyExists);
    for (int i = 0; i < 1500; i += 2) {
      const std::u16string name = stem + Wide(std::to_string(i));
      (i % 3 ? m.Root() : m.driver->GetDirectoryObject(docs))->RemoveDirectory(name);
    }
    EXPECT_EQ(CodeOf([&] { m.Root()->RemoveDirectory(u"docs"); }), kFileDeleteError);
    EXPECT_EQ(CodeOf([&] { m.Root()->RemoveDirectory(u"readme.txt"); }), kFileDeleteError);
    EXPECT_EQ(CodeOf([&] { m.Root()->DeleteFile(u"docs"); }), kFileDeleteError);
    // Files with a fork continued in the overflow file, a resource fork,
    // and an extended attribute.
    Driver::DirectoryObject* d = m.driver->GetDirectoryObject(docs);
    d->DeleteFile(u"big.dat");
    m.Root()->DeleteFile(u"Docs2.bin");
    m.driver->GetDirectoryObject(d->GetChildDirectoryId(u"sub"))->DeleteFile(u"Note.TXT");
    EXPECT_EQ(CodeOf([&] { m.Root()->DeleteFile(u"Docs2.bin"); }), kFileNotFound);
    Walk(m.driver, 0, "", expected);
    for (auto& [path, l] : expected) l.size = 0;
    std::uint64_t total = 0, available = 0;
    m.driver->GetVolumeSizes(total, freeAfter, available);
    const hfs::VolumeHeader& h = m->GetMetadata().GetVolume().Primary();
    EXPECT_EQ(h.FolderCount(), 2u + 750u);
    EXPECT_EQ(h.FileCount(), 5u - 3u);
    EXPECT_EQ(m->GetMetadata().Catalog().Tree().Check(), "");
    EXPECT_EQ(m->GetMetadata().Extents().Tree().LeafRecords(), 0u);
    EXPECT_EQ(m->GetMetadata().Attributes().Tree().LeafRecords(), 0u);
    // A flush puts the in-use marks on disk; the unmount after it, with
    // nothing changed in between, must still mark the volume unmounted.
    m.driver->Flush();
  }
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  EXPECT_EQ(FlsListing(image), expected);
  EXPECT_EQ(expected.size(), 750u + 4u);
  const hfstest::FsstatSizes tool = hfstest::Fsstat(image);
  EXPECT_EQ(tool.freeBlocks * tool.blockSize, freeAfter);
  const std::vector<std::uint8_t> vh = DiskTest::ReadBytes(image, 1024, 512);
  const hfs::VolumeHeader h(vh.data());
  EXPECT_GT(h.Fork(hfs::kCatalogFileId).totalBlocks, catalogBlocksBefore);
  EXPECT_NE(h.Attributes() & hfs::VolumeHeader::kUnmounted, 0u);
}

// Names go where each catalog order puts them: HFS+ folds case (Latin-1
// letters too) and skips ignorable characters, HFSX with binary order
// keeps every name that differs in a unit. The checker compares with its
// own order.
TEST(HfsDriver, NamesFollowTheCatalogOrder) {
  hfstest::ScratchDir dir;
  struct Name {
    std::u16string text;
    bool newOnHfsPlus;  // false: the same name as an earlier one once folded
  };
  // Precomposed letters have decompositions and are not folded; letters
  // without one (Greek, Latin-1's AE) are.
  const std::vector<Name> names = {
      {u"Makefile", true},        {u"makefile", false},       {u"\u00C9t\u00E9", true},
      {u"\u00E9T\u00C9", true},   {u"E\u0301", true},         {u"e\u0301", false},
      {u"a\u200Cb", true},        {u"ab", false},             {u"zeta", true},
      {u"\u00DF", true},          {u"Z", true},               {u"\u03A9mega", true},
      {u"\u03C9MEGA", false},     {u"\u00E6", true},          {u"\u00C6", false},
  };
  for (const bool hfsx : {false, true}) {
    SCOPED_TRACE(hfsx ? "HFSX" : "HFS+");
    const std::string image = dir.File("n.img");
    ASSERT_TRUE(hfstest::MakeImage(image, hfsx ? "-s" : "", 32));
    const std::string findingsBefore = hfstest::CheckerFindings(image);
    std::set<std::string> made;
    {
      DriverMount m(image);
      ASSERT_NE(m.driver, nullptr);
      EXPECT_EQ(m->GetMetadata().Catalog().Order(),
                hfsx ? hfs::NameOrder::kBinary : hfs::NameOrder::kCaseFolding);
      for (const Name& n : names) {
        SCOPED_TRACE(Utf8(n.text));
        const bool fresh = hfsx || n.newOnHfsPlus;
        EXPECT_EQ(CodeOf([&] { m.Root()->CreateDirectory(n.text); }),
                  fresh ? 0u : kFileAlreadyExists);
        if (fresh) made.insert(Utf8(n.text));
      }
      // Another case names the same folder on HFS+ only.
      EXPECT_EQ(CodeOf([&] { m.Root()->RemoveDirectory(u"MAKEFILE"); }), hfsx ? kFileNotFound : 0u);
      if (hfsx) {
        m.Root()->RemoveDirectory(u"makefile");
        made.erase("makefile");
        EXPECT_GE(m.Root()->GetChildDirectoryId(u"Makefile"), 16u);
      } else {
        made.erase("Makefile");
        EXPECT_EQ(CodeOf([&] { m.Root()->GetChildDirectoryId(u"makefile"); }), kFileOpenError);
      }
    }
    std::set<std::string> listed;
    for (const auto& [path, l] : FlsListing(image)) listed.insert(path);
    EXPECT_EQ(listed, made);
    if (hfsx) {
      EXPECT_EQ(hfstest::CheckerFindings(image), findingsBefore);
    } else {
      std::string out;
      EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
    }
  }
}

TEST(HfsDriver, ReadOnlyMountsWriteNothing) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir, kContents);
  const std::string before = hfstest::Digest(image);
  const std::vector<std::uint8_t> bitmap(8192, 0xFF);
  {
    DriverMount m(image, bitmap.data(), std::uint32_t(bitmap.size()));
    ASSERT_NE(m.driver, nullptr);
    EXPECT_TRUE(m->ReadOnly());
    Driver::DirectoryObject* root = m.Root();
    EXPECT_EQ(CodeOf([&] { root->CreateDirectory(u"new"); }), kFileReadOnly);
    EXPECT_EQ(CodeOf([&] { root->RemoveDirectory(u"docs"); }), kFileReadOnly);
    EXPECT_EQ(CodeOf([&] { root->DeleteFile(u"readme.txt"); }), kFileReadOnly);
    EXPECT_EQ(CodeOf([&] { root->CreateFile(u"new"); }), kFileReadOnly);
    EXPECT_EQ(CodeOf([&] { m->GetMetadata().Catalog().NextCatalogNodeId(); }), kFileReadOnly);
    std::map<std::string, Listed> ours;
    Walk(m.driver, 0, "", ours);
    EXPECT_EQ(ours.size(), 7u);
    m.driver->Flush();
  }
  EXPECT_EQ(hfstest::Digest(image), before);
  // Files open and report their size once the volume is writable again.
  DriverMount m(image);
  std::unique_ptr<Driver::FileObject> file(m.Root()->OpenFile(u"readme.txt"));
  EXPECT_EQ(file->GetSize(), 1000u);
}

TEST(HfsDriver, AJournaledVolumeChangedThroughTheDriver) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("j.img");
  ASSERT_TRUE(hfstest::MakeImage(image, "-J", 160));
  {
    DriverMount m(image);
    ASSERT_NE(m.driver, nullptr);
    EXPECT_FALSE(m->ReadOnly());
    for (int i = 0; i < 200; ++i)
      m.Root()->CreateDirectory(u"folder " + Wide(std::to_string(i)));
    m.Root()->RemoveDirectory(u"folder 7");
  }
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  EXPECT_EQ(FlsListing(image).size(), 199u + 2u);  // and the two journal files
}

}  // namespace

#endif
