// diskimage's `holders` command: the disk-access layer started over the
// snapshot-library stand-in with the images as its drives, and each disk's
// holder tree printed one holder a line, depth first:
//   DISK DEPTH KIND FIRST COUNT TYPE NUMBER LETTER NAME
// DISK is the image's index (the pseudo-disk's number for the volumes that
// live there), FIRST and COUNT are in sectors of that disk, NAME is a GPT
// partition's name or "-".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "foundation/guid.h"
#include "foundation/text.h"
#include "sblib/standin.h"

namespace {

std::string Kind(const holder* h) {
  if (dynamic_cast<const MbrTableHolder*>(h)) return h->owner == nullptr ? "mbr" : "ebr";
  if (dynamic_cast<const MbrPartitionHolder*>(h)) return h->IsPrimary() ? "primary" : "logical";
  if (auto* g = dynamic_cast<const GptTableHolder*>(h)) {
    if (h->owner != nullptr) return "reserved";
    return g->record != nullptr ? "gpt" : "gpt-backup";
  }
  if (dynamic_cast<const GptPartitionHolder*>(h)) return "partition";
  if (dynamic_cast<const RawMetaHolder*>(h)) return "raw";
  if (dynamic_cast<const RawPartitionHolder*>(h)) return "whole";
  if (dynamic_cast<const UnsupHolder*>(h)) return "unsupported";
  if (h->IsFreeSpace()) return "free";
  return "holder";
}

std::string Type(const holder* h) {
  if (h->IsMbr() && h->owner != nullptr) {
    char text[8];
    std::uint8_t t = h->GetType();
    if (h->GetHiddenState() == 1) t |= 0x10;
    std::snprintf(text, sizeof text, "%02x", t);
    return text;
  }
  const std::uint8_t* guid = h->GetTypeGuid();
  if (guid == nullptr) {
    auto* g = dynamic_cast<const GptTableHolder*>(h);
    if (g != nullptr && g->owner != nullptr) {
      auto* area = dynamic_cast<const GptTableHolder*>(g->owner);
      if (area != nullptr && area->record && h->index < area->record->entries.size())
        guid = area->record->entries[h->index].type;
    }
  }
  if (guid == nullptr) return "-";
  Common::Guid g;
  std::memcpy(g.bytes, guid, 16);
  return Common::GuidToString(g);
}

std::string Text(const std::u16string& s) {
  if (s.empty()) return "-";
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (c < 0x80) out += static_cast<char>(c);
    else if (c < 0x800) out += {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
    else if (c < 0x10000)
      out += {char(0xE0 | c >> 12), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
    else
      out += {char(0xF0 | c >> 18), char(0x80 | ((c >> 12) & 0x3F)),
              char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
  }
  return out;
}

void PrintLine(std::size_t disk, unsigned depth, const std::string& kind, std::uint64_t first,
               std::uint64_t count, const std::string& type, std::uint32_t number,
               std::uint8_t letter, const std::string& name) {
  const std::string num = number == kNoNumber || number == 0 ? "-" : std::to_string(number);
  const std::string let = letter == kNoLetter || letter < 'A' || letter > 'Z'
                              ? "-" : std::string(1, static_cast<char>(letter));
  std::printf("%zu\t%u\t%s\t%llu\t%llu\t%s\t%s\t%s\t%s\n", disk, depth, kind.c_str(),
              static_cast<unsigned long long>(first), static_cast<unsigned long long>(count),
              type.c_str(), num.c_str(), let.c_str(), name.c_str());
}

void PrintTree(std::size_t index, stddisk* disk, holder* parent, unsigned depth) {
  for (holder* h = disk->holder_list.first; h != nullptr; h = h->next) {
    if (h->owner != parent) continue;
    // GPT partitions are known by their slot, as the GPT tools number them.
    std::uint32_t number = h->IsPartition() ? h->GetNumber(0) : kNoNumber;
    if (dynamic_cast<const GptPartitionHolder*>(h) != nullptr) number = h->index + 1;
    const std::uint8_t letter = h->IsPartition() ? h->GetLetter(kLiveView) : kNoLetter;
    PrintLine(index, depth, Kind(h), h->start, h->size, Type(h), number, letter,
              Text(h->GetName()));
    PrintTree(index, disk, h, depth + 1);
  }
}

}  // namespace

int RunHoldersCommand(const std::vector<std::string>& images, std::uint32_t sectorSize) {
  char folder[] = "/tmp/diskimage-holders-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    std::perror("diskimage: mkdtemp");
    return 1;
  }
  const std::string config = std::string(folder) + "/sblib.conf";
  {
    std::ofstream out(config);
    for (const std::string& image : images)
      out << "drive " << image << " sector=" << sectorSize << "\n";
  }
  sblib_standin::SetConfigPath(config);
  DaInit(0x1C11);
  std::size_t index = 0;
  da_computer* computer = DaLocalComputer();
  for (stddisk* disk = computer != nullptr ? computer->FirstDisk() : nullptr; disk != nullptr;
       disk = disk->next) {
    if (disk->IsEasyVolumeDisk()) {
      // Volumes outside partitions hang in the pseudo-disk.
      for (holder* v = disk->second_list.first; v != nullptr; v = v->next) {
        const std::uint8_t* identity = v->GetUniqueGuid();
        std::string name = "-";
        if (identity != nullptr) {
          Common::Guid g;
          std::memcpy(g.bytes, identity, 16);
          name = Common::GuidToString(g);
        }
        PrintLine(disk->GetDiskNumber(), 0, "volume", v->start, v->size, "-", kNoNumber,
                  v->GetLetter(kLiveView), name);
      }
      continue;
    }
    // The tree the scan read; the tables are not read again.
    PrintTree(index, disk, nullptr, 0);
    ++index;
  }
  DaDone();
  sblib_standin::SetConfigPath("");
  std::remove(config.c_str());
  rmdir(folder);
  return 0;
}
