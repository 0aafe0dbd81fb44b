// The Windows build's cryptographic provider: CryptoAPI's default provider,
// bound at run time from advapi32.dll (Windows versions without it fall back
// to the pseudo-random generator).
#include <windows.h>
#include <wincrypt.h>

#include "../random_internal.h"

namespace Common {
namespace RandomInternal {

namespace {

using CryptAcquireContextAFn = BOOL(WINAPI*)(HCRYPTPROV*, LPCSTR, LPCSTR, DWORD, DWORD);
using CryptGenRandomFn = BOOL(WINAPI*)(HCRYPTPROV, DWORD, BYTE*);

CryptGenRandomFn g_genRandom = nullptr;
HCRYPTPROV g_provider = 0;

template <class Fn>
Fn BindFunction(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Runs its scope in the process's own security context: the thread's
// impersonation token, if any, is put aside and restored at the end, so that
// the provider is acquired for the process and not for a client.
class ProcessSecurityContext {
 public:
  ProcessSecurityContext() {
    if (!OpenThreadToken(GetCurrentThread(), MAXIMUM_ALLOWED, TRUE, &saved_)) saved_ = nullptr;
    RevertToSelf();
  }
  ~ProcessSecurityContext() {
    RevertToSelf();
    if (saved_) {
      ImpersonateLoggedOnUser(saved_);
      CloseHandle(saved_);
    }
  }
  ProcessSecurityContext(const ProcessSecurityContext&) = delete;
  ProcessSecurityContext& operator=(const ProcessSecurityContext&) = delete;

 private:
  HANDLE saved_ = nullptr;
};

}  // namespace

bool OpenProvider() {
  ProcessSecurityContext context;
  HMODULE advapi = LoadLibraryA("advapi32.dll");
  if (!advapi) return false;
  auto acquire = BindFunction<CryptAcquireContextAFn>(advapi, "CryptAcquireContextA");
  auto genRandom = BindFunction<CryptGenRandomFn>(advapi, "CryptGenRandom");
  HCRYPTPROV provider = 0;
  if (acquire && genRandom &&
      acquire(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    g_provider = provider;
    g_genRandom = genRandom;
    return true;  // the library stays loaded with the provider
  }
  FreeLibrary(advapi);
  return false;
}

bool ProviderFill(void* buffer, std::size_t length) {
  BYTE* out = static_cast<BYTE*>(buffer);
  do {  // CryptGenRandom takes a 32-bit length
    const DWORD chunk = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(length);
    if (!g_genRandom(g_provider, chunk, out)) return false;
    out += chunk;
    length -= chunk;
  } while (length > 0);
  return true;
}

}  // namespace RandomInternal
}  // namespace Common
