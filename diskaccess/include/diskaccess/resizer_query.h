// The resizer's query request, as the file-system drivers' recovery path
// uses it: a processor is made for the described partition by probing its
// device, and its query operation answers (the raw processor: 0).
#pragma once

#include <cstdint>

#include "common/error.h"
#include "diskaccess/fs_params.h"

namespace Da {

// The request flags of a query.
constexpr std::uint32_t kResizerQueryFlags = 0x80008;

// Stores the query's value through `value`; an error raised while the
// request runs comes back in `error` (null on success).
void RunResizerQuery(Common::Error& error, const ::PartitionParameters& partition,
                     std::uint32_t* value);

}  // namespace Da
