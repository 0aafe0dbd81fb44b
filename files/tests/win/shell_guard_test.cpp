// The guarded shell calls turn a fault inside a shell method into its
// exception code, and pass ordinary results through.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <cstdint>

#include "files/win/shell_guard.h"

namespace {

// A real access violation: a write to address 0 that the compiler cannot
// see coming.
volatile std::uintptr_t g_nowhere = 0;
bool g_raise = false;
// With g_raise a software exception, else a hardware fault.
void Fault() {
  if (g_raise) RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  *reinterpret_cast<volatile int*>(g_nowhere + 0) = 1;
}

// A folder whose methods fault (or answer plainly when `faults` is false),
// as a broken shell extension might.
class FaultingFolder : public IShellFolder {
 public:
  explicit FaultingFolder(bool faults) : faults_(faults) {}
  HRESULT Answer() {
    if (faults_) Fault();
    return S_FALSE;
  }
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return faults_ ? (Answer(), E_FAIL) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return Answer(), 1; }
  STDMETHODIMP ParseDisplayName(HWND, IBindCtx*, LPWSTR, ULONG*, LPITEMIDLIST*,
                                ULONG*) override {
    return Answer();
  }
  STDMETHODIMP EnumObjects(HWND, SHCONTF, IEnumIDList**) override { return Answer(); }
  STDMETHODIMP BindToObject(LPCITEMIDLIST, IBindCtx*, REFIID, void**) override {
    return Answer();
  }
  STDMETHODIMP BindToStorage(LPCITEMIDLIST, IBindCtx*, REFIID, void**) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP CompareIDs(LPARAM, LPCITEMIDLIST, LPCITEMIDLIST) override { return Answer(); }
  STDMETHODIMP CreateViewObject(HWND, REFIID, void**) override { return E_NOTIMPL; }
  STDMETHODIMP GetAttributesOf(UINT, LPCITEMIDLIST*, SFGAOF*) override { return Answer(); }
  STDMETHODIMP GetUIObjectOf(HWND, UINT, LPCITEMIDLIST*, REFIID, UINT*, void**) override {
    return Answer();
  }
  STDMETHODIMP GetDisplayNameOf(LPCITEMIDLIST, SHGDNF, STRRET*) override { return Answer(); }
  STDMETHODIMP SetNameOf(HWND, LPCITEMIDLIST, LPCOLESTR, SHGDNF, LPITEMIDLIST*) override {
    return E_NOTIMPL;
  }

 private:
  bool faults_;
};

class FaultingEnum : public IEnumIDList {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Next(ULONG, LPITEMIDLIST*, ULONG*) override {
    Fault();
    return S_OK;
  }
  STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
  STDMETHODIMP Reset() override { return E_NOTIMPL; }
  STDMETHODIMP Clone(IEnumIDList**) override { return E_NOTIMPL; }
};

TEST(ShellGuard, FaultsBecomeTheirExceptionCode) {
  // A raised exception comes back as its own code; a hardware fault as the
  // code the system reports for it (an access violation on Windows; Wine
  // here reports this write to address 0 as an illegal instruction), which
  // in either case is an error code.
  FaultingEnum probe;
  LPITEMIDLIST none = nullptr;
  ULONG count = 0;
  const HRESULT hardware = GuardedEnumNext(&probe, 1, &none, &count);
  EXPECT_GE(std::uint32_t(hardware), 0xC0000000u);
  for (int mode = 0; mode < 3; ++mode) {
    const bool faults = mode != 2;
    g_raise = mode == 1;
    const HRESULT kFault = g_raise ? HRESULT(EXCEPTION_ACCESS_VIOLATION) : hardware;
    SCOPED_TRACE(mode);
    FaultingFolder folder(faults);
    const HRESULT plain = faults ? kFault : S_FALSE;
    void* out = nullptr;
    IEnumIDList* list = nullptr;
    ITEMIDLIST empty{};
    LPCITEMIDLIST items[1] = {&empty};
    SFGAOF attributes = 0;
    STRRET name{};
    ULONG eaten = 0;
    LPITEMIDLIST parsed = nullptr;
    wchar_t text[] = L"x";
    EXPECT_EQ(GuardedQueryInterface(&folder, IID_IUnknown, &out),
              faults ? kFault : E_NOINTERFACE);
    EXPECT_EQ(GuardedRelease(&folder), faults ? kFault : S_OK);
    EXPECT_EQ(GuardedParseDisplayName(&folder, nullptr, nullptr, text, &eaten, &parsed, nullptr),
              plain);
    EXPECT_EQ(GuardedEnumObjects(&folder, nullptr, SHCONTF_FOLDERS, &list), plain);
    EXPECT_EQ(GuardedBindToObject(&folder, &empty, nullptr, IID_IShellFolder, &out), plain);
    EXPECT_EQ(GuardedCompareIDs(&folder, 0, &empty, &empty), plain);
    EXPECT_EQ(GuardedGetAttributesOf(&folder, 1, items, &attributes), plain);
    EXPECT_EQ(GuardedGetUIObjectOf(&folder, nullptr, 1, items, IID_IUnknown, nullptr, &out),
              plain);
    EXPECT_EQ(GuardedGetDisplayNameOf(&folder, &empty, SHGDN_NORMAL, &name), plain);
  }
  g_raise = false;
  // The thread's handler chain is intact afterwards: faults keep being
  // caught, and a C++ exception still travels through its own handlers.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(GuardedEnumNext(&probe, 1, &none, &count), hardware);
  bool caught = false;
  try {
    throw 5;
  } catch (int) {
    caught = true;
  }
  EXPECT_TRUE(caught);
}

}  // namespace
