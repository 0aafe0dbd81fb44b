// The shell functions the namespace binds, and the all-users folder that
// stands in when the system cannot name a special folder.
#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "files/file_error.h"
#include "files/win/shell_dir.h"

namespace {

constexpr std::uint32_t Loc(std::uint32_t n) { return 0x2B08u << 16 | n; }
constexpr DWORD kPathUnits = MAX_PATH;

ShellApiTable g_api;
bool g_bound = false;

template <typename Fn>
Fn Bound(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

Common::Error Plain(std::uint32_t location) {
  return MakeFileError(location, kShellDirModuleId, kFileOpenError);
}

// 0x40007 with the thread's last system error as its cause.
Common::Error WithCause(std::uint32_t location) {
  const std::uint32_t cause = LastSystemError();
  Common::Error error = Plain(location);
  Common::AttachWin32Cause(error, cause);
  return error;
}

bool IsSeparator(char16_t c) { return c == u'/' || c == u':' || c == u'\\'; }

// The language of shell32's first version resource, else the system's;
// asked once.
BOOL CALLBACK FirstLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR out) {
  *reinterpret_cast<WORD*>(out) = language;
  return FALSE;
}
BOOL CALLBACK FirstName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR out) {
  EnumResourceLanguagesW(module, type, name, &FirstLanguage, out);
  return FALSE;
}
WORD ShellLanguage() {
  static WORD language = 0;
  static bool asked = false;
  if (!asked) {
    asked = true;
    WORD found = 0;
    if (g_api.shell32 != nullptr)
      EnumResourceNamesW(g_api.shell32, MAKEINTRESOURCEW(16) /* RT_VERSION */, &FirstName,
                         reinterpret_cast<LONG_PTR>(&found));
    language = found != 0 ? found : GetSystemDefaultLangID();
  }
  return language;
}

// String `index` of a string-table block: each string is its length in
// UTF-16 units followed by that many units. False when the block is cut
// short before it.
bool StringOfBlock(const std::uint8_t* block, std::uint32_t size, unsigned index,
                   std::u16string& out) {
  std::uint32_t at = 0;
  for (unsigned i = 0;; ++i) {
    if (at > size || size - at < 2) return false;
    const std::uint32_t units = std::uint32_t(block[at] | block[at + 1] << 8);
    at += 2;
    if (units * 2 > size - at) return false;
    if (i == index) {
      out.resize(units);
      std::memcpy(&out[0], block + at, units * 2);
      return true;
    }
    at += units * 2;
  }
}

}  // namespace

ShellApiTable& ShellApi() { return g_api; }

void BindShellApi() {
  if (g_bound) return;
  g_bound = true;
  g_api.shell32 = LoadLibraryA("shell32.dll");
  HMODULE shell = g_api.shell32;
  g_api.GetPathFromIDListW = Bound<decltype(g_api.GetPathFromIDListW)>(shell, "SHGetPathFromIDListW");
  g_api.IsEqual = Bound<decltype(g_api.IsEqual)>(shell, MAKEINTRESOURCEA(21));
  g_api.ChangeNotifyRegister =
      Bound<decltype(g_api.ChangeNotifyRegister)>(shell, MAKEINTRESOURCEA(2));
  g_api.ChangeNotifyDeregister =
      Bound<decltype(g_api.ChangeNotifyDeregister)>(shell, MAKEINTRESOURCEA(4));
  g_api.ChangeNotificationLock =
      Bound<decltype(g_api.ChangeNotificationLock)>(shell, "SHChangeNotification_Lock");
  g_api.ChangeNotificationUnlock =
      Bound<decltype(g_api.ChangeNotificationUnlock)>(shell, "SHChangeNotification_Unlock");
  g_api.shfolder = LoadLibraryA("shfolder.dll");
  g_api.GetFolderPathW = Bound<decltype(g_api.GetFolderPathW)>(g_api.shfolder, "SHGetFolderPathW");
}

bool ShellListsEqual(const void* a, const void* b) {
  BindShellApi();
  if (g_api.IsEqual == nullptr) return false;
  return g_api.IsEqual(static_cast<PCIDLIST_ABSOLUTE>(a), static_cast<PCIDLIST_ABSOLUTE>(b)) !=
         FALSE;
}

Common::Error AllUsersFolderPath(std::u16string& out) {
  BindShellApi();
  out.clear();
  wchar_t profile[kPathUnits] = {};
  const DWORD length = ExpandEnvironmentStringsW(L"%USERPROFILE%", profile, kPathUnits);
  if (length == 0) return WithCause(Loc(1));
  if (length > kPathUnits) return Plain(Loc(2));
  std::u16string path(reinterpret_cast<const char16_t*>(profile));
  // The profile's own folder begins after the last separator that has a
  // name after it; a trailing separator does not make an empty last name.
  std::size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1])) --end;
  std::size_t start = end;
  while (start > 0 && !IsSeparator(path[start - 1])) --start;
  if (start == 0) return Plain(Loc(3));
  if (start + 11 > kPathUnits) return Plain(Loc(4));
  path.resize(start);
  path += u"All Users\\";

  HRSRC found = nullptr;
  if (g_api.shfolder != nullptr) {
    found = FindResourceExW(g_api.shfolder, MAKEINTRESOURCEW(6) /* RT_STRING */,
                            MAKEINTRESOURCEW(1), ShellLanguage());
    if (found == nullptr)
      found = FindResourceExW(g_api.shfolder, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(1),
                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  }
  if (found == nullptr) return WithCause(Loc(5));
  HGLOBAL loaded = LoadResource(g_api.shfolder, found);
  const void* block = loaded != nullptr ? LockResource(loaded) : nullptr;
  std::u16string name;
  if (block == nullptr ||
      !StringOfBlock(static_cast<const std::uint8_t*>(block),
                     SizeofResource(g_api.shfolder, found), 3, name) ||
      name.empty())
    return Plain(Loc(6));
  if (path.size() + name.size() >= kPathUnits) return Plain(Loc(7));
  out = path + name;
  return Common::Error();
}
