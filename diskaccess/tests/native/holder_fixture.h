// A disk object over an image file, and the holder trees of such disks in a
// form that the partitioning tools' output can be compared with.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/holders.h"
#include "diskaccess/objects.h"
#include "disktest/run_command.h"

namespace DaTest {

// A plain disk whose sectors are an image file's, with the geometry a BIOS
// gives large disks (255 heads of 63 sectors).
class FileDisk : public plain_disk {
 public:
  FileDisk(const std::string& path, std::uint32_t sectorSize) : path_(path) {
    file_.open(path, std::ios::in | std::ios::out | std::ios::binary);
    EXPECT_TRUE(file_.is_open()) << path;
    file_.seekg(0, std::ios::end);
    const std::uint64_t bytes = static_cast<std::uint64_t>(file_.tellg());
    EXPECT_EQ(SetSectorSize(sectorSize).Code(), 0u);
    lastSector_ = bytes / sectorSize - 1;
    geometry_.sectorsPerTrack = 63;
    geometry_.highestHead = 254;
    ComputeCylinders();
    usable = 1;
  }
  ~FileDisk() override { holder_list.Clear(); }

  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override {
    const std::uint64_t size = GetSectorSize();
    if (sector > lastSector_ || count > lastSector_ - sector + 1)
      return Common::Error(1, 2, 0x102001);
    ++requests;
    file_.clear();
    if (op == Fdisk::kIoRead) {
      sectorsRead += count;
      file_.seekg(static_cast<std::streamoff>(sector * size));
      file_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(count * size));
    } else if (op == Fdisk::kIoWrite) {
      writes.push_back(sector);
      file_.seekp(static_cast<std::streamoff>(sector * size));
      file_.write(static_cast<const char*>(buffer), static_cast<std::streamsize>(count * size));
      file_.flush();
    }
    return file_ ? Common::Error() : Common::Error(1, 2, 0x102002);
  }

  std::uint64_t requests = 0, sectorsRead = 0;
  std::vector<std::uint64_t> writes;

 private:
  std::string path_;
  std::fstream file_;
};

// One partition as the tools print it and as the tree holds it.
struct Row {
  std::uint32_t number;
  std::uint64_t start, size;
  std::uint32_t type;
  bool operator==(const Row& o) const {
    return std::tie(number, start, size, type) == std::tie(o.number, o.start, o.size, o.type);
  }
  bool operator<(const Row& o) const { return number < o.number; }
};

inline std::ostream& operator<<(std::ostream& out, const Row& r) {
  return out << "#" << r.number << " " << r.start << "+" << r.size << " type " << std::hex
             << r.type << std::dec;
}

// `sfdisk --json`'s partitions, extended containers (05, 0f) left out.
inline std::vector<Row> SfdiskRows(const std::string& path) {
  const std::string json = DiskTest::RunCommand("sfdisk --json " + path + " 2>/dev/null");
  std::vector<Row> rows;
  const std::regex entry(
      "\"node\": \"[^\"]*?(\\d+)\",\\s*\"start\": (\\d+),\\s*\"size\": (\\d+),\\s*\"type\": "
      "\"([0-9a-f]+)\"");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), entry);
       it != std::sregex_iterator(); ++it) {
    const std::uint32_t type = std::stoul((*it)[4].str(), nullptr, 16);
    if (type == 0x05 || type == 0x0F) continue;
    rows.push_back(Row{static_cast<std::uint32_t>(std::stoul((*it)[1].str())),
                       std::stoull((*it)[2].str()), std::stoull((*it)[3].str()), type});
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// The tree's MBR partitions: number kind 0, start, size and the type byte
// as it stands on disk (a hidden entry with bit 0x10).
inline std::vector<Row> TreeRows(stddisk& disk) {
  std::vector<Row> rows;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
    if (!h->IsPartition() || !h->IsMbr()) continue;
    std::uint32_t type = h->GetType();
    if (h->GetHiddenState() == 1) type |= 0x10;
    rows.push_back(Row{h->GetNumber(0), h->start, h->size, type});
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

}  // namespace DaTest
