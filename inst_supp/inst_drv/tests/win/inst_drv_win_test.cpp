// The driver-uninstall helper's registry and file work under Wine.
#include "inst_drv/inst_drv.h"

#include <gtest/gtest.h>

#include <foundation/registry_security.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr char kScratch[] = "Software\\PurgekitTests\\InstDrv";

std::wstring TempFile(const wchar_t* name) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + name;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  if (!out.empty()) ReadFile(file, &out[0], static_cast<DWORD>(out.size()), &read, nullptr);
  CloseHandle(file);
  return out;
}

class MultiSzValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Common::DeleteRegistryTree(HKEY_CURRENT_USER, u"Software\\PurgekitTests\\InstDrv", 0);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    Common::DeleteRegistryTree(HKEY_CURRENT_USER, u"Software\\PurgekitTests", 0);
  }
  // Raw UTF-16 bytes, as Windows keeps a multi-string.
  void Set(const char* name, const std::wstring& data, DWORD type = REG_MULTI_SZ) {
    ASSERT_EQ(RegSetValueExW(key_, std::wstring(name, name + strlen(name)).c_str(), 0, type,
                             reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  std::wstring Get(const char* name) {
    std::vector<wchar_t> buffer(256);
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key_, std::wstring(name, name + strlen(name)).c_str(), nullptr, nullptr,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
      return L"<missing>";
    return std::wstring(buffer.data(), size / sizeof(wchar_t));
  }
  HKEY key_ = nullptr;
};

TEST_F(MultiSzValueTest, Table) {
  struct Case {
    const char* value;
    std::wstring before;
    const char* entry;
    bool firstOnly;
    std::wstring after;
  } cases[] = {
      {"Twice", L"mirtel\0volsnap\0mirtel\0\0"s, "mirtel", false, L"volsnap\0\0"s},
      {"TwiceFirst", L"mirtel\0volsnap\0mirtel\0\0"s, "mirtel", true, L"volsnap\0mirtel\0\0"s},
      {"Case", L"volsnap\0HmMounter\0partmgr\0\0"s, "hmmounter", false, L"volsnap\0partmgr\0\0"s},
      {"Absent", L"volsnap\0partmgr\0\0"s, "mirtel", false, L"volsnap\0partmgr\0\0"s},
      // Stored without its terminators: nothing beyond the data is read or
      // written back.
      {"Unterminated", L"volsnap\0mirtel"s, "mirtel", false, L"volsnap\0"s},
      // The list ends at its first empty string: a name behind it stays.
      {"EmptyInside", L"volsnap\0mirtel\0\0mirtel\0\0"s, "mirtel", false,
       L"volsnap\0\0mirtel\0\0"s},
      {"AfterTheEnd", L"volsnap\0\0mirtel\0\0"s, "mirtel", false, L"volsnap\0\0mirtel\0\0"s},
  };
  for (const Case& c : cases) Set(c.value, c.before);
  for (const Case& c : cases) {
    std::string path = std::string(kScratch);
    EXPECT_EQ(InstDrv::RemoveFromMultiSzValue(HKEY_CURRENT_USER, path.c_str(), c.value, c.entry,
                                              c.firstOnly),
              0u)
        << c.value;
    EXPECT_EQ(Get(c.value), c.after) << c.value;
  }
}

TEST_F(MultiSzValueTest, MissingValueKeyAndOtherTypesGiveSuccessUntouched) {
  Set("Text", L"mirtel\0"s, REG_SZ);
  EXPECT_EQ(InstDrv::RemoveFromMultiSzValue(HKEY_CURRENT_USER, kScratch, "Missing", "mirtel", false), 0u);
  EXPECT_EQ(InstDrv::RemoveFromMultiSzValue(HKEY_CURRENT_USER, "Software\\PurgekitTests\\NoKey",
                                            "UpperFilters", "mirtel", false),
            0u);
  EXPECT_EQ(InstDrv::RemoveFromMultiSzValue(HKEY_CURRENT_USER, kScratch, "Text", "mirtel", false), 0u);
  EXPECT_EQ(Get("Text"), L"mirtel\0"s);
  EXPECT_EQ(Get("Missing"), L"<missing>");
}

// The installed build comes from the maker's key in the 64-bit view; a
// service without one counts as installed but of unknown build.
class InstalledDriverTest : public ::testing::Test {
 protected:
  static constexpr char kDriver[] = "purgekittestdrv";
  void TearDown() override { Clean(); }
  void SetUp() override { Clean(); }
  void Clean() {
    Common::DeleteRegistryKeyView(HKEY_LOCAL_MACHINE, u"Software\\Quorvel\\purgekittestdrv",
                                  KEY_WOW64_64KEY);
    // The maker's key only when the test made it (it is then empty).
    Common::DeleteRegistryKeyView(HKEY_LOCAL_MACHINE, u"Software\\Quorvel", KEY_WOW64_64KEY);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\purgekittestdrv");
  }
  void MakeBuild(DWORD build) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\purgekittestdrv", 0, nullptr,
                              0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Build", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&build), 4);
    RegCloseKey(key);
  }
  void MakeService() {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                              "System\\CurrentControlSet\\Services\\purgekittestdrv", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
};

TEST_F(InstalledDriverTest, VersionedNames) {
  EXPECT_EQ(InstDrv::GetInstalledDriverVersion(kDriver), 0u);
  EXPECT_EQ(InstDrv::VersionedDriverName(kDriver, 0), "purgekittestdrv");
  EXPECT_EQ(InstDrv::VersionedDriverName(kDriver, 7), "purgekittestdrv7");

  MakeService();
  EXPECT_EQ(InstDrv::GetInstalledDriverVersion(kDriver), 0xFFFFFFFFu);
  EXPECT_EQ(InstDrv::VersionedDriverName(kDriver, 0), "purgekittestdrv");
  EXPECT_EQ(InstDrv::VersionedDriverName(kDriver, 0xFFFFFFFF), "purgekittestdrv");

  MakeBuild(612);
  EXPECT_EQ(InstDrv::GetInstalledDriverVersion(kDriver), 612u);
  EXPECT_EQ(InstDrv::VersionedDriverName(kDriver, 0), "purgekittestdrv612");
  // A given version wins over the installed build.
  EXPECT_EQ(InstDrv::VersionedDriverName(kDriver, 61), "purgekittestdrv61");
}

TEST_F(InstalledDriverTest, NotInstalledStopsAtTheMakerKey) {
  // Neither build nor service: the maker's key of the driver cannot be
  // deleted, and nothing else is tried.
  EXPECT_EQ(InstDrv::UninstallVersionedDriver(kDriver, kDriver, L"C:\\nowhere\\x.inf", 0, false),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(CopyFileReplacingText, ReplacesEveryQuotedName) {
  const std::wstring source = TempFile(L"purgekit_inst_drv_source.inf");
  const std::wstring target = source + L".tmp";
  WriteFileBytes(source,
                 "; wobrant filter\r\n[Strings]\r\nServiceName = \"wobrant\"\r\nOther = \"wobrant\"\r\n");
  EXPECT_EQ(InstDrv::CopyFileReplacingText(source, target, "\"wobrant\"", "\"wobrant612\""), 0u);
  EXPECT_EQ(ReadFileBytes(target),
            "; wobrant filter\r\n[Strings]\r\nServiceName = \"wobrant612\"\r\nOther = \"wobrant612\"\r\n");
  // A shorter text over an existing longer target leaves nothing of it.
  WriteFileBytes(source, "x");
  EXPECT_EQ(InstDrv::CopyFileReplacingText(source, target, "\"wobrant\"", "\"w\""), 0u);
  EXPECT_EQ(ReadFileBytes(target), "x");
  DeleteFileW(source.c_str());
  DeleteFileW(target.c_str());
}

TEST(CopyFileReplacingText, Errors) {
  const std::wstring missing = TempFile(L"purgekit_inst_drv_missing.inf");
  EXPECT_EQ(InstDrv::CopyFileReplacingText(missing, missing + L".tmp", "a", "b"),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const std::wstring source = TempFile(L"purgekit_inst_drv_source2.inf");
  WriteFileBytes(source, "a");
  EXPECT_EQ(InstDrv::CopyFileReplacingText(source, TempFile(L"no-such-folder\\x.inf"), "a", "b"),
            static_cast<DWORD>(ERROR_CANNOT_MAKE));
  DeleteFileW(source.c_str());
}

// The mode and the setup folder are process-wide: each test sets what it
// needs and puts back what it found.
class InstallMode : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = InstDrv::GetMode();
    InstDrv::SetSetupDllPath(nullptr);
  }
  void TearDown() override {
    InstDrv::SetInstallModeForTesting(saved_);
    InstDrv::SetSetupDllPath(nullptr);
  }

 private:
  DWORD saved_ = 0;
};

TEST_F(InstallMode, SetupFolderEndsWithOneBackslash) {
  InstDrv::SetSetupDllPath(L"C:\\setup");
  EXPECT_EQ(InstDrv::GetSetupDllPath(), L"C:\\setup\\");
  EXPECT_EQ(InstDrv::GetSetupDllPath(), L"C:\\setup\\");
  InstDrv::SetSetupDllPath(L"C:\\setup/");
  EXPECT_EQ(InstDrv::GetSetupDllPath(), L"C:\\setup/");
  InstDrv::SetSetupDllPath(nullptr);
  EXPECT_EQ(InstDrv::GetSetupDllPath(), L"");
}

TEST_F(InstallMode, TheLibraryThenTheProgram) {
  InstDrv::SetInstallModeForTesting(1);
  EXPECT_EQ(InstDrv::GetMode(), 1u);
  // Mode 1 with no helper library in the setup folder: the load's error.
  InstDrv::SetSetupDllPath(L"C:\\no-such-folder");
  EXPECT_EQ(InstDrv::UninstallDriver(nullptr, 0, L"C:\\no-such-folder\\x.inf", false),
            static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  InstDrv::SetInstallMode();
  EXPECT_EQ(InstDrv::GetMode(), 2u);
  // Mode 2 with no helper program: the start's error.
  EXPECT_EQ(InstDrv::UninstallDriver(nullptr, 0, L"C:\\no-such-folder\\x.inf", false),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Switching again keeps the program.
  InstDrv::SetInstallMode();
  EXPECT_EQ(InstDrv::GetMode(), 2u);
}

TEST(IsXPOrLaterVersionEx, TrueOnThisSystem) { EXPECT_TRUE(InstDrv::IsXPOrLaterVersionEx()); }

}  // namespace
