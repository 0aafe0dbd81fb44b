// The holder tree beyond reading: the walk reads one table at a time, the
// working and saved trees copy and give back whole MBR trees that still
// write, the boot manager's record survives a write, the kind and type
// mapping, the user data, ranges, and what holders ask of the volume layer.
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/holders.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "foundation/byteorder.h"
#include "holder_fixture.h"
#include "standin_fixture.h"

namespace {

std::string Logicals(unsigned count, std::uint64_t first, std::uint64_t size,
                     std::uint64_t gap, const char* type) {
  std::string out;
  for (unsigned i = 0; i < count; ++i)
    out += "start=" + std::to_string(first + i * (size + gap)) + ", size=" +
           std::to_string(size) + ", type=" + type + "\n";
  return out;
}

holder* PartitionAt(HolderList& list, std::uint64_t start) {
  for (holder* h = list.first; h != nullptr; h = h->next)
    if (h->IsPartition() && h->start == start) return h;
  return nullptr;
}

std::vector<DaTest::Row> Rows(HolderList& list) {
  std::vector<DaTest::Row> rows;
  for (holder* h = list.first; h != nullptr; h = h->next)
    if (h->IsPartition())
      rows.push_back({h->GetNumber(0), h->start, h->size,
                      h->GetType() | (h->GetHiddenState() == 1 ? 0x10u : 0u)});
  std::sort(rows.begin(), rows.end());
  return rows;
}

TEST(HolderTree, TheWalkReadsOneTableAtATime) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeMbrImage(
      dir, "lazy.img", 256,
      "label: dos\nstart=2048, size=4096, type=6\nstart=8192, size=400000, type=f\n" +
          Logicals(20, 10240, 4096, 2048, "83"));
  DaTest::FileDisk disk(path, 512);
  HolderWalker walker;
  walker.Begin(&disk, kWalkFollowChains | kWalkStoreContext, nullptr);
  ASSERT_FALSE(walker.AtEnd());
  EXPECT_EQ(disk.requests, 1u);  // the MBR only
  unsigned tables = 0, partitions = 0;
  for (bool more = true; more; more = walker.Next()) {
    holder* h = walker.Current();
    ASSERT_NE(h, nullptr);
    if (h->IsContainer()) ++tables;
    else ++partitions;
    // Every table handed out so far was read, and nothing ahead of it.
    EXPECT_EQ(disk.requests, tables) << "at " << h->start;
  }
  walker.End();
  EXPECT_EQ(tables, 21u);
  EXPECT_EQ(partitions, 21u);
}

TEST(HolderTree, SavedCopiesOfAnOutOfOrderChainComeBackWhole) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeMbrImage(
      dir, "saved.img", 100,
      "label: dos\nstart=2048, size=100000, type=5\nstart=60000, size=10000, type=83\n"
      "start=10000, size=10000, type=7\nstart=80000, size=4000, type=1b\n"
      "start=110000, size=8192, type=c\n");
  DaTest::FileDisk disk(path, 512);
  DaReadDiskPartitions(&disk);
  ASSERT_TRUE(disk.GetTree(0)->Valid());
  const std::vector<DaTest::Row> read = Rows(disk.holder_list);
  ASSERT_EQ(read, DaTest::SfdiskRows(path));

  DaCopyTree(&disk, 1, 0);
  HolderList* saved = DaTreeHolders(&disk, 1);
  ASSERT_NE(saved, nullptr);
  ASSERT_TRUE(disk.GetTree(1)->Valid());
  EXPECT_EQ(DaTreeHolders(&disk, 2), saved);
  EXPECT_EQ(Rows(*saved), read);
  // The copies hang on copies: owners in the saved list, entries pointing
  // back at them.
  for (holder* h = saved->first; h != nullptr; h = h->next) {
    EXPECT_FALSE(disk.holder_list.Contains(h));
    if (h->owner == nullptr) {
      EXPECT_EQ(h, disk.GetTree(1)->table);
      continue;
    }
    EXPECT_TRUE(saved->Contains(h->owner)) << h->start;
    auto* table = dynamic_cast<MbrTableHolder*>(h->owner);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->entries[h->index].holder_ptr, h) << h->start;
  }

  // An edit of the working tree is given up: the saved tree comes back.
  ASSERT_TRUE(PartitionAt(disk.holder_list, 60000)->SetType(0x0C, true));
  DaDiscardTree(&disk);
  EXPECT_FALSE(disk.GetTree(1)->Valid());
  EXPECT_EQ(disk.read_context.top, disk.GetTree(0)->table);
  EXPECT_EQ(Rows(disk.holder_list), read);

  // The tree that came back writes like the one read: an edit deep in the
  // backwards chain reaches the disk and the tools agree.
  holder* logical = PartitionAt(disk.holder_list, 10000);
  ASSERT_NE(logical, nullptr);
  ASSERT_TRUE(logical->SetType(0x0C, true));
  ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
  EXPECT_TRUE(DaTest::Run("sfdisk --verify " + path));
  const std::vector<DaTest::Row> after = DaTest::SfdiskRows(path);
  bool seen = false;
  for (const DaTest::Row& r : after)
    if (r.start == 10000) seen = r.type == 0x0C;
  EXPECT_TRUE(seen);
  DaTest::FileDisk again(path, 512);
  DaReadHolders(&again, kWalkFollowChains);
  EXPECT_EQ(DaTest::TreeRows(again), after);
}

TEST(HolderTree, AWriteWithNothingChangedWritesNothing) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeMbrImage(
      dir, "quiet.img", 64,
      "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=40000, type=5\n" +
          Logicals(3, 10240, 4096, 2048, "7"));
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
  EXPECT_TRUE(disk.writes.empty());
  // One EBR marked: that sector alone is written.
  holder* second = PartitionAt(disk.holder_list, 16384);
  ASSERT_NE(second, nullptr);
  second->MarkOwnerModified();
  ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
  EXPECT_EQ(disk.writes, (std::vector<std::uint64_t>{second->owner->start}));
}

// The boot manager's record in an sfdisk-made MBR's code area, in its three
// forms; a record whose bytes do not sum to zero is not one.
TEST(HolderTree, TheBootManagersRecordIsReadInItsThreeForms) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // offset, value
    bool found;
    std::uint32_t value;
    std::uint8_t flag;
  };
  // 14 bytes at 426: u32 0x00000800, flag 0x81 at 434, length 14 at 438,
  // 437 balances the sum.
  auto fourteen = [](bool balanced) {
    std::vector<std::pair<std::size_t, std::uint8_t>> b = {
        {426, 0x00}, {427, 0x08}, {428, 0x00}, {429, 0x00}, {434, 0x81}, {435, 0x02},
        {436, 0x03}, {438, 14},   {439, 0}};
    std::uint8_t sum = 0;
    for (auto& p : b) sum = static_cast<std::uint8_t>(sum + p.second);
    b.push_back({437, static_cast<std::uint8_t>(0u - sum + (balanced ? 0 : 1))});
    return b;
  };
  std::vector<std::pair<std::size_t, std::uint8_t>> sixteen = {
      {428, 0x80}, {429, 0x00}, {430, 0x10}, {431, 0x00}, {432, 0x00}, {438, 16}, {439, 0}};
  {
    std::uint8_t sum = 0;
    for (auto& p : sixteen) sum = static_cast<std::uint8_t>(sum + p.second);
    sixteen.push_back({424, static_cast<std::uint8_t>(0u - sum)});
  }
  // 0x5678 at 428, then the CHS address head 0x81 (bit 7 set), sector 2,
  // cylinder 0: (0 * 255 + 129) * 63 + 1.
  const std::vector<std::pair<std::size_t, std::uint8_t>> marker = {
      {428, 0x78}, {429, 0x56}, {430, 0x81}, {431, 0x02}, {432, 0x00}};
  const Case cases[] = {
      {"fourteen bytes", fourteen(true), true, 0x800, 0x81},
      {"fourteen that do not sum", fourteen(false), false, 0, 0},
      {"sixteen bytes", sixteen, true, 0x1000, 0x80},
      {"marker and CHS", marker, true, 129 * 63 + 1, 0x81},
      {"nothing", {}, false, 0, 0},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = DaTest::MakeMbrImage(
        dir, "b" + std::to_string(n++) + ".img", 16, "label: dos\nstart=2048, type=7\n");
    {
      std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
      for (const auto& p : c.bytes) {
        f.seekp(static_cast<std::streamoff>(p.first));
        f.put(static_cast<char>(p.second));
      }
    }
    ASSERT_TRUE(DaTest::Run("sfdisk --verify " + path));
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    const PartitionTree* tree = disk.GetTree(0);
    EXPECT_EQ(tree->boot_manager != 0, c.found);
    EXPECT_EQ(Common::LoadLe32(tree->boot_record), c.value);
    EXPECT_EQ(tree->boot_record[4], c.flag);
  }
}

TEST(HolderTree, WithABootManagerHiddenTypesGoToItsRecord) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("bm.img");
  DaTest::FillWithUnitNumbers(path, 32u << 20);
  const std::string script = dir.File("bm.sfdisk");
  std::ofstream(script) << "label: dos\nlabel-id: 0x0badf00d\n"
                           "start=2048, size=8192, type=7\nstart=10240, size=8192, type=83\n";
  ASSERT_TRUE(DaTest::Run("sfdisk --no-reread --no-tell-kernel " + path + " < " + script));
  // The boot manager's 14-byte record naming sector 2048.
  {
    std::uint8_t record[14] = {0x00, 0x08, 0x00, 0x00, 0, 0, 0, 0, 0x81, 0x05, 0x06, 0, 14, 0};
    std::uint8_t sum = 0;
    for (std::uint8_t b : record) sum = static_cast<std::uint8_t>(sum + b);
    record[11] = static_cast<std::uint8_t>(0u - sum);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(426);
    f.write(reinterpret_cast<const char*>(record), sizeof record);
  }
  const std::vector<std::uint8_t> code = DaTest::FileBytes(path, 0, 426);

  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  ASSERT_NE(disk.GetTree(0)->boot_manager, 0);
  holder* linux = PartitionAt(disk.holder_list, 10240);
  holder* ntfs = PartitionAt(disk.holder_list, 2048);
  ASSERT_NE(linux, nullptr);
  ASSERT_NE(ntfs, nullptr);
  linux->SetHiddenState(1, true);  // not hideable by type bit: 0xBB and the record
  ntfs->SetHiddenState(1, true);   // hideable: 0x17
  ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);

  const std::vector<std::uint8_t> s = DaTest::FileBytes(path, 0, 512);
  EXPECT_EQ(s[446 + 4], 0x17);
  EXPECT_EQ(s[462 + 4], 0xBB);
  // The record: the boot manager's choice kept, the saved type, length 14,
  // and the 14 bytes sum to zero.
  EXPECT_EQ(Common::LoadLe32(&s[426]), 0x800u);
  EXPECT_EQ(s[430], 0);
  EXPECT_EQ(s[431], 0x83);
  EXPECT_EQ(s[434], 0x81);
  EXPECT_EQ(s[438] | s[439] << 8, 14);
  std::uint8_t sum = 0;
  for (int i = 426; i < 440; ++i) sum = static_cast<std::uint8_t>(sum + s[i]);
  EXPECT_EQ(sum, 0);
  EXPECT_EQ(Common::LoadLe32(&s[440]), 0x0badf00du);
  EXPECT_EQ(std::vector<std::uint8_t>(s.begin(), s.begin() + 426), code);  // boot code kept
  EXPECT_TRUE(DaTest::Run("sfdisk --verify " + path));
  const std::vector<DaTest::Row> rows = DaTest::SfdiskRows(path);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].type, 0xBBu);

  // Read back: the real type returns, hidden.
  DaTest::FileDisk again(path, 512);
  DaReadHolders(&again, kWalkFollowChains);
  holder* back = PartitionAt(again.holder_list, 10240);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->GetType(), 0x83);
  EXPECT_EQ(back->GetHiddenState(), 1u);
}

TEST(HolderTree, KindsAndTypes) {
  struct Row {
    std::uint8_t type;
    std::uint32_t kind;
  };
  const Row kinds[] = {{0x01, 12}, {0x04, 12}, {0x06, 12}, {0x0E, 12}, {0x12, 12},
                       {0x07, 10}, {0x0B, 13}, {0x0C, 13}, {0xBC, 13}, {0xEF, 13},
                       {0x82, 15}, {0x83, 6},  {0xAF, 7},  {0x05, 0},  {0x85, 0},
                       {0x00, 0},  {0x17, 0},  {0xEE, 0}};
  for (const Row& r : kinds) EXPECT_EQ(KindFromType(r.type), r.kind) << int(r.type);

  struct Back {
    std::uint32_t kind;
    bool lba;
    std::uint64_t size;
    bool forceFat16, small;
    std::uint8_t type;
  };
  const Back back[] = {
      {0, false, 0, false, false, 0xBB},    {1, false, 0, false, false, 0x83},
      {6, false, 0, false, false, 0x83},    {9, false, 0, false, false, 0x83},
      {7, false, 0, false, false, 0xAF},    {8, false, 0, false, false, 0xAF},
      {10, false, 0, false, false, 0x07},   {11, false, 0, false, false, 0x07},
      {12, true, 10, false, true, 0x0E},    {12, false, 10, false, true, 0x01},
      {12, false, 0x10000, false, false, 0x06}, {12, false, 0xFFFF, false, false, 0x04},
      {12, false, 100, true, false, 0x06},  {13, true, 0, false, false, 0x0C},
      {13, false, 0, false, false, 0x0B},   {15, false, 0, false, false, 0x82},
      {14, false, 0, false, false, 0x00},   {16, false, 0, false, false, 0x00}};
  for (const Back& b : back)
    EXPECT_EQ(TypeFromKind(b.kind, b.lba, b.size, b.forceFat16, b.small), b.type) << b.kind;

  EXPECT_TRUE(IsSupportedType(0x06));
  EXPECT_TRUE(IsSupportedType(0x0C));
  EXPECT_TRUE(IsSupportedType(0x07));
  EXPECT_FALSE(IsSupportedType(0x83));
  const std::uint32_t before = DaFsSupport();
  DaSetFsSupport(kFsSupportEnabled);
  EXPECT_TRUE(IsSupportedType(0x0E));
  EXPECT_FALSE(IsSupportedType(0x0B));
  EXPECT_FALSE(IsSupportedType(0x07));
  DaSetFsSupport(0);
  EXPECT_EQ(KindFromType(0x07), 0u);
  DaSetFsSupport(before);
}

TEST(HolderTree, UserDataKeepsWhatARewriteCouldNotWorkOut) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeMbrImage(
      dir, "fs.img", 64,
      "label: dos\nstart=2048, size=4096, type=12\nstart=8192, size=4096, type=ef\n"
      "start=12288, size=40000, type=5\nstart=14336, size=4096, type=83\n"
      "start=20480, size=4096, type=6\n");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  struct Case {
    std::uint64_t start;
    std::uint8_t kept;
  };
  // 0x12 and 0xEF map to kinds whose own types differ; 0x83 and a large
  // FAT16 0x06 come back by themselves.
  const Case cases[] = {{2048, 0x12}, {8192, 0xEF}, {14336, 0}, {20480, 0x06}};
  for (const Case& c : cases) {
    holder* h = PartitionAt(disk.holder_list, c.start);
    ASSERT_NE(h, nullptr) << c.start;
    auto fs = std::make_shared<virt_fs>();
    fs->FillFrom(*h);
    // 4096 sectors is small FAT16: 0x04 would come back, so 0x06 is kept.
    EXPECT_EQ(fs->kept_type, c.kept) << c.start;
    EXPECT_EQ(SetHolderUserData(h, fs), 1);
    EXPECT_EQ(GetVirtFs(h), fs);
  }
  EXPECT_EQ(SetHolderUserData(nullptr, std::make_shared<virt_fs>()), 0);

  auto fs = std::make_shared<virt_fs>();
  fs->buffer.reset(new std::uint8_t[8]);
  fs->kept_type = 0x12;
  fs->Start = 2048;
  fs->Error = Common::Error(1, 2, 0x100001);
  std::shared_ptr<user_holder_data> copy = fs->Clone();
  auto* copied = dynamic_cast<virt_fs*>(copy.get());
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->kept_type, 0x12);
  EXPECT_EQ(copied->Start, 2048u);
  EXPECT_EQ(copied->Error.Code(), 0x100001u);
  EXPECT_EQ(copied->buffer, nullptr);
  EXPECT_EQ(copied->step, 80u);

  // A holder with other user data has no virt_fs view.
  struct Other : user_holder_data {
    std::shared_ptr<user_holder_data> Clone() const override {
      return std::make_shared<Other>();
    }
  };
  holder* h = PartitionAt(disk.holder_list, 2048);
  h->SetUserData(std::make_shared<Other>());
  EXPECT_EQ(GetVirtFs(h), nullptr);
}

TEST(HolderTree, RangesAndAlignment) {
  DiskTest::TempDir dir;
  // 255 heads of 63 sectors: a cylinder is 16065 sectors.
  const std::string path = DaTest::MakeMbrImage(
      dir, "r.img", 512,
      "label: dos\nstart=63, size=16002, type=83\nstart=16065, size=900000, type=5\n"
      "start=964215, size=31815, type=83\n"
      "start=16128, size=16002, type=7\nstart=40000, size=5000, type=83\n");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  holder* primary = PartitionAt(disk.holder_list, 63);
  holder* logical = PartitionAt(disk.holder_list, 16128);
  holder* odd = PartitionAt(disk.holder_list, 40000);
  ASSERT_NE(primary, nullptr);
  ASSERT_NE(logical, nullptr);
  ASSERT_NE(odd, nullptr);
  std::uint64_t start = 0, size = 0;
  GetOuterRange(primary, start, size);
  EXPECT_EQ(start, 63u);
  EXPECT_EQ(size, 16002u);
  GetOuterRange(logical, start, size);  // from its EBR on
  EXPECT_EQ(start, 16065u);
  EXPECT_EQ(size, 16065u);

  Da::AlignmentRequest geometry;
  geometry.kind = Da::kAlignGeometry;
  // On track starts and ending on cylinder ends.
  EXPECT_TRUE(primary->CheckRange(3, geometry));
  EXPECT_TRUE(logical->CheckRange(3, geometry));
  // Mode 2 refuses a range that is one partial cylinder.
  EXPECT_FALSE(primary->CheckRange(2, geometry));
  // Neither end on a boundary.
  EXPECT_FALSE(odd->CheckRange(3, geometry));
  // Five tracks into cylinder 60: a track start, but not the first track
  // after a cylinder start (where the table's track ends), so only mode 2
  // takes it; it spans two cylinders and ends on a cylinder end.
  holder* late = PartitionAt(disk.holder_list, 964215);
  ASSERT_NE(late, nullptr);
  EXPECT_FALSE(late->CheckRange(3, geometry));
  EXPECT_FALSE(late->CheckRange(0, geometry));
  EXPECT_TRUE(late->CheckRange(2, geometry));
  // Tables are not partitions to check; a disk-less holder neither.
  EXPECT_FALSE(disk.holder_list.first->IsFreeSpace() &&
               disk.holder_list.first->CheckRange(3, geometry));
}

// The volume layer as the holders see it, recording what it is asked.
class RecordingVolumes : public HolderVolumeSeam {
 public:
  std::shared_ptr<vol_handler> OfferHandler(holder&) override {
    calls.push_back("offer");
    return offered;
  }
  void TellId(vol_handler&, std::int32_t id) override { calls.push_back("id " + std::to_string(id)); }
  Common::Error Mount(holder&) override {
    calls.push_back("mount");
    return Common::Error();
  }
  Common::Error GiveLetter(holder&, std::uint8_t letter) override {
    calls.push_back(std::string("letter ") + (letter != 0 ? static_cast<char>(letter) : '-'));
    return Common::Error();
  }
  Common::Error CreateMount(holder&, const std::uint32_t*) override {
    calls.push_back("create mount");
    return Common::Error();
  }
  void LettersChanged(da_computer*) override { calls.push_back("letters changed"); }
  void ReleaseVolume(holder&) override { calls.push_back("release"); }
  void ForgetMount(holder&, bool keep) override { calls.push_back(keep ? "forget keep" : "forget"); }

  std::vector<std::string> calls;
  std::shared_ptr<vol_handler> offered;
};

class SizedVolume : public vol_handler {
 public:
  explicit SizedVolume(std::uint64_t last) : vol_handler(0) { SetLastSector(last); }
};

TEST(HolderTree, LettersVolumesAndRemovalGoThroughTheVolumeLayer) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeMbrImage(
      dir, "v.img", 64, "label: dos\nstart=2048, size=4096, type=7\nstart=8192, size=4096, type=c\n");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, 0);
  RecordingVolumes volumes;
  DaSetHolderVolumes(&volumes);
  holder* ntfs = PartitionAt(disk.holder_list, 2048);
  holder* fat = PartitionAt(disk.holder_list, 8192);
  ASSERT_NE(ntfs, nullptr);
  ASSERT_NE(fat, nullptr);

  // Without a handler a letter cannot change.
  ntfs->ChangeLetter('E', true);
  EXPECT_TRUE(volumes.calls.empty());

  // Attaching: the offered handler, told the id, mounted.
  volumes.offered = std::make_shared<SizedVolume>(4095);
  ntfs->AttachVolume(true, nullptr, 'D');
  EXPECT_EQ(volumes.calls, (std::vector<std::string>{"offer", "id " + std::to_string(ntfs->GetId()),
                                                     "mount"}));
  EXPECT_EQ(ntfs->GetLetter(kLiveView), 'D');
  EXPECT_EQ(volumes.offered.use_count(), 2);

  struct Change {
    std::uint8_t letter;
    std::uint8_t live;
    std::vector<std::string> calls;
  };
  const Change changes[] = {
      {'D', 'D', {}},                                     // the same: nothing
      {'E', 'E', {"letter E", "letters changed"}},
      {'B', 0, {"letter -", "letters changed"}},          // not C to Z: none
  };
  for (const Change& c : changes) {
    volumes.calls.clear();
    ntfs->ChangeLetter(c.letter, true);
    EXPECT_EQ(ntfs->GetLetter(kLiveView), c.live) << c.letter;
    EXPECT_EQ(volumes.calls, c.calls) << c.letter;
  }
  // A volume of size zero is given its letter by a new mount.
  volumes.calls.clear();
  fat->SetVolumeHandler(std::make_shared<SizedVolume>(0));
  volumes.calls.clear();
  fat->ChangeLetter('F', true);
  EXPECT_EQ(volumes.calls, (std::vector<std::string>{"create mount", "letters changed"}));
  // Without apply only the holder changes.
  volumes.calls.clear();
  fat->ChangeLetter('G', false);
  EXPECT_TRUE(volumes.calls.empty());
  EXPECT_EQ(fat->GetLetter(kLiveView), 'G');

  // Removal with commit: the entry goes, the table is to be written, the
  // info carries the handler on and the volume is not released for it.
  volumes.calls.clear();
  PartitionInfo info;
  info.keepVolume = true;
  vol_handler* handler = ntfs->GetVolumeHandler();
  const std::int32_t id = ntfs->GetId();
  auto* top = dynamic_cast<MbrTableHolder*>(disk.read_context.top);
  ASSERT_NE(top, nullptr);
  ASSERT_TRUE(ntfs->DeletePartition(0x1, &info));
  EXPECT_EQ(info.handler.get(), handler);
  EXPECT_EQ(info.id, id);
  EXPECT_EQ(info.wantedIndex, 0u);
  EXPECT_EQ(volumes.calls, (std::vector<std::string>{"forget"}));
  EXPECT_TRUE(top->IsModified());
  EXPECT_FALSE(top->entries[0].Used());
  EXPECT_EQ(PartitionAt(disk.holder_list, 2048), nullptr);
  // Without keep, the volume is released.
  volumes.calls.clear();
  ASSERT_TRUE(fat->DeletePartition(0x2, nullptr));
  EXPECT_EQ(volumes.calls, (std::vector<std::string>{"release"}));
  DaSetHolderVolumes(nullptr);

  ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
  EXPECT_TRUE(DaTest::SfdiskRows(path).empty());
  EXPECT_TRUE(DaTest::Run("sfdisk --verify " + path));
}

}  // namespace
