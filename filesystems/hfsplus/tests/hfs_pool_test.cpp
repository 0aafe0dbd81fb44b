// Paged arrays: page use and reuse, erasing across pages, holder kinds.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "fake_driver.h"
#include "filesystems/hfs_pool.h"

namespace hfsplus = filesystems::hfsplus;
using fstest::CodeOf;

namespace {

TEST(HfsPool, PagesFillAndAreReused) {
  hfsplus::DataPool<int, std::uint32_t> pool(8);
  for (int i = 0; i < 8; ++i) pool.Append(i);
  EXPECT_EQ(pool.PagesInUse(), 1u);
  int* first = pool.At(0);
  pool.Append(8);
  EXPECT_EQ(pool.PagesInUse(), 2u);
  EXPECT_EQ(pool.At(0), first);  // appending moved nothing
  pool.EraseAt(0);
  EXPECT_EQ(pool.Count(), 8u);
  EXPECT_EQ(pool.PagesInUse(), 1u);
  EXPECT_EQ(pool.PagesAllocated(), 2u);
  for (std::uint32_t i = 0; i < 8; ++i) EXPECT_EQ(*pool.At(i), int(i) + 1);
  pool.Append(9);
  EXPECT_EQ(pool.PagesInUse(), 2u);
  EXPECT_EQ(pool.PagesAllocated(), 2u);  // the dropped page came back
  EXPECT_EQ(CodeOf([&] { pool.IndexToPair(pool.Count()); }), 0x4000du);
  EXPECT_EQ(CodeOf([&] { hfsplus::DataPool<int, std::uint8_t> bad(0); }), 0x4000eu);
}

TEST(HfsPool, ResetKeepsPages) {
  hfsplus::DataPool<int, std::uint16_t> pool(4);
  for (int i = 0; i < 10; ++i) pool.Append(i);
  EXPECT_EQ(pool.PagesAllocated(), 3u);
  pool.Reset();
  EXPECT_EQ(pool.Count(), 0u);
  EXPECT_EQ(pool.PagesInUse(), 1u);
  EXPECT_EQ(pool.PagesAllocated(), 3u);
  pool.Append(42);
  EXPECT_EQ(*pool.At(0), 42);
}

TEST(HfsPool, AgreesWithAVector) {
  std::mt19937 rng(7);
  for (std::uint32_t pageSize : {1u, 3u, 8u, 64u}) {
    hfsplus::DataPool<std::uint32_t, std::uint32_t> pool(pageSize);
    std::vector<std::uint32_t> model;
    for (int op = 0; op < 4000; ++op) {
      if (model.empty() || rng() % 3 != 0) {
        pool.Append(std::uint32_t(op));
        model.push_back(std::uint32_t(op));
      } else {
        const std::uint32_t at = rng() % model.size();
        pool.EraseAt(at);
        model.erase(model.begin() + at);
      }
      if (op % 97 == 0) {
        ASSERT_EQ(pool.Count(), model.size());
        // Only the last page in use is partly filled.
        ASSERT_EQ(pool.PagesInUse(), model.empty() ? 1u : (model.size() + pageSize - 1) / pageSize);
        for (std::uint32_t i = 0; i < model.size(); ++i) ASSERT_EQ(*pool.At(i), model[i]);
      }
    }
  }
}

struct Counted {
  explicit Counted(int* deaths) : deaths_(deaths) {}
  virtual ~Counted() { ++*deaths_; }
  int* deaths_;
};

TEST(HfsPool, HolderKinds) {
  int deaths = 0;
  {
    hfsplus::ObjectsByPointersHolder<Counted, std::uint8_t> owned(2);
    for (int i = 0; i < 5; ++i) owned.Append(std::make_unique<Counted>(&deaths));
    owned.EraseAt(1);
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(CodeOf([&] { owned.Append(nullptr); }), 0x4000eu);
    owned.Reset();
    EXPECT_EQ(deaths, 5);
    owned.Append(std::make_unique<Counted>(&deaths));
  }
  EXPECT_EQ(deaths, 6);  // destruction deletes what is left

  Counted kept(&deaths);
  {
    hfsplus::PointersHolder<Counted, std::uint32_t> borrowed(4);
    borrowed.Append(&kept);
    borrowed.Append(&kept);
    borrowed.EraseAt(0);
    borrowed.Reset();
  }
  EXPECT_EQ(deaths, 6);
}

}  // namespace
