#include "cleanup/registry_text.h"

#include <cwctype>

namespace Cleanup {

bool RegistryDataToText(const std::vector<uint8_t>& data, std::u16string& text) {
  if (data.size() % 2 != 0) return false;
  std::u16string result(data.size() / 2, u'\0');
  for (std::size_t i = 0; i < result.size(); ++i)
    result[i] = char16_t(data[2 * i] | data[2 * i + 1] << 8);
  text.swap(result);
  return true;
}

std::u16string_view UpToFirstNul(std::u16string_view text) {
  const std::size_t nul = text.find(u'\0');
  return nul == std::u16string_view::npos ? text : text.substr(0, nul);
}

bool IsEmptyText(std::u16string_view text) {
  return text.find_first_not_of(u'\0') == std::u16string_view::npos;
}

namespace {

std::u16string Lowered(std::u16string_view text) {
  std::u16string lowered(text);
  for (char16_t& c : lowered) c = char16_t(std::towlower(std::wint_t(c)));
  return lowered;
}

}  // namespace

bool ContainsNoCase(std::u16string_view text, std::u16string_view part) {
  return Lowered(text).find(Lowered(part)) != std::u16string::npos;
}

}  // namespace Cleanup
