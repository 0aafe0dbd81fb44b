// The cryptographic provider behind RandomBytes, one per build: the kernel
// natively (random_native.cpp), CryptoAPI on Windows (win/random_win.cpp).
#pragma once

#include <cstddef>

namespace Common {
namespace RandomInternal {

// Acquires the provider for the rest of the process; true when there is one.
// Called once, by the first RandomBytes.
bool OpenProvider();

// Fills the buffer from the provider acquired by OpenProvider; false when
// the provider fails.
bool ProviderFill(void* buffer, std::size_t length);

}  // namespace RandomInternal
}  // namespace Common
