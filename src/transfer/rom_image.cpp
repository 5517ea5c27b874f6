#include "transfer/rom_image.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "base/atomic_file.h"
#include "serial/protocol.h"
#include "transfer/rom_type.h"

namespace quorvane {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Only a plain file can be an image. Opening a FIFO would block and a
// directory "opens" on some systems, so both count as unopenable.
bool isOpenableFile(const std::string& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec) return true;  // let the open itself report the problem
  return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

// The length of an open file, or -1.
long long fileLength(std::FILE* f) {
  if (std::fseek(f, 0, SEEK_END) != 0) return -1;
  const long length = std::ftell(f);
  if (length < 0 || std::fseek(f, 0, SEEK_SET) != 0) return -1;
  return length;
}

// The block count a valid file length implies, or 0.
unsigned blockCountOfFileLength(long long length) {
  if (length == static_cast<long long>(kImageFileSizeSmall)) return kBlocksSmallFlash;
  if (length == static_cast<long long>(kImageFileSizeLarge)) return kBlocksLargeFlash;
  return 0;
}

}  // namespace

std::optional<Notice> writeImage(const std::string& path, int tagIndex, unsigned blockCount,
                                 const std::uint8_t* flash, SystemError* why) {
  AtomicFileWriter out;
  auto fail = [&](Notice notice) {
    if (why) *why = out.lastError();
    return std::optional<Notice>(std::move(notice));
  };
  if (!out.open(path)) return fail(Notice::of(MessageId::ImageCreateFailed));

  // An index outside the table has no tag to write: the plain write failure.
  if (tagIndex < 0 || tagIndex >= kRomTypeCount)
    return fail(Notice::of(MessageId::ImageWriteFailed));
  const RomImageTag& tag = romType(tagIndex);
  if (!out.write(tag.tagText.data(), kTagSize)) return fail(Notice::writeTag(tagIndex));

  // The data must be exactly the tag's flash size: any other count would
  // leave a file that no upgrade accepts.
  if (blockCount != tag.blockCount || flash == nullptr)
    return fail(Notice::of(MessageId::ImageWriteFailed));
  for (unsigned block = 0; block < blockCount; ++block) {
    if (!out.write(flash + std::size_t{block} * kBlockSize, kBlockSize))
      return fail(Notice::of(MessageId::ImageWriteFailed));
  }
  if (!out.commit()) return fail(Notice::of(MessageId::ImageWriteFailed));
  return std::nullopt;
}

ImageLoadResult loadImage(const std::string& path) {
  ImageLoadResult result;
  auto fail = [&result](Notice notice) {
    result.failure = std::move(notice);
    return std::move(result);
  };

  errno = 0;  // a folder is not opened and leaves no reason of the system's
  FileHandle file(isOpenableFile(path) ? std::fopen(path.c_str(), "rb") : nullptr);
  if (!file) {
    result.openErrno = errno;
    return fail(Notice::openFile(path));
  }

  const long long length = fileLength(file.get());
  const unsigned sizeBlocks = blockCountOfFileLength(length);
  if (sizeBlocks == 0) return fail(Notice::of(MessageId::ImageSizeWrong));

  LoadedImage image;
  try {
    image.data.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    return result;  // no buffer: the load ends without a message of its own
  }

  const std::size_t got = std::fread(image.data.data(), 1, image.data.size(), file.get());
  if (got != image.data.size()) return fail(Notice::of(MessageId::ImageReadFailed));

  const std::optional<int> tagIndex = findTag(image.data.data());
  if (!tagIndex) return fail(Notice::of(MessageId::ImageTagUnknown));

  // A valid length under the other size digit's tag: the upgrade would send
  // the tag's block count from a buffer of the other size. Refused as a
  // wrong size.
  if (romType(*tagIndex).blockCount != sizeBlocks)
    return fail(Notice::of(MessageId::ImageSizeWrong));

  image.tagIndex = *tagIndex;
  image.blockCount = sizeBlocks;
  result.image = std::move(image);
  return result;
}

}  // namespace quorvane
