// The portable build has no firmware interface: it behaves like a machine
// that starts through a BIOS, whose firmware offers no variable services.
#include "diskaccess/uefi.h"

namespace Uefi {
namespace {

class NoVariableServices : public Firmware {
 public:
  bool BindQuery(std::uint32_t&) override { return true; }
  bool BindSet(std::uint32_t&) override { return true; }
  bool EnablePrivilege() override { return true; }
  bool BindStringBuilder(std::uint32_t&) override { return true; }
  std::uint32_t Query(const std::u16string&, const Common::Guid&, void*, std::uint32_t*,
                      std::uint32_t*) override {
    return kStatusNotImplemented;
  }
  std::uint32_t Set(const std::u16string&, const Common::Guid&, const void*, std::uint32_t,
                    std::uint32_t) override {
    return kStatusNotImplemented;
  }
};

}  // namespace

Firmware& PlatformFirmware() {
  static NoVariableServices firmware;
  return firmware;
}

}  // namespace Uefi
