// What the changes of existing volumes share: the last piece of a plex or
// column, the free region right behind a piece, and new pieces laid into
// free regions. Nothing here writes a disk.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "ldm/group.h"

namespace Ldm {

// The piece of the plex that ends last among those of `column` (any column
// when `column` is kAnyColumn); null when there is none.
constexpr std::uint32_t kAnyColumn = 0xFFFFFFFFu;
LdmRecord* LastPiece(const LdmRecord& plex, std::uint32_t column);
// The end of the plex (of one column): the greatest VolOff + Size.
std::uint64_t PlexEnd(const LdmRecord& plex, std::uint32_t column);
// The disk record id of the column's last piece; 0 when the column is empty.
std::uint64_t ColumnDisk(const LdmRecord& plex, std::uint32_t column);
// True when some piece of the volume lies on the disk.
bool VolumeUsesDisk(const LdmRecord& volume, std::uint64_t diskRid);

// The free region of the disk that begins right after the piece; null when
// none does.
Region* FreeRegionAfter(LdmDisk& disk, const LdmRecord& piece);

// Lays `length` sectors of the plex (of its column `column`) onto the
// disk, one new piece per free region taken, from plex offset `offset` on,
// which advances. 0x109007 without a disk record, 0x10900F when the disk
// has no free region left; pieces made before stay, marked touched, for the
// caller's rollback.
Common::Error PlacePieces(LdmDgAccess& group, LdmRecord& plex, LdmDisk& disk,
                          std::uint64_t length, std::uint64_t& offset, std::uint32_t column,
                          std::uint32_t location);

}  // namespace Ldm
