// The receiver's end of a pseudo-terminal. The tool opens the device path
// (the slave side); the receiver reads and writes the master side.
//
// It holds a descriptor of the slave side of its own for its whole life, set
// raw from the start (no echo, no CR/LF mapping, no XON/XOFF), so the tool
// can close and reopen the device between sessions: the master never sees a
// hang-up and the settings persist. Bytes the tool has not read stay in the
// terminal across such a reopen, as in a driver buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane::emu {

class PtyEndpoint {
 public:
  PtyEndpoint() = default;
  ~PtyEndpoint() { close(); }
  PtyEndpoint(const PtyEndpoint&) = delete;
  PtyEndpoint& operator=(const PtyEndpoint&) = delete;

  // Opens a pty and, when `linkPath` is not empty, puts a symlink to its
  // device there (an older symlink is replaced, any other file never).
  // False on failure, with nothing left open.
  bool open(const std::string& linkPath);
  // Closes both sides (the device vanishes) and removes the symlink.
  void close();

  bool isOpen() const { return master_ >= 0; }
  const std::string& devicePath() const { return device_; }  // kept after close()
  int masterFd() const { return master_; }                   // for poll()

  // Bytes from the tool: the count read, 0 when nothing is waiting.
  long read(std::uint8_t* bytes, std::size_t capacity);
  // Bytes to the tool: the count written, 0 when the pty takes none now,
  // -1 on failure (errno tells why).
  long write(const std::uint8_t* bytes, std::size_t count);
  // True when the tool has taken every byte written (or the pty is closed).
  bool delivered() const;

 private:
  bool makeLink(const std::string& linkPath);
  void removeLink();

  int master_ = -1;
  int slave_ = -1;  // its own, held open for its whole life
  std::string device_;
  std::string link_;  // the symlink it made, if any
};

}  // namespace quorvane::emu
