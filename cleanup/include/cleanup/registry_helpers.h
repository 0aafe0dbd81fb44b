// The registry helpers of the clean-up steps: a shared owner of an open key,
// the process-wide choice of registry view, key opening with full access,
// value writing, enumeration, and sweeps that collect first and delete
// afterwards over the subkeys or values of a key.
//
// They call the Win32 registry functions directly and never throw or report:
// a key that does not open gives an empty holder, every helper does nothing
// for an empty holder, and enumeration and delete failures skip that item.
//
// Windows-only header.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cleanup/registry_text.h"

namespace Cleanup {

// Closes the key and frees its holder cell when the last holder goes.
struct HKeyCloser {
  void operator()(HKEY* key) const;
};

// A shared open registry key; copies share the key and the last one closes
// it. Null (empty) when the key did not open.
using RegistryKeyHolder = std::shared_ptr<HKEY>;

// Names collected by the sweeps, in ascending order of their code units.
using NameSet = std::set<std::u16string>;

// The registry view of every key the helpers open or delete: true selects
// the 64-bit view, false (the start value) the 32-bit view. Each step sets it
// before it opens keys.
extern bool RegistryViewFlag;

// KEY_WOW64_64KEY / KEY_WOW64_32KEY as they stand, on every Windows version.
constexpr REGSAM kRegistryView64 = 0x100;
constexpr REGSAM kRegistryView32 = 0x200;

// The view RegistryViewFlag selects.
REGSAM SelectedRegistryView();

// Opens root\path with KEY_ALL_ACCESS in the selected view. On failure the
// holder is empty and the Win32 code goes to *error when given.
RegistryKeyHolder OpenRegistryKey(HKEY root, const std::u16string& path, LONG* error = nullptr);
// The same relative to an open key; an empty parent gives an empty holder.
RegistryKeyHolder OpenRegistryKey(const RegistryKeyHolder& parent, const std::u16string& path,
                                  LONG* error = nullptr);

// Writes a REG_SZ value, its terminating NUL included. Returns the Win32
// code (ERROR_INVALID_HANDLE for an empty holder).
LONG WriteRegistryString(const RegistryKeyHolder& key, const std::u16string& name,
                         const std::u16string& text);

// The key's number of subkeys or values; false when it cannot be read.
bool CountSubkeys(const RegistryKeyHolder& key, DWORD& count);
bool CountValues(const RegistryKeyHolder& key, DWORD& count);

// The name of the subkey at the index; false at the end or on error.
bool EnumSubkeyName(const RegistryKeyHolder& key, DWORD index, std::u16string& name);

// The name, type and data of the value at the index, each only when asked
// for; asking for nothing succeeds at once. False at the end or on error
// (also for a value name longer than 2047 units).
bool EnumRegistryValue(const RegistryKeyHolder& key, DWORD index, std::u16string* name,
                       DWORD* type, std::vector<uint8_t>* data);

// Deletes each named subkey with its whole tree, in the selected view.
// Failures are ignored; a name that is not a subkey costs one failed delete.
void DeleteSubkeysInSet(const RegistryKeyHolder& key, const NameSet& names);

// Takes the ids out of the subkeys of an installer list whose values are
// named by product codes (component and upgrade-code keys). Such a key is
// shared by every product that uses the component or upgrade code, so only
// the values named by an id (the whole name, IsValueNameOfId) are deleted,
// and the subkey itself only once it holds no value and no subkey any more.
// Ids that are not packed product codes match no value.
void DeleteSubkeysReferencingIds(const RegistryKeyHolder& key, const NameSet& ids);

// The same for one subkey of the key.
void DeleteIdValuesOfSubkey(const RegistryKeyHolder& key, const std::u16string& subkey,
                            const NameSet& ids);

// Deletes every subkey whose first value named exactly "Publisher" holds
// exactly the publisher text (up to its first NUL, letter case counts).
void DeleteSubkeysByPublisher(const RegistryKeyHolder& key, const std::u16string& publisher);

// Deletes every value of the key whose name contains the text (letter case
// counts). Nothing for an empty text.
void DeleteValuesNamedLike(const RegistryKeyHolder& key, const std::u16string& part);

// What CollectInstalledProducts adds for each of the maker's products.
enum InstalledProductFact : int {
  kProductKeyName = 0,   // the product's key name, when it is a packed product code
  kInstallLocation = 1,  // its "InstallLocation"
};

// Adds a fact of each installed product whose "Publisher" is the maker, read
// from the installer's per-machine product list in the selected view.
void CollectInstalledProducts(int selector, NameSet& set);

// Adds the folder of the path held by the value of HKLM\keyPath (up to and
// including its last backslash; the whole text when it has none). Adds
// nothing when the key or value cannot be read or the value is empty.
void AddFolderOfPathValue(const std::u16string& keyPath, const std::u16string& valueName,
                          NameSet& set);

}  // namespace Cleanup
