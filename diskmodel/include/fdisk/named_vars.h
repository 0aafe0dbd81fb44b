// Named variables: the typed property bag of the disk model.
//
// Every model object (stage, computer, disk, scheme driver) carries a
// `Fdisk::NamedVars::VarContainer`, and every model operation receives its
// parameters in one. A container maps a key text to one typed value. Code
// addresses it through key objects (`Fdisk::NamedVars::VarKey`, the 122 keys
// of fdisk/named_var_keys.h), never through inline texts.
//
// Typing rule: a value is read back only with exactly the type it was stored
// with (type identity, no conversion of any kind). `unsigned long` and
// `unsigned int` are different types; so are `unsigned long` and
// `unsigned long long`. A wrong type fails with 0x100802.
//
// Value types of the design, as this tree spells them (see named_var_keys.h):
//   "unsigned long"     -> unsigned long        (ids and counts)
//   "unsigned int"      -> unsigned int
//   "unsigned __int64"  -> unsigned long long   (`VarU64`; never std::uint64_t,
//                          which is `unsigned long` on 64-bit Linux and would
//                          merge two of the design's types)
//   "std::wstring"      -> std::u16string       (the tree's UTF-16 text type)
//   "std::string"       -> std::string
// Keys from named_var_keys.h are typed (`VarKeyT<T>`), so the deducing forms
// `bag.Get(Keys::StageID)` and `bag.Set(Keys::StageID, 5)` pick the key's type;
// the explicit forms `bag.Get<T>(key)` work on any key and are the ones that
// may deliberately use another type.
//
// Errors (module id 0x263EE6AD; catalog texts read from MessageTable when the
// error is built):
//   0x100801 read-only variable   text 1170  Var::Set, Var::Assign throw;
//                                            VarContainer::Set returns it
//   0x100802 wrong value type     text 1168  Var::As, Get, GetOr, GetRequired
//   0x100803 missing variable     text 1169  VarContainer::Get
//   0x101C03 missing variable     text 514   VarContainer::GetRequired, as
//            `Fdisk::Error` (not `NamedVars::Error`), module id 0xAC5FE817
//
// A container is a plain in-memory structure: no locking, no persistence.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>

#include "common/error.h"
#include "fdisk/error.h"

namespace Fdisk {
namespace NamedVars {

// "unsigned __int64" of the design.
using VarU64 = unsigned long long;

// The failure of a named-variable operation; adds no data to Fdisk::Error.
class Error : public Fdisk::Error {
 public:
  Error() = default;
  explicit Error(const Common::Error& e) : Fdisk::Error(e) {}
};

// Error sites.
constexpr std::uint32_t kNamedVarsModuleId = 0x263EE6AD;
constexpr std::uint32_t kRequiredVarModuleId = 0xAC5FE817;
constexpr std::uint32_t kVarSetLocation = 0x8D802899;            // Var::Set
constexpr std::uint32_t kVarAssignLocation = 0x8D8028B2;         // Var::Assign
constexpr std::uint32_t kVarAsLocation = 0x8D8028CE;             // Var::As
constexpr std::uint32_t kContainerGetLocation = 0x8D80296B;      // VarContainer::Get
constexpr std::uint32_t kContainerSetLocation = 0x8D802989;      // VarContainer::Set
constexpr std::uint32_t kContainerSetNamedLocation = 0x8D802977; // SetNamed
constexpr std::uint32_t kGetRequiredLocation = 0xCE02D8DC;       // GetRequired

constexpr std::uint32_t kReadOnlyVarCode = 0x100801;
constexpr std::uint32_t kBadVarCastCode = 0x100802;
constexpr std::uint32_t kMissingVarCode = 0x100803;
constexpr std::uint32_t kVariableNotFoundCode = 0x101C03;

constexpr std::uint32_t kBadVarCastMessage = 1168;
constexpr std::uint32_t kMissingVarMessage = 1169;
constexpr std::uint32_t kReadOnlyVarMessage = 1170;
constexpr std::uint32_t kVariableNotFoundMessage = 514;

// Flags word of a variable: 1 marks it read-only, every other value writable.
constexpr std::int32_t kReadOnlyVarFlags = 1;

namespace detail {
// Builders of the errors above (src/named_vars.cpp, src/named_var_required.cpp).
Common::Error MakeReadOnlyError(std::uint32_t locationId);
[[noreturn]] void ThrowReadOnly(std::uint32_t locationId);
[[noreturn]] void ThrowBadCast();
[[noreturn]] void ThrowMissing();
[[noreturn]] void ThrowRequiredMissing();

template <class T>
struct Identity {
  using type = T;
};
template <class T>
using NonDeduced = typename Identity<T>::type;
}  // namespace detail

// One variable: its name, its flags word and (in FdiskNamedVarsVarT) a value.
class VarBase {
 public:
  VarBase(std::string name, std::int32_t flags) : name_(std::move(name)), flags_(flags) {}
  virtual ~VarBase() = default;

  // A new heap copy with the same name, flags and value; the caller owns it.
  virtual VarBase* Clone() const = 0;
  // Identity of the stored value's type.
  virtual const std::type_info& GetType() const noexcept = 0;
  virtual const void* GetValueAddress() const noexcept = 0;

  const std::string& GetName() const noexcept { return name_; }
  std::int32_t GetFlags() const noexcept { return flags_; }
  bool IsReadOnly() const noexcept { return flags_ == kReadOnlyVarFlags; }

 protected:
  VarBase(const VarBase&) = default;
  VarBase& operator=(const VarBase&) = delete;

 private:
  std::string name_;
  std::int32_t flags_;
};

}  // namespace NamedVars
}  // namespace Fdisk

// A variable holding one value of type T (any copyable type).
template <class T>
class FdiskNamedVarsVarT final : public Fdisk::NamedVars::VarBase {
 public:
  FdiskNamedVarsVarT(std::string name, std::int32_t flags, T value)
      : VarBase(std::move(name), flags), value_(std::move(value)) {}
  FdiskNamedVarsVarT(std::string name, T value)
      : VarBase(std::move(name), 0), value_(std::move(value)) {}

  FdiskNamedVarsVarT* Clone() const override { return new FdiskNamedVarsVarT(*this); }
  const std::type_info& GetType() const noexcept override { return typeid(T); }
  const void* GetValueAddress() const noexcept override { return &value_; }

  const T& Value() const noexcept { return value_; }

 private:
  FdiskNamedVarsVarT(const FdiskNamedVarsVarT&) = default;

  T value_;
};

namespace Fdisk {
namespace NamedVars {

// A key: its text and a flags word (0 for every key of the system). Only the
// text addresses the bag; two keys with one text address one variable.
// Literal keys are constant-initialised, so they are usable from any static
// initialiser.
class VarKey {
 public:
  constexpr explicit VarKey(std::string_view name, std::int32_t flags = 0)
      : name_(name), flags_(flags) {}

  constexpr std::string_view Name() const noexcept { return name_; }
  constexpr std::int32_t Flags() const noexcept { return flags_; }

 private:
  std::string_view name_;  // a literal, or text that outlives the key
  std::int32_t flags_;
};

// A key with the value type the system uses it with (named_var_keys.h).
template <class T>
class VarKeyT : public VarKey {
 public:
  using ValueType = T;
  constexpr explicit VarKeyT(std::string_view name, std::int32_t flags = 0)
      : VarKey(name, flags) {}
};

// The owning, never-empty handle on one variable. Copying clones the held
// variable; destruction deletes it.
class Var {
 public:
  // A new FdiskNamedVarsVarT<int> with empty name, flags 0 and value 0.
  Var();
  // Takes ownership of a heap variable (not null).
  explicit Var(VarBase* variable) noexcept : held_(variable) {}
  Var(const Var& other);
  Var& operator=(const Var& other);  // clones; no read-only check
  virtual ~Var();

  const VarBase& Get() const noexcept { return *held_; }
  const std::string& GetName() const noexcept { return held_->GetName(); }
  std::int32_t GetFlags() const noexcept { return held_->GetFlags(); }
  const std::type_info& GetType() const noexcept { return held_->GetType(); }
  template <class T>
  bool Holds() const noexcept {
    return held_->GetType() == typeid(T);
  }

  // A copy of the value; NamedVars::Error 0x100802 unless the held type is T.
  template <class T>
  T As() const {
    if (!Holds<T>()) detail::ThrowBadCast();
    return *static_cast<const T*>(held_->GetValueAddress());
  }

  // Read-only: NamedVars::Error 0x100801. Otherwise the held variable is
  // replaced by a new one with the same name, flags 0 and the value (its type
  // may change).
  template <class T>
  void Set(const T& value) {
    if (held_->IsReadOnly()) detail::ThrowReadOnly(kVarSetLocation);
    Replace(new FdiskNamedVarsVarT<T>(held_->GetName(), 0, value));
  }

  // Read-only: NamedVars::Error 0x100801. Otherwise the held variable is
  // replaced by a Clone of `variable` (name and flags included).
  void Assign(const VarBase& variable);

 private:
  void Replace(VarBase* fresh) noexcept;

  VarBase* held_;
};

// The bag: an ordered map from name (byte-wise order) to Var.
class VarContainer {
 public:
  using Map = std::map<std::string, Var, std::less<>>;
  using const_iterator = Map::const_iterator;

  VarContainer() = default;
  VarContainer(const VarContainer&) = default;  // every Var cloned
  VarContainer& operator=(const VarContainer&) = default;
  virtual ~VarContainer() = default;

  const_iterator Find(std::string_view name) const { return vars_.find(name); }
  const_iterator begin() const noexcept { return vars_.begin(); }
  const_iterator end() const noexcept { return vars_.end(); }
  std::size_t Size() const noexcept { return vars_.size(); }
  bool Empty() const noexcept { return vars_.empty(); }
  bool Contains(const VarKey& key) const { return Find(key.Name()) != end(); }

  // The entry's Var; an absent name is inserted first with a default Var
  // (int 0, empty variable name, flags 0).
  Var& GetOrCreate(const VarKey& key);

  // --- Reads with an explicit type (any key) -----------------------------
  // Absent: NamedVars::Error 0x100803; present: Var::As<T>.
  template <class T>
  T Get(const VarKey& key) const {
    const_iterator it = Find(key.Name());
    if (it == end()) detail::ThrowMissing();
    return it->second.As<T>();
  }
  // Absent: the default; present: Get<T> (a wrong type still fails).
  template <class T>
  T GetOr(const VarKey& key, const detail::NonDeduced<T>& defaultValue) const {
    const_iterator it = Find(key.Name());
    if (it == end()) return defaultValue;
    return it->second.As<T>();
  }
  // Absent: Fdisk::Error 0x101C03; present: Get<T>.
  template <class T>
  T GetRequired(const VarKey& key) const {
    const_iterator it = Find(key.Name());
    if (it == end()) detail::ThrowRequiredMissing();
    return it->second.As<T>();
  }

  // --- Writes with an explicit type (any key) ----------------------------
  // Absent: a new variable (key text, key flags, value). Present and
  // read-only: returns 0x100801 and keeps the value (never throws for it).
  // Present otherwise: Var::Set. Returns the null error on success.
  template <class T>
  Common::Error Set(const VarKey& key, const detail::NonDeduced<T>& value) {
    return SetImpl<T>(key.Name(), key.Flags(), value, kContainerSetLocation);
  }
  // The same for a name given as run-time text (flags 0); the change
  // operation's variable "portion".
  template <class T>
  Common::Error SetNamed(std::string_view name, const detail::NonDeduced<T>& value) {
    return SetImpl<T>(name, 0, value, kContainerSetNamedLocation);
  }

  // --- The same through typed keys: the key's type is used ---------------
  template <class T>
  T Get(const VarKeyT<T>& key) const {
    return Get<T>(static_cast<const VarKey&>(key));
  }
  template <class T>
  T GetOr(const VarKeyT<T>& key, const detail::NonDeduced<T>& defaultValue) const {
    return GetOr<T>(static_cast<const VarKey&>(key), defaultValue);
  }
  template <class T>
  T GetRequired(const VarKeyT<T>& key) const {
    return GetRequired<T>(static_cast<const VarKey&>(key));
  }
  template <class T>
  Common::Error Set(const VarKeyT<T>& key, const detail::NonDeduced<T>& value) {
    return Set<T>(static_cast<const VarKey&>(key), value);
  }

 private:
  template <class T>
  Common::Error SetImpl(std::string_view name, std::int32_t flags, const T& value,
                        std::uint32_t readOnlyLocation) {
    Map::iterator it = vars_.find(name);
    if (it == vars_.end()) {
      FdiskNamedVarsVarT<T> fresh{std::string(name), flags, value};
      Map::iterator created = vars_.emplace(std::string(name), Var()).first;
      try {
        created->second.Assign(fresh);
      } catch (...) {
        vars_.erase(created);  // out of memory: leave the container unchanged
        throw;
      }
      return Common::NoError;
    }
    if (it->second.Get().IsReadOnly()) return detail::MakeReadOnlyError(readOnlyLocation);
    it->second.Set<T>(value);
    return Common::NoError;
  }

  Map vars_;
};

}  // namespace NamedVars
}  // namespace Fdisk
