// The engine on real volumes: mkfs.hfsplus makes an HFS+ and an HFSX
// volume, the test finds the catalog file's extents from the volume
// header, adds and removes files through the engine (file and thread
// records, the root's valence and the header's counts kept as the format
// wants them), and fsck.hfsplus -f -n, with its own key comparison and
// map checks, must find the volume clean. A volume whose names were
// ordered with the wrong comparison must not pass, so that the check is
// known to look at the order.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/hfs_btree.h"
#include "foundation/byteorder.h"

namespace hfsplus = filesystems::hfsplus;

namespace {

constexpr std::size_t kHeaderAt = 1024;
constexpr std::size_t kCatalogFork = 272;

bool HaveTools() {
#ifdef _WIN32
  return false;  // the format tools run on the build host, not under Windows
#endif
  return std::system("command -v mkfs.hfsplus >/dev/null 2>&1 && command -v fsck.hfsplus "
                     ">/dev/null 2>&1") == 0;
}

std::string Run(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) {
    *status = -1;
    return output;
  }
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  *status = pclose(pipe);
  return output;
}

// The catalog file of an image held in memory, node by node through the
// fork's extents as the volume header gives them.
class CatalogFile : public hfsplus::NodeSource {
 public:
  explicit CatalogFile(std::vector<std::uint8_t>& image) : image_(image) {
    const std::uint8_t* header = image_.data() + kHeaderAt;
    blockSize_ = Common::LoadBe32(header + 40);
    const std::uint8_t* fork = header + kCatalogFork;
    std::uint64_t blocks = 0;
    for (int i = 0; i < 8; ++i) {
      const std::uint32_t start = Common::LoadBe32(fork + 16 + 8 * i);
      const std::uint32_t count = Common::LoadBe32(fork + 20 + 8 * i);
      if (count == 0) break;
      extents_.push_back({start, count});
      blocks += count;
    }
    bytes_ = blocks * blockSize_;
    nodeSize_ = Common::LoadBe16(At(14 + 18));
  }

  std::uint16_t NodeSize() const override { return nodeSize_; }
  std::uint32_t NodeCount() const override { return std::uint32_t(bytes_ / nodeSize_); }
  void ReadNode(std::uint32_t n, std::uint8_t* out) override {
    for (std::size_t i = 0; i < nodeSize_; i += blockSize_ < nodeSize_ ? blockSize_ : nodeSize_)
      std::copy_n(At(std::uint64_t(n) * nodeSize_ + i), std::min<std::size_t>(blockSize_, nodeSize_),
                  out + i);
  }
  void WriteNode(std::uint32_t n, const std::uint8_t* in) override {
    for (std::size_t i = 0; i < nodeSize_; i += blockSize_ < nodeSize_ ? blockSize_ : nodeSize_)
      std::copy_n(in + i, std::min<std::size_t>(blockSize_, nodeSize_),
                  At(std::uint64_t(n) * nodeSize_ + i));
  }
  std::uint32_t Grow(std::uint32_t) override {
    // Growing the catalog takes volume blocks; the test keeps within it.
    filesystems::ThrowFileError(1, 0x7A1FF200, kFileDiskFull);
  }

 private:
  struct Extent {
    std::uint32_t start, count;
  };
  std::uint8_t* At(std::uint64_t offset) {
    std::uint64_t block = offset / blockSize_;
    for (const Extent& e : extents_) {
      if (block < e.count)
        return image_.data() + (std::uint64_t(e.start) + block) * blockSize_ + offset % blockSize_;
      block -= e.count;
    }
    ADD_FAILURE() << "offset past the catalog";
    return image_.data();
  }

  std::vector<std::uint8_t>& image_;
  std::uint32_t blockSize_ = 0;
  std::uint16_t nodeSize_ = 0;
  std::uint64_t bytes_ = 0;
  std::vector<Extent> extents_;
};

std::vector<std::uint8_t> Key(std::uint32_t parent, const std::u16string& name) {
  std::vector<std::uint8_t> key(8 + 2 * name.size());
  Common::StoreBe16(key.data(), std::uint16_t(6 + 2 * name.size()));
  Common::StoreBe32(key.data() + 2, parent);
  Common::StoreBe16(key.data() + 6, std::uint16_t(name.size()));
  for (std::size_t i = 0; i < name.size(); ++i)
    Common::StoreBe16(key.data() + 8 + 2 * i, std::uint16_t(name[i]));
  return key;
}

class Volume {
 public:
  Volume(std::vector<std::uint8_t>& image, const hfsplus::KeyOrder& order)
      : image_(image), file_(image), tree_(file_, order) {
    tree_.Open();
    header_ = image_.data() + kHeaderAt;
    nextId_ = Common::LoadBe32(header_ + 64);
  }

  hfsplus::BTree& Tree() { return tree_; }

  // A file in the root folder: its file record and its thread record.
  void AddFile(const std::u16string& name) {
    const std::uint32_t id = nextId_++;
    std::vector<std::uint8_t> record(248, 0);
    Common::StoreBe16(record.data(), 2);  // file record
    Common::StoreBe32(record.data() + 8, id);
    Common::StoreBe16(record.data() + 32 + 10, 0100644);  // regular file, rw-r--r--
    const auto key = Key(2, name);
    tree_.Insert(key.data(), key.size(), record.data(), record.size());
    std::vector<std::uint8_t> thread(10 + 2 * name.size(), 0);
    Common::StoreBe16(thread.data(), 4);  // file thread record
    Common::StoreBe32(thread.data() + 4, 2);
    std::copy(key.begin() + 6, key.end(), thread.begin() + 8);
    const auto threadKey = Key(id, u"");
    tree_.Insert(threadKey.data(), threadKey.size(), thread.data(), thread.size());
    ids_[name] = id;
    Count(+1);
  }

  void RemoveFile(const std::u16string& name) {
    const auto key = Key(2, name);
    tree_.Remove(key.data(), key.size());
    const auto threadKey = Key(ids_.at(name), u"");
    tree_.Remove(threadKey.data(), threadKey.size());
    ids_.erase(name);
    Count(-1);
  }

  // Writes the nodes and the root's valence and the header's counts.
  void Finish() {
    tree_.Flush();
    // The root folder: found through its thread record (id 2).
    const auto rootThread = Key(2, u"");
    std::vector<std::uint8_t> thread;
    ASSERT_TRUE(tree_.Find(rootThread.data(), rootThread.size(), &thread));
    const std::size_t units = Common::LoadBe16(thread.data() + 8);
    std::vector<std::uint8_t> rootKey(8 + 2 * units);
    Common::StoreBe16(rootKey.data(), std::uint16_t(6 + 2 * units));
    Common::StoreBe32(rootKey.data() + 2, 1);
    std::copy(thread.begin() + 8, thread.begin() + 10 + 2 * std::ptrdiff_t(units),
              rootKey.begin() + 6);
    std::vector<std::uint8_t> folder;
    ASSERT_TRUE(tree_.Find(rootKey.data(), rootKey.size(), &folder));
    Common::StoreBe32(folder.data() + 4, Common::LoadBe32(folder.data() + 4) + std::uint32_t(delta_));
    if (header_[0] == 'H' && header_[1] == 'X') {
      // HFSX folders count their subfolders (none were added here) and say
      // so in their flags; the checker wants the root's marked.
      ASSERT_GE(folder.size(), 88u);
      Common::StoreBe16(folder.data() + 2, std::uint16_t(Common::LoadBe16(folder.data() + 2) | 0x10));
      Common::StoreBe32(folder.data() + 84, 0);
    }
    tree_.Replace(rootKey.data(), rootKey.size(), folder.data(), folder.size());
    tree_.Flush();
    Common::StoreBe32(header_ + 32, Common::LoadBe32(header_ + 32) + std::uint32_t(delta_));
    Common::StoreBe32(header_ + 64, nextId_);
    // The alternate header mirrors the primary.
    std::copy_n(header_, 512, image_.data() + image_.size() - 1024);
  }

 private:
  void Count(int d) { delta_ += d; }

  std::vector<std::uint8_t>& image_;
  CatalogFile file_;
  hfsplus::BTree tree_;
  std::uint8_t* header_ = nullptr;
  std::uint32_t nextId_ = 0;
  int delta_ = 0;
  std::map<std::u16string, std::uint32_t> ids_;
};

struct VolumeCase {
  const char* what;
  const char* mkfsOptions;
  hfsplus::NameOrder order;  // the order the engine is given
  std::vector<std::u16string> names;
  bool clean;  // what fsck.hfsplus must say
};

std::vector<std::u16string> Filler(int count, bool mixedCase) {
  std::vector<std::u16string> names;
  for (int i = 0; i < count; ++i) {
    std::u16string name = u"File number ";
    for (char c : std::to_string(1000 + i * 7919 % 997)) name.push_back(char16_t(c));
    if (mixedCase && i % 2) name[0] = u'f';
    names.push_back(name);
  }
  return names;
}

void RunVolume(const VolumeCase& c) {
  SCOPED_TRACE(c.what);
  // One image per test: the tests may run side by side.
  const std::string path = ::testing::TempDir() + "hfs_btree_volume_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                           ".img";
  std::remove(path.c_str());
  int status = 0;
  std::string out = Run("truncate -s 32M '" + path + "' && mkfs.hfsplus " + c.mkfsOptions +
                            " -v engine '" + path + "'",
                        &status);
  ASSERT_EQ(status, 0) << out;
  std::vector<std::uint8_t> image;
  {
    std::ifstream in(path, std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_EQ(image.size(), 32u << 20);
  hfsplus::CatalogKeyOrder order(c.order);
  {
    Volume volume(image, order);
    ASSERT_EQ(volume.Tree().Check(), "") << "as mkfs.hfsplus left it";
    std::set<std::u16string> added;
    for (const auto& name : c.names) {
      volume.AddFile(name);
      added.insert(name);
    }
    // Every third file goes again, so that leaves empty and nodes return.
    int i = 0;
    for (const auto& name : c.names)
      if (i++ % 3 == 1) volume.RemoveFile(name);
    ASSERT_EQ(volume.Tree().Check(), "");
    EXPECT_GE(volume.Tree().Depth(), 2);
    volume.Finish();
  }
  {
    std::ofstream outFile(path, std::ios::binary | std::ios::trunc);
    outFile.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  }
  out = Run("fsck.hfsplus -f -n '" + path + "'", &status);
  if (c.clean) {
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("appears to be OK"), std::string::npos) << out;
  } else {
    EXPECT_NE(status, 0) << out;
  }
  std::remove(path.c_str());
}

std::vector<std::u16string> FoldingNames() {
  std::vector<std::u16string> names = {
      u"b", u"A", u"C", u"\u00C6ther", u"\u00E6on", u"\u00D8re", u"\u00F8rn", u"\u00C0 la",
      u"\u00E0 bas", u"\u0110uro", u"\u0111vb", u"\u03A3igma", u"\u03C3ag", u"\u0414om",
      u"\u0434a", u"\u0531rm", u"\u0561b", u"\u10A0g", u"\u10D1h", u"\u216Bxii", u"\u217Aeleven",
      u"\uFF21wide", u"\uFF42wide", u"x\u200Dy", u"xz", u"\u01C4dz", u"\u01C6e", u"_under",
      u"Z", u"z0", u"\u00DFs", u"st"};
  for (auto& n : Filler(240, true)) names.push_back(n);
  return names;
}

TEST(HfsBTreeVolume, CaseFoldingCatalogPassesTheChecker) {
  if (!HaveTools()) GTEST_SKIP() << "no mkfs.hfsplus and fsck.hfsplus here";
  RunVolume({"HFS+", "", hfsplus::NameOrder::kCaseFolding, FoldingNames(), true});
}

TEST(HfsBTreeVolume, BinaryCatalogPassesTheChecker) {
  if (!HaveTools()) GTEST_SKIP() << "no mkfs.hfsplus and fsck.hfsplus here";
  std::vector<std::u16string> names = {u"Makefile", u"makefile", u"B", u"a", u"\u00C6", u"\u00E6",
                                       u"x\u200Dy", u"xy"};
  for (auto& n : Filler(240, true)) names.push_back(n);
  RunVolume({"HFSX with binary names", "-s", hfsplus::NameOrder::kBinary, names, true});
}

TEST(HfsBTreeVolume, WrongOrderIsCaught) {
  if (!HaveTools()) GTEST_SKIP() << "no mkfs.hfsplus and fsck.hfsplus here";
  // Binary order on a case-folding catalog puts "B" before "a".
  std::vector<std::u16string> names = {u"B", u"a", u"D", u"c"};
  for (auto& n : Filler(240, false)) names.push_back(n);
  RunVolume({"HFS+ ordered as binary", "", hfsplus::NameOrder::kBinary, names, false});
}

}  // namespace
