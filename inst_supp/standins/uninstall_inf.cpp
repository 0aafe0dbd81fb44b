#include "uninstall_inf.h"

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace Standin {

namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t buffer[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableW(name, buffer, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return L"";
  return std::wstring(buffer, length);
}

std::string Utf8(const std::wstring& text) {
  int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return "";
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], length, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(length - 1));
  return out;
}

void AppendLine(const std::wstring& path, const std::wstring& line) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string text = Utf8(line) + "\r\n";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::wstring FileName(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  return name;
}

// The default installation section for this platform ("DefaultInstall"
// with its .NTx86 or .NTamd64 decoration when the .inf has one).
bool DefaultSection(HINF inf, std::wstring& section) {
  wchar_t actual[LINE_LEN] = {};
  if (!SetupDiGetActualSectionToInstallW(inf, L"DefaultInstall", actual, LINE_LEN, nullptr,
                                         nullptr))
    return false;
  section = actual;
  return true;
}

// The names of the "DelService" lines of the section's services section.
std::wstring DeletedServices(const wchar_t* infPath) {
  std::wstring names;
  HINF inf = SetupOpenInfFileW(infPath, nullptr, INF_STYLE_WIN4, nullptr);
  if (inf == INVALID_HANDLE_VALUE) return L"-";
  std::wstring section;
  INFCONTEXT line;
  if (DefaultSection(inf, section) &&
      SetupFindFirstLineW(inf, (section + L".Services").c_str(), L"DelService", &line)) {
    do {
      wchar_t name[LINE_LEN] = {};
      if (SetupGetStringFieldW(&line, 1, name, LINE_LEN, nullptr)) {
        if (!names.empty()) names += L',';
        names += name;
      }
    } while (SetupFindNextMatchLineW(&line, L"DelService", &line));
  }
  SetupCloseInfFile(inf);
  return names.empty() ? L"-" : names;
}

struct QueueContext {
  void* defaultContext;
  std::vector<std::wstring> delayed;  // files left for the next start
  DWORD error;                        // the first file that could not go at all
};

// A file that is in use goes at the next start, and a restart is then
// needed. Windows' file queue does that itself and says so
// (SPFILENOTIFY_FILEOPDELAYED); Wine's reports the failed delete instead, and
// the file is then queued for the next start here. A file that is already
// gone is no error.
UINT CALLBACK QueueCallback(void* context, UINT notification, UINT_PTR param1, UINT_PTR param2) {
  auto* queue = static_cast<QueueContext*>(context);
  switch (notification) {
    case SPFILENOTIFY_FILEOPDELAYED: {
      const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
      queue->delayed.push_back(paths != nullptr && paths->Target ? paths->Target : L"?");
      return NO_ERROR;
    }
    case SPFILENOTIFY_DELETEERROR: {
      const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
      if (paths == nullptr || paths->Target == nullptr) return FILEOP_SKIP;
      const DWORD error = paths->Win32Error;
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FILEOP_SKIP;
      if (MoveFileExW(paths->Target, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        queue->delayed.push_back(paths->Target);
      } else if (queue->error == NO_ERROR) {
        const DWORD moveError = GetLastError();
        queue->error = moveError != NO_ERROR ? moveError : error;
      }
      return FILEOP_SKIP;
    }
    default:
      return SetupDefaultQueueCallbackW(queue->defaultContext, notification, param1, param2);
  }
}

// A driver lives in the native system folder: a 32-bit helper on 64-bit
// Windows must see that folder, not its 32-bit twin.
class NativeSystemFolder {
 public:
  NativeSystemFolder() {
    using Disable = BOOL(WINAPI*)(PVOID*);
    auto disable = reinterpret_cast<Disable>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Wow64DisableWow64FsRedirection")));
    active_ = disable != nullptr && disable(&old_);
  }
  ~NativeSystemFolder() {
    using Revert = BOOL(WINAPI*)(PVOID);
    auto revert = reinterpret_cast<Revert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Wow64RevertWow64FsRedirection")));
    if (active_ && revert != nullptr) revert(old_);
  }
  NativeSystemFolder(const NativeSystemFolder&) = delete;
  NativeSystemFolder& operator=(const NativeSystemFolder&) = delete;

 private:
  PVOID old_ = nullptr;
  bool active_ = false;
};

// --- registry deletions ---------------------------------------------------
//
// The "DelReg" lines are carried out here rather than by SetupAPI: Wine's
// SetupAPI rewrites a multi-string value with a wrong length when it takes a
// string out of it, which would destroy the other filters in a device class's
// filter list. The lines are read through SetupAPI all the same.

constexpr int kDelRegMultiSzDelString = 0x00018002;
constexpr int kDelRegKeyOnly = 0x00002000;
constexpr int kDelReg64BitKey = 0x00001000;
constexpr int kDelReg32BitKey = 0x00004000;

HKEY RootKey(const std::wstring& name) {
  if (lstrcmpiW(name.c_str(), L"HKLM") == 0) return HKEY_LOCAL_MACHINE;
  if (lstrcmpiW(name.c_str(), L"HKCU") == 0) return HKEY_CURRENT_USER;
  if (lstrcmpiW(name.c_str(), L"HKCR") == 0) return HKEY_CLASSES_ROOT;
  if (lstrcmpiW(name.c_str(), L"HKU") == 0) return HKEY_USERS;
  return nullptr;
}

LONG DeleteKeyView(HKEY parent, const wchar_t* name, REGSAM view) {
  using DeleteKeyEx = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
  auto deleteKeyEx = reinterpret_cast<DeleteKeyEx>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
  return deleteKeyEx ? deleteKeyEx(parent, name, view, 0) : RegDeleteKeyW(parent, name);
}

// The key with its subkeys; a key that is not there is no error.
LONG DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | DELETE | view, &key);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  for (;;) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    if (DeleteKeyTree(root, path + L"\\" + name, view) != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return DeleteKeyView(root, path.c_str(), view);
}

// Every string equal to `entry` (letter case ignored) goes; the rest stay in
// their order. The list ends at its first empty string, as Windows reads it
// when it loads a device's filters: what follows is kept byte for byte, so
// that a name there, which no device loads, does not become a filter by the
// edit. The walk never leaves the data the registry returned.
LONG DeleteMultiSzString(HKEY root, const std::wstring& path, const std::wstring& name,
                         const std::wstring& entry, REGSAM view) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE | view, &key);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  DWORD type = 0, size = 0;
  result = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  if (result == ERROR_SUCCESS && type == REG_MULTI_SZ && size > 0) {
    std::vector<BYTE> data(size);
    result = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    if (size < data.size()) data.resize(size);
    if (result == ERROR_SUCCESS) {
      // Whole UTF-16 units; an odd last byte stays with the tail.
      std::wstring units(data.size() / sizeof(wchar_t), L'\0');
      if (!units.empty()) std::memcpy(&units[0], data.data(), units.size() * sizeof(wchar_t));
      std::wstring kept;
      bool changed = false;
      bool listEnd = false;
      std::size_t at = 0;
      while (at < units.size()) {
        std::size_t end = units.find(L'\0', at);
        if (end == std::wstring::npos) end = units.size();
        if (end == at) {
          listEnd = true;
          break;
        }
        const std::size_t next = end < units.size() ? end + 1 : end;
        if (lstrcmpiW(units.substr(at, end - at).c_str(), entry.c_str()) == 0)
          changed = true;
        else
          kept.append(units, at, next - at);
        at = next;
      }
      if (listEnd) {
        kept.append(units, at, std::wstring::npos);
      } else {
        // The value lacked its terminators: the list written back has them.
        if (!kept.empty() && kept.back() != L'\0') kept += L'\0';
        kept += L'\0';
      }
      std::vector<BYTE> out(kept.size() * sizeof(wchar_t));
      if (!kept.empty()) std::memcpy(out.data(), kept.data(), out.size());
      out.insert(out.end(), data.begin() + units.size() * sizeof(wchar_t), data.end());
      if (changed)
        result = RegSetValueExW(key, name.c_str(), 0, REG_MULTI_SZ, out.data(),
                                static_cast<DWORD>(out.size()));
    }
  } else if (result == ERROR_FILE_NOT_FOUND) {
    result = ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return result;
}

std::wstring Field(INFCONTEXT& line, DWORD index) {
  wchar_t text[MAX_INF_STRING_LENGTH] = {};
  if (!SetupGetStringFieldW(&line, index, text, MAX_INF_STRING_LENGTH, nullptr)) return L"";
  return text;
}

LONG DeleteRegistryLine(INFCONTEXT& line) {
  HKEY root = RootKey(Field(line, 1));
  if (root == nullptr) return ERROR_INVALID_DATA;
  const std::wstring path = Field(line, 2);
  const std::wstring value = Field(line, 3);
  INT flags = 0;
  if (SetupGetFieldCount(&line) >= 4 && !SetupGetIntField(&line, 4, &flags)) flags = 0;
  REGSAM view = 0;
  if (flags & kDelReg64BitKey) view = KEY_WOW64_64KEY;
  if (flags & kDelReg32BitKey) view = KEY_WOW64_32KEY;
  if ((flags & kDelRegMultiSzDelString) == kDelRegMultiSzDelString)
    return DeleteMultiSzString(root, path, value, Field(line, 5), view);
  if (value.empty() && (SetupGetFieldCount(&line) < 4 || (flags & kDelRegKeyOnly)))
    return DeleteKeyTree(root, path, view);
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(root, path.c_str(), 0, KEY_SET_VALUE | view, &key);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  result = RegDeleteValueW(key, value.c_str());
  RegCloseKey(key);
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

// Every line of every section the install section's "DelReg" lines name.
LONG DeleteRegistryEntries(HINF inf, const std::wstring& section) {
  LONG first = ERROR_SUCCESS;
  INFCONTEXT directive;
  if (!SetupFindFirstLineW(inf, section.c_str(), L"DelReg", &directive)) return ERROR_SUCCESS;
  do {
    for (DWORD field = 1; field <= SetupGetFieldCount(&directive); ++field) {
      const std::wstring names = Field(directive, field);
      INFCONTEXT line;
      if (names.empty() || !SetupFindFirstLineW(inf, names.c_str(), nullptr, &line)) continue;
      do {
        LONG result = DeleteRegistryLine(line);
        if (result != ERROR_SUCCESS && first == ERROR_SUCCESS) first = result;
      } while (SetupFindNextLine(&line, &line));
    }
  } while (SetupFindNextMatchLineW(&directive, L"DelReg", &directive));
  return first;
}

// --- services ----------------------------------------------------------
//
// The "DelService" lines are carried out here too: Wine's SetupAPI deletes
// only the service of a section's first such line.

constexpr INT kStopService = 0x00000200;  // SPSVCINST_STOPSERVICE

// The helper's own log, kept only when the caller asks for it ("/log" or the
// log flag): "%TEMP%\kard_uninstall.log", one line per step, appended.
class HelperLog {
 public:
  explicit HelperLog(bool on) : on_(on) {}
  void Line(const std::wstring& text) const {
    if (!on_) return;
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length > MAX_PATH) return;
    AppendLine(std::wstring(temp) + L"kard_uninstall.log", text);
  }

 private:
  bool on_;
};

std::wstring Number(unsigned long value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%lu", value);
  return text;
}

// True while the service manager still lists the service: the service is
// marked for deletion and goes when the last handle to it closes and it has
// stopped, at the next start at the latest.
bool StillListed(SC_HANDLE manager, const std::wstring& name) {
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
  if (service != nullptr) {
    CloseServiceHandle(service);
    return true;
  }
  return GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

// Deletes the named service, stopping it first when asked. A service that
// is not there is no error. One that cannot go at once (it still runs, or
// someone still holds it open, or it was already marked for deletion) is
// left marked for deletion, and a restart is needed.
DWORD DeleteOneService(SC_HANDLE manager, const std::wstring& name, INT flags, bool& reboot,
                       const HelperLog& log) {
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
      log.Line(L"  service " + name + L": not there");
      return NO_ERROR;
    }
    log.Line(L"  service " + name + L": error " + Number(error));
    return error;
  }
  SERVICE_STATUS status = {};
  if (flags & kStopService) ControlService(service, SERVICE_CONTROL_STOP, &status);
  DWORD result = NO_ERROR;
  if (!DeleteService(service)) {
    result = GetLastError();
    if (result == ERROR_SERVICE_MARKED_FOR_DELETE) result = NO_ERROR;
  }
  bool running = false;
  if (result == NO_ERROR && QueryServiceStatus(service, &status))
    running = status.dwCurrentState != SERVICE_STOPPED;
  CloseServiceHandle(service);
  if (result != NO_ERROR) {
    log.Line(L"  service " + name + L": error " + Number(result));
  } else if (running || StillListed(manager, name)) {
    reboot = true;
    log.Line(L"  service " + name + L": marked for deletion, goes at the next start");
  } else {
    log.Line(L"  service " + name + L": deleted");
  }
  return result;
}

DWORD DeleteServices(HINF inf, const std::wstring& section, bool& reboot, const HelperLog& log) {
  INFCONTEXT line;
  if (!SetupFindFirstLineW(inf, section.c_str(), L"DelService", &line)) return NO_ERROR;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return GetLastError();
  DWORD first = NO_ERROR;
  do {
    const std::wstring name = Field(line, 1);
    INT flags = 0;
    if (SetupGetFieldCount(&line) >= 2 && !SetupGetIntField(&line, 2, &flags)) flags = 0;
    if (name.empty()) continue;
    DWORD result = DeleteOneService(manager, name, flags, reboot, log);
    if (result != NO_ERROR && first == NO_ERROR) first = result;
  } while (SetupFindNextMatchLineW(&line, L"DelService", &line));
  CloseServiceHandle(manager);
  return first;
}

DWORD Finish(const HelperLog& log, DWORD result) {
  log.Line(L"  result " + Number(result));
  return result;
}

}  // namespace

bool FailureRequested(const wchar_t* infPath) {
  std::wstring fail = Environment(L"PURGEKIT_STANDIN_FAIL");
  return !fail.empty() && infPath != nullptr && lstrcmpiW(fail.c_str(), FileName(infPath).c_str()) == 0;
}

void RecordCall(const wchar_t* who, const std::wstring& call, const wchar_t* infPath,
                DWORD result) {
  std::wstring record = Environment(L"PURGEKIT_STANDIN_RECORD");
  if (record.empty()) return;
  wchar_t program[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, program, MAX_PATH);
  wchar_t number[16];
  std::swprintf(number, 16, L"%lu", static_cast<unsigned long>(result));
  AppendLine(record, std::wstring(who) + L" process=" + FileName(program) + L" " + call +
                         L" services=" + (infPath ? DeletedServices(infPath) : L"-") +
                         L" result=" + number);
}

DWORD UninstallWithInf(const wchar_t* infPath, const char* description, unsigned instance,
                       bool log) {
  if (infPath == nullptr) return ERROR_INVALID_PARAMETER;
  const HelperLog helperLog(log);
  std::wstring call = L"uninstall \"" + std::wstring(infPath) + L"\" instance " + Number(instance);
  if (description != nullptr) {
    call += L" description \"";
    for (const char* p = description; *p; ++p)
      call += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    call += L"\"";
  }
  helperLog.Line(call);
  UINT errorLine = 0;
  HINF inf = SetupOpenInfFileW(infPath, nullptr, INF_STYLE_WIN4, &errorLine);
  if (inf == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    helperLog.Line(L"  cannot open the .inf");
    return Finish(helperLog, error ? error : ERROR_FILE_NOT_FOUND);
  }
  std::wstring section;
  if (!DefaultSection(inf, section)) {
    DWORD error = GetLastError();
    SetupCloseInfFile(inf);
    helperLog.Line(L"  no default installation section");
    return Finish(helperLog, error ? error : ERROR_SECTION_NOT_FOUND);
  }
  helperLog.Line(L"  section " + section);

  DWORD result = NO_ERROR;
  bool reboot = false;
  {
    NativeSystemFolder native;
    // As Windows runs a default section: registry and files, then services.
    QueueContext queue{SetupInitDefaultQueueCallbackEx(nullptr, static_cast<HWND>(INVALID_HANDLE_VALUE),
                                                       0, 0, nullptr),
                       {}, NO_ERROR};
    result = static_cast<DWORD>(DeleteRegistryEntries(inf, section));
    if (result != NO_ERROR) helperLog.Line(L"  registry: error " + Number(result));
    if (!SetupInstallFromInfSectionW(nullptr, inf, section.c_str(), SPINST_ALL & ~SPINST_REGISTRY, nullptr,
                                     nullptr, 0, QueueCallback, &queue, nullptr, nullptr)) {
      const DWORD error = GetLastError();
      helperLog.Line(L"  section: error " + Number(error));
      if (result == NO_ERROR) result = error;
    }
    if (queue.defaultContext != nullptr) SetupTermDefaultQueueCallback(queue.defaultContext);
    for (const std::wstring& file : queue.delayed)
      helperLog.Line(L"  file in use, deleted at the next start: " + file);
    if (!queue.delayed.empty()) reboot = true;
    if (queue.error != NO_ERROR) {
      helperLog.Line(L"  files: error " + Number(queue.error));
      if (result == NO_ERROR) result = queue.error;
    }

    const DWORD services = DeleteServices(inf, section + L".Services", reboot, helperLog);
    if (services != NO_ERROR && result == NO_ERROR) result = services;
  }
  SetupCloseInfFile(inf);
  if (result == NO_ERROR && reboot) result = ERROR_SUCCESS_REBOOT_REQUIRED;
  return Finish(helperLog, result);
}

}  // namespace Standin
