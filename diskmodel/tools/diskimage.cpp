// diskimage: image files as the disks of a model computer, listed and
// edited through the real stage, the way the system changes real disks.
//
//   diskimage [--sector-size 512|4096] [--read-only] [--fail-write SECTOR]
//             IMAGE... COMMAND [ARGS]
//     list                                 the head layer, one portion a line:
//                                          DISK SCHEME KIND FIRST COUNT TYPE NAME
//     create DISK FIRST COUNT TYPE [NAME]  in the free portion holding FIRST
//     delete DISK FIRST                    the volume that starts at FIRST
//     set-type DISK FIRST TYPE
//     clear DISK
//     init-gpt DISK | init-mbr DISK        a blank disk
//     volumes                              one line per dynamic volume, by group
//                                          then name: GROUP VOLUME LAYOUT SIZE
//                                          CHUNK STATE EXTENTS
//     read-volume GROUP VOLUME             the volume's bytes on standard output
//     create-volume | delete-volume | shrink-volume | grow-volume | add-mirror |
//     remove-mirror | replace-column | write-volume | make-dynamic | make-basic |
//     remove-disk | reactivate-volume
//                                          dynamic volumes (diskimage_dynamic.cpp)
//     holders                              the disk-access layer's holder trees:
//                                          DISK DEPTH KIND FIRST COUNT TYPE
//                                          NUMBER LETTER NAME (diskimage_holders.cpp)
//
// On a dynamic disk `list` shows one line per piece of a dynamic volume
// (KIND volume, TYPE its layout, NAME the volume's) and the group's free
// space on the disk (KIND free), all with SCHEME ldm.
// --read-only opens the images for reading only, and --fail-write makes
// every write touching SECTOR of any image fail: both are for tests of the
// failure paths. For a logical partition FIRST is where its EBR goes; the
// partition itself starts on the next track.
// TYPE is two hex digits on an MBR disk and a GUID on a GPT disk. Errors go
// to standard error with their text and code; the exit status is then 1
// (2 for a usage error), and a failed command leaves the images as they were.
// A test and benchmark tool, not part of the product.
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <map>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "common/error.h"
#include "disktest/image_disk.h"
#include "disktest/test_disk.h"
#include "fdisk/disk_operations.h"
#include "fdisk/gpt_driver.h"
#include "fdisk/mbr_driver.h"
#include "fdisk/ps_manager.h"
#include "fdisk/raw_driver.h"
#include "fdisk/write_journal.h"
#include "foundation/guid.h"
#include "foundation/text.h"
#include "ldm/driver.h"

bool IsDynamicCommand(const std::string& word);
int RunDynamicCommand(Fdisk::Computer& computer, std::uint32_t stageId, std::uint32_t computerId,
                      const std::vector<std::uint32_t>& diskIds, const std::string& command,
                      const std::vector<std::string>& args, std::string* usage);

namespace {

namespace K = Fdisk::NamedVars::Keys;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr const char* kCommands[] = {"list",     "create",   "delete",  "set-type",   "clear",
                                     "init-gpt", "init-mbr", "volumes", "read-volume", "holders",
                                     "create-volume", "delete-volume", "shrink-volume",
                                     "grow-volume", "add-mirror", "remove-mirror",
                                     "replace-column", "write-volume", "make-dynamic",
                                     "make-basic", "remove-disk", "reactivate-volume"};

bool IsCommand(const std::string& word) {
  for (const char* c : kCommands) {
    if (word == c) return true;
  }
  return false;
}

std::uint64_t Number(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-') {
    throw UsageError(std::string("bad ") + what + ": " + text);
  }
  return v;
}

void PrintError(const Common::Error& error) {
  std::string text;
  Common::Utf16ToUtf8(text, Common::Describe(error));
  std::fprintf(stderr, "diskimage: %s (0x%06X)", text.empty() ? "error" : text.c_str(),
               unsigned(Common::GetErrorCode(error)));
  for (Common::Error cause = Common::GetErrorCause(error); cause;
       cause = Common::GetErrorCause(cause)) {
    std::string causeText;
    Common::Utf16ToUtf8(causeText, Common::Describe(cause));
    std::fprintf(stderr, "; cause: %s (0x%06X)", causeText.empty() ? "error" : causeText.c_str(),
                 unsigned(Common::GetErrorCode(cause)));
  }
  std::fprintf(stderr, "\n");
}

class Tool {
 public:
  // The stage's factory makes the drivers the product makes: raw, MBR, GPT
  // and dynamic disks.
  Tool(const std::vector<std::string>& images, std::uint32_t sectorSize, bool readOnly,
       long long failWrite) {
    Fdisk::RegisterDynamicDiskDriver();
    Fdisk::StageRegistry::Acquire();
    stage_ = &Fdisk::StageRegistry::GetStage(Fdisk::StageRegistry::GetRealStageId());
    computerId_ = stage_->CreateLocalComputer();
    computer_ = &stage_->GetComputer(computerId_);
    for (const std::string& path : images) {
      auto device = std::make_unique<DiskTest::ImageDisk>(path, sectorSize, readOnly);
      if (failWrite >= 0) device->FailRange(Fdisk::kIoWrite, std::uint64_t(failWrite), 1);
      diskIds_.push_back(
          computer_->AddDisk(std::make_unique<DiskTest::TestDisk>(std::move(device))));
    }
    computer_->GetPortionManager().Refresh(Fdisk::PSManager::kRefreshFull);
  }
  ~Tool() { Fdisk::StageRegistry::Release(); }

  int Run(const std::string& command, const std::vector<std::string>& args) {
    if (command == "list") return Expect(args, 0, 0), Print(BasicLines());
    if (command == "create") return Expect(args, 4, 5), Create(args);
    if (command == "delete") return Expect(args, 2, 2), Delete(args);
    if (command == "set-type") return Expect(args, 3, 3), SetType(args);
    if (command == "clear") return Expect(args, 1, 1), Clear(args);
    if (command == "volumes") return Expect(args, 0, 0), Volumes();
    if (command == "read-volume") return Expect(args, 2, 2), ReadVolume(args);
    if (IsDynamicCommand(command)) {
      std::string usage;
      const int status =
          RunDynamicCommand(*computer_, stage_->GetId(), computerId_, diskIds_, command, args, &usage);
      if (!usage.empty()) throw UsageError(usage);
      return status;
    }
    return Expect(args, 1, 1), Init(args, command == "init-gpt");
  }

 public:
  struct Line {
    std::size_t disk;
    std::string scheme;
    std::string kind;
    std::uint64_t first;
    std::uint64_t count;
    std::string type;
    std::string name;
  };

 private:
  static void Expect(const std::vector<std::string>& args, std::size_t least, std::size_t most) {
    if (args.size() < least || args.size() > most) throw UsageError("wrong number of arguments");
  }

  std::size_t DiskIndex(const std::string& text) const {
    const std::uint64_t index = Number(text, "disk");
    if (index >= diskIds_.size()) throw UsageError("no disk " + text);
    return std::size_t(index);
  }

  std::size_t IndexOfDisk(std::uint32_t id) const {
    return std::size_t(std::find(diskIds_.begin(), diskIds_.end(), id) - diskIds_.begin());
  }

  template <class T>
  T* Driver() const {
    Fdisk::PSDriverFactory& factory = computer_->GetDriverFactory();
    for (std::uint32_t id : computer_->GetPortionManager().GetDriverIds()) {
      if (T* d = dynamic_cast<T*>(&factory.GetDriver(id))) return d;
    }
    return nullptr;
  }

  Fdisk::NamedVars::VarContainer Base() const {
    Fdisk::NamedVars::VarContainer p;
    p.Set(K::StageID, static_cast<unsigned long>(stage_->GetId()));
    p.Set(K::ComputerID, static_cast<unsigned long>(computerId_));
    return p;
  }

  static std::string Hex2(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x", v & 0xFF);
    return text;
  }

  // The head layer's portions of the basic schemes and of blank disks.
 public:
  std::vector<Line> BasicLines() {
    std::vector<Line> lines;
    Fdisk::PSMbrDriver* mbr = Driver<Fdisk::PSMbrDriver>();
    Fdisk::PSGptDriver* gpt = Driver<Fdisk::PSGptDriver>();
    for (auto& entry : computer_->GetPortionManager().GetHeadLayer()) {
      Fdisk::PSPortion& portion = entry.second;
      Fdisk::PSPortion::Location& where = portion.GetLocation();
      // Dynamic volumes and free areas have lines of their own.
      if (dynamic_cast<Fdisk::LdmLocation*>(&where) != nullptr) continue;
      const Fdisk::PortionPlace place = Fdisk::PlaceOf(portion);
      if (!place.found) continue;
      Line line{IndexOfDisk(place.diskId), "raw", "raw", place.first, place.size, "-", "-"};
      if (auto* m = dynamic_cast<Fdisk::MbrLocation*>(&where)) {
        line.scheme = "mbr";
        line.kind = portion.IsFree() ? "free" : m->logical ? "logical" : "primary";
        if (!portion.IsFree()) {
          // The type byte as stored (a hidden type as its hidden form).
          Fdisk::Mbr::MbrDisk* table = mbr != nullptr ? mbr->GetTable(m->diskId) : nullptr;
          const Fdisk::Mbr::MbrEntry* e =
              table != nullptr ? table->FindByStart(m->firstSector) : nullptr;
          line.type = Hex2(e != nullptr ? e->OnDiskType() : m->type);
        }
      } else if (auto* g = dynamic_cast<Fdisk::GptLocation*>(&where)) {
        line.scheme = "gpt";
        line.kind = portion.IsFree() ? "free" : "gpt";
        if (!portion.IsFree()) {
          const Common::Guid unique = Common::Guid::FromBytes(g->uniqueGuid.data());
          const Fdisk::Gpt::GptEntry* e =
              gpt != nullptr && gpt->GetTable(g->diskId) != nullptr
                  ? gpt->GetTable(g->diskId)->FindByGuid(unique)
                  : nullptr;
          if (e != nullptr) {
            line.type = Common::GuidToString(e->TypeGuid());
            std::transform(line.type.begin(), line.type.end(), line.type.begin(), ::toupper);
            Common::Utf16ToUtf8(line.name, e->Name());
            if (line.name.empty()) line.name = "-";
          }
        }
      }
      lines.push_back(line);
    }
    // The extended partitions hold the logical ones; the layer does not show
    // containers, the table does.
    if (mbr != nullptr) {
      for (const auto& table : mbr->GetTables()) {
        for (const Fdisk::Mbr::MbrEntry& e : table.second->Entries()) {
          if (!e.inMbr || !e.IsEbr()) continue;
          lines.push_back(Line{IndexOfDisk(table.first), "mbr", "extended", e.first, e.size,
                               Hex2(e.OnDiskType()), "-"});
        }
      }
    }
    return lines;
  }

  static int Print(std::vector<Line> lines) {
    std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
      // An extended partition before the first logical one at its start.
      return std::make_tuple(a.disk, a.first, a.kind != "extended") <
             std::make_tuple(b.disk, b.first, b.kind != "extended");
    });
    for (const Line& l : lines) {
      std::printf("%zu\t%s\t%s\t%llu\t%llu\t%s\t%s\n", l.disk, l.scheme.c_str(), l.kind.c_str(),
                  static_cast<unsigned long long>(l.first),
                  static_cast<unsigned long long>(l.count), l.type.c_str(), l.name.c_str());
    }
    return 0;
  }

  static const char* LayoutName(Fdisk::LdmVolType type) {
    switch (type) {
      case Fdisk::kLdmVolSimple: return "simple";
      case Fdisk::kLdmVolSpanned: return "spanned";
      case Fdisk::kLdmVolStriped: return "striped";
      case Fdisk::kLdmVolMirrored: return "mirror";
      case Fdisk::kLdmVolRaid5:
      case Fdisk::kLdmVolStripeSetWithParity: return "raid5";
      default: return "invalid";
    }
  }

  // The dynamic volumes' pieces and the groups' free space, on the disks
  // given (pieces on absent members have no line).
 public:
  std::vector<Line> DynamicLines() {
    std::vector<Line> lines;
    Fdisk::PSLdmDriver* ldm = Driver<Fdisk::PSLdmDriver>();
    if (ldm == nullptr) return lines;
    std::map<std::uint32_t, std::string> names;
    for (const auto& volume : ldm->Model().volumes) {
      names[volume->record->ModelId()] = volume->record->name;
    }
    for (auto& entry : computer_->GetPortionManager().GetHeadLayer()) {
      auto* where = dynamic_cast<Fdisk::LdmLocation*>(&entry.second.GetLocation());
      if (where == nullptr) continue;
      const bool free = entry.second.IsFree();
      const auto name = names.find(entry.first);
      for (const auto& piece : where->GetExtents()) {
        const std::size_t disk = IndexOfDisk(piece.second.diskId);
        if (disk >= diskIds_.size()) continue;
        lines.push_back(Line{disk, "ldm", free ? "free" : "volume", piece.second.firstSector,
                             piece.second.length,
                             free ? "-" : LayoutName(where->GetVolumeType()),
                             free || name == names.end() ? "-" : name->second});
      }
    }
    return lines;
  }

 private:
  int Volumes() {
    Fdisk::PSLdmDriver* ldm = Driver<Fdisk::PSLdmDriver>();
    if (ldm == nullptr) return 0;
    for (const std::string& line : Ldm::VolumeLines(*ldm)) std::printf("%s\n", line.c_str());
    return 0;
  }

  int ReadVolume(const std::vector<std::string>& args) {
    Fdisk::PSLdmDriver* ldm = Driver<Fdisk::PSLdmDriver>();
    if (ldm == nullptr) {
      Fdisk::ThrowError(Fdisk::MakeError(0, 0, Fdisk::kErrVolumeNotFound,
                                         Fdisk::Msg::kVolumeNotFound));
    }
    // Whole into memory first: a read that fails part way writes nothing.
    std::ostringstream bytes;
    const Common::Error e = Ldm::ReadVolume(*ldm, args[0], args[1], bytes);
    if (e) Fdisk::ThrowError(e);
    const std::string out = bytes.str();
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
      throw std::runtime_error("cannot write the volume's bytes");
    }
    return 0;
  }


 private:
  // The MBR type of TYPE (two hex digits).
  static unsigned long MbrType(const std::string& text) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || text.size() > 2 || *end != '\0') throw UsageError("bad MBR type " + text);
    return v;
  }

  static Common::Guid GptType(const std::string& text) {
    Common::Guid g{};
    if (!Common::GuidFromString(g, text)) throw UsageError("bad GPT type " + text);
    return g;
  }

  // Whether `first` lies in the disk's extended partition.
  bool InExtended(std::uint32_t diskId, std::uint64_t first) const {
    Fdisk::PSMbrDriver* mbr = Driver<Fdisk::PSMbrDriver>();
    Fdisk::Mbr::MbrDisk* table = mbr != nullptr ? mbr->GetTable(diskId) : nullptr;
    if (table == nullptr) return false;
    for (const Fdisk::Mbr::MbrEntry& e : table->Entries()) {
      if (e.inMbr && e.IsEbr() && first >= e.first && first - e.first < e.size) return true;
    }
    return false;
  }

  int Create(const std::vector<std::string>& args) {
    const std::uint32_t diskId = diskIds_[DiskIndex(args[0])];
    const std::uint64_t first = Number(args[1], "first sector");
    const std::uint64_t count = Number(args[2], "count");
    const std::uint32_t free = Fdisk::FindPortionAt(*computer_, diskId, first, true);
    if (free == 0) {
      Fdisk::ThrowError(Fdisk::MakeError(0, 0, Fdisk::kErrPartitionNotFound,
                                         Fdisk::Msg::kPartitionNotFound));
    }
    Fdisk::NamedVars::VarContainer p = Base();
    p.Set(K::PortionID, static_cast<unsigned long>(free));
    p.Set(K::DiskID, static_cast<unsigned long>(diskId));
    p.Set(K::Start, Fdisk::NamedVars::VarU64(first));
    p.Set(K::Size, Fdisk::NamedVars::VarU64(count));
    Fdisk::PSPortion& portion = computer_->FindPortion(free);
    if (dynamic_cast<Fdisk::GptLocation*>(&portion.GetLocation()) != nullptr) {
      p.Set(K::PartitionType, GptType(args[3]));
      if (args.size() > 4) {
        std::u16string name;
        Common::Utf8ToUtf16(name, args[4]);
        p.Set(K::FriendlyName, name);
      }
    } else {
      if (args.size() > 4 && args[4] != "-") throw UsageError("MBR partitions have no name");
      p.Set(K::Type, MbrType(args[3]));
      p.Set(K::PrimaryFlag, !InExtended(diskId, first));
      p.Set(K::BeginAligned, false);
      p.Set(K::EndAligned, false);
    }
    const auto created = stage_->Create(p);
    if (created.first) Fdisk::ThrowError(created.first);
    return 0;
  }

  std::uint32_t VolumeAt(const std::string& disk, const std::string& first) {
    const std::uint32_t diskId = diskIds_[DiskIndex(disk)];
    const std::uint32_t portion =
        Fdisk::FindPortionAt(*computer_, diskId, Number(first, "first sector"));
    if (portion == 0) {
      Fdisk::ThrowError(Fdisk::MakeError(0, 0, Fdisk::kErrPartitionNotFound,
                                         Fdisk::Msg::kPartitionNotFound));
    }
    return Fdisk::AddPortionVolume(*computer_, portion);
  }

  int Delete(const std::vector<std::string>& args) {
    Fdisk::NamedVars::VarContainer p = Base();
    p.Set(K::VolumeID, static_cast<unsigned long>(VolumeAt(args[0], args[1])));
    const Common::Error e = stage_->Delete(p);
    if (e) Fdisk::ThrowError(e);
    return 0;
  }

  int SetType(const std::vector<std::string>& args) {
    Fdisk::NamedVars::VarContainer p = Base();
    const std::uint32_t volume = VolumeAt(args[0], args[1]);
    p.Set(K::VolumeID, static_cast<unsigned long>(volume));
    const unsigned long portion =
        dynamic_cast<Fdisk::Volume&>(computer_->FindVolume(volume)).GetProperties().Get(
            K::PortionID);
    if (dynamic_cast<Fdisk::GptLocation*>(
            &computer_->FindPortion(std::uint32_t(portion)).GetLocation()) != nullptr) {
      p.Set(K::PartitionType, GptType(args[2]));
    } else {
      p.Set(K::Type, MbrType(args[2]));
    }
    const Common::Error e = stage_->Change(p);
    if (e) Fdisk::ThrowError(e);
    return 0;
  }

  int Clear(const std::vector<std::string>& args) {
    Fdisk::NamedVars::VarContainer p = Base();
    p.Set(K::DiskID, static_cast<unsigned long>(diskIds_[DiskIndex(args[0])]));
    const Common::Error e = stage_->ClearDisk(p);
    if (e) Fdisk::ThrowError(e);
    return 0;
  }

  // InitDisks of a new driver of the scheme, committed, under the disk's
  // lock and all or nothing, like the stage's operations.
  int Init(const std::vector<std::string>& args, bool gpt) {
    const std::uint32_t diskId = diskIds_[DiskIndex(args[0])];
    Fdisk::PSManager& manager = computer_->GetPortionManager();
    std::uint32_t rawPortion = 0;
    for (auto& entry : manager.GetHeadLayer()) {
      Fdisk::GetRawLocationVisitor raw;
      entry.second.GetLocation().Accept(raw);
      if (raw.found && raw.diskId == diskId) rawPortion = entry.first;
    }
    if (rawPortion == 0) {
      // Only a disk without a partitioning is initialised.
      Fdisk::ThrowError(Fdisk::MakeError(0, 0, Fdisk::kErrInvalidParameter,
                                         Fdisk::Msg::kInvalidParameter));
    }
    Fdisk::Utility::ScopedDiskLock lock(std::make_unique<Fdisk::Utility::DiskLocker>(
        stage_->GetId(), computerId_, rawPortion));
    std::unique_ptr<Fdisk::PSDriver> driver;
    if (gpt) {
      driver = std::make_unique<Fdisk::PSGptDriver>();
    } else {
      driver = std::make_unique<Fdisk::PSMbrDriver>();
    }
    Fdisk::DiskMap disks{{diskId, &computer_->FindDisk(diskId)}};
    Fdisk::Layer portions;
    Fdisk::WriteJournal journal;
    try {
      Common::Error e = driver->InitDisks(computer_->GetDriverFactory(), disks, portions, Base());
      if (e) Fdisk::ThrowError(e);
      e = driver->Commit();
      if (e) Fdisk::ThrowError(e);
    } catch (const Common::Error&) {
      journal.Rollback();
      throw;
    }
    return 0;
  }

  Fdisk::Stage* stage_ = nullptr;
  std::uint32_t computerId_ = 0;
  Fdisk::Computer* computer_ = nullptr;
  std::vector<std::uint32_t> diskIds_;
};

int Usage() {
  std::fprintf(stderr,
               "usage: diskimage [--sector-size 512|4096] [--read-only] [--fail-write SECTOR]\n"
               "                 IMAGE... COMMAND [ARGS]\n"
               "  list | create DISK FIRST COUNT TYPE [NAME] | delete DISK FIRST\n"
               "  set-type DISK FIRST TYPE | clear DISK | init-gpt DISK | init-mbr DISK\n"
               "  volumes | read-volume GROUP VOLUME | holders\n"
               "  create-volume LAYOUT SIZE [--disks D[:SIZE],...] [--stripe SECTORS] [--name GROUP]\n"
               "  delete-volume GROUP VOLUME | shrink-volume GROUP VOLUME SIZE\n"
               "  grow-volume GROUP VOLUME SIZE [--disks D[:SIZE][@PLEX],...] [--restricted] [--keep-type]\n"
               "  add-mirror GROUP VOLUME D[:SIZE],... | remove-mirror GROUP VOLUME PLEX\n"
               "  replace-column GROUP VOLUME COLUMN DISK\n"
               "  write-volume GROUP VOLUME\n");
  return 2;
}

}  // namespace

int RunHoldersCommand(const std::vector<std::string>& images, std::uint32_t sectorSize);

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  std::uint32_t sectorSize = 512;
  std::size_t i = 0;
  if (i < words.size() && words[i] == "--sector-size") {
    if (i + 1 >= words.size()) return Usage();
    if (words[i + 1] == "512") {
      sectorSize = 512;
    } else if (words[i + 1] == "4096") {
      sectorSize = 4096;
    } else {
      return Usage();
    }
    i += 2;
  }
  bool readOnly = false;
  long long failWrite = -1;
  while (i < words.size()) {
    if (words[i] == "--read-only") {
      readOnly = true;
      ++i;
    } else if (words[i] == "--fail-write" && i + 1 < words.size()) {
      char* end = nullptr;
      failWrite = std::strtoll(words[i + 1].c_str(), &end, 10);
      if (words[i + 1].empty() || *end != '\0' || failWrite < 0) return Usage();
      i += 2;
    } else {
      break;
    }
  }
  std::vector<std::string> images;
  while (i < words.size() && !IsCommand(words[i])) images.push_back(words[i++]);
  if (images.empty() || i >= words.size()) return Usage();
  const std::string command = words[i++];
  const std::vector<std::string> args(words.begin() + std::ptrdiff_t(i), words.end());
  try {
    if (command == "holders") {
      if (!args.empty()) throw UsageError("wrong number of arguments");
      return RunHoldersCommand(images, sectorSize);
    }
    Tool tool(images, sectorSize, readOnly, failWrite);
    if (command == "list" && args.empty()) {
      // A dynamic disk shows as its volumes' pieces and the group's free
      // space only.
      std::vector<Tool::Line> lines = tool.BasicLines();
      const std::vector<Tool::Line> dynamic = tool.DynamicLines();
      lines.erase(std::remove_if(lines.begin(), lines.end(),
                                 [&](const Tool::Line& l) {
                                   for (const Tool::Line& d : dynamic) {
                                     if (d.disk == l.disk) return true;
                                   }
                                   return false;
                                 }),
                  lines.end());
      lines.insert(lines.end(), dynamic.begin(), dynamic.end());
      return Tool::Print(lines);
    }
    return tool.Run(command, args);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "diskimage: %s\n", e.what());
    return Usage();
  } catch (const Common::Error& e) {
    PrintError(e);
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "diskimage: %s\n", e.what());
    return 1;
  }
}
