// The dynamic-disk log line.
#include "ldm/log.h"

#include <cstdarg>

#include "fdisk/model.h"

namespace Ldm {

namespace {
constexpr int kLogCategory = 12;
bool logEnabled = false;
}  // namespace

void SetLdmLogEnabled(bool on) { logEnabled = on; }
bool LdmLogEnabled() { return logEnabled; }

void LdmLog(const char* format, ...) {
  if (!logEnabled) return;
  va_list args;
  va_start(args, format);
  Fdisk::FdiskLogV(kLogCategory, format, args);
  va_end(args);
}

}  // namespace Ldm
