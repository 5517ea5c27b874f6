#include "remote/remote_session.h"

namespace quorvane::remote {

RemoteSession::RemoteSession() : keyFrame_(quorvane::keyFrame(0x00)) {}

unsigned RemoteSession::sendKey(std::uint8_t code) {
  keyFrame_[kCommandOffset] = code;
  return port_.sendCommand(code, kKeyParam1, kKeyParam2, kKeyParam3);
}

std::optional<Notice> RemoteSession::selectPort(int portNumber, std::int32_t& portIndex) {
  portIndex = static_cast<std::int32_t>(portNumber - 1);
  if (port_.open(portNumber, kLineSpeed)) return std::nullopt;
  return Notice::openPort(portNumber);
}

}  // namespace quorvane::remote
