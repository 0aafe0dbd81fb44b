// The shell functions the namespace binds (some by ordinal), the fallbacks
// it takes when the system lacks one, and the retry of a denied share
// listing. Wine has no network shares and its shell does not fail these
// calls, so the failures come from replaced entries of the shell table and
// from a folder object of the test's own.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "files/dir.h"
#include "files/file_error.h"
#include "files/win/helpers.h"
#include "files/win/shell_dir.h"
#include "nt_dir_test_support.h"

namespace {

using namespace ntdirtest;

// Restores the shell table after a test that replaces its entries.
class ShellTableScope {
 public:
  ShellTableScope() {
    GetShellRootDir();
    saved_ = ShellApi();
  }
  ~ShellTableScope() { ShellApi() = saved_; }

 private:
  ShellApiTable saved_;
};

TEST(ShellApi, TheOrdinalBindingsAreTheNamedFunctions) {
  ASSERT_NE(GetShellRootDir(), nullptr);
  HMODULE shell32 = GetModuleHandleA("shell32.dll");
  ASSERT_NE(shell32, nullptr);
  const ShellApiTable& api = ShellApi();
  struct Case {
    const void* bound;
    const char* name;
  } cases[] = {
      {reinterpret_cast<const void*>(api.IsEqual), "ILIsEqual"},
      {reinterpret_cast<const void*>(api.ChangeNotifyRegister), "SHChangeNotifyRegister"},
      {reinterpret_cast<const void*>(api.ChangeNotifyDeregister), "SHChangeNotifyDeregister"},
      {reinterpret_cast<const void*>(api.GetPathFromIDListW), "SHGetPathFromIDListW"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.bound, nullptr);
    EXPECT_EQ(c.bound, reinterpret_cast<const void*>(GetProcAddress(shell32, c.name)));
  }
  EXPECT_NE(api.shfolder, nullptr);
  EXPECT_NE(api.GetFolderPathW, nullptr);
}

BOOL WINAPI FailingPathFromList(PCIDLIST_ABSOLUTE, LPWSTR) { return FALSE; }

TEST(ShellApi, AFolderPathWithoutTheWideListToPathCall) {
  Scratch scratch(u"shell-ansi");
  CreateDirectoryW(W(scratch / u"inner"), nullptr);
  ShellTableScope restore;
  struct Case {
    BOOL(WINAPI* call)(PCIDLIST_ABSOLUTE, LPWSTR);
    bool hasPath;
  } cases[] = {{nullptr, true}, {&FailingPathFromList, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hasPath);
    ShellApi().GetPathFromIDListW = c.call;
    std::unique_ptr<i_dir> dir(GetShellRootDir()->open_dir((scratch / u"inner").c_str()));
    ASSERT_NE(dir, nullptr) << std::hex << GetShellRootDir()->error().Code();
    if (c.hasPath) {
      // Without the wide call the ANSI one gives the path.
      ASSERT_NE(dir->path(), nullptr);
      EXPECT_EQ(std::u16string(dir->path()), scratch / u"inner\\");
    } else {
      // A failing call leaves only the network form of the display name,
      // which a local folder does not have.
      EXPECT_EQ(dir->path(), nullptr);
    }
  }
}

HRESULT WINAPI FailingFolderPath(HWND, int, HANDLE, DWORD, LPWSTR) { return E_FAIL; }

// Sets an environment variable for the scope of a test.
class EnvironmentScope {
 public:
  EnvironmentScope(const wchar_t* name, const std::u16string& value) : name_(name) {
    wchar_t old[MAX_PATH] = {};
    had_ = GetEnvironmentVariableW(name, old, MAX_PATH) != 0;
    old_ = old;
    SetEnvironmentVariableW(name, W(value));
  }
  ~EnvironmentScope() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }

 private:
  const wchar_t* name_;
  std::wstring old_;
  bool had_;
};

TEST(ShellApi, TheAllUsersFolderStandsInForTheSharedApplicationData) {
  Scratch scratch(u"shell-allusers");
  CreateDirectoryW(W(scratch / u"profiles"), nullptr);
  ShellTableScope restore;
  ShellApi().GetFolderPathW = &FailingFolderPath;
  ShellApi().shfolder = GetModuleHandleW(nullptr);  // this program's string table
  const std::u16string expected = scratch / u"profiles\\All Users\\Shared Program Data";
  CreateDirectoryW(W(scratch / u"profiles\\All Users"), nullptr);

  // The profile's last name is replaced, with or without a final separator;
  // the folder is made when it is missing.
  for (const char16_t* profile : {u"profiles\\joe", u"profiles\\joe\\"}) {
    SCOPED_TRACE(std::string(profile, profile + 13));
    EnvironmentScope environment(L"USERPROFILE", scratch / profile);
    std::unique_ptr<i_dir> dir(GetShellRootDir()->open_special(kObjectCommonAppData));
    ASSERT_NE(dir, nullptr) << std::hex << GetShellRootDir()->error().Code();
    ASSERT_NE(dir->path(), nullptr);
    EXPECT_EQ(std::u16string(dir->path()), expected + u"\\");
    EXPECT_TRUE(Exists(expected));
  }

  // A user's own folders are not replaced by a shared one: the failure
  // stands and nothing is made.
  EnvironmentScope environment(L"USERPROFILE", scratch / u"profiles\\joe");
  RemoveDirectoryW(W(expected));
  for (std::uint32_t type : {kObjectAppData, kObjectLocalAppData, kObjectDesktop}) {
    SCOPED_TRACE(type);
    std::unique_ptr<i_dir> dir(GetShellRootDir()->open_special(type));
    EXPECT_EQ(dir, nullptr);
    EXPECT_FALSE(GetShellRootDir()->is_ok());
  }
  EXPECT_FALSE(Exists(expected));
}

TEST(ShellApi, TheAllUsersFallbackRefusesWhatItCannotName) {
  Scratch scratch(u"shell-allusers-bad");
  ShellTableScope restore;
  ShellApi().GetFolderPathW = &FailingFolderPath;
  struct Case {
    std::u16string profile;
    HMODULE strings;
  } cases[] = {
      {u"joe", GetModuleHandleW(nullptr)},                     // no separator
      {scratch / u"joe", nullptr},                              // no string table
      // The profiles' folder leaves no room for "All Users\", or none for
      // the folder name after it.
      {u"C:\\" + std::u16string(250, u'p') + u"\\joe", GetModuleHandleW(nullptr)},
      {u"C:\\" + std::u16string(240, u'p') + u"\\joe", GetModuleHandleW(nullptr)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile.size());
    ShellApi().shfolder = c.strings;
    EnvironmentScope environment(L"USERPROFILE", c.profile);
    std::unique_ptr<i_dir> dir(GetShellRootDir()->open_special(kObjectCommonAppData));
    EXPECT_EQ(dir, nullptr);
    EXPECT_EQ(GetShellRootDir()->error().Code(), kFileOpenError);
  }
}

// ---------------------------------------------------------------------------
// The denied share listing

// An enumeration with no items.
class EmptyEnumeration final : public IEnumIDList {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IEnumIDList) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG, LPITEMIDLIST*, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumIDList**) override { return E_NOTIMPL; }

 private:
  ULONG references_ = 1;
};

// A folder whose first listings are denied.
class DeniedFolder final : public IShellFolder {
 public:
  explicit DeniedFolder(int denials) : denials_(denials) {}
  int enumerations = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IShellFolder) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }
  HRESULT STDMETHODCALLTYPE ParseDisplayName(HWND, IBindCtx*, LPWSTR, ULONG*, LPITEMIDLIST*,
                                             ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE EnumObjects(HWND, SHCONTF, IEnumIDList** out) override {
    ++enumerations;
    *out = nullptr;
    if (denials_ > 0) {
      --denials_;
      return E_ACCESSDENIED;
    }
    *out = new EmptyEnumeration;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE BindToObject(LPCITEMIDLIST, IBindCtx*, REFIID, void**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE BindToStorage(LPCITEMIDLIST, IBindCtx*, REFIID, void**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CompareIDs(LPARAM, LPCITEMIDLIST, LPCITEMIDLIST) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateViewObject(HWND, REFIID, void**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetAttributesOf(UINT, LPCITEMIDLIST*, SFGAOF*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetUIObjectOf(HWND, UINT, LPCITEMIDLIST*, REFIID, UINT*,
                                          void**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDisplayNameOf(LPCITEMIDLIST, SHGDNF, STRRET*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetNameOf(HWND, LPCITEMIDLIST, LPCWSTR, SHGDNF,
                                      LPITEMIDLIST*) override {
    return E_NOTIMPL;
  }

 private:
  int denials_;
  ULONG references_ = 1;
};

// A shell directory over the fake folder, standing at a given path.
class PlacedShellDir : public win32_shell_dir {
 public:
  PlacedShellDir(IShellFolder* folder, std::u16string path)
      : win32_shell_dir(folder, std::string(2, '\0')), path_(std::move(path)) {
    path_.push_back(u'\0');
  }
  const char16_t* path() override { return path_.c_str(); }

 private:
  std::u16string path_;
};

// Gives a per-thread value back as the test found it (other tests of this
// process read the thread's values too).
class ThreadValueScope {
 public:
  explicit ThreadValueScope(ThreadLocalValue& value) : value_(value), old_(value.Get()) {}
  ~ThreadValueScope() {
    if (old_ != 0)
      value_.Set(old_);
    else
      value_.Clear();
  }

 private:
  ThreadLocalValue& value_;
  std::uint32_t old_;
};

std::vector<std::pair<i_dir*, std::u16string>> g_asked;
bool g_answer = false;

bool RecordDenial(i_dir* dir, const char16_t* text) {
  g_asked.emplace_back(dir, text != nullptr ? text : u"(null)");
  return g_answer;
}

TEST(ShellApi, ADeniedShareListingIsTriedAgainWhenTheThreadsCallbackSaysSo) {
  ASSERT_NE(GetShellRootDir(), nullptr);
  ThreadValueScope keepCallback(ShareDeniedCallback), keepWindow(UiOwnerWindow);
  struct Case {
    const char16_t* path;
    bool callback;
    bool answer;
    bool window;
    int enumerations;
    std::size_t asked;
    bool listed;
  } cases[] = {
      {u"\\\\srv\\share\\", true, true, false, 2, 1, true},
      {u"\\\\srv\\", true, true, false, 2, 1, true},
      {u"\\\\srv\\share\\", true, false, false, 1, 1, false},
      {u"\\\\srv\\share\\sub\\", true, true, false, 1, 0, false},
      {u"C:\\dir\\", true, true, false, 1, 0, false},
      {u"\\\\srv\\share\\", false, true, false, 1, 0, false},
      {u"\\\\srv\\share\\", true, true, true, 1, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases));
    DeniedFolder folder(1);
    PlacedShellDir dir(&folder, c.path);
    g_asked.clear();
    g_answer = c.answer;
    if (c.callback)
      ShareDeniedCallback.Set(std::uint32_t(reinterpret_cast<std::uintptr_t>(&RecordDenial)));
    if (c.window) UiOwnerWindow.Set(0x1234);
    std::unique_ptr<i_dir::iterator> listing(dir.list());
    ShareDeniedCallback.Clear();
    UiOwnerWindow.Clear();
    EXPECT_EQ(folder.enumerations, c.enumerations);
    ASSERT_EQ(g_asked.size(), c.asked);
    if (c.asked != 0) {
      EXPECT_EQ(g_asked[0].first, &dir);
      EXPECT_EQ(g_asked[0].second, u"");
    }
    if (c.listed) {
      ASSERT_NE(listing, nullptr);
      EXPECT_TRUE(dir.is_ok());
      EXPECT_EQ(listing->error().Code(), kFileEndOfFile);
    } else {
      EXPECT_EQ(listing, nullptr);
      EXPECT_EQ(dir.error().Code(), kFileAccessDenied) << std::hex << dir.error().Code();
    }
  }
}

}  // namespace
