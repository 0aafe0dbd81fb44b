// The products' shell integration: context-menu handler keys, the
// property-sheet library's registration and the My Computer namespace key.
#include "cleanup/steps.h"

namespace Cleanup {

// Empty until the shell-extension steps are written: they report that
// nothing was done.
bool SetContextMenuHandlers(bool present) { return false; }
bool SetShellExtensionRegistered(bool registered) { return false; }
void RemoveNameSpaceKey() {}

}  // namespace Cleanup
