// The thread or process token, its information and its privileges.
#include <windows.h>

#include <new>

#include "foundation/registry_security.h"
#include "security_internal.h"

namespace Common {

namespace SecurityInternal {

TokenOrCurrent::TokenOrCurrent(HANDLE token, DWORD access) {
  if (token) {
    token_ = token;
    return;
  }
  opened_.Reset(OpenThreadOrProcessToken(access, true));
  if (opened_.Valid()) token_ = opened_.Get();
}

}  // namespace SecurityInternal

using SecurityInternal::TokenOrCurrent;

namespace {

bool LookupPrivilege(const char* name, LUID& luid) {
  return LookupPrivilegeValueA(nullptr, name, &luid) != FALSE;
}

}  // namespace

HANDLE OpenThreadOrProcessToken(DWORD access, bool openAsSelf) {
  HANDLE token = nullptr;
  if (OpenThreadToken(GetCurrentThread(), access, openAsSelf ? TRUE : FALSE, &token))
    return token;
  if (GetLastError() == ERROR_NO_TOKEN &&
      OpenProcessToken(GetCurrentProcess(), access, &token))
    return token;
  return INVALID_HANDLE_VALUE;
}

TokenInformation GetTokenInformationBuffer(TOKEN_INFORMATION_CLASS cls, HANDLE token) {
  TokenOrCurrent current(token, TOKEN_QUERY);
  if (!current.Get()) return nullptr;
  DWORD size = 0;
  if (!GetTokenInformation(current.Get(), cls, nullptr, 0, &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return nullptr;
    SetLastError(ERROR_SUCCESS);
  }
  TokenInformation buffer(new (std::nothrow) BYTE[size ? size : 1]);
  if (!buffer) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!GetTokenInformation(current.Get(), cls, buffer.get(), size, &size)) return nullptr;
  return buffer;
}

bool SetPrivilege(const char* name, HANDLE token, bool enable) {
  TokenOrCurrent current(token, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
  if (!current.Get()) return false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  if (!LookupPrivilege(name, privileges.Privileges[0].Luid)) return false;
  if (!AdjustTokenPrivileges(current.Get(), FALSE, &privileges, sizeof privileges, nullptr,
                             nullptr))
    return false;
  // Success with ERROR_NOT_ALL_ASSIGNED: the token lacks the privilege.
  return GetLastError() == ERROR_SUCCESS;
}

bool TokenHasPrivilege(const char* name, HANDLE token, bool* tokenRead) {
  if (tokenRead) *tokenRead = false;
  TokenInformation info = GetTokenInformationBuffer(TokenPrivileges, token);
  if (!info) return false;
  if (tokenRead) *tokenRead = true;
  LUID luid;
  if (!LookupPrivilege(name, luid)) return false;
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(info.get());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID& held = privileges->Privileges[i].Luid;
    if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart) return true;
  }
  return false;
}

PrivilegeScope::PrivilegeScope(const char* name) {
  HANDLE token = OpenThreadOrProcessToken(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, true);
  if (token == INVALID_HANDLE_VALUE) return;
  token_ = token;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilege(name, privileges.Privileges[0].Luid)) return;
  // The system reports in previous_ only what it changed: nothing when the
  // privilege was enabled already.
  DWORD size = sizeof previous_;
  if (AdjustTokenPrivileges(token_, FALSE, &privileges, sizeof privileges, &previous_, &size) &&
      GetLastError() == ERROR_SUCCESS) {
    enabled_ = true;
  } else {
    previous_.PrivilegeCount = 0;
  }
}

PrivilegeScope::~PrivilegeScope() {
  if (!token_) return;
  const DWORD error = GetLastError();
  if (previous_.PrivilegeCount != 0)
    AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
  CloseHandle(token_);
  SetLastError(error);
}

}  // namespace Common
