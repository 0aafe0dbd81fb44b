// Named variables: the handle and the failures.
#include "fdisk/named_vars.h"

#include "foundation/message_table.h"
#include "foundation/trace.h"

namespace Fdisk {
namespace NamedVars {

namespace detail {
namespace {

// Builds the error with its catalog text as the table holds it now.
Common::Error Build(std::uint32_t locationId, std::uint32_t code, std::uint32_t message) {
  return Common::Error(locationId, kNamedVarsModuleId, code, CatalogText(message));
}

[[noreturn]] void Throw(std::uint32_t locationId, std::uint32_t code, std::uint32_t message) {
  NamedVars::Error error(Build(locationId, code, message));
  TraceError(1, error);
  throw error;
}

}  // namespace

Common::Error MakeReadOnlyError(std::uint32_t locationId) {
  return Build(locationId, kReadOnlyVarCode, kReadOnlyVarMessage);
}

void ThrowReadOnly(std::uint32_t locationId) {
  Throw(locationId, kReadOnlyVarCode, kReadOnlyVarMessage);
}

void ThrowBadCast() { Throw(kVarAsLocation, kBadVarCastCode, kBadVarCastMessage); }

void ThrowMissing() { Throw(kContainerGetLocation, kMissingVarCode, kMissingVarMessage); }

}  // namespace detail

Var::Var() : held_(new FdiskNamedVarsVarT<int>(std::string(), 0, 0)) {}

Var::Var(const Var& other) : held_(other.held_->Clone()) {}

Var& Var::operator=(const Var& other) {
  if (this != &other) Replace(other.held_->Clone());
  return *this;
}

Var::~Var() { delete held_; }

void Var::Assign(const VarBase& variable) {
  if (held_->IsReadOnly()) detail::ThrowReadOnly(kVarAssignLocation);
  Replace(variable.Clone());
}

void Var::Replace(VarBase* fresh) noexcept {
  delete held_;
  held_ = fresh;
}

Var& VarContainer::GetOrCreate(const VarKey& key) {
  Map::iterator it = vars_.find(key.Name());
  if (it == vars_.end()) it = vars_.emplace(std::string(key.Name()), Var()).first;
  return it->second;
}

}  // namespace NamedVars
}  // namespace Fdisk
