// The scheme-driver interface's defaults, the driver visitor and the
// factory.
#include "fdisk/ps_driver.h"

#include "fdisk/gpt_driver.h"
#include "fdisk/mbr_driver.h"
#include "fdisk/raw_driver.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0x4BAA472F;
constexpr std::uint32_t kCloneLocation = 0xB3DD63B0;
constexpr std::uint32_t kLoadDisksLocation = 0xB3DD63B5;
constexpr std::uint32_t kProcessDisksLocation = 0xB3DD63BA;
constexpr std::uint32_t kRefreshLocation = 0xB3DD63C4;
constexpr std::uint32_t kInitDisksLocation = 0xB3DD63C9;
constexpr std::uint32_t kAddDisksLocation = 0xB3DD63CE;
constexpr std::uint32_t kRemoveDisksLocation = 0xB3DD63D3;
constexpr std::uint32_t kClearDisksLocation = 0xB3DD63D8;
constexpr std::uint32_t kDriverNotFoundLocation = 0xB3DD63FD;

Common::Error Refused(std::uint32_t location) {
  return MakeError(location, kModuleId, kErrNotImplemented, Msg::kNotImplemented);
}
}  // namespace

PSDriver::Location::~Location() = default;

PSDriver::PSDriver() = default;

PSDriver::~PSDriver() { disks_.clear(); }

PSDriver* PSDriver::Clone() const {
  ThrowError(Refused(kCloneLocation));
}

Common::Error PSDriver::ProcessDisks(Layer&, Layer&) { return Refused(kProcessDisksLocation); }

Common::Error PSDriver::LoadDisks(const DiskMap&, Layer&) { return Refused(kLoadDisksLocation); }

PSDriver::Location* PSDriver::GetStateStore() { return nullptr; }

Common::Error PSDriver::ProcessLayers(Layer& rawLayer, Layer& headLayer) {
  return ProcessDisks(rawLayer, headLayer);
}

Common::Error PSDriver::Refresh(Layer&) { return Refused(kRefreshLocation); }

Common::Error PSDriver::AddDisks(PSDriverFactory&, Layer&, Layer&,
                                 const NamedVars::VarContainer&) {
  return Refused(kAddDisksLocation);
}

Common::Error PSDriver::InitDisks(PSDriverFactory&, const DiskMap&, Layer&,
                                  const NamedVars::VarContainer&) {
  return Refused(kInitDisksLocation);
}

Common::Error PSDriver::ClearDisks(PSDriverFactory&, Layer&, Layer&,
                                   const NamedVars::VarContainer&) {
  return Refused(kClearDisksLocation);
}

Common::Error PSDriver::RemoveDisks(PSDriverFactory&, const DiskMap&, Layer&,
                                    const NamedVars::VarContainer&) {
  return Refused(kRemoveDisksLocation);
}

bool PSDriver::IsDynamic() const { return false; }

const DiskMap& PSDriver::GetDisks() const { return disks_; }

DiskGroupProvider::~DiskGroupProvider() = default;

PSDriverVisitor::~PSDriverVisitor() = default;
void PSDriverVisitor::Visit(PSMbrDriver&) {}
void PSDriverVisitor::VisitDynamic(PSDriver&) {}
void PSDriverVisitor::Visit(PSGptDriver&) {}
void PSDriverVisitor::Visit(PSRawDriver&) {}

std::vector<PSDriverFactory::DriverMaker> DefaultDriverMakers() {
  // MBR first, then GPT: the GPT driver must see the MBR driver's layer
  // (with the protective partition of a GPT disk).
  return {[] { return std::unique_ptr<PSDriver>(std::make_unique<PSMbrDriver>()); },
          [] { return std::unique_ptr<PSDriver>(std::make_unique<PSGptDriver>()); }};
}

std::vector<PSDriverFactory::DriverMaker>& PSDriverFactory::DriverMakers() {
  static std::vector<DriverMaker> makers = DefaultDriverMakers();
  return makers;
}

PSDriverFactory::PSDriverFactory(std::uint32_t stageId, std::uint32_t computerId)
    : stageId_(stageId), computerId_(computerId) {
  Reset();
}

PSDriverFactory::~PSDriverFactory() {
  while (!drivers_.empty()) drivers_.erase(drivers_.begin());
  rawDriver_.reset();
}

void PSDriverFactory::Reset() {
  while (!drivers_.empty()) drivers_.erase(drivers_.begin());
  rawDriver_ = std::make_unique<PSRawDriver>();
}

PSDriver& PSDriverFactory::GetDriver(std::uint32_t driverId) const {
  if (rawDriver_ && driverId == rawDriver_->GetId()) return *rawDriver_;
  auto it = drivers_.find(driverId);
  if (it == drivers_.end()) {
    ThrowError(kDriverNotFoundLocation, kModuleId, kErrDriverNotFound, Msg::kDriverNotFound);
  }
  return *it->second;
}

bool PSDriverFactory::HasDriver(std::uint32_t driverId) const {
  return (rawDriver_ && driverId == rawDriver_->GetId()) || drivers_.count(driverId) != 0;
}

std::list<PSDriver*> PSDriverFactory::CreateDrivers() {
  std::list<PSDriver*> created;
  for (const DriverMaker& make : DriverMakers()) {
    std::unique_ptr<PSDriver> driver = make ? make() : nullptr;
    if (!driver) continue;
    NamedVars::VarContainer& p = driver->GetProperties();
    p.Set(NamedVars::Keys::StageID, stageId_);
    p.Set(NamedVars::Keys::ComputerID, computerId_);
    PSDriver* raw = driver.get();
    drivers_[raw->GetId()] = std::move(driver);
    created.push_back(raw);
  }
  return created;
}

std::vector<std::uint32_t> PSDriverFactory::PurgeEmptyDrivers() {
  std::vector<std::uint32_t> purged;
  for (auto it = drivers_.begin(); it != drivers_.end();) {
    PSDriver::Location* store = it->second->GetStateStore();
    Layer held;
    if (store != nullptr) store->Store(held);
    if (store != nullptr && held.empty()) {
      purged.push_back(it->first);
      it = drivers_.erase(it);
    } else {
      ++it;
    }
  }
  return purged;
}

}  // namespace Fdisk
