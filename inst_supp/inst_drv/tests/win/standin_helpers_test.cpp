// The installer helpers of the payload (our stand-ins kardnt.dll and
// kardapp.exe) run for real, called the way the driver-uninstall helper
// calls them: in process (mode 1) and as a program (mode 2). Each test
// copies them into a setup folder of its own, writes a removal .inf beside
// them and lays out what the .inf removes: a file and a kernel-driver
// service. What is left is read back from the file system, the service
// manager and the registry with the plain Win32 calls.
#include "inst_drv/inst_drv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr DWORD kLibrary = 1;
constexpr DWORD kProgram = 2;
constexpr wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Where the build put the stand-ins. Wine reaches a host folder outside its
// drives as "\\?\unix\...".
std::wstring StandinFolder() {
  std::wstring folder;
  for (const char* p = INST_DRV_STANDIN_DIR; *p; ++p) folder += *p == '/' ? L'\\' : wchar_t(*p);
  if (!folder.empty() && folder[0] == L'\\') folder = L"\\\\?\\unix" + folder;
  return folder + L"\\";
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadText(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string out(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  if (!out.empty()) ReadFile(file, &out[0], static_cast<DWORD>(out.size()), &read, nullptr);
  CloseHandle(file);
  return out;
}

void WriteText(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path);
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

// Whether the service manager lists the service.
bool ServiceListed(const std::wstring& name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
  const bool listed = service != nullptr || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return listed;
}

// A kernel-driver service as the products install theirs (never started);
// the handle is returned open.
SC_HANDLE MakeService(const std::wstring& name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return nullptr;
  SC_HANDLE service = CreateServiceW(
      manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
      SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
      (L"system32\\drivers\\" + name + L".sys").c_str(), nullptr, nullptr, nullptr, nullptr,
      nullptr);
  CloseServiceHandle(manager);
  return service;
}

void DeleteServiceIfListed(const std::wstring& name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return;
  if (SC_HANDLE service = OpenServiceW(manager, name.c_str(), DELETE)) {
    DeleteService(service);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

// The session manager's restart operations as they are stored: pairs of
// strings (source, target; an empty target deletes), the empty strings
// included.
bool ReadPendingRenames(std::vector<BYTE>& raw) {
  raw.clear();
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                    &key) != ERROR_SUCCESS)
    return false;
  DWORD size = 0;
  bool found = RegQueryValueExW(key, kPendingRenames, nullptr, nullptr, nullptr, &size) ==
               ERROR_SUCCESS;
  if (found) {
    raw.resize(size);
    found = RegQueryValueExW(key, kPendingRenames, nullptr, nullptr, raw.data(), &size) ==
            ERROR_SUCCESS;
    raw.resize(size);
  }
  RegCloseKey(key);
  return found;
}

bool DeletionQueuedAtRestart(const std::wstring& path) {
  std::vector<BYTE> raw;
  if (!ReadPendingRenames(raw)) return false;
  std::wstring text(raw.size() / 2, L'\0');
  if (!text.empty()) memcpy(&text[0], raw.data(), text.size() * 2);
  std::vector<std::wstring> strings;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(L'\0', at);
    if (end == std::wstring::npos) end = text.size();
    strings.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  for (std::size_t i = 0; i + 1 < strings.size(); ++i)
    if (lstrcmpiW(strings[i].c_str(), (L"\\??\\" + path).c_str()) == 0 && strings[i + 1].empty())
      return true;
  return false;
}

class StandinHelpers : public ::testing::Test {
 protected:
  void SetUp() override {
    savedMode_ = InstDrv::GetMode();
    hadPendingRenames_ = ReadPendingRenames(savedPendingRenames_);
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    tag_ = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter_);
    folder_ = std::wstring(temp) + L"purgekit_standin_" + tag_ + L"\\";
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr)) << Narrow(folder_);
    ASSERT_TRUE(CreateDirectoryW(Files().c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(HelperTemp().c_str(), nullptr));
    for (const wchar_t* helper : {L"kardnt.dll", L"kardapp.exe"})
      ASSERT_TRUE(CopyFileW((StandinFolder() + helper).c_str(), (folder_ + helper).c_str(), FALSE))
          << "no stand-in " << Narrow(StandinFolder() + helper);
    InstDrv::SetSetupDllPath(folder_.c_str());
    // The helpers keep their log in the temporary folder: one of the test's
    // own, which the program inherits.
    for (const wchar_t* name : {L"TMP", L"TEMP"}) {
      wchar_t value[MAX_PATH + 1] = {};
      const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
      savedEnvironment_.emplace_back(name, length > 0 && length <= MAX_PATH ? value : L"");
      SetEnvironmentVariableW(name, HelperTemp().c_str());
    }
  }

  void TearDown() override {
    for (HANDLE file : heldFiles_) CloseHandle(file);
    for (SC_HANDLE service : heldServices_) CloseServiceHandle(service);
    for (const std::wstring& name : services_) DeleteServiceIfListed(name);
    for (const auto& [name, value] : savedEnvironment_)
      SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
    RestorePendingRenames();
    InstDrv::SetInstallModeForTesting(savedMode_);
    InstDrv::SetSetupDllPath(nullptr);
    for (const std::wstring& folder : {Files(), HelperTemp(), folder_}) {
      WIN32_FIND_DATAW found;
      HANDLE find = FindFirstFileW((folder + L"*").c_str(), &found);
      if (find != INVALID_HANDLE_VALUE) {
        do DeleteFileW((folder + found.cFileName).c_str());
        while (FindNextFileW(find, &found));
        FindClose(find);
      }
    }
    RemoveDirectoryW(Files().c_str());
    RemoveDirectoryW(HelperTemp().c_str());
    RemoveDirectoryW(folder_.c_str());
  }

  std::wstring Files() const { return folder_ + L"files\\"; }
  std::wstring HelperTemp() const { return folder_ + L"temp\\"; }
  std::wstring HelperLog() const { return HelperTemp() + L"kard_uninstall.log"; }

  // A service name of this test alone; deleted again when the test ends.
  std::wstring ServiceName(const wchar_t* what) {
    services_.push_back(L"pkstandin_" + std::wstring(what) + L"_" + tag_);
    return services_.back();
  }

  // A removal .inf whose default section deletes the file (by its absolute
  // folder) and the service, for 32-bit and 64-bit Windows alike.
  std::wstring WriteInf(const std::wstring& file, const std::wstring& service) {
    const std::wstring inf = folder_ + L"test_del.inf";
    const std::string folder = Narrow(Files().substr(0, Files().size() - 1));
    std::string text = "[Version]\r\nSignature = \"$Windows NT$\"\r\n\r\n"
                       "[DestinationDirs]\r\nTest.DelFiles = -1, \"" + folder + "\"\r\n\r\n";
    for (const char* platform : {"NTx86", "NTamd64"}) {
      text += "[DefaultInstall."s + platform + "]\r\nDelFiles = Test.DelFiles\r\n\r\n";
      text += "[DefaultInstall."s + platform + ".Services]\r\nDelService = " + Narrow(service) +
              ", 0x00000200\r\n\r\n";
    }
    text += "[Test.DelFiles]\r\n" + Narrow(file) + "\r\n";
    WriteText(inf, text);
    return inf;
  }

  HANDLE HoldOpen(const std::wstring& path) {
    // Shared for reading only: nobody may delete it while it is open.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file != INVALID_HANDLE_VALUE) heldFiles_.push_back(file);
    return file;
  }

  DWORD Uninstall(DWORD mode, const std::wstring& inf, bool log) {
    InstDrv::SetInstallModeForTesting(mode);
    return InstDrv::UninstallDriver(nullptr, 0, inf, log);
  }

  void RestorePendingRenames() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
      return;
    if (hadPendingRenames_)
      RegSetValueExW(key, kPendingRenames, 0, REG_MULTI_SZ, savedPendingRenames_.data(),
                     static_cast<DWORD>(savedPendingRenames_.size()));
    else
      RegDeleteValueW(key, kPendingRenames);
    RegCloseKey(key);
  }

  std::wstring folder_;
  std::wstring tag_;
  std::vector<HANDLE> heldFiles_;
  std::vector<SC_HANDLE> heldServices_;
  std::vector<std::wstring> services_;

 private:
  DWORD savedMode_ = 0;
  bool hadPendingRenames_ = false;
  std::vector<BYTE> savedPendingRenames_;
  std::vector<std::pair<std::wstring, std::wstring>> savedEnvironment_;
  static inline int counter_ = 0;
};

// 0 when everything went at once; 3010 when a restart finishes the work: a
// file in use is queued for deletion at the next start, a service that is
// still held open (also one already marked for deletion) stays marked until
// then. Both helpers answer alike.
TEST_F(StandinHelpers, RestartNeededIs3010) {
  enum class Left { Nothing, FileInUse, ServiceHeldOpen, ServiceAlreadyMarked, NothingThere };
  struct Case {
    const char* what;
    Left left;
    DWORD want;
  } cases[] = {
      {"file and service go at once", Left::Nothing, 0},
      {"neither file nor service there", Left::NothingThere, 0},
      {"file in use", Left::FileInUse, ERROR_SUCCESS_REBOOT_REQUIRED},
      {"service held open", Left::ServiceHeldOpen, ERROR_SUCCESS_REBOOT_REQUIRED},
      {"service already marked for deletion", Left::ServiceAlreadyMarked,
       ERROR_SUCCESS_REBOOT_REQUIRED},
  };
  for (DWORD mode : {kLibrary, kProgram}) {
    for (const Case& c : cases) {
      const std::string where =
          std::string(c.what) + (mode == kLibrary ? " (kardnt.dll)" : " (kardapp.exe)");
      const std::wstring file =
          L"drv_" + std::to_wstring(&c - cases) + L"_" + std::to_wstring(mode) + L".sys";
      const std::wstring service = ServiceName(L"svc");
      HANDLE heldFile = INVALID_HANDLE_VALUE;
      SC_HANDLE heldService = nullptr;
      if (c.left != Left::NothingThere) {
        WriteText(Files() + file, "driver");
        SC_HANDLE made = MakeService(service);
        ASSERT_NE(made, nullptr) << where << ": error " << GetLastError();
        if (c.left == Left::ServiceHeldOpen || c.left == Left::ServiceAlreadyMarked) {
          heldService = made;
          heldServices_.push_back(made);
          if (c.left == Left::ServiceAlreadyMarked) {
            ASSERT_TRUE(DeleteService(made)) << where;
          }
        } else {
          CloseServiceHandle(made);
        }
        if (c.left == Left::FileInUse) heldFile = HoldOpen(Files() + file);
      }

      EXPECT_EQ(Uninstall(mode, WriteInf(file, service), false), c.want) << where;

      if (c.left == Left::FileInUse) {
        EXPECT_TRUE(Exists(Files() + file)) << where;
        EXPECT_TRUE(DeletionQueuedAtRestart(Files() + file))
            << where << ": not queued for the next start";
      } else {
        EXPECT_FALSE(Exists(Files() + file)) << where;
        EXPECT_FALSE(DeletionQueuedAtRestart(Files() + file)) << where;
      }
      if (heldService != nullptr) {
        // Still listed while held; gone with the last handle.
        EXPECT_TRUE(ServiceListed(service)) << where;
        CloseServiceHandle(heldService);
        heldServices_.pop_back();
      }
      EXPECT_FALSE(ServiceListed(service)) << where;
      if (heldFile != INVALID_HANDLE_VALUE) {
        CloseHandle(heldFile);
        heldFiles_.pop_back();
      }
      EXPECT_FALSE(Exists(HelperLog())) << where << ": a log without being asked for one";
    }
  }
}

// "/log" (the program) and the log flag (the library) make the helper keep
// its own log; without them it writes none.
TEST_F(StandinHelpers, KeepsItsOwnLogOnlyWhenAsked) {
  for (DWORD mode : {kLibrary, kProgram}) {
    for (bool log : {false, true}) {
      const std::string where = std::string(mode == kLibrary ? "kardnt.dll" : "kardapp.exe") +
                                (log ? " with the log" : " without the log");
      const std::wstring file =
          L"logged_" + std::to_wstring(mode) + (log ? L"_on.sys" : L"_off.sys");
      const std::wstring service = ServiceName(L"log");
      WriteText(Files() + file, "driver");
      SC_HANDLE made = MakeService(service);
      ASSERT_NE(made, nullptr) << where;
      CloseServiceHandle(made);
      HANDLE held = HoldOpen(Files() + file);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
      const std::wstring inf = WriteInf(file, service);

      EXPECT_EQ(Uninstall(mode, inf, log), static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED))
          << where;

      const std::string text = ReadText(HelperLog());
      if (!log) {
        EXPECT_FALSE(Exists(HelperLog())) << where << ": " << text;
        continue;
      }
      // The call, what could not go at once, and the result.
      for (const std::string& line :
           {"uninstall \"" + Narrow(inf) + "\"", "next start: " + Narrow(Files() + file),
            "service " + Narrow(service) + ": deleted", "result 3010\r\n"s}) {
        EXPECT_NE(text.find(line), std::string::npos) << where << ": no \"" << line << "\" in\n"
                                                      << text;
      }
      DeleteFileW(HelperLog().c_str());
    }
  }
}

// "DelReg" lines that take one string out of a multi-string value (flag
// 0x00018002), as the removal .inf files do with the device classes' filter
// lists. The list ends at its first empty string, where Windows stops
// reading a device's filters: what follows is left as it is, so that a name
// there, which no device loads, does not move into the list.
TEST_F(StandinHelpers, FilterListEditsEndAtTheListsEnd) {
  const std::wstring key = L"Software\\PurgekitTests\\Standin_" + tag_;
  struct Case {
    const char* value;
    std::wstring before;
    std::wstring after;
  } cases[] = {
      {"Others", L"volsnap\0hmmounter\0partmgr\0\0"s, L"volsnap\0partmgr\0\0"s},
      {"Twice", L"HMMOUNTER\0volsnap\0hmmounter\0\0"s, L"volsnap\0\0"s},
      // Written back with the terminators the value lacked.
      {"Unterminated", L"volsnap\0hmmounter"s, L"volsnap\0\0"s},
      {"UnterminatedKept", L"hmmounter\0volsnap"s, L"volsnap\0\0"s},
      {"EmptyInside", L"volsnap\0hmmounter\0\0bramble\0\0"s, L"volsnap\0\0bramble\0\0"s},
      // Nothing is pulled into the list from behind its end...
      {"OnlyEntry", L"hmmounter\0\0bramble\0\0"s, L"\0bramble\0\0"s},
      // ...and nothing is taken from there.
      {"AfterTheEnd", L"volsnap\0\0hmmounter\0\0"s, L"volsnap\0\0hmmounter\0\0"s},
  };
  HKEY scratch = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &scratch, nullptr),
            ERROR_SUCCESS);
  std::string lines;
  for (const Case& c : cases)
    lines += "HKCU, \"" + Narrow(key) + "\", " + c.value + ", 0x00018002, hmmounter\r\n";
  const std::wstring inf = folder_ + L"filters_del.inf";
  WriteText(inf, "[Version]\r\nSignature = \"$Windows NT$\"\r\n\r\n"
                 "[DefaultInstall.NTx86]\r\nDelReg = Filters.DelReg\r\n\r\n"
                 "[DefaultInstall.NTamd64]\r\nDelReg = Filters.DelReg\r\n\r\n"
                 "[Filters.DelReg]\r\n" + lines);
  for (DWORD mode : {kLibrary, kProgram}) {
    for (const Case& c : cases)
      ASSERT_EQ(RegSetValueExW(scratch, std::wstring(c.value, c.value + strlen(c.value)).c_str(), 0,
                               REG_MULTI_SZ, reinterpret_cast<const BYTE*>(c.before.data()),
                               static_cast<DWORD>(c.before.size() * sizeof(wchar_t))),
                ERROR_SUCCESS);
    EXPECT_EQ(Uninstall(mode, inf, false), 0u);
    for (const Case& c : cases) {
      std::vector<wchar_t> data(64);
      DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
      ASSERT_EQ(RegQueryValueExW(scratch, std::wstring(c.value, c.value + strlen(c.value)).c_str(),
                                 nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size),
                ERROR_SUCCESS);
      EXPECT_EQ(std::wstring(data.data(), size / sizeof(wchar_t)), c.after)
          << c.value << (mode == kLibrary ? " (kardnt.dll)" : " (kardapp.exe)");
    }
  }
  RegCloseKey(scratch);
  RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
}

// A mode other than 1 and 2 is refused before any helper runs.
TEST_F(StandinHelpers, OtherModesCallNoHelper) {
  const std::wstring record = folder_ + L"calls.txt";
  SetEnvironmentVariableW(L"PURGEKIT_STANDIN_RECORD", record.c_str());
  const std::wstring inf = WriteInf(L"none.sys", ServiceName(L"mode"));
  for (DWORD mode : {0u, 3u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Uninstall(mode, inf, false), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << mode;
  }
  EXPECT_FALSE(Exists(record)) << ReadText(record);
  // The record does show a helper that ran.
  EXPECT_EQ(Uninstall(kLibrary, inf, false), 0u);
  SetEnvironmentVariableW(L"PURGEKIT_STANDIN_RECORD", nullptr);
  EXPECT_NE(ReadText(record).find("kardnt.dll "), std::string::npos) << ReadText(record);
}

}  // namespace
