// The VBLK record codec: one field table, walked by a reader, a writer and
// a sizer, so that the three can never disagree on the order or presence
// of a field.
#include "ldm/record.h"

#include <algorithm>
#include <cstring>

#include "fdisk/model.h"
#include "ldm/format.h"

namespace Ldm {

namespace {

// The stream position: after every byte it advances by one and skips the
// 16-byte header of the next slot.
inline void Advance(std::uint32_t& pos) {
  ++pos;
  if (pos % kSlotBytes < kSlotHeaderBytes) pos += kSlotHeaderBytes;
}

bool AnySet(const std::string& s) { return !s.empty(); }
bool AnySet(const Guid16& g) {
  return std::any_of(g.begin(), g.end(), [](std::uint8_t b) { return b != 0; });
}

// Reads from the packed bytes; every byte is checked against their end.
class Reader {
 public:
  static constexpr bool kReading = true;
  explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

  std::uint8_t Byte() {
    if (pos_ >= bytes_.size()) {
      overrun_ = true;
      return 0;
    }
    const std::uint8_t b = bytes_[pos_];
    Advance(pos_);
    return b;
  }
  template <class T>
  void Var(T& v) {
    const std::uint8_t n = Byte();
    std::uint64_t value = 0;
    for (std::uint8_t i = 0; i < n && !overrun_; ++i) value = (value << 8) | Byte();
    v = static_cast<T>(value);
  }
  void Str(std::string& s, std::size_t field) {
    const std::uint8_t n = Byte();
    s.clear();
    for (std::uint8_t i = 0; i < n && !overrun_; ++i) {
      const std::uint8_t c = Byte();
      if (s.size() < field - 1) s.push_back(static_cast<char>(c));
    }
  }
  template <class T>
  void Fixed(T& v, int n) {
    std::uint64_t value = 0;
    for (int i = 0; i < n; ++i) value = (value << 8) | Byte();
    v = static_cast<T>(value);
  }
  void Raw(std::uint8_t* at, int n) {
    for (int i = 0; i < n; ++i) at[i] = Byte();
  }
  bool Overrun() const { return overrun_; }
  std::uint32_t Position() const { return pos_; }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::uint32_t pos_ = kPayloadStart;
  bool overrun_ = false;
};

// Writes into the packed bytes, or (with no bytes) only counts.
class Writer {
 public:
  static constexpr bool kReading = false;
  explicit Writer(std::vector<std::uint8_t>* bytes) : bytes_(bytes) {}

  void Byte(std::uint8_t b) {
    if (bytes_ != nullptr) {
      if (pos_ < bytes_->size()) {
        (*bytes_)[pos_] = b;
      } else {
        overrun_ = true;
      }
    }
    Advance(pos_);
  }
  template <class T>
  void Var(T& v) {
    const std::uint64_t value = v;
    std::uint8_t n = 0;
    while (n < 8 && (value >> (8 * n)) != 0) ++n;
    Byte(n);
    for (int i = n - 1; i >= 0; --i) Byte(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  void Str(std::string& s, std::size_t) {
    const std::size_t n = std::min<std::size_t>(s.size(), 255);
    Byte(static_cast<std::uint8_t>(n));
    for (std::size_t i = 0; i < n; ++i) Byte(static_cast<std::uint8_t>(s[i]));
  }
  template <class T>
  void Fixed(T& v, int n) {
    const std::uint64_t value = v;
    for (int i = n - 1; i >= 0; --i) Byte(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  void Raw(std::uint8_t* at, int n) {
    for (int i = 0; i < n; ++i) Byte(at[i]);
  }
  bool Overrun() const { return overrun_; }
  std::uint32_t Position() const { return pos_; }

 private:
  std::vector<std::uint8_t>* bytes_;
  std::uint32_t pos_ = kPayloadStart;
  bool overrun_ = false;
};

}  // namespace

LdmRecord::LdmRecord() : modelId_(Fdisk::IdObject::NewId()) {}

LdmRecord::LdmRecord(std::uint32_t slots) : LdmRecord() { SetSlotCount(slots); }

template <class Io>
void LdmRecord::Code(Io& io) {
  io.Var(rid);
  io.Str(name, 32);
  switch (type) {
    case kRecordVolume:
      io.Str(volType, 32);
      io.Str(comment, 17);
      io.Raw(volState.data(), 14);
      io.Fixed(volTypeCode, 1);
      io.Var(volNum);
      io.Fixed(volFlags, 4);
      io.Var(numChild);
      io.Fixed(logComId, 8);
      io.Fixed(id, 8);
      io.Var(volSize);
      io.Var(drlSize);
      if (version >= 4) io.Fixed(partType, 4);
      if (version >= 5) io.Raw(guid.data(), 16);
      if (flags & 0x08) io.Var(prefer);
      if (flags & 0x20) io.Var(logRid);
      if (flags & 0x40) io.Var(subVolSiz);
      if (flags & 0x80) io.Var(checkpnt);
      if (flags & 0x10) io.Fixed(recverSeq, 4);
      if (flags & 0x02) io.Str(ntMntName, 255);
      if (flags & 0x01) io.Raw(guid2.data(), 16);
      break;
    case kRecordPlex:
      io.Str(plxState, 15);
      io.Fixed(layout, 1);
      io.Fixed(plxFlags, 4);
      io.Var(numChild);
      io.Fixed(logComId, 8);
      io.Fixed(unknown, 8);
      io.Var(parent);
      io.Var(logPart);
      if (flags & 0x10) {
        io.Var(stripeSiz);
        io.Var(numCol);
      }
      if (flags & 0x20) io.Var(snapId);
      if (flags & 0x40) io.Raw(plexGuid.data(), 16);
      if (flags & 0x80) io.Var(dcoPlex);
      break;
    case kRecordSubdisk:
      io.Fixed(sdFlags, 4);
      io.Fixed(logComId, 8);
      io.Fixed(start, 8);
      io.Fixed(volOff, 8);
      io.Var(size);
      io.Var(plexRid);
      io.Var(diskRid);
      if (flags & 0x08) io.Var(plexIdx);
      if (flags & 0x10) io.Fixed(deatach, 8);
      if (flags & 0x20) io.Fixed(detach, 8);
      if (flags & 0x40) io.Var(minor);
      if (flags & 0x02) io.Var(hidSec);
      if (flags & 0x80) {
        io.Var(origRid);
        io.Fixed(origPar, 8);
      }
      break;
    case kRecordDisk:
      if (version == 3) {
        io.Str(guidText, 64);
      } else {
        io.Raw(objGuid.data(), 16);
        io.Raw(objGuid2.data(), 16);
      }
      io.Str(altName, 255);
      io.Fixed(diskFlags, 4);
      io.Fixed(logId, 8);
      break;
    case kRecordGroup:
      if (version == 3) {
        io.Str(guidText, 64);
      } else {
        io.Raw(objGuid.data(), 16);
        io.Raw(objGuid2.data(), 16);
      }
      io.Fixed(dgFlags, 4);
      io.Fixed(logId, 8);
      if (flags & 0x08) {
        io.Var(ncopy1);
        io.Var(ncopy2);
      }
      // Read, sized and written alike as 4-byte numbers: the published
      // descriptions disagree on their encoding, and reader and writer
      // must at least agree with each other.
      if (flags & 0x20) io.Fixed(dgVer, 4);
      if (flags & 0x01) io.Fixed(dgBaseMn, 4);
      break;
    default:
      break;
  }
}

namespace {

bool VersionTaken(std::uint8_t type, std::uint8_t version) {
  switch (type) {
    case kRecordVolume:
      return version >= 3 && version <= 5;
    case kRecordPlex:
    case kRecordSubdisk:
      return version == 3;
    case kRecordDisk:
    case kRecordGroup:
      return version == 3 || version == 4;
    default:
      return false;
  }
}

}  // namespace

bool LdmRecord::Unpack() {
  damaged_ = false;
  if (packed_.size() < kSlotBytes) {
    damaged_ = true;
    return false;
  }
  type = packed_[0x13] & 0x0F;
  version = packed_[0x13] >> 4;
  flags = packed_[0x12];
  payloadLength = (std::uint32_t(packed_[0x14]) << 24) | (std::uint32_t(packed_[0x15]) << 16) |
                  (std::uint32_t(packed_[0x16]) << 8) | packed_[0x17];
  // The payload must fit the record's slots.
  const std::uint64_t capacity =
      std::uint64_t(SlotCount()) * (kSlotBytes - kSlotHeaderBytes) - (kPayloadStart - kSlotHeaderBytes);
  if (payloadLength > capacity) {
    damaged_ = true;
    return false;
  }
  Reader reader(packed_);
  const std::uint8_t savedType = type;
  if (!VersionTaken(type, version)) type = 0;  // common payload only
  Code(reader);
  type = savedType;
  if (reader.Overrun()) {
    damaged_ = true;
    return false;
  }
  if (!VersionTaken(type, version)) return false;
  if ((type == kRecordDisk || type == kRecordGroup) && version == 4) {
    guidText = FormatLdmGuid(objGuid.data());
  }
  return true;
}

void LdmRecord::RaiseVersionAndFlags() {
  switch (type) {
    case kRecordVolume:
      if (partType != 0 && version < 4) version = 4;
      if (AnySet(guid) && version < 5) version = 5;
      if (prefer) flags |= 0x08;
      if (logRid) flags |= 0x20;
      if (subVolSiz) flags |= 0x40;
      if (checkpnt) flags |= 0x80;
      if (recverSeq) flags |= 0x10;
      if (AnySet(ntMntName)) flags |= 0x02;
      if (AnySet(guid2)) flags |= 0x01;
      break;
    case kRecordPlex:
      if (stripeSiz || numCol) flags |= 0x10;
      if (snapId) flags |= 0x20;
      if (AnySet(plexGuid)) flags |= 0x40;
      if (dcoPlex) flags |= 0x80;
      break;
    case kRecordSubdisk:
      if (plexIdx) flags |= 0x08;
      if (deatach) flags |= 0x10;
      if (detach) flags |= 0x20;
      if (minor) flags |= 0x40;
      if (hidSec) flags |= 0x02;
      if (origRid || origPar) flags |= 0x80;
      break;
    case kRecordGroup:
      if (ncopy1 || ncopy2) flags |= 0x08;
      if (dgVer) flags |= 0x20;
      if (dgBaseMn) flags |= 0x01;
      break;
    default:
      break;
  }
}

std::uint32_t LdmRecord::GetPackedVblkCount() {
  RaiseVersionAndFlags();
  Writer sizer(nullptr);
  Code(sizer);
  const std::uint32_t p = sizer.Position();
  return (p - 1) / kSlotBytes + ((p - 1) % kSlotBytes != 0 ? 1 : 0);
}

bool LdmRecord::Pack() {
  Writer writer(&packed_);
  Code(writer);
  if (writer.Overrun() || packed_.size() < kSlotBytes) return false;
  const std::uint32_t p = writer.Position();
  const std::uint32_t length = p - kSlotHeaderBytes * (p / kSlotBytes) - kPayloadStart;
  packed_[0x10] = 0;
  packed_[0x11] = 0;
  packed_[0x12] = static_cast<std::uint8_t>(flags);
  packed_[0x13] = static_cast<std::uint8_t>((version << 4) | (type & 0x0F));
  packed_[0x14] = static_cast<std::uint8_t>(length >> 24);
  packed_[0x15] = static_cast<std::uint8_t>(length >> 16);
  packed_[0x16] = static_cast<std::uint8_t>(length >> 8);
  packed_[0x17] = static_cast<std::uint8_t>(length);
  payloadLength = length;
  return true;
}

std::uint32_t LdmRecord::GetPlexNumber() const {
  if (type != kRecordPlex) return 0;
  const std::size_t dash = name.find('-');
  if (dash == std::string::npos) return 0;
  std::uint32_t n = 0;
  for (std::size_t i = dash + 1; i < name.size(); ++i) {
    if (name[i] >= '0' && name[i] <= '9') n = n * 10 + std::uint32_t(name[i] - '0');
  }
  return n;
}

std::uint64_t LdmRecord::LogCommitId() const {
  return (type == kRecordDisk || type == kRecordGroup) ? logId : logComId;
}

}  // namespace Ldm
