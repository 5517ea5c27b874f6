// The 12-byte command frame, identical in both directions:
//   bytes 0..7  sync magic "Halvorne"
//   byte  8     param1
//   byte  9     command
//   byte  10    param2
//   byte  11    param3
// No length, checksum or terminator: a received frame is recognised only by
// comparing all twelve bytes with an expected one.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "serial/protocol.h"

namespace quorvane {

using FrameBytes = std::array<std::uint8_t, kFrameSize>;

// Builds a frame. Operations take the command first although param1 comes
// before it on the line.
constexpr FrameBytes makeFrame(std::uint8_t command, std::uint8_t param1 = 0,
                               std::uint8_t param2 = 0, std::uint8_t param3 = 0) {
  FrameBytes f{};
  for (std::size_t i = 0; i < kSyncMagicSize; ++i) f[i] = kSyncMagic[i];
  f[kParam1Offset] = param1;
  f[kCommandOffset] = command;
  f[kParam2Offset] = param2;
  f[kParam3Offset] = param3;
  return f;
}

// The plain acknowledgement: magic and four zero bytes.
inline constexpr FrameBytes kAckFrame = makeFrame(kCmdAck);
inline constexpr FrameBytes kStopFrame = makeFrame(kCmdStop);
inline constexpr FrameBytes kConnectFrame = makeFrame(kCmdConnect);
inline constexpr FrameBytes kStartReadFrame = makeFrame(kCmdStartRead);
inline constexpr FrameBytes kStartUpgradeFrame = makeFrame(kCmdStartUpgrade);
inline constexpr FrameBytes kReadCompleteFrame = makeFrame(kCmdReadComplete);

// The receiver's type answer for ModelNumber 1..16.
constexpr FrameBytes identFrame(int modelNumber) {
  return makeFrame(static_cast<std::uint8_t>(modelNumber), kIdentParam1);
}

// A remote key frame: 'J', code, 'O', 'V'.
constexpr FrameBytes keyFrame(std::uint8_t code) {
  return makeFrame(code, kKeyParam1, kKeyParam2, kKeyParam3);
}

constexpr bool hasSyncMagic(const std::uint8_t* bytes) {
  for (std::size_t i = 0; i < kSyncMagicSize; ++i)
    if (bytes[i] != kSyncMagic[i]) return false;
  return true;
}

// A remote key frame, whatever its key code.
constexpr bool isKeyFrame(const FrameBytes& frame) {
  return hasSyncMagic(frame.data()) && frame[kParam1Offset] == kKeyParam1 &&
         frame[kParam2Offset] == kKeyParam2 && frame[kParam3Offset] == kKeyParam3;
}

// A frame for traces and logs, not system text: "connect request",
// "start read", "stop", "ack", "ident model 5", "key 0x1D", "frame p1=.. ...".
// The tools add the type and key names (tools/common/frame_names.h).
std::string describeFrame(const FrameBytes& frame);

// Hex dump "48 61 6C ..." of any bytes.
std::string hexBytes(const std::uint8_t* bytes, std::size_t count);

}  // namespace quorvane
