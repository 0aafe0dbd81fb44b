// The registry of watched directories and its watcher threads.
//
// Lock order: the process-wide recursive lock first, then a block's
// semaphore. The watcher holds its block's semaphore except while it waits
// to be paused and while a callback runs; a thread that changes a block
// pauses the watcher (control event, then the semaphore) and resumes it by
// releasing the semaphore. On the watcher's own thread both steps are
// skipped: it already holds the semaphore.
#include "files/win/change_watch.h"

#include <windows.h>
#include <process.h>

#include <atomic>
#include <new>

#include "files/dir.h"
#include "files/file_error.h"
#include "files/win/nt_dir.h"
#include "files/win/win_dir.h"
#include "foundation/sync.h"

// Gives the registry access to a directory's watch id.
struct ChangeWatchAccess {
  static std::uint32_t& id(win32_dir& dir) { return dir.watchId_; }
};

namespace {

struct Slot {
  bool armed = false;
  HANDLE handle = nullptr;  // null: free; INVALID_HANDLE_VALUE: closed, still held
  win32_dir* directory = nullptr;
  ChangeWatchCallback* callback = nullptr;
  std::uint32_t holders = 0;
};

struct Block {
  Block* next = nullptr;
  std::uint32_t used = 0;
  std::uint32_t armed = 0;
  Slot slots[kChangeWatchSlots];
  HANDLE semaphore = nullptr;
  HANDLE control = nullptr;
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  bool stop = false;
};

Common::RecursiveLock g_lock;
Block* g_head = nullptr;
std::uint32_t g_total = 0;
// Watcher threads started and not yet ended.
std::atomic<std::uint32_t> g_threads{0};

class Locked {
 public:
  Locked() { g_lock.Lock(); }
  ~Locked() { g_lock.Unlock(); }
};

bool OnWatcher(const Block& block) {
  return block.thread != nullptr && block.threadId == GetCurrentThreadId();
}

void Pause(Block& block) {
  if (block.thread == nullptr || OnWatcher(block)) return;
  SetEvent(block.control);
  WaitForSingleObject(block.semaphore, INFINITE);
  ResetEvent(block.control);
}

unsigned __stdcall ChangeWatchThread(void* parameter);

void Resume(Block& block) {
  if (block.thread != nullptr) {
    if (!OnWatcher(block)) ReleaseSemaphore(block.semaphore, 1, nullptr);
    return;
  }
  if (block.armed == 0) return;
  if (block.control == nullptr) {
    block.control = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (block.control == nullptr) return;
  }
  unsigned id = 0;
  const std::uintptr_t thread =
      _beginthreadex(nullptr, 0, &ChangeWatchThread, &block, 0, &id);
  if (thread == 0) return;
  g_threads.fetch_add(1);
  block.threadId = id;
  block.thread = reinterpret_cast<HANDLE>(thread);
}

// The block and slot of an id; false for ids that name none.
bool Find(std::uint32_t id, Block*& block, std::uint32_t& slot) {
  if (id == 0) return false;
  std::uint32_t index = (id - 1) / kChangeWatchSlots;
  slot = (id - 1) % kChangeWatchSlots;
  for (block = g_head; block != nullptr && index > 0; block = block->next) --index;
  return block != nullptr;
}

void FreeBlock(Block* block) {
  if (block->control != nullptr) CloseHandle(block->control);
  if (block->semaphore != nullptr) CloseHandle(block->semaphore);
  delete block;
}

// Every block goes once the last registration has: each watcher is stopped
// and joined (unless this is the watcher, which then frees its own block).
void DestroyAllBlocks() {
  Block* block = g_head;
  g_head = nullptr;
  while (block != nullptr) {
    Block* next = block->next;
    if (block->thread == nullptr) {
      FreeBlock(block);
    } else {
      const bool self = OnWatcher(*block);
      Pause(*block);
      HANDLE thread = block->thread;
      block->thread = nullptr;
      block->stop = true;
      if (!self) {
        ReleaseSemaphore(block->semaphore, 1, nullptr);
        WaitForSingleObject(thread, INFINITE);
      }
      CloseHandle(thread);
    }
    block = next;
  }
}

void Unregister(Block& block, std::uint32_t index) {
  Slot& slot = block.slots[index];
  if (slot.handle == nullptr) return;
  const bool wasArmed = slot.armed;
  if (wasArmed) {
    Pause(block);
    slot.armed = false;
    --block.armed;
  }
  if (slot.handle != INVALID_HANDLE_VALUE) FindCloseChangeNotification(slot.handle);
  if (slot.holders-- == 1) {
    slot.callback->release();
    slot.callback = nullptr;
    slot.directory = nullptr;
    slot.handle = nullptr;
    --block.used;
    --g_total;
  } else {
    slot.handle = INVALID_HANDLE_VALUE;
  }
  if (wasArmed) Resume(block);
  if (g_total == 0) DestroyAllBlocks();
}

std::uint32_t Register(HANDLE handle, win32_dir* directory, ChangeWatchCallback* callback) {
  std::uint32_t index = 0;
  Block** link = &g_head;
  Block* block = g_head;
  while (block != nullptr && block->used == kChangeWatchSlots) {
    ++index;
    link = &block->next;
    block = block->next;
  }
  if (block == nullptr) {
    block = new (std::nothrow) Block;
    if (block != nullptr) {
      block->semaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
      if (block->semaphore == nullptr) {
        delete block;
        block = nullptr;
      }
    }
    if (block == nullptr) {
      FindCloseChangeNotification(handle);
      return 0;
    }
    *link = block;
  }
  std::uint32_t s = 0;
  while (block->slots[s].handle != nullptr) ++s;
  Pause(*block);
  callback->add_ref();
  Slot& slot = block->slots[s];
  slot.armed = true;
  slot.handle = handle;
  slot.directory = directory;
  slot.callback = callback;
  slot.holders = 1;
  ++block->used;
  ++block->armed;
  ++g_total;
  Resume(*block);
  return kChangeWatchSlots * index + s + 1;
}

unsigned __stdcall ChangeWatchThread(void* parameter) {
  Block& block = *static_cast<Block*>(parameter);
  WaitForSingleObject(block.semaphore, INFINITE);
  while (!block.stop) {
    HANDLE waits[kChangeWatchSlots + 1];
    std::uint32_t owners[kChangeWatchSlots + 1];
    DWORD count = 0;
    waits[count++] = block.control;
    for (std::uint32_t s = 0; s < kChangeWatchSlots; ++s) {
      if (block.slots[s].armed) {
        owners[count] = s;
        waits[count++] = block.slots[s].handle;
      }
    }
    const DWORD result = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    win32_dir* fresh = nullptr;
    ChangeWatchCallback* callback = nullptr;
    std::uint32_t index = 0, id = 0;
    if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
      index = owners[result - WAIT_OBJECT_0];
      Slot& slot = block.slots[index];
      --block.armed;
      slot.armed = false;
      callback = slot.callback;
      callback->add_ref();
      id = ChangeWatchAccess::id(*slot.directory);
      fresh = slot.directory->open_dir(u".");
      if (fresh == nullptr) {
        callback->release();
        callback = nullptr;
      }
    }
    if (fresh == nullptr) {
      // The control event (a thread wants the block), a failed wait, or no
      // directory to hand on: let a pausing thread in, then wait again.
      ReleaseSemaphore(block.semaphore, 1, nullptr);
      WaitForSingleObject(block.semaphore, INFINITE);
      continue;
    }
    ++block.slots[index].holders;
    ChangeWatchAccess::id(*fresh) = id;
    ReleaseSemaphore(block.semaphore, 1, nullptr);
    callback->invoke(fresh);
    callback->release();
    g_lock.Lock();
    WaitForSingleObject(block.semaphore, INFINITE);
    Slot& slot = block.slots[index];
    if (ChangeWatchAccess::id(*fresh) == id && slot.holders > 1) {
      --slot.holders;
      ChangeWatchAccess::id(*fresh) = 0;
    }
    // The destructor unregisters the watch when the object still carries
    // it; should that have been the last registration, the blocks are gone
    // and this thread's own is marked to stop.
    delete fresh;
    g_lock.Unlock();
  }
  if (block.control != nullptr) CloseHandle(block.control);
  CloseHandle(block.semaphore);
  delete &block;
  g_threads.fetch_sub(1);
  return 0;
}

}  // namespace

std::uint32_t RegisterChangeWatch(std::uint32_t id, HANDLE handle, win32_dir* directory,
                                  ChangeWatchCallback* callback) {
  Locked hold;
  if (id == 0) {
    if (handle == nullptr) return 0;
    if (directory == nullptr || callback == nullptr) {
      FindCloseChangeNotification(handle);
      return 0;
    }
    return Register(handle, directory, callback);
  }
  Block* block = nullptr;
  std::uint32_t index = 0;
  if (!Find(id, block, index)) {
    if (handle != nullptr) FindCloseChangeNotification(handle);
    return 0;
  }
  Slot& slot = block->slots[index];
  if (handle == nullptr && directory != nullptr && callback != nullptr) {
    if (slot.handle == nullptr) return 0;
    Pause(*block);
    callback->add_ref();
    slot.callback->release();
    slot.callback = callback;
    slot.directory = directory;
    Resume(*block);
    return id;
  }
  if (handle != nullptr) FindCloseChangeNotification(handle);
  Unregister(*block, index);
  return 0;
}

void RearmChangeWatch(std::uint32_t id) {
  Locked hold;
  Block* block = nullptr;
  std::uint32_t index = 0;
  if (!Find(id, block, index)) return;
  Slot& slot = block->slots[index];
  if (slot.handle == nullptr || slot.handle == INVALID_HANDLE_VALUE || slot.armed) return;
  Pause(*block);
  slot.armed = true;
  ++block->armed;
  FindNextChangeNotification(slot.handle);
  Resume(*block);
}

std::uint32_t ChangeWatchBlockCount() {
  Locked hold;
  std::uint32_t n = 0;
  for (Block* block = g_head; block != nullptr; block = block->next) ++n;
  return n;
}

std::uint32_t ChangeWatchThreadCount() { return g_threads.load(); }

// ---------------------------------------------------------------------------
// The directory's side

void win32_dir::watch(ChangeWatchCallback* callback) {
  if (callback == nullptr) {
    RegisterChangeWatch(watchId_, nullptr, nullptr, nullptr);
    watchId_ = 0;
    clear_error();
    return;
  }
  HANDLE handle = nullptr;
  if (watchId_ == 0) {
    if (path_.empty()) {
      store_error(MakeFileError(0x2B040001u, kWin32DirModuleId, kFileOpenError));
      return;
    }
    handle = change_handle();
    if (handle == nullptr) return;
  }
  watchId_ = RegisterChangeWatch(watchId_, handle, this, callback);
  if (watchId_ != 0) {
    clear_error();
  } else {
    store_error(MakeFileError(0x2B040002u, kWin32DirModuleId, kFileReadError));
  }
}

void win32_dir::rewatch() {
  if (watchId_ != 0) RearmChangeWatch(watchId_);
}

winnt_dir::~winnt_dir() {
  if (watchId_ != 0) watch(nullptr);
}
