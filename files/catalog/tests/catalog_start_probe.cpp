// Reaches wmain only when the catalog loaded at start-up; then prints what
// the start-up left behind: the probe state and two catalog texts, so that
// the test can tell which catalog was used.
#include <cstdio>
#include <string>

#include "files/resource.h"
#include "foundation/message_table.h"
#include "foundation/text.h"

int wmain(int, wchar_t**) {
  const char16_t* maker = CatalogText(49);
  const char16_t* last = CatalogText(2169);
  std::printf("wmain probe=%d 49=%s 2169=%s\n", ResourceProbeState,
              maker ? Common::WideToAnsi(maker).c_str() : "(null)",
              last ? Common::WideToAnsi(last).c_str() : "(null)");
  return 0;
}
