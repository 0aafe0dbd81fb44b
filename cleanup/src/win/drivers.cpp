// Removal of the products' filter drivers and services.
#include "cleanup/steps.h"

namespace Cleanup {

// Empty until the driver removal is written.
int RemoveDriversAndServices() { return 0; }
int RemoveDiskFilterDrivers() { return 0; }

}  // namespace Cleanup
