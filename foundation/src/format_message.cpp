// The placeholder formatter and its four subformats.
#include "foundation/format_message.h"

#include <clocale>
#include <cstdio>

#include "foundation/message_table.h"
#include "foundation/text.h"

namespace Fdisk {
namespace {

// The catalog's text, or the built-in one while the catalog has none.
const char16_t* MessageText(uint32_t number, const char16_t* builtIn) {
  const char16_t* text = CatalogText(number);
  return text ? text : builtIn;
}

std::u16string Widen(const char* bytes) {
  std::u16string s;
  for (; *bytes; ++bytes) s += static_cast<char16_t>(static_cast<unsigned char>(*bytes));
  return s;
}

// A number read from text: the value of its digits before the first bad
// character; an empty text reads as ifEmpty.
uint64_t NumberOf(const std::u16string& text, uint64_t ifEmpty) {
  uint64_t value = ifEmpty;
  Common::ParseInteger64(value, text, 10);
  return value;
}

// -1, 0 or 1 as a is below, equal to or above b, read as numbers (an empty
// text as the largest value).
int CompareIntegerTexts(const std::u16string& a, const std::u16string& b) {
  const uint64_t va = NumberOf(a, UINT64_MAX);
  const uint64_t vb = NumberOf(b, UINT64_MAX);
  return va < vb ? -1 : va > vb ? 1 : 0;
}

// Cuts text after the given number of decimals, or before the decimal point
// when decimals is 0. A text without the run-time library's decimal point
// stays as it is.
std::u16string CutDecimals(std::u16string text, uint64_t decimals) {
  const lconv* conv = std::localeconv();
  const std::u16string point =
      conv && conv->decimal_point && *conv->decimal_point ? Widen(conv->decimal_point) : u".";
  const std::size_t at = text.find(point);
  if (at == std::u16string::npos) return text;
  if (decimals == 0) {
    text.resize(at);
  } else {
    const std::size_t digits = text.size() - at - point.size();
    if (decimals < digits) text.resize(at + point.size() + static_cast<std::size_t>(decimals));
  }
  return text;
}

constexpr char16_t kQuote = 0xF800;
constexpr char16_t kLessOrEqual = 0x2264;

// A choice segment matches when one of its operator characters holds for the
// argument against the limit; its text is then appended. The result is the
// length of out, 0 when nothing matched or out is still empty.
int EvaluateChoiceSegment(const std::u16string& argument, const std::u16string& limit,
                          const std::u16string& op, const std::u16string& text,
                          std::u16string& out) {
  const int c = CompareIntegerTexts(argument, limit);
  for (char16_t ch : op) {
    const bool match = ((ch == u'#' || ch == kLessOrEqual) && c == 0) ||
                       (ch == u'<' && c == 1) || (ch == u'>' && c == -1);
    if (match) {
      out += text;
      return static_cast<int>(out.size());
    }
  }
  return 0;
}

}  // namespace

int SubformatSimple::Format(const std::u16string& argument, std::u16string& out,
                            const std::u16string&) {
  out = argument;
  return static_cast<int>(out.size());
}

int SubformatChoice::Format(const std::u16string& argument, std::u16string& out,
                            const std::u16string& parameters) {
  std::u16string parts[3];  // limit, operator characters, text
  int part = 0;
  bool quoting = false;
  for (char16_t ch : parameters) {
    if (ch == kQuote) {
      quoting = !quoting;
      if (part == 1) part = 2;
      continue;
    }
    if (quoting) {
      parts[part] += ch;
      continue;
    }
    switch (ch) {
      case u'#':
      case u'>':
      case kLessOrEqual:
        if (part != 2) part = 1;
        parts[part] += ch;
        break;
      case u'<':
        part = part == 0 ? 1 : 2;
        parts[part] += ch;
        break;
      case u' ':
        if (part == 1) part = 2;
        if (part == 2) parts[2] += ch;
        break;
      case u'|':
        if (part == 0) {
          parts[0] += ch;
          break;
        }
        if (int result = EvaluateChoiceSegment(argument, parts[0], parts[1], parts[2], out))
          return result;
        for (auto& p : parts) p.clear();
        part = 0;
        break;
      default:
        if (part == 1) part = 2;
        parts[part] += ch;
        break;
    }
  }
  return EvaluateChoiceSegment(argument, parts[0], parts[1], parts[2], out);
}

int SubformatBytesize::Format(const std::u16string& argument, std::u16string& out,
                              const std::u16string& parameters) {
  static const struct {
    uint32_t number;
    const char16_t* word;
  } kUnits[] = {{kMessageBytes, u"Bytes"}, {kMessageKB, u"KB"}, {kMessageMB, u"MB"},
                {kMessageGB, u"GB"},       {kMessageTB, u"TB"}};
  double value = static_cast<double>(NumberOf(argument, 0));
  const uint64_t decimals = NumberOf(parameters, 0);
  std::size_t steps = 0;
  while (value >= 1024.0) {
    value *= 0.0009765625;
    ++steps;
  }
  char printed[64];
  std::snprintf(printed, sizeof printed, "%f", value);
  std::u16string number = CutDecimals(Widen(printed), decimals);
  if (steps == 0) number = CutDecimals(number, 0);  // byte counts show no decimals
  out = number;
  out += u' ';
  if (steps < sizeof kUnits / sizeof kUnits[0])
    out += MessageText(kUnits[steps].number, kUnits[steps].word);
  return static_cast<int>(out.size());
}

int SubformatCurrency::Format(const std::u16string& argument, std::u16string& out,
                              const std::u16string& parameters) {
  const uint64_t decimals = NumberOf(parameters, 0);
  out = decimals == 0 ? argument : CutDecimals(argument, decimals);
  return static_cast<int>(out.size());
}

FormatMessage::FormatMessage(std::u16string_view pattern) : std::u16string(pattern) {
  RegisterSubformat(u"simple", std::make_unique<SubformatSimple>());
  RegisterSubformat(u"choice", std::make_unique<SubformatChoice>());
  RegisterSubformat(u"bytesize", std::make_unique<SubformatBytesize>());
  RegisterSubformat(u"currency", std::make_unique<SubformatCurrency>());
}

void FormatMessage::RegisterSubformat(const std::u16string& name,
                                      std::unique_ptr<SubformatBase> subformat) {
  if (subformat)
    subformats_[name] = std::move(subformat);
  else
    subformats_.erase(name);
}

FormatMessage& FormatMessage::operator%(const std::u16string& argument) {
  return *this % std::u16string_view(argument);
}

FormatMessage& FormatMessage::operator%(std::u16string_view argument) {
  Substitute(argument);
  ++counter_;
  return *this;
}

FormatMessage& FormatMessage::operator%(const char16_t* argument) {
  return *this % (argument ? std::u16string_view(argument) : std::u16string_view());
}

#if defined(_WIN32)
FormatMessage& FormatMessage::operator%(const wchar_t* argument) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");
  return *this % reinterpret_cast<const char16_t*>(argument);
}
#endif

FormatMessage& FormatMessage::FeedSigned(long long value) {
  char printed[32];
  std::snprintf(printed, sizeof printed, "%lld", value);
  return *this % Widen(printed);
}

FormatMessage& FormatMessage::FeedUnsigned(unsigned long long value) {
  char printed[32];
  std::snprintf(printed, sizeof printed, "%llu", value);
  return *this % Widen(printed);
}

std::u16string FormatMessage::NextToken(size_type& pos) const {
  const std::u16string& text = *this;
  if (pos >= text.size()) {
    pos = npos;
    return {};
  }
  if (text[pos] == u'}') return {};
  int depth = 0;
  for (size_type i = pos + 1; i < text.size(); ++i) {
    const char16_t ch = text[i];
    if (ch == u'{') {
      ++depth;
    } else if ((ch == u'}' || ch == u',') && depth == 0) {
      std::u16string token = text.substr(pos + 1, i - pos - 1);
      pos = i;
      return token;
    } else if (ch == u'}') {
      --depth;
    }
  }
  pos = npos;
  return {};
}

void FormatMessage::Substitute(std::u16string_view argumentView) {
  const std::u16string argument(argumentView);
  size_type brace = find(u'{');
  while (brace != npos) {
    size_type pos = brace;
    const std::u16string index = NextToken(pos);
    if (pos == npos) return;  // unterminated: the rest stays as it is
    uint64_t value = 0;
    if (!Common::ParseInteger64(value, index, 10) || static_cast<uint32_t>(value) != counter_) {
      brace = find(u'{', pos + 1);
      continue;
    }
    std::u16string name = NextToken(pos);
    if (pos == npos) return;
    const std::u16string parameters = NextToken(pos);
    if (pos == npos) return;
    const size_type first = name.find_first_not_of(u' ');
    name = first == npos ? std::u16string(u"simple")
                         : name.substr(first, name.find_last_not_of(u' ') - first + 1);
    std::u16string out;
    const auto it = subformats_.find(name);
    if (it != subformats_.end()) it->second->Format(argument, out, parameters);
    // The placeholder up to its last delimiter gives way to out; the search
    // goes on after out, so inserted text is never scanned again for this
    // argument.
    replace(brace, pos + 1 - brace, out);
    brace = find(u'{', brace + out.size());
  }
}

}  // namespace Fdisk
