// Firmware environment variables of a machine that starts through UEFI, and
// the one question the disk scan asks: does this machine start through UEFI?
//
// The variable objects reach the firmware through `Uefi::Firmware`: on
// Windows the NT native interface bound at run time; in the portable build a
// machine without variable services unless a test installs its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "foundation/guid.h"

namespace Uefi {

// NTSTATUS values the firmware calls answer.
constexpr std::uint32_t kStatusNotImplemented = 0xC0000002;
constexpr std::uint32_t kStatusBufferTooSmall = 0xC0000023;
constexpr std::uint32_t kStatusVariableNotFound = 0xC0000100;
constexpr std::uint32_t kStatus454 = 0xC0000454;

// Error codes (facility 0x012F).
constexpr std::uint32_t kErrFunctionMissing = 0x012F0001;
constexpr std::uint32_t kErrPrivilege = 0x012F0002;
constexpr std::uint32_t kErrNotLoaded = 0x012F0003;
constexpr std::uint32_t kErrFirmware = 0x012F0004;
constexpr std::uint32_t kErrNotImplemented = 0x012F0006;
constexpr std::uint32_t kErrNotFound = 0x012F0008;
constexpr std::uint32_t kErr454 = 0x012F000E;

// The platform's way to the firmware, in the steps a read or write takes.
class Firmware {
 public:
  virtual ~Firmware();
  // Finds the query or set function (kept once found). False with the
  // Win32 code of the failed lookup.
  virtual bool BindQuery(std::uint32_t& win32Error) = 0;
  virtual bool BindSet(std::uint32_t& win32Error) = 0;
  // Enables SeSystemEnvironmentPrivilege in the current token.
  virtual bool EnablePrivilege() = 0;
  // Finds the string builder; looked up again on every call.
  virtual bool BindStringBuilder(std::uint32_t& win32Error) = 0;
  // The two firmware calls; each returns the NTSTATUS. `length` is the
  // buffer size in, the value's length out (also when the buffer is short).
  virtual std::uint32_t Query(const std::u16string& name, const Common::Guid& vendor,
                              void* buffer, std::uint32_t* length,
                              std::uint32_t* attributes) = 0;
  virtual std::uint32_t Set(const std::u16string& name, const Common::Guid& vendor,
                            const void* data, std::uint32_t length,
                            std::uint32_t attributes) = 0;
};

// The firmware the variables use. Never null: the platform's by default.
Firmware& CurrentFirmware();
// Installs another firmware (tests); null puts back the platform's. The
// caller keeps ownership.
void SetFirmware(Firmware* firmware);
// The platform's firmware object.
Firmware& PlatformFirmware();

class Variable {
 public:
  Variable(const Common::Guid& vendor, std::u16string name, std::uint32_t attributes);
  virtual ~Variable();
  Variable(const Variable&) = delete;
  Variable& operator=(const Variable&) = delete;

  virtual Common::Error Read() = 0;
  virtual Common::Error Write() = 0;

  // Read, then the value's bytes (null and 0 for an empty value).
  Common::Error GetData(const std::uint8_t*& data, std::uint32_t& count);
  // False only when the firmware reports the variable as not found.
  bool Exists();
  // Writes an empty value, which deletes the variable.
  Common::Error Remove();
  Common::Error WriteData(const void* data, std::uint32_t count);

  bool IsLoaded() const { return loaded_; }
  const std::vector<std::uint8_t>& Value() const { return value_; }
  const std::u16string& Name() const { return name_; }
  std::uint32_t Attributes() const { return attributes_; }
  const Common::Guid& Vendor() const { return vendor_; }

 protected:
  bool loaded_ = false;
  std::vector<std::uint8_t> value_;
  Common::Guid vendor_;
  std::u16string name_;
  std::uint32_t attributes_;
};

class WindowsVariable : public Variable {
 public:
  using Variable::Variable;
  Common::Error Read() override;
  Common::Error Write() override;
};

std::shared_ptr<Variable> MakeWindowsVariable(const Common::Guid& vendor,
                                              const std::u16string& name,
                                              std::uint32_t attributes);

// The EFI global-variable vendor GUID 8BE4DF61-93CA-11D2-AA0D-00E098032B8C.
extern const Common::Guid EfiGlobalVariableGuid;

// True when the machine starts through UEFI: "BootOrder" reads, or the
// firmware reports it as absent.
bool IsEfiSystem();

}  // namespace Uefi

// The error of a failed firmware call for the variable `name`.
Common::Error UefiStatusToError(std::uint32_t status, const std::u16string& name);
