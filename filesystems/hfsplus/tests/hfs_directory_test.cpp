// HFS+ folder objects and their iterators over populated volumes: the rules
// of open files (through a stand-in file object, since content is served
// elsewhere), read-only mounts refusing every change without writing a
// byte, moves and links refused before they change anything (a folder into
// itself, a full catalog), and what the iterator reports against istat,
// icat and fls, all judged by fsck.hfsplus.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
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

// A file object that serves no content and counts what it is asked.
class StandInFile : public hfs::HFSPlusFileObjectBase {
 public:
  StandInFile(hfs::HFSPlusDirectory* folder, std::uint32_t id) : folder_(folder), id_(id) {}
  ~StandInFile() override { folder_->RemoveOpenFile(id_); }
  std::uint32_t FileId() const noexcept override { return id_; }
  void SetPermissions(const void*, std::uint32_t) override { ++changes; }
  void SetMode(std::uint16_t m) override { mode = m; }
  void SetOwner(std::uint32_t, std::uint32_t) override { ++changes; }
  std::uint64_t GetSize() override { return 0; }
  std::uint64_t GetVolumeOffset(std::uint64_t) override { return 0; }
  void Read(void*, std::uint64_t, std::uint32_t, std::uint32_t& done) override { done = 0; }
  void Write(const void*, std::uint64_t, std::uint32_t, std::uint32_t& done) override { done = 0; }
  void SetSize(std::uint64_t) override { ++truncations; }
  void SetTimes(std::uint64_t, std::uint64_t, std::uint64_t) override { ++changes; }
  void Flush() override { ++flushes; }

  int changes = 0, truncations = 0, flushes = 0;
  std::uint16_t mode = 0;

 private:
  hfs::HFSPlusDirectory* folder_;
  std::uint32_t id_;
};

class StandInDriver : public hfs::HFSPlusDriver {
 public:
  using HFSPlusDriver::HFSPlusDriver;
  hfs::HFSPlusFileObjectBase* NewFileObject(hfs::HFSPlusDirectory* folder,
                                            std::uint32_t id) override {
    return new StandInFile(folder, id);
  }
};

// A driver whose file objects cannot be made, as when memory runs out.
class RefusingDriver : public hfs::HFSPlusDriver {
 public:
  using HFSPlusDriver::HFSPlusDriver;
  hfs::HFSPlusFileObjectBase* NewFileObject(hfs::HFSPlusDirectory*, std::uint32_t) override {
    filesystems::ThrowFileError(1, 0x7A1FF300, kFileOutOfMemory);
  }
};

// A mount through the probe, or with the stand-in file objects.
struct Mount {
  explicit Mount(const std::string& path, bool standIn = false,
                 const std::uint8_t* bitmap = nullptr, std::uint32_t bitmapBytes = 0)
      : device(new fstest::ImageVolume(path, 512, 0, false)) {
    const std::uint64_t sectors = std::filesystem::file_size(path) / 512;
    if (standIn)
      driver = new StandInDriver(device.get(), 0, sectors, hfstest::NextCacheKey(), bitmap,
                                 bitmapBytes);
    else
      driver = filesystems::OpenHFSPlusDriver(device.get(), 0, sectors, hfstest::NextCacheKey(),
                                              bitmap, bitmapBytes);
    if (driver) driver->AddUse();
  }
  ~Mount() {
    if (driver) driver->Release();
  }
  hfs::HFSPlusDriver* operator->() const { return static_cast<hfs::HFSPlusDriver*>(driver); }
  hfs::HFSPlusDirectory* Folder(std::uint32_t id) const {
    return static_cast<hfs::HFSPlusDirectory*>(driver->GetDirectoryObject(id));
  }
  hfs::HFSPlusDirectory* Root() const { return Folder(0); }
  hfs::HFSPlusDirectory* Child(hfs::HFSPlusDirectory* at, const std::u16string& name) const {
    return Folder(at->GetChildDirectoryId(name));
  }

  std::unique_ptr<fstest::ImageVolume> device;
  Driver* driver = nullptr;
};

std::u16string Wide(const std::string& text) {
  std::u16string out;
  Common::Utf8ToUtf16(out, text);
  return out;
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  Common::Utf16ToUtf8(out, text);
  return out;
}

std::string Populated(hfstest::ScratchDir& dir, const std::string& contents,
                      const std::string& name = "p.img") {
  const std::string image = dir.File(name);
  std::string out;
  EXPECT_TRUE(hfstest::MakePopulated(image, contents, &out)) << out;
  return image;
}

std::string Tool(const std::string& command) { return DiskTest::RunCommand(command); }

// The fls -r -p lines of the volume's own entries, sorted.
std::string FlsTree(const std::string& image) {
  std::vector<std::string> lines;
  for (const std::string& l : DiskTest::Lines(Tool("fls -r -p " + Quote(image))))
    if (l.find("$") == std::string::npos) lines.push_back(l);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

bool Clean(const std::string& image) {
  std::string out;
  const bool clean = hfstest::CheckerClean(image, &out);
  if (!clean) ADD_FAILURE() << out;
  return clean;
}

TEST(HfsDirectory, OpenFilesKeepTheirNamesAndTheirFolders) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir, hfstest::kSampleContents);
  {
    Mount m(image, true);
    ASSERT_NE(m.driver, nullptr);
    hfs::HFSPlusDirectory* root = m.Root();
    hfs::HFSPlusDirectory* docs = m.Child(root, u"docs");
    auto* readme = static_cast<StandInFile*>(root->OpenFile(u"readme.txt"));
    EXPECT_EQ(root->OpenFile(u"README.TXT"), readme);
    // The folder holds itself while a file in it is open.
    EXPECT_GT(root->Uses(), 0);
    EXPECT_EQ(CodeOf([&] { root->DeleteFile(u"readme.txt"); }), kFileDeleteError);
    EXPECT_EQ(CodeOf([&] { root->MoveEntry(u"readme.txt", docs, u"moved"); }), kFileRenameError);
    EXPECT_EQ(CodeOf([&] { root->CreateFile(u"readme.txt"); }), kFileDeleteError);
    // A rename in place is allowed; the open object keeps serving it.
    root->MoveEntry(u"readme.txt", root, u"Readme.md");
    EXPECT_EQ(root->OpenFile(u"Readme.md"), readme);
    // Changes to an open file go to its object; the type bits stay.
    root->SetMode(u"Readme.md", 0755);
    EXPECT_EQ(readme->mode, 0x81EDu);
    root->SetOwner(u"Readme.md", 7, 8);
    EXPECT_EQ(readme->changes, 1);
    // A closed file that exists is truncated through its object.
    auto* docs2 = static_cast<StandInFile*>(root->CreateFile(u"Docs2.bin"));
    EXPECT_EQ(docs2->truncations, 1);
    delete docs2;

    // Two names of big.dat; its iNode held open as a link's object holds it.
    root->CreateHardLink(u"big2", docs, u"big.dat");
    std::unique_ptr<Driver::IteratorObject> link(root->OpenIteratorFor(u"big2"));
    const auto linkId = std::uint32_t(link->GetEntryId());
    EXPECT_EQ(link->GetLinkCount(), 2u);
    EXPECT_EQ(link->GetSize(), 100000u);
    hfs::HFSPlusDirectory* hidden = m->PrivateDataFolder();
    hfs::HFSPlusFileObjectBase* inode = hidden->OpenHardLinkTarget(linkId);
    EXPECT_EQ(hidden->OpenHardLinkTarget(linkId), inode);
    root->DeleteFile(u"big2");  // one of two names
    EXPECT_EQ(CodeOf([&] { docs->DeleteFile(u"big.dat"); }), kFileDeleteError);  // the last
    delete inode;
    docs->DeleteFile(u"big.dat");
    delete readme;
    EXPECT_EQ(root->Uses(), 0);
  }
  EXPECT_TRUE(Clean(image));
  const std::string tree = FlsTree(image);
  EXPECT_NE(tree.find("\tReadme.md\n"), std::string::npos) << tree;
  EXPECT_EQ(tree.find("big"), std::string::npos) << tree;
  EXPECT_EQ(tree.find("iNode"), std::string::npos) << tree;
  std::uint64_t total = 0, free = 0, available = 0;
  {
    Mount m(image);
    m.driver->GetVolumeSizes(total, free, available);
  }
  const hfstest::FsstatSizes sizes = hfstest::Fsstat(image);
  EXPECT_EQ(free, sizes.freeBlocks * sizes.blockSize);
}

TEST(HfsDirectory, AFileThatCannotBeOpenedIsNotLeftBehind) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir, hfstest::kSampleContents);
  const std::string before = FlsTree(image);
  {
    fstest::ImageVolume device(image, 512, 0, false);
    Driver* driver = new RefusingDriver(&device, 0, std::filesystem::file_size(image) / 512,
                                        hfstest::NextCacheKey(), nullptr, 0);
    driver->AddUse();
    auto* root = static_cast<hfs::HFSPlusDirectory*>(driver->GetDirectoryObject(0));
    EXPECT_EQ(CodeOf([&] { root->CreateFile(u"new.txt"); }), kFileOutOfMemory);
    EXPECT_EQ(CodeOf([&] { root->OpenIteratorFor(u"new.txt"); }), kFileNotFound);
    EXPECT_TRUE(root->OpenFiles().empty());
    driver->Release();
  }
  EXPECT_EQ(FlsTree(image), before);
  EXPECT_TRUE(Clean(image));
  // With file objects served, the same name is created, open and empty.
  {
    Mount m(image);
    std::unique_ptr<Driver::FileObject> file(m.Root()->CreateFile(u"new.txt"));
    EXPECT_EQ(file->GetSize(), 0u);
  }
  EXPECT_NE(FlsTree(image).find("\tnew.txt\n"), std::string::npos);
  EXPECT_TRUE(Clean(image));
}

TEST(HfsDirectory, ReadOnlyMountsRefuseEveryChange) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir, hfstest::kSampleContents);
  // A copy whose header attributes are changed: set bits, then cleared.
  auto variant = [&](const char* name, std::uint32_t set, std::uint32_t clear) {
    const std::string copy = dir.File(name);
    EXPECT_TRUE(hfstest::Run("cp --sparse=always " + Quote(image) + " " + Quote(copy)));
    std::vector<std::uint8_t> header = DiskTest::ReadBytes(copy, 1024, 512);
    Common::StoreBe32(header.data() + 4, (Common::LoadBe32(header.data() + 4) | set) & ~clear);
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(1024);
    f.write(reinterpret_cast<const char*>(header.data()), 512);
    return copy;
  };
  const std::string locked = variant("locked.img", hfs::VolumeHeader::kSoftwareLock, 0);
  // Neither cleanly unmounted nor consistent.
  const std::string inconsistent = variant("inconsistent.img", hfs::VolumeHeader::kInconsistent,
                                           hfs::VolumeHeader::kUnmounted);
  const std::vector<std::uint8_t> bitmap(8192, 0xFF);
  const std::uint8_t security[16] = {};
  using Change = std::function<void(hfs::HFSPlusDirectory*, hfs::HFSPlusDirectory*)>;
  const std::vector<std::pair<const char*, Change>> changes = {
      {"mkdir", [](auto* r, auto*) { r->CreateDirectory(u"new"); }},
      {"mkdir of a bad name", [](auto* r, auto*) { r->CreateDirectory(u".."); }},
      {"rmdir", [](auto*, auto* d) { d->RemoveDirectory(u"sub"); }},
      {"rm", [](auto* r, auto*) { r->DeleteFile(u"readme.txt"); }},
      {"rm of a missing name", [](auto* r, auto*) { r->DeleteFile(u"nothing"); }},
      {"create", [](auto* r, auto*) { r->CreateFile(u"new"); }},
      {"mv", [](auto* r, auto* d) { r->MoveEntry(u"readme.txt", d, u"r"); }},
      {"ln", [](auto* r, auto* d) { d->CreateHardLink(u"l", r, u"readme.txt"); }},
      {"symlink", [](auto* r, auto*) { r->CreateSymlink(u"s", u"readme.txt"); }},
      {"symlink without target", [](auto* r, auto*) { r->CreateSymlink(u"s", u""); }},
      {"chmod", [](auto* r, auto*) { r->SetMode(u"readme.txt", 0600); }},
      {"chown", [](auto* r, auto*) { r->SetOwner(u"readme.txt", 1, 1); }},
      {"times", [](auto* r, auto*) { r->SetTimes(u"docs", 1, 2, 3); }},
      {"security", [&](auto* r, auto*) { r->SetSecurityData(u"docs", security, 16); }},
      {"attributes", [](auto* r, auto*) { r->SetAttributes(u"docs", 0); }},
      {"mknod", [](auto* r, auto*) { r->CreateNode(u"n", 3, 0644, 0, 0); }},
  };
  struct Kind {
    const char* name;
    std::string image;
    bool withBitmap;
  };
  for (const Kind& kind : {Kind{"bitmap from the caller", image, true},
                           Kind{"locked header", locked, false},
                           Kind{"inconsistent volume", inconsistent, false}}) {
    SCOPED_TRACE(kind.name);
    const std::string digest = hfstest::Digest(kind.image);
    {
      Mount m(kind.image, true, kind.withBitmap ? bitmap.data() : nullptr,
              kind.withBitmap ? std::uint32_t(bitmap.size()) : 0);
      ASSERT_NE(m.driver, nullptr);
      ASSERT_TRUE(m->ReadOnly());
      hfs::HFSPlusDirectory* root = m.Root();
      hfs::HFSPlusDirectory* docs = m.Child(root, u"docs");
      for (const auto& [name, change] : changes)
        EXPECT_EQ(CodeOf([&] { change(root, docs); }), kFileReadOnly) << name;
      EXPECT_EQ(CodeOf([&] { m->PrivateDataFolder(); }), kFileReadOnly);
      // Reading goes on as before.
      std::unique_ptr<Driver::IteratorObject> it(root->OpenIteratorFor(u"Docs2.bin"));
      EXPECT_EQ(it->GetSize(), 20000u);
      m.driver->Flush();
    }
    EXPECT_EQ(hfstest::Digest(kind.image), digest);
  }
}

TEST(HfsDirectory, RefusedMovesAndLinksChangeNothing) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir, hfstest::kSampleContents + std::string("dir e\n"));
  {
    Mount m(image);
    ASSERT_NE(m.driver, nullptr);
    hfs::HFSPlusDirectory* root = m.Root();
    hfs::HFSPlusDirectory* e = m.Child(root, u"e");
    hfs::HFSPlusDirectory* docs = m.Child(root, u"docs");
    hfs::HFSPlusDirectory* sub = m.Child(docs, u"sub");
    struct Case {
      const char* what;
      std::function<void()> change;
      std::uint32_t code;
    };
    const Case cases[] = {
        {"an empty folder into itself", [&] { root->MoveEntry(u"e", e, u"e"); }, kFileRenameError},
        {"a folder below itself", [&] { root->MoveEntry(u"docs", sub, u"docs"); },
         kFileRenameError},
        {"onto another entry", [&] { root->MoveEntry(u"readme.txt", root, u"Docs2.bin"); },
         kFileAlreadyExists},
        {"a name that is taken in another folder",
         [&] { root->MoveEntry(u"readme.txt", docs, u"big.dat"); }, kFileAlreadyExists},
        {"a missing name", [&] { root->MoveEntry(u"nothing", docs, u"x"); }, kFileRenameError},
        {"into the hard-link folder's name",
         [&] { docs->MoveEntry(u"sub", root, u"HFS+ Private Data"); }, kFileRenameError},
        {"a link to a folder", [&] { root->CreateHardLink(u"l", root, u"docs"); },
         kFileCreateError},
        {"a link onto a taken name", [&] { root->CreateHardLink(u"docs", root, u"readme.txt"); },
         kFileDeleteError},
        {"a symbolic link over a name", [&] { root->CreateSymlink(u"readme.txt", u"x"); },
         kFileAlreadyExists},
        {"a symbolic link beyond 1024 bytes",
         [&] { root->CreateSymlink(u"long", std::u16string(1025, u'x')); }, kFileCreateError},
        {"a rename to \"..\"", [&] { root->MoveEntry(u"readme.txt", root, u".."); },
         kFileRenameError},
    };
    for (const Case& c : cases) EXPECT_EQ(CodeOf(c.change), c.code) << c.what;
    // The same name again changes nothing.
    root->MoveEntry(u"readme.txt", root, u"readme.txt");
  }
  EXPECT_TRUE(Clean(image));
  const std::string tree = FlsTree(image);
  for (const char* path : {"\te\n", "\tdocs\n", "\tdocs/sub\n", "\treadme.txt\n", "\tDocs2.bin\n"})
    EXPECT_NE(tree.find(path), std::string::npos) << path << "\n" << tree;
  EXPECT_EQ(tree.find("HFS+ Private Data"), std::string::npos) << tree;
}

// With no block left for the catalog to grow into, a move or a first hard
// link whose new record finds no room fails before the entry is taken out.
TEST(HfsDirectory, AFullCatalogLosesNoEntry) {
  hfstest::ScratchDir dir;
  const std::string probe = dir.File("empty.img");
  ASSERT_TRUE(hfstest::MakeImage(probe, "", 32));
  const hfstest::FsstatSizes sizes = hfstest::Fsstat(probe);
  // The populating tool places data from a quarter of the volume on; the
  // rest is taken below by symbolic links, a block each.
  const std::uint64_t filler = sizes.freeBlocks * 7 / 10 * sizes.blockSize;
  const std::string image = Populated(
      dir, "dir docs\nfile readme.txt 1000\nfile filler " + std::to_string(filler) + "\n");
  const std::u16string stem(240, u'n');
  std::uint32_t code = 0;
  int made = 0;
  {
    Mount m(image);
    ASSERT_NE(m.driver, nullptr);
    hfs::HFSPlusDirectory* root = m.Root();
    hfs::HFSPlusDirectory* docs = m.Child(root, u"docs");
    for (int i = 0; i < 20000 && code == 0; ++i)
      code = CodeOf([&] { root->CreateSymlink(Wide("s" + std::to_string(i)), u"readme.txt"); });
    ASSERT_EQ(code, kFileDiskFull);
    for (code = 0; made < 5000 && code == 0; ++made)
      code = CodeOf([&] { docs->CreateDirectory(stem + Wide(std::to_string(made))); });
    ASSERT_EQ(code, kFileDiskFull) << made;
    // Names that sort among the full leaves need a new node.
    int refused = 0;
    for (int i = 0; i < 20; ++i) {
      const std::u16string name = stem + Wide(std::to_string(i)) + u"x";
      const std::uint32_t moved = CodeOf([&] { root->MoveEntry(u"readme.txt", docs, name); });
      if (moved == 0) {
        docs->MoveEntry(name, root, u"readme.txt");
        continue;
      }
      EXPECT_EQ(moved, kFileDiskFull);
      ++refused;
      std::unique_ptr<Driver::IteratorObject> still(root->OpenIteratorFor(u"readme.txt"));
      EXPECT_EQ(still->GetSize(), 1000u);
      const std::uint32_t linked = CodeOf([&] { docs->CreateHardLink(name, root, u"readme.txt"); });
      if (linked == 0) break;
      EXPECT_EQ(linked, kFileDiskFull);
    }
    EXPECT_GT(refused, 0);
  }
  EXPECT_TRUE(Clean(image));
  const std::string readme = Tool("fls -p " + Quote(image));
  EXPECT_NE(readme.find("\treadme.txt\n"), std::string::npos) << readme;
}

TEST(HfsDirectory, EntriesReportWhatIstatAndIcatShow) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir, hfstest::kSampleContents);
  const std::string target = "../docs/sub/Note.TXT";
  std::uint64_t linkId = 0, symlinkId = 0, folderId = 0;
  std::vector<std::uint64_t> linkTimes;
  {
    Mount m(image);
    ASSERT_NE(m.driver, nullptr);
    hfs::HFSPlusDirectory* root = m.Root();
    hfs::HFSPlusDirectory* docs = m.Child(root, u"docs");
    root->CreateSymlink(u"to-note", Wide(target));
    docs->CreateHardLink(u"again", root, u"Docs2.bin");
    root->CreateHardLink(u"third", docs, u"again");
    // A folder whose mode was never set (all type bits clear).
    root->CreateDirectory(u"bare");
    const std::uint8_t noMode[16] = {0, 0, 0, 5, 0, 0, 0, 6};
    root->SetSecurityData(u"bare", noMode, 16);
    EXPECT_EQ(CodeOf([&] { root->SetSecurityData(u"bare", noMode, 15); }), kFileCorrupted);

    std::unique_ptr<Driver::IteratorObject> it(root->OpenIteratorFor(u"to-note"));
    EXPECT_EQ(Utf8(it->GetSymlinkTarget()), target);
    EXPECT_EQ(it->GetObjectType(), 5u);
    EXPECT_EQ(it->GetSize(), target.size());
    symlinkId = it->GetEntryId();
    it.reset(docs->OpenIteratorFor(u"again"));
    EXPECT_EQ(it->GetLinkCount(), 3u);
    EXPECT_EQ(it->GetSize(), 20000u);
    EXPECT_EQ(CodeOf([&] { it->GetSymlinkTarget(); }), kFileNotSupported);
    EXPECT_EQ(CodeOf([&] { it->GetDeviceMajor(); }), kFileNotSupported);
    linkId = it->GetEntryId();
    linkTimes = {it->GetCreationTime(), it->GetModificationTime(), it->GetChangeTime(),
                 it->GetAccessTime()};
    it.reset(root->OpenIteratorFor(u"bare"));
    EXPECT_EQ(it->GetObjectType(), 128u);
    EXPECT_EQ(it->GetOwnerId(), 5u);
    EXPECT_EQ(it->GetGroupId(), 6u);
    folderId = it->GetEntryId();
    // The hard-link folder is never listed, whatever it holds.
    std::unique_ptr<Driver::IteratorObject> all(root->OpenIterator());
    do EXPECT_EQ(Utf8(all->GetName()).find("Private"), std::string::npos);
    while (all->Next());
    EXPECT_EQ(CodeOf([&] { all->GetName(); }), kFileEndOfFile);
    EXPECT_FALSE(all->Next());
  }
  EXPECT_TRUE(Clean(image));
  const std::string istat = Tool("istat " + Quote(image) + " " + std::to_string(symlinkId));
  EXPECT_NE(istat.find("Symbolic link to:\t" + target), std::string::npos) << istat;
  EXPECT_EQ(Tool("icat " + Quote(image) + " " + std::to_string(symlinkId)), target);
  // Sleuthkit shows a link as its iNode, with the iNode's link count.
  const std::string fls = Tool("fls -r -p " + Quote(image));
  const std::string docs2 = Tool("istat " + Quote(image) + " $(fls -p " + Quote(image) +
                                 " | awk -F'[ :\\t]+' '$NF == \"Docs2.bin\" { print $2 }')");
  EXPECT_NE(docs2.find("Link count:\t3"), std::string::npos) << docs2;
  // A link's four times are its iNode's, to the second.
  std::vector<std::uint64_t> istatTimes;
  for (const char* label : {"Created:", "Content Modified:", "Attributes Modified:", "Accessed:"}) {
    const auto at = docs2.find(std::string(label) + "\t");
    ASSERT_NE(at, std::string::npos) << label;
    std::tm tm{};
    strptime(docs2.c_str() + at + std::strlen(label) + 1, "%Y-%m-%d %H:%M:%S", &tm);
    istatTimes.push_back(std::uint64_t(timegm(&tm)) * 1000);
  }
  EXPECT_EQ(linkTimes, istatTimes);
  EXPECT_NE(fls.find("d/d " + std::to_string(folderId) + ":\tbare"), std::string::npos) << fls;
  EXPECT_EQ(fls.find(" " + std::to_string(linkId) + ":"), std::string::npos) << fls;
}

TEST(HfsDirectory, AValenceThatDisagreesWithTheRecordsIsDamage) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir, hfstest::kSampleContents);
  Mount m(image);
  ASSERT_NE(m.driver, nullptr);
  hfs::HFSPlusDirectory* docs = m.Child(m.Root(), u"docs");
  hfs::CatalogFile& catalog = m->GetMetadata().Catalog();
  hfs::CatalogEntry folder = catalog.GetRecordById(docs->FolderId());
  const std::uint32_t valence = Common::LoadBe32(folder.record.data() + hfs::folder::kValence);
  ASSERT_EQ(valence, 3u);
  for (const std::uint32_t wrong : {2u, 4u}) {
    SCOPED_TRACE(wrong);
    Common::StoreBe32(folder.record.data() + hfs::folder::kValence, wrong);
    catalog.UpdateRecord(folder);
    EXPECT_EQ(CodeOf([&] { delete docs->OpenIterator(); }), kFileCorrupted);
  }
  Common::StoreBe32(folder.record.data() + hfs::folder::kValence, 0);
  catalog.UpdateRecord(folder);
  EXPECT_EQ(CodeOf([&] { delete docs->OpenIteratorFor(u"big.dat"); }), kFileNotFound);
  Common::StoreBe32(folder.record.data() + hfs::folder::kValence, valence);
  catalog.UpdateRecord(folder);
  std::unique_ptr<Driver::IteratorObject> it(docs->OpenIteratorFor(u"empty"));
  EXPECT_EQ(Utf8(it->GetName()), "empty");
}

// Targets from one byte to the longest taken, over one and two blocks.
TEST(HfsDirectory, SymbolicLinkTargetsReadBackAsIcatShowsThem) {
  hfstest::ScratchDir dir;
  for (const char* options : {"-b 512", "-b 4096"}) {
    SCOPED_TRACE(options);
    const std::string image = dir.File("s.img");
    ASSERT_TRUE(hfstest::MakeImage(image, options, 16));
    const std::size_t lengths[] = {1, 511, 512, 513, 1000, 1024};
    std::vector<std::uint64_t> ids;
    auto target = [](std::size_t n) {
      std::string t;
      for (std::size_t i = 0; i < n; ++i) t += char('a' + i % 26);
      return t;
    };
    {
      Mount m(image);
      ASSERT_NE(m.driver, nullptr);
      hfs::HFSPlusDirectory* root = m.Root();
      for (std::size_t n : lengths) {
        const std::u16string name = Wide("link" + std::to_string(n));
        root->CreateSymlink(name, Wide(target(n)));
        std::unique_ptr<Driver::IteratorObject> it(root->OpenIteratorFor(name));
        EXPECT_EQ(Utf8(it->GetSymlinkTarget()), target(n));
        EXPECT_EQ(it->GetSize(), n);
        ids.push_back(it->GetEntryId());
      }
    }
    EXPECT_TRUE(Clean(image));
    for (std::size_t k = 0; k < ids.size(); ++k)
      EXPECT_EQ(Tool("icat " + Quote(image) + " " + std::to_string(ids[k])), target(lengths[k]))
          << lengths[k];
  }
}

TEST(HfsDirectory, TheJournalFilesAreHiddenAndKeptInTheRootOnly) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("j.img");
  ASSERT_TRUE(hfstest::MakeImage(image, "-J", 160));
  {
    Mount m(image);
    ASSERT_NE(m.driver, nullptr);
    hfs::HFSPlusDirectory* root = m.Root();
    root->CreateDirectory(u"sub");
    hfs::HFSPlusDirectory* sub = m.Child(root, u"sub");
    // The names are ordinary below the root.
    sub->CreateSymlink(u".journal", u"x");
    root->CreateSymlink(u"visible", u"sub/.journal");
    std::vector<std::string> names;
    std::unique_ptr<Driver::IteratorObject> it(root->OpenIterator());
    do names.push_back(Utf8(it->GetName()));
    while (it->Next());
    EXPECT_EQ(names, (std::vector<std::string>{"sub", "visible"}));
    // Asked for by name, a journal file is found and shown hidden.
    it.reset(root->OpenIteratorFor(u".journal_info_block"));
    EXPECT_TRUE(it->IsHidden());
    EXPECT_EQ(CodeOf([&] { root->DeleteFile(u".journal"); }), kFileDeleteError);
    EXPECT_EQ(CodeOf([&] { root->DeleteFile(u".journal_info_block"); }), kFileDeleteError);
    EXPECT_EQ(CodeOf([&] { root->CreateDirectory(u".journal"); }), kFileAlreadyExists);
    it.reset(sub->OpenIterator());
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(Utf8(it->GetName()), ".journal");
    EXPECT_TRUE(it->IsHidden());
    it.reset();
    sub->DeleteFile(u".journal");
    EXPECT_EQ(sub->OpenIterator(), nullptr);
  }
  EXPECT_TRUE(Clean(image));
  const std::string fls = Tool("fls -p " + Quote(image));
  EXPECT_NE(fls.find("	.journal\n"), std::string::npos - 1) << fls;
  EXPECT_NE(fls.find("	.journal_info_block"), std::string::npos) << fls;
}

}  // namespace

#endif
