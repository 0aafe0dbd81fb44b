// The portable build links the library directly: nothing to bind.
#include <cstdint>

std::int32_t LoadLibraryImports(const char*) { return 0; }
