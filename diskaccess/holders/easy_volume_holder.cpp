// Easy-volume holders: operating-system volumes that are not one plain
// partition, hung into the pseudo-disk's holder tree.
#include <cstring>

#include "diskaccess/da_state.h"
#include "diskaccess/holders.h"

holder_easy_vol::holder_easy_vol(stddisk* pseudoDisk, std::vector<DaExtent> list,
                                 std::shared_ptr<vol_handler> h)
    : holder(pseudoDisk, 0, h ? h->GetSectorCount() + 1 : 0, 0, nullptr),
      BasePartitionHolder(DaNextReadHolderKey()) {
  extents = std::move(list);
  if (!h) return;
  vol_handler* volume = h.get();
  SetVolumeHandler(std::move(h));
  std::uint8_t letter = 0;
  if (volume->VolGetLetter(letter).Code() == 0) letters[kLiveView] = letter;
  else letters[kLiveView] = 0;
  std::unique_ptr<Common::Guid> guid;
  if (volume->VolGetSysGuid(guid).Code() == 0 && guid) {
    volume_id = std::make_unique<std::array<std::uint8_t, 16>>();
    std::memcpy(volume_id->data(), guid->bytes, 16);
  }
  letter_flags[kLiveView] = 0;
}

holder_easy_vol::holder_easy_vol(stddisk* d, std::vector<DaExtent> list, std::uint64_t n,
                                 const std::uint8_t* identity, std::int32_t newId)
    : holder(d, 0, n, 0, nullptr), BasePartitionHolder(newId != 0 ? newId : DaNextReadHolderKey()) {
  extents = std::move(list);
  if (identity != nullptr) {
    volume_id = std::make_unique<std::array<std::uint8_t, 16>>();
    std::memcpy(volume_id->data(), identity, 16);
  }
}

holder_easy_vol::holder_easy_vol(const holder_easy_vol& from)
    : holder(&from), BasePartitionHolder(from.id), recorded_letter(from.recorded_letter) {
  extents = from.extents;
  std::memcpy(letters, from.letters, sizeof letters);
  std::memcpy(letter_flags, from.letter_flags, sizeof letter_flags);
  std::memcpy(numbers, from.numbers, sizeof numbers);
  if (from.volume_id) volume_id = std::make_unique<std::array<std::uint8_t, 16>>(*from.volume_id);
}

holder_easy_vol::~holder_easy_vol() {
  // The pseudo-disk keeps these in its second list; a holder still linked
  // anywhere when it goes would leave its neighbours pointing at freed
  // memory, so it leaves the list that actually holds it.
  if (disk != nullptr) {
    if (disk->second_list.Contains(this)) disk->second_list.Unlink(this);
    else if (disk->holder_list.Contains(this)) disk->holder_list.Unlink(this);
  }
}

holder_easy_vol* holder_easy_vol::CopyPartitionInfo() const {
  auto* copy = new holder_easy_vol(*this);
  if (handler) copy->SetVolumeHandler(handler);
  copy->ApplyLetter(GetLetter(kLiveView));
  copy->reattach = reattach;
  return copy;
}

void holder_easy_vol::Sync(bool apply) {
  if (!apply) recorded_letter = GetLetter(kLiveView);
  else SetLetter(kLiveView, recorded_letter, letter_flags[kLiveView]);
}
