// Random bytes and random GUIDs.
//
// Bytes come from the system's cryptographic provider (CryptoAPI on Windows,
// the kernel natively). When the provider cannot be had or fails, callers
// that accept weaker bytes get the run-time library's pseudo-random
// generator (rand(), seeded with the time when the source is first set up);
// callers that demand strong bytes get false instead.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/guid.h"

namespace Common {

// Fills length bytes at buffer and returns true. False when strong bytes
// were demanded and the provider could not give them, or when buffer is null
// and length is not 0. The first call sets up the source (thread-safe).
bool RandomBytes(void* buffer, std::size_t length, bool strongOnly);

// A version-4 GUID (RFC 4122) made from 16 random bytes, pseudo-random bytes
// accepted: the version nibble is 4 and the two variant bits are 1 and 0.
// Generator 0 is the only one there is; any other value gives false and
// leaves out unchanged.
bool GuidNewRandom(Guid& out, uint32_t generator = 0);

namespace TestHooks {
// While set, the cryptographic provider is treated as failing.
void SetRandomProviderFailure(bool fail);
}  // namespace TestHooks

}  // namespace Common
