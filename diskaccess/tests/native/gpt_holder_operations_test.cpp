// What the GPT holders tell the rest of the layer while they edit a table
// (the change announcements), the identity snapshot and its renewal, the
// copy of a disk's GPT holders onto another disk object, and the post-change
// pass; every table written back is judged by sgdisk.
#include <array>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/holders.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "foundation/guid.h"
#include "holder_fixture.h"
#include "standin_fixture.h"

namespace {

struct Announcement {
  da_computer* computer;
  bool letters;
  stddisk* disk;
  std::uint32_t level;
  bool operator==(const Announcement& o) const {
    return computer == o.computer && letters == o.letters && disk == o.disk && level == o.level;
  }
};

std::ostream& operator<<(std::ostream& out, const Announcement& a) {
  return out << "{letters " << a.letters << ", disk " << a.disk << ", level " << a.level << "}";
}

// Records what reaches the layer's change sink, and stands in for what
// the disk model would do.
class RecordingSink : public DaChangeSink {
 public:
  RecordingSink() { previous_ = DaSetChangeSink(this); }
  ~RecordingSink() override { DaSetChangeSink(previous_); }
  void AnnounceChange(da_computer* computer, bool letters, stddisk* disk,
                      std::uint32_t level) override {
    announced.push_back({computer, letters, disk, level});
  }
  void CaptureBootRecords(holder* h, bool keep) override { captured.push_back({h, keep}); }
  Common::Error ConvertToDynamicDisk(stddisk* disk, std::uint32_t a, std::uint32_t b) override {
    converted.push_back({disk, a, b});
    return conversion;
  }
  Common::Error CreateDynamicVolume(plain_computer*, const void*) override {
    return Common::Error();
  }

  std::vector<Announcement> announced;
  std::vector<std::pair<holder*, bool>> captured;
  struct Conversion {
    stddisk* disk;
    std::uint32_t a, b;
  };
  std::vector<Conversion> converted;
  Common::Error conversion;

 private:
  DaChangeSink* previous_ = nullptr;
};

std::string SgdiskField(const std::string& path, unsigned number, const std::string& field) {
  const std::string out =
      DiskTest::RunCommand("sgdisk -i " + std::to_string(number) + " " + path + " 2>/dev/null");
  std::smatch m;
  if (std::regex_search(out, m, std::regex(field + ": ([^\\n]+)"))) return m[1];
  return "";
}

std::string SgdiskDiskGuid(const std::string& path) {
  const std::string out = DiskTest::RunCommand("sgdisk -p " + path + " 2>/dev/null");
  std::smatch m;
  if (std::regex_search(out, m, std::regex("Disk identifier \\(GUID\\): ([0-9A-F-]+)")))
    return m[1];
  return "";
}

std::string GuidText(const std::uint8_t* bytes) {
  Common::Guid g;
  std::memcpy(g.bytes, bytes, 16);
  std::string s = Common::GuidToString(g);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!s.empty() && s.front() == '{') s = s.substr(1, s.size() - 2);
  return s;
}

bool SgdiskVerifies(const std::string& path) {
  const std::string out = DiskTest::RunCommand("sgdisk -v " + path + " 2>&1");
  return out.find("No problems found") != std::string::npos &&
         out.find("Caution") == std::string::npos && out.find("Warning") == std::string::npos;
}

GptTableHolder* Area(stddisk& disk) { return dynamic_cast<GptTableHolder*>(disk.read_context.top); }

GptPartitionHolder* At(stddisk& disk, std::uint64_t start) {
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition() && h->start == start) return dynamic_cast<GptPartitionHolder*>(h);
  return nullptr;
}

const char* kLinux = "0FC63DAF-8483-4772-8E47-3D69D8E47DE4";

void Guid(std::uint8_t* out, const char* text) {
  Common::Guid g;
  ASSERT_TRUE(Common::GuidFromString(g, text));
  std::memcpy(out, g.bytes, 16);
}

// A volume that counts how often it was asked to come back.
class CountingVolume : public vol_handler {
 public:
  CountingVolume() : vol_handler(0) {}
  Common::Error VolUnhide() override {
    ++unhidden;
    return Common::Error();
  }
  int unhidden = 0;
};

TEST(GptHolderOperations, CommittedChangesAreAnnouncedWithTheirDiskAndOthersOnlyAskForPasses) {
  struct Case {
    const char* name;
    bool commit;
    void (*run)(stddisk& disk, bool commit);
    bool announces, marks;
  };
  const Case cases[] = {
      {"SetActive", true, [](stddisk& d, bool c) { At(d, 2048)->SetActive(c); }, true, true},
      {"SetActive", false, [](stddisk& d, bool c) { At(d, 2048)->SetActive(c); }, true, false},
      {"SetHiddenState", true,
       [](stddisk& d, bool c) { At(d, 2048)->SetHiddenState(1, c); }, true, true},
      {"SetHiddenState", false,
       [](stddisk& d, bool c) { At(d, 2048)->SetHiddenState(1, c); }, true, false},
      {"SetHiddenState of a type that has no hidden mark", true,
       [](stddisk& d, bool c) { At(d, 20480)->SetHiddenState(1, c); }, false, false},
      {"SetType", true,
       [](stddisk& d, bool c) {
         std::uint8_t t[16];
         Guid(t, kLinux);
         At(d, 2048)->SetTypeGuid(t, c);
       },
       true, true},
      {"SetType", false,
       [](stddisk& d, bool c) {
         std::uint8_t t[16];
         Guid(t, kLinux);
         At(d, 2048)->SetTypeGuid(t, c);
       },
       true, false},
      {"SetType to the reserved type", true,
       [](stddisk& d, bool c) {
         std::uint8_t t[16];
         Guid(t, "E3C9E316-0B5C-4DB8-817D-F92DF00215AE");
         At(d, 2048)->SetTypeGuid(t, c);
       },
       false, false},
      {"ChangeScheme", true, [](stddisk& d, bool c) { At(d, 2048)->ChangeScheme(1, c); }, true,
       true},
      {"ChangeScheme", false, [](stddisk& d, bool c) { At(d, 2048)->ChangeScheme(1, c); }, true,
       false},
      {"ChangeScheme mode 2", true, [](stddisk& d, bool c) { At(d, 2048)->ChangeScheme(2, c); },
       false, false},
  };
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeGptImage(
      dir, "a.img", 32, "-n 1:2048:+4M -t 1:0700 -n 2:20480:+4M -t 2:8300");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.commit ? " committed" : " not committed"));
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    RecordingSink sink;
    c.run(disk, c.commit);
    std::vector<Announcement> want;
    if (c.announces) {
      // ChangeScheme names its disk either way; the entry setters only
      // when the change is committed.
      const bool scheme = std::string(c.name) == "ChangeScheme";
      want.push_back({nullptr, c.commit, c.commit || scheme ? &disk : nullptr, 0});
    }
    EXPECT_EQ(sink.announced, want);
    EXPECT_EQ(Area(disk)->IsModified(), c.marks);
    EXPECT_EQ(Area(disk)->backup->IsModified(), c.marks);
  }
}

TEST(GptHolderOperations, BootVisibilityKeepsAPartitionFromTheLetterPassAndTouchesNoAttribute) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeGptImage(
      dir, "b.img", 32, "-n 1:2048:+4M -t 1:0700 -n 2:20480:+4M -t 2:0700 -A 2:set:62");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  RecordingSink sink;
  GptPartitionHolder* first = At(disk, 2048);
  first->SetBootVisibility(true);
  EXPECT_EQ(first->state, 2u);
  EXPECT_EQ(first->GetAttributes(), 0u);
  EXPECT_EQ(sink.announced, (std::vector<Announcement>{{nullptr, false, nullptr, 0}}));
  EXPECT_FALSE(Area(disk)->IsModified());

  // The letter pass passes over it, and over the hidden second partition.
  std::uint8_t counter = 'C';
  Area(disk)->Notify(7, reinterpret_cast<std::uintptr_t>(&counter));
  EXPECT_EQ(counter, 'C');
  first->SetBootVisibility(false);
  EXPECT_EQ(first->state, 0u);
  Area(disk)->Notify(7, reinterpret_cast<std::uintptr_t>(&counter));
  EXPECT_EQ(counter, 'D');
  EXPECT_EQ(first->GetLetter(7), 'C');
  EXPECT_EQ(At(disk, 20480)->GetLetter(7), kNoLetter);
}

TEST(GptHolderOperations, ShowingAHiddenPartitionAsksItsVolumeToComeBack) {
  DiskTest::TempDir dir;
  const std::string path =
      DaTest::MakeGptImage(dir, "v.img", 32, "-n 1:2048:+4M -t 1:0700 -A 1:set:62");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  RecordingSink sink;
  auto volume = std::make_shared<CountingVolume>();
  GptPartitionHolder* p = At(disk, 2048);
  p->SetVolumeHandler(volume);
  p->SetHiddenState(0, false);  // not committed: the volume is not told
  EXPECT_EQ(volume->unhidden, 0);
  p->SetHiddenState(1, true);   // hiding: nothing to tell
  p->SetHiddenState(0, true);
  EXPECT_EQ(volume->unhidden, 1);
  EXPECT_EQ(p->GetHiddenState(), 0u);
  p->SetVolumeHandler(nullptr);
}

TEST(GptHolderOperations, DeletionHandsBackTheEntryAndCapturesBootRecordsWhenAsked) {
  struct Case {
    std::uint32_t flags;
    bool captured, keep;
  };
  const Case cases[] = {{0, false, false}, {0x1, true, false}, {0x4, true, true},
                        {0x5, true, true}, {0x2, false, false}};
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("flags " + std::to_string(c.flags));
    const std::string path = DaTest::MakeGptImage(
        dir, "d" + std::to_string(n++) + ".img", 32,
        "-n 1:2048:+4M -t 1:0700 -c 1:gone -A 1:set:2 -n 2:20480:+4M -t 2:8300");
    const std::string unique = SgdiskField(path, 1, "Partition unique GUID");
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    RecordingSink sink;
    GptPartitionHolder* p = At(disk, 2048);
    const std::int32_t id = p->GetId();
    holder* const asHolder = p;  // the deletion ends it
    PartitionInfo info;
    ASSERT_TRUE(p->DeletePartition(c.flags, &info));
    EXPECT_EQ(GuidText(info.uniqueGuid), unique);
    EXPECT_EQ(GuidText(info.typeGuid), "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    EXPECT_EQ(info.name, u"gone");
    EXPECT_EQ(info.attributes, 4u);
    EXPECT_EQ(info.id, id);
    ASSERT_EQ(sink.captured.size(), c.captured ? 1u : 0u);
    if (c.captured) {
      EXPECT_EQ(sink.captured[0].first, asHolder);
      EXPECT_EQ(sink.captured[0].second, c.keep);
    }
    EXPECT_EQ(sink.announced, (std::vector<Announcement>{{nullptr, true, &disk, 0}}));
    ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
    EXPECT_TRUE(SgdiskVerifies(path));
    EXPECT_EQ(SgdiskField(path, 1, "First sector").substr(0, 5), "20480");
  }
}

TEST(GptHolderOperations, IdentitiesAreRenewedAsTheSnapshotAndModeSay) {
  // Which of the disk GUID and the three partition GUIDs each case keeps.
  struct Case {
    const char* name;
    std::uint32_t mode;
    enum { kNone, kSame, kOtherDisk, kSwapped } state;
    bool keepDisk;
    std::array<bool, 3> keep;
  };
  const Case cases[] = {
      {"mode 2 changes nothing", 2, Case::kNone, true, {true, true, true}},
      {"no snapshot renews all", 0, Case::kNone, false, {false, false, false}},
      {"mode 1 renews all", 1, Case::kSame, false, {false, false, false}},
      {"mode 0, this disk: only the GUID it does not list", 0, Case::kSame, true,
       {true, false, true}},
      {"mode 0, another disk: everything", 0, Case::kOtherDisk, false, {false, false, false}},
      {"mode 3: the GUIDs at the same slot", 3, Case::kSwapped, true, {false, false, true}},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = DaTest::MakeGptImage(
        dir, "s" + std::to_string(n++) + ".img", 32,
        "-n 1:2048:+2M -t 1:0700 -n 2:0:+2M -t 2:8300 -n 3:0:+2M -t 3:0700");
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    GptTableHolder* area = Area(disk);
    ASSERT_NE(area, nullptr);
    std::unique_ptr<DiskPSAndSignaturesState> state;
    area->GetSchemeRecord(state);
    auto* gpt = dynamic_cast<GptDiskPSAndSignaturesState*>(state.get());
    ASSERT_NE(gpt, nullptr);
    ASSERT_EQ(gpt->partition_guids.size(), 3u);
    EXPECT_EQ(GuidText(gpt->disk_guid), SgdiskDiskGuid(path));
    for (unsigned i = 0; i < 3; ++i)
      EXPECT_EQ(GuidText(gpt->partition_guids[i].data()),
                SgdiskField(path, i + 1, "Partition unique GUID"));
    // A partition that came after the snapshot: slot 2's GUID is new.
    std::uint8_t before[3][16];
    if (c.state == Case::kSame && c.mode == 0) Guid(area->record->entries[1].unique,
                                                   "11111111-2222-4333-8444-555555555555");
    for (unsigned i = 0; i < 3; ++i) std::memcpy(before[i], area->record->entries[i].unique, 16);
    std::uint8_t diskBefore[16];
    std::memcpy(diskBefore, area->record->disk_guid, 16);
    if (c.state == Case::kOtherDisk) gpt->disk_guid[0] ^= 1;
    if (c.state == Case::kSwapped) std::swap(gpt->partition_guids[0], gpt->partition_guids[1]);
    ASSERT_EQ(area->ChangeScheme(c.mode, true, c.state == Case::kNone ? nullptr : state.get())
                  .Code(),
              0u);
    EXPECT_EQ(std::memcmp(diskBefore, area->record->disk_guid, 16) == 0, c.keepDisk);
    for (unsigned i = 0; i < 3; ++i) {
      SCOPED_TRACE("slot " + std::to_string(i));
      EXPECT_EQ(std::memcmp(before[i], area->record->entries[i].unique, 16) == 0, c.keep[i]);
      // Renewed GUIDs are random ones: version 4, variant 10.
      if (!c.keep[i]) {
        EXPECT_EQ(area->record->entries[i].unique[7] >> 4, 4);
        EXPECT_EQ(area->record->entries[i].unique[8] & 0xC0, 0x80);
      }
    }
    EXPECT_EQ(area->IsModified(), c.mode != 2);
    ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
    EXPECT_TRUE(SgdiskVerifies(path)) << DiskTest::RunCommand("sgdisk -v " + path + " 2>&1");
    EXPECT_EQ(SgdiskDiskGuid(path), GuidText(area->record->disk_guid));
    for (unsigned i = 0; i < 3; ++i)
      EXPECT_EQ(SgdiskField(path, i + 1, "Partition unique GUID"),
                GuidText(area->record->entries[i].unique));
  }
}

TEST(GptHolderOperations, SnapshotsOfOtherHoldersAreEmptyAndAMissingTableIsAnError) {
  std::unique_ptr<DiskPSAndSignaturesState> state(new DiskPSAndSignaturesState);
  DiskTest::TempDir dir;
  const std::string path =
      DaTest::MakeMbrImage(dir, "m.img", 8, "label: dos\nstart=2048, type=83\n");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  ASSERT_NE(disk.holder_list.first, nullptr);
  disk.holder_list.first->GetSchemeRecord(state);
  EXPECT_EQ(state, nullptr);
  GptDiskPSAndSignaturesState empty(disk.read_context.top);
  EXPECT_TRUE(empty.partition_guids.empty());
  EXPECT_EQ(GuidText(empty.disk_guid), "00000000-0000-0000-0000-000000000000");
  // A GPT holder on a disk whose table is gone.
  GptTableHolder stray(&disk, 1, 33, 0, nullptr);
  const Common::Error e = stray.ChangeScheme(0, true, nullptr);
  EXPECT_EQ(e.Code(), 0x100162u);
  EXPECT_EQ(stray.ChangeScheme(2, true, nullptr).Code(), 0u);
}

TEST(GptHolderOperations, ClonedHoldersRebuildTheSameTableOnAnotherDisk) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeGptImage(
      dir, "c.img", 32,
      "-n 1:2048:+4M -t 1:0700 -c 1:first -n 2:0:+1M -t 2:0c01 -n 3:0:+4M -t 3:8300 -A 3:set:2");
  const std::string copyPath = dir.File("copy.img");
  ASSERT_TRUE(DaTest::Run("truncate -s 32M " + copyPath));
  ASSERT_TRUE(DaTest::Run("dd if=" + path + " of=" + copyPath + " bs=512 count=1 conv=notrunc"));
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  DaTest::FileDisk other(copyPath, 512);
  std::uint32_t clones = 0;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
    if (dynamic_cast<GptBaseHolder*>(h) == nullptr) continue;
    holder* copy = h->CloneForDisk(&other, &other.read_context.top, nullptr);
    ASSERT_NE(copy, nullptr) << h->start;
    EXPECT_EQ(copy->disk, &other);
    EXPECT_EQ(copy->start, h->start);
    EXPECT_EQ(copy->size, h->size);
    other.holder_list.PushBack(copy);
    ++clones;
  }
  EXPECT_EQ(clones, 5u);  // both areas, the reserved partition and two partitions
  GptTableHolder* area = Area(other);
  ASSERT_NE(area, nullptr);
  ASSERT_NE(area->backup, nullptr);
  ASSERT_NE(area->record.get(), Area(disk)->record.get());
  // Every used slot of the copy refers to the copy's own holder.
  for (std::uint32_t i = 0; i < area->record->entries.size(); ++i) {
    const GptEntryRecord& e = area->record->entries[i];
    if (!e.used) continue;
    ASSERT_NE(e.holder_ptr, nullptr) << i;
    EXPECT_EQ(e.holder_ptr->disk, &other);
    EXPECT_EQ(e.holder_ptr->owner, area);
    EXPECT_EQ(Area(disk)->record->entries[i].holder_ptr->disk, &disk);
  }
  EXPECT_EQ(At(other, 2048)->GetName(), u"first");
  area->SetModified(true);
  ASSERT_EQ(DaWriteHolders(&other).Code(), 0u);
  EXPECT_TRUE(SgdiskVerifies(copyPath)) << DiskTest::RunCommand("sgdisk -v " + copyPath);
  EXPECT_EQ(DiskTest::RunCommand("sgdisk -p " + copyPath + " 2>/dev/null | tail -n +2"),
            DiskTest::RunCommand("sgdisk -p " + path + " 2>/dev/null | tail -n +2"));
  for (unsigned n = 1; n <= 3; ++n)
    EXPECT_EQ(DiskTest::RunCommand("sgdisk -i " + std::to_string(n) + " " + copyPath),
              DiskTest::RunCommand("sgdisk -i " + std::to_string(n) + " " + path));
  // Partitions do not clone without the table they belong to.
  DaTest::FileDisk bare(copyPath, 512);
  holder* none = nullptr;
  EXPECT_EQ(At(disk, 2048)->CloneForDisk(&bare, &none, nullptr), nullptr);
  EXPECT_EQ(Area(disk)->backup->CloneForDisk(&bare, &none, nullptr), nullptr);
}

TEST(GptHolderOperations, ThePostChangePassAsksForRecomputingOnlyWhenASlotIsFreeOrHeldBack) {
  std::string full;
  for (int i = 1; i <= 128; ++i) full += "-n " + std::to_string(i) + ":0:+64 ";
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeGptImage(dir, "f.img", 16, full);
  struct Case {
    const char* name;
    void (*change)(stddisk& disk);
    bool recompute;
  };
  const Case cases[] = {
      {"every slot used, none held back", [](stddisk&) {}, false},
      {"one held back", [](stddisk& d) { Area(d)->record->entries[5].holder_ptr->state = 2; },
       true},
      {"one slot free",
       [](stddisk& d) { Area(d)->record->entries[127].holder_ptr->DeletePartition(0, nullptr); },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    ASSERT_NE(Area(disk), nullptr);
    RecordingSink sink;
    c.change(disk);
    Area(disk)->UpdateAfterChange();
    for (std::uint32_t kind = 0; kind < 3; ++kind)
      for (std::uint32_t view = 0; view < 5; ++view)
        EXPECT_EQ(disk.GetViewFlag(kind, view), kind == 2 && c.recompute ? 1 : 0)
            << kind << "," << view;
  }
}

TEST(GptHolderOperations, CreationFindsItsSlotAfterThePrecedingHolder) {
  DiskTest::TempDir dir;
  std::string full;
  for (int i = 2; i <= 128; ++i) full += "-n " + std::to_string(i) + ":0:+64 ";
  struct Case {
    const char* name;
    std::string args;
    std::uint64_t start;
    int slot;  // -1: refused
  };
  const Case cases[] = {
      {"an empty table starts at slot 1", "", 4096, 1},
      {"after the last partition", "-n 1:2048:+1M", 8192, 1},
      {"every later slot used, slot 0 free", full, 30000, -1},
      {"before every partition, slot 0 used", "-n 1:8192:+1M", 4096, 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path =
        DaTest::MakeGptImage(dir, "n" + std::to_string(n++) + ".img", 16, c.args);
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    ASSERT_NE(Area(disk), nullptr);
    RecordingSink sink;
    PartitionInfo info;
    Guid(info.typeGuid, kLinux);
    holder* made = Area(disk)->CreatePartition(c.start, 2048, info, true);
    if (c.slot < 0) {
      EXPECT_EQ(made, nullptr);
      EXPECT_TRUE(sink.announced.empty());
      continue;
    }
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->index, static_cast<std::uint32_t>(c.slot));
    EXPECT_EQ(sink.announced, (std::vector<Announcement>{{nullptr, true, &disk, 0}}));
    ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
    EXPECT_TRUE(SgdiskVerifies(path)) << DiskTest::RunCommand("sgdisk -v " + path + " 2>&1");
    EXPECT_EQ(SgdiskField(path, c.slot + 1, "Partition GUID code").substr(0, 36), kLinux);
    EXPECT_EQ(SgdiskField(path, c.slot + 1, "Partition unique GUID"), GuidText(info.uniqueGuid));
  }
}

TEST(GptHolderOperations, ErasingHandsBackTheDiskGuid) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeGptImage(dir, "e.img", 16, "-n 1:2048:+4M -t 1:0700");
  const std::string guid = SgdiskDiskGuid(path);
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  DiskSignatureRecord signatures;
  ASSERT_EQ(Area(disk)->EraseTableWithSignatures(&signatures).Code(), 0u);
  EXPECT_EQ(GuidText(signatures.gpt_disk_guid), guid);
  EXPECT_EQ(GuidText(Area(disk)->record->disk_guid), "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(DiskTest::RunCommand("wipefs -n " + path + " 2>/dev/null"), "");
}

}  // namespace
