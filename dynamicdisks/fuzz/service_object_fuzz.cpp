// Configuration objects of the dynamic-disk service, as the reconciliation
// reads them: whatever their bytes, nothing is read outside the object and
// its detail record, an object of another type than its record changes
// nothing, and the group's records and links stay consistent.
//
// Input: the object's 168 bytes (a shorter input is the whole object),
// then its detail record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "ldm/group.h"
#include "ldm/service_groups.h"

namespace {

class OneObjectService : public Ldm::ServiceConfig {
 public:
  Ldm::ConfigObject object;
  std::uint8_t group[0xD0] = {'D', 'g', '0'};
  Common::ByteView FindDiskGroup(const std::string&) override {
    return Common::ByteView(group, sizeof group);
  }
  void LockConfig() override {}
  void UnlockConfig() override {}
  std::vector<Ldm::ConfigObject> GroupObjects(const Common::ByteView&) override { return {object}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t objectBytes = size < Ldm::kObjBytes ? size : Ldm::kObjBytes;
  // Copies of exactly the given lengths, so that a read past either is seen.
  std::vector<std::uint8_t> object(data, data + objectBytes);
  std::vector<std::uint8_t> detail(data + objectBytes, data + size);
  Ldm::ConfigObject o{Common::ByteView(object.data(), object.size()),
                      Common::ByteView(detail.data(), detail.size())};

  Ldm::LdmRecord fresh;
  Ldm::UpdateFromWin(fresh, o);
  Ldm::LdmRecord plex;
  plex.type = Ldm::kRecordPlex;
  plex.rid = 5;
  plex.name = "keep";
  const bool applied = Ldm::UpdateFromWin(plex, o);
  if (!applied && (plex.type != Ldm::kRecordPlex || plex.name != "keep" || plex.rid != 5)) {
    std::abort();
  }

  // The whole reconciliation over a small group with a volume, its plex
  // and a subdisk, against this one object.
  Ldm::LdmComputer computer;
  computer.groups.push_back(std::make_unique<Ldm::LdmDgAccess>(
      "Dg0", "", "3e1b3a4c-1f2d-11de-9b6a-000c29a1b2c3", &computer));
  Ldm::LdmDgAccess& group = *computer.groups.front();
  for (std::uint8_t t : {Ldm::kRecordVolume, Ldm::kRecordPlex, Ldm::kRecordSubdisk}) {
    auto r = std::make_unique<Ldm::LdmRecord>();
    r->type = t;
    r->rid = t;
    r->parent = 1;
    r->plexRid = 2;
    group.records.push_back(std::move(r));
  }
  group.AddVolumeSummary(*group.records.front());
  OneObjectService service;
  service.object = o;
  Ldm::SetServiceConfigInstance(&service);
  Ldm::SynchronizeWinAndRawLdm(group);
  Ldm::SetServiceConfigInstance(nullptr);
  if (group.records.size() != 1) std::abort();
  for (const auto& r : group.records) {
    for (const Ldm::LdmRecord* child : r->children) {
      if (child->firstParent != r.get()) std::abort();
    }
  }
  // Summaries only of records still held.
  for (const Ldm::LdmVolume* v : group.volumes) {
    bool held = false;
    for (const auto& r : group.records) held = held || r.get() == v->record;
    if (!held) std::abort();
  }
  return 0;
}
