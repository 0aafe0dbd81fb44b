// Base behaviour of the file interfaces.
#include "files/file_error.h"
#include "files/file_object.h"

namespace {
constexpr std::uint32_t kModuleId = 0xd18a9c75;
constexpr std::uint32_t kLocationBase = 0x2001u << 16;
constexpr std::uint32_t kLocReadExact = kLocationBase | 1;
constexpr std::uint32_t kLocWriteExact = kLocationBase | 2;
constexpr std::uint32_t kLocUnlock = kLocationBase | 3;
constexpr std::uint32_t kLocLockShared = kLocationBase | 4;
constexpr std::uint32_t kLocLockExclusive = kLocationBase | 5;
}  // namespace

void i_file::read_exact(void* buffer, std::uint32_t size) {
  std::uint32_t count = 0;
  read(buffer, size, count);
  // More than asked for is as wrong as less: the caller's buffer holds
  // `size` bytes and nothing else can be trusted.
  if (is_ok() && count != size) store_error(MakeFileError(kLocReadExact, kModuleId, kFileEndOfFile));
}

void o_file::flush() {}

void o_file::write_exact(const void* buffer, std::uint32_t size) {
  std::uint32_t count = 0;
  write(buffer, size, count);
  if (is_ok() && count != size) store_error(MakeFileError(kLocWriteExact, kModuleId, kFileDiskFull));
}

void raccess_file::unlock(std::uint64_t /*offset*/, std::uint64_t /*length*/) {
  store_not_supported(kLocUnlock, kModuleId, true);
}

std::uint64_t raccess_file::rewind() { return seek_set(0); }

std::uint64_t raccess_file::size() {
  const std::uint64_t position = seek_cur(0);
  const std::uint64_t end = seek_end(0);
  seek_set(static_cast<std::int64_t>(position));
  return end;
}

void ri_file::lock_shared(std::uint64_t /*offset*/, std::uint64_t /*length*/, bool /*wait*/) {
  store_not_supported(kLocLockShared, kModuleId, true);
}

void ro_file::lock_exclusive(std::uint64_t /*offset*/, std::uint64_t /*length*/, bool /*wait*/) {
  store_not_supported(kLocLockExclusive, kModuleId, true);
}
