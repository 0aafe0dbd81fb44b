// bench_resizer_copy SOURCE START DEST START SECTORS: copies SECTORS sectors
// of 512 bytes from SOURCE at START to DEST at START through the resizer's
// raw processor (one request, flags 0x540), as a caller of the disk layer
// does. SOURCE and DEST may be the same file: then it is a move.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "diskaccess/resizer.h"
#include "disktest/image_disk.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s SOURCE START DEST START SECTORS\n", argv[0]);
    return 2;
  }
  resizer::RegisterRawProcessor();
  const std::string from = argv[1], to = argv[3];
  const std::uint64_t fromStart = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t toStart = std::strtoull(argv[4], nullptr, 10);
  const std::uint64_t sectors = std::strtoull(argv[5], nullptr, 10);
  std::unique_ptr<DiskTest::ImageDisk> source(new DiskTest::ImageDisk(from, 512));
  std::unique_ptr<DiskTest::ImageDisk> other;
  if (to != from) other.reset(new DiskTest::ImageDisk(to, 512));
  Fdisk::SimpleDisk* target = other ? other.get() : source.get();
  PartitionParameters s, d;
  s.Device = source.get();
  s.SectorSize = 512;
  s.Start = fromStart;
  s.Length = s.FsLength = sectors;
  d.Device = target;
  d.SectorSize = 512;
  d.Start = toStart;
  d.Length = d.FsLength = sectors;
  FileSystemOptions options;
  bool touched = false;
  Common::Error result;
  Da::RunResizer(result, 0x540, &options, &s, nullptr, &d, &touched);
  if (!result.IsNull() && result.Code() != 0) {
    std::fprintf(stderr, "copy failed: 0x%x\n", result.Code());
    return 1;
  }
  return 0;
}
