// Materialising committed sparse images.
#include "disktest/sparse_image.h"

#include <fstream>
#include <stdexcept>

#include "disktest/image_disk.h"

namespace DiskTest {

void WriteSparseImage(const SparseImage& image, const std::string& path) {
  ImageDisk::CreateImage(path, image.bytes);
  std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!out) throw std::runtime_error("cannot open image " + path);
  for (std::size_t i = 0; i < image.chunkCount; ++i) {
    const SparseChunk& c = image.chunks[i];
    if (c.offset > image.bytes || c.size > image.bytes - c.offset) {
      throw std::runtime_error(std::string("chunk outside image ") + image.name);
    }
    out.seekp(static_cast<std::streamoff>(c.offset));
    out.write(reinterpret_cast<const char*>(c.data), c.size);
  }
  out.close();
  if (!out) throw std::runtime_error("cannot write image " + path);
}

}  // namespace DiskTest
