// Private to the FAT driver: the handler that suits a mount's FAT type.
#pragma once

#include <memory>

#include "filesystems/fat_driver.h"

namespace filesystems {

std::unique_ptr<FATDriver::FATHandler> MakeFatHandler(FATDriver* driver);

}  // namespace filesystems
