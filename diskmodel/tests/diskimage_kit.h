// Running diskimage and the partitioning tools on the same image files, and
// bringing both listings to one form: one row per partition (free areas
// left out), ordered by first sector. Native only.
#pragma once

#if !defined(_WIN32)

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "disktest/run_command.h"
#include "fixtures/gpt_tools.h"

namespace DiskImageTest {

struct Row {
  int disk = 0;
  std::string scheme;
  std::string kind;
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  std::string type;
  std::string name;

  bool operator==(const Row& o) const {
    return std::tie(disk, scheme, kind, first, count, type, name) ==
           std::tie(o.disk, o.scheme, o.kind, o.first, o.count, o.type, o.name);
  }
};

inline std::ostream& operator<<(std::ostream& out, const Row& r) {
  return out << r.disk << ' ' << r.scheme << ' ' << r.kind << ' ' << r.first << '+' << r.count
             << ' ' << r.type << " '" << r.name << "'";
}

inline void Sort(std::vector<Row>& rows) {
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return std::make_tuple(a.disk, a.first, a.kind != "extended") <
           std::make_tuple(b.disk, b.first, b.kind != "extended");
  });
}

using DiskTest::Quote;

// Runs diskimage; its standard output, the exit status in `status`.
inline std::string DiskImage(const std::string& args, int* status = nullptr,
                             bool quiet = true) {
  int raw = 0;
  const std::string out =
      DiskTest::RunCommand(std::string(DISKIMAGE_PATH) + " " + args + (quiet ? " 2>/dev/null" : ""), &raw);
  if (status != nullptr) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

// The rows of `diskimage list` (free areas too when `withFree`).
inline std::vector<Row> ToolRows(const std::string& images, bool withFree = false) {
  int status = 0;
  std::istringstream in(DiskImage(images + " list", &status));
  std::vector<Row> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Row r;
    std::string first;
    std::string count;
    std::getline(fields, first, '\t');
    r.disk = std::atoi(first.c_str());
    std::getline(fields, r.scheme, '\t');
    std::getline(fields, r.kind, '\t');
    std::getline(fields, first, '\t');
    std::getline(fields, count, '\t');
    r.first = std::strtoull(first.c_str(), nullptr, 10);
    r.count = std::strtoull(count.c_str(), nullptr, 10);
    std::getline(fields, r.type, '\t');
    std::getline(fields, r.name, '\t');
    if (r.kind == "free" && !withFree) continue;
    rows.push_back(r);
  }
  if (status != 0) rows.clear();
  return rows;
}

// `sfdisk --json`, read by Python's json module, as rows of disk `disk`.
inline std::vector<Row> SfdiskRows(const std::string& path, int disk = 0) {
  const std::string script =
      "import json,sys\n"
      "t=json.load(sys.stdin)[\"partitiontable\"]\n"
      "for p in t.get(\"partitions\",[]):\n"
      "  n=int(p[\"node\"][len(t[\"device\"]):])\n"
      "  print(n,p[\"start\"],p[\"size\"],p[\"type\"])\n";
  std::istringstream in(DiskTest::RunCommand("sfdisk --json " + Quote(path) +
                                             " 2>/dev/null | python3 -c " + Quote(script)));
  std::vector<Row> rows;
  int number = 0;
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::string type;
  while (in >> number >> start >> size >> type) {
    Row r;
    r.disk = disk;
    r.scheme = "mbr";
    const unsigned t = unsigned(std::stoul(type, nullptr, 16));
    const bool extended = t == 0x05 || t == 0x0F || t == 0x85;
    r.kind = number > 4 ? "logical" : extended ? "extended" : "primary";
    r.first = start;
    r.count = size;
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02x", t);
    r.type = hex;
    r.name = "-";
    rows.push_back(r);
  }
  Sort(rows);
  return rows;
}

inline std::vector<Row> GptRows(const std::vector<GptTools::ToolEntry>& entries, int disk) {
  std::vector<Row> rows;
  for (const GptTools::ToolEntry& e : entries) {
    Row r;
    r.disk = disk;
    r.scheme = "gpt";
    r.kind = "gpt";
    r.first = e.first;
    r.count = e.last - e.first + 1;
    r.type = e.type;
    std::transform(r.type.begin(), r.type.end(), r.type.begin(), ::toupper);
    r.name = e.name.empty() ? "-" : e.name;
    rows.push_back(r);
  }
  Sort(rows);
  return rows;
}

// `sgdisk -p` and `-i` for 512-byte sectors.
inline std::vector<Row> SgdiskRows(const std::string& path, int disk = 0) {
  return GptRows(GptTools::SgdiskEntries(path), disk);
}

// `fdisk -b 4096 -l` for 4096-byte sectors.
inline std::vector<Row> Fdisk4kRows(const std::string& path, int disk = 0) {
  return GptRows(GptTools::Fdisk4kEntries(path), disk);
}

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<std::uint8_t> bytes(std::size_t(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  return bytes;
}

inline bool SfdiskVerify(const std::string& path) {
  int status = 0;
  const std::string out =
      DiskTest::RunCommand("sfdisk --verify " + Quote(path) + " 2>&1", &status);
  return status == 0 && out.find("No errors detected") != std::string::npos;
}

}  // namespace DiskImageTest

#endif
