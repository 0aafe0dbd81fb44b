/* cpl_keysec.exe: sets and shows the owner and access list of a registry key
 * with Windows' own security calls, for laying out keys whose security the
 * products changed and for checking afterwards that a run left it as it was.
 *
 *   cpl_keysec set  VIEW SDDL KEY   owner and DACL from the SDDL text
 *   cpl_keysec show VIEW KEY        "owner=HEX dacl=HEX sddl=TEXT"
 *
 * VIEW is 64 or 32; KEY begins with HKLM\ or HKEY_LOCAL_MACHINE\ (or the
 * HKCU, HKCR forms). "set" first makes the current user the owner (which
 * needs WRITE_OWNER), so that it can also rewrite a key that a previous
 * "set" locked. Exit code 0 on success, 1 on failure, 2 for bad usage. */
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <wchar.h>

static HKEY root_of(const wchar_t* key, const wchar_t** rest) {
  static const struct { const wchar_t* name; HKEY root; } roots[] = {
      {L"HKLM\\", HKEY_LOCAL_MACHINE}, {L"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
      {L"HKCU\\", HKEY_CURRENT_USER},  {L"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER},
      {L"HKCR\\", HKEY_CLASSES_ROOT},  {L"HKEY_CLASSES_ROOT\\", HKEY_CLASSES_ROOT},
  };
  for (size_t i = 0; i < sizeof(roots) / sizeof(roots[0]); ++i) {
    size_t n = wcslen(roots[i].name);
    if (_wcsnicmp(key, roots[i].name, n) == 0) {
      *rest = key + n;
      return roots[i].root;
    }
  }
  return NULL;
}

static void hex(const BYTE* bytes, DWORD size) {
  for (DWORD i = 0; i < size; ++i) wprintf(L"%02x", bytes[i]);
}

static int show(HKEY root, const wchar_t* path, REGSAM view) {
  HKEY key;
  LONG rc = RegOpenKeyExW(root, path, 0, READ_CONTROL | view, &key);
  if (rc != ERROR_SUCCESS) {
    fwprintf(stderr, L"open failed: %ld\n", rc);
    return 1;
  }
  PSID owner = NULL;
  PACL dacl = NULL;
  PSECURITY_DESCRIPTOR sd = NULL;
  rc = (LONG)GetSecurityInfo(key, SE_REGISTRY_KEY,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                             NULL, &dacl, NULL, &sd);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    fwprintf(stderr, L"GetSecurityInfo failed: %ld\n", rc);
    return 1;
  }
  wprintf(L"owner=");
  hex((const BYTE*)owner, GetLengthSid(owner));
  wprintf(L" dacl=");
  if (dacl) hex((const BYTE*)dacl, dacl->AclSize);
  LPWSTR text = NULL;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
          NULL)) {
    wprintf(L" sddl=%ls", text);
    LocalFree(text);
  }
  wprintf(L"\n");
  LocalFree(sd);
  return 0;
}

static int set(HKEY root, const wchar_t* path, REGSAM view, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = NULL;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, NULL)) {
    fwprintf(stderr, L"bad SDDL: %lu\n", GetLastError());
    return 1;
  }
  HKEY key;
  /* Become the owner first: an owner may always rewrite the access list. */
  if (RegOpenKeyExW(root, path, 0, WRITE_OWNER | view, &key) == ERROR_SUCCESS) {
    HANDLE token;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      BYTE buffer[256];
      DWORD size;
      if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        SetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION,
                        ((TOKEN_USER*)buffer)->User.Sid, NULL, NULL, NULL);
      CloseHandle(token);
    }
    RegCloseKey(key);
  }
  LONG rc = RegOpenKeyExW(root, path, 0, WRITE_DAC | WRITE_OWNER | view, &key);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd);
    RegCloseKey(key);
  }
  LocalFree(sd);
  if (rc != ERROR_SUCCESS) {
    fwprintf(stderr, L"setting the security failed: %ld\n", rc);
    return 1;
  }
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  REGSAM view;
  if (wcscmp(argv[2], L"64") == 0)
    view = KEY_WOW64_64KEY;
  else if (wcscmp(argv[2], L"32") == 0)
    view = KEY_WOW64_32KEY;
  else
    return 2;
  const wchar_t* path = NULL;
  if (wcscmp(argv[1], L"show") == 0 && argc == 4) {
    HKEY root = root_of(argv[3], &path);
    return root ? show(root, path, view) : 2;
  }
  if (wcscmp(argv[1], L"set") == 0 && argc == 5) {
    HKEY root = root_of(argv[4], &path);
    return root ? set(root, path, view, argv[3]) : 2;
  }
  return 2;
}
