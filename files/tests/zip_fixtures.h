// The archives that Info-ZIP zip and Python's zipfile made
// (data/zip/make_fixtures.py), embedded together with the bytes `unzip -p`
// gives for each of their entries, so that tests that cannot read host
// files (those under Wine) still compare with the tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct FixtureArchive {
  const char* name;  // file name in data/zip
  const char* data;
  std::size_t size;
};

// One entry of an archive that unzip reads, with the bytes it gives.
struct FixtureEntry {
  const char* archive;
  const char* entry;
  const char* data;
  std::size_t size;
};

template <typename T>
struct FixtureList {
  const T* first;
  std::size_t count;
  const T* begin() const { return first; }
  const T* end() const { return first + count; }
};

FixtureList<FixtureArchive> ZipFixtureArchives();
FixtureList<FixtureEntry> ZipFixtureEntries();

// The archive of that file name; empty, with a test failure, when there is
// none.
std::vector<std::uint8_t> ZipFixtureBytes(const char* archive);

// What `unzip -p` gives for the entry.
std::vector<std::uint8_t> UnzipBytes(const FixtureEntry& entry);
