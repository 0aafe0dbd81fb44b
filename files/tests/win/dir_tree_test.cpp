#include "files/win/dir_tree.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/win/nt_dir.h"
#include "nt_dir_test_support.h"
#include "recording_dir.h"

namespace {

using namespace ntdirtest;

TEST(DirTreeTest, CreateDirTreeMakesEachMissingAncestorInOrder) {
  Scratch s(u"mktree");
  Record record;
  RecordingDir d(s / u"a\\b\\c\\", &record);
  CreateDirTree(&d);
  EXPECT_TRUE(d.error().IsNull());
  EXPECT_TRUE(Exists(s / u"a\\b\\c"));
  // c first (fails), then upwards until the scratch folder answers "exists",
  // which does not stop the climb; then a, b and c on the way down.
  ASSERT_GE(record.created.size(), 4u);
  const std::vector<std::u16string> last(record.created.end() - 3, record.created.end());
  EXPECT_EQ(last, (std::vector<std::u16string>{s / u"a\\", s / u"a\\b\\", s / u"a\\b\\c\\"}));

  // An existing directory is left alone.
  record.created.clear();
  CreateDirTree(&d);
  EXPECT_TRUE(d.error().IsNull());
  EXPECT_TRUE(record.created.empty());
}

TEST(DirTreeTest, CreateDirTreeStopsAtAnAncestorThatCannotBeMade) {
  Scratch s(u"mkblock");
  MakeFile(s / u"blocker", "a file where a folder is wanted");
  std::unique_ptr<win32_dir> d(s.dir()->open_dir(u"blocker\\b\\c"));
  CreateDirTree(static_cast<rio_dir*>(d.get()));
  // The directory keeps the error of its own first attempt.
  EXPECT_EQ(Function(d->error()), "CreateDirectoryW");
  EXPECT_EQ(FileName(d->error()), u"\\\\?\\" + (s / u"blocker\\b\\c"));
  EXPECT_EQ(ReadAll(s / u"blocker"), "a file where a folder is wanted");
  EXPECT_FALSE(Exists(s / u"blocker\\b"));
}

// A read-only file inside a hidden folder stays, with the folders above it;
// everything else goes.
TEST(DirTreeTest, RemoveDirTreeLeavesWhatCannotBeDeleted) {
  Scratch s(u"rmtree");
  const std::u16string top = s / u"top";
  for (const char16_t* dir : {u"", u"\\sub", u"\\sub\\deeper", u"\\hidden", u"\\empty"}) {
    CreateDirectoryW(W(top + dir), nullptr);
  }
  for (const char16_t* file : {u"\\a.txt", u"\\sub\\b.txt", u"\\sub\\deeper\\c.txt",
                               u"\\hidden\\ro.txt", u"\\hidden\\d.txt"}) {
    MakeFile(top + file, "x");
  }
  SetFileAttributesW(W(top + u"\\hidden"), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesW(W(top + u"\\hidden\\ro.txt"), FILE_ATTRIBUTE_READONLY);

  std::unique_ptr<win32_dir> d(s.dir()->open_dir(u"top"));
  RemoveDirTree(d.get(), false);
  EXPECT_TRUE(Exists(top + u"\\hidden\\ro.txt"));
  EXPECT_EQ(GetFileAttributesW(W(top + u"\\hidden\\ro.txt")) & FILE_ATTRIBUTE_READONLY,
            DWORD(FILE_ATTRIBUTE_READONLY));  // attributes are not touched
  for (const char16_t* gone : {u"\\a.txt", u"\\sub", u"\\empty", u"\\hidden\\d.txt"}) {
    EXPECT_FALSE(Exists(top + gone)) << std::u16string(gone).size();
  }
  // The top could not go: its status is that of its own removal.
  EXPECT_EQ(Function(d->error()), "RemoveDirectoryW");
  EXPECT_EQ(FileName(d->error()), u"\\\\?\\" + top);
}

TEST(DirTreeTest, RemoveDirTreeCanKeepTheTop) {
  Scratch s(u"keeptop");
  const std::u16string top = s / u"top";
  CreateDirectoryW(W(top), nullptr);
  CreateDirectoryW(W(top + u"\\sub"), nullptr);
  MakeFile(top + u"\\sub\\f.txt", "x");
  MakeFile(top + u"\\g.txt", "x");
  std::unique_ptr<win32_dir> d(s.dir()->open_dir(u"top"));
  RemoveDirTree(d.get(), true);
  EXPECT_TRUE(Exists(top));
  EXPECT_FALSE(Exists(top + u"\\sub"));
  EXPECT_FALSE(Exists(top + u"\\g.txt"));
  EXPECT_TRUE(d->error().IsNull());

  // An empty directory with keep_top: nothing to do, nothing done.
  RemoveDirTree(d.get(), true);
  EXPECT_TRUE(Exists(top));
  EXPECT_TRUE(d->is_ok());
}

TEST(DirTreeTest, RemoveDirTreeOfAMissingDirectory) {
  Scratch s(u"rmmissing");
  Record record;
  RecordingDir d(s / u"nothing\\", &record);
  RemoveDirTree(&d, false);
  EXPECT_EQ(d.error().Code(), kFileNotFound);
  EXPECT_EQ(Function(d.error()), "RemoveDirectoryW");
  EXPECT_TRUE(Exists(s.path()));
}

// A junction is removed as an entry; the walk never lists it, so what it
// leads to survives. The entry "j" is a plain folder presented as a
// junction: entering it would delete the file inside.
TEST(DirTreeTest, RemoveDirTreeDoesNotEnterJunctions) {
  Scratch s(u"rmjunction");
  const std::u16string top = s / u"top";
  CreateDirectoryW(W(top), nullptr);
  CreateDirectoryW(W(top + u"\\j"), nullptr);
  MakeFile(top + u"\\j\\target.txt", "must survive");
  MakeFile(top + u"\\other.txt", "goes");
  Record record;
  record.junctions.insert(top + u"\\j");
  RecordingDir d(top + u"\\", &record);
  RemoveDirTree(&d, false);
  EXPECT_EQ(ReadAll(top + u"\\j\\target.txt"), "must survive");
  EXPECT_FALSE(Exists(top + u"\\other.txt"));
  EXPECT_EQ(record.listed.count(top + u"\\j\\"), 0u);
  EXPECT_EQ(record.listed.count(top + u"\\"), 1u);
}

// Asked to remove a junction itself, the walk removes the link and leaves
// what it leads to: nothing is listed, with or without keep_top.
TEST(DirTreeTest, RemoveDirTreeOfAJunctionDoesNotEmptyItsTarget) {
  Scratch s(u"rmjtop");
  const std::u16string top = s / u"top";
  CreateDirectoryW(W(top), nullptr);
  MakeFile(top + u"\\target.txt", "must survive");
  Record record;
  record.junctions.insert(top);
  RecordingDir d(top + u"\\", &record);
  for (bool keepTop : {true, false}) {
    RemoveDirTree(&d, keepTop);
    EXPECT_EQ(ReadAll(top + u"\\target.txt"), "must survive");
    EXPECT_TRUE(record.listed.empty());
  }
  // The one removal asked for is of the link itself.
  EXPECT_EQ(Function(d.error()), "RemoveDirectoryW");
}

// The same with a junction the system made, where the system can.
TEST(DirTreeTest, RemoveDirTreeRemovesARealJunctionButNotItsTarget) {
  Scratch s(u"rmrealj");
  CreateDirectoryW(W(s / u"target"), nullptr);
  MakeFile(s / u"target\\keep.txt", "kept");
  CreateDirectoryW(W(s / u"top"), nullptr);
  std::unique_ptr<win32_dir> top(s.dir()->open_dir(u"top"));
  top->create_junction(u"j", (s / u"target").c_str(), 0, 0);
  if (!top->is_ok()) {
    EXPECT_FALSE(Exists(s / u"top\\j"));
    GTEST_SKIP() << "no junctions on this system";
  }
  RemoveDirTree(top.get(), false);
  EXPECT_FALSE(Exists(s / u"top"));
  EXPECT_EQ(ReadAll(s / u"target\\keep.txt"), "kept");
}

TEST(DirTreeTest, RemoveDirTreeOfTenThousandFiles) {
  Scratch s(u"rmmany");
  const std::u16string top = s / u"many";
  CreateDirectoryW(W(top), nullptr);
  for (int d = 0; d < 10; ++d) {
    const std::u16string dir = top + u"\\d" + char16_t(u'0' + d);
    CreateDirectoryW(W(dir), nullptr);
    for (int f = 0; f < 1000; ++f) {
      const std::string n = std::to_string(f);
      HANDLE h = CreateFileW(W(dir + u"\\f" + std::u16string(n.begin(), n.end())), GENERIC_WRITE,
                             0, nullptr, CREATE_NEW, 0, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      CloseHandle(h);
    }
  }
  std::unique_ptr<win32_dir> d(s.dir()->open_dir(u"many"));
  RemoveDirTree(d.get(), false);
  EXPECT_TRUE(d->error().IsNull());
  EXPECT_FALSE(Exists(top));
}

}  // namespace
