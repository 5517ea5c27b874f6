// The Windows primitives: the COM port map, opening a missing port, the
// configuration file's path and the all-or-nothing file writer behind it
// and the image files, and SHA-256 through the cryptography API.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/app_config.h"
#include "report.h"
#include "serial/port_map.h"
#include "serial/serial_port.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A fresh folder under %TEMP%, removed with its contents (read-only ones
// included) at the end.
struct TempDir {
  const fs::path path =
      fs::temp_directory_path() / ("quorvane-win-" + std::to_string(::GetCurrentProcessId()));
  TempDir() {
    fs::remove_all(path);
    fs::create_directory(path);
  }
  ~TempDir() {
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(path, ec))
      ::SetFileAttributesA(e.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(path, ec);
  }
  std::string file(const std::string& name) const { return (path / name).string(); }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(path), {}));
  }
};

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

void setVariable(const std::string& name, const std::string& value) {
  ::_putenv_s(name.c_str(), value.c_str());  // "" removes it
}

TEST(Win32PortMap, ComNumbersAndTheOverride) {
  const struct {
    long long port;
    const char* override;  // QUORVANE_COM<port>; nullptr: not set
    std::optional<std::string> device;
  } cases[] = {
      {0, nullptr, std::nullopt},
      {-3, "COM7", std::nullopt},  // no variable brings a number below 1 to life
      {1, nullptr, "COM1"},
      {4, nullptr, "COM4"},
      {12, nullptr, "COM12"},
      {1, "COM7", "COM7"},                  // an adapter Windows numbered 7
      {2, "\\\\.\\COM15", "\\\\.\\COM15"},  // taken as it is
      {3, "", "COM3"},                      // empty: the default
  };
  for (const auto& c : cases) {
    const std::string variable = portOverrideVariable(c.port);
    setVariable(variable, c.override ? c.override : "");
    EXPECT_EQ(devicePathForPort(c.port), c.device)
        << c.port << " " << (c.override ? c.override : "-");
    setVariable(variable, "");
  }
  EXPECT_EQ(portOverrideVariable(10), "QUORVANE_COM10");
}

TEST(Win32SerialPort, MissingDeviceLeavesThePortClosed) {
  SerialPort port;
  setVariable("QUORVANE_COM1", "COM250");
  for (const bool byNumber : {true, false}) {
    EXPECT_EQ(byNumber ? port.open(1, 115200) : port.openDevice("COM251", 115200), 0);
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(port.devicePath().empty());
    std::uint8_t byte = 0x5A;
    EXPECT_EQ(port.bytesInQueue(), 0u);
    EXPECT_EQ(port.read(&byte, 1), 0u);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(port.write(&byte, 1), 0u);
    EXPECT_EQ(port.setBinaryMode(1), 0);
  }
  setVariable("QUORVANE_COM1", "");
}

TEST(Win32Files, ConfigurationPathUsesBackslashes) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\", "C:\\Quorvane.cfg"},
      {"C:\\Service\\Receivers", "C:\\Service\\Receivers\\Quorvane.cfg"},
      {"\\\\server\\share\\", "\\\\server\\share\\Quorvane.cfg"},
  };
  for (const auto& [dir, path] : cases) {
    AppConfig config;
    config.locateConfigIn(dir);
    EXPECT_EQ(config.configPath, path) << dir;
  }
}

TEST(Win32Files, WritesReplaceWholeFilesOrLeaveThemAlone) {
  TempDir dir;
  const RomImageTag& type = romType(0);
  Bytes flash(std::size_t{type.blockCount} * kBlockSize);
  for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<std::uint8_t>(i * 7 + 1);

  // Replaces a longer earlier file; nothing else is left in the folder.
  writeBytes(dir.file("rom.bin"), Bytes(3000000, 0xEE));
  ASSERT_EQ(writeImage(dir.file("rom.bin"), type.index, type.blockCount, flash.data()),
            std::nullopt);
  const ImageLoadResult loaded = loadImage(dir.file("rom.bin"));
  ASSERT_TRUE(loaded.ok());
  EXPECT_EQ(loaded.image->tagIndex, type.index);
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), loaded.image->data.begin() + kTagSize));
  EXPECT_EQ(dir.entries(), 1u);

  // A missing folder, a folder and a read-only file at the target: the
  // system's message, the earlier file untouched, no temporary file.
  fs::create_directory(dir.file("box"));
  writeBytes(dir.file("locked.bin"), Bytes{1, 2, 3});
  ::SetFileAttributesA(dir.file("locked.bin").c_str(), FILE_ATTRIBUTE_READONLY);
  for (const char* target : {"gone\\rom.bin", "box", "locked.bin"}) {
    const std::optional<Notice> notice =
        writeImage(dir.file(target), type.index, type.blockCount, flash.data());
    ASSERT_TRUE(notice) << target;
    EXPECT_EQ(noticeText(*notice), "create file error!") << target;
  }
  EXPECT_EQ(readBytes(dir.file("locked.bin")), (Bytes{1, 2, 3}));
  EXPECT_EQ(dir.entries(), 3u);

  // The configuration file goes through the same writer.
  AppConfig config;
  config.locateConfigIn(dir.file("box"));
  config.portIndex = 0x0A0B0C0D;
  EXPECT_EQ(config.saveConfig(), std::nullopt);
  EXPECT_EQ(readBytes(dir.file("box\\Quorvane.cfg")), (Bytes{0x0D, 0x0C, 0x0B, 0x0A}));
  config.portIndex = 0;
  config.loadConfig();
  EXPECT_EQ(config.portIndex, 0x0A0B0C0D);
}

TEST(Win32Digest, Sha256OfKnownInputs) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [text, digest] : cases)
    EXPECT_EQ(cli::sha256Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
              digest)
        << text.size();
}

}  // namespace
}  // namespace quorvane
