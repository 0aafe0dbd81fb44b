// Requests of the dynamic-disk service: the blocks of every opcode against
// their layouts written out field by field, the checks that choose the
// service, and the group operations against a fake service that records
// what it receives and answers as told.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fdisk/named_var_keys.h"
#include "foundation/byteorder.h"
#include "ldm/group.h"
#include "ldm/service_groups.h"
#include "ldm/service_requests.h"
#include "ldmtest/mini_disk.h"

namespace {

using Ldm::RequestContext;
using Ldm::RequestFields;

// One expected field: offset, width in bytes (1 to 8, or 0 for a text of
// 32 bytes) and value.
struct Field {
  std::size_t offset;
  int width;
  std::uint64_t value;
  std::string text;
};

struct BlockCase {
  std::uint32_t opcode;
  std::size_t bytes;
  std::vector<Field> fields;
};

constexpr std::uint32_t kAt = 0x00A10000;       // where the block lies
constexpr std::uint32_t kRoutine = 0x00401234;  // the completion routine
constexpr std::uint64_t kTime = 0x01D9AABBCCDDEEFFull;
constexpr std::uint32_t kEvent = 0x1C4;
constexpr std::uint32_t kStatus = 0x00B20000;
constexpr std::uint64_t kRoot = 0x1122334455667788ull;

// Every byte the expectation does not name must be zero.
void CheckBlock(const BlockCase& c, const std::vector<std::uint8_t>& got) {
  SCOPED_TRACE("opcode " + std::to_string(c.opcode));
  ASSERT_EQ(got.size(), c.bytes);
  std::vector<std::uint8_t> want(c.bytes, 0);
  std::vector<Field> all = c.fields;
  all.push_back({8, 4, c.opcode, ""});
  all.push_back({12, 4, kRoutine, ""});
  for (const Field& f : all) {
    if (f.width == 0) {
      ASSERT_LE(f.offset + 32, want.size());
      std::memcpy(&want[f.offset], f.text.data(), f.text.size());
      continue;
    }
    ASSERT_LE(f.offset + f.width, want.size()) << "field at " << f.offset;
    for (int i = 0; i < f.width; ++i) want[f.offset + i] = std::uint8_t(f.value >> (8 * i));
  }
  for (std::size_t i = 0; i < c.bytes; ++i) {
    EXPECT_EQ(got[i], want[i]) << "byte " << i;
  }
}

TEST(RequestBlocks, EveryOpcodeMatchesItsLayout) {
  RequestFields f;
  f.rootId = kRoot;
  f.objectId = 0x0000000000000123ull;
  f.secondId = 0x0000000000000456ull;
  f.thirdId = 0x0000000000000789ull;
  f.size = 0x0000000100000800ull;
  f.layout = 3;
  f.diskName = "Harddisk7";
  f.disks = {{0x31, 0x1000}, {0x32, 0x2000}, {0x33, 0x3000}};
  f.secondTime = 0x0102030405060708ull;
  f.letter1 = u'E';
  f.letter2 = u':';
  RequestContext c;
  c.blockAddress = kAt;
  c.completionRoutine = kRoutine;
  c.time = kTime;
  c.event = kEvent;
  c.statusAddress = kStatus;
  const std::uint32_t n = 3;
  // The disk entries of a block, at `at`.
  auto disks = [&](std::size_t at) {
    std::vector<Field> out;
    for (std::uint32_t i = 0; i < n; ++i) {
      out.push_back({at + 16 * i, 8, f.disks[i].id, ""});
      out.push_back({at + 16 * i + 8, 8, f.disks[i].sectors, ""});
    }
    return out;
  };
  auto join = [](std::vector<Field> a, const std::vector<Field>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::size_t t17 = 136 + 16 * n, t20 = 88 + 16 * n, t26 = 88 + 16 * n;
  const std::vector<BlockCase> cases = {
      {10, 236, {{16, 4, kAt + 52, ""}, {20, 0, 0, "Harddisk7"}, {76, 8, f.secondTime, ""},
                 {52, 8, kTime, ""}, {60, 4, kAt, ""}, {64, 4, 7, ""}}},
      {11, 444, {{16, 4, kAt + 92, ""}, {20, 8, kRoot, ""}, {28, 0, 0, "Harddisk7"},
                 {128, 4, 0x110004, ""}, {92, 8, kTime, ""}, {100, 4, kAt, ""}, {104, 4, 7, ""}}},
      {12, 236, {{16, 4, kAt + 36, ""}, {20, 8, kRoot, ""}, {28, 8, 0x123, ""},
                 {36, 8, kTime, ""}, {44, 4, kAt, ""}, {48, 4, 5, ""}}},
      {16, 104, {{16, 4, kAt + 56, ""}, {64, 4, kAt, ""}, {80, 4, kEvent, ""}}},
      {17, 568 + 40 * n,
       join({{16, 4, kAt + t17, ""}, {20, 8, kRoot, ""}, {64, 8, f.size, ""}, {72, 4, 3, ""},
             {76, 4, 2, ""}, {80, 4, n, ""}, {88, 4, 128, ""}, {96, 4, n, ""},
             {100, 4, kAt + 104 + 16 * n, ""}, {t17, 8, kTime, ""}, {t17 + 8, 4, kAt, ""},
             {t17 + 12, 4, 7, ""}, {t17 + 24, 4, kStatus, ""}, {t17 + 28, 4, kEvent, ""}},
            disks(104))},
      {19, 64, {{16, 4, kAt + 40, ""}, {20, 8, kRoot, ""}, {28, 8, 0x123, ""}, {36, 4, 1, ""},
                {40, 8, kTime, ""}}},
      {20, 512 + 40 * n,
       join({{16, 4, kAt + t20, ""}, {20, 8, kRoot, ""}, {28, 8, 0x123, ""}, {40, 4, n, ""},
             {44, 4, kAt + 48 + 16 * n, ""}, {t20, 8, kTime, ""}, {t20 + 8, 4, kAt, ""},
             {t20 + 12, 4, 7, ""}, {t20 + 24, 4, kStatus, ""}, {t20 + 28, 4, kEvent, ""}},
            disks(48))},
      {22, 200, {{16, 4, kAt + 44, ""}, {20, 8, kRoot, ""}, {28, 8, 0x123, ""}, {36, 8, 0x456, ""},
                 {44, 8, kTime, ""}, {52, 4, kAt, ""}, {56, 4, 7, ""}, {68, 4, kStatus, ""},
                 {72, 4, kEvent, ""}}},
      {24, 144, {{16, 4, kAt + 56, ""}, {20, 8, kRoot, ""}, {28, 8, 0x123, ""}, {36, 4, kAt + 96, ""},
                 {40, 8, 0x456, ""}, {48, 8, 0x789, ""}, {56, 8, kTime, ""}, {64, 4, kAt, ""},
                 {68, 4, 7, ""}, {80, 4, kEvent, ""}}},
      {26, 328 + 40 * n,
       join({{16, 4, kAt + t26, ""}, {20, 8, kRoot, ""}, {28, 8, 0x123, ""}, {40, 8, f.size, ""},
             {48, 4, n, ""}, {52, 4, kAt + 56 + 16 * n, ""}, {t26, 8, kTime, ""},
             {t26 + 8, 4, kAt, ""}, {t26 + 12, 4, 7, ""}, {t26 + 24, 4, kEvent, ""}},
            disks(56))},
      {33, 1088, {{16, 4, kAt + 96, ""}, {28, 4, 1, ""}, {32, 0, 0, "Harddisk7"},
                  {96, 8, kTime, ""}, {104, 4, kAt, ""}, {108, 4, 3, ""}, {120, 4, kEvent, ""}}},
      {34, 1088, {{16, 4, kAt + 96, ""}, {20, 8, kRoot, ""}, {28, 4, 1, ""}, {32, 0, 0, "Harddisk7"},
                  {96, 8, kTime, ""}, {104, 4, kAt, ""}, {108, 4, 3, ""}, {120, 4, kEvent, ""}}},
      {37, 128, {{16, 4, kAt + 88, ""}, {20, 8, kRoot, ""}, {28, 8, 0x123, ""}, {36, 2, 'E', ""},
                 {38, 2, ':', ""}, {96, 4, kAt, ""}, {100, 4, 1, ""}}},
      {39, 272, {{16, 4, kAt + 40, ""}, {20, 8, kRoot, ""}, {28, 8, 0x123, ""}, {40, 8, kTime, ""},
                 {48, 4, kAt, ""}, {52, 4, 7, ""}, {64, 4, kEvent, ""}}},
  };
  ASSERT_EQ(cases.size(), 14u);
  for (const BlockCase& bc : cases) {
    EXPECT_EQ(Ldm::RequestBlockSize(bc.opcode, n), bc.bytes) << bc.opcode;
    CheckBlock(bc, Ldm::BuildRequestBlock(bc.opcode, f, c));
  }
  EXPECT_TRUE(Ldm::BuildRequestBlock(18, f, c).empty());
  EXPECT_EQ(Ldm::RequestBlockSize(18, 0), 0u);
}

TEST(RequestBlocks, LongNamesAndTooManyDisksStayInsideTheBlock) {
  RequestFields f;
  f.diskName = std::string(40, 'x');
  const auto block = Ldm::BuildRequestBlock(Ldm::kOpConvertEmptyToBasic, f, RequestContext());
  ASSERT_EQ(block.size(), 236u);
  EXPECT_EQ(block[20 + 30], 'x');
  EXPECT_EQ(block[20 + 31], 0) << "the name field keeps its terminator";
  f.disks.assign(33, {1, 1});
  EXPECT_TRUE(Ldm::BuildRequestBlock(Ldm::kOpCreateVolume, f, RequestContext()).empty());
  // A drive hint of "" sends 0 and nothing as the second letter.
  RequestFields hint;
  hint.letter1 = 0;
  hint.letter2 = u'Q';
  const auto h = Ldm::BuildRequestBlock(Ldm::kOpDriveHint, hint, RequestContext());
  EXPECT_EQ(Common::LoadLe16(&h[36]), 0);
  EXPECT_EQ(Common::LoadLe16(&h[38]), 0);
}

// --- checks ---------------------------------------------------------------------------

struct CheckModel {
  Ldm::LdmComputer computer;
  Ldm::LdmDgAccess* group;
  CheckModel() {
    computer.groups.push_back(
        std::make_unique<Ldm::LdmDgAccess>("Dg0", "h", "3e1b3a4c-1f2d-11de-9b6a-000c29a1b2c3",
                                           &computer));
    group = computer.groups.back().get();
    group->rootLike = true;
  }
};

std::vector<Ldm::SpaceRequest> Entries(std::size_t n) {
  std::vector<Ldm::SpaceRequest> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i].disk = 100 + i;
  return out;
}

TEST(ServiceChecks, CreateVolumeRulesAndRounding) {
  struct Case {
    const char* what;
    Fdisk::LdmVolType type;
    std::uint64_t size;
    std::uint32_t mirrors;
    std::uint32_t stripe;
    std::size_t disks;
    std::uint32_t flags;
    bool round;
    std::uint32_t code;     // 0: accepted
    std::uint64_t after;    // the size after the check
  };
  const std::vector<Case> cases = {
      {"striped rounded to 128 x disks", Fdisk::kLdmVolStriped, 1000, 1, 128, 3, 0x8, true, 0, 768},
      {"aligned down to 2048 with 0x20", Fdisk::kLdmVolSimple, 4097, 1, 128, 1, 0x28, true, 0, 4096},
      {"not aligned, no rounding", Fdisk::kLdmVolSimple, 4097, 1, 128, 1, 0x28, false, 0x1090B2, 4097},
      {"raid5 multiple of 256", Fdisk::kLdmVolRaid5, 2560, 1, 128, 3, 0x8, true, 0, 2560},
      {"raid5 not a multiple", Fdisk::kLdmVolRaid5, 2600, 1, 128, 3, 0x8, true, 0x109030, 2600},
      {"three mirrors before the disk count", Fdisk::kLdmVolMirrored, 100, 3, 128, 9, 0x8, true,
       0x10902B, 100},
      {"mirror on a client without mirrors", Fdisk::kLdmVolMirrored, 100, 2, 128, 2, 0x9, true,
       0x109029, 100},
      {"no flags", Fdisk::kLdmVolSimple, 100, 1, 128, 1, 0, true, 0x109024, 100},
      {"no disks", Fdisk::kLdmVolSimple, 100, 1, 128, 0, 0x8, true, 0x109022, 100},
      {"33 disks", Fdisk::kLdmVolSpanned, 100, 1, 128, 33, 0x8, true, 0x109023, 100},
      {"size 0", Fdisk::kLdmVolSimple, 0, 1, 128, 1, 0x8, true, 0x109021, 0},
      {"stripe of one disk", Fdisk::kLdmVolStriped, 1000, 1, 128, 1, 0x8, true, 0x109028, 896},
      {"stripe size 64", Fdisk::kLdmVolStriped, 1024, 1, 64, 2, 0x8, true, 0x109026, 1024},
      {"RAID 0+1", Fdisk::kLdmVolRaid01, 1024, 1, 128, 2, 0x8, true, 0x109031, 1024},
  };
  CheckModel m;
  for (const Case& c : cases) {
    std::uint64_t size = c.size;
    const Common::Error e = Ldm::WinCheckCreateVolume(*m.group, c.type, size, c.mirrors, c.stripe,
                                                      Entries(c.disks), c.flags, c.round);
    EXPECT_EQ(e.Code(), c.code) << c.what;
    EXPECT_EQ(size, c.after) << c.what;
  }
  m.group->rootLike = false;
  std::uint64_t size = 100;
  EXPECT_EQ(Ldm::WinCheckCreateVolume(*m.group, Fdisk::kLdmVolSimple, size, 1, 128, Entries(1), 8,
                                      true)
                .Code(),
            0x109020u);
}

// --- operations against a fake service ----------------------------------------------------

// A service that keeps its configuration as objects and carries out the
// requests it knows on them.
class FakeDmService : public Ldm::ServiceConfig, public Ldm::ServiceRequester {
 public:
  FakeDmService() {
    Ldm::SetServiceConfigInstance(this);
    Ldm::SetServiceRequesterInstance(this);
    group_.assign(Ldm::kObjBytes, 0);
    std::memcpy(&group_[Ldm::kObjNameOffset], "Dg0", 3);
  }
  ~FakeDmService() override {
    Ldm::SetServiceConfigInstance(nullptr);
    Ldm::SetServiceRequesterInstance(nullptr);
  }
  Common::ByteView FindDiskGroup(const std::string& name) override {
    return name == "Dg0" ? Common::ByteView(group_.data(), group_.size()) : Common::ByteView();
  }
  void LockConfig() override {}
  void UnlockConfig() override {}
  std::vector<Ldm::ConfigObject> GroupObjects(const Common::ByteView&) override {
    std::vector<Ldm::ConfigObject> out;
    for (auto& o : objects) {
      out.push_back({Common::ByteView(o.first.data(), o.first.size()),
                     Common::ByteView(o.second.data(), o.second.size())});
    }
    return out;
  }
  std::uint64_t RootId() override { return kRoot; }
  std::uint32_t Submit(std::uint32_t opcode, const RequestFields& fields) override {
    RequestContext c;
    c.blockAddress = 0x1000;
    sent.push_back(opcode);
    blocks.push_back(Ldm::BuildRequestBlock(opcode, fields, c));
    auto answer = statuses.find(opcode);
    const std::uint32_t status = answer != statuses.end() ? answer->second : 0;
    if (status == 0 && onSuccess) onSuccess(opcode, fields);
    return status;
  }
  void ClearTaskCompleted() override { ++taskClears; }
  bool WaitTaskCompletion() override {
    ++taskWaits;
    return !taskTimesOut;
  }
  void AddVolume(std::uint64_t id, const std::string& name, std::uint64_t size) {
    std::vector<std::uint8_t> object(Ldm::kObjBytes, 0), detail(Ldm::kVolumeDetailBytes, 0);
    Common::StoreLe16(&object[Ldm::kObjTypeOffset], 1);
    Common::StoreLe64(&object[Ldm::kObjIdOffset], id);
    Common::StoreLe64(&detail[0x188], id);
    std::memcpy(&detail[0x90], name.data(), name.size());
    Common::StoreLe64(&detail[0x1C8], size);
    objects.emplace_back(object, detail);
  }

  std::vector<std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>> objects;
  std::vector<std::uint32_t> sent;
  std::vector<std::vector<std::uint8_t>> blocks;
  std::map<std::uint32_t, std::uint32_t> statuses;
  std::function<void(std::uint32_t, const RequestFields&)> onSuccess;
  int taskClears = 0;
  int taskWaits = 0;
  bool taskTimesOut = false;

 private:
  std::vector<std::uint8_t> group_;
};

TEST(ServiceOperations, CreateVolumeFindsTheNewVolumeOrFails) {
  CheckModel m;
  FakeDmService service;
  service.onSuccess = [&](std::uint32_t opcode, const RequestFields& f) {
    if (opcode == Ldm::kOpCreateVolume) service.AddVolume(0x77, "Volume1", f.size);
  };
  std::uint32_t luid = 99;
  Ldm::SpaceRequest e;
  e.disk = 0x31;
  e.size = 4096;
  EXPECT_FALSE(Ldm::WinCreateVolume(*m.group, Fdisk::kLdmVolMirrored, 4096, {e, e}, &luid));
  ASSERT_EQ(service.sent, std::vector<std::uint32_t>{Ldm::kOpCreateVolume});
  EXPECT_EQ(Common::LoadLe32(&service.blocks[0][72]), 1u) << "mirrored layout code";
  EXPECT_EQ(service.taskWaits, 1) << "mirrored volumes wait for the task";
  Ldm::LdmRecord* made = m.group->FindRecord(0x77);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(luid, made->ModelId());
  EXPECT_FALSE(made->winCreated) << "new marks cleared after the operation";
  ASSERT_EQ(m.computer.volumes.size(), 1u);
  EXPECT_EQ(m.computer.volumes.front()->record, made);

  // The service takes the request but shows no new volume: no success
  // with volume id 0.
  service.onSuccess = nullptr;
  luid = 99;
  const Common::Error none = Ldm::WinCreateVolume(*m.group, Fdisk::kLdmVolSimple, 10, {e}, &luid);
  EXPECT_EQ(none.Code(), 0x109055u);
  EXPECT_EQ(luid, 0u);
  EXPECT_EQ(service.taskWaits, 1) << "simple volumes do not wait";

  // Refusals before anything is sent.
  const std::size_t before = service.sent.size();
  EXPECT_EQ(Ldm::WinCreateVolume(*m.group, Fdisk::kLdmVolRaid01, 10, {e}, &luid).Code(), 0x109032u);
  EXPECT_EQ(Ldm::WinCreateVolume(*m.group, Fdisk::LdmVolType(9), 10, {e}, &luid).Code(), 0x10900Eu);
  EXPECT_EQ(service.sent.size(), before);
}

TEST(ServiceOperations, FailuresTimeOutsAndAbsentService) {
  CheckModel m;
  Ldm::LdmRecord volume;
  volume.type = Ldm::kRecordVolume;
  volume.rid = 0x50;
  Ldm::SpaceRequest e;
  e.disk = 0x31;
  // Without a service every operation answers its own "not available".
  EXPECT_EQ(Ldm::WinGrowVolume(*m.group, volume, 10, {e}).Code(), 0x109058u);
  EXPECT_EQ(Ldm::WinAddMirror(*m.group, volume, {e}).Code(), 0x10905Eu);
  EXPECT_EQ(Ldm::WinSetDriveHint(*m.group, volume, "E").Code(), 0x109062u);

  FakeDmService service;
  service.statuses[Ldm::kOpGrowVolume] = 5;
  EXPECT_EQ(Ldm::WinGrowVolume(*m.group, volume, 10, {e}).Code(), 0x109059u);
  // A task that never completes is a failure of the operation, not a hang.
  service.taskTimesOut = true;
  EXPECT_EQ(Ldm::WinAddMirror(*m.group, volume, {e}).Code(), 0x10905Fu);
  service.statuses[Ldm::kOpRemoveMirror] = Ldm::kStatusTimedOut;
  Ldm::LdmRecord plex;
  Ldm::LdmRecord sd;
  plex.children.push_back(&sd);
  EXPECT_EQ(Ldm::WinRemoveMirror(*m.group, volume, plex).Code(), 0x10905Bu);
  Ldm::LdmRecord emptyPlex;
  EXPECT_EQ(Ldm::WinRemoveMirror(*m.group, volume, emptyPlex).Code(), 0x10907Bu);
}

TEST(ServiceOperations, EncapsulationStatusesAndColumnReplacement) {
  CheckModel m;
  FakeDmService service;
  Ldm::LdmDisk disk(nullptr, &m.computer);
  struct Case {
    std::uint32_t query, encapsulate, code;
    std::vector<std::uint32_t> sent;
  };
  const std::vector<Case> cases = {
      {0, 0, 0, {33, 34}},
      {237, 0, 0, {33, 34}},
      {0, 237, 0x100C0E, {33, 34}},
      {227, 0, 0x10901B, {33}},
      {5, 0, 0x10906A, {33}},
      {0, 9, 0x10906B, {33, 34}},
  };
  for (const Case& c : cases) {
    service.sent.clear();
    service.statuses = {{33, c.query}, {34, c.encapsulate}};
    EXPECT_EQ(Ldm::WinEncapsulateDisk(disk).Code(), c.code) << c.query << "/" << c.encapsulate;
    EXPECT_EQ(service.sent, c.sent) << c.query << "/" << c.encapsulate;
  }

  // The column's disk is the last subdisk of the first plex with that
  // column; the disk that holds it already means nothing to send.
  Ldm::LdmRecord volume, plex, sd0, sd1;
  volume.rid = 0x50;
  sd0.plexIdx = 0;
  sd0.diskRid = 0x31;
  sd1.plexIdx = 1;
  sd1.diskRid = 0x32;
  plex.children = {&sd0, &sd1};
  volume.children = {&plex};
  service.sent.clear();
  service.statuses.clear();
  service.taskTimesOut = false;
  EXPECT_FALSE(Ldm::WinReplaceRAID5Column(*m.group, volume, 1, 0x32));
  EXPECT_TRUE(service.sent.empty());
  EXPECT_EQ(Ldm::WinReplaceRAID5Column(*m.group, volume, 4, 0x33).Code(), 0x109009u);
  EXPECT_FALSE(Ldm::WinReplaceRAID5Column(*m.group, volume, 1, 0x33));
  ASSERT_EQ(service.sent, std::vector<std::uint32_t>{Ldm::kOpReplaceColumn});
  EXPECT_EQ(Common::LoadLe64(&service.blocks.back()[40]), 0x33u);
  EXPECT_EQ(Common::LoadLe64(&service.blocks.back()[48]), 0x32u);
}

}  // namespace
