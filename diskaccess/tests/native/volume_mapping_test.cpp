// The library's volumes mapped onto the holders of a DaInit(0x1C11) scan
// over the stand-in library: a volume of one extent becomes the handler of
// the partition it covers, a volume over two disks becomes a holder of the
// pseudo-disk, and a volume that covers no partition is left out. Where the
// partitions lie is read from `sfdisk --json`, not from our own tables.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "diskaccess/win_computer.h"
#include "standin_fixture.h"

namespace {

using DaTest::Extent;
using DaTest::SfdiskSpans;
using DaTest::Span;
using DaTest::StandinConfig;

std::vector<holder*> Partitions(stddisk* d) {
  std::vector<holder*> out;
  for (holder* h = d->holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition()) out.push_back(h);
  return out;
}

std::vector<holder_easy_vol*> EasyVolumes(da_computer& c) {
  std::vector<holder_easy_vol*> out;
  if (c.pseudoDisk == nullptr) return out;
  for (holder* h = c.pseudoDisk->second_list.first; h != nullptr; h = h->next)
    if (auto* easy = dynamic_cast<holder_easy_vol*>(h)) out.push_back(easy);
  return out;
}

std::uint32_t LibraryNumber(const holder* h) {
  const vol_handler* v = h->GetVolumeHandler();
  return v != nullptr ? v->GetDriveNumber() : 0;
}

class VolumeMapping : public ::testing::Test {
 protected:
  void SetUp() override {
    // Two partitions on the first disk, one filling the second; the first
    // disk keeps 1 MiB free at its end.
    mbrA_ = DaTest::MakeMbrImage(dir_, "a.img", 32,
                                 "label: dos\n"
                                 "start=2048, size=20480, type=7\n"
                                 "start=22528, size=40960, type=c\n");
    mbrB_ = DaTest::MakeMbrImage(dir_, "b.img", 16, "label: dos\nstart=2048, type=7\n");
    spansA_ = SfdiskSpans(mbrA_);
    spansB_ = SfdiskSpans(mbrB_);
    ASSERT_EQ(spansA_.size(), 2u);
    ASSERT_EQ(spansB_.size(), 1u);
  }
  void TearDown() override { DaDone(); }

  da_computer& Init(const std::string& drives, const std::string& volumes) {
    config_.Install(drives + volumes);
    DaInit(0x1C11);
    da_computer* c = DaLocalComputer();
    EXPECT_NE(c, nullptr);
    return *c;
  }
  std::string MbrDrives() const { return "drive " + mbrA_ + "\ndrive " + mbrB_ + "\n"; }

  DiskTest::TempDir dir_;
  StandinConfig config_{dir_};
  std::string mbrA_, mbrB_;
  std::vector<Span> spansA_, spansB_;
};

TEST_F(VolumeMapping, OneExtentVolumesBecomeTheHandlersOfTheirPartitions) {
  // Listed out of disk order, so that only the extents can pair them.
  da_computer& c = Init(MbrDrives(),
                        "volume " + Extent(2, spansB_[0].start, spansB_[0].size) + " letter=F\n" +
                            "volume " + Extent(1, spansA_[1].start, spansA_[1].size) +
                            " letter=E\n" + "volume " +
                            Extent(1, spansA_[0].start, spansA_[0].size) + " letter=D\n");
  stddisk* a = c.FirstDisk();
  ASSERT_NE(a, nullptr);
  stddisk* b = a->next;
  ASSERT_NE(b, nullptr);

  struct Case {
    stddisk* disk;
    std::size_t index;
    Span span;
    std::uint32_t volume;
    std::uint8_t letter;
  };
  const Case cases[] = {
      {a, 0, spansA_[0], 3, 'D'},
      {a, 1, spansA_[1], 2, 'E'},
      {b, 0, spansB_[0], 1, 'F'},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE("volume " + std::to_string(k.volume));
    const std::vector<holder*> parts = Partitions(k.disk);
    ASSERT_GT(parts.size(), k.index);
    holder* h = parts[k.index];
    EXPECT_EQ(h->start, k.span.start);
    EXPECT_EQ(h->size, k.span.size);
    vol_handler* v = h->GetVolumeHandler();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->GetDriveNumber(), k.volume);
    EXPECT_EQ(h->GetLetter(kLiveView), k.letter);
    // The handler stands where the partition does: on its disk, from its
    // first sector, over its sectors.
    EXPECT_EQ(v->GetStartSector(), k.span.start);
    EXPECT_EQ(v->GetDiskId(), k.disk->GetDiskId());
    EXPECT_EQ(v->GetSectorCount() + 1, k.span.size);
    EXPECT_EQ(v->GetSectorSize(), 512u);
  }
  EXPECT_FALSE(a->GetOptionFlag());
  EXPECT_FALSE(b->GetOptionFlag());
  EXPECT_TRUE(EasyVolumes(c).empty());

  // A second mapping keeps every pairing.
  MapLibraryVolumes(c);
  for (const Case& k : cases) EXPECT_EQ(LibraryNumber(Partitions(k.disk)[k.index]), k.volume);
  EXPECT_TRUE(EasyVolumes(c).empty());
}

TEST_F(VolumeMapping, AVolumeThatCoversNoPartitionIsLeftOut) {
  struct Case {
    const char* what;
    std::string extents;
  };
  const Case cases[] = {
      {"inside a partition", Extent(1, spansA_[0].start + 8, spansA_[0].size - 8)},
      {"in the free space", Extent(1, spansA_[1].start + spansA_[1].size, 2048)},
      {"over two plain disks",
       Extent(1, spansA_[0].start, spansA_[0].size) + "," +
           Extent(2, spansB_[0].start, spansB_[0].size)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    da_computer& c = Init(MbrDrives(), "volume " + k.extents + " letter=K\n");
    for (stddisk* d = c.FirstDisk(); d != nullptr; d = d->next) {
      if (d->IsEasyVolumeDisk()) continue;
      for (holder* h : Partitions(d)) {
        // Each partition still has a handler, a fresh one of no library
        // volume, and keeps no letter of the volume.
        ASSERT_NE(h->GetVolumeHandler(), nullptr) << h->start;
        EXPECT_EQ(LibraryNumber(h), 0u) << h->start;
        EXPECT_NE(h->GetLetter(kLiveView), 'K') << h->start;
      }
    }
    // The disk that holds the volume says that a volume of it is unmapped.
    EXPECT_TRUE(c.FirstDisk()->GetOptionFlag());
    EXPECT_TRUE(EasyVolumes(c).empty());
    DaDone();
  }
}

TEST_F(VolumeMapping, AVolumeOverTwoDisksBecomesAPseudoDiskHolder) {
  const std::string g1 =
      DaTest::MakeMbrImage(dir_, "g1.img", 16, "label: gpt\nstart=2048, size=16384\n");
  const std::string g2 = DaTest::MakeMbrImage(dir_, "g2.img", 16,
                                              "label: gpt\nstart=4096, size=20480\n");
  const std::vector<Span> s1 = SfdiskSpans(g1), s2 = SfdiskSpans(g2);
  ASSERT_EQ(s1.size(), 1u);
  ASSERT_EQ(s2.size(), 1u);
  const char guid[] = "3F1E2D4C-5B6A-4978-8A9B-0C1D2E3F4A5B";
  da_computer& c = Init("drive " + g1 + "\ndrive " + g2 + "\n",
                        "volume " + Extent(1, s1[0].start, s1[0].size) + "," +
                            Extent(2, s2[0].start, s2[0].size) + " letter=S guid=" + guid +
                            "\n");
  stddisk* d1 = c.FirstDisk();
  ASSERT_NE(d1, nullptr);
  stddisk* d2 = d1->next;
  ASSERT_NE(d2, nullptr);
  ASSERT_NE(c.pseudoDisk, nullptr);

  auto spanned = [&]() -> holder_easy_vol* {
    for (holder_easy_vol* h : EasyVolumes(c))
      if (h->extents.size() == 2) return h;
    return nullptr;
  };
  holder_easy_vol* easy = spanned();
  ASSERT_NE(easy, nullptr);
  EXPECT_EQ(easy->disk, c.pseudoDisk);
  std::vector<DaExtent> expected = {{d1->id, 0, s1[0].start, s1[0].size},
                                    {d2->id, 0, s2[0].start, s2[0].size}};
  std::vector<DaExtent> got = easy->extents;
  std::sort(expected.begin(), expected.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(easy->size, s1[0].size + s2[0].size);
  EXPECT_EQ(LibraryNumber(easy), 1u);
  EXPECT_EQ(easy->GetLetter(kLiveView), 'S');
  ASSERT_NE(easy->GetUniqueGuid(), nullptr);
  Common::Guid id;
  std::memcpy(id.bytes, easy->GetUniqueGuid(), 16);
  EXPECT_EQ(Common::GuidToString(id), guid);
  // Neither disk's partition took the volume for its own.
  for (stddisk* d : {d1, d2})
    for (holder* h : Partitions(d)) EXPECT_EQ(LibraryNumber(h), 0u) << h->start;

  // A second mapping finds the same holder again rather than adding one.
  const std::size_t before = EasyVolumes(c).size();
  MapLibraryVolumes(c);
  EXPECT_EQ(spanned(), easy);
  EXPECT_EQ(EasyVolumes(c).size(), before);
  EXPECT_EQ(LibraryNumber(easy), 1u);
}

}  // namespace
