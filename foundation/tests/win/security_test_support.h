// Helpers of the registry, privilege and security tests. They read and
// change the token and the registry with the Win32 calls themselves, never
// through the helpers under test, so that those are judged by the system.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_quietly.h"

namespace security_test {

inline const char16_t* U(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
inline const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline std::u16string U16(const std::wstring& text) { return std::u16string(U(text.c_str())); }

// The attributes of a privilege in the token (null: the thread's, else the
// process's), or -1 when the token does not hold it.
inline long PrivilegeAttributes(const char* name, HANDLE token = nullptr) {
  HANDLE opened = nullptr;
  if (!token) {
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &opened) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))
      return -2;
    token = opened;
  }
  LUID luid;
  long result = -1;
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size ? size : 1);
  if (LookupPrivilegeValueA(nullptr, name, &luid) &&
      GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      const LUID& held = privileges->Privileges[i].Luid;
      if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart)
        result = long(privileges->Privileges[i].Attributes);
    }
  } else {
    result = -2;
  }
  if (opened) CloseHandle(opened);
  return result;
}

inline bool PrivilegeEnabled(const char* name) {
  const long attributes = PrivilegeAttributes(name);
  return attributes >= 0 && (attributes & SE_PRIVILEGE_ENABLED) != 0;
}

// Sets a privilege of the process token with AdjustTokenPrivileges itself.
inline void ForcePrivilege(const char* name, bool enable) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               &token));
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  ASSERT_TRUE(LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid));
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr,
                                    nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)) << name;
  CloseHandle(token);
}

// Puts the listed privileges of the process token back as they were when
// the object was made.
class PrivilegeStateKeeper {
 public:
  explicit PrivilegeStateKeeper(std::vector<const char*> names) : names_(std::move(names)) {
    for (const char* name : names_) enabled_.push_back(PrivilegeEnabled(name));
  }
  ~PrivilegeStateKeeper() {
    for (std::size_t i = 0; i < names_.size(); ++i)
      if (PrivilegeEnabled(names_[i]) != enabled_[i]) ForcePrivilege(names_[i], enabled_[i]);
  }

 private:
  std::vector<const char*> names_;
  std::vector<bool> enabled_;
};

// A primary token like the process's without the named privileges.
inline HANDLE TokenWithout(std::vector<const char*> privilegeNames) {
  HANDLE process = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process)) return nullptr;
  std::vector<LUID_AND_ATTRIBUTES> remove(privilegeNames.size());
  for (std::size_t i = 0; i < privilegeNames.size(); ++i)
    LookupPrivilegeValueA(nullptr, privilegeNames[i], &remove[i].Luid);
  HANDLE restricted = nullptr;
  if (!CreateRestrictedToken(process, 0, 0, nullptr, DWORD(remove.size()), remove.data(), 0,
                             nullptr, &restricted))
    restricted = nullptr;
  CloseHandle(process);
  return restricted;
}

// The user SID of the process token, as a copy.
inline std::vector<BYTE> ProcessUserSid() {
  HANDLE token = nullptr;
  std::vector<BYTE> sid;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size ? size : 1);
  if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + GetLengthSid(user));
  }
  CloseHandle(token);
  return sid;
}

// The access list holds exactly one entry: the process's user allowed
// KEY_ALL_ACCESS, inherited by subkeys (what DeleteRegistryTree writes).
inline void ExpectOnlyUserFullAccess(PACL dacl) {
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 1);
  ACCESS_ALLOWED_ACE* ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
  EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(ace->Header.AceFlags, CONTAINER_INHERIT_ACE);
  EXPECT_EQ(ace->Mask, DWORD(KEY_ALL_ACCESS));
  std::vector<BYTE> user = ProcessUserSid();
  EXPECT_TRUE(EqualSid(&ace->SidStart, user.data()));
}

// Whether Wine's reg.exe finds the key (for example
// L"HKLM\\Software\\X") in the view ("32" or "64").
inline bool RegQueryFinds(const std::wstring& key, const wchar_t* view) {
  return RunQuietly(L"reg.exe query \"" + key + L"\" /reg:" + view) == 0;
}

// Creates a key (and the keys above it) in a view.
inline bool CreateKey(HKEY root, const std::wstring& path, REGSAM view) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

inline bool KeyExists(HKEY root, const std::wstring& path, REGSAM view) {
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return rc != ERROR_FILE_NOT_FOUND;
}

// Removes a key tree with RegDeleteKeyExW, depth first (test clean-up).
inline void WipeKey(HKEY root, const std::wstring& path, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | view, &key) ==
      ERROR_SUCCESS) {
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
      DWORD units = 256;
      if (RegEnumKeyExW(key, i, name, &units, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      names.emplace_back(name, units);
    }
    RegCloseKey(key);
    for (const std::wstring& n : names) WipeKey(root, path + L"\\" + n, view);
  }
  RegDeleteKeyExW(root, path.c_str(), view, 0);
}

}  // namespace security_test
