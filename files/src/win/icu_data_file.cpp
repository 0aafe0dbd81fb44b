// ICU's data files through the program's resource hook, and the ICU platform
// functions that use it.
#include "files/win/icu_data_file.h"

#include <unicode/utypes.h>

#include <udatamem.h>
#include <umapfile.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "files/resource.h"

namespace {

// The smallest data file ICU can use: its header alone takes 24 bytes.
constexpr std::uint64_t kSmallestDataFile = 24;
constexpr std::uint64_t kLargestDataFile = 0x7FFFFFFF;

// ".\icudt<NN>l\" and ".\icudt<NN>l.dat" of the linked release.
const std::string& TreePrefix() {
  static const std::string prefix = std::string(".\\") + U_ICUDATA_NAME + "\\";
  return prefix;
}
const std::string& CommonDataPath() {
  static const std::string path = std::string(".\\") + U_ICUDATA_NAME + ".dat";
  return path;
}

}  // namespace

bool IcuDataResourceName(const char* path, std::string& name) {
  if (path == nullptr) return false;
  const std::string text(path);
  if (text.compare(0, TreePrefix().size(), TreePrefix()) == 0) {
    name = text.substr(TreePrefix().size());
  } else if (text == CommonDataPath()) {
    name = std::string(U_ICUDATA_NAME) + ".dat";
  } else {
    return false;
  }
  // The payload is flat: a data-tree folder becomes part of the name.
  for (char& c : name)
    if (c == '\\') c = '_';
  return true;
}

bool MapIcuDataFile(UDataMemory* record, const char* path) {
  std::string name;
  if (!IcuDataResourceName(path, name)) return false;
  std::unique_ptr<si_file> stream(ResourceOpener(name.c_str()));
  if (!stream) return false;
  const std::uint64_t size = stream->is_ok() ? stream->size() : 0;
  if (!stream->is_ok() || size < kSmallestDataFile || size > kLargestDataFile) return false;
  std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[size]);
  if (!block) return false;
  stream->read_exact(block.get(), static_cast<std::uint32_t>(size));
  if (!stream->is_ok()) return false;
  std::uint8_t* data = block.release();
  record->pHeader = reinterpret_cast<const DataHeader*>(data);
  record->mapAddr = data;
  record->map = data;
  record->length = static_cast<int32_t>(size);
  return true;
}

void UnmapIcuDataFile(UDataMemory* record) {
  if (record == nullptr || record->map == nullptr) return;
  delete[] static_cast<std::uint8_t*>(record->map);
  record->map = nullptr;
  record->mapAddr = nullptr;
  record->pHeader = nullptr;
  record->length = 0;
}

// ICU's own names for the two functions (the release suffix comes from its
// renaming header).
U_CAPI UBool U_EXPORT2 uprv_mapFile(UDataMemory* record, const char* path, UErrorCode* status) {
  if (status != nullptr && U_FAILURE(*status)) return false;
  return MapIcuDataFile(record, path);
}

U_CFUNC void uprv_unmapFile(UDataMemory* record) { UnmapIcuDataFile(record); }
