// diskimage's `holders` command: the disk-access layer started over the
// snapshot-library stand-in with the images as its drives, and each disk's
// holder tree printed one holder a line, depth first:
//   DISK DEPTH KIND FIRST COUNT TYPE NUMBER LETTER NAME
// DISK is the image's index (the pseudo-disk's number for the volumes that
// live there), FIRST and COUNT are in sectors of that disk, NAME is a GPT
// partition's name or "-". The pseudo-disk's volumes follow the disks: the
// disk model's GPT partitions ("gpt-volume", TYPE their type GUID) and
// dynamic volumes ("dynamic-volume", TYPE their layout), each group's free
// space ("dynamic-free"), and the operating system's other volumes
// ("volume"); NAME is the volume's or group's GUID, and each piece on a
// disk follows at depth 1 as an "extent" line in that disk's sectors.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/model_holders.h"
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
  // The pseudo-disk has no number of its own.
  const std::string where = disk == 0xFFFFFFFFu ? "-" : std::to_string(disk);
  std::printf("%s\t%u\t%s\t%llu\t%llu\t%s\t%s\t%s\t%s\n", where.c_str(), depth, kind.c_str(),
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

std::string GuidName(const std::uint8_t* bytes) {
  if (bytes == nullptr) return "-";
  Common::Guid g;
  std::memcpy(g.bytes, bytes, 16);
  return Common::GuidToString(g);
}

std::string LayoutName(std::uint32_t type) {
  switch (type) {
    case Fdisk::kLdmVolSimple: return "simple";
    case Fdisk::kLdmVolSpanned: return "spanned";
    case Fdisk::kLdmVolStriped: return "striped";
    case Fdisk::kLdmVolMirrored: return "mirrored";
    case Fdisk::kLdmVolRaid5: return "raid5";
    case Fdisk::kLdmVolStripeSetWithParity: return "stripe-parity";
    case Fdisk::kLdmVolRaid01: return "raid01";
    default: return "-";
  }
}

// The pseudo-disk's volumes, each followed by its pieces on the disks.
void PrintVolumes(stddisk* pseudo, const std::map<std::uint32_t, std::size_t>& indexOf) {
  for (holder* v = pseudo->second_list.first; v != nullptr; v = v->next) {
    std::string kind = "volume", type = "-";
    const std::vector<DaExtent>* extents = nullptr;
    if (auto* g = dynamic_cast<const Fdisk::Old::GptHolder*>(v)) {
      kind = "gpt-volume";
      type = GuidName(g->GetTypeGuid());
    } else if (auto* l = dynamic_cast<const Fdisk::Old::LdmHolder*>(v)) {
      kind = "dynamic-volume";
      type = LayoutName(l->description.volume_type);
    } else if (auto* f = dynamic_cast<const Fdisk::Old::LdmFreeSpace*>(v)) {
      kind = "dynamic-free";
      extents = &f->extents;
    }
    if (auto* p = dynamic_cast<const BasePartitionHolder*>(v)) extents = &p->extents;
    const std::uint8_t letter = v->IsFreeSpace() ? kNoLetter : v->GetLetter(kLiveView);
    PrintLine(pseudo->GetDiskNumber(), 0, kind, v->start, v->size, type, kNoNumber, letter,
              GuidName(v->GetUniqueGuid()));
    if (extents == nullptr) continue;
    for (const DaExtent& x : *extents) {
      auto it = indexOf.find(x.diskKey);
      if (it == indexOf.end()) continue;
      PrintLine(it->second, 1, "extent", x.firstSector, x.sectorCount, "-", kNoNumber, kNoLetter,
                "-");
    }
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
  std::map<std::uint32_t, std::size_t> indexOf;
  stddisk* pseudo = nullptr;
  for (stddisk* disk = computer != nullptr ? computer->FirstDisk() : nullptr; disk != nullptr;
       disk = disk->next) {
    if (disk->IsEasyVolumeDisk()) {
      pseudo = disk;
      continue;
    }
    indexOf[disk->id] = index;
    // The tree the scan read; the tables are not read again.
    PrintTree(index, disk, nullptr, 0);
    ++index;
  }
  if (pseudo != nullptr) PrintVolumes(pseudo, indexOf);
  DaDone();
  sblib_standin::SetConfigPath("");
  std::remove(config.c_str());
  rmdir(folder);
  return 0;
}
