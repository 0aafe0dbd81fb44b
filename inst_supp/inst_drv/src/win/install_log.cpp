// The install log of the driver-uninstall helper.
#include "inst_drv/install_log.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/message_table.h"
#include "foundation/text.h"

namespace {

constexpr char kOpenBanner[] = "====================== LOG OPEN ======================\r\n";
constexpr char kCloseBanner[] = "====================== LOG CLOSE =====================\r\n";
constexpr std::uint32_t kMakerMessage = 49;
constexpr std::uint32_t kProductMessage = 1842;

void AppendNull(std::string& out) { out += "'null'"; }

void AppendWide(std::string& out, const wchar_t* text) {
  if (text == nullptr) return AppendNull(out);
  int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return;
  std::string converted(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, &converted[0], length, nullptr, nullptr);
  converted.resize(static_cast<std::size_t>(length - 1));
  out += converted;
}

template <class T>
void AppendNumber(std::string& out, const char* format, T value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, value);
  out += buffer;
}

std::vector<std::uintptr_t> ModuleBasesByPsapi() {
  // psapi is looked up at run time: the program links no library beyond
  // those every Windows has loaded anyway.
  using EnumModules = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
  HMODULE psapi = LoadLibraryW(L"psapi.dll");
  auto enumModules =
      psapi ? reinterpret_cast<EnumModules>(
                  reinterpret_cast<void*>(GetProcAddress(psapi, "EnumProcessModules")))
            : nullptr;
  if (enumModules == nullptr) return {};
  std::vector<HMODULE> modules(1024);
  DWORD needed = 0;
  for (;;) {
    if (!enumModules(GetCurrentProcess(), modules.data(),
                     static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
      return {};
    if (needed <= modules.size() * sizeof(HMODULE)) break;
    modules.resize(needed / sizeof(HMODULE));
  }
  modules.resize(needed / sizeof(HMODULE));
  std::vector<std::uintptr_t> bases;
  for (HMODULE m : modules) bases.push_back(reinterpret_cast<std::uintptr_t>(m));
  return bases;
}

// Windows 9x has no psapi: the toolhelp snapshot lists the modules there.
std::vector<std::uintptr_t> ModuleBasesByToolhelp() {
  using Snapshot = HANDLE(WINAPI*)(DWORD, DWORD);
  // The ANSI record by its tag: under UNICODE the typedef names the wide one.
  using Walk = BOOL(WINAPI*)(HANDLE, tagMODULEENTRY32*);
  HMODULE kernel = GetModuleHandleA("Kernel32");
  if (kernel == nullptr) return {};
  auto snapshot = reinterpret_cast<Snapshot>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "CreateToolhelp32Snapshot")));
  auto first = reinterpret_cast<Walk>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "Module32First")));
  auto next = reinterpret_cast<Walk>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "Module32Next")));
  if (snapshot == nullptr || first == nullptr || next == nullptr) return {};
  HANDLE list = snapshot(TH32CS_SNAPMODULE, 0);
  if (list == INVALID_HANDLE_VALUE) return {};
  std::vector<std::uintptr_t> bases;
  tagMODULEENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = first(list, &entry); more; more = next(list, &entry)) {
    bases.push_back(reinterpret_cast<std::uintptr_t>(entry.modBaseAddr));
    entry.dwSize = sizeof entry;
  }
  CloseHandle(list);
  return bases;
}

// The module that holds this code.
HMODULE ModuleOfThisCode() {
  const auto here = reinterpret_cast<std::uintptr_t>(&ModuleOfThisCode);
  return ModuleHolding(here, (GetVersion() & 0x80000000u) != 0);
}

std::wstring ModuleFileName() {
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(ModuleOfThisCode(), path, MAX_PATH);
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  return name;
}

void CloseInstanceAtExit();

InstallLog* instance = nullptr;

void CloseInstanceAtExit() { instance->Close(); }

void WriteParameters(InstallLog& log, const InstallLogParameter* parameters, std::size_t count) {
  EnterCriticalSection(&log.lock);
  log.PrintLine(" with next parameters:");
  for (std::size_t i = 0; i < count; ++i) {
    const InstallLogParameter& p = parameters[i];
    EnterCriticalSection(&log.lock);
    switch (p.kind) {
      case InstallLogParameter::kText: log.PrintLine("   %s = %s", p.name, p.text); break;
      case InstallLogParameter::kWideText: log.PrintLine("   %s = %ls", p.name, p.wideText); break;
      case InstallLogParameter::kUnsigned: log.PrintLine("   %s = %u", p.name, p.number); break;
      case InstallLogParameter::kShort: log.PrintLine("   %s = %hd", p.name, p.shortNumber); break;
    }
  }
}

}  // namespace

HMODULE ModuleHolding(std::uintptr_t address, bool useToolhelp) {
  std::vector<std::uintptr_t> bases = useToolhelp ? ModuleBasesByToolhelp() : ModuleBasesByPsapi();
  std::sort(bases.begin(), bases.end());
  HMODULE found = nullptr;
  for (std::uintptr_t base : bases)
    if (base <= address) found = reinterpret_cast<HMODULE>(base);
  return found;
}

std::string DescribeWin32Error(DWORD code) {
  std::string out;
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0x400, reinterpret_cast<char*>(&text), 0, nullptr);
  if (length > 0 && text != nullptr) {
    std::string message(text, length);
    while (!message.empty() && std::strchr(" \t\r\n", message.back())) message.pop_back();
    out += "'" + message + "' - ";
  }
  if (text != nullptr) LocalFree(text);
  AppendNumber(out, "[0x%lx]", static_cast<unsigned long>(code));
  return out;
}

void FormatInstallLog(std::string& out, const char* format, va_list args) {
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    ++p;
    if (*p == '\0') break;
    if (p[0] == 'h' && p[1] == 's') ++p;
    if (p[0] == 'l' && p[1] == 's') {
      ++p;
      AppendWide(out, va_arg(args, const wchar_t*));
      continue;
    }
    if (p[0] == 'h' && (p[1] == 'd' || p[1] == 'u')) {
      ++p;
      int value = va_arg(args, int);  // promoted
      if (*p == 'd')
        AppendNumber(out, "%d", static_cast<int>(static_cast<short>(value)));
      else
        AppendNumber(out, "%u", static_cast<unsigned>(static_cast<unsigned short>(value)));
      continue;
    }
    if (std::strncmp(p, "I64", 3) == 0 && (p[3] == 'd' || p[3] == 'u')) {
      p += 3;
      if (*p == 'd')
        AppendNumber(out, "%lld", static_cast<long long>(va_arg(args, std::int64_t)));
      else
        AppendNumber(out, "%llu", static_cast<unsigned long long>(va_arg(args, std::uint64_t)));
      continue;
    }
    switch (*p) {
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr)
          AppendNull(out);
        else
          out += text;
        break;
      }
      case 'S': AppendWide(out, va_arg(args, const wchar_t*)); break;
      case 'd': AppendNumber(out, "%d", va_arg(args, int)); break;
      case 'u': AppendNumber(out, "%u", va_arg(args, unsigned)); break;
      case 'x': AppendNumber(out, "%x", va_arg(args, unsigned)); break;
      case 'c': out += static_cast<char>(va_arg(args, int)); break;
      case 'e': out += DescribeWin32Error(va_arg(args, DWORD)); break;
      default: break;  // dropped with its '%'
    }
  }
}

void InstallLog::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(format, args);
  va_end(args);
}

void InstallLog::PrintLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(format, args);
  va_end(args);
  WriteRaw("\r\n", 2);
  LeaveCriticalSection(&lock);
}

void InstallLog::Write(const char* format, va_list args) {
  std::string text;
  FormatInstallLog(text, format, args);
  WriteRaw(text.data(), text.size());
}

void InstallLog::WriteRaw(const void* bytes, std::size_t count) {
  if (file_ != nullptr && count > 0) std::fwrite(bytes, 1, count, file_);
}

void InstallLog::Open() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  OpenFile(InstallLogFileName(InstallLogFolder(), ModuleFileName(), now));
}

void InstallLog::OpenFile(const std::wstring& path) {
  file_ = _wfopen(path.c_str(), L"w+bcS");
  if (file_ == nullptr) return;
  std::setvbuf(file_, nullptr, _IONBF, 0);
  WriteRaw(kOpenBanner, sizeof kOpenBanner - 1);
}

void InstallLog::Close() {
  if (file_ == nullptr) return;
  WriteRaw(kCloseBanner, sizeof kCloseBanner - 1);
  std::fclose(file_);
  file_ = nullptr;
}

InstallLog& InstallLogInstance() {
  // Made on the first line and never destroyed: Close runs at exit, and a
  // line written after that finds no file.
  if (instance == nullptr) {
    instance = new InstallLog;
    instance->Open();
    std::atexit(&CloseInstanceAtExit);
  }
  EnterCriticalSection(&instance->lock);
  return *instance;
}

const std::wstring& InstallLogFolder() {
  static const std::wstring folder = [] {
    wchar_t path[MAX_PATH + 1] = {};
    std::wstring result;
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path))) {
      result = path;
    } else if (DWORD n = GetTempPathW(MAX_PATH, path); n > 0 && n <= MAX_PATH) {
      result.assign(path, n);
    } else {
      result = L"C:\\";
    }
    if (result.empty() || result.back() != L'\\') result += L'\\';
    for (std::uint32_t number : {kMakerMessage, kProductMessage}) {
      if (const char16_t* text = CatalogText(number))
        result += reinterpret_cast<const wchar_t*>(text);
      result += L'\\';
    }
    return result;
  }();
  return folder;
}

std::wstring InstallLogFileName(const std::wstring& folder, const std::wstring& moduleName,
                                const SYSTEMTIME& t) {
  wchar_t stamp[64];
  _snwprintf(stamp, 64, L"_%d-%d-%d_%d-%d-%d.log", t.wDay, t.wMonth, t.wYear, t.wHour,
             t.wMinute, t.wSecond);
  stamp[63] = L'\0';
  return folder + moduleName + stamp;
}

void LogProcedureStart(InstallLog& log, const char* sourceFile, int line, const SYSTEMTIME& now,
                       const char* procedure, const InstallLogParameter* parameters,
                       std::size_t count) {
  EnterCriticalSection(&log.lock);
  log.PrintLine(" ");
  EnterCriticalSection(&log.lock);
  log.Print("%hs(%d) : ", sourceFile, line);
  log.Print("[%d:%d:%d] ", now.wHour, now.wMinute, now.wSecond);
  log.PrintLine(" Procedure Started: \"%s\"", procedure);
  if (count > 0) WriteParameters(log, parameters, count);
}

void LogProcedureEnd(InstallLog& log, const char* procedure, unsigned result,
                     const wchar_t* wideResult, const InstallLogParameter* outputs,
                     std::size_t count) {
  EnterCriticalSection(&log.lock);
  if (wideResult != nullptr)
    log.PrintLine(" Procedure \"%s\" was returned with value %ls", procedure, wideResult);
  else
    log.PrintLine(" Procedure \"%s\" was returned with value %u", procedure, result);
  if (count > 0) WriteParameters(log, outputs, count);
  EnterCriticalSection(&log.lock);
  log.PrintLine(" ");
}
