// The file mode's check of a folder on the disk, through real NT
// directories on the test prefix: what the system reports for each level
// (long names, letter case, links) decides. Wine 8 cannot make junctions;
// a directory that presents chosen folders as junctions stands in for them,
// and the prefix's own links into the host (the profile's Documents and
// the like) are real links Wine reports.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cleanup/folder_guard.h"
#include "files/win/win_dir.h"
#include "nt_dir_test_support.h"
#include "recording_dir.h"

namespace Cleanup {
namespace {

using ntdirtest::Exists;
using ntdirtest::MakeFile;
using ntdirtest::Record;
using ntdirtest::RecordingDir;
using ntdirtest::Scratch;
using ntdirtest::U;
using ntdirtest::W;

std::string Show(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? char(c) : '?';
  return out;
}

// The 8.3 alias the system gives a path ("" when it has none).
std::u16string ShortPath(const std::u16string& path) {
  wchar_t buffer[MAX_PATH] = L"";
  const DWORD length = GetShortPathNameW(W(path), buffer, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::u16string(U(buffer)) : std::u16string();
}

std::u16string Lower(std::u16string text) {
  for (char16_t& c : text)
    if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
  return text;
}

class FileModeGuard : public ::testing::Test {
 protected:
  FileModeGuard() : scratch_(u"guard") {
    for (const char16_t* folder :
         {u"Documents and Settings", u"Documents and Settings\\bob", u"Users", u"Users\\bob",
          u"Users\\Robert Smithers", u"Program Files", u"Program Files\\Quorvel",
          u"Program Files\\Quorvel\\App", u"Long Folder Name", u"Long Folder Name\\Quorvel"})
      CreateDirectoryW(W(scratch_ / folder), nullptr);
    guarded_.refused = {scratch_ / u"Users\\bob", scratch_ / u"Users\\Robert Smithers"};
  }

  std::optional<std::u16string> Check(const std::u16string& path) {
    RecordingDir base(u"C:\\", &record_);
    return ExistingRemovableFolder(base, path, guarded_);
  }

  Scratch scratch_;
  Record record_;
  SystemFolders guarded_;
};

TEST_F(FileModeGuard, AFolderIsTakenAsTheDiskSpellsIt) {
  const std::u16string app = scratch_ / u"Program Files\\Quorvel\\App\\";
  EXPECT_EQ(Check(app).value_or(u"(refused)"), app);
  EXPECT_EQ(Check(Lower(app)).value_or(u"(refused)"), app);

  const std::u16string alias = ShortPath(scratch_ / u"Long Folder Name\\Quorvel");
  ASSERT_NE(alias.find(u'~'), std::u16string::npos) << Show(alias);
  EXPECT_EQ(Check(alias).value_or(u"(refused)"), scratch_ / u"Long Folder Name\\Quorvel\\")
      << Show(alias);

  // An 8.3 alias of a protected profile is that profile.
  const std::u16string profileAlias = ShortPath(scratch_ / u"Users\\Robert Smithers");
  ASSERT_NE(profileAlias.find(u'~'), std::u16string::npos) << Show(profileAlias);
  EXPECT_FALSE(Check(profileAlias)) << Show(profileAlias);

  EXPECT_FALSE(Check(scratch_ / u"Program Files\\Missing\\"));
}

// "Documents and Settings\bob" is the protected profile Users\bob when
// "Documents and Settings" is a junction to Users; the same folders without
// the junction are ordinary folders that may go.
TEST_F(FileModeGuard, AFolderBelowAJunctionIsRefused) {
  const std::u16string throughJunction = scratch_ / u"Documents and Settings\\bob\\";
  EXPECT_EQ(Check(throughJunction).value_or(u"(refused)"), throughJunction);

  record_.junctions.insert(scratch_ / u"Documents and Settings");
  EXPECT_FALSE(Check(throughJunction));
  EXPECT_FALSE(Check(scratch_ / u"Documents and Settings\\"));
  // Presented by the name the disk gives it, the junction is found under
  // any spelling.
  EXPECT_FALSE(Check(Lower(throughJunction)));
  // Nothing was listed on the way: the check looks each level up by name.
  EXPECT_TRUE(record_.listed.empty());
}

// The file mode's removal of a folder: a read-only file inside a hidden
// subfolder goes with everything else; a junction inside is removed as an
// entry, neither entered nor given new attributes, which the system would
// set on whatever it leads to. The junction here is a plain folder presented
// as one, so it keeps what it holds, its own attributes, and itself (a
// folder with contents cannot be removed as an entry).
TEST_F(FileModeGuard, RemovalClearsAttributesButNotThroughJunctions) {
  const std::u16string top = scratch_ / u"Program Files\\Quorvel\\App";
  for (const char16_t* folder : {u"\\Hidden", u"\\j"})
    CreateDirectoryW(W(top + folder), nullptr);
  for (const char16_t* file : {u"\\plain.txt", u"\\Hidden\\ro.txt", u"\\j\\target.txt"})
    MakeFile(top + file, "x");
  SetFileAttributesW(W(top + u"\\Hidden\\ro.txt"), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesW(W(top + u"\\Hidden"), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesW(W(top + u"\\j\\target.txt"), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesW(W(top + u"\\j"), FILE_ATTRIBUTE_HIDDEN);
  record_.junctions.insert(top + u"\\j");

  RecordingDir base(u"C:\\", &record_);
  RemoveFolderTree(base, top + u"\\");
  for (const char16_t* gone : {u"\\plain.txt", u"\\Hidden"})
    EXPECT_FALSE(Exists(top + gone)) << Show(gone);
  EXPECT_EQ(GetFileAttributesW(W(top + u"\\j\\target.txt")) & FILE_ATTRIBUTE_READONLY,
            DWORD(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesW(W(top + u"\\j")) & FILE_ATTRIBUTE_HIDDEN,
            DWORD(FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(record_.listed.count(top + u"\\j\\"), 0u);

  // Without the junction the same tree goes completely.
  record_.junctions.clear();
  RemoveFolderTree(base, top + u"\\");
  EXPECT_FALSE(Exists(top));
}

// The prefix's profile holds links into the host (Wine makes them for
// Documents, Desktop and the like); a folder that is such a link, or lies
// below one, is refused. Only read here: nothing is made inside them.
TEST(FileModeGuardOnWine, FoldersThroughTheProfilesHostLinksAreRefused) {
  wchar_t profile[MAX_PATH] = L"";
  const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH);
  const std::u16string root = std::u16string(U(profile)) + u"\\";

  std::u16string link;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(W(root + u"*"), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      link = root + U(data.cFileName);
      break;
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  if (link.empty()) GTEST_SKIP() << "the profile holds no link on this system";

  i_dir* current = GetCurrentDirObject();
  ASSERT_NE(current, nullptr);
  // The same folder's parent is an ordinary folder that would pass.
  EXPECT_TRUE(ExistingRemovableFolder(*current, root, {})) << Show(root);
  EXPECT_FALSE(ExistingRemovableFolder(*current, link + u"\\", {})) << Show(link);

  // A folder below the link, when the place it leads to has one whose name
  // the rules take.
  find = FindFirstFileW(W(link + u"\\*"), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  std::u16string below;
  do {
    const std::u16string candidate = link + u"\\" + U(data.cFileName) + u"\\";
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        RemovableFolder(candidate, {})) {
      below = candidate;
      break;
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  if (!below.empty()) {
    EXPECT_FALSE(ExistingRemovableFolder(*current, below, {})) << Show(below);
  }
}

}  // namespace
}  // namespace Cleanup
