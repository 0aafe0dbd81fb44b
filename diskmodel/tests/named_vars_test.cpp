// Named variables: the typing rules as one table of cases, then
// the container's value semantics.
#include "fdisk/named_vars.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"
#include "foundation/message_table.h"

namespace {

using Fdisk::NamedVars::Var;
using Fdisk::NamedVars::VarContainer;
using Fdisk::NamedVars::VarKey;
using Fdisk::NamedVars::VarKeyT;
using Fdisk::NamedVars::VarU64;
namespace Keys = Fdisk::NamedVars::Keys;

// ---------------------------------------------------------------------------
// Catalog texts. Each case runs once under each of two catalogs, so the text
// an error carries must be the one MessageTable holds when it is built.

constexpr std::uint32_t kMessages[] = {1168, 1169, 1170, 514};

struct Catalog {
  const char16_t* texts[4];  // in the order of kMessages
};

const Catalog kRealCatalog{{
    u"There was an attempt to perform unsupported type cast for the named variable value.",
    u"There was an attempt to obtain a non-existent named variable.",
    u"There was an attempt to change a read-only named variable.",
    u"Object 'Variable' cannot be found.",
}};
const Catalog kOtherCatalog{{u"cast (second catalog)", u"missing (second catalog)",
                             u"read-only (second catalog)", u"variable (second catalog)"}};

const char16_t* TextOf(const Catalog& catalog, std::uint32_t message) {
  for (std::size_t i = 0; i < 4; ++i)
    if (kMessages[i] == message) return catalog.texts[i];
  return nullptr;
}

// Publishes a catalog's texts in MessageTable for one scope.
class CatalogScope {
 public:
  explicit CatalogScope(const Catalog& catalog) {
    for (std::size_t i = 0; i < 4; ++i) {
      saved_[i] = MessageTable[kMessages[i]];
      MessageTable[kMessages[i]] = catalog.texts[i];
    }
  }
  ~CatalogScope() {
    for (std::size_t i = 0; i < 4; ++i) MessageTable[kMessages[i]] = saved_[i];
  }

 private:
  const char16_t* saved_[4];
};

// ---------------------------------------------------------------------------
// The table

enum class Outcome {
  kSuccess,           // no error, nothing thrown
  kReturned,          // a Common::Error returned, nothing thrown
  kThrownNamedVars,   // Fdisk::NamedVars::Error thrown
  kThrownFdiskOnly,   // Fdisk::Error thrown that is not a NamedVars::Error
};

constexpr std::uint32_t kNv = Fdisk::NamedVars::kNamedVarsModuleId;      // 0x263EE6AD
constexpr std::uint32_t kReq = Fdisk::NamedVars::kRequiredVarModuleId;   // 0xAC5FE817

const VarKey kReadOnlyKey{"Locked", 1};  // a key whose variables are read-only

struct TypingCase {
  const char* name;
  std::function<void(VarContainer&)> arrange;
  // The operation under test; a returned error is checked like a thrown one.
  std::function<Common::Error(VarContainer&)> act;
  Outcome outcome;
  std::uint32_t code;      // 0 with kSuccess
  std::uint32_t message;   // catalog entry of the text
  std::uint32_t location;
  std::uint32_t module;
};

Common::Error Ok() { return Common::Error(); }

void Nothing(VarContainer&) {}

const std::vector<TypingCase>& TypingCases() {
  static const std::vector<TypingCase> cases{
      // --- exact-type reads -------------------------------------------------
      {"unsigned long read as unsigned long",
       [](VarContainer& b) { b.Set<unsigned long>(Keys::PortionID, 5); },
       [](VarContainer& b) {
         EXPECT_EQ(b.Get<unsigned long>(Keys::PortionID), 5u);
         return Ok();
       },
       Outcome::kSuccess, 0, 0, 0, 0},
      {"unsigned long read as unsigned int",
       [](VarContainer& b) { b.Set<unsigned long>(Keys::PortionID, 5); },
       [](VarContainer& b) { return (void)b.Get<unsigned int>(Keys::PortionID), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"unsigned long read as unsigned __int64",
       [](VarContainer& b) { b.Set<unsigned long>(Keys::StageID, 1); },
       [](VarContainer& b) { return (void)b.Get<VarU64>(Keys::StageID), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"unsigned __int64 read as unsigned long",
       [](VarContainer& b) { b.Set(Keys::VolumeSize, 1ull << 40); },
       [](VarContainer& b) { return (void)b.Get<unsigned long>(Keys::VolumeSize), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"unsigned int read as unsigned long (DiskNumber)",
       [](VarContainer& b) { b.Set(Keys::DiskNumber, 3u); },
       [](VarContainer& b) { return (void)b.Get<unsigned long>(Keys::DiskNumber), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"unsigned long read as unsigned int (DiskID)",
       [](VarContainer& b) { b.Set(Keys::DiskID, 9ul); },
       [](VarContainer& b) { return (void)b.Get<unsigned int>(Keys::DiskID), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"int read as unsigned int",
       [](VarContainer& b) { b.Set(Keys::BIOS_NUMBER, -1); },
       [](VarContainer& b) { return (void)b.Get<unsigned int>(Keys::BIOS_NUMBER), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"bool read as int",
       [](VarContainer& b) { b.Set(Keys::Emulated, true); },
       [](VarContainer& b) { return (void)b.Get<int>(Keys::Emulated), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"narrow text read as wide text",
       [](VarContainer& b) { b.Set(Keys::Model, std::string("disk")); },
       [](VarContainer& b) { return (void)b.Get<std::u16string>(Keys::Model), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"wide text read back",
       [](VarContainer& b) { b.Set(Keys::FriendlyName, std::u16string(u"EFI")); },
       [](VarContainer& b) {
         EXPECT_EQ(b.Get(Keys::FriendlyName), u"EFI");
         return Ok();
       },
       Outcome::kSuccess, 0, 0, 0, 0},
      {"GUID read back",
       [](VarContainer& b) {
         Common::Guid g{};
         g.bytes[0] = 0x42;
         b.Set(Keys::PartitionType, g);
       },
       [](VarContainer& b) {
         EXPECT_EQ(b.Get(Keys::PartitionType).bytes[0], 0x42);
         return Ok();
       },
       Outcome::kSuccess, 0, 0, 0, 0},
      {"enumeration read as its underlying int",
       [](VarContainer& b) { b.Set(Keys::VolumeType, Fdisk::kLdmVolRaid5); },
       [](VarContainer& b) { return (void)b.Get<int>(Keys::VolumeType), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"request list read back",
       [](VarContainer& b) {
         std::deque<Fdisk::LdmOpRequest> list(2);
         list[1].size = 77;
         b.Set(Keys::OpRequest, list);
       },
       [](VarContainer& b) {
         EXPECT_EQ(b.GetRequired(Keys::OpRequest).at(1).size, 77u);
         return Ok();
       },
       Outcome::kSuccess, 0, 0, 0, 0},
      {"Var::As with the wrong type",
       [](VarContainer& b) { b.Set(Keys::ChunkSize, 128u); },
       [](VarContainer& b) {
         return (void)b.Find("ChunkSize")->second.As<unsigned short>(), Ok();
       },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"overwrite with another type: the new type reads",
       [](VarContainer& b) {
         b.Set<unsigned long>(Keys::Type, 7);
         b.Set<bool>(Keys::Type, true);
       },
       [](VarContainer& b) {
         EXPECT_TRUE(b.Get<bool>(Keys::Type));
         return Ok();
       },
       Outcome::kSuccess, 0, 0, 0, 0},
      {"overwrite with another type: the old type fails",
       [](VarContainer& b) {
         b.Set<unsigned long>(Keys::Type, 7);
         b.Set<bool>(Keys::Type, true);
       },
       [](VarContainer& b) { return (void)b.Get<unsigned long>(Keys::Type), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},

      // --- missing keys ------------------------------------------------------
      {"Get of a missing key", Nothing,
       [](VarContainer& b) { return (void)b.Get<unsigned long>(Keys::DiskID), Ok(); },
       Outcome::kThrownNamedVars, 0x100803, 1169, 0x8D80296B, kNv},
      {"Get of a key that differs only in case",
       [](VarContainer& b) { b.Set(Keys::DiskID, 1ul); },
       [](VarContainer& b) { return (void)b.Get<unsigned long>(VarKey("diskid")), Ok(); },
       Outcome::kThrownNamedVars, 0x100803, 1169, 0x8D80296B, kNv},
      {"GetOr of a missing key gives the default and creates nothing", Nothing,
       [](VarContainer& b) {
         EXPECT_FALSE(b.GetOr(Keys::ForceRawMode, false));
         EXPECT_EQ(b.GetOr(Keys::StripeSize, 128), 128u);  // the key's type, not int
         EXPECT_TRUE(b.Find("ForceRawMode") == b.end());
         EXPECT_TRUE(b.Empty());
         return Ok();
       },
       Outcome::kSuccess, 0, 0, 0, 0},
      {"GetOr of a present key with the wrong type",
       [](VarContainer& b) { b.Set(Keys::ForceRawMode, true); },
       [](VarContainer& b) { return (void)b.GetOr<int>(Keys::ForceRawMode, 0), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"GetRequired of a missing key is a lookup error", Nothing,
       [](VarContainer& b) { return (void)b.GetRequired<unsigned long>(Keys::StageID), Ok(); },
       Outcome::kThrownFdiskOnly, 0x101C03, 514, 0xCE02D8DC, kReq},
      {"GetRequired of a present key with the wrong type",
       [](VarContainer& b) { b.Set(Keys::StageID, 1ul); },
       [](VarContainer& b) { return (void)b.GetRequired<int>(Keys::StageID), Ok(); },
       Outcome::kThrownNamedVars, 0x100802, 1168, 0x8D8028CE, kNv},
      {"GetOrCreate inserts a default int 0 with an empty name", Nothing,
       [](VarContainer& b) {
         Var& v = b.GetOrCreate(Keys::Ordinal);
         EXPECT_EQ(v.As<int>(), 0);
         EXPECT_EQ(v.GetName(), "");
         EXPECT_EQ(v.GetFlags(), 0);
         EXPECT_EQ(b.Get<int>(Keys::Ordinal), 0);
         return Ok();
       },
       Outcome::kSuccess, 0, 0, 0, 0},

      // --- read-only variables --------------------------------------------------
      {"Set on a read-only variable returns the error",
       [](VarContainer& b) { b.Set<int>(kReadOnlyKey, 1); },
       [](VarContainer& b) {
         Common::Error e = b.Set<int>(kReadOnlyKey, 2);
         EXPECT_EQ(b.Get<int>(kReadOnlyKey), 1);
         return e;
       },
       Outcome::kReturned, 0x100801, 1170, 0x8D802989, kNv},
      {"Set of another type on a read-only variable returns the error",
       [](VarContainer& b) { b.Set<int>(kReadOnlyKey, 1); },
       [](VarContainer& b) { return b.Set<bool>(kReadOnlyKey, true); },
       Outcome::kReturned, 0x100801, 1170, 0x8D802989, kNv},
      {"SetNamed on a read-only variable returns the error",
       [](VarContainer& b) { b.Set<unsigned long>(VarKey("portion", 1), 1); },
       [](VarContainer& b) { return b.SetNamed<unsigned long>("portion", 2); },
       Outcome::kReturned, 0x100801, 1170, 0x8D802977, kNv},
      {"Set on a variable made read-only by Var::Assign",
       [](VarContainer& b) {
         b.GetOrCreate(Keys::DiskID).Assign(FdiskNamedVarsVarT<unsigned long>("DiskID", 1, 4));
       },
       [](VarContainer& b) {
         Common::Error e = b.Set(Keys::DiskID, 5ul);
         EXPECT_EQ(b.Get(Keys::DiskID), 4u);
         return e;
       },
       Outcome::kReturned, 0x100801, 1170, 0x8D802989, kNv},
      {"Var::Set on a read-only variable throws",
       [](VarContainer& b) { b.Set<int>(kReadOnlyKey, 1); },
       [](VarContainer& b) {
         b.GetOrCreate(kReadOnlyKey).Set<int>(2);
         return Ok();
       },
       Outcome::kThrownNamedVars, 0x100801, 1170, 0x8D802899, kNv},
      {"Var::Assign on a read-only variable throws",
       [](VarContainer& b) { b.Set<int>(kReadOnlyKey, 1); },
       [](VarContainer& b) {
         b.GetOrCreate(kReadOnlyKey).Assign(FdiskNamedVarsVarT<int>("x", 2));
         return Ok();
       },
       Outcome::kThrownNamedVars, 0x100801, 1170, 0x8D8028B2, kNv},
      {"every key of the system is writable twice",
       [](VarContainer& b) { b.Set(Keys::Corrupted, false); },
       [](VarContainer& b) {
         Common::Error e = b.Set(Keys::Corrupted, true);
         EXPECT_TRUE(b.Get(Keys::Corrupted));
         EXPECT_EQ(b.Find("Corrupted")->second.GetFlags(), 0);
         return e;
       },
       Outcome::kSuccess, 0, 0, 0, 0},
      {"Var::Set resets the flags word to 0",
       [](VarContainer& b) { b.Set<int>(VarKey("Flag2", 2), 1); },
       [](VarContainer& b) {
         EXPECT_EQ(b.Find("Flag2")->second.GetFlags(), 2);
         Common::Error e = b.Set<int>(VarKey("Flag2", 2), 5);
         EXPECT_EQ(b.Find("Flag2")->second.GetFlags(), 0);
         EXPECT_EQ(b.Find("Flag2")->second.GetName(), "Flag2");
         return e;
       },
       Outcome::kSuccess, 0, 0, 0, 0},
  };
  return cases;
}

// What a container looks like, as far as a test can tell without knowing
// the value types: names, value types and flags, in order.
struct Shape {
  std::string name;
  const std::type_info* type;
  std::int32_t flags;
  bool operator==(const Shape& o) const {
    return name == o.name && *type == *o.type && flags == o.flags;
  }
};
std::vector<Shape> ShapeOf(const VarContainer& bag) {
  std::vector<Shape> shape;
  for (const auto& entry : bag) {
    shape.push_back({entry.first, &entry.second.GetType(), entry.second.GetFlags()});
  }
  return shape;
}

void CheckError(const TypingCase& c, const Catalog& catalog, const Common::Error& e) {
  ASSERT_FALSE(e.IsNull());
  EXPECT_EQ(Common::GetErrorCode(e), c.code);
  EXPECT_EQ(e.Record()->locationId, c.location);
  EXPECT_EQ(e.Record()->moduleId, c.module);
  EXPECT_EQ(Common::Describe(e), std::u16string(TextOf(catalog, c.message)));
  EXPECT_TRUE(Common::GetErrorCause(e).IsNull());
}

void RunCase(const TypingCase& c, const Catalog& catalog) {
  CatalogScope scope(catalog);
  VarContainer bag;
  c.arrange(bag);
  const std::vector<Shape> before = ShapeOf(bag);
  bool threwNamedVars = false, threwFdisk = false;
  Common::Error error;
  try {
    error = c.act(bag);
  } catch (const Fdisk::NamedVars::Error& e) {
    threwNamedVars = true;
    error = e;
  } catch (const Fdisk::Error& e) {
    threwFdisk = true;
    error = e;
  }
  switch (c.outcome) {
    case Outcome::kSuccess:
      EXPECT_FALSE(threwNamedVars || threwFdisk);
      EXPECT_TRUE(error.IsNull());
      return;
    case Outcome::kReturned:
      EXPECT_FALSE(threwNamedVars || threwFdisk);
      break;
    case Outcome::kThrownNamedVars:
      EXPECT_TRUE(threwNamedVars);
      break;
    case Outcome::kThrownFdiskOnly:
      EXPECT_TRUE(threwFdisk);
      EXPECT_FALSE(threwNamedVars);
      break;
  }
  CheckError(c, catalog, error);
  EXPECT_TRUE(ShapeOf(bag) == before) << "a failing operation changed the container";
}

TEST(NamedVarsTypingRules, Table) {
  for (const TypingCase& c : TypingCases()) {
    SCOPED_TRACE(c.name);
    {
      SCOPED_TRACE("catalog 1");
      RunCase(c, kRealCatalog);
    }
    {
      SCOPED_TRACE("catalog 2");
      RunCase(c, kOtherCatalog);
    }
  }
}

TEST(NamedVarsTypingRules, NoCatalogGivesNoText) {
  const char16_t* saved = MessageTable[1169];
  MessageTable[1169] = nullptr;
  VarContainer bag;
  try {
    (void)bag.Get<int>(Keys::DiskID);
    ADD_FAILURE() << "no throw";
  } catch (const Fdisk::NamedVars::Error& e) {
    EXPECT_EQ(Common::GetErrorCode(e), 0x100803u);
    EXPECT_EQ(Common::Describe(e), u"");
  }
  MessageTable[1169] = saved;
}

// ---------------------------------------------------------------------------
// Value semantics

TEST(NamedVars, CopiedContainerSharesNothing) {
  VarContainer source;
  source.Set(Keys::PortionID, 5ul);
  source.Set(Keys::Model, std::string("m"));
  VarContainer copy(source);
  copy.Set(Keys::PortionID, 6ul);
  copy.Set(Keys::DiskID, 1ul);
  EXPECT_EQ(source.Get(Keys::PortionID), 5u);
  EXPECT_EQ(source.Size(), 2u);
  EXPECT_EQ(copy.Get(Keys::PortionID), 6u);
  EXPECT_EQ(copy.Get(Keys::Model), "m");

  VarContainer assigned;
  assigned.Set(Keys::Size, 1ull);
  assigned = source;
  assigned.Set(Keys::Model, std::string("n"));
  EXPECT_EQ(source.Get(Keys::Model), "m");
  EXPECT_EQ(assigned.Size(), 2u);
  EXPECT_FALSE(assigned.Contains(Keys::Size));
}

TEST(NamedVars, CopiedVarClonesNameFlagsAndValue) {
  Var original(new FdiskNamedVarsVarT<std::string>("Model", 1, "x"));
  Var copy(original);
  EXPECT_NE(&copy.Get(), &original.Get());
  EXPECT_EQ(copy.GetName(), "Model");
  EXPECT_EQ(copy.GetFlags(), 1);
  EXPECT_EQ(copy.As<std::string>(), "x");
  Var defaulted;
  EXPECT_TRUE(defaulted.Holds<int>());
  EXPECT_EQ(defaulted.As<int>(), 0);
  defaulted = original;
  EXPECT_EQ(defaulted.As<std::string>(), "x");
}

TEST(NamedVars, AssignTakesACloneNotTheOriginal) {
  VarContainer bag;
  FdiskNamedVarsVarT<unsigned int> given("SectorSize", 512u);
  bag.GetOrCreate(Keys::SectorSize).Assign(given);
  EXPECT_NE(&bag.Find("SectorSize")->second.Get(), &given);
  EXPECT_EQ(bag.Get(Keys::SectorSize), 512u);
}

TEST(NamedVars, SetCreatesAVariableWithTheKeyTextAndFlags) {
  VarContainer bag;
  EXPECT_TRUE(bag.Set(Keys::SectorSize, 4096u).IsNull());
  const Var& v = bag.Find("SectorSize")->second;
  EXPECT_EQ(v.GetName(), "SectorSize");
  EXPECT_EQ(v.GetFlags(), 0);
  EXPECT_TRUE(v.Holds<unsigned int>());
}

TEST(NamedVars, KeysAddressVariablesByTextOnly) {
  VarContainer bag;
  bag.Set(Keys::DiskID, 3ul);
  const VarKey sameText("DiskID");
  const VarKeyT<unsigned long> typedSameText("DiskID");
  EXPECT_EQ(bag.Get<unsigned long>(sameText), 3u);
  EXPECT_EQ(bag.Get(typedSameText), 3u);
  EXPECT_FALSE(bag.Contains(VarKey("DISKID")));
  bag.Set<unsigned long>(sameText, 4);
  EXPECT_EQ(bag.Get(Keys::DiskID), 4u);
  EXPECT_EQ(bag.Size(), 1u);
}

TEST(NamedVars, NamesAreOrderedByBytes) {
  VarContainer bag;
  bag.Set<int>(VarKey("b"), 0);
  bag.Set<int>(VarKey("B"), 0);
  bag.Set<int>(VarKey("\xE9"), 0);  // a byte above 0x7F sorts last
  bag.Set<int>(VarKey("a"), 0);
  std::vector<std::string> names;
  for (const auto& entry : bag) names.push_back(entry.first);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "b", "\xE9"}));
}

TEST(NamedVars, FSSzieIsStoredUnderThatText) {
  VarContainer bag;
  bag.Set<VarU64>(Keys::FSSzie, 1);
  EXPECT_TRUE(bag.Find("FSSzie") != bag.end());
  EXPECT_TRUE(bag.Find("FSSize") == bag.end());
}

}  // namespace
