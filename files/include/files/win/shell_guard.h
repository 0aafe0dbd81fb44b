// Calls of shell COM methods inside a structured-exception guard: a shell
// extension that faults inside one of them gives its exception code back as
// the call's HRESULT instead of ending the process.
//
// Windows-only header: it includes <windows.h> and <shlobj.h>.
#pragma once

#include <windows.h>
#include <shlobj.h>

HRESULT GuardedQueryInterface(IUnknown* object, REFIID iid, void** out);
HRESULT GuardedRelease(IUnknown* object);
HRESULT GuardedParseDisplayName(IShellFolder* folder, HWND owner, IBindCtx* context,
                                LPWSTR name, ULONG* eaten, LPITEMIDLIST* list,
                                ULONG* attributes);
HRESULT GuardedEnumObjects(IShellFolder* folder, HWND owner, SHCONTF flags,
                           IEnumIDList** out);
HRESULT GuardedBindToObject(IShellFolder* folder, LPCITEMIDLIST list, IBindCtx* context,
                            REFIID iid, void** out);
HRESULT GuardedCompareIDs(IShellFolder* folder, LPARAM how, LPCITEMIDLIST a,
                          LPCITEMIDLIST b);
HRESULT GuardedGetAttributesOf(IShellFolder* folder, UINT count, LPCITEMIDLIST* lists,
                               SFGAOF* attributes);
HRESULT GuardedGetUIObjectOf(IShellFolder* folder, HWND owner, UINT count,
                             LPCITEMIDLIST* lists, REFIID iid, UINT* reserved, void** out);
HRESULT GuardedGetDisplayNameOf(IShellFolder* folder, LPCITEMIDLIST list, SHGDNF flags,
                                STRRET* name);
HRESULT GuardedEnumNext(IEnumIDList* list, ULONG count, LPITEMIDLIST* items, ULONG* fetched);
