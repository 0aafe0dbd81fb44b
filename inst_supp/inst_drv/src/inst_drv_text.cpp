#include "inst_drv/inst_drv_text.h"

#include <cstring>

namespace InstDrv {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool AsciiEqualsNoCase(const char* text, std::size_t length, const char* entry) {
  if (std::strlen(entry) != length) return false;
  for (std::size_t i = 0; i < length; ++i)
    if (Lower(text[i]) != Lower(entry[i])) return false;
  return true;
}

std::size_t RemoveMultiSzEntry(char* data, std::size_t size, const char* entry, bool firstOnly,
                               EntryEquals equals) {
  std::size_t at = 0;
  while (at < size) {
    std::size_t end = at;
    while (end < size && data[end] != '\0') ++end;
    const std::size_t length = end - at;
    if (length == 0) break;
    if (equals(data + at, length, entry)) {
      // The string and its terminator (when the data hold one).
      const std::size_t cut = (end < size) ? length + 1 : length;
      std::memmove(data + at, data + at + cut, size - at - cut);
      size -= cut;
      if (firstOnly) break;
      continue;  // the next string moved into place
    }
    at = end + 1;
  }
  return size;
}

std::u16string UninstallParameters(const std::u16string* description, std::uint16_t instance,
                                   const std::u16string& infPath, bool log) {
  std::u16string out = u"/uninstall: ";
  if (description != nullptr) out += u"/descr:\"" + *description + u"\" ";
  out += u"/instance:";
  for (char c : std::to_string(instance)) out += static_cast<char16_t>(c);
  out += u" /inf-name:\"" + infPath + u"\" ";
  if (log) out += u" /log";
  return out;
}

std::string NumberedName(const std::string& name, std::uint32_t number) {
  return name + std::to_string(number);
}

std::string ReplaceAll(const std::string& text, const std::string& find,
                       const std::string& replacement) {
  if (find.empty()) return text;
  std::string out;
  std::size_t at = 0;
  for (;;) {
    std::size_t hit = text.find(find, at);
    if (hit == std::string::npos) break;
    out.append(text, at, hit - at);
    out += replacement;
    at = hit + find.size();
  }
  out.append(text, at, std::string::npos);
  return out;
}

std::size_t FindFirst(const std::string& text, const std::string& find) {
  if (find.empty()) return std::string::npos;
  return text.find(find);
}

}  // namespace InstDrv
