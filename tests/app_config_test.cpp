#include "app/app_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "support/test_support.h"

namespace quorvane {
namespace {

using test::FileSizeLimit;
using test::readFileBytes;
using test::TempDir;
using test::writeFileBytes;
using Bytes = std::vector<std::uint8_t>;

// Runs the test body in another current directory and comes back.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedChdir() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

// The start-up and end of the program as far as the file is concerned.
struct Session {
  AppConfig config;
  explicit Session(const std::string& dir) {
    config.locateConfigIn(dir);
    config.loadConfig();
  }
};

TEST(AppConfigFile, FirstRunInEmptyDirectoryWritesFourZeroBytes) {
  TempDir dir;
  Session s(dir.path().string());
  EXPECT_EQ(s.config.portIndex, 0);
  EXPECT_EQ(s.config.saveConfig(), std::nullopt);
  EXPECT_EQ(readFileBytes(dir.file("Quorvane.cfg")), (Bytes{0, 0, 0, 0}));
  // Nothing but the file itself is left in the directory.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(AppConfigFile, LoadsLittleEndianValueAndKeepsAnyValue) {
  const struct {
    Bytes file;
    std::int32_t portIndex;
  } cases[] = {
      {{3, 0, 0, 0}, 3},
      {{7, 0, 0, 0}, 7},                       // outside COM1..COM4: kept
      {{0xff, 0xff, 0xff, 0xff}, -1},          // signed
      {{0x01, 0x02, 0x03, 0x04}, 0x04030201},  // least significant byte first
      {{1, 0, 0, 0, 9, 9, 9, 9, 9}, 1},        // only the first 4 bytes count
      {{3, 0}, 0},                             // too short: COM1
      {{}, 0},
  };
  for (const auto& c : cases) {
    TempDir dir;
    writeFileBytes(dir.file("Quorvane.cfg"), c.file);
    Session s(dir.path().string());
    s.config.portIndex = 5;  // the defaults must come from the file, not from before
    s.config.loadConfig();
    EXPECT_EQ(s.config.portIndex, c.portIndex) << "file of " << c.file.size() << " bytes";
  }
}

TEST(AppConfigFile, SomethingOtherThanAFileAtThePathGivesComOneWithoutBlocking) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("Quorvane.cfg").c_str(), 0600), 0);  // no writer: open would block
  Session s(dir.path().string());
  s.config.portIndex = 5;
  s.config.loadConfig();
  EXPECT_EQ(s.config.portIndex, 0);
}

TEST(AppConfigFile, SaveRewritesShortAndLongFilesAsExactlyFourBytes) {
  for (const Bytes& before : {Bytes{3, 0}, Bytes{2, 0, 0, 0, 1, 1, 1, 1}}) {
    TempDir dir;
    writeFileBytes(dir.file("Quorvane.cfg"), before);
    Session s(dir.path().string());
    ASSERT_EQ(s.config.saveConfig(), std::nullopt);
    const Bytes expected = before.size() < 4 ? Bytes{0, 0, 0, 0} : Bytes{2, 0, 0, 0};
    EXPECT_EQ(readFileBytes(dir.file("Quorvane.cfg")), expected);
  }
}

TEST(AppConfigFile, SavesOutOfRangeValuesUnchanged) {
  TempDir dir;
  writeFileBytes(dir.file("Quorvane.cfg"), {7, 0, 0, 0});
  Session s(dir.path().string());
  EXPECT_EQ(s.config.saveConfig(), std::nullopt);
  EXPECT_EQ(readFileBytes(dir.file("Quorvane.cfg")), (Bytes{7, 0, 0, 0}));
  s.config.portIndex = -1;
  EXPECT_EQ(s.config.saveConfig(), std::nullopt);
  EXPECT_EQ(readFileBytes(dir.file("Quorvane.cfg")), (Bytes{0xff, 0xff, 0xff, 0xff}));
}

TEST(AppConfigFile, FileThatCannotBeCreatedGivesSaveConfigInfoError) {
  TempDir dir;
  const Notice expected = Notice::of(MessageId::SaveConfigInfoError);
  {  // directory missing
    Session s(dir.file("missing"));
    EXPECT_EQ(s.config.saveConfig(), expected);
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
  }
  {  // a directory where the file should be
    std::filesystem::create_directory(dir.file("Quorvane.cfg"));
    Session s(dir.path().string());
    EXPECT_EQ(s.config.portIndex, 0);
    EXPECT_EQ(s.config.saveConfig(), expected);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("Quorvane.cfg")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  }
}

TEST(AppConfigFile, FailedWriteGivesSaveDataErrorAndKeepsPreviousFile) {
  for (rlim_t limit : {rlim_t{0}, rlim_t{2}}) {
    TempDir dir;
    writeFileBytes(dir.file("Quorvane.cfg"), {1, 0, 0, 0, 5});
    Session s(dir.path().string());
    s.config.portIndex = 2;
    std::optional<Notice> result;
    {
      FileSizeLimit limited(limit);
      result = s.config.saveConfig();
    }
    EXPECT_EQ(result, Notice::of(MessageId::SaveDataError)) << "limit " << limit;
    EXPECT_FALSE(s.config.transferOk);
    EXPECT_EQ(readFileBytes(dir.file("Quorvane.cfg")), (Bytes{1, 0, 0, 0, 5}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "the temporary file is removed";
  }
}

TEST(AppConfigLocation, OneSeparatorBeforeTheFileName) {
  const struct {
    const char* dir;
    const char* startDirectory;
    const char* configPath;
  } cases[] = {
      {"/", "/", "/Quorvane.cfg"},
      {"/home/tech", "/home/tech", "/home/tech/Quorvane.cfg"},
      {"/home/tech/", "/home/tech/", "/home/tech/Quorvane.cfg"},
      {" \t/srv/box \r\n", "/srv/box", "/srv/box/Quorvane.cfg"},
      {"  / ", "/", "/Quorvane.cfg"},
      {"/a b", "/a b", "/a b/Quorvane.cfg"},  // inner white space stays
      {"   ", "", "Quorvane.cfg"},
  };
  for (const auto& c : cases) {
    AppConfig config;
    config.locateConfigIn(c.dir);
    EXPECT_EQ(config.startDirectory, c.startDirectory) << '"' << c.dir << '"';
    EXPECT_EQ(config.configPath, c.configPath) << '"' << c.dir << '"';
  }
}

TEST(AppConfigLocation, UsesTheCurrentDirectoryAtTheTimeOfLocating) {
  TempDir dir;
  AppConfig config;
  {
    ScopedChdir in(dir.path());
    config.locateConfig();
  }
  const std::string real = std::filesystem::canonical(dir.path()).string();
  EXPECT_EQ(config.startDirectory, real);
  EXPECT_EQ(config.configPath, real + "/Quorvane.cfg");
  // Written there even though the process has moved on.
  EXPECT_EQ(config.saveConfig(), std::nullopt);
  EXPECT_TRUE(std::filesystem::exists(dir.file("Quorvane.cfg")));
}

TEST(AppConfigLocation, CurrentDirectoryLongerThanTheBufferIsUsedInFull) {
  TempDir dir;
  std::filesystem::path deep = std::filesystem::canonical(dir.path());
  {
    ScopedChdir start(deep);
    const std::string name(200, 'd');
    while (deep.string().size() < kCurrentDirBufferSize + 500) {
      std::filesystem::create_directory(name);
      std::filesystem::current_path(name);  // relative steps: no single long path needed
      deep /= name;
    }
    AppConfig config;
    config.locateConfig();
    EXPECT_EQ(config.configPath, deep.string() + "/Quorvane.cfg");
    config.portIndex = 1;
    EXPECT_EQ(config.saveConfig(), std::nullopt);
    EXPECT_EQ(readFileBytes("Quorvane.cfg"), (Bytes{1, 0, 0, 0}));
  }
}

TEST(AppConfigLocation, UnreadableCurrentDirectoryFallsBackToRelativePath) {
  TempDir dir;
  const auto gone = dir.path() / "gone";
  std::filesystem::create_directory(gone);
  ScopedChdir in(gone);
  std::filesystem::remove(gone);  // getcwd now fails
  AppConfig config;
  config.locateConfig();
  EXPECT_EQ(config.startDirectory, ".");
  EXPECT_EQ(config.configPath, "./Quorvane.cfg");
  config.loadConfig();
  EXPECT_EQ(config.portIndex, 0);
  // Nothing can be created in a removed directory: reported, not crashed.
  EXPECT_EQ(config.saveConfig(), Notice::of(MessageId::SaveConfigInfoError));
}

}  // namespace
}  // namespace quorvane
