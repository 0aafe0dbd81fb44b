// Building and throwing the disk model's errors.
#include "fdisk/error.h"

#include "foundation/message_table.h"
#include "foundation/trace.h"

namespace Fdisk {

Error MakeError(std::uint32_t locationId, std::uint32_t moduleId, std::uint32_t code,
                std::uint32_t message) {
  return Error(locationId, moduleId, code, CatalogText(message));
}

void ThrowError(const Common::Error& error) {
  TraceError(1, error);
  throw Error(error);
}

void ThrowError(std::uint32_t locationId, std::uint32_t moduleId, std::uint32_t code,
                std::uint32_t message) {
  ThrowError(MakeError(locationId, moduleId, code, message));
}

}  // namespace Fdisk
