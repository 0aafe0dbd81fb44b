// Small committed images: the non-zero byte runs of an image made by a real
// tool (sfdisk, sgdisk, ...), so that the Windows build, which cannot run
// those tools, tests on the same bytes. testsupport/tools/sparse_fixture.py
// writes them as C++ headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace DiskTest {

struct SparseChunk {
  std::uint64_t offset;
  std::uint32_t size;
  const std::uint8_t* data;
};

struct SparseImage {
  const char* name;
  const char* madeBy;     // the command lines that made the image
  std::uint64_t bytes;    // size of the whole image
  const SparseChunk* chunks;
  std::size_t chunkCount;
};

// Writes the image to `path` (zero everywhere but the chunks).
void WriteSparseImage(const SparseImage& image, const std::string& path);

}  // namespace DiskTest
