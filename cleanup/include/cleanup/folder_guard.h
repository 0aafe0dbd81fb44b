// The check that stands between a folder path read from the registry and the
// deletion of that folder's whole tree.
//
// The file mode takes its folders from installer records and program paths
// that any software (or a damaged installation) may have written. A value
// such as "C:\x.exe" names the folder "C:\", a value without a backslash
// names a path relative to the current directory, and "C:\Windows" names the
// system. Only paths that plainly belong to an installed program pass.
//
// Portable: the system folders to protect are handed in by the caller.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Cleanup {

// The canonical form of a folder path that may be deleted, or nothing.
//
// A path passes when it is an absolute drive path ("X:\...", '/' counted as
// a separator) whose components are ordinary names (no "." or "..", no empty
// component inside, none ending in a dot or a blank, which Windows would
// strip, no wildcard, stream, device-path or control characters), at least
// two levels below the drive root, and when it neither is nor contains any
// of the protected folders (compared without regard to ASCII letter case).
// Protected folders that are not themselves absolute drive paths are
// ignored.
//
// The canonical form uses '\' throughout and ends with one '\'
// ("C:\Program Files\Maker\").
std::optional<std::u16string> RemovableFolder(std::u16string_view path,
                                              const std::vector<std::u16string>& protectedFolders);

// The key under which two canonical folder paths name the same folder when
// they differ only in ASCII letter case.
std::u16string FolderIdentity(std::u16string_view canonicalPath);

}  // namespace Cleanup
