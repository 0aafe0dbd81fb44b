// The stage that works on the machine's real disks, and the one the stage
// registry creates.
#pragma once

#include <cstdint>
#include <utility>

#include "fdisk/model.h"

namespace Fdisk {

class RealStage : public Stage {
 public:
  RealStage();
  ~RealStage() override;

  // Not supported: 0x100401.
  Common::Error Reserved1(const NamedVars::VarContainer& params) override;
  // Create, Delete, Change and ClearDisk run the operations of
  // disk_operations.h. A computer id the stage does not hold is returned;
  // every other failure is thrown as `Fdisk::Error`.
  std::pair<Common::Error, std::uint32_t> Create(const NamedVars::VarContainer& params) override;
  Common::Error Delete(const NamedVars::VarContainer& params) override;
  Common::Error Change(const NamedVars::VarContainer& params) override;
  // Not supported: 0x100401.
  Common::Error Reserved5(const NamedVars::VarContainer& params) override;
  // Not supported: 0x100401.
  Common::Error Reserved6(const NamedVars::VarContainer& params) override;
  Common::Error ClearDisk(const NamedVars::VarContainer& params) override;
};

}  // namespace Fdisk
