#include "serial/input_queue.h"

#include <algorithm>
#include <cstring>

namespace quorvane {

InputQueue::InputQueue(std::size_t capacity) : buffer_(capacity) {}

std::size_t InputQueue::tail() const {
  const std::size_t cap = buffer_.size();
  const std::size_t end = head_ + size_;
  return end >= cap ? end - cap : end;
}

std::size_t InputQueue::push(const std::uint8_t* bytes, std::size_t count) {
  std::size_t taken = 0;
  while (taken < count) {
    const std::span<std::uint8_t> region = freeRegion();
    if (region.empty()) break;
    const std::size_t n = std::min(region.size(), count - taken);
    std::memcpy(region.data(), bytes + taken, n);
    commit(n);
    taken += n;
  }
  return taken;
}

std::size_t InputQueue::pop(std::uint8_t* out, std::size_t limit) {
  const std::size_t total = std::min(limit, size_);
  std::size_t done = 0;
  while (done < total) {
    const std::size_t n = std::min(total - done, buffer_.size() - head_);
    std::memcpy(out + done, buffer_.data() + head_, n);
    done += n;
    head_ += n;
    if (head_ == buffer_.size()) head_ = 0;
  }
  size_ -= total;
  if (size_ == 0) head_ = 0;  // keeps the next fill in one piece
  return total;
}

std::span<std::uint8_t> InputQueue::freeRegion() {
  if (full()) return {};
  const std::size_t start = tail();
  // Free space ends either at the end of the storage or at the oldest byte.
  const std::size_t end = start < head_ ? head_ : buffer_.size();
  return {buffer_.data() + start, end - start};
}

void InputQueue::commit(std::size_t count) {
  size_ += std::min(count, freeRegion().size());
}

void InputQueue::clear() {
  head_ = 0;
  size_ = 0;
}

}  // namespace quorvane
