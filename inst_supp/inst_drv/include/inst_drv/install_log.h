// The driver-uninstall helper's install log: one plain-text file per process
// in "<common application data>\<maker>\<product>\" (catalog messages 49 and
// 1842), named after the module with the local date and time. The folder is
// never created: without it nothing is written. The log has its own printf,
// which knows "%e" (a Win32 error code with the system's text).
//
// InstallLogInstance() enters the log's lock and PrintLine() leaves it, so a
// caller that starts a line must finish it with PrintLine.
//
// Windows-only header.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <string>

class InstallLog {
 public:
  InstallLog() { InitializeCriticalSection(&lock); }
  InstallLog(const InstallLog&) = delete;
  InstallLog& operator=(const InstallLog&) = delete;

  // Formats into the file, no line end.
  void Print(const char* format, ...);
  // Formats into the file, then CR LF, then leaves the lock.
  void PrintLine(const char* format, ...);
  void Write(const char* format, va_list args);
  void WriteRaw(const void* bytes, std::size_t count);

  // Opens the file named by InstallLogFileName (create or truncate,
  // unbuffered) and writes the opening banner; without a file every later
  // write does nothing.
  void Open();
  // The same with the file name given.
  void OpenFile(const std::wstring& path);
  // Writes the closing banner and closes the file.
  void Close();

  bool is_open() const noexcept { return file_ != nullptr; }

  CRITICAL_SECTION lock;

 private:
  std::FILE* file_ = nullptr;
};

// Opens the log on the first call (and arranges Close at exit); enters the
// lock and returns the log. The lock must exist before a line is started:
// InstallLogInstance creates it, and so does InstallLog's constructor.
InstallLog& InstallLogInstance();

// The log's formatter into `out` (appended): %s %hs (ANSI, null prints
// 'null'), %S %ls (UTF-16 to the ANSI code page), %d %hd %u %hu %x %I64d
// %I64u %c, and %e. Any other character after '%' is dropped with the '%'.
void FormatInstallLog(std::string& out, const char* format, va_list args);

// "'<system text>' - [0x<code>]", or "[0x<code>]" when the system has no
// text for the code.
std::string DescribeWin32Error(DWORD code);

// "<common app data>\<message 49>\<message 1842>\", with the temporary
// folder and then "C:\" standing in when the folder cannot be had. Computed
// once per process.
const std::wstring& InstallLogFolder();

// The loaded module with the highest base not above `address` (the module
// that holds it), found by listing the process's modules: through psapi's
// EnumProcessModules on the NT family, through the toolhelp snapshot
// functions of Kernel32 on Windows 9x (or when `useToolhelp` asks for them);
// null when the list cannot be had.
HMODULE ModuleHolding(std::uintptr_t address, bool useToolhelp);

// folder + module file name + "_D-M-YYYY_h-m-s.log" (no leading zeros).
std::wstring InstallLogFileName(const std::wstring& folder, const std::wstring& moduleName,
                                const SYSTEMTIME& localTime);

// The blocks that a logged procedure writes (lines start with one blank);
// each line takes the log's lock for itself.
// Parameters: "  %s = %s", "  %s = %ls", "  %s = %u", "  %s = %hd".
struct InstallLogParameter {
  enum Kind { kText, kWideText, kUnsigned, kShort } kind;
  const char* name;
  const char* text;
  const wchar_t* wideText;
  unsigned number;
  short shortNumber;

  static InstallLogParameter Text(const char* n, const char* v) { return {kText, n, v, nullptr, 0, 0}; }
  static InstallLogParameter Wide(const char* n, const wchar_t* v) { return {kWideText, n, nullptr, v, 0, 0}; }
  static InstallLogParameter Unsigned(const char* n, unsigned v) { return {kUnsigned, n, nullptr, nullptr, v, 0}; }
  static InstallLogParameter Short(const char* n, short v) { return {kShort, n, nullptr, nullptr, 0, v}; }
};

void LogProcedureStart(InstallLog& log, const char* sourceFile, int line, const SYSTEMTIME& now,
                       const char* procedure, const InstallLogParameter* parameters,
                       std::size_t count);
// `wideResult` non-null: the result is that text (%ls) instead of `result`.
void LogProcedureEnd(InstallLog& log, const char* procedure, unsigned result,
                     const wchar_t* wideResult, const InstallLogParameter* outputs,
                     std::size_t count);
