// Change notification of shell directories. The shell posts its notices to
// a hidden window owned by one process-wide thread; each callback in use has
// a registration with its own message number, and the notices for one
// folder are held back (coalesced) from their delivery until the receiver
// acknowledges them with rewatch.
#include <windows.h>
#include <process.h>
#include <shlobj.h>

#include <memory>
#include <new>
#include <string>

#include "files/dir.h"
#include "files/file_error.h"
#include "files/win/helpers.h"
#include "files/win/shell_dir.h"

ThreadStartFunction gThreadStart = &_beginthreadex;

struct PendingNotice {
  std::string list;  // the folder's item-id list, with terminator
  bool delivered = false;
  PendingNotice* next = nullptr;
};

struct ShellNotificationRegistration {
  UINT message = 0;
  ChangeWatchCallback* callback = nullptr;
  PendingNotice* pending = nullptr;
  std::uint32_t uses = 0;
  ShellNotificationRegistration* next = nullptr;
};

struct ShellNotifyAccess {
  static ShellNotificationRegistration*& registration(win32_shell_dir& dir) {
    return dir.registration_;
  }
  static ULONG& shell_id(win32_shell_dir& dir) { return dir.shellId_; }
};

namespace {

constexpr std::uint32_t Loc(std::uint32_t n) { return 0x2B06u << 16 | n; }
constexpr UINT kFirstMessage = 0x400;

// All shared state, under one critical section made at start-up.
struct State {
  State() { InitializeCriticalSection(&lock); }
  ~State() { DeleteCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  ShellNotificationRegistration* registrations = nullptr;
  UINT highest = 0;
  HWND window = nullptr;
  HANDLE thread = nullptr;
  ATOM windowClass = 0;
  bool dispatching = false;
} g_state;

class Locked {
 public:
  Locked() { EnterCriticalSection(&g_state.lock); }
  ~Locked() { LeaveCriticalSection(&g_state.lock); }
};

using LockFn = HANDLE(WINAPI*)(HANDLE, DWORD, PIDLIST_ABSOLUTE**, LONG*);
using UnlockFn = BOOL(WINAPI*)(HANDLE);

LockFn NotificationLock() { return ShellApi().ChangeNotificationLock; }
UnlockFn NotificationUnlock() { return ShellApi().ChangeNotificationUnlock; }

std::uint32_t ListSize(const void* list) { return ItemIdListSize(list); }

std::string ListBytes(const void* list) {
  return std::string(static_cast<const char*>(list), ListSize(list));
}

// The list without its last item.
std::string WithoutLastItem(const void* list) {
  const std::uint8_t* bytes = static_cast<const std::uint8_t*>(list);
  std::uint32_t at = 0, previous = 0;
  for (;;) {
    const std::uint16_t size = std::uint16_t(bytes[at] | bytes[at + 1] << 8);
    if (size == 0) break;
    previous = at;
    at += size;
  }
  return std::string(reinterpret_cast<const char*>(bytes), previous) + std::string(2, '\0');
}

bool SameList(const std::string& a, const std::string& b) {
  return ShellListsEqual(a.data(), b.data());
}

// Under the lock: one use less; the registration goes with its last use.
void ReleaseUse(ShellNotificationRegistration* registration) {
  if (--registration->uses != 0) return;
  ShellNotificationRegistration** link = &g_state.registrations;
  while (*link != nullptr && *link != registration) link = &(*link)->next;
  if (*link != nullptr) *link = registration->next;
  if (g_state.registrations == nullptr) {
    g_state.highest = 0;
  } else {
    ShellNotificationRegistration* last = g_state.registrations;
    while (last->next != nullptr) last = last->next;
    g_state.highest = last->message;
  }
  for (PendingNotice* notice = registration->pending; notice != nullptr;) {
    PendingNotice* next = notice->next;
    delete notice;
    notice = next;
  }
  registration->callback->release();
  delete registration;
}

// Under the lock: the callback's registration, or a new one at the lowest
// free message number.
ShellNotificationRegistration* FindOrAdd(ChangeWatchCallback* callback) {
  for (ShellNotificationRegistration* r = g_state.registrations; r != nullptr; r = r->next)
    if (r->callback == callback) return r;
  ShellNotificationRegistration* made = new (std::nothrow) ShellNotificationRegistration;
  if (made == nullptr) return nullptr;
  callback->add_ref();
  made->callback = callback;
  UINT number = kFirstMessage;
  ShellNotificationRegistration** link = &g_state.registrations;
  while (*link != nullptr && (*link)->message == number) {
    ++number;
    link = &(*link)->next;
  }
  made->message = number;
  made->next = *link;
  *link = made;
  if (made->next == nullptr) g_state.highest = number;
  return made;
}

void Deliver() {
  for (;;) {
    ShellNotificationRegistration* registration = nullptr;
    PendingNotice* notice = nullptr;
    for (ShellNotificationRegistration* r = g_state.registrations; r && !notice; r = r->next) {
      for (PendingNotice* p = r->pending; p != nullptr; p = p->next) {
        if (!p->delivered) {
          registration = r;
          notice = p;
          break;
        }
      }
    }
    if (notice == nullptr) return;
    notice->delivered = true;
    ++registration->uses;
    const std::string list = notice->list;
    LeaveCriticalSection(&g_state.lock);
    IShellFolder* folder = nullptr;
    IShellFolder* desktop = ShellDesktopFolder();
    if (list.size() == 2) {
      folder = desktop;
      folder->AddRef();
    } else if (FAILED(ShellBindFolder(desktop, reinterpret_cast<LPCITEMIDLIST>(list.data()),
                                      &folder))) {
      folder = nullptr;
    }
    if (folder == nullptr) {
      EnterCriticalSection(&g_state.lock);
      ReleaseUse(registration);
      continue;
    }
    {
      win32_shell_dir temporary(folder, list);
      folder->Release();
      ShellNotifyAccess::registration(temporary) = registration;  // holds the use taken above
      g_state.dispatching = true;
      registration->callback->invoke(&temporary);
      g_state.dispatching = false;
    }
    EnterCriticalSection(&g_state.lock);
  }
}

LRESULT CALLBACK ShellNotificationWndProc(HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam) {
  if (message < kFirstMessage) return DefWindowProcA(window, message, wParam, lParam);
  EnterCriticalSection(&g_state.lock);
  if (message > g_state.highest) {
    LeaveCriticalSection(&g_state.lock);
    return DefWindowProcA(window, message, wParam, lParam);
  }
  ShellNotificationRegistration* registration = g_state.registrations;
  while (registration != nullptr && registration->message != message)
    registration = registration->next;
  if (registration == nullptr) {
    LeaveCriticalSection(&g_state.lock);
    return 0;
  }
  PIDLIST_ABSOLUTE* lists = nullptr;
  LONG event = 0;
  HANDLE locked = nullptr;
  if (NotificationLock() != nullptr) {
    locked = NotificationLock()(reinterpret_cast<HANDLE>(wParam), DWORD(lParam), &lists, &event);
  } else {
    lists = reinterpret_cast<PIDLIST_ABSOLUTE*>(wParam);
    event = LONG(lParam);
  }
  std::string key;
  bool haveKey = false;
  if (lists != nullptr && lists[0] != nullptr) {
    switch (event & 0x7FFFFFFF) {
      case SHCNE_RENAMEITEM:
      case SHCNE_CREATE:
      case SHCNE_MKDIR:
      case SHCNE_RMDIR:
      case SHCNE_DRIVEADD:
      case SHCNE_UPDATEITEM:
      case SHCNE_DRIVEADDGUI:
      case SHCNE_RENAMEFOLDER:
        key = WithoutLastItem(lists[0]);
        haveKey = true;
        break;
      case SHCNE_DELETE:
      case SHCNE_MEDIAINSERTED:
      case SHCNE_MEDIAREMOVED:
      case SHCNE_DRIVEREMOVED:
      case SHCNE_UPDATEDIR:
        key = ListBytes(lists[0]);
        haveKey = true;
        break;
      default:
        break;
    }
  }
  if (locked != nullptr && NotificationUnlock() != nullptr) NotificationUnlock()(locked);
  if (haveKey) {
    PendingNotice** link = &registration->pending;
    bool known = false;
    for (; *link != nullptr; link = &(*link)->next) {
      if (SameList((*link)->list, key)) known = true;
    }
    if (!known) {
      PendingNotice* notice = new (std::nothrow) PendingNotice;
      if (notice != nullptr) {
        notice->list = key;
        *link = notice;
      }
    }
  }
  if (!g_state.dispatching) Deliver();
  LeaveCriticalSection(&g_state.lock);
  return 0;
}

unsigned __stdcall ShellNotificationThread(void* readyEvent) {
  if (g_state.windowClass == 0) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &ShellNotificationWndProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "ShellNotificationProxy";
    g_state.windowClass = RegisterClassExA(&windowClass);
    if (g_state.windowClass == 0) return 0;
  }
  HWND window = CreateWindowExA(0, "ShellNotificationProxy", nullptr, 0, 0, 0, 0, 0, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
  if (window == nullptr) return 0;
  g_state.window = window;
  SetEvent(static_cast<HANDLE>(readyEvent));
  MSG message;
  for (;;) {
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

// Under the lock: the hidden window, made on first use.
Common::Error EnsureWindow() {
  if (g_state.window != nullptr) return Common::Error();
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ready == nullptr) {
    return MakeApiError(Loc(1), kShellDirModuleId, "CreateEventW", kFileOpenError,
                        FileErrorText(kFileOpenError));
  }
  unsigned id = 0;
  const std::uintptr_t thread = gThreadStart(nullptr, 0, &ShellNotificationThread, ready, 0, &id);
  if (thread == 0) {
    CloseHandle(ready);
    return MakeFileError(Loc(2), kShellDirModuleId, kFileOpenError);
  }
  HANDLE both[2] = {ready, reinterpret_cast<HANDLE>(thread)};
  const DWORD which = WaitForMultipleObjects(2, both, FALSE, INFINITE);
  CloseHandle(ready);
  if (which != WAIT_OBJECT_0) {
    CloseHandle(both[1]);
    return MakeFileError(Loc(3), kShellDirModuleId, kFileOpenError);
  }
  g_state.thread = both[1];
  return Common::Error();
}

}  // namespace

void win32_shell_dir::watch(ChangeWatchCallback* callback) {
  if (registration_ != nullptr) {
    Locked hold;
    if (registration_->callback == callback) {
      clear_error();
      return;
    }
    ReleaseUse(registration_);
    registration_ = nullptr;
  }
  if (shellId_ != 0) {
    if (ShellApi().ChangeNotifyDeregister != nullptr)
      ShellApi().ChangeNotifyDeregister(shellId_);
    shellId_ = 0;
  }
  if (callback == nullptr) {
    clear_error();
    return;
  }
  {
    Locked hold;
    const Common::Error error = EnsureWindow();
    if (!error.IsNull()) {
      store_error(error);
      return;
    }
    registration_ = FindOrAdd(callback);
    if (registration_ == nullptr) {
      store_error(MakeFileError(Loc(4), kShellDirModuleId, kFileOutOfMemory));
      return;
    }
    ++registration_->uses;
  }
  SHChangeNotifyEntry entry;
  entry.pidl = reinterpret_cast<PCIDLIST_ABSOLUTE>(list_.data());
  entry.fRecursive = FALSE;
  int sources = SHCNRF_InterruptLevel | SHCNRF_ShellLevel;
  if (NotificationLock() != nullptr) sources |= SHCNRF_NewDelivery;
  const auto notifyRegister = ShellApi().ChangeNotifyRegister;
  shellId_ = notifyRegister == nullptr
                 ? 0
                 : notifyRegister(g_state.window, sources, SHCNE_ALLEVENTS,
                                  registration_->message, 1, &entry);
  if (shellId_ != 0) {
    clear_error();
    return;
  }
  Locked hold;
  ReleaseUse(registration_);
  registration_ = nullptr;
  store_error(MakeFileError(Loc(5), kShellDirModuleId, kFileOpenError));
}

void win32_shell_dir::rewatch() {
  if (registration_ == nullptr) return;
  Locked hold;
  for (PendingNotice** link = &registration_->pending; *link != nullptr;
       link = &(*link)->next) {
    if (!SameList((*link)->list, list_)) continue;
    if ((*link)->delivered) {
      PendingNotice* done = *link;
      *link = done->next;
      delete done;
    }
    return;
  }
}

std::uint32_t ShellNotificationRegistrationCount() {
  Locked hold;
  std::uint32_t n = 0;
  for (ShellNotificationRegistration* r = g_state.registrations; r != nullptr; r = r->next) ++n;
  return n;
}

std::uint32_t ShellNotificationMessage(ChangeWatchCallback* callback) {
  Locked hold;
  for (ShellNotificationRegistration* r = g_state.registrations; r != nullptr; r = r->next)
    if (r->callback == callback) return r->message;
  return 0;
}
