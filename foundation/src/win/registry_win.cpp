// WOW64 detection, native system information and registry key deletion in a
// chosen registry view, including whole trees whose owner or access list
// stands in the way.
#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

#include "foundation/registry_security.h"
#include "security_internal.h"
#include "windows/layer.h"

namespace Common {

using SecurityInternal::IsWindows9x;
using SecurityInternal::ScopedKey;

namespace {

const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

// Looked up once; kernel32 is always loaded.
IsWow64ProcessFn BoundIsWow64Process() {
  static const IsWow64ProcessFn fn = reinterpret_cast<IsWow64ProcessFn>(
      reinterpret_cast<void*>(OptionalApi::Lookup("kernel32", "IsWow64Process")));
  return fn;
}

// Makes the current user the key's owner, with SeTakeOwnershipPrivilege
// enabled for this step only (its previous state comes back on every path).
// Failures are left to the steps after it.
void TakeKeyOwnership(HKEY root, const char16_t* path, REGSAM view) {
  PrivilegeScope takeOwnership("SeTakeOwnershipPrivilege");
  ScopedKey key;
  if (WindowsLayerInstance->RegOpenKeyExW(root, W(path), 0, view | WRITE_OWNER,
                                          key.Receive()) != ERROR_SUCCESS)
    return;
  TokenInformation user = GetTokenInformationBuffer(TokenUser);
  if (!user) return;
  SetSecurityInfo(key.Get(), SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION,
                  reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, nullptr, nullptr,
                  nullptr);
}

// Replaces the key's DACL with one entry granting the current user full
// access (inherited by subkeys created later). Returns the open's code.
LONG GrantCurrentUserFullAccess(HKEY root, const char16_t* path, REGSAM view) {
  ScopedKey key;
  LONG rc = WindowsLayerInstance->RegOpenKeyExW(root, W(path), 0, view | WRITE_DAC,
                                                key.Receive());
  if (rc != ERROR_SUCCESS) return rc;
  AclSecurityAttributes acl(kCurrentUserTrustee, KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE);
  if (acl.ErrorCode() == 0)
    RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, acl.Descriptor());
  return ERROR_SUCCESS;
}

// Deletes every subkey tree of the key, each tried once: the names are
// collected first, so a subkey that cannot be deleted neither stops the
// others nor is tried again without end. Returns the open's code.
LONG DeleteSubkeyTrees(HKEY root, const char16_t* path, REGSAM view) {
  ScopedKey key;
  LONG rc = WindowsLayerInstance->RegOpenKeyExW(
      root, W(path), 0, view | DELETE | KEY_ENUMERATE_SUB_KEYS, key.Receive());
  if (rc != ERROR_SUCCESS) return rc;

  std::vector<std::u16string> names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD units = 256;
    rc = WindowsLayerInstance->RegEnumKeyExW(key.Get(), index, name, &units, nullptr, nullptr,
                                             nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;  // e.g. a name longer than the buffer
    names.emplace_back(reinterpret_cast<const char16_t*>(name), units);
  }
  for (const std::u16string& name : names) DeleteRegistryTree(key.Get(), name.c_str(), view);
  return ERROR_SUCCESS;
}

}  // namespace

bool IsWow64() {
  IsWow64ProcessFn isWow64Process = BoundIsWow64Process();
  BOOL wow64 = FALSE;
  if (!isWow64Process || !isWow64Process(GetCurrentProcess(), &wow64)) return false;
  return wow64 != FALSE;
}

void GetSystemInfoNative(SYSTEM_INFO& out, bool preferNative) {
  if (preferNative)
    WindowsLayerInstance->GetNativeSystemInfo(&out);  // GetSystemInfo when missing
  else
    GetSystemInfo(&out);
}

LONG DeleteRegistryKeyView(HKEY root, const char16_t* path, REGSAM view) {
  return WindowsLayerInstance->RegDeleteKeyExW(root, W(path), view, 0);
}

LONG DeleteRegistryTree(HKEY root, const char16_t* path, REGSAM view) {
  // Windows 9x deletes a whole tree by itself.
  if (IsWindows9x()) return WindowsLayerInstance->RegDeleteKeyW(root, W(path));

  LONG rc = DeleteRegistryKeyView(root, path, view);
  if (rc == ERROR_SUCCESS) return 0;
  if (rc == ERROR_FILE_NOT_FOUND) return rc;  // nothing there to take over

  TakeKeyOwnership(root, path, view);
  rc = GrantCurrentUserFullAccess(root, path, view);
  if (rc != ERROR_SUCCESS) return rc;
  if (DeleteRegistryKeyView(root, path, view) == ERROR_SUCCESS) return 0;

  rc = DeleteSubkeyTrees(root, path, view);
  if (rc != ERROR_SUCCESS) return rc;
  return DeleteRegistryKeyView(root, path, view);
}

}  // namespace Common
