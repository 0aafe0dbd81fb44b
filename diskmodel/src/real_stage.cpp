// The real stage.
#include "fdisk/real_stage.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0xF5E8E7EA;
constexpr std::uint32_t kReserved1Location = 0x089763A6;
constexpr std::uint32_t kReserved5Location = 0x089763D4;
constexpr std::uint32_t kReserved6Location = 0x089763D9;
// The create, delete, change and clear-disk operation objects are not part
// of the model core; until they are linked in, the stage refuses them.
constexpr std::uint32_t kPendingModuleId = 0x4103;

Common::Error NotImplemented(std::uint32_t location, std::uint32_t module) {
  return MakeError(location, module, kErrNotImplemented, Msg::kNotImplemented);
}
}  // namespace

RealStage::RealStage() = default;
RealStage::~RealStage() = default;

Common::Error RealStage::Reserved1(const NamedVars::VarContainer&) {
  return NotImplemented(kReserved1Location, kModuleId);
}

std::pair<Common::Error, std::uint32_t> RealStage::Create(const NamedVars::VarContainer&) {
  return {NotImplemented((kPendingModuleId << 16) | 1, kPendingModuleId), 0};
}

Common::Error RealStage::Delete(const NamedVars::VarContainer&) {
  return NotImplemented((kPendingModuleId << 16) | 2, kPendingModuleId);
}

Common::Error RealStage::Change(const NamedVars::VarContainer&) {
  return NotImplemented((kPendingModuleId << 16) | 3, kPendingModuleId);
}

Common::Error RealStage::Reserved5(const NamedVars::VarContainer&) {
  return NotImplemented(kReserved5Location, kModuleId);
}

Common::Error RealStage::Reserved6(const NamedVars::VarContainer&) {
  return NotImplemented(kReserved6Location, kModuleId);
}

Common::Error RealStage::ClearDisk(const NamedVars::VarContainer&) {
  return NotImplemented((kPendingModuleId << 16) | 4, kPendingModuleId);
}

}  // namespace Fdisk
