// The index engine changing a real directory: a random workload of
// insertions and deletions in the root directory of a volume made by mkntfs
// and filled by ntfscp, written straight into the image (the root value in
// its MFT record, INDX blocks into the clusters $INDEX_ALLOCATION already
// has, bits into the resident $BITMAP), then read back by sleuthkit's fls
// and by a fresh mount.
//
// The store below is test code: it edits the one record and the clusters
// the index already owns, and refuses everything that would need new
// clusters or record space elsewhere.
#if !defined(_WIN32)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "disktest/run_command.h"
#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/ntfs_directory.h"
#include "filesystems/ntfs_driver.h"
#include "filesystems/ntfs_index.h"
#include "foundation/byteorder.h"
#include "image_volume.h"
#include "ntfs_image.h"
#include "ntfs_mount_support.h"

namespace ntfs = filesystems::ntfs;
using fstest::CodeOf;

namespace {

using ntfstest::Mounted;
using ntfstest::NextCacheKey;

ntfs::NTFSDriver* Mount(const std::string& path, fstest::ImageVolume& device) {
  const std::uint64_t sectors = std::filesystem::file_size(path) / 512;
  return static_cast<ntfs::NTFSDriver*>(
      filesystems::OpenNTFSVolume(&device, 0, sectors, NextCacheKey(), nullptr, nullptr, 0));
}

// What a mount tells about the root directory's index, taken before the
// image is written behind the driver's back.
struct RootLayout {
  std::uint32_t recordSize = 0;
  std::uint32_t clusterSize = 0;
  // Byte offsets in the image of the records holding $INDEX_ROOT and
  // $BITMAP (record 5, or an extension record its attribute list names).
  std::uint64_t rootRecordOffset = 0;
  std::uint64_t bitmapRecordOffset = 0;
  std::vector<ntfs::Run> allocationRuns;
  std::uint64_t allocationSize = 0;
  std::vector<std::uint8_t> upcase;
  std::uint64_t fileReference = 0;  // of one file in the root
};

RootLayout ReadLayout(const std::string& image) {
  RootLayout l;
  fstest::ImageVolume device(image, 512, 0, true);
  std::unique_ptr<ntfs::NTFSDriver> driver(Mount(image, device));
  EXPECT_NE(driver, nullptr);
  if (!driver) return l;
  const auto& g = driver->Geometry();
  l.recordSize = g.recordSize;
  l.clusterSize = g.clusterSize;
  ntfs::AttributeValue mft;
  {
    ntfs::RecordHandle zero(driver->GetMft(), 0);
    EXPECT_TRUE(driver->FindAttribute(0, zero.Image(), 0x80, u"", mft));
    // A record of this test's volumes lies inside one cluster.
    EXPECT_LE(g.recordSize, g.clusterSize);
  }
  auto offsetOf = [&](std::uint64_t record) {
    const std::uint64_t byte = record * g.recordSize;
    const auto run = mft.runs.Find(byte / g.clusterSize);
    return (std::uint64_t(run->lcn) + (byte / g.clusterSize - run->vcn)) * g.clusterSize +
           byte % g.clusterSize;
  };
  // Where the attribute list (if any) puts the root and the bitmap.
  std::uint64_t rootRecord = 5, bitmapRecord = 5;
  {
    ntfs::RecordHandle root(driver->GetMft(), 5);
    ntfs::AttributeValue list;
    if (driver->FindAttribute(5, root.Image(), 0x20, u"", list)) {
      std::vector<std::uint8_t> bytes(driver->ValueSize(list));
      driver->ReadValue(list, 0, bytes.data(), std::uint32_t(bytes.size()));
      for (std::size_t at = 0; at + 26 <= bytes.size(); at += Common::LoadLe16(&bytes[at + 4])) {
        const std::uint32_t type = Common::LoadLe32(&bytes[at]);
        const std::uint64_t where = ntfs::RecordNumberOf(Common::LoadLe64(&bytes[at + 16]));
        if (type == 0x90) rootRecord = where;
        if (type == 0xB0) bitmapRecord = where;
        if (Common::LoadLe16(&bytes[at + 4]) == 0) break;
      }
    }
  }
  l.rootRecordOffset = offsetOf(rootRecord);
  l.bitmapRecordOffset = offsetOf(bitmapRecord);
  {
    ntfs::RecordHandle root(driver->GetMft(), 5);
    ntfs::AttributeValue allocation;
    EXPECT_TRUE(driver->FindAttribute(5, root.Image(), 0xA0, u"$I30", allocation));
    l.allocationRuns = allocation.runs.Runs();
    l.allocationSize = allocation.header.dataSize;
    EXPECT_EQ(allocation.header.initializedSize, allocation.header.dataSize);
  }
  l.upcase = driver->ReadWholeValue(10, 0x80);
  auto* directory = static_cast<ntfs::NTFSDirectory*>(driver->GetDirectoryObject(0));
  std::unique_ptr<filesystems::FileSystemDriver::IteratorObject> it(directory->OpenIterator());
  EXPECT_NE(it, nullptr);
  if (it) l.fileReference = it->GetEntryId();
  return l;
}

class ImageStore : public ntfs::IndexStore {
 public:
  ImageStore(const std::string& path, const RootLayout& layout) : layout_(layout), bitmap_(*this) {
    fd_ = open(path.c_str(), O_RDWR);
    EXPECT_GE(fd_, 0);
  }
  ~ImageStore() override { close(fd_); }

  std::vector<std::uint8_t> ReadRoot() override {
    Record r(*this, layout_.rootRecordOffset);
    const auto* a = r.Find(0x90);
    return std::vector<std::uint8_t>(r.image.begin() + a->valueOffset,
                                     r.image.begin() + a->valueOffset + a->valueLength);
  }
  bool WriteRoot(const std::vector<std::uint8_t>& value) override {
    Record r(*this, layout_.rootRecordOffset);
    const auto* a = r.Find(0x90);
    const std::uint32_t head = a->valueOffset - a->offset;
    const std::uint32_t length = std::uint32_t((head + value.size() + 7) & ~std::size_t(7));
    const std::int64_t delta = std::int64_t(length) - a->length;
    const std::uint32_t inUse = Common::LoadLe32(r.image.data() + 24);
    if (std::int64_t(inUse) + delta > std::int64_t(layout_.recordSize)) return false;
    std::uint8_t* at = r.image.data() + a->offset;
    const std::uint32_t tail = inUse - (a->offset + a->length);
    std::memmove(at + length, at + a->length, tail);
    if (delta < 0) std::memset(r.image.data() + inUse + delta, 0, std::size_t(-delta));
    Common::StoreLe32(at + 4, length);
    Common::StoreLe32(at + 16, std::uint32_t(value.size()));
    std::memset(at + head, 0, length - head);
    std::memcpy(at + head, value.data(), value.size());
    Common::StoreLe32(r.image.data() + 24, std::uint32_t(inUse + delta));
    r.Write();
    return true;
  }
  bool HasAllocation() override { return true; }
  void CreateAllocation() override { ADD_FAILURE() << "the root already has an allocation"; }
  std::uint64_t AllocationSize() override { return layout_.allocationSize; }
  bool GrowAllocation(std::uint64_t) override { return false; }
  bool CanGrow() override { return false; }
  void ReadAllocation(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    Io(offset, buffer, length, false);
  }
  void WriteAllocation(std::uint64_t offset, const std::uint8_t* data, std::uint32_t length) override {
    Io(offset, const_cast<std::uint8_t*>(data), length, true);
  }
  ntfs::BitmapStorage& BlockBitmap() override { return bitmap_; }

  // Block numbers whose bit is set.
  std::set<std::uint64_t> SetBits() {
    Record r(*this, layout_.bitmapRecordOffset);
    const auto* a = r.Find(0xB0);
    std::set<std::uint64_t> bits;
    for (std::uint32_t i = 0; i < a->valueLength * 8; ++i)
      if (r.image[a->valueOffset + i / 8] & (1u << (i % 8))) bits.insert(i);
    return bits;
  }

 private:
  // One record, read and unprotected; written back protected.
  struct Record {
    Record(ImageStore& s, std::uint64_t offset) : store(s), offset(offset), image(s.layout_.recordSize) {
      EXPECT_EQ(pread(s.fd_, image.data(), image.size(), off_t(offset)),
                ssize_t(image.size()));
      ntfs::UnprotectUpdateSequence(image.data(), ntfs::kFileRecordArrayOffset, image.size());
      header = ntfs::ParseFileRecord(image.data(), image.size());
    }
    const ntfs::AttributeRecord* Find(std::uint32_t type) {
      for (const auto& a : header.attributes)
        if (a.type == type && a.Name(image.data()) == u"$I30" && !a.nonResident) return &a;
      throw std::runtime_error("no resident attribute " + std::to_string(type));
    }
    void Write() {
      // The edited record must still be a sound record.
      ntfs::ParseFileRecord(image.data(), image.size());
      ntfs::ProtectUpdateSequence(image.data(), image.size());
      EXPECT_EQ(pwrite(store.fd_, image.data(), image.size(), off_t(offset)),
                ssize_t(image.size()));
    }
    ImageStore& store;
    std::uint64_t offset;
    std::vector<std::uint8_t> image;
    ntfs::FileRecordHeader header;
  };

  class Bits : public ntfs::BitmapStorage {
   public:
    explicit Bits(ImageStore& s) : s_(s) {}
    std::uint64_t Size() override {
      Record r(s_, s_.layout_.bitmapRecordOffset);
      return r.Find(0xB0)->valueLength;
    }
    std::uint32_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
      Record r(s_, s_.layout_.bitmapRecordOffset);
      const auto* a = r.Find(0xB0);
      if (offset >= a->valueLength) return 0;
      const std::uint32_t n = std::min<std::uint32_t>(length, a->valueLength - std::uint32_t(offset));
      std::memcpy(buffer, r.image.data() + a->valueOffset + offset, n);
      return n;
    }
    std::uint32_t Write(std::uint64_t offset, const std::uint8_t* source, std::uint32_t length) override {
      Record r(s_, s_.layout_.bitmapRecordOffset);
      const auto* a = r.Find(0xB0);
      if (offset >= a->valueLength) return 0;
      const std::uint32_t n = std::min<std::uint32_t>(length, a->valueLength - std::uint32_t(offset));
      for (std::uint32_t i = 0; i < n; ++i)
        r.image[a->valueOffset + offset + i] = source ? source[i] : 0;
      r.Write();
      return n;
    }

   private:
    ImageStore& s_;
  };

  void Io(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length, bool write) {
    ASSERT_LE(offset + length, layout_.allocationSize);
    for (std::uint32_t done = 0; done < length;) {
      const std::uint64_t at = offset + done;
      const std::uint64_t vcn = at / layout_.clusterSize;
      const auto run = std::find_if(layout_.allocationRuns.begin(), layout_.allocationRuns.end(),
                                    [&](const ntfs::Run& r) { return vcn >= r.vcn && vcn < r.vcn + r.length; });
      ASSERT_NE(run, layout_.allocationRuns.end());
      ASSERT_TRUE(run->HasClusters());
      const std::uint32_t within = std::uint32_t(at % layout_.clusterSize);
      const std::uint32_t take = std::min(length - done, layout_.clusterSize - within);
      const off_t place = off_t((std::uint64_t(run->lcn) + vcn - run->vcn) * layout_.clusterSize + within);
      const ssize_t got = write ? pwrite(fd_, buffer + done, take, place) : pread(fd_, buffer + done, take, place);
      ASSERT_EQ(got, ssize_t(take));
      done += take;
    }
  }

  const RootLayout& layout_;
  Bits bitmap_;
  int fd_ = -1;
};

std::vector<std::uint8_t> MakeEntry(const std::u16string& name, std::uint64_t reference) {
  std::vector<std::uint8_t> key = ntfs::MakeFileNameValue(name);
  // The parent is the root (record 5, sequence 5), the flags "archive".
  Common::StoreLe64(key.data(), ntfs::MakeReference(5, 5));
  Common::StoreLe32(key.data() + 56, 0x20);
  key[65] = 1;  // Win32 namespace
  const std::uint32_t length = std::uint32_t((16 + key.size() + 7) & ~std::size_t(7));
  std::vector<std::uint8_t> entry(length, 0);
  Common::StoreLe64(entry.data(), reference);
  Common::StoreLe16(entry.data() + 8, std::uint16_t(length));
  Common::StoreLe16(entry.data() + 10, std::uint16_t(key.size()));
  std::copy(key.begin(), key.end(), entry.begin() + 16);
  return entry;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(char(c));
  return out;
}

// fls's view of the root: the names of records 16 and above.
std::set<std::string> FlsRoot(const std::string& image) {
  std::set<std::string> names;
  const std::regex line(R"(^(\S)/(\S)\s+(\d+)-\d+-\d+:\t(.*)$)");
  for (const std::string& l : DiskTest::Lines(DiskTest::RunCommand("fls '" + image + "' 2>/dev/null"))) {
    std::smatch m;
    if (!std::regex_match(l, m, line) || std::stoull(m[3].str()) < 16) continue;
    if (m[4].str().find(':') != std::string::npos) continue;
    names.insert(m[4].str());
  }
  return names;
}

}  // namespace

TEST(NtfsIndexImage, RandomInsertsAndDeletesReadBackByFls) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("w.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 4096, 24, ""}));
  // Long names spread the root's entries over many index blocks, which
  // the workload then reuses (not so long that the root's record needs an
  // attribute list: this store edits record 5 alone).
  ntfstest::MakeHostFile(dir.File("h"), 100, 1);
  for (int i = 0; i < 160; ++i)
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("h"), "seed " + std::to_string(i) + std::string(90, 'q')));
  const RootLayout layout = ReadLayout(image);
  ASSERT_GT(layout.allocationSize / 4096, 10u);

  const ntfs::UpCaseTable upcase(layout.upcase.data(), layout.upcase.size());
  const ntfs::FileNameKeyOrder order(upcase);
  auto less = [&](const std::u16string& a, const std::u16string& b) {
    return ntfs::CompareUpcasedNames(upcase, a.data(), a.size(), b.data(), b.size(), false) < 0;
  };
  std::set<std::u16string, decltype(less)> model(less);
  std::set<std::string> seeds;
  std::mt19937 random(0x21A5);
  int refused = 0, inserted = 0, removed = 0;
  {
    ImageStore store(image, layout);
    auto index = std::make_unique<ntfs::Index>(store, order);
    ntfs::Index::Cursor c;
    while (index->Next(c)) {
      const std::uint8_t* e = index->EntryAt(c);
      if (ntfs::RecordNumberOf(Common::LoadLe64(e)) >= 16) model.insert(ntfs::FileNameOf(index->Key(e)));
    }
    ASSERT_EQ(model.size(), 160u);
    for (const auto& n : model) seeds.insert(Narrow(n));
    auto check = [&](const char* when) {
      SCOPED_TRACE(when);
      // Our walk: the model in $UpCase order (system entries aside).
      std::vector<std::u16string> walk;
      ntfs::Index::Cursor w;
      while (index->Next(w)) {
        const std::uint8_t* e = index->EntryAt(w);
        if (ntfs::RecordNumberOf(Common::LoadLe64(e)) >= 16) walk.push_back(ntfs::FileNameOf(index->Key(e)));
      }
      ASSERT_EQ(walk, std::vector<std::u16string>(model.begin(), model.end()));
      // No block leaks: the bits set are the blocks reachable.
      std::set<std::uint64_t> reachable;
      for (std::uint64_t vcn : index->ReachableBlocks()) reachable.insert(vcn / index->BlocksToVcn());
      ASSERT_EQ(store.SetBits(), reachable);
      // fls reads the same set from the image. It also lists, from their
      // records, files whose record names the root as parent although the
      // index no longer does: the seeds the workload deleted, whose
      // records stay in use.
      std::set<std::string> expected(seeds);
      for (const auto& n : model) expected.insert(Narrow(n));
      ASSERT_EQ(FlsRoot(image), expected);
    };
    for (int op = 0; op < 10000; ++op) {
      const bool insert = model.size() < 40 || (random() % 100) < (model.size() < 300 ? 60u : 40u);
      if (insert) {
        std::string name = "w" + std::to_string(random() % 5000);
        name.append(random() % 40, char('a' + random() % 26));
        const std::u16string wide(name.begin(), name.end());
        const auto entry = MakeEntry(wide, layout.fileReference);
        const std::uint32_t code =
            CodeOf([&] { index->Insert(entry.data(), std::uint32_t(entry.size())); });
        if (model.count(wide)) {
          ASSERT_EQ(code, kFileAlreadyExists);
        } else if (code == kFileDiskFull) {
          ++refused;  // the allocation has no free block left: nothing changed
        } else {
          ASSERT_EQ(code, 0u) << name;
          model.insert(wide);
          ++inserted;
        }
      } else {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        const auto key = ntfs::MakeFileNameValue(*it);
        ntfs::Index::Cursor found;
        ASSERT_TRUE(index->Find(key.data(), std::uint32_t(key.size()), found));
        index->Remove(found);
        model.erase(it);
        ++removed;
      }
      if (op % 2500 == 2499) {
        // A fresh engine over the bytes on the image sees the model.
        index = std::make_unique<ntfs::Index>(store, order);
        check("during the workload");
        if (HasFatalFailure()) return;
      }
    }
    index = std::make_unique<ntfs::Index>(store, order);
    check("at the end");
  }
  EXPECT_GT(inserted, 3000);
  EXPECT_GT(removed, 3000);
  // The driver's own listing agrees after a fresh mount.
  fstest::ImageVolume device(image, 512, 0, true);
  std::unique_ptr<ntfs::NTFSDriver> driver(Mount(image, device));
  ASSERT_NE(driver, nullptr);
  std::set<std::string> listed(seeds);
  std::unique_ptr<filesystems::FileSystemDriver::IteratorObject> it(
      driver->GetDirectoryObject(0)->OpenIterator());
  for (bool more = it != nullptr; more; more = it->Next()) {
    std::u16string name = it->GetName();
    listed.insert(Narrow(name));
  }
  EXPECT_EQ(listed, FlsRoot(image));
  RecordProperty("refused_for_want_of_blocks", refused);
}

#endif
