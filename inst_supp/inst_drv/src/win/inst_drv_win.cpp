// The driver-uninstall helper on Windows.
#include "inst_drv/inst_drv.h"

#include <memory>
#include <vector>

#include "files/dir.h"
#include "files/win/win_dir.h"
#include "inst_drv/inst_drv_text.h"
#include "inst_drv/install_log.h"
#include "windows/layer.h"

namespace InstDrv {

namespace {

constexpr DWORD kModeLibrary = 1;
constexpr DWORD kModeProgram = 2;
constexpr DWORD kNotInstalled = 0;
constexpr DWORD kBuildUnknown = 0xFFFFFFFF;
constexpr char kMakerKey[] = "Software\\Quorvel\\";
constexpr char kServicesKey[] = "System\\CurrentControlSet\\Services\\";

// The mode and setup folder, guarded by one lock made before main and
// deleted at exit.
struct HelperState {
  HelperState() { InitializeCriticalSection(&lock); }
  ~HelperState() { DeleteCriticalSection(&lock); }
  HelperState(const HelperState&) = delete;
  HelperState& operator=(const HelperState&) = delete;

  CRITICAL_SECTION lock;
  DWORD mode = kModeLibrary;
  std::wstring setupFolder;
};

HelperState state;

class Locked {
 public:
  Locked() { EnterCriticalSection(&state.lock); }
  ~Locked() { LeaveCriticalSection(&state.lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Each UninstallDriver and UninstallVersionedDriver call stores its own.
bool logFlag = false;

bool IsNtFamily() { return (GetVersion() & 0x80000000u) == 0; }

// NT family from version 5.0 on.
bool IsNt5OrLater() {
  const DWORD version = GetVersion();
  return (version & 0x80000000u) == 0 && (version & 0xFF) > 4;
}

const wchar_t* LibraryName() { return IsNtFamily() ? L"kardnt.dll" : L"kard9x.dll"; }
const wchar_t* ProgramName() { return IsNtFamily() ? L"kardapp.exe" : L"kardapp9x.exe"; }

std::u16string U16(const std::wstring& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.c_str()), text.size());
}
std::wstring W(const std::u16string& text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.c_str()), text.size());
}

std::wstring AnsiToWide(const char* text) {
  if (text == nullptr) return L"";
  int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 1) return L"";
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], length);
  out.resize(static_cast<std::size_t>(length - 1));
  return out;
}

std::string WideToAnsi(const std::wstring& text) {
  int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return "";
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], length, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(length - 1));
  return out;
}

// The block a procedure writes to the install log while the flag is set.
class LoggedProcedure {
 public:
  LoggedProcedure(const char* name, int line, const InstallLogParameter* parameters = nullptr,
                  std::size_t count = 0)
      : name_(name), active_(logFlag) {
    if (!active_) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    InstallLog& log = InstallLogInstance();
    LogProcedureStart(log, __FILE__, line, now, name, parameters, count);
    LeaveCriticalSection(&log.lock);
  }
  void End(unsigned result, const InstallLogParameter* outputs = nullptr, std::size_t count = 0) {
    if (!active_) return;
    InstallLog& log = InstallLogInstance();
    LogProcedureEnd(log, name_, result, nullptr, outputs, count);
    LeaveCriticalSection(&log.lock);
  }
  void EndText(const wchar_t* text) {
    if (!active_) return;
    InstallLog& log = InstallLogInstance();
    LogProcedureEnd(log, name_, 0, text, nullptr, 0);
    LeaveCriticalSection(&log.lock);
  }

 private:
  const char* name_;
  bool active_;
};

// (InstallLogInstance enters the log's lock; the block writers leave every
// entry they make themselves, so one leave balances it.)

DWORD ReadBuild(const char* shortName, bool& found) {
  found = false;
  HKEY key = nullptr;
  const std::string path = std::string(kMakerKey) + shortName;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | RegistryView64Flag,
                    &key) != ERROR_SUCCESS)
    return 0;
  DWORD type = 0, value = 0, size = sizeof(value);
  if (RegQueryValueExA(key, "Build", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
          ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof(value)) {
    found = true;
  } else {
    value = 0;
  }
  RegCloseKey(key);
  return value;
}

}  // namespace

void SetInstallMode() {
  Locked lock;
  state.mode = kModeProgram;
}

void SetInstallModeForTesting(DWORD mode) {
  Locked lock;
  state.mode = mode;
}

DWORD SetSetupDllPath(const wchar_t* folder) {
  Locked lock;
  if (folder == nullptr)
    state.setupFolder.clear();
  else
    state.setupFolder = folder;
  return 0;
}

std::wstring GetSetupDllPath() {
  LoggedProcedure log("GetSetupDllPath", __LINE__);
  std::wstring folder;
  {
    Locked lock;
    if (!state.setupFolder.empty() && state.setupFolder.back() != L'\\' &&
        state.setupFolder.back() != L'/')
      state.setupFolder += L'\\';
    folder = state.setupFolder;
  }
  log.EndText(folder.c_str());
  return folder;
}

DWORD GetMode() {
  LoggedProcedure log("GetMode", __LINE__);
  DWORD mode;
  {
    Locked lock;
    mode = state.mode;
  }
  log.End(mode);
  return mode;
}

DWORD LoadSetupDll(HMODULE& module) {
  module = nullptr;
  const InstallLogParameter in[] = {InstallLogParameter::Unsigned("Dll", 0)};
  LoggedProcedure log("LoadSetupDll", __LINE__, in, 1);
  const std::wstring folder = GetSetupDllPath();
  DWORD result = 0;
  if (!IsNtFamily() && !folder.empty()) {
    // Windows 9x looks for the library's own imports in the current
    // directory, not beside the library.
    wchar_t saved[MAX_PATH + 1] = {};
    if (WindowsLayerInstance->GetCurrentDirectoryW(MAX_PATH, saved) == 0) {
      result = GetLastError();
    } else if (!WindowsLayerInstance->SetCurrentDirectoryW(folder.c_str())) {
      result = GetLastError();
    } else {
      module = WindowsLayerInstance->LoadLibraryExW((folder + LibraryName()).c_str(), nullptr,
                                                    LOAD_WITH_ALTERED_SEARCH_PATH);
      if (module == nullptr) result = GetLastError();
      WindowsLayerInstance->SetCurrentDirectoryW(saved);
    }
  } else {
    module = WindowsLayerInstance->LoadLibraryExW((folder + LibraryName()).c_str(), nullptr,
                                                  LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) result = GetLastError();
  }
  const InstallLogParameter out[] = {InstallLogParameter::Unsigned(
      "Dll", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(module)))};
  log.End(result, out, 1);
  return result;
}

DWORD InvokeKardApp(const std::wstring& parameters) {
  const InstallLogParameter in[] = {InstallLogParameter::Wide("Parameters", parameters.c_str())};
  LoggedProcedure log("InvokeKardApp", __LINE__, in, 1);
  std::wstring line = L"\"" + GetSetupDllPath() + ProgramName() + L"\" " + parameters;
  std::vector<wchar_t> commandLine(line.begin(), line.end());
  commandLine.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);  // 68
  PROCESS_INFORMATION process = {};
  DWORD result = 0;
  if (!WindowsLayerInstance->CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                            CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP,
                                            nullptr, nullptr, &startup, &process)) {
    result = GetLastError();
  } else {
    if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_FAILED) {
      result = GetLastError();
    } else if (!GetExitCodeProcess(process.hProcess, &result)) {
      result = GetLastError();
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  log.End(result);
  return result;
}

DWORD GetInfName(const std::wstring& in, std::wstring& out) {
  const InstallLogParameter parameters[] = {InstallLogParameter::Wide("InInfName", in.c_str()),
                                            InstallLogParameter::Wide("OutInfName", out.c_str())};
  LoggedProcedure log("GetInfName", __LINE__, parameters, 2);
  DWORD result = 0;
  if (IsNtFamily()) {
    out = in;
  } else {
    char shortPath[MAX_PATH] = {};
    if (GetShortPathNameA(WideToAnsi(in).c_str(), shortPath, MAX_PATH) == 0)
      result = GetLastError();
    else
      out = AnsiToWide(shortPath);
  }
  const InstallLogParameter outputs[] = {InstallLogParameter::Wide("OutInfName", out.c_str())};
  log.End(result, outputs, 1);
  return result;
}

DWORD UninstallDriver(const char* description, std::uint16_t instance,
                      const std::wstring& infPath, bool log) {
  logFlag = log;
  const InstallLogParameter in[] = {
      InstallLogParameter::Text("DeviceDescription", description),
      InstallLogParameter::Short("Instance", static_cast<short>(instance)),
      InstallLogParameter::Wide("InfName", infPath.c_str())};
  LoggedProcedure logged("UninstallDriver", __LINE__, in, 3);

  std::wstring inf;
  DWORD result = GetInfName(infPath, inf);
  if (result != 0) {
    logged.End(result);
    return result;
  }
  const DWORD mode = GetMode();
  if (mode == kModeLibrary) {
    HMODULE module = nullptr;
    result = LoadSetupDll(module);
    if (result == 0) {
      using Entry = DWORD(__stdcall*)(const char*, WORD, const void*, BOOL);
      auto entry = reinterpret_cast<Entry>(
        reinterpret_cast<void*>(GetProcAddress(module, "UninstallDriver")));
      if (entry == nullptr) {
        result = GetLastError();
      } else if (IsNtFamily()) {
        result = entry(description, instance, inf.c_str(), log ? TRUE : FALSE);
      } else {
        const std::string ansi = WideToAnsi(inf);
        result = entry(description, instance, ansi.c_str(), log ? TRUE : FALSE);
      }
      FreeLibrary(module);
    }
  } else if (mode == kModeProgram) {
    std::u16string descriptionText;
    if (description != nullptr) descriptionText = U16(AnsiToWide(description));
    const std::u16string parameters = UninstallParameters(
        description != nullptr ? &descriptionText : nullptr, instance, U16(inf), log);
    result = InvokeKardApp(W(parameters));
    if (result == STILL_ACTIVE) result = 0;
  } else {
    result = ERROR_INVALID_PARAMETER;
  }
  logged.End(result);
  return result;
}

DWORD GetInstalledDriverVersion(const char* shortName) {
  const InstallLogParameter in[] = {InstallLogParameter::Text("ShortDriverName", shortName)};
  LoggedProcedure log("GetInstalledDriverVersion", __LINE__, in, 1);
  bool found = false;
  DWORD build = ReadBuild(shortName, found);
  if (build == 0) {
    HKEY key = nullptr;
    const std::string path = std::string(kServicesKey) + shortName;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
      RegCloseKey(key);
      build = kBuildUnknown;
    } else {
      build = kNotInstalled;
    }
  }
  log.End(build);
  return build;
}

std::string VersionedDriverName(const std::string& name, DWORD version) {
  const DWORD installed = GetInstalledDriverVersion(name.c_str());
  if (!IsNt5OrLater() || (version == 0 && installed == 0)) return name;
  const DWORD chosen = version != 0 ? version : installed;
  if (chosen == kBuildUnknown) return name;
  return NumberedName(name, chosen);
}

DWORD UninstallVersionedDriver(const char* shortName, const char* binaryBaseName,
                               const std::wstring& infPath, DWORD version, bool log) {
  logFlag = log;
  const InstallLogParameter in[] = {InstallLogParameter::Text("ShortDriverName", shortName),
                                    InstallLogParameter::Text("BinaryBaseName", binaryBaseName),
                                    InstallLogParameter::Wide("InfName", infPath.c_str()),
                                    InstallLogParameter::Unsigned("Version", version)};
  LoggedProcedure logged("UninstallVersionedDriver", __LINE__, in, 4);

  const DWORD installed = GetInstalledDriverVersion(shortName);
  bool versioned = false;
  std::string versionedName = shortName;
  DWORD result = 0;
  std::wstring inf = infPath;
  std::wstring copy;

  if (IsNt5OrLater()) {
    const DWORD chosen = version != 0 ? version : installed;
    versioned = chosen != 0 && chosen != kBuildUnknown;
    if (versioned) versionedName = NumberedName(shortName, chosen);

    if (installed == chosen) {
      const std::wstring key = AnsiToWide((std::string(kMakerKey) + shortName).c_str());
      result = static_cast<DWORD>(
          WindowsLayerInstance->RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), RegistryView64Flag, 0));
      if (result != 0) {
        logged.End(result);
        return result;
      }
    }
    for (const auto& list : {std::make_pair(kVolumeClassKey, "UpperFilters"),
                             std::make_pair(kDiskClassKey, "UpperFilters"),
                             std::make_pair(kVolumeClassKey, "LowerFilters"),
                             std::make_pair(kDiskClassKey, "LowerFilters")}) {
      result = RemoveFromMultiSzValue(HKEY_LOCAL_MACHINE, list.first, list.second,
                                      versionedName.c_str(), false);
      if (result != 0) {
        logged.End(result);
        return result;
      }
    }
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT length = WindowsLayerInstance->GetWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length <= MAX_PATH) {
      const std::string file = versioned ? NumberedName(binaryBaseName, chosen) + ".sys"
                                         : std::string(shortName) + ".sys";
      const std::wstring path =
          std::wstring(windows) + L"\\System32\\drivers\\" + AnsiToWide(file.c_str());
      WindowsLayerInstance->MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
  }

  if (versioned) {
    copy = infPath + L".tmp";
    result = CopyFileReplacingText(infPath, copy, ("\"" + std::string(shortName) + "\"").c_str(),
                                   ("\"" + versionedName + "\"").c_str());
    inf = copy;
  }
  if (result == 0) {
    result = UninstallDriver(nullptr, 0, inf, log);
    if (result == 0) result = ERROR_SUCCESS_REBOOT_REQUIRED;
  }
  if (versioned) WindowsLayerInstance->DeleteFileW(copy.c_str());
  logged.End(result);
  return result;
}

DWORD UninstallLowerFilterDriver(const std::wstring& infPath, DWORD version, bool log) {
  if (!IsXPOrLaterVersionEx()) return ERROR_OLD_WIN_VERSION;
  const std::string name = VersionedDriverName("wobrant", version);
  DWORD result =
      RemoveFromMultiSzValue(HKEY_LOCAL_MACHINE, kVolumeClassKey, "LowerFilters", name.c_str(), true);
  if (result != 0) return result;
  return UninstallVersionedDriver("wobrant", "wobrant", infPath, version, log);
}

DWORD RemoveFromMultiSzValue(HKEY root, const char* subkey, const char* valueName,
                             const char* entry, bool firstOnly) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(root, subkey, 0, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, &key);
  if (result == ERROR_SUCCESS) {
    DWORD type = 0, size = 0;
    result = RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size);
    if (result == ERROR_SUCCESS && type == REG_MULTI_SZ && size != 0) {
      std::unique_ptr<char[]> data(new (std::nothrow) char[size]);
      if (!data) {
        RegCloseKey(key);
        return ERROR_NOT_ENOUGH_MEMORY;
      }
      // The size the read reports is the one to walk: the first answer is
      // only an upper bound (it counts UTF-16 bytes).
      result = RegQueryValueExA(key, valueName, nullptr, &type,
                                reinterpret_cast<BYTE*>(data.get()), &size);
      if (result == ERROR_SUCCESS && type == REG_MULTI_SZ) {
        const std::size_t kept = RemoveMultiSzEntry(
            data.get(), size, entry, firstOnly,
            [](const char* text, std::size_t length, const char* name) {
              return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, text,
                                    static_cast<int>(length), name, -1) == CSTR_EQUAL;
            });
        // Written back only when something was cut: the ANSI round trip
        // would turn names outside the code page into look-alikes.
        if (kept != size)
          result = RegSetValueExA(key, valueName, 0, REG_MULTI_SZ,
                                  reinterpret_cast<const BYTE*>(data.get()),
                                  static_cast<DWORD>(kept));
      }
    }
    RegCloseKey(key);
  }
  return result == ERROR_FILE_NOT_FOUND ? 0 : static_cast<DWORD>(result);
}

DWORD CopyFileReplacingText(const std::wstring& source, const std::wstring& target,
                            const char* find, const char* replacement) {
  i_dir* current = GetCurrentDirObject();
  if (current == nullptr) return ERROR_FILE_NOT_FOUND;
  std::unique_ptr<i_file> in(current->open_file(U16(source).c_str(), false));
  if (!in || in->has_failed()) return ERROR_FILE_NOT_FOUND;
  auto* sized = dynamic_cast<sized_file*>(in.get());
  if (sized == nullptr) return ERROR_READ_FAULT;
  const std::uint64_t size = sized->size();
  if (in->has_failed() || size > 0x7FFFFFFF) return ERROR_READ_FAULT;
  std::string text(static_cast<std::size_t>(size), '\0');
  if (size > 0) in->read_exact(&text[0], static_cast<std::uint32_t>(size));
  if (in->has_failed()) return ERROR_READ_FAULT;
  in.reset();

  const std::string out = ReplaceAll(text, find ? find : "", replacement ? replacement : "");
  auto* writable = dynamic_cast<rio_dir*>(current);
  if (writable == nullptr) return ERROR_CANNOT_MAKE;
  std::unique_ptr<rio_file> file(writable->create_file(U16(target).c_str(), false, nullptr));
  if (!file || file->has_failed()) return ERROR_CANNOT_MAKE;
  if (!out.empty()) file->write_exact(out.data(), static_cast<std::uint32_t>(out.size()));
  return file->has_failed() ? ERROR_WRITE_FAULT : 0;
}

bool IsXPOrLaterVersionEx() {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExA(&info)) return false;
  return info.dwMajorVersion > 5 || (info.dwMajorVersion == 5 && info.dwMinorVersion >= 1);
}

}  // namespace InstDrv
