// Impersonating the file layer's token around one network path operation.
#include "files/win/helpers.h"

ImpersonationScope::ImpersonationScope(bool impersonate) noexcept {
  if (!impersonate) return;
  const std::uint32_t token = ImpersonationToken.Get();
  if (token == 0) return;
  active_ = true;
  HANDLE own = nullptr;
  if (OpenThreadToken(GetCurrentThread(), TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY,
                      TRUE, &own) && own) {
    saved_ = own;
  } else {
    saved_ = INVALID_HANDLE_VALUE;  // nothing to go back to
  }
  RevertToSelf();
  ImpersonateLoggedOnUser(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(token)));
}

ImpersonationScope::~ImpersonationScope() {
  if (!active_) return;
  // The operation's error may still be read after the scope has ended.
  LastErrorKeeper keep;
  RevertToSelf();
  if (saved_ != INVALID_HANDLE_VALUE) {
    ImpersonateLoggedOnUser(saved_);
    CloseHandle(saved_);
  }
}
