// Mounting, walking and reading a small volume whose bytes are the input:
// directories with damaged dot entries, long-name sets and chains, files
// whose chains end early, loop or cross, all through the framework's view.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fdisk/simple_disk.h"
#include "files/dir.h"
#include "filesystems/fat_driver.h"
#include "input_volume.h"

namespace {

constexpr std::uint64_t kVolumeSectors = 16384;

void Walk(i_dir* dir, int depth, int& budget) {
  std::unique_ptr<i_dir::iterator> it(dir->list());
  for (; it && it->is_ok() && --budget > 0; it->next()) {
    (void)it->name();
    (void)it->short_name();
    (void)it->allocated_size();
    (void)it->write_time();
    std::unique_ptr<file_identifier> id(it->id());
    if (it->object_type() == 128) {
      if (depth < 6) {
        std::unique_ptr<i_dir> child(dir->open_dir_at(it.get()));
        if (child) Walk(child.get(), depth + 1, budget);
      }
      continue;
    }
    std::unique_ptr<i_file> file(dir->open_file_at(it.get(), true));
    if (!file) continue;
    char buffer[4096];
    for (int k = 0; k < 64 && file->is_ok(); ++k) {
      std::uint32_t done = 0;
      file->read(buffer, sizeof buffer, done);
      if (done == 0) break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 512 || size > 256 * 1024) return 0;
  fstest::InputVolume device(data, size, kVolumeSectors);
  filesystems::FileSystemDriver* driver = filesystems::OpenFATVolume(
      &device, 0, kVolumeSectors, 0xF0F1, nullptr, nullptr, 0);
  if (!driver) return 0;
  driver->AddUse();
  {
    std::unique_ptr<rio_dir> root(driver->OpenRootDirectory());
    int budget = 2000;
    if (root) Walk(root.get(), 0, budget);
  }
  driver->Release();
  return 0;
}
