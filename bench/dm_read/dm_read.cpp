// bench_dm_read: a striped or RAID-5 volume over member image files, read
// through the device mapper as the disk model reads a composite volume.
//
//   bench_dm_read fill KIND CHUNK MEMBER...
//       writes pseudo-random bytes over the whole volume (RAID-5 parity is
//       computed by the device mapper's own writes)
//   bench_dm_read read KIND CHUNK BLOCK ROUNDS MEMBER...
//       reads the whole volume from start to end in BLOCK-byte requests,
//       ROUNDS times; prints the median wall time in milliseconds, the
//       bytes read and a checksum of the volume's bytes
//
// KIND is striped or raid5, CHUNK the chunk in sectors; every member is one
// extent covering its whole image of 512-byte sectors. A member given as
// "-" is missing: a RAID-5 volume then reads degraded, rebuilding that
// column from parity.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disktest/image_disk.h"
#include "fdisk/layout_record.h"

namespace {

namespace DM = Fdisk::DM;
constexpr std::uint32_t kSector = 512;

class Members : public DM::LayoutDiskResolver {
 public:
  explicit Members(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
      if (path == "-") {
        disks_.push_back(nullptr);
      } else {
        disks_.push_back(std::make_unique<DiskTest::ImageDisk>(path, kSector));
      }
    }
  }
  Fdisk::SimpleDisk* ByHandle(std::uint64_t) override { return nullptr; }
  Fdisk::SimpleDisk* ByKey(std::uint32_t key) override {
    return key < disks_.size() ? disks_[key].get() : nullptr;
  }
  std::uint32_t IdOf(Fdisk::SimpleDisk* disk) override {
    for (std::size_t i = 0; i < disks_.size(); ++i) {
      if (disks_[i].get() == disk) return std::uint32_t(i + 1);
    }
    return 0;
  }
  // Sectors of each member: the smallest present image.
  std::uint64_t Sectors() const {
    std::uint64_t least = UINT64_MAX;
    for (const auto& d : disks_) {
      if (d) least = std::min<std::uint64_t>(least, d->GetSectorCount() + 1);
    }
    return least;
  }
  std::size_t Count() const { return disks_.size(); }

 private:
  std::vector<std::unique_ptr<DiskTest::ImageDisk>> disks_;
};

std::unique_ptr<DM::DMStdDisk> Volume(const std::string& kind, std::uint64_t chunk,
                                      Members& members, std::uint64_t* sectors) {
  DM::LayoutRecord record;
  DM::LayoutPlex plex;
  const bool raid5 = kind == "raid5";
  plex.type = raid5 ? DM::kPlexRaid5 : DM::kPlexStriped;
  plex.layout = raid5 ? DM::kLeftSymmetric : 0;
  plex.columns = std::uint32_t(members.Count());
  plex.chunk = chunk;
  std::uint64_t each = members.Sectors() / chunk * chunk;
  for (std::uint32_t i = 0; i < members.Count(); ++i) {
    DM::LayoutMember m;
    m.column = i;
    m.disk = members.ByKey(i) != nullptr ? i : DM::kLayoutMissingDisk;
    m.first = 0;
    m.length = each;
    m.usable = 1;
    plex.members.push_back(m);
  }
  record.plexes.push_back(plex);
  record.volumeSectors = each * (raid5 ? members.Count() - 1 : members.Count());
  *sectors = record.volumeSectors;
  return DM::CreateDMStdDisk(DM::BuildComposite(record, members), record.volumeSectors, kSector);
}

int Usage(const char* self) {
  std::fprintf(stderr,
               "usage: %s fill KIND CHUNK MEMBER...\n"
               "       %s read KIND CHUNK BLOCK ROUNDS MEMBER...\n",
               self, self);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return Usage(argv[0]);
  const std::string command = argv[1], kind = argv[2];
  const std::uint64_t chunk = std::strtoull(argv[3], nullptr, 0);
  if ((kind != "striped" && kind != "raid5") || chunk == 0) return Usage(argv[0]);
  try {
    if (command == "fill") {
      Members members(std::vector<std::string>(argv + 4, argv + argc));
      std::uint64_t sectors = 0;
      auto volume = Volume(kind, chunk, members, &sectors);
      const std::uint64_t step = chunk * (members.Count() - 1);
      std::vector<std::uint8_t> buffer(step * kSector);
      std::uint64_t state = 0x9E3779B97F4A7C15ull;
      for (std::uint64_t at = 0; at < sectors; at += step) {
        for (std::uint8_t& b : buffer) {
          state ^= state << 13, state ^= state >> 7, state ^= state << 17;
          b = std::uint8_t(state);
        }
        const std::uint64_t count = std::min(step, sectors - at);
        if (Common::Error e = volume->Io(Fdisk::kIoWrite, at, buffer.data(), count)) {
          std::fprintf(stderr, "write at %llu failed: %#x\n", (unsigned long long)at,
                       unsigned(e.Code()));
          return 1;
        }
      }
      return 0;
    }
    if (command != "read" || argc < 7) return Usage(argv[0]);
    const std::uint64_t block = std::strtoull(argv[4], nullptr, 0);
    const int rounds = std::atoi(argv[5]);
    if (block == 0 || block % kSector != 0 || rounds < 1) return Usage(argv[0]);
    std::vector<double> times;
    std::uint64_t sum = 0, bytes = 0;
    for (int r = 0; r < rounds; ++r) {
      Members members(std::vector<std::string>(argv + 6, argv + argc));
      std::uint64_t sectors = 0;
      auto volume = Volume(kind, chunk, members, &sectors);
      std::vector<std::uint8_t> buffer(block);
      const std::uint64_t per = block / kSector;
      sum = 0xCBF29CE484222325ull;
      bytes = 0;
      const auto start = std::chrono::steady_clock::now();
      for (std::uint64_t at = 0; at < sectors; at += per) {
        const std::uint64_t count = std::min(per, sectors - at);
        if (Common::Error e = volume->Io(Fdisk::kIoRead, at, buffer.data(), count)) {
          std::fprintf(stderr, "read at %llu failed: %#x\n", (unsigned long long)at,
                       unsigned(e.Code()));
          return 1;
        }
        // A light checksum (one word in eight) so that the bytes are used.
        for (std::uint64_t i = 0; i + 8 <= count * kSector; i += 64) {
          sum = (sum ^ Common::LoadLe64(buffer.data() + i)) * 0x100000001B3ull;
        }
        bytes += count * kSector;
      }
      const auto end = std::chrono::steady_clock::now();
      times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%.2f %llu %016llx\n", times[times.size() / 2], (unsigned long long)bytes,
                (unsigned long long)sum);
    return 0;
  } catch (const Common::Error& e) {
    std::fprintf(stderr, "device mapper error %#x\n", unsigned(e.Code()));
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
