// Restoring Windows' Backup-and-Restore control-panel item.
//
// The maker's products point the item's resource library at their own
// control-panel library and save the item's previous values beside it. The
// restore writes the saved values back (or Windows' factory values when they
// cannot be restored) after getting write access to the item's key under a
// stack of scope guards: the take-ownership privilege, the key's owner and
// the key's access list are each put back when their guard goes, on every
// path, in the reverse order of taking. Every outcome is a text for a
// logger; the run's logger hands them to the trace dispatcher, which drops
// them.
//
// Windows-only header.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Common {

// A base that forbids copies; only its destructor is virtual.
class NonCopyable {
 public:
  NonCopyable() = default;
  NonCopyable(const NonCopyable&) = delete;
  NonCopyable& operator=(const NonCopyable&) = delete;
  virtual ~NonCopyable() = default;
};

}  // namespace Common

namespace Harbormark {
namespace CPL {

// Receives the texts of the control-panel restore.
class IntergationLogger {
 public:
  virtual ~IntergationLogger() = default;
  virtual void Log(const std::u16string& text) = 0;
};

}  // namespace CPL
}  // namespace Harbormark

namespace Cleanup {

using CplLogger = Harbormark::CPL::IntergationLogger;

// The item's key under HKEY_CLASSES_ROOT (always opened in the 64-bit view)
// and its values.
constexpr char16_t kCplKeyPath[] =
    u"CLSID\\{B98A2BEA-7D42-4558-8BD1-832F41BAC6FD}\\Instance\\InitPropertyBag";
constexpr char16_t kCplResourceDll[] = u"ResourceDLL";
constexpr char16_t kCplResourceId[] = u"ResourceID";
constexpr char16_t kCplOldResourceDll[] = u"OldResourceDLL";
constexpr char16_t kCplOldResourceId[] = u"OldResourceID";
// The item counts as integrated when its library names this (letter case
// counts, anywhere in the text).
constexpr char16_t kCplMakerLibrary[] = u"quorvel_backup_cpl.dll";
// Windows' own values of the item.
constexpr char16_t kCplFactoryLibrary[] = u"%SystemRoot%\\System32\\sdcpl.dll";
constexpr DWORD kCplFactoryResourceId = 20;
constexpr char kTakeOwnershipPrivilege[] = "SeTakeOwnershipPrivilege";
// Needed to give the key back to an owner other than the caller; enabled only
// while the owner is put back.
constexpr char kRestorePrivilege[] = "SeRestorePrivilege";

// Hands each text to Trace with level 1, category 0 and code 0.
class DebugTraceLogger : public CplLogger {
 public:
  void Log(const std::u16string& text) override;
};

// Enables the take-ownership privilege in the process token and, when
// destroyed, puts the privilege back in the state it had before (it stays
// enabled when it already was).
class ElevatePrivilegesGuard : public Common::NonCopyable {
 public:
  explicit ElevatePrivilegesGuard(CplLogger& logger) : logger_(logger) {}
  ~ElevatePrivilegesGuard() override;

  // Win32 code, 0 on success. Once the token opened the guard is active,
  // so its destruction restores whatever a failed enable may have done.
  LONG Enable();
  bool Active() const { return active_; }

 private:
  LONG Reset();

  CplLogger& logger_;
  bool active_ = false;
  bool enabled_ = false;     // this guard enabled the privilege
  bool wasEnabled_ = false;  // it was enabled before
};

// Makes a SID the owner of a key and puts the previous owner back when
// destroyed, with the restore privilege enabled for that one write (and then
// back in its previous state); owns the privilege guard that makes the
// change possible.
class KeyOwnerGuard : public Common::NonCopyable {
 public:
  explicit KeyOwnerGuard(CplLogger& logger) : logger_(logger) {}
  ~KeyOwnerGuard() override;

  LONG Take(HKEY root, const std::u16string& path, PSID sid);
  bool OwnerChanged() const { return ownerChanged_; }

 private:
  void RestoreOwner();

  CplLogger& logger_;
  bool ownerChanged_ = false;
  PSECURITY_DESCRIPTOR ownerDescriptor_ = nullptr;  // LocalAlloc'ed, holds previousOwner_
  PSID previousOwner_ = nullptr;
  HKEY root_ = nullptr;
  std::u16string path_;
  std::unique_ptr<ElevatePrivilegesGuard> privileges_;
};

// Gives a SID full access to a key (replacing its access list) after making
// it the owner; puts the previous access list back, then the owner, then the
// privilege, when destroyed.
class KeyPermissionsGuard : public Common::NonCopyable {
 public:
  explicit KeyPermissionsGuard(CplLogger& logger) : logger_(logger) {}
  ~KeyPermissionsGuard() override;

  LONG Take(HKEY root, const std::u16string& path, PSID sid);
  bool PermissionsChanged() const { return permissionsChanged_; }

 private:
  LONG RestorePermissions();

  CplLogger& logger_;
  std::vector<BYTE> savedDacl_;  // self-relative descriptor with the old DACL
  bool permissionsChanged_ = false;
  HKEY root_ = nullptr;
  std::u16string path_;
  std::unique_ptr<KeyOwnerGuard> owner_;
};

// The open item key and the guard that made it writable.
class CplKey : public Common::NonCopyable {
 public:
  ~CplKey() override { Close(); }

  // Closes the key and destroys the guard, which restores what it changed.
  void Close();
  void CloseKey();
  LONG Open(REGSAM access);
  bool IsOpen() const { return key_ != nullptr; }

  // Each value read into a 520-byte buffer; the text up to its first NUL.
  LONG ReadResourceDll(std::u16string& out);
  LONG ReadOldResourceDll(std::u16string& out);
  LONG ReadOldResourceId(DWORD& out);
  LONG WriteResourceDll(const std::u16string& library);  // REG_EXPAND_SZ
  LONG WriteResourceId(DWORD id);                         // REG_DWORD
  // A value that is already missing counts as deleted.
  LONG DeleteOldResourceDll();
  LONG DeleteOldResourceId();

  std::unique_ptr<KeyPermissionsGuard>& Guard() { return guard_; }

 private:
  LONG ReadText(const char16_t* name, std::u16string& out);
  LONG DeleteValue(const char16_t* name);

  HKEY key_ = nullptr;
  std::unique_ptr<KeyPermissionsGuard> guard_;
};

// The default run's step: CplDisintegrate with a DebugTraceLogger.
void RunCplDisintegrate();

// Restores the item when it names the maker's library. Win32 code or 0.
LONG CplDisintegrate(CplLogger& logger);

// Whether the item's "ResourceDLL" names the maker's library.
bool IsCplIntegrated(CplLogger& logger);

// Makes the item's key writable for the current user under the key's guard.
LONG GrantCplKeyPermissions(CplKey& key, CplLogger& logger);

// Writes the saved values back and deletes the saved copies.
LONG RestoreOldCPLProperties(CplKey& key, CplLogger& logger);

// Writes the item's library and resource id.
LONG WriteCplProperties(CplKey& key, const std::u16string& library, DWORD resourceId,
                        CplLogger& logger);

}  // namespace Cleanup
