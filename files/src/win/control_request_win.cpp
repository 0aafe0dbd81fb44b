// The control requests of an NT directory that name its entries or its
// volume.
#include <windows.h>

#include <string>

#include "files/backup.h"
#include "files/dir.h"
#include "files/file_error.h"
#include "files/file_time.h"
#include "files/path.h"
#include "files/security_descriptor_set.h"
#include "files/win/backup_win.h"
#include "files/win/helpers.h"
#include "files/win/nt_volume.h"
#include "files/win/win_dir.h"
#include "files/win/win_file.h"

namespace {

constexpr std::uint32_t kModuleId = 0x2302;
constexpr std::uint32_t Loc(std::uint32_t n) { return kModuleId << 16 | n; }

LPCWSTR W(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }
LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

Common::Error Plain(std::uint32_t location, std::uint32_t code) noexcept {
  return MakeFileError(location, kNtDirModuleId, code);
}

Common::Error Failed(std::uint32_t location, const char* function, const std::u16string& path,
                     std::uint32_t defaultCode) noexcept {
  return MakeFileApiError(location, kNtDirModuleId, function, path.c_str(), defaultCode,
                          FileErrorText(defaultCode));
}

template <typename Fn>
Fn Bind(const char* module, const char* name) noexcept {
  HMODULE handle = GetModuleHandleA(module);
  if (handle == nullptr) handle = LoadLibraryA(module);
  return handle == nullptr
             ? nullptr
             : reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

using SetFileShortNameFn = BOOL(WINAPI*)(HANDLE, LPCWSTR);
using EncryptFileFn = BOOL(WINAPI*)(LPCWSTR);

FILETIME AsFileTime(std::uint64_t ms) {
  std::uint64_t value = MsToFileTime(ms);
  FILETIME time;
  time.dwLowDateTime = DWORD(value);
  time.dwHighDateTime = DWORD(value >> 32);
  return time;
}

NtControlOutcome SetTimes(winnt_dir& dir, const stme_request& request, Common::Error& error) {
  std::u16string path;
  if (!dir.nt_path(request.name, false, path)) {
    error = Plain(Loc(1), kFileOpenError);
    return NtControlOutcome::kStore;
  }
  NtCallScope scope(path);
  HANDLE handle = CreateFileW(W(path), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = Failed(Loc(2), "OpenFileW", path, kFileOpenError);
    return NtControlOutcome::kStore;
  }
  const FILETIME creation = AsFileTime(request.creationTime);
  const FILETIME access = AsFileTime(request.accessTime);
  const FILETIME write = AsFileTime(request.writeTime);
  const bool set = SetFileTime(handle, &creation, &access, &write);
  if (!set) error = MakeApiError(Loc(3), kNtDirModuleId, "SetFileTime", kFileWriteError,
                                 FileErrorText(kFileWriteError));
  {
    LastErrorKeeper keep;
    CloseHandle(handle);
  }
  return set ? NtControlOutcome::kKeep : NtControlOutcome::kStore;
}

NtControlOutcome SetShortName(winnt_dir& dir, const ssfn_request& request, Common::Error& error) {
  static const SetFileShortNameFn setShortName =
      Bind<SetFileShortNameFn>("kernel32.dll", "SetFileShortNameW");
  if (setShortName == nullptr) {
    error = Plain(Loc(4), kFileNotSupported);
    return NtControlOutcome::kStore;
  }
  HANDLE handle = dir.create_handle(request.name, nullptr, GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS);
  // The open's failure is already the directory's status.
  if (handle == nullptr || !dir.is_ok()) {
    if (IsValidHandle(handle)) CloseHandle(handle);
    return NtControlOutcome::kKeep;
  }
  NtControlOutcome outcome = NtControlOutcome::kKeep;
  if (!setShortName(handle, W(request.shortName))) {
    std::u16string path;
    dir.nt_dir_path(path);
    error = Failed(Loc(5), "SetFileShortNameW", path, kFileRenameError);
    outcome = NtControlOutcome::kStore;
  }
  LastErrorKeeper keep;
  CloseHandle(handle);
  return outcome;
}

// Win32 form without the trailing '\'; false for names that do not resolve
// and for network and device paths.
bool RenamePath(winnt_dir& dir, const char16_t* name, std::u16string& out) {
  if (!dir.resolve_path(out, name, false) || out.empty() || out[0] == u'\\') return false;
  if (out.back() == u'\\') out.pop_back();
  return true;
}

NtControlOutcome RenameAtRestart(winnt_dir& dir, const pdrn_request& request,
                                 Common::Error& error) {
  std::u16string source, target;
  if (!RenamePath(dir, request.name, source) ||
      (request.newName != nullptr && !RenamePath(dir, request.newName, target))) {
    error = Plain(Loc(6), kFileRenameError);
    return NtControlOutcome::kStore;
  }
  Wow64RedirectionScope wow64;
  if (!MoveFileExW(W(source), request.newName != nullptr ? W(target) : nullptr,
                   MOVEFILE_DELAY_UNTIL_REBOOT))
    error = Failed(Loc(7), "MoveFileExW", source, kFileRenameError);
  else
    error = Common::Error();
  return NtControlOutcome::kStore;
}

// Each part is written on its own; the first that the system refuses is the
// outcome, so that a caller restoring security learns that it did not take.
NtControlOutcome SetSecurity(winnt_dir& dir, const srsq_request& request, Common::Error& error) {
  std::u16string path;
  if (!dir.nt_path(request.name, false, path)) {
    error = Plain(Loc(8), kFileCreateError);
    return NtControlOutcome::kStore;
  }
  SecurityDescriptorSet set;
  error = set.Deserialize(request.data, request.data == nullptr ? 0 : request.size);
  if (error.Code() != 0) return NtControlOutcome::kStore;
  NtCallScope scope(path);
  for (std::uint32_t i = 0; i < SecurityDescriptorSet::kPartCount; ++i) {
    const SecurityDescriptorSet::Part& part = set.part(i);
    if (part.bytes == nullptr || part.size == 0) continue;
    if (!SetFileSecurityW(W(path), part.flag, part.bytes.get()) && error.Code() == 0)
      error = Failed(Loc(9), "SetFileSecurityW", path, kFileAccessDenied);
  }
  return NtControlOutcome::kStore;
}

NtControlOutcome SetCompression(winnt_dir& dir, const cmpr_request& request,
                                Common::Error& error) {
  std::u16string path;
  if (!dir.nt_dir_path(path)) {
    error = Plain(Loc(10), kFileOpenError);
    return NtControlOutcome::kStore;
  }
  NtCallScope scope(path);
  HANDLE handle = CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = Failed(Loc(11), "OpenFileW", path, kFileOpenError);
    return NtControlOutcome::kStore;
  }
  error = SetHandleCompression(handle, request.compress != 0);
  CloseHandle(handle);
  return NtControlOutcome::kStore;
}

NtControlOutcome Encrypt(winnt_dir& dir, const crpt_request& request, Common::Error& error) {
  std::u16string path;
  if (!dir.nt_path(request.name, false, path)) {
    error = Plain(Loc(12), kFileOpenError);
    return NtControlOutcome::kStore;
  }
  if (request.encrypt != 0) {
    static const EncryptFileFn encryptFile = Bind<EncryptFileFn>("advapi32.dll", "EncryptFileW");
    if (encryptFile == nullptr) {
      error = Plain(Loc(13), kFileNotSupported);
      return NtControlOutcome::kStore;
    }
    NtCallScope scope(path);
    if (!encryptFile(W(path))) {
      error = Failed(Loc(14), "EncryptFileW", path, kFileAccessDenied);
      return NtControlOutcome::kStore;
    }
    // Some systems answer success without encrypting anything; the entry's
    // own flag tells.
    DWORD attributes = GetFileAttributesW(W(path));
    error = (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_ENCRYPTED))
                ? Common::Error()
                : Plain(Loc(20), kFileNotSupported);
    return NtControlOutcome::kStore;
  }
  if (!BindDecryptFile()) {
    error = Plain(Loc(15), kFileNotSupported);
    return NtControlOutcome::kStore;
  }
  NtCallScope scope(path);
  error = DecryptFileFunction()(W(path), 0)
              ? Common::Error()
              : Failed(Loc(16), "DecryptFileW", path, kFileAccessDenied);
  return NtControlOutcome::kStore;
}

NtControlOutcome FileSystemName(winnt_dir& dir, gfst_request& request, Common::Error& error) {
  request.fileSystem[0] = u'\0';
  std::u16string path;
  if (!dir.nt_dir_path(path)) {
    error = Plain(Loc(17), kFileOpenError);
    return NtControlOutcome::kStore;
  }
  DWORD maximumComponent = 0, flags = 0;
  auto query = [&](const std::u16string& root) {
    NtCallScope scope(root);
    return GetVolumeInformationW(W(root), nullptr, 0, nullptr, &maximumComponent, &flags,
                                 reinterpret_cast<LPWSTR>(request.fileSystem), 64) != FALSE;
  };
  bool answered = query(path);
  if (!answered && GetLastError() == ERROR_DIR_NOT_ROOT) {
    if (!NtVolumePath(dir, path)) {
      error = Plain(Loc(18), kFileOpenError);
      return NtControlOutcome::kStore;
    }
    answered = query(path);
  }
  request.fileSystem[63] = u'\0';
  if (!answered) request.fileSystem[0] = u'\0';
  error = answered ? Common::Error() : Failed(Loc(19), "GetVolumeInformationW", path,
                                              kFileOpenError);
  return NtControlOutcome::kStore;
}

NtControlOutcome Backup(winnt_dir& dir, const bkup_request& request, Common::Error& error) {
  const char16_t* name = u".";
  if (request.entry != nullptr) {
    const the_identifier* id = dynamic_cast<const the_identifier*>(request.entry);
    if (id == nullptr) {
      error = Plain(Loc(21), kFileOpenError);
      return NtControlOutcome::kStore;
    }
    name = id->name();
  }
  std::u16string path;
  if (!dir.nt_path(name, false, path)) {
    error = Plain(Loc(22), kFileOpenError);
    return NtControlOutcome::kStore;
  }
  error = BackupFileToStream(path.c_str(), request.sink, request.progress, request.flags);
  return NtControlOutcome::kStore;
}

NtControlOutcome Restore(winnt_dir& dir, const rstr_request& request, Common::Error& error) {
  std::u16string path;
  if (!dir.nt_path(request.entry != nullptr ? request.entry : u".", false, path)) {
    error = Plain(Loc(23), kFileCreateError);
    return NtControlOutcome::kStore;
  }
  error = RestoreFileFromStream(path.c_str(), request.source, request.progress, request.flags);
  return NtControlOutcome::kStore;
}

}  // namespace

NtControlOutcome NtControl(winnt_dir& dir, control_request* request, Common::Error& error) {
  switch (request->code) {
    case kControlSTME:
      return SetTimes(dir, *static_cast<stme_request*>(request), error);
    case kControlSSFN:
      return SetShortName(dir, *static_cast<ssfn_request*>(request), error);
    case kControlPDRN:
      return RenameAtRestart(dir, *static_cast<pdrn_request*>(request), error);
    case kControlSRSQ:
      return SetSecurity(dir, *static_cast<srsq_request*>(request), error);
    case kControlCMPR:
      return SetCompression(dir, *static_cast<cmpr_request*>(request), error);
    case kControlCRPT:
      return Encrypt(dir, *static_cast<crpt_request*>(request), error);
    case kControlBKUP:
      return Backup(dir, *static_cast<bkup_request*>(request), error);
    case kControlRSTR:
      return Restore(dir, *static_cast<rstr_request*>(request), error);
    case kControlGFST:
      return FileSystemName(dir, *static_cast<gfst_request*>(request), error);
    default:
      return NtControlOutcome::kNotHandled;
  }
}
