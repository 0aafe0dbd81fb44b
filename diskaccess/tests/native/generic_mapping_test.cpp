// Volumes made for partitions and drive letters handed out over the
// stand-in library: the generic mapping creates a volume over every
// partition without one, with the letter the partition asks for when it is
// free; letters are taken off and given back; and the pseudo-disk's edited
// copy of its volumes is paired again after a revert. Where the partitions
// lie is read from `sfdisk --json`; what reached the library from its call
// log.
#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/global_ops.h"
#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "diskaccess/volume_mapping.h"
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

struct Created {
  std::uint64_t first, count;
  char letter;
};

// Every volume the library was asked to create, in call order.
std::vector<Created> CreatedVolumes(const StandinConfig& config) {
  const std::regex call(R"(^sbCreateVolume\(\d+, (\d+), (\d+), (\d+), 0, 0\) = 0 )");
  std::vector<Created> out;
  for (const std::string& line : config.LogLines()) {
    std::smatch m;
    if (std::regex_search(line, m, call))
      out.push_back({std::stoull(m[1]), std::stoull(m[2]), static_cast<char>(std::stoul(m[3]))});
  }
  return out;
}

// The letters each library volume handle was given, in call order.
std::map<unsigned, std::string> LettersSet(const StandinConfig& config) {
  const std::regex call(R"(^sbSetVolumeLetter\((\d+), (\d+)\) = )");
  std::map<unsigned, std::string> out;
  for (const std::string& line : config.LogLines()) {
    std::smatch m;
    if (std::regex_search(line, m, call)) {
      const unsigned letter = static_cast<unsigned>(std::stoul(m[2]));
      out[static_cast<unsigned>(std::stoul(m[1]))] += letter == 0 ? '-' : static_cast<char>(letter);
    }
  }
  return out;
}

std::string AllSetLetters(const StandinConfig& config) {
  std::string all;
  for (const auto& [handle, letters] : LettersSet(config)) all += letters + " ";
  return all;
}

// The library's free letters, bit 0 for C:, as its own query gives them now.
std::uint32_t LibraryFreeLetters(da_computer& c) {
  std::uint32_t mask = 0;
  c.GetFreeLetters(mask);
  return mask >> 2;
}

std::uint32_t Bit(char letter) { return 1u << (letter - 'C'); }

class GenericMapping : public ::testing::Test {
 protected:
  void SetUp() override {
    mbrA_ = DaTest::MakeMbrImage(dir_, "a.img", 32,
                                 "label: dos\n"
                                 "start=2048, size=20480, type=7\n"
                                 "start=22528, size=40960, type=c\n");
    mbrB_ = DaTest::MakeMbrImage(dir_, "b.img", 16, "label: dos\nstart=2048, type=83\n");
    spansA_ = SfdiskSpans(mbrA_);
    spansB_ = SfdiskSpans(mbrB_);
    ASSERT_EQ(spansA_.size(), 2u);
    ASSERT_EQ(spansB_.size(), 1u);
  }
  void TearDown() override { DaDone(); }

  da_computer& Init(const std::string& extra) {
    config_.Install("drive " + mbrA_ + "\ndrive " + mbrB_ + "\n" + extra);
    DaInit(0x1C11);
    da_computer* c = DaLocalComputer();
    EXPECT_NE(c, nullptr);
    return *c;
  }
  // The partitions in disk order: a0, a1, b0.
  std::vector<holder*> AllPartitions(da_computer& c) {
    std::vector<holder*> out;
    for (stddisk* d = c.FirstDisk(); d != nullptr; d = d->next)
      if (!d->IsEasyVolumeDisk())
        for (holder* h : Partitions(d)) out.push_back(h);
    return out;
  }

  DiskTest::TempDir dir_;
  StandinConfig config_{dir_};
  std::string mbrA_, mbrB_;
  std::vector<Span> spansA_, spansB_;
};

TEST_F(GenericMapping, PartitionsWithoutAVolumeGetOneWithTheLetterTheyAskFor) {
  // C: and E: are the system's; the partitions ask for D:, E: (taken) and
  // f: (lower case).
  da_computer& c = Init("used CE\n");
  std::vector<holder*> parts = AllPartitions(c);
  ASSERT_EQ(parts.size(), 3u);
  const char asked[] = {'D', 'E', 'f'};
  // Each has the fresh handler of no volume that the scan gave it.
  for (std::size_t i = 0; i < parts.size(); ++i) {
    ASSERT_NE(parts[i]->GetVolumeHandler(), nullptr);
    EXPECT_EQ(parts[i]->GetVolumeHandler()->GetLibraryHandle(), 0);
    parts[i]->SetLetter(kViewWanted, static_cast<std::uint8_t>(asked[i]), 0);
  }
  config_.ClearLog();
  MapVolumesGeneric(c, true);

  struct Case {
    Span span;
    char letter;
  };
  // E: is taken, so the second partition gets the lowest free one, F:;
  // the third then finds F: taken too and gets G:.
  const Case cases[] = {{spansA_[0], 'D'}, {spansA_[1], 'F'}, {spansB_[0], 'G'}};
  const std::vector<Created> created = CreatedVolumes(config_);
  ASSERT_EQ(created.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("partition " + std::to_string(i));
    EXPECT_EQ(created[i].first, cases[i].span.start);
    EXPECT_EQ(created[i].count, cases[i].span.size);
    EXPECT_EQ(created[i].letter, cases[i].letter);
    EXPECT_EQ(parts[i]->GetLetter(kLiveView), cases[i].letter);
    vol_handler* v = parts[i]->GetVolumeHandler();
    ASSERT_NE(v, nullptr);
    std::uint8_t letter = 0;
    ASSERT_EQ(v->VolGetLetter(letter).Code(), 0u);
    EXPECT_EQ(letter, cases[i].letter);
    EXPECT_EQ(v->GetStartSector(), cases[i].span.start);
  }
  const std::uint32_t free = LibraryFreeLetters(c);
  EXPECT_EQ(free & (Bit('C') | Bit('D') | Bit('E') | Bit('F') | Bit('G')), 0u);
  EXPECT_NE(free & Bit('H'), 0u);
  EXPECT_EQ(c.freeLetters[0], free);
  EXPECT_EQ(c.freeLetters[1], free);
  EXPECT_EQ(c.capabilities & 0x22u, 0x22u);

  // A second mapping creates nothing; only the type 0x83 partition has its
  // letter taken off and given back.
  config_.ClearLog();
  MapVolumesGeneric(c, true);
  EXPECT_TRUE(CreatedVolumes(config_).empty());
  EXPECT_EQ(AllSetLetters(config_), "-G ");
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(parts[i]->GetLetter(kLiveView), cases[i].letter);
}

TEST_F(GenericMapping, WithoutLettersEveryPartitionGetsAFreshVolumeAndNoLetter) {
  da_computer& c = Init("used C\n");
  std::vector<holder*> parts = AllPartitions(c);
  ASSERT_EQ(parts.size(), 3u);
  for (holder* h : parts) h->SetLetter(kViewWanted, 'K', 0);
  config_.ClearLog();
  MapVolumesGeneric(c, false);
  const std::vector<Created> created = CreatedVolumes(config_);
  ASSERT_EQ(created.size(), 3u);
  const Span spans[] = {spansA_[0], spansA_[1], spansB_[0]};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(created[i].first, spans[i].start);
    EXPECT_EQ(created[i].count, spans[i].size);
    EXPECT_EQ(created[i].letter, 0) << i;
    std::uint8_t letter = 0xFF;
    ASSERT_NE(parts[i]->GetVolumeHandler(), nullptr);
    ASSERT_EQ(parts[i]->GetVolumeHandler()->VolGetLetter(letter).Code(), 0u);
    EXPECT_EQ(letter, 0) << i;
    ASSERT_NE(parts[i]->GetVolumeHandler(), nullptr);
  }
  EXPECT_EQ(AllSetLetters(config_), "");

  // Without letters a partition's volume stays: no second one is made.
  config_.ClearLog();
  MapVolumesGeneric(c, false);
  EXPECT_TRUE(CreatedVolumes(config_).empty());
}

TEST_F(GenericMapping, LettersComeOffAndMissingOnesAreGiven) {
  // Two GPT disks of one basic-data partition each, for a volume over both.
  const char basic[] = "type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
  const std::string g1 = DaTest::MakeMbrImage(
      dir_, "g1.img", 16, std::string("label: gpt\nstart=2048, size=16384, ") + basic + "\n");
  const std::string g2 = DaTest::MakeMbrImage(
      dir_, "g2.img", 16, std::string("label: gpt\nstart=4096, size=20480, ") + basic + "\n");
  const std::vector<Span> s1 = SfdiskSpans(g1), s2 = SfdiskSpans(g2);
  ASSERT_EQ(s1.size(), 1u);
  ASSERT_EQ(s2.size(), 1u);
  // Library volumes: the NTFS partition at L:, the Linux one without a
  // letter, and one over both GPT partitions at S:.
  da_computer& c = Init("drive " + g1 + "\ndrive " + g2 + "\nused C\n" + "volume " +
                        Extent(1, spansA_[0].start, spansA_[0].size) + " letter=L\n" +
                        "volume " + Extent(2, spansB_[0].start, spansB_[0].size) + "\n" +
                        "volume " + Extent(3, s1[0].start, s1[0].size) + "," +
                        Extent(4, s2[0].start, s2[0].size) + " letter=S\n");
  std::vector<holder*> parts = AllPartitions(c);
  ASSERT_EQ(parts.size(), 5u);
  ASSERT_NE(parts[2]->GetVolumeHandler(), nullptr);
  EXPECT_EQ(parts[2]->GetVolumeHandler()->GetDriveNumber(), 2u);
  ASSERT_NE(c.pseudoDisk, nullptr);
  holder* spanned = nullptr;
  for (holder* h = c.pseudoDisk->second_list.first; h != nullptr; h = h->next)
    if (!h->IsFreeSpace()) spanned = h;
  ASSERT_NE(spanned, nullptr);
  EXPECT_EQ(spanned->GetLetter(kLiveView), 'S');
  config_.ClearLog();

  // The Linux partition has no letter: it takes the lowest free one, D:;
  // the NTFS partition and the spanned volume keep theirs, and partitions
  // without a volume get none.
  AssignMissingLetters(c);
  EXPECT_EQ(parts[2]->GetLetter(kLiveView), 'D');
  EXPECT_EQ(parts[0]->GetLetter(kLiveView), 'L');
  EXPECT_EQ(spanned->GetLetter(kLiveView), 'S');
  EXPECT_EQ(AllSetLetters(config_), "D ");
  EXPECT_EQ(c.freeLetters[0], LibraryFreeLetters(c));
  EXPECT_EQ(c.freeLetters[0] & Bit('D'), 0u);

  // Taking letters off leaves the NTFS partition's; the Linux partition's
  // and the spanned volume's letters are free again.
  RemoveVolumeLetters(c);
  std::uint8_t letter = 0;
  ASSERT_EQ(parts[0]->GetVolumeHandler()->VolGetLetter(letter).Code(), 0u);
  EXPECT_EQ(letter, 'L');
  for (holder* h : {parts[2], spanned}) {
    ASSERT_EQ(h->GetVolumeHandler()->VolGetLetter(letter).Code(), 0u);
    EXPECT_EQ(letter, 0) << h->GetId();
  }
  EXPECT_EQ(c.freeLetters[0], LibraryFreeLetters(c));
  EXPECT_NE(c.freeLetters[0] & Bit('D'), 0u);
  EXPECT_NE(c.freeLetters[0] & Bit('S'), 0u);
  EXPECT_EQ(c.freeLetters[0] & Bit('L'), 0u);

  // Given again: the pseudo-disk's volume first, and its copy on the
  // pseudo-disk shows the letter too.
  AssignMissingLetters(c);
  EXPECT_EQ(spanned->GetLetter(kLiveView), 'D');
  EXPECT_EQ(parts[2]->GetLetter(kLiveView), 'E');
  bool copySeen = false;
  for (holder* h = c.pseudoDisk->holder_list.first; h != nullptr; h = h->next) {
    if (h->GetId() != spanned->GetId()) continue;
    copySeen = true;
    EXPECT_EQ(h->GetLetter(kLiveView), 'D');
  }
  EXPECT_TRUE(copySeen);
}

TEST_F(GenericMapping, ARevertPairsTheEditedCopyWithTheMappedVolumesAgain) {
  const std::string g1 =
      DaTest::MakeMbrImage(dir_, "g1.img", 16, "label: gpt\nstart=2048, size=16384\n");
  const std::string g2 = DaTest::MakeMbrImage(dir_, "g2.img", 16,
                                              "label: gpt\nstart=4096, size=20480\n");
  const std::vector<Span> s1 = SfdiskSpans(g1), s2 = SfdiskSpans(g2);
  ASSERT_EQ(s1.size(), 1u);
  ASSERT_EQ(s2.size(), 1u);
  config_.Install("drive " + g1 + "\ndrive " + g2 + "\nvolume " + Extent(1, s1[0].start, 2048) +
                  "," + Extent(2, s2[0].start, 2048) + " letter=S\n" + "volume " +
                  Extent(1, s1[0].start + 2048, 4096) + "," +
                  Extent(2, s2[0].start + 2048, 4096) + " letter=T\n");
  DaInit(0x1C11);
  da_computer* c = DaLocalComputer();
  ASSERT_NE(c, nullptr);
  ASSERT_NE(c->pseudoDisk, nullptr);
  HolderList& copies = c->pseudoDisk->holder_list;
  HolderList& mapped = c->pseudoDisk->second_list;

  auto ids = [](const HolderList& list) {
    std::vector<std::int32_t> out;
    for (holder* h = list.first; h != nullptr; h = h->next)
      if (!h->IsFreeSpace()) out.push_back(h->GetId());
    std::sort(out.begin(), out.end());
    return out;
  };
  auto byLetter = [](const HolderList& list, std::uint8_t letter) -> holder* {
    for (holder* h = list.first; h != nullptr; h = h->next)
      if (h->GetLetter(kLiveView) == letter) return h;
    return nullptr;
  };
  // The final pass left a copy of every mapped volume (the two library
  // volumes and the model's two GPT partitions) to edit.
  const std::vector<std::int32_t> mappedIds = ids(mapped);
  ASSERT_EQ(mappedIds.size(), 4u);
  EXPECT_EQ(ids(copies), mappedIds);
  holder* s = byLetter(mapped, 'S');
  holder* t = byLetter(mapped, 'T');
  ASSERT_NE(s, nullptr);
  ASSERT_NE(t, nullptr);

  // Edits in memory: S:'s copy is deleted, T:'s copy is lettered Q:.
  delete copies.Unlink(DaFindHolderById(s->GetId(), &copies));
  holder* second = DaFindHolderById(t->GetId(), &copies);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, t);
  dynamic_cast<holder_easy_vol*>(second)->SetLetter(kLiveView, 'Q', 0);
  EXPECT_EQ(ids(copies).size(), 3u);

  DaRevertChanges();
  EXPECT_EQ(ids(copies), mappedIds);
  holder* first = DaFindHolderById(s->GetId(), &copies);
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, s);
  EXPECT_EQ(first->GetVolumeHandler(), s->GetVolumeHandler());
  EXPECT_EQ(first->GetLetter(kLiveView), 'S');
  // The copy that stayed is the same object, with its letter as it was.
  EXPECT_EQ(DaFindHolderById(t->GetId(), &copies), second);
  EXPECT_EQ(second->GetLetter(kLiveView), 'T');
  // Nothing was written to either disk.
  for (const std::string& line : config_.LogLines())
    EXPECT_NE(line.rfind("sbWrite", 0), 0u) << line;
}

}  // namespace
