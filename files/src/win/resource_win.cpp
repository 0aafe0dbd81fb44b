// The payload locator's view of the live file system: the process's
// current-directory object and the program's path.
#include "files/resource.h"
#include "files/win/win_dir.h"

i_dir* ResourcePlatformCurrentDir() { return GetCurrentDirObject(); }

const char16_t* ResourcePlatformModulePath() { return GetModulePath(); }
