// The boot order, boot entries and load options over a firmware double.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/error.h"
#include "diskaccess/uefi_boot.h"
#include "fake_firmware.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using DaTest::FakeFirmware;
using DaTest::FirmwareScope;

void Le16(Bytes& b, std::uint16_t v) {
  b.push_back(std::uint8_t(v));
  b.push_back(std::uint8_t(v >> 8));
}
void Le32(Bytes& b, std::uint32_t v) {
  Le16(b, std::uint16_t(v));
  Le16(b, std::uint16_t(v >> 16));
}
void Le64(Bytes& b, std::uint64_t v) {
  Le32(b, std::uint32_t(v));
  Le32(b, std::uint32_t(v >> 32));
}
void Wide(Bytes& b, const std::u16string& s) {
  for (char16_t c : s) Le16(b, std::uint16_t(c));
  Le16(b, 0);
}
void Node(Bytes& b, std::uint8_t type, std::uint8_t sub, const Bytes& payload) {
  b.push_back(type);
  b.push_back(sub);
  Le16(b, std::uint16_t(4 + payload.size()));
  b.insert(b.end(), payload.begin(), payload.end());
}
Bytes HardDrive(std::uint32_t number, std::uint64_t start, std::uint64_t size,
                std::uint8_t signatureType, std::uint8_t fill) {
  Bytes p;
  Le32(p, number);
  Le64(p, start);
  Le64(p, size);
  for (int i = 0; i < 16; ++i) p.push_back(signatureType == 1 && i >= 4 ? 0 : std::uint8_t(fill + i));
  p.push_back(signatureType);
  p.push_back(signatureType);
  return p;
}
Bytes FilePath(const std::u16string& path) {
  Bytes p;
  Wide(p, path);
  return p;
}
// A whole load option: attributes, the path's nodes with an end node, then
// the optional data.
Bytes LoadOption(const std::u16string& description, const Bytes& nodes, const Bytes& tail = {},
                 std::uint32_t attributes = 1) {
  Bytes b;
  Le32(b, attributes);
  Le16(b, std::uint16_t(nodes.size() + 4));
  Wide(b, description);
  b.insert(b.end(), nodes.begin(), nodes.end());
  Node(b, 0x7F, 0xFF, {});
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}
Bytes DiskEntry(const std::u16string& description, std::uint8_t signatureType = 2) {
  Bytes nodes;
  Node(nodes, 4, 1, HardDrive(1, 2048, 204800, signatureType, 0x10));
  Node(nodes, 4, 4, FilePath(u"\\EFI\\BOOT\\BOOTX64.EFI"));
  return LoadOption(description, nodes);
}
Bytes Order(std::initializer_list<std::uint16_t> numbers) {
  Bytes b;
  for (auto n : numbers) Le16(b, n);
  return b;
}
std::vector<std::uint16_t> Numbers(Uefi::BootOrder& order) {
  std::vector<std::uint16_t> out;
  for (auto it = order.Begin(); it != order.End(); ++it) out.push_back((*it)->GetNumber());
  return out;
}

class Boot : public ::testing::Test {
 protected:
  void Put(const std::u16string& name, const Bytes& data, std::uint32_t attributes = 7) {
    fw_.variables[name] = {data, attributes};
  }
  FakeFirmware fw_;
  FirmwareScope scope_{fw_};
};

TEST(BootEntryNames, FourUpperCaseDigitsOrLowerOnRequest) {
  EXPECT_EQ(Uefi::BootEntryName(10), u"Boot000A");
  EXPECT_EQ(Uefi::BootEntryName(0xBEEF), u"BootBEEF");
  EXPECT_EQ(Uefi::BootEntryName(0xBEEF, true), u"Bootbeef");
}

TEST_F(Boot, OrderReadsWholeNumbersAndTakesNoOrderAsEmpty) {
  struct Case {
    Bytes value;
    bool present;
    std::vector<std::uint16_t> numbers;
  } cases[] = {
      {{1, 0, 2, 0, 3, 0, 9}, true, {1, 2, 3}},  // 7 bytes: the odd one is ignored
      {{5}, true, {}},
      {{}, false, {}},
  };
  for (const Case& c : cases) {
    fw_.variables.clear();
    if (c.present) Put(u"BootOrder", c.value);
    std::shared_ptr<Uefi::BootOrder> order;
    ASSERT_TRUE(Uefi::ReadBootOrder(order).IsNull());
    EXPECT_EQ(Numbers(*order), c.numbers);
  }
}

TEST_F(Boot, NewEntryTakesTheLowestNumberNeitherListedNorPresent) {
  struct Case {
    Bytes order;
    std::vector<std::u16string> unlisted;  // entries the firmware has outside the order
    std::uint16_t expected;
  } cases[] = {
      {Order({0, 1, 3}), {}, 2},
      {{}, {}, 0},
      {Order({0, 1, 3}), {u"Boot0002"}, 4},
      {{}, {u"Boot0000", u"Boot0001"}, 2},
      {{}, {u"Boot000a"}, 0},
  };
  for (const Case& c : cases) {
    fw_.variables.clear();
    if (!c.order.empty()) Put(u"BootOrder", c.order);
    for (const auto& name : c.unlisted) Put(name, DiskEntry(u"kept"));
    std::shared_ptr<Uefi::BootOrder> order;
    ASSERT_TRUE(Uefi::ReadBootOrder(order).IsNull());
    std::shared_ptr<Uefi::BootEntry> entry;
    ASSERT_TRUE(order->NewEntry(entry).IsNull());
    EXPECT_EQ(entry->GetNumber(), c.expected);
  }
}

TEST_F(Boot, AFailedReadIsKeptAndNothingIsWrittenOverIt) {
  Put(u"BootOrder", Order({4, 5}));
  fw_.queryStatus = 0xC0000001;  // any firmware failure
  std::shared_ptr<Uefi::BootOrder> order;
  EXPECT_FALSE(Uefi::ReadBootOrder(order).IsNull());
  fw_.queryStatus = 0;
  auto* impl = static_cast<Uefi::BootOrderImpl*>(order.get());
  EXPECT_FALSE(impl->Read().IsNull()) << "a later read must not report success";
  Uefi::BootEntryImpl four(4);
  EXPECT_FALSE(order->Remove(four).IsNull());
  EXPECT_EQ(fw_.sets, 0);
  EXPECT_EQ(fw_.variables[u"BootOrder"].data, Order({4, 5}));
  std::shared_ptr<Uefi::BootEntry> entry;
  const Common::Error e = order->NewEntry(entry);
  EXPECT_EQ(e.Code(), Uefi::kErrOrderRead);
}

TEST_F(Boot, RemoveDropsEveryEntryOfTheNumberAndDeletesAnEmptyOrder) {
  Put(u"BootOrder", Order({2, 7, 2}), 7);
  std::shared_ptr<Uefi::BootOrder> order;
  ASSERT_TRUE(Uefi::ReadBootOrder(order).IsNull());
  ASSERT_TRUE(order->Remove(Uefi::BootEntryImpl(2)).IsNull());
  EXPECT_EQ(fw_.variables[u"BootOrder"].data, Order({7}));
  ASSERT_TRUE(order->Remove(Uefi::BootEntryImpl(7)).IsNull());
  EXPECT_EQ(fw_.variables.count(u"BootOrder"), 0u);
}

TEST_F(Boot, InsertKeepsTheNumberOnceAndRewritesEveryListedEntry) {
  Put(u"BootOrder", Order({1, 2, 3}));
  for (auto name : {u"Boot0001", u"Boot0002", u"Boot0003"}) Put(name, DiskEntry(name));
  std::shared_ptr<Uefi::BootOrder> order;
  ASSERT_TRUE(Uefi::ReadBootOrder(order).IsNull());
  auto three = std::make_shared<Uefi::BootEntryImpl>(3);
  ASSERT_TRUE(order->Insert(order->Begin(), three).IsNull());
  EXPECT_EQ(Numbers(*order), (std::vector<std::uint16_t>{3, 1, 2}));
  EXPECT_EQ(fw_.variables[u"BootOrder"].data, Order({3, 1, 2}));
  EXPECT_EQ(fw_.sets, 4);  // the order, then each entry once
  for (auto name : {u"Boot0001", u"Boot0002", u"Boot0003"})
    EXPECT_EQ(fw_.variables[name].data, DiskEntry(name));

  // A listed entry without its variable fails the check after the write.
  auto five = std::make_shared<Uefi::BootEntryImpl>(5);
  const Common::Error e = order->Insert(order->End(), five);
  EXPECT_EQ(e.Code(), Uefi::kErrInvalidOption);
  EXPECT_EQ(fw_.variables[u"BootOrder"].data, Order({3, 1, 2, 5}));
}

TEST_F(Boot, AnEntryUnderLowerCaseDigitsIsFoundAndWrittenBackThere) {
  Put(u"Boot00ab", DiskEntry(u"lower"));
  Uefi::BootEntryImpl entry(0xAB);
  EXPECT_TRUE(entry.Exists());
  std::shared_ptr<Uefi::LoadOptions> options;
  ASSERT_TRUE(entry.GetLoadOptions(options).IsNull());
  options->SetDescription(u"changed");
  ASSERT_TRUE(entry.Write().IsNull());
  EXPECT_EQ(fw_.variables.count(u"Boot00AB"), 0u);
  EXPECT_EQ(fw_.variables[u"Boot00ab"].data, DiskEntry(u"changed"));
}

TEST_F(Boot, ANewEntryIsWrittenUnderUpperCaseDigitsWithAttributesSeven) {
  Uefi::BootEntryImpl entry(0x1C);
  EXPECT_FALSE(entry.Exists());
  Uefi::LoadOptionsImpl options;
  options.SetDescription(u"new");
  options.SetPartitionNumber(1);
  options.SetPartitionStart(2048);
  options.SetPartitionSize(204800);
  Common::Guid guid{};
  for (int i = 0; i < 16; ++i) guid.bytes[i] = std::uint8_t(0x10 + i);
  options.SetGptSignature(guid);
  options.SetFilePath(u"\\EFI\\BOOT\\BOOTX64.EFI");
  ASSERT_TRUE(entry.SetLoadOptions(options).IsNull());
  ASSERT_TRUE(entry.Write().IsNull());
  EXPECT_EQ(fw_.variables[u"Boot001C"].data, DiskEntry(u"new"));
  EXPECT_EQ(fw_.variables[u"Boot001C"].attributes, 7u);
}

TEST_F(Boot, DeleteAndCopy) {
  Bytes withTail = DiskEntry(u"source");
  withTail.insert(withTail.end(), {'a', 'r', 'g'});
  Put(u"Boot0001", withTail);
  Uefi::BootEntryImpl source(1);
  auto target = std::make_shared<Uefi::BootEntryImpl>(2);
  ASSERT_TRUE(source.CopyTo(target).IsNull());
  EXPECT_EQ(fw_.variables.count(u"Boot0002"), 0u) << "a copy is in memory only";
  ASSERT_TRUE(target->Write().IsNull());
  EXPECT_EQ(fw_.variables[u"Boot0002"].data, withTail);
  ASSERT_TRUE(source.Delete().IsNull());
  EXPECT_EQ(fw_.variables.count(u"Boot0001"), 0u);
  EXPECT_EQ(Uefi::BootEntryImpl(9).CopyTo(target).Code(), Uefi::kErrCopy);
}

// Load options.

Common::Error ParseBytes(const Bytes& b, Uefi::LoadOptionsImpl& options, Bytes* rest = nullptr) {
  Uefi::ByteReader reader{b.data(), b.size()};
  Common::Error e = options.Parse(reader);
  if (rest) rest->assign(reader.data, reader.data + reader.left);
  return e;
}

TEST(LoadOptions, DamagedValuesAreRefusedWithoutReadingPastThem) {
  Bytes good = DiskEntry(u"ok");
  struct Case {
    const char* what;
    Bytes value;
  };
  std::vector<Case> cases;
  cases.push_back({"short header", Bytes(good.begin(), good.begin() + 5)});
  Bytes noTerminator;
  Le32(noTerminator, 1);
  Le16(noTerminator, 4);
  for (char16_t c : std::u16string(u"open")) Le16(noTerminator, std::uint16_t(c));
  cases.push_back({"unterminated description", noTerminator});
  for (std::uint16_t length : {0, 2, 0xFFF0}) {
    Bytes nodes;
    nodes.insert(nodes.end(), {1, 2});
    Le16(nodes, length);
    nodes.insert(nodes.end(), 12, 0xEE);
    cases.push_back({"node length", LoadOption(u"x", nodes)});
  }
  Bytes longList = DiskEntry(u"x");
  longList[4] = 0xFF;  // the list claims far more than the value holds
  longList[5] = 0x7F;
  cases.push_back({"list longer than the data", longList});
  Bytes shortList = DiskEntry(u"x");
  shortList[4] = 10;  // fewer bytes than the first node's length
  shortList[5] = 0;
  cases.push_back({"node longer than the list", shortList});
  Bytes shortDisk;
  Node(shortDisk, 4, 1, Bytes(20, 1));
  cases.push_back({"hard-drive node of 24 bytes", LoadOption(u"x", shortDisk)});
  Bytes openPath;
  Node(openPath, 4, 4, Bytes{'a', 0, 'b', 0});
  cases.push_back({"file path without its terminator", LoadOption(u"x", openPath)});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // An exact-size heap copy, so that the sanitizers see any read past it.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[c.value.size() + 1]);
    std::copy(c.value.begin(), c.value.end(), exact.get());
    Uefi::LoadOptionsImpl options;
    Uefi::ByteReader reader{exact.get(), c.value.size()};
    EXPECT_EQ(options.Parse(reader).Code(), Uefi::kErrNodeMissing);
  }
  Uefi::LoadOptionsImpl options;
  EXPECT_TRUE(ParseBytes(good, options).IsNull());
}

TEST(LoadOptions, AFilePathOfThreeCharactersIsTwelveBytesAndTheEndNodeIsCounted) {
  Uefi::LoadOptionsImpl options;
  options.SetDescription(u"d");
  options.SetFilePath(u"abc");
  Bytes out;
  ASSERT_TRUE(options.Serialize(out).IsNull());
  Bytes nodes;
  Node(nodes, 4, 4, FilePath(u"abc"));
  EXPECT_EQ(options.Nodes()[0]->length, 12);
  EXPECT_EQ(out, LoadOption(u"d", nodes));
}

TEST(LoadOptions, ValidityTable) {
  struct Case {
    const char* what;
    Bytes value;
    std::uint32_t failure;  // 0: valid
  };
  Bytes vendorOnly;
  Node(vendorOnly, 3, 11, Bytes(33, 7));  // a network node
  Bytes zeroGuid;
  Node(zeroGuid, 4, 1, HardDrive(1, 2048, 100, 2, 0));
  for (int i = 0; i < 16; ++i) zeroGuid[4 + 20 + i] = 0;
  Node(zeroGuid, 4, 4, FilePath(u"\\a.efi"));
  Bytes emptyPath;
  Node(emptyPath, 4, 1, HardDrive(1, 2048, 100, 2, 0x10));
  Node(emptyPath, 4, 4, FilePath(u""));
  const Case cases[] = {
      {"description and a network node", LoadOption(u"net", vendorOnly), 0},
      {"no description", LoadOption(u"", vendorOnly), Uefi::kErrNodeMissing},
      {"GPT disk", DiskEntry(u"gpt"), 0},
      {"MBR disk", DiskEntry(u"mbr", 1), 0},
      {"GUID signature of zeros", LoadOption(u"z", zeroGuid), Uefi::kErrSignatureType},
      {"empty file path", LoadOption(u"e", emptyPath), Uefi::kErrNodeMissing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Uefi::LoadOptionsImpl options;
    ASSERT_TRUE(ParseBytes(c.value, options).IsNull());
    EXPECT_EQ(options.Validate().Code(), c.failure);
  }
}

TEST(LoadOptions, GettersFollowTheSignatureType) {
  Uefi::LoadOptionsImpl gpt, mbr, none;
  ASSERT_TRUE(ParseBytes(DiskEntry(u"g"), gpt).IsNull());
  ASSERT_TRUE(ParseBytes(DiskEntry(u"m", 1), mbr).IsNull());
  std::uint32_t scheme = 0, signature = 0;
  Common::Guid guid{};
  EXPECT_TRUE(gpt.GetPartitionScheme(scheme).IsNull());
  EXPECT_EQ(scheme, Uefi::kSchemeGpt);
  EXPECT_TRUE(gpt.GetGptSignature(guid).IsNull());
  EXPECT_EQ(guid.bytes[15], 0x1F);
  EXPECT_EQ(gpt.GetMbrSignature(signature).Code(), Uefi::kErrSignatureType);
  EXPECT_TRUE(mbr.GetPartitionScheme(scheme).IsNull());
  EXPECT_EQ(scheme, Uefi::kSchemeMbr);
  EXPECT_TRUE(mbr.GetMbrSignature(signature).IsNull());
  EXPECT_EQ(signature, 0x13121110u);
  EXPECT_EQ(mbr.GetGptSignature(guid).Code(), Uefi::kErrSignatureType);
  std::uint64_t start = 0;
  EXPECT_EQ(none.GetPartitionStart(start).Code(), Uefi::kErrNodeMissing);
  std::u16string path;
  EXPECT_EQ(none.GetFilePath(path).Code(), Uefi::kErrNodeMissing);

  // A hard-drive node copied over replaces this one's, at the end.
  Uefi::LoadOptionsImpl target;
  ASSERT_TRUE(ParseBytes(DiskEntry(u"t", 1), target).IsNull());
  ASSERT_TRUE(target.CopyHardDrivePath(gpt).IsNull());
  ASSERT_EQ(target.Nodes().size(), 2u);
  EXPECT_EQ(target.Nodes()[1]->subType, 1);
  EXPECT_TRUE(target.GetPartitionScheme(scheme).IsNull());
  EXPECT_EQ(scheme, Uefi::kSchemeGpt);
  EXPECT_EQ(target.CopyHardDrivePath(none).Code(), Uefi::kErrNodeMissing);
}

TEST(LoadOptions, ASecondInstanceBecomesOptionalDataAndIsKeptOnRewrite) {
  Bytes nodes;
  Node(nodes, 4, 4, FilePath(u"\\one.efi"));
  Bytes second;
  Node(second, 0x7F, 0x01, {});  // the end of the first instance
  Node(second, 4, 4, FilePath(u"\\two.efi"));
  nodes.insert(nodes.end(), second.begin(), second.end());
  const Bytes value = LoadOption(u"two", nodes);
  Uefi::LoadOptionsImpl options;
  Bytes rest;
  ASSERT_TRUE(ParseBytes(value, options, &rest).IsNull());
  ASSERT_EQ(options.Nodes().size(), 1u);
  Bytes out;
  ASSERT_TRUE(options.Serialize(out).IsNull());
  out.insert(out.end(), rest.begin(), rest.end());
  Bytes expected;
  Node(expected, 4, 4, FilePath(u"\\one.efi"));
  Bytes tail(second.begin() + 4, second.end());
  tail.insert(tail.end(), {0x7F, 0xFF, 4, 0});
  EXPECT_EQ(out, LoadOption(u"two", expected, tail));
}

}  // namespace
