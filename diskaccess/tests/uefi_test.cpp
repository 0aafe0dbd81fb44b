// Firmware variables over a firmware double, and the UEFI test of the disk
// scan.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/uefi.h"
#include "fake_firmware.h"

namespace {

using DaTest::FakeFirmware;

class Variables : public ::testing::Test {
 protected:
  void SetUp() override { Uefi::SetFirmware(&fw_); }
  void TearDown() override { Uefi::SetFirmware(nullptr); }
  std::shared_ptr<Uefi::Variable> Make(const std::u16string& name, std::uint32_t attrs = 7) {
    return Uefi::MakeWindowsVariable(Uefi::EfiGlobalVariableGuid, name, attrs);
  }
  FakeFirmware fw_;
};

TEST_F(Variables, ALargeVariableArrivesCompleteInTwoCallsAndIsReadOnce) {
  std::vector<std::uint8_t> big(3000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  fw_.variables[u"Boot0001"] = {big, 3};
  auto v = Make(u"Boot0001");
  const std::uint8_t* data = nullptr;
  std::uint32_t count = 0;
  ASSERT_TRUE(v->GetData(data, count).IsNull());
  EXPECT_EQ(fw_.queries, 2);
  ASSERT_EQ(count, big.size());
  EXPECT_EQ(std::memcmp(data, big.data(), count), 0);
  EXPECT_EQ(v->Attributes(), 3u);  // the firmware's attributes replace the given ones
  EXPECT_TRUE(v->Read().IsNull());
  EXPECT_EQ(fw_.queries, 2);
}

TEST_F(Variables, WriteOfAnUnloadedVariableMakesNoCall) {
  auto v = Make(u"BootOrder");
  EXPECT_EQ(v->Write().Code(), Uefi::kErrNotLoaded);
  EXPECT_EQ(fw_.sets, 0);
  EXPECT_EQ(fw_.queries, 0);
}

TEST_F(Variables, RemoveWritesAnEmptyValueWithTheAttributesRead) {
  fw_.variables[u"Boot0002"] = {{1, 2, 3}, 5};
  auto v = Make(u"Boot0002", 7);
  ASSERT_TRUE(v->Read().IsNull());
  ASSERT_TRUE(v->Remove().IsNull());
  EXPECT_EQ(fw_.variables.count(u"Boot0002"), 0u);
  EXPECT_EQ(v->Attributes(), 5u);
  ASSERT_TRUE(Make(u"Boot0003")->WriteData("\x01\x00", 2).IsNull());
  EXPECT_EQ(fw_.variables[u"Boot0003"].data, (std::vector<std::uint8_t>{1, 0}));
}

TEST_F(Variables, StatusesBecomeTheirErrorsWithTheStatusAsCause) {
  struct Case {
    std::uint32_t status, code;
  };
  const Case cases[] = {{Uefi::kStatusNotImplemented, Uefi::kErrNotImplemented},
                        {Uefi::kStatusVariableNotFound, Uefi::kErrNotFound},
                        {Uefi::kStatus454, Uefi::kErr454},
                        {0xC0000022, Uefi::kErrFirmware}};
  for (const Case& c : cases) {
    fw_.queryStatus = c.status;
    auto v = Make(u"BootOrder");
    const Common::Error e = v->Read();
    EXPECT_EQ(e.Code(), c.code) << std::hex << c.status;
    EXPECT_FALSE(v->IsLoaded());
    const Common::Error cause = Common::GetErrorCause(e);
    ASSERT_FALSE(cause.IsNull());
    EXPECT_EQ(cause.Record()->size, c.status | 0x10000000u);
  }
}

TEST_F(Variables, ExistsIsFalseOnlyForAVariableTheFirmwareDoesNotHave) {
  EXPECT_FALSE(Make(u"Boot0009")->Exists());
  fw_.queryStatus = Uefi::kStatusNotImplemented;
  EXPECT_TRUE(Make(u"Boot0009")->Exists());
}

TEST_F(Variables, MissingFunctionsAndPrivilegeAreReportedBeforeTheFirmwareIsAsked) {
  fw_.queryMissing = true;
  const Common::Error missing = Make(u"BootOrder")->Read();
  EXPECT_EQ(missing.Code(), Uefi::kErrFunctionMissing);
  EXPECT_EQ(Common::GetErrorCause(missing).Record()->size, 0x8007007Fu);
  fw_.queryMissing = false;
  fw_.privilegeRefused = true;
  EXPECT_EQ(Make(u"BootOrder")->Read().Code(), Uefi::kErrPrivilege);
  EXPECT_EQ(fw_.queries, 0);
}

// A write that fails leaves the object and the firmware's variable as they
// were; a missing set function or privilege is found before the firmware is
// asked, the privilege first.
TEST_F(Variables, AFailedWriteChangesNothing) {
  struct Case {
    bool setMissing, refused;
    std::uint32_t status;
    std::uint32_t code;
    std::uint32_t cause;  // the cause record's status word; 0: no cause
  };
  const Case cases[] = {
      {true, false, 0, Uefi::kErrFunctionMissing, 0x8007007F},
      {false, true, 0, Uefi::kErrPrivilege, 0},
      {true, true, 0, Uefi::kErrPrivilege, 0},
      {false, false, 0xC0000022, Uefi::kErrFirmware, 0xC0000022 | 0x10000000u},
      {false, false, Uefi::kStatusNotImplemented, Uefi::kErrNotImplemented,
       Uefi::kStatusNotImplemented | 0x10000000u},
      {false, false, Uefi::kStatus454, Uefi::kErr454, Uefi::kStatus454 | 0x10000000u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.setMissing << c.refused << " " << std::hex << c.status);
    fw_ = FakeFirmware();
    fw_.variables[u"Boot0004"] = {{9, 8, 7}, 5};
    auto v = Make(u"Boot0004", 7);
    ASSERT_TRUE(v->Read().IsNull());
    fw_.setMissing = c.setMissing;
    fw_.privilegeRefused = c.refused;
    fw_.setStatus = c.status;
    const Common::Error e = v->Write();
    EXPECT_EQ(e.Code(), c.code);
    const Common::Error cause = Common::GetErrorCause(e);
    if (c.cause == 0) {
      EXPECT_TRUE(cause.IsNull());
    } else {
      ASSERT_FALSE(cause.IsNull());
      EXPECT_EQ(cause.Record()->size, c.cause);
    }
    EXPECT_EQ(fw_.sets, c.status != 0 ? 1 : 0);
    EXPECT_TRUE(v->IsLoaded());
    EXPECT_EQ(v->Value(), (std::vector<std::uint8_t>{9, 8, 7}));
    EXPECT_EQ(v->Attributes(), 5u);
    ASSERT_EQ(fw_.variables.count(u"Boot0004"), 1u);
    EXPECT_EQ(fw_.variables[u"Boot0004"].data, (std::vector<std::uint8_t>{9, 8, 7}));
    // Removing fails the same way and leaves the firmware's variable.
    EXPECT_EQ(v->Remove().Code(), c.code);
    EXPECT_EQ(fw_.variables.count(u"Boot0004"), 1u);
  }
}

TEST_F(Variables, IsEfiSystemFollowsWhatTheBootOrderReadSays) {
  struct Case {
    bool present;
    std::uint32_t status;
    bool missingFunction, refused, efi;
  };
  const Case cases[] = {
      {true, 0, false, false, true},                             // UEFI with a boot order
      {false, 0, false, false, true},                            // UEFI without one
      {true, Uefi::kStatusNotImplemented, false, false, false},  // BIOS
      {true, 0xC0000022, false, false, false},                   // any other failure
      {true, 0, true, false, false},                             // no native function
      {true, 0, false, true, false},                             // no privilege
  };
  for (const Case& c : cases) {
    fw_.variables.clear();
    if (c.present) fw_.variables[u"BootOrder"] = {{1, 0, 2, 0}, 7};
    fw_.queryStatus = c.status;
    fw_.queryMissing = c.missingFunction;
    fw_.privilegeRefused = c.refused;
    EXPECT_EQ(Uefi::IsEfiSystem(), c.efi) << c.present << " " << std::hex << c.status;
  }
}

TEST(GlobalVariableGuid, IsTheEfiGlobalVendor) {
  EXPECT_EQ(Common::GuidToString(Uefi::EfiGlobalVariableGuid),
            "8BE4DF61-93CA-11D2-AA0D-00E098032B8C");
}

}  // namespace

namespace {

// A firmware that keeps answering "buffer too small", naming a size that
// `next` works out from the one it was given.
class EndlessFirmware : public DaTest::FakeFirmware {
 public:
  std::uint32_t Query(const std::u16string&, const Common::Guid&, void*, std::uint32_t* length,
                      std::uint32_t*) override {
    ++queries;
    *length = next(*length);
    return Uefi::kStatusBufferTooSmall;
  }
  std::uint32_t (*next)(std::uint32_t) = nullptr;
};

TEST(VariableRead, AFirmwareThatNeverSettlesEndsTheReadWithAnError) {
  struct Case {
    const char* name;
    std::uint32_t (*next)(std::uint32_t);
    int queries;
  };
  const Case cases[] = {
      {"a needed size of 0", [](std::uint32_t) { return 0u; }, 1},
      {"the size it was given", [](std::uint32_t given) { return given; }, 1},
      {"always a little more", [](std::uint32_t given) { return given + 16; }, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EndlessFirmware fw;
    fw.next = c.next;
    DaTest::FirmwareScope scope(fw);
    auto v = Uefi::MakeWindowsVariable(Uefi::EfiGlobalVariableGuid, u"Boot0002", 7);
    const std::uint8_t* data = nullptr;
    std::uint32_t count = 0;
    EXPECT_EQ(v->GetData(data, count).Code(), Uefi::kErrFirmware);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(fw.queries, c.queries);
  }
}

}  // namespace
