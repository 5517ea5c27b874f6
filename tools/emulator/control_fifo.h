// The control FIFO of quorvane-emu: a named pipe made at a path and read
// line by line on a thread of its own, so that tests, demos and the bench
// can switch the receiver while it runs:
//   on                      switch it on
//   off                     switch it off
//   swap [MODEL] [silent]   switch it off and put the next unit in its place
//                           (ReceiverEmulator::swapUnit), still off
//   quit                    end the emulator
// Words are separated by blanks; a line that is none of these is logged
// and ignored.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "receiver_emulator.h"

namespace quorvane::emu {

// One control line applied to `emulator`. True when it was understood;
// `quit` turns true for "quit". An unknown line is logged (the emulator's
// log) and changes nothing.
bool applyControlLine(ReceiverEmulator& emulator, const std::string& line, bool& quit);

class ControlFifo {
 public:
  // `onQuit` runs on the reading thread when "quit" arrives.
  ControlFifo(ReceiverEmulator& emulator, std::function<void()> onQuit);
  ~ControlFifo();  // stops reading and removes the FIFO
  ControlFifo(const ControlFifo&) = delete;
  ControlFifo& operator=(const ControlFifo&) = delete;

  // Makes the FIFO at `path` (an older FIFO there is replaced, any other
  // file is left alone and refused) and starts reading it. False with
  // `error` set when it can't.
  bool open(const std::string& path, std::string& error);

 private:
  void read();

  ReceiverEmulator& emulator_;
  std::function<void()> onQuit_;
  std::string path_;
  int fd_ = -1;
  int stopRead_ = -1, stopWrite_ = -1;
  std::thread thread_;
};

}  // namespace quorvane::emu
