// Simulated disk errors.
#include "fdisk/error_simulation.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fdisk/error.h"

namespace Fdisk {
namespace ErrorSimulation {
namespace {
constexpr std::uint32_t kModuleId = 0xC60DFD03;
constexpr std::uint32_t kAbortedLocation = 0x3A70E9BB;
constexpr std::uint32_t kPastEndLocation = 0x3A70EABD;
constexpr std::uint32_t kOverlapLocation = 0x3A70EAC5;
constexpr std::uint32_t kEmptyRegionLocation = (0x4105u << 16) | 1;

// The runtime's generator, in the range every runtime guarantees.
std::uint32_t Random15() { return std::uint32_t(std::rand()) & 0x7FFF; }

std::uint32_t RandomWord() { return (Random15() << 17) ^ (Random15() << 2) ^ Random15(); }

void PutWord(std::uint8_t* p, std::uint32_t value) { std::memcpy(p, &value, sizeof value); }

[[noreturn]] void ThrowBadRegion(std::uint32_t location) {
  ThrowError(location, kModuleId, kErrSimulated, Msg::kSimulated);
}
}  // namespace

ErrorDescription::~ErrorDescription() = default;
SequenceGenerator::~SequenceGenerator() = default;

Common::Error AbortedErrorDescription::Apply(std::uint32_t, std::uint64_t, void*,
                                             std::uint64_t) {
  return MakeError(kAbortedLocation, kModuleId, kErrSimulated, Msg::kSimulated);
}

NotAbortedErrorDescription::NotAbortedErrorDescription(std::uint32_t damageMode,
                                                       std::uint32_t sectorSize)
    : damageMode_(damageMode), sectorSize_(sectorSize) {}

Common::Error NotAbortedErrorDescription::Apply(std::uint32_t, std::uint64_t, void* buffer,
                                                std::uint64_t count) {
  std::uint8_t* bytes = static_cast<std::uint8_t*>(buffer);
  const std::uint64_t n = count * sectorSize_;
  switch (damageMode_) {
    case kDamageZero:
      std::memset(bytes, 0, std::size_t(n));
      break;
    case kDamageSparse:
      for (std::uint64_t i = 0; i < n / 4; ++i) {
        if (Random15() < 32) PutWord(bytes + 4 * i, RandomWord());
      }
      break;
    case kDamageAll:
      for (std::uint64_t i = 0; i < n / 4; ++i) PutWord(bytes + 4 * i, RandomWord());
      break;
    default:
      break;
  }
  return Common::NoError;
}

RandomGenerator::RandomGenerator(std::uint32_t modulus) : modulus_(modulus) {}

std::uint32_t RandomGenerator::Next() {
  const std::uint32_t r = Random15();
  return modulus_ == 0 ? r : r % modulus_;
}

TwoComposeErrorDescription::TwoComposeErrorDescription(
    std::unique_ptr<ErrorDescription> first, std::unique_ptr<ErrorDescription> second,
    std::unique_ptr<SequenceGenerator> generator)
    : first_(std::move(first)), second_(std::move(second)), generator_(std::move(generator)) {}

Common::Error TwoComposeErrorDescription::Apply(std::uint32_t op, std::uint64_t sector,
                                                void* buffer, std::uint64_t count) {
  ErrorDescription& rule = generator_->Next() != 0 ? *second_ : *first_;
  return rule.Apply(op, sector, buffer, count);
}

std::unique_ptr<ErrorDescription> MakeRule(std::uint32_t kind, std::uint32_t damageMode,
                                           std::uint32_t sectorSize) {
  switch (kind) {
    case kKindFail:
      return std::make_unique<AbortedErrorDescription>();
    case kKindFailRandom:
      return std::make_unique<TwoComposeErrorDescription>(
          std::make_unique<AbortedErrorDescription>(),
          std::make_unique<NotAbortedErrorDescription>(kDamageNone, sectorSize),
          std::make_unique<RandomGenerator>(2));
    case kKindDamage:
      return std::make_unique<NotAbortedErrorDescription>(damageMode, sectorSize);
    case kKindDamageRandom:
      return std::make_unique<TwoComposeErrorDescription>(
          std::make_unique<NotAbortedErrorDescription>(damageMode, sectorSize),
          std::make_unique<NotAbortedErrorDescription>(kDamageNone, sectorSize),
          std::make_unique<RandomGenerator>(2));
    default:
      return nullptr;
  }
}

SimpleDiskErrorMapper::SimpleDiskErrorMapper(SimpleDisk& wrapped)
    : SimpleDisk(wrapped.GetSectorSize(), wrapped.GetSectorCount(), wrapped.GetGeometry()),
      wrapped_(&wrapped) {}

SimpleDiskErrorMapper::~SimpleDiskErrorMapper() = default;

void SimpleDiskErrorMapper::AddRegion(std::uint32_t op, std::uint64_t first,
                                      std::uint64_t count,
                                      std::unique_ptr<ErrorDescription> rule) {
  // A region holds at least one sector and its end is representable.
  if (count == 0 || first + (count - 1) < first) ThrowBadRegion(kEmptyRegionLocation);
  const std::uint64_t last = first + (count - 1);
  // Every region lies before the device's last sector, wherever it goes in
  // the list.
  if (last >= wrapped_->GetSectorCount()) ThrowBadRegion(kPastEndLocation);
  auto liesBefore = [](const Region& r, std::uint32_t op, std::uint64_t first) {
    return r.op < op || (r.op == op && r.first + r.count <= first);
  };
  auto at = std::find_if(regions_.begin(), regions_.end(),
                         [&](const Region& r) { return !liesBefore(r, op, first); });
  if (at != regions_.end() && !(at->op > op || (at->op == op && last < at->first))) {
    ThrowBadRegion(kOverlapLocation);
  }
  regions_.insert(at, Region{op, first, count, std::move(rule)});
}

Common::Error SimpleDiskErrorMapper::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                                        std::uint64_t count) {
  const std::uint64_t sectorSize = wrapped_->GetSectorSize();
  if (op == kIoRead) {
    Common::Error e = wrapped_->Io(kIoRead, sector, buffer, count);
    if (e) return e;
  }
  std::uint8_t* data = static_cast<std::uint8_t*>(buffer);
  while (count > 0) {
    auto region = std::find_if(regions_.begin(), regions_.end(), [&](const Region& r) {
      return r.op == op && r.first + r.count > sector;
    });
    if (region == regions_.end()) {
      return op == kIoWrite ? wrapped_->Io(kIoWrite, sector, data, count) : Common::NoError;
    }
    std::uint64_t n = 0;
    if (region->first > sector) {
      n = std::min(count, region->first - sector);
      if (op == kIoWrite) {
        Common::Error e = wrapped_->Io(kIoWrite, sector, data, n);
        if (e) return e;
      }
    } else {
      n = std::min(count, region->first + region->count - sector);
      Common::Error e = region->rule->Apply(op, sector, data, n);
      if (e) return e;
      if (op == kIoWrite) {
        e = wrapped_->Io(kIoWrite, sector, data, n);
        if (e) return e;
      }
    }
    sector += n;
    data += n * sectorSize;
    count -= n;
  }
  return Common::NoError;
}

DiskErrorSimulator::DiskErrorSimulator(std::unique_ptr<Disk> wrapped)
    : wrapped_(std::move(wrapped)),
      mapper_(std::make_unique<SimpleDiskErrorMapper>(*wrapped_->GetSimpleDisk())) {
  SetId(wrapped_->GetId());
  GetProperties() = wrapped_->GetProperties();
  view_ = std::make_unique<SimpleDiskRestricted>(mapper_.get(), kAccessFull);
}

DiskErrorSimulator::~DiskErrorSimulator() {
  view_.reset();
  mapper_.reset();
  wrapped_.reset();
}

void DiskErrorSimulator::HandIdentityDown() {
  wrapped_->SetId(GetId());
  wrapped_->GetProperties() = GetProperties();
}

void DiskErrorSimulator::Accept(LocationVisitor& visitor) {
  HandIdentityDown();
  wrapped_->Accept(visitor);
}

Common::Error DiskErrorSimulator::Lock() {
  HandIdentityDown();
  return wrapped_->Lock();
}

Common::Error DiskErrorSimulator::Unlock() {
  HandIdentityDown();
  return wrapped_->Unlock();
}

Common::Error DiskErrorSimulator::Invalidate() {
  HandIdentityDown();
  return wrapped_->Invalidate();
}

std::unique_ptr<Disk> WrapDisk(std::unique_ptr<Disk> disk, const ErrorSimulationTable& table) {
  namespace K = NamedVars::Keys;
  const NamedVars::VarContainer& p = disk->GetProperties();
  DiskAddress address;
  address.interfaceType = p.Get(K::HDInterfaceType);
  address.host = p.Get(K::HDInterfaceHost);
  address.bus = p.Get(K::HDInterfaceBus);
  address.target = p.Get(K::HDInterfaceTarget);
  auto entry = table.find(address);
  if (entry == table.end()) return disk;

  auto simulator = std::make_unique<DiskErrorSimulator>(std::move(disk));
  const std::uint32_t sectorSize = simulator->GetProperties().Get(K::SectorSize);
  for (const ErrorRegionConfig& region : entry->second) {
    std::unique_ptr<ErrorDescription> rule =
        MakeRule(region.kind, region.damageMode, sectorSize);
    if (!rule) continue;
    simulator->GetMapper().AddRegion(region.op, region.firstSector, region.sectorCount,
                                     std::move(rule));
  }
  return simulator;
}

}  // namespace ErrorSimulation
}  // namespace Fdisk
