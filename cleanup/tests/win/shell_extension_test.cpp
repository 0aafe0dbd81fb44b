// The shell-extension steps against the registry and environment of the
// test prefix, read back with the plain Win32 calls.
#include "cleanup/shell_extension.h"

#include <gtest/gtest.h>

#include <foundation/registry_security.h>

#include <string>
#include <vector>

namespace Cleanup {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

bool KeyExists(HKEY root, const std::u16string& path, REGSAM view = 0) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, W(path), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void MakeKey(HKEY root, const std::u16string& path, REGSAM view = 0) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, W(path), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS)
      << Narrow(path);
  RegCloseKey(key);
}

// ------------------------------------------------------------ regsvr32 --

// Sets SYSTEMROOT for one scope and puts the old value back.
class SystemRootScope {
 public:
  explicit SystemRootScope(const wchar_t* value) {
    wchar_t buffer[32768];
    const DWORD units = GetEnvironmentVariableW(L"SYSTEMROOT", buffer, 32768);
    had_ = units > 0 && units < 32768;
    if (had_) saved_.assign(buffer, units);
    SetEnvironmentVariableW(L"SYSTEMROOT", value);
  }
  ~SystemRootScope() { SetEnvironmentVariableW(L"SYSTEMROOT", had_ ? saved_.c_str() : nullptr); }
  const std::wstring& Saved() const { return saved_; }

 private:
  bool had_ = false;
  std::wstring saved_;
};

TEST(Regsvr32Path, FallsBackToTheBareNameWhenTheRootIsNoFolder) {
  const std::wstring tooLong = L"C:\\" + std::wstring(300, L'a');
  struct Row {
    const char* why;
    const wchar_t* systemRoot;  // null: unset
    std::u16string want;
  };
  const Row rows[] = {
      {"a plain folder", L"D:\\Win", u"D:\\Win\\System32\\regsvr32.exe"},
      {"the variable is unknown", nullptr, u"regsvr32.exe"},
      {"the value is longer than the buffer", tooLong.c_str(), u"regsvr32.exe"},
      {"the value names another variable", L"%WINDIR%", u"regsvr32.exe"},
      {"the value holds a '%'", L"C:\\50%", u"regsvr32.exe"},
  };
  for (const Row& row : rows) {
    SystemRootScope scope(row.systemRoot);
    EXPECT_EQ(Regsvr32Path(), row.want) << row.why;
  }
}

TEST(Regsvr32Path, NamesTheSystemFolderOfThisWindows) {
  const std::u16string path = Regsvr32Path();
  // The folder regsvr32.exe is really in (under WOW64 the 32-bit one).
  EXPECT_NE(GetFileAttributesW(W(path)), INVALID_FILE_ATTRIBUTES) << Narrow(path);
}

TEST(RunRegsvr32, ReportsWhetherRegsvr32Succeeded) {
  // A library that does not exist: regsvr32 fails and says so by its code.
  EXPECT_FALSE(RunRegsvr32(u"/s \"C:\\purgekit-no-such-folder\\none.dll\""));
  // A program that cannot be started at all.
  SystemRootScope scope(L"C:\\purgekit-no-such-folder");
  EXPECT_FALSE(RunRegsvr32(u"/s \"C:\\purgekit-no-such-folder\\none.dll\""));
}

TEST(PropertySheetLibrary, LiesBesideTheProgramAndIn64Folder) {
  const std::u16string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), u'\\');
  EXPECT_EQ(ProgramFilePath().compare(0, folder.size(), folder), 0);
  EXPECT_EQ(PropertySheetLibraryPath(), folder + u"history_tab.dll");
  EXPECT_EQ(PropertySheetLibraryPath64(), folder + u"x64\\history_tab.dll");
}

// ------------------------------------------------- context-menu handlers --

// Another vendor's handler beside each of the maker's.
const std::u16string kDecoys[3] = {
    u"*\\shellex\\ContextMenuHandlers\\PurgekitTestDecoy",
    u"Folder\\shellex\\ContextMenuHandlers\\PurgekitTestDecoy",
    u"Drive\\shellex\\ContextMenuHandlers\\PurgekitTestDecoy",
};

class ContextMenuHandlers : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  static void Clear() {
    for (const char16_t* key : kContextMenuHandlerKeys) RegDeleteKeyW(HKEY_CLASSES_ROOT, W(key));
    for (const auto& key : kDecoys) RegDeleteKeyW(HKEY_CLASSES_ROOT, W(key));
  }
};

TEST_F(ContextMenuHandlers, GoOnlyWhenAllThreeArePresent) {
  struct Row {
    bool star, folder, drive;
  };
  const Row rows[] = {
      {true, true, true},   {true, true, false},   {false, true, false},
      {false, false, true}, {false, false, false},
  };
  for (const Row& row : rows) {
    Clear();
    const bool laid[3] = {row.star, row.folder, row.drive};
    for (int i = 0; i < 3; ++i) {
      if (laid[i]) MakeKey(HKEY_CLASSES_ROOT, kContextMenuHandlerKeys[i]);
      MakeKey(HKEY_CLASSES_ROOT, kDecoys[i]);
    }
    const bool all = row.star && row.folder && row.drive;
    EXPECT_EQ(ContextMenuHandlersPresent(), all);
    EXPECT_TRUE(SetContextMenuHandlers(false));
    for (int i = 0; i < 3; ++i) {
      // All three go together, or none does.
      EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, kContextMenuHandlerKeys[i]), laid[i] && !all)
          << "key " << i << " with star " << row.star << " folder " << row.folder << " drive "
          << row.drive;
      EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kDecoys[i]));
    }
  }
}

TEST_F(ContextMenuHandlers, ReportFailureWhenAKeyCannotBeDeleted) {
  for (const char16_t* key : kContextMenuHandlerKeys) MakeKey(HKEY_CLASSES_ROOT, key);
  // A subkey keeps the "Folder" key from going; the others still go.
  const std::u16string blocker = std::u16string(kContextMenuHandlerKeys[1]) + u"\\Blocker";
  MakeKey(HKEY_CLASSES_ROOT, blocker);
  EXPECT_FALSE(SetContextMenuHandlers(false));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kContextMenuHandlerKeys[1]));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kContextMenuHandlerKeys[0]));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kContextMenuHandlerKeys[2]));
  RegDeleteKeyW(HKEY_CLASSES_ROOT, W(blocker));
}

TEST_F(ContextMenuHandlers, AskedForPresentTheyAreCreated) {
  MakeKey(HKEY_CLASSES_ROOT, kContextMenuHandlerKeys[2]);
  EXPECT_TRUE(SetContextMenuHandlers(true));
  EXPECT_TRUE(ContextMenuHandlersPresent());
}

// ---------------------------------------------------------- namespace key --

TEST(NameSpaceKeyStep, GoesFromBothViewsAndLeavesItsNeighbours) {
  const std::u16string parent =
      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace\\";
  const std::u16string ours = parent + u"{7D21E6B5-58C0-4A3E-9F17-2B8C64D0A395}";
  const std::u16string decoy = parent + u"{7D21E6B5-58C0-4A3E-9F17-2B8C64D0A396}";
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    MakeKey(HKEY_LOCAL_MACHINE, ours, view);
    MakeKey(HKEY_LOCAL_MACHINE, decoy, view);
  }
  RemoveNameSpaceKey();
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ours, view)) << "view " << view;
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, decoy, view)) << "view " << view;
  }
  // Absent from both views: harmless.
  RemoveNameSpaceKey();
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, W(decoy), view, 0);
}

}  // namespace
}  // namespace Cleanup
