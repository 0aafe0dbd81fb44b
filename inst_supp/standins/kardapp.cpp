// kardapp.exe: the installer helper program. A window-less program started
// with
//   /uninstall: [/descr:"<description>" ]/instance:<n> /inf-name:"<.inf path>" [ /log]
// that uninstalls what the removal .inf describes and ends with 0, 3010 when
// a restart finishes the work, or a Win32 error (87 for a command line it
// cannot read).
#include <windows.h>

#include <cwchar>
#include <string>

#include "uninstall_inf.h"

namespace {

// The text after the program name (which may be quoted).
const wchar_t* Parameters(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line && *line != L'"') ++line;
    if (*line) ++line;
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

// The quoted text after `key`, or false when the key or its quotes are missing.
bool Quoted(const std::wstring& text, const wchar_t* key, std::wstring& value, std::size_t& end) {
  std::size_t at = text.find(key);
  if (at == std::wstring::npos) return false;
  at += std::wcslen(key);
  if (at >= text.size() || text[at] != L'"') return false;
  std::size_t close = text.find(L'"', at + 1);
  if (close == std::wstring::npos) return false;
  value = text.substr(at + 1, close - at - 1);
  end = close + 1;
  return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  const std::wstring parameters = Parameters(GetCommandLineW());
  std::wstring inf, description;
  std::size_t end = 0, ignored = 0;
  bool hasDescription = false;
  unsigned instance = 0;
  bool log = false;
  DWORD result = ERROR_INVALID_PARAMETER;

  bool valid = parameters.compare(0, 11, L"/uninstall:") == 0 &&
               Quoted(parameters, L"/inf-name:", inf, end);
  if (valid) {
    hasDescription = Quoted(parameters, L"/descr:", description, ignored);
    std::size_t at = parameters.find(L"/instance:");
    if (at == std::wstring::npos) {
      valid = false;
    } else {
      instance = static_cast<unsigned>(std::wcstoul(parameters.c_str() + at + 10, nullptr, 10));
    }
    log = parameters.find(L"/log", end) != std::wstring::npos;
  }
  if (valid) {
    std::string ansi;
    for (wchar_t c : description) ansi += static_cast<char>(c);
    result = Standin::FailureRequested(inf.c_str())
                 ? ERROR_GEN_FAILURE
                 : Standin::UninstallWithInf(inf.c_str(), hasDescription ? ansi.c_str() : nullptr,
                                             instance, log);
  }
  Standin::RecordCall(L"kardapp.exe", L"args=" + parameters, valid ? inf.c_str() : nullptr,
                      result);
  return static_cast<int>(result);
}
