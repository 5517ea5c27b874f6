// Feeds loadImage arbitrary file contents and checks its verdict against
// the file rules worked out independently here.
//
// The first input byte chooses how the file is made:
//   even: the rest of the input is the file, byte for byte;
//   odd:  a file of one of the interesting lengths (the two valid sizes,
//         one byte either side, tag only, the other size) whose tag is a
//         table tag XOR-ed with the next 13 input bytes, so that zeros give
//         a real tag; the remaining input starts block 0.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/notice.h"
#include "serial/protocol.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace {

using namespace quorvane;

const std::string& scratchPath() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/quorvane-fuzz-XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) std::abort();
    ::close(fd);
    std::atexit([] { ::unlink(scratchPath().c_str()); });
    return tmpl;
  }();
  return path;
}

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "image_loader_fuzz: %s\n", what);
    std::abort();
  }
}

constexpr std::array<std::size_t, 8> kLengths = {
    kImageFileSizeSmall - 1,
    kImageFileSizeSmall,
    kImageFileSizeSmall + 1,
    kImageFileSizeLarge - 1,
    kImageFileSizeLarge,
    kImageFileSizeLarge + 1,
    kTagSize,
    kImageFileSizeSmall,
};

std::vector<std::uint8_t> makeFile(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || data[0] % 2 == 0)
    return std::vector<std::uint8_t>(data + (size ? 1 : 0), data + size);

  const std::uint8_t choice = size > 1 ? data[1] : 0;
  std::vector<std::uint8_t> file(kLengths[choice % kLengths.size()], 0xFF);
  const std::string_view tag = romType((choice >> 3) % kRomTypeCount).tagText;
  for (std::size_t i = 0; i < kTagSize; ++i)
    file[i] = static_cast<std::uint8_t>(tag[i] ^ (2 + i < size ? data[2 + i] : 0));
  const std::size_t rest = size > 2 + kTagSize ? size - 2 - kTagSize : 0;
  std::memcpy(file.data() + kTagSize, data + 2 + kTagSize, std::min(rest, file.size() - kTagSize));
  return file;
}

// The verdict the file deserves: nothing when it is a valid image.
std::optional<MessageId> expectedFailure(const std::vector<std::uint8_t>& file, int& tagIndex) {
  unsigned blocks = 0;
  if (file.size() == kTagSize + 256 * kBlockSize) blocks = 256;
  if (file.size() == kTagSize + 512 * kBlockSize) blocks = 512;
  if (blocks == 0) return MessageId::ImageSizeWrong;
  tagIndex = -1;
  for (const RomImageTag& t : romTypes())
    if (std::memcmp(file.data(), t.tagText.data(), kTagSize) == 0) {
      tagIndex = t.index;
      break;
    }
  if (tagIndex < 0) return MessageId::ImageTagUnknown;
  if ((tagIndex % 2 == 0 ? 256u : 512u) != blocks) return MessageId::ImageSizeWrong;
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> file = makeFile(data, size);
  {
    std::FILE* f = std::fopen(scratchPath().c_str(), "wb");
    check(f != nullptr, "scratch file");
    check(std::fwrite(file.data(), 1, file.size(), f) == file.size(), "scratch write");
    std::fclose(f);
  }

  const ImageLoadResult result = loadImage(scratchPath());
  int tagIndex = -1;
  const std::optional<MessageId> expected = expectedFailure(file, tagIndex);

  if (!expected) {
    check(result.ok() && !result.failure, "valid image refused");
    const LoadedImage& image = *result.image;
    check(image.tagIndex == tagIndex, "wrong tag index");
    check(image.blockCount == blockCountOfIndex(tagIndex), "wrong block count");
    check(image.data.size() == kTagSize + std::size_t{image.blockCount} * kBlockSize,
          "buffer does not hold the blocks");
    check(image.data == file, "buffer differs from the file");
  } else {
    check(!result.ok(), "invalid image accepted");
    check(result.failure.has_value() && result.failure->id == *expected, "wrong failure");
    check(!noticeText(*result.failure).empty(), "empty message");
  }
  return 0;
}
