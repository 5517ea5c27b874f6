// The ROM image file: the 13-byte tag text, then blockCount blocks of 4096
// bytes exactly as the receiver sent them. Nothing else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/notice.h"
#include "base/system_error.h"

namespace quorvane {

// A loaded image: the whole file, tag included; block k lies at offset
// kTagSize + kBlockSize * k.
struct LoadedImage {
  int tagIndex = 0;
  unsigned blockCount = 0;
  std::vector<std::uint8_t> data;
};

struct ImageLoadResult {
  std::optional<LoadedImage> image;  // set on success
  std::optional<Notice> failure;     // the message to show; may be empty on
                                     // failure (no memory for the buffer)
  int openErrno = 0;                 // the C library's reason when the file could not be opened
  bool ok() const { return image.has_value(); }
};

// Writes tag text and blockCount * 4096 bytes of `flash` to `path`. The file
// is replaced only when every byte is written: a failure leaves any earlier
// file at `path` as it was. Nothing on success, else the notice to show; the
// system's reason goes to `why` when given (empty when the system had none).
std::optional<Notice> writeImage(const std::string& path, int tagIndex, unsigned blockCount,
                                 const std::uint8_t* flash, SystemError* why = nullptr);

// Opens, sizes, reads and identifies an image file, in that order.
ImageLoadResult loadImage(const std::string& path);

}  // namespace quorvane
