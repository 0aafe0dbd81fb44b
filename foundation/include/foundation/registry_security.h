// Registry, privilege and security helpers of the Windows build.
//
// Free functions and scope objects around the Windows security model: WOW64
// detection, deleting registry keys in a chosen registry view, deleting a
// whole key tree even when its access list forbids it, a security descriptor
// built from a short list of trustees, the thread or process token, SID text
// in both directions, switching privileges, deleting or replacing a file at
// the next start, cancelling network connections, and stepping out of and
// back into thread impersonation.
//
// Failures are reported as Win32 codes or `false` (with the last error set);
// only OpenThreadTokenOrNull and ImpersonationGuard throw `Common::Error`.
// Registry calls and the wide-character file calls go through the Windows layer
// (windows/layer.h). Used from one thread at a time.
//
// Windows-only header: it includes <windows.h>.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

namespace Common {

// Module id of the error sites here (the helpers' source files have the
// range 0x0500-0x05FF); location ids carry it in their high 16 bits.
constexpr std::uint32_t kImpersonationModuleId = 0x0504;

// Error codes of the security helpers (facility 0x14).
constexpr std::uint32_t kOpenThreadTokenFailed = 0x141771;
constexpr std::uint32_t kImpersonationFailed = 0x141772;
constexpr std::uint32_t kRevertToSelfFailed = 0x141773;

// ------------------------------------------------------------- system --

// IsWow64Process(GetCurrentProcess()), bound at run time; false when the
// function is missing or fails.
bool IsWow64();

// GetNativeSystemInfo when preferred and present, else GetSystemInfo.
void GetSystemInfoNative(SYSTEM_INFO& out, bool preferNative);

// ------------------------------------------------------------ registry --

// RegDeleteKeyExW(root, path, view, 0) through the Windows layer, which falls
// back to RegDeleteKeyW (default view) where RegDeleteKeyExW is missing.
// Returns the Win32 code.
LONG DeleteRegistryKeyView(HKEY root, const char16_t* path, REGSAM view);

// Deletes the key and all its subkeys in the given view (KEY_WOW64_32KEY or
// KEY_WOW64_64KEY, or 0), even when the key's owner or access list forbids
// it: a key that does not go at once is taken over (owner set to the current
// user with SeTakeOwnershipPrivilege enabled for that step only), given an
// access list that grants the current user full access, and emptied subkey
// by subkey. A subkey that cannot be deleted is skipped and does not stop
// the others. Returns 0 on success, else the code of the first open that
// failed or of the final delete. Ownership and access-list changes stay on
// keys that could not be deleted. On Windows 9x RegDeleteKeyW deletes a
// whole tree by itself.
LONG DeleteRegistryTree(HKEY root, const char16_t* path, REGSAM view);

// ------------------------------------------------------- access lists --

// The trustee text that stands for the user of the thread or process token
// (compared without regard to case).
constexpr char16_t kCurrentUserTrustee[] = u"!CurUser";

// One entry of AclSecurityAttributes: a trustee (kCurrentUserTrustee or SID
// text such as u"S-1-5-32-544"), an access mask and ACE inheritance flags
// (CONTAINER_INHERIT_ACE, OBJECT_INHERIT_ACE, ...).
struct AclEntry {
  const char16_t* trustee;
  DWORD access;
  DWORD inheritance;
};

// SECURITY_ATTRIBUTES with an absolute security descriptor whose DACL grants
// (SET_ACCESS) each listed trustee its access. A null trustee ends the list;
// an empty list (or a first null trustee), and Windows 9x, give plain
// attributes without a descriptor. Never throws: ErrorCode() is 0 when the
// object is usable, else the Win32 code of the failure (127 when
// SetEntriesInAclW is missing, 8 when memory is short), and the object then
// holds no descriptor.
class AclSecurityAttributes {
 public:
  explicit AclSecurityAttributes(std::initializer_list<AclEntry> entries);
  AclSecurityAttributes(const char16_t* trustee, DWORD access, DWORD inheritance)
      : AclSecurityAttributes({AclEntry{trustee, access, inheritance}}) {}
  AclSecurityAttributes(const AclSecurityAttributes&) = delete;
  AclSecurityAttributes& operator=(const AclSecurityAttributes&) = delete;
  ~AclSecurityAttributes() { Free(); }

  // LocalFree of the DACL (when owned) and of the descriptor.
  void Free();

  // The object's address is also that of its SECURITY_ATTRIBUTES.
  SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }
  PSECURITY_DESCRIPTOR Descriptor() const { return attributes_.lpSecurityDescriptor; }
  PACL Dacl() const { return dacl_; }
  DWORD ErrorCode() const { return error_; }

 private:
  SECURITY_ATTRIBUTES attributes_;
  DWORD error_ = 0;
  PACL dacl_ = nullptr;
  bool ownsDacl_ = false;
};

// ------------------------------------------------------------- tokens --

// OpenThreadToken(current thread, access, openAsSelf); when the thread has no
// token (ERROR_NO_TOKEN), OpenProcessToken(current process, access). Any
// other failure gives INVALID_HANDLE_VALUE. The caller closes the handle.
HANDLE OpenThreadOrProcessToken(DWORD access, bool openAsSelf);

// OpenThreadToken(current thread, access, open as self); null when the thread
// is not impersonating. Any other failure throws Common::Error 0x141771 with
// the Win32 cause.
HANDLE OpenThreadTokenOrNull(DWORD access);

// A buffer of token information, to be read as the class's record
// (TOKEN_USER, TOKEN_PRIVILEGES, ...).
using TokenInformation = std::unique_ptr<BYTE[]>;

// GetTokenInformation of the class into a buffer of the size the system asks
// for. A null token stands for the thread's, else the process's token
// (opened for TOKEN_QUERY and closed again). Null on failure, with the last
// error set (ERROR_NOT_ENOUGH_MEMORY when allocation failed).
TokenInformation GetTokenInformationBuffer(TOKEN_INFORMATION_CLASS cls, HANDLE token = nullptr);

// --------------------------------------------------------------- SIDs --

// Units of the longest SID text (15 sub-authorities, hex authority) with the
// terminator.
constexpr std::size_t kMaxSidTextUnits = 184;

// "S-1-<authority>-<sub>-<sub>...": the authority in decimal, or as "0x" and
// twelve lower-case hex digits when one of its two top bytes is not zero.
// `out` must hold kMaxSidTextUnits units. False with ERROR_INVALID_PARAMETER
// for a null text, a null SID or an invalid SID.
bool SidToString(char16_t* out, PSID sid);
bool SidToString(std::u16string& out, PSID sid);

// Reads "S-1-<authority>[-<sub>...]" with up to 8 sub-authorities; each field
// in decimal, hex ("0x") or octal (leading 0). The authority keeps its low 48
// bits, sub-authorities their low 32 bits. Null with ERROR_INVALID_PARAMETER
// for fewer than two fields or a revision other than 1. Free the SID with
// FreeSid (or hold it in a UniqueSid).
PSID SidFromString(const char16_t* text);

struct FreeSidDeleter {
  void operator()(void* sid) const {
    if (sid) FreeSid(sid);
  }
};
using UniqueSid = std::unique_ptr<void, FreeSidDeleter>;

// ---------------------------------------------------------- privileges --

// Enables (or disables) the named privilege ("SeBackupPrivilege", ...) in the
// token, or with a null token in the thread's, else the process's token. True
// only when the system reports no error at all, so a privilege the token does
// not hold gives false (ERROR_NOT_ALL_ASSIGNED).
bool SetPrivilege(const char* name, HANDLE token, bool enable);

// True when the token (null: the thread's, else the process's) holds the
// named privilege, enabled or not. `tokenRead`, when given, says whether the
// token's privileges could be read.
bool TokenHasPrivilege(const char* name, HANDLE token, bool* tokenRead = nullptr);

// Enables one privilege of the thread's, else the process's token for the
// scope's lifetime and puts back its previous state on every path. Enabled()
// is false when the token does not hold the privilege (nothing is changed
// then).
class PrivilegeScope {
 public:
  explicit PrivilegeScope(const char* name);
  PrivilegeScope(const PrivilegeScope&) = delete;
  PrivilegeScope& operator=(const PrivilegeScope&) = delete;
  ~PrivilegeScope();

  bool Enabled() const { return enabled_; }

 private:
  HANDLE token_ = nullptr;
  bool enabled_ = false;
  TOKEN_PRIVILEGES previous_{};  // what the enable changed, to be undone
};

// ---------------------------------------------------- restart deletes --

// Flags of DeleteOrMoveAtReboot.
constexpr unsigned kRebootSourceMustExist = 1;  // false when the source is missing
constexpr unsigned kRebootDelayOnly = 2;        // do not try at once
constexpr unsigned kRebootDirectories = 4;      // the paths are directories

// Deletes the source (no target) or moves it over the target, at once when
// that works (unless kRebootDelayOnly), else at the next start: on the NT
// family MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT (kept by Windows in
// PendingFileRenameOperations), on Windows 9x a line in the [Rename] section
// of WININIT.INI. A source in double quotes is taken without them.
bool DeleteOrMoveAtReboot(const char16_t* source, const char16_t* target, unsigned flags);

// Writes "<target>=<source>\n", each path in its short (8.3) form where the
// system has one (else as given), a missing path as "NUL" ("DIRNUL" with the
// directory flag).
void ShortPathRenameLine(std::string& out, const char* target, const char* source,
                         bool directory);

// The Windows directory's WININIT.INI (ANSI path), empty when the Windows
// directory is not known.
std::string WininitIniPath();

// Rewrites the INI file at iniPath with `line` added to its [Rename] section
// (created when missing) after `linesBefore` lines that follow the section
// header, through a temporary file whose name ends in '$' instead of the
// path's last character. False, with the file left as it was, when the
// temporary file cannot be written or does not replace the old one.
// DeleteOrMoveAtReboot uses it on Windows 9x with WininitIniPath().
bool AddWininitRenameLine(const char* iniPath, const std::string& line, unsigned linesBefore);

// ------------------------------------------------- network connections --

// True when the name, in upper case, begins with the prefix (compared as
// given, so the prefix should be upper case).
bool HasServerPrefix(const char16_t* name, const std::u16string& prefix);

// Cancels every connected network resource whose remote name lies on the
// server ("\\SERVER\..."), or every one when the server is null or empty;
// `force` cancels even with open files.
void CancelNetworkConnections(bool force, const char16_t* server);

// -------------------------------------------------------- impersonation --

// Steps out of the thread's impersonation for its lifetime: saves the thread
// token (opened with `access`), reverts to the process's own context and,
// when a token is given, impersonates that token instead. The destructor
// reverts and restores the saved token; it never throws. The constructor
// throws Common::Error 0x141773 when RevertToSelf fails and 0x141772 when the
// impersonation fails (after trying to restore the saved token).
class ImpersonationGuard {
 public:
  explicit ImpersonationGuard(HANDLE token = nullptr, DWORD access = MAXIMUM_ALLOWED);
  ImpersonationGuard(const ImpersonationGuard&) = delete;
  ImpersonationGuard& operator=(const ImpersonationGuard&) = delete;
  ~ImpersonationGuard();

 private:
  HANDLE saved_ = nullptr;
};

}  // namespace Common
