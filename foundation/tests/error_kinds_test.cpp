// Error record kinds: text placement, Describe, fields and
// field names, system messages, and safe refusal of bad input.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/error.h"
#include "error_test_support.h"
#include "foundation/message_table.h"

using namespace Common;
using error_test::CountingHooks;
using error_test::FakeCatalog;

namespace {

constexpr std::uint32_t kLoc = 0x01F10001;
constexpr std::uint32_t kMod = 0x01F1;

bool InsideRecord(const ErrorRecord* record, const void* p) {
  const unsigned char* begin = reinterpret_cast<const unsigned char*>(record);
  const unsigned char* q = static_cast<const unsigned char*>(p);
  return q >= begin && q < begin + record->size;
}

std::u16string Wide(const char16_t* p) { return p ? std::u16string(p) : std::u16string(); }

}  // namespace

// ---------------------------------------------------------------------------
// Text placement

TEST(ErrorKinds, NarrowTextIsCopiedInline) {
  char buffer[] = "copied text";
  Error e(kLoc, kMod, 0x40001, buffer);
  buffer[0] = 'X';
  ErrorRecord* r = e.Record();
  EXPECT_EQ(r->kind, &NarrowTextErrorKind);
  EXPECT_EQ(r->text, kErrorRecordHeaderSize);
  EXPECT_EQ(r->size, kErrorRecordHeaderSize + sizeof("copied text"));
  EXPECT_EQ(Describe(e), u"copied text");
}

TEST(ErrorKinds, NarrowByteE9DescribesAsUE9) {
  Error e(kLoc, kMod, 0x40002, "caf\xE9");
  std::u16string text = Describe(e);
  ASSERT_EQ(text.size(), 4u);
  EXPECT_EQ(text[3], char16_t{0x00E9});
  Error high(kLoc, kMod, 0x40002, "\x80\xFF");
  EXPECT_EQ(Describe(high), std::u16string({char16_t{0x80}, char16_t{0xFF}}));
}

TEST(ErrorKinds, WideTextIsCopiedInline) {
  Error e(kLoc, kMod, 0x40003, u"wide \u00e9\u4e2d");
  ErrorRecord* r = e.Record();
  EXPECT_EQ(r->kind, &WideTextErrorKind);
  EXPECT_EQ(r->text, kErrorRecordHeaderSize);
  EXPECT_EQ(r->size, kErrorRecordHeaderSize + 2 * 8);
  EXPECT_EQ(Describe(e), u"wide \u00e9\u4e2d");
}

TEST(ErrorKinds, EmptyAndNullTexts) {
  Error empty(kLoc, kMod, 0x40004, u"");
  EXPECT_EQ(empty.Record()->text, kErrorRecordHeaderSize);  // an inline empty text
  EXPECT_EQ(Describe(empty), u"");
  Error none(kLoc, kMod, 0x40004, static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(none.Record()->text, 0u);
  EXPECT_EQ(none.Record()->size, kErrorRecordHeaderSize);
  EXPECT_EQ(Describe(none), u"");
  Error noneNarrow(kLoc, kMod, 0x40004, static_cast<const char*>(nullptr));
  EXPECT_EQ(noneNarrow.Record()->text, 0u);
  EXPECT_EQ(Describe(noneNarrow), u"");
}

TEST(ErrorKinds, CatalogTextsAreReferencedAndReturnedByIdentity) {
  FakeCatalog catalog;
  const char16_t* access = catalog.Add(1535, u"Access is denied.");
  const char16_t* odd = catalog.Add(1400, u"Misaligned catalog text", /*odd=*/true);
  const char* narrow = catalog.AddNarrow("1252");
  ASSERT_TRUE(InMessageCatalogBlock(access));

  Error e(kLoc, kMod, 0x40005, MessageTable[1535]);
  EXPECT_EQ(e.Record()->text, reinterpret_cast<std::uintptr_t>(access));
  EXPECT_EQ(e.Record()->size, kErrorRecordHeaderSize);
  EXPECT_EQ(DecodeErrorText(e.Record(), e.Record()->text), access);
  EXPECT_EQ(Describe(e), u"Access is denied.");

  Error m(kLoc, kMod, 0x40006, MessageTable[1400]);
  EXPECT_EQ(DecodeErrorText(m.Record(), m.Record()->text), odd);
  EXPECT_EQ(Describe(m), u"Misaligned catalog text");

  Error n(kLoc, kMod, 0x40007, narrow);
  EXPECT_EQ(DecodeErrorText(n.Record(), n.Record()->text), narrow);
  EXPECT_EQ(Describe(n), u"1252");

  // Text fields of the extended kinds.
  Error path = Error::FromRecord(NewPathRecord(kLoc, kMod, 0x40008, access, 3));
  EXPECT_EQ(GetWideTextField(path, "Path"), access);
  Error site = Error::FromRecord(
      NewSiteFunctionFileRecordWide(kLoc, kMod, 0x40009, access, narrow, odd));
  EXPECT_EQ(GetTextField(site, "function"), narrow);
  EXPECT_EQ(GetWideTextField(site, "filename"), odd);
  EXPECT_EQ(site.Record()->size, kErrorRecordExHeaderSize);

  // A copy of the same text outside the block is copied into the record.
  std::u16string outside = u"Access is denied.";
  Error c(kLoc, kMod, 0x4000A, outside.c_str());
  const void* stored = DecodeErrorText(c.Record(), c.Record()->text);
  EXPECT_NE(stored, static_cast<const void*>(outside.c_str()));
  EXPECT_TRUE(InsideRecord(c.Record(), stored));
  Error p = Error::FromRecord(NewPathRecord(kLoc, kMod, 0x4000B, outside.c_str(), 3));
  EXPECT_TRUE(InsideRecord(p.Record(), GetWideTextField(p, "Path")));
}

TEST(ErrorKinds, TheBlockEndIsOutside) {
  FakeCatalog catalog;
  catalog.Add(1, u"ab");
  const unsigned char* begin = static_cast<const unsigned char*>(MessageCatalogBlock.begin);
  const unsigned char* end = static_cast<const unsigned char*>(MessageCatalogBlock.end);
  EXPECT_TRUE(InMessageCatalogBlock(begin));
  EXPECT_TRUE(InMessageCatalogBlock(end - 1));
  EXPECT_FALSE(InMessageCatalogBlock(end));
  EXPECT_FALSE(InMessageCatalogBlock(begin - 1));
  EXPECT_FALSE(InMessageCatalogBlock(nullptr));
}

TEST(ErrorKinds, BeforeTheCatalogIsLoadedEveryTextIsCopied) {
  FakeCatalog catalog;
  for (std::uint32_t i = 0; i < kMessageTableCount; ++i) MessageTable[i] = nullptr;
  MessageCatalogBlock = {nullptr, nullptr};
  EXPECT_EQ(CatalogText(1535), nullptr);
  static const char16_t text[] = u"static text";
  Error e(kLoc, kMod, 0x4000C, text);
  EXPECT_TRUE(InsideRecord(e.Record(), DecodeErrorText(e.Record(), e.Record()->text)));
  Error none(kLoc, kMod, 0x4000C, MessageTable[1535]);
  EXPECT_EQ(none.Record()->text, 0u);
}

// ---------------------------------------------------------------------------
// Kinds and fields

TEST(ErrorKinds, PlainAndTextKindsHaveNoFields) {
  Error plain(kLoc, kMod, 0x4000D);
  Error narrow(kLoc, kMod, 0x4000D, "n");
  Error wide(kLoc, kMod, 0x4000D, u"w");
  for (const Error* e : {&plain, &narrow, &wide}) {
    EXPECT_STREQ(FieldNames(*e), "");
    EXPECT_EQ(GetNumberField(*e, "code"), 0u);
    EXPECT_EQ(GetTextField(*e, "function"), nullptr);
    EXPECT_EQ(GetWideTextField(*e, "filename"), nullptr);
  }
  EXPECT_EQ(Describe(plain), u"");
}

TEST(ErrorKinds, SystemCodeKind) {
  ErrorRecord* r = NewSystemCodeRecord(kLoc, kMod, 0);
  ASSERT_NE(r, nullptr);  // built also for a system code of 0
  Error e = Error::FromRecord(r);
  EXPECT_EQ(GetErrorCode(e), kSystemCodeErrorCode);
  EXPECT_EQ(e.Record()->text, 0u);
  EXPECT_STREQ(FieldNames(e), "code");
  EXPECT_EQ(GetNumberField(e, "code"), 0u);
  Error f = Error::FromRecord(NewSystemCodeRecord(kLoc, kMod, 0x80070005));
  EXPECT_EQ(GetNumberField(f, "code"), 0x80070005u);  // zero-extended
  EXPECT_EQ(GetTextField(f, "code"), nullptr);
  EXPECT_EQ(GetWideTextField(f, "code"), nullptr);
}

TEST(ErrorKinds, FieldLookupsAreCaseSensitive) {
  Error e;
  AttachWin32Cause(e, 5);
  EXPECT_EQ(GetNumberField(e, "code"), 0x80070005u);
  EXPECT_EQ(GetNumberField(e, "Code"), 0u);
  EXPECT_EQ(GetNumberField(e, "CODE"), 0u);
  EXPECT_EQ(GetNumberField(e, "code "), 0u);
  EXPECT_EQ(GetNumberField(e, "cod"), 0u);
  EXPECT_EQ(GetNumberField(e, ""), 0u);

  Error path = Error::FromRecord(NewPathRecord(kLoc, kMod, 0x4000E, u"C:\\x", 7));
  EXPECT_EQ(GetNumberField(path, "Hints"), 7u);
  EXPECT_EQ(GetNumberField(path, "hints"), 0u);
  EXPECT_NE(GetWideTextField(path, "Path"), nullptr);
  EXPECT_EQ(GetWideTextField(path, "path"), nullptr);

  Error site = Error::FromRecord(NewSiteFunctionRecord(kLoc, kMod, 0x4000F, u"t", "ReadFile"));
  EXPECT_STREQ(GetTextField(site, "function"), "ReadFile");
  EXPECT_EQ(GetTextField(site, "Function"), nullptr);
}

TEST(ErrorKinds, StatusKind) {
  Error e;
  MakeStatusError(e, kLoc, kMod, 9, u"status text", 0xFFFFFFFF, 0x7);
  EXPECT_EQ(e.Record()->kind, &StatusErrorKind);
  EXPECT_STREQ(FieldNames(e), "code");
  EXPECT_EQ(GetNumberField(e, "code"), 0x7FFFFFFFFull);
  EXPECT_EQ(Describe(e), u"status text");
  EXPECT_EQ(GetTextField(e, "code"), nullptr);
}

TEST(ErrorKinds, SiteFunctionKind) {
  Error e = Error::FromRecord(
      NewSiteFunctionRecord(kLoc, kMod, 0x40010, u"The file cannot be read.", "ReadFile"));
  EXPECT_EQ(e.Record()->kind, &SiteFunctionErrorKind);
  EXPECT_STREQ(FieldNames(e), "function");
  EXPECT_EQ(Describe(e), u"The file cannot be read.");
  EXPECT_STREQ(GetTextField(e, "function"), "ReadFile");
  EXPECT_TRUE(InsideRecord(e.Record(), GetTextField(e, "function")));
  EXPECT_EQ(GetTextField(e, "filename"), nullptr);
  EXPECT_EQ(GetWideTextField(e, "function"), nullptr);
  EXPECT_EQ(GetNumberField(e, "function"), 0u);
}

TEST(ErrorKinds, SiteFunctionAndFileWideKind) {
  // An odd-length narrow function name before a UTF-16 file name.
  Error e = Error::FromRecord(NewSiteFunctionFileRecordWide(
      kLoc, kMod, 0x40011, u"Cannot open.", "CreateFileW", u"C:\\dir\\f\u00e9.txt"));
  EXPECT_EQ(e.Record()->kind, &SiteFunctionFileWideErrorKind);
  EXPECT_STREQ(FieldNames(e), "function,filename");
  EXPECT_EQ(Describe(e), u"Cannot open.");
  EXPECT_STREQ(GetTextField(e, "function"), "CreateFileW");
  const char16_t* file = GetWideTextField(e, "filename");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(file) % alignof(char16_t), 0u);
  EXPECT_EQ(Wide(file), u"C:\\dir\\f\u00e9.txt");
  EXPECT_TRUE(InsideRecord(e.Record(), file));
  EXPECT_EQ(GetTextField(e, "filename"), nullptr);

  Error partial = Error::FromRecord(
      NewSiteFunctionFileRecordWide(kLoc, kMod, 0x40011, nullptr, nullptr, u"only"));
  EXPECT_EQ(Describe(partial), u"");
  EXPECT_EQ(GetTextField(partial, "function"), nullptr);
  EXPECT_EQ(Wide(GetWideTextField(partial, "filename")), u"only");
}

TEST(ErrorKinds, SiteFunctionAndFileNarrowKind) {
  Error e = Error::FromRecord(NewSiteFunctionFileRecordNarrow(
      kLoc, kMod, 0x40012, u"Cannot open.", "CreateFileA", "C:\\AUTOEXEC.BAT"));
  EXPECT_EQ(e.Record()->kind, &SiteFunctionFileNarrowErrorKind);
  EXPECT_STREQ(FieldNames(e), "function,filename");
  EXPECT_EQ(Describe(e), u"Cannot open.");
  EXPECT_STREQ(GetTextField(e, "function"), "CreateFileA");
  EXPECT_STREQ(GetTextField(e, "filename"), "C:\\AUTOEXEC.BAT");
  EXPECT_EQ(GetWideTextField(e, "filename"), nullptr);
}

TEST(ErrorKinds, PathKind) {
  Error e = Error::FromRecord(
      NewPathRecord(kLoc, kMod, 0x40013, u"C:\\backup\\item", 0x100000002ull));
  EXPECT_EQ(e.Record()->kind, &PathErrorKind);
  EXPECT_STREQ(FieldNames(e), "Path,Hints");
  EXPECT_EQ(Describe(e), u"");
  EXPECT_EQ(Wide(GetWideTextField(e, "Path")), u"C:\\backup\\item");
  EXPECT_EQ(GetNumberField(e, "Hints"), 0x100000002ull);
  EXPECT_EQ(GetTextField(e, "Path"), nullptr);
}

TEST(ErrorKinds, BlockCountKind) {
  Error e = Error::FromRecord(
      NewBlockCountRecord(kLoc, kMod, 0x70001, u"Not enough blocks.", 123456789012ull));
  EXPECT_EQ(e.Record()->kind, &BlockCountErrorKind);
  EXPECT_STREQ(FieldNames(e), "blocks");
  EXPECT_EQ(Describe(e), u"Not enough blocks.");
  EXPECT_EQ(GetNumberField(e, "blocks"), 123456789012ull);
  EXPECT_EQ(GetNumberField(e, "code"), 0u);
}

TEST(ErrorKinds, TokenKinds) {
  Error t = Error::FromRecord(NewTokenRecord(kLoc, kMod, 0x40014, u"bad token", "tok"));
  EXPECT_STREQ(FieldNames(t), "token");
  EXPECT_EQ(Describe(t), u"bad token");
  EXPECT_STREQ(GetTextField(t, "token"), "tok");
  EXPECT_EQ(GetWideTextField(t, "token"), nullptr);

  Error w = Error::FromRecord(NewWideTokenRecord(kLoc, kMod, 0x40015, u"bad", u"w\u00e9"));
  EXPECT_STREQ(FieldNames(w), "token");
  EXPECT_EQ(Wide(GetWideTextField(w, "token")), u"w\u00e9");
  EXPECT_EQ(GetTextField(w, "token"), nullptr);

  Error s = Error::FromRecord(
      NewTokenSubtokenRecord(kLoc, kMod, 0x40016, u"bad pair", u"outer", "inner"));
  EXPECT_STREQ(FieldNames(s), "token,subtoken");
  EXPECT_EQ(Describe(s), u"bad pair");
  EXPECT_EQ(Wide(GetWideTextField(s, "token")), u"outer");
  EXPECT_STREQ(GetTextField(s, "subtoken"), "inner");
  EXPECT_EQ(GetTextField(s, "token"), nullptr);
  EXPECT_EQ(GetWideTextField(s, "subtoken"), nullptr);
}

TEST(ErrorKinds, ClonesOfExtendedKindsKeepTheirInlineTexts) {
  CountingHooks hooks;
  Error a = Error::FromRecord(NewSiteFunctionFileRecordWide(
      kLoc, kMod, 0x40017, u"main", "Fn", u"file"));
  Error b = a;
  AttachWin32Cause(a, 5);
  ASSERT_NE(a.Record(), b.Record());
  EXPECT_EQ(a.Record()->size, b.Record()->size);
  EXPECT_EQ(Describe(a), u"main");
  EXPECT_STREQ(GetTextField(a, "function"), "Fn");
  EXPECT_EQ(Wide(GetWideTextField(a, "filename")), u"file");
  EXPECT_TRUE(InsideRecord(a.Record(), GetWideTextField(a, "filename")));
  b.Reset();
  EXPECT_EQ(Wide(GetWideTextField(a, "filename")), u"file");

  Error s;
  MakeStatusError(s, kLoc, kMod, 9, u"st", 0xAAAA5555, 0x1234);
  Error t = s;
  AttachWin32Cause(s, 5);
  ASSERT_NE(s.Record(), t.Record());
  EXPECT_EQ(GetNumberField(s, "code"), 0x00001234AAAA5555ull);
}

// ---------------------------------------------------------------------------
// System messages

TEST(ErrorSystemMessage, NormalizationRules) {
  struct Case {
    std::u16string in;
    std::u16string out;
  } cases[] = {
      {u"Access is denied.\r\n", u"Access is denied"},
      {u"Access is denied.", u"Access is denied"},
      {u"No period\r\n", u"No period"},
      {u"Line one.\r\nLine two.\r\n", u"Line one.\nLine two."},
      {u"a\r\rb.", u"ab"},
      {u"Two final feeds.\n\n", u"Two final feeds.\n"},
      {u"", u""},
      {u".", u""},
      {u"\r\n", u""},
      {u"\n", u""},
      {u"..", u"."},
  };
  for (Case& c : cases) {
    std::u16string text = c.in;
    NormalizeSystemMessage(text);
    EXPECT_EQ(text, c.out);
  }
}

#if !defined(_WIN32)
TEST(ErrorSystemMessage, NativeBuildHasNoSystemMessages) {
  Error e;
  AttachWin32Cause(e, 5);
  std::u16string out = u"stale";
  DescribeSystemCode(out, e.Record());
  EXPECT_EQ(out, u"");
  EXPECT_EQ(Describe(e), u"");
}
#endif

TEST(ErrorSystemMessage, DescribeSystemCodeRefusesOtherKinds) {
  Error e(kLoc, kMod, 0x40018, u"not a system code");
  std::u16string out = u"stale";
  DescribeSystemCode(out, e.Record());
  EXPECT_EQ(out, u"");
  out = u"stale";
  DescribeSystemCode(out, nullptr);
  EXPECT_EQ(out, u"");
}

// ---------------------------------------------------------------------------
// Bad input

TEST(ErrorBadInput, NullRecordsAndNamesAreRefused) {
  std::u16string out = u"stale";
  Describe(out, static_cast<const ErrorRecord*>(nullptr));
  EXPECT_EQ(out, u"");
  out = u"stale";
  Describe(out, NoError);
  EXPECT_EQ(out, u"");
  EXPECT_EQ(GetNumberField(static_cast<const ErrorRecord*>(nullptr), "code"), 0u);
  EXPECT_EQ(GetTextField(static_cast<const ErrorRecord*>(nullptr), "function"), nullptr);
  EXPECT_EQ(GetWideTextField(static_cast<const ErrorRecord*>(nullptr), "Path"), nullptr);
  EXPECT_STREQ(FieldNames(static_cast<const ErrorRecord*>(nullptr)), "");
  EXPECT_STREQ(FieldNames(NoError), "");
  EXPECT_EQ(DecodeErrorText(nullptr, 32), nullptr);
  AddErrorReference(nullptr);

  Error e;
  AttachWin32Cause(e, 5);
  EXPECT_EQ(GetNumberField(e, nullptr), 0u);
  Error site = Error::FromRecord(NewSiteFunctionRecord(kLoc, kMod, 0x40019, u"t", "f"));
  EXPECT_EQ(GetTextField(site, nullptr), nullptr);
  Error path = Error::FromRecord(NewPathRecord(kLoc, kMod, 0x4001A, u"p", 1));
  EXPECT_EQ(GetWideTextField(path, nullptr), nullptr);
  EXPECT_EQ(DecodeErrorText(path.Record(), 0), nullptr);
}

TEST(ErrorBadInput, NullTextsInEveryBuilder) {
  CountingHooks hooks;
  {
    Error a = Error::FromRecord(NewStatusRecord(kLoc, kMod, 9, nullptr, 1));
    Error b = Error::FromRecord(NewSiteFunctionRecord(kLoc, kMod, 1, nullptr, nullptr));
    Error c = Error::FromRecord(
        NewSiteFunctionFileRecordWide(kLoc, kMod, 1, nullptr, nullptr, nullptr));
    Error d = Error::FromRecord(
        NewSiteFunctionFileRecordNarrow(kLoc, kMod, 1, nullptr, nullptr, nullptr));
    Error e = Error::FromRecord(NewPathRecord(kLoc, kMod, 1, nullptr, 0));
    Error f = Error::FromRecord(NewBlockCountRecord(kLoc, kMod, 1, nullptr, 0));
    Error g = Error::FromRecord(NewTokenRecord(kLoc, kMod, 1, nullptr, nullptr));
    Error h = Error::FromRecord(NewWideTokenRecord(kLoc, kMod, 1, nullptr, nullptr));
    Error i = Error::FromRecord(NewTokenSubtokenRecord(kLoc, kMod, 1, nullptr, nullptr, nullptr));
    for (const Error* x : {&a, &b, &c, &d, &e, &f, &g, &h, &i}) {
      ASSERT_FALSE(x->IsNull());
      EXPECT_EQ(x->Record()->size, kErrorRecordExHeaderSize);
      EXPECT_EQ(Describe(*x), u"");
    }
    EXPECT_EQ(GetTextField(b, "function"), nullptr);
    EXPECT_EQ(GetWideTextField(c, "filename"), nullptr);
    EXPECT_EQ(GetTextField(d, "filename"), nullptr);
    EXPECT_EQ(GetWideTextField(e, "Path"), nullptr);
    EXPECT_EQ(GetTextField(g, "token"), nullptr);
    EXPECT_EQ(GetWideTextField(h, "token"), nullptr);
    EXPECT_EQ(GetTextField(i, "subtoken"), nullptr);
    // Code 0 gives null without allocating.
    EXPECT_EQ(NewStatusRecord(kLoc, kMod, 0, u"x", 1), nullptr);
    EXPECT_EQ(NewPathRecord(kLoc, kMod, 0, u"x", 1), nullptr);
    EXPECT_EQ(NewTokenSubtokenRecord(kLoc, kMod, 0, u"x", u"y", "z"), nullptr);
  }
  EXPECT_EQ(hooks.frees(), hooks.allocations());
}

TEST(ErrorBadInput, CatalogTextOutOfRange) {
  EXPECT_EQ(CatalogText(kMessageTableCount), nullptr);
  EXPECT_EQ(CatalogText(0xFFFFFFFF), nullptr);
}

TEST(ErrorBadInput, LongTextsAreCopiedWhole) {
  std::u16string longText(100000, u'x');
  Error e(kLoc, kMod, 0x4001B, longText.c_str());
  EXPECT_EQ(e.Record()->size, kErrorRecordHeaderSize + 2 * (100000 + 1));
  EXPECT_EQ(Describe(e), longText);
}
