// The "file" mode: the products' program folders.
#include "cleanup/steps.h"

namespace Cleanup {

// Empty until the file mode is written.
void RemoveProductFolders() {}

}  // namespace Cleanup
