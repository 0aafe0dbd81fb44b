// Text handling shared by the registry sweeps: registry string data as
// UTF-16 text, and the two comparisons the sweeps match names with.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace Cleanup
