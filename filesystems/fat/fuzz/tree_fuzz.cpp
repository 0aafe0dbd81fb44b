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

namespace {

// The input as the start of a volume whose other sectors read as zeros;
// writes are accepted and dropped.
class SparseVolume : public Fdisk::SimpleDisk {
 public:
  static constexpr std::uint64_t kSectors = 16384;
  SparseVolume(const std::uint8_t* data, std::size_t size)
      : Fdisk::SimpleDisk(512, kSectors - 1, Fdisk::Geometry()), data_(data), size_(size) {}
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector >= kSectors || count > kSectors - sector)
      return Common::Error(0x01, 0x7A12F002, 0x80070000u | 27);
    if (op != Fdisk::kIoRead) return Common::Error();
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::uint64_t at = sector * 512, bytes = count * 512;
    std::memset(out, 0, bytes);
    if (at < size_) std::memcpy(out, data_ + at, std::min<std::uint64_t>(bytes, size_ - at));
    return Common::Error();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

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
  SparseVolume device(data, size);
  filesystems::FileSystemDriver* driver = filesystems::OpenFATVolume(
      &device, 0, SparseVolume::kSectors, 0xF0F1, nullptr, nullptr, 0);
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
