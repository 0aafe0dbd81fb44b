// The general entry identifier: a shared blob of a name and raw bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "files/dir.h"

struct the_identifier::Blob {
  std::atomic<std::int32_t> references;
  const char16_t* name;        // inside the blob
  const std::uint8_t* bytes;   // inside the blob, or null
  std::uint32_t byteCount;     // so that a reader can bound what it reads
};

namespace {

// Shared by every identifier with an empty name and no bytes; never freed.
the_identifier::Blob EmptyBlob{{1}, u"", nullptr, 0};

std::size_t NameLength(const char16_t* name) noexcept {
  std::size_t length = 0;
  if (name != nullptr) {
    while (name[length] != u'\0') ++length;
  }
  return length;
}

the_identifier::Blob* NewBlob(const char16_t* name, const void* bytes,
                              std::uint32_t byteCount) noexcept {
  if (bytes == nullptr) byteCount = 0;
  const std::size_t length = NameLength(name);
  if (length == 0 && byteCount == 0) return &EmptyBlob;

  constexpr std::size_t kLimit = std::numeric_limits<std::size_t>::max() / 4;
  if (length > kLimit) return &EmptyBlob;
  const std::size_t nameBytes = (length + 1) * sizeof(char16_t);
  const std::size_t total = sizeof(the_identifier::Blob) + nameBytes + byteCount;
  void* memory = ::operator new(total, std::nothrow);
  if (memory == nullptr) return &EmptyBlob;

  auto* blob = new (memory) the_identifier::Blob{{1}, nullptr, nullptr, byteCount};
  auto* nameCopy = reinterpret_cast<char16_t*>(static_cast<unsigned char*>(memory) +
                                               sizeof(the_identifier::Blob));
  std::memcpy(nameCopy, name != nullptr ? name : u"", nameBytes);
  blob->name = nameCopy;
  if (byteCount != 0) {
    auto* bytesCopy = reinterpret_cast<std::uint8_t*>(nameCopy) + nameBytes;
    std::memcpy(bytesCopy, bytes, byteCount);
    blob->bytes = bytesCopy;
  }
  return blob;
}

}  // namespace

file_identifier::~file_identifier() = default;

the_identifier::the_identifier(const char16_t* name, const void* bytes,
                               std::uint32_t byteCount) noexcept
    : blob_(NewBlob(name, bytes, byteCount)) {}

the_identifier::the_identifier(Blob* shared) noexcept : blob_(shared) {
  if (blob_ != &EmptyBlob) blob_->references.fetch_add(1, std::memory_order_relaxed);
}

the_identifier::~the_identifier() {
  if (blob_ == &EmptyBlob) return;
  if (blob_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    blob_->~Blob();
    ::operator delete(blob_);
  }
}

the_identifier* the_identifier::clone() const { return new (std::nothrow) the_identifier(blob_); }

const char16_t* the_identifier::name() const noexcept { return blob_->name; }
const std::uint8_t* the_identifier::bytes() const noexcept { return blob_->bytes; }
std::uint32_t the_identifier::byte_count() const noexcept { return blob_->byteCount; }
