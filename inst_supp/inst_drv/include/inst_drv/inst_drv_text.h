// The portable text work of the driver-uninstall helper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace InstDrv {

// Compares `length` bytes of `text` with the NUL-terminated `entry`, letter
// case ignored; true when they are equal and of the same length.
using EntryEquals = bool (*)(const char* text, std::size_t length, const char* entry);

// ASCII letters compared without regard to case, other bytes as they are.
bool AsciiEqualsNoCase(const char* text, std::size_t length, const char* entry);

// Takes `entry` out of the multi-string held in data[0, size): every string
// equal to it, or only the first with `firstOnly`. The strings after a cut
// move down. The walk never reads beyond `size`, whether or not the data end
// with their terminating NULs, and stops at the first empty string (the
// list's end). Returns the new size.
std::size_t RemoveMultiSzEntry(char* data, std::size_t size, const char* entry, bool firstOnly,
                               EntryEquals equals = &AsciiEqualsNoCase);

// The helper program's parameters: "/uninstall: ", then "/descr:\"<d>\" "
// when a description is given, "/instance:<n> ", "/inf-name:\"<path>\" ",
// and " /log" with the log flag.
std::u16string UninstallParameters(const std::u16string* description, std::uint16_t instance,
                                   const std::u16string& infPath, bool log);

// The name followed by the number in decimal.
std::string NumberedName(const std::string& name, std::uint32_t number);

// Every occurrence of `find`, searched left to right, replaced; a
// replacement is never searched again. An empty `find` changes nothing.
std::string ReplaceAll(const std::string& text, const std::string& find,
                       const std::string& replacement);

// Where the first occurrence of `find` starts, or npos (also for an empty
// `find`).
std::size_t FindFirst(const std::string& text, const std::string& find);

}  // namespace InstDrv
