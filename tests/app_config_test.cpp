#include "base/app_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_support.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using namespace test;
using Bytes = std::vector<std::uint8_t>;

std::ptrdiff_t entriesIn(const TempDir& dir) {
  return std::distance(fs::directory_iterator(dir.path()), {});
}

TEST(AppConfigFile, LoadsTheFirstFourBytesLittleEndianAndSavesExactlyFour) {
  const struct {
    std::optional<Bytes> before;  // nothing: no file at all
    std::int32_t portIndex;
    Bytes after;
  } cases[] = {
      {std::nullopt, 0, {0, 0, 0, 0}},
      {Bytes{3, 0, 0, 0}, 3, {3, 0, 0, 0}},
      {Bytes{7, 0, 0, 0}, 7, {7, 0, 0, 0}},  // outside COM1..COM4: kept
      {Bytes{1, 2, 3, 4}, 0x04030201, {1, 2, 3, 4}},
      {Bytes{2, 0, 0, 0, 9, 9, 9, 9, 9}, 2, {2, 0, 0, 0}},
      {Bytes{3, 0}, 0, {0, 0, 0, 0}},  // too short: COM1
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.before) writeFileBytes(dir.file("Quorvane.cfg"), *c.before);
    AppConfig config;
    config.locateConfigIn(dir.path().string());
    config.portIndex = 5;  // the value must come from the file, not from before
    config.loadConfig();
    EXPECT_EQ(config.portIndex, c.portIndex);
    EXPECT_EQ(config.saveConfig(), std::nullopt);
    EXPECT_EQ(readFileBytes(dir.file("Quorvane.cfg")), c.after);
    EXPECT_EQ(entriesIn(dir), 1);  // no temporary file left beside it
  }
}

TEST(AppConfigFile, NoFileAtThePathLoadsComOneWithoutBlockingAndCannotBeSaved) {
  TempDir dir;
  AppConfig config;
  config.locateConfigIn(dir.file("missing"));
  EXPECT_EQ(config.saveConfig(), Notice::of(MessageId::ConfigOpenFailed));
  config.locateConfigIn(dir.path().string());
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

  // A write that fails keeps the previous file and leaves no temporary one.
  writeFileBytes(config.configPath, {1, 0, 0, 0, 5});
  for (const unsigned long long limit : {0, 2}) {
    const auto result = [&] {
      FileSizeLimit limited(limit);
      return config.saveConfig();
    }();
    EXPECT_EQ(result, Notice::of(MessageId::ConfigWriteFailed)) << limit;
    EXPECT_EQ(readFileBytes(config.configPath), (Bytes{1, 0, 0, 0, 5}));
    EXPECT_EQ(entriesIn(dir), 1);
  }
}

TEST(AppConfigLocation, OneSeparatorBeforeTheFileName) {
  const std::pair<const char*, const char*> cases[] = {
      {"/", "/Quorvane.cfg"},
      {"/home/tech", "/home/tech/Quorvane.cfg"},
      {" \t/a b \r\n", "/a b/Quorvane.cfg"},  // outer white space goes, inner stays
      {"   ", "Quorvane.cfg"},
  };
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

}  // namespace
}  // namespace quorvane
