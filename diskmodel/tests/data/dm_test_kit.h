// Test kit of the device-mapper tests: member disks in memory that any
// thread may use, with failures per sector range and a log of requests, and
// a holder that assembles a composite volume over them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "common/error.h"
#include "fdisk/dm_io.h"
#include "fdisk/dm_volume.h"
#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/simple_disk.h"

namespace DmTest {

constexpr std::uint32_t kSector = 512;

struct Request {
  std::uint32_t op;
  std::uint64_t sector;
  std::uint64_t count;
};

inline bool operator==(const Request& a, const Request& b) {
  return a.op == b.op && a.sector == b.sector && a.count == b.count;
}

inline std::ostream& operator<<(std::ostream& out, const Request& r) {
  return out << "{op " << r.op << ", " << r.sector << "+" << r.count << "}";
}

// A disk in memory, of 512-byte sectors unless told otherwise. Requests past the end, and requests
// that touch a failing range of their op, fail with 0x102001 and transfer
// nothing.
class MemberDisk : public Fdisk::SimpleDisk {
 public:
  explicit MemberDisk(std::uint64_t sectors, std::uint32_t sectorBytes = kSector)
      : data_(std::size_t(sectors) * sectorBytes) {
    sectorSize_ = sectorBytes;
    lastSector_ = sectors - 1;
  }

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    std::lock_guard<std::mutex> hold(mutex_);
    log_.push_back({op, sector, count});
    const std::uint64_t sectors = lastSector_ + 1;
    bool refuse = sector > sectors || count > sectors - sector;
    for (const Failure& f : failures_) {
      if ((f.op == 0 || f.op == op) && sector < f.first + f.count && f.first < sector + count) {
        refuse = true;
      }
    }
    if (refuse) return Fdisk::Error(0x41F10001, 0x41F1, Fdisk::kErrInvalidIo);
    std::uint8_t* at = data_.data() + sector * sectorSize_;
    if (op == Fdisk::kIoRead) std::memcpy(buffer, at, std::size_t(count * sectorSize_));
    if (op == Fdisk::kIoWrite) std::memcpy(at, buffer, std::size_t(count * sectorSize_));
    return Common::NoError;
  }

  // Requests of `op` (0: any) touching [first, first + count) fail.
  void Fail(std::uint32_t op, std::uint64_t first, std::uint64_t count) {
    std::lock_guard<std::mutex> hold(mutex_);
    failures_.push_back({op, first, count});
  }
  void Heal() {
    std::lock_guard<std::mutex> hold(mutex_);
    failures_.clear();
  }
  std::vector<Request> Log() {
    std::lock_guard<std::mutex> hold(mutex_);
    return log_;
  }
  std::vector<Request> Writes() {
    std::vector<Request> out;
    for (const Request& r : Log()) {
      if (r.op == Fdisk::kIoWrite) out.push_back(r);
    }
    return out;
  }
  void ClearLog() {
    std::lock_guard<std::mutex> hold(mutex_);
    log_.clear();
  }
  std::uint8_t* Bytes() { return data_.data(); }
  std::uint8_t* SectorAt(std::uint64_t n) { return data_.data() + n * kSector; }
  std::size_t Size() const { return data_.size(); }

 private:
  struct Failure {
    std::uint32_t op;
    std::uint64_t first;
    std::uint64_t count;
  };
  std::mutex mutex_;
  std::vector<std::uint8_t> data_;
  std::vector<Failure> failures_;
  std::vector<Request> log_;
};

// A composite volume under construction and its member disks (disk ids 1,
// 2, ...). The disks outlive the plextor.
class Volume {
 public:
  explicit Volume(Fdisk::NamedVars::VarContainer volumeVars = {})
      : plextor_(std::make_unique<Fdisk::DM::Plextor>(volumeVars)) {}
  ~Volume() { plextor_.reset(); }

  std::uint32_t AddDisk(std::uint64_t sectors, std::uint32_t sectorBytes = kSector) {
    disks_.push_back(std::make_unique<MemberDisk>(sectors, sectorBytes));
    const std::uint32_t id = std::uint32_t(disks_.size());
    map_[id] = disks_.back().get();
    return id;
  }
  MemberDisk& Disk(std::uint32_t id) { return *disks_.at(id - 1); }

  std::uint32_t AddPlex(Fdisk::DM::PlexType type, unsigned int chunk = 0, int layout = -1) {
    namespace K = Fdisk::NamedVars::Keys;
    Fdisk::NamedVars::VarContainer vars;
    vars.Set(K::PlexTypeName, type);
    if (chunk != 0) vars.Set(K::ChunkSize, chunk);
    if (layout >= 0) vars.Set(K::LayoutName, Fdisk::DM::LayoutType(layout));
    return plextor_->AddPlex(vars, &map_);
  }
  void AddExtent(std::uint32_t plex, std::uint32_t column, std::uint32_t disk,
                 std::uint64_t start, std::uint64_t length, bool usable = true) {
    Simple(plex).AddSubDisk(column, start, length, disk, &dispatcher_, usable);
  }
  Fdisk::DM::SimplePlex& Simple(std::uint32_t plex) {
    return static_cast<Fdisk::DM::SimplePlex&>(plextor_->FindPlex(plex));
  }

  Fdisk::DM::Plextor& Plextor() { return *plextor_; }
  Fdisk::DM::FastPlextorIO& Io() { return plextor_->GetIO(); }
  Fdisk::DM::MessageDispatcher& Dispatcher() { return dispatcher_; }
  Fdisk::DM::DiskMap& Map() { return map_; }

  Common::Error Read(std::uint64_t sector, std::vector<std::uint8_t>& out, std::uint64_t count) {
    out.assign(std::size_t(count * kSector), 0);
    return Io().Io(Fdisk::kIoRead, sector, out.data(), count);
  }
  Common::Error Write(std::uint64_t sector, std::vector<std::uint8_t> data) {
    return Io().Io(Fdisk::kIoWrite, sector, data.data(), data.size() / kSector);
  }

 private:
  Fdisk::DM::MessageDispatcher dispatcher_;
  std::vector<std::unique_ptr<MemberDisk>> disks_;
  Fdisk::DM::DiskMap map_;
  std::unique_ptr<Fdisk::DM::Plextor> plextor_;
};

// `count` sectors whose every byte tells its sector (seed + n) apart.
inline std::vector<std::uint8_t> Pattern(std::uint64_t count, std::uint32_t seed) {
  std::vector<std::uint8_t> out(std::size_t(count * kSector));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint32_t n = std::uint32_t(i / kSector) + seed;
    out[i] = std::uint8_t((n * 131u + (i % kSector) * 7u + (n >> 8)) ^ 0x5A);
  }
  return out;
}

inline std::uint32_t Code(const Common::Error& e) { return Common::GetErrorCode(e); }

}  // namespace DmTest
