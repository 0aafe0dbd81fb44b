// The serialized security data of an entry: its layout, and that data which
// does not describe itself correctly is refused whole, in both builds.
#include "files/security_descriptor_set.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "files/file_error.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// S-1-<authority>-<subs...>
Bytes Sid(std::uint8_t authority, std::initializer_list<std::uint32_t> subs) {
  Bytes b(8 + 4 * subs.size(), 0);
  b[0] = 1;
  b[1] = static_cast<std::uint8_t>(subs.size());
  b[7] = authority;
  std::size_t at = 8;
  for (std::uint32_t s : subs) {
    Put32(b, at, s);
    at += 4;
  }
  return b;
}

Bytes Ace(std::uint8_t type, std::uint32_t mask, const Bytes& sid) {
  Bytes b(8, 0);
  b[0] = type;
  Put32(b, 4, mask);
  Append(b, sid);
  Put16(b, 2, static_cast<std::uint16_t>(b.size()));
  return b;
}

Bytes Acl(std::initializer_list<Bytes> aces) {
  Bytes b(8, 0);
  b[0] = 2;
  for (const Bytes& ace : aces) Append(b, ace);
  Put16(b, 2, static_cast<std::uint16_t>(b.size()));
  Put16(b, 4, static_cast<std::uint16_t>(aces.size()));
  return b;
}

// A self-relative descriptor holding the given parts (empty: absent).
Bytes Descriptor(const Bytes& owner, const Bytes& group, const Bytes& sacl, const Bytes& dacl) {
  Bytes b(20, 0);
  b[0] = 1;
  std::uint16_t control = 0x8000;
  if (!sacl.empty()) control |= 0x0010;
  if (!dacl.empty()) control |= 0x0004;
  Put16(b, 2, control);
  const Bytes* parts[4] = {&owner, &group, &sacl, &dacl};
  for (int i = 0; i < 4; ++i) {
    if (parts[i]->empty()) continue;
    Put32(b, 4 + 4 * i, static_cast<std::uint32_t>(b.size()));
    Append(b, *parts[i]);
  }
  return b;
}

const Bytes kEveryone = Sid(1, {0});
const Bytes kAdministrators = Sid(5, {32, 544});
const Bytes kSystem = Sid(5, {18});

Bytes DaclDescriptor() {
  return Descriptor({}, {}, {}, Acl({Ace(0, 0x1F01FF, kEveryone), Ace(1, 0x10000, kSystem)}));
}
Bytes GroupDescriptor() { return Descriptor({}, kSystem, {}, {}); }
Bytes OwnerDescriptor() { return Descriptor(kAdministrators, {}, {}, {}); }

// The serialized form: a count and the bytes for each part in turn.
Bytes Serialized(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& part : parts) {
    Bytes count(4, 0);
    Put32(count, 0, static_cast<std::uint32_t>(part.size()));
    Append(b, count);
    Append(b, part);
  }
  return b;
}

Bytes SerializeSet(const SecurityDescriptorSet& set) {
  std::unique_ptr<std::uint8_t[]> out;
  const std::uint32_t size = set.Serialize(out);
  return Bytes(out.get(), out.get() + size);
}

TEST(SecurityDescriptorSetTest, EmptySetIsSixteenZeroBytes) {
  SecurityDescriptorSet set;
  EXPECT_EQ(SerializeSet(set), Bytes(16, 0));
  const std::uint32_t flags[] = {4, 2, 1, 8};
  for (std::uint32_t i = 0; i < SecurityDescriptorSet::kPartCount; ++i)
    EXPECT_EQ(set.part(i).flag, flags[i]);
}

TEST(SecurityDescriptorSetTest, PartsTravelInOrderAndAnUnreadSaclCountsZero) {
  const Bytes data = Serialized({DaclDescriptor(), GroupDescriptor(), OwnerDescriptor(), {}});
  SecurityDescriptorSet set;
  ASSERT_TRUE(set.Deserialize(data.data(), data.size()).IsNull());
  const Bytes expected[] = {DaclDescriptor(), GroupDescriptor(), OwnerDescriptor()};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(set.part(i).size, expected[i].size()) << i;
    EXPECT_EQ(Bytes(set.part(i).bytes.get(), set.part(i).bytes.get() + set.part(i).size),
              expected[i]);
  }
  EXPECT_EQ(set.part(3).size, 0u);
  EXPECT_EQ(set.part(3).bytes, nullptr);

  const Bytes again = SerializeSet(set);
  EXPECT_EQ(again, data);
  EXPECT_EQ(again.size(), 16 + DaclDescriptor().size() + GroupDescriptor().size() +
                              OwnerDescriptor().size());
  EXPECT_EQ(Bytes(again.end() - 4, again.end()), Bytes(4, 0));
}

// One malformed input per way its counts or a descriptor's own offsets can
// point outside the data handed over.
struct Malformed {
  const char* what;
  Bytes data;
};

std::vector<Malformed> MalformedInputs() {
  std::vector<Malformed> cases;
  const Bytes good = Serialized({DaclDescriptor(), {}, {}, {}});
  auto withPart = [](const Bytes& descriptor) { return Serialized({descriptor, {}, {}, {}}); };

  cases.push_back({"nothing", {}});
  cases.push_back({"three counts only", Bytes(12, 0)});
  cases.push_back({"last count cut short", Bytes(15, 0)});
  {
    Bytes b = good;
    Put32(b, 0, static_cast<std::uint32_t>(DaclDescriptor().size() + 1));
    cases.push_back({"count one past the data", b});
  }
  {
    Bytes b = Bytes(16, 0);
    Put32(b, 0, 0xFFFFFFFFu);
    cases.push_back({"count of 4 GiB", b});
  }
  {
    Bytes b = good;
    b.push_back(0);
    cases.push_back({"a byte after the last part", b});
  }
  cases.push_back({"descriptor shorter than its header", withPart(Bytes(19, 0))});
  {
    Bytes d = DaclDescriptor();
    d[0] = 2;
    cases.push_back({"descriptor revision 2", withPart(d)});
  }
  {
    Bytes d = DaclDescriptor();
    Put16(d, 2, 0x0004);
    cases.push_back({"absolute descriptor", withPart(d)});
  }
  {
    Bytes d = OwnerDescriptor();
    Put32(d, 4, static_cast<std::uint32_t>(d.size()));
    cases.push_back({"owner offset at the end", withPart(d)});
  }
  {
    Bytes d = OwnerDescriptor();
    Put32(d, 4, 0xFFFFFFF0u);
    cases.push_back({"owner offset far outside", withPart(d)});
  }
  {
    Bytes d = OwnerDescriptor();
    Put32(d, 4, 4);
    cases.push_back({"owner inside the header", withPart(d)});
  }
  {
    Bytes d = OwnerDescriptor();
    d[20 + 1] = 16;
    cases.push_back({"owner with 16 sub-authorities", withPart(d)});
  }
  {
    Bytes d = OwnerDescriptor();
    d.resize(d.size() - 1);
    cases.push_back({"owner's last sub-authority cut", withPart(d)});
  }
  {
    Bytes d = GroupDescriptor();
    d[20] = 2;
    cases.push_back({"group SID revision 2", withPart(d)});
  }
  {
    Bytes d = DaclDescriptor();
    Put16(d, 20 + 2, static_cast<std::uint16_t>(d.size()));  // ACL larger than what is left
    cases.push_back({"ACL size past the descriptor", withPart(d)});
  }
  {
    Bytes d = DaclDescriptor();
    Put16(d, 20 + 2, 4);
    cases.push_back({"ACL size below its header", withPart(d)});
  }
  {
    Bytes d = DaclDescriptor();
    d[20] = 1;
    cases.push_back({"ACL revision 1", withPart(d)});
  }
  {
    Bytes d = DaclDescriptor();
    Put16(d, 20 + 4, 3);
    cases.push_back({"three entries counted, two present", withPart(d)});
  }
  {
    Bytes d = DaclDescriptor();
    Put16(d, 20 + 8 + 2, 0);
    cases.push_back({"entry of size 0", withPart(d)});
  }
  {
    Bytes d = DaclDescriptor();
    Put16(d, 20 + 8 + 2, 0xFFF0);
    cases.push_back({"entry past the ACL", withPart(d)});
  }
  {
    // An allowed entry whose SID claims more sub-authorities than its size.
    Bytes d = DaclDescriptor();
    d[20 + 8 + 8 + 1] = 3;
    cases.push_back({"entry SID past the entry", withPart(d)});
  }
  {
    Bytes d = Descriptor({}, {}, Acl({Ace(2, 0x1F01FF, kEveryone)}), {});
    Put32(d, 12, static_cast<std::uint32_t>(d.size() - 2));
    cases.push_back({"SACL offset two bytes from the end", Serialized({{}, {}, {}, d})});
  }
  {
    // A good first part followed by a broken one: nothing may be kept.
    Bytes d = GroupDescriptor();
    d[20 + 1] = 9;
    cases.push_back({"second part broken", Serialized({DaclDescriptor(), d, {}, {}})});
  }
  return cases;
}

TEST(SecurityDescriptorSetTest, MalformedDataIsCorruptAndChangesNothing) {
  const Bytes before = Serialized({DaclDescriptor(), GroupDescriptor(), OwnerDescriptor(), {}});
  for (const Malformed& c : MalformedInputs()) {
    SCOPED_TRACE(c.what);
    SecurityDescriptorSet set;
    ASSERT_TRUE(set.Deserialize(before.data(), before.size()).IsNull());
    const Common::Error e = set.Deserialize(c.data.data(), c.data.size());
    EXPECT_EQ(e.Code(), kFileCorrupted);
    EXPECT_EQ(SerializeSet(set), before);
  }
}

TEST(SecurityDescriptorSetTest, NullDataIsCorrupt) {
  SecurityDescriptorSet set;
  EXPECT_EQ(set.Deserialize(nullptr, 16).Code(), kFileCorrupted);
}

TEST(SecurityDescriptorSetTest, EntriesOfOtherLayoutsNeedOnlyFitTheirList) {
  // An object entry (type 5) carries flags and GUIDs before its SID; only its
  // size is checked.
  Bytes object(4 + 4 + 4 + 16, 0x11);
  object[0] = 5;
  object[1] = 0;
  Put16(object, 2, static_cast<std::uint16_t>(object.size()));
  const Bytes d = Descriptor({}, {}, {}, Acl({object, Ace(0, 1, kEveryone)}));
  const Bytes data = Serialized({d, {}, {}, {}});
  SecurityDescriptorSet set;
  EXPECT_TRUE(set.Deserialize(data.data(), data.size()).IsNull());
  EXPECT_EQ(set.part(0).size, d.size());
}

TEST(SecurityDescriptorSetTest, SetPartKeepsOnlyWellFormedDescriptors) {
  SecurityDescriptorSet set;
  const Bytes owner = OwnerDescriptor();
  EXPECT_TRUE(set.SetPart(SecurityDescriptorSet::kOwner, owner.data(),
                          static_cast<std::uint32_t>(owner.size())));
  EXPECT_EQ(set.part(2).size, owner.size());

  Bytes broken = owner;
  broken[21] = 15;
  EXPECT_FALSE(set.SetPart(SecurityDescriptorSet::kOwner, broken.data(),
                           static_cast<std::uint32_t>(broken.size())));
  EXPECT_EQ(set.part(2).size, owner.size());  // the old one stays
  EXPECT_FALSE(set.SetPart(16, owner.data(), static_cast<std::uint32_t>(owner.size())));

  EXPECT_TRUE(set.SetPart(SecurityDescriptorSet::kOwner, nullptr, 0));
  EXPECT_EQ(set.part(2).size, 0u);
}

}  // namespace
