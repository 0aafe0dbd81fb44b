// Fdisk::FormatMessage: builds a text from a pattern with numbered
// placeholders, the way the system's log lines and messages are made.
//
//   Fdisk::FormatMessage text(u"Disk {0} has {1,bytesize,2} free");
//   text % 3 % u"1610612736";   // text == u"Disk 3 has 1.50 GB free"
//
// A placeholder {N} inserts argument N unchanged; {N, name, parameters}
// passes it through the subformat registered under name ("simple",
// "choice", "bytesize", "currency"). Indexes and numeric parameters are read
// by Common::ParseInteger64 (so 0x1 and 1h are 1). Arguments are fed in order
// with operator%; each one replaces the placeholders of its index and is
// inserted as it is: text that an argument inserts is never scanned for that
// argument's placeholders again. Placeholders that no argument reaches, or
// that are not well formed, stay in the text. The formatter reports nothing
// and never reads outside its text.
//
// <windows.h> defines FormatMessage as a macro. This header removes that
// macro when it finds it (call FormatMessageW by that name in such a file);
// when <windows.h> comes later, the macro's names FormatMessageW and
// FormatMessageA below are aliases of the class, so Fdisk::FormatMessage
// still names it.
#pragma once

#if defined(FormatMessage)
#undef FormatMessage
#endif

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace Fdisk {

// A named way of turning an argument into the text that replaces its
// placeholder.
class SubformatBase {
 public:
  virtual ~SubformatBase() = default;
  // Fills out (empty on entry) from the argument and the placeholder's
  // parameter text. The result is not used by the formatter.
  virtual int Format(const std::u16string& argument, std::u16string& out,
                     const std::u16string& parameters) = 0;
};

// The argument unchanged.
class SubformatSimple : public SubformatBase {
 public:
  int Format(const std::u16string& argument, std::u16string& out,
             const std::u16string& parameters) override;
};

// Picks a text by comparing the argument (a number) with limits. Parameters:
// segments separated by '|', each a limit, operator characters and a text:
// '#' or U+2264 match argument == limit, '<' argument > limit, '>' argument <
// limit ("1<many" means more than 1). The first matching segment with a
// non-empty text wins. Between two U+F800 characters every character is
// literal text.
class SubformatChoice : public SubformatBase {
 public:
  int Format(const std::u16string& argument, std::u16string& out,
             const std::u16string& parameters) override;
};

// A byte count scaled by 1024 to KB, MB, GB or TB with the catalog's unit
// words; the parameter is the number of decimals (byte counts show none).
class SubformatBytesize : public SubformatBase {
 public:
  int Format(const std::u16string& argument, std::u16string& out,
             const std::u16string& parameters) override;
};

// A decimal text cut (not rounded) to the number of decimals the parameter
// gives; no parameter or 0 leaves it unchanged.
class SubformatCurrency : public SubformatBase {
 public:
  int Format(const std::u16string& argument, std::u16string& out,
             const std::u16string& parameters) override;
};

class FormatMessage : public std::u16string {
 public:
  explicit FormatMessage(std::u16string_view pattern);
  virtual ~FormatMessage() = default;
  FormatMessage(const FormatMessage&) = delete;
  FormatMessage& operator=(const FormatMessage&) = delete;

  // The formatter owns the subformat; one registered under the same name
  // (exact, case-sensitive) is replaced. A null subformat removes the name.
  void RegisterSubformat(const std::u16string& name, std::unique_ptr<SubformatBase> subformat);

  // Feeds the next argument.
  FormatMessage& operator%(const std::u16string& argument);
  FormatMessage& operator%(std::u16string_view argument);
  FormatMessage& operator%(const char16_t* argument);  // null is ""
#if defined(_WIN32)
  FormatMessage& operator%(const wchar_t* argument);  // null is ""
#endif
  // Integers are written in decimal.
  template <class T, std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value &&
                                          !std::is_same<T, char>::value &&
                                          !std::is_same<T, char16_t>::value &&
                                          !std::is_same<T, char32_t>::value &&
                                          !std::is_same<T, wchar_t>::value,
                                      int> = 0>
  FormatMessage& operator%(T value) {
    if (std::is_signed<T>::value)
      return FeedSigned(static_cast<long long>(value));
    return FeedUnsigned(static_cast<unsigned long long>(value));
  }

  // Replaces the placeholders of the current argument index with argument.
  void Substitute(std::u16string_view argument);

  // The text of the placeholder part that starts after position pos (at a
  // '{' or at the delimiter that ended the previous part) and ends at the
  // next ',' or '}' outside nested braces; pos then points at that
  // delimiter. At a '}' the part is empty and pos stays. When the text ends
  // first, or pos is outside the text, the part is empty and pos becomes
  // npos.
  std::u16string NextToken(size_type& pos) const;

  // The next argument's index.
  uint32_t ArgumentIndex() const { return counter_; }

 private:
  FormatMessage& FeedSigned(long long value);
  FormatMessage& FeedUnsigned(unsigned long long value);

  std::map<std::u16string, std::unique_ptr<SubformatBase>> subformats_;
  uint32_t counter_ = 0;
};

// The macro names of <windows.h>, should it be included after this header.
using FormatMessageW = FormatMessage;
using FormatMessageA = FormatMessage;

// Catalog numbers of the "bytesize" unit words (foundation/message_table.h);
// before the catalog is loaded, and for an empty slot, the English words
// serve.
constexpr uint32_t kMessageBytes = 1338;
constexpr uint32_t kMessageGB = 1339;
constexpr uint32_t kMessageKB = 1340;
constexpr uint32_t kMessageMB = 1341;
constexpr uint32_t kMessageTB = 1342;

}  // namespace Fdisk
