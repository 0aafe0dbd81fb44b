// The "file" mode: the products' program folders.
//
// The folders come from the registry (installer records of the maker's
// products and two product path values), so they are only as trustworthy as
// whatever wrote those values. Each one passes ExistingRemovableFolder
// against the folders the system itself owns before anything in it is
// touched: it must exist, be reached through ordinary folders only (no
// junction or link on the way) and, spelled as the disk spells it, lie
// inside a program or application-data folder, or well away from the
// system and the profiles. The rest is skipped.
#include <windows.h>
#include <shlobj.h>

#include <foundation/registry_security.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cleanup/folder_guard.h"
#include "cleanup/registry_helpers.h"
#include "cleanup/steps.h"
#include "files/dir.h"
#include "files/win/dir_tree.h"
#include "files/win/win_dir.h"

namespace Cleanup {

namespace {

const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::u16string FromWide(const wchar_t* text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

// --- the folders the system owns ----------------------------------------

void AddIfSet(std::vector<std::u16string>& folders, const wchar_t* text, DWORD length) {
  if (length > 0 && length < MAX_PATH) folders.push_back(FromWide(text));
}

void AddEnvironmentFolder(std::vector<std::u16string>& folders, const wchar_t* name) {
  wchar_t buffer[MAX_PATH];
  AddIfSet(folders, buffer, GetEnvironmentVariableW(name, buffer, MAX_PATH));
}

void AddShellFolder(std::vector<std::u16string>& folders, int csidl) {
  wchar_t buffer[MAX_PATH];
  if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer)))
    folders.push_back(FromWide(buffer));
}

std::u16string Expanded(const std::u16string& text) {
  wchar_t buffer[MAX_PATH];
  DWORD length = ExpandEnvironmentStringsW(W(text), buffer, MAX_PATH);
  // The count includes the terminating NUL.
  if (length > 1 && length <= MAX_PATH) return FromWide(buffer);
  return u"";
}

std::u16string ValueText(HKEY key, const wchar_t* name) {
  wchar_t buffer[MAX_PATH];
  DWORD type = 0;
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return u"";
  buffer[size / sizeof(wchar_t)] = L'\0';
  return FromWide(buffer);
}

// A profile is refused as a whole; its roaming and local application-data
// folders (in the layout of Vista and later, and of the older systems) are
// where programs keep their own folders.
void AddProfile(SystemFolders& folders, const std::u16string& profile) {
  if (profile.empty()) return;
  folders.refused.push_back(profile);
  for (const char16_t* appData : {u"\\AppData\\Roaming", u"\\AppData\\Local", u"\\Application Data",
                                  u"\\Local Settings\\Application Data"})
    folders.installRoots.push_back(profile + appData);
}

// The profiles folder and every profile the machine knows, from the list
// Windows keeps of them, read in the native view: Windows shares the key
// between the views, but not every system that runs 32-bit programs does.
void AddProfileFolders(SystemFolders& folders) {
  HKEY list = nullptr;
  const REGSAM view = Common::IsWow64() ? kRegistryView64 : 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                    KEY_READ | view, &list) != ERROR_SUCCESS)
    return;
  for (const wchar_t* name : {L"ProfilesDirectory", L"Default", L"Public", L"AllUsersProfile"}) {
    std::u16string text = ValueText(list, name);
    if (text.empty()) continue;
    // "AllUsersProfile" and, on old systems, "Default" are bare folder names
    // inside the profiles folder.
    if (text.find(u'\\') == std::u16string::npos && text.find(u'%') == std::u16string::npos)
      text = ValueText(list, L"ProfilesDirectory") + u"\\" + text;
    const std::u16string folder = Expanded(text);
    if (folder.empty()) continue;
    folders.refused.push_back(folder);
  }
  for (DWORD index = 0;; ++index) {
    wchar_t sid[256];
    DWORD length = 256;
    if (RegEnumKeyExW(list, index, sid, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    HKEY profile = nullptr;
    if (RegOpenKeyExW(list, sid, 0, KEY_QUERY_VALUE | view, &profile) != ERROR_SUCCESS) continue;
    std::u16string image = ValueText(profile, L"ProfileImagePath");
    RegCloseKey(profile);
    if (!image.empty()) AddProfile(folders, Expanded(image));
  }
  RegCloseKey(list);
}

SystemFolders FoldersOfTheSystem() {
  SystemFolders folders;
  wchar_t buffer[MAX_PATH];
  AddIfSet(folders.system, buffer, GetWindowsDirectoryW(buffer, MAX_PATH));
  AddIfSet(folders.system, buffer, GetSystemDirectoryW(buffer, MAX_PATH));
  using GetSystemWow64DirectoryFn = UINT(WINAPI*)(LPWSTR, UINT);
  if (HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
    auto wow64Directory = reinterpret_cast<GetSystemWow64DirectoryFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemWow64DirectoryW")));
    if (wow64Directory != nullptr)
      AddIfSet(folders.system, buffer, wow64Directory(buffer, MAX_PATH));
  }
  for (int csidl : {CSIDL_WINDOWS, CSIDL_SYSTEM, CSIDL_SYSTEMX86})
    AddShellFolder(folders.system, csidl);
  for (const wchar_t* name : {L"SystemRoot", L"windir"})
    AddEnvironmentFolder(folders.system, name);

  // The programs' folders as the shell knows them; a 32-bit process is told
  // the 32-bit program folders, so the 64-bit ones come from the
  // environment.
  for (int csidl : {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86, CSIDL_PROGRAM_FILES_COMMON,
                    CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_COMMON_APPDATA, CSIDL_APPDATA,
                    CSIDL_LOCAL_APPDATA})
    AddShellFolder(folders.installRoots, csidl);
  for (const wchar_t* name :
       {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432", L"CommonProgramFiles",
        L"CommonProgramFiles(x86)", L"CommonProgramW6432", L"ProgramData", L"APPDATA",
        L"LOCALAPPDATA"})
    AddEnvironmentFolder(folders.installRoots, name);

  // The running user's and all users' own folders.
  for (int csidl : {CSIDL_PROFILE, CSIDL_PERSONAL, CSIDL_DESKTOPDIRECTORY, CSIDL_STARTMENU,
                    CSIDL_PROGRAMS, CSIDL_COMMON_DOCUMENTS, CSIDL_COMMON_DESKTOPDIRECTORY,
                    CSIDL_COMMON_STARTMENU, CSIDL_COMMON_PROGRAMS})
    AddShellFolder(folders.refused, csidl);
  for (const wchar_t* name : {L"ALLUSERSPROFILE", L"PUBLIC", L"USERPROFILE"})
    AddEnvironmentFolder(folders.refused, name);
  AddProfileFolders(folders);
  // The folder that holds the profiles, also where the list above is
  // missing.
  wchar_t profile[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    std::u16string path = FromWide(profile);
    while (!path.empty() && path.back() == u'\\') path.pop_back();
    std::size_t cut = path.rfind(u'\\');
    if (cut != std::u16string::npos && cut > 2) folders.refused.push_back(path.substr(0, cut));
  }
  return folders;
}

// --- removal -------------------------------------------------------------

// Read-only, hidden and system attributes off the folder, its ordinary
// subfolders and its files. Junctions and links are passed over: the
// system would set the attributes of whatever they lead to.
void ClearAttributesRecursive(i_dir& base, const std::u16string& path) {
  std::u16string holderPath = path;
  while (!holderPath.empty() && holderPath.back() == u'\\') holderPath.pop_back();
  std::size_t cut = holderPath.rfind(u'\\');
  std::u16string leaf = cut == std::u16string::npos ? holderPath : holderPath.substr(cut + 1);
  holderPath = cut == std::u16string::npos ? u"" : holderPath.substr(0, cut + 1);

  if (!holderPath.empty()) {
    if (i_dir* holder = base.open_dir(holderPath.c_str())) {
      if (holder->is_ok()) {
        if (auto* writable = dynamic_cast<o_dir*>(holder))
          writable->set_attributes(leaf.c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
      }
      delete holder;
    }
  }

  i_dir* folder = base.open_dir(path.c_str());
  if (folder == nullptr) return;
  if (folder->is_ok()) {
    auto* writable = dynamic_cast<o_dir*>(folder);
    std::u16string prefix = path;
    if (prefix.empty() || prefix.back() != u'\\') prefix += u'\\';
    if (i_dir::iterator* entry = folder->list()) {
      while (entry->is_ok()) {
        const char16_t* name = entry->name();
        if (name != nullptr) {
          const std::uint32_t type = entry->object_type();
          if (type == kObjectDirectory)
            ClearAttributesRecursive(base, prefix + name);
          else if (type == kObjectFile && writable != nullptr)
            writable->set_attributes(name, FILE_ATTRIBUTE_NORMAL);
        }
        entry->next();
      }
      delete entry;
    }
  }
  delete folder;
}

// --- next-logon commands -----------------------------------------------

struct RunOnceCommand {
  const char16_t* name;
  const char16_t* folder64;  // on 64-bit Windows
  const char16_t* folder32;
};

const RunOnceCommand kRunOnceCommands[] = {
    {u"DelQuorvelProgramFiles", u"%ProgramFiles(x86)%\\Quorvel\"", u"%ProgramFiles%\\Quorvel\""},
    {u"DelQuorvelCommonFiles", u"%CommonProgramFiles(x86)%\\Quorvel\"",
     u"%CommonProgramFiles%\\Quorvel\""},
    {u"DelQuorvelAppDataUser", u"%APPDATA%\\Quorvel\"", u"%APPDATA%\\Quorvel\""},
    {u"DelQuorvelAppDataAll", u"%ALLUSERSPROFILE%\\Quorvel\"", u"%ALLUSERSPROFILE%\\Quorvel\""},
};

}  // namespace

void RemoveFolderTree(i_dir& base, const std::u16string& path) {
  ClearAttributesRecursive(base, path);
  i_dir* folder = base.open_dir(path.c_str());
  if (folder == nullptr) return;
  if (folder->is_ok()) {
    if (auto* tree = dynamic_cast<rio_dir*>(folder)) {
      try {
        RemoveDirTree(tree, false);
      } catch (const Common::Error&) {
        // Whatever could not be deleted stays; the next-logon commands
        // of RemoveProductFolders take care of the maker's standard folders.
      }
    }
  }
  delete folder;
}

void RemoveProductFolders() {
  RegistryViewFlag = Common::IsWow64();
  NameSet named;
  CollectInstalledProducts(kInstallLocation, named);
  AddFolderOfPathValue(u"SOFTWARE\\Quorvel\\HarbormarkHome\\Settings", u"MainExePath", named);
  AddFolderOfPathValue(u"SOFTWARE\\Quorvel\\SkyvaultStandalone\\Settings",
                       u"sv_client_standard.exe", named);

  // The same folder may be named in several spellings (letter case, a
  // trailing backslash or not); it is removed once, in ascending order so
  // that a folder comes before the folders inside it.
  const SystemFolders guarded = FoldersOfTheSystem();
  std::map<std::u16string, std::u16string> folders;
  i_dir* current = GetCurrentDirObject();
  if (current != nullptr) {
    for (const std::u16string& path : named) {
      if (std::optional<std::u16string> folder = ExistingRemovableFolder(*current, path, guarded))
        folders.emplace(FolderIdentity(*folder), *folder);
    }
    for (const auto& folder : folders) RemoveFolderTree(*current, folder.second);
  }

  RegistryViewFlag = Common::IsWow64();
  RegistryKeyHolder runOnce = OpenRegistryKey(
      HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
  if (!runOnce) return;
  const bool wow64 = Common::IsWow64();
  for (const RunOnceCommand& command : kRunOnceCommands) {
    WriteRegistryString(runOnce, command.name,
                        std::u16string(u"CMD /C RMDIR /S /Q \"") +
                            (wow64 ? command.folder64 : command.folder32));
  }
}

}  // namespace Cleanup
