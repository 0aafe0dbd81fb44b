// Reading and writing an entry's security descriptor parts.
#include <windows.h>

#include <cstring>
#include <new>

#include "files/security_descriptor_set.h"
#include "files/win/helpers.h"

namespace {

using GetFileSecurityWFn = BOOL(WINAPI*)(LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR,
                                         DWORD, LPDWORD);
using SetFileSecurityWFn = BOOL(WINAPI*)(LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);

// Bound on the first construction of a set; either may stay null. Written
// without a lock: every thread that races here stores the same values.
GetFileSecurityWFn g_getFileSecurity = nullptr;
SetFileSecurityWFn g_setFileSecurity = nullptr;
bool g_bound = false;

}  // namespace

void SecurityDescriptorSet::BindSystemFunctions() noexcept {
  if (g_bound) return;
  g_getFileSecurity = LookupSystemFunction<GetFileSecurityWFn>("advapi32", "GetFileSecurityW");
  g_setFileSecurity = LookupSystemFunction<SetFileSecurityWFn>("advapi32", "SetFileSecurityW");
  g_bound = true;
}

bool SecurityDescriptorSet::Read(const char16_t* path) {
  if (!g_getFileSecurity) return false;
  const auto* name = reinterpret_cast<LPCWSTR>(path);
  for (Part& part : parts_) {
    part.bytes.reset();
    part.size = 0;
    DWORD needed = 0;
    if (g_getFileSecurity(name, part.flag, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
      continue;
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[needed]);
    if (!buffer) continue;
    std::memset(buffer.get(), 0, needed);
    DWORD second = 0;
    if (!g_getFileSecurity(name, part.flag, buffer.get(), needed, &second)) continue;
    // What the set holds must survive its own serialized form's checks.
    if (!WellFormedDescriptor(buffer.get(), needed)) continue;
    part.bytes = std::move(buffer);
    part.size = needed;
  }
  return true;
}

bool SecurityDescriptorSet::Write(const char16_t* path) const {
  if (!g_setFileSecurity) return false;
  const auto* name = reinterpret_cast<LPCWSTR>(path);
  for (const Part& part : parts_) {
    if (part.size == 0) continue;
    g_setFileSecurity(name, part.flag, part.bytes.get());
  }
  return true;
}
