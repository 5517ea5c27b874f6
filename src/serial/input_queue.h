// A fixed-capacity byte queue (first in, first out) that the serial port
// keeps between the device and its reader: the port drains the device into
// it and read() takes from it. No platform code, so it can be driven by a
// fuzzer on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvane {

// What the port's input queue holds: a whole block and its frames with room
// to spare, as the driver queue the port asks for at open.
inline constexpr std::size_t kDriverQueueSize = 10000;

class InputQueue {
 public:
  explicit InputQueue(std::size_t capacity = kDriverQueueSize);

  std::size_t capacity() const { return buffer_.size(); }
  std::size_t size() const { return size_; }
  std::size_t space() const { return buffer_.size() - size_; }
  bool empty() const { return size_ == 0; }
  bool full() const { return size_ == buffer_.size(); }

  // Appends as many of `count` bytes as fit; returns how many were taken.
  std::size_t push(const std::uint8_t* bytes, std::size_t count);

  // Moves min(limit, size()) of the oldest bytes to `out`; returns the count.
  std::size_t pop(std::uint8_t* out, std::size_t limit);

  // The free cells right after the newest byte, up to the end of the storage
  // (empty when full): a reader fills them in place and then calls
  // commit(n) with the number it filled. Calling it again after commit
  // yields the rest of the free space, if it wraps.
  std::span<std::uint8_t> freeRegion();
  // Accounts for `count` bytes written into freeRegion(); counts beyond that
  // region are clamped.
  void commit(std::size_t count);

  void clear();

 private:
  std::size_t tail() const;  // index of the first free cell

  std::vector<std::uint8_t> buffer_;
  std::size_t head_ = 0;  // index of the oldest byte
  std::size_t size_ = 0;
};

}  // namespace quorvane
