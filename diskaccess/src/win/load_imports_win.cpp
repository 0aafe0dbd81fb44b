// Binds every delayed import of the snapshot library at once.
#include <windows.h>

#include <delayimp.h>

#include <cstdint>

std::int32_t LoadLibraryImports(const char* libraryName) {
  return static_cast<std::int32_t>(__HrLoadAllImportsForDll(libraryName));
}
