// NTFS allocation bitmaps: $Bitmap (one bit per cluster), the $MFT's
// $BITMAP (one bit per record) and each index's $BITMAP (one bit per index
// block). Bit k is bit k mod 8, least significant first, of byte k / 8; a
// set bit is in use.
//
// The bitmap is never loaded whole: it is read and written in 2048-byte
// windows through its attribute, which the attribute layer provides behind
// BitmapStorage. Allocation is first-fit by single bits from a remembered
// search position, adjacent bits merged into runs; every bit below the
// position is in use, so the scan never rereads the used front.
#pragma once

#include <cstdint>
#include <vector>

namespace filesystems {
namespace ntfs {

constexpr std::uint32_t kNtfsBitmapModuleId = 0x7A134000;

// The bytes of a bitmap attribute.
class BitmapStorage {
 public:
  virtual ~BitmapStorage() = default;
  virtual std::uint64_t Size() = 0;
  // Bytes actually read (fewer at the end of the data).
  virtual std::uint32_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) = 0;
  // Writes `length` bytes, or zeros when `source` is null; the data grows
  // when the range passes its end. Returns the bytes written.
  virtual std::uint32_t Write(std::uint64_t offset, const std::uint8_t* source,
                              std::uint32_t length) = 0;
};

struct BitRun {
  std::uint64_t first = 0;
  std::uint32_t count = 0;
  bool operator==(const BitRun& o) const noexcept { return first == o.first && count == o.count; }
};

class Bitmap {
 public:
  static constexpr std::uint32_t kWindow = 2048;

  // `bitLimit` caps the bits that exist: a cluster bitmap's last byte has
  // padding bits past the volume's last cluster, which are neither free nor
  // ever handed out. Growth (record bitmaps) is not capped.
  explicit Bitmap(BitmapStorage* storage, std::uint64_t bitLimit = ~std::uint64_t(0));
  virtual ~Bitmap();
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  // Clears `count` bits from `first` (only those inside the bitmap); the
  // search position moves back to `first` when it lies below. Never fails:
  // read and write errors are swallowed, since a leaked bit costs only space.
  virtual void FreeRun(std::uint64_t first, std::uint32_t count);
  void FreeRuns(const std::vector<BitRun>& runs);
  // Called by the count for each run of clear bits it finds.
  virtual void OnFreeRun(std::uint64_t first, std::uint64_t count) {}
  // Bits that are never handed out although clear.
  virtual bool IsReserved(std::uint64_t bit) const { return false; }

  // Takes up to `count` clear bits from the search position on, setting
  // them; `granted` says how many were found. With `mayGrow`, 8 zero bytes
  // are appended at a time while bits are missing.
  std::vector<BitRun> Allocate(std::uint32_t count, std::uint32_t* granted, bool mayGrow);

  // The free bits: counted once, then kept current by allocation and
  // freeing.
  std::uint64_t GetFreeCount();
  // Counts every clear bit below the bitmap's end (and the limit).
  std::uint64_t CountFree();

  std::uint64_t SearchPosition() const noexcept { return search_; }

 protected:
  std::uint64_t TotalBits();

  BitmapStorage* storage_;
  std::uint64_t bitLimit_;
  std::uint64_t search_ = 0;
  std::uint64_t freeCount_ = 0;  // 0: not counted yet

 private:
  // Scans [search_, total) for `wanted` bits; returns the bits still missing.
  std::uint32_t Scan(std::uint64_t total, std::uint32_t wanted, std::vector<BitRun>& runs);
};

// The $MFT's record bitmap: records 0-15 are never freed and 0-23 never
// handed out; it grows when full.
class FileRecordBitmap : public Bitmap {
 public:
  using Bitmap::Bitmap;
  void FreeRun(std::uint64_t first, std::uint32_t count) override;
  bool IsReserved(std::uint64_t bit) const override { return bit < 24; }
  // One record number; 0x40004 when none can be had.
  std::uint64_t AllocateOne();
};

}  // namespace ntfs
}  // namespace filesystems
