#include "cleanup/folder_guard.h"

#include <gtest/gtest.h>

#include <string>

namespace Cleanup {
namespace {

std::string Show(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? char(c) : '?';
  return out;
}

// The folders of a 64-bit machine as a 32-bit process sees them.
const std::vector<std::u16string> kProtected = {
    u"C:\\Windows",
    u"C:\\Windows\\system32",
    u"C:\\Windows\\SysWOW64\\",
    u"C:\\Program Files (x86)",
    u"C:\\Program Files",
    u"C:\\Program Files (x86)\\Common Files",
    u"C:\\Program Files\\Common Files",
    u"C:\\ProgramData",
    u"C:\\Users",
    u"C:\\Users\\ann",
    u"D:\\Profiles\\bob\\",
    u"",                  // a folder the system did not report
    u"relative\\folder",  // not an absolute path: never matches
};

TEST(RemovableFolder, AcceptsOnlyProgramFoldersWellBelowADriveRoot) {
  struct Case {
    const char16_t* path;
    const char16_t* removable;  // canonical form, or null when refused
  } cases[] = {
      // Program folders.
      {u"C:\\Program Files\\Quorvel\\Harbormark Home\\", u"C:\\Program Files\\Quorvel\\Harbormark Home\\"},
      {u"C:\\Program Files (x86)\\Quorvel", u"C:\\Program Files (x86)\\Quorvel\\"},
      {u"c:/Quorvel/App/", u"C:\\Quorvel\\App\\"},
      {u"C:\\ProgramData\\Quorvel\\", u"C:\\ProgramData\\Quorvel\\"},
      {u"C:\\Users\\ann\\AppData\\Quorvel\\", u"C:\\Users\\ann\\AppData\\Quorvel\\"},
      {u"D:\\Apps\\Quorvel\\", u"D:\\Apps\\Quorvel\\"},
      {u"C:\\Users\\ann.old\\x\\", u"C:\\Users\\ann.old\\x\\"},  // not ann's profile
      // What a file at the root, or the root itself, leaves.
      {u"C:\\", nullptr},
      {u"C:", nullptr},
      {u"C:\\Quorvel\\", nullptr},  // one level only
      {u"C:\\Quorvel", nullptr},
      // Relative, device, network and stream forms.
      {u"Quorvel\\App\\", nullptr},
      {u"sv_client_standard.exe", nullptr},
      {u"\\Quorvel\\App\\", nullptr},
      {u"C:Quorvel\\App\\", nullptr},
      {u"\\\\server\\share\\Quorvel\\App\\", nullptr},
      {u"\\\\?\\C:\\Quorvel\\App\\", nullptr},
      {u"C:\\Quorvel\\App:stream\\", nullptr},
      {u"", nullptr},
      // Components Windows would read otherwise than written.
      {u"C:\\Program Files\\Quorvel\\..\\..\\Windows\\", nullptr},
      {u"C:\\Quorvel\\.\\App\\", nullptr},
      {u"C:\\Quorvel\\\\App\\", nullptr},
      {u"C:\\Quorvel\\App\\\\", nullptr},
      {u"C:\\Windows.\\Quorvel\\", nullptr},
      {u"C:\\Users\\ann \\", nullptr},
      {u"C:\\Quorvel\\Ap*\\", nullptr},
      {u"C:\\Quorvel\\A\tpp\\", nullptr},
      // The protected folders, in any letter case, and the folders holding them.
      {u"C:\\Windows\\", nullptr},
      {u"c:\\WINDOWS\\System32\\", nullptr},
      {u"C:\\Windows\\SysWOW64", nullptr},
      {u"C:\\Program Files\\Common Files\\", nullptr},
      {u"C:\\program files (x86)\\common files", nullptr},
      {u"C:\\Users\\Ann\\", nullptr},
      {u"D:\\Profiles\\bob\\", nullptr},
      {u"D:\\Profiles\\", nullptr},
      // Inside a protected folder is allowed: that is where programs live.
      {u"C:\\Windows\\Temp\\Quorvel\\", u"C:\\Windows\\Temp\\Quorvel\\"},
      {u"D:\\Profiles\\bob\\Quorvel\\", u"D:\\Profiles\\bob\\Quorvel\\"},
  };
  for (const Case& c : cases) {
    auto got = RemovableFolder(c.path, kProtected);
    if (c.removable == nullptr) {
      EXPECT_FALSE(got.has_value()) << Show(c.path) << " -> " << Show(got.value_or(u""));
    } else {
      EXPECT_EQ(got.value_or(u"(refused)"), c.removable) << Show(c.path);
    }
  }
}

TEST(RemovableFolder, WithoutProtectedFoldersStillRefusesRootsAndRelativePaths) {
  EXPECT_FALSE(RemovableFolder(u"C:\\", {}));
  EXPECT_FALSE(RemovableFolder(u"C:\\Windows", {}));
  EXPECT_FALSE(RemovableFolder(u"Windows\\System32", {}));
  EXPECT_TRUE(RemovableFolder(u"C:\\Windows\\System32", {}));
}

TEST(FolderIdentity, NamesDifferingOnlyInLetterCaseAreOneFolder) {
  EXPECT_EQ(FolderIdentity(u"C:\\Program Files\\Quorvel\\"),
            FolderIdentity(u"C:\\PROGRAM FILES\\quorvel\\"));
  EXPECT_NE(FolderIdentity(u"C:\\Program Files\\Quorvel\\"),
            FolderIdentity(u"C:\\Program Files\\Quorvel2\\"));
}

}  // namespace
}  // namespace Cleanup
