// The check that stands between a folder path read from the registry and the
// deletion of that folder's whole tree.
//
// The file mode takes its folders from installer records and program paths
// that any software (or a damaged installation) may have written. A value
// such as "C:\x.exe" names the folder "C:\", a value without a backslash
// names a path relative to the current directory, and "C:\Windows\WinSxS" or
// "C:\Users\ann\Documents" lie inside what the system or a user owns. Only
// paths that plainly belong to an installed program pass.
//
// Portable: the system's folders are handed in by the caller, and
// the disk is looked at through the directory interfaces.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class i_dir;

namespace Cleanup {

// The folders the system owns, as the caller found them. Paths that are not
// absolute drive paths (a folder the system did not report, say) are
// ignored. Where one folder is listed in two roles (the all-users profile
// that is also the all-users application-data folder), the install root
// decides.
struct SystemFolders {
  // The Windows folder and the system folders: nothing at, above or
  // anywhere below them.
  std::vector<std::u16string> system;
  // Where programs keep folders of their own: the program-files and
  // common-files folders of both views, the all-users application-data
  // folder and each profile's roaming and local application-data folders.
  // A folder at least one level below one may go, unless it is one the
  // operating system keeps there (OperatingSystemFolderName).
  std::vector<std::u16string> installRoots;
  // The profiles folder, every profile, the all-users profile and its
  // desktop, documents and start-menu folders, and the like: nothing at,
  // above or below them, except inside an install root that lies deeper.
  std::vector<std::u16string> refused;
};

// Whether a folder directly inside an install root is one the operating
// system keeps there ("Microsoft", "Microsoft Shared", "Windows Defender",
// "Internet Explorer" and the like), compared without regard to case.
bool OperatingSystemFolderName(std::u16string_view name);

// The canonical form of a folder path that may be deleted, or nothing.
//
// A path passes when it is an absolute drive path ("X:\...", '/' counted as
// a separator) whose components are ordinary names (no "." or "..", no empty
// component inside, none ending in a dot or a blank, which Windows would
// strip, no wildcard, stream, device-path or control characters), when it
// neither is nor holds any of the folders, when it lies below no system
// folder, and when
//   - the deepest of the install roots and refused folders that holds it is
//     an install root, and its component right below that root is not an
//     operating-system folder; or
//   - no listed folder holds it, and it lies at least two levels below the
//     drive root.
// Folders are compared without regard to letter case, with the system's
// case mapping under Windows and the built-in one of the Basic Multilingual
// Plane elsewhere.
//
// The canonical form uses '\' throughout and ends with one '\'
// ("C:\Program Files\Maker\").
std::optional<std::u16string> RemovableFolder(std::u16string_view path,
                                              const SystemFolders& folders);

// The folder that RemovableFolder allows, as it stands on the disk, or
// nothing. `base` is a directory that opens absolute paths (the
// current-directory object, or any of its family).
//
// Every level from the first folder below the drive root down to the folder
// itself is looked up in the level above it. The folder is refused when a
// level is missing or cannot be looked up, or is anything but an ordinary
// folder: a junction, a symbolic link, any other reparse point, a file.
// Whatever lies below such a level belongs to wherever it leads:
// "C:\Documents and Settings\bob\" is bob's profile when "Documents and
// Settings" is a junction to C:\Users.
//
// The answer is spelled as the file system spells each level (long names,
// in its letter case), and that spelling has to pass RemovableFolder as
// well, so that an 8.3 alias of a protected folder ("C:\Users\ANNSMI~1")
// is judged as that folder.
std::optional<std::u16string> ExistingRemovableFolder(i_dir& base, std::u16string_view path,
                                                      const SystemFolders& folders);

#ifdef _WIN32
// Removes the folder with everything in it, as the file mode does (Windows
// build only): read-only, hidden and system attributes are cleared on the
// folder, its ordinary subfolders and its files, then the tree goes (what
// cannot be deleted stays). Junctions and links inside are removed as
// entries, neither entered nor given attributes, which would land on
// whatever they lead to. `base` opens absolute paths.
void RemoveFolderTree(i_dir& base, const std::u16string& folder);
#endif

// The key under which two canonical folder paths name the same folder when
// they differ only in letter case (the same case mapping as above).
std::u16string FolderIdentity(std::u16string_view canonicalPath);

}  // namespace Cleanup
