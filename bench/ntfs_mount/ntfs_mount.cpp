// bench_ntfs_mount ROUNDS IMAGE: mounts the NTFS volume in IMAGE (512-byte
// sectors) ROUNDS times, each with a cold cache of its own, asks its sizes
// (which counts the free clusters once) and prints the median wall time and
// the sectors and read requests of one mount.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "filesystems/ntfs_driver.h"
#include "image_volume.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s ROUNDS IMAGE\n", argv[0]);
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  const std::uint64_t sectors = std::filesystem::file_size(argv[2]) / 512;
  std::vector<double> times;
  fstest::ImageVolume::Counters counters;
  std::uint64_t total = 0, free = 0, available = 0;
  for (int r = 0; r < rounds; ++r) {
    fstest::ImageVolume device(argv[2], 512, 0, true);
    const auto start = std::chrono::steady_clock::now();
    filesystems::FileSystemDriver* driver = filesystems::OpenNTFSVolume(
        &device, 0, sectors, 0x5EED0000u + std::uint32_t(r), nullptr, nullptr, 0);
    if (!driver) {
      std::fprintf(stderr, "not a sound NTFS volume\n");
      return 1;
    }
    driver->GetVolumeSizes(total, free, available);
    delete driver;
    const auto end = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    counters = device.GetCounters();
  }
  std::sort(times.begin(), times.end());
  std::printf("mount: median %.2f ms; %llu sectors in %llu reads; %llu bytes, %llu free\n",
              times[times.size() / 2], (unsigned long long)(counters.bytesRead / 512),
              (unsigned long long)counters.reads, (unsigned long long)total,
              (unsigned long long)free);
  return 0;
}
