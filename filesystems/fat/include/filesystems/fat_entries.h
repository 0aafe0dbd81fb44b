// The 32-byte entries of a FAT directory: which are live, where a file's
// chain starts, the dot entries of a subdirectory and the long name that
// goes with an 8.3 entry.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace filesystems {
namespace fatentry {

constexpr std::uint32_t kEntrySize = 32;
constexpr std::uint8_t kEndOfEntries = 0x00;
constexpr std::uint8_t kDeleted = 0xE5;
constexpr std::uint8_t kAttributeReadOnly = 0x01;
constexpr std::uint8_t kAttributeHidden = 0x02;
constexpr std::uint8_t kAttributeSystem = 0x04;
constexpr std::uint8_t kAttributeLabel = 0x08;
constexpr std::uint8_t kAttributeDirectory = 0x10;
constexpr std::uint8_t kAttributeArchive = 0x20;
constexpr std::uint8_t kAttributeLongName = 0x0F;

// The low word, with the high word above it on FAT32 (elsewhere the high
// word is not part of the cluster number).
std::uint32_t FirstCluster(const std::uint8_t* entry, bool fat32);
std::uint32_t FileSize(const std::uint8_t* entry);
bool IsDirectory(const std::uint8_t* entry);

// Not deleted, not a dot entry, not a label or long-name entry, and, when a
// filter is given (bit count non-zero), a directory or non-empty file whose
// first cluster's bit is set (bit k: bit k mod 8 of byte k / 8).
bool IsLiveEntry(const std::uint8_t* entry, bool fat32, const std::uint8_t* filter,
                 std::uint32_t filterBits);

// Entries 0 and 1 of the subdirectory whose first cluster is `id`: "." with
// that cluster, then "..", both directories.
bool HasDotEntries(const std::uint8_t* first, const std::uint8_t* second, std::uint32_t id,
                   bool fat32);

// The long name of the 8.3 entry at `index`, from the long-name entries just
// before it (at most 20, each with the right sequence number and the 8.3
// name's checksum, the first of the set marked last). Returns how many
// entries it spans; 0 (and an empty name) when there is no sound set.
// `entryAt(k)` gives the 32 bytes of entry k, for k below `index`.
std::uint32_t ReadLongName(const std::function<const std::uint8_t*(std::uint32_t)>& entryAt,
                           std::uint32_t index, std::u16string& name);

}  // namespace fatentry
}  // namespace filesystems
