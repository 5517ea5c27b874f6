// Drives the serial port's InputQueue with a random capacity and a random
// sequence of pushes, pops (random limits), in-place fills through
// freeRegion/commit (counts beyond the region included) and clears, and
// compares every result with a plain std::deque that holds the same bytes.
// An input drives at most kMaxOperations steps: enough to wrap even the
// largest queue many times over, and every input stays fast.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "serial/input_queue.h"

namespace {

constexpr int kMaxOperations = 256;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "input_queue_fuzz: %s\n", what);
    std::abort();
  }
}

// Reads the input as a stream of small numbers; zeros once it is used up.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool more() const { return at_ < size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::size_t number(std::size_t max) {  // 0..max, two bytes of range
    const std::size_t v = std::size_t{byte()} << 8 | byte();
    return max == 0 ? 0 : v % (max + 1);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  // Small capacities wrap often; the port's own 10000 comes up too.
  const std::size_t capacity = in.byte() == 0xFF ? 10000 : 1 + in.number(300);
  quorvane::InputQueue queue(capacity);
  std::deque<std::uint8_t> model;
  std::uint8_t next = 0;  // the value of the next byte put in
  std::vector<std::uint8_t> scratch;

  for (int step = 0; step < kMaxOperations && in.more(); ++step) {
    switch (in.byte() % 5) {
      case 0: {  // push
        scratch.resize(in.number(2 * capacity));
        for (auto& b : scratch) b = next++;
        const std::size_t taken = queue.push(scratch.data(), scratch.size());
        check(taken == std::min(scratch.size(), capacity - model.size()), "push count");
        model.insert(model.end(), scratch.begin(), scratch.begin() + static_cast<long>(taken));
        next = static_cast<std::uint8_t>(next - (scratch.size() - taken));
        break;
      }
      case 1: {  // pop with a random limit
        const std::size_t limit = in.number(2 * capacity);
        scratch.assign(limit + 1, 0xEE);
        const std::size_t got = queue.pop(scratch.data(), limit);
        check(got == std::min(limit, model.size()), "pop count");
        check(std::equal(scratch.begin(), scratch.begin() + static_cast<long>(got), model.begin()),
              "pop bytes");
        check(scratch[got] == 0xEE, "pop wrote past its count");
        model.erase(model.begin(), model.begin() + static_cast<long>(got));
        break;
      }
      case 2:
      case 3: {  // fill in place, then commit a random count
        const std::span<std::uint8_t> region = queue.freeRegion();
        check(region.empty() == (model.size() == capacity), "free region empty iff full");
        check(region.size() <= capacity - model.size(), "free region larger than the space");
        const std::size_t fill = in.number(region.size());
        for (std::size_t i = 0; i < fill; ++i) region[i] = static_cast<std::uint8_t>(next + i);
        const std::size_t claim = in.byte() & 1 ? fill : in.number(2 * capacity);
        const std::size_t counted = std::min(claim, region.size());
        queue.commit(claim);
        // Cells counted but not filled hold whatever was there before;
        // the model learns them from the queue itself.
        for (std::size_t i = 0; i < counted; ++i)
          model.push_back(i < fill ? static_cast<std::uint8_t>(next + i) : region[i]);
        next = static_cast<std::uint8_t>(next + counted);
        break;
      }
      case 4:
        if (in.byte() < 16) {
          queue.clear();
          model.clear();
        }
        break;
    }
    check(queue.size() == model.size(), "size");
    check(queue.capacity() == capacity, "capacity");
    check(queue.space() == capacity - model.size(), "space");
    check(queue.empty() == model.empty(), "empty");
    check(queue.full() == (model.size() == capacity), "full");
  }
  // Whatever is left comes out in order.
  scratch.assign(model.size(), 0);
  check(queue.pop(scratch.data(), scratch.size()) == model.size(), "final pop count");
  check(std::equal(scratch.begin(), scratch.end(), model.begin()), "final pop bytes");
  check(queue.empty(), "empty at the end");
  return 0;
}
