// Which holder a volume is: GUID, kind and extents in any order; the
// pairing of the pseudo-disk's edited copy with the mapped volumes; and
// the System Restore state a handler keeps.
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/holders.h"
#include "diskaccess/model_holders.h"
#include "diskaccess/objects.h"
#include "diskaccess/volume_handlers.h"
#include "diskaccess/volume_mapping.h"

namespace {

class PseudoDisk : public disk_easy_vol {
 public:
  PseudoDisk() : disk_easy_vol(nullptr) {}
};

class StampedVolume : public vol_handler {
 public:
  explicit StampedVolume(std::uint64_t stamp) : vol_handler(0), stamp_(stamp) {}
  da_computer* GetComputer() const override { return nullptr; }
  std::uint64_t VolQueryWord() const override { return stamp_; }

 private:
  std::uint64_t stamp_;
};

const std::uint8_t kGuidA[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const std::uint8_t kGuidB[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

TEST(VolumeMatching, GuidKindAndExtentsInAnyOrder) {
  PseudoDisk pseudo;
  const std::vector<DaExtent> two = {{7, 0, 2048, 4096}, {9, 0, 100, 50}};
  const std::vector<DaExtent> swapped = {two[1], two[0]};
  holder_easy_vol plain(&pseudo, two, 4146, kGuidA, 1);
  holder_easy_vol anonymous(&pseudo, two, 4146, nullptr, 2);
  Fdisk::Old::GptHolder gpt(&pseudo, {two[0]}, kGuidB, 4096, 0, nullptr, kGuidA);
  Fdisk::Old::LdmFreeSpace free(&pseudo, 4146, kGuidA, two);
  // Extents known by disk number only (key 0) compare by that number.
  holder_easy_vol numbered(&pseudo, {{0, 3, 2048, 4096}}, 4096, nullptr, 3);

  struct Case {
    const char* what;
    const holder* h;
    const std::uint8_t* guid;
    std::vector<DaExtent> extents;
    std::uint32_t kind;
    bool match;
  };
  const Case cases[] = {
      {"same GUID, extents listed the other way", &plain, kGuidA, swapped, 0, true},
      {"another GUID, same extents", &plain, kGuidB, two, 0, false},
      {"no GUID asked: extents and kind decide", &plain, nullptr, swapped, 0, true},
      {"a GUID asked of a holder without one", &anonymous, kGuidA, two, 0, false},
      {"one extent fewer", &plain, kGuidA, {two[0]}, 0, false},
      {"one sector longer", &plain, kGuidA, {{7, 0, 2048, 4097}, two[1]}, 0, false},
      {"on another disk", &plain, kGuidA, {{8, 0, 2048, 4096}, two[1]}, 0, false},
      {"a volume of another kind", &plain, kGuidA, two, 2, false},
      {"kind 1 asked matches any", &plain, kGuidA, two, 1, true},
      {"a GPT partition matches any kind", &gpt, kGuidB, {two[0]}, 3, true},
      {"free space never", &free, kGuidA, two, 0, false},
      {"by disk number", &numbered, nullptr, {{0, 3, 2048, 4096}}, 0, true},
      {"by another disk number", &numbered, nullptr, {{0, 4, 2048, 4096}}, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(MatchesVolume(c.h, c.guid, c.extents, c.kind), c.match);
  }
  EXPECT_EQ(DaPartitionKind(&gpt), 1u);
  EXPECT_EQ(DaPartitionKind(&plain), 0u);
  holder_easy_vol twin(&pseudo, swapped, 4146, kGuidA, 4);
  EXPECT_TRUE(HoldersMatch(&plain, &twin));
  EXPECT_FALSE(HoldersMatch(&anonymous, &twin));
}

TEST(VolumeMatching, AHolderWhoseVolumeHasAnotherStampIsPassedOver) {
  PseudoDisk pseudo;
  const std::vector<DaExtent> one = {{7, 0, 2048, 4096}};
  auto* older = new holder_easy_vol(&pseudo, one, 4096, kGuidA, 1);
  older->SetVolumeHandler(std::make_shared<StampedVolume>(5));
  auto* unstamped = new holder_easy_vol(&pseudo, one, 4096, kGuidA, 2);
  unstamped->SetVolumeHandler(std::make_shared<StampedVolume>(0));
  pseudo.second_list.PushBack(older);
  pseudo.second_list.PushBack(unstamped);
  EXPECT_EQ(FindMatchingHolder(pseudo.second_list, kGuidA, one, 0, 5), older);
  EXPECT_EQ(FindMatchingHolder(pseudo.second_list, kGuidA, one, 0, 6), unstamped);
  EXPECT_EQ(FindMatchingHolder(pseudo.second_list, kGuidB, one, 0, 6), nullptr);
}

// The pseudo-disk's list `a` holds volumes of the given ids (0 for free
// space); `b` the mapped ones.
std::vector<std::int32_t> Ids(const HolderList& list) {
  std::vector<std::int32_t> out;
  for (holder* h = list.first; h != nullptr; h = h->next)
    out.push_back(h->IsFreeSpace() ? 0 : h->GetId());
  return out;
}

TEST(VolumeMatching, ReconcilingKeepsTheCopyAndFillsInTheMissingInIdOrder) {
  struct Case {
    const char* what;
    std::vector<std::int32_t> a, b, result;
  };
  const Case cases[] = {
      {"gaps before, between and after", {4, 0, 8}, {2, 4, 6, 8, 9, 0}, {2, 4, 6, 8, 9, 0}},
      {"an empty copy", {}, {3, 1, 0, 2}, {1, 2, 3, 0}},
      {"nothing missing", {5, 7}, {7, 5}, {5, 7}},
      {"volumes the mapping lost stay", {5, 7}, {6}, {5, 6, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PseudoDisk pseudo;
    HolderList& a = pseudo.holder_list;
    HolderList& b = pseudo.second_list;
    auto fill = [&](HolderList& list, const std::vector<std::int32_t>& ids) {
      for (std::int32_t id : ids) {
        if (id == 0) list.PushBack(new Fdisk::Old::LdmFreeSpace(&pseudo, 10, kGuidA, {}));
        else list.PushBack(new holder_easy_vol(&pseudo, {{1, 0, 100u * id, 10}}, 10, nullptr, id));
      }
    };
    fill(a, c.a);
    fill(b, c.b);
    std::vector<holder*> before;
    for (holder* h = a.first; h != nullptr; h = h->next)
      if (!h->IsFreeSpace()) before.push_back(h);
    ReconcileEasyVolumes(a, b);
    EXPECT_EQ(Ids(a), c.result);
    // The holders the copy had are still there, the same objects.
    for (holder* h : before) EXPECT_TRUE(a.Contains(h)) << h->GetId();
    // The mapped list is left as it was.
    EXPECT_EQ(Ids(b), c.b);
  }
}

class RestoreVolume : public vol_handler {
 public:
  explicit RestoreVolume(bool answers) : vol_handler(0), answers_(answers) {}
  da_computer* GetComputer() const override { return nullptr; }
  bool VolQuerySystemRestore(bool& enabled) override {
    ++asked;
    enabled = answers_;
    return answers_;
  }
  int asked = 0;

 private:
  bool answers_;
};

TEST(VolumeMatching, TheSystemRestoreStateIsKeptUntilTheVolumeCanAnswer) {
  struct Case {
    std::uint32_t before;
    bool answers;
    std::uint32_t state;
    bool stored;
    int asked;
  };
  const Case cases[] = {
      {2, true, 1, true, 1},  {2, false, 1, false, 1}, {3, false, 0, false, 1},
      {0, false, 1, true, 0}, {1, false, 0, true, 0},  {1, true, 4, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "from " << c.before << " to " << c.state);
    RestoreVolume v(c.answers);
    v.restoreState = c.before;
    EXPECT_EQ(SetSystemRestoreState(v, c.state), c.stored);
    EXPECT_EQ(v.restoreState, c.stored ? c.state : c.before);
    EXPECT_EQ(v.asked, c.asked);
  }
  // A fresh handler has not read its state, and the base class cannot say.
  ProtectiveVolHandler base;
  EXPECT_EQ(base.restoreState, 2u);
  EXPECT_FALSE(SetSystemRestoreState(base, 1));
  EXPECT_EQ(base.restoreState, 2u);
}

}  // namespace
