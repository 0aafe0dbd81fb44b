// Host files for the tests that judge images with outside tools: bytes read
// from and written into an image file at an offset, files of known content
// to copy in, and the first number a tool's report gives for a pattern.
// Native only, like the tools themselves.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace DiskTest {

// Up to `count` bytes of `path` from `offset` (fewer at the file's end).
inline std::vector<std::uint8_t> ReadBytes(const std::string& path, std::uint64_t offset,
                                           std::size_t count) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes(count);
  in.seekg(std::streamoff(offset));
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(count));
  bytes.resize(std::size_t(in.gcount()));
  return bytes;
}

// Overwrites `bytes` of an existing file at `offset`.
inline void WriteBytes(const std::string& path, std::uint64_t offset,
                       const std::vector<std::uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(std::streamoff(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A file of `size` bytes whose content depends on `seed`; the content.
inline std::string MakeHostFile(const std::string& path, std::size_t size, std::uint32_t seed) {
  std::string data(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 16);
  }
  std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(size));
  return data;
}

// The decimal number in the first group of `pattern`'s first match in
// `text`, or `missing` when nothing matches.
inline std::uint64_t Number(const std::string& text, const std::string& pattern,
                            std::uint64_t missing = 0) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(pattern))) return missing;
  return std::strtoull(m[1].str().c_str(), nullptr, 10);
}

}  // namespace DiskTest

#endif
