// Short-name bytes come from upper-casing a name and converting it to the OEM
// code page. Outside Windows the built-in tables do both; here they are held
// against the system's own functions for every UTF-16 unit, so that a volume
// written by either build carries the same 8.3 bytes.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "foundation/text.h"

namespace {

using namespace Common;

// The system's short-name byte(s) for one unit: upper-cased by the locale
// tables, then converted without best-fit look-alikes ('?' when missing).
std::string SystemShortNameBytes(UINT codePage, char16_t unit) {
  wchar_t upper = 0;
  const wchar_t in = wchar_t(unit);
  if (LCMapStringW(0, LCMAP_UPPERCASE, &in, 1, &upper, 1) != 1) return "<case failed>";
  char bytes[8] = {};
  BOOL usedDefault = FALSE;
  const int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, &upper, 1, bytes,
                                    sizeof bytes, "?", &usedDefault);
  if (n <= 0) return "<conversion failed>";
  return std::string(bytes, std::size_t(n));
}

std::string PortableShortNameBytes(uint32_t codePage, char16_t unit) {
  const char16_t upper = PortableToUpper(unit);
  std::string bytes;
  if (!PortableWideToCodePage(codePage, bytes, &upper, 1)) return "<no table>";
  return bytes;
}

std::string Hex(const std::string& s) {
  std::string out;
  char buffer[4];
  for (unsigned char c : s) {
    snprintf(buffer, sizeof buffer, "%02X ", c);
    out += buffer;
  }
  return out;
}

TEST(FatNamesWin, ShortNameBytesMatchTheSystemForEveryUnit) {
  for (UINT codePage : {437u, 850u}) {
    int differences = 0;
    for (uint32_t u = 1; u < 0x10000; ++u) {
      // A lone surrogate is no character; names never hold one alone.
      if (u >= 0xD800 && u <= 0xDFFF) continue;
      const std::string system = SystemShortNameBytes(codePage, char16_t(u));
      const std::string portable = PortableShortNameBytes(codePage, char16_t(u));
      if (system != portable && ++differences <= 20)
        ADD_FAILURE() << "code page " << codePage << " U+" << std::hex << u << ": system "
                      << Hex(system) << "built-in " << Hex(portable);
    }
    EXPECT_EQ(differences, 0) << "code page " << codePage;
  }
}

}  // namespace
