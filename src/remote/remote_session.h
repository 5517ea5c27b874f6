// The remote control's link: one port and the ready-made key frame that goes
// out on it, one frame per key. Nothing is ever read back. The on-screen
// remote and the command-line tool both drive the receiver through this.
#pragma once

#include <cstdint>
#include <optional>

#include "base/notice.h"
#include "serial/command_frame.h"
#include "serial/command_port.h"

namespace quorvane::remote {

class RemoteSession {
 public:
  // Fills the key frame (magic, 'J', code, 'O', 'V'); opens nothing.
  RemoteSession();

  // Puts `code` into the key frame and writes all 12 bytes. Returns the
  // count written; 0 (and nothing written) while no port is open.
  unsigned sendKey(std::uint8_t code);

  // Makes COM<portNumber> the selected port: `portIndex` takes
  // portNumber - 1 before the open is tried, so a failed open still changes
  // it. The open closes any port already open, so a failed switch leaves
  // none open. Returns the notice to show when the open failed.
  std::optional<Notice> selectPort(int portNumber, std::int32_t& portIndex);

  CommandPort& port() { return port_; }
  const CommandPort& port() const { return port_; }
  const FrameBytes& keyFrame() const { return keyFrame_; }

 private:
  CommandPort port_;
  FrameBytes keyFrame_;
};

}  // namespace quorvane::remote
