// kardnt.dll: the installer helper library that the clean-up tool loads into
// its own process. Its one export, UninstallDriver, uninstalls what a
// removal .inf describes.
#include <windows.h>

#include <cstdio>
#include <string>

#include "uninstall_inf.h"

// (device description as ANSI text or null, instance number, .inf path,
// log flag); the callee removes its arguments from the stack. Returns 0, 3010
// when a restart finishes the work, or a Win32 error.
extern "C" __declspec(dllexport) DWORD __stdcall UninstallDriver(const char* description,
                                                                 WORD instance,
                                                                 const wchar_t* infPath,
                                                                 BOOL log) {
  DWORD result = Standin::FailureRequested(infPath)
                     ? ERROR_GEN_FAILURE
                     : Standin::UninstallWithInf(infPath, description, instance, log != FALSE);
  wchar_t head[64];
  std::swprintf(head, 64, L"UninstallDriver instance=%u log=%d descr=", instance, log ? 1 : 0);
  std::wstring call = head;
  if (description == nullptr) {
    call += L"(null)";
  } else {
    for (const char* p = description; *p; ++p) call += static_cast<wchar_t>(static_cast<unsigned char>(*p));
  }
  call += L" inf=";
  call += infPath ? infPath : L"(null)";
  Standin::RecordCall(L"kardnt.dll", call, infPath, result);
  return result;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
