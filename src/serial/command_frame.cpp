#include "serial/command_frame.h"

#include <cstdio>

namespace quorvane {

std::string hexBytes(const std::uint8_t* bytes, std::size_t count) {
  std::string out;
  out.reserve(count * 3);
  char cell[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
    out += cell;
  }
  return out;
}

std::string describeFrame(const FrameBytes& f) {
  char text[48];
  const std::uint8_t p1 = f[kParam1Offset], cmd = f[kCommandOffset];
  const std::uint8_t p2 = f[kParam2Offset], p3 = f[kParam3Offset];
  if (!hasSyncMagic(f.data())) return "no frame (sync magic missing)";
  if (isKeyFrame(f)) {
    std::snprintf(text, sizeof text, "key 0x%02X", cmd);
    return text;
  }
  if (p2 == 0 && p3 == 0) {
    if (p1 == kIdentParam1 && cmd >= kModelNumberFirst && cmd <= kModelNumberLast) {
      std::snprintf(text, sizeof text, "ident model %d", cmd);
      return text;
    }
    if (p1 == 0) {
      switch (cmd) {
        case 0x00:
          return "ack";
        case kCmdConnect:
          return "connect request";
        case kCmdStartRead:
          return "start read";
        case kCmdStartUpgrade:
          return "start upgrade";
        case kCmdReadComplete:
          return "read complete";
        case kCmdStop:
          return "stop";
        default:
          break;
      }
    }
  }
  std::snprintf(text, sizeof text, "frame p1=%02X cmd=%02X p2=%02X p3=%02X", p1, cmd, p2, p3);
  return text;
}

}  // namespace quorvane
