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

namespace {

bool IsHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

}  // namespace

bool IsPackedProductCode(std::u16string_view text) {
  if (text.size() != 32) return false;
  for (char16_t c : text)
    if (!IsHexDigit(c)) return false;
  return true;
}

bool IsValueNameOfId(std::u16string_view valueName, std::u16string_view id) {
  if (!IsPackedProductCode(id) || valueName.size() != id.size()) return false;
  for (std::size_t i = 0; i < id.size(); ++i)
    if (AsciiUpper(valueName[i]) != AsciiUpper(id[i])) return false;
  return true;
}

std::optional<std::string> VersionedFilterSuffix(std::u16string_view serviceName) {
  constexpr std::u16string_view kName = u"TOLBRIN";
  if (serviceName.size() < kName.size()) return std::nullopt;
  for (std::size_t i = 0; i < kName.size(); ++i)
    if (AsciiUpper(serviceName[i]) != kName[i]) return std::nullopt;
  std::string suffix;
  for (char16_t c : serviceName.substr(kName.size())) {
    if (c < u'0' || c > u'9') return std::nullopt;
    suffix += static_cast<char>(c);
  }
  return suffix;
}

}  // namespace Cleanup
