// The sixteen receiver types: one table for the image tag, the receiver's
// type answer, the flash size and the model name.
//
// index = 4 * family + 2 * flash chip + (size digit - 1); ModelNumber is the
// index plus one, so an odd ModelNumber means a 256-block flash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "serial/command_frame.h"
#include "serial/protocol.h"

namespace quorvane {

enum class ReceiverFamily : std::uint8_t { Fta = 0, CI = 1, HCI = 2, T = 3 };
enum class FlashType : std::uint8_t { AMD = 0, SST = 1 };  // 29- / 39-series

inline constexpr int kRomTypeCount = 16;

// A ROM image file: the 13-character tag, then the whole flash.
inline constexpr std::size_t kTagSize = 13;
inline constexpr std::size_t kImageFileSizeSmall =
    kTagSize + std::size_t{kBlocksSmallFlash} * kBlockSize;  // 1,048,589
inline constexpr std::size_t kImageFileSizeLarge =
    kTagSize + std::size_t{kBlocksLargeFlash} * kBlockSize;  // 2,097,165

struct RomImageTag {
  int index;                 // 0..15
  std::string_view tagText;  // 13 ASCII characters, no terminator
  ReceiverFamily family;
  FlashType flash;
  int sizeDigit;               // 1 = 1 MiB, 2 = 2 MiB
  unsigned blockCount;         // 256 or 512
  int modelNumber;             // index + 1
  std::string_view modelName;  // "Fta 29 1" ...
};

// The complete table, in index order.
const std::array<RomImageTag, kRomTypeCount>& romTypes();

// The row of a tag index; index must lie in 0..15.
const RomImageTag& romType(int index);

// Index of the first row whose tag text equals the 13 bytes, or nothing.
std::optional<int> findTag(const std::uint8_t* bytes13);

// 256 for an even index, 512 for an odd one.
constexpr unsigned blockCountOfIndex(int index) {
  return (index % 2 == 0) ? kBlocksSmallFlash : kBlocksLargeFlash;
}

// The receiver's type answer of a tag index (its ModelNumber is index + 1).
constexpr FrameBytes identFrameOfIndex(int index) {
  return identFrame(index + 1);
}

std::string_view familyName(ReceiverFamily family);  // "Fta", "CI", ...
std::string_view flashTypeName(FlashType flash);     // "AMD", "SST"

}  // namespace quorvane
