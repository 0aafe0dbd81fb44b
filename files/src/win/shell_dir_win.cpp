// The shell-namespace directory and its cursors.
#include "files/win/shell_dir.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "files/control.h"
#include "files/file_error.h"
#include "files/file_time.h"
#include "files/win/helpers.h"
#include "files/win/shell_guard.h"
#include "files/win/win_dir.h"

namespace {

constexpr std::uint32_t Loc(std::uint32_t n) { return 0x2B05u << 16 | n; }

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }
LPWSTR Wm(char16_t* s) { return reinterpret_cast<LPWSTR>(s); }
const char16_t* U(const wchar_t* s) { return reinterpret_cast<const char16_t*>(s); }

Common::Error Plain(std::uint32_t location, std::uint32_t code) {
  return MakeFileError(location, kShellDirModuleId, code);
}

Common::Error Hresult(std::uint32_t location, HRESULT hr, std::uint32_t code) {
  return MakeHresultError(location, kShellDirModuleId, std::uint32_t(hr), code,
                          FileErrorText(code));
}

// The shell's allocator and desktop folder, obtained once.
IMalloc* g_malloc = nullptr;
IShellFolder* g_desktop = nullptr;
win32_shell_dir* g_root = nullptr;
bool g_comInitialized = false;

LPITEMIDLIST CopyList(const void* list) {
  const std::uint32_t size = ItemIdListSize(list);
  if (g_malloc == nullptr) return nullptr;
  void* copy = g_malloc->Alloc(size);
  if (copy != nullptr) std::memcpy(copy, list, size);
  return static_cast<LPITEMIDLIST>(copy);
}

void FreeList(void* list) {
  if (list != nullptr && g_malloc != nullptr) g_malloc->Free(list);
}

std::string ListBytes(const void* list) {
  return std::string(static_cast<const char*>(list), ItemIdListSize(list));
}

// `a` without its terminator, then `b` with its own.
std::string Join(const std::string& a, const void* b) {
  std::string out = a.substr(0, a.size() >= 2 ? a.size() - 2 : 0);
  out += ListBytes(b);
  return out;
}

LPCITEMIDLIST AsList(const std::string& bytes) {
  return reinterpret_cast<LPCITEMIDLIST>(bytes.data());
}

std::u16string FromAnsi(const char* text) {
  wchar_t wide[MAX_PATH] = {};
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, MAX_PATH) <= 0) return u"";
  wide[MAX_PATH - 1] = 0;
  return U(wide);
}
std::u16string FromAnsi(const wchar_t* text) { return U(text); }

std::u16string StrRetToWide(STRRET& value, LPCITEMIDLIST item) {
  std::u16string out;
  switch (value.uType) {
    case STRRET_WSTR:
      if (value.pOleStr != nullptr) {
        out = U(value.pOleStr);
        FreeList(value.pOleStr);
      }
      break;
    case STRRET_OFFSET:
    case STRRET_CSTR: {
      const char* text = value.uType == STRRET_CSTR
                             ? value.cStr
                             : reinterpret_cast<const char*>(item) + value.uOffset;
      wchar_t wide[260];
      const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 260);
      if (n > 0) out = U(wide);
      break;
    }
    default:
      break;
  }
  return out;
}

}  // namespace

HRESULT ShellBindFolder(IShellFolder* parent, LPCITEMIDLIST list, IShellFolder** out) {
  *out = nullptr;
  HRESULT hr = GuardedBindToObject(parent, list, nullptr, IID_IShellFolder,
                                   reinterpret_cast<void**>(out));
  if (hr == CO_E_NOTINITIALIZED || hr == E_NOINTERFACE) {
    const HRESULT init = CoInitialize(nullptr);
    hr = GuardedBindToObject(parent, list, nullptr, IID_IShellFolder,
                             reinterpret_cast<void**>(out));
    if (SUCCEEDED(init)) CoUninitialize();
  }
  return hr;
}

IShellFolder* ShellDesktopFolder() { return g_desktop; }

namespace {

HRESULT BindFolder(IShellFolder* parent, LPCITEMIDLIST list, IShellFolder** out) {
  return ShellBindFolder(parent, list, out);
}

const the_identifier* AsIdentifier(const file_identifier* id) {
  return dynamic_cast<const the_identifier*>(id);
}

// The empty list.
const std::uint8_t kEmptyList[2] = {0, 0};

// Releases the root and the shell objects at exit.
struct ShellRootRelease {
  ~ShellRootRelease() {
    delete g_root;
    g_root = nullptr;
    if (g_desktop != nullptr) g_desktop->Release();
    if (g_malloc != nullptr) g_malloc->Release();
    g_desktop = nullptr;
    g_malloc = nullptr;
    if (g_comInitialized) CoUninitialize();
    g_comInitialized = false;
  }
} g_rootRelease;

}  // namespace

std::uint32_t ItemIdListSize(const void* list) noexcept {
  const std::uint8_t* at = static_cast<const std::uint8_t*>(list);
  std::uint32_t total = 0;
  for (;;) {
    const std::uint16_t size = std::uint16_t(at[total] | at[total + 1] << 8);
    if (size == 0) return total + 2;
    total += size;
  }
}

win32_shell_dir* GetShellRootDir() {
  if (g_root != nullptr) return g_root;
  HANDLE token = nullptr;
  const bool impersonating =
      OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_DUPLICATE,
                      TRUE, &token) != FALSE;
  if (impersonating) RevertToSelf();
  BindShellApi();
  if (!g_comInitialized && SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
    g_comInitialized = true;
  if (g_malloc == nullptr) SHGetMalloc(&g_malloc);
  if (g_desktop == nullptr) SHGetDesktopFolder(&g_desktop);
  if (g_malloc != nullptr && g_desktop != nullptr) {
    g_root = new (std::nothrow)
        win32_shell_dir(g_desktop, std::string(reinterpret_cast<const char*>(kEmptyList), 2));
  }
  if (impersonating) {
    if (!SetThreadToken(nullptr, token)) ExitThread(0);
    CloseHandle(token);
  }
  return g_root;
}

// ---------------------------------------------------------------------------
// The directory

win32_shell_dir::win32_shell_dir(IShellFolder* folder, std::string list)
    : folder_(folder), list_(std::move(list)) {
  BindShellApi();
  folder_->AddRef();
}

win32_shell_dir::~win32_shell_dir() {
  if (registration_ != nullptr || shellId_ != 0) watch(nullptr);
  GuardedRelease(folder_);
}

i_file* win32_shell_dir::open_file_by_id(const file_identifier*, bool) {
  store_error(Plain(Loc(1), kFileNotSupported));
  return nullptr;
}
i_file* win32_shell_dir::open_file_at(i_dir::iterator*, bool) {
  store_error(Plain(Loc(2), kFileNotSupported));
  return nullptr;
}
i_file* win32_shell_dir::open_file(const char16_t*, bool) {
  store_error(Plain(Loc(3), kFileNotSupported));
  return nullptr;
}

i_dir* win32_shell_dir::open_dir_by_id(const file_identifier* id) {
  const the_identifier* the = AsIdentifier(id);
  if (the == nullptr || the->bytes() == nullptr) {
    store_error(Plain(Loc(4), kFileOpenError));
    return nullptr;
  }
  const void* relative = the->bytes();
  if (ItemIdListSize(relative) == 2) {
    win32_shell_dir* same = new (std::nothrow) win32_shell_dir(folder_, list_);
    store_error(same ? Common::Error() : Plain(Loc(5), kFileOutOfMemory));
    return same;
  }
  IShellFolder* sub = nullptr;
  const HRESULT hr = BindFolder(folder_, reinterpret_cast<LPCITEMIDLIST>(relative), &sub);
  if (FAILED(hr) || sub == nullptr) {
    store_error(Hresult(Loc(6), hr, kFileOpenError));
    return nullptr;
  }
  win32_shell_dir* dir = new (std::nothrow) win32_shell_dir(sub, Join(list_, relative));
  sub->Release();
  store_error(dir ? Common::Error() : Plain(Loc(7), kFileOutOfMemory));
  return dir;
}

i_dir* win32_shell_dir::open_dir_at(i_dir::iterator* at) {
  iterator* it = dynamic_cast<iterator*>(at);
  if (it == nullptr || it->has_failed() || it->item() == nullptr) {
    store_error(Plain(Loc(8), kFileOpenError));
    return nullptr;
  }
  the_identifier id(u"", it->item(), ItemIdListSize(it->item()));
  return open_dir_by_id(&id);
}

win32_shell_dir* win32_shell_dir::parse_to_directory(IShellFolder* parseFolder,
                                                     const char16_t* name, bool relative) {
  std::u16string text(name);
  ULONG eaten = 0;
  LPITEMIDLIST parsed = nullptr;
  HRESULT hr = GuardedParseDisplayName(parseFolder, GetUiOwnerWindow(), nullptr,
                                       Wm(&text[0]), &eaten, &parsed, nullptr);
  if (FAILED(hr) || parsed == nullptr) {
    store_error(MakeHresultErrorWithPath(Loc(10), kShellDirModuleId, std::uint32_t(hr),
                                         "ParseDisplayName", name, kFileOpenError,
                                         FileErrorText(kFileOpenError)));
    return nullptr;
  }
  IShellFolder* sub = nullptr;
  hr = BindFolder(parseFolder, parsed, &sub);
  if (FAILED(hr) || sub == nullptr) {
    FreeList(parsed);
    store_error(Hresult(Loc(11), hr, kFileOpenError));
    return nullptr;
  }
  std::string list = relative ? Join(list_, parsed) : ListBytes(parsed);
  FreeList(parsed);
  win32_shell_dir* dir = new (std::nothrow) win32_shell_dir(sub, std::move(list));
  sub->Release();
  store_error(dir ? Common::Error() : Plain(Loc(12), kFileOutOfMemory));
  return dir;
}

IShellFolder* win32_shell_dir::split_last_item(const std::string& list, std::string& parent,
                                               std::string& last) {
  // Offsets of the items.
  std::uint32_t at = 0, previous = 0, items = 0;
  const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(list.data());
  for (;;) {
    const std::uint16_t size = std::uint16_t(bytes[at] | bytes[at + 1] << 8);
    if (size == 0) break;
    previous = at;
    at += size;
    ++items;
  }
  if (items == 0) {
    parent = list;
    last.clear();
  } else {
    parent = list.substr(0, previous) + std::string(2, '\0');
    last = list.substr(previous, at - previous) + std::string(2, '\0');
  }
  if (items <= 1) {
    g_desktop->AddRef();
    return g_desktop;
  }
  IShellFolder* folder = nullptr;
  const HRESULT hr = BindFolder(g_desktop, AsList(parent), &folder);
  if (FAILED(hr) || folder == nullptr) {
    store_error(Hresult(Loc(13), hr, kFileOpenError));
    return nullptr;
  }
  return folder;
}

win32_shell_dir* win32_shell_dir::open_parent_of(const std::string& list) {
  std::string parent, last;
  IShellFolder* folder = split_last_item(list, parent, last);
  if (folder == nullptr) return nullptr;
  win32_shell_dir* dir = new (std::nothrow) win32_shell_dir(folder, parent);
  folder->Release();
  if (dir == nullptr) store_error(Plain(Loc(14), kFileOutOfMemory));
  return dir;
}

i_dir* win32_shell_dir::open_dir(const char16_t* path) {
  if (path == nullptr) {
    store_error(Plain(Loc(15), kFileOpenError));
    return nullptr;
  }
  const std::u16string name(path);
  const bool desktop = list_.size() == 2;
  i_dir* result = nullptr;
  if (name == u"." || (name == u".." && desktop)) {
    result = new (std::nothrow) win32_shell_dir(folder_, list_);
  } else if (name == u"..") {
    result = open_parent_of(list_);
  } else if (this->path() != nullptr) {
    std::unique_ptr<i_dir> windows(open_self());
    if (!windows) return nullptr;
    std::unique_ptr<i_dir> target(windows->open_dir(path));
    if (!target) {
      store_error(windows->error());
      return nullptr;
    }
    const char16_t* full = target->path();
    const std::u16string targetPath = full != nullptr ? full : u"";
    if (windows->relation(target.get()) == 1) {
      std::u16string inside = targetPath.substr(std::u16string(windows->path()).size());
      if (!inside.empty() && inside.back() == u'\\') inside.pop_back();
      result = parse_to_directory(folder_, inside.c_str(), true);
    } else {
      result = parse_to_directory(g_desktop, targetPath.c_str(), false);
    }
  } else {
    result = parse_to_directory(g_desktop, path, false);
  }
  if (result == nullptr) {
    if (is_ok()) store_error(Plain(Loc(16), kFileOutOfMemory));
    return nullptr;
  }
  clear_error();
  return result;
}

i_dir* win32_shell_dir::open_parent(const char16_t** path) {
  if (path == nullptr || *path == nullptr) {
    store_error(Plain(Loc(17), kFileOpenError));
    return nullptr;
  }
  const char16_t* text = *path;
  const char16_t* last = nullptr;
  for (const char16_t* p = text; *p; ++p) {
    if (*p == u'/' || *p == u':' || *p == u'\\') last = p;
  }
  if (last == nullptr) return open_dir(u".");
  const std::u16string parent(text, std::size_t(last - text) + 1);
  i_dir* dir = open_dir(parent.c_str());
  if (dir != nullptr) *path = last + 1;
  return dir;
}

i_dir* win32_shell_dir::open_self() {
  const char16_t* own = path();
  if (own == nullptr) return nullptr;
  win32_dir* root = GetRootDir();
  i_dir* dir = root->open_dir(own);
  store_error(root->error());
  return dir;
}

i_dir* win32_shell_dir::special_folder_path(int csidl) {
  const auto getFolderPath = ShellApi().GetFolderPathW;
  if (getFolderPath == nullptr) {
    store_error(Plain(Loc(18), kFileNotSupported));
    return nullptr;
  }
  wchar_t buffer[MAX_PATH] = {};
  const HRESULT hr =
      getFolderPath(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, buffer);
  if (SUCCEEDED(hr)) return open_dir(U(buffer));
  // The all-users application data can be named without the system's help;
  // a user's own folders cannot, and another folder in their place would
  // put the user's files where every user finds them.
  if (csidl != CSIDL_COMMON_APPDATA) {
    store_error(Hresult(Loc(19), hr, kFileOpenError));
    return nullptr;
  }
  std::u16string path;
  const Common::Error error = AllUsersFolderPath(path);
  if (!error.IsNull()) {
    store_error(error);
    return nullptr;
  }
  i_dir* dir = open_dir(path.c_str());
  if (dir != nullptr) return dir;
  CreateDirectoryW(W(path.c_str()), nullptr);
  return open_dir(path.c_str());
}

i_dir* win32_shell_dir::open_special(std::uint32_t type) {
  switch (type) {
    case kObjectComputer:
      return parse_to_directory(g_desktop, u"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}", false);
    case 139: {
      win32_shell_dir* places =
          parse_to_directory(g_desktop, u"::{F02C1A0D-BE21-4350-88B0-7367FC96EF3C}", false);
      if (places != nullptr) return places;
      return parse_to_directory(g_desktop, u"::{208D2C60-3AEA-1069-A2D7-08002B30309D}", false);
    }
    case 147:
      return parse_to_directory(g_desktop, u"::{450D8FBA-AD25-11D0-98A8-0800361B1103}", false);
    case kObjectCommonAppData:
      return special_folder_path(CSIDL_COMMON_APPDATA);
    case kObjectAppData:
      return special_folder_path(CSIDL_APPDATA);
    case kObjectLocalAppData:
      return special_folder_path(CSIDL_LOCAL_APPDATA);
    case kObjectDesktop:
      return special_folder_path(CSIDL_DESKTOPDIRECTORY);
    default:
      store_error(Plain(Loc(20), kFileNotSupported));
      return nullptr;
  }
}

i_dir::iterator* win32_shell_dir::find_by_id(const file_identifier* id) {
  const the_identifier* the = AsIdentifier(id);
  if (the == nullptr || the->bytes() == nullptr) {
    store_error(Plain(Loc(21), kFileOpenError));
    return nullptr;
  }
  iterator* it = new (std::nothrow) iterator(folder_, the->bytes(), true);
  if (it == nullptr) store_error(Plain(Loc(22), kFileOutOfMemory));
  return it;
}

i_dir::iterator* win32_shell_dir::find(const char16_t* name) {
  std::u16string text(name != nullptr ? name : u"");
  ULONG eaten = 0;
  LPITEMIDLIST parsed = nullptr;
  const HRESULT hr = GuardedParseDisplayName(folder_, GetUiOwnerWindow(), nullptr,
                                             Wm(&text[0]), &eaten, &parsed, nullptr);
  if (FAILED(hr) || parsed == nullptr) {
    store_error(MakeHresultErrorWithPath(Loc(23), kShellDirModuleId, std::uint32_t(hr),
                                         "ParseDisplayName", text.c_str(), kFileOpenError,
                                         FileErrorText(kFileOpenError)));
    return nullptr;
  }
  iterator* it = new (std::nothrow) iterator(folder_, parsed, false);
  FreeList(parsed);
  if (it == nullptr) store_error(Plain(Loc(24), kFileOutOfMemory));
  return it;
}

i_dir::iterator* win32_shell_dir::list() {
  normal_iterator* it = new (std::nothrow) normal_iterator(*this);
  if (it == nullptr) {
    store_error(Plain(Loc(25), kFileOutOfMemory));
    return nullptr;
  }
  const std::uint32_t code = it->error().Code();
  if (code == 0 || code == kFileEndOfFile) {
    clear_error();
    return it;
  }
  store_error(it->error());
  delete it;
  return nullptr;
}

i_dir::iterator* win32_shell_dir::find_self() {
  iterator* it = nullptr;
  if (list_.size() == 2) {
    it = new (std::nothrow) iterator(g_desktop, kEmptyList, false);
  } else {
    std::string parent, last;
    IShellFolder* folder = split_last_item(list_, parent, last);
    if (folder == nullptr) return nullptr;
    it = new (std::nothrow) iterator(folder, last.data(), false);
    folder->Release();
  }
  if (it == nullptr) store_error(Plain(Loc(26), kFileOutOfMemory));
  return it;
}

const char16_t* win32_shell_dir::path() {
  if (!pathAsked_) {
    pathAsked_ = true;
    std::u16string found;
    IShellLinkW* link = nullptr;
    IShellLinkA* narrowLink = nullptr;
    if (SUCCEEDED(GuardedQueryInterface(folder_, IID_IShellLinkW,
                                        reinterpret_cast<void**>(&link))) &&
        link != nullptr) {
      wchar_t buffer[MAX_PATH] = {};
      if (SUCCEEDED(link->GetPath(buffer, MAX_PATH, nullptr, 0))) found = U(buffer);
      GuardedRelease(link);
    } else if (SUCCEEDED(GuardedQueryInterface(folder_, IID_IShellLinkA,
                                               reinterpret_cast<void**>(&narrowLink))) &&
               narrowLink != nullptr) {
      char buffer[MAX_PATH] = {};
      if (SUCCEEDED(narrowLink->GetPath(buffer, MAX_PATH, nullptr, 0))) found = FromAnsi(buffer);
      GuardedRelease(narrowLink);
    }
    if (found.empty()) {
      if (ShellApi().GetPathFromIDListW != nullptr) {
        wchar_t buffer[MAX_PATH] = {};
        if (ShellApi().GetPathFromIDListW(AsList(list_), buffer)) found = U(buffer);
      } else {
        char buffer[MAX_PATH] = {};
        if (SHGetPathFromIDListA(AsList(list_), buffer)) found = FromAnsi(buffer);
      }
    }
    if (found.empty() && list_.size() > 2) {
      std::string parent, last;
      IShellFolder* folder = split_last_item(list_, parent, last);
      if (folder != nullptr) {
        STRRET name{};
        if (SUCCEEDED(GuardedGetDisplayNameOf(folder, AsList(last), SHGDN_FORPARSING, &name))) {
          const std::u16string text = StrRetToWide(name, AsList(last));
          if (text.size() > 2 && text[0] == u'\\' && text[1] == u'\\') found = text;
        }
        folder->Release();
        clear_error();
      }
    }
    if (!found.empty() && found.back() != u'\\') found += u'\\';
    const bool network = found.size() > 2 && found[0] == u'\\' && found[1] == u'\\';
    const bool drive = found.size() > 2 && found[1] == u':' && found[2] == u'\\';
    if (!network && !drive) found.clear();
    path_ = found;
    if (!path_.empty()) path_.push_back(u'\0');  // the extra NUL
  }
  return path_.empty() ? nullptr : path_.c_str();
}

int win32_shell_dir::relation(i_dir* other) {
  if (other == nullptr) return 2;
  const void* theirs = other->item_id_list(nullptr, false);
  if (theirs == nullptr) return 2;
  const std::string other_list = ListBytes(theirs);
  const std::uint8_t* a = reinterpret_cast<const std::uint8_t*>(list_.data());
  const std::uint8_t* b = reinterpret_cast<const std::uint8_t*>(other_list.data());
  std::uint32_t at = 0, bt = 0;
  for (;;) {
    const std::uint16_t as = std::uint16_t(a[at] | a[at + 1] << 8);
    const std::uint16_t bs = std::uint16_t(b[bt] | b[bt + 1] << 8);
    if (bs == 0) return (as == 0 && ShellListsEqual(list_.data(), other_list.data())) ? 0 : 2;
    if (as == 0) {
      const std::string cut = other_list.substr(0, bt) + std::string(2, '\0');
      return ShellListsEqual(list_.data(), cut.data()) ? 1 : 2;
    }
    at += as;
    bt += bs;
  }
}

int win32_shell_dir::compare_ids(const file_identifier* a, const file_identifier* b) {
  const the_identifier* x = AsIdentifier(a);
  const the_identifier* y = AsIdentifier(b);
  if (x == nullptr || y == nullptr || x->bytes() == nullptr || y->bytes() == nullptr) return 0;
  const HRESULT hr = GuardedCompareIDs(folder_, 0, reinterpret_cast<LPCITEMIDLIST>(x->bytes()),
                                       reinterpret_cast<LPCITEMIDLIST>(y->bytes()));
  return short(HRESULT_CODE(hr));
}

std::uint32_t win32_shell_dir::object_type() {
  std::unique_ptr<i_dir> self(open_self());
  if (!self) return kObjectUnknown;
  return self->object_type();
}

void win32_shell_dir::disk_space(std::uint64_t& total, std::uint64_t& free,
                                 std::uint64_t& available) {
  total = free = available = 0;
  std::unique_ptr<i_dir> self(open_self());
  if (!self) return;
  self->disk_space(total, free, available);
  store_error(self->error());
}

namespace {

// A shortcut object loaded from its file, or null.
template <class Link>
Link* LoadLink(REFIID iid, const std::u16string& file) {
  Link* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, iid,
                              reinterpret_cast<void**>(&link))) ||
      link == nullptr)
    return nullptr;
  IPersistFile* persist = nullptr;
  bool loaded = false;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
      persist != nullptr) {
    loaded = SUCCEEDED(persist->Load(W(file.c_str()), STGM_READ));
    persist->Release();
  }
  if (!loaded) {
    link->Release();
    return nullptr;
  }
  return link;
}

// The target list of a shortcut (shell-allocated), or null: its own list,
// or with bit 0 of `flags` the resolved target's path as the desktop parses
// it, else the list the resolution left.
template <class Char, class Link>
LPITEMIDLIST LinkTarget(Link* link, std::uint32_t flags) {
  LPITEMIDLIST target = nullptr;
  if (!(flags & 1)) {
    link->GetIDList(&target);
    return target;
  }
  if (FAILED(link->Resolve(GetUiOwnerWindow(), 0))) return nullptr;
  Char buffer[MAX_PATH] = {};
  if (SUCCEEDED(link->GetPath(buffer, MAX_PATH, nullptr, 0)) && buffer[0] != 0) {
    std::u16string path = FromAnsi(buffer);
    ULONG eaten = 0;
    if (!path.empty())
      GuardedParseDisplayName(g_desktop, nullptr, nullptr, Wm(&path[0]), &eaten, &target,
                              nullptr);
  }
  if (target == nullptr) link->GetIDList(&target);
  return target;
}

}  // namespace

dir_entry_pair win32_shell_dir::follow_link(const file_identifier* id, std::uint32_t flags) {
  const the_identifier* the = AsIdentifier(id);
  if (the != nullptr && the->bytes() != nullptr) {
    LPCITEMIDLIST item = reinterpret_cast<LPCITEMIDLIST>(the->bytes());
    SFGAOF attributes = SFGAO_LINK;
    if (SUCCEEDED(GuardedGetAttributesOf(folder_, 1, &item, &attributes)) &&
        (attributes & SFGAO_LINK)) {
      IShellLinkW* link = nullptr;
      UINT reserved = 0;
      if (FAILED(GuardedGetUIObjectOf(folder_, GetUiOwnerWindow(), 1, &item, IID_IShellLinkW,
                                      &reserved, reinterpret_cast<void**>(&link))))
        link = nullptr;
      LPITEMIDLIST target = nullptr;
      if (link != nullptr) {
        target = LinkTarget<wchar_t>(link, flags);
        GuardedRelease(link);
      } else {
        // A shortcut the folder does not hand out is loaded from its file,
        // by the wide interface, else by the ANSI one.
        STRRET name{};
        if (SUCCEEDED(GuardedGetDisplayNameOf(folder_, item, SHGDN_FORPARSING, &name))) {
          const std::u16string file = StrRetToWide(name, item);
          if (IShellLinkW* wide = LoadLink<IShellLinkW>(IID_IShellLinkW, file)) {
            target = LinkTarget<wchar_t>(wide, flags);
            GuardedRelease(wide);
          } else if (IShellLinkA* narrow = LoadLink<IShellLinkA>(IID_IShellLinkA, file)) {
            target = LinkTarget<char>(narrow, flags);
            GuardedRelease(narrow);
          }
        }
      }
      if (target != nullptr) {
        const std::string list = ListBytes(target);
        FreeList(target);
        win32_shell_dir* parent = open_parent_of(list);
        if (parent == nullptr) return {nullptr, nullptr};
        std::string parentList, last;
        IShellFolder* folder = split_last_item(list, parentList, last);
        if (folder != nullptr) folder->Release();
        the_identifier* first =
            new (std::nothrow) the_identifier(u"", last.data(), std::uint32_t(last.size()));
        if (first == nullptr) {
          delete parent;
          store_error(Plain(Loc(30), kFileOutOfMemory));
          return {nullptr, nullptr};
        }
        clear_error();
        return {parent, first};
      }
    }
  }
  return i_dir::follow_link(id, flags);
}

const void* win32_shell_dir::item_id_list(const file_identifier* id, bool relative) {
  const the_identifier* the = AsIdentifier(id);
  if (id == nullptr) return relative ? nullptr : list_.data();
  if (the == nullptr || the->bytes() == nullptr) return nullptr;
  if (relative) return the->bytes();
  scratch_ = Join(list_, the->bytes());
  return scratch_.data();
}

dir_entry_pair win32_shell_dir::open_item_id_list(const void* list) {
  if (list == nullptr) {
    store_error(Plain(Loc(31), kFileOpenError));
    return {nullptr, nullptr};
  }
  const std::string bytes = ListBytes(list);
  win32_shell_dir* parent = open_parent_of(bytes);
  if (parent == nullptr) return {nullptr, nullptr};
  // The list's first item, as the identifier in that parent.
  const std::uint16_t first = std::uint16_t(std::uint8_t(bytes[0]) | std::uint8_t(bytes[1]) << 8);
  std::string item = bytes.substr(0, first) + std::string(2, '\0');
  the_identifier* id =
      new (std::nothrow) the_identifier(u"", item.data(), std::uint32_t(item.size()));
  if (id == nullptr) {
    delete parent;
    store_error(Plain(Loc(32), kFileOutOfMemory));
    return {nullptr, nullptr};
  }
  return {parent, id};
}

void win32_shell_dir::control(control_request* request) {
  if (request->code == kControlGSYP) {
    static_cast<path_request*>(request)->path = path();
    clear_error();
    return;
  }
  if (request->code == kControlSPWD) {
    path_request* connect = static_cast<path_request*>(request);
    std::unique_ptr<i_dir> target(open_self());
    if (!target) {
      if (connect->path == nullptr) return;
      target.reset(GetRootDir()->open_dir(u"."));
      if (!target) return;
    }
    target->control(request);
    store_error(target->error());
    return;
  }
  store_error(Plain(Loc(33), kFileNotSupported));
}

the_identifier* win32_shell_dir::identifier_from_item_id_list(const void* list, bool as_is) {
  const std::string bytes = as_is ? ListBytes(list) : Join(list_, list);
  return new (std::nothrow) the_identifier(u"", bytes.data(), std::uint32_t(bytes.size()));
}

// ---------------------------------------------------------------------------
// Cursors

win32_shell_dir::iterator::iterator(IShellFolder* parent) : parent_(parent) { parent_->AddRef(); }

win32_shell_dir::iterator::iterator(IShellFolder* parent, const void* relative, bool validate)
    : iterator(parent) {
  set_item(CopyList(relative));
  if (item_ == nullptr) {
    store_error(Plain(Loc(40), kFileOutOfMemory));
    return;
  }
  if (!validate) return;
  LPCITEMIDLIST items[1] = {item_};
  SFGAOF flags = SFGAO_LINK | SFGAO_HIDDEN | SFGAO_BROWSABLE | SFGAO_FILESYSANCESTOR |
                 SFGAO_FOLDER | SFGAO_FILESYSTEM;
  HRESULT hr = GuardedGetAttributesOf(parent_, 1, items, &flags);
  if (FAILED(hr)) {
    store_error(Hresult(Loc(41), hr, kFileOpenError));
    return;
  }
  const std::uint32_t type = object_type();
  if (type != 130 && type != 132 && type != 133 && type != kObjectUnknown) {
    flags = 0x79090000;
    hr = GuardedGetAttributesOf(parent_, 1, items, &flags);
    if (FAILED(hr)) store_error(Hresult(Loc(42), hr, kFileOpenError));
  }
}

win32_shell_dir::iterator::~iterator() {
  FreeList(item_);
  GuardedRelease(parent_);
}

void win32_shell_dir::iterator::set_item(LPITEMIDLIST item) {
  FreeList(item_);
  item_ = item;
  type_ = 0xFFFFFFFFu;
  nameRead_ = displayRead_ = false;
  name_.clear();
  display_.clear();
  children_ = -1;
  findAsked_ = findHave_ = false;
  flags_ = 0;
  if (item_ == nullptr) return;
  LPCITEMIDLIST items[1] = {item_};
  SFGAOF flags = SFGAO_LINK | SFGAO_HIDDEN | SFGAO_BROWSABLE | SFGAO_FILESYSANCESTOR |
                 SFGAO_FOLDER | SFGAO_FILESYSTEM;
  if (SUCCEEDED(GuardedGetAttributesOf(parent_, 1, items, &flags))) flags_ = flags;
}

void win32_shell_dir::iterator::next() { store_first_error(Plain(Loc(43), kFileNotSupported)); }

file_identifier* win32_shell_dir::iterator::id() {
  if (!ready()) return nullptr;
  return new (std::nothrow) the_identifier(u"", item_, ItemIdListSize(item_));
}

std::u16string win32_shell_dir::iterator::display(SHGDNF flags) {
  STRRET value{};
  if (FAILED(GuardedGetDisplayNameOf(parent_, item_, flags, &value))) return u"";
  return StrRetToWide(value, item_);
}

const char16_t* win32_shell_dir::iterator::name() {
  if (!ready()) return nullptr;
  if (!nameRead_) {
    name_ = display(SHGDN_INFOLDER | SHGDN_FORPARSING);
    nameRead_ = true;
  }
  return name_.c_str();
}

const char16_t* win32_shell_dir::iterator::display_name() {
  if (!ready()) return nullptr;
  if (!displayRead_) {
    display_ = display(SHGDN_INFOLDER);
    displayRead_ = true;
  }
  return display_.c_str();
}

bool win32_shell_dir::iterator::find_data() {
  if (!ready()) return false;
  if (findAsked_) return findHave_;
  findAsked_ = true;
  IShellFolder2* folder2 = nullptr;
  if (FAILED(GuardedQueryInterface(parent_, IID_IShellFolder2,
                                   reinterpret_cast<void**>(&folder2))) ||
      folder2 == nullptr)
    return false;
  const SHCOLUMNID findData = {{0x28636AA6, 0x953D, 0x11D2,
                                {0xB5, 0xD6, 0x00, 0xC0, 0x4F, 0xD9, 0x18, 0xD0}}, 0};
  VARIANT value;
  VariantInit(&value);
  if (SUCCEEDED(folder2->GetDetailsEx(item_, &findData, &value)) &&
      SUCCEEDED(VariantChangeType(&value, &value, 0, VT_ARRAY | VT_UI1)) &&
      value.parray != nullptr) {
    void* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(value.parray, &data))) {
      if (value.parray->rgsabound[0].cElements >= sizeof find_) {
        std::memcpy(&find_, data, sizeof find_);
        findHave_ = true;
      }
      SafeArrayUnaccessData(value.parray);
    }
  }
  VariantClear(&value);
  if (findHave_) {
    const SHCOLUMNID storageSize = {{0xB725F130, 0x47EF, 0x101A,
                                     {0xA5, 0xF1, 0x02, 0x60, 0x8C, 0x9E, 0xEB, 0xAC}}, 12};
    VariantInit(&value);
    if (SUCCEEDED(folder2->GetDetailsEx(item_, &storageSize, &value)) &&
        SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BSTR)) && value.bstrVal != nullptr) {
      wchar_t* end = nullptr;
      const unsigned long long size = wcstoull(value.bstrVal, &end, 10);
      if (size != 0 && end != nullptr && *end == 0) {
        find_.nFileSizeHigh = DWORD(size >> 32);
        find_.nFileSizeLow = DWORD(size);
      }
    }
    VariantClear(&value);
  }
  GuardedRelease(folder2);
  return findHave_;
}

std::uint64_t win32_shell_dir::iterator::size() {
  if (!find_data()) return 0;
  return std::uint64_t(find_.nFileSizeHigh) << 32 | find_.nFileSizeLow;
}

namespace {
std::uint64_t Ms(const FILETIME& t) {
  return FileTimeToMs(std::uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime);
}
}  // namespace

std::uint64_t win32_shell_dir::iterator::write_time() {
  return find_data() ? Ms(find_.ftLastWriteTime) : 0;
}
std::uint64_t win32_shell_dir::iterator::creation_time() {
  return find_data() ? Ms(find_.ftCreationTime) : 0;
}
std::uint64_t win32_shell_dir::iterator::access_time() {
  return find_data() ? Ms(find_.ftLastAccessTime) : 0;
}
std::uint32_t win32_shell_dir::iterator::attributes() {
  return find_data() ? find_.dwFileAttributes : 0;
}

bool win32_shell_dir::iterator::is_hidden() { return ready() && (flags_ & SFGAO_HIDDEN); }

int win32_shell_dir::iterator::children_hint() {
  if (!ready() || object_type() == 0) return 0;
  if (children_ < 0) {
    LPCITEMIDLIST items[1] = {item_};
    SFGAOF flags = SFGAO_HASSUBFOLDER;
    children_ = SUCCEEDED(GuardedGetAttributesOf(parent_, 1, items, &flags)) &&
                        (flags & SFGAO_HASSUBFOLDER)
                    ? 2
                    : 1;
  }
  return children_;
}

std::uint32_t win32_shell_dir::iterator::object_type() {
  if (!ready()) return 0;
  if (type_ != 0xFFFFFFFFu) return type_;
  const bool link = flags_ & SFGAO_LINK;
  if (!(flags_ & SFGAO_FOLDER) ||
      ((flags_ & SFGAO_BROWSABLE) && !(flags_ & SFGAO_FILESYSANCESTOR) && !link)) {
    type_ = link ? 6 : 0;
    return type_;
  }
  const std::u16string parsing = display(SHGDN_FORPARSING);
  auto same = [&](const char16_t* pattern) {
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, W(parsing.c_str()), -1,
                          W(pattern), -1) == CSTR_EQUAL;
  };
  if (parsing.size() == 3 && parsing[1] == u':' && parsing[2] == u'\\') {
    char root[4] = {char(parsing[0]), ':', '\\', 0};
    type_ = DriveTypeToObjectType(GetDriveTypeA(root));
    if (GetDriveTypeA(root) == DRIVE_REMOVABLE) {
      char device[3] = {char(parsing[0]), ':', 0};
      char target[MAX_PATH] = {};
      if (QueryDosDeviceA(device, target, MAX_PATH) &&
          CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, target, 14, "\\Device\\Floppy",
                         14) == CSTR_EQUAL)
        type_ = 129;
    }
  } else if (parsing.size() >= 2 && parsing[0] == u'\\' && parsing[1] == u'\\') {
    int more = 0;
    for (std::size_t i = 2; i < parsing.size(); ++i) more += parsing[i] == u'\\';
    type_ = more == 0 ? 141 : more == 1 ? 142 : 128;
  } else if (same(u"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}")) {
    type_ = 138;
  } else if (same(u"::{208D2C60-3AEA-1069-A2D7-08002B30309D}") ||
             same(u"::{F02C1A0D-BE21-4350-88B0-7367FC96EF3C}")) {
    type_ = 139;
  } else if (same(u"::{450D8FBA-AD25-11D0-98A8-0800361B1103}")) {
    type_ = 147;
  } else {
    type_ = 128;
  }
  return type_;
}

namespace {

// \\server\ or \\server\share\ (a directory path with its final '\').
bool IsServerOrShareRoot(const char16_t* path) {
  if (path == nullptr || path[0] != u'\\' || path[1] != u'\\' || path[2] == 0 ||
      path[2] == u'\\')
    return false;
  int separators = 0;
  const char16_t* p = path + 2;
  for (; *p; ++p) separators += *p == u'\\';
  return separators >= 1 && separators <= 2 && p[-1] == u'\\';
}

}  // namespace

win32_shell_dir::normal_iterator::normal_iterator(win32_shell_dir& dir)
    : iterator(static_cast<IShellFolder*>(dir.shell_folder())) {
  IShellFolder* folder = static_cast<IShellFolder*>(dir.shell_folder());
  HRESULT hr = GuardedEnumObjects(folder, GetUiOwnerWindow(), 224, &enum_);
  if (hr == CO_E_NOTINITIALIZED) {
    const HRESULT init = CoInitialize(nullptr);
    hr = GuardedEnumObjects(folder, GetUiOwnerWindow(), 224, &enum_);
    if (SUCCEEDED(init)) CoUninitialize();
  }
  // Listing a server or a share may be denied until it is connected: the
  // thread's callback may connect it (no window can ask the user here).
  if (hr == E_ACCESSDENIED && GetUiOwnerWindow() == nullptr) {
    const auto callback = reinterpret_cast<ShareDeniedFunction>(
        static_cast<std::uintptr_t>(ShareDeniedCallback.Get()));
    if (callback != nullptr && IsServerOrShareRoot(dir.path()) && callback(&dir, u""))
      hr = GuardedEnumObjects(folder, GetUiOwnerWindow(), 224, &enum_);
  }
  if (FAILED(hr) || enum_ == nullptr) {
    enum_ = nullptr;
    store_error(Hresult(Loc(50), hr, kFileOpenError));
    return;
  }
  next();
}

win32_shell_dir::normal_iterator::~normal_iterator() {
  if (enum_ != nullptr) GuardedRelease(enum_);
}

void win32_shell_dir::normal_iterator::next() {
  if (!is_ok() || enum_ == nullptr) return;
  for (;;) {
    LPITEMIDLIST item = nullptr;
    ULONG fetched = 0;
    const HRESULT hr = GuardedEnumNext(enum_, 1, &item, &fetched);
    if (hr == S_FALSE || (SUCCEEDED(hr) && fetched == 0)) {
      set_item(nullptr);
      store_error(Hresult(Loc(51), hr, kFileEndOfFile));
      return;
    }
    if (FAILED(hr)) {
      set_item(nullptr);
      store_error(Hresult(Loc(52), hr, kFileReadError));
      return;
    }
    LPCITEMIDLIST items[1] = {item};
    SFGAOF flags = SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR;
    if (SUCCEEDED(GuardedGetAttributesOf(parent(), 1, items, &flags)) &&
        (flags & (SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR))) {
      set_item(item);
      return;
    }
    FreeList(item);
  }
}
