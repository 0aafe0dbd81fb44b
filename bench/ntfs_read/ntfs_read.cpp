// bench_ntfs_read: an NTFS volume in an image file (512-byte sectors)
// through the framework's views, as a caller of the system reads it.
//
//   bench_ntfs_read fill IMAGE DIRECTORY COUNT
//       makes /DIRECTORY holding COUNT empty files ("entry 0000000" ...);
//   bench_ntfs_read tree ROUNDS IMAGE
//       walks the whole tree (names, sizes, types), each round on a fresh
//       mount with a cold cache, and prints the median and the entry count;
//   bench_ntfs_read read ROUNDS IMAGE PATH
//       reads one file in 1 MiB requests, each round on a fresh mount, and
//       prints the median, the bytes read and their sum (for comparing with
//       the tools' output).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "files/dir.h"
#include "filesystems/ntfs_directory.h"
#include "filesystems/ntfs_driver.h"
#include "image_volume.h"

namespace {

std::uint32_t key = 0x5EEE0000u;

struct Mount {
  Mount(const char* image, bool readOnly) : device(image, 512, 0, readOnly) {
    const std::uint64_t sectors = std::filesystem::file_size(image) / 512;
    driver = filesystems::OpenNTFSVolume(&device, 0, sectors, ++key, nullptr, nullptr, 0);
    if (!driver) {
      std::fprintf(stderr, "not a sound NTFS volume\n");
      std::exit(1);
    }
    driver->AddUse();
  }
  ~Mount() { driver->Release(); }
  fstest::ImageVolume device;
  filesystems::FileSystemDriver* driver = nullptr;
};

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

template <class F>
double TimeMs(F f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::uint64_t Walk(i_dir* dir) {
  std::uint64_t count = 0;
  std::unique_ptr<i_dir::iterator> it(dir->list());
  for (; it && it->is_ok(); it->next()) {
    if (it->is_hidden()) continue;
    ++count;
    volatile std::uint64_t size = it->size();
    (void)size;
    if (IsDirectoryLike(it->object_type())) {
      std::unique_ptr<i_dir> child(dir->open_dir_at(it.get()));
      if (child) count += Walk(child.get());
    }
  }
  return count;
}

int Fill(const char* image, const std::string& directory, unsigned long count) {
  Mount m(image, false);
  auto* root = dynamic_cast<filesystems::ntfs::NTFSDirectory*>(m.driver->GetDirectoryObject(0));
  root->CreateDirectory(Wide(directory));
  auto* many = dynamic_cast<filesystems::ntfs::NTFSDirectory*>(
      m.driver->GetDirectoryObject(root->GetChildDirectoryId(Wide(directory))));
  char name[32];
  for (unsigned long i = 0; i < count; ++i) {
    // Names in a scattered order, so that inserts land all over the index.
    std::snprintf(name, sizeof name, "entry %07lu", (i * 7919ul) % count);
    try {
      filesystems::FileSystemDriver::FileObject* file = many->CreateFile(Wide(name));
      if (file->openCount == 0) delete file;
    } catch (const Common::Error& e) {
      std::fprintf(stderr, "entry %lu of %lu: error 0x%x at 0x%x in 0x%x\n", i, count, e.Code(),
                   e.Record() ? e.Record()->locationId : 0, e.Record() ? e.Record()->moduleId : 0);
      return 1;
    }
  }
  return 0;
}

int Tree(int rounds, const char* image) {
  std::vector<double> times;
  std::uint64_t count = 0;
  for (int r = 0; r < rounds; ++r) {
    times.push_back(TimeMs([&] {
      Mount m(image, true);
      std::unique_ptr<rio_dir> root(m.driver->OpenRootDirectory());
      count = Walk(root.get());
    }));
  }
  std::printf("tree: median %.2f ms, %llu entries\n", Median(times), (unsigned long long)count);
  return 0;
}

int Read(int rounds, const char* image, const std::string& path) {
  std::vector<double> times;
  std::uint64_t bytes = 0, sum = 0;
  std::vector<char> buffer(1 << 20);
  for (int r = 0; r < rounds; ++r) {
    times.push_back(TimeMs([&] {
      Mount m(image, true);
      std::unique_ptr<rio_dir> root(m.driver->OpenRootDirectory());
      std::unique_ptr<i_file> file(root->open_file(Wide(path).c_str(), true));
      if (!file) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
      }
      bytes = sum = 0;
      for (;;) {
        std::uint32_t done = 0;
        file->read(buffer.data(), std::uint32_t(buffer.size()), done);
        if (!file->is_ok() || done == 0) break;
        bytes += done;
        for (std::uint32_t i = 0; i < done; i += 4096) sum += std::uint8_t(buffer[i]);
      }
    }));
  }
  std::printf("read: median %.2f ms, %llu bytes, sample sum %llu\n", Median(times),
              (unsigned long long)bytes, (unsigned long long)sum);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "fill" && argc == 5) return Fill(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
  if (command == "tree" && argc == 4) return Tree(std::atoi(argv[2]), argv[3]);
  if (command == "read" && argc == 5) return Read(std::atoi(argv[2]), argv[3], argv[4]);
  std::fprintf(stderr,
               "usage: %s fill IMAGE DIRECTORY COUNT | tree ROUNDS IMAGE | read ROUNDS IMAGE PATH\n",
               argv[0]);
  return 2;
}
