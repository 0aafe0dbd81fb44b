// Steps for a test build of the program's entry: each appends its name to
// the file named by the environment variable PURGEKIT_PROBE_LOG and then
// reports failure, so that a test sees which steps a command line ran, in
// which order, and that failures change neither the run nor the exit code.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "cleanup/steps.h"

namespace {

void Record(const wchar_t* step) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"PURGEKIT_PROBE_LOG", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  FILE* log = _wfopen(path, L"a");
  if (log == nullptr) return;
  std::fwprintf(log, L"%ls\n", step);
  std::fclose(log);
}

}  // namespace

namespace Cleanup {

void RemoveProductFolders() { Record(L"RemoveProductFolders"); }
void RemoveInstallerRegistration() { Record(L"RemoveInstallerRegistration"); }
int RemoveDiskFilterDrivers() {
  Record(L"RemoveDiskFilterDrivers");
  return 1;
}
void RunCplDisintegrate() { Record(L"RunCplDisintegrate"); }
bool SetContextMenuHandlers(bool present) {
  Record(present ? L"SetContextMenuHandlers(present)" : L"SetContextMenuHandlers(absent)");
  return false;
}
bool SetShellExtensionRegistered(bool registered) {
  Record(registered ? L"SetShellExtensionRegistered(registered)"
                    : L"SetShellExtensionRegistered(unregistered)");
  return false;
}
int RemoveDriversAndServices() {
  Record(L"RemoveDriversAndServices");
  return 1;
}
int RemoveBootFolders() {
  Record(L"RemoveBootFolders");
  return 1;
}
void RemoveNameSpaceKey() { Record(L"RemoveNameSpaceKey"); }

}  // namespace Cleanup
