// The volume layer as the holder tree asks for it: a partition without a
// volume is offered its computer's empty handler, handlers learn their
// partition's id, letters and mounts go through the handler, and a removed
// partition's volume is deleted.
#include "diskaccess/volume_handlers.h"

std::shared_ptr<vol_handler> VolumeLayerSeam::OfferHandler(holder& h) {
  stddisk* disk = h.GetDisk();
  da_computer* computer = disk != nullptr ? disk->GetComputer() : nullptr;
  return computer != nullptr ? computer->NewVolumeHandler() : nullptr;
}

void VolumeLayerSeam::TellId(vol_handler& v, std::int32_t id) {
  v.SetUserValue(static_cast<std::uint32_t>(id));
}

Common::Error VolumeLayerSeam::Mount(holder& h) {
  vol_handler* v = h.GetVolumeHandler();
  return v != nullptr ? v->VolUnhide() : Common::Error();
}

Common::Error VolumeLayerSeam::GiveLetter(holder& h, std::uint8_t letter) {
  vol_handler* v = h.GetVolumeHandler();
  if (v == nullptr) return Common::Error();
  std::uint8_t statusSeen = 0;
  return v->VolSetLetter(letter, statusSeen);
}

Common::Error VolumeLayerSeam::CreateMount(holder& h, const std::uint32_t*) {
  vol_handler* v = h.GetVolumeHandler();
  return v != nullptr ? v->VolCreate(&h) : Common::Error();
}

void VolumeLayerSeam::ReleaseVolume(holder& h) {
  if (vol_handler* v = h.GetVolumeHandler()) v->VolDelete();
}

VolumeLayerSeam& DaVolumeLayerSeam() {
  static VolumeLayerSeam seam;
  return seam;
}
