// The "registry" mode: what Windows Installer and COM registration left of
// the maker's products.
#include <foundation/registry_security.h>

#include "cleanup/product_key_table.h"
#include "cleanup/registry_helpers.h"
#include "cleanup/steps.h"

namespace Cleanup {

namespace {

const std::u16string kUserDataProducts =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products";
const std::u16string kUserDataComponents =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components";

// One pass over the installer's and the shell's lists in the selected view.
void SweepInstallerRecords(const NameSet& ids) {
  // Product and feature keys are named by the packed product code; component
  // and upgrade-code keys are shared lists whose values name the products.
  DeleteSubkeysInSet(OpenRegistryKey(HKEY_CLASSES_ROOT, u"Installer\\Features"), ids);
  DeleteSubkeysInSet(OpenRegistryKey(HKEY_CLASSES_ROOT, u"Installer\\Products"), ids);
  DeleteSubkeysReferencingIds(OpenRegistryKey(HKEY_CLASSES_ROOT, u"Installer\\UpgradeCodes"),
                              ids);
  DeleteSubkeysInSet(OpenRegistryKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Installer\\Features"),
                     ids);
  DeleteSubkeysInSet(OpenRegistryKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Installer\\Products"),
                     ids);
  DeleteSubkeysReferencingIds(
      OpenRegistryKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Installer\\UpgradeCodes"), ids);
  DeleteSubkeysInSet(OpenRegistryKey(HKEY_LOCAL_MACHINE, kUserDataProducts), ids);
  DeleteSubkeysReferencingIds(OpenRegistryKey(HKEY_LOCAL_MACHINE, kUserDataComponents), ids);
  DeleteSubkeysReferencingIds(
      OpenRegistryKey(HKEY_LOCAL_MACHINE,
                      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes"),
      ids);

  DeleteSubkeysByPublisher(
      OpenRegistryKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"),
      kMakerName);
  DeleteValuesNamedLike(
      OpenRegistryKey(HKEY_LOCAL_MACHINE,
                      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders"),
      kMakerName);
  DeleteValuesNamedLike(
      OpenRegistryKey(HKEY_LOCAL_MACHINE,
                      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs"),
      kMakerName);
  DeleteValuesNamedLike(
      OpenRegistryKey(HKEY_CURRENT_USER,
                      u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage\\NewShortcuts"),
      kMakerName);

  // The products turn this policy on for their network targets; nobody can
  // tell afterwards who else wanted it, so it goes.
  const RegistryKeyHolder policies = OpenRegistryKey(
      HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System");
  if (policies) RegDeleteValueW(*policies, L"EnableLinkedConnections");
}

// The products' own COM, shell and file-type keys, by name, in the 64-bit
// view (where 64-bit Explorer finds them).
void DeleteProductKeys(const NameSet& ids) {
  const std::u16string upgradeCodeKey(kMainUpgradeCodeKey);
  for (const char16_t* const* row = kProductKeyTable; *row != nullptr; ++row) {
    const std::u16string path(*row);
    if (path != upgradeCodeKey) {
      Common::DeleteRegistryTree(HKEY_LOCAL_MACHINE, path.c_str(), kRegistryView64);
      continue;
    }
    // Other products may share the main product's upgrade code: only the
    // maker's entries go, and the key with them once it is empty. The main
    // product counts even when its installer record is already gone.
    NameSet makerIds = ids;
    makerIds.insert(kMainProductPackedCode);
    const std::size_t slash = path.rfind(u'\\');
    DeleteIdValuesOfSubkey(OpenRegistryKey(HKEY_LOCAL_MACHINE, path.substr(0, slash)),
                           path.substr(slash + 1), makerIds);
  }
}

}  // namespace

void RemoveInstallerRegistration() {
  RegistryViewFlag = Common::IsWow64();
  NameSet ids;
  CollectInstalledProducts(kProductKeyName, ids);

  const bool wow64 = RegistryViewFlag;
  if (wow64) {
    RegistryViewFlag = true;
    SweepInstallerRecords(ids);
  }
  RegistryViewFlag = false;
  SweepInstallerRecords(ids);

  if (wow64) {
    RegistryViewFlag = true;
    DeleteProductKeys(ids);
  }
}

}  // namespace Cleanup
