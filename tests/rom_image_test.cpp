#include "transfer/rom_image.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "transfer/rom_type.h"

namespace quorvane {
namespace {

using test::readFileBytes;
using test::TempDir;
using test::writeFileBytes;
using Bytes = std::vector<std::uint8_t>;

std::size_t entriesIn(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(RomImageWrite, EveryTypeReplacesTheFileWithTagThenBlocksAndLoadsBack) {
  TempDir dir;
  const std::string path = dir.file("rom.bin");
  writeFileBytes(path, Bytes(5000000, 0xEE));  // a longer earlier file is replaced whole
  for (const RomImageTag& type : romTypes()) {
    SCOPED_TRACE(type.index);
    Bytes flash(std::size_t{type.blockCount} * kBlockSize);
    for (std::size_t i = 1; i < flash.size(); ++i)  // byte 0 stays zero: data, no terminator
      flash[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12) + type.index);
    ASSERT_EQ(writeImage(path, type.index, type.blockCount, flash.data()), std::nullopt);
    const Bytes file = readFileBytes(path);
    ASSERT_EQ(file.size(), type.sizeDigit == 1 ? 1048589u : 2097165u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 13), type.tagText);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), file.begin() + 13));
    const ImageLoadResult loaded = loadImage(path);
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.image->tagIndex, type.index);
    EXPECT_EQ(loaded.image->blockCount, type.blockCount);
    EXPECT_EQ(loaded.image->data, file);
  }
  EXPECT_EQ(entriesIn(dir.path()), 1u);  // no temporary file left beside it
}

TEST(RomImageWrite, FailureKeepsTheEarlierFileLeavesNoTempFileAndShowsItsMessage) {
  const struct {
    const char* target;  // "box" is a directory holding a file
    rlim_t limit;        // file size limit while writing
    int tagIndex;
    unsigned blocks;
    const char* text;
  } cases[] = {
      {"rom.bin", 5, 10, 256, "write file error HC3!"},         // tag cut short
      {"rom.bin", 13, 15, 512, "write file error!"},            // tag fits, no data
      {"rom.bin", 2097164, 5, 512, "write file error!"},        // last byte missing
      {"rom.bin", RLIM_INFINITY, 0, 512, "write file error!"},  // index 0 holds 256 blocks
      {"gone/rom.bin", RLIM_INFINITY, 0, 256, "create file error!"},
      {"box", RLIM_INFINITY, 0, 256, "create file error!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.target << " limit " << c.limit);
    TempDir dir;
    const Bytes earlier(2097165, 0xC3);
    writeFileBytes(dir.file("rom.bin"), earlier);
    std::filesystem::create_directory(dir.file("box"));
    writeFileBytes(dir.file("box/inside"), Bytes{1, 2, 3});
    const Bytes flash(std::size_t{c.blocks} * kBlockSize, 0x42);
    std::optional<Notice> notice;
    {
      test::FileSizeLimit limit(c.limit);
      notice = writeImage(dir.file(c.target), c.tagIndex, c.blocks, flash.data());
    }
    ASSERT_TRUE(notice);
    EXPECT_EQ(noticeText(*notice), c.text);
    EXPECT_EQ(readFileBytes(dir.file("rom.bin")), earlier);
    EXPECT_EQ(readFileBytes(dir.file("box/inside")), (Bytes{1, 2, 3}));
    EXPECT_EQ(entriesIn(dir.path()), 2u);
  }
}

// Loads a file of `length` bytes that begins with `tag`: "loaded" or the
// text of the failure.
std::string loadText(const std::string& tag, std::size_t length) {
  TempDir dir;
  Bytes file(length, 0x5A);
  std::copy_n(tag.begin(), std::min(tag.size(), length), file.begin());
  writeFileBytes(dir.file("rom.bin"), file);
  const ImageLoadResult r = loadImage(dir.file("rom.bin"));
  return r.ok() ? "loaded" : noticeText(r.failure.value());
}

TEST(RomImageLoad, SizeIsJudgedBeforeTheTagAndTagMustMatchEveryByte) {
  const std::string sizeError = "file size error\xEF\xBC\x81";
  EXPECT_EQ(loadText("garbage tag!!", 1048590), sizeError);
  // One byte either side of both sizes, and a 2 MiB tag in a 1 MiB file.
  for (const std::size_t length : {0, 12, 13, 1048588, 1048589, 1048590, 2097164, 2097166})
    EXPECT_EQ(loadText("QX_Rom_CISST2", length), sizeError) << length;
  EXPECT_EQ(loadText("QX_RomFtaAMD1", 2097165), sizeError);
  for (const std::string& tag : std::initializer_list<std::string>{
           "qx_romftaamd1", "QX_Rom CIAMD1", "QX_Rom_CIAMD3", {"QX_Rom_CIAMD\0", 13}, "QX_RomFta"})
    EXPECT_EQ(loadText(tag, 1048589), "file data error\xEF\xBC\x81") << tag;
}

TEST(RomImageLoad, UnopenablePathIsNamedVerbatim) {
  TempDir dir;
  const std::string missing = dir.file("100%s %d rom.bin");
  ImageLoadResult r = loadImage(missing);
  ASSERT_TRUE(r.failure);
  EXPECT_EQ(noticeText(*r.failure), "Open file<" + missing + "> error\xEF\xBC\x81");
  r = loadImage(dir.path().string());  // a directory is no image
  ASSERT_TRUE(r.failure);
  EXPECT_EQ(r.failure->id, MessageId::ImageOpenFailed);
}

}  // namespace
}  // namespace quorvane
