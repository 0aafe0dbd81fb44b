// Easy-volume holders: size, letter and identity from the volume, copies,
// saving and restoring the letter, and leaving the right list when they go.
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "diskaccess/holders.h"
#include "diskaccess/objects.h"

namespace {

class FakeVolume : public vol_handler {
 public:
  FakeVolume(std::uint64_t last, std::uint8_t letter, bool identity)
      : vol_handler(0), letter_(letter), identity_(identity) {
    SetLastSector(last);
  }
  da_computer* GetComputer() const override { return nullptr; }
  Common::Error VolGetLetter(std::uint8_t& letter) override {
    letter = letter_;
    return Common::Error();
  }
  Common::Error VolGetSysGuid(std::unique_ptr<Common::Guid>& guid) override {
    if (!identity_) return Common::Error(1, 2, 0x100001);
    guid = std::make_unique<Common::Guid>();
    for (int i = 0; i < 16; ++i) guid->bytes[i] = static_cast<std::uint8_t>(i + 1);
    return Common::Error();
  }

 private:
  std::uint8_t letter_;
  bool identity_;
};

class PseudoDisk : public disk_easy_vol {
 public:
  PseudoDisk() : disk_easy_vol(nullptr) {}
};

TEST(EasyVolumeHolder, TakesSizeLetterAndIdentityFromItsVolume) {
  PseudoDisk pseudo;
  auto volume = std::make_shared<FakeVolume>(2047, 'K', true);
  holder_easy_vol h(&pseudo, {DaExtent{1, 1, 2048, 2048}}, volume);
  EXPECT_EQ(h.start, 0u);
  EXPECT_EQ(h.size, 2048u);
  EXPECT_EQ(h.GetLetter(kLiveView), 'K');
  ASSERT_NE(h.GetUniqueGuid(), nullptr);
  EXPECT_EQ(h.GetUniqueGuid()[15], 16);
  EXPECT_TRUE(h.IsEasyVolume());
  EXPECT_EQ(h.GetVolumeHandler(), volume.get());

  auto silent = std::make_shared<FakeVolume>(99, 'L', false);
  holder_easy_vol noId(&pseudo, {}, silent);
  EXPECT_EQ(noId.GetUniqueGuid(), nullptr);
  holder_easy_vol none(&pseudo, {}, nullptr);
  EXPECT_EQ(none.size, 0u);
  EXPECT_EQ(none.GetUniqueGuid(), nullptr);
}

TEST(EasyVolumeHolder, CopiesShareTheHandlerAndSyncRestoresTheLetter) {
  PseudoDisk pseudo;
  auto volume = std::make_shared<FakeVolume>(2047, 'K', true);
  holder_easy_vol h(&pseudo, {DaExtent{1, 1, 2048, 2048}}, volume);
  std::unique_ptr<holder_easy_vol> copy(h.CopyPartitionInfo());
  EXPECT_EQ(copy->GetVolumeHandler(), volume.get());
  EXPECT_EQ(volume.use_count(), 3);
  EXPECT_EQ(copy->GetLetter(kLiveView), 'K');
  EXPECT_EQ(copy->extents.size(), 1u);
  EXPECT_NE(copy->GetUniqueGuid(), h.GetUniqueGuid());  // its own copy of the identity
  h.Sync(false);
  h.SetLetter(kLiveView, 'M', 0);
  h.Sync(true);
  EXPECT_EQ(h.GetLetter(kLiveView), 'K');
}

TEST(EasyVolumeHolder, LeavesTheListThatHoldsIt) {
  PseudoDisk pseudo;
  auto* a = new holder_easy_vol(&pseudo, {}, 100, nullptr, 7);
  auto* b = new holder_easy_vol(&pseudo, {}, 200, nullptr, 8);
  auto* c = new holder_easy_vol(&pseudo, {}, 300, nullptr, 9);
  pseudo.second_list.PushBack(a);
  pseudo.second_list.PushBack(b);
  pseudo.second_list.PushBack(c);
  delete b;  // in the middle: both neighbours must be relinked
  EXPECT_EQ(pseudo.second_list.Count(), 2u);
  EXPECT_EQ(a->next, c);
  EXPECT_EQ(c->prev, a);
  delete c;
  EXPECT_EQ(pseudo.second_list.last, a);
  EXPECT_EQ(a->next, nullptr);
  // One in the main list leaves that list, and the second list is untouched.
  auto* d = new holder_easy_vol(&pseudo, {}, 50, nullptr, 10);
  pseudo.holder_list.PushBack(d);
  delete d;
  EXPECT_EQ(pseudo.holder_list.first, nullptr);
  EXPECT_EQ(pseudo.second_list.first, a);
  pseudo.second_list.Clear();
}

}  // namespace
