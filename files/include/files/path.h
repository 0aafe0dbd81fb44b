// Canonical Windows paths, the same on every host.
//
// A canonical directory path is either empty (the root of everything: the
// directory whose entries are the drives) or absolute and ending with '\':
// "C:\Windows\", "\\server\share\dir\", "\\?\Volume{...}\". Long forms given
// by callers ("\\?\C:\...", "\\?\UNC\server\share\...") are turned into the
// drive and UNC forms; the device form "\\.\" is read as the same long
// form ("\\.\C:\x" is C:\x\, "\\.\pipe\x" is \\?\pipe\x\), never as a
// server named ".". The NT directory adds the long prefix back at its
// system calls, so a canonical path has no length limit beyond 255
// characters per component.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Resolves `name` against the canonical directory path `base` into `out`.
// '\' and '/' separate; "." and ".." are applied; repeated separators
// collapse; trailing blanks and dots of a component are dropped. With
// `allow_streams` one ':' may introduce a stream name: "f.txt:s" against the
// base "C:\" gives "C:\f.txt:s\". Fails (false, `out` untouched) on an empty or null
// name, the characters 1-31 " * < > ? |, a component that is empty after
// trimming or longer than 255 characters, a name below the root of
// everything, a stream without a rooted path, or a bare "\\" or "\\?\".
// `out` may be the same string as `base`.
bool ResolvePath(std::u16string_view base, std::u16string& out, const char16_t* name,
                 bool allow_streams);

// The number of leading characters of `path` that form its root: 0 for a
// path of 2 characters or fewer; 3 ("X:\") for a longer path not starting
// with '\'; for one starting with '\', the length up to and including the
// third '\' after the first character (\\server\share\, \\?\name\), 0 when
// there is no such '\'.
std::size_t RootLength(std::u16string_view path) noexcept;

// With `drive_form`: exactly "X:" with X an ASCII letter. Otherwise: no
// character 1-31 " * / : < > ? \ |, and at least one character other than
// ' ' and '.'. Null is not valid.
bool IsValidFileName(const char16_t* name, bool drive_form) noexcept;
