// The ANSI conversions into caller-sized and new buffers, and the growable
// byte buffer. Natively the built-in code-page 1252 table converts; under
// Windows the system's ANSI code page does, so the cases that name bytes
// above 0x7F need that code page to be 1252.
#include "foundation/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using namespace Common;

bool AnsiIsWesternEuropean() {
#if defined(_WIN32)
  return GetACP() == 1252;
#else
  return true;
#endif
}

// Whether a failing allocation comes back as null (the address sanitizer
// ends the process instead).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAllocationCanFail = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAllocationCanFail = false;
#else
constexpr bool kAllocationCanFail = true;
#endif
#else
constexpr bool kAllocationCanFail = true;
#endif

// Inputs live in heap blocks of exactly their length, terminator or not, so
// that a read past them is caught by the address sanitizer.
template <typename Char>
std::unique_ptr<Char[]> Exact(const std::basic_string<Char>& s) {
  std::unique_ptr<Char[]> block(new Char[s.size() ? s.size() : 1]);
  std::memcpy(block.get(), s.data(), s.size() * sizeof(Char));
  return block;
}

constexpr std::size_t kSlack = 8;
constexpr char kGuard = '#';
constexpr char16_t kWideGuard = u'#';

// What a conversion into a guarded buffer left behind.
struct Outcome {
  std::size_t result;
  std::string text;       // up to the first zero, or all the capacity
  bool terminated;        // a zero within the capacity
  bool guardIntact;       // nothing written at or after the capacity
};

Outcome ToAnsi(std::size_t capacity, const std::u16string& in, std::size_t maxUnits) {
  std::vector<char> out(capacity + kSlack, kGuard);
  auto block = Exact(in);
  Outcome o;
  o.result = WideToAnsiBuffer(out.data(), capacity, block.get(), maxUnits);
  const std::size_t len = strnlen(out.data(), capacity);
  o.text.assign(out.data(), len);
  o.terminated = len < capacity;
  o.guardIntact = true;
  for (std::size_t i = capacity; i < out.size(); ++i) o.guardIntact &= out[i] == kGuard;
  return o;
}

struct WideOutcome {
  std::size_t result;
  std::u16string text;
  bool terminated;
  bool guardIntact;
};

WideOutcome ToWide(std::size_t capacity, const std::string& in, std::size_t maxBytes) {
  std::vector<char16_t> out(capacity + kSlack, kWideGuard);
  auto block = Exact(in);
  WideOutcome o;
  o.result = AnsiToWideBuffer(out.data(), capacity, block.get(), maxBytes);
  std::size_t len = 0;
  while (len < capacity && out[len] != 0) ++len;
  o.text.assign(out.data(), len);
  o.terminated = len < capacity;
  o.guardIntact = true;
  for (std::size_t i = capacity; i < out.size(); ++i) o.guardIntact &= out[i] == kWideGuard;
  return o;
}

// Text that converts one to one between UTF-16 and the ANSI code page.
struct Pair {
  const char* name;
  std::u16string wide;
  std::string ansi;
  bool western;  // needs code page 1252
};

const Pair kPairs[] = {
    {"empty", u"", "", false},
    {"ascii path", u"C:\\Program Files\\Clean Up\\cleanup.log", "C:\\Program Files\\Clean Up\\cleanup.log",
     false},
    {"latin-1", u"Caf\u00E9 na\u00EFve \u00C5ngstr\u00F6m \u00FF\u00A0\u00BF",
     "Caf\xE9 na\xEFve \xC5ngstr\xF6m \xFF\xA0\xBF", true},
    {"code page 1252 above 0x7F", u"\u20AC 5 \u2013 \u201Cquoted\u201D \u0160",
     "\x80 5 \x96 \x93quoted\x94 \x8A", true},
};

TEST(AnsiBufferTest, RoundTrips) {
  for (const Pair& p : kPairs) {
    SCOPED_TRACE(p.name);
    if (p.western && !AnsiIsWesternEuropean()) continue;
    const std::u16string wideZ = p.wide + u'\0';
    const std::string ansiZ = p.ansi + '\0';

    const Outcome a = ToAnsi(p.ansi.size() + 1, wideZ, SIZE_MAX);
    EXPECT_EQ(a.text, p.ansi);
    EXPECT_TRUE(a.terminated);
    EXPECT_EQ(a.result, p.ansi.size() + 1);  // terminator counted
    EXPECT_TRUE(a.guardIntact);

    const WideOutcome w = ToWide(p.wide.size() + 1, ansiZ, SIZE_MAX);
    EXPECT_EQ(w.text, p.wide);
    EXPECT_TRUE(w.terminated);
    EXPECT_EQ(w.result, p.wide.size() + 1);
    EXPECT_TRUE(w.guardIntact);

    const std::unique_ptr<char[]> newAnsi = WideToNewAnsi(Exact(wideZ).get());
    ASSERT_NE(newAnsi, nullptr);
    EXPECT_EQ(std::string(newAnsi.get()), p.ansi);
    const std::unique_ptr<char16_t[]> newWide = AnsiToNewWide(Exact(ansiZ).get());
    ASSERT_NE(newWide, nullptr);
    EXPECT_EQ(std::u16string(newWide.get()), p.wide);
  }
}

// Characters the code page lacks become '?', never a look-alike: a
// full-width solidus or reverse solidus must not turn a name into a path,
// nor a letter with a macron into the plain letter of another file's name.
TEST(AnsiBufferTest, MissingCharactersBecomeQuestionMarks) {
  if (!AnsiIsWesternEuropean()) GTEST_SKIP() << "the ANSI code page is not 1252";
  const std::u16string in = u"a\uFF0Fb\uFF3Cc\u0100d\u4E2D";
  const Outcome a = ToAnsi(32, in + u'\0', SIZE_MAX);
  EXPECT_EQ(a.text, "a?b?c?d?");
  EXPECT_EQ(a.result, 9u);
  const std::unique_ptr<char[]> newAnsi = WideToNewAnsi(in.c_str());
  ASSERT_NE(newAnsi, nullptr);
  EXPECT_EQ(std::string(newAnsi.get()), "a?b?c?d?");
}

// The capacity bounds every conversion: the text is cut after the last
// character that fits with its terminator, which is always written.
TEST(AnsiBufferTest, CutAtTheCapacityWithTheTerminatorKept) {
  struct Case {
    const char* name;
    std::u16string wide;
    std::string ansi;
    std::size_t capacity;
    std::size_t result;
    bool western;
  };
  const Case cases[] = {
      {"one short", u"abcdef", "abcdef", 6, 6, false},
      {"half", u"abcdef", "abcdef", 4, 4, false},
      {"room for the terminator only", u"abcdef", "abcdef", 1, 1, false},
      {"exact", u"abcdef", "abcdef", 7, 7, false},
      {"latin-1", u"\u00E9t\u00E9 \u00E0 Z\u00FCrich", "\xE9t\xE9 \xE0 Z\xFCrich", 8, 8, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.western && !AnsiIsWesternEuropean()) continue;
    const std::size_t kept = c.capacity - 1;

    const Outcome a = ToAnsi(c.capacity, c.wide + u'\0', SIZE_MAX);
    EXPECT_EQ(a.text, c.ansi.substr(0, kept));
    EXPECT_TRUE(a.terminated);
    EXPECT_TRUE(a.guardIntact);
    EXPECT_EQ(a.result, c.result);

    const WideOutcome w = ToWide(c.capacity, c.ansi + '\0', SIZE_MAX);
    EXPECT_EQ(w.text, c.wide.substr(0, kept));
    EXPECT_TRUE(w.terminated);
    EXPECT_TRUE(w.guardIntact);
    EXPECT_EQ(w.result, c.result);
  }
}

TEST(AnsiBufferTest, NoCapacityWritesNothing) {
  const Outcome a = ToAnsi(0, u"abc", SIZE_MAX);
  EXPECT_EQ(a.result, 0u);
  EXPECT_TRUE(a.guardIntact);
  const WideOutcome w = ToWide(0, "abc", SIZE_MAX);
  EXPECT_EQ(w.result, 0u);
  EXPECT_TRUE(w.guardIntact);
  EXPECT_EQ(WideToAnsiBuffer(nullptr, 16, u"abc", 3), 0u);
  EXPECT_EQ(AnsiToWideBuffer(nullptr, 16, "abc", 3), 0u);
}

// The input ends at its first zero or at the maximum, whichever comes
// first; an input cut by the maximum has no terminator of its own (and none
// is read past it), yet the output gets one.
TEST(AnsiBufferTest, MaximumCounts) {
  struct Case {
    const char* name;
    std::u16string wide;  // stored without a terminator unless it has one
    std::string ansi;
    std::size_t max;
    std::string expected;
  };
  const Case cases[] = {
      {"no terminator, maximum at the end", u"abc", "abc", 3, "abc"},
      {"no terminator, maximum inside", u"abcdef", "abcdef", 4, "abcd"},
      {"maximum 0", u"abc", "abc", 0, ""},
      {"zero before the maximum", std::u16string(u"ab\0cd", 5), std::string("ab\0cd", 5), 5,
       "ab"},
      {"zero first", std::u16string(u"\0ab", 3), std::string("\0ab", 3), 3, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome a = ToAnsi(16, c.wide, c.max);
    EXPECT_EQ(a.text, c.expected);
    EXPECT_TRUE(a.terminated);
    EXPECT_EQ(a.result, c.expected.size() + 1);

    const WideOutcome w = ToWide(16, c.ansi, c.max);
    EXPECT_EQ(w.text, std::u16string(c.expected.begin(), c.expected.end()));
    EXPECT_TRUE(w.terminated);
    EXPECT_EQ(w.result, c.expected.size() + 1);
  }
}

TEST(AnsiBufferTest, NullInNullOut) {
  EXPECT_EQ(WideToNewAnsi(nullptr), nullptr);
  EXPECT_EQ(AnsiToNewWide(nullptr), nullptr);

  // An empty text is not a null one.
  const std::unique_ptr<char[]> ansi = WideToNewAnsi(u"");
  ASSERT_NE(ansi, nullptr);
  EXPECT_EQ(ansi[0], '\0');
  const std::unique_ptr<char16_t[]> wide = AnsiToNewWide("");
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wide[0], u'\0');

  // Into a caller's buffer a null text is an empty one.
  std::vector<char> out(4, kGuard);
  EXPECT_EQ(WideToAnsiBuffer(out.data(), 4, nullptr, SIZE_MAX), 1u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], kGuard);
  std::vector<char16_t> wout(4, kWideGuard);
  EXPECT_EQ(AnsiToWideBuffer(wout.data(), 4, nullptr, SIZE_MAX), 1u);
  EXPECT_EQ(wout[0], u'\0');
  EXPECT_EQ(wout[1], kWideGuard);
}

// WideToNewAnsi's buffer holds the longest form of every unit.
TEST(AnsiBufferTest, NewAnsiHoldsLongTexts) {
  const std::u16string in(5000, u'x');
  const std::unique_ptr<char[]> ansi = WideToNewAnsi(in.c_str());
  ASSERT_NE(ansi, nullptr);
  EXPECT_EQ(std::string(ansi.get()), std::string(5000, 'x'));
}

// ---------------------------------------------------------------- buffer --

// A buffer whose allocation holds `offset` bytes before the data and then
// `capacity` bytes 0, 1, 2, ...
void Fill(ByteBuffer& b, std::size_t offset, std::size_t capacity) {
  b.allocation = new uint8_t[offset + capacity];
  std::memset(b.allocation, 0xEE, offset);
  b.data = b.allocation + offset;
  for (std::size_t i = 0; i < capacity; ++i) b.data[i] = uint8_t(i);
  b.capacity = capacity;
}

TEST(ByteBufferTest, Reserve) {
  struct Case {
    const char* name;
    std::size_t offset;  // of the data inside the allocation
    std::size_t capacity;
    std::size_t used;
    std::size_t needed;
    std::size_t expectedCapacity;
    std::size_t kept;  // bytes that must come along
  };
  const Case cases[] = {
      {"covered", 0, 16, 10, 16, 16, 10},
      {"nothing needed of an empty buffer", 0, 0, 0, 0, 0, 0},
      {"twice the used bytes", 0, 16, 10, 17, 20, 10},
      {"the need when larger", 0, 16, 4, 40, 40, 4},
      {"full", 0, 16, 16, 17, 32, 16},
      {"empty buffer", 0, 0, 0, 8, 8, 0},
      {"nothing in use", 0, 16, 0, 24, 24, 0},
      {"data after the start of the allocation", 8, 24, 5, 30, 30, 5},
      // More in use than the buffer holds: only what it holds is copied.
      {"used beyond the capacity", 0, 8, 20, 9, 16, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer b;
    if (c.capacity) Fill(b, c.offset, c.capacity);
    const uint8_t* before = b.data;
    ASSERT_TRUE(ByteBufferReserve(b, c.used, c.needed));
    EXPECT_EQ(b.capacity, c.expectedCapacity);
    if (c.needed <= c.capacity) {
      EXPECT_EQ(b.data, before);
      continue;
    }
    ASSERT_NE(b.data, nullptr);
    EXPECT_EQ(b.allocation, b.data);
    for (std::size_t i = 0; i < c.kept; ++i) ASSERT_EQ(b.data[i], uint8_t(i)) << i;
    // The whole new capacity is usable.
    std::memset(b.data, 0x5A, b.capacity);
  }
}

TEST(ByteBufferTest, ReserveGrowsAgainAndAgain) {
  ByteBuffer b;
  std::size_t used = 0;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(ByteBufferReserve(b, used, used + 3));
    ASSERT_GE(b.capacity, used + 3);
    for (int k = 0; k < 3; ++k, ++used) b.data[used] = uint8_t(used * 7);
  }
  for (std::size_t i = 0; i < used; ++i) ASSERT_EQ(b.data[i], uint8_t(i * 7)) << i;
  EXPECT_LE(b.capacity, 2 * used);
}

TEST(ByteBufferTest, FailedReserveLeavesTheBuffer) {
  if (!kAllocationCanFail) GTEST_SKIP() << "the address sanitizer stops failing allocations";
  ByteBuffer b;
  Fill(b, 0, 16);
  uint8_t* const before = b.data;
  EXPECT_FALSE(ByteBufferReserve(b, 10, SIZE_MAX));
  EXPECT_EQ(b.data, before);
  EXPECT_EQ(b.allocation, before);
  EXPECT_EQ(b.capacity, 16u);
  for (std::size_t i = 0; i < 16; ++i) ASSERT_EQ(b.data[i], uint8_t(i));
}

}  // namespace
