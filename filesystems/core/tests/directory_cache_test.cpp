// The directory-object and path caches and the path operations, against the
// in-memory driver, which counts the lookups the caches should save.
#include <gtest/gtest.h>

#include <memory>

#include "fake_driver.h"
#include "files/file_error.h"
#include "image_volume.h"

namespace {

using filesystems::FileSystemDriver;
using fstest::FakeDriver;
using fstest::ImageVolume;

using fstest::CodeOf;
struct Volume {
  Volume() : device(new ImageVolume(64, 512)), driver(new FakeDriver(device.get(), 0, 64, 77)) {}
  std::uint32_t Dir(const std::u16string& path) {
    std::uint32_t at = 0;
    std::size_t start = 1;
    while (start <= path.size() && path.size() > 1) {
      auto end = path.find(u'/', start);
      if (end == std::u16string::npos) end = path.size();
      std::u16string name = path.substr(start, end - start);
      auto& children = driver->nodes.at(at).children;
      at = children.count(name) ? children[name] : driver->AddNode(at, name, 128);
      start = end + 1;
    }
    return at;
  }
  std::uint32_t File(std::uint32_t parent, const std::u16string& name) {
    return driver->AddNode(parent, name, 0);
  }
  FileSystemDriver::DirectoryObject* Open(const std::u16string& path) {
    Common::CriticalSectionLock lock(&driver->ObjectLock());
    return driver->OpenDirectoryByPath(path);
  }
  std::unique_ptr<ImageVolume> device;
  std::unique_ptr<FakeDriver> driver;
};

TEST(DirectoryCache, TheRootNeedsNoLookupAndNoPathCacheEntry) {
  Volume v;
  auto* root = v.Open(u"/");
  EXPECT_EQ(root->Id(), 0u);
  EXPECT_EQ(v.driver->childLookups, 0u);
  EXPECT_EQ(v.driver->PathCacheSize(), 0u);
}

TEST(DirectoryCache, PathsResolveFromTheLongestCachedPrefix) {
  Volume v;
  std::uint32_t low = v.Dir(u"/Top/Mid/Low");
  std::uint32_t other = v.Dir(u"/Top/Other");
  v.Open(u"/Top/Mid");
  EXPECT_EQ(v.driver->childLookups, 2u);
  EXPECT_TRUE(v.driver->PathCached(u"Top/Mid"));

  struct Case {
    const char16_t* path;
    std::uint32_t expectedId;
    std::uint32_t lookups;
  } cases[] = {
      {u"/Top/Mid/Low", low, 1},   // only Low is asked for
      {u"/Top/Mid/Low", low, 0},   // now wholly cached
      {u"/Top/Other", other, 1},   // starts from the cached Top
  };
  for (auto& c : cases) {
    std::uint32_t before = v.driver->childLookups;
    EXPECT_EQ(v.Open(c.path)->Id(), c.expectedId) << std::string(c.path, c.path + 3);
    EXPECT_EQ(v.driver->childLookups - before, c.lookups);
  }
  EXPECT_TRUE(v.driver->PathCached(u"Top/Mid/Low"));
}

TEST(DirectoryCache, AMissingComponentFailsAndKeepsTheComponentsBeforeIt) {
  Volume v;
  v.Dir(u"/A/B");
  v.File(v.Dir(u"/A"), u"file");
  EXPECT_EQ(CodeOf([&] { v.Open(u"/A/B/C"); }), kFileOpenError);
  EXPECT_EQ(CodeOf([&] { v.Open(u"/A/file"); }), kFileOpenError);
  EXPECT_TRUE(v.driver->PathCached(u"A/B"));
  EXPECT_FALSE(v.driver->PathCached(u"A/B/C"));
}

TEST(DirectoryCache, KeysAreNormalisedByTheDriver) {
  Volume v;
  v.driver->upperCaseNames = true;
  v.Dir(u"/DOCS/OLD");
  EXPECT_EQ(v.Open(u"/Docs/Old")->Id(), v.Open(u"/docs/OLD")->Id());
  EXPECT_TRUE(v.driver->PathCached(u"DOCS/OLD"));
  EXPECT_EQ(v.driver->childLookups, 2u);
}

TEST(DirectoryCache, ThePathCacheEmptiesPast256Entries) {
  Volume v;
  for (int i = 0; i < 257; ++i) v.Dir(u"/d" + std::u16string(1, char16_t(0x100 + i)));
  for (int i = 0; i < 256; ++i) v.Open(u"/d" + std::u16string(1, char16_t(0x100 + i)));
  EXPECT_EQ(v.driver->PathCacheSize(), 256u);
  v.Open(u"/d" + std::u16string(1, char16_t(0x100 + 256)));
  EXPECT_EQ(v.driver->PathCacheSize(), 0u);
}

TEST(DirectoryCache, IdleDirectoryObjectsBeyondEightAreDroppedOldestFirst) {
  Volume v;
  for (int i = 0; i < 10; ++i) v.Dir(u"/d" + std::u16string(1, char16_t(u'0' + i)));
  auto* first = v.Open(u"/d0");
  first->AddUse();  // in use: never dropped
  for (int i = 1; i < 10; ++i) v.Open(u"/d" + std::u16string(1, char16_t(u'0' + i)));
  // Root, d0 in use, and the newest seven.
  EXPECT_EQ(v.driver->DirectoryObjectCount(), 8u);
  std::uint32_t made = v.driver->directoryObjectsMade;
  v.Open(u"/d0");
  EXPECT_EQ(v.driver->directoryObjectsMade, made);  // d0 survived
  v.Open(u"/d1");
  EXPECT_EQ(v.driver->directoryObjectsMade, made + 1);  // d1 was dropped
  // With nine in use, none can go.
  std::vector<FileSystemDriver::DirectoryObject*> held;
  for (int i = 1; i < 10; ++i) {
    held.push_back(v.Open(u"/d" + std::u16string(1, char16_t(u'0' + i))));
    held.back()->AddUse();
  }
  EXPECT_GT(v.driver->DirectoryObjectCount(), 8u);
  for (auto* d : held) filesystems::ReleaseDirectoryUse(d);
  filesystems::ReleaseDirectoryUse(first);
  v.Open(u"/");
  EXPECT_EQ(v.driver->DirectoryObjectCount(), 8u);
}

TEST(DirectoryCache, RenameRefusesToMoveADirectoryIntoItself) {
  struct Case {
    const char16_t* from;
    const char16_t* to;
    std::uint32_t code;
  } cases[] = {
      {u"/Top", u"/Top/Mid/Low", kFileRenameError},
      {u"/Top", u"/Top/New", kFileRenameError},
      {u"/Top/Mid", u"/Top/Mid/Low/X", kFileRenameError},
      {u"/", u"/x", kFileRenameError},
      {u"/Top", u"/", kFileRenameError},
      {u"/Top", u"/Other/Top", 0},
      {u"/Top/Mid", u"/Top/Mid2", 0},
      {u"/Nope", u"/Other/Nope", kFileNotFound},
  };
  for (auto& c : cases) {
    Volume v;
    v.Dir(u"/Top/Mid/Low");
    v.Dir(u"/Other");
    EXPECT_EQ(CodeOf([&] { v.driver->Rename(c.from, c.to); }), c.code)
        << std::string(c.from, c.from + 2);
  }
}

TEST(DirectoryCache, RenamingADirectoryEmptiesThePathCacheAndAFileLeavesIt) {
  Volume v;
  v.Dir(u"/Top/Mid");
  std::uint32_t top = v.Dir(u"/Top");
  v.Dir(u"/Other");
  v.File(top, u"f.txt");
  v.Open(u"/Top/Mid");
  v.Open(u"/Other");
  std::size_t cached = v.driver->PathCacheSize();
  v.driver->Rename(u"/Top/f.txt", u"/Other/g.txt");
  EXPECT_EQ(v.driver->PathCacheSize(), cached);
  EXPECT_TRUE(v.driver->nodes.at(v.Dir(u"/Other")).children.count(u"g.txt"));

  v.driver->Rename(u"/Top", u"/Other/Top");
  EXPECT_EQ(v.driver->PathCacheSize(), 0u);
  EXPECT_EQ(CodeOf([&] { v.Open(u"/Top"); }), kFileOpenError);
  EXPECT_EQ(v.Open(u"/Other/Top")->Id(), top);
}

TEST(DirectoryCache, RenameWithinOneParentSkipsTheSubtreeWalk) {
  Volume v;
  v.Dir(u"/A/x");
  v.Open(u"/A");
  std::uint32_t before = v.driver->childLookups;
  v.driver->Rename(u"/A/x", u"/A/y");
  EXPECT_EQ(v.driver->childLookups - before, 1u);  // only: is x a directory?
}

TEST(DirectoryCache, RemoveDirectoryRefusesTheRootOneInUseAndOneWithEntries) {
  Volume v;
  std::uint32_t full = v.Dir(u"/Full");
  v.File(full, u"f");
  v.Dir(u"/Busy");
  v.Dir(u"/Empty/Sub");
  EXPECT_EQ(CodeOf([&] { v.driver->RemoveDirectory(u"/"); }), kFileDeleteError);
  EXPECT_EQ(CodeOf([&] { v.driver->RemoveDirectory(u"/Full"); }), kFileDeleteError);
  EXPECT_TRUE(v.driver->nodes.at(0).children.count(u"Full"));
  auto* busy = v.Open(u"/Busy");
  busy->AddUse();
  EXPECT_EQ(CodeOf([&] { v.driver->RemoveDirectory(u"/Busy"); }), kFileDeleteError);
  filesystems::ReleaseDirectoryUse(busy);

  v.Open(u"/Empty/Sub");
  v.driver->RemoveDirectory(u"/Empty/Sub");
  EXPECT_FALSE(v.driver->PathCached(u"Empty/Sub"));
  EXPECT_TRUE(v.driver->PathCached(u"Empty"));
  EXPECT_TRUE(v.driver->nodes.at(v.Dir(u"/Empty")).children.empty());
}

TEST(DirectoryCache, LinksAreMadeThroughTheirParents) {
  Volume v;
  std::uint32_t a = v.Dir(u"/a");
  v.Dir(u"/b");
  std::uint32_t f = v.File(a, u"f");
  v.driver->CreateHardLink(u"/b/g", u"/a/f");
  v.driver->CreateSymlink(u"/b/s", u"../a/f");
  auto& b = v.driver->nodes.at(v.Dir(u"/b")).children;
  EXPECT_EQ(b.at(u"g"), f);
  EXPECT_EQ(v.driver->nodes.at(f).links, 2u);
  EXPECT_EQ(v.driver->nodes.at(b.at(u"s")).target, u"../a/f");
  EXPECT_EQ(CodeOf([&] { v.driver->CreateHardLink(u"/b/h", u"/b"); }), kFileNotSupported);
}

}  // namespace
