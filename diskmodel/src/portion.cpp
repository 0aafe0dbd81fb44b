// Portions, locations and the location visitor's defaults.
#include "fdisk/portion.h"

#include "fdisk/error.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kDummyModuleId = 0x7CDAA59B;
constexpr std::uint32_t kDummyAcceptLocation = 0x717A028D;
constexpr std::uint32_t kDummyGetDiskLocation = 0x717A0297;
}  // namespace

LocationVisitor::~LocationVisitor() = default;
void LocationVisitor::Visit(MbrLocation&) {}
void LocationVisitor::Visit(GptLocation&) {}
void LocationVisitor::Visit(LdmLocation&) {}
void LocationVisitor::VisitMissingDisk(Disk&) {}
void LocationVisitor::Visit(RawLocation&) {}
void LocationVisitor::Visit(DiskIdList&) {}

PSPortion::Location::~Location() = default;
bool PSPortion::Location::GetFirstFlag() const { return false; }
bool PSPortion::Location::GetSecondFlag() const { return false; }

PSPortion::PSPortion(std::uint32_t driverId, std::unique_ptr<Location> location, bool free,
                     std::int32_t accessMode)
    : driverId_(driverId),
      free_(free),
      location_(std::move(location)),
      view_(std::make_unique<SimpleDiskRestricted>(location_->GetDisk(), accessMode)) {}

PSPortion::PSPortion()
    : driverId_(0),
      free_(true),
      location_(std::make_unique<DummyLocation>()),
      view_(std::make_unique<SimpleDiskRestricted>(location_->GetDisk(), kAccessFull)) {}

PSPortion::PSPortion(const PSPortion& other)
    : IdObject(other),
      driverId_(other.driverId_),
      free_(other.free_),
      location_(other.location_->Clone()),
      view_(std::make_unique<SimpleDiskRestricted>(location_->GetDisk(),
                                                   other.view_->AccessMode())) {}

PSPortion& PSPortion::operator=(const PSPortion& other) {
  if (this == &other) return *this;
  std::unique_ptr<Location> location(other.location_->Clone());
  auto view = std::make_unique<SimpleDiskRestricted>(location->GetDisk(),
                                                     other.view_->AccessMode());
  IdObject::operator=(other);
  driverId_ = other.driverId_;
  free_ = other.free_;
  view_ = std::move(view);
  location_ = std::move(location);
  return *this;
}

PSPortion::~PSPortion() {
  view_.reset();
  location_.reset();
}

void DummyLocation::Accept(LocationVisitor&) {
  ThrowError(kDummyAcceptLocation, kDummyModuleId, kErrNotImplemented, Msg::kNotImplemented);
}

PSPortion::Location* DummyLocation::Clone() const { return new DummyLocation(); }

SimpleDisk* DummyLocation::GetDisk() {
  ThrowError(kDummyGetDiskLocation, kDummyModuleId, kErrNotImplemented, Msg::kNotImplemented);
}

void MbrLocation::Accept(LocationVisitor& visitor) { visitor.Visit(*this); }
PSPortion::Location* MbrLocation::Clone() const { return new MbrLocation(*this); }

void GptLocation::Accept(LocationVisitor& visitor) { visitor.Visit(*this); }
PSPortion::Location* GptLocation::Clone() const { return new GptLocation(*this); }

LdmLocation::LdmLocation(LdmExtentMap extents, std::shared_ptr<SimpleDisk> disk,
                         bool firstFlag, bool secondFlag)
    : extents_(std::move(extents)),
      disk_(std::move(disk)),
      firstFlag_(firstFlag),
      secondFlag_(secondFlag) {}

void LdmLocation::Accept(LocationVisitor& visitor) { visitor.Visit(*this); }
PSPortion::Location* LdmLocation::Clone() const { return new LdmLocation(*this); }

}  // namespace Fdisk
