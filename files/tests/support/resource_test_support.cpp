#include "resource_test_support.h"

namespace resource_test {
namespace {

std::uint32_t Crc32(const Bytes& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void Put16(Bytes& out, std::uint32_t v) {
  out.push_back(std::uint8_t(v));
  out.push_back(std::uint8_t(v >> 8));
}
void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

Bytes MakeZip(const std::vector<std::pair<std::string, Bytes>>& entries) {
  Bytes out, directory;
  for (const auto& [name, data] : entries) {
    const std::uint32_t local = static_cast<std::uint32_t>(out.size());
    const std::uint32_t crc = Crc32(data);
    const std::uint32_t size = static_cast<std::uint32_t>(data.size());
    Put32(out, 0x04034b50);
    Put16(out, 10);  // version
    Put16(out, 0);   // flags
    Put16(out, 0);   // stored
    Put32(out, 0);   // time and date
    Put32(out, crc);
    Put32(out, size);
    Put32(out, size);
    Put16(out, static_cast<std::uint32_t>(name.size()));
    Put16(out, 0);
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), data.begin(), data.end());

    Put32(directory, 0x02014b50);
    Put16(directory, 20);
    Put16(directory, 10);
    Put16(directory, 0);
    Put16(directory, 0);
    Put32(directory, 0);
    Put32(directory, crc);
    Put32(directory, size);
    Put32(directory, size);
    Put16(directory, static_cast<std::uint32_t>(name.size()));
    Put16(directory, 0);  // extra
    Put16(directory, 0);  // comment
    Put16(directory, 0);  // disk
    Put16(directory, 0);  // internal attributes
    Put32(directory, 0);  // external attributes
    Put32(directory, local);
    directory.insert(directory.end(), name.begin(), name.end());
  }
  const std::uint32_t directoryOffset = static_cast<std::uint32_t>(out.size());
  out.insert(out.end(), directory.begin(), directory.end());
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put32(out, static_cast<std::uint32_t>(directory.size()));
  Put32(out, directoryOffset);
  Put16(out, 0);
  return out;
}

Bytes ReadAll(i_file& file) {
  Bytes all;
  std::uint8_t buffer[4096];
  for (;;) {
    std::uint32_t count = 0;
    file.read(buffer, sizeof buffer, count);
    if (file.has_failed()) return {};
    if (count == 0) return all;
    all.insert(all.end(), buffer, buffer + count);
  }
}

}  // namespace resource_test
