// Restoring Windows' Backup-and-Restore control-panel item.
#include "cleanup/control_panel.h"

#include <aclapi.h>

#include <foundation/format_message.h>
#include <foundation/registry_security.h>
#include <foundation/trace.h>
#include <windows/layer.h>

#include "cleanup/steps.h"

namespace Cleanup {

namespace {

const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// Access masks of the item key's opens; the 64-bit view is added to each.
constexpr REGSAM kReadAccess = KEY_READ;                                 // 0x20019
constexpr REGSAM kOwnerAccess = WRITE_OWNER | KEY_READ;                  // 0xA0019
constexpr REGSAM kDaclAccess = WRITE_DAC | KEY_READ;                     // 0x60019
constexpr REGSAM kReadWriteAccess = KEY_READ | KEY_WRITE;                // 0x2001F
constexpr REGSAM kWriteAccess = KEY_WRITE;                               // 0x20006
constexpr DWORD kValueBufferBytes = 520;
constexpr DWORD kFirstDaclBufferBytes = 1024;

void LogCode(CplLogger& logger, const char16_t* pattern, LONG code) {
  Fdisk::FormatMessage text(pattern);
  text % static_cast<long>(code);
  logger.Log(text);
}

void LogValueCode(CplLogger& logger, const char16_t* pattern, const char16_t* value, LONG code) {
  Fdisk::FormatMessage text(pattern);
  text % value % static_cast<long>(code);
  logger.Log(text);
}

LONG OpenKey(HKEY root, const std::u16string& path, REGSAM access, HKEY& key) {
  key = nullptr;
  const LONG result = WindowsLayerInstance->RegOpenKeyExW(root, W(path), 0,
                                                          access | RegistryView64Flag, &key);
  if (result != ERROR_SUCCESS) key = nullptr;
  return result;
}

// Switches one privilege of the token. `wasEnabled`, when given, tells
// whether the privilege was enabled before the call (it needs TOKEN_QUERY on
// the token). A privilege the token does not hold is a failure
// (ERROR_NOT_ALL_ASSIGNED).
LONG SetTokenPrivilege(HANDLE token, const char* name, bool enable, bool* wasEnabled) {
  TOKEN_PRIVILEGES wanted{};
  if (!LookupPrivilegeValueA(nullptr, name, &wanted.Privileges[0].Luid))
    return static_cast<LONG>(GetLastError());
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  TOKEN_PRIVILEGES previous{};
  DWORD previousBytes = 0;
  SetLastError(ERROR_SUCCESS);
  if (!AdjustTokenPrivileges(token, FALSE, &wanted, wasEnabled ? sizeof(previous) : 0,
                             wasEnabled ? &previous : nullptr,
                             wasEnabled ? &previousBytes : nullptr))
    return static_cast<LONG>(GetLastError());
  const DWORD error = GetLastError();
  if (error != ERROR_SUCCESS) return static_cast<LONG>(error);
  // Windows lists only the privileges whose state changed; Wine lists every
  // one asked for, with its old attributes.
  if (wasEnabled)
    *wasEnabled = previous.PrivilegeCount == 0 ||
                  (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  return ERROR_SUCCESS;
}

}  // namespace

// ------------------------------------------------------------- loggers --

void DebugTraceLogger::Log(const std::u16string& text) { Trace(1, 0, 0, text.c_str()); }

// ------------------------------------------------------------- privilege --

ElevatePrivilegesGuard::~ElevatePrivilegesGuard() {
  if (active_) Reset();
}

LONG ElevatePrivilegesGuard::Enable() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    const LONG error = static_cast<LONG>(GetLastError());
    LogCode(logger_, u"ElevatePrivilegesGuard: Failed to open process token with error: {0}",
            error);
    return error;
  }
  active_ = true;
  bool wasEnabled = false;
  const LONG error = SetTokenPrivilege(token, kTakeOwnershipPrivilege, true, &wasEnabled);
  CloseHandle(token);
  if (error != ERROR_SUCCESS) {
    LogCode(logger_, u"ElevatePrivilegesGuard: Failed to set process proveleges with error: {0}",
            error);
    return error;
  }
  // A privilege that was enabled already stays so afterwards.
  wasEnabled_ = wasEnabled;
  enabled_ = true;
  return ERROR_SUCCESS;
}

LONG ElevatePrivilegesGuard::Reset() {
  active_ = false;
  // Nothing to undo: the privilege was enabled before, or enabling it failed
  // (then the token does not hold it, or the call left it alone).
  if (!enabled_ || wasEnabled_) return ERROR_SUCCESS;
  HANDLE token = nullptr;
  LONG error = ERROR_SUCCESS;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
    error = static_cast<LONG>(GetLastError());
    LogCode(logger_, u"ElevatePrivilegesGuard: Failed to open process token with error: {0}",
            error);
  } else {
    error = SetTokenPrivilege(token, kTakeOwnershipPrivilege, false, nullptr);
    CloseHandle(token);
    if (error != ERROR_SUCCESS)
      LogCode(logger_,
              u"ElevatePrivilegesGuard: Failed to set  process proveleges with error: {0}", error);
  }
  if (error != ERROR_SUCCESS)
    LogCode(logger_, u"ElevatePrivilegesGuard: Failed to reset privileges with error: {0}",
            error);
  return error;
}

// ----------------------------------------------------------------- owner --

KeyOwnerGuard::~KeyOwnerGuard() {
  if (ownerChanged_) RestoreOwner();
  if (ownerDescriptor_ != nullptr) LocalFree(ownerDescriptor_);
  // The privilege goes last, with the member.
}

LONG KeyOwnerGuard::Take(HKEY root, const std::u16string& path, PSID sid) {
  root_ = root;
  path_ = path;
  privileges_.reset(new ElevatePrivilegesGuard(logger_));
  LONG error = privileges_->Enable();
  if (error != ERROR_SUCCESS) return error;

  HKEY key = nullptr;
  error = OpenKey(root, path, kOwnerAccess, key);
  if (error != ERROR_SUCCESS) return error;
  if (ownerDescriptor_ != nullptr) {
    LocalFree(ownerDescriptor_);
    ownerDescriptor_ = nullptr;
    previousOwner_ = nullptr;
  }
  error = static_cast<LONG>(GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION,
                                            &previousOwner_, nullptr, nullptr, nullptr,
                                            &ownerDescriptor_));
  if (error == ERROR_SUCCESS) {
    error = static_cast<LONG>(SetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION,
                                              sid, nullptr, nullptr, nullptr));
    if (error == ERROR_SUCCESS) ownerChanged_ = true;
  }
  RegCloseKey(key);
  return error;
}

void KeyOwnerGuard::RestoreOwner() {
  ownerChanged_ = false;
  // Windows lets a caller make only itself (or a group it may own) the
  // owner; giving the key back to another owner (SYSTEM, the installer's
  // account) takes the restore privilege.
  Common::PrivilegeScope restore(kRestorePrivilege);
  HKEY key = nullptr;
  LONG error = OpenKey(root_, path_, WRITE_OWNER, key);
  if (error == ERROR_SUCCESS) {
    error = static_cast<LONG>(SetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION,
                                              previousOwner_, nullptr, nullptr, nullptr));
    RegCloseKey(key);
  }
  if (error != ERROR_SUCCESS)
    LogCode(logger_, u"KeyOwnerGuard: Failed to reset CPL key owner with error: {0}", error);
}

// ----------------------------------------------------------- permissions --

KeyPermissionsGuard::~KeyPermissionsGuard() {
  if (permissionsChanged_) RestorePermissions();  // logs its own failures
  // The owner guard goes next, with the member, and takes the privilege.
}

LONG KeyPermissionsGuard::Take(HKEY root, const std::u16string& path, PSID sid) {
  root_ = root;
  path_ = path;
  owner_.reset(new KeyOwnerGuard(logger_));
  LONG error = owner_->Take(root, path, sid);
  if (error != ERROR_SUCCESS) {
    LogCode(logger_, u"KeyPermissionsGuard: Failed to reset Backup CPL key owner with error: {0}",
            error);
    return error;
  }

  HKEY key = nullptr;
  error = OpenKey(root, path, kDaclAccess, key);
  if (error != ERROR_SUCCESS) {
    LogCode(logger_, u"KeyPermissionsGuard: Failed to open Backup CPL key with error: {0}",
            error);
    return error;
  }

  DWORD size = kFirstDaclBufferBytes;
  savedDacl_.assign(size, 0);
  for (;;) {
    size = static_cast<DWORD>(savedDacl_.size());
    error = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, savedDacl_.data(), &size);
    if (error != ERROR_INSUFFICIENT_BUFFER || size <= savedDacl_.size()) break;
    savedDacl_.assign(size, 0);
  }
  if (error != ERROR_SUCCESS) {
    LogCode(logger_,
            u"KeyPermissionsGuard: Failed to get security info for Backup CPL key with error: {0}",
            error);
    RegCloseKey(key);
    return error;
  }

  std::u16string sidText;
  if (!Common::SidToString(sidText, sid)) {
    error = static_cast<LONG>(GetLastError());
  } else {
    Common::AclSecurityAttributes full(sidText.c_str(), KEY_ALL_ACCESS,
                                       CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE);
    error = static_cast<LONG>(full.ErrorCode());
    if (error == ERROR_SUCCESS)
      error = static_cast<LONG>(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                                nullptr, nullptr, full.Dacl(), nullptr));
  }
  if (error != ERROR_SUCCESS) {
    LogCode(logger_,
            u"KeyPermissionsGuard: Failed to set security info for Backup CPL key with error: {0}",
            error);
    RegCloseKey(key);
    return error;
  }
  permissionsChanged_ = true;
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

LONG KeyPermissionsGuard::RestorePermissions() {
  permissionsChanged_ = false;
  HKEY key = nullptr;
  LONG error = OpenKey(root_, path_, WRITE_DAC, key);
  if (error != ERROR_SUCCESS) {
    LogCode(logger_, u"KeyPermissionsGuard: Failed to open Backup CPL key with error: {0}",
            error);
  } else {
    // Whether the old list was protected from inheritance is part of what
    // goes back (taking the owner may have cleared it).
    PSECURITY_DESCRIPTOR saved = reinterpret_cast<PSECURITY_DESCRIPTOR>(savedDacl_.data());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
    if (GetSecurityDescriptorControl(saved, &control, &revision))
      what |= (control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION;
    error = RegSetKeySecurity(key, what, saved);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS)
      LogCode(logger_,
              u"KeyPermissionsGuard: Failed to reset security info for Backup CPL key with "
              u"error: {0}",
              error);
  }
  if (error != ERROR_SUCCESS)
    LogCode(logger_,
            u"KeyPermissionsGuard: Failed to reset Backup CPL key permissions with error: {0}",
            error);
  return error;
}

// --------------------------------------------------------------- the key --

void CplKey::Close() {
  CloseKey();
  guard_.reset();
}

void CplKey::CloseKey() {
  if (key_ != nullptr) RegCloseKey(key_);
  key_ = nullptr;
}

LONG CplKey::Open(REGSAM access) {
  CloseKey();
  return OpenKey(HKEY_CLASSES_ROOT, kCplKeyPath, access, key_);
}

LONG CplKey::ReadText(const char16_t* name, std::u16string& out) {
  char16_t buffer[kValueBufferBytes / 2 + 1] = {};
  DWORD bytes = kValueBufferBytes;
  DWORD type = 0;
  const LONG error = WindowsLayerInstance->RegQueryValueExW(
      key_, W(name), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (error != ERROR_SUCCESS) return error;
  out.assign(buffer);  // up to the first NUL; the buffer ends with one
  return ERROR_SUCCESS;
}

LONG CplKey::ReadResourceDll(std::u16string& out) { return ReadText(kCplResourceDll, out); }
LONG CplKey::ReadOldResourceDll(std::u16string& out) { return ReadText(kCplOldResourceDll, out); }

LONG CplKey::ReadOldResourceId(DWORD& out) {
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  DWORD type = 0;
  const LONG error = WindowsLayerInstance->RegQueryValueExW(
      key_, W(kCplOldResourceId), nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
  if (error == ERROR_SUCCESS) out = value;
  return error;
}

LONG CplKey::WriteResourceDll(const std::u16string& library) {
  return WindowsLayerInstance->RegSetValueExW(
      key_, W(kCplResourceDll), 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(library.c_str()),
      static_cast<DWORD>((library.size() + 1) * 2));
}

LONG CplKey::WriteResourceId(DWORD id) {
  return WindowsLayerInstance->RegSetValueExW(key_, W(kCplResourceId), 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&id), sizeof(id));
}

LONG CplKey::DeleteValue(const char16_t* name) {
  const LONG error = WindowsLayerInstance->RegDeleteValueW(key_, W(name));
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

LONG CplKey::DeleteOldResourceDll() { return DeleteValue(kCplOldResourceDll); }
LONG CplKey::DeleteOldResourceId() { return DeleteValue(kCplOldResourceId); }

// ----------------------------------------------------------------- steps --

void RunCplDisintegrate() {
  DebugTraceLogger logger;
  CplDisintegrate(logger);
}

bool IsCplIntegrated(CplLogger& logger) {
  CplKey key;
  LONG error = key.Open(kReadAccess);
  if (error != ERROR_SUCCESS) {
    LogCode(logger, u"IsCplIntegrated: Failed to open Backup CPL key with error: {0}", error);
    return false;
  }
  std::u16string library;
  error = key.ReadResourceDll(library);
  if (error != ERROR_SUCCESS) {
    LogCode(logger, u"IsCplIntegrated: Failed to open Backup CPL key with error: {0}", error);
    return false;
  }
  return library.find(kCplMakerLibrary) != std::u16string::npos;
}

LONG GrantCplKeyPermissions(CplKey& key, CplLogger& logger) {
  key.Guard().reset(new KeyPermissionsGuard(logger));
  Common::TokenInformation user = Common::GetTokenInformationBuffer(TokenUser);
  if (!user) {
    const LONG error = static_cast<LONG>(GetLastError());
    return error != ERROR_SUCCESS ? error : ERROR_NOT_ENOUGH_MEMORY;
  }
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid;
  return key.Guard()->Take(HKEY_CLASSES_ROOT, kCplKeyPath, sid);
}

LONG RestoreOldCPLProperties(CplKey& key, CplLogger& logger) {
  LONG error = key.Open(kReadWriteAccess);
  // Without the key the first read fails and ends the restore.
  if (error != ERROR_SUCCESS)
    LogCode(logger, u"RestoreOldCPLProperties: Failed to open Backup CPL key with error: {0}",
            error);

  static constexpr char16_t kReadFailed[] =
      u"RestoreOldCPLProperties: Failed to read original Backup CPL key value \"{0}\" with "
      u"error: {1}";
  static constexpr char16_t kWriteFailed[] =
      u"RestoreOldCPLProperties: Failed to restore original Backup CPL key value \"{0}\" with "
      u"error: {1}";
  static constexpr char16_t kDeleteFailed[] =
      u"RestoreOldCPLProperties: Failed to remove copy of original Backup CPL key value "
      u"\"{0}\" with error: {1}";

  std::u16string oldLibrary;
  if ((error = key.ReadOldResourceDll(oldLibrary)) != ERROR_SUCCESS) {
    LogValueCode(logger, kReadFailed, kCplResourceDll, error);
    return error;
  }
  DWORD oldId = 0;
  if ((error = key.ReadOldResourceId(oldId)) != ERROR_SUCCESS) {
    LogValueCode(logger, kReadFailed, kCplOldResourceId, error);
    return error;
  }
  if ((error = key.WriteResourceDll(oldLibrary)) != ERROR_SUCCESS) {
    LogValueCode(logger, kWriteFailed, kCplResourceDll, error);
    return error;
  }
  if ((error = key.WriteResourceId(oldId)) != ERROR_SUCCESS) {
    LogValueCode(logger, kWriteFailed, kCplResourceId, error);
    return error;
  }
  if ((error = key.DeleteOldResourceDll()) != ERROR_SUCCESS) {
    LogValueCode(logger, kDeleteFailed, kCplOldResourceDll, error);
    return error;
  }
  if ((error = key.DeleteOldResourceId()) != ERROR_SUCCESS) {
    LogValueCode(logger, kDeleteFailed, kCplOldResourceId, error);
    return error;
  }
  return ERROR_SUCCESS;
}

LONG WriteCplProperties(CplKey& key, const std::u16string& library, DWORD resourceId,
                        CplLogger& logger) {
  LONG error = key.Open(kWriteAccess);
  if (error != ERROR_SUCCESS) {
    LogCode(logger, u"WriteCplProperties: Failed to open Backup CPL key with error: {0}", error);
    return error;
  }
  static constexpr char16_t kWriteFailed[] =
      u"WriteCplProperties: Failed to restore write Backup CPL key value \"{0}\" with error: {1}";
  if ((error = key.WriteResourceDll(library)) != ERROR_SUCCESS) {
    LogValueCode(logger, kWriteFailed, kCplResourceDll, error);
    return error;
  }
  if ((error = key.WriteResourceId(resourceId)) != ERROR_SUCCESS) {
    LogValueCode(logger, kWriteFailed, kCplResourceId, error);
    return error;
  }
  return ERROR_SUCCESS;
}

LONG CplDisintegrate(CplLogger& logger) {
  if (!IsCplIntegrated(logger)) {
    logger.Log(u"CplDisintegrate: Quorvel Backup CPL is not integrated.");
    return ERROR_SUCCESS;
  }
  CplKey key;
  LONG error = GrantCplKeyPermissions(key, logger);
  if (error != ERROR_SUCCESS) {
    LogCode(logger,
            u"CplDisintegrate: Failed to enable write permissions for CPL key with error: {0}",
            error);
    key.Close();
    return error;
  }
  error = RestoreOldCPLProperties(key, logger);
  if (error != ERROR_SUCCESS) {
    LogCode(logger,
            u"CplDisintegrate: Failed to restore original Backup CPL values with error: {0}",
            error);
    logger.Log(u"CplDisintegrate: Try to restore factory settings Backup CPL values");
    error = WriteCplProperties(key, kCplFactoryLibrary, kCplFactoryResourceId, logger);
    if (error != ERROR_SUCCESS) {
      LogCode(logger,
              u"CplDisintegrate: Failed to restore factory Backup CPL values with error: {0}",
              error);
      key.Close();
      return error;
    }
  }
  logger.Log(u"CplDisintegrate: Successfully restored original Backup CPL values");
  key.Close();
  return ERROR_SUCCESS;
}

}  // namespace Cleanup
