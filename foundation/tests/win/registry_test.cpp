// Registry key deletion in one registry view, including trees whose access
// lists forbid it, checked with Wine's own reg.exe in both views and with
// the Win32 registry and security calls themselves.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/registry_security.h"
#include "security_test_support.h"

namespace {

using namespace Common;
using namespace security_test;

// A security descriptor from its text form, freed at the end of the scope.
class Descriptor {
 public:
  explicit Descriptor(const wchar_t* sddl) {
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd_, nullptr);
  }
  ~Descriptor() {
    if (sd_) LocalFree(sd_);
  }
  PSECURITY_DESCRIPTOR Get() const { return sd_; }

 private:
  PSECURITY_DESCRIPTOR sd_ = nullptr;
};

// Writes parts of a security descriptor given as text onto an open key.
LONG SetKeySecurity(HKEY key, SECURITY_INFORMATION parts, const wchar_t* sddl) {
  Descriptor sd(sddl);
  if (!sd.Get()) return LONG(GetLastError());
  return RegSetKeySecurity(key, parts, sd.Get());
}

LONG SetKeySecurity(const std::wstring& path, REGSAM view, SECURITY_INFORMATION parts,
                    const wchar_t* sddl) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC | WRITE_OWNER | view,
                          &key);
  if (rc != ERROR_SUCCESS) return rc;
  rc = SetKeySecurity(key, parts, sddl);
  RegCloseKey(key);
  return rc;
}

class RegistryTree : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = L"Software\\PurgekitRegistryTreeTest-" + std::to_wstring(GetCurrentProcessId());
    tree_ = base_ + L"\\Tree";
    Wipe();
  }
  void TearDown() override { Wipe(); }

  void Wipe() {
    WipeKey(HKEY_LOCAL_MACHINE, base_, KEY_WOW64_64KEY);
    WipeKey(HKEY_LOCAL_MACHINE, base_, KEY_WOW64_32KEY);
  }

  // Tree\A\A1, Tree\A\A2, Tree\B, and a decoy beside Tree, in one view.
  void MakeTree(REGSAM view) {
    for (const wchar_t* sub : {L"\\A\\A1", L"\\A\\A2", L"\\B"})
      ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, tree_ + sub, view));
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, base_ + L"\\Decoy", view));
  }

  std::wstring Reg(const std::wstring& path) const { return L"HKLM\\" + path; }
  bool Exists(const std::wstring& path, REGSAM view = KEY_WOW64_64KEY) const {
    return KeyExists(HKEY_LOCAL_MACHINE, path, view);
  }

  std::wstring base_;
  std::wstring tree_;
};

TEST_F(RegistryTree, DeletesThe64BitViewOnly) {
  MakeTree(KEY_WOW64_64KEY);
  MakeTree(KEY_WOW64_32KEY);
  ASSERT_TRUE(RegQueryFinds(Reg(tree_ + L"\\A\\A1"), L"64"));
  ASSERT_TRUE(RegQueryFinds(Reg(tree_ + L"\\A\\A1"), L"32"));

  EXPECT_EQ(DeleteRegistryTree(HKEY_LOCAL_MACHINE, U16(tree_).c_str(), KEY_WOW64_64KEY), 0);

  EXPECT_FALSE(RegQueryFinds(Reg(tree_), L"64"));
  EXPECT_TRUE(RegQueryFinds(Reg(base_ + L"\\Decoy"), L"64"));
  EXPECT_TRUE(RegQueryFinds(Reg(tree_ + L"\\A\\A1"), L"32"));
  EXPECT_TRUE(RegQueryFinds(Reg(tree_ + L"\\B"), L"32"));
}

TEST_F(RegistryTree, DeletesThe32BitViewOnly) {
  MakeTree(KEY_WOW64_64KEY);
  MakeTree(KEY_WOW64_32KEY);

  EXPECT_EQ(DeleteRegistryTree(HKEY_LOCAL_MACHINE, U16(tree_).c_str(), KEY_WOW64_32KEY), 0);

  EXPECT_FALSE(RegQueryFinds(Reg(tree_), L"32"));
  EXPECT_TRUE(RegQueryFinds(Reg(base_ + L"\\Decoy"), L"32"));
  EXPECT_TRUE(RegQueryFinds(Reg(tree_ + L"\\A\\A2"), L"64"));
  EXPECT_TRUE(RegQueryFinds(Reg(tree_ + L"\\B"), L"64"));
}

TEST_F(RegistryTree, MissingKeyGivesFileNotFound) {
  EXPECT_EQ(DeleteRegistryTree(HKEY_LOCAL_MACHINE, U16(tree_).c_str(), KEY_WOW64_64KEY),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTree, KeysWhoseAccessListsDenyEveryoneGoInOneCall) {
  MakeTree(KEY_WOW64_64KEY);
  // Deny lists from the leaves up, so that each key can still be reached.
  for (const wchar_t* sub : {L"\\A\\A1", L"\\A", L"\\B", L""})
    ASSERT_EQ(SetKeySecurity(tree_ + sub, KEY_WOW64_64KEY, DACL_SECURITY_INFORMATION,
                             L"D:P(D;;KA;;;WD)"),
              ERROR_SUCCESS);
  HKEY probe = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, tree_.c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                          &probe),
            ERROR_ACCESS_DENIED);

  EXPECT_EQ(DeleteRegistryTree(HKEY_LOCAL_MACHINE, U16(tree_).c_str(), KEY_WOW64_64KEY), 0);

  EXPECT_FALSE(Exists(tree_));
  EXPECT_TRUE(Exists(base_ + L"\\Decoy"));
  EXPECT_TRUE(RegQueryFinds(Reg(base_ + L"\\Decoy"), L"64"));
}

// A subkey owned by SYSTEM with an empty access list cannot be deleted by a
// caller without the take-ownership, restore and backup privileges: the
// subkeys before and after it still go, and the call returns.
TEST_F(RegistryTree, UndeletableSubkeyStopsNothingElse) {
  for (const wchar_t* sub : {L"\\A\\A1", L"\\B-Locked\\L1", L"\\C\\C1", L"\\C\\C2"})
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, tree_ + sub, KEY_WOW64_64KEY));
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, base_ + L"\\Decoy", KEY_WOW64_64KEY));

  // Held open to undo the lock afterwards: a handle keeps the access it was
  // opened with.
  HKEY locked = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (tree_ + L"\\B-Locked").c_str(), 0,
                          KEY_ALL_ACCESS | KEY_WOW64_64KEY, &locked),
            ERROR_SUCCESS);
  {
    PrivilegeStateKeeper keep({"SeRestorePrivilege"});
    ForcePrivilege("SeRestorePrivilege", true);  // to make SYSTEM the owner
    ASSERT_EQ(SetKeySecurity(locked, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                             L"O:SYD:P"),
              ERROR_SUCCESS);
  }

  HANDLE weak = TokenWithout({"SeTakeOwnershipPrivilege", "SeRestorePrivilege",
                              "SeBackupPrivilege", "SeSecurityPrivilege"});
  ASSERT_NE(weak, nullptr);
  ASSERT_TRUE(ImpersonateLoggedOnUser(weak));
  HKEY probe = nullptr;
  const LONG lockedOpen = RegOpenKeyExW(HKEY_LOCAL_MACHINE, (tree_ + L"\\B-Locked").c_str(), 0,
                                        WRITE_DAC | KEY_WOW64_64KEY, &probe);
  const LONG rc = DeleteRegistryTree(HKEY_LOCAL_MACHINE, U16(tree_).c_str(), KEY_WOW64_64KEY);
  RevertToSelf();
  CloseHandle(weak);
  EXPECT_EQ(lockedOpen, ERROR_ACCESS_DENIED) << "the subkey must really be locked";

  EXPECT_NE(rc, 0);
  EXPECT_TRUE(Exists(tree_ + L"\\B-Locked"));
  EXPECT_FALSE(Exists(tree_ + L"\\A"));
  EXPECT_FALSE(Exists(tree_ + L"\\C"));
  EXPECT_TRUE(Exists(base_ + L"\\Decoy"));
  EXPECT_FALSE(RegQueryFinds(Reg(tree_ + L"\\C"), L"64"));
  EXPECT_FALSE(RegQueryFinds(Reg(tree_ + L"\\A"), L"64"));

  // The tree's own key stays, taken over: owned by the user, with one entry
  // granting the user full access.
  HKEY tree = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, tree_.c_str(), 0, READ_CONTROL | KEY_WOW64_64KEY,
                          &tree),
            ERROR_SUCCESS);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetSecurityInfo(tree, SE_REGISTRY_KEY,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &sd),
            DWORD(ERROR_SUCCESS));
  RegCloseKey(tree);
  std::vector<BYTE> user = ProcessUserSid();
  EXPECT_TRUE(EqualSid(owner, user.data()));
  ExpectOnlyUserFullAccess(dacl);
  LocalFree(sd);

  // Unlock for the clean-up.
  EXPECT_EQ(SetKeySecurity(locked, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                           L"O:BAD:(A;CI;KA;;;WD)"),
            ERROR_SUCCESS);
  RegCloseKey(locked);
}

// Taking a key over needs SeTakeOwnershipPrivilege for that step only:
// afterwards it and SeSecurityPrivilege are as they were.
TEST_F(RegistryTree, LeavesOwnershipPrivilegesAsTheyWere) {
  PrivilegeStateKeeper keep({"SeTakeOwnershipPrivilege", "SeSecurityPrivilege"});
  ASSERT_GE(PrivilegeAttributes("SeTakeOwnershipPrivilege"), 0) << "the token holds it";
  for (bool enabledBefore : {false, true}) {
    SCOPED_TRACE(enabledBefore ? "enabled before" : "disabled before");
    ForcePrivilege("SeTakeOwnershipPrivilege", enabledBefore);
    ForcePrivilege("SeSecurityPrivilege", false);
    MakeTree(KEY_WOW64_64KEY);  // subkeys: the first plain delete fails

    EXPECT_EQ(DeleteRegistryTree(HKEY_LOCAL_MACHINE, U16(tree_).c_str(), KEY_WOW64_64KEY), 0);

    EXPECT_FALSE(Exists(tree_));
    EXPECT_EQ(PrivilegeEnabled("SeTakeOwnershipPrivilege"), enabledBefore);
    EXPECT_FALSE(PrivilegeEnabled("SeSecurityPrivilege"));
  }
}

// ------------------------------------------------------ single keys --

TEST_F(RegistryTree, DeleteRegistryKeyViewDeletesInItsViewOnly) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, tree_, KEY_WOW64_64KEY));
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, tree_, KEY_WOW64_32KEY));

  EXPECT_EQ(DeleteRegistryKeyView(HKEY_LOCAL_MACHINE, U16(tree_).c_str(), KEY_WOW64_32KEY), 0);
  EXPECT_FALSE(RegQueryFinds(Reg(tree_), L"32"));
  EXPECT_TRUE(RegQueryFinds(Reg(tree_), L"64"));
  EXPECT_EQ(DeleteRegistryKeyView(HKEY_LOCAL_MACHINE, U16(tree_).c_str(), KEY_WOW64_32KEY),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTree, DeleteRegistryKeyViewLeavesAKeyWithSubkeys) {
  MakeTree(KEY_WOW64_64KEY);
  EXPECT_NE(DeleteRegistryKeyView(HKEY_LOCAL_MACHINE, U16(tree_).c_str(), KEY_WOW64_64KEY), 0);
  EXPECT_TRUE(Exists(tree_ + L"\\A\\A1"));
}

// ------------------------------------------------------------ system --

TEST(System, IsWow64AgreesWithIsWow64Process) {
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_EQ(IsWow64(), wow64 != FALSE);
}

TEST(System, NativeSystemInfoShowsTheNativeProcessor) {
  SYSTEM_INFO own{}, native{}, preferred{};
  GetSystemInfo(&own);
  GetNativeSystemInfo(&native);
  GetSystemInfoNative(preferred, true);
  EXPECT_EQ(preferred.wProcessorArchitecture, native.wProcessorArchitecture);
  SYSTEM_INFO plain{};
  GetSystemInfoNative(plain, false);
  EXPECT_EQ(plain.wProcessorArchitecture, own.wProcessorArchitecture);
  if (IsWow64()) {
    EXPECT_EQ(own.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_INTEL);
    EXPECT_NE(preferred.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_INTEL);
  }
}

}  // namespace
