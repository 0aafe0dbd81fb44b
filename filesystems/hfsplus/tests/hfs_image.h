// Images made by mkfs.hfsplus for the HFS+ tests, the journal fixtures and
// replayer of testsupport/hfs_journal.py, what fsstat and fsck.hfsplus say
// about an image, and a mount of the volume layer over an image file.
// Native only: the tools do not run under Wine.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disktest/host_files.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "fake_driver.h"
#include "filesystems/hfs_volume.h"
#include "image_volume.h"

namespace hfstest {

using ScratchDir = DiskTest::TempDir;

using DiskTest::Quote;
// Runs a shell command; false when it fails.
inline bool Run(const std::string& command, std::string* output = nullptr) {
  return DiskTest::RunOk(command, output);
}

// mkfs.hfsplus with `options` into a fresh sparse image of `megabytes`.
inline bool MakeImage(const std::string& path, const std::string& options,
                      std::uint64_t megabytes) {
  return Run("rm -f " + Quote(path) + " && truncate -s " + std::to_string(megabytes) + "M " +
             Quote(path) + " && mkfs.hfsplus " + options + " -v Fixture " + Quote(path));
}

// The journal tool: "write IMAGE CASE" or "replay IMAGE OUT".
inline bool JournalTool(const std::string& args, std::uint32_t sectorSize = 512,
                        std::string* output = nullptr) {
  return Run(Quote(HFS_PYTHON) + " " + Quote(std::string(HFS_TESTSUPPORT_DIR) + "/hfs_journal.py") + " " +
                 args + " --sector " + std::to_string(sectorSize),
             output);
}

// The populating tool: "IMAGE CONTENTS" (see testsupport/hfs_populate.py).
inline bool PopulateTool(const std::string& image, const std::string& contents,
                         std::string* output = nullptr) {
  return Run(Quote(HFS_PYTHON) + " " + Quote(std::string(HFS_TESTSUPPORT_DIR) + "/hfs_populate.py") +
                 " " + Quote(image) + " " + Quote(contents),
             output);
}

// A 32 MiB volume at `image` filled by the populating tool from `contents`
// (its listing, written beside the image).
inline bool MakePopulated(const std::string& image, const std::string& contents,
                          std::string* output = nullptr) {
  const std::string list = image + ".contents";
  {
    std::ofstream file(list);
    file << contents;
    if (!file) return false;
  }
  return MakeImage(image, "", 32) && PopulateTool(image, list, output);
}

// A small tree with a resource fork, a fragmented file, an empty file and
// an extended attribute, in the populating tool's listing form.
inline const char kSampleContents[] =
    "dir docs\n"
    "file readme.txt 1000\n"
    "file Docs2.bin 20000 rsrc=3000\n"
    "file docs/big.dat 100000 fragments=11\n"
    "file docs/empty 0\n"
    "dir docs/sub\n"
    "file docs/sub/Note.TXT 5000 xattr=user.tag:hello\n";

// The content the populating tool writes for a file of `size` at `path`.
inline std::string PopulatedContent(const std::string& path, std::size_t size) {
  std::uint32_t seed = 0;
  for (unsigned char c : path) seed += c;
  seed &= 0xFF;
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = char((seed + i * 13 + (i >> 9)) & 0xFF);
  return out;
}

// fsck.hfsplus -f -n: true when the checker finds the volume clean.
inline bool CheckerClean(const std::string& image, std::string* output = nullptr) {
  return Run("fsck.hfsplus -f -n " + Quote(image), output);
}

// The checker's findings without the line naming the image: mkfs.hfsplus -s
// makes HFSX volumes that the checker already faults (a folder-count flag
// of the root), so HFSX tests ask that a mount adds nothing to them.
inline std::string CheckerFindings(const std::string& image) {
  std::string out;
  Run("fsck.hfsplus -f -n " + Quote(image), &out);
  std::string kept;
  for (const std::string& line : DiskTest::Lines(out)) {
    if (line.find(image) == std::string::npos) kept += line + "\n";
  }
  return kept;
}

struct FsstatSizes {
  std::uint64_t blockSize = 0, lastBlock = 0, freeBlocks = 0;
};
inline FsstatSizes Fsstat(const std::string& image) {
  const std::string out = DiskTest::RunCommand("fsstat " + Quote(image) + " 2>/dev/null");
  FsstatSizes s;
  s.blockSize = DiskTest::Number(out, "Allocation Block Size: ([0-9]+)");
  s.lastBlock = DiskTest::Number(out, "Block Range: 0 - ([0-9]+)");
  s.freeBlocks = DiskTest::Number(out, "Number of Free Blocks: ([0-9]+)", ~0ull);
  return s;
}

// The images are large and sparse: compared and hashed by the tools
// rather than read whole into memory.
inline std::string Digest(const std::string& path) {
  return DiskTest::RunCommand("sha256sum " + Quote(path) + " 2>/dev/null").substr(0, 64);
}

inline bool SameFiles(const std::string& a, const std::string& b) {
  return Run("cmp -s " + Quote(a) + " " + Quote(b));
}

// The sectors in which two images of one size differ (cmp -l).
inline std::set<std::uint64_t> DifferingSectors(const std::string& a, const std::string& b,
                                                std::uint32_t sectorSize) {
  std::set<std::uint64_t> sectors;
  const std::string out = DiskTest::RunCommand("cmp -l " + Quote(a) + " " + Quote(b) + " 2>/dev/null");
  for (const std::string& line : DiskTest::Lines(out)) {
    const std::uint64_t byte = std::strtoull(line.c_str(), nullptr, 10);
    if (byte != 0) sectors.insert((byte - 1) / sectorSize);
  }
  return sectors;
}

inline std::uint32_t NextCacheKey() {
  static std::uint32_t key = 0x23000;
  return ++key;
}

// A cache host over an image file: the framework's driver base with its
// block cache, as the HFS+ driver will have it.
struct Host {
  Host(const std::string& path, std::uint32_t sectorSize, bool readOnlyDevice = false)
      : device(new fstest::ImageVolume(path, sectorSize, 0, readOnlyDevice)) {
    const std::uint64_t sectors = std::filesystem::file_size(path) / sectorSize;
    driver = std::make_unique<fstest::FakeDriver>(device.get(), 0, sectors, NextCacheKey());
  }
  std::unique_ptr<fstest::ImageVolume> device;
  std::unique_ptr<fstest::FakeDriver> driver;
};

// The volume layer mounted over an image file.
struct Mounted {
  explicit Mounted(const std::string& path, std::uint32_t sectorSize = 512,
                   const std::uint8_t* bitmap = nullptr, std::uint32_t bitmapBytes = 0)
      : host(path, sectorSize) {
    volume = std::make_unique<filesystems::hfsplus::Volume>(host.driver.get(), bitmap, bitmapBytes);
  }
  ~Mounted() {
    volume.reset();
    host.driver.reset();
  }
  filesystems::hfsplus::Volume* operator->() const { return volume.get(); }

  Host host;
  std::unique_ptr<filesystems::hfsplus::Volume> volume;
};

}  // namespace hfstest

#endif
