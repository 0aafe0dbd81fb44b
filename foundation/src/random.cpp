// RandomBytes and GuidNewRandom over the build's cryptographic provider
// (random_internal.h), with the run-time library's generator as fallback.
#include "foundation/random.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "random_internal.h"

namespace Common {

namespace {

std::atomic<bool> g_failProvider{false};

// First use: acquire the provider, seed the fallback generator.
bool SetUpSource() {
  const bool haveProvider = RandomInternal::OpenProvider();
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  return haveProvider;
}

}  // namespace

namespace TestHooks {
void SetRandomProviderFailure(bool fail) { g_failProvider.store(fail); }
}  // namespace TestHooks

bool RandomBytes(void* buffer, std::size_t length, bool strongOnly) {
  if (!buffer && length != 0) return false;
  static const bool haveProvider = SetUpSource();
  if (haveProvider && !g_failProvider.load() && RandomInternal::ProviderFill(buffer, length))
    return true;
  if (strongOnly) return false;
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(std::rand());
  return true;
}

bool GuidNewRandom(Guid& out, uint32_t generator) {
  if (generator != 0) return false;
  Guid guid;
  if (!RandomBytes(guid.bytes, sizeof guid.bytes, false)) return false;
  guid.SetData3(static_cast<uint16_t>((guid.Data3() & 0x0FFF) | 0x4000));  // version 4
  guid.bytes[8] = static_cast<uint8_t>((guid.bytes[8] & 0x3F) | 0x80);    // variant 10
  out = guid;
  return true;
}

}  // namespace Common
