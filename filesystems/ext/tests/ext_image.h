// Images made by mke2fs for the ext tests, and what dumpe2fs and debugfs
// say about them. Native only: the tools do not run under Wine.
#pragma once

#if !defined(_WIN32)

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "disktest/host_files.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "filesystems/ext_driver.h"
#include "image_volume.h"

namespace exttest {

// A scratch folder removed at the end of the test.
using ScratchDir = DiskTest::TempDir;

using DiskTest::Quote;
// Runs a shell command; false when it fails.
inline bool Run(const std::string& command, std::string* output = nullptr) {
  return DiskTest::RunOk(command, output);
}

// mke2fs with `options` into a fresh image of `kilobytes`; `folder` fills it
// (mke2fs -d). False when mke2fs refuses.
inline bool MakeImage(const std::string& path, const std::string& options,
                      std::uint64_t kilobytes, const std::string& folder = "") {
  std::string command = "rm -f " + Quote(path) + "; mke2fs -q -F -E nodiscard " + options;
  if (!folder.empty()) command += " -d " + Quote(folder);
  command += " " + Quote(path) + " " + std::to_string(kilobytes) + "k";
  return Run(command);
}

// The "Name: value" lines of `dumpe2fs -h`.
inline std::map<std::string, std::string> DumpHeader(const std::string& image) {
  std::map<std::string, std::string> fields;
  const std::string out = DiskTest::RunCommand("dumpe2fs -h " + Quote(image) + " 2>/dev/null");
  for (const std::string& line : DiskTest::Lines(out)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    const auto start = value.find_first_not_of(" \t");
    value = start == std::string::npos ? "" : value.substr(start);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    fields[line.substr(0, colon)] = value;
  }
  return fields;
}

// The whole of `dumpe2fs` (groups included).
inline std::string DumpGroups(const std::string& image) {
  return DiskTest::RunCommand("dumpe2fs " + Quote(image) + " 2>/dev/null");
}

inline std::uint64_t Field(const std::map<std::string, std::string>& fields,
                           const std::string& name) {
  auto found = fields.find(name);
  return found == fields.end() ? 0 : std::strtoull(found->second.c_str(), nullptr, 10);
}

// debugfs with one request (`-w` when `write`); its output.
inline std::string Debugfs(const std::string& image, const std::string& request,
                           bool write = false) {
  return DiskTest::RunCommand(std::string("debugfs ") + (write ? "-w " : "") + "-R " +
                              Quote(request) + " " + Quote(image) + " 2>/dev/null");
}

using DiskTest::MakeHostFile;
using DiskTest::ReadBytes;
using DiskTest::WriteBytes;

inline std::uint32_t NextCacheKey() {
  static std::uint32_t key = 0x19000;
  return ++key;
}

// An ext mount over an image file.
struct Mounted {
  explicit Mounted(const std::string& path, std::uint32_t sectorSize = 512,
                   bool readOnlyDevice = true)
      : device(new fstest::ImageVolume(path, sectorSize, 0, readOnlyDevice)) {
    const std::uint64_t sectors = std::filesystem::file_size(path) / sectorSize;
    driver = static_cast<filesystems::extfs::ExtfsDriver*>(filesystems::extfs::OpenExtVolume(
        device.get(), 0, sectors, NextCacheKey(), nullptr, 0));
    // The mount's own use: file references take and drop theirs.
    if (driver) driver->AddUse();
  }
  ~Mounted() { Unmount(); }
  void Unmount() {
    if (driver) driver->Release();
    driver = nullptr;
  }
  filesystems::extfs::ExtfsDriver* operator->() const { return driver; }

  std::unique_ptr<fstest::ImageVolume> device;
  filesystems::extfs::ExtfsDriver* driver = nullptr;
};

}  // namespace exttest

#endif
