#include "diskaccess/resizer_query.h"

#include "diskaccess/resizer.h"

namespace Da {

void RunResizerQuery(Common::Error& error, const ::PartitionParameters& partition,
                     std::uint32_t* value) {
  ::PartitionParameters source = partition;
  resizer::ResizeRequest request;
  request.flags = kResizerQueryFlags;
  request.source = &source;
  request.valueOut = value;
  RunResizer(error, request);
}

}  // namespace Da
