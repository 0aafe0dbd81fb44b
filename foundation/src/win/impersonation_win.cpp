// Stepping out of the thread's impersonation and back into it.
#include <windows.h>

#include "common/error.h"
#include "foundation/registry_security.h"
#include "foundation/trace.h"

namespace Common {

namespace {

// Location ids of this file's error sites.
constexpr std::uint32_t kLocOpenThreadToken = 0x05040001;
constexpr std::uint32_t kLocRevertInConstructor = 0x05040002;
constexpr std::uint32_t kLocRestoreAfterFailure = 0x05040003;
constexpr std::uint32_t kLocImpersonate = 0x05040004;
constexpr std::uint32_t kLocRevertInDestructor = 0x05040005;
constexpr std::uint32_t kLocRestoreInDestructor = 0x05040006;

// The error of a failed Win32 call: the code with the last error as cause,
// already traced (level 1).
Error TracedWin32Error(std::uint32_t location, std::uint32_t code, DWORD win32Code) {
  Error error(location, kImpersonationModuleId, code);
  AttachWin32Cause(error, win32Code);
  TraceError(1, error);
  return error;
}

}  // namespace

HANDLE OpenThreadTokenOrNull(DWORD access) {
  HANDLE token = nullptr;
  if (OpenThreadToken(GetCurrentThread(), access, TRUE, &token)) return token;
  const DWORD error = GetLastError();
  if (error == ERROR_NO_TOKEN) return nullptr;
  throw TracedWin32Error(kLocOpenThreadToken, kOpenThreadTokenFailed, error);
}

ImpersonationGuard::ImpersonationGuard(HANDLE token, DWORD access)
    : saved_(OpenThreadTokenOrNull(access)) {
  if (!RevertToSelf()) {
    const DWORD error = GetLastError();
    if (saved_) CloseHandle(saved_);
    throw TracedWin32Error(kLocRevertInConstructor, kRevertToSelfFailed, error);
  }
  if (token && !ImpersonateLoggedOnUser(token)) {
    const DWORD error = GetLastError();
    if (saved_) {
      if (!ImpersonateLoggedOnUser(saved_))
        TracedWin32Error(kLocRestoreAfterFailure, kImpersonationFailed, GetLastError());
      CloseHandle(saved_);
    }
    throw TracedWin32Error(kLocImpersonate, kImpersonationFailed, error);
  }
}

ImpersonationGuard::~ImpersonationGuard() {
  if (!RevertToSelf())
    TracedWin32Error(kLocRevertInDestructor, kRevertToSelfFailed, GetLastError());
  if (saved_) {
    if (!ImpersonateLoggedOnUser(saved_))
      TracedWin32Error(kLocRestoreInDestructor, kImpersonationFailed, GetLastError());
    CloseHandle(saved_);
  }
}

}  // namespace Common
