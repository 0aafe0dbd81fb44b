// The disk model's error class and the codes and catalog texts it uses.
//
// `Fdisk::Error` adds no data to `Common::Error`; it exists so that a catch
// can select the disk model's failures. Lookups by id answer 0x101Cxx,
// operations a class does not implement 0x100401.
#pragma once

#include <cstdint>

#include "common/error.h"

namespace Fdisk {

class Error : public Common::Error {
 public:
  using Common::Error::Error;
  Error() = default;
  explicit Error(const Common::Error& e) : Common::Error(e) {}
};

// Codes of the disk model (facility 0x10).
constexpr std::uint32_t kErrNotImplemented = 0x100401;
constexpr std::uint32_t kErrOffline = 0x100403;
constexpr std::uint32_t kErrInvalidParameter = 0x100404;
constexpr std::uint32_t kErrOutOfMemory = 0x100405;
constexpr std::uint32_t kErrStageNotFound = 0x101C02;
constexpr std::uint32_t kErrVariableNotFound = 0x101C03;
constexpr std::uint32_t kErrComputerNotFound = 0x101C05;
constexpr std::uint32_t kErrDiskNotFound = 0x101C06;
constexpr std::uint32_t kErrPartitionNotFound = 0x101C09;
constexpr std::uint32_t kErrDriverNotFound = 0x101C0A;
constexpr std::uint32_t kErrLayerNotFound = 0x101C0B;
constexpr std::uint32_t kErrVolumeNotFound = 0x101C10;
constexpr std::uint32_t kErrInvalidIo = 0x102001;
constexpr std::uint32_t kErrSimulated = 0x102801;

// Message-catalog entries of those codes' texts.
namespace Msg {
constexpr std::uint32_t kComputerNotFound = 501;   // "Object 'Computer' cannot be found."
constexpr std::uint32_t kDiskNotFound = 503;       // "Object 'Disk' cannot be found."
constexpr std::uint32_t kDriverNotFound = 504;     // "Object 'Driver' cannot be found."
constexpr std::uint32_t kLayerNotFound = 507;      // "Object 'Layer' cannot be found."
constexpr std::uint32_t kPartitionNotFound = 511;  // "Object 'Partition' cannot be found."
constexpr std::uint32_t kStageNotFound = 513;      // "Object 'Stage' cannot be found."
constexpr std::uint32_t kVolumeNotFound = 515;     // "Object 'Volume' cannot be found."
constexpr std::uint32_t kInvalidParameter = 518;   // "An invalid parameter."
constexpr std::uint32_t kNotImplemented = 520;     // "The code is not implemented."
constexpr std::uint32_t kOutOfMemory = 521;        // "Out of memory."
constexpr std::uint32_t kOffline = 523;            // "I/O object 'SimpleDisk' is offline."
constexpr std::uint32_t kInvalidIo = 548;          // "An invalid I/O operation."
constexpr std::uint32_t kSimulated = 1262;         // "Error."
}  // namespace Msg

// A new `Fdisk::Error` whose text is catalog entry `message` (no text while
// the catalog is not loaded).
Error MakeError(std::uint32_t locationId, std::uint32_t moduleId, std::uint32_t code,
                std::uint32_t message);

// Traces `error` (level 1, like every thrown error) and throws it as
// `Fdisk::Error`.
[[noreturn]] void ThrowError(const Common::Error& error);
[[noreturn]] void ThrowError(std::uint32_t locationId, std::uint32_t moduleId,
                             std::uint32_t code, std::uint32_t message);

}  // namespace Fdisk
