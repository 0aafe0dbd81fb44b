// diskimage's commands for dynamic volumes. Each volume change goes through
// the real stage to the dynamic-disk driver, as a real operation that the
// driver commits to every member; the stage puts back the sectors written
// when it fails. The disk conversions, which the stage has no operation
// for, reach the driver directly under a write journal of their own.
//
//   create-volume LAYOUT SIZE [--disks D[:SIZE],...] [--stripe SECTORS]
//                 [--name GROUP]
//       LAYOUT simple, spanned, striped, mirror, raid5 or raid01; SIZE in
//       sectors. Without --disks the driver chooses the disks of GROUP (or
//       of the only group); a disk's SIZE is its share of a spanned volume.
//   delete-volume GROUP VOLUME
//   shrink-volume GROUP VOLUME SIZE
//   grow-volume GROUP VOLUME SIZE [--disks D[:SIZE][@PLEX],...] [--restricted]
//               [--keep-type]
//       Without --disks the volume grows on the disks it ends on: the last
//       piece's disk, each plex's last disk, or every column's disk.
//       --restricted never lengthens a piece; --keep-type then refuses to
//       give a simple volume a second piece.
//   add-mirror GROUP VOLUME D[:SIZE],...  a new plex on those disks (one per
//       column for a striped volume); it is read only once written
//   remove-mirror GROUP VOLUME PLEX      PLEX the number after the plex name's '-'
//   replace-column GROUP VOLUME COLUMN DISK
//   write-volume GROUP VOLUME            standard input's bytes from sector 0
//   reactivate-volume GROUP VOLUME       stale plexes and columns are written
//                                        from the volume's bytes, then read
//   make-dynamic DISK                    the basic disk joins the first group
//                                        (a new one when there is none); its
//                                        partitions become simple volumes
//   make-basic DISK                      an empty member leaves its group
//   remove-disk DISK                     the member's volume pieces are removed
//                                        (a mirror keeps its other plexes, a
//                                        parity volume its other columns),
//                                        then it leaves its group
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/disk_operations.h"
#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/ps_manager.h"
#include "fdisk/write_journal.h"
#include "ldm/driver.h"

namespace {

namespace K = Fdisk::NamedVars::Keys;

struct Usage {
  std::string text;
};

std::uint64_t Count(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-') {
    throw Usage{std::string("bad ") + what + ": " + text};
  }
  return v;
}

class DynamicCommands {
 public:
  DynamicCommands(Fdisk::Computer& computer, std::uint32_t stageId, std::uint32_t computerId,
                  const std::vector<std::uint32_t>& diskIds)
      : computer_(computer), stageId_(stageId), computerId_(computerId), diskIds_(diskIds) {}

  int Run(const std::string& command, const std::vector<std::string>& args) {
    if (command == "create-volume") return CreateVolume(args);
    if (command == "delete-volume") {
      Expect(args, 2);
      return Staged([&]() {
        Fdisk::NamedVars::VarContainer p = Base();
        p.Set(K::PortionID, static_cast<unsigned long>(VolumePortion(args[0], args[1])));
        return ThroughStage("delete", p);
      });
    }
    if (command == "shrink-volume") {
      Expect(args, 3);
      const std::uint64_t size = Count(args[2], "size");
      return Staged([&]() {
        Fdisk::NamedVars::VarContainer p = Base();
        const unsigned long portion = VolumePortion(args[0], args[1]);
        p.Set(K::PortionID, portion);
        p.Set(Fdisk::NamedVars::VarKeyT<unsigned long>("portion"), portion);
        p.Set(K::VolumeSize, Fdisk::NamedVars::VarU64(size));
        return ThroughStage("change", p);
      });
    }
    if (command == "grow-volume") return GrowVolume(args);
    if (command == "reactivate-volume") {
      Expect(args, 2);
      return Staged([&]() {
        Fdisk::NamedVars::VarContainer p = Base();
        const unsigned long portion = VolumePortion(args[0], args[1]);
        p.Set(K::PortionID, portion);
        p.Set(Fdisk::NamedVars::VarKeyT<unsigned long>("portion"), portion);
        p.Set(K::ReactivateVolume, true);
        return ThroughStage("change", p);
      });
    }
    if (command == "add-mirror" || command == "remove-mirror" || command == "replace-column") {
      Expect(args, command == "replace-column" ? 4 : 3);
      return Staged([&]() {
        Fdisk::NamedVars::VarContainer p = Base();
        Ldm::LdmRecord& volume = VolumeRecord(args[0], args[1]);
        const unsigned long portion = volume.ModelId();
        p.Set(K::PortionID, portion);
        p.Set(Fdisk::NamedVars::VarKeyT<unsigned long>("portion"), portion);
        if (command == "add-mirror") {
          p.Set(K::AddMirror, true);
          p.Set(K::OpRequest, ParseDisks(args[2], volume.volSize));
        } else if (command == "remove-mirror") {
          p.Set(K::RemoveMirror, true);
          p.Set(K::PlexIndex, static_cast<unsigned long>(Count(args[2], "plex")));
        } else {
          p.Set(K::ReplaceColumn, true);
          p.Set(K::StripeIndex, static_cast<unsigned long>(Count(args[2], "column")));
          p.Set(K::OpRequest, ParseDisks(args[3], 0));
        }
        return ThroughStage("change", p);
      });
    }
    if (command == "make-dynamic" || command == "make-basic" || command == "remove-disk") {
      Expect(args, 1);
      const std::uint64_t index = Count(args[0], "disk");
      if (index >= diskIds_.size()) throw Usage{"no disk " + args[0]};
      return DiskChange(command, diskIds_[index]);
    }
    if (command == "write-volume") {
      Expect(args, 2);
      return WriteVolume(args);
    }
    throw Usage{"unknown command " + command};
  }

 private:
  static void Expect(const std::vector<std::string>& args, std::size_t n) {
    if (args.size() != n) throw Usage{"wrong number of arguments"};
  }

  Fdisk::PSLdmDriver* FindDriver() {
    Fdisk::PSDriverFactory& factory = computer_.GetDriverFactory();
    for (std::uint32_t id : computer_.GetPortionManager().GetDriverIds()) {
      if (auto* d = dynamic_cast<Fdisk::PSLdmDriver*>(&factory.GetDriver(id))) return d;
    }
    return nullptr;
  }

  Fdisk::PSLdmDriver& Driver() {
    if (Fdisk::PSLdmDriver* d = FindDriver()) return *d;
    Fdisk::ThrowError(0, 0, Fdisk::kErrDriverNotFound, Fdisk::Msg::kDriverNotFound);
  }

  Fdisk::NamedVars::VarContainer Base() const {
    Fdisk::NamedVars::VarContainer p;
    p.Set(K::StageID, static_cast<unsigned long>(stageId_));
    p.Set(K::ComputerID, static_cast<unsigned long>(computerId_));
    p.Set(K::RealOperation, true);
    return p;
  }

  Ldm::LdmDgAccess& Group(const std::string& name) {
    for (const auto& g : Driver().Model().groups) {
      if (g->name == name) return *g;
    }
    Fdisk::ThrowError(Ldm::MakeLdmError(0, Ldm::kErrNoGroup));
  }

  std::uint32_t VolumePortion(const std::string& group, const std::string& volume) {
    for (const auto& v : Driver().Model().volumes) {
      if (v->group->name == group && v->record->name == volume) return v->record->ModelId();
    }
    Fdisk::ThrowError(0, 0, Fdisk::kErrVolumeNotFound, Fdisk::Msg::kVolumeNotFound);
  }

  // Any portion of the dynamic-disk driver's own: the manager finds the
  // driver of a change through it.
  std::uint32_t AnyDynamicPortion() {
    Fdisk::PSLdmDriver& ldm = Driver();
    for (auto& entry : ldm.GetPortions()) {
      if (entry.second.GetDriverId() == ldm.GetId()) return entry.first;
    }
    Fdisk::ThrowError(0, 0, Fdisk::kErrPartitionNotFound, Fdisk::Msg::kPartitionNotFound);
  }

  // One volume change through the real stage, which locks the disks the
  // volume lies on, puts back every sector written when the change fails
  // and reads the disks again.
  Common::Error ThroughStage(const std::string& op, Fdisk::NamedVars::VarContainer p) {
    Fdisk::Stage& stage = Fdisk::StageRegistry::GetStage(stageId_);
    if (op == "create") return stage.Create(p).first;
    const unsigned long portion = p.Get(K::PortionID);
    p.Set(K::VolumeID, static_cast<unsigned long>(Fdisk::AddPortionVolume(computer_, portion)));
    return op == "delete" ? stage.Delete(p) : stage.Change(p);
  }

  template <class Change>
  int Staged(Change change) {
    const Common::Error e = change();
    computer_.GetPortionManager().Refresh(Fdisk::PSManager::kRefreshFull);
    if (e) Fdisk::ThrowError(e);
    return 0;
  }

  // Runs one change; a failure puts back every sector written and reads
  // the disks again before it is reported.
  template <class Change>
  int Journaled(Change change) {
    Common::Error e;
    {
      Fdisk::WriteJournal journal;
      e = change();
      if (e) journal.Rollback();
    }
    computer_.GetPortionManager().Refresh(Fdisk::PSManager::kRefreshFull);
    if (e) Fdisk::ThrowError(e);
    return 0;
  }

  int CreateVolume(const std::vector<std::string>& args) {
    if (args.size() < 2) throw Usage{"wrong number of arguments"};
    static const std::pair<const char*, Fdisk::LdmVolType> kLayouts[] = {
        {"simple", Fdisk::kLdmVolSimple}, {"spanned", Fdisk::kLdmVolSpanned},
        {"striped", Fdisk::kLdmVolStriped}, {"mirror", Fdisk::kLdmVolMirrored},
        {"raid5", Fdisk::kLdmVolRaid5},   {"raid01", Fdisk::kLdmVolRaid01}};
    Fdisk::LdmVolType type = Fdisk::kLdmVolInvalid;
    for (const auto& l : kLayouts) {
      if (args[0] == l.first) type = l.second;
    }
    if (type == Fdisk::kLdmVolInvalid) throw Usage{"unknown layout " + args[0]};
    const std::uint64_t size = Count(args[1], "size");
    Fdisk::NamedVars::VarContainer p = Base();
    p.Set(K::VolumeType, type);
    p.Set(K::VolumeSize, Fdisk::NamedVars::VarU64(size));
    std::deque<Fdisk::LdmOpRequest> requests;
    for (std::size_t i = 2; i < args.size(); i += 2) {
      if (i + 1 >= args.size()) throw Usage{"missing value of " + args[i]};
      const std::string& value = args[i + 1];
      if (args[i] == "--disks") {
        std::istringstream in(value);
        for (std::string item; std::getline(in, item, ',');) {
          Fdisk::LdmOpRequest r;
          const std::size_t colon = item.find(':');
          const std::uint64_t index = Count(item.substr(0, colon), "disk");
          if (index >= diskIds_.size()) throw Usage{"no disk " + item};
          r.diskId = diskIds_[index];
          r.size = colon == std::string::npos ? size : Count(item.substr(colon + 1), "share");
          requests.push_back(r);
        }
      } else if (args[i] == "--stripe") {
        p.Set(K::StripeSize, static_cast<unsigned long>(Count(value, "stripe")));
      } else if (args[i] == "--name") {
        p.Set(K::GroupGuid, Group(value).GetGroupGuid());
      } else {
        throw Usage{"unknown option " + args[i]};
      }
    }
    p.Set(K::OpRequest, requests);
    return Staged([&]() {
      p.Set(K::PortionID, static_cast<unsigned long>(AnyDynamicPortion()));
      return ThroughStage("create", p);
    });
  }

  // "D[:SIZE][@PLEX],..." as requests; a missing SIZE is `size`.
  std::deque<Fdisk::LdmOpRequest> ParseDisks(const std::string& value, std::uint64_t size) {
    std::deque<Fdisk::LdmOpRequest> requests;
    std::istringstream in(value);
    for (std::string item; std::getline(in, item, ',');) {
      Fdisk::LdmOpRequest r;
      const std::size_t at = item.find('@');
      if (at != std::string::npos) {
        r.plexIndex = static_cast<std::uint32_t>(Count(item.substr(at + 1), "plex"));
        item = item.substr(0, at);
      }
      const std::size_t colon = item.find(':');
      const std::uint64_t index = Count(item.substr(0, colon), "disk");
      if (index >= diskIds_.size()) throw Usage{"no disk " + item};
      r.diskId = diskIds_[index];
      r.size = colon == std::string::npos ? size : Count(item.substr(colon + 1), "share");
      requests.push_back(r);
    }
    return requests;
  }

  Ldm::LdmRecord& VolumeRecord(const std::string& group, const std::string& volume) {
    for (const auto& v : Driver().Model().volumes) {
      if (v->group->name == group && v->record->name == volume) return *v->record;
    }
    Fdisk::ThrowError(0, 0, Fdisk::kErrVolumeNotFound, Fdisk::Msg::kVolumeNotFound);
  }

  // The disks a volume grows on when none are named: where it ends.
  std::deque<Fdisk::LdmOpRequest> EndDisks(const std::string& groupName, Ldm::LdmRecord& volume,
                                           std::uint64_t size) {
    Ldm::LdmDgAccess& group = Group(groupName);
    const std::uint64_t growth = size > volume.volSize ? size - volume.volSize : 0;
    std::deque<Fdisk::LdmOpRequest> requests;
    auto add = [&](std::uint64_t rid, std::uint32_t plex) {
      Ldm::LdmDisk* disk = group.FindDisk(rid);
      if (disk == nullptr) return;
      for (const auto& r : requests) {
        if (r.diskId == disk->GetDiskId() && r.plexIndex == plex) return;
      }
      Fdisk::LdmOpRequest r;
      r.diskId = disk->GetDiskId();
      r.size = growth;
      r.plexIndex = plex;
      requests.push_back(r);
    };
    const Fdisk::LdmVolType type = group.GetVolumeType(volume);
    for (const Ldm::LdmRecord* plex : volume.children) {
      const Ldm::LdmRecord* last = nullptr;
      for (const Ldm::LdmRecord* sd : plex->children) {
        if (type == Fdisk::kLdmVolSimple || type == Fdisk::kLdmVolSpanned ||
            type == Fdisk::kLdmVolMirrored) {
          if (last == nullptr || sd->volOff > last->volOff) last = sd;
        } else {
          add(sd->diskRid, plex->GetPlexNumber());
        }
      }
      if (last != nullptr) add(last->diskRid, plex->GetPlexNumber());
    }
    return requests;
  }

  int GrowVolume(const std::vector<std::string>& args) {
    if (args.size() < 3) throw Usage{"wrong number of arguments"};
    const std::uint64_t size = Count(args[2], "size");
    Fdisk::NamedVars::VarContainer p = Base();
    bool restricted = false;
    bool keepType = false;
    std::string disks;
    for (std::size_t i = 3; i < args.size(); ++i) {
      if (args[i] == "--restricted") {
        restricted = true;
      } else if (args[i] == "--keep-type") {
        keepType = true;
      } else if (args[i] == "--disks" && i + 1 < args.size()) {
        disks = args[++i];
      } else {
        throw Usage{"unknown option " + args[i]};
      }
    }
    return Staged([&]() {
      Ldm::LdmRecord& volume = VolumeRecord(args[0], args[1]);
      const std::uint64_t growth = size > volume.volSize ? size - volume.volSize : 0;
      const unsigned long portion = volume.ModelId();
      p.Set(K::PortionID, portion);
      p.Set(Fdisk::NamedVars::VarKeyT<unsigned long>("portion"), portion);
      p.Set(K::VolumeSize, Fdisk::NamedVars::VarU64(size));
      p.Set(K::ModifyVolumeType, !keepType);
      p.Set(K::OpRequest, disks.empty() ? EndDisks(args[0], volume, size) : ParseDisks(disks, growth));
      // The other service's rules: it only ever adds pieces, and the raw
      // way follows them when asked for that service.
      if (restricted) p.Set(K::WindowsLdm, true);
      return ThroughStage("change", p);
    });
  }

  // A disk made dynamic or basic, under its lock, all or nothing.
  int DiskChange(const std::string& command, std::uint32_t diskId) {
    return Journaled([&]() {
      Fdisk::PSPortion& any = computer_.FindPortion(AnyPortionOnDisk(diskId));
      Fdisk::Utility::ScopedDiskLock lock(std::make_unique<Fdisk::Utility::DiskLocker>(
          stageId_, computerId_, any.GetId()));
      Fdisk::DiskMap disks;
      disks[diskId] = &computer_.FindDisk(diskId);
      Fdisk::Layer none;
      Fdisk::NamedVars::VarContainer p = Base();
      Fdisk::PSDriverFactory& factory = computer_.GetDriverFactory();
      // With no dynamic disk yet the factory keeps no dynamic-disk driver:
      // one is made over the layers below for this change.
      std::unique_ptr<Fdisk::PSLdmDriver> own;
      Fdisk::PSLdmDriver* ldm = FindDriver();
      if (ldm == nullptr) {
        Fdisk::PSManager& manager = computer_.GetPortionManager();
        own = std::make_unique<Fdisk::PSLdmDriver>();
        own->GetProperties().Set(K::StageID, static_cast<unsigned long>(stageId_));
        own->GetProperties().Set(K::ComputerID, static_cast<unsigned long>(computerId_));
        const Common::Error e = own->ProcessDisks(manager.GetRawLayer(), manager.GetHeadLayer());
        if (e) return e;
        ldm = own.get();
      }
      if (command == "make-dynamic") return ldm->InitDisks(factory, disks, none, p);
      p.Set(K::RemoveCleanup, command == "remove-disk");
      return ldm->RemoveDisks(factory, disks, none, p);
    });
  }

  // A portion of the head layer on the disk (the lock is taken through it).
  std::uint32_t AnyPortionOnDisk(std::uint32_t diskId) {
    for (auto& entry : computer_.GetPortionManager().GetHeadLayer()) {
      const Fdisk::PortionPlace place = Fdisk::PlaceOf(entry.second);
      if (place.found && place.diskId == diskId) return entry.first;
      auto* ldm = dynamic_cast<Fdisk::LdmLocation*>(&entry.second.GetLocation());
      if (ldm == nullptr) continue;
      for (const auto& e : ldm->GetExtents()) {
        if (e.second.diskId == diskId) return entry.first;
      }
    }
    Fdisk::ThrowError(0, 0, Fdisk::kErrPartitionNotFound, Fdisk::Msg::kPartitionNotFound);
  }

  int WriteVolume(const std::vector<std::string>& args) {
    const std::uint32_t portion = VolumePortion(args[0], args[1]);
    std::string bytes((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (bytes.size() % 512 != 0) throw Usage{"the input is not whole sectors"};
    Fdisk::SimpleDisk& view = Driver().GetPortions().at(portion).GetView();
    if (bytes.empty()) return 0;
    const Common::Error e = view.Io(Fdisk::kIoWrite, 0, bytes.data(), bytes.size() / 512);
    if (e) Fdisk::ThrowError(e);
    return 0;
  }

  Fdisk::Computer& computer_;
  std::uint32_t stageId_;
  std::uint32_t computerId_;
  const std::vector<std::uint32_t>& diskIds_;
};

}  // namespace

bool IsDynamicCommand(const std::string& word) {
  return word == "create-volume" || word == "delete-volume" || word == "shrink-volume" ||
         word == "grow-volume" || word == "add-mirror" || word == "remove-mirror" ||
         word == "replace-column" || word == "write-volume" || word == "make-dynamic" ||
         word == "reactivate-volume" ||
         word == "make-basic" || word == "remove-disk";
}

// The command's exit status; a usage error comes back in `usage`.
int RunDynamicCommand(Fdisk::Computer& computer, std::uint32_t stageId, std::uint32_t computerId,
                      const std::vector<std::uint32_t>& diskIds, const std::string& command,
                      const std::vector<std::string>& args, std::string* usage) {
  try {
    DynamicCommands commands(computer, stageId, computerId, diskIds);
    return commands.Run(command, args);
  } catch (const Usage& u) {
    *usage = u.text;
    return 2;
  }
}
