// Between file-system kinds and MBR type bytes, in both directions.
#include "diskaccess/holders.h"

namespace {
std::uint32_t g_support = kFsSupportEnabled | kFsSupportFat32 | kFsSupportNtfs;
}  // namespace

void DaSetFsSupport(std::uint32_t mask) { g_support = mask; }
std::uint32_t DaFsSupport() { return g_support; }

std::uint32_t KindFromType(std::uint8_t type) {
  if ((g_support & kFsSupportEnabled) == 0) return 0;
  switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x0E: case 0x12:
      return 12;
    case 0x07:
      return 10;
    case 0x0B: case 0x0C: case 0xBC: case 0xEF:
      return 13;
    case 0x82:
      return 15;
    case 0x83:
      return 6;
    case 0xAF:
      return 7;
    default:
      return 0;
  }
}

std::uint8_t TypeFromKind(std::uint32_t kind, bool lba, std::uint64_t size, bool forceFat16,
                          bool small) {
  switch (kind) {
    case 0:
      return 0xBB;
    case 1: case 2: case 3: case 4: case 5: case 6: case 9:
      return 0x83;
    case 7: case 8:
      return 0xAF;
    case 10: case 11:
      return 0x07;
    case 12:
      if (lba) return 0x0E;
      if (small) return 0x01;
      return forceFat16 || size > 0xFFFF ? 0x06 : 0x04;
    case 13:
      return lba ? 0x0C : 0x0B;
    case 15:
      return 0x82;
    default:
      return 0;
  }
}

bool IsSupportedType(std::uint8_t type) {
  if (IsFatSmallType(type)) return true;
  if (IsFat32Type(type)) return (g_support & kFsSupportFat32) != 0;
  if (type == 0x07) return (g_support & kFsSupportNtfs) != 0;
  return false;
}
