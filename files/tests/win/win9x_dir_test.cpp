// The Windows 9x directory on an NT system: its calls go through the 9x
// layer's ANSI table, here the real ANSI functions behind recording fakes,
// so that what it does is judged by the file system and what it passes by
// the recordings.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "files/dir.h"
#include "files/file_error.h"
#include "files/win/nt_volume.h"
#include "files/win/win9x_dir.h"
#include "nt_dir_test_support.h"
#include "windows/layer.h"

namespace {

using namespace ntdirtest;

DWORD Attributes(const std::u16string& path) { return GetFileAttributesW(W(path)); }

std::string ShortPath(const std::string& path) {
  char out[MAX_PATH] = {};
  GetShortPathNameA(path.c_str(), out, MAX_PATH);
  return out;
}

std::vector<std::string> g_calls;
Windows::AnsiFunctions g_real;

BOOL WINAPI RecordCreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES sa) {
  g_calls.push_back(std::string("CreateDirectoryA ") + path);
  return g_real.CreateDirectoryA(path, sa);
}
BOOL WINAPI RecordMoveFileA(LPCSTR from, LPCSTR to) {
  g_calls.push_back(std::string("MoveFileA ") + from + " " + to);
  return g_real.MoveFileA(from, to);
}
BOOL WINAPI RecordDeleteFileA(LPCSTR path) {
  g_calls.push_back(std::string("DeleteFileA ") + path);
  return g_real.DeleteFileA(path);
}
HANDLE WINAPI RecordFindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  g_calls.push_back(std::string("FindFirstFileA ") + pattern);
  return g_real.FindFirstFileA(pattern, data);
}

class Win9xDir : public ::testing::Test {
 protected:
  void SetUp() override {
    g_real = Windows::Layer9xAnsi();
    Windows::AnsiFunctions& ansi = Windows::Layer9xAnsi();
    ansi.CreateDirectoryA = &RecordCreateDirectoryA;
    ansi.MoveFileA = &RecordMoveFileA;
    ansi.DeleteFileA = &RecordDeleteFileA;
    ansi.FindFirstFileA = &RecordFindFirstFileA;
    g_calls.clear();
    dir_.reset(static_cast<win32_dir*>(root_.open_dir(scratch_.path().c_str())));
    ASSERT_NE(dir_, nullptr);
  }
  void TearDown() override { Windows::Layer9xAnsi() = g_real; }

  std::string Ansi(const std::u16string& path) {
    std::string out;
    for (char16_t c : path) out += char(c);
    return out;
  }

  Scratch scratch_{u"9x"};
  win9x_dir root_;
  std::unique_ptr<win32_dir> dir_;
};

TEST_F(Win9xDir, CreateListRenameAndDelete) {
  const std::string base = Ansi(scratch_.path());
  dir_->create_dir(u"sub", nullptr);
  ASSERT_TRUE(dir_->is_ok()) << std::hex << dir_->error().Code();
  EXPECT_TRUE(Attributes(scratch_ / u"sub") & FILE_ATTRIBUTE_DIRECTORY);
  std::unique_ptr<ro_file> file(dir_->create_file(u"a.txt", false, nullptr));
  ASSERT_NE(file, nullptr);
  file.reset();
  EXPECT_TRUE(Exists(scratch_ / u"a.txt"));

  std::vector<std::u16string> names;
  std::vector<std::uint32_t> types;
  std::unique_ptr<i_dir::iterator> it(dir_->list());
  ASSERT_NE(it, nullptr);
  for (; it->is_ok(); it->next()) {
    names.push_back(it->name());
    types.push_back(it->object_type());
  }
  EXPECT_EQ(it->error().Code(), kFileEndOfFile);
  ASSERT_EQ(names.size(), 2u);
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(types[i], names[i] == u"sub" ? kObjectDirectory : kObjectFile);

  // The identifier carries the ANSI name, and finds the entry again.
  std::unique_ptr<i_dir::iterator> found(dir_->find(u"a.txt"));
  ASSERT_NE(found, nullptr);
  std::unique_ptr<file_identifier> id(found->id());
  const auto* the = dynamic_cast<const the_identifier*>(id.get());
  ASSERT_NE(the, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(the->bytes()), "a.txt");
  std::unique_ptr<i_dir::iterator> byId(dir_->find_by_id(id.get()));
  ASSERT_NE(byId, nullptr);
  EXPECT_EQ(std::u16string(byId->name()), u"a.txt");

  dir_->move(u"a.txt", u"sub\\b.txt");
  ASSERT_TRUE(dir_->is_ok());
  EXPECT_FALSE(Exists(scratch_ / u"a.txt"));
  EXPECT_TRUE(Exists(scratch_ / u"sub\\b.txt"));
  dir_->delete_file(u"sub\\b.txt");
  ASSERT_TRUE(dir_->is_ok());
  dir_->remove_dir(u"sub");
  ASSERT_TRUE(dir_->is_ok());
  EXPECT_FALSE(Exists(scratch_ / u"sub"));

  // What the ANSI functions were handed: paths without a long-path prefix
  // or a trailing separator.
  const std::vector<std::string> expected{
      "CreateDirectoryA " + base + "sub",
      "FindFirstFileA " + base + "*",
      "FindFirstFileA " + base + "a.txt",
      "FindFirstFileA " + base + "a.txt",
      "MoveFileA " + base + "a.txt " + base + "sub\\b.txt",
      "DeleteFileA " + base + "sub\\b.txt",
  };
  EXPECT_EQ(g_calls, expected);

  // A missing entry: the failure names the ANSI call and the ANSI path.
  dir_->delete_file(u"absent");
  EXPECT_EQ(dir_->error().Code(), kFileNotFound);
  EXPECT_EQ(Function(dir_->error()), "DeleteFileA");
  EXPECT_STREQ(Common::GetTextField(dir_->error(), "filename"), (base + "absent").c_str());
}

TEST_F(Win9xDir, VolumeQueriesAndTheFileSystemName) {
  EXPECT_EQ(dir_->object_type(), kObjectFixedDrive);
  std::uint64_t total = 0, free = 0, available = 0;
  dir_->disk_space(total, free, available);
  EXPECT_TRUE(dir_->is_ok());
  EXPECT_GT(total, 0u);
  gfst_request name;
  dir_->control(&name);
  EXPECT_TRUE(dir_->is_ok());
  EXPECT_NE(name.fileSystem[0], 0);
  EXPECT_GE(dir_->sector_size(), 512u);
}

// WININIT.INI keeps one line per rename, a deletion's key "NUL" repeating:
// two deletions and a rename all stay in the [rename] section.
TEST_F(Win9xDir, RestartRenamesGoToWininitWithoutLosingLines) {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  const std::u16string ini = std::u16string(reinterpret_cast<const char16_t*>(windows)) +
                             u"\\wininit.ini";
  const std::string before = ReadAll(ini);
  const bool existed = Exists(ini);
  MakeFile(scratch_ / u"one.txt", "1");
  MakeFile(scratch_ / u"two.txt", "2");
  MakeFile(scratch_ / u"three.txt", "3");
  const std::string base = Ansi(scratch_.path());
  const std::string one = ShortPath(base + "one.txt"), two = ShortPath(base + "two.txt"),
                    three = ShortPath(base + "three.txt"), folder = ShortPath(base);
  for (const char16_t* name : {u"one.txt", u"two.txt"}) {
    pdrn_request gone;
    gone.name = name;
    dir_->control(&gone);
    EXPECT_TRUE(dir_->is_ok()) << std::hex << dir_->error().Code();
  }
  pdrn_request rename;
  rename.name = u"three.txt";
  rename.newName = u"renamed.txt";
  dir_->control(&rename);
  EXPECT_TRUE(dir_->is_ok()) << std::hex << dir_->error().Code();

  const std::string text = ReadAll(ini);
  EXPECT_NE(text.find("[rename]"), std::string::npos) << text;
  EXPECT_NE(text.find("NUL=" + one), std::string::npos) << text;
  EXPECT_NE(text.find("NUL=" + two), std::string::npos) << text;
  EXPECT_NE(text.find(folder + "renamed.txt=" + three), std::string::npos) << text;

  // A name that does not resolve, or a network name, is refused.
  pdrn_request network;
  network.name = u"\\\\server\\share\\x";
  dir_->control(&network);
  EXPECT_EQ(dir_->error().Code(), kFileRenameError);

  if (existed) {
    MakeFile(ini, before);
  } else {
    DeleteFileW(W(ini));
  }
}

}  // namespace
