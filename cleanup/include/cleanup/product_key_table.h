// The maker's own registry keys that the registry mode deletes by name in the
// 64-bit view: the COM servers' ProgIDs, classes, interfaces, applications
// and type libraries, the shell handlers, the main product's installer keys,
// the archive file types and the sync client's icon overlays.
#pragma once

namespace Cleanup {

// Packed (installer key-name) forms of the main product's product code
// {5C8E3A71-94D2-4F0B-A6E3-1B7D29C04F85} and upgrade code
// {6F551552-7D2F-41F9-AC6D-8F2A70EDC497}.
#define QV_MAIN_PRODUCT u"17A3E8C52D49B0F46A3EB1D7920CF458"
#define QV_MAIN_UPGRADE u"255155F6F2D79F14CAD6F8A207DE4C79"
inline constexpr char16_t kMainProductPackedCode[] = QV_MAIN_PRODUCT;
inline constexpr char16_t kMainUpgradePackedCode[] = QV_MAIN_UPGRADE;

// The key under "SOFTWARE\Classes\" that holds the main product's upgrade
// code: a list other products can join, so it is never deleted as a whole.
inline constexpr char16_t kMainUpgradeCodeKey[] =
    u"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\" QV_MAIN_UPGRADE;

// Key paths under HKLM, in deletion order, ended by a null entry.
extern const char16_t* const kProductKeyTable[];

}  // namespace Cleanup
