// The guarded shell calls. The guard is a structured-exception frame of our
// own, pushed on the thread's handler chain around the one call: a fault
// that no handler inside the call takes reaches it, and control comes back
// to the guard with the exception code.
#include "files/win/shell_guard.h"

#include <windows.h>

namespace {

#if defined(__i386__)

struct GuardFrame {
  GuardFrame* previous;
  void* handler;
  void* jump[5];  // __builtin_setjmp's buffer
  volatile DWORD code;
};

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                           void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  GuardFrame* guard = static_cast<GuardFrame*>(frame);
  guard->code = record->ExceptionCode;
  __builtin_longjmp(guard->jump, 1);
}

template <typename Call>
__attribute__((noinline)) HRESULT Guarded(Call call) {
  GuardFrame guard;
  guard.handler = reinterpret_cast<void*>(&GuardHandler);
  guard.code = 0;
  GuardFrame* previous;
  asm volatile("movl %%fs:0, %0" : "=r"(previous));
  guard.previous = previous;
  volatile HRESULT result = E_FAIL;
  asm volatile("movl %0, %%fs:0" : : "r"(&guard) : "memory");
  if (__builtin_setjmp(guard.jump) == 0) {
    result = call();
  } else {
    result = HRESULT(guard.code);
  }
  // Whatever the dispatcher left on the chain lies below this frame and is
  // gone with it.
  asm volatile("movl %0, %%fs:0" : : "r"(previous) : "memory");
  return result;
}

#else

template <typename Call>
HRESULT Guarded(Call call) {
  return call();
}

#endif

}  // namespace

HRESULT GuardedQueryInterface(IUnknown* object, REFIID iid, void** out) {
  return Guarded([&] { return object->QueryInterface(iid, out); });
}

HRESULT GuardedRelease(IUnknown* object) {
  return Guarded([&] {
    object->Release();
    return S_OK;
  });
}

HRESULT GuardedParseDisplayName(IShellFolder* folder, HWND owner, IBindCtx* context,
                                LPWSTR name, ULONG* eaten, LPITEMIDLIST* list,
                                ULONG* attributes) {
  return Guarded(
      [&] { return folder->ParseDisplayName(owner, context, name, eaten, list, attributes); });
}

HRESULT GuardedEnumObjects(IShellFolder* folder, HWND owner, SHCONTF flags, IEnumIDList** out) {
  return Guarded([&] { return folder->EnumObjects(owner, flags, out); });
}

HRESULT GuardedBindToObject(IShellFolder* folder, LPCITEMIDLIST list, IBindCtx* context,
                            REFIID iid, void** out) {
  return Guarded([&] { return folder->BindToObject(list, context, iid, out); });
}

HRESULT GuardedCompareIDs(IShellFolder* folder, LPARAM how, LPCITEMIDLIST a, LPCITEMIDLIST b) {
  return Guarded([&] { return folder->CompareIDs(how, a, b); });
}

HRESULT GuardedGetAttributesOf(IShellFolder* folder, UINT count, LPCITEMIDLIST* lists,
                               SFGAOF* attributes) {
  return Guarded([&] { return folder->GetAttributesOf(count, lists, attributes); });
}

HRESULT GuardedGetUIObjectOf(IShellFolder* folder, HWND owner, UINT count,
                             LPCITEMIDLIST* lists, REFIID iid, UINT* reserved, void** out) {
  return Guarded([&] { return folder->GetUIObjectOf(owner, count, lists, iid, reserved, out); });
}

HRESULT GuardedGetDisplayNameOf(IShellFolder* folder, LPCITEMIDLIST list, SHGDNF flags,
                                STRRET* name) {
  return Guarded([&] { return folder->GetDisplayNameOf(list, flags, name); });
}

HRESULT GuardedEnumNext(IEnumIDList* list, ULONG count, LPITEMIDLIST* items, ULONG* fetched) {
  return Guarded([&] { return list->Next(count, items, fetched); });
}
