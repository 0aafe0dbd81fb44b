// bench_ldm_scan ROUNDS IMAGE...: runs the dynamic-disk start-up scan over
// the images ROUNDS times and prints the median wall time, the sectors read
// and read requests of one scan, and the groups and volumes found.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "disktest/image_disk.h"
#include "disktest/test_disk.h"
#include "ldm/group.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s ROUNDS IMAGE...\n", argv[0]);
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  std::vector<double> times;
  std::uint64_t sectors = 0, requests = 0, volumes = 0, groups = 0;
  for (int r = 0; r < rounds; ++r) {
    std::vector<std::unique_ptr<DiskTest::TestDisk>> disks;
    std::vector<DiskTest::ImageDisk*> images;
    Fdisk::DiskMap map;
    for (int i = 2; i < argc; ++i) {
      auto image = std::make_unique<DiskTest::ImageDisk>(argv[i], 512, true);
      images.push_back(image.get());
      disks.push_back(std::make_unique<DiskTest::TestDisk>(std::move(image)));
      map[disks.back()->GetId()] = disks.back().get();
    }
    Ldm::LdmComputer computer;
    const auto start = std::chrono::steady_clock::now();
    Ldm::LdmStartInit(map, computer);
    const auto end = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    sectors = requests = 0;
    for (DiskTest::ImageDisk* image : images) {
      sectors += image->Counters().sectorsRead;
      requests += image->Counters().reads;
    }
    volumes = computer.volumes.size();
    groups = computer.groups.size();
  }
  std::sort(times.begin(), times.end());
  std::printf("ours: median %.2f ms over %d rounds; %llu sectors in %llu reads; %llu groups, %llu volumes\n",
              times[times.size() / 2], rounds, (unsigned long long)sectors,
              (unsigned long long)requests, (unsigned long long)groups,
              (unsigned long long)volumes);
  return 0;
}
