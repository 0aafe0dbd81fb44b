// A firmware double for the variable tests: variables in a map, statuses
// and missing functions to inject, and counts of the calls.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "diskaccess/uefi.h"

namespace DaTest {

class FakeFirmware : public Uefi::Firmware {
 public:
  struct Stored {
    std::vector<std::uint8_t> data;
    std::uint32_t attributes;
  };

  bool BindQuery(std::uint32_t& e) override { return Bind(queryMissing, e); }
  bool BindSet(std::uint32_t& e) override { return Bind(setMissing, e); }
  bool EnablePrivilege() override { return !privilegeRefused; }
  bool BindStringBuilder(std::uint32_t& e) override { return Bind(false, e); }

  std::uint32_t Query(const std::u16string& name, const Common::Guid&, void* buffer,
                      std::uint32_t* length, std::uint32_t* attributes) override {
    ++queries;
    if (queryStatus != 0) return queryStatus;
    auto it = variables.find(name);
    if (it == variables.end()) return Uefi::kStatusVariableNotFound;
    const std::uint32_t need = static_cast<std::uint32_t>(it->second.data.size());
    if (*length < need) {
      *length = need;
      return Uefi::kStatusBufferTooSmall;
    }
    std::memcpy(buffer, it->second.data.data(), need);
    *length = need;
    *attributes = it->second.attributes;
    return 0;
  }

  std::uint32_t Set(const std::u16string& name, const Common::Guid&, const void* data,
                    std::uint32_t length, std::uint32_t attributes) override {
    ++sets;
    if (setStatus != 0) return setStatus;
    if (length == 0) {
      variables.erase(name);
    } else {
      const auto* p = static_cast<const std::uint8_t*>(data);
      variables[name] = Stored{std::vector<std::uint8_t>(p, p + length), attributes};
    }
    return 0;
  }

  bool Bind(bool missing, std::uint32_t& e) {
    if (missing) e = 127;  // ERROR_PROC_NOT_FOUND
    return !missing;
  }

  std::map<std::u16string, Stored> variables;
  std::uint32_t queryStatus = 0;
  std::uint32_t setStatus = 0;
  bool queryMissing = false;
  bool setMissing = false;
  bool privilegeRefused = false;
  int queries = 0;
  int sets = 0;
};

// Installs a firmware double for the life of a test.
class FirmwareScope {
 public:
  explicit FirmwareScope(Uefi::Firmware& firmware) { Uefi::SetFirmware(&firmware); }
  ~FirmwareScope() { Uefi::SetFirmware(nullptr); }
  FirmwareScope(const FirmwareScope&) = delete;
  FirmwareScope& operator=(const FirmwareScope&) = delete;
};

}  // namespace DaTest
