// Loading the message catalog into `MessageTable` (foundation/message_table.h).
//
// Catalog file (little-endian unsigned 32-bit integers): the number of texts,
// the size of the text block in bytes, one offset per text into the text
// block (entry i is message i), then the text block. Texts are NUL-terminated
// UTF-16LE. Offsets may share bytes and need not be ascending or even.
//
// The program loads "purgekit.msg" before `wmain` through `ResourceOpener`
// (files/resource.h); a catalog that cannot be loaded ends the process with
// exit code 3 before `wmain` runs.
#pragma once

#include <cstdint>

constexpr char kMessageCatalogName[] = "purgekit.msg";

// Reads the catalog `name` through ResourceOpener. On success every slot of
// `table` (expectedCount of them) points into one new heap block of exactly
// the block size, `block` receives that block (owned by the caller, freed
// with delete[]) and MessageCatalogBlock spans it; returns true.
//
// Returns false, leaving `table`, `block` and MessageCatalogBlock untouched
// and allocating nothing that outlives the call, when the resource is
// missing, any read falls short or fails, the stream is shorter than its
// header says (checked before the block is allocated), the count differs from
// expectedCount, the block cannot be allocated, or an offset does not lead
// to a NUL-terminated UTF-16 text inside the block.
bool LoadMessageCatalog(const char* name, const char16_t** table, std::uint32_t expectedCount,
                        unsigned char*& block);

// Start-up of the program: LoadMessageCatalog(kMessageCatalogName,
// MessageTable, kMessageTableCount, ...) and an exit handler that frees the
// block; abort() (exit code 3) when the load fails. Runs as a static
// initializer after the Windows layer exists, in the program only (the
// object that holds it is linked into the program explicitly).
void InitMessageCatalog();

// Priority of the start-up load among the prioritized initializers: after
// the Windows layer (windows/layer.h), before every ordinary initializer.
#define PURGEKIT_INIT_PRIORITY_MESSAGE_CATALOG 110
