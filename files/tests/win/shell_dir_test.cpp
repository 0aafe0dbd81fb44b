// The shell namespace as a directory tree under Wine's shell: the desktop's
// and the computer folder's children, item-id list round trips, special
// folders and the shortcut a test makes.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "files/dir.h"
#include "files/file_error.h"
#include "files/win/shell_dir.h"
#include "nt_dir_test_support.h"

namespace {

using namespace ntdirtest;

std::vector<std::u16string> Names(i_dir& dir, std::vector<std::uint32_t>* types = nullptr) {
  std::vector<std::u16string> names;
  std::unique_ptr<i_dir::iterator> it(dir.list());
  EXPECT_NE(it, nullptr);
  for (int i = 0; it && it->is_ok() && i < 500; it->next(), ++i) {
    names.push_back(it->name());
    if (types) types->push_back(it->object_type());
  }
  if (it) {
    EXPECT_EQ(it->error().Code(), kFileEndOfFile);
  }
  return names;
}

bool Has(const std::vector<std::u16string>& names, const std::u16string& name) {
  for (const auto& n : names)
    if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, W(n), -1, W(name), -1) == CSTR_EQUAL)
      return true;
  return false;
}

TEST(ShellDir, TheDesktopAndTheComputerFolderList) {
  win32_shell_dir* root = GetShellRootDir();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(GetShellRootDir(), root);
  EXPECT_EQ(root->list_bytes().size(), 2u);

  // "." and ".." of the desktop are the desktop.
  for (const char16_t* name : {u".", u".."}) {
    std::unique_ptr<i_dir> same(root->open_dir(name));
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(root->relation(same.get()), 0);
  }

  std::unique_ptr<i_dir> computer(root->open_special(kObjectComputer));
  ASSERT_NE(computer, nullptr) << std::hex << root->error().Code();
  EXPECT_EQ(computer->path(), nullptr);
  EXPECT_EQ(root->relation(computer.get()), 1);
  EXPECT_EQ(computer->relation(root), 2);
  std::vector<std::uint32_t> types;
  const std::vector<std::u16string> drives = Names(*computer, &types);
  ASSERT_TRUE(Has(drives, u"C:\\")) << drives.size();
  for (std::size_t i = 0; i < drives.size(); ++i) {
    if (drives[i] == u"C:\\" || drives[i] == u"c:\\") {
      EXPECT_EQ(types[i], kObjectFixedDrive);
    }
  }
  // The computer folder is among the desktop's children.
  std::vector<std::uint32_t> desktopTypes;
  Names(*root, &desktopTypes);
  EXPECT_NE(std::find(desktopTypes.begin(), desktopTypes.end(), kObjectComputer),
            desktopTypes.end());
}

TEST(ShellDir, FileSystemFoldersThroughTheShell) {
  Scratch scratch(u"shell");
  CreateDirectoryW(W(scratch / u"sub"), nullptr);
  CreateDirectoryW(W(scratch / u"empty"), nullptr);
  MakeFile(scratch / u"file.txt", "12345");
  win32_shell_dir* root = GetShellRootDir();
  ASSERT_NE(root, nullptr);
  std::unique_ptr<i_dir> dir(root->open_dir(scratch.path().c_str()));
  ASSERT_NE(dir, nullptr) << std::hex << root->error().Code();
  // The path, its final separator and the extra NUL.
  const char16_t* path = dir->path();
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::u16string(path), scratch.path());
  EXPECT_EQ(path[scratch.path().size() + 1], u'\0');
  // Volume questions go to the Windows directory of the same path.
  std::unique_ptr<i_dir> windows(GetRootDir()->open_dir(scratch.path().c_str()));
  ASSERT_NE(windows, nullptr);
  EXPECT_EQ(dir->object_type(), windows->object_type());

  const std::vector<std::u16string> names = Names(*dir);
  EXPECT_TRUE(Has(names, u"sub"));
  EXPECT_TRUE(Has(names, u"file.txt"));
  EXPECT_EQ(names.size(), 3u);

  // An empty folder lists as an iterator at its end, the directory clean.
  std::unique_ptr<i_dir> empty(dir->open_dir(u"empty"));
  ASSERT_NE(empty, nullptr);
  std::unique_ptr<i_dir::iterator> none(empty->list());
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->error().Code(), kFileEndOfFile);
  EXPECT_TRUE(empty->is_ok());
  EXPECT_EQ(dir->relation(empty.get()), 1);

  // Item-id lists: an entry's absolute list opens its parent and the entry
  // again, and the identifier opens the folder it names.
  std::unique_ptr<i_dir::iterator> sub(dir->find(u"sub"));
  ASSERT_NE(sub, nullptr);
  std::unique_ptr<file_identifier> id(sub->id());
  const void* absolute = dir->item_id_list(id.get(), false);
  ASSERT_NE(absolute, nullptr);
  const std::string bytes(static_cast<const char*>(absolute), ItemIdListSize(absolute));
  dir_entry_pair pair = root->open_item_id_list(bytes.data());
  ASSERT_NE(pair.first, nullptr);
  std::unique_ptr<i_dir> parentOfFirst(pair.first);
  std::unique_ptr<file_identifier> firstItem(pair.second);
  std::unique_ptr<i_dir> byId(dir->open_dir_by_id(id.get()));
  ASSERT_NE(byId, nullptr);
  EXPECT_EQ(std::u16string(byId->path()), scratch / u"sub\\");
  std::unique_ptr<i_dir> up(byId->open_dir(u".."));
  ASSERT_NE(up, nullptr);
  EXPECT_EQ(std::u16string(up->path()), scratch.path());
  std::unique_ptr<i_dir::iterator> self(byId->find_self());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(std::u16string(self->name()), u"sub");
  std::unique_ptr<i_dir::iterator> again(dir->find_by_id(id.get()));
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->is_ok());
  EXPECT_EQ(dir->compare_ids(id.get(), id.get()), 0);

  // Files are not opened through the shell.
  EXPECT_EQ(dir->open_file(u"file.txt", false), nullptr);
  EXPECT_EQ(dir->error().Code(), kFileNotSupported);
}

TEST(ShellDir, SpecialFoldersAgreeWithTheSystem) {
  win32_shell_dir* root = GetShellRootDir();
  ASSERT_NE(root, nullptr);
  struct Case {
    std::uint32_t type;
    int csidl;
  } cases[] = {{kObjectCommonAppData, CSIDL_COMMON_APPDATA},
               {kObjectAppData, CSIDL_APPDATA},
               {kObjectLocalAppData, CSIDL_LOCAL_APPDATA},
               {kObjectDesktop, CSIDL_DESKTOPDIRECTORY}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    wchar_t expected[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, c.csidl, nullptr, 0, expected)));
    std::u16string want = reinterpret_cast<const char16_t*>(expected);
    if (want.back() != u'\\') want += u'\\';
    std::unique_ptr<i_dir> shell(root->open_special(c.type));
    ASSERT_NE(shell, nullptr) << std::hex << root->error().Code();
    ASSERT_NE(shell->path(), nullptr);
    EXPECT_EQ(std::u16string(shell->path()), want);
    if (c.type == kObjectDesktop) continue;
    // A Windows directory asks the shell for the same folder.
    std::unique_ptr<i_dir> windows(GetRootDir()->open_special(c.type));
    ASSERT_NE(windows, nullptr) << std::hex << GetRootDir()->error().Code();
    EXPECT_EQ(std::u16string(windows->path()), want);
  }
  EXPECT_EQ(root->open_special(200), nullptr);
  EXPECT_EQ(root->error().Code(), kFileNotSupported);
}

TEST(ShellDir, FollowLinkLeadsToTheShortcutsTarget) {
  Scratch scratch(u"shell-link");
  CreateDirectoryW(W(scratch / u"target"), nullptr);
  MakeFile(scratch / u"target\\inside.txt", "x");
  // The shortcut, made with the system's own shell link object.
  IShellLinkW* link = nullptr;
  ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IShellLinkW, reinterpret_cast<void**>(&link))));
  link->SetPath(W(scratch / u"target\\inside.txt"));
  IPersistFile* persist = nullptr;
  ASSERT_TRUE(SUCCEEDED(link->QueryInterface(IID_IPersistFile,
                                             reinterpret_cast<void**>(&persist))));
  ASSERT_TRUE(SUCCEEDED(persist->Save(W(scratch / u"go.lnk"), TRUE)));
  persist->Release();
  link->Release();

  win32_shell_dir* root = GetShellRootDir();
  ASSERT_NE(root, nullptr);
  std::unique_ptr<i_dir> dir(root->open_dir(scratch.path().c_str()));
  ASSERT_NE(dir, nullptr);
  std::unique_ptr<i_dir::iterator> shortcut(dir->find(u"go.lnk"));
  ASSERT_NE(shortcut, nullptr) << std::hex << dir->error().Code();
  EXPECT_EQ(shortcut->object_type(), kObjectShortcut);
  std::unique_ptr<file_identifier> id(shortcut->id());
  for (std::uint32_t flags : {0u, 1u}) {
    SCOPED_TRACE(flags);
    dir_entry_pair target = dir->follow_link(id.get(), flags);
    std::unique_ptr<i_dir> where(target.first);
    std::unique_ptr<file_identifier> what(target.second);
    ASSERT_NE(where, nullptr) << std::hex << dir->error().Code();
    ASSERT_NE(where->path(), nullptr);
    EXPECT_EQ(std::u16string(where->path()), scratch / u"target\\");
    std::unique_ptr<i_dir::iterator> item(where->find_by_id(what.get()));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(std::u16string(item->name()), u"inside.txt");
  }
}

}  // namespace
