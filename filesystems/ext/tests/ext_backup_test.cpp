// Backup streams of ext entries through the framework's pump: extended
// attributes against debugfs ea_list (in the inode and in a block), file
// data as Windows backup streams reassembled against debugfs dump, and the
// POSIX and times records.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "ext_image.h"
#include "fake_driver.h"
#include "filesystems/backup.h"
#include "filesystems/ext_backup.h"
#include "filesystems/ext_directory.h"
#include "foundation/byteorder.h"
#include "memory_streams.h"

namespace {

using exttest::Mounted;
using filesystems::FileSystemDriver;

std::vector<fstest::RecordedItem> BackUp(Mounted& m, const std::u16string& directoryPath,
                                         const std::u16string& name, std::uint32_t option = 0) {
  fstest::MemoryStreamFactory factory;
  filesystems::BackupTarget target;
  target.factory = &factory;
  target.option = option;
  Common::CriticalSectionLock lock(&m->ObjectLock());
  auto* directory = m->OpenDirectoryByPath(directoryPath);
  std::unique_ptr<FileSystemDriver::IteratorObject> entry(directory->OpenIteratorFor(name));
  filesystems::BackupEntry(*m.driver, directory, entry.get(), target);
  return factory.items;
}

std::vector<std::uint32_t> Kinds(const std::vector<fstest::RecordedItem>& items) {
  std::vector<std::uint32_t> kinds;
  for (auto& item : items) kinds.push_back(item.kind);
  return kinds;
}

const fstest::RecordedItem* Item(const std::vector<fstest::RecordedItem>& items,
                                 std::uint32_t kind) {
  for (auto& item : items)
    if (item.kind == kind) return &item;
  return nullptr;
}

// Name to value of kind-7 records.
std::map<std::string, std::string> Attributes(const std::vector<std::uint8_t>& bytes) {
  std::map<std::string, std::string> out;
  for (std::size_t at = 0; at + 10 <= bytes.size();) {
    const std::uint32_t nameLength = Common::LoadLe16(bytes.data() + at);
    const std::uint32_t valueSize = Common::LoadLe32(bytes.data() + at + 2);
    EXPECT_EQ(Common::LoadLe32(bytes.data() + at + 6), 0u);
    const std::string name(reinterpret_cast<const char*>(bytes.data() + at + 10), nameLength);
    out[name] = std::string(reinterpret_cast<const char*>(bytes.data() + at + 10 + nameLength),
                            valueSize);
    at += 10 + nameLength + valueSize;
  }
  return out;
}

// The names and value sizes `debugfs ea_list` prints.
std::map<std::string, std::size_t> DebugfsAttributeSizes(const std::string& image,
                                                         const std::string& path) {
  std::map<std::string, std::size_t> out;
  const std::string text = exttest::Debugfs(image, "ea_list " + path);
  std::regex line(R"(\s+(\S+) \((\d+)\))");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
    out[(*it)[1].str()] = std::size_t(std::stoul((*it)[2].str()));
  return out;
}

TEST(ExtBackup, ExtendedAttributesEqualDebugfsInInodeAndBlock) {
  exttest::ScratchDir dir;
  const std::string image = dir.File("xattr.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext4 -I 256 -O ^metadata_csum", 8192));
  const std::string big(300, 'B');
  std::ofstream(dir.File("big.value")) << big;
  const std::string huge(250, 'H');
  std::ofstream(dir.File("huge.value")) << huge;
  for (const std::string& request : std::vector<std::string>{
           "write /etc/hostname small", "ea_set /small user.color red",
        "ea_set /small security.label top", "ea_set /small trusted.x 1234567",
        "write /etc/hostname inblock", "ea_set /inblock user.a x",
        "ea_set -f " + dir.File("big.value") + " /inblock user.big",
        "write /etc/hostname blockonly",
        "ea_set -f " + dir.File("huge.value") + " /blockonly user.huge",
        "write /etc/hostname none"}) {
    ASSERT_TRUE(exttest::Run("debugfs -w -R '" + request + "' " + image)) << request;
  }
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  for (const std::string name : {"small", "inblock", "blockonly"}) {
    SCOPED_TRACE(name);
    const auto items = BackUp(m, u"/", std::u16string(name.begin(), name.end()));
    const auto* xattrs = Item(items, filesystems::kItemExtendedAttributes);
    ASSERT_NE(xattrs, nullptr);
    const auto got = Attributes(xattrs->bytes);
    const auto listed = DebugfsAttributeSizes(image, "/" + name);
    ASSERT_EQ(got.size(), listed.size());
    for (const auto& [key, size] : listed) {
      ASSERT_EQ(got.count(key), 1u) << key;
      EXPECT_EQ(got.at(key).size(), size) << key;
    }
  }
  EXPECT_EQ(Attributes(Item(BackUp(m, u"/", u"small"), 7)->bytes).at("user.color"), "red");
  EXPECT_EQ(Attributes(Item(BackUp(m, u"/", u"inblock"), 7)->bytes).at("user.big"), big);
  EXPECT_EQ(Attributes(Item(BackUp(m, u"/", u"blockonly"), 7)->bytes).at("user.huge"), huge);
  EXPECT_EQ(Item(BackUp(m, u"/", u"none"), 7), nullptr);
}

TEST(ExtBackup, AttributeEntriesArePaddedToFourBytes) {
  // An area with a 7-byte stored name under index 6, then a 1-byte name.
  std::vector<std::uint8_t> area(128, 0);
  std::uint8_t* e = area.data();
  e[0] = 7;
  e[1] = 6;
  Common::StoreLe16(e + 2, 100);
  Common::StoreLe32(e + 8, 2);
  std::memcpy(e + 16, "selinux", 7);
  e = area.data() + 24;  // 16 + 7 rounded up to 4
  e[0] = 1;
  e[1] = 1;
  Common::StoreLe16(e + 2, 110);
  Common::StoreLe32(e + 8, 3);
  e[16] = 'k';
  std::memcpy(area.data() + 100, "ab", 2);
  std::memcpy(area.data() + 110, "xyz", 3);
  std::vector<std::uint8_t> records;
  filesystems::extfs::ParseAttributeEntries(area.data(), 128, 0, 0, records);
  const auto got = Attributes(records);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got.at("security.selinux"), "ab");
  EXPECT_EQ(got.at("user.k"), "xyz");
  // A value reaching past the area is damage, not a short read.
  Common::StoreLe32(area.data() + 24 + 8, 30);
  records.clear();
  EXPECT_EQ(fstest::CodeOf([&] {
              filesystems::extfs::ParseAttributeEntries(area.data(), 128, 0, 0, records);
            }),
            kFileCorrupted);
}

// The file the kind-2 streams describe, from their headers and bytes.
std::string Reassemble(const std::vector<std::uint8_t>& bytes, std::uint64_t fileSize,
                       std::vector<std::uint32_t>& ids) {
  std::string file(fileSize, '\0');
  for (std::size_t at = 0; at < bytes.size();) {
    EXPECT_LE(at + 20, bytes.size());
    const std::uint32_t id = Common::LoadLe32(bytes.data() + at);
    const std::uint64_t size = Common::LoadLe64(bytes.data() + at + 8);
    EXPECT_EQ(Common::LoadLe32(bytes.data() + at + 16), 0u);
    ids.push_back(id);
    at += 20;
    std::uint64_t offset = 0, length = size;
    if (id == 9) {
      EXPECT_EQ(Common::LoadLe32(bytes.data() + at - 16), 8u);
      offset = Common::LoadLe64(bytes.data() + at);
      at += 8;
      length = size - 8;
    } else {
      EXPECT_EQ(id, 1u);
    }
    EXPECT_LE(offset + length, fileSize);
    EXPECT_LE(at + length, bytes.size());
    file.replace(std::size_t(offset), std::size_t(length),
                 reinterpret_cast<const char*>(bytes.data() + at), std::size_t(length));
    at += std::size_t(length);
  }
  return file;
}

TEST(ExtBackup, DataStreamsReassembleToDebugfsDump) {
  exttest::ScratchDir dir;
  const std::string source = dir.File("source");
  exttest::Run("mkdir -p " + source);
  exttest::MakeHostFile(source + "/whole", 3 * 262144 + 1234, 1);  // several chunks
  exttest::Run("truncate -s 10000 " + source + "/holeInMiddle && printf abc | dd of=" + source +
               "/holeInMiddle bs=1 seek=9000 conv=notrunc 2>/dev/null && printf start | dd of=" +
               source + "/holeInMiddle conv=notrunc 2>/dev/null");
  exttest::Run("truncate -s 10000 " + source + "/holeAtEnd && printf x | dd of=" + source +
               "/holeAtEnd conv=notrunc 2>/dev/null");
  exttest::Run("truncate -s 5000 " + source + "/allHole");
  exttest::Run(": > " + source + "/empty");
  const std::string image = dir.File("data.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext4 -b 4096 -O ^metadata_csum", 16384, source));
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  struct Case {
    const char* name;
    std::vector<std::uint32_t> ids;
  };
  for (const Case& c : std::vector<Case>{{"whole", {1}},
                                         {"holeInMiddle", {9, 9}},
                                         {"holeAtEnd", {9, 9}},
                                         {"allHole", {9}},
                                         {"empty", {}}}) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    const auto items = BackUp(m, u"/", std::u16string(name.begin(), name.end()));
    exttest::Run("rm -f " + dir.File("dumped") + "; debugfs -R 'dump /" + name + " " +
                 dir.File("dumped") + "' " + image);
    const auto dumped = exttest::ReadBytes(dir.File("dumped"), 0, 1 << 22);
    const auto* data = Item(items, filesystems::kItemWindowsStreams);
    if (c.ids.empty()) {
      EXPECT_EQ(data, nullptr);
      EXPECT_EQ(Kinds(items), (std::vector<std::uint32_t>{1, 6, 5}));
      continue;
    }
    ASSERT_NE(data, nullptr);
    std::vector<std::uint32_t> ids;
    const std::string file = Reassemble(data->bytes, dumped.size(), ids);
    EXPECT_EQ(ids, c.ids);
    EXPECT_TRUE(file == std::string(dumped.begin(), dumped.end()));
    EXPECT_EQ(Kinds(items), (std::vector<std::uint32_t>{1, 6, 2, 5}));
  }
  // The last stream of a file ending in a hole is an empty one at its size.
  const auto items = BackUp(m, u"/", u"holeAtEnd");
  const auto& bytes = Item(items, 2)->bytes;
  ASSERT_GE(bytes.size(), 28u);
  EXPECT_EQ(Common::LoadLe64(bytes.data() + bytes.size() - 8), 10000u);
  EXPECT_EQ(Common::LoadLe64(bytes.data() + bytes.size() - 20), 8u);
  // Option 0x4 leaves the data out.
  EXPECT_EQ(Kinds(BackUp(m, u"/", u"whole", filesystems::extfs::kBackupSkipData)),
            (std::vector<std::uint32_t>{1, 6, 5}));
}

TEST(ExtBackup, PosixRecordsAndTimesOfEachKindOfEntry) {
  exttest::ScratchDir dir;
  const std::string source = dir.File("source");
  exttest::Run("mkdir -p " + source + "/sub && ln -s abc " + source + "/link");
  const std::string image = dir.File("posix.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext4 -O ^metadata_csum", 8192, source));
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'mknod dev b 8 17' " + image));
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'sif sub uid 1234' " + image));
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'sif sub mtime 20500102030405' " + image));
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);

  auto link = BackUp(m, u"/", u"link");
  const auto& record = Item(link, 6)->bytes;
  const std::vector<std::uint8_t> expected = {30, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0,   0, 0,
                                              0, 0xFF, 1, 0, 0, 3, 0, 'a', 0, 'b', 0, 'c', 0, 0, 0};
  EXPECT_EQ(record, expected);
  EXPECT_EQ(Common::LoadLe32(Item(link, 1)->bytes.data()), 0u);

  auto sub = BackUp(m, u"/", u"sub");
  EXPECT_EQ(Kinds(sub), (std::vector<std::uint32_t>{1, 6, 5}));
  EXPECT_EQ(Common::LoadLe32(Item(sub, 1)->bytes.data()), 0x10u);
  const auto& subRecord = Item(sub, 6)->bytes;
  ASSERT_EQ(subRecord.size(), 20u);
  EXPECT_EQ(Common::LoadLe32(subRecord.data() + 4), 128u);
  EXPECT_EQ(Common::LoadLe32(subRecord.data() + 8), 1234u);
  const std::int64_t seconds =
      std::strtoll(DiskTest::RunCommand("date -u -d '2050-01-02 03:04:05' +%s").c_str(), nullptr, 10);
  EXPECT_EQ(Common::LoadLe64(Item(sub, 5)->bytes.data()), std::uint64_t(seconds * 1000));

  auto dev = BackUp(m, u"/", u"dev");
  const auto& devRecord = Item(dev, 6)->bytes;
  ASSERT_EQ(devRecord.size(), 28u);
  EXPECT_EQ(Common::LoadLe32(devRecord.data() + 4), 2u);
  EXPECT_EQ(Common::LoadLe32(devRecord.data() + 20), 8u);
  EXPECT_EQ(Common::LoadLe32(devRecord.data() + 24), 17u);
}

TEST(ExtBackup, AttributeRecordsLargerThanAChunkContinueInTheNext) {
  // A chunk smaller than the record: the record must continue in the next
  // chunk, not repeat or stall the item.
  exttest::ScratchDir dir;
  const std::string image = dir.File("bigvalue.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext4 -O ^metadata_csum", 8192));
  const std::string value(300, 'V');
  std::ofstream(dir.File("v")) << value;
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'write /etc/hostname f' " + image));
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'ea_set -f " + dir.File("v") + " /f user.v' " + image));
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  Common::CriticalSectionLock lock(&m->ObjectLock());
  filesystems::extfs::ExtfsBackupObject backup(m.driver, 11, filesystems::extfs::kBackupSkipData);
  std::vector<std::uint8_t> all, chunk(1000);
  constexpr std::uint32_t kSmallChunk = 100;
  int chunks = 0;
  while (backup.itemKind != filesystems::kItemNone && chunks < 100) {
    const std::uint32_t kind = backup.itemKind;
    const std::uint32_t n = backup.ProduceChunk(
        chunk.data(), kind == 7 ? kSmallChunk : std::min<std::uint32_t>(backup.wantedSize, 1000));
    if (kind == 7) all.insert(all.end(), chunk.begin(), chunk.begin() + n);
    ++chunks;
  }
  ASSERT_LT(chunks, 100);
  EXPECT_EQ(Attributes(all).at("user.v"), value);
}

}  // namespace

#endif
