// Removal of the boot-wizard folders on every drive.
#include "cleanup/steps.h"

namespace Cleanup {

// Empty until the boot-folder step is written.
int RemoveBootFolders() { return 0; }

}  // namespace Cleanup
