// One PC serial port, chosen by number (1 = COM1 ...), owned exclusively for
// as long as the object lives.
//
// Every operation but open and close does nothing and returns 0 unless the
// port is open. Reads never wait for data: the caller polls bytesInQueue and
// reads only what has arrived. Writes are bounded to kWriteWaitLimitMs.
//
// The platform backend (posix/ or win32/, chosen by the build) implements
// the members through the opaque Impl.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/input_queue.h"

namespace quorvane {

inline constexpr int kReadWaitLimitMs = 2000;   // a pending read is waited for
inline constexpr int kWriteWaitLimitMs = 5000;  // a write, whatever its length

class SerialPort {
 public:
  SerialPort();
  virtual ~SerialPort();  // closes the port
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens COM<portNumber> through the port map (port_map.h) at `speed` bits
  // per second and 8 data bits. An open port is closed first, so a failed
  // open always leaves the object closed. 1 on success, 0 on failure.
  int open(int portNumber, int speed);

  // Opens a device by its platform path (POSIX: "/dev/ttyUSB0"; Windows:
  // "COM3"). Same rules as open().
  int openDevice(const std::string& devicePath, int speed);

  // Received bytes waiting to be read; 0 when closed. Clears line errors.
  unsigned bytesInQueue();

  // Copies min(limit, waiting) bytes into `buffer` (which holds at least
  // `limit` bytes) and returns the count; 0 and the buffer untouched when
  // nothing is waiting, when closed, or on failure.
  unsigned read(std::uint8_t* buffer, unsigned limit);

  // Writes `length` bytes, giving up after kWriteWaitLimitMs in total.
  // Returns the count written; 0 when closed or on failure.
  unsigned write(const std::uint8_t* buffer, unsigned length);

  // Sets the "binary" line flag to the lowest bit of `flag`. 1 when the line
  // settings were written back, else 0 (always 0 when closed).
  int setBinaryMode(int flag);

  // Releases the device. Closing a closed port does nothing.
  void close();

  bool isOpen() const;

  // Total bytes taken from the device since the last open (diagnostics and
  // test drivers: everything the far end sent has arrived when this equals
  // its count of bytes sent).
  std::uint64_t bytesArrived() const;

  // The device path of the open port, empty when closed.
  const std::string& devicePath() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::string devicePath_;
};

}  // namespace quorvane
