// Text handling shared by the registry sweeps: registry string data as
// UTF-16 text, and the two comparisons the sweeps match names with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Cleanup {

// The maker whose products the clean-up removes, as its installers write it
// into "Publisher" values.
inline constexpr char16_t kMakerName[] = u"Quorvel";

// The bytes of registry string data taken as UTF-16 text (little-endian
// units; a stored terminating NUL stays part of the text). Empty data gives an
// empty text. An odd byte count is not UTF-16: false, text unchanged.
bool RegistryDataToText(const std::vector<uint8_t>& data, std::u16string& text);

// The text up to its first NUL (all of it when it has none).
std::u16string_view UpToFirstNul(std::u16string_view text);

// True when the text is empty or holds only NUL units.
bool IsEmptyText(std::u16string_view text);

// Whether part occurs in text when both are lower-cased unit by unit with
// towlower. An empty part occurs in every text.
bool ContainsNoCase(std::u16string_view text, std::u16string_view part);

// Whether the text is a packed product code, the form the installer names
// its product keys and the values of its shared lists with: exactly 32
// hexadecimal digits (either letter case), nothing else.
bool IsPackedProductCode(std::u16string_view text);

// Whether a value name of a shared installer list (components, upgrade
// codes) is the packed product code `id`: the whole name, hexadecimal
// letters compared without regard to case. A name that merely holds the id,
// or that is a part of it, is another product's.
bool IsValueNameOfId(std::u16string_view valueName, std::u16string_view id);

// The build suffix of the versioned disk filter when `serviceName` is its
// service key: "tolbrin" (any letter case) followed by ASCII digits only
// and nothing else. "tolbrin" alone gives an empty suffix; any other name is
// not the filter and gives nothing. The suffix goes into a command line and
// an .inf file, so nothing but digits may pass.
std::optional<std::string> VersionedFilterSuffix(std::u16string_view serviceName);

}  // namespace Cleanup
