// Fuzzes the ZIP reader over whole archives: the end record, the central
// directory, local headers and entry data. Every entry is listed, looked up
// by name, opened and read to its end in pieces of varying size; the reader
// must never touch memory outside what it was given.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "files/zip.h"
#include "zip_memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zip_memory_file file(data, size);
  zip_file zip(&file);
  std::unique_ptr<i_dir::iterator> it(zip.list());
  if (!it) return 0;
  std::vector<std::uint8_t> buffer(4096);
  unsigned visited = 0;
  for (; it->is_ok() && visited < 64; it->next(), ++visited) {
    it->size();
    it->allocated_size();
    std::unique_ptr<file_identifier> id(it->id());
    std::unique_ptr<i_dir::iterator> again(zip.find_by_id(id.get()));
    std::unique_ptr<i_dir::iterator> byName(zip.find(it->name()));
    std::unique_ptr<i_file> entry(zip.open_file_at(it.get(), false));
    if (!entry) continue;
    std::uint32_t piece = 1 + (visited * 977u) % 4096u;
    for (unsigned reads = 0; reads < 4096; ++reads) {
      std::uint32_t count = 0;
      entry->read(buffer.data(), piece, count);
      if (count == 0 || !entry->is_ok()) break;
    }
  }
  return 0;
}
