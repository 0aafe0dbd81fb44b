// Ids, property bags, disks and the disk model's log line.
#include <cstdarg>
#include <cstdio>

#include "fdisk/model.h"
#include "foundation/trace.h"

namespace Fdisk {
namespace {
// Used from one thread, like the rest of the model.
std::uint32_t g_lastId = 0;

constexpr int kFdiskLogCategory = 16;
}  // namespace

std::uint32_t IdObject::NewId() { return ++g_lastId; }

IdObject::IdObject() : id_(NewId()) {}
IdObject::IdObject(std::uint32_t id) : id_(id) {}
IdObject::~IdObject() = default;

PropertyObject::PropertyObject() = default;
PropertyObject::~PropertyObject() = default;

Disk::Disk() { SetDefaultProperties(); }

Disk::Disk(std::uint32_t id) : IdObject(id) { SetDefaultProperties(); }

void Disk::SetDefaultProperties() {
  namespace K = NamedVars::Keys;
  NamedVars::VarContainer& p = GetProperties();
  // A fresh bag cannot refuse these.
  p.Set(K::SectorSize, 0u);
  p.Set(K::BIOS_NUMBER, 0);
  p.Set(K::AdvancedLocus, AdvancedLocus());
  p.Set(K::HDInterfaceType, kHDInterfaceUnknown);
  p.Set(K::HDInterfaceHost, 0u);
  p.Set(K::HDInterfaceBus, 0u);
  p.Set(K::HDInterfaceTarget, 0u);
  p.Set(K::Model, std::string());
  p.Set(K::PhysicalName, std::u16string());
  p.Set(K::HWSerialNumber, std::u16string());
  p.Set(K::NtSerial, 0u);
  p.Set(K::Ordinal, 0u);
}

Disk::~Disk() = default;

Common::Error Disk::Invalidate() { return Common::NoError; }

bool operator<(const DiskAddress& a, const DiskAddress& b) {
  if (a.interfaceType != b.interfaceType) return a.interfaceType < b.interfaceType;
  if (a.host != b.host) return a.host < b.host;
  if (a.bus != b.bus) return a.bus < b.bus;
  return a.target < b.target;
}

void FdiskLogV(int category, const char* format, va_list args) {
  char line[1024] = {};
  std::vsnprintf(line, sizeof line, format, args);  // cuts at 1023 characters
  TraceNarrow(1, category, 0, line);
}

void FdiskLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FdiskLogV(kFdiskLogCategory, format, args);
  va_end(args);
}

}  // namespace Fdisk
