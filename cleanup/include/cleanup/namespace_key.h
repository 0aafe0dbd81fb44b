// The text type of the namespace-key step and the path it builds.
//
// Portable: builds with ICU in both builds.
#pragma once

#include <unicode/unistr.h>

namespace Processor {

// UTF-16 text on ICU's string; it adds only its virtual destructor.
class String : public icu::UnicodeString {
 public:
  using icu::UnicodeString::UnicodeString;
  String() = default;
  String(const icu::UnicodeString& text) : icu::UnicodeString(text) {}
  ~String() override;
};

}  // namespace Processor

namespace Cleanup {

// "SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\MyComputer\NameSpace\"
// followed by the class id of the products' namespace extension, relative to
// HKEY_LOCAL_MACHINE.
Processor::String MakeNameSpaceKeyPath();

}  // namespace Cleanup
