// The products' shell integration: context-menu handler keys, the
// property-sheet library's registration and the My Computer namespace key.
#include "cleanup/shell_extension.h"

#include <windows.h>

#include <foundation/registry_security.h>
#include <windows/layer.h>

namespace Cleanup {

namespace {

const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

constexpr DWORD kPathUnits = MAX_PATH;  // 260
constexpr char16_t kRegsvr32[] = u"regsvr32.exe";

enum HandlerKey { kStarKey = 0, kFolderKey = 1, kDriveKey = 2 };

}  // namespace

const char16_t* const kContextMenuHandlerKeys[3] = {
    u"*\\shellex\\ContextMenuHandlers\\{7D21E6B4-58C0-4A3E-9F17-2B8C64D0A395}",
    u"Folder\\shellex\\ContextMenuHandlers\\{7D21E6B4-58C0-4A3E-9F17-2B8C64D0A395}",
    u"Drive\\shellex\\ContextMenuHandlers\\{7D21E6B4-58C0-4A3E-9F17-2B8C64D0A395}",
};

// ------------------------------------------------- context-menu handlers --

bool ContextMenuHandlersPresent() {
  for (const char16_t* path : kContextMenuHandlerKeys) {
    HKEY key = nullptr;
    if (RegOpenKeyW(HKEY_CLASSES_ROOT, W(path), &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
  }
  return true;
}

bool SetContextMenuHandlers(bool present) {
  // With one or two of the keys missing they count as absent, so a partial
  // set is never deleted.
  if (ContextMenuHandlersPresent() == present) return true;
  if (!present) {
    bool deleted = true;
    for (HandlerKey which : {kFolderKey, kStarKey, kDriveKey})
      deleted = WindowsLayerInstance->RegDeleteKeyW(HKEY_CLASSES_ROOT,
                                                    W(kContextMenuHandlerKeys[which])) ==
                    ERROR_SUCCESS &&
                deleted;
    return deleted;
  }
  bool created = true;
  for (const char16_t* path : kContextMenuHandlerKeys) {
    HKEY key = nullptr;
    if (RegCreateKeyW(HKEY_CLASSES_ROOT, W(path), &key) == ERROR_SUCCESS)
      RegCloseKey(key);
    else
      created = false;
  }
  return created;
}

// ---------------------------------------------- the property-sheet library --

std::u16string ProgramFilePath() {
  char16_t buffer[kPathUnits + 1] = {};
  const DWORD units = WindowsLayerInstance->GetModuleFileNameW(
      nullptr, reinterpret_cast<wchar_t*>(buffer), kPathUnits);
  return std::u16string(buffer, units < kPathUnits ? units : kPathUnits);
}

std::u16string ProgramFolder() {
  const std::u16string path = ProgramFilePath();
  const size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? path : path.substr(0, slash + 1);
}

std::u16string PropertySheetLibraryPath() { return ProgramFolder() + kPropertySheetLibrary; }

std::u16string PropertySheetLibraryPath64() {
  return ProgramFolder() + u"x64" + u"\\" + kPropertySheetLibrary;
}

std::u16string Regsvr32Path() {
  char16_t buffer[kPathUnits + 1] = {};
  const DWORD units = WindowsLayerInstance->ExpandEnvironmentStringsW(
      L"%SYSTEMROOT%", reinterpret_cast<wchar_t*>(buffer), kPathUnits);
  // ExpandEnvironmentStrings answers with the size it needs when the buffer
  // is too small, and leaves an unknown variable as it stands: neither is a
  // folder to start a program from.
  if (units == 0 || units > kPathUnits) return kRegsvr32;
  const std::u16string root(buffer);
  if (root.empty() || root.find(u'%') != std::u16string::npos) return kRegsvr32;
  return root + u"\\" + u"System32" + u"\\" + kRegsvr32;
}

bool RunRegsvr32(const std::u16string& arguments) {
  std::u16string commandLine = Regsvr32Path() + u" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);  // 68
  PROCESS_INFORMATION process{};
  if (!WindowsLayerInstance->CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(&commandLine[0]),
                                            nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                                            nullptr, nullptr, &startup, &process))
    return false;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  if (!GetExitCodeProcess(process.hProcess, &exitCode)) exitCode = 1;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // 5: the library's own (un)registration entry point failed; the run counts
  // that as done.
  return exitCode == 0 || exitCode == 5;
}

bool SetShellExtensionRegistered(bool registered) {
  HKEY key = nullptr;
  const bool isRegistered =
      WindowsLayerInstance->RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(kPropertySheetClassKey), 0,
                                          KEY_QUERY_VALUE | RegistryView32Flag,
                                          &key) == ERROR_SUCCESS;
  if (isRegistered) RegCloseKey(key);
  if (isRegistered == registered) return true;

  const std::u16string arguments = registered ? u"/s" : u"/u /s";
  // On 64-bit Windows the 64-bit library goes first; when it cannot be
  // handled the 32-bit one is left alone.
  if (Common::IsWow64() &&
      !RunRegsvr32(arguments + u" \"" + PropertySheetLibraryPath64() + u"\""))
    return false;
  return RunRegsvr32(arguments + u" \"" + PropertySheetLibraryPath() + u"\"");
}

// ---------------------------------------------------------- namespace key --

void RemoveNameSpaceKey() {
  Processor::String path = MakeNameSpaceKeyPath();
  // A string that could not be built has no text: there is nothing to
  // delete then (a null path would name the root key itself).
  const char16_t* text = path.isBogus() ? nullptr : path.getTerminatedBuffer();
  if (text == nullptr) return;
  // The two views as they stand, on every Windows version.
  Common::DeleteRegistryKeyView(HKEY_LOCAL_MACHINE, text, 0x100);
  Common::DeleteRegistryKeyView(HKEY_LOCAL_MACHINE, text, 0x200);
}

}  // namespace Cleanup
