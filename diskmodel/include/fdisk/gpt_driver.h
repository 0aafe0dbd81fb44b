// The GPT scheme driver.
//
// It runs after the MBR driver: every MBR partition of type 0xEE in the
// layer below marks a GPT disk. The driver loads that disk's table and
// replaces the protective portion by one portion per entry and per free
// area; a disk whose table cannot be loaded stays visible as its protective
// partition. Create, delete and change edit the table models in memory;
// Commit writes the disks an operation changed, and only those.
//
// Parameters (named variables):
//   create: "DiskID" (unsigned long), "Start", "Size" (unsigned __int64),
//           "PartitionType" (GUID), all required; "Index" (unsigned int,
//           default 0), "FriendlyName" (UTF-16, default
//           "Basic data partition")
//   delete: "PortionID"
//   change: "PortionID"; optional "Start", "Size", "PartitionType",
//           "FriendlyName", "FlagPartitionAsHardwarePart" (bool)
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "fdisk/gpt_partitions.h"
#include "fdisk/portion.h"
#include "fdisk/ps_driver.h"

namespace Fdisk {

// Reads unique GUID, disk, first sector and size of a GPT location.
class GetGptIdVisitor : public LocationVisitor {
 public:
  using LocationVisitor::Visit;
  void Visit(GptLocation& location) override;
  bool found = false;
  Common::Guid uniqueGuid{};
  std::uint32_t diskId = 0;
  std::uint64_t first = 0;
  std::uint64_t size = 0;
};

// Sets first sector and size of a GPT location; its sector window follows.
class ChangeGptLocation : public LocationVisitor {
 public:
  ChangeGptLocation(std::uint64_t first, std::uint64_t size) : first_(first), size_(size) {}
  using LocationVisitor::Visit;
  void Visit(GptLocation& location) override;

 private:
  std::uint64_t first_;
  std::uint64_t size_;
};

// Sorts a location: kind 1 an MBR partition of type 0xEE (protective),
// kind 2 a GPT free area, kind 0 anything else.
class IsEfiTypeVisitor : public LocationVisitor {
 public:
  using LocationVisitor::Visit;
  void Visit(MbrLocation& location) override;
  void Visit(GptLocation& location) override;
  int kind = 0;
  std::uint32_t diskId = 0;
  std::uint64_t first = 0;
  std::uint64_t size = 0;
};

class PSGptDriver : public PSDriver {
 public:
  using TableMap = std::map<std::uint32_t, std::unique_ptr<Gpt::GptPartitions>>;

  class StoreGptContext : public PSDriver::Location {
   public:
    StoreGptContext(const TableMap& tables, const Layer& rawLayer)
        : tables_(&tables), raw_(&rawLayer) {}
    // The raw portions of the disks the driver holds a table for.
    void Store(Layer& out) override;
    // Leaves `out` as it is; the sectors are given by RestoreSectors.
    void Restore(Layer& out) override;
    // For each held disk with a raw portion (keyed by that portion's id):
    // every sector of both headers and both entry arrays.
    void RestoreSectors(std::map<std::uint32_t, std::list<std::uint64_t>>& out) const;

   private:
    const TableMap* tables_;
    const Layer* raw_;
  };

  PSGptDriver();
  ~PSGptDriver() override;

  void Accept(PSDriverVisitor& visitor) override;
  Common::Error ProcessDisks(Layer& rawLayer, Layer& headLayer) override;
  Layer& GetPortions() override { return layer_; }
  Location* GetStateStore() override { return store_.get(); }
  Common::Error AddDisks(PSDriverFactory& factory, Layer& layer, Layer& portions,
                         const NamedVars::VarContainer& params) override;
  // Empty tables and protective MBRs for the given disks; written on Commit.
  Common::Error InitDisks(PSDriverFactory& factory, const DiskMap& disks, Layer& portions,
                          const NamedVars::VarContainer& params) override;
  // Both headers of the disks behind the raw portions are zeroed on Commit.
  Common::Error ClearDisks(PSDriverFactory& factory, Layer& rawLayer, Layer& portions,
                           const NamedVars::VarContainer& params) override;
  // Both headers of the given disks are zeroed on Commit.
  Common::Error RemoveDisks(PSDriverFactory& factory, const DiskMap& disks, Layer& portions,
                            const NamedVars::VarContainer& params) override;
  // Each edits a copy of the disk's table that replaces it only on success.
  std::pair<Common::Error, std::uint32_t> CreatePortion(
      const NamedVars::VarContainer& params) override;
  Common::Error DeletePortion(const NamedVars::VarContainer& params) override;
  // Position, type, name, hardware flag, in that order, all or nothing.
  Common::Error ChangePortion(const NamedVars::VarContainer& params) override;
  // The pending MBR drivers first, then the changed tables in disk-id
  // order; write failures are thrown.
  Common::Error Commit() override;

  Gpt::GptPartitions* GetTable(std::uint32_t diskId);
  const TableMap& GetTables() const { return tables_; }

 private:
  // The layer from the tables and the portions passed through.
  void Rebuild();
  // Loads the disk's table over the area of its protective partition.
  Common::Error LoadDisk(std::uint32_t diskId, std::uint64_t first, std::uint64_t count);
  PSPortion MakePortion(std::uint32_t diskId, const Gpt::GptEntry& entry, std::uint32_t index,
                        bool free) const;
  SimpleDisk* DiskView(std::uint32_t diskId) const;
  std::pair<PSPortion*, GetGptIdVisitor> FindPortion(const NamedVars::VarContainer& params);

  Layer layer_;
  Layer passed_;  // portions of the layer below that are not GPT disks
  Layer raw_;
  Layer head_;
  TableMap tables_;
  std::set<std::uint32_t> changed_;
  // Portion ids of the used entries, by disk and unique GUID.
  std::map<std::uint32_t, std::map<Common::Guid, std::uint32_t>> ids_;
  std::map<std::uint32_t, SimpleDisk*> views_;
  std::list<std::unique_ptr<PSDriver>> pending_;
  std::unique_ptr<StoreGptContext> store_;
};

}  // namespace Fdisk
