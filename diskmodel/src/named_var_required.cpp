// The lookup failure of `VarContainer::GetRequired`: an
// `Fdisk::Error` 0x101C03 "Object 'Variable' cannot be found." of its own
// module, not a named-variable error.
#include "fdisk/error.h"
#include "fdisk/named_vars.h"
#include "foundation/message_table.h"
#include "foundation/trace.h"

namespace Fdisk {
namespace NamedVars {
namespace detail {

void ThrowRequiredMissing() {
  Fdisk::Error error(Common::Error(kGetRequiredLocation, kRequiredVarModuleId,
                                   kVariableNotFoundCode,
                                   CatalogText(kVariableNotFoundMessage)));
  TraceError(1, error);
  throw error;
}

}  // namespace detail
}  // namespace NamedVars
}  // namespace Fdisk
