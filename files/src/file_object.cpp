// The stored error every file, directory and iterator carries.
#include "files/file_object.h"

#include "files/file_error.h"

namespace {
constexpr std::uint32_t kModuleId = 0xa9be4c92;
constexpr std::uint32_t kLocationBase = 0x2000u << 16;
constexpr std::uint32_t kLocControl = kLocationBase | 1;
}  // namespace

file_object::~file_object() = default;

void file_object::control(control_request* /*request*/) {
  store_not_supported(kLocControl, kModuleId, true);
}

bool file_object::is_ok() const noexcept { return error_.Code() == 0; }

Common::Error file_object::take_error() noexcept {
  Common::Error taken = error_;
  error_ = Common::NoError;
  return taken;
}

void file_object::store_error(const Common::Error& error) noexcept {
  // Copying takes the new reference before the old chain is released, so
  // storing an error that the object already holds (or one caused by it)
  // never frees it in between.
  error_ = error;
}

void file_object::store_first_error(const Common::Error& error) noexcept {
  if (is_ok()) error_ = error;
}

void file_object::clear_error() noexcept { error_ = Common::NoError; }

void file_object::store_not_supported(std::uint32_t locationId, std::uint32_t moduleId,
                                      bool keepExisting) noexcept {
  if (keepExisting && !is_ok()) return;
  error_ = MakeFileError(locationId, moduleId, kFileNotSupported);
}
