// Edges only: fuzz/input_queue_fuzz.cpp checks random sequences against a deque.
#include "serial/input_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(InputQueueTest, FillsInPlaceInTwoPiecesAcrossTheWrapAndStopsWhenFull) {
  InputQueue q(8);
  const Bytes in{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Bytes out(10, 0xEE);
  ASSERT_EQ(q.push(in.data(), 6), 6u);
  ASSERT_EQ(q.pop(out.data(), 5), 5u);  // one byte left, two free cells at the end
  ASSERT_EQ(q.freeRegion().size(), 2u);
  std::fill_n(q.freeRegion().begin(), 2, 20);
  q.commit(2);
  ASSERT_EQ(q.freeRegion().size(), 5u);  // then the wrapped rest
  std::fill_n(q.freeRegion().begin(), 5, 30);
  q.commit(99);  // clamped to the region
  EXPECT_EQ(q.push(in.data(), 10), 0u);
  EXPECT_TRUE(q.freeRegion().empty());
  q.commit(5);  // nothing to commit into
  EXPECT_EQ(q.pop(out.data(), 10), 8u);
  EXPECT_EQ(out, (Bytes{6, 20, 20, 30, 30, 30, 30, 30, 0xEE, 0xEE}));

  InputQueue none(0);
  EXPECT_EQ(none.push(in.data(), 3) + none.pop(out.data(), 3) + none.freeRegion().size(), 0u);
}

}  // namespace
}  // namespace quorvane
