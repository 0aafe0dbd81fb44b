// Starting a command with its output discarded, for Windows tests and
// benchmarks that ask Wine's own tools (reg.exe, cmd.exe) for their verdict.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Runs a command line with its output discarded; its exit code, or -1 when
// it did not start.
inline long RunQuietly(const std::wstring& command) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                           nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(L'\0');
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, L"C:\\", &startup, &process);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) return -1;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return long(code);
}
