// The portable stand-in for the operating system's message lookup of
// DescribeSystemCode: outside Windows there is no system message
// table, so every system code has no message and describes as empty text.
#if !defined(_WIN32)

#include "common/error.h"

namespace Common {
namespace detail {

void FetchSystemMessage(std::uint32_t /*code*/, std::u16string& out) noexcept { out.clear(); }

}  // namespace detail
}  // namespace Common

#endif
