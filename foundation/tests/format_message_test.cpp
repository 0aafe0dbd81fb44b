// The placeholder formatter.
#if defined(_WIN32)
// <windows.h> first: the header must cope with its FormatMessage macro.
#include <windows.h>
#endif

#include "foundation/format_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/message_table.h"

namespace {

using Fdisk::FormatMessage;

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char buf[12];
      std::snprintf(buf, sizeof buf, "\\u%04X", unsigned(c));
      out += buf;
    }
  }
  return out;
}

std::u16string Format(const std::u16string& pattern, const std::vector<std::u16string>& args) {
  FormatMessage text(pattern);
  for (const auto& a : args) text % a;
  return text;
}

struct Case {
  std::u16string pattern;
  std::vector<std::u16string> args;
  std::u16string result;
};

// The worked examples of every subformat, and how placeholders are found.
TEST(FormatMessageTest, Table) {
  const std::u16string q(1, char16_t(0xF800));  // quoting mark of "choice"
  const Case cases[] = {
      // plain placeholders and "simple"
      {u"{0, simple}", {u"abc"}, u"abc"},
      {u"{0,}", {u"abc"}, u"abc"},
      {u"{0}", {u"abc"}, u"abc"},
      {u"{0,simple}", {u"abc"}, u"abc"},
      {u"{0,  simple  }", {u"abc"}, u"abc"},
      {u"{0,nosuch}", {u"abc"}, u""},
      {u"{0,Simple}", {u"abc"}, u""},  // names are case-sensitive
      {u"{1} before {0}", {u"a", u"b"}, u"b before a"},
      {u"{0}{0}", {u"x"}, u"xx"},
      {u"{0}{0}", {u"xyz"}, u"xyzxyz"},
      {u"{0}{0}{0}", {u""}, u""},
      {u"<{0}>", {u"{0}"}, u"<{0}>"},  // inserted text is not scanned again
      {u"{0}{1}", {u"{1}", u"y"}, u"yy"},  // ... but later arguments see it
      {u"{0} {0}", {u"{0}{0}"}, u"{0}{0} {0}{0}"},
      {u"no placeholder", {u"a", u"b"}, u"no placeholder"},
      {u"{1}", {u"a"}, u"{1}"},
      {u"{0x1}{1h}{ 1 }", {u"a", u"b"}, u"bbb"},
      {u"{x}{0}", {u"a"}, u"{x}a"},
      {u"{-0}", {u"a"}, u"{-0}"},
      {u"{4294967296}", {u"a"}, u"a"},  // the index's low 32 bits count
      {u"{0", {u"a"}, u"{0"},
      {u"abc {0", {u"a"}, u"abc {0"},
      {u"{0,simple", {u"a"}, u"{0,simple"},
      {u"{0,choice,1#a", {u"1"}, u"{0,choice,1#a"},
      {u"{0} {0", {u"a"}, u"a {0"},
      {u"}{0}{", {u"a"}, u"}a{"},
      {u"{{0}}", {u"a"}, u"{{0}}"},
      {u"{1,{0}}", {u"a"}, u"{1,a}"},
      // "choice"
      {u"{0,choice,0#no files|1#one file|1<many files}", {u"0"}, u"no files"},
      {u"{0,choice,0#no files|1#one file|1<many files}", {u"1"}, u"one file"},
      {u"{0,choice,0#no files|1#one file|1<many files}", {u"7"}, u"many files"},
      {u"{0,choice,1#one|1>none}", {u"0"}, u"none"},
      {u"{0,choice,1#one|1>none}", {u"2"}, u""},
      {u"{0,choice,1#a,b}", {u"1"}, u"ab}"},
      {u"{0,choice,5<#at least five|5>less}", {u"5"}, u"at least five"},
      {u"{0,choice,5<#at least five|5>less}", {u"9"}, u"at least five"},
      {u"{0,choice,5<#at least five|5>less}", {u"4"}, u"less"},
      {u"{0,choice,5#>at most five|5<more}", {u"5"}, u"at most five"},
      {u"{0,choice,5#>at most five|5<more}", {u"0"}, u"at most five"},
      {u"{0,choice,5#>at most five|5<more}", {u"6"}, u"more"},
      {u"{0,choice,5#<text}", {u"5"}, u"<text"},
      {u"{0,choice,5#<text}", {u"6"}, u""},
      {u"{0,choice,5\u2264five}", {u"5"}, u"five"},
      {u"{0,choice,1#one |  2#two }", {u"2"}, u"two "},
      {u"{0,choice,1# one}", {u"1"}, u" one"},
      {u"{0,choice,1#" + q + u"a|b#c <d>" + q + u"|2#two}", {u"1"}, u"a|b#c <d>"},
      {u"{0,choice,1#" + q + u"a|b" + q + u"|2#two}", {u"2"}, u"two"},
      {u"{0,choice,1#|1#second}", {u"1"}, u"second"},  // empty text goes on
      {u"{0,choice,0x10#sixteen}", {u"16"}, u"sixteen"},
      {u"{0,choice,#empty limit}", {u""}, u"empty limit"},
      {u"{0,choice,#empty limit|1<big}", {u"5"}, u"big"},
      {u"{0,choice,3#three}", {u"3abc"}, u"three"},  // digits before a bad one
      {u"{0,choice,1#{1}|2#two}", {u"1", u"b"}, u"b"},
      {u"{0,choice,}", {u"1"}, u""},
      // "bytesize"
      {u"Disk {0} has {1,bytesize,2} free", {u"3", u"1610612736"}, u"Disk 3 has 1.50 GB free"},
      {u"{0,bytesize}", {u"1536"}, u"1 KB"},
      {u"{0,bytesize}", {u"1023"}, u"1023 Bytes"},
      {u"{0,bytesize,1}", {u"1023"}, u"1023 Bytes"},
      {u"{0,bytesize}", {u"0"}, u"0 Bytes"},
      {u"{0,bytesize,3}", {u"1024"}, u"1.000 KB"},
      {u"{0,bytesize,2}", {u"1048575"}, u"1023.99 KB"},  // cut, not rounded
      {u"{0,bytesize,1}", {u"5242880"}, u"5.0 MB"},
      {u"{0,bytesize,2}", {u"1099511627776"}, u"1.00 TB"},
      {u"{0,bytesize}", {u"1125899906842624"}, u"1 "},  // 1024 TB: no word
      {u"{0,bytesize}", {u"18446744073709551615"}, u"16 "},
      {u"{0,bytesize,9}", {u"1536"}, u"1.500000 KB"},
      {u"{0,bytesize,99999999999999999999}", {u"1536"}, u"1.500000 KB"},
      {u"{0,bytesize}", {u"0x400"}, u"1 KB"},
      {u"{0,bytesize}", {u"abc"}, u"0 Bytes"},
      {u"{0,bytesize}", {u""}, u"0 Bytes"},
      // "currency"
      {u"{0,currency,2}", {u"3.14159"}, u"3.14"},
      {u"{0,currency}", {u"3.14159"}, u"3.14159"},
      {u"{0,currency,0}", {u"3.14159"}, u"3.14159"},
      {u"{0,currency,9}", {u"3.14159"}, u"3.14159"},
      {u"{0,currency,2}", {u"42"}, u"42"},
      {u"{0,currency,2}", {u"1.2.3"}, u"1.2."},
      {u"{0,currency,1x}", {u"3.14159"}, u"3.1"},
      {u"{0,currency,1}", {u""}, u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Narrow(Format(c.pattern, c.args)), Narrow(c.result)) << Narrow(c.pattern);
  }
}

TEST(FormatMessageTest, ArgumentKinds) {
  FormatMessage text(u"{0}|{1}|{2}|{3}|{4}|{5}");
  text % 42 % -7 % 18446744073709551615ull % u"wide" % std::u16string(u"string") %
      std::u16string_view(u"view");
  EXPECT_EQ(Narrow(text), "42|-7|18446744073709551615|wide|string|view");
  EXPECT_EQ(text.ArgumentIndex(), 6u);

  FormatMessage nulls(u"[{0}]");
  nulls % static_cast<const char16_t*>(nullptr);
  EXPECT_EQ(Narrow(nulls), "[]");
#if defined(_WIN32)
  FormatMessage wide(u"{0}");
  wide % L"wchar_t";
  EXPECT_EQ(Narrow(wide), "wchar_t");
#endif
}

TEST(FormatMessageTest, EveryArgumentCountsEvenWhenUnused) {
  FormatMessage text(u"{2}");
  text % u"a" % u"b";
  EXPECT_EQ(Narrow(text), "{2}");
  text % u"c";
  EXPECT_EQ(Narrow(text), "c");
}

class Upper : public Fdisk::SubformatBase {
 public:
  explicit Upper(int* destroyed = nullptr) : destroyed_(destroyed) {}
  ~Upper() override {
    if (destroyed_) ++*destroyed_;
  }
  int Format(const std::u16string& argument, std::u16string& out,
             const std::u16string& parameters) override {
    for (char16_t c : argument) out += (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    out += parameters;
    return static_cast<int>(out.size());
  }

 private:
  int* destroyed_;
};

TEST(FormatMessageTest, RegisteredSubformats) {
  int destroyed = 0;
  {
    FormatMessage text(u"{0,upper,!} {0,simple}");
    text.RegisterSubformat(u"upper", std::make_unique<Upper>(&destroyed));
    text.RegisterSubformat(u"upper", std::make_unique<Upper>(&destroyed));
    EXPECT_EQ(destroyed, 1);  // the replaced one
    text.RegisterSubformat(u"simple", std::make_unique<Upper>(&destroyed));
    text % u"ab";
    EXPECT_EQ(Narrow(text), "AB! AB");
  }
  EXPECT_EQ(destroyed, 3);

  FormatMessage removed(u"[{0}]");
  removed.RegisterSubformat(u"simple", nullptr);
  removed % u"a";
  EXPECT_EQ(Narrow(removed), "[]");
}

TEST(FormatMessageTest, NextToken) {
  FormatMessage text(u"{12,a{b,c}d, x }");
  FormatMessage::size_type pos = 0;
  EXPECT_EQ(Narrow(text.NextToken(pos)), "12");
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(Narrow(text.NextToken(pos)), "a{b,c}d");
  EXPECT_EQ(pos, 11u);
  EXPECT_EQ(Narrow(text.NextToken(pos)), " x ");
  EXPECT_EQ(pos, 15u);
  EXPECT_EQ(Narrow(text.NextToken(pos)), "");  // at '}': stays
  EXPECT_EQ(pos, 15u);
  pos = 16;
  EXPECT_EQ(Narrow(text.NextToken(pos)), "");
  EXPECT_EQ(pos, FormatMessage::npos);
  FormatMessage open(u"{abc");
  pos = 0;
  EXPECT_EQ(Narrow(open.NextToken(pos)), "");
  EXPECT_EQ(pos, FormatMessage::npos);
  pos = FormatMessage::npos;
  EXPECT_EQ(Narrow(open.NextToken(pos)), "");
  EXPECT_EQ(pos, FormatMessage::npos);
}

TEST(FormatMessageTest, UnitWordsComeFromTheCatalog) {
  const char16_t* saved = MessageTable[Fdisk::kMessageGB];
  MessageTable[Fdisk::kMessageGB] = u"Go";
  EXPECT_EQ(Narrow(Format(u"{0,bytesize,1}", {u"1610612736"})), "1.5 Go");
  MessageTable[Fdisk::kMessageGB] = saved;
  EXPECT_EQ(Narrow(Format(u"{0,bytesize,1}", {u"1610612736"})), "1.5 GB");
}

TEST(FormatMessageTest, LongTextsAndManyPlaceholders) {
  std::u16string pattern;
  std::u16string expected;
  for (int i = 0; i < 2000; ++i) {
    pattern += u"{0}-{1},";
    expected += u"ab-c,";
  }
  EXPECT_EQ(Format(pattern, {u"ab", u"c"}), expected);
}

}  // namespace
