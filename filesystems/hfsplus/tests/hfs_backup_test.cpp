// HFS+ backup streams over a populated volume, built byte for byte from
// the item layouts and compared with what sleuthkit extracts: the data
// fork with icat, the resource fork and the extended attributes with icat
// of the attributes istat lists, times with istat's, a symbolic link's
// target with the bytes icat reads from it. Fork bytes come in chunks of at
// most 64 KiB; damaged extents end in an error, never in a loop.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "files/file_error.h"
#include "filesystems/backup.h"
#include "filesystems/hfs_backup.h"
#include "foundation/byteorder.h"
#include "hfs_file_support.h"
#include "memory_streams.h"

namespace {

using namespace hfsfile;
using fstest::CodeOf;
using Bytes = std::vector<std::uint8_t>;

const char kContents[] =
    "dir docs\n"
    "file readme.txt 1000\n"
    "file Docs2.bin 20000 rsrc=3000\n"
    "file docs/big.dat 300000 fragments=11\n"
    "file docs/empty 0\n"
    "dir docs/sub\n"
    "file docs/sub/Note.TXT 5000 xattr=user.tag:hello\n"
    "file link 0 symlink=docs/sub/Note.TXT\n";

struct Fixture {
  Fixture() {
    image = dir.File("b.img");
    std::string out;
    ok = hfstest::MakePopulated(image, kContents, &out) && hfstest::CheckerClean(image, &out);
    EXPECT_TRUE(ok) << out;
    ids = FlsIds(image);
  }
  hfstest::ScratchDir dir;
  std::string image;
  bool ok = false;
  std::map<std::string, std::uint32_t> ids;
};

std::vector<fstest::RecordedItem> Backup(const Mount& m, const std::string& path,
                                         std::uint32_t option = 0) {
  fstest::MemoryStreamFactory factory;
  filesystems::BackupTarget target;
  target.factory = &factory;
  target.option = option;
  Driver::DirectoryObject* folder = m.FolderOf(path);
  std::unique_ptr<Driver::IteratorObject> at(folder->OpenIteratorFor(Mount::NameOf(path)));
  filesystems::BackupEntry(*m.driver, folder, at.get(), target);
  return factory.items;
}

std::vector<std::uint32_t> Kinds(const std::vector<fstest::RecordedItem>& items) {
  std::vector<std::uint32_t> kinds;
  for (const auto& item : items) kinds.push_back(item.kind);
  return kinds;
}

Bytes Le32s(std::initializer_list<std::uint32_t> values) {
  Bytes b;
  for (std::uint32_t v : values) {
    b.resize(b.size() + 4);
    Common::StoreLe32(b.data() + b.size() - 4, v);
  }
  return b;
}

Bytes AsBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Kind-7 records as (name, data) pairs, each header's length honoured.
std::vector<std::pair<std::string, std::string>> Records(const Bytes& b) {
  std::vector<std::pair<std::string, std::string>> out;
  for (std::size_t at = 0; at < b.size();) {
    EXPECT_LE(at + 10, b.size());
    if (at + 10 > b.size()) break;
    const std::uint16_t n = Common::LoadLe16(b.data() + at);
    const std::uint64_t length = Common::LoadLe64(b.data() + at + 2);
    const std::size_t header = n == 0 ? 10 : 11 + n;
    std::string name(b.begin() + at + 10, b.begin() + at + 10 + n);
    if (n) {
      EXPECT_EQ(b[at + 10 + n], 0);
    }
    at += header;
    EXPECT_LE(at + length, b.size());
    out.emplace_back(name, std::string(b.begin() + at, b.begin() + at + std::size_t(length)));
    at += std::size_t(length);
  }
  return out;
}

// istat's times of an entry, as the backup gives them: ms since 1970.
Bytes IstatTimes(const std::string& image, std::uint32_t id) {
  const std::string stat = DiskTest::RunCommand("istat " + Quote(image) + " " + std::to_string(id));
  auto at = [&](const char* label) {
    const std::regex r(std::string(label) + ":\\t([0-9]+)-([0-9]+)-([0-9]+) ([0-9]+):([0-9]+):([0-9]+)");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(stat, m, r)) << label;
    std::tm t{};
    t.tm_year = std::stoi(m[1]) - 1900;
    t.tm_mon = std::stoi(m[2]) - 1;
    t.tm_mday = std::stoi(m[3]);
    t.tm_hour = std::stoi(m[4]);
    t.tm_min = std::stoi(m[5]);
    t.tm_sec = std::stoi(m[6]);
    return std::uint64_t(timegm(&t)) * 1000;
  };
  Bytes b(16);
  Common::StoreLe64(b.data(), at("Content Modified"));
  Common::StoreLe64(b.data() + 8, at("Created"));
  return b;
}

const std::string kZeroFinderInfo(32, '\0');

TEST(HfsBackup, FileStreamsEqualWhatSleuthkitExtracts) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  Mount m(f.image);
  ASSERT_TRUE(m.driver);

  struct Case {
    const char* path;
    std::vector<std::uint32_t> kinds;
    std::vector<std::string> records;  // kind-7 names in order
  };
  const Case cases[] = {
      {"readme.txt", {1, 4, 6, 5, 7}, {"com.apple.FinderInfo"}},
      {"Docs2.bin", {1, 4, 6, 5, 7}, {"com.apple.FinderInfo", "com.apple.ResourceFork"}},
      {"docs/big.dat", {1, 4, 6, 5, 7}, {"com.apple.FinderInfo"}},
      {"docs/sub/Note.TXT", {1, 4, 6, 5, 7}, {"com.apple.FinderInfo", "user.tag"}},
      // An empty file has no data item at all.
      {"docs/empty", {1, 6, 5, 7}, {"com.apple.FinderInfo"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::uint32_t id = f.ids.at(c.path);
    const auto items = Backup(m, c.path);
    ASSERT_EQ(Kinds(items), c.kinds);
    std::size_t i = 0;
    EXPECT_EQ(items[i++].bytes, Le32s({0}));
    if (c.kinds[1] == 4) {
      EXPECT_EQ(items[i++].bytes, AsBytes(Icat(f.image, std::to_string(id))));
    }
    EXPECT_EQ(items[i++].bytes, Le32s({20, 0, 0, 0, 0100644}));
    EXPECT_EQ(items[i++].bytes, IstatTimes(f.image, id));
    const auto records = Records(items[i].bytes);
    ASSERT_EQ(records.size(), c.records.size());
    const auto attributes = IstatAttributes(f.image, id);
    for (std::size_t r = 0; r < records.size(); ++r) {
      EXPECT_EQ(records[r].first, c.records[r]);
      if (r == 0) {
        EXPECT_EQ(records[r].second, kZeroFinderInfo);
      } else {
        ASSERT_EQ(attributes.count(c.records[r]), 1u);
        EXPECT_EQ(records[r].second,
                  Icat(f.image, std::to_string(id) + "-" + attributes.at(c.records[r])));
      }
    }
    if (c.records.size() == 1) {
      EXPECT_EQ(items[i].bytes.size(), 63u);
    }
  }
  // The option that leaves data out drops the kind-4 item and nothing else.
  const auto full = Backup(m, "Docs2.bin");
  const auto lean = Backup(m, "Docs2.bin", hfs::kBackupSkipData);
  ASSERT_EQ(Kinds(lean), (std::vector<std::uint32_t>{1, 6, 5, 7}));
  EXPECT_EQ(lean[1].bytes, full[2].bytes);
  EXPECT_EQ(lean[3].bytes, full[4].bytes);
}

TEST(HfsBackup, FoldersAndSymbolicLinks) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  Mount m(f.image);
  const auto folder = Backup(m, "docs");
  ASSERT_EQ(Kinds(folder), (std::vector<std::uint32_t>{1, 6, 5, 7}));
  EXPECT_EQ(folder[0].bytes, Le32s({0x10}));
  EXPECT_EQ(folder[1].bytes, Le32s({20, 128, 0, 0, 040755}));
  EXPECT_EQ(folder[2].bytes, IstatTimes(f.image, f.ids.at("docs")));
  EXPECT_EQ(folder[3].bytes.size(), 63u);

  const auto link = Backup(m, "link");
  ASSERT_EQ(Kinds(link), (std::vector<std::uint32_t>{1, 6, 5, 7}));
  const std::string target = Icat(f.image, std::to_string(f.ids.at("link")));
  ASSERT_EQ(target, "docs/sub/Note.TXT");
  Bytes posix = Le32s({std::uint32_t(24 + 2 * target.size()), 5, 0, 0, 0120755});
  posix.push_back(std::uint8_t(2 * target.size()));
  posix.push_back(0);
  for (char c : target) {
    posix.push_back(std::uint8_t(c));
    posix.push_back(0);
  }
  posix.push_back(0);
  posix.push_back(0);
  EXPECT_EQ(link[1].bytes, posix);
  const auto records = Records(link[3].bytes);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].second, std::string("slnkrhap") + std::string(24, '\0'));
  // The link's target is read whatever the option says of data forks.
  EXPECT_EQ(Backup(m, "link", hfs::kBackupSkipData)[1].bytes, posix);
}

TEST(HfsBackup, DevicesCarryTheirNumbers) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("n.img");
  std::string out;
  ASSERT_TRUE(hfstest::MakePopulated(image,
                                     "file dev 0 node=char:3:7\n"
                                     "file disk 0 node=block:8:1\n"
                                     "file pipe 0 node=fifo\n",
                                     &out))
      << out;
  ASSERT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  const auto ids = FlsIds(image);
  Mount m(image);
  struct Case {
    const char* name;
    Bytes posix;
  };
  const Case cases[] = {
      {"dev", Le32s({28, 1, 0, 0, 020644, 3, 7})},
      {"disk", Le32s({28, 2, 0, 0, 060644, 8, 1})},
      {"pipe", Le32s({28, 3, 0, 0, 010644, 0, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto items = Backup(m, c.name);
    ASSERT_EQ(Kinds(items), (std::vector<std::uint32_t>{1, 6, 5, 7}));
    EXPECT_EQ(items[0].bytes, Le32s({0}));
    EXPECT_EQ(items[1].bytes, c.posix);
    EXPECT_EQ(items[2].bytes, IstatTimes(image, ids.at(c.name)));
    EXPECT_EQ(items[3].bytes.size(), 63u);
  }
}

TEST(HfsBackup, AHardLinkYieldsItsINode) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("h.img");
  std::string out;
  ASSERT_TRUE(hfstest::MakePopulated(image,
                                     "file data.bin 9000 rsrc=100\n"
                                     "file second 0 hardlink=data.bin\n",
                                     &out))
      << out;
  ASSERT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  const std::uint32_t inode = FlsIds(image).at("second");
  Mount m(image);
  const auto link = Backup(m, "second");
  ASSERT_EQ(Kinds(link), (std::vector<std::uint32_t>{1, 4, 6, 5, 7}));
  EXPECT_EQ(link[1].bytes, AsBytes(Icat(image, std::to_string(inode))));
  EXPECT_EQ(link[2].bytes, Le32s({20, 0, 0, 0, 0100644}));
  EXPECT_EQ(link[3].bytes, IstatTimes(image, inode));
  const auto records = Records(link[4].bytes);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].first, "com.apple.ResourceFork");
  EXPECT_EQ(records[1].second, Icat(image, std::to_string(inode) + "-" +
                                               IstatAttributes(image, inode).at(records[1].first)));
  // Both names give the same stream.
  const auto original = Backup(m, "data.bin");
  ASSERT_EQ(original.size(), link.size());
  for (std::size_t i = 0; i < link.size(); ++i) EXPECT_EQ(original[i].bytes, link[i].bytes);
}

TEST(HfsBackup, ForkBytesComeInChunksOfAtMost64KiB) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  Mount m(f.image);
  const std::uint32_t id = f.ids.at("docs/big.dat");
  std::unique_ptr<Driver::BackupObject> backup(
      hfs::HFSPlusBackupObjectFactory(m.Hfs()).Create(id, 0));
  ASSERT_TRUE(backup);
  std::string data;
  std::vector<std::uint32_t> chunks;
  for (int guard = 0; backup->itemKind != 0 && guard < 1000; ++guard) {
    const std::uint32_t kind = backup->itemKind;
    Bytes buffer(backup->wantedSize);
    const std::uint32_t n = backup->ProduceChunk(buffer.data(), backup->wantedSize);
    if (kind == 4) {
      chunks.push_back(n);
      data.append(buffer.begin(), buffer.begin() + n);
    }
  }
  EXPECT_EQ(backup->itemKind, 0u);
  EXPECT_EQ(data, Icat(f.image, std::to_string(id)));
  EXPECT_GE(chunks.size(), 11u);  // at least one per extent
  for (std::uint32_t n : chunks) {
    EXPECT_GT(n, 0u);
    EXPECT_LE(n, 65536u);
  }
}

TEST(HfsBackup, DamagedForksFailWithoutLooping) {
  Fixture f;
  ASSERT_TRUE(f.ok);
  struct Case {
    const char* name;
    std::uint32_t start, count;  // first extent of the data fork
    std::uint64_t size;          // logical size
    std::uint32_t total;         // total blocks
    std::uint32_t code;
  };
  const Case cases[] = {
      {"extent at block 0", 0, 1, 1000, 1, kFileCorrupted},
      {"extent past the volume", 8190, 10, 1000, 10, kFileCorrupted},
      {"more blocks claimed than mapped", 2048, 1, 1000, 3, kFileBackupError},
      {"size past the blocks", 2048, 1, 9000, 1, kFileCorrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mount m(f.image);
    hfs::CatalogFile& catalog = m->GetMetadata().Catalog();
    hfs::CatalogEntry e = catalog.GetRecordById(f.ids.at("readme.txt"));
    std::uint8_t* fork = e.record.data() + hfs::file::kDataFork;
    const Bytes saved(e.record);
    Common::StoreBe64(fork, c.size);
    Common::StoreBe32(fork + 12, c.total);
    Common::StoreBe32(fork + 16, c.start);
    Common::StoreBe32(fork + 20, c.count);
    catalog.UpdateRecord(e);
    EXPECT_EQ(CodeOf([&] {
                delete hfs::HFSPlusBackupObjectFactory(m.Hfs()).Create(f.ids.at("readme.txt"), 0);
              }),
              c.code);
    // Through the framework the file's own open refuses it first.
    EXPECT_NE(CodeOf([&] { Backup(m, "readme.txt"); }), 0u);
    e.record = saved;
    catalog.UpdateRecord(e);
  }
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(f.image, &out)) << out;
}

TEST(HfsBackup, ItemLayoutsRefuseWhatTheyCannotCarry) {
  EXPECT_EQ(hfs::ExtendedAttributeHeader("", 0).size(), 10u);
  EXPECT_EQ(hfs::ExtendedAttributeHeader("com.apple.FinderInfo", 32).size(), 31u);
  EXPECT_EQ(hfs::ExtendedAttributeHeader(std::string(127, 'n'), 1).size(), 138u);
  EXPECT_EQ(CodeOf([] { hfs::ExtendedAttributeHeader(std::string(128, 'n'), 1); }),
            kFileBackupError);
}

}  // namespace

#endif
