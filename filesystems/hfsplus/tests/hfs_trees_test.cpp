// The three trees over a populated volume: every leaf of the catalog,
// extents overflow and attributes files dumped and compared with what
// sleuthkit (fls, istat) and 7zz read from the same image; overflow
// records taken out and stored again through the engine, judged by
// fsck.hfsplus and istat; damaged tree headers refused.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "files/file_error.h"
#include "filesystems/hfs_metadata.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"
#include "hfs_image.h"

namespace {

namespace hfs = filesystems::hfsplus;
using fstest::CodeOf;
using hfstest::Quote;

struct TreesMount {
  explicit TreesMount(const std::string& path) : host(path, 512) {
    metadata = std::make_unique<hfs::Metadata>(host.driver.get(), nullptr, 0);
    metadata->OpenTrees();
  }
  ~TreesMount() {
    metadata.reset();
    host.driver.reset();
  }
  hfs::Metadata* operator->() const { return metadata.get(); }
  hfstest::Host host;
  std::unique_ptr<hfs::Metadata> metadata;
};

const char kContents[] =
    "dir docs\n"
    "file readme.txt 1000\n"
    "file Docs2.bin 20000 rsrc=3000\n"
    "file docs/big.dat 100000 fragments=11\n"
    "file docs/many.dat 200000 fragments=20\n"
    "file docs/empty 0\n"
    "dir docs/sub\n"
    "file docs/sub/Note.TXT 5000 xattr=user.tag:hello\n";

std::string Populated(hfstest::ScratchDir& dir) {
  const std::string image = dir.File("p.img");
  std::string out;
  EXPECT_TRUE(hfstest::MakePopulated(image, kContents, &out)) << out;
  return image;
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  Common::Utf16ToUtf8(out, text);
  return out;
}

// fls -r -p: path -> catalog id, entries of the volume only (ids from 16).
std::map<std::string, std::uint32_t> FlsPaths(const std::string& image) {
  std::map<std::string, std::uint32_t> out;
  const std::regex line("^[rd]/[rd] ([0-9]+):\\t(.*)$");
  for (const std::string& l : DiskTest::Lines(DiskTest::RunCommand("fls -r -p " + Quote(image)))) {
    std::smatch m;
    if (std::regex_match(l, m, line) && std::stoul(m[1]) >= 16) out[m[2]] = std::stoul(m[1]);
  }
  return out;
}

// 7zz l -slt: path below the volume's folder -> size ("" for folders).
std::map<std::string, std::string> SevenZipSizes(const std::string& image) {
  std::map<std::string, std::string> out;
  std::string path;
  for (const std::string& l : DiskTest::Lines(DiskTest::RunCommand("7zz l -slt -ba " + Quote(image)))) {
    if (l.rfind("Path = ", 0) == 0) path = l.substr(7);
    if (l.rfind("Size = ", 0) == 0 && path.rfind("Fixture/", 0) == 0)
      out[path.substr(8)] = l.substr(7);
  }
  return out;
}

// istat's runs of a fork ("Data" or "Resource"), "first-last" or a lone block.
std::vector<std::pair<std::uint32_t, std::uint32_t>> IstatRuns(const std::string& image,
                                                               std::uint32_t id,
                                                               const std::string& fork = "Data") {
  const std::string stat = DiskTest::RunCommand("istat " + Quote(image) + " " + std::to_string(id));
  const std::string heading = fork + " Fork Blocks:";
  const std::size_t from = stat.find(heading);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
  if (from == std::string::npos) return runs;
  const std::size_t start = from + heading.size();
  const std::size_t end = std::min(stat.find("Fork Blocks:", start), stat.find("Attributes:", start));
  const std::string blocks = stat.substr(start, end - start);
  const std::regex run("([0-9]+)(-([0-9]+))?");
  for (std::sregex_iterator it(blocks.begin(), blocks.end(), run), end; it != end; ++it) {
    const std::uint32_t first = std::stoul((*it)[1]);
    runs.emplace_back(first, (*it)[3].matched ? std::stoul((*it)[3]) : first);
  }
  return runs;
}

struct Dumped {
  std::uint32_t parent = 0;
  std::u16string name;
  std::uint16_t type = 0;
  std::vector<std::uint8_t> record;
};

std::u16string NameAt(const std::uint8_t* at, std::size_t available) {
  hfs::HFSPlusString name;
  name.SetFromKeyName(at, available);
  std::u16string text;
  name.ToWString(text);
  return text;
}

TEST(HfsTrees, LeafDumpMatchesTheTools) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir);
  TreesMount m(image);
  hfs::CatalogFile& catalog = m->Catalog();

  // Every catalog leaf: entries by id, threads by id.
  std::map<std::uint32_t, Dumped> entries;
  std::map<std::uint32_t, std::pair<std::uint32_t, std::u16string>> threads;
  catalog.Tree().ForEachLeafRecord([&](const std::uint8_t* key, std::size_t keyBytes,
                                       const std::uint8_t* data, std::size_t dataBytes) {
    const std::uint16_t type = Common::LoadBe16(data);
    const std::uint32_t keyParent = Common::LoadBe32(key + 2);
    if (type == hfs::kFolderRecord || type == hfs::kFileRecord) {
      Dumped d{keyParent, NameAt(key, keyBytes), type, {data, data + dataBytes}};
      entries[Common::LoadBe32(data + 8)] = d;
    } else {
      EXPECT_EQ(keyBytes, 8u);  // a thread's key has an empty name
      threads[keyParent] = {Common::LoadBe32(data + 4), NameAt(data + 2, dataBytes - 2)};
    }
    return true;
  });
  ASSERT_EQ(entries.size(), threads.size());
  for (const auto& [id, d] : entries) {
    SCOPED_TRACE(id);
    ASSERT_EQ(threads.count(id), 1u);
    EXPECT_EQ(threads[id].first, d.parent);
    EXPECT_EQ(threads[id].second, d.name);
    EXPECT_EQ(catalog.GetRecordById(id).record, d.record);
  }
  std::u16string label;
  catalog.GetRootFolderName().ToWString(label);
  EXPECT_EQ(label, u"Fixture");

  std::map<std::string, std::uint32_t> paths;
  std::map<std::string, std::string> sizes;
  for (const auto& [id, d] : entries) {
    if (id < 16) continue;
    std::string path = Utf8(d.name);
    for (std::uint32_t p = d.parent; p != 2; p = entries.at(p).parent) path = Utf8(entries.at(p).name) + "/" + path;
    paths[path] = id;
    sizes[path] = d.type == hfs::kFolderRecord
                      ? ""
                      : std::to_string(Common::LoadBe64(d.record.data() + hfs::file::kDataFork));
  }
  EXPECT_EQ(paths, FlsPaths(image));
  EXPECT_EQ(sizes, SevenZipSizes(image));

  // Extents: each data fork's whole list (eight in the record, the rest
  // from the overflow file) is the run list istat reads.
  std::map<std::uint32_t, std::vector<std::uint32_t>> overflowStarts;
  m->Extents().Tree().ForEachLeafRecord([&](const std::uint8_t* key, std::size_t, const std::uint8_t*,
                                            std::size_t) {
    EXPECT_EQ(key[2], 0);  // data forks only here
    overflowStarts[Common::LoadBe32(key + 4)].push_back(Common::LoadBe32(key + 8));
    return true;
  });
  const std::uint32_t blocks = m->GetVolume().Primary().TotalBlocks();
  std::map<std::uint32_t, std::vector<std::uint32_t>> groupStarts;
  for (const auto& [path, id] : paths) {
    const Dumped& d = entries.at(id);
    if (d.type != hfs::kFileRecord) continue;
    SCOPED_TRACE(path);
    hfs::ExtentList list(blocks);
    list.AppendDescriptors(d.record.data() + hfs::file::kDataFork + 16, 8);
    hfs::ExtentList more(blocks);
    m->Extents().CollectExtents(id, 0, list.TotalBlocks(), more);
    list.AppendList(more);
    EXPECT_EQ(list.TotalBlocks(), Common::LoadBe32(d.record.data() + hfs::file::kDataFork + 12));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    for (const auto& e : list.Descriptors()) runs.emplace_back(e.startBlock, e.startBlock + e.blockCount - 1);
    EXPECT_EQ(runs, IstatRuns(image, id));
    hfs::ExtentList resource(blocks);
    resource.AppendDescriptors(d.record.data() + hfs::file::kResourceFork + 16, 8);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> resourceRuns;
    for (const auto& e : resource.Descriptors())
      resourceRuns.emplace_back(e.startBlock, e.startBlock + e.blockCount - 1);
    EXPECT_EQ(resourceRuns, IstatRuns(image, id, "Resource"));
    for (std::size_t g = 8; g < list.Count(); g += 8) groupStarts[id].push_back(list.SumBlocks(g));
    EXPECT_EQ(m->Extents().FindFirstRecord(id, 0).IsNull(), list.Count() <= 8);
  }
  // The twenty-extent fork has two overflow records, at the block totals
  // of its first eight and sixteen extents.
  EXPECT_EQ(overflowStarts, groupStarts);
  EXPECT_EQ(overflowStarts.at(paths.at("docs/many.dat")).size(), 2u);

  // Attributes: the one inline attribute istat shows, and nothing else.
  const std::uint32_t note = paths.at("docs/sub/Note.TXT");
  const std::string stat = DiskTest::RunCommand("istat " + Quote(image) + " " + std::to_string(note));
  EXPECT_NE(stat.find("Name: user.tag   Resident   size: 5"), std::string::npos) << stat;
  const auto attributes = m->Attributes().ListAttributes(note);
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(attributes[0].name, u"user.tag");
  EXPECT_EQ(attributes[0].type, hfs::kInlineDataRecord);
  const auto value = m->Attributes().ReadInlineData(note, u"user.tag");
  EXPECT_EQ(std::string(value.begin(), value.end()), "hello");
  EXPECT_EQ(CodeOf([&] { m->Attributes().ReadInlineData(note, u"user.other"); }), kFileNotFound);
  EXPECT_TRUE(m->Attributes().ListAttributes(paths.at("readme.txt")).empty());
}

TEST(HfsTrees, OverflowRecordsTakenOutAndStoredAgain) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir);
  const std::uint32_t id = FlsPaths(image).at("docs/many.dat");
  const auto runs = IstatRuns(image, id);
  ASSERT_EQ(runs.size(), 20u);
  {
    TreesMount m(image);
    hfs::ExtentsOverflowFile& extents = m->Extents();
    const hfs::CatalogEntry e = m->Catalog().GetRecordById(id);
    const std::uint32_t blocks = m->GetVolume().Primary().TotalBlocks();
    hfs::ExtentList list(blocks);
    list.AppendDescriptors(e.record.data() + hfs::file::kDataFork + 16, 8);
    hfs::ExtentList more(blocks);
    extents.CollectExtents(id, 0, list.TotalBlocks(), more);
    list.AppendList(more);
    ASSERT_EQ(list.Count(), 20u);

    const std::uint32_t records = extents.Tree().LeafRecords();
    extents.RemoveRecords(id, 0);
    EXPECT_TRUE(extents.FindFirstRecord(id, 0).IsNull());
    EXPECT_EQ(extents.Tree().LeafRecords(), records - 2);  // another fork's record stays
    EXPECT_EQ(extents.Tree().Check(), "");
    // The records of the extents file itself are never added.
    std::uint8_t record[64] = {};
    EXPECT_EQ(CodeOf([&] { extents.AddRecord(hfs::kExtentsFileId, 8, record); }), kFileNotSupported);

    extents.StoreOverflowExtents(id, list);
    EXPECT_EQ(extents.Tree().LeafRecords(), records);
    hfs::ExtentList again(blocks);
    extents.CollectExtents(id, 0, list.SumBlocks(8), again);
    EXPECT_EQ(again.Count(), 12u);
    EXPECT_EQ(extents.Tree().Check(), "");
    m->Flush();
    m->Unmount();
  }
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  EXPECT_EQ(IstatRuns(image, id), runs);
}

// Node 0 of the catalog damaged in each way the mount must refuse.
TEST(HfsTrees, DamagedHeaderNodesAreRefused) {
  hfstest::ScratchDir dir;
  const std::string clean = Populated(dir);
  std::uint64_t node0 = 0;
  {
    const std::vector<std::uint8_t> vh = DiskTest::ReadBytes(clean, 1024, 512);
    const hfs::VolumeHeader h(vh.data());
    node0 = std::uint64_t(h.Fork(hfs::kCatalogFileId).extents[0].startBlock) * h.BlockSize();
  }
  struct Case {
    const char* what;
    std::size_t at;
    std::vector<std::uint8_t> bytes;
  };
  const Case cases[] = {
      {"two records", 10, {0, 2}},
      {"a forward link", 0, {0, 0, 0, 5}},
      {"a backward link", 4, {0, 0, 0, 5}},
      {"an index node", 8, {0}},
      {"height 1", 9, {1}},
      {"node size 256", 32, {0x01, 0x00}},
      {"node size 3072", 32, {0x0C, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string image = dir.File("bad.img");
    ASSERT_TRUE(hfstest::Run("cp " + Quote(clean) + " " + Quote(image)));
    DiskTest::WriteBytes(image, node0 + c.at, c.bytes);
    hfstest::Host host(image, 512);
    hfs::Metadata metadata(host.driver.get(), nullptr, 0);
    EXPECT_EQ(CodeOf([&] { metadata.OpenTrees(); }), kFileCorrupted);
    EXPECT_EQ(CodeOf([&] { metadata.Catalog(); }), kFileCorrupted);
  }
}

}  // namespace

#endif
