// GPT holder trees of images that sgdisk made, against what `sgdisk -i`
// reads; the editing operations written back and judged by `sgdisk -v`;
// damaged copies; and the erased table, judged by blkid, wipefs and sgdisk.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "diskaccess/holders.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "foundation/byteorder.h"
#include "foundation/guid.h"
#include "holder_fixture.h"
#include "standin_fixture.h"

namespace {

// What `sgdisk -i N` says of one entry slot.
struct SgdiskEntry {
  std::string type, unique, attributes, name;
  std::uint64_t first = 0, last = 0;
};

SgdiskEntry SgdiskInfo(const std::string& path, unsigned number) {
  const std::string out =
      DiskTest::RunCommand("sgdisk -i " + std::to_string(number) + " " + path + " 2>/dev/null");
  SgdiskEntry e;
  std::smatch m;
  if (std::regex_search(out, m, std::regex("Partition GUID code: ([0-9A-F-]+)"))) e.type = m[1];
  if (std::regex_search(out, m, std::regex("Partition unique GUID: ([0-9A-F-]+)"))) e.unique = m[1];
  if (std::regex_search(out, m, std::regex("First sector: (\\d+)"))) e.first = std::stoull(m[1]);
  if (std::regex_search(out, m, std::regex("Last sector: (\\d+)"))) e.last = std::stoull(m[1]);
  if (std::regex_search(out, m, std::regex("Attribute flags: ([0-9A-F]+)"))) e.attributes = m[1];
  if (std::regex_search(out, m, std::regex("Partition name: '(.*)'"))) e.name = m[1];
  return e;
}

std::string GuidText(const std::uint8_t* bytes) {
  Common::Guid g;
  std::memcpy(g.bytes, bytes, 16);
  std::string s = Common::GuidToString(g);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!s.empty() && s.front() == '{') s = s.substr(1, s.size() - 2);
  return s;
}

std::string Ascii(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// Slot number (1-based) -> the tree's view of the entry.
std::map<unsigned, SgdiskEntry> TreeEntries(stddisk& disk) {
  std::map<unsigned, SgdiskEntry> out;
  auto* area = dynamic_cast<GptTableHolder*>(disk.read_context.top);
  if (area == nullptr || area->record == nullptr) return out;
  for (std::uint32_t i = 0; i < area->record->entries.size(); ++i) {
    const GptEntryRecord& r = area->record->entries[i];
    if (!r.used) continue;
    EXPECT_NE(r.holder_ptr, nullptr) << i;
    if (r.holder_ptr != nullptr) {
      EXPECT_EQ(r.holder_ptr->index, i);
      EXPECT_EQ(r.holder_ptr->start, r.first);
    }
    SgdiskEntry e;
    e.type = GuidText(r.type);
    e.unique = GuidText(r.unique);
    e.first = r.first;
    e.last = r.last;
    char attributes[17];
    std::snprintf(attributes, sizeof attributes, "%016llX",
                  static_cast<unsigned long long>(r.attributes));
    e.attributes = attributes;
    e.name = Ascii(r.name);
    out[i + 1] = e;
  }
  return out;
}

void ExpectSameAsSgdisk(stddisk& disk, const std::string& path) {
  const std::map<unsigned, SgdiskEntry> tree = TreeEntries(disk);
  ASSERT_FALSE(tree.empty());
  for (const auto& [number, mine] : tree) {
    const SgdiskEntry theirs = SgdiskInfo(path, number);
    SCOPED_TRACE("slot " + std::to_string(number));
    EXPECT_EQ(mine.type, theirs.type);
    EXPECT_EQ(mine.unique, theirs.unique);
    EXPECT_EQ(mine.first, theirs.first);
    EXPECT_EQ(mine.last, theirs.last);
    EXPECT_EQ(mine.attributes, theirs.attributes);
    EXPECT_EQ(mine.name, theirs.name);
  }
  // And no slot that sgdisk sees is missing.
  const std::string list = DiskTest::RunCommand("sgdisk -p " + path + " 2>/dev/null");
  const std::regex row("\\n\\s+(\\d+)\\s+\\d+\\s+\\d+\\s");
  unsigned rows = 0;
  for (auto it = std::sregex_iterator(list.begin(), list.end(), row); it != std::sregex_iterator();
       ++it)
    ++rows;
  EXPECT_EQ(rows, tree.size());
}

bool SgdiskVerifies(const std::string& path) {
  const std::string out = DiskTest::RunCommand("sgdisk -v " + path + " 2>&1");
  return out.find("No problems found") != std::string::npos &&
         out.find("Caution") == std::string::npos && out.find("Warning") == std::string::npos &&
         out.find("ERROR") == std::string::npos;
}

const std::string k35 = "abcdefghijklmnopqrstuvwxyz012345678";

TEST(GptHolders, TreesEqualWhatSgdiskReads) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeGptImage(
      dir, "g.img", 64,
      "-n 1:2048:+8M -t 1:0700 -n 2:0:+4M -t 2:8300 -c 2:" + k35 +
          " -n 3:0:+4M -t 3:ef00 -c 3:" + k35 + "9 -n 4:0:+1M -t 4:0c01 -A 1:set:2 -A 2:set:62"
          " -n 128:0:+1M -t 128:8300 -c 128:last");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  EXPECT_EQ(disk.read_context.scheme, kSchemeGpt);
  EXPECT_EQ(disk.read_context.subtype, 0u);
  ExpectSameAsSgdisk(disk, path);
  // The reserved partition is a table holder; the rest are partitions.
  unsigned partitions = 0, reserved = 0;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
    if (dynamic_cast<GptPartitionHolder*>(h) != nullptr) ++partitions;
    if (auto* t = dynamic_cast<GptTableHolder*>(h); t != nullptr && t->owner != nullptr)
      ++reserved;
  }
  EXPECT_EQ(partitions, 4u);
  EXPECT_EQ(reserved, 1u);
  auto* area = dynamic_cast<GptTableHolder*>(disk.read_context.top);
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(area->record->entry_count, 128u);
  EXPECT_FALSE(area->IsModified());
  EXPECT_FALSE(area->backup->IsModified());
}

TEST(GptHolders, DynamicDisksAreLeftToTheirOwnLayer) {
  DiskTest::TempDir dir;
  const std::string path =
      DaTest::MakeGptImage(dir, "l.img", 64, "-n 1:2048:+1M -t 1:4201 -n 2:0:+8M -t 2:4202");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  EXPECT_EQ(disk.read_context.subtype, 0x42u);
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    EXPECT_EQ(dynamic_cast<GptBaseHolder*>(h), nullptr);
  const std::string list = DiskTest::RunCommand("sgdisk -p " + path + " 2>/dev/null");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(list, m, std::regex("Disk identifier \\(GUID\\): ([0-9A-F-]+)")));
  EXPECT_EQ(GuidText(disk.read_context.disk_guid), m[1].str());
}

TEST(GptHolders, FourKSectorTablesAreRead) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::Make4KMbrImage(dir, "k.img", 64, "g\nn\n1\n256\n+8M\nn\n2\n\n+4M\nw\n");
  DaTest::FileDisk disk(path, 4096);
  DaReadHolders(&disk, kWalkFollowChains);
  EXPECT_EQ(disk.read_context.scheme, kSchemeGpt);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition()) ranges.push_back({h->start, h->size});
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> want = {{256, 2048}, {2304, 1024}};
  EXPECT_EQ(ranges, want);
}

holder* At(stddisk& disk, std::uint64_t start) {
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition() && h->start == start) return h;
  return nullptr;
}

TEST(GptHolders, OperationsWrittenBackPassSgdisk) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeGptImage(
      dir, "o.img", 64,
      "-n 1:2048:+4M -t 1:0700 -n 2:20480:+4M -t 2:0700 -n 3:40960:+4M -t 3:8300 -A 3:set:2");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  const std::string uniqueOf3 = SgdiskInfo(path, 3).unique;

  holder* first = At(disk, 2048);
  ASSERT_NE(first, nullptr);
  PartitionInfo info;
  Common::Guid linux;
  ASSERT_TRUE(Common::GuidFromString(linux, "0FC63DAF-8483-4772-8E47-3D69D8E47DE4"));
  std::memcpy(info.typeGuid, linux.bytes, 16);
  info.name = u"made";
  holder* made = first->CreatePartition(12288, 4096, info, true);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->index, 1u);       // between the first two: slot 2 on sgdisk's count
  EXPECT_EQ(At(disk, 20480)->index, 2u);
  EXPECT_EQ(first->CreatePartition(13000, 100, info, true), nullptr);  // overlaps

  At(disk, 20480)->SetActive(true);           // and takes bit 2 from slot 4
  At(disk, 20480)->SetHiddenState(1, true);   // basic data: bit 62
  At(disk, 40960)->SetHiddenState(1, true);   // not basic data: nothing
  ASSERT_TRUE(dynamic_cast<GptPartitionHolder*>(first)->SetTypeGuid(linux.bytes, true));
  std::uint8_t reserved[16] = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                               0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
  EXPECT_FALSE(dynamic_cast<GptPartitionHolder*>(first)->SetTypeGuid(reserved, true));
  ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
  EXPECT_TRUE(SgdiskVerifies(path)) << DiskTest::RunCommand("sgdisk -v " + path);

  ExpectSameAsSgdisk(disk, path);
  EXPECT_EQ(SgdiskInfo(path, 1).type, "0FC63DAF-8483-4772-8E47-3D69D8E47DE4");
  EXPECT_EQ(SgdiskInfo(path, 2).name, "made");
  EXPECT_EQ(SgdiskInfo(path, 2).first, 12288u);
  EXPECT_EQ(SgdiskInfo(path, 3).attributes, "4000000000000004");
  EXPECT_EQ(SgdiskInfo(path, 4).attributes, "0000000000000000");
  EXPECT_EQ(SgdiskInfo(path, 4).unique, uniqueOf3);

  // Deleting slot 1 moves the others down a slot.
  ASSERT_TRUE(first->DeletePartition(0, nullptr));
  ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
  EXPECT_TRUE(SgdiskVerifies(path));
  EXPECT_EQ(SgdiskInfo(path, 1).first, 12288u);
  EXPECT_EQ(SgdiskInfo(path, 3).unique, uniqueOf3);
  EXPECT_EQ(SgdiskInfo(path, 4).first, 0u);

  // New identities throughout.
  const std::string diskGuid = DiskTest::RunCommand("sgdisk -p " + path + " | grep GUID");
  ASSERT_EQ(At(disk, 12288)->ChangeScheme(0).Code(), 0u);
  ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
  EXPECT_TRUE(SgdiskVerifies(path)) << DiskTest::RunCommand("sgdisk -v " + path + " 2>&1");
  EXPECT_NE(DiskTest::RunCommand("sgdisk -p " + path + " | grep GUID"), diskGuid);
  EXPECT_NE(SgdiskInfo(path, 3).unique, uniqueOf3);
  DaTest::FileDisk again(path, 512);
  DaReadHolders(&again, kWalkFollowChains);
  ExpectSameAsSgdisk(again, path);
}

void ZeroSectors(const std::string& path, std::uint64_t first, std::uint64_t count) {
  ASSERT_TRUE(DaTest::Run("dd if=/dev/zero of=" + path + " bs=512 seek=" +
                          std::to_string(first) + " count=" + std::to_string(count) +
                          " conv=notrunc"));
}

std::size_t PartitionsInList(stddisk& disk) {
  std::size_t n = 0;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition()) ++n;
  return n;
}

// Holders of entry slots (partitions and reserved partitions).
bool IsEntryHolder(const holder* h) {
  return h != nullptr && dynamic_cast<const GptTableHolder*>(h->owner) != nullptr;
}
std::size_t EntryHoldersInList(stddisk& disk) {
  std::size_t n = 0;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (IsEntryHolder(h)) ++n;
  return n;
}

TEST(GptHolders, EntriesBecomeHoldersAsTheWalkReachesThem) {
  DiskTest::TempDir dir;
  // Partitions in slots 1, 2 and 5; the slots between are empty.
  const std::string path = DaTest::MakeGptImage(
      dir, "w.img", 16, "-n 1:2048:+1M -n 2:0:+1M -n 5:0:+1M -t 5:0c01");
  DaTest::FileDisk disk(path, 512);
  HolderWalker walker;
  walker.Begin(&disk, kWalkFollowChains | kWalkStoreContext, nullptr);
  std::vector<std::uint32_t> slots;     // of each partition holder handed out
  std::vector<std::size_t> madeSoFar;   // entry holders in the list then
  std::size_t steps = 0;
  for (bool more = !walker.AtEnd(); more; more = walker.Next()) {
    ++steps;
    holder* h = walker.Current();
    if (!IsEntryHolder(h)) continue;
    slots.push_back(h->index);
    madeSoFar.push_back(EntryHoldersInList(disk));
  }
  walker.End();
  EXPECT_EQ(slots, (std::vector<std::uint32_t>{0, 1, 4}));
  // Each entry's holder is made when its slot is reached, not before.
  EXPECT_EQ(madeSoFar, (std::vector<std::size_t>{1, 2, 3}));
  // The walk steps over every slot of the table, empty ones included.
  auto* area = dynamic_cast<GptTableHolder*>(disk.read_context.top);
  ASSERT_NE(area, nullptr);
  EXPECT_GT(steps, area->record->entry_count);
  ExpectSameAsSgdisk(disk, path);
  // The slot of the reserved type is a table holder, not a partition.
  EXPECT_EQ(PartitionsInList(disk), 2u);
  // Each copy's header and array were read in one request each, with the
  // MBR's sector: five requests.
  EXPECT_EQ(disk.requests, 5u);
}

TEST(GptHolders, TheWriteWalkWritesMarkedCopiesBeforeHandingOutItsHolders) {
  DiskTest::TempDir dir;
  const std::string path =
      DaTest::MakeGptImage(dir, "m.img", 16, "-n 1:2048:+4M -t 1:0700 -c 1:before");
  const std::uint64_t sectors = 16 * 2048;
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  auto* p = dynamic_cast<GptPartitionHolder*>(At(disk, 2048));
  ASSERT_NE(p, nullptr);
  // The Linux data type, in its on-disk byte order.
  const std::uint8_t linuxData[16] = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                      0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
  ASSERT_TRUE(p->SetTypeGuid(linuxData, true));
  HolderWalker walker;
  walker.Begin(&disk, kWalkFollowChains | kWalkWrite, &disk.read_context);
  std::vector<std::uint64_t> writesAtFirstGptHolder;
  bool seen = false;
  for (bool more = !walker.AtEnd(); more; more = walker.Next()) {
    auto* area = dynamic_cast<GptTableHolder*>(walker.Current());
    if (area == nullptr || seen) continue;
    seen = true;
    writesAtFirstGptHolder = disk.writes;
  }
  walker.End();
  ASSERT_TRUE(seen);
  // Backup header and array, primary header and array, then sector 0 again.
  EXPECT_EQ(writesAtFirstGptHolder,
            (std::vector<std::uint64_t>{sectors - 1, sectors - 33, 1, 2, 0}));
  EXPECT_EQ(disk.writes, writesAtFirstGptHolder);
  EXPECT_TRUE(SgdiskVerifies(path)) << DiskTest::RunCommand("sgdisk -v " + path);
  EXPECT_EQ(SgdiskInfo(path, 1).type, "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
  EXPECT_EQ(SgdiskInfo(path, 1).name, "before");
}


TEST(GptHolders, DamagedCopiesFallBackAndAreWholeAfterTheNextWrite) {
  struct Case {
    const char* name;
    std::uint64_t first, count;  // what dd zeroes (negative from the end: see below)
    bool fromEnd;
    bool primaryMarked, backupMarked;
  };
  const Case cases[] = {
      {"primary header", 1, 1, false, true, false},
      {"primary array", 2, 1, false, true, false},
      {"backup header", 1, 1, true, false, true},
      {"backup array", 33, 1, true, false, true},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = DaTest::MakeGptImage(
        dir, "d" + std::to_string(n++) + ".img", 16, "-n 1:2048:+4M -t 1:0700 -c 1:keep");
    const std::uint64_t sectors = 16 * 2048;
    ZeroSectors(path, c.fromEnd ? sectors - c.first : c.first, c.count);
    EXPECT_FALSE(SgdiskVerifies(path));
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    auto* area = dynamic_cast<GptTableHolder*>(disk.read_context.top);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->IsModified(), c.primaryMarked);
    EXPECT_EQ(area->backup->IsModified(), c.backupMarked);
    EXPECT_EQ(area->record->alternate, sectors - 1);
    ASSERT_NE(At(disk, 2048), nullptr);
    EXPECT_EQ(At(disk, 2048)->GetName(), u"keep");
    ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
    EXPECT_TRUE(SgdiskVerifies(path)) << DiskTest::RunCommand("sgdisk -v " + path);
    EXPECT_EQ(SgdiskInfo(path, 1).name, "keep");
    // Only the damaged copy was written.
    for (std::uint64_t s : disk.writes) {
      const bool inCopy = c.primaryMarked ? s <= 2 : (s == 0 || s >= sectors - 33);
      EXPECT_TRUE(inCopy) << s;
    }
  }
}

TEST(GptHolders, EraseTableLeavesNothingForTheToolsAndTouchesThreeSectors) {
  DiskTest::TempDir dir;
  const std::string path =
      DaTest::MakeGptImage(dir, "e.img", 16, "-n 1:2048:+4M -t 1:0700 -n 2:0:+2M -t 2:8300");
  const std::string before = dir.File("before.img");
  ASSERT_TRUE(DaTest::Run("cp " + path + " " + before));
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  ASSERT_EQ(disk.read_context.top->EraseTable(nullptr).Code(), 0u);
  std::vector<std::uint64_t> changed;
  {
    std::ifstream a(before, std::ios::binary), b(path, std::ios::binary);
    std::vector<char> x(512), y(512);
    for (std::uint64_t s = 0; a.read(x.data(), 512) && b.read(y.data(), 512); ++s)
      if (x != y) changed.push_back(s);
  }
  EXPECT_EQ(changed, (std::vector<std::uint64_t>{0, 1, 16 * 2048 - 1}));
  EXPECT_EQ(DiskTest::RunCommand("blkid -p " + path + " 2>/dev/null"), "");
  EXPECT_EQ(DiskTest::RunCommand("wipefs -n " + path + " 2>/dev/null"), "");
  EXPECT_EQ(DiskTest::RunCommand("sgdisk -p " + path + " 2>/dev/null | grep -E '^ +[0-9]+ '"), "");
}

TEST(GptHolders, AnAlternateInsideTheUsableAreaIsNotWiped) {
  // A primary whose AlternateLBA points into partition data (and a backup
  // where it belongs): erasing must not zero that data sector.
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeGptImage(dir, "a.img", 16, "-n 1:2048:+4M -t 1:0700");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  auto* area = dynamic_cast<GptTableHolder*>(disk.read_context.top);
  ASSERT_NE(area, nullptr);
  area->record->alternate = 4000;
  disk.writes.clear();
  ASSERT_EQ(area->EraseTable(nullptr).Code(), 0u);
  for (std::uint64_t s : disk.writes) EXPECT_NE(s, 4000u);
}

}  // namespace

namespace {

// Rewrites a field of the primary header and makes its CRC right again, so
// that only the field's own check can refuse it.
void PatchHeader(const std::string& path, std::size_t offset, std::uint32_t value) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  std::vector<std::uint8_t> h(512);
  f.seekg(512);
  f.read(reinterpret_cast<char*>(h.data()), 512);
  Common::StoreLe32(&h[offset], value);
  const std::uint32_t size = std::min<std::uint32_t>(Common::LoadLe32(&h[12]), 512);
  Common::StoreLe32(&h[16], 0);
  Common::StoreLe32(&h[16], static_cast<std::uint32_t>(crc32(0, h.data(), size < 92 ? 92 : size)));
  f.seekp(512);
  f.write(reinterpret_cast<const char*>(h.data()), 512);
}

TEST(GptHolders, HeaderFieldsOutsideWhatTheLayerTakesAreRefused) {
  struct Case {
    const char* name;
    std::size_t offset;
    std::uint32_t value;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"header size 96", 12, 96, kSubtypeUnsupported},
      {"header size 600", 12, 600, kSubtypeInvalid},
      {"revision 2", 8, 0x00020000, kSubtypeUnsupported},
      {"64 entries", 80, 64, kSubtypeInvalid},
      {"every entry count there is", 80, 0xFFFFFFFFu, kSubtypeInvalid},
      {"entries of 96 bytes", 84, 96, kSubtypeInvalid},
      {"entries of 256 bytes", 84, 256, kSubtypeUnsupported},
      {"alternate past the disk", 32, 0x7FFFFFFF, kSubtypeInvalid},
      {"untouched", 8, 0x00010000, 0},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path =
        DaTest::MakeGptImage(dir, "h" + std::to_string(n++) + ".img", 16, "-n 1:2048:+4M");
    PatchHeader(path, c.offset, c.value);
    DaTest::FileDisk disk(path, 512);
    std::uint32_t code = 0xFFFF;
    Common::Error error;
    std::unique_ptr<GptTableRecord> record = GptReadCopy(disk, 1, code, error, nullptr);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(record != nullptr, c.code == 0);
    // The whole read falls back to the backup, which is untouched.
    DaReadHolders(&disk, kWalkFollowChains);
    auto* area = dynamic_cast<GptTableHolder*>(disk.read_context.top);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->IsModified(), c.code != 0);
    EXPECT_NE(At(disk, 2048), nullptr);
  }
}

}  // namespace
