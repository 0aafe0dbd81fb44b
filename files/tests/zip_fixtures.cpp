// The tool-made archives of zip_fixtures.h, compiled once for every test
// that uses them.
#include "zip_fixtures.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
#include "data/zip/fixtures.inc"
}  // namespace

FixtureList<FixtureArchive> ZipFixtureArchives() {
  return {kArchives, sizeof kArchives / sizeof kArchives[0]};
}

FixtureList<FixtureEntry> ZipFixtureEntries() {
  return {kEntries, sizeof kEntries / sizeof kEntries[0]};
}

std::vector<std::uint8_t> ZipFixtureBytes(const char* archive) {
  for (const auto& a : kArchives)
    if (std::strcmp(a.name, archive) == 0)
      return std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(a.data),
                                       reinterpret_cast<const std::uint8_t*>(a.data) + a.size);
  ADD_FAILURE() << "no fixture " << archive;
  return {};
}

std::vector<std::uint8_t> UnzipBytes(const FixtureEntry& entry) {
  return std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(entry.data),
                                   reinterpret_cast<const std::uint8_t*>(entry.data) + entry.size);
}
