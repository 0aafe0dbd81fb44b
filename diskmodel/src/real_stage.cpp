// The real stage.
#include "fdisk/real_stage.h"

#include "fdisk/disk_operations.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0xF5E8E7EA;
constexpr std::uint32_t kReserved1Location = 0x089763A6;
constexpr std::uint32_t kReserved5Location = 0x089763D4;
constexpr std::uint32_t kReserved6Location = 0x089763D9;

Common::Error NotImplemented(std::uint32_t location, std::uint32_t module) {
  return MakeError(location, module, kErrNotImplemented, Msg::kNotImplemented);
}
}  // namespace

RealStage::RealStage() = default;
RealStage::~RealStage() = default;

Common::Error RealStage::Reserved1(const NamedVars::VarContainer&) {
  return NotImplemented(kReserved1Location, kModuleId);
}

std::pair<Common::Error, std::uint32_t> RealStage::Create(const NamedVars::VarContainer& params) {
  try {
    Operation::Create operation(params);
    return {Common::NoError, operation.GetVolumeId()};
  } catch (const Stage::Error& e) {
    return {e, 0};
  }
}

Common::Error RealStage::Delete(const NamedVars::VarContainer& params) {
  try {
    Operation::Delete operation(params);
    return Common::NoError;
  } catch (const Stage::Error& e) {
    return e;
  }
}

Common::Error RealStage::Change(const NamedVars::VarContainer& params) {
  try {
    Operation::Change operation(params);
    return Common::NoError;
  } catch (const Stage::Error& e) {
    return e;
  }
}

Common::Error RealStage::Reserved5(const NamedVars::VarContainer&) {
  return NotImplemented(kReserved5Location, kModuleId);
}

Common::Error RealStage::Reserved6(const NamedVars::VarContainer&) {
  return NotImplemented(kReserved6Location, kModuleId);
}

Common::Error RealStage::ClearDisk(const NamedVars::VarContainer& params) {
  try {
    Operation::ClearDisk operation(params);
    return Common::NoError;
  } catch (const Stage::Error& e) {
    return e;
  }
}

}  // namespace Fdisk
