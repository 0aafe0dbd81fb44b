// Runs the client of the dynamic-disk service against what the prefix
// holds and prints one "check NAME ok|FAIL detail" line per finding, for
// the host-side script.
//   absent:  no "dmio" service and no Virtual Disk Service: the start
//            fails at once, loading the Virtual Disk Service through COM
//            fails, and the driver's way choice falls back to the raw
//            database.
//   standin: the stand-in service and configuration library: the start,
//            the flags handshake, the import slot put back, a request of
//            every opcode whose received block equals its layout, the
//            completion's object released, the reconciliation under the
//            library's lock, a request the service never completes.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/error.h"
#include "foundation/byteorder.h"
#include "ldm/group.h"
#include "ldm/service_client.h"
#include "ldm/service_groups.h"
#include "ldm/service_requests.h"
#include "ldm/service_ways.h"
#include "ldm/vds_client.h"

namespace {

int failures = 0;

void Check(const char* name, bool ok, const std::string& detail = std::string()) {
  std::printf("check %s %s %s\n", name, ok ? "ok" : "FAIL", detail.c_str());
  if (!ok) ++failures;
}

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(v));
  return text;
}

template <class F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

int Absent() {
  Ldm::SetServiceWaitLimit(3000);
  const DWORD start = GetTickCount();
  const Common::Error e = Ldm::LdmWinInit();
  Check("start-fails-0x109057", Common::GetErrorCode(e) == 0x109057, Hex(Common::GetErrorCode(e)));
  Check("start-fails-at-once", GetTickCount() - start < 2000);
  Ldm::LdmComputer computer;
  Ldm::InstallWindowsServiceClient();
  // The Virtual Disk Service through COM: Wine has no such server.
  Ldm::InstallVdsComBinding();
  const std::int32_t hr = Ldm::VdsAccess::Instance()->Init();
  Check("vds-load-fails", Ldm::VdsFailed(hr), Hex(static_cast<std::uint32_t>(hr)));
  Ldm::VdsAccess::Destroy();
  Check("vds-way-falls-back", Ldm::TryVdsWay(computer) == Ldm::kWayRaw);
  Check("vds-client-released", computer.vds == nullptr);
  Check("windows-way-falls-back", Ldm::TryWindowsLdmWay(computer) == Ldm::kWayRaw);
  // A second try starts again rather than counting the failed one as use.
  Check("windows-way-again", Ldm::TryWindowsLdmWay(computer) == Ldm::kWayRaw);
  return failures == 0 ? 0 : 1;
}

int Standin() {
  HMODULE library = LoadLibraryA("dmconfig.dll");
  if (library == nullptr) {
    Check("standin-loaded", false);
    return 1;
  }
  auto slotNow = Export<std::uint32_t(__stdcall*)()>(library, "standin_import_slot_now");
  auto slotAtStart = Export<std::uint32_t(__stdcall*)()>(library, "standin_import_slot_at_start");
  auto beforeReady = Export<int(__stdcall*)()>(library, "standin_request_before_ready");
  auto releases = Export<LONG(__stdcall*)()>(library, "standin_releases");
  auto locksHeld = Export<LONG(__stdcall*)()>(library, "standin_locks_held");
  auto setSilent = Export<void(__stdcall*)(int)>(library, "standin_set_silent");
  auto count = Export<std::uint32_t(__stdcall*)()>(library, "standin_received_count");
  auto receivedBlock = Export<std::uint32_t(__stdcall*)(std::uint32_t, std::uint8_t*,
                                                        std::uint32_t, std::uint32_t*,
                                                        std::uint32_t*)>(library,
                                                                         "standin_received");

  const std::uint32_t original = slotNow();
  Ldm::SetServiceWaitLimit(20000);
  const Common::Error e = Ldm::LdmWinInit();
  Check("start", !e, Hex(Common::GetErrorCode(e)));
  if (e) return 1;
  const std::uint32_t during = slotAtStart();
  Check("import-slot-redirected-during-start", during != 0 && during != original,
        Hex(during) + " " + Hex(original));
  Check("import-slot-restored", slotNow() == original, Hex(slotNow()));
  Check("no-redirection-kept", !Ldm::ImportRedirectionActive());
  Check("flags-handshake", beforeReady() == 0 && count() >= 1);

  // One request of every opcode.
  Ldm::RequestFields f;
  f.rootId = 0x1122334455667788ull;
  f.objectId = 0x123;
  f.secondId = 0x456;
  f.thirdId = 0x789;
  f.size = 0x100000800ull;
  f.layout = 3;
  f.diskName = "Harddisk7";
  f.disks = {{0x31, 0x1000}, {0x32, 0x2000}, {0x33, 0x3000}};
  f.secondTime = 0x0102030405060708ull;
  f.letter1 = u'E';
  f.letter2 = u':';
  const std::uint32_t opcodes[] = {10, 11, 12, 16, 17, 19, 20, 22, 24, 26, 33, 34, 37, 39};
  Ldm::ServiceRequester* requester = Ldm::ServiceRequesterInstance();
  const std::uint32_t first = count();
  for (std::uint32_t op : opcodes) {
    const std::uint32_t status = requester->Submit(op, f);
    Check(("request-" + std::to_string(op) + "-completes").c_str(), status == 0, Hex(status));
  }
  Check("every-request-received", count() == first + 14, std::to_string(count()));
  for (std::uint32_t i = 0; i < 14; ++i) {
    std::vector<std::uint8_t> got(4096, 0);
    std::uint32_t opcode = 0;
    std::uint32_t address = 0;
    const std::uint32_t n = receivedBlock(first + i, got.data(), 4096, &opcode, &address);
    got.resize(n < 4096 ? n : 4096);
    // The layout for where the block lay; what only the sender knows (the
    // creation time, the event, the status record) is taken as received,
    // at the task descriptor the block itself points to.
    Ldm::RequestContext c;
    c.blockAddress = address;
    c.completionRoutine = got.size() >= 16 ? Common::LoadLe32(&got[12]) : 0;
    std::vector<std::uint8_t> want = Ldm::BuildRequestBlock(opcode, f, c);
    const std::uint32_t task = got.size() >= 20 ? Common::LoadLe32(&got[16]) - address : 0;
    std::string diff;
    bool equal = want.size() == got.size() && opcode == opcodes[i];
    for (std::size_t b = 0; equal && b < want.size(); ++b) {
      const bool senderField = (b >= task && b < task + 8) || (b >= task + 24 && b < task + 32);
      if (want[b] != got[b] && !(senderField && want[b] == 0)) {
        equal = false;
        diff = "byte " + std::to_string(b);
      }
    }
    Check(("block-" + std::to_string(opcodes[i]) + "-matches-layout").c_str(), equal,
          std::to_string(got.size()) + " " + diff);
  }
  Check("completion-object-released", releases() >= 15, std::to_string(releases()));

  // The reconciliation reads the library's configuration under its lock.
  Ldm::LdmComputer computer;
  computer.groups.push_back(std::make_unique<Ldm::LdmDgAccess>(
      "Dg0", "", "3e1b3a4c-1f2d-11de-9b6a-000c29a1b2c3", &computer));
  Ldm::SynchronizeWinAndRawLdm(*computer.groups.front());
  const Ldm::LdmRecord* volume = computer.groups.front()->FindRecord(0x77);
  Check("reconciled-volume", volume != nullptr && volume->volSize == 2048);
  Check("lock-released", locksHeld() == 0);
  Check("root-id", requester->RootId() == 0x1122334455667788ull);

  // A service that never completes: the request ends with a time-out.
  setSilent(1);
  Ldm::SetServiceWaitLimit(1000);
  const DWORD start = GetTickCount();
  const std::uint32_t status = requester->Submit(Ldm::kOpDeleteVolume, f);
  Check("silent-service-times-out", status == Ldm::kStatusTimedOut, Hex(status));
  Check("time-out-bounded", GetTickCount() - start < 10000);
  Ldm::LdmDgAccess& group = *computer.groups.front();
  Ldm::LdmRecord* record = group.FindRecord(0x77);
  const Common::Error grow = Ldm::WinGrowVolume(group, *record, 10, {});
  Check("operation-reports-time-out", Common::GetErrorCode(grow) == 0x109059,
        Hex(Common::GetErrorCode(grow)));
  setSilent(0);

  // A second start runs the whole sequence again.
  Ldm::SetServiceWaitLimit(20000);
  const Common::Error again = Ldm::LdmWinInit();
  Check("second-start", !again, Hex(Common::GetErrorCode(again)));
  Check("import-slot-restored-again", slotNow() == original);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string phase = argc > 1 ? argv[1] : "";
  int rc = 2;
  if (phase == "absent") rc = Absent();
  if (phase == "standin") rc = Standin();
  std::printf("failures %d\n", failures);
  std::fflush(stdout);
  // The configuration threads never end; the process ends without them.
  ExitProcess(static_cast<UINT>(rc));
}
