// purgekit.exe: a GUI-subsystem program without a window, so that a run
// opens no console either. It asks nothing and reports nothing.
#include <windows.h>

#include "cleanup/run_modes.h"
#include "cleanup/steps.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide text is UTF-16");

int wmain(int argc, wchar_t** argv) {
  static const Cleanup::CleanupSteps steps = {
      &Cleanup::RemoveProductFolders,   &Cleanup::RemoveInstallerRegistration,
      &Cleanup::RemoveDiskFilterDrivers, &Cleanup::RunCplDisintegrate,
      &Cleanup::SetContextMenuHandlers, &Cleanup::SetShellExtensionRegistered,
      &Cleanup::RemoveDriversAndServices, &Cleanup::RemoveBootFolders,
      &Cleanup::RemoveNameSpaceKey,
  };
  const Cleanup::RunMode mode =
      Cleanup::SelectRunMode(argc, reinterpret_cast<const char16_t* const*>(argv));
  return Cleanup::RunCleanup(mode, steps);
}
