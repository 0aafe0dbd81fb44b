// The generic mapping of volumes onto partition holders with its drive
// letters, the matching of a volume against the pseudo-disk's holders, the
// re-pairing of those holders after a revert, and the System Restore state
// a volume handler keeps.
#pragma once

#include <cstdint>
#include <vector>

#include "diskaccess/objects.h"

class holder;
struct HolderList;

// The computer's free drive letters with bit 0 for C: (the library's mask
// counts from A:, so it is shifted by two).
std::uint32_t DaFreeLetterMask(da_computer& computer);

// Every partition of the usable disks gets a volume handler: with letters,
// one that already has a handler is given the letter its holder wants (or
// the lowest free one), and one without is created over the partition with
// the letter it asks for when that is free. Adds capability flags 0x22 and
// stores the free letters in both of the computer's words.
void MapVolumesGeneric(da_computer& computer, bool letters);
// Takes the letter off every volume of the pseudo-disk and every type 0x83
// partition that has a handler.
void RemoveVolumeLetters(da_computer& computer);
// Gives the lowest free letter to every such volume that has none.
void AssignMissingLetters(da_computer& computer);

// 1 for a GPT partition of the model, 0 for anything else (a dynamic volume
// of the model, a library volume, a plain partition).
std::uint32_t DaPartitionKind(const holder* h);
// Whether a volume (its GUID when it has one, its extents, its kind) is
// the one the holder stands for: never a free-space holder; GUIDs equal
// when given; kinds equal unless either is 1; the same extents in any
// order.
bool MatchesVolume(const holder* h, const std::uint8_t* guid, const std::vector<DaExtent>& extents,
                   std::uint32_t kind);
bool HoldersMatch(const holder* a, const holder* b);
// The first holder of the list that matches and has no handler, or one
// whose VolQueryWord is 0 or `stamp`.
holder* FindMatchingHolder(const HolderList& list, const std::uint8_t* guid,
                           const std::vector<DaExtent>& extents, std::uint32_t kind,
                           std::uint64_t stamp);
void RemoveFreeSpaceHolders(HolderList& list);

// After a revert: the pseudo-disk's holder list `a` keeps its volumes,
// loses its free space, and gains, in id order, a copy of every volume of
// the second list `b` it lacks, then a copy of each free-space holder of
// `b` at its end.
void ReconcileEasyVolumes(HolderList& a, const HolderList& b);
// Empties `target` and appends a copy of every holder of `source`.
void DaCopyHolderList(HolderList& target, const HolderList& source);
// Each volume holder of the list saves its live letter (false) or takes
// the saved one back (true).
void SyncEasyVolumeLetters(HolderList& list, bool apply);

// Stores `state` as the handler's System Restore state, unless the state
// is still unread (2 or more) and the volume cannot answer the question;
// then the state stays and the answer is false.
bool SetSystemRestoreState(vol_handler& handler, std::uint32_t state);
