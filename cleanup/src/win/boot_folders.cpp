// Removal of the boot-wizard folders on every drive.
#include "cleanup/boot_folders.h"

#include <windows.h>
#include <shellapi.h>

#include "cleanup/dll_loader.h"
#include "cleanup/steps.h"
#include "diskaccess/lifecycle.h"

namespace Cleanup {

namespace {
// The disk-access layer's flag word for one full scan of the machine.
constexpr uint32_t kDiskScanFlags = 0x1C11;
}  // namespace

void DeleteFolderOnEveryDrive(const char* folder) {
  for (char letter = 'c'; letter <= 'z'; ++letter) {
    // The shell takes a list of names, each NUL-terminated, ended by an
    // empty one.
    char from[MAX_PATH + 2] = {};
    const int n = wsprintfA(from, "%c:\\%s", letter, folder);
    if (n <= 0 || n >= MAX_PATH) continue;
    from[n + 1] = '\0';
    SHFILEOPSTRUCTA operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = from;
    operation.pTo = nullptr;
    // Silent, no confirmation, no error dialog, no recycle bin. A missing
    // drive or folder fails quietly, and that is fine.
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationA(&operation);
  }
}

int RemoveBootFolders() {
  // Only machines that have the products' snapshot library installed can
  // have their boot-wizard folders; without it the step has nothing to do.
  if (LoadSnapshotLibrary(kLoadFromSearchPath) != 0) {
    // Whatever the failed attempt extracted goes with the loader.
    UnloadSnapshotLibrary();
    return 0;
  }
  DaInit(kDiskScanFlags);
  DaDone();
  UnloadSnapshotLibrary();
  DeleteFolderOnEveryDrive("rendwiz");
  return 0;
}

}  // namespace Cleanup
