#include "diskaccess/resizer_query.h"

namespace Da {

void RunResizerQuery(Common::Error& error, const ::PartitionParameters& partition,
                     std::uint64_t* value) {
  error.Reset();
  // No processor of this system has anything to report for a query: the
  // file-system recognisers all answer 0, whatever the partition holds.
  (void)partition;
  if (value) *value = 0;
}

}  // namespace Da
