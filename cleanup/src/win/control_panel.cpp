// Restoring Windows' Backup-and-Restore control-panel item.
#include "cleanup/steps.h"

namespace Cleanup {

// Empty until the control-panel restore is written.
void RunCplDisintegrate() {}

}  // namespace Cleanup
