// The portion manager: layers rebuilt bottom-up, and create, delete and
// change requests routed to the driver that owns a portion.
#include "fdisk/ps_manager.h"

#include <algorithm>

#include "fdisk/raw_driver.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0xCB0EB6AB;
constexpr std::uint32_t kNoHeadLayerLocation = 0x4A44FCBD;
constexpr std::uint32_t kNoRawLayerLocation = 0x4A44FCC4;
constexpr std::uint32_t kRawLayerTakenLocation = 0x4A44FCEA;
constexpr std::uint32_t kDriverLayerTakenLocation = 0x4A44FCF7;
constexpr std::uint32_t kNoDriversLocation = 0x4A44FD0A;
constexpr std::uint32_t kRebuildRawLayerTakenLocation = 0x4A44FD0F;
constexpr std::uint32_t kRebuildDriverLayerTakenLocation = 0x4A44FD1E;
constexpr std::uint32_t kBadModeLocation = 0x4A44FD33;
constexpr std::uint32_t kNotInLayersLocation = 0x4A44FD4B;
constexpr std::uint32_t kCreateFailedLocation = 0x4A44FD65;
constexpr std::uint32_t kFreePortionLocation = 0x4A44FD71;
constexpr std::uint32_t kDeleteFailedLocation = 0x4A44FD84;
constexpr std::uint32_t kChangeFailedLocation = 0x4A44FDA1;

// A driver's layer that shows nothing the raw layer does not.
bool SameLayer(const Layer& a, const Layer& b) {
  if (a.size() != b.size()) return false;
  return std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
    return x.first == y.first && x.second.GetId() == y.second.GetId();
  });
}

// The 0x100401 a failed driver operation becomes, with its error as cause.
Common::Error DriverFailure(std::uint32_t location, const Common::Error& cause) {
  Common::Error e = MakeError(location, kModuleId, kErrNotImplemented, Msg::kNotImplemented);
  Common::AttachErrorCause(e, cause);
  return e;
}

// The portion named by "PortionID" in the head layer, and its driver.
std::pair<PSPortion*, PSDriver*> ResolvePortion(std::uint32_t stageId, std::uint32_t computerId,
                                                const NamedVars::VarContainer& params) {
  const unsigned long portionId = params.GetRequired(NamedVars::Keys::PortionID);
  Computer& computer = FindComputer(stageId, computerId);
  PSPortion& portion = computer.FindPortion(std::uint32_t(portionId));
  PSDriver& driver = computer.GetDriverFactory().GetDriver(portion.GetDriverId());
  return {&portion, &driver};
}

void ThrowIfSet(const Common::Error& e) {
  if (e) ThrowError(e);
}
}  // namespace

PSManager::PSManager(std::uint32_t stageId, std::uint32_t computerId)
    : stageId_(stageId), computerId_(computerId) {}

PSManager::~PSManager() = default;

void PSManager::Clear() {
  layers_.clear();
  driverIds_.clear();
  rawLayer_.reset();
  headLayer_.reset();
}

Layer& PSManager::GetHeadLayer() {
  if (!headLayer_) {
    ThrowError(kNoHeadLayerLocation, kModuleId, kErrLayerNotFound, Msg::kLayerNotFound);
  }
  return layers_.at(*headLayer_);
}

Layer& PSManager::GetRawLayer() {
  if (!rawLayer_) {
    ThrowError(kNoRawLayerLocation, kModuleId, kErrLayerNotFound, Msg::kLayerNotFound);
  }
  return layers_.at(*rawLayer_);
}

Layer* PSManager::GetLayer(std::uint32_t driverId) {
  auto it = layers_.find(driverId);
  return it == layers_.end() ? nullptr : &it->second;
}

PSPortion& PSManager::FindPortionInLayers(std::uint32_t portionId) {
  for (auto& layer : layers_) {
    auto it = layer.second.find(portionId);
    if (it != layer.second.end()) return it->second;
  }
  ThrowError(kNotInLayersLocation, kModuleId, kErrPartitionNotFound, Msg::kPartitionNotFound);
}

Layer& PSManager::AddLayer(std::uint32_t driverId, const Layer& layer, std::uint32_t location) {
  auto inserted = layers_.emplace(driverId, layer);
  if (!inserted.second) {
    ThrowError(location, kModuleId, kErrLayerNotFound, Msg::kLayerNotFound);
  }
  return inserted.first->second;
}

void PSManager::RemergeDriverDisks(Computer& computer, PSDriverFactory& factory) {
  computer.DropMergedDisks();
  computer.MergeDisks(factory.GetRawDriver().GetDisks());
  for (std::uint32_t id : driverIds_) computer.MergeDisks(factory.GetDriver(id).GetDisks());
}

void PSManager::Refresh(std::uint32_t mode) {
  switch (mode) {
    case kRefreshFull:
      RefreshFull();
      return;
    case kRefreshNone:
      return;
    case kRefreshRebuild:
      RefreshRebuild();
      return;
    default:
      ThrowError(kBadModeLocation, kModuleId, kErrInvalidParameter, Msg::kInvalidParameter);
  }
}

void PSManager::RefreshFull() {
  Clear();
  Computer& computer = FindComputer(stageId_, computerId_);
  PSDriverFactory& factory = computer.GetDriverFactory();
  // The reset deletes the drivers and with them the disks they present;
  // the computer must not keep referring to those.
  computer.DropMergedDisks();
  factory.Reset();

  PSRawDriver& raw = factory.GetRawDriver();
  Layer empty;
  try {
    raw.LoadDisks(computer.GetDisks(), empty);
  } catch (const Common::Error&) {
    // A driver that fails leaves what it has; the refresh goes on.
  }
  Layer* head = &AddLayer(raw.GetId(), raw.GetPortions(), kRawLayerTakenLocation);
  rawLayer_ = raw.GetId();
  // Until a scheme driver stacks its layer, the raw layer is what the
  // computer's disks look like.
  headLayer_ = raw.GetId();
  Layer& rawLayer = *head;
  computer.MergeDisks(raw.GetDisks());

  for (PSDriver* driver : factory.CreateDrivers()) {
    try {
      driver->ProcessLayers(rawLayer, *head);
    } catch (const Common::Error&) {
      // As above: the driver keeps whatever portions it has.
    }
    head = &AddLayer(driver->GetId(), driver->GetPortions(), kDriverLayerTakenLocation);
    headLayer_ = driver->GetId();
    computer.MergeDisks(driver->GetDisks());
    driverIds_.push_back(driver->GetId());
  }

  if (!factory.PurgeEmptyDrivers().empty()) {
    driverIds_.remove_if([&](std::uint32_t id) { return !factory.HasDriver(id); });
    RemergeDriverDisks(computer, factory);
  }
}

// Restacks the layers of the drivers of the last full refresh without
// re-creating them: the raw driver's current portions become the raw layer,
// and every driver still held rebuilds from it (when it can) and adds its
// portions unless they show nothing beyond the raw layer.
void PSManager::RefreshRebuild() {
  const std::list<std::uint32_t> previous = driverIds_;
  if (previous.empty()) {
    ThrowError(kNoDriversLocation, kModuleId, kErrDriverNotFound, Msg::kDriverNotFound);
  }
  Clear();
  Computer& computer = FindComputer(stageId_, computerId_);
  PSDriverFactory& factory = computer.GetDriverFactory();
  PSRawDriver& raw = factory.GetRawDriver();
  Layer& rawLayer = AddLayer(raw.GetId(), raw.GetPortions(), kRebuildRawLayerTakenLocation);
  rawLayer_ = raw.GetId();
  headLayer_ = raw.GetId();
  computer.DropMergedDisks();
  computer.MergeDisks(raw.GetDisks());

  for (std::uint32_t id : previous) {
    if (!factory.HasDriver(id)) continue;
    PSDriver& driver = factory.GetDriver(id);
    try {
      driver.Refresh(rawLayer);
    } catch (const Common::Error&) {
    }
    if (SameLayer(driver.GetPortions(), rawLayer)) continue;
    AddLayer(id, driver.GetPortions(), kRebuildDriverLayerTakenLocation);
    headLayer_ = id;
    computer.MergeDisks(driver.GetDisks());
    driverIds_.push_back(id);
  }

  if (!factory.PurgeEmptyDrivers().empty()) {
    driverIds_.remove_if([&](std::uint32_t id) { return !factory.HasDriver(id); });
    RemergeDriverDisks(computer, factory);
  }
}

std::pair<Common::Error, std::uint32_t> PSManager::CreatePortion(
    const NamedVars::VarContainer& params) {
  PSDriver* driver = ResolvePortion(stageId_, computerId_, params).second;
  try {
    std::pair<Common::Error, std::uint32_t> created = driver->CreatePortion(params);
    ThrowIfSet(created.first);
    ThrowIfSet(driver->Commit());
    return {Common::NoError, created.second};
  } catch (const Common::Error& e) {
    return {DriverFailure(kCreateFailedLocation, e), 0};
  }
}

Common::Error PSManager::DeletePortion(const NamedVars::VarContainer& params) {
  std::pair<PSPortion*, PSDriver*> target = ResolvePortion(stageId_, computerId_, params);
  if (target.first->IsFree()) {
    ThrowError(kFreePortionLocation, kModuleId, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  try {
    ThrowIfSet(target.second->DeletePortion(params));
    ThrowIfSet(target.second->Commit());
    return Common::NoError;
  } catch (const Common::Error& e) {
    return DriverFailure(kDeleteFailedLocation, e);
  }
}

Common::Error PSManager::ChangePortion(const NamedVars::VarContainer& params) {
  PSDriver* driver = ResolvePortion(stageId_, computerId_, params).second;
  try {
    ThrowIfSet(driver->ChangePortion(params));
    ThrowIfSet(driver->Commit());
    return Common::NoError;
  } catch (const Fdisk::Error& e) {
    return DriverFailure(kChangeFailedLocation, e);
  }
}

}  // namespace Fdisk
