// Paged arrays for the HFS+ code's growable lists (extent buffers and
// descriptors, record queues, map node lists): elements live in pages of
// a fixed capacity, so appending never moves an element, and a flat index
// splits into a page and a position in it. Erasing keeps every page but
// the last one full. Pages that fall out of use stay allocated for reuse.
//
// Three holder kinds differ in what happens to an element that leaves (by
// erase, reset or destruction): PointersHolder leaves the pointee alone,
// ObjectsByPointersHolder deletes the object it owns, DataPool destroys
// the value in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "files/file_error.h"
#include "filesystems/driver.h"

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsPoolModuleId = 0x7A16E000;

template <class PageIndex, class ItemIndex>
struct ArrayAndItemIndexPair {
  PageIndex page;
  ItemIndex item;
};

template <class T, class Index>
class Pool {
 public:
  using Pair = ArrayAndItemIndexPair<Index, Index>;

  explicit Pool(Index pageSize) : pageSize_(pageSize) {
    if (pageSize == 0) ThrowFileError(0x01, kHfsPoolModuleId, kFileNotSupported);
    AddPage();
  }
  virtual ~Pool() = default;
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  std::uint32_t Count() const noexcept { return count_; }
  Index PageSize() const noexcept { return pageSize_; }
  Index PagesInUse() const noexcept { return inUse_; }
  Index PagesAllocated() const noexcept { return Index(pages_.size()); }

  // Page and position of flat index x: 0x4000d past the elements.
  Pair IndexToPair(std::uint32_t x) const {
    const std::uint32_t page = x / pageSize_;
    const std::uint32_t item = x % pageSize_;
    if (page >= inUse_) ThrowFileError(0x02, kHfsPoolModuleId, kFileCorrupted);
    if (!pages_[page]) ThrowFileError(0x03, kHfsPoolModuleId, kFileNotSupported);
    if (item >= pages_[page]->size()) ThrowFileError(0x04, kHfsPoolModuleId, kFileCorrupted);
    return {Index(page), Index(item)};
  }

  T* At(std::uint32_t x) {
    const Pair p = IndexToPair(x);
    return &(*pages_[p.page])[p.item];
  }

  void Append(T element) {
    if (count_ == std::numeric_limits<std::uint32_t>::max())
      ThrowFileError(0x05, kHfsPoolModuleId, kFileOutOfMemory);
    if (pages_[inUse_ - 1]->size() >= pageSize_) AddPage();
    pages_[inUse_ - 1]->push_back(std::move(element));
    ++count_;
  }

  // The next allocated page comes into use, or a new one is made.
  void AddPage() {
    if (inUse_ < pages_.size()) {
      ++inUse_;
      return;
    }
    if (pages_.size() >= std::size_t(std::numeric_limits<Index>::max()))
      ThrowFileError(0x06, kHfsPoolModuleId, kFileOutOfMemory);
    try {
      auto page = std::make_unique<std::vector<T>>();
      // One spare place: a page briefly holds one more while elements shift.
      page->reserve(std::size_t(pageSize_) + 1);
      pages_.push_back(std::move(page));
    } catch (const std::bad_alloc&) {
      ThrowFileError(0x07, kHfsPoolModuleId, kFileOutOfMemory);
    }
    ++inUse_;
  }

  // The last page in use is emptied and kept for reuse.
  void DropLastPage() {
    if (inUse_ == 0) return;
    Leave(*pages_[inUse_ - 1]);
    pages_[inUse_ - 1]->clear();
    --inUse_;
  }

  virtual void EraseAt(std::uint32_t x) {
    const Pair p = IndexToPair(x);
    std::vector<T>& page = *pages_[p.page];
    OnLeave(page[p.item]);
    page.erase(page.begin() + p.item);
    // Each later page gives its first element to the page before it.
    for (std::size_t b = std::size_t(p.page) + 1; b < inUse_; ++b) {
      std::vector<T>& next = *pages_[b];
      pages_[b - 1]->push_back(std::move(next.front()));
      next.erase(next.begin());
    }
    if (inUse_ > 1 && pages_[inUse_ - 1]->empty()) --inUse_;
    --count_;
  }

  virtual void Reset() {
    for (std::size_t b = 0; b < inUse_; ++b) {
      Leave(*pages_[b]);
      pages_[b]->clear();
    }
    inUse_ = 1;
    count_ = 0;
  }

 protected:
  // What happens to an element that leaves the pool.
  virtual void OnLeave(T&) {}
  // Holders whose OnLeave acts call this from their destructor, while
  // their override is still in place.
  void ReleaseAll() {
    for (std::size_t b = 0; b < inUse_; ++b) Leave(*pages_[b]);
    pages_.clear();
    inUse_ = 0;
    count_ = 0;
  }

 private:
  void Leave(std::vector<T>& page) {
    for (T& e : page) OnLeave(e);
  }

  Index pageSize_;
  Index inUse_ = 0;
  std::uint32_t count_ = 0;
  std::vector<std::unique_ptr<std::vector<T>>> pages_;
};

// Pointers it does not own.
template <class T, class Index>
class PointersHolder : public Pool<T*, Index> {
 public:
  using Pool<T*, Index>::Pool;
};

// Pointers to objects it owns: they are deleted when they leave, and a
// null object is refused.
template <class T, class Index>
class ObjectsByPointersHolder : public Pool<T*, Index> {
 public:
  using Pool<T*, Index>::Pool;
  ~ObjectsByPointersHolder() override { this->ReleaseAll(); }
  void Append(std::unique_ptr<T> object) {
    if (!object) ThrowFileError(0x08, kHfsPoolModuleId, kFileNotSupported);
    Pool<T*, Index>::Append(object.get());
    object.release();
  }

 protected:
  void OnLeave(T*& object) override {
    delete object;
    object = nullptr;
  }
};

// Values, destroyed in place when they leave.
template <class T, class Index>
class DataPool : public Pool<T, Index> {
 public:
  using Pool<T, Index>::Pool;
};

}  // namespace hfsplus
}  // namespace filesystems
