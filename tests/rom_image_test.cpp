#include "transfer/rom_image.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "app/notice.h"
#include "support/test_support.h"
#include "transfer/rom_type.h"

// While set, every allocation of a megabyte or more fails, as on a machine
// out of memory.
static bool gRefuseLargeAllocations = false;

void* operator new(std::size_t size) {
  if (gRefuseLargeAllocations && size >= (std::size_t{1} << 20)) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace quorvane {
namespace {

using test::FileSizeLimit;
using test::readFileBytes;
using test::TempDir;
using test::writeFileBytes;

using Bytes = std::vector<std::uint8_t>;

Bytes flashPattern(unsigned blocks, std::uint8_t seed) {
  Bytes flash(std::size_t{blocks} * kBlockSize);
  for (std::size_t i = 0; i < flash.size(); ++i)
    flash[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12) + seed);
  return flash;
}

// A file image: `tag` (any 13 characters) followed by `length - 13` bytes.
Bytes fileWithTag(const std::string& tag, std::size_t length, std::uint8_t fill = 0x5A) {
  Bytes file(length, fill);
  std::copy_n(tag.begin(), std::min(tag.size(), length), file.begin());
  return file;
}

std::string tagOf(int index) {
  return std::string(romType(index).tagText);
}

std::size_t entriesIn(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                std::filesystem::directory_iterator()));
}

TEST(RomImageWrite, EveryTypeGivesTagThenBlocksAndLoadsBack) {
  TempDir dir;
  for (const RomImageTag& type : romTypes()) {
    SCOPED_TRACE(type.index);
    const std::string path = dir.file("rom.bin");
    const Bytes flash = flashPattern(type.blockCount, static_cast<std::uint8_t>(type.index));
    ASSERT_EQ(writeImage(path, type.index, type.blockCount, flash.data()), std::nullopt);

    const Bytes file = readFileBytes(path);
    ASSERT_EQ(file.size(), type.sizeDigit == 1 ? 1048589u : 2097165u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 13), type.tagText);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), file.begin() + 13));

    const ImageLoadResult loaded = loadImage(path);
    ASSERT_TRUE(loaded.ok());
    EXPECT_FALSE(loaded.failure);
    EXPECT_EQ(loaded.image->tagIndex, type.index);
    EXPECT_EQ(loaded.image->blockCount, type.blockCount);
    EXPECT_EQ(loaded.image->data, file);
  }
  EXPECT_EQ(entriesIn(dir.path()), 1u);  // no temporary file left beside it
}

TEST(RomImageWrite, ReplacesAnEarlierFile) {
  TempDir dir;
  const std::string path = dir.file("rom.bin");
  writeFileBytes(path, Bytes(5000000, 0xEE));
  const Bytes flash = flashPattern(256, 1);
  ASSERT_EQ(writeImage(path, 12, 256, flash.data()), std::nullopt);
  EXPECT_EQ(readFileBytes(path).size(), 1048589u);
}

struct WriteFailure {
  const char* name;
  rlim_t limit;  // file size limit while writing
  int tagIndex;
  std::string text;  // the message shown
};

class RomImageWriteFailure : public testing::TestWithParam<WriteFailure> {};

TEST_P(RomImageWriteFailure, KeepsTheEarlierFileAndShowsItsMessage) {
  const WriteFailure& c = GetParam();
  TempDir dir;
  const std::string path = dir.file("rom.bin");
  const Bytes earlier = fileWithTag(tagOf(3), 2097165, 0xC3);
  writeFileBytes(path, earlier);

  const unsigned blocks = blockCountOfIndex(c.tagIndex);
  const Bytes flash = flashPattern(blocks, 9);
  std::optional<Notice> notice;
  {
    FileSizeLimit limit(c.limit);
    notice = writeImage(path, c.tagIndex, blocks, flash.data());
  }
  ASSERT_TRUE(notice);
  EXPECT_EQ(noticeText(*notice), c.text);
  EXPECT_EQ(readFileBytes(path), earlier);
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, RomImageWriteFailure,
    testing::Values(WriteFailure{"NoRoomForAnyTagByte", 0, 0, "write file error F1!"},
                    WriteFailure{"TagCutShort", 5, 10, "write file error HC3!"},
                    WriteFailure{"LastTagByteMissing", 12, 15, "write file error T4!"},
                    WriteFailure{"TagFitsNoData", 13, 15, "write file error!"},
                    WriteFailure{"DataCutInBlock", 13 + 4096 * 100 + 17, 7, "write file error!"},
                    WriteFailure{"LastByteMissing", 2097164, 5, "write file error!"}),
    [](const testing::TestParamInfo<WriteFailure>& info) { return info.param.name; });

TEST(RomImageWrite, MissingDirectoryIsACreateError) {
  TempDir dir;
  const Bytes flash = flashPattern(256, 0);
  const auto notice = writeImage(dir.file("gone/rom.bin"), 0, 256, flash.data());
  ASSERT_TRUE(notice);
  EXPECT_EQ(noticeText(*notice), "create file error!");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "gone"));
}

TEST(RomImageWrite, DirectoryAtTheTargetCannotBeCreated) {
  TempDir dir;
  const std::string path = dir.file("rom.bin");
  std::filesystem::create_directory(path);
  writeFileBytes(path + "/inside", Bytes{1, 2, 3});
  const Bytes flash = flashPattern(256, 0);
  const auto notice = writeImage(path, 0, 256, flash.data());
  ASSERT_TRUE(notice);
  EXPECT_EQ(noticeText(*notice), "create file error!");
  EXPECT_EQ(readFileBytes(path + "/inside"), (Bytes{1, 2, 3}));
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(RomImageWrite, BlockCountOtherThanTheTagsIsRefused) {
  TempDir dir;
  const std::string path = dir.file("rom.bin");
  const Bytes flash = flashPattern(512, 0);
  const auto notice = writeImage(path, 0, 512, flash.data());  // index 0 holds 256 blocks
  ASSERT_TRUE(notice);
  EXPECT_EQ(noticeText(*notice), "write file error!");
  EXPECT_FALSE(std::filesystem::exists(path));
}

// ---- loading ---------------------------------------------------------------

std::string loadFailureText(const Bytes& file) {
  TempDir dir;
  const std::string path = dir.file("rom.bin");
  writeFileBytes(path, file);
  const ImageLoadResult r = loadImage(path);
  if (r.ok()) return "loaded";
  return r.failure ? noticeText(*r.failure) : "no message";
}

const std::string kFileSizeError = "file size error\xEF\xBC\x81";
const std::string kFileDataError = "file data error\xEF\xBC\x81";

TEST(RomImageLoad, OnlyTheTwoExactLengthsPassTheSizeCheck) {
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{12}, std::size_t{13}, std::size_t{1048588},
        std::size_t{1048590}, std::size_t{2097164}, std::size_t{2097166}}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(loadFailureText(fileWithTag(tagOf(length < 1500000 ? 0 : 1), length)),
              kFileSizeError);
  }
  // The size is judged before the tag: a wrong tag in a wrong length.
  EXPECT_EQ(loadFailureText(fileWithTag("garbage tag!!", 1048590)), kFileSizeError);
}

TEST(RomImageLoad, TagMustMatchEveryByte) {
  for (const std::string tag :
       {"qx_romftaamd1", "QX_Rom CIAMD1", "QX_Rom_CIAMD3", "QX_Rom_CIAMD\0", "QX_RomFtaAMD"}) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(loadFailureText(fileWithTag(tag, 1048589)), kFileDataError);
  }
}

TEST(RomImageLoad, ByteThirteenIsFlashData) {
  TempDir dir;
  const std::string path = dir.file("rom.bin");
  writeFileBytes(path, fileWithTag(tagOf(8), 1048589, 0x00));
  const ImageLoadResult r = loadImage(path);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.image->tagIndex, 8);
  EXPECT_EQ(r.image->data[13], 0x00);
}

TEST(RomImageLoad, LengthOfTheOtherSizeDigitIsRefused) {
  for (const RomImageTag& type : romTypes()) {
    SCOPED_TRACE(type.index);
    const std::size_t otherLength = type.sizeDigit == 1 ? 2097165 : 1048589;
    EXPECT_EQ(loadFailureText(fileWithTag(std::string(type.tagText), otherLength)), kFileSizeError);
  }
}

TEST(RomImageLoad, UnopenablePathNamesItVerbatim) {
  TempDir dir;
  const std::string missing = dir.file("100%s %d rom.bin");
  ImageLoadResult r = loadImage(missing);
  ASSERT_FALSE(r.ok());
  ASSERT_TRUE(r.failure);
  EXPECT_EQ(noticeText(*r.failure), "Open file<" + missing + "> error\xEF\xBC\x81");

  r = loadImage(dir.path().string());  // a directory is no image
  ASSERT_TRUE(r.failure);
  EXPECT_EQ(r.failure->id, MessageId::OpenFileError);
}

TEST(RomImageLoad, NoMemoryForTheBufferEndsWithoutMessage) {
  TempDir dir;
  const std::string path = dir.file("rom.bin");
  writeFileBytes(path, fileWithTag(tagOf(0), 1048589));
  gRefuseLargeAllocations = true;
  const ImageLoadResult r = loadImage(path);
  gRefuseLargeAllocations = false;
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.failure);
}

}  // namespace
}  // namespace quorvane
