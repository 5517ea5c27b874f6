#include "serial/input_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes run(std::uint8_t first, std::size_t count) {
  Bytes b(count);
  for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

TEST(InputQueueTest, PushTakesOnlyWhatFitsAndPopTakesAtMostTheLimit) {
  InputQueue q(10);
  EXPECT_EQ(q.capacity(), 10u);
  const Bytes in = run(1, 14);
  EXPECT_EQ(q.push(in.data(), in.size()), 10u);
  EXPECT_TRUE(q.full());
  EXPECT_TRUE(q.freeRegion().empty());
  q.commit(5);  // nothing to commit into
  EXPECT_EQ(q.size(), 10u);

  Bytes out(20, 0xEE);
  EXPECT_EQ(q.pop(out.data(), 4), 4u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), run(1, 4));
  EXPECT_EQ(out[4], 0xEE);
  EXPECT_EQ(q.pop(out.data(), 20), 6u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), run(5, 6));
  EXPECT_EQ(q.pop(out.data(), 20), 0u);
  EXPECT_TRUE(q.empty());
}

TEST(InputQueueTest, KeepsOrderAcrossTheWrapAndFillsInPlaceInTwoPieces) {
  InputQueue q(8);
  Bytes out(8);
  const Bytes a = run(10, 6);
  q.push(a.data(), a.size());
  q.pop(out.data(), 5);  // one byte left at the end of the storage

  // In-place filling sees the free cells up to the end, then the wrapped rest.
  auto region = q.freeRegion();
  ASSERT_EQ(region.size(), 2u);
  region[0] = 20;
  region[1] = 21;
  q.commit(2);
  region = q.freeRegion();
  ASSERT_EQ(region.size(), 5u);
  for (std::size_t i = 0; i < region.size(); ++i) region[i] = static_cast<std::uint8_t>(22 + i);
  q.commit(99);  // clamped to the region
  EXPECT_TRUE(q.full());

  ASSERT_EQ(q.pop(out.data(), 8), 8u);
  EXPECT_EQ(out, (Bytes{15, 20, 21, 22, 23, 24, 25, 26}));
}

TEST(InputQueueTest, ZeroCapacityAndClear) {
  InputQueue none(0);
  const Bytes in = run(0, 3);
  Bytes out(3);
  EXPECT_EQ(none.push(in.data(), 3), 0u);
  EXPECT_EQ(none.pop(out.data(), 3), 0u);
  EXPECT_TRUE(none.freeRegion().empty());

  InputQueue q;
  EXPECT_EQ(q.capacity(), kDriverQueueSize);
  q.push(in.data(), 3);
  q.clear();
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.freeRegion().size(), kDriverQueueSize);
}

}  // namespace
}  // namespace quorvane
