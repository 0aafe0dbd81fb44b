// The raw scheme driver: one portion per whole disk.
#include "foundation/byteorder.h"
#include "fdisk/raw_driver.h"

#include "fdisk/error.h"
#include "fdisk/simple_disk.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kEditModuleId = 0xF5149885;
constexpr std::uint32_t kCreateLocation = 0x96497C01;
constexpr std::uint32_t kDeleteLocation = 0x96497C07;
constexpr std::uint32_t kChangeLocation = 0x96497C0F;
constexpr std::uint32_t kCommitModuleId = 0x4018E9E8;
constexpr std::uint32_t kCommitLocation = 0x6F65EC7D;
constexpr std::uint32_t kModuleId = 0x4104;

// A partition table occupies bytes up to the signature at 510.
constexpr std::uint32_t kMinSectorSize = 512;

std::int32_t HintOfType(std::uint8_t type) {
  switch (type) {
    case 0x42: return kRawHint42;
    case 0x44: return kRawHint44;
    case 0x54: return kRawHint54;
    case 0x55: return kRawHint55;
    case 0xEE: return kRawHintGpt;
    default: return kRawHintNone;
  }
}

std::int32_t SchemeHint(const std::uint8_t* sector) {
  if (Common::LoadLe16(sector + 510) == 0xAA55) {
    for (int i = 0; i < 4; ++i) {
      const std::int32_t hint = HintOfType(sector[446 + 16 * i + 4]);
      if (hint != kRawHintNone) return hint;
    }
    return kRawHintNone;
  }
  if (sector[0] == 'E' && sector[1] == 'R') return kRawHintDriverDescriptor;
  return kRawHintNone;
}
}  // namespace

RawLocation::RawLocation(std::uint32_t diskId, SimpleDisk* disk)
    : diskId_(diskId), disk_(disk), hint_(kRawHintNone) {
  if (disk == nullptr) {
    ThrowError((kModuleId << 16) | 1, kModuleId, kErrDiskNotFound, Msg::kDiskNotFound);
  }
  const std::uint32_t sectorSize = disk->GetSectorSize();
  if (sectorSize < kMinSectorSize) {
    ThrowError((kModuleId << 16) | 2, kModuleId, kErrInvalidParameter, Msg::kInvalidParameter);
  }
  AlignedBuffer buffer(sectorSize, sectorSize);
  Common::Error e = disk->Io(kIoRead, 0, buffer.Get(), 1);
  if (e) ThrowError(e);
  hint_ = SchemeHint(buffer.Get());
}

void RawLocation::Accept(LocationVisitor& visitor) { visitor.Visit(*this); }

PSPortion::Location* RawLocation::Clone() const {
  return new RawLocation(diskId_, disk_, hint_);
}

void GetRawLocationVisitor::Visit(RawLocation& location) {
  sectorCount = location.GetDisk()->GetSectorCount() + 1;
  diskId = location.GetDiskId();
  found = true;
}

PSRawDriver::PSRawDriver() = default;
PSRawDriver::~PSRawDriver() = default;

void PSRawDriver::Accept(PSDriverVisitor& visitor) { visitor.Visit(*this); }

Common::Error PSRawDriver::LoadDisks(const DiskMap& disks, Layer& layer) {
  if (&layer != &layer_) layer_ = layer;
  for (const auto& entry : disks) {
    try {
      SimpleDisk* device = entry.second != nullptr ? entry.second->GetSimpleDisk() : nullptr;
      PSPortion portion(GetId(), std::make_unique<RawLocation>(entry.first, device), false,
                        kAccessFull);
      const std::uint32_t id = portion.GetId();
      layer_.emplace(id, std::move(portion));
    } catch (const Common::Error&) {
      // A disk whose sector 0 cannot be read gets no raw portion.
    }
  }
  return Common::NoError;
}

std::pair<Common::Error, std::uint32_t> PSRawDriver::CreatePortion(
    const NamedVars::VarContainer&) {
  return {MakeError(kCreateLocation, kEditModuleId, kErrNotImplemented, Msg::kNotImplemented),
          0};
}

Common::Error PSRawDriver::DeletePortion(const NamedVars::VarContainer&) {
  return MakeError(kDeleteLocation, kEditModuleId, kErrNotImplemented, Msg::kNotImplemented);
}

Common::Error PSRawDriver::ChangePortion(const NamedVars::VarContainer&) {
  return MakeError(kChangeLocation, kEditModuleId, kErrNotImplemented, Msg::kNotImplemented);
}

Common::Error PSRawDriver::Commit() {
  return MakeError(kCommitLocation, kCommitModuleId, kErrNotImplemented, Msg::kNotImplemented);
}

}  // namespace Fdisk
