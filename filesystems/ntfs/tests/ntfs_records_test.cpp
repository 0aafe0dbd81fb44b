// Update sequences and the checks of FILE records, on records built here
// and on every damage a reader must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "common/error.h"
#include "fake_driver.h"
#include "filesystems/ntfs_records.h"
#include "foundation/byteorder.h"

namespace ntfs = filesystems::ntfs;

namespace {

using fstest::CodeOf;

// A fresh record of `size` bytes whose strides are filled with a pattern,
// so that a saved word that is not put back shows.
std::vector<std::uint8_t> FreshRecord(std::size_t size) {
  std::vector<std::uint8_t> r(size);
  for (std::size_t i = 0; i < size; ++i) r[i] = std::uint8_t(i * 7 + 3);
  ntfs::InitFileRecordHeader(r.data(), size);
  return r;
}

// Adds one resident attribute (type, value bytes) after the last one.
void AddResident(std::vector<std::uint8_t>& r, std::uint32_t type, std::uint32_t valueLength) {
  const std::uint32_t inUse = Common::LoadLe32(&r[ntfs::file_record::kBytesInUse]);
  const std::uint32_t at = inUse - 8;
  const std::uint32_t length = (24 + valueLength + 7) & ~7u;
  std::memset(&r[at], 0, length);
  Common::StoreLe32(&r[at], type);
  Common::StoreLe32(&r[at + 4], length);
  Common::StoreLe32(&r[at + 16], valueLength);
  Common::StoreLe16(&r[at + 20], 24);
  Common::StoreLe32(&r[at + length], ntfs::kEndMarker);
  Common::StoreLe32(&r[at + length + 4], 0);
  Common::StoreLe32(&r[ntfs::file_record::kBytesInUse], inUse + length);
}

// Adds one non-resident attribute whose mapping pairs are `pairs`.
void AddNonResident(std::vector<std::uint8_t>& r, std::uint32_t type,
                    const std::vector<std::uint8_t>& pairs, std::uint64_t highestVcn) {
  const std::uint32_t inUse = Common::LoadLe32(&r[ntfs::file_record::kBytesInUse]);
  const std::uint32_t at = inUse - 8;
  const std::uint32_t length = (64 + std::uint32_t(pairs.size()) + 7) & ~7u;
  std::memset(&r[at], 0, length);
  Common::StoreLe32(&r[at], type);
  Common::StoreLe32(&r[at + 4], length);
  r[at + 8] = 1;
  Common::StoreLe64(&r[at + 24], highestVcn);
  Common::StoreLe16(&r[at + 32], 64);
  std::memcpy(&r[at + 64], pairs.data(), pairs.size());
  Common::StoreLe32(&r[at + length], ntfs::kEndMarker);
  Common::StoreLe32(&r[at + length + 4], 0);
  Common::StoreLe32(&r[ntfs::file_record::kBytesInUse], inUse + length);
}

}  // namespace

TEST(NtfsUpdateSequence, ProtectThenUnprotectRestoresEveryStride) {
  for (std::size_t size : {512u, 1024u, 4096u, 65536u}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> r = FreshRecord(size);
    const std::vector<std::uint8_t> before = r;
    ntfs::ProtectUpdateSequence(r.data(), size);
    const std::uint16_t usn = Common::LoadLe16(&r[42]);
    EXPECT_EQ(usn, 2);  // a fresh header carries USN 1
    for (std::size_t end = 510; end < size; end += 512) EXPECT_EQ(Common::LoadLe16(&r[end]), usn);
    ntfs::UnprotectUpdateSequence(r.data(), ntfs::kFileRecordArrayOffset, size);
    // The USN stays advanced and the array keeps the saved words; every
    // other byte is as it was.
    const std::size_t arrayEnd = 42 + 2 * (size / 512 + 1);
    std::copy(before.begin() + 42, before.begin() + std::ptrdiff_t(arrayEnd), r.begin() + 42);
    EXPECT_EQ(r, before);
  }
}

TEST(NtfsUpdateSequence, UsnWrapsPastZero) {
  std::vector<std::uint8_t> r = FreshRecord(1024);
  Common::StoreLe16(&r[42], 0xFFFF);
  ntfs::ProtectUpdateSequence(r.data(), r.size());
  EXPECT_EQ(Common::LoadLe16(&r[42]), 1);
  EXPECT_EQ(Common::LoadLe16(&r[510]), 1);
  EXPECT_EQ(Common::LoadLe16(&r[1022]), 1);
}

TEST(NtfsUpdateSequence, DamagedArraysAreRefused) {
  struct Case {
    const char* what;
    std::size_t size;
    std::function<void(std::vector<std::uint8_t>&)> damage;
  };
  const Case cases[] = {
      {"count 2 in a 1024-byte record", 1024, [](auto& r) { Common::StoreLe16(&r[6], 2); }},
      {"count 4 in a 1024-byte record", 1024, [](auto& r) { Common::StoreLe16(&r[6], 4); }},
      {"array at 40 in an MFT record", 1024,
       [](auto& r) {
         std::memmove(&r[40], &r[42], 6);
         Common::StoreLe16(&r[4], 40);
       }},
      {"array crossing the first stride's end", 1024, [](auto& r) { Common::StoreLe16(&r[4], 506); }},
      {"array offset past the image", 1024, [](auto& r) { Common::StoreLe16(&r[4], 0xFFF0); }},
      {"USN 0", 1024,
       [](auto& r) {
         Common::StoreLe16(&r[42], 0);
         Common::StoreLe16(&r[510], 0);
         Common::StoreLe16(&r[1022], 0);
       }},
      {"torn second stride", 1024, [](auto& r) { r[1022] ^= 1; }},
      {"torn last stride of 4096", 4096, [](auto& r) { r[4095] ^= 0x80; }},
      {"size not a whole stride", 1000, [](auto&) {}},
      {"size below a stride", 256, [](auto&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t made = c.size < 512 || c.size % 512 ? 1024 : c.size;
    std::vector<std::uint8_t> r = FreshRecord(made);
    ntfs::ProtectUpdateSequence(r.data(), made);
    c.damage(r);
    EXPECT_EQ(CodeOf([&] { ntfs::UnprotectUpdateSequence(r.data(), 42, c.size); }), 0x4000du);
    std::vector<std::uint8_t> page = r;
    EXPECT_FALSE(ntfs::UnprotectLogPage(page.data(), c.size, 42));
  }
}

TEST(NtfsUpdateSequence, ProtectNeverWritesOutsideTheImage) {
  // A header whose count claims more strides than the image holds.
  std::vector<std::uint8_t> r = FreshRecord(1024);
  Common::StoreLe16(&r[6], 200);
  const std::vector<std::uint8_t> before = r;
  EXPECT_EQ(CodeOf([&] { ntfs::ProtectUpdateSequence(r.data(), 1024); }), 0x4000du);
  EXPECT_EQ(r, before);
  EXPECT_FALSE(ntfs::ProtectLogPage(r.data(), 1024));
  EXPECT_EQ(r, before);
}

TEST(NtfsUpdateSequence, LogPagesNeedAnArrayPastTheHeaderWord) {
  std::vector<std::uint8_t> page(4096, 0x5A);
  Common::StoreLe16(&page[4], 30);
  Common::StoreLe16(&page[6], 9);
  Common::StoreLe16(&page[30], 7);
  ASSERT_TRUE(ntfs::ProtectLogPage(page.data(), page.size()));
  EXPECT_EQ(Common::LoadLe16(&page[30]), 8);
  EXPECT_EQ(Common::LoadLe16(&page[4094]), 8);
  EXPECT_TRUE(ntfs::UnprotectLogPage(page.data(), page.size(), 30));
  EXPECT_EQ(page[4094], 0x5A);
  Common::StoreLe16(&page[4], 6);
  EXPECT_FALSE(ntfs::ProtectLogPage(page.data(), page.size()));
}

TEST(NtfsFileRecord, FreshHeaders) {
  struct Case {
    std::size_t size;
    std::uint16_t count, first;
  };
  for (const Case& c : {Case{1024, 3, 48}, Case{4096, 9, 64}, Case{512, 2, 48}}) {
    SCOPED_TRACE(c.size);
    std::vector<std::uint8_t> r(c.size, 0xCC);
    Common::StoreLe16(&r[16], 0);
    Common::StoreLe64(&r[8], 0x1122334455667788ull);
    ntfs::InitFileRecordHeader(r.data(), c.size);
    EXPECT_EQ(std::memcmp(r.data(), "FILE", 4), 0);
    EXPECT_EQ(Common::LoadLe16(&r[4]), 42);
    EXPECT_EQ(Common::LoadLe16(&r[6]), c.count);
    EXPECT_EQ(Common::LoadLe16(&r[42]), 1);
    EXPECT_EQ(Common::LoadLe64(&r[8]), 0x1122334455667788ull);
    const ntfs::FileRecordHeader h = ntfs::ParseFileRecord(r.data(), c.size);
    EXPECT_EQ(h.firstAttribute, c.first);
    EXPECT_EQ(h.bytesInUse, c.first + 8u);
    EXPECT_EQ(h.flags, ntfs::file_record::kInUse);
    EXPECT_EQ(h.sequenceNumber, 1);  // 0 becomes 1
    EXPECT_EQ(h.linkCount, 0);
    EXPECT_EQ(h.baseRecord, 0u);
    EXPECT_TRUE(h.attributes.empty());
    EXPECT_EQ(r[c.first + 8], 0xCC);  // nothing past the end marker is touched
  }
  std::vector<std::uint8_t> r(1024, 0);
  Common::StoreLe16(&r[16], 7);
  ntfs::InitFileRecordHeader(r.data(), 1024);
  EXPECT_EQ(Common::LoadLe16(&r[16]), 7);
}

TEST(NtfsFileRecord, AttributesAreListedWithTheirAreas) {
  std::vector<std::uint8_t> r = FreshRecord(1024);
  AddResident(r, 0x10, 72);
  AddNonResident(r, 0x80, {0x11, 0x05, 0x64, 0x00}, 4);
  const ntfs::FileRecordHeader h = ntfs::ParseFileRecord(r.data(), r.size());
  ASSERT_EQ(h.attributes.size(), 2u);
  EXPECT_EQ(h.attributes[0].type, 0x10u);
  EXPECT_FALSE(h.attributes[0].nonResident);
  EXPECT_EQ(h.attributes[0].valueOffset, 48u + 24u);
  EXPECT_EQ(h.attributes[0].valueLength, 72u);
  EXPECT_EQ(h.attributes[1].type, 0x80u);
  EXPECT_TRUE(h.attributes[1].nonResident);
  EXPECT_EQ(h.attributes[1].pairsOffset, 48u + 96u + 64u);
  EXPECT_EQ(h.attributes[1].pairsLength, 8u);
  EXPECT_EQ(h.attributes[1].highestVcn, 4u);
}

TEST(NtfsFileRecord, DamagedRecordsAreRefused) {
  // Record layout: header, resident attribute at 48 (length 96), then a
  // non-resident attribute at 144 (length 72), end marker at 216.
  constexpr std::uint32_t kRes = 48, kNon = 144;
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
  };
  const Case cases[] = {
      {"magic BAAD", [](auto& r) { std::memcpy(&r[0], "BAAD", 4); }},
      {"bytes allocated not the record size", [](auto& r) { Common::StoreLe32(&r[28], 4096); }},
      {"bytes in use past the record", [](auto& r) { Common::StoreLe32(&r[24], 1032); }},
      {"bytes in use cutting the end marker", [](auto& r) { Common::StoreLe32(&r[24], 218); }},
      {"first attribute inside the array", [](auto& r) { Common::StoreLe16(&r[20], 40); }},
      {"first attribute unaligned", [](auto& r) { Common::StoreLe16(&r[20], 52); }},
      {"first attribute past bytes in use", [](auto& r) { Common::StoreLe16(&r[20], 0xFFF8); }},
      {"attribute length 0", [](auto& r) { Common::StoreLe32(&r[kRes + 4], 0); }},
      {"attribute length unaligned", [](auto& r) { Common::StoreLe32(&r[kRes + 4], 97); }},
      {"attribute length past bytes in use", [](auto& r) { Common::StoreLe32(&r[kNon + 4], 0x10000); }},
      {"attribute length wrapping", [](auto& r) { Common::StoreLe32(&r[kNon + 4], 0xFFFFFFF8); }},
      {"name past the attribute",
       [](auto& r) {
         r[kRes + 9] = 40;
         Common::StoreLe16(&r[kRes + 10], 24);
       }},
      {"value past the attribute", [](auto& r) { Common::StoreLe32(&r[kRes + 16], 73); }},
      {"value offset past the attribute", [](auto& r) { Common::StoreLe16(&r[kRes + 20], 0xFFF0); }},
      {"value over the header", [](auto& r) { Common::StoreLe16(&r[kRes + 20], 8); }},
      {"non-resident header too short", [](auto& r) {
         Common::StoreLe32(&r[kNon + 4], 56);
         Common::StoreLe32(&r[kNon + 56], ntfs::kEndMarker);
         Common::StoreLe32(&r[24], kNon + 56 + 8);
       }},
      {"mapping pairs offset past the attribute", [](auto& r) { Common::StoreLe16(&r[kNon + 32], 72); }},
      {"mapping pairs over the header", [](auto& r) { Common::StoreLe16(&r[kNon + 32], 40); }},
      {"highest VCN below lowest VCN - 1", [](auto& r) { Common::StoreLe64(&r[kNon + 16], 9); }},
      {"VCNs past any volume", [](auto& r) {
         Common::StoreLe64(&r[kNon + 24], 0x7FFFFFFFFFFFFFFFull);
       }},
      {"no end marker", [](auto& r) { Common::StoreLe32(&r[216], 0x90); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> r = FreshRecord(1024);
    AddResident(r, 0x10, 72);
    AddNonResident(r, 0x80, {0x11, 0x05, 0x64, 0x00}, 4);
    ASSERT_NO_THROW(ntfs::ParseFileRecord(r.data(), r.size()));
    c.damage(r);
    EXPECT_EQ(CodeOf([&] { ntfs::ParseFileRecord(r.data(), r.size()); }), 0x4000du);
  }
}

TEST(NtfsFileRecord, EmptyNonResidentPieceIsSound) {
  std::vector<std::uint8_t> r = FreshRecord(1024);
  AddNonResident(r, 0x80, {0x00}, ~std::uint64_t(0));
  const ntfs::FileRecordHeader h = ntfs::ParseFileRecord(r.data(), r.size());
  ASSERT_EQ(h.attributes.size(), 1u);
  EXPECT_EQ(h.attributes[0].highestVcn + 1, h.attributes[0].lowestVcn);
}
