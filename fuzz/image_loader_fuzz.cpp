// Feeds loadImage files of every length, small and full-size alike, and
// checks its verdict against the file rules worked out independently here.
//
// The first input byte chooses how the file is made (its value mod 4):
//   0, 2: the rest of the input is the file, byte for byte;
//   1:    a file of one of the interesting lengths (the two valid sizes,
//         one byte either side, tag only, the other size), chosen by byte 1;
//   3:    a file of the length in bytes 1-3 (little-endian, up to a block
//         past the large size), so the fuzzer drives the length itself.
// In modes 1 and 3 the next byte chooses a table tag, which the next 13
// bytes are XOR-ed into (zeros give a real tag); the rest of the input
// follows the tag, and the file is zeros from there to its length. The
// zeros are a hole (ftruncate), so a full-size file costs no more to make
// than a small one.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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
constexpr std::size_t kLongestFile = kImageFileSizeLarge + kBlockSize;

// A file: its first bytes as given, zeros after them up to its length.
struct File {
  std::vector<std::uint8_t> head;
  std::size_t length = 0;
};

File makeFile(const std::uint8_t* data, std::size_t size) {
  File file;
  const std::uint8_t mode = size ? data[0] % 4 : 0;
  if (mode == 0 || mode == 2) {
    file.head.assign(data + (size ? 1 : 0), data + size);
    file.length = file.head.size();
    return file;
  }
  auto byte = [&](std::size_t i) -> std::uint8_t { return i < size ? data[i] : 0; };
  std::size_t at = 1;
  if (mode == 1) {
    file.length = kLengths[byte(at++) % kLengths.size()];
  } else {
    file.length = (std::size_t{byte(1)} | std::size_t{byte(2)} << 8 | std::size_t{byte(3)} << 16) %
                  (kLongestFile + 1);
    at = 4;
  }
  const std::string_view tag = romType(byte(at++) % kRomTypeCount).tagText;
  file.head.resize(kTagSize);
  for (std::size_t i = 0; i < kTagSize; ++i)
    file.head[i] = static_cast<std::uint8_t>(tag[i] ^ byte(at++));
  if (at < size) file.head.insert(file.head.end(), data + at, data + size);
  file.head.resize(std::min(file.head.size(), file.length));
  return file;
}

void writeFile(const File& file) {
  const int fd = ::open(scratchPath().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  check(fd >= 0, "scratch file");
  check(::write(fd, file.head.data(), file.head.size()) == static_cast<ssize_t>(file.head.size()),
        "scratch write");
  check(::ftruncate(fd, static_cast<off_t>(file.length)) == 0, "scratch length");
  ::close(fd);
}

// The file's byte at offset i.
std::uint8_t at(const File& file, std::size_t i) {
  return i < file.head.size() ? file.head[i] : 0;
}

// The verdict the file deserves: nothing when it is a valid image.
std::optional<MessageId> expectedFailure(const File& file, int& tagIndex) {
  unsigned blocks = 0;
  if (file.length == kTagSize + 256 * kBlockSize) blocks = 256;
  if (file.length == kTagSize + 512 * kBlockSize) blocks = 512;
  if (blocks == 0) return MessageId::ImageSizeWrong;
  std::array<std::uint8_t, kTagSize> tag;
  for (std::size_t i = 0; i < kTagSize; ++i) tag[i] = at(file, i);
  tagIndex = -1;
  for (const RomImageTag& t : romTypes())
    if (std::memcmp(tag.data(), t.tagText.data(), kTagSize) == 0) {
      tagIndex = t.index;
      break;
    }
  if (tagIndex < 0) return MessageId::ImageTagUnknown;
  if ((tagIndex % 2 == 0 ? 256u : 512u) != blocks) return MessageId::ImageSizeWrong;
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const File file = makeFile(data, size);
  writeFile(file);

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
    static const std::vector<std::uint8_t> zeros(kLongestFile, 0);
    const std::size_t given = file.head.size();
    check(std::memcmp(image.data.data(), file.head.data(), given) == 0 &&
              std::memcmp(image.data.data() + given, zeros.data(), image.data.size() - given) == 0,
          "buffer differs from the file");
  } else {
    check(!result.ok(), "invalid image accepted");
    check(result.failure.has_value() && result.failure->id == *expected, "wrong failure");
    check(!noticeText(*result.failure).empty(), "empty message");
  }
  return 0;
}
