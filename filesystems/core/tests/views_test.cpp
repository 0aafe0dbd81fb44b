// The Windows and POSIX views of a mounted volume over the in-memory
// driver: their path rules as tables, and what each framework operation
// reaches on the driver.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/views.h"
#include "image_volume.h"

namespace {

using filesystems::FileSystemDriver;
using fstest::FakeDriver;
using fstest::ImageVolume;

std::string Narrow(const char16_t* s) {
  std::string out;
  for (; s && *s; ++s) out += static_cast<char>(*s);
  return out;
}

struct Volume {
  explicit Volume(bool windows) : device(new ImageVolume(64, 512)) {
    driver = new FakeDriver(device.get(), 0, 64, 0x6001);
    driver->windowsView = windows;
    driver->upperCaseNames = windows;
    driver->AddUse();
    std::uint32_t a = driver->AddNode(0, windows ? u"A" : u"a", 128);
    std::uint32_t b = driver->AddNode(a, windows ? u"B" : u"b", 128);
    driver->nodes[driver->AddNode(b, windows ? u"F.TXT" : u"f.txt", 0)].data = {'h', 'i'};
    root.reset(driver->OpenRootDirectory());
  }
  ~Volume() {
    root.reset();
    driver->Release();
  }
  std::unique_ptr<ImageVolume> device;
  FakeDriver* driver;
  std::unique_ptr<rio_dir> root;
};

// ---------------------------------------------------------------------------
// POSIX path rules

TEST(PosixView, NormalisationTable) {
  struct Case {
    const char16_t* base;
    const char16_t* text;
    const char16_t* result;
  } cases[] = {
      {u"/", u"..", u"/"},           {u"/a", u"../x", u"/x"},
      {u"/a", u"x//y/./z", u"/a/x/y/z"}, {u"/a/b", u"/q", u"/q"},
      {u"/a/b", u"../../..", u"/"},  {u"/a", u"x/", u"/a/x"},
      {u"/", u"a\\b:c", u"/a\\b:c"}, {u"/a/b", u".", u"/a/b"},
      {u"/a", u"...", u"/a/..."},
  };
  for (auto& c : cases) {
    std::u16string path = c.base;
    filesystems::NormalizePosixPath(path, c.text);
    EXPECT_EQ(path, c.result) << Narrow(c.base) << " + " << Narrow(c.text);
  }
}

#ifndef _WIN32
std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// The same rules as the host's own normalisation of paths that need not
// exist, for names no host has at its root.
TEST(PosixView, NormalisationAgreesWithRealpath) {
  const char* texts[] = {"..", "x/../y", "x//y/./z", "../../pkv_q", "x/", "./x/../../y/z",
                         "x/y/z/../../w", "pkv_a/./.././pkv_b", "x/..."};
  const char* bases[] = {"/", "/pkv_r", "/pkv_r/pkv_s"};
  for (const char* base : bases) {
    for (const char* text : texts) {
      std::u16string path = Wide(base);
      filesystems::NormalizePosixPath(path, Wide(text).c_str());
      std::string command = std::string("realpath -m -- '") + base + "/" + text + "'";
      FILE* pipe = popen(command.c_str(), "r");
      ASSERT_NE(pipe, nullptr);
      char line[512] = {};
      ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
      pclose(pipe);
      std::string expected(line);
      while (!expected.empty() && expected.back() == '\n') expected.pop_back();
      EXPECT_EQ(Narrow(path.c_str()), expected) << base << " + " << text;
    }
  }
}
#endif

TEST(PosixView, NamesAndPrefixes) {
  struct Name {
    const char16_t* name;
    bool valid;
  } names[] = {{u"a", true}, {u"a\\b", true}, {u"", false}, {u".", false},
               {u"..", false}, {u"a/b", false}, {u"...", true}};
  for (auto& n : names) EXPECT_EQ(filesystems::IsValidPosixName(n.name), n.valid) << Narrow(n.name);
  struct Prefix {
    const char16_t *first, *second;
    int relation;
  } prefixes[] = {{u"/a", u"/a/b", 1}, {u"/a", u"/ab", 2}, {u"/", u"/x", 1},
                  {u"/a/b", u"/a", 2}, {u"/a", u"/a", 0},  {u"/a", u"/b", 2}};
  for (auto& p : prefixes)
    EXPECT_EQ(filesystems::ComparePathPrefix(p.first, p.second), p.relation)
        << Narrow(p.first) << " " << Narrow(p.second);
}

TEST(PosixView, RootAndSelfEntries) {
  Volume v(false);
  EXPECT_EQ(Narrow(v.root->path()), "/");
  std::unique_ptr<i_dir::iterator> self(v.root->find_self());
  EXPECT_EQ(Narrow(self->name()), "/");
  EXPECT_EQ(self->object_type(), 131u);
  self->next();
  EXPECT_EQ(self->error().Code(), kFileNotSupported);

  std::unique_ptr<rio_dir> b(v.root->open_dir(u"a/b"));
  EXPECT_EQ(Narrow(b->path()), "/a/b/");
  std::unique_ptr<i_dir::iterator> bself(b->find_self());
  EXPECT_EQ(Narrow(bself->name()), "b");
  EXPECT_EQ(bself->object_type(), 128u);
  EXPECT_EQ(v.root->relation(b.get()), 1);
  EXPECT_EQ(b->relation(v.root.get()), 2);
}

TEST(PosixView, OpenDirAndParent) {
  Volume v(false);
  std::unique_ptr<rio_dir> a(v.root->open_dir(u"a"));
  struct Case {
    const char16_t* text;
    const char* path;
  } cases[] = {{u"..", "/"}, {u"../x", "/x/"}, {u"x//y/./z", "/a/x/y/z/"}, {u"/q", "/q/"}};
  for (auto& c : cases) {
    std::unique_ptr<rio_dir> d(a->open_dir(c.text));
    ASSERT_TRUE(d) << c.path;
    EXPECT_EQ(Narrow(d->path()), c.path);
  }
  EXPECT_EQ(a->open_dir(u""), nullptr);
  EXPECT_EQ(a->error().Code(), kFileOpenError);

  const char16_t* text = u"a/b/c";
  std::unique_ptr<rio_dir> parent(v.root->open_parent(&text));
  EXPECT_EQ(Narrow(parent->path()), "/a/b/");
  EXPECT_EQ(Narrow(text), "c");
  const char16_t* plain = u"c";
  std::unique_ptr<rio_dir> same(a->open_parent(&plain));
  EXPECT_EQ(Narrow(same->path()), "/a/");
  EXPECT_EQ(Narrow(plain), "c");
}

TEST(PosixView, RefusalsAndDriverErrorsAreStoredAndClearedBySuccess) {
  Volume v(false);
  std::unique_ptr<rio_dir> a(v.root->open_dir(u"a"));
  struct Case {
    const char* what;
    std::function<void()> call;
    std::uint32_t code;
  } cases[] = {
      {"find .", [&] { delete a->find(u"."); }, kFileOpenError},
      {"find a/b", [&] { delete a->find(u"b/f.txt"); }, kFileOpenError},
      {"find missing", [&] { delete a->find(u"zz"); }, kFileNotFound},
      {"volume_info", [&] { char16_t buf[8] = {u'x'}; a->volume_info(buf, 8); EXPECT_EQ(buf[0], 0); },
       kFileNotSupported},
      {"create in missing dir", [&] { delete a->create_file(u"nope/f", false, nullptr); },
       kFileCreateError},
      {"remove_dir ..", [&] { a->remove_dir(u".."); }, kFileDeleteError},
      {"nocache a/b", [&] { delete dynamic_cast<nocache_dir*>(a.get())->create_nocache_file(u"b/x"); }, kFileNotSupported},
      {"junction empty target", [&] { a->create_junction(u"l", u"", 0, 0); }, kFileCreateError},
      {"set_attributes", [&] { a->set_attributes(u"b", 1); }, kFileNotSupported},
      {"set_mode", [&] { a->set_mode(u"b", 0755); }, kFileNotSupported},
      {"rstr with /",
       [&] {
         filesystems::rstr_request r;
         r.name = u"x/y";
         a->control(&r);
       },
       kFileNotFound},
      {"list", [&] { delete a->list(); }, 0},
  };
  for (auto& c : cases) {
    c.call();
    EXPECT_EQ(a->error().Code(), c.code) << c.what;
  }
}

TEST(PosixView, ChangesReachTheDriver) {
  Volume v(false);
  std::unique_ptr<rio_dir> a(v.root->open_dir(u"a"));
  std::unique_ptr<rio_file> f(a->create_file(u"b/new", false, nullptr));
  ASSERT_TRUE(f);
  std::uint32_t done;
  f->write("data", 4, done);
  f.reset();
  a->create_dir(u"d", nullptr);
  a->move(u"b/new", u"d/moved");
  a->create_hard_link(u"d/link", u"d/moved");
  a->create_junction(u"sym", u"../t", 0, 0);
  EXPECT_TRUE(a->is_ok());
  std::unique_ptr<i_file> moved(v.root->open_file(u"/a/d/link", false));
  char buffer[8];
  moved->read(buffer, 8, done);
  EXPECT_EQ(std::string(buffer, done), "data");
  std::unique_ptr<i_dir::iterator> sym(a->find(u"sym"));
  EXPECT_EQ(Narrow(sym->link_target()), "../t");
  a->delete_file(u"d/moved");
  a->delete_file(u"d/link");
  a->remove_dir(u"d");
  EXPECT_TRUE(a->is_ok());
  filesystems::stme_request times;
  times.path = u"b/f.txt";
  times.modificationTime = 1000;
  a->control(&times);
  EXPECT_TRUE(a->is_ok());
  ncdr_request ncdr;
  a->control(&ncdr);
  EXPECT_EQ(ncdr.result, dynamic_cast<nocache_dir*>(a.get()));
}

// ---------------------------------------------------------------------------
// Windows path rules

TEST(WindowsView, VolumePathTable) {
  struct Case {
    const char16_t* windows;
    const char16_t* volume;
  } cases[] = {{u"C:\\", u"/"}, {u"C:\\a\\b\\", u"/a/b"}, {u"D:\\a\\", u"/a"}, {u"", u"/"}};
  for (auto& c : cases) EXPECT_EQ(filesystems::ToVolumePath(c.windows), c.volume);
}

TEST(WindowsView, OpenDirTable) {
  Volume v(true);
  struct Case {
    const char16_t* text;
    const char* path;  // null: refused with 0x40007
  } cases[] = {{u"..", "C:\\"},        {u"c:\\a", "C:\\a\\"},     {u"D:\\a", nullptr},
               {u"a/b/../c", "C:\\a\\c\\"}, {u"a\\b.. ", "C:\\a\\b\\"}, {u"a*", nullptr},
               {u"\\x", "C:\\x\\"}};
  for (auto& c : cases) {
    std::unique_ptr<rio_dir> d(v.root->open_dir(c.text));
    if (!c.path) {
      EXPECT_EQ(d, nullptr) << Narrow(c.text);
      EXPECT_EQ(v.root->error().Code(), kFileOpenError);
    } else {
      ASSERT_TRUE(d) << Narrow(c.text);
      EXPECT_EQ(Narrow(d->path()), c.path);
    }
  }
  EXPECT_EQ(v.driver->OpenDirectory(u"a?"), nullptr);
  std::unique_ptr<rio_dir> other(v.driver->OpenDirectory(u"D:\\x"));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->list(), nullptr);
  EXPECT_EQ(other->error().Code(), kFileOpenError);
  std::unique_ptr<rio_dir> above(v.driver->OpenDirectory(u".."));
  ASSERT_TRUE(above);
  EXPECT_EQ(Narrow(above->path()), "");
  EXPECT_EQ(above->list(), nullptr);
  std::unique_ptr<i_dir::iterator> rootSelf(above->find_self());
  EXPECT_EQ(Narrow(rootSelf->name()), "C:");
}

TEST(WindowsView, RelationFollowsThePathTextsAfterTheDriversCaseFolding) {
  Volume v(true);
  struct Case {
    const char16_t *first, *second;
    int relation;
  } cases[] = {{u"a", u"a\\b", 1}, {u"a", u"ab", 2}, {u"a", u"a", 0}, {u"a", u"A", 0},
               {u"a\\b", u"a", 2}};
  for (auto& c : cases) {
    std::unique_ptr<rio_dir> x(v.root->open_dir(c.first)), y(v.root->open_dir(c.second));
    EXPECT_EQ(x->relation(y.get()), c.relation) << Narrow(c.first) << " " << Narrow(c.second);
  }
}

TEST(WindowsView, OperationsOverTheVolume) {
  Volume v(true);
  std::unique_ptr<i_dir::iterator> self(v.root->find_self());
  EXPECT_EQ(Narrow(self->name()), "C:");
  EXPECT_EQ(self->object_type(), 131u);
  std::unique_ptr<i_file> f(v.root->open_file(u"a\\b\\f.txt", false));
  ASSERT_TRUE(f);
  char buffer[4];
  std::uint32_t done;
  f->read(buffer, 4, done);
  EXPECT_EQ(std::string(buffer, done), "hi");

  v.root->remove_dir(u".");
  EXPECT_EQ(v.root->error().Code(), kFileDeleteError);
  std::unique_ptr<rio_dir> a(v.root->open_dir(u"a"));
  a->remove_dir(u"..");
  EXPECT_EQ(a->error().Code(), kFileDeleteError);
  delete a->create_file(u"nope\\x", false, nullptr);
  EXPECT_EQ(a->error().Code(), kFileCreateError);
  delete dynamic_cast<nocache_dir*>(a.get())->create_nocache_file(u"b\\x");
  EXPECT_EQ(a->error().Code(), kFileNotSupported);
  char16_t label[8] = {u'x'};
  a->volume_info(label, 8);
  EXPECT_EQ(a->error().Code(), kFileNotSupported);
  EXPECT_EQ(label[0], 0);
  v.root->volume_info(label, 0);
  EXPECT_TRUE(v.root->is_ok());
  v.root->volume_info(label, 8);
  EXPECT_EQ(Narrow(label), "FAKE");

  control_request mkff{kControlMKFF};
  a->control(&mkff);
  EXPECT_EQ(a->error().Code(), kFileNotSupported);
  filesystems::rstr_request restore;
  restore.name = u"x\\y";
  a->control(&restore);
  EXPECT_EQ(a->error().Code(), kFileNotFound);

  // D:\ names this volume for the path operations.
  v.root->move(u"D:\\a", u"D:\\renamed");
  EXPECT_TRUE(v.root->is_ok());
  EXPECT_TRUE(v.driver->nodes.at(0).children.count(u"RENAMED"));
  std::uint64_t total, free, available;
  v.root->disk_space(total, free, available);
  EXPECT_EQ(total, 64u * 512);
}

}  // namespace
