// The process-wide registry of watched directories behind win32_dir::watch
// and rewatch: blocks of 63 slots, each block with one watcher thread that
// waits on its armed slots' change-notification handles and on a control
// event (64 objects, the most WaitForMultipleObjects takes).
//
// A watch is one-shot: when its directory changes, the slot is disarmed and
// the callback runs on the watcher thread with a fresh directory object for
// the same path (destroyed by the watcher when the callback returns); the
// receiver calls rewatch on that object (or on the watching directory) to
// arm it again. The callback may watch, rewatch and destroy directories,
// the one that registered the watch included: the watch then lives on with
// the callback's directory as its only holder until that is destroyed.
//
// Windows-only header: it includes <windows.h>.
#pragma once

#include <windows.h>

#include <cstdint>

class ChangeWatchCallback;
class win32_dir;

// Slots per block: 63 handles and the control event fill one wait.
constexpr std::uint32_t kChangeWatchSlots = 63;

// id 0 with a handle, directory and callback: a new registration, its id
// (63 x block index + slot + 1) or 0. id not 0 with no handle but with a
// directory and callback: the slot's directory and callback replaced; the id,
// or 0 when the slot holds no handle. Any other id not 0: unregistered, and
// 0. A handle that is not kept is closed.
std::uint32_t RegisterChangeWatch(std::uint32_t id, HANDLE handle, win32_dir* directory,
                                  ChangeWatchCallback* callback);

// Arms the watch again; nothing for 0, unknown ids and armed or closed slots.
void RearmChangeWatch(std::uint32_t id);

// Diagnostics for the tests: blocks in the list, watcher threads running.
std::uint32_t ChangeWatchBlockCount();
std::uint32_t ChangeWatchThreadCount();
