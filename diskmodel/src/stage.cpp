// Stages and the process-wide stage registry.
#include "fdisk/model.h"
#include "fdisk/real_stage.h"
#include "foundation/trace.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kStageModuleId = 0x624C5765;
constexpr std::uint32_t kComputerNotFoundLocation = 0x87FD6552;
constexpr std::uint32_t kRegistryModuleId = 0x3DA92536;
constexpr std::uint32_t kStageNotFoundLocation = 0x2C8DC795;

std::unique_ptr<Computer> MakePlainComputer(std::uint32_t stageId) {
  return std::make_unique<Computer>(stageId);
}

Stage::LocalComputerFactory g_localComputerFactory = &MakePlainComputer;

// Used from one thread, like the rest of the model.
StageRegistry* g_registry = nullptr;
std::int32_t g_useCount = 0;
}  // namespace

void Stage::SetLocalComputerFactory(LocalComputerFactory factory) {
  g_localComputerFactory = factory != nullptr ? factory : &MakePlainComputer;
}

Stage::Stage() = default;

Stage::~Stage() {
  // Computers go before the stage's own parts, newest last as in the map.
  while (!computers_.empty()) computers_.erase(computers_.begin());
}

std::uint32_t Stage::CreateLocalComputer() {
  std::unique_ptr<Computer> computer = g_localComputerFactory(GetId());
  const std::uint32_t id = computer->GetId();
  computers_[id] = std::move(computer);
  localComputerId_ = id;
  return id;
}

Computer& Stage::GetComputer(std::uint32_t computerId) const {
  auto it = computers_.find(computerId);
  if (it == computers_.end()) {
    Error e(MakeError(kComputerNotFoundLocation, kStageModuleId, kErrComputerNotFound,
                      Msg::kComputerNotFound));
    TraceError(1, e);
    throw e;
  }
  return *it->second;
}

void Stage::DeleteComputer(std::uint32_t computerId) { computers_.erase(computerId); }

StageRegistry::StageRegistry() = default;

StageRegistry::~StageRegistry() {
  while (!stages_.empty()) stages_.erase(stages_.begin());
}

std::uint32_t StageRegistry::Acquire() {
  if (g_registry == nullptr) {
    std::unique_ptr<StageRegistry> registry(new StageRegistry());
    auto stage = std::make_unique<RealStage>();
    const std::uint32_t id = stage->GetId();
    registry->stages_[id] = std::move(stage);
    registry->realStageId_ = id;
    g_registry = registry.release();
    g_useCount = 1;
  } else {
    ++g_useCount;
  }
  return g_registry->realStageId_;
}

std::int32_t StageRegistry::Release() {
  const std::int32_t before = g_useCount--;
  if (before == 1 && g_registry != nullptr) {
    StageRegistry* registry = g_registry;
    g_registry = nullptr;
    delete registry;
  }
  return g_useCount;
}

StageRegistry* StageRegistry::Instance() { return g_registry; }

std::uint32_t StageRegistry::GetRealStageId() {
  return g_registry != nullptr ? g_registry->realStageId_ : 0;
}

Stage& StageRegistry::GetStage(std::uint32_t stageId) {
  if (g_registry != nullptr) {
    auto it = g_registry->stages_.find(stageId);
    if (it != g_registry->stages_.end()) return *it->second;
  }
  ThrowError(kStageNotFoundLocation, kRegistryModuleId, kErrStageNotFound, Msg::kStageNotFound);
}

}  // namespace Fdisk
