// What both installer helpers do: run the default installation section of a
// removal .inf (delete the registry entries, files and services it lists)
// and answer as the clean-up tool expects. SetupAPI reads the .inf, picks
// the section for the platform and deletes the files; the "DelReg" and
// "DelService" lines it reads are carried out here, since Wine's SetupAPI
// damages multi-string values and deletes only a section's first service.
//
// Test hooks, read from the environment and never needed by the tool:
//   PURGEKIT_STANDIN_RECORD  a file (Windows path) to which every call appends
//                            one line: how the helper was called, the services
//                            the .inf deletes, and the result;
//   PURGEKIT_STANDIN_FAIL    a .inf file name (letter case ignored); a call for
//                            that .inf fails with ERROR_GEN_FAILURE at once.
#pragma once

#include <windows.h>

#include <string>

namespace Standin {

// Uninstalls what the .inf's default section describes. Returns 0,
// ERROR_SUCCESS_REBOOT_REQUIRED (3010) when something is only removed at the
// next start (a file in use, queued for deletion then; a service left marked
// for deletion because it still runs or is held open), or the Win32 error
// that stopped it. With `log`, appends the call, the steps and the result to
// "%TEMP%\kard_uninstall.log"; without it, writes no log.
DWORD UninstallWithInf(const wchar_t* infPath, const char* description, unsigned instance,
                       bool log);

// One line for the record file, when PURGEKIT_STANDIN_RECORD names one:
// "<who> process=<program file> <call> services=<names> result=<n>".
void RecordCall(const wchar_t* who, const std::wstring& call, const wchar_t* infPath,
                DWORD result);

// True when PURGEKIT_STANDIN_FAIL names this .inf.
bool FailureRequested(const wchar_t* infPath);

}  // namespace Standin
