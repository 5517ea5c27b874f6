// Quorvane.cfg and ROM images, both written all-or-nothing. Random bytes: fuzz/*_loader_fuzz.cpp;
// images written whole over longer files: the read rows of fault_matrix_test.cpp.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "base/app_config.h"
#include "serial/protocol.h"
#include "support/test_support.h"
#include "transfer/rom_image.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using namespace test;
using Bytes = std::vector<std::uint8_t>;

std::ptrdiff_t entriesIn(const TempDir& dir) {
  return std::distance(fs::directory_iterator(dir.path()), {});
}

TEST(AppConfigFile, UnreadableLoadsComOneWithoutBlockingAndAFailedSaveKeepsTheFile) {
  TempDir dir;
  AppConfig config;
  config.locateConfigIn(dir.file("missing"));
  EXPECT_EQ(config.saveConfig(), Notice::of(MessageId::ConfigOpenFailed));
  config.locateConfigIn(dir.path().string());
  config.portIndex = 5;
  config.loadConfig();  // no file at all
  EXPECT_EQ(config.portIndex, 0);
  for (const bool fifo : {true, false}) {  // a FIFO without writer would block an open
    const char* path = config.configPath.c_str();
    ASSERT_EQ(fifo ? ::mkfifo(path, 0600) : ::mkdir(path, 0700), 0);
    config.portIndex = 5;
    config.loadConfig();
    EXPECT_EQ(config.portIndex, 0);
    EXPECT_EQ(config.saveConfig(), Notice::of(MessageId::ConfigOpenFailed));
    EXPECT_EQ(entriesIn(dir), 1);
    fs::remove(path);
  }

  writeFileBytes(config.configPath, {1, 0, 0, 0, 5});
  config.portIndex = 0x04030201;
  for (const unsigned long long limit : {0, 2}) {
    const auto result = [&] {
      FileSizeLimit limited(limit);
      return config.saveConfig();
    }();
    EXPECT_EQ(result, Notice::of(MessageId::ConfigWriteFailed)) << limit;
    EXPECT_EQ(readFileBytes(config.configPath), (Bytes{1, 0, 0, 0, 5}));
    EXPECT_EQ(entriesIn(dir), 1);  // no temporary file left beside it
  }
  EXPECT_EQ(config.saveConfig(), std::nullopt);  // exactly four bytes, little-endian
  EXPECT_EQ(readFileBytes(config.configPath), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(entriesIn(dir), 1);
}

TEST(AppConfigLocation, OneSeparatorBeforeTheFileName) {
  // Outer white space goes, inner stays.
  const std::pair<const char*, const char*> cases[] = {{"/", "/Quorvane.cfg"},
                                                       {"/home/tech", "/home/tech/Quorvane.cfg"},
                                                       {" \t/a b \r\n", "/a b/Quorvane.cfg"},
                                                       {"   ", "Quorvane.cfg"}};
  for (const auto& [dir, path] : cases) {
    AppConfig config;
    config.locateConfigIn(dir);
    EXPECT_EQ(config.configPath, path) << '"' << dir << '"';
  }
}

TEST(AppConfigLocation, CurrentDirectoryOfAnyLengthOrNoneAtTheTimeOfLocating) {
  TempDir dir;
  fs::path deep = fs::canonical(dir.path());
  const fs::path old = fs::current_path();
  fs::current_path(deep);
  while (deep.string().size() < kCurrentDirBufferSize + 500) {
    const std::string name(200, 'd');
    fs::create_directory(name);
    fs::current_path(name);  // relative steps: no single long path needed
    deep /= name;
  }
  AppConfig config;
  config.locateConfig();
  fs::current_path(dir.path());
  EXPECT_EQ(config.configPath, deep.string() + "/Quorvane.cfg");
  config.portIndex = 1;  // written there even though the process has moved on
  EXPECT_EQ(config.saveConfig(), std::nullopt);
  EXPECT_EQ(readFileBytes((deep / "Quorvane.cfg").string()), (Bytes{1, 0, 0, 0}));

  fs::create_directory("gone");
  fs::current_path("gone");
  fs::remove(dir.path() / "gone");  // getcwd now fails: relative to wherever we are
  config.locateConfig();
  EXPECT_EQ(config.configPath, "./Quorvane.cfg");
  EXPECT_EQ(config.saveConfig(), Notice::of(MessageId::ConfigOpenFailed));
  fs::current_path(old);
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
    fs::create_directory(dir.file("box"));
    writeFileBytes(dir.file("box/inside"), Bytes{1, 2, 3});
    const Bytes flash(std::size_t{c.blocks} * kBlockSize, 0x42);
    std::optional<Notice> notice;
    {
      FileSizeLimit limit(c.limit);
      notice = writeImage(dir.file(c.target), c.tagIndex, c.blocks, flash.data());
    }
    ASSERT_TRUE(notice);
    EXPECT_EQ(noticeText(*notice), c.text);
    EXPECT_EQ(readFileBytes(dir.file("rom.bin")), earlier);
    EXPECT_EQ(readFileBytes(dir.file("box/inside")), (Bytes{1, 2, 3}));
    EXPECT_EQ(entriesIn(dir), 2);
  }
}

TEST(RomImageLoad, EachRefusalHasItsTextAndAnUnopenablePathIsNamedVerbatim) {
  TempDir dir;
  writeFileBytes(dir.file("short"), Bytes(1048588, 0x5A));
  Bytes file(1048589, 0x5A);
  std::copy_n("QX_Rom_CISST2", 13, file.begin());  // a 2 MiB tag on a 1 MiB file
  writeFileBytes(dir.file("sizeFirst"), file);
  std::copy_n("QX_Rom CIAMD1", 13, file.begin());
  writeFileBytes(dir.file("untagged"), file);
  const std::string missing = dir.file("100%s %d rom.bin"), folder = dir.path().string();
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("short"), "file size error\xEF\xBC\x81"},
      {dir.file("sizeFirst"), "file size error\xEF\xBC\x81"},
      {dir.file("untagged"), "file data error\xEF\xBC\x81"},
      {missing, "Open file<" + missing + "> error\xEF\xBC\x81"},
      {folder, "Open file<" + folder + "> error\xEF\xBC\x81"},  // a directory is no image
  };
  for (const auto& [path, text] : cases) {
    const ImageLoadResult r = loadImage(path);
    ASSERT_TRUE(r.failure) << path;
    EXPECT_EQ(noticeText(*r.failure), text);
  }
}

}  // namespace
}  // namespace quorvane
