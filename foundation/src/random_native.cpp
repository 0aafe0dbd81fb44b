// The native build's cryptographic provider: the kernel's random source,
// through getrandom, or /dev/urandom where the kernel lacks that call.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "random_internal.h"

namespace Common {
namespace RandomInternal {

namespace {
int g_urandom = -1;  // open only when getrandom is missing
}

bool OpenProvider() {
  unsigned char probe;
  if (getrandom(&probe, 1, GRND_NONBLOCK) >= 0 || errno != ENOSYS) return true;
  g_urandom = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  return g_urandom >= 0;
}

bool ProviderFill(void* buffer, std::size_t length) {
  unsigned char* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t got = g_urandom >= 0 ? read(g_urandom, out, length) : getrandom(out, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace RandomInternal
}  // namespace Common

#endif  // !_WIN32
