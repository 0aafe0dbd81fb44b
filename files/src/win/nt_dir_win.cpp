// The NT directory: path forms, the error builder for failed path calls and
// the operations on entries. Enumeration and links are in nt_enum_win.cpp.
#include "files/win/nt_dir.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/path.h"
#include "files/reparse_data.h"
#include "files/win/helpers.h"
#include "files/win/nt_volume.h"

namespace {

constexpr std::uint32_t kModuleId = kNtDirModuleId;
// Location ids: this file's own range, one per call site.
constexpr std::uint32_t kSite = 0x2201;
constexpr std::uint32_t Loc(std::uint32_t n) { return kSite << 16 | n; }

#ifndef FSCTL_SET_REPARSE_POINT
#define FSCTL_SET_REPARSE_POINT 0x000900A4
#endif

LPCWSTR W(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }
LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

Common::Error Plain(std::uint32_t location, std::uint32_t code) noexcept {
  return MakeFileError(location, kModuleId, code);
}

Common::Error CallFailed(std::uint32_t location, const char* function, const std::u16string& path,
                         std::uint32_t defaultCode) noexcept {
  return MakeFileApiError(location, kModuleId, function, path.c_str(), defaultCode,
                          FileErrorText(defaultCode));
}

// Optional entry points, looked up once (a missing one is remembered too).
template <typename Fn>
struct LazyProc {
  const char* module;
  const char* name;
  bool bound = false;
  Fn fn = nullptr;
  Fn get() noexcept {
    if (!bound) {
      if (HMODULE m = GetModuleHandleA(module)) {
        fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
      }
      bound = true;
    }
    return fn;
  }
};

using CreateHardLinkWFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES);
LazyProc<CreateHardLinkWFn> gCreateHardLinkW{"kernel32.dll", "CreateHardLinkW"};

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                        PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                        ULONG, PVOID, ULONG);
using NtSetInformationFileFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using NtCloseFn = NTSTATUS(NTAPI*)(HANDLE);
LazyProc<NtCreateFileFn> gNtCreateFile{"ntdll.dll", "NtCreateFile"};
LazyProc<NtSetInformationFileFn> gNtSetInformationFile{"ntdll.dll", "NtSetInformationFile"};
LazyProc<NtCloseFn> gNtClose{"ntdll.dll", "NtClose"};

// The caller's security attributes for one call: acquired once the name has
// resolved, released exactly once after the call or the failure that ends it.
class ProvidedAttributes {
 public:
  explicit ProvidedAttributes(const SecurityAttributesProvider* provider) noexcept
      : provider_(provider) {}
  ProvidedAttributes(const ProvidedAttributes&) = delete;
  ProvidedAttributes& operator=(const ProvidedAttributes&) = delete;
  ~ProvidedAttributes() {
    if (attributes_ != nullptr && provider_->release != nullptr) provider_->release(attributes_);
  }

  // 0 when usable (or no provider); else the check's refusal, or -1 when
  // acquire gave nothing. A refusal releases the attributes at once.
  int acquire() noexcept {
    if (provider_ == nullptr) return 0;
    attributes_ = provider_->acquire != nullptr ? provider_->acquire(provider_) : nullptr;
    if (attributes_ == nullptr) return -1;
    const int refusal = provider_->check != nullptr ? provider_->check(attributes_) : 0;
    if (refusal != 0) {
      if (provider_->release != nullptr) provider_->release(attributes_);
      attributes_ = nullptr;
    }
    return refusal;
  }

  SECURITY_ATTRIBUTES* get() const noexcept {
    return static_cast<SECURITY_ATTRIBUTES*>(attributes_);
  }

 private:
  const SecurityAttributesProvider* provider_;
  void* attributes_ = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------
// Errors and path forms

Common::Error MakeFileApiError(std::uint32_t locationId, std::uint32_t moduleId,
                               const char* function, const char16_t* path,
                               std::uint32_t defaultCode, const char16_t* defaultText) noexcept {
  const std::uint32_t win32 = GetLastError();
  std::uint32_t code = defaultCode;
  const char16_t* text = defaultText;
  Win32ErrorToFileError(win32, code, text);
  Common::Error error = Common::Error::FromRecord(Common::NewSiteFunctionFileRecordWide(
      locationId, moduleId, code, text, function, path));
  Common::AttachWin32Cause(error, win32);
  return error;
}

bool IsUncNtPath(const std::u16string& path) noexcept {
  return path.compare(0, 8, u"\\\\?\\UNC\\") == 0;
}

bool IsShareRootNtPath(const std::u16string& path) noexcept {
  if (!IsUncNtPath(path)) return false;
  const std::size_t server = path.find(u'\\', 8);
  return server != std::u16string::npos && path.find(u'\\', server + 1) == std::u16string::npos;
}

bool ToNtLongPath(const std::u16string& canonical, std::u16string& out) {
  if (canonical.empty()) return false;
  std::u16string r(canonical, 0, canonical.size() - 1);
  if (r.empty() || r[0] != u'\\') {
    r.insert(0, u"\\\\?\\");
  } else if (!(r.size() >= 3 && r[2] == u'?')) {
    r.insert(1, u"\\?\\UNC");  // \\server\share -> \\?\UNC\server\share
  }
  out = std::move(r);
  return true;
}

winnt_dir::winnt_dir(const std::u16string& resolvedPath) : win32_dir(resolvedPath) {}

win32_dir* NewWinNtRootDir() { return new (std::nothrow) winnt_dir(); }

bool winnt_dir::nt_path(const char16_t* name, bool allow_streams, std::u16string& out) {
  std::u16string resolved;
  if (name == nullptr || !resolve_path(resolved, name, allow_streams)) return false;
  return ToNtLongPath(resolved, out);
}

bool winnt_dir::nt_dir_path(std::u16string& out) {
  if (!nt_path(u"x", false, out)) return false;
  out.pop_back();
  return true;
}

// ---------------------------------------------------------------------------
// Operations on entries

HANDLE winnt_dir::create_handle(const char16_t* name, const SecurityAttributesProvider* provider,
                                DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  const bool creating = disposition == CREATE_ALWAYS;
  std::u16string path;
  if (!nt_path(name, true, path)) {
    store_error(Plain(Loc(1), creating ? kFileCreateError : kFileOpenError));
    return nullptr;
  }
  ProvidedAttributes attributes(provider);
  if (const int refusal = attributes.acquire()) {
    store_error(Plain(Loc(2), refusal == -1 ? kFileOutOfMemory : kFileAccessDenied));
    return nullptr;
  }
  NtCallScope scope(path);
  HANDLE handle = CreateFileW(W(path), access, share, attributes.get(), disposition, flags, nullptr);
  if (handle != INVALID_HANDLE_VALUE) return handle;
  if (!creating) {
    store_error(CallFailed(Loc(3), "OpenFileW", path, kFileOpenError));
  } else if (flags & FILE_FLAG_NO_BUFFERING) {
    store_error(CallFailed(Loc(4), "CreateFileNoCacheW", path, kFileCreateError));
  } else {
    store_error(CallFailed(Loc(5), "CreateFileW", path, kFileCreateError));
  }
  return nullptr;
}

HANDLE winnt_dir::change_handle() {
  std::u16string path;
  if (!nt_dir_path(path)) {
    store_error(Plain(Loc(6), kFileOpenError));
    return nullptr;
  }
  NtCallScope scope(path);
  HANDLE handle = FindFirstChangeNotificationW(W(path), FALSE, 0x1B);
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr) return handle;
  store_error(CallFailed(Loc(7), "FindFirstChangeNotificationW", path, kFileOpenError));
  return nullptr;
}

void winnt_dir::delete_file(const char16_t* name) {
  std::u16string path;
  if (!nt_path(name, false, path)) return store_error(Plain(Loc(8), kFileDeleteError));
  NtCallScope scope(path);
  if (DeleteFileW(W(path))) return clear_error();
  store_error(CallFailed(Loc(9), "DeleteFileW", path, kFileDeleteError));
}

void winnt_dir::move(const char16_t* from, const char16_t* to) {
  std::u16string source, destination;
  if (!nt_path(from, false, source) || !nt_path(to, false, destination)) {
    Common::Error error = Plain(Loc(10), kFileRenameError);
    Common::AttachWin32Cause(error, ERROR_INVALID_NAME);
    return store_error(error);
  }
  // An impersonated move between a local and a network path would run half
  // in one security context and half in another.
  if (ImpersonationToken.Get() != 0 && IsUncNtPath(source) != IsUncNtPath(destination)) {
    return store_error(Plain(Loc(11), kFileAccessDenied));
  }
  NtCallScope scope(source);
  if (MoveFileW(W(source), W(destination))) return clear_error();
  store_error(CallFailed(Loc(12), "MoveFileW", source, kFileRenameError));
}

bool CreateHardLinkNt(const std::u16string& newLinkObjectName, const std::u16string& existingNtPath) {
  NtCreateFileFn ntCreateFile = gNtCreateFile.get();
  NtSetInformationFileFn ntSetInformationFile = gNtSetInformationFile.get();
  NtCloseFn ntClose = gNtClose.get();
  if (ntCreateFile == nullptr || ntSetInformationFile == nullptr || ntClose == nullptr) return false;

  NtObjectPath existing(existingNtPath.c_str());
  if (!existing.valid()) return false;
  // FILE_LINK_INFORMATION: ReplaceIfExists, RootDirectory, FileNameLength,
  // then the name; the byte count must fit the 32-bit length field.
  const std::size_t units = newLinkObjectName.size();
  if (units > 32767) return false;
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK status{};
  NTSTATUS rc = ntCreateFile(&handle, SYNCHRONIZE, existing.attributes(), &status, nullptr, 0, 0,
                             1 /* FILE_OPEN */, 0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */, nullptr, 0);
  if (rc < 0) return false;

  struct LinkInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];
  };
  const std::size_t size = offsetof(LinkInformation, fileName) + 2 * (units + 1);
  std::vector<std::uint8_t> block(std::max(size, sizeof(LinkInformation)), 0);
  auto* info = reinterpret_cast<LinkInformation*>(block.data());
  info->replaceIfExists = FALSE;
  info->rootDirectory = nullptr;
  info->fileNameLength = static_cast<ULONG>(2 * units);
  std::copy(newLinkObjectName.begin(), newLinkObjectName.end(),
            reinterpret_cast<char16_t*>(info->fileName));
  rc = ntSetInformationFile(handle, &status, info, static_cast<ULONG>(block.size()),
                            11 /* FileLinkInformation */);
  ntClose(handle);
  return rc >= 0;
}

namespace nt_dir_detail {
bool (*gForceNtHardLinkRoute)() = nullptr;
}

void winnt_dir::create_hard_link(const char16_t* new_name, const char16_t* existing_name) {
  std::u16string link, existing;
  if (!nt_path(new_name, false, link) || !nt_path(existing_name, false, existing)) {
    return store_error(Plain(Loc(13), kFileCreateError));
  }
  CreateHardLinkWFn createHardLink = gCreateHardLinkW.get();
  if (nt_dir_detail::gForceNtHardLinkRoute != nullptr && nt_dir_detail::gForceNtHardLinkRoute()) {
    createHardLink = nullptr;
  }
  if (createHardLink != nullptr) {
    NtCallScope scope(link);
    if (createHardLink(W(link), W(existing), nullptr)) return clear_error();
    return store_error(CallFailed(Loc(14), "CreateHardLinkW", link, kFileCreateError));
  }
  // Systems without CreateHardLinkW: the native route, in object-manager
  // form (\\?\C:\a -> \??\C:\a).
  std::u16string objectName = link;
  objectName[1] = u'?';
  if (CreateHardLinkNt(objectName, existing)) return clear_error();
  store_error(Plain(Loc(15), kFileCreateError));
}

// ---------------------------------------------------------------------------
// Junctions

namespace nt_dir_detail {

BOOL JunctionCalls::CreateDirectory(LPCWSTR path) { return ::CreateDirectoryW(path, nullptr); }

HANDLE JunctionCalls::OpenDirectory(LPCWSTR path) {
  return ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

BOOL JunctionCalls::SetReparsePoint(HANDLE handle, const void* data, DWORD size) {
  DWORD returned = 0;
  return ::DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, const_cast<void*>(data), size, nullptr,
                           0, &returned, nullptr);
}

BOOL JunctionCalls::RemoveDirectory(LPCWSTR path) { return ::RemoveDirectoryW(path); }

Common::Error MakeJunction(JunctionCalls& calls, const std::u16string& junction,
                           const std::vector<std::uint8_t>& data) {
  NtCallScope scope(junction);
  // Whether this call made the directory: a failure below removes only a
  // directory that did not exist before, never one the caller already had.
  bool created = true;
  if (!calls.CreateDirectory(W(junction))) {
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      return CallFailed(Loc(16), "CreateDirectoryW", junction, kFileCreateError);
    }
    created = false;
  }
  HANDLE handle = calls.OpenDirectory(W(junction));
  if (handle == INVALID_HANDLE_VALUE) {
    Common::Error error = CallFailed(Loc(17), "OpenDirectoryW", junction, kFileCreateError);
    if (created) calls.RemoveDirectory(W(junction));
    return error;
  }
  if (calls.SetReparsePoint(handle, data.data(), static_cast<DWORD>(data.size()))) {
    CloseHandle(handle);
    return Common::NoError;
  }
  Common::Error error = CallFailed(Loc(18), "FSCTL_SET_REPARSE_POINT", junction, kFileCreateError);
  CloseHandle(handle);
  if (created) calls.RemoveDirectory(W(junction));
  return error;
}

}  // namespace nt_dir_detail

void winnt_dir::create_junction(const char16_t* name, const char16_t* target, std::uint32_t,
                                std::uint32_t) {
  std::u16string junction, substitute, print;
  if (!nt_path(name, false, junction) || !nt_path(target, false, substitute) ||
      target == nullptr || !ResolvePath(path_text(), print, target, false)) {
    return store_error(Plain(Loc(19), kFileCreateError));
  }
  std::vector<std::uint8_t> data;
  if (const std::uint32_t code = BuildMountPointData(substitute, print, data)) {
    return store_error(Plain(Loc(20), code));  // too long: refused before anything is made
  }
  nt_dir_detail::JunctionCalls calls;
  store_error(nt_dir_detail::MakeJunction(calls, junction, data));
}

void winnt_dir::create_dir(const char16_t* name, const SecurityAttributesProvider* provider) {
  std::u16string path;
  if (!nt_path(name, false, path)) return store_error(Plain(Loc(21), kFileCreateError));
  ProvidedAttributes attributes(provider);
  if (const int refusal = attributes.acquire()) {
    if (refusal == -1) return store_error(Plain(Loc(22), kFileOutOfMemory));
    SetLastError(static_cast<DWORD>(refusal));
    return store_error(MakeApiError(Loc(23), kModuleId, "GetSecurityAttributes", kFileAccessDenied,
                                    FileErrorText(kFileAccessDenied)));
  }
  NtCallScope scope(path);
  if (CreateDirectoryW(W(path), attributes.get())) return clear_error();
  store_error(CallFailed(Loc(24), "CreateDirectoryW", path, kFileCreateError));
}

void winnt_dir::remove_dir(const char16_t* name) {
  std::u16string path;
  if (!nt_path(name, false, path)) return store_error(Plain(Loc(25), kFileDeleteError));
  NtCallScope scope(path);
  if (RemoveDirectoryW(W(path))) return clear_error();
  store_error(CallFailed(Loc(26), "RemoveDirectoryW", path, kFileDeleteError));
}

void winnt_dir::set_security(const char16_t* name, const SecurityAttributesProvider* provider) {
  std::u16string path;
  if (!nt_path(name, false, path)) return store_error(Plain(Loc(27), kFileCreateError));
  ProvidedAttributes attributes(provider);
  if (const int refusal = attributes.acquire()) {
    if (refusal == -1) return store_error(Plain(Loc(28), kFileOutOfMemory));
    SetLastError(static_cast<DWORD>(refusal));
    return store_error(MakeApiError(Loc(29), kModuleId, "GetSecurityAttributes", kFileAccessDenied,
                                    FileErrorText(kFileAccessDenied)));
  }
  PSECURITY_DESCRIPTOR descriptor =
      attributes.get() != nullptr ? attributes.get()->lpSecurityDescriptor : nullptr;
  NtCallScope scope(path);
  if (SetFileSecurityW(W(path), DACL_SECURITY_INFORMATION, descriptor)) return clear_error();
  store_error(CallFailed(Loc(30), "SetFileSecurityW", path, kFileWriteError));
}

void winnt_dir::set_attributes(const char16_t* name, std::uint32_t attributes) {
  std::u16string path;
  if (!nt_path(name, false, path)) return store_error(Plain(Loc(31), kFileCreateError));
  NtCallScope scope(path);
  if (SetFileAttributesW(W(path), attributes)) return clear_error();
  store_error(CallFailed(Loc(32), "SetFileAttributesW", path, kFileWriteError));
}

// ---------------------------------------------------------------------------
// Directories, names and the program path

win32_dir* winnt_dir::make_dir(const char16_t* path) {
  std::u16string resolved;
  if (path == nullptr || !resolve_path(resolved, path, false)) {
    store_error(Plain(Loc(33), kFileOpenError));
    return nullptr;
  }
  winnt_dir* dir = new (std::nothrow) winnt_dir(resolved);
  if (dir == nullptr) {
    store_error(Plain(Loc(34), kFileOutOfMemory));
    return nullptr;
  }
  clear_error();
  return dir;
}

std::uint32_t winnt_dir::module_path(char16_t* buffer, std::uint32_t length) {
  return GetModuleFileNameW(nullptr, reinterpret_cast<LPWSTR>(buffer), length);
}

bool winnt_dir::compare_names(const char16_t* a, const char16_t* b, std::uint32_t count) {
  if (count == 0 || std::char_traits<char16_t>::compare(a, b, count) == 0) return true;
  std::vector<char16_t> both;
  try {
    both.assign(a, a + count);
    both.insert(both.end(), b, b + count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  LPWSTR block = reinterpret_cast<LPWSTR>(both.data());
  if (CharUpperBuffW(block, 2 * count) < count) CharUpperBuffW(block + count, count);
  return std::char_traits<char16_t>::compare(both.data(), both.data() + count, count) == 0;
}

int winnt_dir::compare_ids(const file_identifier* a, const file_identifier* b) {
  const auto* left = dynamic_cast<const the_identifier*>(a);
  const auto* right = dynamic_cast<const the_identifier*>(b);
  const char16_t* empty = u"";
  return CompareStringW(0x800 /* LOCALE_SYSTEM_DEFAULT */, NORM_IGNORECASE,
                        W(left != nullptr ? left->name() : empty), -1,
                        W(right != nullptr ? right->name() : empty), -1) -
         2;
}

i_dir* winnt_dir::open_special(std::uint32_t type) {
  if (type != kObjectTempDirectory) return win32_dir::open_special(type);
  char16_t buffer[MAX_PATH + 1] = {};
  if (GetTempPathW(MAX_PATH, reinterpret_cast<LPWSTR>(buffer)) == 0) {
    store_error(MakeApiError(Loc(35), kModuleId, "GetTempPathW", kFileOpenError,
                             FileErrorText(kFileOpenError)));
    return nullptr;
  }
  std::u16string resolved;
  if (!ResolvePath(u"", resolved, buffer, false)) {
    store_error(Plain(Loc(36), kFileOpenError));
    return nullptr;
  }
  return make_dir(resolved.c_str());
}

// ---------------------------------------------------------------------------
// The volume side (files/win/nt_volume.h) through the directory's overrides

std::uint32_t winnt_dir::object_type() { return NtDriveObjectType(*this); }

void winnt_dir::disk_space(std::uint64_t& total, std::uint64_t& free, std::uint64_t& available) {
  store_error(NtDiskSpace(*this, total, free, available));
}

void winnt_dir::volume_info(char16_t* buffer, std::uint32_t length) {
  store_error(NtVolumeLabel(*this, buffer, length));
}

std::uint32_t winnt_dir::sector_size() {
  sectorSize_ = NtSectorSize(*this);
  return sectorSize_;
}

void winnt_dir::net_connect(const char16_t* first, const char16_t* second, HWND owner) {
  store_error(NtNetConnect(*this, first, second, owner));
}

void winnt_dir::control(control_request* request) {
  Common::Error error;
  switch (NtControl(*this, request, error)) {
    case NtControlOutcome::kStore:
      store_error(error);
      return;
    case NtControlOutcome::kKeep:
      return;
    case NtControlOutcome::kNotHandled:
      break;
  }
  win32_dir::control(request);
}
